// A FAT12, FAT16 or FAT32 volume with long names, read and written in-process over a
// block device. Paths are "/"-separated from the root and name each folder and file by
// its long or its short name, whatever the case. Changes to the FAT and to folders stay in memory
// until Flush; the contents of files are written at once. Not thread-safe.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/image/fat/layout.h"
#include "platform/image/fat/names.h"
#include "platform/image/fat/table.h"

class BlockDevice;

namespace fat {

struct Folder;
struct Record;

struct Entry {
    std::string name;       // the long name in UTF-8, else the short name
    std::string shortName;  // "NOTEPAD.EXE"
    bool isDirectory;
    uint64_t size;
    uint8_t attributes;  // read-only 0x01, hidden 0x02, system 0x04, folder 0x10, archive 0x20
    uint32_t firstCluster;
    // Where its short entry lies (its folder's first cluster, 0 for a FAT12 or FAT16 root,
    // above the entry's index): two names of one file have the same.
    uint64_t id;
    uint16_t createTime, createDate, writeTime, writeDate;  // as stored
};

class Volume {
  public:
    struct Options {
        int codePage = 437;  // of short names: 437 or 850
        size_t fatCacheBytes = size_t(64) << 20;
        size_t folderCacheBytes = size_t(32) << 20;
    };

    // The volume at the start of `device`: null, with `error` saying why, for anything
    // that is not a FAT volume or is too broken to use. Read-only when the device is.
    static std::unique_ptr<Volume> Open(BlockDevice& device, std::string* error);
    static std::unique_ptr<Volume> Open(BlockDevice& device, const Options& options,
                                        std::string* error);
    ~Volume();

    int Type() const { return m_layout.type; }
    bool IsReadOnly() const { return m_readOnly; }
    uint32_t ClusterBytes() const { return m_layout.clusterBytes; }
    uint32_t ClusterCount() const { return m_layout.clusterCount; }
    // Counted through the whole FAT the first time.
    uint32_t FreeClusters() { return m_table.FreeCount(); }
    // Why the last call that failed did.
    const std::string& LastError() const { return m_error; }

    bool List(const std::string& folder, std::vector<Entry>* entries, std::string* error);
    bool Stat(const std::string& path, Entry* entry);
    // Reads up to `count` bytes from `offset`; `*got` is less at the end of the file.
    bool Read(const std::string& path, uint64_t offset, void* buffer, size_t count, size_t* got);

    // A new empty file; fails when the name is taken.
    bool Create(const std::string& path);
    // Writes `count` bytes at `offset`, making the file longer (with zeros up to `offset`).
    bool Write(const std::string& path, uint64_t offset, const void* data, size_t count);
    bool Truncate(const std::string& path, uint64_t length);
    // A file, not a folder.
    bool Remove(const std::string& path);
    // A file or folder to a new name in its folder, or a file to another folder; never
    // over another name. It keeps its clusters, size, attributes and times.
    bool Rename(const std::string& from, const std::string& to);
    bool GetAttributes(const std::string& path, uint8_t* attributes);
    // Read-only, hidden, system and archive (0x27) are set from `attributes`.
    bool SetAttributes(const std::string& path, uint8_t attributes);
    // Writes every change to the device: the FAT to each copy, the folders, FAT32's
    // free count; then flushes the device.
    bool Flush();

  private:
    typedef std::shared_ptr<Folder> FolderPtr;
    struct Found {
        FolderPtr folder;
        size_t record;
    };

    Volume(BlockDevice& device, const Layout& layout, const Options& options);
    bool Fail(const std::string& why);
    bool Fail(const std::string& path, const std::string& why);

    // Reading.
    bool Chain(uint32_t first, uint32_t limit, std::vector<uint32_t>* clusters);
    bool ChainLength(uint32_t first, uint64_t* length);
    bool FileChain(const Record& record, bool exact, std::vector<uint32_t>* clusters);
    bool LoadFolder(uint32_t key, FolderPtr* folder);
    void Parse(Folder& folder);
    void KeepCacheSmall();
    bool Lookup(Folder& folder, const std::string& name, size_t* record);
    bool SplitPath(const std::string& path, std::vector<std::string>* parts);
    bool FindFolder(const std::vector<std::string>& parts, size_t count, FolderPtr* folder);
    bool Find(const std::string& path, Found* found);
    Entry MakeEntry(const Folder& folder, const Record& record) const;
    bool TransferData(const std::vector<uint32_t>& clusters, uint64_t offset, uint8_t* bytes,
                      size_t count, bool writing);

    // Writing.
    bool PrepareChange();
    void MarkOwnedChain(uint32_t first);
    bool CheckWritable(const Folder& folder, const std::string& path);
    bool CheckNotShared(const std::vector<uint32_t>& clusters, const std::string& path);
    bool FindFree(size_t count, std::vector<uint32_t>* clusters);
    void Link(const std::vector<uint32_t>& chain, const std::vector<uint32_t>& added);
    void FreeClusters(const std::vector<uint32_t>& clusters);
    bool FindFile(const std::string& path, Found* found, std::vector<uint32_t>* chain);
    bool Resize(const Found& found, std::vector<uint32_t> chain, uint64_t offset,
                const uint8_t* data, size_t count, uint64_t newSize);
    bool WriteZeros(const std::vector<uint32_t>& clusters, uint64_t from, uint64_t to);
    bool ShortNameTaken(Folder& folder, const ShortName& name, size_t except);
    bool MakeEntriesFor(Folder& folder, const std::string& name, size_t except,
                        std::vector<uint8_t>* entries);
    bool InsertEntries(Folder& folder, const std::vector<uint8_t>& entries);
    bool GrowFolder(Folder& folder, size_t slots);
    void MarkDirty(Folder& folder, size_t firstSlot, size_t slotCount);
    void MarkDeleted(Folder& folder, const Record& record);
    void Touch(uint8_t* entry);
    bool WriteFolder(Folder& folder);
    bool WriteFsInfo();

    BlockDevice& m_device;
    Layout m_layout;
    CodePage m_codePage;
    Table m_table;
    bool m_readOnly;
    size_t m_folderCacheBytes;
    uint32_t m_rootKey;
    std::string m_error;

    std::unordered_map<uint32_t, FolderPtr> m_folders;
    size_t m_folderBytes = 0;
    uint64_t m_useCount = 0;
    // The chain of the file read last, by its first cluster.
    uint32_t m_chainFirst = 0;
    uint64_t m_chainSize = 0;
    std::vector<uint32_t> m_chain;

    // Built before the first change: which clusters some chain holds, and where two
    // chains (or a folder and its own ancestor) meet.
    bool m_ownersKnown = false;
    std::vector<bool> m_owned;
    std::unordered_set<uint32_t> m_shared;
    uint32_t m_nextFree = 2;
    uint32_t m_lastAllocated = 0;
    bool m_fatChanged = false;
};

}  // namespace fat
