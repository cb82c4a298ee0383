#include "tests/model/model.h"

namespace model {

const char* const kFileNames[kFileCount] = {"a.htm", "b.exe", "sub/c.eml", "sub/d.htm",
                                            "sub/e.exe"};
const char kFolder[] = "sub";

namespace {

size_t SizeFrom(uint32_t seed, size_t least, size_t most) {
    return least + seed % (most - least + 1);
}

std::string SizeOf(const Bytes& bytes) {
    return std::to_string(bytes.size()) + " bytes";
}

Content RepairOf(const Content& infected, const std::string& description) {
    return {FormKind::Text, infected.repaired, {}, description};
}

}  // namespace

Content MakeContent(const Step& step) {
    const std::string worm = step.variant == samples::VARIANT_A ? "worm A" : "worm E";
    Bytes text = samples::TextFile(SizeFrom(step.seed, 100, 6000), step.seed);
    Bytes filler = samples::Filler(SizeFrom(step.seed, 3000, 6000), step.seed);
    switch (step.kind) {
        case FormKind::Text:
            return {step.kind, text, {}, "clean text of " + SizeOf(text)};
        case FormKind::Page:
            return {step.kind, samples::InfectedPage(text), text,
                    "page of " + SizeOf(text) + " with the script"};
        case FormKind::FillerHost:
            return {step.kind, samples::InfectedExe(step.variant, &filler), filler,
                    worm + " around " + SizeOf(filler) + " of filler"};
        case FormKind::CleanExeHost: {
            Bytes resource = samples::Filler(SizeFrom(step.seed, 200, 2000), step.seed);
            Bytes host = samples::CleanExe(&resource);
            return {step.kind, samples::InfectedExe(step.variant, &host), host,
                    worm + " around a clean program of " + SizeOf(host)};
        }
        case FormKind::Nested:
            return {step.kind, samples::NestedExe(step.variant, filler, 2), filler,
                    worm + " nested 2 deep around " + SizeOf(filler) + " of filler"};
        case FormKind::WormAlone:
            return {step.kind, samples::InfectedExe(step.variant, nullptr), {}, worm + " alone"};
        case FormKind::Mail:
            return {step.kind, samples::MailMessage(step.variant), {}, "mail of " + worm};
    }
    return {};
}

const char* ActionName(Action action) {
    const char* const names[] = {"infect", "replace", "hold",   "release",
                                 "scan",   "scan2",   "restart"};
    return names[int(action)];
}

std::string Describe(const Step& step, bool threads) {
    std::string text = ActionName(step.action);
    const std::string file = std::string(" ") + kFileNames[step.file];
    if (step.action == Action::Infect || step.action == Action::Replace)
        return text + file + ": " + MakeContent(step).description;
    if (step.action == Action::Hold || step.action == Action::Release) return text + file;
    if (!threads || step.action == Action::Restart) return text;
    if (step.action == Action::Scan)
        return text + " (" + std::to_string(step.jobs[0]) + " threads)";
    return text + " (" + std::to_string(step.jobs[0]) + " and " + std::to_string(step.jobs[1]) +
           " threads)";
}

Model::Model() : files(kFileCount) {
    for (int file = 0; file < kFileCount; ++file) files[file].name = kFileNames[file];
}

bool Model::AnyHeldInfected() const {
    for (const ModelFile& file : files)
        if (file.exists && file.held && file.content.Infected()) return true;
    return false;
}

bool Model::Applicable(const Step& step) const {
    const ModelFile& f = files[step.file];
    if (step.action == Action::Infect) return !f.held;
    if (step.action == Action::Replace || step.action == Action::Hold) return f.exists && !f.held;
    return step.action != Action::Release || f.held;
}

void Model::CleanNow(int file, const std::string& when) {
    ModelFile& f = files[file];
    f.pending = Pending::None;
    f.exists = !f.content.Deletable();
    f.content =
        RepairOf(f.content, "content repaired " + when + " from the " + f.content.description);
    if (f.exists) f.seen.emplace_back("the " + f.content.description, f.content.bytes);
}

void Model::CleanAtRestart(int file, const std::string& when) {
    ModelFile& f = files[file];
    f.pending = f.content.Deletable() ? Pending::Delete : Pending::Repair;
    f.pendingRepair =
        RepairOf(f.content, "repair of the " + f.content.description + " scheduled " + when);
    if (f.pending == Pending::Repair)
        f.seen.emplace_back("the " + f.pendingRepair.description, f.pendingRepair.bytes);
}

void Model::Take(const Step& step, const std::string& when) {
    ModelFile& stepFile = files[step.file];
    switch (step.action) {
        case Action::Infect:
        case Action::Replace:
            stepFile.exists = true;
            stepFile.content = MakeContent(step);
            stepFile.seen.emplace_back("the " + stepFile.content.description + " written " + when,
                                       stepFile.content.bytes);
            break;
        case Action::Hold:
        case Action::Release:
            stepFile.held = step.action == Action::Hold;
            break;
        case Action::Scan:
        case Action::Scan2:
            // Clean files lose what waited for them; infected ones are cleaned now or,
            // held, at the restart.
            for (int file = 0; file < kFileCount; ++file) {
                if (!files[file].exists) continue;
                if (!files[file].content.Infected())
                    files[file].pending = Pending::None;
                else if (files[file].held)
                    CleanAtRestart(file, when);
                else
                    CleanNow(file, when);
            }
            break;
        case Action::Restart:
            for (ModelFile& f : files) {
                f.held = false;
                if (f.pending == Pending::Delete) f.exists = false;
                if (f.pending == Pending::Repair) f.content = f.pendingRepair;
                f.pending = Pending::None;
            }
            break;
    }
}

namespace {

// An index into `weights` (of 100 in all), each drawn as often as its weight.
int DrawWeighted(samples::Random& random, const std::vector<int>& weights) {
    int draw = int(random.Below(100)), index = 0;
    while (index + 1 < int(weights.size()) && (draw -= weights[index]) >= 0) ++index;
    return index;
}

// The files a sequence works on: few of them meet more often.
std::vector<int> DrawFiles(samples::Random& random) {
    std::vector<int> files;
    for (int file = 0; file < kFileCount; ++file) files.push_back(file);
    for (int i = kFileCount - 1; i > 0; --i) std::swap(files[i], files[random.Below(i + 1)]);
    files.resize(random.Below(4) ? 1 + random.Below(3) : kFileCount);
    return files;
}

// A random action on one of `active` that it can be taken on.
Step DrawStep(samples::Random& random, const std::vector<int>& active, const Model& model) {
    Step step;
    std::vector<int> files;
    while (files.empty()) {
        step.action = Action(DrawWeighted(random, {22, 10, 14, 16, 24, 7, 7}));
        for (int file : active) {
            step.file = file;
            if (model.Applicable(step)) files.push_back(file);
        }
    }
    step.file = files[random.Below(uint32_t(files.size()))];
    if (step.action == Action::Infect)
        step.kind = FormKind(int(FormKind::Page) + DrawWeighted(random, {30, 15, 10, 15, 15, 15}));
    step.variant = random.Below(2) ? samples::VARIANT_E : samples::VARIANT_A;
    step.seed = random.Next();
    step.jobs[0] = 1 + int(random.Below(3));
    step.jobs[1] = 1 + int(random.Below(3));
    return step;
}

}  // namespace

std::vector<Step> DrawSequence(uint32_t seed) {
    samples::Random random(seed);
    Model model;
    std::vector<Step> steps;
    int length = 4 + int(random.Below(21));
    std::vector<int> active = DrawFiles(random);
    while (int(steps.size()) < length) {
        Step step = DrawStep(random, active, model);
        step.index = int(steps.size()) + 1;
        model.Take(step, "");
        steps.push_back(step);
    }
    steps.push_back(Step{length + 1, Action::Restart});
    return steps;
}

}  // namespace model
