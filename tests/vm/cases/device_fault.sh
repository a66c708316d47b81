# A reply broken on the way (a SysEx cut by another status byte) reaches the
# program through the kernel as a broken message: Verify fails at once.
update_file update.pgm small
gadget dev "QELMAR ORC"
devsim dev --fault VerifySum:1:long-error
demo update.pgm
demo_end
[[ $(demo_status) == "Verify error!!" ]] || fail "the run ended at \"$(demo_status)\""
verifying=$(demo_line_ms "status: Verifying....") failed=$(demo_line_ms "status: Verify error!!")
((failed - verifying < 4000)) || fail "the broken reply was not seen: $((failed - verifying)) ms"
echo "PASS: Verify error!! after $((failed - verifying)) ms"
