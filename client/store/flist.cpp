#include "client/store/flist.h"

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <new>

#include "lib/base/log.h"

namespace {

constexpr wchar_t kLogComponent[] = L"flist_debug";

bool IsDotName(const std::wstring& s) {
  return s == L"." || s == L"..";
}

// A name that can stand as one component of a path.
bool ValidName(const std::wstring& s) {
  return !s.empty() && !IsDotName(s) &&
         s.find_first_of(std::wstring(L"/\0", 2)) == std::wstring::npos;
}

}  // namespace

// ---------------------------------------------------------------- StringBuffer

bool StringBuffer::String::operator<(const String& o) const {
  return m_str != o.m_str && std::wcscmp(m_str, o.m_str) < 0;
}

bool StringBuffer::String::operator==(const String& o) const {
  return m_str == o.m_str || std::wcscmp(m_str, o.m_str) == 0;
}

StringBuffer::StringBuffer() {
  m_chunk[0].capacity = kFirstChunk;
  m_chunk[0].data.reset(new wchar_t[kFirstChunk]);
  m_used = 1;
}

int StringBuffer::insert(const std::wstring& text, String& out) {
  if (text.find(L'\0') != std::wstring::npos) return -1;
  auto it = m_dic.find(std::wstring_view(text));
  if (it != m_dic.end()) {
    out = String(it->data());  // the pooled copy is zero-terminated
    return 0;
  }
  const size_t need = text.size() + 1;
  int slot = -1;
  for (int i = 0; i < m_used && slot < 0; ++i)
    if (m_chunk[i].capacity - m_chunk[i].offset >= need) slot = i;
  if (slot < 0) {
    if (m_used == kMaxChunks) return -1;
    Chunk& c = m_chunk[m_used];
    const size_t prev = m_chunk[m_used - 1].capacity;
    const size_t cap = std::max(prev * 2, need * 2);
    c.data.reset(new (std::nothrow) wchar_t[cap]);
    if (!c.data) return -1;  // the scan fails; the pool stays usable
    c.capacity = cap;
    c.offset = 0;
    slot = m_used++;
  }
  Chunk& c = m_chunk[slot];
  wchar_t* dst = c.data.get() + c.offset;
  std::wmemcpy(dst, text.c_str(), need);
  c.offset += need;
  try {
    m_dic.insert(std::wstring_view(dst, text.size()));
  } catch (const std::bad_alloc&) {
    return -1;
  }
  out = String(dst);
  return 0;
}

// -------------------------------------------------------------------- FileList

FileList::FileList(StringBuffer& buf) : m_buf(buf), m_root(new DirNode) {
  m_node.push_back(m_root);
  String root;
  if (m_buf.insert(L"/", root) == 0) m_root->name = root;
}

FileList::~FileList() {
  for (DirNode* d : m_node) delete d;
}

FileList::DirNode* FileList::NewDir(DirNode* parent, const String& name, uint32_t mtime) {
  std::unique_ptr<DirNode> d(new DirNode);
  d->name = name;
  d->parent = parent;
  d->mtime = mtime;
  m_node.push_back(d.get());
  parent->dir.emplace(name, d.get());
  return d.release();
}

FileList::DirNode* FileList::Walk(const std::wstring& path, bool adding, int& created) {
  DirNode* cur = m_root;
  size_t pos = 0;
  for (;;) {
    pos = path.find_first_not_of(L'/', pos);
    if (pos == std::wstring::npos) return cur;
    size_t end = path.find(L'/', pos);
    if (end == std::wstring::npos) end = path.size();
    std::wstring comp = path.substr(pos, std::min(end - pos, kMaxComponent));
    pos = end;

    String name;
    if (IsDotName(comp) || m_buf.insert(comp, name) != 0) return nullptr;
    FileNode probe;
    probe.name = name;
    if (cur->file.count(probe)) return nullptr;
    if (adding) {
      SF_LOG(L_DEBUG, L"[DEBUG] flist(%d): adding directory '%s'\n", comp);
    } else {
      SF_LOG(L_DEBUG, L"[DEBUG] flist(%d): searching parent '%s'\n", comp);
    }
    auto it = cur->dir.find(name);
    if (it != cur->dir.end()) {
      cur = it->second;
    } else {
      cur = NewDir(cur, name, 0);
      ++created;
    }
  }
}

int FileList::InsertFile(DirNode* parent, const std::wstring& name, uint32_t mtime, uint64_t size,
                         const Stamp& stamp) {
  if (!ValidName(name)) return -1;
  FileNode f;
  if (m_buf.insert(name.substr(0, kMaxComponent), f.name) != 0) return -1;
  if (parent->dir.count(f.name)) return -1;
  f.mtime = mtime;
  f.size = size;
  f.stamp = stamp;
  return parent->file.insert(f).second ? 0 : -1;
}

