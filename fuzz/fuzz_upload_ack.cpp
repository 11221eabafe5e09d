// An upload as the server sees it answered: the client sends its request,
// reads the server's acknowledgement (which blocks it wants), sends the
// payload it asked for, and reads the final answer. Also the removal
// answer, picked by the first byte.
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "fuzz/fuzz-common.h"
#include "lib/base/errors.h"
#include "lib/proto/proto-transfer.h"

namespace {

// The five bytes announced, from a stream of their own.
class Hello : public UploadPayload {
 public:
  int Open(uint32_t, FilePtr& out) override {
    out.reset(std::tmpfile());
    if (!out || std::fputs("hello", out.get()) < 0 || std::fflush(out.get()) != 0) return ERR_SYS;
    return 0;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static sffuzz::MemoryChannel* ch = [] {
    sffuzz::Init();
    ProtoInit(4);
    return new sffuzz::MemoryChannel();
  }();
  if (size < 1) return 0;
  ch->Reset(data + 1, size - 1);
  if (data[0] & 1) {
    RemoveContext ctx;
    ctx.request.session = L"s1";
    ctx.request.obj.sync_id = 9;
    ctx.request.obj.path = L"/gone";
    (void)ProtoRemoveObject(*ch, ctx);
    return 0;
  }
  UploadContext ctx;
  UploadRequest& req = ctx.request;
  req.session = L"s1";
  req.obj.path = L"/a.txt";
  req.data_blocks = BLK_COMMON_ATTR | BLK_FILE;
  req.common_attr.mtime = 1600000000;
  req.file.type = data[0] & 2 ? 1 : 0;
  req.file.size = 5;
  req.file.hash = L"5d41402abc4b2a76b9719d911017c592";
  Hello payload;
  (void)ProtoUploadObject(*ch, ctx, data[0] & 4 ? kUploadProto3 : kUploadProto4, payload);
  return 0;
}
