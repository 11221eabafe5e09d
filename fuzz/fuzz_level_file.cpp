// The logger's level file: component names with numbers, read the way
// Logger::Initialize reads it, then looked up the way every log call does.
// (Initialize itself keeps each table for the lock-free readers, so calling
// it per input would grow without end; it is called once in a while.)
#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz-common.h"
#include "lib/base/config.h"
#include "lib/base/log.h"
#include "lib/base/utility.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::wstring path = [] {
    sffuzz::Init();
    return Utf8ToWideLossy(sffuzz::ScratchDir() + "/syncfolder_c.debug");
  }();
  static const std::wstring log = Utf8ToWideLossy(sffuzz::ScratchDir() + "/level.log");
  static unsigned long calls = 0;
  sffuzz::WriteScratch("syncfolder_c.debug", data, size);
  Config levels;
  (void)levels.read(path);
  for (const auto& kv : levels.entries()) (void)levels.get_int(kv.first);
  if (++calls % 4096 == 1) {
    (void)Logger::Initialize(Logger::FILE_LOGGER, log, path, 1);
    for (const auto& kv : levels.entries()) (void)Logger::Enabled(Logger::L_DEBUG, kv.first.c_str());
    // Back to the quiet set-up for the other inputs.
    (void)Logger::Initialize(Logger::FILE_LOGGER, log,
                             Utf8ToWideLossy(sffuzz::ScratchDir() + "/levels"), 1);
  }
  return 0;
}
