// What the Windows side of the platform layer shares between its files: names, in their wide
// form, and whether an image is open for the console handler to wait for.
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

// 1 while the image is open, so that closing the console waits for the run to remove it.
extern volatile LONG image_open;

#endif
