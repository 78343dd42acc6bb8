#include "gateway/queued_message.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/pseudo_random.h"
#include "gateway/tests/support/spool_fixture.h"
#include "net/host_address.h"
#include "net/mail_message.h"
#include "core/tests/support/vorn_helpers.h"

namespace {

using spooltest::ReadWhole;
using spooltest::WriteWhole;

std::string Str(const CVornString& s) {
    CVornString copy(s);
    return std::string(copy.CStr(), static_cast<size_t>(copy.Length()));
}

// "address:status/reason/notify" for every recipient in list order.
std::vector<std::string> Recipients(CQueuedMessage& message) {
    std::vector<std::string> out;
    for (QueuedRecipient* r = message.GetRecipients(); r; r = r->m_Next)
        out.push_back(r->m_Address + ":" + std::to_string(r->m_Status) + "/" +
                      std::to_string(r->m_Reason) + "/" + std::to_string(r->m_Notify));
    return out;
}

std::map<uint32_t, std::string> g_Pointers;

bool TestReverse(const CVornHostAddressEntry& entry, CVornString& out) {
    auto it = g_Pointers.find(entry.GetAddress());
    if (it == g_Pointers.end())
        return false;
    out.Assign(it->second.c_str());
    return true;
}

// Forward (A) records of the relay tests: lower-case name -> address.
std::map<std::string, uint32_t> g_Names;
std::vector<std::string> g_Asked;  // every name given to the forward lookup

bool TestForward(const CVornString& name, CVornHostAddressList& out) {
    std::string key(const_cast<CVornString&>(name).CStr());
    g_Asked.push_back(key);
    for (char& c : key) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    auto it = g_Names.find(key);
    if (it == g_Names.end())
        return false;
    AppendAddressEntry(out, CVornHostAddressEntry(it->second));
    return true;
}

class QueuedMessageTest : public spooltest::SpoolTest {
protected:
    void TearDown() override {
        SetReverseLookup(nullptr);
        SetHostLookup(nullptr);
        g_Pointers.clear();
        g_Names.clear();
        SpoolTest::TearDown();
    }

    // A reserved, locked message with a sender and source.
    std::unique_ptr<CQueuedMessage> NewMessage(const char* sender = "joe@example.com") {
        auto message = std::make_unique<CQueuedMessage>();
        EXPECT_EQ(0, message->Open(nullptr, m_Spool.c_str()));
        EXPECT_EQ(0, message->Lock());
        EXPECT_EQ(0, message->SetSender(sender));
        EXPECT_EQ(0, message->SetSourceType(1));
        EXPECT_EQ(0, message->SetSourceText("10.0.0.1"));
        return message;
    }

    std::string Envelope(CQueuedMessage& message) {
        CVornString path;
        message.GetEnvelopePath(path);
        return ReadWhole(Str(path));
    }

