#include <gtest/gtest.h>
#include <sys/stat.h>

#include <random>

#include "client/local/filter.h"
#include "fakes/test-util.h"

namespace {

struct Parsed {
  filter f;
  filter_parse_result r;
};

Parsed Parse(const std::string& text) {
  Parsed p;
  p.r = filter_parse_text(p.f, text);
  return p;
}

// Error name and line of a text that must fail.
std::string ErrorOf(const std::string& text) {
  Parsed p = Parse(text);
  if (p.r.status != 2) return "parsed";
  return std::string(get_parser_error_string(p.r.error)) + "@" + std::to_string(p.r.line);
}

const char kVersion10[] = "[Version]\nmajor = 1\nminor = 0\n";

bool SameFilter(const filter& a, const filter& b) {
  return a.version.major == b.version.major && a.version.minor == b.version.minor &&
         a.common.black_char == b.common.black_char &&
         a.common.black_prefix == b.common.black_prefix &&
         a.common.max_length == b.common.max_length && a.common.max_path == b.common.max_path &&
         a.file.black_char == b.file.black_char && a.file.black_ext == b.file.black_ext &&
         a.file.black_name == b.file.black_name && a.file.black_prefix == b.file.black_prefix &&
         a.file.max_size == b.file.max_size && a.directory.black_char == b.directory.black_char &&
         a.directory.black_name == b.directory.black_name &&
         a.directory.black_prefix == b.directory.black_prefix &&
         a.ea.black_ea_name == b.ea.black_ea_name;
}

TEST(FilterParserTest, VersionOnlyFileLoadsAndEverythingPasses) {
  sftest::TempDir dir;
  sftest::WriteFile(dir.Sub("filter"), kVersion10);
  filter f;
  ASSERT_EQ(filter_read(f, dir.Sub("filter")), 0);
  EXPECT_EQ(f.version.major, 1);
  EXPECT_EQ(f.version.minor, 0);
  EXPECT_EQ(filter_test_path(f, 0, "/a/~b.tmp"), 0);
  EXPECT_EQ(filter_test_path(f, 1, "/@eaDir/x"), 0);
  EXPECT_EQ(filter_test_file_size(f, UINT64_MAX), 0);
  EXPECT_EQ(filter_test_full_path_size(f, UINT64_MAX), 0);
  EXPECT_EQ(filter_test_ea(f, "x"), 0);
}

TEST(FilterParserTest, StructuralErrorsNameTheirLine) {
  EXPECT_EQ(ErrorOf("major = 1\n"), "LINE_NOT_EXPECTED@1");
  EXPECT_EQ(ErrorOf("# c\n\n[Files]\n"), "SECTION_UNDEFINED_SECTION@3");
  EXPECT_EQ(ErrorOf("[file]\n"), "SECTION_UNDEFINED_SECTION@1");
  EXPECT_EQ(ErrorOf("[Version\n"), "SECTION_MISSING_RIGHT_BRACKET@1");
  EXPECT_EQ(ErrorOf("[]\n"), "SECTION_MISSING_SECTION@1");
  EXPECT_EQ(ErrorOf("[Ver sion]\n"), "SECTION_ILLEGAL_CHARACTER@1");
  EXPECT_EQ(ErrorOf("[" + std::string(33, 'a') + "]\n"), "SECTION_TOO_LONG@1");
  EXPECT_EQ(ErrorOf("[Version] x\n"), "LINE_NOT_ENDED@1");
  EXPECT_EQ(ErrorOf("[Version]\n= 1\n"), "KEY_MISSING_KEY@2");
  EXPECT_EQ(ErrorOf("[Version]\nmajor 1\n"), "KEY_ILLEGAL_CHARACTER@2");
  EXPECT_EQ(ErrorOf("[Version]\nma$or = 1\n"), "KEY_ILLEGAL_CHARACTER@2");
  EXPECT_EQ(ErrorOf("[Version]\n" + std::string(33, 'k') + " = 1\n"), "KEY_TOO_LONG@2");
  EXPECT_EQ(ErrorOf("[Version]\n\"x\"\n"), "LINE_NOT_EXPECTED@2");
  // A trailing comma promises a continuation line.
  EXPECT_EQ(ErrorOf("[File]\nblack_ext = \"a\",\n[EA]\n"), "LINE_NOT_EXPECTED@3");
  EXPECT_EQ(ErrorOf("[File]\nblack_ext = \"a\",\n"), "VALUE_STRING_MISSING_LEFT_QUOTE@3");
  // Comments and blank-only lines are fine everywhere.
  EXPECT_EQ(ErrorOf(" \t# c\n[Version] # c\n\v\f\r\nmajor = 1 # c\r\n"), "parsed");
}

TEST(FilterParserTest, NumbersFollowTheGrammarAndStayInRange) {
  auto major = [](const std::string& v) {
    Parsed p = Parse("[Version]\nmajor = " + v + "\n");
    return p.r.status == 2 ? std::string(get_parser_error_string(p.r.error))
                           : std::to_string(p.f.version.major);
  };
  EXPECT_EQ(major("0"), "0");
  EXPECT_EQ(major("+7"), "7");
  EXPECT_EQ(major("-7.25"), "-7");
  EXPECT_EQ(major("2147483647"), "2147483647");
  EXPECT_EQ(major("-2147483648"), "-2147483648");
  EXPECT_EQ(major("2147483648"), "VALUE_TOO_LONG");
  EXPECT_EQ(major(""), "VALUE_NUMERIC_MISSING_VALUE");
  EXPECT_EQ(major("# only a comment"), "VALUE_NUMERIC_MISSING_VALUE");
  EXPECT_EQ(major("-"), "VALUE_NUMERIC_MISSING_INTEGER_PART");
  EXPECT_EQ(major(".5"), "VALUE_NUMERIC_MISSING_INTEGER_PART");
  EXPECT_EQ(major("5."), "VALUE_NUMERIC_MISSING_FRACTIONAL_PART");
  EXPECT_EQ(major("012"), "VALUE_NUMERIC_ILLEGAL_SYNTAX");
  EXPECT_EQ(major("12ab"), "VALUE_NUMERIC_ILLEGAL_SYNTAX");
  EXPECT_EQ(major("x"), "VALUE_NUMERIC_ILLEGAL_SYNTAX");
  EXPECT_EQ(major("1." + std::string(600, '0')), "VALUE_TOO_LONG");
  // Only white space or a comment may follow the number.
  EXPECT_EQ(major("1 2"), "LINE_NOT_ENDED");
  EXPECT_EQ(major("1\t\"x\""), "LINE_NOT_ENDED");
  EXPECT_EQ(major("3 \t# note"), "3");
  EXPECT_EQ(ErrorOf("[File]\nmax_size = 10 20\n"), "LINE_NOT_ENDED@2");

  Parsed p = Parse("[File]\nmax_size = 9223372036854775807\n");
  EXPECT_EQ(p.r.status, 0);
  EXPECT_EQ(p.f.file.max_size, INT64_MAX);
  EXPECT_EQ(Parse("[File]\nmax_size = 9223372036854775808\n").r.error, PARSER_VALUE_TOO_LONG);
}

TEST(FilterParserTest, QuotedStringsUnescapeAndRefuseBadInput) {
  auto value = [](const std::string& v) {
    Parsed p = Parse("[Common]\nblack_char = " + v + "\n");
    return p.r.status == 2 ? std::string(get_parser_error_string(p.r.error))
                           : p.f.common.black_char.value_or("(unset)");
  };
  EXPECT_EQ(value("\"\\x41\""), "A");
  EXPECT_EQ(value("\"\\101\\t\\'\\\"\\\\\\?\""), "A\t'\"\\?");
  EXPECT_EQ(value("\"\\a\\b\\f\\n\\r\\v\""), "\a\b\f\n\r\v");
  EXPECT_EQ(value("\"\xc3\xa9\""), "\xc3\xa9");
  EXPECT_EQ(value("\"\\q\""), "VALUE_STRING_ILLEGAL_CHARACTER");
  EXPECT_EQ(value("\"\\8\""), "VALUE_STRING_ILLEGAL_CHARACTER");
  EXPECT_EQ(value("\"a\tb\""), "VALUE_STRING_ILLEGAL_CHARACTER");
  EXPECT_EQ(value("\"\""), "VALUE_STRING_EMPTY");
  EXPECT_EQ(value("abc"), "VALUE_STRING_MISSING_LEFT_QUOTE");
  EXPECT_EQ(value("\"abc"), "VALUE_STRING_MISSING_RIGHT_QUOTE");
  EXPECT_EQ(value("\"abc\\"), "VALUE_STRING_ESCAPE_ILLEGAL_SEQUENCE");
  EXPECT_EQ(value("\"\\x4\""), "VALUE_STRING_ESCAPE_ILLEGAL_HEX_VALUE");
  EXPECT_EQ(value("\"\\xg1\""), "VALUE_STRING_ESCAPE_ILLEGAL_HEX_VALUE");
  EXPECT_EQ(value("\"\\400\""), "VALUE_STRING_ESCAPE_ILLEGAL_OCT_VALUE");
  EXPECT_EQ(value("\"\\19\""), "VALUE_STRING_ESCAPE_ILLEGAL_OCT_VALUE");
  // A zero byte could not be held by the record, so it is refused.
  EXPECT_EQ(value("\"\\x00\""), "VALUE_STRING_ESCAPE_ILLEGAL_HEX_VALUE");
  EXPECT_EQ(value("\"\\000\""), "VALUE_STRING_ESCAPE_ILLEGAL_OCT_VALUE");
  EXPECT_EQ(value("\"" + std::string(511, 'a') + "\""), std::string(511, 'a'));
  EXPECT_EQ(value("\"" + std::string(512, 'a') + "\""), "VALUE_TOO_LONG");
  EXPECT_EQ(value("\"a\" \"b\""), "LINE_NOT_ENDED");
  // A later string value replaces the earlier one.
  Parsed p = Parse("[Common]\nblack_char = \"a\"\nblack_char = \"b\"\n");
  EXPECT_EQ(p.f.common.black_char, "b");
}

TEST(FilterParserTest, SetsAppendAcrossContinuationsAndRepeats) {
  Parsed p = Parse(
      "[File]\nblack_ext = \"tmp\", \"log\",\n  # between\n\n \"bak\"\n"
      "black_ext = \"tmp\"\n");
  ASSERT_EQ(p.r.status, 0);
  EXPECT_EQ(p.f.file.black_ext, (filter_string_set{"tmp", "log", "bak", "tmp"}));
  EXPECT_EQ(filter_test_path(p.f, 0, "/a/B.LOG"), FILTER_BLACK_EXT);
  EXPECT_EQ(filter_test_path(p.f, 0, "/a/c.bak"), FILTER_BLACK_EXT);
  EXPECT_EQ(filter_test_path(p.f, 0, "/a/c.tmp"), FILTER_BLACK_EXT);
  EXPECT_EQ(filter_test_path(p.f, 0, "/a/c.tmp.txt"), 0);
  EXPECT_EQ(ErrorOf("[File]\nblack_ext = \"a\" \"b\"\n"), "VALUE_SET_MISSING_SEPARATER@2");
  EXPECT_EQ(ErrorOf("[File]\nblack_ext = \"a\", x\n"), "VALUE_STRING_MISSING_LEFT_QUOTE@2");
  EXPECT_EQ(ErrorOf("[File]\nblack_ext = \"a\";\n"), "LINE_NOT_ENDED@2");
}

TEST(FilterParserTest, UnknownKeysNeedANewerMinorVersion) {
  sftest::TempDir dir;
  const std::string path = dir.Sub("filter");
  filter f;
  sftest::WriteFile(path, "[Version]\nmajor = 1\nminor = 0\n[File]\nfuture = anything at all\n");
  EXPECT_EQ(filter_read(f, path), -1);
  EXPECT_EQ(f.version.major, 0) << "a failed read leaves the filter empty";
  sftest::WriteFile(path,
                    "[Version]\nmajor = 1\nminor = 1\n[File]\nfuture = anything at all\n"
                    "black_name = \"x\"\n");
  ASSERT_EQ(filter_read(f, path), 0);
  EXPECT_EQ(f.file.black_name, filter_string_set{"x"});
  sftest::WriteFile(path, "[Version]\nmajor = 2\nminor = 1\n[File]\nfuture = 1\n");
  EXPECT_EQ(filter_read(f, path), -1);
  EXPECT_EQ(Parse("[File]\nfuture = 1\nother = 2\n").r.status, 1);
}

TEST(FilterParserTest, ReadReportsTheFirstErrorAndMissingFileFails) {
  sftest::TempDir dir;
  filter f;
  EXPECT_EQ(filter_read(f, dir.Sub("absent")), -1);
  sftest::WriteFile(dir.Sub("bad"), "[Version]\nmajor = 1\n[EA]\nblack_ea_name = \"a\" \"b\"\n");
  testing::internal::CaptureStderr();
  EXPECT_EQ(filter_read(f, dir.Sub("bad")), -1);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("parser: VALUE_SET_MISSING_SEPARATER at line 4\n"), std::string::npos) << err;
  EXPECT_EQ(f.version.major, 0);
}

