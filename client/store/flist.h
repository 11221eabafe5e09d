// The in-memory directory tree of one scan, and the string pool its names are
// interned in. A scan builds two trees (disk and database) over one pool and
// walks both in the same order to compare them. Neither class is locked: a
// pool and its lists belong to the scan's one thread.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

// Interned, zero-terminated wide strings kept in up to kMaxChunks chunks that
// grow by doubling. Strings live until the pool is destroyed.
class StringBuffer {
 public:
  // A handle to one interned string; compares by text (code unit order).
  class String {
   public:
    String() = default;
    const wchar_t* c_str() const { return m_str; }
    bool operator<(const String& o) const;
    bool operator>(const String& o) const { return o < *this; }
    bool operator==(const String& o) const;
    bool operator!=(const String& o) const { return !(*this == o); }

   private:
    friend class StringBuffer;
    explicit String(const wchar_t* s) : m_str(s) {}
    const wchar_t* m_str = L"";
  };

  static constexpr int kMaxChunks = 32;
  static constexpr size_t kFirstChunk = 512;  // characters

  StringBuffer();
  StringBuffer(const StringBuffer&) = delete;
  StringBuffer& operator=(const StringBuffer&) = delete;

  // Points `out` at the pooled copy of `text`, adding it if new. Returns 0;
  // -1 when `text` holds a NUL, or the pool is full (all chunks in use and
  // none has room) or out of memory; `out` is then unchanged.
  int insert(const std::wstring& text, String& out);

  // Number of distinct strings and of chunks in use.
  size_t count() const { return m_dic.size(); }
  int chunks() const { return m_used; }

 private:
  struct Chunk {
    size_t capacity = 0;
    size_t offset = 0;
    std::unique_ptr<wchar_t[]> data;
  };
  // Views of the pooled copies. Hashed: a scan interns every name of both
  // trees, and an ordered set spent more time comparing names than the
  // scan spends listing them.
  std::unordered_set<std::wstring_view> m_dic;
  Chunk m_chunk[kMaxChunks];
  int m_used = 0;
};

// Which file a file entry is, and its last status change in nanoseconds:
// what tells a file rewritten with its old size and time from one left
// alone. Zeros: not known.
struct FileStamp {
  uint64_t ino = 0;
  int64_t ctime = 0;
  bool known() const { return ino != 0; }
  bool operator==(const FileStamp& o) const { return ino == o.ino && ctime == o.ctime; }
  bool operator!=(const FileStamp& o) const { return !(*this == o); }
};

// The directory tree of one scan. Directories have indices (creation order,
// root = 0) so a directory being listed can be filled without walking its
// path again. Not copyable; the pool must outlive the list.
class FileList {
 public:
  using String = StringBuffer::String;

  // Longest component kept; longer ones are cut to this many characters.
  static constexpr size_t kMaxComponent = 1023;
  // Longest path accepted by the path forms.
  static constexpr size_t kMaxPath = 8191;

  using Stamp = FileStamp;

  struct FileNode {
    String name;
    uint32_t mtime = 0;
    uint64_t size = 0;
    Stamp stamp;
    bool operator<(const FileNode& o) const { return name < o.name; }
  };

  struct DirNode {
    String name;
    DirNode* parent = nullptr;
    std::map<String, DirNode*> dir;
    std::set<FileNode> file;
    uint32_t mtime = 0;
  };

  // What the iterator yields.
  struct Entry {
    int32_t attrb = 0;  // 1 = directory, 0 = file
    std::wstring path;  // "/a/b.txt"; the root's path is empty
    uint32_t mtime = 0;
    uint64_t size = 0;  // 0 for directories
    Stamp stamp;        // files only
    bool is_dir() const { return attrb == 1; }
    bool is_file() const { return attrb == 0; }
  };

  // Walks the tree in the exact reverse of the pre-order in which each
  // directory's files and subdirectories are merged in ascending name order
  // and every subdirectory is followed by its contents: so descending names
  // within a directory, a directory's contents before the directory, and the
  // root (empty path) last. Invalidated by adding to the list.
  class reverse_iterator {
   public:
    enum State { PRINT_ME = 0, PRINT_DIR = 1, PRINT_FILE = 2 };

    const Entry& operator*() const { return m_ent; }
    const Entry* operator->() const { return &m_ent; }
    reverse_iterator& operator++();
    bool operator==(const reverse_iterator& o) const;
    bool operator!=(const reverse_iterator& o) const { return !(*this == o); }

   private:
    friend class FileList;
    struct stack_entry {
      const DirNode* node;
      std::set<FileNode>::const_reverse_iterator file;
      std::map<String, DirNode*>::const_reverse_iterator dir;
      size_t prefix_len;  // length of the path prefix above this level
    };
    explicit reverse_iterator(const FileList* flist) : m_flist(flist) {}
    void get_last_of(const DirNode* d);
    // Decides what the top stack entry yields next, descending as needed.
    void settle();
    void fill();

    const FileList* m_flist;
    std::vector<stack_entry> m_stack;  // empty at rend()
    State m_state = PRINT_ME;
    std::wstring m_prefix;  // path of the top stack entry's directory
    Entry m_ent;
  };

  explicit FileList(StringBuffer& buf);
  ~FileList();
  FileList(const FileList&) = delete;
  FileList& operator=(const FileList&) = delete;

  // Adds the directory `path` (components split at runs of "/"), creating
  // missing parents with mtime 0, and sets its mtime. Returns the number of
  // directories created (0 when it existed), or -1 when a file stands on the
  // way, a component is "." or "..", or the pool is full. What was created
  // before a failure stays.
  int AddDirectory(const std::wstring& path, uint32_t mtime);
  // Adds the file `path`, creating missing parent directories. Returns 0, or
  // -1 for a path ending in "/" (or empty, or longer than kMaxPath), a "." or
  // ".." component, a file on the way, a directory or file already under that
  // name (the existing entry is kept), or a full pool.
  int AddFile(const std::wstring& path, uint32_t mtime, uint64_t size,
              const Stamp& stamp = Stamp());
  // Adds directory `name` into the directory of index `parent`. Returns the
  // new directory's index, or -1 for a bad index or name (empty, ".", "..",
  // holding "/" or NUL), a name already in use there, or a full pool.
  int AddDirectory(int parent, const std::wstring& name, uint32_t mtime);
  // Adds file `name` into the directory of index `parent`. Returns 0 or -1
  // (as above).
  int AddFile(int parent, const std::wstring& name, uint32_t mtime, uint64_t size,
              const Stamp& stamp = Stamp());

  // Number of directories, the root included.
  size_t DirectoryCount() const { return m_node.size(); }

  reverse_iterator rbegin() const;
  reverse_iterator rend() const;

 private:
  // Descends from the root along the components of `path`, creating missing
  // directories. Returns the reached directory or null; counts creations.
  DirNode* Walk(const std::wstring& path, bool adding, int& created);
  DirNode* NewDir(DirNode* parent, const String& name, uint32_t mtime);
  int InsertFile(DirNode* parent, const std::wstring& name, uint32_t mtime, uint64_t size,
                 const Stamp& stamp);

  StringBuffer& m_buf;
  DirNode* m_root;
  std::vector<DirNode*> m_node;  // owns every DirNode; index = position
};
