// The changes: no cluster is written that is neither free nor the changed file's own, and
// every check is made before the first byte is written.
#include <algorithm>
#include <cstring>
#include <ctime>

#include "platform/image/block_device.h"
#include "platform/image/fat/folder.h"
#include "platform/image/fat/volume.h"

namespace fat {

namespace {

const uint64_t kMaxFileSize = 0xFFFFFFFF;
const unsigned kMaxNumericTail = 999999;
const uint8_t kChangeableAttributes = 0x27;
const uint8_t kLowerCaseBits = 0x18;
const uint32_t kFsInfoLead = 0x41615252, kFsInfoMiddle = 0x61417272, kFsInfoTrail = 0xAA550000;

uint64_t ClustersFor(uint64_t bytes, uint32_t clusterBytes) {
    return (bytes + clusterBytes - 1) / clusterBytes;
}

// The local time as FAT stores it: the date, the time in two-second steps.
void Now(uint16_t* date, uint16_t* time) {
    std::time_t now = std::time(nullptr);
    std::tm local;
    localtime_r(&now, &local);
    int year = std::min(std::max(local.tm_year + 1900, 1980), 2107);
    *date = uint16_t((year - 1980) << 9 | (local.tm_mon + 1) << 5 | local.tm_mday);
    *time = uint16_t(local.tm_hour << 11 | local.tm_min << 5 | local.tm_sec / 2);
}

}  // namespace

// Before the first change, follows every chain from the root down, to know which
// clusters are held and where chains meet: a file or folder holding such a cluster is
// never changed, nor is a cluster some entry points to ever given out.
bool Volume::PrepareChange() {
    if (m_readOnly) return Fail("the volume is read-only");
    KeepCacheSmall();
    m_chainFirst = 0;
    if (!m_ownersKnown) {
        m_owned.assign(size_t(m_layout.clusterCount) + 2, false);
        m_shared.clear();
        if (m_rootKey != 0) MarkOwnedChain(m_rootKey);
        std::vector<uint32_t> pending(1, m_rootKey);
        while (!pending.empty()) {
            FolderPtr folder;
            bool loaded = LoadFolder(pending.back(), &folder);
            pending.pop_back();
            if (!loaded) continue;  // its own clusters are marked as far as they go
            for (const Record& record : folder->records) {
                if (!m_layout.IsDataCluster(record.firstCluster)) continue;
                bool seen = m_owned[record.firstCluster];
                MarkOwnedChain(record.firstCluster);
                if (record.IsDirectory() && !seen) pending.push_back(record.firstCluster);
            }
            folder.reset();
            KeepCacheSmall();
        }
        m_ownersKnown = true;
    }
    if (m_table.Failed()) return Fail("cannot read the FAT");
    return true;
}

void Volume::MarkOwnedChain(uint32_t first) {
    for (uint32_t cluster = first; m_layout.IsDataCluster(cluster);) {
        if (m_owned[cluster]) {
            m_shared.insert(cluster);
            return;
        }
        m_owned[cluster] = true;
        uint32_t next = m_table.Get(cluster);
        if (m_table.IsEnd(next)) return;
        cluster = next;
    }
}

bool Volume::CheckNotShared(const std::vector<uint32_t>& clusters, const std::string& path) {
    for (uint32_t cluster : clusters) {
        if (m_shared.count(cluster))
            return Fail(path, "its clusters are also another's (crossed chains)");
    }
    return true;
}

bool Volume::CheckWritable(const Folder& folder, const std::string& path) {
    return CheckNotShared(folder.clusters, path + " (its folder)");
}

bool Volume::FindFree(size_t count, std::vector<uint32_t>* clusters) {
    clusters->clear();
    uint32_t total = m_layout.clusterCount;
    uint32_t start = m_layout.IsDataCluster(m_nextFree) ? m_nextFree - 2 : 0;
    for (uint32_t i = 0; i < total && clusters->size() < count; ++i) {
        uint32_t cluster = 2 + (start + i) % total;
        if (!m_owned[cluster] && m_table.Get(cluster) == 0) clusters->push_back(cluster);
    }
    if (m_table.Failed()) return Fail("cannot read the FAT");
    if (clusters->size() < count) return Fail("the volume is full");
    return true;
}

// Appends `added` to `chain`.
void Volume::Link(const std::vector<uint32_t>& chain, const std::vector<uint32_t>& added) {
    if (added.empty()) return;
    for (size_t i = 0; i < added.size(); ++i) {
        if (i > 0) m_table.Set(added[i - 1], added[i]);
        m_owned[added[i]] = true;
    }
    if (!chain.empty()) m_table.Set(chain.back(), added.front());
    m_table.Set(added.back(), m_table.EndMark());
    m_lastAllocated = added.back();
    m_nextFree = added.back() + 1;
    m_fatChanged = true;
}

void Volume::FreeClusters(const std::vector<uint32_t>& clusters) {
    for (uint32_t cluster : clusters) {
        m_table.Set(cluster, 0);
        m_owned[cluster] = false;
    }
    if (!clusters.empty()) m_fatChanged = true;
}

// A file (not a folder) that may be changed, and its clusters.
bool Volume::FindFile(const std::string& path, Found* found, std::vector<uint32_t>* chain) {
    if (!Find(path, found)) return false;
    const Record& record = found->folder->records[found->record];
    if (record.IsDirectory()) return Fail(path, "a folder, not a file");
    if (!CheckWritable(*found->folder, path)) return false;
    if (!FileChain(record, true, chain)) return Fail(path, m_error);
    return CheckNotShared(*chain, path);
}

void Volume::MarkDirty(Folder& folder, size_t firstSlot, size_t slotCount) {
    folder.dirty = true;
    if (folder.key == 0) {
        folder.dirtyParts[0] = true;
        return;
    }
    size_t from = firstSlot * kEntryBytes / m_layout.clusterBytes;
    size_t to = ((firstSlot + slotCount) * kEntryBytes - 1) / m_layout.clusterBytes;
    for (size_t part = from; part <= to; ++part) folder.dirtyParts[part] = true;
}

void Volume::Touch(uint8_t* entry) {
    uint16_t date, time;
    Now(&date, &time);
    SetLe16(entry + 18, date);
    SetLe16(entry + 22, time);
    SetLe16(entry + 24, date);
}

bool Volume::WriteZeros(const std::vector<uint32_t>& clusters, uint64_t from, uint64_t to) {
    std::vector<uint8_t> zeros(size_t(std::min<uint64_t>(to - from, 1 << 20)), 0);
    for (uint64_t at = from; at < to; at += zeros.size()) {
        size_t count = size_t(std::min<uint64_t>(zeros.size(), to - at));
        if (!TransferData(clusters, at, zeros.data(), count, true)) return false;
    }
    return true;
}

// Makes the file `newSize` bytes long, with `count` bytes of `data` at `offset` and
// zeros between its old end and `offset`.
bool Volume::Resize(const Found& found, std::vector<uint32_t> chain, uint64_t offset,
                    const uint8_t* data, size_t count, uint64_t newSize) {
    Folder& folder = *found.folder;
    const Record record = folder.records[found.record];
    uint64_t needed = ClustersFor(newSize, m_layout.clusterBytes);
    std::vector<uint32_t> added;
    if (needed > chain.size() && !FindFree(size_t(needed - chain.size()), &added)) return false;
    std::vector<uint32_t> clusters(chain);
    clusters.insert(clusters.end(), added.begin(), added.end());
    if (offset > record.size && !WriteZeros(clusters, record.size, offset)) return false;
    if (count > 0 && !TransferData(clusters, offset, const_cast<uint8_t*>(data), count, true)) {
        return false;
    }
    Link(chain, added);
    uint8_t* entry = folder.Slot(record.shortSlot);
    if (chain.empty() && !added.empty()) SetFirstCluster(entry, added.front());
    SetLe32(entry + 28, uint32_t(newSize));
    entry[11] |= kAttributeArchive;
    Touch(entry);
    MarkDirty(folder, record.shortSlot, 1);
    Parse(folder);
    return true;
}

bool Volume::Write(const std::string& path, uint64_t offset, const void* data, size_t count) {
    Found found;
    std::vector<uint32_t> chain;
    if (!PrepareChange() || !FindFile(path, &found, &chain)) return false;
    if (count == 0) return true;
    if (offset > kMaxFileSize || count > kMaxFileSize - offset)
        return Fail(path, "a file on FAT is smaller than 4 GiB");
    uint64_t size = found.folder->records[found.record].size;
    return Resize(found, chain, offset, static_cast<const uint8_t*>(data), count,
                  std::max<uint64_t>(size, offset + count));
}

bool Volume::Truncate(const std::string& path, uint64_t length) {
    Found found;
    std::vector<uint32_t> chain;
    if (!PrepareChange() || !FindFile(path, &found, &chain)) return false;
    if (length > kMaxFileSize) return Fail(path, "a file on FAT is smaller than 4 GiB");
    Folder& folder = *found.folder;
    const Record record = folder.records[found.record];
    if (length == record.size) return true;
    if (length > record.size) return Resize(found, chain, length, nullptr, 0, length);
    size_t keep = size_t(ClustersFor(length, m_layout.clusterBytes));
    uint8_t* entry = folder.Slot(record.shortSlot);
    if (keep < chain.size()) {
        if (keep > 0) {
            m_table.Set(chain[keep - 1], m_table.EndMark());
        } else {
            SetFirstCluster(entry, 0);
        }
        FreeClusters(std::vector<uint32_t>(chain.begin() + keep, chain.end()));
    }
    SetLe32(entry + 28, uint32_t(length));
    entry[11] |= kAttributeArchive;
    Touch(entry);
    MarkDirty(folder, record.shortSlot, 1);
    Parse(folder);
    return true;
}

bool Volume::Remove(const std::string& path) {
    Found found;
    std::vector<uint32_t> chain;
    if (!PrepareChange() || !FindFile(path, &found, &chain)) return false;
    Folder& folder = *found.folder;
    const Record record = folder.records[found.record];
    MarkDeleted(folder, record);
    MarkDirty(folder, record.firstSlot, record.shortSlot - record.firstSlot + 1);
    FreeClusters(chain);
    Parse(folder);
    return true;
}

void Volume::MarkDeleted(Folder& folder, const Record& record) {
    for (size_t slot = record.firstSlot; slot <= record.shortSlot; ++slot)
        folder.Slot(slot)[0] = kDeletedMark;
    Parse(folder);
}

bool Volume::ShortNameTaken(Folder& folder, const ShortName& name, size_t except) {
    size_t record;
    return Lookup(folder, ShortNameText(name, m_codePage, false, false), &record) &&
           record != except;
}

// The entries of `name` in `folder`: its short name is the basis, else the basis with the
// first numeric tail that no other name in the folder (save record `except`) has.
bool Volume::MakeEntriesFor(Folder& folder, const std::string& name, size_t except,
                            std::vector<uint8_t>* entries) {
    std::u32string points;
    DecodeUtf8(name, &points);
    ShortBasis basis = MakeShortBasis(points, m_codePage);
    ShortName chosen = basis.name;
    bool taken = ShortNameTaken(folder, chosen, except);
    if (basis.exact && !taken) {
        *entries = MakeNameEntries(std::u16string(), chosen);
        return true;
    }
    if (basis.needsTail || taken) {
        unsigned n = 1;
        for (; n <= kMaxNumericTail; ++n) {
            chosen = WithNumericTail(basis.name, n);
            if (!ShortNameTaken(folder, chosen, except)) break;
        }
        if (n > kMaxNumericTail) return Fail(name, "no short name is left for it");
    }
    *entries = MakeNameEntries(ToUtf16(points), chosen);
    return true;
}

bool Volume::GrowFolder(Folder& folder, size_t slots) {
    if (folder.key == 0) return Fail("the root folder is full");
    size_t perCluster = m_layout.clusterBytes / kEntryBytes;
    size_t count = (slots + perCluster - 1) / perCluster;
    if ((folder.clusters.size() + count) * m_layout.clusterBytes > kMaxFolderBytes)
        return Fail("the folder is full");
    std::vector<uint32_t> added;
    if (!FindFree(count, &added)) return false;
    Link(folder.clusters, added);
    folder.clusters.insert(folder.clusters.end(), added.begin(), added.end());
    folder.bytes.resize(folder.clusters.size() * m_layout.clusterBytes, 0);
    folder.dirtyParts.resize(folder.clusters.size(), true);
    folder.dirty = true;
    m_folderBytes += count * m_layout.clusterBytes;
    return true;
}

// Puts `entries` in the first run of free slots long enough, growing the folder when
// there is none; the end mark follows them when they take its place.
bool Volume::InsertEntries(Folder& folder, const std::vector<uint8_t>& entries) {
    size_t count = entries.size() / kEntryBytes;
    size_t start = 0, run = 0;
    for (size_t slot = 0; slot < folder.SlotCount() && run < count; ++slot) {
        bool free = slot >= folder.endSlot || folder.Slot(slot)[0] == kDeletedMark;
        if (!free) {
            run = 0;
        } else if (run++ == 0) {
            start = slot;
        }
    }
    if (run == 0) start = folder.SlotCount();
    if (run < count && !GrowFolder(folder, count - run)) return false;
    memcpy(folder.Slot(start), entries.data(), entries.size());
    size_t after = start + count;
    bool markEnd = after > folder.endSlot && after < folder.SlotCount();
    if (markEnd) memset(folder.Slot(after), 0, kEntryBytes);
    MarkDirty(folder, start, count + (markEnd ? 1 : 0));
    Parse(folder);
    return true;
}

bool Volume::Create(const std::string& path) {
    std::vector<std::string> parts;
    FolderPtr folder;
    if (!PrepareChange() || !SplitPath(path, &parts)) return false;
    if (parts.empty()) return Fail(path, "no name to create");
    const std::string& name = parts.back();
    std::string why;
    if (!CheckLongName(name, &why)) return Fail(path, why);
    if (!FindFolder(parts, parts.size() - 1, &folder) || !CheckWritable(*folder, path))
        return false;
    size_t existing;
    if (Lookup(*folder, name, &existing)) return Fail(path, "the name exists");
    std::vector<uint8_t> entries;
    if (!MakeEntriesFor(*folder, name, SIZE_MAX, &entries)) return false;
    uint8_t* entry = &entries[entries.size() - kEntryBytes];
    entry[11] = kAttributeArchive;
    Touch(entry);
    memcpy(entry + 14, entry + 22, 2);
    memcpy(entry + 16, entry + 24, 2);
    return InsertEntries(*folder, entries);
}

bool Volume::Rename(const std::string& from, const std::string& to) {
    Found source;
    std::vector<std::string> parts;
    FolderPtr target;
    if (!PrepareChange() || !Find(from, &source) || !CheckWritable(*source.folder, from) ||
        !SplitPath(to, &parts)) {
        return false;
    }
    if (parts.empty()) return Fail(to, "no name to rename to");
    const std::string& name = parts.back();
    std::string why;
    if (!CheckLongName(name, &why)) return Fail(to, why);
    if (!FindFolder(parts, parts.size() - 1, &target) || !CheckWritable(*target, to)) return false;
    bool sameFolder = target == source.folder;
    const Record record = source.folder->records[source.record];
    if (!sameFolder && record.IsDirectory())
        return Fail(from, "a folder is renamed only within its own folder");
    size_t existing;
    if (Lookup(*target, name, &existing) && !(sameFolder && existing == source.record))
        return Fail(to, "the name exists");
    if (sameFolder && name == record.name) return true;
    std::vector<uint8_t> entries;
    if (!MakeEntriesFor(*target, name, sameFolder ? source.record : SIZE_MAX, &entries))
        return false;
    // Everything but the name stays as it was.
    uint8_t* entry = &entries[entries.size() - kEntryBytes];
    memcpy(entry + 11, source.folder->Slot(record.shortSlot) + 11, kEntryBytes - 11);
    entry[12] &= uint8_t(~kLowerCaseBits);

    Folder& folder = *source.folder;
    std::vector<uint8_t> before;
    if (sameFolder) {
        // The old entries' slots may take the new ones.
        before = folder.bytes;
        MarkDeleted(folder, record);
    }
    if (!InsertEntries(*target, entries)) {
        if (sameFolder) {
            folder.bytes.swap(before);
            Parse(folder);
        }
        return false;
    }
    if (!sameFolder) MarkDeleted(folder, record);
    MarkDirty(folder, record.firstSlot, record.shortSlot - record.firstSlot + 1);
    Parse(folder);
    return true;
}

bool Volume::GetAttributes(const std::string& path, uint8_t* attributes) {
    Entry entry;
    if (!Stat(path, &entry)) return false;
    *attributes = entry.attributes;
    return true;
}

bool Volume::SetAttributes(const std::string& path, uint8_t attributes) {
    Found found;
    if (!PrepareChange() || !Find(path, &found) || !CheckWritable(*found.folder, path))
        return false;
    Folder& folder = *found.folder;
    size_t slot = folder.records[found.record].shortSlot;
    uint8_t* entry = folder.Slot(slot);
    entry[11] =
        uint8_t((entry[11] & ~kChangeableAttributes) | (attributes & kChangeableAttributes));
    MarkDirty(folder, slot, 1);
    Parse(folder);
    return true;
}

bool Volume::WriteFolder(Folder& folder) {
    for (size_t part = 0; part < folder.dirtyParts.size(); ++part) {
        if (!folder.dirtyParts[part]) continue;
        bool written =
            folder.key == 0
                ? m_device.Write(m_layout.rootOffset, folder.bytes.data(), folder.bytes.size())
                : m_device.Write(m_layout.ClusterOffset(folder.clusters[part]),
                                 folder.Slot(part * m_layout.clusterBytes / kEntryBytes),
                                 m_layout.clusterBytes);
        if (!written) return Fail("cannot write a folder");
        folder.dirtyParts[part] = false;
    }
    folder.dirty = false;
    return true;
}

// FAT32 keeps the count of free clusters and where the last one given out lies.
bool Volume::WriteFsInfo() {
    if (m_layout.type != 32 || m_layout.fsInfoSector == 0) return true;
    std::vector<uint8_t> sector(m_layout.sectorBytes);
    uint64_t at = uint64_t(m_layout.fsInfoSector) * m_layout.sectorBytes;
    if (!m_device.Read(at, sector.data(), sector.size()))
        return Fail("cannot read the FSInfo sector");
    if (GetLe32(&sector[0]) != kFsInfoLead || GetLe32(&sector[484]) != kFsInfoMiddle ||
        GetLe32(&sector[508]) != kFsInfoTrail) {
        return true;  // none to keep up to date
    }
    uint32_t free = m_table.FreeCount();
    if (m_table.Failed()) return Fail("cannot read the FAT");
    SetLe32(&sector[488], free);
    if (m_lastAllocated != 0) SetLe32(&sector[492], m_lastAllocated);
    if (!m_device.Write(at, sector.data(), sector.size()))
        return Fail("cannot write the FSInfo sector");
    return true;
}

bool Volume::Flush() {
    if (m_readOnly) return true;
    if (!m_table.Flush(&m_error)) return false;
    for (auto& cached : m_folders) {
        if (cached.second->dirty && !WriteFolder(*cached.second)) return false;
    }
    if (m_fatChanged && !WriteFsInfo()) return false;
    m_fatChanged = false;
    if (!m_device.Flush()) return Fail("cannot flush the device");
    return true;
}

}  // namespace fat
