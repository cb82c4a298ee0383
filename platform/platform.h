// What the scan engine needs from a file system, with its restart list: one
// implementation over kernel32 (win32/), one over POSIX calls (posix/), and the volumes
// inside disk images (image/). A front end makes the ones it scans and hands each to
// the engine (engine/engine.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/restart_list.h"

typedef intptr_t PlatFile;
const PlatFile PLAT_NO_FILE = -1;

#ifdef _WIN32
const char PLAT_PATH_SEPARATOR = '\\';
#else
const char PLAT_PATH_SEPARATOR = '/';
#endif

// What a file's attributes are beside its content: read-only, hidden, system and
// archive on Windows; permissions and owner on POSIX, and NTFS's DOS attributes where
// the file system has them.
struct PlatAttributes {
    uint32_t bits;
    uint32_t owner;
    uint32_t group;
};

// An executable loaded as data, for the resource that holds its host; each platform
// has its own kind.
struct PlatImage {
    virtual ~PlatImage() = default;
};
enum PlatResourceLookup {
    PLAT_RESOURCE_FOUND,
    PLAT_RESOURCE_NONE,    // the image has no such resource
    PLAT_RESOURCE_BROKEN,  // it is there, but cannot be had whole (e.g. it runs past the file)
};

// A directory listing under way; each platform has its own kind.
struct PlatListing {
    virtual ~PlatListing() = default;
};
struct PlatDirEntry {
    const char* name;  // valid until the next call on the listing
    bool isDirectory;
    bool isFile;           // a regular file: neither a directory nor a device, pipe or socket
    bool isLink;           // a symbolic link: never followed, scanned or changed
    bool isUnreachable;    // its name cannot be given exactly; `name` stands for it in reports
    PlatListing* listing;  // the listing the entry comes from, or null
};

class Platform {
  public:
    virtual ~Platform() = default;

    // --- files ------------------------------------------------------------------

    // Existing file, read only; others may read it but not write it meanwhile. `size`,
    // when given, receives the file's size.
    virtual PlatFile OpenRead(const char* path, int64_t* size = nullptr) = 0;
    // Existing file, read only, for detection, which only reads and may run beside
    // another process that cleans: it does not ask others to share the file with it
    // (OpenRead does, before cleaning), and lets them write it meanwhile. `listed`,
    // when given, is the file's entry in the listing still open: a regular file is then
    // not asked its type again and is opened by its name in that folder. May be called
    // from several threads at once.
    virtual PlatFile OpenToDetect(const char* path, const PlatDirEntry* listed) = 0;
    // The size of an open file, or -1.
    virtual int64_t FileSize(PlatFile file) = 0;
    // New or emptied file for reading and writing, normal attributes; others may read
    // it but not change it.
    virtual PlatFile CreateWork(const char* path) = 0;
    // CreateWork, filled with a copy of `from`, and kept open: nothing but this handle
    // changes the copy until it is finished. PLAT_NO_FILE when the copy cannot be made
    // whole; nothing is left under `to` then.
    virtual PlatFile CopyToWork(const char* from, const char* to) = 0;
    virtual void Close(PlatFile file) = 0;
    // Reads up to `count` bytes at `offset` from the start; returns the count read (0
    // when positioning or reading failed). Fewer bytes than asked means the end of the
    // file was reached.
    virtual int32_t ReadAt(PlatFile file, int64_t offset, void* buffer, int32_t count) = 0;
    // Writes all `count` bytes in one call; true only if every byte was written.
    virtual bool WriteAll(PlatFile file, const void* data, uint32_t count) = 0;
    // Cuts the last `count` bytes off the file.
    virtual bool CutTail(PlatFile file, int32_t count) = 0;
    // Makes what was written through `file` durable: a power cut leaves it whole.
    virtual bool FlushFile(PlatFile file) = 0;
    // Copies `from` to `to`, replacing `to`; true only for a full copy.
    virtual bool Copy(const char* from, const char* to) = 0;

