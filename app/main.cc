// Korvid, an X front end to mSQL servers. Start-up builds the main window,
// reads the command line, connects, and hands over to the toolkit's event
// loop; everything afterwards happens in callbacks (mainform.cc, select.cc).
#include <cstdlib>

#include "app/services/charset.h"
#include "app/mainform.h"
#include "app/services/fonts.h"

int main(int argc, char **argv) {
  // Before the toolkit starts: the locale it runs under decides which bytes
  // its inputs keep.
  SetUpCharsets();
  AskForLayoutFonts(argc, argv);
  // The toolkit takes its own standard options (-display, -name, ...) out of
  // argc/argv; ParseArguments sees only what is left.
  if (!fl_initialize(&argc, argv, nullptr, nullptr, 0)) return 1;
  MainForm *mainform = CreateMainForm();
  if (!mainform) return 1;
  ParseArguments(argc, argv, mainform);
  fl_show_form(mainform->form, FL_PLACE_CENTER, FL_FULLBORDER, "Korvid");
  GroupWithMainWindow();
  for (;;) fl_do_forms();
}
