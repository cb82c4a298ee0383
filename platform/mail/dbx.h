// Reads the messages of an Outlook Express 5/6 folder file (.dbx). The file is never
// trusted: every offset is checked against it, trees and chains of blocks are followed
// only as far as they stay sound, and what cannot be read is told as a problem.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "platform/mail/mbox.h"
#include "platform/mail/mime.h"

namespace mail {

// Whether the file is a folder of messages of Outlook Express 5/6: its first 16 bytes are
// CF AD 12 FE and the class id of a message database (C5 FD 74 6F 66 E3 D1 11 9A 4E 00 C0;
// not Folders.dbx nor the offline or POP3 files).
bool LooksLikeDbx(const unsigned char* head, size_t size);

typedef std::function<bool(int index, const std::vector<unsigned char>& raw)> OnDbxMessage;

// Reads every message of a .dbx through `read`, giving each message's raw RFC 822 bytes
// (the chain of its data blocks joined) and its index (0-based, in the file's tree order)
// to `onMessage`, which returns false to stop. A message larger than limits.maxTotal is cut
// there. Trees and chains that loop, point outside the file or are larger than the limits
// end that message or that branch of the tree with a problem in `problems`. False with
// `error` when the file cannot be read as a .dbx at all, or a read fails.
bool ReadDbx(const ReadAt& read, int64_t size, const Limits& limits, const OnDbxMessage& onMessage,
             std::vector<std::string>* problems, std::string* error);

}  // namespace mail
