// Lookup of one record by its primary key, and the record form's changes to
// the table: UPDATE and DELETE from a Modify Record form, INSERT from an
// Insert Record form. Every change is confirmed by the user first.
#include <cstring>
#include <string>

#include "app/services/charset.h"
#include "records/records.h"

namespace {

// The key typed last; the default of the dialog next time.
std::string last_primary_key;

// Sends a change of one record; true when the server changed a row. None
// changed means the record was deleted or its key changed meanwhile, which
// must not read as success.
bool ChangeRecord(RecordForm *record, const char *statement) {
  int changed = 0;
  if (ExecuteQuery(record->info, statement, &changed) != 0) return false;
  if (changed > 0) return true;
  ShowAlert("No record was changed: it is no longer stored as it was found");
  return false;
}

// The question before a change: it names the database and table, since the
// window may belong to another one than the main window shows. A window
// whose server is gone asks nothing. The fields whose edit loses characters
// the input could not show (lossy, names joined by ", ") are named first.
bool Confirm(const RecordForm *record, const char *question, const char *preposition,
             const std::string &lossy = "") {
  if (CheckServer(record->info) != 0) return false;
  std::string text;
  if (!lossy.empty())
    text = "Characters that could not be shown are lost from the edited part of " + lossy + ".\n";
  text += question;
  text += ' ';
  text += preposition;
  text += ' ';
  text += InfoPlace(record->info);
  text += " ?";
  return dialogs.question(ToToolkit(text.c_str()).c_str(), 1) == 1;
}

// A Character value may take more bytes in the server's charset than the
// characters the input let the user type (UTF-8 takes two for a letter with
// an accent). Such a value is refused by name before anything is sent, since
// the field would not hold it. Returns whether one was.
bool RefuseTooLong(const Info *info, const std::vector<const char *> &values,
                   const std::vector<bool> &keep) {
  int i = TooLongField(info, values, keep);
  if (i < 0) return false;
  ShowMessage("The value of %s takes %zu bytes, more than the %d its field holds: nothing was sent",
              info->fields[i].name, strlen(values[i]), info->fields[i].length);
  return true;
}

}  // namespace

bool RefuseNotANumber(const Info *info, const std::vector<const char *> &values,
                      const std::vector<bool> &keep, bool patterns) {
  const char *fault = nullptr;
  int i = NotANumberField(info, values, keep, patterns, &fault);
  if (i < 0) return false;
  // Neither a server's error nor anything sent: no third line of the
  // server's last error, as ShowAlert would give.
  std::string text = std::string(patterns ? "The pattern for " : "The value of ") + info->fields[i].name +
                     " " + fault +
                     (patterns ? " (a pattern with % or _ is matched as text): nothing was sent"
                               : ": nothing was sent");
  dialogs.alert(ToToolkit(text.c_str()).c_str(), "", "", 1);
  return true;
}

namespace {

void RefuseUnwritableKey(void) {
  ShowAlert("The key of this record holds a zero byte, which no statement can carry: nothing was sent");
}

}  // namespace

void AskPrimaryKey(FL_OBJECT *, long data) {
  MainForm *mainform = reinterpret_cast<MainForm *>(data);
  if (CheckTableSelected(mainform) != 0) return;
  // The dialog shows and returns Latin-1; a default given back unchanged is
  // the key as it was, even where it showed a '?', and an edited one keeps
  // the stored characters of what the user did not change.
  std::string shown = ToToolkit(last_primary_key.c_str());
  const char *typed = dialogs.input("Enter Primary Key", shown.c_str());
  // A cancelled dialog looks up the previous key again.
  if (typed != nullptr && InputHolds(shown) != typed) {
    std::string cut(typed, strnlen(typed, LAST_KEY_MAX));
    last_primary_key = MergeEdit(last_primary_key, InputHolds(shown), cut, server_charset).value;
  }
  // The dialog's text is the toolkit's and goes with the next dialog; the
  // lookup works on a copy of its own.
  std::string key = last_primary_key;
  Info *info = MainTable(mainform);
  // A key typed for a number field must be a number: it is looked up bare.
  std::vector<const char *> values(info->nfields, nullptr);
  values[info->pkey] = key.c_str();
  if (RefuseNotANumber(info, values, {})) return;
  ModifyRecord(key.c_str(), info);
}

