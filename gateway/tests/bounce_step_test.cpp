#include "gateway/bounce_step.h"

#include <gtest/gtest.h>
#include <stdio.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/vorn_event.h"
#include "gateway/pipeline_records.h"
#include "gateway/queued_message.h"
#include "gateway/spool_queue.h"
#include "gateway/tests/support/spool_fixture.h"

namespace {

using spooltest::ReadWhole;
using spooltest::WriteWhole;

constexpr const char* kGateway = "Velmar_RazoVidez_Dozoruve@gw.example";

// Reads a DSN body back with Python's email package and prints, one per
// line: the top content type and boundary, then per part its content type
// followed by what matters in it (status blocks' fields, the first lines of
// text, the embedded message's subject and body).
const char* const kParseScript = R"PY(
import email, email.policy, sys
raw = open(sys.argv[1], 'rb').read()
msg = email.message_from_bytes(raw, policy=email.policy.compat32)
print('top', msg.get_content_type(), msg.get_param('report-type'), msg.get_boundary())
print('to', repr(msg['To']), 'from', msg['From'], 'subject', msg['Subject'])
print('headers', sorted(msg.keys()))
for part in msg.get_payload():
    ct = part.get_content_type()
    if ct == 'message/delivery-status':
        blocks = part.get_payload()
        print('status', [sorted(b.items()) for b in blocks])
    elif ct == 'message/rfc822':
        inner = part.get_payload()[0]
        print('original', inner['Subject'], repr(inner.get_payload()))
    else:
        print('text', repr(part.get_payload()))
)PY";

std::string RunParser(const std::string& dir, const std::string& body) {
    const std::string script = dir + "/parse_dsn.py";
    WriteWhole(script, kParseScript);
    std::string command = "python3 " + script + " " + body + " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe)
        return "popen failed";
    std::string out;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
    pclose(pipe);
    return out;
}

// Every LF of the text is preceded by CR.
bool AllLinesEndInCrLf(const std::string& text) {
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r'))
            return false;
    }
    return !text.empty() && text.size() >= 2 && text.substr(text.size() - 2) == "\r\n";
}

class BounceStepTest : public spooltest::SpoolTest {
protected:
    void SetUp() override {
        SpoolTest::SetUp();
        m_Fast = std::make_unique<CMessageQueue>("fastq", m_Spool.c_str());
        m_Step = MakeStep(kGateway);
    }

    void TearDown() override {
        m_Step.reset();
        m_Fast.reset();
        SpoolTest::TearDown();
    }

    std::unique_ptr<CBounceStep> MakeStep(const char* gateway) {
        // Stands in for the delivery notices: counts its calls and answers 7.
        return std::make_unique<CBounceStep>(m_Spool.c_str(), *m_Fast, m_Records, m_Wake, gateway,
                                             [this](CQueuedMessage*) {
                                                 ++m_NoticeCalls;
                                                 return 7;
                                             });
    }

    // A locked, spooled message with a sender and a body; recipients are
    // added by the test.
    std::unique_ptr<CQueuedMessage> NewMessage(const char* sender, const std::string& body,
                                               int kind = kMessageReceived) {
        auto message = std::make_unique<CQueuedMessage>();
        EXPECT_EQ(0, message->Open(nullptr, m_Spool.c_str()));
        EXPECT_EQ(0, message->Lock());
        EXPECT_EQ(0, message->SetSender(sender));
        message->SetKind(kind);
        WriteWhole(SpoolPath(std::string(message->GetName()) + ".mes"), body);
        message->RefreshBodySize();
        return message;
    }

    void AddFailed(CQueuedMessage& message, const std::string& address, int reason,
                   const char* bounce = "", const char* status = "") {
        ASSERT_EQ(0, message.addRecipientNode(address.c_str(), bounce, status, reason,
                                              kRecipientFailed, 1, m_Now, 1));
    }

    // The names queued on "fastq", in order.
    std::vector<std::string> Queued() {
        std::vector<std::string> names;
        for (const QueueEntry& e : m_Fast->Snapshot()) names.push_back(e.m_Name);
        return names;
    }

    std::unique_ptr<CQueuedMessage> Load(const std::string& name) {
        auto message = std::make_unique<CQueuedMessage>();
        EXPECT_EQ(0, message->Open(name.c_str(), m_Spool.c_str())) << name;
        return message;
    }

