// The few things the tool needs that differ between POSIX and Windows. Every name that crosses
// this interface is UTF-8; the Windows side converts at the system's wide calls.
#ifndef SWUG_PLATFORM_H
#define SWUG_PLATFORM_H

#include <cstddef>
#include <cstdio>

// A name holds at most 299 bytes and its terminating zero, on both sides of this interface.
constexpr std::size_t NAME_CAP = 300;

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

// Readies the process before the run: the signals that end a run are caught. On POSIX they mark
// the run interrupted and cut short a blocking open, read, write or wait, and a closed standard
// descriptor is filled with the root folder, so that no file of the run is taken for one. On
// Windows, Ctrl-C, Ctrl-Break and closing the console cancel the run's blocking I/O and give the
// run up to 3 seconds to deal with its image before the process ends; log-off and shutdown do not
// end a run that a service started.
void set_up_process();

// 1 once a signal has marked the run interrupted, 0 before.
int interrupted();

// Ends the process as the caught signal says, when one was caught; otherwise returns.
void end_if_interrupted();

// Waits for one key press, unechoed and without Enter, then discards the rest of a paste, until
// input has been quiet for PASTE_QUIET_MS, for at most PASTE_DISCARD_MS. When standard input is not
// the console it reads one byte instead; end of input, an error or a signal ends the wait.
void wait_for_key();
constexpr long PASTE_QUIET_MS = 100;
constexpr long PASTE_DISCARD_MS = 3000;

// What the software file is, as open_software found it.
struct software_facts {
    // Its size in bytes, or -1 when its size says nothing of its content: a pipe, a device, a file
    // that says it is empty (/proc), a sysfs file that says it is a page.
    long long size;
    // A file on disk, whose leading block is skipped by seeking; false for input that is read and
    // dropped instead (a pipe, a terminal, a file that cannot seek).
    bool on_disk;
};

// Opens the software file for binary reading and tells what it is; nullptr when it cannot, or when
// it is a folder or a device that is no file (the console, a serial port, NUL).
std::FILE *open_software(const char *name, software_facts *facts);

// Asked when a read of the software file gave nothing and the stream is at its end. 1 when the
// input has ended; 0 when it goes on (a Windows pipe whose writer wrote nothing and is still
// there), with the stream's end cleared so that the next read waits for more; -1 when it cannot
// be told, which fails the run.
int input_ended(std::FILE *stream);

// Opens the image for binary writing, creating it when it is missing, when no other run is writing
// it, it is not the software file and it is no device. An existing image keeps its content until
// empty_image. nullptr, with the image untouched, when it cannot.
std::FILE *open_image(const char *name, std::FILE *p_sw_file);

// Empties the image, as "wb" does, once the software file has given its first block or its clean
// end. 0, or -1 when it cannot be emptied.
int empty_image(std::FILE *p_img_file);

// 0 when the software file, read to its end, did not change while it was read; -1 when it changed
// under the run, or that cannot be told.
int software_intact(std::FILE *p_sw_file);

// Flushes and closes the image that open_image opened under name; 0 when it was kept. When keep is
// false, or the image cannot be written out whole, or the name no longer holds it, -1: an image that
// this run emptied or created is removed, or emptied where its name cannot be removed, and an image
// not yet emptied is left as it was.
int close_image(std::FILE *p_img_file, const char *name, bool keep);

// What a run leaves of its image, the one rule for both platforms.
enum class image_end {
    keep,  // written whole: it stays
    leave, // not the run's to touch: an old image not yet emptied, a device, a FIFO, a pipe
    remove, // the run created or emptied it: its name goes, or where that fails, its content
    empty, // the same, but another name would keep the file: its content goes
};

// What the run did to its image.
struct image_run {
    bool written;  // it was written whole, and its name still holds it
    bool on_disk;  // a file on disk, never a device, a FIFO, a pipe or standard output
    bool created;  // this run created it
    bool emptied;  // this run emptied its old content
    bool one_name; // no other name is known to hold it
};

constexpr image_end end_of_image(const image_run &run)
{
    if (run.written)
        return image_end::keep;
    if (!run.on_disk || !(run.created || run.emptied))
        return image_end::leave;
    return run.one_name ? image_end::remove : image_end::empty;
}

#endif
