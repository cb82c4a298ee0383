// The host's file system on Windows, over kernel32; the restart list and the lock of
// file changes are in restart_list.cpp.
#include <windows.h>

#include <cstring>
#include <string>

#include "platform/win32/family.h"
#include "platform/win32/long_names.h"
#include "platform/win32/win32_platform.h"

namespace {

HANDLE Handle(PlatFile file) {
    return reinterpret_cast<HANDLE>(file);
}
PlatFile FromHandle(HANDLE handle) {
    return reinterpret_cast<PlatFile>(handle);
}

// Offsets are 64-bit: the high part goes in and out beside the low one, on both families.
bool Seek(PlatFile file, int64_t distance, DWORD origin) {
    LONG high = LONG(distance >> 32);
    SetLastError(NO_ERROR);
    return SetFilePointer(Handle(file), LONG(uint32_t(distance)), &high, origin) !=
               INVALID_SET_FILE_POINTER ||
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

}  // namespace

PlatFile Win32Platform::OpenRead(const char* path, int64_t* size) {
    HANDLE file =
        CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file != INVALID_HANDLE_VALUE && size) *size = FileSize(FromHandle(file));
    return FromHandle(file);
}

// Others may go on writing it; the file is asked again before cleaning.
PlatFile Win32Platform::OpenToDetect(const char* path, const PlatDirEntry*) {
    return FromHandle(CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, 0, nullptr));
}

int64_t Win32Platform::FileSize(PlatFile file) {
    DWORD high = 0;
    DWORD low = GetFileSize(Handle(file), &high);
    return low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR
               ? -1
               : int64_t(uint64_t(high) << 32 | low);
}

// Readers are let in: another process's detection may be reading the old file of that
// name, and must not keep the work file from being made.
PlatFile Win32Platform::CreateWork(const char* path) {
    return FromHandle(CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                  CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
}

void Win32Platform::Close(PlatFile file) {
    CloseHandle(Handle(file));
}

int32_t Win32Platform::ReadAt(PlatFile file, int64_t offset, void* buffer, int32_t count) {
    return Seek(file, offset, FILE_BEGIN) ? ReadHere(file, buffer, count) : 0;
}

bool Win32Platform::WriteAll(PlatFile file, const void* data, uint32_t count) {
    DWORD written = 0;
    return WriteFile(Handle(file), data, count, &written, nullptr) && written == count;
}

bool Win32Platform::CutTail(PlatFile file, int32_t count) {
    return Seek(file, -count, FILE_END) && SetEndOfFile(Handle(file));
}

bool Win32Platform::FlushFile(PlatFile file) {
    return FlushFileBuffers(Handle(file)) != 0;
}

namespace {

bool CopyData(PlatFile source, PlatFile target) {
    std::string buffer(1 << 16, '\0');
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(Handle(source), &buffer[0], DWORD(buffer.size()), &got, nullptr))
            return false;
        DWORD written = 0;
        if (got == 0) return true;
        if (!WriteFile(Handle(target), buffer.data(), got, &written, nullptr) || written != got)
            return false;
    }
}

}  // namespace

// Copied through the work file's own handle, which stays open: no other process can take
// the copy between its copying and its cut.
PlatFile Win32Platform::CopyToWork(const char* from, const char* to) {
    PlatFile source = OpenRead(from);
    if (source == PLAT_NO_FILE) return PLAT_NO_FILE;
    PlatFile target = CreateWork(to);
    bool copied = target != PLAT_NO_FILE && CopyData(source, target);
    Close(source);
    if (copied || target == PLAT_NO_FILE) return target;
    Close(target);
    DeleteFileA(to);
    return PLAT_NO_FILE;
}

bool Win32Platform::Copy(const char* from, const char* to) {
    PlatFile copy = CopyToWork(from, to);
    if (copy == PLAT_NO_FILE) return false;
    Close(copy);
    return true;
}

const DWORD kKeptAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                              FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE;

bool Win32Platform::GetAttributes(const char* path, PlatAttributes* attributes) {
    DWORD bits = GetFileAttributesA(path);
    if (bits == INVALID_FILE_ATTRIBUTES || (bits & FILE_ATTRIBUTE_DIRECTORY)) return false;
    *attributes = {bits & kKeptAttributes, 0, 0};
    return true;
}

