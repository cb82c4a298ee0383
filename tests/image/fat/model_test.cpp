// Random sequences of changes made both to a volume and to a model of it in memory: every
// call must succeed or fail as the model says, and every file read back as the model holds
// it; after each sequence fsck.fat must find the image sound, and mtools and The Sleuth
// Kit must read back the model's names, short names, attributes and bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <regex>

#include "platform/image/block_device.h"
#include "platform/image/fat/volume.h"
#include "tests/image/fat/oracles.h"

namespace {

using fattest::Quote;

struct ModelFile {
    std::string shortName;  // as the volume chose it, checked against the oracles
    std::string content;
    uint8_t attributes = 0x20;
};

// The few non-ASCII letters the names below use, with their upper case.
const char* const kUpperPairs[][2] = {{"é", "É"}, {"ü", "Ü"}, {"ω", "Ω"}, {"ä", "Ä"}};

std::string ModelKey(std::string name) {
    for (char& c : name) c = char(toupper(static_cast<unsigned char>(c)));
    for (const auto& pair : kUpperPairs) {
        for (size_t at; (at = name.find(pair[0])) != std::string::npos;)
            name.replace(at, strlen(pair[0]), pair[1]);
    }
    return name;
}

bool IsUpperShortName(const std::string& name) {
    static const std::regex shortName(
        "[A-Z0-9_~!#$%&'()@^`{}-]{1,8}(\\.[A-Z0-9_~!#$%&'()@^`{}-]{1,3})?");
    return std::regex_match(name, shortName);
}

std::string FolderOf(const std::string& path) {
    return path.substr(0, path.rfind('/'));
}
std::string NameOf(const std::string& path) {
    return path.substr(path.rfind('/') + 1);
}

// The Sleuth Kit shows a short name's letters of the code page as "^".
std::string SleuthKitName(const std::string& path, const std::string& shortName) {
    if (NameOf(path) != shortName) return path;
    std::string shown = path.substr(0, path.rfind('/') + 1);
    for (char c : shortName) {
        if ((c & 0xC0) != 0x80) shown += c & 0x80 ? '^' : c;
    }
    return shown;
}

struct Config {
    int type;
    uint64_t imageBytes;
    int rootEntries;
    bool nearFull;
    unsigned seed;
};

std::string ConfigName(const testing::TestParamInfo<Config>& info) {
    return "Fat" + std::to_string(info.param.type) + (info.param.nearFull ? "NearFull" : "") +
           "Seed" + std::to_string(info.param.seed);
}

class FatModel : public testing::TestWithParam<Config> {
  protected:
    void SetUp() override {
        const Config& config = GetParam();
        m_rng.seed(config.seed * 7919 + unsigned(config.type));
        m_image = m_dir.File("volume.img");
        fattest::MakeImage(m_image, config.type, config.imageBytes, 1, config.rootEntries);
        for (const char* folder : {"/Sub", "/Sub/Deeper", "/Many"}) {
            int status = 0;
            std::string out =
                fattest::Mtools("mmd", m_image, Quote(std::string("::") + folder), &status);
            ASSERT_EQ(status, 0) << out;
            m_folders.push_back(folder);
        }
        m_folders.push_back("");
        if (config.nearFull) FillAllBut(40);
        OpenVolume();
        for (const char* folder : {"/Sub", "/Sub/Deeper", "/Many"}) {
            fat::Entry entry;
            ASSERT_TRUE(m_volume->Stat(folder, &entry)) << m_volume->LastError();
            m_folderShortNames[folder] = entry.shortName;
        }
    }

