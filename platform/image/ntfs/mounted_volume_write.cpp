#include <cerrno>
#include <cstring>

#include "platform/image/ntfs/mounted_volume.h"
#include "platform/image/ntfs/short_names.h"
#include "platform/image/ntfs/text.h"

namespace ntfs {

namespace {

const uint32_t kDosAttributes =
    image::kReadOnly | image::kHidden | image::kSystem | image::kArchive;

std::u16string UpperAscii(std::u16string name) {
    for (char16_t& c : name)
        if (c >= u'a' && c <= u'z') c = char16_t(c - u'a' + u'A');
    return name;
}

// The names Win32 keeps for devices, with or without an extension.
bool IsDeviceName(const std::u16string& name) {
    std::u16string base = UpperAscii(name.substr(0, name.find(u'.')));
    while (!base.empty() && base.back() == u' ') base.pop_back();
    if (base == u"CON" || base == u"PRN" || base == u"AUX" || base == u"NUL") return true;
    bool numbered = base.size() == 4 && base[3] >= u'1' && base[3] <= u'9';
    return numbered && (base.substr(0, 3) == u"COM" || base.substr(0, 3) == u"LPT");
}

// What libntfs-3g's security calls take: no user mapping, as Windows would have it
// (owners stay as Windows set them).
class SecurityContext {
  public:
    explicit SecurityContext(ntfs_volume* volume) {
        memset(&m_context, 0, sizeof(m_context));
        m_context.vol = volume;
        m_context.pseccache = &m_cache;
    }
    ~SecurityContext() { ntfs_destroy_security_context(&m_context); }
    SECURITY_CONTEXT* Get() { return &m_context; }

