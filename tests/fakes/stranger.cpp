#include "fakes/stranger.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "fakes/test-util.h"

namespace sftest {

namespace {

bool Nobody(uid_t& uid, gid_t& gid) {
  const struct passwd* pw = ::getpwnam("nobody");
  if (pw == nullptr || pw->pw_uid == 0) return false;
  uid = pw->pw_uid;
  gid = pw->pw_gid;
  return true;
}

}  // namespace

bool Stranger::Possible() {
  uid_t uid;
  gid_t gid;
  return ::geteuid() == 0 && Nobody(uid, gid);
}

bool Stranger::Start(const std::function<int(int report)>& body) {
  gid_t gid = 0;
  if (m_pid > 0 || ::geteuid() != 0 || !Nobody(m_uid, gid)) return false;
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return false;
  const pid_t parent = ::getpid();
  m_pid = ::fork();
  if (m_pid < 0) {
    ::close(fds[0]);
    ::close(fds[1]);
    return false;
  }
  if (m_pid == 0) {
    ::close(fds[0]);
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(126);
    if (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(m_uid) != 0 ||
        ::geteuid() != m_uid)
      ::_exit(125);
    ::_exit(body(fds[1]));
  }
  ::close(fds[1]);
  m_report = fds[0];
  ::fcntl(m_report, F_SETFL, ::fcntl(m_report, F_GETFL) | O_NONBLOCK);
  return true;
}

std::string Stranger::Report() {
  char buf[4096];
  for (;;) {
    if (m_report < 0) break;
    const ssize_t n = ::read(m_report, buf, sizeof(buf));
    if (n > 0) {
      m_got.append(buf, static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    break;
  }
  return m_got;
}

bool Stranger::WaitReport(size_t n, std::chrono::milliseconds timeout) {
  return WaitFor([&] { return Report().size() >= n; }, timeout);
}

void Stranger::Stop() {
  if (m_pid > 0) {
    ::kill(m_pid, SIGKILL);
    int st;
    while (::waitpid(m_pid, &st, 0) < 0 && errno == EINTR) {
    }
    m_pid = -1;
  }
  if (m_report >= 0) {
    (void)Report();
    ::close(m_report);
    m_report = -1;
  }
}

Stranger::~Stranger() {
  Stop();
}

}  // namespace sftest
