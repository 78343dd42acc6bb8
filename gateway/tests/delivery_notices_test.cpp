// The notice step: which settled recipients cause notices to which
// addresses, what a notice holds (parsed back with Python's email package),
// the records written, recipients closed and the envelope rewritten, and a
// failure that leaves the original for the next pass.
#include "gateway/delivery_notices.h"

#include <gtest/gtest.h>
#include <stdio.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "config/activity_log.h"
#include "config/config_store.h"
#include "core/vorn_date.h"
#include "gateway/auto_lock.h"
#include "gateway/pipeline_records.h"
#include "gateway/queued_message.h"
#include "gateway/spool_queue.h"
#include "gateway/tests/support/activity_lines.h"
#include "gateway/tests/support/spool_fixture.h"

namespace {

typedef CVornConfigStore Store;

constexpr const char* kGateway = "Velmar_RazoVidez_Dozoruve@gw.example.org";
constexpr const char* kOriginalBody =
    "Subject: hello\r\nFrom: alice@example.org\r\n\r\nfirst line\r\n\r\nlast line\r\n";

// One recipient of the original, in list order.
struct Rcpt {
    const char* address;
    int status;
    int reason = 0;
    int notify = 0;
    const char* statusText = "";
};

// A notice as the spool holds it and as Python's email package reads it.
struct Notice {
    std::string name;
    int kind = 0;
    std::string sender;
    std::vector<std::pair<std::string, int>> recipients;  // address, status
    std::string raw;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
};

class DeliveryNoticesTest : public spooltest::SpoolTest {
protected:
    void SetUp() override {
        SpoolTest::SetUp();
        m_LogFile = gatewaytest::StartActivityDay(m_Dir, &m_Now);
        m_Cleanup = std::make_unique<CAutoLockCleanup>();
        m_FastQueue = std::make_unique<CMessageQueue>("fastq", m_Spool.c_str());
        m_Notices = std::make_unique<CDeliveryNotices>(m_Records, *m_FastQueue, m_Spool.c_str(),
                                                       kGateway, [this] { ++m_Wakes; });
    }

    void TearDown() override {
        m_Original.reset();
        m_Notices.reset();
        m_FastQueue.reset();
        m_Cleanup.reset();
        SpoolTest::TearDown();
    }

    // Writes shared-config (the system object's attributes, then the
    // other object lines) and loads it.
    void Configure(const std::string& system, const std::vector<std::string>& lines = {}) {
        std::string text = "# 2 0\r\nDS," + system + "\r\n";
        for (const std::string& line : lines) text += line + "\r\n";
        spooltest::WriteWhole(Path("shared-config"), text);
        ASSERT_EQ(0, Store::Load(1));
    }

    // The original message, locked as a delivery worker holds it.
    CQueuedMessage* Original(const std::vector<Rcpt>& recipients, const char* sender = "alice",
                             int kind = kMessageReceived) {
        m_Original = std::make_unique<CQueuedMessage>();
        CQueuedMessage* m = m_Original.get();
        EXPECT_EQ(0, m->Open(nullptr, m_Spool.c_str()));
        EXPECT_EQ(0, m->Lock());
        EXPECT_EQ(0, m->SetSender(sender));
        EXPECT_EQ(0, m->SetSourceText("10.0.0.7"));
        EXPECT_EQ(0, m->SetSourceType(kSourceSmtp));
        m->SetKind(kind);
        m->SetComplete(1);
        // Records go to the head of the list: add them from the last.
        for (auto r = recipients.rbegin(); r != recipients.rend(); ++r)
            EXPECT_EQ(0, m->addRecipientNode(r->address, "", r->statusText, r->reason, r->status, 1,
                                             m_Now, r->notify));
        spooltest::WriteWhole(SpoolPath(std::string(m->GetName()) + ".mes"), kOriginalBody);
        m->RefreshBodySize();
        EXPECT_EQ(0, m->WriteEnvelope());
        return m;
    }