    // A file made by mcopy that leaves `free` clusters free.
    void FillAllBut(uint32_t free) {
        std::string summary = fattest::Shell("fsck.fat -n " + Quote(m_image));
        std::smatch match;
        ASSERT_TRUE(std::regex_search(summary, match, std::regex("([0-9]+)/([0-9]+) clusters")));
        uint64_t unused = std::stoull(match[2].str()) - std::stoull(match[1].str());
        uint64_t bytes = (unused - free) * 512;
        std::string filler = m_dir.File("filler");
        fattest::Shell("head -c " + std::to_string(bytes) + " /dev/urandom > " + Quote(filler));
        int status = 0;
        std::string out =
            fattest::Mtools("mcopy", m_image, Quote(filler) + " ::/FILLER.BIN", &status);
        ASSERT_EQ(status, 0) << out;
        m_files["/FILLER.BIN"].content = fattest::Shell("cat " + Quote(filler));
        m_files["/FILLER.BIN"].shortName = "FILLER.BIN";
    }

    void OpenVolume() {
        m_volume.reset();
        std::string error;
        m_device = OpenFileDevice(m_image, false, &error);
        ASSERT_TRUE(m_device) << error;
        fat::Volume::Options options;
        options.fatCacheBytes = 64 * 1024;  // FAT32: pages come and go
        m_volume = fat::Volume::Open(*m_device, options, &error);
        ASSERT_TRUE(m_volume) << error;
    }

    void CloseVolume() {
        ASSERT_TRUE(m_volume->Flush()) << m_volume->LastError();
        m_volume.reset();
        m_device.reset();
    }

    // The model's file (or folder) that `name` names in `folder`, by long or short name.
    std::string Match(const std::string& folder, const std::string& name) const {
        std::string key = ModelKey(name);
        for (const auto& file : m_files) {
            if (FolderOf(file.first) == folder &&
                (ModelKey(NameOf(file.first)) == key || ModelKey(file.second.shortName) == key))
                return file.first;
        }
        for (const auto& shortName : m_folderShortNames) {
            if (FolderOf(shortName.first) == folder &&
                (ModelKey(NameOf(shortName.first)) == key || ModelKey(shortName.second) == key))
                return shortName.first;
        }
        return std::string();
    }

    std::string RandomName() {
        int n = int(m_rng() % 24);
        std::string number = std::to_string(n);
        switch (m_rng() % 9) {
            case 0:
                return "F" + number + ".TXT";
            case 1:
                return "readme" + number + ".txt";
            case 2:
                return "Long file name " + number + ".document";
            case 3:
                return "Document " + number + ".doc";  // the same basis: ~n tails
            case 4:
                return std::string(n % 2 ? "éclair " : "Grüße ") + number + ".txt";
            case 5:
                return "日本語" + number + ".Ωmega";
            case 6:
                return "a+b;c=d[" + number + "].txt";
            case 7:
                return "archive." + number + ".tar.gz";
            default: {
                // Another case of a name that is there, or its short name: taken.
                if (m_files.empty()) return "EMPTY";
                auto it = std::next(m_files.begin(), long(m_rng() % m_files.size()));
                return m_rng() % 2 ? it->second.shortName : ModelKey(NameOf(it->first));
            }
        }
    }

    std::string RandomFolder() { return m_folders[m_rng() % m_folders.size()]; }

    // Some file of the model, named by its long or short name in some case.
    bool PickFile(std::string* modelPath, std::string* askedPath) {
        std::vector<std::string> paths;
        for (const auto& file : m_files) paths.push_back(file.first);
        if (paths.empty()) return false;
        *modelPath = paths[m_rng() % paths.size()];
        std::string name = NameOf(*modelPath);
        switch (m_rng() % 4) {
            case 0:
                name = m_files[*modelPath].shortName;
                break;
            case 1:
                name = ModelKey(name);
                break;
            default:
                break;
        }
        *askedPath = FolderOf(*modelPath) + "/" + name;
        return true;
    }

    uint32_t ClustersFor(uint64_t bytes) const { return uint32_t((bytes + 511) / 512); }

    // A change that may need `clusters` more clusters failed for want of them.
    void ExpectFull(bool ok, uint32_t clusters, const std::string& what) {
        ASSERT_FALSE(ok) << what;
        EXPECT_NE(m_volume->LastError().find("full"), std::string::npos)
            << what << ": " << m_volume->LastError();
        EXPECT_LT(m_volume->FreeClusters(), clusters) << what;
    }

