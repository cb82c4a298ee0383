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

// Work of the program's that waits for the restart on the list.
struct Work {
    Pending kind = Pending::None;
    Content repair;  // what a repair puts in place
    int since = 0;   // when it went on the list
};

struct ModelFile {
    std::string name;
    bool exists = false;  // false with a pending repair: a cut-off run deleted the file
    Content content;
    bool held = false;  // another program holds it open, in use
    Pending pending = Pending::None;
    Content pendingRepair;  // what a pending repair puts in place at the restart
    int pendingSince = 0;   // when the pending work went on the restart list
    // After a run was cut off, what the disk cannot tell: whether one of this work
    // waits on the list (else none does), and whether work files stand beside the
    // file, until the next run or the restart.
    std::vector<Work> mayWait;
    bool mayHaveWorkFile = false;
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
    CutOff,   // a run over the root, killed at a random moment
    Install,  // another program schedules the deletion or replacement of a file
};

// Another program's entry on the restart list: the program never takes it back.
struct Install {
    int file;
    bool deletes;                      // else the file is replaced by `replacement`
    Content replacement;               // written beside it, as "<name>.new"
    int since;                         // when it went on the list
    std::vector<std::string> entries;  // as the target's list shows it
};

// A file's state after the restart.
struct FileState {
    bool exists;
    Content content;
};

struct Step {
    int index = 0;  // its place in the sequence as drawn, from 1
    Action action = Action::Scan;
    int file = 0;
    FormKind kind = FormKind::Text;  // what an infect or replace writes
    samples::Variant variant = samples::VARIANT_A;
    uint32_t seed = 0;     // draws the text, page or host
    int jobs[2] = {1, 1};  // detection threads of each run (the Linux program)
    bool deletes = false;  // what an install schedules
    double cutAt = 0;      // when a cut-off run is killed, as a share of a run's time
};

Content MakeContent(const Step& step);
// The file another program's replacement puts in place.
Content ReplacementOf(const Step& step);
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
    // Puts in place the repairs a cut-off run left with their files deleted, as the
    // next run does first.
    void FinishCutOffRepairs();
    // The states the file may be in after the restart: one, or (for pending work that
    // may or may not be on the list) several.
    std::vector<FileState> AfterRestart(int file) const;
    FileState Carried(int file, const Work* ours) const;
    // The restart, with each file in the state found among those.
    void Restarted(const std::vector<FileState>& found);

    std::vector<ModelFile> files;
    std::vector<Install> installs;
    int clock = 0;        // counts what goes on the restart list
    bool canHold = true;  // whether another program can hold a file open there
};

// Between 5 and 25 steps, the last one a restart; holds only where `canHold`.
std::vector<Step> DrawSequence(uint32_t seed, bool canHold = true);

// What a run left. The targets throw std::runtime_error when something the test needs
// from the machine fails: no fault of the program tested.
struct RunResult {
    int status = -1;     // -1: it did not end in time
    std::string log;     // empty: it wrote none
    std::string output;  // what the run printed
};

// The Linux tool, or the Windows program under Wine, with a root folder of its own; or
// the Linux tool on a disk image.
class Target {
  public:
    virtual ~Target() = default;
    // The scanned root, by its Unix name: where the checks read the files (for an image,
    // a copy of its folder, made anew after every change).
    virtual std::string Root() const = 0;
    // How the log names a file below the root ("sub/c.eml").
    virtual std::string LogName(const std::string& name) const = 0;
    virtual int ExpectedStatus(int infected, int unopened) const = 0;
    // An empty root (with its folder), nothing held, nothing on the restart list; `seed`
    // draws what a sequence may vary (an image's file system).
    virtual void Reset(uint32_t seed) = 0;
    // Writes the file `name` below the root, as the user does.
    virtual void WriteFile(const std::string& name, const Bytes& bytes);
    // Whether another program can hold a file open (nothing in an image is in use).
    virtual bool CanHold() const { return true; }
    // Whether a run beside another is refused at once (an image's lock), rather than
    // both going on.
    virtual bool OneRunAtATime() const { return false; }
    // What is wrong with what holds the root after a step (an image: its file system, a
    // journal left, its restart list); empty when nothing is.
    virtual std::string VolumeProblems() { return ""; }
    virtual void Hold(const std::string& name) = 0;
    virtual void Release(const std::string& name) = 0;
    // Releases every hold and carries out the restart list: empty, or what failed.
    virtual std::string Restart() = 0;
    // Whether a restart is a run of the program first (over an empty folder): it puts
    // in place the repairs a cut-off run left recorded beside a file it had removed,
    // before the list is carried out, as every run does.
    virtual bool RestartRunsTheProgramFirst() const { return false; }
    // As another program would: puts the deletion of `name`, or the rename of
    // "<name>.new" to it, on the restart list.
    virtual void Schedule(const std::string& name, bool deletes) = 0;
    // The restart list, an entry a line.
    virtual std::vector<std::string> RestartListEntries() = 0;
    // A run over the root, killed after `share` of the time the last run took.
    void CutOffScan(double share);
    // Runs over the root started together, one for each entry of `jobs` (the number of
    // detection threads, where the program has them).
    virtual std::vector<RunResult> Scan(const std::vector<int>& jobs);

  protected:
    // Asked before every run.
    virtual void PrepareScan() {}
    // Asked once the runs of a scan, or a cut-off run (`cut`), have ended.
    virtual void AfterRuns(bool /*cut*/) {}
    // Waits before the cut-off run `pid` is killed: `share` of the time the last run took.
    virtual void WaitToCut(pid_t pid, double share);
    // Starts a run that writes the log `log` (by its Unix name) and prints into `output`.
    virtual pid_t StartScan(int threads, const std::string& log, const std::string& output) = 0;

    double m_lastScanSeconds = 0.05;
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
// `fat`: 16, 32, or 0 for either, drawn for each sequence. Null when mkfs.fat, fsck.fat
// or mtools is missing.
std::unique_ptr<Target> MakeImageTarget(const std::string& program, int fat);

}  // namespace model
