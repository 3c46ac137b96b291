// Reader of the database server's msql.conf: a compiled-in table of every
// directive with its default, a loader that overwrites the defaults once, and
// lookups by section and element. "%I" in a text stands for the install dir.
#ifndef KORVID_MSQL_CONF_CONFIG_H
#define KORVID_MSQL_CONF_CONFIG_H

#define CONF_INT 1
#define CONF_TEXT 2

// Compiled-in installation directory: the default of inst_dir and the one
// place where the loader looks for a named or the default file.
#define MSQL_INST_DIR "/usr/local/Vantrel"

extern "C" {

// Loads a file over the defaults: with a name, INST_DIR/name, INST_DIR/name.conf
// or the name itself; without one, INST_DIR/msql.conf or $MSQL_CONF_FILE.
// 0 when a file was read, -1 when none could be opened.
int msqlConfigLoad(const char *file);

// The integer of a directive; -1 for an unknown pair.
int msqlConfigGetInt(const char *section, const char *element);

// The expanded text of a directive, in a buffer that the next text lookup
// overwrites; null for an unknown pair or a valueless nullable directive.
const char *msqlConfigGetString(const char *section, const char *element);

}  // extern "C"

#endif
