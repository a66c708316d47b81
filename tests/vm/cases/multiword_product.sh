# A product name of several words after the maker's word: the device is found
# as "QELMAR USB-MIDI" and updated.
update_file update.pgm small
gadget dev "QELMAR USB MIDI"
devsim dev
demo update.pgm
demo_end
[[ $(demo_port output) == "QELMAR USB-MIDI OUT 1" && $(demo_port input) == "QELMAR USB-MIDI IN 1" ]] ||
  fail "ports found: \"$(demo_port output)\", \"$(demo_port input)\""
[[ $(demo_status) == "Complete!" ]] || fail "the run ended at \"$(demo_status)\""
echo "PASS: Complete!"
