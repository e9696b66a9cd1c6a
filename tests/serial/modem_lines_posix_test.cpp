// DTR and RTS through the serial layer: play_reset plays a sequence on the
// simulator's pseudo-terminal with the line model preloaded, which gives the
// terminal modem lines and logs each change with its time. The Windows
// build runs this against play_reset.exe under Wine (UF_WINE_RUN,
// UF_WINEPREFIX), the port a dosdevices link.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tools/bootloader-sim/sim_process.h"

namespace {

std::string Env(const char* name) { return getenv(name) ? getenv(name) : ""; }

TEST(ModemLines, AResetSequenceMovesTheLinesInOrderWithItsPauses) {
  const std::string model = Env("UF_LINE_MODEL"), wine = Env("UF_WINE_RUN");
  ASSERT_FALSE(model.empty() || Env("UF_PLAY_RESET").empty()) << "UF_LINE_MODEL, UF_PLAY_RESET";
  const std::string log = std::filesystem::temp_directory_path() /
                          ("uf-modem-" + std::to_string(getpid()) + ".log");
  std::vector<std::string> sim_args, argv = {Env("UF_PLAY_RESET")};
  if (!wine.empty()) {
    argv.insert(argv.begin(), {wine, "--prefix=" + Env("UF_WINEPREFIX")});
    // A first run makes the prefix, dosdevices and all, before the link goes
    // in; COM20, as no other Wine test of the shared prefix links it.
    const std::string first = "'" + argv[0] + "' '" + argv[1] + "' '" + argv[2] + "' 2>/dev/null";
    ASSERT_NE(std::system(first.c_str()), -1);
    sim_args = {"--link", Env("UF_WINEPREFIX") + "/dosdevices/com20"};
  }
  SimProcess sim(BootloaderSimPath(), sim_args);
  ASSERT_TRUE(sim.Ok());
  argv.push_back(wine.empty() ? sim.Terminal() : "COM20");
  argv.push_back("dtr=0,rts=1,wait=100,rts=0,wait=50,dtr=1");
  const pid_t child = fork();
  if (child == 0) {
    setenv("LD_PRELOAD", model.c_str(), 1);
    // Last in a list as long as a gang's of a hundred boards: the model
    // must find it there, not cut the list short.
    std::string devices;
    for (int n = 0; n < 64; ++n) devices += "/dev/pts/not-this-one-" + std::to_string(n) + ":";
    setenv("LINE_MODEL_DEVICE", (devices + sim.Terminal()).c_str(), 1);
    setenv("LINE_MODEL_MODEM", log.c_str(), 1);
    // The sanitizer build's player wants its runtime first; the model only
    // interposes, as the runtime does, and calls on.
    setenv("ASAN_OPTIONS", (Env("ASAN_OPTIONS") + ":verify_asan_link_order=0").c_str(), 1);
    std::vector<char*> args;
    for (std::string& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  int status = -1;
  waitpid(child, &status, 0);
  EXPECT_EQ(status, 0) << "play_reset's wait status";

  // One line per change. The open may move the lines first (no handshake
  // drops RTS): the sequence's four changes come last.
  std::vector<std::pair<double, std::string>> changes;  // ms, "DR"
  std::ifstream in(log);
  for (std::string line; std::getline(in, line);) {
    long long ns = 0;
    int dtr = -1, rts = -1;
    const char* format = "modem pid=%*d device=%*s ns=%lld call=%*s arg=%*x dtr=%d rts=%d";
    EXPECT_EQ(std::sscanf(line.c_str(), format, &ns, &dtr, &rts), 3) << line;
    changes.emplace_back(ns / 1e6, std::to_string(dtr) + std::to_string(rts));
  }
  std::remove(log.c_str());
  ASSERT_GE(changes.size(), 4u);
  const auto* c = &changes[changes.size() - 4];
  EXPECT_EQ(c[0].second + c[1].second + c[2].second + c[3].second, "00010010");
  EXPECT_NEAR(c[1].first - c[0].first, 0, 20) << "no pause was asked for";
  EXPECT_NEAR(c[2].first - c[1].first, 100, 20);
  EXPECT_NEAR(c[3].first - c[2].first, 50, 20);
}

}  // namespace
