#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <random>

#include "fakes/scripted-peer.h"
#include "fakes/test-util.h"
#include "lib/net/channel.h"
#include "lib/base/errors.h"
#include "lib/proto/proto-common.h"
#include "lib/base/utility.h"

using sftest::Bytes;
using sftest::FaultChannel;
using sftest::Golden;
using sftest::Hex;
using sftest::ScriptedPeer;
using sftest::Unhex;

namespace {

class ProtoInitEnv {
 public:
  ProtoInitEnv() { ProtoInit(3); }
};
const ProtoInitEnv g_init;

std::string Pattern(size_t n, unsigned seed = 3) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(rng());
  return s;
}

// Connects a channel to a scripted peer that has already been scripted.
void Connect(Channel& ch, ScriptedPeer& peer) {
  peer.Start();
  ch.SetWaitPeriod(std::chrono::milliseconds(50));
  ASSERT_EQ(ch.Open("127.0.0.1", peer.port(), false), 0);
}

// ---- golden layouts over loopback -------------------------------------------

TEST(ProtoFramingGoldenTest, WritersProduceTheDocumentedBytesOnTheWire) {
  ScriptedPeer peer;
  Channel ch;
  Connect(ch, peer);
  const std::string expect = Golden("header_evt_pull_v3.hex") + Golden("section_sid_1.hex") +
                             Golden("section_path_ab.hex") + Golden("section_path_empty.hex") +
                             Golden("section_filter_version_1_2_3.hex");
  ASSERT_EQ(ProtoWriteHeader(ch, 0, SCMD_EVT_PULL), 0);
  ASSERT_EQ(ProtoWriteSection(ch, SPROTO_ID_SID, uint64_t{1}), 0);
  ASSERT_EQ(ProtoWriteSection(ch, SPROTO_ID_PATH, std::wstring(L"ab")), 0);
  ASSERT_EQ(ProtoWriteSection(ch, SPROTO_ID_PATH, std::wstring()), 0);
  ASSERT_EQ(ProtoWriteFilterVersion(ch, FilterVersion{1, 2, 3}), 0);
  EXPECT_TRUE(peer.Received().empty());  // nothing leaves before a flush
  ASSERT_EQ(ch.FlushWrite(0), 0);
  ASSERT_TRUE(peer.WaitReceived(expect.size()));
  EXPECT_EQ(Hex(peer.Received()), Hex(expect));
}

TEST(ProtoFramingGoldenTest, ReadersDecodeTheDocumentedBytesWithWireSizes) {
  ScriptedPeer peer;
  peer.Send(Golden("header_evt_pull_v3.hex") + Golden("section_sid_1.hex") +
            Golden("section_path_ab.hex") + Golden("section_path_empty.hex") +
            Golden("section_filter_version_1_2_3.hex"))
      .Hold();
  Channel ch;
  Connect(ch, peer);
  uint16_t len = 99;
  uint8_t cmd = 0, version = 0;
  ASSERT_EQ(ProtoReadHeader(ch, len, cmd, version), 0);
  EXPECT_EQ(len, 0);
  EXPECT_EQ(cmd, SCMD_EVT_PULL);
  EXPECT_EQ(version, 3);
  uint64_t sid = 0;
  EXPECT_EQ(ProtoReadSection(ch, SPROTO_ID_SID, sid), 9);
  EXPECT_EQ(sid, 1u);
  std::wstring s = L"x";
  EXPECT_EQ(ProtoReadSection(ch, SPROTO_ID_PATH, s), 6);
  EXPECT_EQ(s, L"ab");
  EXPECT_EQ(ProtoReadSection(ch, SPROTO_ID_PATH, s), 4);
  EXPECT_EQ(s, L"");
  FilterVersion fv;
  ASSERT_EQ(ProtoReadFilterVersion(ch, fv), 0);
  EXPECT_EQ(fv.major, 1u);
  EXPECT_EQ(fv.minor, 2u);
  EXPECT_EQ(fv.build, 3u);
  peer.Release();
}