TEST(FilterParserTest, UnreadableFilterFailsInsteadOfLoadingEmpty) {
  sftest::TempDir dir;
  ASSERT_EQ(::mkdir(dir.Sub("filter").c_str(), 0755), 0);
  filter f;
  EXPECT_EQ(filter_read(f, dir.Sub("filter")), -1);
}

TEST(FilterParserTest, LongLinesAreReadInCountedPieces) {
  // 1024 blanks and then a key: the key starts the second piece, line 3.
  Parsed p = Parse("[Version]\n" + std::string(1024, ' ') + "major = 4\n");
  EXPECT_EQ(p.r.status, 0);
  EXPECT_EQ(p.f.version.major, 4);
  EXPECT_EQ(ErrorOf("[Version]\n" + std::string(1024, ' ') + "major = 4\nbad\n"),
            "KEY_ILLEGAL_CHARACTER@4");
}

TEST(FilterParserTest, ErrorNamesCoverTheTable) {
  EXPECT_STREQ(get_parser_error_string(0), "NO_ERROR");
  EXPECT_STREQ(get_parser_error_string(-22), "VALUE_SET_MISSING_SEPARATER");
  EXPECT_STREQ(get_parser_error_string(-26), "INTERNAL_ERROR");
  EXPECT_STREQ(get_parser_error_string(-27), "Unknown error");
  EXPECT_STREQ(get_parser_error_string(1), "Unknown error");
}

