// Changes to a disk image made all at once or not at all, whatever cuts the run off.
//
// Writes are held in memory (reads see them) until Flush. Flush first saves the old
// content of every block about to change in a journal beside the image, makes it
// durable (and its name, in its folder), then writes the blocks to the image, makes the
// image durable, and removes the journal (durably). A journal found when the image is
// opened again is rolled back: its blocks are written back, the image is made durable
// and the journal removed. Its records carry checksums; a torn record ends the journal,
// and can only be the last one written before any block of the image was.
//
// Journal: a header ("TVCJRNL1", the image's size, its own checksum), then records: a
// header ("TVCR", length, offset, the data's checksum, its own checksum) and the old
// bytes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/image/block_device.h"
#include "platform/image/disk/pending_blocks.h"

class JournalDevice : public BlockDevice {
  public:
    JournalDevice(BlockDevice& image, const std::string& journalPath)
        : m_image(image), m_pending(image), m_journalPath(journalPath) {}
    uint64_t Size() const override { return m_image.Size(); }
    bool Read(uint64_t offset, void* buffer, size_t count) override;
    bool Write(uint64_t offset, const void* data, size_t count) override;
    // False when the changes since the last Flush could not be made: they are then
    // dropped, and the image is as it was before them (or will be, once the journal
    // left behind is rolled back).
    bool Flush() override;
    bool IsReadOnly() const override { return false; }
    // Why the last Flush failed.
    const std::string& Error() const { return m_error; }

  private:
    bool Inside(uint64_t offset, size_t count) const {
        return offset <= Size() && count <= Size() - offset;
    }
    bool SaveOldBlocks(const std::vector<PendingBlocks::Run>& runs);
    bool WriteNewBlocks(const std::vector<PendingBlocks::Run>& runs);
    bool Fail(const std::string& error);

    BlockDevice& m_image;
    PendingBlocks m_pending;
    std::string m_journalPath;
    std::string m_error;
};

// "IMAGE.torvoclean-journal".
std::string JournalPathOf(const std::string& imagePath);

struct JournalRecord {
    uint64_t offset;
    std::vector<uint8_t> bytes;
};

// The records of the journal at `path`, left by a change to an image of `imageSize`
// bytes that was cut off. False, with `error` set, when it cannot be read or belongs
// to an image of another size. A journal without a whole header has no records: it was
// cut off before anything was written to the image.
bool ReadJournal(const std::string& path, uint64_t imageSize, std::vector<JournalRecord>* records,
                 std::string* error);

// Writes the records' old blocks back (the latest first), makes the image durable and
// removes the journal.
bool RollBack(BlockDevice& image, const std::string& path,
              const std::vector<JournalRecord>& records, std::string* error);
