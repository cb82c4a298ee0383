// Random sequences of changes made to the volume and to a model of it in memory: the
// volume must agree with the model all along, and at the end ntfsfix and ntfssecaudit
// must find nothing wrong and The Sleuth Kit must read back what the model holds.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>

#include "platform/image/ntfs/short_names.h"
#include "platform/image/ntfs/text.h"
#include "tests/image/ntfs/oracles.h"

namespace ntfstest {

namespace {

const uint64_t kImageBytes = 48 << 20;
const int kSteps = 400;
const uint32_t kDosAttributes =
    image::kReadOnly | image::kHidden | image::kSystem | image::kArchive;

// Names by the file they stand for: the spellings of one name differ only in case.
const std::vector<std::vector<std::string>> kNames = {
    {"readme.txt", "README.TXT", "ReadMe.txt"},
    {"Long Document Name.docx", "LONG DOCUMENT NAME.DOCX"},
    {"Long Document Name 2.docx"},
    {"Long Document Name 3.docx"},
    {"Long Document Name 4.docx"},
    {"Long Document Name 5.docx", "long document name 5.DOCX"},
    {"NOTEPAD.EXE", "notepad.exe"},
    {"a"},
    {"x y z"},
    {".hidden"},
    {"archive.tar.gz", "ARCHIVE.TAR.GZ"},
    {"Ünïcode файл.txt", "üNÏCODE ФАЙЛ.TXT"},
    {"setup.exe.cln"},
};
const std::vector<std::string> kFolders = {"", "/Sub Folder", "/Sub Folder/Deeper"};

struct ModelFile {
    std::string name;
    std::string content;
    uint32_t attributes = image::kArchive;
};

// Each folder's files by the index of their name in kNames.
typedef std::map<std::string, std::map<size_t, ModelFile>> Model;

class ModelRun {
  public:
    ModelRun(unsigned seed, const std::string& image) : m_random(seed), m_image(image) {}

    void Step() {
        switch (Pick(10)) {
            case 0:
            case 1:
                return Create();
            case 2:
            case 3:
                return Write();
            case 4:
                return Truncate();
            case 5:
                return Remove();
            case 6:
                return Rename();
            case 7:
                return SetAttributes();
            case 8:
                return CheckRead();
            default:
                return Pick(4) == 0 ? Reopen() : Flush();
        }
    }

    void Open() {
        Close();
        m_opened = OpenImage(m_image);
        ASSERT_TRUE(m_opened.volume) << m_opened.error;
    }

    // The volume goes before the device it is unmounted onto.
    void Close() {
        m_opened.volume.reset();
        m_opened = Opened();
    }

    // The volume's own account, folder by folder.
    void CompareListings() {
        for (const std::string& folder : kFolders) {
            std::vector<image::Entry> entries;
            ASSERT_TRUE(Volume().List(folder.empty() ? "/" : folder, &entries)) << Error();
            std::map<std::string, const image::Entry*> files;
            for (const image::Entry& entry : entries)
                if (!entry.isDirectory) files[entry.name] = &entry;
            ASSERT_EQ(files.size(), m_model[folder].size()) << folder;
            for (const auto& item : m_model[folder]) {
                const ModelFile& file = item.second;
                ASSERT_TRUE(files.count(file.name)) << folder << "/" << file.name;
                EXPECT_EQ(files[file.name]->size, file.content.size()) << file.name;
                EXPECT_EQ(files[file.name]->attributes, file.attributes) << file.name;
                ExpectContent(folder + "/" + file.name, file.content);
            }
        }
    }

    // The Sleuth Kit's account of the closed image, and its names as Windows keeps them.
    void CompareWithSleuthKit() {
        std::map<std::string, SleuthFile> tree = SleuthKitTree(m_image);
        size_t files = 0;
        for (const std::string& folder : kFolders) {
            std::set<std::string> shortNames;
            for (const auto& item : m_model[folder]) {
                const ModelFile& file = item.second;
                std::string path = folder + "/" + file.name;
                ASSERT_TRUE(tree.count(path)) << path;
                const SleuthFile& found = tree[path];
                EXPECT_EQ(found.content, file.content) << path;
                EXPECT_EQ(found.attributes, file.attributes) << path;
                ExpectShortName(path, file.name, found.names, &shortNames);
                ++files;
            }
        }
        size_t folders = kFolders.size() - 1;
        EXPECT_EQ(tree.size(), files + folders);
    }

