#include "tools/samplegen/hive.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace hive {
namespace {

const size_t kBlock = 4096;      // the base block, and the unit hive bins are made of
const size_t kBinHeader = 32;    // the header of a hive bin, before its first cell
const size_t kChecksumAt = 508;  // the base block's checksum covers the bytes before it
const uint32_t kNoCell = 0xFFFFFFFF;
const uint32_t kSequence = 1;
const uint64_t kWritten = 0x01C15CE7FD4D8000;  // 25 October 2001, as a FILETIME

const uint16_t kRootKey = 0x0004;         // KEY_HIVE_ENTRY
const uint16_t kNoDelete = 0x0008;        // KEY_NO_DELETE
const uint16_t kAsciiKey = 0x0020;        // KEY_COMP_NAME: the key's name is ASCII
const uint16_t kAsciiValue = 0x0001;      // VALUE_COMP_NAME
const uint32_t kDataInline = 0x80000000;  // in a value's size: the data stands in its offset

const uint32_t kRegBinary = 3;
const uint32_t kRegDword = 4;
const uint32_t kRegMultiSz = 7;

// Where a key node keeps the offsets of its lists.
const size_t kSubkeyListAt = 28;
const size_t kValueListAt = 40;

struct Value {
    std::string name;
    uint32_t type;
    Bytes data;
};

struct Key {
    std::string name;
    std::vector<Value> values;
    std::vector<Key> subkeys;
};

// --- little-endian bytes ---------------------------------------------------------------

void Put16(Bytes& out, uint32_t value) {
    out.push_back(uint8_t(value));
    out.push_back(uint8_t(value >> 8));
}

void Put32(Bytes& out, uint32_t value) {
    Put16(out, value & 0xFFFF);
    Put16(out, value >> 16);
}

void Put64(Bytes& out, uint64_t value) {
    Put32(out, uint32_t(value));
    Put32(out, uint32_t(value >> 32));
}

void PutText(Bytes& out, const std::string& text) {
    out.insert(out.end(), text.begin(), text.end());
}

void Set32(Bytes& out, size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i) out[at + size_t(i)] = uint8_t(value >> (8 * i));
}

uint32_t Get32(const Bytes& in, size_t at) {
    return uint32_t(in[at]) | uint32_t(in[at + 1]) << 8 | uint32_t(in[at + 2]) << 16 |
           uint32_t(in[at + 3]) << 24;
}

Bytes Dword(uint32_t value) {
    Bytes out;
    Put32(out, value);
    return out;
}

// UTF-8 to UTF-16LE; a byte that begins no sequence stands for itself (Latin-1).
void PutUtf16(Bytes& out, const std::string& text) {
    for (size_t i = 0; i < text.size();) {
        uint32_t c = uint8_t(text[i]);
        size_t length = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
        if (i + length > text.size()) length = 1;
        if (length > 1) c &= 0x3Fu >> (length - 1);
        for (size_t k = 1; k < length; ++k) c = c << 6 | (uint8_t(text[i + k]) & 0x3F);
        i += length;
        if (c >= 0x10000) {
            Put16(out, 0xD800 + ((c - 0x10000) >> 10));
            c = 0xDC00 + ((c - 0x10000) & 0x3FF);
        }
        Put16(out, c);
    }
}

// --- the hive bin and its cells ----------------------------------------------------------

// One hive bin, grown a cell at a time; offsets count from its start, which is where the
// hive bins begin.
class Bin {
  public:
    Bin() : m_bytes(kBinHeader, 0) {}

    // A new allocated cell holding `data` (its size negative, 8-byte aligned).
    uint32_t Add(const Bytes& data) {
        uint32_t cell = uint32_t(m_bytes.size());
        size_t size = (4 + data.size() + 7) / 8 * 8;
        Put32(m_bytes, uint32_t(0) - uint32_t(size));
        m_bytes.insert(m_bytes.end(), data.begin(), data.end());
        m_bytes.resize(cell + size, 0);
        return cell;
    }

    // Sets four bytes of a cell's data.
    void Patch(uint32_t cell, size_t at, uint32_t value) { Set32(m_bytes, cell + 4 + at, value); }

