// A model-based test of whole runs of the program: random sequences of user actions
// (writing infected or clean files, holding them in use, letting them go) and program
// runs (a scan, two scans at once, a restart) are carried out for real, and after every
// step the logs and the files on disk are checked against a model of what the program
// promises. The first failing sequence of each kind is shrunk by dropping steps.
// --image runs the Linux tool on a FAT disk image instead (see MakeImageTarget): no file
// is held there, and its file system is checked after every step as well.
// Sequence i has seed --seed + i; --steps keeps only these steps of each, by their place
// in it. TORVO_MODEL_COUNT and TORVO_MODEL_SEED override --count and --seed.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <sstream>

#include "tests/model/model.h"
#include "tests/support/test_files.h"

using namespace model;

namespace {

struct Problem {
    std::string what;    // the kind of check that failed, short and fixed
    std::string detail;  // what was expected and what was found
};
typedef std::vector<Problem> Problems;

const char kHeader[] = "Detection and Removal tool for Win32.Torvo.A@mm\r\n\r\n";
const char kRestartSentence[] =
    "\r\nThe computer MUST be restarted to complete the disinfection process";
const char kDisinfected[] = "    DISINFECTED";
const char kDeleted[] = "    DELETED";
const char kOpenFailed[] = "    FAILED TO OPEN";

// The result a log line ends with; empty when it is no finding.
std::string ResultOf(const std::string& line) {
    for (std::string result : {kDisinfected, "    DISINFECTION FAILED", kDeleted, kOpenFailed})
        if (line.size() >= result.size() &&
            line.compare(line.size() - result.size(), result.size(), result) == 0)
            return result;
    return "";
}

int Unopened(const std::vector<std::string>& findings) {
    return int(std::count_if(findings.begin(), findings.end(), [](const std::string& line) {
        return ResultOf(line) == kOpenFailed;
    }));
}

// The log the program writes with these findings.
std::string LogText(const std::vector<std::string>& findings, bool asksRestart) {
    std::string text = kHeader;
    for (const std::string& finding : findings) text += finding + "\r\n";
    char totals[128];
    snprintf(totals, sizeof totals, "%-24s%d\r\n%-24s%d\r\n", "Infected files",
             int(findings.size()) - Unopened(findings), "Couldn't open", Unopened(findings));
    return text + totals + (asksRestart ? kRestartSentence : "");
}

std::string Quoted(const std::string& text) {
    std::string quoted = "\n    | ";
    for (char c : text)
        if (c != '\r') quoted += c == '\n' ? std::string("\n    | ") : std::string(1, c);
    return quoted;
}

struct ParsedLog {
    std::vector<std::string> findings;  // "<path>    <RESULT>", as they came
    bool asksRestart = false;
};

// Whether the run ended and left a log of the program's shape (its totals those of its
// lines), with the exit status its lines call for.
bool ReadLog(const RunResult& run, const Target& target, const std::string& which,
             Problems& problems, ParsedLog* log) {
    if (run.status < 0 || run.log.empty()) {
        problems.push_back(
            {"run", which + (run.status < 0 ? " did not end in time"
                                            : " wrote no log; it printed: " + run.output)});
        return false;
    }
    std::istringstream lines(run.log);
    for (std::string line; std::getline(lines, line, '\n');) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!ResultOf(line).empty()) log->findings.push_back(line);
    }
    log->asksRestart = run.log == LogText(log->findings, true);
    if (!log->asksRestart && run.log != LogText(log->findings, false)) {
        problems.push_back({"log", which + " wrote a log of another shape:" + Quoted(run.log)});
        return false;
    }
    int infected = int(log->findings.size()) - Unopened(log->findings);
    int status = target.ExpectedStatus(infected, Unopened(log->findings));
    if (run.status != status)
        problems.push_back({"exit status", which + " ended with status " +
                                               std::to_string(run.status) + ", expected " +
                                               std::to_string(status) + Quoted(run.log)});
    return true;
}

// One scan: its log is the one predicted, but for the order of its findings.
void CheckScan(const Model& before, const RunResult& run, const Target& target,
               Problems& problems) {
    ParsedLog log;
    if (!ReadLog(run, target, "the run", problems, &log)) return;
    std::vector<std::string> expected;
    for (const ModelFile& f : before.files)
        if (f.exists && f.content.Infected())
            expected.push_back(target.LogName(f.name) +
                               (f.content.Deletable() && !f.held ? kDeleted : kDisinfected));
    std::sort(expected.begin(), expected.end());
    std::sort(log.findings.begin(), log.findings.end());
    const std::string predicted = LogText(expected, before.AnyHeldInfected());
    if (LogText(log.findings, log.asksRestart) != predicted)
        problems.push_back({"log", "expected" + Quoted(predicted) + "\n  found" + Quoted(run.log)});
}