    // The statuses of the original's recipients as its envelope holds them.
    std::vector<int> StoredStatuses() {
        CQueuedMessage stored;
        EXPECT_EQ(0, stored.Open(m_Original->GetName(), m_Spool.c_str()));
        std::vector<int> out;
        for (QueuedRecipient* r = stored.GetRecipients(); r; r = r->m_Next)
            out.insert(out.begin(), r->m_Status);  // a load reverses the order
        return out;
    }

    // The notices queued on "fastq" since the last call, in queue order.
    std::vector<Notice> Notices() {
        std::vector<Notice> out;
        std::string index = spooltest::LiveIndex(SpoolPath("fastq"));
        size_t start = 0;
        int line = 0;
        while (start < index.size()) {
            size_t end = index.find("\r\n", start);
            std::string text = index.substr(start, end - start);
            start = end + 2;
            if (line++ < m_NoticesSeen)
                continue;
            Notice n;
            n.name = text.substr(text.rfind(' ') + 1);
            CQueuedMessage message;
            EXPECT_EQ(0, message.Open(n.name.c_str(), m_Spool.c_str()));
            n.kind = message.GetKind();
            n.sender = message.GetSender() ? message.GetSender() : "<none>";
            for (QueuedRecipient* r = message.GetRecipients(); r; r = r->m_Next)
                n.recipients.emplace_back(r->m_Address, r->m_Status);
            n.raw = spooltest::ReadWhole(SpoolPath(n.name + ".mes"));
            ParseWithPython(SpoolPath(n.name + ".mes"), n);
            out.push_back(n);
        }
        m_NoticesSeen = line;
        return out;
    }

    // Header fields one a line ("name TAB value"), an empty line, then the
    // payload, as Python's email package reads the file.
    static void ParseWithPython(const std::string& path, Notice& n) {
        std::string command =
            "/usr/bin/python3 -c 'import email, sys\n"
            "m = email.message_from_binary_file(open(sys.argv[1], \"rb\"))\n"
            "out = \"\".join(k + \"\\t\" + v + \"\\n\" for k, v in m.items())\n"
            "sys.stdout.write(out + \"\\n\" + m.get_payload())' " +
            path;
        FILE* pipe = popen(command.c_str(), "r");
        ASSERT_NE(nullptr, pipe);
        std::string output;
        char buffer[4096];
        size_t got = 0;
        while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, got);
        ASSERT_EQ(0, pclose(pipe));
        size_t split = output.find("\n\n");
        ASSERT_NE(std::string::npos, split);
        size_t start = 0;
        while (start < split) {
            size_t end = output.find('\n', start);
            std::string line = output.substr(start, end - start);
            size_t tab = line.find('\t');
            n.headers.emplace_back(line.substr(0, tab), line.substr(tab + 1));
            start = end + 1;
        }
        // Python hands the payload out with its line ends made LF: the
        // bytes are checked on the file itself.
        size_t end = n.raw.find("\r\n\r\n");
        ASSERT_NE(std::string::npos, end);
        n.body = n.raw.substr(end + 4);
        std::string lf = n.body;
        for (size_t at; (at = lf.find("\r\n")) != std::string::npos;) lf.erase(at, 1);
        EXPECT_EQ(lf, output.substr(split + 2));
    }

    // The header fields the notice step wrote: the stored message adds a
    // Date and a Message-Id of its own after them.
    static std::vector<std::pair<std::string, std::string>> Written(
        std::vector<std::pair<std::string, std::string>> headers) {
        EXPECT_GE(headers.size(), 2u);
        if (headers.size() >= 2) {
            EXPECT_EQ("Date", headers[headers.size() - 2].first);
            EXPECT_EQ("Message-Id", headers.back().first);
            headers.resize(headers.size() - 2);
        }
        return headers;
    }

    static std::vector<std::string> To(const std::vector<Notice>& notices) {
        std::vector<std::string> out;
        for (const Notice& n : notices) out.push_back(n.recipients.at(0).first);
        return out;
    }

    std::vector<gatewaytest::ActivityFields> Records() {
        return gatewaytest::ReadActivityRecords(m_LogFile, &m_Read);
    }

    std::string OriginalName() const { return m_Original->GetName(); }

