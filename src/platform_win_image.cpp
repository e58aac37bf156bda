// Windows side of the platform layer: the life of the image, from its opening to keeping or
// removing it. Names reach the system through the wide calls only.
//
// An image that this run created or emptied is marked for deletion on close at once, and the mark
// is cleared only once its last byte is written: any end of the process before that (a failure,
// Ctrl-C, closing the console, a kill, a crash) closes its handle and so removes it. Where the
// image may be written but not deleted, or has a second name that the mark would not remove, a
// failed run empties it instead.
//
// While the mark is set nothing opens, finds, moves or asks about the image by its name: every
// open of a file whose delete mark is set fails with ERROR_ACCESS_DENIED, whatever it shares
// (CreateFile and DeleteFile, Remarks; MS-FSA 2.1.5.15.3 sets Link.IsDeleted, and the file then
// reports DeletePending, 2.1.5.12.27).
#include "platform.h"
#include "platform_win.h"

#include <fcntl.h>

// What the run did to the image it opened, and whether its handle's close removes it.
static image_run image_facts;
static bool image_marked = false;
// A second handle to the image, which outlives its stream, for a failed run to remove or empty it.
static HANDLE image_handle = nullptr;

// How many names the file has; 0 when it cannot be told. Read only while the run's mark is not set:
// under it NTFS counts that name out, so a file with one name shows none (MS-FSA 2.1.5.12.27).
static DWORD links_of(HANDLE file)
{
    BY_HANDLE_FILE_INFORMATION info{};
    return GetFileInformationByHandle(file, &info) ? info.nNumberOfLinks : 0;
}

// Sets or clears the mark that removes the file when its last handle closes; clearing it makes the
// name usable again (MS-FSA 2.1.5.15.3: DeletePending FALSE sets the link's IsDeleted back).
static bool mark_for_removal(HANDLE file, bool remove)
{
    FILE_DISPOSITION_INFO dispose{static_cast<BOOLEAN>(remove ? TRUE : FALSE)};
    return SetFileInformationByHandle(file, FileDispositionInfo, &dispose, sizeof dispose) != 0;
}

static void empty_by_handle(HANDLE file)
{
    LARGE_INTEGER start{};
    if (SetFilePointerEx(file, start, nullptr, FILE_BEGIN))
        (void)SetEndOfFile(file);
}

