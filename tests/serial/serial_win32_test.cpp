// The Win32 backend under Wine. serial_wine_peer puts a pseudo-terminal
// behind COM5 and answers every chunk it receives, 200 ms later, with the
// same bytes inverted.
//
// Exclusive access is not tested here: Wine does not enforce share mode 0
// on COM ports. The native tests cover it (the same rule, held by a lock).
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <string>

#include "serial/serial.h"

namespace {

const char kPort[] = "COM5";

DCB StateOf(intptr_t h) {
  DCB dcb;
  std::memset(&dcb, 0, sizeof dcb);
  dcb.DCBlength = sizeof dcb;
  EXPECT_TRUE(GetCommState(reinterpret_cast<HANDLE>(h), &dcb));
  return dcb;
}

std::string Inverted(const std::string& s) {
  std::string out = s;
  for (char& c : out) c = static_cast<char>(c ^ 0xFF);
  return out;
}

bool WaitForInput(int32_t slot, int32_t count, DWORD timeout_ms = 3000) {
  const ULONGLONG start = GetTickCount64();
  while (GetTickCount64() - start < timeout_ms) {
    if (PortInputCount(slot) == count) return true;
    Sleep(10);
  }
  return false;
}

class SerialWin32 : public ::testing::Test {
 protected:
  void TearDown() override { CloseAllPorts(); }
};

TEST_F(SerialWin32, OpenAppliesLineSettingsAndTimeouts) {
  const intptr_t h = OpenPort(0, kPort, 9600, 0, 8, 1.0f, HandshakeNone, 16, 16);
  ASSERT_NE(h, 0);
  const DCB dcb = StateOf(h);
  EXPECT_EQ(dcb.BaudRate, 9600u);
  EXPECT_EQ(dcb.ByteSize, 8);
  EXPECT_EQ(dcb.Parity, NOPARITY);
  EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
  EXPECT_FALSE(dcb.fOutxCtsFlow);
  // No check of fRtsControl: Wine reads it back from the modem lines, and a
  // pseudo-terminal has none (it reports "enabled" whatever was set).
  EXPECT_FALSE(dcb.fOutX);
  EXPECT_FALSE(dcb.fInX);

  COMMTIMEOUTS t;
  ASSERT_TRUE(GetCommTimeouts(reinterpret_cast<HANDLE>(h), &t));
  EXPECT_EQ(t.ReadIntervalTimeout, 0u);
  EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 0u);
  EXPECT_EQ(t.ReadTotalTimeoutConstant, 0u);
  EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 100u);
  EXPECT_EQ(t.WriteTotalTimeoutConstant, 10u);
}

TEST_F(SerialWin32, HandshakeModesAndStopBitsReachTheDriver) {
  intptr_t h = OpenPort(0, kPort, 19200, 0, 8, 2.0f, HandshakeRtsCts, 100, 100);
  ASSERT_NE(h, 0);
  DCB dcb = StateOf(h);
  EXPECT_EQ(dcb.BaudRate, 19200u);
  EXPECT_EQ(dcb.StopBits, TWOSTOPBITS);
  EXPECT_TRUE(dcb.fOutxCtsFlow);
  // Wine keeps both as one termios flag (CRTSCTS) and reads it back as RTS
  // enabled rather than handshaking.
  EXPECT_NE(dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_DISABLE));
  ClosePort(0);

  h = OpenPort(0, kPort, 4800, 0, 8, 1.0f, HandshakeXonXoff, 1000, 1000);
  ASSERT_NE(h, 0);
  dcb = StateOf(h);
  EXPECT_EQ(dcb.BaudRate, 4800u);
  EXPECT_TRUE(dcb.fOutX);
  EXPECT_TRUE(dcb.fInX);
  EXPECT_EQ(static_cast<unsigned char>(dcb.XonChar), 0x11);
  EXPECT_EQ(static_cast<unsigned char>(dcb.XoffChar), 0x13);
  ClosePort(0);

  h = OpenPort(0, kPort, 9600, 0, 8, 1.0f, HandshakeNone, 16, 16);
  ASSERT_NE(h, 0);
  dcb = StateOf(h);
  EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
  EXPECT_FALSE(dcb.fOutxCtsFlow);
  // Mode 0 keeps XON/XOFF as the driver reports it: still on from before.
  EXPECT_TRUE(dcb.fOutX);
  EXPECT_TRUE(dcb.fInX);
}

