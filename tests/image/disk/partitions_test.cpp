// The partition reader against sfdisk (numbers, sectors, types, GUIDs, the disk's
// signature), mmls (sectors) and blkid (file systems) on images made with sfdisk,
// mkfs.fat, mkntfs and mke2fs; then damaged and crafted tables.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <map>
#include <set>
#include <sstream>

#include "platform/image/disk/byte_order.h"
#include "platform/image/disk/partitions.h"
#include "tests/image/disk/disk_test_support.h"

using namespace disktest;

namespace {

constexpr uint64_t kMiB = 1024 * 1024;

struct Expected {
    int number;
    uint64_t start, sectors;
    std::string type, uuid;
};

// sfdisk's dump: "IMAGE5 : start=  45056, size=  16384, type=7, uuid=..." and the
// disk's "label-id:".
std::vector<Expected> SfdiskPartitions(const std::string& image, std::string* labelId) {
    std::vector<Expected> found;
    std::istringstream dump(Shell("sfdisk -d " + Quote(image) + " 2>/dev/null"));
    for (std::string line; std::getline(dump, line);) {
        if (line.rfind("label-id: ", 0) == 0) *labelId = line.substr(10);
        size_t colon = line.find(" : ");
        if (colon == std::string::npos) continue;
        Expected entry{std::stoi(line.substr(image.size(), colon - image.size())), 0, 0, "", ""};
        std::istringstream fields(line.substr(colon + 3));
        for (std::string field; std::getline(fields, field, ',');) {
            field.erase(0, field.find_first_not_of(' '));
            std::string key = field.substr(0, field.find('='));
            std::string value = field.substr(field.find('=') + 1);
            value.erase(0, value.find_first_not_of(' '));
            if (key == "start") entry.start = std::stoull(value);
            if (key == "size") entry.sectors = std::stoull(value);
            if (key == "type") entry.type = value;
            if (key == "uuid") entry.uuid = value;
        }
        bool extended = entry.type == "5" || entry.type == "f" || entry.type == "85";
        if (!extended) found.push_back(entry);
    }
    return found;
}

// The allocated rows of mmls: start and length in sectors.
std::set<std::pair<uint64_t, uint64_t>> MmlsPartitions(const std::string& image) {
    std::set<std::pair<uint64_t, uint64_t>> found;
    std::istringstream table(Shell("mmls " + Quote(image)));
    for (std::string line; std::getline(table, line);) {
        std::istringstream words(line);
        std::string row, slot;
        uint64_t start, end, length;
        if (!(words >> row >> slot >> start >> end >> length)) continue;
        if (slot.find_first_not_of("0123456789:") == std::string::npos)
            found.insert({start, length});
    }
    return found;
}

// What blkid finds in the volume, in the reader's words.
std::string BlkidFileSystem(const std::string& image, uint64_t offset, uint64_t length) {
    std::string output;
    ShellStatus("blkid -p -O " + std::to_string(offset) + " -S " + std::to_string(length) +
                    " -o export " + Quote(image),
                &output);
    std::map<std::string, std::string> tags;
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);)
        tags[line.substr(0, line.find('='))] = line.substr(line.find('=') + 1);
    const std::string& type = tags["TYPE"];
    if (type == "vfat") return tags["VERSION"];
    if (type == "ntfs") return "NTFS";
    if (type.rfind("ext", 0) == 0) return "ext";
    if (type == "iso9660") return "ISO 9660";
    return type.empty() ? "unknown" : type;
}

std::string LowerHex(uint32_t value) {
    char text[16];
    snprintf(text, sizeof text, "0x%08x", value);
    return text;
}

std::vector<Partition> Partitions(const std::string& image, std::string* error) {
    std::string openError;
    std::unique_ptr<BlockDevice> device = OpenFileDevice(image, true, &openError);
    EXPECT_TRUE(device) << openError;
    return device ? ReadPartitions(*device, error) : std::vector<Partition>();
}

