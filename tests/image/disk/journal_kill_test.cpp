// A run killed at any moment of its changes leaves the image, once opened again, as it
// was before a Flush or after it, byte for byte. journal_writer is killed before each
// of its system calls that may change a file or send a request to qemu-nbd (strace's
// fault injection), in turn; the next open rolls back what the journal holds.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <fstream>
#include <map>
#include <sstream>

#include "tests/image/disk/disk_test_support.h"
#include "tests/image/disk/journal_changes.h"

using namespace disktest;

namespace {

constexpr uint64_t kDiskSize = 2 * 1024 * 1024;
const char kCalls[] = "openat,write,pwrite64,fsync,fdatasync,unlink,unlinkat,sendto,sendmsg";

struct KillPoint {
    std::string call;
    int when;  // the call's number among those of its name
};

// The kill points of a whole run: every traced call but read-only opens and read
// requests to qemu-nbd (killing before one leaves what killing before the next call
// does). The trace shows sent bytes in hexadecimal: a request is the magic 25609513,
// flags, and its type (0 for a read).
std::vector<KillPoint> KillPointsOf(const std::string& image, const std::string& trace) {
    Shell("strace -qq -xx -o " + Quote(trace) + " -e trace=" + kCalls + " " + JOURNAL_WRITER +
          " change " + Quote(image));
    std::vector<KillPoint> points;
    std::map<std::string, int> seen;
    Bytes traced = ReadFile(trace);
    std::istringstream lines(std::string(traced.begin(), traced.end()));
    for (std::string line; std::getline(lines, line);) {
        std::string call = line.substr(0, line.find('('));
        if (call.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789_") != std::string::npos)
            continue;
        int when = ++seen[call];
        bool readOnlyOpen = call == "openat" && line.find("O_WRONLY") == std::string::npos &&
                            line.find("O_RDWR") == std::string::npos;
        bool readRequest =
            line.find("\"\\x25\\x60\\x95\\x13\\x00\\x00\\x00\\x00") != std::string::npos;
        if (!readOnlyOpen && !readRequest) points.push_back(KillPoint{call, when});
    }
    return points;
}

// Runs a program without a shell, its output thrown away: its exit status, or 128 and
// the signal that killed it.
int Spawn(const std::vector<std::string>& command) {
    std::vector<char*> argv;
    for (const std::string& word : command) argv.push_back(const_cast<char*>(word.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid;
    int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) return -1;
    int status;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// The processes whose parent is `parent`, from /proc/PID/stat ("PID (NAME) STATE PPID").
std::vector<pid_t> ChildrenOf(pid_t parent) {
    std::vector<pid_t> children;
    DIR* proc = opendir("/proc");
    while (struct dirent* entry = proc ? readdir(proc) : nullptr) {
        std::ifstream stat(std::string("/proc/") + entry->d_name + "/stat");
        std::string line;
        if (!std::getline(stat, line) || line.rfind(')') == std::string::npos) continue;
        std::istringstream fields(line.substr(line.rfind(')') + 1));
        std::string state;
        pid_t ppid = 0;
        if (fields >> state >> ppid && ppid == parent)
            children.push_back(pid_t(atoi(entry->d_name)));
    }
    if (proc) closedir(proc);
    return children;
}

// Waits for the qemu-nbd that a killed writer left behind (an orphan, which comes to
// this process, a subreaper): the image's lock is free once it is gone. It ends when
// its client does; one still there after ten seconds is a failure, and is ended.
void ReapOrphans() {
    for (int tries = 0; tries < 1000; ++tries) {
        pid_t pid = waitpid(-1, nullptr, WNOHANG);
        if (pid < 0 && errno == ECHILD) return;
        if (pid == 0) usleep(10000);
    }
    ADD_FAILURE() << "a qemu-nbd outlived its client";
    for (pid_t child : ChildrenOf(getpid())) kill(child, SIGTERM);
    while (waitpid(-1, nullptr, 0) > 0 || errno == EINTR) {
    }
}

class JournalKillTest : public ::testing::TestWithParam<const char*> {
  protected:
    void SetUp() override {
        std::string output;
        if (ShellStatus("strace -qq -o /dev/null true 2>&1", &output) != 0)
            GTEST_SKIP() << "strace cannot trace here: " << output;
        ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    }

    // What the disk in `image` holds.
    Bytes Content(const std::string& image) {
        return std::string(GetParam()).empty() ? ReadFile(image)
                                               : DiskContent(image, m_dir.File("content"));
    }

    TempDir m_dir;
};

TEST_P(JournalKillTest, EveryKillLeavesTheStateBeforeOrAfterAFlush) {
    std::string raw = m_dir.File("raw.img");
    MakePartitionedDisk(raw, kDiskSize, "label: dos\nstart=2048, type=6\n");
    Patch(raw, 2048 * 512, Pattern(512 * 1024, 9));
    std::string base = m_dir.File("base");
    if (*GetParam()) {
        Shell("qemu-img convert -f raw " + std::string(GetParam()) + " " + Quote(raw) + " " +
              Quote(base));
    } else {
        Shell("cp " + Quote(raw) + " " + Quote(base));
    }
    std::vector<Bytes> states = {Content(base)};
    for (int round = 1; round <= journaltest::kRounds; ++round) {
        states.push_back(states.back());
        journaltest::Apply(journaltest::RoundChanges(round, kDiskSize), &states.back());
    }

    std::string image = m_dir.File("image");
    Shell("cp " + Quote(base) + " " + Quote(image));
    std::vector<KillPoint> points = KillPointsOf(image, m_dir.File("trace"));
    ASSERT_TRUE(Content(image) == states.back());
    std::vector<int> reached(states.size());
    Bytes baseFile = ReadFile(base);
    for (const KillPoint& point : points) {
        SCOPED_TRACE("killed before " + point.call + " " + std::to_string(point.when));
        WriteFile(image, baseFile);
        std::string inject = point.call + ":signal=KILL:when=" + std::to_string(point.when);
        EXPECT_EQ(Spawn({"strace", "-qq", "-o", "/dev/null", "-e", "trace=" + point.call, "-e",
                         "inject=" + inject, JOURNAL_WRITER, "change", image}),
                  128 + SIGKILL);
        ReapOrphans();
        EXPECT_EQ(Spawn({JOURNAL_WRITER, "open", image}), 0);
        EXPECT_NE(access((image + ".torvoclean-journal").c_str(), F_OK), 0);
        Bytes content = Content(image);
        size_t state = 0;
        while (state < states.size() && content != states[state]) ++state;
        EXPECT_LT(state, states.size()) << "the image is in none of the states of the run";
        if (state < states.size()) ++reached[state];
    }
    for (size_t state = 0; state < states.size(); ++state)
        EXPECT_GT(reached[state], 0) << "no kill left state " << state;
}

INSTANTIATE_TEST_SUITE_P(Formats, JournalKillTest, ::testing::Values("", "-O qcow2"),
                         [](const ::testing::TestParamInfo<const char*>& format) {
                             return *format.param ? std::string("qcow2") : std::string("raw");
                         });

}  // namespace
