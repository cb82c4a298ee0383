// Opening images: every container format told by its content and read as qemu-img
// reads it, the modes (changes that reach the image, read-only, dry run), and the locks
// (another run of the tool; a qemu-nbd of the test's own standing for a running QEMU).
#include <gtest/gtest.h>
#include <libnbd.h>

#include <memory>

#include "platform/image/disk/disk.h"
#include "platform/image/disk/journal.h"
#include "platform/image/disk/partitions.h"
#include "tests/image/disk/disk_test_support.h"

using namespace disktest;

namespace {

constexpr uint64_t kDiskSize = 8 * 1024 * 1024;

// A raw disk: an MBR with a FAT16 partition and one that begins with a pattern (so that
// its regions differ from their neighbours) and ends in zeros (which images leave out).
void MakeRawDisk(const std::string& path) {
    MakePartitionedDisk(path, kDiskSize,
                        "label: dos\nstart=2048, size=8192, type=6\nstart=10240, type=da\n");
    FormatFat(path, 16, 2048, 8192);
    Patch(path, 10240 * 512, Pattern(2 * 1024 * 1024, 7));
}

std::unique_ptr<Disk> Open(const std::string& path, DiskMode mode) {
    std::string error;
    std::unique_ptr<Disk> disk = OpenDisk(path, mode, &error);
    EXPECT_TRUE(disk) << error;
    return disk;
}

std::string OpenError(const std::string& path, DiskMode mode) {
    std::string error;
    EXPECT_FALSE(OpenDisk(path, mode, &error)) << path;
    return error;
}

// Reads the device in pieces of many sizes, at offsets that are not aligned, so that
// pieces start and end inside the cache's chunks and span them.
Bytes ReadInPieces(BlockDevice& device) {
    Bytes bytes(size_t(device.Size()));
    static const size_t kPieces[] = {1, 511, 4096, 70001, 3 << 20, 65536, 13};
    for (size_t offset = 0, i = 0; offset < bytes.size(); ++i) {
        size_t piece = std::min(kPieces[i % 7], bytes.size() - offset);
        if (!device.Read(offset, bytes.data() + offset, piece)) {
            ADD_FAILURE() << "read of " << piece << " at " << offset;
            break;
        }
        offset += piece;
    }
    return bytes;
}

std::string Describe(const std::vector<Partition>& partitions) {
    std::string text;
    for (const Partition& p : partitions) {
        text += std::to_string(p.number) + ":" + std::to_string(p.offset) + "+" +
                std::to_string(p.length) + " " + p.fileSystem.name + "; ";
    }
    return text;
}

class OpenDiskTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        s_dir = new TempDir;
        s_raw = s_dir->File("raw.img");
        MakeRawDisk(s_raw);
        s_rawContent = new Bytes(ReadFile(s_raw));
    }
    static void TearDownTestSuite() {
        delete s_rawContent;
        delete s_dir;
    }

    // The raw disk converted by qemu-img, under a name that tells nothing of its format.
    std::string Convert(const std::string& options) {
        std::string image = m_dir.File("disk" + std::to_string(++m_images) + ".img");
        Shell("qemu-img convert -f raw " + options + " " + Quote(s_raw) + " " + Quote(image));
        return image;
    }

    std::string RawCopy() {
        std::string image = m_dir.File("copy" + std::to_string(++m_images) + ".vhd");
        WriteFile(image, *s_rawContent);
        return image;
    }

    static TempDir* s_dir;
    static std::string s_raw;
    static Bytes* s_rawContent;
    TempDir m_dir;
    int m_images = 0;
};

TempDir* OpenDiskTest::s_dir;
std::string OpenDiskTest::s_raw;
Bytes* OpenDiskTest::s_rawContent;

