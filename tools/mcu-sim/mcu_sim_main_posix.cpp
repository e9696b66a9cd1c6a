// mcu-sim: an ATmega328P running a bootloader ELF in simavr, behind a
// pseudo-terminal, with the serial line and the flash modelled the way the
// real part behaves where an upload depends on it: 9600 baud that never
// waits, a two-byte receive buffer that overruns, and page erase and write
// that keep SPM busy for about 4 ms while the line goes on delivering.
// See README.md for the options and what is written where.
#include <simavr/avr_flash.h>
#include <simavr/avr_uart.h>
#include <simavr/sim_avr.h>
#include <simavr/sim_elf.h>
#include <simavr/sim_hex.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

namespace {

constexpr uint32_t kClockHz = 16000000;
// 10 bits a byte (start, 8 data, stop) at 9600 baud.
constexpr avr_cycle_count_t kCyclesPerByte = 16667;
// Page erase and page write: 3.7 to 4.5 ms on the part; 4 ms here.
constexpr avr_cycle_count_t kSpmBusyCycles = 64000;
// The receiver holds two bytes; a third completing in the shift register
// while both are unread is lost.
constexpr size_t kRxBuffer = 2;
// Bytes taken from the host ahead of the line.
constexpr size_t kHostBuffer = 4;
constexpr uint32_t kBootStart = 0x7000;
constexpr uint32_t kFlashSize = 0x8000;
// MCUCR, in data space, and its IVSEL bit: interrupt vectors in the boot
// section.
constexpr uint16_t kMcucr = 0x55;
constexpr uint8_t kIvsel = 0x02;
constexpr uint32_t kVectorTableBytes = 26 * 4;
// What the application gets to run after the host has let go of the port.
constexpr avr_cycle_count_t kAfterCloseCycles = kClockHz;
// How far the simulation may run ahead of the wall clock before it sleeps.
constexpr avr_cycle_count_t kAheadCycles = kClockHz / 500;

struct Options {
  std::string firmware, app, ready_file, flash_out, uart_log;
  double timeout_s = 120;
};

struct Sim {
  avr_t* avr = nullptr;
  avr_uart_t* uart = nullptr;
  avr_irq_t* uart_in = nullptr;
  int master = -1;
  std::deque<uint8_t> to_device;  // from the host, not yet on the line
  std::deque<uint8_t> to_host;    // from the firmware, not yet in the pty
  std::vector<uint8_t> log;       // everything the firmware sent
  bool line_busy = false;
  unsigned long overruns = 0, delivered = 0;
  // Self-programming.
  int (*flash_ioctl)(avr_io_t*, uint32_t, void*) = nullptr;
  avr_flash_t* flash = nullptr;
  unsigned long spm_ops = 0;
};

Sim g;

// simavr times a byte of 8N1 as 11 bits (it recomputes this whenever the
// firmware sets the baud rate); the line sends 10, and a firmware's replies
// should take what they take on the wire.
void FixByteTime() {
  static avr_cycle_count_t simavr_value = 0, ours = 0;
  if (g.uart->cycles_per_byte == ours) return;
  simavr_value = g.uart->cycles_per_byte;
  ours = simavr_value * 10 / 11;
  g.uart->cycles_per_byte = ours;
}

// UDRE is read-only on the part and set whenever the transmitter can take a
// byte. simavr stores whatever the firmware writes to UCSR0A, so a firmware
// that writes 0 there to clear U2X0 would wait for UDRE for ever.
void KeepTransmitterFlag() {
  avr_t* avr = g.avr;
  if (g.uart->tx_cnt == 0 && avr_regbit_get(avr, g.uart->txen) &&
      !avr_regbit_get(avr, g.uart->udrc.raised))
    avr_raise_interrupt(avr, &g.uart->udrc);
}

bool Usage(const char* why) {
  std::fprintf(stderr, "mcu-sim: %s\n", why);
  std::fprintf(stderr,
               "usage: mcu-sim --firmware FILE.elf [--app FILE.hex|FILE.bin] --ready-file F\n"
               "               --flash-out DUMP.bin --uart-log LOG [--timeout S]\n");
  return false;
}

bool ParseOptions(int argc, char** argv, Options* o) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (i + 1 >= argc) return Usage(("missing value after " + a).c_str());
    std::string v = argv[++i];
    if (a == "--firmware") o->firmware = v;
    else if (a == "--app") o->app = v;
    else if (a == "--ready-file") o->ready_file = v;
    else if (a == "--flash-out") o->flash_out = v;
    else if (a == "--uart-log") o->uart_log = v;
    else if (a == "--timeout") o->timeout_s = std::atof(v.c_str());
    else return Usage(("unknown option " + a).c_str());
  }
  if (o->firmware.empty() || o->ready_file.empty() || o->flash_out.empty() || o->uart_log.empty())
    return Usage("--firmware, --ready-file, --flash-out and --uart-log are needed");
  return true;
}