ResultHandle *FetchByKey(const char *key, Info *info) {
  char statement[STATEMENT_SIZE];
  if (LookupStatement(statement, sizeof statement, info, key) != 0) {
    RefuseLongStatement();
    return nullptr;
  }
  if (ExecuteQuery(info, statement) != 0) return nullptr;
  ResultHandle *result = msqlStoreResult();
  // A select always brings a result, if only an empty one: none means it
  // could not be taken, which is not the same as no record.
  if (result == nullptr) {
    ShowAlert("Cannot read the records found");
    return nullptr;
  }
  if (msqlNumRows(result) == 1) {
    if (CheckColumns(info, result) == 0) return result;
    msqlFreeResult(result);
    return nullptr;
  }
  ShowMessage("No (unique) record found");
  msqlFreeResult(result);
  return nullptr;
}

void ModifyRecord(const char *key, Info *info) {
  ResultHandle *result = FetchByKey(key, info);
  if (result == nullptr) return;
  char **row = msqlFetchRow(result);
  RecordForm *record = OpenRecordForm(info, "Modify Record", REC_MODIFY + REC_DELETE);
  if (row != nullptr) FillInputs(record, row, msqlFetchLengths(result));
  // The key input keeps the key under which the record was found.
  fl_deactivate_object(record->inputs[info->pkey]);
  msqlFreeResult(result);
  std::string inexact = InexactFields(record);
  if (!inexact.empty())
    ShowMessage("Not shown exactly, kept as stored unless edited: %s", inexact.c_str());
}

void RecordUpdate(FL_OBJECT *, long data) {
  RecordForm *record = RecordOf(data);
  char statement[STATEMENT_SIZE];
  if (RefuseDroppedKeys(record)) return;
  if (RecordKeyUnwritable(record)) {
    RefuseUnwritableKey();
    return;
  }
  // Fields the user did not edit go back as they were found, so that an
  // update never changes what the inputs could not show; those no statement
  // can carry are left out.
  std::vector<std::optional<std::string>> texts(record->info->nfields);
  std::vector<const char *> values(record->info->nfields);
  std::vector<bool> left_out(record->info->nfields);
  std::vector<bool> kept(record->info->nfields, false);
  int written = 0;
  for (int i = 0; i < record->info->nfields; i++) {
    texts[i] = RecordValue(record, i);
    values[i] = texts[i].has_value() ? texts[i]->c_str() : nullptr;
    left_out[i] = RecordLeftOut(record, i);
    kept[i] = !record->original.empty() && texts[i] == record->original[i];
    if (i != record->info->pkey && !left_out[i]) written++;
  }
  if (written == 0 && record->info->nfields > 1) {
    ShowMessage("Nothing to update: the fields left are kept as stored");
    return;
  }
  if (RefuseTooLong(record->info, values, kept)) return;
  if (RefuseNotANumber(record->info, values, kept)) return;
  std::string key = RecordKey(record);
  if (UpdateStatement(statement, sizeof statement, record->info, values, key.c_str(), left_out) != 0) {
    RefuseLongStatement();
    return;
  }
  if (!Confirm(record, "Update this record", "in", LossyEdits(record))) return;
  if (ChangeRecord(record, statement)) LogMessage(record->info->mainform, "Record updated");
}

void RecordDelete(FL_OBJECT *, long data) {
  RecordForm *record = RecordOf(data);
  char statement[STATEMENT_SIZE];
  if (RecordKeyUnwritable(record)) {
    RefuseUnwritableKey();
    return;
  }
  std::string key = RecordKey(record);
  if (DeleteStatement(statement, sizeof statement, record->info, key.c_str()) != 0) {
    RefuseLongStatement();
    return;
  }
  if (!Confirm(record, "Delete this record", "from")) return;
  if (!ChangeRecord(record, statement)) return;
  LogMessage(record->info->mainform, "Record deleted");
  // Closing frees the record: nothing of it may be touched afterwards.
  fl_call_object_callback(record->close);
}

void InsertForm(FL_OBJECT *, long data) {
  MainForm *mainform = reinterpret_cast<MainForm *>(data);
  if (CheckTableSelected(mainform) != 0) return;
  OpenRecordForm(MainTable(mainform), "Insert Record", REC_INSERT);
}

// The form stays open with its inputs as they are, so that further records
// can be entered.
void RecordInsert(FL_OBJECT *, long data) {
  RecordForm *record = RecordOf(data);
  char statement[STATEMENT_SIZE];
  if (RefuseDroppedKeys(record)) return;
  std::vector<std::string> texts = InputTexts(record);
  std::vector<const char *> values = TextPointers(texts);
  if (RefuseTooLong(record->info, values, {})) return;
  if (RefuseNotANumber(record->info, values, {})) return;
  if (InsertStatement(statement, sizeof statement, record->info, values) != 0) {
    RefuseLongStatement();
    return;
  }
  if (!Confirm(record, "Insert this record", "into")) return;
  if (ExecuteQuery(record->info, statement) == 0)
    LogMessage(record->info->mainform, "Record inserted");
}