// Every partition of the image as sfdisk, mmls and blkid see it.
void ExpectOracles(const std::string& image) {
    std::string error, labelId;
    std::vector<Partition> partitions = Partitions(image, &error);
    EXPECT_EQ(error, "");
    std::vector<Expected> expected = SfdiskPartitions(image, &labelId);
    ASSERT_EQ(partitions.size(), expected.size());
    std::set<std::pair<uint64_t, uint64_t>> extents;
    for (size_t i = 0; i < expected.size(); ++i) {
        const Partition& partition = partitions[i];
        SCOPED_TRACE("partition " + std::to_string(expected[i].number));
        EXPECT_EQ(partition.number, expected[i].number);
        EXPECT_EQ(partition.offset, expected[i].start * 512);
        EXPECT_EQ(partition.length, expected[i].sectors * 512);
        if (partition.scheme == PartitionScheme::kGpt) {
            EXPECT_EQ(GuidText(partition.typeGuid), expected[i].type);
            EXPECT_EQ(GuidText(partition.partitionGuid), expected[i].uuid);
        } else {
            EXPECT_EQ(partition.mbrType, std::stoul(expected[i].type, nullptr, 16));
            EXPECT_EQ(LowerHex(partition.diskSignature), labelId);
        }
        EXPECT_EQ(partition.fileSystem.name,
                  BlkidFileSystem(image, partition.offset, partition.length));
        extents.insert({partition.offset / 512, partition.length / 512});
    }
    EXPECT_EQ(extents, MmlsPartitions(image));
}

class PartitionsTest : public ::testing::Test {
  protected:
    std::string Image(const std::string& name) const { return m_dir.File(name); }
    TempDir m_dir;
};

TEST_F(PartitionsTest, MbrWithLogicalPartitionsMatchesTheOracles) {
    std::string image = Image("mbr.img");
    MakePartitionedDisk(image, 160 * kMiB,
                        "label: dos\nlabel-id: 0x1234abcd\n"
                        "start=2048, size=8192, type=1\n"
                        "start=10240, size=32768, type=6, bootable\n"
                        "start=43008, type=5\n"
                        "start=45056, size=16384, type=7\n"
                        "start=63488, size=8192, type=83\n"
                        "start=73728, size=81920, type=c\n"
                        "start=157696, size=4096, type=da\n");
    FormatFat(image, 12, 2048, 8192);
    FormatFat(image, 16, 10240, 32768);
    FormatNtfs(image, 45056, 16384);
    Shell("mke2fs -q -F -t ext2 -E offset=" + std::to_string(63488 * 512) + " " + Quote(image) +
          " 4096");
    Shell("mkfs.fat -F 32 -s 1 --offset=73728 " + Quote(image) + " 40960 >/dev/null 2>&1");
    ExpectOracles(image);
}

TEST_F(PartitionsTest, MbrWithEmptySlotsAndExtendedFirstMatchesTheOracles) {
    std::string image = Image("slots.img");
    MakePartitionedDisk(image, 64 * kMiB,
                        "label: dos\n"
                        "start=2048, size=40960, type=f\n"
                        "start=43008, size=8192, type=7\n"
                        "start=51200, size=4096, type=e\n"
                        "start=4096, size=2048, type=6\n"
                        "start=8192, size=2048, type=6\n"
                        "start=12288, size=2048, type=6\n"
                        "start=16384, size=2048, type=6\n"
                        "start=20480, size=2048, type=6\n");
    Shell(kSfdisk + " --delete " + Quote(image) + " 2 >/dev/null 2>&1");
    ExpectOracles(image);
    std::string error;
    std::vector<Partition> partitions = Partitions(image, &error);
    ASSERT_EQ(partitions.size(), 6u);
    EXPECT_EQ(partitions[0].number, 3);
    EXPECT_EQ(partitions[5].number, 9);
}

