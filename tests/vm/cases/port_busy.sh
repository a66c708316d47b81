# Another program holding the device's raw input itself, so that the sequencer
# cannot open it either: Load fails at once with "Device open failed!!", then
# names the program; tamblet-cli update ends the same way with the open-failure
# status, names amidi and its process id on the error stream (in a JSON line
# with --json); nothing reaches the device.
update_file update.pgm small
gadget dev "QELMAR ORC"
devsim dev
amidi -p "hw:${HOST_CARD[dev]},0" -d >/dev/null 2>&1 &
amidi_pid=$!
at_exit "kill $amidi_pid"
wait_for 5 held_by "$amidi_pid" dev Input || fail "amidi does not hold the input"
demo update.pgm
demo_end
[[ $(demo_status) == "Device open failed!!" ]] || fail "the run ended at \"$(demo_status)\""
grep -A1 ' status: Device open failed!!$' demo.log | grep -q "message box: .* amidi (process $amidi_pid):" ||
  fail "no message names amidi after the status text"
opening=$(demo_line_ms "status: Device open....") failed=$(demo_line_ms "status: Device open failed!!")
((failed - opening < 1000)) || fail "the failure took $((failed - opening)) ms"
status=0
"$TAMBLET_CLI" update update.pgm >cli.log 2>cli.err || status=$?
((status == 4)) || fail "exit status $status: $(tail -n 2 cli.log)"
[[ $(tail -n 1 cli.log) == "Device open failed!!" ]] || fail "last line: $(tail -n 1 cli.log)"
grep -q "amidi (process $amidi_pid)" cli.err || fail "amidi is not named: $(cat cli.err)"
! grep -q amidi cli.log || fail "the holder is named on the standard output"
grep -q "then run the update again\.$" cli.err && ! grep -q "Load" cli.err ||
  fail "the terminal speaks of a Load button: $(cat cli.err)"
! grep -q "^ALSA lib" cli.err || fail "ALSA's library writes to the error stream: $(cat cli.err)"
"$TAMBLET_CLI" update update.pgm --json >cli.json 2>cli-json.err || true
grep -q "^{.*amidi (process $amidi_pid).*}$" cli.json || fail "no JSON line names amidi: $(cat cli.json)"
held_by "$amidi_pid" dev Input || fail "amidi lost the input"
devsim_stop dev || true
(($(devsim_requests dev) == 0)) || fail "the device received $(devsim_requests dev) requests"
echo "PASS: Device open failed!! after $((failed - opening)) ms, amidi named by the window, on the error stream and in JSON, no request sent"
