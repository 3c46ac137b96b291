// Asks the toolkit for the 75 dpi ISO 8859-1 faces the layout was drawn with.
// The toolkit's own names leave resolution and charset open, so the X
// server's font path decides; these pin both. The toolkit must be told before
// fl_initialize, when it has no display yet, so the display is opened here
// once just to ask which faces it has.
#include "app/services/fonts.h"

#include <forms.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

// Indexed by the toolkit's text style; "?" is the size, filled in by the
// toolkit (ten times the point size).
const char *const layout_fonts[] = {
    "-*-helvetica-medium-r-normal-*-*-?-75-75-p-*-iso8859-1",   // FL_NORMAL_STYLE
    "-*-helvetica-bold-r-normal-*-*-?-75-75-p-*-iso8859-1",     // FL_BOLD_STYLE
    "-*-helvetica-medium-o-normal-*-*-?-75-75-p-*-iso8859-1",   // FL_ITALIC_STYLE
    "-*-helvetica-bold-o-normal-*-*-?-75-75-p-*-iso8859-1",     // FL_BOLDITALIC_STYLE
    "-*-courier-medium-r-normal-*-*-?-75-75-m-*-iso8859-1",     // FL_FIXED_STYLE
    "-*-courier-bold-r-normal-*-*-?-75-75-m-*-iso8859-1",       // FL_FIXEDBOLD_STYLE
    "-*-courier-medium-o-normal-*-*-?-75-75-m-*-iso8859-1",     // FL_FIXEDITALIC_STYLE
    "-*-courier-bold-o-normal-*-*-?-75-75-m-*-iso8859-1",       // FL_FIXEDBOLDITALIC_STYLE
    "-*-times-medium-r-normal-*-*-?-75-75-p-*-iso8859-1",       // FL_TIMES_STYLE
    "-*-times-bold-r-normal-*-*-?-75-75-p-*-iso8859-1",         // FL_TIMESBOLD_STYLE
    "-*-times-medium-i-normal-*-*-?-75-75-p-*-iso8859-1",       // FL_TIMESITALIC_STYLE
    "-*-times-bold-i-normal-*-*-?-75-75-p-*-iso8859-1",         // FL_TIMESBOLDITALIC_STYLE
    "-*-charter-medium-r-normal-*-*-?-75-75-p-*-iso8859-1",     // FL_MISC_STYLE
    "-*-charter-bold-r-normal-*-*-?-75-75-p-*-iso8859-1",       // FL_MISCBOLD_STYLE
    "-*-charter-medium-i-normal-*-*-?-75-75-p-*-iso8859-1",     // FL_MISCITALIC_STYLE
    "-*-symbol-medium-r-normal-*-*-?-75-75-p-*-adobe-fontspecific",  // FL_SYMBOL_STYLE
};
const int layout_font_count = sizeof layout_fonts / sizeof layout_fonts[0];

// Whether the display has the face at some size.
bool HasFace(Display *display, const char *name) {
  std::string pattern = name;
  pattern.replace(pattern.find('?'), 1, "*");
  int count = 0;
  char **names = XListFonts(display, pattern.c_str(), 1, &count);
  if (names) XFreeFontNames(names);
  return count > 0;
}

// The display the toolkit will open: its -display option (which it also
// takes abbreviated, down to "-di"), or else DISPLAY.
const char *DisplayName(int argc, char **argv) {
  for (int i = 1; i + 1 < argc; i++) {
    size_t n = strlen(argv[i]);
    if (n >= 3 && strncmp(argv[i], "-display", n) == 0) return argv[i + 1];
  }
  return nullptr;
}

}  // namespace

const char *LayoutFontName(int style) {
  return style >= 0 && style < layout_font_count ? layout_fonts[style] : nullptr;
}

int MissingLayoutFonts(Display *display) {
  int missing = 0;
  for (int style = 0; style < layout_font_count; style++)
    if (!HasFace(display, layout_fonts[style])) missing++;
  return missing;
}

int AskForLayoutFonts(int argc, char **argv) {
  Display *display = XOpenDisplay(DisplayName(argc, argv));
  if (!display) return -1;
  int missing = 0;
  for (int style = 0; style < layout_font_count; style++) {
    if (HasFace(display, layout_fonts[style]))
      fl_set_font_name(style, layout_fonts[style]);
    else
      missing++;
  }
  XCloseDisplay(display);
  if (missing)
    fprintf(stderr,
            "korvid: %d of the fonts the windows were drawn for are missing "
            "(Debian package " LAYOUT_FONT_PACKAGE "); labels may be cut\n",
            missing);
  return missing;
}
