#include "platform/image/block_device.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

class RangeDevice : public BlockDevice {
  public:
    RangeDevice(BlockDevice& device, uint64_t offset, uint64_t length)
        : m_device(device), m_offset(offset), m_length(length) {}
    uint64_t Size() const override { return m_length; }
    bool Read(uint64_t offset, void* buffer, size_t count) override {
        return Inside(offset, count) && m_device.Read(m_offset + offset, buffer, count);
    }
    bool Write(uint64_t offset, const void* data, size_t count) override {
        return Inside(offset, count) && m_device.Write(m_offset + offset, data, count);
    }
    bool Flush() override { return m_device.Flush(); }
    bool IsReadOnly() const override { return m_device.IsReadOnly(); }

  private:
    bool Inside(uint64_t offset, size_t count) const {
        return offset <= m_length && count <= m_length - offset;
    }
    BlockDevice& m_device;
    uint64_t m_offset, m_length;
};

class FileDevice : public BlockDevice {
  public:
    FileDevice(int fd, uint64_t size, bool readOnly)
        : m_fd(fd), m_size(size), m_readOnly(readOnly) {}
    ~FileDevice() override { close(m_fd); }
    uint64_t Size() const override { return m_size; }
    bool Read(uint64_t offset, void* buffer, size_t count) override {
        return Inside(offset, count) && Transfer(offset, static_cast<char*>(buffer), count, false);
    }
    bool Write(uint64_t offset, const void* data, size_t count) override {
        return !m_readOnly && Inside(offset, count) &&
               Transfer(offset, const_cast<char*>(static_cast<const char*>(data)), count, true);
    }
    bool Flush() override { return m_readOnly || fsync(m_fd) == 0; }
    bool IsReadOnly() const override { return m_readOnly; }

  private:
    bool Inside(uint64_t offset, size_t count) const {
        return offset <= m_size && count <= m_size - offset;
    }
    bool Transfer(uint64_t offset, char* bytes, size_t count, bool writing) {
        while (count > 0) {
            ssize_t done = writing ? pwrite(m_fd, bytes, count, off_t(offset))
                                   : pread(m_fd, bytes, count, off_t(offset));
            if (done < 0 && errno == EINTR) continue;
            if (done <= 0) return false;
            bytes += done;
            offset += uint64_t(done);
            count -= size_t(done);
        }
        return true;
    }
    int m_fd;
    uint64_t m_size;
    bool m_readOnly;
};

}  // namespace

std::unique_ptr<BlockDevice> MakeRangeDevice(BlockDevice& device, uint64_t offset,
                                             uint64_t length) {
    if (offset > device.Size() || length > device.Size() - offset) return nullptr;
    return std::unique_ptr<BlockDevice>(new RangeDevice(device, offset, length));
}

std::unique_ptr<BlockDevice> OpenFileDevice(const std::string& path, bool readOnly,
                                            std::string* error) {
    int fd = open(path.c_str(), (readOnly ? O_RDONLY : O_RDWR) | O_CLOEXEC | O_NOFOLLOW);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        *error = fd < 0 ? strerror(errno) : "not a regular file";
        if (fd >= 0) close(fd);
        return nullptr;
    }
    return std::unique_ptr<BlockDevice>(new FileDevice(fd, uint64_t(st.st_size), readOnly));
}
