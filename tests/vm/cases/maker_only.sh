# The maker's word only in the USB manufacturer name (product "XY-1"): the
# card's long name begins with it, and the device is found and updated.
update_file update.pgm small
gadget dev "XY-1" QELMAR
devsim dev
demo update.pgm
demo_end
[[ $(demo_port output) == "QELMAR XY-1 OUT 1" && $(demo_port input) == "QELMAR XY-1 IN 1" ]] ||
  fail "ports found: \"$(demo_port output)\", \"$(demo_port input)\""
[[ $(demo_status) == "Complete!" ]] || fail "the run ended at \"$(demo_status)\""
echo "PASS: Complete!"
