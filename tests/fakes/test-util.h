// Shared test helpers: temporary directories, polling waits, file helpers.
#pragma once

#include <chrono>
#include <functional>
#include <string>

namespace sftest {

// A fresh directory under $TMPDIR (or /tmp), removed with its contents when
// the object goes away.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return m_path; }
  std::wstring wpath() const;
  // path() + "/" + rel
  std::string Sub(const std::string& rel) const { return m_path + "/" + rel; }

 private:
  std::string m_path;
};

// Polls `cond` every few milliseconds until it is true or `timeout` passes.
// Returns the last value of `cond`. Use instead of sleeping in tests.
bool WaitFor(const std::function<bool()>& cond,
             std::chrono::milliseconds timeout = std::chrono::seconds(20));

// A loopback port on which nothing listens, and nothing can listen while
// this process runs: it stays bound here (not listening) until the exit.
int UnusedLoopbackPort();

// A socket listening on 127.0.0.1 at a free port (written to `port`);
// throws std::runtime_error when none can be had. The caller closes it.
int ListenLoopback(int& port, int backlog = 16);
// A blocking connection to 127.0.0.1:`port`, or -1.
int ConnectLoopback(int port);

void WriteFile(const std::string& path, const std::string& content);
std::string ReadFile(const std::string& path);
bool PathExists(const std::string& path);
void RemoveTree(const std::string& path);

// A UTF-8 test path as the wide text the product takes.
std::wstring W(const std::string& utf8);

}  // namespace sftest
