// The mail readers against samplegen's writers: what a writer puts in must come back out,
// and broken input must give problems, never a crash.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "platform/mail/dbx.h"
#include "platform/mail/mbox.h"
#include "platform/mail/mime.h"
#include "tools/samplegen/mail_samples.h"

namespace {

using mail_samples::Bytes;
using mail_samples::Encoding;

Bytes ToBytes(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

std::string Text(const Bytes& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

mail::Message Parse(const Bytes& raw, const mail::Limits& limits = mail::Limits()) {
    return mail::ParseMessage(raw.data(), raw.size(), limits);
}

mail::ReadAt ReaderOf(const Bytes& file) {
    return [&file](int64_t offset, void* buffer, size_t count) -> int64_t {
        if (offset < 0 || size_t(offset) > file.size()) return -1;
        size_t got = std::min(count, file.size() - size_t(offset));
        if (got) std::memcpy(buffer, file.data() + offset, got);
        return int64_t(got);
    };
}

// The attachments a writer was given, with bytes that every encoding must carry: none,
// line breaks of both kinds, white space before them and at the end, '=', every byte.
std::vector<mail_samples::NamedFile> Attachments() {
    Bytes everyByte;
    for (int i = 0; i < 256; ++i) everyByte.push_back(uint8_t(i));
    return {
        {"empty.txt", {}},
        {"lines \"quoted\".txt", ToBytes("a line \r\nanother\t\nx = y \n\n.\r\nend with space ")},
        {"R\xC3\xA9sum\xC3\xA9 \xE2\x82\xAC.bin", everyByte},
        {std::string("a long name ") + std::string(20, 'x') + " \xE6\x97\xA5\xE6\x9C\xAC.exe",
         samples::Filler(5000, 7)},
    };
}

void ExpectAttachments(const mail::Message& message, size_t first) {
    std::vector<mail_samples::NamedFile> expected = Attachments();
    ASSERT_EQ(message.parts.size(), first + expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(message.parts[first + i].name, expected[i].name);
        EXPECT_EQ(message.parts[first + i].data, expected[i].data) << expected[i].name;
    }
}

TEST(MimeTest, EveryEncodingComesBackWhole) {
    for (Encoding encoding : {Encoding::kBase64, Encoding::kQuotedPrintable, Encoding::kUuencode}) {
        for (bool lineFeeds : {false, true}) {
            for (bool rfc2231 : {false, true}) {
                SCOPED_TRACE(testing::Message() << "encoding " << int(encoding) << ", LF "
                                                << lineFeeds << ", RFC 2231 " << rfc2231);
                mail_samples::MimeMessage written;
                written.subject =
                    "Caf\xC3\xA9 \xE2\x80\x94 a subject long enough to need two words";
                written.from = "J\xC3\xBCrgen <j@example.invalid>";
                written.messageId = "<id-1@example.invalid>";
                written.attachments = Attachments();
                written.encoding = encoding;
                written.lineFeeds = lineFeeds;
                written.rfc2231Names = rfc2231;
                Bytes raw = mail_samples::MimeMessageFile(written);
                EXPECT_TRUE(mail::LooksLikeMessage(raw.data(), std::min<size_t>(raw.size(), 4096)));
                EXPECT_FALSE(mail::LooksLikeMbox(raw.data(), raw.size()));

                mail::Message read = Parse(raw);
                EXPECT_EQ(read.subject, written.subject);
                EXPECT_EQ(read.from, written.from);
                EXPECT_EQ(read.messageId, written.messageId);
                EXPECT_TRUE(read.problems.empty()) << read.problems.front();
                ASSERT_FALSE(read.parts.empty());
                EXPECT_EQ(read.parts[0].name, "part1");
                EXPECT_NE(Text(read.parts[0].data).find("harmless"), std::string::npos);
                ExpectAttachments(read, 1);
            }
        }
    }
}

TEST(MimeTest, AttachedMessagesNestAndTheDepthIsLimited) {
    mail_samples::MimeMessage inner;
    inner.subject = "inner";
    inner.attachments = {{"inner.bin", samples::Filler(700, 3)}};
    inner.encoding = Encoding::kQuotedPrintable;
    inner.lineFeeds = true;
    std::vector<Bytes> levels = {mail_samples::MimeMessageFile(inner)};
    for (int level = 1; level <= 4; ++level) {
        mail_samples::MimeMessage outer;
        outer.subject = "level " + std::to_string(level);
        outer.attachments = {{"outer.bin", samples::Filler(300, uint32_t(level))}};
        outer.messages = {levels.back(), levels.back()};
        levels.push_back(mail_samples::MimeMessageFile(outer));
    }
    const Bytes& message = levels.back();

    // Each level of messages is two of nesting: the message and its multipart.
    mail::Message read = Parse(message);
    EXPECT_TRUE(read.problems.empty());
    const mail::Message* at = &read;
    for (int level = 4; level >= 1; --level) {
        EXPECT_EQ(at->subject, "level " + std::to_string(level));
        ASSERT_EQ(at->attached.size(), 2u);
        EXPECT_EQ(at->parts.back().data, samples::Filler(300, uint32_t(level)));
        EXPECT_EQ(at->attached[1].raw, levels[size_t(level) - 1]);
        at = &at->attached[1];
    }
    EXPECT_EQ(at->subject, "inner");
    EXPECT_EQ(at->parts.back().data, samples::Filler(700, 3));

    mail::Limits shallow;
    shallow.maxDepth = 6;
    read = Parse(message, shallow);
    ASSERT_FALSE(read.problems.empty());
    EXPECT_NE(read.problems[0].find("attached message 1: attached message 1: attached message 1: "),
              std::string::npos)
        << read.problems[0];
    EXPECT_TRUE(read.attached[0].attached[0].attached[0].parts.empty());
}

TEST(MimeTest, LimitsCutAttachmentsShortAndSayWhere) {
    mail_samples::MimeMessage written;
    written.attachments = {{"a.bin", samples::Filler(3000, 1)},
                           {"b.bin", samples::Filler(1000, 2)},
                           {"c.bin", samples::Filler(1000, 3)}};
    Bytes raw = mail_samples::MimeMessageFile(written);

    mail::Limits limits;
    limits.maxPartSize = 2000;
    limits.maxTotal = 3500;
    mail::Message read = Parse(raw, limits);
    ASSERT_EQ(read.parts.size(), 4u);
    EXPECT_EQ(read.parts[1].data.size(), 2000u);
    EXPECT_EQ(read.parts[2].data, samples::Filler(1000, 2));
    EXPECT_LT(read.parts[3].data.size(), 1000u);
    ASSERT_EQ(read.problems.size(), 2u);
    EXPECT_EQ(read.problems[0], "part 2: larger than the limit of a part, cut short");
    EXPECT_EQ(read.problems[1], "part 4: cut short at the limit of all parts of a message");

    limits = mail::Limits();
    limits.maxParts = 2;
    read = Parse(raw, limits);
    EXPECT_EQ(read.parts.size(), 2u);
    EXPECT_EQ(read.problems.size(), 1u);
}

// Hand-made messages that writers get wrong, each with what must come out.
TEST(MimeTest, BrokenMessagesGiveWhatCanBeRead) {
    struct Case {
        const char* raw;
        size_t parts;
        size_t problems;
        const char* lastName;
    } cases[] = {
        // A plain message with a uuencoded block ("hi!") and no MIME at all.
        {"Subject: plain\n\nHello\nbegin 644 hi.txt\n#:&DA\n`\nend\n", 2, 0, "hi.txt"},
        // The closing delimiter missing, the last part runs to the end.
        {"Content-Type: multipart/mixed; boundary=b\n\n--b\n\none\n--b\n\ntwo\n", 2, 0, "part2"},
        // No boundary parameter: the body is read as text.
        {"Content-Type: multipart/mixed\n\n--b\n\none\n", 1, 1, "part1"},
        // A uuencoded block without its "end".
        {"Subject: x\n\nbegin 600 cut.bin\n#:&DA\n", 2, 1, "cut.bin"},
        // A "begin" line that no encoded line follows is only text.
        {"Subject: x\n\nbegin 644 plans for the day\nwith lowercase words\n", 1, 0, "part1"},
        // Broken base64, an unknown encoding, a header without a body.
        {"Content-Type: multipart/mixed; boundary=\"q\"\n\n--q\nContent-Transfer-Encoding: "
         "base64\n\n!!QUJD=\n=RA\n--q\nContent-Transfer-Encoding: x-other\n\nraw\n--q\n"
         "Content-Type: text/plain; name*0*=utf-8''%E2%82; name*1*=%AC%2E.txt\n--q--\n",
         3, 0, "\xE2\x82\xAC..txt"},
        // Nothing at all.
        {"", 1, 0, "part1"},
    };
    for (const Case& test : cases) {
        mail::Message read = Parse(ToBytes(test.raw));
        SCOPED_TRACE(test.raw);
        EXPECT_EQ(read.parts.size(), test.parts);
        EXPECT_EQ(read.problems.size(), test.problems);
        if (!read.parts.empty()) {
            EXPECT_EQ(read.parts.back().name, test.lastName);
        }
    }
    mail::Message hi = Parse(ToBytes(cases[0].raw));
    EXPECT_EQ(Text(hi.parts[1].data), "hi!");
    EXPECT_EQ(Text(Parse(ToBytes(cases[5].raw)).parts[0].data), "ABCD");
}

TEST(MimeTest, LooksLikeMessageWantsTwoKnownFields) {
    auto looks = [](const std::string& head) {
        return mail::LooksLikeMessage(reinterpret_cast<const unsigned char*>(head.data()),
                                      head.size());
    };
    EXPECT_TRUE(looks("Received: from x\n  by y\nX-Other: 1\nsubject: hi\n\nbody"));
    EXPECT_FALSE(looks("Subject: hi\nX-Other: 1\n\nDate: today\n"));
    EXPECT_FALSE(looks("From someone Thu Jan  1 00:00:00 1998\nFrom: a\nTo: b\n\n"));
    EXPECT_FALSE(looks(" Subject: hi\nTo: b\n\n"));
    EXPECT_FALSE(looks("Dear reader,\nSubject: hi\nTo: b\n"));
}

// --- mbox --------------------------------------------------------------------------------

// An mbox of random messages whose bodies hold "From " lines that start no message (not
// after an empty line, or quoted), split and compared with where the messages were put.
TEST(MboxTest, SplitsWhereMessagesBeginAcrossChunks) {
    samples::Random random(11);
    for (int round = 0; round < 20; ++round) {
        Bytes mbox;
        std::vector<mail::MboxMessage> expected;
        std::string eol = round % 2 ? "\r\n" : "\n";
        int count = 1 + int(random.Below(40));
        for (int i = 0; i < count; ++i) {
            if (i) mbox.insert(mbox.end(), eol.begin(), eol.end());  // the empty line before
            std::string message = "From sender" + std::to_string(i) +
                                  "@example.invalid Thu Jan  1 00:00:00 1998" + eol +
                                  "Subject: number " + std::to_string(i) + eol + eol;
            message += "Body" + eol;
            for (uint32_t line = random.Below(400); line > 0; --line) {
                uint32_t kind = random.Below(10);
                message += kind == 0   ? ">From quoted" + eol + eol + "after it" + eol
                           : kind == 1 ? "From not after an empty line" + eol
                                       : std::string(1 + random.Below(80), 'x') + eol;
            }
            expected.push_back({int64_t(mbox.size()), 0});
            mbox.insert(mbox.end(), message.begin(), message.end());
        }
        if (round % 3 == 0) mbox.resize(mbox.size() - eol.size());  // no line break at the end
        for (size_t i = 0; i < expected.size(); ++i) {
            int64_t end = i + 1 < expected.size() ? expected[i + 1].offset : int64_t(mbox.size());
            expected[i].length = end - expected[i].offset;
        }

        EXPECT_TRUE(mail::LooksLikeMbox(mbox.data(), std::min<size_t>(mbox.size(), 4096)));
        std::vector<mail::MboxMessage> split;
        std::string error;
        ASSERT_TRUE(mail::SplitMbox(ReaderOf(mbox), int64_t(mbox.size()), &split, &error));
        ASSERT_EQ(split.size(), expected.size());
        for (size_t i = 0; i < split.size(); ++i) {
            EXPECT_EQ(split[i].offset, expected[i].offset);
            EXPECT_EQ(split[i].length, expected[i].length);
            const unsigned char* message = mbox.data() + split[i].offset;
            size_t start = mail::MboxHeaderStart(message, size_t(split[i].length));
            mail::Message read = mail::ParseMessage(
                message + start, size_t(split[i].length) - start, mail::Limits());
            EXPECT_EQ(read.subject, "number " + std::to_string(i));
        }
    }
}

TEST(MboxTest, TextBeforeTheFirstMessageAndReadErrors) {
    Bytes mbox = ToBytes("preamble\n\nFrom a Mon Jan  5 10:00:00 2004\nSubject: s\n\nbody\n");
    std::vector<mail::MboxMessage> split;
    std::string error;
    ASSERT_TRUE(mail::SplitMbox(ReaderOf(mbox), int64_t(mbox.size()), &split, &error));
    ASSERT_EQ(split.size(), 2u);
    EXPECT_EQ(split[0].offset, 0);
    EXPECT_EQ(split[1].offset, 10);
    EXPECT_EQ(mail::MboxHeaderStart(mbox.data(), 10), 0u);
    EXPECT_FALSE(mail::LooksLikeMbox(mbox.data(), mbox.size()));
    EXPECT_FALSE(mail::LooksLikeMbox(mbox.data() + 10, 12));  // "From a Mon J": no time yet

    mail::ReadAt failing = [](int64_t, void*, size_t) -> int64_t { return -1; };
    EXPECT_FALSE(mail::SplitMbox(failing, 100, &split, &error));
    EXPECT_EQ(error, "cannot read at offset 0");
    EXPECT_FALSE(mail::SplitMbox(ReaderOf(mbox), int64_t(mbox.size()) + 1, &split, &error));
}

// --- .dbx --------------------------------------------------------------------------------

struct DbxRead {
    std::vector<Bytes> messages;
    std::vector<int> indexes;
    std::vector<std::string> problems;
    std::string error;
    bool ok = false;
};

DbxRead ReadFolder(const Bytes& file, const mail::Limits& limits = mail::Limits(),
                   size_t stopAfter = SIZE_MAX) {
    DbxRead read;
    read.ok = mail::ReadDbx(
        ReaderOf(file), int64_t(file.size()), limits,
        [&read, stopAfter](int index, const std::vector<unsigned char>& raw) {
            read.indexes.push_back(index);
            read.messages.push_back(raw);
            return read.messages.size() < stopAfter;
        },
        &read.problems, &read.error);
    return read;
}

std::vector<Bytes> VariedMessages(size_t count) {
    std::vector<Bytes> messages;
    const size_t sizes[] = {0, 1, 511, 512, 513, 1024, 5000, 70000};
    for (size_t i = 0; i < count; ++i) {
        mail_samples::MimeMessage message;
        message.subject = "message " + std::to_string(i);
        Bytes raw = mail_samples::MimeMessageFile(message);
        raw.resize(sizes[i % 8], 'm');
        messages.push_back(raw);
    }
    return messages;
}

uint32_t Get32(const Bytes& file, size_t at) {
    return uint32_t(file[at]) | uint32_t(file[at + 1]) << 8 | uint32_t(file[at + 2]) << 16 |
           uint32_t(file[at + 3]) << 24;
}

void Set32(Bytes& file, size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i) file[at + size_t(i)] = uint8_t(value >> (8 * i));
}

// How many of `read` are not found, in order, among `written`: the damaged message.
size_t Unmatched(const std::vector<Bytes>& read, const std::vector<Bytes>& written) {
    size_t unmatched = 0, next = 0;
    for (const Bytes& message : read) {
        auto found = std::find(written.begin() + std::ptrdiff_t(next), written.end(), message);
        if (found == written.end()) {
            ++unmatched;
        } else {
            next = size_t(found - written.begin()) + 1;
        }
    }
    return unmatched;
}

TEST(DbxTest, ManyMessagesComeBackInOrder) {
    for (size_t count : {size_t(0), size_t(1), size_t(51), size_t(200)}) {
        SCOPED_TRACE(count);
        std::vector<Bytes> messages = VariedMessages(count);
        Bytes folder = mail_samples::DbxFolder(messages);
        EXPECT_TRUE(mail::LooksLikeDbx(folder.data(), folder.size()));
        DbxRead read = ReadFolder(folder);
        ASSERT_TRUE(read.ok) << read.error;
        EXPECT_TRUE(read.problems.empty()) << read.problems.front();
        EXPECT_EQ(read.messages, messages);
        for (size_t i = 0; i < read.indexes.size(); ++i) EXPECT_EQ(read.indexes[i], int(i));
    }
    Bytes folder = mail_samples::DbxFolder(VariedMessages(10));
    EXPECT_EQ(ReadFolder(folder, mail::Limits(), 3).messages.size(), 3u);
    mail::Limits small;
    small.maxTotal = 1000;
    DbxRead cut = ReadFolder(folder, small);
    EXPECT_EQ(cut.messages[6].size(), 1000u);
    EXPECT_EQ(cut.problems.size(), 3u);  // messages 5, 6 and 7
}

// Each damage must end with problems, the messages it does not touch read whole.
TEST(DbxTest, DamagedFoldersGiveProblems) {
    std::vector<Bytes> messages = VariedMessages(60);
    const Bytes folder = mail_samples::DbxFolder(messages);
    const size_t root = Get32(folder, 0xE4);
    const size_t firstInfo = Get32(folder, root + 0x18);
    const size_t lastBlock = folder.size() - 0x210;  // of message 59, the last in tree order
    struct Damage {
        const char* what;
        size_t at;
        uint32_t value;
        size_t messagesRead;
    } damages[] = {
        {"a block chain that loops", lastBlock + 12, uint32_t(lastBlock), 60},
        {"a block outside the file", lastBlock + 12, 0x7FFFFFF0, 60},
        {"a block that is not one", lastBlock, 0, 60},
        {"an info that is not one", firstInfo, 1, 59},
        {"an info outside the file", root + 0x18, 0xFFFFFFF0, 59},
        {"a node whose child is the root", root + 0x18 + 4, uint32_t(root), 60 - 1},
        {"a root outside the file", 0xE4, 0x7FFFFFFF, 0},
        {"a wrong count", 0xC4, 7, 60},
    };
    for (const Damage& damage : damages) {
        SCOPED_TRACE(damage.what);
        Bytes broken = folder;
        Set32(broken, damage.at, damage.value);
        DbxRead read = ReadFolder(broken);
        ASSERT_TRUE(read.ok) << read.error;
        EXPECT_FALSE(read.problems.empty());
        EXPECT_EQ(read.messages.size(), damage.messagesRead);
        EXPECT_LE(Unmatched(read.messages, messages), 1u);
    }

    Bytes cut(folder.begin(), folder.begin() + std::ptrdiff_t(folder.size() / 2));
    DbxRead half = ReadFolder(cut);
    EXPECT_TRUE(half.ok);
    EXPECT_FALSE(half.problems.empty());
    EXPECT_FALSE(ReadFolder(Bytes(folder.begin(), folder.begin() + 0x80)).ok);
    Bytes folders = folder;
    folders[4] = 0xC6;  // Folders.dbx
    EXPECT_FALSE(mail::LooksLikeDbx(folders.data(), folders.size()));
    EXPECT_FALSE(ReadFolder(folders).ok);
}

}  // namespace
