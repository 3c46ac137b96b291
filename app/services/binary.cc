// Values that are not text (see binary.h).
#include "app/services/binary.h"

#include <cstdio>

namespace {

// How many of a value's first bytes its description shows.
const size_t kShownBytes = 8;

}  // namespace

bool IsBinaryValue(const char *value, size_t bytes) {
  for (size_t i = 0; i < bytes; i++) {
    unsigned char c = static_cast<unsigned char>(value[i]);
    if ((c < 0x20 && c != '\t' && c != '\n' && c != '\r') || c == 0x7f) return true;
  }
  return false;
}

std::string BinaryDescription(const char *value, size_t bytes, bool not_editable) {
  std::string text = "(binary, " + std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
  if (not_editable) text += ", not editable as text";
  text += ":";
  for (size_t i = 0; i < bytes && i < kShownBytes; i++) {
    char hex[4];
    snprintf(hex, sizeof hex, " %02x", static_cast<unsigned char>(value[i]));
    text += hex;
  }
  if (bytes > kShownBytes) text += " ...";
  return text + ")";
}