// ---- header -----------------------------------------------------------------

TEST(ProtoHeaderTest, WrongMagicIsRefusedAfterTheWholeHeader) {
  FaultChannel ch;
  ch.Feed(Unhex("25 52 18 15 03 06 00 00 ff"));
  uint16_t len = 7;
  uint8_t cmd = 7, version = 7;
  EXPECT_EQ(ProtoReadHeader(ch, len, cmd, version), ERR_PROTO);
  EXPECT_EQ(ch.Unconsumed(), 1u);
  EXPECT_EQ(cmd, 7);  // outputs untouched
}

TEST(ProtoHeaderTest, OnceAMessageBeganASilentPeerTimesOutAfterTenSeconds) {
  FaultChannel ch;
  ch.SetTimeout(60);
  ch.TimeoutWhenDry(std::chrono::seconds(3));
  ch.Feed(Golden("header_evt_pull_v3.hex"));
  uint16_t len;
  uint8_t cmd, version;
  ASSERT_EQ(ProtoReadHeader(ch, len, cmd, version), 0);
  EXPECT_EQ(ch.GetTimeout(), 10u);
  uint8_t res;
  EXPECT_EQ(ProtoReadSection(ch, SPROTO_ID_RES, res), ERR_TIMEOUT);
  EXPECT_EQ(ch.TimeoutsSeen(), 4);  // 12 s >= 10 s, not the earlier 60 s
}

TEST(ProtoHeaderTest, TruncatedHeaderPassesTheChannelErrorThrough) {
  FaultChannel ch;
  ch.Feed(Unhex("25 52 18 14 03"));
  uint16_t len;
  uint8_t cmd, version;
  EXPECT_EQ(ProtoReadHeader(ch, len, cmd, version), ERR_IO);
}

// ---- sections -----------------------------------------------------------------

TEST(ProtoSectionTest, UnexpectedIdIsRefusedAndConsumed) {
  FaultChannel ch;
  ch.Feed(Bytes().secstr(SPROTO_ID_SESSION, "s"));
  std::wstring path = L"keep";
  EXPECT_EQ(ProtoReadSection(ch, SPROTO_ID_PATH, path), ERR_PROTO);
  EXPECT_EQ(path, L"keep");
  EXPECT_EQ(ch.Unconsumed(), 4u);  // only the id byte was taken
}

TEST(ProtoSectionTest, SixteenBitSectionsAndMismatchedKindsAlwaysFail) {
  FaultChannel ch;
  for (uint8_t id = 0; id <= 42; ++id) EXPECT_EQ(ProtoWriteSection(ch, id, uint16_t{1}), ERR_PROTO);
  EXPECT_EQ(ProtoWriteSection(ch, SPROTO_ID_PATH, uint8_t{1}), ERR_PROTO);  // var id
  EXPECT_EQ(ProtoWriteSection(ch, SPROTO_ID_SID, uint32_t{1}), ERR_PROTO);  // 8-byte id
  EXPECT_EQ(ProtoWriteSection(ch, SPROTO_ID_SID, std::wstring(L"x")), ERR_PROTO);
  EXPECT_EQ(ProtoWriteSection(ch, 0, uint8_t{1}), ERR_PROTO);
  EXPECT_EQ(ProtoWriteSection(ch, 42, "x", 1), ERR_PROTO);
  EXPECT_EQ(ch.WritePending(), 0u);  // nothing half-written
  ch.Feed(Unhex("0c 00 00 00 01"));
  uint16_t v16;
  uint64_t v64;
  EXPECT_EQ(ProtoReadSection(ch, SPROTO_ID_SEQID, v16), ERR_PROTO);
  EXPECT_EQ(ProtoReadSection(ch, SPROTO_ID_SEQID, v64), ERR_PROTO);
  EXPECT_EQ(ch.Unconsumed(), 5u);  // a kind mismatch reads nothing
}

