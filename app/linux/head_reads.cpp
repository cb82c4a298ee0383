#include "app/linux/head_reads.h"

#include <fcntl.h>
#include <liburing.h>
#include <limits.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "engine/detect.h"
#include "platform/posix/posix_platform.h"

namespace {

// As PosixPlatform::OpenToDetect opens a file the listing found regular.
const int kOpenFlags = O_RDONLY | PosixPlatform::kOpenFlags;

// The host's file system, for the detection of a file whose head was read: the file is
// open already, and reads within the head are served from it.
class HeadPlatform : public PosixPlatform {
  public:
    explicit HeadPlatform(Head& head) : PosixPlatform(std::string()), m_head(head) {}

    PlatFile OpenToDetect(const char* /*path*/, const PlatDirEntry* /*listed*/) override {
        return m_head.fd;
    }
    int32_t ReadAt(PlatFile file, int64_t offset, void* buffer, int32_t count) override {
        bool endRead = m_head.got < Head::kLength;
        if (offset < 0 || count < 0 || offset > m_head.got ||
            (offset + count > m_head.got && !endRead))
            return PosixPlatform::ReadAt(file, offset, buffer, count);
        int32_t served = int32_t(std::min<int64_t>(count, m_head.got - offset));
        memcpy(buffer, m_head.bytes + offset, size_t(served));
        return served;
    }
    void Close(PlatFile file) override {
        PosixPlatform::Close(file);
        m_head.fd = -1;
    }

  private:
    Head& m_head;
};

// Each head is opened, then read, through one ring; an open or read the page cache
// answers is done within the call that queues it, the others wait in the kernel.
class RingReads : public HeadReads {
  public:
    // Null when the kernel refuses a ring, or one that opens and reads.
    static std::unique_ptr<HeadReads> Make(int depth);
    ~RingReads() override;

  protected:
    void Begin(Head* head) override;
    void WaitForReads(std::vector<Head*>* done) override;

  private:
    explicit RingReads(int depth) : HeadReads(depth) {}
    bool Setup(int depth);
    void Queue(Head* head, int fd);
    void Completed(Head* head, int result, std::vector<Head*>* done);

    io_uring m_ring = {};
    bool m_setUp = false;
    int m_inFlight = 0;
};

std::unique_ptr<HeadReads> RingReads::Make(int depth) {
    std::unique_ptr<RingReads> reads(new RingReads(depth));
    if (!reads->Setup(depth)) return nullptr;
    return std::unique_ptr<HeadReads>(reads.release());
}

bool RingReads::Setup(int depth) {
    // One thread submits, and completions are taken only when it waits for them: the
    // kernel then need not interrupt it to post them (flags of Linux 6.1 on).
    if (io_uring_queue_init(unsigned(depth), &m_ring,
                            IORING_SETUP_SINGLE_ISSUER | IORING_SETUP_DEFER_TASKRUN) != 0 &&
        io_uring_queue_init(unsigned(depth), &m_ring, 0) != 0)
        return false;
    m_setUp = true;
    io_uring_probe* probe = io_uring_get_probe_ring(&m_ring);
    bool usable = probe && io_uring_opcode_supported(probe, IORING_OP_OPENAT) &&
                  io_uring_opcode_supported(probe, IORING_OP_READ);
    if (probe) io_uring_free_probe(probe);
    // An open that must wait for the disk waits in one of the kernel's workers, of which
    // a ring has by default four a core: as many as reads may be in flight.
    unsigned workers[2] = {unsigned(depth), unsigned(depth)};
    io_uring_register_iowq_max_workers(&m_ring, workers);
    return usable;
}

// The kernel may still write into heads in flight: they are waited for.
RingReads::~RingReads() {
    if (!m_setUp) return;
    std::vector<Head*> done;
    while (m_inFlight > 0) WaitForReads(&done);
    for (Head* head : done)
        if (head->fd >= 0) close(head->fd);
    io_uring_queue_exit(&m_ring);
}

void RingReads::Begin(Head* head) {
    head->fd = -1;
    ++m_inFlight;
    Queue(head, -1);
}

// Queues the head's open, or with `fd` its read; every head has at most one entry in
// flight, and the ring as many entries as heads.
void RingReads::Queue(Head* head, int fd) {
    io_uring_sqe* entry = io_uring_get_sqe(&m_ring);
    if (fd < 0)
        io_uring_prep_openat(entry, AT_FDCWD, head->path, kOpenFlags, 0);
    else
        io_uring_prep_read(entry, fd, head->bytes, Head::kLength, 0);
    io_uring_sqe_set_data(entry, head);
}

void RingReads::WaitForReads(std::vector<Head*>* done) {
    size_t before = done->size();
    while (done->size() == before) {
        int submitted = io_uring_submit_and_wait(&m_ring, 1);
        if (submitted < 0 && submitted != -EINTR && submitted != -EAGAIN && submitted != -EBUSY) {
            fprintf(stderr, "torvoclean: io_uring: %s\n", strerror(-submitted));
            abort();
        }
        unsigned index, seen = 0;
        io_uring_cqe* completion;
        io_uring_for_each_cqe(&m_ring, index, completion) {
            Completed(static_cast<Head*>(io_uring_cqe_get_data(completion)), completion->res, done);
            ++seen;
        }
        io_uring_cq_advance(&m_ring, seen);
    }
}

void RingReads::Completed(Head* head, int result, std::vector<Head*>* done) {
    bool opening = head->fd < 0;
    if (opening && result >= 0) {
        head->fd = result;
        Queue(head, result);
        return;
    }
    head->read = result >= 0;
    if (head->read) head->got = result;
    if (!head->read && head->fd >= 0) {
        close(head->fd);
        head->fd = -1;
    }
    --m_inFlight;
    done->push_back(head);
}

// Reads no longer wait after this many in a row that did not.
const int kReadsToCalm = 16;

// Opens the file as detection would; with `waited`, from what the kernel has in memory
// when it can, telling when it could not.
int OpenHead(const char* path, bool* waited) {
    static std::atomic<bool> cachedOnly(true);  // Linux 5.12 on; else plain opens
    if (waited && cachedOnly.load(std::memory_order_relaxed)) {
        open_how how = {};
        how.flags = kOpenFlags;
        how.resolve = RESOLVE_CACHED;
        int fd = int(syscall(SYS_openat2, AT_FDCWD, path, &how, sizeof how));
        if (fd >= 0) return fd;
        if (errno == EAGAIN)
            *waited = true;
        else if (errno == ENOSYS || errno == EINVAL || errno == EPERM)
            cachedOnly.store(false, std::memory_order_relaxed);
        else
            return -1;
    }
    return open(path, kOpenFlags);
}

// Reads the head; with `waited`, from the page cache when it is there, telling when it
// was not (or when the file system cannot tell). A head is one page: there whole or not.
ssize_t ReadHeadBytes(Head& head, bool* waited) {
    if (waited) {
        iovec bytes = {head.bytes, size_t(Head::kLength)};
        ssize_t got = preadv2(head.fd, &bytes, 1, 0, RWF_NOWAIT);
        if (got >= 0) return got;
        *waited = true;
    }
    ssize_t got;
    do {
        got = pread(head.fd, head.bytes, Head::kLength, 0);
    } while (got < 0 && errno == EINTR);
    return got;
}

// Opens and reads the head as detection would; false when either fails.
bool ReadHead(Head& head, bool* waited) {
    head.fd = strlen(head.path) < PATH_MAX ? OpenHead(head.path, waited) : -1;
    if (head.fd < 0) return false;
    ssize_t got = ReadHeadBytes(head, waited);
    if (got < 0) {
        close(head.fd);
        head.fd = -1;
        return false;
    }
    head.got = int32_t(got);
    return true;
}

enum class WaitsTold { kNever, kWhenTheyWait, kAlways };

// Each head read when it is waited for, by the thread that waits, as detection would
// read it; where the kernel refuses a ring, telling whether reads wait.
class SyncReads : public HeadReads {
  public:
    // `waiting`: reads are known to wait already.
    SyncReads(WaitsTold told, bool waiting)
        : HeadReads(1), m_told(told), m_readsSinceWait(waiting ? 0 : kReadsToCalm) {}
    bool Waited() const override { return m_readsSinceWait == 0; }
    bool Calm() const override { return m_readsSinceWait == kReadsToCalm; }

