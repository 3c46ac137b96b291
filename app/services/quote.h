// How a field value is written into SQL text. No toolkit here: the fuzzers
// and the round-trip tests use it as the windows do.
#ifndef KORVID_APP_SERVICES_QUOTE_H
#define KORVID_APP_SERVICES_QUOTE_H

#include <cstddef>
#include <string>

// Writes value as an SQL literal of the given type (a protocol type code)
// into buffer (size bytes); returns buffer, or null when the literal does
// not fit. A value of a number type (int, uint, real, money) goes out bare
// only as ReadNumber writes it; an empty or blank one is NULL, and any other
// text is written quoted, as a text the server may refuse or match as text
// (a LIKE pattern such as 4_), but never read as SQL.
char *QuoteValue(char *buffer, size_t size, const char *value, int type);

// Whether type is one of the number types: int, uint, real or money.
bool IsNumberType(int type);
// Whether text is empty or holds only blanks (spaces and tabs): a number
// field's NULL.
bool IsBlankText(const char *text);
// Reads text as a number of a number type. Blanks around it are allowed;
// inside, only:
//   int    an optional sign and decimal digits, within a 64-bit integer
//   uint   the same without a minus sign, from 0 up to the same limit
//   real   an optional sign, digits with at most one decimal point (at
//          least one digit: 1, 1.5, .5 and 1. are numbers), an optional
//          exponent (e or E, an optional sign, digits); not so large that
//          a double cannot hold it
//   money  an optional sign, digits and at most two decimals after a point,
//          no exponent; at most 13 digits before the point
// Returns null and sets *literal (when given) to the number as the
// statements write it, without the blanks and a plus sign; otherwise the
// fault, worded to follow the field's name ("is not an integer").
const char *ReadNumber(const char *text, int type, std::string *literal = nullptr);
// A table or field name as the statements write it: a plain word (a letter
// or underscore, then letters, digits and underscores) as it is, which is
// all an mSQL server ever sees; any other name, such as "Order Details", in
// double quotes with inner ones doubled, for servers over SQL databases.
std::string QuoteName(const char *name);

#endif
