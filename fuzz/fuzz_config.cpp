// The configuration file: the key/value reader and everything the daemon
// derives from it (defaults, paths, the encoded proxy password), and the
// address reload of command 4.
#include <cstddef>
#include <cstdint>

#include "client/core/sysinfo-mgr.h"
#include "fuzz/fuzz-common.h"
#include "lib/base/config.h"
#include "lib/base/utility.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::wstring path = [] {
    sffuzz::Init();
    return Utf8ToWideLossy(sffuzz::ScratchDir() + "/client.conf");
  }();
  sffuzz::WriteScratch("client.conf", data, size);
  Config c;
  if (c.read(path) == 0) {
    for (const auto& kv : c.entries()) (void)c.get_int(kv.first);
  } else if (!c.entries().empty()) {
    __builtin_trap();  // a malformed file must leave nothing behind
  }
  SFSysInfo info(path.c_str());
  info.ReloadIP(path.c_str());
  (void)info.ProxyUsrPasswordGet();
  return 0;
}
