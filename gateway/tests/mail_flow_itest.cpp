// The mail flow end to end: the running gateway (`zelorm -debug`) takes mail
// from Python's smtplib and swaks and relays it to real next hops on
// loopback: Postfix's smtp-sink by relay route, by smart host and by the
// domain's mail exchangers (dnsmasq serving a test zone), and a scripted
// next hop for refusals and temporary failures. What arrives is the message
// as sent with only the gateway's Received line added; a temporary failure
// waits in "slowq" and is retried once its interval has passed; mail still
// waiting after five days is returned; each permanent refusal comes back in
// a delivery-status notification (parsed with Python's email package); the
// configured notices are sent, and refusals that are not policy refusals
// never lock a sender.
//
// The program's clock is set by the test (ZELORM_TEST_TIME): a later time
// is a restart with a later time, the spool carried over.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "core/tests/support/files.h"
#include "gateway/tests/support/gateway_instance.h"
#include "gateway/tests/support/mail_peers.h"
#include "gateway/tests/support/queue_index.h"
#include "gateway/tests/support/scripted_next_hop.h"

namespace {

namespace fs = std::filesystem;
using gwtest::DnsZone;
using gwtest::GatewayInstance;
using gwtest::RunningGateway;
using gwtest::SendMail;
using gwtest::SinkMessage;
using gwtest::SmtpSink;
using gwtest::WithLfLineEnds;
using relaytest::ScriptedNextHop;
using testsupport::ReadWhole;
using testsupport::WriteWhole;

// A complete header (the stored body adds none of its own), a line that
// starts with a dot, an empty line, a long line, and a last line.
std::string Message(const std::string& subject) {
    return "Date: Tue, 02 Jan 2024 09:00:00 +0000\r\n"
           "Message-Id: <" +
           subject +
           "@client.test>\r\n"
           "From: joe@origin.test\r\n"
           "To: ann@dest.test\r\n"
           "Subject: " +
           subject +
           "\r\n"
           "\r\n"
           "first line\r\n"
           ".a line that began with a dot\r\n"
           "..two dots\r\n"
           "\r\n" +
           std::string(5000, 'L') + "\r\n" + "last line\r\n";
}

// The text after the first header field (the gateway's Received line and
// its continuation lines); eol is the line end of the text.
std::string AfterFirstField(const std::string& text, const std::string& eol) {
    size_t at = 0;
    do {
        size_t end = text.find(eol, at);
        if (end == std::string::npos)
            return "";
        at = end + eol.size();
    } while (at < text.size() && (text[at] == ' ' || text[at] == '\t'));
    return text.substr(at);
}

// Data as a client sends it, without its end mark: leading dots doubled.
std::string DotStuffed(const std::string& message) {
    std::string out;
    size_t at = 0;
    while (at < message.size()) {
        size_t end = message.find("\r\n", at);
        end = end == std::string::npos ? message.size() : end + 2;
        if (message[at] == '.')
            out += '.';
        out.append(message, at, end - at);
        at = end;
    }
    return out;
}

// Equal texts, or where they part (a whole message would drown the report).
testing::AssertionResult SameText(const std::string& expected, const std::string& actual) {
    if (expected == actual)
        return testing::AssertionSuccess();
    size_t at = 0;
    while (at < expected.size() && at < actual.size() && expected[at] == actual[at]) ++at;
    auto around = [at](const std::string& text) {
        size_t from = at < 40 ? 0 : at - 40;
        return testing::PrintToString(text.substr(from, 80));
    };
    return testing::AssertionFailure() << "texts part at byte " << at << " (lengths "
                                       << expected.size() << " and " << actual.size()
                                       << "): expected " << around(expected) << ", got "
                                       << around(actual);
}

bool Contains(const std::vector<std::string>& lines, const std::string& wanted) {
    return std::find(lines.begin(), lines.end(), wanted) != lines.end();
}

// The sessions of a scripted hop that sent a message.
int Deliveries(ScriptedNextHop& hop) {
    int n = 0;
    for (const auto& session : hop.Sessions()) n += !session.data.empty();
    return n;
}

// The data of the last session that sent a message.
std::string LastData(ScriptedNextHop& hop) {
    std::string data;
    for (const auto& session : hop.Sessions())
        if (!session.data.empty())
            data = session.data;
    return data;
}

class MailFlowTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (access(gwtest::kSmtpSinkPath, X_OK) != 0 || access(gwtest::kDnsmasqPath, X_OK) != 0)
            GTEST_SKIP() << "smtp-sink (postfix) or dnsmasq (dnsmasq-base) is not installed";
        m_Port = gwtest::FreePort();
        m_Instance.InstallCatalogs();
        m_Sink = std::make_unique<SmtpSink>();
        ASSERT_TRUE(m_Sink->Started());
        // A domain's own exchanger is reached on port 25: its address is a
        // loopback address of this test's own (random, so that tests side by
        // side do not meet).
        std::mt19937 random(static_cast<unsigned>(getpid()) ^ static_cast<unsigned>(time(nullptr)));
        m_ExchangerAddress = "127.0." + std::to_string(10 + random() % 240) + "." +
                             std::to_string(2 + random() % 250);
        // The zone: the client's allowed name (relaying is allowed by name,
        // confirmed by the name's address), "flow.test" with its exchanger,
        // and a host name whose exchanger is the sink.
        m_Zone = std::make_unique<DnsZone>(
            m_Instance.Dir(), "flow.test",
            std::vector<std::string>{"--host-record=client.flow.test,127.0.0.1",
                                     "--mx-host=flow.test,in.flow.test,10",
                                     "--host-record=in.flow.test," + m_ExchangerAddress,
                                     "--mx-host=mx.flow.test,sink.flow.test,10",
                                     "--host-record=sink.flow.test," + m_Sink->Address()});
        ASSERT_TRUE(m_Zone->Started()) << ReadWhole(m_Instance.Path("dnsmasq.log"));
        m_Time = time(nullptr);
    }

    void TearDown() override {
        if (m_Gateway)
            m_Gateway->Stop();
    }

    // The system object's settings: SMTP on the test's port, relaying for
    // the local host, the routes given, then the extra settings.
    void Configure(const std::vector<std::string>& routes, const std::string& extra) {
        std::string routing;
        for (const std::string& r : routes) routing += (routing.empty() ? "" : "\x1C") + r;
        std::string system = "DS,SMTPPort=" + std::to_string(m_Port) +
                             ",SMTPIncoming=4,SMTPOutgoing=2,RelayMode=H,"
                             "RelayAllowHosts=client.flow.test";
        if (!routing.empty())
            system += ",RelayRouting=" + routing;
        if (!extra.empty())
            system += "," + extra;
        m_Users.insert(m_Users.begin(), system);
        m_Instance.WriteConfig(m_Users);
        m_Users.erase(m_Users.begin());
    }

    // Routes a domain to a next hop on a loopback address and port.
    static std::string Route(const std::string& domain, const std::string& address, int port) {
        return domain + " -> [" + address + "]:" + std::to_string(port);
    }

    // The smart host: the sink.
    std::string SmartHost() const {
        return "RelayHost=" + m_Sink->Address() + ",RelayHostPort=" + std::to_string(m_Sink->Port());
    }

    // (Re)starts the gateway with its clock at m_Time + seconds.
    void StartGateway(long seconds = 0) {
        if (m_Gateway) {
            ASSERT_EQ(0, m_Gateway->Stop()) << m_Gateway->Errors();
        }
        std::map<std::string, std::string> extra = {
            {"ZELORM_TEST_TIME", std::to_string(m_Time + seconds)},
            {"ZELORM_RESOLV_CONF", m_Zone->ResolvConf()}};
        m_Gateway = std::make_unique<RunningGateway>(m_Instance, extra,
                                                     m_Instance.Path("run" + std::to_string(++m_Runs)));
        ASSERT_TRUE(m_Gateway->WaitStarted()) << m_Gateway->Errors();
    }

    // Sends Message(subject) from sender to the recipients; the reply.
    std::string Send(const std::string& subject, const std::string& sender,
                     const std::vector<std::string>& recipients) {
        std::string file = m_Instance.Path(subject + ".eml");
        WriteWhole(file, Message(subject));
        return SendMail(m_Port, "py.client.test", sender, recipients, file, m_Instance.Dir());
    }

    // The names a queue index holds.
    std::vector<std::string> Queued(const std::string& queue) {
        return spooltest::LiveNames(m_Instance.Path("spool/" + queue));
    }

    // Polls (at most bound) until the condition holds.
    template <typename Condition>
    static bool Eventually(Condition condition,
                           std::chrono::milliseconds bound = std::chrono::seconds(60)) {
        auto end = std::chrono::steady_clock::now() + bound;
        while (!condition()) {
            if (std::chrono::steady_clock::now() >= end)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return true;
    }

    // The sink's messages sent to recipient ("<a@b>").
    static std::vector<SinkMessage> SinkMessagesTo(
        SmtpSink& sink, const std::string& recipient, size_t atLeast,
        std::chrono::milliseconds bound = std::chrono::seconds(60)) {
        std::vector<SinkMessage> found;
        Eventually([&] {
            found.clear();
            for (SinkMessage& m : sink.Messages())
                if (Contains(m.recipients, recipient))
                    found.push_back(m);
            return found.size() >= atLeast;
        }, bound);
        return found;
    }

    // A delivery-status notification read back by Python's email package:
    // "type=", "report-type=", "part=" lines, the delivery-status fields as
    // "ds.<name>=<value>", the text parts' words as "text=...", and the
    // original's subject as "original-subject=".
    std::vector<std::string> ParseWithPython(const std::string& dumpFile) {
        std::string script = m_Instance.Path("parse_dsn.py");
        WriteWhole(script,
                   "import email, sys\n"
                   "m = email.message_from_binary_file(open(sys.argv[1], 'rb'))\n"
                   "print('type=' + m.get_content_type())\n"
                   "print('report-type=' + str(m.get_param('report-type')))\n"
                   "print('subject=' + ' '.join(str(m['Subject']).split()))\n"
                   "for part in m.walk():\n"
                   "    ct = part.get_content_type()\n"
                   "    print('part=' + ct)\n"
                   "    if ct == 'message/delivery-status':\n"
                   "        for block in part.get_payload():\n"
                   "            for k, v in block.items():\n"
                   "                print('ds.%s=%s' % (k.lower(), ' '.join(v.split())))\n"
                   "    elif ct == 'message/rfc822':\n"
                   "        print('original-subject=' + str(part.get_payload(0)['Subject']))\n"
                   "    elif ct == 'text/plain':\n"
                   "        print('text=' + ' '.join(part.get_payload().split()))\n");
        std::string out = m_Instance.Path("parse_dsn.out");
        EXPECT_EQ(0, gwtest::Shell(std::string(gwtest::kPython) + " " + script + " " + dumpFile +
                                   " >" + out + " 2>&1"))
            << ReadWhole(out);
        std::vector<std::string> lines;
        std::string text = ReadWhole(out);
        size_t at = 0;
        for (size_t end; (end = text.find('\n', at)) != std::string::npos; at = end + 1)
            lines.push_back(text.substr(at, end - at));
        return lines;
    }

    static std::string Field(const std::vector<std::string>& lines, const std::string& prefix) {
        for (const std::string& line : lines)
            if (line.rfind(prefix, 0) == 0)
                return line.substr(prefix.size());
        return "<none>";
    }

    int m_Port = 0;
    time_t m_Time = 0;
    std::string m_ExchangerAddress;
    std::unique_ptr<DnsZone> m_Zone;
    int m_Runs = 0;
    std::vector<std::string> m_Users;  // object lines after the system object
    GatewayInstance m_Instance;
    std::unique_ptr<SmtpSink> m_Sink;
    std::unique_ptr<RunningGateway> m_Gateway;
};

