#include "lib/base/log.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "fakes/test-util.h"
#include "lib/base/utility.h"

namespace {

template <typename... A>
std::wstring Fmt(const wchar_t* f, const A&... a) {
  const Logger::Arg list[] = {Logger::Arg(a)...};
  return Logger::Format(f, list, sizeof...(A));
}

TEST(LogFormatTest, WideStringsAndNumbers) {
  EXPECT_EQ(Fmt(L"[ERROR] client(%d): unknown command: [%d] \n", 12, 120),
            L"[ERROR] client(12): unknown command: [120] \n");
  EXPECT_EQ(Fmt(L"a %s b", std::wstring(L"\u00e9x")), L"a \u00e9x b");
  EXPECT_EQ(Fmt(L"%s|%s", "utf8 \xc3\xa9", L"w"), L"utf8 \u00e9|w");
  EXPECT_EQ(Fmt(L"%llu", 18446744073709551615ull), L"18446744073709551615");
  EXPECT_EQ(Fmt(L"%5d|%-3s|%%", 42, L"x"), L"   42|x  |%");
  EXPECT_EQ(Fmt(L"%d %d", 1), L"1 (missing)");
}

TEST(LogFormatTest, ControlCharactersInTextCannotForgeLines) {
  // A file name may hold a newline; the format's own newline stays.
  EXPECT_EQ(Fmt(L"[INFO] x(%d): '%s'\n", 1, "a\n[ERROR] forged"),
            L"[INFO] x(1): 'a\\n[ERROR] forged'\n");
  EXPECT_EQ(Fmt(L"%s", std::wstring(L"\r\t\x1b[2J\x7f\0z", 9)), L"\\r\\t\\x1b[2J\\x7f\\x00z");
  EXPECT_EQ(Fmt(L"%-6s|", L"\n"), L"\\n    |");
}

}  // namespace

namespace {

using sftest::ReadFile;
using sftest::TempDir;
using sftest::WriteFile;

class LoggerFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    log = dir.Sub("app.log");
    levels = dir.Sub("app.debug");
  }
  void TearDown() override {
    Logger::Destroy();
    (void)Logger::Initialize(Logger::STDERR_LOGGER, L"", Utf8ToWideLossy(dir.Sub("none")), 20);
  }
  void Init(const std::string& level_text, int rotate = 20) {
    WriteFile(levels, level_text);
    ASSERT_EQ(Logger::Initialize(Logger::FILE_LOGGER, Utf8ToWideLossy(log), Utf8ToWideLossy(levels),
                                 rotate),
              0);
  }
  TempDir dir;
  std::string log;
  std::string levels;
};

TEST_F(LoggerFileTest, ComponentThresholdsComeFromTheLevelFile) {
  Init("client_debug = 7\nworker_debug = 2\ndefault_component = 7\nodd = x\n");
  Logger::Log(Logger::L_DEBUG, L"client_debug", L"[DEBUG] client(%d): d1\n", 1);
  Logger::Log(Logger::L_ERR, L"worker_debug", L"[ERROR] worker-v4(%d): e1\n", 2);
  Logger::Log(Logger::L_CRIT, L"worker_debug", L"[CRIT] worker-v4(%d): c1\n", 3);
  Logger::Log(Logger::L_WARNING, L"other_debug", L"[WARNING] other(%d): w1\n", 4);
  Logger::Log(Logger::L_NOTICE, L"other_debug", L"[NOTE] other(%d): n1\n", 5);
  Logger::Log(Logger::L_ALERT, L"odd", L"[ALERT] odd(%d): a1\n", 6);
  Logger::Log(Logger::L_EMERG, L"odd", L"[EMERG] odd(%d): m1\n", 7);
  std::string text = ReadFile(log);
  EXPECT_NE(text.find("client(1): d1"), std::string::npos);
  EXPECT_EQ(text.find("e1"), std::string::npos);
  EXPECT_NE(text.find("c1"), std::string::npos);
  EXPECT_NE(text.find("w1"), std::string::npos);
  EXPECT_EQ(text.find("n1"), std::string::npos);
  EXPECT_EQ(text.find("a1"), std::string::npos);  // a non-number level counts as 0
  EXPECT_NE(text.find("m1"), std::string::npos);
}

// One SF_LOG call site, asked again after each change of the level table.
constexpr wchar_t kLogComponent[] = L"site_debug";
void LogFromOneSite(int n) {
  SF_LOG(L_DEBUG, L"[DEBUG] site(%d): call %d\n", n);
}

TEST_F(LoggerFileTest, ACallSiteFollowsEachNewLevelTable) {
  Init("site_debug = 7\n");
  LogFromOneSite(1);
  Init("site_debug = 4\n");
  LogFromOneSite(2);
  Init("site_debug = 99\n");  // above every level: all lines, also after clamping
  LogFromOneSite(3);
  Init("site_debug = -5\n");
  LogFromOneSite(4);
  std::string text = ReadFile(log);
  EXPECT_NE(text.find("call 1"), std::string::npos);
  EXPECT_EQ(text.find("call 2"), std::string::npos);
  EXPECT_NE(text.find("call 3"), std::string::npos);
  EXPECT_EQ(text.find("call 4"), std::string::npos);
}

