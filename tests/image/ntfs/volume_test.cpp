// The NTFS volume against images made by mkntfs and ntfscp, checked afterwards with
// ntfsfix, ntfssecaudit, ntfsinfo and The Sleuth Kit.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>

#include "engine/clean.h"
#include "platform/image/image_platform.h"
#include "platform/image/ntfs/short_names.h"
#include "platform/image/ntfs/text.h"
#include "tests/image/ntfs/oracles.h"
#include "tools/samplegen/samples.h"

namespace ntfstest {

namespace {

const uint64_t kImageBytes = 64 << 20;

std::string Pattern(size_t size, unsigned seed) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = char((i * 131 + seed * 7 + i / 251) & 0xFF);
    return bytes;
}

class NtfsVolumeTest : public ::testing::Test {
  protected:
    void SetUp() override { MakeImage(m_image, kImageBytes); }

    // A file copied in with ntfscp: a POSIX name, no short name, a descriptor of its own.
    void PutFile(const std::string& path, const std::string& content) {
        std::string host = m_dir.File("put");
        std::ofstream(host, std::ios::binary) << content;
        int status = 0;
        std::string output =
            Shell("ntfscp -q " + Quote(m_image) + " " + Quote(host) + " " + Quote(path), &status);
        ASSERT_EQ(status, 0) << output;
    }

    std::string ReadAll(ntfs::Volume& volume, const std::string& path) {
        image::Entry entry;
        EXPECT_TRUE(volume.Stat(path, &entry)) << volume.LastError();
        std::string content(entry.size, '\0');
        size_t got = 0;
        EXPECT_TRUE(volume.Read(path, 0, &content[0], content.size(), &got)) << volume.LastError();
        content.resize(got);
        return content;
    }

    void ExpectSound() { EXPECT_EQ(Complaints(m_image), ""); }

    TempDir m_dir;
    std::string m_image = m_dir.File("volume.img");
};

TEST_F(NtfsVolumeTest, ReadsWhatOtherToolsWrote) {
    MakeFolders(m_image, {"/Program Files", "/Program Files/Sub"});
    PutFile("/tiny.txt", "hello");
    PutFile("/empty.bin", "");
    PutFile("/Program Files/big.exe", Pattern(300000, 1));
    PutFile("/Program Files/Sub/Ünïcode файл.txt", Pattern(5000, 2));
    std::map<std::string, SleuthFile> expected = SleuthKitTree(m_image);
    ASSERT_EQ(expected.size(), 6u);

    Opened opened = OpenImage(m_image);
    ASSERT_TRUE(opened.volume) << opened.error;
    ntfs::Volume& volume = *opened.volume;
    EXPECT_EQ(volume.Kind(), "NTFS");
    EXPECT_FALSE(volume.IsReadOnly());
    EXPECT_EQ(volume.ReadOnlyReason(), "");
    for (const auto& item : expected) {
        SCOPED_TRACE(item.first);
        image::Entry entry;
        ASSERT_TRUE(volume.Stat(item.first, &entry)) << volume.LastError();
        EXPECT_EQ(entry.name, item.first.substr(item.first.rfind('/') + 1));
        EXPECT_EQ(entry.isDirectory, item.second.isDirectory);
        EXPECT_EQ(entry.attributes, item.second.attributes);
        EXPECT_EQ(entry.identity, item.second.inode);
        if (!entry.isDirectory) {
            EXPECT_EQ(entry.size, item.second.size);
            EXPECT_EQ(ReadAll(volume, item.first), item.second.content);
        }
    }
    // The root lists neither $MFT nor the other system files.
    std::vector<image::Entry> root;
    ASSERT_TRUE(volume.List("/", &root)) << volume.LastError();
    std::vector<std::string> names;
    for (const image::Entry& entry : root) names.push_back(entry.name);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"Program Files", "empty.bin", "tiny.txt"}));
    // Whatever the case, by long or short name.
    image::Entry entry;
    ASSERT_TRUE(volume.Stat("/PROGRA~1/sub/üNÏCODE ФАЙЛ.TXT", &entry)) << volume.LastError();
    EXPECT_EQ(entry.name, "Ünïcode файл.txt");
    ASSERT_TRUE(volume.Stat("/program files", &entry));
    EXPECT_EQ(entry.name, "Program Files");
    EXPECT_EQ(entry.shortName, "PROGRA~1");
    // Reads at the end and past it, and of a folder.
    size_t got = 99;
    char byte;
    EXPECT_TRUE(volume.Read("/tiny.txt", 5, &byte, 1, &got));
    EXPECT_EQ(got, 0u);
    EXPECT_FALSE(volume.Read("/Program Files", 0, &byte, 1, &got));
    EXPECT_FALSE(volume.Stat("/nothing", &entry));
    EXPECT_FALSE(volume.Stat("/tiny.txt/deeper", &entry));
    EXPECT_NE(volume.LastError(), "");
}