    CPipelineRecords m_Records;
    std::unique_ptr<CAutoLockCleanup> m_Cleanup;
    std::unique_ptr<CMessageQueue> m_FastQueue;
    std::unique_ptr<CDeliveryNotices> m_Notices;
    std::unique_ptr<CQueuedMessage> m_Original;
    int m_Wakes = 0;
    int m_NoticesSeen = 0;
    std::string m_LogFile;
    size_t m_Read = 0;
};

TEST_F(DeliveryNoticesTest, SystemNotifyTwoSendsANoticePerDeliveredRecipient) {
    Configure("Notify=2,NotifyAddr=postmaster@example.org");
    CQueuedMessage* m = Original({{"bob@remote.example.org", kRecipientDone},
                                  {"carol@remote.example.org", kRecipientPending},
                                  {"dan@remote.example.org", kRecipientDone},
                                  {"erin@remote.example.org", kRecipientClosed}});
    // The pending one stays and is counted; the closed one is not.
    EXPECT_EQ(1, m_Notices->SendNotices(m));
    EXPECT_EQ(
        (std::vector<int>{kRecipientClosed, kRecipientPending, kRecipientClosed, kRecipientClosed}),
        StoredStatuses());
    EXPECT_EQ(1, m->NoticesSent());

    std::vector<Notice> notices = Notices();
    ASSERT_EQ(2u, notices.size());
    EXPECT_EQ(2, m_Wakes);
    for (const Notice& n : notices) {
        EXPECT_EQ(kMessageNotice, n.kind);
        EXPECT_EQ("", n.sender);
        EXPECT_EQ((std::vector<std::pair<std::string, int>>{
                      {"postmaster@example.org", kRecipientPending}}),
                  n.recipients);
        EXPECT_EQ((std::vector<std::pair<std::string, std::string>>{
                      {"From", kGateway}, {"To", "postmaster@example.org"}, {"Subject", "M396"}}),
                  Written(n.headers));
        // Every line ends in CR LF.
        for (size_t i = 0; i < n.raw.size(); ++i) {
            if (n.raw[i] == '\n') {
                EXPECT_TRUE(i > 0 && n.raw[i - 1] == '\r') << "bare LF at " << i;
            }
            if (n.raw[i] == '\r') {
                EXPECT_TRUE(i + 1 < n.raw.size() && n.raw[i + 1] == '\n') << "bare CR at " << i;
            }
        }
    }
    EXPECT_EQ(std::string("+++ M398 +++\r\n\r\n\r\nM403\r\n\r\n--- M404 ---\r\n") + kOriginalBody,
              notices[0].body);

    // A record of each queued notice, naming the original.
    int queued = 0;
    for (auto& r : Records()) {
        if (r[2] == "5") {
            ++queued;
            EXPECT_EQ("M393", r[100]);
            EXPECT_EQ("M405: " + OriginalName(), r[101]);
            EXPECT_EQ("postmaster@example.org", r[21]);
            EXPECT_EQ("M396", r[22]);
        }
    }
    EXPECT_EQ(2, queued);
}

TEST_F(DeliveryNoticesTest, NotifyOneNoticesOnlyPolicyRefusals) {
    Configure("Notify=1,NotifyAddr=postmaster@example.org");
    CQueuedMessage* m =
        Original({{"bob@remote.example.org", kRecipientDone},
                  {"carol@remote.example.org", kRecipientDone, kReasonNoMailbox, 1, "550 no"},
                  {"dan", kRecipientDone, kReasonPolicy, 1, "550  refused   by rule"}});
    EXPECT_EQ(0, m_Notices->SendNotices(m));
    std::vector<Notice> notices = Notices();
    ASSERT_EQ(1u, notices.size());
    // The status text's double blanks become line breaks.
    EXPECT_EQ(std::string("+++ M398 +++\r\n\r\nM399:\r\n550\r\nrefused\r\n by rule\r\n"
                          "\r\nM400 M401: dan\r\n\r\n--- M404 ---\r\n") +
                  kOriginalBody,
              notices[0].body);

    // Records: returned (7) for both notify-1 recipients, the policy
    // refusal (18) for dan.
    std::vector<std::string> events;
    for (auto& r : Records()) {
        if (r[2] == "7" || r[2] == "18")
            events.push_back(r[2] + ":" + r[21] + ":" + r[100]);
    }
    EXPECT_EQ((std::vector<std::string>{"7:carol@remote.example.org:M385", "7:dan:M391",
                                        "18::550  refused   by rule"}),
              events);
}

