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

# sysfs_identities: what sysfs tells of the USB device behind each ttyUSB
# and ttyACM, read here by the plain path each kind has (a usb-serial tty:
# its port, the interface, the device; an ACM tty: the interface, the
# device), as the test's own account to hold the program's against.
sysfs_identities() {
  for tty in /sys/class/tty/ttyUSB* /sys/class/tty/ttyACM*; do
    [ -e "$tty" ] || continue
    dev=$(readlink -f "$tty/device")
    dev=${dev%/*}
    case ${tty##*/} in ttyUSB*) dev=${dev%/*} ;; esac
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

# The guest as a USB device of its own: a gadget with one ACM function on the
# software controller dummy_hcd, whose host side is in this guest too. The
# kernel's CDC-ACM driver makes it /dev/ttyACM0; the device end is
# /dev/ttyGS0, where a simulator plays the board.
GADGET=/sys/kernel/config/usb_gadget/uf

# acm_gadget VID PID SERIAL MANUFACTURER PRODUCT: makes the gadget, connects
# it and waits for both ends.
acm_gadget() {
  mkdir "$GADGET" "$GADGET/strings/0x409" "$GADGET/configs/c.1" "$GADGET/functions/acm.uf" &&
    echo "0x$1" > "$GADGET/idVendor" && echo "0x$2" > "$GADGET/idProduct" &&
    echo "$3" > "$GADGET/strings/0x409/serialnumber" &&
    echo "$4" > "$GADGET/strings/0x409/manufacturer" &&
    echo "$5" > "$GADGET/strings/0x409/product" &&
    ln -s "$GADGET/functions/acm.uf" "$GADGET/configs/c.1/" &&
    ls /sys/class/udc > "$GADGET/UDC" || { echo "UF-FAIL the USB gadget could not be made"; return 1; }
  wait_for /dev/ttyACM0 && wait_for /dev/ttyGS0
}

# acm_unplug: the gadget lets go of its controller, which is a pulled cable
# to the host side.
acm_unplug() {
  echo "" > "$GADGET/UDC"
}

wait_for() {
  tries=0
  until [ -e "$1" ]; do
    tries=$((tries + 1))
    if [ "$tries" -gt 600 ]; then
      echo "UF-FAIL no $1"
      return 1
    fi
    sleep 0.05
  done
}

# sim_start NAME OPTIONS...: the simulated board on the gadget's device end,
# recording the image in /tmp/NAME.image.
sim_start() {
  name=$1
  shift
  : > "/tmp/$name.image"
  bootloader-sim --device /dev/ttyGS0 --image "/tmp/$name.image" --timeout 120 "$@" \
    > /dev/null 2> "/tmp/$name.sim.txt" &
  sim_pid=$!
}

# sim_stop NAME: ends the board and tells what it received: UF-SIM NAME,
# the image's size and its MD5 sum.
sim_stop() {
  kill "$sim_pid" 2>/dev/null
  wait "$sim_pid"
  echo "UF-SIM $1 $(wc -c < "/tmp/$1.image") $(md5sum < "/tmp/$1.image" | cut -d' ' -f1)"
}

# when_received NAME N [COMMAND...]: in the background, once the board has
# N image bytes, marks it (UF-MARK NAME) and runs the command.
when_received() {
  (
    name=$1
    count=$2
    shift 2
    while [ "$(wc -c < "/tmp/$name.image")" -lt "$count" ]; do sleep 0.01; done
    echo "UF-MARK $name"
    "$@"
  ) &
}
