#include <fcntl.h>
#include <ftw.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <stdexcept>
#include <thread>

#include "platform/rename_section.h"
#include "tests/model/model.h"
#include "tests/support/test_files.h"

namespace model {
namespace {

using std::runtime_error;

const int kRunSeconds = 120;

double SecondsNow() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Starts `argv`, printing into the file `output`, in a process group of its own.
pid_t Start(std::vector<std::string> argv, const std::string& output) {
    pid_t pid = fork();
    if (pid < 0) throw runtime_error("cannot start " + argv[0]);
    if (pid > 0) {
        setpgid(pid, pid);
        return pid;
    }
    setpgid(0, 0);
    int out = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0) _exit(127);
    dup2(out, 1);
    dup2(out, 2);
    std::vector<char*> args;
    for (std::string& arg : argv) args.push_back(&arg[0]);
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
}

// The exit status (128 + the signal that ended it), or -1 when it still runs after
// `seconds`.
int Wait(pid_t pid, double seconds) {
    int raw = 0;
    for (double deadline = SecondsNow() + seconds; waitpid(pid, &raw, WNOHANG) != pid;) {
        if (SecondsNow() > deadline) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
}

// As Wait, and a program still running then is killed, with its process group.
int WaitOrKill(pid_t pid, double seconds) {
    int status = Wait(pid, seconds);
    if (status < 0) {
        kill(-pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    return status;
}

int Run(const std::vector<std::string>& argv, const std::string& output, int seconds) {
    return WaitOrKill(Start(argv, output), seconds);
}

std::string ReadText(const std::string& path) {
    Bytes bytes = testfiles::Exists(path) ? testfiles::ReadBytes(path) : Bytes();
    return std::string(bytes.begin(), bytes.end());
}

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) {
    return remove(path);
}

// Removes `path` and makes `folders` anew.
void MakeAnew(const std::string& path, const std::vector<std::string>& folders) {
    if (testfiles::Exists(path)) nftw(path.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
    if (testfiles::Exists(path)) throw runtime_error("cannot remove " + path);
    for (const std::string& folder : folders) {
        testfiles::MakeDir(folder);
        if (!testfiles::Exists(folder)) throw runtime_error("cannot make " + folder);
    }
}

std::string Backslashed(std::string path) {
    for (char& c : path)
        if (c == '/') c = '\\';
    return path;
}

// Holds are shared flocks taken by this process; the restart list lies in the folder
// of the sequence, which each reset makes anew.
class NativeTarget : public Target {
  public:
    explicit NativeTarget(const std::string& program)
        : program_(program), work_(testfiles::MakeTempDir("model")) {
        setenv("TORVOCLEAN_RESTART_LIST", List().c_str(), 1);
    }
    ~NativeTarget() override {
        holds_.clear();
        nftw(work_.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
    }

    std::string Root() const override { return Sequence() + "/root"; }
    std::string LogName(const std::string& name) const override { return Root() + "/" + name; }
    int ExpectedStatus(int infected, int unopened) const override {
        return infected > 0 ? 1 : unopened > 0 ? 2 : 0;
    }

    void Reset() override {
        holds_.clear();
        MakeAnew(Sequence(), {Sequence(), Root(), Root() + "/" + kFolder, Empty()});
    }
    void Hold(const std::string& name) override {
        holds_[name].reset(new testfiles::HeldOpen(Root() + "/" + name, true));
    }
    void Release(const std::string& name) override { holds_.erase(name); }

    std::string Restart() override {
        holds_.clear();
        std::string output = Sequence() + "/restart.out";
        int status = Run({program_, "/silent", "/restart", Empty()}, output, kRunSeconds);
        std::string printed = ReadText(output);
        if (status == 0) return "";
        return "/restart ended with status " + std::to_string(status) + ": " +
               printed.substr(0, printed.find_last_not_of('\n') + 1);
    }

    // The list is the program's own file here: another program adds its lines to it (a
    // rename that replaces, as MoveFileEx's with MOVEFILE_REPLACE_EXISTING).
    void Schedule(const std::string& name, bool deletes) override {
        std::string file = Root() + "/" + name, text = ReadText(List());
        std::vector<RenameEntry> entries = ReadRenameEntries(text);
        entries.push_back({deletes ? "NUL" : "!" + file, deletes ? file : file + ".new"});
        testfiles::Bytes bytes;
        for (char c : ReplaceRenameEntries(text, entries))
            bytes.push_back(static_cast<unsigned char>(c));
        testfiles::WriteBytes(List() + ".installer", bytes);
        if (rename((List() + ".installer").c_str(), List().c_str()) != 0)
            throw runtime_error("cannot write " + List());
    }
    std::vector<std::string> RestartListEntries() override {
        std::vector<std::string> lines;
        for (const RenameEntry& entry : ReadRenameEntries(ReadText(List())))
            lines.push_back(entry.key + "=" + entry.value);
        return lines;
    }

  protected:
    pid_t StartScan(int threads, const std::string& log, const std::string& output) override {
        setenv("TORVOCLEAN_JOBS", std::to_string(threads).c_str(), 1);
        return Start({program_, "/silent", "/log=" + log, Root()}, output);
    }

  private:
    std::string Sequence() const { return work_ + "/sequence"; }
    std::string List() const { return Sequence() + "/restart-list.ini"; }
    std::string Empty() const { return Sequence() + "/empty"; }

    std::string program_;
    std::string work_;
    std::map<std::string, std::unique_ptr<testfiles::HeldOpen>> holds_;
};

// e2etool lets a file go after two minutes in any case: a hold this old is taken anew.
const double kHoldRenewal = 60;

// The prefix's wineserver stays up between the steps (-p): a new one carries the
// restart list out, so it is stopped only to restart. Holds are e2etool processes.
class WineTarget : public Target {
  public:
    explicit WineTarget(const WineSetup& setup)
        : setup_(setup), prefix_(setup.prefixes + "/" + setup.family) {
        setenv("TORVO_WINE_PREFIXES", setup.prefixes.c_str(), 1);
        setenv("TORVO_WINE_VERSION", setup.family.c_str(), 1);
        setenv("WINEPREFIX", prefix_.c_str(), 1);
        testfiles::MakeDir(setup.prefixes);
        // One test at a time in this prefix.
        lock_ = open((setup.prefixes + "/.model-" + setup.family + ".lock").c_str(),
                     O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (lock_ < 0 || flock(lock_, LOCK_EX) != 0)
            throw runtime_error("cannot lock " + setup.prefixes);
        work_ = testfiles::MakeTempDir("model-wine");
        RunWine({setup_.e2etool, "attributes", "c:\\"}, 600);  // makes the prefix
    }
    ~WineTarget() override {
        try {
            ReleaseAll();
            StopServer();
        } catch (const std::exception&) {
        }
        nftw(work_.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
        close(lock_);
    }

    std::string Root() const override { return prefix_ + "/drive_c/model"; }
    std::string LogName(const std::string& name) const override {
        return "c:\\model\\" + Backslashed(name);
    }
    int ExpectedStatus(int, int) const override { return 0; }

    void Reset() override {
        ReleaseAll();
        if (restartNeeded_) Restart();
        MakeAnew(Root(), {Root(), Root() + "/" + kFolder});
    }
    void Hold(const std::string& name) override {
        std::string marker = work_ + "/hold-" + std::to_string(++holders_);
        pid_t pid =
            Start({setup_.wineRun, setup_.e2etool, "hold", LogName(name), "read",
                   "z:" + Backslashed(marker + ".ready"), "z:" + Backslashed(marker + ".release")},
                  marker + ".out");
        double deadline = SecondsNow() + kRunSeconds;
        while (!testfiles::Exists(marker + ".ready")) {
            if (Wait(pid, 0.005) >= 0 || SecondsNow() > deadline) {
                WaitOrKill(pid, 0);
                throw runtime_error("e2etool could not hold " + name + ": " +
                                    ReadText(marker + ".out"));
            }
        }
        holds_[name] = Holder{pid, marker + ".release", SecondsNow()};
    }

    void Release(const std::string& name) override {
        auto hold = holds_.find(name);
        if (hold == holds_.end()) return;
        Holder holder = hold->second;
        holds_.erase(hold);
        StopHolder(holder, name);
    }

    // A fresh wineserver is the restart: its first program finds the restart list
    // carried out. The new server stays up.
    std::string Restart() override {
        ReleaseAll();
        StopServer();
        if (Run({Server(), "-p600"}, Output(), 15) != 0)
            throw runtime_error("cannot start a wineserver for " + prefix_);
        RunWine({setup_.e2etool, "attributes", "c:\\"}, kRunSeconds);
        restartNeeded_ = false;
        return "";
    }

    void Schedule(const std::string& name, bool deletes) override {
        if (deletes)
            RunWine({setup_.e2etool, "schedule", LogName(name)}, kRunSeconds);
        else
            RunWine({setup_.e2etool, "schedule", LogName(name) + ".new", LogName(name)},
                    kRunSeconds);
    }
    std::vector<std::string> RestartListEntries() override {
        RunWine({setup_.e2etool, "pending"}, kRunSeconds);
        std::vector<std::string> lines;
        std::string text = ReadText(Output());
        for (size_t at = 0, end; at < text.size(); at = end + 1) {
            end = text.find('\n', at);
            if (end == std::string::npos) end = text.size();
            if (end > at) lines.push_back(text.substr(at, end - at));
        }
        return lines;
    }

  protected:
    void PrepareScan() override {
        for (auto& hold : holds_) {
            if (SecondsNow() - hold.second.since < kHoldRenewal) continue;
            Holder old = hold.second;
            Hold(hold.first);  // opens the file before the old one lets go
            StopHolder(old, hold.first);
        }
        restartNeeded_ = true;
    }

    pid_t StartScan(int, const std::string& log, const std::string& output) override {
        return Start({setup_.wineRun, setup_.program, "/silent", "C:\\model",
                      "/log=C:\\model" + log.substr(Root().size())},
                     output);
    }

  private:
    struct Holder {
        pid_t pid;
        std::string releaseMarker;
        double since;
    };

    static std::string Server() {
        const char* server = "/usr/lib/wine/wineserver64";
        return access(server, X_OK) == 0 ? server : "wineserver";
    }
    std::string Output() const { return work_ + "/wine.out"; }

    void RunWine(const std::vector<std::string>& arguments, int seconds) {
        std::vector<std::string> argv = {setup_.wineRun};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        int status = Run(argv, Output(), seconds);
        if (status != 0)
            throw runtime_error(arguments[0] + " under Wine ended with status " +
                                std::to_string(status) + ": " + ReadText(Output()));
    }

    void StopServer() {
        Run({Server(), "-k"}, Output(), 15);
        if (Run({Server(), "-w"}, Output(), 15) != 0)
            throw runtime_error("the wineserver of " + prefix_ + " did not end");
    }

    void StopHolder(const Holder& holder, const std::string& name) {
        testfiles::WriteBytes(holder.releaseMarker, {});
        if (WaitOrKill(holder.pid, 30) != 0)
            throw runtime_error("e2etool did not let " + name + " go");
    }

    void ReleaseAll() {
        while (!holds_.empty()) Release(holds_.begin()->first);
    }

    WineSetup setup_;
    std::string prefix_;
    std::string work_;
    int lock_ = -1;
    std::map<std::string, Holder> holds_;
    int holders_ = 0;
    bool restartNeeded_ = true;
};

}  // namespace

std::vector<RunResult> Target::Scan(const std::vector<int>& jobs) {
    static int runs = 0;
    PrepareScan();
    std::vector<std::string> names;  // of each run's log and output, beside the root
    std::vector<pid_t> pids;
    double start = SecondsNow();
    for (int threads : jobs) {
        names.push_back(Root() + "-scan-" + std::to_string(++runs));
        unlink((names.back() + ".log").c_str());  // left by a run of this test that was killed
        pids.push_back(StartScan(threads, names.back() + ".log", names.back() + ".out"));
    }
    std::vector<RunResult> results(pids.size());
    for (size_t run = 0; run < pids.size(); ++run) {
        results[run].status = WaitOrKill(pids[run], kRunSeconds);
        results[run].log = ReadText(names[run] + ".log");
        results[run].output = ReadText(names[run] + ".out");
        unlink((names[run] + ".log").c_str());
        unlink((names[run] + ".out").c_str());
    }
    if (jobs.size() == 1) m_lastScanSeconds = SecondsNow() - start;
    return results;
}

// The run and everything it started (under Wine, the program's loader) are killed.
void Target::CutOffScan(double share) {
    PrepareScan();
    const std::string name = Root() + "-cut";
    pid_t pid = StartScan(1, name + ".log", name + ".out");
    std::this_thread::sleep_for(std::chrono::duration<double>(share * m_lastScanSeconds));
    kill(-pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    unlink((name + ".log").c_str());
    unlink((name + ".out").c_str());
}

std::unique_ptr<Target> MakeNativeTarget(const std::string& program) {
    return std::unique_ptr<Target>(new NativeTarget(program));
}

std::unique_ptr<Target> MakeWineTarget(const WineSetup& setup) {
    return std::unique_ptr<Target>(new WineTarget(setup));
}

}  // namespace model
