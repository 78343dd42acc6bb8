// The delivery worker's pass and its turns, run on the test's own thread:
// the "slowq" limit, expiry, local, bad and remote recipients, the quota,
// and what happens to a message after its pass (removed, moved to "slowq",
// retried after the interval). A scripted next hop stands in for the relay.
#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "gateway/content_filter.h"
#include "gateway/dictionary_filter.h"
#include "gateway/mail_users.h"
#include "gateway/tests/support/delivery_fixture.h"
#include "net/mail_address.h"

namespace {

using deliverytest::DeliveryTest;
using Step = relaytest::ScriptedNextHop::Step;

const std::string kBody = "Subject: t\r\n\r\nhi\r\n";

// The messages queued on "fastq" other than the original, loaded.
std::vector<std::unique_ptr<CQueuedMessage>> Generated(CMessageQueue& fast,
                                                       const std::string& spool,
                                                       const std::string& original) {
    std::vector<std::unique_ptr<CQueuedMessage>> out;
    for (const QueueEntry& e : fast.Snapshot()) {
        if (e.m_Name == original)
            continue;
        auto m = std::make_unique<CQueuedMessage>();
        EXPECT_EQ(0, m->Open(e.m_Name.c_str(), spool.c_str()));
        out.push_back(std::move(m));
    }
    return out;
}

TEST(DeliveryWorkerLimit, AQuarterOfTheHelpersMayRetryAtOnceButAtLeastTwo) {
    for (int helpers = 1; helpers <= 16; ++helpers) {
        int expected = helpers < 12 ? 2 : helpers < 16 ? 3 : 4;
        EXPECT_EQ(expected, SMTP::SlowQueueLimit(helpers)) << helpers;
    }
}

class DeliveryWorkerTest : public DeliveryTest {
protected:
    // One pass over the spooled message, as a worker runs it.
    int Pass(const std::string& name) {
        auto message = Load(name);
        return m_Server->DeliverLocal(message.get(), *m_Relay);
    }
    int Turn() { return m_Server->deliverNext(*m_Relay); }

