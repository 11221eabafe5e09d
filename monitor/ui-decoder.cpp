#include "monitor/ui-decoder.h"

#include "lib/base/byte-order.h"

namespace monitor {

namespace {

int32_t I32(const std::string& b, size_t at) {
  return static_cast<int32_t>(LoadBe32(&b[at]));
}

}  // namespace

void UiDecoder::Feed(const char* data, size_t n) {
  if (m_failed || n == 0) return;
  // Consumed bytes are dropped before new ones are appended, so the buffer
  // holds at most one partial message and the latest read.
  if (m_pos > 0) {
    m_buf.erase(0, m_pos);
    m_pos = 0;
  }
  m_buf.append(data, n);
}

UiDecoder::Result UiDecoder::Fail(const std::string& why) {
  m_failed = true;
  m_error = why + " at byte " + std::to_string(m_offset);
  return kMalformed;
}

UiDecoder::Result UiDecoder::Next(UiMessage& out) {
  if (m_failed) return kMalformed;
  size_t used = 0;
  Result r = TryParse(out, used);
  if (r == kMessage) {
    m_pos += used;
    m_offset += used;
  }
  return r;
}

UiDecoder::Result UiDecoder::TryParse(UiMessage& out, size_t& used) {
  const std::string& b = m_buf;
  const size_t p = m_pos;
  const size_t avail = b.size() - p;
  if (avail < 1) return kNeedMore;
  UiMessage m;
  m.type = static_cast<uint8_t>(b[p]);
  switch (m.type) {
    case kMsgStatus:
    case kMsgError:
    case kMsgControl: {
      if (avail < 3) return kNeedMore;
      const uint16_t len = LoadBe16(&b[p + 1]);
      if (len != 4)
        return Fail("message type " + std::to_string(m.type) + " with value length " +
                    std::to_string(len) + " (expected 4)");
      if (avail < 7) return kNeedMore;
      m.value = I32(b, p + 3);
      used = 7;
      break;
    }
    case kMsgSession: {
      if (avail < 3) return kNeedMore;
      const uint16_t len = LoadBe16(&b[p + 1]);
      if (len > kMaxValueBytes)
        return Fail("session of " + std::to_string(len) + " bytes (at most " +
                    std::to_string(kMaxValueBytes) + ")");
      if (avail < 3u + len) return kNeedMore;
      m.text.assign(b, p + 3, len);
      used = 3u + len;
      break;
    }
    case kMsgFileEvent: {
      if (avail < 2) return kNeedMore;
      const auto count = static_cast<uint8_t>(b[p + 1]);
      if (count != 3)
        return Fail("file event with " + std::to_string(count) + " fields (expected 3)");
      size_t at = p + 2;
      for (uint8_t f = 0; f < count; ++f) {
        if (b.size() - at < 3) return kNeedMore;
        const auto id = static_cast<uint8_t>(b[at]);
        const uint16_t len = LoadBe16(&b[at + 1]);
        if (id != f)
          return Fail("file event field " + std::to_string(f) + " has id " + std::to_string(id));
        if (id != kFieldPath && len != 4)
          return Fail("file event field " + std::to_string(id) + " of " + std::to_string(len) +
                      " bytes (expected 4)");
        if (id == kFieldPath && len > kMaxValueBytes)
          return Fail("file event path of " + std::to_string(len) + " bytes (at most " +
                      std::to_string(kMaxValueBytes) + ")");
        if (b.size() - at - 3 < len) return kNeedMore;
        if (id == kFieldAction) m.value = I32(b, at + 3);
        if (id == kFieldType) m.file_type = I32(b, at + 3);
        if (id == kFieldPath) m.text.assign(b, at + 3, len);
        at += 3u + len;
      }
      used = at - p;
      break;
    }
    default:
      return Fail("unknown message type " + std::to_string(m.type));
  }
  out = std::move(m);
  return kMessage;
}

std::string StatusName(int32_t status) {
  switch (status) {
    case kStatusSyncing:
      return "syncing";
    case kStatusIdle:
      return "idle";
    case kStatusPause:
      return "paused";
    default:
      return "unknown (" + std::to_string(status) + ")";
  }
}

std::string ActionName(int32_t action) {
  switch (action) {
    case kActionCreate:
      return "created";
    case kActionRemove:
      return "removed";
    case kActionModify:
      return "modified";
    case kActionRename:
      return "renamed";
    case kActionTrash:
      return "trashed";
    default:
      return "action " + std::to_string(action);
  }
}

}  // namespace monitor
