// Process entry point: start-up, the standard-input command loop and
// shutdown. Runs on the main thread; every other activity is a task started
// from here. A stop reaches the loop through `run`, cleared by SIGINT/SIGTERM
// or by command byte 1.
#include <dirent.h>
#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "client/core/client-task-mgr.h"
#include "client/core/sysinfo-mgr.h"
#include "client/local/detector.h"
#include "client/local/worker-filter.h"
#include "client/store/event-db.h"
#include "client/store/file-status-db.h"
#include "client/store/sign-mgr.h"
#include "client/store/watchinfo-db.h"
#include "client/sync/task-factory.h"
#include "client/sync/worker.h"
#include "client/ui/ui-channel.h"
#include "lib/base/command-line.h"
#include "lib/base/errors.h"
#include "lib/base/log.h"
#include "lib/base/utility.h"
#include "lib/conf/client-config.h"
#include "lib/conf/startup-check.h"
#include "lib/fs/file-ops.h"
#include "lib/fs/nofollow-walk.h"
#include "lib/fs/temp-file.h"
#include "lib/proto/proto-common.h"
#include "sf-version.h"

namespace {

constexpr wchar_t kLogComponent[] = L"client_debug";
constexpr char kProgram[] = "syncfolder";

volatile sig_atomic_t run = 1;

pthread_mutex_t* global_locks = nullptr;
int global_lock_count = 0;

enum Command : int {
  kTerminate = 1,
  kResume = 2,
  kPause = 3,
  kReloadIP = 4,
  kConfirmRemovals = 5,  // let the held removals go to the server
};

// The mask the main thread waits under: its own mask without the stop
// signals. Outside these waits the main thread keeps SIGINT/SIGTERM blocked,
// so a stop signal that arrives between the test of `run` and the wait stays
// pending and ends the wait at once instead of being noticed only after the
// next input byte or never.
sigset_t g_wait_mask;

// Waits up to `timeout` (null: no limit) for stdin to become readable (when
// `want_stdin`) or a stop signal. Returns ppoll's result: >0 readable,
// 0 timeout, -1 interrupted or failed.
int WaitUnderMask(const struct timespec* timeout, bool want_stdin) {
  struct pollfd pfd = {STDIN_FILENO, POLLIN, 0};
  return ::ppoll(want_stdin ? &pfd : nullptr, want_stdin ? 1 : 0, timeout, &g_wait_mask);
}

// Waits for a stop signal only.
void WaitForStop() {
  (void)WaitUnderMask(nullptr, false);
}

// ReadCommandByte's answer when standard input has ended (or cannot be
// read): distinct from every byte, 0 included.
constexpr int kEndOfInput = -2;

// Reads one command byte, skipping white space as formatted extraction
// would. Returns the byte, kEndOfInput at the end of input or on a read
// error, or -1 when a stop signal arrived (the caller re-tests `run`).
int ReadCommandByte() {
  for (;;) {
    if (!run) return -1;
    if (WaitUnderMask(nullptr, true) < 0) {
      if (errno == EINTR) return -1;
      return kEndOfInput;
    }
    unsigned char b = 0;
    ssize_t n = ::read(STDIN_FILENO, &b, 1);
    if (n == 1) {
      if (b == ' ' || (b >= 0x09 && b <= 0x0D)) continue;
      return b;
    }
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    return kEndOfInput;
  }
}

// Every start-up refusal: one line on standard error that says what is
// wrong and what to do (the log, once it is open, has its own lines too).
// Returns `status`, the exit status.
int Refuse(int status, const std::string& text) {
  std::fprintf(stderr, "%s: error: %s\n", kProgram, text.c_str());
  return status;
}

// The log file, for messages that send the user there.
std::string LogFileOf(const SFSysInfo& s) {
  return WideToUtf8Lossy(s.DBLocGet() + L"/../log/syncfolder_c.log");
}

// $XDG_CONFIG_HOME/syncfolder/client.conf, else
// ~/.config/syncfolder/client.conf; empty when neither variable names a
// folder (a relative XDG_CONFIG_HOME is ignored, as the convention says).
std::wstring DefaultConfigPath() {
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  const char* home = std::getenv("HOME");
  std::string base;
  if (xdg != nullptr && xdg[0] == '/') {
    base = xdg;
  } else if (home != nullptr && home[0] == '/') {
    base = std::string(home) + "/.config";
  } else {
    return std::wstring();
  }
  return Utf8ToWideLossy(WithoutTrailingSlashes(base) + "/syncfolder/client.conf");
}

// Open for the life of the process: the lock goes with it, also when the
// process is killed.
int g_instance_lock = -1;

// Two clients on one database folder would both watch and record the same
// tree, clear each other's "syncing" marks, and the first to stop would
// tell other programs that no client runs. Returns false only when another
// process holds the lock; a lock file that cannot be made (read-only
// folder) is logged and start-up goes on as before.
bool LockInstance(const std::wstring& db) {
  const std::string path = WideToUtf8Lossy(db + L"/client.lock");
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    SF_LOG(L_WARNING, L"[WARNING] client(%d): cannot open the lock file '%s': %s\n", path,
           std::strerror(errno));
    return true;
  }
  int rc;
  do {
    rc = ::flock(fd, LOCK_EX | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    const int err = errno;
    ::close(fd);
    if (err == EWOULDBLOCK) {
      SF_LOG(L_ERR,
             L"[ERROR] client(%d): another client already runs on the database folder '%s'\n", db);
      return false;
    }
    SF_LOG(L_WARNING, L"[WARNING] client(%d): cannot lock '%s': %s\n", path, std::strerror(err));
    return true;
  }
  g_instance_lock = fd;
  return true;
}

// Content staged by a run that was killed (a download not yet moved into
// place) is of no use to anyone: every unfinished transfer is repeated. Only
// this client uses the folder (the instance lock is held), and nothing in
// it is followed out of the sync root.
void ClearWorkingDirectory(const std::wstring& root) {
  ShareDir dir;
  SharePath work;
  UniqueFd fd;
  if (dir.Open(WideToUtf8Lossy(root)) != 0 ||
      ParseSharePath(std::wstring(L"/") + kWorkingDirName, work) != 0 ||
      dir.OpenDir(work, fd) != 0)
    return;
  DIR* d = ::fdopendir(::dup(fd.get()));
  if (!d) return;
  std::vector<std::string> names;
  while (struct dirent* e = ::readdir(d)) {
    if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
      names.emplace_back(e->d_name);
  }
  ::closedir(d);
  for (const std::string& n : names) {
    if (RemoveTreeAt(fd.get(), n) != 0) {
      SF_LOG(L_WARNING, L"[WARNING] client(%d): cannot clear '%s' from the working directory\n", n);
    }
  }
  if (!names.empty()) {
    SF_LOG(L_INFO, L"[INFO] client(%d): %d leftovers of an earlier run cleared from the working "
           L"directory\n", static_cast<int>(names.size()));
  }
}

// The protocol generation the task manager runs: values up to 3 are
// protocol 3, larger ones value/10.
int Protocol(const SFSysInfo& s) {
  const int v = s.ProtoVersionGet();
  return v > 3 ? v / 10 : v;
}

// Ways the session can reach others that the user can mend: logged once at
// start-up and returned as the error codes to show on the user interface.
std::vector<int> SessionExposures(const SFSysInfo& s, const std::wstring& config_path) {
  std::vector<int> found;
  struct stat st;
  const std::string path = WideToUtf8Lossy(config_path);
  if (s.ConfigRead() && ::stat(path.c_str(), &st) == 0 && (st.st_mode & (S_IRGRP | S_IROTH))) {
    SF_LOG(L_WARNING,
           L"[WARNING] client(%d): the configuration '%s' can be read by other users (mode %03o), "
           L"and it holds the session and the encoded proxy password: chmod 600 '%s'\n",
           config_path, static_cast<unsigned>(st.st_mode & 07777), config_path);
    found.push_back(ERR_CONFIG_EXPOSED);
  }
  if (Protocol(s) != 3 && s.IsUseSSL() && s.SSLCAFileGet().empty() && s.SSLCertPinGet().empty()) {
    SF_LOG(L_WARNING,
           L"[WARNING] client(%d): TLS is on, but the server's certificate is not checked (neither "
           L"SSLCAFile nor SSLCertPin is set): anyone on the path can pose as the server and read "
           L"the session\n");
    found.push_back(ERR_TLS_UNVERIFIED);
  }
  return found;
}

bool InstallHandler(int sig, void (*fn)(int)) {
  struct sigaction sa = {};
  sa.sa_handler = fn;
  sigemptyset(&sa.sa_mask);
  // No SA_RESTART: a stop signal must end the main thread's wait, or a
  // terminate request would wait for the next input byte.
  sa.sa_flags = 0;
  return sigaction(sig, &sa, nullptr) == 0;
}

}  // namespace

