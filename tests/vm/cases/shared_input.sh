# A program reading the device's port through the sequencer holds its raw
# input: the update runs through the sequencer beside it, ends at "Complete!",
# and the device's flash then holds the image.
update_file update.pgm
gadget dev "QELMAR ORC"
devsim dev
aseqdump -p "$(seq_client dev):0" >/dev/null 2>&1 &
holder=$!
at_exit "kill $holder"
wait_for 5 held_by "$holder" dev Input || fail "aseqdump does not hold the input"
demo update.pgm
demo_end
[[ $(demo_status) == "Complete!" ]] || fail "the run ended at \"$(demo_status)\""
held_by "$holder" dev Input || fail "aseqdump lost the input"
devsim_stop dev || fail "tamblet-devsim ended with an error"
flash_matches dev.flash update.pgm.image || fail "the device's flash differs from the image"
echo "PASS: Complete! beside aseqdump, flash matches the image"