TEST(FilterSchemaTest, LookupsAreExactAndTyped) {
  const filter_parser_schema& s = get_parser_schema();
  ASSERT_EQ(s.section_count, 5u);
  EXPECT_EQ(search_section_schema(s, "version"), nullptr);
  const filter_section_schema* file = search_section_schema(s, "File");
  ASSERT_NE(file, nullptr);
  const filter_key_schema* k = search_key_schema(*file, "max_size");
  ASSERT_NE(k, nullptr);
  EXPECT_EQ(k->type, FILTER_VALUE_INT64);
  filter f;
  *std::get<int64_t*>(k->locate(f)) = 5;
  EXPECT_EQ(f.file.max_size, 5);
  EXPECT_EQ(search_key_schema(*file, "Max_size"), nullptr);
}

TEST(FilterTestPathTest, FileNameRulesInOrder) {
  Parsed p = Parse(
      "[Common]\nblack_char = \":\"\nblack_prefix = \"~\"\nmax_length = 9\nmax_path = 20\n"
      "[File]\nblack_char = \"*\"\nblack_ext = \"tmp\"\nblack_name = \"thumbs.db\", \"x.tmp\"\n"
      "black_prefix = \"._\"\nmax_size = 100\n"
      "[Directory]\nblack_char = \"|\"\nblack_name = \"@eaDir\"\nblack_prefix = \"#\"\n"
      "[EA]\nblack_ea_name = \"com.apple.Finder\"\n");
  ASSERT_EQ(p.r.status, 0);
  const filter& f = p.f;
  EXPECT_EQ(filter_test_path(f, 0, "a.txt"), FILTER_INVALID_PATH);
  EXPECT_EQ(filter_test_path(f, 0, "/d/"), FILTER_INVALID_PATH);
  EXPECT_EQ(filter_test_path(f, 0, "/a:b"), FILTER_BLACK_CHAR);
  EXPECT_EQ(filter_test_path(f, 0, "/~ab"), FILTER_BLACK_PREFIX);
  EXPECT_EQ(filter_test_path(f, 0, "/a*b"), FILTER_BLACK_CHAR);
  EXPECT_EQ(filter_test_path(f, 0, "/X.TMP"), FILTER_BLACK_EXT) << "extension before name";
  EXPECT_EQ(filter_test_path(f, 0, "/Thumbs.db"), FILTER_BLACK_NAME);
  EXPECT_EQ(filter_test_path(f, 0, "/._a"), FILTER_BLACK_PREFIX);
  EXPECT_EQ(filter_test_path(f, 0, "/.tmp"), 0) << "a leading dot is no extension";
  EXPECT_EQ(filter_test_path(f, 0, "/~abcdefghi"), FILTER_TOO_LONG) << "length first";
  EXPECT_EQ(filter_test_path(f, 0, "/ok/a|b/c"), FILTER_BLACK_CHAR);
  EXPECT_EQ(filter_test_path(f, 0, "/x/@EADIR/y"), FILTER_BLACK_NAME);
  EXPECT_EQ(filter_test_path(f, 1, "/x/@eaDir"), FILTER_BLACK_NAME);
  EXPECT_EQ(filter_test_path(f, 1, "/x/#y"), FILTER_BLACK_PREFIX);
  EXPECT_EQ(filter_test_path(f, 1, "/x/~y"), FILTER_BLACK_PREFIX);
  EXPECT_EQ(filter_test_path(f, 1, "/x/a:b"), FILTER_BLACK_CHAR);
  EXPECT_EQ(filter_test_path(f, 1, "/x/abcdefghij"), FILTER_TOO_LONG);
  // Directory rules do not apply to the file's own name, and vice versa.
  EXPECT_EQ(filter_test_path(f, 0, "/d/@eaDir"), 0);
  EXPECT_EQ(filter_test_path(f, 1, "/thumbs.db/x.tmp"), 0);
  EXPECT_EQ(filter_test_file_size(f, 100), 0);
  EXPECT_EQ(filter_test_file_size(f, 101), FILTER_FILE_TOO_LARGE);
  EXPECT_EQ(filter_test_full_path_size(f, 20), 0);
  EXPECT_EQ(filter_test_full_path_size(f, 21), FILTER_PATH_TOO_LONG);
  EXPECT_EQ(filter_test_ea(f, "COM.APPLE.FINDER"), FILTER_BLACK_EA);
  EXPECT_EQ(filter_test_ea(f, "com.apple"), 0);
}

