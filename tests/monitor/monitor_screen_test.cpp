// The live screen on a pseudo-terminal of fixed size: layout, long paths
// shortened in the middle and never wrapped, non-ASCII names at their true
// width, a resize, and the terminal given back on quit.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <cstring>

#include "fakes/scripted-peer.h"
#include "monitor-harness.h"
#include "vt-screen.h"

using montest::FakeDaemon;
using montest::VtScreen;

extern char** environ;

namespace {

// A child on a pseudo-terminal, with the terminal's output fed to a VtScreen.
class PtyRun {
 public:
  PtyRun(int rows, int cols) : m_screen(rows, cols) {}
  ~PtyRun() {
    if (m_pid > 0 && !Exited()) {
      ::kill(m_pid, SIGKILL);
      ::waitpid(m_pid, nullptr, 0);
    }
    if (m_master >= 0) ::close(m_master);
  }

  bool Start(const std::vector<std::string>& args, int rows, int cols) {
    m_master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_master < 0 || ::grantpt(m_master) != 0 || ::unlockpt(m_master) != 0) return false;
    const std::string slave = ::ptsname(m_master);
    SetSize(rows, cols);
    std::vector<std::string> env_s;
    for (char** e = environ; *e; ++e)
      if (std::strncmp(*e, "TERM=", 5) != 0 && std::strncmp(*e, "SYNCFOLDER_UI_PORT=", 19) != 0)
        env_s.emplace_back(*e);
    env_s.push_back("TERM=xterm");
    env_s.push_back("SYNCFOLDER_UI_PORT=0");
    std::vector<char*> envp;
    for (auto& s : env_s) envp.push_back(&s[0]);
    envp.push_back(nullptr);
    std::vector<std::string> a = args;
    std::vector<char*> argv;
    for (auto& s : a) argv.push_back(&s[0]);
    argv.push_back(nullptr);
    const pid_t parent = ::getpid();
    m_pid = ::fork();
    if (m_pid < 0) return false;
    if (m_pid == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (::getppid() != parent) _exit(127);
      ::setsid();
      const int fd = ::open(slave.c_str(), O_RDWR);
      if (fd < 0) _exit(127);
      ::ioctl(fd, TIOCSCTTY, 0);
      ::dup2(fd, 0);
      ::dup2(fd, 1);
      ::dup2(fd, 2);
      ::execve(argv[0], argv.data(), envp.data());
      _exit(127);
    }
    ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK);
    return true;
  }
  void SetSize(int rows, int cols) {
    struct winsize ws {};
    ws.ws_row = static_cast<unsigned short>(rows);
    ws.ws_col = static_cast<unsigned short>(cols);
    ::ioctl(m_master, TIOCSWINSZ, &ws);
  }
  void Pump() {
    char buf[8192];
    for (;;) {
      const ssize_t n = ::read(m_master, buf, sizeof(buf));
      if (n <= 0) return;  // EAGAIN, or EIO once the child is gone
      m_screen.Feed(std::string(buf, static_cast<size_t>(n)));
    }
  }
  bool Until(const std::function<bool()>& cond) {
    return sftest::WaitFor([&] {
      Pump();
      return cond();
    });
  }
  void Keys(const std::string& k) { (void)!::write(m_master, k.data(), k.size()); }
  bool Exited() {
    if (m_status >= 0) return true;
    int st = 0;
    if (::waitpid(m_pid, &st, WNOHANG) != m_pid) return false;
    m_status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    return true;
  }
  int status() const { return m_status; }
  VtScreen& screen() { return m_screen; }
  // The row holding `needle`, or -1.
  int Find(const std::string& needle, int rows) {
    for (int r = 0; r < rows; ++r)
      if (m_screen.Row(r).find(needle) != std::string::npos) return r;
    return -1;
  }

 private:
  VtScreen m_screen;
  int m_master = -1;
  pid_t m_pid = -1;
  int m_status = -1;
};

std::string Rtrim(std::string s) {
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return s;
}

const std::string kSession = "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E-session";  // 日本語-session
const std::string kReport = "\xE6\x9C\x80\xE7\xB5\x82\xE5\xA0\xB1\xE5\x91\x8A.txt";  // 最終報告.txt
const std::string kPhoto = "/\xE5\x86\x99\xE7\x9C\x9F/\xE5\xA4\x8F.jpg";  // /写真/夏.jpg

