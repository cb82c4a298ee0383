// Walks the three levels of a PE32 resource tree (type, name, language) in the
// file as read, where Windows maps the image and calls FindResourceA. Of the
// languages, the first entry is taken.
//
// Which answer for which fault: only the headers decide whether the file is an
// image at all. Once the section table is known to lie inside the file, "no
// resource" means exactly that: no resource directory (fewer than three data
// directories, or an empty one), or no entry of that type, name or language.
// Every fault on the way -- a resource RVA that no section's raw data holds, a
// directory or entry outside the file, a data entry where a subdirectory
// belongs or the reverse, resource bytes running past the end of the file --
// gives PE_RESOURCE_BROKEN: the resource may be there, but cannot be had whole.
// A resource of zero bytes is found, with length 0, as SizeofResource would
// report.
#include "platform/posix/pe_resource.h"

namespace {

const uint16_t kMzSignature = 0x5A4D;      // "MZ"
const uint32_t kPeSignature = 0x00004550;  // "PE\0\0"
const uint16_t kPe32Magic = 0x10B;
const uint64_t kCoffHeaderSize = 20;
const uint64_t kOptionalFixedSize = 96;  // PE32 optional header before the directories
const uint64_t kSectionEntrySize = 40;
const uint16_t kMaxSections = 96;
const uint64_t kResourceDirectory = 2;       // index in the data directories
const uint32_t kSubdirectory = 0x80000000u;  // high bit of OffsetToData

// A range of bytes that refuses any read or sub-range outside itself. Offsets
// and lengths are 64-bit so that offset + length cannot wrap before the check.
class View {
  public:
    View() : data_(nullptr), size_(0) {}
    View(const unsigned char* data, size_t size) : data_(data), size_(size) {}

    size_t Size() const { return size_; }

    bool Sub(uint64_t offset, uint64_t length, View* out) const {
        if (offset > size_ || length > size_ - offset) return false;
        *out = View(data_ + offset, static_cast<size_t>(length));
        return true;
    }

    bool U16(uint64_t offset, uint16_t* value) const {
        View v;
        if (!Sub(offset, 2, &v)) return false;
        *value = static_cast<uint16_t>(v.data_[0] | v.data_[1] << 8);
        return true;
    }

    bool U32(uint64_t offset, uint32_t* value) const {
        View v;
        if (!Sub(offset, 4, &v)) return false;
        *value = static_cast<uint32_t>(v.data_[0]) | static_cast<uint32_t>(v.data_[1]) << 8 |
                 static_cast<uint32_t>(v.data_[2]) << 16 | static_cast<uint32_t>(v.data_[3]) << 24;
        return true;
    }

  private:
    const unsigned char* data_;
    size_t size_;
};

// Turns `rva` into a file offset through the section table. The RVA must fall
// inside a section's raw data: the smaller of VirtualSize and SizeOfRawData,
// or SizeOfRawData alone when VirtualSize is 0 (as some linkers leave it).
bool RvaToOffset(const View& sections, uint32_t rva, uint64_t* offset) {
    for (uint64_t at = 0; at + kSectionEntrySize <= sections.Size(); at += kSectionEntrySize) {
        uint32_t virtualSize, virtualAddress, rawSize, rawPointer;
        if (!sections.U32(at + 8, &virtualSize) || !sections.U32(at + 12, &virtualAddress) ||
            !sections.U32(at + 16, &rawSize) || !sections.U32(at + 20, &rawPointer)) {
            return false;
        }
        uint32_t span = virtualSize != 0 && virtualSize < rawSize ? virtualSize : rawSize;
        if (rva >= virtualAddress && rva - virtualAddress < span) {
            *offset = static_cast<uint64_t>(rawPointer) + (rva - virtualAddress);
            return true;
        }
    }
    return false;
}

// Reads the directory at `at` in `tree` and gives the OffsetToData of the
// integer-id entry `id`, or of the very first entry when `anyEntry` is set.
// Named entries come first and never match an integer id.
PeLookup FindEntry(const View& tree, uint32_t at, bool anyEntry, uint16_t id, uint32_t* target) {
    uint16_t named, ids;
    if (!tree.U16(static_cast<uint64_t>(at) + 12, &named) ||
        !tree.U16(static_cast<uint64_t>(at) + 14, &ids)) {
        return PE_RESOURCE_BROKEN;
    }
    uint64_t first = anyEntry ? 0 : named;
    uint64_t end = static_cast<uint64_t>(named) + ids;
    for (uint64_t i = first; i < end; ++i) {
        uint64_t entry = static_cast<uint64_t>(at) + 16 + 8 * i;
        uint32_t entryName, entryTarget;
        if (!tree.U32(entry, &entryName) || !tree.U32(entry + 4, &entryTarget)) {
            return PE_RESOURCE_BROKEN;
        }
        if (anyEntry || entryName == id) {
            *target = entryTarget;
            return PE_RESOURCE_FOUND;
        }
    }
    return PE_NO_RESOURCE;
}

}  // namespace