// A forbidden character outside ASCII forbids that character, not every
// character sharing one of its UTF-8 bytes ("\xe2\x80\xa2" and "\xc3\x80"
// share 0x80). Stray bytes that form no character still match alone.
TEST(FilterTestPathTest, ForbiddenCharactersMatchWholeUtf8Characters) {
  Parsed p = Parse(
      "[Common]\nblack_char = \"\xe2\x80\xa2:\"\n"
      "[File]\nblack_char = \"\\xff\"\n");
  ASSERT_EQ(p.r.status, 0);
  EXPECT_EQ(filter_test_path(p.f, 0,
                             "/a\xe2\x80\xa2"
                             "b"),
            FILTER_BLACK_CHAR);
  EXPECT_EQ(filter_test_path(p.f, 1, "/\xe2\x80\xa2/x"), FILTER_BLACK_CHAR);
  EXPECT_EQ(filter_test_path(p.f, 0, "/a:b"), FILTER_BLACK_CHAR);
  EXPECT_EQ(filter_test_path(p.f, 0, "/\xc3\x80.txt"), 0);
  EXPECT_EQ(filter_test_path(p.f, 0, "/\xe2\x82\xac"), 0);
  EXPECT_EQ(filter_test_path(p.f, 1, "/\xe2\x80\xa6/x"), 0);
  EXPECT_EQ(filter_test_path(p.f, 0,
                             "/a\xff"
                             "b"),
            FILTER_BLACK_CHAR);
}

