// The batch mode on Linux, for a Windows disk mounted there: the same arguments, log
// and cleaning. Paths and the log name stay as typed, and "/restart" carries out the
// restart list instead of restarting the machine. Detection runs on every core
// (TORVOCLEAN_JOBS=N sets the number of threads); the log is the same as with one.
#include <cstdio>

#include "app/batch.h"
#include "app/options.h"
#include "app/parallel_batch.h"
#include "platform/posix/restart_list.h"

int main(int argc, char** argv) {
    BatchArguments arguments = ParseArguments(argc, argv, false);
    if (!g_bSilent) {
        fputs("usage: torvoclean /silent [/log=FILE] [/remove] [/restart] PATH\n", stderr);
        return 2;
    }
    if (!arguments.pszScanPath) return 0;
    RunBatch(arguments.pszScanPath, arguments.pszLogName, ScanDirectoryOnAllCores);
    if (g_bRestart) RunRestartList();
    return 0;
}
