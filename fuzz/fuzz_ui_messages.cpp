// The UI message stream as the monitor decodes it, fed in pieces of the
// sizes the first byte picks: the buffer never holds more than one message.
#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz-common.h"
#include "monitor/ui-decoder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const size_t piece = 1 + data[0] % 64;
  monitor::UiDecoder d;
  monitor::UiMessage m;
  for (size_t at = 1; at < size; at += piece) {
    d.Feed(reinterpret_cast<const char*>(data) + at, std::min(piece, size - at));
    monitor::UiDecoder::Result r;
    while ((r = d.Next(m)) == monitor::UiDecoder::kMessage) {
      if (m.text.size() > monitor::kMaxValueBytes) __builtin_trap();
    }
    if (r == monitor::UiDecoder::kMalformed) break;
  }
  return 0;
}
