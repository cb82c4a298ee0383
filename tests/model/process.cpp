#include "tests/model/process.h"

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

extern char** environ;

namespace model {
namespace {

std::vector<char*> Pointers(std::vector<std::string>& strings) {
    std::vector<char*> pointers;
    for (std::string& s : strings) pointers.push_back(&s[0]);
    pointers.push_back(nullptr);
    return pointers;
}

// Whether `variables` ("NAME=value") set the variable of `entry`.
bool SetIn(const std::vector<std::string>& variables, const std::string& entry) {
    std::string name = entry.substr(0, entry.find('=') + 1);
    for (const std::string& variable : variables)
        if (variable.compare(0, name.size(), name) == 0) return true;
    return false;
}

// Runs in the child between fork and exec.
[[noreturn]] void ExecChild(std::vector<std::string> argv, std::vector<std::string> environment,
                            const std::string& output) {
    setpgid(0, 0);
    int in = open("/dev/null", O_RDONLY);
    int out = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0) _exit(127);
    dup2(in, 0);
    dup2(out, 1);
    dup2(out, 2);
    std::vector<char*> args = Pointers(argv);
    std::vector<char*> env = Pointers(environment);
    execvpe(args[0], args.data(), env.data());
    _exit(127);
}

void ListInto(const std::string& root, const std::string& below, std::set<std::string>& names) {
    DIR* dir = opendir((root + "/" + below).c_str());
    if (!dir) return;
    while (dirent* entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        std::string path = below.empty() ? name : below + "/" + name;
        struct stat st;
        bool isFolder = lstat((root + "/" + path).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
        names.insert(isFolder ? path + "/" : path);
        if (isFolder) ListInto(root, path, names);
    }
    closedir(dir);
}

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) {
    return remove(path);
}

}  // namespace

pid_t StartProgram(const std::vector<std::string>& argv,
                   const std::vector<std::string>& extraEnvironment, const std::string& output) {
    std::vector<std::string> environment = extraEnvironment;
    for (char** e = environ; *e; ++e)
        if (!SetIn(extraEnvironment, *e)) environment.push_back(*e);
    pid_t pid = fork();
    if (pid < 0) throw SetupError("cannot start " + argv[0]);
    if (pid == 0) ExecChild(argv, environment, output);
    setpgid(pid, pid);
    return pid;
}

bool HasEnded(pid_t pid, int* status) {
    int raw = 0;
    if (waitpid(pid, &raw, WNOHANG) != pid) return false;
    *status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return true;
}

int WaitProgram(pid_t pid, int seconds) {
    int status = -1;
    double deadline = SecondsNow() + seconds;
    while (SecondsNow() < deadline) {
        if (HasEnded(pid, &status)) return status;
        SleepMilliseconds(1);
    }
    kill(-pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return -1;
}

int RunProgram(const std::vector<std::string>& argv,
               const std::vector<std::string>& extraEnvironment, const std::string& output,
               int seconds) {
    return WaitProgram(StartProgram(argv, extraEnvironment, output), seconds);
}

bool ReadFile(const std::string& path, Bytes* bytes) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    bytes->clear();
    unsigned char buffer[65536];
    ssize_t got;
    while ((got = read(fd, buffer, sizeof buffer)) > 0)
        bytes->insert(bytes->end(), buffer, buffer + got);
    close(fd);
    return got == 0;
}

std::string ReadText(const std::string& path) {
    Bytes bytes;
    ReadFile(path, &bytes);
    return std::string(bytes.begin(), bytes.end());
}

void WriteFile(const std::string& path, const Bytes& bytes) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    bool written = fd >= 0 && write(fd, bytes.data(), bytes.size()) == ssize_t(bytes.size());
    if (fd >= 0) written = close(fd) == 0 && written;
    if (!written) throw SetupError("cannot write " + path + ": " + strerror(errno));
}

bool Exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

void MakeFolder(const std::string& path) {
    if (mkdir(path.c_str(), 0755) != 0 && errno != EEXIST)
        throw SetupError("cannot make " + path + ": " + strerror(errno));
}

void RemoveTree(const std::string& path) {
    if (Exists(path)) nftw(path.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
    if (Exists(path)) throw SetupError("cannot remove " + path);
}

std::set<std::string> ListTree(const std::string& root) {
    std::set<std::string> names;
    ListInto(root, "", names);
    return names;
}

std::string MakeTempFolder(const std::string& tag) {
    const char* tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/" + tag + "-XXXXXX";
    if (!mkdtemp(&pattern[0])) throw SetupError("cannot make a folder like " + pattern);
    return pattern;
}

void SleepMilliseconds(int milliseconds) {
    struct timespec pause = {milliseconds / 1000, (milliseconds % 1000) * 1000000L};
    nanosleep(&pause, nullptr);
}

double SecondsNow() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

}  // namespace model