TEST_F(NtfsVolumeTest, NewFilesGetShortNamesAsOnWindows) {
    Opened opened = OpenImage(m_image);
    ASSERT_TRUE(opened.volume) << opened.error;
    ntfs::Volume& volume = *opened.volume;
    const std::vector<std::string> names = {"readme.txt",
                                            "NOTES.TXT",
                                            "Long File Name.txt",
                                            "Long File Name 2.txt",
                                            "Long File Name 3.txt",
                                            "Long File Name 4.txt",
                                            "Long File Name 5.txt",
                                            "Long File Name 6.txt",
                                            "a+b;c.txt",
                                            ".profile",
                                            "many.dots.in.name",
                                            "ÄÖÜ.txt"};
    for (const std::string& name : names)
        ASSERT_TRUE(volume.Create("/" + name)) << volume.LastError();
    // Taken names, whatever the case and by either name; names Windows refuses.
    EXPECT_FALSE(volume.Create("/README.TXT"));
    EXPECT_FALSE(volume.Create("/LONGFI~1.TXT"));
    for (const char* bad : {"/con.txt", "/a?b", "/trailing.", "/Missing/x.txt", "/"})
        EXPECT_FALSE(volume.Create(bad)) << bad;
    ASSERT_TRUE(volume.Flush()) << volume.LastError();

    std::map<std::string, SleuthFile> tree = SleuthKitTree(m_image);
    std::vector<std::string> shortNames;
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        std::u16string wide;
        ASSERT_TRUE(ntfs::Utf8ToUtf16(name, &wide));
        image::Entry entry;
        ASSERT_TRUE(volume.Stat("/" + name, &entry));
        const std::vector<std::string>& recorded = tree["/" + name].names;
        std::map<std::string, std::string> spaces = Namespaces(m_image, "/" + name);
        if (ntfs::FitsShortName(wide)) {
            EXPECT_EQ(entry.shortName, name);
            EXPECT_EQ(recorded, std::vector<std::string>{name});
            EXPECT_EQ(spaces[name], "Win32 & DOS");
            continue;
        }
        ASSERT_EQ(recorded.size(), 2u);
        std::u16string shortName;
        ASSERT_TRUE(ntfs::Utf8ToUtf16(entry.shortName, &shortName));
        EXPECT_TRUE(ntfs::IsShortName(shortName)) << entry.shortName;
        EXPECT_NE(std::find(recorded.begin(), recorded.end(), entry.shortName), recorded.end());
        EXPECT_EQ(spaces[name], "Win32");
        EXPECT_EQ(spaces[entry.shortName], "DOS");
        shortNames.push_back(entry.shortName);
    }
    image::Entry entry;
    ASSERT_TRUE(volume.Stat("/Long File Name.txt", &entry));
    EXPECT_EQ(entry.shortName, "LONGFI~1.TXT");
    ASSERT_TRUE(volume.Stat("/Long File Name 4.txt", &entry));
    EXPECT_EQ(entry.shortName, "LONGFI~4.TXT");
    ASSERT_TRUE(volume.Stat("/a+b;c.txt", &entry));
    EXPECT_EQ(entry.shortName, "A_B_C~1.TXT");
    std::sort(shortNames.begin(), shortNames.end());
    EXPECT_EQ(std::unique(shortNames.begin(), shortNames.end()), shortNames.end());
    opened.volume.reset();
    ExpectSound();
}