TEST(ProtoSectionTest, IntegerSectionsHaveTheirWireSizes) {
  FaultChannel ch;
  ASSERT_EQ(ProtoWriteSection(ch, SPROTO_ID_RES, uint8_t{1}), 0);
  ASSERT_EQ(ProtoWriteSection(ch, SPROTO_ID_SEQID, uint32_t{0x01020304}), 0);
  ASSERT_EQ(ProtoWriteSection(ch, SPROTO_ID_EVT_COUNT, uint64_t{~0ull}), 0);
  ASSERT_EQ(ch.FlushWrite(0), 0);
  EXPECT_EQ(Hex(ch.Output()), "01 01 0c 01 02 03 04 0b ff ff ff ff ff ff ff ff");
  FaultChannel in;
  in.Feed(ch.Output());
  uint8_t a;
  uint32_t b;
  uint64_t c;
  EXPECT_EQ(ProtoReadSection(in, SPROTO_ID_RES, a), 2);
  EXPECT_EQ(ProtoReadSection(in, SPROTO_ID_SEQID, b), 5);
  EXPECT_EQ(ProtoReadSection(in, SPROTO_ID_EVT_COUNT, c), 9);
  EXPECT_EQ(b, 0x01020304u);
  EXPECT_EQ(c, ~0ull);
}

TEST(ProtoVarDataTest, AnnouncedLengthOverTheBufferIsRefusedBeforeReading) {
  FaultChannel ch;
  ch.Feed(Bytes().u16(8193).raw(std::string(8193, 'a')));
  char buf[8192];
  EXPECT_EQ(ProtoReadVarData(ch, buf, sizeof(buf)), ERR_PROTO);
  EXPECT_EQ(ch.Unconsumed(), 8193u);  // the data itself was not consumed
  EXPECT_EQ(ProtoReadVarData(ch, nullptr, 10), ERR_INVAL);
  EXPECT_EQ(ProtoReadVarData(ch, buf, 0), ERR_INVAL);
}

TEST(ProtoVarDataTest, LengthsAtTheBoundsAreExact) {
  FaultChannel ch;
  std::string max(8192, 'm');
  ch.Feed(Bytes().var("").var(max).var("xyz"));
  char buf[8192];
  EXPECT_EQ(ProtoReadVarData(ch, buf, sizeof(buf)), 0);
  EXPECT_EQ(ProtoReadVarData(ch, buf, sizeof(buf)), 8192);
  EXPECT_EQ(std::string(buf, 8192), max);
  unsigned len = 0;
  ch.Feed(Bytes().secvar(SPROTO_ID_DELTADATA, "abcd"));
  EXPECT_EQ(ProtoReadVarData(ch, buf, 2), ERR_PROTO);  // "xyz" into 2 bytes
  EXPECT_EQ(ProtoWriteVarData(ch, nullptr, 1), ERR_INVAL);
  EXPECT_EQ(ProtoWriteVarData(ch, "a", -1), ERR_INVAL);
  EXPECT_EQ(ProtoWriteVarData(ch, max.data(), 8193), ERR_INVAL);
  EXPECT_EQ(ch.WritePending(), 0u);
  (void)len;
}

TEST(ProtoVarDataTest, LengthBeyondSixteenBitsIsRefusedEvenWhenTheChannelCouldQueueIt) {
  // On a channel larger than the length field, 65536 bytes would be
  // announced as 0 and the bytes read as the following sections.
  FaultChannel ch(70000);
  std::string big(65536, 'b');
  EXPECT_EQ(ProtoWriteVarData(ch, big.data(), 65536), ERR_INVAL);
  EXPECT_EQ(ProtoWriteSection(ch, SPROTO_ID_DELTADATA, big.data(), 65536), ERR_INVAL);
  EXPECT_EQ(ch.WritePending(), 0u);
  ASSERT_EQ(ProtoWriteVarData(ch, big.data(), 65535), 0);
  ASSERT_EQ(ch.FlushWrite(0), 0);
  EXPECT_EQ(ch.Output(), Bytes().u16(65535).raw(big.substr(0, 65535)).str());
}

