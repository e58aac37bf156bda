// What the Windows side of the platform layer shares between its files: names, in their wide
// form, and what the console handler does to an image left behind.
#ifndef SWUG_PLATFORM_WIN_H
#define SWUG_PLATFORM_WIN_H

#include <windows.h>

// A UTF-8 name of at most NAME_UNITS - 1 bytes has at most as many UTF-16 units.
constexpr int NAME_UNITS = 300;

// The UTF-8 name as UTF-16 in wide, which holds units; 0, or -1 when it has no exact UTF-16 form
// or does not fit.
int to_wide(const char *utf8, wchar_t *wide, int units);

// Room for a name's full path in its verbatim form.
constexpr int PATH_UNITS = 1024;

// The UTF-8 name of a file as the wide name to open it by, in wide, which holds units; 0, or -1
// when it has no exact UTF-16 form or does not fit.
int wide_path(const char *utf8, wchar_t *wide, int units);

// For the console handler, with the run's thread stopped, just before it ends the process:
// empties the image where the process's end will not remove it and the run created or emptied it.
void abandon_image();

#endif
