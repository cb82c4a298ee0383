// Heads read ahead come out as the files hold them, both through io_uring and where the
// kernel refuses it (here: a seccomp policy, as a container's), when the reads must fall
// back to one file at a time on each thread.
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <stddef.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

#include "app/linux/head_reads.h"
#include "tests/support/test_files.h"

namespace {

const int kDepth = 8;

// What a child process found wrong: 0 when nothing.
enum Problem { kNone, kPolicyRefused = 10, kNoReads, kWrongDepth, kWrongBytes, kWrongOutcome };

void RefuseIoUring() {
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_io_uring_setup, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (EPERM & SECCOMP_RET_DATA)),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog program = {sizeof filter / sizeof filter[0], filter};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
        prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0)
        _exit(kPolicyRefused);
}

// Files of every length around a head's, and one that is not there.
std::vector<std::string> MakeFiles(const std::string& dir) {
    std::vector<std::string> paths;
    for (size_t length : {0, 1, 64, 4095, 4096, 4097, 20000, 3, 100, 9000}) {
        testfiles::Bytes bytes(length);
        for (size_t i = 0; i < length; ++i) bytes[i] = (unsigned char)(i * 7 + length);
        paths.push_back(testfiles::Join(dir, "f" + std::to_string(paths.size())));
        testfiles::WriteBytes(paths.back(), bytes);
    }
    paths.push_back(testfiles::Join(dir, "missing"));
    return paths;
}

// Reads every head, as many at once as the reads take, and checks each against the file.
Problem ReadAll(HeadReads& reads, const std::vector<std::string>& paths, int expectedDepth) {
    std::vector<Head*> taken;
    while (Head* head = reads.Take()) taken.push_back(head);
    if (int(taken.size()) != expectedDepth) return kWrongDepth;
    for (Head* head : taken) reads.Give(head);
    size_t next = 0, checked = 0;
    std::vector<Head*> done;
    while (checked < paths.size()) {
        for (Head* head; next < paths.size() && (head = reads.Take()); ++next) {
            head->path = paths[next].c_str();
            head->ticket = next;
            reads.Start(head);
        }
        if (!reads.Reading()) return kNoReads;
        done.clear();
        reads.Wait(&done);
        for (Head* head : done) {
            bool exists = testfiles::Exists(head->path);
            if (head->read != exists) return kWrongOutcome;
            if (exists) {
                testfiles::Bytes bytes = testfiles::ReadBytes(head->path);
                size_t expected = std::min<size_t>(bytes.size(), Head::kLength);
                if (size_t(head->got) != expected ||
                    !std::equal(bytes.begin(), bytes.begin() + long(expected), head->bytes))
                    return kWrongBytes;
            }
            reads.Give(head);
            ++checked;
        }
    }
    return kNone;
}

// Runs in a child, so that the policy stays there.
int InChild(bool refuse, const std::vector<std::string>& paths, int expectedDepth) {
    pid_t child = fork();
    if (child == 0) {
        if (refuse) RefuseIoUring();
        _exit(ReadAll(*MakeHeadReads(kDepth, true), paths, expectedDepth));
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(HeadReads, ComeOutAsTheFilesHoldThemWithOrWithoutIoUring) {
    std::vector<std::string> paths = MakeFiles(testfiles::MakeTempDir("head_reads"));
    // The kernel of the machine may refuse io_uring itself: then both fall back.
    std::unique_ptr<HeadReads> probe = MakeHeadReads(kDepth, true);
    std::vector<Head*> taken;
    while (Head* head = probe->Take()) taken.push_back(head);
    int ringDepth = int(taken.size());
    EXPECT_TRUE(ringDepth == kDepth || ringDepth == 1) << ringDepth;
    EXPECT_EQ(InChild(false, paths, ringDepth), kNone);
    EXPECT_EQ(InChild(true, paths, 1), kNone) << "with io_uring refused";
}

}  // namespace