    std::unique_ptr<CQueuedMessage> Load(const std::string& name) {
        auto message = std::make_unique<CQueuedMessage>();
        EXPECT_EQ(0, message->Open(name.c_str(), m_Spool.c_str())) << name;
        return message;
    }
};

TEST_F(QueuedMessageTest, ReservationCreatesAnEmptyEnvelopeUnderAFreshName) {
    auto first = std::make_unique<CQueuedMessage>();
    ASSERT_EQ(0, first->Open(nullptr, m_Spool.c_str()));
    std::string name = first->GetName();
    ASSERT_EQ(20u, name.size());
    EXPECT_EQ('M', name[0]);
    EXPECT_EQ(std::string::npos, name.find_first_not_of("0123456789", 1)) << name;
    EXPECT_LT(atoi(name.substr(15).c_str()), 32678);
    EXPECT_TRUE(std::filesystem::exists(SpoolPath(name + ".env")));
    EXPECT_EQ(0u, std::filesystem::file_size(SpoolPath(name + ".env")));
    EXPECT_FALSE(first->IsLocked());

    // The same pseudo-random draw again: the name is taken (its envelope
    // exists), so the reservation moves on to another one.
    ResetPseudoRandom();
    CQueuedMessage second;
    ASSERT_EQ(0, second.Open(nullptr, m_Spool.c_str()));
    EXPECT_NE(name, second.GetName());

    // A name whose lock is held elsewhere is skipped as well, without waiting.
    ResetPseudoRandom();
    std::filesystem::remove(SpoolPath(name + ".env"));
    ASSERT_EQ(0, first->Lock());
    std::thread other([&] {
        CQueuedMessage third;
        EXPECT_EQ(0, third.Open(nullptr, m_Spool.c_str()));
        EXPECT_NE(name, third.GetName());
    });
    other.join();
    first->Unlock();
}

// A process killed between deleting a message's envelope and its body
// leaves the body; a later process started within the same second draws the
// same name, and its message must not be appended to the leftover.
TEST_F(QueuedMessageTest, ANameDrawnAgainStartsWithAnEmptyBody) {
    ResetPseudoRandom();
    auto first = NewMessage();
    std::string name = first->GetName();
    ASSERT_EQ(0, first->OpenBodyForWrite(2, 0));
    const std::string old = "Subject: old\r\n\r\nold\r\n";
    ASSERT_EQ(0, first->AppendBody(old.data(), static_cast<int>(old.size())));
    ASSERT_EQ(0, first->CloseBody());
    first->Unlock();
    std::filesystem::remove(SpoolPath(name + ".env"));

    ResetPseudoRandom();
    auto second = NewMessage();
    ASSERT_EQ(name, second->GetName());
    ASSERT_EQ(0, second->OpenBodyForWrite(2, 0));
    const std::string fresh = "Subject: new\r\n\r\nnew\r\n";
    ASSERT_EQ(0, second->AppendBody(fresh.data(), static_cast<int>(fresh.size())));
    ASSERT_EQ(0, second->CloseBody());
    std::string body = ReadWhole(SpoolPath(name + ".mes"));
    EXPECT_EQ(0u, body.find("Subject: new\r\n")) << body;
    EXPECT_EQ(std::string::npos, body.find("old")) << body;
}

TEST_F(QueuedMessageTest, EnvelopeIsWrittenInItsFormatAndReadBackReversed) {
    auto message = NewMessage();
    message->SetKind(2);
    message->SetNoticesSent();
    message->SetComplete(1);
    ASSERT_EQ(0, message->AddRecipient("a@x.org", 1, 0, 0));
    ASSERT_EQ(0, message->addRecipientNode("b@x.org", "owner-list", "451 busy\r\nnow", 7, 2, 3,
                                           1704270000, 1));
    ASSERT_EQ(0, message->AddRecipient("c@x.org", 1, 0, 0));
    ASSERT_EQ(0, message->WriteEnvelope());
    std::string name = message->GetName();
    std::string created = std::to_string(m_Now);
    std::string expected = "# 2 " + created + "\r\n1\r\n" + created + "\r\n" + created +
                           "\r\n0\r\n2\r\n1\r\njoe@example.com\r\n1 10.0.0.1\r\n"
                           "1 0 0 0 0\r\nc@x.org\r\n\r\n\r\n"
                           "2 7 3 1704270000 1\r\nb@x.org\r\nowner-list\r\n451 busy  now\r\n"
                           "1 0 0 0 0\r\na@x.org\r\n\r\n\r\n";
    EXPECT_EQ(expected, Envelope(*message));
    EXPECT_FALSE(std::filesystem::exists(SpoolPath(name + ".env_new")));
    message.reset();

    // Each load reverses the records; two loads and writes restore them.
    auto loaded = Load(name);
    EXPECT_EQ((std::vector<std::string>{"a@x.org:1/0/0", "b@x.org:2/7/1", "c@x.org:1/0/0"}),
              Recipients(*loaded));
    EXPECT_EQ("joe@example.com", std::string(loaded->GetSender()));
    EXPECT_EQ(1, loaded->GetSourceType());
    EXPECT_EQ("10.0.0.1", std::string(loaded->GetSourceText()));
    EXPECT_EQ(2, loaded->GetKind());
    EXPECT_EQ(1, loaded->NoticesSent());
    EXPECT_EQ(1, loaded->IsComplete());
    EXPECT_EQ(m_Now, loaded->GetCreationTime());
    QueuedRecipient* b = loaded->GetRecipients()->m_Next;
    EXPECT_EQ("owner-list", b->m_BounceAddress);
    EXPECT_EQ("451 busy  now", b->m_StatusText);
    EXPECT_EQ(1704270000, b->m_LastAttempt);
    ASSERT_EQ(0, loaded->Lock());
    ASSERT_EQ(0, loaded->WriteEnvelope());
    loaded.reset();
    auto again = Load(name);
    ASSERT_EQ(0, again->Lock());
    ASSERT_EQ(0, again->WriteEnvelope());
    std::string restored = Envelope(*again);
    EXPECT_EQ(expected.substr(expected.find("\r\n")), restored.substr(restored.find("\r\n")));
}

TEST_F(QueuedMessageTest, OlderAndOddSourceLinesLoad) {
    struct Case {
        const char* version;
        const char* source;
        int type;
        const char* text;
    } cases[] = {
        {"1", "10.0.0.1 extra", 0, "10.0.0.1 extra"},
        {"2", "7 10.0.0.2", 0, "10.0.0.2"},  // type out of range: text still set
        {"2", "2 ", 2, ""},
        {"2", "1 10.0.0.3 x", 1, "10.0.0.3 x"},
    };
    for (const Case& c : cases) {
        WriteWhole(SpoolPath("M1.env"), std::string("# ") + c.version +
                                            " 1\r\n1\r\n5\r\n6\r\n7\r\n0\r\n0\r\ns@x.org\r\n" +
                                            c.source + "\r\n1 0 0 0 0\r\nr@x.org\r\n\r\n\r\n");
        CQueuedMessage message;
        ASSERT_EQ(0, message.Open("M1", m_Spool.c_str())) << c.source;
        EXPECT_EQ(c.type, message.GetSourceType()) << c.source;
        EXPECT_EQ(c.text, std::string(message.GetSourceText())) << c.source;
        EXPECT_EQ(5, message.GetCreationTime());
        EXPECT_EQ(7, message.GetBodySize());
    }
}

TEST_F(QueuedMessageTest, IncompleteEnvelopesFailToLoad) {
    const std::string head = "# 2 1\r\n1\r\n5\r\n6\r\n7\r\n0\r\n0\r\ns@x.org\r\n1 1.2.3.4\r\n";
    const std::vector<std::string> cases = {
        "",                                              // a bare reservation
        "garbage\r\n",                                   // no version line
        "# 2 1\r\n1\r\n5\r\n",                           // fixed lines missing
        head + "1 0 0 0 0\r\nr@x.org\r\n\r\n",           // status text line missing
        head + "1 0 0 0\r\nr@x.org\r\n\r\n\r\n",         // four numbers
        head + "1 0 0 0 0\r\nr@x.org\r\n\r\n\r\nx y\r\n",  // a bad numbers line after a good record
    };
    for (const std::string& text : cases) {
        WriteWhole(SpoolPath("M2.env"), text);
        CQueuedMessage message;
        EXPECT_EQ(1, message.Open("M2", m_Spool.c_str())) << text;
        EXPECT_FALSE(message.IsLocked());
    }
    CQueuedMessage missing;
    EXPECT_EQ(1, missing.Open("M404", m_Spool.c_str()));
    EXPECT_EQ(CQueuedMessage::kMissing, missing.TryOpen("M404", m_Spool.c_str()));
    WriteWhole(SpoolPath("M2.env"), cases[3]);
    CQueuedMessage damaged;
    EXPECT_EQ(CQueuedMessage::kDamaged, damaged.TryOpen("M2", m_Spool.c_str()));
    EXPECT_TRUE(damaged.IsLocked());
}

TEST_F(QueuedMessageTest, PeerTextNeverStartsANewEnvelopeLine) {
    auto message = NewMessage();
    // Setters refuse line breaks in the texts that name people and hosts.
    EXPECT_EQ(1, message->SetSender("a@x.org\r\n1 0 0 0 0"));
    EXPECT_EQ(1, message->SetSourceText("10.0.0.1\n"));
    EXPECT_EQ(1, message->AddRecipient("r@x.org\r\nevil@x.org", 1, 0, 0));
    EXPECT_EQ(1, message->addRecipientNode("r@x.org", "b\n", nullptr, 0, 1, 0, 0, 0));
    EXPECT_EQ(1, message->AddRecipient(nullptr, 1, 0, 0));
    EXPECT_EQ(1, message->SetSourceType(3));
    EXPECT_EQ(1, message->SetSourceType(-1));
    EXPECT_EQ(1, message->GetSourceType());
    EXPECT_EQ("joe@example.com", std::string(message->GetSender()));

    // Records changed in place are cleaned when written.
    ASSERT_EQ(0, message->AddRecipient("r@x.org", 1, 0, 0));
    message->GetRecipients()->m_Address = "r@x.org\r\n1 0 0 0 0\r\nevil@x.org\r\n\r\n";
    message->GetRecipients()->m_StatusText = "550 no\nsuch\r\nuser";
    ASSERT_EQ(0, message->WriteEnvelope());
    auto loaded = Load(message->GetName());
    ASSERT_EQ(1u, Recipients(*loaded).size());
    EXPECT_EQ("550 no such  user", loaded->GetRecipients()->m_StatusText);
}

// A status text is made from a refusal or a peer's reply; one over the
// bound the reader keeps would make the whole message unreadable.
TEST_F(QueuedMessageTest, StatusTextsAreCutToWhatTheEnvelopeReadsBack) {
    const std::string atBound(CQueuedMessage::kMaxTextLength, 'x');
    struct Case {
        const char* what;
        std::string text;
        std::string kept;
    } cases[] = {
        {"short", "550 no such user", "550 no such user"},
        {"at the bound", atBound, atBound},
        {"over the bound", atBound + "tail", atBound},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto message = NewMessage();
        ASSERT_EQ(0, message->AddRecipient("r@x.org", 1, 0, 0));
        CQueuedMessage::SetStatusText(*message->GetRecipients(), c.text.c_str());
        ASSERT_EQ(0, message->AddRecipient("other@x.org", 1, 0, 0));
        ASSERT_EQ(0, message->WriteEnvelope());
        CQueuedMessage loaded;
        ASSERT_EQ(0, loaded.Open(message->GetName(), m_Spool.c_str()));
        std::vector<std::string> texts;
        for (QueuedRecipient* r = loaded.GetRecipients(); r; r = r->m_Next)
            texts.push_back(r->m_Address + ":" + r->m_StatusText);
        EXPECT_EQ((std::vector<std::string>{"r@x.org:" + c.kept, "other@x.org:"}), texts);
    }
}

TEST_F(QueuedMessageTest, WriteEnvelopeNeedsASender) {
    CQueuedMessage message;
    ASSERT_EQ(0, message.Open(nullptr, m_Spool.c_str()));
    EXPECT_EQ(1, message.WriteEnvelope());
    ASSERT_EQ(0, message.SetSender(""));
    EXPECT_EQ(0, message.WriteEnvelope());
}

TEST_F(QueuedMessageTest, FailedWriteReportsEvent31AndKeepsTheOldEnvelope) {
    auto message = NewMessage();
    ASSERT_EQ(0, message->AddRecipient("r@x.org", 1, 0, 0));
    ASSERT_EQ(0, message->WriteEnvelope());
    std::string before = Envelope(*message);
    Events();
    // The temporary name is taken by a directory: nothing can be written.
    std::filesystem::create_directory(SpoolPath(std::string(message->GetName()) + ".env_new"));
    ASSERT_EQ(0, message->AddRecipient("s@x.org", 1, 0, 0));
    EXPECT_EQ(1, message->WriteEnvelope());
    EXPECT_EQ(before, Envelope(*message));
    EXPECT_TRUE(HasEvent("1:M31 " + SpoolPath(std::string(message->GetName()) + ".env")));
}

// A delivery pass holds its writes: the file keeps the last written state
// until a flush, a flush without a change writes nothing, and a failed
// flush stays pending for the next one.
TEST_F(QueuedMessageTest, HeldWritesReachTheFileOnlyAtAFlush) {
    auto message = NewMessage();
    ASSERT_EQ(0, message->AddRecipient("r@x.org", 1, 0, 0));
    ASSERT_EQ(0, message->WriteEnvelope());
    std::string first = Envelope(*message);
    message->HoldEnvelopeWrites(true);
    EXPECT_EQ(0, message->FlushEnvelope());  // nothing pending
    EXPECT_EQ(first, Envelope(*message));

    message->GetRecipients()->m_Status = kRecipientDone;
    EXPECT_EQ(0, message->WriteEnvelope());
    EXPECT_EQ(first, Envelope(*message));

    std::string blocker = SpoolPath(std::string(message->GetName()) + ".env_new");
    std::filesystem::create_directory(blocker);
    EXPECT_EQ(1, message->FlushEnvelope());
    EXPECT_EQ(first, Envelope(*message));
    std::filesystem::remove(blocker);
    EXPECT_EQ(0, message->FlushEnvelope());
    EXPECT_NE(std::string::npos, Envelope(*message).find("\r\n3 0 0 "));

    // Still held after the flush.
    message->GetRecipients()->m_Status = kRecipientClosed;
    EXPECT_EQ(0, message->WriteEnvelope());
    EXPECT_EQ(std::string::npos, Envelope(*message).find("\r\n4 0 0 "));
}

TEST_F(QueuedMessageTest, BodyIsWrittenWithTheTraceHeaderAndReadBack) {
    auto message = NewMessage();
    ASSERT_EQ(0, message->AddRecipient("r@x.org", 1, 0, 0));
    ASSERT_EQ(0, message->OpenBodyForWrite(2, 0));
    ASSERT_EQ(0, message->WriteReceivedHeader("client.example.org", "10.0.0.1", "gw.local",
                                              "ZELORM", "2.1 bld 63", "r@x.org"));
    ASSERT_EQ(0, message->AppendBody(CVornString("Subject: hello\r\nReceived: from a\r\n\r\nbody\r\n")));
    EXPECT_EQ(2, message->GetHopCount());
    CVornString subject;
    message->GetSubject(subject);
    EXPECT_EQ("hello", Str(subject));
    ASSERT_EQ(0, message->CloseBody());
    EXPECT_EQ(1, message->CloseBody());
    EXPECT_EQ(1, message->AppendBody("x", 1));
    std::string body = ReadWhole(SpoolPath(std::string(message->GetName()) + ".mes"));
    EXPECT_EQ(static_cast<long>(body.size()), message->GetBodySize());
    std::string name = message->GetName();
    EXPECT_EQ(0u, body.find("Received: from client.example.org ([10.0.0.1])\r\n by gw.local "
                            "(ZELORM 2.1 bld 63) with SMTP id " +
                            name + "\r\n for <r@x.org>; "));

    std::unique_ptr<CVornMailMessage> read(message->OpenBodyForRead(0, 1));
    ASSERT_TRUE(read);
    CVornString line;
    ASSERT_GT(read->ReadLine(line), 0);
    EXPECT_EQ("Received: from client.example.org ([10.0.0.1])\r\n", Str(line));
}

TEST_F(QueuedMessageTest, TraceHeaderFormsAndLineBreaksOfThePeer) {
    struct Case {
        const char* client;
        const char* recipient;
        const char* start;
    } cases[] = {
        {"HELO_NOT_SENT", nullptr, "Received: (from HELO_NOT_SENT [10.0.0.1])\r\n by gw "},
        {"a.b", "r@x.org", "Received: from a.b ([10.0.0.1])\r\n by gw "},
        // A HELO argument with line breaks cannot add a header line.
        {"evil\r\nX-Injected: 1", nullptr, "Received: (from evilX-Injected: 1 [10.0.0.1])\r\n"},
    };
    for (const Case& c : cases) {
        auto message = NewMessage();
        ASSERT_EQ(0, message->OpenBodyForWrite(2, 0));
        ASSERT_EQ(0, message->WriteReceivedHeader(c.client, "10.0.0.1", "gw", "ZELORM",
                                                  "2.1 bld 63", c.recipient));
        ASSERT_EQ(0, message->AppendBody("\r\nbody\r\n", 8));
        ASSERT_EQ(0, message->CloseBody());
        std::string body = ReadWhole(SpoolPath(std::string(message->GetName()) + ".mes"));
        EXPECT_EQ(0u, body.find(c.start)) << body;
        EXPECT_EQ(c.recipient != nullptr, body.find(" for <") != std::string::npos);
        EXPECT_EQ(std::string::npos, body.find("\r\nX-Injected"));
    }
    CQueuedMessage closed;
    EXPECT_EQ(1, closed.WriteReceivedHeader("a", "b", "c", "d", "e", nullptr));
    CVornString line;
    EXPECT_EQ(-1, closed.ReadBodyLine(line));
}

TEST_F(QueuedMessageTest, DeleteRemovesBothFilesAndTheLock) {
    auto message = NewMessage();
    ASSERT_EQ(0, message->OpenBodyForWrite(2, 0));
    ASSERT_EQ(0, message->AppendBody("\r\nx\r\n", 5));
    ASSERT_EQ(0, message->CloseBody());
    ASSERT_EQ(0, message->WriteEnvelope());
    std::string name = message->GetName();
    message->Unlock();
    EXPECT_EQ(0, message->Delete());
    EXPECT_FALSE(message->IsLocked());
    EXPECT_FALSE(std::filesystem::exists(SpoolPath(name + ".env")));
    EXPECT_FALSE(std::filesystem::exists(SpoolPath(name + ".mes")));
    EXPECT_EQ(0, message->Delete());  // nothing left: no error
    std::thread other([&] {
        CQueuedMessage again;
        EXPECT_EQ(CQueuedMessage::kMissing, again.TryOpen(name.c_str(), m_Spool.c_str()));
    });
    other.join();
}

TEST_F(QueuedMessageTest, RecipientsExpandByRelayRules) {
    uint32_t client = inet_addr("10.0.0.1");
    // The client's address points to a name (PTR); only names whose own
    // addresses include the client's may relay.
    g_Names["client.example.org"] = client;
    g_Names["liar.example.org"] = inet_addr("10.0.0.7");
    struct Case {
        std::vector<std::string> config;
        int sourceType;
        const char* reverseName;  // what the client's address points to, or null
        const char* remote;  // expected "status/reason/notify" of the remote recipient
    } cases[] = {
        {{}, 1, nullptr, "1/0/0"},
        {{"RelayMode=N"}, 1, nullptr, "2/8/1"},
        {{"RelayMode=n"}, 0, nullptr, "1/0/0"},  // generated mail is never denied
        {{"RelayMode=Y"}, 1, nullptr, "1/0/0"},
        {{"RelayMode=h", "RelayAllowHosts=10.0.0.9\x1C" "10.0.0.1"}, 1, nullptr, "1/0/0"},
        {{"RelayMode=H", "RelayAllowHosts=10.0.0.9"}, 1, nullptr, "2/8/1"},
        {{"RelayMode=H"}, 1, nullptr, "2/8/1"},
        {{"RelayMode=H", "RelayAllowHosts=Client.Example.ORG"}, 1, "client.example.org", "1/0/0"},
        // Forward-confirmed without any PTR record as well.
        {{"RelayMode=H", "RelayAllowHosts=Client.Example.ORG"}, 1, nullptr, "1/0/0"},
        {{"RelayMode=H", "RelayAllowHosts=other.example.org"}, 1, "client.example.org", "2/8/1"},
        // A PTR record naming an allowed host is not enough: that name's
        // addresses do not include the client.
        {{"RelayMode=H", "RelayAllowHosts=liar.example.org"}, 1, "liar.example.org", "2/8/1"},
        {{"RelayMode=H", "RelayAllowHosts=unknown.example.org"}, 1, "unknown.example.org",
         "2/8/1"},
        // A relay route for the first hop skips the relay check.
        {{"RelayMode=N", "RelayRouting=example.com -> relay.example.net"}, 1, nullptr, "1/0/0"},
    };
    for (const Case& c : cases) {
        WriteConfig(c.config);
        g_Pointers.clear();
        if (c.reverseName)
            g_Pointers[client] = c.reverseName;
        SetReverseLookup(TestReverse);
        SetHostLookup(TestForward);
        auto message = NewMessage();
        ASSERT_EQ(0, message->SetSourceType(c.sourceType));
        ASSERT_EQ(0, message->AddRecipient("Joe@example.com", 4, 0, 0));
        ASSERT_EQ(0, message->AddRecipient("bob", 4, 0, 0));
        ASSERT_EQ(0, message->ExpandRecipients(nullptr));
        EXPECT_EQ((std::vector<std::string>{"bob:1/0/0", std::string("Joe@example.com:") + c.remote}),
                  Recipients(*message))
            << c.config.size() << " " << (c.config.empty() ? "" : c.config.back()) << " "
            << (c.reverseName ? c.reverseName : "-");
        // Addresses in the list are compared, never looked up as names.
        for (const std::string& asked : g_Asked)
            EXPECT_FALSE(asked.find_first_not_of("0123456789.") == std::string::npos) << asked;
        g_Asked.clear();
        SetReverseLookup(nullptr);
        SetHostLookup(nullptr);
    }
}

TEST_F(QueuedMessageTest, DuplicateRecipientsCollapseIntoTheFirst) {
    auto message = NewMessage();
    // Added in reverse, so the list reads: a, A, <a>, b, bad, a again.
    for (const char* address :
         {"a@x.org", "bad@", "b@x.org", "<a@x.org>", "A@x.org", "a@x.org"})
        ASSERT_EQ(0, message->AddRecipient(address, 4, 0, 0));
    ASSERT_EQ(0, message->ExpandRecipients(nullptr));
    EXPECT_EQ((std::vector<std::string>{"a@x.org:1/0/0", "A@x.org:1/0/0", "b@x.org:1/0/0",
                                        "bad@:4/0/0"}),
              Recipients(*message));
}

// A writer killed at any moment leaves the old or the new envelope, whole.
TEST_F(QueuedMessageTest, KilledWriterLeavesAWholeEnvelope) {
    auto message = NewMessage();
    ASSERT_EQ(0, message->AddRecipient("first@x.org", 1, 0, 0));
    ASSERT_EQ(0, message->WriteEnvelope());
    std::string name = message->GetName();
    message->Unlock();
    message.reset();

    for (int round = 0; round < 8; ++round) {
        int report[2];
        ASSERT_EQ(0, pipe(report));
        pid_t child = testsupport::ForkWithoutThreads();
        ASSERT_GE(child, 0);
        if (child == 0) {
            close(report[0]);
            CQueuedMessage writer;
            if (writer.Open(name.c_str(), m_Spool.c_str()) != 0 || writer.Lock() != 0)
                _exit(1);
            for (int i = 0;; ++i) {
                writer.AddRecipient(("r" + std::to_string(i) + "@x.org").c_str(), 1, 0, 0);
                writer.WriteEnvelope();
                if (i == round * 3)
                    (void)!write(report[1], "w", 1);
            }
        }
        close(report[1]);
        char byte = 0;
        ASSERT_EQ(1, read(report[0], &byte, 1));
        kill(child, SIGKILL);
        int status = 0;
        waitpid(child, &status, 0);
        close(report[0]);

        // The dead writer's lock counts as abandoned; the envelope loads whole.
        CQueuedMessage reader;
        ASSERT_EQ(0, reader.Open(name.c_str(), m_Spool.c_str())) << "round " << round;
        EXPECT_GE(Recipients(reader).size(), static_cast<size_t>(round * 3 + 2));
    }
}

}  // namespace