    static int References(const char* user) {
        MailUserEntry* entry = nullptr;
        return MailUserRegistry.Get(user, &entry) ? entry->m_References : -1;
    }
};

TEST_F(DeliveryWorkerTest, ExpiryAfterFiveDaysFailsOnlyThePendingRecipients) {
    // address -> "status/reason/text" after the pass, for a message of that age.
    struct Row {
        time_t age;
        bool tried;  // the pending recipient went to the next hop
        std::string pending;
    } rows[] = {
        {432000, true, "4/0/"},
        {432001, false, "4/1/"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.age);
        const int before = m_Hop.Connections();
        std::string name = Spool({{"p@x.org"},
                                  {"d@x.org", kRecipientDone},
                                  {"f@x.org", kRecipientFailed, kReasonNoRoute, "no route"}},
                                 kBody, kMessageReceived, row.age);
        EXPECT_EQ(0, Pass(name));
        EXPECT_EQ(row.tried ? before + 1 : before, m_Hop.Connections());
        auto outcome = Outcome(name);
        EXPECT_EQ(row.pending, outcome["p@x.org"]);
        // Delivered and failed recipients keep their reasons; all are closed.
        EXPECT_EQ("4/0/", outcome["d@x.org"]);
        EXPECT_EQ("4/7/no route", outcome["f@x.org"]);

        // One return to the sender, naming the expired recipient only when
        // it expired.
        auto dsns = Generated(*m_Fast, m_Spool, name);
        ASSERT_EQ(1u, dsns.size());
        EXPECT_EQ(kMessageBounce, dsns[0]->GetKind());
        EXPECT_EQ("s@a.org", dsns[0]->GetRecipients()->m_Address);
        std::string dsn = testsupport::ReadWhole(SpoolPath(std::string(dsns[0]->GetName()) + ".mes"));
        EXPECT_NE(std::string::npos, dsn.find("Final-Recipient: rfc822;f@x.org"));
        EXPECT_EQ(!row.tried, dsn.find("Final-Recipient: rfc822;p@x.org") != std::string::npos);
        for (auto& d : dsns) {
            ASSERT_EQ(0, d->Lock());
            m_Fast->Remove(d.release(), 1);
        }
    }
}

TEST_F(DeliveryWorkerTest, LocalAndBadRecipientsFailAndGoBackRemoteOnesAreRelayed) {
    {
        // One parse settles the domains' load time, so the list set here stays.
        CVornMailAddress settle;
        settle.Set("x");
        CVornLockGuard guard(g_MailDomainLock);
        g_MailLocalDomains.Assign("local.test");
    }
    std::string name = Queue({{"a@"}, {"joe"}, {"ann@local.test"}, {"r@x.org"}});
    EXPECT_EQ(0, Pass(name));
    {
        CVornLockGuard guard(g_MailDomainLock);
        g_MailLocalDomains.Assign("");
    }

    auto outcome = Outcome(name);
    EXPECT_EQ("4/3/", outcome["a@"]);
    EXPECT_EQ("4/2/M451", outcome["joe"]);
    EXPECT_EQ("4/2/M451", outcome["ann@local.test"]);
    EXPECT_EQ("4/0/", outcome["r@x.org"]);

    // Only the remote recipient went to the next hop.
    auto sessions = m_Hop.Sessions();
    ASSERT_EQ(1u, sessions.size());
    std::vector<std::string> rcpts;
    for (const std::string& c : sessions[0].commands)
        if (c.rfind("RCPT", 0) == 0)
            rcpts.push_back(c);
    EXPECT_EQ(std::vector<std::string>{"RCPT To:<r@x.org>"}, rcpts);

    // The three failures went back to the sender in one return.
    auto dsns = Generated(*m_Fast, m_Spool, name);
    ASSERT_EQ(1u, dsns.size());
    EXPECT_STREQ("", dsns[0]->GetSender());
    std::string dsn = testsupport::ReadWhole(SpoolPath(std::string(dsns[0]->GetName()) + ".mes"));
    for (const char* a : {"a@", "joe", "ann@local.test"})
        EXPECT_NE(std::string::npos, dsn.find(std::string("Final-Recipient: rfc822;") + a)) << a;
    EXPECT_EQ(std::string::npos, dsn.find("Final-Recipient: rfc822;r@x.org"));
}

TEST_F(DeliveryWorkerTest, MailQuotaFailsALocalMessageLargerThanTheQuota) {
    struct Row {
        const char* setting;  // "" for none
        size_t size;
        int kind;
        int reason;
    } rows[] = {
        {"MailQuota=1", 1048577, kMessageReceived, kReasonOverQuota},
        {"MailQuota=1", 1048576, kMessageReceived, kReasonNoMailbox},
        {"MailQuota=1", 1048577, kMessageBounce, kReasonNoMailbox},  // generated mail: no quota
        {"MailQuota=0", 1048577, kMessageReceived, kReasonNoMailbox},
        {"MailQuota=-1", 1048577, kMessageReceived, kReasonNoMailbox},
        {"", 1048577, kMessageReceived, kReasonNoMailbox},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.setting) + " " + std::to_string(row.size));
        Configure(*row.setting ? std::vector<std::string>{row.setting} : std::vector<std::string>{});
        std::string name = Spool({{"joe"}}, std::string(row.size, 'x'), row.kind);
        EXPECT_EQ(0, Pass(name));
        EXPECT_EQ(std::to_string(row.reason), Outcome(name)["joe"].substr(2, 1));
        EXPECT_EQ(row.size, static_cast<size_t>(Load(name)->GetBodySize()));
    }
}

TEST_F(DeliveryWorkerTest, ALocalUserWithAMailboxSetGetsTheMailInItsInboxWithinTheQuota) {
    // The running gateway registers no set; here one is, for joe.
    Configure({"ZELORMUser=1", "MailQuota=1"});
    std::filesystem::create_directories(Path("mail/joe"));
    SetMailRoot(Path("mail").c_str());
    auto* entry = new MailUserEntry;
    entry->m_Set = new CMailboxSet("joe", CompareMailboxNames);
    MailUserRegistry.Insert(CVornString("joe"), entry, DeleteObject<MailUserEntry>);

    const std::string body = "Subject: big\r\n\r\n" + std::string(600000, 'x') + "\r\n";
    std::string first = Spool({{"joe"}}, body);
    EXPECT_EQ(0, Pass(first));
    EXPECT_EQ("4/0/", Outcome(first)["joe"]);
    EXPECT_NE(std::string::npos, testsupport::ReadWhole(Path("mail/joe/Inbox")).find(body));
    int messages = 0, unread = 0;
    long bytes = 0;
    EXPECT_EQ(0, GetUserMailTotals("joe", messages, unread, bytes));
    EXPECT_EQ(1, messages);
    EXPECT_EQ(0, References("joe"));

    // What joe stores counts against the quota now.
    std::string second = Spool({{"joe"}}, body);
    EXPECT_EQ(0, Pass(second));
    EXPECT_EQ("4/4/", Outcome(second)["joe"]);
    MailUserRegistry.Clear();
}

