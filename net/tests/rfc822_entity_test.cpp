// CVornRFC822Entity: parsing header blocks (folds, duplicates, case, long
// lines, the bounds), recognising a block written piece by piece, changing
// fields and writing them back in place or by moving the body, body-relative
// positions, moving an entity, and sending it over a loopback connection.
#include "net/rfc822_entity.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/disk_file.h"
#include "core/memory_file.h"
#include "net/tcp_socket.h"

namespace {

std::string Text(CVornString& s) {
    return std::string(s.CStr(), s.Length());
}

// An open memory file holding text, positioned at its end.
void Fill(CVornMemoryFile& file, const std::string& text) {
    ASSERT_TRUE(file.Open());
    if (!text.empty()) {
        ASSERT_EQ(file.Write(text.data(), static_cast<int>(text.size())),
                  static_cast<int>(text.size()));
    }
}

std::string Header(CVornRFC822Entity& entity, const char* name) {
    CVornString value;
    if (!entity.GetHeader(CVornString(name), value))
        return "<none>";
    return Text(value);
}

// The rest of the body from the entity's position.
std::string Body(CVornRFC822Entity& entity) {
    CVornString out;
    int n = entity.Read(out, 0);
    return n <= 0 ? std::string() : Text(out);
}

struct ParseCase {
    const char* name;
    std::string stream;
    bool hasHeaders;
    const char* field;  // a field to look up
    const char* value;  // its value, "<none>" when absent
    std::string body;   // the body, when there is a header block
};

TEST(RFC822EntityParse, HeaderBlocksOfEveryShape) {
    const std::string longValue(10000, 'v');
    const ParseCase cases[] = {
        {"plain", "A: 1\r\nB:\t 2\r\n\r\nbody", true, "B", "2", "body"},
        {"empty block", "\r\nbody", true, "A", "<none>", "body"},
        {"first line without colon", "no field here\r\nA: 1\r\n\r\n", false, "A", "<none>", ""},
        {"end of stream inside the block", "A: 1\r\nB: 2\r\n", false, "A", "<none>", ""},
        {"continuation before any field", " x\r\nA: 1\r\n\r\n", false, "A", "<none>", ""},
        {"folded field", "Subject: a\r\n b\r\n\tc\r\nX: y\r\n\r\n", true, "subject",
         "a\r\n b\r\n\tc", ""},
        {"block ended by a body line", "A: 1\r\nbody line\r\nmore\r\n", true, "a", "1",
         "body line\r\nmore\r\n"},
        {"duplicate names, case-insensitive", "To: a\r\nto: b\r\n\r\n", true, "TO", "a", ""},
        {"trailing blanks of the last field", "A: 1  \t\r\n\r\nx", true, "A", "1", "x"},
        {"line longer than a read piece", "Long: " + longValue + "\r\nNext: n\r\n\r\nbody", true,
         "Long", longValue.c_str(), "body"},
        {"bare LF does not end a line", "A: 1\nB: 2\r\n\r\n", true, "A", "1\nB: 2", ""},
    };
    for (const ParseCase& c : cases) {
        SCOPED_TRACE(c.name);
        CVornMemoryFile file;
        Fill(file, c.stream);
        CVornRFC822Entity entity(file, 0);
        EXPECT_FALSE(file.IsOpen());
        ASSERT_TRUE(entity.IsOpen());
        EXPECT_EQ(entity.HasHeaders(), c.hasHeaders);
        EXPECT_EQ(Header(entity, c.field), c.value);
        if (c.hasHeaders) {
            EXPECT_EQ(entity.Tell(), 0);
            EXPECT_EQ(entity.Size(), static_cast<int>(c.body.size()));
            EXPECT_EQ(Body(entity), c.body);
        } else {
            EXPECT_EQ(entity.Tell(), -1);
            EXPECT_EQ(entity.Size(), -1);
        }
    }
}

TEST(RFC822EntityParse, OverTheBoundsTheParseFails) {
    struct BoundCase {
        const char* name;
        std::string stream;
        bool parses;
    };
    std::string manyFields;
    for (int i = 0; i < CVornRFC822Entity::kMaxHeaderFields; ++i)
        manyFields += "X-" + std::to_string(i) + ": v\r\n";
    std::string longFold = "A: x\r\n";
    while (static_cast<int>(longFold.size()) <= CVornRFC822Entity::kMaxHeaderLine + 16)
        longFold += " continued\r\n";
    const BoundCase cases[] = {
        {"1000 fields", manyFields + "\r\nbody", true},
        {"1001 fields", manyFields + "One-More: v\r\n\r\nbody", false},
        {"a line of 64 KiB", "A: " + std::string(64 * 1024 - 5, 'x') + "\r\n\r\n", true},
        {"a line over 64 KiB", "A: " + std::string(64 * 1024, 'x') + "\r\n\r\n", false},
        {"a stream without any line end", std::string(200000, 'x'), false},
        {"a folded field over 64 KiB", longFold + "\r\n", false},
    };
    for (const BoundCase& c : cases) {
        SCOPED_TRACE(c.name);
        CVornMemoryFile file;
        Fill(file, c.stream);
        CVornRFC822Entity entity(file, 0);
        EXPECT_EQ(entity.IsOpen(), c.parses);
        EXPECT_EQ(entity.HasHeaders(), c.parses);
    }
}

TEST(RFC822EntityWrite, ABlockWrittenPieceByPieceIsRecognised) {
    CVornMemoryFile file;
    Fill(file, "");
    CVornRFC822Entity entity(file, 0);
    ASSERT_TRUE(entity.IsOpen());
    EXPECT_FALSE(entity.HasHeaders());
    EXPECT_EQ(entity.Write(CVornString("Host: a\r\n")), 9);
    EXPECT_EQ(entity.Write(CVornString("Accept: b\r\n")), 11);
    EXPECT_FALSE(entity.HasHeaders());
    EXPECT_EQ(entity.Write(CVornString("\r\n")), 2);
    ASSERT_TRUE(entity.HasHeaders());
    EXPECT_EQ(entity.Tell(), 0);
    EXPECT_EQ(Header(entity, "accept"), "b");
    EXPECT_EQ(entity.Write("body", 4), 4);
    EXPECT_EQ(entity.Size(), 4);

    // A whole block and the start of the body in one write.
    CVornMemoryFile second;
    Fill(second, "");
    CVornRFC822Entity other(second, 0);
    EXPECT_EQ(other.Write(CVornString("A: 1\r\n\r\nxyz")), 11);
    ASSERT_TRUE(other.HasHeaders());
    EXPECT_EQ(other.Tell(), 3);
    EXPECT_EQ(Header(other, "A"), "1");
}

TEST(RFC822EntityWrite, EndHeadersAddsTheMissingLineEnds) {
    const struct {
        std::string written;
        std::string body;
    } cases[] = {{"", ""}, {"A: 1\r\n", ""}, {"A: 1", ""}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.written);
        CVornMemoryFile file;
        Fill(file, "");
        CVornRFC822Entity entity(file, 0);
        if (!c.written.empty())
            entity.Write(c.written.data(), static_cast<int>(c.written.size()));
        ASSERT_TRUE(entity.EndHeaders());
        EXPECT_TRUE(entity.HasHeaders());
        EXPECT_EQ(entity.Size(), 0);
        EXPECT_EQ(Header(entity, "A"), c.written.empty() ? "<none>" : "1");
        EXPECT_TRUE(entity.EndHeaders());  // a second call changes nothing
    }
}

