// Message parts: counting and describing parts, the attachment tests,
// decoding each encoding (also where a read piece ends inside a line),
// boundaries that are malformed, messages nested deeper than anyone writes
// them, mail written by other programs (net/tests/data/mail), the message
// key, and messages made from RFC 822 entities.
#include "net/message_parts.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "core/code_page.h"
#include "core/disk_file.h"
#include "core/memory_file.h"
#include "net/rfc822_entity.h"

namespace {

std::string Str(const CVornString& s) {
    CVornString copy(s);
    return std::string(copy.CStr(), static_cast<size_t>(copy.Length()));
}

// A memory message holding text (written through the parse).
std::unique_ptr<CVornMailMessage> Message(const std::string& text) {
    auto message = std::make_unique<CVornMailMessage>();
    EXPECT_EQ(0, message->Open());
    EXPECT_EQ(0, message->Write(text.data(), static_cast<int>(text.size())));
    return message;
}

std::string Body(CVornMailMessage& message) {
    CVornString out;
    EXPECT_EQ(0, message.SeekBody());
    EXPECT_LE(0, message.ReadRest(out));
    return Str(out);
}

// The content DecodePart writes (the target's body); "<failed>" on 1.
std::string Decode(CVornMailMessage& message, int part, bool decode) {
    CVornMailMessage target;
    EXPECT_EQ(0, target.Open());
    if (message.DecodePart(part, target, decode) != 0)
        return "<failed>";
    return Body(target);
}

std::string Info(CVornMailMessage& message, int part) {
    CVornString type("?"), name("?"), fileName("?");
    if (message.GetPartInfo(part, type, name, fileName) != 0)
        return "<none>";
    return Str(type) + "|" + Str(name) + "|" + Str(fileName);
}

// An entity over a memory file holding text.
std::unique_ptr<CVornRFC822Entity> Entity(const std::string& text) {
    CVornMemoryFile file;
    EXPECT_TRUE(file.Open());
    EXPECT_EQ(static_cast<int>(text.size()),
              file.Write(text.data(), static_cast<int>(text.size())));
    return std::make_unique<CVornRFC822Entity>(file, 0);
}

// The message inside a message/rfc822 part, as a message of its own.
std::unique_ptr<CVornMailMessage> Attached(CVornMailMessage& message, int part) {
    std::string inner = Decode(message, part, true);
    auto entity = Entity(inner);
    CVornDiskFile* temp = nullptr;
    std::unique_ptr<CVornMailMessage> result(
        MakeAttachmentMessage(*entity, CVornString("/nonexistent"), 1, temp));
    EXPECT_EQ(nullptr, temp);
    return result;
}

const std::string kNested =
    "From: a@b.example\r\n"
    "Subject: outer\r\n"
    "Content-Type: multipart/mixed; boundary=\"outer\"\r\n"
    "\r\n"
    "preamble\r\n"
    "--outer\r\n"
    "Content-Type: multipart/alternative; boundary=\"inner\"\r\n"
    "\r\n"
    "--inner\r\n"
    "Content-Type: text/plain\r\n"
    "\r\n"
    "plain\r\n"
    "--inner\r\n"
    "Content-Type: text/html\r\n"
    "\r\n"
    "<p>html</p>\r\n"
    "--inner--\r\n"
    "\r\n"
    "--outer\r\n"
    "Content-Type: message/rfc822\r\n"
    "Content-Disposition: inline\r\n"
    "\r\n"
    "From: c@d.example\r\n"
    "Subject: inner message\r\n"
    "Content-Type: multipart/mixed; boundary=deep\r\n"
    "\r\n"
    "--deep\r\n"
    "Content-Type: text/plain\r\n"
    "\r\n"
    "hello\r\n"
    "--deep\r\n"
    "Content-Type: application/octet-stream; name=\"a.bin\"\r\n"
    "Content-Transfer-Encoding: base64\r\n"
    "Content-Disposition: attachment; filename=\"a.bin\"\r\n"
    "\r\n"
    "AAEC/w==\r\n"
    "--deep--\r\n"
    "\r\n"
    "--outer\r\n"
    "Content-Type: image/gif; name=\"p.gif\"\r\n"
    "Content-Transfer-Encoding: base64\r\n"
    "\r\n"
    "R0lGODlh\r\n"
    "--outer--\r\n"
    "epilogue\r\n";

TEST(MessageParts, NestedMultipartWithAnAttachedMessage) {
    auto message = Message(kNested);
    ASSERT_EQ(3, message->GetPartCount());
    EXPECT_EQ("multipart/mixed||", Info(*message, 0));
    EXPECT_EQ("multipart/alternative||", Info(*message, 1));
    EXPECT_EQ("message/rfc822||", Info(*message, 2));
    EXPECT_EQ("image/gif|p.gif|", Info(*message, 3));
    EXPECT_EQ("<none>", Info(*message, 4));
    EXPECT_EQ("<none>", Info(*message, -1));

    // A nested multipart is one part: its content holds the inner boundaries.
    EXPECT_FALSE(message->IsAttachment(2));
    EXPECT_TRUE(message->IsAttachment(1));
    EXPECT_TRUE(message->IsAttachment(3));
    EXPECT_FALSE(message->IsAttachment(4));
    EXPECT_TRUE(message->HasAttachment());
    EXPECT_EQ(
        "--inner\r\nContent-Type: text/plain\r\n\r\nplain\r\n--inner\r\nContent-Type: "
        "text/html\r\n\r\n<p>html</p>\r\n--inner--\r\n\r\n",
        Decode(*message, 1, true));
    EXPECT_EQ(std::string("GIF89a"), Decode(*message, 3, true));
    EXPECT_EQ("R0lGODlh\r\n", Decode(*message, 3, false));

    int size = 0;
    EXPECT_EQ(0, message->GetPartSize(3, size));
    EXPECT_EQ(10, size);
    EXPECT_EQ(0, message->GetPartSize(0, size));
    EXPECT_EQ(message->GetSize(), size);
    EXPECT_EQ(1, message->GetPartSize(4, size));

    // The attached message, taken apart one level further down.
    auto inner = Attached(*message, 2);
    ASSERT_NE(nullptr, inner);
    ASSERT_EQ(2, inner->GetPartCount());
    EXPECT_EQ("application/octet-stream|a.bin|a.bin", Info(*inner, 2));
    EXPECT_FALSE(inner->IsAttachment(1));
    EXPECT_TRUE(inner->IsAttachment(2));
    EXPECT_EQ(std::string("\x00\x01\x02\xff", 4), Decode(*inner, 2, true));
    EXPECT_EQ("hello\r\n", Decode(*inner, 1, true));
}

TEST(MessageParts, EachEncodingDecodes) {
    std::string payload;
    for (int i = 0; i < 1000; ++i) payload += static_cast<char>((i * 37 + 11) % 256);
    CVornString encoded;
    Base64Encode(CVornString(payload.data(), static_cast<int>(payload.size())), encoded);
    std::string lines;  // 76-character lines: groups cross the line ends
    for (int i = 0; i < encoded.Length(); i += 76)
        lines += Str(encoded).substr(static_cast<size_t>(i), 76) + "\r\n";

    struct Case {
        const char* encoding;
        std::string content;
        bool decode;
        std::string expected;
    } cases[] = {
        {"base64", lines, true, payload},
        {"BASE64", "QU\r\nJD\r\nRA==\r\n", true, "ABCD"},  // any case; groups cut by lines
        {"base64", lines, false, lines},
        {"quoted-printable", "caf=C3=A9 =\r\nsoft  \r\n=41=42\r\n", true,
         "caf\xC3\xA9 soft\r\nAB\r\n"},
        {"quoted-printable", "a=3Db\r\n", false, "a=3Db\r\n"},
        {"7bit", "line one\r\n\r\nline three\r\n", true, "line one\r\n\r\nline three\r\n"},
        {"8bit", "\xE4\xF6\xFC\r\n", true, "\xE4\xF6\xFC\r\n"},
        {"x-unknown", "=41 QUJD\r\n", true, "=41 QUJD\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.encoding) + (c.decode ? " decoded" : " raw"));
        auto single = Message(std::string("Content-Transfer-Encoding: ") + c.encoding + "\r\n\r\n" +
                              c.content);
        EXPECT_EQ(0, single->GetPartCount());
        EXPECT_EQ(c.expected, Decode(*single, 0, c.decode));
        auto multi = Message(std::string("Content-Type: multipart/mixed; boundary=b\r\n\r\n") +
                             "--b\r\nContent-Transfer-Encoding: " + c.encoding + "\r\n\r\n" +
                             c.content + "--b--\r\n");
        ASSERT_EQ(1, multi->GetPartCount());
        EXPECT_EQ(c.expected, Decode(*multi, 1, c.decode));
    }
}

// Lines of 'x' and 'y' (ended by CR LF) of exactly n bytes, n >= 2.
std::string Filler(size_t n) {
    std::string out;
    while (n - out.size() > 81) out += std::string(78, 'x') + "\r\n";
    out += std::string(n - out.size() - 2, 'y') + "\r\n";
    return out;
}

// DecodePart reads in pieces of 4096 bytes from the part's start: a
// boundary line or an escape that a piece end cuts must still be seen whole.
TEST(MessageParts, LinesCutByTheReadPiecesStayWhole) {
    const size_t kPiece = 4096;
    const std::string head =
        "Content-Type: multipart/mixed; boundary=split\r\n\r\n"
        "--split\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n";
    for (size_t cut = 1; cut <= 8; ++cut) {
        SCOPED_TRACE(cut);
        // The boundary line starts cut bytes before the end of a piece.
        std::string filler = Filler(kPiece - cut);
        auto boundary = Message(head + filler + "--split\r\nafter\r\n--split--\r\n");
        EXPECT_EQ(filler, Decode(*boundary, 1, true));
        EXPECT_EQ(filler, Decode(*boundary, 1, false));

        // An escaped line starts cut bytes before the end of a piece.
        auto escape = Message(head + filler + "=41=42\r\n--split--\r\n");
        EXPECT_EQ(filler + "AB\r\n", Decode(*escape, 1, true));
    }
}

TEST(MessageParts, LinesLongerThanTheLineBoundDecodeInPieces) {
    // 3 MB of base64 without a line end, and a quoted-printable line of
    // 2.5 MB, one of whose pieces would end inside an escape.
    std::string payload;
    for (int i = 0; i < 3 * 1024 * 1024 / 4 * 3; ++i)
        payload += static_cast<char>((i * 7 + 3) % 256);
    CVornString encoded;
    Base64Encode(CVornString(payload.data(), static_cast<int>(payload.size())), encoded);
    std::string qp, qpDecoded;
    for (int i = 0; i < 500000; ++i) {
        qp += "x=41 ";
        qpDecoded += "xA ";
    }
    qpDecoded.pop_back();  // trailing blanks of a line go
    qpDecoded += "\r\n";

    auto message = Message(
        "Content-Type: multipart/mixed; boundary=b\r\n\r\n"
        "--b\r\nContent-Transfer-Encoding: base64\r\n\r\n" +
        Str(encoded) + "\r\n--b\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n" + qp +
        "\r\n--b--\r\n");
    ASSERT_EQ(2, message->GetPartCount());
    EXPECT_TRUE(Decode(*message, 1, true) == payload);
    EXPECT_TRUE(Decode(*message, 2, true) == qpDecoded);
}

TEST(MessageParts, MalformedBoundaries) {
    struct Case {
        const char* name;
        std::string message;
        int parts;
        std::string first;  // part 1 decoded, or part 0 when there are none
    } cases[] = {
        {"no closing boundary: the last part is not counted",
         "Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\n\r\none\r\n--b\r\n\r\ntwo\r\n", 1,
         "one\r\n"},
        {"blanks after the boundary",
         "Content-Type: multipart/mixed; boundary=b\r\n\r\n--b  \r\n\r\none\r\n--b--\t\r\n", 1,
         "one\r\n"},
        {"the boundary inside a line is content",
         "Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\n\r\nx--b\r\n --b\r\n--b--\r\n", 1,
         "x--b\r\n --b\r\n"},
        {"a boundary of another level is content",
         "Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\n\r\n--c\r\n--b--\r\n", 1,
         "--c\r\n"},
        {"multipart without a boundary parameter is one body",
         "Content-Type: multipart/mixed\r\n\r\n--b\r\n\r\none\r\n--b--\r\n", 0,
         "--b\r\n\r\none\r\n--b--\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto message = Message(c.message);
        ASSERT_EQ(c.parts, message->GetPartCount());
        EXPECT_EQ(c.first, Decode(*message, c.parts > 0 ? 1 : 0, true));
        EXPECT_EQ("<failed>", Decode(*message, c.parts + 1, true));
    }
}

// The library never descends on its own: a message nested 60 levels deep is
// one level to the parse, and each level down is one call by the caller.
TEST(MessageParts, DeepNestingIsTakenApartOneLevelPerCall) {
    const int kLevels = 60;
    std::string text = "Content-Type: text/plain\r\n\r\ncore\r\n";
    for (int level = kLevels; level >= 1; --level) {
        std::string b = "lvl" + std::to_string(1000 + level);
        text = "Subject: level " + std::to_string(level) +
               "\r\nContent-Type: multipart/mixed; boundary=" + b + "\r\n\r\n--" + b +
               "\r\nContent-Type: message/rfc822\r\n\r\n" + text + "--" + b + "--\r\n";
    }
    auto top = Message(text);
    ASSERT_EQ(1, top->GetPartCount());
    EXPECT_FALSE(top->HasAttachment());
    std::unique_ptr<CVornMailMessage> level = std::move(top);
    for (int depth = 1; depth <= kLevels; ++depth) {
        SCOPED_TRACE(depth);
        ASSERT_EQ(1, level->GetPartCount());
        level = Attached(*level, 1);
        ASSERT_NE(nullptr, level);
    }
    EXPECT_EQ(0, level->GetPartCount());
    EXPECT_EQ("core\r\n", Decode(*level, 0, true));
}

TEST(MessageParts, AttachmentTestsOfTheMainBodyAndOfParts) {
    struct Case {
        const char* headers;
        bool mainAttachment;  // IsAttachment(0)
        bool hasAttachment;
    } cases[] = {
        {"Content-Type: application/pdf; name=x.pdf\r\n", true, true},
        {"Content-Type: message/rfc822\r\n", false, false},
        {"", false, false},  // no Content-Type: matches "text/"
        {"Content-Type: TEXT/HTML\r\n", false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.headers);
        auto message = Message(std::string(c.headers) + "\r\nbody\r\n");
        EXPECT_EQ(0, message->GetPartCount());
        EXPECT_EQ(c.mainAttachment, message->IsAttachment(0));
        EXPECT_EQ(c.hasAttachment, message->HasAttachment());
    }
    auto pdf = Message("Content-Type: application/pdf; name=x.pdf\r\n\r\nbody\r\n");
    EXPECT_EQ("application/pdf|x.pdf|", Info(*pdf, 0));
    EXPECT_EQ("<none>", Info(*pdf, 1));

    // Parts: no Content-Type is no attachment unless marked as one.
    auto parts = Message(
        "Content-Type: multipart/mixed; boundary=b\r\n\r\n"
        "--b\r\n\r\nplain\r\n"
        "--b\r\nContent-Disposition: attachment; filename=n.txt\r\n\r\nnote\r\n"
        "--b--\r\n");
    ASSERT_EQ(2, parts->GetPartCount());
    EXPECT_FALSE(parts->IsAttachment(1));
    EXPECT_TRUE(parts->IsAttachment(2));
    EXPECT_TRUE(parts->HasAttachment());
}

TEST(MessageParts, DecodingStaysWithinTheMessageAndRefusesItself) {
    char pattern[] = "/tmp/zelorm-parts-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(pattern));
    const std::string dir = pattern;
    const std::string path = dir + "/mailbox";
    // Two messages one after the other; the first ends at the second's
    // separator line.
    std::ofstream(path, std::ios::binary)
        << ">From< a@b.example Mon, 01 Jan 2024 00:00:00 +0000\r\n"
           "Subject: one\r\n\r\nfirst body\r\n"
           ">From< c@d.example Mon, 01 Jan 2024 00:00:01 +0000\r\n"
           "Subject: two\r\n\r\nsecond body\r\n";
    {
        CVornMailMessage first(path.c_str(), 0, 0, CVornMailMessage::kParseOnOpen,
                               CVornMailMessage::kModeRead);
        ASSERT_EQ(0, first.Open());
        EXPECT_EQ("first body\r\n", Decode(first, 0, true));
        EXPECT_EQ(1, first.DecodePart(0, first, true));
        CVornMailMessage target;
        ASSERT_EQ(0, target.Open());
        EXPECT_EQ(1, CVornMailMessage(nullptr, 0, 0, 0, 1).DecodePart(0, target, true));
        EXPECT_EQ(0, first.Close());
    }
    std::filesystem::remove_all(dir);
}

TEST(MessageParts, UniqueKey) {
    struct Case {
        const char* headers;
        const char* key;  // before the size digits
    } cases[] = {
        // a + 0, b + 1, c + 2; '<', '@' and '>' are no letters or digits.
        {"Message-Id: <ab@c>\r\n", "ace"},
        // z + 1 and 9 + 3 are no letters or digits: the byte itself.
        {"Subject: zz\r\nDate: 99\r\n", "zz99"},
        // The Message-Id alone when there is one.
        {"Subject: zz\r\nMessage-Id: <a>\r\n", "a"},
        {"X-Message-Revision: A\r\nSubject: A\r\n", "AB"},
        {"X-Other: abc\r\n", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.headers);
        auto message = Message(std::string(c.headers) + "\r\n");
        CVornString key;
        ASSERT_EQ(0, message->GetUniqueKey(key));
        EXPECT_EQ(c.key + std::to_string(message->GetSize()), Str(key));
    }

    // Same id and size, same key; a long id wraps in the 70 positions and
    // the size digits overwrite the first ones again.
    auto a = Message("Message-Id: <same@x>\r\n\r\nbody a\r\n");
    auto b = Message("Message-Id: <same@x>\r\n\r\nbody b\r\n");
    CVornString keyA, keyB;
    a->GetUniqueKey(keyA);
    b->GetUniqueKey(keyB);
    EXPECT_EQ(Str(keyA), Str(keyB));
    auto wrapped = Message("Message-Id: <" + std::string(69, '0') + ">\r\n\r\n");
    CVornString key;
    wrapped->GetUniqueKey(key);
    ASSERT_EQ(70, key.Length());
    std::string size = std::to_string(wrapped->GetSize());
    EXPECT_EQ(size.substr(1), Str(key).substr(0, size.size() - 1));
    EXPECT_EQ(size.substr(0, 1), Str(key).substr(69));
}

// A message of the corpus written by other programs, with every line end
// made CR LF as on the SMTP wire.
std::string Corpus(const char* name) {
    std::ifstream in(std::filesystem::path(__FILE__).parent_path() / "data/mail" / name,
                     std::ios::binary);
    std::string raw((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::string out;
    for (size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] == '\n' && (i == 0 || raw[i - 1] != '\r'))
            out += '\r';
        out += raw[i];
    }
    return out;
}

TEST(MessageParts, MailOfOtherPrograms) {
    struct Part {
        int number;
        std::string info;
        bool attachment;
        std::string decoded;
    };
    struct Case {
        const char* file;
        int parts;
        std::vector<Part> expected;
    } cases[] = {
        {"python-msg_10.eml",
         5,
         {{1, "text/plain||", false, "This is a 7bit encoded message.\r\n\r\n"},
          {2, "text/html||", false, "\xA1This is a Quoted Printable encoded message!\r\n\r\n"},
          {3, "text/plain||", false, "This is a Base64 encoded message."},
          {4, "text/plain||", false, "This is a Base64 encoded message.\n"},
          {5, "text/plain||", false, "This has no Content-Transfer-Encoding: header.\r\n\r\n"}}},
        {"enmime-attachment.eml",
         2,
         {{1, "text/plain||", false, "A text section\r\n"},
          {2, "text/html|test.html|test.html", true, "<html>\n"}}},
        {"enmime-nestedmulti.eml",
         2,
         {{1, "text/plain||", false, "A text section\r\n"},
          {2, "multipart/related||", true,
           "--Enmime-Test-200\r\nContent-Transfer-Encoding: 7bit\r\nContent-Type: text/html; "
           "charset=us-ascii\r\n\r\nAn HTML section\r\n--Enmime-Test-200\r\n"
           "Content-Transfer-Encoding: 7bit\r\nContent-Disposition: inline; "
           "filename=attach.txt\r\nContent-Type: text/plain; name=\"attach.txt\"\r\n\r\nAn "
           "inline text attachment\r\n--Enmime-Test-200\r\nContent-Transfer-Encoding: "
           "7bit\r\nContent-Disposition: inline\r\nContent-Type: text/plain; "
           "name=\"attach2.txt\"\r\n\r\nAnother inline text attachment\r\n"
           "--Enmime-Test-200--\r\n"}}},
        {"authored-iso2022jp.eml",
         2,
         {{2, "text/plain|=?ISO-2022-JP?B?GyRCNURCahsoQi50eHQ=?=|agenda.txt", true,
           "\x8b\x63\x91\xe8\r\n\x88\xea\x81\x41\x97\x5c\x8e\x5a\r\n\x93\xf1\x81\x41\x93\xfa"
           "\x92\xf6\r\n"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        auto message = Message(Corpus(c.file));
        ASSERT_EQ(c.parts, message->GetPartCount());
        for (const Part& p : c.expected) {
            SCOPED_TRACE(p.number);
            EXPECT_EQ(p.info, Info(*message, p.number));
            EXPECT_EQ(p.attachment, message->IsAttachment(p.number));
            EXPECT_EQ(p.decoded, Decode(*message, p.number, true));
        }
    }

    // A digest of two attached messages, each taken apart in turn.
    auto digest = Message(Corpus("python-msg_28.eml"));
    ASSERT_EQ(2, digest->GetPartCount());
    EXPECT_FALSE(digest->HasAttachment());
    for (int part = 1; part <= 2; ++part) {
        SCOPED_TRACE(part);
        auto inner = Attached(*digest, part);
        ASSERT_NE(nullptr, inner);
        EXPECT_EQ(0, inner->GetPartCount());
        EXPECT_EQ("text/plain||", Info(*inner, 0));
        EXPECT_EQ("message " + std::to_string(part) + "\r\n\r\n", Decode(*inner, 0, true));
    }
}

class AttachmentMessageTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/zelorm-attach-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(pattern));
        m_Dir = pattern;
        setenv("ZELORM_LOCK_DIR", (m_Dir + "/locks").c_str(), 1);
        std::filesystem::create_directory(m_Dir + "/locks");
    }
    void TearDown() override {
        unsetenv("ZELORM_LOCK_DIR");
        std::filesystem::remove_all(m_Dir);
    }
    std::vector<std::string> TempFiles() {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(m_Dir))
            if (entry.is_regular_file())
                names.push_back(entry.path().filename().string());
        return names;
    }
    std::string m_Dir;
};

TEST_F(AttachmentMessageTest, SmallBodiesInMemoryLargerOnesInATemporaryFile) {
    const std::string header = "Content-Type: text/plain\r\n\r\n";
    CVornDiskFile* temp = nullptr;
    {
        auto entity = Entity(header + std::string(32768, 'm'));
        ASSERT_TRUE(entity->Seek(10, 0));
        std::unique_ptr<CVornMailMessage> message(
            MakeAttachmentMessage(*entity, CVornString(m_Dir.c_str()), 5, temp));
        ASSERT_NE(nullptr, message);
        EXPECT_EQ(nullptr, temp);
        EXPECT_EQ(10, entity->Tell());
        EXPECT_EQ(std::string(32768, 'm'), Decode(*message, 0, true));
        EXPECT_TRUE(TempFiles().empty());
    }
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        const std::string body = std::string(32768, 'd') + (round ? "!" : "?");
        auto entity = Entity(header + body);
        std::unique_ptr<CVornMailMessage> message(
            MakeAttachmentMessage(*entity, CVornString(m_Dir.c_str()), 5, temp));
        ASSERT_NE(nullptr, message);
        ASSERT_NE(nullptr, temp);
        // The first round's file object was deleted, and its file with it.
        EXPECT_EQ(std::vector<std::string>{"om5aa.tmp"}, TempFiles());
        EXPECT_EQ(body, Decode(*message, 0, true));
    }
    std::ifstream file(m_Dir + "/om5aa.tmp", std::ios::binary);
    std::string stored((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    EXPECT_EQ(header + std::string(32768, 'd') + "!", stored);
    delete temp;
    EXPECT_TRUE(TempFiles().empty());
}

TEST_F(AttachmentMessageTest, PartsAreCompleteAndFailuresGiveNull) {
    CVornDiskFile* temp = nullptr;
    // A multipart body whose closing boundary has no line end still counts
    // its last part.
    auto entity = Entity(
        "Content-Type: multipart/form-data; boundary=f\r\n\r\n"
        "--f\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\n1\r\n"
        "--f\r\nContent-Disposition: form-data; name=\"b\"; filename=\"b.txt\"\r\n\r\n2\r\n"
        "--f--");
    std::unique_ptr<CVornMailMessage> message(
        MakeAttachmentMessage(*entity, CVornString(m_Dir.c_str()), 1, temp));
    ASSERT_NE(nullptr, message);
    ASSERT_EQ(2, message->GetPartCount());
    EXPECT_EQ("|a|", Info(*message, 1));
    EXPECT_EQ("|b|b.txt", Info(*message, 2));
    EXPECT_EQ("2\r\n", Decode(*message, 2, true));

    // Not open; no header block; no temporary file.
    CVornMemoryFile closed;
    CVornRFC822Entity closedEntity(closed, 0);
    EXPECT_EQ(nullptr, MakeAttachmentMessage(closedEntity, CVornString(m_Dir.c_str()), 1, temp));
    auto headerless = Entity("no header block here\r\n");
    EXPECT_EQ(nullptr, MakeAttachmentMessage(*headerless, CVornString(m_Dir.c_str()), 1, temp));
    auto large = Entity("A: b\r\n\r\n" + std::string(40000, 'x'));
    EXPECT_EQ(nullptr,
              MakeAttachmentMessage(*large, CVornString((m_Dir + "/missing").c_str()), 1, temp));
    delete temp;
}

}  // namespace