TEST_F(MailFlowTest, RelayedMailArrivesAsSentByRouteSmartHostAndMailExchanger) {
    SmtpSink exchanger(m_ExchangerAddress, 25);
    ScriptedNextHop exact;

    // Routes: by address to the sink, by address to the scripted hop (which
    // keeps the bytes as sent), and by a host name whose exchanger is the
    // sink; "flow.test" has no route and no smart host: its own exchanger.
    Configure({Route("route.test", m_Sink->Address(), m_Sink->Port()),
               Route("exact.test", "127.0.0.1", exact.Port()),
               "mx.test -> mx.flow.test:" + std::to_string(m_Sink->Port())},
              "");
    StartGateway();
    EXPECT_EQ("250", Send("by-route", "joe@origin.test", {"ann@route.test"}));
    EXPECT_EQ("250", Send("by-route-name", "joe@origin.test", {"bob@mx.test"}));
    EXPECT_EQ("250", Send("exact-bytes", "joe@origin.test", {"cy@exact.test"}));
    if (exchanger.Started())
        EXPECT_EQ("250", Send("by-exchanger", "joe@origin.test", {"fay@flow.test"}));
    else
        std::printf("port 25 of %s is not available: the exchanger case is left out\n",
                    m_ExchangerAddress.c_str());
    // swaks too, with the null sender.
    std::string swaksData = m_Instance.Path("swaks.eml");
    std::string message = Message("by-swaks");
    WriteWhole(swaksData, message.substr(0, message.size() - 2));  // swaks adds the last CR LF
    ASSERT_EQ(0, gwtest::Shell("swaks --server 127.0.0.1 --port " + std::to_string(m_Port) +
                               " --helo swaks.client.test --from '<>' --to dee@route.test"
                               " --data @" + swaksData + " >" + m_Instance.Path("swaks.out") +
                               " 2>&1"))
        << ReadWhole(m_Instance.Path("swaks.out"));

    struct Expect {
        SmtpSink* sink;
        const char* recipient;
        const char* sender;
        const char* subject;
    } expects[] = {{m_Sink.get(), "<ann@route.test>", "<joe@origin.test>", "by-route"},
                   {m_Sink.get(), "<bob@mx.test>", "<joe@origin.test>", "by-route-name"},
                   {m_Sink.get(), "<dee@route.test>", "<>", "by-swaks"},
                   {&exchanger, "<fay@flow.test>", "<joe@origin.test>", "by-exchanger"}};
    for (const Expect& e : expects) {
        if (!e.sink->Started())
            continue;
        std::vector<SinkMessage> got = SinkMessagesTo(*e.sink, e.recipient, 1);
        ASSERT_EQ(1u, got.size()) << e.recipient;
        EXPECT_EQ(e.sender, got[0].mailFrom) << e.recipient;
        // The gateway's Received line first, then the message as sent.
        EXPECT_EQ(0u, got[0].text.find("Received: from ")) << got[0].text.substr(0, 200);
        EXPECT_TRUE(SameText(WithLfLineEnds(Message(e.subject)), AfterFirstField(got[0].text, "\n")))
            << e.recipient;
    }

    // The scripted hop keeps what went over the wire: CR LF line ends and
    // the dot-stuffing of lines that start with a dot.
    ASSERT_TRUE(Eventually([&] { return LastData(exact).ends_with("last line\r\n"); }));
    std::string wire = LastData(exact);
    EXPECT_EQ(0u, wire.find("Received: from ")) << wire.substr(0, 200);
    EXPECT_TRUE(SameText(DotStuffed(Message("exact-bytes")), AfterFirstField(wire, "\r\n")));
    EXPECT_TRUE(Eventually([&] { return m_Instance.SpoolEmpty(); }));

    // The smart host takes what no route names, before the exchangers.
    Configure({}, SmartHost());
    StartGateway();
    EXPECT_EQ("250", Send("by-smart-host", "joe@origin.test", {"eve@flow.test"}));
    std::vector<SinkMessage> got = SinkMessagesTo(*m_Sink, "<eve@flow.test>", 1);
    ASSERT_EQ(1u, got.size());
    EXPECT_TRUE(SameText(WithLfLineEnds(Message("by-smart-host")), AfterFirstField(got[0].text, "\n")));
}

