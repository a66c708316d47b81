# No instrument when the window opens: the start-up box as ever. Plugged in
# afterwards, its port names appear and Load completes with no restart;
# unplugged while idle, the names go; plugged back (under whatever card
# number it gets), they come again and a second Load completes.
port_is() { [[ $(demo_port "$1") == "$2" ]]; }
ports_are() { port_is output "$1" && port_is input "$2"; }
shown() { echo "\"$(demo_port output)\", \"$(demo_port input)\""; }

update_file update.pgm small
demo --loads 2 update.pgm
wait_for 20 demo_has_line "waiting for a line before the first Load" ||
  fail "the window did not open"
demo_has_line "message box: QELMAR USB Driver not found!!" || fail "no start-up box"

gadget dev "QELMAR ORC"
devsim dev
wait_for 15 ports_are "QELMAR ORC OUT 1" "QELMAR ORC IN 1" || fail "after the plug-in: $(shown)"
demo_next
wait_for 60 demo_has_line "waiting for a line before the next Load" || fail "the first Load hangs"
[[ $(demo_status) == "Complete!" ]] || fail "the first Load ended at \"$(demo_status)\""
devsim_stop dev || fail "tamblet-devsim ended with an error"
card=${HOST_CARD[dev]}

unplug dev
wait_for 15 ports_are "" "" || fail "after the unplug: $(shown)"
plug dev
devsim dev
wait_for 15 ports_are "QELMAR ORC OUT 1" "QELMAR ORC IN 1" || fail "plugged back: $(shown)"
demo_next
demo_end
[[ $(demo_status) == "Complete!" ]] ||
  fail "the second Load (card ${HOST_CARD[dev]}, was $card) ended at \"$(demo_status)\""
echo "PASS: ports shown after the plug-in, gone after the unplug, back on card ${HOST_CARD[dev]}" \
  "(was $card); both Loads Complete!"
