// The decoder against the documented byte layouts (golden files written by
// hand, shared with the daemon's encoder tests) and against streams no
// daemon would send.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "fakes/scripted-peer.h"
#include "monitor/ui-decoder.h"

using monitor::UiDecoder;
using monitor::UiMessage;

namespace {

// Decodes `bytes` fed in pieces of `chunk` bytes; stops at the first
// malformed message (its reason in `error`).
std::vector<UiMessage> Decode(const std::string& bytes, size_t chunk, std::string* error = nullptr,
                              bool* partial = nullptr) {
  UiDecoder d;
  std::vector<UiMessage> out;
  for (size_t at = 0; at < bytes.size(); at += chunk) {
    d.Feed(bytes.data() + at, std::min(chunk, bytes.size() - at));
    UiMessage m;
    UiDecoder::Result r;
    while ((r = d.Next(m)) == UiDecoder::kMessage) out.push_back(m);
    if (r == UiDecoder::kMalformed) {
      if (error) *error = d.Error();
      return out;
    }
  }
  if (partial) *partial = d.HasPartial();
  return out;
}

TEST(UiDecoderTest, DocumentedMessagesDecodeWhateverPiecesTheyArriveIn) {
  const std::string stream =
      sftest::Golden("ui_session_abc.hex") + sftest::Golden("ui_status_idle.hex") +
      sftest::Golden("ui_error_auth.hex") + sftest::Golden("ui_file_event_create_nonascii.hex") +
      sftest::Golden("ui_terminate.hex");
  for (size_t chunk : {size_t{1}, size_t{2}, size_t{3}, size_t{7}, stream.size()}) {
    SCOPED_TRACE("pieces of " + std::to_string(chunk));
    std::string error;
    bool partial = true;
    const auto msgs = Decode(stream, chunk, &error, &partial);
    EXPECT_EQ(error, "");
    EXPECT_FALSE(partial);
    ASSERT_EQ(msgs.size(), 5u);
    EXPECT_EQ(msgs[0].type, monitor::kMsgSession);
    EXPECT_EQ(msgs[0].text, "abc");
    EXPECT_EQ(msgs[1].type, monitor::kMsgStatus);
    EXPECT_EQ(msgs[1].value, monitor::kStatusIdle);
    EXPECT_EQ(msgs[2].type, monitor::kMsgError);
    EXPECT_EQ(msgs[2].value, -6);
    EXPECT_EQ(msgs[3].type, monitor::kMsgFileEvent);
    EXPECT_EQ(msgs[3].value, monitor::kActionCreate);
    EXPECT_EQ(msgs[3].text, "/\xC3\xA9.txt");
    EXPECT_EQ(msgs[4].type, monitor::kMsgControl);
    EXPECT_EQ(msgs[4].value, monitor::kControlTerminate);
  }
}

TEST(UiDecoderTest, MalformedStreamsStopAtTheFirstBadByteWithTheReason) {
  using sftest::Bytes;
  const std::string ok = Bytes().u8(1).u16(4).u32(11).str();
  struct Case {
    const char* name;
    std::string bytes;
    const char* reason;
  } cases[] = {
      {"unknown type", Bytes().u8(7).u16(4).u32(0).str(), "unknown message type 7 at byte 7"},
      {"status value of 5 bytes", Bytes().u8(1).u16(5).u32(0).u8(0).str(), "value length 5"},
      {"error value of 0 bytes", Bytes().u8(2).u16(0).str(), "value length 0"},
      {"file event with 2 fields", Bytes().u8(3).u8(2).str(), "with 2 fields"},
      {"file event fields out of order", Bytes().u8(3).u8(3).u8(1).u16(4).u32(0).str(),
       "field 0 has id 1"},
      {"action of 2 bytes", Bytes().u8(3).u8(3).u8(0).u16(2).u16(1).str(), "of 2 bytes"},
      {"path above the daemon's bound",
       Bytes().u8(3).u8(3).u8(0).u16(4).u32(1).u8(1).u16(4).u32(0).u8(2).u16(8193).str(),
       "path of 8193 bytes"},
      {"session above the daemon's bound", Bytes().u8(100).u16(0xFFFF).str(),
       "session of 65535 bytes"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string error;
    // A valid message first: the offset in the reason counts from the start.
    const auto msgs = Decode(ok + c.bytes, 1, &error);
    EXPECT_EQ(msgs.size(), 1u);
    EXPECT_NE(error.find(c.reason), std::string::npos) << error;
  }
  // An oversized length is refused from its header, before any of the bytes
  // it announces are waited for.
  std::string error;
  Decode(Bytes().u8(100).u16(9000).str(), 3, &error);
  EXPECT_NE(error, "");
}

TEST(UiDecoderTest, AStreamCutInsideAMessageIsSeenAsCut) {
  const std::string event = sftest::Golden("ui_file_event_create_nonascii.hex");
  for (size_t cut = 1; cut < event.size(); ++cut) {
    bool partial = false;
    std::string error;
    EXPECT_TRUE(Decode(event.substr(0, cut), 1, &error, &partial).empty());
    EXPECT_EQ(error, "");
    EXPECT_TRUE(partial) << "cut at " << cut;
  }
}

TEST(UiDecoderTest, RandomBytesEndInMessagesOrARefusalNeverACrash) {
  std::mt19937 rng(20240501);
  for (int round = 0; round < 3000; ++round) {
    std::string bytes(rng() % 64, '\0');
    for (char& b : bytes) {
      // Mostly plausible type bytes and small lengths, so decoding goes deep.
      const uint32_t r = rng();
      b = static_cast<char>(r % 4 == 0 ? "\x01\x02\x03\x64\x65\x00\x04"[r % 7] : r >> 8);
    }
    std::string error;
    const auto msgs = Decode(bytes, 1 + rng() % 9, &error);
    for (const UiMessage& m : msgs) EXPECT_LE(m.text.size(), monitor::kMaxValueBytes);
  }
}

}  // namespace
