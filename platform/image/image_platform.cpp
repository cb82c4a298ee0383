#include "platform/image/image_platform.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "platform/posix/pe_resource.h"

namespace {

const uint32_t kKeptAttributes =
    image::kReadOnly | image::kHidden | image::kSystem | image::kArchive;
const size_t kCopyChunk = 1 << 16;

bool IsSameIgnoringCase(const std::string& first, const std::string& second) {
    return first.size() == second.size() &&
           std::equal(first.begin(), first.end(), second.begin(), [](char a, char b) {
               return tolower(static_cast<unsigned char>(a)) ==
                      tolower(static_cast<unsigned char>(b));
           });
}

std::string FoldedName(std::string name) {
    for (char& c : name) c = char(tolower(static_cast<unsigned char>(c)));
    return name;
}

// A volume whose Windows keeps no list the program can reach: it holds nothing, and can
// keep nothing for a restart.
class NoRestartList : public ImageRestartList {
  public:
    bool Read(std::vector<RestartEntry>* entries) override {
        entries->clear();
        return true;
    }
    bool Write(const std::vector<RestartEntry>& entries) override { return entries.empty(); }
    std::string NameOf(const std::string& volumePath) override { return volumePath; }
    bool IsSameName(const std::string& first, const std::string& second) override {
        return IsSameIgnoringCase(first, second);
    }
    bool IsWorkFileName(const std::string& work, const std::string& file) override {
        return IsSameIgnoringCase(work, file + ".cln");
    }
    bool VolumePathOf(const std::string& stored, std::string* volumePath) override {
        *volumePath = stored;
        return !stored.empty() && stored[0] == '/';
    }
};

struct LoadedFile : PlatImage {
    std::vector<unsigned char> bytes;
};

struct EntryListing : PlatListing {
    std::vector<image::Entry> entries;
    size_t next = 0;
};

bool IsSame(const RestartEntry& first, const RestartEntry& second) {
    return first.source == second.source && first.destination == second.destination &&
           first.replaces == second.replaces;
}

// Whether every entry of `part` is among `whole`.
bool Contains(const std::vector<RestartEntry>& whole, const std::vector<RestartEntry>& part) {
    for (const RestartEntry& entry : part)
        if (std::none_of(whole.begin(), whole.end(),
                         [&](const RestartEntry& other) { return IsSame(entry, other); }))
            return false;
    return true;
}

void Fill(EntryListing* listing, PlatDirEntry* entry) {
    const image::Entry& found = listing->entries[listing->next++];
    entry->name = found.name.c_str();
    entry->isDirectory = found.isDirectory;
    entry->isFile = !found.isDirectory;
    entry->isLink = false;
    entry->isUnreachable = false;
    entry->listing = listing;
}

}  // namespace

std::unique_ptr<ImageRestartList> MakeNoRestartList() {
    return std::unique_ptr<ImageRestartList>(new NoRestartList);
}

ImagePlatform::ImagePlatform(std::string root, image::Volume& volume,
                             std::unique_ptr<ImageRestartList> list)
    : m_root(std::move(root)), m_volume(volume), m_list(std::move(list)) {}

ImagePlatform::~ImagePlatform() = default;

bool ImagePlatform::VolumePath(const char* path, std::string* inside) const {
    size_t length = strlen(path);
    if (length < m_root.size() || m_root.compare(0, m_root.size(), path, m_root.size()) != 0)
        return false;
    *inside = path + m_root.size();
    if (inside->empty()) *inside = "/";
    return (*inside)[0] == '/';
}

PlatFile ImagePlatform::Open(const std::string& inside) {
    for (size_t i = 0; i < m_files.size(); ++i)
        if (!m_files[i]) {
            m_files[i].reset(new OpenFile{inside, 0});
            return PlatFile(i + 1);
        }
    m_files.emplace_back(new OpenFile{inside, 0});
    return PlatFile(m_files.size());
}

ImagePlatform::OpenFile* ImagePlatform::Find(PlatFile file) {
    return file >= 1 && size_t(file) <= m_files.size() ? m_files[size_t(file) - 1].get() : nullptr;
}

