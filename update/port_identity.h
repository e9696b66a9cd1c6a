// Which device is behind a port: for a USB adapter its vendor and product
// IDs, manufacturer, product and serial number. Production lines plug in
// many adapters of one make, and their port names change with every replug;
// the serial number is what stays.
//
// The parsing is portable and tested everywhere; where the facts come from
// is the platform's (port_identity_posix.cpp reads sysfs, port_identity_win32.cpp
// asks SetupAPI).
#pragma once

#include <string>

struct UsbIdentity {
  std::string vendor_id;   // four lower-case hex digits, e.g. "0403"; empty: not USB
  std::string product_id;  // four lower-case hex digits
  std::string manufacturer;
  std::string product;
  std::string serial;      // empty when the device reports none
  // Where the adapter sits on the bus, which holds while it stays in its
  // socket: what tells apart the stations of a rig, and adapters without a
  // serial number. On Linux the USB device's sysfs name, e.g. "1-2.3"; on
  // Windows its location path, e.g. "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)".
  // Empty when not known.
  std::string location;

  bool IsUsb() const { return !vendor_id.empty(); }
};

// The USB device behind the tty device `device_path` (e.g. /dev/ttyUSB0, or
// a link to it), found in the sysfs tree whose root is `sysfs_root` ("/sys"
// on a real machine): class/tty/<name>/device leads into the device tree,
// and the nearest directory above it with idVendor is the USB device. Not
// USB (an on-board UART, a pseudo-terminal), that directory without a valid
// idProduct, or a link leading out of the tree: an empty identity. Only
// plain files are read, and of each at most its first 256 bytes. The
// location is what UsbPlaceFromSysfs gives.
UsbIdentity UsbIdentityFromSysfs(const std::string& sysfs_root, const std::string& device_path);

// Where the USB device behind that tty sits on the bus: the name of its
// directory in sysfs, e.g. "1-1.2" (bus 1, port 1 of the root hub, port 2
// of the hub there); empty when it is not identified as above. It holds as
// long as the adapter stays in its socket, which tells apart adapters that
// have no serial number.
std::string UsbPlaceFromSysfs(const std::string& sysfs_root, const std::string& device_path);

// The identity in a Windows device instance ID, such as
// "USB\VID_0403&PID_6001\A600ABCD" or "FTDIBUS\VID_0403+PID_6001+A600ABCDA\0000".
// A last part that Windows made up (it holds '&', as in "6&2A3B4C5&0&2")
// is no serial number. FTDI's own driver appends the channel letter to the
// serial; that letter is dropped. Manufacturer and product are not in the ID.
UsbIdentity UsbIdentityFromInstanceId(const std::string& instance_id);

// Where the USB device of a Windows device node sits, from two SetupAPI
// properties: `location_paths` is SPDRP_LOCATION_PATHS as it comes (paths
// each ended by a NUL, e.g. "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)#USB(3)"
// then an ACPI form), `location_information` SPDRP_LOCATION_INFORMATION (the
// hub driver's "Port_#0003.Hub_#0002"). The first path through a USB port
// wins, without the "#USBMI(n)" of an interface of a composite device, so
// that every port of one adapter has the adapter's place, as on Linux; else
// the hub driver's text; else nothing (an on-board port, or a text that
// names no USB port).
std::string UsbLocationFromSetupApi(const std::string& location_paths,
                                    const std::string& location_information);

// The identity of the device behind port `name` ("COM5", or on Linux a
// device path). `sysfs_root` is where sysfs is looked for on platforms that
// have it, and ignored elsewhere.
UsbIdentity FindUsbIdentity(const std::string& name, const std::string& sysfs_root);

// What tells one device from another behind port `name`: on Linux the
// character device's number (st_rdev of the path, links followed), plus for
// a USB adapter its serial number or, without one, its place on the bus (the
// USB device directory's name in sysfs, e.g. "1-1.2"); on Windows the
// upper-cased COM name plus the USB serial number when SetupAPI gives one.
// Empty when the name leads to no device.
//
// Two names of one board (COM5, its device path, a link to it) give equal
// keys, so it is flashed once; a board swapped for another between two looks
// at one name gives a different key, as the kernel hands the freed device
// number to the next adapter plugged in.
struct DeviceKey {
  std::string device;  // "188:0" on Linux, "COM5" on Windows
  std::string usb;     // serial number or place on the bus; empty when neither is known

  bool operator==(const DeviceKey& other) const {
    return device == other.device && usb == other.usb;
  }
  bool operator!=(const DeviceKey& other) const { return !(*this == other); }
  bool empty() const { return device.empty() && usb.empty(); }
};

DeviceKey FindDeviceKey(const std::string& name, const std::string& sysfs_root);

// How the identity reads in one short column: "0403:6001 FTDI FT232R USB UART
// sn A600ABCD"; empty when not USB.
std::string UsbIdentityText(const UsbIdentity& id);
