// What the Linux tool tells as it scans: a line for every infected or unopenable file
// as soon as its outcome is known, in the walk's order (text, or JSON Lines), a
// summary at the end, a progress line on a terminal, and the files it leaves out.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "app/common/batch.h"
#include "app/linux/containers.h"
#include "app/linux/json_names.h"

class CQuarantine;

struct CliReportSettings {
    bool quiet;
    bool json;
    bool dryRun;
    std::vector<const char*> excludes;  // globs, against the path below each PATH
    CQuarantine* quarantine;            // or null
    bool images;                        // disk images met are kept for scanning as disks
};

class CCliReport : public CBatchObserver {
  public:
    explicit CCliReport(const CliReportSettings& settings);
    // The PATH being scanned now: excludes match below it.
    void SetRoot(const char* root);
    // The volume of a disk image being scanned now (`partition` empty for a disk without
    // a partition table): its files are named "<image>//p<N>/..." or "<image>//...".
    // SetRoot ends it.
    // `notCleanedReason`: what its infected files that cannot be cleaned are told, when
    // the volume cannot be written at all.
    void SetVolume(const std::string& image, const std::string& partition, const std::string& root,
                   const std::string& notCleanedReason = std::string());
    // A volume of an image that is not scanned, and why.
    void OnSkippedVolume(const std::string& image, const std::string& partition,
                         const std::string& why);
    // A PATH that is a file: it is counted as scanned.
    void CountFile() { ++m_nScanned; }

    bool ShouldVisit(const char* path, const PlatDirEntry& entry) override;
    void OnFinding(const char* path, const char* label, BatchFinding finding) override;
    // The summary, on standard output.
    void Finish();

    // The disk images the walk met (and left for scanning as disks), since last asked.
    std::vector<std::string> TakeImagesMet();

    // What was found inside the container `path` (an archive, a mailbox): each finding
    // is counted and logged through `run` as a file's, and each thing not looked at
    // whole is told on standard error.
    void OnContainer(BatchRun& run, const char* path, const ContainerReport& found);
    // Members, messages and containers not looked at whole, so far.
    long NotScannedCount() const { return m_nNotScanned; }

    // An operation the engine put on the restart list for the file being cleaned.
    void OnScheduled(const std::string& source, const std::string& destination);

  private:
    void ShowProgress(const char* path);
    void ClearProgress();

    void PutPath(Json& line, const char* path) const;
    void OnNotScanned(const NotScanned& left);

    CliReportSettings m_settings;
    std::string m_strRoot;
    std::string m_strImage, m_strPartition;  // of the volume being scanned, if any
    std::string m_strNotCleanedReason;
    const MemberFinding* m_pMember = nullptr;  // the member OnFinding is told of, if any
    std::vector<std::pair<std::string, std::string>> m_scheduled;
    std::vector<std::string> m_imagesMet;
    long m_nScanned = 0, m_nRepaired = 0, m_nDeleted = 0, m_nWaiting = 0, m_nFailed = 0,
         m_nUnopened = 0, m_nNotScanned = 0;
    bool m_bProgress;
    bool m_bProgressShown = false;
    std::chrono::steady_clock::time_point m_start, m_lastProgress;
};