TEST(ProtoVarDataTest, TruncatedDataReportsTheChannelError) {
  FaultChannel ch;
  ch.Feed(Bytes().u16(10).raw("abc"));
  char buf[16];
  EXPECT_EQ(ProtoReadVarData(ch, buf, sizeof(buf)), ERR_IO);
}

// ---- strings --------------------------------------------------------------------

TEST(ProtoStringTest, WideStringsTravelAsUtf8WithTerminatorAndAreCutAtZero) {
  FaultChannel ch;
  const std::wstring text = L"Gr\u00fc\u00dfe/\u65e5\u672c/\U0001F600";
  ASSERT_EQ(ProtoWriteSection(ch, SPROTO_ID_PATH, text), 0);
  ASSERT_EQ(ch.FlushWrite(0), 0);
  std::string utf8;
  ASSERT_EQ(NativeStrToUTF8(text, utf8), 0);
  EXPECT_EQ(Hex(ch.Output()), Hex(Bytes().secstr(SPROTO_ID_PATH, utf8)));

  FaultChannel in;
  in.Feed(ch.Output());
  in.Feed(Bytes().secvar(SPROTO_ID_PATH, std::string("ab\0cd", 5)));
  std::wstring got;
  EXPECT_EQ(ProtoReadSection(in, SPROTO_ID_PATH, got), static_cast<int>(utf8.size() + 4));
  EXPECT_EQ(got, text);
  EXPECT_EQ(ProtoReadSection(in, SPROTO_ID_PATH, got), 8);  // wire size counts the whole data
  EXPECT_EQ(got, L"ab");
}

TEST(ProtoStringTest, InvalidUtf8FromThePeerIsRefused) {
  FaultChannel ch;
  ch.Feed(Bytes().secvar(SPROTO_ID_PATH, "\xff\xfe/\xc3"));
  std::wstring got = L"keep";
  EXPECT_EQ(ProtoReadSection(ch, SPROTO_ID_PATH, got), ERR_SYS);
  EXPECT_EQ(got, L"keep");
}

TEST(ProtoStringTest, TextTooLongForTheWireIsRefusedWithNothingWritten) {
  FaultChannel ch;
  EXPECT_EQ(ProtoWriteSection(ch, SPROTO_ID_PATH, std::wstring(8192, L'a')), ERR_SYS);
  EXPECT_EQ(ProtoWriteSection(ch, SPROTO_ID_PATH, std::wstring(1, L'\xD800')), ERR_SYS);
  EXPECT_EQ(ch.WritePending(), 0u);
  // The longest text that fits: 8191 bytes plus the terminator.
  EXPECT_EQ(ProtoWriteSection(ch, SPROTO_ID_PATH, std::wstring(8191, L'a')), 0);
}

TEST(ProtoStringTest, NarrowStringsHaveNoTerminator) {
  FaultChannel ch;
  ASSERT_EQ(ProtoWriteString(ch, std::string("abc")), 0);
  ASSERT_EQ(ch.FlushWrite(0), 0);
  EXPECT_EQ(Hex(ch.Output()), "00 03 61 62 63");
  FaultChannel in;
  in.Feed(Bytes().var(std::string("ab\0c", 4)));
  std::string got;
  EXPECT_EQ(ProtoReadString(in, got), 4);
  EXPECT_EQ(got, "ab");
}

