// A disk image opened for the file systems on it: its container format told by its
// content, its bytes as one device, and the image's lock held while it is open.
//
// Raw images are read and written directly. The other formats (qcow2, VMDK, VDI, VHD,
// VHDX) are served by a qemu-nbd of the disk's own. Opened to be changed, every write
// goes through a rollback journal (platform/image/disk/journal.h): the caller writes
// and calls Flush at each point where the image must be consistent; a cut between two
// Flush calls leaves the image as it was at the earlier one.
#pragma once

#include <memory>
#include <string>

#include "platform/image/block_device.h"
#include "platform/image/disk/image_lock.h"

enum class DiskMode {
    kReadWrite,
    kReadOnly,
    kDryRun,  // writable, but the image stays as it was: what is written is thrown away
};

class JournalDevice;

class Disk {
  public:
    ~Disk();
    Disk(const Disk&) = delete;
    Disk& operator=(const Disk&) = delete;

    // "raw", "qcow", "qcow2", "VMDK", "VDI", "VHD" or "VHDX".
    const std::string& Format() const { return m_format; }
    DiskMode Mode() const { return m_mode; }
    // The whole disk. Not to be used by two threads at once.
    BlockDevice& Device() { return *m_top; }
    // What opening the image did that the user should be told of: rolling back a change
    // that a run left unfinished. Empty otherwise.
    const std::string& Notice() const { return m_notice; }
    // Why the device's last Flush failed.
    std::string FlushError() const;

  private:
    friend std::unique_ptr<Disk> OpenDisk(const std::string&, DiskMode, std::string*);
    Disk() = default;

    std::string m_format;
    DiskMode m_mode = DiskMode::kReadOnly;
    std::string m_notice;
    std::unique_ptr<ImageLock> m_lock;
    std::unique_ptr<BlockDevice> m_container;
    std::unique_ptr<BlockDevice> m_layer;  // the journal or an overlay, when there is one
    JournalDevice* m_journal = nullptr;
    BlockDevice* m_top = nullptr;
};

// Null, with `error` set, when the file is no disk image this knows, cannot be opened
// as `mode` asks, or is in use: by another run of the tool (refused at once, not waited
// for) or by a running QEMU.
std::unique_ptr<Disk> OpenDisk(const std::string& path, DiskMode mode, std::string* error);
