// The device's side of the upload, for an ATmega328P at 16 MHz, in its
// 4 KiB boot section (0x7000; BOOTRST makes reset start here):
//   host: "BL10"            anything else before it is ignored
//   device: "OK"
//   host: size, 4 bytes, least significant first
//   host: size / 2 words of two bytes (an odd size drops its last byte)
//   device: "OK" once every page is written and reads back as sent, and then
//           the application runs; "ER" otherwise, and the device waits for
//           the next "BL10".
// The image goes to the application flash from address 0, page by page; the
// last page is padded with 0xFF. An image larger than the application
// flash is still read to its end, so that the host gets its answer, but
// nothing past the application flash is written and the answer is "ER".
//
// The bytes arrive by interrupt into a ring, because the host sends without
// pause and a page takes about 9 ms to erase and write: the CPU keeps
// running from this section meanwhile (the application flash is the
// read-while-write part), and the UART's own two bytes of buffer would
// overrun within three byte times. With UF_RX_POLLING the bytes are read
// straight from the UART instead, and the ones that come during a page
// write are lost: a deliberately broken build, for the tests that must see
// such a device fail.
#include <avr/boot.h>
#include <avr/interrupt.h>
#include <avr/io.h>
#include <avr/pgmspace.h>
#include <avr/wdt.h>
#include <stdbool.h>
#include <stdint.h>

// 16 MHz / 9600 baud: UBRR 103 in normal mode or 207 at double speed, both
// 9615 baud, +0.16%. With the errors equal, normal mode samples each bit 16
// times rather than 8 and so takes more of the host's own error; setbaud.h
// picks it too, since 0.16% is within its tolerance.
#define BAUD 9600
#include <util/delay.h>
#include <util/setbaud.h>

#ifndef UF_BOOT_START
#define UF_BOOT_START 0x7000UL
#endif
// The application flash: everything below the boot section.
#define APP_BYTES ((uint32_t)UF_BOOT_START)

static uint8_t page[SPM_PAGESIZE];

#ifndef UF_RX_POLLING
// A power of two of bytes: 8-bit indices wrap by themselves. 256 bytes is a
// quarter of a second of the line, far more than a page write takes.
static uint8_t ring[256];
static volatile uint8_t ring_head;  // written by the interrupt only
static uint8_t ring_tail;           // written by the main loop only

ISR(USART_RX_vect) {
  const uint8_t head = ring_head;
  ring[head] = UDR0;
  ring_head = (uint8_t)(head + 1);
}

static uint8_t ReceiveByte(void) {
  while (ring_head == ring_tail) {
  }
  const uint8_t b = ring[ring_tail];
  ring_tail = (uint8_t)(ring_tail + 1);
  return b;
}
#else
static uint8_t ReceiveByte(void) {
  while (!(UCSR0A & _BV(RXC0))) {
  }
  return UDR0;
}
#endif

// UCSR0A's flags are cleared by writing one (TXC0) or must be written as
// zero (FE0, DOR0, UPE0); only U2X0 and MPCM0 are settings to keep.
static void ClearTransmitComplete(void) {
  UCSR0A = (uint8_t)((UCSR0A & (_BV(U2X0) | _BV(MPCM0))) | _BV(TXC0));
}

// TXC0 is cleared as each byte is queued, so once set it says the line has
// sent the last byte queued.
static void SendByte(uint8_t b) {
  while (!(UCSR0A & _BV(UDRE0))) {
  }
  ClearTransmitComplete();
  UDR0 = b;
}

static void SendReply(char first, char second) {
  SendByte((uint8_t)first);
  SendByte((uint8_t)second);
}

static void WaitForStart(void) {
  static const char start[4] = {'B', 'L', '1', '0'};
  uint8_t matched = 0;
  while (matched < sizeof start) {
    const uint8_t b = ReceiveByte();
    if (b == (uint8_t)start[matched]) {
      ++matched;
    } else {
      // "BL10" has no repeated prefix: a mismatch can only restart the
      // match at this very byte.
      matched = b == (uint8_t)start[0] ? 1 : 0;
    }
  }
}

// The store that arms SPMCSR and the SPM instruction must be at most four
// cycles apart, so no interrupt may come between them. The erase and the
// write then run on their own while interrupts are served again.
static void SpmErase(uint16_t address) {
  cli();
  boot_page_erase(address);
  sei();
  boot_spm_busy_wait();
}

static void SpmFill(uint16_t address, uint16_t word) {
  cli();
  boot_page_fill(address, word);
  sei();
}

