#include "fuzz/engine-env.h"

#include <sys/stat.h>

#include <fstream>

#include "fuzz/fuzz-common.h"
#include "lib/base/utility.h"
#include "lib/fs/temp-file.h"
#include "lib/proto/proto-common.h"

namespace sffuzz {

EngineEnv& Engine() {
  static EngineEnv* env = [] {
    Init();
    ProtoInit(4);
    const std::string dir = ScratchDir();
    ::mkdir((dir + "/sync").c_str(), 0755);
    ::mkdir((dir + "/sync/.ZentavoWorkingDirectory").c_str(), 0755);
    ::mkdir((dir + "/db").c_str(), 0755);
    std::ofstream(dir + "/engine.conf") << "watch = \"" << dir << "/sync\"\ndb_loc = \"" << dir
                                        << "/db\"\nsession = \"s1\"\nserver = 127.0.0.1\n"
                                        << "port = 1\n";
    TempFile::initialize(Utf8ToWideLossy(dir + "/sync/.ZentavoWorkingDirectory"));
    auto* e = new EngineEnv;
    e->cfg = std::make_unique<SFSysInfo>(Utf8ToWideLossy(dir + "/engine.conf").c_str());
    e->mgr = std::make_unique<TaskManager>(*e->cfg, 1, nullptr, nullptr);
    e->syncer = std::make_unique<FuzzSyncer>(e->mgr.get());
    return e;
  }();
  return *env;
}

}  // namespace sffuzz
