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
  if (ExecuteQuery(&temp, query_store) != 0) return;
  ResultHandle *res = msqlStoreResult();
  if (res == nullptr) return;  // executed, and nothing to show

  // The result's own field list describes the columns. The names are
  // borrowed from the result, which outlives this Info; the window copies
  // them (CopyInfo) when it opens.
  std::vector<InfoField> fields(msqlNumFields(res) > 0 ? static_cast<size_t>(msqlNumFields(res)) : 0);
  int count = 0;
  for (InfoField &field : fields) {
    FieldListEntry *entry = msqlFetchField(res);
    if (entry == nullptr) break;
    field.name = entry->name;
    field.table = temp.table;
    field.type = entry->type;
    field.length = InfoFieldLength(entry);
    field.flags = entry->flags;
    count++;
  }
  temp.nfields = temp.nentries = count;
  temp.fields = fields.data();

  ShowMessage("Selection of records is disabled as it can have \n"
              "unpredictable side effects with free queries !");
  ListForm *list = OpenShower(&temp, "Show Free Query", SHOW_FREE);
  list->info->res = res;
  FillRecordLines(list);
}
