// Delta engine wrapper: content checksums, signatures, deltas and patches over
// files named by wide paths. This module is the only user of the rsync library;
// everything it writes uses the MD4 signature format with 2048-byte blocks and
// 8-byte strong sums, which the peer and stored signatures rely on.
//
// All functions stream their files through fixed buffers (only a loaded
// signature set is held in memory), close every file they opened, and are
// thread-safe (no shared state besides the library's trace hook, which is set
// once).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

constexpr size_t kRSBlockLen = 2048;
constexpr size_t kRSStrongLen = 8;
constexpr size_t kMD4DigestLen = 16;
// Length of the text form of a checksum (lowercase hex digits).
constexpr size_t kMD4TextLen = 32;
// Passed as `max_out` when the output size needs no bound.
constexpr uint64_t kRSNoLimit = UINT64_MAX;

// MD4 digest of the whole content of `path` into `digest` (16 bytes).
// Returns 0, or -1 when the file cannot be opened or read.
// REQUIRES: digest points to kMD4DigestLen writable bytes.
[[nodiscard]] int RSCalcMD4(const std::wstring& path, unsigned char* digest);

// Writes the signature of `basis` to `sig` (created or truncated).
// Returns 0 or -1. On -1 the output may be partial; the caller removes it.
// The output is opened only after the input, so a missing basis creates nothing.
[[nodiscard]] int RSCalcSign(const std::wstring& basis, const std::wstring& sig);

// Writes to `delta` the delta that turns the file described by the signature
// `sig` into `newfile`. Returns 0, or -1 (unreadable or malformed signature,
// I/O failure). Outputs are opened after all inputs.
[[nodiscard]] int RSCalcDelta(const std::wstring& sig, const std::wstring& newfile,
                              const std::wstring& delta);

// Applies `delta` to `basis` and writes the result to `newfile`. Returns 0, or
// -1 for a malformed delta, a delta that refers outside the basis, an I/O
// failure, or a result longer than `max_out` bytes (a small hostile delta can
// otherwise expand without bound). Outputs are opened after all inputs.
// Every byte written is also fed to `out_digest` when one is given, so that
// the result's checksum needs no second read.
class RSDigest;
[[nodiscard]] int RSPatchFile(const std::wstring& basis, const std::wstring& delta,
                              const std::wstring& newfile, uint64_t max_out = kRSNoLimit,
                              RSDigest* out_digest = nullptr);

// Text form of a digest: 32 lowercase hex digits, high nibble first.
// REQUIRES: digest points to kMD4DigestLen bytes.
std::wstring RSDigestToText(const unsigned char* digest);

// Checksum text of the whole content of `path` into `hash`; `hash` is changed
// only on success. Returns 0 or -1. This is the core of the workers' and the
// server's checksum helpers, which add their own log lines.
[[nodiscard]] int RSCalcMD4Text(const std::wstring& path, std::wstring& hash);

// The incremental form of RSCalcMD4, for a caller that streams content once
// and needs several results of it: fed the same bytes, it gives exactly what
// the file function gives. Not thread-safe per object.
class RSDigest {
 public:
  RSDigest();
  ~RSDigest();
  RSDigest(const RSDigest&) = delete;
  RSDigest& operator=(const RSDigest&) = delete;
  void Update(const void* data, size_t len);
  // The digest of everything fed (16 bytes); the object is then spent.
  // REQUIRES: digest points to kMD4DigestLen writable bytes.
  void Final(unsigned char* digest);

 private:
  struct Impl;
  std::unique_ptr<Impl> m_impl;
};
