#include "tests/model/target.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/file.h>
#include <unistd.h>

#include <map>

#include "tests/model/model.h"
#include "tests/model/process.h"

namespace model {
namespace {

const int kRunSeconds = 120;

std::string Backslashed(std::string path) {
    for (char& c : path)
        if (c == '/') c = '\\';
    return path;
}

// --- The Linux tool --------------------------------------------------------------------

// Holds are shared flocks taken by this process; the restart list lies in the folder of
// the sequence, which each reset makes anew.
class NativeTarget : public Target {
  public:
    explicit NativeTarget(const std::string& program)
        : program_(program), work_(MakeTempFolder("torvo-model")) {}
    ~NativeTarget() override {
        ReleaseAll();
        try {
            RemoveTree(work_);
        } catch (const SetupError&) {
        }
    }

    std::string Root() const override { return Sequence() + "/root"; }
    std::string LogName(const std::string& name) const override { return Root() + "/" + name; }
    int ExpectedStatus(int infected, int unopened) const override {
        return infected > 0 ? 1 : unopened > 0 ? 2 : 0;
    }

    void Reset() override {
        ReleaseAll();
        RemoveTree(Sequence());
        for (std::string folder : {"", "/root", "/logs", "/empty"}) MakeFolder(Sequence() + folder);
        MakeFolder(Root() + "/" + kFolder);
    }

    void Hold(const std::string& name) override {
        int fd = open((Root() + "/" + name).c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0 || flock(fd, LOCK_SH | LOCK_NB) != 0)
            throw SetupError("cannot hold " + name + " with a shared flock");
        holds_[name] = fd;
    }

    void Release(const std::string& name) override {
        auto hold = holds_.find(name);
        if (hold == holds_.end()) return;
        close(hold->second);
        holds_.erase(hold);
    }

    std::vector<RunResult> Scan(const std::vector<int>& jobs) override {
        std::vector<std::string> logs;
        std::vector<pid_t> pids;
        for (int threads : jobs) {
            std::string log = Sequence() + "/logs/scan-" + std::to_string(++runs_);
            logs.push_back(log);
            pids.push_back(StartProgram(
                {program_, "/silent", "/log=" + log + ".log", Root()},
                {ListVariable(), "TORVOCLEAN_JOBS=" + std::to_string(threads)}, log + ".out"));
        }
        std::vector<RunResult> results;
        for (size_t run = 0; run < pids.size(); ++run) {
            RunResult result;
            result.status = WaitProgram(pids[run], kRunSeconds);
            result.ended = result.status >= 0;
            result.hasLog = Exists(logs[run] + ".log");
            result.log = ReadText(logs[run] + ".log");
            result.output = ReadText(logs[run] + ".out");
            results.push_back(result);
        }
        return results;
    }

    std::string Restart() override {
        ReleaseAll();
        std::string output = Sequence() + "/logs/restart.out";
        int status = RunProgram({program_, "/silent", "/restart", Sequence() + "/empty"},
                                {ListVariable()}, output, kRunSeconds);
        if (status == 0) return "";
        return "torvoclean /silent /restart ended with status " + std::to_string(status) + ": " +
               ReadText(output);
    }

  private:
    std::string Sequence() const { return work_ + "/sequence"; }
    std::string ListVariable() const {
        return "TORVOCLEAN_RESTART_LIST=" + Sequence() + "/restart-list.ini";
    }
    void ReleaseAll() {
        for (auto& hold : holds_) close(hold.second);
        holds_.clear();
    }

    std::string program_;
    std::string work_;
    std::map<std::string, int> holds_;
    int runs_ = 0;
};

// --- The Windows program under Wine ------------------------------------------------

// The prefix's wineserver stays up between the steps: a new one carries the restart
// list out, so it is stopped only to restart. Holds are e2etool processes.
class WineTarget : public Target {
  public:
    explicit WineTarget(const WineSetup& setup);
    ~WineTarget() override;

