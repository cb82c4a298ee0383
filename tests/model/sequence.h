// Sequences of user actions and program runs, drawn from a seed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tests/model/forms.h"
#include "tests/model/model.h"

namespace model {

enum class Action {
    Infect,   // writes an infected form (makes the file when missing)
    Replace,  // writes new clean text into an existing file
    Hold,     // another program holds the file open (in use)
    Release,  // that program lets it go
    Scan,     // one run over the root
    Scan2,    // two runs over the root, started together
    Restart,  // holds released, the restart list carried out
};

struct Step {
    int index = 0;  // its place in the sequence as drawn, from 1
    Action action = Action::Scan;
    int file = 0;
    Form form;
    int jobs[2] = {1, 1};     // detection threads of each run (the Linux program)
    bool madeOneRun = false;  // drawn as two runs at once, carried out as one scan
};

const char* ActionName(Action action);
// `threads`: whether the program has a number of detection threads to tell.
std::string Describe(const Step& step, bool threads);
// Whether the step can be taken in the state `model` describes.
bool Applicable(const Step& step, const Model& model);
// Between 5 and 25 steps, the last one a restart.
std::vector<Step> DrawSequence(uint32_t seed);

}  // namespace model
