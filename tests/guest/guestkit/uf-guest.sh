# Helpers for a case's script, which sources this first. Every line meant for
# the host starts with "UF-"; the program's own standard output goes to the
# console as it comes.

# The console is the harness's line. The program must not list it, nor set
# it to 9600 baud raw while it looks for ports, so the names of the on-board
# UARTs lead nowhere.
for n in 1 2 3 4; do export UPDATE_FIRMWARE_COM$n=/nonexistent/uf-console; done

# A Ctrl+C typed on the console is for the program: this shell stays to
# report how it ended. (A trap, unlike an ignored signal, is not passed on.)
trap : INT

# wait_ports N: until the kernel has made N ttyUSB devices.
wait_ports() {
  tries=0
  while [ "$(ls /dev | grep -c '^ttyUSB')" -lt "$1" ]; do
    tries=$((tries + 1))
    if [ "$tries" -gt 600 ]; then
      echo "UF-FAIL only $(ls /dev | grep -c '^ttyUSB') of $1 adapters appeared"
      return 1
    fi
    sleep 0.05
  done
}

# sysfs_identities: what sysfs tells of the USB device behind each ttyUSB,
# read here by the plain path a usb-serial tty has (the tty, its interface,
# the device), as the test's own account to hold the program's against.
sysfs_identities() {
  for tty in /sys/class/tty/ttyUSB*; do
    [ -e "$tty" ] || continue
    dev=$(readlink -f "$tty/device")
    dev=${dev%/*}
    dev=${dev%/*}
    printf 'UF-SYSFS %s\t%s\t%s\t%s\t%s\t%s\t%s\n' "${tty##*/}" "$(cat "$dev/idVendor")" \
      "$(cat "$dev/idProduct")" "$(cat "$dev/manufacturer")" "$(cat "$dev/product")" \
      "$(cat "$dev/serial")" "${dev##*/}"
  done
}

# step NAME COMMAND...: runs the command. Its standard error follows it, each
# line marked, then its exit code and the ids of any of the program's
# processes still alive (there should be none). Then it waits for the host's
# go, a line typed on the console, so that the host can look at the boards
# before the next step.
step() {
  name=$1
  shift
  echo "UF-STEP $name"
  "$@" 2>"/tmp/$name.err"
  code=$?
  sed "s/^/UF-ERR $name /" "/tmp/$name.err"
  echo "UF-END $name $code $(pidof update-firmware-cli)"
  read -r go
}
