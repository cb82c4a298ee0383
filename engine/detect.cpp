#include "engine/detect.h"

#include <cstdlib>
#include <cstring>

#include "engine/crc32.h"
#include "platform/platform.h"

namespace {

// A file open for detection, on its platform.
struct OpenFile {
    Platform& platform;
    PlatFile handle;

    int32_t ReadAt(int64_t offset, void* buffer, int32_t count) const {
        return platform.ReadAt(handle, offset, buffer, count);
    }
    int64_t Size() const { return platform.FileSize(handle); }
};

// The outcome of reading one region: no buffer, not all bytes there, or its CRC.
struct RegionCrc {
    bool noMemory;
    bool complete;
    uint32_t crc;
};

RegionCrc CrcOfRegion(const OpenFile& file, int64_t offset, int32_t length) {
    RegionCrc result = {false, false, 0};
    unsigned char* buffer = static_cast<unsigned char*>(malloc(size_t(length)));
    if (!buffer) {
        result.noMemory = true;
        return result;
    }
    result.complete = file.ReadAt(offset, buffer, length) == length;
    if (result.complete) result.crc = Crc32(buffer, length);
    free(buffer);
    return result;
}

bool Matches(const RegionCrc& region, uint32_t signature) {
    return region.complete && region.crc == signature;
}

DetectResult DetectExecutable(const OpenFile& file, const char** label) {
    RegionCrc block = CrcOfRegion(file, EXE_BLOCK_OFFSET, EXE_BLOCK_LENGTH);
    if (block.noMemory) return DETECT_NO_MEMORY;
    if (Matches(block, CRC_EXE_TORVO_A)) return DETECT_INFECTED;
    if (Matches(block, CRC_EXE_TORVO_E)) {
        *label = LABEL_TORVO_E;
        return DETECT_INFECTED;
    }
    return DETECT_CLEAN;
}

// A message whose header matched is decided by its block alone; the tail is not looked at.
DetectResult DetectMailBlock(const OpenFile& file, uint32_t blockSignature, const char* matchLabel,
                             const char** label) {
    RegionCrc block = CrcOfRegion(file, MAIL_BLOCK_OFFSET, MAIL_BLOCK_LENGTH);
    if (block.noMemory) return DETECT_NO_MEMORY;
    if (!Matches(block, blockSignature)) return DETECT_CLEAN;
    *label = matchLabel;
    return DETECT_INFECTED;
}

// The first read takes a page: most files are smaller, so it holds the whole file, its
// size and its tail, and is the only read they need.
const int32_t kFirstReadLength = sizeof(FileHead::bytes);

DetectResult DetectScriptTail(const OpenFile& file, const unsigned char* head, int32_t headRead,
                              const char** label) {
    int64_t size = headRead < kFirstReadLength ? headRead : file.Size();
    if (size < SCRIPT_TAIL_LENGTH) return DETECT_CLEAN;
    unsigned char tail[SCRIPT_TAIL_LENGTH];
    const unsigned char* last = tail;
    if (size <= headRead) {
        last = head + size - SCRIPT_TAIL_LENGTH;
    } else if (file.ReadAt(size - SCRIPT_TAIL_LENGTH, tail, SCRIPT_TAIL_LENGTH) !=
               SCRIPT_TAIL_LENGTH) {
        return DETECT_CLEAN;
    }
    if (!IsScriptTail(last)) return DETECT_CLEAN;
    *label = LABEL_JS_TORVO;
    return DETECT_INFECTED;
}

// `head` holds the first `headRead` bytes of the file.
DetectResult DetectNonExecutable(const OpenFile& file, const unsigned char* head, int32_t headRead,
                                 const char** label) {
    if (headRead >= MAIL_HEADER_LENGTH) {
        uint32_t header = Crc32(head, MAIL_HEADER_LENGTH);
        if (header == CRC_MAIL_HEADER_E)
            return DetectMailBlock(file, CRC_MAIL_BLOCK_E, LABEL_TORVO_E, label);
        if (header == CRC_MAIL_HEADER_A)
            return DetectMailBlock(file, CRC_MAIL_BLOCK_A, LABEL_TORVO_A, label);
    }
    return DetectScriptTail(file, head, headRead, label);
}

}  // namespace

// Regions that end beyond the file's size never match. Detection only reads, and may
// run beside another process that cleans: it asks no sharing of others (the cleaning
// does, see ScanFile).
DetectResult DetectFile(Platform& platform, const char* path, const char** label,
                        const PlatDirEntry* listed) {
    bool isExecutable;
    return DetectFileForm(platform, path, label, listed, &isExecutable);
}

DetectResult DetectFileForm(Platform& platform, const char* path, const char** label,
                            const PlatDirEntry* listed, bool* isExecutable, FileHead* fileHead) {
    *label = LABEL_TORVO_A;
    *isExecutable = false;
    // A name that stands for another file, or a path beyond reach, is never opened.
    if ((listed && listed->isUnreachable) || strlen(path) > platform.MaxPathLength())
        return DETECT_OPEN_FAILED;
    OpenFile file = {platform, platform.OpenToDetect(path, listed)};
    if (file.handle == PLAT_NO_FILE) return DETECT_OPEN_FAILED;
    unsigned char head[kFirstReadLength];
    int32_t headRead = file.ReadAt(0, head, kFirstReadLength);
    if (fileHead) {
        memcpy(fileHead->bytes, head, size_t(headRead));
        fileHead->length = headRead;
    }
    *isExecutable = IsExecutableHead(head, headRead);
    DetectResult result = *isExecutable ? DetectExecutable(file, label)
                                        : DetectNonExecutable(file, head, headRead, label);
    platform.Close(file.handle);
    return result;
}