std::string WhatTheFileHeld(const Bytes& found, const ModelFile& file) {
    for (auto seen = file.seen.rbegin(); seen != file.seen.rend(); ++seen)
        if (seen->second == found) return seen->first;
    return std::to_string(found.size()) + " bytes of other content";
}

bool ReadIfThere(const std::string& path, Bytes* bytes) {
    if (!testfiles::Exists(path)) return false;
    *bytes = testfiles::ReadBytes(path);
    return true;
}

// A free infected file after two runs at once: its cleaning waits for the restart when
// the disk shows so (the file as it was, the repair beside it), or was done now, which
// CheckDisk then checks.
void LearnFromDisk(Model& model, int file, const std::string& root, const std::string& when) {
    const Content& infected = model.files[file].content;
    const std::string path = root + "/" + model.files[file].name;
    Bytes content, work;
    bool unchanged = ReadIfThere(path, &content) && content == infected.bytes;
    bool hasWork = ReadIfThere(path + ".cln", &work);
    if (unchanged && (infected.Deletable() ? !hasWork : hasWork && work == infected.repaired))
        model.CleanAtRestart(file, when);
    else
        model.CleanNow(file, when);
}

// Two runs started together: each log names only infected files, each at most once;
// a file in use is in both logs, a free one in at least one, and the disk tells
// whether its cleaning was done or waits.
void CheckScanTwice(Model& model, const std::vector<RunResult>& runs, const Target& target,
                    const std::string& when, Problems& problems) {
    model.FinishCutOffRepairs();
    const Model before = model;
    std::map<std::string, int> allowed;  // the lines a log may have, and their files
    for (int file = 0; file < kFileCount; ++file) {
        const ModelFile& f = before.files[file];
        if (!f.exists || !f.content.Infected()) continue;
        allowed[target.LogName(f.name) + kDisinfected] = file;
        if (f.content.Deletable() && !f.held) allowed[target.LogName(f.name) + kDeleted] = file;
    }
    std::vector<int> seen(kFileCount, 0);
    bool anyAsks = false, mustAsk = before.AnyHeldInfected();
    for (size_t run = 0; run < runs.size(); ++run) {
        const std::string which = run == 0 ? "the first run" : "the second run";
        ParsedLog log;
        if (!ReadLog(runs[run], target, which, problems, &log)) return;
        std::vector<int> inThisLog(kFileCount, 0);
        for (const std::string& finding : log.findings) {
            auto line = allowed.find(finding);
            if (line != allowed.end() && inThisLog[line->second]++ == 0)
                ++seen[line->second];
            else
                problems.push_back(
                    {"log", which + " has the line \"" + finding + "\"" + Quoted(runs[run].log)});
        }
        anyAsks = anyAsks || log.asksRestart;
        if (mustAsk != log.asksRestart && (mustAsk || log.findings.empty()))
            problems.push_back({"log", which +
                                           (mustAsk ? " does not ask for the restart"
                                                    : " asks for a restart without any finding") +
                                           Quoted(runs[run].log)});
    }
    bool anyWaits = false;
    for (int file = 0; file < kFileCount; ++file) {
        const ModelFile& f = before.files[file];
        if (!f.exists) continue;
        if (f.content.Infected() && seen[file] < (f.held ? 2 : 1))
            problems.push_back({"log", f.name + " (" + f.content.description + ", " +
                                           (f.held ? "in use" : "free") + ") is in " +
                                           std::to_string(seen[file]) + " of the logs"});
        model.files[file].mayWait.clear();
        model.files[file].mayHaveWorkFile = false;
        if (!f.content.Infected()) {
            model.files[file].pending = Pending::None;
        } else if (f.held) {
            model.CleanAtRestart(file, when);
        } else {
            LearnFromDisk(model, file, target.Root(), when);
            anyWaits = anyWaits || model.files[file].pending != Pending::None;
        }
    }
    if (anyWaits && !anyAsks)
        problems.push_back(
            {"log", "a cleaning waits for the restart, and neither log asks for it"});
}

