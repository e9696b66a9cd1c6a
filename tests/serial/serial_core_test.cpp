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
  FlowControl none = FlowControlFor(HandshakeNone, 16);
  EXPECT_EQ(none.cts_output, FlowSwitch::Off);
  EXPECT_EQ(none.rts, RtsLine::Inactive);
  EXPECT_EQ(none.xon_xoff, FlowSwitch::Keep);

  FlowControl rts = FlowControlFor(HandshakeRts, 16);
  EXPECT_EQ(rts.cts_output, FlowSwitch::Off);
  EXPECT_EQ(rts.rts, RtsLine::Active);
  EXPECT_EQ(rts.xon_xoff, FlowSwitch::Keep);

  FlowControl rtscts = FlowControlFor(HandshakeRtsCts, 16);
  EXPECT_EQ(rtscts.cts_output, FlowSwitch::On);
  EXPECT_EQ(rtscts.rts, RtsLine::Handshake);
  EXPECT_EQ(rtscts.xon_xoff, FlowSwitch::Keep);

  FlowControl xon = FlowControlFor(HandshakeXonXoff, 16);
  EXPECT_EQ(xon.cts_output, FlowSwitch::Keep);
  EXPECT_EQ(xon.rts, RtsLine::Keep);
  EXPECT_EQ(xon.xon_xoff, FlowSwitch::On);
  EXPECT_EQ(xon.xon_char, 0x11);
  EXPECT_EQ(xon.xoff_char, 0x13);

  for (int32_t unknown : {4, -1, 100}) {
    FlowControl f = FlowControlFor(unknown, 16);
    EXPECT_EQ(f.cts_output, FlowSwitch::Keep) << unknown;
    EXPECT_EQ(f.rts, RtsLine::Keep) << unknown;
    EXPECT_EQ(f.xon_xoff, FlowSwitch::Keep) << unknown;
  }
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

TEST(LineSettings, ValuesPassThroughAndParityCheckIsAlwaysOn) {
  LineSettings s = MakeLineSettings(9600, 0, 8, 1.0f, HandshakeNone, 16, 16);
  EXPECT_EQ(s.baud, 9600u);
  EXPECT_EQ(s.parity, 0);
  EXPECT_EQ(s.data_bits, 8);
  EXPECT_EQ(s.stop_bits, StopBitsOne);
  EXPECT_TRUE(s.parity_check);
  EXPECT_EQ(s.input_queue, 16);
  EXPECT_EQ(s.output_queue, 16);

  // Stored unchanged, even values a driver will refuse: refusing is its job.
  LineSettings odd = MakeLineSettings(12345, 7, 9, 1.5f, HandshakeXonXoff, 200, 0);
  EXPECT_EQ(odd.baud, 12345u);
  EXPECT_EQ(odd.parity, 7);
  EXPECT_EQ(odd.data_bits, 9);
  EXPECT_EQ(odd.stop_bits, StopBitsOneAndHalf);
  EXPECT_TRUE(odd.parity_check);
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
