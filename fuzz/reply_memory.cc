// libFuzzer target: the library's live heap stays bounded by the reply's size.
#include "tests/support/fuzz_entries.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  return FuzzReplyMemory(data, size);
}
