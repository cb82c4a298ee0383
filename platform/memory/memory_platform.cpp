#include "platform/memory/memory_platform.h"

#include <algorithm>
#include <cstring>

#include "platform/posix/pe_resource.h"

namespace {

struct MemoryImage : PlatImage {
    Bytes content;
};

struct MemoryListing : PlatListing {
    std::vector<std::string> names;
    size_t next = 0;
};

void Fill(PlatDirEntry* entry, MemoryListing& listing) {
    entry->name = listing.names[listing.next++].c_str();
    entry->isDirectory = false;
    entry->isFile = true;
    entry->isLink = false;
    entry->isUnreachable = false;
    entry->listing = &listing;
}

}  // namespace

void MemoryPlatform::Put(const std::string& path, Bytes content) {
    m_files[path] = std::make_shared<Bytes>(std::move(content));
}

const Bytes* MemoryPlatform::Find(const std::string& path) const {
    auto found = m_files.find(path);
    return found == m_files.end() ? nullptr : found->second.get();
}

Bytes* MemoryPlatform::Content(PlatFile file) {
    if (file < 0 || size_t(file) >= m_open.size() || m_open[size_t(file)].empty()) return nullptr;
    auto found = m_files.find(m_open[size_t(file)]);
    return found == m_files.end() ? nullptr : found->second.get();
}

PlatFile MemoryPlatform::OpenRead(const char* path, int64_t* size) {
    const Bytes* content = Find(path);
    if (!content) return PLAT_NO_FILE;
    if (size) *size = int64_t(content->size());
    m_open.push_back(path);
    return PlatFile(m_open.size() - 1);
}

PlatFile MemoryPlatform::OpenToDetect(const char* path, const PlatDirEntry*) {
    return OpenRead(path);
}

int64_t MemoryPlatform::FileSize(PlatFile file) {
    const Bytes* content = Content(file);
    return content ? int64_t(content->size()) : -1;
}

PlatFile MemoryPlatform::CreateWork(const char* path) {
    Put(path, Bytes());
    return OpenRead(path);
}

PlatFile MemoryPlatform::CopyToWork(const char* from, const char* to) {
    const Bytes* content = Find(from);
    if (!content) return PLAT_NO_FILE;
    Put(to, *content);
    return OpenRead(to);
}

void MemoryPlatform::Close(PlatFile file) {
    if (file >= 0 && size_t(file) < m_open.size()) m_open[size_t(file)].clear();
    while (!m_open.empty() && m_open.back().empty()) m_open.pop_back();
}

int32_t MemoryPlatform::ReadAt(PlatFile file, int64_t offset, void* buffer, int32_t count) {
    const Bytes* content = Content(file);
    if (!content || offset < 0 || count < 0 || uint64_t(offset) >= content->size()) return 0;
    size_t length = std::min(size_t(count), content->size() - size_t(offset));
    memcpy(buffer, content->data() + offset, length);
    return int32_t(length);
}

bool MemoryPlatform::WriteAll(PlatFile file, const void* data, uint32_t count) {
    Bytes* content = Content(file);
    if (!content) return false;
    const unsigned char* bytes = static_cast<const unsigned char*>(data);
    content->insert(content->end(), bytes, bytes + count);
    return true;
}

bool MemoryPlatform::CutTail(PlatFile file, int32_t count) {
    Bytes* content = Content(file);
    if (!content || count < 0 || size_t(count) > content->size()) return false;
    content->resize(content->size() - size_t(count));
    return true;
}

bool MemoryPlatform::Copy(const char* from, const char* to) {
    const Bytes* content = Find(from);
    if (!content) return false;
    Put(to, *content);
    return true;
}

bool MemoryPlatform::GetAttributes(const char* path, PlatAttributes* attributes) {
    if (!Find(path)) return false;
    *attributes = PlatAttributes();
    return true;
}

bool MemoryPlatform::Remove(const char* path) {
    return m_files.erase(path) > 0;
}

bool MemoryPlatform::IsSameFile(const char* first, const char* second) {
    return strcmp(first, second) == 0 && Find(first);
}

bool MemoryPlatform::Rename(const char* from, const char* to) {
    auto source = m_files.find(from);
    if (source == m_files.end() || Find(to)) return false;
    std::shared_ptr<Bytes> content = source->second;
    m_files.erase(source);
    m_files[to] = content;
    return true;
}

PlatImage* MemoryPlatform::LoadExecutable(const char* path) {
    const Bytes* content = Find(path);
    if (!content) return nullptr;
    MemoryImage* image = new MemoryImage;
    image->content = *content;
    return image;
}

PlatResourceLookup MemoryPlatform::FindResourceData(PlatImage* image, uint16_t type, uint16_t name,
                                                    const unsigned char** data, uint32_t* size) {
    const Bytes& content = static_cast<MemoryImage*>(image)->content;
    return FindResourceIn(content.data(), content.size(), type, name, data, size);
}

void MemoryPlatform::UnloadExecutable(PlatImage* image) {
    delete image;
}

PlatListing* MemoryPlatform::ListFirst(const char*, PlatDirEntry* entry) {
    MemoryListing* listing = new MemoryListing;
    for (const auto& file : m_files) listing->names.push_back(file.first);
    if (listing->names.empty()) {
        delete listing;
        return nullptr;
    }
    Fill(entry, *listing);
    return listing;
}

bool MemoryPlatform::ListNext(PlatListing* listing, PlatDirEntry* entry) {
    MemoryListing& files = *static_cast<MemoryListing*>(listing);
    if (files.next >= files.names.size()) return false;
    Fill(entry, files);
    return true;
}

void MemoryPlatform::ListClose(PlatListing* listing) {
    delete listing;
}

bool MemoryPlatform::ReadRestartList(std::vector<RestartEntry>* entries) {
    *entries = m_restartList;
    return true;
}

bool MemoryPlatform::WriteRestartList(const std::vector<RestartEntry>& entries) {
    m_restartList = entries;
    return true;
}
