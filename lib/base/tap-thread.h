// A consumer of a stream of chunks that runs on a thread of its own, so that
// its work on one chunk (a checksum, typically) overlaps the producer's work
// on the next: a copy reading and writing, a patch writing its result.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <thread>

#include "lib/base/mutex.h"
#include "lib/base/thread-annotations.h"

class TapThread {
 public:
  // `tap` sees every chunk once, in order; a non-zero answer fails the
  // stream. Chunks hold up to `chunk` bytes each.
  using Tap = std::function<int(const char* data, size_t len)>;
  TapThread(Tap tap, size_t chunk);
  ~TapThread() { (void)Finish(); }
  TapThread(const TapThread&) = delete;
  TapThread& operator=(const TapThread&) = delete;

  // The buffer to fill next (`chunk` bytes), once the tap is done with what
  // it held before. Until Submit, the same buffer is given again.
  char* Next();
  // Hands the buffer from Next, now holding `len` bytes, to the tap. False
  // once the tap has failed.
  [[nodiscard]] bool Submit(size_t len);
  // Waits until the tap has seen every chunk: true when it took them all.
  [[nodiscard]] bool Finish();

 private:
  static constexpr size_t kSlots = 4;
  struct Slot {
    std::unique_ptr<char[]> data;
    size_t len = 0;
    bool full = false;
  };

  void Run();

  const Tap m_tap;
  Mutex m_mutex;
  CondVar m_cv;
  Slot m_slots[kSlots];  // data and len: the side that owns the slot (see full)
  size_t m_head GUARDED_BY(m_mutex) = 0;
  bool m_done GUARDED_BY(m_mutex) = false;
  bool m_failed GUARDED_BY(m_mutex) = false;
  std::thread m_thread;
};
