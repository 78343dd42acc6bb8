// CVornMailMessage: the stored form (added fields, the empty line, the
// separator line, rewritten addresses, header texts that cannot inject a
// line), the header table and hop count, long lines, multipart bodies, the
// bounds, reading messages back out of a mailbox file, Discard, and mail
// written by other programs (net/tests/data/mail) stored and parsed intact.
#include "net/mail_message.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "core/vorn_date.h"
#include "net/mime.h"
#include "platform/clock.h"

namespace {

constexpr int kRead = CVornMailMessage::kModeRead;
constexpr int kWrite = CVornMailMessage::kModeWrite;

std::string Text(CVornString& s) {
    return std::string(s.CStr(), s.Length());
}

std::string Get(CVornMailMessage& message, const char* name) {
    CVornString value;
    if (message.GetHeader(name, value) != 0)
        return "<none>";
    return Text(value);
}

// Every line end of text as CR LF.
std::string Crlf(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r'))
            out += '\r';
        out += text[i];
    }
    return out;
}

class MailMessageTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/mail_message_test.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        m_Dir = pattern;
        m_Path = m_Dir + "/message.mes";
        // The added Date field and the separator line carry the current time.
        platform::SetTestTime(1700000000);
        CVornDate().FormatRFC822(m_Date);
    }
    void TearDown() override {
        platform::ClearTestTime();
        std::filesystem::remove_all(m_Dir);
    }

    std::string ReadFile() {
        std::ifstream in(m_Path, std::ios::binary);
        std::stringstream all;
        all << in.rdbuf();
        return all.str();
    }
    void WriteFile(const std::string& text) { std::ofstream(m_Path, std::ios::binary) << text; }

    // Writes data in pieces of chunk bytes (0: at once); the results of the
    // writes ORed.
    static int WriteIn(CVornMailMessage& message, const std::string& data, size_t chunk) {
        int result = 0;
        if (chunk == 0)
            chunk = data.size() ? data.size() : 1;
        for (size_t at = 0; at < data.size(); at += chunk) {
            size_t n = data.size() - at < chunk ? data.size() - at : chunk;
            result |= message.Write(data.data() + at, static_cast<int>(n));
        }
        return result;
    }

    // Appends one message to the file; returns Write's and Close's results
    // ORed.
    int Store(const std::string& data, int flags, const char* sender, const char* id,
              size_t chunk = 0) {
        CVornMailMessage message(m_Path.c_str(), 0, 0, flags, kWrite);
        if (message.Open(sender, id) != 0)
            return 1;
        int result = WriteIn(message, data, chunk);
        return result | message.Close();
    }

    std::string m_Dir;
    std::string m_Path;
    CVornString m_Date;
};

