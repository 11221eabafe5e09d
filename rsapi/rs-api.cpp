#include "rsapi/rs-api.h"

// OpenSSL 3 deprecates the low-level MD4 calls; this file is their only user.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <librsync.h>
#include <openssl/md4.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "lib/base/handles.h"
#include "lib/base/log.h"
#include "lib/base/tap-thread.h"
#include "lib/base/utility.h"

namespace {

constexpr wchar_t kLogComponent[] = L"rsapi_debug";

constexpr size_t kMD4ReadChunk = 4096;
constexpr size_t kJobBufSize = 65536;
// Output above this many bytes has its digest taken on a thread of its own.
constexpr uint64_t kDigestThreadBytes = 256 * 1024;

struct JobFree {
  void operator()(rs_job_t* j) const {
    if (j) rs_job_free(j);
  }
};
using JobPtr = std::unique_ptr<rs_job_t, JobFree>;

struct SigFree {
  void operator()(rs_signature_t* s) const {
    if (s) rs_free_sumset(s);
  }
};
using SigPtr = std::unique_ptr<rs_signature_t, SigFree>;

// The library reports through a process-wide hook. Its warnings (notably that
// an 8-byte strong sum is short for large files, which our format fixes) are
// noise for us; its errors explain why a delta or patch was refused.
void TraceToLog(rs_loglevel level, const char* msg) {
  std::string text(msg ? msg : "");
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  if (level <= RS_LOG_ERR) {
    SF_LOG(L_WARNING, L"[WARNING] rs-api(%d): %s\n", text);
  } else {
    SF_LOG(L_DEBUG, L"[DEBUG] rs-api(%d): %s\n", text);
  }
}

void InstallTrace() {
  static std::once_flag once;
  std::call_once(once, [] {
    rs_trace_to(TraceToLog);
    rs_trace_set_level(RS_LOG_ERR);
  });
}

FilePtr OpenFile(const std::wstring& path, const char* mode) {
  std::string native;
  if (NativeStrToUTF8(path, native) != 0 || native.empty()) {
    SF_LOG(L_ERR, L"[ERROR] rs-api(%d): cannot convert path '%s'\n", path);
    return nullptr;
  }
  FILE* f = fopen(native.c_str(), mode);
  if (!f) SF_LOG(L_DEBUG, L"[DEBUG] rs-api(%d): cannot open '%s'\n", path);
  return FilePtr(f);
}

// Runs `job` from `in` to `out` (either may be null) until the library says
// done. Unconsumed input is kept at the front of the buffer, as the library
// requires. Returns 0 or -1.
int Pump(rs_job_t* job, FILE* in, FILE* out, uint64_t max_out, RSDigest* out_digest = nullptr) {
  std::vector<char> inbuf(in ? kJobBufSize : 0);
  std::vector<char> own_out;
  // The output's digest is taken on a thread of its own when the output
  // may be big enough to pay for it: the patch's writes then overlap it.
  std::unique_ptr<TapThread> tapper;
  if (out_digest && max_out > kDigestThreadBytes) {
    tapper.reset(new TapThread(
        [out_digest](const char* data, size_t len) {
          out_digest->Update(data, len);
          return 0;
        },
        kJobBufSize));
  } else {
    own_out.resize(kJobBufSize);
  }
  rs_buffers_t b{};
  b.next_in = inbuf.data();
  b.avail_in = 0;
  b.eof_in = in ? 0 : 1;
  uint64_t written = 0;
  for (;;) {
    if (in && !b.eof_in && b.avail_in < inbuf.size()) {
      if (b.avail_in > 0 && b.next_in != inbuf.data()) memmove(inbuf.data(), b.next_in, b.avail_in);
      b.next_in = inbuf.data();
      size_t want = inbuf.size() - b.avail_in;
      size_t n = fread(inbuf.data() + b.avail_in, 1, want, in);
      if (n < want) {
        if (ferror(in)) return -1;
        b.eof_in = 1;
      }
      b.avail_in += n;
    }
    char* const outbuf = tapper ? tapper->Next() : own_out.data();
    b.next_out = outbuf;
    b.avail_out = kJobBufSize;
    size_t before_in = b.avail_in;
    rs_result r = rs_job_iter(job, &b);
    size_t produced = kJobBufSize - b.avail_out;
    if (produced > 0) {
      written += produced;
      if (written > max_out) {
        SF_LOG(L_WARNING, L"[WARNING] rs-api(%d): output exceeds %llu bytes, refused\n", max_out);
        return -1;
      }
      if (!out || fwrite(outbuf, 1, produced, out) != produced) return -1;
      if (tapper && !tapper->Submit(produced)) return -1;
      if (!tapper && out_digest) out_digest->Update(outbuf, produced);
    }
    if (r == RS_DONE) break;
    if (r != RS_BLOCKED) {
      SF_LOG(L_DEBUG, L"[DEBUG] rs-api(%d): job failed: %s\n", rs_strerror(r));
      return -1;
    }
    // A job that neither consumes nor produces when no more input can be
    // given would spin forever (a truncated stream).
    bool stuck = produced == 0 && b.avail_in == before_in;
    if (stuck && (b.eof_in || b.avail_in == inbuf.size())) return -1;
  }
  if (tapper && !tapper->Finish()) return -1;
  if (out && fflush(out) != 0) return -1;
  return 0;
}

rs_result CopyFromBasis(void* arg, rs_long_t pos, size_t* len, void** buf) {
  return rs_file_copy_cb(arg, pos, len, buf);
}

}  // namespace

