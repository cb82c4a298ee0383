// Files held in memory: the members of an archive and the attachments of a message,
// each scanned and cleaned by the engine as it scans a file on disk. Nothing is ever in
// use, so every deletion and rename is done at once; the restart list lives in memory
// and only ever holds what a cleaning records while it runs.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"

typedef std::vector<unsigned char> Bytes;

class MemoryPlatform : public Platform {
  public:
    // Puts a file in place of whatever had that name.
    void Put(const std::string& path, Bytes content);
    // A file's content, or null when there is none of that name.
    const Bytes* Find(const std::string& path) const;

    PlatFile OpenRead(const char* path, int64_t* size = nullptr) override;
    PlatFile OpenToDetect(const char* path, const PlatDirEntry* listed) override;
    int64_t FileSize(PlatFile file) override;
    PlatFile CreateWork(const char* path) override;
    PlatFile CopyToWork(const char* from, const char* to) override;
    void Close(PlatFile file) override;
    int32_t ReadAt(PlatFile file, int64_t offset, void* buffer, int32_t count) override;
    bool WriteAll(PlatFile file, const void* data, uint32_t count) override;
    bool CutTail(PlatFile file, int32_t count) override;
    bool FlushFile(PlatFile) override { return true; }
    bool Copy(const char* from, const char* to) override;

    bool GetAttributes(const char* path, PlatAttributes* attributes) override;
    void SetAttributes(const char*, const PlatAttributes&) override {}
    void SetNormalAttributes(const char*) override {}

    bool Remove(const char* path) override;
    bool IsGone(const char* path) override { return !Find(path); }
    bool IsSameFile(const char* first, const char* second) override;
    bool Rename(const char* from, const char* to) override;
    void SyncFolder(const char*) override {}

    bool LockFileChanges() override { return true; }
    void UnlockFileChanges() override {}

    size_t MaxPathLength() override { return size_t(-1); }
    size_t MaxFolderPathLength() override { return size_t(-1); }

    PlatImage* LoadExecutable(const char* path) override;
    PlatResourceLookup FindResourceData(PlatImage* image, uint16_t type, uint16_t name,
                                        const unsigned char** data, uint32_t* size) override;
    void UnloadExecutable(PlatImage* image) override;

    PlatListing* ListFirst(const char* directory, PlatDirEntry* entry) override;
    bool ListNext(PlatListing* listing, PlatDirEntry* entry) override;
    void ListClose(PlatListing* listing) override;

    bool ReadRestartList(std::vector<RestartEntry>* entries) override;
    bool WriteRestartList(const std::vector<RestartEntry>& entries) override;
    std::string RestartListName(const char* path) override { return path; }
    bool IsSameRestartListName(const std::string& first, const std::string& second) override {
        return first == second;
    }
    bool IsWorkFileName(const std::string& work, const std::string& file) override {
        return work == file + ".cln";
    }
    bool PathOfRestartListName(const std::string& stored, std::string* path) override {
        *path = stored;
        return true;
    }

  private:
    Bytes* Content(PlatFile file);

    std::map<std::string, std::shared_ptr<Bytes>> m_files;
    std::vector<std::string> m_open;  // the path each handle was opened by; empty: closed
    std::vector<RestartEntry> m_restartList;
};
