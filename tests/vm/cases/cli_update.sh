# tamblet-cli through the kernel's USB MIDI driver: the pair the window would
# pick, every status line as the window shows it, exit 0 and the image in flash;
# a device fault gives its text and the device-step status.
update_file update.pgm
gadget dev "QELMAR ORC"
devsim dev
"$TAMBLET_CLI" update update.pgm >cli.log 2>&1 || fail "exit status $?: $(tail -n 3 cli.log)"
[[ $(sed -n 1,2p cli.log) == $'Output Port: QELMAR ORC OUT 1\nInput Port: QELMAR ORC IN 1' ]] ||
  fail "ports: $(sed -n 1,2p cli.log)"
[[ $(tail -n 1 cli.log) == "Complete!" ]] || fail "last line: $(tail -n 1 cli.log)"
devsim_stop dev || fail "tamblet-devsim ended with an error"
flash_matches dev.flash update.pgm.image || fail "the device's flash differs from the image"

devsim dev --fault VerifySum:1:fail-status
status=0
"$TAMBLET_CLI" update update.pgm >cli-fault.log 2>&1 || status=$?
((status == 1)) || fail "a device fault gave exit status $status: $(tail -n 1 cli-fault.log)"
[[ $(tail -n 1 cli-fault.log) == "Verify error!!" ]] || fail "ended at $(tail -n 1 cli-fault.log)"
echo "PASS: Complete! with the image in flash; a failing Verify gives status 1"
