// Owners of the plain C handles every layer uses: a file descriptor, a
// directory stream and a stdio stream. Non-copyable; each closes what it holds on destruction.
#pragma once

#include <dirent.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <memory>

// Owns a file descriptor (-1 when empty). Not thread-safe.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : m_fd(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(UniqueFd&& o) noexcept : m_fd(o.release()) {}
  UniqueFd& operator=(UniqueFd&& o) noexcept {
    if (this != &o) reset(o.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return m_fd; }
  bool valid() const { return m_fd >= 0; }
  // Gives up ownership; the caller closes the descriptor.
  [[nodiscard]] int release() {
    int fd = m_fd;
    m_fd = -1;
    return fd;
  }
  // Closes the held descriptor (its result is lost) and takes `fd`.
  void reset(int fd = -1) {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = fd;
  }
  // Closes now and returns close(2)'s result (0 when empty): a delayed write
  // error shows up here, which reset() would lose.
  [[nodiscard]] int close() { return m_fd >= 0 ? ::close(release()) : 0; }

 private:
  int m_fd = -1;
};

struct DirCloser {
  void operator()(DIR* d) const {
    if (d) ::closedir(d);
  }
};
// Owns a directory stream (and the descriptor under it).
using DirPtr = std::unique_ptr<DIR, DirCloser>;

// A directory stream over `fd`, which it takes either way: when fdopendir
// fails the result is null, errno tells why, and the descriptor is closed.
inline DirPtr OpenDirStream(UniqueFd fd) {
  DirPtr d(::fdopendir(fd.get()));
  if (d) {
    (void)fd.release();  // the stream closes it
  } else {
    const int err = errno;
    fd.reset();
    errno = err;
  }
  return d;
}

struct FileCloser {
  void operator()(FILE* f) const {
    if (f) std::fclose(f);
  }
};
// Owns a stdio stream. Where a failed fclose means lost data (a stream that
// was written), release it and check std::fclose's result instead.
using FilePtr = std::unique_ptr<FILE, FileCloser>;