    std::string Body(const std::string& name) { return ReadWhole(SpoolPath(name + ".mes")); }
    std::string Parse(const std::string& name) { return RunParser(m_Dir, SpoolPath(name + ".mes")); }

    static int Count(const std::string& text, const std::string& what) {
        int n = 0;
        for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
        return n;
    }

    CPipelineRecords m_Records;
    CVornEvent m_Wake;
    std::unique_ptr<CMessageQueue> m_Fast;
    std::unique_ptr<CBounceStep> m_Step;
    int m_NoticeCalls = 0;
};

TEST(BreakDoubleSpaces, PairsOfBlanksBecomeLineBreaksFromTheLeft) {
    struct Case {
        const char* in;
        const char* out;
    } cases[] = {
        {"550  No such user", "550\r\nNo such user"},
        {"a   b", "a\r\n b"},
        {"a    b", "a\r\n\r\nb"},
        {"  ", "\r\n"},
        {" a b ", " a b "},
        {"", ""},
    };
    for (const Case& c : cases) {
        std::string text = c.in;
        breakDoubleSpaces(text);
        EXPECT_EQ(c.out, text) << c.in;
    }
}

TEST_F(BounceStepTest, FailedRecipientsGoBackToTheSenderInAReportPythonReads) {
    // The stored original has a bare LF line and no line end at its end.
    auto message = NewMessage("joe@x.org",
                              "Subject: hello\r\nFrom: joe@x.org\r\n\r\nline one\nlast line");
    ASSERT_EQ(0, message->AddRecipient("ok@y.org", kRecipientDone, 1, m_Now));
    ASSERT_EQ(0, message->AddRecipient("later@y.org", kRecipientPending, 1, m_Now));
    AddFailed(*message, "b@y.org", kReasonNoMailbox, "", "550  No such user here");
    AddFailed(*message, "a@y.org", 42);
    ASSERT_EQ(0, message->WriteEnvelope());
    const std::string original = message->GetName();

    EXPECT_EQ(7, m_Step->Bounce(message.get()));
    EXPECT_EQ(1, m_NoticeCalls);
    EXPECT_EQ(0u, m_Wake.WaitSeconds(0));  // a worker was woken

    // Reported recipients are done, the others untouched, on disk too.
    auto reloaded = Load(original);
    std::vector<std::string> statuses;
    for (QueuedRecipient* r = reloaded->GetRecipients(); r; r = r->m_Next)
        statuses.push_back(r->m_Address + "=" + std::to_string(r->m_Status));
    EXPECT_EQ((std::vector<std::string>{"ok@y.org=3", "later@y.org=1", "b@y.org=3", "a@y.org=3"}),
              statuses);

    std::vector<std::string> queued = Queued();
    ASSERT_EQ(1u, queued.size());
    const std::string name = queued[0];
    auto dsn = Load(name);
    EXPECT_EQ(kMessageBounce, dsn->GetKind());
    EXPECT_STREQ("", dsn->GetSender());
    ASSERT_NE(nullptr, dsn->GetRecipients());
    EXPECT_EQ("joe@x.org", dsn->GetRecipients()->m_Address);
    EXPECT_EQ(kRecipientPending, dsn->GetRecipients()->m_Status);
    EXPECT_EQ(nullptr, dsn->GetRecipients()->m_Next);
    EXPECT_EQ(1, dsn->IsComplete());
    EXPECT_FALSE(dsn->IsLocked());

    const std::string body = Body(name);
    EXPECT_TRUE(AllLinesEndInCrLf(body));
    EXPECT_NE(std::string::npos, body.find("From: Velmar_RazoVidez_Dozoruve@gw.example\r\n"));
    EXPECT_NE(std::string::npos, body.find("a@y.org    M390\r\n"));
    EXPECT_NE(std::string::npos, body.find("b@y.org    M385\r\n550\r\nNo such user here\r\n\r\n"));
    EXPECT_NE(std::string::npos,
              body.find("Reporting-MTA: Velmar RazoVidez Gateway;Velmar_RazoVidez_Dozoruve@gw.example\r\n"));
    EXPECT_NE(std::string::npos,
              body.find("Diagnostic-Code: X-Notes; Cannot route mail to user (a@y.org).\r\n"));
    EXPECT_NE(std::string::npos, body.find("line one\r\nlast line\r\n--==" + name + "--\r\n"));

    const std::string parsed = Parse(name);
    EXPECT_NE(std::string::npos,
              parsed.find("top multipart/report delivery-status ==" + name + "\n"))
        << parsed;
    EXPECT_NE(std::string::npos, parsed.find("to 'joe@x.org' from "
                                             "Velmar_RazoVidez_Dozoruve@gw.example subject M394\n"))
        << parsed;
    // Recipients in list order (a was added last, so it comes first), each a
    // text part and a status part, then the original.
    const size_t a = parsed.find("text '--- The message cannot be delivered to the following "
                                 "address. ---\\r\\n\\r\\na@y.org    M390");
    const size_t aStatus = parsed.find("('Final-Recipient', 'rfc822;a@y.org')");
    const size_t b = parsed.find("b@y.org    M385\\r\\n550\\r\\nNo such user here\\r\\n'");
    const size_t bStatus = parsed.find("('Final-Recipient', 'rfc822;b@y.org')");
    const size_t orig = parsed.find("original hello 'line one\\r\\nlast line'");
    ASSERT_NE(std::string::npos, a) << parsed;
    EXPECT_LT(a, aStatus) << parsed;
    EXPECT_LT(aStatus, b) << parsed;
    EXPECT_LT(b, bStatus) << parsed;
    EXPECT_LT(bStatus, orig) << parsed;
    EXPECT_EQ(std::string::npos, parsed.find("\nstatus", orig)) << parsed;
    EXPECT_EQ(2, Count(parsed, "('Action', 'failed')")) << parsed;
    EXPECT_EQ(2, Count(parsed, "('Status', '5.1.1')")) << parsed;
}

