#include "fakes/test-util.h"

#include <arpa/inet.h>
#include <ftw.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include "lib/base/utility.h"

namespace sftest {

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/sftest.XXXXXX";
  if (mkdtemp(&tmpl[0]) == nullptr) throw std::runtime_error("mkdtemp failed");
  m_path = tmpl;
}

TempDir::~TempDir() {
  RemoveTree(m_path);
}

std::wstring TempDir::wpath() const {
  return Utf8ToWideLossy(m_path);
}

bool WaitFor(const std::function<bool()>& cond, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!cond()) {
    if (std::chrono::steady_clock::now() >= deadline) return cond();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

int UnusedLoopbackPort() {
  // The socket stays bound, without listening and without SO_REUSEADDR, until
  // the process ends: connections to the port are refused, and no other
  // process (a parallel test, a server started later) can take it over.
  // Released and noted, the port could be reused before the test connects.
  static std::mutex mu;
  static std::vector<int> held;  // never closed; close-on-exec keeps children out
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::runtime_error("socket failed");
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof(a);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    ::close(fd);
    throw std::runtime_error("cannot bind a loopback port");
  }
  std::lock_guard<std::mutex> g(mu);
  held.push_back(fd);
  return ntohs(a.sin_port);
}

int ListenLoopback(int& port, int backlog) {
  // Non-blocking, as every listener of the fakes: they poll, then accept, and
  // a connection gone again in between must not block the accept for good.
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) throw std::runtime_error("socket failed");
  int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof(a);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 || ::listen(fd, backlog) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    ::close(fd);
    throw std::runtime_error("cannot listen on a loopback port");
  }
  port = ntohs(a.sin_port);
  return fd;
}

int ConnectLoopback(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  if (!f) throw std::runtime_error("cannot write " + path);
  f << content;
}

std::string ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

bool PathExists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

namespace {
int RemoveOne(const char* p, const struct stat*, int, struct FTW*) {
  ::remove(p);
  return 0;
}
}  // namespace

void RemoveTree(const std::string& path) {
  // Make everything writable first so that permission tests clean up too.
  nftw(
      path.c_str(),
      [](const char* p, const struct stat* st, int type, struct FTW*) {
        if (type == FTW_D || type == FTW_DNR) chmod(p, (st->st_mode & 07777) | 0700);
        return 0;
      },
      64, FTW_PHYS);
  nftw(path.c_str(), RemoveOne, 64, FTW_DEPTH | FTW_PHYS);
}

std::wstring W(const std::string& utf8) {
  return Utf8ToWideLossy(utf8);
}

}  // namespace sftest
