// Throughput of the transport against the plain socket it runs on.
//
// Two ways to run it (use an unsanitized Release build for real numbers):
//
//   channel_bench [benchmark flags]
//     Google Benchmark entries, one transfer each:
//       BM_PlainSocketCopy/<chunk>  send/recv of <chunk>-byte buffers
//       BM_ChannelCopy              Channel::Write + FlushWrite of 8 KiB,
//                                   Channel::Read of 8 KiB on the other end
//       BM_ChannelBlocks            the file payload's block framing (block
//                                   id and data sections, one flush per
//                                   block) from memory to memory
//       BM_ChannelFilePayload       ProtoWriteFile from a cached file to
//                                   ProtoReadFile into /dev/null: the upload
//                                   path, its file reads included (256 MiB)
//
//   channel_bench --ratio [--no-tls]
//     One comparison for scripts. Each figure is the best of three
//     transfers, runs interleaved so a busy machine hurts all sides alike.
//     Prints key=value lines, `ratio=` always first on the first line:
//       ratio=0.86 plain_mbps=2210.4 blocks_mbps=1890.0 channel_mbps=1950.2 channel_ratio=0.88
//       plain_cpu_ms=190 channel_cpu_ms=215 blocks_cpu_ms=225 cpu_ratio=0.84
//       tls_plain_mbps=810.3 tls_blocks_mbps=770.1 tls_ratio=0.95 tls_cpu_ratio=0.93
//     so `sed -n 's/^ratio=\([0-9.]*\).*/\1/p'` picks the headline figure.
//     `ratio` is the framed payload (blocks) against the plain copy: what a
//     file transfer gets of the socket. `channel_ratio` is the bare channel.
//     cpu_ratio compares the CPU time (both ends, user and system) of the
//     plain copy and the blocks: steadier than wall time on a loaded machine.
//     The TLS line compares SSLChannel carrying the same blocks with
//     SSL_write/SSL_read of 8 KiB buffers over a blocking socket (same
//     context types, same hand-shake), so it shows the channel's cost on top
//     of TLS, not TLS's own. --no-tls leaves it out.
//
// Volume: 1 GiB per transfer for the benchmark entries (256 MiB for the file
// payload), 256 MiB in --ratio mode; SF_BENCH_BYTES overrides all. MB/s is 10^6 bytes per second of
// wall time from the first byte sent to the last byte received.
#include <benchmark/benchmark.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/ssl.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "fakes/test-util.h"
#include "lib/base/errors.h"
#include "lib/base/log.h"
#include "lib/net/channel.h"
#include "lib/net/ssl-channel.h"
#include "lib/net/tls-cert.h"
#include "lib/net/tls.h"
#include "lib/proto/proto-common.h"