TEST_F(BounceStepTest, EachFailureGoesToWhoeverMustHearOfIt) {
    // Rows: the message kind, then per recipient its bounce address and
    // reason; the result is the DSNs made (the address each goes to and the
    // recipients in it) and the final status of every recipient.
    struct Row {
        const char* what;
        int kind;
        std::vector<std::pair<const char*, int>> recipients;  // bounce address, reason
        std::vector<std::string> dsns;                        // "to:recipient,recipient"
        std::vector<int> statuses;                            // in list order
    } rows[] = {
        {"list member goes to its owner", kMessageReceived,
         {{"", 2}, {"owner@l.org", 2}},
         {"joe@x.org:r0", "owner@l.org:r1"},
         {3, 3}},
        {"filter refusal goes to the sender even with an owner", kMessageReceived,
         {{"owner@l.org", kReasonPolicy}, {"", 2}},
         {"joe@x.org:r0,r1"},
         {3, 3}},
        {"two members, two owner reports", kMessageReceived,
         {{"o1@l.org", 2}, {"o2@l.org", 7}},
         {"o1@l.org:r0", "o2@l.org:r1"},
         {3, 3}},
        {"a failure of a DSN is closed without a DSN", kMessageBounce,
         {{"", kReasonBadAddress}, {"owner@l.org", 2}},
         {},
         {4, 4}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        auto message = NewMessage("joe@x.org", "Subject: s\r\n\r\nbody\r\n", row.kind);
        // Added in reverse so that the list order is the row's order.
        for (size_t i = row.recipients.size(); i-- > 0;)
            AddFailed(*message, "r" + std::to_string(i), row.recipients[i].second,
                      row.recipients[i].first);
        ASSERT_EQ(0, message->WriteEnvelope());
        const int calls = m_NoticeCalls;
        const std::vector<std::string> before = Queued();

        EXPECT_EQ(7, m_Step->Bounce(message.get()));
        EXPECT_EQ(calls + 1, m_NoticeCalls);

        std::vector<std::string> made;
        for (const std::string& name : Queued()) {
            if (std::find(before.begin(), before.end(), name) != before.end())
                continue;
            auto dsn = Load(name);
            std::string line = dsn->GetRecipients()->m_Address + ":";
            const std::string body = Body(name);
            std::string in;
            for (size_t i = 0; i < row.recipients.size(); ++i) {
                const std::string r = "r" + std::to_string(i);
                if (body.find("Final-Recipient: rfc822;" + r + "\r\n") != std::string::npos)
                    in += (in.empty() ? "" : ",") + r;
            }
            made.push_back(line + in);
        }
        EXPECT_EQ(row.dsns, made);
        std::vector<int> statuses;
        auto reloaded = Load(message->GetName());
        for (QueuedRecipient* r = reloaded->GetRecipients(); r; r = r->m_Next)
            statuses.push_back(r->m_Status);
        EXPECT_EQ(row.statuses, statuses);
    }
}

TEST_F(BounceStepTest, AtMostAHundredRecipientsPerPassTheRestOnTheNext) {
    auto message = NewMessage("joe@x.org", "Subject: many\r\n\r\nbody\r\n");
    for (int i = 0; i < 150; ++i) AddFailed(*message, "u" + std::to_string(i) + "@y.org", 2);
    ASSERT_EQ(0, message->WriteEnvelope());

    auto countParts = [&](const std::string& name) { return Count(Body(name), "Final-Recipient:"); };
    auto statusCount = [&](int status) {
        int n = 0;
        for (QueuedRecipient* r = message->GetRecipients(); r; r = r->m_Next) n += r->m_Status == status;
        return n;
    };

    EXPECT_EQ(7, m_Step->Bounce(message.get()));
    ASSERT_EQ(1u, Queued().size());
    EXPECT_EQ(100, countParts(Queued()[0]));
    EXPECT_EQ(100, statusCount(kRecipientDone));
    EXPECT_EQ(50, statusCount(kRecipientFailed));

    EXPECT_EQ(7, m_Step->Bounce(message.get()));
    ASSERT_EQ(2u, Queued().size());
    EXPECT_EQ(50, countParts(Queued()[1]));
    EXPECT_EQ(150, statusCount(kRecipientDone));
}

TEST_F(BounceStepTest, NullSenderStillGetsItsReturnAddressedToTheEmptyAddress) {
    auto message = NewMessage("", "Subject: s\r\n\r\nbody\r\n");
    AddFailed(*message, "a@y.org", 2);
    ASSERT_EQ(0, message->WriteEnvelope());

    EXPECT_EQ(7, m_Step->Bounce(message.get()));
    ASSERT_EQ(1u, Queued().size());
    auto dsn = Load(Queued()[0]);
    ASSERT_NE(nullptr, dsn->GetRecipients());
    EXPECT_EQ("", dsn->GetRecipients()->m_Address);
    EXPECT_EQ(kRecipientPending, dsn->GetRecipients()->m_Status);
    const std::string parsed = Parse(Queued()[0]);
    EXPECT_NE(std::string::npos, parsed.find("top multipart/report")) << parsed;
    EXPECT_TRUE(AllLinesEndInCrLf(Body(Queued()[0])));

    // Its recipient fails as a bad address on its first pass: it is closed,
    // and nothing more is made.
    dsn->Lock();
    dsn->GetRecipients()->m_Status = kRecipientFailed;
    dsn->GetRecipients()->m_Reason = kReasonBadAddress;
    EXPECT_EQ(7, m_Step->Bounce(dsn.get()));
    EXPECT_EQ(kRecipientClosed, dsn->GetRecipients()->m_Status);
    EXPECT_EQ(1u, Queued().size());
}

TEST_F(BounceStepTest, UnreadableOriginalStillGivesAReportWithoutIt) {
    // An expired message whose body is gone must still be closed: the
    // return goes out without the original part.
    auto message = NewMessage("joe@x.org", "");
    std::filesystem::remove(SpoolPath(std::string(message->GetName()) + ".mes"));
    AddFailed(*message, "a@y.org", kReasonExpired);
    ASSERT_EQ(0, message->WriteEnvelope());

    EXPECT_EQ(7, m_Step->Bounce(message.get()));
    EXPECT_EQ(kRecipientDone, message->GetRecipients()->m_Status);
    ASSERT_EQ(1u, Queued().size());
    const std::string name = Queued()[0];
    const std::string body = Body(name);
    EXPECT_EQ(std::string::npos, body.find("message/rfc822"));
    EXPECT_TRUE(AllLinesEndInCrLf(body));
    const std::string parsed = Parse(name);
    EXPECT_NE(std::string::npos, parsed.find("a@y.org    M384")) << parsed;
    EXPECT_NE(std::string::npos, parsed.find("('Final-Recipient', 'rfc822;a@y.org')")) << parsed;
    EXPECT_EQ(std::string::npos, parsed.find("\noriginal")) << parsed;
}

TEST_F(BounceStepTest, PeerTextsCannotBreakTheReportsLines) {
    auto message = NewMessage("joe@x.org", "Subject: s\r\n\r\nbody\r\n");
    AddFailed(*message, "a@y.org", 2, "", "550 no");
    // The relay pass may leave line breaks of a peer in memory.
    message->GetRecipients()->m_Address = "a@y.org\r\nX-Injected: 1";
    message->GetRecipients()->m_StatusText = "550 bad\r\nX-Other: 2  --==fake--";

    EXPECT_EQ(7, m_Step->Bounce(message.get()));
    ASSERT_EQ(1u, Queued().size());
    const std::string body = Body(Queued()[0]);
    EXPECT_TRUE(AllLinesEndInCrLf(body));
    EXPECT_EQ(std::string::npos, body.find("\r\nX-Injected")) << body;
    EXPECT_EQ(std::string::npos, body.find("\r\nX-Other")) << body;
    EXPECT_EQ(std::string::npos, body.find("\r\n--==fake")) << body;
    EXPECT_NE(std::string::npos, body.find("550 badX-Other: 2\r\n --==fake--\r\n")) << body;
    const std::string parsed = Parse(Queued()[0]);
    EXPECT_NE(std::string::npos,
              parsed.find("('Final-Recipient', 'rfc822;a@y.orgX-Injected: 1')"))
        << parsed;
    EXPECT_EQ(std::string::npos, parsed.find("'X-Injected'")) << parsed;
}

TEST_F(BounceStepTest, ReturnThatCannotBeMadeLeavesRecipientsFailedAndNothingBehind) {
    struct Case {
        const char* what;
        std::function<void()> breakIt;
    } cases[] = {
        {"no sender address for generated mail", [&] { m_Step = MakeStep(""); }},
        {"the fast queue cannot be written",
         [&] { std::filesystem::create_directory(SpoolPath("fastq")); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        m_Step = MakeStep(kGateway);
        c.breakIt();
        auto message = NewMessage("joe@x.org", "Subject: s\r\n\r\nbody\r\n");
        AddFailed(*message, "a@y.org", 2);
        AddFailed(*message, "b@y.org", 2, "owner@l.org");
        ASSERT_EQ(0, message->WriteEnvelope());
        const std::string name = message->GetName();

        EXPECT_EQ(1, m_Step->Bounce(message.get()));
        EXPECT_EQ(0, m_NoticeCalls);
        EXPECT_EQ(CVornEvent::kTimedOut, m_Wake.WaitSeconds(0));
        for (QueuedRecipient* r = message->GetRecipients(); r; r = r->m_Next)
            EXPECT_EQ(kRecipientFailed, r->m_Status) << r->m_Address;
        // Only the original's files are left: the unfinished return is gone.
        std::vector<std::string> files;
        for (const auto& entry : std::filesystem::directory_iterator(m_Spool))
            if (entry.path().filename().string().rfind("fastq", 0) != 0)
                files.push_back(entry.path().filename().string());
        std::sort(files.begin(), files.end());
        EXPECT_EQ((std::vector<std::string>{name + ".env", name + ".mes"}), files);
        message->Delete();
    }
}

TEST_F(BounceStepTest, WithoutTheWholeFlagOnlyTheOriginalsHeaderIsAttached) {
    auto message = NewMessage("joe@x.org", "Subject: s\r\nX-A: 1\r\n\r\nsecret body\r\n");
    CQueuedMessage* dsn = m_Step->newDSN("joe@x.org");
    ASSERT_NE(nullptr, dsn);
    EXPECT_TRUE(dsn->IsLocked());
    EXPECT_EQ(0, m_Step->attachOriginal(dsn, message.get(), 0));
    const std::string name = dsn->GetName();
    EXPECT_EQ(0, m_Step->queueDSN(dsn, "joe@x.org", message->GetName()));
    delete dsn;
    const std::string body = Body(name);
    EXPECT_NE(std::string::npos,
              body.find("Content-Type: message/rfc822\r\n\r\nSubject: s\r\nX-A: 1\r\n\r\n--==" +
                        name + "--\r\n"))
        << body;
    EXPECT_EQ(std::string::npos, body.find("secret"));
}

TEST_F(BounceStepTest, MessageWithoutRecipientsNeedsNothing) {
    auto message = NewMessage("joe@x.org", "body\r\n");
    EXPECT_EQ(0, m_Step->Bounce(message.get()));
    EXPECT_EQ(0, m_NoticeCalls);
    EXPECT_EQ(0, m_Step->Bounce(nullptr));
}

}  // namespace
