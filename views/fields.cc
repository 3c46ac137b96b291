// The field-descriptions list window: the table's field list, the primary
// key's line in red, and a double-click that makes a data field the primary
// key of the Info the window was opened on.
#include "app/services/charset.h"
#include "views/views.h"

void FillFieldDescriptions(ListForm *list, Info *info) {
  fl_freeze_form(list->form);
  fl_add_browser_line(list->browser, FieldDescriptionHeader().c_str());
  for (int i = 0; i < info->nentries; i++) {
    if (FieldTypeName(info->fields[i].type) == nullptr) ShowMessage("Unknown fieldtype detected !");
    fl_add_browser_line(list->browser, ToToolkit(FieldDescriptionLine(info, i).c_str()).c_str());
  }
  fl_unfreeze_form(list->form);
}

void SetPrimaryKey(FL_OBJECT *, long data) {
  ListForm *list = reinterpret_cast<ListForm *>(data);
  int line = fl_get_browser(list->browser);
  if (line <= 1) return;  // the header
  // The main window has left the table this window was opened on.
  Info *origin = list->origin;
  if (origin == nullptr) {
    ShowMessage("Info struct is NULL !!");
    return;
  }
  int entry = line - 2;
  if (entry >= origin->nentries) return;
  if (origin->fields[entry].type == IDX_TYPE || entry >= origin->nfields) {
    ShowMessage("Can't use an index as primary key !");
    return;
  }
  origin->pkey = entry;
  fl_clear_browser(list->browser);
  FillFieldDescriptions(list, origin);
}
