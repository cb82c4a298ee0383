// The layout read here, as Outlook Express 5 and 6 write a folder of messages (all
// numbers little-endian, all offsets from the start of the file):
// - the file header: the signature, at 0xC4 the number of messages, at 0xE4 the offset
//   of the root node of the tree of message infos;
// - a tree node (0x27C bytes): its own offset, unused, its first child, its parent, an id
//   byte, the number of entries (byte 0x11), unused, the number of values below the first
//   child; then up to 0x33 entries {value, child, values below the child}. A node's
//   values in order: those below its first child, then each entry's value followed by
//   those below the entry's child;
// - a message info: its own offset, the length of its body, a 16-bit length, the number
//   of index entries, a count of changes; then the index entries (bits 0-6 the index, bit
//   7 set when the 24 bits after it are the value itself, else they are where in the data
//   after the entries the value lies), then that data. Index 0x04 holds the offset of the
//   message's first data block;
// - a data block: its own offset, the size of its data area, the bytes of it used, the
//   next block (0 after the last); then the data.
#include "platform/mail/dbx.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace mail {
namespace {

const unsigned char kSignature[16] = {0xCF, 0xAD, 0x12, 0xFE, 0xC5, 0xFD, 0x74, 0x6F,
                                      0x66, 0xE3, 0xD1, 0x11, 0x9A, 0x4E, 0x00, 0xC0};
const size_t kCountAt = 0xC4;
const size_t kRootAt = 0xE4;
const size_t kHeaderRead = kRootAt + 4;

const size_t kNodeHeader = 0x18;
const size_t kNodeEntry = 12;
const size_t kMostNodeEntries = 0x33;
const size_t kNodeSize = kNodeHeader + kMostNodeEntries * kNodeEntry;
const size_t kNodeEntriesAt = 0x11;
// Outlook Express needs 5 levels for 2^32 messages; deeper is a broken tree.
const size_t kMostTreeDepth = 32;

const size_t kInfoHeader = 12;
const size_t kMostInfoBody = 0x10000;
const unsigned kFirstBlockIndex = 0x04;
const unsigned kDirectValue = 0x80;

const size_t kBlockHeader = 16;

uint32_t Get32(const unsigned char* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

std::string Hex(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", value);
    return text;
}

struct Node {
    uint32_t offset = 0;
    uint32_t firstChild = 0;
    std::vector<uint32_t> values, children;  // per entry; a child 0 is none
};

// Where the walk of the tree stands in one node: 0 before its first child, then 2i + 1
// before entry i's value and 2i + 2 before entry i's child.
struct Visit {
    Node node;
    size_t step = 0;
};

class DbxReader {
  public:
    DbxReader(const ReadAt& read, int64_t size, const Limits& limits, const OnDbxMessage& onMessage,
              std::vector<std::string>* problems)
        : read_(read), size_(size), limits_(limits), onMessage_(onMessage), problems_(problems) {}

    bool Read(std::string* error) {
        unsigned char header[kHeaderRead];
        if (size_ < int64_t(kHeaderRead)) {
            *error = "too short for an Outlook Express folder";
            return false;
        }
        if (!ReadBytes(0, header, sizeof header)) return Failed(error);
        if (!LooksLikeDbx(header, sizeof header)) {
            *error = "not an Outlook Express folder of messages";
            return false;
        }
        uint32_t count = Get32(header + kCountAt);
        WalkTree(Get32(header + kRootAt));
        if (failed_) return Failed(error);
        if (!stopped_ && uint32_t(index_) != count) {
            Problem("the folder counts " + std::to_string(count) + " messages, its tree holds " +
                    std::to_string(index_));
        }
        return true;
    }

  private:
    bool Failed(std::string* error) {
        *error = error_;
        return false;
    }

    void Problem(const std::string& text) { problems_->push_back(text); }

    // False when the bytes lie outside the file, or the read fails (failed_ then).
    bool ReadBytes(uint64_t offset, void* buffer, size_t count) {
        if (offset > uint64_t(size_) || count > uint64_t(size_) - offset) return false;
        int64_t got = read_(int64_t(offset), buffer, count);
        if (got != int64_t(count)) {
            failed_ = true;
            error_ = got < 0 ? "cannot read at offset " + std::to_string(offset)
                             : "the file ends before its size of " + std::to_string(size_);
            return false;
        }
        return true;
    }

    void WalkTree(uint32_t root) {
        if (root == 0) return;
        std::vector<Visit> path;
        Enter(root, 0, &path);
        while (!path.empty() && !failed_ && !stopped_) {
            Visit& visit = path.back();
            size_t step = visit.step++;
            size_t entry = (step - 1) / 2;
            if (step == 0) {
                if (visit.node.firstChild) Enter(visit.node.firstChild, visit.node.offset, &path);
            } else if (entry >= visit.node.values.size()) {
                path.pop_back();
            } else if (step % 2 == 1) {
                ReadMessage(visit.node.values[entry]);
            } else if (visit.node.children[entry]) {
                Enter(visit.node.children[entry], visit.node.offset, &path);
            }
        }
    }

    // Each node's parent must be the node it is reached from, and a node names each child
    // once: so no node is reached twice, and the walk ends however the file is made.
    void Enter(uint32_t offset, uint32_t parent, std::vector<Visit>* path) {
        std::string where = "tree node at " + Hex(offset);
        if (path->size() >= kMostTreeDepth) {
            Problem(where + ": deeper than " + std::to_string(kMostTreeDepth) +
                    " levels; its messages are skipped");
            return;
        }
        unsigned char bytes[kNodeSize];
        if (!ReadBytes(offset, bytes, sizeof bytes)) {
            if (!failed_) Problem(where + ": outside the file; its messages are skipped");
            return;
        }
        size_t entries = bytes[kNodeEntriesAt];
        if (Get32(bytes) != offset || Get32(bytes + 12) != parent || entries > kMostNodeEntries) {
            Problem(where + ": not a node of the tree; its messages are skipped");
            return;
        }
        Visit visit;
        visit.node.offset = offset;
        visit.node.firstChild = Get32(bytes + 8);
        std::vector<uint32_t> named = {visit.node.firstChild};
        for (size_t i = 0; i < entries; ++i) {
            const unsigned char* entry = bytes + kNodeHeader + i * kNodeEntry;
            uint32_t child = Get32(entry + 4);
            if (child && std::find(named.begin(), named.end(), child) != named.end()) {
                Problem(where + ": names a child twice; the second is skipped");
                child = 0;
            }
            named.push_back(child);
            visit.node.values.push_back(Get32(entry));
            visit.node.children.push_back(child);
        }
        path->push_back(std::move(visit));
    }

    void ReadMessage(uint32_t info) {
        int index = index_++;
        std::string label = "message " + std::to_string(index);
        uint32_t block;
        if (!FirstBlock(info, label, &block)) return;
        std::vector<unsigned char> raw;
        ReadChain(block, label, &raw);
        if (!failed_ && !onMessage_(index, raw)) stopped_ = true;
    }

    // The offset of the message's first data block, from index 0x04 of its info.
    bool FirstBlock(uint32_t info, const std::string& label, uint32_t* block) {
        unsigned char header[kInfoHeader];
        if (!ReadBytes(info, header, sizeof header)) {
            if (!failed_) Problem(label + ": its info lies outside the file; skipped");
            return false;
        }
        uint32_t bodyLength = Get32(header + 4);
        size_t entries = header[10];
        if (Get32(header) != info || bodyLength > kMostInfoBody || entries * 4 > bodyLength) {
            Problem(label + ": its info is not one; skipped");
            return false;
        }
        std::vector<unsigned char> body(bodyLength);
        if (!ReadBytes(uint64_t(info) + kInfoHeader, body.data(), body.size())) {
            if (!failed_) Problem(label + ": its info lies outside the file; skipped");
            return false;
        }
        for (size_t i = 0; i < entries; ++i) {
            const unsigned char* entry = body.data() + i * 4;
            if ((entry[0] & ~kDirectValue) != kFirstBlockIndex) continue;
            uint32_t value = Get32(entry) >> 8;
            if (entry[0] & kDirectValue) {
                *block = value;
                return true;
            }
            size_t at = entries * 4 + value;
            if (at + 4 > body.size()) break;
            *block = Get32(body.data() + at);
            return true;
        }
        Problem(label + ": its info gives no data; skipped");
        return false;
    }

    // Joins the chain's data. Loops are found by Brent's method: a mark left at the block
    // reached after 1, 2, 4, 8 ... steps is met again only in a loop.
    void ReadChain(uint32_t block, const std::string& label, std::vector<unsigned char>* raw) {
        uint32_t mark = block;
        uint64_t steps = 0, power = 1;
        while (block) {
            unsigned char header[kBlockHeader];
            if (!ReadBytes(block, header, sizeof header)) {
                if (!failed_) Problem(label + ": a data block lies outside the file; cut short");
                return;
            }
            uint32_t used = Get32(header + 8);
            if (Get32(header) != block || used > Get32(header + 4)) {
                Problem(label + ": a data block is not one; cut short");
                return;
            }
            if (uint64_t(block) + kBlockHeader + used > uint64_t(size_)) {
                Problem(label + ": a data block lies outside the file; cut short");
                return;
            }
            size_t take = std::min(size_t(used), limits_.maxTotal - raw->size());
            size_t had = raw->size();
            raw->resize(had + take);
            if (!ReadBytes(uint64_t(block) + kBlockHeader, raw->data() + had, take)) return;
            if (take < used) {
                Problem(label + ": larger than the limit of a message, cut short");
                return;
            }
            if (++steps == power) {
                mark = block;
                power *= 2;
                steps = 0;
            }
            block = Get32(header + 12);
            if (block && block == mark) {
                Problem(label + ": its data blocks loop; cut short");
                return;
            }
        }
    }

    const ReadAt& read_;
    int64_t size_;
    const Limits& limits_;
    const OnDbxMessage& onMessage_;
    std::vector<std::string>* problems_;
    int index_ = 0;
    bool failed_ = false, stopped_ = false;
    std::string error_;
};

}  // namespace

bool LooksLikeDbx(const unsigned char* head, size_t size) {
    return size >= sizeof kSignature && std::memcmp(head, kSignature, sizeof kSignature) == 0;
}

bool ReadDbx(const ReadAt& read, int64_t size, const Limits& limits, const OnDbxMessage& onMessage,
             std::vector<std::string>* problems, std::string* error) {
    return DbxReader(read, size, limits, onMessage, problems).Read(error);
}

}  // namespace mail
