// Port words from a command line, one a line of the input: each read alone
// and all together, as `flash` and `list` read them.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "cli/ports.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> words;
  size_t start = 0;
  while (start <= text.size() && words.size() < 64) {
    const size_t end = std::min(text.find('\n', start), text.size());
    words.push_back(text.substr(start, end - start));
    (void)ParsePortSelector(words.back());
    start = end + 1;
  }
  std::string error;
  (void)ParsePortWords(words, &error);
  return 0;
}