namespace {

constexpr size_t kChunk = 8192;

uint64_t Volume(uint64_t fallback) {
  const char* env = std::getenv("SF_BENCH_BYTES");
  if (env != nullptr && *env) return std::strtoull(env, nullptr, 10);
  return fallback;
}

double CpuSeconds() {
  rusage ru{};
  ::getrusage(RUSAGE_SELF, &ru);
  auto secs = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  return secs(ru.ru_utime) + secs(ru.ru_stime);
}

// CPU seconds (both sides, user and system) of the last Transfer.
double g_last_cpu = 0;

// One loopback transfer: `receive` runs on a thread with the accepted
// socket, `send` on this one with the port. Both report success. Returns the
// wall time in seconds, or a negative value when either side failed.
double Transfer(const std::function<bool(int port)>& send,
                const std::function<bool(int fd)>& receive) {
  int port = 0;
  int lst = -1;
  try {
    lst = sftest::ListenLoopback(port, 1);
  } catch (const std::exception&) {
    return -1;
  }
  const double cpu0 = CpuSeconds();
  bool received = false;
  std::thread receiver([&] {
    // The listener does not block: wait for the connection, or for the
    // shutdown below, before accepting.
    pollfd p = {lst, POLLIN, 0};
    int fd = ::poll(&p, 1, -1) == 1 ? ::accept4(lst, nullptr, nullptr, SOCK_CLOEXEC) : -1;
    received = fd >= 0 && receive(fd);
  });
  const auto start = std::chrono::steady_clock::now();
  bool sent = send(port);
  if (!sent) ::shutdown(lst, SHUT_RDWR);  // frees a receiver still in accept
  receiver.join();
  const double secs =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  g_last_cpu = CpuSeconds() - cpu0;
  ::close(lst);
  return sent && received ? secs : -1;
}

// ---- the sides ------------------------------------------------------------------

bool PlainSend(int port, uint64_t bytes, size_t chunk) {
  int fd = sftest::ConnectLoopback(port);
  if (fd < 0) return false;
  std::vector<char> buf(chunk, 'p');
  uint64_t sent = 0;
  while (sent < bytes) {
    size_t want = static_cast<size_t>(std::min<uint64_t>(chunk, bytes - sent));
    ssize_t n = ::send(fd, buf.data(), want, MSG_NOSIGNAL);
    if (n <= 0) break;
    sent += static_cast<uint64_t>(n);
  }
  ::close(fd);
  return sent == bytes;
}

bool PlainReceive(int fd, uint64_t bytes, size_t chunk) {
  std::vector<char> buf(chunk);
  uint64_t received = 0;
  ssize_t n;
  while ((n = ::recv(fd, buf.data(), buf.size(), 0)) > 0) received += static_cast<uint64_t>(n);
  ::close(fd);
  return received == bytes;
}

// Bare channel: 8 KiB writes, each flushed, and 8 KiB reads.
bool ChannelSendRaw(Channel& out, uint64_t bytes) {
  std::vector<char> buf(kChunk, 'c');
  for (uint64_t sent = 0; sent < bytes;) {
    size_t n = static_cast<size_t>(std::min<uint64_t>(kChunk, bytes - sent));
    if (out.Write(buf.data(), n) != 0 || out.FlushWrite(0) != 0) return false;
    sent += n;
  }
  return true;
}

bool ChannelReceiveRaw(Channel& in, uint64_t bytes) {
  std::vector<char> buf(kChunk);
  for (uint64_t got = 0; got < bytes;) {
    size_t n = static_cast<size_t>(std::min<uint64_t>(kChunk, bytes - got));
    if (in.Read(buf.data(), n) != 0) return false;
    got += n;
  }
  return true;
}

// The payload's block framing, as a file transfer sends it.
bool ChannelSendBlocks(Channel& out, uint64_t bytes) {
  std::vector<char> buf(kProtoBlockSize, 'b');
  uint32_t index = 0;
  for (uint64_t sent = 0; sent < bytes; ++index) {
    int n = static_cast<int>(std::min<uint64_t>(kProtoBlockSize, bytes - sent));
    if (ProtoWriteSection(out, SPROTO_ID_DELTAID, index) < 0 ||
        ProtoWriteSection(out, SPROTO_ID_DELTADATA, buf.data(), n) < 0 || out.FlushWrite(0) != 0)
      return false;
    sent += static_cast<uint64_t>(n);
  }
  return true;
}

bool ChannelReceiveBlocks(Channel& in, uint64_t bytes) {
  std::vector<char> buf(kProtoBlockSize);
  for (uint64_t got = 0; got < bytes;) {
    uint32_t id = 0;
    unsigned n = 0;
    if (ProtoReadSection(in, SPROTO_ID_DELTAID, id) < 0 ||
        ProtoReadSection(in, SPROTO_ID_DELTADATA, buf.data(), kProtoBlockSize, n) < 0 || n == 0)
      return false;
    got += n;
  }
  return true;
}

enum class Shape { kRaw, kBlocks };

double ChannelRun(uint64_t bytes, Shape shape) {
  return Transfer(
      [&](int port) {
        Channel out;
        if (out.Open("127.0.0.1", port, false) != 0) return false;
        bool ok = shape == Shape::kRaw ? ChannelSendRaw(out, bytes) : ChannelSendBlocks(out, bytes);
        out.Close();
        return ok;
      },
      [&](int fd) {
        Channel in;
        if (in.Open(fd, false, true) != 0) return false;
        return shape == Shape::kRaw ? ChannelReceiveRaw(in, bytes)
                                    : ChannelReceiveBlocks(in, bytes);
      });
}

double PlainRun(uint64_t bytes, size_t chunk) {
  return Transfer([&](int port) { return PlainSend(port, bytes, chunk); },
                  [&](int fd) { return PlainReceive(fd, bytes, chunk); });
}

// ---- TLS ----------------------------------------------------------------------

// A throw-away certificate and the server context made from it.
class TlsServer {
 public:
  TlsServer() {
    char tmpl[] = "/tmp/sfbench-tls.XXXXXX";
    if (::mkdtemp(tmpl) == nullptr) return;
    m_dir = tmpl;
    std::string crt = m_dir + "/server.crt", key = m_dir + "/server.key";
    if (GenerateSelfSignedCert(crt, key, "bench", {"127.0.0.1"}) == 0)
      m_ctx = NewServerContext(crt, key);
    std::remove(crt.c_str());
    std::remove(key.c_str());
  }
  ~TlsServer() {
    if (!m_dir.empty()) ::rmdir(m_dir.c_str());
  }
  SSL_CTX* ctx() const { return m_ctx.get(); }

