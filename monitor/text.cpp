#include "monitor/text.h"

#include <cstdio>
#include <vector>

#include "lib/base/utility.h"

namespace monitor {

namespace {

struct Range {
  uint32_t lo, hi;
};

bool InRanges(uint32_t cp, const Range* r, size_t n) {
  size_t lo = 0, hi = n;
  while (lo < hi) {
    size_t mid = (lo + hi) / 2;
    if (cp < r[mid].lo)
      hi = mid;
    else if (cp > r[mid].hi)
      lo = mid + 1;
    else
      return true;
  }
  return false;
}

// Sorted. Combining marks and format characters that take no column.
constexpr Range kZeroWidth[] = {
    {0x0300, 0x036F}, {0x0483, 0x0489}, {0x0591, 0x05BD}, {0x05BF, 0x05BF},   {0x05C1, 0x05C2},
    {0x05C4, 0x05C5}, {0x05C7, 0x05C7}, {0x0610, 0x061A}, {0x064B, 0x065F},   {0x0670, 0x0670},
    {0x06D6, 0x06DC}, {0x06DF, 0x06E4}, {0x06E7, 0x06E8}, {0x06EA, 0x06ED},   {0x0900, 0x0902},
    {0x093A, 0x093A}, {0x093C, 0x093C}, {0x0941, 0x0948}, {0x094D, 0x094D},   {0x0951, 0x0957},
    {0x0E31, 0x0E31}, {0x0E34, 0x0E3A}, {0x0E47, 0x0E4E}, {0x1160, 0x11FF},   {0x1AB0, 0x1AFF},
    {0x1DC0, 0x1DFF}, {0x200B, 0x200D}, {0x20D0, 0x20FF}, {0x302A, 0x302D},   {0x3099, 0x309A},
    {0xFE00, 0xFE0F}, {0xFE20, 0xFE2F}, {0xFEFF, 0xFEFF}, {0x1F3FB, 0x1F3FF}, {0xE0100, 0xE01EF},
};

// Sorted. East Asian wide and full-width characters and emoji presentation.
constexpr Range kWide[] = {
    {0x1100, 0x115F},   {0x231A, 0x231B},   {0x2329, 0x232A},   {0x23E9, 0x23EC},
    {0x23F0, 0x23F0},   {0x23F3, 0x23F3},   {0x25FD, 0x25FE},   {0x2614, 0x2615},
    {0x2648, 0x2653},   {0x267F, 0x267F},   {0x2693, 0x2693},   {0x26A1, 0x26A1},
    {0x26AA, 0x26AB},   {0x26BD, 0x26BE},   {0x26C4, 0x26C5},   {0x26CE, 0x26CE},
    {0x26D4, 0x26D4},   {0x26EA, 0x26EA},   {0x26F2, 0x26F3},   {0x26F5, 0x26F5},
    {0x26FA, 0x26FA},   {0x26FD, 0x26FD},   {0x2705, 0x2705},   {0x270A, 0x270B},
    {0x2728, 0x2728},   {0x274C, 0x274C},   {0x274E, 0x274E},   {0x2753, 0x2755},
    {0x2757, 0x2757},   {0x2795, 0x2797},   {0x27B0, 0x27B0},   {0x27BF, 0x27BF},
    {0x2B1B, 0x2B1C},   {0x2B50, 0x2B50},   {0x2B55, 0x2B55},   {0x2E80, 0x3029},
    {0x302E, 0x303E},   {0x3041, 0x3098},   {0x309B, 0x33FF},   {0x3400, 0x4DBF},
    {0x4E00, 0x9FFF},   {0xA000, 0xA4CF},   {0xA960, 0xA97F},   {0xAC00, 0xD7A3},
    {0xF900, 0xFAFF},   {0xFE10, 0xFE19},   {0xFE30, 0xFE6F},   {0xFF00, 0xFF60},
    {0xFFE0, 0xFFE6},   {0x16FE0, 0x16FE4}, {0x17000, 0x18AFF}, {0x1B000, 0x1B2FF},
    {0x1F004, 0x1F004}, {0x1F0CF, 0x1F0CF}, {0x1F18E, 0x1F18E}, {0x1F191, 0x1F19A},
    {0x1F200, 0x1F251}, {0x1F300, 0x1F3FA}, {0x1F400, 0x1F64F}, {0x1F680, 0x1F6FF},
    {0x1F7E0, 0x1F7EB}, {0x1F90C, 0x1F9FF}, {0x1FA70, 0x1FAFF}, {0x20000, 0x2FFFD},
    {0x30000, 0x3FFFD},
};

constexpr char kEllipsis[] = "\xE2\x80\xA6";  // U+2026, one column

// Screen text as (bytes, width) units: a base character together with the
// combining marks that follow it, so a cut never separates them.
struct Unit {
  std::string bytes;
  int width;
};

std::vector<Unit> Units(const std::string& s) {
  std::vector<Unit> units;
  size_t i = 0;
  while (i < s.size()) {
    const size_t start = i;
    uint32_t cp = 0;
    if (!NextCodePoint(s, i, cp)) cp = 0xFFFD;
    const int w = IsUnsafe(cp) ? 1 : CharWidth(cp);
    if (w == 0 && !units.empty()) {
      units.back().bytes.append(s, start, i - start);
    } else {
      units.push_back(Unit{s.substr(start, i - start), w});
    }
  }
  return units;
}

void AppendEscapedByte(std::string& out, unsigned char b) {
  char buf[8];
  std::snprintf(buf, sizeof(buf), "\\x%02x", b);
  out += buf;
}

}  // namespace

bool NextCodePoint(const std::string& s, size_t& i, uint32_t& cp) {
  const long c = DecodeUtf8(s, i);
  if (c < 0) {
    ++i;
    return false;
  }
  cp = static_cast<uint32_t>(c);
  return true;
}

bool IsUnsafe(uint32_t cp) {
  return cp < 0x20 || (cp >= 0x7F && cp < 0xA0) || cp == 0x2028 || cp == 0x2029 ||
         (cp >= 0x200E && cp <= 0x200F) || (cp >= 0x202A && cp <= 0x202E) ||
         (cp >= 0x2066 && cp <= 0x2069) || cp == 0x061C;
}

int CharWidth(uint32_t cp) {
  if (InRanges(cp, kZeroWidth, sizeof(kZeroWidth) / sizeof(kZeroWidth[0]))) return 0;
  if (InRanges(cp, kWide, sizeof(kWide) / sizeof(kWide[0]))) return 2;
  return 1;
}

std::string ForScreen(const std::string& raw) {
  std::string out;
  out.reserve(raw.size());
  size_t i = 0;
  while (i < raw.size()) {
    uint32_t cp = 0;
    if (!NextCodePoint(raw, i, cp)) cp = 0xFFFD;
    if (IsUnsafe(cp)) cp = '?';
    AppendUtf8(out, cp);
  }
  return out;
}

std::string MaskSession(const std::string& raw) {
  if (raw.empty()) return raw;
  size_t count = 0;
  uint32_t cp;
  for (size_t i = 0; i < raw.size(); ++count) (void)NextCodePoint(raw, i, cp);
  const size_t keep = count >= 16 ? 4 : count >= 8 ? 2 : 0;
  size_t end = 0;
  for (size_t k = 0; k < keep; ++k) (void)NextCodePoint(raw, end, cp);
  return raw.substr(0, end) + "***";
}

std::string ForLog(const std::string& raw) {
  std::string out;
  out.reserve(raw.size());
  size_t i = 0;
  while (i < raw.size()) {
    const size_t start = i;
    uint32_t cp = 0;
    if (!NextCodePoint(raw, i, cp) || cp < 0x20 || cp == 0x7F) {
      AppendEscapedByte(out, static_cast<unsigned char>(raw[start]));
      i = start + 1;
    } else if (IsUnsafe(cp)) {
      char buf[16];
      std::snprintf(buf, sizeof(buf), "\\u{%04X}", cp);
      out += buf;
    } else {
      out.append(raw, start, i - start);
    }
  }
  return out;
}

std::string JsonString(const std::string& raw) {
  std::string out = "\"";
  size_t i = 0;
  while (i < raw.size()) {
    uint32_t cp = 0;
    if (!NextCodePoint(raw, i, cp)) cp = 0xFFFD;
    switch (cp) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (cp < 0x20 || cp == 0x7F || cp == 0x2028 || cp == 0x2029) {
          char buf[8];
          std::snprintf(buf, sizeof(buf), "\\u%04x", cp);
          out += buf;
        } else {
          AppendUtf8(out, cp);
        }
    }
  }
  out += "\"";
  return out;
}

