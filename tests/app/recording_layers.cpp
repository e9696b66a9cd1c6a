// Recording stand-ins for the serial, file and protocol layers, linked in
// their place by the application's test; the window layer's is in
// tests/support/recording_ui.cpp.
#include <cstdio>

#include "fileio/fileio.h"
#include "serial/serial.h"
#include "tests/support/recording_layers.h"

// ---- serial/serial.h ----
intptr_t OpenPort(int32_t slot, const char* name, uint32_t baud, uint8_t parity, uint8_t data_bits,
                  float stop_bits, int32_t handshake, int32_t in_q, int32_t out_q) {
  char buf[160];
  snprintf(buf, sizeof buf, "OpenPort %d %s %u %u %u %.1f %d %d %d", slot, name, baud, parity,
           data_bits, static_cast<double>(stop_bits), handshake, in_q, out_q);
  Rec().Log(buf);
  return Rec().openable_ports.count(name) ? 1 : 0;
}
int32_t PortInputCount(int32_t) { return 0; }
int32_t PortOutputCount(int32_t) { return 0; }
int32_t ReadPort(int32_t, void*, int32_t) { return 0; }
int32_t WritePort(int32_t, const void*, int32_t) { return 0; }
TransferError LastTransferError(int32_t, int32_t* system_error) {
  if (system_error) *system_error = 0;
  return TransferErrorNone;
}
void ClosePort(int32_t slot) { Rec().Log("ClosePort " + std::to_string(slot)); }
void CloseAllPorts() { Rec().Log("CloseAllPorts"); }
int32_t ProbePort(const char* name) {
  Rec().Log(std::string("ProbePort ") + name);
  return Rec().openable_ports.count(name) ? 1 : 0;
}

// A sweep only spares the real layer repeated looks for holders.
void BeginPortSweep() {}
void EndPortSweep() {}

// ---- fileio/fileio.h ----
intptr_t OpenFileForReading(int32_t slot, const char* path) {
  Recorder& r = Rec();
  r.Log("OpenFile " + std::to_string(slot) + " " + path);
  r.open_file_sizes.erase(slot);
  if (!r.openable_files.count(path)) return 0;
  auto size = r.file_sizes.find(path);
  r.open_file_sizes[slot] = size == r.file_sizes.end() ? 0 : size->second;
  return 1;
}
int32_t FileReadByte(int32_t) { return 0; }
int32_t FileReadShort(int32_t) { return 0; }
int64_t FileSlotSize(int32_t slot) {
  Rec().Log("FileSlotSize " + std::to_string(slot));
  auto it = Rec().open_file_sizes.find(slot);
  return it == Rec().open_file_sizes.end() ? -1 : it->second;
}
int64_t FileSizeAtPath(const char* path) {
  Rec().Log(std::string("FileSize ") + path);
  auto it = Rec().file_sizes.find(path);
  return it == Rec().file_sizes.end() ? -1 : it->second;
}
void CloseFileSlot(int32_t slot) {
  Rec().Log("CloseFile " + std::to_string(slot));
  Rec().open_file_sizes.erase(slot);
}
void CloseAllFiles() { Rec().Log("CloseAllFiles"); }

// ---- protocol/protocol.h ----
UploadOutcome RunUpload(int32_t port_slot, int32_t file_slot, uint8_t* send, uint8_t* receive,
                        const SizeSource& size_source, const ProgressHook& progress) {
  Recorder& r = Rec();
  r.Log("RunUpload " + std::to_string(port_slot) + " " + std::to_string(file_slot) +
        (send && receive ? " buffers" : " no-buffers"));
  if (r.during_upload) r.during_upload();
  if (r.asks_size) r.size_seen = size_source();
  for (int32_t i = 1; i <= r.words; ++i) progress(i, r.words);
  return r.outcome;
}
// The window takes the one pass: its options are always the defaults.
UploadReport RunUpload(int32_t port_slot, int32_t file_slot, uint8_t* send, uint8_t* receive,
                       const SizeSource& size_source, const ProgressHook& progress,
                       const UploadOptions& options) {
  if (options.attempts > 1) Rec().Log("RunUpload with attempts");
  return {RunUpload(port_slot, file_slot, send, receive, size_source, progress), 1};
}
