#include "platform/image/disk/journal.h"

#include <fcntl.h>
#include <libgen.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/image/disk/byte_order.h"
#include "platform/image/disk/checksum.h"

namespace {

constexpr char kJournalMagic[] = "TVCJRNL1";
constexpr char kRecordMagic[] = "TVCR";
constexpr size_t kHeaderSize = 20;        // magic, image size, checksum
constexpr size_t kRecordHeaderSize = 24;  // magic, length, offset, data checksum, checksum
constexpr size_t kMaxRecord = 1024 * 1024;

std::string Folder(const std::string& path) {
    std::string copy = path;
    return dirname(&copy[0]);
}

bool SyncFolderOf(const std::string& path) {
    int fd = open(Folder(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    bool synced = fsync(fd) == 0;
    close(fd);
    return synced;
}

bool WriteAll(int fd, const uint8_t* bytes, size_t count) {
    while (count > 0) {
        ssize_t done = write(fd, bytes, count);
        if (done < 0 && errno == EINTR) continue;
        if (done <= 0) return false;
        bytes += done;
        count -= size_t(done);
    }
    return true;
}

std::vector<uint8_t> JournalHeader(uint64_t imageSize) {
    std::vector<uint8_t> header(kHeaderSize);
    memcpy(header.data(), kJournalMagic, 8);
    PutLe64(header.data() + 8, imageSize);
    PutLe32(header.data() + 16, Crc32Ieee(header.data(), 16));
    return header;
}

void AppendRecordHeader(std::vector<uint8_t>* journal, uint64_t offset, const uint8_t* bytes,
                        size_t length) {
    uint8_t header[kRecordHeaderSize];
    memcpy(header, kRecordMagic, 4);
    PutLe32(header + 4, uint32_t(length));
    PutLe64(header + 8, offset);
    PutLe32(header + 16, Crc32Ieee(bytes, length));
    PutLe32(header + 20, Crc32Ieee(header, 20));
    journal->insert(journal->end(), header, header + kRecordHeaderSize);
}

// The record at `position` of `journal`, if it is whole and sound.
bool ParseRecord(const std::vector<uint8_t>& journal, size_t position, uint64_t imageSize,
                 JournalRecord* record, size_t* next) {
    if (journal.size() - position < kRecordHeaderSize) return false;
    const uint8_t* header = journal.data() + position;
    size_t length = Le32(header + 4);
    uint64_t offset = Le64(header + 8);
    if (memcmp(header, kRecordMagic, 4) != 0 || Le32(header + 20) != Crc32Ieee(header, 20) ||
        length > journal.size() - position - kRecordHeaderSize || offset > imageSize ||
        length > imageSize - offset) {
        return false;
    }
    const uint8_t* bytes = header + kRecordHeaderSize;
    if (Crc32Ieee(bytes, length) != Le32(header + 16)) return false;
    record->offset = offset;
    record->bytes.assign(bytes, bytes + length);
    *next = position + kRecordHeaderSize + length;
    return true;
}

bool ReadWholeFile(const std::string& path, std::vector<uint8_t>* bytes) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return false;
    uint8_t buffer[65536];
    ssize_t got;
    while ((got = read(fd, buffer, sizeof buffer)) != 0) {
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) break;
        bytes->insert(bytes->end(), buffer, buffer + got);
    }
    close(fd);
    return got == 0;
}

bool RemoveDurably(const std::string& path) {
    return (unlink(path.c_str()) == 0 || errno == ENOENT) && SyncFolderOf(path);
}

}  // namespace

std::string JournalPathOf(const std::string& imagePath) {
    return imagePath + ".torvoclean-journal";
}

bool JournalDevice::Read(uint64_t offset, void* buffer, size_t count) {
    return Inside(offset, count) && m_pending.Read(offset, static_cast<uint8_t*>(buffer), count);
}

bool JournalDevice::Write(uint64_t offset, const void* data, size_t count) {
    return Inside(offset, count) &&
           m_pending.Write(offset, static_cast<const uint8_t*>(data), count);
}