static void SpmWrite(uint16_t address) {
  cli();
  boot_page_write(address);
  sei();
  boot_spm_busy_wait();
  // The application flash cannot be read until it is enabled again.
  cli();
  boot_rww_enable();
  sei();
}

// Writes the page buffer at `address` (a page boundary below the boot
// section) and says whether the flash now reads back the same.
static bool WritePage(uint16_t address) {
  eeprom_busy_wait();  // the SPM instruction is ignored during an EEPROM write
  SpmErase(address);
  for (uint16_t i = 0; i < SPM_PAGESIZE; i += 2) {
    SpmFill((uint16_t)(address + i), (uint16_t)(page[i] | ((uint16_t)page[i + 1] << 8)));
  }
  SpmWrite(address);
  for (uint16_t i = 0; i < SPM_PAGESIZE; ++i) {
    if (pgm_read_byte(address + i) != page[i]) return false;
  }
  return true;
}

// Reads the size and the words that follow, writes what fits and says
// whether the answer is "OK".
static bool ReceiveImage(void) {
  uint32_t size = 0;
  for (uint8_t k = 0; k < 4; ++k) size |= (uint32_t)ReceiveByte() << (8 * k);
  // The host counts in a signed 32-bit number: from a size it cannot have
  // meant (2 GiB or more) it sends no words at all.
  if (size & 0x80000000UL) return false;
  const uint32_t bytes = size & ~1UL;
  // No image at all is no reason to start whatever the flash holds.
  bool good = bytes != 0 && bytes <= APP_BYTES;
  uint32_t address = 0;  // 32 bits: an image too large must not wrap to 0
  uint8_t filled = 0;
  for (uint32_t got = 0; got < bytes; ++got) {
    page[filled++] = ReceiveByte();
    if (filled == SPM_PAGESIZE) {
      if (address < APP_BYTES && !WritePage((uint16_t)address)) good = false;
      address += SPM_PAGESIZE;
      filled = 0;
    }
  }
  if (filled != 0) {
    while (filled < SPM_PAGESIZE) page[filled++] = 0xFF;
    if (address < APP_BYTES && !WritePage((uint16_t)address)) good = false;
  }
  return good;
}

// The application gets the chip as after a reset, as far as it matters to
// it: interrupts off, its own vectors, no receive interrupt and nothing
// left in the receiver once the reply is out. The transmitter stays on:
// turning it off gains nothing, since an application that uses the UART
// sets it up again, and under simavr 1.6 (which runs this in the tests) an
// application that turns it back on then waits for UDRE0 for ever.
static void StartApplication(void) __attribute__((noreturn));
static void StartApplication(void) {
  while (!(UCSR0A & _BV(TXC0))) {
  }
  // The host takes a reply only while exactly its two bytes wait: an
  // application that spoke at once would land in the same read and turn a
  // good update into a silent device. A USB adapter holds bytes back for
  // up to 16 ms and the host looks every 10 ms; a quarter second is safe.
  for (uint8_t i = 0; i < 250; ++i) _delay_ms(1);
  cli();
  UCSR0B = _BV(TXEN0);
  UCSR0A = _BV(TXC0);  // TXC0 cleared, U2X0 and MPCM0 back to 0
  UBRR0 = 0;
  const uint8_t mcucr = MCUCR & (uint8_t)~(_BV(IVSEL) | _BV(IVCE));
  MCUCR = (uint8_t)(mcucr | _BV(IVCE));
  MCUCR = mcucr;
  __asm__ __volatile__("jmp 0");
  __builtin_unreachable();
}

int main(void) {
  // A watchdog reset leaves the watchdog running; it would reset the chip
  // in the middle of an upload.
  MCUSR = 0;
  wdt_disable();

  UBRR0H = UBRRH_VALUE;
  UBRR0L = UBRRL_VALUE;
#if USE_2X
  UCSR0A = _BV(U2X0);
#else
  UCSR0A = 0;
#endif
  UCSR0C = _BV(UCSZ01) | _BV(UCSZ00);  // 8 data bits, no parity, 1 stop bit
  UCSR0B = _BV(RXEN0) | _BV(TXEN0);
#ifndef UF_RX_POLLING
  // The interrupt must find its vector here: the application flash, where
  // the vectors are after a reset, cannot be read while a page is written.
  MCUCR = _BV(IVCE);
  MCUCR = _BV(IVSEL);
  UCSR0B |= _BV(RXCIE0);
  sei();
#endif

  for (;;) {
    WaitForStart();
    SendReply('O', 'K');
    if (ReceiveImage()) {
      SendReply('O', 'K');
      StartApplication();
    }
    SendReply('E', 'R');
  }
}
