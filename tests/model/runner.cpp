#include "tests/model/runner.h"

#include <algorithm>
#include <set>

#include "tests/model/process.h"

namespace model {
namespace {

void TakeStep(const Step& step, Model& model, Target& target, Problems& problems) {
    const std::string when = "at step " + std::to_string(step.index);
    const std::string name = kFileNames[step.file];
    switch (step.action) {
        case Action::Infect:
        case Action::Replace: {
            Content content = MakeContent(step.form);
            WriteFile(target.Root() + "/" + name, content.bytes);
            model.Write(step.file, content, when);
            break;
        }
        case Action::Hold:
            target.Hold(name);
            model.SetHeld(step.file, true);
            break;
        case Action::Release:
            target.Release(name);
            model.SetHeld(step.file, false);
            break;
        case Action::Scan:
            CheckScan(model, target.Scan({step.jobs[0]}).front(), target, problems);
            model.Scan(when);
            break;
        case Action::Scan2:
            CheckScanTwice(model, target.Scan({step.jobs[0], step.jobs[1]}), target, when,
                           problems);
            break;
        case Action::Restart: {
            std::string failure = target.Restart();
            if (!failure.empty()) problems.push_back({"restart list", failure});
            model.Restart();
            break;
        }
    }
}

std::vector<Step> Without(const std::vector<Step>& steps, size_t from, size_t count) {
    std::vector<Step> rest;
    for (size_t i = 0; i < steps.size(); ++i)
        if (i < from || i >= from + count) rest.push_back(steps[i]);
    return rest;
}

Outcome Replay(const std::vector<Step>& steps, Target& target, Replays& replays) {
    Outcome outcome = RunSequence(steps, target);
    ++replays.sequences;
    replays.steps += int(outcome.taken.size());
    return outcome;
}

// How two runs meet is up to the machine: steps with them are tried up to three times
// to fail as `kind` does.
Outcome FailingAs(const std::vector<Step>& steps, const std::string& kind, Target& target,
                  int& budget, Replays& replays) {
    Outcome outcome;
    for (int tries = HasTwoRuns(steps) ? 3 : 1; tries > 0 && budget > 0; --tries, --budget) {
        outcome = Replay(steps, target, replays);
        if (outcome.failed && outcome.Kind() == kind) break;
    }
    return outcome;
}

// Two runs at once that one scan can stand for: the failure then no longer depends on
// how runs meet.
Outcome OneRunWherePossible(Outcome best, const std::string& kind, Target& target, int& budget,
                            Replays& replays) {
    for (size_t i = 0; i < best.taken.size() && budget > 0; ++i) {
        if (best.taken[i].action != Action::Scan2) continue;
        std::vector<Step> steps = best.taken;
        steps[i].action = Action::Scan;
        steps[i].madeOneRun = true;
        Outcome candidate = FailingAs(steps, kind, target, budget, replays);
        if (candidate.failed && candidate.Kind() == kind) best = candidate;
    }
    return best;
}

}  // namespace

std::string Outcome::Kind() const {
    std::set<std::string> whats;
    for (const Problem& problem : problems) whats.insert(problem.what);
    std::string kind = std::string(ActionName(FailingStep().action)) + ":";
    for (const std::string& what : whats) kind += (kind.back() == ':' ? " " : ", ") + what;
    return kind;
}

std::string Outcome::KindAndRuns() const {
    return Kind() + (HasTwoRuns(taken) ? " (with two runs at once)" : "");
}

bool HasTwoRuns(const std::vector<Step>& steps) {
    for (const Step& step : steps)
        if (step.action == Action::Scan2) return true;
    return false;
}

Outcome RunSequence(const std::vector<Step>& steps, Target& target) {
    target.Reset();
    Model model;
    Outcome outcome;
    for (const Step& step : steps) {
        if (!Applicable(step, model)) continue;
        outcome.taken.push_back(step);
        TakeStep(step, model, target, outcome.problems);
        CheckDisk(model, target.Root(), outcome.problems);
        if (!outcome.problems.empty()) {
            outcome.failed = true;
            break;
        }
    }
    return outcome;
}

Outcome Shrink(const Outcome& failing, Target& target, int budget, Replays& replays) {
    const std::string kind = failing.Kind();
    Outcome best = failing;
    size_t chunk = best.taken.size() > 1 ? best.taken.size() / 2 : 1;
    while (budget > 0) {
        bool dropped = false;
        for (size_t from = 0; from < best.taken.size() && budget > 0;) {
            Outcome candidate =
                FailingAs(Without(best.taken, from, chunk), kind, target, budget, replays);
            if (candidate.failed && candidate.Kind() == kind) {
                best = candidate;
                dropped = true;
            } else {
                from += chunk;
            }
        }
        if (chunk == 1 && !dropped) break;
        if (!dropped) chunk /= 2;
        chunk = std::min(chunk, best.taken.size() > 1 ? best.taken.size() / 2 : size_t(1));
    }
    return OneRunWherePossible(best, kind, target, budget, replays);
}

int FailuresInReplays(const Outcome& outcome, int times, Target& target, Replays& replays) {
    int failures = 0;
    for (int i = 0; i < times; ++i) {
        Outcome again = Replay(outcome.taken, target, replays);
        failures += again.failed && again.Kind() == outcome.Kind();
    }
    return failures;
}

}  // namespace model
