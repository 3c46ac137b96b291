// The conversions between the server's charset and the toolkit's Latin-1,
// and the choice of the server's charset, without a display.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "app/charset.h"

namespace {

TEST(Charset, Utf8IsShownInLatin1WithAQuestionMarkForTheRest) {
  struct Case {
    const char *server;
    const char *shown;
  } cases[] = {
      {"", ""},
      {"plain ASCII\t~", "plain ASCII\t~"},
      {"C\xc3\xb4te d'Ivoire", "C\xf4te d'Ivoire"},
      {"S\xc3\xa3o Tom\xc3\xa9", "S\xe3o Tom\xe9"},
      {"\xc3\x86r\xc3\xb8", "\xc6r\xf8"},
      {"M\xc3\xbcller", "M\xfcller"},
      {"\xc2\xa0\xc3\xbf", "\xa0\xff"},  // the first and last printable above ASCII
      {"\xd0\x9c\xd0\xbe\xd1\x81\xd0\xba\xd0\xb2\xd0\xb0", "??????"},  // Cyrillic
      {"a\xf0\x9f\x98\x80z", "a?z"},   // an emoji is one character
      {"\xe2\x82\xac", "?"},           // the euro sign
      {"\xc2\x85\xc2\x9f", "??"},      // C1 controls: boxes on screen
      // Broken UTF-8: every byte that starts no well-formed sequence is one '?'.
      {"Jos\xe9", "Jos?"},
      {"\xc0\xaf", "??"},              // overlong
      {"\xe0\x80\xaf", "???"},         // overlong, three bytes
      {"\xed\xa0\x80", "???"},         // a surrogate
      {"\xf4\x90\x80\x80", "????"},    // past U+10FFFF
      {"\xf5\xff", "??"},
      {"\xe2\x82", "??"},              // cut at the end
      {"\xe2\x82z", "??z"},            // cut before another character
      {"\xc3\xbc\xbc", "\xfc?"},        // a stray continuation byte
  };
  for (const Case &c : cases) {
    EXPECT_EQ(ToToolkit(c.server, CHARSET_UTF8), c.shown) << c.server;
    EXPECT_EQ(ServerCharacters(c.server, strlen(c.server), CHARSET_UTF8), strlen(c.shown))
        << c.server;
    EXPECT_EQ(ShownExactly(c.server, CHARSET_UTF8), strchr(c.shown, '?') == nullptr) << c.server;
    // 8-bit text is taken as it is, every byte a character.
    EXPECT_EQ(ToToolkit(c.server, CHARSET_8BIT), c.server);
    EXPECT_TRUE(ShownExactly(c.server, CHARSET_8BIT));
  }
  EXPECT_EQ(ToToolkit(nullptr, CHARSET_UTF8), "");
}

TEST(Charset, EveryLatin1ByteGoesToTheServerAndBack) {
  for (int b = 1; b < 256; b++) {
    char text[] = {'<', static_cast<char>(b), '>', '\0'};
    std::string server = ToServer(text, CHARSET_UTF8);
    ASSERT_EQ(server.size(), b < 0x80 ? 3u : 4u) << b;
    bool c1 = b >= 0x80 && b <= 0x9f;
    EXPECT_EQ(ToToolkit(server.c_str(), CHARSET_UTF8), c1 ? std::string("<?>") : text) << b;
    EXPECT_EQ(ToServer(text, CHARSET_8BIT), text);
  }
  EXPECT_EQ(ToServer("M\xfcller", CHARSET_UTF8), "M\xc3\xbcller");
  EXPECT_EQ(ToServer(nullptr, CHARSET_UTF8), "");
}

TEST(Charset, ColumnsAndCutsCountWholeCharacters) {
  const char *muller = "M\xc3\xbcller";  // 6 characters in 7 bytes
  const char *emoji = "\xf0\x9f\x98\x80!";
  struct Case {
    const char *text;
    ServerCharset charset;
    size_t characters;
    size_t prefix_bytes;  // of the first `characters` characters
  } cases[] = {
      {muller, CHARSET_UTF8, 1, 1},   {muller, CHARSET_UTF8, 2, 3},
      {muller, CHARSET_UTF8, 6, 7},   {muller, CHARSET_UTF8, 9, 7},
      {muller, CHARSET_UTF8, 0, 0},   {emoji, CHARSET_UTF8, 1, 4},
      {emoji, CHARSET_UTF8, 2, 5},    {"\xe2\x82z", CHARSET_UTF8, 2, 2},
      {muller, CHARSET_8BIT, 2, 2},   {muller, CHARSET_8BIT, 9, 7},
  };
  for (const Case &c : cases)
    EXPECT_EQ(ServerPrefixBytes(c.text, strlen(c.text), c.characters, c.charset), c.prefix_bytes)
        << c.text << " " << c.characters;

  struct Cut {
    const char *text;
    ServerCharset charset;
    size_t budget;
    size_t bytes;
  } cuts[] = {
      {muller, CHARSET_UTF8, 1, 1},  {muller, CHARSET_UTF8, 2, 1}, {muller, CHARSET_UTF8, 3, 3},
      {muller, CHARSET_UTF8, 7, 7},  {muller, CHARSET_UTF8, 8, 7}, {emoji, CHARSET_UTF8, 3, 0},
      {emoji, CHARSET_UTF8, 4, 4},   {muller, CHARSET_8BIT, 2, 2}, {muller, CHARSET_8BIT, 9, 7},
  };
  for (const Cut &c : cuts)
    EXPECT_EQ(ServerCutBytes(c.text, strlen(c.text), c.budget, c.charset), c.bytes)
        << c.text << " " << c.budget;
}

TEST(Charset, TheOverrideThenTheLocaleDecide) {
  EXPECT_EQ(CodesetOfLocaleName("de_DE.UTF-8@euro"), "UTF-8");
  EXPECT_EQ(CodesetOfLocaleName("en_US.utf8"), "utf8");
  EXPECT_EQ(CodesetOfLocaleName("de_DE@euro"), "");
  EXPECT_EQ(CodesetOfLocaleName(nullptr), "");
  struct Case {
    const char *override_value;
    const char *codeset;
    const char *name;
    ServerCharset charset;
  } cases[] = {
      {nullptr, "UTF-8", "C.UTF-8", CHARSET_UTF8},
      {nullptr, "ISO-8859-1", "de_DE", CHARSET_8BIT},
      {nullptr, "ANSI_X3.4-1968", nullptr, CHARSET_8BIT},
      // The user's locale not installed: its name tells.
      {nullptr, nullptr, "de_DE.UTF-8", CHARSET_UTF8},
      {nullptr, nullptr, "fr_FR.utf8@euro", CHARSET_UTF8},
      {nullptr, nullptr, "ru_RU.KOI8-R", CHARSET_8BIT},
      {nullptr, nullptr, nullptr, CHARSET_8BIT},
      {"", "UTF-8", nullptr, CHARSET_UTF8},  // empty: as if not set
      {"utf8", "ISO-8859-1", nullptr, CHARSET_UTF8},
      {"UTF-8", nullptr, "C", CHARSET_UTF8},
      {"ISO-8859-15", "UTF-8", "C.UTF-8", CHARSET_8BIT},
      {"latin1", "UTF-8", "C.UTF-8", CHARSET_8BIT},
  };
  for (const Case &c : cases)
    EXPECT_EQ(ChooseServerCharset(c.override_value, c.codeset, c.name), c.charset)
        << (c.override_value ? c.override_value : "-") << " " << (c.codeset ? c.codeset : "-")
        << " " << (c.name ? c.name : "-");
}

}  // namespace
