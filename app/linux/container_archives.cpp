// Archives: every member is scanned as a file of its own; an archive whose members
// changed is written anew in its format (ZIP, 7z, TAR), every other member as it was,
// read back and compared, and put in the original's place by the engine's protocol.
#include <cstdint>
#include <map>
#include <set>

#include "app/linux/container_scan.h"
#include "engine/clean.h"
#include "engine/crc32.h"
#include "engine/restart_ops.h"
#include "platform/archive/archive_file.h"

namespace {

using archive_file::Member;
using archive_file::Reader;
using archive_file::Writer;

// A member as the new archive must hold it, to compare it once written.
struct Expected {
    std::string name;
    bool isFile;
    bool knownContent;  // false for a member copied as it was, unread
    int64_t size;
    uint32_t crc;
};

// One pass over the archive: what its members are and become, and (with a writer) the
// new archive.
struct Pass {
    bool opened = false;
    bool whole = false;  // read to its end
    bool canRewrite = false;
    std::string format;
    bool changed = false;       // a member is repaired or left out
    bool holdsMore = false;     // a member that is not the worm alone, or was not read
    std::set<int64_t> notRead;  // members not read whole (by their number)
    std::vector<Expected> expected;
};

uint32_t CrcOf(const Bytes& content) {
    // Crc32 takes at most 2 GiB at once; members are smaller (the limit of a member).
    return Crc32(content.data(), int32_t(content.size()));
}

archive_file::Limits ReadLimits(const Look& look) {
    const ContainerLimits& limits = look.settings.limits;
    return {limits.memberSize, limits.unpacked, limits.members, limits.ratio, look.unpacked};
}

archive_file::ReadAt ReadThrough(PlatformReader& file) {
    return [&file](int64_t offset, void* buffer, size_t count) {
        return file.Read(offset, buffer, count);
    };
}

bool WriteMember(Writer& writer, Reader& reader, const Bytes& content) {
    return writer.AddHeader(reader, int64_t(content.size())) &&
           writer.WriteData(content.data(), content.size());
}

// A member not read whole is copied as it is, when it was not read whole before either.
bool CopyUnread(Reader& reader, Writer* writer, const Member& member, Pass* pass) {
    pass->holdsMore = true;
    pass->expected.push_back({member.name, true, false, member.size, 0});
    return !writer || (writer->AddHeader(reader, member.size) && reader.CopyContent(*writer));
}

bool TakeFile(Reader& reader, Writer* writer, const Member& member, int64_t number,
              const std::set<int64_t>* copyAsIs, Look& look, Pass* pass, const std::string& name) {
    if (copyAsIs && copyAsIs->count(number)) return CopyUnread(reader, writer, member, pass);
    std::string memberName = name + "//" + member.name;
    Bytes content;
    std::string why;
    if (!reader.ReadContent(&content, &why)) {
        look.NotRead(memberName, why);
        pass->notRead.insert(number);
        pass->holdsMore = true;
        return !writer;  // its data is spent: it cannot be copied now
    }
    ScannedMember scanned = ScanMember(std::move(content), memberName, look);
    pass->changed = pass->changed || scanned.changed;
    pass->holdsMore = pass->holdsMore || !scanned.wormOnly;
    if (scanned.removed) return true;
    pass->expected.push_back(
        {member.name, true, true, int64_t(scanned.content.size()), CrcOf(scanned.content)});
    return !writer || WriteMember(*writer, reader, scanned.content);
}

// Reads the archive through, scanning its members; with `writer`, writes the new one.
// `copyAsIs`: the members an earlier pass could not read whole.
bool RunPass(Platform& platform, const char* path, const std::string& name, Look& look,
             const std::set<int64_t>* copyAsIs, Writer* writer, Pass* pass) {
    PlatformReader file(platform, path);
    if (!file.IsOpen()) {
        look.NotRead(name, "cannot be opened");
        return false;
    }
    Reader reader(ReadThrough(file), file.Size(), ReadLimits(look));
    if (!reader.Open()) {
        look.NotRead(name, "cannot be read as an archive: " + reader.Error());
        return false;
    }
    pass->opened = true;
    Member member;
    int status;
    for (int64_t number = 0; (status = reader.Next(&member)) == 1; ++number) {
        // The format is known once the first header is read.
        if (number == 0) {
            pass->canRewrite = reader.CanRewrite();
            pass->format = reader.Kind();
            if (writer && !writer->Open(reader)) return false;
        }
        if (!member.isFile) {
            pass->expected.push_back({member.name, false, false, 0, 0});
            if (writer && !writer->AddHeader(reader, 0)) return false;
        } else if (!TakeFile(reader, writer, member, number, copyAsIs, look, pass, name)) {
            return false;
        }
    }
    if (status < 0) look.NotRead(name, reader.Error());
    pass->whole = status == 0;
    return pass->whole && (!writer || writer->Close());
}

// Reads the new archive back and compares it with what was meant to be written, member
// by member, in whatever order the format keeps them (7z keeps folders last).
bool ReadsBackAs(Platform& platform, PlatFile work, const std::vector<Expected>& expected,
                 const ContainerLimits& limits) {
    PlatformReader file(platform, work);
    archive_file::Limits unbounded = {limits.memberSize, INT64_MAX, INT64_MAX, 1e300, nullptr};
    Reader reader(ReadThrough(file), file.Size(), unbounded);
    if (!reader.Open()) return false;
    std::multimap<std::string, const Expected*> missing;
    for (const Expected& meant : expected) missing.emplace(meant.name, &meant);
    Member member;
    int status;
    while ((status = reader.Next(&member)) == 1) {
        auto found = missing.find(member.name);
        if (found == missing.end() || found->second->isFile != member.isFile) return false;
        const Expected& meant = *found->second;
        missing.erase(found);
        if (!meant.knownContent) continue;
        Bytes content;
        std::string why;
        if (!reader.ReadContent(&content, &why) || int64_t(content.size()) != meant.size ||
            CrcOf(content) != meant.crc)
            return false;
    }
    return status == 0 && missing.empty();
}

// Writes the archive anew into the work file.
CleanResult Rewrite(Engine& engine, const char* path, const std::string& name, const Pass& before,
                    Look& look) {
    return ReplaceFileContent(engine, path, [&](PlatFile work) {
        Writer writer([&](const void* data, size_t count) {
            return engine.platform.WriteAll(work, data, uint32_t(count));
        });
        int64_t unpacked = 0;
        Look again = look.Again(&unpacked);
        Pass pass;
        if (!RunPass(engine.platform, path, name, again, &before.notRead, &writer, &pass) ||
            !ReadsBackAs(engine.platform, work, pass.expected, look.settings.limits))
            return false;
        look.report.findings = std::move(again.report.findings);
        return true;
    });
}

// Under the lock: the archive is looked at again as it is now, then deleted when it
// holds nothing but the worm, or written anew.
CleanResult ChangeArchive(Engine& engine, const char* path, const std::string& name, Look& look) {
    int64_t unpacked = 0;
    Look now = look.Again(&unpacked);
    Pass pass;
    RunPass(engine.platform, path, name, now, nullptr, nullptr, &pass);
    look.report.findings = now.report.findings;
    if (!pass.whole || !pass.changed) return CLEAN_FAILED;
    if (!pass.holdsMore) return DeleteWholeFile(engine, path);
    if (!pass.canRewrite) return CLEAN_FAILED;
    return Rewrite(engine, path, name, pass, look);
}

}  // namespace

void LookIntoArchive(Engine& engine, const char* path, const std::string& name, Look& look) {
    Pass pass;
    RunPass(engine.platform, path, name, look, nullptr, nullptr, &pass);
    if (!pass.changed) return;
    bool holdsOnlyWorm = pass.whole && !pass.holdsMore;
    if (!pass.whole) return NotCleaned("the archive cannot be read whole", &look.report.findings);
    if (!pass.canRewrite && !(holdsOnlyWorm && look.settings.remove))
        return NotCleaned(pass.format == "compressed file"
                              ? "a compressed file alone is not written"
                              : pass.format + " archives are not written",
                          &look.report.findings);
    if (look.settings.dryRun && look.depth == 0) return;
    CleanResult change;
    {
        FileChangesLock lock(engine);
        change = lock.IsHeld() ? ChangeArchive(engine, path, name, look) : CLEAN_FAILED;
    }
    if (engine.platform.LostChanges()) change = CLEAN_FAILED;
    ApplyChange(change, "writing the archive anew failed", &look.report);
}
