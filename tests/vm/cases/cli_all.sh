# tamblet-cli update --all through the kernel's USB MIDI driver: two attached
# instruments updated at once, each on its own ports, both with the image.
update_file update.pgm
gadget one "QELMAR ONE" QELMAR 0
gadget two "QELMAR TWO" QELMAR 1
devsim one
devsim two
"$TAMBLET_CLI" update update.pgm --all >cli.log 2>&1 || fail "exit status $?: $(tail -n 4 cli.log)"
for name in ONE TWO; do
  grep -q "^QELMAR $name OUT 1 *Complete!" cli.log || fail "no Complete! for $name: $(tail -n 4 cli.log)"
  grep -q "^QELMAR $name OUT 1: Input Port: QELMAR $name IN 1$" cli.log ||
    fail "$name was not paired with its own input"
done
devsim_stop one || fail "the first tamblet-devsim ended with an error"
devsim_stop two || fail "the second tamblet-devsim ended with an error"
flash_matches one.flash update.pgm.image || fail "the first device's flash differs from the image"
flash_matches two.flash update.pgm.image || fail "the second device's flash differs from the image"
echo "PASS: both instruments Complete!, each flash holds the image"
