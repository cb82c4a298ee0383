// kernel32 implementation. The restart list is MoveFileExA's delayed operations on
// the NT family and the [rename] section of wininit.ini on the Windows 95 family.
#include <windows.h>

#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/rename_section.h"
#include "platform/win32/family.h"

namespace {

HANDLE Handle(PlatFile file) {
    return reinterpret_cast<HANDLE>(file);
}
PlatFile FromHandle(HANDLE handle) {
    return reinterpret_cast<PlatFile>(handle);
}

bool Seek(PlatFile file, LONG distance, DWORD origin) {
    SetLastError(NO_ERROR);
    return SetFilePointer(Handle(file), distance, nullptr, origin) != INVALID_SET_FILE_POINTER ||
           GetLastError() == NO_ERROR;
}

int32_t ReadHere(PlatFile file, void* buffer, int32_t count) {
    int32_t total = 0;
    while (total < count) {
        DWORD got = 0;
        if (!ReadFile(Handle(file), static_cast<char*>(buffer) + total, DWORD(count - total), &got,
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
    if (file == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        text->clear();
        return error == ERROR_FILE_NOT_FOUND;
    }
    DWORD size = GetFileSize(file, nullptr);
    bool ok = size != INVALID_FILE_SIZE;
    if (ok) {
        text->resize(size);
        ok = size == 0 || ReadHere(FromHandle(file), &(*text)[0], int32_t(size)) == int32_t(size);
    }
    CloseHandle(file);
    return ok;
}

bool WriteNewFile(const std::string& path, const std::string& text) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    bool ok = WriteFile(file, text.data(), DWORD(text.size()), &written, nullptr) &&
              written == text.size();
    ok = CloseHandle(file) && ok;
    if (!ok) DeleteFileA(path.c_str());
    return ok;
}

// The new text is written whole beside the old file before it takes its place, so a
// failed write never leaves a shortened list. The Windows 95 family has no
// MoveFileExA: there the old file is deleted first.
bool ReplaceFileText(const std::string& path, const std::string& text) {
    std::string temporary = path + ".$$$";
    if (!WriteNewFile(temporary, text)) return false;
    if (MoveFileExA(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING)) return true;
    DeleteFileA(path.c_str());
    if (MoveFileA(temporary.c_str(), path.c_str())) return true;
    DeleteFileA(temporary.c_str());
    return false;
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

bool WininitPath(std::string* path) {
    char windowsDirectory[MAX_PATH];
    UINT length = GetWindowsDirectoryA(windowsDirectory, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return false;
    *path = std::string(windowsDirectory) + "\\wininit.ini";
    return true;
}

// Each entry is a line of its own: WritePrivateProfileString would replace an earlier
// NUL= entry. A wininit.ini that cannot be read whole is never written.
template <typename Edit>
bool EditWininit(Edit edit) {
    std::string iniPath, ini;
    if (!WininitPath(&iniPath) || !ReadWholeFile(iniPath, &ini)) return false;
    std::string updated = edit(ini);
    return updated == ini || ReplaceFileText(iniPath, updated);
}

bool AddWininitEntry(const std::string& key, const std::string& value) {
    return EditWininit([&](const std::string& ini) { return AddRenameEntry(ini, key, value); });
}

// The NT family's restart list: pairs of NT paths ("\??\C:\dir\file"), source then
// destination (empty for a deletion), in one multi-string registry value.
const char kSessionManager[] = "System\\CurrentControlSet\\Control\\Session Manager";
const char kPendingRenames[] = "PendingFileRenameOperations";

std::string NtPath(const char* path) {
    char full[MAX_PATH];
    DWORD length = GetFullPathNameA(path, MAX_PATH, full, nullptr);
    return std::string("\\??\\") + (length > 0 && length < MAX_PATH ? full : path);
}

// The strings of the value in order; an empty destination is a string of its own.
bool ReadPendingRenames(std::vector<std::string>* strings) {
    strings->clear();
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSessionManager, 0, KEY_QUERY_VALUE, &key) != 0)
        return false;
    DWORD type = 0, size = 0;
    LONG status = RegQueryValueExA(key, kPendingRenames, nullptr, &type, nullptr, &size);
    std::string data(size, '\0');
    if (status == 0 && size > 0)
        status = RegQueryValueExA(key, kPendingRenames, nullptr, &type,
                                  reinterpret_cast<BYTE*>(&data[0]), &size);
    RegCloseKey(key);
    if (status == ERROR_FILE_NOT_FOUND) return true;
    if (status != 0 || type != REG_MULTI_SZ) return false;
    data.resize(size);
    for (size_t at = 0; at < data.size();) {
        size_t end = data.find('\0', at);
        if (end == std::string::npos) end = data.size();
        strings->push_back(data.substr(at, end - at));
        at = end + 1;
    }
    if (strings->size() % 2) strings->pop_back();  // the closing empty string
    return true;
}

bool WritePendingRenames(const std::vector<std::string>& strings) {
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSessionManager, 0, KEY_SET_VALUE, &key) != 0)
        return false;
    std::string data;
    for (const std::string& text : strings) data += text + '\0';
    data += '\0';
    LONG status = strings.empty() ? RegDeleteValueA(key, kPendingRenames)
                                  : RegSetValueExA(key, kPendingRenames, 0, REG_MULTI_SZ,
                                                   reinterpret_cast<const BYTE*>(data.data()),
                                                   DWORD(data.size()));
    RegCloseKey(key);
    return status == 0;
}

// Index of the last pair (from, to) on the list, or -1.
int FindPendingRename(const std::vector<std::string>& strings, const std::string& from,
                      const std::string& to) {
    for (int i = int(strings.size()) - 2; i >= 0; i -= 2) {
        if (!lstrcmpiA(strings[i].c_str(), from.c_str()) &&
            !lstrcmpiA(strings[i + 1].c_str(), to.c_str()))
            return i;
    }
    return -1;
}

// An operation already on the list is not added twice: run again before the restart,
// a second "delete the page" would remove the repaired page renamed there by the first.
bool ScheduleOnNt(const char* from, const char* to) {
    std::vector<std::string> strings;
    if (ReadPendingRenames(&strings) &&
        FindPendingRename(strings, NtPath(from), to ? NtPath(to) : std::string()) >= 0)
        return true;
    return MoveFileExA(from, to, MOVEFILE_DELAY_UNTIL_REBOOT) != 0;
}

bool UnscheduleDeleteOnNt(const char* path) {
    std::vector<std::string> strings;
    if (!ReadPendingRenames(&strings)) return false;
    int at = FindPendingRename(strings, NtPath(path), std::string());
    if (at < 0) return true;
    strings.erase(strings.begin() + at, strings.begin() + at + 2);
    return WritePendingRenames(strings);
}

}  // namespace