TEST_F(MailFlowTest, TemporaryFailureWaitsInSlowqAndIsRetriedAfterItsInterval) {
    ScriptedNextHop later;
    later.Reply(ScriptedNextHop::kRcpt, "451 4.3.0 try again later");
    Configure({Route("later.test", "127.0.0.1", later.Port())}, SmartHost());
    StartGateway();
    ASSERT_EQ("250", Send("retried", "joe@origin.test", {"amy@later.test"}));
    // Refused for now: the message moves from "fastq" to "slowq" with its files.
    ASSERT_TRUE(Eventually([&] { return Queued("slowq").size() == 1 && Queued("fastq").empty(); }));
    std::string name = Queued("slowq")[0];
    EXPECT_TRUE(fs::exists(m_Instance.Path("spool/" + name + ".mes")));
    EXPECT_EQ(1, later.Connections());
    EXPECT_EQ(0, Deliveries(later));

    // The hop takes mail again; the gateway runs again 1000 s later, past
    // the 900-s retry interval: the message is sent and leaves the spool.
    later.Reply(ScriptedNextHop::kRcpt, "250 ok");
    StartGateway(1000);
    ASSERT_TRUE(Eventually([&] { return LastData(later).ends_with("last line\r\n"); }));
    EXPECT_EQ(1, Deliveries(later));
    EXPECT_TRUE(SameText(DotStuffed(Message("retried")), AfterFirstField(LastData(later), "\r\n")));
    EXPECT_TRUE(Eventually([&] { return m_Instance.SpoolEmpty() && Queued("slowq").empty(); }));
    // Nothing came back to the sender.
    EXPECT_TRUE(SinkMessagesTo(*m_Sink, "<joe@origin.test>", 1, std::chrono::seconds(1)).empty());
}

