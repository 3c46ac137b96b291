// The main window: its record, its callbacks, the selection of server,
// database and table behind its three selectors, start-up and the "Field
// Info" window. Only app/ includes this; the windows it opens stand on
// app/services/services.h. Start reading at main() in main.cc.
#ifndef KORVID_APP_MAINFORM_H
#define KORVID_APP_MAINFORM_H

#include "app/services/services.h"

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
  // The "Number of records :" text: it gives the records box the room that
  // its label does not need when a count is wider than the box.
  FL_OBJECT *records_label;
};

MainForm *CreateMainForm(void);
void ExitProgram(FL_OBJECT *object, long data);
// The window manager's close button on the main window: the same question
// as Exit; returns FL_IGNORE (nothing closes) when it is answered No.
int MainWindowClosed(FL_FORM *form, void *data);
void ShowAbout(FL_OBJECT *object, long data);
void ServerInput(FL_OBJECT *object, long data);
void ChooseDatabase(FL_OBJECT *object, long data);
void ChooseTable(FL_OBJECT *object, long data);

// Server, database and table selection.
void ConnectServer(const char *host, MainForm *mainform);
void OpenDatabase(const char *name, MainForm *mainform);
void SelectTable(const char *name, MainForm *mainform);
Info *ReadFieldList(const char *table, MainForm *mainform);
int FindPrimaryKey(Info *info);
int CountRecords(Info *info);
void ShowCounts(int fields, int records, MainForm *mainform);
// Sizes the records box (and the text before it) so that the count it now
// shows is whole; a count that fits leaves the window as it was built.
void FitRecordsCount(MainForm *mainform);
void ResetChoice(FL_OBJECT *choice);
void FillDatabaseChoice(FL_OBJECT *choice);
void FillTableChoice(FL_OBJECT *choice);
// Appends an item whose text is exactly name (no '|' splitting); 0, or -1
// when the choice is full.
int AddChoiceItem(FL_OBJECT *choice, const char *name);
// Makes the choice's pop-up show and pick its item texts as they are; the
// toolkit's own pop-up splits them at '|' and reads '%' codes.
void KeepChoiceTextsLiteral(FL_OBJECT *choice);
// That pop-up, built but not shown: one entry per item, each wide enough
// for its whole name. The caller frees it (fl_freepup).
int ChoicePopup(FL_OBJECT *choice);
// Makes the item whose text is exactly name current; no change otherwise.
// Names are the server's text; the items show them in Latin-1.
void SetChoiceText(FL_OBJECT *choice, const char *name);
// The server's name of the current item ("" when none).
std::string ChoiceName(FL_OBJECT *choice);

// Start-up.
void ParseArguments(int argc, char **argv, MainForm *mainform);
[[noreturn]] void Usage(const char *program);

// The "Field Info" button: the field descriptions of the current table.
void FieldInfo(FL_OBJECT *object, long data);

#endif
