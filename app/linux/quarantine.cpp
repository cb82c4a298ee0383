// The folder holds the copies, named by their SHA-256 (the same original is kept once),
// each with its first 64 and last 120 bytes inverted, so that no scan takes a copy for
// the worm and cleans it (the worm's marks lie in those bytes, or need them whole), and
// "manifest.jsonl": a JSON object a change, with the original's path (and "path_base64"
// when it is no UTF-8), the SHA-256 of the original, the outcome, the time (UTC), the
// SHA-256 of what the change left (null for nothing) and the original's permissions in
// octal. A file inside a disk image is named by the image, the partition and the path
// inside, and has its DOS attributes ("attributes") instead of permissions. The
// tab-separated "manifest.txt" of earlier versions is still read.
#include "app/linux/quarantine.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <vector>

#include <sha2.h>

#include "app/linux/json_names.h"
#include "engine/restart_ops.h"

namespace {

const char kManifest[] = "manifest.jsonl";
const char kEarlierManifest[] = "manifest.txt";
const char kNothing[] = "-";

// The SHA-256 of the file in hexadecimal; empty when it cannot be read.
std::string Sha256OfFile(const char* path) {
    char digest[SHA256_DIGEST_STRING_LENGTH];
    return SHA256File(path, digest) ? digest : std::string();
}

std::string Unescaped(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            out += char(strtol(text.substr(i + 1, 2).c_str(), nullptr, 16));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::string Now() {
    char text[32];
    time_t now = time(nullptr);
    struct tm utc;
    strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", gmtime_r(&now, &utc));
    return text;
}

// The manifest is read later, perhaps from another folder.
std::string Absolute(const char* path) {
    if (path[0] == '/') return path;
    char* folder = getcwd(nullptr, 0);
    std::string full = folder ? std::string(folder) + "/" + path : path;
    free(folder);
    return full;
}

bool Exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

std::string DigestOrNothing(const std::string& path) {
    std::string digest = Exists(path) ? Sha256OfFile(path.c_str()) : std::string();
    return digest.empty() ? kNothing : digest;
}

const char* OutcomeWord(const char* path, BatchFinding finding) {
    switch (finding) {
        case FINDING_DISINFECTED:
            return "DISINFECTED";
        case FINDING_DELETED:
            return "DELETED";
        default:
            return Exists(std::string(path) + ".cln") ? "DISINFECTED AT RESTART"
                                                      : "DELETED AT RESTART";
    }
}

const off_t kInvertedHead = 64;
const off_t kInvertedTail = 120;

// Inverts the bytes of the file that lie in its first 64 or last 120; done twice, it
// gives the file back.
bool InvertEnds(int fd) {
    off_t size = lseek(fd, 0, SEEK_END);
    if (size < 0) return false;
    off_t tail = std::max<off_t>(0, std::max(size - kInvertedTail, std::min(size, kInvertedHead)));
    const off_t ranges[2][2] = {{0, std::min(size, kInvertedHead)}, {tail, size}};
    for (const auto& range : ranges) {
        unsigned char bytes[kInvertedTail];
        ssize_t length = range[1] - range[0];
        if (length <= 0) continue;
        if (pread(fd, bytes, size_t(length), range[0]) != length) return false;
        for (ssize_t i = 0; i < length; ++i) bytes[i] = ~bytes[i];
        if (pwrite(fd, bytes, size_t(length), range[0]) != length) return false;
    }
    return true;
}

const int64_t kChunk = 1 << 16;

// Reads a file through `platform` a chunk at a time; false when it cannot be read whole.
bool ReadVia(Platform& platform, const std::string& path,
             const std::function<bool(const unsigned char*, size_t)>& take) {
    int64_t size = -1;
    PlatFile file = platform.OpenRead(path.c_str(), &size);
    if (file == PLAT_NO_FILE) return false;
    if (size < 0) size = platform.FileSize(file);
    std::vector<unsigned char> chunk(kChunk);
    bool whole = size >= 0;
    for (int64_t at = 0; whole && at < size;) {
        int32_t got = platform.ReadAt(file, at, chunk.data(), int32_t(std::min(kChunk, size - at)));
        whole = got > 0 && take(chunk.data(), size_t(got));
        at += got;
    }
    platform.Close(file);
    return whole;
}

std::string Sha256Via(Platform& platform, const std::string& path) {
    SHA2_CTX context;
    SHA256Init(&context);
    char digest[SHA256_DIGEST_STRING_LENGTH];
    if (!ReadVia(platform, path, [&](const unsigned char* bytes, size_t count) {
            SHA256Update(&context, bytes, count);
            return true;
        }))
        return std::string();
    return SHA256End(&context, digest);
}

// A copy on the host of a file read through `platform`.
bool CopyOut(Platform& platform, const std::string& from, const std::string& to) {
    int fd = open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    bool copied = ReadVia(platform, from, [fd](const unsigned char* bytes, size_t count) {
        return write(fd, bytes, count) == ssize_t(count);
    });
    return close(fd) == 0 && copied;
}

// Copies a file whole to `to`, with its ends inverted, through a side file that `copy`
// makes and that takes the name only once it is complete and on the disk.
bool CopyInverted(const std::function<bool(const std::string& side)>& copy, const std::string& to,
                  unsigned mode) {
    std::string side = to + ".part";
    unlink(side.c_str());
    if (!copy(side)) {
        unlink(side.c_str());
        return false;
    }
    int fd = open(side.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
    bool synced = fd >= 0 && InvertEnds(fd) && fchmod(fd, mode) == 0 && fsync(fd) == 0;
    if (fd >= 0) close(fd);
    if (synced && rename(side.c_str(), to.c_str()) == 0) return true;
    unlink(side.c_str());
    return false;
}

}  // namespace

bool CQuarantine::Open(const char* folder) {
    m_folder = folder;
    mkdir(folder, 0700);
    struct stat st;
    if (lstat(folder, &st) != 0 || !S_ISDIR(st.st_mode) || access(folder, W_OK) != 0) {
        fprintf(stderr, "torvoclean: cannot use %s as the quarantine\n", folder);
        return false;
    }
    return true;
}

bool CQuarantine::Keep(Platform& platform, const char* path, const ImageVolumeName* volume) {
    struct stat st;
    if (m_kept.count(path)) return true;
    std::string digest = volume ? Sha256Via(platform, path) : Sha256OfFile(path);
    if (digest.empty() || (!volume && stat(path, &st) != 0)) return false;
    // A file in an image has DOS attributes where a file of the host has permissions.
    PlatAttributes attributes = {0, 0, 0};
    if (volume && !platform.GetAttributes(path, &attributes)) return false;
    unsigned mode = volume ? attributes.bits : unsigned(st.st_mode & 07777);
    std::string copy = m_folder + "/" + digest;
    auto copyOriginal = [&](const std::string& side) {
        return volume ? CopyOut(platform, path, side) : platform.Copy(path, side.c_str());
    };
    if (!Exists(copy) && !CopyInverted(copyOriginal, copy, 0600)) {
        fprintf(stderr, "torvoclean: %s: cannot copy it into the quarantine\n", path);
        return false;
    }
    m_kept[path] = {digest, mode, &platform, volume ? *volume : ImageVolumeName()};
    return true;
}

void CQuarantine::Record(const char* path, BatchFinding finding) {
    std::map<std::string, Kept>::iterator kept = m_kept.find(path);
    if (kept == m_kept.end()) return;
    Kept original = kept->second;
    m_kept.erase(kept);
    if (finding == FINDING_CLEAN_FAILED || finding == FINDING_OPEN_FAILED) return;  // unchanged
    std::string left = finding == FINDING_PENDING_RESTART
                           ? DigestOrNothing(std::string(path) + ".cln")
                           : DigestOrNothing(path);
    const ImageVolumeName& volume = original.volume;
    if (!volume.image.empty()) {
        left = original.platform->IsGone(path) ? kNothing : Sha256Via(*original.platform, path);
        if (left.empty()) left = kNothing;
    }
    Json line = {{"original", original.digest},
                 {"outcome", OutcomeWord(path, finding)},
                 {"time", Now()},
                 {"left", left == kNothing ? Json() : Json(left)}};
    if (volume.image.empty()) {
        PutName(line, "path", Absolute(path));
    } else {
        PutName(line, "image", Absolute(volume.image.c_str()));
        if (!volume.partition.empty()) line["partition"] = volume.partition;
        PutName(line, "path", path + ImageFilePath(volume, "").size());
    }
    char mode[8];
    snprintf(mode, sizeof mode, "%o", original.mode);
    if (volume.image.empty())
        line["mode"] = mode;
    else
        line["attributes"] = original.mode;
    FILE* manifest = fopen((m_folder + "/" + kManifest).c_str(), "a");
    if (!manifest) return;
    fprintf(manifest, "%s\n", JsonLine(line).c_str());
    fflush(manifest);
    fsync(fileno(manifest));
    fclose(manifest);
}

namespace {

struct ManifestLine {
    std::string path, original, outcome, left;
    unsigned mode;
    ImageVolumeName volume;  // of a file inside a disk image
};

bool FromJson(const std::string& text, ManifestLine* line) {
    Json object = Json::parse(text, nullptr, false);
    if (!object.is_object() || !GetName(object, "path", &line->path)) return false;
    if (object.contains("image")) {
        const Json& partition = object["partition"];
        if (!GetName(object, "image", &line->volume.image) ||
            !(partition.is_null() || partition.is_string()))
            return false;
        if (partition.is_string()) line->volume.partition = partition;
    }
    const Json& original = object["original"];
    const Json& left = object["left"];
    const Json& mode = object["mode"];
    const Json& attributes = object["attributes"];
    bool inImage = !line->volume.image.empty();
    if (!original.is_string() || !(left.is_string() || left.is_null()) ||
        !(inImage ? attributes.is_number_unsigned() : mode.is_string()))
        return false;
    line->original = original;
    line->left = left.is_null() ? kNothing : left.get<std::string>();
    line->mode = inImage ? attributes.get<unsigned>()
                         : unsigned(strtoul(mode.get<std::string>().c_str(), nullptr, 8));
    return true;
}

// An earlier version's line: tab-separated fields, the path with '%', tab, CR and LF
// written as %25, %09, %0D, %0A.
bool FromTabs(const std::string& text, ManifestLine* line) {
    std::vector<std::string> fields(1);
    for (char c : text) {
        if (c == '\t')
            fields.emplace_back();
        else
            fields.back() += c;
    }
    if (fields.size() != 6) return false;
    *line = {Unescaped(fields[0]),
             fields[1],
             fields[2],
             fields[4],
             unsigned(strtoul(fields[5].c_str(), nullptr, 8)),
             ImageVolumeName()};
    return true;
}

std::vector<ManifestLine> ReadManifest(const std::string& folder) {
    std::vector<ManifestLine> lines;
    bool earlier = !Exists(folder + "/" + kManifest);
    FILE* manifest = fopen((folder + "/" + (earlier ? kEarlierManifest : kManifest)).c_str(), "r");
    if (!manifest) return lines;
    char* text = nullptr;
    size_t size = 0;
    for (ssize_t length; (length = getline(&text, &size, manifest)) > 0;) {
        std::string content(text, size_t(length));
        if (content.back() == '\n') content.pop_back();
        ManifestLine line;
        if (earlier ? FromTabs(content, &line) : FromJson(content, &line)) lines.push_back(line);
    }
    free(text);
    fclose(manifest);
    return lines;
}

// The original goes back under its name, in one rename, with its permissions; what the
// restart list would still do to the file is taken back.
// A copy that is not the original any more (damaged, or taken away) is never put back.
bool PutBack(Engine& engine, const std::string& folder, const ManifestLine& line) {
    std::string side = line.path + ".restore";
    auto copyKept = [&](const std::string& to) {
        return engine.platform.Copy((folder + "/" + line.original).c_str(), to.c_str());
    };
    if (!CopyInverted(copyKept, side, line.mode)) {
        fprintf(stderr, "torvoclean: %s: its copy is missing\n", line.path.c_str());
        return false;
    }
    if (Sha256OfFile(side.c_str()) != line.original) {
        fprintf(stderr, "torvoclean: %s: its copy is damaged\n", line.path.c_str());
    } else if (rename(side.c_str(), line.path.c_str()) == 0) {
        return TakeBackPendingWork(engine, line.path.c_str());
    }
    unlink(side.c_str());
    return false;
}

bool RestoreOnHost(Engine& engine, const std::string& folder, const ManifestLine& line) {
    FileChangesLock lock(engine);
    std::string now = DigestOrNothing(line.path);
    if (!lock.IsHeld() || (now != line.original && now != line.left)) {
        fprintf(stderr, "torvoclean: %s: changed since, left as it is\n", line.path.c_str());
        return false;
    }
    return now == line.original ? TakeBackPendingWork(engine, line.path.c_str())
                                : PutBack(engine, folder, line);
}

// The original, checked on the host, is written beside the file in the volume, which it
// then replaces: all in one change of the image.
bool PutBackInVolume(Engine& engine, Platform& host, const std::string& folder,
                     const ManifestLine& line, const std::string& path) {
    std::string checked = folder + "/" + line.original + ".restore";
    auto copyKept = [&](const std::string& to) {
        return host.Copy((folder + "/" + line.original).c_str(), to.c_str());
    };
    bool whole =
        CopyInverted(copyKept, checked, 0600) && Sha256OfFile(checked.c_str()) == line.original;
    if (!whole) fprintf(stderr, "torvoclean: %s: its copy is missing or damaged\n", path.c_str());
    Platform& volume = engine.platform;
    std::string side = path + ".restore";
    PlatFile written = whole ? volume.CreateWork(side.c_str()) : PLAT_NO_FILE;
    bool copied = written != PLAT_NO_FILE &&
                  ReadVia(host, checked, [&](const unsigned char* bytes, size_t count) {
                      return volume.WriteAll(written, bytes, uint32_t(count));
                  });
    if (written != PLAT_NO_FILE) volume.Close(written);
    unlink(checked.c_str());
    if (copied) volume.SetAttributes(side.c_str(), {line.mode, 0, 0});
    if (!copied || (!volume.IsGone(path.c_str()) && !volume.Remove(path.c_str())) ||
        !volume.Rename(side.c_str(), path.c_str())) {
        volume.Remove(side.c_str());
        return false;
    }
    return TakeBackPendingWork(engine, path.c_str());
}

bool RestoreInVolume(Engine& engine, Platform& host, const std::string& folder,
                     const ManifestLine& line) {
    FileChangesLock lock(engine);
    std::string path = ImageFilePath(line.volume, line.path);
    std::string now =
        engine.platform.IsGone(path.c_str()) ? kNothing : Sha256Via(engine.platform, path);
    if (!lock.IsHeld() || (now != line.original && now != line.left)) {
        fprintf(stderr, "torvoclean: %s: changed since, left as it is\n", path.c_str());
        return false;
    }
    return now == line.original ? TakeBackPendingWork(engine, path.c_str())
                                : PutBackInVolume(engine, host, folder, line, path);
}

}  // namespace

int RestoreQuarantine(Engine& engine, const char* folder, bool quiet) {
    std::vector<ManifestLine> lines = ReadManifest(folder);
    if (lines.empty()) {
        fprintf(stderr, "torvoclean: %s holds no quarantine manifest\n", folder);
        return 2;
    }
    int status = 0;
    for (size_t i = lines.size(); i-- > 0;) {
        const ManifestLine& line = lines[i];
        bool inImage = !line.volume.image.empty();
        bool restored = inImage ? ChangeImageVolume(line.volume,
                                                    [&](Engine& volume) {
                                                        return RestoreInVolume(
                                                            volume, engine.platform, folder, line);
                                                    })
                                : RestoreOnHost(engine, folder, line);
        std::string name = inImage ? ImageFilePath(line.volume, line.path) : line.path;
        if (!restored)
            status = 2;
        else if (!quiet)
            printf("%s: RESTORED\n", name.c_str());
    }
    return status;
}