TEST_F(MailMessageTest, TheStoredFormCompletesTheHeaderBlock) {
    const std::string date = Text(m_Date);
    const std::string longLine = "X-Long: " + std::string(4992, 'a') + "\r\n";
    struct Case {
        const char* name;
        std::string input;
        int flags;
        const char* sender;
        const char* id;
        std::string stored;
    };
    const Case cases[] = {
        {"Date, Message-Id and From added in order", "Subject: s\r\n\r\nbody\r\n",
         CVornMailMessage::kAddHeaders, "s@x.example", "1@x.example",
         "Subject: s\r\nDate: " + date +
             "\r\nMessage-Id: <1@x.example>\r\nFrom: s@x.example\r\n\r\nbody\r\n"},
        {"a Sender field stands for From",
         "Sender: a@b.example\r\nDate: d\r\nMessage-ID: <m>\r\n\r\n", CVornMailMessage::kAddHeaders,
         "s@x.example", "1@x.example", "Sender: a@b.example\r\nDate: d\r\nMessage-ID: <m>\r\n\r\n"},
        {"no id and no sender: only Date", "Subject: s\r\n\r\nb", CVornMailMessage::kAddHeaders,
         nullptr, nullptr, "Subject: s\r\nDate: " + date + "\r\n\r\nb"},
        {"the empty line is inserted before the first body line", "Subject: s\r\nbody line\r\n", 0,
         nullptr, nullptr, "Subject: s\r\n\r\nbody line\r\n"},
        {"added fields go before an inserted empty line", "Date: d\r\nno header\r\n",
         CVornMailMessage::kAddHeaders, "s@x.example", nullptr,
         "Date: d\r\nFrom: s@x.example\r\n\r\nno header\r\n"},
        {"separator line for a mailbox", "Subject: s\r\n\r\nb\r\n", CVornMailMessage::kSeparator,
         "s@x.example", nullptr, ">From< s@x.example " + date + "\r\nSubject: s\r\n\r\nb\r\n"},
        {"separator line for a sender without '@'", "Subject: s\r\n\r\n",
         CVornMailMessage::kSeparator, "MAILER-DAEMON", nullptr,
         ">From< ??@?? " + date + "\r\nSubject: s\r\n\r\n"},
        {"a message's own separator line is kept",
         ">From< a@b.example Mon, 2 Oct 2023 09:00:00 +0000\r\nSubject: s\r\n\r\n",
         CVornMailMessage::kSeparator, "s@x.example", nullptr,
         ">From< a@b.example Mon, 2 Oct 2023 09:00:00 +0000\r\nSubject: s\r\n\r\n"},
        {"CR and LF of sender and id never start a line", "Subject: s\r\n\r\n",
         CVornMailMessage::kAddHeaders, "a@b.example\r\nBcc: v@x.example", "i\nX-Evil: 1",
         "Subject: s\r\nDate: " + date +
             "\r\nMessage-Id: <iX-Evil: 1>\r\nFrom: a@b.exampleBcc: v@x.example\r\n\r\n"},
        {"a header line longer than a line chunk stays in the header block",
         longLine + "Subject: s\r\n\r\nbody", CVornMailMessage::kAddHeaders, nullptr, nullptr,
         longLine + "Subject: s\r\nDate: " + date + "\r\n\r\nbody"},
        {"address fields rewritten address by address",
         "To: a@x.example (Al),  \"Doe, J\" <j@y.example>\r\nCc: c@z.example,\r\n "
         "d@z.example\r\nSubject: s\r\n\r\n",
         CVornMailMessage::kRewriteAddresses, nullptr, nullptr,
         "To: a@x.example, \"Doe, J\" <j@y.example>\r\nCc: c@z.example,\r\n d@z.example\r\n"
         "Subject: s\r\n\r\n"},
        {"an address field that ends the message keeps its line end", "To: a@x.example,\r\n",
         CVornMailMessage::kRewriteAddresses, nullptr, nullptr, "To: a@x.example,\r\n"},
    };
    for (const Case& c : cases) {
        for (size_t chunk : {size_t(0), size_t(1), size_t(7)}) {
            SCOPED_TRACE(std::string(c.name) + ", pieces of " + std::to_string(chunk));
            std::filesystem::remove(m_Path);
            ASSERT_EQ(Store(c.input, c.flags, c.sender, c.id, chunk), 0);
            EXPECT_EQ(ReadFile(), c.stored);
        }
    }
}

TEST_F(MailMessageTest, TheHeaderTableAndHopCountAreTheSameWrittenAndRead) {
    const std::string input =
        "Received: from a\r\nreceived: from b\r\n  by c\r\nRECEIVED: from d\r\n"
        "Subject: one\r\n two\r\nTo: a@x.example,\r\n b@y.example\r\nX-Long: " +
        std::string(5000, 'q') + "\r\n\r\nbody\r\n";
    CVornMailMessage written(m_Path.c_str(), 0, 0,
                             CVornMailMessage::kAddHeaders | CVornMailMessage::kRewriteAddresses,
                             kWrite);
    ASSERT_EQ(written.Open("s@x.example", nullptr), 0);
    ASSERT_EQ(WriteIn(written, input, 0), 0);
    EXPECT_TRUE(written.IsInBody());

    CVornMailMessage read(m_Path.c_str(), 0, 0, CVornMailMessage::kParseOnOpen, kRead);
    ASSERT_EQ(written.Close(), 0);
    ASSERT_EQ(read.Open(), 0);
    for (CVornMailMessage* message : {&written, &read}) {
        SCOPED_TRACE(message == &written ? "written" : "read");
        EXPECT_EQ(message->GetHopCount(), 3);
        EXPECT_EQ(Get(*message, "RECEIVED"), "from a, from b  by c, from d");
        EXPECT_EQ(Get(*message, "subject"), "one two");
        EXPECT_EQ(Get(*message, "To"), "a@x.example, b@y.example");
        EXPECT_EQ(Get(*message, "X-Long"), std::string(5000, 'q'));
        EXPECT_EQ(Get(*message, "Cc"), "<none>");
        EXPECT_EQ(message->GetBodySize(), 6);
        EXPECT_EQ(message->GetSize(), static_cast<int>(ReadFile().size()));
    }
    EXPECT_EQ(Get(written, "From"), "s@x.example");
    ASSERT_EQ(read.SeekBody(), 0);
    CVornString line;
    EXPECT_EQ(read.ReadLine(line), 6);
    EXPECT_EQ(Text(line), "body\r\n");
}