TEST_F(PartitionsTest, GptMatchesTheOracles) {
    std::string image = Image("gpt.img");
    MakePartitionedDisk(image, 128 * kMiB,
                        "label: gpt\n"
                        "table-length: 200\n"
                        "start=2048, size=32768, type=EBD0A0A2-B9C5-4433-87C0-68B6B7264A4F\n"
                        "start=34816, size=16384, type=E3C9E316-0B5C-4DB8-817D-F92DF00215AE\n"
                        "start=51200, size=16384, type=EBD0A0A2-B9C5-4433-87C0-68B6B7264A4F\n"
                        "start=67584, size=81920, type=EBD0A0A2-B9C5-4433-87C0-68B6B7264A4F\n"
                        "start=151552, size=4096, type=0FC63DAF-8483-4772-8E79-3D69D8477DE4\n");
    Shell(kSfdisk + " --delete " + Quote(image) + " 2 >/dev/null 2>&1");
    FormatFat(image, 16, 2048, 32768);
    FormatNtfs(image, 51200, 16384);
    Shell("mkfs.fat -F 32 -s 1 --offset=67584 " + Quote(image) + " 40960 >/dev/null 2>&1");
    ExpectOracles(image);
}

TEST_F(PartitionsTest, VolumeWithoutPartitionTableIsNumberedZero) {
    struct Case {
        const char* make;
        const char* fileSystem;
    } cases[] = {
        {"mkfs.fat -C %s 1440", "FAT12"},
        {"mkfs.fat -F 16 -C %s 16384", "FAT16"},
        {"mkfs.fat -F 32 -s 1 -C %s 40960", "FAT32"},
        {"truncate -s 8M %s && mkntfs -q -F -Q -s 512 %s", "NTFS"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fileSystem);
        std::string image = Image(std::string("bare-") + c.fileSystem);
        std::string make = c.make;
        for (size_t at; (at = make.find("%s")) != std::string::npos;)
            make.replace(at, 2, Quote(image));
        Shell(make + " >/dev/null 2>&1");
        std::string error;
        std::vector<Partition> partitions = Partitions(image, &error);
        EXPECT_EQ(error, "");
        ASSERT_EQ(partitions.size(), 1u);
        EXPECT_EQ(partitions[0].number, 0);
        EXPECT_EQ(partitions[0].offset, 0u);
        EXPECT_EQ(partitions[0].scheme, PartitionScheme::kNone);
        EXPECT_EQ(partitions[0].fileSystem.name, c.fileSystem);
        EXPECT_EQ(partitions[0].fileSystem.name, BlkidFileSystem(image, 0, partitions[0].length));
    }
}

// ---- GPT damaged or crafted ------------------------------------------------------

class GptTest : public PartitionsTest {
  protected:
    void SetUp() override {
        m_image = Image("gpt.img");
        MakePartitionedDisk(m_image, 4 * kMiB,
                            "label: gpt\n"
                            "start=2048, size=2048, type=EBD0A0A2-B9C5-4433-87C0-68B6B7264A4F\n"
                            "start=4096, size=2048, type=EBD0A0A2-B9C5-4433-87C0-68B6B7264A4F\n");
        m_disk = ReadFile(m_image);
        m_lastLba = m_disk.size() / 512 - 1;
    }

    // Changes the header at `lba` and gives it its right checksum again.
    void ChangeHeader(uint64_t lba, size_t offset, uint32_t value) {
        uint8_t* header = m_disk.data() + lba * 512;
        PutLe32(header + offset, value);
        PutLe32(header + 16, 0);
        PutLe32(header + 16, uint32_t(crc32(0, header, std::min(Le32(header + 12), 512u))));
    }

    std::vector<Partition> Read(std::string* error) {
        MemoryDevice device(m_disk);
        return ReadPartitions(device, error);
    }

    std::string m_image;
    Bytes m_disk;
    uint64_t m_lastLba;
};

