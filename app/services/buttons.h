// The push buttons of every window, built from a table per window: a line
// per button (label, place, Alt key, callback) and one look (size, label
// size, behaviour on resizing) shared by the buttons of the table.
#ifndef KORVID_APP_SERVICES_BUTTONS_H
#define KORVID_APP_SERVICES_BUTTONS_H

#include <forms.h>

#include <cstddef>

// What a window's buttons share: their size, their label size (0 leaves the
// toolkit's default), and whether they keep their place and size when the
// window is resized (gravity north-west, no resizing).
struct ButtonLook {
  FL_Coord w, h;
  int lsize;
  bool pinned;
};

// One button: its label, its place, its key (Alt and a letter of the label,
// "#x", the letter shown underlined) and its callback, which is given the
// window's record.
struct ButtonSpec {
  const char *label;
  FL_Coord x, y;
  const char *shortcut;
  FL_CALLBACKPTR callback;
  FL_OBJECT **slot = nullptr;  // where the window keeps the button, if it does
  int type = FL_NORMAL_BUTTON;  // or FL_TOUCH_BUTTON: repeats while held down
};

// Adds the button to the form being built, after the objects before it.
FL_OBJECT *AddButton(const ButtonLook &look, const ButtonSpec &button, long data);

// Adds the buttons in the table's order.
template <size_t N>
void AddButtons(const ButtonLook &look, const ButtonSpec (&buttons)[N], long data) {
  for (const ButtonSpec &button : buttons) AddButton(look, button, data);
}

#endif
