// Cost of the scan tree: building a FileList of 100,000 files in 1,000
// directories (by directory index, as the disk side does, and by path, as
// the database side does), iterating it, and for comparison a plain walk and
// a FileList build over a real directory tree on disk.
//
// Counters: items_per_second (entries), heap_bytes (heap held by the pool and
// the list after a build, from mallinfo2) and peak_rss_kib (process
// high-water mark). Run an unsanitized build for meaningful numbers.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <sys/resource.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "client/store/flist.h"
#include "lib/base/utility.h"
#include "lib/fs/file-ops.h"

namespace {

constexpr int kDirs = 1000;
constexpr int kFilesPerDir = 100;

std::wstring DirName(int d) {
  return L"dir" + std::to_wstring(d);
}
std::wstring FileName(int f) {
  return L"file-" + std::to_wstring(f) + L".dat";
}

double PeakRssKib() {
  struct rusage ru;
  getrusage(RUSAGE_SELF, &ru);
  return static_cast<double>(ru.ru_maxrss);
}

size_t HeapInUse() {
  return mallinfo2().uordblks;
}

void BuildByIndex(FileList& list) {
  for (int d = 0; d < kDirs; ++d) {
    // Ten top-level directories with a hundred subdirectories each.
    const int parent = d < 10 ? 0 : 1 + (d % 10);
    const int di = list.AddDirectory(parent, DirName(d), 1000 + d);
    for (int f = 0; f < kFilesPerDir; ++f) list.AddFile(di, FileName(f), 2000 + f, f * 10);
  }
}

void BuildByPath(FileList& list) {
  for (int d = 0; d < kDirs; ++d) {
    const std::wstring dir =
        d < 10 ? L"/" + DirName(d) : L"/" + DirName(d % 10) + L"/" + DirName(d);
    list.AddDirectory(dir, 1000 + d);
    for (int f = 0; f < kFilesPerDir; ++f) list.AddFile(dir + L"/" + FileName(f), 2000 + f, f * 10);
  }
}

template <void (*Build)(FileList&)>
void BM_Build(benchmark::State& state) {
  size_t heap = 0;
  for (auto _ : state) {
    const size_t before = HeapInUse();
    StringBuffer pool;
    FileList list(pool);
    Build(list);
    heap = HeapInUse() - before;
    benchmark::DoNotOptimize(list.DirectoryCount());
  }
  state.SetItemsProcessed(state.iterations() * kDirs * (kFilesPerDir + 1));
  state.counters["heap_bytes"] = static_cast<double>(heap);
  state.counters["peak_rss_kib"] = PeakRssKib();
}
BENCHMARK_TEMPLATE(BM_Build, BuildByIndex)->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(BM_Build, BuildByPath)->Unit(benchmark::kMillisecond);

void BM_Iterate(benchmark::State& state) {
  StringBuffer pool;
  FileList list(pool);
  BuildByIndex(list);
  size_t n = 0;
  for (auto _ : state) {
    n = 0;
    for (auto it = list.rbegin(); it != list.rend(); ++it) {
      benchmark::DoNotOptimize(it->path.data());
      ++n;
    }
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * n));
  state.counters["entries"] = static_cast<double>(n);
  state.counters["peak_rss_kib"] = PeakRssKib();
}
BENCHMARK(BM_Iterate)->Unit(benchmark::kMillisecond);

// A real tree of range(0) directories x kFilesPerDir empty files, made once.
class DiskTree {
 public:
  explicit DiskTree(int dirs) {
    const char* base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/sfbench.XXXXXX";
    if (mkdtemp(&tmpl[0]) == nullptr) return;
    m_root = Utf8ToWideLossy(tmpl);
    for (int d = 0; d < dirs; ++d) {
      const std::wstring dir = m_root + L"/" + DirName(d);
      if (FSMKDir(dir, false) != 0) continue;
      for (int f = 0; f < kFilesPerDir; ++f) {
        std::wstring p;
        if (FSMktemp(dir, p) != 0) break;
      }
    }
  }
  ~DiskTree() {
    if (!m_root.empty()) (void)RemoveDirectoryRecursive(m_root);
  }
  const std::wstring& root() const { return m_root; }

 private:
  std::wstring m_root;
};

int CountEntry(const std::wstring&, void* priv) {
  ++*static_cast<size_t*>(priv);
  return 0;
}

void BM_DiskWalk(benchmark::State& state) {
  DiskTree tree(static_cast<int>(state.range(0)));
  size_t n = 0;
  for (auto _ : state) {
    n = 0;
    if (TraverseDir(tree.root(), CountEntry, &n) != 0) state.SkipWithError("cannot walk the tree");
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * n));
  state.counters["entries"] = static_cast<double>(n);
}

// Lists the disk tree with sizes and times into a FileList by index, the way
// a rescan reads the disk side.
void Fill(FileList& list, int index, const std::wstring& dir) {
  DIR_HANDLE h;
  FSOpenDir(dir, FS_DIR_STAT, h);
  DIR_ENTRY e;
  while (FSReadDir(h, e) == 1) {
    if (e.name == L"." || e.name == L"..") continue;
    if (e.type == FT_DIR) {
      const int sub = list.AddDirectory(index, e.name, e.mtime);
      if (sub > 0) Fill(list, sub, dir + L"/" + e.name);
    } else if (e.type == FT_FILE) {
      list.AddFile(index, e.name, e.mtime, e.size);
    }
  }
  FSCloseDir(h);
}

void BM_DiskToFileList(benchmark::State& state) {
  DiskTree tree(static_cast<int>(state.range(0)));
  size_t dirs = 0;
  for (auto _ : state) {
    StringBuffer pool;
    FileList list(pool);
    Fill(list, 0, tree.root());
    dirs = list.DirectoryCount();
  }
  state.SetItemsProcessed(state.iterations() * state.range(0) * (kFilesPerDir + 1));
  state.counters["dirs"] = static_cast<double>(dirs);
  state.counters["peak_rss_kib"] = PeakRssKib();
}
BENCHMARK(BM_DiskWalk)->Arg(kDirs)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DiskToFileList)->Arg(kDirs)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
