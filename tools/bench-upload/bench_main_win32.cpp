// bench-upload.exe [UNPACED-PORT PACED-PORT [PACED-RECORD [LINE-STATS]]]
// (default COM9 COM10). The devices must already be there; run-under-wine.sh
// starts them and preloads the line model into Wine for the paced one.
#include <cstdio>

#include "tools/bench-upload/bench_core.h"

int main(int argc, char** argv) {
  if (argc != 1 && argc != 3 && argc != 4 && argc != 5) {
    std::fprintf(stderr, "usage: %s [UNPACED-PORT PACED-PORT [PACED-RECORD [LINE-STATS]]]\n", argv[0]);
    return 2;
  }
  BenchDevices devices{"COM9", "COM10", nullptr};
  if (argc >= 3) {
    devices.unpaced_port = argv[1];
    devices.paced_port = argv[2];
  }
  if (argc >= 4) devices.paced_record = argv[3];
  if (argc == 5) devices.line_stats = argv[4];
  return RunUploadBenchmarks(devices);
}