// Two runs started together where only one at a time may have the root (an image and
// its lock): one of them is the run a lone scan would be; the other was refused at once
// (status 2, saying why, no finding in its log) or, started only once the first had
// ended, found nothing left to clean.
void CheckScanBeside(const Model& before, const std::vector<RunResult>& runs, const Target& target,
                     Problems& problems) {
    const std::string empty = LogText({}, false);
    Problems asFirst;
    for (size_t full = 0; full < runs.size(); ++full) {
        Problems found;
        CheckScan(before, runs[full], target, found);
        const RunResult& other = runs[1 - full];
        bool refused =
            other.status == 2 && other.log == empty &&
            other.output.find("is in use by another run of this tool") != std::string::npos;
        if (!refused && (other.status != 0 || other.log != empty))
            found.push_back({"run", "the run beside it ended with status " +
                                        std::to_string(other.status) + ", its log" +
                                        Quoted(other.log) + "\n  and it printed" +
                                        Quoted(other.output)});
        if (found.empty()) return;
        if (full == 0) asFirst = found;
    }
    problems.insert(problems.end(), asFirst.begin(), asFirst.end());
}

// Whether the file `name` holds `expected`, or is missing when `expected` is null.
void CheckFile(const std::string& root, const std::string& name, const Bytes* expected,
               const ModelFile& f, const char* what, Problems& problems) {
    Bytes found;
    bool exists = ReadIfThere(root + "/" + name, &found);
    if (exists == bool(expected) && (!exists || found == *expected)) return;
    problems.push_back(
        {what, name + " should " +
                   (expected ? "hold " + WhatTheFileHeld(*expected, f) : "be gone") + "; it " +
                   (exists ? "holds " + WhatTheFileHeld(found, f) : "does not exist")});
}

// Each file of the model as the model has it, a work file beside each whose repair
// waits (and, after a cut-off run, perhaps beside others), another program's
// replacement beside the file it waits to replace, and nothing else below the root.
void CheckDisk(const Model& model, const std::string& root, Problems& problems) {
    std::set<std::string> expected = {kFolder};
    for (const ModelFile& f : model.files) {
        const Bytes* work = f.pending == Pending::Repair ? &f.pendingRepair.bytes : nullptr;
        CheckFile(root, f.name, f.exists ? &f.content.bytes : nullptr, f, "file", problems);
        expected.insert({f.name, f.name + ".cln"});
        if (f.mayWait.empty() && !f.mayHaveWorkFile) {
            CheckFile(root, f.name + ".cln", work, f, "work file", problems);
            continue;
        }
        // A cut-off run may have left a work file, or one of the host inside it.
        for (std::string name = f.name + ".cln"; name.size() < f.name.size() + 48; name += ".cln")
            expected.insert(name);
    }
    for (const Install& install : model.installs) {
        const ModelFile& f = model.files[size_t(install.file)];
        if (install.deletes) continue;
        CheckFile(root, f.name + ".new", &install.replacement.bytes, f, "installer's file",
                  problems);
        expected.insert(f.name + ".new");
    }
    std::vector<std::string> names = testfiles::ListDir(root);
    for (const std::string& name : testfiles::ListDir(root + "/" + kFolder))
        names.push_back(std::string(kFolder) + "/" + name);
    for (const std::string& name : names)
        if (!expected.count(name)) problems.push_back({"stray file", name});
    if (!testfiles::Exists(root + "/" + kFolder))
        problems.push_back({"folder", std::string(kFolder) + " is gone"});
}

// Other programs' entries stay on the restart list, each as it was and in its place,
// whatever the program's runs do.
void CheckInstalls(const Model& model, Target& target, Problems& problems) {
    if (model.installs.empty()) return;
    std::vector<std::string> entries = target.RestartListEntries();
    auto at = entries.begin();
    for (const Install& install : model.installs)
        for (const std::string& entry : install.entries) {
            at = std::find(at, entries.end(), entry);
            if (at == entries.end()) {
                problems.push_back({"other program's entry", "\"" + entry + "\" is gone"});
                return;
            }
        }
}

bool HasWorkFiles(const std::string& path) {
    for (std::string work = path + ".cln"; work.size() < path.size() + 48; work += ".cln")
        if (testfiles::Exists(work)) return true;
    return false;
}