// The repair of X through the engine: its work file X.cln takes X's place and keeps
// what X had (security descriptor, short name, attributes).
TEST_F(NtfsVolumeTest, RepairedFileKeepsWhatTheInfectedOneHad) {
    const std::string file = "/Important Page.htm";
    samples::Bytes infected = samples::InfectedPage(samples::PlainPage());
    PutFile(file, std::string(infected.begin(), infected.end()));
    Shell("ntfssecaudit " + Quote(m_image) + " 640 " + Quote(file.substr(1)));
    std::vector<uint8_t> original = AuditedDescriptor(m_image, file);
    ASSERT_FALSE(original.empty());
    {
        Opened opened = OpenImage(m_image);
        ASSERT_TRUE(opened.volume) << opened.error;
        ntfs::Volume& volume = *opened.volume;
        ASSERT_TRUE(volume.SetShortName(file, "IMPORT~7.HTM")) << volume.LastError();
        ASSERT_TRUE(volume.SetAttributes(file, image::kReadOnly | image::kHidden));
        ImagePlatform platform("disk.img/", volume, MakeNoRestartList());
        Engine engine(platform);
        const char* label = nullptr;
        std::string path = "disk.img/" + file;
        EXPECT_EQ(ScanFile(engine, path.c_str(), &label), SCAN_DISINFECTED);
        EXPECT_FALSE(platform.LostChanges());
    }
    EXPECT_EQ(AuditedDescriptor(m_image, file), original);
    std::map<std::string, SleuthFile> tree = SleuthKitTree(m_image);
    ASSERT_EQ(tree.size(), 1u);
    const SleuthFile& repaired = tree[file];
    samples::Bytes plain = samples::PlainPage();
    EXPECT_EQ(repaired.content, std::string(plain.begin(), plain.end()));
    EXPECT_EQ(repaired.attributes, image::kReadOnly | image::kHidden);
    std::vector<std::string> names = repaired.names;
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"IMPORT~7.HTM", "Important Page.htm"}));
    ExpectSound();
}

