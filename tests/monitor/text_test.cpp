// Paths and sessions come from another process: what reaches the terminal,
// the log lines and the JSON must be safe and must fit.
#include "monitor/text.h"

#include <gtest/gtest.h>

#include <string>

using monitor::DisplayWidth;
using monitor::ForLog;
using monitor::ForScreen;
using monitor::JsonString;
using monitor::ShortenMiddle;

namespace {

const std::string kNihongo = "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E";  // 3 wide characters
const std::string kEAcute = "e\xCC\x81";                              // e + combining acute

TEST(TextTest, WidthsCountColumnsNotBytes) {
  EXPECT_EQ(DisplayWidth("abc"), 3);
  EXPECT_EQ(DisplayWidth(kNihongo), 6);
  EXPECT_EQ(DisplayWidth(kEAcute), 1);
  EXPECT_EQ(DisplayWidth("\xC3\xA9"), 1);
  EXPECT_EQ(DisplayWidth("\xF0\x9F\x98\x80"), 2);  // an emoji
}

TEST(TextTest, ShortenedPathsKeepBothEndsAndNeverSplitACharacter) {
  const std::string path = "/projects/2024/" + kNihongo + "/reports/" + kEAcute + "t" + kEAcute +
                           "/final-version-" + kNihongo + ".txt";
  for (int width = 1; width <= DisplayWidth(path) + 1; ++width) {
    const std::string s = ShortenMiddle(path, width);
    SCOPED_TRACE(std::to_string(width) + ": " + s);
    EXPECT_LE(DisplayWidth(s), width);
    EXPECT_GE(DisplayWidth(s), width - 1);  // at most one column lost to a wide character
    // Still valid UTF-8 with every combining mark on its letter.
    EXPECT_EQ(ForScreen(s), s);
    EXPECT_EQ(s.find("\xCC\x81"),
              s.find(kEAcute) == std::string::npos ? std::string::npos : s.find(kEAcute) + 1);
  }
  const std::string s = ShortenMiddle(path, 30);
  EXPECT_EQ(s.compare(0, 10, "/projects/"), 0) << s;
  const std::string tail = kNihongo + ".txt";
  EXPECT_EQ(s.compare(s.size() - tail.size(), tail.size(), tail), 0) << s;
  EXPECT_NE(s.find("\xE2\x80\xA6"), std::string::npos);
  EXPECT_EQ(ShortenMiddle(path, DisplayWidth(path)), path);
}

TEST(TextTest, HostileBytesNeverReachTheTerminalOrBreakALine) {
  // Cursor movement, a bidi override, a newline and invalid UTF-8.
  const std::string raw = std::string("a\x1b[2Jb\xE2\x80\xAE") + "c\nd\xFF\xC3(e";
  const std::string screen = ForScreen(raw);
  EXPECT_EQ(screen.find('\x1b'), std::string::npos);
  EXPECT_EQ(screen.find('\n'), std::string::npos);
  EXPECT_EQ(screen.find("\xE2\x80\xAE"), std::string::npos);
  EXPECT_EQ(screen, "a?[2Jb?c?d\xEF\xBF\xBD\xEF\xBF\xBD(e");

  const std::string log = ForLog(raw);
  EXPECT_EQ(log, "a\\x1b[2Jb\\u{202E}c\\x0ad\\xff\\xc3(e");

  EXPECT_EQ(JsonString(raw),
            "\"a\\u001b[2Jb\xE2\x80\xAE"
            "c\\nd\xEF\xBF\xBD\xEF\xBF\xBD(e\"");
  EXPECT_EQ(JsonString("q\"\\/"), "\"q\\\"\\\\/\"");
}

}  // namespace
