// Mounts arbitrary bytes as a FAT volume and, when that works, walks every folder, reads
// the start of every file and makes a few changes. The bytes are the start of the image;
// the rest of the size its boot sector claims (up to a bound) reads as zeros, so that small
// inputs can stand for FAT32 volumes.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <vector>

#include "platform/image/block_device.h"
#include "platform/image/fat/volume.h"

namespace {

const uint64_t kMaxImageBytes = uint64_t(64) << 20;
const size_t kBlockBytes = 4096;

class SparseDevice : public BlockDevice {
  public:
    SparseDevice(const uint8_t* data, size_t size, uint64_t total)
        : m_data(data), m_size(size), m_total(total) {}
    uint64_t Size() const override { return m_total; }
    bool Read(uint64_t offset, void* buffer, size_t count) override {
        if (offset > m_total || count > m_total - offset) return false;
        uint8_t* out = static_cast<uint8_t*>(buffer);
        for (size_t done = 0; done < count;) {
            uint64_t at = offset + done;
            size_t within = size_t(at % kBlockBytes);
            size_t length = std::min(count - done, kBlockBytes - within);
            auto written = m_blocks.find(at / kBlockBytes);
            if (written != m_blocks.end()) {
                memcpy(out + done, &written->second[within], length);
            } else {
                for (size_t i = 0; i < length; ++i)
                    out[done + i] = at + i < m_size ? m_data[at + i] : 0;
            }
            done += length;
        }
        return true;
    }
    bool Write(uint64_t offset, const void* data, size_t count) override {
        if (offset > m_total || count > m_total - offset) return false;
        const uint8_t* in = static_cast<const uint8_t*>(data);
        for (size_t done = 0; done < count;) {
            uint64_t at = offset + done;
            size_t within = size_t(at % kBlockBytes);
            size_t length = std::min(count - done, kBlockBytes - within);
            std::vector<uint8_t>& block = Block(at / kBlockBytes);
            memcpy(&block[within], in + done, length);
            done += length;
        }
        return true;
    }
    bool Flush() override { return true; }
    bool IsReadOnly() const override { return false; }

  private:
    std::vector<uint8_t>& Block(uint64_t index) {
        auto found = m_blocks.find(index);
        if (found != m_blocks.end()) return found->second;
        std::vector<uint8_t>& block = m_blocks[index];
        block.resize(kBlockBytes);
        Read(index * kBlockBytes, block.data(), kBlockBytes);  // before it is in the map
        return block;
    }
    const uint8_t* m_data;
    size_t m_size;
    uint64_t m_total;
    std::map<uint64_t, std::vector<uint8_t>> m_blocks;
};

// The size the boot sector claims, within bounds.
uint64_t ClaimedSize(const uint8_t* data, size_t size) {
    if (size < 36) return size;
    uint64_t sectorBytes = data[11] | data[12] << 8;
    uint64_t sectors = data[19] | data[20] << 8;
    if (sectors == 0)
        sectors = data[32] | data[33] << 8 | data[34] << 16 | uint64_t(data[35]) << 24;
    return std::max<uint64_t>(size, std::min(sectorBytes * sectors, kMaxImageBytes));
}

void Walk(fat::Volume& volume, const std::string& folder, int depth, int* budget) {
    std::vector<fat::Entry> entries;
    std::string error;
    if (depth > 8 || !volume.List(folder, &entries, &error)) return;
    for (const fat::Entry& entry : entries) {
        if (--*budget < 0) return;
        std::string path = folder + "/" + entry.name;
        fat::Entry again;
        volume.Stat(path, &again);
        volume.Stat(folder + "/" + entry.shortName, &again);
        if (entry.isDirectory) {
            Walk(volume, path, depth + 1, budget);
        } else {
            uint8_t buffer[8192];
            size_t got = 0;
            if (volume.Read(path, 0, buffer, sizeof buffer, &got) && got > sizeof buffer)
                __builtin_trap();
        }
    }
}

// A few changes to the first file found and to new names.
void Change(fat::Volume& volume) {
    std::vector<fat::Entry> entries;
    std::string error;
    if (!volume.List("/", &entries, &error)) return;
    for (const fat::Entry& entry : entries) {
        if (entry.isDirectory) continue;
        std::string path = "/" + entry.name;
        volume.Write(path, 10, "changed", 7);
        volume.Write(path, 5000, "further", 7);
        volume.Truncate(path, 3);
        volume.Rename(path, "/Renamed with a long name.txt");
        volume.SetAttributes("/Renamed with a long name.txt", 0x21);
        volume.Remove("/Renamed with a long name.txt");
        break;
    }
    volume.Create("/NEW.TXT");
    volume.Write("/NEW.TXT", 0, "new file", 8);
    volume.Create("/A new file with a long name.txt");
    volume.Flush();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    SparseDevice device(data, size, ClaimedSize(data, size));
    std::string error;
    std::unique_ptr<fat::Volume> volume = fat::Volume::Open(device, &error);
    if (!volume) return 0;
    int budget = 2000;
    Walk(*volume, "", 0, &budget);
    Change(*volume);
    budget = 2000;
    Walk(*volume, "", 0, &budget);
    // What was written must mount again.
    volume.reset();
    volume = fat::Volume::Open(device, &error);
    if (volume) {
        budget = 2000;
        Walk(*volume, "", 0, &budget);
    }
    return 0;
}
