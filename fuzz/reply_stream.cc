// libFuzzer target: arbitrary server replies to the client's requests.
#include "tests/support/fuzz_entries.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  return FuzzReplyStream(data, size);
}
