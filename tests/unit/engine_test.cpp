// Detection and cleaning of every form, on real files, natively and under Wine.
#include <gtest/gtest.h>

#include <memory>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "engine/clean.h"
#include "engine/crc32.h"
#include "engine/detect.h"
#include "engine/restart_ops.h"
#include "platform/platform.h"
#include "tests/support/test_files.h"
#include "tools/samplegen/samples.h"

using namespace testfiles;
using samples::Bytes;

namespace {

class EngineTest : public ::testing::Test {
  protected:
    void SetUp() override {
        m_dir = MakeTempDir("engine");
        m_engine.reset(new Engine(HostPlatform()));
    }

    std::string Write(const std::string& name, const Bytes& bytes) {
        std::string path = Join(m_dir, name);
        WriteBytes(path, bytes);
        return path;
    }

    ScanOutcome Scan(const std::string& path) {
        return ScanFile(*m_engine, path.c_str(), &m_label);
    }

    Bytes Host(size_t size) { return samples::Filler(size, 7); }

    std::string m_dir;
    std::unique_ptr<Engine> m_engine;
    const char* m_label = nullptr;
};

struct DetectCase {
    const char* name;
    Bytes bytes;
    DetectResult result;
    const char* label;
};

TEST_F(EngineTest, DetectsEveryFormAndNothingElse) {
    Bytes exe32768 = samples::InfectedExe(samples::VARIANT_E, nullptr);
    exe32768.resize(32768);
    Bytes tailOnly = samples::ScriptTail();
    std::vector<DetectCase> cases = {
        {"empty", {}, DETECT_CLEAN, LABEL_TORVO_A},
        {"exe-a", samples::InfectedExe(samples::VARIANT_A, nullptr), DETECT_INFECTED,
         LABEL_TORVO_A},
        {"exe-e", samples::InfectedExe(samples::VARIANT_E, nullptr), DETECT_INFECTED,
         LABEL_TORVO_E},
        {"exe-e-32768", exe32768, DETECT_INFECTED, LABEL_TORVO_E},
        {"clean-exe", samples::CleanExe(nullptr), DETECT_CLEAN, LABEL_TORVO_A},
        {"mail-a", samples::MailMessage(samples::VARIANT_A), DETECT_INFECTED, LABEL_TORVO_A},
        {"mail-e", samples::MailMessage(samples::VARIANT_E), DETECT_INFECTED, LABEL_TORVO_E},
        {"page", samples::InfectedPage(samples::PlainPage()), DETECT_INFECTED, LABEL_JS_TORVO},
        {"tail-120", tailOnly, DETECT_INFECTED, LABEL_JS_TORVO},
        {"plain-page", samples::PlainPage(), DETECT_CLEAN, LABEL_TORVO_A},
    };
    for (const std::string& name : samples::NearMissNames())
        cases.push_back({"near-miss", samples::NearMiss(name), DETECT_CLEAN, LABEL_TORVO_A});
    // Pages ending just inside, at and beyond the first read (4096 bytes).
    for (size_t size : {4095u, 4096u, 4097u, 9000u}) {
        Bytes page = samples::InfectedPage(samples::TextFile(size - SCRIPT_TAIL_LENGTH, 3));
        cases.push_back({"page-of-size", page, DETECT_INFECTED, LABEL_JS_TORVO});
    }
    for (const DetectCase& c : cases) {
        std::string path = Write("sample.bin", c.bytes);
        const char* label = nullptr;
        EXPECT_EQ(DetectFile(HostPlatform(), path.c_str(), &label), c.result) << c.name;
        EXPECT_STREQ(label, c.label) << c.name;
        EXPECT_EQ(ReadBytes(path), c.bytes) << c.name << ": detection changed the file";
    }
    const char* label = nullptr;
    EXPECT_EQ(DetectFile(HostPlatform(), Join(m_dir, "missing").c_str(), &label),
              DETECT_OPEN_FAILED);
    EXPECT_STREQ(label, LABEL_TORVO_A);
}

TEST_F(EngineTest, CleanFilesAreLeftAlone) {
    for (const Bytes& bytes : {samples::PlainPage(), samples::CleanExe(nullptr), Bytes()}) {
        std::string path = Write("clean.bin", bytes);
        EXPECT_EQ(Scan(path), SCAN_CLEAN);
        EXPECT_EQ(ReadBytes(path), bytes);
        EXPECT_EQ(ListDir(m_dir).size(), 1u);
    }
}

TEST_F(EngineTest, InfectedProgramGetsItsHostBackByteForByte) {
    std::string real = RealProgramPath();
    Bytes host = real.empty() ? samples::CleanExe(nullptr) : ReadBytes(real);
    for (auto variant : {samples::VARIANT_A, samples::VARIANT_E}) {
        std::string path = Write("program.exe", samples::InfectedExe(variant, &host));
        EXPECT_EQ(Scan(path), SCAN_DISINFECTED);
        EXPECT_STREQ(m_label, variant == samples::VARIANT_A ? LABEL_TORVO_A : LABEL_TORVO_E);
        EXPECT_TRUE(ReadBytes(path) == host);
        EXPECT_EQ(ListDir(m_dir), std::vector<std::string>{"program.exe"});
    }
}

TEST_F(EngineTest, NestedInfectionComesOutAsTheInnermostHost) {
    Bytes host = samples::CleanExe(nullptr);
    std::string path = Write("twice.exe", samples::NestedExe(samples::VARIANT_E, host, 2));
    EXPECT_EQ(Scan(path), SCAN_DISINFECTED);
    EXPECT_STREQ(m_label, LABEL_TORVO_E);
    EXPECT_TRUE(ReadBytes(path) == host);
    EXPECT_EQ(ListDir(m_dir), std::vector<std::string>{"twice.exe"});
}

TEST_F(EngineTest, WormAloneIsDeleted) {
    Bytes wormAlone = samples::InfectedExe(samples::VARIANT_A, nullptr);
    Bytes tiny = Host(99);
    std::vector<Bytes> forms = {wormAlone, samples::InfectedExe(samples::VARIANT_A, &tiny),
                                samples::InfectedExe(samples::VARIANT_A, &wormAlone),
                                samples::MailMessage(samples::VARIANT_E)};
    for (const Bytes& form : forms) {
        std::string path = Write("worm.exe", form);
        EXPECT_EQ(Scan(path), SCAN_DELETED);
        EXPECT_TRUE(ListDir(m_dir).empty());
    }
    CarryOutRestartList();
    EXPECT_TRUE(ListDir(m_dir).empty());
}

TEST_F(EngineTest, HostOfOneHundredBytesIsKept) {
    Bytes host = Host(100);
    std::string path = Write("small.exe", samples::InfectedExe(samples::VARIANT_A, &host));
    EXPECT_EQ(Scan(path), SCAN_DISINFECTED);
    EXPECT_TRUE(ReadBytes(path) == host);
}

TEST_F(EngineTest, InfectedPageLosesItsScript) {
    Bytes page = samples::PlainPage();
    std::string path = Write("index.htm", samples::InfectedPage(page));
    SetReadOnlyAndHidden(path);
    EXPECT_EQ(Scan(path), SCAN_DISINFECTED);
    EXPECT_STREQ(m_label, LABEL_JS_TORVO);
    EXPECT_TRUE(ReadBytes(path) == page);
    EXPECT_FALSE(HasNormalAttributes(path)) << "the repaired page keeps its attributes";
    EXPECT_EQ(ListDir(m_dir), std::vector<std::string>{"index.htm"});
}

TEST_F(EngineTest, ReadOnlyHiddenWormIsDeleted) {
    std::string path = Write("worm.eml", samples::MailMessage(samples::VARIANT_A));
    SetReadOnlyAndHidden(path);
    EXPECT_EQ(Scan(path), SCAN_DELETED);
    EXPECT_FALSE(Exists(path));
}

TEST_F(EngineTest, ExistingWorkFileIsOverwrittenOnlyWhenRepairing) {
    Bytes stale = Host(500);
    std::string page = Write("page.htm", samples::InfectedPage(samples::PlainPage()));
    Write("page.htm.cln", stale);
    EXPECT_EQ(Scan(page), SCAN_DISINFECTED);
    EXPECT_FALSE(Exists(page + ".cln"));

    std::string mail = Write("mail.eml", samples::MailMessage(samples::VARIANT_E));
    Write("mail.eml.cln", stale);
    EXPECT_EQ(Scan(mail), SCAN_DELETED);
    EXPECT_TRUE(ReadBytes(mail + ".cln") == stale);
}

TEST_F(EngineTest, WorkFileIsCleanedLikeAnyOtherFile) {
    Bytes page = samples::PlainPage();
    std::string path = Write("x.cln", samples::InfectedPage(page));
    EXPECT_EQ(Scan(path), SCAN_DISINFECTED);
    EXPECT_TRUE(ReadBytes(path) == page);
    EXPECT_EQ(ListDir(m_dir), std::vector<std::string>{"x.cln"});
}

TEST_F(EngineTest, MzFileThatIsNoImageIsLeftUnchanged) {
    Bytes bytes = samples::InfectedExe(samples::VARIANT_A, nullptr);
    memset(&bytes[2], 0, 0x3E);  // no PE header any more; the block still matches
    std::string path = Write("fake.exe", bytes);
    EXPECT_EQ(Scan(path), SCAN_CLEAN_FAILED);
    EXPECT_TRUE(ReadBytes(path) == bytes);
    EXPECT_EQ(ListDir(m_dir).size(), 1u);
}

// Nothing is lost when the work file cannot be made: a folder holds its name.
TEST_F(EngineTest, WorkFileThatCannotBeCreatedChangesNothing) {
    Bytes host = Host(4000);
    std::vector<Bytes> forms = {samples::InfectedExe(samples::VARIANT_A, &host),
                                samples::InfectedPage(samples::PlainPage())};
    for (const Bytes& form : forms) {
        std::string path = Write("blocked.exe", form);
        MakeDir(path + ".cln");
        EXPECT_EQ(Scan(path), SCAN_CLEAN_FAILED);
        EXPECT_TRUE(ReadBytes(path) == form);
    }
}

TEST_F(EngineTest, FileThatVanishedOrIsLockedBeforeCleaningStaysWhole) {
    std::string missing = Join(m_dir, "gone.htm");
    EXPECT_EQ(CleanFile(*m_engine, missing.c_str()), CLEAN_OPEN_FAILED);
    Bytes page = samples::InfectedPage(samples::PlainPage());
    std::string path = Write("locked.htm", page);
    {
        HeldOpen lock(path, false);
        EXPECT_EQ(CleanFile(*m_engine, path.c_str()), CLEAN_OPEN_FAILED);
        EXPECT_EQ(Scan(path), SCAN_OPEN_FAILED);
    }
    EXPECT_TRUE(ReadBytes(path) == page);
    EXPECT_EQ(ListDir(m_dir).size(), 1u);
}

TEST_F(EngineTest, FilesInUseAreRepairedAtTheNextRestart) {
    Bytes host = Host(3000);
    Bytes page = samples::PlainPage();
    std::string program = Write("busy.exe", samples::InfectedExe(samples::VARIANT_A, &host));
    std::string web = Write("busy.htm", samples::InfectedPage(page));
    std::string worm = Write("worm.exe", samples::InfectedExe(samples::VARIANT_E, nullptr));
    std::string mail = Write("worm.eml", samples::MailMessage(samples::VARIANT_A));
    {
        HeldOpen a(program, true), b(web, true), c(worm, true), d(mail, true);
        for (const std::string& path : {program, web, worm, mail}) {
            EXPECT_EQ(Scan(path), SCAN_PENDING_RESTART) << path;
            EXPECT_TRUE(Exists(path)) << path;
        }
        EXPECT_TRUE(ReadBytes(program + ".cln") == host);
        EXPECT_TRUE(ReadBytes(web + ".cln") == page);
    }
    CarryOutRestartList();
    EXPECT_TRUE(ReadBytes(program) == host);
    EXPECT_TRUE(ReadBytes(web) == page);
    EXPECT_FALSE(Exists(worm));
    EXPECT_FALSE(Exists(mail));
    std::vector<std::string> left = ListDir(m_dir);
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"busy.exe", "busy.htm"}));
}

