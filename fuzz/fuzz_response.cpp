// The server's answers to the connection, authentication, view list, test
// connection and node requests. The first input byte picks the exchange.
#include <cstddef>
#include <cstdint>
#include <list>

#include "fuzz/fuzz-common.h"
#include "lib/proto/proto-client.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static sffuzz::MemoryChannel* ch = [] {
    sffuzz::Init();
    ProtoInit(4);
    return new sffuzz::MemoryChannel();
  }();
  if (size < 1) return 0;
  ch->Reset(data + 1, size - 1);
  switch (data[0] % 8) {
    case 0: {
      uint32_t alive = 0;
      (void)ProtoReadConnResponse(*ch, alive);
      break;
    }
    case 1: {
      std::wstring session;
      (void)ProtoReadAuthResult(*ch, session);
      break;
    }
    case 2: {
      std::wstring serial;
      (void)ProtoReadCheckUserResult(*ch, serial);
      break;
    }
    case 3: {
      int version = 0;
      std::wstring serial, id;
      (void)ProtoTestConnection(*ch, version, serial, id);
      break;
    }
    case 4: {
      std::list<View> views;
      (void)ProtoListViewBySession(*ch, L"session", views);
      if (views.size() > size) __builtin_trap();  // more views than bytes
      break;
    }
    case 5: {
      std::wstring session;
      (void)ProtoAuth2BySession(*ch, L"session", L"client", 1, session);
      break;
    }
    case 6: {
      ObjectInfo info;
      (void)ProtoDoNodeOperation(*ch, L"session", 7, SFT_FILE, FOP_CREATE, L"/a", info);
      break;
    }
    case 7: {
      int result = 0;
      ObjectInfo info;
      if (ProtoReadResponse(*ch, SCMD_EVT_RECV, result) == 0) (void)ProtoReadObjectInfo(*ch, info);
      break;
    }
  }
  return 0;
}
