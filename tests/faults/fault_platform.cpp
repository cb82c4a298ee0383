#include "tests/faults/fault_platform.h"

#include <unistd.h>

#include "tests/faults/real_platform_names.h"
// Declares the Real* functions and the platform's types.
#include "platform/platform.h"
#include "platform/restart_list.h"

int g_nFaultAt;
int g_nFaultable;

namespace {

bool Fails() {
    return ++g_nFaultable == g_nFaultAt;
}

}  // namespace

#undef PlatOpenRead
#undef PlatOpenToDetect
#undef PlatFileSize
#undef PlatCreateWork
#undef PlatCopyToWork
#undef PlatClose
#undef PlatReadAt
#undef PlatWriteAll
#undef PlatCutTail
#undef PlatFlushFile
#undef PlatCopyFile
#undef PlatGetAttributes
#undef PlatSetAttributes
#undef PlatSetNormalAttributes
#undef PlatDeleteFile
#undef PlatIsGone
#undef PlatIsSameFile
#undef PlatRenameFile
#undef PlatSyncFolder
#undef PlatLockFileChanges
#undef PlatUnlockFileChanges
#undef PlatMaxPathLength
#undef PlatMaxFolderPathLength
#undef PlatLoadImage
#undef PlatFindResource
#undef PlatUnloadImage
#undef PlatListFirst
#undef PlatListNext
#undef PlatListClose
#undef PlatSystemSavesVectorRegisters
#undef ReadRestartList
#undef WriteRestartList
#undef RestartListName
#undef IsSameRestartListName
#undef IsWorkFileName
#undef PathOfRestartListName

// Calls that may fail. A failed write leaves half its bytes written, a failed copy
// half a copy: what a full disk leaves behind.
PlatFile PlatCreateWork(const char* path) {
    return Fails() ? PLAT_NO_FILE : RealPlatCreateWork(path);
}
PlatFile PlatCopyToWork(const char* from, const char* to) {
    if (!Fails()) return RealPlatCopyToWork(from, to);
    PlatFile copy = RealPlatCopyToWork(from, to);
    if (copy == PLAT_NO_FILE) return PLAT_NO_FILE;
    (void)!ftruncate(int(copy), 100);
    RealPlatClose(copy);
    return PLAT_NO_FILE;
}
bool PlatWriteAll(PlatFile file, const void* data, uint32_t count) {
    if (!Fails()) return RealPlatWriteAll(file, data, count);
    RealPlatWriteAll(file, data, count / 2);
    return false;
}
bool PlatCutTail(PlatFile file, int32_t count) {
    return !Fails() && RealPlatCutTail(file, count);
}
bool PlatFlushFile(PlatFile file) {
    return !Fails() && RealPlatFlushFile(file);
}
bool PlatCopyFile(const char* from, const char* to) {
    if (!Fails()) return RealPlatCopyFile(from, to);
    if (RealPlatCopyFile(from, to)) truncate(to, 100);
    return false;
}
void PlatSetAttributes(const char* path, const PlatAttributes& attributes) {
    if (!Fails()) RealPlatSetAttributes(path, attributes);
}
void PlatSetNormalAttributes(const char* path) {
    if (!Fails()) RealPlatSetNormalAttributes(path);
}
bool PlatDeleteFile(const char* path) {
    return !Fails() && RealPlatDeleteFile(path);
}
bool PlatRenameFile(const char* from, const char* to) {
    return !Fails() && RealPlatRenameFile(from, to);
}
bool PlatLockFileChanges() {
    return !Fails() && RealPlatLockFileChanges();
}
bool ReadRestartList(std::vector<RestartEntry>* entries) {
    return !Fails() && RealReadRestartList(entries);
}
bool WriteRestartList(const std::vector<RestartEntry>& entries) {
    return !Fails() && RealWriteRestartList(entries);
}
PlatImage* PlatLoadImage(const char* path) {
    return Fails() ? nullptr : RealPlatLoadImage(path);
}
PlatResourceLookup PlatFindResource(PlatImage* image, uint16_t type, uint16_t name,
                                    const unsigned char** data, uint32_t* size) {
    return Fails() ? PLAT_RESOURCE_BROKEN : RealPlatFindResource(image, type, name, data, size);
}

// Reads and look-ups pass straight through.
PlatFile PlatOpenRead(const char* path, int64_t* size) {
    return RealPlatOpenRead(path, size);
}
PlatFile PlatOpenToDetect(const char* path, const PlatDirEntry* listed) {
    return RealPlatOpenToDetect(path, listed);
}
int64_t PlatFileSize(PlatFile file) {
    return RealPlatFileSize(file);
}
void PlatClose(PlatFile file) {
    RealPlatClose(file);
}
int32_t PlatReadAt(PlatFile file, int64_t offset, void* buffer, int32_t count) {
    return RealPlatReadAt(file, offset, buffer, count);
}
bool PlatGetAttributes(const char* path, PlatAttributes* attributes) {
    return RealPlatGetAttributes(path, attributes);
}
bool PlatIsGone(const char* path) {
    return RealPlatIsGone(path);
}
bool PlatIsSameFile(const char* first, const char* second) {
    return RealPlatIsSameFile(first, second);
}
void PlatUnlockFileChanges() {
    RealPlatUnlockFileChanges();
}
size_t PlatMaxPathLength() {
    return RealPlatMaxPathLength();
}
size_t PlatMaxFolderPathLength() {
    return RealPlatMaxFolderPathLength();
}
void PlatUnloadImage(PlatImage* image) {
    RealPlatUnloadImage(image);
}
PlatListing* PlatListFirst(const char* directory, PlatDirEntry* entry) {
    return RealPlatListFirst(directory, entry);
}
bool PlatListNext(PlatListing* listing, PlatDirEntry* entry) {
    return RealPlatListNext(listing, entry);
}
void PlatListClose(PlatListing* listing) {
    RealPlatListClose(listing);
}
bool PlatSystemSavesVectorRegisters() {
    return RealPlatSystemSavesVectorRegisters();
}
std::string RestartListName(const char* path) {
    return RealRestartListName(path);
}
bool IsSameRestartListName(const std::string& first, const std::string& second) {
    return RealIsSameRestartListName(first, second);
}
bool IsWorkFileName(const std::string& work, const std::string& file) {
    return RealIsWorkFileName(work, file);
}
bool PathOfRestartListName(const std::string& stored, std::string* path) {
    return RealPathOfRestartListName(stored, path);
}
void PlatSyncFolder(const char* path) {
    RealPlatSyncFolder(path);
}
