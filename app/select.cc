// Server, database and table selection: turns the main window's three
// selectors into a connection (sock), a selected database and the current
// table's Info, and keeps the two counts beside them up to date.
#include <fcntl.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/services/charset.h"
#include "app/mainform.h"
#include "views/views.h"

namespace {

// Resets the choice, then fills it with the first column of every row of a
// list request (null when it failed: failure is then said), as many as the
// choice can hold; frees the list.
void FillChoice(FL_OBJECT *choice, ResultHandle *list, const char *failure) {
  ResetChoice(choice);
  if (!list) {
    ForgetLostConnection();
    ShowMessage("%s", failure);
    return;
  }
  char **row;
  while ((row = msqlFetchRow(list)) != nullptr) {
    if (row[0] && AddChoiceItem(choice, row[0]) != 0) break;
  }
  msqlFreeResult(list);
}

}  // namespace

// Appends one item whose text is exactly name. fl_addto_choice would split
// the text at '|' (a database or table name may hold one), so a plain
// placeholder is added and then replaced: replacing keeps the text whole.
// Returns 0, or -1 when the choice is full.
int AddChoiceItem(FL_OBJECT *choice, const char *name) {
  int before = fl_get_choice_maxitems(choice);
  if (before >= FL_CHOICE_MAXITEMS) return -1;
  fl_addto_choice(choice, "?");
  int after = fl_get_choice_maxitems(choice);
  if (after != before + 1) return -1;
  fl_replace_choice(choice, after, ToToolkit(name).c_str());
  std::vector<std::string> &names = current_server.choice_names[choice];
  names.resize(static_cast<size_t>(after));
  names[after - 1] = name;
  return 0;
}

// The toolkit builds a choice's pop-up anew at each press by adding every
// item's text as a pop-up definition, where '|' starts another entry (a
// click then picks another item than the one shown) and '%' codes take
// arguments that are never passed. A left press is taken here instead: the
// pop-up is built from placeholders whose texts are then replaced, which the
// toolkit stores as they are, and the entry picked becomes the choice's
// item as the toolkit's own pop-up would make it.
extern "C" void fli_replacepup_text(int popup, int item, const char *text);

// The toolkit sizes a pop-up by the texts its entries were added with, not
// by those they are replaced with: each placeholder is as wide as its name,
// its characters with a meaning to the pop-up put as a wide letter.
static std::string Placeholder(const char *text) {
  std::string placeholder = text && text[0] ? text : " ";
  for (char &c : placeholder)
    if (c == '|' || c == '%' || c == '@' || c == '\b') c = 'W';
  return placeholder;
}

int ChoicePopup(FL_OBJECT *choice) {
  int items = fl_get_choice_maxitems(choice);
  int popup = fl_newpup(FL_ObjWin(choice));
  // Titled with the choice's label, as the toolkit's own pop-up is.
  if (choice->label && choice->label[0]) fl_setpup_title(popup, choice->label);
  for (int i = 1; i <= items; i++) {
    const char *text = fl_get_choice_item_text(choice, i);
    fl_addtopup(popup, Placeholder(text).c_str());
    fli_replacepup_text(popup, i, text ? text : "");
  }
  return popup;
}

namespace {

int LiteralChoicePress(FL_OBJECT *choice, int event, FL_Coord, FL_Coord, int key, void *) {
  if (event != FL_PUSH || key != FL_LEFT_MOUSE) return 0;
  int items = fl_get_choice_maxitems(choice);
  if (items <= 0) return FL_PREEMPT;
  int popup = ChoicePopup(choice);
  int current = fl_get_choice(choice);
  if (current > 0) fl_setpup_selection(popup, current);
  int picked = fl_dopup(popup);
  fl_freepup(popup);
  if (picked >= 1 && picked <= items && picked != current) {
    fl_set_choice(choice, picked);
    fl_call_object_callback(choice);
  }
  return FL_PREEMPT;
}

}  // namespace

void KeepChoiceTextsLiteral(FL_OBJECT *choice) {
  fl_set_object_prehandler(choice, LiteralChoicePress);
}

// Makes the item whose text is exactly name current; leaves the choice as
// it was when no item has that text.
void SetChoiceText(FL_OBJECT *choice, const char *name) {
  int n = fl_get_choice_maxitems(choice);
  const std::vector<std::string> &names = current_server.choice_names[choice];
  std::string shown = ToToolkit(name);
  for (int i = 1; i <= n; i++) {
    const char *item = fl_get_choice_item_text(choice, i);
    bool named = static_cast<size_t>(i) <= names.size() && !names[i - 1].empty();
    if (named ? names[i - 1] == name : item && shown == item) {
      fl_set_choice(choice, i);
      return;
    }
  }
}

void ConnectServer(const char *host, MainForm *mainform) {
  std::string name;
  if (host) {
    name = host;
    fl_set_input(mainform->server, name.c_str());
  }
  // The earlier connection is closed first: nothing uses it afterwards, and
  // each reconnect would otherwise keep one more socket open.
  if (sock >= 0) msqlClose(sock);
  sock = msqlConnect(name.empty() ? nullptr : name.c_str());
  NoteServer(name.c_str());
  if (sock < 0) {
    ShowAlert("Error connecting to server");
    ResetChoice(mainform->database_choice);
  } else {
    FillDatabaseChoice(mainform->database_choice);
  }
  ResetChoice(mainform->table_choice);
  ShowCounts(0, 0, mainform);
}

