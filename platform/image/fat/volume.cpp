// Opening a volume, finding names and reading; the changes are in volume_write.cpp.
#include "platform/image/fat/volume.h"

#include <algorithm>

#include "platform/image/block_device.h"
#include "platform/image/fat/folder.h"

namespace fat {

std::unique_ptr<Volume> Volume::Open(BlockDevice& device, std::string* error) {
    return Open(device, Options(), error);
}

std::unique_ptr<Volume> Volume::Open(BlockDevice& device, const Options& options,
                                     std::string* error) {
    if (!CodePage::Supported(options.codePage)) {
        *error = "code page " + std::to_string(options.codePage) + " is not supported";
        return nullptr;
    }
    Layout layout;
    if (!ReadLayout(device, &layout, error)) return nullptr;
    std::unique_ptr<Volume> volume(new Volume(device, layout, options));
    FolderPtr root;
    if (!volume->LoadFolder(volume->m_rootKey, &root)) {
        *error = "cannot read the root folder: " + volume->m_error;
        return nullptr;
    }
    return volume;
}

Volume::Volume(BlockDevice& device, const Layout& layout, const Options& options)
    : m_device(device),
      m_layout(layout),
      m_codePage(options.codePage),
      m_table(device, m_layout, options.fatCacheBytes),
      m_readOnly(device.IsReadOnly()),
      m_folderCacheBytes(options.folderCacheBytes),
      m_rootKey(layout.type == 32 ? layout.rootCluster : 0) {}

Volume::~Volume() = default;

bool Volume::Fail(const std::string& why) {
    m_error = why;
    return false;
}

bool Volume::Fail(const std::string& path, const std::string& why) {
    return Fail(path + ": " + why);
}

// The chain from `first` to its end mark, at most `limit` clusters long. A chain that
// reaches its end mark holds no cluster twice.
bool Volume::Chain(uint32_t first, uint32_t limit, std::vector<uint32_t>* clusters) {
    clusters->clear();
    uint32_t cluster = first;
    while (true) {
        if (!m_layout.IsDataCluster(cluster)) return Fail("a cluster chain leaves the volume");
        if (clusters->size() == limit) return Fail("a cluster chain loops or is too long");
        clusters->push_back(cluster);
        uint32_t next = m_table.Get(cluster);
        if (m_table.IsEnd(next)) return true;
        cluster = next;
    }
}

// How many clusters the chain from `first` has, followed to its end mark with Brent's
// cycle finding, so that a chain that loops fails after a bounded walk.
bool Volume::ChainLength(uint32_t first, uint64_t* length) {
    if (!m_layout.IsDataCluster(first)) return Fail("the first cluster lies outside the volume");
    uint32_t tortoise = first, hare = first;
    uint64_t power = 1, steps = 0;
    for (*length = 1;; ++*length) {
        uint32_t next = m_table.Get(hare);
        if (m_table.Failed()) return Fail("cannot read the FAT");
        if (m_table.IsEnd(next)) return true;
        if (next == 0) return Fail("the cluster chain runs into a free cluster");
        if (!m_layout.IsDataCluster(next)) return Fail("the cluster chain leaves the volume");
        hare = next;
        if (hare == tortoise || *length > m_layout.clusterCount)
            return Fail("the cluster chain loops");
        if (++steps == power) {
            tortoise = hare;
            power *= 2;
            steps = 0;
        }
    }
}

// The clusters that hold the file's bytes. The chain must end, and not before the file
// does; `exact`: right there, as it must before the file is changed.
bool Volume::FileChain(const Record& record, bool exact, std::vector<uint32_t>* clusters) {
    clusters->clear();
    uint64_t needed = (uint64_t(record.size) + m_layout.clusterBytes - 1) / m_layout.clusterBytes;
    if (needed > m_layout.clusterCount) return Fail("the file is larger than the volume");
    if (needed == 0) {
        if (exact && record.firstCluster != 0) return Fail("an empty file holds clusters");
        return true;
    }
    uint64_t length;
    if (!ChainLength(record.firstCluster, &length)) return false;
    if (length < needed) return Fail("the cluster chain is shorter than the file");
    if (exact && length > needed) return Fail("the cluster chain is longer than the file");
    clusters->reserve(size_t(needed));
    for (uint32_t cluster = record.firstCluster; clusters->size() < needed;
         cluster = m_table.Get(cluster)) {
        clusters->push_back(cluster);
    }
    return true;
}

bool Volume::LoadFolder(uint32_t key, FolderPtr* folder) {
    auto cached = m_folders.find(key);
    if (cached != m_folders.end()) {
        cached->second->lastUse = ++m_useCount;
        *folder = cached->second;
        return true;
    }
    auto loaded = std::make_shared<Folder>();
    loaded->key = key;
    if (key == 0) {
        loaded->bytes.resize(m_layout.rootBytes);
        if (!m_device.Read(m_layout.rootOffset, loaded->bytes.data(), loaded->bytes.size()))
            return Fail("cannot read the root folder");
        loaded->dirtyParts.resize(1);
    } else {
        if (!Chain(key, uint32_t(kMaxFolderBytes / m_layout.clusterBytes), &loaded->clusters))
            return false;
        loaded->bytes.resize(loaded->clusters.size() * m_layout.clusterBytes);
        if (!TransferData(loaded->clusters, 0, loaded->bytes.data(), loaded->bytes.size(), false)) {
            return false;
        }
        loaded->dirtyParts.resize(loaded->clusters.size());
    }
    Parse(*loaded);
    loaded->lastUse = ++m_useCount;
    m_folderBytes += loaded->bytes.size();
    m_folders[key] = loaded;
    *folder = loaded;
    return true;
}

void Volume::Parse(Folder& folder) {
    ParseFolder(folder.bytes.data(), folder.SlotCount(), m_layout.type == 32, m_codePage,
                &folder.records, &folder.endSlot);
    folder.index.clear();
    folder.indexed = false;
}

// Drops the folders used longest ago, save those with changes not yet written. Called
// only where no folder is held, so that one folder is never in memory twice.
void Volume::KeepCacheSmall() {
    while (m_folderBytes > m_folderCacheBytes) {
        auto oldest = m_folders.end();
        for (auto it = m_folders.begin(); it != m_folders.end(); ++it) {
            if (it->second->dirty) continue;
            if (oldest == m_folders.end() || it->second->lastUse < oldest->second->lastUse)
                oldest = it;
        }
        if (oldest == m_folders.end()) return;
        m_folderBytes -= oldest->second->bytes.size();
        m_folders.erase(oldest);
    }
}

bool Volume::Lookup(Folder& folder, const std::string& name, size_t* record) {
    if (!folder.indexed) {
        for (size_t i = 0; i < folder.records.size(); ++i) {
            folder.index.emplace(NameKey(folder.records[i].name), i);
            folder.index.emplace(NameKey(folder.records[i].shortName), i);
        }
        folder.indexed = true;
    }
    auto found = folder.index.find(NameKey(name));
    if (found == folder.index.end()) return false;
    *record = found->second;
    return true;
}

bool Volume::SplitPath(const std::string& path, std::vector<std::string>* parts) {
    parts->clear();
    size_t at = 0;
    while (at <= path.size()) {
        size_t end = std::min(path.find('/', at), path.size());
        std::string part = path.substr(at, end - at);
        if (part == "." || part == "..") return Fail(path, "\".\" and \"..\" are not followed");
        if (!part.empty()) parts->push_back(part);
        at = end + 1;
    }
    return true;
}

// The folder named by the first `count` parts. A folder met twice on the way is a cycle.
bool Volume::FindFolder(const std::vector<std::string>& parts, size_t count, FolderPtr* folder) {
    std::vector<uint32_t> visited(1, m_rootKey);
    if (!LoadFolder(m_rootKey, folder)) return false;
    for (size_t i = 0; i < count; ++i) {
        size_t index;
        if (!Lookup(**folder, parts[i], &index)) return Fail(parts[i], "no such folder");
        const Record& record = (*folder)->records[index];
        if (!record.IsDirectory()) return Fail(parts[i], "not a folder");
        uint32_t key = record.firstCluster;
        if (!m_layout.IsDataCluster(key)) return Fail(parts[i], "the folder has no clusters");
        if (std::find(visited.begin(), visited.end(), key) != visited.end())
            return Fail(parts[i], "the folder holds itself (a cycle)");
        visited.push_back(key);
        if (!LoadFolder(key, folder)) return Fail(parts[i], m_error);
    }
    return true;
}

bool Volume::Find(const std::string& path, Found* found) {
    std::vector<std::string> parts;
    if (!SplitPath(path, &parts)) return false;
    if (parts.empty()) return Fail(path, "the root has no entry");
    if (!FindFolder(parts, parts.size() - 1, &found->folder)) return false;
    if (!Lookup(*found->folder, parts.back(), &found->record))
        return Fail(path, "no such file or folder");
    return true;
}

Entry Volume::MakeEntry(const Folder& folder, const Record& record) const {
    Entry entry;
    entry.name = record.name;
    entry.shortName = record.shortName;
    entry.isDirectory = record.IsDirectory();
    entry.size = entry.isDirectory ? 0 : record.size;
    entry.attributes = record.attributes;
    entry.firstCluster = record.firstCluster;
    entry.id = uint64_t(folder.key) << 32 | record.shortSlot;
    entry.createTime = record.createTime;
    entry.createDate = record.createDate;
    entry.writeTime = record.writeTime;
    entry.writeDate = record.writeDate;
    return entry;
}

bool Volume::List(const std::string& folderPath, std::vector<Entry>* entries, std::string* error) {
    entries->clear();
    KeepCacheSmall();
    std::vector<std::string> parts;
    FolderPtr folder;
    if (!SplitPath(folderPath, &parts) || !FindFolder(parts, parts.size(), &folder)) {
        *error = m_error;
        return false;
    }
    entries->reserve(folder->records.size());
    for (const Record& record : folder->records) entries->push_back(MakeEntry(*folder, record));
    return true;
}

bool Volume::Stat(const std::string& path, Entry* entry) {
    KeepCacheSmall();
    std::vector<std::string> parts;
    if (!SplitPath(path, &parts)) return false;
    if (parts.empty()) {
        *entry = Entry();
        entry->isDirectory = true;
        entry->attributes = kAttributeDirectory;
        entry->firstCluster = m_rootKey;
        entry->id = uint64_t(m_rootKey) << 32;
        return true;
    }
    Found found;
    if (!Find(path, &found)) return false;
    *entry = MakeEntry(*found.folder, found.folder->records[found.record]);
    return true;
}

bool Volume::Read(const std::string& path, uint64_t offset, void* buffer, size_t count,
                  size_t* got) {
    *got = 0;
    KeepCacheSmall();
    Found found;
    if (!Find(path, &found)) return false;
    const Record& record = found.folder->records[found.record];
    if (record.IsDirectory()) return Fail(path, "a folder, not a file");
    if (offset >= record.size || count == 0) return true;
    size_t want = size_t(std::min<uint64_t>(count, record.size - offset));
    if (m_chainFirst != record.firstCluster || m_chainSize != record.size) {
        m_chainFirst = 0;
        if (!FileChain(record, false, &m_chain)) return Fail(path, m_error);
        m_chainFirst = record.firstCluster;
        m_chainSize = record.size;
    }
    if (!TransferData(m_chain, offset, static_cast<uint8_t*>(buffer), want, false))
        return Fail(path, m_error);
    *got = want;
    return true;
}

// Reads or writes `count` bytes at `offset` of the chain `clusters`, one device call for
// each run of consecutive clusters.
bool Volume::TransferData(const std::vector<uint32_t>& clusters, uint64_t offset, uint8_t* bytes,
                          size_t count, bool writing) {
    const uint64_t clusterBytes = m_layout.clusterBytes;
    while (count > 0) {
        size_t index = size_t(offset / clusterBytes);
        if (index >= clusters.size()) return Fail("beyond the end of the cluster chain");
        uint64_t within = offset % clusterBytes;
        size_t last = index;
        uint64_t span = clusterBytes - within;
        while (span < count && last + 1 < clusters.size() &&
               clusters[last + 1] == clusters[last] + 1) {
            ++last;
            span += clusterBytes;
        }
        size_t length = size_t(std::min<uint64_t>(span, count));
        uint64_t at = m_layout.ClusterOffset(clusters[index]) + within;
        bool done = writing ? m_device.Write(at, bytes, length) : m_device.Read(at, bytes, length);
        if (!done) return Fail(writing ? "cannot write to the device" : "cannot read the device");
        offset += length;
        bytes += length;
        count -= length;
    }
    return true;
}

}  // namespace fat
