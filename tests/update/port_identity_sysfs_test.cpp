// The USB identity behind a tty, read from a sysfs tree built like a real
// machine's.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>

#include "tests/support/pty.h"
#include "tests/update/sysfs_fixture.h"
#include "update/port_identity.h"

namespace {

namespace fs = std::filesystem;
using namespace sysfs_fixture;

class Sysfs : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/uf-sysfs-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    root_ = tmpl;
    UsbSerialAdapter(root_, "ttyUSB0", "1-1", "0403", "6001", "FTDI", "FT232R USB UART",
                     "A600ABCD");
    UsbSerialAdapter(root_, "ttyUSB1", "1-2", "10C4", "EA60", "Silicon Labs",
                     "CP2102 USB to UART Bridge Controller", "0001");
    // CH340: no serial number at all.
    UsbSerialAdapter(root_, "ttyUSB2", "1-4", "1a86", "7523", "", "USB Serial", "");
    // CDC-ACM: the tty's device is the interface itself.
    const fs::path acm = UsbDevice(root_, "1-3", "2341", "0043", "Arduino (www.arduino.cc)", "",
                                   "75833353035351B0C1E1");
    Tty(root_, "ttyACM0", acm / "1-3:1.0");
    // An on-board UART.
    Tty(root_, "ttyS0", root_ / "devices/platform/serial8250");
  }
  void TearDown() override { fs::remove_all(root_); }
  fs::path root_;
};

TEST_F(Sysfs, EachKindOfAdapterGivesWhatItReports) {
  const UsbIdentity ftdi = UsbIdentityFromSysfs(root_.string(), "/dev/ttyUSB0");
  EXPECT_EQ(UsbIdentityText(ftdi), "0403:6001 FTDI FT232R USB UART sn A600ABCD");

  // IDs come out in lower case, whatever the file says.
  const UsbIdentity cp210x = UsbIdentityFromSysfs(root_.string(), "/dev/ttyUSB1");
  EXPECT_EQ(cp210x.vendor_id, "10c4");
  EXPECT_EQ(cp210x.product_id, "ea60");
  EXPECT_EQ(cp210x.serial, "0001");
  EXPECT_EQ(cp210x.product, "CP2102 USB to UART Bridge Controller");

  const UsbIdentity acm = UsbIdentityFromSysfs(root_.string(), "/dev/ttyACM0");
  EXPECT_EQ(UsbIdentityText(acm), "2341:0043 Arduino (www.arduino.cc) sn 75833353035351B0C1E1");

  const UsbIdentity ch340 = UsbIdentityFromSysfs(root_.string(), "/dev/ttyUSB2");
  EXPECT_TRUE(ch340.IsUsb());
  EXPECT_EQ(ch340.serial, "");
  EXPECT_EQ(UsbIdentityText(ch340), "1a86:7523 USB Serial");
}

TEST_F(Sysfs, TheLocationIsTheUsbDevicesPlaceOnTheBus) {
  UsbSerialAdapter(root_, "ttyUSB3", "1-2/1-2.3", "0403", "6001", "", "", "");  // behind 1-2
  EXPECT_EQ(UsbIdentityFromSysfs(root_.string(), "/dev/ttyUSB3").location, "1-2.3");
  EXPECT_EQ(UsbIdentityFromSysfs(root_.string(), "/dev/ttyACM0").location, "1-3");
  unsetenv("UPDATE_FIRMWARE_COM5");
  EXPECT_EQ(FindUsbIdentity("COM5", root_.string()).location, "1-1");  // /dev/ttyUSB0
  EXPECT_EQ(UsbIdentityFromSysfs(root_.string(), "/dev/ttyS0").location, "");
}

TEST_F(Sysfs, NotUsbOrNotThereIsAnEmptyIdentity) {
  // The on-board UART's tree has no USB device above it; the walk must stop
  // at the tree's root and not report the root hub or anything outside.
  EXPECT_FALSE(UsbIdentityFromSysfs(root_.string(), "/dev/ttyS0").IsUsb());
  EXPECT_FALSE(UsbIdentityFromSysfs(root_.string(), "/dev/ttyUSB7").IsUsb());
  EXPECT_FALSE(UsbIdentityFromSysfs(root_.string(), "/dev/pts/3").IsUsb());
  EXPECT_FALSE(UsbIdentityFromSysfs((root_ / "missing").string(), "/dev/ttyUSB0").IsUsb());
  EXPECT_EQ(UsbIdentityText(UsbIdentity{}), "");
}

