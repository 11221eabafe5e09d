#include "client/core/task.h"

#include <pthread.h>
#include <signal.h>

#include <chrono>
#include <system_error>

#include "lib/base/log.h"

namespace {
constexpr wchar_t kLogComponent[] = L"task_debug";
}  // namespace

// ------------------------------------------------------------------ TaskContext

void TaskContext::PushEvent(const Event& e) {
  MutexLock g(m_lock);
  const int slot = e.isServerEvent() ? SERVER : LOCAL;
  m_event[slot] = e;
  ++m_count[slot];
  m_notify = 1;
}

int TaskContext::GetEvents(Event& server, Event& local) {
  MutexLock g(m_lock);
  server = m_event[SERVER];
  local = m_event[LOCAL];
  clear_nolock();
  return (server.isValid() ? 1 : 0) + (local.isValid() ? 1 : 0);
}

int TaskContext::GetServerEventCount() const {
  MutexLock g(m_lock);
  return m_count[SERVER];
}

int TaskContext::GetLocalEventCount() const {
  MutexLock g(m_lock);
  return m_count[LOCAL];
}

void TaskContext::SetNotify() {
  MutexLock g(m_lock);
  m_notify = 1;
}

int TaskContext::GetNotify() const {
  MutexLock g(m_lock);
  return m_notify;
}

void TaskContext::Clear() {
  MutexLock g(m_lock);
  clear_nolock();
}

void TaskContext::clear_nolock() {
  m_event[SERVER] = Event();
  m_event[LOCAL] = Event();
  m_count[SERVER] = m_count[LOCAL] = 0;
  m_notify = 0;
}

// ------------------------------------------------------------------------ Task

std::atomic<int> Task::task_count{0};

Task::Task(TaskManager* owner, TaskContext* ctx)
    : m_owner(owner), m_ctx(ctx), m_task_id(task_count++) {}

Task::~Task() {
  Task::Stop();
}

int Task::Init() {
  return 0;
}

void Task::DoTask() {}

namespace {
// The task whose DoTask runs on this thread. m_thread cannot tell: it is
// assigned by the starting thread while the new one may already run.
thread_local const Task* tls_current_task = nullptr;
}  // namespace

void* Task::Exec(void* task) {
  // Stop requests by signal belong to the main thread, whose stdin read they
  // must interrupt; a task thread started at any time never takes them.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  tls_current_task = static_cast<Task*>(task);
  static_cast<Task*>(task)->DoTask();
  tls_current_task = nullptr;
  return nullptr;
}

int Task::Run() {
  if (GetState() != STOP) return 0;
  // A thread that set STOP on itself has ended or is ending; collect it so
  // that the handle can take the new one.
  if (m_thread.joinable() && tls_current_task != this) m_thread.join();
  SetState(RUN);
  try {
    m_thread = std::thread(Exec, this);
  } catch (const std::system_error& e) {
    SF_LOG(L_ERR, L"[ERROR] task(%d): Run: cannot start task #%d: %s\n", m_task_id, e.what());
    SetState(STOP);
    return -1;
  }
  return 0;
}

int Task::Pause() {
  MutexLock g(m_state_mutex);
  if (m_state == RUN) {
    m_state = PAUSE;
    m_state_cv.NotifyAll();
  }
  return 0;
}

int Task::Resume() {
  MutexLock g(m_state_mutex);
  if (m_state == PAUSE) {
    m_state = RUN;
    m_state_cv.NotifyAll();
  }
  return 0;
}

int Task::Stop() {
  if (tls_current_task == this) {
    SF_LOG(L_ERR, L"[ERROR] task(%d): Stop: task #%d cannot join itself\n", m_task_id);
    return -1;
  }
  if (GetState() == STOP && !m_thread.joinable()) return 0;
  SetState(STOP);
  if (!m_thread.joinable()) return 0;
  try {
    m_thread.join();
  } catch (const std::system_error& e) {
    SF_LOG(L_ERR, L"[ERROR] task(%d): Stop: cannot join task #%d: %s\n", m_task_id, e.what());
    SetState(RUN);
    return -1;
  }
  return 0;
}

int Task::Wait(int seconds) {
  MutexLock g(m_state_mutex);
  const auto deadline = CondVar::Clock::now() + std::chrono::seconds(seconds);
  while (m_state == RUN) {
    if (!m_state_cv.WaitUntil(m_state_mutex, deadline)) return m_state == RUN ? 0 : -1;
  }
  return -1;
}

int Task::IdleWait(int seconds) {
  MutexLock g(m_state_mutex);
  const auto deadline = CondVar::Clock::now() + std::chrono::seconds(seconds);
  while (m_state == RUN && !m_woken) {
    if (!m_state_cv.WaitUntil(m_state_mutex, deadline)) break;
  }
  if (m_state != RUN) return -1;
  const bool woken = m_woken;
  m_woken = false;
  return woken ? 1 : 0;
}

void Task::Wake() {
  MutexLock g(m_state_mutex);
  m_woken = true;
  m_state_cv.NotifyAll();
}

Task::State Task::WaitWhilePaused(int seconds) {
  MutexLock g(m_state_mutex);
  const auto deadline = CondVar::Clock::now() + std::chrono::seconds(seconds);
  while (m_state == PAUSE) {
    if (!m_state_cv.WaitUntil(m_state_mutex, deadline)) break;
  }
  return m_state;
}

Task::State Task::GetState() const {
  MutexLock g(m_state_mutex);
  return m_state;
}

void Task::SetState(State s) {
  MutexLock g(m_state_mutex);
  m_state = s;
  m_state_cv.NotifyAll();
}
