// A sample application for the bootloader: linked at 0, it says which build
// it is, one line at 9600 baud 8N1, and then idles. A board that prints the
// line after an upload has run the image it was sent.
#include <avr/io.h>
#include <avr/pgmspace.h>

#define BAUD 9600
#include <util/setbaud.h>

#ifndef UF_APP_VERSION
#define UF_APP_VERSION "1.0"
#endif
#ifndef UF_APP_BUILD
#define UF_APP_BUILD __DATE__
#endif

static const char kLine[] PROGMEM = "uf-sample-app " UF_APP_VERSION " built " UF_APP_BUILD "\n";

int main(void) {
  UBRR0H = UBRRH_VALUE;
  UBRR0L = UBRRL_VALUE;
#if USE_2X
  UCSR0A = _BV(U2X0);
#else
  UCSR0A = 0;
#endif
  UCSR0C = _BV(UCSZ01) | _BV(UCSZ00);
  UCSR0B = _BV(TXEN0);
  for (const char* p = kLine; pgm_read_byte(p) != '\0'; ++p) {
    while (!(UCSR0A & _BV(UDRE0))) {
    }
    UDR0 = pgm_read_byte(p);
  }
  for (;;) {
  }
}
