// The application shell: the main window, the per-table Info record, and the
// services every window uses to talk to the user and the server. Start
// reading at main() in main.cc.
#ifndef KORVID_APP_H
#define KORVID_APP_H

#include <forms.h>

#include <string>

#include "msql/msql.h"

// Statements are built into buffers of this size; one that would not fit is
// refused with an alert, never sent cut.
#define STATEMENT_SIZE 2048

struct MainForm;

// One entry of a table's field list as the application keeps it. For every
// type but Character and Free text, length is 11.
struct InfoField {
  char *name;   // owned
  char *table;  // points at the holding Info's table
  int type;
  int length;
  unsigned int flags;
};

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

struct MainForm {
  FL_FORM *form;
  Info *info;
  FL_OBJECT *messages;
  FL_OBJECT *commands;
  FL_OBJECT *selection;
  FL_OBJECT *server;
  FL_OBJECT *table_choice;
  FL_OBJECT *database_choice;
  FL_OBJECT *records_count;
  FL_OBJECT *fields_count;
  FL_OBJECT *logo;
};

extern int sock;             // the current connection; negative after a failed connect
extern int no_record_count;  // set by -c: no record count is computed

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

// Main window and its services.
MainForm *CreateMainForm(void);
void LogMessage(MainForm *mainform, const char *format, ...)
    __attribute__((format(printf, 2, 3)));
void ShowAlert(const char *format, ...) __attribute__((format(printf, 1, 2)));
void ShowMessage(const char *format, ...) __attribute__((format(printf, 1, 2)));
// Logs and sends one statement on the database info was read from (see
// EnterDatabase). Returns 0, or -1 after an alert; *status, when given,
// receives what msqlQuery gave: the rows found, or the rows changed.
int ExecuteQuery(Info *info, const char *statement, int *status = nullptr);
int CheckTableSelected(MainForm *mainform);
void ExitProgram(FL_OBJECT *object, long data);
void ShowAbout(FL_OBJECT *object, long data);
void ServerInput(FL_OBJECT *object, long data);
void ChooseDatabase(FL_OBJECT *object, long data);
void ChooseTable(FL_OBJECT *object, long data);

// Server, database and table selection.
void ConnectServer(const char *host, MainForm *mainform);
// After a failed request: sets sock to -1 when the library closed it.
void ForgetLostConnection(void);
void OpenDatabase(const char *name, MainForm *mainform);
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
void SelectTable(const char *name, MainForm *mainform);
Info *ReadFieldList(const char *table, MainForm *mainform);
int FindPrimaryKey(Info *info);
int CountRecords(Info *info);
void ShowCounts(int fields, int records, MainForm *mainform);
void ResetChoice(FL_OBJECT *choice);
void FillDatabaseChoice(FL_OBJECT *choice);
void FillTableChoice(FL_OBJECT *choice);
// Appends an item whose text is exactly name (no '|' splitting); 0, or -1
// when the choice is full.
int AddChoiceItem(FL_OBJECT *choice, const char *name);
// Makes the item whose text is exactly name current; no change otherwise.
void SetChoiceText(FL_OBJECT *choice, const char *name);
Info *CopyInfo(const Info *info);
void FreeInfo(Info *info);
// Writes value as an SQL literal of the given type into buffer (size bytes);
// returns buffer, or null when the literal does not fit.
char *QuoteValue(char *buffer, size_t size, const char *value, int type);
// A table or field name as the statements write it: a plain word (a letter
// or underscore, then letters, digits and underscores) as it is, which is
// all an mSQL server ever sees; any other name, such as "Order Details", in
// double quotes with inner ones doubled, for servers over SQL databases.
std::string QuoteName(const char *name);

// Start-up.
void ParseArguments(int argc, char **argv, MainForm *mainform);
[[noreturn]] void Usage(const char *program);

// Field descriptions and the primary key (the "Field Info" window).
struct ListForm;
void FieldInfo(FL_OBJECT *object, long data);
void FillFieldDescriptions(ListForm *list, Info *info);
void SetPrimaryKey(FL_OBJECT *browser, long data);

#endif