TEST_F(OpenDiskTest, EveryFormatIsToldByContentAndReadsAsTheRawDisk) {
    struct Case {
        const char* options;
        const char* format;
    } cases[] = {
        {"", "raw"},
        {"-O qcow2", "qcow2"},
        {"-O qcow2 -o compat=0.10", "qcow2"},
        {"-O qcow", "qcow"},
        {"-O vmdk", "VMDK"},
        {"-O vmdk -o subformat=monolithicFlat", "VMDK"},
        {"-O vmdk -o subformat=twoGbMaxExtentSparse", "VMDK"},
        {"-O vmdk -o subformat=streamOptimized", "VMDK"},
        {"-O vdi", "VDI"},
        {"-O vpc -o force_size=on", "VHD"},
        {"-O vpc -o force_size=on,subformat=fixed", "VHD"},
        {"-O vhdx", "VHDX"},
    };
    std::string error;
    std::string expected =
        Describe(ReadPartitions(Open(s_raw, DiskMode::kReadOnly)->Device(), &error));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.options);
        std::string image = *c.options ? Convert(c.options) : RawCopy();
        std::unique_ptr<Disk> disk = Open(image, DiskMode::kReadOnly);
        ASSERT_TRUE(disk);
        EXPECT_EQ(disk->Format(), c.format);
        ASSERT_EQ(disk->Device().Size(), kDiskSize);
        EXPECT_TRUE(ReadInPieces(disk->Device()) == *s_rawContent);
        EXPECT_EQ(Describe(ReadPartitions(disk->Device(), &error)), expected);
        EXPECT_EQ(error, "");
    }
}

TEST_F(OpenDiskTest, WhatIsNoDiskImageIsRefused) {
    std::string text = m_dir.File("notes.qcow2");
    Shell("echo 'QFI is not enough' > " + Quote(text));
    std::string zeros = m_dir.File("zeros.img");
    Shell("truncate -s 1M " + Quote(zeros));
    std::string noise = m_dir.File("noise.vhdx");
    WriteFile(noise, Pattern(100000, 3));
    for (const std::string& path : {text, zeros, noise}) {
        EXPECT_NE(OpenError(path, DiskMode::kReadOnly).find("no disk image"), std::string::npos);
    }
    EXPECT_NE(OpenError(m_dir.File("missing"), DiskMode::kReadOnly).find("No such file"),
              std::string::npos);
}

// Writes that start and end inside sectors, blocks and the cache's chunks, and one at
// the very end of the disk.
struct Change {
    uint64_t offset;
    Bytes bytes;
};
const std::vector<Change>& Changes() {
    static const std::vector<Change> changes = {
        {1001, Pattern(3, 11)},
        {65530, Pattern(10000, 12)},
        {2 * 1024 * 1024 - 7, Pattern(300000, 13)},
        {kDiskSize - 1, Pattern(1, 14)},
    };
    return changes;
}

Bytes Changed(Bytes content) {
    for (const Change& change : Changes())
        std::copy(change.bytes.begin(), change.bytes.end(), content.begin() + long(change.offset));
    return content;
}

void WriteChanges(BlockDevice& device) {
    for (const Change& change : Changes())
        EXPECT_TRUE(device.Write(change.offset, change.bytes.data(), change.bytes.size()));
}

TEST_F(OpenDiskTest, ChangesReachTheImageAtFlush) {
    Bytes expected = Changed(*s_rawContent);
    for (const char* options : {"", "-O qcow2", "-O vhdx", "-O vpc -o force_size=on", "-O vdi"}) {
        SCOPED_TRACE(options);
        std::string image = *options ? Convert(options) : RawCopy();
        {
            std::unique_ptr<Disk> disk = Open(image, DiskMode::kReadWrite);
            ASSERT_TRUE(disk);
            EXPECT_FALSE(disk->Device().IsReadOnly());
            WriteChanges(disk->Device());
            EXPECT_TRUE(ReadAll(disk->Device()) == expected);
            EXPECT_TRUE(disk->Device().Flush()) << disk->FlushError();
            std::string output;
            EXPECT_EQ(ShellStatus("test -e " + Quote(JournalPathOf(image)), &output), 1);
        }
        EXPECT_TRUE(DiskContent(image, m_dir.File("content")) == expected);
    }
}