double Now() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

bool WriteFile(const std::string& path, const void* data, size_t size) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  bool ok = std::fwrite(data, 1, size, f) == size;
  return std::fclose(f) == 0 && ok;
}

bool LoadApp(const std::string& path) {
  bool hex = path.size() > 4 && path.compare(path.size() - 4, 4, ".hex") == 0;
  if (hex) {
    ihex_chunk_p chunks = nullptr;
    int n = read_ihex_chunks(path.c_str(), &chunks);
    if (n <= 0) return false;
    for (int i = 0; i < n; ++i) {
      if (chunks[i].baseaddr + chunks[i].size > kBootStart) return false;
      std::memcpy(g.avr->flash + chunks[i].baseaddr, chunks[i].data, chunks[i].size);
    }
    free_ihex_chunks(chunks);
    return true;
  }
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return false;
  size_t n = std::fread(g.avr->flash, 1, kBootStart, f);
  std::fclose(f);
  return n > 0;
}

// The line: one byte from the host completes every kCyclesPerByte while
// there are any. The line never waits for the firmware.
avr_cycle_count_t LineTick(avr_t* avr, avr_cycle_count_t when, void*) {
  if (g.to_device.empty()) {
    g.line_busy = false;
    return 0;
  }
  uint8_t byte = g.to_device.front();
  g.to_device.pop_front();
  // simavr's fifo holds every byte not yet read from UDR; the part holds two.
  const uart_fifo_t& in = g.uart->input;
  size_t unread = (in.write + uart_fifo_fifo_size - in.read) & (uart_fifo_fifo_size - 1);
  if (unread >= kRxBuffer) {
    ++g.overruns;
  } else {
    // simavr raises RXC one byte time after a byte reaches an empty fifo;
    // here the byte has already crossed the line, so RXC follows at once.
    avr_cycle_count_t byte_time = g.uart->cycles_per_byte;
    g.uart->cycles_per_byte = 1;
    avr_raise_irq(g.uart_in, byte);
    g.uart->cycles_per_byte = byte_time;
    ++g.delivered;
  }
  (void)avr;
  return when + kCyclesPerByte;
}

void StartLine() {
  if (g.line_busy || g.to_device.empty()) return;
  g.line_busy = true;
  avr_cycle_timer_register(g.avr, kCyclesPerByte, LineTick, nullptr);
}

void UartOutput(avr_irq_t*, uint32_t value, void*) {
  g.to_host.push_back(static_cast<uint8_t>(value));
  g.log.push_back(static_cast<uint8_t>(value));
}

avr_cycle_count_t SpmDone(avr_t* avr, avr_cycle_count_t, void*) {
  avr_regbit_clear(avr, g.flash->selfprgen);
  avr_regbit_clear(avr, g.flash->pgers);
  avr_regbit_clear(avr, g.flash->pgwrt);
  return 0;
}

// simavr erases or writes a page the moment SPM runs and lets SPMEN fall at
// once. The part keeps SPMEN (and RWWSB) set for the whole operation, and
// the firmware's busy-wait depends on that; so after simavr's own work,
// SPMEN stays up for kSpmBusyCycles. The CPU keeps running meanwhile, as it
// does when the boot section programs the application section.
int FlashIoctl(avr_io_t* io, uint32_t ctl, void* param) {
  avr_t* avr = io->avr;
  bool timed = ctl == AVR_IOCTL_FLASH_SPM && avr_regbit_get(avr, g.flash->selfprgen) &&
               (avr_regbit_get(avr, g.flash->pgers) || avr_regbit_get(avr, g.flash->pgwrt));
  uint8_t ops = avr_regbit_get(avr, g.flash->pgers) ? 1 : 2;
  int r = g.flash_ioctl(io, ctl, param);
  if (timed) {
    ++g.spm_ops;
    avr_regbit_set(avr, g.flash->selfprgen);
    if (ops == 1) avr_regbit_set(avr, g.flash->pgers);
    else avr_regbit_set(avr, g.flash->pgwrt);
    avr_regbit_set(avr, g.flash->rwwsb);
    avr_cycle_timer_cancel(avr, SpmDone, nullptr);
    avr_cycle_timer_register(avr, kSpmBusyCycles, SpmDone, nullptr);
  }
  return r;
}

