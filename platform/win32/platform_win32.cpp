// kernel32 implementation. The restart list is MoveFileExA's delayed operations on
// the NT family and the [rename] section of wininit.ini on the Windows 95 family.
#include <windows.h>

#include <string>

#include "platform/platform.h"
#include "platform/rename_section.h"

namespace {

HANDLE Handle(PlatFile file) {
    return reinterpret_cast<HANDLE>(file);
}
PlatFile FromHandle(HANDLE handle) {
    return reinterpret_cast<PlatFile>(handle);
}

bool IsWin95Family() {
    return (GetVersion() & 0x80000000u) != 0;
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

bool ReadWholeFile(const std::string& path, std::string* text) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD size = GetFileSize(file, nullptr);
    bool ok = size != INVALID_FILE_SIZE;
    if (ok && size > 0) {
        text->resize(size);
        ok = ReadHere(FromHandle(file), &(*text)[0], int32_t(size)) == int32_t(size);
    }
    CloseHandle(file);
    return ok;
}

bool WriteWholeFile(const std::string& path, const std::string& text) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    bool ok = WriteFile(file, text.data(), DWORD(text.size()), &written, nullptr) &&
              written == text.size();
    CloseHandle(file);
    return ok;
}

// The Windows 95 family carries out wininit.ini before long file names are available,
// so existing files are named by their short names there.
std::string ShortName(const char* path) {
    char shortPath[MAX_PATH];
    DWORD length = GetShortPathNameA(path, shortPath, MAX_PATH);
    return length > 0 && length < MAX_PATH ? std::string(shortPath) : std::string(path);
}

// Each call adds its own line: WritePrivateProfileString would replace an earlier NUL= entry.
void AddWininitEntry(const std::string& key, const std::string& value) {
    char windowsDirectory[MAX_PATH];
    UINT length = GetWindowsDirectoryA(windowsDirectory, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return;
    std::string iniPath = std::string(windowsDirectory) + "\\wininit.ini";
    std::string ini;
    ReadWholeFile(iniPath, &ini);
    WriteWholeFile(iniPath, AddRenameEntry(ini, key, value));
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

void PlatScheduleDelete(const char* path) {
    if (IsWin95Family())
        AddWininitEntry("NUL", ShortName(path));
    else
        MoveFileExA(path, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
}

void PlatScheduleRename(const char* from, const char* to) {
    if (IsWin95Family())
        AddWininitEntry(ShortName(to), ShortName(from));
    else
        MoveFileExA(from, to, MOVEFILE_DELAY_UNTIL_REBOOT);
}

size_t PlatMaxPathLength() {
    return MAX_PATH - 1;
}

struct PlatImage;

PlatImage* PlatLoadImage(const char* path) {
    return reinterpret_cast<PlatImage*>(LoadLibraryExA(path, nullptr, LOAD_LIBRARY_AS_DATAFILE));
}

bool PlatFindHostResource(PlatImage* image, const unsigned char** data, uint32_t* size) {
    HMODULE module = reinterpret_cast<HMODULE>(image);
    HRSRC resource = FindResourceA(module, MAKEINTRESOURCEA(102), MAKEINTRESOURCEA(10));
    if (!resource) return false;
    HGLOBAL loaded = LoadResource(module, resource);
    const void* bytes = loaded ? LockResource(loaded) : nullptr;
    if (!bytes) return false;
    *data = static_cast<const unsigned char*>(bytes);
    *size = SizeofResource(module, resource);
    return true;
}

void PlatUnloadImage(PlatImage* image) {
    FreeLibrary(reinterpret_cast<HMODULE>(image));
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
