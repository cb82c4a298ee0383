#include "engine/detect.h"

#include <cstdlib>

#include "engine/crc32.h"
#include "platform/platform.h"

namespace {

// The outcome of reading one region: no buffer, not all bytes there, or its CRC.
struct RegionCrc {
    bool noMemory;
    bool complete;
    uint32_t crc;
};

RegionCrc CrcOfRegion(PlatFile file, int32_t offset, int32_t length) {
    RegionCrc result = {false, false, 0};
    unsigned char* buffer = static_cast<unsigned char*>(malloc(size_t(length)));
    if (!buffer) {
        result.noMemory = true;
        return result;
    }
    result.complete = PlatReadAt(file, offset, buffer, length) == length;
    if (result.complete) result.crc = Crc32(buffer, length);
    free(buffer);
    return result;
}

bool Matches(const RegionCrc& region, uint32_t signature) {
    return region.complete && region.crc == signature;
}

DetectResult DetectExecutable(PlatFile file, const char** label) {
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
DetectResult DetectMailBlock(PlatFile file, uint32_t blockSignature, const char* matchLabel,
                             const char** label) {
    RegionCrc block = CrcOfRegion(file, MAIL_BLOCK_OFFSET, MAIL_BLOCK_LENGTH);
    if (block.noMemory) return DETECT_NO_MEMORY;
    if (!Matches(block, blockSignature)) return DETECT_CLEAN;
    *label = matchLabel;
    return DETECT_INFECTED;
}

DetectResult DetectScriptTail(PlatFile file, const char** label) {
    unsigned char* tail = static_cast<unsigned char*>(malloc(SCRIPT_TAIL_LENGTH));
    if (!tail) return DETECT_NO_MEMORY;
    DetectResult result = DETECT_CLEAN;
    if (PlatReadLast(file, tail, SCRIPT_TAIL_LENGTH) == SCRIPT_TAIL_LENGTH && IsScriptTail(tail)) {
        *label = LABEL_JS_TORVO;
        result = DETECT_INFECTED;
    }
    free(tail);
    return result;
}

DetectResult DetectNonExecutable(PlatFile file, const char** label) {
    RegionCrc header = CrcOfRegion(file, 0, MAIL_HEADER_LENGTH);
    if (header.noMemory) return DETECT_NO_MEMORY;
    if (Matches(header, CRC_MAIL_HEADER_E))
        return DetectMailBlock(file, CRC_MAIL_BLOCK_E, LABEL_TORVO_E, label);
    if (Matches(header, CRC_MAIL_HEADER_A))
        return DetectMailBlock(file, CRC_MAIL_BLOCK_A, LABEL_TORVO_A, label);
    return DetectScriptTail(file, label);
}

}  // namespace

DetectResult DetectFile(const char* path, const char** label) {
    *label = LABEL_TORVO_A;
    PlatFile file = PlatOpenRead(path);
    if (file == PLAT_NO_FILE) return DETECT_OPEN_FAILED;
    unsigned char head[HEAD_LENGTH];
    int32_t headRead = PlatReadAt(file, 0, head, HEAD_LENGTH);
    DetectResult result = IsExecutableHead(head, headRead) ? DetectExecutable(file, label)
                                                           : DetectNonExecutable(file, label);
    PlatClose(file);
    return result;
}