    void CheckFile(const std::string& asked, const std::string& modelPath) {
        const ModelFile& file = m_files[modelPath];
        fat::Entry entry;
        ASSERT_TRUE(m_volume->Stat(asked, &entry)) << asked << ": " << m_volume->LastError();
        EXPECT_EQ(entry.name, NameOf(modelPath));
        EXPECT_EQ(entry.size, file.content.size()) << modelPath;
        EXPECT_EQ(entry.attributes, file.attributes) << modelPath;
        std::string bytes(file.content.size() + 10, '\0');
        size_t got = 0;
        ASSERT_TRUE(m_volume->Read(asked, 0, &bytes[0], bytes.size(), &got))
            << m_volume->LastError();
        bytes.resize(got);
        EXPECT_TRUE(bytes == file.content) << modelPath << " reads back otherwise";
    }

    void DoCreate() {
        std::string folder = RandomFolder(), name = RandomName();
        std::string path = folder + "/" + name;
        bool taken = !Match(folder, name).empty();
        uint32_t free = m_volume->FreeClusters();
        bool ok = m_volume->Create(path);
        if (taken) {
            EXPECT_FALSE(ok) << "created " << path << " over " << Match(folder, name);
            return;
        }
        if (!ok && free <= 1) return ExpectFull(ok, 2, "create " + path);
        ASSERT_TRUE(ok) << "create " << path << ": " << m_volume->LastError();
        fat::Entry entry;
        ASSERT_TRUE(m_volume->Stat(path, &entry));
        CheckShortName(folder, name, entry.shortName);
        m_files[path].shortName = entry.shortName;
        CheckFile(path, path);
    }

    // Unique in its folder, upper case 8.3, and the name itself when that is one.
    void CheckShortName(const std::string& folder, const std::string& name,
                        const std::string& shortName) {
        std::string ascii;  // each of the code page's letters as one X
        for (char c : shortName) {
            if ((c & 0xC0) != 0x80) ascii += c & 0x80 ? 'X' : c;
        }
        EXPECT_TRUE(IsUpperShortName(ascii)) << shortName;
        if (IsUpperShortName(name)) {
            EXPECT_EQ(shortName, name);
        }
        std::string other = Match(folder, shortName);
        EXPECT_TRUE(other.empty()) << shortName << " is " << other << "'s too";
    }

    void DoWrite() {
        std::string modelPath, asked;
        if (!PickFile(&modelPath, &asked)) return;
        ModelFile& file = m_files[modelPath];
        uint64_t offset = m_rng() % (file.content.size() + 1500);
        size_t count = m_rng() % 8 == 0 ? m_rng() % 20000 : m_rng() % 1500;
        std::string data(count, '\0');
        for (char& c : data) c = char(m_rng());
        uint64_t end = std::max<uint64_t>(file.content.size(), offset + count);
        uint32_t more = ClustersFor(end) - ClustersFor(file.content.size());
        uint32_t free = m_volume->FreeClusters();
        bool ok = m_volume->Write(asked, offset, data.data(), data.size());
        if (count > 0 && more > free) return ExpectFull(ok, more, "write " + modelPath);
        ASSERT_TRUE(ok) << "write " << modelPath << ": " << m_volume->LastError();
        EXPECT_EQ(m_volume->FreeClusters(), free - more) << modelPath;
        if (count == 0) return CheckFile(asked, modelPath);
        if (offset > file.content.size()) file.content.resize(offset, '\0');
        file.content.replace(offset, std::min<uint64_t>(count, file.content.size() - offset), data);
        file.attributes |= 0x20;
        CheckFile(asked, modelPath);
    }

