// Images made, checked and read by other FAT implementations: dosfstools, mtools and The
// Sleuth Kit, as oracles for the volume code.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "tests/image/shell.h"

namespace fattest {

// A folder of its own under $TMPDIR, removed with everything in it (kept when
// FAT_TEST_KEEP is set).
class TempDir : public imagetest::TempDir {
  public:
    TempDir() : imagetest::TempDir("fat_test", "FAT_TEST_KEEP") {}
};

using imagetest::Quote;
using imagetest::Shell;
// An mtools command line (without the leading tool name's options) on `image`.
std::string Mtools(const std::string& tool, const std::string& image, const std::string& args,
                   int* status = nullptr);

// A fresh image of `bytes` formatted FAT`type` with `sectorsPerCluster`; fails the test
// when mkfs.fat does.
void MakeImage(const std::string& path, int type, uint64_t bytes, int sectorsPerCluster,
               int rootEntries = 0);
// What fsck.fat -n says between its first line and its summary: empty when it finds the
// volume sound.
std::string FsckComplaints(const std::string& image);

struct OracleEntry {
    std::string shortName;
    bool hasLongName = false;
    bool isDirectory = false;
    uint64_t size = 0;
    uint8_t attributes = 0;  // read-only, hidden, system and archive as mattrib shows them
    std::string content;
};
// Every file and folder below the root by long path ("/Sub/readme.txt"), as mtools sees it.
std::map<std::string, OracleEntry> MtoolsTree(const std::string& image);
// Every file and folder (content "<dir>") below the root by path, as The Sleuth Kit (fls,
// tsk_recover) sees it.
std::map<std::string, std::string> SleuthKitTree(const std::string& image);

}  // namespace fattest
