// Entry points of the record form that the main window's buttons call; each
// only checks that a table is chosen until the form itself is built.
#include "records/records.h"

void SearchForm(FL_OBJECT *, long data) { CheckTableSelected(reinterpret_cast<MainForm *>(data)); }
void InsertForm(FL_OBJECT *, long data) { CheckTableSelected(reinterpret_cast<MainForm *>(data)); }
void AskPrimaryKey(FL_OBJECT *, long data) { CheckTableSelected(reinterpret_cast<MainForm *>(data)); }
