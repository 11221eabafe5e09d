#include "client/local/worker-filter.h"

#include <sys/stat.h>

#include <cassert>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "lib/base/log.h"
#include "lib/base/utility.h"

namespace {

constexpr wchar_t kLogComponent[] = L"black_list_v2_debug";
constexpr uint64_t kMaxSyncedSize = 1073741824ull;  // 1 GiB

int TestPath(const filter& f, int is_directory, const std::wstring& path) {
  std::string utf8;
  if (NativeStrToUTF8(path, utf8) != 0) return FILTER_INVALID_PATH;
  if (utf8.size() > BlackList2::kMaxTestedPath) {
    SF_LOG(L_WARNING, L"[WARNING] black-list-v2(%d): path too long to test: %s\n", path);
    return FILTER_INVALID_PATH;
  }
  return filter_test_path(f, is_directory, utf8);
}

}  // namespace

int BlackList2::Load(const std::wstring& file) {
  Clear();
  std::string path;
  if (NativeStrToUTF8(file, path) != 0) {
    SF_LOG(L_ERR, L"[ERROR] black-list-v2(%d): filter path is not valid text: %s\n", file);
    return -1;
  }
  const int rc = filter_read(m_filter, path);
  m_loaded = rc == 0;
  return rc;
}

void BlackList2::Clear() {
  filter_destroy(m_filter);
  m_loaded = false;
}

int BlackList2::TestFilePath(const std::wstring& path) const {
  return TestPath(m_filter, 0, path);
}

int BlackList2::TestDirectoryPath(const std::wstring& path) const {
  return TestPath(m_filter, 1, path);
}

BlackList2& WorkerBlackList(int generation) {
  static BlackList2 v3, v4;
  assert(generation == 3 || generation == 4);
  return generation == 3 ? v3 : v4;
}

int InBlackList(const std::wstring& path) {
  const size_t slash = path.find_last_of(L"/\\");
  const std::wstring dir = slash == std::wstring::npos ? std::wstring() : path.substr(0, slash + 1);
  const std::wstring base = slash == std::wstring::npos ? path : path.substr(slash + 1);

  struct stat st;
  const std::string native = WideToUtf8Lossy(path);
  if (lstat(native.c_str(), &st) != 0) {
    const int err = errno;
    std::printf("Can not obtain file info for '%s'. %s\n", native.c_str(), std::strerror(err));
  } else if (static_cast<uint64_t>(st.st_size) > kMaxSyncedSize ||
             !(S_ISDIR(st.st_mode) || S_ISREG(st.st_mode))) {
    std::printf("bad attribute\n");
    return 1;
  }
  if (const char* reason = builtin_black_reason(dir, base)) {
    std::printf("%s\n", reason);
    return 1;
  }
  return 0;
}
