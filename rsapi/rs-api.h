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

// The push form of RSCalcSign and RSCalcDelta, for a caller that reads the
// content once and hands it to several consumers: fed the same bytes, the
// file written equals what the file function writes. Not thread-safe per
// object; the output file is opened by the factory.
class RSStreamWriter {
 public:
  // Writes the signature of the content fed to `out`. Null when `out`
  // cannot be created.
  static std::unique_ptr<RSStreamWriter> Sign(const std::wstring& out);
  // Writes to `out` the delta that turns the file described by the
  // signature `sig` into the content fed. Null when `sig` cannot be read or
  // is malformed, or `out` cannot be created.
  static std::unique_ptr<RSStreamWriter> Delta(const std::wstring& sig, const std::wstring& out);

  ~RSStreamWriter();
  RSStreamWriter(const RSStreamWriter&) = delete;
  RSStreamWriter& operator=(const RSStreamWriter&) = delete;

  // Feeds `len` more bytes. 0, or -1 once anything has failed (for good).
  [[nodiscard]] int Write(const void* data, size_t len);
  // Ends the content and flushes the output: 0 when the file is whole.
  [[nodiscard]] int Finish();

 private:
  struct Impl;
  explicit RSStreamWriter(std::unique_ptr<Impl> impl);
  // Runs the job over what is pending; `eof` ends the content.
  [[nodiscard]] int Drive(bool eof);
  std::unique_ptr<Impl> m_impl;
};

// The signature of a file's new content, put together from the signature of
// its old content and the delta that made the new one: a block of the new
// content that the delta copies whole from a block of the old has that
// block's entry (the delta found it by those very sums); only the others
// are computed, from the new bytes fed. Write then gives exactly what
// RSCalcSign gives for the new content, at the cost of the changed blocks.
class RSSignFromDelta {
 public:
  // Null when either file cannot be read or is not in our format, or the
  // delta does not make `new_size` bytes.
  static std::unique_ptr<RSSignFromDelta> Make(const std::wstring& old_sig,
                                               const std::wstring& delta, uint64_t new_size);
  ~RSSignFromDelta();
  RSSignFromDelta(const RSSignFromDelta&) = delete;
  RSSignFromDelta& operator=(const RSSignFromDelta&) = delete;

  // Feeds the next `len` bytes of the new content (all of it, in order).
  // 0, or -1 once anything has failed (for good).
  [[nodiscard]] int Feed(const void* data, size_t len);
  // Writes the signature to `out` (created or truncated): 0, or -1 when it
  // cannot be written or the content fed was not `new_size` bytes.
  [[nodiscard]] int Write(const std::wstring& out);
  // Blocks whose entry was computed from the bytes fed (so far).
  uint64_t ComputedBlocks() const;

 private:
  struct Impl;
  explicit RSSignFromDelta(std::unique_ptr<Impl> impl);
  [[nodiscard]] int EndRun();
  std::unique_ptr<Impl> m_impl;
};