extern "C" void signal_handler(int) {
  run = 0;
}

// OpenSSL 3 locks internally and ignores these callbacks; they are kept so
// that the set-up order stays the same for older libraries.
extern "C" void my_locking_callback(int mode, int type, const char*, int) {
  if (type < 0 || type >= global_lock_count) return;
  if (mode & 1) {
    pthread_mutex_lock(&global_locks[type]);
  } else {
    pthread_mutex_unlock(&global_locks[type]);
  }
}

extern "C" unsigned long my_thread_id_callback() {
  return static_cast<unsigned long>(pthread_self());
}

// Returns 0, or the exit status once the refusal has been said
// (StartupStatus). The configuration has passed CheckClientConfig.
int initialize(SFSysInfo& sysinfo, const std::wstring& config_path,
               const std::vector<std::string>& warnings) {
  ProtoInit(static_cast<uint8_t>(sysinfo.ProtoVersionGet() & 0xff));
  // A peer closing a socket must never kill the daemon.
  ::signal(SIGPIPE, SIG_IGN);

  OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
  global_lock_count = CRYPTO_num_locks();
  if (global_lock_count < 1) global_lock_count = 1;
  global_locks = static_cast<pthread_mutex_t*>(
      OPENSSL_malloc(sizeof(pthread_mutex_t) * static_cast<size_t>(global_lock_count)));
  if (global_locks == nullptr) return Refuse(kStartFailed, "out of memory at start-up");
  for (int i = 0; i < global_lock_count; ++i) pthread_mutex_init(&global_locks[i], nullptr);
  CRYPTO_set_id_callback(my_thread_id_callback);
  CRYPTO_set_locking_callback(my_locking_callback);

  // The sync root exists, or this is the first start on the database
  // folder and it is made (after a first start it is never made: an empty
  // folder in place of a missing disk would be filled from the server). The
  // database folder lies outside it; a relative database folder is used
  // from inside the sync root.
  const std::wstring root = sysinfo.FolderLocGet();
  const std::wstring db = sysinfo.DBLocGet();
  const std::string root8 = WideToUtf8Lossy(root);
  if (FSMKDir(root, true) != 0 || ::chdir(root8.c_str()) != 0) {
    return Refuse(kStartFolder, "cannot enter the sync folder " + root8 + ": " +
                                    std::strerror(errno) + ": correct `watch` in " +
                                    WideToUtf8Lossy(config_path));
  }
  if (FSMKDir(db, true) != 0) {
    return Refuse(kStartFolder, "cannot make the database folder " + WideToUtf8Lossy(db) + ": " +
                                    std::strerror(errno) + ": correct `db_loc` in " +
                                    WideToUtf8Lossy(config_path));
  }

  // The log folder is created so that the log lands where the user interface
  // looks for it even on a first start.
  (void)FSMKDir(db + L"/../log", true);
  const std::wstring log_file = db + L"/../log/syncfolder_c.log";
  if (Logger::Initialize(Logger::FILE_LOGGER, log_file, db + L"/../log/syncfolder_c.debug", 20) !=
      0) {
    // The messages still go to standard error; the user looking for the log
    // file must learn why it is not there.
    SF_LOG(L_ERR, L"[ERROR] client(%d): cannot open the log file '%s'; logging to standard error\n",
           log_file);
  }
  // Said on standard error already; the log keeps them with the run.
  for (const std::string& w : warnings) SF_LOG(L_WARNING, L"[WARNING] client(%d): %s\n", w);
  const std::vector<int> exposures = SessionExposures(sysinfo, config_path);
  if (!LockInstance(db)) {
    return Refuse(kStartLocked, "another daemon already runs on the database folder " +
                                    WideToUtf8Lossy(db) +
                                    ": stop it first, or give this one a `db_loc` of its own");
  }

  (void)FSInit(root);

  // Step 9: one filter per worker generation, both from the same file. The
  // daemon must not sync anything without a valid filter.
  const std::wstring filter = db + L"/../conf/filter";
  if (WorkerBlackList(3).Load(filter) != 0 || WorkerBlackList(4).Load(filter) != 0) {
    SF_LOG(L_ERR, L"[ERROR] client(%d): Failed to load filter\n");
    return Refuse(kStartConfig, "the filter file " + WideToUtf8Lossy(filter) +
                                    " cannot be used (the log " + LogFileOf(sysinfo) +
                                    " says why): fix it (docs/usage.md, FILTER FILE)");
  }

  TempFile::initialize(root + L"/" + kWorkingDirName);
  ClearWorkingDirectory(root);
  (void)IPC_Channel::Initialize(sysinfo.SessionGet());
  for (const int code : exposures) (void)IPC_Channel::WriteEvent(code);

  // Without its memory of what was synced the engine would take every file
  // for new (and every server change for a conflict), without signatures
  // it could not check what it sends, and without the status database
  // other programs would be told nothing: none of that is a state to sync
  // from. The stores log their own reasons.
  const std::string see_log = " (the log " + LogFileOf(sysinfo) + " says why)";
  if (SignMgr::initialize(sysinfo.SignLocGet()) != 0) {
    SF_LOG(L_ERR, L"[ERROR] client(%d): cannot use the signature folder '%s'\n",
           sysinfo.SignLocGet());
    return Refuse(kStartFolder, "cannot use the signature folder " +
                                    WideToUtf8Lossy(sysinfo.SignLocGet()) + see_log +
                                    ": make it a folder you can write, or move it away");
  }
  // Removals and replacements from the server go through the trash; with
  // no place to keep them they must not happen at all.
  if (InitLocalTrash(sysinfo) != 0) {
    SF_LOG(L_ERR, L"[ERROR] client(%d): cannot use the trash folder '%s'\n",
           sysinfo.TrashLocGet());
    return Refuse(kStartFolder, "cannot use the trash folder " +
                                    WideToUtf8Lossy(sysinfo.TrashLocGet()) + see_log +
                                    ": make it a folder you can write, or move it away");
  }
  // The event database's check reads the whole file: it runs beside the
  // status and watch databases' start-up work, which touches other files.
  int event_db_rc = -1;
  std::thread event_db_init([&sysinfo, &event_db_rc] {
    event_db_rc = FileEventDB::initialize(sysinfo.CFEDBLocGet());
  });
  const int status_rc = FileStatusDB::initialize(sysinfo.CFSTATDBLocGet());
  if (status_rc == 0) {
    (void)FileStatusDB::updateAllSyncingEntry();
    (void)WatchInfoDB::initialize(sysinfo.CWINFODBLocGet());
    (void)WatchInfoDB::setWatchPath(root);
    (void)WatchInfoDB::updateDaemonStatus(DAE_STAT_RUNING);
  }
  event_db_init.join();
  if (status_rc != 0) {
    SF_LOG(L_ERR, L"[ERROR] client(%d): cannot open the file status database '%s'\n",
           sysinfo.CFSTATDBLocGet());
    return Refuse(kStartFolder, "cannot open the file status database " +
                                    WideToUtf8Lossy(sysinfo.CFSTATDBLocGet()) + see_log +
                                    ": move it away (the daemon makes a new one)");
  }
  if (event_db_rc != 0) {
    SF_LOG(L_ERR, L"[ERROR] client(%d): cannot open the file event database '%s'\n",
           sysinfo.CFEDBLocGet());
    (void)WatchInfoDB::updateDaemonStatus(DAE_STAT_STOPING);
    return Refuse(kStartFolder, "cannot open the file event database " +
                                    WideToUtf8Lossy(sysinfo.CFEDBLocGet()) + see_log +
                                    ": move it away (the daemon then compares the folder with the "
                                    "server afresh)");
  }
  return 0;
}

