// End to end: the real serial, file and upload layers against the simulated
// bootloader on a pseudo-terminal. A Linux program in both builds: for the
// Windows build the same cases run each update in upload_once.exe under Wine
// (UF_UPLOAD_ONCE, UF_WINE_RUN, UF_WINEPREFIX), with COM9 a link in the
// prefix's dosdevices folder.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>

#include "fileio/fileio.h"
#include "protocol/protocol.h"
#include "serial/serial.h"
#include "tests/support/process_posix.h"
#include "tools/bootloader-sim/sim_process.h"
#include "update/update.h"

namespace {

using Bytes = std::vector<uint8_t>;
namespace fs = std::filesystem;

class EndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("uf-e2e-" + std::to_string(getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir_);
    image_ = (dir_ / "received.bin").string();
  }
  void TearDown() override {
    CloseAllPorts();
    CloseAllFiles();
    unsetenv("UPDATE_FIRMWARE_COM9");
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }

  std::unique_ptr<SimProcess> StartSim(std::vector<std::string> args) {
    args.insert(args.end(), {"--image", image_, "--timeout", "60"});
    if (UnderWine()) {
      const fs::path dosdevices = fs::path(EnvOr("UF_WINEPREFIX")) / "dosdevices";
      fs::create_directories(dosdevices);
      args.insert(args.end(), {"--link", (dosdevices / "com9").string()});
    }
    auto sim = std::make_unique<SimProcess>(BootloaderSimPath(), args);
    EXPECT_TRUE(sim->Ok()) << "the simulator gave no terminal path";
    return sim;
  }

  std::string WriteFirmware(const Bytes& bytes) {
    const std::string path = (dir_ / "firmware.bin").string();
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return path;
  }

  Bytes ReceivedImage() const {
    std::ifstream in(image_, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
  }

  // One update as the application runs it: port COM9 (led to the
  // simulator's terminal) and the file both in slot 0, the size asked by
  // path. Stores how long the conversation took.
  UploadOutcome Upload(const SimProcess& sim, const std::string& firmware) {
    if (UnderWine()) return UploadUnderWine(firmware);
    setenv("UPDATE_FIRMWARE_COM9", sim.Terminal().c_str(), 1);
    EXPECT_NE(OpenUpdatePort(0, "COM9"), 0);
    EXPECT_NE(OpenFileForReading(0, firmware.c_str()), 0);
    Bytes send(kTransferBufferSize), receive(kTransferBufferSize);
    int32_t last_index = 0;
    const auto start = std::chrono::steady_clock::now();
    const UploadOutcome outcome = RunUpload(
        0, 0, send.data(), receive.data(),
        [&] { return static_cast<int32_t>(FileSizeAtPath(firmware.c_str())); },
        [&](int32_t i, int32_t) {
          EXPECT_EQ(i, last_index + 1);
          last_index = i;
        });
    seconds_ = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ClosePort(0);
    CloseFileSlot(0);
    return outcome;
  }

  // The same update in upload_once.exe, which prints the outcome's name and
  // the seconds the conversation took.
  UploadOutcome UploadUnderWine(const std::string& firmware) {
    std::string windows_path = "Z:" + firmware;
    for (char& c : windows_path) c = c == '/' ? '\\' : c;
    const std::string command = "'" + EnvOr("UF_WINE_RUN") + "' '--prefix=" +
                                EnvOr("UF_WINEPREFIX") + "' '" + EnvOr("UF_UPLOAD_ONCE") +
                                "' COM9 '" + windows_path + "'";
    std::string out;
    if (FILE* p = popen(command.c_str(), "r")) {
      char buf[256];
      while (fgets(buf, sizeof buf, p)) out += buf;
      pclose(p);
    }
    std::istringstream words(out);
    std::string name;
    words >> name >> seconds_;
    for (UploadOutcome o : {UploadOutcome::Success, UploadOutcome::NoReplyToStart,
                            UploadOutcome::WrongReplyToStart, UploadOutcome::NoFinalReply,
                            UploadOutcome::WrongFinalReply}) {
      if (name == UploadOutcomeName(o)) return o;
    }
    ADD_FAILURE() << "upload_once printed: " << out;
    return UploadOutcome::NoReplyToStart;
  }

  static Bytes RandomBytes(size_t n, std::mt19937& gen) {
    Bytes v(n);
    for (auto& b : v) b = static_cast<uint8_t>(gen());
    return v;
  }

  fs::path dir_;
  std::string image_;
  double seconds_ = 0;
};

}  // namespace

