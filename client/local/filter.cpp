#include "client/local/filter.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "lib/base/handles.h"
#include "lib/base/log.h"

namespace {

constexpr wchar_t kLogComponent[] = L"black_list_debug";

// ---- Schema ----------------------------------------------------------------

const filter_key_schema kVersionKeys[] = {
    {"major", FILTER_VALUE_INT32, [](filter& f) -> filter_field { return &f.version.major; }},
    {"minor", FILTER_VALUE_INT32, [](filter& f) -> filter_field { return &f.version.minor; }},
};
const filter_key_schema kCommonKeys[] = {
    {"black_char", FILTER_VALUE_STRING,
     [](filter& f) -> filter_field { return &f.common.black_char; }},
    {"black_prefix", FILTER_VALUE_STRING_SET,
     [](filter& f) -> filter_field { return &f.common.black_prefix; }},
    {"max_length", FILTER_VALUE_INT64,
     [](filter& f) -> filter_field { return &f.common.max_length; }},
    {"max_path", FILTER_VALUE_INT64, [](filter& f) -> filter_field { return &f.common.max_path; }},
};
const filter_key_schema kFileKeys[] = {
    {"black_char", FILTER_VALUE_STRING,
     [](filter& f) -> filter_field { return &f.file.black_char; }},
    {"black_ext", FILTER_VALUE_STRING_SET,
     [](filter& f) -> filter_field { return &f.file.black_ext; }},
    {"black_name", FILTER_VALUE_STRING_SET,
     [](filter& f) -> filter_field { return &f.file.black_name; }},
    {"black_prefix", FILTER_VALUE_STRING_SET,
     [](filter& f) -> filter_field { return &f.file.black_prefix; }},
    {"max_size", FILTER_VALUE_INT64, [](filter& f) -> filter_field { return &f.file.max_size; }},
};
const filter_key_schema kDirectoryKeys[] = {
    {"black_char", FILTER_VALUE_STRING,
     [](filter& f) -> filter_field { return &f.directory.black_char; }},
    {"black_name", FILTER_VALUE_STRING_SET,
     [](filter& f) -> filter_field { return &f.directory.black_name; }},
    {"black_prefix", FILTER_VALUE_STRING_SET,
     [](filter& f) -> filter_field { return &f.directory.black_prefix; }},
};
const filter_key_schema kEaKeys[] = {
    {"black_ea_name", FILTER_VALUE_STRING_SET,
     [](filter& f) -> filter_field { return &f.ea.black_ea_name; }},
};

template <size_t N>
constexpr filter_section_schema Section(const char* name, const filter_key_schema (&keys)[N]) {
  return {name, keys, N};
}

const filter_section_schema kSections[] = {
    Section("Version", kVersionKeys), Section("Common", kCommonKeys),
    Section("File", kFileKeys),       Section("Directory", kDirectoryKeys),
    Section("EA", kEaKeys),
};

const filter_parser_schema kSchema = {kSections, sizeof(kSections) / sizeof(kSections[0])};

const char* const kErrorNames[] = {
    "NO_ERROR",
    "SECTION_MISSING_LEFT_BRACKET",
    "SECTION_MISSING_RIGHT_BRACKET",
    "SECTION_MISSING_SECTION",
    "SECTION_ILLEGAL_CHARACTER",
    "SECTION_TOO_LONG",
    "SECTION_UNDEFINED_SECTION",
    "KEY_MISSING_KEY",
    "KEY_ILLEGAL_CHARACTER",
    "KEY_TOO_LONG",
    "KEY_UNDEFINED_KEY",
    "VALUE_NUMERIC_MISSING_INTEGER_PART",
    "VALUE_NUMERIC_MISSING_FRACTIONAL_PART",
    "VALUE_NUMERIC_MISSING_VALUE",
    "VALUE_NUMERIC_ILLEGAL_SYNTAX",
    "VALUE_STRING_MISSING_LEFT_QUOTE",
    "VALUE_STRING_MISSING_RIGHT_QUOTE",
    "VALUE_STRING_ESCAPE_ILLEGAL_SEQUENCE",
    "VALUE_STRING_ESCAPE_ILLEGAL_HEX_VALUE",
    "VALUE_STRING_ESCAPE_ILLEGAL_OCT_VALUE",
    "VALUE_STRING_ILLEGAL_CHARACTER",
    "VALUE_STRING_EMPTY",
    "VALUE_SET_MISSING_SEPARATER",
    "VALUE_TOO_LONG",
    "LINE_NOT_ENDED",
    "LINE_NOT_EXPECTED",
    "INTERNAL_ERROR",
};

// ---- Lexical helpers -------------------------------------------------------

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == '\r';
}
bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}
bool IsOctal(char c) {
  return c >= '0' && c <= '7';
}
bool IsNameChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || IsDigit(c) || c == '-' || c == '_';
}
int HexValue(char c) {
  if (IsDigit(c)) return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// One line (or one 1024-byte piece of a longer line) and a read position.
// The newline, when present, is not part of [p, end).
struct Cursor {
  const char* p;
  const char* end;
  bool AtEnd() const { return p == end; }
  void SkipBlank() {
    while (p < end && IsBlank(*p)) ++p;
  }
  // End of the line or the start of a comment.
  bool AtLineEnd() const { return p == end || *p == '#'; }
};

class Parser {
 public:
  explicit Parser(filter& f) : m_filter(f) {}

  // Returns 0 or a parser error code.
  int Line(Cursor c) {
    c.SkipBlank();
    if (c.AtLineEnd()) return PARSER_NO_ERROR;
    switch (m_state) {
      case kStart:
        if (*c.p != '[') return PARSER_LINE_NOT_EXPECTED;
        return Header(c);
      case kContinue:
        if (*c.p != '"') return PARSER_LINE_NOT_EXPECTED;
        return SetValues(c, *m_cont_set);
      case kReady:
        if (*c.p == '[') return Header(c);
        if (IsNameChar(*c.p)) return Rule(c);
        if (*c.p == '=') return PARSER_KEY_MISSING_KEY;
        if (*c.p == '"') return PARSER_LINE_NOT_EXPECTED;
        return PARSER_KEY_ILLEGAL_CHARACTER;
    }
    return PARSER_INTERNAL_ERROR;
  }

  // Called after the last line: a set may not end with a dangling ",".
  int Finish() const {
    return m_state == kContinue ? PARSER_VALUE_STRING_MISSING_LEFT_QUOTE : PARSER_NO_ERROR;
  }

  int unknown_keys() const { return m_unknown; }
  void set_report_unknown(bool on) { m_report_unknown = on; }

 private:
  enum State { kStart, kReady, kContinue };

  int Header(Cursor& c) {
    ++c.p;  // '['
    const char* name = c.p;
    while (c.p < c.end && IsNameChar(*c.p)) ++c.p;
    const size_t n = static_cast<size_t>(c.p - name);
    if (n > kFilterNameMax) return PARSER_SECTION_TOO_LONG;
    if (c.AtEnd() || *c.p == ']') {
      if (n == 0) return PARSER_SECTION_MISSING_SECTION;
      if (c.AtEnd()) return PARSER_SECTION_MISSING_RIGHT_BRACKET;
    } else {
      // Something that is not a name character: inside the brackets it is
      // illegal, and with no closing bracket at all the bracket is missing.
      return std::memchr(c.p, ']', static_cast<size_t>(c.end - c.p))
                 ? PARSER_SECTION_ILLEGAL_CHARACTER
                 : PARSER_SECTION_MISSING_RIGHT_BRACKET;
    }
    ++c.p;  // ']'
    c.SkipBlank();
    if (!c.AtLineEnd()) return PARSER_LINE_NOT_ENDED;
    const filter_section_schema* s = search_section_schema(kSchema, std::string(name, n));
    if (!s) return PARSER_SECTION_UNDEFINED_SECTION;
    m_section = s;
    m_state = kReady;
    return PARSER_NO_ERROR;
  }

  int Rule(Cursor& c) {
    const char* name = c.p;
    while (c.p < c.end && IsNameChar(*c.p)) ++c.p;
    const size_t n = static_cast<size_t>(c.p - name);
    if (n > kFilterNameMax) return PARSER_KEY_TOO_LONG;
    c.SkipBlank();
    if (c.AtEnd() || *c.p != '=') return PARSER_KEY_ILLEGAL_CHARACTER;
    ++c.p;
    const std::string key(name, n);
    const filter_key_schema* k = search_key_schema(*m_section, key);
    if (!k) {
      // A newer minor version may add keys; the caller decides whether that
      // is acceptable, so the value is not examined.
      if (m_report_unknown) std::printf("warning: unknown key (%s)\n", key.c_str());
      ++m_unknown;
      m_state = kReady;
      return PARSER_NO_ERROR;
    }
    c.SkipBlank();
    const filter_field field = k->locate(m_filter);
    switch (k->type) {
      case FILTER_VALUE_INT32: {
        int64_t v = 0;
        int rc = Number(c, INT32_MIN, INT32_MAX, v);
        if (rc) return rc;
        if (!c.AtLineEnd()) return PARSER_LINE_NOT_ENDED;
        *std::get<int32_t*>(field) = static_cast<int32_t>(v);
        break;
      }
      case FILTER_VALUE_INT64: {
        int64_t v = 0;
        int rc = Number(c, INT64_MIN, INT64_MAX, v);
        if (rc) return rc;
        if (!c.AtLineEnd()) return PARSER_LINE_NOT_ENDED;
        *std::get<int64_t*>(field) = v;
        break;
      }
      case FILTER_VALUE_STRING: {
        std::string s;
        int rc = Quoted(c, s);
        if (rc) return rc;
        c.SkipBlank();
        if (!c.AtLineEnd()) return PARSER_LINE_NOT_ENDED;
        *std::get<filter_string*>(field) = std::move(s);
        break;
      }
      case FILTER_VALUE_STRING_SET:
        return SetValues(c, *std::get<filter_string_set*>(field));
    }
    m_state = kReady;
    return PARSER_NO_ERROR;
  }

  // "+" or "-", then "0" or a digit run not starting with "0", then an
  // optional fraction that is accepted and dropped. A value outside the
  // field's range is refused rather than wrapped.
  static int Number(Cursor& c, int64_t min, int64_t max, int64_t& out) {
    const char* start = c.p;
    if (c.AtLineEnd()) return PARSER_VALUE_NUMERIC_MISSING_VALUE;
    bool neg = false, sign = false;
    if (*c.p == '+' || *c.p == '-') {
      sign = true;
      neg = *c.p == '-';
      ++c.p;
    }
    if (c.AtEnd() || !IsDigit(*c.p)) {
      return (sign || *c.p == '.') ? PARSER_VALUE_NUMERIC_MISSING_INTEGER_PART
                                   : PARSER_VALUE_NUMERIC_ILLEGAL_SYNTAX;
    }
    const uint64_t limit = neg ? static_cast<uint64_t>(-(min + 1)) + 1 : static_cast<uint64_t>(max);
    uint64_t mag = 0;
    bool overflow = false;
    if (*c.p == '0') {
      ++c.p;
      if (!c.AtEnd() && IsDigit(*c.p)) return PARSER_VALUE_NUMERIC_ILLEGAL_SYNTAX;
    } else {
      while (!c.AtEnd() && IsDigit(*c.p)) {
        const uint64_t d = static_cast<uint64_t>(*c.p - '0');
        if (!overflow && mag > (limit - d) / 10) overflow = true;
        if (!overflow) mag = mag * 10 + d;
        ++c.p;
      }
    }
    if (!c.AtEnd() && *c.p == '.') {
      ++c.p;
      if (c.AtEnd() || !IsDigit(*c.p)) return PARSER_VALUE_NUMERIC_MISSING_FRACTIONAL_PART;
      while (!c.AtEnd() && IsDigit(*c.p)) ++c.p;
    }
    if (static_cast<size_t>(c.p - start) > kFilterValueMax) return PARSER_VALUE_TOO_LONG;
    if (!c.AtEnd() && !IsBlank(*c.p) && *c.p != '#') return PARSER_VALUE_NUMERIC_ILLEGAL_SYNTAX;
    if (overflow) return PARSER_VALUE_TOO_LONG;
    c.SkipBlank();
    out = neg ? static_cast<int64_t>(0 - mag) : static_cast<int64_t>(mag);
    return PARSER_NO_ERROR;
  }

  // One double-quoted string with C escapes. A zero byte cannot be stored in
  // the record's strings, so an escape that yields one is refused.
  static int Quoted(Cursor& c, std::string& out) {
    if (c.AtEnd() || *c.p != '"') return PARSER_VALUE_STRING_MISSING_LEFT_QUOTE;
    ++c.p;
    for (;;) {
      if (c.AtEnd()) return PARSER_VALUE_STRING_MISSING_RIGHT_QUOTE;
      const char ch = *c.p++;
      if (ch == '"') break;
      const unsigned char u = static_cast<unsigned char>(ch);
      if (ch != '\\') {
        if (u < 0x20 || u == 0x7f) return PARSER_VALUE_STRING_ILLEGAL_CHARACTER;
        out += ch;
      } else {
        if (c.AtEnd()) return PARSER_VALUE_STRING_ESCAPE_ILLEGAL_SEQUENCE;
        const char e = *c.p++;
        switch (e) {
          case 'a':
            out += '\a';
            break;
          case 'b':
            out += '\b';
            break;
          case 'f':
            out += '\f';
            break;
          case 'n':
            out += '\n';
            break;
          case 'r':
            out += '\r';
            break;
          case 't':
            out += '\t';
            break;
          case 'v':
            out += '\v';
            break;
          case '\'':
          case '"':
          case '\\':
          case '?':
            out += e;
            break;
          case 'x': {
            if (c.end - c.p < 2) return PARSER_VALUE_STRING_ESCAPE_ILLEGAL_HEX_VALUE;
            const int hi = HexValue(c.p[0]), lo = HexValue(c.p[1]);
            if (hi < 0 || lo < 0 || (hi | lo) == 0)
              return PARSER_VALUE_STRING_ESCAPE_ILLEGAL_HEX_VALUE;
            out += static_cast<char>(hi * 16 + lo);
            c.p += 2;
            break;
          }
          default:
            if (!IsOctal(e)) return PARSER_VALUE_STRING_ILLEGAL_CHARACTER;
            if (e > '3' || c.end - c.p < 2 || !IsOctal(c.p[0]) || !IsOctal(c.p[1]))
              return PARSER_VALUE_STRING_ESCAPE_ILLEGAL_OCT_VALUE;
            {
              const int v = (e - '0') * 64 + (c.p[0] - '0') * 8 + (c.p[1] - '0');
              if (v == 0) return PARSER_VALUE_STRING_ESCAPE_ILLEGAL_OCT_VALUE;
              out += static_cast<char>(v);
            }
            c.p += 2;
            break;
        }
      }
      if (out.size() > kFilterValueMax) return PARSER_VALUE_TOO_LONG;
    }
    if (out.empty()) return PARSER_VALUE_STRING_EMPTY;
    return PARSER_NO_ERROR;
  }

  int SetValues(Cursor& c, filter_string_set& set) {
    for (;;) {
      std::string s;
      int rc = Quoted(c, s);
      if (rc) return rc;
      set.push_back(std::move(s));
      c.SkipBlank();
      if (c.AtLineEnd()) {
        m_state = kReady;
        return PARSER_NO_ERROR;
      }
      if (*c.p == '"') return PARSER_VALUE_SET_MISSING_SEPARATER;
      if (*c.p != ',') return PARSER_LINE_NOT_ENDED;
      ++c.p;
      c.SkipBlank();
      if (c.AtLineEnd()) {
        m_state = kContinue;
        m_cont_set = &set;
        return PARSER_NO_ERROR;
      }
    }
  }

  filter& m_filter;
  const filter_section_schema* m_section = nullptr;
  State m_state = kStart;
  filter_string_set* m_cont_set = nullptr;
  int m_unknown = 0;
  bool m_report_unknown = true;
};

// Feeds pieces of at most kFilterLineChunk bytes (without their newline) to
// the parser. `next` fills a piece and returns false at the end of input.
template <typename NextPiece>
filter_parse_result RunParser(filter& f, bool report, NextPiece next) {
  filter_parse_result r;
  Parser parser(f);
  parser.set_report_unknown(report);
  std::string piece;
  int line = 0;
  int rc = PARSER_NO_ERROR;
  try {
    while (rc == PARSER_NO_ERROR && next(piece)) {
      ++line;
      rc = parser.Line(Cursor{piece.data(), piece.data() + piece.size()});
    }
    if (rc == PARSER_NO_ERROR) {
      rc = parser.Finish();
      if (rc) ++line;  // the line that should have continued the set
    }
  } catch (const std::bad_alloc&) {
    rc = PARSER_INTERNAL_ERROR;
  }
  r.unknown_keys = parser.unknown_keys();
  if (rc != PARSER_NO_ERROR) {
    r.status = 2;
    r.error = rc;
    r.line = line;
  } else {
    r.status = r.unknown_keys ? 1 : 0;
  }
  return r;
}

// ---- Matching --------------------------------------------------------------

char AsciiLower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}
bool EqualsNoCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  return true;
}
bool StartsWithNoCase(const std::string& text, const std::string& prefix) {
  return text.size() >= prefix.size() && EqualsNoCase(text.substr(0, prefix.size()), prefix);
}
// Length of the UTF-8 character starting at s[i], or 1 when the bytes there
// do not form one.
size_t Utf8CharLength(const std::string& s, size_t i) {
  const unsigned char c = static_cast<unsigned char>(s[i]);
  const size_t n = c < 0x80           ? 1
                   : (c >> 5) == 0x6  ? 2
                   : (c >> 4) == 0xe  ? 3
                   : (c >> 3) == 0x1e ? 4
                                      : 1;
  if (i + n > s.size()) return 1;
  for (size_t k = 1; k < n; ++k)
    if ((static_cast<unsigned char>(s[i + k]) & 0xc0) != 0x80) return 1;
  return n;
}

