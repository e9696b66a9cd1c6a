#!/bin/sh
# The guest's first process. It brings up what the program meets on a real
# machine: /proc (a worker finds its own program there), sysfs (the USB
# identities), devtmpfs (the ttyUSB nodes the kernel makes and removes as
# adapters come and go), the USB serial drivers and configfs, where a case
# makes the guest a USB gadget of its own. Then it runs the case in
# a session of its own whose controlling terminal is the console, so that a
# Ctrl+C typed on the console reaches the program as it would at a desk, and
# powers the machine off, which ends QEMU.
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
for module in $(cat /etc/uf-modules); do
  insmod "/lib/modules/uf/$module" || echo "UF-FAIL insmod $module"
done
mount -t configfs configfs /sys/kernel/config
# What the host types (a go between steps) is not echoed into the output it
# reads.
stty -echo < /dev/ttyS0
echo "UF-BOOTED"
setsid cttyhack sh /case.sh
echo "UF-DONE $?"
poweroff -f
