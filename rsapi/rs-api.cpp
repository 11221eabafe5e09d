#include "rsapi/rs-api.h"

// OpenSSL 3 deprecates the low-level MD4 calls; this file is their only user.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <librsync.h>
#include <openssl/md4.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "lib/base/byte-order.h"
#include "lib/base/handles.h"
#include "lib/base/log.h"
#include "lib/base/tap-thread.h"
#include "lib/base/utility.h"

namespace {

constexpr wchar_t kLogComponent[] = L"rsapi_debug";

constexpr size_t kMD4ReadChunk = 4096;
constexpr size_t kJobBufSize = 65536;
// Output above this many bytes has its digest taken on a thread of its own.
constexpr uint64_t kDigestThreadBytes = uint64_t{256} * 1024;

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
[[nodiscard]] int Pump(rs_job_t* job, FILE* in, FILE* out, uint64_t max_out,
                       RSDigest* out_digest = nullptr) {
  std::vector<char> inbuf(in ? kJobBufSize : 0);
  std::vector<char> own_out;
  // The output's digest is taken on a thread of its own when the output
  // may be big enough to pay for it: the patch's writes then overlap it.
  std::unique_ptr<TapThread> tapper;
  if (out_digest && max_out > kDigestThreadBytes) {
    tapper = std::make_unique<TapThread>(
        [out_digest](const char* data, size_t len) {
          out_digest->Update(data, len);
          return 0;
        },
        kJobBufSize);
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

// ---- Push form ------------------------------------------------------------------

namespace {

// Runs `job` over `pending` (input it has not taken yet, kept in front: the
// library may hold back the tail of what it was given until more follows),
// handing its output to `sink`; `eof` ends the input. 0, or -1 when the job
// or the sink fails, or the input ends short.
[[nodiscard]] int DriveJob(rs_job_t* job, std::vector<char>& pending, std::vector<char>& outbuf,
                           bool eof, const std::function<bool(const char*, size_t)>& sink) {
  rs_buffers_t b{};
  b.next_in = pending.data();
  b.avail_in = pending.size();
  b.eof_in = eof ? 1 : 0;
  for (;;) {
    b.next_out = outbuf.data();
    b.avail_out = outbuf.size();
    const size_t before_in = b.avail_in;
    const rs_result r = rs_job_iter(job, &b);
    const size_t produced = outbuf.size() - b.avail_out;
    if (produced > 0 && !sink(outbuf.data(), produced)) return -1;
    if (r == RS_DONE && eof) {
      pending.clear();
      return 0;
    }
    if (r != RS_BLOCKED) {
      SF_LOG(L_DEBUG, L"[DEBUG] rs-api(%d): job failed: %s\n", rs_strerror(r));
      return -1;
    }
    if (produced == 0 && b.avail_in == before_in) {
      // At the end of the input nothing more can come (a truncated stream).
      if (eof) return -1;
      pending.erase(pending.begin(),
                    pending.begin() + static_cast<std::ptrdiff_t>(pending.size() - b.avail_in));
      return 0;
    }
  }
}

}  // namespace

struct RSStreamWriter::Impl {
  SigPtr set;  // the loaded signature a delta job reads; outlives the job
  JobPtr job;
  FilePtr out;
  std::vector<char> pending;  // see DriveJob
  std::vector<char> outbuf = std::vector<char>(kJobBufSize);
  bool failed = false;
  bool done = false;
};

RSStreamWriter::RSStreamWriter(std::unique_ptr<Impl> impl) : m_impl(std::move(impl)) {}
RSStreamWriter::~RSStreamWriter() = default;

std::unique_ptr<RSStreamWriter> RSStreamWriter::Sign(const std::wstring& out) {
  InstallTrace();
  auto impl = std::make_unique<Impl>();
  impl->out = OpenFile(out, "wb");
  if (!impl->out) return nullptr;
  impl->job.reset(rs_sig_begin(kRSBlockLen, kRSStrongLen, RS_MD4_SIG_MAGIC));
  if (!impl->job) return nullptr;
  return std::unique_ptr<RSStreamWriter>(new RSStreamWriter(std::move(impl)));
}

std::unique_ptr<RSStreamWriter> RSStreamWriter::Delta(const std::wstring& sig,
                                                      const std::wstring& out) {
  InstallTrace();
  FilePtr sigf = OpenFile(sig, "rb");
  if (!sigf) return nullptr;
  auto impl = std::make_unique<Impl>();
  rs_signature_t* raw = nullptr;
  JobPtr load(rs_loadsig_begin(&raw));
  if (!load) return nullptr;
  const int r = Pump(load.get(), sigf.get(), nullptr, kRSNoLimit);
  impl->set.reset(raw);
  if (r != 0 || !impl->set || rs_build_hash_table(impl->set.get()) != RS_DONE) return nullptr;
  impl->out = OpenFile(out, "wb");
  if (!impl->out) return nullptr;
  impl->job.reset(rs_delta_begin(impl->set.get()));
  if (!impl->job) return nullptr;
  return std::unique_ptr<RSStreamWriter>(new RSStreamWriter(std::move(impl)));
}

int RSStreamWriter::Write(const void* data, size_t len) {
  if (m_impl->failed || m_impl->done) return -1;
  const char* p = static_cast<const char*>(data);
  m_impl->pending.insert(m_impl->pending.end(), p, p + len);
  return Drive(false);
}

int RSStreamWriter::Finish() {
  if (m_impl->failed || m_impl->done) return -1;
  if (Drive(true) != 0) return -1;
  m_impl->done = true;
  if (fflush(m_impl->out.get()) != 0) return -1;
  return 0;
}

int RSStreamWriter::Drive(bool eof) {
  Impl& s = *m_impl;
  FILE* out = s.out.get();
  const int r =
      DriveJob(s.job.get(), s.pending, s.outbuf, eof,
               [out](const char* data, size_t len) { return fwrite(data, 1, len, out) == len; });
  if (r != 0) s.failed = true;
  return r;
}

// ---- Signature from a delta -------------------------------------------------------

namespace {

// The signature format: a header of three big-endian words, then per block
// the weak sum (big-endian) and the truncated strong sum.
constexpr size_t kSigHeaderLen = 12;
constexpr size_t kSigEntryLen = 4 + kRSStrongLen;

// Delta commands (the library's format, big-endian parameters).
constexpr int kOpEnd = 0x00;
// 0x01..0x40: a literal of that length.
constexpr int kOpLiteralN1 = 0x41;  // 0x41..0x44: literal, length in 1/2/4/8 bytes
constexpr int kOpCopyN1N1 = 0x45;   // 0x45..0x54: copy, start and length widths
constexpr int kOpCopyN8N8 = 0x54;

[[nodiscard]] bool ReadBe(FILE* f, size_t width, uint64_t& v) {
  unsigned char b[8];
  if (fread(b, 1, width, f) != width) return false;
  v = LoadBigEndian(b, width);
  return true;
}

}  // namespace

struct RSSignFromDelta::Impl {
  uint64_t new_size = 0;
  std::vector<unsigned char> entries;  // kSigEntryLen per block of the new content
  std::vector<bool> known;             // per block: its entry is in `entries`
  uint64_t fed = 0;
  uint64_t computed = 0;
  bool failed = false;
  // The run of consecutive unknown blocks being signed.
  JobPtr run;
  uint64_t run_first = 0;
  uint64_t run_end = 0;  // one past the last block fed to the run
  std::vector<char> pending;
  std::vector<char> outbuf = std::vector<char>(kJobBufSize);
  std::vector<char> run_out;
};

RSSignFromDelta::RSSignFromDelta(std::unique_ptr<Impl> impl) : m_impl(std::move(impl)) {}
RSSignFromDelta::~RSSignFromDelta() = default;

std::unique_ptr<RSSignFromDelta> RSSignFromDelta::Make(const std::wstring& old_sig,
                                                       const std::wstring& delta,
                                                       uint64_t new_size) {
  FilePtr sf = OpenFile(old_sig, "rb");
  if (!sf) return nullptr;
  std::vector<unsigned char> old;
  {
    unsigned char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), sf.get())) > 0) old.insert(old.end(), buf, buf + n);
    if (ferror(sf.get())) return nullptr;
  }
  if (old.size() < kSigHeaderLen || (old.size() - kSigHeaderLen) % kSigEntryLen != 0 ||
      LoadBe32(old.data()) != RS_MD4_SIG_MAGIC || LoadBe32(old.data() + 4) != kRSBlockLen ||
      LoadBe32(old.data() + 8) != kRSStrongLen)
    return nullptr;
  const uint64_t old_blocks = (old.size() - kSigHeaderLen) / kSigEntryLen;

  auto impl = std::make_unique<Impl>();
  const uint64_t blocks = (new_size + kRSBlockLen - 1) / kRSBlockLen;
  impl->new_size = new_size;
  impl->entries.resize(blocks * kSigEntryLen);
  impl->known.assign(blocks, false);

  FilePtr df = OpenFile(delta, "rb");
  uint64_t v = 0;
  if (!df || !ReadBe(df.get(), 4, v) || v != RS_DELTA_MAGIC) return nullptr;
  uint64_t pos = 0;  // in the new content
  for (;;) {
    const int op = fgetc(df.get());
    if (op == EOF) return nullptr;
    if (op == kOpEnd) break;
    if (op < kOpCopyN1N1) {  // a literal: its length in the op, or after it
      auto len = static_cast<uint64_t>(op);
      if (op >= kOpLiteralN1 && !ReadBe(df.get(), size_t{1} << (op - kOpLiteralN1), len))
        return nullptr;
      if (len > new_size - pos || fseeko(df.get(), static_cast<off_t>(len), SEEK_CUR) != 0)
        return nullptr;
      pos += len;
      continue;
    }
    if (op > kOpCopyN8N8) return nullptr;
    const int widths = op - kOpCopyN1N1;
    uint64_t start = 0, len = 0;
    if (!ReadBe(df.get(), size_t{1} << (widths / 4), start) ||
        !ReadBe(df.get(), size_t{1} << (widths % 4), len) || len > new_size - pos)
      return nullptr;
    // Every whole block inside a copy that starts on a block boundary on
    // both sides was matched against the old block it copies. A shorter
    // block (an end) is left to be computed.
    if (pos % kRSBlockLen == 0 && start % kRSBlockLen == 0) {
      for (uint64_t i = 0; (i + 1) * kRSBlockLen <= len; ++i) {
        const uint64_t k = pos / kRSBlockLen + i;
        const uint64_t j = start / kRSBlockLen + i;
        if (j >= old_blocks) break;
        memcpy(&impl->entries[k * kSigEntryLen], &old[kSigHeaderLen + j * kSigEntryLen],
               kSigEntryLen);
        impl->known[k] = true;
      }
    }
    pos += len;
  }
  if (pos != new_size) return nullptr;
  return std::unique_ptr<RSSignFromDelta>(new RSSignFromDelta(std::move(impl)));
}

