// Where the application's windows open and how they stay in sight: beside
// the main window rather than over its buttons, in front and with the
// keyboard when they open, and the toolkit's dialogs above every window of
// the application, so that a click on another window cannot bury a dialog
// that the whole application waits for.
#include <X11/Xatom.h>
#include <X11/Xutil.h>

#include <cstdint>
#include <cstring>

#include "app/services/services.h"

namespace {

FL_FORM *main_window = nullptr;

// Room for a window manager's frame around a window, and between windows.
const int kFrameGap = 30;
// Windows opened one after another at the same place step by this much.
const int kCascadeStep = 24;
const int kCascadeSteps = 8;
int opened = 0;

// The main window's buttons lie this far below its top edge.
const int kButtonsBottom = 105;

bool WindowManagerRuns(Display *display) {
  Atom check = XInternAtom(display, "_NET_SUPPORTING_WM_CHECK", False);
  Atom type;
  int format;
  unsigned long items, after;
  unsigned char *data = nullptr;
  bool runs = XGetWindowProperty(display, DefaultRootWindow(display), check, 0, 1, False, XA_WINDOW, &type,
                                 &format, &items, &after, &data) == Success &&
              items == 1;
  if (data) XFree(data);
  return runs;
}

bool OnScreen(int x, int y, int w, int h) {
  return x >= 0 && y >= 0 && x + w <= fl_scrw && y + h <= fl_scrh;
}

// Asks the window manager to bring the window to the front with the
// keyboard focus, as a pager does (a request it always grants); without
// one, a window newly mapped is on top already and the keyboard follows the
// pointer.
void Activate(int, void *data) {
  Display *display = fl_get_display();
  Window window = static_cast<Window>(reinterpret_cast<uintptr_t>(data));
  // The window may have been closed meanwhile.
  FL_FORM *form = fl_win_to_form(window);
  if (form == nullptr || !fl_form_is_visible(form)) return;
  if (!WindowManagerRuns(display)) {
    XRaiseWindow(display, window);
    return;
  }
  XEvent event = {};
  event.xclient.type = ClientMessage;
  event.xclient.window = window;
  event.xclient.message_type = XInternAtom(display, "_NET_ACTIVE_WINDOW", False);
  event.xclient.format = 32;
  event.xclient.data.l[0] = 2;  // the request comes from a pager
  event.xclient.data.l[1] = CurrentTime;
  XSendEvent(display, DefaultRootWindow(display), False, SubstructureRedirectMask | SubstructureNotifyMask,
             &event);
  XFlush(display);
}

// The toolkit's dialogs are titled so; each is made anew at every call.
bool IsDialogTitle(const char *title) {
  static const char *const titles[] = {"Question", "Alert", "Message", "Input", "Choice", "FileSelector"};
  for (const char *t : titles)
    if (title && strcmp(title, t) == 0) return true;
  return false;
}

// The window manager puts each window into a frame of its own: the forms
// are looked for through the whole tree.
void MarkDialogs(Display *display, Window window) {
  FL_FORM *form = fl_win_to_form(window);
  if (form && fl_form_is_visible(form) && IsDialogTitle(form->label)) {
    // Transient for the root: for the window manager, a dialog of the whole
    // group, kept above every window of it.
    XSetTransientForHint(display, window, DefaultRootWindow(display));
    return;
  }
  Window root, parent, *children = nullptr;
  unsigned int count = 0;
  if (!XQueryTree(display, window, &root, &parent, &children, &count)) return;
  for (unsigned int i = 0; i < count; i++) MarkDialogs(display, children[i]);
  if (children) XFree(children);
}

int IgnoreGoneWindow(Display *, XErrorEvent *) { return 0; }

// Runs inside the dialog's own event loop, once the dialog is shown.
void KeepDialogAbove(int, void *) {
  Display *display = fl_get_display();
  XSync(display, False);
  // A window of the tree may go while it is walked.
  XErrorHandler toolkit_handler = XSetErrorHandler(IgnoreGoneWindow);
  MarkDialogs(display, DefaultRootWindow(display));
  XSync(display, False);
  XSetErrorHandler(toolkit_handler);
}

}  // namespace

void NoteMainWindow(FL_FORM *form) { main_window = form; }

void GroupWithMainWindow(void) {
  if (main_window == nullptr || !main_window->window) return;
  Display *display = fl_get_display();
  // The toolkit names the main window as the group of every other window
  // but not of itself; a dialog of the group is then not kept above it.
  XWMHints *hints = XGetWMHints(display, main_window->window);
  XWMHints fresh = {};
  XWMHints *use = hints ? hints : &fresh;
  use->flags |= WindowGroupHint;
  use->window_group = main_window->window;
  XSetWMHints(display, main_window->window, use);
  if (hints) XFree(hints);
}

int PlaceBesideMainWindow(FL_FORM *form) {
  if (main_window == nullptr || !fl_form_is_visible(main_window)) return FL_PLACE_MOUSE;
  FL_Coord mx, my;
  fl_get_winorigin(main_window->window, &mx, &my);
  int mw = main_window->w, mh = main_window->h, w = form->w, h = form->h;
  int step = kCascadeStep * (opened++ % kCascadeSteps);
  struct Place {
    int x, y;
  } const places[] = {
      {mx + mw + kFrameGap / 2 + step, my + step},  // right
      {mx - w - kFrameGap / 2 - step, my + step},   // left
      {mx + step, my + mh + kFrameGap + step},      // below
      {mx + step, my - h - 2 * kFrameGap - step},   // above
  };
  for (const Place &p : places) {
    if (OnScreen(p.x, p.y, w, h)) {
      fl_set_form_position(form, p.x, p.y);
      return FL_PLACE_POSITION;
    }
  }
  // Nowhere beside it: below the main window's buttons, as far right as the
  // screen allows, so that the buttons stay in sight.
  int x = fl_scrw - w - step;
  int y = my + kButtonsBottom + kFrameGap + step;
  if (y + h > fl_scrh) y = fl_scrh - h;
  fl_set_form_position(form, x > 0 ? x : 0, y > 0 ? y : 0);
  return FL_PLACE_POSITION;
}

void BringToFront(FL_FORM *form) {
  if (!form->window) return;
  // A moment later: the window manager must have taken the window first.
  fl_add_timeout(50, Activate, reinterpret_cast<void *>(static_cast<uintptr_t>(form->window)));
}

void BeforeDialog(void) { fl_add_timeout(0, KeepDialogAbove, nullptr); }
