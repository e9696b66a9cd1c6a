// The application's order of calls, against recording stand-ins for every
// layer below it.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>

#include "app/app.h"
#include "update/update.h"
#include "tests/support/recording_layers.h"

namespace {

class AppTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetRecorder();
    Rec().openable_ports = {"COM3", "COM12"};
    StartUp();
    Rec().calls.clear();
  }
  void TearDown() override { ShutDown(); }

  // Runs one update with the path field holding `path` and the port list `port`.
  void Update(const std::string& path, const std::string& port) {
    Rec().texts[App().firmware_path_field] = path;
    Rec().texts[App().port_list] = port;
    Rec().calls.clear();
    RunUpdate(0);
  }

  static int At(const std::string& line) {
    int i = Rec().Find(line);
    EXPECT_GE(i, 0) << "missing call: " << line;
    return i;
  }
};

const std::vector<std::string> kDisableAll = {
    "Disable PortList 1", "Disable FirmwarePathField 1", "Disable OpenButton 1",
    "Disable UpdateButton 1"};
const std::vector<std::string> kEnableAll = {
    "Disable PortList 0", "Disable FirmwarePathField 0", "Disable OpenButton 0",
    "Disable UpdateButton 0"};

TEST(AppStartUp, BuildsTheWindowInLayoutOrderAndListsOpenablePorts) {
  ResetRecorder();
  Rec().openable_ports = {"COM3", "COM12", "COM17"};
  StartUp();
  const auto& c = Rec().calls;
  std::vector<std::string> creation;
  for (const auto& line : c) {
    if (line.rfind("New", 0) == 0) creation.push_back(line);
  }
  EXPECT_EQ(creation, (std::vector<std::string>{
                          "NewWindow -1 0 0 480 140 Update firmware 1.0 0xC80003",
                          "NewDropDownList -1 10 10 70 20",
                          "NewTextField -1 90 10 280 20 trx.fw",
                          "NewPushButton -1 380 10 90 20 Open",
                          "NewProgressBar -1 10 50 460 30 0 100",
                          "NewPushButton -1 170 90 140 40 UPDATE!",
                      }));
  // Every name from COM1 to COM16 is tried with the update's settings, and
  // nothing past COM16.
  auto opens = Rec().Matching("OpenPort");
  ASSERT_EQ(opens.size(), 16u);
  EXPECT_EQ(opens.front(), "OpenPort 0 COM1 9600 0 8 1.0 0 16 16");
  EXPECT_EQ(opens.back(), "OpenPort 0 COM16 9600 0 8 1.0 0 16 16");
  EXPECT_EQ(Rec().Matching("Insert"),
            (std::vector<std::string>{"Insert PortList -1 COM3", "Insert PortList -1 COM12"}));
  // Each port that opened is closed again right after it was listed.
  EXPECT_EQ(Rec().Matching("ClosePort").size(), 2u);
  EXPECT_EQ(Rec().Find("ClosePort 0"), Rec().Find("Insert PortList -1 COM3") + 1);
  EXPECT_NE(App().receive_buffer, nullptr);
  EXPECT_NE(App().send_buffer, nullptr);
  EXPECT_TRUE(std::all_of(App().send_buffer, App().send_buffer + 17, [](uint8_t b) { return b == 0; }));
  ShutDown();
  // Exit order: ports, then windows, then files.
  EXPECT_LT(Rec().Find("CloseAllPorts"), Rec().Find("ReleaseWindows"));
  EXPECT_LT(Rec().Find("ReleaseWindows"), Rec().Find("CloseAllFiles"));
}

TEST(AppMain, WithoutAWindowEndsInsteadOfWaitingForever) {
  ResetRecorder();
  Rec().window_fails = true;
  // A queued close request would end the loop anyway; none is queued, so a
  // program that entered the loop would poll here until the test times out.
  EXPECT_EQ(AppMain(), 1);
  EXPECT_TRUE(Rec().Matching("Poll").empty());
  EXPECT_GE(Rec().Find("CloseAllPorts"), 0);
}