    std::string Root() const override { return prefix_ + "/drive_c/model"; }
    std::string LogName(const std::string& name) const override {
        return "c:\\model\\" + Backslashed(name);
    }
    int ExpectedStatus(int, int) const override { return 0; }
    void Reset() override;
    void Hold(const std::string& name) override;
    void Release(const std::string& name) override;
    std::vector<RunResult> Scan(const std::vector<int>& jobs) override;
    std::string Restart() override;

  private:
    struct Holder {
        pid_t pid;
        std::string releaseMarker;
        double since;
    };

    // The marker files of e2etool, by the name Wine gives them.
    static std::string OnDriveZ(const std::string& path) { return "z:" + Backslashed(path); }
    std::string Output(const std::string& what) const { return work_ + "/" + what + ".out"; }
    void RunWine(const std::vector<std::string>& arguments, const std::string& what, int seconds);
    void RestartWine();
    Holder StartHolder(const std::string& name);
    void StopHolder(const Holder& holder, const std::string& name);
    void RenewOldHolds();
    void ReleaseAll();

    WineSetup setup_;
    std::string prefix_;
    std::string server_;
    std::string work_;
    int lock_ = -1;
    std::map<std::string, Holder> holds_;
    int runs_ = 0;
    bool restartNeeded_ = true;
};

const double kHoldRenewal = 60;

WineTarget::WineTarget(const WineSetup& setup)
    : setup_(setup), prefix_(setup.prefixes + "/" + setup.family) {
    server_ = access("/usr/lib/wine/wineserver64", X_OK) == 0 ? "/usr/lib/wine/wineserver64"
                                                              : "wineserver";
    setenv("TORVO_WINE_PREFIXES", setup.prefixes.c_str(), 1);
    setenv("TORVO_WINE_VERSION", setup.family.c_str(), 1);
    setenv("WINEPREFIX", prefix_.c_str(), 1);
    setenv("WINEDEBUG", "-all", 1);
    setenv("WINEDLLOVERRIDES", "mscoree,mshtml=", 1);
    MakeFolder(setup.prefixes);
    // One run at a time in this prefix.
    lock_ = open((setup.prefixes + "/.model-" + setup.family + ".lock").c_str(),
                 O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (lock_ < 0 || flock(lock_, LOCK_EX) != 0) throw SetupError("cannot lock " + setup.prefixes);
    work_ = MakeTempFolder("torvo-model-wine");
    RunWine({setup_.e2etool, "attributes", "c:\\"}, "make-prefix", 600);  // makes the prefix
}

WineTarget::~WineTarget() {
    try {
        ReleaseAll();
        RunProgram({server_, "-k"}, {}, Output("end"), 15);
        RunProgram({server_, "-w"}, {}, Output("end"), 15);
        RemoveTree(work_);
    } catch (const SetupError&) {
    }
    if (lock_ >= 0) close(lock_);
}

void WineTarget::RunWine(const std::vector<std::string>& arguments, const std::string& what,
                         int seconds) {
    std::vector<std::string> argv = {setup_.wineRun};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    int status = RunProgram(argv, {}, Output(what), seconds);
    if (status != 0)
        throw SetupError(arguments[0] + " under Wine ended with status " + std::to_string(status) +
                         ": " + ReadText(Output(what)));
}

// Stopping the wineserver and starting a fresh one is the restart: the first program
// in it finds the restart list carried out. The new server stays up.
void WineTarget::RestartWine() {
    RunProgram({server_, "-k"}, {}, Output("restart"), 15);
    if (RunProgram({server_, "-w"}, {}, Output("restart"), 15) != 0)
        throw SetupError("the wineserver of " + prefix_ + " did not end");
    if (RunProgram({server_, "-p600"}, {}, Output("restart"), 15) != 0)
        throw SetupError("cannot start a wineserver for " + prefix_);
    RunWine({setup_.e2etool, "attributes", "c:\\"}, "restart", kRunSeconds);
    restartNeeded_ = false;
}

void WineTarget::Reset() {
    ReleaseAll();
    if (restartNeeded_) RestartWine();
    RemoveTree(Root());
    MakeFolder(Root());
    MakeFolder(Root() + "/" + kFolder);
}

WineTarget::Holder WineTarget::StartHolder(const std::string& name) {
    std::string marker = work_ + "/hold-" + std::to_string(++runs_);
    pid_t pid =
        StartProgram({setup_.wineRun, setup_.e2etool, "hold", "C:\\model\\" + Backslashed(name),
                      "read", OnDriveZ(marker + ".ready"), OnDriveZ(marker + ".release")},
                     {}, marker + ".out");
    double deadline = SecondsNow() + kRunSeconds;
    int status = 0;
    while (!Exists(marker + ".ready")) {
        if (HasEnded(pid, &status) || SecondsNow() > deadline) {
            kill(-pid, SIGKILL);
            WaitProgram(pid, 15);
            throw SetupError("e2etool could not hold " + name + ": " + ReadText(marker + ".out"));
        }
        SleepMilliseconds(5);
    }
    return Holder{pid, marker + ".release", SecondsNow()};
}

void WineTarget::StopHolder(const Holder& holder, const std::string& name) {
    WriteFile(holder.releaseMarker, Bytes());
    if (WaitProgram(holder.pid, 30) != 0) throw SetupError("e2etool did not let " + name + " go");
}

void WineTarget::Hold(const std::string& name) {
    holds_[name] = StartHolder(name);
}

void WineTarget::Release(const std::string& name) {
    auto hold = holds_.find(name);
    if (hold == holds_.end()) return;
    Holder holder = hold->second;
    holds_.erase(hold);
    StopHolder(holder, name);
}

// e2etool lets a file go after two minutes in any case: a hold that old is taken anew,
// the new holder opening the file before the old one lets it go.
void WineTarget::RenewOldHolds() {
    for (auto& hold : holds_) {
        if (SecondsNow() - hold.second.since < kHoldRenewal) continue;
        Holder old = hold.second;
        hold.second = StartHolder(hold.first);
        StopHolder(old, hold.first);
    }
}

void WineTarget::ReleaseAll() {
    while (!holds_.empty()) Release(holds_.begin()->first);
}

std::vector<RunResult> WineTarget::Scan(const std::vector<int>& jobs) {
    RenewOldHolds();
    restartNeeded_ = true;
    std::vector<int> numbers;
    std::vector<pid_t> pids;
    for (size_t run = 0; run < jobs.size(); ++run) {
        int number = ++runs_;
        numbers.push_back(number);
        std::string log = "C:\\model-" + std::to_string(number) + ".log";
        pids.push_back(
            StartProgram({setup_.wineRun, setup_.program, "/silent", "C:\\model", "/log=" + log},
                         {}, Output("scan-" + std::to_string(number))));
    }
    std::vector<RunResult> results;
    for (size_t run = 0; run < pids.size(); ++run) {
        std::string log = prefix_ + "/drive_c/model-" + std::to_string(numbers[run]) + ".log";
        RunResult result;
        result.status = WaitProgram(pids[run], kRunSeconds);
        result.ended = result.status >= 0;
        result.hasLog = Exists(log);
        result.log = ReadText(log);
        result.output = ReadText(Output("scan-" + std::to_string(numbers[run])));
        unlink(log.c_str());
        results.push_back(result);
    }
    return results;
}

std::string WineTarget::Restart() {
    ReleaseAll();
    RestartWine();
    return "";
}

}  // namespace

std::unique_ptr<Target> MakeNativeTarget(const std::string& program) {
    return std::unique_ptr<Target>(new NativeTarget(program));
}

std::unique_ptr<Target> MakeWineTarget(const WineSetup& setup) {
    return std::unique_ptr<Target>(new WineTarget(setup));
}

}  // namespace model
