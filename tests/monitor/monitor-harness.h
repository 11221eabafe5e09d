// Helpers for the monitor's black-box tests: the monitor, the reference
// server and a hand-made daemon stream, each a real process or socket on
// the loopback address.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "fakes/daemon-runner.h"
#include "fakes/scripted-peer.h"
#include "fakes/test-util.h"

namespace montest {

// syncfolder-monitor as a child: standard input is a pipe (keys), output
// goes to a file read back line by line. The UI port defaults to "any free
// port"; the monitor says which in its first line.
class MonitorRun {
 public:
  bool Start(const std::vector<std::string>& args,
             std::map<std::string, std::string> env = {{"SYNCFOLDER_UI_PORT", "0"}}) {
    std::vector<std::string> argv = {sftest::BinPath("syncfolder-monitor")};
    argv.insert(argv.end(), args.begin(), args.end());
    return m_proc.Start(argv, m_dir.Sub("out"), env);
  }
  std::vector<std::string> Lines() const {
    std::vector<std::string> out;
    std::istringstream in(sftest::ReadFile(m_dir.Sub("out")));
    std::string l;
    while (std::getline(in, l)) out.push_back(l);
    return out;
  }
  std::string Text() const { return sftest::ReadFile(m_dir.Sub("out")); }
  // Index of the first line at or after `from` holding `needle`; -1 when
  // none appears in time.
  int WaitLine(const std::string& needle, int from = 0,
               std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
    int found = -1;
    sftest::WaitFor(
        [&] {
          // Once the monitor has ended its output is complete: one more look.
          const bool ended = !m_proc.Running();
          const auto lines = Lines();
          for (size_t i = static_cast<size_t>(std::max(0, from)); i < lines.size(); ++i)
            if (lines[i].find(needle) != std::string::npos) {
              found = static_cast<int>(i);
              return true;
            }
          return ended;
        },
        timeout);
    return found;
  }
  // The UI port from the "listening" line.
  int Port() {
    const int i = WaitLine("listening for the daemon on 127.0.0.1:");
    if (i < 0) return -1;
    const std::string l = Lines()[static_cast<size_t>(i)];
    return std::atoi(l.c_str() + l.rfind(':') + 1);
  }
  sftest::ChildProcess& proc() { return m_proc; }

 private:
  sftest::TempDir m_dir;
  sftest::ChildProcess m_proc;
};

// The reference server on a free port, accepting `session`.
class ServerRun {
 public:
  bool Start(const std::string& session) {
    ::mkdir(m_dir.Sub("share").c_str(), 0755);
    if (!m_proc.Start({sftest::BinPath("syncfolder-server"), "--share", m_dir.Sub("share"),
                       "--state", m_dir.Sub("state"), "--port", "0", "--port-file",
                       m_dir.Sub("port"), "--session", session},
                      m_dir.Sub("server.out")))
      return false;
    if (!sftest::WaitFor([&] { return sftest::PathExists(m_dir.Sub("port")); })) return false;
    m_port = std::stoi(sftest::ReadFile(m_dir.Sub("port")));
    return true;
  }
  int port() const { return m_port; }
  std::string Share() const { return m_dir.Sub("share"); }

