# A full update through the kernel's USB MIDI driver ends at "Complete!", and
# the device's flash then holds the image.
update_file update.pgm
gadget dev "QELMAR ORC"
devsim dev
demo update.pgm
demo_end
[[ $(demo_port output) == "QELMAR ORC OUT 1" && $(demo_port input) == "QELMAR ORC IN 1" ]] ||
  fail "ports found: \"$(demo_port output)\", \"$(demo_port input)\""
[[ $(demo_status) == "Complete!" ]] || fail "the run ended at \"$(demo_status)\""
devsim_stop dev || fail "tamblet-devsim ended with an error"
flash_matches dev.flash update.pgm.image || fail "the device's flash differs from the image"
echo "PASS: Complete!, flash matches the image"