TEST_F(EndToEnd, DeviceReceivesEveryWholeWordOfRandomFiles) {
  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 gen(seed);
  std::vector<size_t> sizes{0, 1, 2, 4097, 10000};
  for (int k = 0; k < 3; ++k) sizes.push_back(gen() % 10001);
  sizes.push_back((gen() % 5000) * 2 + 1);  // surely odd

  auto sim = StartSim({"--sessions", std::to_string(sizes.size())});
  ASSERT_TRUE(sim->Ok());
  for (size_t size : sizes) {
    SCOPED_TRACE("file of " + std::to_string(size) + " bytes");
    const Bytes file = RandomBytes(size, gen);
    EXPECT_EQ(Upload(*sim, WriteFirmware(file)), UploadOutcome::Success);
    const Bytes words(file.begin(), file.begin() + static_cast<long>(size / 2 * 2));
    EXPECT_EQ(ReceivedImage(), words);
  }
  EXPECT_EQ(sim->WaitForExit(10), 0) << "the simulator saw something else than clean uploads";
}

TEST_F(EndToEnd, StaleInputIsFlushedBeforeTheStartCommand) {
  auto sim = StartSim({"--stale", "4F4B0D0A55"});
  ASSERT_TRUE(sim->Ok());
  const Bytes file{1, 2, 3, 4, 5, 6};
  EXPECT_EQ(Upload(*sim, WriteFirmware(file)), UploadOutcome::Success);
  EXPECT_EQ(ReceivedImage(), file);
}

TEST_F(EndToEnd, WrongRepliesEndTheRunAtOnce) {
  struct Case {
    std::vector<std::string> args;
    UploadOutcome expected;
  };
  for (const Case& c : {Case{{"--start-reply", "4F4C"}, UploadOutcome::WrongReplyToStart},
                        Case{{"--final-reply", "6F6B"}, UploadOutcome::WrongFinalReply}}) {
    SCOPED_TRACE(c.args[0]);
    auto sim = StartSim(c.args);
    ASSERT_TRUE(sim->Ok());
    EXPECT_EQ(Upload(*sim, WriteFirmware(Bytes(300, 0xA5))), c.expected);
    EXPECT_LT(seconds_, 4.0);
  }
}

TEST_F(EndToEnd, MissingOrMalformedRepliesTimeOutAfterAboutFiveSeconds) {
  struct Case {
    std::vector<std::string> args;
    UploadOutcome expected;
  };
  for (const Case& c : {Case{{"--silent"}, UploadOutcome::NoReplyToStart},
                        Case{{"--suffix", "0D0A"}, UploadOutcome::NoReplyToStart},
                        Case{{"--no-final"}, UploadOutcome::NoFinalReply}}) {
    SCOPED_TRACE(c.args[0]);
    auto sim = StartSim(c.args);
    ASSERT_TRUE(sim->Ok());
    EXPECT_EQ(Upload(*sim, WriteFirmware(Bytes(300, 0x5A))), c.expected);
    // 500 ms settle plus 501 polls of at least 10 ms.
    EXPECT_GT(seconds_, 5.0);
    EXPECT_LT(seconds_, 9.0);
  }
}

TEST_F(EndToEnd, ADeviceThatStopsOrVanishesMidStreamEndsInNoFinalReply) {
  std::mt19937 gen(7);
  const Bytes file = RandomBytes(10000, gen);
  for (const char* option : {"--stop-reading-after", "--vanish-after"}) {
    SCOPED_TRACE(option);
    auto sim = StartSim({option, "1000"});
    ASSERT_TRUE(sim->Ok());
    EXPECT_EQ(Upload(*sim, WriteFirmware(file)), UploadOutcome::NoFinalReply);
    EXPECT_LT(seconds_, 30.0);
    EXPECT_EQ(ReceivedImage(), Bytes(file.begin(), file.begin() + 1000));
  }
}
