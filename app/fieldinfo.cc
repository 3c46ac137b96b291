// The main window's "Field Info" button: the current table's field list in
// a list window (views/fields.cc fills it and picks the key).
#include "app/mainform.h"
#include "views/views.h"

void FieldInfo(FL_OBJECT *, long data) {
  MainForm *mainform = reinterpret_cast<MainForm *>(data);
  if (CheckTableSelected(mainform) != 0) return;
  ListForm *list = OpenShower(mainform->info, "Field descriptions", SHOW_FIELDS);
  FillFieldDescriptions(list, mainform->info);
}
