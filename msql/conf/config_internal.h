// Inner operations of the configuration reader, for the client library, the
// tests and the fuzz targets. Not part of the public interface.
#ifndef KORVID_MSQL_CONF_CONFIG_INTERNAL_H
#define KORVID_MSQL_CONF_CONFIG_INTERNAL_H

#include <cstdio>

// One line read takes at most CONF_LINE_SIZE - 1 characters; a longer line is
// handled as several lines, each counted.
#define CONF_LINE_SIZE 160
// A candidate path of the loader, terminator included; longer ones are skipped.
#define CONF_PATH_SIZE 160
// The current section name; a longer name is cut to CONF_SECTION_SIZE - 1.
#define CONF_SECTION_SIZE 80
// The result of a text lookup; a longer expansion is cut to 199 characters.
#define CONF_EXPAND_SIZE 200
// One error message before it is printed; longer ones are cut.
#define CONF_MESSAGE_SIZE 200

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