TEST(FilterTestPathTest, MaxLengthCountsBytesPerComponent) {
  Parsed p = Parse("[Common]\nmax_length = 3\n");
  EXPECT_EQ(filter_test_path(p.f, 0, "/abcd"), FILTER_TOO_LONG);
  EXPECT_EQ(filter_test_path(p.f, 1, "/abc"), 0);
  EXPECT_EQ(filter_test_path(p.f, 1, "/abc/\xc3\xa9\xc3\xa9"), FILTER_TOO_LONG);
  EXPECT_EQ(filter_test_path(p.f, 0, "/abc/abc/abc"), 0);
  EXPECT_EQ(filter_test_path(p.f, 0, "/" + std::string(4095, 'a') + "/b"), FILTER_INVALID_PATH);
  EXPECT_EQ(filter_test_path(p.f, 0, "/" + std::string(512, 'a')), FILTER_INVALID_PATH);

  // A negative limit is as good as none, as for the size limits: it must not
  // refuse every name.
  Parsed neg = Parse("[Common]\nmax_length = -1\nmax_path = -1\n[File]\nmax_size = -1\n");
  ASSERT_EQ(neg.r.status, 0);
  EXPECT_EQ(filter_test_path(neg.f, 0, "/dir/file.txt"), 0);
  EXPECT_EQ(filter_test_path(neg.f, 1, "/dir"), 0);
  EXPECT_EQ(filter_test_full_path_size(neg.f, 4096), 0);
  EXPECT_EQ(filter_test_file_size(neg.f, 1ull << 40), 0);
}

