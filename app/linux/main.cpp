// The Linux tool, for a Windows disk mounted on Linux. Its own command line is in the
// GNU manner (app/cli.cpp): it tells what it finds as it goes. The Windows program's
// ("/silent ..."), recognised by its option words, keeps its meaning and its silence:
// the same log and cleaning, paths and the log name as typed, and "/restart" carries
// out the restart list instead of restarting the machine. The exit status is the one
// scanners on Linux give: 0 nothing infected, 1 an infected file was found (whatever
// became of it), 2 an error when nothing infected was found.
#include <cstdio>
#include <string>

#include "app/common/batch.h"
#include "app/common/options.h"
#include "app/linux/cli.h"
#include "app/linux/parallel_batch.h"
#include "platform/posix/posix_platform.h"

namespace {

int UsageError(const char* message, const char* argument) {
    fprintf(stderr, "torvoclean: %s%s\nTry 'torvoclean --help' for more information.\n", message,
            argument);
    return kExitError;
}

// An entry that names no valid file acts on nothing and is reported.
bool CarryOutRestartList(PosixPlatform& host) {
    RestartListRun run = host.RunRestartList();
    for (const std::string& entry : run.refused)
        fprintf(stderr, "torvoclean: refused restart list entry \"%s\"\n", entry.c_str());
    if (run.unreadable)
        fprintf(stderr, "torvoclean: cannot read %s\n", host.RestartListPath().c_str());
    if (run.unwritable)
        fprintf(stderr, "torvoclean: cannot write %s; carry it out again\n",
                host.RestartListPath().c_str());
    if (run.failed > 0) fputs("torvoclean: some entries of the restart list failed\n", stderr);
    return run.refused.empty() && !run.unreadable && !run.unwritable && run.failed == 0;
}

// The scan and the restart list; false when any part of them could not be done.
bool RunAll(const BatchArguments& arguments) {
    PosixPlatform host(DefaultRestartListPath());
    Engine engine(host);
    BatchRun run(engine);
    bool done = true;
    if (!RunBatch(run, arguments.pszScanPath, arguments.pszLogName, ScanDirectoryOnAllCores)) {
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
    if (g_bRestart && !CarryOutRestartList(host)) done = false;
    return done;
}

// The Windows program's command line: an argument beginning with "-", or one like
// "/remvoe", is no path here.
int RunWindowsSyntax(int argc, char** argv) {
    for (int i = 1; i < argc; ++i)
        if (argv[i][0] == '-' ||
            (!IsWindowsOptionWord(argv[i]) && LooksLikeMistypedOption(argv[i])))
            return UsageError("unknown option ", argv[i]);
    BatchArguments arguments = ParseArguments(argc, argv, false);
    if (!g_bSilent) return UsageError("/silent is missing", "");
    if (!arguments.pszScanPath) return UsageError("no PATH given", "");
    bool done = RunAll(arguments);
    if (g_nInfected > 0) return kExitInfected;
    return done ? kExitClean : kExitError;
}

}  // namespace

int main(int argc, char** argv) {
    if (IsWindowsSyntax(argc, argv)) return RunWindowsSyntax(argc, argv);
    CliOptions options;
    int status = ParseCli(argc, argv, &options);
    return status >= 0 ? status : RunCli(options);
}
