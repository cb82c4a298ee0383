#include "tests/image/disk/disk_test_support.h"

#include <ftw.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <stdexcept>

namespace disktest {

const std::string kSfdisk = "sfdisk -q --no-reread --no-tell-kernel";

TempDir::TempDir() {
    const char* base = getenv("TMPDIR");
    m_path = std::string(base && *base ? base : "/tmp") + "/torvo-disk-XXXXXX";
    if (!mkdtemp(&m_path[0])) throw std::runtime_error("mkdtemp failed");
}

TempDir::~TempDir() {
    nftw(
        m_path.c_str(),
        [](const char* path, const struct stat*, int, struct FTW*) { return remove(path); }, 16,
        FTW_DEPTH | FTW_PHYS);
}

std::string Quote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

int ShellStatus(const std::string& command, std::string* output) {
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) throw std::runtime_error("popen failed");
    output->clear();
    char buffer[4096];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0) output->append(buffer, got);
    int status = pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string Shell(const std::string& command) {
    std::string output;
    int status = ShellStatus(command, &output);
    EXPECT_EQ(status, 0) << command << "\n" << output;
    return output;
}

Bytes ReadFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary | std::ios::ate);
    Bytes bytes(size_t(std::max<std::streamoff>(file.tellg(), 0)));
    file.seekg(0);
    file.read(reinterpret_cast<char*>(bytes.data()), std::streamsize(bytes.size()));
    if (!file) throw std::runtime_error("cannot read " + path);
    return bytes;
}

void WriteFile(const std::string& path, const Bytes& bytes) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    if (!file) throw std::runtime_error("cannot write " + path);
}

void Patch(const std::string& path, uint64_t offset, const Bytes& bytes) {
    std::fstream file(path, std::ios::binary | std::ios::in | std::ios::out);
    file.seekp(std::streamoff(offset));
    file.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    if (!file) throw std::runtime_error("cannot patch " + path);
}

Bytes ReadAll(BlockDevice& device) {
    Bytes bytes(size_t(device.Size()));
    EXPECT_TRUE(device.Read(0, bytes.data(), bytes.size()));
    return bytes;
}

Bytes DiskContent(const std::string& image, const std::string& scratch) {
    Shell("qemu-img convert -U -O raw " + Quote(image) + " " + Quote(scratch));
    Bytes content = ReadFile(scratch);
    remove(scratch.c_str());
    return content;
}

Bytes Pattern(size_t length, uint32_t seed) {
    Bytes bytes(length);
    uint32_t state = seed * 2654435761u + 1;
    for (uint8_t& byte : bytes) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        byte = uint8_t(state);
    }
    return bytes;
}

void MakePartitionedDisk(const std::string& path, uint64_t size, const std::string& script) {
    Shell("truncate -s " + std::to_string(size) + " " + Quote(path) + " && " + kSfdisk + " " +
          Quote(path) + " >/dev/null 2>&1 <<'EOF'\n" + script + "\nEOF");
}

void FormatFat(const std::string& image, int bits, uint64_t startSector, uint64_t sectors) {
    std::string clusters = bits == 12 ? "" : " -s 1";
    Shell("mkfs.fat -F " + std::to_string(bits) + clusters +
          " --offset=" + std::to_string(startSector) + " " + Quote(image) + " " +
          std::to_string(sectors / 2) + " >/dev/null 2>&1");
}

void FormatNtfs(const std::string& image, uint64_t startSector, uint64_t sectors) {
    std::string part = image + ".ntfs";
    Shell("truncate -s " + std::to_string(sectors * 512) + " " + Quote(part) +
          " && mkntfs -q -F -Q -s 512 -p " + std::to_string(startSector) + " -H 255 -S 63 " +
          Quote(part) + " >/dev/null 2>&1 && dd if=" + Quote(part) + " of=" + Quote(image) +
          " bs=512 seek=" + std::to_string(startSector) + " conv=notrunc status=none && rm " +
          Quote(part));
}

bool MemoryDevice::Read(uint64_t offset, void* buffer, size_t count) {
    if (offset > m_bytes.size() || count > m_bytes.size() - offset) return false;
    if (count) memcpy(buffer, m_bytes.data() + offset, count);
    return true;
}

bool MemoryDevice::Write(uint64_t offset, const void* data, size_t count) {
    if (offset > m_bytes.size() || count > m_bytes.size() - offset) return false;
    if (count) memcpy(m_bytes.data() + offset, data, count);
    return true;
}

}  // namespace disktest
