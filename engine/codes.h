// Result codes, infection labels and signature constants shared by detection and cleaning.
#pragma once

#include <cstdint>

typedef int32_t DetectResult;
const DetectResult DETECT_CLEAN = 0;
const DetectResult DETECT_INFECTED = 1;
const DetectResult DETECT_OPEN_FAILED = INT32_MIN;    // 0x80000000
const DetectResult DETECT_NO_MEMORY = INT32_MIN + 2;  // 0x80000002

typedef int32_t CleanResult;
const CleanResult CLEAN_DISINFECTED = 0;
const CleanResult CLEAN_DELETED = 1;
const CleanResult CLEAN_FAILED = 2;
const CleanResult CLEAN_PENDING_RESTART = 3;
const CleanResult CLEAN_OPEN_FAILED = INT32_MIN;     // 0x80000000
const CleanResult CLEAN_UNEXPECTED = INT32_MIN + 1;  // 0x80000001

typedef int32_t ScanOutcome;
const ScanOutcome SCAN_CLEAN = 0;
const ScanOutcome SCAN_DISINFECTED = 1;
const ScanOutcome SCAN_CLEAN_FAILED = 2;
const ScanOutcome SCAN_PENDING_RESTART = 3;
const ScanOutcome SCAN_DELETED = 4;
const ScanOutcome SCAN_OPEN_FAILED = -2;

extern const char LABEL_TORVO_A[];   // "infected Win32.Torvo.A@mm"
extern const char LABEL_TORVO_E[];   // "infected Win32.Torvo.E@mm"
extern const char LABEL_JS_TORVO[];  // "infected JS.Torvo.A"

// Executables: the worm's fixed block.
const int32_t EXE_BLOCK_OFFSET = 4096;
const int32_t EXE_BLOCK_LENGTH = 28672;
const uint32_t CRC_EXE_TORVO_A = 0x355E83A1;
const uint32_t CRC_EXE_TORVO_E = 0xFC9790E0;

// E-mail messages: a fixed header, then a fixed block further on.
const int32_t MAIL_HEADER_LENGTH = 717;
const int32_t MAIL_BLOCK_OFFSET = 6320;
const int32_t MAIL_BLOCK_LENGTH = 35504;
const uint32_t CRC_MAIL_HEADER_E = 0x47A46151;
const uint32_t CRC_MAIL_BLOCK_E = 0x14D81976;
const uint32_t CRC_MAIL_HEADER_A = 0xFD930CBB;
const uint32_t CRC_MAIL_BLOCK_A = 0xE77E4C68;

// Web pages: the script appended at the end, checked in two halves.
const int32_t SCRIPT_TAIL_LENGTH = 120;
const int32_t SCRIPT_HALF_LENGTH = 60;
const uint32_t CRC_SCRIPT_FIRST_HALF = 0x78BD4737;
const uint32_t CRC_SCRIPT_SECOND_HALF = 0x6618DFFC;

// The head that tells executables ("MZ") from everything else.
const int32_t HEAD_LENGTH = 64;

// The host program inside an infected executable: RT_RCDATA resource 102.
const uint16_t HOST_RESOURCE_TYPE = 10;
const uint16_t HOST_RESOURCE_NAME = 102;
const uint32_t HOST_MIN_SIZE = 100;

bool IsExecutableHead(const unsigned char* head, int32_t bytesRead);
bool IsScriptTail(const unsigned char* tail);
