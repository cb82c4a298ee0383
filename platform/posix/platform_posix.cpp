// The host's file system on Linux (see posix_platform.h). The tree may hold symbolic
// links planted to reach files outside it: none is ever followed.
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <utility>

#include "platform/platform.h"
#include "platform/posix/long_path.h"
#include "platform/posix/pe_resource.h"
#include "platform/posix/posix_platform.h"

namespace {

const int kOpenFlags = PosixPlatform::kOpenFlags;

int Fd(PlatFile file) {
    return static_cast<int>(file);
}

int OpenPath(const char* path, int flags, mode_t mode = 0) {
    AtPath at(path);
    return openat(at.Folder(), at.Name(), flags, mode);
}

bool StatPath(const char* path, struct stat* st, int flags) {
    AtPath at(path);
    return fstatat(at.Folder(), at.Name(), st, flags) == 0;
}

// Opens `path` and takes the lock; PLAT_NO_FILE when either fails. Only regular
// files are opened: a pipe or a device is never read.
PlatFile OpenLocked(const char* path, int flags, int lock, int64_t* size = nullptr) {
    int fd = OpenPath(path, flags | kOpenFlags, 0666);
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
    int fd = OpenPath(path, O_RDONLY | kOpenFlags);
    if (fd < 0) return errno != ELOOP;
    bool isFree = flock(fd, LOCK_EX | LOCK_NB) == 0;
    close(fd);
    return isFree;
}

// Copies the data of `source` to `target`, skipping holes: a sparse file stays sparse.
bool CopyData(int source, int target) {
    off_t size = lseek(source, 0, SEEK_END);
    if (size < 0 || ftruncate(target, size) != 0) return false;
    char buffer[65536];
    off_t at = 0;
    while (at < size) {
        off_t data = lseek(source, at, SEEK_DATA);
        if (data < 0) return errno == ENXIO;  // nothing but a hole up to the end
        off_t hole = lseek(source, data, SEEK_HOLE);
        if (hole < 0) return false;
        for (at = data; at < hole;) {
            ssize_t got =
                pread(source, buffer, size_t(std::min<off_t>(hole - at, sizeof buffer)), at);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0 || pwrite(target, buffer, size_t(got), at) != got) return false;
            at += got;
        }
    }
    return true;
}

// NTFS keeps a file's DOS attributes in this extended attribute, big-endian (ntfs-3g,
// and the kernel's ntfs3). Those that Windows keeps (read-only 0x1, hidden 0x2, system
// 0x4, archive 0x20) travel in PlatAttributes::bits above the permissions, with a bit
// that tells they were there.
const char kDosAttributeName[] = "system.ntfs_attrib_be";
const uint32_t kKeptDosAttributes = 0x27;
const uint32_t kDosNormal = 0x80;  // stands alone for "none of them"
const int kDosShift = 16;
const uint32_t kHasDosAttributes = 1u << 31;

bool GetDosAttributes(int fd, uint32_t* value) {
    unsigned char bytes[4];
    if (fgetxattr(fd, kDosAttributeName, bytes, sizeof bytes) != sizeof bytes) return false;
    *value =
        uint32_t(bytes[0]) << 24 | uint32_t(bytes[1]) << 16 | uint32_t(bytes[2]) << 8 | bytes[3];
    return true;
}

// Gives the file these kept attributes, where it has DOS attributes; the others
// (sparse, compressed, ...) stay.
void SetKeptDosAttributes(int fd, uint32_t kept) {
    uint32_t old;
    if (!GetDosAttributes(fd, &old)) return;
    uint32_t value = (old & ~(kKeptDosAttributes | kDosNormal)) | (kept & kKeptDosAttributes);
    if (value == (old & ~kDosNormal)) return;
    unsigned char bytes[4] = {
        static_cast<unsigned char>(value >> 24), static_cast<unsigned char>(value >> 16),
        static_cast<unsigned char>(value >> 8), static_cast<unsigned char>(value)};
    fsetxattr(fd, kDosAttributeName, bytes, sizeof bytes, 0);
}

}  // namespace

PlatFile PosixPlatform::OpenRead(const char* path, int64_t* size) {
    return OpenLocked(path, O_RDONLY, LOCK_SH, size);
}

int64_t PosixPlatform::FileSize(PlatFile file) {
    struct stat st;
    return fstat(Fd(file), &st) == 0 ? st.st_size : -1;
}

