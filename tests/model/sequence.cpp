#include "tests/model/sequence.h"

#include <utility>

namespace model {
namespace {

Action DrawAction(samples::Random& random) {
    uint32_t draw = random.Below(100);
    if (draw < 22) return Action::Infect;
    if (draw < 32) return Action::Replace;
    if (draw < 46) return Action::Hold;
    if (draw < 62) return Action::Release;
    if (draw < 86) return Action::Scan;
    if (draw < 93) return Action::Scan2;
    return Action::Restart;
}

FormKind DrawInfectedKind(samples::Random& random) {
    uint32_t draw = random.Below(100);
    if (draw < 30) return FormKind::Page;
    if (draw < 45) return FormKind::FillerHost;
    if (draw < 55) return FormKind::CleanExeHost;
    if (draw < 70) return FormKind::Nested;
    if (draw < 85) return FormKind::WormAlone;
    return FormKind::Mail;
}

// The files a sequence works on: few of them meet more often.
std::vector<int> DrawFiles(samples::Random& random) {
    std::vector<int> files;
    for (int file = 0; file < kFileCount; ++file) files.push_back(file);
    for (int i = kFileCount - 1; i > 0; --i) std::swap(files[i], files[random.Below(i + 1)]);
    files.resize(random.Below(4) ? 1 + random.Below(3) : kFileCount);
    return files;
}

// A step of a random action on one of `active` it can be taken on.
Step DrawStep(samples::Random& random, const std::vector<int>& active, const Model& model) {
    Step step;
    std::vector<int> files;
    while (files.empty()) {
        step.action = DrawAction(random);
        for (int file : active) {
            step.file = file;
            if (Applicable(step, model)) files.push_back(file);
        }
    }
    step.file = files[random.Below(uint32_t(files.size()))];
    step.form.kind = step.action == Action::Infect ? DrawInfectedKind(random) : FormKind::Text;
    step.form.variant = random.Below(2) ? samples::VARIANT_E : samples::VARIANT_A;
    step.form.seed = random.Next();
    step.jobs[0] = 1 + int(random.Below(3));
    step.jobs[1] = 1 + int(random.Below(3));
    return step;
}

// What the program promises for the step, to draw the next ones from.
void Foresee(const Step& step, Model& model) {
    switch (step.action) {
        case Action::Infect:
        case Action::Replace:
            model.Write(step.file, MakeContent(step.form), "");
            break;
        case Action::Hold:
            model.SetHeld(step.file, true);
            break;
        case Action::Release:
            model.SetHeld(step.file, false);
            break;
        case Action::Scan:
        case Action::Scan2:
            model.Scan("");
            break;
        case Action::Restart:
            model.Restart();
            break;
    }
}

}  // namespace

const char* ActionName(Action action) {
    switch (action) {
        case Action::Infect:
            return "infect";
        case Action::Replace:
            return "replace";
        case Action::Hold:
            return "hold";
        case Action::Release:
            return "release";
        case Action::Scan:
            return "scan";
        case Action::Scan2:
            return "scan2";
        case Action::Restart:
            return "restart";
    }
    return "?";
}

std::string Describe(const Step& step, bool threads) {
    std::string text = ActionName(step.action);
    const std::string file = kFileNames[step.file];
    switch (step.action) {
        case Action::Infect:
        case Action::Replace:
            return text + " " + file + ": " + MakeContent(step.form).description;
        case Action::Hold:
        case Action::Release:
            return text + " " + file;
        case Action::Scan:
            if (!threads) return text;
            return text + " (" + std::to_string(step.jobs[0]) + " threads)";
        case Action::Scan2:
            if (!threads) return text;
            return text + " (" + std::to_string(step.jobs[0]) + " and " +
                   std::to_string(step.jobs[1]) + " threads)";
        case Action::Restart:
            return text;
    }
    return text;
}

bool Applicable(const Step& step, const Model& model) {
    const ModelFile& file = model.File(step.file);
    switch (step.action) {
        case Action::Infect:
            return !file.held;
        case Action::Replace:
        case Action::Hold:
            return file.exists && !file.held;
        case Action::Release:
            return file.held;
        default:
            return true;
    }
}

std::vector<Step> DrawSequence(uint32_t seed) {
    samples::Random random(seed);
    Model model;
    std::vector<Step> steps;
    int length = 4 + int(random.Below(21));
    std::vector<int> active = DrawFiles(random);
    while (int(steps.size()) < length) {
        Step step = DrawStep(random, active, model);
        step.index = int(steps.size()) + 1;
        Foresee(step, model);
        steps.push_back(step);
    }
    Step restart;
    restart.action = Action::Restart;
    restart.index = length + 1;
    steps.push_back(restart);
    return steps;
}

}  // namespace model
