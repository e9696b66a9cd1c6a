// Which boards the words of a command line mean: port names as they stand,
// and the selectors that pick USB adapters by what they are. Also what is
// behind a port, and why one is not usable.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "serial/serial.h"
#include "update/port_identity.h"

// How a word in the place of a port picks ports:
//   "sn:A600ABCD"  the USB adapter with that serial number (case ignored),
//                  meant for one board
//   "0403:6001"    every USB adapter with that vendor and product ID (hex)
//   "loc:1-2.3"    the one USB adapter at that place on the bus
//   "COM5", "/dev/ttyUSB0"  a port name, or on Linux a device path
//   anything else  no port at all (Invalid), with the reason
struct PortSelector {
  enum Kind { Name, Serial, VendorProduct, Location, Invalid } kind = Name;
  std::string word;     // as given
  std::string error;    // Invalid: why the word picks nothing
  std::string serial;   // Serial
  std::string location; // Location: "1-2.3", where the adapter sits on the bus
  std::string vendor;   // VendorProduct, four lower-case hex digits
  std::string product;
};
PortSelector ParsePortSelector(const std::string& word);

// The words of a command line, each read once. `error` (may be null) gets
// the first word's reason to name no port; empty when every word can.
std::vector<PortSelector> ParsePortWords(const std::vector<std::string>& words,
                                         std::string* error);

// A port, with what is behind it.
struct PresentPort {
  std::string name;    // COMn, or a device path as given
  std::string device;  // the device path on Linux; empty on Windows
  UsbIdentity usb;
  DeviceKey key;       // tells this device from any other; empty: unknown
};

bool SelectorMatches(const PortSelector& selector, const PresentPort& port);

// "COM5 0403:6001 FTDI FT232R USB UART sn A600ABCD", "COM1 /dev/ttyS0", "COM3".
std::string PresentPortText(const PresentPort& port);

// Why the words pick no usable set of boards.
enum class ResolveError {
  None,
  BadWord,    // a word that names no port at all
  NoMatch,    // a selector that matches no port that is there
  NotUnique,  // an sn: selector that matches several
};

struct Resolution {
  ResolveError error = ResolveError::None;
  std::string word;                 // the word the error is about
  std::string reason;               // BadWord: why
  std::vector<PresentPort> ports;   // NoMatch: what is there; NotUnique: the matches
  std::vector<PresentPort> boards;  // the boards picked, in order, each device once
  std::vector<std::string> same;    // a line for each name that was a device picked already
};

// The boards the words pick, in the order given, each device once: two
// names for one device (COM5 and the path it leads to) pick it once, under
// the first name. Names are taken as they stand (through `describe`, which
// finds what is behind them); selectors are matched against `present`.
Resolution ResolvePorts(const std::vector<PortSelector>& selectors,
                        const std::vector<PresentPort>& present,
                        const std::function<PresentPort(const std::string&)>& describe);

// The resolution's error in words, for a usage error; empty without one.
std::string ResolveErrorText(const Resolution& resolution);

// The first word that can name no port at all, as a usage error; empty
// when every word can.
std::string CheckPortWords(const std::vector<std::string>& words);

// Whether any of them picks ports by what they are (and so needs the port
// scan).
bool HasSelector(const std::vector<PortSelector>& selectors);

// Where sysfs is looked for: UPDATE_FIRMWARE_SYSFS, else /sys.
std::string SysfsRoot();

// The port `name` with what is behind it, whether or not it opens.
PresentPort DescribePort(const std::string& name);
// The same without the device key, which on Windows can only be had by
// opening the device: for one port, where there is nothing to tell apart,
// and where nothing may be opened before the image is checked.
PresentPort DescribeName(const std::string& name);

// Every COMn that is there and free, with what is behind it, in ascending
// order. Only looked at: nothing is configured.
std::vector<PresentPort> ScanPresentPorts();

// Why a port is not usable, in plain words; empty when there is nothing
// useful to say (a COM name that leads nowhere, where `has_device` is false).
std::string PortErrorText(PortError error, int32_t system_error, bool has_device);

// After an open or a probe of `port` failed: "/dev/ttyUSB0: busy, held by
// another program", or only the reason where no device path is known. The
// names in it are as the system gave them: each output escapes them its
// own way.
std::string LastPortProblem(const std::string& port);
// The reason alone, the holder named where it is known ("busy, in use by
// minicom (pid 4711)") and the fix of a refused permission.
std::string LastPortReason(const std::string& port);
