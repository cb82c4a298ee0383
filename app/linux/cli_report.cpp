#include "app/linux/cli_report.h"

#include <fnmatch.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "app/linux/images.h"
#include "app/linux/json_names.h"
#include "app/linux/quarantine.h"
#include "engine/codes.h"
#include "platform/platform.h"

namespace {

// At most a few progress lines a second, and the clock is asked every so many files.
const std::chrono::milliseconds kProgressEvery(250);
const long kFilesBetweenClockLooks = 64;

const char* OutcomeWord(BatchFinding finding, bool repairWaits) {
    switch (finding) {
        case FINDING_DISINFECTED:
            return "DISINFECTED";
        case FINDING_DELETED:
            return "DELETED";
        case FINDING_CLEAN_FAILED:
            return "DISINFECTION FAILED";
        case FINDING_PENDING_RESTART:
            return repairWaits ? "DISINFECTED AT RESTART" : "DELETED AT RESTART";
        default:
            return "FAILED TO OPEN";
    }
}

// "infected JS.Torvo.A" is "JS.Torvo.A" here.
const char* ShortLabel(const char* label) {
    const char prefix[] = "infected ";
    return strncmp(label, prefix, sizeof prefix - 1) == 0 ? label + sizeof prefix - 1 : label;
}

// A line break in a name would make a line of its own.
std::string OneLine(const char* path) {
    std::string line = path;
    for (char& c : line)
        if (c == '\r' || c == '\n') c = '?';
    return line;
}

int TerminalWidth() {
    struct winsize size;
    return ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 ? size.ws_col : 80;
}

}  // namespace

CCliReport::CCliReport(const CliReportSettings& settings)
    : m_settings(settings),
      m_bProgress(!settings.quiet && isatty(STDERR_FILENO)),
      m_start(std::chrono::steady_clock::now()),
      m_lastProgress(m_start) {}

void CCliReport::SetRoot(const char* root) {
    m_strRoot = root;
    while (m_strRoot.size() > 1 && m_strRoot.back() == '/') m_strRoot.pop_back();
    m_strImage.clear();
    m_strPartition.clear();
    m_strNotCleanedReason.clear();
}

void CCliReport::SetVolume(const std::string& image, const std::string& partition,
                           const std::string& root, const std::string& notCleanedReason) {
    m_strRoot = root;
    m_strImage = image;
    m_strPartition = partition;
    m_strNotCleanedReason = notCleanedReason;
}

std::vector<std::string> CCliReport::TakeImagesMet() {
    std::vector<std::string> images;
    images.swap(m_imagesMet);
    return images;
}

void CCliReport::OnSkippedVolume(const std::string& image, const std::string& partition,
                                 const std::string& why) {
    if (m_settings.quiet) return;
    ClearProgress();
    if (m_settings.json) {
        Json line = {{"skipped", why}};
        PutName(line, "image", image);
        if (!partition.empty()) line["partition"] = partition;
        printf("%s\n", JsonLine(line).c_str());
    } else {
        printf("%s//%s: %s, skipped\n", OneLine(image.c_str()).c_str(), partition.c_str(),
               why.c_str());
    }
    fflush(stdout);
}

// A file inside an image is named by the image, the partition and its path inside.
void CCliReport::PutPath(Json& line, const char* path) const {
    if (m_strImage.empty()) {
        PutName(line, "path", path);
        return;
    }
    PutName(line, "image", m_strImage);
    if (!m_strPartition.empty()) line["partition"] = m_strPartition;
    std::string inside = path + std::min(strlen(path), m_strRoot.size());
    PutName(line, "path", inside.empty() ? "/" : inside);
}

bool CCliReport::ShouldVisit(const char* path, const PlatDirEntry& entry) {
    const char* below = path + std::min(strlen(path), m_strRoot.size() + 1);
    for (const char* glob : m_settings.excludes)
        if (fnmatch(glob, below, 0) == 0) return false;
    if (entry.isDirectory && !entry.isUnreachable) return true;
    if (m_settings.images && m_strImage.empty() && entry.isFile && IsDiskImage(path)) {
        m_imagesMet.push_back(path);
        return false;
    }
    ++m_nScanned;
    if (m_bProgress && m_nScanned % kFilesBetweenClockLooks == 0) ShowProgress(path);
    return true;
}

void CCliReport::OnScheduled(const std::string& source, const std::string& destination) {
    m_scheduled.emplace_back(source, destination);
}

