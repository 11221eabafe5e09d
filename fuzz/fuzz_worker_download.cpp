// The workers' download answer: result, object, type, blocks, attributes,
// file size and checksum, the payload (into a scratch file) and the
// keep-alive. The payload stays within the bound its announced size sets
// (whether it matches size and checksum is the download's later check).
#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>

#include "fuzz/fuzz-common.h"
#include "lib/base/errors.h"
#include "lib/proto/proto-transfer.h"

namespace {

class Scratch : public DownloadPayload {
 public:
  explicit Scratch(std::string path) : m_path(std::move(path)) {}
  int Open(uint32_t, uint64_t, FilePtr& out) override {
    out.reset(std::fopen(m_path.c_str(), "wb"));
    return out ? 0 : ERR_SYS;
  }

 private:
  std::string m_path;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static sffuzz::MemoryChannel* ch = [] {
    sffuzz::Init();
    ProtoInit(4);
    return new sffuzz::MemoryChannel();
  }();
  static const std::string path = sffuzz::ScratchDir() + "/download";
  ch->Reset(data, size);
  (void)std::remove(path.c_str());
  DownloadResponse rs;
  Scratch payload(path);
  if (ProtoReadDownloadResponse(*ch, rs, payload) != 0) return 0;
  if (rs.code == SPROTO_RES_OK && (rs.data_blocks & BLK_FILE)) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || static_cast<size_t>(st.st_size) > size) __builtin_trap();
  }
  return 0;
}
