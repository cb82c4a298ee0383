// Splits mbox files (mboxo and mboxrd: messages one after another, each after a "From "
// line) into their messages, reading through a callback in bounded memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace mail {

// Reads `count` bytes at `offset` into the buffer: the bytes read, fewer at the end of the
// file, below 0 on an error.
typedef std::function<int64_t(int64_t offset, void* buffer, size_t count)> ReadAt;

// Whether the file is an mbox: it begins with "From " and a postmark (a sender, then a
// rest of line that holds a time or a year).
bool LooksLikeMbox(const unsigned char* head, size_t size);

// A message of an mbox: from its "From " line up to the next one (or the end of the file).
struct MboxMessage {
    int64_t offset, length;
};

// Splits an mbox of `size` bytes into messages: a message begins at a line starting with
// "From " at the start of the file or after an empty line (">From " lines of bodies are
// body text). Bytes before the first such line make a message of their own. Reads in
// chunks; false with `error` on a read error or a file shorter than `size`.
bool SplitMbox(const ReadAt& read, int64_t size, std::vector<MboxMessage>* messages,
               std::string* error);

// Where the header of an mbox message starts: past its "From " line, or 0 when it has
// none. ParseMessage reads from there (">From " lines need no unquoting).
size_t MboxHeaderStart(const unsigned char* message, size_t size);

}  // namespace mail