TEST_F(MailMessageTest, PartsAreFoundWrittenAndRead) {
    // A body line of more than a line chunk whose second piece starts like
    // the boundary: it stays a line of the first part.
    const std::string tricky = std::string(4096, 'x') + "--b not a boundary\r\n";
    const std::string part1 = "one\r\n" + tricky;
    const std::string input =
        "Content-Type: multipart/mixed;\r\n boundary=\"b\"\r\n\r\npreamble\r\n"
        "--b\r\nContent-Type: text/plain;\r\n\tcharset=us-ascii\r\n\r\n" +
        part1 +
        "--b\r\nContent-Type: application/octet-stream; name=\"x.bin\"\r\n"
        "Content-Disposition: attachment; filename=\"x.bin\"\r\n"
        "Content-Transfer-Encoding: base64\r\n\r\nAAAA\r\n--b--\r\n";
    for (size_t chunk : {size_t(0), size_t(5)}) {
        SCOPED_TRACE(chunk);
        std::filesystem::remove(m_Path);
        CVornMailMessage written(m_Path.c_str(), 0, 0, 0, kWrite);
        ASSERT_EQ(written.Open(), 0);
        ASSERT_EQ(WriteIn(written, input, chunk), 0);
        CVornMailMessage read(m_Path.c_str(), 0, 0, CVornMailMessage::kParseOnOpen, kRead);
        ASSERT_EQ(written.Close(), 0);
        ASSERT_EQ(ReadFile(), input);
        ASSERT_EQ(read.Open(), 0);
        for (CVornMailMessage* message : {&written, &read}) {
            SCOPED_TRACE(message == &written ? "written" : "read");
            ASSERT_EQ(message->GetPartCount(), 2);
            CVornString type, name, file;
            ASSERT_EQ(message->GetPartInfo(0, type, name, file), 0);
            EXPECT_EQ(Text(type), "multipart/mixed");
            ASSERT_EQ(message->GetPartInfo(1, type, name, file), 0);
            EXPECT_EQ(Text(type), "text/plain");
            ASSERT_EQ(message->GetPartInfo(2, type, name, file), 0);
            EXPECT_EQ(Text(type), "application/octet-stream");
            EXPECT_EQ(Text(name), "x.bin");
            EXPECT_EQ(Text(file), "x.bin");
            int size = 0;
            ASSERT_EQ(message->GetPartSize(1, size), 0);
            EXPECT_EQ(size, static_cast<int>(part1.size()));
            ASSERT_EQ(message->GetPartSize(2, size), 0);
            EXPECT_EQ(size, 6);
            EXPECT_TRUE(message->IsAttachment(2));
            EXPECT_FALSE(message->IsAttachment(1));
        }
    }
}

