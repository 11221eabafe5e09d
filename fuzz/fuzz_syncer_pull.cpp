// The syncer's pull exchange: its request, then the answer with sizes and
// checksums of existing files and the closing keep-alive. No entry may
// carry a path that leaves the sync root, nor a type or status outside the
// known values.
#include <cstddef>
#include <cstdint>

#include "fuzz/engine-env.h"
#include "fuzz/fuzz-common.h"
#include "lib/proto/proto-client.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static sffuzz::EngineEnv& env = sffuzz::Engine();
  static sffuzz::MemoryChannel* ch = new sffuzz::MemoryChannel();
  ch->Reset(data, size);
  PullEventContext ctx;
  ctx.from_id = 5;
  ctx.session = L"s1";
  if (env.syncer->ProtoPullEvent(*ch, ctx) != 0) return 0;
  if (ctx.entries.size() > size) __builtin_trap();
  for (const PullEntry& e : ctx.entries) {
    if (!ProtoIsSafePath(e.path) || e.path == L"/") __builtin_trap();
    if (e.type != SFT_FILE && e.type != SFT_DIR) __builtin_trap();
    if (e.status != FS_DEL && e.status != FS_EXIST) __builtin_trap();
    (void)Syncer::MakeEvent(e);
  }
  return 0;
}