class RFC822EntityFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/rfc822_entity_test.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        m_Dir = pattern;
        m_Path = m_Dir + "/entity.txt";
    }
    void TearDown() override { std::filesystem::remove_all(m_Dir); }

    std::string ReadFile() {
        std::ifstream in(m_Path, std::ios::binary);
        std::stringstream all;
        all << in.rdbuf();
        return all.str();
    }

    // An entity over a disk file that holds text.
    std::unique_ptr<CVornRFC822Entity> Over(const std::string& text, int reserve) {
        std::ofstream(m_Path, std::ios::binary) << text;
        CVornDiskFile file(m_Path.c_str(), kFileNoPathLock);
        EXPECT_TRUE(file.Open());
        return std::make_unique<CVornRFC822Entity>(file, reserve);
    }

    std::string m_Dir;
    std::string m_Path;
};

TEST_F(RFC822EntityFileTest, AShorterBlockIsPaddedInPlace) {
    const std::string body(100000, 'b');
    auto entity = Over("Subject: a long subject\r\nTo: x@y.z\r\n\r\n" + body, 0);
    ASSERT_TRUE(entity->HasHeaders());
    entity->SetHeader(CVornString("SUBJECT"), CVornString("short"));
    ASSERT_TRUE(entity->Close());
    // 38 bytes of room: the last field's line takes the 9 bytes left over.
    const std::string block = "SUBJECT: short\r\nTo: x@y.z" + std::string(9, ' ') + "\r\n\r\n";
    EXPECT_EQ(ReadFile(), block + body);

    ASSERT_TRUE(entity->Open());
    EXPECT_EQ(Header(*entity, "subject"), "short");
    EXPECT_EQ(Header(*entity, "to"), "x@y.z");
    EXPECT_EQ(entity->Size(), static_cast<int>(body.size()));
    EXPECT_EQ(Body(*entity), body);
}

