// libFuzzer target: the reply reader, fed packets without a socket, keeps the
// library's live heap bounded by the reply's size, whatever that size.
#include "tests/support/fuzz_entries.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  return FuzzReplyMemory(data, size);
}
