// The identity in the device instance IDs that SetupAPI reports.
#include <gtest/gtest.h>

#include <string>

#include "update/port_identity.h"

namespace {

TEST(InstanceId, UsbSerialAdaptersAndWhatWindowsMadeUp) {
  struct Case {
    const char* id;
    const char* text;  // UsbIdentityText
  };
  const Case cases[] = {
      // Microsoft's generic driver: the serial is the last part.
      {"USB\\VID_0403&PID_6001\\A600ABCD", "0403:6001 sn A600ABCD"},
      {"USB\\VID_2341&PID_0043\\75833353035351B0C1E1", "2341:0043 sn 75833353035351B0C1E1"},
      // A serial keeps its case; matching ignores it.
      {"USB\\VID_0403&PID_6015\\DN0abcXy", "0403:6015 sn DN0abcXy"},
      // No serial on the device: Windows makes up an ID with '&'.
      {"USB\\VID_1A86&PID_7523\\5&2F7A8B3C&0&2", "1a86:7523"},
      // One interface of a composite device: its last part is no serial.
      {"USB\\VID_0483&PID_5740&MI_00\\6&1B4C4E2&0&0000", "0483:5740"},
      // FTDI's own bus driver: serial and channel letter joined.
      {"FTDIBUS\\VID_0403+PID_6010+FT4232HA\\0000", "0403:6010 sn FT4232H"},
      // Not USB at all.
      {"ACPI\\PNP0501\\1", ""},
      {"", ""},
      {"USB\\VID_12&PID_34\\X", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(UsbIdentityText(UsbIdentityFromInstanceId(c.id)), c.text) << c.id;
  }
}

TEST(SetupApiLocation, TheFirstPathThroughAUsbPortElseTheHubDriversText) {
  using namespace std::string_literals;
  const std::string pci = "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)#USB(3)";
  const std::string acpi = "ACPI(_SB_)#ACPI(PCI0)#ACPI(XHC_)#ACPI(RHUB)#ACPI(HS02)#USB(3)";
  struct Case {
    std::string paths, information, location;
  };
  const Case cases[] = {
      {pci + "\0"s + acpi + "\0\0"s, "Port_#0003.Hub_#0005", pci},
      {acpi, "", acpi},  // cut short of its NULs
      // An interface of a composite device: the adapter's place.
      {pci + "#USBMI(2)\0\0"s, "", pci},
      // An on-board port's path goes through no USB port.
      {"ACPI(_SB_)#ACPI(PCI0)#ACPI(LPCB)#ACPI(UAR1)\0\0"s, "", ""},
      {"\0\0"s, "Port_#0004.Hub_#0001", "Port_#0004.Hub_#0001"},
      {"", "0000.0014.0000.004.000.000.000.000.000", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(UsbLocationFromSetupApi(c.paths, c.information), c.location) << c.paths.c_str();
  }
}

TEST(DeviceKey, ANameThatLeadsToNoDeviceHasNone) {
  EXPECT_TRUE(FindDeviceKey("COM0", "").empty());
  EXPECT_TRUE(FindDeviceKey("nonsense", "").empty());
}

}  // namespace