PlatFile PlatOpenRead(const char* path, int64_t* size) {
    HANDLE file =
        CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file != INVALID_HANDLE_VALUE && size) *size = PlatFileSize(FromHandle(file));
    return FromHandle(file);
}

// The system asks others to share the file when it opens it.
PlatFile PlatOpenToDetect(const char* path, const PlatDirEntry*) {
    return PlatOpenRead(path);
}

bool PlatMayShareRead(PlatFile) {
    return true;
}

int64_t PlatFileSize(PlatFile file) {
    DWORD high = 0;
    DWORD low = GetFileSize(Handle(file), &high);
    return low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR
               ? -1
               : int64_t(uint64_t(high) << 32 | low);
}

PlatFile PlatCreateWork(const char* path) {
    return FromHandle(CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
}

PlatFile PlatOpenReadWrite(const char* path) {
    return FromHandle(
        CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
}

void PlatClose(PlatFile file) {
    CloseHandle(Handle(file));
}

int32_t PlatReadAt(PlatFile file, int32_t offset, void* buffer, int32_t count) {
    return Seek(file, offset, FILE_BEGIN) ? ReadHere(file, buffer, count) : 0;
}

int32_t PlatReadLast(PlatFile file, void* buffer, int32_t count) {
    return Seek(file, -count, FILE_END) ? ReadHere(file, buffer, count) : 0;
}

bool PlatWriteAll(PlatFile file, const void* data, uint32_t count) {
    DWORD written = 0;
    return WriteFile(Handle(file), data, count, &written, nullptr) && written == count;
}

bool PlatCutTail(PlatFile file, int32_t count) {
    return Seek(file, -count, FILE_END) && SetEndOfFile(Handle(file));
}

bool PlatCopyFile(const char* from, const char* to) {
    return CopyFileA(from, to, FALSE) != 0;
}

void PlatSetNormalAttributes(const char* path) {
    SetFileAttributesA(path, FILE_ATTRIBUTE_NORMAL);
}

bool PlatDeleteFile(const char* path) {
    return DeleteFileA(path) != 0;
}

bool PlatRenameFile(const char* from, const char* to) {
    return MoveFileA(from, to) != 0;
}

bool PlatIsGone(const char* path) {
    if (GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES) return false;
    DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

namespace {

// Opened without access rights, a file can be asked who it is even while another
// handle holds it without sharing.
bool IdentifyFile(const char* path, BY_HANDLE_FILE_INFORMATION* info) {
    HANDLE file = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    bool known = GetFileInformationByHandle(file, info) != 0;
    CloseHandle(file);
    return known;
}

}  // namespace

bool PlatIsSameFile(const char* first, const char* second) {
    BY_HANDLE_FILE_INFORMATION a, b;
    return IdentifyFile(first, &a) && IdentifyFile(second, &b) &&
           a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
           a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
}

bool PlatScheduleDelete(const char* path) {
    if (IsWin95Family()) return AddWininitEntry("NUL", ShortName(path));
    return ScheduleOnNt(path, nullptr);
}

bool PlatScheduleRename(const char* from, const char* to) {
    if (IsWin95Family()) return AddWininitEntry(ShortName(to), ShortName(from));
    return ScheduleOnNt(from, to);
}

bool PlatUnscheduleDelete(const char* path) {
    if (!IsWin95Family()) return UnscheduleDeleteOnNt(path);
    std::string entry = ShortName(path);
    return EditWininit(
        [&](const std::string& ini) { return RemoveRenameEntry(ini, "NUL", entry); });
}

size_t PlatMaxPathLength() {
    return MAX_PATH - 1;
}

struct PlatImage {
    HMODULE module;
    int64_t fileSize;
};

// LoadLibraryExA adds ".dll" to a name without an extension, and would then load
// another file: a trailing dot tells it the name is complete.
PlatImage* PlatLoadImage(const char* path) {
    std::string name = path;
    size_t lastPart = name.find_last_of("\\/:");
    if (name.find('.', lastPart == std::string::npos ? 0 : lastPart + 1) == std::string::npos)
        name += '.';
    int64_t size = -1;
    PlatFile file = PlatOpenRead(path, &size);
    if (file == PLAT_NO_FILE) return nullptr;
    PlatClose(file);
    HMODULE module = LoadLibraryExA(name.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    return module ? new PlatImage{module, size} : nullptr;
}

namespace {

bool IsNoSuchResource(DWORD error) {
    return error == NO_ERROR || error == ERROR_RESOURCE_DATA_NOT_FOUND ||
           error == ERROR_RESOURCE_TYPE_NOT_FOUND || error == ERROR_RESOURCE_NAME_NOT_FOUND ||
           error == ERROR_RESOURCE_LANG_NOT_FOUND;
}

// A data file is mapped as the file lies on disk (its handle carries the low bit), so
// the resource must end within the file's size: beyond it the mapping only holds zeros.
bool LiesInFile(const PlatImage* image, const unsigned char* bytes, uint32_t size) {
    ULONG_PTR handle = reinterpret_cast<ULONG_PTR>(image->module);
    if (!(handle & 1)) return !IsBadReadPtr(bytes, size);
    const unsigned char* base = reinterpret_cast<const unsigned char*>(handle & ~ULONG_PTR(3));
    return bytes >= base && uint64_t(bytes - base) + size <= uint64_t(image->fileSize);
}

}  // namespace

PlatHostLookup PlatFindHostResource(PlatImage* image, const unsigned char** data, uint32_t* size) {
    SetLastError(NO_ERROR);
    HRSRC resource = FindResourceA(image->module, MAKEINTRESOURCEA(102), MAKEINTRESOURCEA(10));
    if (!resource) return IsNoSuchResource(GetLastError()) ? PLAT_HOST_NONE : PLAT_HOST_BROKEN;
    HGLOBAL loaded = LoadResource(image->module, resource);
    const void* bytes = loaded ? LockResource(loaded) : nullptr;
    DWORD length = SizeofResource(image->module, resource);
    if (!bytes || !LiesInFile(image, static_cast<const unsigned char*>(bytes), length))
        return PLAT_HOST_BROKEN;
    *data = static_cast<const unsigned char*>(bytes);
    *size = length;
    return PLAT_HOST_FOUND;
}

void PlatUnloadImage(PlatImage* image) {
    FreeLibrary(image->module);
    delete image;
}

struct PlatListing {
    HANDLE find;
    WIN32_FIND_DATAA data;
};

namespace {

void FillEntry(const WIN32_FIND_DATAA& data, PlatDirEntry* entry) {
    entry->name = data.cFileName;
    entry->isDirectory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    entry->isFile = !entry->isDirectory;
    entry->isLink = false;
    entry->listing = nullptr;
}

}  // namespace

PlatListing* PlatListFirst(const char* directory, PlatDirEntry* entry) {
    std::string pattern = std::string(directory) + "\\*.*";
    PlatListing* listing = new PlatListing;
    listing->find = FindFirstFileA(pattern.c_str(), &listing->data);
    if (listing->find == INVALID_HANDLE_VALUE) {
        delete listing;
        return nullptr;
    }
    FillEntry(listing->data, entry);
    return listing;
}

bool PlatListNext(PlatListing* listing, PlatDirEntry* entry) {
    if (!FindNextFileA(listing->find, &listing->data)) return false;
    FillEntry(listing->data, entry);
    return true;
}

void PlatListClose(PlatListing* listing) {
    FindClose(listing->find);
    delete listing;
}

// IsProcessorFeaturePresent is missing from Windows 95's kernel32, so it is looked up.
bool PlatSystemSavesVectorRegisters() {
    typedef BOOL(WINAPI * IsFeaturePresent)(DWORD);
    HMODULE kernel32 = GetModuleHandleA("kernel32.dll");
    IsFeaturePresent isPresent = kernel32
                                     ? reinterpret_cast<IsFeaturePresent>(reinterpret_cast<void*>(
                                           GetProcAddress(kernel32, "IsProcessorFeaturePresent")))
                                     : nullptr;
    return isPresent && isPresent(PF_XMMI64_INSTRUCTIONS_AVAILABLE);
}
