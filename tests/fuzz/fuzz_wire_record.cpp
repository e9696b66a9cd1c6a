// A worker's report line as the parent reads it: whatever a worker that
// went wrong may write must come back as a record or as None.
#include <cstddef>
#include <cstdint>
#include <string>

#include "cli/worker.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string line(reinterpret_cast<const char*>(data), size);
  (void)ReadWireRecord(line);
  return 0;
}
