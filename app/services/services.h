// What every window of the application stands on: the per-table Info
// record, the one connection and the database each window sends on, the
// modal dialogs, the message list and the query executor. The record forms
// and list windows include this; only app/ includes the main window's own
// header (app/mainform.h), and nothing in app/services/ includes a window's.
#ifndef KORVID_APP_SERVICES_SERVICES_H
#define KORVID_APP_SERVICES_SERVICES_H

#include <forms.h>

#include <map>
#include <string>
#include <vector>

#include "app/services/quote.h"
#include "msql/msql.h"

// Statements are built into buffers of STATEMENT_SIZE, and shown cut to
// SHOWN_STATEMENT_SIZE (msql/limits.h, with every other fixed size).

// The main window's record (app/mainform.h). Windows are handed it by the main
// window's buttons and pass it on; they reach its table through MainTable.
struct MainForm;

// One entry of a table's field list as the application keeps it. For every
// type but Character and Free text, length is INFO_FIXED_LENGTH, 11
// (InfoFieldLength).
struct InfoField {
  char *name;   // owned
  char *table;  // points at the holding Info's table
  int type;
  int length;
  unsigned int flags;
};

// The length a field list entry is kept with: the server's for Character
// and Free text; INFO_FIXED_LENGTH for every other type.
int InfoFieldLength(const FieldListEntry *entry);

// The per-table state; every window works on its own deep copy (CopyInfo).
struct Info {
  char *table;  // owned; empty for the result of a free query
  int nfields;  // data fields: the entries before the first index entry
  int nentries;  // data fields, then one entry per index
  int pkey;      // 0-based position of the primary key among the data fields
  InfoField *fields;  // nentries descriptors, owned
  MainForm *mainform;  // not owned
  ResultHandle *res;   // the holding window's result; freed by that window
  // Where the table was read from: the server as ConnectServer was given it
  // ("" for the local one) and the database. Owned; both null for the result
  // of a free query, whose window sends nothing.
  char *server;
  char *database;
};

// What ends a text cut to fit its place on screen, in Latin-1: "»". Only
// shown, never written to the server or a file.
#define CUT_MARK "\xbb"

// The current server: the one connection every request of the
// application goes through, and what is known of it. ConnectServer replaces
// the connection; the main window's selection keeps the rest told
// (NoteServer, NoteDatabase, and the choices' names).
struct CurrentServer {
  int sock;  // the connection; negative after a failed connect
  // The server ConnectServer was given ("" for the local one), the database
  // selected on the connection now, and the database the main window's
  // choice stands for ("" for "None selected"). Windows borrow the
  // connection for their own database and give it back to main_database.
  std::string server;
  std::string database;
  std::string main_database;
  // The server's name behind each item of the main window's database and
  // table choices, item 1 first. An item shows its name in Latin-1, with '?'
  // for what Latin-1 cannot hold, and that cannot be turned back into the
  // name.
  std::map<const FL_OBJECT *, std::vector<std::string>> choice_names;
};
extern CurrentServer current_server;
// The windows' name for current_server.sock.
extern int &sock;
extern int no_record_count;  // set by -c: no record count is computed
// Most rows a list window takes (-m or KORVID_MAX_ROWS); 0, the default,
// takes every row. A list cut there says so in its title.
extern int row_ceiling;

// The toolkit's modal dialogs, called through this table so that tests can
// answer them. It starts out pointing at the toolkit's own functions.
struct DialogSeam {
  int (*question)(const char *text, int default_answer);
  void (*alert)(const char *title, const char *line2, const char *line3, int centered);
  void (*message)(const char *line1, const char *line2, const char *line3);
  const char *(*input)(const char *prompt, const char *default_text);
  int (*choices)(const char *text, int count, const char *b1, const char *b2,
                 const char *b3, int default_button);
  const char *(*fselector)(const char *prompt, const char *dir, const char *pattern,
                           const char *default_file);
};
extern DialogSeam dialogs;