// Whether `text` holds any character of `chars`. A character outside ASCII
// is matched as its whole UTF-8 sequence: comparing single bytes would make
// one forbidden character refuse every name holding another character that
// merely shares a byte with it. Bytes that form no character count alone.
bool ContainsAnyOf(const std::string& text, const filter_string& chars) {
  if (!chars) return false;
  const std::string& set = *chars;
  for (size_t i = 0; i < set.size();) {
    const size_t n = Utf8CharLength(set, i);
    if (text.find(set.data() + i, 0, n) != std::string::npos) return true;
    i += n;
  }
  return false;
}
bool AnyEqual(const std::string& text, const filter_string_set& set) {
  for (const auto& s : set)
    if (EqualsNoCase(text, s)) return true;
  return false;
}
bool AnyPrefix(const std::string& text, const filter_string_set& set) {
  for (const auto& s : set)
    if (StartsWithNoCase(text, s)) return true;
  return false;
}
// Limits are compared unsigned, like the size limits: a negative value
// stands for a huge one rather than refusing every name.
bool TooLong(const std::string& text, int64_t max) {
  return max != 0 && static_cast<uint64_t>(text.size()) > static_cast<uint64_t>(max);
}

int TestDirectoryComponents(const filter& f, const std::string& path) {
  size_t pos = 0;
  while (pos < path.size()) {
    size_t slash = path.find('/', pos);
    if (slash == std::string::npos) slash = path.size();
    const std::string comp = path.substr(pos, slash - pos);
    pos = slash + 1;
    if (comp.empty()) continue;
    if (ContainsAnyOf(comp, f.common.black_char)) return FILTER_BLACK_CHAR;
    if (AnyPrefix(comp, f.common.black_prefix)) return FILTER_BLACK_PREFIX;
    if (TooLong(comp, f.common.max_length)) return FILTER_TOO_LONG;
    if (ContainsAnyOf(comp, f.directory.black_char)) return FILTER_BLACK_CHAR;
    if (AnyEqual(comp, f.directory.black_name)) return FILTER_BLACK_NAME;
    if (AnyPrefix(comp, f.directory.black_prefix)) return FILTER_BLACK_PREFIX;
  }
  return FILTER_PASS;
}