TEST(FilterWriteTest, WrittenFilterReadsBackTheSame) {
  filter f;
  f.version = {1, 3};
  f.common.black_char = std::string("\"\\:\t\x01\xc3\xa9");
  f.common.black_prefix = {"~", "a\"b"};
  f.common.max_length = 255;
  f.common.max_path = -1;
  f.file.black_ext = {"tmp"};
  for (int i = 0; i < 60; ++i) f.file.black_name.push_back("name-number-" + std::to_string(i));
  f.file.max_size = INT64_MAX;
  f.directory.black_name = {"@eaDir"};
  f.ea.black_ea_name = {std::string(200, '\x7f')};

  sftest::TempDir dir;
  ASSERT_EQ(filter_write(f, dir.Sub("filter")), 0);
  filter back;
  ASSERT_EQ(filter_read(back, dir.Sub("filter")), 0) << sftest::ReadFile(dir.Sub("filter"));
  EXPECT_TRUE(SameFilter(f, back)) << sftest::ReadFile(dir.Sub("filter"));
  EXPECT_EQ(filter_write(f, dir.Sub("no/such/dir/filter")), -1);
}

// Found by fuzz_filter: 270 escaped bytes made a line longer than the
// reader's piece, so the written file no longer read back as the filter.
TEST(FilterWriteTest, RefusesAValueTooLongToReadBack) {
  filter f;
  f.version = {1, 0};
  f.common.black_char = std::string(270, '\xff');
  sftest::TempDir dir;
  EXPECT_EQ(filter_write(f, dir.Sub("filter")), -1);
  EXPECT_FALSE(sftest::PathExists(dir.Sub("filter")));
  f.common.black_char = std::string(200, '\xff');  // 800 printed bytes still fit
  ASSERT_EQ(filter_write(f, dir.Sub("filter")), 0);
  filter back;
  ASSERT_EQ(filter_read(back, dir.Sub("filter")), 0);
  EXPECT_TRUE(SameFilter(f, back));
}

TEST(FilterWriteTest, PrintUsesTheFileSyntax) {
  filter f;
  f.version = {1, 0};
  f.file.black_ext = {"a", "b"};
  char* buf = nullptr;
  size_t len = 0;
  FILE* mem = open_memstream(&buf, &len);
  filter_print(f, mem);
  std::fclose(mem);
  const std::string out(buf, len);
  free(buf);
  EXPECT_EQ(out,
            "[Version]\nmajor = 1\nminor = 0\n\n[Common]\nmax_length = 0\nmax_path = 0\n\n"
            "[File]\nblack_ext = \"a\", \"b\"\nmax_size = 0\n\n[Directory]\n\n[EA]\n\n");
}

