// The upload against the reference server, for both protocol generations:
// what is sent (whole, delta, nothing), what the database records, and what
// each server answer leads to.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <map>
#include <memory>

#include "client/store/file-status-db.h"
#include "fakes/engine-fixture.h"
#include "lib/base/errors.h"
#include "lib/fs/nofollow-walk.h"
#include "rsapi/rs-api.h"

namespace {

using sftest::ReadFile;
using sftest::W;
using sftest::WriteFile;

std::string Pattern(size_t n, uint32_t seed) {
  std::string s(n, '\0');
  uint32_t x = seed * 2654435761u + 1;
  for (size_t i = 0; i < n; ++i) {
    x = x * 1664525u + 1013904223u;
    s[i] = static_cast<char>(x >> 24);
  }
  return s;
}

std::string Md4(const std::string& path) {
  std::wstring h;
  (void)RSCalcMD4Text(W(path), h);  // unreadable: empty, which matches no checksum
  return WideToUtf8Lossy(h);
}

// Installs a fault hook that, on the given calls of `op` (counted from 1),
// rewrites `path` with the content given for that call and puts its time
// back to `mtime`: a writer racing the upload that size and time cannot
// reveal.
void RewriteUnder(FSOp op, const std::string& path, time_t mtime, std::map<int, std::string> at) {
  auto calls = std::make_shared<std::atomic<int>>(0);
  FSSetFaultHook([=](FSOp o, const std::wstring&) {
    if (o != op) return 0;
    const auto it = at.find(++*calls);
    if (it != at.end()) {
      std::ofstream(path, std::ios::binary | std::ios::trunc) << it->second;
      utimbuf t{mtime, mtime};
      utime(path.c_str(), &t);
    }
    return 0;
  });
}

class UploadTest : public EngineTest, public ::testing::WithParamInterface<int> {
 protected:
  void SetUp() override { SetUpEngine(GetParam(), Filter()); }
  virtual std::string Filter() const { return "[Version]\nmajor = 1\nminor = 0\n"; }
};

class FilteredUploadTest : public UploadTest {
 protected:
  std::string Filter() const override {
    return "[Version]\nmajor = 1\nminor = 0\n[File]\nblack_ext = \"tmp\"\n";
  }
};

TEST_P(UploadTest, NewItemsAreSentWholeAndRecorded) {
  WriteFile(Local("/a.txt"), "hello");
  WriteFile(Local("/empty"), "");
  ASSERT_EQ(mkdir(Local("/d").c_str(), 0755), 0);
  SetMtime(Local("/a.txt"), 1500000000);
  ASSERT_EQ(Upload("/a.txt"), ERR_OK);
  ASSERT_EQ(Upload("/empty"), ERR_OK);
  ASSERT_EQ(Upload("/d"), ERR_OK);

  EXPECT_EQ(ReadFile(Shared("/a.txt")), "hello");
  EXPECT_EQ(ServerRow("/a.txt").mtime, 1500000000u);
  EXPECT_EQ(ReadFile(Shared("/empty")), "");
  EXPECT_TRUE(ServerRow("/d").isDir());
  const auto got = Received();
  ASSERT_EQ(got.size(), 2u);  // the directory has no content
  EXPECT_FALSE(got[0].delta);
  EXPECT_EQ(got[0].bytes, 5u);

  const ClientFileEventInfo row = Row("/a.txt");
  EXPECT_EQ(row.syncID, ServerRow("/a.txt").sync_id);
  EXPECT_EQ(row.fileSize, 5u);
  EXPECT_EQ(row.fileModTime, 1500000000u);
  EXPECT_EQ(WideToUtf8Lossy(row.fileCheckSum), Md4(Local("/a.txt")));
  ASSERT_FALSE(row.signaturePath.empty());
  EXPECT_EQ(row.signaturePath.compare(0, cfg->SignLocGet().size(), cfg->SignLocGet()), 0);
  EXPECT_TRUE(IsFileExist(row.signaturePath));
  // Written beside the send, it is whole and of the bytes sent.
  const std::string expected = dir.Sub("expected.sig");
  ASSERT_EQ(RSCalcSign(Utf8ToWideLossy(Local("/a.txt")), Utf8ToWideLossy(expected)), 0);
  EXPECT_EQ(ReadFile(WideToUtf8Lossy(row.signaturePath)), ReadFile(expected));
  EXPECT_TRUE(Row("/d").IsDir());
  // An unchanged directory the database knows needs no exchange.
  RefuseExchangesFor("/d");
  EXPECT_EQ(Upload("/d"), ERR_OK);
}

TEST_P(UploadTest, ChangedFileWithASignatureGoesAsASmallDelta) {
  std::string content = Pattern(20u << 20, 1);
  WriteFile(Local("/big.bin"), content);
  ASSERT_EQ(Upload("/big.bin"), ERR_OK);
  const uint64_t first = Row("/big.bin").syncID;
  for (size_t i = 0; i < 4096; ++i) content[(10u << 20) + i] ^= 0x5a;
  WriteFile(Local("/big.bin"), content);
  ASSERT_EQ(Upload("/big.bin"), ERR_OK);

  const auto got = Received();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_FALSE(got[0].delta);
  EXPECT_TRUE(got[1].delta);
  EXPECT_LT(got[1].bytes, content.size() / 10);
  EXPECT_EQ(Md4(Shared("/big.bin")), Md4(Local("/big.bin")));
  EXPECT_GT(Row("/big.bin").syncID, first);
  EXPECT_EQ(WideToUtf8Lossy(Row("/big.bin").fileCheckSum), Md4(Local("/big.bin")));
  // The signature kept for the next delta, mostly carried over from the
  // old one, is that of the new content; the next change, shifting every
  // block after it, goes as a delta against it and lands whole.
  const std::string expected = dir.Sub("expected.sig");
  ASSERT_EQ(RSCalcSign(Utf8ToWideLossy(Local("/big.bin")), Utf8ToWideLossy(expected)), 0);
  EXPECT_EQ(ReadFile(WideToUtf8Lossy(Row("/big.bin").signaturePath)), ReadFile(expected));
  content.insert(5u << 20, "a few new bytes");
  WriteFile(Local("/big.bin"), content);
  ASSERT_EQ(Upload("/big.bin"), ERR_OK);
  ASSERT_EQ(Received().size(), 3u);
  EXPECT_TRUE(Received()[2].delta);
  EXPECT_LT(Received()[2].bytes, content.size() / 10);
  EXPECT_EQ(Md4(Shared("/big.bin")), Md4(Local("/big.bin")));
}

TEST_P(UploadTest, TouchWithoutChangeSendsNothingAndPutsTheTimeBack) {
  WriteFile(Local("/t.txt"), "same");
  SetMtime(Local("/t.txt"), 1500000000);
  ASSERT_EQ(Upload("/t.txt"), ERR_OK);
  const ObjectRow before = ServerRow("/t.txt");
  RefuseExchangesFor("/t.txt");
  SetMtime(Local("/t.txt"), 1600000000);
  ASSERT_EQ(Upload("/t.txt"), ERR_OK);
  EXPECT_EQ(Mtime(Local("/t.txt")), 1500000000);
  EXPECT_EQ(Received().size(), 1u);
  EXPECT_EQ(ServerRow("/t.txt").sync_id, before.sync_id);
  // The time put back proves nothing about what is written next: a
  // rewrite of the same size that restores that time is sent.
  server->SetFaults(FaultPlan());
  WriteFile(Local("/t.txt"), "diff");
  SetMtime(Local("/t.txt"), 1500000000);
  ASSERT_EQ(Upload("/t.txt"), ERR_OK);
  EXPECT_EQ(ReadFile(Shared("/t.txt")), "diff");
}

TEST_P(UploadTest, SameSizeRewriteWithinTheRecordedSecondIsStillSent) {
  // Size and time alone would call the second version unchanged. The
  // rewrite has to land in the second of the first write; tried until it
  // does (the upload in between takes milliseconds).
  std::string path;
  for (int attempt = 0; attempt < 20 && path.empty(); ++attempt) {
    const std::string p = "/r" + std::to_string(attempt) + ".txt";
    WriteFile(Local(p), "first");
    const time_t written = Mtime(Local(p));
    ASSERT_EQ(Upload(p), ERR_OK);
    WriteFile(Local(p), "again");
    if (Mtime(Local(p)) == written) path = p;
  }
  ASSERT_FALSE(path.empty()) << "no rewrite within one second in 20 attempts";
  ASSERT_EQ(Row(path).fileModTime, static_cast<uint32_t>(Mtime(Local(path))));
  ASSERT_EQ(Upload(path), ERR_OK);
  EXPECT_EQ(ReadFile(Shared(path)), "again");
}

TEST_P(UploadTest, ChangeWhilePreparedIsNeverSentHalfOldHalfNew) {
  // The file changes under the read and changes back, keeping its size and
  // time: what was read is a mix that never existed on disk. (Big enough
  // for several chunks of the read.)
  const std::string a = Pattern(4 << 20, 2), b = Pattern(4 << 20, 3);
  WriteFile(Local("/m.bin"), a);
  SetMtime(Local("/m.bin"), 1500000000);
  RewriteUnder(FSOP_READ, Local("/m.bin"), 1500000000, {{2, b}, {4, a}});
  EXPECT_EQ(Upload("/m.bin"), ERR_INT);
  FSSetFaultHook(nullptr);
  EXPECT_TRUE(Received().empty()) << "content was sent";
  EXPECT_EQ(Row("/m.bin").syncID, 0u);

  ASSERT_EQ(Upload("/m.bin"), ERR_OK);
  EXPECT_EQ(ReadFile(Shared("/m.bin")), a);
}

TEST_P(UploadTest, AFolderSwappedForALinkWhileItsFileIsReadIsNeverReadThrough) {
  // Another user swaps the folder for a link to a private one, holding a
  // file of the same size and time, while the upload reads the file it
  // held. That read had the file inside the root; nothing after it, in
  // this attempt or the next, reads where the link leads.
  const std::string mine = Pattern(100000, 4), secret = Pattern(100000, 5);
  const std::string priv = dir.Sub("private");
  ASSERT_EQ(mkdir(priv.c_str(), 0700), 0);
  WriteFile(priv + "/k", secret);
  SetMtime(priv + "/k", 1500000000);
  ASSERT_EQ(mkdir(Local("/d").c_str(), 0755), 0);
  ASSERT_EQ(Upload("/d"), ERR_OK);
  WriteFile(Local("/d/k"), mine);
  SetMtime(Local("/d/k"), 1500000000);
  const std::string d = Local("/d");
  FSSetFaultHook([=](FSOp op, const std::wstring&) {
    if (op == FSOP_READ && !sftest::PathExists(d + ".away")) {
      (void)rename(d.c_str(), (d + ".away").c_str());
      (void)symlink(priv.c_str(), d.c_str());
    }
    return 0;
  });
  EXPECT_EQ(Upload("/d/k"), ERR_INT);
  FSSetFaultHook(nullptr);
  EXPECT_EQ(Upload("/d/k"), ERR_OK);  // refused: reached through a link
  EXPECT_TRUE(Received().empty()) << "content was sent";
  EXPECT_FALSE(sftest::PathExists(Shared("/d/k")));
  EXPECT_EQ(Row("/d/k").syncID, 0u);
}

TEST_P(UploadTest, ChangeWhileADeltaIsMadeIsNeverSentHalfOldHalfNew) {
  // A delta is made straight from the file: the same mix as above, under
  // that read, must not reach the server either, nor its signature be kept.
  const std::string a = Pattern(4 << 20, 2), b = Pattern(4 << 20, 3);
  std::string a2 = a;
  a2.replace(1 << 20, 5000, Pattern(5000, 4));
  WriteFile(Local("/m.bin"), a);
  ASSERT_EQ(Upload("/m.bin"), ERR_OK);
  WriteFile(Local("/m.bin"), a2);
  SetMtime(Local("/m.bin"), 1600000000);
  RewriteUnder(FSOP_READ, Local("/m.bin"), 1600000000, {{2, b}, {4, a2}});
  EXPECT_EQ(Upload("/m.bin"), ERR_INT);
  FSSetFaultHook(nullptr);
  EXPECT_EQ(Received().size(), 1u) << "content was sent";
  EXPECT_EQ(ReadFile(Shared("/m.bin")), a);

  ASSERT_EQ(Upload("/m.bin"), ERR_OK);
  EXPECT_TRUE(Received().back().delta);
  EXPECT_EQ(ReadFile(Shared("/m.bin")), a2);
  const std::string expected = dir.Sub("expected.sig");
  ASSERT_EQ(RSCalcSign(Utf8ToWideLossy(Local("/m.bin")), Utf8ToWideLossy(expected)), 0);
  EXPECT_EQ(ReadFile(WideToUtf8Lossy(Row("/m.bin").signaturePath)), ReadFile(expected));
}

TEST_P(UploadTest, ChangeWhilePreparedIsNotRecordedWhenTheServerWantsNoContent) {
  // What was read is what the server already has, so it takes no content;
  // the file was rewritten (same size, time put back) right after that
  // read. The answer must not be recorded as the file's, or the new bytes
  // would look synced from then on.
  const std::string a(4000, 'a'), b(4000, 'b');
  WriteFile(Local("/g.bin"), a);
  SetMtime(Local("/g.bin"), 1500000000);
  ASSERT_EQ(Upload("/g.bin"), ERR_OK);
  ASSERT_EQ(unlink(WideToUtf8Lossy(Row("/g.bin").signaturePath).c_str()), 0);
  SetMtime(Local("/g.bin"), 1600000000);
  RewriteUnder(FSOP_READ, Local("/g.bin"), 1600000000, {{2, b}});
  EXPECT_EQ(Upload("/g.bin"), ERR_INT);
  FSSetFaultHook(nullptr);
  EXPECT_EQ(Received().size(), 1u) << "content was sent";

  ASSERT_EQ(Upload("/g.bin"), ERR_OK);
  EXPECT_EQ(ReadFile(Shared("/g.bin")), b);
}

TEST_P(UploadTest, ContentSentIsRecordedButASignatureOfOtherBytesIsNot) {
  // The signature's read finds other bytes (the file rewritten, same size,
  // time put back) and the file is put back before the send: the server
  // takes what was announced, which is recorded; the signature, of bytes
  // that were never sent, is not kept, so the next change goes whole.
  const std::string a(5000, 'a'), b(5000, 'b'), c(6000, 'c');
  WriteFile(Local("/s.bin"), a);
  SetMtime(Local("/s.bin"), 1500000000);
  RewriteUnder(FSOP_READ, Local("/s.bin"), 1500000000, {{3, b}, {4, a}});
  ASSERT_EQ(Upload("/s.bin"), ERR_OK);
  FSSetFaultHook(nullptr);
  EXPECT_EQ(ReadFile(Shared("/s.bin")), a);
  EXPECT_EQ(Row("/s.bin").fileCheckSum, Utf8ToWideLossy(Md4(Local("/s.bin"))));
  EXPECT_TRUE(Row("/s.bin").signaturePath.empty());

  WriteFile(Local("/s.bin"), c);
  ASSERT_EQ(Upload("/s.bin"), ERR_OK);
  EXPECT_FALSE(Received().back().delta);
  EXPECT_EQ(ReadFile(Shared("/s.bin")), c);
  EXPECT_FALSE(Row("/s.bin").signaturePath.empty());
}

TEST_P(UploadTest, AnItemRemovedWhileOnItsWayIsRemovedFromTheServerToo) {
  // Removed once the server had the content and before the answer was
  // recorded: the removal found no row then, so only the upload can queue
  // it. Without that the server would keep, and hand to every other
  // client, what the user removed.
  for (const std::string p : {"/v.txt", "/vd"}) {
    const bool is_dir = p == "/vd";
    if (is_dir)
      ASSERT_EQ(mkdir(Local(p).c_str(), 0755), 0);
    else
      WriteFile(Local(p), "soon gone");
    RemoveWhenStatted(p, is_dir, [&] { return sftest::PathExists(Shared(p)); });
    ASSERT_EQ(Upload(p), ERR_OK);
    FSSetFaultHook(nullptr);
    ExpectQueuedRemoval(p, is_dir);
  }
  ASSERT_EQ(RemoveRemote("/v.txt"), ERR_OK);
  EXPECT_FALSE(sftest::PathExists(Shared("/v.txt")));
}

TEST_P(UploadTest, PendingLocalEventStopsTheUploadBeforeAnythingIsSent) {
  WriteFile(Local("/p.txt"), "content");
  mailbox.PushEvent(Event(EV_MODIFY, 0, L"/p.txt"));
  EXPECT_EQ(Upload("/p.txt"), ERR_INT);
  EXPECT_TRUE(Received().empty());
  EXPECT_FALSE(sftest::PathExists(Shared("/p.txt")));
}

TEST_P(UploadTest, StaleBaseKeepsTheLocalVersionUnderAConflictName) {
  WriteFile(Local("/c.txt"), "v1");
  ASSERT_EQ(Upload("/c.txt"), ERR_OK);
  ASSERT_EQ(HookPutBytes(server->store(), "/c.txt", "v2 from elsewhere", 1500000100), 0);
  WriteFile(Local("/c.txt"), "v3 local edit");
  EXPECT_EQ(Upload("/c.txt"), ERR_INT);
  EXPECT_EQ(ReadFile(Shared("/c.txt")), "v2 from elsewhere");
  EXPECT_FALSE(sftest::PathExists(Local("/c.txt")));
  std::string copy;
  DIR_HANDLE h;
  FSOpenDir(W(Local("")), 0, h);
  DIR_ENTRY e;
  while (FSReadDir(h, e) == 1)
    if (e.name.compare(0, 9, L"c_tester_") == 0) copy = "/" + WideToUtf8Lossy(e.name);
  FSCloseDir(h);
  ASSERT_FALSE(copy.empty()) << "no conflict copy";
  EXPECT_EQ(ReadFile(Local(copy)), "v3 local edit");
  // Taken up again, the path has nothing left to send; the copy goes as new.
  EXPECT_EQ(Upload("/c.txt"), ERR_OK);
  EXPECT_EQ(Upload(copy), ERR_OK);
  EXPECT_EQ(ReadFile(Shared(copy)), "v3 local edit");
}

TEST_P(FilteredUploadTest, FilteredItemIsNeverSentAndEndsUnsupported) {
  WriteFile(Local("/x.tmp"), "scratch");
  Event e(EV_CREATE, 0, L"/x.tmp");
  ASSERT_EQ(mgr->PushLocalEvent(e), 0);
  Event local, srv;
  ASSERT_EQ(mgr->PullEvent(local, srv, worker.get()), 1);
  ASSERT_EQ(worker->ProcessEvent(local), ERR_OK);
  ASSERT_EQ(worker->DoneEvent(local), 0);
  EXPECT_TRUE(Received().empty());
  EXPECT_FALSE(sftest::PathExists(Shared("/x.tmp")));
  FileStatusInfo st;
  ASSERT_EQ(FileStatusDB::getFileSyncStat(W(Local("/x.tmp")), &st), 0);
  EXPECT_EQ(st.syncStatus, FSTAT_UNSUPPORT);
}

TEST_P(FilteredUploadTest, ALongPathIsSentAndTheFilterTestsItWhole) {
  // Ten names of 200 bytes: a path of over 2000 bytes, which a download
  // takes too. The filter sees all of it: its rule on the last name holds.
  std::string dir;
  for (char c = 'a'; c < 'k'; ++c) {
    dir += "/" + std::string(200, c);
    ASSERT_EQ(mkdir(Local(dir).c_str(), 0755), 0);
    ASSERT_EQ(Upload(dir), ERR_OK);
  }
  WriteFile(Local(dir + "/deep.txt"), "deep");
  WriteFile(Local(dir + "/scratch.tmp"), "not for the server");
  ASSERT_EQ(Upload(dir + "/deep.txt"), ERR_OK);
  EXPECT_EQ(ReadFile(Shared(dir + "/deep.txt")), "deep");
  EXPECT_NE(Row(dir + "/deep.txt").syncID, 0u);
  ASSERT_EQ(Upload(dir + "/scratch.tmp"), ERR_OK);
  EXPECT_FALSE(sftest::PathExists(Shared(dir + "/scratch.tmp")));

  // Beyond what a download could put in place (a whole path over 4095
  // bytes, made relative to a folder since no absolute path can name it):
  // refused, not sent.
  UniqueFd at(open(Local(dir).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  std::string deeper = dir;
  for (char c = 'k'; Local(deeper).size() <= kMaxLocalPathBytes; ++c) {
    const std::string name(200, c);
    ASSERT_EQ(mkdirat(at.get(), name.c_str(), 0755), 0);
    at.reset(openat(at.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    ASSERT_TRUE(at.valid());
    deeper += "/" + name;
  }
  EXPECT_EQ(Upload(deeper), ERR_OK);
  EXPECT_EQ(Received().size(), 1u);  // deep.txt only
  EXPECT_EQ(Row(deeper).syncID, 0u);
  // Removed here: no absolute path reaches it to clean it up.
  at.reset(open(Local(dir).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  EXPECT_EQ(RemoveTreeAt(at.get(), std::string(200, 'k')), 0);
}

TEST_P(UploadTest, ServerAnswersAreFollowed) {
  WriteFile(Local("/w.txt"), "waiting");
  FaultPlan f;
  f.result_for_path["/w.txt"] = SPROTO_RES_WAIT;
  f.result_for_path["/n.txt"] = SPROTO_RES_NOENT;
  server->SetFaults(f);
  // "Wait": the change is kept for a later attempt, not dropped as done.
  EXPECT_EQ(Upload("/w.txt"), ERR_SYS);
  EXPECT_EQ(Row("/w.txt").syncID, 0u);
  // "No such entry": the item went away meanwhile; taken up again.
  WriteFile(Local("/n.txt"), "gone?");
  EXPECT_EQ(Upload("/n.txt"), ERR_INT);
  // A name the server refuses would be refused on every attempt.
  WriteFile(Local("/bad\\name.txt"), "x");
  EXPECT_EQ(Upload("/bad\\name.txt"), ERR_OK);
  EXPECT_EQ(Row("/bad\\name.txt").syncID, 0u);
  server->SetFaults(FaultPlan());
  EXPECT_EQ(Upload("/w.txt"), ERR_OK);
  EXPECT_EQ(ReadFile(Shared("/w.txt")), "waiting");
  EXPECT_TRUE(Received().size() == 1u);
}

TEST_P(UploadTest, ServerErrorDropsTheSignatureSoTheRetrySendsTheWholeFile) {
  std::string content = Pattern(256 * 1024, 4);
  WriteFile(Local("/e.bin"), content);
  ASSERT_EQ(Upload("/e.bin"), ERR_OK);
  const std::wstring sig = Row("/e.bin").signaturePath;
  content[1000] ^= 1;
  WriteFile(Local("/e.bin"), content);
  FaultPlan f;
  f.result_for_path["/e.bin"] = SPROTO_RES_ERR;
  server->SetFaults(f);
  EXPECT_EQ(Upload("/e.bin"), ERR_SERVER);
  EXPECT_FALSE(IsFileExist(sig));
  server->SetFaults(FaultPlan());
  ASSERT_EQ(Upload("/e.bin"), ERR_OK);
  const auto got = Received();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_FALSE(got[1].delta);
  EXPECT_EQ(ReadFile(Shared("/e.bin")), content);
}

TEST_P(UploadTest, AnUnusableSignatureSendsTheWholeFileAndKeepsAGoodOne) {
  std::string content = Pattern(256 * 1024, 5);
  WriteFile(Local("/u.bin"), content);
  ASSERT_EQ(Upload("/u.bin"), ERR_OK);
  WriteFile(WideToUtf8Lossy(Row("/u.bin").signaturePath), "not a signature");
  content[1000] ^= 1;
  WriteFile(Local("/u.bin"), content);
  ASSERT_EQ(Upload("/u.bin"), ERR_OK);
  ASSERT_EQ(Received().size(), 2u);
  EXPECT_FALSE(Received()[1].delta);
  EXPECT_EQ(ReadFile(Shared("/u.bin")), content);
  const std::string expected = dir.Sub("expected.sig");
  ASSERT_EQ(RSCalcSign(Utf8ToWideLossy(Local("/u.bin")), Utf8ToWideLossy(expected)), 0);
  EXPECT_EQ(ReadFile(WideToUtf8Lossy(Row("/u.bin").signaturePath)), ReadFile(expected));
}

TEST_P(UploadTest, AcknowledgementOfNothingSendsNoDataButRecordsTheAnswer) {
  // Without its signature the unchanged file is offered whole; the server
  // already holds exactly that version and asks for nothing.
  WriteFile(Local("/k.txt"), "kept");
  ASSERT_EQ(Upload("/k.txt"), ERR_OK);
  const ClientFileEventInfo before = Row("/k.txt");
  ASSERT_EQ(unlink(WideToUtf8Lossy(before.signaturePath).c_str()), 0);
  SetMtime(Local("/k.txt"), 1600000000);
  ASSERT_EQ(Upload("/k.txt"), ERR_OK);
  EXPECT_EQ(Received().size(), 1u);
  const ClientFileEventInfo after = Row("/k.txt");
  EXPECT_EQ(after.syncID, before.syncID);
  EXPECT_TRUE(IsFileExist(after.signaturePath)) << "the signature is made again";
}

std::string ProtocolName(const ::testing::TestParamInfo<int>& i) {
  return "v" + std::to_string(i.param);
}
INSTANTIATE_TEST_SUITE_P(Protocols, UploadTest, ::testing::Values(4, 3), ProtocolName);
INSTANTIATE_TEST_SUITE_P(Protocols, FilteredUploadTest, ::testing::Values(4, 3), ProtocolName);

}  // namespace
