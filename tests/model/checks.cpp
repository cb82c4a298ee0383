#include "tests/model/checks.h"

#include <algorithm>
#include <cstdio>
#include <set>

#include "tests/model/process.h"

namespace model {
namespace {

const char kHeader[] = "Detection and Removal tool for Win32.Torvo.A@mm\r\n\r\n";
const char kRestartSentence[] =
    "\r\nThe computer MUST be restarted to complete the disinfection process";
const char kDisinfected[] = "    DISINFECTED";
const char kCleanFailed[] = "    DISINFECTION FAILED";
const char kDeleted[] = "    DELETED";
const char kOpenFailed[] = "    FAILED TO OPEN";

bool EndsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
}

bool IsOpenFailure(const std::string& finding) {
    return EndsWith(finding, kOpenFailed);
}

bool IsResult(const std::string& rest) {
    return rest == kDisinfected || rest == kCleanFailed || rest == kDeleted || rest == kOpenFailed;
}

bool IsFinding(const std::string& line) {
    return EndsWith(line, kDisinfected) || EndsWith(line, kCleanFailed) ||
           EndsWith(line, kDeleted) || IsOpenFailure(line);
}

std::string TotalLine(const char* label, int count) {
    char line[64];
    snprintf(line, sizeof line, "%-24s%d", label, count);
    return line;
}

// Reads the line that begins at `*at`; false when it has no line end.
bool NextLine(const std::string& text, size_t* at, std::string* line) {
    size_t end = text.find("\r\n", *at);
    if (end == std::string::npos) return false;
    *line = text.substr(*at, end - *at);
    *at = end + 2;
    return true;
}

bool ReadTotal(const std::string& line, const char* label, int* count) {
    std::string prefix = TotalLine(label, 0);
    prefix.pop_back();
    if (line.compare(0, prefix.size(), prefix) != 0) return false;
    *count = atoi(line.c_str() + prefix.size());
    return line == TotalLine(label, *count);
}

int InfectedLines(const std::vector<std::string>& findings) {
    return int(std::count_if(findings.begin(), findings.end(),
                             [](const std::string& f) { return !IsOpenFailure(f); }));
}

int UnopenedLines(const std::vector<std::string>& findings) {
    return int(std::count_if(findings.begin(), findings.end(), IsOpenFailure));
}

std::string Listed(std::vector<std::string> lines) {
    std::sort(lines.begin(), lines.end());
    std::string text;
    for (const std::string& line : lines) text += "\n      " + line;
    return lines.empty() ? "\n      (none)" : text;
}

std::string Quoted(const std::string& log) {
    std::string text;
    for (char c : log) {
        if (c == '\r') continue;
        text += c == '\n' ? std::string("\n    | ") : std::string(1, c);
    }
    return "\n    | " + text;
}

// Whether the run ended and left a log of the right shape whose totals and exit status
// agree with its own lines; the parsed log in `log`.
bool CheckRun(const RunResult& run, const Target& target, const std::string& which,
              Problems& problems, ParsedLog* log) {
    if (!run.ended) {
        problems.push_back({"run did not end", which + " did not end in time"});
        return false;
    }
    if (!run.hasLog) {
        problems.push_back({"no log", which + " wrote no log; it printed: " + run.output});
        return false;
    }
    *log = ParseLog(run.log);
    if (!log->error.empty()) {
        problems.push_back({"log malformed", which + ": " + log->error + Quoted(run.log)});
        return false;
    }
    int infected = InfectedLines(log->findings), unopened = UnopenedLines(log->findings);
    if (log->infected != infected || log->unopened != unopened)
        problems.push_back({"log totals", which + " gives totals " + std::to_string(log->infected) +
                                              " and " + std::to_string(log->unopened) +
                                              " for its lines" + Quoted(run.log)});
    int status = target.ExpectedStatus(infected, unopened);
    if (run.status != status)
        problems.push_back({"exit status", which + " ended with status " +
                                               std::to_string(run.status) + ", expected " +
                                               std::to_string(status) + Quoted(run.log)});
    return true;
}

std::string ExpectedFinding(const ModelFile& file, const Target& target) {
    bool deletedNow = file.content.deletable && !file.held;
    return target.LogName(file.name) + (deletedNow ? kDeleted : kDisinfected);
}

std::vector<std::string> PredictFindings(const Model& model, const Target& target) {
    std::vector<std::string> findings;
    for (int file = 0; file < kFileCount; ++file) {
        const ModelFile& f = model.File(file);
        if (f.exists && f.content.infected) findings.push_back(ExpectedFinding(f, target));
    }
    return findings;
}

std::string WhatTheFileHeld(const Bytes& found, const ModelFile& file) {
    for (auto seen = file.seen.rbegin(); seen != file.seen.rend(); ++seen)
        if (seen->second == found) return seen->first;
    return std::to_string(found.size()) + " bytes of other content";
}

std::string ExpectedContent(const ModelFile& file) {
    return WhatTheFileHeld(file.content.bytes, file);
}

// --- Two runs at once ------------------------------------------------------------------

// The file of the model a finding names, or -1.
int FileOfFinding(const std::string& finding, const Target& target) {
    for (int file = 0; file < kFileCount; ++file) {
        std::string name = target.LogName(kFileNames[file]);
        if (finding.compare(0, name.size(), name) == 0 && IsResult(finding.substr(name.size())))
            return file;
    }
    return -1;
}

bool AllowedInScanTwice(const ModelFile& file, const std::string& result) {
    if (!file.exists || !file.content.infected) return false;
    if (result == kDisinfected) return true;
    return result == kDeleted && file.content.deletable && !file.held;
}

// The lines of one of the two logs: only infected files, each at most once, each with
// what cleaning it may have given. Counts in `seen` which files it names.
void CheckTwiceFindings(const Model& before, const ParsedLog& log, const Target& target,
                        const std::string& which, std::vector<int>& seen, Problems& problems) {
    std::vector<int> inThisLog(kFileCount, 0);
    for (const std::string& finding : log.findings) {
        int file = FileOfFinding(finding, target);
        std::string result =
            file < 0 ? "" : finding.substr(target.LogName(kFileNames[file]).size());
        if (file < 0 || !AllowedInScanTwice(before.File(file), result) || inThisLog[file]++) {
            problems.push_back({"log findings", which + " has the line \"" + finding +
                                                    "\"; expected lines among" +
                                                    Listed(PredictFindings(before, target))});
            continue;
        }
        ++seen[file];
    }
}

// A free infected file after both runs: cleaned now, or waiting for the restart.
void LearnFromDisk(Model& model, int file, const std::string& root, const std::string& when,
                   Problems& problems) {
    const ModelFile& f = model.File(file);
    Bytes content, work;
    bool exists = ReadFile(root + "/" + f.name, &content);
    bool hasWork = ReadFile(root + "/" + f.name + ".cln", &work);
    bool unchanged = exists && content == f.content.bytes;
    bool done = f.content.deletable ? !exists : exists && content == f.content.repaired && !hasWork;
    bool waits =
        unchanged && (f.content.deletable ? !hasWork : hasWork && work == f.content.repaired);
    if (done) {
        model.CleanNow(file, when);
    } else if (waits) {
        model.CleanAtRestart(file, when);
    } else {
        problems.push_back(
            {"neither cleaned nor waiting",
             f.name + " (" + f.content.description + ") after two runs: the file holds " +
                 (exists ? WhatTheFileHeld(content, f) : std::string("nothing (it is gone)")) +
                 ", its work file " +
                 (hasWork ? WhatTheFileHeld(work, f) : std::string("does not exist"))});
        model.CleanNow(file, when);
    }
}

}  // namespace

