# The device pulled while Tamblet waits for a reply during the data load: the
# run ends at "Load failed!!" within the reply time-out, the window survives
# with its ports closed; the names go once the run has ended, come back with
# the device, and a second Load in the same window completes on whatever card
# number it got back.
update_file update.pgm small
gadget dev "QELMAR ORC"
card=${HOST_CARD[dev]}
devsim dev --fault WriteData:2:delay=3000  # the second data reply is held back
demo --loads 2 update.pgm
wait_for 60 bash -c '(($(grep -c " WriteData " devsim-dev.log) >= 2))' || fail "no data load"
unplugged=$(now_ms)
unplug dev
wait_for 15 demo_has_line "waiting for a line before the next Load" ||
  fail "the run did not end after the unplug: \"$(demo_status)\""
failed=$(demo_line_ms "status: Load failed!!")
[[ -n $failed ]] || fail "the run ended at \"$(demo_status)\""
((failed - unplugged <= 6000)) || fail "\"Load failed!!\" came $((failed - unplugged)) ms after the unplug"
kill -0 "$DEMO_PID" || fail "the window is gone"
if ls -l "/proc/$DEMO_PID/fd" | grep -q /dev/snd/midi; then fail "the port pair is still open"; fi
wait_for 5 bash -c "! kill -0 ${DEVSIM_PID[dev]} 2>/dev/null" || fail "tamblet-devsim did not see the unplug"
devsim_stop dev || true
echo "Load failed!! $((failed - unplugged)) ms after the unplug; ports closed"

port_is() { [[ $(demo_port "$1") == "$2" ]]; }
wait_for 15 port_is input "" || fail "the unplugged device's port stayed: \"$(demo_port input)\""
plug dev
devsim dev
wait_for 15 port_is input "QELMAR ORC IN 1" || fail "plugged back: \"$(demo_port input)\""
demo_next
demo_end
[[ $(demo_status) == "Complete!" ]] ||
  fail "second Load ended at \"$(demo_status)\" (card $card, now ${HOST_CARD[dev]})"
echo "PASS: second Load on card ${HOST_CARD[dev]} (was $card): Complete!"
