#include "monitor/monitor-app.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <vector>

#include "lib/base/command-line.h"
#include "lib/base/errors.h"
#include "lib/base/handles.h"
#include "lib/net/tcp-owner.h"
#include "monitor/daemon-process.h"
#include "monitor/hints.h"
#include "monitor/monitor-config.h"
#include "monitor/monitor-state.h"
#include "monitor/progress.h"
#include "monitor/screen.h"
#include "monitor/server-probe.h"
#include "monitor/terminal.h"
#include "monitor/text.h"
#include "monitor/ui-decoder.h"

namespace monitor {

namespace {

using Steady = std::chrono::steady_clock;

constexpr int kDefaultUiPort = 6695;
// More daemons than this on one monitor is no use case; a local program
// opening connections without end must not exhaust the descriptors.
constexpr size_t kMaxConnections = 8;
// A daemon registers its session as soon as it connects. A connection that
// has sent no whole message for this long is no daemon and gives its slot
// back.
constexpr auto kSilentLimit = std::chrono::seconds(10);
// Refused connections are told at most this often (with their count), so
// that a stranger knocking without end cannot flood the output.
constexpr auto kRefusedNoteEvery = std::chrono::seconds(60);
constexpr auto kFrameEvery = std::chrono::milliseconds(250);
constexpr auto kProgressEvery = std::chrono::milliseconds(250);
constexpr auto kProgressSlowest = std::chrono::seconds(5);
constexpr auto kProgressLineEvery = std::chrono::seconds(5);
// After the terminate command: how long the daemon gets to finish its work
// in hand before it is sent SIGTERM, and then SIGKILL.
constexpr auto kStopGrace = std::chrono::seconds(20);
constexpr auto kKillGrace = std::chrono::seconds(35);
constexpr size_t kReadChunk = 16384;
constexpr int kReadsPerRound = 16;
constexpr size_t kMaxDaemonLine = 2048;
constexpr size_t kLogTailBytes = 65536;
constexpr size_t kLogLinesShown = 5;

// Daemon commands on its standard input.
constexpr char kCmdTerminate = 1;
constexpr char kCmdResume = 2;
constexpr char kCmdPause = 3;
constexpr char kCmdReload = 4;
constexpr char kCmdConfirmRemovals = 5;

void WriteAll(int fd, const std::string& s) {
  size_t off = 0;
  while (off < s.size()) {
    const ssize_t n = ::write(fd, s.data() + off, s.size() - off);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // output gone (closed pipe): nothing to do about it
    off += static_cast<size_t>(n);
  }
}

// The port the daemon will connect to, read as the daemon reads it, except
// that 0 asks for any free port (the started daemon is told which).
int UiPort(std::string& warning) {
  const char* v = std::getenv("SYNCFOLDER_UI_PORT");
  if (v == nullptr || *v == '\0') return kDefaultUiPort;
  char* end = nullptr;
  const long port = std::strtol(v, &end, 10);
  if (*end != '\0' || port < 0 || port > 65535) {
    warning = std::string("SYNCFOLDER_UI_PORT='") + v + "' is not a port; using " +
              std::to_string(kDefaultUiPort) + " as the daemon will";
    return kDefaultUiPort;
  }
  return static_cast<int>(port);
}

// "May 01 12:00:00 [ERROR] client(123): text" -> "client: text".
std::string LogLineText(const std::string& line) {
  size_t at = line.find("[ERROR] ");
  if (at == std::string::npos) at = line.find("[CRIT] ");
  if (at == std::string::npos) return line;
  std::string rest = line.substr(line.find(' ', at) + 1);
  const size_t open = rest.find('(');
  const size_t close = rest.find("): ");
  if (open != std::string::npos && close != std::string::npos && open < close)
    rest = rest.substr(0, open) + ": " + rest.substr(close + 3);
  return rest;
}

class App {
 public:
  explicit App(const Options& o) : m_opt(o), m_state(LoadConfig(o.config), o.attach) {}
  int Run();

 private:
  struct Conn {
    int id;
    UiDecoder decoder;
    Steady::time_point since;  // accepted
    bool heard = false;        // a whole message arrived
    Steady::time_point last;   // the last whole message, or `since`
    UniqueFd sock;             // the map's key
  };