    // The whole bin, in blocks of 4 KiB, its free rest one unallocated cell.
    Bytes Finish() const {
        Bytes bin = m_bytes;
        size_t size = (bin.size() + kBlock - 1) / kBlock * kBlock;
        if (size > bin.size()) Put32(bin, uint32_t(size - bin.size()));
        bin.resize(size, 0);
        Bytes header;
        PutText(header, "hbin");
        Put32(header, 0);  // its offset from the first bin
        Put32(header, uint32_t(size));
        Put64(header, 0);
        Put64(header, kWritten);
        Put32(header, 0);
        std::copy(header.begin(), header.end(), bin.begin());
        return bin;
    }

  private:
    Bytes m_bytes;
};

// --- the security cell ---------------------------------------------------------------------

// A SID of the NT authority (S-1-5-...).
Bytes NtSid(const std::vector<uint32_t>& subAuthorities) {
    Bytes sid = {1, uint8_t(subAuthorities.size()), 0, 0, 0, 0, 0, 5};
    for (uint32_t part : subAuthorities) Put32(sid, part);
    return sid;
}

// An ACE that grants every access to a key, passed on to its subkeys.
Bytes FullAccess(const Bytes& sid) {
    Bytes ace = {0, 0x02};  // ACCESS_ALLOWED_ACE_TYPE, CONTAINER_INHERIT_ACE
    Put16(ace, uint32_t(8 + sid.size()));
    Put32(ace, 0x000F003F);  // KEY_ALL_ACCESS
    ace.insert(ace.end(), sid.begin(), sid.end());
    return ace;
}

// A self-relative security descriptor: owned by the Administrators, group SYSTEM, and
// full access for both.
Bytes SecurityDescriptor() {
    Bytes system = NtSid({18}), administrators = NtSid({32, 544});
    Bytes aces = FullAccess(system), second = FullAccess(administrators);
    aces.insert(aces.end(), second.begin(), second.end());
    Bytes acl = {2, 0};  // ACL_REVISION
    Put16(acl, uint32_t(8 + aces.size()));
    Put16(acl, 2);
    Put16(acl, 0);
    acl.insert(acl.end(), aces.begin(), aces.end());
    const uint32_t header = 20;
    Bytes descriptor = {1, 0};
    Put16(descriptor, 0x8004);                         // SE_SELF_RELATIVE, SE_DACL_PRESENT
    Put32(descriptor, uint32_t(header + acl.size()));  // owner
    Put32(descriptor, uint32_t(header + acl.size() + administrators.size()));  // group
    Put32(descriptor, 0);                                                      // no SACL
    Put32(descriptor, header);                                                 // DACL
    for (const Bytes* part : {&acl, &administrators, &system})
        descriptor.insert(descriptor.end(), part->begin(), part->end());
    return descriptor;
}

// The one security cell every key refers to: a list of itself alone.
uint32_t AddSecurity(Bin& bin, uint32_t keys) {
    Bytes descriptor = SecurityDescriptor(), sk;
    PutText(sk, "sk");
    Put16(sk, 0);
    Put32(sk, kNoCell);  // the previous and next security cells: itself, patched below
    Put32(sk, kNoCell);
    Put32(sk, keys);  // the reference count
    Put32(sk, uint32_t(descriptor.size()));
    sk.insert(sk.end(), descriptor.begin(), descriptor.end());
    uint32_t cell = bin.Add(sk);
    bin.Patch(cell, 4, cell);
    bin.Patch(cell, 8, cell);
    return cell;
}

// --- keys and values ---------------------------------------------------------------------

uint32_t CountKeys(const Key& key) {
    uint32_t count = 1;
    for (const Key& subkey : key.subkeys) count += CountKeys(subkey);
    return count;
}

// The longest name, in bytes of UTF-16 as the format counts it.
template <typename Named>
uint32_t LongestName(const std::vector<Named>& items) {
    size_t longest = 0;
    for (const Named& item : items) longest = std::max(longest, item.name.size());
    return uint32_t(2 * longest);
}

uint32_t LargestData(const std::vector<Value>& values) {
    size_t largest = 0;
    for (const Value& value : values) largest = std::max(largest, value.data.size());
    return uint32_t(largest);
}

std::string Upper(const std::string& name) {
    std::string upper = name;
    for (char& c : upper) c = char(toupper(uint8_t(c)));
    return upper;
}

// The hash an "lh" list keeps of each subkey's name.
uint32_t NameHash(const std::string& name) {
    uint32_t hash = 0;
    for (char c : Upper(name)) hash = hash * 37 + uint8_t(c);
    return hash;
}

