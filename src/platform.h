// The few things the tool needs that differ between POSIX and Windows.
#ifndef SWUG_PLATFORM_H
#define SWUG_PLATFORM_H

#include <cstddef>
#include <cstdio>

// True where the backslash separates directories, so the current directory needs normalising.
extern const bool backslash_separates_dirs;

// Reads the current directory into dir, which holds cap bytes. 0 on success, -1 when it could not
// be read or does not fit; dir then holds an empty string.
int read_current_dir(char *dir, std::size_t cap);

// Waits for one key press, unechoed and without Enter. When standard input is not the console it
// reads one byte instead; end of input or an error ends the wait at once.
void wait_for_key();

// 1 when the open stream is a directory, 0 otherwise.
int is_directory(std::FILE *stream);

// 1 when name designates the same file as the open stream (by identity, not by name), 0 when it
// does not or does not exist.
int is_same_file(std::FILE *stream, const char *name);

#endif
