// A real daemon against a server that cannot be trusted. Whatever the
// server sends, nothing outside the sync root is touched, memory stays
// bounded, no event is retried without a wait, and the daemon keeps running
// and still takes what is sound from the same server.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <mutex>
#include <random>

#include "fakes/daemon-runner.h"
#include "fakes/hostile-server.h"
#include "fakes/scripted-peer.h"
#include "fakes/sync-cluster.h"
#include "fakes/ui-listener.h"
#include "lib/base/errors.h"
#include "lib/base/utility.h"
#include "lib/net/channel.h"
#include "rsapi/rs-api.h"

namespace {

using sftest::DaemonSandbox;
using sftest::HostileServer;
using sftest::W;

constexpr auto kWait = std::chrono::seconds(60);

std::wstring Md4(const std::string& content) {
  sftest::TempDir d;
  sftest::WriteFile(d.Sub("f"), content);
  std::wstring h;
  EXPECT_EQ(RSCalcMD4Text(W(d.Sub("f")), h), 0);
  return h;
}

PullEntry File(uint64_t id, const std::wstring& path, const std::string& content) {
  PullEntry e;
  e.sync_id = id;
  e.type = SFT_FILE;
  e.status = FS_EXIST;
  e.size = content.size();
  e.hash = Md4(content);
  e.path = path;
  return e;
}

long RssKiB(pid_t pid) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(f, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  return 0;
}

// Counts hostile inputs across the suite, for its figures.
std::atomic<int> g_hostile{0};

class HostileServerTest : public ::testing::Test {
 protected:
  void SetUp() override { SF_WHOLE_SYSTEM_TEST(); }
  void StartDaemon(HostileServer& srv, const std::map<std::string, std::string>& env = {}) {
    box.config()["server"] = "127.0.0.1";
    box.config()["port"] = std::to_string(srv.port());
    box.config()["session"] = "s1";
    box.config()["worker_count"] = "2";
    box.WriteConfig();
    ASSERT_TRUE(box.StartDaemon(daemon, env));
  }
  bool Arrived(const std::string& rel, const std::string& content) {
    return sftest::WaitFor([&] { return sftest::ReadFile(box.Root() + rel) == content; }, kWait);
  }
  std::string Tail() {
    const std::string log = box.ReadLog();
    return log.substr(log.size() > 3000 ? log.size() - 3000 : 0);
  }
  void TearDown() override {
    if (sftest::kWholeSystemTestsSkipped) return;
    EXPECT_TRUE(daemon.Running()) << "the daemon died\n" << Tail();
    std::printf("[ figures  ] %s: %d hostile answers so far\n",
                ::testing::UnitTest::GetInstance()->current_test_info()->name(), g_hostile.load());
  }

