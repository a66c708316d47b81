# tamblet-cli watch on a service bench of four instruments, through the
# kernel's USB MIDI driver: one attached before the start, three bound while
# it watches; one fails Verify, one is pulled during its data load and plugged
# back (its first update ends at the failure, the second completes). Each
# plug-in is updated once and recorded once; two Ctrl-C end the program.
# Then it measures the time from a bind to the first request, one instrument
# alone against four plugged at once.
controllers 4
update_file update.pgm small
# Serial numbers are the gadgets' names: a, b, c, d.
gadget a "QELMAR A" QELMAR 0
devsim_timed a
env --default-signal=INT "$TAMBLET_CLI" watch update.pgm --report report.jsonl >watch.log 2>watch.err &
WATCH_PID=$!
at_exit 'kill -KILL $WATCH_PID; tail -n 30 watch.log watch.err'
records() { grep -c . report.jsonl 2>/dev/null || true; }
record_of() { grep "\"instrument\":\"$1\"" report.jsonl | sed -n "${2:-1}p"; }
end_ms() { date -d "$(sed 's/.*"end":"\([^"]*\)".*/\1/' <<<"$1")" +%s%3N; }

# Bound while it watches: from each bind to the first request of its update.
declare -A BOUND
BOUND[b]=$(now_ms)
gadget b "QELMAR B" QELMAR 1
devsim_timed b --fault VerifySum:1:fail-status
BOUND[c]=$(now_ms)
gadget c "QELMAR C" QELMAR 2
devsim_timed c --fault WriteData:2:delay=3000  # the second data reply is held back
wait_for 60 bash -c '(($(grep -c " WriteData " devsim-c.log) >= 2))' || fail "no data load on c"
unplug c
wait_for 15 grep -q '^QELMAR C (c): update ended: ' watch.log || fail "c's update did not end after the unplug"
first_c=$(($(first_request_ms c) - BOUND[c]))
devsim_stop c || true
BOUND[c]=$(now_ms)
plug c
devsim_timed c
BOUND[d]=$(now_ms)
gadget d "QELMAR D" QELMAR 3
devsim_timed d
wait_for 60 bash -c '(($(grep -c . report.jsonl) >= 5))' || fail "$(records) records, not 5"
sleep 1  # nothing more may come
(($(records) == 5)) || fail "$(records) records, not 5: $(cat report.jsonl)"
binds=($(($(first_request_ms b) - BOUND[b])) $first_c $(($(first_request_ms c) - BOUND[c]))
  $(($(first_request_ms d) - BOUND[d])))
echo "MEASURED bind to first request while watching: median $(median "${binds[@]}") ms (b, c, c again, d: ${binds[*]})"

# One record per update, each with its instrument's identity and final text.
for name in a b c d; do
  record=$(record_of $name)
  grep -q "\"usb_path\":\"usb [0-9]*-1\".*\"card\":\"QELMAR ${name^^}\".*\"output_port\":\"QELMAR ${name^^} OUT 1\"" <<<"$record" ||
    fail "record of $name: $record"
done
grep -q '"final":"Complete!","exit":0' <<<"$(record_of a)" || fail "a: $(record_of a)"
grep -q '"final":"Verify error!!","exit":1' <<<"$(record_of b)" || fail "b: $(record_of b)"
# Where the pull lands in the update decides which step fails.
grep -q '"final":"[A-Za-z ]* failed!!","exit":1' <<<"$(record_of c 1)" || fail "c, first: $(record_of c 1)"
grep -q '"final":"Complete!","exit":0' <<<"$(record_of c 2)" || fail "c, second: $(record_of c 2)"
grep -q '"final":"Complete!","exit":0' <<<"$(record_of d)" || fail "d: $(record_of d)"
sha=$(sha256sum update.pgm | cut -d' ' -f1)
(($(grep -c "\"sha256\":\"$sha\"" report.jsonl) == 5)) || fail "a record without the file's SHA-256"
grep -q '^tamblet-cli: QELMAR B (b): unplug it and plug it in to try again$' watch.err ||
  fail "no line after b's failure: $(cat watch.err)"
if grep -q 'QELMAR C (c): unplug it' watch.err; then fail "c was unplugged: no need to say so"; fi
"$TAMBLET_CLI" ports >ports.log
for name in a b c d; do
  grep -q "  QELMAR ${name^^}  serial $name  usb [0-9]*-1\( \|\$\)" ports.log || fail "ports: $(cat ports.log)"
done
if ls -l "/proc/$WATCH_PID/fd" 2>/dev/null | grep -q /dev/snd/midi; then fail "a port is still open"; fi
for name in a c d; do
  devsim_stop $name || fail "tamblet-devsim of $name ended with an error"
  cmp -n $((0x2000)) update.pgm.image $name.flash || fail "$name's flash differs from the image"
done
devsim_stop b || true
echo "five updates recorded once each; a, c, d hold the image; d's record:"
record_of d

# Measured: one instrument plugged alone, then four at once, from the host's taking them in.
unplug a && unplug b && unplug c && unplug d
plug_at_once a
wait_for 60 bash -c '(($(grep -c . report.jsonl) >= 6))' || fail "a alone was not updated"
alone_first=$(($(first_request_ms a) - AUTHORIZED_MS[a]))
alone_total=$(($(end_ms "$(record_of a 2)") - AUTHORIZED_MS[a]))
devsim_stop a || true
unplug a
plug_at_once a b c d
wait_for 90 bash -c '(($(grep -c . report.jsonl) >= 10))' || fail "$(records) records, not 10"
firsts=() last=0
for name in a b c d; do
  firsts+=($(($(first_request_ms $name) - AUTHORIZED_MS[$name])))
  record=$(grep "\"instrument\":\"$name\"" report.jsonl | tail -n 1)
  grep -q '"final":"Complete!"' <<<"$record" || fail "four at once, $name: $record"
  end=$(end_ms "$record")
  ((end > last)) && last=$end
done
four_total=$((last - AUTHORIZED_MS[a]))
echo "MEASURED taken in to first request: alone ${alone_first} ms, four at once median $(median "${firsts[@]}") ms (${firsts[*]})"
echo "MEASURED taken in to the last Complete!: one ${alone_total} ms, four at once ${four_total} ms"

kill -INT $WATCH_PID
sleep 0.2
kill -INT $WATCH_PID 2>/dev/null || true
status=0
wait $WATCH_PID || status=$?
((status == 130)) || fail "watch ended with status $status after two Ctrl-C"
grep -q 'stopped; every port is closed' watch.err || fail "no closing line: $(tail -n 2 watch.err)"
echo "PASS: each plug-in updated and recorded once; two Ctrl-C end the watch (130)"