int FileList::AddDirectory(const std::wstring& path, uint32_t mtime) {
  if (path.size() > kMaxPath) return -1;
  int created = 0;
  DirNode* d = Walk(path, true, created);
  if (d == nullptr) return -1;
  d->mtime = mtime;
  return created;
}

int FileList::AddFile(const std::wstring& path, uint32_t mtime, uint64_t size, const Stamp& stamp) {
  if (path.empty() || path.size() > kMaxPath || path.back() == L'/') return -1;
  const size_t slash = path.rfind(L'/');
  const std::wstring name = slash == std::wstring::npos ? path : path.substr(slash + 1);
  int created = 0;
  DirNode* d =
      Walk(slash == std::wstring::npos ? std::wstring() : path.substr(0, slash), false, created);
  if (d == nullptr) return -1;
  SF_LOG(L_DEBUG, L"[DEBUG] flist(%d): adding file '%s'\n", name);
  return InsertFile(d, name, mtime, size, stamp);
}

int FileList::AddDirectory(int parent, const std::wstring& name, uint32_t mtime) {
  if (parent < 0 || static_cast<size_t>(parent) >= m_node.size() || !ValidName(name)) return -1;
  DirNode* p = m_node[static_cast<size_t>(parent)];
  String s;
  if (m_buf.insert(name.substr(0, kMaxComponent), s) != 0) return -1;
  FileNode probe;
  probe.name = s;
  if (p->dir.count(s) || p->file.count(probe)) return -1;
  NewDir(p, s, mtime);
  return static_cast<int>(m_node.size() - 1);
}

int FileList::AddFile(int parent, const std::wstring& name, uint32_t mtime, uint64_t size,
                      const Stamp& stamp) {
  if (parent < 0 || static_cast<size_t>(parent) >= m_node.size()) return -1;
  return InsertFile(m_node[static_cast<size_t>(parent)], name, mtime, size, stamp);
}

FileList::reverse_iterator FileList::rbegin() const {
  reverse_iterator it(this);
  it.get_last_of(m_root);
  it.settle();
  return it;
}

FileList::reverse_iterator FileList::rend() const {
  return reverse_iterator(this);
}

// ------------------------------------------------------------ reverse_iterator

void FileList::reverse_iterator::get_last_of(const DirNode* d) {
  const size_t prefix_len = m_prefix.size();
  if (d->parent != nullptr) {
    m_prefix += L'/';
    m_prefix += d->name.c_str();
  }
  m_stack.push_back(stack_entry{d, d->file.crbegin(), d->dir.crbegin(), prefix_len});
}

void FileList::reverse_iterator::settle() {
  for (;;) {
    stack_entry& top = m_stack.back();
    const bool has_file = top.file != top.node->file.crend();
    const bool has_dir = top.dir != top.node->dir.crend();
    if (!has_file && !has_dir) {
      m_state = PRINT_ME;
      break;
    }
    // Reverse order: the greater name comes first, and a subdirectory's
    // contents come before it.
    if (has_dir && (!has_file || top.file->name < top.dir->first)) {
      get_last_of(top.dir->second);
      continue;
    }
    m_state = PRINT_FILE;
    break;
  }
  fill();
}

void FileList::reverse_iterator::fill() {
  const stack_entry& top = m_stack.back();
  if (m_state == PRINT_FILE) {
    m_ent.attrb = 0;
    m_ent.path = m_prefix;
    m_ent.path += L'/';
    m_ent.path += top.file->name.c_str();
    m_ent.mtime = top.file->mtime;
    m_ent.size = top.file->size;
    m_ent.stamp = top.file->stamp;
  } else {
    m_ent.attrb = 1;
    m_ent.path = m_prefix;
    m_ent.mtime = top.node->mtime;
    m_ent.size = 0;
    m_ent.stamp = Stamp();
  }
}

FileList::reverse_iterator& FileList::reverse_iterator::operator++() {
  if (m_stack.empty()) return *this;
  if (m_state == PRINT_FILE) {
    ++m_stack.back().file;
  } else {
    m_prefix.resize(m_stack.back().prefix_len);
    m_stack.pop_back();
    if (m_stack.empty()) {
      m_ent = Entry();
      return *this;
    }
    ++m_stack.back().dir;
  }
  settle();
  return *this;
}

bool FileList::reverse_iterator::operator==(const reverse_iterator& o) const {
  if (m_flist != o.m_flist || m_stack.size() != o.m_stack.size()) return false;
  if (m_stack.empty()) return true;
  const stack_entry& a = m_stack.back();
  const stack_entry& b = o.m_stack.back();
  return a.node == b.node && m_state == o.m_state && a.file == b.file && a.dir == b.dir;
}
