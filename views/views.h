// Result views: the record list window ("Shower") and the free SQL query.
#ifndef KORVID_VIEWS_H
#define KORVID_VIEWS_H

#include <string>

#include "app/app.h"

#define SHOW_FREE 0
#define SHOW_ALL 1
#define SHOW_FIELDS 2

struct ListForm {
  FL_FORM *form;
  Info *info;     // own copy; info->res holds the listed result set
  Info *origin;   // the caller's Info, in SHOW_FIELDS only; null once detached
  FL_OBJECT *title;
  FL_OBJECT *fontsize;
  FL_OBJECT *browser;
  FL_OBJECT *modify;
};

ListForm *CreateShower(void);
ListForm *OpenShower(Info *info, const char *title, int mode);
void AddRecordLine(Info *info, FL_OBJECT *browser, char **row);
void PadSpaces(std::string &text, int count);
void ShowerClose(FL_OBJECT *object, long data);
void ShowerPrint(FL_OBJECT *object, long data);
void ShowerWriteFile(FL_OBJECT *object, long data);
void ShowerFontSize(FL_OBJECT *object, long data);
void ShowerModify(FL_OBJECT *object, long data);
void ShowAllRecords(FL_OBJECT *object, long data);

// The main window calls this before it frees an Info, so that field-description
// windows pointing at it let go of it.
void DetachFieldWindows(const Info *origin);

// Free SQL query.
void FreeQuery(FL_OBJECT *object, long data);

#endif
