#include "engine/codes.h"

#include "engine/crc32.h"

const char LABEL_TORVO_A[] = "infected Win32.Torvo.A@mm";
const char LABEL_TORVO_E[] = "infected Win32.Torvo.E@mm";
const char LABEL_JS_TORVO[] = "infected JS.Torvo.A";

bool IsExecutableHead(const unsigned char* head, int32_t bytesRead) {
    return bytesRead >= 2 && head[0] == 'M' && head[1] == 'Z';
}

// The second half is looked at only when the first one matched.
bool IsScriptTail(const unsigned char* tail) {
    return Crc32(tail, SCRIPT_HALF_LENGTH) == CRC_SCRIPT_FIRST_HALF &&
           Crc32(tail + SCRIPT_HALF_LENGTH, SCRIPT_HALF_LENGTH) == CRC_SCRIPT_SECOND_HALF;
}
