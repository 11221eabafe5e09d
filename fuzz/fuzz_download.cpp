// A download answer's records and its file payload (blocks written to a
// scratch file). The payload can never grow the file beyond the bytes that
// arrived, nor beyond the length it announced.
#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/fuzz-common.h"
#include "lib/base/utility.h"
#include "lib/proto/proto-client.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static sffuzz::MemoryChannel* ch = [] {
    sffuzz::Init();
    ProtoInit(4);
    return new sffuzz::MemoryChannel();
  }();
  static const std::string path = sffuzz::ScratchDir() + "/payload";
  static const std::wstring wpath = Utf8ToWideLossy(path);
  if (size < 1) return 0;
  ch->Reset(data + 1, size - 1);
  switch (data[0] % 3) {
    case 0: {
      uint8_t type = 0;
      (void)ProtoReadFile(*ch, type, wpath);
      struct stat st {};
      if (::stat(path.c_str(), &st) == 0 && static_cast<size_t>(st.st_size) > size)
        __builtin_trap();
      break;
    }
    case 1: {
      ObjectID id;
      uint8_t type = 0;
      uint32_t blocks = 0;
      CommonAttributeBlock attr;
      if (ProtoReadObjectId(*ch, id) < 0) break;
      if (ProtoReadSection(*ch, SPROTO_ID_FILETYPE, type) < 0) break;
      if (ProtoReadSection(*ch, SPROTO_ID_DATA_BLOCK, blocks) < 0) break;
      (void)ProtoReadCommonAttributeBlock(*ch, attr);
      break;
    }
    case 2: {
      FilterVersion fv;
      ProtocolVersion pv;
      ObjectMetadata md;
      if (ProtoReadFilterVersion(*ch, fv) < 0) break;
      if (ProtoReadProtocolVersion(*ch, pv) < 0) break;
      (void)ProtoReadObjectMetadata(*ch, md);
      break;
    }
  }
  return 0;
}