// ---- Printing --------------------------------------------------------------

std::string Escape(const std::string& s) {
  std::string out;
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c >= 0x20 && c < 0x7f) {
      out += static_cast<char>(c);
    } else {
      char buf[5];
      std::snprintf(buf, sizeof buf, "\\x%02x", c);
      out += buf;
    }
  }
  return out;
}

void PrintString(FILE* out, const char* name, const filter_string& s) {
  if (s) std::fprintf(out, "%s = \"%s\"\n", name, Escape(*s).c_str());
}

// Long sets are wrapped with a trailing "," so that no line exceeds the
// reader's piece length.
void PrintSet(FILE* out, const char* name, const filter_string_set& set) {
  if (set.empty()) return;
  std::string line = std::string(name) + " = ";
  for (size_t i = 0; i < set.size(); ++i) {
    const std::string item = "\"" + Escape(set[i]) + "\"";
    if (i > 0) {
      if (line.size() + 2 + item.size() + 1 > kFilterLineChunk - 24) {
        std::fprintf(out, "%s,\n", line.c_str());
        line = "    ";
      } else {
        line += ", ";
      }
    }
    line += item;
  }
  std::fprintf(out, "%s\n", line.c_str());
}

}  // namespace

void filter_destroy(filter& f) {
  f = filter();
}

