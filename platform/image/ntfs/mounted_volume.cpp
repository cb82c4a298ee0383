#include "platform/image/ntfs/mounted_volume.h"

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <mutex>

extern "C" {
#include <ntfs-3g/bootsect.h>
}

#include "platform/image/block_device.h"
#include "platform/image/ntfs/text.h"

namespace ntfs {

namespace {

const uint64_t kRoot = FILE_root;
const size_t kBootSectorBytes = 512;
// About 20 MB of names: the folders a scan goes through, many times over.
const size_t kMaxCachedNames = 200000;
const uint32_t kDosAttributes =
    image::kReadOnly | image::kHidden | image::kSystem | image::kArchive;

// What libntfs-3g last reported as an error, to tell why a call failed.
thread_local std::string g_libraryMessage;

__attribute__((format(printf, 6, 0))) int KeepLibraryMessage(const char*, const char*, int,
                                                             u32 level, void*, const char* format,
                                                             va_list args) {
    const u32 kErrors = NTFS_LOG_LEVEL_ERROR | NTFS_LOG_LEVEL_PERROR | NTFS_LOG_LEVEL_CRITICAL;
    if (!(level & kErrors)) return 0;
    int error = errno;
    char text[512];
    vsnprintf(text, sizeof(text), format, args);
    g_libraryMessage = text;
    while (!g_libraryMessage.empty() && g_libraryMessage.back() == '\n')
        g_libraryMessage.pop_back();
    if (level & NTFS_LOG_LEVEL_PERROR) g_libraryMessage += std::string(": ") + strerror(error);
    errno = error;
    return 0;
}

void KeepLibraryMessages() {
    static std::once_flag once;
    std::call_once(once, [] { ntfs_log_set_handler(KeepLibraryMessage); });
}

// `text` may lie unaligned, inside a packed record.
std::u16string FromNtfs(const void* text, size_t length) {
    std::u16string name(length, u'\0');
    for (size_t i = 0; i < length; ++i) {
        ntfschar unit;
        memcpy(&unit, static_cast<const uint8_t*>(text) + i * sizeof(unit), sizeof(unit));
        name[i] = char16_t(le16_to_cpu(unit));
    }
    return name;
}

struct Collected {
    std::vector<Name>* names;
};

int CollectName(void* context, const ntfschar* text, const int length, const int type, const s64,
                const MFT_REF file, const unsigned fileType) {
    std::u16string name = FromNtfs(text, size_t(length));
    if (name != u"." && name != u"..")
        static_cast<Collected*>(context)->names->push_back({name, type, MREF(file), fileType});
    return 0;
}

bool IsLongName(const Name& name) {
    return name.type != FILE_NAME_DOS;
}

}  // namespace

std::string DescribeError(int error) {
    std::string text = strerror(error);
    if (!g_libraryMessage.empty()) text += " (" + g_libraryMessage + ")";
    g_libraryMessage.clear();
    return text;
}

std::vector<ntfschar> ToNtfs(const std::u16string& name) {
    std::vector<ntfschar> text(name.size());
    for (size_t i = 0; i < name.size(); ++i) text[i] = cpu_to_le16(uint16_t(name[i]));
    return text;
}

MountedVolume::MountedVolume(BlockDevice& device, bool readOnly)
    : m_device(device, readOnly), m_readOnly(true) {}

MountedVolume::~MountedVolume() {
    Unmount();
}

bool MountedVolume::Fail(const std::string& why) {
    m_error = why;
    return false;
}

bool MountedVolume::Fail(const std::string& path, const std::string& why) {
    return Fail(path + ": " + why);
}

bool MountedVolume::FailLibrary(const std::string& path, const std::string& what) {
    return Fail(path, what + ": " + DescribeError(errno));
}

// Mounting.

bool MountedVolume::Mount(bool readOnly, std::string* error) {
    KeepLibraryMessages();
    g_libraryMessage.clear();
    if (!CheckBootSector(error) || !MountDevice(NTFS_MNT_RDONLY, error)) return false;
    m_readOnlyReason = StateForbiddingWrites();
    if (readOnly || m_device.IsReadOnly() || !m_readOnlyReason.empty()) return true;
    Unmount();
    if (!MountDevice(NTFS_MNT_NONE, error)) return false;
    m_readOnly = false;
    return true;
}

bool MountedVolume::CheckBootSector(std::string* error) {
    NTFS_BOOT_SECTOR boot;
    static_assert(sizeof(boot) <= kBootSectorBytes, "the boot sector fits its sector");
    if (m_device.Size() < kBootSectorBytes) {
        *error = "too small to hold an NTFS volume";
        return false;
    }
    if (!m_device.Read(0, &boot, sizeof(boot))) {
        *error = "cannot read the boot sector";
        return false;
    }
    if (!ntfs_boot_sector_is_ntfs(&boot)) {
        *error = "not an NTFS volume (no NTFS boot sector)";
        return false;
    }
    uint64_t needed =
        uint64_t(sle64_to_cpu(boot.number_of_sectors)) * le16_to_cpu(boot.bpb.bytes_per_sector);
    if (needed > m_device.Size()) {
        *error = "the volume is " + std::to_string(needed) + " bytes but its image holds only " +
                 std::to_string(m_device.Size()) + ": the image is cut short";
        return false;
    }
    return true;
}

bool MountedVolume::MountDevice(unsigned long flags, std::string* error) {
    ntfs_device* device = m_device.Allocate();
    if (!device) {
        *error = "cannot set up the device: " + DescribeError(errno);
        return false;
    }
    m_volume = ntfs_device_mount(device, flags);
    if (!m_volume) {
        *error = "cannot mount the volume: " + DescribeError(errno);
        ntfs_device_free(device);
        return false;
    }
    // Names match as on Windows, whatever their case.
    NVolClearCaseSensitive(m_volume);
    return true;
}

bool MountedVolume::Unmount() {
    CloseReading();
    if (!m_volume) return true;
    int result = ntfs_umount(m_volume, FALSE);
    m_volume = nullptr;
    return result == 0;
}

std::string MountedVolume::StateForbiddingWrites() {
    if (m_volume->flags & VOLUME_IS_DIRTY)
        return "Windows marked the volume dirty (it was not shut down cleanly, or asked for a "
               "check): run chkdsk in Windows first";
    if (IsHibernated())
        return "Windows is hibernated on this volume (or was shut down with Fast Startup): "
               "start Windows and shut it down fully first";
    if (!IsLogFileClean())
        return "Windows did not shut the volume down cleanly (its $LogFile holds changes not "
               "yet made): start Windows and shut it down, or run chkdsk, first";
    return "";
}

// hiberfil.sys begins "hibr" (in either case) while Windows is hibernated on it.
bool MountedVolume::IsHibernated() {
    Name found;
    if (Lookup(kRoot, u"hiberfil.sys", &found) != LookupResult::kFound) return false;
    Inode file(ntfs_inode_open(m_volume, found.file));
    Attribute data(file ? ntfs_attr_open(file.get(), AT_DATA, AT_UNNAMED, 0) : nullptr);
    char magic[4];
    if (!data || ntfs_attr_pread(data.get(), 0, sizeof(magic), magic) != sizeof(magic))
        return false;
    return strncasecmp(magic, "hibr", sizeof(magic)) == 0;
}

bool MountedVolume::IsLogFileClean() {
    Inode log(ntfs_inode_open(m_volume, FILE_LogFile));
    Attribute data(log ? ntfs_attr_open(log.get(), AT_DATA, AT_UNNAMED, 0) : nullptr);
    if (!data) return false;
    RESTART_PAGE_HEADER* restart = nullptr;
    bool clean =
        ntfs_check_logfile(data.get(), &restart) && ntfs_is_logfile_clean(data.get(), restart);
    free(restart);
    return clean;
}

// Names and paths.

std::u16string MountedVolume::Upper(const std::u16string& name) const {
    std::u16string upper(name);
    for (char16_t& c : upper)
        if (c < m_volume->upcase_len) c = char16_t(le16_to_cpu(m_volume->upcase[c]));
    return upper;
}

bool MountedVolume::SplitPath(const std::string& path, std::vector<std::u16string>* parts) {
    g_libraryMessage.clear();
    if (!m_volume) return Fail(path, "the volume is no longer mounted");
    parts->clear();
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        std::string part = path.substr(start, end - start);
        std::u16string name;
        if (part == "." || part == "..") return Fail(path, "the path is not plain");
        if (!Utf8ToUtf16(part, &name)) return Fail(path, "the path is not UTF-8");
        if (!name.empty()) parts->push_back(name);
        start = end + 1;
    }
    return true;
}

