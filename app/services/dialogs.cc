// The toolkit's modal dialogs behind one table of function pointers: the
// program calls the toolkit through these, tests swap in their own answers.
// Each dialog is kept above every window of the application (windows.cc).
#include "app/services/services.h"

namespace {

int Question(const char *text, int default_answer) {
  BeforeDialog();
  return fl_show_question(text, default_answer);
}

void Alert(const char *title, const char *line2, const char *line3, int centered) {
  BeforeDialog();
  fl_show_alert(title, line2, line3, centered);
}

void Message(const char *line1, const char *line2, const char *line3) {
  BeforeDialog();
  fl_show_message(line1, line2, line3);
}

const char *Input(const char *prompt, const char *default_text) {
  BeforeDialog();
  return fl_show_input(prompt, default_text);
}

int Choices(const char *text, int count, const char *b1, const char *b2, const char *b3, int default_button) {
  BeforeDialog();
  return fl_show_choices(text, count, b1, b2, b3, default_button);
}

const char *FileSelector(const char *prompt, const char *dir, const char *pattern, const char *default_file) {
  BeforeDialog();
  return fl_show_fselector(prompt, dir, pattern, default_file);
}

}  // namespace

DialogSeam dialogs = {Question, Alert, Message, Input, Choices, FileSelector};