const filter_parser_schema& get_parser_schema() {
  return kSchema;
}

const filter_section_schema* search_section_schema(const filter_parser_schema& schema,
                                                   const std::string& name) {
  for (size_t i = 0; i < schema.section_count; ++i)
    if (name == schema.sections[i].name) return &schema.sections[i];
  return nullptr;
}

const filter_key_schema* search_key_schema(const filter_section_schema& section,
                                           const std::string& name) {
  for (size_t i = 0; i < section.key_count; ++i)
    if (name == section.keys[i].name) return &section.keys[i];
  return nullptr;
}

const char* get_parser_error_string(int code) {
  if (code > 0 || code < PARSER_INTERNAL_ERROR) return "Unknown error";
  return kErrorNames[-code];
}

filter_parse_result filter_parse_text(filter& f, const std::string& text) {
  size_t pos = 0;
  return RunParser(f, false, [&](std::string& piece) {
    if (pos >= text.size()) return false;
    size_t nl = text.find('\n', pos);
    size_t len = (nl == std::string::npos ? text.size() : nl) - pos;
    if (len > kFilterLineChunk) len = kFilterLineChunk;
    piece.assign(text, pos, len);
    pos += len;
    if (pos < text.size() && text[pos] == '\n') ++pos;
    return true;
  });
}