    void DoTruncate() {
        std::string modelPath, asked;
        if (!PickFile(&modelPath, &asked)) return;
        ModelFile& file = m_files[modelPath];
        uint64_t length = m_rng() % (2 * file.content.size() + 1024);
        if (m_rng() % 4 == 0) length = 0;
        uint32_t before = ClustersFor(file.content.size()), after = ClustersFor(length);
        uint32_t free = m_volume->FreeClusters();
        bool ok = m_volume->Truncate(asked, length);
        if (after > before && after - before > free)
            return ExpectFull(ok, after - before, "truncate " + modelPath);
        ASSERT_TRUE(ok) << "truncate " << modelPath << ": " << m_volume->LastError();
        EXPECT_EQ(m_volume->FreeClusters(), free + before - after) << modelPath;
        if (length != file.content.size()) file.attributes |= 0x20;
        file.content.resize(length, '\0');
        CheckFile(asked, modelPath);
    }

    void DoRemove() {
        std::string modelPath, asked;
        if (!PickFile(&modelPath, &asked)) return;
        uint32_t free = m_volume->FreeClusters();
        ASSERT_TRUE(m_volume->Remove(asked)) << modelPath << ": " << m_volume->LastError();
        EXPECT_EQ(m_volume->FreeClusters(), free + ClustersFor(m_files[modelPath].content.size()));
        m_files.erase(modelPath);
        fat::Entry entry;
        EXPECT_FALSE(m_volume->Stat(asked, &entry)) << modelPath << " is still there";
    }

    void DoRename() {
        std::string modelPath, asked;
        if (!PickFile(&modelPath, &asked)) return;
        std::string folder = m_rng() % 3 == 0 ? RandomFolder() : FolderOf(modelPath);
        std::string name = RandomName();
        std::string to = folder + "/" + name;
        std::string existing = Match(folder, name);
        fat::Entry before;
        ASSERT_TRUE(m_volume->Stat(asked, &before));
        uint32_t free = m_volume->FreeClusters();
        bool ok = m_volume->Rename(asked, to);
        if (!existing.empty() && existing != modelPath) {
            EXPECT_FALSE(ok) << "renamed " << modelPath << " over " << existing;
            return;
        }
        if (!ok && free == 0) return ExpectFull(ok, 1, "rename to " + to);
        ASSERT_TRUE(ok) << modelPath << " to " << to << ": " << m_volume->LastError();
        ModelFile file = m_files[modelPath];
        m_files.erase(modelPath);
        fat::Entry after;
        ASSERT_TRUE(m_volume->Stat(to, &after)) << m_volume->LastError();
        if (existing != modelPath) CheckShortName(folder, name, after.shortName);
        file.shortName = after.shortName;
        m_files[to] = file;
        EXPECT_EQ(after.firstCluster, before.firstCluster);
        EXPECT_EQ(after.writeTime, before.writeTime);
        EXPECT_EQ(after.writeDate, before.writeDate);
        EXPECT_EQ(after.createDate, before.createDate);
        CheckFile(to, to);
    }

    void DoSetAttributes() {
        std::string modelPath, asked;
        if (!PickFile(&modelPath, &asked)) return;
        uint8_t attributes = uint8_t(m_rng() & 0x27);
        ASSERT_TRUE(m_volume->SetAttributes(asked, attributes)) << m_volume->LastError();
        m_files[modelPath].attributes = attributes;
        CheckFile(asked, modelPath);
    }

    void CheckListings() {
        for (const std::string& folder : m_folders) {
            std::vector<fat::Entry> entries;
            std::string error;
            ASSERT_TRUE(m_volume->List(folder.empty() ? "/" : folder, &entries, &error)) << error;
            std::vector<std::string> listed, expected;
            for (const fat::Entry& entry : entries) listed.push_back(folder + "/" + entry.name);
            for (const auto& file : m_files)
                if (FolderOf(file.first) == folder) expected.push_back(file.first);
            for (const auto& sub : m_folderShortNames)
                if (FolderOf(sub.first) == folder) expected.push_back(sub.first);
            std::sort(listed.begin(), listed.end());
            std::sort(expected.begin(), expected.end());
            EXPECT_EQ(listed, expected) << "in " << folder;
        }
    }

