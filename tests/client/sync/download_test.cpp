// Downloads and server removals by one worker against the reference server
// (and a scripted one for answers the real server never gives): the faults
// of the design that the engine mends.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <vector>

#include "client/core/ui-sink.h"
#include "fakes/engine-fixture.h"
#include "fakes/scripted-peer.h"
#include "fakes/test-util.h"
#include "lib/base/errors.h"
#include "lib/fs/trash.h"
#include "rsapi/rs-api.h"

namespace {

using sftest::PathExists;
using sftest::ReadFile;
using sftest::W;
using sftest::WriteFile;

class DownloadTest : public EngineTest {
 protected:
  void SetUp() override { SetUpEngine(4); }

  // Puts `content` on the server at `path` and returns its sync id.
  uint64_t Put(const std::string& path, const std::string& content, uint32_t mtime = 1600000000) {
    ObjectRow row;
    EXPECT_EQ(HookPutBytes(server->store(), path, content, mtime, "bob", &row), 0) << path;
    return row.sync_id;
  }
  uint64_t Mkdir(const std::string& path) {
    ObjectRow row;
    EXPECT_EQ(HookMkdir(server->store(), path, 1600000000, "bob", &row), 0) << path;
    return row.sync_id;
  }
  int Download(const std::string& path, uint64_t id) {
    return worker->DownloadRemote(id, W(path));
  }
  int RemoveLocal(const std::string& path) { return worker->RemoveLocal(W(path)); }
  // Downloads `path` at its current server version.
  void Fetch(const std::string& path) {
    ASSERT_EQ(Download(path, ServerRow(path).sync_id), ERR_OK) << path;
  }
  bool WorkDirEmpty() {
    DIR_HANDLE h;
    FSOpenDir(W(Local("/.ZentavoWorkingDirectory")), 0, h);
    DIR_ENTRY e;
    int n = 0;
    while (FSReadDir(h, e) == 1)
      if (e.name != L"." && e.name != L"..") ++n;
    return n == 0;
  }
  std::vector<std::string> ConflictCopies(const std::string& dir_rel, const std::string& stem) {
    std::vector<std::string> out;
    DIR_HANDLE h;
    FSOpenDir(W(Local(dir_rel)), 0, h);
    DIR_ENTRY e;
    while (FSReadDir(h, e) == 1) {
      const std::string n = WideToUtf8Lossy(e.name);
      if (n.rfind(stem + "_" + kClient + "_", 0) == 0) out.push_back(n);
    }
    return out;
  }
};

TEST_F(DownloadTest, ServerPathsThatCouldLeaveTheRootAreDroppedAndShown) {
  sftest::TempDir outside;
  for (const wchar_t* p : {L"/../escape", L"/a/../../escape", L"/./x", L"/a//b", L"/a\\..\\b",
                           L"relative", L"/", L"/a/"}) {
    mgr->ResetLastError();
    EXPECT_EQ(worker->DownloadRemote(5, p), ERR_OK) << WideToUtf8Lossy(p);
    EXPECT_EQ(mgr->GetLastError(), ERR_INVAL) << WideToUtf8Lossy(p);
    mgr->ResetLastError();
    EXPECT_EQ(worker->RemoveLocal(p), ERR_OK) << WideToUtf8Lossy(p);
    EXPECT_EQ(mgr->GetLastError(), ERR_INVAL) << WideToUtf8Lossy(p);
  }
  EXPECT_FALSE(PathExists(dir.Sub("escape")));
  EXPECT_TRUE(PathExists(dir.Sub("sync")));
  EXPECT_TRUE(server->Payloads().empty()) << "nothing was even asked for";
}

TEST_F(DownloadTest, ALinkInsideTheRootIsNeverFollowed) {
  // "docs" in the sync root is the user's link to a folder elsewhere.
  sftest::TempDir outside;
  WriteFile(outside.Sub("victim"), "precious");
  ASSERT_EQ(symlink(outside.path().c_str(), Local("/docs").c_str()), 0);
  // The server holds a folder "docs" with a file in a new sub-folder, and
  // removes "docs/victim".
  Put("/docs/victim", "server copy");
  const uint64_t id = Put("/docs/new/f.txt", "x");
  ASSERT_EQ(HookRemove(server->store(), "/docs/victim"), 0);

  EXPECT_EQ(RemoveLocal("/docs/victim"), ERR_OK);
  EXPECT_EQ(ReadFile(outside.Sub("victim")), "precious");
  mgr->ResetLastError();
  EXPECT_EQ(Download("/docs/new/f.txt", id), ERR_OK);
  EXPECT_FALSE(PathExists(outside.Sub("new"))) << "no folder is made outside the root";
  EXPECT_EQ(mgr->GetLastError(), ERR_INVAL) << "the user learns a change was not applied";
  struct stat st;
  ASSERT_EQ(lstat(Local("/docs").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode)) << "the link itself stays";
}

TEST_F(DownloadTest, AFileWhereAFolderBelongsDelaysTheFilesInsideIt) {
  // The server made a folder where the user has a file; the folder's own
  // event clears the way, whichever worker gets there first.
  WriteFile(Local("/fd"), "the user's file");
  const uint64_t inner = Put("/fd/inner.txt", "inside");
  EXPECT_EQ(Download("/fd/inner.txt", inner), ERR_SYS);  // retried, not dropped
  EXPECT_EQ(mgr->GetLastError(), 0);
  Fetch("/fd");
  EXPECT_EQ(Download("/fd/inner.txt", inner), ERR_OK);
  EXPECT_EQ(ReadFile(Local("/fd/inner.txt")), "inside");
  const auto copies = ConflictCopies("", "fd");
  ASSERT_EQ(copies.size(), 1u);
  EXPECT_EQ(ReadFile(Local("/" + copies[0])), "the user's file");
}

TEST_F(DownloadTest, WithoutAUsableBasisTheWholeFileIsAskedFor) {
  // Big enough for the checksum and signature to be taken on threads of
  // their own as the payload arrives, and no two blocks alike.
  std::string v1(700001, '\0');
  uint32_t x = 1;
  for (char& c : v1) c = static_cast<char>((x = x * 1103515245u + 12345u) >> 23);
  std::string v2 = v1;
  v2.replace(1000, 5, "EDIT!");
  Put("/f", v1);
  Fetch("/f");
  const uint64_t id2 = Put("/f", v2);
  // The basis is gone: a delta against it could never be applied, and asking
  // for it again would bring the same delta back.
  ASSERT_EQ(unlink(Local("/f").c_str()), 0);
  EXPECT_EQ(Download("/f", id2), ERR_OK);
  EXPECT_TRUE(ReadFile(Local("/f")) == v2);
  EXPECT_EQ(server->SentPayloads().delta, 0u);
  // The signature kept for the next delta is the content's.
  ASSERT_EQ(RSCalcSign(Utf8ToWideLossy(Local("/f")), Utf8ToWideLossy(dir.Sub("v2.sig"))), 0);
  EXPECT_TRUE(ReadFile(WideToUtf8Lossy(Row("/f").signaturePath)) == ReadFile(dir.Sub("v2.sig")));

  // The basis was edited: the delta does not fit, the edit is kept aside,
  // and the next attempt asks for the whole file.
  std::string v3 = v2;
  v3.replace(5000, 5, "MORE!");
  const uint64_t id3 = Put("/f", v3);
  WriteFile(Local("/f"), std::string(200000, 'z'));
  EXPECT_EQ(Download("/f", id3), ERR_INT);
  EXPECT_EQ(Download("/f", id3), ERR_OK);
  EXPECT_TRUE(ReadFile(Local("/f")) == v3);
  ASSERT_EQ(RSCalcSign(Utf8ToWideLossy(Local("/f")), Utf8ToWideLossy(dir.Sub("v3.sig"))), 0);
  EXPECT_TRUE(ReadFile(WideToUtf8Lossy(Row("/f").signaturePath)) == ReadFile(dir.Sub("v3.sig")));
  const auto copies = ConflictCopies("", "f");
  ASSERT_EQ(copies.size(), 1u);
  EXPECT_TRUE(ReadFile(Local("/" + copies[0])) == std::string(200000, 'z'));
  EXPECT_TRUE(WorkDirEmpty());
}

TEST_F(DownloadTest, AFileDeletedWhileStoppedIsRestored) {
  Put("/d/f", "content");
  Fetch("/d");
  Fetch("/d/f");
  ASSERT_EQ(unlink(Local("/d/f").c_str()), 0);
  ASSERT_EQ(rmdir(Local("/d").c_str()), 0);
  // The start-up rescan asks for what the database has and the disk lacks.
  EXPECT_EQ(Download("/d", UINT64_MAX), ERR_OK);
  EXPECT_EQ(Download("/d/f", UINT64_MAX), ERR_OK);
  EXPECT_EQ(ReadFile(Local("/d/f")), "content");
  EXPECT_EQ(Mtime(Local("/d/f")), 1600000000);
}

TEST_F(DownloadTest, ANewItemRemovedAsItArrivesIsRemovedFromTheServerToo) {
  // Removed once placed and before it was recorded: the removal found no
  // row then, so only the download can queue it, or the server would keep
  // what the user removed.
  for (const std::string p : {"/gone.txt", "/gone-dir"}) {
    const bool is_dir = p == "/gone-dir";
    const uint64_t id = is_dir ? Mkdir(p) : Put(p, "placed, then removed");
    RemoveWhenStatted(p, is_dir, [&] { return Row(p).syncID == id; });
    ASSERT_EQ(Download(p, id), ERR_OK);
    FSSetFaultHook(nullptr);
    ExpectQueuedRemoval(p, is_dir);
  }
}

TEST_F(DownloadTest, AServerEchoTransfersNothing) {
  const uint64_t id = Put("/f", "x");
  Fetch("/f");
  const size_t before = server->Payloads().size();
  RefuseExchangesFor("/f");
  EXPECT_EQ(Download("/f", id), ERR_OK);
  EXPECT_EQ(server->Payloads().size(), before);
}

TEST_F(DownloadTest, ServerRemovalOfAFolderKeepsWhatWasNeverSyncedOrHasChanged) {
  Put("/d/a", "a");
  Put("/d/b", "b");
  Put("/d/sub/c", "c");
  for (const char* p : {"/d", "/d/a", "/d/b", "/d/sub", "/d/sub/c"}) Fetch(p);
  WriteFile(Local("/d/new"), "never synced");
  WriteFile(Local("/d/b"), "changed locally");
  ASSERT_EQ(mkdir(Local("/d/fresh").c_str(), 0755), 0);
  WriteFile(Local("/d/fresh/x"), "x");
  ASSERT_EQ(HookRemove(server->store(), "/d"), 0);

  EXPECT_EQ(RemoveLocal("/d"), ERR_OK);
  EXPECT_FALSE(PathExists(Local("/d/a")));
  EXPECT_FALSE(PathExists(Local("/d/sub")));
  EXPECT_EQ(ReadFile(Local("/d/new")), "never synced");
  EXPECT_EQ(ReadFile(Local("/d/b")), "changed locally");
  EXPECT_EQ(ReadFile(Local("/d/fresh/x")), "x");
  // Their rows are gone, and an expansion offers them for upload as new.
  EXPECT_TRUE(Row("/d/b").path.empty());
  EXPECT_TRUE(Row("/d").path.empty());
  EXPECT_EQ(mgr->GetExpandQueueSize(), 1u);

  // A removal the client has synced past (here: a file uploaded into the
  // folder after the server removed it) leaves the newer item alone.
  Put("/g/old", "o");
  for (const char* p : {"/g", "/g/old"}) Fetch(p);
  ASSERT_EQ(HookRemove(server->store(), "/g"), 0);
  const uint64_t removal = ServerRow("/g").sync_id;
  const uint64_t later = Put("/g/new", "uploaded after the removal");
  Fetch("/g/new");
  EXPECT_EQ(worker->RemoveLocal(W("/g/new"), removal), ERR_OK);
  EXPECT_EQ(worker->RemoveLocal(W("/g"), removal), ERR_OK);
  EXPECT_EQ(ReadFile(Local("/g/new")), "uploaded after the removal");
  EXPECT_EQ(Row("/g/new").syncID, later);
  EXPECT_EQ(worker->RemoveLocal(W("/g/old"), removal), ERR_OK);
  EXPECT_FALSE(PathExists(Local("/g/old")));

  // A file edited here since it was synced stays in place, whether the
  // removal arrives alone or with the edit: it goes up again as new.
  Put("/h", "synced");
  Fetch("/h");
  WriteFile(Local("/h"), "edited after the sync");
  ASSERT_EQ(HookRemove(server->store(), "/h"), 0);
  EXPECT_EQ(worker->RemoveLocal(W("/h"), ServerRow("/h").sync_id), ERR_OK);
  EXPECT_EQ(ReadFile(Local("/h")), "edited after the sync");
  EXPECT_TRUE(Row("/h").path.empty());
  EXPECT_EQ(mgr->GetLocalEventCount(), 1) << "the edit is offered for upload";

  // A folder holding only synced, unchanged items goes entirely.
  Put("/e/a", "a");
  for (const char* p : {"/e", "/e/a"}) Fetch(p);
  ASSERT_EQ(HookRemove(server->store(), "/e"), 0);
  EXPECT_EQ(RemoveLocal("/e"), ERR_OK);
  EXPECT_FALSE(PathExists(Local("/e")));
}

TEST_F(DownloadTest, FoldersMadeForADownloadAreNotSentBackWhenTheServerRemovedThemMeanwhile) {
  // A pull lists a fresh tree; its file arrives first and its folders are
  // made for it, then another client removes the tree before the folders'
  // own downloads ask for them. Nothing here was changed by the user: the
  // folders go with the server's removal, and nothing is offered for upload
  // (that would bring the tree back for every client).
  Put("/r/c/d.txt", "d");
  const uint64_t r = ServerRow("/r").sync_id, c = ServerRow("/r/c").sync_id;
  Fetch("/r/c/d.txt");
  ASSERT_TRUE(Row("/r/c").path.empty()) << "made as a parent, not recorded";
  ASSERT_EQ(HookRemove(server->store(), "/r"), 0);
  EXPECT_EQ(Download("/r/c", c), ERR_OK);
  EXPECT_EQ(Download("/r", r), ERR_OK);
  EXPECT_FALSE(PathExists(Local("/r")));
  EXPECT_EQ(mgr->GetLocalEventCount(), 0);
  EXPECT_EQ(mgr->GetExpandQueueSize(), 0u);
  EXPECT_TRUE(ConflictCopies("", "r").empty());

  // What the user did put into such a folder stays, with the folder.
  Put("/s/c/d.txt", "d");
  const uint64_t sc = ServerRow("/s/c").sync_id;
  Fetch("/s/c/d.txt");
  WriteFile(Local("/s/c/mine.txt"), "made here");
  ASSERT_EQ(HookRemove(server->store(), "/s"), 0);
  EXPECT_EQ(Download("/s/c", sc), ERR_OK);
  EXPECT_EQ(ReadFile(Local("/s/c/mine.txt")), "made here");
  EXPECT_FALSE(PathExists(Local("/s/c/d.txt")));
}

TEST_F(DownloadTest, ALocalEditRightBeforePlacementIsKeptAside) {
  Put("/f", "v1");
  Fetch("/f");
  const uint64_t id = Put("/f", "v2 from the server");
  // The user saves the file after the basis was checked, while the new
  // content is being readied in the working directory.
  std::atomic<bool> edited{false};
  FSSetFaultHook([&](FSOp op, const std::wstring& path) {
    if (op == FSOP_UTIME && path.find(L".ZentavoWorkingDirectory") != std::wstring::npos &&
        !edited.exchange(true)) {
      WriteFile(Local("/f"), "the user's late edit");
    }
    return 0;
  });
  EXPECT_EQ(Download("/f", id), ERR_OK);
  FSSetFaultHook(nullptr);
  ASSERT_TRUE(edited);
  EXPECT_EQ(ReadFile(Local("/f")), "v2 from the server");
  const auto copies = ConflictCopies("", "f");
  ASSERT_EQ(copies.size(), 1u);
  EXPECT_EQ(ReadFile(Local("/" + copies[0])), "the user's late edit");
}

// A user write that lands in the instant between the check of the local
// file and the placement: with a file system that can swap two names in one
// step (the temp file and the target), and with one that cannot (EINVAL).
TEST_F(DownloadTest, AnEditLandingDuringThePlacementIsKeptAsAConflictCopy) {
  for (const int swap_error : {0, EINVAL}) {
    SCOPED_TRACE(swap_error);
    const std::string f = "/f" + std::to_string(swap_error);
    Put(f, "v1");
    Fetch(f);
    const uint64_t id = Put(f, "v2 from the server");
    int calls = 0;
    Worker::SetPlacementHook([&](const std::wstring&) {
      if (calls++ == 0) WriteFile(Local(f), "the user's edit in the last instant");
      return swap_error;
    });
    EXPECT_EQ(Download(f, id), ERR_OK);
    Worker::SetPlacementHook(nullptr);
    EXPECT_EQ(ReadFile(Local(f)), "v2 from the server");
    const auto copies = ConflictCopies("", f.substr(1));
    ASSERT_EQ(copies.size(), 1u);
    EXPECT_EQ(ReadFile(Local("/" + copies[0])), "the user's edit in the last instant");
    EXPECT_EQ(Row(f).syncID, id);
    EXPECT_TRUE(WorkDirEmpty());
  }
}

// The same for a file that is new here: one the user makes at that path in
// that instant is not replaced.
TEST_F(DownloadTest, AFileMadeWhereANewOneIsPlacedIsKeptAsAConflictCopy) {
  for (const int swap_error : {0, EINVAL}) {
    SCOPED_TRACE(swap_error);
    const std::string f = "/n" + std::to_string(swap_error);
    const uint64_t id = Put(f, "from the server");
    int calls = 0;
    Worker::SetPlacementHook([&](const std::wstring&) {
      if (calls++ == 0) WriteFile(Local(f), "made here meanwhile");
      return swap_error;
    });
    EXPECT_EQ(Download(f, id), ERR_OK);
    Worker::SetPlacementHook(nullptr);
    EXPECT_EQ(ReadFile(Local(f)), "from the server");
    const auto copies = ConflictCopies("", f.substr(1));
    ASSERT_EQ(copies.size(), 1u);
    EXPECT_EQ(ReadFile(Local("/" + copies[0])), "made here meanwhile");
    EXPECT_TRUE(WorkDirEmpty());
  }
}

TEST_F(DownloadTest, ACutTransferLeavesTheTargetAsItWas) {
  // Connections opened from now on are cut once 20000 payload bytes crossed.
  FaultPlan f;
  f.cut_after_payload = 20000;
  server->SetFaults(f);
  Put("/f", "old");
  Fetch("/f");
  const uint64_t id = Put("/f", std::string(100000, 'n'));
  EXPECT_LT(Download("/f", id), 0);
  EXPECT_EQ(ReadFile(Local("/f")), "old");
  EXPECT_TRUE(WorkDirEmpty());
  EXPECT_EQ(Row("/f").fileSize, 3u);
}

TEST_F(DownloadTest, ThisPlatformsNameAndPathLimitsApply) {
  const std::string name255(255, 'n');
  const uint64_t id = Put("/" + name255, "fits");
  Fetch("/" + name255);
  EXPECT_EQ(ReadFile(Local("/" + name255)), "fits");
  EXPECT_EQ(mgr->GetLastError(), 0);
  // One byte more, or a whole path beyond 4095 bytes: dropped, and shown.
  EXPECT_EQ(Download("/" + std::string(256, 'n'), id), ERR_OK);
  EXPECT_EQ(mgr->GetLastError(), ERR_INVAL);
  mgr->ResetLastError();
  std::string deep;
  while (Local(deep).size() <= 4095) deep += "/" + std::string(200, 'd');
  EXPECT_EQ(Download(deep, id), ERR_OK);
  EXPECT_EQ(mgr->GetLastError(), ERR_INVAL);
  EXPECT_EQ(server->Payloads().size(), 1u);
}

// ---- the local trash ---------------------------------------------------------------

class ShownFiles : public UiSink {
 public:
  int WriteEvent(int32_t) override { return 0; }
  int WriteFileEvent(const Event& e) override {
    files.push_back(std::to_string(e.m_type) + ":" + WideToUtf8Lossy(e.m_path));
    return 0;
  }
  std::vector<std::string> files;
};

class TrashedTest : public DownloadTest {
 protected:
  void SetUp() override {
    ui = &shown;
    DownloadTest::SetUp();
    ASSERT_EQ(InitLocalTrash(*cfg), 0);
  }
  std::string Entry(size_t i) {
    auto e = TrashEntries();
    auto it = e.begin();
    for (; i > 0 && it != e.end(); --i) ++it;
    return it == e.end() ? std::string() : dir.Sub("db/trash/" + it->first);
  }
  ShownFiles shown;
};

TEST_F(TrashedTest, ServerRemovalsAndOverwritesLeaveTheOldBytesInTheTrash) {
  std::string v1;
  for (int i = 0; i < 70000; ++i) v1 += static_cast<char>(i * 13);
  Put("/docs/a.bin", v1);
  Put("/docs/b.txt", "removed on the server");
  Put("/d/x", "x");
  Put("/d/sub/y", "y");
  for (const char* p : {"/docs", "/docs/a.bin", "/docs/b.txt", "/d", "/d/x", "/d/sub", "/d/sub/y"})
    Fetch(p);

  const uint64_t id = Put("/docs/a.bin", "v2");
  EXPECT_EQ(Download("/docs/a.bin", id), ERR_OK);
  EXPECT_EQ(ReadFile(Local("/docs/a.bin")), "v2");
  ASSERT_EQ(HookRemove(server->store(), "/docs/b.txt"), 0);
  EXPECT_EQ(RemoveLocal("/docs/b.txt"), ERR_OK);
  EXPECT_FALSE(PathExists(Local("/docs/b.txt")));
  ASSERT_EQ(HookRemove(server->store(), "/d"), 0);
  EXPECT_EQ(RemoveLocal("/d"), ERR_OK);
  EXPECT_FALSE(PathExists(Local("/d")));

  ASSERT_EQ(TrashEntries().size(), 3u);
  EXPECT_TRUE(ReadFile(Entry(0) + "/docs/a.bin") == v1);
  EXPECT_EQ(ReadFile(Entry(1) + "/docs/b.txt"), "removed on the server");
  EXPECT_EQ(ReadFile(Entry(2) + "/d/x"), "x");
  EXPECT_EQ(ReadFile(Entry(2) + "/d/sub/y"), "y");
  EXPECT_EQ(shown.files,
            (std::vector<std::string>{"5:/docs/a.bin", "5:/docs/b.txt", "5:/d"}));
  EXPECT_TRUE(Received().empty()) << "keeping things sends nothing";
  EXPECT_TRUE(WorkDirEmpty());
}

TEST_F(TrashedTest, WhenTheTrashCannotTakeItNothingIsRemovedOrReplaced) {
  Put("/k", "the synced version");
  Put("/r", "stays");
  Fetch("/k");
  Fetch("/r");
  // The trash on another, full, file system.
  FSSetFaultHook([](FSOp op, const std::wstring& path) {
    if (path.find(L"/db/trash/") == std::wstring::npos) return 0;
    return op == FSOP_RENAME ? EXDEV : op == FSOP_WRITE ? ENOSPC : 0;
  });
  const uint64_t id = Put("/k", "new");
  EXPECT_EQ(Download("/k", id), ERR_DISKFULL);
  EXPECT_EQ(ReadFile(Local("/k")), "the synced version");
  EXPECT_NE(Row("/k").syncID, id);
  ASSERT_EQ(HookRemove(server->store(), "/r"), 0);
  EXPECT_EQ(RemoveLocal("/r"), ERR_DISKFULL);
  EXPECT_EQ(ReadFile(Local("/r")), "stays");
  EXPECT_FALSE(Row("/r").path.empty());
  EXPECT_TRUE(TrashEntries().empty());
  EXPECT_TRUE(WorkDirEmpty());
  EXPECT_TRUE(shown.files.empty());

  // With room again, both go through, by copy.
  FSSetFaultHook([](FSOp op, const std::wstring& path) {
    return op == FSOP_RENAME && path.find(L"/db/trash/") != std::wstring::npos ? EXDEV : 0;
  });
  EXPECT_EQ(Download("/k", id), ERR_OK);
  EXPECT_EQ(RemoveLocal("/r"), ERR_OK);
  EXPECT_EQ(ReadFile(Local("/k")), "new");
  EXPECT_FALSE(PathExists(Local("/r")));
  EXPECT_EQ(ReadFile(Entry(0) + "/k"), "the synced version");
  EXPECT_EQ(ReadFile(Entry(1) + "/r"), "stays");
}

// ---- answers only a broken or hostile server gives --------------------------------

class HostileServerTest : public LocalStateTest {
 protected:
  void Start(const std::string& download_answer) {
    ProtoInit(4);
    using sftest::Bytes;
    peer.Send(Bytes()
                  .header(4, SCMD_REQUEST_CONNECT)
                  .sec8(SPROTO_ID_RES, SPROTO_RES_OK)
                  .sec32(SPROTO_ID_ALIVE, 60));
    peer.Send(download_answer);
    peer.Start();
    SetUpLocalState("server = \"127.0.0.1\"\nport = \"" + std::to_string(peer.port()) +
                    "\"\nsession = \"s1\"\n");
    ASSERT_EQ(mkdir(dir.Sub("sync/.ZentavoWorkingDirectory").c_str(), 0755), 0);
    WriteFile(dir.Sub("sync/f"), "the user's file");
    mgr = std::make_unique<TaskManager>(*cfg, 1, nullptr, nullptr);
    worker = std::make_unique<Worker4>(mgr.get(), &mailbox, 0);
  }
  void TearDown() override {
    worker.reset();
    mgr.reset();
  }
  static sftest::Bytes Head(uint8_t type, uint32_t blocks) {
    return sftest::Bytes()
        .header(4, SCMD_EVT_SEND)
        .sec8(SPROTO_ID_RES, SPROTO_RES_OK)
        .sec64(SPROTO_ID_SID, 9)
        .secstr(SPROTO_ID_PATH, "/f")
        .sec8(SPROTO_ID_FILETYPE, type)
        .sec32(SPROTO_ID_DATA_BLOCK, blocks);
  }
  sftest::ScriptedPeer peer;
  std::unique_ptr<TaskManager> mgr;
  TaskContext mailbox;
  std::unique_ptr<Worker> worker;
};

TEST_F(HostileServerTest, AnUnknownObjectTypeIsAProtocolErrorNotAFolder) {
  Start(Head(7, 0).sec32(SPROTO_ID_ALIVE, 60));
  EXPECT_EQ(worker->DownloadRemote(9, L"/f"), ERR_PROTO);
  EXPECT_EQ(ReadFile(dir.Sub("sync/f")), "the user's file");
}

TEST_F(HostileServerTest, AnOversizedFileIsRefusedBeforeAnythingIsWritten) {
  Start(Head(SFT_FILE, BLK_FILE | BLK_COMMON_ATTR)
            .sec32(SPROTO_ID_FILETIME, 1)
            .sec64(SPROTO_ID_FILESIZE, kMaxDownloadBytes + 1)
            .secstr(SPROTO_ID_FILEHASH, "h")
            .sec8(SPROTO_ID_DELTATYPE, 0)
            .sec64(SPROTO_ID_DELTALEN, kMaxDownloadBytes + 1));
  EXPECT_EQ(worker->DownloadRemote(9, L"/f"), ERR_OK);  // dropped: retrying cannot help
  EXPECT_EQ(mgr->GetLastError(), ERR_QUOTA);
  EXPECT_EQ(ReadFile(dir.Sub("sync/f")), "the user's file");
  DIR_HANDLE h;
  FSOpenDir(W(dir.Sub("sync/.ZentavoWorkingDirectory")), 0, h);
  DIR_ENTRY e;
  int n = 0;
  while (FSReadDir(h, e) == 1) n += e.name != L"." && e.name != L"..";
  EXPECT_EQ(n, 0);
}

}  // namespace
