// POSIX implementation. Windows' sharing rules are mirrored with flock(): a file
// another process holds with a shared lock is "in use" (it cannot be deleted or
// renamed), one held with an exclusive lock cannot even be opened for reading.
// Nothing is ever opened, written, changed or deleted through a symbolic link: the
// tree may hold links planted to reach files outside it.
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "platform/platform.h"
#include "platform/posix/pe_resource.h"
#include "platform/posix/restart_list.h"

namespace {

int Fd(PlatFile file) {
    return static_cast<int>(file);
}

// Opens `path` and takes the lock; PLAT_NO_FILE when either fails. Only regular
// files are opened: a pipe or a device is never read.
PlatFile OpenLocked(const char* path, int flags, int lock, int64_t* size = nullptr) {
    int fd = open(path, flags | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW, 0666);
    if (fd < 0) return PLAT_NO_FILE;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || flock(fd, lock | LOCK_NB) != 0) {
        close(fd);
        return PLAT_NO_FILE;
    }
    if (size) *size = st.st_size;
    return fd;
}

// True when nobody else holds a lock on the file (or it cannot be opened to ask);
// false for a symbolic link, which is never changed.
bool IsFree(const char* path) {
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
    if (fd < 0) return errno != ELOOP;
    bool isFree = flock(fd, LOCK_EX | LOCK_NB) == 0;
    close(fd);
    return isFree;
}

}  // namespace

PlatFile PlatOpenRead(const char* path, int64_t* size) {
    return OpenLocked(path, O_RDONLY, LOCK_SH, size);
}

bool PlatMayShareRead(PlatFile file) {
    return flock(Fd(file), LOCK_SH | LOCK_NB) == 0;
}

int64_t PlatFileSize(PlatFile file) {
    struct stat st;
    return fstat(Fd(file), &st) == 0 ? st.st_size : -1;
}

// The work file is always a new file. What stands under its name is removed first: a
// regular file that nobody uses, or a symbolic link (the link itself, never what it
// points to); anything else (a folder, a file in use) is refused.
PlatFile PlatCreateWork(const char* path) {
    PlatFile file = OpenLocked(path, O_RDWR | O_CREAT | O_EXCL, LOCK_EX);
    if (file != PLAT_NO_FILE || errno != EEXIST) return file;
    struct stat st;
    if (lstat(path, &st) != 0) return PLAT_NO_FILE;
    bool removable = S_ISLNK(st.st_mode) || (S_ISREG(st.st_mode) && IsFree(path));
    if (!removable || unlink(path) != 0) return PLAT_NO_FILE;
    return OpenLocked(path, O_RDWR | O_CREAT | O_EXCL, LOCK_EX);
}

PlatFile PlatOpenReadWrite(const char* path) {
    return OpenLocked(path, O_RDWR, LOCK_EX);
}

void PlatClose(PlatFile file) {
    close(Fd(file));
}

// A regular file gives every byte it has in one call, so a short read is its end.
int32_t PlatReadAt(PlatFile file, int32_t offset, void* buffer, int32_t count) {
    ssize_t got;
    do {
        got = pread(Fd(file), buffer, size_t(count), off_t(offset));
    } while (got < 0 && errno == EINTR);
    return got < 0 ? 0 : int32_t(got);
}

int32_t PlatReadLast(PlatFile file, void* buffer, int32_t count) {
    int64_t size = PlatFileSize(file);
    if (size < count || size - count > INT32_MAX) return 0;
    return PlatReadAt(file, int32_t(size - count), buffer, count);
}

bool PlatWriteAll(PlatFile file, const void* data, uint32_t count) {
    ssize_t written = write(Fd(file), data, count);
    return written >= 0 && size_t(written) == count;
}

bool PlatCutTail(PlatFile file, int32_t count) {
    int64_t size = PlatFileSize(file);
    return size >= count && ftruncate(Fd(file), size - count) == 0;
}

bool PlatCopyFile(const char* from, const char* to) {
    PlatFile source = PlatOpenRead(from);
    if (source == PLAT_NO_FILE) return false;
    PlatFile target = PlatCreateWork(to);
    bool copied = target != PLAT_NO_FILE;
    char buffer[65536];
    while (copied) {
        ssize_t got = read(Fd(source), buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            copied = got == 0;
            break;
        }
        copied = PlatWriteAll(target, buffer, uint32_t(got));
    }
    PlatClose(source);
    if (target != PLAT_NO_FILE) PlatClose(target);
    if (!copied && target != PLAT_NO_FILE) unlink(to);
    return copied;
}

// Read-only is the only attribute POSIX has: give the owner write permission.
void PlatSetNormalAttributes(const char* path) {
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
    if (fd < 0) return;
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) fchmod(fd, (st.st_mode & 07777) | S_IWUSR);
    close(fd);
}

