// Conversions between the server's charset and the toolkit's ISO 8859-1,
// and the choice of the server's charset from the environment.
#include "app/services/charset.h"

#include <ctype.h>
#include <string.h>
#include <strings.h>

ServerCharset server_charset = CHARSET_8BIT;

namespace {

const int kBroken = -1;

// Reads one UTF-8 character at p (n > 0 bytes left): returns its length and
// sets *code to its code point, or to kBroken for a byte that starts no
// well-formed sequence (overlong forms, surrogates and code points past
// U+10FFFF included); a broken byte counts as one character of its own.
size_t NextUtf8(const unsigned char *p, size_t n, int *code) {
  unsigned c = p[0];
  *code = kBroken;
  if (c < 0x80) {
    *code = static_cast<int>(c);
    return 1;
  }
  size_t length;
  unsigned low = 0x80, high = 0xBF;  // the allowed range of the second byte
  if (c >= 0xC2 && c <= 0xDF) {
    length = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    length = 3;
    if (c == 0xE0) low = 0xA0;
    if (c == 0xED) high = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    length = 4;
    if (c == 0xF0) low = 0x90;
    if (c == 0xF4) high = 0x8F;
  } else {
    return 1;
  }
  if (n < length || p[1] < low || p[1] > high) return 1;
  unsigned value = c & (0xFF >> (length + 1));
  for (size_t i = 1; i < length; i++) {
    if (i > 1 && (p[i] & 0xC0) != 0x80) return 1;
    value = (value << 6) | (p[i] & 0x3F);
  }
  *code = static_cast<int>(value);
  return length;
}

}  // namespace

ServerCharset CharsetOfCodeset(const char *codeset) {
  if (codeset == nullptr) return CHARSET_8BIT;
  return strcasecmp(codeset, "UTF-8") == 0 || strcasecmp(codeset, "UTF8") == 0 ? CHARSET_UTF8
                                                                                : CHARSET_8BIT;
}

std::string CodesetOfLocaleName(const char *name) {
  if (name == nullptr) return "";
  const char *dot = strchr(name, '.');
  if (dot == nullptr) return "";
  return std::string(dot + 1, strcspn(dot + 1, "@"));
}

ServerCharset ChooseServerCharset(const char *override_value, const char *locale_codeset,
                                  const char *locale_name) {
  if (override_value != nullptr && override_value[0] != '\0')
    return CharsetOfCodeset(override_value);
  if (locale_codeset != nullptr) return CharsetOfCodeset(locale_codeset);
  return CharsetOfCodeset(CodesetOfLocaleName(locale_name).c_str());
}

std::string ToToolkit(const char *text, ServerCharset charset) {
  if (text == nullptr) return "";
  if (charset == CHARSET_8BIT) return text;
  std::string shown;
  const unsigned char *p = reinterpret_cast<const unsigned char *>(text);
  size_t n = strlen(text);
  while (n > 0) {
    int code;
    size_t length = NextUtf8(p, n, &code);
    // 0x80-0x9F are controls in Latin-1: drawn as boxes, dropped by inputs.
    bool latin1 = code >= 0 && code <= 0xFF && !(code >= 0x80 && code <= 0x9F);
    shown += latin1 ? static_cast<char>(code) : '?';
    p += length;
    n -= length;
  }
  return shown;
}

std::string ToToolkit(const char *text) { return ToToolkit(text, server_charset); }

std::string ToServer(const char *text, ServerCharset charset) {
  if (text == nullptr) return "";
  if (charset == CHARSET_8BIT) return text;
  std::string value;
  for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p; p++) {
    if (*p < 0x80) {
      value += static_cast<char>(*p);
    } else {
      value += static_cast<char>(0xC0 | (*p >> 6));
      value += static_cast<char>(0x80 | (*p & 0x3F));
    }
  }
  return value;
}

std::string ToServer(const char *text) { return ToServer(text, server_charset); }

bool ShownExactly(const char *text, ServerCharset charset) {
  if (text == nullptr) return true;
  return ToServer(ToToolkit(text, charset).c_str(), charset) == text;
}

size_t ServerCharacters(const char *text, size_t bytes, ServerCharset charset) {
  if (charset == CHARSET_8BIT) return bytes;
  const unsigned char *p = reinterpret_cast<const unsigned char *>(text);
  size_t count = 0;
  while (bytes > 0) {
    int code;
    size_t length = NextUtf8(p, bytes, &code);
    p += length;
    bytes -= length;
    count++;
  }
  return count;
}

size_t ServerPrefixBytes(const char *text, size_t bytes, size_t characters,
                         ServerCharset charset) {
  if (charset == CHARSET_8BIT) return characters < bytes ? characters : bytes;
  const unsigned char *p = reinterpret_cast<const unsigned char *>(text);
  size_t taken = 0;
  while (taken < bytes && characters > 0) {
    int code;
    taken += NextUtf8(p + taken, bytes - taken, &code);
    characters--;
  }
  return taken;
}

