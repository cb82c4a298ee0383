// What the scan engine needs from the operating system. One implementation over
// kernel32 (win32/), one over POSIX calls (posix/). The restart list has an interface
// of its own, platform/restart_list.h.
#pragma once

#include <cstddef>
#include <cstdint>

typedef intptr_t PlatFile;
const PlatFile PLAT_NO_FILE = -1;

// Existing file, read only; others may read it but not write it meanwhile. `size`,
// when given, receives the file's size.
PlatFile PlatOpenRead(const char* path, int64_t* size = nullptr);
struct PlatDirEntry;
// Existing file, read only, for detection, which only reads and may run beside another
// process that cleans: it does not ask others to share the file with it (PlatOpenRead
// does, before cleaning), and lets them write it meanwhile.
// `listed`, when given, is the file's entry in the listing still open: a regular file is
// then not asked its type again and is opened by its name in that folder.
PlatFile PlatOpenToDetect(const char* path, const PlatDirEntry* listed);
// The size of an open file, or -1.
int64_t PlatFileSize(PlatFile file);
// New or emptied file for reading and writing, normal attributes; others may read it
// but not change it.
PlatFile PlatCreateWork(const char* path);
// PlatCreateWork, filled with a copy of `from`, and kept open: nothing but this handle
// changes the copy until it is finished. PLAT_NO_FILE when the copy cannot be made
// whole; nothing is left under `to` then.
PlatFile PlatCopyToWork(const char* from, const char* to);
void PlatClose(PlatFile file);

// Reads up to `count` bytes at `offset` from the start; returns the count read
// (0 when positioning or reading failed). Fewer bytes than asked means the end of the
// file was reached.
int32_t PlatReadAt(PlatFile file, int64_t offset, void* buffer, int32_t count);
// Writes all `count` bytes in one call; true only if every byte was written.
bool PlatWriteAll(PlatFile file, const void* data, uint32_t count);
// Cuts the last `count` bytes off the file.
bool PlatCutTail(PlatFile file, int32_t count);
// Makes what was written through `file` durable: a power cut leaves it whole.
bool PlatFlushFile(PlatFile file);

// Copies `from` to `to`, replacing `to`; true only for a full copy.
bool PlatCopyFile(const char* from, const char* to);

// What a file's attributes are beside its content: read-only, hidden, system and
// archive on Windows; permissions and owner on POSIX, and NTFS's DOS attributes where
// the file system has them.
struct PlatAttributes {
    uint32_t bits;
    uint32_t owner;
    uint32_t group;
};
bool PlatGetAttributes(const char* path, PlatAttributes* attributes);
// Gives the file these attributes (best effort).
void PlatSetAttributes(const char* path, const PlatAttributes& attributes);
// Clears read-only, hidden and system attributes (best effort).
void PlatSetNormalAttributes(const char* path);

// Deletes now; fails for a file in use.
bool PlatDeleteFile(const char* path);
// True when nothing of that name exists any more (an entry that vanished after it was
// listed); false when it exists or cannot be told.
bool PlatIsGone(const char* path);
// True when both paths name the same existing file.
bool PlatIsSameFile(const char* first, const char* second);
// Renames now, durably (the folder is synced, or the rename written through); never
// replaces an existing destination. False when the rename, or making it durable, failed.
bool PlatRenameFile(const char* from, const char* to);
// Makes the deletions and creations in the folder of `path` durable, where the system
// lets a program ask for that.
void PlatSyncFolder(const char* path);

// One process at a time changes files on this system, whichever program of ours it
// runs: the lock waits for the one that holds it. False when it cannot be had.
bool PlatLockFileChanges();
void PlatUnlockFileChanges();

// The longest path of a file, and of a folder to list, that the platform reaches
// (259 and 255 on Windows, no limit on POSIX); longer paths are left alone.
size_t PlatMaxPathLength();
size_t PlatMaxFolderPathLength();

// An executable loaded as data, for the resource that holds its host.
struct PlatImage;
// Null when the file is not a loadable 32-bit Windows image.
PlatImage* PlatLoadImage(const char* path);
enum PlatResourceLookup {
    PLAT_RESOURCE_FOUND,
    PLAT_RESOURCE_NONE,    // the image has no such resource
    PLAT_RESOURCE_BROKEN,  // it is there, but cannot be had whole (e.g. it runs past the file)
};
// The bytes and size of the resource with the integer name `name` of type `type`.
PlatResourceLookup PlatFindResource(PlatImage* image, uint16_t type, uint16_t name,
                                    const unsigned char** data, uint32_t* size);
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
    bool isUnreachable;    // its name cannot be given exactly; `name` stands for it in reports
    PlatListing* listing;  // the listing the entry comes from, or null
};
// Starts listing `directory` (the root when it is empty); null when that fails.
PlatListing* PlatListFirst(const char* directory, PlatDirEntry* entry);
bool PlatListNext(PlatListing* listing, PlatDirEntry* entry);
void PlatListClose(PlatListing* listing);

// Whether the system keeps the SSE registers across task switches (the Windows 95
// family before Windows 98 does not), so that code may use them.
bool PlatSystemSavesVectorRegisters();
