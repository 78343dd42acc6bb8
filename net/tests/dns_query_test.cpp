// Outstanding queries: registration under random ids, and delivery of a
// reply only to the query whose id, server and question it matches.
#include "net/dns_query.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "core/tests/support/vorn_helpers.h"

namespace {

uint32_t Quad(const char* text) {
    int address = 0;
    EXPECT_TRUE(ParseDottedQuad(CVornString(text), &address));
    return static_cast<uint32_t>(address);
}

// A reply's answer section: records of the queried name, of another type and
// of the CNAME chain that led to it.
void Answers(CDnsRecordPtrList& list) {
    list.AddTail(new CDnsRecord(CVornString("alias.example"), 60, kDnsTypeCNAME,
                                CVornString("host.example"), false, 0));
    list.AddTail(new CDnsRecord(CVornString("HOST.example"), 60,
                                CVornHostAddressEntry(Quad("192.0.2.1")), true));
    list.AddTail(new CDnsRecord(CVornString("host.example"), 60, kDnsTypeMX,
                                CVornString("mx.example"), true, 5));
    list.AddTail(new CDnsRecord(CVornString("host.example"), 60,
                                CVornHostAddressEntry(Quad("192.0.2.2")), true));
}

size_t Count(CDnsRecordList& list) {
    CVornLockGuard guard(list.m_Lock);
    return static_cast<size_t>(list.m_Count);
}

TEST(DnsPendingQuery, RegistersUnderARandomIdAndCarriesItsMessage) {
    const int before = DnsPendingCount();
    std::vector<std::unique_ptr<CDnsPendingQuery>> queries;
    bool wide = false;
    for (int i = 0; i < 32; ++i) {
        queries.emplace_back(new CDnsPendingQuery(CVornString("A.BB.ccc."), kDnsTypeMX, nullptr));
        wide = wide || queries.back()->m_Id > 0xFF;
    }
    EXPECT_EQ(DnsPendingCount(), before + 32);
    // Ids use all 16 bits (32 draws all below 256 would be a 1 in 2^256 event).
    EXPECT_TRUE(wide);

    CDnsPendingQuery& q = *queries.front();
    EXPECT_STREQ(q.m_Name.CStr(), "A.BB.ccc");
    CVornString expected;
    DnsBuildQuery(q.m_Id, CVornString("a.bb.ccc"), kDnsTypeMX, expected);
    // The name keeps its case on the wire; compare the bytes around it.
    ASSERT_EQ(q.m_Packet.Length(), 26);
    EXPECT_EQ(q.m_Packet.CharAt(0), static_cast<char>(q.m_Id >> 8));
    EXPECT_EQ(q.m_Packet.CharAt(1), static_cast<char>(q.m_Id & 0xFF));
    EXPECT_TRUE(q.m_Packet.Equals(expected, 2));

    queries.clear();
    EXPECT_EQ(DnsPendingCount(), before);
}

TEST(DnsDeliverAnswer, OnlyTheMatchingReplyReachesTheQuery) {
    const uint32_t server = Quad("127.0.0.1");
    struct Case {
        const char* what;
        int idDelta;
        const char* from;
        unsigned short port;
        const char* questionName;
        int questionType;
        bool delivered;
    };
    const Case cases[] = {
        {"matching reply", 0, "127.0.0.1", 5353, "host.EXAMPLE", kDnsTypeA, true},
        {"wrong id", 1, "127.0.0.1", 5353, "host.example", kDnsTypeA, false},
        {"wrong server address", 0, "127.0.0.2", 5353, "host.example", kDnsTypeA, false},
        {"wrong server port", 0, "127.0.0.1", 5354, "host.example", kDnsTypeA, false},
        {"wrong question name", 0, "127.0.0.1", 5353, "other.example", kDnsTypeA, false},
        {"wrong question type", 0, "127.0.0.1", 5353, "host.example", kDnsTypeMX, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        // Runs of dots and a trailing dot do not stop the reply from matching.
        CDnsPendingQuery query(CVornString("Host..Example."), kDnsTypeA, nullptr);
        query.ResetAnswer();
        query.NoteServer(server, 5353);
        CDnsRecordPtrList answers;
        Answers(answers);
        CDnsRecord question(CVornString(c.questionName), 0, c.questionType, false);
        const int id = (query.m_Id + c.idDelta) & 0xFFFF;
        CVornHostAddress sender(Quad(c.from), c.port);

        EXPECT_EQ(DnsDeliverAnswer(id, sender, true, question, answers), c.delivered);
        CDnsRecordList got;
        bool authoritative = false;
        EXPECT_EQ(query.TakeAnswer(got, &authoritative), c.delivered);
        if (c.delivered) {
            // Only the A records of the queried name, in reply order.
            ASSERT_EQ(Count(got), 2u);
            EXPECT_EQ(got.GetAt(0)->m_Address.GetAddress(), Quad("192.0.2.1"));
            EXPECT_EQ(got.GetAt(1)->m_Address.GetAddress(), Quad("192.0.2.2"));
            EXPECT_TRUE(authoritative);
        } else {
            EXPECT_EQ(Count(got), 0u);
        }
    }
}

TEST(DnsDeliverAnswer, AReplyOnAnotherQuerysSocketIsNotDelivered) {
    const uint32_t server = Quad("127.0.0.1");
    CDnsPendingQuery query(CVornString("host.example"), kDnsTypeA, nullptr);
    CDnsPendingQuery other(CVornString("other.example"), kDnsTypeA, nullptr);
    for (CDnsPendingQuery* q : {&query, &other}) {
        q->ResetAnswer();
        q->NoteServer(server, 53);
    }
    CDnsRecordPtrList answers;
    Answers(answers);
    CDnsRecord question(CVornString("host.example"), 0, kDnsTypeA, false);
    CVornHostAddress sender(server, 53);
    EXPECT_FALSE(DnsDeliverAnswer(query.m_Id, sender, false, question, answers, &other));
    CDnsRecordList got;
    EXPECT_FALSE(query.TakeAnswer(got, nullptr));
    EXPECT_TRUE(DnsDeliverAnswer(query.m_Id, sender, false, question, answers, &query));
    EXPECT_TRUE(query.TakeAnswer(got, nullptr));
    EXPECT_EQ(Count(got), 2u);
}

TEST(DnsDeliverAnswer, NoQueryNoDelivery) {
    CVornHostAddress sender(Quad("127.0.0.1"), 53);
    CDnsRecord question(CVornString("gone.example"), 0, kDnsTypeA, false);
    CDnsRecordPtrList answers;
    int id;
    {
        CDnsPendingQuery query(CVornString("gone.example"), kDnsTypeA, nullptr);
        query.NoteServer(Quad("127.0.0.1"), 53);
        id = query.m_Id;
        // A server the query has not been sent to is not believed.
        EXPECT_FALSE(DnsDeliverAnswer(id, CVornHostAddress(Quad("127.0.0.1"), 54), false, question,
                                      answers));
    }
    // The query has ended: its id answers nothing any more.
    EXPECT_FALSE(DnsDeliverAnswer(id, sender, false, question, answers));
    EXPECT_FALSE(DnsDeliverAnswer(-1, sender, false, question, answers));
    EXPECT_FALSE(DnsDeliverAnswer(id + 0x10000, sender, false, question, answers));
}

TEST(DnsDeliverAnswer, WakesTheWaitingThreadAndKeepsTheFirstAnswer) {
    CDnsPendingQuery query(CVornString("alias.example"), kDnsTypeA, nullptr);
    query.ResetAnswer();
    query.NoteServer(Quad("127.0.0.1"), 53);

    std::atomic<int> woken{-1};
    std::thread waiter([&] { woken = static_cast<int>(query.WaitForAnswer(10)); });

    // An answer for the alias that holds only its CNAME chain: delivered, and
    // no record of it is the alias's own A record.
    CDnsRecordPtrList answers;
    Answers(answers);
    CDnsRecord question(CVornString("alias.example"), 0, kDnsTypeA, false);
    CVornHostAddress sender(Quad("127.0.0.1"), 53);
    EXPECT_TRUE(DnsDeliverAnswer(query.m_Id, sender, false, question, answers));
    waiter.join();
    EXPECT_EQ(woken.load(), 0);

    // A second reply (to an earlier send) changes nothing.
    CDnsRecordPtrList more;
    more.AddTail(new CDnsRecord(CVornString("alias.example"), 60, CVornHostAddressEntry(1), true));
    EXPECT_TRUE(DnsDeliverAnswer(query.m_Id, sender, true, question, more));

    CDnsRecordList got;
    bool authoritative = true;
    EXPECT_TRUE(query.TakeAnswer(got, &authoritative));
    EXPECT_EQ(Count(got), 0u);
    EXPECT_FALSE(authoritative);

    // A new run forgets the answer and the servers.
    query.ResetAnswer();
    EXPECT_FALSE(query.TakeAnswer(got, nullptr));
    EXPECT_FALSE(DnsDeliverAnswer(query.m_Id, sender, false, question, answers));
}

TEST(DnsPendingQuery, AFullTableMakesTheNextQueryWait) {
    const int before = DnsPendingCount();
    std::vector<std::unique_ptr<CDnsPendingQuery>> queries;
    while (DnsPendingCount() < kDnsMaxPendingQueries)
        queries.emplace_back(new CDnsPendingQuery(CVornString("full.example"), kDnsTypeA, nullptr));

    std::atomic<bool> registered{false};
    std::thread late([&] {
        CDnsPendingQuery query(CVornString("late.example"), kDnsTypeA, nullptr);
        registered = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // let it reach the wait
    EXPECT_FALSE(registered.load());
    EXPECT_EQ(DnsPendingCount(), kDnsMaxPendingQueries);

    queries.pop_back();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!registered && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(registered.load());
    queries.clear();  // so that the late query gets in even if it was not woken
    late.join();
    EXPECT_EQ(DnsPendingCount(), before);
}

// Ids are drawn from the kernel a block at a time per thread: a forked child
// must not take the ids its parent has drawn and not used yet.
TEST(DnsPendingQuery, AForkedChildDoesNotRepeatItsParentsIds) {
    const auto draw = [] {
        std::vector<unsigned short> ids;
        for (int i = 0; i < 8; ++i) {
            CDnsPendingQuery query(CVornString("fork.example"), kDnsTypeA, nullptr);
            ids.push_back(query.m_Id);
        }
        return ids;
    };
    // The parent's thread now holds a block with ids left in it.
    { CDnsPendingQuery first(CVornString("fork.example"), kDnsTypeA, nullptr); }
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const pid_t pid = testsupport::ForkWithoutThreads();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        close(fds[0]);
        const std::vector<unsigned short> ids = draw();
        const ssize_t n = write(fds[1], ids.data(), ids.size() * sizeof ids[0]);
        _exit(n == static_cast<ssize_t>(ids.size() * sizeof ids[0]) ? 0 : 1);
    }
    close(fds[1]);
    const std::vector<unsigned short> parent = draw();
    std::vector<unsigned short> child(parent.size());
    const ssize_t n = read(fds[0], child.data(), child.size() * sizeof child[0]);
    close(fds[0]);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    ASSERT_EQ(n, static_cast<ssize_t>(child.size() * sizeof child[0]));
    // Eight equal draws of 16 bits by chance: 1 in 2^128.
    EXPECT_NE(parent, child);
}

}  // namespace
