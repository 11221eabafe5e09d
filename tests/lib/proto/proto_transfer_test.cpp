// The workers' exchanges against the documented bytes (tests/golden), the
// same files the reference server's decoder is checked against: what the
// client sends, and what it reads out of each documented answer.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "fakes/scripted-peer.h"
#include "fakes/test-util.h"
#include "lib/base/errors.h"
#include "lib/base/utility.h"
#include "lib/proto/proto-transfer.h"

using sftest::FaultChannel;
using sftest::Golden;
using sftest::Hex;

namespace {

// The checksum of "hello" that the documented uploads and downloads carry.
const wchar_t kHelloHash[] = L"866437cb7a794bce2b727acc0362ee27";

class Hello : public UploadPayload {
 public:
  int Open(uint32_t block, FilePtr& out) override {
    opened.push_back(block);
    out.reset(std::tmpfile());
    if (!out || std::fputs("hello", out.get()) < 0 || std::fflush(out.get()) != 0) return ERR_SYS;
    return 0;
  }
  std::vector<uint32_t> opened;
};

// Each payload goes to a file of its own, named after its block.
class Files : public DownloadPayload {
 public:
  int Open(uint32_t block, uint64_t size, FilePtr& out) override {
    announced += size;
    out.reset(std::fopen(Path(block).c_str(), "wb"));
    return out ? 0 : ERR_SYS;
  }
  std::string Path(uint32_t block) const { return dir.Sub("block" + std::to_string(block)); }
  sftest::TempDir dir;
  uint64_t announced = 0;
};

std::string Concat(const std::vector<std::string>& golden) {
  std::string s;
  for (const std::string& name : golden) s += Golden(name);
  return s;
}

// The upload the documented requests describe: a new file "/n.txt" whose
// content is "hello", sent whole, from a client with filter version 1.0.
UploadContext HelloUpload() {
  UploadContext c;
  UploadRequest& r = c.request;
  r.session = L"s1";
  r.proto_version = ProtocolVersion{4, 0, 0};
  r.filter_version = FilterVersion{1, 0, 0};
  r.obj.path = L"/n.txt";
  r.data_blocks = BLK_FILE | BLK_COMMON_ATTR;
  r.common_attr.mtime = 1600000000;
  r.file.size = 5;
  r.file.hash = kHelloHash;
  return c;
}

std::wstring Describe(const ObjectID& o) {
  return std::to_wstring(o.sync_id) + L" " + o.path;
}

class ProtoTransferTest : public ::testing::Test {
 protected:
  void SetUp() override { ProtoInit(3); }
};

TEST_F(ProtoTransferTest, TheClientSendsTheDocumentedRequests) {
  struct Case {
    const char* what;
    std::vector<std::string> answer;  // what the server says
    std::vector<std::string> sent;    // what the client must have sent
    std::function<int(Channel&)> exchange;
  };
  const std::vector<Case> cases = {
      {"protocol 4 upload of a whole file",
       {"upload_ack_file.hex", "response_upload2_ok.hex"},
       {"request_upload2_file.hex", "payload_whole_hello.hex"},
       [](Channel& ch) {
         UploadContext c = HelloUpload();
         Hello hello;
         const int r = ProtoUploadObject(ch, c, kUploadProto4, hello);
         EXPECT_TRUE(c.file_sent);
         EXPECT_EQ(c.request.data_blocks, BLK_FILE);  // as acknowledged
         EXPECT_EQ(hello.opened, std::vector<uint32_t>{BLK_FILE});
         return r;
       }},
      {"protocol 3 upload of a whole file",
       {"upload_ack_file.hex", "response_upload3_ok.hex"},
       {"request_upload3_file.hex", "payload_whole_hello.hex"},
       [](Channel& ch) {
         UploadContext c = HelloUpload();
         Hello hello;
         return ProtoUploadObject(ch, c, kUploadProto3, hello);
       }},
      {"an upload the server wants no content of",
       {"upload_ack_none.hex", "response_upload2_conflict.hex"},
       {"request_upload2_file.hex"},
       [](Channel& ch) {
         UploadContext c = HelloUpload();
         Hello hello;
         const int r = ProtoUploadObject(ch, c, kUploadProto4, hello);
         EXPECT_FALSE(c.file_sent);
         EXPECT_TRUE(hello.opened.empty());
         return r;
       }},
      {"download",
       {"response_download_uptodate.hex"},
       {"request_download_blocks.hex"},
       [](Channel& ch) {
         DownloadContext c;
         c.request.session = L"s1";
         c.request.obj = ObjectID{2, L"/d/f.txt"};
         Files files;
         return ProtoDownloadObject(ch, c, files);
       }},
      {"removal",
       {"response_remove_wait.hex"},
       {"request_remove.hex"},
       [](Channel& ch) {
         RemoveContext c;
         c.request.session = L"s1";
         c.request.obj = ObjectID{1, L"/d"};
         return ProtoRemoveObject(ch, c);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FaultChannel ch;
    ch.Feed(Concat(c.answer));
    EXPECT_EQ(c.exchange(ch), 0);
    EXPECT_EQ(Hex(ch.Output()), Hex(Concat(c.sent)));
    EXPECT_EQ(ch.Unconsumed(), 0u);  // the whole answer, and nothing after it
  }
}

TEST_F(ProtoTransferTest, TheDocumentedAnswersDecodeIntoTheRecords) {
  auto upload = [](UploadGeneration gen) {
    return [gen](Channel& ch) -> std::wstring {
      UploadResponse r;
      const int rc = ProtoReadUploadResponse(ch, r, gen);
      if (rc != 0) return L"error " + std::to_wstring(rc);
      return L"code " + std::to_wstring(r.code) + L", object " + Describe(r.obj) + L", mtime " +
             std::to_wstring(r.common_attr.mtime) + L", alive " + std::to_wstring(r.alive);
    };
  };
  auto ack = [](Channel& ch) -> std::wstring {
    uint32_t blocks = 99;
    const int rc = ProtoReadUploadAck(ch, blocks);
    return rc != 0 ? L"error " + std::to_wstring(rc) : L"blocks " + std::to_wstring(blocks);
  };
  auto download = [](Channel& ch) -> std::wstring {
    DownloadResponse r;
    Files files;
    const int rc = ProtoReadDownloadResponse(ch, r, files);
    if (rc != 0) return L"error " + std::to_wstring(rc);
    std::wstring s = L"code " + std::to_wstring(r.code) + L", object " + Describe(r.obj) +
                     L", type " + std::to_wstring(r.new_obj_type) + L", blocks " +
                     std::to_wstring(r.data_blocks) + L", mtime " +
                     std::to_wstring(r.common_attr.mtime);
    if (r.data_blocks & BLK_FILE)
      s += L", file " + std::to_wstring(r.file.type) + L" " + std::to_wstring(r.file.size) + L" " +
           r.file.hash + L" '" + Utf8ToWideLossy(sftest::ReadFile(files.Path(BLK_FILE))) + L"'";
    return s + L", alive " + std::to_wstring(r.alive);
  };
  auto removal = [](Channel& ch) -> std::wstring {
    RemoveResponse r;
    const int rc = ProtoReadRemoveResponse(ch, r);
    if (rc != 0) return L"error " + std::to_wstring(rc);
    return L"code " + std::to_wstring(r.code) + L", alive " + std::to_wstring(r.alive);
  };
  const std::wstring hello = kHelloHash;
  // A directory's answer with a stray byte before its attributes (which
  // still follow): read where it is damaged, and no further.
  std::string damaged = Golden("response_download_dir.hex");
  damaged.insert(damaged.size() - 10, 1, '\x5f');
  struct Case {
    const char* what;
    std::string answer;
    std::function<std::wstring(Channel&)> decode;
    std::wstring want;
  };
  const std::vector<Case> cases = {
      {"upload_ack_file.hex", Golden("upload_ack_file.hex"), ack, L"blocks 1"},
      {"upload_ack_none.hex", Golden("upload_ack_none.hex"), ack, L"blocks 0"},
      {"response_upload2_ok.hex", Golden("response_upload2_ok.hex"), upload(kUploadProto4),
       L"code 1, object 5 /n.txt, mtime 1600000000, alive 60"},
      {"response_upload3_ok.hex", Golden("response_upload3_ok.hex"), upload(kUploadProto3),
       L"code 1, object 5 /n.txt, mtime 1600000000, alive 60"},
      // A refusal carries only the keep-alive.
      {"response_upload2_conflict.hex", Golden("response_upload2_conflict.hex"),
       upload(kUploadProto4), L"code 9, object 0 , mtime 0, alive 60"},
      {"protocol 3 reading a protocol 4 answer", Golden("response_upload2_ok.hex"),
       upload(kUploadProto3), L"error " + std::to_wstring(ERR_PROTO)},
      {"response_download_file.hex", Golden("response_download_file.hex"), download,
       L"code 1, object 2 /d/f.txt, type 0, blocks 3, mtime 1600000000, file 0 5 " + hello +
           L" 'hello', alive 60"},
      {"response_download_dir.hex", Golden("response_download_dir.hex"), download,
       L"code 1, object 1 /d, type 1, blocks 2, mtime 1600000000, alive 60"},
      {"response_download_uptodate.hex", Golden("response_download_uptodate.hex"), download,
       L"code 16, object 0 , type 0, blocks 0, mtime 0, alive 60"},
      {"a damaged download answer", damaged, download, L"error " + std::to_wstring(ERR_PROTO)},
      {"response_remove_wait.hex", Golden("response_remove_wait.hex"), removal,
       L"code 17, alive 60"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FaultChannel ch;
    ch.Feed(c.answer);
    EXPECT_EQ(c.decode(ch), c.want);
    if (c.want.rfind(L"error", 0) != 0) {
      EXPECT_EQ(ch.Unconsumed(), 0u);
    }
  }
}

}  // namespace