TEST(ProtoStringTest, EncryptedStringsRoundTripAndHideTheClearText) {
  FaultChannel ch;
  const std::wstring secret = L"p\u00e4ss w0rd";
  ASSERT_EQ(ProtoWriteEncSection(ch, SPROTO_ID_PASSWD, secret), 0);
  ASSERT_EQ(ProtoWriteEncString(ch, std::string("narrow")), 0);
  ASSERT_EQ(ch.FlushWrite(0), 0);
  std::string utf8, enc;
  ASSERT_EQ(NativeStrToUTF8(secret, utf8), 0);
  SyncPassEnc(utf8, enc);
  EXPECT_EQ(ch.Output().substr(0, 3 + enc.size()), Bytes().secvar(SPROTO_ID_PASSWD, enc).str());
  EXPECT_EQ(ch.Output().find("ss w0rd"), std::string::npos);

  FaultChannel in;
  in.Feed(ch.Output());
  std::wstring got;
  EXPECT_EQ(ProtoReadDecSection(in, SPROTO_ID_PASSWD, got), static_cast<int>(enc.size() + 3));
  EXPECT_EQ(got, secret);
  std::string narrow;
  EXPECT_EQ(ProtoReadDecString(in, narrow), 6);
  EXPECT_EQ(narrow, "narrow");
}

// ---- file payloads -------------------------------------------------------------------

class ProtoFileTest : public ::testing::Test {
 protected:
  std::wstring MakeFile(const std::string& name, const std::string& content) {
    sftest::WriteFile(dir.Sub(name), content);
    return Utf8ToWideLossy(dir.Sub(name));
  }
  // The documented payload, built by hand.
  static std::string Payload(uint8_t type, const std::string& content) {
    Bytes b;
    b.sec8(SPROTO_ID_DELTATYPE, type).sec64(SPROTO_ID_DELTALEN, content.size());
    uint32_t idx = 0;
    for (size_t off = 0; off < content.size(); off += 8192, ++idx)
      b.sec32(SPROTO_ID_DELTAID, idx).secvar(SPROTO_ID_DELTADATA, content.substr(off, 8192));
    return b.str();
  }
  sftest::TempDir dir;
};

TEST_F(ProtoFileTest, PayloadsOfZeroSmallFullAndOneOverBlockSizes) {
  EXPECT_EQ(Payload(0, ""), Golden("payload_file_empty.hex"));
  EXPECT_EQ(Payload(1, "hello"), Golden("payload_file_hello.hex"));
  for (size_t size : {size_t{0}, size_t{5}, size_t{8192}, size_t{8193}, size_t{3 * 8192 + 7}}) {
    const std::string content = Pattern(size, static_cast<unsigned>(size));
    FaultChannel ch;
    ASSERT_EQ(ProtoWriteFile(ch, 1, MakeFile("src", content)), 0) << size;
    EXPECT_EQ(ch.WritePending(), 0u);  // flushed
    EXPECT_TRUE(ch.Output() == Payload(1, content)) << size;

    FaultChannel in;
    in.Feed(ch.Output() + "next");
    uint8_t type = 9;
    ASSERT_EQ(ProtoReadFile(in, type, MakeFile("dst", "old content")), 0) << size;
    EXPECT_EQ(type, 1);
    EXPECT_TRUE(sftest::ReadFile(dir.Sub("dst")) == content) << size;
    EXPECT_EQ(in.Unconsumed(), 4u);  // the next message is untouched
  }
}

TEST_F(ProtoFileTest, FileOfExactlyOneBlockEndsWithoutAnEmptyBlock) {
  FaultChannel ch;
  ASSERT_EQ(ProtoWriteFile(ch, 0, MakeFile("src", std::string(8192, 'q'))), 0);
  EXPECT_EQ(ch.Output().size(), 2u + 9u + 5u + 3u + 8192u);
  // 8193 bytes: blocks 0 (8192 bytes) and 1 (one byte).
  FaultChannel ch2;
  ASSERT_EQ(ProtoWriteFile(ch2, 0, MakeFile("src2", std::string(8193, 'q'))), 0);
  const std::string tail = ch2.Output().substr(2 + 9 + 5 + 3 + 8192);
  EXPECT_EQ(Hex(tail), "18 00 00 00 01 16 00 01 71");
}

