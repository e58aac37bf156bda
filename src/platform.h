// The few things the tool needs that differ between POSIX and Windows. Every name that crosses
// this interface is UTF-8; the Windows side converts at the system's wide calls.
#ifndef SWUG_PLATFORM_H
#define SWUG_PLATFORM_H

#include <cstddef>
#include <cstdio>

// True where the backslash separates directories. There the current directory needs
// normalising, and "./x" is joined to it.
extern const bool backslash_separates_dirs;

// The number of command-line words, the tool's own name included, from the same parse that
// command_word takes the words from, so that the mode, the message and the names always agree.
int command_count(int argc);

// Command-line word i (1 or 2) exactly as the user gave it, as UTF-8. On POSIX it is argv[i]
// itself; on Windows it is converted from the wide command line into word, which holds cap bytes.
// nullptr when it cannot be taken whole (it does not fit, or has no exact UTF-8 form).
char *command_word(char **argv, int i, char *word, std::size_t cap);

// Reads the current directory into dir, which holds cap bytes. 0 on success, -1 when it could not
// be read or does not fit; dir then holds an empty string.
int read_current_dir(char *dir, std::size_t cap);

// Readies the process before the run: the signals that end a run are caught. On POSIX they only
// mark the run interrupted and cut short a blocking read or wait, and a closed standard descriptor
// is opened on the null device, so that no file of the run is taken for one. On Windows, Ctrl-C,
// Ctrl-Break and closing the console end the process at once, and Windows removes an image that
// is not whole.
void set_up_process();

// 1 once a signal has marked the run interrupted, 0 before.
int interrupted();

// Ends the process as the caught signal says, when one was caught; otherwise returns.
void end_if_interrupted();

// Waits for one key press, unechoed and without Enter, then discards the rest of a paste. When
// standard input is not the console it reads one byte instead; end of input, an error or a signal
// ends the wait.
void wait_for_key();

// Opens the software file for binary reading; nullptr when it cannot, or when it is a device
// that is no file (the console, a serial port, NUL).
std::FILE *open_software(const char *name);

// 1 when the stream is a file on disk, whose leading block is skipped by seeking; 0 for input
// that is read and dropped instead (a pipe, a terminal, a file that cannot seek).
int is_disk_file(std::FILE *stream);

// 1 when the open stream is a directory, 0 otherwise.
int is_directory(std::FILE *stream);

// The size in bytes of the open stream's file, or -1 when it has none (a pipe, a device).
long long file_size(std::FILE *stream);

// Opens the image for binary writing, creating it when it is missing, when no other run is writing
// it, it is not the software file and it is no device. An existing image keeps its content until
// empty_image. nullptr, with the image untouched, when it cannot.
std::FILE *open_image(const char *name, std::FILE *p_sw_file);

// Empties the image, as "wb" does, once the software file has given its first block or its clean
// end. 0, or -1 when it cannot be emptied.
int empty_image(std::FILE *p_img_file);

// 0 when the software file, read to its end, did not change while it was read and gave body_bytes
// after its leading block, as its size says; -1 when it changed under the run.
int software_intact(std::FILE *p_sw_file, long long body_bytes);

// Flushes and closes the image that open_image opened under name; 0 when it was kept. When keep is
// false, or the image cannot be written out whole, or the name no longer holds it, -1: an image that
// this run emptied or created is removed, or emptied where its name cannot be removed, and an image
// not yet emptied is left as it was.
int close_image(std::FILE *p_img_file, const char *name, bool keep);

#endif