TEST_F(OpenDiskTest, ReadOnlyRefusesWritesAndDryRunLeavesTheImageAsItWas) {
    for (const char* options : {"", "-O qcow2"}) {
        SCOPED_TRACE(options);
        std::string image = *options ? Convert(options) : RawCopy();
        Bytes before = ReadFile(image);
        {
            std::unique_ptr<Disk> disk = Open(image, DiskMode::kReadOnly);
            ASSERT_TRUE(disk);
            EXPECT_TRUE(disk->Device().IsReadOnly());
            EXPECT_FALSE(disk->Device().Write(4096, "x", 1));
        }
        {
            std::unique_ptr<Disk> disk = Open(image, DiskMode::kDryRun);
            ASSERT_TRUE(disk);
            EXPECT_FALSE(disk->Device().IsReadOnly());
            WriteChanges(disk->Device());
            EXPECT_TRUE(disk->Device().Flush());
            EXPECT_TRUE(ReadAll(disk->Device()) == Changed(*s_rawContent));
        }
        EXPECT_TRUE(ReadFile(image) == before);
        std::string output;
        EXPECT_EQ(ShellStatus("test -e " + Quote(JournalPathOf(image)), &output), 1);
    }
}

// ---- locks ------------------------------------------------------------------------

// A qemu-nbd serving the image, as a running QEMU would hold it. (Quiet: that it
// cannot get the lock, where the test expects so, is no news.)
class QemuNbd {
  public:
    QemuNbd(const std::string& path, const char* format, bool readOnly) : m_nbd(nbd_create()) {
        std::vector<const char*> argv = {"sh", "-c",  "exec \"$@\" 2>/dev/null", "sh", "qemu-nbd",
                                         "-f", format};
        if (readOnly) argv.push_back("--read-only");
        argv.push_back(path.c_str());
        argv.push_back(nullptr);
        m_connected =
            nbd_connect_systemd_socket_activation(m_nbd, const_cast<char**>(argv.data())) == 0;
    }
    ~QemuNbd() { nbd_close(m_nbd); }
    bool Connected() const { return m_connected; }

  private:
    nbd_handle* m_nbd;
    bool m_connected;
};

TEST_F(OpenDiskTest, AnotherRunIsRefusedAtOnce) {
    for (const char* options : {"", "-O qcow2"}) {
        SCOPED_TRACE(options);
        std::string image = *options ? Convert(options) : RawCopy();
        {
            std::unique_ptr<Disk> writer = Open(image, DiskMode::kReadWrite);
            for (DiskMode mode : {DiskMode::kReadWrite, DiskMode::kReadOnly, DiskMode::kDryRun}) {
                EXPECT_NE(OpenError(image, mode).find("in use by another run of this tool"),
                          std::string::npos);
            }
        }
        std::unique_ptr<Disk> reader = Open(image, DiskMode::kReadOnly);
        std::unique_ptr<Disk> dryRun = Open(image, DiskMode::kDryRun);
        EXPECT_TRUE(reader && dryRun);
        EXPECT_NE(OpenError(image, DiskMode::kReadWrite).find("in use by another run of this tool"),
                  std::string::npos);
    }
}

TEST_F(OpenDiskTest, ImageThatQemuHoldsIsRefused) {
    for (const char* options : {"", "-O qcow2", "-O vhdx"}) {
        SCOPED_TRACE(options);
        std::string image = *options ? Convert(options) : RawCopy();
        std::string format = *options ? std::string(options).substr(3) : "raw";
        QemuNbd qemu(image, format.c_str(), false);
        ASSERT_TRUE(qemu.Connected());
        for (DiskMode mode : {DiskMode::kReadWrite, DiskMode::kReadOnly, DiskMode::kDryRun}) {
            std::string error = OpenError(image, mode);
            EXPECT_NE(error.find("a running QEMU (or one of its tools) holds the image's lock"),
                      std::string::npos)
                << error;
        }
    }
}

// The tool lets nobody else write a raw image it has open; a qemu-nbd that only reads,
// and lets others write meanwhile, it lets in, as QEMU does.
TEST_F(OpenDiskTest, QemuCannotWriteARawImageTheToolHolds) {
    std::string image = RawCopy();
    for (DiskMode mode : {DiskMode::kReadWrite, DiskMode::kReadOnly}) {
        std::unique_ptr<Disk> disk = Open(image, mode);
        EXPECT_FALSE(QemuNbd(image, "raw", false).Connected());
        EXPECT_TRUE(QemuNbd(image, "raw", true).Connected());
    }
    EXPECT_TRUE(QemuNbd(image, "raw", false).Connected());
}

}  // namespace