namespace {

// One character of a stored value: its bytes in the server's text and the
// one byte the toolkit shows for it.
struct Unit {
  size_t begin, end;
  char shown;
  bool exact;  // its toolkit byte gives its bytes back
  bool kept;   // the input kept it (set by the alignment)
};

std::vector<Unit> Units(const std::string &stored, ServerCharset charset) {
  std::vector<Unit> units;
  const unsigned char *p = reinterpret_cast<const unsigned char *>(stored.data());
  size_t at = 0;
  while (at < stored.size()) {
    Unit u = {at, at + 1, static_cast<char>(p[at]), true, false};
    if (p[at] == '\0') {
      // The input shows a blank for it (FillInputs), and a blank goes back.
      u.shown = ' ';
      u.exact = false;
    } else if (charset == CHARSET_UTF8) {
      int code;
      u.end = at + NextUtf8(p + at, stored.size() - at, &code);
      std::string one = ToToolkit(stored.substr(at, u.end - at).c_str(), charset);
      u.shown = one[0];
      u.exact = ToServer(one.c_str(), charset) == stored.substr(at, u.end - at);
    }
    units.push_back(u);
    at = u.end;
  }
  return units;
}

}  // namespace

MergedEdit MergeEdit(const std::string &stored, const std::string &shown, const std::string &edited,
                     ServerCharset charset) {
  std::vector<Unit> units = Units(stored, charset);
  // The input drops a character by its byte alone, so a dropped byte never
  // appears in the shown text: matching greedily is the one alignment.
  std::vector<size_t> kept;  // the unit of each shown byte
  for (size_t i = 0; i < units.size() && kept.size() < shown.size(); i++) {
    if (units[i].shown != shown[kept.size()]) continue;
    units[i].kept = true;
    kept.push_back(i);
  }
  if (kept.size() != shown.size()) {
    bool exact = true;
    for (const Unit &u : units) exact = exact && u.exact;
    return {ToServer(edited.c_str(), charset), !exact};
  }
  size_t n = shown.size(), m = edited.size();
  size_t head = 0;
  while (head < n && head < m && shown[head] == edited[head]) head++;
  size_t tail = 0;
  while (tail < n - head && tail < m - head && shown[n - 1 - tail] == edited[m - 1 - tail]) tail++;

  // Units [0, first) go back as stored, [last, end) too; between them the
  // replaced shown characters and the dropped ones among them are lost. A
  // dropped character next to the replaced span stays with the unchanged
  // side; with nothing replaced (an insertion) all of them stay, before it.
  size_t first = head < n ? kept[head] : units.size();
  size_t last = head < n - tail ? kept[n - tail - 1] + 1 : first;
  MergedEdit merged = {"", false};
  auto keep = [&](size_t from, size_t to) {
    for (size_t i = from; i < to; i++) {
      if (stored[units[i].begin] == '\0') {
        merged.value += ' ';
        merged.lost = true;
      } else {
        merged.value.append(stored, units[i].begin, units[i].end - units[i].begin);
      }
    }
  };
  keep(0, first);
  for (size_t i = first; i < last; i++) merged.lost = merged.lost || !units[i].exact || !units[i].kept;
  merged.value += ToServer(edited.substr(head, m - head - tail).c_str(), charset);
  keep(last, units.size());
  return merged;
}

std::string InputHolds(const std::string &text) {
  std::string held;
  for (char c : text)
    if (isprint(static_cast<unsigned char>(c))) held += c;
  return held;
}

bool KeysymDropped(unsigned long keysym) {
  // Keysyms 0x100-0x20ff are the legacy character sets (Latin-2 to 4, Kana,
  // Arabic, Cyrillic, Greek, technical, publishing with its dashes and
  // quotes, Hebrew, Thai, Korean, currency with the euro sign); 0x1000000 +
  // U is Unicode character U. Latin-1 keysyms are their own byte.
  const unsigned long unicode = 0x1000000;
  // No symbol: the key's binding was gone when its symbol was read (xdotool
  // binds a spare key for a moment and undoes it at once). What it typed is
  // unknown and the input took nothing, so it counts as dropped.
  if (keysym == 0) return true;
  if (keysym >= 0x100 && keysym <= 0x20ff) return true;
  if (keysym < unicode || keysym > unicode + 0x10ffff) return false;
  unsigned long code = keysym - unicode;
  return code > 0xff || (code >= 0x80 && code <= 0x9f) || code < 0x20 || code == 0x7f;
}

size_t ServerCutBytes(const char *text, size_t bytes, size_t budget, ServerCharset charset) {
  if (bytes > budget && charset == CHARSET_8BIT) return budget;
  if (bytes <= budget) return bytes;
  const unsigned char *p = reinterpret_cast<const unsigned char *>(text);
  size_t taken = 0;
  for (;;) {
    int code;
    size_t length = NextUtf8(p + taken, bytes - taken, &code);
    if (taken + length > budget) return taken;
    taken += length;
  }
}
