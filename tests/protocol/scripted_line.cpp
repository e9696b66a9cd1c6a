#include "tests/protocol/scripted_line.h"

#include <algorithm>
#include <cstring>

#include "common/delay.h"
#include "fileio/fileio.h"
#include "serial/serial.h"

ScriptedLine* g_line = nullptr;

void ScriptedLine::Arrive(const std::vector<uint8_t>& bytes, uint64_t after_ms) {
  const uint64_t at = now_us + after_ms * 1000;
  for (uint8_t b : bytes) arriving.emplace_back(at, b);
  std::stable_sort(arriving.begin(), arriving.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
}

void ScriptedLine::MoveArrivedToInput() {
  while (!arriving.empty() && arriving.front().first <= now_us) {
    input.push_back(arriving.front().second);
    arriving.pop_front();
  }
}

static bool Ours(int32_t slot) {
  if (slot != ScriptedLine::kPort) g_line->wrong_slot = true;
  return slot == ScriptedLine::kPort;
}

int32_t PortInputCount(int32_t slot) {
  if (!Ours(slot)) return 0;
  g_line->MoveArrivedToInput();
  const auto n = static_cast<int32_t>(g_line->input.size());
  g_line->log.push_back("in " + std::to_string(n));
  return n;
}

int32_t PortOutputCount(int32_t slot) {
  if (!Ours(slot)) return 0;
  ScriptedLine& l = *g_line;
  l.now_us += l.output_query_us;
  if (l.drain_queries.empty()) return 0;
  const int32_t asked = l.drain_queries.back()++;
  if (l.byte_us != 0) return l.Queued();
  if (l.stuck_output != 0 && l.drain_queries.size() > l.stuck_from_write) return l.stuck_output;
  return asked < l.busy_queries ? l.busy_queries - asked : 0;
}

int32_t ReadPort(int32_t slot, void* buffer, int32_t count) {
  if (!Ours(slot)) return 0;
  ScriptedLine& l = *g_line;
  l.log.push_back("read " + std::to_string(count));
  // A real read blocks until the bytes are there: jump ahead to them.
  l.MoveArrivedToInput();
  while (l.input.size() < static_cast<size_t>(count) && !l.arriving.empty()) {
    l.now_us = l.arriving.front().first;
    l.MoveArrivedToInput();
  }
  if (l.input.size() < static_cast<size_t>(count)) l.read_starved = true;
  int32_t n = 0;
  while (n < count && !l.input.empty()) {
    static_cast<uint8_t*>(buffer)[n++] = l.input.front();
    l.input.pop_front();
  }
  return n;
}

// A scripted short write is a write that ran into its time-out.
TransferError LastTransferError(int32_t slot, int32_t* system_error) {
  if (system_error) *system_error = 0;
  return Ours(slot) && g_line->last_write_short ? TransferErrorStopped : TransferErrorNone;
}

int32_t WritePort(int32_t slot, const void* buffer, int32_t count) {
  if (!Ours(slot)) return 0;
  ScriptedLine& l = *g_line;
  l.log.push_back("write " + std::to_string(count));
  const auto cut = l.short_writes.find(l.writes++);
  l.last_write_short = cut != l.short_writes.end() && cut->second < count;
  if (l.last_write_short) {
    l.now_us += (100 * static_cast<uint64_t>(count) + 10) * 1000;
    count = cut->second;
  }
  const auto* bytes = static_cast<const uint8_t*>(buffer);
  if (l.byte_us != 0) {
    if (l.wire.size() > 8 && l.now_us > l.line_free_us) l.idle_us += l.now_us - l.line_free_us;
    l.line_free_us = std::max(l.now_us, l.line_free_us) + l.byte_us * static_cast<uint64_t>(count);
    l.max_queued = std::max(l.max_queued, l.Queued());
  }
  l.wire.insert(l.wire.end(), bytes, bytes + count);
  l.drain_queries.push_back(0);
  if (l.on_write) l.on_write(l);
  return count;
}

static int32_t ModemLine(const char* name, int32_t slot, int32_t on) {
  if (!Ours(slot)) return 0;
  g_line->log.push_back(std::string(name) + " " + std::to_string(on));
  return g_line->modem_lines ? 1 : 0;
}

int32_t SetPortDtr(int32_t slot, int32_t on) { return ModemLine("dtr", slot, on); }
int32_t SetPortRts(int32_t slot, int32_t on) { return ModemLine("rts", slot, on); }

void Delay(uint32_t ms) {
  g_line->delays.push_back(ms);
  g_line->log.push_back("delay " + std::to_string(ms));
  g_line->now_us += static_cast<uint64_t>(ms) * 1000;
}

uint64_t MonotonicMs() { return g_line->NowMs(); }

int32_t FileReadByte(int32_t slot) {
  if (slot != ScriptedLine::kFile) {
    g_line->wrong_slot = true;
    return 0;
  }
  ++g_line->file_reads;
  if (g_line->file_position >= g_line->file.size()) {
    g_line->file_ran_out = true;
    return 0;
  }
  return static_cast<int8_t>(g_line->file[g_line->file_position++]);
}

int32_t FileReadShort(int32_t slot) {
  if (slot != ScriptedLine::kFile) {
    g_line->wrong_slot = true;
    return 0;
  }
  return g_line->file_ran_out ? 1 : 0;
}
