// Reading images other programs made, short names as Windows gives them, and images that
// are not FAT or are broken in the ways a hostile image would be.
#include <gtest/gtest.h>

#include <fstream>
#include <random>

#include "platform/image/block_device.h"
#include "platform/image/fat/names.h"
#include "platform/image/fat/volume.h"
#include "tests/image/fat/oracles.h"

namespace {

using fattest::Quote;

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteAll(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

void Patch(const std::string& path, uint64_t offset, const std::string& bytes) {
    std::fstream file(path, std::ios::binary | std::ios::in | std::ios::out);
    file.seekp(std::streamoff(offset));
    file.write(bytes.data(), std::streamsize(bytes.size()));
}

std::string Le(uint32_t value, int bytes) {
    std::string out;
    for (int i = 0; i < bytes; ++i) out += char(value >> (8 * i));
    return out;
}

// Where the boot sector puts things, read back by the test itself.
struct Geometry {
    explicit Geometry(const std::string& image) {
        std::string boot = ReadAll(image).substr(0, 512);
        auto le = [&](int at, int bytes) {
            uint32_t value = 0;
            for (int i = bytes - 1; i >= 0; --i) value = value << 8 | uint8_t(boot[at + i]);
            return value;
        };
        sector = le(11, 2);
        cluster = sector * le(13, 1);
        fats = le(16, 1);
        fatBytes = sector * (le(22, 2) ? le(22, 2) : le(36, 4));
        fatOffset = sector * le(14, 2);
        rootOffset = fatOffset + uint64_t(fats) * fatBytes;
        dataOffset = rootOffset + le(17, 2) * 32;
    }
    uint64_t EntryOffset(uint64_t id) const {
        uint32_t folder = uint32_t(id >> 32), slot = uint32_t(id);
        uint64_t start = folder == 0 ? rootOffset : dataOffset + uint64_t(folder - 2) * cluster;
        return start + slot * 32ull;  // the folders patched here lie in one cluster
    }
    uint32_t sector, cluster, fats;
    uint64_t fatBytes, fatOffset, rootOffset, dataOffset;
};

class Image {
  public:
    Image(int type, uint64_t bytes, int sectorsPerCluster = 1) : m_path(m_dir.File("v.img")) {
        fattest::MakeImage(m_path, type, bytes, sectorsPerCluster);
    }
    const std::string& Path() const { return m_path; }
    const fattest::TempDir& Dir() const { return m_dir; }
    void Mtools(const std::string& tool, const std::string& args) {
        int status = 0;
        std::string out = fattest::Mtools(tool, m_path, args, &status);
        EXPECT_EQ(status, 0) << tool << " " << args << ": " << out;
    }
    // A host file of `content` copied in as `path`.
    void Copy(const std::string& content, const std::string& path) {
        std::string host = m_dir.File("host");
        WriteAll(host, content);
        Mtools("mcopy", "-o " + Quote(host) + " " + Quote("::" + path));
    }
    std::unique_ptr<fat::Volume> Open(bool readOnly = false) {
        std::string error;
        m_device = OpenFileDevice(m_path, readOnly, &error);
        EXPECT_TRUE(m_device) << error;
        std::unique_ptr<fat::Volume> volume = fat::Volume::Open(*m_device, &error);
        EXPECT_TRUE(volume) << error;
        return volume;
    }
    std::string OpenError() {
        std::string error;
        m_device = OpenFileDevice(m_path, true, &error);
        if (!m_device) return error;
        EXPECT_FALSE(fat::Volume::Open(*m_device, &error)) << "opened";
        return error;
    }

  private:
    fattest::TempDir m_dir;
    std::string m_path;
    std::unique_ptr<BlockDevice> m_device;
};

std::string RandomBytes(size_t count, unsigned seed) {
    std::mt19937 rng(seed);
    std::string bytes(count, '\0');
    for (char& c : bytes) c = char(rng());
    return bytes;
}

std::string ReadFile(fat::Volume& volume, const std::string& path, uint64_t offset = 0,
                     size_t count = 1 << 20) {
    std::string bytes(count, '\0');
    size_t got = 0;
    EXPECT_TRUE(volume.Read(path, offset, &bytes[0], count, &got)) << volume.LastError();
    bytes.resize(got);
    return bytes;
}

class MtoolsImage : public testing::TestWithParam<int> {};

TEST_P(MtoolsImage, ReadsNamesAttributesAndBytesAsMtoolsWroteThem) {
    int type = GetParam();
    Image image(type, type == 32 ? 34 << 20 : type == 16 ? 4 << 20 : 1440 << 10);
    image.Mtools("mmd", "::/Program\\ Files ::/Program\\ Files/Deeper ::/EMPTY");
    std::string big = RandomBytes(100000, 1);
    image.Copy(big, "/Program Files/Deeper/Big data file.bin");
    image.Copy("hello\n", "/readme.txt");
    image.Copy("upper\n", "/ABC.TXT");
    image.Copy("omega\n", "/Ωmega ünïcode name.txt");
    image.Copy("sys\n", "/a+b.txt");
    image.Mtools("mattrib", "+h +r ::/ABC.TXT");
    image.Mtools("mattrib", "+s -a ::/a+b.txt");
    auto oracle = fattest::MtoolsTree(image.Path());
    auto volume = image.Open();
    ASSERT_TRUE(volume);
    EXPECT_EQ(volume->Type(), type);

    // Every name mtools sees, the volume lists with the same short name, size and
    // attributes, and reads with the same bytes.
    size_t listed = 0;
    std::vector<std::string> folders = {"/"};
    for (size_t i = 0; i < folders.size(); ++i) {
        std::vector<fat::Entry> entries;
        std::string error;
        ASSERT_TRUE(volume->List(folders[i], &entries, &error)) << error;
        for (const fat::Entry& entry : entries) {
            std::string path = (folders[i] == "/" ? "" : folders[i]) + "/" + entry.name;
            ++listed;
            ASSERT_TRUE(oracle.count(path)) << path;
            const fattest::OracleEntry& seen = oracle[path];
            EXPECT_EQ(fat::NameKey(entry.shortName), fat::NameKey(seen.shortName)) << path;
            EXPECT_EQ(entry.isDirectory, seen.isDirectory) << path;
            EXPECT_EQ(entry.size, seen.size) << path;
            EXPECT_EQ(entry.attributes & 0x27, seen.attributes) << path;
            if (entry.isDirectory) {
                folders.push_back(path);
            } else {
                EXPECT_TRUE(ReadFile(*volume, path) == seen.content) << path;
            }
        }
    }
    EXPECT_EQ(listed, oracle.size());

    // Either name, in any case, names the same file.
    fat::Entry byLong, byShort;
    ASSERT_TRUE(volume->Stat("/program files/DEEPER/big DATA file.BIN", &byLong));
    ASSERT_TRUE(volume->Stat("/PROGRA~1/Deeper/" + byLong.shortName, &byShort));
    EXPECT_EQ(byLong.id, byShort.id);
    EXPECT_EQ(byLong.name, "Big data file.bin");
    ASSERT_TRUE(volume->Stat("/ΩMEGA ÜNÏCODE NAME.TXT", &byLong)) << volume->LastError();
    // Windows NT's case bits: no long name, shown in lower case.
    ASSERT_TRUE(volume->Stat("/README.TXT", &byShort));
    EXPECT_EQ(byShort.name, "readme.txt");
    EXPECT_EQ(byShort.shortName, "README.TXT");

    // Reads at any offset, across clusters, and past the end.
    const std::string path = "/Program Files/Deeper/Big data file.bin";
    for (uint64_t offset : {0ull, 1ull, 511ull, 512ull, 4095ull, 65537ull, 99999ull}) {
        EXPECT_TRUE(ReadFile(*volume, path, offset, 3000) == big.substr(offset, 3000)) << offset;
    }
    EXPECT_EQ(ReadFile(*volume, path, 100000, 10), "");
    EXPECT_EQ(ReadFile(*volume, path, 1ull << 40, 10), "");
    fat::Entry missing;
    EXPECT_FALSE(volume->Stat("/Program Files/nothing", &missing));
    EXPECT_FALSE(volume->Stat("/readme.txt/below", &missing));
    EXPECT_FALSE(volume->Stat("/Program Files/../readme.txt", &missing));
    std::vector<fat::Entry> entries;
    std::string error;
    EXPECT_FALSE(volume->List("/readme.txt", &entries, &error));
    EXPECT_TRUE(volume->List("/EMPTY", &entries, &error)) << error;
    EXPECT_TRUE(entries.empty());
}

std::string TypeName(const testing::TestParamInfo<int>& type) {
    return "Fat" + std::to_string(type.param);
}

INSTANTIATE_TEST_SUITE_P(Types, MtoolsImage, testing::Values(12, 16, 32), TypeName);

TEST(ShortNames, FollowWindowsRulesAndMtoolsReadsThem) {
    const char* const kCases[][2] = {
        {"README.TXT", "README.TXT"},
        {"notes.txt", "NOTES.TXT"},
        {"Long file name.txt", "LONGFI~1.TXT"},
        {"Long file name 2.txt", "LONGFI~2.TXT"},
        {"a+b.txt", "A_B~1.TXT"},
        {"my.file.name.txt", "MYFILE~1.TXT"},
        {".htaccess", "HTACCE~1"},
        {"x y.z", "XY~1.Z"},
        {"Ωmega.bin", "ΩMEGA.BIN"},
        {"éclair.txt", "ÉCLAIR.TXT"},
        {"日本.txt", "__~1.TXT"},
        {"ÿ.txt", "_~1.TXT"},
        {"archive.tar.gz", "ARCHIV~1.GZ"},
        {"page.html", "PAGE~1.HTM"},
        {"ABCDEFGHI", "ABCDEF~1"},
        {"NOTES.TXT.bak", "NOTEST~1.BAK"},
        {"Notes.Txt.", ""},
        {"what?.txt", ""},
        {"notes.TXT", ""},  // taken: another case of notes.txt
    };
    Image image(16, 4 << 20);
    auto volume = image.Open();
    ASSERT_TRUE(volume);
    for (const auto& c : kCases) {
        bool created = volume->Create(std::string("/") + c[0]);
        ASSERT_EQ(created, *c[1] != '\0') << c[0] << ": " << volume->LastError();
        if (!created) continue;
        fat::Entry entry;
        ASSERT_TRUE(volume->Stat(std::string("/") + c[0], &entry));
        EXPECT_EQ(entry.shortName, c[1]) << c[0];
    }
    for (int i = 1; i <= 11; ++i) {
        std::string name = "/Program Files " + std::to_string(i);
        ASSERT_TRUE(volume->Create(name));
        fat::Entry entry;
        ASSERT_TRUE(volume->Stat(name, &entry));
        EXPECT_EQ(entry.shortName,
                  i < 10 ? "PROGRA~" + std::to_string(i) : "PROGR~" + std::to_string(i));
    }
    ASSERT_TRUE(volume->Flush());
    volume.reset();
    EXPECT_EQ(fattest::FsckComplaints(image.Path()), "");
    auto oracle = fattest::MtoolsTree(image.Path());
    for (const auto& c : kCases) {
        if (!*c[1]) continue;
        std::string path = std::string("/") + c[0];
        ASSERT_TRUE(oracle.count(path)) << path;
        EXPECT_EQ(oracle[path].shortName, c[1]) << path;
        // A name that is its own short name has no long-name entries.
        EXPECT_EQ(oracle[path].hasLongName, strcmp(c[0], c[1]) != 0) << path;
    }
}

TEST(RootFolder, FillsUpAndSaysSo) {
    fattest::TempDir dir;
    std::string path = dir.File("v.img");
    fattest::MakeImage(path, 12, 1440 * 1024, 1, 32);
    std::string error;
    auto device = OpenFileDevice(path, false, &error);
    auto volume = fat::Volume::Open(*device, &error);
    ASSERT_TRUE(volume) << error;
    int created = 0;
    while (volume->Create("/F" + std::to_string(created) + ".TXT")) ++created;
    EXPECT_EQ(created, 32);
    EXPECT_NE(volume->LastError().find("root folder is full"), std::string::npos);
    ASSERT_TRUE(volume->Flush());
    EXPECT_EQ(fattest::FsckComplaints(path), "");
    EXPECT_EQ(fattest::MtoolsTree(path).size(), 32u);
}

TEST(ReadOnly, NothingIsChangedNorWritten) {
    Image image(12, 1440 * 1024);
    image.Copy("data", "/FILE.TXT");
    std::string before = ReadAll(image.Path());
    auto volume = image.Open(true);
    ASSERT_TRUE(volume);
    EXPECT_TRUE(volume->IsReadOnly());
    EXPECT_FALSE(volume->Create("/NEW.TXT"));
    EXPECT_NE(volume->LastError().find("read-only"), std::string::npos);
    EXPECT_FALSE(volume->Write("/FILE.TXT", 0, "x", 1));
    EXPECT_FALSE(volume->Truncate("/FILE.TXT", 0));
    EXPECT_FALSE(volume->Remove("/FILE.TXT"));
    EXPECT_FALSE(volume->Rename("/FILE.TXT", "/OTHER.TXT"));
    EXPECT_FALSE(volume->SetAttributes("/FILE.TXT", 0x01));
    EXPECT_TRUE(volume->Flush());
    EXPECT_EQ(ReadAll(image.Path()), before);
    EXPECT_EQ(ReadFile(*volume, "/file.txt"), "data");
}

// Each case spoils one thing in a sound FAT16 image; Open must refuse it, with a reason.
TEST(Refused, WhatIsNotFatOrCannotBeTrusted) {
    struct Spoil {
        const char* what;
        uint64_t offset;
        std::string bytes;
    };
    const Spoil kSpoils[] = {
        {"no jump", 0, std::string(1, '\0')},
        {"sector size 513", 11, Le(513, 2)},
        {"sector size 256", 11, Le(256, 2)},
        {"3 sectors a cluster", 13, Le(3, 1)},
        {"no reserved sectors", 14, Le(0, 2)},
        {"no FAT", 16, Le(0, 1)},
        {"no root entries", 17, Le(0, 2)},
        {"media byte", 21, Le(0x12, 1)},
        {"FAT of no size", 22, Le(0, 2) + Le(0, 2)},
        {"FAT of a sector", 22, Le(1, 2)},
        {"more sectors than the device", 19, Le(0, 2) + Le(0, 2) + Le(0, 2) + Le(0, 4) + Le(0, 4)},
        {"FAT32 count of clusters in FAT16 fields", 19, Le(0, 2)},
    };
    for (const Spoil& spoil : kSpoils) {
        Image image(16, 4 << 20);
        if (std::string(spoil.what) == "more sectors than the device") {
            Patch(image.Path(), 32, Le(16 << 20 >> 9, 4));
        } else if (std::string(spoil.what).find("FAT32 count") == 0) {
            Patch(image.Path(), 32, Le(512 << 20 >> 9, 4));
            fattest::Shell("truncate -s 512M " + Quote(image.Path()));
        }
        Patch(image.Path(), spoil.offset, spoil.bytes);
        EXPECT_NE(image.OpenError(), "") << spoil.what;
    }
    Image fat32(32, 34 << 20);
    Patch(fat32.Path(), 44, Le(0x0FFFFFF0, 4));
    EXPECT_NE(fat32.OpenError(), "") << "FAT32 root cluster past the end";
    Image truncated(32, 34 << 20);
    fattest::Shell("truncate -s 20M " + Quote(truncated.Path()));
    EXPECT_NE(truncated.OpenError().find("truncated"), std::string::npos);
    for (uint64_t size : {0, 100, 511, 512, 4096, 1 << 20}) {
        Image noise(12, 1440 * 1024);
        WriteAll(noise.Path(), RandomBytes(size_t(size), unsigned(size)));
        EXPECT_NE(noise.OpenError(), "") << size << " random bytes";
    }
}

// A FAT16 image with three files of three clusters; the test then breaks it.
class Broken : public testing::Test {
  protected:
    void SetUp() override {
        m_image.Mtools("mmd", "::/Sub");
        for (const char* name : {"A.BIN", "B.BIN", "C.BIN"})
            m_image.Copy(RandomBytes(1536, name[0]), std::string("/Sub/") + name);
        m_image.Copy("root file", "/ROOT.TXT");
        auto volume = m_image.Open(true);
        ASSERT_TRUE(volume);
        for (const char* name : {"A.BIN", "B.BIN", "C.BIN"}) {
            ASSERT_TRUE(volume->Stat(std::string("/Sub/") + name, &m_entries[name[0] - 'A']));
        }
    }
    Image m_image{16, 4 << 20};
    fat::Entry m_entries[3];
    // A FAT16 entry, in both copies.
    void SetNext(uint32_t cluster, uint32_t next) {
        Geometry geometry(m_image.Path());
        for (uint32_t copy = 0; copy < geometry.fats; ++copy)
            Patch(m_image.Path(), geometry.fatOffset + copy * geometry.fatBytes + cluster * 2,
                  Le(next, 2));
    }
    uint32_t First(char file) const { return m_entries[file - 'A'].firstCluster; }
    // No change reaches file `file`, and nothing in the image changes.
    void ExpectUnchangeable(const std::string& path) {
        std::string before = ReadAll(m_image.Path());
        auto volume = m_image.Open();
        ASSERT_TRUE(volume);
        EXPECT_FALSE(volume->Write(path, 0, "x", 1)) << path;
        EXPECT_FALSE(volume->Write(path, 5000, "x", 1)) << path;
        EXPECT_FALSE(volume->Truncate(path, 0)) << path;
        EXPECT_FALSE(volume->Truncate(path, 10000)) << path;
        EXPECT_FALSE(volume->Remove(path)) << path;
        EXPECT_TRUE(volume->Flush());
        EXPECT_TRUE(ReadAll(m_image.Path()) == before) << path << ": the image changed";
        // A sound file elsewhere can still be changed.
        EXPECT_TRUE(volume->Write("/ROOT.TXT", 0, "ROOT", 4)) << volume->LastError();
    }
    bool Readable(const std::string& path) {
        auto volume = m_image.Open(true);
        char buffer[4096];
        size_t got;
        return volume && volume->Read(path, 0, buffer, sizeof buffer, &got);
    }
};

TEST_F(Broken, LoopingChain) {
    SetNext(First('A') + 2, First('A'));
    EXPECT_FALSE(Readable("/Sub/A.BIN"));
    EXPECT_TRUE(Readable("/Sub/B.BIN"));
    ExpectUnchangeable("/Sub/A.BIN");
}

TEST_F(Broken, CrossedChains) {
    SetNext(First('B'), First('A') + 1);
    ExpectUnchangeable("/Sub/A.BIN");
    ExpectUnchangeable("/Sub/B.BIN");
    auto volume = m_image.Open();
    EXPECT_TRUE(volume->Write("/Sub/C.BIN", 0, "C", 1)) << volume->LastError();
}

TEST_F(Broken, ChainPastTheEndOrIntoReservedValues) {
    for (uint32_t next : {0x0u, 0x1u, 0xFFF7u, 0xFFF0u, 0xFF00u, 0x8000u}) {
        SetNext(First('A'), next);
        EXPECT_FALSE(Readable("/Sub/A.BIN")) << std::hex << next;
        ExpectUnchangeable("/Sub/A.BIN");
    }
}

TEST_F(Broken, AbsurdSize) {
    Geometry geometry(m_image.Path());
    Patch(m_image.Path(), geometry.EntryOffset(m_entries[0].id) + 28, Le(0xFFFFFFFF, 4));
    EXPECT_FALSE(Readable("/Sub/A.BIN"));
    ExpectUnchangeable("/Sub/A.BIN");
}

TEST_F(Broken, FolderThatHoldsItself) {
    fat::Entry sub;
    {
        auto volume = m_image.Open(true);
        ASSERT_TRUE(volume->Stat("/Sub", &sub));
    }
    // A.BIN becomes a folder whose clusters are its own folder's.
    Geometry geometry(m_image.Path());
    uint64_t at = geometry.EntryOffset(m_entries[0].id);
    Patch(m_image.Path(), at + 11, Le(0x10, 1));
    Patch(m_image.Path(), at + 26, Le(sub.firstCluster, 2));
    auto volume = m_image.Open();
    ASSERT_TRUE(volume);
    std::vector<fat::Entry> entries;
    std::string error;
    EXPECT_TRUE(volume->List("/Sub", &entries, &error));
    EXPECT_FALSE(volume->List("/Sub/A.BIN", &entries, &error));
    EXPECT_NE(error.find("cycle"), std::string::npos) << error;
    // The folder is held twice: nothing in it may change.
    EXPECT_FALSE(volume->Create("/Sub/NEW.TXT"));
    EXPECT_FALSE(volume->Write("/Sub/B.BIN", 0, "x", 1));
    EXPECT_TRUE(volume->Write("/ROOT.TXT", 0, "x", 1)) << volume->LastError();
}

}  // namespace
