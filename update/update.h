// What an update is, shared by the window program and the command line: the
// fixed line settings, the port names tried, the outcome messages and the
// rules for the 32-bit size field. It calls the serial layer for the open and
// the scan; the programs link the real one, the application's tests a
// recording stand-in.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "protocol/protocol.h"

// The fixed line settings of every update and of the port probe.
// On the line each byte takes a start bit, 8 data bits and one stop bit.
constexpr uint32_t kUpdateBaud = 9600;
constexpr uint8_t kUpdateParity = 0;
constexpr uint8_t kUpdateDataBits = 8;
constexpr float kUpdateStopBits = 1.0f;
constexpr int32_t kUpdateQueueSize = 16;
constexpr int64_t kLineBitsPerByte = 10;
// The image goes on the line two bytes at a time.
constexpr int64_t kBytesPerWord = 2;

// The path field's initial text, and the port names tried at start-up.
constexpr const char* kDefaultFirmwareName = "trx.fw";
constexpr int32_t kFirstPortNumber = 1;
constexpr int32_t kLastPortNumber = 16;

struct OutcomeMessage {
  int32_t code;       // 0 for success, 1 to 6 for "ERROR:1" to "ERROR:6"
  std::string title;  // the message box's title
  std::string text;   // its text
};

OutcomeMessage FirmwareMissingMessage();
OutcomeMessage PortUnavailableMessage(const std::string& port_text);
OutcomeMessage UploadOutcomeMessage(UploadOutcome outcome);

// "COM" followed by n in decimal, without leading zeros.
std::string PortName(int32_t n);

// Opens `name` in serial slot `slot` with the update's fixed line settings;
// non-zero on success.
intptr_t OpenUpdatePort(int32_t slot, const std::string& name);

// Tries COM1 to COM16 in ascending order with the update's settings. `visit`
// sees each name and whether it opened; an opened port is still open in
// `slot` during the call and closed right after it, so that a port is listed
// only while it is known to be free. A port another process holds does not
// open (see OpenPort); the pass is one sweep (BeginPortSweep), so `visit`
// must not open ports that a later look should judge afresh.
void ScanPorts(int32_t slot, const std::function<void(const std::string& name, bool opened)>& visit);

// Tries COM1 to COM16 in ascending order only for being there and free:
// open, lock, close, nothing configured, so that a port another program
// uses is left exactly as it was. `visit` sees each name and whether it was
// free; when it was not, LastPortError() tells why during the call, and
// PortHolder() names the holder cheaply (the pass is one sweep).
void ScanFreePorts(const std::function<void(const std::string& name, bool free)>& visit);

// The size field's value for a file of `size` bytes: its low 32 bits, read
// as signed.
int32_t WireSize(int64_t size);

// Whether a file of `size` bytes can be announced in the 32-bit size field.
// Larger files would be announced by their low 32 bits and silently
// truncated on the device, so the update refuses them up front.
bool FitsSizeField(int64_t size);

// The progress bar's value after word `index` of `count`: index * 100 /
// count, truncated. Computed in 64 bits so that very large images cannot
// overflow; for every image that fits, the result is the 32-bit one.
int32_t ProgressPercent(int32_t index, int32_t count);

// Whole seconds (rounded up) that `bytes` take on the line at the update's
// rate.
int64_t LineSeconds(int64_t bytes);

// --- One update, from the file to the closed port ----------------------------

// What a program adds to the sequence; every step may be left empty.
struct UpdateSteps {
  // The port's name, asked when the port is opened and again for the
  // message when it does not open (the window reads it from its list).
  std::function<std::string()> port_name;
  // Opens the image in the file slot instead of opening the path as it is
  // (a HEX file flattened first); non-zero when open.
  std::function<bool(int32_t file_slot, const std::string& path)> open_file;
  // After the file is open and fits the size field, before the port is
  // opened; false stops the sequence there (nothing is shown, the file is
  // closed again).
  std::function<bool(int64_t size)> before_port;
  // The port is open; the upload begins unless this says false (a reset
  // sequence that could not be played): the port and the file are then
  // closed and nothing is shown.
  std::function<bool(int64_t size)> port_opened;
  // How the upload may go beyond its one pass (start attempts).
  UploadOptions upload;
  ProgressHook progress;
  // The outcome, while the port (if it opened) is still open.
  std::function<void(const OutcomeMessage& message)> outcome;
};

enum class UpdateStage {
  File,     // the file is missing, no regular file, or too large
  Stopped,  // before_port or port_opened said no
  Port,     // the port did not open; LastPortError() tells why
  Upload,   // the upload ran to an outcome
};

struct UpdateResult {
  UpdateStage stage = UpdateStage::File;
  OutcomeMessage message = {0, "", ""};  // not set when Stopped
  int64_t size = 0;                      // of the file that was opened
  int32_t attempts = 0;                  // start commands sent
  int64_t image_bytes = 0;               // image bytes the port took
  UploadCut cut = UploadCut::None;       // why the upload ended early, if it did
};

// Opens the file in `file_slot`, checks it fits the size field, opens the
// port in `port_slot` with the update's settings, runs the upload with the
// size of the file that was opened, tells the outcome, and closes the port
// and then the file. Both slots are closed afterwards, whatever happened.
UpdateResult RunUpdateSequence(int32_t port_slot, int32_t file_slot, const std::string& path,
                               uint8_t* send_buffer, uint8_t* receive_buffer,
                               const UpdateSteps& steps);