int RSSignFromDelta::Feed(const void* data, size_t len) {
  Impl& s = *m_impl;
  if (s.failed) return -1;
  if (len > s.new_size - s.fed) {
    s.failed = true;
    return -1;
  }
  const char* p = static_cast<const char*>(data);
  while (len > 0) {
    const uint64_t k = s.fed / kRSBlockLen;
    const size_t take =
        static_cast<size_t>(std::min<uint64_t>(len, kRSBlockLen - s.fed % kRSBlockLen));
    if (s.known[k]) {
      if (s.run && EndRun() != 0) return -1;
    } else {
      if (s.run && s.run_end != k && s.run_end != k + 1 && EndRun() != 0) return -1;
      if (!s.run) {
        s.run.reset(rs_sig_begin(kRSBlockLen, kRSStrongLen, RS_MD4_SIG_MAGIC));
        if (!s.run) {
          s.failed = true;
          return -1;
        }
        s.run_first = k;
        s.run_out.clear();
      }
      s.run_end = k + 1;
      s.pending.insert(s.pending.end(), p, p + take);
      if (DriveJob(s.run.get(), s.pending, s.outbuf, false, [&s](const char* d, size_t n) {
            s.run_out.insert(s.run_out.end(), d, d + n);
            return true;
          }) != 0) {
        s.failed = true;
        return -1;
      }
    }
    s.fed += take;
    p += take;
    len -= take;
  }
  return 0;
}