ParsedLog ParseLog(const std::string& text) {
    ParsedLog log;
    if (text.compare(0, sizeof kHeader - 1, kHeader) != 0) {
        log.error = "it does not begin with the header and an empty line";
        return log;
    }
    size_t at = sizeof kHeader - 1;
    std::string line;
    while (NextLine(text, &at, &line) && IsFinding(line)) log.findings.push_back(line);
    std::string unopenedLine;
    if (!ReadTotal(line, "Infected files", &log.infected) || !NextLine(text, &at, &unopenedLine) ||
        !ReadTotal(unopenedLine, "Couldn't open", &log.unopened)) {
        log.error = "a line that is neither a finding nor the totals: \"" + line + "\"";
        return log;
    }
    std::string rest = text.substr(at);
    log.asksRestart = rest == kRestartSentence;
    if (!rest.empty() && !log.asksRestart)
        log.error =
            "after the totals comes \"" + rest + "\" instead of the restart sentence or nothing";
    return log;
}

void CheckScan(const Model& before, const RunResult& run, const Target& target,
               Problems& problems) {
    ParsedLog log;
    if (!CheckRun(run, target, "the run", problems, &log)) return;
    std::vector<std::string> expected = PredictFindings(before, target), found = log.findings;
    std::sort(expected.begin(), expected.end());
    std::sort(found.begin(), found.end());
    if (found != expected)
        problems.push_back(
            {"log findings", "expected" + Listed(expected) + "\n    found" + Listed(found)});
    bool asks = before.AnyHeldInfected();
    if (log.asksRestart != asks)
        problems.push_back({"log restart sentence",
                            std::string(asks ? "the sentence is missing: an infected file in use "
                                               "was found"
                                             : "the log asks for a restart: no file in use "
                                               "was infected") +
                                Quoted(run.log)});
}

