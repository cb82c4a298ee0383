// Arbitrary bytes as a disk: its container format, then its partition table. Whatever
// the table says, the partitions read must lie inside the disk, not overlap, and come
// in the order of their numbers.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "platform/image/disk/image_format.h"
#include "platform/image/disk/partitions.h"

namespace {

class InputDevice : public BlockDevice {
  public:
    InputDevice(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}
    uint64_t Size() const override { return m_size; }
    bool Read(uint64_t offset, void* buffer, size_t count) override {
        if (offset > m_size || count > m_size - offset) return false;
        if (count) memcpy(buffer, m_data + offset, count);
        return true;
    }
    bool Write(uint64_t, const void*, size_t) override { return false; }
    bool Flush() override { return true; }
    bool IsReadOnly() const override { return true; }

  private:
    const uint8_t* m_data;
    size_t m_size;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    InputDevice disk(data, size);
    volatile ImageFormat format = DetectImageFormat(disk);
    (void)format;
    std::string error;
    std::vector<Partition> partitions = ReadPartitions(disk, &error);
    for (size_t i = 0; i < partitions.size(); ++i) {
        const Partition& p = partitions[i];
        if (p.offset > size || p.length > size - p.offset) __builtin_trap();
        if (p.scheme != PartitionScheme::kNone && p.length == 0) __builtin_trap();
        if (i > 0) {
            const Partition& before = partitions[i - 1];
            if (before.number >= p.number) __builtin_trap();
        }
        for (size_t j = 0; j < i; ++j) {
            const Partition& q = partitions[j];
            if (p.offset < q.offset + q.length && q.offset < p.offset + p.length) __builtin_trap();
        }
        if (GuidText(p.partitionGuid).size() != 36) __builtin_trap();
    }
    return 0;
}