bool MountedVolume::ReadFolder(uint64_t folder, const std::string& path, std::vector<Name>* names) {
    Inode inode = OpenInode(folder, path);
    if (!inode) return false;
    names->clear();
    Collected collected = {names};
    s64 position = 0;
    if (ntfs_readdir(inode.get(), &position, &collected, CollectName) != 0)
        return FailLibrary(path, "cannot read the folder");
    return true;
}

const MountedVolume::Folder* MountedVolume::CachedFolder(uint64_t folder) {
    auto found = m_folders.find(folder);
    if (found == m_folders.end()) return nullptr;
    m_recentFolders.splice(m_recentFolders.begin(), m_recentFolders, found->second.recent);
    return &found->second;
}

void MountedVolume::KeepFolder(uint64_t folder, const std::vector<Name>& names) {
    ForgetFolder(folder);
    m_recentFolders.push_front(folder);
    Folder& kept = m_folders[folder];
    kept.recent = m_recentFolders.begin();
    for (const Name& name : names) kept.byName.emplace(Upper(name.text), name);
    m_cachedNames += kept.byName.size();
    while (m_cachedNames > kMaxCachedNames && m_recentFolders.size() > 1)
        ForgetFolder(m_recentFolders.back());
}

void MountedVolume::ForgetFolder(uint64_t folder) {
    auto found = m_folders.find(folder);
    if (found == m_folders.end()) return;
    m_cachedNames -= found->second.byName.size();
    m_recentFolders.erase(found->second.recent);
    m_folders.erase(found);
}