TEST_F(ProtoFileTest, HostileBlocksAreRefused) {
  struct Case {
    const char* what;
    std::string bytes;
    int rc;
  } cases[] = {
      {"block past the announced length",
       Bytes()
           .sec8(SPROTO_ID_DELTATYPE, 0)
           .sec64(SPROTO_ID_DELTALEN, 3)
           .sec32(SPROTO_ID_DELTAID, 0)
           .secvar(SPROTO_ID_DELTADATA, "abcdef")
           .str(),
       ERR_PROTO},
      {"empty block",
       Bytes()
           .sec8(SPROTO_ID_DELTATYPE, 0)
           .sec64(SPROTO_ID_DELTALEN, 3)
           .sec32(SPROTO_ID_DELTAID, 0)
           .secvar(SPROTO_ID_DELTADATA, "")
           .str(),
       ERR_PROTO},
      {"block over the block size",
       Bytes()
           .sec8(SPROTO_ID_DELTATYPE, 0)
           .sec64(SPROTO_ID_DELTALEN, 100000)
           .sec32(SPROTO_ID_DELTAID, 0)
           .u8(SPROTO_ID_DELTADATA)
           .u16(8193)
           .raw(std::string(8193, 'x'))
           .str(),
       ERR_PROTO},
      {"huge length, stream ends",
       Bytes().sec8(SPROTO_ID_DELTATYPE, 0).sec64(SPROTO_ID_DELTALEN, ~0ull).str(), ERR_IO},
      {"wrong section", Bytes().sec8(SPROTO_ID_DELTATYPE, 0).sec8(SPROTO_ID_RES, 1).str(),
       ERR_PROTO},
      {"truncated block",
       Bytes()
           .sec8(SPROTO_ID_DELTATYPE, 0)
           .sec64(SPROTO_ID_DELTALEN, 10)
           .sec32(SPROTO_ID_DELTAID, 0)
           .u8(SPROTO_ID_DELTADATA)
           .u16(10)
           .raw("abc")
           .str(),
       ERR_IO},
  };
  for (const auto& c : cases) {
    FaultChannel in;
    in.Feed(c.bytes);
    uint8_t type;
    EXPECT_EQ(ProtoReadFile(in, type, MakeFile("dst", "")), c.rc) << c.what;
    EXPECT_LE(sftest::ReadFile(dir.Sub("dst")).size(), 3u) << c.what;
  }
}

TEST_F(ProtoFileTest, AnnouncedLengthAboveTheCallersBoundIsRefusedBeforeAnyBlock) {
  FaultChannel in;
  in.Feed(Payload(0, "abcdef"));
  uint8_t type;
  EXPECT_EQ(ProtoReadFile(in, type, MakeFile("dst", "kept"), 5), ERR_PROTO);
  EXPECT_EQ(sftest::ReadFile(dir.Sub("dst")), "");
  FaultChannel exact;
  exact.Feed(Payload(0, "abcdef"));
  EXPECT_EQ(ProtoReadFile(exact, type, MakeFile("dst", ""), 6), 0);
  EXPECT_EQ(sftest::ReadFile(dir.Sub("dst")), "abcdef");
}

TEST_F(ProtoFileTest, UnwritableTargetOrSourceIsASystemError) {
  FaultChannel ch;
  ch.Feed(Payload(0, "abc"));
  uint8_t type;
  EXPECT_EQ(ProtoReadFile(ch, type, Utf8ToWideLossy(dir.Sub("no/such/dir/f"))), ERR_SYS);
  EXPECT_EQ(ProtoWriteFile(ch, 0, Utf8ToWideLossy(dir.Sub("missing"))), ERR_SYS);
  EXPECT_EQ(ProtoWriteFile(ch, 0, static_cast<FILE*>(nullptr)), ERR_INVAL);
}

// A channel that changes the source file after the first block went out.
class ResizingChannel : public FaultChannel {
 public:
  ResizingChannel(std::string path, long new_size) : m_path(std::move(path)), m_size(new_size) {}
  int FlushWrite(int want) override {
    int rc = FaultChannel::FlushWrite(want);
    if (!m_done && Output().size() > 8192) {
      m_done = true;
      if (m_size >= 0) {
        EXPECT_EQ(::truncate(m_path.c_str(), m_size), 0);
      } else {
        FILE* f = std::fopen(m_path.c_str(), "ab");
        std::fputs("appended while sending", f);
        std::fclose(f);
      }
    }
    return rc;
  }