// Where windows open and how they stay in sight (windows.cc). The main
// window is noted when it is built and put into its own window group once
// shown; every other window is placed beside it (PlaceBesideMainWindow
// sets the form's position and returns the placement for fl_show_form),
// brought to the front with the keyboard once shown, and every dialog is
// kept above all the application's windows (BeforeDialog, called right
// before the toolkit shows one).
void NoteMainWindow(FL_FORM *form);
void GroupWithMainWindow(void);
int PlaceBesideMainWindow(FL_FORM *form);
void BringToFront(FL_FORM *form);
void BeforeDialog(void);

// Talking to the user: a line in the main window's message list, an alert
// (with msqlErrMsg as its last line), a message.
void LogMessage(MainForm *mainform, const char *format, ...)
    __attribute__((format(printf, 2, 3)));
void ShowAlert(const char *format, ...) __attribute__((format(printf, 1, 2)));
void ShowMessage(const char *format, ...) __attribute__((format(printf, 1, 2)));

// The main window's current table, or null; CheckTableSelected says
// "Select a table first !" and returns -1 when there is none. The main
// window answers both (mainWindowCalls below).
Info *MainTable(const MainForm *mainform);
int CheckTableSelected(MainForm *mainform);

// What the services ask of the main window, which fills this in when it is
// made: the services stand under the windows and reach up only through
// here. Unset (no main window), a logged line goes nowhere and no table is
// the main window's.
struct MainWindowCalls {
  void (*log)(MainForm *mainform, const char *text);  // a line for its message list
  Info *(*table)(const MainForm *mainform);            // MainTable
  int (*check)(MainForm *mainform);                     // CheckTableSelected
};
extern MainWindowCalls mainWindowCalls;

// Logs and sends one statement on the database info was read from (see
// EnterDatabase). Returns 0, or -1 after an alert; *status, when given,
// receives what msqlQuery gave: the rows found, or the rows changed.
int ExecuteQuery(Info *info, const char *statement, int *status = nullptr);
// As ExecuteQuery, but the rows found are counted as they arrive and not
// kept: *count receives their number (or the status of a statement without
// rows).
int ExecuteCount(Info *info, const char *statement, int *count);
// The alert for a statement that would not fit its buffer: nothing is sent.
void RefuseLongStatement(void);

// After a failed request: sets sock to -1 when the library closed it.
void ForgetLostConnection(void);
// Closes the connection and makes it again to the same server, on the same
// database, as after a reply that was given up: the main window's choices
// stay true. 0, or -1 after an alert (sock is negative then).
int ConnectAgain(void);
// What the connection is on, as the main window's selection keeps it told:
// NoteServer after each connect (no database selected then), NoteDatabase
// after the main window selected one ("" for none, which selects nothing).
void NoteServer(const char *server);
void NoteDatabase(const char *database);
// Windows outlive the main window's choices, and every request goes through
// the one connection. Before a window sends, EnterDatabase brings the
// connection to info's database; LeaveDatabase then brings it back to the
// main window's, so that its choices stay true. EnterDatabase returns 0, or
// -1 after an alert when info's server is not the one connected (or none
// is): nothing may be sent then. An Info without a database (a free query's)
// goes wherever the connection is.
int EnterDatabase(const Info *info);
// Only the server part of EnterDatabase, for a window to refuse before it
// asks its question.
int CheckServer(const Info *info);
void LeaveDatabase(void);
// The "db.table" that the questions before a change name; just the table
// for an Info without a database.
std::string InfoPlace(const Info *info);

// Whether a result set has exactly the data fields of info, so that its
// rows can be read field by field: 0, or -1 after an alert that the table
// has changed (dropped and made again, say) and must be chosen again. Every
// window checks a result so before it reads a row of it.
int CheckColumns(const Info *info, ResultHandle *res);
// The columns of a result's rows: one per field description, or, for a
// reply given up before its field descriptions came (its rows alone), as
// many as its rows have. 0 for none. Inline: the list text is built and
// tested without the rest of the services.
inline int ResultColumns(const ResultHandle *res) {
  if (res == nullptr) return 0;
  if (res->numFields > 0 || res->queryData == nullptr) return res->numFields;
  return res->queryData->columnCount;
}

// Info records: a deep copy, its release, and the allocations they are made
// of (which end the program after an alert when memory runs out).
Info *CopyInfo(const Info *info);
void FreeInfo(Info *info);
void *InfoAllocate(size_t count, size_t size);
char *InfoText(const char *text);

#endif
