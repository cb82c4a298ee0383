// Mail: every attachment of every message is scanned as a file of its own (the text of
// a message is not). A message whose attachments are nothing but the worm is removed (its file
// deleted, or the mbox written anew without it, every other message byte for byte as it was); any
// other message with an infected attachment is reported and left as it is. Outlook Express folders
// are only read.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>

#include "app/linux/container_scan.h"
#include "engine/clean.h"
#include "engine/crc32.h"
#include "engine/restart_ops.h"
#include "platform/mail/dbx.h"
#include "platform/mail/mbox.h"
#include "platform/mail/mime.h"

namespace {

const char kLeftInMessage[] = "the message holds more than the worm, and is left as it is";

mail::Limits MailLimits(const ContainerLimits& limits) {
    mail::Limits mailLimits;
    mailLimits.maxDepth = limits.depth;
    mailLimits.maxPartSize = size_t(limits.memberSize);
    mailLimits.maxTotal = size_t(limits.unpacked);
    mailLimits.maxParts = size_t(limits.members);
    return mailLimits;
}

std::function<int64_t(int64_t, void*, size_t)> ReadThrough(PlatformReader& file) {
    return [&file](int64_t offset, void* buffer, size_t count) {
        return file.Read(offset, buffer, count);
    };
}

bool ReadRange(PlatformReader& file, int64_t offset, int64_t length, Bytes* bytes) {
    bytes->resize(size_t(length));
    int64_t done = 0;
    while (done < length) {
        int64_t got = file.Read(offset + done, bytes->data() + done, size_t(length - done));
        if (got <= 0) return false;
        done += got;
    }
    return true;
}

// What one message holds, after its parts were scanned.
struct MessageLook {
    bool infected = false;
    bool holdsMore = false;  // an attachment that is not the worm, or a part not read whole
};

void ScanParts(const mail::Message& message, const std::string& name, Look& look,
               MessageLook* found) {
    // The message's own words are no file; what is attached to it is.
    for (const mail::Attachment& part : message.parts) {
        if (part.isBody) continue;
        if (!look.Unpack(int64_t(part.data.size()))) {
            look.NotRead(name, "more unpacked from one file than the limit");
            found->holdsMore = true;
            return;
        }
        ScannedMember scanned = ScanMember(part.data, name + "/" + part.name, look);
        found->infected = found->infected || scanned.infected;
        found->holdsMore = found->holdsMore || !scanned.wormOnly;
    }
    // An attached message is first checked whole (a forwarded copy of the worm's own
    // message), then its parts.
    int number = 0;
    for (const mail::Message& attached : message.attached) {
        std::string attachedName = name + "/message" + std::to_string(++number);
        ScannedMember whole = ScanMember(attached.raw, attachedName, look, false);
        found->infected = found->infected || whole.infected;
        if (whole.infected)
            found->holdsMore = found->holdsMore || !whole.wormOnly;
        else
            ScanParts(attached, attachedName, look, found);
    }
}

// Scans the message in `raw`, named `name`; its findings tell which message they came
// in. True when it holds nothing but the worm.
bool ScanMessage(const unsigned char* raw, size_t size, const std::string& name, Look& look) {
    mail::Message message = mail::ParseMessage(raw, size, MailLimits(look.settings.limits));
    size_t first = look.report.findings.size();
    MessageLook found;
    for (const std::string& problem : message.problems) {
        look.NotRead(name, problem);
        found.holdsMore = true;
    }
    ScanParts(message, name, look, &found);
    for (size_t i = first; i < look.report.findings.size(); ++i) {
        MemberFinding& finding = look.report.findings[i];
        finding.inMessage = true;
        finding.message = {message.messageId, message.subject, message.from};
    }
    bool removable = found.infected && !found.holdsMore;
    if (found.infected && !removable) {
        std::vector<MemberFinding> mine(look.report.findings.begin() + long(first),
                                        look.report.findings.end());
        NotCleaned(kLeftInMessage, &mine);
        std::copy(mine.begin(), mine.end(), look.report.findings.begin() + long(first));
    }
    return removable;
}

bool HoldsStill(Platform& platform, const char* path, const Bytes& looked) {
    PlatformReader file(platform, path);
    Bytes now;
    return file.IsOpen() && file.Size() == int64_t(looked.size()) &&
           ReadRange(file, 0, file.Size(), &now) && now == looked;
}

// Under the lock, a message file that still holds what was looked at is deleted.
CleanResult DeleteIfSame(Engine& engine, const char* path, const Bytes& looked) {
    FileChangesLock lock(engine);
    if (!lock.IsHeld() || !HoldsStill(engine.platform, path, looked)) return CLEAN_FAILED;
    return DeleteWholeFile(engine, path);
}

// --- mbox ---------------------------------------------------------------------------

// Mail programs' locks on an mbox: "<mbox>.lock", made exclusively and holding the
// process id (one whose process is gone is stale), and fcntl's.
class MailboxLock {
  public:
    explicit MailboxLock(const std::string& path) : m_lockFile(path + ".lock") {
        using namespace std::chrono;
        steady_clock::time_point giveUp = steady_clock::now() + seconds(10);
        int made;
        while ((made = open(m_lockFile.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644)) < 0 &&
               errno == EEXIST && steady_clock::now() < giveUp)
            if (!RemoveIfStale()) std::this_thread::sleep_for(milliseconds(100));
        // A folder the user cannot make files in leaves fcntl's lock alone.
        bool dotLockPossible = made >= 0 || errno != EEXIST;
        if (made >= 0) {
            std::string pid = std::to_string(getpid()) + "\n";
            m_dotLocked = write(made, pid.data(), pid.size()) == ssize_t(pid.size());
            close(made);
            if (!m_dotLocked) unlink(m_lockFile.c_str());
        }
        m_mailbox = open(path.c_str(), O_RDWR | O_CLOEXEC);
        struct flock lock = {};
        lock.l_type = F_WRLCK;
        lock.l_whence = SEEK_SET;
        m_held = dotLockPossible && (made < 0 || m_dotLocked) && m_mailbox >= 0 &&
                 fcntl(m_mailbox, F_SETLKW, &lock) == 0;
    }
    ~MailboxLock() {
        if (m_mailbox >= 0) close(m_mailbox);
        if (m_dotLocked) unlink(m_lockFile.c_str());
    }
    bool IsHeld() const { return m_held; }

