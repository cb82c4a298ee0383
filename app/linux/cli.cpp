#include "app/linux/cli.h"

#include <getopt.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/common/batch.h"
#include "app/common/options.h"
#include "app/linux/cli_report.h"
#include "app/linux/dry_run.h"
#include "app/linux/images.h"
#include "app/linux/parallel_batch.h"
#include "app/linux/quarantine.h"
#include "engine/clean.h"
#include "engine/restart_ops.h"
#include "platform/posix/posix_platform.h"
#include "res/version.h"

namespace {

const int kMostJobs = 64;

const char kHelp[] =
    "Usage: torvoclean [OPTION]... PATH...\n"
    "Scans each PATH (a folder and everything below it, or a file) for Win32.Torvo.A@mm,\n"
    "Win32.Torvo.E@mm and JS.Torvo.A, and cleans what it finds.\n"
    "\n"
    "  -n, --dry-run          tell what would be done, and change nothing\n"
    "  -q, --quiet            print only errors\n"
    "      --json             print JSON Lines instead of text\n"
    "      --log=FILE         also write the Windows program's log to FILE\n"
    "      --remove           delete files whose cleaning failed\n"
    "  -j, --jobs=N           detect on at most N threads (default and most: one a\n"
    "                         core, four a core on a FUSE file system such as ntfs-3g)\n"
    "      --restart-list=FILE  where work waiting for the restart goes\n"
    "                         (default: /var/lib/torvoclean/wininit.ini)\n"
    "      --exclude=GLOB     leave out what matches GLOB below PATH (repeatable)\n"
    "      --images           scan disk images (raw, qcow2, VMDK, VDI, VHD, VHDX), as\n"
    "                         PATH or met below one, as the disks they hold\n"
    "      --no-archives      do not look into archives (ZIP, 7z, CAB, RAR, TAR,\n"
    "                         gzip, bzip2, xz, ISO 9660)\n"
    "      --no-mail          do not look into mailboxes (mbox, Maildir, MH, .dbx)\n"
    "      --max-depth=N      look into containers nested N deep at most (10)\n"
    "      --max-member-size=SIZE  leave members larger than SIZE unscanned (100M)\n"
    "      --max-unpacked=SIZE  unpack at most SIZE from one file (400M)\n"
    "      --max-members=N    look at N members of one file at most (10000)\n"
    "      --max-ratio=N      stop at a member that unpacks N times its size (250)\n"
    "      --quarantine=DIR   keep a copy of every file before it is changed\n"
    "      --restore=DIR      put back the originals kept in DIR\n"
    "      --help             show this text and exit\n"
    "      --version          show the version and exit\n"
    "\n"
    "The Windows program's form keeps its meaning, and prints nothing:\n"
    "  torvoclean /silent [/log=FILE] [/remove] [/restart] PATH\n"
    "\n"
    "TORVOCLEAN_JOBS and TORVOCLEAN_RESTART_LIST set the defaults of --jobs and\n"
    "--restart-list. Exit status: 0 nothing infected was found, 1 an infected file was\n"
    "found, 2 an error when nothing infected was found.\n";

enum LongOnly {
    OPT_JSON = 256,
    OPT_LOG,
    OPT_REMOVE,
    OPT_RESTART_LIST,
    OPT_EXCLUDE,
    OPT_QUARANTINE,
    OPT_RESTORE,
    OPT_IMAGES,
    OPT_NO_ARCHIVES,
    OPT_NO_MAIL,
    OPT_MAX_DEPTH,
    OPT_MAX_MEMBER_SIZE,
    OPT_MAX_UNPACKED,
    OPT_MAX_MEMBERS,
    OPT_MAX_RATIO,
    OPT_HELP,
    OPT_VERSION
};

const option kOptions[] = {
    {"dry-run", no_argument, nullptr, 'n'},
    {"quiet", no_argument, nullptr, 'q'},
    {"jobs", required_argument, nullptr, 'j'},
    {"json", no_argument, nullptr, OPT_JSON},
    {"log", required_argument, nullptr, OPT_LOG},
    {"remove", no_argument, nullptr, OPT_REMOVE},
    {"restart-list", required_argument, nullptr, OPT_RESTART_LIST},
    {"exclude", required_argument, nullptr, OPT_EXCLUDE},
    {"quarantine", required_argument, nullptr, OPT_QUARANTINE},
    {"restore", required_argument, nullptr, OPT_RESTORE},
    {"images", no_argument, nullptr, OPT_IMAGES},
    {"no-archives", no_argument, nullptr, OPT_NO_ARCHIVES},
    {"no-mail", no_argument, nullptr, OPT_NO_MAIL},
    {"max-depth", required_argument, nullptr, OPT_MAX_DEPTH},
    {"max-member-size", required_argument, nullptr, OPT_MAX_MEMBER_SIZE},
    {"max-unpacked", required_argument, nullptr, OPT_MAX_UNPACKED},
    {"max-members", required_argument, nullptr, OPT_MAX_MEMBERS},
    {"max-ratio", required_argument, nullptr, OPT_MAX_RATIO},
    {"help", no_argument, nullptr, OPT_HELP},
    {"version", no_argument, nullptr, OPT_VERSION},
    {nullptr, 0, nullptr, 0},
};

int UsageError(const char* message = nullptr) {
    if (message) fprintf(stderr, "torvoclean: %s\n", message);
    fputs("Try 'torvoclean --help' for more information.\n", stderr);
    return kExitError;
}

int UnknownOption(const char* argument) {
    fprintf(stderr, "torvoclean: unrecognized option '%s' (options begin with --)\n", argument);
    return UsageError();
}

bool ParseJobs(const char* text, int* jobs) {
    char* end = nullptr;
    long value = strtol(text, &end, 10);
    if (*text == '\0' || *end != '\0' || value < 1 || value > kMostJobs) return false;
    *jobs = int(value);
    return true;
}

// A count, or a size with an optional K, M or G (powers of 1024); at least 1.
bool ParseAmount(const char* text, bool sized, int64_t* amount) {
    char* end = nullptr;
    errno = 0;
    long long value = strtoll(text, &end, 10);
    int shift = 0;
    if (sized && *end) {
        const char* units = "KMG";
        const char* unit = strchr(units, toupper(static_cast<unsigned char>(*end)));
        if (!unit || end[1] != '\0') return false;
        shift = 10 * int(unit - units + 1);
        ++end;
    }
    if (*text == '\0' || *end != '\0' || errno || value < 1 || value > (INT64_MAX >> shift))
        return false;
    *amount = int64_t(value) << shift;
    return true;
}

int TakeLimit(int option, ContainerLimits* limits) {
    int64_t amount;
    bool sized = option == OPT_MAX_MEMBER_SIZE || option == OPT_MAX_UNPACKED;
    if (!ParseAmount(optarg, sized, &amount))
        return UsageError(sized ? "a size is a positive number, with K, M or G if wanted"
                                : "a limit is a positive number");
    switch (option) {
        case OPT_MAX_DEPTH:
            limits->depth = int(std::min<int64_t>(amount, 1000));
            break;
        case OPT_MAX_MEMBER_SIZE:
            limits->memberSize = amount;
            break;
        case OPT_MAX_UNPACKED:
            limits->unpacked = amount;
            break;
        case OPT_MAX_MEMBERS:
            limits->members = amount;
            break;
        default:
            limits->ratio = double(amount);
    }
    return -1;
}

// Returns -1 to go on, or the exit status.
int TakeOption(int option, CliOptions* options) {
    switch (option) {
        case 'n':
            options->dryRun = true;
            return -1;
        case 'q':
            options->quiet = true;
            return -1;
        case 'j':
            return ParseJobs(optarg, &options->jobs) ? -1 : UsageError("--jobs takes 1 to 64");
        case OPT_JSON:
            options->json = true;
            return -1;
        case OPT_LOG:
            options->logName = optarg;
            return -1;
        case OPT_REMOVE:
            options->remove = true;
            return -1;
        case OPT_RESTART_LIST:
            options->restartList = optarg;
            return -1;
        case OPT_EXCLUDE:
            options->excludes.push_back(optarg);
            return -1;
        case OPT_QUARANTINE:
            options->quarantine = optarg;
            return -1;
        case OPT_RESTORE:
            options->restore = optarg;
            return -1;
        case OPT_IMAGES:
            options->images = true;
            return -1;
        case OPT_NO_ARCHIVES:
            options->containers.archives = false;
            return -1;
        case OPT_NO_MAIL:
            options->containers.mail = false;
            return -1;
        case OPT_MAX_DEPTH:
        case OPT_MAX_MEMBER_SIZE:
        case OPT_MAX_UNPACKED:
        case OPT_MAX_MEMBERS:
        case OPT_MAX_RATIO:
            return TakeLimit(option, &options->containers.limits);
        case OPT_HELP:
            fputs(kHelp, stdout);
            return kExitClean;
        case OPT_VERSION:
            printf("torvoclean %s\n", TORVO_VERSION);
            return kExitClean;
        default:  // getopt_long has said what was wrong
            return UsageError();
    }
}

// A folder is walked, a file scanned as one (a disk image, with --images, as the disk it
// holds, as are the images met in the walk); anything else is an error for that PATH.
bool ScanPath(BatchRun& run, const char* path, const CliOptions& options, const ImageScan& images,
              CCliReport& report) {
    int jobs = options.jobs == 0 ? BatchJobs(path) : options.jobs;
    struct stat st;
    if (stat(path, &st) != 0) {
        fprintf(stderr, "torvoclean: %s: %s\n", path, strerror(errno));
        return false;
    }
    report.SetRoot(path);
    if (S_ISREG(st.st_mode) && options.images && IsDiskImage(path))
        return ScanImage(path, images, report);
    if (S_ISREG(st.st_mode)) {
        report.CountFile();
        BatchReportFile(run, path);
        return true;
    }
    std::string folder = path;
    if (!S_ISDIR(st.st_mode) || !ParallelScanDirectory(run, &folder[0], jobs)) {
        fprintf(stderr, "torvoclean: %s: cannot list it\n", path);
        return false;
    }
    bool done = true;
    for (const std::string& image : report.TakeImagesMet())
        done = ScanImage(image.c_str(), images, report) && done;
    return done;
}

// What a run cut off before its end left is finished first; a dry run changes nothing.
bool ScanAll(BatchRun& run, const CliOptions& options, const ImageScan& images,
             CCliReport& report) {
    bool done = true;
    if (!options.dryRun)
        for (const std::string& path : FinishInterruptedWork(run.engine))
            if (!options.quiet)
                fprintf(stderr,
                        "torvoclean: %s: the repair an earlier run left unfinished is done\n",
                        path.c_str());
    OpenBatchLog(options.logName);
    for (const char* path : options.paths)
        done = ScanPath(run, path, options, images, report) && done;
    CloseBatchLog();
    report.Finish();
    if (g_bLogFailed) {
        fprintf(stderr, "torvoclean: cannot write the log \"%s\"\n", options.logName);
        done = false;
    }
    if (g_nUnopened > 0 && options.quiet)
        fprintf(stderr, "torvoclean: %d files could not be opened\n", int(g_nUnopened));
    return done && g_nUnopened == 0 && report.NotScannedCount() == 0;
}

// Tells the report of an operation put on a restart list, by the names of the user's
// files.
ScheduleWatcher ReportScheduled(CCliReport& report, const DryRun* dryRun) {
    auto shown = [dryRun](const std::string& stored) {
        std::string name;
        if (stored.empty() || !DecodeRestartListName(stored, &name)) return stored;
        return dryRun ? dryRun->OriginalOf(name) : name;
    };
    return [&report, shown](const RestartEntry& entry) {
        report.OnScheduled(shown(entry.source), shown(entry.destination));
    };
}

// Archives and mailboxes met are looked into, after the file itself was scanned.
void LookInside(BatchRun& run, const ContainerSettings& settings, CCliReport& report) {
    if (!settings.archives && !settings.mail) return;
    auto scanFile = run.scanFile;
    Engine& engine = run.engine;
    run.looksInside = [settings](const char*, const FileHead& head) {
        return MayBeContainer(head, settings);
    };
    run.scanFile = [&run, &engine, &report, settings, scanFile](
                       const char* path, const char** label, const PlatDirEntry* listed) {
        FileHead head;
        ScanOutcome outcome =
            scanFile ? scanFile(path, label, listed) : ScanFile(engine, path, label, listed, &head);
        if (outcome != SCAN_CLEAN || (scanFile && !ReadHead(engine.platform, path, &head)) ||
            !IsContainer(engine.platform, path, head, settings))
            return outcome;
        report.OnContainer(run, path, ScanContainer(engine, path, path, head, settings));
        return outcome;
    };
}

}  // namespace