filter_parse_result filter_parse(filter& f, const std::string& path) {
  FilePtr fp(std::fopen(path.c_str(), "r"));
  if (!fp) {
    const int err = errno;
    SF_LOG(L_ERR, L"[ERROR] black-list(%d): cannot open filter file '%s': %s\n", path,
           std::strerror(err));
    filter_parse_result r;
    r.status = 2;
    return r;
  }
  FILE* in = fp.get();
  filter_parse_result r = RunParser(f, true, [in](std::string& piece) {
    piece.clear();
    int ch = std::getc(in);
    if (ch == EOF) return false;
    while (ch != EOF && ch != '\n') {
      piece += static_cast<char>(ch);
      if (piece.size() == kFilterLineChunk) {
        // A newline right after a full piece still belongs to it.
        ch = std::getc(in);
        if (ch != '\n' && ch != EOF) std::ungetc(ch, in);
        return true;
      }
      ch = std::getc(in);
    }
    return true;
  });
  // A read error looks like the end of the file to getc: without this a
  // directory, or a file cut short by an I/O error, would load as a filter
  // with fewer rules (or none) instead of failing.
  if (std::ferror(in) && r.status != 2) {
    const int err = errno;
    SF_LOG(L_ERR, L"[ERROR] black-list(%d): cannot read filter file '%s': %s\n", path,
           std::strerror(err));
    filter_destroy(f);
    filter_parse_result failed;
    failed.status = 2;
    return failed;
  }
  if (r.status == 2) {
    const char* name = get_parser_error_string(r.error);
    std::fprintf(stderr, "parser: %s at line %d\n", name, r.line);
    SF_LOG(L_ERR, L"[ERROR] black-list(%d): parser: %s at line %d in '%s'\n", name, r.line, path);
  }
  return r;
}

