// The worker's download answer: result, object, type, blocks, attributes,
// file size and checksum, the payload (into a temporary file) and the
// keep-alive. The payload stays within the bound its announced size sets
// (whether it matches size and checksum is the download's later check).
#include <sys/stat.h>

#include <cstddef>
#include <cstdint>

#include "fuzz/engine-env.h"
#include "fuzz/fuzz-common.h"
#include "lib/base/utility.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static sffuzz::EngineEnv& env = sffuzz::Engine();
  static sffuzz::MemoryChannel* ch = new sffuzz::MemoryChannel();
  ch->Reset(data, size);
  DownloadResponse rs;
  if (env.worker->ReadDownloadResponse(*ch, rs) != 0) return 0;
  if (rs.code == SPROTO_RES_OK && (rs.data_blocks & BLK_FILE)) {
    struct stat st {};
    if (::stat(WideToUtf8Lossy(rs.file.data.getPath()).c_str(), &st) != 0 ||
        static_cast<size_t>(st.st_size) > size)
      __builtin_trap();
  }
  return 0;
}
