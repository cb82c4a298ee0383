// What the scan engine needs from the operating system. One implementation over
// kernel32 (win32/), one over POSIX calls (posix/).
#pragma once

#include <cstddef>
#include <cstdint>

typedef intptr_t PlatFile;
const PlatFile PLAT_NO_FILE = -1;

// Existing file, read only; others may read it but not write it meanwhile. `size`,
// when given, receives the file's size.
PlatFile PlatOpenRead(const char* path, int64_t* size = nullptr);
struct PlatDirEntry;
// Existing file, read only, for detection, which only reads: others are not asked to
// share it (see PlatMayShareRead). `listed`, when given, is the file's entry in the
// listing still open: a regular file is then not asked its type again and is opened
// by its name in that folder.
PlatFile PlatOpenToDetect(const char* path, const PlatDirEntry* listed);
// Whether others let the file be read as PlatOpenRead asks; asked only before cleaning.
bool PlatMayShareRead(PlatFile file);
// The size of an open file, or -1.
int64_t PlatFileSize(PlatFile file);
// New or emptied file for reading and writing, not shared, normal attributes.
PlatFile PlatCreateWork(const char* path);
// Existing file for reading and writing, not shared.
PlatFile PlatOpenReadWrite(const char* path);
void PlatClose(PlatFile file);

// Reads up to `count` bytes at `offset` from the start; returns the count read
// (0 when positioning or reading failed). Fewer bytes than asked means the end of the
// file was reached.
int32_t PlatReadAt(PlatFile file, int32_t offset, void* buffer, int32_t count);
// Reads the last `count` bytes; returns 0 when the file is shorter or reading failed.
int32_t PlatReadLast(PlatFile file, void* buffer, int32_t count);
// Writes all `count` bytes in one call; true only if every byte was written.
bool PlatWriteAll(PlatFile file, const void* data, uint32_t count);
// Cuts the last `count` bytes off the file.
bool PlatCutTail(PlatFile file, int32_t count);

// Copies `from` to `to`, replacing `to`; true only for a full copy.
bool PlatCopyFile(const char* from, const char* to);
// Clears read-only, hidden and system attributes (best effort).
void PlatSetNormalAttributes(const char* path);
// Deletes now; fails for a file in use.
bool PlatDeleteFile(const char* path);
// True when nothing of that name exists any more (an entry that vanished after it was
// listed); false when it exists or cannot be told.
bool PlatIsGone(const char* path);
// True when both paths name the same existing file.
bool PlatIsSameFile(const char* first, const char* second);
// Renames now; never replaces an existing destination.
bool PlatRenameFile(const char* from, const char* to);

// Restart list: operations carried out, in the order added, at the next start. An
// operation already on the list is not added again, so two runs before a restart
// schedule it once. False when the list could not be read or written whole.
bool PlatScheduleDelete(const char* path);
bool PlatScheduleRename(const char* from, const char* to);
// Takes the scheduled deletion of `path` off the list again; false when it cannot.
bool PlatUnscheduleDelete(const char* path);

// The longest path the platform opens (259 on Windows); longer paths are left alone.
size_t PlatMaxPathLength();

// An executable loaded as data, for its host resource.
struct PlatImage;
// Null when the file is not a loadable 32-bit Windows image.
PlatImage* PlatLoadImage(const char* path);
enum PlatHostLookup {
    PLAT_HOST_FOUND,
    PLAT_HOST_NONE,    // there is no resource 102 of type 10
    PLAT_HOST_BROKEN,  // it is there, but cannot be had whole (e.g. it runs past the file)
};
// The bytes and size of resource 102 of type 10.
PlatHostLookup PlatFindHostResource(PlatImage* image, const unsigned char** data, uint32_t* size);
void PlatUnloadImage(PlatImage* image);

// Directory listing: every entry, "." and ".." included, in the file system's order.
#ifdef _WIN32
const char PLAT_PATH_SEPARATOR = '\\';
#else
const char PLAT_PATH_SEPARATOR = '/';
#endif

struct PlatListing;
struct PlatDirEntry {
    const char* name;  // valid until the next call on the listing
    bool isDirectory;
    bool isFile;           // a regular file: neither a directory nor a device, pipe or socket
    bool isLink;           // a symbolic link: never followed, scanned or changed
    PlatListing* listing;  // the listing the entry comes from, or null
};
// Starts listing `directory` (the root when it is empty); null when that fails.
PlatListing* PlatListFirst(const char* directory, PlatDirEntry* entry);
bool PlatListNext(PlatListing* listing, PlatDirEntry* entry);
void PlatListClose(PlatListing* listing);

// Whether the system keeps the SSE registers across task switches (the Windows 95
// family before Windows 98 does not), so that code may use them.
bool PlatSystemSavesVectorRegisters();
