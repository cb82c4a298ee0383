#include "platform/posix/restart_list.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>

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

bool ReadWhole(const std::string& path, std::string* text) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream buffer;
    buffer << in.rdbuf();
    *text = buffer.str();
    return true;
}

void MakeParentDirectory(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos || slash == 0) return;
    mkdir(path.substr(0, slash).c_str(), 0755);
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

bool AddRestartEntry(const std::string& key, const std::string& value) {
    std::string path = RestartListPath();
    std::string ini;
    ReadWhole(path, &ini);
    std::string encodedKey = key == kDeleteKey ? key : Escaped(key);
    std::string updated = AddRenameEntry(ini, encodedKey, Escaped(value));
    MakeParentDirectory(path);
    std::string temporary = path + ".new";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << updated;
        if (!out.flush()) return false;
    }
    return rename(temporary.c_str(), path.c_str()) == 0;
}

int RunRestartList() {
    std::string path = RestartListPath();
    std::string ini;
    if (!ReadWhole(path, &ini)) return 0;
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