// What the parse found in a message: sizes, some header fields, and every
// part with its description, size and content (DecodePart copies from the
// part's start offset), then the body from the body offset.
std::string Describe(CVornMailMessage& message) {
    std::ostringstream out;
    int parts = message.GetPartCount();
    out << "parts " << parts << ", size " << message.GetSize() << ", body "
        << message.GetBodySize() << ", attachment " << message.HasAttachment() << "\n";
    for (const char* name : {"Content-Type", "Subject", "To", "Date", "From", "X-Long"})
        out << name << ": " << Get(message, name) << "\n";
    for (int part = 0; part <= parts; ++part) {
        CVornString type, name, file;
        int size = -2;
        message.GetPartInfo(part, type, name, file);
        message.GetPartSize(part, size);
        CVornMailMessage target;
        EXPECT_EQ(target.Open(), 0);
        CVornString content;
        if (message.DecodePart(part, target, false) == 0) {
            EXPECT_EQ(target.SeekBody(), 0);
            target.ReadRest(content);
        } else {
            content.Assign("<failed>");
        }
        out << "part " << part << ": " << Text(type) << "|" << Text(name) << "|" << Text(file)
            << ", size " << size << ", attachment " << message.IsAttachment(part) << " ["
            << Text(content) << "]\n";
    }
    CVornString body;
    EXPECT_EQ(message.SeekBody(), 0);
    message.ReadRest(body);
    out << "body [" << Text(body) << "]";
    return out.str();
}

// What the write path finds in a message is what a reader of the stored file
// finds: the same parts at the same offsets, the same header fields.
TEST_F(MailMessageTest, AStoredMessageParsesBackToWhatWasFoundWhileWriting) {
    const std::string multipart = "Content-Type: multipart/mixed; boundary=\"b\"\r\n";
    // A boundary line of a whole line chunk with a bare LF just before its
    // last byte, a CR: with the LF of the next piece that CR makes the empty
    // line that starts the part's body.
    const std::string cutBoundary =
        "--b" + std::string(CVornMailMessage::kLineChunk - 5, 'h') + "\n\r";
    const std::string parts =
        "--b\r\nContent-Type: text/plain\r\n\r\none\r\n"
        "--b\r\nContent-Type: application/octet-stream; name=\"x.bin\"\r\n\r\nAAAA\r\n"
        "--b--\r\nepilogue\r\n";
    const struct {
        const char* name;
        std::string input;
        int flags;
    } cases[] = {
        {"a multipart message", multipart + "Subject: s\r\n\r\npreamble\r\n" + parts, 0},
        {"the first boundary line ends the header block", multipart + parts, 0},
        {"a boundary line ending the header block holds a bare LF",
         multipart + "--b\nContent-Type: text/html\r\n\r\n<p>\r\n--b--\r\n", 0},
        {"a boundary line holds a bare LF",
         multipart + "\r\n--b\nContent-Type: text/html\r\n\r\n<p>\r\n" + parts, 0},
        {"a boundary line holds bare LFs before another boundary",
         multipart + "\r\n--b\n--b\nContent-Type: image/gif\r\n\r\nGIF\r\n--b--\r\n", 0},
        {"the rest of a boundary line cut at a bare LF becomes a whole line later",
         multipart + "\r\n" + cutBoundary + "\nX\r\n" + parts, 0},
        {"a body line ends the header block", "Subject: s\r\nbody line\r\nmore\r\n", 0},
        {"long lines, added fields and rewritten addresses",
         "To: a@x.example,\r\n b@y.example\r\nX-Long: " + std::string(5000, 'q') + "\r\n" +
             multipart + "\r\n" + parts,
         CVornMailMessage::kAddHeaders | CVornMailMessage::kRewriteAddresses},
    };
    for (const auto& c : cases) {
        for (size_t chunk : {size_t(0), size_t(7)}) {
            SCOPED_TRACE(std::string(c.name) + ", pieces of " + std::to_string(chunk));
            std::filesystem::remove(m_Path);
            CVornMailMessage written(m_Path.c_str(), 0, 0, c.flags, kWrite);
            ASSERT_EQ(written.Open("s@x.example", "1@x.example"), 0);
            ASSERT_EQ(WriteIn(written, c.input, chunk), 0);
            const std::string whileWriting = Describe(written);
            ASSERT_EQ(written.Close(), 0);

            const int readFlags =
                CVornMailMessage::kParseOnOpen | (c.flags & CVornMailMessage::kRewriteAddresses);
            CVornMailMessage read(m_Path.c_str(), 0, 0, readFlags, kRead);
            ASSERT_EQ(read.Open(), 0);
            EXPECT_EQ(whileWriting, Describe(read));
        }
    }
}