    void CheckOracles() {
        std::string complaints = fattest::FsckComplaints(m_image);
        EXPECT_EQ(complaints, "") << "fsck.fat -n";
        auto mtools = fattest::MtoolsTree(m_image);
        auto sleuthKit = fattest::SleuthKitTree(m_image);
        for (const auto& folder : m_folderShortNames) {
            EXPECT_TRUE(mtools.count(folder.first) && mtools[folder.first].isDirectory)
                << folder.first;
            EXPECT_EQ(sleuthKit[folder.first], "<dir>") << folder.first;
            mtools.erase(folder.first);
            sleuthKit.erase(folder.first);
        }
        for (const auto& file : m_files) {
            const std::string& path = file.first;
            auto seen = mtools.find(path);
            if (seen == mtools.end()) {
                ADD_FAILURE() << "mtools does not see " << path;
                continue;
            }
            EXPECT_EQ(seen->second.shortName, file.second.shortName) << path;
            EXPECT_EQ(seen->second.size, file.second.content.size()) << path;
            EXPECT_EQ(seen->second.attributes, file.second.attributes) << path;
            EXPECT_TRUE(seen->second.content == file.second.content) << "mtype " << path;
            std::string tskPath = SleuthKitName(path, file.second.shortName);
            EXPECT_TRUE(sleuthKit[tskPath] == file.second.content) << "icat " << tskPath;
            mtools.erase(seen);
            sleuthKit.erase(tskPath);
        }
        for (const auto& extra : mtools) ADD_FAILURE() << "mtools sees " << extra.first;
        for (const auto& extra : sleuthKit) ADD_FAILURE() << "fls sees " << extra.first;
    }

    fattest::TempDir m_dir;
    std::string m_image;
    std::mt19937 m_rng;
    std::unique_ptr<BlockDevice> m_device;
    std::unique_ptr<fat::Volume> m_volume;
    std::vector<std::string> m_folders;
    std::map<std::string, std::string> m_folderShortNames;
    std::map<std::string, ModelFile> m_files;
};

TEST_P(FatModel, ChangesMatchTheModelAndTheOracles) {
    const int kOperations = 160;
    for (int i = 0; i < kOperations && !HasFatalFailure(); ++i) {
        switch (m_rng() % 12) {
            case 0:
            case 1:
            case 2:
                DoCreate();
                break;
            case 3:
            case 4:
            case 5:
                DoWrite();
                break;
            case 6:
                DoTruncate();
                break;
            case 7:
                DoRemove();
                break;
            case 8:
            case 9:
                DoRename();
                break;
            case 10:
                DoSetAttributes();
                break;
            default:
                CloseVolume();
                OpenVolume();
                CheckListings();
        }
    }
    // Many names in one folder: it grows by clusters, and short names need tails.
    for (int i = 0; i < 60 && !HasFatalFailure(); ++i) {
        std::string path = "/Many/Crowded folder entry " + std::to_string(i) + ".txt";
        if (!Match("/Many", NameOf(path)).empty()) continue;
        bool ok = m_volume->Create(path);
        if (!ok && GetParam().nearFull) {
            ExpectFull(ok, 1, path);
            break;
        }
        ASSERT_TRUE(ok) << path << ": " << m_volume->LastError();
        fat::Entry entry;
        ASSERT_TRUE(m_volume->Stat(path, &entry));
        m_files[path].shortName = entry.shortName;
    }
    CheckListings();
    CloseVolume();
    CheckOracles();
}

std::vector<Config> Configs() {
    std::vector<Config> configs;
    for (bool nearFull : {false, true}) {
        for (unsigned seed = 1; seed <= 4; ++seed) {
            configs.push_back({12, 1440 * 1024, 512, nearFull, seed});
            configs.push_back({16, 4 << 20, 0, nearFull, seed});
            configs.push_back({32, 34 << 20, 0, nearFull, seed});
        }
    }
    return configs;
}

INSTANTIATE_TEST_SUITE_P(Sequences, FatModel, testing::ValuesIn(Configs()), ConfigName);

}  // namespace
