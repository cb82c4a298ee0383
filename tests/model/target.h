// The program under test: the Linux tool, or the Windows program under Wine. Each
// runs its scans on a root folder of its own and carries out its restart list.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace model {

struct RunResult {
    bool ended = false;  // within its time
    int status = -1;
    bool hasLog = false;
    std::string log;
    std::string output;  // what the run printed
};

class Target {
  public:
    virtual ~Target() = default;
    // The scanned root, by its Unix name.
    virtual std::string Root() const = 0;
    // How the log names a file below the root ("sub/c.eml").
    virtual std::string LogName(const std::string& name) const = 0;
    // The exit status of a run whose log has these totals.
    virtual int ExpectedStatus(int infected, int unopened) const = 0;
    // An empty root (with its folder), nothing held, nothing on the restart list.
    virtual void Reset() = 0;
    virtual void Hold(const std::string& name) = 0;
    virtual void Release(const std::string& name) = 0;
    // Runs over the root started together, one for each entry of `jobs` (the number of
    // detection threads, where the program has them).
    virtual std::vector<RunResult> Scan(const std::vector<int>& jobs) = 0;
    // Releases every hold and carries out the restart list: empty, or what failed.
    virtual std::string Restart() = 0;
};

std::unique_ptr<Target> MakeNativeTarget(const std::string& program);

struct WineSetup {
    std::string program;   // TorvoClean.exe
    std::string wineRun;   // tests/wine/wine-run
    std::string e2etool;   // e2etool.exe
    std::string family;    // nt or win98
    std::string prefixes;  // a folder for this test's own prefix
};
std::unique_ptr<Target> MakeWineTarget(const WineSetup& setup);

}  // namespace model
