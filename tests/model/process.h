// Programs started from the test, and the files it reads and writes.
#pragma once

#include <sys/types.h>

#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/model/forms.h"

namespace model {

// Something the test needs from the machine failed: no fault of the program tested.
struct SetupError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Starts `argv` with `extraEnvironment` ("NAME=value") added, its output going to the
// file `output`, stdin from /dev/null, in a process group of its own.
pid_t StartProgram(const std::vector<std::string>& argv,
                   const std::vector<std::string>& extraEnvironment, const std::string& output);
// The exit status; -1 when it was ended by a signal, or did not end within `seconds`
// (it is killed then, with its process group).
int WaitProgram(pid_t pid, int seconds);
bool HasEnded(pid_t pid, int* status);
int RunProgram(const std::vector<std::string>& argv,
               const std::vector<std::string>& extraEnvironment, const std::string& output,
               int seconds);

bool ReadFile(const std::string& path, Bytes* bytes);
std::string ReadText(const std::string& path);
void WriteFile(const std::string& path, const Bytes& bytes);
bool Exists(const std::string& path);
void MakeFolder(const std::string& path);
void RemoveTree(const std::string& path);
// Every entry below `root`, by its name below it; folders end with "/".
std::set<std::string> ListTree(const std::string& root);
std::string MakeTempFolder(const std::string& tag);
void SleepMilliseconds(int milliseconds);
double SecondsNow();

}  // namespace model
