// Blocks written over a device but not (yet) to it, kept in memory: the copy-on-write
// layer of a dry run, and the changes a journal holds back until they are flushed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

#include "platform/image/block_device.h"

class PendingBlocks {
  public:
    static constexpr uint64_t kBlock = 4096;

    struct Run {
        uint64_t offset;
        size_t length;
    };

    explicit PendingBlocks(BlockDevice& below) : m_below(below) {}

    // What the device below holds, with the pending blocks laid over it.
    bool Read(uint64_t offset, uint8_t* buffer, size_t count);
    // Changes the pending blocks, taking a block from the device below the first time
    // part of it is written. The range must lie inside the device.
    bool Write(uint64_t offset, const uint8_t* data, size_t count);

    bool Empty() const { return m_blocks.empty(); }
    void Clear() { m_blocks.clear(); }
    // The pending bytes as runs of consecutive blocks, none longer than `maxLength`.
    std::vector<Run> Runs(size_t maxLength) const;

  private:
    uint64_t BlockLength(uint64_t index) const;
    std::vector<uint8_t>* Block(uint64_t index, bool whole);

    BlockDevice& m_below;
    std::map<uint64_t, std::vector<uint8_t>> m_blocks;  // by block number
};

// A device whose writes stay in memory over the device below.
class OverlayDevice : public BlockDevice {
  public:
    OverlayDevice(BlockDevice& below, bool readOnly)
        : m_below(below), m_pending(below), m_readOnly(readOnly) {}
    uint64_t Size() const override { return m_below.Size(); }
    bool Read(uint64_t offset, void* buffer, size_t count) override {
        return Inside(offset, count) &&
               m_pending.Read(offset, static_cast<uint8_t*>(buffer), count);
    }
    bool Write(uint64_t offset, const void* data, size_t count) override {
        return !m_readOnly && Lay(offset, data, count);
    }
    bool Flush() override { return true; }
    bool IsReadOnly() const override { return m_readOnly; }
    // Lays bytes over the device below even when it is read-only to others.
    bool Lay(uint64_t offset, const void* data, size_t count) {
        return Inside(offset, count) &&
               m_pending.Write(offset, static_cast<const uint8_t*>(data), count);
    }

  private:
    bool Inside(uint64_t offset, size_t count) const {
        return offset <= Size() && count <= Size() - offset;
    }
    BlockDevice& m_below;
    PendingBlocks m_pending;
    bool m_readOnly;
};
