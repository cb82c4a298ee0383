// File helpers for tests that run both natively and under Wine.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace testfiles {

typedef std::vector<unsigned char> Bytes;

extern const char kSeparator[];

// A fresh, empty directory of its own for one test; the restart list of the native
// build is pointed into it as well.
std::string MakeTempDir(const std::string& tag);
std::string Join(const std::string& dir, const std::string& name);
void MakeDir(const std::string& path);

void WriteBytes(const std::string& path, const Bytes& bytes);
Bytes ReadBytes(const std::string& path);
// Writes `bytes` at `offset`, making the file longer (sparse, where it can) as needed.
void WriteAt(const std::string& path, int64_t offset, const Bytes& bytes);
Bytes ReadAt(const std::string& path, int64_t offset, size_t count);
int64_t FileSize(const std::string& path);
// Bytes free on the disk that holds `dir`.
int64_t FreeSpace(const std::string& dir);
bool Exists(const std::string& path);
std::vector<std::string> ListDir(const std::string& dir);

void SetReadOnlyAndHidden(const std::string& path);
bool HasNormalAttributes(const std::string& path);

// A real program of the platform, to use as a host; empty when none is found.
std::string RealProgramPath();

// Holds a file open the way another program would: `inUse` lets others read it but
// not delete it; otherwise nobody may even read it.
class HeldOpen {
  public:
    HeldOpen(const std::string& path, bool inUse);
    ~HeldOpen();
    void Release();

  private:
    long long m_handle;
};

// The host's own file system, with (natively) the restart list of the latest
// MakeTempDir.
Platform& HostPlatform();

// Carries out the restart list, as the next start of the system would.
void CarryOutRestartList();

// "95" or "NT": the family the restart list follows.
std::string PlatformFamily();

}  // namespace testfiles
