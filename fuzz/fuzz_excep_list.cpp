// The exception list file. What reads cleanly must write and read back to
// the same entries.
#include <cstddef>
#include <cstdint>

#include "client/core/excep-list.h"
#include "fuzz/fuzz-common.h"
#include "lib/base/utility.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::wstring path = [] {
    sffuzz::Init();
    return Utf8ToWideLossy(sffuzz::ScratchDir() + "/excep.list");
  }();
  static const std::wstring copy = Utf8ToWideLossy(sffuzz::ScratchDir() + "/excep.copy");
  sffuzz::WriteScratch("excep.list", data, size);
  ExcepList a;
  if (a.read(path) != 0) {
    if (!a.events().empty()) __builtin_trap();
    return 0;
  }
  if (a.write(copy) != 0) return 0;
  ExcepList b;
  if (b.read(copy) != 0 || b.events().size() != a.events().size()) __builtin_trap();
  auto i = a.events().begin();
  for (auto j = b.events().begin(); j != b.events().end(); ++i, ++j) {
    if (i->first != j->first || i->second.m_type != j->second.m_type ||
        i->second.m_mode != j->second.m_mode || i->second.m_syncID != j->second.m_syncID)
      __builtin_trap();
  }
  return 0;
}