  private:
    // A lock file that names a process no longer running is removed.
    bool RemoveIfStale() {
        char text[32] = {};
        int file = open(m_lockFile.c_str(), O_RDONLY | O_CLOEXEC);
        if (file < 0) return false;
        ssize_t got = read(file, text, sizeof text - 1);
        close(file);
        long pid = got > 0 ? strtol(text, nullptr, 10) : 0;
        return pid > 0 && kill(pid_t(pid), 0) != 0 && errno == ESRCH &&
               unlink(m_lockFile.c_str()) == 0;
    }

    std::string m_lockFile;
    bool m_dotLocked = false;
    int m_mailbox = -1;
    bool m_held = false;
};

struct MboxLook {
    bool whole = true;
    std::vector<mail::MboxMessage> messages;
    std::vector<uint32_t> crcs;  // of each message, as looked at
    std::vector<bool> removed;   // messages that hold nothing but the worm
    bool anyRemoved = false;
};

bool LookAtMbox(Platform& platform, const char* path, const std::string& name, Look& look,
                MboxLook* mbox) {
    PlatformReader file(platform, path);
    std::string error;
    if (!file.IsOpen() ||
        !mail::SplitMbox(ReadThrough(file), file.Size(), &mbox->messages, &error)) {
        look.NotRead(name, error.empty() ? "cannot be read" : error);
        return false;
    }
    const ContainerLimits& limits = look.settings.limits;
    for (size_t i = 0; i < mbox->messages.size(); ++i) {
        const mail::MboxMessage& message = mbox->messages[i];
        std::string messageName = name + "//" + std::to_string(i + 1);
        Bytes raw;
        bool tooMany = int64_t(i) >= limits.members || !look.Unpack(message.length);
        if (tooMany || message.length > limits.memberSize ||
            !ReadRange(file, message.offset, message.length, &raw)) {
            look.NotRead(messageName,
                         tooMany ? "beyond the limit of messages or of bytes of one file"
                         : message.length > limits.memberSize ? "larger than the limit of a member"
                                                              : "cannot be read");
            mbox->whole = false;
            mbox->crcs.push_back(0);
            mbox->removed.push_back(false);
            continue;
        }
        size_t body = mail::MboxHeaderStart(raw.data(), raw.size());
        bool removable = ScanMessage(raw.data() + body, raw.size() - body, messageName, look);
        mbox->crcs.push_back(Crc32(raw.data(), int32_t(raw.size())));
        mbox->removed.push_back(removable);
        mbox->anyRemoved = mbox->anyRemoved || removable;
    }
    return true;
}

bool IsSameMbox(const MboxLook& first, const MboxLook& second) {
    if (first.messages.size() != second.messages.size() || first.crcs != second.crcs) return false;
    for (size_t i = 0; i < first.messages.size(); ++i)
        if (first.messages[i].offset != second.messages[i].offset ||
            first.messages[i].length != second.messages[i].length)
            return false;
    return true;
}

// Copies the messages that stay into the work file, and reads them back.
bool WriteKept(Platform& platform, const char* path, const MboxLook& mbox, PlatFile work) {
    PlatformReader from(platform, path);
    std::vector<std::pair<int64_t, int64_t>> kept;
    for (size_t i = 0; i < mbox.messages.size(); ++i)
        if (!mbox.removed[i]) kept.emplace_back(mbox.messages[i].offset, mbox.messages[i].length);
    const int64_t kChunk = 1 << 20;
    Bytes chunk;
    for (const auto& range : kept)
        for (int64_t done = 0; done < range.second; done += kChunk)
            if (!ReadRange(from, range.first + done, std::min(kChunk, range.second - done),
                           &chunk) ||
                !platform.WriteAll(work, chunk.data(), uint32_t(chunk.size())))
                return false;
    PlatformReader back(platform, work);
    int64_t at = 0;
    Bytes written;
    for (const auto& range : kept)
        for (int64_t done = 0; done < range.second; done += kChunk) {
            int64_t length = std::min(kChunk, range.second - done);
            if (!ReadRange(from, range.first + done, length, &chunk) ||
                !ReadRange(back, at, length, &written) || chunk != written)
                return false;
            at += length;
        }
    return back.Size() == at;
}

CleanResult RewriteMbox(Engine& engine, const char* path, const std::string& name,
                        const MboxLook& looked, Look& look) {
    std::unique_ptr<MailboxLock> mailLock;
    if (look.settings.lockMailboxes && look.depth == 0) {
        mailLock.reset(new MailboxLock(path));
        if (!mailLock->IsHeld()) return CLEAN_FAILED;
    }
    FileChangesLock lock(engine);
    if (!lock.IsHeld()) return CLEAN_FAILED;
    int64_t unpacked = 0;
    Look again = look.Again(&unpacked);
    MboxLook now;
    if (!LookAtMbox(engine.platform, path, name, again, &now) || !IsSameMbox(looked, now))
        return CLEAN_FAILED;
    return ReplaceFileContent(
        engine, path, [&](PlatFile work) { return WriteKept(engine.platform, path, now, work); });
}

}  // namespace

