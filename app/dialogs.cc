// The toolkit's modal dialogs behind one table of function pointers: the
// program calls the toolkit unchanged, tests swap in their own answers.
#include "app/services.h"

DialogSeam dialogs = {
    fl_show_question, fl_show_alert, fl_show_message,
    fl_show_input,    fl_show_choices, fl_show_fselector,
};
