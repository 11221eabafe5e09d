// Which local user holds the other end of a TCP connection. TCP carries no
// peer credentials (a Unix socket would), but Linux lists every socket of
// the network namespace with its owner's uid in /proc/net/tcp and
// /proc/net/tcp6. The other end of a connection made on this host is the
// row whose local address is our peer's and whose remote address is ours.
//
// The owner of a socket is the user who created it: for a connection
// accepted by a listener (also before the accept) that is the listener's
// owner. Stateless and thread-safe.
#pragma once

#include <sys/socket.h>
#include <sys/types.h>

#include <array>
#include <cstdint>
#include <istream>

// One end of a TCP connection. IPv4 addresses are kept in their IPv6-mapped
// form (::ffff:a.b.c.d), as a dual-stack socket shows them, so that an IPv4
// socket and an IPv6 socket talking to each other compare equal.
struct TcpEndpoint {
  std::array<uint8_t, 16> addr{};
  uint16_t port = 0;

  bool operator==(const TcpEndpoint& o) const { return addr == o.addr && port == o.port; }
  bool operator!=(const TcpEndpoint& o) const { return !(*this == o); }
};

// The endpoint of an AF_INET or AF_INET6 address; false for other families.
[[nodiscard]] bool TcpEndpointFrom(const struct sockaddr* sa, socklen_t len, TcpEndpoint& out);

// Looks through one socket table, in the text form of /proc/net/tcp or
// /proc/net/tcp6 (either; the header line and malformed lines are skipped),
// for the socket whose local end is `local` and remote end is `remote`.
// True with its owner in `uid`. A connection in time-wait is never a match:
// it belongs to nobody any more and is listed with uid 0.
[[nodiscard]] bool FindTcpSocketOwner(std::istream& table, const TcpEndpoint& local,
                                      const TcpEndpoint& remote, uid_t& uid);

// The uid holding the other end of the connected TCP socket `fd`, from this
// network namespace's tables. 0; ERR_NOENT when no socket of this host holds
// it (the peer is on another host, or has closed its end already); ERR_SYS
// when `fd` is not a connected TCP socket or the tables cannot be read.
// Logs nothing: callers decide what a failure means to them.
[[nodiscard]] int TcpPeerOwner(int fd, uid_t& uid);
