// The USB identity read from a sysfs tree. The input is the text of the
// attribute files (idVendor, idProduct, manufacturer, product, serial, in
// that order, each ended by a NUL byte) of one adapter in a small tree laid
// out once, as the kernel lays it; its first byte picks how the tty hangs
// below the USB device and which attributes are missing.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "tests/update/sysfs_fixture.h"
#include "update/port_identity.h"

namespace {

namespace fs = std::filesystem;

const char* const kAttributes[] = {"idVendor", "idProduct", "manufacturer", "product", "serial"};

struct Tree {
  fs::path root;
  fs::path device;  // the USB device directory
};

const Tree& TheTree() {
  static const Tree tree = [] {
    // libFuzzer ends a timed run without the exit handlers, so the tree
    // goes where tools/fuzz.sh clears it (UF_FUZZ_TREE), else under /tmp.
    Tree t;
    if (const char* dir = std::getenv("UF_FUZZ_TREE")) {
      std::error_code e;
      fs::remove_all(dir, e);
      fs::create_directories(dir);
      t.root = fs::canonical(dir);
    } else {
      char pattern[] = "/tmp/uf-fuzz-sysfs-XXXXXX";
      t.root = mkdtemp(pattern);
    }
    t.device = sysfs_fixture::UsbDevice(t.root, "1-1", "0403", "6001", "", "", "");
    sysfs_fixture::UsbSerialAdapter(t.root, "ttyUSB0", "1-2", "0403", "6001", "", "", "");
    sysfs_fixture::Tty(t.root, "ttyACM0", t.device / "1-1:1.0");
    return t;
  }();
  return tree;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const Tree& tree = TheTree();
  const uint8_t pick = data[0];
  const bool usb_serial = (pick & 1) != 0;
  const fs::path dev = usb_serial ? tree.device.parent_path() / "1-2" : tree.device;
  size_t at = 1;
  for (size_t i = 0; i < 5; ++i) {
    const char* begin = reinterpret_cast<const char*>(data + at);
    const char* end = begin;
    while (at < size && data[at] != 0) ++at, ++end;
    if (at < size) ++at;
    std::error_code error;
    fs::remove(dev / kAttributes[i], error);
    if ((pick & (2u << i)) == 0) std::ofstream(dev / kAttributes[i], std::ios::binary).write(begin, end - begin);
  }
  const std::string device = usb_serial ? "/dev/ttyUSB0" : "/dev/ttyACM0";
  const UsbIdentity id = UsbIdentityFromSysfs(tree.root.string(), device);
  // An identity names a USB device by four hex digits each, lower case, and
  // holds no line end.
  if (id.IsUsb()) {
    for (const std::string* field : {&id.vendor_id, &id.product_id}) {
      if (field->size() != 4) __builtin_trap();
      for (char c : *field) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) __builtin_trap();
      }
    }
    for (const std::string* field : {&id.manufacturer, &id.product, &id.serial}) {
      if (field->find('\n') != std::string::npos || field->size() > 256) __builtin_trap();
    }
  }
  (void)UsbPlaceFromSysfs(tree.root.string(), device);
  return 0;
}
