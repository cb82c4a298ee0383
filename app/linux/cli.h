// The Linux tool's own command line, in the GNU manner, beside the Windows program's
// ("/silent ...", which keeps its meaning and its silence).
#pragma once

#include <vector>

#include "app/linux/containers.h"

// The exit status, in both forms: 0 nothing infected, 1 an infected file was found
// (whatever became of it), 2 an error when nothing infected was found.
const int kExitClean = 0;
const int kExitInfected = 1;
const int kExitError = 2;

struct CliOptions {
    const char* logName = nullptr;
    bool remove = false;
    bool dryRun = false;
    bool quiet = false;
    bool json = false;
    int jobs = 0;  // 0: $TORVOCLEAN_JOBS, or one a core
    const char* restartList = nullptr;
    std::vector<const char*> excludes;
    const char* quarantine = nullptr;
    const char* restore = nullptr;
    bool images = false;           // disk images are scanned as the disks they hold
    ContainerSettings containers;  // archives and mailboxes looked into
    std::vector<char*> paths;
};

// Whether the arguments are the Windows program's: an option word of it among them.
bool IsWindowsSyntax(int argc, char** argv);

// "/dry-run", "/remvoe": an option typed in the Windows manner, or mistyped. It is an
// absolute path too, but of one name that does not exist: taken as a path, it would
// be reported missing while the other paths are cleaned without the option meant.
bool LooksLikeMistypedOption(const char* argument);

// Parses the arguments; returns -1 to go on, or the exit status to end with at once
// (--help, --version, or 2 for a wrong argument).
int ParseCli(int argc, char** argv, CliOptions* options);

// Scans every PATH in order (or restores a quarantine); returns the exit status.
int RunCli(const CliOptions& options);