int RSCalcMD4(const std::wstring& path, unsigned char* digest) {
  FilePtr f = OpenFile(path, "rb");
  if (!f) return -1;
  MD4_CTX ctx;
  MD4_Init(&ctx);
  unsigned char buf[kMD4ReadChunk];
  for (;;) {
    size_t n = fread(buf, 1, sizeof(buf), f.get());
    if (n > 0) MD4_Update(&ctx, buf, n);
    if (n < sizeof(buf)) {
      if (ferror(f.get())) return -1;
      if (feof(f.get())) break;
    }
  }
  MD4_Final(digest, &ctx);
  return 0;
}

int RSCalcSign(const std::wstring& basis, const std::wstring& sig) {
  InstallTrace();
  FilePtr in = OpenFile(basis, "rb");
  if (!in) return -1;
  FilePtr out = OpenFile(sig, "wb");
  if (!out) return -1;
  JobPtr job(rs_sig_begin(kRSBlockLen, kRSStrongLen, RS_MD4_SIG_MAGIC));
  if (!job) return -1;
  return Pump(job.get(), in.get(), out.get(), kRSNoLimit);
}

int RSCalcDelta(const std::wstring& sig, const std::wstring& newfile, const std::wstring& delta) {
  InstallTrace();
  FilePtr sigf = OpenFile(sig, "rb");
  if (!sigf) return -1;
  FilePtr in = OpenFile(newfile, "rb");
  if (!in) return -1;
  FilePtr out = OpenFile(delta, "wb");
  if (!out) return -1;

  rs_signature_t* raw = nullptr;
  JobPtr load(rs_loadsig_begin(&raw));
  if (!load) return -1;
  int r = Pump(load.get(), sigf.get(), nullptr, kRSNoLimit);
  SigPtr set(raw);
  if (r != 0 || !set) return -1;
  if (rs_build_hash_table(set.get()) != RS_DONE) return -1;

  JobPtr job(rs_delta_begin(set.get()));
  if (!job) return -1;
  return Pump(job.get(), in.get(), out.get(), kRSNoLimit);
}

int RSPatchFile(const std::wstring& basis, const std::wstring& delta, const std::wstring& newfile,
                uint64_t max_out, RSDigest* out_digest) {
  InstallTrace();
  FilePtr base = OpenFile(basis, "rb");
  if (!base) return -1;
  FilePtr in = OpenFile(delta, "rb");
  if (!in) return -1;
  FilePtr out = OpenFile(newfile, "wb");
  if (!out) return -1;
  JobPtr job(rs_patch_begin(CopyFromBasis, base.get()));
  if (!job) return -1;
  return Pump(job.get(), in.get(), out.get(), max_out, out_digest);
}

std::wstring RSDigestToText(const unsigned char* digest) {
  static const wchar_t kDigits[] = L"0123456789abcdef";
  std::wstring text;
  text.reserve(kMD4TextLen);
  for (size_t i = 0; i < kMD4DigestLen; ++i) {
    text.push_back(kDigits[digest[i] >> 4]);
    text.push_back(kDigits[digest[i] & 0x0f]);
  }
  return text;
}

int RSCalcMD4Text(const std::wstring& path, std::wstring& hash) {
  unsigned char digest[kMD4DigestLen];
  if (RSCalcMD4(path, digest) != 0) return -1;
  hash = RSDigestToText(digest);
  return 0;
}

// ---- Incremental form -----------------------------------------------------------

struct RSDigest::Impl {
  MD4_CTX ctx;
};

RSDigest::RSDigest() : m_impl(new Impl) {
  MD4_Init(&m_impl->ctx);
}

RSDigest::~RSDigest() = default;

void RSDigest::Update(const void* data, size_t len) {
  if (len > 0) MD4_Update(&m_impl->ctx, data, len);
}

void RSDigest::Final(unsigned char* digest) {
  MD4_Final(digest, &m_impl->ctx);
}
