// The one check of a configuration before a daemon starts on it, made by the
// daemon itself and by the monitor before it starts one: what cannot work is
// said in one line each, with what to change, instead of a daemon that exits
// with a bare status or, worse, creates and fills a folder the user never
// meant.
#pragma once

#include <vector>

#include "lib/conf/client-config.h"

// Everything wrong with `cfg` found without changing anything on disk: the
// file's own problems (ClientConfig::problems), keys that contradict each
// other (TLS keys that would be ignored, a relay without an address), the
// folders it names (the sync folder must exist and be writable, or be
// creatable on a first start; the database folder must lie outside it and
// be writable or creatable), and
// the filter file beside the database folder. Fatal problems carry the
// daemon's exit status (kStartConfig, kStartFolder); warnings status 0. An
// unreadable file gives that one problem only. Thread-safe.
std::vector<ConfigProblem> CheckClientConfig(const ClientConfig& cfg);
