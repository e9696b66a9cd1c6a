// One update as the application runs it, for end-to-end runs of the Windows
// build under Wine: port and file in slot 0, the size asked by path.
//   upload_once COMn FILE
// Prints the outcome's name and the seconds the conversation took.
#include <cstdio>

#include "common/delay.h"
#include "fileio/fileio.h"
#include "protocol/protocol.h"
#include "serial/serial.h"
#include "update/update.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: upload_once COMn FILE\n");
    return 2;
  }
  const char* port = argv[1];
  const char* firmware = argv[2];
  if (OpenUpdatePort(0, port) == 0) {
    std::printf("OpenPortFailed\n");
    return 3;
  }
  if (OpenFileForReading(0, firmware) == 0) {
    ClosePort(0);
    std::printf("OpenFileFailed\n");
    return 3;
  }
  uint8_t send[kTransferBufferSize] = {};
  uint8_t receive[kTransferBufferSize] = {};
  const uint64_t start = MonotonicMs();
  const UploadOutcome outcome = RunUpload(
      0, 0, send, receive, [&] { return static_cast<int32_t>(FileSizeAtPath(firmware)); },
      [](int32_t, int32_t) {});
  const double seconds = static_cast<double>(MonotonicMs() - start) / 1000.0;
  ClosePort(0);
  CloseFileSlot(0);
  std::printf("%s %.3f\n", UploadOutcomeName(outcome), seconds);
  std::fflush(stdout);
  return 0;
}
