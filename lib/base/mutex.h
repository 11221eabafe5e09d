// A mutex, its scoped lock and a condition variable that clang's
// thread-safety analysis understands (see lib/base/thread-annotations.h).
// Members guarded by a Mutex are marked GUARDED_BY(m_mutex); functions that
// expect it held are marked REQUIRES(m_mutex).
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "lib/base/thread-annotations.h"

// A non-recursive mutex. Not copyable.
class CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void Lock() ACQUIRE() { m_mu.lock(); }
  void Unlock() RELEASE() { m_mu.unlock(); }
  // Tells the analysis the caller holds the mutex where it cannot see so
  // (a callback called under the lock); nothing is checked at run time.
  void AssertHeld() const ASSERT_CAPABILITY(this) {}

 private:
  friend class CondVar;
  std::mutex m_mu;
};

// Holds a Mutex from construction to the end of the scope.
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mu) ACQUIRE(mu) : m_mu(mu) { m_mu.Lock(); }
  ~MutexLock() RELEASE() { m_mu.Unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex& m_mu;
};

// A condition variable used with a Mutex the caller holds. Waits can wake
// without a notification: callers test their condition in a loop, with the
// mutex held, e.g.
//   MutexLock g(m_mutex);
//   while (!ready) { if (!m_cv.WaitUntil(m_mutex, deadline)) break; }
class CondVar {
 public:
  using Clock = std::chrono::steady_clock;

  CondVar() = default;
  CondVar(const CondVar&) = delete;
  CondVar& operator=(const CondVar&) = delete;

  // Releases `mu` while waiting and holds it again on return.
  void Wait(Mutex& mu) REQUIRES(mu) {
    std::unique_lock<std::mutex> lock(mu.m_mu, std::adopt_lock);
    m_cv.wait(lock);
    lock.release();  // still held: the caller's MutexLock releases it
  }
  // As Wait, but gives up at `deadline`: false when it timed out.
  bool WaitUntil(Mutex& mu, Clock::time_point deadline) REQUIRES(mu) {
    std::unique_lock<std::mutex> lock(mu.m_mu, std::adopt_lock);
    const bool notified = m_cv.wait_until(lock, deadline) == std::cv_status::no_timeout;
    lock.release();
    return notified;
  }
  void NotifyOne() { m_cv.notify_one(); }
  void NotifyAll() { m_cv.notify_all(); }

 private:
  std::condition_variable m_cv;
};
