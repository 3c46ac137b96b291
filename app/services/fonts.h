// The fonts Korvid's fixed layout was drawn for. Every window's geometry is
// fixed, so a label fits only in the faces it was measured with: the 75 dpi
// ISO 8859-1 bitmaps. Left to itself, the toolkit takes whatever resolution
// the X server lists first (100 dpi on a usual desktop), and labels are cut.
#ifndef KORVID_APP_SERVICES_FONTS_H
#define KORVID_APP_SERVICES_FONTS_H

#include <X11/Xlib.h>

// The Debian package that holds the layout's faces, for messages.
#define LAYOUT_FONT_PACKAGE "xfonts-75dpi"

// Makes the toolkit ask for the layout's face of every text style the display
// has; a style whose face is missing keeps the toolkit's own choice, and one
// line on standard error names the package. Call before fl_initialize, with
// the command line it will see (for -display). Returns the number of styles
// left to the toolkit's choice, or -1 when the display cannot be opened (the
// toolkit then reports that itself).
int AskForLayoutFonts(int argc, char **argv);

// The number of the layout's faces that display does not have.
int MissingLayoutFonts(Display *display);

// The font name asked of the toolkit for style (an FL_*_STYLE below
// FL_SYMBOL_STYLE, or the symbol style itself); "?" stands for the size.
const char *LayoutFontName(int style);

#endif