// Mutated filters must never crash the parser, and whatever parses cleanly
// must survive a write and a read unchanged.
TEST(FilterFuzzTest, MutatedInputNeverBreaksTheParser) {
  const std::string seed =
      "# filter\n[Version]\nmajor = 1\nminor = 2\n[Common]\nblack_char = \"\\\\:*\"\n"
      "black_prefix = \"~\", \"._\",\n \"#\"\nmax_length = 255.0\nmax_path = 4096\n"
      "[File]\nblack_char = \"\\x7f\\001\"\nblack_ext = \"tmp\", \"swp\"\n"
      "black_name = \"desktop.ini\"\nblack_prefix = \"~$\"\nmax_size = -1\n"
      "[Directory]\nblack_char = \"?\"\nblack_name = \"@eaDir\"\nblack_prefix = \".\"\n"
      "[EA]\nblack_ea_name = \"a\", \"b\" # done\n";
  ASSERT_EQ(Parse(seed).r.status, 0);
  const std::string alphabet = "[]=\",#\\ \t\nxX0127+-.aZ_\x01\x7f\xc3\xa9";
  std::mt19937 rng(12345);
  sftest::TempDir dir;
  int clean = 0;
  for (int iter = 0; iter < 3000; ++iter) {
    std::string text = seed;
    const int edits = 1 + static_cast<int>(rng() % 6);
    for (int e = 0; e < edits && !text.empty(); ++e) {
      const size_t pos = rng() % text.size();
      const char c = alphabet[rng() % alphabet.size()];
      switch (rng() % 3) {
        case 0:
          text[pos] = c;
          break;
        case 1:
          text.insert(pos, 1, c);
          break;
        default:
          text.erase(pos, 1 + rng() % 8);
          break;
      }
    }
    Parsed p = Parse(text);
    ASSERT_GE(p.r.status, 0);
    ASSERT_LE(p.r.status, 2);
    if (p.r.status == 2) {
      ASSERT_LT(p.r.error, 0);
      ASSERT_GE(p.r.error, PARSER_INTERNAL_ERROR);
      ASSERT_GE(p.r.line, 1);
      continue;
    }
    if (p.r.status != 0) continue;
    ++clean;
    ASSERT_EQ(filter_write(p.f, dir.Sub("f")), 0);
    filter back;
    ASSERT_EQ(filter_read(back, dir.Sub("f")), 0) << text;
    ASSERT_TRUE(SameFilter(p.f, back)) << text;
    filter_test_path(p.f, 0, "/a/b.tmp");
    filter_test_path(p.f, 1, "/a/b");
  }
  EXPECT_GT(clean, 50) << "the mutations should leave many inputs valid";
  // Pure noise, including zero bytes.
  for (int iter = 0; iter < 500; ++iter) {
    std::string text(rng() % 300, '\0');
    for (auto& ch : text) ch = static_cast<char>(rng());
    Parsed p = Parse(text);
    ASSERT_TRUE(p.r.status == 2 || p.r.status == 0 || p.r.status == 1);
  }
}

TEST(BuiltinNameListTest, ReasonsInOrder) {
  EXPECT_STREQ(builtin_black_reason(L"/s/", L"Thumbs.TMP"), "bad ext");
  EXPECT_STREQ(builtin_black_reason(L"/s/", L".tmp"), "bad ext");
  EXPECT_STREQ(builtin_black_reason(L"/s/", L"DESKTOP.INI"), "bad name");
  EXPECT_STREQ(builtin_black_reason(L"/s/", L"Icon\r"), "bad name");
  EXPECT_EQ(builtin_black_reason(L"/s/", L"Icon"), nullptr);
  EXPECT_STREQ(builtin_black_reason(L"/s/", L"~notes.txt"), "bad prefix");
  EXPECT_STREQ(builtin_black_reason(L"/s/", L"._x"), "bad prefix");
  EXPECT_STREQ(builtin_black_reason(L"/s/", L"a?b"), "bad char");
  EXPECT_STREQ(builtin_black_reason(L"/s/a/@EADIR//", L"b.txt"), "bad dir");
  EXPECT_STREQ(builtin_black_reason(L"/s/a<b/", L"c"), "bad char");
  EXPECT_EQ(builtin_black_reason(L"/s/a/", L"b.txt"), nullptr);
}

}  // namespace
