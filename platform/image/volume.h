// A file system inside a disk image (FAT12/16/32, NTFS), read and written in-process
// over a block device. Paths are "/"-separated from the volume's root ("/WINDOWS/
// NOTEPAD.EXE") and match names as Windows does, without regard to case. One caller at
// a time: the image's platform serialises its callers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace image {

// The DOS attributes Windows keeps: read-only, hidden, system, archive.
const uint32_t kReadOnly = 0x01;
const uint32_t kHidden = 0x02;
const uint32_t kSystem = 0x04;
const uint32_t kArchive = 0x20;

struct Entry {
    std::string name;       // the long name, in UTF-8
    std::string shortName;  // the 8.3 name ("NOTEPAD.EXE"), or empty where there is none
    bool isDirectory = false;
    uint64_t size = 0;
    uint32_t attributes = 0;  // kReadOnly, kHidden, kSystem, kArchive
    uint64_t identity = 0;    // the same for two names of one file
};

// What a file carries beside its content and attributes that a file put in its place
// takes over: on NTFS its security descriptor and its 8.3 name.
struct Traits {
    std::vector<uint8_t> security;
    std::string shortName;
};

class Volume {
  public:
    virtual ~Volume() = default;
    // "FAT12", "FAT16", "FAT32" or "NTFS".
    virtual std::string Kind() const = 0;
    virtual bool IsReadOnly() const = 0;
    // Why the last call that failed did.
    virtual const std::string& LastError() const = 0;

    // The entries of a folder, "." and ".." left out.
    virtual bool List(const std::string& folder, std::vector<Entry>* entries) = 0;
    virtual bool Stat(const std::string& path, Entry* entry) = 0;
    // Reads up to `count` bytes at `offset`; `got` receives how many there were.
    virtual bool Read(const std::string& path, uint64_t offset, void* buffer, size_t count,
                      size_t* got) = 0;

    // A new, empty file; fails when the name is taken.
    virtual bool Create(const std::string& path) = 0;
    // Writes at `offset`, making the file longer as needed.
    virtual bool Write(const std::string& path, uint64_t offset, const void* data,
                       size_t count) = 0;
    virtual bool Truncate(const std::string& path, uint64_t length) = 0;
    // Deletes a file (not a folder).
    virtual bool Remove(const std::string& path) = 0;
    // Renames a file within its folder; never replaces a file standing under `to`. The
    // file keeps its content and attributes (and, on NTFS, its security).
    virtual bool Rename(const std::string& from, const std::string& to) = 0;
    virtual bool SetAttributes(const std::string& path, uint32_t attributes) = 0;
    // Everything changed so far is written to the device and the device flushed.
    virtual bool Flush() = 0;

    // A file system that keeps no traits (FAT: a name gets its short name by the rules)
    // has nothing to hand over.
    virtual bool GetTraits(const std::string&, Traits*) { return true; }
    virtual bool SetTraits(const std::string&, const Traits&) { return true; }
};

}  // namespace image
