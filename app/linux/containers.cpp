#include "app/linux/containers.h"

#include <algorithm>

#include "app/linux/container_scan.h"
#include "engine/clean.h"
#include "engine/restart_ops.h"
#include "platform/archive/archive_file.h"
#include "platform/mail/dbx.h"
#include "platform/mail/mbox.h"
#include "platform/mail/mime.h"

namespace {

// Where a member is put to be scanned, alone in its own platform.
const char kMemberPath[] = "/member";

enum class Kind { kNone, kArchive, kMbox, kMessage, kDbx };

bool IsAllZero(const FileHead& head) {
    return std::all_of(head.bytes, head.bytes + head.length, [](unsigned char c) { return !c; });
}

// An ISO 9660 image begins with 32 KiB of zeros, or of a hybrid image's boot sector.
bool MayBeIso(const FileHead& head) {
    return head.length == int32_t(sizeof head.bytes) &&
           (IsAllZero(head) || (head.bytes[510] == 0x55 && head.bytes[511] == 0xaa));
}

Kind KindOf(Platform& platform, const char* path, const FileHead& head,
            const ContainerSettings& settings) {
    const unsigned char* bytes = head.bytes;
    size_t length = size_t(head.length);
    if (settings.archives) {
        if (archive_file::LooksLikeArchive(bytes, length)) return Kind::kArchive;
        if (MayBeIso(head)) {
            PlatformReader file(platform, path);
            if (file.IsOpen() && archive_file::LooksLikeIso(
                                     [&file](int64_t offset, void* buffer, size_t count) {
                                         return file.Read(offset, buffer, count);
                                     },
                                     file.Size()))
                return Kind::kArchive;
        }
    }
    if (settings.mail) {
        if (mail::LooksLikeMbox(bytes, length)) return Kind::kMbox;
        if (mail::LooksLikeDbx(bytes, length)) return Kind::kDbx;
        if (mail::LooksLikeMessage(bytes, length)) return Kind::kMessage;
    }
    return Kind::kNone;
}

void LookInto(Engine& engine, const char* path, const std::string& name, Kind kind, Look& look) {
    switch (kind) {
        case Kind::kArchive:
            return LookIntoArchive(engine, path, name, look);
        case Kind::kMbox:
            return LookIntoMbox(engine, path, name, look);
        case Kind::kMessage:
            return LookIntoMessageFile(engine, path, name, look);
        case Kind::kDbx:
            return LookIntoDbx(engine, path, name, look);
        default:
            return;
    }
}

void Merge(ContainerReport& inner, ContainerReport& outer) {
    for (MemberFinding& finding : inner.findings) outer.findings.push_back(std::move(finding));
    for (NotScanned& left : inner.notScanned) outer.notScanned.push_back(std::move(left));
}

}  // namespace

PlatformReader::PlatformReader(Platform& platform, const char* path)
    : m_platform(platform), m_file(platform.OpenRead(path, &m_size)) {}

PlatformReader::PlatformReader(Platform& platform, PlatFile open)
    : m_platform(platform), m_size(platform.FileSize(open)), m_file(open), m_owned(false) {}

PlatformReader::~PlatformReader() {
    if (m_file != PLAT_NO_FILE && m_owned) m_platform.Close(m_file);
}

int64_t PlatformReader::Read(int64_t offset, void* buffer, size_t count) {
    const size_t kMostAtOnce = 1 << 30;
    int32_t got = m_platform.ReadAt(m_file, offset, buffer, int32_t(std::min(count, kMostAtOnce)));
    return got < 0 ? -1 : got;
}

ScannedMember ScanMember(Bytes content, const std::string& name, Look& look, bool lookInside) {
    MemoryPlatform files;
    files.Put(kMemberPath, content);
    Engine engine(files);
    const char* label;
    FileHead head;
    ScannedMember scanned;
    ScanOutcome outcome = ScanFile(engine, kMemberPath, &label, nullptr, &head);
    // With --remove a member that could not be cleaned is left out, as a file is deleted.
    if (outcome == SCAN_CLEAN_FAILED && look.settings.remove &&
        RemoveUncleanedFile(engine, kMemberPath) == OP_DONE_NOW)
        outcome = SCAN_DELETED;
    if (outcome != SCAN_CLEAN) {
        MemberFinding finding;
        finding.name = name;
        finding.label = label;
        finding.outcome = outcome;
        look.report.findings.push_back(finding);
        scanned.infected = true;
        scanned.wormOnly = outcome == SCAN_DELETED;
    } else if (lookInside) {
        Kind kind = KindOf(files, kMemberPath, head, look.settings);
        if (kind != Kind::kNone && look.depth >= look.settings.limits.depth) {
            look.NotRead(name, "nested deeper than the limit of nesting (" +
                                   std::to_string(look.settings.limits.depth) + ")");
        } else if (kind != Kind::kNone) {
            Look inner = look.Inside();
            LookInto(engine, kMemberPath, name, kind, inner);
            scanned.infected = !inner.report.findings.empty();
            scanned.wormOnly = inner.report.change == CLEAN_DELETED;
            Merge(inner.report, look.report);
        }
    }
    const Bytes* now = files.Find(kMemberPath);
    scanned.removed = !now;
    scanned.changed = !now || *now != content;
    if (now) scanned.content = *now;
    return scanned;
}

void NotCleaned(const std::string& reason, std::vector<MemberFinding>* findings) {
    for (MemberFinding& finding : *findings) {
        if (finding.outcome == SCAN_OPEN_FAILED || finding.outcome == SCAN_CLEAN_FAILED) continue;
        finding.outcome = SCAN_CLEAN_FAILED;
        finding.reason = reason;
    }
}

void ApplyChange(CleanResult change, const std::string& failedReason, ContainerReport* report) {
    report->change = change;
    if (change == CLEAN_DISINFECTED || change == CLEAN_DELETED) return;
    if (change != CLEAN_PENDING_RESTART) return NotCleaned(failedReason, &report->findings);
    for (MemberFinding& finding : report->findings)
        if (finding.outcome == SCAN_DISINFECTED || finding.outcome == SCAN_DELETED)
            finding.outcome = SCAN_PENDING_RESTART;
}

bool MayBeContainer(const FileHead& head, const ContainerSettings& settings) {
    const unsigned char* bytes = head.bytes;
    size_t length = size_t(head.length);
    return (settings.archives &&
            (archive_file::LooksLikeArchive(bytes, length) || MayBeIso(head))) ||
           (settings.mail &&
            (mail::LooksLikeMbox(bytes, length) || mail::LooksLikeDbx(bytes, length) ||
             mail::LooksLikeMessage(bytes, length)));
}

bool ReadHead(Platform& platform, const char* path, FileHead* head) {
    PlatformReader file(platform, path);
    int64_t got = file.IsOpen() ? file.Read(0, head->bytes, sizeof head->bytes) : -1;
    head->length = got > 0 ? int32_t(got) : 0;
    return got >= 0;
}

bool IsContainer(Platform& platform, const char* path, const FileHead& head,
                 const ContainerSettings& settings) {
    return KindOf(platform, path, head, settings) != Kind::kNone;
}

ContainerReport ScanContainer(Engine& engine, const char* path, const std::string& shownName,
                              const FileHead& head, const ContainerSettings& settings) {
    int64_t unpacked = 0;
    Look look{settings, 0, ContainerReport(), &unpacked};
    LookInto(engine, path, shownName, KindOf(engine.platform, path, head, settings), look);
    return look.report;
}
