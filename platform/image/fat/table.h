// The file allocation table of a volume, held in memory in pages read as they are needed;
// changes stay in memory until Flush writes them to every copy.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/image/fat/layout.h"

class BlockDevice;

namespace fat {

class Table {
  public:
    // Clean pages beyond `cacheBytes` are dropped, and read again when needed.
    Table(BlockDevice& device, const Layout& layout, size_t cacheBytes);

    // The entry of `cluster`, a data cluster: 0 when free, the next cluster of its chain,
    // or IsEnd, IsBad or out of range. Once the FAT cannot be read every entry reads as
    // bad and Failed() is true.
    uint32_t Get(uint32_t cluster);
    void Set(uint32_t cluster, uint32_t value);
    bool IsEnd(uint32_t value) const { return value >= m_endMark - 7; }
    uint32_t EndMark() const { return m_endMark; }
    bool Failed() const { return m_failed; }

    // Free clusters; counted through the whole table the first time.
    uint32_t FreeCount();
    bool IsChanged() const { return m_changed; }
    // Writes the changed pages to the copies of the FAT.
    bool Flush(std::string* error);

  private:
    uint8_t* Page(size_t index);
    void DropPagesOver(size_t keep);
    uint32_t EntryOffset(uint32_t cluster) const;

    BlockDevice& m_device;
    const Layout& m_layout;
    size_t m_cacheBytes;
    size_t m_pageBytes;
    uint32_t m_endMark;
    std::vector<std::vector<uint8_t>> m_pages;
    std::vector<bool> m_dirty;
    size_t m_loadedBytes = 0;
    size_t m_nextToDrop = 0;
    bool m_failed = false;
    bool m_changed = false;
    bool m_freeCounted = false;
    uint32_t m_freeCount = 0;
};

}  // namespace fat