// Ends the run being signed and takes its entries.
int RSSignFromDelta::EndRun() {
  Impl& s = *m_impl;
  const bool ok = DriveJob(s.run.get(), s.pending, s.outbuf, true, [&s](const char* d, size_t n) {
                    s.run_out.insert(s.run_out.end(), d, d + n);
                    return true;
                  }) == 0;
  s.run.reset();
  const uint64_t n = s.run_end - s.run_first;
  if (!ok || s.run_out.size() != kSigHeaderLen + n * kSigEntryLen) {
    s.failed = true;
    return -1;
  }
  memcpy(&s.entries[s.run_first * kSigEntryLen], s.run_out.data() + kSigHeaderLen,
         n * kSigEntryLen);
  for (uint64_t k = s.run_first; k < s.run_end; ++k) s.known[k] = true;
  s.computed += n;
  return 0;
}

int RSSignFromDelta::Write(const std::wstring& out) {
  Impl& s = *m_impl;
  if (s.failed || s.fed != s.new_size || (s.run && EndRun() != 0)) return -1;
  for (bool k : s.known)
    if (!k) return -1;
  FilePtr f = OpenFile(out, "wb");
  if (!f) return -1;
  unsigned char header[kSigHeaderLen];
  StoreBigEndian(RS_MD4_SIG_MAGIC, header, 4);
  StoreBigEndian(kRSBlockLen, header + 4, 4);
  StoreBigEndian(kRSStrongLen, header + 8, 4);
  if (fwrite(header, 1, sizeof(header), f.get()) != sizeof(header) ||
      (!s.entries.empty() &&
       fwrite(s.entries.data(), 1, s.entries.size(), f.get()) != s.entries.size()) ||
      fflush(f.get()) != 0)
    return -1;
  return 0;
}

uint64_t RSSignFromDelta::ComputedBlocks() const {
  return m_impl->computed;
}
