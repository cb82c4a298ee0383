// Synthetic mail containers for trying the mail readers: MIME messages with attachments in
// every transfer encoding, and Outlook Express 5/6 folders (.dbx) holding given messages.
// The output depends only on the description.
#pragma once

#include <string>
#include <vector>

#include "tools/samplegen/samples.h"

namespace mail_samples {

using samples::Bytes;

enum class Encoding { kBase64, kQuotedPrintable, kUuencode };

struct NamedFile {
    std::string name;  // UTF-8
    Bytes data;
};

struct MimeMessage {
    std::string subject = "Harmless test message";  // UTF-8
    std::string from = "Sample Generator <samples@example.invalid>";
    std::string messageId = "<mail-sample@example.invalid>";
    std::vector<NamedFile> attachments;
    std::vector<Bytes> messages;  // attached as message/rfc822, after the attachments
    // kUuencode: the attachments are uuencoded blocks at the end of the text part.
    Encoding encoding = Encoding::kBase64;
    bool lineFeeds = false;  // LF line ends, not CRLF
    // Names that are not ASCII as RFC 2231 parameters (filename*=UTF-8''...), not as
    // RFC 2047 encoded words.
    bool rfc2231Names = false;
};

// A multipart/mixed message: a short text part first, then the attachments and messages.
Bytes MimeMessageFile(const MimeMessage& message);

// A folder file of Outlook Express 5/6 holding `messages` in order: the file header, the
// tree of message infos (one node, or more past 51 messages), the message infos, and
// each message in a chain of data blocks of 0x200 bytes.
Bytes DbxFolder(const std::vector<Bytes>& messages);

}  // namespace mail_samples