void CheckScanTwice(Model& model, const std::vector<RunResult>& runs, const Target& target,
                    const std::string& when, Problems& problems) {
    const Model before = model;
    std::vector<int> seen(kFileCount, 0);
    bool anyAsks = false;
    for (size_t run = 0; run < runs.size(); ++run) {
        const std::string which = run == 0 ? "the first run" : "the second run";
        ParsedLog log;
        if (!CheckRun(runs[run], target, which, problems, &log)) return;
        CheckTwiceFindings(before, log, target, which, seen, problems);
        anyAsks = anyAsks || log.asksRestart;
        bool mustAsk = before.AnyHeldInfected();
        if (mustAsk != log.asksRestart && (mustAsk || log.findings.empty()))
            problems.push_back(
                {"log restart sentence", which +
                                             (mustAsk ? " does not ask for the restart"
                                                      : " asks for a restart without any finding") +
                                             Quoted(runs[run].log)});
    }
    bool anyWaits = false;
    for (int file = 0; file < kFileCount; ++file) {
        const ModelFile& f = before.File(file);
        if (!f.exists) continue;
        if (f.content.infected && seen[file] < (f.held ? 2 : 1))
            problems.push_back({"log findings", f.name + " (" + f.content.description + ", " +
                                                    (f.held ? "in use" : "free") + ") is in " +
                                                    std::to_string(seen[file]) + " of the logs"});
        if (!f.content.infected) {
            model.TakeBack(file);
        } else if (f.held) {
            model.CleanAtRestart(file, when);
        } else {
            LearnFromDisk(model, file, target.Root(), when, problems);
            anyWaits = anyWaits || model.File(file).pending != Pending::None;
        }
    }
    if (anyWaits && !anyAsks)
        problems.push_back({"log restart sentence",
                            "a cleaning waits for the restart, and neither log asks for it"});
}

void CheckDisk(const Model& model, const std::string& root, Problems& problems) {
    std::set<std::string> expected = {std::string(kFolder) + "/"};
    for (int file = 0; file < kFileCount; ++file) {
        const ModelFile& f = model.File(file);
        Bytes found;
        bool exists = ReadFile(root + "/" + f.name, &found);
        expected.insert(f.name);
        if (f.exists && !exists)
            problems.push_back({"file missing", f.name + " should hold " + ExpectedContent(f) +
                                                    "; it does not exist"});
        else if (!f.exists && exists)
            problems.push_back({"file not deleted",
                                f.name + " should be gone; it holds " + WhatTheFileHeld(found, f)});
        else if (exists && found != f.content.bytes)
            problems.push_back({"file content", f.name + " should hold " + ExpectedContent(f) +
                                                    "; it holds " + WhatTheFileHeld(found, f)});
        if (f.pending != Pending::Repair) continue;
        expected.insert(f.name + ".cln");
        Bytes work;
        if (!ReadFile(root + "/" + f.name + ".cln", &work))
            problems.push_back({"work file missing", f.name + ".cln should hold " +
                                                         WhatTheFileHeld(f.pendingBytes, f) +
                                                         "; it does not exist"});
        else if (work != f.pendingBytes)
            problems.push_back({"work file content", f.name + ".cln should hold " +
                                                         WhatTheFileHeld(f.pendingBytes, f) +
                                                         "; it holds " + WhatTheFileHeld(work, f)});
    }
    for (const std::string& name : ListTree(root)) {
        if (expected.count(name)) continue;
        std::string detail = name;
        for (int file = 0; file < kFileCount; ++file) {
            Bytes stray;
            if (name == model.File(file).name + ".cln" && ReadFile(root + "/" + name, &stray))
                detail += ", holding " + WhatTheFileHeld(stray, model.File(file));
        }
        problems.push_back({"stray file", detail + " (nothing waits for it)"});
    }
    if (!Exists(root + "/" + kFolder))
        problems.push_back({"folder missing", std::string(kFolder) + " is gone"});
}

}  // namespace model