  void Emit(const Entry& e);
  void Problem(const std::string& event, const std::string& text, int32_t value = 0);
  void Note(const std::string& event, const std::string& text, int32_t value = 0);

  bool SetUpSignals();
  UniqueFd Listen(int port, std::string& error);
  bool StartDaemon();
  void StartProbe();
  void Loop();

  void AcceptConnections();
  // Whether the other end of `fd` is a program of the monitor's own user;
  // says why not (in a note, now and then) when it is not.
  bool PeerIsOurs(int fd);
  // Makes room for one more connection: closes the oldest that never sent
  // a message, else the one silent the longest.
  void MakeRoom();
  void CloseSilent(Steady::time_point now);
  void ReadConnection(int fd);
  void CloseConnection(int fd);
  void ReadDaemonOutput(bool final_drain);
  void ReadKeys();
  void HandleKey(char c);
  void HandleSignals();
  void TakeProbe();
  void ReadProgress(Steady::time_point now);
  void CheckDaemon();
  void RequestStop();
  void Escalate(Steady::time_point now);
  void Paint(bool force);
  void ReportDaemonLog();
  int Finish(int code);

  Options m_opt;
  MonitorState m_state;
  bool m_screen = false;
  bool m_json = false;
  bool m_keys = false;  // stdin is read for keys
  KeyboardMode m_keyboard;
  ScreenPainter m_painter;
  bool m_dirty = true;
  Steady::time_point m_next_frame;
  std::string m_last_clock;

  UniqueFd m_sigfd;
  UniqueFd m_listen;
  int m_port = 0;
  std::map<int, Conn> m_conns;  // by descriptor
  int m_next_id = 1;
  int m_refused = 0;  // refused since the last note about them
  Steady::time_point m_next_refused_note;

  DaemonProcess m_daemon;
  std::string m_daemon_line;  // partial output line
  off_t m_log_start = 0;
  bool m_stop_requested = false;
  int m_stop_level = 0;  // 1 terminate sent, 2 SIGTERM, 3 SIGKILL
  Steady::time_point m_stop_at;
  bool m_done = false;
  int m_exit = kExitOk;

  std::unique_ptr<ProgressReader> m_progress;
  Steady::time_point m_next_progress;
  Steady::duration m_progress_every = kProgressEvery;
  Steady::time_point m_last_progress_line;
  int64_t m_last_progress_syncing = 0;

  ServerProbe m_probe;
};

void App::Emit(const Entry& e) {
  m_dirty = true;
  if (m_screen) return;
  WriteAll(STDOUT_FILENO, (m_json ? FormatJson(e) : FormatPlain(e)) + "\n");
}

void App::Problem(const std::string& event, const std::string& text, int32_t value) {
  Emit(m_state.ProblemLine(event, text, Clock::now(), value));
}

void App::Note(const std::string& event, const std::string& text, int32_t value) {
  Emit(m_state.Notice(event, text, Clock::now(), value));
}

bool App::SetUpSignals() {
  sigset_t set;
  sigemptyset(&set);
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGCHLD, SIGWINCH, SIGTSTP, SIGCONT})
    sigaddset(&set, sig);
  // Blocked in this thread, before the probe thread starts (it inherits the
  // mask), so that only the signalfd sees them.
  if (const int rc = ::pthread_sigmask(SIG_BLOCK, &set, nullptr); rc != 0) {
    errno = rc;  // the caller reports errno
    return false;
  }
  ::signal(SIGPIPE, SIG_IGN);
  m_sigfd.reset(::signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC));
  return m_sigfd.valid();
}

