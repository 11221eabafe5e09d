#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "client/store/event-db.h"
#include "client/store/sign-mgr.h"
#include "fakes/test-util.h"
#include "lib/base/utility.h"
#include "lib/fs/temp-file.h"

namespace {

std::vector<std::string> FilesIn(const std::string& dir) {
  std::vector<std::string> out;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      const std::string n = e->d_name;
      if (n != "." && n != "..") out.push_back(dir + "/" + n);
    }
    closedir(d);
  }
  std::sort(out.begin(), out.end());
  return out;
}

class SignMgrTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_sign = m_dir.Sub("db/deeper/sign");
    ASSERT_EQ(SignMgr::initialize(Utf8ToWideLossy(m_sign)), 0);
    ASSERT_EQ(FileEventDB::initialize(Utf8ToWideLossy(m_dir.Sub("db/event-db.sqlite"))), 0);
  }
  void TearDown() override { FileEventDB::destroy(); }

  // One transfer's signature: created in the store, committed with the row
  // (made permanent) or abandoned. Returns the signature's path.
  std::string Transfer(const std::wstring& path, uint64_t syncID, bool commit) {
    TempFile sig;
    EXPECT_EQ(SignMgr::createSignatureFile(sig), 0);
    EXPECT_EQ(SignMgr::createSignatureFile(sig), -1);  // holds a file already
    sftest::WriteFile(WideToUtf8Lossy(sig.getPath()), "rs-signature");
    if (commit) {
      ClientFileEventInfo row;
      row.path = path;
      row.syncID = syncID;
      row.isExist = 1;
      row.updateClient = L"me";
      row.signaturePath = sig.getPath();
      if (FileEventDB::setEventInfo(row) == 0) sig.convert_permanent();
    }
    return WideToUtf8Lossy(sig.getPath());
  }

  sftest::TempDir m_dir;
  std::string m_sign;
};

TEST_F(SignMgrTest, InitializeCreatesTheFolderWithItsParents) {
  EXPECT_TRUE(sftest::PathExists(m_sign));
  EXPECT_EQ(SignMgr::folder(), Utf8ToWideLossy(m_sign));
  sftest::WriteFile(m_dir.Sub("plain"), "x");
  EXPECT_EQ(SignMgr::initialize(Utf8ToWideLossy(m_dir.Sub("plain/sign"))), -1);
  TempFile sig;
  EXPECT_EQ(SignMgr::createSignatureFile(sig), -1);
}

TEST_F(SignMgrTest, EachFileRowKeepsExactlyOneSignatureFile) {
  const std::string first = Transfer(L"/f", 1, true);
  EXPECT_EQ(first.rfind(m_sign + "/", 0), 0u);
  EXPECT_EQ(FilesIn(m_sign), std::vector<std::string>{first});

  Transfer(L"/f", 2, false);  // abandoned: leaves nothing behind
  EXPECT_EQ(FilesIn(m_sign), std::vector<std::string>{first});

  const std::string second = Transfer(L"/f", 3, true);  // a new version
  EXPECT_EQ(FilesIn(m_sign), std::vector<std::string>{second});

  ASSERT_EQ(FileEventDB::rmEventInfo(L"/f"), 0);
  EXPECT_TRUE(FilesIn(m_sign).empty());
}

}  // namespace