void destroy() {
  CRYPTO_set_locking_callback(nullptr);
  CRYPTO_set_id_callback(nullptr);
  if (global_locks != nullptr) {
    for (int i = 0; i < global_lock_count; ++i) pthread_mutex_destroy(&global_locks[i]);
    OPENSSL_free(global_locks);
    global_locks = nullptr;
  }
  if (FileStatusDB::updateAllSyncingEntry() != 0) {
    SF_LOG(L_ERR, L"[ERROR] client(%d): FileStatus: failed to remove syncing entries\n");
  }
  FileEventDB::destroy();
  // Other programs read this to tell whether the client runs.
  (void)WatchInfoDB::updateDaemonStatus(DAE_STAT_STOPING);
  IPC_Channel::Destroy();
  Logger::Destroy();
}

int main(int argc, char** argv) {
  // Everything the daemon makes (databases, signatures, log, trash, lock,
  // downloads) is its user's alone: the databases hold what was synced and
  // the log names every path.
  ::umask(077);
  // SIGINT/SIGTERM must reach the main thread, and only inside its waits
  // (see g_wait_mask); task threads inherit the blocking mask. Blocked from
  // the first instruction: a stop sent while the user interface is still
  // starting us would otherwise kill the process instead of stopping it,
  // and could cut a read of the configuration short.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, &g_wait_mask);
  sigdelset(&g_wait_mask, SIGINT);
  sigdelset(&g_wait_mask, SIGTERM);
  if (!InstallHandler(SIGINT, signal_handler) || !InstallHandler(SIGTERM, signal_handler))
    return Refuse(kStartFailed,
                  std::string("cannot install signal handlers: ") + std::strerror(errno));

  std::setlocale(LC_ALL, "");

  cli::Program p;
  p.name = kProgram;
  p.version = cli::VersionText(kProgram, SF_VERSION, SF_COMMIT);
  p.usage = {"[CONFIG]"};
  p.about =
      "Keeps the folder that CONFIG names (`watch`) in two-way sync with a server.\n"
      "CONFIG defaults to $XDG_CONFIG_HOME/syncfolder/client.conf (without\n"
      "XDG_CONFIG_HOME: ~/.config/syncfolder/client.conf). Until standard input ends,\n"
      "one-byte commands are read there (0x01 stop, 0x02 resume, 0x03 pause, 0x04\n"
      "reload the server address, 0x05 confirm held removals); SIGINT or SIGTERM\n"
      "stops it at any time. syncfolder-monitor starts it and shows what it does.\n";
  p.more =
      "exit status: 0 stopped in order, 1 any other failure, 2 bad command line,\n"
      "3 the configuration or the filter file cannot work, 4 another daemon runs on\n"
      "the database folder, 5 a folder it names (or the state in it) cannot be used.\n"
      "Each refusal is one line on standard error (docs/usage.md, EXIT STATUS).\n";
  p.max_operands = 1;
  std::vector<std::string> operands;
  const int parsed = cli::Parse(p, argc, argv, operands);
  if (parsed != cli::kRun) return parsed;

  std::wstring config_path = DefaultConfigPath();
  if (!operands.empty()) {
    std::wstring w;
    // The argument comes in the locale's character set; a UTF-8 path under
    // a plain "C" locale is still accepted.
    if (CodePageToNativeStr(operands[0], w) != 0 && UTF8ToNativeStr(operands[0], w) != 0)
      return cli::UsageError(p, "the configuration path cannot be decoded: " + operands[0]);
    config_path = w;
  } else if (config_path.empty()) {
    return Refuse(kStartConfig,
                  "no configuration named, and neither XDG_CONFIG_HOME nor HOME says where to "
                  "look: name it (syncfolder CONFIG)");
  }

  // Read once (it may be a pipe) and checked as the monitor checks it.
  const ClientConfig config = ClientConfig::Load(config_path);
  std::vector<std::string> warnings;
  int refused = 0;
  for (const ConfigProblem& problem : CheckClientConfig(config)) {
    if (problem.fatal()) {
      (void)Refuse(problem.status, problem.text);
      if (refused == 0) refused = problem.status;
    } else {
      std::fprintf(stderr, "%s: warning: %s\n", kProgram, problem.text.c_str());
      warnings.push_back(problem.text);
    }
  }
  if (refused != 0) return refused;

  SFSysInfo& sysinfo = SFSysInfo::SFSystemInfoGet(config);
  if (const int status = initialize(sysinfo, config_path, warnings)) return status;

  DaemonTaskFactory factory;
  auto task_mgr = std::make_unique<TaskManager>(sysinfo, sysinfo.WorkerCountGet(), &factory,
                                                IPC_Channel::Sink());
  auto detector = std::make_unique<Detector>(task_mgr.get());
  if (detector->SetWatch(sysinfo.FolderLocGet()) != 0) {
    // Changes would go unseen, and a rescan would take them for removals
    // only at the next start: refuse rather than sync half-blind.
    SF_LOG(L_ERR, L"[ERROR] client(%d): cannot watch the sync root '%s'\n",
           sysinfo.FolderLocGet());
    detector.reset();
    task_mgr.reset();
    destroy();
    return Refuse(kStartFolder, "cannot watch the sync folder " +
                                    WideToUtf8Lossy(sysinfo.FolderLocGet()) + " (the log " +
                                    LogFileOf(sysinfo) + " says why)");
  }
  task_mgr->Start();
  (void)detector->Run();

  SF_LOG(L_INFO, L"[INFO] client(%d): main thread starts receiving events\n");

  // Commands come on standard input until it ends (a closed pipe, nohup,
  // </dev/null); from then on only a signal stops the daemon.
  bool reading = !sysinfo.IsNativeClient();
  while (run) {
    if (!reading) {
      WaitForStop();
      continue;
    }
    int c = ReadCommandByte();
    if (c == -1) continue;  // interrupted by a signal: re-test run
    if (c == kEndOfInput) {
      SF_LOG(L_WARNING,
             L"[WARNING] client(%d): standard input ended: no more commands are read from it; "
             L"SIGINT or SIGTERM stops the daemon\n");
      reading = false;
    } else if (c == kTerminate) {
      int r = IPC_Channel::Terminate_connection();
      if (r < 0) {
        SF_LOG(L_ERR, L"[ERROR] client(%d): Send terminate connection to msg mgr failed: %d\n", r);
      }
      break;
    } else if (c == kResume) {
      task_mgr->Resume();
    } else if (c == kPause) {
      task_mgr->Pause();
    } else if (c == kReloadIP) {
      sysinfo.ReloadIP(config_path.c_str());
      task_mgr->Resume();
    } else if (c == kConfirmRemovals) {
      task_mgr->ConfirmRemovals();
    } else {
      SF_LOG(L_ERR, L"[ERROR] client(%d): unknown command: [%d] \n", c);
      // Whatever writes to the daemon is confused; a second's pause keeps
      // a stream of such bytes from filling the log.
      const struct timespec second = {1, 0};
      (void)WaitUnderMask(&second, false);
    }
  }

  task_mgr->Stop();
  detector->Stop();
  SF_LOG(L_INFO, L"[INFO] client(%d): main thread down\n");
  detector.reset();
  task_mgr.reset();
  destroy();
  return 0;
}