TEST_F(RFC822EntityFileTest, ALongerBlockMovesTheBodyByTheShortfallAndTheReserve) {
    std::string body;
    for (int i = 0; i < 20000; ++i) body += std::to_string(i) + ",";
    const std::string block = "A: 1\r\n\r\n";
    auto entity = Over(block + body, 16);
    entity->SetHeader(CVornString("A"), CVornString("1234567"));
    entity->SetHeader(CVornString("B"), CVornString("2"));
    EXPECT_TRUE(entity->Flush());
    EXPECT_EQ(entity->Tell(), 0);
    // "A: 1234567\r\nB: 2\r\n" and the empty line take 20 bytes where 8 were:
    // the body moves by 12 + 16 and the last line takes the 16 blanks.
    EXPECT_EQ(ReadFile(), "A: 1234567\r\nB: 2" + std::string(16, ' ') + "\r\n\r\n" + body);

    ASSERT_TRUE(entity->Close());
    ASSERT_TRUE(entity->Open());
    EXPECT_EQ(Header(*entity, "B"), "2");
    EXPECT_EQ(Body(*entity), body);
}

TEST_F(RFC822EntityFileTest, SetAndRemoveWorkOnEveryFieldOfTheName) {
    auto entity = Over("Received: 1\r\nX: a\r\nreceived: 2\r\nRECEIVED: 3\r\n\r\nbody", 0);
    entity->SetHeader(CVornString("Received"), CVornString("only\r\n"));
    CVornString text;
    ASSERT_TRUE(entity->GetHeaderText(text, true));
    EXPECT_EQ(Text(text), "Received: only\r\nX: a\r\n\r\n");
    entity->RemoveHeader(CVornString("x"));
    entity->SetHeader(CVornString("New"), CVornString("n"));
    ASSERT_TRUE(entity->GetHeaderText(text, false));
    EXPECT_EQ(Text(text), "Received: only\r\nNew: n\r\n");
    ASSERT_TRUE(entity->Close());
    EXPECT_EQ(ReadFile().substr(0, 24), "Received: only\r\nNew: n  ");
    ASSERT_TRUE(entity->Open());
    EXPECT_EQ(Header(*entity, "new"), "n");
    EXPECT_EQ(Body(*entity), "body");
}

TEST_F(RFC822EntityFileTest, ASetValueCannotStartANewField) {
    auto entity = Over("Subject: s\r\n\r\nbody", 0);
    entity->SetHeader(CVornString("Subject"), CVornString("hi\r\nBcc: victim@x.y\r\n"));
    entity->SetHeader(CVornString("X-A\r\nBcc"), CVornString("v"));
    ASSERT_TRUE(entity->Close());
    std::string stored = ReadFile();
    EXPECT_EQ(stored.find("\nBcc"), std::string::npos);
    ASSERT_TRUE(entity->Open());
    EXPECT_EQ(Header(*entity, "Subject"), "hiBcc: victim@x.y");
    EXPECT_EQ(Header(*entity, "Bcc"), "<none>");
    EXPECT_EQ(Body(*entity), "body");
}