TEST_F(MailFlowTest, MailStillWaitingAfterFiveDaysIsReturnedForItsPendingRecipientsOnly) {
    ScriptedNextHop later;
    later.Reply(ScriptedNextHop::kRcpt, "451 4.3.0 try again later");
    Configure({Route("later.test", "127.0.0.1", later.Port())}, SmartHost());
    StartGateway();
    // One recipient is delivered at once (smart host), the other waits.
    ASSERT_EQ("250", Send("expiring", "joe@origin.test", {"amy@later.test", "bo@done.test"}));
    ASSERT_TRUE(Eventually([&] { return Queued("slowq").size() == 1; }));
    ASSERT_EQ(1u, SinkMessagesTo(*m_Sink, "<bo@done.test>", 1).size());
    int tries = later.Connections();

    // Five days and a little later the message is returned and leaves the
    // spool, without another delivery attempt.
    StartGateway(432000 + 1000);
    std::vector<SinkMessage> dsns = SinkMessagesTo(*m_Sink, "<joe@origin.test>", 1);
    ASSERT_EQ(1u, dsns.size());
    EXPECT_EQ("<>", dsns[0].mailFrom);
    std::vector<std::string> dsn = ParseWithPython(dsns[0].file);
    EXPECT_EQ("multipart/report", Field(dsn, "type="));
    EXPECT_EQ("delivery-status", Field(dsn, "report-type="));
    EXPECT_TRUE(Contains(dsn, "part=message/delivery-status"));
    EXPECT_TRUE(Contains(dsn, "ds.final-recipient=rfc822;amy@later.test"));
    EXPECT_TRUE(Contains(dsn, "ds.action=failed"));
    EXPECT_FALSE(Contains(dsn, "ds.final-recipient=rfc822;bo@done.test"));
    EXPECT_NE(std::string::npos, Field(dsn, "text=").find("Expired in the spool"))
        << Field(dsn, "text=");
    EXPECT_EQ("expiring", Field(dsn, "original-subject="));
    EXPECT_TRUE(Eventually([&] { return m_Instance.SpoolEmpty(); }));
    EXPECT_EQ(tries, later.Connections());
}