  protected:
    void Begin(Head* head) override { m_head = head; }
    void WaitForReads(std::vector<Head*>* done) override {
        bool waited = m_told == WaitsTold::kAlways;
        m_head->read = ReadHead(*m_head, m_told == WaitsTold::kNever ? nullptr : &waited);
        m_readsSinceWait = waited ? 0 : std::min(m_readsSinceWait + 1, kReadsToCalm);
        done->push_back(m_head);
    }

  private:
    const WaitsTold m_told;
    Head* m_head = nullptr;
    int m_readsSinceWait;
};

}  // namespace

HeadReads::HeadReads(int depth) : m_heads(size_t(depth)) {
    for (Head& head : m_heads) {
        head.fd = -1;
        m_free.push_back(&head);
    }
}

Head* HeadReads::Take() {
    if (m_free.empty()) return nullptr;
    Head* head = m_free.back();
    m_free.pop_back();
    return head;
}

void HeadReads::Start(Head* head) {
    ++m_reading;
    Begin(head);
}

void HeadReads::Wait(std::vector<Head*>* done) {
    size_t before = done->size();
    WaitForReads(done);
    m_reading -= int(done->size() - before);
}

void HeadReads::Give(Head* head) {
    if (head->fd >= 0) close(head->fd);
    head->fd = -1;
    m_free.push_back(head);
}

std::unique_ptr<HeadReads> MakeHeadReads(int depth, bool ring, bool readsWait) {
    if (!ring) return std::unique_ptr<HeadReads>(new SyncReads(WaitsTold::kNever, false));
    const char* choice = getenv("TORVOCLEAN_READ_AHEAD");
    bool refused = choice && !strncmp(choice, "threads", 7);
    std::unique_ptr<HeadReads> reads = refused ? nullptr : RingReads::Make(depth);
    if (reads) return reads;
    bool slow = refused && !strcmp(choice, "threads,slow");
    return std::unique_ptr<HeadReads>(
        new SyncReads(slow ? WaitsTold::kAlways : WaitsTold::kWhenTheyWait, readsWait));
}

DetectResult DetectHead(Platform& platform, const char* path, Head* head,
                        const PlatDirEntry& listed, FileHead* fileHead) {
    const char* label;
    bool isExecutable;
    if (!head || !head->read)
        return DetectFileForm(platform, path, &label, &listed, &isExecutable, fileHead);
    HeadPlatform headPlatform(*head);
    return DetectFileForm(headPlatform, path, &label, &listed, &isExecutable, fileHead);
}
