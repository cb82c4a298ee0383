#include "platform/posix/posix_platform.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/platform.h"
#include "platform/posix/long_path.h"
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

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// The one absolute name `text` stands for, exactly as Escaped writes it; false for
// anything else (a broken escape, a NUL, a relative or empty name, another spelling).
bool Unescaped(const std::string& text, std::string* name) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        int high = i + 2 < text.size() ? HexDigit(text[i + 1]) : -1;
        int low = i + 2 < text.size() ? HexDigit(text[i + 2]) : -1;
        if (high < 0 || low < 0) return false;
        out += char(high * 16 + low);
        i += 2;
    }
    if (out.empty() || out[0] != '/' || out.find('\0') != std::string::npos) return false;
    if (Escaped(out) != text) return false;
    *name = out;
    return true;
}

// A missing list reads as empty; any other failure leaves *text unset.
bool ReadList(const std::string& path, std::string* text) {
    AtPath at(path.c_str());
    int fd = openat(at.Folder(), at.Name(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return errno == ENOENT || at.Error() == ENOENT;
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

std::string FolderOf(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Writes the new list beside the old one, flushed, and puts it in its place in one
// rename, which its folder's sync makes durable: a power cut leaves the old list or the
// new one, whole. The side file is created afresh, never through a link planted under
// its name. An empty list is no file.
bool WriteList(const std::string& path, const std::string& text) {
    if (text.empty())
        return unlink(path.c_str()) == 0 ? SyncFolderOf(path.c_str()) : errno == ENOENT;
    mkdir(FolderOf(path).c_str(), 0755);
    std::string temporary = path + ".new";
    unlink(temporary.c_str());
    int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    ssize_t written = write(fd, text.data(), text.size());
    bool complete = written >= 0 && size_t(written) == text.size() && fsync(fd) == 0;
    complete = close(fd) == 0 && complete;
    if (complete && rename(temporary.c_str(), path.c_str()) == 0) return SyncFolderOf(path.c_str());
    unlink(temporary.c_str());
    return false;
}

// The list is carried out later, from another folder: relative names are made full.
// The program never changes its folder, so it is asked once.
std::string Absolute(const char* path) {
    if (path[0] == '/') return path;
    static std::string folder;
    if (folder.empty()) {
        char* current = getcwd(nullptr, 0);
        if (current) folder = current;
        free(current);
    }
    return folder.empty() ? path : folder + "/" + path;
}

// A rename that replaces what stands under its new name has a "!" before that name, as
// on Windows' NT family.
const char kReplaces = '!';

RestartEntry FromRenameEntry(const RenameEntry& entry) {
    if (entry.key == kDeleteKey) return {entry.value, std::string()};
    bool replaces = !entry.key.empty() && entry.key[0] == kReplaces;
    return {entry.value, entry.key.substr(replaces ? 1 : 0), replaces};
}

RenameEntry ToRenameEntry(const RestartEntry& entry) {
    if (entry.destination.empty()) return {kDeleteKey, entry.source};
    return {(entry.replaces ? std::string(1, kReplaces) : std::string()) + entry.destination,
            entry.source};
}

// Carries out one entry; false when it names no valid file. An entry whose file is gone
// has nothing left to do: it was done before the list was cut off, or its file went
// away.
bool CarryOut(const RestartEntry& entry, bool* done) {
    std::string source, destination;
    bool isDeletion = entry.destination.empty();
    if (!Unescaped(entry.source, &source)) return false;
    if (!isDeletion && !Unescaped(entry.destination, &destination)) return false;
    AtPath from(source.c_str());
    struct stat st;
    if (from.Error() == ENOENT ||
        (fstatat(from.Folder(), from.Name(), &st, AT_SYMLINK_NOFOLLOW) != 0 && errno == ENOENT)) {
        *done = true;
    } else if (isDeletion) {
        *done = unlinkat(from.Folder(), from.Name(), 0) == 0 && SyncFolderOf(source.c_str());
    } else {
        AtPath to(destination.c_str());
        bool renamed = entry.replaces
                           ? renameat(from.Folder(), from.Name(), to.Folder(), to.Name()) == 0
                           : RenameNoReplace(source.c_str(), destination.c_str());
        *done = renamed && SyncFolderOf(destination.c_str());
    }
    return true;
}

}  // namespace

bool DecodeRestartListName(const std::string& stored, std::string* name) {
    return Unescaped(stored, name);
}

bool PosixPlatform::PathOfRestartListName(const std::string& stored, std::string* path) {
    return Unescaped(stored, path);
}

bool PosixPlatform::IsWorkFileName(const std::string& work, const std::string& file) {
    return work == file + ".cln";
}

std::string DefaultRestartListPath() {
    const char* configured = getenv("TORVOCLEAN_RESTART_LIST");
    return configured && *configured ? configured : "/var/lib/torvoclean/wininit.ini";
}

bool RenameNoReplace(const char* from, const char* to) {
    AtPath source(from), target(to);
    if (renameat2(source.Folder(), source.Name(), target.Folder(), target.Name(),
                  RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS) return false;
    // File systems without the flag: check first, then rename.
    struct stat st;
    if (fstatat(target.Folder(), target.Name(), &st, AT_SYMLINK_NOFOLLOW) == 0) return false;
    return renameat(source.Folder(), source.Name(), target.Folder(), target.Name()) == 0;
}

bool PosixPlatform::ReadRestartList(std::vector<RestartEntry>* entries) {
    std::string ini;
    if (!ReadList(m_restartList, &ini)) return false;
    entries->clear();
    for (const RenameEntry& entry : ReadRenameEntries(ini))
        entries->push_back(FromRenameEntry(entry));
    return true;
}

bool PosixPlatform::WriteRestartList(const std::vector<RestartEntry>& entries) {
    std::string path = m_restartList, ini;
    if (!ReadList(path, &ini)) return false;
    std::vector<RenameEntry> lines;
    for (const RestartEntry& entry : entries) lines.push_back(ToRenameEntry(entry));
    std::string updated = ReplaceRenameEntries(ini, lines);
    return updated == ini || WriteList(path, updated);
}

std::string PosixPlatform::RestartListName(const char* path) {
    return Escaped(Absolute(path));
}

bool PosixPlatform::IsSameRestartListName(const std::string& first, const std::string& second) {
    return first == second;
}

// Every process that uses the same list locks the same folder, whoever may write in it.
bool PosixPlatform::LockFileChanges() {
    std::string folder = FolderOf(m_restartList);
    mkdir(folder.c_str(), 0755);
    int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    int locked;
    while ((locked = flock(fd, LOCK_EX)) != 0 && errno == EINTR) {
    }
    if (locked != 0) {
        close(fd);
        return false;
    }
    m_lockedFolder = fd;
    return true;
}

void PosixPlatform::UnlockFileChanges() {
    if (m_lockedFolder >= 0) close(m_lockedFolder);
    m_lockedFolder = -1;
}

// Each entry leaves the list, durably, once it is carried out: a run cut off at any
// moment and carried out again does no entry twice but the one it was cut off in, and
// doing that one again changes nothing (its source is gone). The list as it was is
// kept as "<list>.bak".
RestartListRun PosixPlatform::RunRestartList() {
    RestartListRun run = {0, {}, false, false};
    bool locked = LockFileChanges();
    std::string path = m_restartList, ini;
    if (!ReadList(path, &ini)) {
        run.unreadable = true;
    } else if (!ini.empty()) {
        WriteList(path + ".bak", ini);
        std::vector<RenameEntry> left = ReadRenameEntries(ini);
        while (!left.empty() && !run.unwritable) {
            RenameEntry line = left.front();
            left.erase(left.begin());
            bool done = false;
            if (!CarryOut(FromRenameEntry(line), &done))
                run.refused.push_back(line.key + "=" + line.value);
            else if (!done)
                ++run.failed;
            std::string rest = ReplaceRenameEntries(ini, left);
            run.unwritable = rest != ini && !WriteList(path, rest);
            ini = rest;
        }
        if (!run.unwritable) unlink(path.c_str());
    }
    if (locked) UnlockFileChanges();
    return run;
}
