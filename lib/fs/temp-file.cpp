#include "lib/fs/temp-file.h"

#include "lib/base/log.h"
#include "lib/base/utility.h"
#include "lib/fs/file-ops.h"

namespace {
constexpr wchar_t kLogComponent[] = L"utility_debug";
}  // namespace

std::wstring TempFile::s_default_prefix;

int TempFile::initialize(const std::wstring& prefix) {
  s_default_prefix = prefix;
  return 0;
}

const std::wstring& TempFile::defaultPrefix() {
  return s_default_prefix;
}

TempFile::TempFile(const std::wstring& prefix)
    : m_tmp_prefix(prefix.empty() ? s_default_prefix : prefix), m_ref(new Share) {}

TempFile::TempFile(const TempFile& other)
    : m_tmp_prefix(other.m_tmp_prefix),
      m_path(other.m_path),
      m_ref(m_path.empty() ? new Share : other.m_ref),
      m_permanent(other.m_permanent) {
  if (!m_path.empty()) ++m_ref->count;
}

TempFile& TempFile::operator=(const TempFile& other) {
  if (this == &other || (m_ref == other.m_ref && !m_path.empty())) {
    m_permanent = other.m_permanent;
    return *this;
  }
  release();
  m_tmp_prefix = other.m_tmp_prefix;
  m_path = other.m_path;
  m_permanent = other.m_permanent;
  if (!m_path.empty()) {
    delete m_ref;
    m_ref = other.m_ref;
    ++m_ref->count;
  }
  return *this;
}

TempFile::~TempFile() {
  release();
  delete m_ref;
}

void TempFile::release() {
  if (m_ref->count >= 2) {
    // Other owners keep the file and the counter.
    --m_ref->count;
    m_ref = new Share;
  } else if (m_ref->count == 1) {
    if (!isPermanent()) (void)FSRemove(m_path, false);
    *m_ref = Share();  // the next file starts with only this object's mark
  }
  m_path.clear();
}

int TempFile::create() {
  if (m_ref->count != 0) return -1;
  std::wstring path;
  if (FSMktemp(m_tmp_prefix, path) != 0) {
    SF_LOG(L_ERR, L"[ERROR] utility(%d): failed to create TempFile ...\n");
    return -1;
  }
  m_path = path;
  m_ref->count = 1;
  SF_LOG(L_DEBUG, L"[DEBUG] utility(%d): creating TempFile '%s'\n", m_path);
  return 0;
}

void TempFile::remove() {
  SF_LOG(L_DEBUG, L"[DEBUG] utility(%d): removing TempFile '%s'\n", m_path);
  if (!m_path.empty()) (void)FSRemove(m_path, false);
  if (m_ref->count >= 2) {
    --m_ref->count;
    m_ref = new Share;
  }
  *m_ref = Share();
  m_path.clear();
}
