#include "tools/samplegen/samples.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "engine/codes.h"
#include "engine/crc32.h"

namespace samples {
namespace {

void Require(bool condition, const char* what) {
    if (condition) return;
    std::fprintf(stderr, "samplegen: internal error: %s\n", what);
    std::abort();
}

// --- CRC register, forwards and backwards -------------------------------------------

struct CrcTables {
    uint32_t entry[256];
    unsigned char indexOfTopByte[256];  // T[i] >> 24 differs for every i
};

const CrcTables& Tables() {
    static const CrcTables tables = [] {
        CrcTables t{};
        for (uint32_t n = 0; n < 256; ++n) {
            uint32_t c = n;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
            t.entry[n] = c;
            t.indexOfTopByte[c >> 24] = static_cast<unsigned char>(n);
        }
        return t;
    }();
    return tables;
}

// The register before `byte` was fed, given the register after it. A forward step is
// after = (before >> 8) ^ T[(before ^ byte) & 0xFF], so the top byte of `after` comes
// from the table entry alone and names it.
uint32_t StepBack(uint32_t after, unsigned char byte) {
    const CrcTables& t = Tables();
    uint32_t index = t.indexOfTopByte[after >> 24];
    return ((after ^ t.entry[index]) << 8) | (index ^ byte);
}

// --- Text helpers ---------------------------------------------------------------------

void Append(Bytes& out, const std::string& text) {
    out.insert(out.end(), text.begin(), text.end());
}

Bytes ToBytes(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

// Appends `text`, whose "????" is to be forced, and returns where the "????" landed.
size_t AppendWithPatch(Bytes& out, const std::string& text) {
    size_t marker = text.find("????");
    Require(marker != std::string::npos, "text without a patch marker");
    Append(out, text);
    return out.size() - text.size() + marker;
}

// --- Portable executable --------------------------------------------------------------

// File offsets equal RVAs: the headers, then .text holding exactly the worm block,
// then .rsrc with one resource. Without a resource there is no .rsrc at all.
const uint32_t FILE_ALIGN = 0x200;
const uint32_t SECTION_ALIGN = 0x1000;
const uint32_t PE_OFFSET = 0x40;
const uint32_t COFF_OFFSET = PE_OFFSET + 4;
const uint32_t OPTIONAL_OFFSET = COFF_OFFSET + 20;
const uint32_t OPTIONAL_SIZE = 0xE0;
const uint32_t SECTIONS_OFFSET = OPTIONAL_OFFSET + OPTIONAL_SIZE;
const uint32_t TEXT_START = EXE_BLOCK_OFFSET;
const uint32_t RSRC_START = EXE_BLOCK_OFFSET + EXE_BLOCK_LENGTH;
// Three one-entry directories (type, name, language) and the data entry.
const uint32_t RESOURCE_TREE_SIZE = 3 * 24 + 16;
const uint32_t MAX_RESOURCE_SIZE = 0x7FFF0000u - RSRC_START - RESOURCE_TREE_SIZE;

uint32_t AlignUp(uint32_t value, uint32_t alignment) {
    return (value + alignment - 1) / alignment * alignment;
}

void Put16(Bytes& image, size_t at, uint32_t value) {
    image[at] = static_cast<unsigned char>(value);
    image[at + 1] = static_cast<unsigned char>(value >> 8);
}

void Put32(Bytes& image, size_t at, uint32_t value) {
    Put16(image, at, value & 0xFFFF);
    Put16(image, at + 2, value >> 16);
}

void WriteSection(Bytes& image, int index, const char* name, uint32_t start, uint32_t usedSize,
                  uint32_t characteristics) {
    size_t at = SECTIONS_OFFSET + 40 * index;
    std::memcpy(&image[at], name, std::strlen(name));
    Put32(image, at + 8, usedSize);                        // VirtualSize
    Put32(image, at + 12, start);                          // VirtualAddress
    Put32(image, at + 16, AlignUp(usedSize, FILE_ALIGN));  // SizeOfRawData
    Put32(image, at + 20, start);                          // PointerToRawData
    Put32(image, at + 36, characteristics);
}

void WriteHeaders(Bytes& image, uint32_t resourceSectionSize) {
    image[0] = 'M';
    image[1] = 'Z';
    Put32(image, 0x3C, PE_OFFSET);  // e_lfanew
    std::memcpy(&image[PE_OFFSET], "PE\0\0", 4);

    bool hasResource = resourceSectionSize > 0;
    Put16(image, COFF_OFFSET, 0x14C);  // i386
    Put16(image, COFF_OFFSET + 2, hasResource ? 2 : 1);
    Put16(image, COFF_OFFSET + 16, OPTIONAL_SIZE);
    Put16(image, COFF_OFFSET + 18, 0x0103);  // relocations stripped, executable, 32-bit

    const size_t o = OPTIONAL_OFFSET;
    Put16(image, o, 0x10B);                                         // PE32
    Put32(image, o + 4, EXE_BLOCK_LENGTH);                          // SizeOfCode
    Put32(image, o + 8, AlignUp(resourceSectionSize, FILE_ALIGN));  // SizeOfInitializedData
    Put32(image, o + 16, TEXT_START);                               // AddressOfEntryPoint
    Put32(image, o + 20, TEXT_START);                               // BaseOfCode
    Put32(image, o + 24, RSRC_START);                               // BaseOfData
    Put32(image, o + 28, 0x400000);                                 // ImageBase
    Put32(image, o + 32, SECTION_ALIGN);
    Put32(image, o + 36, FILE_ALIGN);
    Put16(image, o + 40, 4);  // operating system 4.0
    Put16(image, o + 48, 4);  // subsystem 4.0
    Put32(image, o + 56, RSRC_START + AlignUp(resourceSectionSize, SECTION_ALIGN));  // SizeOfImage
    Put32(image, o + 60, FILE_ALIGN);  // SizeOfHeaders
    Put16(image, o + 68, 2);           // Windows GUI
    Put32(image, o + 72, 0x100000);    // stack and heap, reserve and commit
    Put32(image, o + 76, 0x1000);
    Put32(image, o + 80, 0x100000);
    Put32(image, o + 84, 0x1000);
    Put32(image, o + 92, 16);  // data directories
    if (hasResource) {
        Put32(image, o + 96 + 2 * 8, RSRC_START);
        Put32(image, o + 100 + 2 * 8, resourceSectionSize);
    }

    WriteSection(image, 0, ".text", TEXT_START, EXE_BLOCK_LENGTH, 0x60000020);
    if (hasResource) WriteSection(image, 1, ".rsrc", RSRC_START, resourceSectionSize, 0x40000040);
}

// A resource directory with a single ID entry pointing at `target`.
void WriteDirectory(Bytes& image, size_t at, uint32_t id, uint32_t target) {
    Put16(image, at + 14, 1);  // NumberOfIdEntries
    Put32(image, at + 16, id);
    Put32(image, at + 20, target);
}

void WriteResource(Bytes& image, const Bytes& resource) {
    const uint32_t subdirectory = 0x80000000u;
    WriteDirectory(image, RSRC_START, HOST_RESOURCE_TYPE, subdirectory | 24);
    WriteDirectory(image, RSRC_START + 24, HOST_RESOURCE_NAME, subdirectory | 48);
    WriteDirectory(image, RSRC_START + 48, 0x409, 72);
    Put32(image, RSRC_START + 72, RSRC_START + RESOURCE_TREE_SIZE);  // data RVA
    Put32(image, RSRC_START + 76, static_cast<uint32_t>(resource.size()));
    std::copy(resource.begin(), resource.end(), image.begin() + RSRC_START + RESOURCE_TREE_SIZE);
}

Bytes BuildExe(const Bytes& block, const Bytes* resource) {
    Require(block.size() == size_t(EXE_BLOCK_LENGTH), "block of the wrong size");
    Require(!resource || resource->size() <= MAX_RESOURCE_SIZE, "resource too large");
    uint32_t resourceSectionSize =
        resource ? RESOURCE_TREE_SIZE + static_cast<uint32_t>(resource->size()) : 0;
    Bytes image(RSRC_START + AlignUp(resourceSectionSize, FILE_ALIGN), 0);
    WriteHeaders(image, resourceSectionSize);
    std::copy(block.begin(), block.end(), image.begin() + TEXT_START);
    if (resource) WriteResource(image, *resource);
    return image;
}

bool IsExeSignature(uint32_t crc) {
    return crc == CRC_EXE_TORVO_A || crc == CRC_EXE_TORVO_E;
}

// --- Near misses ----------------------------------------------------------------------

Bytes MailHeaderOnlyWithTail() {
    Bytes mail = MailMessage(VARIANT_A);
    unsigned char& inBlock = mail[MAIL_BLOCK_OFFSET + 100];
    inBlock = inBlock == '#' ? '*' : '#';
    Bytes tail = ScriptTail();
    mail.insert(mail.end(), tail.begin(), tail.end());
    return mail;
}

Bytes PageExtraByte() {
    Bytes page = InfectedPage(PlainPage());
    page.push_back('\n');
    return page;
}

Bytes PageFirstHalf() {
    Bytes page = InfectedPage(PlainPage());
    page[page.size() - 2] ^= 0x20;
    return page;
}

Bytes ExeWithHead(const char* head) {
    Bytes exe = InfectedExe(VARIANT_A, nullptr);
    exe[0] = head[0];
    exe[1] = head[1];
    return exe;
}

Bytes ExeOneShort() {
    Bytes exe = InfectedExe(VARIANT_A, nullptr);
    exe.resize(RSRC_START - 1);
    return exe;
}

Bytes ExeWithTail() {
    Bytes exe = CleanExe(nullptr);
    Bytes tail = ScriptTail();
    exe.insert(exe.end(), tail.begin(), tail.end());
    return exe;
}

Bytes Tail119() {
    Bytes tail = ScriptTail();
    return Bytes(tail.begin() + 1, tail.end());
}

struct NearMissEntry {
    const char* name;
    const char* description;
    Bytes (*make)();
};

const NearMissEntry NEAR_MISSES[] = {
    {"mail-header-only", "mail whose header matches but block does not, ending in the script",
     MailHeaderOnlyWithTail},
    {"page-extra-byte", "infected page followed by one newline", PageExtraByte},
    {"page-first-half", "page ending in a script whose second half differs", PageFirstHalf},
    {"lowercase-mz", "infected executable starting with \"mz\"", [] { return ExeWithHead("mz"); }},
    {"zm", "infected executable starting with \"ZM\"", [] { return ExeWithHead("ZM"); }},
    {"exe-one-short", "infected executable cut to 32767 bytes", ExeOneShort},
    {"exe-with-tail", "clean executable ending in the script", ExeWithTail},
    {"tail-119", "the script without its first byte", Tail119},
};

const NearMissEntry* FindNearMiss(const std::string& name) {
    for (const NearMissEntry& entry : NEAR_MISSES) {
        if (name == entry.name) return &entry;
    }
    return nullptr;
}

}  // namespace

Random::Random(uint32_t seed) : state_(seed ^ 0x9E3779B9u) {
    if (state_ == 0) state_ = 1;  // xorshift never leaves zero
}

uint32_t Random::Next() {
    state_ ^= state_ << 13;
    state_ ^= state_ >> 17;
    state_ ^= state_ << 5;
    return state_;
}

uint32_t Random::Below(uint32_t bound) {
    return Next() % bound;
}

Bytes Filler(size_t size, uint32_t seed) {
    Random random(seed);
    Bytes out(size);
    for (unsigned char& byte : out) byte = static_cast<unsigned char>(random.Next() >> 24);
    return out;
}

Bytes TextFile(size_t size, uint32_t seed) {
    static const char* const WORDS[] = {"the",    "report", "meeting", "notes",  "for",
                                        "budget", "draft",  "and",     "review", "plan",
                                        "week",   "office", "list",    "items",  "done"};
    Random random(seed);
    std::string text;
    size_t lineStart = 0;
    while (text.size() < size) {
        text += WORDS[random.Below(sizeof WORDS / sizeof WORDS[0])];
        bool lineFull = text.size() - lineStart > 64;
        text += lineFull ? '\n' : ' ';
        if (lineFull) lineStart = text.size();
    }
    text.resize(size);
    return ToBytes(text);
}

void ForceCrc(Bytes& data, size_t regionStart, size_t regionLength, size_t patchAt,
              uint32_t target) {
    size_t regionEnd = regionStart + regionLength;
    Require(regionEnd <= data.size() && regionLength <= size_t(INT32_MAX), "region outside data");
    Require(patchAt >= regionStart && patchAt + 4 <= regionEnd, "patch outside region");

    const unsigned char* region = data.data() + regionStart;
    uint32_t before = Crc32(region, static_cast<int32_t>(patchAt - regionStart));
    uint32_t needed = target;
    for (size_t i = regionEnd; i > patchAt + 4; --i) needed = StepBack(needed, data[i - 1]);
    // Feeding four bytes P from register R gives the same as four zero bytes from R ^ P.
    for (int i = 0; i < 4; ++i) needed = StepBack(needed, 0);
    uint32_t patch = before ^ needed;
    for (int i = 0; i < 4; ++i) data[patchAt + i] = static_cast<unsigned char>(patch >> (8 * i));

    Require(Crc32(region, static_cast<int32_t>(regionLength)) == target, "forced CRC is wrong");
}

Bytes InfectedExe(Variant variant, const Bytes* host) {
    Bytes block = Filler(EXE_BLOCK_LENGTH, variant == VARIANT_A ? 0xA : 0xE);
    uint32_t target = variant == VARIANT_A ? CRC_EXE_TORVO_A : CRC_EXE_TORVO_E;
    ForceCrc(block, 0, block.size(), block.size() - 16, target);
    return BuildExe(block, host);
}

Bytes CleanExe(const Bytes* resource) {
    Bytes block = Filler(EXE_BLOCK_LENGTH, 0xC1EA);
    while (IsExeSignature(Crc32(block.data(), EXE_BLOCK_LENGTH))) ++block[0];
    return BuildExe(block, resource);
}

Bytes ExeWithBrokenHost(Variant variant, const Bytes& host) {
    Bytes image = InfectedExe(variant, &host);
    const uint32_t dataStart = RSRC_START + RESOURCE_TREE_SIZE;
    Put32(image, RSRC_START + 76, static_cast<uint32_t>(image.size()) - dataStart + SECTION_ALIGN);
    return image;
}

// A third section maps the whole file from offset 0, and the resource's data entry
// points at it.
Bytes ExeThatIsItsOwnHost(Variant variant) {
    Bytes placeholder = Filler(HOST_MIN_SIZE, 0x5E1F);
    Bytes image = InfectedExe(variant, &placeholder);
    const uint32_t size = static_cast<uint32_t>(image.size());
    const uint32_t selfStart = RSRC_START + SECTION_ALIGN;
    Put16(image, COFF_OFFSET + 2, 3);
    WriteSection(image, 2, ".self", selfStart, size, 0x40000040);
    Put32(image, SECTIONS_OFFSET + 2 * 40 + 20, 0);  // PointerToRawData
    Put32(image, OPTIONAL_OFFSET + 56, selfStart + AlignUp(size, SECTION_ALIGN));
    Put32(image, RSRC_START + 72, selfStart);
    Put32(image, RSRC_START + 76, size);
    return image;
}

Bytes NestedExe(Variant variant, const Bytes& host, int depth) {
    if (depth <= 0) return host;
    Bytes inner = NestedExe(variant, host, depth - 1);
    return InfectedExe(variant, &inner);
}

Bytes MailMessage(Variant variant) {
    const char* letter = variant == VARIANT_A ? "A" : "E";
    Bytes mail;
    Append(mail,
           "From: \"Sample Generator\" <samples@example.invalid>\r\n"
           "To: <tester@example.invalid>\r\n");
    Append(mail, std::string("Subject: Harmless test sample (variant ") + letter + ")\r\n");
    Append(mail, std::string("Message-ID: <torvo-sample-") + letter + "@example.invalid>\r\n");
    Append(mail,
           "Date: Thu, 01 Jan 1998 00:00:00 +0000\r\n"
           "MIME-Version: 1.0\r\n"
           "Content-Type: text/plain; charset=us-ascii\r\n");
    size_t headerPatch = AppendWithPatch(mail, "X-Sample-Check: ????\r\n\r\n");
    Append(mail, "This is a harmless synthetic test sample. It holds no program code.\r\n\r\n");

    const size_t blockEnd = MAIL_BLOCK_OFFSET + MAIL_BLOCK_LENGTH;
    const std::string line = "This is a harmless synthetic test sample; nothing in it runs.\r\n";
    while (mail.size() + line.size() < blockEnd - 32) Append(mail, line);
    size_t blockPatch = AppendWithPatch(mail, "Check: ????\r\n");
    while (mail.size() < blockEnd) Append(mail, line);
    Append(mail, "-- \r\nEnd of sample.\r\n");

    bool isA = variant == VARIANT_A;
    ForceCrc(mail, 0, MAIL_HEADER_LENGTH, headerPatch, isA ? CRC_MAIL_HEADER_A : CRC_MAIL_HEADER_E);
    ForceCrc(mail, MAIL_BLOCK_OFFSET, MAIL_BLOCK_LENGTH, blockPatch,
             isA ? CRC_MAIL_BLOCK_A : CRC_MAIL_BLOCK_E);
    return mail;
}

Bytes ScriptTail() {
    static const char FIRST[] = "<script>/* harmless synthetic test sample */ var k = \"????\";";
    static const char SECOND[] = " var m = \"????\"; /* nothing here runs */         </script>\r\n";
    static_assert(sizeof FIRST - 1 == SCRIPT_HALF_LENGTH, "first half must fill 60 bytes");
    static_assert(sizeof SECOND - 1 == SCRIPT_HALF_LENGTH, "second half must fill 60 bytes");
    Bytes tail;
    size_t firstPatch = AppendWithPatch(tail, FIRST);
    size_t secondPatch = AppendWithPatch(tail, SECOND);
    ForceCrc(tail, 0, SCRIPT_HALF_LENGTH, firstPatch, CRC_SCRIPT_FIRST_HALF);
    ForceCrc(tail, SCRIPT_HALF_LENGTH, SCRIPT_HALF_LENGTH, secondPatch, CRC_SCRIPT_SECOND_HALF);
    return tail;
}

Bytes InfectedPage(const Bytes& page) {
    Bytes infected = page;
    Bytes tail = ScriptTail();
    infected.insert(infected.end(), tail.begin(), tail.end());
    return infected;
}

Bytes PlainPage() {
    return ToBytes(
        "<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.0//EN\">\r\n"
        "<html>\r\n<head>\r\n<title>Test page</title>\r\n</head>\r\n<body>\r\n"
        "<h1>Test page</h1>\r\n"
        "<p>This is a harmless synthetic test sample: an ordinary web page without any\r\n"
        "script, used to check that clean pages are left alone.</p>\r\n"
        "<p><a href=\"index.htm\">Back to the start</a></p>\r\n"
        "</body>\r\n</html>\r\n");
}

Bytes NearMiss(const std::string& name) {
    const NearMissEntry* entry = FindNearMiss(name);
    return entry ? entry->make() : Bytes();
}

std::vector<std::string> NearMissNames() {
    std::vector<std::string> names;
    for (const NearMissEntry& entry : NEAR_MISSES) names.push_back(entry.name);
    return names;
}

std::string NearMissDescription(const std::string& name) {
    const NearMissEntry* entry = FindNearMiss(name);
    return entry ? entry->description : "";
}

}  // namespace samples