// A deletion taken back is the only one that does not happen at the restart.
TEST_F(EngineTest, DeleteOrScheduleKeepsEveryPendingDeletionButOneTakenBack) {
    std::string first = Write("one.txt", Host(10));
    std::string second = Write("two.txt", Host(10));
    std::string kept = Write("kept.txt", Host(10));
    {
        HeldOpen a(first, true), b(second, true), c(kept, true);
        EXPECT_EQ(DeleteOrSchedule(*m_engine, first.c_str()), OP_SCHEDULED);
        EXPECT_EQ(DeleteOrSchedule(*m_engine, kept.c_str()), OP_SCHEDULED);
        EXPECT_EQ(DeleteOrSchedule(*m_engine, second.c_str()), OP_SCHEDULED);
        EXPECT_TRUE(TakeBackPendingWork(*m_engine, kept.c_str()));
    }
    CarryOutRestartList();
    EXPECT_EQ(ListDir(m_dir), std::vector<std::string>{"kept.txt"});
    HostPlatform().Remove(kept.c_str());
    std::string third = Write("three.txt", Host(10));
    EXPECT_EQ(DeleteOrSchedule(*m_engine, third.c_str()), 1);
    EXPECT_FALSE(Exists(third));
}

TEST_F(EngineTest, MoveOrScheduleNeverReplacesAnExistingFile) {
    Bytes kept = Host(20), moved = Host(30);
    std::string destination = Write("dest.txt", kept);
    std::string source = Write("dest.txt.cln", moved);
    RestartEntry record = RepairEntry(*m_engine, destination.c_str());
    ASSERT_TRUE(RecordRepair(*m_engine, WorkFileEntry(*m_engine, destination.c_str()), record));
    EXPECT_EQ(MoveOrSchedule(*m_engine, destination.c_str(), source.c_str(), record), OP_SCHEDULED);
    EXPECT_TRUE(ReadBytes(destination) == kept);
    EXPECT_TRUE(ReadBytes(source) == moved);
    EXPECT_TRUE(IsPendingOnRestartList(*m_engine, destination.c_str()));
    EXPECT_TRUE(TakeBackPendingWork(*m_engine, destination.c_str()));
    EXPECT_FALSE(IsPendingOnRestartList(*m_engine, destination.c_str()));
    EXPECT_FALSE(Exists(source));
}

