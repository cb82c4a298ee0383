// The restart list of Windows: on the NT family the delayed renames and deletions of
// PendingFileRenameOperations (what MoveFileExA with MOVEFILE_DELAY_UNTIL_REBOOT
// writes), on the Windows 95 family the [rename] section of wininit.ini.
#include "platform/win32/win32_platform.h"

#include <windows.h>

#include "platform/rename_section.h"
#include "platform/win32/family.h"
#include "platform/win32/long_names.h"

namespace {

// --- the NT family -------------------------------------------------------------------

// Pairs of NT paths ("\\??\\C:\\dir\\file"), source then destination (empty for a
// deletion; "!" before it for a rename that replaces an existing file), in one
// multi-string registry value. It is read and written as the system
// keeps it, in UTF-16, so that no entry of another program loses a letter on the way:
// the entries hold the names in UTF-8.
const char kSessionManager[] = "System\\CurrentControlSet\\Control\\Session Manager";
const WCHAR kPendingRenames[] = L"PendingFileRenameOperations";

typedef LONG(WINAPI* QueryValueWide)(HKEY, LPCWSTR, LPDWORD, LPDWORD, LPBYTE, LPDWORD);
typedef LONG(WINAPI* SetValueWide)(HKEY, LPCWSTR, DWORD, DWORD, const BYTE*, DWORD);
typedef LONG(WINAPI* DeleteValueWide)(HKEY, LPCWSTR);
typedef LONG(WINAPI* FlushKey)(HKEY);

// The value's strings in order; an empty destination is a string of its own.
bool ReadMultiString(HKEY key, std::vector<std::wstring>* strings) {
    static QueryValueWide query =
        SystemFunction<QueryValueWide>("advapi32.dll", "RegQueryValueExW");
    DWORD type = 0, size = 0;
    LONG status = query ? query(key, kPendingRenames, nullptr, &type, nullptr, &size) : ~0L;
    if (status == ERROR_FILE_NOT_FOUND) return true;
    if (status != 0 || type != REG_MULTI_SZ) return false;
    std::wstring data(size / sizeof(WCHAR) + 1, L'\0');
    if (query(key, kPendingRenames, nullptr, &type, reinterpret_cast<BYTE*>(&data[0]), &size) != 0)
        return false;
    data.resize(size / sizeof(WCHAR));
    for (size_t at = 0; at < data.size();) {
        size_t end = data.find(L'\0', at);
        if (end == std::wstring::npos) end = data.size();
        strings->push_back(data.substr(at, end - at));
        at = end + 1;
    }
    if (strings->size() % 2) strings->pop_back();  // the closing empty string
    return true;
}

bool ReadPendingRenames(std::vector<RestartEntry>* entries) {
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSessionManager, 0, KEY_QUERY_VALUE, &key) != 0)
        return false;
    std::vector<std::wstring> strings;
    bool read = ReadMultiString(key, &strings);
    RegCloseKey(key);
    entries->clear();
    for (size_t i = 0; read && i < strings.size(); i += 2) {
        const std::wstring& destination = strings[i + 1];
        bool replaces = !destination.empty() && destination[0] == L'!';
        entries->push_back({Narrowed(strings[i], CP_UTF8),
                            Narrowed(destination.substr(replaces ? 1 : 0), CP_UTF8), replaces});
    }
    return read;
}

bool WritePendingRenames(const std::vector<RestartEntry>& entries) {
    static SetValueWide set = SystemFunction<SetValueWide>("advapi32.dll", "RegSetValueExW");
    static DeleteValueWide remove =
        SystemFunction<DeleteValueWide>("advapi32.dll", "RegDeleteValueW");
    static FlushKey flush = SystemFunction<FlushKey>("advapi32.dll", "RegFlushKey");
    HKEY key;
    if (!set || !remove ||
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSessionManager, 0, KEY_SET_VALUE, &key) != 0)
        return false;
    std::wstring data;
    for (const RestartEntry& entry : entries) {
        bool replaces = entry.replaces && !entry.destination.empty();
        data += Widened(entry.source, CP_UTF8) + L'\0';
        data += (replaces ? L"!" : L"") + Widened(entry.destination, CP_UTF8) + L'\0';
    }
    data += L'\0';
    LONG status = ERROR_SUCCESS;
    if (entries.empty()) {
        status = remove(key, kPendingRenames);
        if (status == ERROR_FILE_NOT_FOUND) status = ERROR_SUCCESS;
    } else {
        status =
            set(key, kPendingRenames, 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(data.data()),
                DWORD(data.size() * sizeof(WCHAR)));
    }
    // Written to the disk before anything that relies on it happens.
    if (status == ERROR_SUCCESS && flush) status = flush(key);
    RegCloseKey(key);
    return status == ERROR_SUCCESS;
}

// A file reached by its short name is named by its long name, which it keeps.
std::string NtPath(const char* path) {
    const std::wstring* longName = LongNameOf(path);
    if (longName) return Narrowed(L"\\??\\" + *longName, CP_UTF8);
    char full[MAX_PATH];
    DWORD length = GetFullPathNameA(path, MAX_PATH, full, nullptr);
    std::string name = std::string("\\??\\") + (length > 0 && length < MAX_PATH ? full : path);
    return Narrowed(Widened(name), CP_UTF8);
}

