#include "platform/image/ntfs/device.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/image/block_device.h"

namespace ntfs {

namespace {

const uint64_t kBlockBytes = 64 * 1024;
const size_t kMaxBlocks = 256;

Device& Of(ntfs_device* dev) {
    return *static_cast<Device*>(dev->d_private);
}

// libntfs-3g's device operations. It reads and writes with pread and pwrite; the
// position-based calls are there for the few places that still seek.
struct Operations {
    static int64_t& Position(ntfs_device* dev) { return Of(dev).Position(); }

    static int Open(ntfs_device* dev, int flags) {
        if ((flags & O_ACCMODE) != O_RDONLY && Of(dev).IsReadOnly()) {
            errno = EROFS;
            return -1;
        }
        if ((flags & O_ACCMODE) == O_RDONLY) NDevSetReadOnly(dev);
        NDevSetOpen(dev);
        return 0;
    }

    static int Close(ntfs_device* dev) {
        NDevClearOpen(dev);
        return 0;
    }

    static s64 Seek(ntfs_device* dev, s64 offset, int whence) {
        s64 base = whence == SEEK_CUR   ? Position(dev)
                   : whence == SEEK_END ? s64(Of(dev).Size())
                                        : 0;
        if (base + offset < 0) {
            errno = EINVAL;
            return -1;
        }
        return Position(dev) = base + offset;
    }

    static s64 PRead(ntfs_device* dev, void* buffer, s64 count, s64 offset) {
        if (count < 0 || offset < 0) {
            errno = EINVAL;
            return -1;
        }
        uint64_t size = Of(dev).Size();
        if (uint64_t(offset) >= size) return 0;
        size_t length = size_t(std::min<uint64_t>(uint64_t(count), size - uint64_t(offset)));
        if (!Of(dev).Read(uint64_t(offset), buffer, length)) {
            errno = EIO;
            return -1;
        }
        return s64(length);
    }

    static s64 PWrite(ntfs_device* dev, const void* data, s64 count, s64 offset) {
        if (count < 0 || offset < 0) {
            errno = EINVAL;
            return -1;
        }
        if (Of(dev).IsReadOnly()) {
            errno = EROFS;
            return -1;
        }
        if (uint64_t(offset) + uint64_t(count) > Of(dev).Size()) {
            errno = ENOSPC;
            return -1;
        }
        if (!Of(dev).Write(uint64_t(offset), data, size_t(count))) {
            errno = EIO;
            return -1;
        }
        NDevSetDirty(dev);
        return count;
    }

    static s64 Read(ntfs_device* dev, void* buffer, s64 count) {
        s64 done = PRead(dev, buffer, count, Position(dev));
        if (done > 0) Position(dev) += done;
        return done;
    }

    static s64 Write(ntfs_device* dev, const void* data, s64 count) {
        s64 done = PWrite(dev, data, count, Position(dev));
        if (done > 0) Position(dev) += done;
        return done;
    }

    static int Sync(ntfs_device* dev) {
        if (Of(dev).IsReadOnly() || !NDevDirty(dev)) return 0;
        if (!Of(dev).Flush()) {
            errno = EIO;
            return -1;
        }
        NDevClearDirty(dev);
        return 0;
    }

    static int Stat(ntfs_device* dev, struct stat* status) {
        memset(status, 0, sizeof(*status));
        status->st_mode = S_IFREG | 0600;
        status->st_size = off_t(Of(dev).Size());
        return 0;
    }

    static int Ioctl(ntfs_device*, unsigned long, void*) {
        errno = ENOTTY;
        return -1;
    }
};

ntfs_device_operations g_operations = {
    Operations::Open,  Operations::Close,  Operations::Seek, Operations::Read, Operations::Write,
    Operations::PRead, Operations::PWrite, Operations::Sync, Operations::Stat, Operations::Ioctl,
};

}  // namespace

Device::Device(BlockDevice& device, bool readOnly)
    : m_device(device), m_readOnly(readOnly || device.IsReadOnly()) {}

ntfs_device* Device::Allocate() {
    m_position = 0;
    return ntfs_device_alloc("image", 0, &g_operations, this);
}

uint64_t Device::Size() const {
    return m_device.Size();
}

bool Device::Flush() {
    return m_device.Flush();
}

// Reads that span more than two blocks (file data) go to the device as they are.
bool Device::Read(uint64_t offset, void* buffer, size_t count) {
    if (count > 2 * kBlockBytes) return m_device.Read(offset, buffer, count);
    uint8_t* out = static_cast<uint8_t*>(buffer);
    while (count > 0) {
        const std::vector<uint8_t>* block = Block(offset / kBlockBytes);
        size_t within = size_t(offset % kBlockBytes);
        if (!block || within >= block->size()) return false;
        size_t piece = std::min(count, block->size() - within);
        memcpy(out, block->data() + within, piece);
        out += piece;
        offset += piece;
        count -= piece;
    }
    return true;
}

bool Device::Write(uint64_t offset, const void* data, size_t count) {
    if (!m_device.Write(offset, data, count)) {
        Forget(offset, count);
        return false;
    }
    Update(offset, static_cast<const uint8_t*>(data), count);
    return true;
}

const std::vector<uint8_t>* Device::Block(uint64_t index) {
    auto found = m_byIndex.find(index);
    if (found != m_byIndex.end()) {
        m_blocks.splice(m_blocks.begin(), m_blocks, found->second);
        return &found->second->second;
    }
    uint64_t start = index * kBlockBytes;
    if (start >= Size()) return nullptr;
    std::vector<uint8_t> bytes(size_t(std::min(kBlockBytes, Size() - start)));
    if (!m_device.Read(start, bytes.data(), bytes.size())) return nullptr;
    if (m_blocks.size() == kMaxBlocks) {
        m_byIndex.erase(m_blocks.back().first);
        m_blocks.pop_back();
    }
    m_blocks.emplace_front(index, std::move(bytes));
    m_byIndex[index] = m_blocks.begin();
    return &m_blocks.front().second;
}

// Keeps the cached blocks a write touched the same as the device.
void Device::Update(uint64_t offset, const uint8_t* data, size_t count) {
    for (uint64_t index = offset / kBlockBytes; index * kBlockBytes < offset + count; ++index) {
        auto found = m_byIndex.find(index);
        if (found == m_byIndex.end()) continue;
        std::vector<uint8_t>& block = found->second->second;
        uint64_t start = index * kBlockBytes;
        uint64_t from = std::max(offset, start);
        uint64_t to = std::min<uint64_t>(offset + count, start + block.size());
        if (from < to)
            memcpy(block.data() + (from - start), data + (from - offset), size_t(to - from));
    }
}

void Device::Forget(uint64_t offset, size_t count) {
    for (uint64_t index = offset / kBlockBytes; index * kBlockBytes < offset + count; ++index) {
        auto found = m_byIndex.find(index);
        if (found == m_byIndex.end()) continue;
        m_blocks.erase(found->second);
        m_byIndex.erase(found);
    }
}

}  // namespace ntfs
