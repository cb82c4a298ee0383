// Records the file-changing system calls a run makes below one folder, by standing in
// for them (the linker's --wrap), and builds from such a record the states a power cut
// could leave on the disk.
//
// The persistence model. The calls reach the disk in their order only where the
// program asked for it:
// - A file's data written since its last fsync may be on the disk whole, or missing
//   (the file as it was at that fsync; empty for a file never flushed), or cut short
//   (half of it).
// - A creation, deletion or rename in a folder since that folder's last fsync may or
//   may not have reached the disk, each on its own; those that did apply in their order
//   (one whose file is not there then does nothing).
// - What was flushed, and what came before the folder's fsync, is on the disk.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace fstrace {

struct Op {
    enum Kind { CREATE, WRITE, TRUNCATE, SYNC_FILE, SYNC_FOLDER, UNLINK, RENAME };
    explicit Op(Kind what) : kind(what) {}
    Kind kind;
    ino_t inode = 0;   // CREATE, WRITE, TRUNCATE, SYNC_FILE
    std::string path;  // CREATE, UNLINK, RENAME (from), SYNC_FOLDER
    std::string to;    // RENAME
    off_t offset = 0;  // WRITE; TRUNCATE: the new length
    std::string data;  // WRITE
};

// The files below a folder (folders themselves are taken as they are), by path.
typedef std::map<std::string, std::string> Files;

struct Recording {
    Files before;                         // the files when it started
    std::map<std::string, ino_t> inodes;  // and their inodes
    std::vector<Op> ops;                  // what changed them, in order
};

// Starts recording the calls that change anything below `root`.
void Start(const std::string& root);
Recording Stop();

// Every file below `root`, read without recording.
Files ReadTree(const std::string& root);
// Makes the files below `root` these (folders stay).
void WriteTree(const std::string& root, const Files& files);

// The states a power cut after the first `cut` calls may leave: all of them, or `limit`
// drawn from them (always with the state where everything reached the disk, which a
// kill leaves, and the one where nothing unflushed did).
std::vector<Files> CrashStates(const Recording& recording, size_t cut, size_t limit, uint32_t seed);

std::string Describe(const Op& op);

}  // namespace fstrace