// A run was killed: each file is as the run left it or as it found it, and what the
// disk does not show (whether work waits on the restart list: what an earlier run left,
// or what the killed run put there) stays open until the next run or the restart. A
// repair waits only with its work file whole beside it (a work file goes before its
// entry does); a deletion leaves no trace on the disk.
void LearnAfterCut(Model& model, const std::string& root, const std::string& when) {
    int cutAt = ++model.clock;
    for (int file = 0; file < kFileCount; ++file) {
        ModelFile& f = model.files[file];
        const std::string path = root + "/" + f.name;
        Bytes found, work;
        bool there = ReadIfThere(path, &found), hasWork = ReadIfThere(path + ".cln", &work);
        f.mayHaveWorkFile = HasWorkFiles(path);
        if (!f.exists) {  // a repair recorded, its file deleted: it may be in place now
            if (f.pending == Pending::Repair && there) {
                f.exists = true;
                f.content = f.pendingRepair;
                f.pending = Pending::None;
            }
            continue;
        }
        bool unchanged = there && found == f.content.bytes;
        if (f.content.Infected() && !unchanged) {
            bool waitsBeside = !there && !f.content.Deletable();
            model.CleanNow(file, when);
            if (waitsBeside) {  // deleted, its repair recorded beside it
                f.exists = false;
                f.pending = Pending::Repair;
                f.pendingRepair = f.content;
                f.pendingSince = cutAt;
            }
            continue;
        }
        // What waited before (or may have, after an earlier cut) may wait still.
        std::vector<Work> before = f.mayWait, mayWait;
        bool wasKnown = before.empty();
        if (wasKnown && f.pending != Pending::None)
            before.push_back({f.pending, f.pendingRepair, f.pendingSince});
        auto whole = [&](const Content& repair) { return hasWork && work == repair.bytes; };
        for (const Work& earlier : before)
            if (earlier.kind == Pending::Delete || whole(earlier.repair))
                mayWait.push_back(earlier);
        Content repair = {FormKind::Text,
                          f.content.repaired,
                          {},
                          "repair of the " + f.content.description + " begun " + when};
        if (f.content.Infected() && !f.content.Deletable() && whole(repair))
            mayWait.push_back({Pending::Repair, repair, cutAt});
        if (f.content.Infected() && f.content.Deletable() && f.held)
            mayWait.push_back({Pending::Delete, repair, cutAt});
        f.pending = Pending::None;
        // A clean file's waiting repair is taken back work file first: it is still there.
        if (!f.content.Infected() && wasKnown && mayWait.size() == 1 &&
            mayWait[0].kind == Pending::Repair) {
            f.pending = Pending::Repair;
            mayWait.clear();
        }
        f.mayWait = mayWait;
        for (const Work& maybe : mayWait)
            if (maybe.kind == Pending::Repair)
                f.seen.emplace_back("the " + maybe.repair.description, maybe.repair.bytes);
    }
}

// The restart: each file in one of the states the model allows it.
void LearnRestart(Model& model, const std::string& root) {
    std::vector<FileState> found;
    for (int file = 0; file < kFileCount; ++file) {
        std::vector<FileState> states = model.AfterRestart(file);
        Bytes bytes;
        bool there = ReadIfThere(root + "/" + model.files[size_t(file)].name, &bytes);
        auto same = std::find_if(states.begin(), states.end(), [&](const FileState& state) {
            return state.exists == there && (!there || state.content.bytes == bytes);
        });
        found.push_back(same == states.end() ? states.front() : *same);
    }
    model.Restarted(found);
}

struct Outcome {
    std::vector<Step> taken;  // the steps carried out, up to the failing one
    Problems problems;

    bool Failed() const { return !problems.empty(); }
    // The failing action and the kinds of its problems: shrinking keeps it.
    std::string Kind() const {
        std::set<std::string> whats;
        for (const Problem& problem : problems) whats.insert(problem.what);
        std::string kind = std::string(ActionName(taken.back().action)) + ":";
        for (const std::string& what : whats) kind += (kind.back() == ':' ? " " : ", ") + what;
        return kind;
    }
};

