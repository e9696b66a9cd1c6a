"""The command-line program on a real Linux kernel: a small QEMU guest
(Debian's kernel, busybox, the program) whose USB adapters are QEMU's
emulated FTDI devices, each wired to a simulated board on this machine.
kernel fetches and unpacks the kernel, initramfs makes the guest's files,
machine runs QEMU, plugs and pulls adapters and reads the console. The
simulator and the test kit's helpers come from tests/gui/guikit."""