int filter_read(filter& f, const std::string& path) {
  filter_destroy(f);
  const filter_parse_result r = filter_parse(f, path);
  if (r.status == 0) return 0;
  if (r.status == 1 && f.version.major == 1 && f.version.minor > 0) return 0;
  if (r.status == 1) {
    SF_LOG(L_ERR,
           L"[ERROR] black-list(%d): filter '%s' has %d unknown key(s) but declares version "
           L"%d.%d\n",
           path, r.unknown_keys, f.version.major, f.version.minor);
  }
  filter_destroy(f);
  return -1;
}

void filter_print(const filter& f, FILE* out) {
  std::fprintf(out, "[Version]\n");
  std::fprintf(out, "major = %d\n", f.version.major);
  std::fprintf(out, "minor = %d\n", f.version.minor);
  std::fprintf(out, "\n[Common]\n");
  PrintString(out, "black_char", f.common.black_char);
  PrintSet(out, "black_prefix", f.common.black_prefix);
  // Signed, so that every stored value reads back.
  std::fprintf(out, "max_length = %lld\n", static_cast<long long>(f.common.max_length));
  std::fprintf(out, "max_path = %lld\n", static_cast<long long>(f.common.max_path));
  std::fprintf(out, "\n[File]\n");
  PrintString(out, "black_char", f.file.black_char);
  PrintSet(out, "black_ext", f.file.black_ext);
  PrintSet(out, "black_name", f.file.black_name);
  PrintSet(out, "black_prefix", f.file.black_prefix);
  std::fprintf(out, "%s = %lld\n", "max_size", static_cast<long long>(f.file.max_size));
  std::fprintf(out, "\n[Directory]\n");
  PrintString(out, "black_char", f.directory.black_char);
  PrintSet(out, "black_name", f.directory.black_name);
  PrintSet(out, "black_prefix", f.directory.black_prefix);
  std::fprintf(out, "\n[EA]\n");
  PrintSet(out, "black_ea_name", f.ea.black_ea_name);
  std::fprintf(out, "\n");
}