TEST_F(MailMessageTest, OverABoundWritingAndParsingFail) {
    std::string manyFields;
    for (int i = 0; i <= CVornMailMessage::kMaxHeaderFields; ++i)
        manyFields += "X-" + std::to_string(i) + ": v\r\n";
    std::string longField = "Subject: x\r\n";
    while (static_cast<int>(longField.size()) <= CVornMailMessage::kMaxFieldLength)
        longField += " more text of a folded field\r\n";
    std::string manyParts = "Content-Type: multipart/mixed; boundary=b\r\n\r\n";
    for (int i = 0; i <= CVornMailMessage::kMaxParts; ++i) manyParts += "--b\r\n\r\nx\r\n";
    std::string endlessPartHeader = "Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\n";
    for (int i = 0; i <= CVornMailMessage::kMaxHeaderFields; ++i)
        endlessPartHeader += "line " + std::to_string(i) + "\r\n";
    const struct {
        const char* name;
        std::string input;
    } cases[] = {
        {"1001 header fields", manyFields + "\r\n"},
        {"a folded field over 64 KiB", longField + "\r\n"},
        {"a header line over 64 KiB", "X: " + std::string(70000, 'y') + "\r\n\r\n"},
        {"10001 parts", manyParts},
        {"a part header block without end", endlessPartHeader},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(m_Path);
        CVornMailMessage message(m_Path.c_str(), 0, 0, 0, kWrite);
        ASSERT_EQ(message.Open(), 0);
        EXPECT_EQ(WriteIn(message, c.input, 0), 1);
        EXPECT_EQ(message.Discard(), 0);
        EXPECT_EQ(message.Close(), 0);
        EXPECT_EQ(ReadFile(), "");

        WriteFile(c.input);
        CVornMailMessage parsed(m_Path.c_str(), 0, 0, CVornMailMessage::kParseOnOpen, kRead);
        EXPECT_EQ(parsed.Open(), 1);
    }
}

TEST_F(MailMessageTest, MessagesOfAMailboxAreReadWithinTheirBounds) {
    const std::string first =
        "Subject: one\r\n\r\nFrom joe@x.example wrote:\r\n> quoted\r\nlast line\r\n";
    const std::string second = "Subject: two\r\n\r\nsecond body\r\n";
    const int flags = CVornMailMessage::kSeparator | CVornMailMessage::kAddHeaders;
    ASSERT_EQ(Store(first, flags, "s1@x.example", "1@x.example"), 0);
    const int secondStart = static_cast<int>(ReadFile().size());
    ASSERT_EQ(Store(second, flags, "s2@y.example", "2@y.example"), 0);

    // Parsed on open: the first message ends before the second's separator
    // (a body line that only looks like one does not end it).
    CVornMailMessage one(m_Path.c_str(), 0, 0, CVornMailMessage::kParseOnOpen, kRead);
    ASSERT_EQ(one.Open(), 0);
    EXPECT_EQ(one.GetSize(), secondStart);
    CVornString sender;
    ASSERT_EQ(one.GetSender(sender), 0);
    EXPECT_EQ(Text(sender), "s1@x.example");
    EXPECT_EQ(Get(one, "Message-Id"), "<1@x.example>");
    std::string lines;
    CVornString line;
    int n;
    while ((n = one.ReadLine(line)) > 0) lines += Text(line);
    EXPECT_EQ(n, 0);
    EXPECT_EQ(lines, "Subject: one\r\nDate: " + Text(m_Date) +
                         "\r\nMessage-Id: <1@x.example>\r\nFrom: s1@x.example\r\n\r\n"
                         "From joe@x.example wrote:\r\n> quoted\r\nlast line\r\n");
    char buffer[64];
    EXPECT_EQ(one.Read(buffer, sizeof buffer), 0);
    ASSERT_EQ(one.SeekFromStart(secondStart - 11), 0);
    CVornString rest;
    EXPECT_EQ(one.ReadRest(rest), 11);
    EXPECT_EQ(Text(rest), "last line\r\n");
    EXPECT_EQ(one.Close(), 0);

    // Without a parse and without a size, reading stops at the next
    // separator line all the same.
    CVornMailMessage plain(m_Path.c_str(), 0, 0, 0, kRead);
    ASSERT_EQ(plain.Open(), 0);
    std::string plainLines;
    while (plain.ReadLine(line) > 0) plainLines += Text(line);
    EXPECT_EQ(plainLines, lines);

    CVornMailMessage two(m_Path.c_str(), secondStart, 0, CVornMailMessage::kParseOnOpen, kRead);
    ASSERT_EQ(two.Open(), 0);
    ASSERT_EQ(two.GetSender(sender), 0);
    EXPECT_EQ(Text(sender), "s2@y.example");
    EXPECT_EQ(two.GetStartOffset(), secondStart);
    EXPECT_EQ(Get(two, "subject"), "two");
    ASSERT_EQ(two.SeekBody(), 0);
    EXPECT_GT(two.ReadLine(line), 0);
    EXPECT_EQ(Text(line), "second body\r\n");
}