// A set that calls a probe before each open, then opens as a set does.
class ProbedMailboxSet : public CMailboxSet {
public:
    ProbedMailboxSet(const char* user, std::function<void()> probe)
        : CMailboxSet(user, CompareMailboxNames), m_Probe(std::move(probe)) {}
    CMailbox* OpenMailbox(const char* mailbox, int filterFlag) override {
        m_Probe();
        return CMailboxSet::OpenMailbox(mailbox, filterFlag);
    }

private:
    std::function<void()> m_Probe;
};

TEST_F(DeliveryWorkerTest, EachStoredLocalCopyIsOnDiskBeforeTheNextLocalDelivery) {
    Configure({"ZELORMUser=1"});
    SetMailRoot(Path("mail").c_str());
    std::string name = Queue({{"joe"}, {"ann"}});
    // What the envelope file says at each open: a crash at the second must
    // not store the first copy again.
    std::vector<std::map<std::string, std::string>> onDisk;
    for (const char* user : {"joe", "ann"}) {
        std::filesystem::create_directories(Path(std::string("mail/") + user));
        auto* entry = new MailUserEntry;
        entry->m_Set = new ProbedMailboxSet(user, [&] { onDisk.push_back(Outcome(name)); });
        MailUserRegistry.Insert(CVornString(user), entry, DeleteObject<MailUserEntry>);
    }

    // A worker's turn, which holds the pass's other envelope writes.
    EXPECT_EQ(SMTP::kTurnFast, Turn());
    MailUserRegistry.Clear();
    ASSERT_EQ(2u, onDisk.size());
    const std::map<std::string, std::string> nothingStored = {{"ann", "1/0/"}, {"joe", "1/0/"}};
    EXPECT_EQ(nothingStored, onDisk[0]);
    std::multiset<std::string> second;
    for (const auto& [address, outcome] : onDisk[1]) second.insert(outcome);
    EXPECT_EQ((std::multiset<std::string>{"1/0/", "3/0/"}), second);
    for (const char* user : {"joe", "ann"})
        EXPECT_NE(std::string::npos,
                  testsupport::ReadWhole(Path(std::string("mail/") + user + "/Inbox")).find("hi"))
            << user;
    EXPECT_FALSE(Spooled(name));
}

TEST_F(DeliveryWorkerTest, OnForbiddenDecidesWhatAFilterRefusalDoesToALocalCopy) {
    struct Row {
        const char* action;
        bool stored;
        bool returned;
    } rows[] = {
        {"S", true, false},   // stored all the same
        {"D", false, false},  // dropped
        {"R", false, true},   // returned to the sender
    };
    std::filesystem::create_directories(Path("mail/joe"));
    SetMailRoot(Path("mail").c_str());
    for (const Row& row : rows) {
        SCOPED_TRACE(row.action);
        Configure({"ZELORMUser=1", "FilterMode=A", "BlockedMIMETypes=text/*",
                   std::string("OnForbidden=") + row.action});
        std::filesystem::remove(Path("mail/joe/Inbox"));
        std::filesystem::remove(Path("mail/joe/Inbox.toc"));
        auto* entry = new MailUserEntry;
        entry->m_Set = new CMailboxSet("joe", CompareMailboxNames);
        MailUserRegistry.Insert(CVornString("joe"), entry, DeleteObject<MailUserEntry>);

        std::string name = Spool({{"joe"}}, "Subject: t\r\n\r\nforbidden\r\n");
        EXPECT_EQ(0, Pass(name));
        EXPECT_EQ("5", Outcome(name)["joe"].substr(2, 1));
        const bool stored =
            std::filesystem::exists(Path("mail/joe/Inbox")) &&
            testsupport::ReadWhole(Path("mail/joe/Inbox")).find("forbidden") != std::string::npos;
        EXPECT_EQ(row.stored, stored);
        auto generated = Generated(*m_Fast, m_Spool, name);
        bool returned = false;
        for (auto& g : generated) {
            returned = returned || g->GetKind() == kMessageBounce;
            ASSERT_EQ(0, g->Lock());
            m_Fast->Remove(g.release(), 1);
        }
        EXPECT_EQ(row.returned, returned);
        MailUserRegistry.Clear();
    }
}

