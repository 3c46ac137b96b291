// Search by example: the patterns typed into a search form become a LIKE
// query, and the rows found are handed to a "Show Record" form that steps
// through them.
#include "app/services/charset.h"
#include "records/records.h"

void SearchForm(FL_OBJECT *, long data) {
  MainForm *mainform = reinterpret_cast<MainForm *>(data);
  if (CheckTableSelected(mainform) != 0) return;
  OpenRecordForm(MainTable(mainform), "Search Form (Wildcards % or _ )", REC_SEARCH);
}

void RecordSearch(FL_OBJECT *, long data) {
  RecordForm *search = RecordOf(data);
  Info *info = search->info;
  if (RefuseDroppedKeys(search)) return;
  // The patterns go out in the server's charset, so that "M\xfc%" typed in
  // Latin-1 finds what the server holds in UTF-8.
  std::vector<std::string> texts = InputTexts(search);
  std::vector<const char *> patterns = TextPointers(texts);

  // A pattern of a number field is a number, or holds % or _ and is then
  // matched against the value as text.
  if (RefuseNotANumber(info, patterns, {}, true)) return;
  char statement[STATEMENT_SIZE];
  if (SearchStatement(statement, sizeof statement, info, patterns) != 0) {
    RefuseLongStatement();
    return;
  }
  if (ExecuteQuery(info, statement) != 0) return;

  // The empty result of an earlier try is dropped for the new one.
  if (info->res != nullptr) msqlFreeResult(info->res);
  info->res = msqlStoreResult();
  if (info->res == nullptr) {
    // Not the same as nothing found: the rows could not be taken.
    ShowAlert("Cannot read the records found");
    return;
  }
  int found = msqlNumRows(info->res);
  LogMessage(info->mainform, "%d Records found", found);
  // A table made again with other fields: the form would read past its rows.
  if (CheckColumns(info, info->res) != 0) return;
  if (found == 0) {
    // The form stays for another try and keeps the empty result until the
    // next search or its Close.
    ShowMessage("No matching records found");
    return;
  }

  RecordForm *show = OpenRecordForm(info, "Show Record", REC_BROWSE + REC_NEXT);
  for (int i = 0; i < info->nfields; i++) {
    fl_deactivate_object(show->inputs[i]);
    fl_set_object_boxtype(show->inputs[i], FL_UP_BOX);
  }
  show->current = -1;
  show->info->res = info->res;
  info->res = nullptr;
  fl_call_object_callback(show->next);
  // Closing frees the search form: nothing of it may be touched afterwards.
  fl_call_object_callback(search->close);
}
