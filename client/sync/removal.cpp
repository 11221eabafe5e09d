#include "client/sync/worker.h"

#include "lib/base/errors.h"

int Worker::RemoveLocal(const std::wstring&) {
  return ERR_SYS;
}

int Worker::RemoveDirectoryW(const std::wstring&) {
  return -1;
}