int filter_write(const filter& f, const std::string& path) {
  // The reader cuts lines into pieces of kFilterLineChunk, so a string whose
  // escaped form makes a longer line would read back as something else.
  // Refuse it rather than write a file that does not mean what `f` means.
  char* text = nullptr;
  size_t len = 0;
  FILE* mem = ::open_memstream(&text, &len);
  if (mem == nullptr) return -1;
  filter_print(f, mem);
  std::fclose(mem);
  const std::string printed(text, len);
  std::free(text);
  for (size_t start = 0; start < printed.size();) {
    size_t end = printed.find('\n', start);
    if (end == std::string::npos) end = printed.size();
    if (end - start >= kFilterLineChunk) {
      SF_LOG(L_ERR,
             L"[ERROR] black-list(%d): cannot write filter file '%s': a value is too long to be "
             L"read back\n",
             path);
      return -1;
    }
    start = end + 1;
  }
  FILE* out = std::fopen(path.c_str(), "w");
  if (!out) {
    const int err = errno;
    SF_LOG(L_ERR, L"[ERROR] black-list(%d): cannot create filter file '%s': %s\n", path,
           std::strerror(err));
    return -1;
  }
  const bool short_write = std::fwrite(printed.data(), 1, printed.size(), out) != printed.size();
  const bool failed = std::ferror(out) != 0 || short_write;
  if (std::fclose(out) != 0 || failed) {
    SF_LOG(L_ERR, L"[ERROR] black-list(%d): cannot write filter file '%s'\n", path);
    return -1;
  }
  return 0;
}

