// The host's file system on Linux. Windows' sharing rules are mirrored with flock(): a
// file another process holds with a shared lock is "in use" (it cannot be deleted or
// renamed), one held with an exclusive lock cannot even be opened for reading. Nothing
// is ever opened, written, changed or deleted through a symbolic link. Paths may be of
// any length (see long_path.h).
//
// The restart list is a "wininit.ini"-style file whose [rename] entries RunRestartList
// carries out, in order. Names are stored absolute, with '%', '=', CR, LF and '['
// written as %25, %3D, %0D, %0A and %5B, so that any name survives as one entry; an
// entry that is not exactly such a name is refused. The lock of file changes is a flock
// on the list's folder: every process that uses the same list locks the same folder.
#pragma once

#include <fcntl.h>

#include <string>
#include <vector>

#include "platform/platform.h"

// $TORVOCLEAN_RESTART_LIST, or /var/lib/torvoclean/wininit.ini.
std::string DefaultRestartListPath();

// The file a name as the list stores it stands for; false when it is no valid name.
bool DecodeRestartListName(const std::string& stored, std::string* name);

// Renames `from` to `to` unless `to` exists.
bool RenameNoReplace(const char* from, const char* to);

struct RestartListRun {
    int failed;                        // entries that were carried out and failed
    std::vector<std::string> refused;  // entries that name no valid file, as they stand
    bool unreadable;                   // the list exists but could not be read
    bool unwritable;                   // an entry done could not be taken off the list
};

class PosixPlatform : public Platform {
  public:
    // How a file is opened to be read: never through a link, never waiting on a pipe.
    static const int kOpenFlags = O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW;

    // `restartList`: the list's file.
    explicit PosixPlatform(std::string restartList);
    ~PosixPlatform() override;

    const std::string& RestartListPath() const { return m_restartList; }
    // Carries out every entry in order (a rename replaces an existing file only when
    // its new name is marked "!"), taking each off the list once done, and keeps the
    // list as it was in "<list>.bak".
    RestartListRun RunRestartList();

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
    bool WriteRestartList(const std::vector<RestartEntry>& entries) override;
    std::string RestartListName(const char* path) override;
    bool IsSameRestartListName(const std::string& first, const std::string& second) override;
    bool IsWorkFileName(const std::string& work, const std::string& file) override;
    bool PathOfRestartListName(const std::string& stored, std::string* path) override;

  private:
    std::string m_restartList;
    int m_lockedFolder = -1;  // the list's folder, while this process changes files
};
