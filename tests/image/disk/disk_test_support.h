// Helpers of the disk image tests: folders of their own, shell commands (the images
// are made with sfdisk, mkfs.fat, mkntfs and qemu-img), whole files and devices.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/image/block_device.h"

namespace disktest {

typedef std::vector<uint8_t> Bytes;

// A fresh folder under $TMPDIR, removed with everything in it at the end.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string File(const std::string& name) const { return m_path + "/" + name; }
    const std::string& Path() const { return m_path; }

  private:
    std::string m_path;
};

// sfdisk on an image file: without its sync of every file system of the machine.
extern const std::string kSfdisk;

std::string Quote(const std::string& text);
// Runs `command` with sh; its standard output. A test failure when it does not exit 0.
std::string Shell(const std::string& command);
// The same, for commands that may fail: their exit status.
int ShellStatus(const std::string& command, std::string* output);

Bytes ReadFile(const std::string& path);
void WriteFile(const std::string& path, const Bytes& bytes);
void Patch(const std::string& path, uint64_t offset, const Bytes& bytes);
Bytes ReadAll(BlockDevice& device);
// What `image` holds as a disk, as qemu-img reads it.
Bytes DiskContent(const std::string& image, const std::string& scratch);

// Bytes that are the same for the same `seed`.
Bytes Pattern(size_t length, uint32_t seed);

// A disk of `size` bytes with the partition table of an sfdisk script.
void MakePartitionedDisk(const std::string& path, uint64_t size, const std::string& script);
// FAT of `bits` (12, 16, 32; clusters of one sector but for FAT12) or NTFS, in the
// sectors given of an existing image.
void FormatFat(const std::string& image, int bits, uint64_t startSector, uint64_t sectors);
void FormatNtfs(const std::string& image, uint64_t startSector, uint64_t sectors);

// A device over bytes in memory.
class MemoryDevice : public BlockDevice {
  public:
    explicit MemoryDevice(Bytes bytes) : m_bytes(std::move(bytes)) {}
    uint64_t Size() const override { return m_bytes.size(); }
    bool Read(uint64_t offset, void* buffer, size_t count) override;
    bool Write(uint64_t offset, const void* data, size_t count) override;
    bool Flush() override { return true; }
    bool IsReadOnly() const override { return false; }
    const Bytes& Content() const { return m_bytes; }

  private:
    Bytes m_bytes;
};

}  // namespace disktest
