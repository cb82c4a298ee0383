#include "tests/image/ntfs/oracles.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <cctype>
#include <cstdio>
#include <sstream>

#include "platform/image/ntfs/libntfs.h"
#include "platform/image/ntfs/mounted_volume.h"
#include "platform/image/ntfs/short_names.h"
#include "platform/image/ntfs/text.h"

namespace ntfstest {

namespace {

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

bool StartsWith(const std::string& text, const std::string& start) {
    return text.compare(0, start.size(), start) == 0;
}

ntfs_volume* MountForSetUp(const std::string& image) {
    ntfs_volume* volume = ntfs_mount(image.c_str(), NTFS_MNT_NONE);
    if (!volume) ADD_FAILURE() << "libntfs-3g cannot mount " << image;
    return volume;
}

uint32_t AttributesFromFlags(const std::string& flags) {
    uint32_t attributes = 0;
    if (flags.find("Read Only") != std::string::npos) attributes |= image::kReadOnly;
    if (flags.find("Hidden") != std::string::npos) attributes |= image::kHidden;
    if (flags.find("System") != std::string::npos) attributes |= image::kSystem;
    if (flags.find("Archive") != std::string::npos) attributes |= image::kArchive;
    return attributes;
}

// istat's account of a record: its flags, names, security id and data size.
void ReadRecord(const std::string& image, SleuthFile* file) {
    std::string text = Shell("istat " + Quote(image) + " " + std::to_string(file->inode));
    bool inStandard = false;
    for (const std::string& line : Lines(text)) {
        if (line.find("$STANDARD_INFORMATION Attribute Values") != std::string::npos)
            inStandard = true;
        else if (line.find("Attribute Values") != std::string::npos)
            inStandard = false;
        if (inStandard && StartsWith(line, "Flags: ")) file->attributes = AttributesFromFlags(line);
        if (inStandard && StartsWith(line, "Security ID: "))
            file->securityId = uint32_t(std::stoul(line.substr(13)));
        if (StartsWith(line, "Name: ")) file->names.push_back(line.substr(6));
        size_t size = line.find(" size: ");
        bool unnamedData =
            StartsWith(line, "Type: $DATA (") && line.find("Name: N/A") != std::string::npos;
        if (unnamedData && size != std::string::npos)
            file->size = std::stoull(line.substr(size + 7));
    }
}

}  // namespace

void MakeImage(const std::string& path, uint64_t bytes) {
    int status = 0;
    std::string output = Shell("truncate -s " + std::to_string(bytes) + " " + Quote(path) +
                                   " && mkntfs -F -Q -q -c 4096 " + Quote(path),
                               &status);
    ASSERT_EQ(status, 0) << output;
}

void MakeFolders(const std::string& image, const std::vector<std::string>& paths) {
    ntfs_volume* volume = MountForSetUp(image);
    if (!volume) return;
    for (const std::string& path : paths) {
        size_t slash = path.rfind('/');
        std::string parentPath = slash == 0 ? "/" : path.substr(0, slash);
        std::u16string name;
        ntfs::Utf8ToUtf16(path.substr(slash + 1), &name);
        ntfs_inode* parent = ntfs_pathname_to_inode(volume, nullptr, parentPath.c_str());
        ASSERT_TRUE(parent) << parentPath;
        std::vector<ntfschar> text = ntfs::ToNtfs(name);
        ntfs_inode* folder = ntfs_create(parent, 0, text.data(), u8(text.size()), S_IFDIR);
        ASSERT_TRUE(folder) << path;
        std::u16string shortName =
            ntfs::FitsShortName(name) ? name : ntfs::ShortNameCandidate(name, 1);
        std::string value = ntfs::Utf16ToUtf8(shortName);
        for (char& c : value) c = char(toupper(static_cast<unsigned char>(c)));
        ASSERT_EQ(ntfs_set_ntfs_dos_name(folder, parent, value.data(), value.size(), 0), 0) << path;
    }
    ASSERT_EQ(ntfs_umount(volume, FALSE), 0);
}

void MarkDirty(const std::string& image) {
    ntfs_volume* volume = MountForSetUp(image);
    if (!volume) return;
    EXPECT_EQ(ntfs_volume_write_flags(volume, le16(volume->flags | VOLUME_IS_DIRTY)), 0);
    EXPECT_EQ(ntfs_umount(volume, FALSE), 0);
}

std::string Complaints(const std::string& image) {
    static const char* const kFixSaysSound[] = {
        "Mounting volume... OK",
        "Processing of $MFT and $MFTMirr completed successfully.",
        "Checking the alternate boot sector... OK",
        "NTFS volume version is 3.1.",
    };
    std::string complaints;
    int status = 0;
    for (const std::string& line : Lines(Shell("ntfsfix -n " + Quote(image), &status))) {
        bool sound = line.find("was processed successfully") != std::string::npos;
        for (const char* expected : kFixSaysSound) sound = sound || line == expected;
        if (!sound) complaints += "ntfsfix: " + line + "\n";
    }
    if (status != 0) complaints += "ntfsfix exits with " + std::to_string(status) + "\n";
    std::string audit = Shell("ntfssecaudit -a " + Quote(image), &status);
    if (status != 0 || audit.find("No errors were found") == std::string::npos)
        complaints += "ntfssecaudit: " + audit;
    return complaints;
}

Opened OpenImage(const std::string& image, bool readOnly) {
    Opened opened;
    opened.device = OpenFileDevice(image, readOnly, &opened.error);
    if (opened.device) opened.volume = ntfs::OpenVolume(*opened.device, readOnly, &opened.error);
    return opened;
}

std::map<std::string, SleuthFile> SleuthKitTree(const std::string& image) {
    std::map<std::string, SleuthFile> tree;
    // "r/r 64-128-2:<tab>Folder/name.txt"
    for (const std::string& line : Lines(Shell("fls -r -p -u " + Quote(image)))) {
        size_t tab = line.find('\t');
        if (tab == std::string::npos || line.size() < 5 || !isdigit(line[4])) continue;
        std::string path = "/" + line.substr(tab + 1);
        if (path.find(':') != std::string::npos || StartsWith(path, "/$")) continue;
        SleuthFile& file = tree[path];
        file.inode = std::stoull(line.substr(4));
        file.isDirectory = line[0] == 'd';
        ReadRecord(image, &file);
        if (!file.isDirectory)
            file.content = Shell("icat " + Quote(image) + " " + std::to_string(file.inode));
    }
    return tree;
}

std::vector<uint8_t> AuditedDescriptor(const std::string& image, const std::string& path) {
    std::vector<uint8_t> bytes;
    // "        000010  14000000 02007800 05000000 00041800"
    for (const std::string& line :
         Lines(Shell("ntfssecaudit -v " + Quote(image) + " " + Quote(path.substr(1))))) {
        std::istringstream words(line);
        std::string offset;
        bool indented = !line.empty() && isspace(static_cast<unsigned char>(line[0]));
        if (!indented || !(words >> offset) || offset.size() != 6 ||
            offset.find_first_not_of("0123456789abcdef") != std::string::npos)
            continue;
        for (std::string word; words >> word;)
            for (size_t i = 0; i + 1 < word.size(); i += 2)
                bytes.push_back(uint8_t(std::stoul(word.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

std::map<std::string, std::string> Namespaces(const std::string& image, const std::string& path) {
    std::map<std::string, std::string> names;
    std::string space;
    for (const std::string& line :
         Lines(Shell("ntfsinfo -F " + Quote(path) + " " + Quote(image)))) {
        size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        std::string key = line.substr(0, colon), value = line.substr(colon + 1);
        value.erase(0, value.find_first_not_of(" \t"));
        if (key == "\tNamespace") space = value;
        if (key == "\tFilename" && value.size() >= 2)
            names[value.substr(1, value.size() - 2)] = space;
    }
    return names;
}

}  // namespace ntfstest