bool PlatDeleteFile(const char* path) {
    return IsFree(path) && unlink(path) == 0;
}

bool PlatIsGone(const char* path) {
    struct stat st;
    return lstat(path, &st) != 0 && errno == ENOENT;
}

bool PlatIsSameFile(const char* first, const char* second) {
    struct stat a, b;
    return stat(first, &a) == 0 && stat(second, &b) == 0 && a.st_dev == b.st_dev &&
           a.st_ino == b.st_ino;
}

bool PlatRenameFile(const char* from, const char* to) {
    return IsFree(from) && RenameNoReplace(from, to);
}

bool PlatScheduleDelete(const char* path) {
    return AddRestartEntry("NUL", path);
}

bool PlatScheduleRename(const char* from, const char* to) {
    return AddRestartEntry(to, from);
}

bool PlatUnscheduleDelete(const char* path) {
    return RemoveRestartEntry("NUL", path);
}

size_t PlatMaxPathLength() {
    return SIZE_MAX;
}

struct PlatImage {
    void* mapping;
    size_t size;
    PeLookup lookup;
    size_t offset;
    uint32_t length;
};

PlatImage* PlatLoadImage(const char* path) {
    int64_t size = 0;
    PlatFile file = PlatOpenRead(path, &size);
    if (file == PLAT_NO_FILE) return nullptr;
    void* mapping =
        size > 0 ? mmap(nullptr, size_t(size), PROT_READ, MAP_PRIVATE, Fd(file), 0) : MAP_FAILED;
    PlatClose(file);
    if (mapping == MAP_FAILED) return nullptr;
    PlatImage* image = new PlatImage{mapping, size_t(size), PE_NOT_IMAGE, 0, 0};
    image->lookup = FindPeResource(static_cast<const unsigned char*>(mapping), image->size, 10, 102,
                                   &image->offset, &image->length);
    if (image->lookup == PE_NOT_IMAGE) {
        PlatUnloadImage(image);
        return nullptr;
    }
    return image;
}

PlatHostLookup PlatFindHostResource(PlatImage* image, const unsigned char** data, uint32_t* size) {
    if (image->lookup == PE_NO_RESOURCE) return PLAT_HOST_NONE;
    if (image->lookup != PE_RESOURCE_FOUND) return PLAT_HOST_BROKEN;
    *data = static_cast<const unsigned char*>(image->mapping) + image->offset;
    *size = image->length;
    return PLAT_HOST_FOUND;
}

void PlatUnloadImage(PlatImage* image) {
    munmap(image->mapping, image->size);
    delete image;
}

struct PlatListing {
    DIR* dir;
    int dirFd;
};

namespace {

bool ReadEntry(PlatListing* listing, PlatDirEntry* entry) {
    dirent* next = readdir(listing->dir);
    if (!next) return false;
    entry->name = next->d_name;
    unsigned char type = next->d_type;
    if (type == DT_UNKNOWN) {
        struct stat st;
        bool known = fstatat(listing->dirFd, next->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0;
        type = !known                ? DT_UNKNOWN
               : S_ISDIR(st.st_mode) ? DT_DIR
               : S_ISREG(st.st_mode) ? DT_REG
               : S_ISLNK(st.st_mode) ? DT_LNK
                                     : DT_UNKNOWN;
    }
    entry->isDirectory = type == DT_DIR;
    entry->isFile = type == DT_REG;
    entry->isLink = type == DT_LNK;
    entry->listing = listing;
    return true;
}

}  // namespace

// Opening by the name in the folder spares the kernel the walk along the whole path.
PlatFile PlatOpenToDetect(const char* path, const PlatDirEntry* listed) {
    if (!listed || !listed->isFile) return PlatOpenRead(path);
    const int flags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW;
    int fd =
        listed->listing ? openat(listed->listing->dirFd, listed->name, flags) : open(path, flags);
    return fd < 0 ? PLAT_NO_FILE : fd;
}

PlatListing* PlatListFirst(const char* directory, PlatDirEntry* entry) {
    DIR* dir = opendir(*directory ? directory : "/");
    if (!dir) return nullptr;
    PlatListing* listing = new PlatListing{dir, dirfd(dir)};
    if (!ReadEntry(listing, entry)) {
        PlatListClose(listing);
        return nullptr;
    }
    return listing;
}

bool PlatListNext(PlatListing* listing, PlatDirEntry* entry) {
    return ReadEntry(listing, entry);
}

void PlatListClose(PlatListing* listing) {
    closedir(listing->dir);
    delete listing;
}

bool PlatSystemSavesVectorRegisters() {
    return true;
}