TEST_F(NtfsVolumeTest, RenameKeepsTheFileAndGivesTheNewNameAShortName) {
    PutFile("/posix name.txt", "no short name");
    Opened opened = OpenImage(m_image);
    ASSERT_TRUE(opened.volume) << opened.error;
    ntfs::Volume& volume = *opened.volume;
    ASSERT_TRUE(volume.Create("/First Name.txt"));
    ASSERT_TRUE(volume.Write("/First Name.txt", 0, "content", 7));
    ASSERT_TRUE(volume.SetAttributes("/First Name.txt", image::kSystem));
    ASSERT_TRUE(volume.Create("/other.txt"));
    image::Entry before, after;
    ASSERT_TRUE(volume.Stat("/First Name.txt", &before));
    std::vector<uint8_t> security, kept;
    ASSERT_TRUE(volume.GetSecurity("/First Name.txt", &security));

    EXPECT_FALSE(volume.Rename("/First Name.txt", "/OTHER.TXT"));
    EXPECT_FALSE(volume.Rename("/First Name.txt", "/bad|name"));
    ASSERT_TRUE(volume.Rename("/FIRSTN~1.TXT", "/Second Name.txt")) << volume.LastError();
    ASSERT_TRUE(volume.Stat("/second name.txt", &after));
    EXPECT_EQ(after.name, "Second Name.txt");
    EXPECT_EQ(after.shortName, "SECOND~1.TXT");
    EXPECT_EQ(after.identity, before.identity);
    EXPECT_EQ(after.attributes, image::kSystem);
    ASSERT_TRUE(volume.GetSecurity("/Second Name.txt", &kept));
    EXPECT_EQ(kept, security);
    EXPECT_FALSE(volume.Stat("/First Name.txt", &after));
    // A change of case only; an 8.3 name that serves as its own short name.
    ASSERT_TRUE(volume.Rename("/Second Name.txt", "/SECOND name.txt")) << volume.LastError();
    ASSERT_TRUE(volume.Stat("/second name.txt", &after));
    EXPECT_EQ(after.name, "SECOND name.txt");
    ASSERT_TRUE(volume.Rename("/SECOND name.txt", "/short.txt")) << volume.LastError();
    ASSERT_TRUE(volume.Stat("/short.txt", &after));
    EXPECT_EQ(after.shortName, "short.txt");
    // No short name where the old name had none.
    ASSERT_TRUE(volume.Rename("/posix name.txt", "/still posix.txt")) << volume.LastError();
    ASSERT_TRUE(volume.Stat("/still posix.txt", &after));
    EXPECT_EQ(after.shortName, "");
    ASSERT_TRUE(volume.Flush());
    opened.volume.reset();

    std::map<std::string, SleuthFile> tree = SleuthKitTree(m_image);
    EXPECT_EQ(tree["/short.txt"].names, std::vector<std::string>{"short.txt"});
    EXPECT_EQ(tree["/short.txt"].content, "content");
    EXPECT_EQ(tree["/still posix.txt"].names, std::vector<std::string>{"still posix.txt"});
    EXPECT_EQ(Namespaces(m_image, "/short.txt")["short.txt"], "Win32 & DOS");
    EXPECT_EQ(tree.size(), 3u);
    ExpectSound();
}

TEST_F(NtfsVolumeTest, AttributesDataAndShortNamesAsOthersReadThem) {
    Opened opened = OpenImage(m_image);
    ASSERT_TRUE(opened.volume) << opened.error;
    ntfs::Volume& volume = *opened.volume;
    ASSERT_TRUE(volume.Create("/file.bin"));
    image::Entry entry;
    ASSERT_TRUE(volume.Stat("/file.bin", &entry));
    EXPECT_EQ(entry.attributes, image::kArchive);
    // Resident, then past what a file record holds, then cut back.
    std::string content = Pattern(100, 3);
    ASSERT_TRUE(volume.Write("/file.bin", 0, content.data(), content.size()));
    std::string more = Pattern(70000, 4);
    ASSERT_TRUE(volume.Write("/file.bin", 20000, more.data(), more.size()));
    content.resize(20000, '\0');
    content += more;
    ASSERT_TRUE(volume.Truncate("/file.bin", 50000));
    content.resize(50000);
    ASSERT_TRUE(volume.SetAttributes("/file.bin", image::kReadOnly | image::kSystem));
    EXPECT_EQ(ReadAll(volume, "/file.bin"), content);
    ASSERT_TRUE(volume.SetShortName("/file.bin", "OTHER.BIN")) << volume.LastError();
    ASSERT_TRUE(volume.Create("/other folder name"));
    EXPECT_FALSE(volume.SetShortName("/other folder name", "OTHER.BIN")) << "taken";
    EXPECT_FALSE(volume.SetShortName("/other folder name", "TOO LONG NAME"));
    ASSERT_TRUE(volume.SetShortName("/other folder name", "")) << volume.LastError();
    ASSERT_TRUE(volume.Stat("/other.bin", &entry));
    EXPECT_EQ(entry.name, "file.bin");
    opened.volume.reset();

    std::map<std::string, SleuthFile> tree = SleuthKitTree(m_image);
    EXPECT_EQ(tree["/file.bin"].content, content);
    EXPECT_EQ(tree["/file.bin"].attributes, image::kReadOnly | image::kSystem);
    std::vector<std::string> names = tree["/file.bin"].names;
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"OTHER.BIN", "file.bin"}));
    EXPECT_EQ(tree["/other folder name"].names, std::vector<std::string>{"other folder name"});
    ExpectSound();
}

