#include "platform/posix/pe_resource.h"

#include <glob.h>
#include <gtest/gtest.h>

#include <algorithm>

#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "tools/samplegen/samples.h"

namespace {

typedef std::vector<unsigned char> Bytes;

struct Res {
    uint16_t type, name, lang;
    std::string data;
};

// Layout of the images built here: headers, a .text section, then .rsrc whose
// file-to-RVA distance differs from that of .text.
const size_t kPe = 0x40, kOptional = 0x58, kSections = 0x138, kRsrcRaw = 0x400;
const uint32_t kRsrcRva = 0x3000;

void Put16(Bytes& b, size_t at, uint32_t v) {
    b[at] = v & 0xFF;
    b[at + 1] = (v >> 8) & 0xFF;
}
void Put32(Bytes& b, size_t at, uint32_t v) {
    Put16(b, at, v & 0xFFFF);
    Put16(b, at + 2, v >> 16);
}

// Languages of one type and name keep the given order; the data of the last
// resource (in type, name order) ends the file. With `namedRoot`, the root
// directory starts with a named entry (leading to the last type's directory).
Bytes BuildImage(const std::vector<Res>& resources, bool namedRoot = false) {
    std::map<uint16_t, std::map<uint16_t, std::vector<const Res*>>> types;
    for (const Res& r : resources) types[r.type][r.name].push_back(&r);
    Bytes t;
    auto dir = [&t](size_t named, size_t ids) {
        size_t at = t.size();
        t.resize(at + 16 + 8 * (named + ids));
        Put16(t, at + 12, named);
        Put16(t, at + 14, ids);
        return at + 16;
    };
    std::vector<std::pair<size_t, const Res*>> leaves;
    size_t rootEntry = dir(namedRoot, types.size()) + 8 * namedRoot;
    for (const auto& type : types) {
        Put32(t, rootEntry, type.first);
        Put32(t, rootEntry + 4, 0x80000000u | t.size());
        if (namedRoot) Put32(t, 20, 0x80000000u | t.size());
        size_t nameEntry = dir(0, type.second.size());
        for (const auto& name : type.second) {
            Put32(t, nameEntry, name.first);
            Put32(t, nameEntry + 4, 0x80000000u | t.size());
            size_t langEntry = dir(0, name.second.size());
            for (const Res* r : name.second) {
                Put32(t, langEntry, r->lang);
                Put32(t, langEntry + 4, t.size());
                leaves.push_back({t.size(), r});
                t.resize(t.size() + 16);
                langEntry += 8;
            }
            nameEntry += 8;
        }
        rootEntry += 8;
    }
    for (const auto& leaf : leaves) {
        t.resize((t.size() + 3) & ~size_t(3));
        Put32(t, leaf.first, kRsrcRva + t.size());
        Put32(t, leaf.first + 4, leaf.second->data.size());
        t.insert(t.end(), leaf.second->data.begin(), leaf.second->data.end());
    }
    Bytes f(kRsrcRaw + t.size());
    std::copy(t.begin(), t.end(), f.begin() + kRsrcRaw);
    const uint32_t tree = static_cast<uint32_t>(t.size());
    Put16(f, 0, 0x5A4D), Put32(f, 0x3C, kPe), Put32(f, kPe, 0x4550);
    Put16(f, kPe + 4, 0x14C), Put16(f, kPe + 6, 2), Put16(f, kPe + 20, 0xE0);
    Put16(f, kOptional, 0x10B), Put32(f, kOptional + 92, 16);
    Put32(f, kOptional + 112, kRsrcRva), Put32(f, kOptional + 116, tree);
    const uint32_t sections[2][4] = {{0x200, 0x1000, 0x200, 0x200},
                                     {tree, kRsrcRva, tree, kRsrcRaw}};
    for (int i = 0; i < 2; ++i) {
        for (int j = 0; j < 4; ++j) Put32(f, kSections + 40 * i + 8 + 4 * j, sections[i][j]);
    }
    return f;
}

PeLookup Find(const Bytes& f, uint16_t type, uint16_t name, std::string* found = nullptr) {
    size_t offset = 0;
    uint32_t length = 0;
    PeLookup r = FindPeResource(f.data(), f.size(), type, name, &offset, &length);
    if (r == PE_RESOURCE_FOUND && found != nullptr) {
        EXPECT_LE(offset + length, f.size());
        found->assign(f.begin() + offset, f.begin() + offset + length);
    }
    return r;
}

TEST(PeResource, FindsIdsAfterNamedEntriesAndTakesFirstLanguage) {
    const std::vector<Res> res = {{10, 102, 0x409, "host"},
                                  {10, 103, 0x409, "other"},
                                  {5, 7, 0, ""},
                                  {16, 1, 0x407, "ver-de"},
                                  {16, 1, 0x409, "ver-en"}};
    const struct {
        uint16_t type, name;
        const char* bytes;  // null: not found
    } lookups[] = {{10, 102, "host"}, {10, 103, "other"}, {16, 1, "ver-de"},   {5, 7, ""},
                   {3, 1, nullptr},   {10, 104, nullptr}, {16, 0x409, nullptr}};
    for (bool named : {false, true}) {
        const Bytes f = BuildImage(res, named);
        for (const auto& l : lookups) {
            std::string got = "-";
            EXPECT_EQ(Find(f, l.type, l.name, &got), l.bytes ? PE_RESOURCE_FOUND : PE_NO_RESOURCE);
            EXPECT_EQ(got, l.bytes ? l.bytes : "-") << l.type << "/" << l.name;
        }
    }
}

TEST(PeResource, EveryTruncationFailsCleanly) {
    const Bytes f = BuildImage({{10, 102, 0, "abc"}, {16, 1, 0, "last"}});
    for (size_t n = 0; n < f.size(); ++n) {
        const Bytes cut(f.begin(), f.begin() + n);
        EXPECT_EQ(Find(cut, 16, 1), n < kSections + 80 ? PE_NOT_IMAGE : PE_RESOURCE_BROKEN) << n;
    }
    EXPECT_EQ(Find(f, 16, 1), PE_RESOURCE_FOUND);
}

struct Patch {
    const char* what;
    size_t at;  // from the start of the resource tree when `inTree`
    bool inTree, wide;
    uint32_t value;
    PeLookup expect;
};

TEST(PeResource, BrokenHeadersAndTrees) {
    const size_t dataEntry = 0x48;  // after the root, name and language directories
    const Patch patches[] = {
        {"no MZ", 0, false, false, 0x4D5A, PE_NOT_IMAGE},
        {"e_lfanew huge", 0x3C, false, true, 0xFFFFFFFE, PE_NOT_IMAGE},
        {"e_lfanew near end", 0x3C, false, true, kRsrcRaw + 0x60, PE_NOT_IMAGE},
        {"no PE signature", kPe + 2, false, false, 1, PE_NOT_IMAGE},
        {"PE32+ magic", kOptional, false, false, 0x20B, PE_NOT_IMAGE},
        {"optional header too small", kPe + 20, false, false, 95, PE_NOT_IMAGE},
        {"optional header past end", kPe + 20, false, false, 0xFFFF, PE_NOT_IMAGE},
        {"section table past end", kPe + 6, false, false, 96, PE_NOT_IMAGE},
        {"two data directories", kOptional + 92, false, true, 2, PE_NO_RESOURCE},
        {"resource RVA zero", kOptional + 112, false, true, 0, PE_NO_RESOURCE},
        {"resource size zero", kOptional + 116, false, true, 0, PE_NO_RESOURCE},
        {"resource RVA between sections", kOptional + 112, false, true, 0x2000, PE_RESOURCE_BROKEN},
        {"virtual size cuts data off", kSections + 48, false, true, 0x50, PE_RESOURCE_BROKEN},
        {"raw size cuts data off", kSections + 56, false, true, 0x50, PE_RESOURCE_BROKEN},
        {"only named entries", 12, true, true, 1, PE_NO_RESOURCE},
        {"named count runs off the file", 12, true, false, 0xFFFF, PE_RESOURCE_BROKEN},
        {"type is not a directory", 20, true, true, 0x18, PE_RESOURCE_BROKEN},
        {"type directory past end", 20, true, true, 0x8FFFFFF0, PE_RESOURCE_BROKEN},
        {"language is a directory", 0x40 + 4, true, true, 0x80000000u | dataEntry,
         PE_RESOURCE_BROKEN},
        {"data RVA outside sections", dataEntry, true, true, 0x100, PE_RESOURCE_BROKEN},
        {"data size wraps", dataEntry + 4, true, true, 0xFFFFFFFF, PE_RESOURCE_BROKEN},
        {"data one byte too long", dataEntry + 4, true, true, 5, PE_RESOURCE_BROKEN},
        {"data size zero", dataEntry + 4, true, true, 0, PE_RESOURCE_FOUND},
    };
    const Bytes good = BuildImage({{10, 102, 0, "host"}});
    ASSERT_EQ(Find(good, 10, 102), PE_RESOURCE_FOUND);
    for (const Patch& p : patches) {
        Bytes f = good;
        const size_t at = p.at + (p.inTree ? kRsrcRaw : 0);
        p.wide ? Put32(f, at, p.value) : Put16(f, at, p.value);
        EXPECT_EQ(Find(f, 10, 102), p.expect) << p.what;
    }
    Bytes padded = good;  // room for a table of 97 sections
    padded.resize(good.size() + 97 * 40);
    Put16(padded, kPe + 6, 96);
    EXPECT_NE(Find(padded, 10, 102), PE_NOT_IMAGE);
    Put16(padded, kPe + 6, 97);
    EXPECT_EQ(Find(padded, 10, 102), PE_NOT_IMAGE);
    // Optional header with room for two directories only: the bytes where the
    // resource directory would be (the first section's name) must not be used.
    Bytes moved = good;
    Put16(moved, kPe + 20, 96 + 16);
    std::copy(good.begin() + kSections, good.begin() + kSections + 80,
              moved.begin() + kOptional + 112);
    Put32(moved, kOptional + 112, kRsrcRva), Put32(moved, kOptional + 116, 0x100);
    EXPECT_EQ(Find(moved, 10, 102), PE_NO_RESOURCE);
}

// Wine's PE32 DLLs: every one is an image, and each version resource found
// starts with its own length and the key "VS_VERSION_INFO". The smallest DLL
// with one is then cut at many lengths.
TEST(PeResource, WineDllsAndTheirTruncations) {
    glob_t dlls;
    if (glob("/usr/lib/{wine,i386-linux-gnu/wine}/i386-windows/*.dll", GLOB_BRACE, nullptr,
             &dlls) != 0) {
        GTEST_SKIP() << "no 32-bit Wine DLLs installed";
    }
    Bytes sample;
    for (size_t i = 0; i < dlls.gl_pathc; ++i) {
        std::ifstream in(dlls.gl_pathv[i], std::ios::binary | std::ios::ate);
        const std::streamsize size = in.tellg();
        Bytes dll(static_cast<size_t>(size));
        in.seekg(0).read(reinterpret_cast<char*>(dll.data()), size);
        std::string v;
        EXPECT_NE(Find(dll, 10, 102), PE_NOT_IMAGE);
        if (Find(dll, 16, 1, &v) != PE_RESOURCE_FOUND) continue;
        const std::string key("V\0S\0_\0V\0E\0R\0S\0I\0O\0N\0_\0I\0N\0F\0O\0\0", 32);
        ASSERT_GE(v.size(), 6 + key.size());
        EXPECT_LE(static_cast<unsigned char>(v[0]) | static_cast<unsigned char>(v[1]) << 8,
                  v.size());
        EXPECT_EQ(v.substr(6, key.size()), key);
        if (sample.empty() || dll.size() < sample.size()) sample = dll;
    }
    globfree(&dlls);
    ASSERT_FALSE(sample.empty());
    size_t offset, at;
    uint32_t length, len;
    ASSERT_EQ(FindPeResource(sample.data(), sample.size(), 16, 1, &offset, &length),
              PE_RESOURCE_FOUND);
    bool image = false;
    for (size_t n = 0; n <= sample.size(); n += n < 4096 ? 1 : 97) {
        PeLookup r = FindPeResource(sample.data(), n, 16, 1, &at, &len);
        EXPECT_FALSE(image && r == PE_NOT_IMAGE) << n;
        image = r != PE_NOT_IMAGE;
        EXPECT_EQ(r == PE_RESOURCE_FOUND, n >= offset + length) << n;
        if (r == PE_RESOURCE_FOUND) {
            EXPECT_TRUE(at == offset && len == length) << n;
        }
    }
}

// The generator's hostile hosts are what they claim: a host running a page past the
// file, and one that is the whole file.
TEST(PeResource, HostileSamples) {
    samples::Bytes host(500, 'h');
    samples::Bytes broken = samples::ExeWithBrokenHost(samples::VARIANT_A, host);
    EXPECT_EQ(Find(Bytes(broken.begin(), broken.end()), 10, 102), PE_RESOURCE_BROKEN);
    samples::Bytes self = samples::ExeThatIsItsOwnHost(samples::VARIANT_E);
    size_t offset = 1;
    uint32_t length = 0;
    ASSERT_EQ(FindPeResource(self.data(), self.size(), 10, 102, &offset, &length),
              PE_RESOURCE_FOUND);
    EXPECT_EQ(offset, 0u);
    EXPECT_EQ(length, self.size());
}

}  // namespace
