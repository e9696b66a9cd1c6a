// `doctor` on Windows under Wine: the COM ports the registry lists are each
// tried, and each gets one line.
#include <gtest/gtest.h>
#include <windows.h>

#include "update/doctor.h"

TEST(DoctorWin32, EveryListedComPortGetsOneLine) {
  // What the registry lists, read the plain way, against what doctor says.
  size_t listed = 0;
  HKEY key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) ==
      ERROR_SUCCESS) {
    DWORD values = 0;
    RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr,
                     nullptr, nullptr, nullptr);
    listed = values;
    RegCloseKey(key);
  }
  const std::vector<Finding> findings = CheckMachine(DoctorRoots{});
  std::string text;
  for (const Finding& f : findings) text += f.what + "\n";
  std::printf("%zu COM port(s) listed:\n%s", listed, text.c_str());
  if (listed == 0) {
    ASSERT_EQ(findings.size(), 1u);
    EXPECT_EQ(findings[0].what, "Windows lists no COM port");
  } else {
    ASSERT_EQ(findings.size(), listed) << text;
    for (const Finding& f : findings) EXPECT_EQ(f.what.rfind("COM", 0), 0u) << f.what;
  }
}
