// What the Windows side of the platform layer shares between its files: names in their wide form,
// the streams over system handles, and what the run's thread tells the console handler.
#ifndef SWUG_PLATFORM_WIN_H
#define SWUG_PLATFORM_WIN_H

#include "platform.h"

#include <windows.h>

#include <cstdio>

// A UTF-8 name of at most NAME_CAP - 1 bytes has at most as many UTF-16 units.
constexpr int NAME_UNITS = static_cast<int>(NAME_CAP);

// The UTF-8 name as UTF-16 in wide, which holds units; 0, or -1 when it has no exact UTF-16 form
// or does not fit.
int to_wide(const char *utf8, wchar_t *wide, int units);

// Room for a name's full path in its verbatim form.
constexpr int PATH_UNITS = 1024;

// The UTF-8 name of a file as the wide name to open it by, in wide, which holds units; 0, or -1
// when it has no exact UTF-16 form, does not fit, or names a device itself (a volume, a disk, a
// port) rather than a file. It touches no file.
int wide_path(const char *utf8, wchar_t *wide, int units);

// The system handle under a stream.
HANDLE handle_of(std::FILE *stream);

// True for a file on disk or a pipe; false for a device (NUL, CON, a serial port, a volume or a
// whole disk opened as such).
bool usable_type(HANDLE file);

// A binary descriptor over an open handle, which it then owns; -1, with the handle closed, when
// none.
int descriptor_of(HANDLE file, int flags);

// The stream over an open handle, which it then owns; nullptr, with the handle closed, when none.
std::FILE *stream_of(HANDLE file, int flags, const char *mode);

// 1 when the two handles are one file, 0 when they are not, -1 when no id that the volumes promise
// tells it.
int same_file(HANDLE a, HANDLE b);

// True when the image, opened for writing, is not the software file: an id says so, or the image
// is new, or the software file's share mode would have kept it from opening (where share modes
// hold), or it begins otherwise. created says whether this run made the image.
bool other_than_software(HANDLE image, HANDLE software, bool created);

// What the run's thread does, for the console handler: while an image may be open the handler
// cancels the thread's blocking I/O, so that the run itself removes or empties its image.
constexpr LONG RUN_IDLE = 0;       // no image open: the handler ends the process at once
constexpr LONG RUN_WRITING = 1;    // an image open, its copy under way: its I/O may be cancelled
constexpr LONG RUN_CANCELLING = 2; // the handler is cancelling the thread's I/O
constexpr LONG RUN_CLOSING = 3;    // the run deals with its image: nothing cuts that short

// Moves the run to phase; waits while the handler is cancelling, so that no cancel meant for the
// copy lands on what the run does next.
void set_run_phase(LONG phase);

#endif
