#include "platform/posix/long_path.h"

#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace {

const int kFolderFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;

// Opens `folder` from `fd` (which it closes) in parts shorter than PATH_MAX, each
// ending at a separator; -1 when a part cannot be opened.
int OpenInParts(int fd, const std::string& folder) {
    size_t at = 0;
    while (fd >= 0 && at < folder.size()) {
        size_t end = folder.size();
        if (end - at >= PATH_MAX) {
            end = folder.rfind('/', at + PATH_MAX - 1);
            if (end == std::string::npos || end <= at) {
                close(fd);
                errno = ENAMETOOLONG;
                return -1;
            }
        }
        int next = openat(fd, folder.substr(at, end - at).c_str(), kFolderFlags);
        int error = errno;
        close(fd);
        errno = error;
        fd = next;
        at = end + 1;
    }
    return fd;
}

}  // namespace

AtPath::AtPath(const char* path) : m_folder(AT_FDCWD), m_name(path), m_error(0) {
    size_t length = strlen(path);
    if (length < PATH_MAX) return;
    const char* slash = strrchr(path, '/');
    if (!slash) return;  // one name longer than any: the call itself refuses it
    m_name = slash + 1;
    bool absolute = path[0] == '/';
    std::string folder = slash > path ? std::string(path + (absolute ? 1 : 0), slash) : "";
    m_folder = OpenInParts(open(absolute ? "/" : ".", kFolderFlags), folder);
    if (m_folder < 0) m_error = errno;
}

AtPath::~AtPath() {
    if (m_folder >= 0) close(m_folder);
}

bool SyncFolderOf(const char* path) {
    const char* slash = strrchr(path, '/');
    std::string folder = !slash ? "." : slash == path ? "/" : std::string(path, slash);
    AtPath at(folder.c_str());
    int fd = openat(at.Folder(), at.Name(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    bool synced = fsync(fd) == 0;
    close(fd);
    return synced;
}