// Sizes and offsets are 64-bit: a page of 5 GiB (sparse, with bytes written across the
// 2 GiB and 4 GiB marks) is found, and loses exactly its last 120 bytes.
TEST_F(EngineTest, PageBeyondFourGibibytesIsCutExactly) {
    const int64_t size = int64_t(5) << 30;
    // The copy of the page is written out in full where the system cannot keep it sparse.
    if (FreeSpace(m_dir) < 3 * size) GTEST_SKIP() << "needs " << 3 * size << " bytes free";
    std::string path = Join(m_dir, "big.htm");
    Bytes mark = samples::TextFile(64, 1);
    const int64_t at[] = {0, (int64_t(1) << 31) - 32, (int64_t(1) << 32) - 32, size - 184};
    for (int64_t offset : at) WriteAt(path, offset, mark);
    WriteAt(path, size - SCRIPT_TAIL_LENGTH, samples::ScriptTail());
    EXPECT_EQ(Scan(path), SCAN_DISINFECTED);
    EXPECT_STREQ(m_label, LABEL_JS_TORVO);
    EXPECT_EQ(FileSize(path), size - SCRIPT_TAIL_LENGTH);
    for (int64_t offset : at) EXPECT_TRUE(ReadAt(path, offset, 64) == mark) << offset;
    EXPECT_EQ(ListDir(m_dir), std::vector<std::string>{"big.htm"});
    HostPlatform().Remove(path.c_str());
}

