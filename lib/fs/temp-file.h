// Temporary files owned by reference count (deleted with their last owner
// unless made permanent). Built on the file layer, which creates them.
#pragma once

#include <string>

// The folder below the sync root that holds the daemon's temporary files and
// the items on their way out. It is never synced, and only one of its name
// exists: the detector, the rescans and start-up all use this one.
constexpr wchar_t kWorkingDirName[] = L".ZentavoWorkingDirectory";

// Owner of one temporary file, shared between copies by a reference count:
// the file is deleted with its last owner unless an owner made it permanent.
// Not thread-safe: an object and its copies are used by one task at a time.
class TempFile {
 public:
  // Sets the directory used when no prefix is given. Call once at start-up,
  // before any task runs. Returns 0.
  static int initialize(const std::wstring& prefix);
  static const std::wstring& defaultPrefix();

  // No file yet; it will be created in `prefix`, or in the default directory
  // when `prefix` is empty.
  explicit TempFile(const std::wstring& prefix = std::wstring());
  // Shares other's file (if any).
  TempFile(const TempFile& other);
  // Gives up this object's share (deleting its file if it was the last,
  // non-permanent owner), then shares other's file.
  TempFile& operator=(const TempFile& other);
  ~TempFile();

  // Creates a new, empty, uniquely named file. Returns 0; -1 when this object
  // already holds a file (nothing logged, the file stays) or the file cannot
  // be made (logged).
  [[nodiscard]] int create();
  // Full path of the file; empty before create and after remove.
  const std::wstring& getPath() const { return m_path; }
  // Deletes the file now and lets go of it; copies sharing it keep their
  // path but no longer find a file there.
  void remove();
  // Keep the file when the last owner goes away. The file is one, so the
  // mark holds for every copy sharing it: whichever copy goes last, a file
  // that a database row already names must not vanish with it.
  void convert_permanent() {
    m_permanent = true;
    m_ref->permanent = true;
  }
  bool isPermanent() const { return m_permanent || m_ref->permanent; }
  // Number of owners sharing the file; 0 when this object holds none.
  int useCount() const { return m_ref->count; }

 private:
  // Drops this object's share, deleting the file if it was the last owner
  // and not permanent; leaves the object with no file and a fresh counter.
  void release();

  static std::wstring s_default_prefix;

  std::wstring m_tmp_prefix;
  std::wstring m_path;
  // Shared by the owners of m_path: how many they are and whether one of
  // them made the file permanent.
  struct Share {
    int count = 0;
    bool permanent = false;
  };
  Share* m_ref;  // never null
  bool m_permanent = false;
};
