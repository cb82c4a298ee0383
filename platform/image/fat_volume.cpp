#include "platform/image/fat/volume.h"

#include "platform/image/volumes.h"

namespace {

image::Entry EntryOf(const fat::Entry& found) {
    image::Entry entry;
    entry.name = found.name;
    entry.shortName = found.shortName;
    entry.isDirectory = found.isDirectory;
    entry.size = found.size;
    entry.attributes = found.attributes;
    entry.identity = found.id;
    return entry;
}

class FatVolume : public image::Volume {
  public:
    explicit FatVolume(std::unique_ptr<fat::Volume> volume) : m_volume(std::move(volume)) {}

    std::string Kind() const override { return "FAT" + std::to_string(m_volume->Type()); }
    bool IsReadOnly() const override { return m_volume->IsReadOnly(); }
    const std::string& LastError() const override { return m_volume->LastError(); }

    bool List(const std::string& folder, std::vector<image::Entry>* entries) override {
        std::vector<fat::Entry> found;
        std::string error;
        if (!m_volume->List(folder, &found, &error)) return false;
        for (const fat::Entry& entry : found) entries->push_back(EntryOf(entry));
        return true;
    }
    bool Stat(const std::string& path, image::Entry* entry) override {
        fat::Entry found;
        if (!m_volume->Stat(path, &found)) return false;
        *entry = EntryOf(found);
        return true;
    }
    bool Read(const std::string& path, uint64_t offset, void* buffer, size_t count,
              size_t* got) override {
        return m_volume->Read(path, offset, buffer, count, got);
    }
    bool Create(const std::string& path) override { return m_volume->Create(path); }
    bool Write(const std::string& path, uint64_t offset, const void* data, size_t count) override {
        return m_volume->Write(path, offset, data, count);
    }
    bool Truncate(const std::string& path, uint64_t length) override {
        return m_volume->Truncate(path, length);
    }
    bool Remove(const std::string& path) override { return m_volume->Remove(path); }
    bool Rename(const std::string& from, const std::string& to) override {
        return m_volume->Rename(from, to);
    }
    bool SetAttributes(const std::string& path, uint32_t attributes) override {
        return m_volume->SetAttributes(path, uint8_t(attributes));
    }
    bool Flush() override { return m_volume->Flush(); }

  private:
    std::unique_ptr<fat::Volume> m_volume;
};

}  // namespace

std::unique_ptr<image::Volume> OpenFatVolume(BlockDevice& device, std::string* error) {
    std::unique_ptr<fat::Volume> volume = fat::Volume::Open(device, error);
    if (!volume) return nullptr;
    return std::unique_ptr<image::Volume>(new FatVolume(std::move(volume)));
}
