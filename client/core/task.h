// The thread-backed task framework and the worker mailbox.
//
// Threads: each Task owns one thread, started by Run and running DoTask. The
// controlling thread (the main thread) calls Run, Pause, Resume and Stop;
// DoTask observes the state through GetState or Wait. A stop reaches a task
// through its state: Wait returns at once when the state leaves RUN, so a
// DoTask loop built on Wait ends promptly, and Stop joins the thread.
#pragma once

#include <atomic>
#include <thread>

#include "client/core/event-list.h"
#include "lib/base/mutex.h"

class TaskManager;

// Per-worker mailbox: the newest delivered event of each kind (server and
// local) plus how many were delivered since the worker last read it. All
// members are thread-safe.
class TaskContext {
 public:
  enum Slot { SERVER = 0, LOCAL = 1 };

  TaskContext() = default;
  TaskContext(const TaskContext&) = delete;
  TaskContext& operator=(const TaskContext&) = delete;

  // Keeps `e` as the newest event of its kind, counts it, sets the notify mark.
  void PushEvent(const Event& e);
  // Copies both slots out and resets the mailbox (slots EV_EMPTY, counters
  // and notify mark 0). Returns how many of the two were valid (0, 1 or 2).
  int GetEvents(Event& server, Event& local);
  int GetServerEventCount() const;
  int GetLocalEventCount() const;
  // Marks the mailbox as notified (wakes a worker that is being stopped).
  void SetNotify();
  int GetNotify() const;
  // The same reset as GetEvents, without copying anything out.
  void Clear();

 private:
  void clear_nolock() REQUIRES(m_lock);

  mutable Mutex m_lock;
  int m_notify GUARDED_BY(m_lock) = 0;
  Event m_event[2] GUARDED_BY(m_lock);
  int m_count[2] GUARDED_BY(m_lock) = {0, 0};
};

// Base of every long-running activity. States: STOP (constructed or stopped,
// no thread) -> Run -> RUN <-> PAUSE -> Stop -> STOP (thread joined).
//
// A derived class whose DoTask touches its own members must call Stop() in
// its own destructor: the base destructor stops the thread too, but only
// after the derived members are gone.
class Task {
 public:
  enum State { RUN = 0, PAUSE = 1, STOP = 2 };

  // `owner` and `ctx` are not owned and may be null; ctx is the worker's mailbox.
  Task(TaskManager* owner, TaskContext* ctx);
  virtual ~Task();
  Task(const Task&) = delete;
  Task& operator=(const Task&) = delete;

  // Per-task preparation before Run; the base returns 0.
  virtual int Init();
  // Starts the thread running DoTask. Returns 0 (also when already running:
  // no second thread), -1 when the thread cannot be created (state STOP).
  // REQUIRES: called from the controlling thread.
  int Run();
  // RUN -> PAUSE; returns 0. A stopped task stays stopped.
  virtual int Pause();
  // PAUSE -> RUN; returns 0. A stopped task stays stopped (use Run).
  virtual int Resume();
  // Sets STOP and joins the thread. Returns 0 (at once when already stopped),
  // -1 when called from the task's own thread or the join fails (state back
  // to RUN). REQUIRES: called from the controlling thread.
  virtual int Stop();

  // Waits up to `seconds` while the state is RUN. Returns -1 as soon as the
  // state is (or becomes) anything else, 0 after the full time. Thread-safe.
  int Wait(int seconds);

  // As Wait, but also ends (returning 1) at a Wake made since the last
  // IdleWait: an idle task polls no faster than `seconds` and still starts
  // on new work at once. A Wake that came before the call is not lost.
  int IdleWait(int seconds);
  // Ends the task's current or next IdleWait. Thread-safe.
  void Wake();

  // Waits up to `seconds` while the state is PAUSE, so that a paused DoTask
  // idles without spinning. Returns the state it ends with. Thread-safe.
  State WaitWhilePaused(int seconds);

  State GetState() const;
  // Thread-safe; wakes any Wait in progress.
  void SetState(State s);
  int GetId() const { return m_task_id; }

  // The task's body, run on its own thread; the base does nothing. Must
  // return once GetState() is STOP.
  virtual void DoTask();

  // Thread entry: runs DoTask on the task passed in.
  static void* Exec(void* task);

 protected:
  // Constant after construction.
  TaskManager* const m_owner;
  TaskContext* const m_ctx;

 private:
  static std::atomic<int> task_count;

  const int m_task_id;

  mutable Mutex m_state_mutex;
  CondVar m_state_cv;
  State m_state GUARDED_BY(m_state_mutex) = STOP;
  bool m_woken GUARDED_BY(m_state_mutex) = false;

  // Touched only by the controlling thread (Run, Stop, destructor).
  std::thread m_thread;
};
