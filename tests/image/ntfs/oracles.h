// NTFS images made, checked and read by other programs, as oracles for the volume code:
// mkntfs, ntfsfix, ntfssecaudit, ntfscat (ntfs-3g's tools) and The Sleuth Kit (fls,
// istat, icat), which reads NTFS with code of its own.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include <vector>
#include "tests/image/shell.h"

#include "platform/image/block_device.h"
#include "platform/image/ntfs/volume.h"

namespace ntfstest {

// A folder of its own under $TMPDIR, removed with everything in it (kept when
// NTFS_TEST_KEEP is set).
class TempDir : public imagetest::TempDir {
  public:
    TempDir() : imagetest::TempDir("ntfs_test", "NTFS_TEST_KEEP") {}
};

using imagetest::Quote;
using imagetest::Shell;

// A fresh NTFS image of `bytes` (mkntfs with 4 KiB clusters); fails the test when
// mkntfs does.
void MakeImage(const std::string& path, uint64_t bytes);
// Folders made with libntfs-3g directly, as Windows names them (a short name where the
// long name is not 8.3); each path's parent must exist.
void MakeFolders(const std::string& image, const std::vector<std::string>& paths);
// Sets the volume's dirty flag, as Windows leaves it after a crash.
void MarkDirty(const std::string& image);

// What ntfsfix -n and ntfssecaudit -a find wrong with the volume: empty when nothing.
std::string Complaints(const std::string& image);

// The volume opened over an image file.
struct Opened {
    std::unique_ptr<BlockDevice> device;
    std::unique_ptr<ntfs::Volume> volume;
    std::string error;
};
Opened OpenImage(const std::string& image, bool readOnly = false);

struct SleuthFile {
    uint64_t inode = 0;
    bool isDirectory = false;
    std::vector<std::string> names;  // every name its record holds (long and short)
    uint32_t attributes = 0;         // read-only, hidden, system and archive
    uint64_t size = 0;
    uint32_t securityId = 0;
    std::string content;  // of files
};
// Every file and folder below the root by path ("/Sub/readme.txt"), as The Sleuth Kit
// reads them (the folders' indexes, then each record); system files left out.
std::map<std::string, SleuthFile> SleuthKitTree(const std::string& image);

// The security descriptor of a file, as ntfssecaudit shows it.
std::vector<uint8_t> AuditedDescriptor(const std::string& image, const std::string& path);
// The namespace of each name of a file (ntfsinfo): "POSIX", "Win32", "DOS", "Win32 & DOS".
std::map<std::string, std::string> Namespaces(const std::string& image, const std::string& path);

}  // namespace ntfstest
