#include "client/core/event-list.h"

#include <utility>

#include "lib/base/log.h"

namespace {
constexpr wchar_t kLogComponent[] = L"event_list_debug";
}  // namespace

const wchar_t* Event::TypeText(Type type) {
  switch (type) {
    case EV_EMPTY:
      return L"EV_EMPTY";
    case EV_CREATE:
      return L"EV_ADD";
    case EV_REMOVE:
      return L"EV_REMOVE";
    case EV_MODIFY:
      return L"EV_MODIFY";
    case EV_RENAME:
      return L"EV_RENAME";
    case EV_TRASH:
      return L"EV_TRASH";
  }
  return L"EV_UNKNOWN";
}

std::wstring Event::toString() const {
  std::wstring s = L"Event<";
  s += TypeText(m_type);
  if (m_type == EV_RENAME) {
    s += L">: from '" + m_path + L"', to '" + m_opt + L"'";
  } else {
    s += L">: [" + std::to_wstring(m_syncID) + L"] " + m_path + L" (";
    s += isServerEvent() ? L"server" : L"local";
    s += isDir() ? L",dir" : L",file";
    if (isExpand()) s += L",expand";
    s += L")";
  }
  if (isFile()) s += L" size = " + std::to_wstring(m_size) + L", hash = " + m_hash;
  return s;
}

void Event::swap(Event& other) noexcept {
  using std::swap;
  swap(m_type, other.m_type);
  swap(m_mode, other.m_mode);
  swap(m_syncID, other.m_syncID);
  swap(m_size, other.m_size);
  swap(m_time, other.m_time);
  m_hash.swap(other.m_hash);
  m_path.swap(other.m_path);
  m_opt.swap(other.m_opt);
}

EventList::EventList(int max_size) : m_max_size(max_size) {}

int EventList::Push(const Event& e, Event& old) {
  MutexLock g(m_mutex);
  auto it = m_index.find(e.m_path);
  if (it != m_index.end()) {
    Event& queued = *it->second;
    old = queued;
    SF_LOG(L_DEBUG, L"[DEBUG] event-list(%d): old event (%s) replaced by new event (%s)...\n",
           queued.toString(), e.toString());
    // The newer event wins entirely; only its place in the queue is kept.
    queued = e;
    return 0;
  }
  m_queue.push_back(e);
  m_index.emplace(e.m_path, std::prev(m_queue.end()));
  return 1;
}

int EventList::Push(const Event& e) {
  Event old;
  return Push(e, old);
}

int EventList::Pop(Event& e) {
  MutexLock g(m_mutex);
  if (m_queue.empty()) return -1;
  Event& front = m_queue.front();
  m_index.erase(front.m_path);
  e = std::move(front);
  m_queue.pop_front();
  return 0;
}

int EventList::Pop(const std::wstring& path, Event& e) {
  MutexLock g(m_mutex);
  auto it = m_index.find(path);
  if (it == m_index.end()) return -1;
  Queue::iterator pos = it->second;
  m_index.erase(it);
  e = std::move(*pos);
  m_queue.erase(pos);
  return 0;
}

void EventList::Clear() {
  MutexLock g(m_mutex);
  m_index.clear();
  m_queue.clear();
}

bool EventList::IsEmpty() const {
  MutexLock g(m_mutex);
  return m_queue.empty();
}

int EventList::Size() const {
  MutexLock g(m_mutex);
  return static_cast<int>(m_queue.size());
}
