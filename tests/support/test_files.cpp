#include "tests/support/test_files.h"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>

#ifdef _WIN32
#include <windows.h>

#include "platform/win32/win32_platform.h"
#else
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include "platform/posix/posix_platform.h"
#endif

namespace testfiles {

void WriteBytes(const std::string& path, const Bytes& bytes) {
    FILE* file = fopen(path.c_str(), "wb");
    if (!file) throw std::runtime_error("cannot write " + path);
    if (!bytes.empty()) fwrite(bytes.data(), 1, bytes.size(), file);
    fclose(file);
}

Bytes ReadBytes(const std::string& path) {
    Bytes bytes;
    FILE* file = fopen(path.c_str(), "rb");
    if (!file) throw std::runtime_error("cannot read " + path);
    unsigned char buffer[65536];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, file)) > 0)
        bytes.insert(bytes.end(), buffer, buffer + got);
    fclose(file);
    return bytes;
}

namespace {

FILE* OpenAt(const std::string& path, int64_t offset, const char* mode) {
    FILE* file = fopen(path.c_str(), mode);
    if (!file) throw std::runtime_error("cannot open " + path);
#ifdef _WIN32
    bool positioned = _fseeki64(file, offset, SEEK_SET) == 0;
#else
    bool positioned = fseeko(file, off_t(offset), SEEK_SET) == 0;
#endif
    if (!positioned) throw std::runtime_error("cannot seek in " + path);
    return file;
}

}  // namespace

void WriteAt(const std::string& path, int64_t offset, const Bytes& bytes) {
    FILE* file = OpenAt(path, offset, Exists(path) ? "r+b" : "w+b");
    bool written = fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    if (fclose(file) != 0 || !written) throw std::runtime_error("cannot write " + path);
}

Bytes ReadAt(const std::string& path, int64_t offset, size_t count) {
    FILE* file = OpenAt(path, offset, "rb");
    Bytes bytes(count);
    bytes.resize(fread(bytes.data(), 1, count, file));
    fclose(file);
    return bytes;
}

std::string Join(const std::string& dir, const std::string& name) {
    return dir + kSeparator + name;
}

#ifdef _WIN32

const char kSeparator[] = "\\";

// Wine hands out the same process ids run after run, so the name alone is no proof of
// a fresh directory: only one that could be created is.
std::string MakeTempDir(const std::string& tag) {
    char base[MAX_PATH];
    GetTempPathA(MAX_PATH, base);
    static int counter = 0;
    for (;;) {
        std::string dir = std::string(base) + "torvo-" + tag + "-" +
                          std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++counter);
        if (CreateDirectoryA(dir.c_str(), nullptr)) return dir;
    }
}

void MakeDir(const std::string& path) {
    CreateDirectoryA(path.c_str(), nullptr);
}

