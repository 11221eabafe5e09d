#include "lib/base/errors.h"

#include <cstdlib>
#include <cstring>

namespace {

constexpr const char* kTexts[] = {
    "Successful",
    "Interrupted",
    "I/O error",
    "System error",
    "Invalid argument",
    "Protocal error",
    "Authentication failure",
    "Server error",
    "Event conflict",
    "Connection timeout",
    "Incompatible version",
    "No such entry",
    "Invalid username",
    "Password and username not matched",
    "Kelvo disabled",
    "User quota not enough",
    "Disk is full",
    "Sync Folder is miss",
    "Removals held for confirmation",
    "Change watching degraded",
    "Configuration readable by others",
    "Server certificate not checked",
};

constexpr const wchar_t* kWideTexts[] = {
    L"Successful",
    L"Interrupted",
    L"I/O error",
    L"System error",
    L"Invalid argument",
    L"Protocal error",
    L"Authentication failure",
    L"Server error",
    L"Event conflict",
    L"Connection timeout",
    L"Incompatible version",
    L"No such entry",
    L"Invalid username",
    L"Password and username not matched",
    L"Kelvo disabled",
    L"User quota not enough",
    L"Disk is full",
    L"Sync Folder is miss",
    L"Removals held for confirmation",
    L"Change watching degraded",
    L"Configuration readable by others",
    L"Server certificate not checked",
};

constexpr int kCount = sizeof(kTexts) / sizeof(kTexts[0]);
static_assert(kCount == sizeof(kWideTexts) / sizeof(kWideTexts[0]), "tables differ");

// INT_MIN has no magnitude; it is simply unknown.
int Index(int code) {
  if (code == -2147483647 - 1) return -1;
  int mag = std::abs(code);
  return mag < kCount ? mag : -1;
}

}  // namespace

const char* GetErrorString(int code) {
  int i = Index(code);
  return i < 0 ? "Unknown error" : kTexts[i];
}

const wchar_t* GetErrorStringW(int code) {
  int i = Index(code);
  return i < 0 ? L"Unknown error" : kWideTexts[i];
}

std::string ErrnoMessage(int err) {
  char buf[128];
  // The GNU strerror_r: the text is in buf or in a constant string.
  return ::strerror_r(err, buf, sizeof buf);
}
