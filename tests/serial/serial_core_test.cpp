// The line-setting rules every backend shares, and the behaviour of slots
// that hold no port. Runs on both platforms.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "serial/serial.h"
#include "serial/serial_backend.h"

TEST(StopBits, OnlyExactOneAndTwoAreWholeStopBits) {
  EXPECT_EQ(StopBitsCodeFor(1.0f), StopBitsOne);
  EXPECT_EQ(StopBitsCodeFor(2.0f), StopBitsTwo);
  for (float other : {1.5f, 0.0f, 3.0f, -1.0f, 0.999999f, 1.0000001f, 2.0000002f,
                      std::numeric_limits<float>::quiet_NaN(),
                      std::numeric_limits<float>::infinity()}) {
    EXPECT_EQ(StopBitsCodeFor(other), StopBitsOneAndHalf) << other;
  }
}

TEST(Handshake, EachModeSetsItsOwnColumnsAndKeepsTheRest) {
  struct Case {
    int32_t mode;
    FlowSwitch cts_output;
    RtsLine rts;
    FlowSwitch xon_xoff;
  } cases[] = {
      {HandshakeNone, FlowSwitch::Off, RtsLine::Inactive, FlowSwitch::Keep},
      {HandshakeRts, FlowSwitch::Off, RtsLine::Active, FlowSwitch::Keep},
      {HandshakeRtsCts, FlowSwitch::On, RtsLine::Handshake, FlowSwitch::Keep},
      {HandshakeXonXoff, FlowSwitch::Keep, RtsLine::Keep, FlowSwitch::On},
      {4, FlowSwitch::Keep, RtsLine::Keep, FlowSwitch::Keep},  // unknown modes
      {-1, FlowSwitch::Keep, RtsLine::Keep, FlowSwitch::Keep},
      {100, FlowSwitch::Keep, RtsLine::Keep, FlowSwitch::Keep},
  };
  for (const Case& c : cases) {
    const FlowControl f = FlowControlFor(c.mode, 16);
    EXPECT_EQ(f.cts_output, c.cts_output) << c.mode;
    EXPECT_EQ(f.rts, c.rts) << c.mode;
    EXPECT_EQ(f.xon_xoff, c.xon_xoff) << c.mode;
  }
  const FlowControl xon = FlowControlFor(HandshakeXonXoff, 16);
  EXPECT_EQ(xon.xon_char, 0x11);
  EXPECT_EQ(xon.xoff_char, 0x13);
}

TEST(Handshake, XonXoffLimitsTruncateTheTenthFirst) {
  struct Case {
    int32_t queue, xon, xoff;
  } cases[] = {{16, 1, 7}, {1000, 100, 700}, {19, 1, 7}, {9, 0, 0}, {4096, 409, 2863}};
  for (const Case& c : cases) {
    FlowControl f = FlowControlFor(HandshakeXonXoff, c.queue);
    EXPECT_EQ(f.xon_limit, c.xon) << c.queue;
    EXPECT_EQ(f.xoff_limit, c.xoff) << c.queue;
  }
}

// The settings carry these values, and the parity check is on whatever the parity.
void ExpectLine(const LineSettings& s, uint32_t baud, uint8_t parity, uint8_t data_bits,
                uint8_t stop_bits) {
  EXPECT_EQ(s.baud, baud);
  EXPECT_EQ(s.parity, parity);
  EXPECT_EQ(s.data_bits, data_bits);
  EXPECT_EQ(s.stop_bits, stop_bits);
  EXPECT_TRUE(s.parity_check);
}

TEST(LineSettings, ValuesPassThroughAndParityCheckIsAlwaysOn) {
  LineSettings s = MakeLineSettings(9600, 0, 8, 1.0f, HandshakeNone, 16, 16);
  ExpectLine(s, 9600, 0, 8, StopBitsOne);
  EXPECT_EQ(s.input_queue, 16);
  EXPECT_EQ(s.output_queue, 16);

  // Stored unchanged, even values a driver will refuse: refusing is its job.
  LineSettings odd = MakeLineSettings(12345, 7, 9, 1.5f, HandshakeXonXoff, 200, 0);
  ExpectLine(odd, 12345, 7, 9, StopBitsOneAndHalf);
  EXPECT_EQ(odd.flow.xon_limit, 20);
  EXPECT_EQ(odd.flow.xoff_limit, 140);
}