TEST_F(GptTest, DamagedPrimaryHeaderOrEntriesFallBackToTheBackup) {
    Bytes sound = m_disk;
    for (uint64_t damaged : {uint64_t(512 + 30), uint64_t(1024 + 40)}) {
        m_disk = sound;
        m_disk[damaged] ^= 0x55;
        WriteFile(m_image, m_disk);
        SCOPED_TRACE(damaged);
        std::string error;
        std::vector<Partition> partitions = Read(&error);
        EXPECT_NE(error.find("backup at sector " + std::to_string(m_lastLba) + " was used"),
                  std::string::npos)
            << error;
        ASSERT_EQ(partitions.size(), 2u);
        std::string labelId;
        std::vector<Expected> expected = SfdiskPartitions(m_image, &labelId);
        ASSERT_EQ(expected.size(), 2u);
        EXPECT_EQ(partitions[1].offset, expected[1].start * 512);
        EXPECT_EQ(GuidText(partitions[1].partitionGuid), expected[1].uuid);
    }
}

TEST_F(GptTest, BothHeadersDamagedGiveNoPartitions) {
    m_disk[512 + 30] ^= 1;
    m_disk[m_lastLba * 512 + 30] ^= 1;
    std::string error;
    EXPECT_TRUE(Read(&error).empty());
    EXPECT_NE(error.find("no sound GPT"), std::string::npos) << error;
}

TEST_F(GptTest, AbsurdHeaderFieldsAreRefused) {
    struct Case {
        size_t offset;
        uint32_t value;
        const char* expected;
    } cases[] = {
        {12, 0xFFFFFFFF, "header size"}, {12, 40, "header size"},
        {80, 0xFFFFFFFF, "entries"},     {80, 40000, "entries"},
        {84, 0x80000000, "entry size"},  {84, 100, "entry size"},
        {72, 0xFFFFFFF0, "do not fit"},  {48, 0xFFFFFFFF, "usable sectors"},
    };
    Bytes sound = m_disk;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expected);
        m_disk = sound;
        ChangeHeader(1, c.offset, c.value);
        ChangeHeader(m_lastLba, c.offset, c.value);
        std::string error;
        EXPECT_TRUE(Read(&error).empty());
        EXPECT_NE(error.find(c.expected), std::string::npos) << error;
    }
}

TEST_F(GptTest, EntriesThatOverlapOrLeaveTheDiskAreRefusedAlone) {
    // Entry 2 made to start inside entry 1, then to end past the disk.
    for (uint64_t first : {uint64_t(3000), uint64_t(4096)}) {
        Bytes changed = m_disk;
        uint8_t* entry = changed.data() + 1024 + 128;
        PutLe64(entry + 32, first);
        if (first == 4096) PutLe64(entry + 40, m_lastLba + 100);
        uint8_t* header = changed.data() + 512;
        PutLe32(header + 88, uint32_t(crc32(0, changed.data() + 1024, 128 * 128)));
        PutLe32(header + 16, 0);
        PutLe32(header + 16, uint32_t(crc32(0, header, 92)));
        MemoryDevice device(changed);
        std::string error;
        std::vector<Partition> partitions = ReadPartitions(device, &error);
        ASSERT_EQ(partitions.size(), 1u);
        EXPECT_EQ(partitions[0].number, 1);
        EXPECT_NE(error.find("partition 2"), std::string::npos) << error;
    }
}

// ---- MBR crafted ------------------------------------------------------------------

class CraftedMbrTest : public ::testing::Test {
  protected:
    CraftedMbrTest() : m_disk(8 * kMiB) { Sign(0); }

    void Sign(uint64_t sector) {
        m_disk[sector * 512 + 510] = 0x55;
        m_disk[sector * 512 + 511] = 0xAA;
    }

    void Entry(uint64_t sector, int slot, uint8_t type, uint32_t start, uint32_t count) {
        uint8_t* entry = m_disk.data() + sector * 512 + 446 + 16 * slot;
        entry[4] = type;
        PutLe32(entry + 8, start);
        PutLe32(entry + 12, count);
    }

