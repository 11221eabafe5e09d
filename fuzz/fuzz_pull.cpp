// The answer to an event pull: header, result, newest sync id and entries.
// Whatever arrives, no entry may carry a path that leaves the sync root.
#include <cstddef>
#include <cstdint>
#include <list>

#include "fuzz/fuzz-common.h"
#include "lib/proto/proto-client.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static sffuzz::MemoryChannel* ch = [] {
    sffuzz::Init();
    ProtoInit(4);
    return new sffuzz::MemoryChannel();
  }();
  ch->Reset(data, size);
  int result = 0;
  if (ProtoReadResponse(*ch, SCMD_EVT_PULL, result) != 0 || result != SPROTO_RES_OK) return 0;
  uint64_t to_id = 0;
  std::list<PullEntry> entries;
  (void)ProtoReadEvents(*ch, to_id, entries);
  if (entries.size() > size) __builtin_trap();
  for (const PullEntry& e : entries)
    if (!ProtoIsSafePath(e.path) || e.path == L"/") __builtin_trap();
  return 0;
}