// Opens the image without emptying it, with others denied writing or deleting it, so that no
// other run writes it meanwhile. DELETE access where it is granted, so that the handle can remove
// it; created says whether this run made it.
static HANDLE open_image_handle(const wchar_t *wide, bool *created)
{
    const DWORD wanted[] = {GENERIC_WRITE | DELETE, GENERIC_WRITE};
    for (const DWORD access : wanted) {
        HANDLE file = CreateFileW(wide, access, FILE_SHARE_READ, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        *created = file != INVALID_HANDLE_VALUE;
        const DWORD error = GetLastError();
        if (!*created && (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS))
            file = CreateFileW(wide, access, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE)
            return file;
        // A reader that does not share deleting, or a file that may be written but not deleted.
        const DWORD why = GetLastError();
        if (why != ERROR_ACCESS_DENIED && why != ERROR_SHARING_VIOLATION)
            break;
    }
    return INVALID_HANDLE_VALUE;
}

// The stream over the image's open handle, with the run's state set; nullptr, with the handle
// closed, for a device or the software file itself. A device opens whatever the disposition, so
// it never counts as created. A new file is marked at once, so that every way out removes it.
static std::FILE *adopt_image(HANDLE file, bool created, std::FILE *p_sw_file)
{
    if (!usable_type(file)) {
        CloseHandle(file);
        return nullptr;
    }
    const bool disk = GetFileType(file) == FILE_TYPE_DISK;
    image_facts = {};
    image_facts.on_disk = disk;
    image_facts.created = disk && created;
    image_marked = disk && created && mark_for_removal(file, true);
    if (disk && (!other_than_software(file, handle_of(p_sw_file), created) ||
                 !DuplicateHandle(GetCurrentProcess(), file, GetCurrentProcess(), &image_handle, 0,
                                  FALSE, DUPLICATE_SAME_ACCESS))) {
        image_handle = nullptr;
        CloseHandle(file);
        return nullptr;
    }
    std::FILE *p_img_file = stream_of(file, _O_WRONLY, "wb");
    if (p_img_file == nullptr && image_handle != nullptr) {
        CloseHandle(image_handle);
        image_handle = nullptr;
    }
    return p_img_file;
}

std::FILE *open_image(const char *name, std::FILE *p_sw_file)
{
    wchar_t wide[PATH_UNITS];
    bool created = false;
    if (wide_path(name, wide, PATH_UNITS) != 0)
        return nullptr;
    // From here Ctrl-C leaves the image to the run; one that came before leaves it unopened.
    set_run_phase(RUN_WRITING);
    if (interrupted() != 0) {
        set_run_phase(RUN_IDLE);
        return nullptr;
    }
    HANDLE file = open_image_handle(wide, &created);
    std::FILE *p_img_file = file != INVALID_HANDLE_VALUE ? adopt_image(file, created, p_sw_file) : nullptr;
    if (p_img_file == nullptr) {
        image_facts = {};
        image_marked = false;
        set_run_phase(RUN_IDLE);
    }
    return p_img_file;
}

// Marked first: an end of the process between the two steps then removes what was to be emptied.
// A file with a second name is not marked, for the mark would remove this name only.
int empty_image(std::FILE *p_img_file)
{
    HANDLE file = handle_of(p_img_file);
    if (!image_facts.on_disk)
        return 0;
    const bool mark_here = !image_marked && links_of(file) == 1;
    if (mark_here && mark_for_removal(file, true))
        image_marked = true;
    if (!SetEndOfFile(file)) {
        // Not emptied, so left as it was, under its name.
        if (mark_here && image_marked && mark_for_removal(file, false))
            image_marked = false;
        return -1;
    }
    image_facts.emptied = true;
    return 0;
}

// True when the name still leads to the open image: nobody renamed or replaced it meanwhile. A
// name that opens on a file system that tells no identity is taken to hold it: no other program
// may rename or remove the image while this run holds it without sharing its deletion.
static bool name_holds(HANDLE file, const char *name)
{
    wchar_t wide[PATH_UNITS];
    if (wide_path(name, wide, PATH_UNITS) != 0)
        return false;
    HANDLE named = CreateFileW(wide, FILE_READ_ATTRIBUTES,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (named == INVALID_HANDLE_VALUE)
        return false;
    const bool holds = same_file(named, file) != 0;
    CloseHandle(named);
    return holds;
}

// Keeps a written image. Its mark is cleared first, so that its name can be looked up; where the
// name no longer holds it, the failed run's close marks it again or empties it.
static bool keep_image(HANDLE file, const char *name)
{
    if (!image_facts.on_disk)
        return true;
    if (interrupted() != 0)
        return false;
    // Written out, whatever the drive, while the mark still removes a failed image. On a network
    // share fflush only fills the redirector's cache, whose later failure ("Delayed Write Failed")
    // nobody would see. DRIVE_FIXED is "a hard drive or flash drive" (GetDriveTypeW): an external
    // disk may defer its writes ("Better performance", the default before Windows 10 1809: Change
    // in default removal policy for external storage media), and fastfat defers them on any
    // hot-plug device (strucsup.c, FatCreateVcb: IOCTL_STORAGE_GET_HOTPLUG_INFO), then writes the
    // file out at its cleanup, whose failure never reaches CloseHandle (cleanup.c, FatCommonCleanup).
    if (!FlushFileBuffers(file))
        return false;
    if (image_marked) {
        if (!mark_for_removal(file, false))
            return false;
        image_marked = false;
    }
    return name_holds(file, name) && interrupted() == 0;
}

// Carries out what a failed run leaves of its image (end_of_image): the mark removes its one name
// when the handle closes; an image with another name is emptied, and so is one that may be written
// but not deleted. A marked image has one name; an unmarked one's names are counted, with no mark
// to hide this one.
static void discard_image(HANDLE own)
{
    image_run run = image_facts;
    run.one_name = image_marked || (run.on_disk && links_of(own) == 1);
    switch (end_of_image(run)) {
    case image_end::leave:
        // An old image that could not be emptied keeps its content, and its name.
        if (image_marked)
            (void)mark_for_removal(own, false);
        break;
    case image_end::remove:
        if (!image_marked && !mark_for_removal(own, true))
            empty_by_handle(own);
        break;
    case image_end::empty:
        empty_by_handle(own);
        break;
    case image_end::keep:
        break;
    }
}

// The stream's last bytes go out while Ctrl-C may still cut a write short (a pipe that nobody
// reads); from then on nothing does. A failed image is dealt with through the handle of its own
// that outlives the stream.
int close_image(std::FILE *p_img_file, const char *name, bool keep)
{
    HANDLE file = handle_of(p_img_file);
    const bool flushed = std::fflush(p_img_file) == 0 && std::ferror(p_img_file) == 0;
    set_run_phase(RUN_CLOSING);
    bool kept = keep && flushed && keep_image(file, name);
    if (std::fclose(p_img_file) != 0)
        kept = false;
    if (image_handle != nullptr) {
        if (!kept)
            discard_image(image_handle);
        CloseHandle(image_handle);
        image_handle = nullptr;
    }
    image_facts = {};
    image_marked = false;
    set_run_phase(RUN_IDLE);
    return kept ? 0 : -1;
}