TEST_F(LoggerFileTest, LinesCarryTimeStampAndUtf8Text) {
  Init("client_debug = 6\n");
  Logger::Log(Logger::L_INFO, L"client_debug", L"[INFO] client(%d): path %s\n", 123,
              std::wstring(L"/d\u00e9j\u00e0/\u6587"));
  std::string text = ReadFile(log);
  ASSERT_FALSE(text.empty());
  // "Dec 07 10:21:33 [INFO] client(123): ..."
  EXPECT_EQ(text.size(),
            std::string("Dec 07 10:21:33 ").size() +
                std::string("[INFO] client(123): path /d\xc3\xa9j\xc3\xa0/\xe6\x96\x87\n").size());
  EXPECT_EQ(text.substr(15), " [INFO] client(123): path /d\xc3\xa9j\xc3\xa0/\xe6\x96\x87\n");
  EXPECT_EQ(text[3], ' ');
  EXPECT_EQ(text[9], ':');
  EXPECT_EQ(text[12], ':');
}

TEST_F(LoggerFileTest, VaListBridgeReadsWideStrings) {
  Init("proxy = 7\n");
  struct Call {
    static void Go(int level, const wchar_t* comp, const wchar_t* fmt, ...) {
      va_list ap;
      va_start(ap, fmt);
      LogMSG_c(level, comp, fmt, ap);
      va_end(ap);
    }
  };
  Call::Go(Logger::L_INFO, L"proxy", L"[INFO] proxy(%d): host %s port %d %%n\n", 9, L"h\u00f6st",
           8080);
  EXPECT_NE(ReadFile(log).find("[INFO] proxy(9): host h\xc3\xb6st port 8080 %n\n"),
            std::string::npos);
}

TEST_F(LoggerFileTest, RotationKeepsRotateCountFiles) {
  Init("", 20);
  const std::wstring chunk(100000, L'x');
  // 11 messages of 100000 characters pass the 1048576 limit once; the
  // message that passes it still goes to the old file in full.
  for (int r = 0; r < 25; ++r) {
    for (int i = 0; i < 11; ++i) {
      Logger::Log(Logger::L_ERR, L"c", L"%s\n", chunk);
    }
  }
  for (int i = 0; i < 20; ++i) {
    EXPECT_TRUE(sftest::PathExists(log + "_" + std::to_string(i))) << i;
  }
  EXPECT_FALSE(sftest::PathExists(log + "_20"));
  std::string rotated = ReadFile(log + "_0");
  EXPECT_EQ(rotated.size(), 11u * (16 + 100001));
  EXPECT_EQ(ReadFile(log).size(), 0u);
}

TEST_F(LoggerFileTest, FailedRotationSilencesTheLogger) {
  Init("", 3);
  // The live file vanishes: the rotation's rename fails, and the logger
  // stays silent instead of writing somewhere unexpected.
  ASSERT_EQ(::unlink(log.c_str()), 0);
  const std::wstring chunk(600000, L'y');
  Logger::Log(Logger::L_ERR, L"c", L"%s\n", chunk);
  Logger::Log(Logger::L_ERR, L"c", L"%s\n", chunk);
  ::testing::internal::CaptureStderr();
  ::testing::internal::CaptureStdout();
  Logger::Log(Logger::L_ERR, L"c", L"dropped\n");
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  EXPECT_FALSE(sftest::PathExists(log));
  EXPECT_FALSE(sftest::PathExists(log + "_0"));
}

TEST(LoggerSyslogTest, WritesBareMessageToStderr) {
  TempDir dir;
  (void)Logger::Initialize(Logger::SYSLOG_LOGGER, L"", Utf8ToWideLossy(dir.Sub("none")), 20);
  ::testing::internal::CaptureStderr();
  Logger::Log(Logger::L_ERR, L"c", L"[ERROR] c(%d): bare\n", 5);
  std::string out = ::testing::internal::GetCapturedStderr();
  (void)Logger::Initialize(Logger::STDERR_LOGGER, L"", Utf8ToWideLossy(dir.Sub("none")), 20);
  EXPECT_EQ(out, "[ERROR] c(5): bare\n");
}

TEST(LoggerFileOpenTest, UnopenableFileKeepsPreviousSink) {
  EXPECT_EQ(Logger::Initialize(Logger::FILE_LOGGER, L"/nonexistent-dir/x/y.log", L"", 20), -1);
  ::testing::internal::CaptureStderr();
  Logger::Log(Logger::L_ERR, L"c", L"still here\n");
  std::string out = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(out.find("still here"), std::string::npos);
}

}  // namespace
