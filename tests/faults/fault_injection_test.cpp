// Every call that cleaning makes fails in turn, for every form, free and in use, and
// also after an earlier run left the file's repair on the restart list while it was in
// use. After each case the user's data must be whole -- the infected file as it was, or
// its repaired form in place now or after the restart -- no work file may be left, and
// the outcome must say what really happened.
#include <gtest/gtest.h>

#include <algorithm>

#include "engine/clean.h"
#include "platform/posix/posix_platform.h"
#include "tests/faults/fault_platform.h"
#include "tests/faults/forms.h"
#include "tests/support/test_files.h"
#include "tools/samplegen/samples.h"

namespace {

using namespace testfiles;
using samples::Bytes;

// What the folder holds: nothing, or the one file with these bytes.
std::string Describe(const std::string& dir, const std::string& name) {
    std::vector<std::string> names = ListDir(dir);
    std::sort(names.begin(), names.end());
    std::string text;
    for (const std::string& entry : names) text += entry + " ";
    return text +
           (Exists(Join(dir, name)) ? std::to_string(ReadBytes(Join(dir, name)).size()) : "");
}

bool Holds(const std::string& dir, const std::string& name, const Bytes* bytes) {
    std::vector<std::string> names = ListDir(dir);
    if (!bytes) return names.empty();
    return names.size() == 1 && names[0] == name && ReadBytes(Join(dir, name)) == *bytes;
}

class FaultCase {
  public:
    FaultCase(const Form& form, bool inUse, bool earlierRun, int faultAt)
        : m_form(form),
          m_inUse(inUse),
          m_earlierRun(earlierRun),
          m_faultAt(faultAt),
          m_root(MakeTempDir("faults")),
          m_host(Join(m_root, ".restart-list.ini")),
          m_platform(m_host),
          m_engine(m_platform) {
        m_dir = Join(m_root, "files");
        MakeDir(m_dir);
        m_path = Join(m_dir, form.name);
        WriteBytes(m_path, form.infected);
        if (earlierRun) {
            HeldOpen holder(m_path, true);
            const char* label;
            EXPECT_EQ(ScanFile(m_engine, m_path.c_str(), &label), SCAN_PENDING_RESTART)
                << form.name;
        }
        m_platform.faultable = 0;
        m_platform.faultAt = faultAt;
    }
    int Calls() const { return m_platform.faultable; }

    // Runs the scan, checks what it left and, after the restart, what that left.
    ScanOutcome Run() {
        ScanOutcome outcome;
        {
            HeldOpen holder(m_path, true);
            if (!m_inUse) holder.Release();
            const char* label;
            outcome = ScanFile(m_engine, m_path.c_str(), &label);
            m_platform.faultAt = 0;
        }
        const Bytes* repaired = m_form.repaired.empty() ? nullptr : &m_form.repaired;
        // Before the restart a pending file still stands as it was.
        const Bytes* now =
            outcome == SCAN_DISINFECTED || outcome == SCAN_DELETED ? repaired : &m_form.infected;
        const Bytes* afterRestart = outcome == SCAN_CLEAN_FAILED ? &m_form.infected : repaired;
        // A failed run may have left the earlier run's repair waiting, or taken it back.
        bool earlierRepairMayStand = m_earlierRun && outcome == SCAN_CLEAN_FAILED;
        bool truthful = outcome == SCAN_CLEAN_FAILED || outcome == SCAN_PENDING_RESTART ||
                        (outcome == SCAN_DISINFECTED) == (repaired != nullptr);
        EXPECT_TRUE(truthful) << Where(outcome);
        if (outcome != SCAN_PENDING_RESTART && !earlierRepairMayStand) {
            EXPECT_TRUE(Holds(m_dir, m_form.name, now)) << Where(outcome);
        }
        RestartListRun restart = m_host.RunRestartList();
        EXPECT_TRUE(restart.refused.empty() && !restart.unreadable) << Where(outcome);
        EXPECT_TRUE(Holds(m_dir, m_form.name, afterRestart) ||
                    (earlierRepairMayStand && Holds(m_dir, m_form.name, repaired)))
            << Where(outcome);
        return outcome;
    }

  private:
    std::string Where(ScanOutcome outcome) const {
        return std::string(m_form.name) + (m_inUse ? " in use" : "") +
               (m_earlierRun ? " after an earlier run" : "") + ", call " +
               std::to_string(m_faultAt) + " of " + std::to_string(m_platform.faultable) +
               " failed: outcome " + std::to_string(outcome) +
               ", folder: " + Describe(m_dir, m_form.name);
    }

    const Form& m_form;
    bool m_inUse, m_earlierRun;
    int m_faultAt;
    std::string m_root, m_dir, m_path;
    PosixPlatform m_host;
    FaultPlatform m_platform;
    Engine m_engine;
};

TEST(FaultInjection, NoFailingCallLosesDataOrIsReportedAsSuccess) {
    int cases = 0;
    for (const Form& form : Forms()) {
        for (bool inUse : {false, true}) {
            for (bool earlierRun : {false, true}) {
                FaultCase faultFree(form, inUse, earlierRun, 0);
                EXPECT_NE(faultFree.Run(), SCAN_CLEAN_FAILED) << form.name;
                int calls = faultFree.Calls();
                for (int faultAt = 1; faultAt <= calls; ++faultAt, ++cases) {
                    FaultCase faulty(form, inUse, earlierRun, faultAt);
                    faulty.Run();
                }
            }
        }
    }
    RecordProperty("cases", cases);
    std::printf("%d cases, each with one failing call\n", cases);
    EXPECT_GT(cases, 0) << "no call could be made to fail";
}

}  // namespace