// A folder listed lately is looked up in memory; another through its index.
LookupResult MountedVolume::Lookup(uint64_t folder, const std::u16string& name, Name* found) {
    if (const Folder* cached = CachedFolder(folder)) {
        auto match = cached->byName.find(Upper(name));
        if (match == cached->byName.end()) return LookupResult::kMissing;
        *found = match->second;
        return LookupResult::kFound;
    }
    Inode inode(ntfs_inode_open(m_volume, folder));
    if (!inode) return LookupResult::kFailed;
    std::vector<ntfschar> text = ToNtfs(name);
    u64 file = ntfs_inode_lookup_by_name(inode.get(), text.data(), int(text.size()));
    if (file == u64(-1)) return errno == ENOENT ? LookupResult::kMissing : LookupResult::kFailed;
    *found = {name, -1, MREF(file), NTFS_DT_UNKNOWN};
    return LookupResult::kFound;
}

bool MountedVolume::IsFolder(const Name& name) {
    if (name.fileType == NTFS_DT_DIR) return true;
    if (name.fileType == NTFS_DT_REG) return false;
    Inode inode(ntfs_inode_open(m_volume, name.file));
    return inode && (inode->mrec->flags & MFT_RECORD_IS_DIRECTORY);
}

bool MountedVolume::Walk(const std::string& path, const std::vector<std::u16string>& parts,
                         size_t count, uint64_t* folder) {
    *folder = kRoot;
    for (size_t i = 0; i < count; ++i) {
        Name found;
        switch (Lookup(*folder, parts[i], &found)) {
            case LookupResult::kFailed:
                return FailLibrary(path, "cannot look the path up");
            case LookupResult::kMissing:
                return Fail(path, "not found");
            case LookupResult::kFound:
                break;
        }
        if (!IsFolder(found)) return Fail(path, "a part of the path is not a folder");
        *folder = found.file;
    }
    return true;
}

