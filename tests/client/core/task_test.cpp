#include "client/core/task.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "fakes/test-util.h"

namespace {

using sftest::WaitFor;

int RawThreadCount() {
  int n = 0;
  DIR* d = opendir("/proc/self/task");
  if (d == nullptr) return -1;
  while (dirent* e = readdir(d))
    if (e->d_name[0] != '.') ++n;
  closedir(d);
  return n;
}

// Counts this process's threads. A sanitizer runtime may start a helper
// thread of its own with the first thread we create, so one thread is
// started and joined first to make the baseline stable. A joined thread can
// still be listed for a moment (the kernel wakes the joiner before it removes
// the exiting thread), so the warm-up waits until its thread is gone and
// callers compare through ThreadCountSettlesAt.
int ThreadCount() {
  static const bool warmed_up = [] {
    pid_t tid = 0;
    std::thread([&] { tid = static_cast<pid_t>(syscall(SYS_gettid)); }).join();
    const std::string entry = "/proc/self/task/" + std::to_string(tid);
    WaitFor([&] { return access(entry.c_str(), F_OK) != 0; });
    return true;
  }();
  (void)warmed_up;
  return RawThreadCount();
}

bool ThreadCountSettlesAt(int n) {
  return WaitFor([&] { return ThreadCount() == n; });
}

// Loops the way the daemon's tasks do: wait while running, idle while paused.
class LoopTask : public Task {
 public:
  LoopTask() : Task(nullptr, nullptr) {}
  ~LoopTask() override { Stop(); }
  void DoTask() override {
    ++entered;
    while (GetState() != STOP) {
      if (Wait(600) == 0 || GetState() != PAUSE) continue;
      ++paused;
      if (WaitWhilePaused(600) == RUN) ++resumed;
    }
    ++exited;
  }
  std::atomic<int> entered{0}, exited{0}, paused{0}, resumed{0};
};

TEST(TaskTest, RunStartsOneThreadAndStopJoinsIt) {
  const int before = ThreadCount();
  {
    LoopTask t;
    EXPECT_EQ(t.GetState(), Task::STOP);
    EXPECT_EQ(t.Init(), 0);
    ASSERT_EQ(t.Run(), 0);
    EXPECT_EQ(t.GetState(), Task::RUN);
    ASSERT_TRUE(WaitFor([&] { return t.entered == 1; }));
    EXPECT_EQ(t.Run(), 0);  // already running: no second thread
    EXPECT_TRUE(ThreadCountSettlesAt(before + 1)) << ThreadCount() << " vs " << before;

    // Stop must wake the 600-second wait and join.
    EXPECT_EQ(t.Stop(), 0);
    EXPECT_EQ(t.exited, 1);
    EXPECT_EQ(t.entered, 1);
    EXPECT_EQ(t.GetState(), Task::STOP);
    EXPECT_EQ(t.Stop(), 0);
    EXPECT_TRUE(ThreadCountSettlesAt(before)) << ThreadCount() << " vs " << before;

    ASSERT_EQ(t.Run(), 0);  // a stopped task can run again on a new thread
    ASSERT_TRUE(WaitFor([&] { return t.entered == 2; }));
  }  // the destructor stops and joins
  EXPECT_TRUE(ThreadCountSettlesAt(before)) << ThreadCount() << " vs " << before;
}

TEST(TaskTest, PauseAndResumeReachTheLoop) {
  LoopTask t;
  ASSERT_EQ(t.Run(), 0);
  ASSERT_TRUE(WaitFor([&] { return t.entered == 1; }));
  EXPECT_EQ(t.Pause(), 0);
  EXPECT_EQ(t.GetState(), Task::PAUSE);
  // The loop leaves its long wait, idles while paused, and goes on after a resume.
  ASSERT_TRUE(WaitFor([&] { return t.paused == 1; }));
  EXPECT_EQ(t.resumed, 0);
  EXPECT_EQ(t.Resume(), 0);
  EXPECT_EQ(t.GetState(), Task::RUN);
  ASSERT_TRUE(WaitFor([&] { return t.resumed == 1; }));
  t.Pause();
  ASSERT_TRUE(WaitFor([&] { return t.paused == 2; }));
  // Stopping a paused task ends it too.
  EXPECT_EQ(t.Stop(), 0);
  EXPECT_EQ(t.exited, 1);
}

TEST(TaskTest, WaitEndsAsSoonAsTheStateLeavesRun) {
  Task t(nullptr, nullptr);  // the base body returns at once; the state stays RUN
  ASSERT_EQ(t.Run(), 0);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(t.Wait(1), 0);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));

  for (Task::State s : {Task::PAUSE, Task::STOP}) {
    t.SetState(Task::RUN);
    auto waited = std::async(std::launch::async, [&] { return t.Wait(3600); });
    ASSERT_EQ(waited.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
    if (s == Task::PAUSE)
      t.Pause();
    else
      t.SetState(Task::STOP);
    ASSERT_EQ(waited.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    EXPECT_EQ(waited.get(), -1);
  }
  t.SetState(Task::PAUSE);
  EXPECT_EQ(t.Wait(3600), -1);  // not running: returns at once
  EXPECT_EQ(t.Stop(), 0);
}

TEST(TaskTest, IdleWaitEndsAtAWakeAndLosesNoneMadeBeforeIt) {
  LoopTask t;  // driven from this thread: no DoTask runs
  t.SetState(Task::RUN);
  // Work queued between a look at the queues and the wait must not sit out
  // the wait.
  t.Wake();
  EXPECT_EQ(t.IdleWait(600), 1);
  EXPECT_EQ(t.IdleWait(0), 0);  // that wake is used up
  auto waiting = std::async(std::launch::async, [&] { return t.IdleWait(600); });
  t.Wake();
  EXPECT_EQ(waiting.get(), 1);
  waiting = std::async(std::launch::async, [&] { return t.IdleWait(600); });
  t.SetState(Task::PAUSE);
  EXPECT_EQ(waiting.get(), -1);
}

TEST(TaskTest, PauseOrResumeOfAStoppedTaskDoesNotBlockRun) {
  LoopTask t;
  EXPECT_EQ(t.Pause(), 0);
  EXPECT_EQ(t.GetState(), Task::STOP);
  EXPECT_EQ(t.Resume(), 0);
  EXPECT_EQ(t.GetState(), Task::STOP);
  ASSERT_EQ(t.Run(), 0);
  EXPECT_TRUE(WaitFor([&] { return t.entered == 1; }));
}

class SelfStopTask : public Task {
 public:
  SelfStopTask() : Task(nullptr, nullptr) {}
  ~SelfStopTask() override { Stop(); }
  void DoTask() override { result = Stop(); }
  std::atomic<int> result{1};
};

TEST(TaskTest, StopFromTheTasksOwnThreadIsRefused) {
  SelfStopTask t;
  ASSERT_EQ(t.Run(), 0);
  ASSERT_TRUE(WaitFor([&] { return t.result != 1; }));
  EXPECT_EQ(t.result, -1);
  EXPECT_EQ(t.Stop(), 0);
}

TEST(TaskTest, IdsFollowCreationOrder) {
  Task a(nullptr, nullptr), b(nullptr, nullptr);
  EXPECT_EQ(b.GetId(), a.GetId() + 1);
}

Event Ev(uint32_t mode, const std::wstring& path) {
  return Event(EV_MODIFY, mode, path);
}

TEST(TaskContextTest, KeepsNewestEventOfEachKindAndCountsAll) {
  TaskContext ctx;
  EXPECT_EQ(ctx.GetNotify(), 0);
  ctx.PushEvent(Ev(F_SERVER, L"/s1"));
  ctx.PushEvent(Ev(F_SERVER, L"/s2"));
  ctx.PushEvent(Ev(0, L"/l1"));
  EXPECT_EQ(ctx.GetServerEventCount(), 2);
  EXPECT_EQ(ctx.GetLocalEventCount(), 1);
  EXPECT_EQ(ctx.GetNotify(), 1);

  Event s, l;
  EXPECT_EQ(ctx.GetEvents(s, l), 2);
  EXPECT_EQ(s.m_path, L"/s2");
  EXPECT_EQ(l.m_path, L"/l1");
  EXPECT_EQ(ctx.GetServerEventCount(), 0);
  EXPECT_EQ(ctx.GetLocalEventCount(), 0);
  EXPECT_EQ(ctx.GetNotify(), 0);
  EXPECT_EQ(ctx.GetEvents(s, l), 0);
  EXPECT_FALSE(s.isValid());
  EXPECT_FALSE(l.isValid());

  ctx.PushEvent(Ev(0, L"/l2"));
  EXPECT_EQ(ctx.GetEvents(s, l), 1);
  EXPECT_FALSE(s.isValid());
  EXPECT_EQ(l.m_path, L"/l2");
}

TEST(TaskContextTest, SetNotifyAndClear) {
  TaskContext ctx;
  ctx.SetNotify();
  EXPECT_EQ(ctx.GetNotify(), 1);
  ctx.PushEvent(Ev(F_SERVER, L"/s"));
  ctx.Clear();
  EXPECT_EQ(ctx.GetNotify(), 0);
  EXPECT_EQ(ctx.GetServerEventCount(), 0);
  Event s, l;
  EXPECT_EQ(ctx.GetEvents(s, l), 0);
}

TEST(TaskContextTest, ConcurrentDeliveriesAreAllCounted) {
  TaskContext ctx;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&ctx, t] {
      for (int i = 0; i < 250; ++i) ctx.PushEvent(Ev(t % 2 ? F_SERVER : 0, L"/p"));
    });
  for (auto& th : threads) th.join();
  EXPECT_EQ(ctx.GetServerEventCount(), 500);
  EXPECT_EQ(ctx.GetLocalEventCount(), 500);
}

}  // namespace
