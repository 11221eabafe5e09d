#include "lib/net/host-name.h"

#include <unistd.h>

#include <climits>

std::string LocalHostName() {
#ifdef HOST_NAME_MAX
  char buf[HOST_NAME_MAX + 1] = {};
#else
  char buf[256] = {};
#endif
  if (::gethostname(buf, sizeof(buf) - 1) != 0) return std::string();
  return buf;
}