TEST(MonitorScreenTest, LayoutLongPathsAndWideNamesFitTheTerminalWithoutWrapping) {
  ASSERT_NE(std::setlocale(LC_CTYPE, "C.UTF-8"), nullptr);
  sftest::DaemonSandbox sb;
  sb.config()["session"] = kSession;
  sb.config()["port"] = "7";
  sb.WriteConfig();

  PtyRun pty(24, 80);
  ASSERT_TRUE(
      pty.Start({sftest::BinPath("syncfolder-monitor"), "--attach", sb.ConfigFile()}, 24, 80));
  ASSERT_TRUE(pty.Until([&] { return pty.Find("UI port ", 24) >= 0; })) << pty.screen().All();
  const std::string where = pty.screen().Row(pty.Find("UI port ", 24));
  const int port = std::atoi(where.c_str() + where.find("UI port ") + 8);
  ASSERT_GT(port, 0);

  std::string long_path;
  for (int i = 0; i < 8; ++i) long_path += "/very-long-directory-name-" + std::to_string(i);
  long_path += "/" + kReport;
  FakeDaemon d(port);
  ASSERT_TRUE(d.ok());
  ASSERT_TRUE(d.Send(montest::Session(kSession) + montest::Status(10) +
                     montest::FileEvent(1, long_path) + montest::FileEvent(3, kPhoto) +
                     montest::FileEvent(2, "/evil\x1b[2J\xE2\x80\xAE.txt") + montest::Error(-2)));
  ASSERT_TRUE(pty.Until([&] { return pty.Find("evil", 24) >= 0 && pty.Find("errors", 24) >= 0; }))
      << pty.screen().All();

  VtScreen& s = pty.screen();
  EXPECT_EQ(s.faults(), "") << s.All();
  EXPECT_TRUE(s.alternate());
  // The session is the server's credential: only its start is shown.
  EXPECT_EQ(s.Row(0).find(" syncfolder-monitor  \xE6\x97\xA5\xE6\x9C\xAC***  "), 0u) << s.Row(0);
  EXPECT_EQ(s.All().find("-session"), std::string::npos) << s.All();
  EXPECT_NE(s.Row(0).find("  SYNCING  "), std::string::npos) << s.Row(0);
  EXPECT_NE(s.Row(1).find("server 127.0.0.1:7  folder " + sb.Root()), std::string::npos)
      << s.Row(1);
  EXPECT_NE(s.Row(3).find("1 created  1 modified  1 removed  0 renamed  2 errors"),
            std::string::npos)
      << s.All();

  // The long path keeps its start and its file name, cut in the middle to
  // the last column exactly (a wide character may leave one column free).
  const int long_row = pty.Find(kReport, 24);
  ASSERT_GE(long_row, 0) << s.All();
  const std::string row = Rtrim(s.Row(long_row));
  EXPECT_NE(row.find("created  /very-long-directory-name-0/"), std::string::npos) << row;
  EXPECT_NE(row.find("\xE2\x80\xA6"), std::string::npos) << row;
  EXPECT_EQ(row.compare(row.size() - kReport.size(), kReport.size(), kReport), 0) << row;
  EXPECT_NE(s.Row(long_row + 0).find("created"), std::string::npos);
  // Newest first: the removal, the photo, then the long path.
  const int photo_row = pty.Find(kPhoto, 24);
  const int evil_row = pty.Find("evil", 24);
  EXPECT_EQ(photo_row, long_row - 1);
  EXPECT_EQ(evil_row, long_row - 2);
  EXPECT_NE(s.Row(evil_row).find("removed  /evil?[2J?.txt"), std::string::npos) << s.Row(evil_row);
  // The error with its advice (wrapped over two rows by the monitor).
  const int err_row = pty.Find("-2 I/O error: cannot reach the server at 127.0.0.1:7", 24);
  EXPECT_GE(err_row, 0) << s.All();
  EXPECT_NE(s.Row(23).find(" q quit   (attached"), std::string::npos) << s.Row(23);

  // A smaller window: everything is laid out again for it.
  pty.SetSize(12, 50);
  s.Resize(12, 50);
  ASSERT_TRUE(pty.Until([&] { return pty.Find(" q quit", 12) == 11; })) << s.All();
  EXPECT_EQ(s.faults(), "") << s.All();
  EXPECT_GE(pty.Find("SYNCING", 12), 0) << s.All();

  // q gives the terminal back with the outcome on the normal screen.
  pty.Keys("q");
  ASSERT_TRUE(pty.Until([&] { return pty.Exited(); }));
  pty.Pump();
  EXPECT_EQ(pty.status(), 0);
  EXPECT_FALSE(s.alternate());
  EXPECT_GE(pty.Find("syncfolder-monitor: syncing; 1 created, 1 modified", 12), 0) << s.All();
}

}  // namespace
