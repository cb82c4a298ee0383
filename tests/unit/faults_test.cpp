// Nothing is lost when the work file cannot be written in full: under a file-size limit
// (with SIGXFSZ ignored, so that writes fail instead of ending the process) the infected
// file stays whole and no work file is left behind.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "engine/clean.h"
#include "tests/support/test_files.h"
#include "tools/samplegen/samples.h"

namespace {

using namespace testfiles;

// Runs ScanFile in a child process whose files may not grow beyond `limit` bytes.
ScanOutcome ScanUnderSizeLimit(const std::string& path, rlim_t limit) {
    pid_t child = fork();
    if (child == 0) {
        signal(SIGXFSZ, SIG_IGN);
        rlimit size = {limit, limit};
        setrlimit(RLIMIT_FSIZE, &size);
        const char* label;
        Engine engine(HostPlatform());
        _exit(ScanFile(engine, path.c_str(), &label) + 10);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) - 10 : -100;
}

TEST(Faults, WorkFileThatCannotBeWrittenInFullChangesNothing) {
    std::string dir = MakeTempDir("faults");
    samples::Bytes host = samples::Filler(200000, 3);
    samples::Bytes infected = samples::InfectedExe(samples::VARIANT_A, &host);
    samples::Bytes page = samples::InfectedPage(samples::Filler(300000, 4));
    struct {
        const char* name;
        const samples::Bytes& bytes;
    } cases[] = {{"program.exe", infected}, {"page.htm", page}};
    for (const auto& c : cases) {
        std::string path = Join(dir, c.name);
        WriteBytes(path, c.bytes);
        EXPECT_EQ(ScanUnderSizeLimit(path, 100000), SCAN_CLEAN_FAILED) << c.name;
        EXPECT_TRUE(ReadBytes(path) == c.bytes) << c.name;
        EXPECT_FALSE(Exists(path + ".cln")) << c.name;
    }
}

}  // namespace
