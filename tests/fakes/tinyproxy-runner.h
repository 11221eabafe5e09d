// A real HTTP proxy for the proxy tests: tinyproxy, started as a child on a
// free loopback port with a generated configuration, stopped with the
// object.
#pragma once

#include <string>
#include <vector>

#include "fakes/daemon-runner.h"
#include "fakes/test-util.h"

namespace sftest {

class TinyproxyRunner {
 public:
  struct Options {
    std::string user;              // with password: Basic authentication required
    std::string password;
    std::vector<int> connect_ports;  // CONNECT allowed only to these (empty: any)
  };

  // The tinyproxy binary, or empty when it is not installed.
  static std::string Binary();

  TinyproxyRunner() = default;
  ~TinyproxyRunner();  // stops the proxy
  // Starts and waits until it accepts connections. False (with a message in
  // `error`) when it does not come up.
  bool Start(const Options& opt, std::string& error);
  int port() const { return m_port; }
  std::string Log() const;

 private:
  TempDir m_dir;
  ChildProcess m_proc;
  int m_port = 0;
};

}  // namespace sftest

// Skips the calling test when tinyproxy is not installed (scripts/deps.sh
// installs it).
#define SF_REQUIRE_TINYPROXY()                                                                  \
  do {                                                                                          \
    if (::sftest::TinyproxyRunner::Binary().empty())                                            \
      GTEST_SKIP() << "tinyproxy is not installed (scripts/deps.sh installs it); the real-proxy " \
                      "tests cannot run";                                                       \
  } while (0)
