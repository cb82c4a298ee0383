// The rollback journal where the image fails under it, where a journal is torn, and
// where a disk that has one is opened without being changed.
#include <gtest/gtest.h>
#include <unistd.h>

#include "platform/image/disk/disk.h"
#include "platform/image/disk/journal.h"
#include "tests/image/disk/disk_test_support.h"
#include "tests/image/disk/journal_changes.h"

using namespace disktest;

namespace {

constexpr uint64_t kDiskSize = 2 * 1024 * 1024;

// A device whose writes fail from the `failAt`-th on, and work again after `failures`
// of them failed.
class FailingDevice : public BlockDevice {
  public:
    FailingDevice(BlockDevice& below, int failAt, int failures)
        : m_below(below), m_failAt(failAt), m_failures(failures) {}
    uint64_t Size() const override { return m_below.Size(); }
    bool Read(uint64_t offset, void* buffer, size_t count) override {
        return m_below.Read(offset, buffer, count);
    }
    bool Write(uint64_t offset, const void* data, size_t count) override {
        if (++m_writes >= m_failAt && m_failures > 0) {
            --m_failures;
            return false;
        }
        return m_below.Write(offset, data, count);
    }
    bool Flush() override { return m_below.Flush(); }
    bool IsReadOnly() const override { return false; }

  private:
    BlockDevice& m_below;
    int m_writes = 0, m_failAt, m_failures;
};

class JournalTest : public ::testing::Test {
  protected:
    void SetUp() override {
        m_image = m_dir.File("disk.img");
        MakePartitionedDisk(m_image, kDiskSize, "label: dos\nstart=2048, type=6\n");
        Patch(m_image, 1024 * 1024, Pattern(1024 * 1024, 5));
        m_before = ReadFile(m_image);
        m_after = m_before;
        journaltest::Apply(journaltest::RoundChanges(1, kDiskSize), &m_after);
    }

    // A Flush of the first round's changes whose image writes fail as `failing` says.
    bool FailedFlush(int failAt, int failures, std::string* error) {
        std::unique_ptr<BlockDevice> file = OpenFileDevice(m_image, false, error);
        FailingDevice failing(*file, failAt, failures);
        JournalDevice journal(failing, JournalPathOf(m_image));
        for (const journaltest::Change& change : journaltest::RoundChanges(1, kDiskSize))
            EXPECT_TRUE(journal.Write(change.offset, change.bytes.data(), change.bytes.size()));
        bool flushed = journal.Flush();
        *error = journal.Error();
        return flushed;
    }

    bool JournalExists() const { return access(JournalPathOf(m_image).c_str(), F_OK) == 0; }

    TempDir m_dir;
    std::string m_image;
    Bytes m_before, m_after;
};

TEST_F(JournalTest, WritesReachTheImageOnlyAtFlush) {
    std::string error;
    std::unique_ptr<Disk> disk = OpenDisk(m_image, DiskMode::kReadWrite, &error);
    ASSERT_TRUE(disk) << error;
    for (const journaltest::Change& change : journaltest::RoundChanges(1, kDiskSize))
        disk->Device().Write(change.offset, change.bytes.data(), change.bytes.size());
    EXPECT_TRUE(ReadAll(disk->Device()) == m_after);
    EXPECT_TRUE(ReadFile(m_image) == m_before);
    EXPECT_TRUE(disk->Device().Flush());
    EXPECT_TRUE(ReadFile(m_image) == m_after);
    EXPECT_FALSE(JournalExists());
}

// An image write that fails is undone at once from the journal, whichever it was.
TEST_F(JournalTest, FailedFlushLeavesTheImageAsItWas) {
    for (int failAt = 1; failAt <= 4; ++failAt) {
        SCOPED_TRACE(failAt);
        std::string error;
        EXPECT_FALSE(FailedFlush(failAt, 1, &error));
        EXPECT_EQ(error, "cannot write the image");
        EXPECT_TRUE(ReadFile(m_image) == m_before);
        EXPECT_FALSE(JournalExists());
    }
}

// When the image cannot be written back either, the journal stays for the next open,
// which rolls it back; opened without changes, the disk shows it rolled back while the
// image stays as the cut left it.
TEST_F(JournalTest, JournalLeftBehindIsRolledBackAtTheNextOpen) {
    std::string error;
    EXPECT_FALSE(FailedFlush(3, 1000, &error));
    ASSERT_TRUE(JournalExists());
    Bytes cut = ReadFile(m_image);
    ASSERT_FALSE(cut == m_before);
    for (DiskMode mode : {DiskMode::kReadOnly, DiskMode::kDryRun}) {
        std::unique_ptr<Disk> disk = OpenDisk(m_image, mode, &error);
        ASSERT_TRUE(disk) << error;
        EXPECT_NE(disk->Notice().find("rolled back in memory only"), std::string::npos);
        EXPECT_TRUE(ReadAll(disk->Device()) == m_before);
    }
    EXPECT_TRUE(ReadFile(m_image) == cut);
    ASSERT_TRUE(JournalExists());
    std::unique_ptr<Disk> disk = OpenDisk(m_image, DiskMode::kReadWrite, &error);
    ASSERT_TRUE(disk) << error;
    EXPECT_NE(disk->Notice().find("left unfinished by an earlier run: it was rolled back"),
              std::string::npos);
    EXPECT_TRUE(ReadFile(m_image) == m_before);
    EXPECT_FALSE(JournalExists());
}

// A journal is whole before the image is written, so a torn one comes with the image as
// it was: what is left of it is rolled back, up to the torn record, without harm.
TEST_F(JournalTest, TornOrDamagedJournalsAreRolledBackUpToTheDamage) {
    std::string error;
    EXPECT_FALSE(FailedFlush(1, 1000, &error));
    ASSERT_TRUE(ReadFile(m_image) == m_before);
    Bytes journal = ReadFile(JournalPathOf(m_image));
    std::vector<Bytes> damaged;
    for (size_t length : {size_t(0), size_t(7), size_t(19), size_t(20), size_t(30), size_t(44),
                          size_t(4140), journal.size() / 2, journal.size() - 1}) {
        damaged.emplace_back(journal.begin(), journal.begin() + long(length));
    }
    for (size_t at : {size_t(3), size_t(25), size_t(60), journal.size() - 5}) {
        damaged.push_back(journal);
        damaged.back()[at] ^= 0x40;
    }
    for (const Bytes& bytes : damaged) {
        SCOPED_TRACE(bytes.size());
        WriteFile(JournalPathOf(m_image), bytes);
        std::unique_ptr<Disk> disk = OpenDisk(m_image, DiskMode::kReadWrite, &error);
        ASSERT_TRUE(disk) << error;
        EXPECT_TRUE(ReadFile(m_image) == m_before);
        EXPECT_FALSE(JournalExists());
    }
}

TEST_F(JournalTest, JournalOfADiskOfAnotherSizeIsRefused) {
    std::string error;
    EXPECT_FALSE(FailedFlush(1, 1000, &error));
    Shell("truncate -s 3M " + Quote(m_image));
    for (DiskMode mode : {DiskMode::kReadWrite, DiskMode::kReadOnly}) {
        EXPECT_FALSE(OpenDisk(m_image, mode, &error));
        EXPECT_NE(error.find("belongs to a disk of 2097152 bytes, not to this one of 3145728"),
                  std::string::npos)
            << error;
    }
    EXPECT_TRUE(JournalExists());
}

}  // namespace