bool MountedVolume::Find(const std::string& path, Found* found) {
    std::vector<std::u16string> parts;
    if (!SplitPath(path, &parts)) return false;
    if (parts.empty()) {
        *found = {kRoot, kRoot, u""};
        return true;
    }
    Name name;
    if (!Walk(path, parts, parts.size() - 1, &found->folder)) return false;
    switch (Lookup(found->folder, parts.back(), &name)) {
        case LookupResult::kFailed:
            return FailLibrary(path, "cannot look the path up");
        case LookupResult::kMissing:
            return Fail(path, "not found");
        case LookupResult::kFound:
            break;
    }
    found->file = name.file;
    found->name = parts.back();
    return true;
}

bool MountedVolume::FindParent(const std::string& path, uint64_t* folder, std::u16string* name) {
    std::vector<std::u16string> parts;
    if (!SplitPath(path, &parts)) return false;
    if (parts.empty()) return Fail(path, "the root folder has no name");
    *name = parts.back();
    return Walk(path, parts, parts.size() - 1, folder);
}

bool MountedVolume::NamesOf(ntfs_inode* inode, uint64_t folder, std::vector<Name>* names) {
    names->clear();
    ntfs_attr_search_ctx* context = ntfs_attr_get_search_ctx(inode, nullptr);
    if (!context) return false;
    while (ntfs_attr_lookup(AT_FILE_NAME, AT_UNNAMED, 0, CASE_SENSITIVE, 0, nullptr, 0, context) ==
           0) {
        const ATTR_RECORD* record = context->attr;
        const FILE_NAME_ATTR* name = reinterpret_cast<const FILE_NAME_ATTR*>(
            reinterpret_cast<const uint8_t*>(record) + le16_to_cpu(record->value_offset));
        if (MREF_LE(name->parent_directory) == folder)
            names->push_back({FromNtfs(reinterpret_cast<const uint8_t*>(name) +
                                           offsetof(FILE_NAME_ATTR, file_name),
                                       name->file_name_length),
                              name->file_name_type, inode->mft_no, NTFS_DT_UNKNOWN});
    }
    ntfs_attr_put_search_ctx(context);
    return true;
}

// The long name the path named the file by (its long name when the path gave its short
// one), and its short name: a name of its own, the long name itself when that serves as
// both, else empty.
bool MountedVolume::NamesFound(ntfs_inode* inode, const Found& found, Name* longName,
                               Name* shortName) {
    std::vector<Name> names;
    *longName = Name();
    *shortName = Name();
    if (found.file == kRoot) return true;
    if (!NamesOf(inode, found.folder, &names)) return false;
    std::u16string wanted = Upper(found.name);
    for (const Name& name : names) {
        if (!IsLongName(name)) *shortName = name;
        bool better = longName->text.empty() || (Upper(name.text) == wanted);
        if (IsLongName(name) && better) *longName = name;
    }
    if (longName->type == FILE_NAME_WIN32_AND_DOS) *shortName = *longName;
    if (longName->type == FILE_NAME_POSIX) *shortName = Name();
    return !longName->text.empty();
}

// Reading.

Inode MountedVolume::OpenInode(uint64_t file, const std::string& path) {
    Inode inode(ntfs_inode_open(m_volume, file));
    if (!inode) FailLibrary(path, "cannot read its file record");
    return inode;
}

ntfs_inode* MountedVolume::ReadingInode(uint64_t file, const std::string& path) {
    if (m_readingInode && m_readingFile == file) return m_readingInode.get();
    CloseReading();
    m_readingInode = OpenInode(file, path);
    m_readingFile = file;
    return m_readingInode.get();
}

void MountedVolume::CloseReading() {
    m_readingData.reset();
    m_readingInode.reset();
    m_readingFile = 0;
}

void MountedVolume::FillEntry(ntfs_inode* inode, image::Entry* entry) const {
    entry->isDirectory = (inode->mrec->flags & MFT_RECORD_IS_DIRECTORY) != 0;
    entry->size = entry->isDirectory ? 0 : uint64_t(inode->data_size);
    entry->attributes = le32_to_cpu(inode->flags) & kDosAttributes;
    entry->identity = inode->mft_no;
}

