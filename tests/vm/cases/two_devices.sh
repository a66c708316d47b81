# Two devices attached: the ports of the first card are taken, and only that
# device is updated.
update_file update.pgm small
gadget one "QELMAR ONE" QELMAR 0
gadget two "QELMAR TWO" QELMAR 1
devsim one
devsim two
first=one other=two
((HOST_CARD[two] < HOST_CARD[one])) && first=two other=one
product=$(cat "/sys/kernel/config/usb_gadget/$first/strings/0x409/product")
demo update.pgm
demo_end
[[ $(demo_port output) == "$product OUT 1" && $(demo_port input) == "$product IN 1" ]] ||
  fail "ports found: \"$(demo_port output)\", \"$(demo_port input)\"; expected \"$product\"'s"
[[ $(demo_status) == "Complete!" ]] || fail "the run ended at \"$(demo_status)\""
devsim_stop one || true
devsim_stop two || true
(($(devsim_requests "$other") == 0)) || fail "the second device received requests"
cmp -n 8192 update.pgm.image "$first.flash" || fail "the first device's flash differs from the image"
echo "PASS: \"$product\" (card ${HOST_CARD[$first]}) updated, the other untouched"