TEST_F(MailMessageTest, DiscardAndFailuresLeaveTheFileAsItWas) {
    WriteFile("earlier message\r\n");
    CVornMailMessage message(m_Path.c_str(), 0, 0, CVornMailMessage::kAddHeaders, kWrite);
    ASSERT_EQ(message.Open("a@b.example", "id@b.example"), 0);
    EXPECT_EQ(message.GetStartOffset(), 17);
    ASSERT_EQ(WriteIn(message, "Subject: x\r\n\r\nbody", 0), 0);
    EXPECT_EQ(message.Discard(), 0);
    EXPECT_EQ(message.Close(), 0);
    EXPECT_EQ(ReadFile(), "earlier message\r\n");
    EXPECT_EQ(message.Close(), 1);
    EXPECT_EQ(message.Discard(), 1);

    // A pending partial line is written unchanged on Close.
    ASSERT_EQ(message.Open(), 0);
    ASSERT_EQ(WriteIn(message, "Subject: y\r\n\r\nno line end", 0), 0);
    EXPECT_EQ(message.Close(), 0);
    EXPECT_EQ(ReadFile().substr(17, 14), "Subject: y\r\nDa");
    EXPECT_EQ(ReadFile().substr(ReadFile().size() - 11), "no line end");
    // Parsed on open, the message's size takes that last line in.
    CVornMailMessage reread(m_Path.c_str(), 17, 0, CVornMailMessage::kParseOnOpen, kRead);
    ASSERT_EQ(reread.Open(), 0);
    EXPECT_EQ(reread.GetSize(), static_cast<int>(ReadFile().size()) - 17);

    // Without a file, or read-only, nothing is written.
    CVornMailMessage closed(m_Path.c_str(), 0, 0, 0, kRead);
    EXPECT_EQ(closed.Write("x", 1), 1);
    ASSERT_EQ(closed.Open(), 0);
    EXPECT_EQ(closed.Write("x", 1), 1);
    CVornMailMessage missing((m_Dir + "/none/x.mes").c_str(), 0, 0, 0, kRead);
    EXPECT_EQ(missing.Open(), 1);
    CVornString line;
    EXPECT_EQ(missing.ReadLine(line), -1);
}

TEST_F(MailMessageTest, AMemoryMessageIsWrittenAndReadBack) {
    CVornMailMessage message;
    ASSERT_EQ(message.Open(), 0);
    ASSERT_EQ(WriteIn(message, "Content-Type: text/html\r\nX-A: 1\r\n\r\n<p>hi</p>", 3), 0);
    EXPECT_EQ(Get(message, "content-type"), "text/html");
    EXPECT_EQ(message.GetHeaderSize(), 35);
    ASSERT_EQ(message.RewindToStart(), 0);
    CVornString all;
    EXPECT_EQ(message.ReadRest(all), 44);
    EXPECT_EQ(Text(all), "Content-Type: text/html\r\nX-A: 1\r\n\r\n<p>hi</p>");
    EXPECT_EQ(message.Close(), 0);
}

