#include "lib/base/tap-thread.h"

#include <utility>

TapThread::TapThread(Tap tap, size_t chunk) : m_tap(std::move(tap)) {
  // Left uninitialised: only the pages a chunk fills are touched.
  for (Slot& s : m_slots) s.data.reset(new char[chunk]);
  m_thread = std::thread([this] { Run(); });
}

char* TapThread::Next() {
  MutexLock g(m_mutex);
  Slot& s = m_slots[m_head % kSlots];
  while (s.full && !m_failed) m_cv.Wait(m_mutex);
  return s.data.get();
}

bool TapThread::Submit(size_t len) {
  MutexLock g(m_mutex);
  if (m_failed) return false;
  Slot& s = m_slots[m_head++ % kSlots];
  s.len = len;
  s.full = true;
  m_cv.NotifyAll();
  return true;
}

bool TapThread::Finish() {
  {
    MutexLock g(m_mutex);
    m_done = true;
    m_cv.NotifyAll();
  }
  if (m_thread.joinable()) m_thread.join();
  MutexLock g(m_mutex);
  return !m_failed;
}

void TapThread::Run() {
  for (size_t tail = 0;; ++tail) {
    Slot* s;
    {
      MutexLock g(m_mutex);
      s = &m_slots[tail % kSlots];
      while (!s->full && !m_done) m_cv.Wait(m_mutex);
      // The producer fills the ring in order: an empty slot once it is
      // done means every chunk was seen.
      if (!s->full) return;
    }
    // The slot is the tap's until it is marked empty again.
    const bool ok = m_tap(s->data.get(), s->len) == 0;
    MutexLock g(m_mutex);
    s->full = false;
    if (!ok) m_failed = true;
    m_cv.NotifyAll();
    if (!ok) return;
  }
}