void TakeStep(const Step& step, Model& model, Target& target, Problems& problems) {
    const std::string when = "at step " + std::to_string(step.index);
    const std::string name = kFileNames[step.file];
    const Action action = step.action;
    if (action == Action::Infect || action == Action::Replace)
        target.WriteFile(name, MakeContent(step).bytes);
    if (action == Action::Hold) target.Hold(name);
    if (action == Action::Release) target.Release(name);
    if (action == Action::Scan)
        CheckScan(model, target.Scan({step.jobs[0]}).front(), target, problems);
    if (action == Action::Scan2 && target.OneRunAtATime())
        CheckScanBeside(model, target.Scan({step.jobs[0], step.jobs[1]}), target, problems);
    if (action == Action::Install) {
        if (!step.deletes) target.WriteFile(name + ".new", ReplacementOf(step).bytes);
        target.Schedule(name, step.deletes);
        std::vector<std::string> after = target.RestartListEntries();
        model.Take(step, when);
        // The other program's entry, which the list holds last.
        if (!after.empty())
            model.installs.back().entries.push_back(after.back());
        else
            problems.push_back({"install", "the other program's entry did not reach the list"});
        return;
    }
    if (action == Action::Restart) {
        if (target.RestartRunsTheProgramFirst()) model.FinishCutOffRepairs();
        std::string failure = target.Restart();
        if (!failure.empty()) problems.push_back({"restart list", failure});
        LearnRestart(model, target.Root());
        return;
    }
    if (action == Action::CutOff) {
        target.CutOffScan(step.cutAt);
        LearnAfterCut(model, target.Root(), when);
        return;
    }
    // After two runs at once, what was done and what waits depends on how they met.
    if (action == Action::Scan2 && !target.OneRunAtATime())
        CheckScanTwice(model, target.Scan({step.jobs[0], step.jobs[1]}), target, when, problems);
    else
        model.Take(step, when);
}

// Carries the steps of sequence `seed` out from an empty root, checking after each one,
// up to the first failure; a step that cannot be taken in the state reached is left out.
Outcome RunSequence(uint32_t seed, const std::vector<Step>& steps, Target& target) {
    target.Reset(seed);
    Model model;
    model.canHold = target.CanHold();
    Outcome outcome;
    for (const Step& step : steps) {
        if (!model.Applicable(step)) continue;
        outcome.taken.push_back(step);
        TakeStep(step, model, target, outcome.problems);
        CheckDisk(model, target.Root(), outcome.problems);
        std::string volume = target.VolumeProblems();
        if (!volume.empty()) outcome.problems.push_back({"image", volume});
        if (step.action == Action::Scan || step.action == Action::Scan2 ||
            step.action == Action::CutOff)
            CheckInstalls(model, target, outcome.problems);
        if (outcome.Failed()) break;
    }
    return outcome;
}

// Drops steps one at a time while the sequence still fails the same way, within
// `budget` replays.
Outcome Shrink(uint32_t seed, Outcome best, Target& target, int budget) {
    const std::string kind = best.Kind();
    for (bool dropped = true; dropped && budget > 0;) {
        dropped = false;
        for (size_t step = 0; step < best.taken.size() && budget-- > 0;) {
            std::vector<Step> steps = best.taken;
            steps.erase(steps.begin() + step);
            Outcome candidate = RunSequence(seed, steps, target);
            bool same = candidate.Failed() && candidate.Kind() == kind;
            if (same) best = candidate;
            dropped = dropped || same;
            step += same ? 0 : 1;
        }
    }
    return best;
}

struct Options {
    uint32_t seed = 0x7021C1EA;
    int count = 100;
    std::set<int> steps;  // empty: all of them
    WineSetup target;     // no family: the Linux tool
    int imageFat = -1;    // the Linux tool on images: FAT16, FAT32 or (0) either
    std::string replay;   // this test as it was started, less the options of the sequences

    bool Native() const { return target.family.empty(); }
};

void ShrinkAndPrint(uint32_t seed, const Outcome& failing, const Options& options, Target& target) {
    Outcome minimal = Shrink(seed, failing, target, options.Native() ? 150 : 20);
    printf("\nSHRUNK: seed %u, \"%s\", to %zu steps:\n", seed, failing.Kind().c_str(),
           minimal.taken.size());
    std::string list;
    for (const Step& step : minimal.taken) {
        printf("    %2d. %s\n", step.index, Describe(step, options.Native()).c_str());
        list += (list.empty() ? "" : ",") + std::to_string(step.index);
    }
    printf("  fails at step %d:\n", minimal.taken.back().index);
    for (const Problem& problem : minimal.problems)
        printf("    %s: %s\n", problem.what.c_str(), problem.detail.c_str());
    printf("  again: %s --seed %u --count 1 --steps %s %s\n\n", options.replay.c_str(), seed,
           list.c_str(), options.target.program.c_str());
    fflush(stdout);
}

