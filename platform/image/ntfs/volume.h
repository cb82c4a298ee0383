// An NTFS volume read and written in-process through libntfs-3g, over a block device.
// Names match without regard to case, by their long or their short (8.3) name, as on
// Windows. A new file gets a short name where Windows would give one, and the security
// descriptor its folder hands down. Not thread-safe.
//
// Replacing a file X by a repaired work file "X.cln" so that X keeps its security
// descriptor and its short name:
//     image::Traits traits;  volume.GetTraits("/X", &traits);
//     volume.Remove("/X");
//     volume.Rename("/X.cln", "/X");
//     volume.SetTraits("/X", traits);
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/image/volume.h"

class BlockDevice;

namespace ntfs {

class Volume : public image::Volume {
  public:
    // Why the volume was opened read-only whatever the caller asked: Windows left it
    // unclean or hibernated, and writing could lose what Windows has still to write.
    // Empty when the volume is in a state to be written.
    virtual const std::string& ReadOnlyReason() const = 0;

    // Gives a file or folder the 8.3 name `shortName` ("NOTEPAD.EXE"), which no other
    // name in its folder may have; an empty name takes the short name away. A long name
    // that fits 8.3 is then kept once, as both names.
    virtual bool SetShortName(const std::string& path, const std::string& shortName) = 0;
    // The security descriptor of a file or folder, self-relative, as Windows keeps it.
    virtual bool GetSecurity(const std::string& path, std::vector<uint8_t>* descriptor) = 0;
    virtual bool SetSecurity(const std::string& path, const std::vector<uint8_t>& descriptor) = 0;

    bool GetTraits(const std::string& path, image::Traits* traits) override {
        image::Entry entry;
        if (!Stat(path, &entry) || !GetSecurity(path, &traits->security)) return false;
        traits->shortName = entry.shortName;
        return true;
    }
    bool SetTraits(const std::string& path, const image::Traits& traits) override {
        return SetSecurity(path, traits.security) && SetShortName(path, traits.shortName);
    }
};

// The NTFS volume that fills `device`. Null, with `error` saying why, for anything that
// is not an NTFS volume or cannot be mounted. Read-only when `readOnly` is set, when
// the device is, or when the volume's state forbids writing (see ReadOnlyReason).
std::unique_ptr<Volume> OpenVolume(BlockDevice& device, bool readOnly, std::string* error);

}  // namespace ntfs
