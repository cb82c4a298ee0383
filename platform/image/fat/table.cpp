#include "platform/image/fat/table.h"

#include "platform/image/block_device.h"

namespace fat {

namespace {

// FAT32 is read in pages of this size; FAT12 and FAT16, whose tables are small and whose
// FAT12 entries straddle sectors, in one page.
const size_t kFat32PageBytes = 64 * 1024;

}  // namespace

Table::Table(BlockDevice& device, const Layout& layout, size_t cacheBytes)
    : m_device(device),
      m_layout(layout),
      m_cacheBytes(cacheBytes),
      m_pageBytes(layout.type == 32 ? kFat32PageBytes : size_t(layout.fatUsedBytes)),
      m_endMark(layout.type == 12   ? 0xFFF
                : layout.type == 16 ? 0xFFFF
                                    : 0x0FFFFFFF) {
    size_t pages = size_t((layout.fatUsedBytes + m_pageBytes - 1) / m_pageBytes);
    m_pages.resize(pages);
    m_dirty.resize(pages);
}

uint32_t Table::EntryOffset(uint32_t cluster) const {
    return m_layout.type == 12 ? cluster + cluster / 2 : cluster * uint32_t(m_layout.type / 8);
}

uint8_t* Table::Page(size_t index) {
    std::vector<uint8_t>& page = m_pages[index];
    if (!page.empty()) return page.data();
    uint64_t start = uint64_t(index) * m_pageBytes;
    size_t bytes = size_t(std::min<uint64_t>(m_pageBytes, m_layout.fatUsedBytes - start));
    DropPagesOver(m_cacheBytes > bytes ? m_cacheBytes - bytes : 0);
    page.resize(bytes);
    uint64_t copy = m_layout.fatOffset + m_layout.activeFat * m_layout.fatBytes;
    if (!m_device.Read(copy + start, page.data(), bytes)) {
        m_failed = true;
        page.clear();
        return nullptr;
    }
    m_loadedBytes += bytes;
    return page.data();
}

// Drops clean pages, the oldest loaded first, until at most `keep` bytes stay loaded.
void Table::DropPagesOver(size_t keep) {
    for (size_t tried = 0; m_loadedBytes > keep && tried < m_pages.size(); ++tried) {
        size_t index = m_nextToDrop;
        m_nextToDrop = (m_nextToDrop + 1) % m_pages.size();
        if (m_pages[index].empty() || m_dirty[index]) continue;
        m_loadedBytes -= m_pages[index].size();
        std::vector<uint8_t>().swap(m_pages[index]);
    }
}

uint32_t Table::Get(uint32_t cluster) {
    uint32_t offset = EntryOffset(cluster);
    uint8_t* page = m_failed ? nullptr : Page(offset / m_pageBytes);
    if (!page) return m_endMark - 8;
    const uint8_t* p = page + offset % m_pageBytes;
    switch (m_layout.type) {
        case 12: {
            uint32_t pair = uint32_t(p[0]) | uint32_t(p[1]) << 8;
            return cluster & 1 ? pair >> 4 : pair & 0xFFF;
        }
        case 16:
            return uint32_t(p[0]) | uint32_t(p[1]) << 8;
        default:
            return (uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 |
                    uint32_t(p[3]) << 24) &
                   0x0FFFFFFF;
    }
}

void Table::Set(uint32_t cluster, uint32_t value) {
    uint32_t old = Get(cluster);
    if (m_failed) return;
    if (m_freeCounted && old == 0 && value != 0) --m_freeCount;
    if (m_freeCounted && old != 0 && value == 0) ++m_freeCount;
    uint32_t offset = EntryOffset(cluster);
    size_t index = offset / m_pageBytes;
    uint8_t* p = Page(index) + offset % m_pageBytes;
    switch (m_layout.type) {
        case 12:
            if (cluster & 1) {
                p[0] = uint8_t((p[0] & 0x0F) | (value << 4));
                p[1] = uint8_t(value >> 4);
            } else {
                p[0] = uint8_t(value);
                p[1] = uint8_t((p[1] & 0xF0) | ((value >> 8) & 0x0F));
            }
            break;
        case 16:
            p[0] = uint8_t(value);
            p[1] = uint8_t(value >> 8);
            break;
        default:
            p[0] = uint8_t(value);
            p[1] = uint8_t(value >> 8);
            p[2] = uint8_t(value >> 16);
            p[3] = uint8_t((p[3] & 0xF0) | ((value >> 24) & 0x0F));
    }
    m_dirty[index] = true;
    m_changed = true;
}

uint32_t Table::FreeCount() {
    if (!m_freeCounted) {
        uint32_t count = 0;
        for (uint32_t cluster = 2; cluster - 2 < m_layout.clusterCount; ++cluster) {
            if (Get(cluster) == 0) ++count;
        }
        if (m_failed) return 0;
        m_freeCount = count;
        m_freeCounted = true;
    }
    return m_freeCount;
}

bool Table::Flush(std::string* error) {
    if (m_failed) {
        *error = "the FAT could not be read";
        return false;
    }
    for (size_t index = 0; index < m_pages.size(); ++index) {
        if (!m_dirty[index]) continue;
        uint64_t start = uint64_t(index) * m_pageBytes;
        for (uint32_t copy = 0; copy < m_layout.fatCount; ++copy) {
            if (!m_layout.mirrored && copy != m_layout.activeFat) continue;
            uint64_t at = m_layout.fatOffset + copy * m_layout.fatBytes + start;
            if (!m_device.Write(at, m_pages[index].data(), m_pages[index].size())) {
                *error = "cannot write the FAT";
                return false;
            }
        }
        m_dirty[index] = false;
    }
    m_changed = false;
    return true;
}

}  // namespace fat
