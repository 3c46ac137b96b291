// Inner operations of the configuration reader, for the client library, the
// tests and the fuzz targets. Not part of the public interface.
#ifndef KORVID_MSQL_CONF_CONFIG_INTERNAL_H
#define KORVID_MSQL_CONF_CONFIG_INTERNAL_H

#include <cstdio>

// The reader's buffer sizes (CONF_LINE_SIZE and the others) are in
// msql/limits.h.
#include "msql/limits.h"

// Set to 1 at the start of every load; the first connection loads while 0.
int msqlConfigLoaded(void);

// Stores one directive. -1 after reporting a missing value or an unknown
// pair; 0 otherwise, also after reporting a bad integer, which leaves the
// directive as it was (the reader goes on either way).
int msqlConfigSet(const char *section, const char *element, const char *value);

// The "%I" replacement into the shared expansion buffer; null in, null out.
const char *msqlConfigExpand(const char *text);

// Prints "\nConfig Error : %s at line %d\n" on standard error.
void msqlConfigError(const char *message);

// Reads an opened file line by line over the current table.
void msqlConfigReadStream(FILE *file);

// Back to the compiled-in defaults and the not-loaded state.
void msqlConfigReset(void);

// The first line of the last load, in the section named, that was longer
// than one read takes (and so was read as two lines); 0 when none was.
int msqlConfigCutLine(const char *section);

// For the tests: called with each pair that the table is asked for.
extern void (*msqlConfigLookupSeen)(const char *section, const char *element);

#endif
