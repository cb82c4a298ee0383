#include "app/linux/parallel_batch.h"

#include <sys/vfs.h>

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/common/batch.h"
#include "engine/detect.h"
#include "engine/restart_ops.h"
#include "engine/tree_walk.h"

namespace {

// How far detection may run ahead of the entry whose turn it is.
const uint64_t kQueueLength = 512;
const int kMostJobs = 64;

struct Entry {
    std::string path;
    PlatDirEntry listed;  // by the path: the listing may be closed before its turn
    bool detected;
    DetectResult result;
    bool looksInside;          // found clean, but to be looked into (BatchRun::looksInside)
    uint64_t cleaningsBefore;  // cleanings done when its detection started
};

// A bounded queue of listed entries in the walk's order: [m_oldest, m_end) wait for
// their turn, [m_nextToDetect, m_end) for a thread to detect them. Only the walk's
// thread lists, cleans and logs. Cleaning a file changes only that file and its work
// files (its name with ".cln", and again, appended): a clean result for one of those
// whose detection started before that cleaning finished may be stale, so such an
// entry, like every one not found clean or one the restart list would change, is
// scanned again at its turn exactly as the one-thread walk scans it.
class ParallelWalk : public TreeWalk {
  public:
    ParallelWalk(BatchRun& run, int jobs) : m_run(run), m_entries(kQueueLength) {
        for (int job = 1; job < jobs; ++job)
            m_threads.emplace_back(&ParallelWalk::DetectAhead, this);
    }
    ~ParallelWalk() override;
    bool ShouldVisit(const char* path, const PlatDirEntry& entry) override {
        return BatchShouldVisit(m_run, path, entry);
    }
    void ReportFile(const char* path, const PlatDirEntry& entry) override;
    // Handles every entry still waiting, in order.
    void Finish();

  private:
    Entry& At(uint64_t index) { return m_entries[index % kQueueLength]; }
    void DetectAhead();
    void DetectNext(std::unique_lock<std::mutex>& lock);
    void HandleOldest(std::unique_lock<std::mutex>& lock);
    bool MayBeStale(const Entry& entry) const;

    BatchRun& m_run;
    std::mutex m_mutex;
    std::condition_variable m_listed;    // an entry waits for detection, or the walk ended
    std::condition_variable m_detected;  // a detection is done
    std::vector<Entry> m_entries;
    uint64_t m_oldest = 0, m_nextToDetect = 0, m_end = 0;
    uint64_t m_cleanings = 0;
    std::deque<std::string> m_cleaned;  // the files of cleanings m_firstCleaned on
    uint64_t m_firstCleaned = 0;
    bool m_ended = false;
    std::vector<std::thread> m_threads;
};

ParallelWalk::~ParallelWalk() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_ended = true;
    }
    m_listed.notify_all();
    for (std::thread& thread : m_threads) thread.join();
}

void ParallelWalk::ReportFile(const char* path, const PlatDirEntry& listed) {
    std::unique_lock<std::mutex> lock(m_mutex);
    while (m_end - m_oldest == kQueueLength) HandleOldest(lock);
    Entry& entry = At(m_end++);
    entry.path = path;
    entry.listed = listed;
    entry.listed.name = nullptr;
    entry.listed.listing = nullptr;
    entry.detected = false;
    lock.unlock();
    m_listed.notify_one();
}

void ParallelWalk::Finish() {
    std::unique_lock<std::mutex> lock(m_mutex);
    while (m_oldest < m_end) HandleOldest(lock);
}

void ParallelWalk::DetectAhead() {
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_listed.wait(lock, [this] { return m_ended || m_nextToDetect < m_end; });
        if (m_nextToDetect == m_end) return;
        DetectNext(lock);
    }
}

