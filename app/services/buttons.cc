// Builds one push button from its line of a window's table (buttons.h).
#include "app/services/buttons.h"

FL_OBJECT *AddButton(const ButtonLook &look, const ButtonSpec &button, long data) {
  FL_OBJECT *object = fl_add_button(button.type, button.x, button.y, look.w, look.h, button.label);
  if (look.lsize != 0) fl_set_object_lsize(object, look.lsize);
  if (look.pinned) {
    fl_set_object_gravity(object, FL_NorthWest, FL_NoGravity);
    fl_set_object_resize(object, FL_RESIZE_NONE);
  }
  fl_set_object_callback(object, button.callback, data);
  fl_set_object_shortcut(object, button.shortcut, 1);
  if (button.slot != nullptr) *button.slot = object;
  return object;
}