// The wall clock is kept by the main loop; simavr's own sleeping in real
// time would count twice.
void NoSleep(avr_t*, avr_cycle_count_t) {}

bool SetUp(const Options& o) {
  g.avr = avr_make_mcu_by_name("atmega328p");
  if (!g.avr) return false;
  avr_init(g.avr);
  g.avr->frequency = kClockHz;
  g.avr->log = LOG_ERROR;
  std::memset(g.avr->flash, 0xFF, kFlashSize);
  elf_firmware_t fw;
  std::memset(&fw, 0, sizeof fw);
  if (elf_read_firmware(o.firmware.c_str(), &fw) != 0) {
    std::fprintf(stderr, "mcu-sim: cannot read %s\n", o.firmware.c_str());
    return false;
  }
  fw.frequency = kClockHz;
  std::strcpy(fw.mmcu, "atmega328p");
  avr_load_firmware(g.avr, &fw);
  if (fw.flashbase != kBootStart)
    std::fprintf(stderr, "mcu-sim: note: %s starts at 0x%x, not 0x%x\n", o.firmware.c_str(),
                 fw.flashbase, kBootStart);
  if (!o.app.empty() && !LoadApp(o.app)) {
    std::fprintf(stderr, "mcu-sim: cannot load %s below 0x%x\n", o.app.c_str(), kBootStart);
    return false;
  }
  // BOOTRST programmed: reset goes to the boot section.
  g.avr->reset_pc = kBootStart;
  g.avr->pc = kBootStart;
  g.avr->sleep = NoSleep;

  for (avr_io_t* io = g.avr->io_port; io; io = io->next) {
    if (io->kind && std::strcmp(io->kind, "uart") == 0 &&
        reinterpret_cast<avr_uart_t*>(io)->name == '0')
      g.uart = reinterpret_cast<avr_uart_t*>(io);
    if (io->kind && std::strcmp(io->kind, "flash") == 0) {
      g.flash = reinterpret_cast<avr_flash_t*>(io);
      g.flash_ioctl = io->ioctl;
      io->ioctl = FlashIoctl;
    }
  }
  if (!g.uart || !g.flash) {
    std::fprintf(stderr, "mcu-sim: this simavr has no USART0 or no flash module\n");
    return false;
  }
  // No usleep on polling, no echo to our stdout.
  uint32_t flags = 0;
  avr_ioctl(g.avr, AVR_IOCTL_UART_SET_FLAGS('0'), &flags);
  g.uart_in = avr_io_getirq(g.avr, AVR_IOCTL_UART_GETIRQ('0'), UART_IRQ_INPUT);
  avr_irq_register_notify(avr_io_getirq(g.avr, AVR_IOCTL_UART_GETIRQ('0'), UART_IRQ_OUTPUT),
                          UartOutput, nullptr);
  return true;
}

bool OpenPty(const Options& o) {
  g.master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (g.master < 0 || grantpt(g.master) != 0 || unlockpt(g.master) != 0) return false;
  termios t;
  if (tcgetattr(g.master, &t) == 0) {
    cfmakeraw(&t);
    tcsetattr(g.master, TCSANOW, &t);
  }
  const char* slave = ptsname(g.master);
  if (!slave) return false;
  std::string tmp = o.ready_file + ".tmp";
  std::string line = std::string(slave) + "\n";
  return WriteFile(tmp, line.data(), line.size()) && rename(tmp.c_str(), o.ready_file.c_str()) == 0;
}

// Nobody has the slave open: the master reports a hang-up.
bool HostHasPort() {
  pollfd p = {g.master, 0, 0};
  poll(&p, 1, 0);
  return !(p.revents & POLLHUP);
}

