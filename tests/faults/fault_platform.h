// A platform that lets the one call numbered `faultAt` (counted from 1 over every call
// that changes a file, loads an executable or edits the restart list) fail, and passes
// everything else to the real one. A failed write leaves half its bytes written, a
// failed copy half a copy: what a full disk leaves behind.
#pragma once

#include "platform/platform.h"

class FaultPlatform : public Platform {
  public:
    explicit FaultPlatform(Platform& real) : m_real(real) {}

    int faultAt = 0;    // 0: nothing fails
    int faultable = 0;  // calls counted so far

    PlatFile CreateWork(const char* path) override;
    PlatFile CopyToWork(const char* from, const char* to) override;
    bool WriteAll(PlatFile file, const void* data, uint32_t count) override;
    bool CutTail(PlatFile file, int32_t count) override;
    bool FlushFile(PlatFile file) override;
    bool Copy(const char* from, const char* to) override;
    void SetAttributes(const char* path, const PlatAttributes& attributes) override;
    void SetNormalAttributes(const char* path) override;
    bool Remove(const char* path) override;
    bool Rename(const char* from, const char* to) override;
    bool LockFileChanges() override;
    bool ReadRestartList(std::vector<RestartEntry>* entries) override;
    bool CanWriteRestartList() override { return m_real.CanWriteRestartList(); }
    bool WriteRestartList(const std::vector<RestartEntry>& entries) override;
    PlatImage* LoadExecutable(const char* path) override;
    PlatResourceLookup FindResourceData(PlatImage* image, uint16_t type, uint16_t name,
                                        const unsigned char** data, uint32_t* size) override;

    // Reads and look-ups pass straight through.
    PlatFile OpenRead(const char* path, int64_t* size) override {
        return m_real.OpenRead(path, size);
    }
    PlatFile OpenToDetect(const char* path, const PlatDirEntry* listed) override {
        return m_real.OpenToDetect(path, listed);
    }
    int64_t FileSize(PlatFile file) override { return m_real.FileSize(file); }
    void Close(PlatFile file) override { m_real.Close(file); }
    int32_t ReadAt(PlatFile file, int64_t offset, void* buffer, int32_t count) override {
        return m_real.ReadAt(file, offset, buffer, count);
    }
    bool GetAttributes(const char* path, PlatAttributes* attributes) override {
        return m_real.GetAttributes(path, attributes);
    }
    bool IsGone(const char* path) override { return m_real.IsGone(path); }
    bool IsSameFile(const char* first, const char* second) override {
        return m_real.IsSameFile(first, second);
    }
    void SyncFolder(const char* path) override { m_real.SyncFolder(path); }
    void UnlockFileChanges() override { m_real.UnlockFileChanges(); }
    size_t MaxPathLength() override { return m_real.MaxPathLength(); }
    size_t MaxFolderPathLength() override { return m_real.MaxFolderPathLength(); }
    void UnloadExecutable(PlatImage* image) override { m_real.UnloadExecutable(image); }
    PlatListing* ListFirst(const char* directory, PlatDirEntry* entry) override {
        return m_real.ListFirst(directory, entry);
    }
    bool ListNext(PlatListing* listing, PlatDirEntry* entry) override {
        return m_real.ListNext(listing, entry);
    }
    void ListClose(PlatListing* listing) override { m_real.ListClose(listing); }
    std::string RestartListName(const char* path) override { return m_real.RestartListName(path); }
    bool IsSameRestartListName(const std::string& first, const std::string& second) override {
        return m_real.IsSameRestartListName(first, second);
    }
    bool IsWorkFileName(const std::string& work, const std::string& file) override {
        return m_real.IsWorkFileName(work, file);
    }
    bool PathOfRestartListName(const std::string& stored, std::string* path) override {
        return m_real.PathOfRestartListName(stored, path);
    }

  private:
    bool Fails() { return ++faultable == faultAt; }
    Platform& m_real;
};