UniqueFd App::Listen(int port, std::string& error) {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!fd.valid()) {
    error = ErrnoMessage(errno);
    return fd;
  }
  // Lets a monitor restart at once while the last one's connections linger
  // in TIME_WAIT; it does not let two listeners share the port.
  const int one = 1;
  ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  struct sockaddr_in a {};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof(a);
  if (::bind(fd.get(), reinterpret_cast<struct sockaddr*>(&a), sizeof(a)) != 0 ||
      ::listen(fd.get(), 16) != 0 ||
      ::getsockname(fd.get(), reinterpret_cast<struct sockaddr*>(&a), &len) != 0) {
    const int err = errno;
    fd.reset();
    if (err == EADDRINUSE) {
      error = "the UI port " + std::to_string(port) +
              " is already in use (another monitor or user interface is running?): stop that "
              "program, or give this monitor and its daemon another port with "
              "SYNCFOLDER_UI_PORT=PORT";
    } else {
      error = "cannot listen on the UI port 127.0.0.1:" + std::to_string(port) + ": " +
              ErrnoMessage(err) + "; choose another port with SYNCFOLDER_UI_PORT=PORT";
    }
    return fd;
  }
  m_port = ntohs(a.sin_port);
  return fd;
}

bool App::StartDaemon() {
  const std::string exe = m_opt.daemon.empty() ? DefaultDaemonPath() : m_opt.daemon;
  struct stat st;
  const std::string log = m_state.config().LogFile();
  m_log_start = ::stat(log.c_str(), &st) == 0 ? st.st_size : 0;
  // The daemon works from inside the sync root and rereads the file there
  // on a reload, so a relative path would no longer lead to it.
  std::string config = m_opt.config;
  char resolved[PATH_MAX];
  if (::realpath(config.c_str(), resolved) != nullptr) config = resolved;
  std::string error;
  if (!m_daemon.Start(exe, config, m_port, error)) {
    Problem("start-failed",
            "cannot start the daemon " + exe + ": " + error +
                "; install it next to syncfolder-monitor or name it with --daemon PATH");
    return false;
  }
  m_state.SetDaemon(m_daemon.pid(), true, -1);
  Note("started",
       "started the daemon " + exe + " (pid " + std::to_string(m_daemon.pid()) + ") with " +
           m_opt.config,
       m_daemon.pid());
  return true;
}

void App::StartProbe() {
  std::string host;
  int port = 0;
  FirstHop(m_state.config(), &host, &port);
  if (host.empty()) return;
  m_probe.Start(host, port);
}

void App::TakeProbe() {
  std::string host, reason;
  int port = 0;
  if (!m_probe.Take(host, port, reason)) return;
  const std::string hop = host + ":" + std::to_string(port);
  if (reason.empty()) {
    Note("server-reachable", "the server address " + hop + " accepts connections");
    return;
  }
  const MonitorConfig& cfg = m_state.config();
  const std::string keys =
      cfg.use_proxy ? "`ProxySrvIP`/`ProxySrvPort`"
                    : (cfg.use_tunnel ? "`TunnelSrvIP`/`TunnelSrvPort`" : "`server`/`port`");
  Problem("server-unreachable", "cannot reach the server at " + hop + " (" + reason +
                                    "): check that it runs and that " + keys + " in " + cfg.path +
                                    " are right" +
                                    (m_opt.attach ? "" : ", then press l to reload them"));
}

