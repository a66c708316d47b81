# tamblet-cli with two USB instruments attached: a plain update is refused as
# a usage error that lists both by serial and USB path, and nothing is sent;
# --serial picks one, and only that one's flash changes.
controllers 2
update_file update.pgm small
# Serial numbers are the gadgets' names.
gadget one "QELMAR ONE" QELMAR 0
gadget two "QELMAR TWO" QELMAR 1
devsim one
devsim two
status=0
"$TAMBLET_CLI" update update.pgm >refused.log 2>refused.err || status=$?
((status == 2)) || fail "plain update: exit status $status, not 2: $(cat refused.err)"
grep -q '^tamblet-cli: 2 instruments found and none chosen; choose one with --serial S, --usb-path P' \
  refused.err || fail "no refusal: $(cat refused.err)"
for name in one two; do
  grep -q "^   [12]  output [0-9]* + input [0-9]*  QELMAR ${name^^}  serial $name  usb [0-9]*-1\( \|\$\)" \
    refused.err || fail "$name is not listed: $(cat refused.err)"
done
[[ ! -s refused.log ]] || fail "the refusal wrote to standard output: $(cat refused.log)"
(($(devsim_requests one) + $(devsim_requests two) == 0)) || fail "the refused update sent requests"
"$TAMBLET_CLI" update update.pgm --serial two >cli.log 2>&1 || fail "--serial two: exit status $?: $(tail -n 3 cli.log)"
grep -q '^Output Port: QELMAR TWO OUT 1$' cli.log || fail "ports: $(head -n 2 cli.log)"
[[ $(tail -n 1 cli.log) == "Complete!" ]] || fail "last line: $(tail -n 1 cli.log)"
devsim_stop one || true
devsim_stop two || fail "tamblet-devsim of two ended with an error"
(($(devsim_requests one) == 0)) || fail "one received $(devsim_requests one) requests"
[[ $(tr -d '\377' <one.flash | wc -c) == 0 ]] || fail "one's flash changed"
cmp -n 8192 update.pgm.image two.flash || fail "two's flash differs from the image"
echo "PASS: plain update refused (2) with both listed; --serial two updated two alone"
