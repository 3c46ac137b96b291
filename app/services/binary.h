// Values that are not text: told apart from text, and described in a few
// characters where a window would show them. No toolkit here.
#ifndef KORVID_APP_SERVICES_BINARY_H
#define KORVID_APP_SERVICES_BINARY_H

#include <stddef.h>

#include <string>

// Whether a value of `bytes` bytes is not text: it holds a zero byte or a
// control byte other than tab, newline and carriage return. Text in the
// server's charset holds none; compressed or binary data nearly always does.
bool IsBinaryValue(const char *value, size_t bytes);

// What a window shows for such a value: its size and its first bytes in hex,
// "(binary, 1234 bytes: 78 9c 01 ff 00 61 62 63 ...)"; with `not_editable`
// it also says that it cannot be edited as text. Plain ASCII.
std::string BinaryDescription(const char *value, size_t bytes, bool not_editable = false);

#endif