int filter_test_path(const filter& f, int is_directory, const std::string& path) {
  if (is_directory) {
    if (path.size() > kFilterDirPartMax) return FILTER_INVALID_PATH;
    return TestDirectoryComponents(f, path);
  }
  if (path.empty() || path[0] != '/') return FILTER_INVALID_PATH;
  const size_t slash = path.rfind('/');
  const std::string dir = path.substr(0, slash + 1);
  const std::string name = path.substr(slash + 1);
  if (dir.size() > kFilterDirPartMax || name.size() > kFilterFileNameMax || name.empty())
    return FILTER_INVALID_PATH;
  const size_t dot = name.rfind('.');
  const bool has_ext = dot != std::string::npos && dot != 0;
  const std::string ext = has_ext ? name.substr(dot + 1) : std::string();

  if (TooLong(name, f.common.max_length)) return FILTER_TOO_LONG;
  if (ContainsAnyOf(name, f.common.black_char)) return FILTER_BLACK_CHAR;
  if (AnyPrefix(name, f.common.black_prefix)) return FILTER_BLACK_PREFIX;
  if (ContainsAnyOf(name, f.file.black_char)) return FILTER_BLACK_CHAR;
  if (has_ext && AnyEqual(ext, f.file.black_ext)) return FILTER_BLACK_EXT;
  if (AnyEqual(name, f.file.black_name)) return FILTER_BLACK_NAME;
  if (AnyPrefix(name, f.file.black_prefix)) return FILTER_BLACK_PREFIX;
  return TestDirectoryComponents(f, dir);
}

int filter_test_file_size(const filter& f, uint64_t size) {
  if (f.file.max_size != 0 && size > static_cast<uint64_t>(f.file.max_size))
    return FILTER_FILE_TOO_LARGE;
  return FILTER_PASS;
}

int filter_test_full_path_size(const filter& f, uint64_t length) {
  if (f.common.max_path != 0 && length > static_cast<uint64_t>(f.common.max_path))
    return FILTER_PATH_TOO_LONG;
  return FILTER_PASS;
}

int filter_test_ea(const filter& f, const std::string& name) {
  return AnyEqual(name, f.ea.black_ea_name) ? FILTER_BLACK_EA : FILTER_PASS;
}

// ---- Built-in name list ------------------------------------------------------

namespace {

const wchar_t* const kBuiltinExt[] = {L".tmp", L".temp", L".swp", L".lnk"};
const wchar_t* const kBuiltinName[] = {L"desktop.ini", L".ds_store", L"@eaDir", L"Icon\r"};
const wchar_t* const kBuiltinPrefix[] = {L"._", L"~"};
// Characters another system cannot hold in a name.
constexpr wchar_t kBuiltinBadChars[] = L":*?\"<>|\\";
constexpr wchar_t kBuiltinBadDir[] = L"@eaDir";
constexpr size_t kBuiltinComponentMax = 1023;

wchar_t WLower(wchar_t c) {
  return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}
bool WEqualsNoCase(const std::wstring& a, const wchar_t* b) {
  const size_t n = std::wcslen(b);
  if (a.size() != n) return false;
  for (size_t i = 0; i < n; ++i)
    if (WLower(a[i]) != WLower(b[i])) return false;
  return true;
}

}  // namespace

const char* builtin_black_reason(const std::wstring& dir_part, const std::wstring& base_name) {
  const size_t dot = base_name.rfind(L'.');
  if (dot != std::wstring::npos) {
    const std::wstring ext = base_name.substr(dot);
    for (const wchar_t* e : kBuiltinExt)
      if (WEqualsNoCase(ext, e)) return "bad ext";
  }
  for (const wchar_t* n : kBuiltinName)
    if (WEqualsNoCase(base_name, n)) return "bad name";
  for (const wchar_t* p : kBuiltinPrefix) {
    const size_t n = std::wcslen(p);
    if (base_name.size() >= n && WEqualsNoCase(base_name.substr(0, n), p)) return "bad prefix";
  }
  if (base_name.find_first_of(kBuiltinBadChars) != std::wstring::npos) return "bad char";
  size_t pos = 0;
  while (pos < dir_part.size()) {
    size_t sep = dir_part.find_first_of(L"/\\", pos);
    if (sep == std::wstring::npos) sep = dir_part.size();
    std::wstring comp = dir_part.substr(pos, sep - pos);
    pos = sep + 1;
    if (comp.empty()) continue;
    if (comp.size() > kBuiltinComponentMax) comp.resize(kBuiltinComponentMax);
    if (WEqualsNoCase(comp, kBuiltinBadDir)) return "bad dir";
    if (comp.find_first_of(kBuiltinBadChars) != std::wstring::npos) return "bad char";
  }
  return nullptr;
}
