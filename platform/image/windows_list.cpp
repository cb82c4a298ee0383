#include "platform/image/windows_list.h"

#include <hivex.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "platform/rename_section.h"

namespace {

const char* const kNtHives[] = {"/Windows/System32/config/SYSTEM", "/WINNT/System32/config/SYSTEM"};
const char kWin95Folder[] = "/WINDOWS";
const char kSessionManagerValue[] = "PendingFileRenameOperations";
// The base block, and the unit hive bins come in; cell offsets count from the first bin,
// after the base block.
const size_t kHiveBlock = 4096;
const size_t kBinsSizeAt = 40;  // in the base block
const size_t kMinorVersionAt = 24;
// Value data larger than this is kept in segments from version 1.4 of the format on,
// which libhivex does not write: it writes one cell, which Windows would misread.
const size_t kMostDataInOneCell = 16344;
// Larger than any SYSTEM hive or WININIT.INI Windows keeps.
const uint64_t kMostListBytes = uint64_t(512) << 20;

char Lower(char c) {
    return char(tolower(static_cast<unsigned char>(c)));
}

bool IsSameIgnoringCase(const std::string& first, const std::string& second) {
    return first.size() == second.size() &&
           std::equal(first.begin(), first.end(), second.begin(),
                      [](char a, char b) { return Lower(a) == Lower(b); });
}

bool StartsWithIgnoringCase(const std::string& text, const std::string& prefix) {
    return text.size() >= prefix.size() &&
           IsSameIgnoringCase(text.substr(0, prefix.size()), prefix);
}

bool Exists(image::Volume& volume, const std::string& path) {
    image::Entry entry;
    return volume.Stat(path, &entry);
}

// A list that claims more is taken for a broken entry of the volume, not read into memory.
bool ReadWhole(image::Volume& volume, const std::string& path, std::string* text) {
    image::Entry entry;
    text->clear();
    if (!volume.Stat(path, &entry)) return true;  // a missing list is empty
    if (entry.isDirectory || entry.size > kMostListBytes) return false;
    text->resize(size_t(entry.size));
    size_t got = 0;
    return entry.size == 0 ||
           (volume.Read(path, 0, &(*text)[0], text->size(), &got) && got == text->size());
}

bool WriteWhole(image::Volume& volume, const std::string& path, const std::string& text) {
    bool exists = Exists(volume, path);
    if (text.empty()) return !exists || volume.Remove(path);
    return (exists || volume.Create(path)) && volume.Truncate(path, 0) &&
           volume.Write(path, 0, text.data(), text.size());
}

// "\WINDOWS\X" inside the volume, for a name on drive `letter` ("C:\WINDOWS\X");
// false for a name on another drive.
bool VolumePathOnDrive(const std::string& stored, const std::string& drive, std::string* path) {
    if (drive.empty() || !StartsWithIgnoringCase(stored, drive + "\\")) return false;
    *path = stored.substr(drive.size());
    std::replace(path->begin(), path->end(), '\\', '/');
    return true;
}

std::string FolderOf(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos || slash == 0 ? "/" : path.substr(0, slash);
}

std::string LastPartOf(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// --- the Windows 95 family: WININIT.INI, in short names -------------------------------

class WininitList : public ImageRestartList {
  public:
    // The list lies on `listVolume`; `volume` is the one it is seen from.
    WininitList(image::Volume& listVolume, image::Volume& volume, std::string listPath, char letter,
                bool writable)
        : m_listVolume(listVolume),
          m_volume(volume),
          m_listPath(std::move(listPath)),
          m_drive(letter ? std::string(1, letter) + ":" : std::string()),
          m_writable(writable) {}

    bool Read(std::vector<RestartEntry>* entries) override {
        std::string text;
        if (!ReadWhole(m_listVolume, m_listPath, &text)) return false;
        entries->clear();
        for (const RenameEntry& line : ReadRenameEntries(text))
            entries->push_back(
                {line.value, IsSameIgnoringCase(line.key, "NUL") ? std::string() : line.key});
        return true;
    }

    bool Write(const std::vector<RestartEntry>& entries) override {
        std::string text;
        if (!m_writable || !ReadWhole(m_listVolume, m_listPath, &text)) return false;
        std::vector<RenameEntry> lines;
        for (const RestartEntry& entry : entries)
            lines.push_back({entry.destination.empty() ? "NUL" : entry.destination, entry.source});
        std::string updated = ReplaceRenameEntries(text, lines);
        return updated == text || WriteWhole(m_listVolume, m_listPath, updated);
    }

    // Each part by its short name where the file exists: the list is carried out before
    // long names are there.
    std::string NameOf(const std::string& volumePath) override {
        std::string name = m_drive, inside;
        size_t at = 1;
        while (at <= volumePath.size()) {
            size_t end = volumePath.find('/', at);
            if (end == std::string::npos) end = volumePath.size();
            std::string part = volumePath.substr(at, end - at);
            inside += "/" + part;
            image::Entry entry;
            bool known = m_volume.Stat(inside, &entry) && !entry.shortName.empty();
            name += "\\" + (known ? entry.shortName : part);
            at = end + 1;
        }
        return name;
    }

    bool CanWrite() override { return m_writable; }

    bool IsSameName(const std::string& first, const std::string& second) override {
        return IsSameIgnoringCase(first, second);
    }

    // Short and long names mix on this list: the parts are compared by what they are.
    bool IsWorkFileName(const std::string& work, const std::string& file) override {
        std::string workPath, filePath;
        if (!VolumePathOf(work, &workPath) || !VolumePathOf(file, &filePath)) return false;
        return IsSameFolder(FolderOf(workPath), FolderOf(filePath)) &&
               IsSameIgnoringCase(LongName(workPath), LongName(filePath) + ".cln");
    }

    bool VolumePathOf(const std::string& stored, std::string* path) override {
        return VolumePathOnDrive(stored, m_drive, path);
    }

  private:
    std::string LongName(const std::string& path) {
        image::Entry entry;
        return m_volume.Stat(path, &entry) ? entry.name : LastPartOf(path);
    }

    bool IsSameFolder(const std::string& first, const std::string& second) {
        image::Entry one, other;
        if (m_volume.Stat(first, &one) && m_volume.Stat(second, &other))
            return one.identity == other.identity;
        return IsSameIgnoringCase(first, second);
    }

    image::Volume& m_listVolume;
    image::Volume& m_volume;
    std::string m_listPath, m_drive;
    bool m_writable;
};

// --- the NT family: the SYSTEM hive ----------------------------------------------------

// A copy of the hive for libhivex, which reads and writes files: a file in memory that
// it opens by its name under /proc, so that a run killed leaves nothing behind, or where
// there is none, a file in TMPDIR.
class HiveCopy {
  public:
    HiveCopy() {
        m_memory = memfd_create("torvoclean-hive", MFD_CLOEXEC);
        if (m_memory >= 0) {
            m_path = "/proc/self/fd/" + std::to_string(m_memory);
            m_made = access(m_path.c_str(), R_OK | W_OK) == 0;
            if (m_made) return;
            close(m_memory);
            m_memory = -1;
        }
        const char* folder = getenv("TMPDIR");
        m_path = std::string(folder && *folder ? folder : "/tmp") + "/torvoclean-hive-XXXXXX";
        int fd = mkstemp(&m_path[0]);
        if (fd >= 0) close(fd);
        m_made = fd >= 0;
    }
    ~HiveCopy() {
        if (m_hive) hivex_close(m_hive);
        if (m_memory >= 0)
            close(m_memory);
        else if (m_made)
            unlink(m_path.c_str());
    }
    HiveCopy(const HiveCopy&) = delete;
    HiveCopy& operator=(const HiveCopy&) = delete;

    // Opens the hive of the image; false when it is missing or broken.
    bool Open(const std::string& bytes, bool writable) {
        FILE* file = m_made ? fopen(m_path.c_str(), "wb") : nullptr;
        if (!file) return false;
        bool written = fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
        if (fclose(file) != 0 || !written) return false;
        m_hive = hivex_open(m_path.c_str(), writable ? HIVEX_OPEN_WRITE : 0);
        return m_hive != nullptr;
    }

    bool Commit(std::string* bytes) {
        if (hivex_commit(m_hive, nullptr, 0) != 0) return false;
        FILE* file = fopen(m_path.c_str(), "rb");
        if (!file) return false;
        bytes->clear();
        char buffer[65536];
        for (size_t got; (got = fread(buffer, 1, sizeof buffer, file)) > 0;)
            bytes->append(buffer, got);
        fclose(file);
        return true;
    }

    hive_h* Hive() { return m_hive; }

  private:
    std::string m_path;
    int m_memory = -1;  // the file in memory, if any
    bool m_made = false;
    hive_h* m_hive = nullptr;
};

// A hive whose two sequence numbers differ has a transaction log that Windows has not
// put into it yet: its primary file is not the whole truth.
bool HasPendingLog(const std::string& bytes) {
    if (bytes.size() < 12 || bytes.compare(0, 4, "regf") != 0) return true;
    uint32_t first, second;
    memcpy(&first, &bytes[4], 4);
    memcpy(&second, &bytes[8], 4);
    return first != second;
}

// Whether the size the base block gives the hive bins fits the file: libhivex would add
// a bin where that size ends, past the end of the file (gigabytes of it) or not on a
// block.
bool HasSoundBins(const std::string& bytes) {
    if (bytes.size() < kHiveBlock) return false;
    uint32_t size;
    memcpy(&size, &bytes[kBinsSizeAt], 4);
    return size % kHiveBlock == 0 && size <= bytes.size() - kHiveBlock;
}

hive_node_h Child(hive_h* hive, hive_node_h node, const char* name) {
    return node ? hivex_node_get_child(hive, node, name) : 0;
}

// The key "Session Manager" of the current control set.
hive_node_h SessionManager(hive_h* hive) {
    hive_node_h root = hivex_root(hive);
    hive_value_h current = hivex_node_get_value(hive, Child(hive, root, "Select"), "Current");
    if (!current) return 0;
    int32_t set = hivex_value_dword(hive, current);
    if (set < 1 || set > 999) return 0;
    char name[16];
    snprintf(name, sizeof name, "ControlSet%03d", int(set));
    return Child(hive, Child(hive, Child(hive, root, name), "Control"), "Session Manager");
}

std::string Utf8Of(const std::u16string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        uint32_t c = text[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] < 0xE000)
            c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
        if (c < 0x80) {
            out += char(c);
        } else if (c < 0x800) {
            out += char(0xC0 | c >> 6);
            out += char(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += char(0xE0 | c >> 12);
            out += char(0x80 | ((c >> 6) & 0x3F));
            out += char(0x80 | (c & 0x3F));
        } else {
            out += char(0xF0 | c >> 18);
            out += char(0x80 | ((c >> 12) & 0x3F));
            out += char(0x80 | ((c >> 6) & 0x3F));
            out += char(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::u16string Utf16Of(const std::string& text) {
    std::u16string out;
    for (size_t i = 0; i < text.size();) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        size_t length = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
        uint32_t code = length == 1 ? c : c & (0xFF >> (length + 1));
        for (size_t k = 1; k < length && i + k < text.size(); ++k)
            code = code << 6 | (static_cast<unsigned char>(text[i + k]) & 0x3F);
        i += length;
        if (code >= 0x10000) {
            out += char16_t(0xD800 + ((code - 0x10000) >> 10));
            out += char16_t(0xDC00 + ((code - 0x10000) & 0x3FF));
        } else {
            out += char16_t(code);
        }
    }
    return out;
}

// The strings of a REG_MULTI_SZ value as the system keeps it (UTF-16LE); an empty
// destination is a string of its own.
std::vector<std::u16string> MultiStrings(const char* data, size_t length) {
    std::vector<std::u16string> strings(1);
    for (size_t i = 0; i + 1 < length; i += 2) {
        char16_t c = char16_t(uint8_t(data[i]) | uint8_t(data[i + 1]) << 8);
        if (c)
            strings.back() += c;
        else
            strings.emplace_back();
    }
    strings.pop_back();
    if (strings.size() % 2) strings.pop_back();  // the closing empty string
    return strings;
}

std::string MultiStringValue(const std::vector<RestartEntry>& entries) {
    std::u16string text;
    for (const RestartEntry& entry : entries) {
        bool replaces = entry.replaces && !entry.destination.empty();
        text += Utf16Of(entry.source) + u'\0';
        text += (replaces ? u"!" : u"") + Utf16Of(entry.destination) + u'\0';
    }
    text += u'\0';
    std::string bytes;
    for (char16_t c : text) {
        bytes += char(c & 0xFF);
        bytes += char(c >> 8);
    }
    return bytes;
}

// A value's data and its type as the hive keeps it: any number, which hive_type need not
// hold (it names the types Windows defines).
static_assert(sizeof(hive_type) == sizeof(uint32_t), "a value's type is 32 bits");
char* ValueData(hive_h* hive, hive_value_h value, uint32_t* type, size_t* length) {
    return hivex_value_value(hive, value, reinterpret_cast<hive_type*>(type), length);
}

// Whether libhivex can take the node's values away to write them anew, `largest` bytes
// of data the most: it frees the value list, every value's cell and its data cell, and
// stops the whole program (an assertion) at one that is no cell or is freed twice; it
// writes data in one cell. `bytes` is the hive it opened.
bool CanRewriteValues(hive_h* hive, const std::string& bytes, hive_node_h node, size_t largest) {
    const size_t kValueCountAt = 40, kValueListAt = 44;  // in the key's cell, from its size
    hive_value_h* all = hivex_node_values(hive, node);
    if (!all) return false;
    std::vector<size_t> cells;
    uint32_t count = 0, list = 0;
    bool sound = node + kValueListAt + 4 <= bytes.size();
    if (sound) {
        memcpy(&count, &bytes[node + kValueCountAt], 4);
        memcpy(&list, &bytes[node + kValueListAt], 4);
    }
    if (count) cells.push_back(size_t(list) + kHiveBlock);
    uint32_t minor = 0;
    memcpy(&minor, &bytes[kMinorVersionAt], 4);
    for (hive_value_h* value = all; sound && *value; ++value) {
        size_t length = 0;
        errno = 0;
        hive_value_h data = hivex_value_data_cell_offset(hive, *value, &length);
        char* key = hivex_value_key(hive, *value);
        sound = key && (data || errno == 0);
        largest = std::max(largest, data ? length - 4 : 0);  // its length counts its size field
        free(key);
        cells.push_back(*value);
        if (data) cells.push_back(data);
    }
    free(all);
    std::sort(cells.begin(), cells.end());
    return sound && std::adjacent_find(cells.begin(), cells.end()) == cells.end() &&
           (minor < 4 || largest <= kMostDataInOneCell);
}

// Sets the value, or takes it away when there is nothing to keep; the node's other
// values stay as they are, and one that cannot be read keeps the hive as it is.
bool SetPendingValue(hive_h* hive, const std::string& bytes, hive_node_h node,
                     const std::vector<RestartEntry>& entries) {
    std::string data = MultiStringValue(entries);
    if (!CanRewriteValues(hive, bytes, node, data.size())) return false;
    if (!entries.empty()) {
        hive_set_value value = {const_cast<char*>(kSessionManagerValue), hive_t_REG_MULTI_SZ,
                                data.size(), &data[0]};
        return hivex_node_set_value(hive, node, &value, 0) == 0;
    }
    std::vector<hive_set_value> kept;
    std::vector<std::string> keys, values;
    hive_value_h* all = hivex_node_values(hive, node);
    bool read = all != nullptr;
    for (hive_value_h* value = all; read && *value; ++value) {
        char* key = hivex_value_key(hive, *value);
        uint32_t type;
        size_t length;
        char* content = ValueData(hive, *value, &type, &length);
        read = key && content;
        if (read && strcmp(key, kSessionManagerValue) != 0) {
            keys.emplace_back(key);
            values.emplace_back(content, length);
            kept.push_back({nullptr, hive_t_REG_NONE, length, nullptr});
            memcpy(&kept.back().t, &type, sizeof type);
        }
        free(key);
        free(content);
    }
    free(all);
    if (!read) return false;
    for (size_t i = 0; i < kept.size(); ++i) {
        kept[i].key = &keys[i][0];
        kept[i].value = &values[i][0];
    }
    return hivex_node_set_values(hive, node, kept.size(), kept.data(), 0) == 0;
}

// The restart list the hive holds; false when it cannot be told (a broken hive, no
// current control set, a value of another type).
bool ReadPending(const std::string& bytes, std::vector<RestartEntry>* entries) {
    HiveCopy copy;
    if (!copy.Open(bytes, false)) return false;
    hive_node_h node = SessionManager(copy.Hive());
    if (!node) return false;
    entries->clear();
    hive_value_h value = hivex_node_get_value(copy.Hive(), node, kSessionManagerValue);
    if (!value) return true;
    uint32_t type;
    size_t length = 0;
    char* data = ValueData(copy.Hive(), value, &type, &length);
    if (!data || type != uint32_t(hive_t_REG_MULTI_SZ)) {
        free(data);
        return false;
    }
    std::vector<std::u16string> strings = MultiStrings(data, length);
    free(data);
    // A destination of "!" alone renames onto nothing: it is kept as it stands, not read
    // as a deletion that would be written back without its "!".
    for (size_t i = 0; i < strings.size(); i += 2) {
        bool replaces = strings[i + 1].size() > 1 && strings[i + 1][0] == u'!';
        entries->push_back(
            {Utf8Of(strings[i]), Utf8Of(strings[i + 1].substr(replaces ? 1 : 0)), replaces});
    }
    return true;
}

// Whether the list read back is the one written (a deletion never replaces).
bool IsSameList(const std::vector<RestartEntry>& read, const std::vector<RestartEntry>& written) {
    return read.size() == written.size() &&
           std::equal(read.begin(), read.end(), written.begin(),
                      [](const RestartEntry& a, const RestartEntry& b) {
                          return a.source == b.source && a.destination == b.destination &&
                                 a.replaces == (b.replaces && !b.destination.empty());
                      });
}

class NtList : public ImageRestartList {
  public:
    NtList(image::Volume& hiveVolume, std::string hivePath, char letter, bool writable)
        : m_hiveVolume(hiveVolume),
          m_hivePath(std::move(hivePath)),
          m_drive(letter ? std::string("\\??\\") + letter + ":" : std::string()),
          m_writable(writable) {}

    bool Read(std::vector<RestartEntry>* entries) override {
        std::string bytes;
        return ReadWhole(m_hiveVolume, m_hivePath, &bytes) && ReadPending(bytes, entries);
    }

    // A hive with a pending transaction log is never written, nor a broken one that
    // libhivex would write in a shape that does not read back as written.
    bool Write(const std::vector<RestartEntry>& entries) override {
        std::string bytes;
        HiveCopy copy;
        if (!m_writable || !ReadWhole(m_hiveVolume, m_hivePath, &bytes) || HasPendingLog(bytes) ||
            !HasSoundBins(bytes) || !copy.Open(bytes, true))
            return false;
        hive_node_h node = SessionManager(copy.Hive());
        std::vector<RestartEntry> written;
        return node && SetPendingValue(copy.Hive(), bytes, node, entries) && copy.Commit(&bytes) &&
               ReadPending(bytes, &written) && IsSameList(written, entries) &&
               WriteWhole(m_hiveVolume, m_hivePath, bytes);
    }

    bool CanWrite() override {
        std::string bytes;
        return m_writable && ReadWhole(m_hiveVolume, m_hivePath, &bytes) && !HasPendingLog(bytes);
    }

    std::string NameOf(const std::string& volumePath) override {
        std::string name = volumePath;
        std::replace(name.begin(), name.end(), '/', '\\');
        return m_drive + name;
    }

    bool IsSameName(const std::string& first, const std::string& second) override {
        return IsSameIgnoringCase(first, second);
    }

    bool IsWorkFileName(const std::string& work, const std::string& file) override {
        return IsSameIgnoringCase(work, file + ".cln");
    }

    bool VolumePathOf(const std::string& stored, std::string* path) override {
        return VolumePathOnDrive(stored, m_drive, path);
    }

  private:
    image::Volume& m_hiveVolume;
    std::string m_hivePath, m_drive;
    bool m_writable;
};

// The MountedDevices value of a drive letter: the MBR disk signature and partition
// offset, or "DMIO:ID:" and the GPT partition's GUID.
bool NamesVolume(const char* data, size_t length, const VolumeIdentity& volume) {
    if (volume.gpt)
        return length == 24 && memcmp(data, "DMIO:ID:", 8) == 0 &&
               memcmp(data + 8, volume.partitionGuid, 16) == 0;
    if (length != 12) return false;
    uint32_t signature;
    uint64_t offset;
    memcpy(&signature, data, 4);
    memcpy(&offset, data + 4, 8);
    return signature == volume.diskSignature && offset == volume.offset;
}

}  // namespace

WindowsOnImage FindWindows(image::Volume& volume) {
    WindowsOnImage windows;
    for (const char* hive : kNtHives)
        if (Exists(volume, hive)) return {WindowsOnImage::NT, &volume, hive};
    std::string folder = kWin95Folder;
    if (Exists(volume, folder + "/WIN.COM") || Exists(volume, folder + "/SYSTEM.DAT"))
        return {WindowsOnImage::WIN95, &volume, folder + "/WININIT.INI"};
    return windows;
}

char DriveLetterOf(const WindowsOnImage& windows, const VolumeIdentity& volume) {
    std::string bytes;
    HiveCopy copy;
    if (windows.family != WindowsOnImage::NT ||
        !ReadWhole(*windows.volume, windows.listPath, &bytes) || !copy.Open(bytes, false))
        return 0;
    hive_node_h devices = Child(copy.Hive(), hivex_root(copy.Hive()), "MountedDevices");
    for (char letter = 'C'; devices && letter <= 'Z'; ++letter) {
        std::string key = std::string("\\DosDevices\\") + letter + ":";
        hive_value_h value = hivex_node_get_value(copy.Hive(), devices, key.c_str());
        uint32_t type;
        size_t length = 0;
        char* data = value ? ValueData(copy.Hive(), value, &type, &length) : nullptr;
        bool found = data && NamesVolume(data, length, volume);
        free(data);
        if (found) return letter;
    }
    return 0;
}

std::unique_ptr<ImageRestartList> MakeWindowsRestartList(const WindowsOnImage& windows,
                                                         image::Volume& volume, char letter) {
    bool holdsList = windows.volume == &volume;
    if (!letter && holdsList) letter = 'C';
    switch (windows.family) {
        case WindowsOnImage::WIN95:
            return std::unique_ptr<ImageRestartList>(
                new WininitList(*windows.volume, volume, windows.listPath, letter, holdsList));
        case WindowsOnImage::NT:
            return std::unique_ptr<ImageRestartList>(
                new NtList(*windows.volume, windows.listPath, letter, holdsList));
        default:
            return MakeNoRestartList();
    }
}
