// Entry points of the list window and the free query that the main window
// calls; they do no more than the guard until the windows are built.
#include "views/views.h"

void ShowAllRecords(FL_OBJECT *, long data) { CheckTableSelected(reinterpret_cast<MainForm *>(data)); }
void FieldInfo(FL_OBJECT *, long data) { CheckTableSelected(reinterpret_cast<MainForm *>(data)); }
void FreeQuery(FL_OBJECT *, long) {}
void DetachFieldWindows(const Info *) {}
