#include "tests/faults/fs_trace.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <set>
#include <stdexcept>

namespace fstrace {
namespace {

struct OpenFile {
    std::string path;
    ino_t inode;
    bool isFolder;
};

bool g_bRecording;
std::string g_strRoot;
std::map<int, OpenFile> g_openFiles;  // below the root, while recording
Recording g_recording;

std::string FolderOf(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos || slash == 0 ? "/" : path.substr(0, slash);
}

std::string Normalized(std::string path) {
    for (size_t at; (at = path.find("//")) != std::string::npos;) path.erase(at, 1);
    for (size_t at; (at = path.find("/./")) != std::string::npos;) path.erase(at, 2);
    return path;
}

std::string PathAt(int folder, const char* name) {
    if (name[0] == '/') return Normalized(name);
    std::string base;
    if (folder == AT_FDCWD) {
        char* current = getcwd(nullptr, 0);
        base = current ? current : ".";
        free(current);
    } else if (g_openFiles.count(folder)) {
        base = g_openFiles[folder].path;
    } else {
        char link[64], target[4096];
        snprintf(link, sizeof link, "/proc/self/fd/%d", folder);
        ssize_t length = readlink(link, target, sizeof target - 1);
        base = length > 0 ? std::string(target, size_t(length)) : "?";
    }
    return Normalized(base + "/" + name);
}

bool IsBelowRoot(const std::string& path) {
    return g_bRecording &&
           (path == g_strRoot || path.compare(0, g_strRoot.size() + 1, g_strRoot + "/") == 0);
}

void Record(Op op) {
    g_recording.ops.push_back(op);
}

const OpenFile* Traced(int fd) {
    if (!g_bRecording) return nullptr;
    auto found = g_openFiles.find(fd);
    return found == g_openFiles.end() ? nullptr : &found->second;
}

template <typename Call>
int Opened(int folder, const char* name, int flags, Call call) {
    std::string path = g_bRecording ? PathAt(folder, name) : std::string();
    if (!IsBelowRoot(path)) return call();
    struct stat st;
    bool existed = lstat(path.c_str(), &st) == 0;
    int fd = call();
    if (fd < 0 || fstat(fd, &st) != 0) return fd;
    g_openFiles[fd] = {path, st.st_ino, S_ISDIR(st.st_mode)};
    if ((flags & O_CREAT) && !existed) {
        Op op{Op::CREATE};
        op.inode = st.st_ino;
        op.path = path;
        Record(op);
    } else if ((flags & O_TRUNC) && S_ISREG(st.st_mode)) {
        Op op{Op::TRUNCATE};
        op.inode = st.st_ino;
        Record(op);
    }
    return fd;
}

void RecordWrite(const OpenFile* file, off_t offset, const void* data, ssize_t written) {
    if (!file || written <= 0) return;
    Op op{Op::WRITE};
    op.inode = file->inode;
    op.offset = offset;
    op.data.assign(static_cast<const char*>(data), size_t(written));
    Record(op);
}

void RecordPathChange(Op::Kind kind, const std::string& path, const std::string& to = "") {
    Op op{kind};
    op.path = path;
    op.to = to;
    Record(op);
}

}  // namespace
}  // namespace fstrace

using namespace fstrace;