bool LooksLikeMistypedOption(const char* argument) {
    struct stat st;
    return argument[0] == '/' && argument[1] != '\0' && !strchr(argument + 1, '/') &&
           lstat(argument, &st) != 0;
}

bool IsWindowsSyntax(int argc, char** argv) {
    for (int i = 1; i < argc && strcmp(argv[i], "--") != 0; ++i)
        if (IsWindowsOptionWord(argv[i])) return true;
    return false;
}

int ParseCli(int argc, char** argv, CliOptions* options) {
    int option;
    while ((option = getopt_long(argc, argv, "nqj:", kOptions, nullptr)) != -1) {
        int status = TakeOption(option, options);
        if (status >= 0) return status;
    }
    for (int i = optind; i < argc; ++i) {
        if (LooksLikeMistypedOption(argv[i])) return UnknownOption(argv[i]);
        options->paths.push_back(argv[i]);
    }
    if (options->paths.empty() && !options->restore) return UsageError("no PATH given");
    return -1;
}

int RunCli(const CliOptions& options) {
    PosixPlatform host(options.restartList ? options.restartList : DefaultRestartListPath());
    Engine engine(host);
    if (options.restore) return RestoreQuarantine(engine, options.restore, options.quiet);
    CQuarantine quarantine;
    bool quarantined = options.quarantine && !options.dryRun;
    if (quarantined && !quarantine.Open(options.quarantine)) return kExitError;
    DryRun dryRun;
    if (options.dryRun && !dryRun.Start()) {
        fputs("torvoclean: cannot make a folder for the dry run\n", stderr);
        return kExitError;
    }
    CCliReport report({options.quiet, options.json, options.dryRun, options.excludes,
                       quarantined ? &quarantine : nullptr, options.images});
    BatchRun run(engine);
    run.observer = &report;
    engine.scheduleWatcher = ReportScheduled(report, nullptr);
    if (quarantined)
        engine.changeGuard = [&](const char* path) { return quarantine.Keep(host, path); };
    if (options.dryRun) dryRun.Attach(run, ReportScheduled(report, &dryRun));
    g_bRemove = options.remove;
    ContainerSettings containers = options.containers;
    containers.dryRun = options.dryRun;
    containers.remove = options.remove;
    containers.lockMailboxes = true;
    LookInside(run, containers, report);
    ImageScan images = {options.dryRun,
                        [&](Engine& volume, const ImageVolumeName& name) {
                            volume.scheduleWatcher = ReportScheduled(report, nullptr);
                            if (!quarantined) return;
                            volume.changeGuard = [&quarantine, &volume, name](const char* path) {
                                return quarantine.Keep(volume.platform, path, &name);
                            };
                        },
                        // The mail programs of the Windows on an image hold no locks here.
                        [&report, containers](BatchRun& volumeRun) {
                            ContainerSettings onImage = containers;
                            onImage.lockMailboxes = false;
                            LookInside(volumeRun, onImage, report);
                        }};
    bool done = ScanAll(run, options, images, report);
    if (g_nInfected > 0) return kExitInfected;
    return done ? kExitClean : kExitError;
}
