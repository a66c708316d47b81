# A second tamblet-cli update of an instrument that one already updates over
# raw MIDI is kept off by the device's lock: it ends with the open-failure
# status and names the first program and its process, on the error stream and
# in JSON; the first update goes on to Complete!.
update_file update.pgm small
gadget dev "QELMAR ORC"
devsim dev --delay 20
"$TAMBLET_CLI" update update.pgm >first.log 2>first.err &
first=$!
at_exit "kill $first"
wait_for 20 held_by "$first" dev Output || fail "the first update holds no port: $(cat first.log first.err)"
held="is being updated by tamblet-cli (process $first): wait until that update has ended"
status=0
"$TAMBLET_CLI" update update.pgm >second.log 2>second.err || status=$?
((status == 4)) || fail "exit status $status: $(tail -n 2 second.log second.err)"
grep -qF "$held" second.err || fail "the first update is not named: $(cat second.err)"
"$TAMBLET_CLI" --json update update.pgm >second.json 2>/dev/null || true
grep -F '"type":"message"' second.json | grep -qF "$held" || fail "no JSON line names it: $(cat second.json)"
wait "$first" || fail "the first update ended with $?: $(tail -n 2 first.log first.err)"
[[ $(tail -n 1 first.log) == "Complete!" ]] || fail "the first update ended at $(tail -n 1 first.log)"
echo "PASS: a second update kept off, naming tamblet-cli (process $first); the first completed"