TEST_F(Sysfs, ALinkToTheDeviceNodeLeadsToItsIdentity) {
  // As /dev/serial/by-id/usb-FTDI_...-if00-port0 -> ../../ttyUSB0.
  const fs::path dev = root_ / "dev";
  fs::create_directories(dev / "serial/by-id");
  std::ofstream(dev / "ttyUSB1").put('\n');
  fs::create_symlink("../../ttyUSB1", dev / "serial/by-id/usb-Silicon_Labs-if00-port0");
  EXPECT_EQ(UsbIdentityFromSysfs(root_.string(),
                                 (dev / "serial/by-id/usb-Silicon_Labs-if00-port0").string())
                .vendor_id,
            "10c4");
}

TEST_F(Sysfs, AttributesThatAreNoPlainShortFileCostAShortReadAtMost) {
  UsbSerialAdapter(root_, "ttyUSB5", "1-5", "0403", "6001", "", "", "");
  const fs::path dev = root_ / "devices/pci0000:00/0000:00:14.0/usb1/1-5";
  std::ofstream(dev / "product").close();
  fs::resize_file(dev / "product", 3ull << 30);  // sparse: one line of 3 GB
  fs::create_symlink("/dev/zero", dev / "manufacturer");
  ASSERT_EQ(mkfifo((dev / "serial").c_str(), 0600), 0);  // its open waits for a writer
  const UsbIdentity id = UsbIdentityFromSysfs(root_.string(), "/dev/ttyUSB5");
  EXPECT_EQ(id.vendor_id, "0403");
  EXPECT_LE(id.product.size(), 256u);
  EXPECT_EQ(id.manufacturer + id.serial, "");
}

TEST_F(Sysfs, TheWalkEndsAtTheFirstUsbDeviceAndInsideTheTree) {
  // Without a product ID the device is not identified; its hub is not it.
  fs::remove(root_ / "devices/pci0000:00/0000:00:14.0/usb1/1-1/idProduct");
  EXPECT_FALSE(UsbIdentityFromSysfs(root_.string(), "/dev/ttyUSB0").IsUsb());
  const fs::path outside = root_.string() + "-outside", link = root_ / "devices/tty/ttyUSB8/device";
  Tty(root_, "ttyUSB8", root_ / "devices");
  fs::remove(link);
  fs::create_directory_symlink(UsbDevice(outside, "1-1", "0403", "6001", "", "", ""), link);
  EXPECT_FALSE(UsbIdentityFromSysfs(root_.string(), "/dev/ttyUSB8").IsUsb());
  fs::remove_all(outside);
}

TEST_F(Sysfs, ADeviceHasOneKeyWhateverNameLeadsToIt) {
  Pty one, two;
  const DeviceKey key = FindDeviceKey(one.path, root_.string());
  ASSERT_FALSE(key.empty());
  fs::create_symlink(one.path, root_ / "link");
  EXPECT_EQ(FindDeviceKey((root_ / "link").string(), root_.string()), key);
  EXPECT_NE(FindDeviceKey(two.path, root_.string()), key);
  std::ofstream(root_ / "file").close();  // no device, so no key of its own
  EXPECT_TRUE(FindDeviceKey((root_ / "file").string(), root_.string()).empty());
}

TEST_F(Sysfs, AKeyTellsAdaptersBySerialNumberElseByPlaceOnTheBus) {
  UsbSerialAdapter(root_, "null", "1-5", "1a86", "7523", "", "", "");  // behind /dev/null
  EXPECT_EQ(FindDeviceKey("/dev/null", root_.string()).usb, "1-5");
  UsbDevice(root_, "1-5", "1a86", "7523", "", "", "B1");
  EXPECT_EQ(FindDeviceKey("/dev/null", root_.string()).usb, "B1");
}

TEST_F(Sysfs, PortNamesLeadThroughTheComTable) {
  setenv("UPDATE_FIRMWARE_COM5", "/dev/ttyACM0", 1);
  EXPECT_EQ(FindUsbIdentity("COM5", root_.string()).product_id, "0043");
  unsetenv("UPDATE_FIRMWARE_COM5");
  EXPECT_EQ(FindUsbIdentity("COM5", root_.string()).serial, "A600ABCD");  // /dev/ttyUSB0
  EXPECT_FALSE(FindUsbIdentity("COM1", root_.string()).IsUsb());          // /dev/ttyS0
  EXPECT_FALSE(FindUsbIdentity("nonsense", root_.string()).IsUsb());
}

}  // namespace
