# tamblet-cli through the kernel's USB MIDI driver: the pair the window would
# pick, every status line as the window shows it, exit 0 and the image in flash.
# A device fault's text and status are the in-process cli tests' to prove.
update_file update.pgm
gadget dev "QELMAR ORC"
devsim dev
"$TAMBLET_CLI" update update.pgm >cli.log 2>&1 || fail "exit status $?: $(tail -n 3 cli.log)"
[[ $(sed -n 1,2p cli.log) == $'Output Port: QELMAR ORC OUT 1\nInput Port: QELMAR ORC IN 1' ]] ||
  fail "ports: $(sed -n 1,2p cli.log)"
[[ $(tail -n 1 cli.log) == "Complete!" ]] || fail "last line: $(tail -n 1 cli.log)"
devsim_stop dev || fail "tamblet-devsim ended with an error"
flash_matches dev.flash update.pgm.image || fail "the device's flash differs from the image"
echo "PASS: Complete! with the image in flash"