// Whatever the entity writes back it must open again: additions beyond the
// bounds of a parse, and names that would read as something else, are
// refused (the fields stay as they were), and padding that would push the
// last line over the line bound closes the room instead.
TEST_F(RFC822EntityFileTest, WhatIsWrittenBackOpensAgain) {
    const int lineBound = CVornRFC822Entity::kMaxHeaderLine;
    std::string thousand;
    for (int i = 0; i < CVornRFC822Entity::kMaxHeaderFields; ++i)
        thousand += "X-" + std::to_string(i) + ": v\r\n";
    struct Set {
        const char* name;
        std::string value;
        const char* readBack;  // the field's value after reopening, "<none>": refused
    };
    struct Case {
        const char* name;
        std::string block;
        int reserve;
        std::vector<Set> sets;
        const char* absent = nullptr;  // a name no field may have after reopening
    };
    const Case cases[] = {
        {"a field beyond the field bound", thousand, 0,
         {{"One-More", "v", "<none>"}, {"X-999", "changed", "changed"}}},
        {"a line over the line bound",
         "A: 1\r\n",
         0,
         {{"Big", std::string(lineBound - 6, 'x'), "<none>"},
          {"Fit", std::string(lineBound - 7, 'y'), nullptr}}},
        {"a replacement over the line bound", "A: 1\r\n", 0,
         {{"A", std::string(lineBound, 'x'), "1"}}},
        {"names that would read back as something else", "A: 1\r\n", 0,
         {{" Lead", "v", "<none>"}, {"\tTab", "v", "<none>"}, {"With:Colon", "v", "<none>"}},
         "With"},
        {"shrinking where the padding would overflow the last line",
         "Long: " + std::string(40000, 'l') + "\r\nLast: " + std::string(40000, 'z') + "\r\n", 0,
         {{"Long", "short", "short"}}},
        {"growing where the reserve would overflow the last line", "A: 1\r\n", 512,
         {{"A", std::string(lineBound - 100, 'g'), nullptr}}},
    };
    const std::string body = "the body\r\n";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto entity = Over(c.block + "\r\n" + body, c.reserve);
        ASSERT_TRUE(entity->IsOpen());
        for (const Set& set : c.sets)
            entity->SetHeader(CVornString(set.name), CVornString(set.value.c_str()));
        ASSERT_TRUE(entity->Close());
        ASSERT_TRUE(entity->Open());
        for (const Set& set : c.sets) {
            SCOPED_TRACE(set.name);
            EXPECT_EQ(Header(*entity, set.name), set.readBack ? set.readBack : set.value);
        }
        if (c.absent) {
            EXPECT_EQ(Header(*entity, c.absent), "<none>");
        }
        EXPECT_EQ(Body(*entity), body);
    }
}

TEST_F(RFC822EntityFileTest, RemovingEveryFieldLeavesAnEmptyBlockAndTheBody) {
    auto entity = Over("A: 1\r\nB: 2\r\n\r\nthe body", 0);
    entity->RemoveHeader(CVornString("A"));
    entity->RemoveHeader(CVornString("B"));
    ASSERT_TRUE(entity->Close());
    EXPECT_EQ(ReadFile(), "\r\nthe body");
    ASSERT_TRUE(entity->Open());
    EXPECT_TRUE(entity->HasHeaders());
    EXPECT_EQ(Body(*entity), "the body");
}

TEST(RFC822EntityPositions, SeekTellAndTruncateAreBodyRelative) {
    CVornMemoryFile file;
    Fill(file, "A: 1\r\n\r\n0123456789");
    CVornRFC822Entity entity(file, 0);
    ASSERT_TRUE(entity.Seek(4, 0));
    EXPECT_TRUE(entity.Seek(0, 1));
    EXPECT_EQ(entity.Tell(), 4);
    EXPECT_TRUE(entity.Seek(-2, 1));
    EXPECT_EQ(entity.Tell(), 2);
    EXPECT_TRUE(entity.Seek(0, 2));
    EXPECT_EQ(entity.Tell(), 10);
    EXPECT_TRUE(entity.IsEof());
    EXPECT_FALSE(entity.Seek(-1, 0));
    EXPECT_EQ(entity.Tell(), 10);
    EXPECT_TRUE(entity.Truncate(3));
    EXPECT_EQ(entity.Size(), 3);
    ASSERT_TRUE(entity.Seek(0, 0));
    char c = 0;
    EXPECT_TRUE(entity.GetChar(c));
    EXPECT_EQ(c, '0');

    // A closed entity refuses everything.
    ASSERT_TRUE(entity.Close());
    EXPECT_EQ(entity.Tell(), -1);
    EXPECT_EQ(entity.Read(&c, 1), -1);
    EXPECT_EQ(entity.Write("x", 1), -1);
    EXPECT_FALSE(entity.Seek(0, 0));
    EXPECT_FALSE(entity.Close());
    EXPECT_FALSE(entity.HasHeaders());
}

