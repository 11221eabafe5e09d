// Shared pieces of the libFuzzer targets: a Channel that reads the fuzz
// input from memory, quiet logging, and a scratch directory for the parsers
// that read files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "lib/net/channel.h"

namespace sffuzz {

// Reads serve the bytes given to Reset and then report a lost peer; writes
// are accepted and dropped. It holds one end of a socketpair so that it
// counts as open; nothing travels through it.
class MemoryChannel : public Channel {
 public:
  MemoryChannel();
  ~MemoryChannel() override;
  // Starts over with `data` as everything the peer will send.
  void Reset(const uint8_t* data, size_t size);
  void Reset(const std::string& s) {
    Reset(reinterpret_cast<const uint8_t*>(s.data()), s.size());
  }

  int ReadFd(void* buf, size_t len) override;
  int WriteFd(const void* buf, size_t len) override;

 private:
  const uint8_t* m_data = nullptr;
  size_t m_size = 0;
  size_t m_pos = 0;
  int m_other = -1;
};

// Once per process: a private scratch directory, log lines of every
// component at error level into a file there (so that the messages built
// from hostile input are formatted, without flooding the terminal).
void Init();
const std::string& ScratchDir();
// Writes the bytes to ScratchDir()/name and returns the path.
std::string WriteScratch(const std::string& name, const uint8_t* data, size_t size);

}  // namespace sffuzz