void OpenDatabase(const char *name, MainForm *mainform) {
  SetChoiceText(mainform->database_choice, name);
  if (fl_get_choice(mainform->database_choice) >= 2) {
    if (msqlSelectDB(sock, name) < 0) {
      ForgetLostConnection();
      ShowAlert("Error opening database %s", name);
      // The choice goes back to the database the tables shown are of.
      if (current_server.main_database.empty()) fl_set_choice(mainform->database_choice, 1);
      else SetChoiceText(mainform->database_choice, current_server.main_database.c_str());
      return;
    }
    NoteDatabase(name);
    FillTableChoice(mainform->table_choice);
  } else {
    NoteDatabase("");
    ResetChoice(mainform->table_choice);
  }
  ShowCounts(0, 0, mainform);
}

void SelectTable(const char *name, MainForm *mainform) {
  std::string table = name;  // name may point into a choice item
  if (mainform->info) {
    DetachFieldWindows(mainform->info);
    FreeInfo(mainform->info);
    mainform->info = nullptr;
  }
  SetChoiceText(mainform->table_choice, table.c_str());
  if (fl_get_choice(mainform->table_choice) <= 1) {
    ShowCounts(0, 0, mainform);
    return;
  }
  mainform->info = ReadFieldList(table.c_str(), mainform);
  if (!mainform->info) {
    ShowCounts(0, 0, mainform);
    return;
  }
  ShowCounts(mainform->info->nfields, CountRecords(mainform->info), mainform);
}

Info *ReadFieldList(const char *table, MainForm *mainform) {
  ResultHandle *list = msqlListFields(sock, table);
  if (!list) {
    ForgetLostConnection();
    ShowAlert("Cannot fetch fieldnames for %s", table);
    return nullptr;
  }
  Info *info = static_cast<Info *>(InfoAllocate(1, sizeof(Info)));
  info->table = InfoText(table);
  info->server = InfoText(current_server.server.c_str());
  info->database = InfoText(current_server.database.c_str());
  info->mainform = mainform;
  int count = msqlNumFields(list) > 0 ? msqlNumFields(list) : 0;
  info->fields = static_cast<InfoField *>(InfoAllocate(count, sizeof(InfoField)));
  int i = 0;
  FieldListEntry *entry;
  while (i < count && (entry = msqlFetchField(list)) != nullptr) {
    if (entry->type == IDX_TYPE && info->nfields == 0) info->nfields = i;
    InfoField &field = info->fields[i];
    field.type = entry->type;
    field.length = InfoFieldLength(entry);
    field.flags = entry->flags;
    field.name = InfoText(entry->name);
    field.table = info->table;
    i++;
  }
  info->nentries = i;
  // With no index entry every entry is a data field. This is settled before
  // the key is looked for, so that the key can be any of the data fields.
  if (info->nfields == 0) info->nfields = info->nentries;
  info->pkey = FindPrimaryKey(info);
  msqlFreeResult(list);
  return info;
}

int FindPrimaryKey(Info *info) {
  const InfoField *index = nullptr;
  for (int i = 0; i < info->nentries; i++) {
    if (info->fields[i].flags & FLAG_UNIQUE_KEY) {
      index = &info->fields[i];
      break;
    }
  }
  if (!index) {
    ShowMessage(
        "No unique indexes found for this table: using first field as the primary key.\n"
        "You can set the primary key in the Field Info window.");
    return 0;
  }
  int key = -1;
  ResultHandle *description = msqlListIndex(sock, info->table, index->name);
  if (!description) {
    ForgetLostConnection();
  } else {
    msqlDataSeek(description, 1);
    char **row = msqlFetchRow(description);
    // The whole name must match: with fields "id" and "id2" and an index on
    // "id2", taking "id" would make changes reach the wrong records.
    if (row && row[0]) {
      for (int i = 0; i < info->nfields && key < 0; i++)
        if (strcmp(info->fields[i].name, row[0]) == 0) key = i;
    }
    msqlFreeResult(description);
  }
  if (key < 0) {
    ShowMessage("No unique primary key field found for this table !");
    return 0;
  }
  return key;
}

int CountRecords(Info *info) {
  if (no_record_count) return 0;
  char statement[STATEMENT_SIZE];
  int n = snprintf(statement, sizeof statement, "SELECT * FROM %s ", QuoteName(info->table).c_str());
  if (n < 0 || static_cast<size_t>(n) >= sizeof statement) {
    RefuseLongStatement();
    return 0;
  }
  // The rows are only counted: a table of millions of rows shows its count
  // without being held.
  int count = 0;
  if (ExecuteCount(info, statement, &count) < 0) return 0;
  return count;
}

void ShowCounts(int fields, int records, MainForm *mainform) {
  char text[16];
  snprintf(text, sizeof text, "%d", fields);
  fl_set_object_label(mainform->fields_count, text);
  snprintf(text, sizeof text, "%d", records);
  fl_set_object_label(mainform->records_count, text);
  FitRecordsCount(mainform);
}

std::string ChoiceName(FL_OBJECT *choice) {
  int i = fl_get_choice(choice);
  const std::vector<std::string> &names = current_server.choice_names[choice];
  if (i >= 1 && static_cast<size_t>(i) <= names.size() && !names[i - 1].empty())
    return names[i - 1];
  const char *text = fl_get_choice_text(choice);
  return ToServer(text);
}

void ResetChoice(FL_OBJECT *choice) {
  current_server.choice_names[choice].clear();
  fl_clear_choice(choice);
  fl_addto_choice(choice, "None selected");
  fl_set_choice(choice, 1);
}

void FillDatabaseChoice(FL_OBJECT *choice) {
  FillChoice(choice, msqlListDBs(sock), "Cannot fetch databases");
}

void FillTableChoice(FL_OBJECT *choice) {
  FillChoice(choice, msqlListTables(sock), "Cannot fetch tables");
}
