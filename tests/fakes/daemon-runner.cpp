#include "fakes/daemon-runner.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <thread>

extern char** environ;

namespace sftest {

std::string BinPath(const std::string& name) {
#ifdef SF_BIN_DIR
  return std::string(SF_BIN_DIR) + "/" + name;
#else
  return "bin/" + name;
#endif
}

ChildProcess::~ChildProcess() {
  if (m_pid > 0 && Running()) {
    ::kill(m_pid, SIGKILL);
    Wait(std::chrono::seconds(10));
  }
  CloseStdin();
}

bool ChildProcess::Start(const std::vector<std::string>& argv, const std::string& output_path,
                         const std::map<std::string, std::string>& extra_env) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return false;
  std::vector<std::string> env_strings;
  // An inherited variable of the same name would win the child's getenv, so
  // the caller's values replace it instead of following it.
  for (char** e = environ; *e; ++e) {
    const char* eq = std::strchr(*e, '=');
    if (eq != nullptr && extra_env.count(std::string(*e, static_cast<size_t>(eq - *e))) != 0)
      continue;
    env_strings.emplace_back(*e);
  }
  for (const auto& kv : extra_env) env_strings.push_back(kv.first + "=" + kv.second);
  std::vector<char*> env;
  for (auto& s : env_strings) env.push_back(&s[0]);
  env.push_back(nullptr);
  std::vector<std::string> args = argv;
  std::vector<char*> cargs;
  for (auto& a : args) cargs.push_back(&a[0]);
  cargs.push_back(nullptr);
  const std::string out = output_path.empty() ? "/dev/null" : output_path;

  const pid_t parent = ::getpid();
  pid_t pid = ::fork();
  if (pid < 0) {
    ::close(fds[0]);
    ::close(fds[1]);
    return false;
  }
  if (pid == 0) {
    // A test that crashes, aborts on a sanitizer report or is killed by the
    // runner's timeout never reaches ~ChildProcess; the child must not
    // outlive it (the daemon keeps running with its standard input closed).
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) _exit(127);
    if (m_null_stdin) {
      const int null_fd = ::open("/dev/null", O_RDONLY);
      if (null_fd >= 0) ::dup2(null_fd, STDIN_FILENO);
    } else {
      ::dup2(fds[0], STDIN_FILENO);
    }
    int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (o >= 0) {
      ::dup2(o, STDOUT_FILENO);
      ::dup2(o, STDERR_FILENO);
    }
    ::execve(cargs[0], cargs.data(), env.data());
    _exit(127);
  }
  ::close(fds[0]);
  m_stdin = fds[1];
  if (m_null_stdin) CloseStdin();
  m_pid = pid;
  m_status = -1;
  return true;
}

bool ChildProcess::WriteStdin(const std::string& bytes) {
  if (m_stdin < 0) return false;
  size_t off = 0;
  while (off < bytes.size()) {
    ssize_t n = ::write(m_stdin, bytes.data() + off, bytes.size() - off);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    off += static_cast<size_t>(n);
  }
  return true;
}

void ChildProcess::CloseStdin() {
  if (m_stdin >= 0) ::close(m_stdin);
  m_stdin = -1;
}

int ChildProcess::PendingStdinBytes() const {
  int n = -1;
  if (m_stdin >= 0 && ::ioctl(m_stdin, FIONREAD, &n) != 0) return -1;
  return n;
}

void ChildProcess::Signal(int sig) {
  if (m_pid > 0) ::kill(m_pid, sig);
}

bool ChildProcess::Running() {
  if (m_pid <= 0 || m_status >= 0) return false;
  int st = 0;
  pid_t r = ::waitpid(m_pid, &st, WNOHANG);
  if (r == m_pid) {
    m_status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    return false;
  }
  return r == 0;
}

int ChildProcess::Wait(std::chrono::milliseconds timeout) {
  if (m_pid <= 0) return -1;
  WaitFor([this] { return !Running(); }, timeout);
  return m_status;
}

DaemonSandbox::DaemonSandbox() {
  for (const char* d : {"sync", "data", "data/db", "data/log", "data/conf"}) {
    ::mkdir(m_dir.Sub(d).c_str(), 0755);
  }
  m_config["watch"] = Root();
  m_config["db_loc"] = DbDir();
  m_config["session"] = "test-session";
  m_config["server"] = "127.0.0.1";
  m_config["port"] = "1";
  WriteDefaultFilter();
}

void DaemonSandbox::WriteConfig() const {
  {
    std::ofstream f(ConfigFile(), std::ios::trunc);
    for (const auto& kv : m_config) f << kv.first << " = \"" << kv.second << "\"\n";
  }
  // As the manual has users make it: the session is in it.
  ::chmod(ConfigFile().c_str(), 0600);
}

void DaemonSandbox::WriteLevels(const std::map<std::string, int>& levels) const {
  std::ofstream f(LevelFile(), std::ios::trunc);
  for (const auto& kv : levels) f << kv.first << " = " << kv.second << "\n";
}

void DaemonSandbox::WriteDefaultFilter() const {
  // No rules: the version section only.
  std::ofstream f(FilterFile(), std::ios::trunc);
  f << "[Version]\nmajor = 1\nminor = 0\n";
}

bool DaemonSandbox::StartDaemon(ChildProcess& p,
                                const std::map<std::string, std::string>& extra_env) const {
  std::map<std::string, std::string> env = extra_env;
  if (env.count("SYNCFOLDER_UI_PORT") == 0) {
    env["SYNCFOLDER_UI_PORT"] = std::to_string(m_ui_port > 0 ? m_ui_port : UnusedLoopbackPort());
  }
  return p.Start({BinPath("syncfolder"), ConfigFile()}, OutputFile(), env);
}

}  // namespace sftest
