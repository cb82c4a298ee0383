#include "app/linux/parallel_batch.h"

#include <sys/vfs.h>

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/common/batch.h"
#include "app/linux/folder_scouts.h"
#include "app/linux/head_reads.h"
#include "engine/detect.h"
#include "engine/restart_ops.h"
#include "engine/tree_walk.h"

namespace {

// How far detection may run ahead of the entry whose turn it is.
const uint64_t kQueueLength = 512;
const int kMostJobs = 64;
// Heads read at once, over all detecting threads: measured on a cold tree, 64 took a
// sixth longer than 128, and 256 no less than 128 (see README.md, "Speed").
const int kReadsInFlight = 128;
const int kLeastReadsAThread = 8;
// Threads at most, all told, where each reads one head at a time (no io_uring) and
// reads wait: past about 16, every thread costs the processor more than it saves.
const int kMostThreadsWaiting = 16;
const int kFolderScouts = 4;

// How a walk reads ahead.
struct ReadPlan {
    int threads;      // detecting threads, the walk's own included
    bool ring;        // io_uring, where the kernel gives it
    int mostThreads;  // while reads wait, where each thread reads one head at a time
    int scouts;       // threads listing folders ahead
};

struct Entry {
    std::string path;
    PlatDirEntry listed;  // by the path: the listing may be closed before its turn
    bool detected;
    DetectResult result;
    bool looksInside;          // found clean, but to be looked into (BatchRun::looksInside)
    uint64_t cleaningsBefore;  // cleanings done when its detection started
};

// What a detecting thread found for an entry.
struct Detection {
    uint64_t index;
    DetectResult result;
    bool looksInside;
};

// A bounded queue of listed entries in the walk's order: [m_oldest, m_end) wait for
// their turn, [m_nextToDetect, m_end) for a thread to detect them. Every detecting
// thread, the walk's own included, reads the heads of the next entries ahead, many at
// once (head_reads.h), and detects each once its head is read. Only the walk's thread
// lists, cleans and logs. Cleaning a file changes only that file and its work files
// (its name with ".cln", and again, appended): a clean result for one of those whose
// detection started (its head read) before that cleaning finished may be stale, so such
// an entry, like every one not found clean or one the restart list would change, is
// scanned again at its turn exactly as the one-thread walk scans it.
class ParallelWalk : public TreeWalk {
  public:
    ParallelWalk(BatchRun& run, const char* root, const ReadPlan& plan);
    ~ParallelWalk() override;
    bool ShouldVisit(const char* path, const PlatDirEntry& entry) override;
    void ReportFile(const char* path, const PlatDirEntry& entry) override;
    // Handles every entry still waiting, in order.
    void Finish();

  private:
    Entry& At(uint64_t index) { return m_entries[index % kQueueLength]; }
    void DetectAhead(bool added);
    bool DetectSome(HeadReads& reads, std::unique_lock<std::mutex>& lock);
    Detection Detect(uint64_t index, Head* head);
    void AddThread();
    void JoinLetGo();
    void Detected(const Detection& detection);
    void HandleOldest(std::unique_lock<std::mutex>& lock);
    bool MayBeStale(const Entry& entry) const;

    BatchRun& m_run;
    const ReadPlan m_plan;
    const int m_readsAThread;
    std::mutex m_mutex;
    std::condition_variable m_listed;    // an entry waits for detection, or the walk ended
    std::condition_variable m_detected;  // a detection is done
    std::vector<Entry> m_entries;
    uint64_t m_oldest = 0, m_nextToDetect = 0, m_end = 0;
    uint64_t m_cleanings = 0;
    std::deque<std::string> m_cleaned;  // the files of cleanings m_firstCleaned on
    uint64_t m_firstCleaned = 0;
    bool m_ended = false;
    std::unique_ptr<HeadReads> m_walkReads;  // the walk's thread's own
    std::unique_ptr<FolderScouts> m_scouts;
    std::vector<std::thread> m_threads;
    std::vector<std::thread::id> m_letGo;  // threads added, ended, not yet joined
};

ParallelWalk::ParallelWalk(BatchRun& run, const char* root, const ReadPlan& plan)
    : m_run(run),
      m_plan(plan),
      m_readsAThread(std::max(kReadsInFlight / plan.threads, kLeastReadsAThread)),
      m_entries(kQueueLength),
      m_walkReads(MakeHeadReads(m_readsAThread, plan.ring)),
      m_scouts(plan.scouts > 0 ? new FolderScouts(root, plan.scouts) : nullptr) {
    for (int thread = 1; thread < plan.threads; ++thread)
        m_threads.emplace_back(&ParallelWalk::DetectAhead, this, false);
}

ParallelWalk::~ParallelWalk() {
    std::vector<std::thread> threads;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_ended = true;
        threads.swap(m_threads);
    }
    m_listed.notify_all();
    for (std::thread& thread : threads) thread.join();
}

