// The signature store: the folder holding the rsync signature of every
// synced file's last agreed content.
//
// Workers create a signature as a TempFile whose prefix is this folder and
// make it permanent only after the event database row naming it has been
// committed; the row's delete trigger removes it again (see event-db.h).
#pragma once

#include <string>

class TempFile;

class SignMgr {
 public:
  // Records `folder` and creates it with every missing parent. Returns 0, or
  // -1 when the folder cannot be created (the first signature creation then
  // fails and transfers fall back to whole files). REQUIRES: called at
  // start-up before any worker starts.
  [[nodiscard]] static int initialize(const std::wstring& folder);

  // The folder given to initialize (empty before). Constant afterwards.
  static const std::wstring& folder() { return m_SignFolderPath; }

  // Makes `sign` a new, empty temporary file in the signature folder.
  // Returns 0, or -1 when the store is not initialised or the file cannot be
  // created (already created TempFiles are refused too). The caller writes the
  // signature into it and calls convert_permanent() once the row naming it is
  // committed; otherwise the file goes away with its last TempFile.
  [[nodiscard]] static int createSignatureFile(TempFile& sign);

 private:
  // Written once by initialize, read-only afterwards.
  static std::wstring m_SignFolderPath;
};
