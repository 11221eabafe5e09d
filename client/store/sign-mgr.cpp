#include "client/store/sign-mgr.h"

#include "lib/base/log.h"
#include "lib/base/utility.h"
#include "lib/fs/file-ops.h"
#include "lib/fs/temp-file.h"

namespace {
constexpr wchar_t kLogComponent[] = L"sign_mgr_debug";
}  // namespace

std::wstring SignMgr::m_SignFolderPath;

int SignMgr::initialize(const std::wstring& folder) {
  m_SignFolderPath = folder;
  if (folder.empty() || FSMKDir(folder, true) != 0) {
    SF_LOG(L_ERR, L"[ERROR] sign-mgr(%d): Cannot create the signature folder '%s'\n", folder);
    return -1;
  }
  SF_LOG(L_DEBUG, L"[DEBUG] sign-mgr(%d): Sign Manager has been initialized with location %s\n",
         folder);
  return 0;
}

int SignMgr::createSignatureFile(TempFile& sign) {
  if (m_SignFolderPath.empty() || sign.useCount() != 0) return -1;
  TempFile fresh(m_SignFolderPath);
  if (fresh.create() != 0) return -1;
  sign = fresh;
  return 0;
}