// The whole file, when it is no larger than a member may be; `why` tells otherwise.
bool ReadWhole(Platform& platform, const char* path, int64_t limit, Bytes* bytes,
               std::string* why) {
    PlatformReader file(platform, path);
    if (!file.IsOpen() || (file.Size() <= limit && !ReadRange(file, 0, file.Size(), bytes))) {
        *why = "cannot be read";
        return false;
    }
    if (file.Size() > limit) *why = "larger than the limit of a member";
    return file.Size() <= limit;
}

void LookIntoMessageFile(Engine& engine, const char* path, const std::string& name, Look& look) {
    Bytes raw;
    std::string why;
    if (!ReadWhole(engine.platform, path, look.settings.limits.memberSize, &raw, &why))
        return look.NotRead(name, why);
    if (!ScanMessage(raw.data(), raw.size(), name + "/", look)) return;
    if (look.settings.dryRun && look.depth == 0) return;
    CleanResult change = DeleteIfSame(engine, path, raw);
    if (engine.platform.LostChanges()) change = CLEAN_FAILED;
    ApplyChange(change, "removing the message failed", &look.report);
}

void LookIntoMbox(Engine& engine, const char* path, const std::string& name, Look& look) {
    MboxLook mbox;
    if (!LookAtMbox(engine.platform, path, name, look, &mbox) || !mbox.anyRemoved) return;
    std::vector<MemberFinding>& findings = look.report.findings;
    if (!mbox.whole) return NotCleaned("the mailbox cannot be read whole", &findings);
    if (look.settings.dryRun && look.depth == 0) return;
    CleanResult change = RewriteMbox(engine, path, name, mbox, look);
    if (engine.platform.LostChanges()) change = CLEAN_FAILED;
    ApplyChange(change, "writing the mailbox anew failed", &look.report);
}

void LookIntoDbx(Engine& engine, const char* path, const std::string& name, Look& look) {
    PlatformReader file(engine.platform, path);
    std::vector<std::string> problems;
    std::string error;
    bool read =
        file.IsOpen() &&
        mail::ReadDbx(
            ReadThrough(file), file.Size(), MailLimits(look.settings.limits),
            [&](int index, const std::vector<unsigned char>& raw) {
                ScanMessage(raw.data(), raw.size(), name + "//" + std::to_string(index + 1), look);
                return true;
            },
            &problems, &error);
    for (const std::string& problem : problems) look.NotRead(name, problem);
    if (!read) look.NotRead(name, error.empty() ? "cannot be read" : error);
    NotCleaned("Outlook Express folders are not written", &look.report.findings);
}
