// The filter file. A file that parses must also survive a write and a read
// back with the same meaning, and the path tests must hold on any path.
#include <cstdio>
#include <cstdlib>
#include <cstddef>
#include <cstdint>
#include <string>

#include "client/local/filter.h"
#include "fuzz/fuzz-common.h"

namespace {

std::string Print(const filter& f) {
  char* buf = nullptr;
  size_t len = 0;
  FILE* m = ::open_memstream(&buf, &len);
  filter_print(f, m);
  std::fclose(m);
  std::string s(buf, len);
  std::free(buf);
  return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string path = [] {
    sffuzz::Init();
    return sffuzz::ScratchDir() + "/filter";
  }();
  const std::string text(reinterpret_cast<const char*>(data), size);
  filter f;
  filter_parse_result r = filter_parse_text(f, text);
  if (r.status == 0) {
    // Tested paths: fixed shapes plus one taken from the input.
    const std::string tail = text.substr(0, 64);
    for (const std::string& p : {std::string("/a/b.txt"), std::string("/x/@eaDir/y"),
                                 std::string("/") + tail, std::string("/d/") + tail + "/f.log",
                                 tail}) {
      (void)filter_test_path(f, 0, p);
      (void)filter_test_path(f, 1, p);
    }
    (void)filter_test_file_size(f, size);
    (void)filter_test_full_path_size(f, size);
    (void)filter_test_ea(f, tail);
    // What is printed must read back as the same filter.
    if (filter_write(f, path) == 0) {
      filter g;
      if (filter_read(g, path) != 0 || Print(f) != Print(g)) __builtin_trap();
      filter_destroy(g);
    }
  }
  filter_destroy(f);
  return 0;
}
