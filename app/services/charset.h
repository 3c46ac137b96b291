// Text between the server and the toolkit. The toolkit draws and edits
// ISO 8859-1 only; the server's values are in the user's charset: UTF-8, or
// an 8-bit one taken byte for byte. Every text that enters a widget goes
// through ToToolkit, every text read from one through ToServer. No toolkit
// here: start at ToToolkit.
#ifndef KORVID_APP_SERVICES_CHARSET_H
#define KORVID_APP_SERVICES_CHARSET_H

#include <stddef.h>

#include <string>
#include <vector>

enum ServerCharset {
  CHARSET_8BIT = 0,  // one byte, one character, shown as its Latin-1 glyph
  CHARSET_UTF8 = 1,
};

// The charset of the server's data for this run (CHARSET_8BIT until
// ChooseServerCharset's result is stored here at start-up).
extern ServerCharset server_charset;

// The environment variable that overrides the locale's choice.
#define CHARSET_VARIABLE "KORVID_CHARSET"

// The charset named by a codeset ("UTF-8", "utf8" in any case: UTF-8;
// anything else: 8-bit).
ServerCharset CharsetOfCodeset(const char *codeset);
// The codeset part of a locale name ("de_DE.UTF-8@euro" gives "UTF-8"), or ""
// when the name has none.
std::string CodesetOfLocaleName(const char *name);
// The run's charset: the override when it is set and not empty, else the
// codeset of the user's LC_CTYPE (locale_codeset, as the C library reports
// it, or null when the user's locale could not be loaded), else the codeset
// in the name the environment gives (LC_ALL, LC_CTYPE, LANG, first set).
ServerCharset ChooseServerCharset(const char *override_value, const char *locale_codeset,
                                  const char *locale_name);

// Start-up: sets server_charset from the user's locale and the override,
// then LC_CTYPE to an ISO 8859-1 locale for the toolkit's use (C.ISO-8859-1,
// made in a private directory under the user's cache when the system has
// none). 0, or -1 with a line on standard error when no such locale could be
// had. Call once, before fl_initialize.
int SetUpCharsets(void);

// Server text as the toolkit shows it, one byte per character. In UTF-8 a
// character Latin-1 cannot hold (and a C1 control, which draws as a box)
// becomes '?', and so does each byte of a broken sequence. 8-bit text is
// unchanged.
std::string ToToolkit(const char *text, ServerCharset charset);
std::string ToToolkit(const char *text);  // in server_charset; null gives ""
// Toolkit text in the server's charset: in UTF-8 each byte above 127 is
// encoded as its Latin-1 character.
std::string ToServer(const char *text, ServerCharset charset);
std::string ToServer(const char *text);  // in server_charset; null gives ""
// Whether the toolkit's text of a value gives the value back byte for byte.
bool ShownExactly(const char *text, ServerCharset charset);

// The number of characters of server text as the user sees them (the length
// of its toolkit text).
size_t ServerCharacters(const char *text, size_t bytes, ServerCharset charset);
// The number of bytes of the first `characters` characters of server text
// (all of it when it has fewer); a character is never split.
size_t ServerPrefixBytes(const char *text, size_t bytes, size_t characters,
                         ServerCharset charset);

// An edit of a value in an input that showed it inexactly. The toolkit text
// of a value loses what Latin-1 cannot hold ('?' stands for it) and what the
// input drops (tabs, newlines, C1 controls); writing back the toolkit's text
// whole would store those losses in parts the user never touched. So the
// edited text is matched against the shown one from both ends: the unchanged
// head and tail go back as the stored bytes, and only the span between them
// is taken from the edited text.
struct MergedEdit {
  std::string value;  // in the server's charset
  // Whether a stored character is not in value as it was: one that was not
  // shown exactly inside the replaced span (the user replaced a '?' or an
  // invisible tab), or a zero byte anywhere, which goes back as a blank
  // since no statement can carry it.
  bool lost;
};
// stored: the value as the server holds it (any bytes); shown: the input's
// text right after it was filled with ToToolkit(stored); edited: the input's
// text now. Shown text that is not the stored one less dropped characters
// gives the edited text whole, lost set when the stored value was inexact.
MergedEdit MergeEdit(const std::string &stored, const std::string &shown, const std::string &edited,
                     ServerCharset charset);

// The text an input holds after the toolkit was given this toolkit text: it
// keeps a character only when isprint() takes it in the program's LC_CTYPE
// (an ISO 8859-1 one), so newlines, tabs and C1 controls go. For the
// dialogs' inputs, whose text cannot be read back when they open.
std::string InputHolds(const std::string &text);

// Whether a key press with this keysym types a character that the toolkit's
// inputs drop: they take printable ISO 8859-1 bytes only, and a key standing
// for anything else (an en dash, a typographic quote, the euro sign, a
// Polish l with stroke) arrives as nothing. Function and modifier keys type
// no character and are not counted; a key without a symbol (0, NoSymbol)
// typed something unknown, and is.
bool KeysymDropped(unsigned long keysym);

// The number of bytes of the longest run of whole characters at the start of
// server text that fits in budget bytes.
size_t ServerCutBytes(const char *text, size_t bytes, size_t budget, ServerCharset charset);

#endif