Bytes NodeCell(const Key& key, uint32_t parent, uint32_t security, bool root) {
    Bytes nk;
    PutText(nk, "nk");
    Put16(nk, root ? kRootKey | kNoDelete | kAsciiKey : kAsciiKey);
    Put64(nk, kWritten);
    Put32(nk, 0);  // access bits
    Put32(nk, parent);
    Put32(nk, uint32_t(key.subkeys.size()));
    Put32(nk, 0);        // volatile subkeys
    Put32(nk, kNoCell);  // the subkey list (kSubkeyListAt), patched once written
    Put32(nk, kNoCell);  // the volatile subkey list
    Put32(nk, uint32_t(key.values.size()));
    Put32(nk, kNoCell);  // the value list (kValueListAt), patched once written
    Put32(nk, security);
    Put32(nk, kNoCell);  // no class name
    Put32(nk, LongestName(key.subkeys));
    Put32(nk, 0);  // the longest class name
    Put32(nk, LongestName(key.values));
    Put32(nk, LargestData(key.values));
    Put32(nk, 0);
    Put16(nk, uint32_t(key.name.size()));
    Put16(nk, 0);
    PutText(nk, key.name);
    return nk;
}

// Data of four bytes and less stands in the value cell itself.
uint32_t AddValue(Bin& bin, const Value& value) {
    bool inCell = value.data.size() <= 4;
    Bytes vk;
    PutText(vk, "vk");
    Put16(vk, uint32_t(value.name.size()));
    Put32(vk, uint32_t(value.data.size()) | (inCell ? kDataInline : 0));
    if (inCell) {
        Bytes data = value.data;
        data.resize(4, 0);
        vk.insert(vk.end(), data.begin(), data.end());
    } else {
        Put32(vk, bin.Add(value.data));
    }
    Put32(vk, value.type);
    Put16(vk, kAsciiValue);
    Put16(vk, 0);
    PutText(vk, value.name);
    return bin.Add(vk);
}

uint32_t AddValueList(Bin& bin, const std::vector<Value>& values) {
    Bytes list;
    for (const Value& value : values) Put32(list, AddValue(bin, value));
    return bin.Add(list);
}

uint32_t AddKey(Bin& bin, const Key& key, uint32_t parent, uint32_t security, bool root);

// An "lh" list, its subkeys in the order of their names in capitals.
uint32_t AddSubkeyList(Bin& bin, const Key& key, uint32_t node, uint32_t security) {
    std::vector<const Key*> sorted;
    for (const Key& subkey : key.subkeys) sorted.push_back(&subkey);
    std::sort(sorted.begin(), sorted.end(),
              [](const Key* a, const Key* b) { return Upper(a->name) < Upper(b->name); });
    Bytes lh;
    PutText(lh, "lh");
    Put16(lh, uint32_t(sorted.size()));
    for (const Key* subkey : sorted) {
        Put32(lh, AddKey(bin, *subkey, node, security, false));
        Put32(lh, NameHash(subkey->name));
    }
    return bin.Add(lh);
}

uint32_t AddKey(Bin& bin, const Key& key, uint32_t parent, uint32_t security, bool root) {
    uint32_t node = bin.Add(NodeCell(key, parent, security, root));
    if (!key.values.empty()) bin.Patch(node, kValueListAt, AddValueList(bin, key.values));
    if (!key.subkeys.empty())
        bin.Patch(node, kSubkeyListAt, AddSubkeyList(bin, key, node, security));
    return node;
}

// --- the base block ----------------------------------------------------------------------

// The XOR of the dwords before it; 0 and ~0 are never written.
uint32_t Checksum(const Bytes& base) {
    uint32_t sum = 0;
    for (size_t at = 0; at < kChecksumAt; at += 4) sum ^= Get32(base, at);
    return sum == 0xFFFFFFFF ? 0xFFFFFFFE : sum == 0 ? 1 : sum;
}

Bytes BaseBlock(uint32_t root, uint32_t binsSize, bool pendingLog) {
    Bytes base;
    PutText(base, "regf");
    Put32(base, kSequence + (pendingLog ? 1 : 0));  // primary: raised before a write
    Put32(base, kSequence);                         // secondary: raised after it
    Put64(base, kWritten);
    Put32(base, 1);  // major version
    Put32(base, 5);  // minor version
    Put32(base, 0);  // a primary file
    Put32(base, 1);  // direct memory load
    Put32(base, root);
    Put32(base, binsSize);
    Put32(base, 1);  // clustering factor
    PutUtf16(base, "SYSTEM");
    base.resize(kChecksumAt, 0);
    Put32(base, Checksum(base));
    base.resize(kBlock, 0);
    return base;
}

