// A run cut off at any moment, by a kill or a power cut, loses nothing. A run over one
// file is recorded call by call (tests/faults/fs_trace.h), and for every point it could
// have been cut off at, every state a power cut could leave there (under the model
// stated in fs_trace.h; a kill leaves the one where every call reached the disk) is put
// on the disk, and what follows is carried out: after a power cut the restart, the next
// run and the restart again; after a kill the next run (the file held as before) and
// the restart. Each must end with the file repaired (or, for the forms deleted whole,
// gone), no work file, nothing left on the restart list, and every line of the next
// run's log true. Or, when the user writes a file of their own under its name before
// the next run, with that file as they wrote it. The same for the restart itself, cut
// off while it carries the list out. Every form, free and in use, also after an earlier run left
// its repair waiting, and after a run cut off with the file deleted and its repair recorded.
#include <ftw.h>
#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <stdexcept>

#include "app/common/batch.h"
#include "engine/restart_ops.h"
#include "platform/posix/posix_platform.h"
#include "tests/faults/forms.h"
#include "tests/faults/fs_trace.h"
#include "tests/support/test_files.h"

namespace {

using namespace testfiles;
using samples::Bytes;

// States drawn for each point a run could be cut off at, where there are more.
const size_t kStatesPerCut = 48;
const int kReportedFailures = 5;

const char kRestartSentence[] = "The computer MUST be restarted";

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) {
    return remove(path);
}

