// libFuzzer target: any bytes as server text in UTF-8 and in 8 bits. The
// toolkit's text has one byte per character and no C1 control, comes back
// the same through the server's charset, and the cuts and counts agree with
// it.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/services/charset.h"

namespace {

void Check(bool ok) {
  if (!ok) abort();
}

void CheckText(const std::string &text, size_t budget, ServerCharset charset) {
  const char *c = text.c_str();
  std::string shown = ToToolkit(c, charset);
  size_t characters = ServerCharacters(c, text.size(), charset);
  Check(shown.size() == characters);
  std::string back = ToServer(shown.c_str(), charset);
  Check(ToToolkit(back.c_str(), charset) == shown);
  Check(ShownExactly(c, charset) == (back == text));
  if (charset == CHARSET_UTF8) {
    for (unsigned char b : shown) Check(b < 0x80 || b > 0x9f);
  } else {
    Check(shown == text && back == text);
  }

  size_t cut = ServerCutBytes(c, text.size(), budget, charset);
  Check(cut <= budget && cut <= text.size());
  Check(ServerPrefixBytes(c, text.size(), ServerCharacters(c, cut, charset), charset) == cut);
  size_t prefix = ServerPrefixBytes(c, text.size(), budget, charset);
  Check(prefix <= text.size());
  Check(ServerCharacters(c, prefix, charset) == (budget < characters ? budget : characters));
  // A cut never splits a character: what it leaves shows as the start of
  // the whole text's rendering.
  Check(shown.compare(0, ToToolkit(text.substr(0, cut).c_str(), charset).size(),
                      ToToolkit(text.substr(0, cut).c_str(), charset)) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  // The first byte picks the budget for the cuts; the rest, up to a NUL,
  // is the text (the server's values never hold one).
  size_t budget = data[0];
  std::string text(reinterpret_cast<const char *>(data + 1), size - 1);
  text.resize(strlen(text.c_str()));
  CheckText(text, budget, CHARSET_UTF8);
  CheckText(text, budget, CHARSET_8BIT);
  return 0;
}