// --- the SYSTEM hive's keys --------------------------------------------------------------

std::string ControlSetName(uint32_t set) {
    char name[24];
    std::snprintf(name, sizeof name, "ControlSet%03u", unsigned(set));
    return name;
}

Key ControlSet(uint32_t set, const std::vector<std::string>& pending) {
    Key manager = {"Session Manager",
                   {{"BootExecute", kRegMultiSz, MultiString({"autocheck autochk *"})}},
                   {}};
    if (!pending.empty())
        manager.values.push_back(
            {"PendingFileRenameOperations", kRegMultiSz, MultiString(pending)});
    return {ControlSetName(set), {}, {{"Control", {}, {manager}}}};
}

Key MountedDevices(const std::vector<MountedDrive>& drives) {
    Key devices = {"MountedDevices", {}, {}};
    for (const MountedDrive& drive : drives)
        devices.values.push_back(
            {std::string("\\DosDevices\\") + drive.letter + ":", kRegBinary, drive.volume});
    return devices;
}

Key Select(uint32_t current, uint32_t lastKnownGood) {
    return {"Select",
            {{"Current", kRegDword, Dword(current)},
             {"Default", kRegDword, Dword(current)},
             {"Failed", kRegDword, Dword(0)},
             {"LastKnownGood", kRegDword, Dword(lastKnownGood)}},
            {}};
}

Key SystemKeys(const SystemHive& hive) {
    Key root = {"$$$PROTO.HIV", {}, {ControlSet(hive.currentSet, hive.pending)}};
    uint32_t lastKnownGood = hive.lastKnownGoodSet ? hive.lastKnownGoodSet : hive.currentSet;
    if (lastKnownGood != hive.currentSet)
        root.subkeys.push_back(ControlSet(lastKnownGood, hive.pending));
    root.subkeys.push_back(MountedDevices(hive.drives));
    root.subkeys.push_back(Select(hive.currentSet, lastKnownGood));
    return root;
}

// The number that `count` hex digits at `at` write; false for another character.
bool HexDigits(const std::string& text, size_t at, size_t count, uint32_t* value) {
    *value = 0;
    for (size_t i = at; i < at + count; ++i) {
        char c = char(tolower(uint8_t(text[i])));
        if (!isxdigit(uint8_t(c))) return false;
        *value = *value << 4 | uint32_t(c <= '9' ? c - '0' : c - 'a' + 10);
    }
    return true;
}

}  // namespace

Bytes MultiString(const std::vector<std::string>& strings) {
    Bytes data;
    for (const std::string& text : strings) {
        PutUtf16(data, text);
        Put16(data, 0);
    }
    Put16(data, 0);
    return data;
}

Bytes SystemHiveFile(const SystemHive& hive) {
    Key root = SystemKeys(hive);
    Bin bin;
    uint32_t security = AddSecurity(bin, CountKeys(root));
    uint32_t rootNode = AddKey(bin, root, 0, security, true);
    Bytes bins = bin.Finish();
    Bytes file = BaseBlock(rootNode, uint32_t(bins.size()), hive.pendingLog);
    file.insert(file.end(), bins.begin(), bins.end());
    return file;
}

Bytes MbrVolume(uint32_t diskSignature, uint64_t offset) {
    Bytes volume;
    Put32(volume, diskSignature);
    Put64(volume, offset);
    return volume;
}

// The GUID's first three groups are stored little-endian, the last two as written.
bool GptVolume(const std::string& guid, Bytes* volume) {
    const size_t groups[][2] = {{0, 8}, {9, 4}, {14, 4}, {19, 4}, {24, 12}};
    if (guid.size() != 36 || guid[8] != '-' || guid[13] != '-' || guid[18] != '-' ||
        guid[23] != '-')
        return false;
    volume->clear();
    PutText(*volume, "DMIO:ID:");
    uint32_t value;
    for (int group = 0; group < 3; ++group) {
        if (!HexDigits(guid, groups[group][0], groups[group][1], &value)) return false;
        for (size_t i = 0; i < groups[group][1] / 2; ++i)
            volume->push_back(uint8_t(value >> (8 * i)));
    }
    for (int group = 3; group < 5; ++group)
        for (size_t at = groups[group][0]; at < groups[group][0] + groups[group][1]; at += 2) {
            if (!HexDigits(guid, at, 2, &value)) return false;
            volume->push_back(uint8_t(value));
        }
    return true;
}

}  // namespace hive
