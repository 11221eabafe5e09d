#include "monitor/daemon-process.h"

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <vector>

#include "lib/base/errors.h"

extern char** environ;

namespace monitor {

DaemonProcess::~DaemonProcess() {
  if (running()) {
    ::kill(m_pid, SIGKILL);
    int st = 0;
    while (::waitpid(m_pid, &st, 0) < 0 && errno == EINTR) {
    }
  }
  if (m_in >= 0) ::close(m_in);
  CloseOutput();
}

bool DaemonProcess::Start(const std::string& exe, const std::string& config, int ui_port,
                          std::string& error) {
  int in[2], out[2], report[2];
  if (::pipe2(in, O_CLOEXEC) != 0) {
    error = ErrnoMessage(errno);
    return false;
  }
  if (::pipe2(out, O_CLOEXEC) != 0) {
    error = ErrnoMessage(errno);
    ::close(in[0]);
    ::close(in[1]);
    return false;
  }
  if (::pipe2(report, O_CLOEXEC) != 0) {
    error = ErrnoMessage(errno);
    for (int fd : {in[0], in[1], out[0], out[1]}) ::close(fd);
    return false;
  }

  // Everything the child needs is built before the fork: after it, only
  // async-signal-safe calls.
  std::vector<std::string> env_strings;
  const std::string port_var = "SYNCFOLDER_UI_PORT=";
  for (char** e = environ; *e != nullptr; ++e)
    if (std::strncmp(*e, port_var.c_str(), port_var.size()) != 0) env_strings.emplace_back(*e);
  env_strings.push_back(port_var + std::to_string(ui_port));
  std::vector<char*> envp;
  envp.reserve(env_strings.size() + 1);
  for (auto& s : env_strings) envp.push_back(&s[0]);
  envp.push_back(nullptr);
  // The daemon reads options: a path that looks like one is made to look
  // like a path, and stays the only argument.
  std::string a0 = exe, a1 = config.size() > 1 && config[0] == '-' ? "./" + config : config;
  char* argv[] = {&a0[0], &a1[0], nullptr};
  const pid_t parent = ::getpid();

  const pid_t pid = ::fork();
  if (pid < 0) {
    error = ErrnoMessage(errno);
    for (int fd : {in[0], in[1], out[0], out[1], report[0], report[1]}) ::close(fd);
    return false;
  }
  if (pid == 0) {
    ::setpgid(0, 0);
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != parent) _exit(127);
    sigset_t none;
    sigemptyset(&none);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGCHLD, SIGWINCH, SIGTSTP, SIGCONT, SIGPIPE})
      ::signal(sig, SIG_DFL);
    ::pthread_sigmask(SIG_SETMASK, &none, nullptr);
    ::dup2(in[0], STDIN_FILENO);
    ::dup2(out[1], STDOUT_FILENO);
    ::dup2(out[1], STDERR_FILENO);
    ::execvpe(argv[0], argv, envp.data());
    const int err = errno;
    (void)!::write(report[1], &err, sizeof(err));
    _exit(127);
  }
  ::close(in[0]);
  ::close(out[1]);
  ::close(report[1]);
  m_pid = pid;
  m_status = -1;
  m_in = in[1];
  m_out = out[0];
  ::fcntl(m_out, F_SETFL, ::fcntl(m_out, F_GETFL) | O_NONBLOCK);

  // The report pipe closes on a successful exec (close-on-exec) and carries
  // errno when the exec failed.
  int err = 0;
  ssize_t n;
  do {
    n = ::read(report[0], &err, sizeof(err));
  } while (n < 0 && errno == EINTR);
  ::close(report[0]);
  if (n == static_cast<ssize_t>(sizeof(err))) {
    error = ErrnoMessage(err);
    int st = 0;
    while (::waitpid(m_pid, &st, 0) < 0 && errno == EINTR) {
    }
    m_status = 127;
    return false;
  }
  return true;
}

bool DaemonProcess::SendCommand(char byte) {
  if (m_in < 0 || !running()) return false;
  ssize_t n;
  do {
    n = ::write(m_in, &byte, 1);
  } while (n < 0 && errno == EINTR);
  return n == 1;
}

void DaemonProcess::Signal(int sig) {
  if (running()) ::kill(m_pid, sig);
}

bool DaemonProcess::Reap() {
  if (m_pid <= 0) return false;
  if (m_status >= 0) return true;
  int st = 0;
  pid_t r;
  do {
    r = ::waitpid(m_pid, &st, WNOHANG);
  } while (r < 0 && errno == EINTR);
  if (r != m_pid) return false;
  m_status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  if (m_in >= 0) ::close(m_in);
  m_in = -1;
  return true;
}

void DaemonProcess::CloseOutput() {
  if (m_out >= 0) ::close(m_out);
  m_out = -1;
}

std::string DefaultDaemonPath() {
  char buf[4096];
  const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof(buf) - 1);
  if (n > 0) {
    std::string self(buf, static_cast<size_t>(n));
    const size_t slash = self.rfind('/');
    if (slash != std::string::npos) {
      std::string candidate = self.substr(0, slash) + "/syncfolder";
      if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    }
  }
  return "syncfolder";
}

}  // namespace monitor