void CCliReport::OnFinding(const char* path, const char* label, BatchFinding finding) {
    // A repair waits as its work file's rename onto the file; a deletion as the file's
    // rename to its work file's name.
    bool repairWaits = false;
    for (const auto& entry : m_scheduled)
        repairWaits =
            repairWaits || (!entry.second.empty() && entry.first == entry.second + ".cln");
    m_nRepaired += finding == FINDING_DISINFECTED;
    m_nDeleted += finding == FINDING_DELETED;
    m_nWaiting += finding == FINDING_PENDING_RESTART;
    m_nFailed += finding == FINDING_CLEAN_FAILED;
    m_nUnopened += finding == FINDING_OPEN_FAILED;
    if (m_settings.quarantine && !m_pMember) m_settings.quarantine->Record(path, finding);
    const char* outcome = OutcomeWord(finding, repairWaits);
    std::string reason = finding == FINDING_CLEAN_FAILED ? m_strNotCleanedReason : std::string();
    if (m_pMember && !m_pMember->reason.empty()) reason = m_pMember->reason;
    if (m_settings.quiet) {
        m_scheduled.clear();
        return;
    }
    ClearProgress();
    if (m_settings.json) {
        Json line = {{"outcome", outcome}};
        PutPath(line, path);
        if (finding != FINDING_OPEN_FAILED) line["label"] = ShortLabel(label);
        for (const auto& entry : m_scheduled) {
            Json scheduled;
            PutName(scheduled, entry.second.empty() ? "delete" : "rename", entry.first);
            if (!entry.second.empty()) PutName(scheduled, "to", entry.second);
            line["restart_list"].push_back(scheduled);
        }
        if (m_settings.dryRun) line["dry_run"] = true;
        if (!reason.empty()) line["reason"] = reason;
        if (m_pMember && m_pMember->inMessage) {
            const MessageInfo& message = m_pMember->message;
            line["message"] = {
                {"message_id", message.id}, {"subject", message.subject}, {"from", message.from}};
        }
        printf("%s\n", JsonLine(line).c_str());
    } else if (finding == FINDING_OPEN_FAILED) {
        printf("%s: %s\n", OneLine(path).c_str(), outcome);
    } else {
        printf("%s: %s %s%s%s%s\n", OneLine(path).c_str(), ShortLabel(label), outcome,
               m_settings.dryRun ? " (dry run)" : "", reason.empty() ? "" : ": ", reason.c_str());
        if (m_pMember && m_pMember->inMessage) {
            const MessageInfo& message = m_pMember->message;
            printf("  in message %s, \"%s\", from %s\n", OneLine(message.id.c_str()).c_str(),
                   OneLine(message.subject.c_str()).c_str(), OneLine(message.from.c_str()).c_str());
        }
    }
    fflush(stdout);
    m_scheduled.clear();
}

void CCliReport::OnContainer(BatchRun& run, const char* path, const ContainerReport& found) {
    for (const MemberFinding& finding : found.findings) {
        m_pMember = &finding;
        BatchReportMember(run, finding.name.c_str(), finding.label, finding.outcome);
        m_pMember = nullptr;
    }
    for (const NotScanned& left : found.notScanned) OnNotScanned(left);
    if (!m_settings.quarantine) return;
    switch (found.change) {
        case CLEAN_DISINFECTED:
            return m_settings.quarantine->Record(path, FINDING_DISINFECTED);
        case CLEAN_DELETED:
            return m_settings.quarantine->Record(path, FINDING_DELETED);
        case CLEAN_PENDING_RESTART:
            return m_settings.quarantine->Record(path, FINDING_PENDING_RESTART);
        default:
            return m_settings.quarantine->Record(path, FINDING_CLEAN_FAILED);
    }
}

// Never taken for clean in silence: told even with --quiet.
void CCliReport::OnNotScanned(const NotScanned& left) {
    ++m_nNotScanned;
    ClearProgress();
    if (m_settings.json && !m_settings.quiet) {
        Json line = {{"outcome", "NOT SCANNED WHOLE"}, {"reason", left.why}};
        PutPath(line, left.name.c_str());
        printf("%s\n", JsonLine(line).c_str());
        fflush(stdout);
        return;
    }
    fprintf(stderr, "torvoclean: %s: not scanned whole: %s\n", OneLine(left.name.c_str()).c_str(),
            left.why.c_str());
}

void CCliReport::Finish() {
    ClearProgress();
    if (m_settings.quiet) return;
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - m_start).count();
    long infected = m_nRepaired + m_nDeleted + m_nWaiting + m_nFailed;
    if (m_settings.json) {
        Json summary = {{"scanned", m_nScanned},
                        {"infected", infected},
                        {"repaired", m_nRepaired},
                        {"deleted", m_nDeleted},
                        {"waiting_for_restart", m_nWaiting},
                        {"failed", m_nFailed},
                        {"unopened", m_nUnopened},
                        {"not_scanned_whole", m_nNotScanned},
                        {"seconds", seconds},
                        {"dry_run", m_settings.dryRun}};
        printf("%s\n", JsonLine({{"summary", summary}}).c_str());
        return;
    }
    printf("\n----------- SCAN SUMMARY -----------\n");
    if (m_settings.dryRun) printf("Dry run: nothing was changed\n");
    printf("Scanned files: %ld\nInfected files: %ld\nRepaired: %ld\nDeleted: %ld\n", m_nScanned,
           infected, m_nRepaired, m_nDeleted);
    printf("Waiting for the restart: %ld\nFailed: %ld\nCould not be opened: %ld\n", m_nWaiting,
           m_nFailed, m_nUnopened);
    if (m_nNotScanned > 0) printf("Not scanned whole: %ld\n", m_nNotScanned);
    printf("Time: %.3f sec\n", seconds);
}

void CCliReport::ShowProgress(const char* path) {
    std::chrono::steady_clock::time_point now = std::chrono::steady_clock::now();
    if (now - m_lastProgress < kProgressEvery) return;
    m_lastProgress = now;
    double seconds = std::chrono::duration<double>(now - m_start).count();
    std::string folder = OneLine(path);
    folder = folder.substr(0, folder.rfind('/') == std::string::npos ? 0 : folder.rfind('/'));
    char line[512];
    int length = snprintf(line, sizeof line, "%ld files, %.0f/s, %ld infected, %s", m_nScanned,
                          seconds > 0 ? m_nScanned / seconds : 0.0,
                          m_nRepaired + m_nDeleted + m_nWaiting + m_nFailed, folder.c_str());
    int width = std::min(TerminalWidth() - 1, int(sizeof line) - 1);
    if (length > width) line[width] = '\0';
    fprintf(stderr, "\r\033[K%s", line);
    m_bProgressShown = true;
}

void CCliReport::ClearProgress() {
    if (!m_bProgressShown) return;
    fputs("\r\033[K", stderr);
    m_bProgressShown = false;
}
