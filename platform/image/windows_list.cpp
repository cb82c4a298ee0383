#include "platform/image/windows_list.h"

#include <hivex.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

#include "platform/rename_section.h"

namespace {

const char* const kNtHives[] = {"/Windows/System32/config/SYSTEM", "/WINNT/System32/config/SYSTEM"};
const char kWin95Folder[] = "/WINDOWS";
const char kSessionManagerValue[] = "PendingFileRenameOperations";

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

bool ReadWhole(image::Volume& volume, const std::string& path, std::string* text) {
    image::Entry entry;
    text->clear();
    if (!volume.Stat(path, &entry)) return true;  // a missing list is empty
    if (entry.isDirectory) return false;
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

// A copy of the hive on the host, for libhivex, which reads and writes files.
class HiveCopy {
  public:
    HiveCopy() {
        const char* folder = getenv("TMPDIR");
        m_path = std::string(folder && *folder ? folder : "/tmp") + "/torvoclean-hive-XXXXXX";
        int fd = mkstemp(&m_path[0]);
        if (fd >= 0) close(fd);
        m_made = fd >= 0;
    }
    ~HiveCopy() {
        if (m_hive) hivex_close(m_hive);
        if (m_made) unlink(m_path.c_str());
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

// Sets the value, or takes it away when there is nothing to keep; the node's other
// values stay as they are.
bool SetPendingValue(hive_h* hive, hive_node_h node, const std::vector<RestartEntry>& entries) {
    std::string data = MultiStringValue(entries);
    if (!entries.empty()) {
        hive_set_value value = {const_cast<char*>(kSessionManagerValue), hive_t_REG_MULTI_SZ,
                                data.size(), &data[0]};
        return hivex_node_set_value(hive, node, &value, 0) == 0;
    }
    std::vector<hive_set_value> kept;
    std::vector<std::string> keys, values;
    hive_value_h* all = hivex_node_values(hive, node);
    if (!all) return false;
    for (hive_value_h* value = all; *value; ++value) {
        char* key = hivex_value_key(hive, *value);
        hive_type type;
        size_t length;
        char* bytes = hivex_value_value(hive, *value, &type, &length);
        if (key && bytes && strcmp(key, kSessionManagerValue) != 0) {
            keys.emplace_back(key);
            values.emplace_back(bytes, length);
            kept.push_back({nullptr, type, length, nullptr});
        }
        free(key);
        free(bytes);
    }
    free(all);
    for (size_t i = 0; i < kept.size(); ++i) {
        kept[i].key = &keys[i][0];
        kept[i].value = &values[i][0];
    }
    return hivex_node_set_values(hive, node, kept.size(), kept.data(), 0) == 0;
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
        HiveCopy copy;
        if (!ReadWhole(m_hiveVolume, m_hivePath, &bytes) || !copy.Open(bytes, false)) return false;
        hive_node_h node = SessionManager(copy.Hive());
        if (!node) return false;
        entries->clear();
        hive_value_h value = hivex_node_get_value(copy.Hive(), node, kSessionManagerValue);
        if (!value) return true;
        hive_type type;
        size_t length = 0;
        char* data = hivex_value_value(copy.Hive(), value, &type, &length);
        if (!data || type != hive_t_REG_MULTI_SZ) {
            free(data);
            return false;
        }
        std::vector<std::u16string> strings = MultiStrings(data, length);
        free(data);
        for (size_t i = 0; i < strings.size(); i += 2) {
            bool replaces = !strings[i + 1].empty() && strings[i + 1][0] == u'!';
            entries->push_back(
                {Utf8Of(strings[i]), Utf8Of(strings[i + 1].substr(replaces ? 1 : 0)), replaces});
        }
        return true;
    }

    // A hive with a pending transaction log is never written.
    bool Write(const std::vector<RestartEntry>& entries) override {
        std::string bytes;
        HiveCopy copy;
        if (!m_writable || !ReadWhole(m_hiveVolume, m_hivePath, &bytes) || HasPendingLog(bytes) ||
            !copy.Open(bytes, true))
            return false;
        hive_node_h node = SessionManager(copy.Hive());
        return node && SetPendingValue(copy.Hive(), node, entries) && copy.Commit(&bytes) &&
               WriteWhole(m_hiveVolume, m_hivePath, bytes);
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
        hive_type type;
        size_t length = 0;
        char* data = value ? hivex_value_value(copy.Hive(), value, &type, &length) : nullptr;
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
