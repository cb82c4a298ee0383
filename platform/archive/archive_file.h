// Archives read and written through libarchive, over any file the caller can read at an
// offset (a file on disk, in a disk image, or a member held in memory). Members are
// looked at one at a time, and never written anywhere but into the new archive.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

struct archive;
struct archive_entry;

namespace archive_file {

typedef std::vector<unsigned char> Bytes;
// Reads up to `count` bytes at `offset`; the count read, fewer at the end, or -1.
typedef std::function<int64_t(int64_t offset, void* buffer, size_t count)> ReadAt;
// Writes all `count` bytes at the end of the new archive.
typedef std::function<bool(const void* data, size_t count)> WriteOut;

// Whether a file that begins with `head` is an archive or compressed file that libarchive
// reads (ZIP, 7z, CAB, RAR, TAR, gzip, bzip2, xz); ISO 9660 images are told by
// LooksLikeIso.
bool LooksLikeArchive(const unsigned char* head, size_t length);
bool LooksLikeIso(const ReadAt& read, int64_t size);

// What reading one file may unpack.
struct Limits {
    int64_t memberSize;      // a member larger than this is not read
    int64_t unpacked;        // all the members of the file together
    int64_t members;         // members looked at
    double ratio;            // unpacked bytes per packed byte, past the first MiB of a member
    int64_t* unpackedSoFar;  // counts what `unpacked` limits, shared with the readers of
                             // archives inside this one; null: this reader's own count
};

// One member, its data not read yet.
struct Member {
    std::string name;
    bool isFile = false;
    int64_t size = -1;  // as its header tells, or -1
};

class Reader {
  public:
    Reader(ReadAt read, int64_t size, const Limits& limits);
    ~Reader();
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

    // False, with a message in Error(), when the file is no archive libarchive reads.
    bool Open();
    // The next member: 1, or 0 at the end, or -1 on an error (Error()).
    int Next(Member* member);
    // The current member's data, whole; false with `why` when a limit stops it (the rest
    // of the member is then not read) or the data cannot be read (Error() then).
    bool ReadContent(Bytes* content, std::string* why);
    // The current member's data written to `writer` as it is read, without limits.
    bool CopyContent(class Writer& writer);

    // Whether the archive can be written again as it was: ZIP, 7z and TAR (plain or
    // with its compression).
    bool CanRewrite() const;
    const std::string& Error() const { return m_error; }
    // The kind of archive: "ZIP", "7z", "CAB", "RAR", "TAR", "ISO 9660", "compressed file".
    std::string Kind() const;

    struct archive* Handle() {
        return m_archive;
    }
    struct archive_entry* Entry() {
        return m_entry;
    }

  private:
    bool Fail(const char* what);

    ReadAt m_read;
    int64_t m_size;
    Limits m_limits;
    struct archive* m_archive;
    struct archive_entry* m_entry = nullptr;
    int64_t m_position = 0;
    int64_t m_packedRead = 0;  // bytes handed to libarchive so far
    int64_t m_ownUnpacked = 0, m_members = 0;
    int64_t* m_unpacked;
    std::vector<unsigned char> m_block;
    std::string m_error;

    friend struct ReaderCallbacks;
};

// A new archive of the same format and compression as the one `from` reads, written
// through `out`.
class Writer {
  public:
    explicit Writer(WriteOut out);
    ~Writer();
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

    bool Open(Reader& from);
    // The current member of `from` with its header as it was (name, times, attributes),
    // its size `size` (for a file), followed by WriteData.
    bool AddHeader(Reader& from, int64_t size);
    bool WriteData(const void* data, size_t count);
    bool Close();
    const std::string& Error() const { return m_error; }

  private:
    bool Fail();

    WriteOut m_out;
    struct archive* m_archive;
    std::string m_error;
    bool m_open = false;
};

}  // namespace archive_file