  private:
    SECURITY_CONTEXT m_context;
    struct PERMISSIONS_CACHE* m_cache = nullptr;
};

}  // namespace

bool MountedVolume::CheckWritable() {
    if (!m_volume) return Fail("the volume is no longer mounted");
    if (m_readOnly && !m_readOnlyReason.empty())
        return Fail("the volume is read-only: " + m_readOnlyReason);
    if (m_readOnly) return Fail("the volume is open read-only");
    CloseReading();
    m_changed = true;
    return true;
}

bool MountedVolume::CheckNewName(const std::u16string& name, const std::string& path) {
    if (name.size() > NTFS_MAX_NAME_LEN) return Fail(path, "the name is too long");
    for (char16_t c : name)
        if (c < 0x20 || std::u16string(u"\"*/:<>?\\|").find(c) != std::u16string::npos)
            return Fail(path, "the name holds a character Windows does not allow");
    if (name.back() == u' ' || name.back() == u'.' || IsDeviceName(name))
        return Fail(path, "Windows cannot use this name");
    return true;
}

// Whether no name in `folder` but those of the file `except` is `name`.
bool MountedVolume::CheckFree(uint64_t folder, const std::u16string& name, uint64_t except,
                              const std::string& path) {
    Name found;
    switch (Lookup(folder, name, &found)) {
        case LookupResult::kFailed:
            return FailLibrary(path, "cannot look the name up");
        case LookupResult::kFound:
            if (found.file != except) return Fail(path, "the name is taken");
            break;
        case LookupResult::kMissing:
            break;
    }
    return true;
}

bool MountedVolume::FreeShortName(uint64_t folder, const std::u16string& longName,
                                  std::u16string* shortName) {
    for (unsigned attempt = 1;; ++attempt) {
        *shortName = ShortNameCandidate(longName, attempt);
        if (shortName->empty()) return Fail("no short name is left for " + Utf16ToUtf8(longName));
        Name found;
        switch (Lookup(folder, *shortName, &found)) {
            case LookupResult::kFailed:
                return FailLibrary(Utf16ToUtf8(longName), "cannot look a short name up");
            case LookupResult::kMissing:
                return true;
            case LookupResult::kFound:
                break;
        }
    }
}

// libntfs-3g closes both inodes it is given here, whatever comes of it.
bool MountedVolume::GiveShortName(uint64_t folder, uint64_t file, const std::u16string& shortName,
                                  const std::string& path) {
    Inode parent = OpenInode(folder, path);
    Inode inode = parent ? OpenInode(file, path) : nullptr;
    if (!inode) return false;
    std::string text = Utf16ToUtf8(shortName);
    ForgetFolder(folder);
    if (ntfs_set_ntfs_dos_name(inode.release(), parent.release(), text.data(), text.size(), 0) != 0)
        return FailLibrary(path, "cannot give it the short name " + text);
    return true;
}

bool MountedVolume::TakeShortNameAway(uint64_t folder, uint64_t file, const std::string& path) {
    Inode parent = OpenInode(folder, path);
    Inode inode = parent ? OpenInode(file, path) : nullptr;
    if (!inode) return false;
    ForgetFolder(folder);
    if (ntfs_remove_ntfs_dos_name(inode.release(), parent.release()) != 0)
        return FailLibrary(path, "cannot take its short name away");
    return true;
}

// A name that fits 8.3 serves as its own short name; another gets one made up.
bool MountedVolume::GiveNewNameShortName(uint64_t folder, uint64_t file, const std::u16string& name,
                                         const std::string& path) {
    std::u16string shortName = UpperAscii(name);
    if (!FitsShortName(name) && !FreeShortName(folder, name, &shortName)) return false;
    return GiveShortName(folder, file, shortName, path);
}

bool MountedVolume::CloseChanged(Inode* inode, const std::string& path) {
    ntfs_inode* closing = inode->release();
    if (closing && ntfs_inode_close(closing) != 0)
        return FailLibrary(path, "cannot write its file record");
    return true;
}

// The security descriptor Windows would give a new file in `folder`: what the folder
// hands down. 0 (libntfs-3g then makes one that lets everyone in) where there is none.
le32 MountedVolume::InheritedSecurity(ntfs_inode* folder) {
    SecurityContext context(m_volume);
    return ntfs_inherited_id(context.Get(), folder, FALSE);
}

bool MountedVolume::Create(const std::string& path) {
    uint64_t folder;
    std::u16string name;
    if (!CheckWritable() || !FindParent(path, &folder, &name) || !CheckNewName(name, path) ||
        !CheckFree(folder, name, 0, path))
        return false;
    Inode parent = OpenInode(folder, path);
    if (!parent) return false;
    std::vector<ntfschar> text = ToNtfs(name);
    ForgetFolder(folder);
    Inode inode(ntfs_create(parent.get(), InheritedSecurity(parent.get()), text.data(),
                            u8(text.size()), S_IFREG));
    if (!inode) return FailLibrary(path, "cannot create it");
    uint64_t file = inode->mft_no;
    if (!CloseChanged(&inode, path) || !CloseChanged(&parent, path)) return false;
    return GiveNewNameShortName(folder, file, name, path);
}

bool MountedVolume::OpenFile(const std::string& path, Found* found, Inode* inode) {
    if (!Find(path, found)) return false;
    *inode = OpenInode(found->file, path);
    if (!*inode) return false;
    if ((*inode)->mrec->flags & MFT_RECORD_IS_DIRECTORY) return Fail(path, "a folder");
    return true;
}

// Windows marks a file changed since its last backup (archive) and dates the change.
bool MountedVolume::ChangeData(const std::string& path, uint64_t offset, const void* data,
                               size_t count, bool truncating) {
    Found found;
    Inode inode;
    if (!CheckWritable() || !OpenFile(path, &found, &inode)) return false;
    Attribute content(ntfs_attr_open(inode.get(), AT_DATA, AT_UNNAMED, 0));
    if (!content) return FailLibrary(path, "cannot open its data");
    if (truncating && ntfs_attr_truncate(content.get(), s64(offset)) != 0)
        return FailLibrary(path, "cannot change its length");
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    for (size_t done = 0; !truncating && done < count;) {
        s64 written =
            ntfs_attr_pwrite(content.get(), s64(offset + done), s64(count - done), bytes + done);
        if (written <= 0) return FailLibrary(path, "cannot write its data");
        done += size_t(written);
    }
    content.reset();
    inode->flags = FILE_ATTR_FLAGS(inode->flags | FILE_ATTR_ARCHIVE);
    ntfs_inode_update_times(inode.get(), ntfs_time_update_flags(NTFS_UPDATE_MCTIME));
    NInoFileNameSetDirty(inode.get());
    ntfs_inode_mark_dirty(inode.get());
    return CloseChanged(&inode, path);
}

bool MountedVolume::Write(const std::string& path, uint64_t offset, const void* data,
                          size_t count) {
    return ChangeData(path, offset, data, count, false);
}

bool MountedVolume::Truncate(const std::string& path, uint64_t length) {
    return ChangeData(path, length, nullptr, 0, true);
}

bool MountedVolume::Link(uint64_t file, uint64_t folder, const std::u16string& name,
                         const std::string& path) {
    Inode parent = OpenInode(folder, path);
    Inode inode = parent ? OpenInode(file, path) : nullptr;
    if (!inode) return false;
    std::vector<ntfschar> text = ToNtfs(name);
    ForgetFolder(folder);
    if (ntfs_link(inode.get(), parent.get(), text.data(), u8(text.size())) != 0)
        return FailLibrary(path, "cannot give it the name");
    return CloseChanged(&inode, path) && CloseChanged(&parent, path);
}

// Takes a long name away, with the short name paired with it; the file goes with its
// last name. libntfs-3g closes both inodes.
bool MountedVolume::Unlink(uint64_t file, uint64_t folder, const std::u16string& name,
                           const std::string& path) {
    Inode parent = OpenInode(folder, path);
    Inode inode = parent ? OpenInode(file, path) : nullptr;
    if (!inode) return false;
    std::vector<ntfschar> text = ToNtfs(name);
    ForgetFolder(folder);
    if (ntfs_delete(m_volume, nullptr, inode.release(), parent.release(), text.data(),
                    u8(text.size())) != 0)
        return FailLibrary(path, "cannot take the name away");
    return true;
}

bool MountedVolume::Remove(const std::string& path) {
    Found found;
    Inode inode;
    Name longName, shortName;
    if (!CheckWritable() || !OpenFile(path, &found, &inode)) return false;
    if (!NamesFound(inode.get(), found, &longName, &shortName))
        return Fail(path, "its file record holds no name in its folder");
    inode.reset();
    return Unlink(found.file, found.folder, longName.text, path);
}

// The new name is added before the old one goes, so that the file (its record, security
// and attributes) is never without a name. It gets a short name if the old name had one.
bool MountedVolume::Rename(const std::string& from, const std::string& to) {
    Found source;
    Inode inode;
    Name oldName, oldShortName;
    uint64_t folder;
    std::u16string name;
    if (!CheckWritable() || !Find(from, &source)) return false;
    if (source.file == FILE_root) return Fail(from, "the root folder cannot be renamed");
    inode = OpenInode(source.file, from);
    if (!inode) return false;
    if (!NamesFound(inode.get(), source, &oldName, &oldShortName))
        return Fail(from, "its file record holds no name in its folder");
    inode.reset();
    if (!FindParent(to, &folder, &name) || !CheckNewName(name, to)) return false;
    bool sameFolder = folder == source.folder;
    if (sameFolder && name == oldName.text) return true;
    bool caseOnly = sameFolder && Upper(name) == Upper(oldName.text);
    if (!CheckFree(folder, name, caseOnly ? source.file : 0, to) ||
        !Link(source.file, folder, name, to) ||
        !Unlink(source.file, source.folder, oldName.text, from))
        return false;
    return oldShortName.text.empty() || GiveNewNameShortName(folder, source.file, name, to);
}

bool MountedVolume::SetAttributes(const std::string& path, uint32_t attributes) {
    Found found;
    if (!CheckWritable() || !Find(path, &found)) return false;
    Inode inode = OpenInode(found.file, path);
    if (!inode) return false;
    uint32_t value = (le32_to_cpu(inode->flags) & ~kDosAttributes) | (attributes & kDosAttributes);
    if (ntfs_set_ntfs_attrib(inode.get(), reinterpret_cast<const char*>(&value), sizeof(value),
                             0) != 0)
        return FailLibrary(path, "cannot set its attributes");
    return CloseChanged(&inode, path);
}

bool MountedVolume::SetShortName(const std::string& path, const std::string& shortName) {
    Found found;
    Name longName, oldShortName;
    std::u16string wanted;
    if (!CheckWritable() || !Find(path, &found)) return false;
    if (found.file == FILE_root) return Fail(path, "the root folder has no name");
    if (!Utf8ToUtf16(shortName, &wanted)) return Fail(path, "the short name is not UTF-8");
    wanted = UpperAscii(wanted);
    if (!wanted.empty() && !IsShortName(wanted)) return Fail(path, "not an 8.3 name: " + shortName);
    Inode inode = OpenInode(found.file, path);
    if (!inode) return false;
    if (!NamesFound(inode.get(), found, &longName, &oldShortName))
        return Fail(path, "its file record holds no name in its folder");
    inode.reset();
    if (wanted.empty())
        return oldShortName.text.empty() || TakeShortNameAway(found.folder, found.file, path);
    if (oldShortName.text == wanted) return true;
    return CheckFree(found.folder, wanted, found.file, path) &&
           GiveShortName(found.folder, found.file, wanted, path);
}

bool MountedVolume::GetSecurity(const std::string& path, std::vector<uint8_t>* descriptor) {
    Found found;
    if (!Find(path, &found)) return false;
    Inode inode = OpenInode(found.file, path);
    if (!inode) return false;
    SecurityContext context(m_volume);
    int size = ntfs_get_ntfs_acl(context.Get(), inode.get(), nullptr, 0);
    if (size <= 0) return FailLibrary(path, "cannot read its security descriptor");
    descriptor->resize(size_t(size));
    char* bytes = reinterpret_cast<char*>(descriptor->data());
    if (ntfs_get_ntfs_acl(context.Get(), inode.get(), bytes, descriptor->size()) != size)
        return FailLibrary(path, "cannot read its security descriptor");
    return true;
}

bool MountedVolume::SetSecurity(const std::string& path, const std::vector<uint8_t>& descriptor) {
    Found found;
    if (!CheckWritable() || !Find(path, &found)) return false;
    Inode inode = OpenInode(found.file, path);
    if (!inode) return false;
    SecurityContext context(m_volume);
    const char* bytes = reinterpret_cast<const char*>(descriptor.data());
    if (ntfs_set_ntfs_acl(context.Get(), inode.get(), bytes, descriptor.size(), 0) != 0)
        return FailLibrary(path, "cannot set its security descriptor (is it a valid one?)");
    return CloseChanged(&inode, path);
}

// libntfs-3g holds some metadata in memory ($MFT's own record, $Secure's indexes) until
// the volume is unmounted: the volume is unmounted and mounted again.
bool MountedVolume::Flush() {
    if (!m_volume) return Fail("the volume is no longer mounted");
    if (m_readOnly) return true;
    if (!m_changed) return m_device.Flush() || Fail("cannot flush the device");
    bool unmounted = Unmount();
    std::string unmountError = unmounted ? "" : DescribeError(errno);
    std::string error;
    bool mounted = MountDevice(NTFS_MNT_NONE, &error);
    if (!unmounted) return Fail("cannot write the volume's metadata: " + unmountError);
    if (!mounted) return Fail(error);
    m_changed = false;
    return true;
}

}  // namespace ntfs
