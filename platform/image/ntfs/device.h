// The block device as libntfs-3g reads and writes it: a set of device operations over a
// BlockDevice, with a cache of blocks read lately. libntfs-3g reads its metadata (file
// records, index blocks) in small pieces and again and again; over a slow medium (an
// image behind NBD) each read would be a round trip.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <unordered_map>
#include <vector>

#include "platform/image/ntfs/libntfs.h"

class BlockDevice;

namespace ntfs {

class Device {
  public:
    Device(BlockDevice& device, bool readOnly);

    // A new libntfs-3g device over this one, for ntfs_device_mount (ntfs_umount frees it).
    ntfs_device* Allocate();

    bool Read(uint64_t offset, void* buffer, size_t count);
    bool Write(uint64_t offset, const void* data, size_t count);
    bool Flush();
    uint64_t Size() const;
    bool IsReadOnly() const { return m_readOnly; }
    // Where the device operations that take no offset read and write.
    int64_t& Position() { return m_position; }

  private:
    typedef std::list<std::pair<uint64_t, std::vector<uint8_t>>> Blocks;

    const std::vector<uint8_t>* Block(uint64_t index);
    void Update(uint64_t offset, const uint8_t* data, size_t count);
    void Forget(uint64_t offset, size_t count);

    BlockDevice& m_device;
    bool m_readOnly;
    int64_t m_position = 0;
    // Most recently used first.
    Blocks m_blocks;
    std::unordered_map<uint64_t, Blocks::iterator> m_byIndex;
};

}  // namespace ntfs