PlatFile ImagePlatform::OpenRead(const char* path, int64_t* size) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    std::string inside;
    image::Entry entry;
    if (!VolumePath(path, &inside) || !m_volume.Stat(inside, &entry) || entry.isDirectory)
        return PLAT_NO_FILE;
    if (size) *size = int64_t(entry.size);
    return Open(inside);
}

PlatFile ImagePlatform::OpenToDetect(const char* path, const PlatDirEntry*) {
    return OpenRead(path);
}

int64_t ImagePlatform::FileSize(PlatFile file) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    OpenFile* open = Find(file);
    image::Entry entry;
    return open && m_volume.Stat(open->path, &entry) ? int64_t(entry.size) : -1;
}

// What stands under the name is removed first, as on the host: a work file is always new.
bool ImagePlatform::CreateLocked(const char* path, std::string* inside) {
    image::Entry entry;
    if (!VolumePath(path, inside)) return false;
    if (m_volume.Stat(*inside, &entry) && (entry.isDirectory || !m_volume.Remove(*inside)))
        return false;
    return m_volume.Create(*inside);
}

PlatFile ImagePlatform::CreateWork(const char* path) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    std::string inside;
    return CreateLocked(path, &inside) ? Open(inside) : PLAT_NO_FILE;
}

PlatFile ImagePlatform::CopyToWork(const char* from, const char* to) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    std::string source, target;
    image::Entry entry;
    if (!VolumePath(from, &source) || !m_volume.Stat(source, &entry) || entry.isDirectory ||
        !CreateLocked(to, &target))
        return PLAT_NO_FILE;
    std::vector<unsigned char> chunk(kCopyChunk);
    bool copied = true;
    for (uint64_t at = 0; copied && at < entry.size; at += kCopyChunk) {
        size_t got = 0;
        copied = m_volume.Read(source, at, chunk.data(), chunk.size(), &got) &&
                 got == std::min<uint64_t>(kCopyChunk, entry.size - at) &&
                 m_volume.Write(target, at, chunk.data(), got);
    }
    if (copied) return Open(target);
    m_volume.Remove(target);
    return PLAT_NO_FILE;
}

void ImagePlatform::Close(PlatFile file) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    if (Find(file)) m_files[size_t(file) - 1].reset();
}

int32_t ImagePlatform::ReadAt(PlatFile file, int64_t offset, void* buffer, int32_t count) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    OpenFile* open = Find(file);
    size_t got = 0;
    if (!open || offset < 0 || count < 0) return 0;
    if (!m_volume.Read(open->path, uint64_t(offset), buffer, size_t(count), &got)) {
        NoteReadError(open->path, "cannot read it");
        return 0;
    }
    return int32_t(got);
}

void ImagePlatform::NoteReadError(const std::string& inside, const std::string& what) {
    m_readErrors.push_back(m_root + (inside == "/" ? "" : inside) + ": " + what + ": " +
                           m_volume.LastError());
}

std::vector<std::string> ImagePlatform::TakeReadErrors() {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    std::vector<std::string> errors;
    errors.swap(m_readErrors);
    return errors;
}

bool ImagePlatform::WriteAll(PlatFile file, const void* data, uint32_t count) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    OpenFile* open = Find(file);
    if (!open || !m_volume.Write(open->path, open->position, data, count)) return false;
    open->position += count;
    return true;
}

bool ImagePlatform::CutTail(PlatFile file, int32_t count) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    OpenFile* open = Find(file);
    image::Entry entry;
    return open && count >= 0 && m_volume.Stat(open->path, &entry) &&
           entry.size >= uint64_t(count) && m_volume.Truncate(open->path, entry.size - count);
}

// Durable when the transaction ends (see UnlockFileChanges).
bool ImagePlatform::FlushFile(PlatFile) {
    return true;
}

bool ImagePlatform::Copy(const char* from, const char* to) {
    PlatFile copy = CopyToWork(from, to);
    if (copy == PLAT_NO_FILE) return false;
    Close(copy);
    return true;
}

