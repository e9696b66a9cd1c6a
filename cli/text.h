// How the command line words and draws things on a terminal: the clock,
// the progress bar, outcome lines, and names made safe to show. Pure text,
// no output.
#pragma once

#include <cstdint>
#include <string>

#include "update/update.h"

// "m:ss", or "h:mm:ss" from an hour on.
std::string ClockText(int64_t seconds);

// `text` padded with spaces to `width`: on the right, or on the left.
std::string Pad(const std::string& text, size_t width);
std::string PadLeft(const std::string& text, size_t width);

// `text` with every control character written as \xNN, so that a name
// from a device or a file cannot move the cursor, clear the screen, start a
// line of its own or turn the rest of the line around on the user's
// terminal: C0 and DEL, C1 as a lone byte or in UTF-8, and the direction
// embeddings, overrides and isolates (each byte of a UTF-8 form escaped).
// Other UTF-8, and other bytes, pass unchanged.
std::string Printable(const std::string& text);

// The outcome as one line: title, a colon, the text.
std::string OutcomeLine(const OutcomeMessage& message);

// The bar after word `index` of `count` of an image of `size` bytes:
// "[###############---------------]  50%  1500/3000 bytes  0:02 left".
// Every field is as wide as it is at its largest, so a redraw always
// covers the previous one.
std::string ProgressBar(int32_t index, int32_t count, int64_t size);

// Whether word `index` of `count` takes the percentage into a new quarter.
bool NewQuarter(int32_t index, int32_t count);

// "Sent 1000 of 4001 bytes (25%)".
std::string SentText(int32_t index, int32_t count, int64_t size);

// What to print on standard error after word `index` of `count` of one
// board's image of `size` bytes; empty when nothing needs printing for this
// word. On a terminal: the bar redrawn in place ("\r...") whenever the
// percentage or the seconds left change, ending with a newline after the
// last word. Otherwise: SentText at each quarter.
std::string ProgressText(int32_t index, int32_t count, int64_t size, bool is_tty);

// "Tally: 3 done, 1 failed\n".
std::string TallyText(int64_t done, int64_t failed);

// "the 4001 bytes, about 0:05 on the line" part of a start line.
std::string SizeText(int64_t size);

// A board's outcome line: "ERROR:2: Can't open the serial port: COM9
// (/dev/ttyUSB4: no such device)", with "COM9: " before it when `port` is
// given (several boards). The detail is shown through Printable, which
// leaves a text it has escaped before as it is.
std::string BoardLine(const std::string& port, const OutcomeMessage& message,
                      const std::string& detail);

// "update-firmware-cli: the trace file 'line.txt' could not be written: No
// space left on device", with the port before it when given.
std::string TraceLostLine(const std::string& port, const std::string& trace,
                          const std::string& why);

// Now in UTC, as the records give it: "2026-12-09T02:08:44Z".
std::string UtcNow();
