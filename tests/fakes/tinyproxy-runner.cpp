#include "fakes/tinyproxy-runner.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>

namespace sftest {

namespace {

// A port free right now (bound and released); the proxy takes it a moment
// later, so a clash with a parallel test is possible but rare, and Start
// retries on another port.
int FreePort() {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof(a);
  int port = -1;
  if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0) {
    port = ntohs(a.sin_port);
  }
  if (fd >= 0) ::close(fd);
  return port;
}

bool Connectable(int port) {
  const int fd = ConnectLoopback(port);
  if (fd >= 0) ::close(fd);
  return fd >= 0;
}

}  // namespace

std::string TinyproxyRunner::Binary() {
  for (const char* p : {"/usr/bin/tinyproxy", "/usr/sbin/tinyproxy", "/usr/local/bin/tinyproxy"}) {
    if (::access(p, X_OK) == 0) return p;
  }
  return std::string();
}

TinyproxyRunner::~TinyproxyRunner() {
  if (m_proc.pid() > 0 && m_proc.Running()) {
    m_proc.Signal(SIGTERM);
    if (m_proc.Wait(std::chrono::seconds(10)) < 0) m_proc.Signal(SIGKILL);
  }
}

bool TinyproxyRunner::Start(const Options& opt, std::string& error) {
  const std::string bin = Binary();
  if (bin.empty()) {
    error = "tinyproxy is not installed";
    return false;
  }
  for (int attempt = 0; attempt < 3; ++attempt) {
    m_port = FreePort();
    std::ostringstream conf;
    conf << "Port " << m_port << "\nListen 127.0.0.1\nTimeout 30\nMaxClients 32\n"
         << "Allow 127.0.0.1\nDisableViaHeader Yes\nLogLevel Info\n"
         << "LogFile \"" << m_dir.Sub("tinyproxy.log") << "\"\n";
    if (!opt.user.empty()) conf << "BasicAuth " << opt.user << " " << opt.password << "\n";
    for (int p : opt.connect_ports) conf << "ConnectPort " << p << "\n";
    WriteFile(m_dir.Sub("tinyproxy.conf"), conf.str());
    if (!m_proc.Start({bin, "-d", "-c", m_dir.Sub("tinyproxy.conf")}, m_dir.Sub("out.txt"))) {
      error = "cannot start " + bin;
      return false;
    }
    if (WaitFor([&] { return Connectable(m_port) || !m_proc.Running(); },
                std::chrono::seconds(10)) &&
        m_proc.Running()) {
      return true;
    }
    if (m_proc.Running()) m_proc.Signal(SIGKILL);
    m_proc.Wait(std::chrono::seconds(10));
  }
  error = "tinyproxy did not start: " + ReadFile(m_dir.Sub("out.txt")) + Log();
  return false;
}

std::string TinyproxyRunner::Log() const {
  return PathExists(m_dir.Sub("tinyproxy.log")) ? ReadFile(m_dir.Sub("tinyproxy.log")) : "";
}

}  // namespace sftest