// The stand-ins for the system calls (linked with -Wl,--wrap=NAME).
extern "C" {
int __real_open(const char* path, int flags, ...);
int __real_openat(int folder, const char* name, int flags, ...);
int __real_close(int fd);
ssize_t __real_write(int fd, const void* data, size_t count);
ssize_t __real_pwrite(int fd, const void* data, size_t count, off_t offset);
int __real_ftruncate(int fd, off_t length);
int __real_unlink(const char* path);
int __real_unlinkat(int folder, const char* name, int flags);
int __real_rename(const char* from, const char* to);
int __real_renameat(int fromFolder, const char* from, int toFolder, const char* to);
int __real_renameat2(int fromFolder, const char* from, int toFolder, const char* to,
                     unsigned flags);

int __wrap_unlinkat(int folder, const char* name, int flags);
int __wrap_renameat2(int fromFolder, const char* from, int toFolder, const char* to,
                     unsigned flags);

static mode_t ModeOf(int flags, va_list arguments) {
    return (flags & O_CREAT) ? mode_t(va_arg(arguments, int)) : 0;
}

int __wrap_open(const char* path, int flags, ...) {
    va_list arguments;
    va_start(arguments, flags);
    mode_t mode = ModeOf(flags, arguments);
    va_end(arguments);
    return Opened(AT_FDCWD, path, flags, [&] { return __real_open(path, flags, mode); });
}

int __wrap_openat(int folder, const char* name, int flags, ...) {
    va_list arguments;
    va_start(arguments, flags);
    mode_t mode = ModeOf(flags, arguments);
    va_end(arguments);
    return Opened(folder, name, flags, [&] { return __real_openat(folder, name, flags, mode); });
}

int __wrap_close(int fd) {
    g_openFiles.erase(fd);
    return __real_close(fd);
}

ssize_t __wrap_write(int fd, const void* data, size_t count) {
    const OpenFile* file = Traced(fd);
    off_t offset = file ? lseek(fd, 0, SEEK_CUR) : 0;
    ssize_t written = __real_write(fd, data, count);
    RecordWrite(file, offset, data, written);
    return written;
}

ssize_t __wrap_pwrite(int fd, const void* data, size_t count, off_t offset) {
    ssize_t written = __real_pwrite(fd, data, count, offset);
    RecordWrite(Traced(fd), offset, data, written);
    return written;
}

int __wrap_ftruncate(int fd, off_t length) {
    int result = __real_ftruncate(fd, length);
    const OpenFile* file = Traced(fd);
    if (file && result == 0) {
        Op op{Op::TRUNCATE};
        op.inode = file->inode;
        op.offset = length;
        Record(op);
    }
    return result;
}

// Durability is what the record models: the disk itself is never asked to flush, which
// keeps thousands of runs fast.
int __wrap_fsync(int fd) {
    if (fcntl(fd, F_GETFD) < 0) return -1;
    const OpenFile* file = Traced(fd);
    if (!file) return 0;
    Op op{file->isFolder ? Op::SYNC_FOLDER : Op::SYNC_FILE};
    op.inode = file->inode;
    op.path = file->path;
    Record(op);
    return 0;
}

int __wrap_fdatasync(int fd) {
    return __wrap_fsync(fd);
}

int __wrap_unlink(const char* path) {
    return __wrap_unlinkat(AT_FDCWD, path, 0);
}

int __wrap_unlinkat(int folder, const char* name, int flags) {
    std::string path = g_bRecording ? PathAt(folder, name) : std::string();
    int result = __real_unlinkat(folder, name, flags);
    if (result == 0 && !(flags & AT_REMOVEDIR) && IsBelowRoot(path))
        RecordPathChange(Op::UNLINK, path);
    return result;
}

int __wrap_rename(const char* from, const char* to) {
    return __wrap_renameat2(AT_FDCWD, from, AT_FDCWD, to, 0);
}

int __wrap_renameat(int fromFolder, const char* from, int toFolder, const char* to) {
    return __wrap_renameat2(fromFolder, from, toFolder, to, 0);
}

int __wrap_renameat2(int fromFolder, const char* from, int toFolder, const char* to,
                     unsigned flags) {
    std::string source = g_bRecording ? PathAt(fromFolder, from) : std::string();
    std::string target = g_bRecording ? PathAt(toFolder, to) : std::string();
    int result = flags ? __real_renameat2(fromFolder, from, toFolder, to, flags)
                       : __real_renameat(fromFolder, from, toFolder, to);
    if (result == 0 && IsBelowRoot(source)) RecordPathChange(Op::RENAME, source, target);
    return result;
}
}