  private:
    ntfs::Volume& Volume() { return *m_opened.volume; }
    std::string Error() { return Volume().LastError(); }

    size_t Pick(size_t count) {
        return std::uniform_int_distribution<size_t>(0, count - 1)(m_random);
    }

    const std::string& PickFolder() { return kFolders[Pick(kFolders.size())]; }

    std::string Spelling(size_t name) { return kNames[name][Pick(kNames[name].size())]; }

    // A file of the model (false when there is none), and a spelling of its name.
    bool PickFile(std::string* folder, size_t* name, std::string* path) {
        std::vector<std::pair<std::string, size_t>> all;
        for (const auto& files : m_model)
            for (const auto& file : files.second) all.push_back({files.first, file.first});
        if (all.empty()) return false;
        std::tie(*folder, *name) = all[Pick(all.size())];
        *path = *folder + "/" + Spelling(*name);
        return true;
    }

    size_t PickLength(size_t limit) {
        return Pick(3) == 0 ? Pick(limit + 1) : Pick(std::min<size_t>(limit, 900) + 1);
    }

    std::string Bytes(size_t count) {
        std::string bytes(count, '\0');
        for (char& byte : bytes) byte = char(Pick(256));
        return bytes;
    }

    void Create() {
        const std::string& folder = PickFolder();
        size_t name = Pick(kNames.size());
        std::string spelling = Spelling(name);
        bool expected = !m_model[folder].count(name);
        ASSERT_EQ(Volume().Create(folder + "/" + spelling), expected) << spelling << " " << Error();
        if (expected) m_model[folder][name].name = spelling;
    }

    void Write() {
        std::string folder, path;
        size_t name;
        if (!PickFile(&folder, &name, &path)) return;
        ModelFile& file = m_model[folder][name];
        size_t offset = PickLength(file.content.size() + 3000);
        std::string data = Bytes(PickLength(20000) + 1);
        ASSERT_TRUE(Volume().Write(path, offset, data.data(), data.size())) << path << Error();
        if (file.content.size() < offset + data.size()) file.content.resize(offset + data.size());
        file.content.replace(offset, data.size(), data);
        file.attributes |= image::kArchive;
    }

    void Truncate() {
        std::string folder, path;
        size_t name;
        if (!PickFile(&folder, &name, &path)) return;
        ModelFile& file = m_model[folder][name];
        size_t length = PickLength(file.content.size() * 2 + 100);
        ASSERT_TRUE(Volume().Truncate(path, length)) << path << Error();
        file.content.resize(length, '\0');
        file.attributes |= image::kArchive;
    }

    void Remove() {
        std::string folder, path;
        size_t name;
        if (!PickFile(&folder, &name, &path)) return;
        ASSERT_TRUE(Volume().Remove(path)) << path << Error();
        m_model[folder].erase(name);
        EXPECT_FALSE(Volume().Remove(path)) << path;
    }

    void Rename() {
        std::string folder, path;
        size_t name;
        if (!PickFile(&folder, &name, &path)) return;
        size_t target = Pick(kNames.size());
        std::string spelling = Spelling(target);
        bool expected = target == name || !m_model[folder].count(target);
        ASSERT_EQ(Volume().Rename(path, folder + "/" + spelling), expected)
            << path << " to " << spelling << " " << Error();
        if (!expected) return;
        ModelFile file = m_model[folder][name];
        file.name = spelling;
        m_model[folder].erase(name);
        m_model[folder][target] = file;
    }

    void SetAttributes() {
        std::string folder, path;
        size_t name;
        if (!PickFile(&folder, &name, &path)) return;
        uint32_t attributes = uint32_t(Pick(256)) & kDosAttributes;
        ASSERT_TRUE(Volume().SetAttributes(path, attributes)) << path << Error();
        m_model[folder][name].attributes = attributes;
    }