bool ImagePlatform::GetAttributes(const char* path, PlatAttributes* attributes) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    std::string inside;
    image::Entry entry;
    if (!VolumePath(path, &inside) || !m_volume.Stat(inside, &entry) || entry.isDirectory)
        return false;
    *attributes = {entry.attributes & kKeptAttributes, 0, 0};
    return true;
}

void ImagePlatform::SetAttributes(const char* path, const PlatAttributes& attributes) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    std::string inside;
    if (VolumePath(path, &inside))
        m_volume.SetAttributes(inside, attributes.bits & kKeptAttributes);
}

void ImagePlatform::SetNormalAttributes(const char* path) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    std::string inside;
    image::Entry entry;
    if (VolumePath(path, &inside) && m_volume.Stat(inside, &entry) && !entry.isDirectory)
        m_volume.SetAttributes(inside, entry.attributes & image::kArchive);
}

// A file removed hands its traits to the file renamed onto its name within the same
// transaction: its repair (see Rename).
bool ImagePlatform::Remove(const char* path) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    std::string inside;
    image::Entry entry;
    image::Traits traits;
    if (!VolumePath(path, &inside) || !m_volume.Stat(inside, &entry) || entry.isDirectory ||
        !m_volume.GetTraits(inside, &traits) || !m_volume.Remove(inside))
        return false;
    m_removedTraits[FoldedName(inside)] = traits;
    return true;
}

bool ImagePlatform::IsGone(const char* path) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    std::string inside;
    image::Entry entry;
    return VolumePath(path, &inside) && !m_volume.Stat(inside, &entry);
}

bool ImagePlatform::IsSameFile(const char* first, const char* second) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    std::string a, b;
    image::Entry one, other;
    return VolumePath(first, &a) && VolumePath(second, &b) && m_volume.Stat(a, &one) &&
           m_volume.Stat(b, &other) && one.identity == other.identity;
}

// A repair takes over the traits of the file it replaces. Should they not take, the
// transaction is dropped: the image keeps the infected file as it was.
bool ImagePlatform::Rename(const char* from, const char* to) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    std::string source, target;
    if (!VolumePath(from, &source) || !VolumePath(to, &target) || !m_volume.Rename(source, target))
        return false;
    auto removed = m_removedTraits.find(FoldedName(target));
    if (removed == m_removedTraits.end()) return true;
    if (!m_volume.SetTraits(target, removed->second)) m_commitFailed = true;
    m_removedTraits.erase(removed);
    return true;
}

void ImagePlatform::SyncFolder(const char*) {}

// The image is the run's alone (the disk holds its lock): a change begins a transaction.
bool ImagePlatform::LockFileChanges() {
    return !m_commitFailed;
}

// The transaction ends: everything it changed reaches the image at once, through the
// disk's rollback journal.
void ImagePlatform::UnlockFileChanges() {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    if (!EndTransaction()) m_commitFailed = true;
    m_listLoaded = false;
    m_removedTraits.clear();
}

// Nothing in an image is in use, so work the engine left for the restart means a step
// of a repair failed (a deletion, a rename): nothing new is scheduled on the image's list,
// and the transaction is dropped instead, the image left as it was before it.
bool ImagePlatform::EndTransaction() {
    if (m_commitFailed) return false;
    bool leftWork = m_listLoaded && !Contains(m_listOnDisk, m_listNow);
    if (leftWork) return false;
    return m_volume.IsReadOnly() || m_volume.Flush();
}

bool ImagePlatform::LostChanges() {
    return m_commitFailed;
}

size_t ImagePlatform::MaxPathLength() {
    return SIZE_MAX;
}

size_t ImagePlatform::MaxFolderPathLength() {
    return SIZE_MAX;
}