int DisplayWidth(const std::string& screen_text) {
  int w = 0;
  for (const Unit& u : Units(screen_text)) w += u.width;
  return w;
}

std::string FitRight(const std::string& screen_text, int width) {
  if (width <= 0) return std::string();
  if (DisplayWidth(screen_text) <= width) return screen_text;
  std::string out;
  int used = 0;
  for (const Unit& u : Units(screen_text)) {
    if (used + u.width > width - 1) break;
    out += u.bytes;
    used += u.width;
  }
  return out + kEllipsis;
}

std::string ShortenMiddle(const std::string& screen_text, int width) {
  if (width <= 0) return std::string();
  const std::vector<Unit> units = Units(screen_text);
  int total = 0;
  for (const Unit& u : units) total += u.width;
  if (total <= width) return screen_text;
  if (width == 1) return kEllipsis;
  // The tail (the file name) gets the larger share.
  const int room = width - 1;
  const int head_room = room / 2;
  const int tail_room = room - head_room;
  std::string head;
  int used = 0;
  size_t h = 0;
  for (; h < units.size() && used + units[h].width <= head_room; ++h) {
    head += units[h].bytes;
    used += units[h].width;
  }
  std::string tail;
  used = 0;
  size_t t = units.size();
  while (t > h && used + units[t - 1].width <= tail_room) {
    --t;
    used += units[t].width;
  }
  for (size_t k = t; k < units.size(); ++k) tail += units[k].bytes;
  return head + kEllipsis + tail;
}

std::string PadRight(const std::string& screen_text, int width) {
  const int w = DisplayWidth(screen_text);
  return w >= width ? screen_text : screen_text + std::string(static_cast<size_t>(width - w), ' ');
}

}  // namespace monitor
