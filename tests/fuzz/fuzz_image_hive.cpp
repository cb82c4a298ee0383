// Arbitrary bytes as the SYSTEM hive of a Windows on an image: the restart list is read
// from it (Select, then PendingFileRenameOperations) and its drive letters
// (MountedDevices); when the list reads, it is written back less its first entry and
// read again, which must give what was written, the drive letters unchanged. The base
// block's checksum is set right first, so that the mutations reach past it. The hive
// lies in a volume of memory.
#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/image/volume.h"
#include "platform/image/windows_list.h"

namespace {

const size_t kChecksumAt = 508;

std::string Folded(const std::string& path) {
    std::string folded = path;
    for (char& c : folded) c = char(toupper(static_cast<unsigned char>(c)));
    return folded;
}

// Files only, by their names in capitals; no folders.
class MemoryVolume : public image::Volume {
  public:
    std::map<std::string, std::string> files;

    std::string Kind() const override { return "FAT32"; }
    bool IsReadOnly() const override { return false; }
    bool List(const std::string&, std::vector<image::Entry>*) override { return false; }
    bool Stat(const std::string& path, image::Entry* entry) override {
        auto found = files.find(Folded(path));
        if (found == files.end()) return false;
        *entry = image::Entry();
        entry->name = path.substr(path.rfind('/') + 1);
        entry->size = found->second.size();
        return true;
    }
    bool Read(const std::string& path, uint64_t offset, void* buffer, size_t count,
              size_t* got) override {
        auto found = files.find(Folded(path));
        if (found == files.end()) return false;
        const std::string& bytes = found->second;
        *got = offset < bytes.size() ? std::min<size_t>(count, bytes.size() - offset) : 0;
        if (*got) memcpy(buffer, bytes.data() + offset, *got);
        return true;
    }
    bool Create(const std::string& path) override {
        return files.emplace(Folded(path), std::string()).second;
    }
    bool Write(const std::string& path, uint64_t offset, const void* data, size_t count) override {
        auto found = files.find(Folded(path));
        if (found == files.end() || offset > (1u << 24)) return false;
        std::string& bytes = found->second;
        if (bytes.size() < offset + count) bytes.resize(offset + count);
        memcpy(&bytes[offset], data, count);
        return true;
    }
    bool Truncate(const std::string& path, uint64_t length) override {
        auto found = files.find(Folded(path));
        if (found == files.end() || length > (1u << 24)) return false;
        found->second.resize(length);
        return true;
    }
    bool Remove(const std::string& path) override { return files.erase(Folded(path)) == 1; }
    bool Rename(const std::string&, const std::string&) override { return false; }
    bool SetAttributes(const std::string&, uint32_t) override { return true; }
    bool Flush() override { return true; }
    const std::string& LastError() const override { return m_error; }

  private:
    std::string m_error = "no such file";
};

// The XOR of the base block's dwords before the checksum, as the format keeps it.
void SetChecksum(std::string& bytes) {
    if (bytes.size() < kChecksumAt + 4 || bytes.compare(0, 4, "regf") != 0) return;
    uint32_t sum = 0;
    for (size_t at = 0; at < kChecksumAt; at += 4) {
        uint32_t word;
        memcpy(&word, &bytes[at], 4);
        sum ^= word;
    }
    sum = sum == 0xFFFFFFFF ? 0xFFFFFFFE : sum == 0 ? 1 : sum;
    memcpy(&bytes[kChecksumAt], &sum, 4);
}

bool IsSame(const std::vector<RestartEntry>& first, const std::vector<RestartEntry>& second) {
    if (first.size() != second.size()) return false;
    for (size_t i = 0; i < first.size(); ++i)
        if (first[i].source != second[i].source || first[i].destination != second[i].destination ||
            first[i].replaces != second[i].replaces)
            return false;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string bytes(reinterpret_cast<const char*>(data), size);
    SetChecksum(bytes);
    MemoryVolume volume;
    volume.files[Folded("/Windows/System32/config/SYSTEM")] = bytes;
    WindowsOnImage windows = FindWindows(volume);
    if (windows.family != WindowsOnImage::NT) __builtin_trap();

    VolumeIdentity mbr, gpt;
    mbr.diskSignature = 0x1234abcd;
    mbr.offset = 1 << 20;
    gpt.gpt = true;
    memcpy(gpt.partitionGuid, "\x67\x45\x23\x01\xab\x89\xef\xcd\x01\x23\x45\x67\x89\xab\xcd\xef",
           16);
    char letters[] = {DriveLetterOf(windows, mbr), DriveLetterOf(windows, gpt)};

    std::unique_ptr<ImageRestartList> list = MakeWindowsRestartList(windows, volume, 'C');
    std::vector<RestartEntry> entries, again;
    if (!list->Read(&entries)) return 0;
    for (const RestartEntry& entry : entries) {
        std::string path;
        list->VolumePathOf(entry.source, &path);
        list->IsWorkFileName(entry.source, entry.destination);
    }
    if (!entries.empty()) entries.erase(entries.begin());
    if (!list->Write(entries)) return 0;
    // What was written whole reads back as it was written, and the rest stays.
    if (!list->Read(&again) || !IsSame(again, entries) ||
        DriveLetterOf(windows, mbr) != letters[0] || DriveLetterOf(windows, gpt) != letters[1])
        __builtin_trap();
    return 0;
}
