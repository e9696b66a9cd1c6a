// bench-upload [--sim PATH] [--line-model PATH]
// Starts two simulated devices, leads COM9 and COM10 to their terminals, and
// runs the benchmarks. COM10's terminal is paced at the line rate by the line
// model (tools/line-model), which the program preloads into itself by
// starting itself again with LD_PRELOAD set.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "tools/bootloader-sim/sim_process.h"
#include "tools/bench-upload/bench_core.h"

int main(int argc, char** argv) {
  std::string sim = BootloaderSimPath();
  std::string model = UF_LINE_MODEL;
  for (int i = 1; i < argc; i += 2) {
    if (i + 1 < argc && std::strcmp(argv[i], "--sim") == 0) {
      sim = argv[i + 1];
    } else if (i + 1 < argc && std::strcmp(argv[i], "--line-model") == 0) {
      model = argv[i + 1];
    } else {
      std::fprintf(stderr, "usage: %s [--sim PATH-TO-bootloader-sim] [--line-model PATH-TO-libline-model.so]\n",
                   argv[0]);
      return 2;
    }
  }
  // The model must be in the process from its start: start again with it.
  // The paced device is linked at a path chosen now, which the model finds
  // once the device is there.
  const char* device = std::getenv("LINE_MODEL_DEVICE");
  if (device == nullptr) {
    const std::string link =
        (std::filesystem::temp_directory_path() / ("uf-bench-line-" + std::to_string(getpid()))).string();
    const char* old = std::getenv("LD_PRELOAD");
    const std::string preload = model + (old && *old ? " " + std::string(old) : "");
    setenv("LD_PRELOAD", preload.c_str(), 1);
    setenv("LINE_MODEL_DEVICE", link.c_str(), 1);
    if (std::getenv("LINE_MODEL_STATS") == nullptr) setenv("LINE_MODEL_STATS", (link + ".stats").c_str(), 1);
    execv("/proc/self/exe", argv);
    std::perror("bench-upload: cannot start again with the line model");
    return 1;
  }
  const std::string link = device;
  const std::string stats = std::getenv("LINE_MODEL_STATS") ? std::getenv("LINE_MODEL_STATS") : "";
  const std::string record =
      (std::filesystem::temp_directory_path() / ("uf-bench-received-" + std::to_string(getpid()))).string();
  int result = 1;
  {
    SimProcess unpaced(sim, {"--timeout", "60"});
    SimProcess paced(sim, {"--sessions", "2", "--timeout", "120", "--image", record, "--link", link});
    if (!unpaced.Ok() || !paced.Ok()) {
      std::fprintf(stderr, "could not start %s\n", sim.c_str());
    } else {
      setenv("UPDATE_FIRMWARE_COM9", unpaced.Terminal().c_str(), 1);
      setenv("UPDATE_FIRMWARE_COM10", paced.Terminal().c_str(), 1);
      result = RunUploadBenchmarks({"COM9", "COM10", record.c_str(), stats.empty() ? nullptr : stats.c_str()});
    }
  }
  std::filesystem::remove(record);
  if (stats.find("uf-bench-line-") != std::string::npos) std::filesystem::remove(stats);
  return result;
}