    void CheckRead() {
        std::string folder, path;
        size_t name;
        if (!PickFile(&folder, &name, &path)) return;
        const std::string& content = m_model[folder][name].content;
        size_t offset = PickLength(content.size() + 10);
        std::string buffer(PickLength(30000), '\0');
        size_t got = 0;
        ASSERT_TRUE(Volume().Read(path, offset, &buffer[0], buffer.size(), &got)) << Error();
        buffer.resize(got);
        EXPECT_EQ(buffer, offset < content.size() ? content.substr(offset, buffer.size()) : "");
        EXPECT_EQ(got, offset < content.size() ? std::min(buffer.size(), content.size() - offset)
                                               : size_t(0));
    }

    void Flush() { ASSERT_TRUE(Volume().Flush()) << Error(); }

    void Reopen() {
        Close();
        Open();
    }

    void ExpectContent(const std::string& path, const std::string& content) {
        std::string read(content.size() + 1, '\0');
        size_t got = 0;
        ASSERT_TRUE(Volume().Read(path, 0, &read[0], read.size(), &got)) << path << Error();
        read.resize(got);
        EXPECT_EQ(read, content) << path;
    }

    // A long name that fits 8.3 is its own short name; another has one short name more,
    // unlike any other in its folder, which the volume reports.
    void ExpectShortName(const std::string& path, const std::string& name,
                         const std::vector<std::string>& names, std::set<std::string>* taken) {
        std::u16string wide;
        ASSERT_TRUE(ntfs::Utf8ToUtf16(name, &wide));
        if (ntfs::FitsShortName(wide)) {
            EXPECT_EQ(names, std::vector<std::string>{name}) << path;
            return;
        }
        ASSERT_EQ(names.size(), 2u) << path;
        std::string shortName = names[0] == name ? names[1] : names[0];
        std::u16string wideShort;
        ASSERT_TRUE(ntfs::Utf8ToUtf16(shortName, &wideShort));
        EXPECT_TRUE(ntfs::IsShortName(wideShort)) << shortName;
        EXPECT_TRUE(taken->insert(shortName).second) << shortName << " twice";
        m_shortNames[path] = shortName;
    }

    std::mt19937 m_random;
    std::string m_image;
    Opened m_opened;
    Model m_model;

  public:
    std::map<std::string, std::string> m_shortNames;
};

class NtfsModelTest : public ::testing::TestWithParam<unsigned> {};

TEST_P(NtfsModelTest, AgreesWithTheModelAndTheOracles) {
    TempDir dir;
    std::string image = dir.File("model.img");
    MakeImage(image, kImageBytes);
    MakeFolders(image, {"/Sub Folder", "/Sub Folder/Deeper"});
    ModelRun run(GetParam(), image);
    run.Open();
    for (int step = 0; step < kSteps && !HasFatalFailure(); ++step) {
        SCOPED_TRACE("step " + std::to_string(step));
        run.Step();
    }
    ASSERT_FALSE(HasFatalFailure());
    run.CompareListings();
    run.Close();
    EXPECT_EQ(Complaints(image), "");
    run.CompareWithSleuthKit();
    // What the volume reports as short names is what the records hold.
    run.Open();
    Opened opened = OpenImage(image, true);
    for (const auto& item : run.m_shortNames) {
        image::Entry entry;
        ASSERT_TRUE(opened.volume->Stat(item.first, &entry)) << item.first;
        EXPECT_EQ(entry.shortName, item.second) << item.first;
        ASSERT_TRUE(opened.volume->Stat(
            item.first.substr(0, item.first.rfind('/') + 1) + item.second, &entry));
        EXPECT_EQ(item.first.substr(item.first.rfind('/') + 1), entry.name);
    }
}

INSTANTIATE_TEST_SUITE_P(Seeds, NtfsModelTest, ::testing::Values(1u, 2u, 3u, 4u, 5u, 6u));

}  // namespace

}  // namespace ntfstest