void Win32Platform::SetAttributes(const char* path, const PlatAttributes& attributes) {
    DWORD bits = attributes.bits & kKeptAttributes;
    SetFileAttributesA(path, bits ? bits : FILE_ATTRIBUTE_NORMAL);
}

void Win32Platform::SetNormalAttributes(const char* path) {
    SetFileAttributesA(path, FILE_ATTRIBUTE_NORMAL);
}

namespace {

// Another run's scan may hold the file just then, for the few reads of its detection
// (and on the NT family a name stays taken until the last handle to its deleted file is
// closed). A change that meets such a reader waits for it a little; a file in use by a
// program stays in use, and the change then fails as before.
template <typename Change>
bool ChangeWhenFree(Change change) {
    const int kAttempts = 20;
    for (int attempt = 1;; ++attempt) {
        if (change()) return true;
        DWORD error = GetLastError();
        if ((error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED) ||
            attempt == kAttempts)
            return false;
        Sleep(20);
    }
}

}  // namespace

bool Win32Platform::Remove(const char* path) {
    return ChangeWhenFree([&] { return DeleteFileA(path) != 0; });
}

namespace {

// On the NT family a rename is written through to the disk before MoveFileEx returns.
// The Windows 95 family has no MoveFileEx: there MoveFile is all there is.
bool RenameThrough(const char* from, const char* to) {
    if (IsWin95Family()) return MoveFileA(from, to) != 0;
    return MoveFileExA(from, to, MOVEFILE_WRITE_THROUGH) != 0;
}

}  // namespace

// A file reached by its short name gets its long name back (only the NT family lists
// names that need it).
bool Win32Platform::Rename(const char* from, const char* to) {
    const std::wstring* longName = LongNameOf(to);
    if (!longName) return ChangeWhenFree([&] { return RenameThrough(from, to); });
    typedef BOOL(WINAPI * MoveWide)(LPCWSTR, LPCWSTR, DWORD);
    static MoveWide moveWide = SystemFunction<MoveWide>("kernel32.dll", "MoveFileExW");
    return moveWide && ChangeWhenFree([&] {
               return moveWide(Widened(from).c_str(), longName->c_str(), MOVEFILE_WRITE_THROUGH) !=
                      0;
           });
}

// Neither family lets a program flush a folder: a deletion is made durable by the
// write-through rename that follows it, or by the system in its own time.
void Win32Platform::SyncFolder(const char*) {}

