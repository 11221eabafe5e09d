#include "lib/net/tcp-owner.h"

#include <netinet/in.h>

#include <cstring>
#include <fstream>
#include <string>

#include "lib/base/errors.h"

namespace {

// The kernel writes the timer field as 3 for a connection in time-wait, and
// for those only; their uid is always 0, whoever had the socket.
constexpr unsigned kTimeWaitTimer = 3;

[[nodiscard]] bool HexValue(const std::string& s, size_t from, size_t len, uint64_t& v) {
  if (len == 0 || len > 16 || from + len > s.size()) return false;
  v = 0;
  for (size_t i = from; i < from + len; ++i) {
    const char c = s[i];
    int d;
    if (c >= '0' && c <= '9')
      d = c - '0';
    else if (c >= 'A' && c <= 'F')
      d = c - 'A' + 10;
    else if (c >= 'a' && c <= 'f')
      d = c - 'a' + 10;
    else
      return false;
    v = (v << 4) | static_cast<uint64_t>(d);
  }
  return true;
}

void MapV4(const uint8_t v4[4], TcpEndpoint& e) {
  e.addr.fill(0);
  e.addr[10] = 0xff;
  e.addr[11] = 0xff;
  std::memcpy(e.addr.data() + 12, v4, 4);
}

// "0100007F:1A27" or 32 hex digits, a colon and the port. The address is
// printed as 32-bit words in the machine's own byte order, so copying each
// word's value back into memory gives the bytes in network order.
[[nodiscard]] bool ParseEndpoint(const std::string& t, TcpEndpoint& e) {
  const size_t colon = t.find(':');
  if (colon == std::string::npos) return false;
  uint64_t port = 0;
  if (!HexValue(t, colon + 1, t.size() - colon - 1, port) || port > 0xffff) return false;
  e.port = static_cast<uint16_t>(port);
  if (colon != 8 && colon != 32) return false;
  uint8_t bytes[16];
  for (size_t w = 0; w < colon / 8; ++w) {
    uint64_t v = 0;
    if (!HexValue(t, w * 8, 8, v)) return false;
    const auto word = static_cast<uint32_t>(v);
    std::memcpy(bytes + 4 * w, &word, 4);
  }
  if (colon == 8)
    MapV4(bytes, e);
  else
    std::memcpy(e.addr.data(), bytes, 16);
  return true;
}

// Splits at blanks; at most `max` fields.
size_t Fields(const std::string& line, std::string* out, size_t max) {
  size_t n = 0, i = 0;
  while (n < max) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    if (i >= line.size()) break;
    const size_t start = i;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
    out[n++] = line.substr(start, i - start);
  }
  return n;
}

}  // namespace

bool TcpEndpointFrom(const struct sockaddr* sa, socklen_t len, TcpEndpoint& out) {
  if (sa == nullptr) return false;
  if (sa->sa_family == AF_INET && len >= static_cast<socklen_t>(sizeof(sockaddr_in))) {
    const auto* in = reinterpret_cast<const sockaddr_in*>(sa);
    uint8_t v4[4];
    std::memcpy(v4, &in->sin_addr, 4);
    MapV4(v4, out);
    out.port = ntohs(in->sin_port);
    return true;
  }
  if (sa->sa_family == AF_INET6 && len >= static_cast<socklen_t>(sizeof(sockaddr_in6))) {
    const auto* in6 = reinterpret_cast<const sockaddr_in6*>(sa);
    std::memcpy(out.addr.data(), &in6->sin6_addr, 16);
    out.port = ntohs(in6->sin6_port);
    return true;
  }
  return false;
}

bool FindTcpSocketOwner(std::istream& table, const TcpEndpoint& local, const TcpEndpoint& remote,
                        uid_t& uid) {
  // sl local remote st tx:rx tr:when retrnsmt uid timeout inode ...
  constexpr size_t kFields = 8;
  std::string f[kFields];
  std::string line;
  while (std::getline(table, line)) {
    if (Fields(line, f, kFields) < kFields) continue;
    TcpEndpoint l, r;
    if (!ParseEndpoint(f[1], l) || l != local || !ParseEndpoint(f[2], r) || r != remote) continue;
    uint64_t timer = 0, owner = 0;
    const size_t tc = f[5].find(':');
    if (tc == std::string::npos || !HexValue(f[5], 0, tc, timer) || timer == kTimeWaitTimer)
      continue;
    // The uid is decimal.
    if (f[7].empty() || f[7].size() > 10 ||
        f[7].find_first_not_of("0123456789") != std::string::npos)
      continue;
    owner = std::stoull(f[7]);
    if (owner > static_cast<uid_t>(-1)) continue;
    uid = static_cast<uid_t>(owner);
    return true;
  }
  return false;
}

int TcpPeerOwner(int fd, uid_t& uid) {
  sockaddr_storage self{}, peer{};
  socklen_t self_len = sizeof(self), peer_len = sizeof(peer);
  int type = 0;
  socklen_t type_len = sizeof(type);
  if (::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &type_len) != 0 || type != SOCK_STREAM ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&self), &self_len) != 0 ||
      ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peer_len) != 0)
    return ERR_SYS;
  TcpEndpoint ours, theirs;
  if (!TcpEndpointFrom(reinterpret_cast<sockaddr*>(&self), self_len, ours) ||
      !TcpEndpointFrom(reinterpret_cast<sockaddr*>(&peer), peer_len, theirs))
    return ERR_SYS;
  // Our peer's socket is one of IPv4 or IPv6 whatever ours is: a dual-stack
  // listener shows IPv4 connections in the IPv6 table. The tables are read
  // in pieces while they change, and a connection that is being accepted
  // moves from one entry to another: a second look finds a row missed so.
  bool readable = false;
  for (int look = 0; look < 2; ++look) {
    for (const char* path : {"/proc/net/tcp", "/proc/net/tcp6"}) {
      std::ifstream table(path);
      if (!table) continue;
      readable = true;
      if (FindTcpSocketOwner(table, theirs, ours, uid)) return 0;
    }
    if (!readable) return ERR_SYS;
  }
  return ERR_NOENT;
}
