#include "tests/image/shell.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <cstdio>
#include <vector>

namespace imagetest {

TempDir::TempDir(const std::string& prefix, const char* keep) : m_keep(keep) {
    const char* base = getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/" + prefix + ".XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (!mkdtemp(name.data())) ADD_FAILURE() << "mkdtemp " << pattern;
    m_path = name.data();
}

TempDir::~TempDir() {
    if (!getenv(m_keep)) Shell("rm -rf " + Quote(m_path));
}

std::string Quote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

std::string Shell(const std::string& command, int* status) {
    std::string output;
    FILE* pipe = popen(("(" + command + ") 2>&1").c_str(), "r");
    if (!pipe) {
        ADD_FAILURE() << "popen " << command;
        if (status) *status = -1;
        return output;
    }
    char buffer[65536];
    for (size_t got; (got = fread(buffer, 1, sizeof buffer, pipe)) > 0;) output.append(buffer, got);
    int result = pclose(pipe);
    if (status) *status = WIFEXITED(result) ? WEXITSTATUS(result) : -1;
    return output;
}

}  // namespace imagetest