TEST_F(MailFlowTest, EachPermanentRefusalComesBackInADeliveryStatusNotification) {
    // A next hop per refusal, each reached by a route of its own.
    struct Case {
        const char* name;  // also the domain: <name>.test
        ScriptedNextHop::Step step;
        const char* reply;
        std::vector<std::string> failed;     // recipients returned
        std::vector<std::string> delivered;  // recipients that are not
    };
    const std::vector<Case> cases = {
        {"greeting", ScriptedNextHop::kGreeting, "554 5.7.0 no service for you", {"a@greeting.test", "b@greeting.test"}, {}},
        {"helo", ScriptedNextHop::kHelo, "501 5.5.2 bad greeting name", {"a@helo.test"}, {}},
        {"mail", ScriptedNextHop::kMail, "553 5.7.1 sender refused", {"a@mail.test", "b@mail.test"}, {}},
        {"rcpt", ScriptedNextHop::kRcpt, "550 5.1.1 no such user", {"no@rcpt.test"}, {"yes@rcpt.test"}},
        {"data", ScriptedNextHop::kData, "554 5.6.0 no data wanted", {"a@data.test"}, {}},
        {"end", ScriptedNextHop::kEnd, "552 5.3.4 message too big", {"a@end.test"}, {}},
    };
    std::vector<std::unique_ptr<ScriptedNextHop>> hops;
    std::vector<std::string> routes;
    for (const Case& c : cases) {
        hops.push_back(std::make_unique<ScriptedNextHop>());
        if (c.step == ScriptedNextHop::kRcpt)
            hops.back()->ReplyTo(c.failed[0], c.reply);
        else
            hops.back()->Reply(c.step, c.reply);
        routes.push_back(Route(std::string(c.name) + ".test", "127.0.0.1", hops.back()->Port()));
    }
    Configure(routes, SmartHost());
    StartGateway();
    for (const Case& c : cases) {
        std::vector<std::string> to(c.failed);
        to.insert(to.end(), c.delivered.begin(), c.delivered.end());
        ASSERT_EQ("250", Send(c.name, std::string("s-") + c.name + "@origin.test", to)) << c.name;
    }

    for (size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        std::vector<SinkMessage> dsns =
            SinkMessagesTo(*m_Sink, std::string("<s-") + c.name + "@origin.test>", 1);
        ASSERT_EQ(1u, dsns.size()) << c.name;
        std::vector<std::string> dsn = ParseWithPython(dsns[0].file);
        EXPECT_EQ("multipart/report", Field(dsn, "type=")) << c.name;
        EXPECT_EQ("delivery-status", Field(dsn, "report-type=")) << c.name;
        EXPECT_TRUE(Contains(dsn, "part=message/delivery-status")) << c.name;
        EXPECT_EQ(c.name, Field(dsn, "original-subject=")) << c.name;
        // Every refused recipient is reported with the hop's reply, and no
        // other.
        for (const std::string& r : c.failed)
            EXPECT_TRUE(Contains(dsn, "ds.final-recipient=rfc822;" + r)) << c.name << " " << r;
        for (const std::string& r : c.delivered)
            EXPECT_FALSE(Contains(dsn, "ds.final-recipient=rfc822;" + r)) << c.name << " " << r;
        EXPECT_EQ(static_cast<long>(c.failed.size()),
                  std::count(dsn.begin(), dsn.end(), "ds.action=failed"))
            << c.name;
        std::string text = Field(dsn, "text=");
        EXPECT_NE(std::string::npos, text.find(std::string(c.reply).substr(4))) << c.name << ": " << text;
        if (!c.delivered.empty()) {
            EXPECT_EQ(1, Deliveries(*hops[i])) << c.name;
        }
    }
    EXPECT_TRUE(Eventually([&] { return m_Instance.SpoolEmpty(); }));
}

