// The batch mode on Linux, for a Windows disk mounted there: the same arguments, log
// and cleaning. Paths and the log name stay as typed, and "/restart" carries out the
// restart list instead of restarting the machine. Detection runs on every core
// (TORVOCLEAN_JOBS=N sets the number of threads); the log is the same as with one.
// The exit status is the one scanners on Linux give: 0 nothing infected, 1 an
// infected file was found (whatever became of it), 2 an error when nothing infected
// was found.
#include <cstdio>
#include <cstring>
#include <string>

#include "app/batch.h"
#include "app/options.h"
#include "app/parallel_batch.h"
#include "platform/posix/restart_list.h"
#include "res/version.h"

namespace {

const int kExitClean = 0;
const int kExitInfected = 1;
const int kExitError = 2;

const char kUsage[] =
    "usage: torvoclean /silent [/log=FILE] [/remove] [/restart] PATH\n"
    "       torvoclean --help | --version\n";

const char kHelp[] =
    "Scans PATH and everything below it for Win32.Torvo.A@mm, Win32.Torvo.E@mm and\n"
    "JS.Torvo.A, and cleans what it finds.\n"
    "\n"
    "  /silent      run the scan (required)\n"
    "  /log=FILE    write a log of every finding and the totals to FILE\n"
    "  /remove      delete files whose cleaning failed\n"
    "  /restart     carry out the restart list at the end\n"
    "  --help       show this text\n"
    "  --version    show the version\n"
    "\n"
    "Work that waits for a restart goes to $TORVOCLEAN_RESTART_LIST\n"
    "(default /var/lib/torvoclean/wininit.ini).\n"
    "Exit status: 0 nothing infected found, 1 an infected file was found,\n"
    "2 an error (PATH cannot be listed, bad arguments, a file could not be opened)\n"
    "when nothing infected was found.\n";

int UsageError(const char* message, const char* argument) {
    fprintf(stderr, "torvoclean: %s%s\n%s", message, argument, kUsage);
    return kExitError;
}

// --help, --version and words that look like options of this kind; -1 to go on.
int HandleDashArguments(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (argv[i][0] != '-') continue;
        if (!strcmp(argv[i], "--help")) {
            printf("%s\n%s", kUsage, kHelp);
            return kExitClean;
        }
        if (!strcmp(argv[i], "--version")) {
            printf("torvoclean %s\n", TORVO_VERSION);
            return kExitClean;
        }
        return UsageError("unknown option ", argv[i]);
    }
    return -1;
}

// An entry that names no valid file acts on nothing and is reported.
bool CarryOutRestartList() {
    RestartListRun run = RunRestartList();
    for (const std::string& entry : run.refused)
        fprintf(stderr, "torvoclean: refused restart list entry \"%s\"\n", entry.c_str());
    if (run.unreadable) fprintf(stderr, "torvoclean: cannot read %s\n", RestartListPath().c_str());
    if (run.failed > 0) fputs("torvoclean: some entries of the restart list failed\n", stderr);
    return run.refused.empty() && !run.unreadable && run.failed == 0;
}

// The scan and the restart list; false when any part of them could not be done.
bool RunAll(const BatchArguments& arguments) {
    bool done = true;
    if (!RunBatch(arguments.pszScanPath, arguments.pszLogName, ScanDirectoryOnAllCores)) {
        fprintf(stderr, "torvoclean: cannot list %s\n", arguments.pszScanPath);
        done = false;
    }
    if (g_bLogFailed) {
        fprintf(stderr, "torvoclean: cannot write the log \"%s\"\n", arguments.pszLogName);
        done = false;
    }
    if (g_nUnopened > 0) {
        fprintf(stderr, "torvoclean: %d files could not be opened\n", int(g_nUnopened));
        done = false;
    }
    if (g_bRestart && !CarryOutRestartList()) done = false;
    return done;
}

}  // namespace

int main(int argc, char** argv) {
    int status = HandleDashArguments(argc, argv);
    if (status >= 0) return status;
    BatchArguments arguments = ParseArguments(argc, argv, false);
    if (!g_bSilent) return UsageError("/silent is missing", "");
    if (!arguments.pszScanPath) return UsageError("no PATH given", "");
    bool done = RunAll(arguments);
    if (g_nInfected > 0) return kExitInfected;
    return done ? kExitClean : kExitError;
}