bool IsSameNtPath(const std::string& first, const std::string& second) {
    typedef int(WINAPI * CompareWide)(LPCWSTR, LPCWSTR);
    static CompareWide compare = SystemFunction<CompareWide>("kernel32.dll", "lstrcmpiW");
    return compare &&
           compare(Widened(first, CP_UTF8).c_str(), Widened(second, CP_UTF8).c_str()) == 0;
}

// --- the Windows 95 family -----------------------------------------------------------

int32_t ReadHere(HANDLE file, void* buffer, int32_t count) {
    int32_t total = 0;
    while (total < count) {
        DWORD got = 0;
        if (!ReadFile(file, static_cast<char*>(buffer) + total, DWORD(count - total), &got,
                      nullptr) ||
            got == 0)
            break;
        total += int32_t(got);
    }
    return total;
}

// A missing file reads as empty; any other failure, or a short read, is a failure.
bool ReadWholeFile(const std::string& path, std::string* text) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              0, nullptr);
    text->clear();
    if (file == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_FILE_NOT_FOUND;
    DWORD size = GetFileSize(file, nullptr);
    bool ok = size != INVALID_FILE_SIZE;
    if (ok) {
        text->resize(size);
        ok = size == 0 || ReadHere(file, &(*text)[0], int32_t(size)) == int32_t(size);
    }
    CloseHandle(file);
    return ok;
}

// The text is flushed to the disk before the file is closed.
bool WriteNewFile(const std::string& path, const std::string& text) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    bool ok = WriteFile(file, text.data(), DWORD(text.size()), &written, nullptr) &&
              written == text.size() && FlushFileBuffers(file);
    ok = CloseHandle(file) && ok;
    if (!ok) DeleteFileA(path.c_str());
    return ok;
}