bool Exists(const std::string& path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

int64_t FileSize(const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return -1;
    return int64_t(uint64_t(data.nFileSizeHigh) << 32 | data.nFileSizeLow);
}

int64_t FreeSpace(const std::string& dir) {
    ULARGE_INTEGER available;
    return GetDiskFreeSpaceExA(dir.c_str(), &available, nullptr, nullptr)
               ? int64_t(available.QuadPart)
               : 0;
}

std::vector<std::string> ListDir(const std::string& dir) {
    std::vector<std::string> names;
    WIN32_FIND_DATAA entry;
    HANDLE find = FindFirstFileA((dir + "\\*.*").c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE) return names;
    do {
        std::string name = entry.cFileName;
        if (name != "." && name != "..") names.push_back(name);
    } while (FindNextFileA(find, &entry));
    FindClose(find);
    return names;
}

void SetReadOnlyAndHidden(const std::string& path) {
    SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
}

bool HasNormalAttributes(const std::string& path) {
    DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES &&
           (attributes &
            (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)) == 0;
}

std::string RealProgramPath() {
    char system[MAX_PATH];
    GetSystemDirectoryA(system, MAX_PATH);
    std::string path = std::string(system) + "\\notepad.exe";
    return Exists(path) ? path : std::string();
}

HeldOpen::HeldOpen(const std::string& path, bool inUse) {
    HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ, inUse ? FILE_SHARE_READ : 0, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot hold " + path);
    m_handle = reinterpret_cast<long long>(handle);
}

void HeldOpen::Release() {
    if (m_handle) CloseHandle(reinterpret_cast<HANDLE>(m_handle));
    m_handle = 0;
}

HeldOpen::~HeldOpen() {
    Release();
}

// Wine's wineboot carries out both forms of the list: the delayed renames of the NT
// family and wininit.ini of the Windows 95 family.
Platform& HostPlatform() {
    static Win32Platform platform;
    return platform;
}

void CarryOutRestartList() {
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    char command[] = "wineboot.exe -r";
    if (!CreateProcessA(nullptr, command, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process))
        throw std::runtime_error("cannot start wineboot");
    WaitForSingleObject(process.hProcess, 60000);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
}

std::string PlatformFamily() {
    return (GetVersion() & 0x80000000u) ? "95" : "NT";
}

#else

const char kSeparator[] = "/";

namespace {

std::unique_ptr<PosixPlatform> g_hostPlatform;

}  // namespace

std::string MakeTempDir(const std::string& tag) {
    const char* base = getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/torvo-" + tag + "-XXXXXX";
    if (!mkdtemp(&pattern[0])) throw std::runtime_error("mkdtemp failed");
    setenv("TORVOCLEAN_RESTART_LIST", (pattern + "/.restart-list.ini").c_str(), 1);
    g_hostPlatform.reset(new PosixPlatform(pattern + "/.restart-list.ini"));
    return pattern;
}

Platform& HostPlatform() {
    if (!g_hostPlatform) g_hostPlatform.reset(new PosixPlatform(DefaultRestartListPath()));
    return *g_hostPlatform;
}

void MakeDir(const std::string& path) {
    mkdir(path.c_str(), 0755);
}

bool Exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

int64_t FileSize(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? int64_t(st.st_size) : -1;
}

int64_t FreeSpace(const std::string& dir) {
    struct statvfs fs;
    return statvfs(dir.c_str(), &fs) == 0 ? int64_t(fs.f_bavail) * int64_t(fs.f_frsize) : 0;
}

std::vector<std::string> ListDir(const std::string& dir) {
    std::vector<std::string> names;
    DIR* listing = opendir(dir.c_str());
    if (!listing) return names;
    while (dirent* entry = readdir(listing)) {
        std::string name = entry->d_name;
        if (name != "." && name != ".." && name.rfind(".restart-list", 0) != 0)
            names.push_back(name);
    }
    closedir(listing);
    return names;
}

void SetReadOnlyAndHidden(const std::string& path) {
    chmod(path.c_str(), 0444);
}

bool HasNormalAttributes(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && (st.st_mode & S_IWUSR);
}

std::string RealProgramPath() {
    const char* candidates[] = {"/usr/lib/i386-linux-gnu/wine/i386-windows/notepad.exe",
                                "/usr/lib/x86_64-linux-gnu/wine/x86_64-windows/notepad.exe",
                                "/usr/lib/wine/i386-windows/notepad.exe"};
    for (const char* candidate : candidates)
        if (Exists(candidate)) return candidate;
    return std::string();
}

HeldOpen::HeldOpen(const std::string& path, bool inUse) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 || flock(fd, inUse ? LOCK_SH : LOCK_EX) != 0)
        throw std::runtime_error("cannot hold " + path);
    m_handle = fd + 1;
}

void HeldOpen::Release() {
    if (m_handle) close(int(m_handle - 1));
    m_handle = 0;
}

HeldOpen::~HeldOpen() {
    Release();
}

void CarryOutRestartList() {
    RestartListRun run = static_cast<PosixPlatform&>(HostPlatform()).RunRestartList();
    if (!run.refused.empty() || run.unreadable) throw std::runtime_error("restart list refused");
}

std::string PlatformFamily() {
    return "NT";
}

#endif

}  // namespace testfiles
