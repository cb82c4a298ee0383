#include "platform/image/fat/directory.h"

#include <cstring>

namespace fat {

namespace {

const size_t kUnitsPerEntry = 13;
const size_t kMaxLongEntries = 20;
const uint8_t kLastLongEntry = 0x40;
// Where the 13 UTF-16 units of a long-name entry lie.
const size_t kUnitOffsets[kUnitsPerEntry] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};

bool IsDotEntry(const uint8_t* entry) {
    return memcmp(entry, ".          ", 11) == 0 || memcmp(entry, "..         ", 11) == 0;
}

// Long-name entries read so far, waiting for the short entry they belong to.
class LongNameRun {
  public:
    void Reset() { m_expected = 0; }
    void Add(const uint8_t* entry, uint32_t slot) {
        uint8_t order = entry[0] & 0x1F;
        if (entry[0] & kLastLongEntry) {
            if (order == 0 || order > kMaxLongEntries) return Reset();
            m_units.assign(order * kUnitsPerEntry, 0);
            m_checksum = entry[13];
            m_firstSlot = slot;
        } else if (m_expected < 2 || order != m_expected - 1 || entry[13] != m_checksum) {
            return Reset();
        }
        m_expected = order;
        for (size_t i = 0; i < kUnitsPerEntry; ++i)
            m_units[(order - 1) * kUnitsPerEntry + i] = char16_t(GetLe16(entry + kUnitOffsets[i]));
    }
    // The long name of `shortName` when the run belongs to it.
    bool Complete(const ShortName& shortName, std::string* name, uint32_t* firstSlot) const {
        if (m_expected != 1 || m_checksum != ShortNameChecksum(shortName)) return false;
        size_t length = 0;
        while (length < m_units.size() && m_units[length] != 0) ++length;
        if (length == 0) return false;
        *name = Utf16ToUtf8(m_units.data(), length);
        *firstSlot = m_firstSlot;
        return true;
    }

  private:
    std::u16string m_units;
    uint8_t m_expected = 0;
    uint8_t m_checksum = 0;
    uint32_t m_firstSlot = 0;
};

Record MakeRecord(const uint8_t* entry, uint32_t slot, bool fat32, const CodePage& codePage) {
    Record record;
    memcpy(record.stored.data(), entry, 11);
    uint8_t caseBits = entry[12];
    record.shortName = ShortNameText(record.stored, codePage, false, false);
    record.name = ShortNameText(record.stored, codePage, caseBits & 0x08, caseBits & 0x10);
    record.hasLongName = false;
    record.attributes = entry[11];
    record.firstCluster = FirstClusterOf(entry, fat32);
    record.size = GetLe32(entry + 28);
    record.firstSlot = record.shortSlot = slot;
    record.createTime = uint16_t(GetLe16(entry + 14));
    record.createDate = uint16_t(GetLe16(entry + 16));
    record.writeTime = uint16_t(GetLe16(entry + 22));
    record.writeDate = uint16_t(GetLe16(entry + 24));
    return record;
}

}  // namespace

uint32_t GetLe16(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8;
}
uint32_t GetLe32(const uint8_t* p) {
    return GetLe16(p) | GetLe16(p + 2) << 16;
}
void SetLe16(uint8_t* p, uint32_t value) {
    p[0] = uint8_t(value);
    p[1] = uint8_t(value >> 8);
}
void SetLe32(uint8_t* p, uint32_t value) {
    SetLe16(p, value);
    SetLe16(p + 2, value >> 16);
}

uint32_t FirstClusterOf(const uint8_t* entry, bool fat32) {
    return GetLe16(entry + 26) | (fat32 ? GetLe16(entry + 20) << 16 : 0);
}

void SetFirstCluster(uint8_t* entry, uint32_t cluster) {
    SetLe16(entry + 26, cluster);
    SetLe16(entry + 20, cluster >> 16);
}

void ParseFolder(const uint8_t* bytes, size_t slotCount, bool fat32, const CodePage& codePage,
                 std::vector<Record>* records, size_t* endSlot) {
    records->clear();
    *endSlot = slotCount;
    LongNameRun run;
    for (size_t slot = 0; slot < slotCount; ++slot) {
        const uint8_t* entry = bytes + slot * kEntryBytes;
        if (entry[0] == 0) {
            *endSlot = slot;
            return;
        }
        if (entry[0] == kDeletedMark) {
            run.Reset();
            continue;
        }
        if ((entry[11] & 0x3F) == kAttributeLongName) {
            run.Add(entry, uint32_t(slot));
            continue;
        }
        if ((entry[11] & kAttributeVolume) || IsDotEntry(entry)) {
            run.Reset();
            continue;
        }
        Record record = MakeRecord(entry, uint32_t(slot), fat32, codePage);
        record.hasLongName = run.Complete(record.stored, &record.name, &record.firstSlot);
        run.Reset();
        records->push_back(std::move(record));
    }
}

std::vector<uint8_t> MakeNameEntries(const std::u16string& longName, const ShortName& shortName) {
    size_t longEntries = (longName.size() + kUnitsPerEntry - 1) / kUnitsPerEntry;
    std::vector<uint8_t> bytes((longEntries + 1) * kEntryBytes, 0);
    uint8_t checksum = ShortNameChecksum(shortName);
    for (size_t k = 0; k < longEntries; ++k) {
        // The entry of the name's last 13 units comes first.
        size_t order = longEntries - k;
        uint8_t* entry = &bytes[k * kEntryBytes];
        entry[0] = uint8_t(order | (k == 0 ? kLastLongEntry : 0));
        entry[11] = kAttributeLongName;
        entry[13] = checksum;
        for (size_t i = 0; i < kUnitsPerEntry; ++i) {
            size_t at = (order - 1) * kUnitsPerEntry + i;
            uint32_t unit = at < longName.size()    ? longName[at]
                            : at == longName.size() ? 0
                                                    : 0xFFFF;
            SetLe16(entry + kUnitOffsets[i], unit);
        }
    }
    memcpy(&bytes[longEntries * kEntryBytes], shortName.data(), shortName.size());
    return bytes;
}

}  // namespace fat
