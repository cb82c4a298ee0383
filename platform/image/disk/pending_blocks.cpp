#include "platform/image/disk/pending_blocks.h"

#include <algorithm>
#include <cstring>

uint64_t PendingBlocks::BlockLength(uint64_t index) const {
    return std::min(kBlock, m_below.Size() - index * kBlock);
}

// The pending block `index`, made from the device below unless it is to be written
// `whole`.
std::vector<uint8_t>* PendingBlocks::Block(uint64_t index, bool whole) {
    auto found = m_blocks.find(index);
    if (found != m_blocks.end()) return &found->second;
    std::vector<uint8_t> block(size_t(BlockLength(index)));
    if (!whole && !m_below.Read(index * kBlock, block.data(), block.size())) return nullptr;
    return &m_blocks.emplace(index, std::move(block)).first->second;
}

bool PendingBlocks::Read(uint64_t offset, uint8_t* buffer, size_t count) {
    uint64_t position = offset, end = offset + count;
    auto next = m_blocks.lower_bound(offset / kBlock);
    while (position < end) {
        if (next != m_blocks.end() && next->first * kBlock <= position) {
            uint64_t start = next->first * kBlock;
            uint64_t stop = std::min(end, start + next->second.size());
            memcpy(buffer + (position - offset), next->second.data() + (position - start),
                   stop - position);
            position = stop;
            ++next;
        } else {
            uint64_t stop = next == m_blocks.end() ? end : std::min(end, next->first * kBlock);
            if (!m_below.Read(position, buffer + (position - offset), stop - position))
                return false;
            position = stop;
        }
    }
    return true;
}

bool PendingBlocks::Write(uint64_t offset, const uint8_t* data, size_t count) {
    uint64_t end = offset + count;
    for (uint64_t position = offset; position < end;) {
        uint64_t index = position / kBlock, start = index * kBlock;
        uint64_t stop = std::min(end, start + BlockLength(index));
        std::vector<uint8_t>* block =
            Block(index, position == start && stop - start == BlockLength(index));
        if (!block) return false;
        memcpy(block->data() + (position - start), data + (position - offset), stop - position);
        position = stop;
    }
    return true;
}

std::vector<PendingBlocks::Run> PendingBlocks::Runs(size_t maxLength) const {
    std::vector<Run> runs;
    for (const auto& block : m_blocks) {
        uint64_t start = block.first * kBlock;
        if (!runs.empty() && runs.back().offset + runs.back().length == start &&
            runs.back().length + block.second.size() <= maxLength) {
            runs.back().length += block.second.size();
        } else {
            runs.push_back(Run{start, block.second.size()});
        }
    }
    return runs;
}
