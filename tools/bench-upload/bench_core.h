// The upload benchmarks, run against simulated devices already reachable by
// port name; the platform's main() makes them reachable.
#pragma once

struct BenchDevices {
  // A device that reads as fast as bytes come; one session.
  const char* unpaced_port;
  // A device behind a line paced at the port's rate by the line model
  // (tools/line-model); two sessions.
  const char* paced_port;
  // The file the paced device records the image it received into, or
  // nullptr; used to tell how much of an incomplete upload arrived.
  const char* paced_record;
  // The line model's statistics file (LINE_MODEL_STATS), or nullptr: read
  // for the line's idle share between the first and the last word.
  const char* line_stats = nullptr;
};

// Prints the figures on stdout. Returns 0 when every upload completed.
int RunUploadBenchmarks(const BenchDevices& devices);