// The refusal of a message made of scoring words becomes the local
// recipient's status text: it must not make the envelope unreadable, which
// would set the message aside with its other recipients.
TEST_F(DeliveryWorkerTest, ADictionaryRefusalOfALongMessageLeavesTheEnvelopeReadable) {
    std::string base = "# 2 1.0\n";
    for (char c : std::string("viagra:N:spam:english:30:0\n")) {
        const auto b = static_cast<unsigned char>(c);
        base += static_cast<char>(((b & 0x0F) << 4) | (b >> 4));
    }
    testsupport::WriteWhole(Path("base.dic"), base);
    CDictionaryFilter dictionary(Path("base.dic").c_str(), Path("local.dic").c_str());
    SetFilterObjects(nullptr, &dictionary);
    struct Unset {
        ~Unset() { SetFilterObjects(nullptr, nullptr); }
    } unset;

    Configure({"ZELORMUser=1", "FilterMode=A", "DictsToUse=spam", "OnForbidden=R"});
    std::filesystem::create_directories(Path("mail/joe"));
    SetMailRoot(Path("mail").c_str());
    auto* entry = new MailUserEntry;
    entry->m_Set = new CMailboxSet("joe", CompareMailboxNames);
    MailUserRegistry.Insert(CVornString("joe"), entry, DeleteObject<MailUserEntry>);
    m_Hop.Reply(Step::kRcpt, "451 later");

    std::string body = "Subject: t\r\n\r\n";
    while (body.size() < 200000) body += "viagra x y\r\n";
    std::string name = Spool({{"joe"}, {"r@x.org"}}, body);
    (void)Pass(name);
    MailUserRegistry.Clear();

    // The envelope still loads: the remote recipient waits for its retry,
    // and the refusal names where its report was cut.
    CQueuedMessage message;
    ASSERT_EQ(CQueuedMessage::kOpened, message.TryOpen(name.c_str(), m_Spool.c_str()));
    std::map<std::string, QueuedRecipient*> recipients;
    for (QueuedRecipient* r = message.GetRecipients(); r; r = r->m_Next)
        recipients[r->m_Address] = r;
    ASSERT_EQ(1u, recipients.count("r@x.org"));
    EXPECT_EQ(kRecipientPending, recipients["r@x.org"]->m_Status);
    ASSERT_EQ(1u, recipients.count("joe"));
    EXPECT_EQ(kReasonPolicy, recipients["joe"]->m_Reason);
    // (The return to the sender took the line breaks out.)
    const std::string& text = recipients["joe"]->m_StatusText;
    EXPECT_TRUE(text.starts_with("M450M818: viagraM818: viagra")) << text.substr(0, 40);
    EXPECT_TRUE(text.ends_with("M818: viagraM818: ..."))
        << text.substr(text.size() - std::min<size_t>(40, text.size()));
    EXPECT_LE(text.size(), static_cast<size_t>(CDictionaryFilter::kMaxReportLength) + 8);
    EXPECT_EQ(0, message.Unlock());
}