TEST(Timeouts, WriteOfNBytesMayTake100PerBytePlus10) {
  EXPECT_EQ(WriteTimeoutMs(1), 110u);
  EXPECT_EQ(WriteTimeoutMs(2), 210u);
  EXPECT_EQ(WriteTimeoutMs(0), 10u);
  // No 32-bit overflow for the largest count.
  EXPECT_EQ(WriteTimeoutMs(std::numeric_limits<int32_t>::max()),
            100ull * std::numeric_limits<int32_t>::max() + 10);
  EXPECT_EQ(kPortTimeouts.read_interval, 0u);
  EXPECT_EQ(kPortTimeouts.read_total_multiplier, 0u);
  EXPECT_EQ(kPortTimeouts.read_total_constant, 0u);
}

TEST(ClosedSlots, EveryOperationIsAHarmlessZero) {
  unsigned char buffer[8];
  std::memset(buffer, 0xA5, sizeof buffer);
  for (int32_t slot : {0, 1, 15, 16, 500, -1, -7, 1 << 20, std::numeric_limits<int32_t>::max()}) {
    EXPECT_EQ(PortInputCount(slot), 0) << slot;
    EXPECT_EQ(PortOutputCount(slot), 0) << slot;
    EXPECT_EQ(ReadPort(slot, buffer, sizeof buffer), 0) << slot;
    EXPECT_EQ(WritePort(slot, buffer, sizeof buffer), 0) << slot;
    int32_t system_error = -1;
    EXPECT_EQ(LastTransferError(slot, &system_error), TransferErrorNone) << slot;
    EXPECT_EQ(system_error, 0) << slot;
    EXPECT_EQ(PortBytesWritten(slot), 0) << slot;
    ClosePort(slot);
    ClosePort(slot);
  }
  for (unsigned char b : buffer) EXPECT_EQ(b, 0xA5);
  CloseAllPorts();
  CloseAllPorts();
}

TEST(OpenPortArguments, AbsentNameOrNegativeSlotFails) {
  EXPECT_EQ(OpenPort(0, nullptr, 9600, 0, 8, 1.0f, HandshakeNone, 16, 16), 0);
  EXPECT_EQ(OpenPort(-1, "COM1", 9600, 0, 8, 1.0f, HandshakeNone, 16, 16), 0);
  EXPECT_EQ(PortInputCount(0), 0);
}

TEST(LockFiles, NamesAndThePidsTheyHold) {
  EXPECT_EQ(LockFileName("/dev/ttyUSB0"), "LCK..ttyUSB0");
  EXPECT_EQ(LockFileName("/dev/pts/3"), "LCK..pts_3");
  EXPECT_EQ(LockFileName("/tmp/com5"), "LCK..com5");

  EXPECT_EQ(PidFromLockFile("      4711\n"), 4711);  // the usual: ten columns
  EXPECT_EQ(PidFromLockFile("4711"), 4711);
  EXPECT_EQ(PidFromLockFile("4711 minicom root\n"), 4711);
  const int32_t binary = 4711;
  EXPECT_EQ(PidFromLockFile(std::string(reinterpret_cast<const char*>(&binary), 4)), 4711);
  EXPECT_EQ(PidFromLockFile("123\n"), 123);  // four bytes of text are text
  for (const std::string& none : {std::string(), std::string("\n"), std::string("abc"),
                                  std::string("47x1\n"), std::string("0"),
                                  std::string("99999999999"), std::string("-5\n"),
                                  std::string("\xff\xff\xff\xff", 4)}) {
    EXPECT_EQ(PidFromLockFile(none), 0) << none;
  }
}