    std::vector<Partition> Read(std::string* error) {
        MemoryDevice device(m_disk);
        return ReadPartitions(device, error);
    }

    static std::vector<int> Numbers(const std::vector<Partition>& partitions) {
        std::vector<int> numbers;
        for (const Partition& partition : partitions) numbers.push_back(partition.number);
        return numbers;
    }

    Bytes m_disk;
};

TEST_F(CraftedMbrTest, OverlappingAndOversizedPrimariesAreRefusedAlone) {
    Entry(0, 0, 0x07, 2048, 4096);
    Entry(0, 1, 0x07, 4000, 1000);        // inside the first
    Entry(0, 2, 0x07, 8192, 0xFFFFFFFF);  // far past the end
    Entry(0, 3, 0x07, 10000, 2000);
    std::string error;
    EXPECT_EQ(Numbers(Read(&error)), (std::vector<int>{1, 4}));
    EXPECT_NE(error.find("partition 2 overlaps partition 1"), std::string::npos) << error;
    EXPECT_NE(error.find("partition 3 reaches past the end"), std::string::npos) << error;
}

TEST_F(CraftedMbrTest, LogicalPartitionsOutsideTheirExtendedOneAreRefused) {
    Entry(0, 0, 0x05, 2048, 4096);
    Sign(2048);
    Entry(2048, 0, 0x07, 2048, 8192);  // runs out of the extended partition
    Entry(2048, 1, 0x05, 1024, 1024);
    Sign(3072);
    Entry(3072, 0, 0x07, 64, 512);
    std::string error;
    EXPECT_EQ(Numbers(Read(&error)), (std::vector<int>{6}));
    EXPECT_NE(error.find("partition 5 lies outside its extended partition"), std::string::npos)
        << error;
}

TEST_F(CraftedMbrTest, ChainsThatLoopStopAtTheLoop) {
    Entry(0, 0, 0x0F, 2048, 8192);
    for (uint32_t record : {0u, 1024u, 2048u}) {
        Sign(2048 + record);
        Entry(2048 + record, 0, 0x07, 64, 256);
        Entry(2048 + record, 1, 0x05, record == 2048 ? 1024 : record + 1024, 1024);
    }
    std::string error;
    EXPECT_EQ(Numbers(Read(&error)), (std::vector<int>{5, 6, 7}));
    EXPECT_NE(error.find("loops back to the extended boot record at sector 3072"),
              std::string::npos)
        << error;
}

TEST_F(CraftedMbrTest, OverlongChainsStop) {
    Entry(0, 0, 0x05, 2048, 16383 - 2048);
    for (uint32_t record = 0; 2048 + record + 4 < 16383; record += 4) {
        Sign(2048 + record);
        Entry(2048 + record, 0, 0x07, 1, 2);
        Entry(2048 + record, 1, 0x05, record + 4, 4);
    }
    std::string error;
    std::vector<Partition> partitions = Read(&error);
    EXPECT_EQ(partitions.size(), 256u);
    EXPECT_EQ(partitions.back().number, 260);
    EXPECT_NE(error.find("longer than 256"), std::string::npos) << error;
}

TEST_F(CraftedMbrTest, WhatIsNoPartitionTableIsRefused) {
    std::string error;
    m_disk[510] = 0;
    EXPECT_TRUE(Read(&error).empty());
    EXPECT_NE(error.find("no partition table"), std::string::npos) << error;
    Sign(0);
    Entry(0, 0, 0x07, 2048, 4096);
    m_disk[446 + 16] = 0x12;  // the boot flag of entry 2
    EXPECT_TRUE(Read(&error).empty());
    EXPECT_NE(error.find("boot flag"), std::string::npos) << error;
    m_disk.resize(100);
    EXPECT_TRUE(Read(&error).empty());
    EXPECT_NE(error.find("too small"), std::string::npos) << error;
}

}  // namespace
