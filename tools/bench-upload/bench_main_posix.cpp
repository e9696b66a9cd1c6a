// bench-upload [--sim PATH]
// Starts two simulated devices (one unpaced, one paced at 9600 baud), leads
// COM9 and COM10 to their terminals, and runs the benchmarks.
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
  if (argc == 3 && std::strcmp(argv[1], "--sim") == 0) {
    sim = argv[2];
  } else if (argc != 1) {
    std::fprintf(stderr, "usage: %s [--sim PATH-TO-bootloader-sim]\n", argv[0]);
    return 2;
  }
  const std::string record =
      (std::filesystem::temp_directory_path() / ("uf-bench-received-" + std::to_string(getpid()))).string();
  int result = 1;
  {
    SimProcess unpaced(sim, {"--timeout", "60"});
    SimProcess paced(sim, {"--pace", "--sessions", "2", "--timeout", "120", "--image", record});
    if (!unpaced.Ok() || !paced.Ok()) {
      std::fprintf(stderr, "could not start %s\n", sim.c_str());
    } else {
      setenv("UPDATE_FIRMWARE_COM9", unpaced.Terminal().c_str(), 1);
      setenv("UPDATE_FIRMWARE_COM10", paced.Terminal().c_str(), 1);
      result = RunUploadBenchmarks({"COM9", "COM10", record.c_str()});
    }
  }
  std::filesystem::remove(record);
  return result;
}