int Run(const Options& options, Target& target) {
    const auto start = std::chrono::steady_clock::now();
    int steps = 0, failed = 0;
    std::set<std::string> shrunk;  // the kinds of failure shrunk so far
    for (int i = 0; i < options.count; ++i) {
        uint32_t seed = options.seed + uint32_t(i);
        std::vector<Step> sequence;
        for (const Step& step : DrawSequence(seed, target.CanHold()))
            if (options.steps.empty() || options.steps.count(step.index)) sequence.push_back(step);
        Outcome outcome = RunSequence(seed, sequence, target);
        steps += int(outcome.taken.size());
        if (!outcome.Failed()) continue;
        ++failed;
        printf("FAIL: sequence %d (seed %u): %s at step %d\n", i, seed, outcome.Kind().c_str(),
               outcome.taken.back().index);
        fflush(stdout);
        if (shrunk.size() < (options.Native() ? 10u : 3u) && shrunk.insert(outcome.Kind()).second)
            ShrinkAndPrint(seed, outcome, options, target);
    }
    std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - start;
    printf("\nmodel_test: %d sequences, %d steps in %.0f s; %d failed\n", options.count, steps,
           seconds.count(), failed);
    return failed ? 1 : 0;
}

[[noreturn]] void Usage() {
    fputs(
        "usage: model_test [--count N] [--seed N] [--steps I,J,...] [--image 16|32|any]\n"
        "                  TORVOCLEAN\n"
        "       model_test [...] --wine nt|win98 --wine-run tests/wine/wine-run\n"
        "                  --e2etool e2etool.exe --prefixes FOLDER TorvoClean.exe\n",
        stderr);
    exit(2);
}

long Number(const std::string& text) {
    char* end;
    long value = strtol(text.c_str(), &end, 0);
    if (text.empty() || *end || value < 0) Usage();
    return value;
}

// Every option has a value: "--count 10".
Options ParseOptions(int argc, char** argv) {
    Options options;
    WineSetup& wine = options.target;
    std::map<std::string, std::string*> wineOptions = {{"--wine", &wine.family},
                                                       {"--wine-run", &wine.wineRun},
                                                       {"--e2etool", &wine.e2etool},
                                                       {"--prefixes", &wine.prefixes}};
    options.replay = argv[0];
    int i = 1;
    for (; i + 2 < argc && !strncmp(argv[i], "--", 2); i += 2) {
        const std::string option = argv[i], value = argv[i + 1];
        if (option == "--count") {
            options.count = int(Number(value));
        } else if (option == "--seed") {
            options.seed = uint32_t(Number(value));
        } else if (option == "--steps") {
            std::istringstream items(value);
            for (std::string item; std::getline(items, item, ',');)
                options.steps.insert(int(Number(item)));
        } else if (option == "--image") {
            options.imageFat = value == "any" ? 0 : int(Number(value));
            if (options.imageFat != 0 && options.imageFat != 16 && options.imageFat != 32) Usage();
            options.replay += " " + option + " " + value;
        } else if (wineOptions.count(option)) {
            *wineOptions[option] = value;
            options.replay += " " + option + " " + value;
        } else {
            Usage();
        }
    }
    if (i + 1 != argc || (!options.Native() && (wine.wineRun.empty() || wine.e2etool.empty() ||
                                                wine.prefixes.empty() || options.imageFat >= 0)))
        Usage();
    wine.program = argv[i];
    if (const char* count = getenv("TORVO_MODEL_COUNT")) options.count = int(Number(count));
    if (const char* seed = getenv("TORVO_MODEL_SEED")) options.seed = uint32_t(Number(seed));
    return options;
}

}  // namespace

int main(int argc, char** argv) {
    Options options = ParseOptions(argc, argv);
    try {
        std::unique_ptr<Target> target =
            !options.Native()       ? MakeWineTarget(options.target)
            : options.imageFat >= 0 ? MakeImageTarget(options.target.program, options.imageFat)
                                    : MakeNativeTarget(options.target.program);
        if (!target) {
            puts("SKIP: mkfs.fat, fsck.fat or mtools is missing (dosfstools, mtools)");
            return 77;
        }
        return Run(options, *target);
    } catch (const std::exception& error) {
        fprintf(stderr, "model_test: %s\n", error.what());
        return 2;
    }
}