// A path the platform cannot open is reported, never cut short into another name.
TEST_F(EngineTest, OverlongPathsAreNeverCutShort) {
    std::string dir = m_dir;
    while (dir.size() < 200) {
        dir = Join(dir, "deeper-folder-name");
        MakeDir(dir);
    }
    Bytes plain = samples::PlainPage();
    Bytes page = samples::InfectedPage(plain);
    for (size_t length : {259u, 260u, 300u}) {
        std::string path = Join(dir, std::string(length - dir.size() - 1, 'p'));
#ifdef _WIN32
        // 259 characters open, but the work file's name would not fit.
        if (length == 259) {
            WriteBytes(path, page);
            EXPECT_EQ(Scan(path), SCAN_CLEAN_FAILED);
            EXPECT_TRUE(ReadBytes(path) == page);
        } else {
            EXPECT_EQ(Scan(path), SCAN_OPEN_FAILED) << length;
        }
#else
        WriteBytes(path, page);
        EXPECT_EQ(Scan(path), SCAN_DISINFECTED) << length;
        EXPECT_TRUE(ReadBytes(path) == plain) << length;
#endif
    }
    for (const std::string& name : ListDir(dir)) EXPECT_GE(dir.size() + 1 + name.size(), 259u);
}

}  // namespace

TEST(Platform, RunsOnTheFamilyTheTestRunAskedFor) {
    const char* expected = getenv("TORVO_EXPECT_FAMILY");
    if (expected) {
        EXPECT_EQ(testfiles::PlatformFamily(), expected);
    }
}