namespace fstrace {
namespace {

void ReadFolder(const std::string& folder, Files* files, std::map<std::string, ino_t>* inodes) {
    DIR* listing = opendir(folder.c_str());
    if (!listing) return;
    while (dirent* entry = readdir(listing)) {
        std::string name = entry->d_name, path = folder + "/" + name;
        struct stat st;
        if (name == "." || name == ".." || lstat(path.c_str(), &st) != 0) continue;
        if (S_ISDIR(st.st_mode)) {
            ReadFolder(path, files, inodes);
            continue;
        }
        std::string content;
        if (FILE* file = fopen(path.c_str(), "rb")) {
            char buffer[65536];
            for (size_t got; (got = fread(buffer, 1, sizeof buffer, file)) > 0;)
                content.append(buffer, got);
            fclose(file);
        }
        (*files)[path] = content;
        if (inodes) (*inodes)[path] = st.st_ino;
    }
    closedir(listing);
}

}  // namespace

Files ReadTree(const std::string& root) {
    Files files;
    ReadFolder(root, &files, nullptr);
    return files;
}

void WriteTree(const std::string& root, const Files& files) {
    for (const auto& old : ReadTree(root)) unlink(old.first.c_str());
    for (const auto& file : files) {
        FILE* out = fopen(file.first.c_str(), "wb");
        if (!out) throw std::runtime_error("cannot write " + file.first);
        fwrite(file.second.data(), 1, file.second.size(), out);
        fclose(out);
    }
}

void Start(const std::string& root) {
    g_recording = Recording();
    ReadFolder(root, &g_recording.before, &g_recording.inodes);
    g_strRoot = Normalized(root);
    g_openFiles.clear();
    g_bRecording = true;
}

Recording Stop() {
    g_bRecording = false;
    g_openFiles.clear();
    return g_recording;
}

namespace {

bool IsFolderChange(const Op& op) {
    return op.kind == Op::CREATE || op.kind == Op::UNLINK || op.kind == Op::RENAME;
}

// Whether a folder change reached the disk for certain: a sync of its folder (of both,
// for a rename between two) came after it, before the cut.
bool IsSynced(const std::vector<Op>& ops, size_t change, size_t cut) {
    const Op& op = ops[change];
    std::set<std::string> folders = {FolderOf(op.path)};
    if (op.kind == Op::RENAME) folders.insert(FolderOf(op.to));
    for (size_t i = change + 1; i < cut && !folders.empty(); ++i)
        if (ops[i].kind == Op::SYNC_FOLDER) folders.erase(ops[i].path);
    return folders.empty();
}

struct Node {
    std::string current, synced;
};

// One way the calls before the cut may have reached the disk.
struct Choice {
    std::vector<bool> changeReached;  // by call, for folder changes not synced
    std::map<int, int> version;       // by node: 0 whole, 1 as last flushed, 2 cut short
};

class Replay {
  public:
    Replay(const Recording& recording, size_t cut) : m_recording(recording), m_cut(cut) {
        for (const auto& file : recording.before) {
            int node = NewNode(recording.inodes.at(file.first), file.second);
            m_names[file.first] = node;
        }
    }

    Files Run(const Choice& choice) {
        for (size_t i = 0; i < m_cut; ++i) Apply(m_recording.ops[i], choice.changeReached[i]);
        Files files;
        for (const auto& name : m_names) {
            const Node& node = m_nodes[size_t(name.second)];
            auto version = choice.version.find(name.second);
            int which = version == choice.version.end() ? 0 : version->second;
            files[name.first] = which == 0   ? node.current
                                : which == 1 ? node.synced
                                             : node.current.substr(0, node.current.size() / 2);
        }
        return files;
    }

    // The nodes whose data was not all flushed at the cut.
    std::vector<int> Unflushed() const {
        std::vector<int> nodes;
        for (size_t i = 0; i < m_nodes.size(); ++i)
            if (m_nodes[i].current != m_nodes[i].synced) nodes.push_back(int(i));
        return nodes;
    }

  private:
    int NewNode(ino_t inode, const std::string& content) {
        m_nodes.push_back({content, content});
        return m_byInode[inode] = int(m_nodes.size() - 1);
    }

    Node* NodeOf(ino_t inode) {
        auto found = m_byInode.find(inode);
        return found == m_byInode.end() ? nullptr : &m_nodes[size_t(found->second)];
    }