 private:
  std::string m_path;
  long m_size;
  bool m_done = false;
};

TEST_F(ProtoFileTest, FileShrinkingWhileSentFailsInsteadOfReportingSuccess) {
  const std::string content = Pattern(3 * 8192);
  MakeFile("src", content);
  ResizingChannel ch(dir.Sub("src"), 10000);
  EXPECT_EQ(ProtoWriteFile(ch, 0, Utf8ToWideLossy(dir.Sub("src"))), ERR_SYS);
}

TEST_F(ProtoFileTest, FileGrowingWhileSentSendsExactlyTheAnnouncedLength) {
  const std::string content = Pattern(2 * 8192 + 5);
  MakeFile("src", content);
  ResizingChannel ch(dir.Sub("src"), -1);
  ASSERT_EQ(ProtoWriteFile(ch, 0, Utf8ToWideLossy(dir.Sub("src"))), 0);
  EXPECT_TRUE(ch.Output() == Payload(0, content));
}

// ---- records ------------------------------------------------------------------------

TEST(ProtoRecordTest, RecordsRoundTripInTheirSectionOrder) {
  FaultChannel ch;
  ASSERT_EQ(ProtoWriteObjectId(ch, ObjectID{7, L"/a"}), 0);
  ASSERT_EQ(ProtoWriteView(ch, View{9, L"Docs"}), 0);
  ASSERT_EQ(ProtoWriteCommonAttributeBlock(ch, CommonAttributeBlock{1234}), 0);
  ObjectMetadata m;
  m.mtime = 5;
  m.size = 6;
  m.hash = L"abc";
  ASSERT_EQ(ProtoWriteObjectMetadata(ch, m), 0);
  ASSERT_EQ(ProtoWriteProtocolVersion(ch, ProtocolVersion{4, 0, 1234}), 0);
  ASSERT_EQ(ch.FlushWrite(0), 0);
  EXPECT_EQ(Hex(ch.Output()), Hex(Bytes()
                                      .sec64(SPROTO_ID_SID, 7)
                                      .secstr(SPROTO_ID_PATH, "/a")
                                      .sec64(SPROTO_ID_VIEW_ID, 9)
                                      .secstr(SPROTO_ID_VIEW_NAME, "Docs")
                                      .sec32(SPROTO_ID_FILETIME, 1234)
                                      .sec64(SPROTO_ID_FILESIZE, 6)
                                      .sec32(SPROTO_ID_FILETIME, 5)
                                      .secstr(SPROTO_ID_FILEHASH, "abc")
                                      .secvar(SPROTO_ID_PROTO_VERSION_2, "4.0.1234")));
  FaultChannel in;
  in.Feed(ch.Output());
  ObjectID id;
  View v;
  CommonAttributeBlock b;
  ObjectMetadata m2;
  ProtocolVersion pv;
  ASSERT_EQ(ProtoReadObjectId(in, id), 0);
  ASSERT_EQ(ProtoReadView(in, v), 0);
  ASSERT_EQ(ProtoReadCommonAttributeBlock(in, b), 0);
  ASSERT_EQ(ProtoReadObjectMetadata(in, m2), 0);
  ASSERT_EQ(ProtoReadProtocolVersion(in, pv), 0);
  EXPECT_EQ(id.sync_id, 7u);
  EXPECT_EQ(id.path, L"/a");
  EXPECT_EQ(v.view_id, 9u);
  EXPECT_EQ(v.name, L"Docs");
  EXPECT_EQ(b.mtime, 1234u);
  EXPECT_EQ(m2.size, 6u);
  EXPECT_EQ(m2.mtime, 5u);
  EXPECT_EQ(m2.hash, L"abc");
  EXPECT_EQ(pv.major, 4u);
  EXPECT_EQ(pv.minor, 0u);
  EXPECT_EQ(pv.build, 1234u);
}

