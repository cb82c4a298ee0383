#include "platform/image/disk/image_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

// QEMU's lock bytes: the base plus the bit number of a permission.
constexpr off_t kPermissionBase = 100;
constexpr off_t kUnsharedBase = 200;
constexpr off_t kConsistentRead = 0, kWrite = 1, kResize = 3;

struct flock ByteLock(short type, off_t byte) {
    struct flock lock;
    memset(&lock, 0, sizeof lock);
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = byte;
    lock.l_len = 1;
    return lock;
}

bool LockByte(int fd, off_t byte) {
    struct flock lock = ByteLock(F_RDLCK, byte);
    return fcntl(fd, F_OFD_SETLK, &lock) == 0;
}

// Whether another open file description holds a lock on `byte`.
bool HeldByOthers(int fd, off_t byte) {
    struct flock lock = ByteLock(F_WRLCK, byte);
    return fcntl(fd, F_OFD_GETLK, &lock) != 0 || lock.l_type != F_UNLCK;
}

bool UsePermission(int fd, off_t permission) {
    return LockByte(fd, kPermissionBase + permission) &&
           !HeldByOthers(fd, kUnsharedBase + permission);
}

bool Unshare(int fd, off_t permission) {
    return LockByte(fd, kUnsharedBase + permission) &&
           !HeldByOthers(fd, kPermissionBase + permission);
}

// The tool reads consistently (and writes, when it writes), and lets nobody else write
// or resize the image meanwhile.
bool TakeQemuLocks(int fd, bool writing) {
    return UsePermission(fd, kConsistentRead) && (!writing || UsePermission(fd, kWrite)) &&
           Unshare(fd, kWrite) && Unshare(fd, kResize);
}

}  // namespace

std::unique_ptr<ImageLock> ImageLock::Take(const std::string& path, bool exclusive, bool qemuLocks,
                                           bool writing, std::string* error) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        *error = path + ": " + strerror(errno);
        return nullptr;
    }
    std::unique_ptr<ImageLock> lock(new ImageLock(fd));
    if (flock(fd, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0) {
        *error = path + (errno == EWOULDBLOCK
                             ? " is in use by another run of this tool, which holds its lock: "
                               "try again once that run has finished"
                             : std::string(": cannot lock it: ") + strerror(errno));
        return nullptr;
    }
    if (qemuLocks && !TakeQemuLocks(fd, writing)) {
        *error = path +
                 " is in use by another program: a running QEMU (or one of its tools) "
                 "holds the image's lock";
        return nullptr;
    }
    return lock;
}

ImageLock::~ImageLock() {
    close(m_fd);
}
