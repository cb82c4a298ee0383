#include "tests/model/model.h"

#include <algorithm>

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
    const char* const names[] = {"infect", "replace", "hold",   "release", "scan",
                                 "scan2",  "restart", "cutoff", "install"};
    return names[int(action)];
}

// What another program puts in a file's place at the restart.
Content ReplacementOf(const Step& step) {
    Bytes text = samples::TextFile(SizeFrom(step.seed, 50, 500), step.seed);
    return {FormKind::Text, text, {}, "another program's file of " + SizeOf(text)};
}

std::string Describe(const Step& step, bool threads) {
    std::string text = ActionName(step.action);
    const std::string file = std::string(" ") + kFileNames[step.file];
    if (step.action == Action::Infect || step.action == Action::Replace)
        return text + file + ": " + MakeContent(step).description;
    if (step.action == Action::Hold || step.action == Action::Release) return text + file;
    if (step.action == Action::Install)
        return text +
               (step.deletes ? ": delete" : ": replace with \"" + file.substr(1) + ".new\"") + file;
    if (step.action == Action::CutOff)
        return text + " (killed after " + std::to_string(int(step.cutAt * 100)) + "% of a run)";
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
    if (step.action == Action::Install) {
        for (const Install& install : installs)
            if (install.file == step.file) return false;
        return f.exists;
    }
    if (step.action == Action::Hold && !canHold) return false;
    if (step.action == Action::Replace || step.action == Action::Hold) return f.exists && !f.held;
    return step.action != Action::Release || f.held;
}

void Model::CleanNow(int file, const std::string& when) {
    ModelFile& f = files[file];
    f.pending = Pending::None;
    f.mayWait.clear();
    f.exists = !f.content.Deletable();
    f.content =
        RepairOf(f.content, "content repaired " + when + " from the " + f.content.description);
    if (f.exists) f.seen.emplace_back("the " + f.content.description, f.content.bytes);
}

void Model::CleanAtRestart(int file, const std::string& when) {
    ModelFile& f = files[file];
    f.mayWait.clear();
    f.pendingSince = ++clock;
    f.pending = f.content.Deletable() ? Pending::Delete : Pending::Repair;
    f.pendingRepair =
        RepairOf(f.content, "repair of the " + f.content.description + " scheduled " + when);
    if (f.pending == Pending::Repair)
        f.seen.emplace_back("the " + f.pendingRepair.description, f.pendingRepair.bytes);
}

void Model::FinishCutOffRepairs() {
    for (ModelFile& f : files) {
        if (f.exists || f.pending != Pending::Repair) continue;
        f.exists = true;
        f.content = f.pendingRepair;
        f.pending = Pending::None;
    }
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
        case Action::CutOff:  // as far as drawing the steps after it goes
            // Repairs a cut-off run left are put in place first. Clean files lose what
            // waited for them; infected ones are cleaned now or, held, at the restart.
            FinishCutOffRepairs();
            for (int file = 0; file < kFileCount; ++file) {
                ModelFile& f = files[file];
                if (f.exists && !f.content.Infected())
                    f.pending = Pending::None;
                else if (f.exists && f.held)
                    CleanAtRestart(file, when);
                else if (f.exists)
                    CleanNow(file, when);
                f.mayWait.clear();
                f.mayHaveWorkFile = false;
            }
            break;
        case Action::Restart: {
            std::vector<FileState> states;
            for (int file = 0; file < kFileCount; ++file) states.push_back(AfterRestart(file)[0]);
            Restarted(states);
            break;
        }
        case Action::Install:
            installs.push_back({step.file, step.deletes, ReplacementOf(step), ++clock, {}});
            if (!step.deletes)
                stepFile.seen.emplace_back("the " + installs.back().replacement.description,
                                           installs.back().replacement.bytes);
            break;
    }
}

// What the restart list does to the file, in the order its entries went there: the
// program's work `ours` (or none), and other programs' entries.
FileState Model::Carried(int file, const Work* ours) const {
    const ModelFile& f = files[file];
    FileState state = {f.exists, f.content};
    std::vector<std::pair<int, const Install*>> entries;
    if (ours && ours->kind != Pending::None) entries.push_back({ours->since, nullptr});
    for (const Install& install : installs)
        if (install.file == file) entries.push_back({install.since, &install});
    std::sort(entries.begin(), entries.end());
    for (const auto& entry : entries) {
        const Install* install = entry.second;
        bool repairs = !install && ours->kind == Pending::Repair;
        state.exists = repairs || (install && !install->deletes);
        if (state.exists) state.content = install ? install->replacement : ours->repair;
    }
    return state;
}

std::vector<FileState> Model::AfterRestart(int file) const {
    const ModelFile& f = files[file];
    if (f.mayWait.empty()) {
        Work pending = {f.pending, f.pendingRepair, f.pendingSince};
        return {Carried(file, &pending)};
    }
    std::vector<FileState> states = {Carried(file, nullptr)};
    for (const Work& work : f.mayWait) states.push_back(Carried(file, &work));
    return states;
}

void Model::Restarted(const std::vector<FileState>& found) {
    for (int file = 0; file < kFileCount; ++file) {
        ModelFile& f = files[file];
        f.exists = found[size_t(file)].exists;
        f.content = found[size_t(file)].content;
        f.held = f.mayHaveWorkFile = false;
        f.mayWait.clear();
        f.pending = Pending::None;
    }
    installs.clear();
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
        step.action = Action(DrawWeighted(random, {20, 9, 13, 14, 20, 6, 6, 7, 5}));
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
    step.deletes = random.Below(2) == 0;
    step.cutAt = double(random.Below(120)) / 100;
    return step;
}

}  // namespace

std::vector<Step> DrawSequence(uint32_t seed, bool canHold) {
    samples::Random random(seed);
    Model model;
    model.canHold = canHold;
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