    virtual bool GetAttributes(const char* path, PlatAttributes* attributes) = 0;
    // Gives the file these attributes (best effort).
    virtual void SetAttributes(const char* path, const PlatAttributes& attributes) = 0;
    // Clears read-only, hidden and system attributes (best effort).
    virtual void SetNormalAttributes(const char* path) = 0;

    // Deletes now; fails for a file in use.
    virtual bool Remove(const char* path) = 0;
    // True when nothing of that name exists any more (an entry that vanished after it
    // was listed); false when it exists or cannot be told.
    virtual bool IsGone(const char* path) = 0;
    // True when both paths name the same existing file.
    virtual bool IsSameFile(const char* first, const char* second) = 0;
    // Renames now, durably (the folder is synced, or the rename written through); never
    // replaces an existing destination. False when the rename, or making it durable,
    // failed.
    virtual bool Rename(const char* from, const char* to) = 0;
    // Makes the deletions and creations in the folder of `path` durable, where the
    // system lets a program ask for that.
    virtual void SyncFolder(const char* path) = 0;

    // One process at a time changes files here, whichever program of ours it runs: the
    // lock waits for the one that holds it. False when it cannot be had.
    virtual bool LockFileChanges() = 0;
    virtual void UnlockFileChanges() = 0;
    // Whether changes made under the lock, and reported done, did not reach the disk when
    // it was let go (a platform that keeps them until then: a disk image). Every later
    // change then fails.
    virtual bool LostChanges() { return false; }

    // The longest path of a file, and of a folder to list, that the platform reaches
    // (259 and 255 on Windows, no limit on POSIX); longer paths are left alone.
    virtual size_t MaxPathLength() = 0;
    virtual size_t MaxFolderPathLength() = 0;

    // Null when the file is not a loadable 32-bit Windows image.
    virtual PlatImage* LoadExecutable(const char* path) = 0;
    // The bytes and size of the resource with the integer name `name` of type `type`.
    virtual PlatResourceLookup FindResourceData(PlatImage* image, uint16_t type, uint16_t name,
                                                const unsigned char** data, uint32_t* size) = 0;
    virtual void UnloadExecutable(PlatImage* image) = 0;

    // Directory listing: every entry, "." and ".." included, in the file system's
    // order. Starts listing `directory` (the root when it is empty); null when that
    // fails.
    virtual PlatListing* ListFirst(const char* directory, PlatDirEntry* entry) = 0;
    virtual bool ListNext(PlatListing* listing, PlatDirEntry* entry) = 0;
    virtual void ListClose(PlatListing* listing) = 0;

    // --- the restart list: file operations that the system carries out at its next
    // start, in the order they stand, before programs run. The engine reads and
    // changes it only whole. Files are named as the list stores them. -----------------

    // Reads the whole list; a missing list is empty. False when it cannot be read whole.
    virtual bool ReadRestartList(std::vector<RestartEntry>* entries) = 0;
    // Whether the list can be written now; false where it is only read (a disk image's
    // list seen from another volume, or a hive whose log waits): the engine then changes
    // no file that has entries of its own waiting.
    virtual bool CanWriteRestartList() { return true; }
    // Puts `entries` in the list's place, whole or not at all, and durably: once it
    // returns true, a power cut leaves the new list. Entries the program did not make
    // stay as they were read.
    virtual bool WriteRestartList(const std::vector<RestartEntry>& entries) = 0;
    // How the list names `path`.
    virtual std::string RestartListName(const char* path) = 0;
    // Whether two names as the list stores them name the same file.
    virtual bool IsSameRestartListName(const std::string& first, const std::string& second) = 0;
    // Whether the stored name `work` names the work file of the stored name `file`: the
    // file's name with ".cln" appended, beside it.
    virtual bool IsWorkFileName(const std::string& work, const std::string& file) = 0;
    // The path by which the program reaches the file a stored name stands for; false
    // when it has none.
    virtual bool PathOfRestartListName(const std::string& stored, std::string* path) = 0;
};

// Whether the system keeps the SSE registers across task switches (the Windows 95
// family before Windows 98 does not), so that code may use them.
bool PlatSystemSavesVectorRegisters();
