// The logo shown in the main window's top-left corner (XPM data).
#ifndef KORVID_RESOURCES_LOGO_H
#define KORVID_RESOURCES_LOGO_H

extern const char *korvid_logo[];

#endif