    void Apply(const Op& op, bool reached) {
        Node* node = op.kind == Op::CREATE ? nullptr : NodeOf(op.inode);
        switch (op.kind) {
            case Op::CREATE: {
                int created = NewNode(op.inode, std::string());
                if (reached) m_names[op.path] = created;
                break;
            }
            case Op::WRITE:
                if (!node) break;
                if (node->current.size() < size_t(op.offset) + op.data.size())
                    node->current.resize(size_t(op.offset) + op.data.size());
                node->current.replace(size_t(op.offset), op.data.size(), op.data);
                break;
            case Op::TRUNCATE:
                if (node) node->current.resize(size_t(op.offset));
                break;
            case Op::SYNC_FILE:
                if (node) node->synced = node->current;
                break;
            case Op::UNLINK:
                if (reached) m_names.erase(op.path);
                break;
            case Op::RENAME:
                if (reached && m_names.count(op.path)) {
                    int moved = m_names[op.path];
                    m_names.erase(op.path);
                    m_names[op.to] = moved;
                }
                break;
            case Op::SYNC_FOLDER:
                break;
        }
    }

    const Recording& m_recording;
    size_t m_cut;
    std::vector<Node> m_nodes;
    std::map<ino_t, int> m_byInode;
    std::map<std::string, int> m_names;
};

}  // namespace

std::vector<Files> CrashStates(const Recording& recording, size_t cut, size_t limit,
                               uint32_t seed) {
    std::vector<size_t> open;  // folder changes that may or may not have reached the disk
    Choice all;
    all.changeReached.assign(cut, true);
    for (size_t i = 0; i < cut; ++i)
        if (IsFolderChange(recording.ops[i]) && !IsSynced(recording.ops, i, cut)) open.push_back(i);
    Replay probe(recording, cut);
    probe.Run(all);
    std::vector<int> unflushed = probe.Unflushed();

    // Choice number n: its low bits say which open changes reached the disk, the rest
    // in base 3 which version of each unflushed node is there.
    double total = double(uint64_t(1) << std::min<size_t>(open.size(), 40)) *
                   std::pow(3.0, double(unflushed.size()));
    auto choose = [&](uint64_t bits, std::vector<int> versions) {
        Choice choice = all;
        for (size_t i = 0; i < open.size(); ++i) choice.changeReached[open[i]] = (bits >> i) & 1;
        for (size_t i = 0; i < unflushed.size(); ++i) choice.version[unflushed[i]] = versions[i];
        return Replay(recording, cut).Run(choice);
    };
    std::set<Files> seen;
    std::vector<Files> states;
    auto add = [&](Files files) {
        if (seen.insert(files).second) states.push_back(files);
    };
    uint64_t allReached = open.size() >= 64 ? ~uint64_t(0) : (uint64_t(1) << open.size()) - 1;
    add(choose(allReached, std::vector<int>(unflushed.size(), 0)));
    add(choose(0, std::vector<int>(unflushed.size(), 1)));
    std::mt19937 random(seed);
    bool everyOne = total <= double(limit);
    for (uint64_t n = 0; everyOne ? double(n) < total : states.size() < limit && n < 20 * limit;
         ++n) {
        uint64_t code = everyOne ? n : random();
        std::vector<int> versions;
        uint64_t rest = everyOne ? code >> open.size() : random();
        for (size_t i = 0; i < unflushed.size(); ++i, rest /= 3) versions.push_back(int(rest % 3));
        add(choose(code & allReached, versions));
    }
    return states;
}

std::string Describe(const Op& op) {
    const char* const names[] = {"create",       "write",  "truncate", "fsync",
                                 "fsync folder", "unlink", "rename"};
    std::string text = names[op.kind];
    if (!op.path.empty()) text += " " + op.path;
    if (op.kind == Op::RENAME) text += " -> " + op.to;
    if (op.kind == Op::WRITE)
        text += " " + std::to_string(op.data.size()) + " bytes at " + std::to_string(op.offset);
    if (op.kind == Op::TRUNCATE) text += " to " + std::to_string(op.offset);
    return text;
}

}  // namespace fstrace
