// The first page of many files read at once, ahead of their detection. A cold disk
// answers many requests in flight in a fraction of the time it takes for the same
// requests one at a time; threads are not the way to have them in flight, since every
// thread past the number of cores costs far more on a warm tree than it saves on a cold
// one. So the reads are queued to io_uring, whose opens and reads done from the page
// cache complete at once in the thread that queues them (a warm tree costs what it did),
// while the others wait in the kernel. Where the kernel refuses io_uring (an old kernel,
// `io_uring_disabled`, a container's seccomp policy), each thread reads one head at a
// time and tells when its reads wait: the caller then adds threads, and lets them go
// once reads no longer wait.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "engine/codes.h"

struct FileHead;
struct PlatDirEntry;
class Platform;

// One file's first page, read ahead.
struct Head {
    // Detection's first read (engine/detect.cpp): most files are smaller, and need no other.
    static const int32_t kLength = 4096;
    const char* path;  // valid until the head is given back
    uint64_t ticket;   // the caller's: which of its files it is
    bool read;         // opened and read; else the file is left to detection to open
    int fd;
    int32_t got;  // bytes read: fewer than kLength is the file's end
    unsigned char bytes[kLength];
};

// Reads heads, up to `depth` at once; used by one thread at a time.
class HeadReads {
  public:
    explicit HeadReads(int depth);
    virtual ~HeadReads() = default;
    HeadReads(const HeadReads&) = delete;
    HeadReads& operator=(const HeadReads&) = delete;

    // A head to fill in (path and ticket) and Start, or null when `depth` are taken.
    Head* Take();
    // Begins reading the file; its path must stay valid until the head is given back.
    void Start(Head* head);
    // Whether heads started are not yet done.
    bool Reading() const { return m_reading > 0; }
    // Whether the last read waited, and another thread reading would have more in flight;
    // whether reads have not waited for a while.
    virtual bool Waited() const { return false; }
    virtual bool Calm() const { return true; }
    // Waits, while Reading(), for at least one head started to be done; appends those done.
    void Wait(std::vector<Head*>* done);
    // Makes a head done free again, its file closed if detection left it open.
    void Give(Head* head);

  protected:
    virtual void Begin(Head* head) = 0;
    virtual void WaitForReads(std::vector<Head*>* done) = 0;

  private:
    std::vector<Head> m_heads;
    std::vector<Head*> m_free;
    int m_reading = 0;
};

// With `ring`, io_uring where the kernel gives it, else one head at a time, telling when
// reads wait (`readsWait`: they are known to wait already); without, one head at a time.
// For tests, TORVOCLEAN_READ_AHEAD=threads refuses io_uring, and "threads,slow" also
// takes every read for one that waited (the caller then adds every thread it may).
std::unique_ptr<HeadReads> MakeHeadReads(int depth, bool ring, bool readsWait = false);

// DetectFile on `platform` over a head done, or null: a file that was read is detected
// from what was read, its other reads made on the file already open; any other is
// opened as detection opens it. `fileHead`, when given, receives the file's first page.
DetectResult DetectHead(Platform& platform, const char* path, Head* head,
                        const PlatDirEntry& listed, FileHead* fileHead);