bool Exists(const std::string& path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// The list's new text goes beside it (".$$$"), and the old list steps aside (".$$p")
// while the new one takes its name: the Windows 95 family has no rename that replaces
// a file. A cut at any moment leaves the old list, or the new one, whole: in its place,
// or beside it for RecoverList to put back.
bool ReplaceFileText(const std::string& path, const std::string& text) {
    if (text.empty()) return DeleteFileA(path.c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND;
    std::string temporary = path + ".$$$", previous = path + ".$$p";
    if (!WriteNewFile(temporary, text)) return false;
    DeleteFileA(previous.c_str());
    bool stepsAside = Exists(path);
    if ((!stepsAside || MoveFileA(path.c_str(), previous.c_str())) &&
        MoveFileA(temporary.c_str(), path.c_str())) {
        DeleteFileA(previous.c_str());
        return true;
    }
    if (stepsAside && !Exists(path)) MoveFileA(previous.c_str(), path.c_str());
    DeleteFileA(temporary.c_str());
    return false;
}

// Puts back what a cut in ReplaceFileText left: with the old list stepped aside and
// none in its place, the new one (written whole before the old one moved) takes it.
void RecoverList(const std::string& path) {
    std::string temporary = path + ".$$$", previous = path + ".$$p";
    if (!Exists(previous)) return;
    if (!Exists(path) && !MoveFileA(temporary.c_str(), path.c_str()))
        MoveFileA(previous.c_str(), path.c_str());
    DeleteFileA(previous.c_str());
}

// The system keeps the INI files that programs use through the profile functions in a
// cache of its own. This call writes that cache out and lets the file go, so that what
// others wrote there is on the disk before the list is read, and the list as written
// here is what the system reads afterwards.
void FlushProfileCache(const std::string& path) {
    WritePrivateProfileStringA(nullptr, nullptr, nullptr, path.c_str());
}

bool WininitPath(std::string* path) {
    char windowsDirectory[MAX_PATH];
    UINT length = GetWindowsDirectoryA(windowsDirectory, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return false;
    *path = std::string(windowsDirectory) + "\\wininit.ini";
    return true;
}

bool IsDeleteKey(const std::string& key) {
    return lstrcmpiA(key.c_str(), "NUL") == 0;
}

// Each entry is a line of its own: WritePrivateProfileString would replace an earlier
// NUL= entry.
bool ReadWininitText(std::string* path, std::string* ini) {
    if (!WininitPath(path)) return false;
    FlushProfileCache(*path);
    RecoverList(*path);
    return ReadWholeFile(*path, ini);
}

bool ReadWininit(std::vector<RestartEntry>* entries) {
    std::string path, ini;
    if (!ReadWininitText(&path, &ini)) return false;
    entries->clear();
    for (const RenameEntry& line : ReadRenameEntries(ini))
        entries->push_back({line.value, IsDeleteKey(line.key) ? std::string() : line.key});
    return true;
}

// A wininit.ini that cannot be read whole is never written.
bool WriteWininit(const std::vector<RestartEntry>& entries) {
    std::string path, ini;
    if (!ReadWininitText(&path, &ini)) return false;
    std::vector<RenameEntry> lines;
    for (const RestartEntry& entry : entries)
        lines.push_back({entry.destination.empty() ? "NUL" : entry.destination, entry.source});
    std::string updated = ReplaceRenameEntries(ini, lines);
    if (updated == ini) return true;
    bool written = ReplaceFileText(path, updated);
    FlushProfileCache(path);
    return written;
}

// The Windows 95 family carries out wininit.ini before long file names are available,
// so existing files are named by their short names there, and in full: the list is
// carried out from another folder.
std::string ShortName(const char* path) {
    char fullPath[MAX_PATH], shortPath[MAX_PATH];
    DWORD length = GetFullPathNameA(path, MAX_PATH, fullPath, nullptr);
    if (length == 0 || length >= MAX_PATH) return path;
    length = GetShortPathNameA(fullPath, shortPath, MAX_PATH);
    return length > 0 && length < MAX_PATH ? std::string(shortPath) : std::string(fullPath);
}

std::string FolderOf(const std::string& path) {
    size_t separator = path.find_last_of("\\/");
    return separator == std::string::npos ? std::string() : path.substr(0, separator);
}

// The long name of the file `path` names, where it exists; else the last part of the
// path as it stands.
std::string LongLastName(const std::string& path) {
    size_t separator = path.find_last_of("\\/");
    std::string name = separator == std::string::npos ? path : path.substr(separator + 1);
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA(path.c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return name;
    FindClose(find);
    return data.cFileName;
}

// Short and long names mix on this family's list: a file is named by its short name
// where it exists, in full where it does not yet.
bool IsWin95WorkFileName(const std::string& work, const std::string& file) {
    return lstrcmpiA(ShortName(FolderOf(work).c_str()).c_str(),
                     ShortName(FolderOf(file).c_str()).c_str()) == 0 &&
           lstrcmpiA(LongLastName(work).c_str(), (LongLastName(file) + ".cln").c_str()) == 0;
}

const char kNtPrefix[] = "\\??\\";

}  // namespace

bool Win32Platform::ReadRestartList(std::vector<RestartEntry>* entries) {
    return IsWin95Family() ? ReadWininit(entries) : ReadPendingRenames(entries);
}

bool Win32Platform::WriteRestartList(const std::vector<RestartEntry>& entries) {
    return IsWin95Family() ? WriteWininit(entries) : WritePendingRenames(entries);
}

std::string Win32Platform::RestartListName(const char* path) {
    return IsWin95Family() ? ShortName(path) : NtPath(path);
}

// File names of both families ignore case. On the Windows 95 family a file recorded
// before it existed is named in full, and by its short name once it does.
bool Win32Platform::IsSameRestartListName(const std::string& first, const std::string& second) {
    if (!IsWin95Family()) return IsSameNtPath(first, second);
    return lstrcmpiA(first.c_str(), second.c_str()) == 0 ||
           (lstrcmpiA(ShortName(FolderOf(first).c_str()).c_str(),
                      ShortName(FolderOf(second).c_str()).c_str()) == 0 &&
            lstrcmpiA(LongLastName(first).c_str(), LongLastName(second).c_str()) == 0);
}

bool Win32Platform::IsWorkFileName(const std::string& work, const std::string& file) {
    if (IsWin95Family()) return IsWin95WorkFileName(work, file);
    return IsSameNtPath(work, file + ".cln");
}

// The NT family's names are full NT paths in UTF-8; the program's are ANSI.
bool Win32Platform::PathOfRestartListName(const std::string& stored, std::string* path) {
    if (IsWin95Family()) {
        if (stored.empty()) return false;
        std::string folder = FolderOf(stored);
        *path = folder.empty() ? LongLastName(stored) : folder + "\\" + LongLastName(stored);
        return true;
    }
    const size_t prefix = sizeof kNtPrefix - 1;
    if (stored.compare(0, prefix, kNtPrefix) != 0) return false;
    std::wstring wide = Widened(stored.substr(prefix), CP_UTF8);
    *path = Narrowed(wide);
    return !path->empty() && Widened(*path) == wide;
}

// Both families know named mutexes; "Global\" reaches every session of a terminal
// server, and systems without sessions may refuse the prefix.
bool Win32Platform::LockFileChanges() {
    if (!m_hFileChanges) m_hFileChanges = CreateMutexA(nullptr, FALSE, "Global\\TorvoClean.Files");
    if (!m_hFileChanges) m_hFileChanges = CreateMutexA(nullptr, FALSE, "TorvoClean.Files");
    HANDLE mutex = m_hFileChanges;
    if (!mutex) return false;
    DWORD waited = WaitForSingleObject(mutex, INFINITE);
    // An abandoned mutex is owned all the same: its last owner ended without letting go.
    return waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED;
}

void Win32Platform::UnlockFileChanges() {
    ReleaseMutex(m_hFileChanges);
}

Win32Platform::~Win32Platform() {
    if (m_hFileChanges) CloseHandle(m_hFileChanges);
}
