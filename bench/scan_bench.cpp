// Cost of a first scan: a rescan of a sync root that the file event database
// does not know yet, which queues every entry as a local change and marks
// it "syncing" in the file status database (a real SQLite file on disk, so
// the figure includes the flushes). Counter: items_per_second (entries
// queued and marked). Run an unsanitized build for meaningful numbers.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "client/core/client-task-mgr.h"
#include "client/core/sysinfo-mgr.h"
#include "client/local/expander.h"
#include "client/store/event-db.h"
#include "client/store/file-status-db.h"
#include "lib/base/log.h"
#include "lib/base/utility.h"
#include "lib/fs/file-ops.h"

namespace {

constexpr int kDirs = 10;
constexpr int kFilesPerDir = 500;

class Sandbox {
 public:
  Sandbox() {
    char tmpl[] = "/tmp/sf-scan-bench.XXXXXX";
    if (::mkdtemp(tmpl) == nullptr) std::abort();
    m_dir = tmpl;
    ::mkdir((m_dir + "/sync").c_str(), 0755);
    ::mkdir((m_dir + "/db").c_str(), 0755);
    for (int d = 0; d < kDirs; ++d) {
      const std::string dir = m_dir + "/sync/d" + std::to_string(d);
      ::mkdir(dir.c_str(), 0755);
      for (int f = 0; f < kFilesPerDir; ++f) {
        const int fd = ::open((dir + "/f" + std::to_string(f)).c_str(), O_CREAT | O_WRONLY, 0644);
        if (fd >= 0) ::close(fd);
      }
    }
    const std::string conf = m_dir + "/client.conf";
    if (FILE* f = std::fopen(conf.c_str(), "w")) {
      std::fprintf(f, "watch = \"%s/sync\"\ndb_loc = \"%s/db\"\n", m_dir.c_str(), m_dir.c_str());
      std::fclose(f);
    }
    m_cfg = std::make_unique<SFSysInfo>(Utf8ToWideLossy(conf).c_str());
    if (FileStatusDB::initialize(Utf8ToWideLossy(m_dir + "/db/file-status.sqlite")) != 0 ||
        FileEventDB::initialize(Utf8ToWideLossy(m_dir + "/db/event-db.sqlite")) != 0) {
      std::abort();  // the databases' own log lines say why
    }
    m_tm = std::make_unique<TaskManager>(*m_cfg, 0, &m_factory, nullptr);
  }
  ~Sandbox() {
    m_tm.reset();
    FileEventDB::destroy();
    (void)RemoveDirectoryRecursive(Utf8ToWideLossy(m_dir));
  }
  TaskManager& tm() { return *m_tm; }
  Expander* expander() { return m_factory.expander; }

 private:
  std::string m_dir;
  std::unique_ptr<SFSysInfo> m_cfg;
  // Makes only the expander, which the benchmark drives directly.
  struct ExpanderOnly : TaskFactory {
    Task* CreateExpander(TaskManager* owner) override { return expander = new Expander(owner); }
    Expander* expander = nullptr;
  } m_factory;
  std::unique_ptr<TaskManager> m_tm;
};

// Empties the local queue (the rescan's events) so each run starts alike.
size_t Drain(TaskManager& tm) {
  size_t n = 0;
  Event l, s;
  while (tm.PullEvent(l, s, nullptr) > 0) {
    tm.DoneEvent(l.isValid() ? l : s);
    ++n;
  }
  return n;
}

void BM_FirstScanQueuesAndMarks(benchmark::State& state) {
  Sandbox box;
  size_t queued = 0;
  for (auto _ : state) {
    Event rescan(EV_CREATE, F_DIR | F_EXPAND | F_RESCAN, L"/");
    box.expander()->ExpandEvent(rescan);
    state.PauseTiming();
    queued = Drain(box.tm());
    state.ResumeTiming();
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * queued));
  state.counters["entries"] = static_cast<double>(queued);
}
BENCHMARK(BM_FirstScanQueuesAndMarks)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