PeLookup FindPeResource(const unsigned char* file, size_t size, uint16_t type, uint16_t name,
                        size_t* offset, uint32_t* length) {
    const View image(file, size);

    // Headers: any fault here means the file is not an image.
    uint16_t mz, sectionCount, optionalSize, magic;
    uint32_t peOffset, signature, directoryCount;
    if (!image.U16(0, &mz) || mz != kMzSignature || !image.U32(0x3C, &peOffset) ||
        !image.U32(peOffset, &signature) || signature != kPeSignature) {
        return PE_NOT_IMAGE;
    }
    const uint64_t coff = static_cast<uint64_t>(peOffset) + 4;
    const uint64_t optionalAt = coff + kCoffHeaderSize;
    View coffHeader, optional, sections;
    if (!image.Sub(coff, kCoffHeaderSize, &coffHeader) || !coffHeader.U16(2, &sectionCount) ||
        !coffHeader.U16(16, &optionalSize) ||
        !image.Sub(optionalAt, kOptionalFixedSize, &optional) || !optional.U16(0, &magic) ||
        magic != kPe32Magic || optionalSize < kOptionalFixedSize ||
        !image.Sub(optionalAt, optionalSize, &optional) || sectionCount > kMaxSections ||
        !image.Sub(optionalAt + optionalSize, sectionCount * kSectionEntrySize, &sections) ||
        !optional.U32(92, &directoryCount)) {
        return PE_NOT_IMAGE;
    }

    // Resource data directory; `optional` ends with SizeOfOptionalHeader, so a
    // directory beyond it cannot be read either.
    if (directoryCount <= kResourceDirectory) return PE_NO_RESOURCE;
    uint32_t rootRva, rootSize;
    uint64_t rootOffset;
    View tree;
    if (!optional.U32(kOptionalFixedSize + 8 * kResourceDirectory, &rootRva) ||
        !optional.U32(kOptionalFixedSize + 8 * kResourceDirectory + 4, &rootSize) || rootRva == 0 ||
        rootSize == 0) {
        return PE_NO_RESOURCE;
    }
    if (!RvaToOffset(sections, rootRva, &rootOffset) || rootOffset > size ||
        !image.Sub(rootOffset, size - rootOffset, &tree)) {
        return PE_RESOURCE_BROKEN;
    }

    // Type, then name: both must lead to subdirectories. Offsets inside the
    // tree are relative to its root; the tree may reach to the end of the file.
    const uint16_t wanted[2] = {type, name};
    uint32_t at = 0;
    for (uint16_t id : wanted) {
        uint32_t target;
        PeLookup found = FindEntry(tree, at, false, id, &target);
        if (found != PE_RESOURCE_FOUND) return found;
        if ((target & kSubdirectory) == 0) return PE_RESOURCE_BROKEN;
        at = target & ~kSubdirectory;
    }

    // First language: must be a data entry (RVA, Size, CodePage, Reserved).
    uint32_t leaf, dataRva, dataSize;
    uint64_t dataOffset;
    View entry, data;
    PeLookup language = FindEntry(tree, at, true, 0, &leaf);
    if (language != PE_RESOURCE_FOUND) return language;
    if ((leaf & kSubdirectory) != 0 || !tree.Sub(leaf, 16, &entry) || !entry.U32(0, &dataRva) ||
        !entry.U32(4, &dataSize) || !RvaToOffset(sections, dataRva, &dataOffset) ||
        !image.Sub(dataOffset, dataSize, &data)) {
        return PE_RESOURCE_BROKEN;
    }
    *offset = static_cast<size_t>(dataOffset);
    *length = dataSize;
    return PE_RESOURCE_FOUND;
}

PlatResourceLookup FindResourceIn(const unsigned char* file, size_t size, uint16_t type,
                                  uint16_t name, const unsigned char** data, uint32_t* length) {
    size_t offset = 0;
    switch (FindPeResource(file, size, type, name, &offset, length)) {
        case PE_RESOURCE_FOUND:
            *data = file + offset;
            return PLAT_RESOURCE_FOUND;
        case PE_NO_RESOURCE:
            return PLAT_RESOURCE_NONE;
        default:
            return PLAT_RESOURCE_BROKEN;
    }
}
