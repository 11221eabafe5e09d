#include "lib/base/config.h"

#include <gtest/gtest.h>

#include "fakes/test-util.h"
#include "lib/base/utility.h"

namespace {

using sftest::TempDir;
using sftest::WriteFile;

class ConfigTest : public ::testing::Test {
 protected:
  // Reads `text` as a whole file; returns read()'s result.
  int Read(const std::string& text) {
    WriteFile(dir.Sub("c.conf"), text);
    return cfg.read(Utf8ToWideLossy(dir.Sub("c.conf")));
  }
  TempDir dir;
  Config cfg;
};

TEST_F(ConfigTest, ParsesQuotedUnquotedAndCommentedValues) {
  ASSERT_EQ(Read("# comment line\n"
                 "\n"
                 "   watch = /home/u/Sync   # trailing comment\n"
                 "server=\"10.0.0.1\"\n"
                 "name = 'two words'\n"
                 "empty = \"\"\n"
                 "tag = v#1\n"
                 "flag#ignored entirely\n"
                 "crlf = x\r\n"),
            0);
  EXPECT_EQ(cfg[L"watch"], L"/home/u/Sync");
  EXPECT_EQ(cfg[L"server"], L"10.0.0.1");
  EXPECT_EQ(cfg[L"name"], L"two words");
  EXPECT_EQ(cfg[L"empty"], L"");
  EXPECT_TRUE(cfg.has(L"empty"));
  EXPECT_EQ(cfg[L"tag"], L"v#1");  // '#' without a space belongs to the value
  EXPECT_FALSE(cfg.has(L"flag"));
  EXPECT_EQ(cfg[L"crlf"], L"x");
}

TEST_F(ConfigTest, LaterLineReplacesEarlierValue) {
  ASSERT_EQ(Read("port = 1\nport = 2\n"), 0);
  EXPECT_EQ(cfg.get_int(L"port"), 2);
}

TEST_F(ConfigTest, AnyMalformedLineEmptiesTheWholeMap) {
  const char* bad[] = {
      "a = 1\nkey =\n",             // '=' and nothing else
      "a = 1\nkey =    \n",         // only white space after '='
      "a = 1\nkey\n",               // a key without '='
      "a = 1\nkey value\n",         // no '='
      "a = 1\nkey = one two\n",     // second word after an unquoted value
      "a = 1\nkey = \"open\n",      // unterminated quote
      "a = 1\nkey = 'x\ty'\n",      // control character inside quotes
      "a = 1\nkey = \"x\" tail\n",  // text after a quoted value
      "a = 1\n!bad = 1\n",          // not a key character
      "a = 1\nkey = \xff\xfe\n",    // not UTF-8
  };
  for (const char* text : bad) {
    SCOPED_TRACE(text);
    EXPECT_EQ(Read(text), -1);
    EXPECT_TRUE(cfg.entries().empty());
  }
}

TEST_F(ConfigTest, MissingFileAndNullPathFail) {
  EXPECT_EQ(cfg.read(Utf8ToWideLossy(dir.Sub("absent"))), -1);
  EXPECT_EQ(cfg.read(static_cast<const wchar_t*>(nullptr)), -1);
}

TEST_F(ConfigTest, Utf8ValuesBecomeWideText) {
  ASSERT_EQ(Read("watch = \"/home/j\xc3\xbcrgen/\xe6\x96\x87\"\n"), 0);
  EXPECT_EQ(cfg[L"watch"], L"/home/j\u00fcrgen/\u6587");
}

TEST_F(ConfigTest, LeadingByteOrderMarkIsNotPartOfTheFirstKey) {
  ASSERT_EQ(Read("\xEF\xBB\xBFwatch = /w\nport = 1\n"), 0);
  EXPECT_EQ(cfg[L"watch"], L"/w");
  // Only at the very start: elsewhere it is still a malformed line.
  EXPECT_EQ(Read("watch = /w\n\xEF\xBB\xBFport = 1\n"), -1);
}

TEST_F(ConfigTest, GetIntUsesFormattedExtraction) {
  ASSERT_EQ(Read("a = 42\nb = -7\nc = 12abc\nd = abc\ne = 99999999999\n"), 0);
  EXPECT_EQ(cfg.get_int(L"a"), 42);
  EXPECT_EQ(cfg.get_int(L"b"), -7);
  EXPECT_EQ(cfg.get_int(L"c"), 12);
  EXPECT_EQ(cfg.get_int(L"d"), 0);
  EXPECT_EQ(cfg.get_int(L"e"), 0);  // out of range is not a number
  EXPECT_EQ(cfg.get_int(L"missing"), 0);
}

TEST_F(ConfigTest, OverlongLineIsReadInPieces) {
  // A comment longer than the 8192-byte line buffer continues as a line of
  // its own, which here is a key without '=': the file is malformed.
  EXPECT_EQ(Read("# " + std::string(9000, 'x') + "\n"), -1);
  EXPECT_EQ(Read("# " + std::string(8000, 'x') + "\n"), 0);
}

TEST_F(ConfigTest, ValueLongerThanWideLimitIsRefusedNotCut) {
  ASSERT_EQ(Read("k = " + std::string(2048, 'y') + "\n"), 0);
  EXPECT_EQ(cfg[L"k"].size(), 2048u);
  EXPECT_EQ(Read("k = " + std::string(2049, 'y') + "\n"), -1);
}

}  // namespace
