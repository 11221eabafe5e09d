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
  std::lock_guard<std::mutex> g(m_lock);
  const int slot = e.isServerEvent() ? SERVER : LOCAL;
  m_event[slot] = e;
  ++m_count[slot];
  m_notify = 1;
}

int TaskContext::GetEvents(Event& server, Event& local) {
  std::lock_guard<std::mutex> g(m_lock);
  server = m_event[SERVER];
  local = m_event[LOCAL];
  clear_nolock();
  return (server.isValid() ? 1 : 0) + (local.isValid() ? 1 : 0);
}

int TaskContext::GetServerEventCount() const {
  std::lock_guard<std::mutex> g(m_lock);
  return m_count[SERVER];
}

int TaskContext::GetLocalEventCount() const {
  std::lock_guard<std::mutex> g(m_lock);
  return m_count[LOCAL];
}

void TaskContext::SetNotify() {
  std::lock_guard<std::mutex> g(m_lock);
  m_notify = 1;
}

int TaskContext::GetNotify() const {
  std::lock_guard<std::mutex> g(m_lock);
  return m_notify;
}

void TaskContext::Clear() {
  std::lock_guard<std::mutex> g(m_lock);
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
  std::lock_guard<std::mutex> g(m_state_mutex);
  if (m_state == RUN) {
    m_state = PAUSE;
    m_state_cv.notify_all();
  }
  return 0;
}

int Task::Resume() {
  std::lock_guard<std::mutex> g(m_state_mutex);
  if (m_state == PAUSE) {
    m_state = RUN;
    m_state_cv.notify_all();
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
  std::unique_lock<std::mutex> g(m_state_mutex);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  const bool left_run = m_state_cv.wait_until(g, deadline, [this] { return m_state != RUN; });
  return left_run ? -1 : 0;
}

Task::State Task::WaitWhilePaused(int seconds) {
  std::unique_lock<std::mutex> g(m_state_mutex);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  m_state_cv.wait_until(g, deadline, [this] { return m_state != PAUSE; });
  return m_state;
}

Task::State Task::GetState() const {
  std::lock_guard<std::mutex> g(m_state_mutex);
  return m_state;
}

void Task::SetState(State s) {
  std::lock_guard<std::mutex> g(m_state_mutex);
  m_state = s;
  m_state_cv.notify_all();
}