TEST(RFC822EntityMove, TakeOverAndDetachMoveTheWholeState) {
    CVornMemoryFile a;
    Fill(a, "From: a\r\n\r\nfirst body");
    CVornRFC822Entity first(a, 0);
    CVornMemoryFile b;
    Fill(b, "To: b\r\n\r\nsecond");
    CVornRFC822Entity second(b, 0);
    second.SetHeader(CVornString("To"), CVornString("changed"));

    // A copy that cannot be made leaves the other entity as it was.
    CVornMemoryFile locked(kFileReadOnly);
    ASSERT_TRUE(locked.Open());
    CVornRFC822Entity readOnly(locked, 0);
    ASSERT_TRUE(readOnly.IsOpen());
    EXPECT_FALSE(readOnly.TakeOver(second));
    EXPECT_TRUE(second.IsOpen());
    EXPECT_EQ(Header(second, "To"), "changed");

    ASSERT_TRUE(first.TakeOver(second));
    EXPECT_FALSE(second.IsOpen());
    EXPECT_FALSE(second.Open());  // no stream left
    EXPECT_EQ(Header(first, "From"), "<none>");
    EXPECT_EQ(Header(first, "To"), "changed");
    ASSERT_TRUE(first.Seek(0, 0));
    EXPECT_EQ(Body(first), "second");
    EXPECT_FALSE(first.TakeOver(second));

    CVornFile* moved = first.Detach();
    ASSERT_NE(moved, nullptr);
    EXPECT_FALSE(first.IsOpen());
    auto* entity = static_cast<CVornRFC822Entity*>(moved);
    EXPECT_TRUE(entity->IsOpen());
    EXPECT_EQ(Header(*entity, "To"), "changed");
    // The changed field is written back when the new owner closes.
    ASSERT_TRUE(entity->Close());
    ASSERT_TRUE(entity->Open());
    EXPECT_EQ(Header(*entity, "to"), "changed");
    EXPECT_EQ(Body(*entity), "second");
    delete moved;
}

TEST(RFC822EntitySend, FirstLineBlockAndBodyGoOverTheConnection) {
    CVornTCPSocket::SetSendTimeoutMs(5000);
    int loopback = 0;
    ASSERT_TRUE(ParseDottedQuad(CVornString("127.0.0.1"), &loopback));
    CVornTCPSocket listener;
    ASSERT_TRUE(listener.Listen(CVornHostAddress(static_cast<uint32_t>(loopback), 0)));
    CVornHostAddress local;
    ASSERT_TRUE(listener.GetLocalAddress(local));

    std::string body;
    for (int i = 0; body.size() < 70000; ++i) body += static_cast<char>('a' + i % 26);
    body.resize(70000);
    CVornMemoryFile file;
    Fill(file, "Host: h\r\nContent-Length: 70000\r\n\r\n" + body);
    CVornRFC822Entity entity(file, 512);
    ASSERT_TRUE(entity.HasHeaders());
    ASSERT_TRUE(entity.Seek(100, 0));  // sending starts at the body start anyway

    const std::string expected =
        "POST /x HTTP/1.0\r\nHost: h\r\nContent-Length: 70000\r\n\r\n" + body;
    std::string received;
    std::thread reader([&] {
        CVornTCPSocket server;
        if (!listener.Accept(server, 5))
            return;
        CVornString data;
        server.Read(data, static_cast<int>(expected.size()), 5);
        received = Text(data);
    });
    CVornTCPSocket client(CVornHostAddress(static_cast<uint32_t>(loopback), local.GetPort()));
    ASSERT_TRUE(client.Connect());
    CVornString firstLine("POST /x HTTP/1.0\r\n");
    EXPECT_TRUE(entity.SendBody(client, &firstLine));
    reader.join();
    EXPECT_EQ(received.size(), expected.size());
    EXPECT_TRUE(received == expected);
    CVornTCPSocket::ResetTimeouts();

    // Without a header block nothing is sent.
    CVornMemoryFile none;
    Fill(none, "A: 1\r\n");
    CVornRFC822Entity partial(none, 0);
    EXPECT_FALSE(partial.SendBody(client, nullptr));
}

}  // namespace
