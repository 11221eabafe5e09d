// Starts the real daemon and checks what another program sees: exit status,
// log lines and what happens to its standard input.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <sstream>
#include <thread>
#include <vector>

#include "fakes/daemon-runner.h"
#include "fakes/sync-cluster.h"
#include "lib/base/sqlite-util.h"

namespace {

using namespace std::chrono_literals;
using sftest::ChildProcess;
using sftest::DaemonSandbox;
using sftest::WaitFor;

constexpr char kStarted[] = "main thread starts receiving events";

// True when some line of `log` reads "Mon DD HH:MM:SS " + head + a decimal
// number + tail, as "Dec 07 10:21:33 [INFO] client(123): text".
bool HasLine(const std::string& log, const std::string& head, const std::string& tail) {
  std::istringstream in(log);
  std::string line;
  const std::string stamp = "Aaa 00 00:00:00 ";
  while (std::getline(in, line)) {
    if (line.size() < stamp.size() + head.size() + tail.size() + 1) continue;
    bool ok = true;
    for (size_t i = 0; i < stamp.size() && ok; ++i) {
      const unsigned char c = static_cast<unsigned char>(line[i]);
      ok = stamp[i] == '0'                      ? std::isdigit(c) != 0
           : stamp[i] == 'A' || stamp[i] == 'a' ? std::isalpha(c) != 0
                                                : c == static_cast<unsigned char>(stamp[i]);
    }
    if (!ok || line.compare(stamp.size(), head.size(), head) != 0) continue;
    size_t p = stamp.size() + head.size();
    const size_t digits = p;
    while (p < line.size() && std::isdigit(static_cast<unsigned char>(line[p]))) ++p;
    if (p > digits && line.substr(p) == tail) return true;
  }
  return false;
}

size_t Count(const std::string& text, const std::string& needle) {
  size_t n = 0;
  for (size_t p = text.find(needle); p != std::string::npos; p = text.find(needle, p + 1)) ++n;
  return n;
}

// The daemon's standard output and error, which must hold exactly one line,
// its refusal: "syncfolder: error: " and what is wrong. Empty otherwise.
std::string OnlyRefusal(const DaemonSandbox& box) {
  const std::string out = sftest::ReadFile(box.OutputFile());
  const std::string head = "syncfolder: error: ";
  if (out.compare(0, head.size(), head) != 0 || Count(out, "\n") != 1 || out.back() != '\n')
    return "";
  return out;
}

class DaemonTest : public ::testing::Test {
 protected:
  void Start() {
    box.WriteLevels({{"client_debug", 6}, {"sysinfo_mgr", 6}});
    box.WriteConfig();
    ASSERT_TRUE(box.StartDaemon(proc));
    ASSERT_TRUE(WaitFor([&] { return box.ReadLog().find(kStarted) != std::string::npos; }))
        << box.ReadLog() << sftest::ReadFile(box.OutputFile());
  }
  DaemonSandbox box;
  ChildProcess proc;
};

TEST_F(DaemonTest, LogsStartInTheDocumentedFormatAndExitsZeroOnByteOne) {
  Start();
  ASSERT_TRUE(proc.WriteStdin("\x01"));
  EXPECT_EQ(proc.Wait(), 0);
  std::string log = box.ReadLog();
  EXPECT_TRUE(HasLine(log, "[INFO] client(", "): main thread starts receiving events")) << log;
  EXPECT_NE(log.find("main thread down"), std::string::npos);
}

TEST_F(DaemonTest, LeftoversOfAKilledRunInTheWorkingDirectoryAreRemovedAtStart) {
  const std::string work = box.Root() + "/.ZentavoWorkingDirectory";
  ASSERT_EQ(::mkdir(work.c_str(), 0755), 0);
  ASSERT_EQ(::mkdir((work + "/folder on its way out").c_str(), 0755), 0);
  sftest::WriteFile(work + "/folder on its way out/f", "x");
  sftest::WriteFile(work + "/sfstaged", "half a download");
  Start();
  EXPECT_FALSE(sftest::PathExists(work + "/sfstaged"));
  EXPECT_FALSE(sftest::PathExists(work + "/folder on its way out"));
  EXPECT_TRUE(sftest::PathExists(work));
  ASSERT_TRUE(proc.WriteStdin("\x01"));
  EXPECT_EQ(proc.Wait(), 0);
}

TEST_F(DaemonTest, SigtermWhileBlockedOnStdinExitsZero) {
  Start();
  proc.Signal(SIGTERM);
  EXPECT_EQ(proc.Wait(), 0);
}

// What cannot work is refused before anything is made: one line on standard
// error saying what is wrong and what to do, and an exit status per kind.
// None of these may run on made-up defaults or create the folders it names.
TEST_F(DaemonTest, StartUpRefusalsAreOneLineWithTheirOwnStatusAndMakeNothing) {
  struct Case {
    const char* name;
    std::function<void(DaemonSandbox&)> setup;
    int status;
    std::vector<std::string> says;
  };
  auto set = [](std::map<std::string, std::string> kv) {
    return [kv](DaemonSandbox& b) {
      for (const auto& e : kv) b.config()[e.first] = e.second;
      b.WriteConfig();
    };
  };
  const Case cases[] = {
      {"missing configuration",
       [](DaemonSandbox& b) { ::unlink(b.ConfigFile().c_str()); },
       3,
       {"cannot use the configuration ",
        "client.conf: No such file or directory; name an "
        "existing configuration file"}},
      {"malformed line",
       [](DaemonSandbox& b) {
         sftest::WriteFile(b.ConfigFile(),
                           sftest::ReadFile(b.ConfigFile()) + "# fine\nport 6690\n");
       },
       3,
       {"client.conf: line 7 is not `key = value`; fix it"}},
      {"no sync root",
       [](DaemonSandbox& b) {
         b.config().erase("watch");
         b.WriteConfig();
       },
       3,
       {"names no sync folder: add a line `watch = "}},
      {"port out of range",
       set({{"port", "65536"}}),
       3,
       {"`port = 65536` is not a port: write a number from 1 to 65535"}},
      {"TLS keys with protocol 3",
       set({{"proto_version", "3"}, {"UseSSL", "true"}}),
       3,
       {"sets UseSSL, but protocol 3"}},
      {"TLS checks without TLS",
       set({{"SSLCAFile", "/ca.pem"}, {"SSLCertPin", "ab"}}),
       3,
       {"sets SSLCAFile, SSLCertPin, which check the server's certificate only with UseSSL = "
        "\"true\""}},
      {"sync root missing after a first start",
       [](DaemonSandbox& b) {
         ASSERT_EQ(::rmdir(b.Root().c_str()), 0);
         std::filesystem::create_directories(b.DbDir());
         sftest::WriteFile(b.DbDir() + "/event-db.sqlite", "");
       },
       5,
       {"the sync folder ", "/sync does not exist: create it"}},
      {"sync root a file",
       [](DaemonSandbox& b) {
         ASSERT_EQ(::rmdir(b.Root().c_str()), 0);
         sftest::WriteFile(b.Root(), "not a folder");
       },
       5,
       {"/sync is not a folder: correct `watch` in "}},
      {"database folder inside the sync root, through a link",
       [](DaemonSandbox& b) {
         ASSERT_EQ(::symlink(b.Root().c_str(), b.dir().Sub("root-link").c_str()), 0);
         b.config()["db_loc"] = b.dir().Sub("root-link/state/db");
         b.WriteConfig();
       },
       5,
       {"lies inside the sync folder", "move `db_loc`"}},
      {"database folder cannot be made",
       [](DaemonSandbox& b) {
         sftest::WriteFile(b.dir().Sub("data/file"), "x");
         b.config()["db_loc"] = b.dir().Sub("data/file/db");
         b.WriteConfig();
       },
       5,
       {"/data/file/db cannot be made: ", "/data/file is not a folder"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DaemonSandbox b;
    b.WriteConfig();
    c.setup(b);
    const sftest::Tree before = sftest::ReadTree(b.dir().path());
    ChildProcess p;
    ASSERT_TRUE(b.StartDaemon(p));
    EXPECT_EQ(p.Wait(), c.status);
    const std::string line = OnlyRefusal(b);
    EXPECT_FALSE(line.empty()) << sftest::ReadFile(b.OutputFile());
    for (const std::string& s : c.says) EXPECT_NE(line.find(s), std::string::npos) << line;
    // Nothing made: no database, no log, no folder (the output file is the
    // test's own).
    ::unlink(b.OutputFile().c_str());
    EXPECT_EQ(sftest::DiffTrees(before, sftest::ReadTree(b.dir().path()), "before", "after"), "");
  }
}

TEST_F(DaemonTest, BrokenLocalStateRefusesToStart) {
  // Each store the engine cannot work without, made unopenable in turn: a
  // folder where the database file should be, a file where the signature
  // folder should be.
  for (const char* broken : {"event-db.sqlite", "file-status.sqlite", "sign"}) {
    DaemonSandbox b;
    if (std::string(broken) == "sign") {
      sftest::WriteFile(b.DbDir() + "/sign", "not a folder");
    } else {
      ASSERT_EQ(::mkdir((b.DbDir() + "/" + broken).c_str(), 0755), 0);
    }
    b.WriteConfig();
    ChildProcess p;
    ASSERT_TRUE(b.StartDaemon(p));
    EXPECT_EQ(p.Wait(), 5) << broken;
    const std::string log = b.ReadLog();
    EXPECT_NE(log.find("[ERROR] client("), std::string::npos) << broken << "\n" << log;
    // One line that names the store and sends the user to the log.
    const std::string line = OnlyRefusal(b);
    EXPECT_NE(line.find(b.DbDir() + "/" + broken), std::string::npos) << broken << ": " << line;
    EXPECT_NE(line.find("(the log " + b.DbDir() + "/../log/syncfolder_c.log says why)"),
              std::string::npos)
        << line;
    EXPECT_EQ(log.find(kStarted), std::string::npos) << broken << "\n" << log;
  }
}

TEST_F(DaemonTest, EverythingTheDaemonMakesIsItsUsersAlone) {
  // A user's usual umask lets everybody read new files; the databases hold
  // what was synced and the log names every path. A first start makes the
  // sync folder it is given, too.
  ASSERT_EQ(::rmdir(box.Root().c_str()), 0);
  const mode_t before = ::umask(022);
  Start();
  ::umask(before);
  std::vector<std::string> seen, open_to_others;
  std::function<void(const std::string&)> walk = [&](const std::string& path) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) return;
    seen.push_back(path);
    if (st.st_mode & 077) open_to_others.push_back(path);
    if (!S_ISDIR(st.st_mode)) return;
    DIR* d = ::opendir(path.c_str());
    if (d == nullptr) return;
    while (struct dirent* e = ::readdir(d))
      if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
        walk(path + "/" + e->d_name);
    ::closedir(d);
  };
  DIR* db = ::opendir(box.DbDir().c_str());
  ASSERT_NE(db, nullptr);
  while (struct dirent* e = ::readdir(db))
    if (e->d_name[0] != '.') walk(box.DbDir() + "/" + e->d_name);
  ::closedir(db);
  walk(box.LogFile());
  walk(box.Root());
  for (const char* made : {"/event-db.sqlite", "/file-status.sqlite", "/client.lock", "/sign"})
    EXPECT_NE(std::find(seen.begin(), seen.end(), box.DbDir() + made), seen.end()) << made;
  EXPECT_NE(std::find(seen.begin(), seen.end(), box.LogFile()), seen.end());
  std::string list;
  for (const std::string& p : open_to_others) list += p + "\n";
  EXPECT_TRUE(open_to_others.empty()) << list;
  ASSERT_TRUE(proc.WriteStdin("\x01"));
  EXPECT_EQ(proc.Wait(), 0);
}

TEST_F(DaemonTest, LogFileThatCannotBeOpenedIsReportedOnStandardError) {
  const std::string log_dir = box.dir().Sub("data/log");
  ASSERT_EQ(std::system(("rm -rf '" + log_dir + "'").c_str()), 0);
  sftest::WriteFile(log_dir, "a file of the user's");
  box.WriteConfig();
  ASSERT_TRUE(box.StartDaemon(proc));
  // The level file cannot be read either, so there is no start line to wait
  // for; the command waits in the pipe until the loop reads it.
  ASSERT_TRUE(proc.WriteStdin("\x01"));
  EXPECT_EQ(proc.Wait(), 0);
  EXPECT_NE(sftest::ReadFile(box.OutputFile()).find("cannot open the log file"), std::string::npos);
  EXPECT_EQ(sftest::ReadFile(log_dir), "a file of the user's");
}

TEST_F(DaemonTest, SigtermWhileStillReadingTheConfigurationStopsCleanly) {
  // The configuration is a pipe, so the daemon is known to be inside its
  // start-up (blocked reading it) when the signal is sent.
  box.WriteLevels({{"client_debug", 6}});
  box.WriteConfig();
  const std::string config = sftest::ReadFile(box.ConfigFile());
  ASSERT_EQ(::unlink(box.ConfigFile().c_str()), 0);
  ASSERT_EQ(::mkfifo(box.ConfigFile().c_str(), 0600), 0);
  ASSERT_TRUE(box.StartDaemon(proc));
  int fd = -1;
  // Opening the writing end without waiting succeeds once the reader is in.
  ASSERT_TRUE(WaitFor([&] {
    fd = ::open(box.ConfigFile().c_str(), O_WRONLY | O_NONBLOCK);
    return fd >= 0;
  }));
  proc.Signal(SIGTERM);
  ASSERT_EQ(::fcntl(fd, F_SETFL, 0), 0);
  ASSERT_EQ(::write(fd, config.data(), config.size()), static_cast<ssize_t>(config.size()));
  ::close(fd);
  EXPECT_EQ(proc.Wait(), 0);
  EXPECT_NE(box.ReadLog().find("main thread down"), std::string::npos) << box.ReadLog();
}

TEST_F(DaemonTest, SecondClientOnTheSameDatabaseFolderRefusesAndLeavesTheFirstAlone) {
  Start();
  ChildProcess second;
  ::unlink(box.OutputFile().c_str());
  ASSERT_TRUE(box.StartDaemon(second));
  EXPECT_EQ(second.Wait(), 4);
  EXPECT_NE(box.ReadLog().find("another client already runs"), std::string::npos) << box.ReadLog();
  EXPECT_NE(OnlyRefusal(box).find("another daemon already runs on the database folder " +
                                  box.DbDir() + ": stop it first"),
            std::string::npos)
      << sftest::ReadFile(box.OutputFile());
  // It must not have told other programs that the client stopped.
  {
    // Closed again before the first client stops: an open read would hold
    // up its last write.
    sqlite_util::Db db;
    ASSERT_EQ(db.OpenShared(box.DbDir() + "/watch-info.sqlite"), SQLITE_OK);
    sqlite_util::Stmt st;
    ASSERT_EQ(st.Prepare(db.get(), "SELECT daestatus FROM watchinfo"), SQLITE_OK);
    ASSERT_EQ(st.Step(), SQLITE_ROW);
    EXPECT_EQ(st.ColumnText(0), "1");
  }
  EXPECT_TRUE(proc.Running());
  ASSERT_TRUE(proc.WriteStdin("\x01"));
  EXPECT_EQ(proc.Wait(), 0);
}

TEST_F(DaemonTest, SigintExitsZero) {
  Start();
  proc.Signal(SIGINT);
  EXPECT_EQ(proc.Wait(), 0);
}

TEST_F(DaemonTest, UnknownByteIsLoggedAndWhiteSpaceIgnored) {
  Start();
  ASSERT_TRUE(proc.WriteStdin(" \t\n\v\f\rx"));
  ASSERT_TRUE(WaitFor([&] { return box.ReadLog().find("unknown command") != std::string::npos; }));
  ASSERT_TRUE(proc.WriteStdin("\x01"));
  EXPECT_EQ(proc.Wait(), 0);
  std::string log = box.ReadLog();
  EXPECT_EQ(Count(log, "unknown command"), 1u) << log;
  EXPECT_NE(log.find("[ERROR] client("), std::string::npos);
  EXPECT_TRUE(HasLine(log, "[ERROR] client(", "): unknown command: [120] ")) << log;
}

// Under nohup, `</dev/null` or a closed pipe the end of input is said once,
// not once a second for as long as the daemon runs; the daemon syncs on and
// a signal still stops it in order.
TEST_F(DaemonTest, EndOfStandardInputIsLoggedOnceAndTheDaemonSyncsOnUntilSigterm) {
  SF_WHOLE_SYSTEM_TEST();
  const sftest::TempDir server_dir;
  sftest::ServerProcess server(server_dir.path());
  ASSERT_TRUE(server.Start());
  box.config()["session"] = "s1";  // the one ServerProcess accepts
  box.config()["port"] = std::to_string(server.port());
  proc.StdinFromNull();
  Start();
  const std::string said = "standard input ended: no more commands are read from it";
  ASSERT_TRUE(WaitFor([&] { return box.ReadLog().find(said) != std::string::npos; }))
      << box.ReadLog();
  // Up and down: the download waits for the syncer's next round, which
  // gives a flood of lines the time to show.
  sftest::WriteFile(box.Root() + "/up.txt", "up");
  ASSERT_TRUE(WaitFor([&] { return sftest::ReadFile(server.Share() + "/up.txt") == "up"; }))
      << box.ReadLog();
  sftest::WriteFile(server_dir.Sub("down"), "down");
  ASSERT_TRUE(server.Hook({"put", "/down.txt", server_dir.Sub("down")}));
  ASSERT_TRUE(WaitFor([&] { return sftest::ReadFile(box.Root() + "/down.txt") == "down"; }))
      << box.ReadLog();
  proc.Signal(SIGTERM);
  EXPECT_EQ(proc.Wait(), 0);
  const std::string log = box.ReadLog();
  EXPECT_EQ(Count(log, said), 1u) << log;
  EXPECT_TRUE(
      HasLine(log, "[WARNING] client(", "): " + said + "; SIGINT or SIGTERM stops the daemon"))
      << log;
  EXPECT_EQ(Count(log, "unknown command"), 0u) << log;
  EXPECT_NE(log.find("main thread down"), std::string::npos) << log;
}

// The same conventions for every program: --help on standard output and
// status 0, --version with the version, a bad option as one line on
// standard error and status 2.
TEST(FrontDoorTest, EveryProgramAnswersHelpVersionAndBadOptionsAlike) {
  const sftest::TempDir dir;
  for (const std::string name :
       {"syncfolder", "syncfolder-monitor", "syncfolder-server", "syncfolder-relay"}) {
    SCOPED_TRACE(name);
    auto run = [&](const std::string& arg, std::string& out, std::string& err) {
      const std::string o = dir.Sub(name + arg + ".out"), e = dir.Sub(name + arg + ".err");
      const int rc = std::system(
          ("'" + sftest::BinPath(name) + "' " + arg + " >'" + o + "' 2>'" + e + "' </dev/null")
              .c_str());
      out = sftest::ReadFile(o);
      err = sftest::ReadFile(e);
      return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    };
    std::string out, err;
    EXPECT_EQ(run("--help", out, err), 0);
    EXPECT_EQ(out.compare(0, 7 + name.size() + 1, "usage: " + name + " "), 0) << out;
    EXPECT_NE(out.find("--version"), std::string::npos) << out;
    EXPECT_EQ(err, "");
    EXPECT_EQ(run("--version", out, err), 0);
    // "NAME X.Y.Z", and " (commit HASH)" when built from a git checkout.
    EXPECT_EQ(out.compare(0, name.size() + 1, name + " "), 0) << out;
    EXPECT_TRUE(out.size() > name.size() + 2 &&
                std::isdigit(static_cast<unsigned char>(out[name.size() + 1])))
        << out;
    EXPECT_EQ(Count(out, "\n"), 1u) << out;
    EXPECT_EQ(err, "");
    EXPECT_EQ(run("--no-such-option", out, err), 2);
    EXPECT_EQ(out, "");
    EXPECT_EQ(err,
              name + ": unknown option --no-such-option (" + name + " --help lists the options)\n");
  }
}

TEST_F(DaemonTest, NativeClientNeverReadsStdin) {
  box.config()["native_client"] = "true";
  Start();
  ASSERT_TRUE(proc.WriteStdin("x\x01"));
  // Nothing signals "did not read", so this watches for a while: the native
  // loop wakes once a second, and 1.5 s covers more than one round. A slow
  // machine can only make this pass wrongly, never fail wrongly.
  std::this_thread::sleep_for(1500ms);
  EXPECT_TRUE(proc.Running());
  EXPECT_EQ(proc.PendingStdinBytes(), 2);
  proc.Signal(SIGTERM);
  EXPECT_EQ(proc.Wait(), 0);
  EXPECT_EQ(box.ReadLog().find("unknown command"), std::string::npos);
}

TEST_F(DaemonTest, ReloadAndPauseCommandsKeepRunning) {
  Start();
  box.config()["server"] = "127.0.0.9";
  box.config()["port"] = "7777";
  box.WriteConfig();
  ASSERT_TRUE(proc.WriteStdin("\x03\x02\x04"));
  ASSERT_TRUE(WaitFor([&] { return box.ReadLog().find("Reload ip & port") != std::string::npos; }))
      << box.ReadLog();
  ASSERT_TRUE(proc.WriteStdin("\x01"));
  EXPECT_EQ(proc.Wait(), 0);
  std::string log = box.ReadLog();
  EXPECT_NE(log.find("ip: 127.0.0.9"), std::string::npos) << log;
  EXPECT_NE(log.find("port: 7777"), std::string::npos) << log;
}

}  // namespace
