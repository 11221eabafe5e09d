#include "lib/base/journal.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fakes/test-util.h"
#include "lib/base/log.h"
#include "lib/base/utility.h"

namespace {

struct Entry {
  int priority;
  std::string component;
  std::string message;
};
std::vector<Entry>* g_entries = nullptr;
void Collect(int priority, const std::string& component, const std::string& message) {
  g_entries->push_back({priority, component, message});
}

class JournalTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_entries = &entries;
    journal::SetSinkForTest(&Collect);
  }
  void TearDown() override {
    journal::SetSinkForTest(nullptr);
    g_entries = nullptr;
    Logger::Destroy();
    // Back to what other tests of this program expect; nothing to check.
    (void)Logger::Initialize(Logger::STDERR_LOGGER, L"", Utf8ToWideLossy(dir.Sub("none")), 20);
  }
  sftest::TempDir dir;
  std::vector<Entry> entries;
};

// What the daemon writes to its file goes to the journal too, with the
// priority of its level, and only what passes the component's threshold.
TEST_F(JournalTest, FileLinesGoToTheJournalWithTheirLevelsPriority) {
  const std::string log = dir.Sub("app.log");
  sftest::WriteFile(dir.Sub("app.debug"), "client_debug = 7\nquiet_debug = 3\n");
  ASSERT_EQ(Logger::Initialize(Logger::FILE_LOGGER, Utf8ToWideLossy(log),
                               Utf8ToWideLossy(dir.Sub("app.debug")), 20),
            0);
  Logger::Log(Logger::L_EMERG, L"client_debug", L"[EMERG] client(%d): e\n", 1);
  Logger::Log(Logger::L_CRIT, L"client_debug", L"[CRIT] client(%d): c\n", 2);
  Logger::Log(Logger::L_ERR, L"client_debug", L"[ERROR] client(%d): r\n", 3);
  Logger::Log(Logger::L_WARNING, L"client_debug", L"[WARNING] client(%d): w\n", 4);
  Logger::Log(Logger::L_NOTICE, L"client_debug", L"[NOTE] client(%d): n\n", 5);
  Logger::Log(Logger::L_INFO, L"client_debug", L"[INFO] client(%d): '%s'\n", 6, L"\u00e9\n");
  Logger::Log(Logger::L_DEBUG, L"client_debug", L"[DEBUG] client(%d): d\n", 7);
  Logger::Log(Logger::L_WARNING, L"quiet_debug", L"[WARNING] quiet(%d): not written\n", 8);

  ASSERT_EQ(entries.size(), 7u);
  const int priorities[] = {2, 2, 3, 4, 5, 6, 7};  // emergency would reach every terminal
  for (size_t i = 0; i < entries.size(); ++i) {
    EXPECT_EQ(entries[i].priority, priorities[i]) << entries[i].message;
    EXPECT_EQ(entries[i].component, "client_debug");
  }
  EXPECT_EQ(entries[1].message, "[CRIT] client(2): c");
  EXPECT_EQ(entries[5].message, "[INFO] client(6): '\xc3\xa9\\n'");
  // The file keeps every line, with its time stamp.
  const std::string text = sftest::ReadFile(log);
  EXPECT_NE(text.find(" [DEBUG] client(7): d\n"), std::string::npos);
  EXPECT_EQ(text.find("not written"), std::string::npos);

  // Standard error reaches the journal by itself under systemd: no copy.
  entries.clear();
  ASSERT_EQ(
      Logger::Initialize(Logger::STDERR_LOGGER, L"", Utf8ToWideLossy(dir.Sub("app.debug")), 0), 0);
  Logger::Log(Logger::L_ERR, L"client_debug", L"[ERROR] client(%d): to stderr\n", 9);
  EXPECT_TRUE(entries.empty());
}

TEST(JournalDetectTest, AServiceIsToldFromAShellThatInheritedItsVariables) {
  // Started by systemd: JOURNAL_STREAM names our standard error (or output).
  EXPECT_TRUE(journal::UnderSystemd("8:1234", "abc", 0, 0, 8, 1234, false));
  EXPECT_TRUE(journal::UnderSystemd("8:1234", nullptr, 8, 1234, 5, 6, false));
  // A daemon started from a terminal that runs as a service inherits both
  // variables, but its streams are the terminal's.
  EXPECT_FALSE(journal::UnderSystemd("8:1234", "abc", 5, 6, 5, 6, true));
  EXPECT_FALSE(journal::UnderSystemd("8:1234", "abc", 0, 0, 0, 0, false));
  EXPECT_FALSE(journal::UnderSystemd("8:1234x", "abc", 8, 1234, 8, 1234, false));
  // A service whose output goes elsewhere than the journal.
  EXPECT_TRUE(journal::UnderSystemd(nullptr, "abc", 5, 6, 5, 6, false));
  EXPECT_FALSE(journal::UnderSystemd(nullptr, "abc", 5, 6, 5, 6, true));
  EXPECT_FALSE(journal::UnderSystemd(nullptr, nullptr, 5, 6, 5, 6, false));
  EXPECT_FALSE(journal::UnderSystemd("", "", 5, 6, 5, 6, false));
}

}  // namespace
