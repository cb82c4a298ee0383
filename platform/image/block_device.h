// The bytes of a disk, or of one volume on it, as the image code sees them: reads and
// writes at any offset and of any length, which the device splits or gathers as its
// medium needs. Every layer of an image (the container, a partition, the rollback
// journal) is one of these over the next.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

class BlockDevice {
  public:
    virtual ~BlockDevice() = default;
    virtual uint64_t Size() const = 0;
    // False unless all `count` bytes were read; reading past the end is a failure.
    virtual bool Read(uint64_t offset, void* buffer, size_t count) = 0;
    // False unless all `count` bytes were written; writing past the end is a failure.
    virtual bool Write(uint64_t offset, const void* data, size_t count) = 0;
    // Makes every write so far durable.
    virtual bool Flush() = 0;
    virtual bool IsReadOnly() const = 0;
};

// `length` bytes of `device` from `offset` on: a partition. Null when the range does not
// lie inside the device.
std::unique_ptr<BlockDevice> MakeRangeDevice(BlockDevice& device, uint64_t offset, uint64_t length);

// A file of the host read and written with pread and pwrite. Null, with `error` set,
// when it cannot be opened.
std::unique_ptr<BlockDevice> OpenFileDevice(const std::string& path, bool readOnly,
                                            std::string* error);
