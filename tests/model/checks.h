// The checks after each step: the logs of the runs against what the model predicts,
// and the files on disk against the model.
#pragma once

#include <string>
#include <vector>

#include "tests/model/model.h"
#include "tests/model/target.h"

namespace model {

struct Problem {
    std::string what;    // the kind of check that failed, short and fixed
    std::string detail;  // what was expected and what was found
};
typedef std::vector<Problem> Problems;

struct ParsedLog {
    std::string error;                  // empty when the log has its shape
    std::vector<std::string> findings;  // "<path>    <RESULT>", as they came
    int infected = 0;                   // the totals it gives
    int unopened = 0;
    bool asksRestart = false;
};

ParsedLog ParseLog(const std::string& text);

// One run over the files `before` describes.
void CheckScan(const Model& before, const RunResult& run, const Target& target, Problems& problems);
// Two runs started together. Whether the cleaning of a free infected file was done or
// waits for the restart depends on how the runs met: the disk tells, and `model`
// learns it.
void CheckScanTwice(Model& model, const std::vector<RunResult>& runs, const Target& target,
                    const std::string& when, Problems& problems);
// Every file of the model as the model has it, a work file beside each file whose
// repair waits, and nothing else below the root.
void CheckDisk(const Model& model, const std::string& root, Problems& problems);

}  // namespace model
