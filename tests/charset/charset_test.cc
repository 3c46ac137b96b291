// The conversions between the server's charset and the toolkit's Latin-1,
// and the choice of the server's charset, without a display.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "app/services/charset.h"

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

// An edit writes back the stored bytes of the parts the user did not change;
// only what was inside the replaced span may be lost, and then it says so.
// shown is what the input held after the fill: ToToolkit of the value less
// what the input dropped (tabs, newlines and C1 controls).
TEST(Charset, AnEditKeepsTheStoredBytesOutsideTheReplacedSpan) {
  struct Case {
    ServerCharset charset;
    std::string stored;
    const char *shown;
    const char *edited;
    const char *value;
    bool lost;
  } cases[] = {
      // U+2019 in the head survives an appended text, and one in the tail a
      // prefixed one.
      {CHARSET_UTF8, "Alaba-K\xe2\x80\x99" "abeena", "Alaba-K?abeena", "Alaba-K?abeena (ET)",
       "Alaba-K\xe2\x80\x99" "abeena (ET)", false},
      {CHARSET_UTF8, "\xe2\x80\x9cQ\xe2\x80\x9d", "?Q?", "x ?Q?", "x \xe2\x80\x9cQ\xe2\x80\x9d", false},
      // An edit between two unshown characters keeps both.
      {CHARSET_UTF8, "\xc5\x82" "ab\xc5\x99", "?ab?", "?aXb?", "\xc5\x82" "aXb\xc5\x99", false},
      // Replacing an exact part beside them loses nothing.
      {CHARSET_UTF8, "Kosovo \xe2\x80\x93 Kosova", "Kosovo ? Kosova", "Kosovo ? Kosovo",
       "Kosovo \xe2\x80\x93 Kosovo", false},
      // The user replaced the '?': the dash is gone, and that is said.
      {CHARSET_UTF8, "Kosovo \xe2\x80\x93 Kosova", "Kosovo ? Kosova", "Kosovo - Kosova",
       "Kosovo - Kosova", true},
      {CHARSET_UTF8, "a\xe2\x82\xac" "b", "a?b", "ab", "ab", true},  // deleted
      // Latin-1 letters are exact: replacing them loses nothing.
      {CHARSET_UTF8, "M\xc3\xbcller \xe2\x82\xac", "M\xfcller ?", "M\xfcllers ?",
       "M\xc3\xbcllers \xe2\x82\xac", false},
      {CHARSET_UTF8, "\xc3\xa9t\xc3\xa9", "\xe9t\xe9", "\xe9" "X" "\xe9", "\xc3\xa9X\xc3\xa9", false},
      // Broken UTF-8 shows a '?' per byte; an untouched one goes back as it was.
      {CHARSET_UTF8, "Jos\xe9", "Jos?", "Jos?!", "Jos\xe9!", false},
      // Characters the input dropped: kept next to the change and by an
      // insertion at their place, lost when inside the replaced span.
      {CHARSET_UTF8, "a\tb", "ab", "aXb", "a\tXb", false},
      {CHARSET_UTF8, "one\ntwo", "onetwo", "one two!", "one\n two!", false},
      {CHARSET_UTF8, "ab\tcd", "abcd", "aXd", "aXd", true},
      {CHARSET_UTF8, "ab\tcd", "abcd", "abcX", "ab\tcX", false},
      {CHARSET_8BIT, "x\x85y", "xy", "xy!", "x\x85y!", false},
      {CHARSET_8BIT, "x\x85y", "xy", "x", "x\x85", false},
      {CHARSET_8BIT, "x\x85y\x85z", "xyz", "xz", "x\x85\x85z", false},
      {CHARSET_8BIT, "x\x85y\x85z", "xyz", "x", "x\x85", true},
      {CHARSET_8BIT, "Caf\xe9 \x96 bar", "Caf\xe9  bar", "Caf\xe9  baz", "Caf\xe9 \x96 baz", false},
      // Repeated letters: the shortest change is taken.
      {CHARSET_UTF8, "\xe2\x80\x98" "aa\xe2\x80\x99", "?aa?", "?a?", "\xe2\x80\x98" "a\xe2\x80\x99", false},
      // Everything replaced.
      {CHARSET_UTF8, "\xe2\x80\x98\xe2\x80\x99", "??", "new", "new", true},
      {CHARSET_UTF8, "plain", "plain", "", "", false},
      // A zero byte cannot be sent: a blank goes back, said.
      {CHARSET_UTF8, std::string("a\0b", 3), "a b", "a b!", "a b!", true},
      // Shown text that is not the stored one less dropped characters: the
      // edited text whole.
      {CHARSET_UTF8, "\xe2\x80\x93", "zz", "zzz", "zzz", true},
      {CHARSET_UTF8, "abc", "xyz", "xyzw", "xyzw", false},
  };
  for (const Case &c : cases) {
    MergedEdit merged = MergeEdit(c.stored, c.shown, c.edited, c.charset);
    EXPECT_EQ(merged.value, c.value) << c.shown << " -> " << c.edited;
    EXPECT_EQ(merged.lost, c.lost) << c.shown << " -> " << c.edited;
  }
}

// A key that stands for a character the inputs do not take is noticed, so
// that it is never dropped without a word; Latin-1 characters and keys
// that type nothing are not.
TEST(Charset, KeysThatTypeWhatTheInputsDropAreKnown) {
  struct Case {
    unsigned long keysym;
    bool dropped;
  } cases[] = {
      {0x0aa9, true},       // endash
      {0x0ad1, true},       // rightsinglequotemark
      {0x20ac, true},       // EuroSign
      {0x01b3, true},       // lstroke
      {0x01f8, true},       // rcaron
      {0x06c1, true},       // Cyrillic_a
      {0x1002013, true},    // U+2013 as xdotool maps it
      {0x1000085, true},    // a C1 control
      {0x101f600, true},    // an emoji
      {0, true},            // NoSymbol: a binding undone before it was read
      {0x0041, false},      // A
      {0x00e9, false},      // eacute
      {0x00a0, false},      // nobreakspace
      {0x00ff, false},      // ydiaeresis
      {0x10000e9, false},   // U+00E9 as a Unicode keysym
      {0xff08, false},      // BackSpace
      {0xffe1, false},      // Shift_L
      {0xfe51, false},      // dead_acute
      {0xffb5, false},      // KP_5
  };
  for (const Case &c : cases) EXPECT_EQ(KeysymDropped(c.keysym), c.dropped) << std::hex << c.keysym;
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
