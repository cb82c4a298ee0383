// What the program promises for the user's files, the random sequences of user actions
// and program runs that the model test carries out, and the programs it runs them on.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "tools/samplegen/samples.h"

namespace model {

using samples::Bytes;

// The user's files below the scanned root, in two folders.
const int kFileCount = 5;
extern const char* const kFileNames[kFileCount];
extern const char kFolder[];

enum class FormKind {
    Text,          // clean text
    Page,          // text with the worm's script appended
    FillerHost,    // the worm with a host of filler bytes
    CleanExeHost,  // the worm with a clean program as its host
    Nested,        // the worm around the worm around a host
    WormAlone,     // the worm without a host: cleaning deletes it
    Mail,          // the worm's e-mail message: cleaning deletes it
};

// A file's content and what cleaning makes of it.
struct Content {
    FormKind kind = FormKind::Text;
    Bytes bytes;
    Bytes repaired;  // of an infected form that has a host
    std::string description;

    bool Infected() const { return kind != FormKind::Text; }
    bool Deletable() const { return kind == FormKind::WormAlone || kind == FormKind::Mail; }
};

enum class Pending { None, Repair, Delete };

struct ModelFile {
    std::string name;
    bool exists = false;
    Content content;
    bool held = false;  // another program holds it open, in use
    Pending pending = Pending::None;
    Content pendingRepair;  // what a pending repair puts in place at the restart
    // Every content the file held or was promised, to tell what a check found.
    std::vector<std::pair<std::string, Bytes>> seen;
};

enum class Action {
    Infect,   // writes an infected form (makes the file when missing)
    Replace,  // writes new clean text into an existing file
    Hold,     // another program holds the file open
    Release,  // that program lets it go
    Scan,     // one run over the root
    Scan2,    // two runs over the root, started together
    Restart,  // holds released, the restart list carried out
};

struct Step {
    int index = 0;  // its place in the sequence as drawn, from 1
    Action action = Action::Scan;
    int file = 0;
    FormKind kind = FormKind::Text;  // what an infect or replace writes
    samples::Variant variant = samples::VARIANT_A;
    uint32_t seed = 0;     // draws the text, page or host
    int jobs[2] = {1, 1};  // detection threads of each run (the Linux program)
};

Content MakeContent(const Step& step);
// `threads`: whether the program has a number of detection threads to tell.
std::string Describe(const Step& step, bool threads);
const char* ActionName(Action action);

struct Model {
    Model();
    bool AnyHeldInfected() const;
    bool Applicable(const Step& step) const;
    // What the program promises for the step; two runs at once count as one here.
    void Take(const Step& step, const std::string& when);
    // A cleaning carried out now: repaired or deleted.
    void CleanNow(int file, const std::string& when);
    // A cleaning that waits for the restart: the file stays as it is.
    void CleanAtRestart(int file, const std::string& when);

    std::vector<ModelFile> files;
};

// Between 5 and 25 steps, the last one a restart.
std::vector<Step> DrawSequence(uint32_t seed);

// What a run left. The targets throw std::runtime_error when something the test needs
// from the machine fails: no fault of the program tested.
struct RunResult {
    int status = -1;     // -1: it did not end in time
    std::string log;     // empty: it wrote none
    std::string output;  // what the run printed
};

// The Linux tool, or the Windows program under Wine, with a root folder of its own.
class Target {
  public:
    virtual ~Target() = default;
    // The scanned root, by its Unix name.
    virtual std::string Root() const = 0;
    // How the log names a file below the root ("sub/c.eml").
    virtual std::string LogName(const std::string& name) const = 0;
    virtual int ExpectedStatus(int infected, int unopened) const = 0;
    // An empty root (with its folder), nothing held, nothing on the restart list.
    virtual void Reset() = 0;
    virtual void Hold(const std::string& name) = 0;
    virtual void Release(const std::string& name) = 0;
    // Releases every hold and carries out the restart list: empty, or what failed.
    virtual std::string Restart() = 0;
    // Runs over the root started together, one for each entry of `jobs` (the number of
    // detection threads, where the program has them).
    virtual std::vector<RunResult> Scan(const std::vector<int>& jobs);

  protected:
    // Starts a run that writes the log `log` (by its Unix name) and prints into `output`.
    virtual pid_t StartScan(int threads, const std::string& log, const std::string& output) = 0;
};

struct WineSetup {
    std::string program;   // TorvoClean.exe, or the Linux tool
    std::string family;    // nt or win98
    std::string wineRun;   // tests/wine/wine-run
    std::string e2etool;   // e2etool.exe
    std::string prefixes;  // a folder for this test's own prefix
};
std::unique_ptr<Target> MakeNativeTarget(const std::string& program);
std::unique_ptr<Target> MakeWineTarget(const WineSetup& setup);

}  // namespace model