void App::AcceptConnections() {
  for (;;) {
    UniqueFd sock(::accept4(m_listen.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
    if (!sock.valid()) {
      if (errno == EINTR) continue;
      return;  // EAGAIN, or a connection that went away before the accept
    }
    if (!PeerIsOurs(sock.get())) continue;
    if (m_conns.size() >= kMaxConnections) MakeRoom();
    const int id = m_next_id++;
    const Steady::time_point now = Steady::now();
    const int fd = sock.get();
    m_conns.emplace(fd, Conn{id, UiDecoder(), now, false, now, std::move(sock)});
    Emit(m_state.OnConnected(id, Clock::now()));
  }
}

// Anyone on the machine can connect to a loopback port. What arrives is
// shown as the daemon's word (errors, advice, files), so only programs of
// our own user are listened to; the rest are closed before they are read
// and never take a slot.
bool App::PeerIsOurs(int fd) {
  uid_t owner = 0;
  const int rc = TcpPeerOwner(fd, owner);
  if (rc == 0 && owner == ::geteuid()) return true;
  ++m_refused;
  const Steady::time_point now = Steady::now();
  if (now < m_next_refused_note) return false;
  m_next_refused_note = now + kRefusedNoteEvery;
  std::string why =
      rc == 0 ? "it comes from a program of another user (uid " + std::to_string(owner) + ")"
              : std::string("its owner cannot be told (") + GetErrorString(rc) + ")";
  Note("refused", "refused " +
                      (m_refused == 1 ? std::string("a connection")
                                      : std::to_string(m_refused) + " connections") +
                      " on the UI port: " + why);
  m_refused = 0;
  return false;
}

void App::MakeRoom() {
  auto victim = m_conns.end();
  for (auto it = m_conns.begin(); it != m_conns.end(); ++it) {
    if (victim == m_conns.end()) {
      victim = it;
      continue;
    }
    const Conn& c = it->second;
    const Conn& v = victim->second;
    // Silent ones first, the oldest of them; else the one quiet longest.
    if (c.heard != v.heard ? !c.heard : (c.heard ? c.last < v.last : c.since < v.since))
      victim = it;
  }
  if (victim == m_conns.end()) return;
  Emit(m_state.OnDropped(victim->second.id,
                         victim->second.heard
                             ? "closed to make room for a new connection (" +
                                   std::to_string(kMaxConnections) +
                                   " are open; this one was quiet the longest)"
                             : "closed to make room for a new connection: it had sent nothing",
                         Clock::now()));
  CloseConnection(victim->first);
}

void App::CloseSilent(Steady::time_point now) {
  std::vector<int> silent;
  for (const auto& kv : m_conns)
    if (!kv.second.heard && now - kv.second.since >= kSilentLimit) silent.push_back(kv.first);
  for (int fd : silent) {
    Emit(m_state.OnDropped(
        m_conns.at(fd).id,
        "sent no message within " +
            std::to_string(std::chrono::duration_cast<std::chrono::seconds>(kSilentLimit).count()) +
            " s of connecting",
        Clock::now()));
    CloseConnection(fd);
  }
}

void App::CloseConnection(int fd) {
  m_conns.erase(fd);  // closes it
}

void App::ReadConnection(int fd) {
  auto it = m_conns.find(fd);
  if (it == m_conns.end()) return;
  Conn& c = it->second;
  char buf[kReadChunk];
  for (int round = 0; round < kReadsPerRound; ++round) {
    const ssize_t n = ::recv(fd, buf, sizeof(buf), 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return;
      Emit(m_state.OnDropped(c.id, std::string("read failed: ") + ErrnoMessage(errno),
                             Clock::now()));
      CloseConnection(fd);
      return;
    }
    if (n == 0) {
      if (c.decoder.HasPartial())
        Emit(m_state.OnDropped(c.id, "the stream ended inside a message", Clock::now()));
      else
        Emit(m_state.OnClosed(c.id, Clock::now()));
      CloseConnection(fd);
      return;
    }
    c.decoder.Feed(buf, static_cast<size_t>(n));
    UiMessage m;
    UiDecoder::Result r;
    while ((r = c.decoder.Next(m)) == UiDecoder::kMessage) {
      c.heard = true;
      c.last = Steady::now();
      Emit(m_state.OnMessage(c.id, m, Clock::now()));
    }
    if (r == UiDecoder::kMalformed) {
      Emit(m_state.OnDropped(c.id, c.decoder.Error(), Clock::now()));
      CloseConnection(fd);
      return;
    }
  }
}

void App::ReadDaemonOutput(bool final_drain) {
  const int fd = m_daemon.output_fd();
  if (fd < 0) return;
  char buf[4096];
  for (int round = 0; final_drain || round < kReadsPerRound; ++round) {
    const ssize_t n = ::read(fd, buf, sizeof(buf));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return;  // EAGAIN
    if (n == 0) {
      if (!m_daemon_line.empty()) Emit(m_state.DaemonOutput(m_daemon_line, Clock::now()));
      m_daemon_line.clear();
      m_daemon.CloseOutput();
      return;
    }
    for (ssize_t i = 0; i < n; ++i) {
      if (buf[i] == '\n') {
        if (!m_daemon_line.empty()) Emit(m_state.DaemonOutput(m_daemon_line, Clock::now()));
        m_daemon_line.clear();
      } else if (m_daemon_line.size() < kMaxDaemonLine) {
        m_daemon_line.push_back(buf[i]);
      }
    }
  }
}

void App::ReadKeys() {
  char buf[64];
  const ssize_t n = ::read(STDIN_FILENO, buf, sizeof(buf));
  if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
  if (n <= 0) {
    // End of input (a service's /dev/null, a closed pipe) is no request to
    // stop: the monitor runs on without keys.
    m_keys = false;
    return;
  }
  for (ssize_t i = 0; i < n; ++i) HandleKey(buf[i]);
}

void App::HandleKey(char c) {
  if (c == ' ' || c == '\n' || c == '\r' || c == '\t') return;
  const char k = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  if (k == 'q') {
    RequestStop();
    return;
  }
  if (k != 'p' && k != 'r' && k != 'l' && k != 'c') {
    m_dirty = true;
    return;
  }
  if (m_opt.attach) {
    Note("key-unavailable",
         "pause, resume and reload go to the daemon's standard input, which belongs to whoever "
         "started it (attached monitor)");
    return;
  }
  if (m_state.config().native_client) {
    Note("key-unavailable", "the daemon runs with native_client = \"true\" and reads no commands");
    return;
  }
  if (!m_daemon.running() || m_stop_requested) return;
  if (k == 'p') {
    if (m_daemon.SendCommand(kCmdPause)) {
      m_state.SetPauseRequested(true);
      Note("pause", "asked the daemon to pause");
    }
  } else if (k == 'r') {
    if (m_daemon.SendCommand(kCmdResume)) {
      m_state.SetPauseRequested(false);
      Note("resume", "asked the daemon to resume");
    }
  } else if (k == 'c') {
    if (m_daemon.SendCommand(kCmdConfirmRemovals))
      Note("confirm", "confirmed the held removals: they go to the server");
  } else {
    MonitorConfig cfg = LoadConfig(m_opt.config);
    if (!cfg.readable) {
      Problem("reload", "cannot read " + m_opt.config + " (" + cfg.read_error +
                            "): the daemon keeps its server address");
    } else {
      m_state.SetConfig(cfg);
    }
    if (m_daemon.SendCommand(kCmdReload)) {
      // The daemon resumes after a reload.
      m_state.SetPauseRequested(false);
      Note("reload", "asked the daemon to reload the server address (" +
                         FirstHop(m_state.config()) + ") and resume");
      StartProbe();
    }
  }
}

void App::RequestStop() {
  if (m_opt.attach || !m_daemon.running()) {
    m_done = true;
    return;
  }
  const Steady::time_point now = Steady::now();
  if (!m_stop_requested) {
    m_stop_requested = true;
    m_stop_at = now;
    m_state.SetStopping(true);
    // Command 1 lets the daemon say goodbye on the UI port and finish in
    // order; a daemon that reads no commands gets the signal it stops on.
    if (!m_state.config().native_client && m_daemon.SendCommand(kCmdTerminate)) {
      m_stop_level = 1;
      Note("stopping", "asked the daemon to stop");
    } else {
      m_stop_level = 2;
      m_daemon.Signal(SIGTERM);
      Note("stopping", "sent the daemon SIGTERM");
    }
    return;
  }
  // Asked again while stopping: the user does not want to wait.
  if (m_stop_level < 2) {
    m_stop_level = 2;
    m_daemon.Signal(SIGTERM);
    Note("stopping", "sent the daemon SIGTERM");
  } else if (m_stop_level < 3) {
    m_stop_level = 3;
    m_daemon.Signal(SIGKILL);
    Note("stopping", "killed the daemon (SIGKILL)");
  }
}

void App::Escalate(Steady::time_point now) {
  if (!m_stop_requested || !m_daemon.running()) return;
  if (m_stop_level < 2 && now - m_stop_at >= kStopGrace) {
    m_stop_level = 2;
    m_daemon.Signal(SIGTERM);
    Note("stopping",
         "the daemon did not stop within " +
             std::to_string(std::chrono::duration_cast<std::chrono::seconds>(kStopGrace).count()) +
             " s: sent it SIGTERM");
  } else if (m_stop_level < 3 && now - m_stop_at >= kKillGrace) {
    m_stop_level = 3;
    m_daemon.Signal(SIGKILL);
    Problem("stopping", "the daemon did not stop after SIGTERM: killed it (SIGKILL)");
  }
}

void App::HandleSignals() {
  struct signalfd_siginfo si;
  while (::read(m_sigfd.get(), &si, sizeof(si)) == static_cast<ssize_t>(sizeof(si))) {
    switch (si.ssi_signo) {
      case SIGINT:
      case SIGTERM:
      case SIGHUP:
        RequestStop();
        break;
      case SIGTSTP:
        // A stopped monitor stops reading the UI port, and the daemon gives
        // up a connection it cannot write to for a few seconds (it comes
        // back only when it next has something to report).
        Note("no-suspend",
             "the monitor does not suspend (the daemon would give up its connection); q stops");
        break;
      case SIGWINCH:
      case SIGCONT:
        m_painter.Invalidate();
        m_dirty = true;
        break;
      default:  // SIGCHLD: CheckDaemon runs every round
        break;
    }
  }
}

void App::ReportDaemonLog() {
  const std::string path = m_state.config().LogFile();
  std::ifstream in(path, std::ios::binary);
  if (!in) return;
  in.seekg(0, std::ios::end);
  const std::streamoff size = in.tellg();
  std::streamoff from = m_log_start <= size ? m_log_start : 0;
  if (size - from > static_cast<std::streamoff>(kLogTailBytes))
    from = size - static_cast<std::streamoff>(kLogTailBytes);
  in.seekg(from);
  std::vector<std::string> lines;
  std::string line;
  while (std::getline(in, line)) {
    if (line.find("[ERROR] ") == std::string::npos && line.find("[CRIT] ") == std::string::npos)
      continue;
    lines.push_back(LogLineText(line));
    if (lines.size() > kLogLinesShown) lines.erase(lines.begin());
  }
  for (const std::string& l : lines) Problem("daemon-log", "the daemon's log says: " + l);
}

void App::CheckDaemon() {
  if (m_opt.attach || m_done || !m_daemon.Reap()) return;
  // Everything the daemon wrote before it ended is in our buffers now.
  ReadDaemonOutput(true);
  std::vector<int> fds;
  for (const auto& kv : m_conns) fds.push_back(kv.first);
  for (int fd : fds) ReadConnection(fd);
  const int status = m_daemon.exit_status();
  m_state.SetDaemon(m_daemon.pid(), false, status);
  m_state.SetStopping(false);
  if (status == 0) {
    Note("exit",
         std::string(m_stop_requested ? "the daemon stopped cleanly"
                                      : "the daemon stopped on its own") +
             " (exit status 0)",
         0);
    m_exit = kExitOk;
  } else {
    Problem("exit",
            "the daemon " + std::string(m_stop_requested ? "ended" : "stopped unexpectedly") +
                " with exit status " + std::to_string(status) +
                (status == 255 ? " (it could not start)" : ""),
            status);
    ReportDaemonLog();
    m_exit = kExitDaemonFailed;
  }
  m_done = true;
}

void App::ReadProgress(Steady::time_point now) {
  if (!m_progress || now < m_next_progress) return;
  Progress p;
  const Steady::time_point t0 = Steady::now();
  const bool ok = m_progress->Read(p);
  // A large database is read less often rather than taking the loop's time.
  const Steady::duration took = Steady::now() - t0;
  m_progress_every = std::min<Steady::duration>(
      std::max<Steady::duration>(kProgressEvery, took * 4), kProgressSlowest);
  m_next_progress = now + m_progress_every;
  if (!ok || !m_state.SetProgress(p)) return;
  m_dirty = true;
  // At shutdown the daemon marks what it leaves unfinished as synced; that
  // is no progress worth a line.
  if (m_screen || m_stop_requested || p.syncing == m_last_progress_syncing) return;
  if (p.syncing == 0 || now - m_last_progress_line >= kProgressLineEvery) {
    m_last_progress_line = now;
    m_last_progress_syncing = p.syncing;
    Emit(m_state.ProgressEntry(Clock::now()));
  }
}

void App::Paint(bool force) {
  if (!m_screen) return;
  const Steady::time_point now = Steady::now();
  if (!force && now < m_next_frame) return;
  const TimePoint wall = Clock::now();
  const std::string clock = std::to_string(Clock::to_time_t(wall));
  if (!force && !m_dirty && clock == m_last_clock) return;
  int w = 80, h = 24;
  (void)TerminalSize(STDOUT_FILENO, w, h);  // keeps 80x24 when the size is unknown
  WriteAll(STDOUT_FILENO, m_painter.Paint(RenderScreen(m_state, w, h, wall), w, h));
  m_dirty = false;
  m_last_clock = clock;
  m_next_frame = now + kFrameEvery;
}

void App::Loop() {
  m_next_frame = Steady::now();
  m_next_progress = Steady::now();
  while (!m_done) {
    const Steady::time_point now = Steady::now();
    ReadProgress(now);
    Escalate(now);
    CloseSilent(now);
    CheckDaemon();
    if (m_done) break;
    Paint(false);

    std::vector<struct pollfd> fds;
    fds.push_back({m_sigfd.get(), POLLIN, 0});
    fds.push_back({m_listen.get(), POLLIN, 0});
    fds.push_back({m_probe.wake_fd(), POLLIN, 0});
    fds.push_back({m_keys ? STDIN_FILENO : -1, POLLIN, 0});
    fds.push_back({m_daemon.output_fd(), POLLIN, 0});
    for (const auto& kv : m_conns) fds.push_back({kv.first, POLLIN, 0});

    Steady::time_point wake = m_next_progress;
    if (m_screen) wake = std::min(wake, m_next_frame);
    for (const auto& kv : m_conns)
      if (!kv.second.heard) wake = std::min(wake, kv.second.since + kSilentLimit);
    if (m_stop_requested) wake = std::min(wake, now + std::chrono::milliseconds(250));
    const auto wait_ms = std::chrono::duration_cast<std::chrono::milliseconds>(wake - now).count();
    const int timeout =
        static_cast<int>(std::max<long long>(0, std::min<long long>(wait_ms, 1000)));
    const int r = ::poll(fds.data(), fds.size(), timeout);
    if (r < 0 && errno != EINTR) break;
    if (r <= 0) continue;

    if (fds[0].revents) HandleSignals();
    if (fds[1].revents & POLLIN) AcceptConnections();
    if (fds[2].revents & POLLIN) TakeProbe();
    if (fds[3].revents) ReadKeys();
    if (fds[4].revents) ReadDaemonOutput(false);
    for (size_t i = 5; i < fds.size(); ++i)
      if (fds[i].revents) ReadConnection(fds[i].fd);
  }
}

int App::Finish(int code) {
  if (m_screen) {
    m_keyboard.Restore();
    WriteAll(STDOUT_FILENO, ScreenPainter::Leave());
    // What was on the screen goes away with it; the outcome stays.
    std::string summary = "syncfolder-monitor: " + m_state.StatusText() + "; ";
    auto n = [&](int32_t a) {
      auto it = m_state.totals().find(a);
      return std::to_string(it == m_state.totals().end() ? 0 : it->second);
    };
    summary += n(kActionCreate) + " created, " + n(kActionModify) + " modified, " +
               n(kActionRemove) + " removed, " + n(kActionRename) + " renamed, " +
               std::to_string(m_state.error_count()) + " errors\n";
    std::vector<std::string> recent;
    for (const Entry& e : m_state.errors()) {
      recent.insert(recent.begin(), FormatPlain(e));
      if (recent.size() == 5) break;
    }
    for (const std::string& l : recent) summary += l + "\n";
    WriteAll(STDOUT_FILENO, summary);
  }
  m_keyboard.Restore();
  return code;
}

int App::Run() {
  m_json = m_opt.output == Options::kJson;
  m_screen = m_opt.output == Options::kAuto && ::isatty(STDOUT_FILENO);
  if (m_screen) {
    const char* term = std::getenv("TERM");
    if (term != nullptr && std::strcmp(term, "dumb") == 0) m_screen = false;
  }

  // The front door: what cannot work is said before anything starts.
  auto say = [&](const Entry& e) {
    // On a terminal nothing has been drawn yet: a plain message, no time.
    if (m_screen)
      WriteAll(STDERR_FILENO, std::string("syncfolder-monitor: ") +
                                  (e.kind == EntryKind::kProblem ? "error: " : "") +
                                  ForLog(e.text) + "\n");
    else
      Emit(e);
  };
  bool fatal = false;
  for (const ConfigProblem& p : CheckConfig(m_state.config())) {
    if (p.fatal() && !m_opt.attach) {
      say(m_state.ProblemLine("config", p.text, Clock::now()));
      fatal = true;
    } else {
      say(m_state.Notice("config", "warning: " + p.text, Clock::now()));
    }
  }
  if (fatal) return kExitConfig;

  std::string warning;
  const int port = UiPort(warning);
  if (!warning.empty()) say(m_state.Notice("ui-port", warning, Clock::now()));
  if (!SetUpSignals()) {
    say(m_state.ProblemLine("signals", std::string("cannot set up signals: ") + ErrnoMessage(errno),
                            Clock::now()));
    return kExitDaemonFailed;
  }
  std::string error;
  m_listen = Listen(port, error);
  if (!m_listen.valid()) {
    say(m_state.ProblemLine("ui-port", error, Clock::now(), port));
    return kExitUiPort;
  }
  m_state.SetUiPort(m_port);
  if (!m_screen)
    Note("listening", "listening for the daemon on 127.0.0.1:" + std::to_string(m_port), m_port);

  if (!m_opt.attach && !StartDaemon()) {
    if (m_screen) say(m_state.errors().front());
    return kExitDaemonFailed;
  }
  const MonitorConfig& cfg = m_state.config();
  if (cfg.readable && !cfg.db_loc.empty())
    m_progress = std::make_unique<ProgressReader>(cfg.FileStatusDb(), cfg.watch);
  StartProbe();

  m_keys = m_keyboard.Enable(STDIN_FILENO) || !::isatty(STDIN_FILENO);
  if (m_screen) WriteAll(STDOUT_FILENO, ScreenPainter::Enter());
  Loop();
  Paint(true);
  return Finish(m_exit);
}

}  // namespace

int ParseOptions(int argc, char** argv, const std::string& version, Options& o) {
  auto output = [&o](Options::Output want, const char* other) {
    return [&o, want, other](const char*) -> std::string {
      if (o.output != Options::kAuto && o.output != want) return std::string("excludes ") + other;
      o.output = want;
      return "";
    };
  };
  cli::Program p;
  p.name = "syncfolder-monitor";
  p.version = version;
  p.usage = {"[--plain | --json] [--attach] [--daemon PATH] CONFIG"};
  p.about =
      "Listens on the UI port (127.0.0.1:6695, or SYNCFOLDER_UI_PORT), starts the daemon\n"
      "with CONFIG and shows what it reports. Keys: p pause, r resume, l reload the server\n"
      "address, c confirm held removals, q quit (stops the daemon).\n";
  p.options = {
      {"plain", 0, nullptr, "one time-stamped line per message (default without a terminal)",
       output(Options::kPlain, "--json")},
      {"json", 0, nullptr, "one JSON object per line", output(Options::kJson, "--plain")},
      {"attach", 0, nullptr, "only listen, for a daemon started elsewhere",
       [&o](const char*) {
         o.attach = true;
         return std::string();
       }},
      {"daemon", 0, "PATH", "the daemon executable (default: syncfolder next to the monitor)",
       [&o](const char* v) {
         o.daemon = v;
         return std::string();
       }},
  };
  p.more =
      "exit status: 0 stopped on request, 1 the daemon failed, 2 bad command line, 3 CONFIG\n"
      "cannot work, 4 the UI port cannot be listened on (docs/usage.md).\n";
  p.max_operands = 1;
  std::vector<std::string> operands;
  const int rc = cli::Parse(p, argc, argv, operands);
  if (rc != cli::kRun) return rc;
  if (operands.empty()) return cli::UsageError(p, "no configuration file given");
  o.config = operands[0];
  return cli::kRun;
}

int RunMonitor(const Options& o) {
  App app(o);
  return app.Run();
}

}  // namespace monitor