TEST_F(DeliveryWorkerTest, NewMailLeftPendingMovesToSlowqAndIsRetriedAfterTheInterval) {
    m_Hop.Reply(Step::kRcpt, "451 later");
    const time_t queued = m_Now;
    std::string name = Queue({{"r@x.org"}});
    EXPECT_EQ(SMTP::kTurnFast, Turn());
    EXPECT_TRUE(Names(*m_Fast).empty());
    auto slow = m_Slow->Snapshot();
    ASSERT_EQ(1u, slow.size());
    EXPECT_EQ(name, slow[0].m_Name);
    EXPECT_EQ(queued, slow[0].m_Queued);
    EXPECT_EQ(queued, slow[0].m_LastAttempt);
    EXPECT_TRUE(Spooled(name));
    EXPECT_EQ('1', Outcome(name)["r@x.org"][0]);
    // The attempt is on disk although the pass held its writes.
    EXPECT_EQ(queued, Load(name)->GetRecipients()->m_LastAttempt);

    // Not handed out again within 900 s.
    SetClock(queued + 900);
    EXPECT_EQ(SMTP::kTurnIdle, Turn());
    EXPECT_EQ(1, m_Hop.Connections());

    // A retry that fails again keeps it, with the time of that attempt.
    SetClock(queued + 901);
    EXPECT_EQ(SMTP::kTurnSlow, Turn());
    EXPECT_EQ(2, m_Hop.Connections());
    slow = m_Slow->Snapshot();
    ASSERT_EQ(1u, slow.size());
    EXPECT_EQ(queued + 901, slow[0].m_LastAttempt);
    EXPECT_EQ(0, m_Server->GetRetriesInProgress());

    m_Hop.Reply(Step::kRcpt, "250 ok");
    SetClock(queued + 1802);
    EXPECT_EQ(SMTP::kTurnSlow, Turn());
    EXPECT_EQ(3, m_Hop.Connections());
    EXPECT_FALSE(Spooled(name));
    EXPECT_TRUE(Names(*m_Slow).empty());
    EXPECT_EQ(0, m_Server->GetRetriesInProgress());
    EXPECT_EQ(SMTP::kTurnIdle, Turn());
}

TEST_F(DeliveryWorkerTest, NoMoreThanTheLimitOfWorkersRetryAtOnce) {
    // Three retries are due; the next hop never greets, so a worker that took
    // one stays in its pass until it is interrupted.
    m_Hop.Reply(Step::kGreeting, relaytest::ScriptedNextHop::kStall);
    std::vector<std::string> names;
    for (int i = 0; i < 3; ++i) {
        names.push_back(Spool({{"r@x.org"}}, kBody));
        ASSERT_EQ(0, m_Slow->Add(names.back().c_str(), m_Now - 1000, 0));
    }
    ASSERT_EQ(2, SMTP::SlowQueueLimit(m_Server->GetHelperThreadCount()));
    std::unique_ptr<CRelayDelivery> relays[2] = {m_Server->NewRelay(), m_Server->NewRelay()};
    int turns[2] = {-1, -1};
    std::vector<std::thread> workers;
    for (int i = 0; i < 2; ++i)
        workers.emplace_back([&, i] { turns[i] = m_Server->deliverNext(*relays[i]); });
    ASSERT_TRUE(Eventually([this] { return m_Hop.Connections() == 2; }));
    EXPECT_EQ(2, m_Server->GetRetriesInProgress());

    // A third worker finds nothing it may take.
    EXPECT_EQ(SMTP::kTurnIdle, Turn());
    EXPECT_EQ(2, m_Hop.Connections());

    for (auto& relay : relays) relay->Interrupt();
    for (auto& worker : workers) worker.join();
    EXPECT_EQ(SMTP::kTurnSlow, turns[0]);
    EXPECT_EQ(SMTP::kTurnSlow, turns[1]);
    EXPECT_EQ(0, m_Server->GetRetriesInProgress());
    EXPECT_EQ(3u, Names(*m_Slow).size());
}

TEST_F(DeliveryWorkerTest, ExpiredMessagesLeaveTheSpool) {
    struct Row {
        const char* what;
        int kind;
        bool bodyGone;
        size_t returns;
    } rows[] = {
        {"received mail whose original cannot be read", kMessageReceived, true, 1},
        {"a return, which is never returned", kMessageBounce, false, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        std::string name = Spool({{"r@x.org"}}, kBody, row.kind, 432001);
        ASSERT_EQ(0, m_Fast->Add(name.c_str(), m_Now, 0));
        if (row.bodyGone)
            std::filesystem::remove(SpoolPath(name + ".mes"));
        EXPECT_EQ(SMTP::kTurnFast, Turn());
        EXPECT_FALSE(Spooled(name));
        EXPECT_TRUE(Names(*m_Slow).empty());
        auto returns = Generated(*m_Fast, m_Spool, name);
        EXPECT_EQ(row.returns, returns.size());
        for (auto& d : returns) {
            EXPECT_EQ(kMessageBounce, d->GetKind());
            ASSERT_EQ(0, d->Lock());
            m_Fast->Remove(d.release(), 1);
        }
    }
    EXPECT_EQ(0, m_Hop.Connections());
}

}  // namespace
