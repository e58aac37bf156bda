// The few things the tool needs that differ between POSIX and Windows. Every name that crosses
// this interface is UTF-8; the Windows side converts at the system's wide calls.
#ifndef SWUG_PLATFORM_H
#define SWUG_PLATFORM_H

#include <cstddef>
#include <cstdio>

// True where the backslash separates directories. There the current directory needs
// normalising, and "./x" is joined to it.
extern const bool backslash_separates_dirs;

// Command-line word i (1 or 2) exactly as the user gave it, as UTF-8. On POSIX it is argv[i]
// itself; on Windows it is converted from the wide command line into word, which holds cap bytes.
// nullptr when it cannot be taken whole (it does not fit, or has no exact UTF-8 form).
char *command_word(char **argv, int i, char *word, std::size_t cap);

// Reads the current directory into dir, which holds cap bytes. 0 on success, -1 when it could not
// be read or does not fit; dir then holds an empty string.
int read_current_dir(char *dir, std::size_t cap);

// Catches the signals that end a run (on Windows, Ctrl-C, Ctrl-Break and closing the console):
// they only mark the run interrupted and cut short a blocking read or wait.
void catch_signals();

// 1 once a signal has marked the run interrupted, 0 before.
int interrupted();

// Ends the process as the caught signal says, when one was caught; otherwise returns.
void end_if_interrupted();

// Waits for one key press, unechoed and without Enter, then discards the rest of a paste. When
// standard input is not the console it reads one byte instead; end of input, an error or a signal
// ends the wait.
void wait_for_key();

// Opens the software file for binary reading; nullptr when it cannot.
std::FILE *open_software(const char *name);

// 1 when the open stream is a directory, 0 otherwise.
int is_directory(std::FILE *stream);

// The size in bytes of the open stream's file, or -1 when it has none (a pipe, a device).
long long file_size(std::FILE *stream);

// Opens the image for binary writing and empties it, as "wb" does, when no other run is writing it
// and it is not the software file. nullptr, with the image untouched, when it cannot.
std::FILE *open_image(const char *name, std::FILE *p_sw_file);

// Flushes and closes the image that open_image opened under name. When keep is false, or the image
// cannot be written out whole, a regular file is removed, and -1 returned; 0 when it was kept.
int close_image(std::FILE *p_img_file, const char *name, bool keep);

#endif
