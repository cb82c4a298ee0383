// The host's file system on Windows, both families: kernel32 for files, the system's
// restart list (PendingFileRenameOperations on the NT family, wininit.ini's [rename]
// section on the Windows 95 family), and a named mutex as the lock of file changes.
#pragma once

#include <windows.h>

#include "platform/platform.h"

class Win32Platform : public Platform {
  public:
    ~Win32Platform() override;

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
    HANDLE m_hFileChanges = nullptr;
};