bool MountedVolume::List(const std::string& folder, std::vector<image::Entry>* entries) {
    Found found;
    std::vector<Name> names;
    if (!Find(folder, &found)) return false;
    if (!IsFolder({u"", -1, found.file, NTFS_DT_UNKNOWN})) return Fail(folder, "not a folder");
    if (!ReadFolder(found.file, folder, &names)) return false;
    KeepFolder(found.file, names);
    std::unordered_map<uint64_t, std::u16string> shortNames;
    for (const Name& name : names)
        if (name.type == FILE_NAME_DOS) shortNames[name.file] = name.text;
    for (const Name& name : names) {
        bool isSystemFile = found.file == kRoot && name.file < FILE_first_user;
        if (!IsLongName(name) || isSystemFile) continue;
        image::Entry entry;
        entry.name = Utf16ToUtf8(name.text);
        if (name.type == FILE_NAME_WIN32_AND_DOS) entry.shortName = entry.name;
        if (name.type == FILE_NAME_WIN32) entry.shortName = Utf16ToUtf8(shortNames[name.file]);
        Inode inode(ntfs_inode_open(m_volume, name.file));
        if (inode) {
            FillEntry(inode.get(), &entry);
        } else {
            entry.isDirectory = name.fileType == NTFS_DT_DIR;
            entry.identity = name.file;
        }
        entries->push_back(entry);
    }
    return true;
}

bool MountedVolume::Stat(const std::string& path, image::Entry* entry) {
    Found found;
    Name longName, shortName;
    if (!Find(path, &found)) return false;
    ntfs_inode* inode = ReadingInode(found.file, path);
    if (!inode) return false;
    if (!NamesFound(inode, found, &longName, &shortName))
        return Fail(path, "its file record holds no name in its folder");
    *entry = image::Entry();
    entry->name = Utf16ToUtf8(longName.text);
    entry->shortName = Utf16ToUtf8(shortName.text);
    FillEntry(inode, entry);
    return true;
}

// Windows keeps the data of some files elsewhere, behind a reparse point: read as they
// stand, they would seem to hold only zeros.
bool MountedVolume::CheckReadable(ntfs_inode* inode, const std::string& path) {
    if (!(inode->flags & FILE_ATTR_REPARSE_POINT)) return true;
    Attribute point(ntfs_attr_open(inode, AT_REPARSE_POINT, AT_UNNAMED, 0));
    le32 tag = 0;
    if (!point || ntfs_attr_pread(point.get(), 0, sizeof(tag), &tag) != sizeof(tag)) return true;
    if (tag == IO_REPARSE_TAG_WOF)
        return Fail(path, "Windows keeps it compressed (WOF, compact OS); its data cannot be read");
    if (tag == IO_REPARSE_TAG_DEDUP)
        return Fail(path, "Windows keeps it deduplicated; its data cannot be read");
    return true;
}

bool MountedVolume::Read(const std::string& path, uint64_t offset, void* buffer, size_t count,
                         size_t* got) {
    Found found;
    *got = 0;
    if (!Find(path, &found)) return false;
    ntfs_inode* inode = ReadingInode(found.file, path);
    if (!inode) return false;
    if (inode->mrec->flags & MFT_RECORD_IS_DIRECTORY) return Fail(path, "a folder");
    if (!CheckReadable(inode, path)) return false;
    if (!m_readingData) m_readingData.reset(ntfs_attr_open(inode, AT_DATA, AT_UNNAMED, 0));
    if (!m_readingData) return FailLibrary(path, "cannot open its data");
    uint64_t size = uint64_t(m_readingData->data_size);
    if (offset >= size) return true;
    size_t wanted = size_t(std::min<uint64_t>(count, size - offset));
    uint8_t* bytes = static_cast<uint8_t*>(buffer);
    while (*got < wanted) {
        s64 done = ntfs_attr_pread(m_readingData.get(), s64(offset + *got), s64(wanted - *got),
                                   bytes + *got);
        if (done <= 0) return FailLibrary(path, "cannot read its data");
        *got += size_t(done);
    }
    return true;
}

std::unique_ptr<Volume> OpenVolume(BlockDevice& device, bool readOnly, std::string* error) {
    std::unique_ptr<MountedVolume> volume(new MountedVolume(device, readOnly));
    if (!volume->Mount(readOnly, error)) return nullptr;
    return std::unique_ptr<Volume>(volume.release());
}

}  // namespace ntfs
