// The monitor against the real daemon and the reference server on loopback:
// what its plain and JSON outputs carry, how its keys and signals reach the
// daemon, and the one-line answers to configurations that cannot work.
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <filesystem>

#include "monitor-harness.h"

using montest::MonitorRun;
using montest::ServerRun;

namespace {

// Lines from `from` on that contain `needle`.
int Count(const std::vector<std::string>& lines, const std::string& needle, size_t from = 0,
          size_t to = SIZE_MAX) {
  int n = 0;
  for (size_t i = from; i < std::min(to, lines.size()); ++i)
    if (lines[i].find(needle) != std::string::npos) ++n;
  return n;
}

// The status the daemon recorded for `path` in its file status database (-1
// when there is no row).
int FileStatus(const std::string& db, const std::string& path) {
  sqlite3* h = nullptr;
  int status = -1;
  if (sqlite3_open_v2(db.c_str(), &h, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_busy_timeout(h, 1000);
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(h, "SELECT syncStatus FROM fstatinfo WHERE path = ?", -1, &st,
                           nullptr) == SQLITE_OK) {
      sqlite3_bind_text(st, 1, path.c_str(), -1, SQLITE_TRANSIENT);
      if (sqlite3_step(st) == SQLITE_ROW) status = sqlite3_column_int(st, 0);
    }
    sqlite3_finalize(st);
  }
  sqlite3_close(h);
  return status;
}

class MonitorBlackBoxTest : public ::testing::Test {
 protected:
  void SetUp() override {
    session = "monitor-" + std::to_string(::getpid()) + "-" +
              ::testing::UnitTest::GetInstance()->current_test_info()->name();
    // The monitor shows a session as its first characters only.
    label = "moni***";
    ASSERT_TRUE(server.Start(session));
    sb.config()["session"] = session;
    sb.config()["port"] = std::to_string(server.port());
    sb.WriteConfig();
    // The log lines that show an orderly shutdown, a reload and the status
    // are INFO lines.
    sb.WriteLevels({{"client_debug", 6}, {"sysinfo_mgr", 6}, {"client_task_mgr_debug", 6}});
  }
  std::string Dump() { return "monitor output:\n" + mon.Text() + "\ndaemon log:\n" + sb.ReadLog(); }

