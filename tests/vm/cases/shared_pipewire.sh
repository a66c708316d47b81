# PipeWire and WirePlumber on a session bus, with a client linked to the MIDI
# bridge: the bridge holds both raw ports of the device, the update runs
# through the sequencer beside it, ends at "Complete!", and the device's flash
# then holds the image.
update_file update.pgm
gadget dev "QELMAR ORC"
devsim dev
export XDG_RUNTIME_DIR=$PWD/runtime XDG_CONFIG_HOME=$PWD/config
mkdir -m 700 "$XDG_RUNTIME_DIR"
mkdir -p "$XDG_CONFIG_HOME/wireplumber"
# No login manager here, and without one WirePlumber's Bluetooth part stops it.
grep -v 'bluetooth.lua' /usr/share/wireplumber/wireplumber.conf >"$XDG_CONFIG_HOME/wireplumber/wireplumber.conf"
export DBUS_SESSION_BUS_ADDRESS=unix:path=$XDG_RUNTIME_DIR/bus
dbus-daemon --session --address="$DBUS_SESSION_BUS_ADDRESS" --nofork --nopidfile >dbus.log 2>&1 &
at_exit "kill $!"
wait_for 10 test -S "$XDG_RUNTIME_DIR/bus" || fail "no session bus"
pipewire >pipewire.log 2>&1 &
pipewire_pid=$!
at_exit "kill $pipewire_pid"
wait_for 20 test -S "$XDG_RUNTIME_DIR/pipewire-0" || fail "PipeWire did not start"
wireplumber >wireplumber.log 2>&1 &
at_exit "kill $!"
pw-mididump >/dev/null 2>&1 &
at_exit "kill $!"
bridge_port() { pw-link -o | grep -m 1 'Midi-Bridge:.*ORC MIDI 1'; }
wait_for 60 bridge_port >/dev/null || fail "no bridge port for the device: $(tail -n 3 wireplumber.log)"
wait_for 20 pw-link "$(bridge_port)" midi-dump:input || fail "cannot link a client to the bridge"
wait_for 20 held_by "$pipewire_pid" dev Output || fail "PipeWire does not hold the output"
held_by "$pipewire_pid" dev Input || fail "PipeWire does not hold the input"
demo update.pgm
demo_end
[[ $(demo_status) == "Complete!" ]] || fail "the run ended at \"$(demo_status)\""
devsim_stop dev || fail "tamblet-devsim ended with an error"
flash_matches dev.flash update.pgm.image || fail "the device's flash differs from the image"
echo "PASS: Complete! beside PipeWire's MIDI bridge, flash matches the image"
