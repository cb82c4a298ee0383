#include "platform/image/disk/disk.h"

#include <libgen.h>
#include <unistd.h>

#include "platform/image/disk/image_format.h"
#include "platform/image/disk/journal.h"
#include "platform/image/disk/nbd_device.h"
#include "platform/image/disk/pending_blocks.h"

namespace {

std::unique_ptr<BlockDevice> OpenContainer(const std::string& path, ImageFormat format,
                                           DiskMode mode, std::unique_ptr<BlockDevice> file,
                                           std::string* error) {
    if (format == ImageFormat::kRaw && mode != DiskMode::kReadWrite) return file;
    if (format == ImageFormat::kRaw) {
        std::unique_ptr<BlockDevice> writable = OpenFileDevice(path, false, error);
        if (!writable) *error = path + ": " + *error;
        return writable;
    }
    NbdAccess access = mode == DiskMode::kReadWrite  ? NbdAccess::kReadWrite
                       : mode == DiskMode::kReadOnly ? NbdAccess::kReadOnly
                                                     : NbdAccess::kThrowAway;
    return OpenNbdDevice(path, QemuDriverName(format), access, error);
}

bool FolderWritable(const std::string& path) {
    std::string copy = path;
    return access(dirname(&copy[0]), W_OK) == 0;
}

}  // namespace

Disk::~Disk() = default;

std::string Disk::FlushError() const {
    return m_journal ? m_journal->Error() : std::string();
}

std::unique_ptr<Disk> OpenDisk(const std::string& path, DiskMode mode, std::string* error) {
    std::unique_ptr<BlockDevice> file = OpenFileDevice(path, true, error);
    if (!file) {
        *error = path + ": " + *error;
        return nullptr;
    }
    ImageFormat format = DetectImageFormat(*file);
    if (format == ImageFormat::kUnknown) {
        *error = path +
                 " is no disk image this tool knows: neither a raw disk (a partition "
                 "table, or a FAT or NTFS volume) nor qcow2, VMDK, VDI, VHD or VHDX";
        return nullptr;
    }
    bool writing = mode == DiskMode::kReadWrite;
    std::string journalPath = JournalPathOf(path);
    if (writing && !FolderWritable(path)) {
        *error = "the journal of " + path + " cannot be written beside it: its folder is read-only";
        return nullptr;
    }
    std::unique_ptr<Disk> disk(new Disk);
    disk->m_format = ImageFormatName(format);
    disk->m_mode = mode;
    disk->m_lock = ImageLock::Take(path, writing, format == ImageFormat::kRaw, writing, error);
    if (!disk->m_lock) return nullptr;
    disk->m_container = OpenContainer(path, format, mode, std::move(file), error);
    if (!disk->m_container) return nullptr;
    BlockDevice& container = *disk->m_container;

    std::vector<JournalRecord> records;
    bool journal = access(journalPath.c_str(), F_OK) == 0;
    if (journal && !ReadJournal(journalPath, container.Size(), &records, error)) return nullptr;
    if (writing) {
        if (journal && !RollBack(container, journalPath, records, error)) {
            *error = "cannot roll back the change left unfinished in " + path + ": " + *error;
            return nullptr;
        }
        disk->m_journal = new JournalDevice(container, journalPath);
        disk->m_layer.reset(disk->m_journal);
        if (journal) {
            disk->m_notice = "a change to " + path +
                             " was left unfinished by an earlier run: " + "it was rolled back";
        }
    } else if (journal || (format == ImageFormat::kRaw && mode == DiskMode::kDryRun)) {
        // The image is not to be changed: what the journal rolls back is laid over it in
        // memory.
        OverlayDevice* overlay = new OverlayDevice(container, mode == DiskMode::kReadOnly);
        disk->m_layer.reset(overlay);
        for (auto record = records.rbegin(); record != records.rend(); ++record) {
            if (!overlay->Lay(record->offset, record->bytes.data(), record->bytes.size())) {
                *error = "cannot read " + path;
                return nullptr;
            }
        }
        if (journal) {
            disk->m_notice = "a change to " + path + " was left unfinished by an earlier run: " +
                             "it is rolled back in memory only, the image is left as it is";
        }
    }
    disk->m_top = disk->m_layer ? disk->m_layer.get() : &container;
    return disk;
}