// ---- Mail written by other programs

std::string Corpus(const char* name) {
    std::filesystem::path path = std::filesystem::path(__FILE__).parent_path() / "data/mail" / name;
    std::ifstream in(path, std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    return Crlf(all.str());
}

// The text of a header's encoded words, decoded (charset bytes unchanged).
std::string Decoded(const std::string& text, int* charset) {
    std::vector<char> out(text.size() + 1);
    char encoding = 0;
    EXPECT_TRUE(DecodeEncodedWords(out.data(), static_cast<unsigned>(out.size()), text.c_str(),
                                   charset, &encoding, false));
    return std::string(out.data());
}

TEST_F(MailMessageTest, MailOfOtherProgramsIsStoredAndParsedIntact) {
    const struct {
        const char* file;
        int parts;
        const char* lastPartType;
        const char* field;    // a field with encoded words (or plain)
        std::string decoded;  // its decoded value
        int charset;
    } cases[] = {
        {"python-msg_10.eml", 5, "text/plain", "Subject", "Lyrics", 0},
        {"python-msg_28.eml", 2, "message/rfc822", "From", "aperson@dom.ain", 0},
        {"enmime-qp-utf8-header.eml", 2, "text/html", "Subject",
         "MIME UTF8 Test \xc2\xa2 More Text", kCharsetUsAscii},
        {"enmime-qp-utf8-header.eml", 2, "text/html", "Sender",
         "Andr\xe9 Pirard <PIRARD@vm1.ulg.ac.be>", kCharsetIso8859First},
        {"enmime-attachment.eml", 2, "text/html", "Mime-Version", "1.0 ", 0},
        {"enmime-nestedmulti.eml", 2, "multipart/related", "Content-Type",
         "multipart/alternative; boundary=\"Enmime-Test-100\"", 0},
        {"authored-iso2022jp.eml", 2, "text/plain", "Subject", "\x1b$B2q5D$N0FFb\x1b(B",
         kCharsetIso2022jp},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        const std::string original = Corpus(c.file);
        ASSERT_FALSE(original.empty());
        std::filesystem::remove(m_Path);
        // The spool's flags, in uneven pieces.
        ASSERT_EQ(Store(original, 0x1100, "relay@gw.example", "q1@gw.example", 61), 0);
        const std::string stored = ReadFile();

        // Only missing fields are added, just before the empty line; the
        // rest is byte for byte the original.
        size_t blockEnd = original.find("\r\n\r\n") + 2;
        std::string added;
        if (original.substr(0, blockEnd).find("\nDate:") == std::string::npos &&
            original.compare(0, 5, "Date:") != 0)
            added += "Date: " + Text(m_Date) + "\r\n";
        if (original.substr(0, blockEnd).find("Message-I") == std::string::npos)
            added += "Message-Id: <q1@gw.example>\r\n";
        if (original.substr(0, blockEnd).find("\nFrom:") == std::string::npos &&
            original.compare(0, 5, "From:") != 0)
            added += "From: relay@gw.example\r\n";
        EXPECT_EQ(stored, original.substr(0, blockEnd) + added + original.substr(blockEnd));

        CVornMailMessage read(m_Path.c_str(), 0, 0, CVornMailMessage::kParseOnOpen, kRead);
        ASSERT_EQ(read.Open(), 0);
        EXPECT_EQ(read.GetSize(), static_cast<int>(stored.size()));
        EXPECT_EQ(read.GetPartCount(), c.parts);
        CVornString type, name, file;
        ASSERT_EQ(read.GetPartInfo(c.parts, type, name, file), 0);
        EXPECT_EQ(Text(type), c.lastPartType);
        int charset = -1;
        EXPECT_EQ(Decoded(Get(read, c.field), &charset), c.decoded);
        EXPECT_EQ(charset, c.charset);

        std::string lines;
        CVornString line;
        while (read.ReadLine(line) > 0) lines += Text(line);
        EXPECT_TRUE(lines == stored);
    }
}

}  // namespace
