#include "monitor/daemon-process.h"

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <utility>
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
  m_in.reset();
  CloseOutput();
}

namespace {

struct Pipe {
  UniqueFd read;
  UniqueFd write;
};

bool MakePipe(Pipe& p) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return false;
  p.read.reset(fds[0]);
  p.write.reset(fds[1]);
  return true;
}

}  // namespace

bool DaemonProcess::Start(const std::string& exe, const std::string& config, int ui_port,
                          std::string& error) {
  Pipe in, out, report;
  if (!MakePipe(in) || !MakePipe(out) || !MakePipe(report)) {
    error = ErrnoMessage(errno);
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
    ::dup2(in.read.get(), STDIN_FILENO);
    ::dup2(out.write.get(), STDOUT_FILENO);
    ::dup2(out.write.get(), STDERR_FILENO);
    ::execvpe(argv[0], argv, envp.data());
    const int err = errno;
    (void)!::write(report.write.get(), &err, sizeof(err));
    _exit(127);
  }
  in.read.reset();
  out.write.reset();
  report.write.reset();
  m_pid = pid;
  m_status = -1;
  m_in = std::move(in.write);
  m_out = std::move(out.read);
  ::fcntl(m_out.get(), F_SETFL, ::fcntl(m_out.get(), F_GETFL) | O_NONBLOCK);

  // The report pipe closes on a successful exec (close-on-exec) and carries
  // errno when the exec failed.
  int err = 0;
  ssize_t n;
  do {
    n = ::read(report.read.get(), &err, sizeof(err));
  } while (n < 0 && errno == EINTR);
  report.read.reset();
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
  if (!m_in.valid() || !running()) return false;
  ssize_t n;
  do {
    n = ::write(m_in.get(), &byte, 1);
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
  m_in.reset();
  return true;
}

void DaemonProcess::CloseOutput() {
  m_out.reset();
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
