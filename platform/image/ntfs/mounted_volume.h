// The NTFS volume as libntfs-3g mounts it (see volume.h). Reading is in
// mounted_volume.cpp, changes in mounted_volume_write.cpp.
#pragma once

#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/image/ntfs/device.h"
#include "platform/image/ntfs/libntfs.h"
#include "platform/image/ntfs/volume.h"

namespace ntfs {

struct InodeCloser {
    void operator()(ntfs_inode* inode) const { ntfs_inode_close(inode); }
};
struct AttributeCloser {
    void operator()(ntfs_attr* attribute) const { ntfs_attr_close(attribute); }
};
typedef std::unique_ptr<ntfs_inode, InodeCloser> Inode;
typedef std::unique_ptr<ntfs_attr, AttributeCloser> Attribute;

// One name of a file in a folder, as its folder's index holds it.
struct Name {
    std::u16string text;
    int type;  // FILE_NAME_POSIX, _WIN32, _DOS or _WIN32_AND_DOS
    uint64_t file;
    unsigned fileType;  // NTFS_DT_DIR, NTFS_DT_REG, ...
};

enum class LookupResult { kFound, kMissing, kFailed };

std::vector<ntfschar> ToNtfs(const std::u16string& name);
// strerror's text, with what libntfs-3g last reported.
std::string DescribeError(int error);

// What a path names: the file and the folder it lies in, and the name that matched.
struct Found {
    uint64_t folder = 0;
    uint64_t file = 0;
    std::u16string name;
};

class MountedVolume final : public Volume {
  public:
    MountedVolume(BlockDevice& device, bool readOnly);
    ~MountedVolume() override;

    // Mounts the volume, read-only first to see whether Windows left it fit to write.
    bool Mount(bool readOnly, std::string* error);

    std::string Kind() const override { return "NTFS"; }
    bool IsReadOnly() const override { return m_readOnly; }
    const std::string& ReadOnlyReason() const override { return m_readOnlyReason; }
    const std::string& LastError() const override { return m_error; }

    bool List(const std::string& folder, std::vector<image::Entry>* entries) override;
    bool Stat(const std::string& path, image::Entry* entry) override;
    bool Read(const std::string& path, uint64_t offset, void* buffer, size_t count,
              size_t* got) override;

    bool Create(const std::string& path) override;
    bool Write(const std::string& path, uint64_t offset, const void* data, size_t count) override;
    bool Truncate(const std::string& path, uint64_t length) override;
    bool Remove(const std::string& path) override;
    bool Rename(const std::string& from, const std::string& to) override;
    bool SetAttributes(const std::string& path, uint32_t attributes) override;
    bool Flush() override;

    bool SetShortName(const std::string& path, const std::string& shortName) override;
    bool GetSecurity(const std::string& path, std::vector<uint8_t>* descriptor) override;
    bool SetSecurity(const std::string& path, const std::vector<uint8_t>& descriptor) override;

  private:
    // The names of a folder, by their upper-case form, for folders listed lately.
    struct Folder {
        std::unordered_map<std::u16string, Name> byName;
        std::list<uint64_t>::iterator recent;
    };

    bool Fail(const std::string& why);
    bool Fail(const std::string& path, const std::string& why);
    bool FailLibrary(const std::string& path, const std::string& what);

    // Mounting.
    bool CheckBootSector(std::string* error);
    bool MountDevice(unsigned long flags, std::string* error);
    bool Unmount();
    std::string StateForbiddingWrites();
    bool IsHibernated();
    bool IsLogFileClean();

    // Names and paths.
    std::u16string Upper(const std::u16string& name) const;
    bool SplitPath(const std::string& path, std::vector<std::u16string>* parts);
    bool ReadFolder(uint64_t folder, const std::string& path, std::vector<Name>* names);
    const Folder* CachedFolder(uint64_t folder);
    void KeepFolder(uint64_t folder, const std::vector<Name>& names);
    void ForgetFolder(uint64_t folder);
    LookupResult Lookup(uint64_t folder, const std::u16string& name, Name* found);
    bool IsFolder(const Name& name);
    bool Walk(const std::string& path, const std::vector<std::u16string>& parts, size_t count,
              uint64_t* folder);
    bool Find(const std::string& path, Found* found);
    bool FindParent(const std::string& path, uint64_t* folder, std::u16string* name);
    bool NamesOf(ntfs_inode* inode, uint64_t folder, std::vector<Name>* names);
    bool NamesFound(ntfs_inode* inode, const Found& found, Name* longName, Name* shortName);

    // Reading.
    Inode OpenInode(uint64_t file, const std::string& path);
    ntfs_inode* ReadingInode(uint64_t file, const std::string& path);
    void CloseReading();
    void FillEntry(ntfs_inode* inode, image::Entry* entry) const;
    bool CheckReadable(ntfs_inode* inode, const std::string& path);

    // Writing.
    bool CheckWritable();
    bool CheckNewName(const std::u16string& name, const std::string& path);
    bool CheckFree(uint64_t folder, const std::u16string& name, uint64_t except,
                   const std::string& path);
    bool FreeShortName(uint64_t folder, const std::u16string& longName, std::u16string* shortName);
    bool GiveShortName(uint64_t folder, uint64_t file, const std::u16string& shortName,
                       const std::string& path);
    bool TakeShortNameAway(uint64_t folder, uint64_t file, const std::string& path);
    bool GiveNewNameShortName(uint64_t folder, uint64_t file, const std::u16string& name,
                              const std::string& path);
    bool CloseChanged(Inode* inode, const std::string& path);
    bool OpenFile(const std::string& path, Found* found, Inode* inode);
    bool ChangeData(const std::string& path, uint64_t offset, const void* data, size_t count,
                    bool truncating);
    bool Link(uint64_t file, uint64_t folder, const std::u16string& name, const std::string& path);
    bool Unlink(uint64_t file, uint64_t folder, const std::u16string& name,
                const std::string& path);
    le32 InheritedSecurity(ntfs_inode* folder);

    Device m_device;
    ntfs_volume* m_volume = nullptr;
    bool m_readOnly;
    bool m_changed = false;
    std::string m_readOnlyReason;
    std::string m_error;

    std::unordered_map<uint64_t, Folder> m_folders;
    std::list<uint64_t> m_recentFolders;  // most recently used first
    size_t m_cachedNames = 0;

    // The file read last, kept open while only reading goes on.
    uint64_t m_readingFile = 0;
    Inode m_readingInode;
    Attribute m_readingData;
};

}  // namespace ntfs
