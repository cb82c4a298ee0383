#include "tests/faults/fault_platform.h"

#include <unistd.h>

#include "tests/faults/real_platform_names.h"
// Declares the Real* functions and the platform's types.
#include "platform/platform.h"

int g_nFaultAt;
int g_nFaultable;

namespace {

bool Fails() {
    return ++g_nFaultable == g_nFaultAt;
}

}  // namespace

#undef PlatOpenRead
#undef PlatCreateWork
#undef PlatOpenReadWrite
#undef PlatClose
#undef PlatReadAt
#undef PlatReadLast
#undef PlatWriteAll
#undef PlatCutTail
#undef PlatCopyFile
#undef PlatSetNormalAttributes
#undef PlatDeleteFile
#undef PlatIsGone
#undef PlatIsSameFile
#undef PlatRenameFile
#undef PlatScheduleDelete
#undef PlatScheduleRename
#undef PlatUnscheduleDelete
#undef PlatMaxPathLength
#undef PlatLoadImage
#undef PlatFindHostResource
#undef PlatUnloadImage
#undef PlatListFirst
#undef PlatListNext
#undef PlatListClose
#undef PlatSystemSavesVectorRegisters

// Calls that may fail. A failed write leaves half its bytes written, a failed copy
// half a copy: what a full disk leaves behind.
PlatFile PlatCreateWork(const char* path) {
    return Fails() ? PLAT_NO_FILE : RealPlatCreateWork(path);
}
PlatFile PlatOpenReadWrite(const char* path) {
    return Fails() ? PLAT_NO_FILE : RealPlatOpenReadWrite(path);
}
bool PlatWriteAll(PlatFile file, const void* data, uint32_t count) {
    if (!Fails()) return RealPlatWriteAll(file, data, count);
    RealPlatWriteAll(file, data, count / 2);
    return false;
}
bool PlatCutTail(PlatFile file, int32_t count) {
    return !Fails() && RealPlatCutTail(file, count);
}
bool PlatCopyFile(const char* from, const char* to) {
    if (!Fails()) return RealPlatCopyFile(from, to);
    if (RealPlatCopyFile(from, to)) truncate(to, 100);
    return false;
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
bool PlatScheduleDelete(const char* path) {
    return !Fails() && RealPlatScheduleDelete(path);
}
bool PlatScheduleRename(const char* from, const char* to) {
    return !Fails() && RealPlatScheduleRename(from, to);
}
bool PlatUnscheduleDelete(const char* path) {
    return !Fails() && RealPlatUnscheduleDelete(path);
}
PlatImage* PlatLoadImage(const char* path) {
    return Fails() ? nullptr : RealPlatLoadImage(path);
}
PlatHostLookup PlatFindHostResource(PlatImage* image, const unsigned char** data, uint32_t* size) {
    return Fails() ? PLAT_HOST_BROKEN : RealPlatFindHostResource(image, data, size);
}

// Reads and look-ups pass straight through.
PlatFile PlatOpenRead(const char* path, int64_t* size) {
    return RealPlatOpenRead(path, size);
}
void PlatClose(PlatFile file) {
    RealPlatClose(file);
}
int32_t PlatReadAt(PlatFile file, int32_t offset, void* buffer, int32_t count) {
    return RealPlatReadAt(file, offset, buffer, count);
}
int32_t PlatReadLast(PlatFile file, void* buffer, int32_t count) {
    return RealPlatReadLast(file, buffer, count);
}
bool PlatIsGone(const char* path) {
    return RealPlatIsGone(path);
}
bool PlatIsSameFile(const char* first, const char* second) {
    return RealPlatIsSameFile(first, second);
}
size_t PlatMaxPathLength() {
    return RealPlatMaxPathLength();
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
