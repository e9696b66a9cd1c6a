#include "cli/help.h"

namespace {

const char* const kFooter = R"(
Loads a firmware image into a device's bootloader over a serial port, at
9600 baud, 8 data bits, no parity, one stop bit, no handshake.
`update-firmware-cli flash --help` tells the options of flash: --trace FILE
(with --force), --wait and --count N. An option given an empty value is a
usage error, never read as the option left out.

PORT is a COM name (COM1 to COM16), on Linux also a device path such as
/dev/ttyUSB0, or a selector:
  sn:SERIAL   the USB adapter with that serial number (case ignored); meant
              for one board, so several matches are an error
  VID:PID     every USB adapter with that vendor and product ID, four hex
              digits each, as lsusb shows them, e.g. 0403:6001
  loc:PLACE   the USB adapter at that place on the bus, as list shows it
              (1-2.3 on Linux): a fixture's slot, whatever the adapter
A selector that matches no port that opens is an error that lists the
ports there are. Two names for one device flash it once.

FILE is sent as it is, unless it is Intel HEX (.hex, .ihex) or S-records
(.srec, .s19, .s28, .s37, .mot), or --format says so: then the flat image it
describes is sent. It starts at the lowest data address (or --base), gaps
get the --fill byte (0xFF), an odd length one fill byte more; overlapping
records, a gap over --max-gap (64 KiB), data below --base and any record
with a wrong length or checksum are refused, naming the line or addresses.
`update-firmware-cli convert IN OUT` writes that flat image to a file.

When a port is busy, the program that holds it is named (on Linux, found
among every process's open files, or in a UUCP lock); a refused permission
comes with the fix that fits the device's group and mode; a board pulled or
one that stops taking data mid-upload is told at once, as "vanished" or
"stopped", with the bytes the driver took. `update-firmware-cli doctor`
checks the machine for what stops flashing, one finding a line with its fix.

For a production line, flash also takes --expect-sha256 HEX (any other
image is refused before a port opens), --log FILE (one JSON record per
board appended and flushed: time, station, version, port, device, USB
identity and location, image, size, SHA-256, outcome, bytes, seconds,
attempts), --attempts N (the start command goes up to N times) and --reset
SEQ (dtr=0|1, rts=0|1 and wait=MS, played after the port opens).

A station is set up once in a TOML profile and run with `station PROFILE`:
its keys are flash's options with _ for - (ports, image, expect_sha256,
which it must have, log, trace, force, format, base, fill, max_gap,
attempts, reset, count, serial_at and the other serial_ keys), its paths
relative to its folder. A key or value it cannot take is refused as
PROFILE:LINE before any port opens; beside it only --json and --quiet may
be given. `station --check PROFILE` checks it and the image, opens no port
and prints what the station would do.

Progress and the outcome go to standard error; with --json, JSON Lines go to
standard output instead: list gives one object per port (port, device, usb);
flash gives per port a "start" event, a "progress" event at each quarter and
an "outcome" event (port, device, usb, code, title, text, bytes sent,
seconds), then a "summary" event (boards, succeeded, failed, code, seconds);
with --wait also "waiting" and a "tally" event after each round. With
several ports: one progress line per port on a terminal, else one line per
port at each quarter; each port's outcome as it comes; then a table of port,
device, outcome and seconds.

On Linux COM1-COM4 are /dev/ttyS0-3, COM5-COM10 /dev/ttyUSB0-5 and
COM11-COM16 /dev/ttyACM0-5; UPDATE_FIRMWARE_COMn=/path/to/device puts any
device behind COMn, and UPDATE_FIRMWARE_SYSFS=/path reads the USB identities
from another sysfs tree than /sys.

Exit codes:
  0    every device took the update
  1    the firmware file is missing, unreadable, not a regular file, or too
       large
  2    the serial port cannot be opened
  3    the device does not respond
  4    the device gave a wrong answer to the start command
  5    the device did not confirm the update, stopped taking data, or the
       file came short while it was sent
  6    the device gave a wrong final answer
  64   bad command line: a word that names no port (COM1 to COM16, a
       device path from /, sn:SERIAL or VID:PID), a selector that matches
       no port or, for sn:, more than one, or a trace file that must not
       be written
  70   internal error: the tool failed, not the board (a worker process
       that could not start or ended without a verdict)
  74   output lost: standard output or a trace file could not be written
       (the board's own outcome, when it failed, comes first)
  130  interrupted (Ctrl+C); every port and the file are closed
With several boards the code is that of the first board that failed, in
the order the ports were given (a selector's in COM order); 0 only when
every board succeeded. The same holds for the boards of a --wait loop.

Examples:
  update-firmware-cli flash COM5 trx.fw && echo done
  update-firmware-cli flash COM5 COM6 COM7 COM8 trx.fw
  update-firmware-cli flash --json 0403:6001 trx.fw > results.jsonl
  update-firmware-cli flash --wait sn:A600ABCD trx.fw
  update-firmware-cli station line1/station.toml
)";

}  // namespace

const char* HelpFooter() { return kFooter; }