TEST_F(SerialWin32, WriteCountsAndReadThroughThePeer) {
  ASSERT_NE(OpenPort(0, kPort, 9600, 0, 8, 1.0f, HandshakeNone, 16, 16), 0);
  EXPECT_EQ(PortInputCount(0), 0);
  // The answer comes 200 ms after the peer has the bytes; a read of all four
  // waits for it. The clock starts before the write, since on a loaded
  // machine the test may be held up between the write and the read.
  const ULONGLONG start = GetTickCount64();
  ASSERT_EQ(WritePort(0, "BL10", 4), 4);

  char buf[8] = {};
  ASSERT_EQ(ReadPort(0, buf, 4), 4);
  EXPECT_GE(GetTickCount64() - start, 150u);
  EXPECT_EQ(std::string(buf, 4), Inverted("BL10"));
  EXPECT_EQ(PortOutputCount(0), 0);

  ASSERT_EQ(WritePort(0, "OK\r\n", 4), 4);
  ASSERT_TRUE(WaitForInput(0, 4));
  ASSERT_EQ(ReadPort(0, buf, 1), 1);
  EXPECT_EQ(PortInputCount(0), 3);
  ASSERT_EQ(ReadPort(0, buf + 1, 3), 3);
  EXPECT_EQ(std::string(buf, 4), Inverted("OK\r\n"));
  EXPECT_EQ(PortInputCount(0), 0);
}

TEST_F(SerialWin32, ClosedAndNeverOpenedSlotsDoNothing) {
  char buf[4] = {'-', '-', '-', '-'};
  for (int32_t slot : {0, 3, 16, 200}) {
    EXPECT_EQ(PortInputCount(slot), 0) << slot;
    EXPECT_EQ(PortOutputCount(slot), 0) << slot;
    EXPECT_EQ(ReadPort(slot, buf, 4), 0) << slot;
    EXPECT_EQ(WritePort(slot, "abcd", 4), 0) << slot;
    ClosePort(slot);
  }
  EXPECT_EQ(std::string(buf, 4), "----");

  const intptr_t h = OpenPort(2, kPort, 9600, 0, 8, 1.0f, HandshakeNone, 16, 16);
  ASSERT_NE(h, 0);
  ClosePort(2);
  EXPECT_EQ(WritePort(2, "x", 1), 0);
  // The handle is really gone.
  DCB dcb;
  dcb.DCBlength = sizeof dcb;
  EXPECT_FALSE(GetCommState(reinterpret_cast<HANDLE>(h), &dcb));
}

TEST_F(SerialWin32, MissingPortsAndAbsentNamesFail) {
  EXPECT_EQ(OpenPort(0, "COM16", 9600, 0, 8, 1.0f, HandshakeNone, 16, 16), 0);
  EXPECT_EQ(LastPortError(nullptr), PortErrorAbsent);
  EXPECT_EQ(OpenPort(0, nullptr, 9600, 0, 8, 1.0f, HandshakeNone, 16, 16), 0);
  EXPECT_EQ(PortInputCount(0), 0);
  // Too long for the device path: refused, not cut down to a shorter name.
  int32_t system_error = 0;
  EXPECT_EQ(ProbePort((std::string(kPort) + std::string(60, '0')).c_str()), 0);
  EXPECT_EQ(LastPortError(&system_error), PortErrorOther);
  EXPECT_EQ(system_error, ERROR_FILENAME_EXCED_RANGE);
  EXPECT_NE(ProbePort(kPort), 0);
  EXPECT_EQ(LastPortError(&system_error), PortErrorNone);
}

TEST_F(SerialWin32, AFailedOpenKeepsTheSlotsPort) {
  ASSERT_NE(OpenPort(0, kPort, 9600, 0, 8, 1.0f, HandshakeNone, 16, 16), 0);
  EXPECT_EQ(OpenPort(0, "COM16", 9600, 0, 8, 1.0f, HandshakeNone, 16, 16), 0);
  ASSERT_EQ(WritePort(0, "k", 1), 1);
  char c = 0;
  ASSERT_EQ(ReadPort(0, &c, 1), 1);
  EXPECT_EQ(c, static_cast<char>('k' ^ 0xFF));
}

}  // namespace