 private:
  std::string m_dir;
  SslCtxPtr m_ctx;
};

bool ReadFully(int fd, char* buf, size_t len) {
  for (size_t got = 0; got < len;) {
    ssize_t n = ::recv(fd, buf + got, len - got, 0);
    if (n <= 0) return false;
    got += static_cast<size_t>(n);
  }
  return true;
}

// The channel pair as the client and the reference server use it: the
// request header, then the hand-shake on the same port.
double TlsChannelRun(const TlsServer& server, uint64_t bytes) {
  return Transfer(
      [&](int port) {
        SSLChannel out;
        if (out.Open("127.0.0.1", port, false) != 0) return false;
        bool ok = ChannelSendBlocks(out, bytes);
        out.Close();
        return ok;
      },
      [&](int fd) {
        char header[sizeof(kTlsRequestHeader)];
        SSLChannel in;
        if (!ReadFully(fd, header, sizeof(header)) || in.Accept(fd, server.ctx()) != 0) {
          ::close(fd);
          return false;
        }
        return ChannelReceiveBlocks(in, bytes);
      });
}

// OpenSSL's own socket BIO on blocking sockets, 8 KiB per call, with the
// same header first.
double TlsPlainRun(const TlsServer& server, uint64_t bytes) {
  return Transfer(
      [&](int port) {
        int fd = sftest::ConnectLoopback(port);
        if (fd < 0) return false;
        SslCtxPtr ctx = NewClientContext();
        SslPtr ssl(ctx ? SSL_new(ctx.get()) : nullptr);
        bool ok = ssl != nullptr &&
                  ::send(fd, kTlsRequestHeader, sizeof(kTlsRequestHeader), MSG_NOSIGNAL) == 8 &&
                  SSL_set_fd(ssl.get(), fd) == 1 && SSL_connect(ssl.get()) == 1;
        std::vector<char> buf(kChunk, 't');
        for (uint64_t sent = 0; ok && sent < bytes;) {
          int n = static_cast<int>(std::min<uint64_t>(kChunk, bytes - sent));
          ok = SSL_write(ssl.get(), buf.data(), n) == n;
          sent += static_cast<uint64_t>(n);
        }
        if (ssl) SSL_shutdown(ssl.get());
        ssl.reset();
        ::close(fd);
        return ok;
      },
      [&](int fd) {
        char header[sizeof(kTlsRequestHeader)];
        SslPtr ssl(SSL_new(server.ctx()));
        bool ok = ssl != nullptr && ReadFully(fd, header, sizeof(header)) &&
                  SSL_set_fd(ssl.get(), fd) == 1 && SSL_accept(ssl.get()) == 1;
        std::vector<char> buf(kChunk);
        uint64_t got = 0;
        while (ok && got < bytes) {
          int n = SSL_read(ssl.get(), buf.data(), static_cast<int>(buf.size()));
          if (n <= 0) break;
          got += static_cast<uint64_t>(n);
        }
        ssl.reset();
        ::close(fd);
        return ok && got == bytes;
      });
}

// ---- --ratio mode -----------------------------------------------------------------

double Mbps(uint64_t bytes, double secs) {
  return secs > 0 ? static_cast<double>(bytes) / 1e6 / secs : 0;
}

// Best (shortest) of `runs` rounds of every measurement, interleaved; the
// least CPU time of each goes to `cpu`.
std::vector<double> BestOf(int runs, const std::vector<std::function<double()>>& measures,
                           std::vector<double>& cpu) {
  std::vector<double> best(measures.size(), -1);
  cpu.assign(measures.size(), -1);
  for (int r = 0; r < runs; ++r) {
    for (size_t i = 0; i < measures.size(); ++i) {
      double s = measures[i]();
      if (cpu[i] < 0 || g_last_cpu < cpu[i]) cpu[i] = g_last_cpu;
      if (s < 0) {
        std::fprintf(stderr, "channel_bench: measurement %zu failed\n", i);
        return {};
      }
      if (best[i] < 0 || s < best[i]) best[i] = s;
    }
  }
  return best;
}

int RatioMain(bool with_tls) {
  const uint64_t bytes = Volume(uint64_t{256} << 20);
  ProtoInit(3);
  std::vector<double> cpu;
  std::vector<double> t = BestOf(3,
                                 {[&] { return PlainRun(bytes, kChunk); },
                                  [&] { return ChannelRun(bytes, Shape::kRaw); },
                                  [&] { return ChannelRun(bytes, Shape::kBlocks); }},
                                 cpu);
  if (t.empty()) {
    std::fprintf(stderr, "channel_bench: a transfer failed\n");
    return 1;
  }
  const double plain = Mbps(bytes, t[0]), raw = Mbps(bytes, t[1]), blocks = Mbps(bytes, t[2]);
  std::printf("ratio=%.2f plain_mbps=%.1f blocks_mbps=%.1f channel_mbps=%.1f channel_ratio=%.2f\n",
              blocks / plain, plain, blocks, raw, raw / plain);
  std::printf("plain_cpu_ms=%.0f channel_cpu_ms=%.0f blocks_cpu_ms=%.0f cpu_ratio=%.2f\n",
              cpu[0] * 1e3, cpu[1] * 1e3, cpu[2] * 1e3, cpu[0] / cpu[2]);
  std::fflush(stdout);
  if (!with_tls) return 0;
  TlsServer server;
  if (server.ctx() == nullptr) {
    std::fprintf(stderr, "channel_bench: no TLS server context\n");
    return 1;
  }
  t = BestOf(3, {[&] { return TlsPlainRun(server, bytes); },
                 [&] { return TlsChannelRun(server, bytes); }},
             cpu);
  if (t.empty()) {
    std::fprintf(stderr, "channel_bench: a TLS transfer failed\n");
    return 1;
  }
  const double tls_plain = Mbps(bytes, t[0]), tls = Mbps(bytes, t[1]);
  std::printf("tls_plain_mbps=%.1f tls_blocks_mbps=%.1f tls_ratio=%.2f tls_cpu_ratio=%.2f\n",
              tls_plain, tls, tls / tls_plain, cpu[0] / cpu[1]);
  return 0;
}

// ---- Google Benchmark entries --------------------------------------------------------

void Report(benchmark::State& state, uint64_t bytes, double secs) {
  state.SetIterationTime(secs);
  state.SetBytesProcessed(static_cast<int64_t>(bytes) * state.iterations());
  state.counters["MB/s"] = Mbps(bytes, secs);
}

template <typename Run>
void RunManual(benchmark::State& state, Run run) {
  const uint64_t bytes = Volume(uint64_t{1} << 30);
  ProtoInit(3);
  for (auto _ : state) {
    double secs = run(bytes);
    if (secs < 0) {
      state.SkipWithError("transfer failed");
      return;
    }
    Report(state, bytes, secs);
  }
}

void BM_PlainSocketCopy(benchmark::State& state) {
  const size_t chunk = static_cast<size_t>(state.range(0));
  RunManual(state, [&](uint64_t bytes) { return PlainRun(bytes, chunk); });
}

void BM_ChannelCopy(benchmark::State& state) {
  RunManual(state, [](uint64_t bytes) { return ChannelRun(bytes, Shape::kRaw); });
}

void BM_ChannelBlocks(benchmark::State& state) {
  RunManual(state, [](uint64_t bytes) { return ChannelRun(bytes, Shape::kBlocks); });
}

// A written (not sparse) file: reading a hole makes the kernel zero-fill a
// page on every read, which would measure that instead of the transfer.
// Written once and then read from the page cache.
FILE* SourceFile(uint64_t bytes) {
  char path[] = "/tmp/sfbench.XXXXXX";
  int fd = ::mkstemp(path);
  if (fd < 0) return nullptr;
  ::unlink(path);
  std::vector<char> chunk(1 << 20, 'f');
  for (uint64_t done = 0; done < bytes;) {
    size_t n = static_cast<size_t>(std::min<uint64_t>(chunk.size(), bytes - done));
    ssize_t k = ::write(fd, chunk.data(), n);
    if (k <= 0) {
      ::close(fd);
      return nullptr;
    }
    done += static_cast<uint64_t>(k);
  }
  FILE* fp = ::fdopen(fd, "rb");
  if (fp == nullptr) ::close(fd);
  // As ProtoWriteFile's path form sets it up.
  if (fp != nullptr) std::setvbuf(fp, nullptr, _IOFBF, 64 * 1024);
  return fp;
}

void BM_ChannelFilePayload(benchmark::State& state) {
  // Smaller by default: the source takes that much disk and page cache.
  const uint64_t bytes = Volume(uint64_t{256} << 20);
  FILE* src = SourceFile(bytes);
  if (src == nullptr) {
    state.SkipWithError("cannot write the source file");
    return;
  }
  RunManual(state, [&](uint64_t) {
    return Transfer(
        [&](int port) {
          Channel out;
          return out.Open("127.0.0.1", port, false) == 0 && ProtoWriteFile(out, 0, src) == 0;
        },
        [&](int fd) {
          Channel in;
          uint8_t type = 0;
          return in.Open(fd, false, true) == 0 && ProtoReadFile(in, type, L"/dev/null") == 0;
        });
  });
  std::fclose(src);
}

BENCHMARK(BM_PlainSocketCopy)->Arg(8192)->Arg(65536)->UseManualTime()->Iterations(1)->Unit(
    benchmark::kMillisecond);
BENCHMARK(BM_ChannelCopy)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ChannelBlocks)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ChannelFilePayload)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  bool ratio = false, with_tls = true;
  std::vector<char*> rest;
  for (int i = 0; i < argc; ++i) {
    if (i > 0 && std::strcmp(argv[i], "--ratio") == 0) {
      ratio = true;
    } else if (i > 0 && std::strcmp(argv[i], "--no-tls") == 0) {
      with_tls = false;
    } else {
      rest.push_back(argv[i]);
    }
  }
  // The plain TLS baseline writes through OpenSSL's own socket BIO.
  std::signal(SIGPIPE, SIG_IGN);
  // Logging as a daemon without a level file has it: every debug line is
  // looked up and skipped.
  (void)Logger::Initialize(Logger::STDERR_LOGGER, L"", L"/nonexistent/channel_bench.debug", 0);
  if (ratio) return RatioMain(with_tls);
  int n = static_cast<int>(rest.size());
  benchmark::Initialize(&n, rest.data());
  if (benchmark::ReportUnrecognizedArguments(n, rest.data())) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
