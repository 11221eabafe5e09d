#include "fuzz/fuzz-common.h"

#include <ftw.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>

#include "lib/base/errors.h"
#include "lib/base/log.h"
#include "lib/base/utility.h"

namespace sffuzz {

MemoryChannel::MemoryChannel() : Channel(Channel::kDefaultCapacity) {
  int sv[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) < 0) std::abort();
  m_other = sv[1];
  if (Open(sv[0], false, false) != 0) std::abort();
}

MemoryChannel::~MemoryChannel() {
  Close();
  if (m_other >= 0) ::close(m_other);
}

void MemoryChannel::Reset(const uint8_t* data, size_t size) {
  ClearRead();
  ClearWrite();
  SetTimeout(Channel::kDefaultChannelTimeout);
  m_data = data;
  m_size = size;
  m_pos = 0;
}

int MemoryChannel::ReadFd(void* buf, size_t len) {
  if (len == 0) return ERR_INVAL;
  if (m_pos >= m_size) return ERR_IO;
  size_t n = std::min(len, m_size - m_pos);
  std::memcpy(buf, m_data + m_pos, n);
  m_pos += n;
  return static_cast<int>(n);
}

int MemoryChannel::WriteFd(const void*, size_t len) {
  if (len == 0) return ERR_INVAL;
  return static_cast<int>(len);
}

namespace {
std::string g_scratch;

void RemoveScratch() {
  if (g_scratch.empty()) return;
  ::nftw(
      g_scratch.c_str(),
      [](const char* p, const struct stat*, int, struct FTW*) { return ::remove(p); }, 16,
      FTW_DEPTH | FTW_PHYS);
}
}  // namespace

const std::string& ScratchDir() { return g_scratch; }

void Init() {
  if (!g_scratch.empty()) return;
  // Memory-backed when possible: the parsers under test read files, and the
  // exception list syncs what it writes.
  const char* base = std::getenv("SF_FUZZ_SCRATCH");
  if (base == nullptr || *base == '\0') base = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : nullptr;
  if (base == nullptr) base = std::getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/sffuzz.XXXXXX";
  if (::mkdtemp(&tmpl[0]) == nullptr) std::abort();
  g_scratch = tmpl;
  std::atexit(RemoveScratch);
  // Every component the code logs under, at error level.
  static const char* const kComponents[] = {
      "client_debug", "client_task_mgr_debug", "event_list_debug", "event_db_debug",
      "sysinfo_mgr", "sign_mgr_debug", "expander_debug", "flist_debug", "detector_debug",
      "worker_debug", "syncer_debug", "conflict_checker_debug", "channel_ui_debug",
      "channel_debug", "proto_common_debug", "proto_client_debug", "file_op_debug",
      "utility_debug", "fstat_db_debug", "watchinfo_db_debug", "default_component"};
  std::string levels;
  for (const char* c : kComponents) levels += std::string(c) + " = 3\n";
  std::ofstream(g_scratch + "/levels") << levels;
  // Rotation renames the file, so it must be our own file, never /dev/null.
  if (Logger::Initialize(Logger::FILE_LOGGER, Utf8ToWideLossy(g_scratch + "/fuzz.log"),
                         Utf8ToWideLossy(g_scratch + "/levels"), 1) != 0)
    std::abort();
}

std::string WriteScratch(const std::string& name, const uint8_t* data, size_t size) {
  std::string path = g_scratch + "/" + name;
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) std::abort();
  if (size > 0 && std::fwrite(data, 1, size, f) != size) std::abort();
  std::fclose(f);
  return path;
}

}  // namespace sffuzz
