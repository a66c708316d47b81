# A sequencer connection that writes to the device holds its raw output: the
# update sends through the sequencer beside it, ends at "Complete!", and the
# device's flash then holds the image. The kernel reports no output overrun.
modprobe -d "$TAMBLET_VM_KERNEL" -S "$(cat "$TAMBLET_VM_KERNEL/version")" snd-seq-dummy
update_file update.pgm
gadget dev "QELMAR ORC"
devsim dev
client=$(seq_client dev)
aconnect 14:0 "$client:0" || fail "cannot connect the through port to the device"
at_exit "aconnect -d 14:0 $client:0"
held_by any dev Output || fail "nothing holds the output"
dmesg -C
demo update.pgm
demo_end
[[ $(demo_status) == "Complete!" ]] || fail "the run ended at \"$(demo_status)\""
! dmesg | grep -i 'overrun' || fail "the kernel dropped bytes"
devsim_stop dev || fail "tamblet-devsim ended with an error"
flash_matches dev.flash update.pgm.image || fail "the device's flash differs from the image"
echo "PASS: Complete! beside a writing connection, no overrun, flash matches the image"