PlatImage* ImagePlatform::LoadExecutable(const char* path) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    std::string inside;
    image::Entry entry;
    if (!VolumePath(path, &inside) || !m_volume.Stat(inside, &entry) || entry.isDirectory ||
        entry.size == 0)
        return nullptr;
    std::unique_ptr<LoadedFile> loaded(new LoadedFile);
    loaded->bytes.resize(size_t(entry.size));
    size_t got = 0;
    if (!m_volume.Read(inside, 0, loaded->bytes.data(), loaded->bytes.size(), &got) ||
        got != loaded->bytes.size())
        return nullptr;
    size_t offset = 0;
    uint32_t length = 0;
    if (FindPeResource(loaded->bytes.data(), loaded->bytes.size(), 0, 0, &offset, &length) ==
        PE_NOT_IMAGE)
        return nullptr;
    return loaded.release();
}

PlatResourceLookup ImagePlatform::FindResourceData(PlatImage* image, uint16_t type, uint16_t name,
                                                   const unsigned char** data, uint32_t* size) {
    const std::vector<unsigned char>& bytes = static_cast<LoadedFile*>(image)->bytes;
    return FindResourceIn(bytes.data(), bytes.size(), type, name, data, size);
}

void ImagePlatform::UnloadExecutable(PlatImage* image) {
    delete image;
}

PlatListing* ImagePlatform::ListFirst(const char* directory, PlatDirEntry* entry) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    std::string inside;
    // A listing begins with ".", as the host's do, so that an empty folder lists too.
    std::unique_ptr<EntryListing> listing(new EntryListing);
    image::Entry self;
    self.name = ".";
    self.isDirectory = true;
    listing->entries.push_back(self);
    if (!VolumePath(directory, &inside)) return nullptr;
    if (!m_volume.List(inside, &listing->entries)) {
        NoteReadError(inside, "cannot list it");
        return nullptr;
    }
    Fill(listing.get(), entry);
    return listing.release();
}

bool ImagePlatform::ListNext(PlatListing* listing, PlatDirEntry* entry) {
    EntryListing* entries = static_cast<EntryListing*>(listing);
    if (entries->next == entries->entries.size()) return false;
    Fill(entries, entry);
    return true;
}

void ImagePlatform::ListClose(PlatListing* listing) {
    delete listing;
}

bool ImagePlatform::LoadList() {
    if (m_listLoaded) return true;
    if (!m_list->Read(&m_listOnDisk)) return false;
    m_listNow = m_listOnDisk;
    m_listLoaded = true;
    return true;
}

// Outside a transaction the list is read as the image holds it.
bool ImagePlatform::ReadRestartList(std::vector<RestartEntry>* entries) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    if (!LoadList()) return false;
    *entries = m_listNow;
    return true;
}

bool ImagePlatform::CanWriteRestartList() {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    return !m_commitFailed && m_list->CanWrite();
}

// What the engine takes back of the entries the image holds is written now (within the
// transaction); what it adds stays in memory until the transaction ends.
bool ImagePlatform::WriteRestartList(const std::vector<RestartEntry>& entries) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    // A volume that takes no change takes none on its list's behalf either: a repair
    // there fails before it begins.
    if (m_commitFailed || m_volume.IsReadOnly() || !LoadList()) return false;
    std::vector<RestartEntry> kept;
    for (const RestartEntry& entry : m_listOnDisk)
        if (Contains(entries, {entry})) kept.push_back(entry);
    if (kept.size() != m_listOnDisk.size()) {
        if (!m_list->Write(kept)) return false;
        m_listOnDisk = kept;
    }
    m_listNow = entries;
    return true;
}

std::string ImagePlatform::RestartListName(const char* path) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    std::string inside;
    return VolumePath(path, &inside) ? m_list->NameOf(inside) : std::string(path);
}

bool ImagePlatform::IsSameRestartListName(const std::string& first, const std::string& second) {
    return m_list->IsSameName(first, second);
}

bool ImagePlatform::IsWorkFileName(const std::string& work, const std::string& file) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    return m_list->IsWorkFileName(work, file);
}

bool ImagePlatform::PathOfRestartListName(const std::string& stored, std::string* path) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    std::string inside;
    if (!m_list->VolumePathOf(stored, &inside)) return false;
    *path = inside == "/" ? m_root : m_root + inside;
    return true;
}