// The work file is always a new file. What stands under its name is removed first: a
// regular file that nobody uses, or a symbolic link (the link itself, never what it
// points to); anything else (a folder, a file in use) is refused.
PlatFile PosixPlatform::CreateWork(const char* path) {
    PlatFile file = OpenLocked(path, O_RDWR | O_CREAT | O_EXCL, LOCK_EX);
    if (file != PLAT_NO_FILE || errno != EEXIST) return file;
    struct stat st;
    if (!StatPath(path, &st, AT_SYMLINK_NOFOLLOW)) return PLAT_NO_FILE;
    bool removable = S_ISLNK(st.st_mode) || (S_ISREG(st.st_mode) && IsFree(path));
    AtPath at(path);
    if (!removable || unlinkat(at.Folder(), at.Name(), 0) != 0) return PLAT_NO_FILE;
    return OpenLocked(path, O_RDWR | O_CREAT | O_EXCL, LOCK_EX);
}

void PosixPlatform::Close(PlatFile file) {
    close(Fd(file));
}

// A regular file gives every byte it has in one call, so a short read is its end.
int32_t PosixPlatform::ReadAt(PlatFile file, int64_t offset, void* buffer, int32_t count) {
    ssize_t got;
    do {
        got = pread(Fd(file), buffer, size_t(count), off_t(offset));
    } while (got < 0 && errno == EINTR);
    return got < 0 ? 0 : int32_t(got);
}

bool PosixPlatform::WriteAll(PlatFile file, const void* data, uint32_t count) {
    ssize_t written = write(Fd(file), data, count);
    return written >= 0 && size_t(written) == count;
}

bool PosixPlatform::CutTail(PlatFile file, int32_t count) {
    int64_t size = FileSize(file);
    return size >= count && ftruncate(Fd(file), size - count) == 0;
}

bool PosixPlatform::FlushFile(PlatFile file) {
    return fsync(Fd(file)) == 0;
}

PlatFile PosixPlatform::CopyToWork(const char* from, const char* to) {
    PlatFile source = OpenRead(from);
    if (source == PLAT_NO_FILE) return PLAT_NO_FILE;
    PlatFile target = CreateWork(to);
    bool copied = target != PLAT_NO_FILE && CopyData(Fd(source), Fd(target));
    Close(source);
    if (copied || target == PLAT_NO_FILE) return target;
    Close(target);
    AtPath at(to);
    unlinkat(at.Folder(), at.Name(), 0);
    return PLAT_NO_FILE;
}

bool PosixPlatform::Copy(const char* from, const char* to) {
    PlatFile copy = CopyToWork(from, to);
    if (copy == PLAT_NO_FILE) return false;
    Close(copy);
    return true;
}

bool PosixPlatform::GetAttributes(const char* path, PlatAttributes* attributes) {
    struct stat st;
    if (!StatPath(path, &st, AT_SYMLINK_NOFOLLOW) || !S_ISREG(st.st_mode)) return false;
    *attributes = {uint32_t(st.st_mode & 07777), uint32_t(st.st_uid), uint32_t(st.st_gid)};
    int fd = OpenPath(path, O_RDONLY | kOpenFlags);
    uint32_t dos;
    if (fd >= 0 && GetDosAttributes(fd, &dos))
        attributes->bits |= kHasDosAttributes | (dos & kKeptDosAttributes) << kDosShift;
    if (fd >= 0) close(fd);
    return true;
}

// The owner first: a change of owner clears the set-user-ID bits. The DOS attributes
// last: a driver may take the permissions for read-only (ntfs3 does).
void PosixPlatform::SetAttributes(const char* path, const PlatAttributes& attributes) {
    int fd = OpenPath(path, O_RDONLY | kOpenFlags);
    if (fd < 0) return;
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        if (st.st_uid != attributes.owner || st.st_gid != attributes.group)
            (void)!fchown(fd, attributes.owner, attributes.group);
        fchmod(fd, attributes.bits & 07777);
        if (attributes.bits & kHasDosAttributes)
            SetKeptDosAttributes(fd, attributes.bits >> kDosShift);
    }
    close(fd);
}

// Read-only is the only attribute POSIX has: give the owner write permission. Under
// ntfs-3g NTFS's read-only keeps no file from being written, renamed or deleted, so the
// DOS attributes are left alone (a repair given up leaves them as they were).
void PosixPlatform::SetNormalAttributes(const char* path) {
    int fd = OpenPath(path, O_RDONLY | kOpenFlags);
    if (fd < 0) return;
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) fchmod(fd, (st.st_mode & 07777) | S_IWUSR);
    close(fd);
}

bool PosixPlatform::Remove(const char* path) {
    if (!IsFree(path)) return false;
    AtPath at(path);
    return unlinkat(at.Folder(), at.Name(), 0) == 0;
}

bool PosixPlatform::IsGone(const char* path) {
    AtPath at(path);
    struct stat st;
    if (at.Error()) return at.Error() == ENOENT;
    return fstatat(at.Folder(), at.Name(), &st, AT_SYMLINK_NOFOLLOW) != 0 && errno == ENOENT;
}