TEST_F(NtfsVolumeTest, NewFileTakesTheSecurityItsFolderHandsDown) {
    MakeFolders(m_image, {"/Shared"});
    Shell("ntfssecaudit " + Quote(m_image) + " 750 Shared");
    Opened opened = OpenImage(m_image);
    ASSERT_TRUE(opened.volume) << opened.error;
    ASSERT_TRUE(opened.volume->Create("/Shared/new.txt")) << opened.volume->LastError();
    opened.volume.reset();
    std::map<std::string, SleuthFile> tree = SleuthKitTree(m_image);
    EXPECT_NE(tree["/Shared/new.txt"].securityId, 0u) << "kept in $Secure, as Windows does";
    EXPECT_FALSE(AuditedDescriptor(m_image, "/Shared/new.txt").empty());
    ExpectSound();
}

TEST_F(NtfsVolumeTest, SecurityDescriptorsAreCheckedBeforeTheyAreSet) {
    PutFile("/file.txt", "x");
    // Kept in $Secure, where ntfssecaudit shows it as it is stored.
    Shell("ntfssecaudit " + Quote(m_image) + " 640 file.txt");
    Opened opened = OpenImage(m_image);
    ASSERT_TRUE(opened.volume) << opened.error;
    std::vector<uint8_t> descriptor;
    ASSERT_TRUE(opened.volume->GetSecurity("/file.txt", &descriptor));
    EXPECT_EQ(descriptor, AuditedDescriptor(m_image, "/file.txt"));
    EXPECT_FALSE(opened.volume->SetSecurity("/file.txt", std::vector<uint8_t>(40, 0xEE)));
    EXPECT_FALSE(opened.volume->SetSecurity("/file.txt", {}));
    descriptor.resize(descriptor.size() / 2);
    EXPECT_FALSE(opened.volume->SetSecurity("/file.txt", descriptor));
    opened.volume.reset();
    ExpectSound();
}

TEST_F(NtfsVolumeTest, ChangesLastOnlyOnceFlushedOrClosed) {
    Opened opened = OpenImage(m_image);
    ASSERT_TRUE(opened.volume) << opened.error;
    ASSERT_TRUE(opened.volume->Create("/a.txt"));
    ASSERT_TRUE(opened.volume->Write("/a.txt", 0, "abc", 3));
    ASSERT_TRUE(opened.volume->Flush()) << opened.volume->LastError();
    EXPECT_EQ(Complaints(m_image), "") << "sound while still open, once flushed";
    EXPECT_EQ(SleuthKitTree(m_image)["/a.txt"].content, "abc");
    ASSERT_TRUE(opened.volume->Write("/a.txt", 3, "def", 3)) << "still usable after a flush";
    ASSERT_TRUE(opened.volume->Remove("/A.TXT"));
    EXPECT_FALSE(opened.volume->Remove("/a.txt"));
    opened.volume.reset();
    EXPECT_TRUE(SleuthKitTree(m_image).empty());
    ExpectSound();
}

