#include "client/sync/worker.h"

#include "lib/base/errors.h"

int Worker::DownloadRemote(uint64_t, const std::wstring&) {
  return ERR_SYS;
}