  std::string session;
  std::string label;
  ServerRun server;
  sftest::DaemonSandbox sb;
  MonitorRun mon;
};

TEST_F(MonitorBlackBoxTest, PlainLinesFollowTheDaemonThroughPauseResumeAndQuit) {
  ASSERT_TRUE(mon.Start({"--plain", sb.ConfigFile()}));
  ASSERT_GE(mon.WaitLine("[" + label + "] session " + label + " registered"), 0) << Dump();
  EXPECT_GE(mon.WaitLine("the server address 127.0.0.1:" + std::to_string(server.port()) +
                         " accepts connections"),
            0)
      << Dump();
  // The start-up scan of the empty folder ends idle.
  const int idle = mon.WaitLine("[" + label + "] status idle");
  ASSERT_GE(idle, 0) << Dump();

  ASSERT_TRUE(mon.proc().WriteStdin("p"));
  const int paused = mon.WaitLine("asked the daemon to pause", idle);
  ASSERT_GE(paused, 0) << Dump();
  // The daemon reports no pause on the UI port; its log shows when the key
  // has taken effect.
  ASSERT_TRUE(sftest::WaitFor([&] {
    return sb.ReadLog().find("TaskManager: now 12") != std::string::npos;
  })) << Dump();
  // A file made while paused is queued (marked syncing) but not sent...
  sftest::WriteFile(sb.Root() + "/made-while-paused.txt", "x");
  ASSERT_TRUE(sftest::WaitFor([&] {
    return FileStatus(sb.DbDir() + "/file-status.sqlite", sb.Root() + "/made-while-paused.txt") ==
           2;
  })) << Dump();
  EXPECT_FALSE(sftest::PathExists(server.Share() + "/made-while-paused.txt"));
  ASSERT_TRUE(mon.proc().WriteStdin("r"));
  const int resumed = mon.WaitLine("asked the daemon to resume", paused);
  ASSERT_GE(resumed, 0) << Dump();
  // ...until the resume, which finds the work waiting.
  const int syncing = mon.WaitLine("[" + label + "] status syncing", resumed);
  ASSERT_GE(syncing, 0) << Dump();
  EXPECT_EQ(
      Count(mon.Lines(), "] status ", static_cast<size_t>(resumed), static_cast<size_t>(syncing)),
      0)
      << "the first status after the resume must be syncing\n"
      << Dump();
  // The file travels only now, and the monitor shows it finish.
  const int synced = mon.WaitLine(" /made-while-paused.txt", resumed);
  ASSERT_GE(synced, 0) << Dump();
  EXPECT_EQ(Count(mon.Lines(), "/made-while-paused.txt", 0, static_cast<size_t>(resumed)), 0)
      << Dump();
  EXPECT_EQ(sftest::ReadFile(server.Share() + "/made-while-paused.txt"), "x");

  // l: the daemon rereads the server address, and the monitor checks it.
  const int dead = sftest::UnusedLoopbackPort();
  sb.config()["port"] = std::to_string(dead);
  sb.WriteConfig();
  ASSERT_TRUE(mon.proc().WriteStdin("l"));
  EXPECT_GE(mon.WaitLine("asked the daemon to reload the server address (127.0.0.1:" +
                             std::to_string(dead) + ") and resume",
                         syncing),
            0)
      << Dump();
  EXPECT_GE(
      mon.WaitLine("error: cannot reach the server at 127.0.0.1:" + std::to_string(dead), syncing),
      0)
      << Dump();
  EXPECT_TRUE(sftest::WaitFor([&] {
    return sb.ReadLog().find("port: " + std::to_string(dead)) != std::string::npos;
  })) << Dump();

  ASSERT_TRUE(mon.proc().WriteStdin("q"));
  EXPECT_EQ(mon.proc().Wait(std::chrono::seconds(60)), 0) << Dump();
  const auto lines = mon.Lines();
  EXPECT_EQ(Count(lines, "[" + label + "] the daemon says it is stopping"), 1) << Dump();
  EXPECT_EQ(Count(lines, "the daemon stopped cleanly (exit status 0)"), 1) << Dump();
  EXPECT_NE(sb.ReadLog().find("main thread down"), std::string::npos);
  // Every line is one time-stamped line.
  for (const std::string& l : lines) EXPECT_EQ(l.size() > 20 ? l[4] : ' ', '-') << l;
  // The session is the credential the server accepts; the output, kept in
  // journals and pasted into reports, never holds it.
  EXPECT_EQ(mon.Text().find(session), std::string::npos) << Dump();
}

TEST_F(MonitorBlackBoxTest, JsonLinesCarryTheSessionAndStatusAndSigtermStopsBoth) {
  ASSERT_TRUE(mon.Start({"--json", sb.ConfigFile()}));
  ASSERT_GE(mon.WaitLine("\"type\":\"session\",\"session\":\"" + label + "\""), 0) << Dump();
  const int idle = mon.WaitLine("\"type\":\"status\",\"status\":\"idle\",\"value\":11");
  ASSERT_GE(idle, 0) << Dump();
  sftest::WriteFile(sb.Root() + "/r\xC3\xA9sum\xC3\xA9.txt", "cv");
  ASSERT_GE(mon.WaitLine("\"type\":\"file\",\"action\":\"", idle), 0) << Dump();
  EXPECT_GE(mon.WaitLine("\"path\":\"/r\xC3\xA9sum\xC3\xA9.txt\"}", idle), 0) << Dump();
  mon.proc().Signal(SIGTERM);
  EXPECT_EQ(mon.proc().Wait(std::chrono::seconds(60)), 0) << Dump();
  const auto lines = mon.Lines();
  ASSERT_FALSE(lines.empty());
  for (const std::string& l : lines) EXPECT_TRUE(montest::JsonCheck::Valid(l)) << l;
  EXPECT_EQ(Count(lines, "\"type\":\"goodbye\""), 1) << Dump();
  EXPECT_NE(lines.back().find("\"event\":\"exit\",\"value\":0"), std::string::npos) << Dump();
  EXPECT_NE(sb.ReadLog().find("main thread down"), std::string::npos);
  EXPECT_EQ(mon.Text().find(session), std::string::npos) << Dump();
}

TEST_F(MonitorBlackBoxTest, AnUnreachableServerIsOneLineNamingWhatToChange) {
  const int dead = sftest::UnusedLoopbackPort();
  sb.config()["port"] = std::to_string(dead);
  sb.WriteConfig();
  ASSERT_TRUE(mon.Start({"--plain", sb.ConfigFile()}));
  const int i = mon.WaitLine("error: cannot reach the server at 127.0.0.1:" + std::to_string(dead));
  ASSERT_GE(i, 0) << Dump();
  const std::string line = mon.Lines()[static_cast<size_t>(i)];
  EXPECT_NE(line.find("Connection refused"), std::string::npos) << line;
  EXPECT_NE(line.find("`server`/`port` in " + sb.ConfigFile()), std::string::npos) << line;
  ASSERT_TRUE(mon.proc().WriteStdin("q"));
  EXPECT_EQ(mon.proc().Wait(std::chrono::seconds(60)), 0) << Dump();
}

TEST_F(MonitorBlackBoxTest, AWrongSessionIsOneLineNamingWhatToChange) {
  sb.config()["session"] = session + "-wrong";
  sb.WriteConfig();
  ASSERT_TRUE(mon.Start({"--plain", sb.ConfigFile()}));
  EXPECT_GE(mon.WaitLine("] error -6 Authentication failure: the server refused the session \"" +
                         label + "\": correct `session` in " + sb.ConfigFile() + " and restart"),
            0)
      << Dump();
  ASSERT_TRUE(mon.proc().WriteStdin("q"));
  EXPECT_EQ(mon.proc().Wait(std::chrono::seconds(60)), 0) << Dump();
}

// The sample configuration and filter that `cmake --install` ships, set up
// as docs/usage.md (SYSTEMD) says, with only session, server and port
// filled in.
TEST_F(MonitorBlackBoxTest, TheShippedSamplesRunAsTheManualSetsThemUp) {
  sftest::TempDir home;
  for (const char* d : {".config", ".config/syncfolder", ".local", ".local/share",
                        ".local/share/syncfolder", ".local/share/syncfolder/conf", "Sync"})
    ASSERT_EQ(::mkdir(home.Sub(d).c_str(), 0755), 0);
  std::string conf = sftest::ReadFile(std::string(SF_SOURCE_DIR) + "/packaging/client.conf");
  for (size_t at; (at = conf.find("@HOME@")) != std::string::npos;)
    conf.replace(at, 6, home.path());
  for (const auto& kv : std::map<std::string, std::string>{
           {"session = \"CHANGE-ME\"", "session = \"" + session + "\""},
           {"port = 6690", "port = " + std::to_string(server.port())}}) {
    const size_t at = conf.find(kv.first);
    ASSERT_NE(at, std::string::npos) << kv.first;
    conf.replace(at, kv.first.size(), kv.second);
  }
  const std::string config = home.Sub(".config/syncfolder/client.conf");
  sftest::WriteFile(config, conf);
  ASSERT_EQ(::chmod(config.c_str(), 0600), 0);
  sftest::WriteFile(home.Sub(".local/share/syncfolder/conf/filter"),
                    sftest::ReadFile(std::string(SF_SOURCE_DIR) + "/packaging/filter"));

  ASSERT_TRUE(mon.Start({"--plain", config}));
  ASSERT_GE(mon.WaitLine("status idle"), 0) << mon.Text();
  EXPECT_EQ(mon.Text().find("] error "), std::string::npos) << mon.Text();
  ASSERT_TRUE(mon.proc().WriteStdin("q"));
  EXPECT_EQ(mon.proc().Wait(std::chrono::seconds(60)), 0) << mon.Text();
  EXPECT_TRUE(sftest::PathExists(home.Sub(".local/share/syncfolder/db/file-status.sqlite")));
  EXPECT_TRUE(sftest::PathExists(home.Sub(".local/share/syncfolder/log/syncfolder_c.log")));
}

// Problems found before anything starts: exit status, one line, no daemon.
TEST_F(MonitorBlackBoxTest, ConfigurationsThatCannotWorkAreOneLineAndStartNothing) {
  struct Case {
    const char* name;
    std::function<void()> setup;
    int exit;
    std::vector<std::string> says;
    std::map<std::string, std::string> env;
  };
  std::string busy_port;
  const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(a);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0);
    ASSERT_EQ(::listen(listener, 1), 0);
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len), 0);
    busy_port = std::to_string(ntohs(a.sin_port));
  }
  const std::map<std::string, std::string> any_port = {{"SYNCFOLDER_UI_PORT", "0"}};
  const std::map<std::string, std::string> good = sb.config();
  Case cases[] = {
      {"missing sync folder after a first start",
       [&] {
         sb.config()["watch"] = sb.Root() + "/not-there";
         sb.WriteConfig();
         std::filesystem::create_directories(sb.DbDir());
         sftest::WriteFile(sb.DbDir() + "/event-db.sqlite", "");
       },
       3,
       {"the sync folder " + sb.Root() + "/not-there does not exist",
        "correct `watch` in " + sb.ConfigFile()},
       any_port},
      {"database inside the sync folder",
       [&] {
         sb.config()["db_loc"] = sb.Root() + "/db";
         sb.WriteConfig();
       },
       3,
       {"lies inside the sync folder", "move `db_loc`"},
       any_port},
      {"no filter file",
       [&] { ::unlink(sb.FilterFile().c_str()); },
       3,
       {"no filter file at "},
       any_port},
      {"malformed line",
       [&] { sftest::WriteFile(sb.ConfigFile(), "# comment\nwatch = two words\n"); },
       3,
       {"line 2 is not `key = value`"},
       any_port},
      {"UI port taken",
       [] {},
       4,
       {"the UI port " + busy_port + " is already in use", "SYNCFOLDER_UI_PORT"},
       {{"SYNCFOLDER_UI_PORT", busy_port}}},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.name);
    sb.config() = good;
    sb.WriteDefaultFilter();
    sb.WriteConfig();
    c.setup();
    MonitorRun run;
    ASSERT_TRUE(run.Start({"--plain", sb.ConfigFile()}, c.env));
    EXPECT_EQ(run.proc().Wait(), c.exit);
    const auto lines = run.Lines();
    ASSERT_EQ(lines.size(), 1u) << run.Text();
    for (const std::string& s : c.says) EXPECT_NE(lines[0].find(s), std::string::npos) << lines[0];
    EXPECT_NE(lines[0].find("[monitor] error: "), std::string::npos) << lines[0];
  }
  ::close(listener);
  EXPECT_FALSE(sftest::PathExists(sb.LogFile())) << "a daemon was started";
}

}  // namespace
