#include "platform/archive/archive_file.h"

#include <archive.h>
#include <archive_entry.h>

#include <cstring>

namespace archive_file {

namespace {

// libarchive is handed the file in blocks this large: small enough that the packed bytes
// read while a member is unpacked tell its ratio.
const size_t kBlockSize = 16 * 1024;
const int64_t kRatioFrom = 1 << 20;
const size_t kChunk = 64 * 1024;

bool StartsWith(const unsigned char* head, size_t length, const char* magic, size_t size,
                size_t at = 0) {
    return length >= at + size && memcmp(head + at, magic, size) == 0;
}

bool IsCompressedFile(const unsigned char* head, size_t length) {
    return StartsWith(head, length, "\x1f\x8b\x08", 3) ||
           (StartsWith(head, length, "BZh", 3) && length > 3 && head[3] >= '1' && head[3] <= '9') ||
           StartsWith(head, length, "\xfd\x37\x7a\x58\x5a\x00", 6);
}

bool IsTarFormat(int format) {
    return (format & ARCHIVE_FORMAT_BASE_MASK) == ARCHIVE_FORMAT_TAR;
}

}  // namespace

bool LooksLikeArchive(const unsigned char* head, size_t length) {
    return StartsWith(head, length, "PK\x03\x04", 4) || StartsWith(head, length, "PK\x05\x06", 4) ||
           StartsWith(head, length, "7z\xbc\xaf\x27\x1c", 6) ||
           StartsWith(head, length, "MSCF\0\0\0\0", 8) ||
           StartsWith(head, length, "Rar!\x1a\x07", 6) ||
           StartsWith(head, length, "ustar", 5, 257) || IsCompressedFile(head, length);
}

bool LooksLikeIso(const ReadAt& read, int64_t size) {
    const int64_t kDescriptor = 16 * 2048;
    unsigned char id[6];
    return size >= kDescriptor + 2048 && read(kDescriptor, id, sizeof id) == sizeof id &&
           memcmp(id + 1, "CD001", 5) == 0;
}

// libarchive's callbacks, on the Reader.
struct ReaderCallbacks {
    static la_ssize_t Read(struct archive*, void* data, const void** block) {
        Reader& reader = *static_cast<Reader*>(data);
        int64_t got = reader.m_read(reader.m_position, reader.m_block.data(), kBlockSize);
        if (got < 0) return -1;
        reader.m_position += got;
        reader.m_packedRead += got;
        *block = reader.m_block.data();
        return la_ssize_t(got);
    }
    static la_int64_t Seek(struct archive*, void* data, la_int64_t offset, int whence) {
        Reader& reader = *static_cast<Reader*>(data);
        int64_t base = whence == SEEK_SET   ? 0
                       : whence == SEEK_CUR ? reader.m_position
                                            : reader.m_size;
        if (base + offset < 0) return ARCHIVE_FATAL;
        reader.m_position = base + offset;
        return reader.m_position;
    }
    static la_int64_t Skip(struct archive* handle, void* data, la_int64_t request) {
        Reader& reader = *static_cast<Reader*>(data);
        int64_t room = reader.m_size - reader.m_position;
        int64_t skipped = request < room ? request : room;
        if (skipped < 0) skipped = 0;
        Seek(handle, data, skipped, SEEK_CUR);
        return skipped;
    }
};

Reader::Reader(ReadAt read, int64_t size, const Limits& limits)
    : m_read(std::move(read)),
      m_size(size),
      m_limits(limits),
      m_archive(archive_read_new()),
      m_unpacked(limits.unpackedSoFar ? limits.unpackedSoFar : &m_ownUnpacked),
      m_block(kBlockSize) {}

Reader::~Reader() {
    archive_read_free(m_archive);
}

bool Reader::Fail(const char* what) {
    const char* message = archive_error_string(m_archive);
    m_error = message ? message : what;
    return false;
}

bool Reader::Open() {
    unsigned char head[8];
    int64_t got = m_read(0, head, sizeof head);
    archive_read_support_filter_all(m_archive);
    archive_read_support_format_all(m_archive);
    // A single compressed file is read as one member, unless it holds a TAR.
    if (got > 0 && IsCompressedFile(head, size_t(got))) archive_read_support_format_raw(m_archive);
    archive_read_set_callback_data(m_archive, this);
    archive_read_set_read_callback(m_archive, ReaderCallbacks::Read);
    archive_read_set_seek_callback(m_archive, ReaderCallbacks::Seek);
    archive_read_set_skip_callback(m_archive, ReaderCallbacks::Skip);
    if (archive_read_open1(m_archive) != ARCHIVE_OK) return Fail("not an archive");
    return true;
}

int Reader::Next(Member* member) {
    if (m_members >= m_limits.members) {
        m_error =
            "more members than the limit of members (" + std::to_string(m_limits.members) + ")";
        return -1;
    }
    int status = archive_read_next_header(m_archive, &m_entry);
    if (status == ARCHIVE_EOF) return 0;
    if (status != ARCHIVE_OK && status != ARCHIVE_WARN) {
        Fail("a member's header cannot be read");
        return -1;
    }
    ++m_members;
    const char* name = archive_entry_pathname(m_entry);
    member->name = name ? name : "member" + std::to_string(m_members);
    member->isFile = archive_entry_filetype(m_entry) == AE_IFREG &&
                     !(archive_entry_hardlink(m_entry) && archive_entry_size(m_entry) == 0);
    member->size = archive_entry_size_is_set(m_entry) ? archive_entry_size(m_entry) : -1;
    return 1;
}

bool Reader::ReadContent(Bytes* content, std::string* why) {
    content->clear();
    int64_t known = archive_entry_size_is_set(m_entry) ? archive_entry_size(m_entry) : 0;
    if (known > m_limits.memberSize) {
        *why =
            "larger than the limit of a member (" + std::to_string(m_limits.memberSize) + " bytes)";
        return false;
    }
    if (archive_entry_is_encrypted(m_entry)) {
        *why = "encrypted";
        return false;
    }
    int64_t packedAtStart = m_packedRead;
    unsigned char chunk[kChunk];
    for (;;) {
        la_ssize_t got = archive_read_data(m_archive, chunk, sizeof chunk);
        if (got < 0) {
            Fail("its data cannot be read");
            *why = m_error;
            return false;
        }
        if (got == 0) return true;
        content->insert(content->end(), chunk, chunk + got);
        *m_unpacked += got;
        int64_t size = int64_t(content->size());
        int64_t packed = m_packedRead - packedAtStart + int64_t(kBlockSize);
        if (size > m_limits.memberSize) {
            *why = "larger than the limit of a member (" + std::to_string(m_limits.memberSize) +
                   " bytes)";
        } else if (*m_unpacked > m_limits.unpacked) {
            *why = "more unpacked from one file than the limit (" +
                   std::to_string(m_limits.unpacked) + " bytes)";
        } else if (size > kRatioFrom && double(size) > m_limits.ratio * double(packed)) {
            *why = "unpacks more than " + std::to_string(int64_t(m_limits.ratio)) +
                   " times its packed size (a compression bomb?)";
        } else {
            continue;
        }
        content->clear();
        return false;
    }
}

bool Reader::CopyContent(Writer& writer) {
    unsigned char chunk[kChunk];
    for (;;) {
        la_ssize_t got = archive_read_data(m_archive, chunk, sizeof chunk);
        if (got < 0) return Fail("its data cannot be read");
        if (got == 0) return true;
        if (!writer.WriteData(chunk, size_t(got))) return false;
    }
}

bool Reader::CanRewrite() const {
    int format = archive_format(m_archive);
    int filters = archive_filter_count(m_archive);
    int filter = filters > 1 ? archive_filter_code(m_archive, 0) : ARCHIVE_FILTER_NONE;
    bool knownFilter =
        filters <= 2 && (filter == ARCHIVE_FILTER_NONE || filter == ARCHIVE_FILTER_GZIP ||
                         filter == ARCHIVE_FILTER_BZIP2 || filter == ARCHIVE_FILTER_XZ);
    if (IsTarFormat(format)) return knownFilter;
    return (format == ARCHIVE_FORMAT_ZIP || format == ARCHIVE_FORMAT_7ZIP) && filters <= 1;
}

std::string Reader::Kind() const {
    switch (archive_format(m_archive) & ARCHIVE_FORMAT_BASE_MASK) {
        case ARCHIVE_FORMAT_ZIP:
            return "ZIP";
        case ARCHIVE_FORMAT_7ZIP:
            return "7z";
        case ARCHIVE_FORMAT_CAB:
            return "CAB";
        case ARCHIVE_FORMAT_RAR:
        case ARCHIVE_FORMAT_RAR_V5:
            return "RAR";
        case ARCHIVE_FORMAT_TAR:
            return "TAR";
        case ARCHIVE_FORMAT_ISO9660:
            return "ISO 9660";
        case ARCHIVE_FORMAT_RAW:
            return "compressed file";
        default: {
            const char* name = archive_format_name(m_archive);
            return name ? name : "archive";
        }
    }
}

namespace {

la_ssize_t WriteCallback(struct archive*, void* data, const void* buffer, size_t count) {
    const WriteOut& out = *static_cast<const WriteOut*>(data);
    return out(buffer, count) ? la_ssize_t(count) : -1;
}

}  // namespace

Writer::Writer(WriteOut out) : m_out(std::move(out)), m_archive(archive_write_new()) {}

Writer::~Writer() {
    archive_write_free(m_archive);
}

bool Writer::Fail() {
    const char* message = archive_error_string(m_archive);
    m_error = message ? message : "the new archive cannot be written";
    return false;
}

bool Writer::Open(Reader& from) {
    struct archive* source = from.Handle();
    int format = archive_format(source);
    if (format == ARCHIVE_FORMAT_TAR) format = ARCHIVE_FORMAT_TAR_PAX_RESTRICTED;
    if (archive_write_set_format(m_archive, format) != ARCHIVE_OK) return Fail();
    if (archive_filter_count(source) > 1 &&
        archive_write_add_filter(m_archive, archive_filter_code(source, 0)) != ARCHIVE_OK)
        return Fail();
    if (!IsTarFormat(format)) archive_write_set_bytes_in_last_block(m_archive, 1);
    if (archive_write_open(m_archive, &m_out, nullptr, WriteCallback, nullptr) != ARCHIVE_OK)
        return Fail();
    m_open = true;
    return true;
}

bool Writer::AddHeader(Reader& from, int64_t size) {
    struct archive_entry* entry = archive_entry_clone(from.Entry());
    if (archive_entry_filetype(entry) == AE_IFREG && size >= 0) archive_entry_set_size(entry, size);
    int status = archive_write_header(m_archive, entry);
    archive_entry_free(entry);
    return status == ARCHIVE_OK || Fail();
}

bool Writer::WriteData(const void* data, size_t count) {
    const unsigned char* bytes = static_cast<const unsigned char*>(data);
    while (count > 0) {
        la_ssize_t written = archive_write_data(m_archive, bytes, count);
        if (written <= 0) return Fail();
        bytes += written;
        count -= size_t(written);
    }
    return true;
}

bool Writer::Close() {
    if (!m_open) return false;
    m_open = false;
    return archive_write_close(m_archive) == ARCHIVE_OK || Fail();
}

}  // namespace archive_file
