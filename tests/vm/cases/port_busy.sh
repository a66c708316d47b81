# Another program holding the device's raw port itself, so that the sequencer
# cannot open it either: Load fails at once with "Device open failed!!", then
# names the program, and sends nothing.
update_file update.pgm small
gadget dev "QELMAR ORC"
devsim dev
amidi -p "hw:${HOST_CARD[dev]},0" -d >/dev/null 2>&1 &
amidi_pid=$!
wait_for 5 grep -q "Owner PID *: *$amidi_pid" "/proc/asound/card${HOST_CARD[dev]}/midi0" ||
  fail "amidi does not hold the port"
demo update.pgm
demo_end
kill "$amidi_pid"
[[ $(demo_status) == "Device open failed!!" ]] || fail "the run ended at \"$(demo_status)\""
grep -A1 ' status: Device open failed!!$' demo.log | grep -q "message box: .* amidi (process $amidi_pid):" ||
  fail "no message names amidi after the status text"
opening=$(demo_line_ms "status: Device open....") failed=$(demo_line_ms "status: Device open failed!!")
((failed - opening < 1000)) || fail "the failure took $((failed - opening)) ms"
devsim_stop dev || true
(($(devsim_requests dev) == 0)) || fail "the device received $(devsim_requests dev) requests"
echo "PASS: Device open failed!! after $((failed - opening)) ms, no request sent"
