#include "gateway/pipeline_records.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "config/activity_log.h"
#include "core/vorn_date.h"
#include "gateway/queued_message.h"
#include "gateway/tests/support/activity_lines.h"
#include "gateway/tests/support/spool_fixture.h"

namespace {

using Fields = std::map<int, std::string>;

class PipelineRecordsTest : public spooltest::SpoolTest {
protected:
    void SetUp() override {
        SpoolTest::SetUp();
        m_LogFile = gatewaytest::StartActivityDay(m_Dir, &m_Now);

        m_Message = std::make_unique<CQueuedMessage>();
        ASSERT_EQ(0, m_Message->Open(nullptr, m_Spool.c_str()));
        ASSERT_EQ(0, m_Message->SetSender("s@x.org"));
        ASSERT_EQ(0, m_Message->SetSourceText("10.0.0.7"));
        spooltest::WriteWhole(SpoolPath(std::string(m_Message->GetName()) + ".mes"), "12345");
        m_Message->RefreshBodySize();
        m_Name = m_Message->GetName();
    }

    // The records written since the last call, each as its fields (date and
    // time left out), the writer's escapes undone.
    std::vector<Fields> Records() { return gatewaytest::ReadActivityRecords(m_LogFile, &m_Read); }

    CPipelineRecords m_Records;
    std::unique_ptr<CQueuedMessage> m_Message;
    std::string m_Name;
    std::string m_LogFile;
    size_t m_Read = 0;
};

TEST_F(PipelineRecordsTest, EachOperationWritesItsFields) {
    CQueuedMessage* m = m_Message.get();
    const std::string& n = m_Name;
    struct Case {
        const char* what;
        std::function<void()> call;
        Fields fields;
    } cases[] = {
        {"connection", [&] { m_Records.recordConnection("10.0.0.1"); },
         {{1, "1"}, {2, "13"}, {11, "10.0.0.1"}}},
        {"session error", [&] { m_Records.recordSessionError("10.0.0.1"); },
         {{1, "1"}, {2, "4"}, {11, "10.0.0.1"}, {105, "M361"}}},
        {"end, nothing accepted", [&] { m_Records.recordSessionEnd("10.0.0.1", false); },
         {{1, "1"}, {2, "4"}, {11, "10.0.0.1"}, {100, "M362"}}},
        {"end after a message", [&] { m_Records.recordSessionEnd("10.0.0.1", true); },
         {{1, "1"}, {2, "4"}, {11, "10.0.0.1"}}},
        {"command refused", [&] { m_Records.recordCommandRefused(364, "MAIL FRM:<a>", "10.0.0.1"); },
         {{1, "1"}, {2, "14"}, {11, "10.0.0.1"}, {100, "M364"}, {111, "MAIL FRM:<a>"}}},
        {"sender locked", [&] { m_Records.recordSenderLocked("10.0.0.1", "alice"); },
         {{1, "1"}, {2, "16"}, {10, "alice"}, {11, "10.0.0.1"}, {100, "M340"}}},
        {"remote sender locked", [&] { m_Records.recordSenderLocked("10.0.0.1", ""); },
         {{1, "1"}, {2, "16"}, {11, "10.0.0.1"}, {100, "M340"}}},
        {"receive error", [&] { m_Records.recordReceiveError(370, "10.0.0.1"); },
         {{1, "1"}, {2, "19"}, {11, "10.0.0.1"}, {105, "M366"}, {100, "M370"}}},
        {"session failure", [&] { m_Records.recordSessionFailure(369, "10.0.0.1"); },
         {{1, "1"}, {2, "19"}, {11, "10.0.0.1"}, {100, "M369"}}},
        {"accepted",
         [&] { m_Records.recordMessageAccepted("10.0.0.1", m, "a@x.org, b@x.org", "Hi, there"); },
         {{1, "1"}, {2, "5"}, {11, "10.0.0.1"}, {52, n}, {21, "a@x.org, b@x.org"},
          {20, "s@x.org"}, {23, "5"}, {22, "Hi, there"}}},
        {"generated queued",
         [&] { m_Records.recordGeneratedQueued(m, "s@x.org", "M2024", "Failure", 392); },
         {{1, "1"}, {2, "5"}, {52, n}, {21, "s@x.org"}, {23, "5"}, {22, "Failure"},
          {100, "M392"}, {101, "M405: M2024"}}},
        {"generated error", [&] { m_Records.recordGeneratedError(370, 393); },
         {{1, "1"}, {2, "19"}, {105, "M366"}, {100, "M370"}, {101, "M393"}}},
        {"relay connect failed", [&] { m_Records.recordRelayConnectFailed("mx.x.org"); },
         {{1, "1"}, {2, "3"}, {3, "2"}, {12, "mx.x.org"}}},
        {"local delivery", [&] { m_Records.recordLocalDelivery(m, "42", "Inbox", "bob"); },
         {{1, "1"}, {2, "6"}, {52, n}, {51, "42"}, {50, "Inbox"}, {21, "bob"}}},
        {"deferred with text", [&] { m_Records.recordDeferred(m, "r@x.org", "451 later"); },
         {{1, "1"}, {2, "21"}, {52, n}, {21, "r@x.org"}, {110, "451 later"}}},
        {"deferred without text", [&] { m_Records.recordDeferred(m, "r@x.org", ""); },
         {{1, "1"}, {2, "21"}, {52, n}, {21, "r@x.org"}}},
        {"returned, no route",
         [&] { m_Records.recordRecipientFinished(1, m, "s@x.org", "r@x.org", 7, "no MX"); },
         {{1, "1"}, {2, "7"}, {52, n}, {20, "s@x.org"}, {21, "r@x.org"}, {100, "M389"},
          {101, "no MX"}}},
        {"returned, relay denied",
         [&] { m_Records.recordRecipientFinished(1, m, "s@x.org", "r@x.org", 8, nullptr); },
         {{1, "1"}, {2, "7"}, {52, n}, {20, "s@x.org"}, {21, "r@x.org"}, {100, "M831"}}},
        {"discarded, unknown reason",
         [&] { m_Records.recordRecipientFinished(2, m, "s@x.org", "r@x.org", 12, ""); },
         {{1, "1"}, {2, "8"}, {52, n}, {20, "s@x.org"}, {21, "r@x.org"}}},
        {"policy refusal with text",
         [&] { m_Records.recordPolicyRefusal(m, "s@x.org", "r@x.org", "spam"); },
         {{1, "1"}, {2, "18"}, {52, n}, {20, "s@x.org"}, {100, "spam"}}},
        {"policy refusal without text",
         [&] { m_Records.recordPolicyRefusal(m, "s@x.org", "r@x.org", nullptr); },
         {{1, "1"}, {2, "18"}, {52, n}, {20, "s@x.org"}, {100, "r@x.org"}}},
        {"message done", [&] { m_Records.recordMessageDone(m); },
         {{1, "1"}, {2, "20"}, {11, "10.0.0.7"}, {52, n}}},
        // A peer's line breaks stay inside one record.
        {"command with line breaks",
         [&] { m_Records.recordCommandRefused(363, "RCPT\r\n20240101,1,2=x", "10.0.0.1"); },
         {{1, "1"}, {2, "14"}, {11, "10.0.0.1"}, {100, "M363"}, {111, "RCPT20240101,1,2=x"}}},
    };
    for (const Case& c : cases) {
        c.call();
        std::vector<Fields> records = Records();
        ASSERT_EQ(1u, records.size()) << c.what;
        EXPECT_EQ(c.fields, records[0]) << c.what;
    }
}

TEST_F(PipelineRecordsTest, RelayConnectionRecordsComeInOrder) {
    m_Records.recordRelayConnect("mx.x.org");
    for (const char* r : {"a@x.org", "b@x.org", "c@x.org"})
        m_Records.recordRelayDelivery(m_Message.get(), r, "250 ok", "mx.x.org");
    m_Records.recordRelayDisconnect("mx.x.org");
    std::vector<Fields> records = Records();
    ASSERT_EQ(5u, records.size());
    EXPECT_EQ((Fields{{1, "1"}, {2, "3"}, {3, "1"}, {12, "mx.x.org"}}), records[0]);
    for (int i = 1; i <= 3; ++i) {
        EXPECT_EQ("6", records[i][2]);
        EXPECT_EQ(m_Name, records[i][52]);
        EXPECT_EQ("250 ok", records[i][110]);
        EXPECT_EQ("mx.x.org", records[i][12]);
    }
    EXPECT_EQ("c@x.org", records[3][21]);
    EXPECT_EQ((Fields{{1, "1"}, {2, "4"}, {12, "mx.x.org"}}), records[4]);
}

TEST(ReasonCatalogNumberTest, EveryReasonHasItsText) {
    const int expected[] = {383, 384, 385, 386, 387, 391, 388, 389, 831};
    for (int reason = 0; reason <= 8; ++reason)
        EXPECT_EQ(expected[reason], ReasonCatalogNumber(reason)) << reason;
    EXPECT_EQ(0, ReasonCatalogNumber(-1));
    EXPECT_EQ(0, ReasonCatalogNumber(9));
}

}  // namespace
