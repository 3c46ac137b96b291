// libFuzzer target: arbitrary configuration files.
#include "tests/support/fuzz_entries.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  return FuzzConfigFile(data, size);
}