// A path too long to reach is not gone: it cannot be told.
bool Win32Platform::IsGone(const char* path) {
    if (strlen(path) > MaxPathLength()) return false;
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

bool Win32Platform::IsSameFile(const char* first, const char* second) {
    BY_HANDLE_FILE_INFORMATION a, b;
    return IdentifyFile(first, &a) && IdentifyFile(second, &b) &&
           a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
           a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
}

size_t Win32Platform::MaxPathLength() {
    return MAX_PATH - 1;
}

// A folder is listed through the pattern "<folder>\*.*", which must fit as well.
size_t Win32Platform::MaxFolderPathLength() {
    return MAX_PATH - 1 - 4;
}

namespace {

struct LoadedImage : PlatImage {
    LoadedImage(HMODULE loaded, int64_t size) : module(loaded), fileSize(size) {}
    HMODULE module;
    int64_t fileSize;
};

LoadedImage& Loaded(PlatImage* image) {
    return *static_cast<LoadedImage*>(image);
}

}  // namespace

// LoadLibraryExA adds ".dll" to a name without an extension, and would then load
// another file: a trailing dot tells it the name is complete.
PlatImage* Win32Platform::LoadExecutable(const char* path) {
    std::string name = path;
    size_t lastPart = name.find_last_of("\\/:");
    if (name.find('.', lastPart == std::string::npos ? 0 : lastPart + 1) == std::string::npos)
        name += '.';
    int64_t size = -1;
    PlatFile file = OpenRead(path, &size);
    if (file == PLAT_NO_FILE) return nullptr;
    Close(file);
    HMODULE module = LoadLibraryExA(name.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    return module ? new LoadedImage(module, size) : nullptr;
}

namespace {

bool IsNoSuchResource(DWORD error) {
    return error == NO_ERROR || error == ERROR_RESOURCE_DATA_NOT_FOUND ||
           error == ERROR_RESOURCE_TYPE_NOT_FOUND || error == ERROR_RESOURCE_NAME_NOT_FOUND ||
           error == ERROR_RESOURCE_LANG_NOT_FOUND;
}

// A data file is mapped as the file lies on disk (its handle carries the low bit), so
// the resource must end within the file's size: beyond it the mapping only holds zeros.
bool LiesInFile(const LoadedImage* image, const unsigned char* bytes, uint32_t size) {
    ULONG_PTR handle = reinterpret_cast<ULONG_PTR>(image->module);
    if (!(handle & 1)) return !IsBadReadPtr(bytes, size);
    const unsigned char* base = reinterpret_cast<const unsigned char*>(handle & ~ULONG_PTR(3));
    return bytes >= base && uint64_t(bytes - base) + size <= uint64_t(image->fileSize);
}

}  // namespace

PlatResourceLookup Win32Platform::FindResourceData(PlatImage* image, uint16_t type, uint16_t name,
                                                   const unsigned char** data, uint32_t* size) {
    SetLastError(NO_ERROR);
    HRSRC resource =
        FindResourceA(Loaded(image).module, MAKEINTRESOURCEA(name), MAKEINTRESOURCEA(type));
    if (!resource)
        return IsNoSuchResource(GetLastError()) ? PLAT_RESOURCE_NONE : PLAT_RESOURCE_BROKEN;
    HGLOBAL loaded = LoadResource(Loaded(image).module, resource);
    const void* bytes = loaded ? LockResource(loaded) : nullptr;
    DWORD length = SizeofResource(Loaded(image).module, resource);
    if (!bytes || !LiesInFile(&Loaded(image), static_cast<const unsigned char*>(bytes), length))
        return PLAT_RESOURCE_BROKEN;
    *data = static_cast<const unsigned char*>(bytes);
    *size = length;
    return PLAT_RESOURCE_FOUND;
}

void Win32Platform::UnloadExecutable(PlatImage* image) {
    FreeLibrary(Loaded(image).module);
    delete image;
}

namespace {

struct FindListing : PlatListing {
    std::string directory;
    HANDLE find;
    bool wide;
    WIN32_FIND_DATAA data;
    WIN32_FIND_DATAW wideData;
    char name[2 * MAX_PATH];  // what the entry is called here
};

// The Windows 95 family has the wide functions only as stubs that fail: the ANSI
// listing stands in where they fail.
typedef HANDLE(WINAPI* FindFirstWide)(LPCWSTR, WIN32_FIND_DATAW*);
typedef BOOL(WINAPI* FindNextWide)(HANDLE, WIN32_FIND_DATAW*);

bool SameWide(const WCHAR* first, const WCHAR* second) {
    for (; *first && *first == *second; ++first, ++second) {
    }
    return *first == *second;
}

// The ANSI name that stands for `wide` exactly. A name outside the ANSI code page has
// none: converted, it would come back as another name ("best fit") or with '?'.
bool ToExactAnsi(const WCHAR* wide, char* ansi, int size) {
    WCHAR back[MAX_PATH];
    return wide[0] && WideCharToMultiByte(CP_ACP, 0, wide, -1, ansi, size, nullptr, nullptr) &&
           MultiByteToWideChar(CP_ACP, 0, ansi, -1, back, MAX_PATH) && SameWide(back, wide);
}

// How an entry that cannot be reached is called in reports: '?' for what the code page
// lacks, never a best fit that names another file. NT 4 knows no WC_NO_BEST_FIT_CHARS.
void ToReportedAnsi(const WCHAR* wide, char* ansi, int size) {
    if (!WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide, -1, ansi, size, nullptr,
                             nullptr) &&
        !WideCharToMultiByte(CP_ACP, 0, wide, -1, ansi, size, nullptr, nullptr))
        lstrcpyA(ansi, "?");
}

std::wstring FullWidePath(const std::string& path) {
    char full[MAX_PATH];
    DWORD length = GetFullPathNameA(path.c_str(), MAX_PATH, full, nullptr);
    return Widened(length > 0 && length < MAX_PATH ? full : path);
}

// A name that does not survive the way through the ANSI code page is reached by its
// short name, where it has one, and keeps its long name; otherwise it cannot be reached.
void NameWideEntry(FindListing* listing, PlatDirEntry* entry) {
    const WIN32_FIND_DATAW& data = listing->wideData;
    char* name = listing->name;
    bool exact = ToExactAnsi(data.cFileName, name, sizeof listing->name);
    bool byShortName = !exact && ToExactAnsi(data.cAlternateFileName, name, sizeof listing->name);
    if (byShortName)
        RememberLongName(listing->directory + "\\" + name,
                         FullWidePath(listing->directory) + L"\\" + data.cFileName);
    if (!exact && !byShortName) ToReportedAnsi(data.cFileName, name, sizeof listing->name);
    entry->isUnreachable = !exact && !byShortName;
    entry->isDirectory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// The ANSI listing marks what the code page lacks with '?', which no name may hold.
void NameAnsiEntry(FindListing* listing, PlatDirEntry* entry) {
    const WIN32_FIND_DATAA& data = listing->data;
    const char* name = data.cFileName;
    if (strchr(name, '?') && data.cAlternateFileName[0] && !strchr(data.cAlternateFileName, '?'))
        name = data.cAlternateFileName;
    lstrcpynA(listing->name, name, sizeof listing->name);
    entry->isUnreachable = strchr(name, '?') != nullptr;
    entry->isDirectory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

void FillEntry(FindListing* listing, PlatDirEntry* entry) {
    if (listing->wide)
        NameWideEntry(listing, entry);
    else
        NameAnsiEntry(listing, entry);
    entry->name = listing->name;
    entry->isFile = !entry->isDirectory;
    entry->isLink = false;
    entry->listing = nullptr;
}

bool StartWide(const std::string& pattern, FindListing* listing) {
    static FindFirstWide findFirst =
        SystemFunction<FindFirstWide>("kernel32.dll", "FindFirstFileW");
    if (!findFirst) return false;
    listing->find = findFirst(Widened(pattern).c_str(), &listing->wideData);
    listing->wide = listing->find != INVALID_HANDLE_VALUE;
    return listing->wide || GetLastError() != ERROR_CALL_NOT_IMPLEMENTED;
}

}  // namespace

PlatListing* Win32Platform::ListFirst(const char* directory, PlatDirEntry* entry) {
    std::string pattern = std::string(directory) + "\\*.*";
    FindListing* listing = new FindListing;
    listing->directory = directory;
    if (!StartWide(pattern, listing)) {
        listing->wide = false;
        listing->find = FindFirstFileA(pattern.c_str(), &listing->data);
    }
    if (listing->find == INVALID_HANDLE_VALUE) {
        delete listing;
        return nullptr;
    }
    FillEntry(listing, entry);
    return listing;
}

bool Win32Platform::ListNext(PlatListing* open, PlatDirEntry* entry) {
    FindListing* listing = static_cast<FindListing*>(open);
    static FindNextWide findNext = SystemFunction<FindNextWide>("kernel32.dll", "FindNextFileW");
    bool found = listing->wide ? findNext(listing->find, &listing->wideData) != 0
                               : FindNextFileA(listing->find, &listing->data) != 0;
    if (found) FillEntry(listing, entry);
    return found;
}

void Win32Platform::ListClose(PlatListing* listing) {
    FindClose(static_cast<FindListing*>(listing)->find);
    delete listing;
}

// IsProcessorFeaturePresent is missing from Windows 95's kernel32, so it is looked up.
bool PlatSystemSavesVectorRegisters() {
    typedef BOOL(WINAPI * IsFeaturePresent)(DWORD);
    IsFeaturePresent isPresent =
        SystemFunction<IsFeaturePresent>("kernel32.dll", "IsProcessorFeaturePresent");
    return isPresent && isPresent(PF_XMMI64_INSTRUCTIONS_AVAILABLE);
}
