#include <gtest/gtest.h>

#include <set>
#include <thread>
#include <vector>

#include "client/core/event-list.h"

namespace {

Event Make(Event::Type type, const std::wstring& path, uint32_t mode = 0, uint64_t size = 0) {
  Event e(type, mode, path);
  e.m_size = size;
  return e;
}

TEST(EventTest, DefaultIsEmptyLocalFile) {
  Event e;
  EXPECT_FALSE(e.isValid());
  EXPECT_EQ(e.m_type, EV_EMPTY);
  EXPECT_TRUE(e.isLocalEvent());
  EXPECT_TRUE(e.isFile());
  EXPECT_EQ(e.m_syncID, 0u);
  EXPECT_EQ(e.m_size, 0u);
  EXPECT_EQ(e.m_time, 0);
  EXPECT_TRUE(e.m_hash.empty() && e.m_path.empty() && e.m_opt.empty());
}

TEST(EventTest, SettersTouchOnlyTheirBit) {
  Event e;
  e.setDir();
  e.setExpand();
  e.setRescan();
  EXPECT_EQ(e.m_mode, F_DIR | F_EXPAND | F_RESCAN);
  e.setFile();
  EXPECT_EQ(e.m_mode, F_EXPAND | F_RESCAN);
  e.setServerEvent();
  e.setMerge();
  e.setExcep();
  EXPECT_TRUE(e.isServerEvent() && e.isMerge() && e.isExcep() && e.isExpand() && e.isRescan());
  EXPECT_FALSE(e.isLocalEvent() || e.isDir());
}

TEST(EventTest, ToStringOfLocalFileCreation) {
  Event e = Make(EV_CREATE, L"/docs/a.txt", 0, 5);
  e.m_hash = L"0123abcd";
  EXPECT_EQ(e.toString(), L"Event<EV_ADD>: [0] /docs/a.txt (local,file) size = 5, hash = 0123abcd");
}

TEST(EventTest, ToStringOfDirectoryHasNoSizeOrHash) {
  Event e = Make(EV_REMOVE, L"/d", F_DIR | F_SERVER | F_EXPAND, 99);
  e.m_syncID = 18446744073709551615ull;
  e.m_hash = L"ignored";
  EXPECT_EQ(e.toString(), L"Event<EV_REMOVE>: [18446744073709551615] /d (server,dir,expand)");
  Event m = Make(EV_MODIFY, L"/", F_DIR);
  EXPECT_EQ(m.toString(), L"Event<EV_MODIFY>: [0] / (local,dir)");
}

TEST(EventTest, ToStringOfRenames) {
  Event f = Make(EV_RENAME, L"/old.txt", 0, 7);
  f.m_opt = L"/new.txt";
  f.m_hash = L"h";
  EXPECT_EQ(f.toString(), L"Event<EV_RENAME>: from '/old.txt', to '/new.txt' size = 7, hash = h");
  Event d = Make(EV_RENAME, L"/a", F_DIR);
  d.m_opt = L"/b";
  EXPECT_EQ(d.toString(), L"Event<EV_RENAME>: from '/a', to '/b'");
  EXPECT_EQ(Make(EV_EMPTY, L"/x").toString(),
            L"Event<EV_EMPTY>: [0] /x (local,file) size = 0, hash = ");
}

TEST(EventTest, SwapExchangesEveryField) {
  Event a = Make(EV_CREATE, L"/a", F_DIR, 1);
  a.m_syncID = 3;
  a.m_time = 4;
  a.m_hash = L"ha";
  a.m_opt = L"/oa";
  Event b = Make(EV_RENAME, L"/b", F_SERVER, 2);
  const Event a0 = a, b0 = b;
  swap(a, b);
  EXPECT_EQ(a.toString(), b0.toString());
  EXPECT_EQ(b.toString(), a0.toString());
  EXPECT_EQ(b.m_time, 4);
  EXPECT_EQ(b.m_opt, L"/oa");
}

TEST(EventListTest, NewerEventReplacesQueuedOneInPlace) {
  EventList list(4096);
  Event old;
  EXPECT_EQ(list.Push(Make(EV_CREATE, L"/a", 0, 1), old), 1);
  EXPECT_EQ(list.Push(Make(EV_CREATE, L"/b")), 1);
  EXPECT_EQ(list.Push(Make(EV_MODIFY, L"/a", F_SERVER, 2), old), 0);
  EXPECT_EQ(old.m_type, EV_CREATE);
  EXPECT_EQ(old.m_size, 1u);
  EXPECT_EQ(list.Size(), 2);

  Event e;
  ASSERT_EQ(list.Pop(e), 0);
  // The replacement wins entirely (no merging of type or flags) and keeps a's place.
  EXPECT_EQ(e.m_path, L"/a");
  EXPECT_EQ(e.m_type, EV_MODIFY);
  EXPECT_EQ(e.m_mode, F_SERVER);
  EXPECT_EQ(e.m_size, 2u);
  ASSERT_EQ(list.Pop(e), 0);
  EXPECT_EQ(e.m_path, L"/b");
  EXPECT_EQ(list.Pop(e), -1);
  EXPECT_EQ(e.m_path, L"/b");  // untouched when empty
}

TEST(EventListTest, PopByPathTakesFromTheMiddleAndKeepsTheRestInOrder) {
  EventList list(16);
  for (const wchar_t* p : {L"/1", L"/2", L"/3", L"/4"}) list.Push(Make(EV_CREATE, p));
  Event e = Make(EV_RENAME, L"/sentinel");
  EXPECT_EQ(list.Pop(L"/missing", e), -1);
  EXPECT_EQ(e.m_path, L"/sentinel");
  EXPECT_EQ(e.m_type, EV_RENAME);

  ASSERT_EQ(list.Pop(L"/3", e), 0);
  EXPECT_EQ(e.m_path, L"/3");
  EXPECT_EQ(list.Pop(L"/3", e), -1);
  // A path popped by name can be queued again and goes to the back.
  EXPECT_EQ(list.Push(Make(EV_REMOVE, L"/3")), 1);
  std::vector<std::wstring> order;
  while (list.Pop(e) == 0) order.push_back(e.m_path);
  EXPECT_EQ(order, (std::vector<std::wstring>{L"/1", L"/2", L"/4", L"/3"}));
}

TEST(EventListTest, PathsAreComparedExactly) {
  EventList list(16);
  EXPECT_EQ(list.Push(Make(EV_CREATE, L"/A")), 1);
  EXPECT_EQ(list.Push(Make(EV_CREATE, L"/a")), 1);
  EXPECT_EQ(list.Push(Make(EV_CREATE, L"/a/")), 1);
  EXPECT_EQ(list.Size(), 3);
}

TEST(EventListTest, ClearEmptiesQueueAndIndex) {
  EventList list(16);
  list.Push(Make(EV_CREATE, L"/a"));
  list.Push(Make(EV_CREATE, L"/b"));
  EXPECT_FALSE(list.IsEmpty());
  list.Clear();
  EXPECT_TRUE(list.IsEmpty());
  EXPECT_EQ(list.Size(), 0);
  Event e;
  EXPECT_EQ(list.Pop(e), -1);
  EXPECT_EQ(list.Pop(L"/a", e), -1);
  // A stale index entry would make this a replacement.
  EXPECT_EQ(list.Push(Make(EV_CREATE, L"/a")), 1);
  EXPECT_EQ(list.MaxSize(), 16);
}

TEST(EventListTest, ConcurrentProducersAndConsumerLoseNothing) {
  EventList list(4096);
  constexpr int kThreads = 4;
  constexpr int kPaths = 500;
  std::vector<std::thread> producers;
  for (int t = 0; t < kThreads; ++t) {
    producers.emplace_back([&list, t] {
      // Each thread pushes every path; the list keeps one event per path.
      for (int i = 0; i < kPaths; ++i) {
        Event e = Make(EV_MODIFY, L"/p" + std::to_wstring(i));
        e.m_syncID = static_cast<uint64_t>(t);
        list.Push(e);
      }
    });
  }
  std::set<std::wstring> seen;
  std::thread consumer([&] {
    Event e;
    for (int i = 0; i < 200; ++i)
      if (list.Pop(e) == 0) seen.insert(e.m_path);
  });
  for (auto& t : producers) t.join();
  consumer.join();
  Event e;
  std::set<std::wstring> rest;
  while (list.Pop(e) == 0) EXPECT_TRUE(rest.insert(e.m_path).second) << "duplicate queued path";
  for (int i = 0; i < kPaths; ++i) {
    const std::wstring p = L"/p" + std::to_wstring(i);
    EXPECT_TRUE(seen.count(p) || rest.count(p)) << "lost " << i;
  }
}

}  // namespace
