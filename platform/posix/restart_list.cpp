#include "platform/posix/restart_list.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/rename_section.h"

namespace {

const char kDeleteKey[] = "NUL";

std::string Escaped(const std::string& path) {
    std::string out;
    for (char c : path) {
        switch (c) {
            case '%':
                out += "%25";
                break;
            case '=':
                out += "%3D";
                break;
            case '\r':
                out += "%0D";
                break;
            case '\n':
                out += "%0A";
                break;
            case '[':
                out += "%5B";
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::string Unescaped(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            out += char(strtol(text.substr(i + 1, 2).c_str(), nullptr, 16));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

// A missing list reads as empty; any other failure leaves *text unset.
bool ReadList(const std::string& path, std::string* text) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return errno == ENOENT;
    std::string content;
    char buffer[65536];
    ssize_t got;
    while ((got = read(fd, buffer, sizeof buffer)) != 0) {
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) break;
        content.append(buffer, size_t(got));
    }
    close(fd);
    if (got != 0) return false;
    *text = content;
    return true;
}

void MakeParentDirectory(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos || slash == 0) return;
    mkdir(path.substr(0, slash).c_str(), 0755);
}

// Writes the new list beside the old one and puts it in its place in one rename. The
// side file is created afresh, never through a link planted under its name.
bool WriteList(const std::string& path, const std::string& text) {
    MakeParentDirectory(path);
    std::string temporary = path + ".new";
    unlink(temporary.c_str());
    int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    ssize_t written = write(fd, text.data(), text.size());
    bool complete = written >= 0 && size_t(written) == text.size() && fsync(fd) == 0;
    complete = close(fd) == 0 && complete;
    if (complete && rename(temporary.c_str(), path.c_str()) == 0) return true;
    unlink(temporary.c_str());
    return false;
}

// The list is carried out later, from another folder: relative names are made full.
std::string Absolute(const std::string& path) {
    if (path.empty() || path[0] == '/') return path;
    char* folder = getcwd(nullptr, 0);
    std::string full = folder ? std::string(folder) + "/" + path : path;
    free(folder);
    return full;
}

std::string EncodedKey(const std::string& key) {
    return key == kDeleteKey ? key : Escaped(Absolute(key));
}

std::string EncodedValue(const std::string& value) {
    return Escaped(Absolute(value));
}

}  // namespace

bool RenameNoReplace(const char* from, const char* to) {
    if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS) return false;
    // File systems without the flag: check first, then rename.
    struct stat st;
    if (lstat(to, &st) == 0) return false;
    return rename(from, to) == 0;
}

std::string RestartListPath() {
    const char* configured = getenv("TORVOCLEAN_RESTART_LIST");
    return configured && *configured ? configured : "/var/lib/torvoclean/wininit.ini";
}

namespace {

// An existing list that cannot be read whole is never written.
template <typename Edit>
bool EditList(Edit edit) {
    std::string path = RestartListPath();
    std::string ini;
    if (!ReadList(path, &ini)) return false;
    std::string updated = edit(ini);
    return updated == ini || WriteList(path, updated);
}

}  // namespace

bool AddRestartEntry(const std::string& key, const std::string& value) {
    return EditList([&](const std::string& ini) {
        return AddRenameEntry(ini, EncodedKey(key), EncodedValue(value));
    });
}

bool RemoveRestartEntry(const std::string& key, const std::string& value) {
    return EditList([&](const std::string& ini) {
        return RemoveRenameEntry(ini, EncodedKey(key), EncodedValue(value));
    });
}

int RunRestartList() {
    std::string path = RestartListPath();
    std::string ini;
    if (!ReadList(path, &ini)) return 0;
    int failed = 0;
    for (const RenameEntry& entry : ReadRenameEntries(ini)) {
        std::string file = Unescaped(entry.value);
        bool done = entry.key == kDeleteKey
                        ? unlink(file.c_str()) == 0
                        : RenameNoReplace(file.c_str(), Unescaped(entry.key).c_str());
        if (!done) ++failed;
    }
    rename(path.c_str(), (path + ".bak").c_str());
    return failed;
}
