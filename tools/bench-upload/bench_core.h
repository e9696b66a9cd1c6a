// The upload benchmarks, run against simulated devices already reachable by
// port name; the platform's main() makes them reachable.
#pragma once

struct BenchDevices {
  // A device that reads as fast as bytes come; one session.
  const char* unpaced_port;
  // A device that reads at 9600 baud; two sessions.
  const char* paced_port;
  // The file the paced device records the image it received into, or
  // nullptr; used to tell how much of an incomplete upload arrived.
  const char* paced_record;
};

// Prints the figures on stdout. Returns 0 when every upload completed.
int RunUploadBenchmarks(const BenchDevices& devices);