 private:
  sftest::TempDir m_dir;
  sftest::ChildProcess m_proc;
  int m_port = 0;
};

// UI messages as a daemon sends them, built byte by byte.
inline std::string Session(const std::string& s) {
  return sftest::Bytes().u8(100).var(s).str();
}
inline std::string Status(int32_t v) {
  return sftest::Bytes().u8(1).u16(4).u32(static_cast<uint32_t>(v)).str();
}
inline std::string Error(int32_t v) {
  return sftest::Bytes().u8(2).u16(4).u32(static_cast<uint32_t>(v)).str();
}
inline std::string FileEvent(int32_t action, const std::string& path) {
  return sftest::Bytes()
      .u8(3)
      .u8(3)
      .u8(0)
      .u16(4)
      .u32(static_cast<uint32_t>(action))
      .u8(1)
      .u16(4)
      .u32(0)
      .u8(2)
      .var(path)
      .str();
}
inline std::string Terminate() {
  return sftest::Bytes().u8(101).u16(4).u32(10).str();
}

// A stand-in daemon: one connection to the UI port that sends what the test
// gives it.
class FakeDaemon {
 public:
  explicit FakeDaemon(int port) {
    m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) {
      ::close(m_fd);
      m_fd = -1;
    }
  }
  ~FakeDaemon() { Close(); }
  bool ok() const { return m_fd >= 0; }
  bool Send(const std::string& b) {
    return m_fd >= 0 &&
           ::send(m_fd, b.data(), b.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(b.size());
  }
  void Close() {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
  }

 private:
  int m_fd = -1;
};

// Whether `s` is one well-formed JSON value (RFC 8259, UTF-8 not checked
// beyond the absence of raw control characters).
class JsonCheck {
 public:
  static bool Valid(const std::string& s) {
    JsonCheck j(s);
    return j.Value() && (j.Ws(), j.m_i == s.size());
  }

 private:
  explicit JsonCheck(const std::string& s) : m_s(s) {}
  void Ws() {
    while (m_i < m_s.size() &&
           (m_s[m_i] == ' ' || m_s[m_i] == '\t' || m_s[m_i] == '\n' || m_s[m_i] == '\r'))
      ++m_i;
  }
  bool Lit(const char* w) {
    const std::string t = w;
    if (m_s.compare(m_i, t.size(), t) != 0) return false;
    m_i += t.size();
    return true;
  }
  bool String() {
    if (m_s[m_i] != '"') return false;
    for (++m_i; m_i < m_s.size(); ++m_i) {
      const unsigned char c = static_cast<unsigned char>(m_s[m_i]);
      if (c == '"') return ++m_i, true;
      if (c < 0x20) return false;
      if (c == '\\') {
        if (++m_i >= m_s.size()) return false;
        if (m_s[m_i] == 'u') {
          for (int k = 0; k < 4; ++k)
            if (++m_i >= m_s.size() || !isxdigit(static_cast<unsigned char>(m_s[m_i])))
              return false;
        } else if (std::string("\"\\/bfnrt").find(m_s[m_i]) == std::string::npos) {
          return false;
        }
      }
    }
    return false;
  }
  bool Number() {
    const size_t start = m_i;
    if (m_s[m_i] == '-') ++m_i;
    while (m_i < m_s.size() && (isdigit(static_cast<unsigned char>(m_s[m_i])) || m_s[m_i] == '.' ||
                                m_s[m_i] == 'e' || m_s[m_i] == 'E' || m_s[m_i] == '+'))
      ++m_i;
    return m_i > start && isdigit(static_cast<unsigned char>(m_s[m_i - 1]));
  }
  bool Value() {
    Ws();
    if (m_i >= m_s.size()) return false;
    const char c = m_s[m_i];
    if (c == '{' || c == '[') {
      const char end = c == '{' ? '}' : ']';
      ++m_i;
      Ws();
      if (m_i < m_s.size() && m_s[m_i] == end) return ++m_i, true;
      for (;;) {
        if (c == '{') {
          Ws();
          if (m_i >= m_s.size() || !String()) return false;
          Ws();
          if (m_i >= m_s.size() || m_s[m_i++] != ':') return false;
        }
        if (!Value()) return false;
        Ws();
        if (m_i >= m_s.size()) return false;
        if (m_s[m_i] == ',') {
          ++m_i;
          continue;
        }
        return m_s[m_i++] == end;
      }
    }
    if (c == '"') return String();
    if (Lit("true") || Lit("false") || Lit("null")) return true;
    return Number();
  }
  const std::string& m_s;
  size_t m_i = 0;
};

}  // namespace montest