TEST(ProtoRecordTest, FailedRecordReadLeavesTheRecordUntouched) {
  FaultChannel in;
  in.Feed(Bytes().sec64(SPROTO_ID_FILESIZE, 6).sec32(SPROTO_ID_FILETIME, 5));  // hash missing
  ObjectMetadata m;
  m.size = 1;
  m.hash = L"old";
  EXPECT_EQ(ProtoReadObjectMetadata(in, m), ERR_IO);
  EXPECT_EQ(m.size, 1u);
  EXPECT_EQ(m.hash, L"old");
}

TEST(ProtoRecordTest, VersionTextsMustHoldThreeNumbersWithinThirtyTwoBytes) {
  struct Case {
    std::string text;
    int rc;
  } cases[] = {{"3.1", ERR_PROTO},
               {"4.0.1234", 0},
               {"1.2.3-beta", 0},
               {"a.b.c", ERR_PROTO},
               {"1..3", ERR_PROTO},
               {"-1.2.3", ERR_PROTO},
               {"4294967296.0.0", ERR_PROTO},
               {"", ERR_PROTO},
               {"10.20." + std::string(26, '0'), 0},
               {std::string(33, '1'), ERR_PROTO}};
  for (const auto& c : cases) {
    FaultChannel in;
    in.Feed(Bytes().secvar(SPROTO_ID_FILTER_VERSION, c.text));
    FilterVersion v{7, 7, 7};
    EXPECT_EQ(ProtoReadFilterVersion(in, v), c.rc) << c.text;
    if (c.rc == 0) continue;
    EXPECT_EQ(v.major, 7u) << c.text;
  }
}

// ---- name tables ----------------------------------------------------------------------

TEST(ProtoNameTest, TablesCoverTheirRangesAndNothingElse) {
  EXPECT_STREQ(ProtoCmd2String(6), L"SCMD_EVT_PULL");
  EXPECT_STREQ(ProtoCmd2String(20), L"SCMD_REQUEST_SSL");
  EXPECT_STREQ(ProtoCmd2String(0), L"Unknown command");
  EXPECT_STREQ(ProtoCmd2String(21), L"Unknown command");
  EXPECT_EQ(ProtoGetSecAttr(0), nullptr);
  EXPECT_EQ(ProtoGetSecAttr(42), nullptr);
  for (uint8_t id = 1; id <= 41; ++id) {
    const SYNC_SECTION_ATTR_tag* a = ProtoGetSecAttr(id);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->id, id);
    EXPECT_EQ(a->headLen, a->hasLen ? 3 : 1);
    EXPECT_TRUE(a->hasLen ? a->len == 0 : (a->len == 1 || a->len == 4 || a->len == 8));
  }
  EXPECT_STREQ(ProtoGetSecAttr(9)->name, L"SPROTO_ID_SID");
  EXPECT_EQ(ProtoGetSecAttr(SPROTO_ID_FILETIME)->len, 4);
  EXPECT_STREQ(ProtoGetErroString(0), L"Protocol finished successfully");
  EXPECT_STREQ(ProtoGetErroString(4), L"Protocol aborted due to invalid argument");
  EXPECT_STREQ(ProtoGetErroString(5), L"Unknown protocol error");
  EXPECT_STREQ(ProtoGetErroString(-1), L"Unknown protocol error");
}

TEST(ProtoConnectTest, ConnectAndDisconnectWrapTheChannel) {
  ScriptedPeer peer;
  peer.Start();
  Channel ch;
  EXPECT_EQ(ProtoConnect(ch, "127.0.0.1", peer.port()), 0);
  EXPECT_FALSE(ch.IsClosed());
  EXPECT_EQ(ProtoDisconnect(ch), 0);
  EXPECT_TRUE(ch.IsClosed());
  EXPECT_EQ(ProtoConnect(ch, "not an address", 1), -1);
}

}  // namespace
