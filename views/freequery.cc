// The free SQL query: one statement, typed or read from a *.sql file, sent
// as it is; its rows, if any, open a "Show Free Query" list window.
#include <string.h>

#include "app/services/charset.h"
#include "views/views.h"

// The last statement, typed or read, for the whole run; it is the typing
// dialog's default text the next time.
static char query_store[STATEMENT_SIZE] = "SELECT ";

const char *QueryStore(void) { return query_store; }

// Fills the store from the user's choice. Returns 0 when there is a
// statement to send, -1 when the user gave none; *cut tells whether the
// statement had to be cut to fit the store.
static int EnterQuery(bool *cut) {
  *cut = false;
  int choice = dialogs.choices("Choose how to enter your query :", 3, "Manual", "Read file",
                               "Cancel", 1);
  if (choice == 1) {
    // Shown in Latin-1; given back unchanged, the store is sent as it is,
    // characters shown as '?' and the line breaks the input drops included.
    // Edited, what the user did not change keeps the stored characters.
    std::string shown = ToToolkit(query_store);
    const char *text = dialogs.input("Enter SQL Select statement :", shown.c_str());
    if (text == nullptr || text[0] == '\0') return -1;
    std::string held = InputHolds(shown);
    if (held == text) return 0;
    MergedEdit merged = MergeEdit(query_store, held, text, server_charset);
    if (merged.lost &&
        dialogs.question("Characters that could not be shown are lost from the edited part of the statement.\n"
                         "Send it ?",
                         0) != 1)
      return -1;
    std::string statement = merged.value;
    size_t length = statement.size();
    if (length > sizeof query_store - 1) {
      // Cut at a whole character: the statement goes out in the server's charset.
      length = ServerCutBytes(statement.c_str(), length, sizeof query_store - 1, server_charset);
      *cut = true;
    }
    memcpy(query_store, statement.data(), length);
    query_store[length] = '\0';
    return 0;
  }
  if (choice == 2) {
    const char *chosen = dialogs.fselector("Set Inputfile", "", "*.sql", "");
    if (chosen == nullptr) return -1;
    std::string path = ToServer(chosen);
    FILE *file = fopen(path.c_str(), "r");
    if (file == nullptr) {
      ShowMessage("Can't open input file");
      return -1;
    }
    ReadQueryFile(file, query_store, sizeof query_store, cut);
    fclose(file);
    return 0;
  }
  return -1;
}

namespace {

// The selection notice, shown before every free query's window, then the
// window for info.
ListForm *OpenFreeList(Info *info) {
  ShowMessage("Selection of records is disabled as it can have \n"
              "unpredictable side effects with free queries !");
  ListForm *list = OpenShower(info, "Show Free Query", SHOW_FREE);
  list->heading = "Show Free Query";
  return list;
}

// The window of a free query opens once its reply has columns: a statement
// without rows opens none. Its Info has no fields yet. The notice is
// modal, and the other windows were taken out of input for the fetch: they
// take it back while it is shown.
ListForm *OpenWhileFetching(ListFetch *fetch) {
  fl_activate_all_forms();
  ListForm *list = OpenFreeList(static_cast<Info *>(fetch->data));
  fl_deactivate_all_forms();
  return list;
}

// The result's own field list describes the columns. The names are
// borrowed from the result, which outlives the Info; the window copies them
// (CopyInfo).
std::vector<InfoField> ResultFields(ResultHandle *res, Info *info) {
  std::vector<InfoField> fields(msqlNumFields(res) > 0 ? static_cast<size_t>(msqlNumFields(res)) : 0);
  int count = 0;
  for (InfoField &field : fields) {
    FieldListEntry *entry = msqlFetchField(res);
    if (entry == nullptr) break;
    field.name = entry->name;
    field.table = info->table;
    field.type = entry->type;
    field.length = InfoFieldLength(entry);
    field.flags = entry->flags;
    count++;
  }
  fields.resize(static_cast<size_t>(count));
  return fields;
}

}  // namespace

void FreeQuery(FL_OBJECT *, long data) {
  MainForm *mainform = reinterpret_cast<MainForm *>(data);
  bool cut;
  if (EnterQuery(&cut) != 0) return;
  // A cut statement is not the one the user wrote: a DELETE may have lost
  // its WHERE. It goes out only when the user agrees.
  const std::string most = std::to_string(STATEMENT_SIZE - 1);
  if (cut && dialogs.question(("The statement is longer than " + most + " characters and has been cut.\n"
                               "Send its first " + most + " characters ?").c_str(),
                              0) != 1)
    return;

  // Rows of an earlier query that nobody stored would otherwise be taken
  // below for the result of a statement that has none.
  if (ResultHandle *stale = msqlStoreResult()) msqlFreeResult(stale);

  char no_table[1] = "";
  Info temp = {};
  temp.table = no_table;
  temp.mainform = mainform;
  // The rows are counted in the window's title as they arrive; their lines
  // are made once the field descriptions, which come after the rows, say
  // how wide each column is.
  ListFetch fetch = {};
  fetch.open = OpenWhileFetching;
  fetch.data = &temp;
  int failed = FetchList(&fetch, &temp, query_store);
  ListForm *list = fetch.list;
  ResultHandle *res = failed == 0 || fetch.given_up ? msqlStoreResult() : nullptr;
  if (fetch.given_up && list != nullptr && !list->close_asked) {
    // The rows read cannot be laid out without the descriptions that never
    // came: the window goes, and the message list says why it is empty.
    LogMessage(mainform, "The %d rows read were not shown: their field descriptions had not come", msqlNumRows(res));
  }
  if (failed != 0 || (list != nullptr && list->close_asked)) {
    msqlFreeResult(res);
    if (list != nullptr) ShowerClose(nullptr, reinterpret_cast<long>(list));
    return;
  }
  if (res == nullptr) {
    // Executed, and nothing to show; a window opened for rows that were
    // then lost goes too.
    if (list != nullptr) ShowerClose(nullptr, reinterpret_cast<long>(list));
    return;
  }
  std::vector<InfoField> fields = ResultFields(res, &temp);
  temp.nfields = temp.nentries = static_cast<int>(fields.size());
  temp.fields = fields.data();
  if (list == nullptr) {
    list = OpenFreeList(&temp);
  } else {
    // The window was opened before the columns were described.
    FreeInfo(list->info);
    list->info = CopyInfo(&temp);
  }
  list->info->res = res;
  FillRecordLines(list);
  list->heading = PartialHeading(list, msqlNumRows(res), &fetch);
  fl_set_object_label(list->title, list->heading.c_str());
}