TEST_F(AppTest, DispatchFollowsTheEventTable) {
  EXPECT_FALSE(DispatchEvent(EventCloseWindow));
  EXPECT_TRUE(DispatchEvent(0));
  EXPECT_TRUE(DispatchEvent(15 /* a platform message */));
  EXPECT_TRUE(DispatchEvent(EventMenu));
  EXPECT_GE(Rec().Find("EventCommand"), 0);

  Rec().calls.clear();
  Rec().event_source = App().progress_bar;
  EXPECT_TRUE(DispatchEvent(EventControl));
  EXPECT_TRUE(Rec().Matching("Disable").empty());
  EXPECT_TRUE(Rec().Matching("ChooseFile").empty());

  Rec().event_source = App().update_button;
  EXPECT_TRUE(DispatchEvent(EventControl));
  EXPECT_FALSE(Rec().Matching("Disable").empty()) << "UPDATE! must start an update";
}

TEST_F(AppTest, OpenReplacesThePathWithTheChoiceOrEmptiesItOnCancel) {
  Rec().chosen_file = "/home/u/fw/new.fw";
  Rec().event_source = App().open_button;
  EXPECT_TRUE(DispatchEvent(EventControl));
  EXPECT_GE(At("ChooseFile Please choose file to load | (none) | Firmware (*.fw)|*.fw; | 0"), 0);
  EXPECT_EQ(Rec().texts[App().firmware_path_field], "/home/u/fw/new.fw");

  Rec().chosen_file = "";
  DispatchEvent(EventControl);
  EXPECT_EQ(Rec().texts[App().firmware_path_field], "");
}

TEST_F(AppTest, MissingFileShowsError1AndNeverOpensThePort) {
  Update("missing.fw", "COM3");
  const auto& c = Rec().calls;
  ASSERT_GE(c.size(), 4u);
  EXPECT_EQ(std::vector<std::string>(c.begin(), c.begin() + 4), kDisableAll);
  EXPECT_GE(At("ShowMessage ERROR:1 | Firmware missing! | 0"), 0);
  EXPECT_TRUE(Rec().Matching("OpenPort").empty());
  EXPECT_TRUE(Rec().Matching("ClosePort").empty());
  // The file slot is closed even though its open failed.
  EXPECT_GT(At("CloseFile 0"), At("ShowMessage ERROR:1 | Firmware missing! | 0"));
  EXPECT_EQ(std::vector<std::string>(c.end() - 4, c.end()), kEnableAll);
  EXPECT_EQ(Rec().progress_values, std::vector<int32_t>{0});
}

TEST_F(AppTest, FileTooLargeForTheSizeFieldIsRefusedBeforeThePortOpens) {
  Rec().openable_files = {"big.fw"};
  Rec().file_sizes["big.fw"] = (int64_t{1} << 32) + 2;
  Update("big.fw", "COM3");
  EXPECT_GE(At("ShowMessage ERROR:1 | Firmware missing! | 0"), 0);
  EXPECT_TRUE(Rec().Matching("OpenPort").empty());
  EXPECT_TRUE(Rec().Matching("RunUpload").empty());

  // The largest size the field can carry still goes ahead.
  Rec().file_sizes["big.fw"] = INT32_MAX;
  Update("big.fw", "COM3");
  EXPECT_FALSE(Rec().Matching("RunUpload").empty());
}

TEST_F(AppTest, PortThatWillNotOpenNamesItInError2) {
  Rec().openable_files = {"trx.fw"};
  Update("trx.fw", "COM7");
  EXPECT_GE(At("ShowMessage ERROR:2 | Can't open the serial port: COM7 | 0"), 0);
  EXPECT_TRUE(Rec().Matching("ClosePort").empty()) << "the port was never opened";
  EXPECT_GT(At("CloseFile 0"), At("ShowMessage ERROR:2 | Can't open the serial port: COM7 | 0"));

  // With nothing selected the text ends in the space after the colon.
  Update("trx.fw", "");
  EXPECT_GE(At("ShowMessage ERROR:2 | Can't open the serial port:  | 0"), 0);
}

struct OutcomeCase {
  UploadOutcome outcome;
  const char* shown;
};

class AppOutcomeTest : public AppTest, public ::testing::WithParamInterface<OutcomeCase> {};

