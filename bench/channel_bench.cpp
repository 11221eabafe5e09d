// Throughput of the transport: a file payload (type and length sections, then
// 8 KiB blocks each flushed) pushed through a connecting Channel to an
// accepted Channel over loopback, next to a plain socket copy of the same
// volume, which is the limit the channel layer can approach.
//
// Volume: 1 GiB per run (SF_BENCH_BYTES overrides it, e.g. for a quick run).
// The source is a sparse file (reads cost no disk) and the receiver writes to
// /dev/null, so the numbers are the framing, buffering and socket costs.
// Counter MB/s is 10^6 bytes per second of wall time. Run an unsanitized
// build for meaningful numbers.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "lib/base/errors.h"
#include "lib/net/channel.h"
#include "lib/proto/proto-common.h"

namespace {

uint64_t Volume() {
  const char* env = std::getenv("SF_BENCH_BYTES");
  if (env != nullptr && *env) return std::strtoull(env, nullptr, 10);
  return uint64_t{1} << 30;
}

// A listening loopback socket on a free port; returns the fd and the port.
int Listen(int& port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) < 0 || ::listen(fd, 1) < 0) {
    ::close(fd);
    return -1;
  }
  socklen_t len = sizeof(a);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  port = ntohs(a.sin_port);
  return fd;
}

int ConnectPlain(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) < 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

void Report(benchmark::State& state, uint64_t bytes) {
  state.SetBytesProcessed(static_cast<int64_t>(bytes) * state.iterations());
  state.counters["MB/s"] =
      benchmark::Counter(static_cast<double>(bytes) / 1e6 * static_cast<double>(state.iterations()),
                         benchmark::Counter::kIsRate);
}

void BM_ChannelFilePayload(benchmark::State& state) {
  const uint64_t bytes = Volume();
  ProtoInit(3);
  char path[] = "/tmp/sfbench.XXXXXX";
  int tmp = ::mkstemp(path);
  if (tmp < 0 || ::ftruncate(tmp, static_cast<off_t>(bytes)) != 0) {
    state.SkipWithError("cannot create the sparse source file");
    return;
  }
  ::unlink(path);
  FILE* src = ::fdopen(tmp, "rb");

  for (auto _ : state) {
    int port = 0;
    int lst = Listen(port);
    if (lst < 0) {
      state.SkipWithError("cannot listen on loopback");
      break;
    }
    int recv_rc = ERR_SYS;
    std::thread receiver([&] {
      int fd = ::accept4(lst, nullptr, nullptr, SOCK_CLOEXEC);
      Channel in;
      if (in.Open(fd, false, true) != 0) return;
      uint8_t type = 0;
      recv_rc = ProtoReadFile(in, type, L"/dev/null");
    });
    Channel out;
    int send_rc = out.Open("127.0.0.1", port, false);
    if (send_rc == 0) send_rc = ProtoWriteFile(out, 0, src);
    receiver.join();
    out.Close();
    ::close(lst);
    if (send_rc != 0 || recv_rc != 0) {
      state.SkipWithError("transfer failed");
      break;
    }
  }
  std::fclose(src);
  Report(state, bytes);
}

void BM_PlainSocketCopy(benchmark::State& state) {
  const uint64_t bytes = Volume();
  const size_t chunk = static_cast<size_t>(state.range(0));
  std::vector<char> buf(chunk, 'p');
  for (auto _ : state) {
    int port = 0;
    int lst = Listen(port);
    if (lst < 0) {
      state.SkipWithError("cannot listen on loopback");
      break;
    }
    uint64_t received = 0;
    std::thread receiver([&] {
      int fd = ::accept4(lst, nullptr, nullptr, SOCK_CLOEXEC);
      std::vector<char> rbuf(chunk);
      ssize_t n;
      while ((n = ::recv(fd, rbuf.data(), rbuf.size(), 0)) > 0)
        received += static_cast<uint64_t>(n);
      ::close(fd);
    });
    int fd = ConnectPlain(port);
    uint64_t sent = 0;
    while (fd >= 0 && sent < bytes) {
      size_t want = static_cast<size_t>(std::min<uint64_t>(chunk, bytes - sent));
      ssize_t n = ::send(fd, buf.data(), want, MSG_NOSIGNAL);
      if (n <= 0) break;
      sent += static_cast<uint64_t>(n);
    }
    if (fd >= 0) ::close(fd);
    receiver.join();
    ::close(lst);
    if (received != bytes) {
      state.SkipWithError("copy failed");
      break;
    }
  }
  Report(state, bytes);
}

BENCHMARK(BM_ChannelFilePayload)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
BENCHMARK(BM_PlainSocketCopy)
    ->Arg(8192)
    ->Arg(65536)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