TEST_F(MailFlowTest, NoticesGoWhereConfiguredAndRefusalsThatAreNotPolicyLockNoOne) {
    ScriptedNextHop hop;
    hop.ReplyTo("no@rcpt.test", "550 5.1.1 no such user");
    // The system wants a notice of every settled recipient; the local user
    // "alice" takes part in the auto-lock, locked at the first refusal.
    m_Users = {"DUalice,AutoLock=1,AutoLockX=1,AutoLockY=60,AllowSMTP=1"};
    Configure({Route("rcpt.test", "127.0.0.1", hop.Port())},
              SmartHost() + ",Notify=2,NotifyAddr=postmaster@admin.test");
    StartGateway();
    ASSERT_EQ("250", Send("noticed", "alice", {"yes@rcpt.test", "no@rcpt.test"}));

    // One notice per settled recipient, to the configured address, from the
    // null sender; the return to alice (a local user without a mailbox here)
    // makes none.
    std::vector<SinkMessage> notices = SinkMessagesTo(*m_Sink, "<postmaster@admin.test>", 2);
    ASSERT_EQ(2u, notices.size());
    std::vector<std::string> about;
    for (const SinkMessage& notice : notices) {
        EXPECT_EQ("<>", notice.mailFrom);
        std::string head = notice.text.substr(0, notice.text.find("--- The original message"));
        EXPECT_NE(std::string::npos, head.find("\nSubject: Delivery notice\n")) << head;
        if (head.find("could not be delivered to the recipient: no@rcpt.test") != std::string::npos)
            about.push_back("refused");
        else if (head.find("The message was delivered.") != std::string::npos)
            about.push_back("delivered");
        else
            ADD_FAILURE() << head;
    }
    std::sort(about.begin(), about.end());
    EXPECT_EQ((std::vector<std::string>{"delivered", "refused"}), about);
    EXPECT_TRUE(Eventually([&] { return m_Instance.SpoolEmpty(); }));

    // A refused recipient is not a policy refusal: alice may still send.
    ASSERT_EQ(0, m_Gateway->Stop());
    m_Gateway.reset();
    EXPECT_EQ(std::string::npos, ReadWhole(m_Instance.Path("local/shared-config")).find("AllowSMTP=0"));
}

}  // namespace