// Detects the next entry nobody has taken; the lock is let go meanwhile.
void ParallelWalk::DetectNext(std::unique_lock<std::mutex>& lock) {
    Entry& entry = At(m_nextToDetect++);
    entry.cleaningsBefore = m_cleanings;
    lock.unlock();
    const char* label;
    bool isExecutable;
    FileHead head;
    DetectResult result =
        DetectFileForm(m_run.engine.platform, entry.path.c_str(), &label, &entry.listed,
                       &isExecutable, m_run.looksInside ? &head : nullptr);
    bool looksInside =
        result == DETECT_CLEAN && m_run.looksInside && m_run.looksInside(entry.path.c_str(), head);
    lock.lock();
    entry.result = result;
    entry.looksInside = looksInside;
    entry.detected = true;
    m_detected.notify_all();
}

// While its detection is under way elsewhere, the walk's thread detects further entries.
void ParallelWalk::HandleOldest(std::unique_lock<std::mutex>& lock) {
    Entry& entry = At(m_oldest);
    while (!entry.detected) {
        if (m_nextToDetect < m_end)
            DetectNext(lock);
        else
            m_detected.wait(lock);
    }
    bool scanAgain = entry.result != DETECT_CLEAN || entry.looksInside || MayBeStale(entry) ||
                     IsPendingOnRestartList(m_run.engine, entry.path.c_str());
    if (scanAgain) {
        lock.unlock();
        int32_t infectedBefore = g_nInfected;
        BatchReportFile(m_run, entry.path.c_str(), &entry.listed);
        lock.lock();
        // Only an infected file changes anything on disk.
        if (g_nInfected != infectedBefore) {
            ++m_cleanings;
            m_cleaned.push_back(entry.path);
        }
    }
    ++m_oldest;
    // Entries are detected in their order: none waiting began before these cleanings.
    uint64_t earliest = m_oldest < m_end ? At(m_oldest).cleaningsBefore : m_cleanings;
    for (; m_firstCleaned < earliest && !m_cleaned.empty(); ++m_firstCleaned) m_cleaned.pop_front();
}

bool ParallelWalk::MayBeStale(const Entry& entry) const {
    for (uint64_t cleaning = std::max(entry.cleaningsBefore, m_firstCleaned);
         cleaning < m_cleanings; ++cleaning) {
        const std::string& cleaned = m_cleaned[size_t(cleaning - m_firstCleaned)];
        if (entry.path.compare(0, cleaned.size(), cleaned) == 0 &&
            (entry.path.size() == cleaned.size() ||
             entry.path.compare(cleaned.size(), 4, ".cln") == 0))
            return true;
    }
    return false;
}

}  // namespace

namespace {

// On a FUSE file system (ntfs-3g, the usual way to mount a Windows disk) every read
// waits on one daemon, and four threads a core scan about a third faster than one; on
// a disk whose files are in the page cache more threads than cores only cost.
const int kJobsPerCoreOnFuse = 4;
const long kFuseMagic = 0x65735546;

bool IsOnFuse(const char* path) {
    struct statfs fs;
    return path && statfs(path, &fs) == 0 && long(fs.f_type) == kFuseMagic;
}

}  // namespace

int BatchJobs(const char* path) {
    const char* value = getenv("TORVOCLEAN_JOBS");
    int jobs = value ? atoi(value) : 0;
    if (jobs <= 0) {
        jobs = int(std::thread::hardware_concurrency());
        if (IsOnFuse(path)) jobs *= kJobsPerCoreOnFuse;
    }
    if (jobs > kMostJobs) jobs = kMostJobs;
    return jobs > 0 ? jobs : 1;
}

bool ParallelScanDirectory(BatchRun& run, char* path, int jobs) {
    if (jobs <= 1) return BatchScanDirectory(run, path);
    ParallelWalk walk(run, jobs);
    bool listed = WalkTree(run.engine.platform, path, walk);
    walk.Finish();
    return listed;
}

bool ScanDirectoryOnAllCores(BatchRun& run, char* path) {
    return ParallelScanDirectory(run, path, BatchJobs(path));
}
