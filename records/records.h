// The record form: one window per table copy, built at run time from the
// field list, used to modify, delete, insert, search and browse records.
#ifndef KORVID_RECORDS_H
#define KORVID_RECORDS_H

#include <optional>
#include <string>
#include <vector>

#include "app/services/services.h"

#define REC_MODIFY 1
#define REC_SEARCH 2
#define REC_INSERT 4
#define REC_DELETE 8
#define REC_NEXT 16
#define REC_BROWSE 32

struct RecordForm {
  FL_FORM *form;
  FL_OBJECT *title;
  FL_OBJECT *close;
  FL_OBJECT *previous;  // only with REC_BROWSE
  FL_OBJECT *next;      // only with REC_NEXT
  FL_OBJECT **inputs;   // nfields inputs, owned
  // When the window would be taller than the screen: the scroll bar that
  // chooses the first of the `rows` inputs shown (the others are hidden).
  // Else null, and rows is nfields.
  FL_OBJECT *scroller;
  int rows;
  Info *info;           // own copy; info->res is the shown result set
  int current;          // row shown in show mode
  // The values of the row the inputs were last filled from (nullopt for
  // NULL), in the server's charset; empty while the form was never filled
  // from a row. An input shows a value in Latin-1 and drops characters it
  // cannot show, so the text of an input is not always the value the server
  // holds: a change must name its record by the key as found, not as shown.
  std::vector<std::optional<std::string>> original;
  // The text each input held right after that fill. An input whose text is
  // still this one was not edited, and its field is written back as
  // `original` (NULL included), never as the toolkit's rendering of it.
  std::vector<std::string> shown;
  // Per input, whether a key was pressed in it that types a character the
  // input drops (an en dash, a typographic quote): the change it is part of
  // is refused once, by name, so that nothing is lost without a word.
  std::vector<bool> dropped;
};

RecordForm *CreateRecordForm(void);
RecordForm *OpenRecordForm(Info *info, const char *title, int mode);
void RecordClose(FL_OBJECT *object, long data);
void RecordPrevious(FL_OBJECT *object, long data);
void RecordNext(FL_OBJECT *object, long data);
void RecordChange(FL_OBJECT *object, long data);

// Lookup by key, update, delete, insert.
void AskPrimaryKey(FL_OBJECT *object, long data);
ResultHandle *FetchByKey(const char *key, Info *info);
void ModifyRecord(const char *key, Info *info);
void RecordUpdate(FL_OBJECT *object, long data);
void RecordDelete(FL_OBJECT *object, long data);
void InsertForm(FL_OBJECT *object, long data);
void RecordInsert(FL_OBJECT *object, long data);

// Search by example.
void SearchForm(FL_OBJECT *object, long data);
void RecordSearch(FL_OBJECT *object, long data);

// The form a callback's data stands for.
RecordForm *RecordOf(long data);
// The texts of the form's inputs in field order, in the server's charset.
std::vector<std::string> InputTexts(const RecordForm *record);
// Pointers into texts, for the statement builders; they last as long as
// texts does.
std::vector<const char *> TextPointers(const std::vector<std::string> &texts);

// Filling the inputs from a row of the table: a NULL value leaves its input
// as it was. Every form filled from a row goes through here, and it keeps
// the row's values in `original`, whole: with `lengths` (the library's byte
// counts, may be null) a value may hold zero bytes, which the input shows
// as blanks.
void FillInputs(RecordForm *record, char **row, const int *lengths = nullptr);
// The key of the record a Modify Record form shows, in the server's charset:
// as it was found when the form was filled from a row, else the key input's
// text.
std::string RecordKey(const RecordForm *record);
// The value a Modify Record form writes for data field i, in the server's
// charset: the value as found while the input still shows what it was filled
// with, else the input's text. nullopt is SQL NULL.
std::optional<std::string> RecordValue(const RecordForm *record, int i);
// The names of the fields whose edit loses stored characters the input could
// not show (a '?' or an invisible tab inside the replaced span), joined by
// ", "; the question before the change names them.
std::string LossyEdits(const RecordForm *record);
// Refuses a change with an alert naming the fields into which a character
// was typed that the input dropped, and forgets them: the user has seen the
// field, and a second try sends what it shows. Returns whether it refused.
bool RefuseDroppedKeys(RecordForm *record);
// Whether data field i is left out of a Modify Record form's UPDATE: its
// input still shows what it was filled with, and the value as found is not
// text (it holds a zero byte, which no statement can carry, or other control
// bytes). Written back, it would be cut, or stored as text.
bool RecordLeftOut(const RecordForm *record, int i);
// Whether the key as found holds a zero byte: the record cannot be named.
bool RecordKeyUnwritable(const RecordForm *record);
// The names of the fields whose values the inputs cannot show exactly (the
// toolkit drops tabs, newlines and C1 controls; characters Latin-1 cannot
// hold show as '?'), joined by ", ".
std::string InexactFields(const RecordForm *record);
// The first field of a CHAR type whose value (in values, server text, null
// for NULL) takes more bytes than the field's length, or -1. A value for
// which keep[i] is set is not checked: it goes back as it was stored.
int TooLongField(const Info *info, const std::vector<const char *> &values,
                 const std::vector<bool> &keep);

// The first field of a number type (int, uint, real, money) whose value (in
// values, server text, null for NULL) is neither blank (NULL) nor a number
// of its type as ReadNumber reads it, or -1; *fault (when given) then says
// what is wrong. A value for which keep[i] is set is not checked: it goes
// back as it was stored. With patterns set the values are search patterns,
// and one holding % or _ is matched as text, so it is not checked either.
int NotANumberField(const Info *info, const std::vector<const char *> &values,
                    const std::vector<bool> &keep, bool patterns = false,
                    const char **fault = nullptr);
// The alert for such a field ("The value of age is not an integer: nothing
// was sent"); the check and the alert together, true when one was shown.
bool RefuseNotANumber(const Info *info, const std::vector<const char *> &values,
                      const std::vector<bool> &keep, bool patterns = false);

// The statements of the record forms, written into statement (size bytes;
// the forms use STATEMENT_SIZE). values holds one text per data field, in
// field order; a null pointer stands for SQL NULL. Each returns 0, or -1 with
// an empty buffer when the statement would not fit.
int LookupStatement(char *statement, size_t size, const Info *info, const char *key);
// The key field's value in values is not written: the record is named by
// key; nor is any field i with left_out[i] set (left_out may be empty).
int UpdateStatement(char *statement, size_t size, const Info *info,
                    const std::vector<const char *> &values, const char *key,
                    const std::vector<bool> &left_out = {});
int DeleteStatement(char *statement, size_t size, const Info *info, const char *key);
int InsertStatement(char *statement, size_t size, const Info *info,
                    const std::vector<const char *> &values);
// Empty texts and nulls take no part in the search, nor do blanks in a
// number field.
int SearchStatement(char *statement, size_t size, const Info *info,
                    const std::vector<const char *> &values);

#endif