  DaemonSandbox box;
  sftest::ChildProcess daemon;
};

TEST_F(HostileServerTest, PathsThatLeaveTheRootTouchNothingOutsideIt) {
  sftest::TempDir outside;
  ASSERT_EQ(symlink(outside.path().c_str(), (box.Root() + "/link").c_str()), 0);
  const std::string evil = "pwned";
  const std::vector<std::wstring> paths = {
      L"/../escape1",  L"/a/../../escape2", L"/./escape3", L"//escape4", L"/a\\..\\escape5",
      L"/link/victim", L"/link/sub/victim", L"/..",        L"/",
      L"/.ZentavoWorkingDirectory/../../escape6"};
  HostileServer srv(
      [&](Channel& ch, uint64_t base) {
        std::vector<PullEntry> list;
        if (base < 100) {
          uint64_t id = 1;
          for (const auto& p : paths) list.push_back(File(id++, p, evil));
          PullEntry dir = File(id++, L"/link/newdir", "");
          dir.type = SFT_DIR;
          list.push_back(dir);
          list.push_back(File(99, L"/ok.txt", "sound"));
          g_hostile += static_cast<int>(paths.size()) + 1;
        }
        return HostileServer::PullAnswer(ch, base < 100 ? 100 : base, list);
      },
      [&](Channel& ch, uint64_t, const std::wstring& path) {
        const std::string body = path == L"/ok.txt" ? "sound" : evil;
        return HostileServer::FileAnswer(ch, path, path == L"/ok.txt" ? 99 : 1, body.size(),
                                         Md4(body), 0, body);
      });
  StartDaemon(srv);
  ASSERT_TRUE(Arrived("/ok.txt", "sound")) << Tail();
  // A second pull comes only once every event of the first is done.
  ASSERT_TRUE(sftest::WaitFor([&] { return srv.Pulls() >= 2; }, kWait)) << Tail();
  EXPECT_TRUE(sftest::ReadTree(outside.path()).empty()) << "a file appeared behind the link";
  struct stat st {};
  ASSERT_EQ(lstat((box.Root() + "/link").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode)) << "the link was replaced";
  EXPECT_TRUE(sftest::PathExists(box.Root() + "/link/newdir") == false);
  // Nothing named escape* anywhere in the installation but inside the root.
  for (const auto& kv : sftest::ReadTree(box.dir().path()))
    EXPECT_EQ(kv.first.find("escape"), std::string::npos) << kv.first;
  for (const auto& kv : sftest::ReadTree(box.Root()))
    EXPECT_NE(kv.second.content, evil) << kv.first << " holds what an unsafe path carried";
}

TEST_F(HostileServerTest, LyingSizesAndEndlessPayloadsAreRefusedWithBoundedMemory) {
  std::atomic<bool> stop{false};
  HostileServer srv(
      [&](Channel& ch, uint64_t base) {
        std::vector<PullEntry> list;
        if (base < 10) {
          list.push_back(File(1, L"/lie-short", "12345"));
          PullEntry huge = File(2, L"/lie-huge", "12345");
          huge.size = uint64_t{1} << 50;
          list.push_back(huge);
          list.push_back(File(3, L"/lie-long", "12345"));
          list.push_back(File(9, L"/ok.txt", "sound"));
        }
        return HostileServer::PullAnswer(ch, base < 10 ? 10 : base, list);
      },
      [&](Channel& ch, uint64_t, const std::wstring& path) {
        ++g_hostile;
        if (path == L"/ok.txt")
          return HostileServer::FileAnswer(ch, path, 9, 5, Md4("sound"), 0, "sound");
        if (path == L"/lie-huge")
          return HostileServer::FileAnswer(ch, path, 2, uint64_t{1} << 50, Md4("12345"), 0,
                                           "12345");
        if (path == L"/lie-long")  // five bytes announced, ten sent
          return HostileServer::FileAnswer(ch, path, 3, 5, Md4("12345"), 0, "1234512345");
        // Five bytes announced, a payload of a terabyte that never ends.
        if (!HostileServer::FileAnswer(ch, path, 1, 5, Md4("12345"), 0, "", uint64_t{1} << 40))
          return false;
        const std::string block(kProtoBlockSize, 'x');
        for (uint32_t i = 0; !stop.load() && i < 100000; ++i)
          if (ProtoWriteSection(ch, SPROTO_ID_DELTAID, i) != 0 ||
              ProtoWriteSection(ch, SPROTO_ID_DELTADATA, block.data(),
                                static_cast<int>(block.size())) != 0 ||
              ch.FlushWrite(0) != 0)
            break;
        return false;
      });
  StartDaemon(srv);
  long max_rss = 0;
  ASSERT_TRUE(sftest::WaitFor(
      [&] {
        max_rss = std::max(max_rss, RssKiB(daemon.pid()));
        return sftest::ReadFile(box.Root() + "/ok.txt") == "sound" &&
               srv.DownloadsOf(L"/lie-short") >= 2;
      },
      kWait))
      << Tail();
  stop = true;
  EXPECT_LT(max_rss, 400 * 1024) << "KiB resident";
  for (const char* p : {"/lie-short", "/lie-huge", "/lie-long"})
    EXPECT_FALSE(sftest::PathExists(box.Root() + p)) << p;
  EXPECT_LE(srv.DownloadsOf(L"/lie-huge"), 3) << "a refused size is asked for again and again";
}

TEST_F(HostileServerTest, ChecksumsThatNeverMatchAreNotRetriedWithoutWaiting) {
  HostileServer srv(
      [&](Channel& ch, uint64_t base) {
        std::vector<PullEntry> list;
        if (base < 10) {
          list.push_back(File(1, L"/bad", "HELLO"));
          list.push_back(File(2, L"/ok.txt", "sound"));
        }
        return HostileServer::PullAnswer(ch, base < 10 ? 10 : base, list);
      },
      [&](Channel& ch, uint64_t, const std::wstring& path) {
        ++g_hostile;
        if (path == L"/ok.txt")
          return HostileServer::FileAnswer(ch, path, 2, 5, Md4("sound"), 0, "sound");
        return HostileServer::FileAnswer(ch, path, 1, 5, Md4("HELLO"), 0, "hello");
      });
  StartDaemon(srv);
  ASSERT_TRUE(Arrived("/ok.txt", "sound")) << Tail();
  ASSERT_TRUE(sftest::WaitFor([&] { return srv.DownloadsOf(L"/bad") >= 1; }, kWait));
  const auto start = std::chrono::steady_clock::now();
  // Eight seconds of retries: each comes after a wait, so only a handful.
  sftest::WaitFor([] { return false; }, std::chrono::seconds(8));
  const double secs =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_LE(srv.DownloadsOf(L"/bad"), 2 + static_cast<int>(secs / 2)) << Tail();
  EXPECT_FALSE(sftest::PathExists(box.Root() + "/bad"));
}

TEST_F(HostileServerTest, AnEndlessPullKeepsMemoryBounded) {
  std::atomic<int> pulls{0};
  std::atomic<bool> stop{false};
  HostileServer srv(
      [&](Channel& ch, uint64_t base) {
        if (pulls++ == 0) {
          // The largest count a pull may announce, then entries for as long
          // as the daemon reads them (or 8 seconds).
          if (!HostileServer::Result(ch, SCMD_EVT_PULL, SPROTO_RES_OK) ||
              ProtoWriteSection(ch, SPROTO_ID_SID, uint64_t{5}) != 0 ||
              ProtoWriteSection(ch, SPROTO_ID_EVT_COUNT, kProtoMaxPullEvents) != 0)
            return false;
          const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(8);
          const std::wstring hash = Md4("x");
          for (uint32_t i = 0; i < kProtoMaxPullEvents && !stop.load() &&
                               std::chrono::steady_clock::now() < end;
               ++i) {
            g_hostile += 1;
            if (ProtoWriteSection(ch, SPROTO_ID_SEQID, i) != 0 ||
                ProtoWriteSection(ch, SPROTO_ID_SID, uint64_t{1}) != 0 ||
                ProtoWriteSection(ch, SPROTO_ID_FILETYPE, uint8_t{SFT_FILE}) != 0 ||
                ProtoWriteSection(ch, SPROTO_ID_FILESTATUS, uint8_t{FS_EXIST}) != 0 ||
                ProtoWriteSection(ch, SPROTO_ID_FILESIZE, uint64_t{1}) != 0 ||
                ProtoWriteSection(ch, SPROTO_ID_FILEHASH, hash) != 0 ||
                ProtoWriteSection(ch, SPROTO_ID_PATH,
                                  L"/endless/entry-with-a-rather-long-name-" + std::to_wstring(i)) !=
                    0)
              break;
          }
          return false;
        }
        std::vector<PullEntry> list;
        if (base < 10) list.push_back(File(10, L"/ok.txt", "sound"));
        return HostileServer::PullAnswer(ch, base < 10 ? 10 : base, list);
      },
      [&](Channel& ch, uint64_t, const std::wstring& path) {
        return HostileServer::FileAnswer(ch, path, 10, 5, Md4("sound"), 0, "sound");
      });
  StartDaemon(srv);
  long max_rss = 0;
  const bool ok = sftest::WaitFor(
      [&] {
        max_rss = std::max(max_rss, RssKiB(daemon.pid()));
        return sftest::ReadFile(box.Root() + "/ok.txt") == "sound";
      },
      std::chrono::seconds(90));
  stop = true;
  EXPECT_TRUE(ok) << Tail();
  EXPECT_LT(max_rss, 400 * 1024) << "KiB resident";
  EXPECT_FALSE(sftest::PathExists(box.Root() + "/endless"));
}

TEST_F(HostileServerTest, AnswersThatStopHalfWayAreRetried) {
  std::atomic<int> pulls{0}, downloads{0};
  const std::string body(100000, 'b');
  HostileServer srv(
      [&](Channel& ch, uint64_t base) {
        if (pulls++ < 2) {
          ++g_hostile;
          // Result, newest id and count, half an entry, then the end.
          HostileServer::Result(ch, SCMD_EVT_PULL, SPROTO_RES_OK);
          (void)ProtoWriteSection(ch, SPROTO_ID_SID, uint64_t{10});
          (void)ProtoWriteSection(ch, SPROTO_ID_EVT_COUNT, uint64_t{1});
          (void)ProtoWriteSection(ch, SPROTO_ID_SEQID, uint32_t{0});
          ch.FlushWrite(0);
          return false;
        }
        std::vector<PullEntry> list;
        if (base < 10) list.push_back(File(10, L"/half.bin", body));
        return HostileServer::PullAnswer(ch, base < 10 ? 10 : base, list);
      },
      [&](Channel& ch, uint64_t, const std::wstring& path) {
        if (downloads++ < 2) {
          ++g_hostile;
          // The whole length announced, half of it sent.
          HostileServer::FileAnswer(ch, path, 10, body.size(), Md4(body), 0,
                                    body.substr(0, body.size() / 2), body.size());
          return false;
        }
        return HostileServer::FileAnswer(ch, path, 10, body.size(), Md4(body), 0, body);
      });
  StartDaemon(srv);
  ASSERT_TRUE(Arrived("/half.bin", body)) << Tail();
  EXPECT_GE(downloads.load(), 3);
}

TEST_F(HostileServerTest, AnswersThatMakeNoSenseSetOnePathAsideWhileTheRestSyncs) {
  // Every download of /nonsense is answered with an object type that does
  // not exist. It is asked again a few times (after 1, 2 and 4 s here),
  // then set aside for the next start and shown to the user; nothing of it
  // holds up the other paths, nor the next pull.
  sftest::UiListener ui;
  ASSERT_TRUE(ui.ok());
  box.SetUiPort(ui.port());
  HostileServer srv(
      [&](Channel& ch, uint64_t base) {
        std::vector<PullEntry> list;
        if (base < 10) {
          list.push_back(File(1, L"/nonsense", "HELLO"));
          list.push_back(File(2, L"/ok.txt", "sound"));
        } else if (base < 11) {
          list.push_back(File(11, L"/later.txt", "later"));
        }
        return HostileServer::PullAnswer(ch, base < 10 ? 10 : 11, list);
      },
      [&](Channel& ch, uint64_t, const std::wstring& path) {
        if (path == L"/ok.txt")
          return HostileServer::FileAnswer(ch, path, 2, 5, Md4("sound"), 0, "sound");
        if (path == L"/later.txt")
          return HostileServer::FileAnswer(ch, path, 11, 5, Md4("later"), 0, "later");
        ++g_hostile;
        ObjectID id;
        id.sync_id = 1;
        id.path = path;
        if (HostileServer::Result(ch, SCMD_EVT_SEND, SPROTO_RES_OK) &&
            ProtoWriteObjectId(ch, id) == 0)
          (void)(ProtoWriteSection(ch, SPROTO_ID_FILETYPE, uint8_t{7}) == 0 && ch.FlushWrite(0));
        return false;  // and hang up
      });
  StartDaemon(srv, {{"SYNCFOLDER_TEST_PROTO_BACKOFF", "1"}});
  ASSERT_TRUE(Arrived("/ok.txt", "sound")) << Tail();
  // The next pull comes only once every event of the first is settled.
  ASSERT_TRUE(Arrived("/later.txt", "later")) << Tail();
  EXPECT_EQ(srv.DownloadsOf(L"/nonsense"), 4) << "one try and three retries, then set aside";
  EXPECT_FALSE(sftest::PathExists(box.Root() + "/nonsense"));
  EXPECT_TRUE(sftest::WaitFor([&] {
    return sftest::ReadFile(box.DbDir() + "/excep.list").find(" /nonsense\n") != std::string::npos;
  })) << "not kept for the next start: "
      << sftest::ReadFile(box.DbDir() + "/excep.list");
  const auto shown = [&] {
    std::string bytes, error;
    bool closed = false;
    std::vector<sftest::UiMessage> msgs;
    if (ui.Find(sftest::Bytes().u8(100).var("s1").str(), bytes, closed))
      (void)sftest::ParseUiMessages(bytes, msgs, error);
    for (const auto& m : msgs)
      if (m.type == 2 && m.value == ERR_PROTO) return true;
    return false;
  };
  EXPECT_TRUE(sftest::WaitFor(shown, kWait)) << "the user was not told";
  EXPECT_EQ(box.ReadLog().find("[CRIT]"), std::string::npos) << Tail();
}

TEST_F(HostileServerTest, PullAnswersThatMakeNoSenseAreShownAndAskedAgainLessOften) {
  // The first pulls are answered with an entry of an object type that does
  // not exist. Nothing else can go on without the pull: it is asked again
  // after 1, 2 and 4 s here (3 s doubling to 120 s by default), the user is
  // told once, and the message goes once the server makes sense again.
  sftest::UiListener ui;
  ASSERT_TRUE(ui.ok());
  box.SetUiPort(ui.port());
  std::mutex mu;
  std::vector<std::chrono::steady_clock::time_point> nonsense;  // guarded by mu
  HostileServer srv(
      [&](Channel& ch, uint64_t base) {
        {
          std::lock_guard<std::mutex> g(mu);
          if (nonsense.size() < 4) {
            nonsense.push_back(std::chrono::steady_clock::now());
            ++g_hostile;
            PullEntry odd = File(1, L"/odd", "x");
            odd.type = 7;
            return HostileServer::PullAnswer(ch, 10, {odd});
          }
        }
        std::vector<PullEntry> list;
        if (base < 10) list.push_back(File(10, L"/ok.txt", "sound"));
        return HostileServer::PullAnswer(ch, 10, list);
      },
      [&](Channel& ch, uint64_t, const std::wstring& path) {
        return HostileServer::FileAnswer(ch, path, 10, 5, Md4("sound"), 0, "sound");
      });
  StartDaemon(srv, {{"SYNCFOLDER_TEST_PROTO_BACKOFF", "1"}});
  ASSERT_TRUE(Arrived("/ok.txt", "sound")) << Tail();
  {
    std::lock_guard<std::mutex> g(mu);
    ASSERT_EQ(nonsense.size(), 4u);
    for (size_t i = 1; i < nonsense.size(); ++i)
      EXPECT_GE(nonsense[i] - nonsense[i - 1], std::chrono::seconds(1 << (i - 1)))
          << "retry " << i << " came too soon";
  }
  std::vector<int> errors;  // the error messages, in order
  const auto shown = [&] {
    std::string bytes, error;
    bool closed = false;
    std::vector<sftest::UiMessage> msgs;
    errors.clear();
    if (ui.Find(sftest::Bytes().u8(100).var("s1").str(), bytes, closed))
      (void)sftest::ParseUiMessages(bytes, msgs, error);
    for (const auto& m : msgs)
      if (m.type == 2 && m.value <= 0) errors.push_back(m.value);
    return !errors.empty() && errors.back() == 0;
  };
  EXPECT_TRUE(sftest::WaitFor(shown, kWait)) << "the message was not cleared";
  EXPECT_EQ(errors, (std::vector<int>{ERR_PROTO, 0})) << "told once, then cleared";
  EXPECT_FALSE(sftest::PathExists(box.Root() + "/odd"));
  EXPECT_EQ(box.ReadLog().find("[CRIT]"), std::string::npos) << Tail();
}

}  // namespace