TEST_F(NtfsVolumeTest, UncleanOrHibernatedVolumeOpensReadOnlyWithTheReason) {
    PutFile("/file.txt", "data");
    std::string hibernated = m_dir.File("hibernated.img");
    Shell("cp " + Quote(m_image) + " " + Quote(hibernated));
    MarkDirty(m_image);
    std::string header = "HIBR" + std::string(8000, '\0');
    std::ofstream(m_dir.File("hiberfil"), std::ios::binary) << header;
    Shell("ntfscp -q " + Quote(hibernated) + " " + Quote(m_dir.File("hiberfil")) + " hiberfil.sys");

    for (const std::string& image : {m_image, hibernated}) {
        SCOPED_TRACE(image);
        std::string before = Shell("md5sum < " + Quote(image));
        Opened opened = OpenImage(image);
        ASSERT_TRUE(opened.volume) << opened.error;
        EXPECT_TRUE(opened.volume->IsReadOnly());
        EXPECT_NE(opened.volume->ReadOnlyReason(), "");
        image::Entry entry;
        EXPECT_TRUE(opened.volume->Stat("/file.txt", &entry));
        EXPECT_FALSE(opened.volume->Create("/new.txt"));
        EXPECT_NE(opened.volume->LastError().find(opened.volume->ReadOnlyReason()),
                  std::string::npos);
        EXPECT_FALSE(opened.volume->Write("/file.txt", 0, "x", 1));
        EXPECT_TRUE(opened.volume->Flush());
        opened.volume.reset();
        EXPECT_EQ(Shell("md5sum < " + Quote(image)), before);
    }
    Opened opened = OpenImage(m_image);
    EXPECT_NE(opened.volume->ReadOnlyReason().find("chkdsk"), std::string::npos);
    opened = OpenImage(hibernated);
    EXPECT_NE(opened.volume->ReadOnlyReason().find("hibernated"), std::string::npos);
}

TEST_F(NtfsVolumeTest, ReadOnlyWhenAskedOrWhenTheDeviceIs) {
    PutFile("/file.txt", "data");
    Opened asked = OpenImage(m_image, true);
    ASSERT_TRUE(asked.volume) << asked.error;
    EXPECT_TRUE(asked.volume->IsReadOnly());
    EXPECT_EQ(asked.volume->ReadOnlyReason(), "");
    EXPECT_FALSE(asked.volume->Remove("/file.txt"));
    EXPECT_EQ(ReadAll(*asked.volume, "/file.txt"), "data");
}

TEST_F(NtfsVolumeTest, BrokenImagesGiveErrorsNotCrashes) {
    struct Case {
        const char* name;
        std::string damage;
    };
    const Case cases[] = {
        {"empty", "truncate -s 0 %s"},
        {"tiny", "truncate -s 300 %s"},
        {"garbage", "head -c 4000000 /dev/urandom > %s"},
        {"cut short", "truncate -s 20M %s"},
        {"MFT overwritten", "dd if=/dev/urandom of=%s bs=4096 seek=4 count=64 conv=notrunc"},
        {"boot sector gone", "dd if=/dev/zero of=%s bs=512 count=1 conv=notrunc"},
    };
    PutFile("/file.txt", "data");
    for (const Case& item : cases) {
        SCOPED_TRACE(item.name);
        std::string image = m_dir.File("broken.img");
        Shell("cp " + Quote(m_image) + " " + Quote(image));
        std::string command = item.damage;
        command.replace(command.find("%s"), 2, Quote(image));
        Shell(command);
        Opened opened = OpenImage(image);
        if (!opened.volume) {
            EXPECT_NE(opened.error, "");
            continue;
        }
        // What mounts despite the damage must still fail cleanly where it is hit.
        std::vector<image::Entry> entries;
        opened.volume->List("/", &entries);
        image::Entry entry;
        opened.volume->Stat("/file.txt", &entry);
    }
    Opened truncated = OpenImage(m_dir.File("broken.img"));
    Shell("cp " + Quote(m_image) + " " + Quote(m_dir.File("cut.img")) + " && truncate -s 20M " +
          Quote(m_dir.File("cut.img")));
    Opened cut = OpenImage(m_dir.File("cut.img"));
    EXPECT_FALSE(cut.volume);
    EXPECT_NE(cut.error.find("cut short"), std::string::npos) << cut.error;
}

}  // namespace

}  // namespace ntfstest
