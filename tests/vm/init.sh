#!/bin/sh
# The virtual machine's first process.  It mounts what the program and the
# checks read, loads the event devices' and the PC speaker's drivers (as a
# system's udev would), starts the speaker's gate log, and then serves the
# host on the serial port: each line "ID COMMAND" is run by the shell and
# answered with one line "@@ ID STATUS BASE64-OF-OUTPUT".  The program runs
# on a virtual console (see on-console.sh).
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
mkdir -p /tmp
insmod /lib/modules/evdev.ko
insmod /lib/modules/pcspkr.ko
speaker_gate >/tmp/gate.log 2>/tmp/gate.err &
exec </dev/ttyS0 >/dev/ttyS0 2>&1
# The host's lines are not echoed; the answers are single lines.
stty -echo
echo "@@ ready"
while IFS= read -r line; do
  id=${line%% *}
  (eval "${line#* }") </dev/null >/tmp/answer 2>&1
  echo "@@ $id $? $(base64 -w 0 /tmp/answer)"
done
poweroff -f
