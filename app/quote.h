// How a field value is written into SQL text. No toolkit here: the fuzzers
// and the round-trip tests use it as the windows do.
#ifndef KORVID_APP_QUOTE_H
#define KORVID_APP_QUOTE_H

#include <cstddef>
#include <string>

// Writes value as an SQL literal of the given type (a protocol type code)
// into buffer (size bytes); returns buffer, or null when the literal does
// not fit.
char *QuoteValue(char *buffer, size_t size, const char *value, int type);
// A table or field name as the statements write it: a plain word (a letter
// or underscore, then letters, digits and underscores) as it is, which is
// all an mSQL server ever sees; any other name, such as "Order Details", in
// double quotes with inner ones doubled, for servers over SQL databases.
std::string QuoteName(const char *name);

#endif