bool JournalDevice::Flush() {
    if (m_pending.Empty()) return true;
    std::vector<PendingBlocks::Run> runs = m_pending.Runs(kMaxRecord);
    if (!SaveOldBlocks(runs)) {
        m_pending.Clear();
        return false;
    }
    if (!WriteNewBlocks(runs)) {
        // The journal is whole: what it saved goes back now, or at the next open.
        std::vector<JournalRecord> records;
        std::string ignored;
        m_pending.Clear();
        if (ReadJournal(m_journalPath, Size(), &records, &ignored))
            RollBack(m_image, m_journalPath, records, &ignored);
        return false;
    }
    m_pending.Clear();
    return RemoveDurably(m_journalPath) || Fail("cannot remove " + m_journalPath);
}

bool JournalDevice::SaveOldBlocks(const std::vector<PendingBlocks::Run>& runs) {
    std::vector<uint8_t> journal = JournalHeader(Size());
    std::vector<uint8_t> old;
    for (const PendingBlocks::Run& run : runs) {
        old.resize(run.length);
        if (!m_image.Read(run.offset, old.data(), run.length))
            return Fail("cannot read the image to save its blocks");
        AppendRecordHeader(&journal, run.offset, old.data(), run.length);
        journal.insert(journal.end(), old.begin(), old.end());
    }
    int fd =
        open(m_journalPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return Fail("cannot create " + m_journalPath + ": " + strerror(errno));
    bool saved = WriteAll(fd, journal.data(), journal.size()) && fsync(fd) == 0;
    saved = close(fd) == 0 && saved && SyncFolderOf(m_journalPath);
    if (saved) return true;
    Fail("cannot write " + m_journalPath + ": " + strerror(errno));
    unlink(m_journalPath.c_str());
    return false;
}

bool JournalDevice::WriteNewBlocks(const std::vector<PendingBlocks::Run>& runs) {
    std::vector<uint8_t> bytes;
    for (const PendingBlocks::Run& run : runs) {
        bytes.resize(run.length);
        if (!m_pending.Read(run.offset, bytes.data(), run.length) ||
            !m_image.Write(run.offset, bytes.data(), run.length)) {
            return Fail("cannot write the image");
        }
    }
    return m_image.Flush() || Fail("cannot flush the image");
}

bool JournalDevice::Fail(const std::string& error) {
    m_error = error;
    return false;
}

bool ReadJournal(const std::string& path, uint64_t imageSize, std::vector<JournalRecord>* records,
                 std::string* error) {
    std::vector<uint8_t> journal;
    if (!ReadWholeFile(path, &journal)) {
        *error = "cannot read " + path + ": " + strerror(errno);
        return false;
    }
    records->clear();
    if (journal.size() < kHeaderSize || memcmp(journal.data(), kJournalMagic, 8) != 0 ||
        Le32(journal.data() + 16) != Crc32Ieee(journal.data(), 16)) {
        return true;
    }
    if (Le64(journal.data() + 8) != imageSize) {
        *error = path + " belongs to a disk of " + std::to_string(Le64(journal.data() + 8)) +
                 " bytes, not to this one of " + std::to_string(imageSize);
        return false;
    }
    JournalRecord record;
    for (size_t position = kHeaderSize;
         ParseRecord(journal, position, imageSize, &record, &position);) {
        records->push_back(std::move(record));
    }
    return true;
}

bool RollBack(BlockDevice& image, const std::string& path,
              const std::vector<JournalRecord>& records, std::string* error) {
    for (auto record = records.rbegin(); record != records.rend(); ++record) {
        if (!image.Write(record->offset, record->bytes.data(), record->bytes.size())) {
            *error = "cannot write the saved blocks back to the image";
            return false;
        }
    }
    if (!image.Flush()) {
        *error = "cannot flush the image";
        return false;
    }
    if (!RemoveDurably(path)) {
        *error = "cannot remove " + path + ": " + strerror(errno);
        return false;
    }
    return true;
}