bool PosixPlatform::IsSameFile(const char* first, const char* second) {
    struct stat a, b;
    return StatPath(first, &a, 0) && StatPath(second, &b, 0) && a.st_dev == b.st_dev &&
           a.st_ino == b.st_ino;
}

bool PosixPlatform::Rename(const char* from, const char* to) {
    return IsFree(from) && RenameNoReplace(from, to) && SyncFolderOf(to);
}

void PosixPlatform::SyncFolder(const char* path) {
    SyncFolderOf(path);
}

size_t PosixPlatform::MaxPathLength() {
    return SIZE_MAX;
}

size_t PosixPlatform::MaxFolderPathLength() {
    return SIZE_MAX;
}

namespace {

struct MappedImage : PlatImage {
    MappedImage(void* bytes, size_t length) : mapping(bytes), size(length) {}
    void* mapping;
    size_t size;
};

MappedImage& Mapped(PlatImage* image) {
    return *static_cast<MappedImage*>(image);
}

}  // namespace

PlatImage* PosixPlatform::LoadExecutable(const char* path) {
    int64_t size = 0;
    PlatFile file = OpenRead(path, &size);
    if (file == PLAT_NO_FILE) return nullptr;
    void* mapping =
        size > 0 ? mmap(nullptr, size_t(size), PROT_READ, MAP_PRIVATE, Fd(file), 0) : MAP_FAILED;
    Close(file);
    if (mapping == MAP_FAILED) return nullptr;
    MappedImage* image = new MappedImage(mapping, size_t(size));
    // Any lookup tells whether the headers make an image.
    size_t offset = 0;
    uint32_t length = 0;
    if (FindPeResource(static_cast<const unsigned char*>(mapping), image->size, 0, 0, &offset,
                       &length) == PE_NOT_IMAGE) {
        UnloadExecutable(image);
        return nullptr;
    }
    return image;
}

PlatResourceLookup PosixPlatform::FindResourceData(PlatImage* image, uint16_t type, uint16_t name,
                                                   const unsigned char** data, uint32_t* size) {
    const unsigned char* bytes = static_cast<const unsigned char*>(Mapped(image).mapping);
    return FindResourceIn(bytes, Mapped(image).size, type, name, data, size);
}

void PosixPlatform::UnloadExecutable(PlatImage* image) {
    munmap(Mapped(image).mapping, Mapped(image).size);
    delete image;
}

namespace {

struct FolderListing : PlatListing {
    FolderListing(DIR* opened, int fd) : dir(opened), dirFd(fd) {}
    DIR* dir;
    int dirFd;
};

bool ReadEntry(FolderListing* listing, PlatDirEntry* entry) {
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
    entry->isUnreachable = false;
    entry->listing = listing;
    return true;
}

}  // namespace

// Opening by the name in the folder spares the kernel the walk along the whole path.
// No lock is taken: a lock, however short, would make the file look in use to another
// process that cleans it just then.
PlatFile PosixPlatform::OpenToDetect(const char* path, const PlatDirEntry* listed) {
    const int flags = O_RDONLY | kOpenFlags;
    bool byName = listed && listed->isFile && listed->listing;
    int fd = byName
                 ? openat(static_cast<FolderListing*>(listed->listing)->dirFd, listed->name, flags)
                 : OpenPath(path, flags);
    struct stat st;
    if (fd >= 0 && !(listed && listed->isFile) && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
        close(fd);
        return PLAT_NO_FILE;
    }
    return fd < 0 ? PLAT_NO_FILE : fd;
}

PlatListing* PosixPlatform::ListFirst(const char* directory, PlatDirEntry* entry) {
    int fd = OpenPath(*directory ? directory : "/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* dir = fd >= 0 ? fdopendir(fd) : nullptr;
    if (!dir) {
        if (fd >= 0) close(fd);
        return nullptr;
    }
    FolderListing* listing = new FolderListing(dir, fd);
    if (!ReadEntry(listing, entry)) {
        ListClose(listing);
        return nullptr;
    }
    return listing;
}

bool PosixPlatform::ListNext(PlatListing* listing, PlatDirEntry* entry) {
    return ReadEntry(static_cast<FolderListing*>(listing), entry);
}

void PosixPlatform::ListClose(PlatListing* listing) {
    closedir(static_cast<FolderListing*>(listing)->dir);
    delete listing;
}

PosixPlatform::PosixPlatform(std::string restartList) : m_restartList(std::move(restartList)) {}

PosixPlatform::~PosixPlatform() {
    UnlockFileChanges();
}

bool PlatSystemSavesVectorRegisters() {
    return true;
}
