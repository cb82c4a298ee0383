#include <fcntl.h>
#include <ftw.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <regex>
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

    void Reset(uint32_t) override {
        holds_.clear();
        MakeAnew(Sequence(), {Sequence(), Root(), Root() + "/" + kFolder, Empty()});
    }
    void Hold(const std::string& name) override {
        holds_[name].reset(new testfiles::HeldOpen(Root() + "/" + name, true));
    }
    void Release(const std::string& name) override { holds_.erase(name); }

    bool RestartRunsTheProgramFirst() const override { return true; }
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
    // Three threads read as where the kernel refuses io_uring: one file at a time on each
    // thread, with threads added while reads wait (here: always).
    pid_t StartScan(int threads, const std::string& log, const std::string& output) override {
        setenv("TORVOCLEAN_JOBS", std::to_string(threads).c_str(), 1);
        setenv("TORVOCLEAN_READ_AHEAD", threads == 3 ? "threads,slow" : "", 1);
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

    void Reset(uint32_t) override {
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

const char kImageFolder[] = "model";  // the root, inside the image
const char kWininit[] = "::/WINDOWS/WININIT.INI";

std::string Capitals(std::string text) {
    for (char& c : text) c = char(toupper(static_cast<unsigned char>(c)));
    return text;
}

// Gives every name below `folder` (on the host) in small letters, and records what
// each was, by the path below `folder` ("model/sub/c.eml": "MODEL/SUB/C.EML").
void NameInSmallLetters(const std::string& folder, std::map<std::string, std::string>& names,
                        const std::string& small = "", const std::string& was = "") {
    for (const std::string& name : testfiles::ListDir(folder)) {
        std::string lower = name;
        for (char& c : lower) c = char(tolower(static_cast<unsigned char>(c)));
        names[small + lower] = was + name;
        if (lower != name) rename((folder + "/" + name).c_str(), (folder + "/" + lower).c_str());
        struct stat st;
        if (stat((folder + "/" + lower).c_str(), &st) == 0 && S_ISDIR(st.st_mode))
            NameInSmallLetters(folder + "/" + lower, names, small + lower + "/", was + name + "/");
    }
}

bool OnPath(const std::string& tool) {
    const char* path = getenv("PATH");
    std::string folders = path ? path : "";
    for (size_t at = 0, end; at <= folders.size(); at = end + 1) {
        end = folders.find(':', at);
        if (end == std::string::npos) end = folders.size();
        if (access((folders.substr(at, end - at) + "/" + tool).c_str(), X_OK) == 0) return true;
    }
    return false;
}

// The Linux tool on a raw disk image without a partition table: a FAT16 or FAT32
// volume, made afresh for each sequence, whose Windows (95 family) keeps its restart
// list in WINDOWS\WININIT.INI. The root is its folder MODEL. The files are written
// with mtools, their names in capitals (as DOS gives them) or in small letters (short
// names with Windows NT's case bits, or long names), and after every change the folder
// is copied out (its names in small letters, as the model has them) for the checks to
// read. Nothing in an image is in use, and the restart is the list carried out as the
// Windows 95 family does, by mtools: a file renamed there has its short name.
class ImageTarget : public Target {
  public:
    ImageTarget(const std::string& program, int fat)
        : program_(program), fat_(fat), work_(testfiles::MakeTempDir("model-image")) {
        setenv("MTOOLS_SKIP_CHECK", "1", 1);
        setenv("MTOOLSRC", "/dev/null", 1);
    }
    ~ImageTarget() override {
        nftw(work_.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
        printf("model_test: %d runs cut off, %d left a change to roll back\n", cuts_, rollbacks_);
    }

    std::string Root() const override { return Sequence() + "/" + kImageFolder; }
    // The file's name as the image held it when the run began.
    std::string LogName(const std::string& name) const override {
        const std::string path = std::string(kImageFolder) + "/" + name;
        auto was = logNames_.find(path);
        return Image() + "//" + (was != logNames_.end() ? was->second : Cased(path));
    }
    int ExpectedStatus(int infected, int unopened) const override {
        return infected > 0 ? 1 : unopened > 0 ? 2 : 0;
    }
    bool CanHold() const override { return false; }
    bool OneRunAtATime() const override { return true; }

    // FAT16 in clusters of one, two or four sectors, or FAT32 in clusters of one.
    void Reset(uint32_t seed) override {
        int fat = fat_ ? fat_ : seed % 2 ? 16 : 32;
        std::string cluster = std::to_string(fat == 16 ? 1 << (seed / 2 % 3) : 1);
        capitals_ = seed / 6 % 2 == 0;
        MakeAnew(Sequence(), {Sequence()});
        int image = open(Image().c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        bool sized = image >= 0 && ftruncate(image, (fat == 16 ? 16 : 40) << 20) == 0;
        if (image >= 0) close(image);
        if (!sized) throw runtime_error("cannot make " + Image());
        Must({"mkfs.fat", "-F", std::to_string(fat), "-s", cluster, Image()});
        Must({"mmd", "-i", Image(), "::/WINDOWS", InImage(""), InImage(kFolder)});
        Put("::/WINDOWS/WIN.COM", "the Windows of this image\r\n");
        Put(kWininit, "[rename]\r\n");
        scheduled_.clear();
        CopyOut();
    }

    void WriteFile(const std::string& name, const Bytes& bytes) override {
        Put(InImage(name), std::string(bytes.begin(), bytes.end()));
        CopyOut();
    }
    void Hold(const std::string&) override {
        throw std::logic_error("no file of an image is held");
    }
    void Release(const std::string&) override {
        throw std::logic_error("no file of an image is held");
    }

    // Each entry in turn: "NUL=F" deletes F, "D=S" deletes D and gives S its name; an
    // entry whose file is missing is passed over. The list becomes WININIT.BAK.
    std::string Restart() override {
        std::string text;
        bool listed = Get(kWininit, &text);
        for (const RenameEntry& entry : ReadRenameEntries(text)) {
            bool deletes = Capitals(entry.key) == "NUL";
            Tool({"mdel", "-i", Image(), OnVolume(deletes ? entry.value : entry.key)});
            if (!deletes)
                Tool({"mmove", "-i", Image(), OnVolume(entry.value), OnVolume(entry.key)});
        }
        scheduled_.clear();
        if (listed) {
            Tool({"mdel", "-i", Image(), "::/WINDOWS/WININIT.BAK"});
            Must({"mmove", "-i", Image(), kWininit, "::/WINDOWS/WININIT.BAK"});
        }
        CopyOut();
        return "";
    }

    // As an installer of the 95 family writes it: short names, a missing list made.
    void Schedule(const std::string& name, bool deletes) override {
        std::string text;
        Get(kWininit, &text);
        std::vector<RenameEntry> entries = ReadRenameEntries(text);
        std::string file = ShortName(name);
        entries.push_back({deletes ? "NUL" : file, deletes ? file : ShortName(name + ".new")});
        Put(kWininit, ReplaceRenameEntries(text, entries));
        scheduled_.push_back(entries.back().key + "=" + entries.back().value);
    }
    std::vector<std::string> RestartListEntries() override {
        std::string text;
        Get(kWininit, &text);
        std::vector<std::string> lines;
        for (const RenameEntry& entry : ReadRenameEntries(text))
            lines.push_back(entry.key + "=" + entry.value);
        return lines;
    }

    // fsck.fat -n prints its first line and its summary, and nothing else, and no journal
    // is left beside the image.
    std::string VolumeProblems() override {
        std::string problems = problems_, printed;
        problems_.clear();
        if (testfiles::Exists(Journal())) problems += "a run left the journal beside the image\n";
        int status = Tool({"fsck.fat", "-n", Image()}, &printed);
        std::vector<std::string> lines;
        for (size_t at = 0, end; at < printed.size(); at = end + 1) {
            end = printed.find('\n', at);
            if (end == std::string::npos) end = printed.size();
            lines.push_back(printed.substr(at, end - at));
        }
        static const std::regex summary(".*: [0-9]+ files, [0-9]+/[0-9]+ clusters");
        bool sound = status == 0 && lines.size() == 2 && lines[0].rfind("fsck.fat ", 0) == 0 &&
                     std::regex_match(lines[1], summary);
        if (!sound)
            problems += "fsck.fat -n ended with status " + std::to_string(status) + ":\n" + printed;
        return problems;
    }

  protected:
    void PrepareScan() override { logNames_ = names_; }
    // A run killed at a time drawn is seldom within a change: half the cut-off runs are
    // killed the moment one of their changes begins to reach the image (its journal is
    // there), if one does before they end.
    void WaitToCut(pid_t pid, double share) override {
        if (share < 0.6) return Target::WaitToCut(pid, share);
        siginfo_t ended = {};
        for (double deadline = SecondsNow() + kRunSeconds;
             !testfiles::Exists(Journal()) && SecondsNow() < deadline;) {
            if (waitid(P_PID, id_t(pid), &ended, WEXITED | WNOHANG | WNOWAIT) == 0 && ended.si_pid)
                return;
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    }
    pid_t StartScan(int threads, const std::string& log, const std::string& output) override {
        setenv("TORVOCLEAN_JOBS", std::to_string(threads).c_str(), 1);
        return Start({program_, "--images", "--log=" + log, Image()}, output);
    }

    // A run cut off in a change leaves the image half changed, and the journal beside
    // it: the next run rolls it back before anything else. Before the user's next step
    // a run that looks at no file does so. The restart list holds what other programs
    // put there, and nothing else: nothing waits in an image.
    void AfterRuns(bool cut) override {
        cuts_ += cut;
        if (cut && testfiles::Exists(Journal())) {
            ++rollbacks_;
            const std::string output = Sequence() + "/rollback.out";
            int status = Run({program_, "--images", "--exclude=*",
                              "--log=" + Sequence() + "/rollback.log", Image()},
                             output, kRunSeconds);
            std::string printed = ReadText(output);
            if (status != 0 || printed.find("it was rolled back") == std::string::npos ||
                testfiles::Exists(Journal()))
                problems_ += "the run after the cut ended with status " + std::to_string(status) +
                             " and printed:\n" + printed;
        }
        std::vector<std::string> listed = RestartListEntries();
        if (listed != scheduled_) {
            problems_ += "the restart list holds:\n";
            for (const std::string& line : listed) problems_ += line + "\n";
        }
        CopyOut();
    }

  private:
    std::string Sequence() const { return work_ + "/sequence"; }
    std::string Image() const { return Sequence() + "/disk.img"; }
    std::string Journal() const { return Image() + ".torvoclean-journal"; }
    std::string Output() const { return Sequence() + "/tool.out"; }
    std::string Cased(const std::string& path) const { return capitals_ ? Capitals(path) : path; }
    // "::/MODEL/SUB/C.EML", for mtools; the root for "".
    std::string InImage(const std::string& name) const {
        return "::/" + Cased(kImageFolder + (name.empty() ? "" : "/" + name));
    }
    // "::/MODEL/A.HTM" for "C:\MODEL\A.HTM" on the list.
    static std::string OnVolume(const std::string& listed) {
        std::string path = "::" + listed.substr(2);
        for (char& c : path)
            if (c == '\\') c = '/';
        return path;
    }

    // The status of an mtools or dosfstools command, and what it printed.
    int Tool(const std::vector<std::string>& argv, std::string* printed = nullptr) {
        int status = Run(argv, Output(), kRunSeconds);
        if (printed) *printed = ReadText(Output());
        return status;
    }
    void Must(const std::vector<std::string>& argv) {
        std::string printed;
        int status = Tool(argv, &printed);
        if (status != 0)
            throw runtime_error(argv[0] + " ended with status " + std::to_string(status) + ": " +
                                printed);
    }
    void Put(const std::string& path, const std::string& text) {
        const std::string file = Sequence() + "/put";
        testfiles::WriteBytes(file, Bytes(text.begin(), text.end()));
        Must({"mcopy", "-o", "-i", Image(), file, path});
    }
    // False when the file is missing from the image.
    bool Get(const std::string& path, std::string* text) {
        const std::string file = Sequence() + "/get";
        unlink(file.c_str());
        bool copied = Tool({"mcopy", "-n", "-i", Image(), path, file}) == 0;
        *text = copied ? ReadText(file) : "";
        return copied;
    }
    // "C:\MODEL\AHTM~1.NEW" for "a.htm.new".
    std::string ShortName(const std::string& name) {
        std::string printed;
        if (Tool({"mshortname", "-i", Image(), InImage(name)}, &printed) != 0 ||
            printed.rfind("::/", 0) != 0)
            throw runtime_error("mshortname cannot tell the short name of " + name + ": " +
                                printed);
        std::string path = "C:" + printed.substr(2, printed.find_last_not_of("\r\n") - 1);
        for (char& c : path)
            if (c == '/') c = '\\';
        return path;
    }
    // The root as the image holds it, for the checks; none when the folder is gone.
    void CopyOut() {
        const std::string copies = Sequence() + "/copies";
        MakeAnew(Root(), {});
        MakeAnew(copies, {copies});
        names_.clear();
        if (Tool({"mcopy", "-s", "-n", "-i", Image(), InImage(""), copies + "/"}) != 0) return;
        NameInSmallLetters(copies, names_);
        if (rename((copies + "/" + kImageFolder).c_str(), Root().c_str()) != 0)
            throw runtime_error("cannot copy the root out of " + Image());
    }

    std::string program_;
    int fat_;
    std::string work_;
    bool capitals_ = true;  // the user's names
    // The names below the root in the image, by their names in small letters, as the
    // last copy found them and as the last run found them.
    std::map<std::string, std::string> names_, logNames_;
    std::string problems_;                // what the runs of the last step left wrong
    std::vector<std::string> scheduled_;  // the entries of other programs, in order
    int cuts_ = 0, rollbacks_ = 0;
};

}  // namespace

void Target::WriteFile(const std::string& name, const Bytes& bytes) {
    testfiles::WriteBytes(Root() + "/" + name, bytes);
}

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
    AfterRuns(false);
    return results;
}

void Target::WaitToCut(pid_t, double share) {
    std::this_thread::sleep_for(std::chrono::duration<double>(share * m_lastScanSeconds));
}

// The run and everything it started (under Wine, the program's loader) are killed.
void Target::CutOffScan(double share) {
    PrepareScan();
    const std::string name = Root() + "-cut";
    pid_t pid = StartScan(1, name + ".log", name + ".out");
    WaitToCut(pid, share);
    kill(-pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    unlink((name + ".log").c_str());
    unlink((name + ".out").c_str());
    AfterRuns(true);
}

std::unique_ptr<Target> MakeNativeTarget(const std::string& program) {
    return std::unique_ptr<Target>(new NativeTarget(program));
}

std::unique_ptr<Target> MakeWineTarget(const WineSetup& setup) {
    return std::unique_ptr<Target>(new WineTarget(setup));
}

std::unique_ptr<Target> MakeImageTarget(const std::string& program, int fat) {
    const char* path = getenv("PATH");
    setenv("PATH", (std::string(path ? path : "/usr/bin:/bin") + ":/usr/sbin:/sbin").c_str(), 1);
    for (const char* tool : {"mkfs.fat", "fsck.fat", "mcopy", "mmd", "mdel", "mmove", "mshortname"})
        if (!OnPath(tool)) return nullptr;
    return std::unique_ptr<Target>(new ImageTarget(program, fat));
}

}  // namespace model