void PumpPty() {
  // Only as much as a serial adapter's small transmit buffer: the rest stays
  // in the pseudo-terminal, where the host sees it as not yet sent, as it
  // would on a real port.
  while (g.to_device.size() < kHostBuffer) {
    uint8_t buf[kHostBuffer];
    ssize_t n = read(g.master, buf, kHostBuffer - g.to_device.size());
    if (n <= 0) break;
    g.to_device.insert(g.to_device.end(), buf, buf + n);
  }
  StartLine();
  while (!g.to_host.empty()) {
    uint8_t chunk[256];
    size_t n = 0;
    for (; n < sizeof chunk && n < g.to_host.size(); ++n) chunk[n] = g.to_host[n];
    ssize_t w = write(g.master, chunk, n);
    if (w <= 0) break;
    g.to_host.erase(g.to_host.begin(), g.to_host.begin() + w);
  }
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!ParseOptions(argc, argv, &o)) return 64;
  if (!SetUp(o)) return 1;
  if (!OpenPty(o)) {
    std::fprintf(stderr, "mcu-sim: cannot make a pseudo-terminal: %s\n", std::strerror(errno));
    return 1;
  }

  const double start = Now();
  const avr_cycle_count_t cycle0 = g.avr->cycle;
  bool opened = false, talked = false, timed_out = false;
  avr_cycle_count_t closed_at = 0;
  double max_behind_s = 0;
  int state = cpu_Running;
  for (;;) {
    double wall = Now() - start;
    if (wall > o.timeout_s) {
      timed_out = true;
      break;
    }
    avr_cycle_count_t sim = g.avr->cycle - cycle0;
    avr_cycle_count_t wall_cycles = static_cast<avr_cycle_count_t>(wall * kClockHz);
    if (sim > wall_cycles + kAheadCycles) {
      // Ahead of the wall clock: wait, but wake for the host's bytes.
      pollfd p = {g.master, POLLIN, 0};
      int ms = static_cast<int>((sim - wall_cycles) * 1000 / kClockHz);
      poll(&p, 1, ms > 0 ? ms : 1);
      if (p.revents & POLLHUP) usleep(static_cast<useconds_t>(ms > 0 ? ms * 1000 : 1000));
    } else if (wall_cycles > sim) {
      double behind = double(wall_cycles - sim) / kClockHz;
      if (behind > max_behind_s) max_behind_s = behind;
    }

    bool has = HostHasPort();
    if (has) {
      opened = true;
      closed_at = 0;
    }
    PumpPty();
    if (g.delivered + g.overruns > 0) talked = true;
    if (!has && opened && talked && closed_at == 0 && g.to_device.empty())
      closed_at = g.avr->cycle;
    if (closed_at && g.avr->cycle - closed_at > kAfterCloseCycles) break;

    // About 1 ms of simulated time per turn.
    avr_cycle_count_t until = g.avr->cycle + kClockHz / 1000;
    while (g.avr->cycle < until) {
      FixByteTime();
      KeepTransmitterFlag();
      state = avr_run(g.avr);
      // simavr always enters an interrupt at the application's vector
      // table; with IVSEL the part uses the one at the boot section's start.
      // Nothing else runs there while IVSEL is set (the reset vector, 0,
      // is how a bootloader starts the application, and stays).
      if ((g.avr->data[kMcucr] & kIvsel) && g.avr->pc > 0 && g.avr->pc < kVectorTableBytes)
        g.avr->pc += kBootStart;
      if (state == cpu_Done || state == cpu_Crashed) break;
    }
    if (state == cpu_Done || state == cpu_Crashed) break;
  }

  bool ok = WriteFile(o.flash_out, g.avr->flash, kFlashSize) &&
            WriteFile(o.uart_log, g.log.data(), g.log.size());
  std::fprintf(stderr, "overruns %lu\n", g.overruns);
  std::fprintf(stderr, "mcu-sim: delivered %lu bytes, %lu page erases and writes, %.3f s simulated, "
               "at most %.3f s behind the wall clock%s%s\n",
               g.delivered, g.spm_ops, double(g.avr->cycle - cycle0) / kClockHz, max_behind_s,
               timed_out ? ", timed out" : "",
               state == cpu_Crashed ? ", firmware crashed" : "");
  if (!ok) {
    std::fprintf(stderr, "mcu-sim: cannot write %s or %s\n", o.flash_out.c_str(), o.uart_log.c_str());
    return 1;
  }
  return timed_out || state == cpu_Crashed ? 2 : 0;
}