TEST_F(DeliveryNoticesTest, EachLevelIsReadFromItsOwnObject) {
    // alice (sender) is in group Staff, bob (recipient) in group Team, the
    // client 10.0.0.7 in group Hosts.
    struct Case {
        const char* what;
        std::string system;
        std::vector<std::string> objects;
        std::vector<std::string> expected;
    } cases[] = {
        {"client", "", {"DC10.0.0.7,Notify=2,NotifyAddr=client@x.org"}, {"client@x.org"}},
        {"client group",
         "",
         {"DGHosts,Notify=2,NotifyAddr=hosts@x.org", "DC10.0.0.7,Cast=Hosts"},
         {"hosts@x.org"}},
        {"sender", "", {"DUalice,Notify=2,NotifyAddr=alice-admin@x.org"}, {"alice-admin@x.org"}},
        {"sender group",
         "",
         {"DGStaff,Notify=2,NotifyAddr=staff@x.org", "DUalice,Cast=Staff"},
         {"staff@x.org"}},
        {"recipient", "", {"DUbob,Notify=2,NotifyAddr=bob-admin@x.org"}, {"bob-admin@x.org"}},
        {"recipient group",
         "",
         {"DGTeam,Notify=2,NotifyAddr=team@x.org", "DUbob,Cast=Team"},
         {"team@x.org"}},
        {"system", "Notify=2,NotifyAddr=sys@x.org", {}, {"sys@x.org"}},
        {"all levels in order",
         "Notify=3,NotifyAddr=sys@x.org",
         {"DC10.0.0.7,Notify=2,NotifyAddr=client@x.org", "DUalice,Notify=2,NotifyAddr=a@x.org",
          "DUbob,Notify=2,NotifyAddr=b@x.org"},
         {"client@x.org", "a@x.org", "b@x.org", "sys@x.org"}},
        {"notify 0 or no address",
         "Notify=0,NotifyAddr=sys@x.org",
         {"DUbob,Notify=2", "DUalice,NotifyAddr=a@x.org"},
         {}},
        {"the same address twice, letter case aside",
         "Notify=2,NotifyAddr=Admin@X.org",
         {"DUbob,Notify=2,NotifyAddr=admin@x.org"},
         {"admin@x.org"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Configure(c.system, c.objects);
        CQueuedMessage* m = Original({{"bob", kRecipientDone}});
        EXPECT_EQ(0, m_Notices->SendNotices(m));
        EXPECT_EQ(c.expected, To(Notices()));
    }
}

TEST_F(DeliveryNoticesTest, RemoteSenderAndRecipientHaveNoUserLevels) {
    // Objects named like the users exist, but remote addresses are no users.
    Configure("", {"DUbob,Notify=2,NotifyAddr=b@x.org", "DUalice,Notify=2,NotifyAddr=a@x.org"});
    CQueuedMessage* m =
        Original({{"bob@remote.example.org", kRecipientDone}}, "alice@remote.example.org");
    EXPECT_EQ(0, m_Notices->SendNotices(m));
    EXPECT_TRUE(Notices().empty());
}

TEST_F(DeliveryNoticesTest, TheSenderSideHearsOfTheFirstSettledRecipientOnly) {
    Configure("Notify=2,NotifyAddr=sys@x.org", {"DC10.0.0.7,Notify=2,NotifyAddr=client@x.org"});
    CQueuedMessage* m = Original({{"bob@remote.example.org", kRecipientDone},
                                  {"carol@remote.example.org", kRecipientDone},
                                  {"dan@remote.example.org", kRecipientPending}});
    EXPECT_EQ(1, m_Notices->SendNotices(m));
    EXPECT_EQ((std::vector<std::string>{"client@x.org", "sys@x.org", "sys@x.org"}), To(Notices()));

    // A later pass of the message, read again from the spool: the pending
    // recipient is now delivered; only the system hears of it, while a
    // policy refusal still reaches the client's address.
    std::string name = OriginalName();
    m_Original = std::make_unique<CQueuedMessage>();
    ASSERT_EQ(0, m_Original->Open(name.c_str(), m_Spool.c_str()));
    EXPECT_EQ(1, m_Original->NoticesSent());
    for (QueuedRecipient* r = m_Original->GetRecipients(); r; r = r->m_Next) {
        if (r->m_Status == kRecipientPending)
            r->m_Status = kRecipientDone;
    }
    ASSERT_EQ(0, m_Original->addRecipientNode("erin@remote.example.org", "", "", kReasonPolicy,
                                              kRecipientDone, 1, m_Now, 1));
    EXPECT_EQ(0, m_Notices->SendNotices(m_Original.get()));
    std::vector<std::string> to = To(Notices());
    std::sort(to.begin(), to.end());
    EXPECT_EQ((std::vector<std::string>{"client@x.org", "sys@x.org", "sys@x.org"}), to);
}

TEST_F(DeliveryNoticesTest, GeneratedMailGetsNoNoticesButIsSettled) {
    Configure("Notify=2,NotifyAddr=sys@x.org");
    for (int kind : {kMessageBounce, kMessageNotice, kMessageFilterNotice}) {
        SCOPED_TRACE(kind);
        CQueuedMessage* m =
            Original({{"bob@remote.example.org", kRecipientDone, kReasonNoRoute, 1, ""},
                      {"carol@remote.example.org", kRecipientFailed}},
                     "", kind);
        EXPECT_EQ(1, m_Notices->SendNotices(m));
        EXPECT_TRUE(Notices().empty());
        EXPECT_EQ((std::vector<int>{kRecipientClosed, kRecipientFailed}), StoredStatuses());
        bool returned = false;
        for (auto& r : Records()) returned = returned || (r[2] == "7" && r[100] == "M389");
        EXPECT_TRUE(returned);
    }
    EXPECT_EQ(0, m_Wakes);
}

TEST_F(DeliveryNoticesTest, DiscardedRecipientGetsAFilterNoticeWithItsOrigin) {
    Configure("Notify=2,NotifyAddr=sys@x.org", {"DUalice,AutoLock=1,AutoLockX=1,AutoLockY=10"});
    CQueuedMessage* m =
        Original({{"bob", kRecipientDone, kReasonPolicy, 2, "Discarded by rule 4"}});
    EXPECT_EQ(0, m_Notices->SendNotices(m));
    std::vector<Notice> notices = Notices();
    ASSERT_EQ(1u, notices.size());
    EXPECT_EQ(kMessageFilterNotice, notices[0].kind);
    EXPECT_EQ((std::vector<std::pair<std::string, std::string>>{{"From", kGateway},
                                                                {"To", "sys@x.org"},
                                                                {"Subject", "M397"},
                                                                {"X-OldSMTP-ID", OriginalName()},
                                                                {"X-Notify-From", "alice"},
                                                                {"X-Notify-To", "bob"}}),
              Written(notices[0].headers));
    EXPECT_EQ(std::string("+++ M398 +++\r\n\r\nM399:\r\nDiscarded by rule 4\r\n\r\nM402: bob\r\n"
                          "\r\n--- M404 ---\r\n") +
                  kOriginalBody,
              notices[0].body);
    // A policy refusal sets no notices-sent flag, records event 8 and 18,
    // and reaches the sender auto-lock (which locks alice at once here).
    EXPECT_EQ(0, m->NoticesSent());
    std::vector<std::string> events;
    for (auto& r : Records()) events.push_back(r[1] + "/" + r[2]);
    EXPECT_NE(std::find(events.begin(), events.end(), "1/8"), events.end());
    EXPECT_NE(std::find(events.begin(), events.end(), "1/18"), events.end());
    EXPECT_NE(std::find(events.begin(), events.end(), "3/26"), events.end());
}

TEST_F(DeliveryNoticesTest, TextsFromOutsideCannotBreakTheNoticeHeader) {
    // A configured address holding a line break (the store keeps it
    // escaped) becomes one header line, and the notice's recipient is the
    // same text.
    Configure("Notify=2,NotifyAddr=sys@x.org\\x0D\\x0ABcc: evil@x.org");
    CQueuedMessage* m = Original({{"bob", kRecipientDone, kReasonPolicy, 2, ""}});
    // A status text changed in place may hold bare line ends: in the body
    // they become blanks, so every body line still ends in CR LF.
    m->GetRecipients()->m_StatusText = "x\rX-Evil: 1\ny";
    EXPECT_EQ(0, m_Notices->SendNotices(m));
    std::vector<Notice> notices = Notices();
    ASSERT_EQ(1u, notices.size());
    for (const auto& h : notices[0].headers) {
        EXPECT_NE("Bcc", h.first);
        EXPECT_NE("X-Evil", h.first);
    }
    EXPECT_EQ(std::string::npos, notices[0].recipients.at(0).first.find_first_of("\r\n"));
    EXPECT_NE(std::string::npos, notices[0].body.find("M399:\r\nx X-Evil: 1 y\r\n"))
        << notices[0].body;
}

TEST_F(DeliveryNoticesTest, AFailedNoticeLeavesTheOriginalForTheNextPass) {
    Configure("Notify=2,NotifyAddr=sys@x.org");
    struct Case {
        const char* what;
        std::string spool;
        const char* gateway;
    } cases[] = {
        {"no spool directory", m_Spool + "/missing", kGateway},
        {"gateway address does not parse", m_Spool, "a@"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        CDeliveryNotices notices(m_Records, *m_FastQueue, c.spool.c_str(), c.gateway, nullptr);
        CQueuedMessage* m = Original({{"bob@remote.example.org", kRecipientDone},
                                      {"carol@remote.example.org", kRecipientDone}});
        EXPECT_EQ(1, notices.SendNotices(m));
        EXPECT_EQ((std::vector<int>{kRecipientDone, kRecipientDone}), StoredStatuses());
        EXPECT_TRUE(Notices().empty());
        bool error = false;
        for (auto& r : Records())
            error = error || (r[2] == "19" && r[100] == "M376" && r[101] == "M393");
        EXPECT_TRUE(error);
    }
    // Only the originals are left in the spool: no half-made notice.
    int envelopes = 0;
    for (const auto& entry : std::filesystem::directory_iterator(m_Spool))
        envelopes += entry.path().extension() == ".env" ? 1 : 0;
    EXPECT_EQ(2, envelopes);
}

// A crash after a notice's envelope was written but before its queue line
// leaves a complete message, which the start-up recovery queues again.
TEST_F(DeliveryNoticesTest, ANoticeLostFromItsQueueIsRecoveredAtStartup) {
    Configure("Notify=2,NotifyAddr=sys@x.org");
    EXPECT_EQ(0, m_Notices->SendNotices(Original({{"bob", kRecipientDone}})));
    std::vector<Notice> notices = Notices();
    ASSERT_EQ(1u, notices.size());
    m_Original.reset();
    m_FastQueue.reset();
    spooltest::WriteWhole(SpoolPath("fastq"), "");

    CMessageQueue fast("fastq", m_Spool.c_str());
    CMessageQueue slow("slowq", m_Spool.c_str());
    // The original (complete, in no queue) and the notice are queued again.
    EXPECT_EQ(2, RecoverSpool(m_Spool.c_str(), fast, slow, 600));
    EXPECT_TRUE(slow.Holds(notices[0].name.c_str()));
}

TEST_F(DeliveryNoticesTest, AMessageWithoutRecipientsGivesZero) {
    Configure("Notify=2,NotifyAddr=sys@x.org");
    EXPECT_EQ(0, m_Notices->SendNotices(nullptr));
    EXPECT_EQ(0, m_Notices->SendNotices(Original({})));
    EXPECT_TRUE(Notices().empty());
}

}  // namespace
