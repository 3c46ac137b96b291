// Result views: the record list window ("Shower") and the free SQL query.
#ifndef KORVID_VIEWS_H
#define KORVID_VIEWS_H

#include <stdio.h>

#include <string>
#include <vector>

#include "app/services/services.h"

#define SHOW_FREE 0
#define SHOW_ALL 1
#define SHOW_FIELDS 2

struct ListForm {
  FL_FORM *form;
  Info *info;     // own copy; info->res holds the listed result set
  Info *origin;   // the caller's Info, in SHOW_FIELDS only; null once detached
  FL_OBJECT *title;
  FL_OBJECT *fontsize;
  FL_OBJECT *browser;
  FL_OBJECT *modify;
  // While rows arrive (FetchList): the Stop button, shown only then, what
  // the user asked of the fetch, the title the progress is told in, and
  // whether Modify answers once the rows are in.
  FL_OBJECT *stop;
  bool fetching;
  bool stop_asked;
  bool close_asked;
  std::string heading;
  bool modify_active;
};

ListForm *CreateShower(void);
ListForm *OpenShower(Info *info, const char *title, int mode);
// Adds the row's line (RecordLine) to the list; a value longer than its
// column ends there in CUT_MARK, in the last place of the column.
void AddRecordLine(Info *info, FL_OBJECT *browser, char **row, const int *lengths = nullptr);
void PadSpaces(std::string &text, int count);
void ShowerClose(FL_OBJECT *object, long data);
void ShowerPrint(FL_OBJECT *object, long data);
void ShowerWriteFile(FL_OBJECT *object, long data);
void ShowerFontSize(FL_OBJECT *object, long data);
void ShowerModify(FL_OBJECT *object, long data);
void ShowAllRecords(FL_OBJECT *object, long data);

// Adds one line per row of list->info->res still to be fetched, with drawing
// suspended once around the whole fill. A row that cannot be fetched stops
// the fill with the alert "Error reading record !"; the lines so far stay.
void FillRecordLines(ListForm *list);

// A list window's rows read as they arrive (Show All, the free query).
struct ListFetch {
  ListForm *list;  // the window; null until `open` makes it
  // Makes the window once the reply has columns, for an opener that waits
  // for them (the free query, whose statement may bring no rows); null
  // when the window is there first.
  ListForm *(*open)(ListFetch *fetch);
  void *data;       // the opener's own
  int expected;     // the rows expected, 0 when not known
  bool lines;       // lines added as the rows arrive; else once they are all read
  long stopped_at;  // when the stop was first seen (ms), 0 before
  bool closing;     // the watcher asked for the reply to be given up
  bool given_up;    // the reply was given up and the connection made again
  // The rows whose lines wait for the next drawing (lines only): the first
  // and their number, and when the list may be drawn next (in seconds).
  const QueryDataRow *waiting;
  int waiting_count;
  double next_draw;
};
// Sends the statement as ExecuteQuery does and reads its rows as they
// arrive, the other windows taking no input meanwhile: the window's title
// tells the progress and Stop, Escape or the window's close stop the
// fetch, the rest of the reply being read and dropped. A server that does
// not finish its reply after a stop is given up: the connection is closed
// and made again, which the message list says (given_up, and -1). The rows
// kept wait for msqlStoreResult. ExecuteQuery's result.
int FetchList(ListFetch *fetch, Info *info, const char *statement);
// The list's heading with what it holds when that is not the whole reply:
// "(first N of M rows, stopped)", "(first N of M rows, row limit)", or,
// after a reply given up, "(first N rows, stopped)".
std::string PartialHeading(const ListForm *list, int kept, const ListFetch *fetch);

// The main window calls this before it frees an Info, so that field-description
// windows pointing at it let go of it.
void DetachFieldWindows(const Info *origin);
// The field-descriptions window: its lines from info, and its double-click,
// which makes the clicked data field the primary key of the window's origin.
void FillFieldDescriptions(ListForm *list, Info *info);
void SetPrimaryKey(FL_OBJECT *browser, long data);

// Free SQL query.
void FreeQuery(FL_OBJECT *object, long data);

// The query store keeps the last free statement for the whole run and is the
// typing dialog's default text. It holds at most STATEMENT_SIZE - 1 bytes,
// as long a statement as one request carries, as the forms' statements do;
// a longer statement is cut there and the user is asked before it is sent.
const char *QueryStore(void);

// ---- The text of the lists, kept apart from the widgets ----------------------

// One row as one fixed-width line, in the server's charset: per data field a
// column of the field's length in characters followed by two blanks; a value
// is cut to its column or padded with blanks, NULL is blanks only. Control
// characters become blanks, since the list would split a line at a newline
// and widen a tab.
std::string RecordLine(const Info *info, char *const *row, const int *lengths = nullptr);

// The field-descriptions list: its header and the line of entry i, which
// carries the browser's colour prefix ("@C1" red for the primary key, "@C0"
// black otherwise). FieldTypeName gives null for an unknown type code.
const char *FieldTypeName(int type);
std::string FieldDescriptionHeader(void);
std::string FieldDescriptionLine(const Info *info, int i);

// Reads one statement from a file into store (size bytes): at most size - 1
// bytes from the start, one trailing newline of those dropped, zero-ended.
// *cut is set when the file holds more than that (a single newline right
// after the bytes read does not count). Returns the statement's length.
size_t ReadQueryFile(FILE *file, char *store, size_t size, bool *cut);

// Writes each line followed by a newline; 0, or -1 when a write or the
// final flush failed. The file is not closed.
int WriteLines(FILE *file, const std::vector<std::string> &lines);

// Whether a file name asks for CSV: it ends in ".csv", in any case.
bool IsCsvName(const char *path);

// Writes a result set as CSV (RFC 4180): a header of the field names, then
// every row with its values whole. A field holding a comma, a quote, CR or
// LF is quoted with its quotes doubled; NULL is an empty unquoted field and
// an empty text is "". Lines end in CRLF. The result is walked with its own
// cursors, which are left at its end: whoever reads a row of it afterwards
// seeks first, as Modify does. A result without field descriptions (a
// reply given up before they came) takes its header from info's data
// fields. 0, or -1 when a write or the final flush failed.
int WriteCsv(FILE *file, ResultHandle *res, const Info *info = nullptr);

// All lines of a list as they are stored (with any format prefix), in Latin-1.
std::vector<std::string> BrowserLines(FL_OBJECT *browser);

// The lines of a list in the server's charset, as Print and Write To File
// give them: a record list's rows made again from its result set (whose row
// cursor is left past the last row read, as WriteCsv leaves it), the field
// descriptions from the Info they show, any other list's lines converted
// back (a '?' shown for a character Latin-1 cannot hold stays a '?').
std::vector<std::string> ServerLines(const ListForm *list);

#endif
