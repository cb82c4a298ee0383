// A model-based test of whole runs of the program: random sequences of user actions
// (writing infected or clean files, holding them in use, letting them go) and program
// runs (a scan, two scans at once, a restart) are carried out for real, and after every
// step the logs and the files on disk are checked against a model of what the program
// promises. A failing sequence is shrunk, step by step, to a shortest one that still
// fails the same way.
//
//   model_test [OPTIONS] TORVOCLEAN
//   model_test [OPTIONS] --wine --family nt|win98 --wine-run tests/wine/wine-run
//              --e2etool e2etool.exe --prefixes FOLDER TorvoClean.exe
//
// Options: --count N (sequences), --seed N (of the first; sequence i has seed N + i),
// --steps I,J,... (only these steps of each sequence, by their place in it), --one-run
// I,J,... (these steps, drawn as two runs at once, carried out as one scan),
// --shrink-limit N (failures to shrink, one per kind), --shrink-budget N (replays for
// each), --verbose. TORVO_MODEL_COUNT and TORVO_MODEL_SEED override --count and --seed.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "tests/model/process.h"
#include "tests/model/runner.h"

using namespace model;

namespace {

struct Options {
    uint32_t seed = 0x7021C1EA;
    int count = 100;
    std::set<int> steps;   // empty: all of them
    std::set<int> oneRun;  // two runs at once carried out as one scan
    int shrinkLimit = 20;
    int shrinkBudget = 200;
    bool verbose = false;
    std::string program;  // the Linux tool, or TorvoClean.exe
    bool wine = false;
    WineSetup wineSetup;
    std::vector<std::string> targetArguments;
};

// The Linux program detects on several threads; their number is part of a step there.
bool threadsShown = true;

struct Totals {
    int sequences = 0;
    int steps = 0;
    int failed = 0;
    Replays replays;
};

struct Failure {
    int sequence;
    uint32_t seed;
    Outcome outcome;
};

void PrintSteps(const std::vector<Step>& steps) {
    for (const Step& step : steps)
        printf("    %2d. %s\n", step.index, Describe(step, threadsShown).c_str());
}

void PrintProblems(const Outcome& outcome) {
    printf("  fails at step %d, %s:\n", outcome.FailingStep().index,
           Describe(outcome.FailingStep(), threadsShown).c_str());
    for (const Problem& problem : outcome.problems) {
        std::string detail = problem.detail;
        while (!detail.empty() && isspace((unsigned char)detail.back())) detail.pop_back();
        printf("    %s: %s\n", problem.what.c_str(), detail.c_str());
    }
}

std::string StepList(const std::vector<Step>& steps, bool onlyMadeOneRun = false) {
    std::string list;
    for (const Step& step : steps)
        if (step.madeOneRun || !onlyMadeOneRun)
            list += (list.empty() ? "" : ",") + std::to_string(step.index);
    return list;
}

// The command that carries the steps out again.
std::string Again(uint32_t seed, const std::vector<Step>& steps, const Options& options) {
    std::string again =
        "model_test --seed " + std::to_string(seed) + " --count 1 --steps " + StepList(steps);
    if (!StepList(steps, true).empty()) again += " --one-run " + StepList(steps, true);
    for (const std::string& argument : options.targetArguments) again += " " + argument;
    return again;
}

std::vector<Step> Selected(const std::vector<Step>& steps, const Options& options) {
    std::vector<Step> kept;
    for (Step step : steps) {
        if (!options.steps.empty() && !options.steps.count(step.index)) continue;
        if (step.action == Action::Scan2 && options.oneRun.count(step.index)) {
            step.action = Action::Scan;
            step.madeOneRun = true;
        }
        kept.push_back(step);
    }
    return kept;
}

// Shrinks the first failure of a kind and prints the shortest sequence found, unless
// one that fails as it does was printed already.
void ShrinkAndPrint(const Failure& first, int ofKind, const Options& options, Target& target,
                    Totals& totals, std::set<std::string>& printed) {
    Outcome minimal = Shrink(first.outcome, target, options.shrinkBudget, totals.replays);
    printf("\nSHRUNK: sequence %d (seed %u), one of %d failures \"%s\"\n", first.sequence,
           first.seed, ofKind, first.outcome.KindAndRuns().c_str());
    if (!printed.insert(minimal.KindAndRuns()).second) {
        printf("  shrinks to %zu steps that fail as a sequence above: %s\n", minimal.taken.size(),
               Again(first.seed, minimal.taken, options).c_str());
        return;
    }
    printf("  to %zu steps, \"%s\":\n", minimal.taken.size(), minimal.KindAndRuns().c_str());
    PrintSteps(minimal.taken);
    PrintProblems(minimal);
    if (HasTwoRuns(minimal.taken))
        printf("  (it depends on how the two runs meet: %d of 4 replays failed so)\n",
               FailuresInReplays(minimal, 4, target, totals.replays));
    printf("  again: %s\n", Again(first.seed, minimal.taken, options).c_str());
    fflush(stdout);
}

// Whether the user's files came to harm (lost, changed, or left infected).
bool HarmsFiles(const Outcome& outcome) {
    for (const Problem& problem : outcome.problems)
        if (problem.what == "file missing" || problem.what == "file content" ||
            problem.what == "file not deleted" || problem.what == "neither cleaned nor waiting")
            return true;
    return false;
}

// Failures without two runs at once come first (they do not depend on how runs meet),
// and of those alike, the ones that harm files.
int Rank(const Outcome& outcome) {
    return (HasTwoRuns(outcome.taken) ? 2 : 0) + (HarmsFiles(outcome) ? 0 : 1);
}

// The first failure of each kind is shrunk, by rank.
void ShrinkEachKind(const std::vector<Failure>& failures, const Options& options, Target& target,
                    Totals& totals) {
    std::map<std::string, int> count;
    for (const Failure& failure : failures) ++count[failure.outcome.KindAndRuns()];
    std::set<std::string> shrunk, printed;
    for (int rank = 0; rank < 4; ++rank) {
        for (const Failure& failure : failures) {
            const std::string kind = failure.outcome.KindAndRuns();
            if (Rank(failure.outcome) != rank || shrunk.count(kind)) continue;
            if (int(shrunk.size()) >= options.shrinkLimit) return;
            shrunk.insert(kind);
            ShrinkAndPrint(failure, count[kind], options, target, totals, printed);
        }
    }
}

void PrintSummary(const std::vector<Failure>& failures, const Totals& totals, double seconds) {
    printf("\nmodel_test: %d sequences, %d steps in %.0f s; %d failed", totals.sequences,
           totals.steps, seconds, totals.failed);
    if (totals.replays.sequences)
        printf("; shrinking replayed %d sequences, %d steps", totals.replays.sequences,
               totals.replays.steps);
    printf("\n");
    std::map<std::string, std::vector<int>> byKind;
    for (const Failure& failure : failures)
        byKind[failure.outcome.KindAndRuns()].push_back(failure.sequence);
    for (const auto& kind : byKind)
        printf("  %3zu x %s (first: sequence %d)\n", kind.second.size(), kind.first.c_str(),
               kind.second.front());
}

int Run(const Options& options, Target& target) {
    Totals totals;
    std::vector<Failure> failures;
    double start = SecondsNow();
    for (int i = 0; i < options.count; ++i) {
        uint32_t seed = options.seed + uint32_t(i);
        Outcome outcome = RunSequence(Selected(DrawSequence(seed), options), target);
        ++totals.sequences;
        totals.steps += int(outcome.taken.size());
        if (options.verbose) {
            printf("sequence %d (seed %u):\n", i, seed);
            PrintSteps(outcome.taken);
        }
        if (!outcome.failed) continue;
        ++totals.failed;
        failures.push_back({i, seed, outcome});
        printf("FAIL: sequence %d (seed %u): %s\n", i, seed, outcome.KindAndRuns().c_str());
        PrintProblems(outcome);
        fflush(stdout);
    }
    double seconds = SecondsNow() - start;
    ShrinkEachKind(failures, options, target, totals);
    PrintSummary(failures, totals, seconds);
    return totals.failed ? 1 : 0;
}

[[noreturn]] void Usage() {
    fputs(
        "usage: model_test [OPTIONS] TORVOCLEAN\n"
        "       model_test [OPTIONS] --wine --family nt|win98 --wine-run WINE_RUN\n"
        "                  --e2etool E2ETOOL_EXE --prefixes FOLDER TORVOCLEAN_EXE\n"
        "options: --count N, --seed N, --steps I,J,..., --shrink-limit N,\n"
        "         --shrink-budget N, --verbose\n",
        stderr);
    exit(2);
}

long Number(const char* text) {
    char* end;
    long value = strtol(text, &end, 0);
    if (!*text || *end || value < 0) Usage();
    return value;
}

std::set<int> StepNumbers(const std::string& list) {
    std::set<int> numbers;
    size_t at = 0;
    while (at <= list.size()) {
        size_t comma = list.find(',', at);
        if (comma == std::string::npos) comma = list.size();
        numbers.insert(int(Number(list.substr(at, comma - at).c_str())));
        at = comma + 1;
    }
    return numbers;
}

// Takes the option at argv[i] (and its value); false when it is none of the test's own.
bool TakeTestOption(char** argv, int argc, int& i, Options& options) {
    std::string option = argv[i];
    if (option == "--verbose") {
        options.verbose = true;
        return true;
    }
    const char* names[] = {"--count",   "--seed",         "--steps",
                           "--one-run", "--shrink-limit", "--shrink-budget"};
    if (std::find(std::begin(names), std::end(names), option) == std::end(names)) return false;
    if (i + 1 >= argc) Usage();
    const char* value = argv[++i];
    if (option == "--count") options.count = int(Number(value));
    if (option == "--seed") options.seed = uint32_t(Number(value));
    if (option == "--steps") options.steps = StepNumbers(value);
    if (option == "--one-run") options.oneRun = StepNumbers(value);
    if (option == "--shrink-limit") options.shrinkLimit = int(Number(value));
    if (option == "--shrink-budget") options.shrinkBudget = int(Number(value));
    return true;
}

// Takes an option that says what is tested (kept to show how to run a sequence again).
void TakeTargetOption(char** argv, int argc, int& i, Options& options) {
    std::string option = argv[i];
    options.targetArguments.push_back(option);
    if (option == "--wine") {
        options.wine = true;
        return;
    }
    std::string* value = option == "--family"     ? &options.wineSetup.family
                         : option == "--wine-run" ? &options.wineSetup.wineRun
                         : option == "--e2etool"  ? &options.wineSetup.e2etool
                         : option == "--prefixes" ? &options.wineSetup.prefixes
                                                  : nullptr;
    if (!value || i + 1 >= argc) Usage();
    *value = argv[++i];
    options.targetArguments.push_back(*value);
}

Options ParseOptions(int argc, char** argv) {
    Options options;
    int i = 1;
    for (; i < argc && !strncmp(argv[i], "--", 2); ++i)
        if (!TakeTestOption(argv, argc, i, options)) TakeTargetOption(argv, argc, i, options);
    if (i + 1 != argc) Usage();
    options.program = argv[i];
    options.targetArguments.push_back(options.program);
    const WineSetup& wine = options.wineSetup;
    if (options.wine && ((wine.family != "nt" && wine.family != "win98") || wine.wineRun.empty() ||
                         wine.e2etool.empty() || wine.prefixes.empty()))
        Usage();
    if (const char* count = getenv("TORVO_MODEL_COUNT")) options.count = int(Number(count));
    if (const char* seed = getenv("TORVO_MODEL_SEED")) options.seed = uint32_t(Number(seed));
    return options;
}

std::unique_ptr<Target> MakeTarget(const Options& options) {
    if (!options.wine) return MakeNativeTarget(options.program);
    WineSetup setup = options.wineSetup;
    setup.program = options.program;
    return MakeWineTarget(setup);
}

}  // namespace

int main(int argc, char** argv) {
    Options options = ParseOptions(argc, argv);
    threadsShown = !options.wine;
    try {
        std::unique_ptr<Target> target = MakeTarget(options);
        return Run(options, *target);
    } catch (const SetupError& error) {
        fprintf(stderr, "model_test: %s\n", error.what());
        return 2;
    }
}
