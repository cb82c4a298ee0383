#include "tools/samplegen/samples.h"

#include <gtest/gtest.h>

#include <string>

#include "engine/codes.h"
#include "engine/crc32.h"

namespace {

using samples::Bytes;

uint32_t CrcAt(const Bytes& data, size_t offset, size_t length) {
    return Crc32(data.data() + offset, static_cast<int32_t>(length));
}

bool EndsWithScript(const Bytes& file) {
    return file.size() >= size_t(SCRIPT_TAIL_LENGTH) &&
           IsScriptTail(file.data() + file.size() - SCRIPT_TAIL_LENGTH);
}

// The scanner's decision for a whole file, by the signature that matched.
std::string Verdict(const Bytes& file) {
    const size_t size = file.size();
    if (IsExecutableHead(file.data(), static_cast<int32_t>(size))) {
        if (size < size_t(EXE_BLOCK_OFFSET + EXE_BLOCK_LENGTH)) return "clean";
        uint32_t crc = CrcAt(file, EXE_BLOCK_OFFSET, EXE_BLOCK_LENGTH);
        if (crc == CRC_EXE_TORVO_A) return "exe-a";
        return crc == CRC_EXE_TORVO_E ? "exe-e" : "clean";
    }
    uint32_t header = size >= size_t(MAIL_HEADER_LENGTH) ? CrcAt(file, 0, MAIL_HEADER_LENGTH) : 0;
    if (header == CRC_MAIL_HEADER_A || header == CRC_MAIL_HEADER_E) {
        bool a = header == CRC_MAIL_HEADER_A;
        bool complete = size >= size_t(MAIL_BLOCK_OFFSET + MAIL_BLOCK_LENGTH);
        uint32_t wanted = a ? CRC_MAIL_BLOCK_A : CRC_MAIL_BLOCK_E;
        if (complete && CrcAt(file, MAIL_BLOCK_OFFSET, MAIL_BLOCK_LENGTH) == wanted) {
            return a ? "mail-a" : "mail-e";
        }
        return "clean";  // once the header matched, the script is not looked for
    }
    return EndsWithScript(file) ? "page" : "clean";
}

uint32_t Get16(const Bytes& b, size_t at) {
    return b.at(at) | uint32_t(b.at(at + 1)) << 8;
}
uint32_t Get32(const Bytes& b, size_t at) {
    return Get16(b, at) | Get16(b, at + 2) << 16;
}

// Reads an image the way a loader does: "" when it is consistent, otherwise what is
// wrong. `resource` receives resource 102 of type 10, if the image has one.
std::string ReadImage(const Bytes& image, bool* hasResource, Bytes* resource) {
    *hasResource = false;
    if (image.size() < 0x200 || Get16(image, 0) != 0x5A4D) return "no DOS header";
    const size_t pe = Get32(image, 0x3C), optional = pe + 24;
    if (Get32(image, pe) != 0x4550 || Get16(image, pe + 4) != 0x14C) return "no i386 PE header";
    if (Get16(image, pe + 20) != 0xE0 || Get16(image, optional) != 0x10B) return "not PE32";
    const uint32_t sectionAlign = Get32(image, optional + 32),
                   fileAlign = Get32(image, optional + 36);
    const size_t sections = optional + 0xE0, count = Get16(image, pe + 6);
    uint32_t nextAddress = sectionAlign, headers = Get32(image, optional + 60);
    if (headers % fileAlign || sections + 40 * count > headers) return "bad SizeOfHeaders";
    for (size_t i = 0; i < count; ++i) {
        size_t at = sections + 40 * i;
        uint32_t virtualSize = Get32(image, at + 8), address = Get32(image, at + 12);
        uint32_t rawSize = Get32(image, at + 16), raw = Get32(image, at + 20);
        if (address != nextAddress || raw % fileAlign || rawSize % fileAlign) return "misaligned";
        if (raw < headers || raw + rawSize > image.size() || virtualSize > rawSize)
            return "bad raw";
        nextAddress = (address + virtualSize + sectionAlign - 1) / sectionAlign * sectionAlign;
    }
    if (Get32(image, optional + 56) != nextAddress) return "bad SizeOfImage";
    if (Get32(image, optional + 92) != 16) return "bad directory count";

    auto offsetOf = [&](uint32_t rva) -> size_t {
        for (size_t at = sections; at < sections + 40 * count; at += 40) {
            uint32_t address = Get32(image, at + 12);
            if (rva >= address && rva < address + Get32(image, at + 16)) {
                return Get32(image, at + 20) + rva - address;
            }
        }
        return image.size();
    };
    uint32_t root = Get32(image, optional + 96 + 16);
    if (root == 0 && Get32(image, optional + 100 + 16) == 0) return "";
    size_t base = offsetOf(root), entry = base;
    for (uint32_t id : {uint32_t(HOST_RESOURCE_TYPE), uint32_t(HOST_RESOURCE_NAME), 0x409u}) {
        if (Get16(image, entry + 12) != 0 || Get16(image, entry + 14) != 1) return "odd directory";
        if (Get32(image, entry + 16) != id) return "resource id " + std::to_string(id) + " missing";
        uint32_t target = Get32(image, entry + 20);
        bool wantSubdirectory = id != 0x409;
        if (bool(target & 0x80000000u) != wantSubdirectory) return "bad directory entry";
        entry = base + (target & 0x7FFFFFFFu);
    }
    size_t data = offsetOf(Get32(image, entry)), size = Get32(image, entry + 4);
    if (data + size > image.size()) return "resource outside the file";
    *hasResource = true;
    resource->assign(image.begin() + data, image.begin() + data + size);
    return "";
}

TEST(Filler, IsRepeatableAndFollowsTheSeed) {
    EXPECT_EQ(samples::Filler(1000, 7), samples::Filler(1000, 7));
    EXPECT_NE(samples::Filler(1000, 7), samples::Filler(1000, 8));
    EXPECT_NE(samples::Filler(1000, 0), Bytes(1000, 0));
    EXPECT_EQ(samples::TextFile(777, 3).size(), 777u);
}

TEST(ForceCrc, ReachesAnyTargetWithThePatchAnywhereInTheRegion) {
    const size_t start = 5, length = 90;
    for (uint32_t target : {0u, 0xFFFFFFFFu, 0x12345678u, CRC_EXE_TORVO_A}) {
        for (size_t patchAt : {start, start + 41, start + length - 4}) {
            Bytes data = samples::Filler(100, target);
            Bytes original = data;
            samples::ForceCrc(data, start, length, patchAt, target);
            EXPECT_EQ(CrcAt(data, start, length), target) << "patch at " << patchAt;
            for (size_t i = 0; i < data.size(); ++i) {
                if (i < patchAt || i >= patchAt + 4) {
                    EXPECT_EQ(data[i], original[i]) << i;
                }
            }
        }
    }
}

TEST(Executables, CarryTheBlockOfTheirVariantAndTheHostByteForByte) {
    for (size_t hostSize : {0, 1, 100, 511, 512, 513, 70000}) {
        Bytes host = samples::Filler(hostSize, 99);
        for (samples::Variant variant : {samples::VARIANT_A, samples::VARIANT_E}) {
            Bytes exe = samples::InfectedExe(variant, &host);
            bool hasResource;
            Bytes resource;
            ASSERT_EQ(ReadImage(exe, &hasResource, &resource), "") << hostSize;
            EXPECT_TRUE(hasResource);
            EXPECT_EQ(resource, host) << hostSize;
            EXPECT_EQ(exe.size() % 0x200, 0u);
            EXPECT_EQ(Verdict(exe), variant == samples::VARIANT_A ? "exe-a" : "exe-e");
        }
    }
}

TEST(Executables, WithoutHostHaveNoResourceAndEndWithTheBlock) {
    Bytes exe = samples::InfectedExe(samples::VARIANT_E, nullptr);
    bool hasResource = true;
    Bytes resource;
    ASSERT_EQ(ReadImage(exe, &hasResource, &resource), "");
    EXPECT_FALSE(hasResource);
    EXPECT_EQ(exe.size(), size_t(EXE_BLOCK_OFFSET + EXE_BLOCK_LENGTH));
    EXPECT_EQ(Verdict(exe), "exe-e");
}

TEST(Executables, CleanOnesAreValidImagesButNotDetected) {
    const Bytes host = samples::TextFile(5000, 1);
    for (const Bytes* resource : {static_cast<const Bytes*>(nullptr), &host}) {
        Bytes exe = samples::CleanExe(resource);
        bool hasResource;
        Bytes found;
        ASSERT_EQ(ReadImage(exe, &hasResource, &found), "");
        EXPECT_EQ(hasResource, resource != nullptr);
        EXPECT_EQ(Verdict(exe), "clean");
    }
}

TEST(Executables, NestedOnesUnwrapLayerByLayerToTheHost) {
    Bytes host = samples::CleanExe(nullptr);
    EXPECT_EQ(samples::NestedExe(samples::VARIANT_A, host, 0), host);
    Bytes layer = samples::NestedExe(samples::VARIANT_A, host, 3);
    for (int depth = 3; depth > 0; --depth) {
        EXPECT_EQ(Verdict(layer), "exe-a") << depth;
        bool hasResource;
        Bytes inner;
        ASSERT_EQ(ReadImage(layer, &hasResource, &inner), "");
        ASSERT_TRUE(hasResource);
        layer = inner;
    }
    EXPECT_EQ(layer, host);
}

TEST(MailMessages, MatchHeaderAndBlockOfTheirVariantOnly) {
    Bytes a = samples::MailMessage(samples::VARIANT_A);
    Bytes e = samples::MailMessage(samples::VARIANT_E);
    EXPECT_EQ(Verdict(a), "mail-a");
    EXPECT_EQ(Verdict(e), "mail-e");
    for (const Bytes* mail : {&a, &e}) {
        EXPECT_EQ(std::string(mail->begin(), mail->begin() + 5), "From:");
        EXPECT_FALSE(EndsWithScript(*mail));
    }
}

TEST(WebPages, InfectedOnesEndWithBothHalvesOfTheScript) {
    Bytes tail = samples::ScriptTail();
    ASSERT_EQ(tail.size(), size_t(SCRIPT_TAIL_LENGTH));
    EXPECT_EQ(CrcAt(tail, 0, SCRIPT_HALF_LENGTH), CRC_SCRIPT_FIRST_HALF);
    EXPECT_EQ(CrcAt(tail, SCRIPT_HALF_LENGTH, SCRIPT_HALF_LENGTH), CRC_SCRIPT_SECOND_HALF);
    Bytes page = samples::PlainPage();
    EXPECT_EQ(Verdict(page), "clean");
    Bytes infected = samples::InfectedPage(page);
    EXPECT_EQ(Verdict(infected), "page");
    EXPECT_EQ(Bytes(infected.begin(), infected.begin() + page.size()), page);
}

TEST(NearMisses, AllStayClean) {
    std::vector<std::string> names = samples::NearMissNames();
    EXPECT_EQ(names.size(), 8u);
    for (const std::string& name : names) {
        Bytes sample = samples::NearMiss(name);
        EXPECT_FALSE(sample.empty()) << name;
        EXPECT_EQ(Verdict(sample), "clean") << name;
        EXPECT_NE(samples::NearMissDescription(name), "") << name;
    }
    EXPECT_TRUE(samples::NearMiss("no-such-sample").empty());
}

// Each near miss is one step away from a detection; a sample that drifted further
// would pass the test above without testing anything.
TEST(NearMisses, EachIsOneStepFromADetection) {
    Bytes mail = samples::NearMiss("mail-header-only");
    EXPECT_EQ(CrcAt(mail, 0, MAIL_HEADER_LENGTH), CRC_MAIL_HEADER_A);
    EXPECT_TRUE(EndsWithScript(mail));

    Bytes extra = samples::NearMiss("page-extra-byte");
    extra.pop_back();
    EXPECT_EQ(Verdict(extra), "page");

    Bytes firstHalf = samples::NearMiss("page-first-half");
    EXPECT_EQ(CrcAt(firstHalf, firstHalf.size() - SCRIPT_TAIL_LENGTH, SCRIPT_HALF_LENGTH),
              CRC_SCRIPT_FIRST_HALF);

    for (const char* name : {"lowercase-mz", "zm"}) {
        Bytes exe = samples::NearMiss(name);
        exe[0] = 'M';
        exe[1] = 'Z';
        EXPECT_EQ(Verdict(exe), "exe-a") << name;
    }

    Bytes whole = samples::InfectedExe(samples::VARIANT_A, nullptr);
    EXPECT_EQ(samples::NearMiss("exe-one-short"), Bytes(whole.begin(), whole.end() - 1));

    Bytes withTail = samples::NearMiss("exe-with-tail");
    EXPECT_TRUE(EndsWithScript(withTail));
    withTail[0] = 'X';
    EXPECT_EQ(Verdict(withTail), "page");

    Bytes tail = samples::ScriptTail();
    EXPECT_EQ(samples::NearMiss("tail-119"), Bytes(tail.begin() + 1, tail.end()));
}

}  // namespace
