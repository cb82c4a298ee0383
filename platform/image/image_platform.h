// One volume of a disk image as the engine's platform. Paths are the names the user
// sees: the volume's root ("disk.vdi//p1", or "disk.img/" for a volume without a
// partition table) followed by the path inside it ("disk.vdi//p1/WINDOWS/NOTEPAD.EXE").
//
// Nothing in an image is in use, and every change the engine makes under its lock of
// file changes is one transaction: the volume is flushed (and the disk's rollback
// journal committed) only when the lock is let go, so a kill or a power cut leaves the
// image as it was before a repair or as it is after it, never in between. The entries
// the engine puts on the restart list for the transaction's own sake (a work file being
// made, a repair under way) stay in memory: the Windows of the image only ever sees
// the entries it had, less those the engine took back. A transaction that cannot be
// made whole (a list that cannot be written, work left for a restart, which nothing in
// an image ever needs) is dropped: the image stays as it was before it, and every later
// change is refused (see LostChanges). A list that can only be read (another volume's
// Windows, a hive whose log waits) keeps every file it has entries for as it is.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/image/volume.h"
#include "platform/platform.h"

// The restart list of the Windows that the image holds, as the image's platform sees
// it (names as that list stores them; paths as the platform names files).
class ImageRestartList {
  public:
    virtual ~ImageRestartList() = default;
    virtual bool Read(std::vector<RestartEntry>* entries) = 0;
    virtual bool Write(const std::vector<RestartEntry>& entries) = 0;
    virtual bool CanWrite() { return true; }
    virtual std::string NameOf(const std::string& volumePath) = 0;
    virtual bool IsSameName(const std::string& first, const std::string& second) = 0;
    virtual bool IsWorkFileName(const std::string& work, const std::string& file) = 0;
    // The path inside the volume; false for a name on another drive, or none.
    virtual bool VolumePathOf(const std::string& stored, std::string* volumePath) = 0;
};

// The list of a volume whose Windows keeps none the program can reach: it holds
// nothing, and can keep nothing for a restart.
std::unique_ptr<ImageRestartList> MakeNoRestartList();

class ImagePlatform : public Platform {
  public:
    // `root`: how the user names the volume; `list`: its Windows' restart list.
    ImagePlatform(std::string root, image::Volume& volume, std::unique_ptr<ImageRestartList> list);
    ~ImagePlatform() override;

    const std::string& Root() const { return m_root; }
    // What could not be read since last asked (a folder not listed, a file not read
    // whole), a message each, naming it: the walk itself goes on without them.
    std::vector<std::string> TakeReadErrors();

    PlatFile OpenRead(const char* path, int64_t* size = nullptr) override;
    PlatFile OpenToDetect(const char* path, const PlatDirEntry* listed) override;
    int64_t FileSize(PlatFile file) override;
    PlatFile CreateWork(const char* path) override;
    PlatFile CopyToWork(const char* from, const char* to) override;
    void Close(PlatFile file) override;
    int32_t ReadAt(PlatFile file, int64_t offset, void* buffer, int32_t count) override;
    bool WriteAll(PlatFile file, const void* data, uint32_t count) override;
    bool CutTail(PlatFile file, int32_t count) override;
    bool FlushFile(PlatFile file) override;
    bool Copy(const char* from, const char* to) override;
    bool GetAttributes(const char* path, PlatAttributes* attributes) override;
    void SetAttributes(const char* path, const PlatAttributes& attributes) override;
    void SetNormalAttributes(const char* path) override;
    bool Remove(const char* path) override;
    bool IsGone(const char* path) override;
    bool IsSameFile(const char* first, const char* second) override;
    bool Rename(const char* from, const char* to) override;
    void SyncFolder(const char* path) override;
    bool LockFileChanges() override;
    void UnlockFileChanges() override;
    bool LostChanges() override;
    size_t MaxPathLength() override;
    size_t MaxFolderPathLength() override;
    PlatImage* LoadExecutable(const char* path) override;
    PlatResourceLookup FindResourceData(PlatImage* image, uint16_t type, uint16_t name,
                                        const unsigned char** data, uint32_t* size) override;
    void UnloadExecutable(PlatImage* image) override;
    PlatListing* ListFirst(const char* directory, PlatDirEntry* entry) override;
    bool ListNext(PlatListing* listing, PlatDirEntry* entry) override;
    void ListClose(PlatListing* listing) override;

    bool ReadRestartList(std::vector<RestartEntry>* entries) override;
    bool CanWriteRestartList() override;
    bool WriteRestartList(const std::vector<RestartEntry>& entries) override;
    std::string RestartListName(const char* path) override;
    bool IsSameRestartListName(const std::string& first, const std::string& second) override;
    bool IsWorkFileName(const std::string& work, const std::string& file) override;
    bool PathOfRestartListName(const std::string& stored, std::string* path) override;

  private:
    struct OpenFile {
        std::string path;  // inside the volume
        uint64_t position;
    };

    bool VolumePath(const char* path, std::string* inside) const;
    void NoteReadError(const std::string& inside, const std::string& what);
    bool LoadList();
    bool EndTransaction();
    PlatFile Open(const std::string& inside);
    OpenFile* Find(PlatFile file);
    bool CreateLocked(const char* path, std::string* inside);

    std::string m_root;
    image::Volume& m_volume;
    std::unique_ptr<ImageRestartList> m_list;
    std::recursive_mutex m_mutex;  // the volume takes one caller at a time
    std::vector<std::unique_ptr<OpenFile>> m_files;
    bool m_commitFailed = false;
    // The restart list during a transaction: as the image holds it, and as the engine
    // has it now.
    bool m_listLoaded = false;
    std::vector<RestartEntry> m_listOnDisk, m_listNow;
    // The traits of the files removed during the transaction, by their folded names.
    std::map<std::string, image::Traits> m_removedTraits;
    std::vector<std::string> m_readErrors;
};