TEST_P(AppOutcomeTest, ShowsTheOutcomeWhileThePortIsOpenThenCleansUp) {
  Rec().openable_files = {"trx.fw"};
  Rec().file_sizes["trx.fw"] = 8;
  Rec().outcome = GetParam().outcome;
  Rec().words = 4;
  Update("trx.fw", "COM3");
  const auto& c = Rec().calls;

  EXPECT_EQ(std::vector<std::string>(c.begin(), c.begin() + 4), kDisableAll);
  const int open_file = At("OpenFile 0 trx.fw");
  const int open_port = At("OpenPort 0 COM3 9600 0 8 1.0 0 16 16");
  const int upload = At("RunUpload 0 0 buffers");
  const int shown = At(GetParam().shown);
  const int close_port = At("ClosePort 0");
  const int close_file = At("CloseFile 0");
  EXPECT_LT(open_file, open_port);
  EXPECT_LT(open_port, upload);
  EXPECT_LT(upload, shown);
  // The box is up while the port is still open; the port goes before the file.
  EXPECT_LT(shown, close_port);
  EXPECT_LT(close_port, close_file);
  EXPECT_EQ(std::vector<std::string>(c.end() - 4, c.end()), kEnableAll);

  // The bar climbs word by word to 100, is still at 100 when the box shows,
  // and drops to 0 afterwards.
  EXPECT_EQ(Rec().progress_values, (std::vector<int32_t>{25, 50, 75, 100, 0}));
  const int bar_zero = At("SetValue ProgressBar 0");
  EXPECT_GT(bar_zero, close_file);
  // One poll per word, which never waits.
  EXPECT_EQ(Rec().Matching("Poll ").size(), 4u);
  EXPECT_EQ(Rec().Matching("Poll 0").size(), 4u);
  EXPECT_EQ(Rec().size_seen, 8);
}

INSTANTIATE_TEST_SUITE_P(
    EveryOutcome, AppOutcomeTest,
    ::testing::Values(OutcomeCase{UploadOutcome::Success, "ShowMessage Information | Device update! | 0"},
                      OutcomeCase{UploadOutcome::NoReplyToStart, "ShowMessage ERROR:3 | Device does not respond! | 0"},
                      OutcomeCase{UploadOutcome::WrongReplyToStart, "ShowMessage ERROR:4 | No correct answer device! | 0"},
                      OutcomeCase{UploadOutcome::NoFinalReply, "ShowMessage ERROR:5 | Update wrong! | 0"},
                      OutcomeCase{UploadOutcome::WrongFinalReply, "ShowMessage ERROR:6 | Update wrong! | 0"}));

TEST_F(AppTest, SizeSourceTakesTheOpenFilesSizeAndKeepsTheLow32BitsSigned) {
  Rec().openable_files = {"trx.fw"};
  Rec().file_sizes["trx.fw"] = 0x7FFFFFFF;
  // The path is deleted during the settle; the file already open is sent.
  Rec().during_upload = [] { Rec().file_sizes.erase("trx.fw"); };
  Update("trx.fw", "COM12");
  EXPECT_EQ(Rec().size_seen, 0x7FFFFFFF);
  EXPECT_TRUE(Rec().Matching("FileSize ").empty()) << "asked by path";
  EXPECT_EQ(Rec().Matching("FileSlotSize 0").size(), 2u);
}

TEST(ProgressPercent, TruncatesAndReachesExactly100) {
  EXPECT_EQ(ProgressPercent(1, 3), 33);
  EXPECT_EQ(ProgressPercent(2, 3), 66);
  EXPECT_EQ(ProgressPercent(3, 3), 100);
  EXPECT_EQ(ProgressPercent(1, 1), 100);
  // Large images must not overflow into nonsense.
  EXPECT_EQ(ProgressPercent(1000000000, 1000000000), 100);
  EXPECT_EQ(ProgressPercent(500000000, 1000000000), 50);
  EXPECT_EQ(ProgressPercent(0, 0), 0);
}

TEST(OutcomeMessages, CodesMatchTheirTitles) {
  EXPECT_EQ(FirmwareMissingMessage().code, 1);
  EXPECT_EQ(PortUnavailableMessage("COM1").text, "Can't open the serial port: COM1");
  EXPECT_EQ(UploadOutcomeMessage(UploadOutcome::Success).code, 0);
  for (auto o : {UploadOutcome::NoReplyToStart, UploadOutcome::WrongReplyToStart,
                 UploadOutcome::NoFinalReply, UploadOutcome::WrongFinalReply}) {
    auto m = UploadOutcomeMessage(o);
    EXPECT_EQ(m.title, "ERROR:" + std::to_string(m.code));
  }
  EXPECT_EQ(PortName(10), "COM10");
  EXPECT_TRUE(FitsSizeField(INT32_MAX));
  EXPECT_FALSE(FitsSizeField(int64_t{INT32_MAX} + 1));
}

}  // namespace