std::string Text(const Bytes& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

// What the run meets besides the infected file.
enum Before {
    NOTHING,
    EARLIER_RUN,  // a run that found it in use left its repair for the restart
    CUT_OFF_RUN,  // a run was cut off between the deletion and the rename
};

class CrashCase {
  public:
    CrashCase(const Form& form, bool inUse, Before before)
        : m_form(form), m_inUse(inUse), m_before(before) {
        m_log = MakeTempDir("crash-log") + "/run.log";
        m_root = MakeTempDir("crash");  // the restart list lies in it
        m_host.reset(new PosixPlatform(m_root + "/.restart-list.ini"));
        m_dir = m_root + "/files";
        m_path = m_dir + "/" + form.name;
        MakeDir(m_dir);
    }
    ~CrashCase() {
        nftw(m_root.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
        nftw(m_log.substr(0, m_log.rfind('/')).c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
    }

    // Records the run, and the restart after it when it left work for the restart, and
    // checks every state a cut could leave in them. Returns the number of states.
    int Explore() {
        WriteBytes(m_path, m_form.infected);
        if (m_before == EARLIER_RUN) RunOnce(true);
        if (m_before == CUT_OFF_RUN) {
            WriteBytes(m_path + ".cln", m_form.repaired);
            Engine engine(*m_host);
            RecordRepair(engine, WorkFileEntry(engine, m_path.c_str()),
                         RepairEntry(engine, m_path.c_str()));
            remove(m_path.c_str());
        }
        fstrace::Start(m_root);
        RunOnce(m_inUse);
        fstrace::Recording run = fstrace::Stop();
        if (getenv("TORVO_CRASH_TRACE"))
            for (const fstrace::Op& op : run.ops) printf("  %s\n", fstrace::Describe(op).c_str());
        fstrace::Files after = fstrace::ReadTree(m_root);
        int states = ExploreCuts(run, "the run", true);
        if (!m_inUse) return states;
        fstrace::WriteTree(m_root, after);
        fstrace::Start(m_root);
        CarryOut();
        return states + ExploreCuts(fstrace::Stop(), "the restart", false);
    }

  private:
    int ExploreCuts(const fstrace::Recording& recording, const std::string& what, bool holds) {
        int states = 0;
        for (size_t cut = 0; cut <= recording.ops.size(); ++cut) {
            std::vector<fstrace::Files> crashes =
                fstrace::CrashStates(recording, cut, kStatesPerCut, uint32_t(cut));
            for (size_t i = 0; i < crashes.size(); ++i, ++states) {
                std::string where =
                    what + " cut off before call " + std::to_string(cut + 1) + " of " +
                    std::to_string(recording.ops.size()) +
                    (cut < recording.ops.size() ? " (" + fstrace::Describe(recording.ops[cut]) + ")"
                                                : std::string());
                for (bool replaced : {false, true}) {
                    std::string how = replaced ? ", and the file replaced by the user" : "";
                    Check(crashes[i], where + ", power cut" + how, false, replaced);
                    // The first state is the one where every call reached the disk.
                    bool held = holds && m_inUse;
                    if (i == 0 && !(held && replaced))
                        Check(crashes[i], where + ", killed" + how, held, replaced);
                }
            }
        }
        return states;
    }

    // After a power cut the restart comes first; after a kill the next run does, with
    // the file still held by whoever held it. `replaced`: the user writes a file of
    // their own under the file's name before the next run.
    void Check(const fstrace::Files& state, const std::string& where, bool held, bool replaced) {
        fstrace::WriteTree(m_root, state);
        bool powerCut = !held;
        if (powerCut) CarryOut();
        if (replaced) WriteBytes(m_path, m_usersFile);
        std::string log = RunOnce(held);
        std::string untrue = UntrueLines(log, replaced);
        CarryOut();
        std::string problems = untrue + WhatIsWrongAtTheEnd(replaced);
        if (problems.empty()) return;
        if (++m_failures <= kReportedFailures)
            ADD_FAILURE() << Name() << ": " << where << ":\n"
                          << problems << "  the state was:\n"
                          << Describe(state) << "  the log:\n"
                          << log;
    }

    // One run of the batch walk over the folder, with a log, as a new process makes it;
    // `held`: while another program holds the file, in use.
    std::string RunOnce(bool held) {
        std::unique_ptr<HeldOpen> holder;
        if (held && Exists(m_path)) holder.reset(new HeldOpen(m_path, true));
        g_nInfected = g_nUnopened = 0;
        g_bRestartNeeded = g_bLogFailed = false;
        std::string folder = m_dir;
        Engine engine(*m_host);
        BatchRun run(engine);
        RunBatch(run, &folder[0], m_log.c_str());
        return Text(ReadBytes(m_log));
    }

    // A line about the file must be true just after the run: repaired or deleted, or
    // waiting for the restart that the log asks for. A line about a work file left by
    // the cut-off run (a copy that was itself infected) tells of that copy's cleaning.
    std::string UntrueLines(const std::string& log, bool replaced) const {
        std::string problems;
        bool asksRestart = log.find(kRestartSentence) != std::string::npos;
        std::istringstream lines(log);
        for (std::string line; std::getline(lines, line);) {
            size_t gap = line.find("    ");
            if (gap == std::string::npos || line.compare(0, m_dir.size(), m_dir) != 0) continue;
            std::string path = line.substr(0, gap), result = line.substr(gap + 4);
            if (!result.empty() && result.back() == '\r') result.pop_back();
            bool aboutWorkFile = path.compare(0, m_path.size() + 4, m_path + ".cln") == 0;
            bool done = result == "DISINFECTED" ? IsRepaired()
                        : result == "DELETED"   ? !Exists(m_path)
                                                : false;
            if ((path != m_path || replaced) &&
                !(aboutWorkFile && (result == "DISINFECTED" || result == "DELETED")))
                problems += "  the log has \"" + line + "\"\n";
            else if (path == m_path && !done && !asksRestart)
                problems += "  the log says \"" + result + "\", which is not so\n";
        }
        return problems;
    }

    bool IsRepaired() const { return Exists(m_path) && ReadBytes(m_path) == m_form.repaired; }

    std::string WhatIsWrongAtTheEnd(bool replaced) const {
        std::string problems;
        std::vector<std::string> names = ListDir(m_dir);
        bool deleted = m_form.repaired.empty() && !replaced;
        const Bytes& expected = replaced ? m_usersFile : m_form.repaired;
        bool right = deleted ? names.empty()
                             : names == std::vector<std::string>{m_form.name} &&
                                   ReadBytes(m_path) == expected;
        if (!right)
            problems += std::string("  at the end the file is not ") +
                        (deleted    ? "gone"
                         : replaced ? "the user's"
                                    : "repaired") +
                        " (or something else is there)\n";
        std::vector<RestartEntry> entries;
        if (!m_host->ReadRestartList(&entries) || !entries.empty())
            problems += "  at the end the restart list is not empty\n";
        if (!problems.empty()) problems += "  at the end:\n" + Describe(fstrace::ReadTree(m_root));
        return problems;
    }

    std::string Describe(const fstrace::Files& files) const {
        std::string text;
        for (const auto& file : files) {
            const std::string& content = file.second;
            std::string what = content == Text(m_form.infected) ? "the infected file"
                               : content == Text(m_form.repaired)
                                   ? "the repaired file"
                                   : std::to_string(content.size()) + " bytes";
            if (file.first.find("restart-list") != std::string::npos) what = Quoted(content);
            text += "    " + file.first.substr(m_root.size() + 1) + ": " + what + "\n";
        }
        return text;
    }

    static std::string Quoted(const std::string& text) {
        std::string quoted;
        for (char c : text)
            if (c != '\r') quoted += c == '\n' ? std::string(" | ") : std::string(1, c);
        return quoted;
    }

    std::string Name() const {
        const char* const befores[] = {"", " after an earlier run", " after a cut-off run"};
        return std::string(m_form.name) + (m_inUse ? " in use" : " free") + befores[m_before];
    }

    void CarryOut() {
        RestartListRun restart = m_host->RunRestartList();
        if (!restart.refused.empty() || restart.unreadable)
            throw std::runtime_error("restart list refused");
    }

    std::unique_ptr<PosixPlatform> m_host;
    const Form& m_form;
    const Bytes m_usersFile = samples::TextFile(700, 7);
    bool m_inUse;
    Before m_before;
    std::string m_root, m_dir, m_path, m_log;
    int m_failures = 0;
};

TEST(CrashStates, NoCutLosesAFileOrLeavesWorkBehind) {
    int states = 0;
    for (const Form& form : Forms()) {
        for (bool inUse : {false, true})
            for (Before before : {NOTHING, EARLIER_RUN})
                states += CrashCase(form, inUse, before).Explore();
        if (!form.repaired.empty()) states += CrashCase(form, false, CUT_OFF_RUN).Explore();
    }
    RecordProperty("states", states);
    std::printf("%d crash states explored\n", states);
    EXPECT_GT(states, 0);
}

}  // namespace
