// Carries sequences out against the program and the model, and shrinks failing ones.
#pragma once

#include <string>
#include <vector>

#include "tests/model/checks.h"
#include "tests/model/sequence.h"
#include "tests/model/target.h"

namespace model {

struct Outcome {
    std::vector<Step> taken;  // the steps carried out, up to the failing one
    bool failed = false;
    Problems problems;

    const Step& FailingStep() const { return taken.back(); }
    // The failing action and the kinds of its problems: shrinking keeps it.
    std::string Kind() const;
    // The kind, and whether two runs at once took part: the failure may then depend on
    // how they met.
    std::string KindAndRuns() const;
};

struct Replays {
    int sequences = 0;
    int steps = 0;
};

bool HasTwoRuns(const std::vector<Step>& steps);

// Carries the steps out from an empty root, checking after each one; a step that
// cannot be taken in the state reached (shrinking removed what it needed) is left out.
Outcome RunSequence(const std::vector<Step>& steps, Target& target);

// Delta debugging: drops runs of steps, halving their length, while the sequence still
// fails the same way, then carries out as one scan what two runs at once need not be;
// within `budget` replays.
Outcome Shrink(const Outcome& failing, Target& target, int budget, Replays& replays);

// How many of `times` replays of `outcome`'s steps fail the same way.
int FailuresInReplays(const Outcome& outcome, int times, Target& target, Replays& replays);

}  // namespace model