bool ParallelWalk::ShouldVisit(const char* path, const PlatDirEntry& entry) {
    bool visit = BatchShouldVisit(m_run, path, entry);
    if (visit && entry.isDirectory && m_scouts) m_scouts->Entered();
    return visit;
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

// Each thread has reads of its own: the kernel's rings are best used by one thread. A
// thread `added` while reads waited is let go once they no longer do.
void ParallelWalk::DetectAhead(bool added) {
    std::unique_ptr<HeadReads> reads = MakeHeadReads(m_readsAThread, m_plan.ring, added);
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        if (DetectSome(*reads, lock)) {
            if (added && reads->Calm()) break;
            continue;
        }
        if (m_ended) return;
        m_listed.wait(lock);
    }
    if (!m_ended) m_letGo.push_back(std::this_thread::get_id());
}

// One more thread, while entries wait for detection.
void ParallelWalk::AddThread() {
    if (m_ended || m_nextToDetect == m_end) return;
    JoinLetGo();
    if (int(m_threads.size()) + 1 < m_plan.mostThreads)
        m_threads.emplace_back(&ParallelWalk::DetectAhead, this, true);
}

void ParallelWalk::JoinLetGo() {
    for (std::thread::id id : m_letGo) {
        auto thread = std::find_if(m_threads.begin(), m_threads.end(),
                                   [id](const std::thread& each) { return each.get_id() == id; });
        thread->join();
        m_threads.erase(thread);
    }
    m_letGo.clear();
}

// Starts reading the heads of the next entries nobody has taken, as many as `reads`
// takes, and detects those whose heads are read; the lock is let go meanwhile. False
// when there was nothing to read or detect.
bool ParallelWalk::DetectSome(HeadReads& reads, std::unique_lock<std::mutex>& lock) {
    std::vector<uint64_t> unread;  // entries detection opens itself
    while (m_nextToDetect < m_end) {
        Entry& entry = At(m_nextToDetect);
        bool readAhead = entry.listed.isFile && !entry.listed.isUnreachable;
        Head* head = readAhead ? reads.Take() : nullptr;
        if (readAhead && !head) break;
        entry.cleaningsBefore = m_cleanings;
        if (head) {
            head->path = entry.path.c_str();
            head->ticket = m_nextToDetect;
            reads.Start(head);
        } else {
            unread.push_back(m_nextToDetect);
        }
        ++m_nextToDetect;
    }
    if (unread.empty() && !reads.Reading()) return false;
    lock.unlock();
    std::vector<Detection> found;
    for (uint64_t index : unread) found.push_back(Detect(index, nullptr));
    std::vector<Head*> done;
    if (reads.Reading()) reads.Wait(&done);
    for (Head* head : done) {
        found.push_back(Detect(head->ticket, head));
        reads.Give(head);
    }
    lock.lock();
    for (const Detection& detection : found) Detected(detection);
    m_detected.notify_all();
    if (reads.Waited()) AddThread();
    return true;
}

// Detects an entry, from its head when one was read; unlocked, on any detecting thread.
Detection ParallelWalk::Detect(uint64_t index, Head* head) {
    Entry& entry = At(index);
    FileHead fileHead;
    FileHead* wanted = m_run.looksInside ? &fileHead : nullptr;
    DetectResult result =
        DetectHead(m_run.engine.platform, entry.path.c_str(), head, entry.listed, wanted);
    bool looksInside =
        result == DETECT_CLEAN && wanted && m_run.looksInside(entry.path.c_str(), fileHead);
    return {index, result, looksInside};
}

// Keeps what was found for an entry until its turn.
void ParallelWalk::Detected(const Detection& detection) {
    Entry& entry = At(detection.index);
    entry.result = detection.result;
    entry.looksInside = detection.looksInside;
    entry.detected = true;
}

// While the oldest entry's detection is under way, the walk's thread detects further
// entries.
void ParallelWalk::HandleOldest(std::unique_lock<std::mutex>& lock) {
    Entry& entry = At(m_oldest);
    while (!entry.detected)
        if (!DetectSome(*m_walkReads, lock)) m_detected.wait(lock);
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

// On a FUSE file system (ntfs-3g, the usual way to mount a Windows disk) every request
// waits on one daemon, which serves one at a time: io_uring would hand each to a worker
// thread of the kernel, which only adds to the round trip, and a folder listed ahead
// would only be listed twice, while four threads a core, each reading one file at a
// time, keep the daemon busy and scan fastest, warm or cold. Elsewhere, a thread a core
// at most: threads past that only cost, and reads wait in flight without them.
const int kJobsPerCoreOnFuse = 4;
const long kFuseMagic = 0x65735546;

bool IsOnFuse(const char* path) {
    struct statfs fs;
    return path && statfs(path, &fs) == 0 && long(fs.f_type) == kFuseMagic;
}

ReadPlan PlanReads(const char* path, int jobs) {
    int cores = std::max(int(std::thread::hardware_concurrency()), 1);
    if (IsOnFuse(path)) {
        int threads = std::min(jobs, cores * kJobsPerCoreOnFuse);
        return {threads, false, threads, 0};
    }
    int threads = std::min(jobs, cores);
    return {threads, true, std::max(threads, kMostThreadsWaiting), kFolderScouts};
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
    ParallelWalk walk(run, path, PlanReads(path, jobs));
    bool listed = WalkTree(run.engine.platform, path, walk);
    walk.Finish();
    return listed;
}

bool ScanDirectoryOnAllCores(BatchRun& run, char* path) {
    return ParallelScanDirectory(run, path, BatchJobs(path));
}
