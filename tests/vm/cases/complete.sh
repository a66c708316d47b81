# A full update through the kernel's USB MIDI driver ends at "Complete!", and
# the device's flash then holds the image, wherever the maker's word stands:
# in the product name; only in the USB manufacturer name (product "XY-1"),
# which the card's long name begins with; before a product name of several
# words, which are joined.
update_file update.pgm
n=0
for row in "QELMAR ORC|QELMAR ORC" "XY-1|QELMAR XY-1" "QELMAR USB MIDI|QELMAR USB-MIDI"; do
  product=${row%|*} found=${row#*|} dev=dev$((++n))
  gadget $dev "$product"
  devsim $dev
  rm -f demo.in demo.out
  demo update.pgm
  demo_end
  [[ $(demo_port output) == "$found OUT 1" && $(demo_port input) == "$found IN 1" ]] ||
    fail "$product: ports found: \"$(demo_port output)\", \"$(demo_port input)\""
  [[ $(demo_status) == "Complete!" ]] || fail "$product: the run ended at \"$(demo_status)\""
  devsim_stop $dev || fail "$product: tamblet-devsim ended with an error"
  flash_matches $dev.flash update.pgm.image || fail "$product: the device's flash differs from the image"
  unplug $dev
  wait_for 10 bash -c "! grep -q 'at usb-dummy_hcd.0-1,' /proc/asound/cards" || fail "$product: its card stayed"
done
echo "PASS: Complete! as \"QELMAR ORC\", \"QELMAR XY-1\" and \"QELMAR USB-MIDI\", each flash matches the image"
