// Scanning of queued messages against the scripted plug-in
// (libFakeWexlor.so): the action level from the settings, a replaced
// attachment put in place with its record and notices, a stripped
// attachment, notices without administrators and for an original without
// "From:", a body removed as a whole, a repair that cannot be put in place,
// a notice that cannot be written whole, and mail kept in "fastq" while
// the scan fails or the scanner is stopped, delivered once it scans again.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/message_catalog.h"
#include "core/tests/support/test_catalog.h"
#include "gateway/scan_settings.h"
#include "gateway/scanner_manager.h"
#include "gateway/tests/fake_plugin/fake_wexlor.h"
#include "gateway/tests/support/activity_lines.h"
#include "gateway/tests/support/delivery_fixture.h"
#include "platform/shared_library.h"

namespace {

namespace fs = std::filesystem;
using gatewaytest::ActivityFields;
using relaytest::ScriptedNextHop;

FakeWexlorControl* Control(bool reset = false) {
    static void* library = platform::OpenSharedLibrary(ZELORM_FAKE_WEXLOR, nullptr);
    static auto get = reinterpret_cast<FakeWexlorGetControlFunc>(
        platform::SharedLibrarySymbol(library, FAKE_WEXLOR_CONTROL_NAME));
    return get ? get(reset ? 1 : 0) : nullptr;
}

const char* const kBody =
    "To: r@x.org\r\nSubject: =?us-ascii?Q?hello_there?=\r\nMessage-Id: <m1@a.org>\r\n"
    "\r\nbody with an attachment\r\n";

class MessageScanTest : public deliverytest::DeliveryTest {
protected:
    void SetUp() override {
        DeliveryTest::SetUp();
        ASSERT_NE(nullptr, Control(true)) << ZELORM_FAKE_WEXLOR;
        // The base texts the scan writes: 868 (message name) and 869.
        ASSERT_EQ(0, testsupport::LoadBaseCatalog(
                         m_Dir + "/messages",
                         testsupport::NumberedCatalog(900, {{31, " %s"}, {824, " %s %s"},
                                                            {825, " %s %s"}, {826, " %s %s"},
                                                            {827, " %s %s"}, {847, " %d"},
                                                            {868, " %s"}}),
                         900));
        ASSERT_EQ(kCatalogLoaded,
                  CProductMessageCatalog().Load(ZELORM_CATALOG_DIR "/tkmessages", 2, 5, 34,
                                                2000000));
        fs::create_directory(Path("zeltemp"));
        m_Holder = std::make_unique<CScannerManager>();
        m_Holder->SetLibraryPath(ZELORM_FAKE_WEXLOR);
        ASSERT_TRUE(m_Holder->Load("ZELORM_20", Path("zelex15.inf").c_str(),
                                   Path("zeltemp").c_str(), 3));
        m_Server->SetScanner(m_Holder.get(), nullptr);
        Control()->scanHook = &MessageScanTest::Hook;
        Control()->scanHookArgument = this;
        m_ActivityFile = gatewaytest::StartActivityDay(m_Dir, &m_Now);
        Events();
    }
    void TearDown() override {
        m_Holder.reset();
        EXPECT_EQ(0, Control()->liveObjects) << "an object of the plug-in was not released";
        CProductMessageCatalog().Clear();
        DeliveryTest::TearDown();
    }

    // The system settings of these tests: scanning on, next hop as usual.
    void Settings(std::vector<std::string> extra) {
        extra.push_back("ZELORMRazoVidezScan=1");
        Configure(extra);
        LoadScanSettings();
    }

    // The scripted scan: the outcome the test set, the rebuilt body (when
    // any) written to a file of the scan folder named as the result.
    static void Hook(void* self, const char* path, int32_t, IScanCallback*,
                     FakeScanOutcome* outcome) {
        auto* test = static_cast<MessageScanTest*>(self);
        test->m_ScannedPath = path;
        *outcome = test->m_Outcome;
        if (!test->m_Rebuilt.empty()) {
            testsupport::WriteWhole(test->Path("zeltemp/rebuilt.tmp"), test->m_Rebuilt);
            test->m_FinalName = test->Path("zeltemp/rebuilt.tmp");
            outcome->fileName = test->m_FinalName.c_str();
        }
    }

    // One finding: object name (and an outer container), virus, status.
    static FakeScanItem Item(const char* object, const char* container, const char* virus,
                             int32_t status) {
        FakeScanItem item{};
        item.names[0] = object;
        item.names[1] = container;
        item.nameCount = container ? 2 : 1;
        item.virusName = virus;
        item.virusId = virus[0] ? 77 : 0;
        item.status = status;
        return item;
    }

    // The message loaded, locked and scanned as a worker would.
    int Scan(const std::string& name) { return m_Server->ScanMessage(Load(name).get()); }

    std::vector<ActivityFields> Records() {
        return gatewaytest::ReadActivityRecords(m_ActivityFile, &m_ActivityRead);
    }
    std::vector<ActivityFields> RecordsOf(int event) {
        std::vector<ActivityFields> out;
        for (const ActivityFields& r : Records())
            if (r.count(2) && r.at(2) == std::to_string(event))
                out.push_back(r);
        return out;
    }

    // Messages queued on "fastq" other than name: name -> body text.
    std::map<std::string, std::string> Generated(const std::string& name) {
        std::map<std::string, std::string> out;
        for (const std::string& n : Names(*m_Fast))
            if (n != name)
                out[n] = testsupport::ReadWhole(SpoolPath(n + ".mes"));
        return out;
    }
    std::vector<std::string> Recipients(const std::string& name) {
        std::vector<std::string> out;
        for (const auto& [address, state] : Outcome(name)) out.push_back(address);
        return out;
    }

    std::unique_ptr<CScannerManager> m_Holder;
    FakeScanOutcome m_Outcome;
    std::string m_Rebuilt;
    std::string m_FinalName;
    std::string m_ScannedPath;
    std::string m_ActivityFile;
    size_t m_ActivityRead = 0;
};

TEST_F(MessageScanTest, TheActionLevelComesFromTheTwoResponseSettings) {
    struct Case {
        std::vector<std::string> settings;
        int level;
    } cases[] = {
        {{}, 0},
        {{"ZELORMRazoVidezResponse1=0", "ZELORMRazoVidezResponse2=1"}, 0},
        {{"ZELORMRazoVidezResponse1=1"}, 1},
        {{"ZELORMRazoVidezResponse1=1", "ZELORMRazoVidezResponse2=0"}, 1},
        {{"ZELORMRazoVidezResponse1=1", "ZELORMRazoVidezResponse2=1"}, 3},
        {{"ZELORMRazoVidezResponse1=2"}, 4},
        {{"ZELORMRazoVidezResponse1=-1", "ZELORMRazoVidezResponse2=1"}, 4},
    };
    for (const Case& c : cases) {
        Settings(c.settings);
        EXPECT_EQ(c.level, m_Server->getScanAction()) << ::testing::PrintToString(c.settings);
    }
    // The scan runs at that level on the spooled body.
    Settings({"ZELORMRazoVidezResponse1=1", "ZELORMRazoVidezResponse2=1"});
    std::string name = Spool({{"r@x.org"}}, kBody);
    EXPECT_EQ(SMTP::kScanDeliver, Scan(name));
    EXPECT_EQ(3, Control()->lastActionLevel);
    EXPECT_EQ(SpoolPath(name + ".mes"), m_ScannedPath);
}

TEST_F(MessageScanTest, WithScanningOffNothingIsScannedAndMailIsDelivered) {
    Configure({});  // "ZELORMRazoVidezScan" absent
    std::string name = Queue({{"r@x.org"}}, kBody);
    EXPECT_EQ(SMTP::kTurnFast, m_Server->deliverNext(*m_Relay));
    EXPECT_EQ(0, Control()->scanCalls);
    EXPECT_FALSE(Spooled(name));
    ASSERT_EQ(1u, m_Hop.Sessions().size());
}

TEST_F(MessageScanTest, AReplacedAttachmentIsPutInPlaceRecordedAndNotified) {
    Settings({"ZELORMRazoVidezResponse1=1", "ZELORMRazoVidezResponse2=1",
              "ZELORMRazoVidezNotifyAdmins=1", "ZELORMRazoVidezNotifySender=1",
              std::string("ZELORMRazoVidezAdmins=admin@x.org\x1C\x1C" "second@x.org"),
              "ZELORMRazoVidezAdminSubject=Virus found",
              std::string("ZELORMRazoVidezAdminBody=First line\x1C" "Second line")});
    m_Outcome.items[0] = Item("eicar.com", "files.zip", "EICAR-Test", WEXLOR_STATUS_DELETED);
    m_Outcome.itemCount = 1;
    m_Rebuilt = std::string(kBody) + "rebuilt\r\n";
    // The original has no "From:": the notice shows the envelope sender.
    std::string name = Queue({{"r@x.org"}, {"t@x.org"}}, kBody);

    EXPECT_EQ(SMTP::kScanDeliver, Scan(name));
    EXPECT_EQ(m_Rebuilt, testsupport::ReadWhole(SpoolPath(name + ".mes")));
    EXPECT_FALSE(fs::exists(m_FinalName)) << "the plug-in's file stays behind";
    EXPECT_FALSE(fs::exists(SpoolPath(name + ".mes_scan")));

    auto records = RecordsOf(302);
    ASSERT_EQ(1u, records.size());
    EXPECT_EQ(name, records[0][52]);
    // The recipients as loaded (a spooled list reads back reversed, which
    // for a session's message is the order of its RCPT commands).
    EXPECT_EQ("t@x.org, r@x.org", records[0][21]);
    EXPECT_EQ("s@a.org", records[0][20]);
    EXPECT_EQ("EICAR-Test", records[0][1100]);
    EXPECT_EQ("77", records[0][1101]);
    EXPECT_EQ("files.zip/eicar.com", records[0][1102]);
    EXPECT_EQ(0u, records[0].count(3));

    // Two notices, kind 2, from the gateway with an empty envelope sender.
    auto notices = Generated(name);
    ASSERT_EQ(2u, notices.size());
    std::string admin, sender;
    for (const auto& [n, text] : notices) {
        CQueuedMessage notice;
        ASSERT_EQ(0, notice.Open(n.c_str(), m_Spool.c_str()));
        EXPECT_STREQ("", notice.GetSender());
        EXPECT_EQ(kMessageBounce, notice.GetKind());
        (Recipients(n).size() == 2 ? admin : sender) = text;
        if (Recipients(n).size() == 1)
            EXPECT_EQ(std::vector<std::string>{"s@a.org"}, Recipients(n));
        else
            EXPECT_EQ((std::vector<std::string>{"admin@x.org", "second@x.org"}), Recipients(n));
    }
    // The header (the spool adds Date and Message-Id), then the body lines.
    const std::string from = std::string("From: ") + m_Server->GetGatewayAddress() + "\r\n";
    EXPECT_EQ(0u, admin.find(from + "To: admin@x.org, second@x.org\r\nSubject: Virus found\r\n"))
        << admin;
    EXPECT_NE(std::string::npos,
              admin.find("\r\n\r\nFirst line\r\nSecond line\r\n\r\n\r\nThe mail gateway"))
        << admin;
    const std::string findings =
        "The mail gateway found viruses in a message:\r\n\r\n"
        "Object: files.zip/eicar.com\r\nVirus: EICAR-Test\r\nAction: removed\r\n\r\n"
        "Headers of the original message:\r\n\r\n"
        "From: s@a.org\r\nTo: r@x.org\r\nSubject: hello there\r\n"
        "Message-Id: <m1@a.org>\r\n";
    EXPECT_NE(std::string::npos, admin.find(findings)) << admin;
    EXPECT_EQ(0u, sender.find(from + "To: s@a.org\r\n")) << sender;
    EXPECT_EQ(std::string::npos, sender.substr(0, sender.find("\r\n\r\n")).find("Subject:"))
        << sender;
    EXPECT_NE(std::string::npos, sender.find(findings)) << sender;
}

TEST_F(MessageScanTest, AStrippedAttachmentAloneIsRecordedWithoutVirusFieldsAndNoNotice) {
    Settings({"ZELORMRazoVidezResponse1=1", "ZELORMRazoVidezNotifyAdmins=1",
              "ZELORMRazoVidezNotifySender=1", "ZELORMRazoVidezAdmins=admin@x.org"});
    m_Outcome.items[0] = Item("setup.exe", nullptr, "", WEXLOR_STATUS_BLOCKED);
    m_Outcome.itemCount = 1;
    m_Rebuilt = "To: r@x.org\r\n\r\nstripped\r\n";
    std::string name = Queue({{"r@x.org"}}, kBody);

    EXPECT_EQ(SMTP::kScanDeliver, Scan(name));
    auto records = RecordsOf(305);
    ASSERT_EQ(1u, records.size());
    EXPECT_EQ("setup.exe", records[0][1102]);
    EXPECT_EQ(0u, records[0].count(1100));
    EXPECT_EQ(0u, records[0].count(1101));
    EXPECT_TRUE(Generated(name).empty());
    EXPECT_EQ(m_Rebuilt, testsupport::ReadWhole(SpoolPath(name + ".mes")));
}

TEST_F(MessageScanTest, FindingsGiveTheirEventsAndNoAdministratorsMeansNoNoticeAndNoError) {
    Settings({"ZELORMRazoVidezNotifyAdmins=1"});  // no "ZELORMRazoVidezAdmins"
    m_Outcome.items[0] = Item("a.doc", nullptr, "Macro-A", WEXLOR_STATUS_LEFT);
    m_Outcome.items[1] = Item("b.doc", nullptr, "Macro-B", WEXLOR_STATUS_REPAIRED);
    m_Outcome.items[2] = Item("c.doc", nullptr, "Macro-C", WEXLOR_STATUS_DELETED);
    m_Outcome.itemCount = 3;
    std::string name = Spool({{"r@x.org"}}, kBody);
    // The scan leaves the body where it is.
    std::string body = SpoolPath(name + ".mes");
    m_Outcome.fileName = body.c_str();

    EXPECT_EQ(SMTP::kScanDeliver, Scan(name));
    std::vector<std::string> events;
    for (const ActivityFields& r : Records()) events.push_back(r.at(2));
    EXPECT_EQ((std::vector<std::string>{"300", "301", "302"}), events);
    EXPECT_TRUE(Generated(name).empty());
    EXPECT_EQ(kBody, testsupport::ReadWhole(body));
}

TEST_F(MessageScanTest, ABodyRemovedWholeIsReturnedWithoutTheOriginalAndLeavesTheSpool) {
    Settings({"ZELORMRazoVidezResponse1=2", "ZELORMRazoVidezNotifyAdmins=1",
              "ZELORMRazoVidezAdmins=admin@x.org"});
    m_Outcome.items[0] = Item("message", nullptr, "Worm-W", WEXLOR_STATUS_DELETED);
    m_Outcome.itemCount = 1;
    m_Outcome.fileName = "";
    std::string name = Queue({{"r@x.org"}}, kBody);

    EXPECT_EQ(SMTP::kTurnFast, m_Server->deliverNext(*m_Relay));
    EXPECT_FALSE(Spooled(name));
    EXPECT_EQ(0, m_Hop.Connections()) << "nothing of it went to the next hop";
    ASSERT_EQ(1u, RecordsOf(302).size());

    // A notice to the administrator (with the original's headers) and a
    // return to the sender without the original part.
    auto generated = Generated(name);
    ASSERT_EQ(2u, generated.size());
    int returns = 0;
    for (const auto& [n, text] : generated) {
        EXPECT_EQ(std::string::npos, text.find("body with an attachment")) << text;
        if (text.find("Final-Recipient: rfc822;r@x.org") != std::string::npos) {
            ++returns;
            EXPECT_NE(std::string::npos, text.find("M869")) << text;
            EXPECT_EQ(std::string::npos, text.find("message/rfc822")) << text;
        } else {
            EXPECT_NE(std::string::npos, text.find("Virus: Worm-W")) << text;
        }
    }
    EXPECT_EQ(1, returns);
}

TEST_F(MessageScanTest, ARepairThatCannotBePutInPlaceKeepsTheMessageUnscanned) {
    Settings({"ZELORMRazoVidezResponse1=1", "ZELORMRazoVidezNotifySender=1"});
    m_Outcome.items[0] = Item("eicar.com", nullptr, "EICAR-Test", WEXLOR_STATUS_REPAIRED);
    m_Outcome.itemCount = 1;
    std::string missing = Path("zeltemp/never-written.tmp");
    m_Outcome.fileName = missing.c_str();
    std::string name = Queue({{"r@x.org"}}, kBody);

    EXPECT_EQ(SMTP::kTurnFast, m_Server->deliverNext(*m_Relay));
    EXPECT_EQ(kBody, testsupport::ReadWhole(SpoolPath(name + ".mes")));
    EXPECT_FALSE(fs::exists(SpoolPath(name + ".mes_scan")));
    EXPECT_EQ(0, m_Hop.Connections());
    EXPECT_TRUE(Records().empty()) << "the next scan records it";
    EXPECT_TRUE(Generated(name).empty());
    EXPECT_EQ(std::vector<std::string>{name}, Names(*m_Fast));
    EXPECT_TRUE(Names(*m_Slow).empty());
}

TEST_F(MessageScanTest, ANoticeThatCannotBeWrittenWholeIsDroppedWithItsFiles) {
    // The notice's body outgrows the file size limit; the envelopes and the
    // original stay below it.
    std::string longLine(3000, 'x');
    Settings({"ZELORMRazoVidezNotifyAdmins=1", "ZELORMRazoVidezAdmins=admin@x.org",
              "ZELORMRazoVidezAdminBody=" + longLine});
    m_Outcome.items[0] = Item("eicar.com", nullptr, "EICAR-Test", WEXLOR_STATUS_LEFT);
    m_Outcome.itemCount = 1;
    std::string name = Queue({{"r@x.org"}}, kBody);
    std::string body = SpoolPath(name + ".mes");
    m_Outcome.fileName = body.c_str();
    auto files = [&] {
        std::vector<std::string> out;
        for (const auto& e : fs::directory_iterator(m_Spool)) out.push_back(e.path().filename());
        std::sort(out.begin(), out.end());
        return out;
    };
    const auto before = files();

    rlimit old{};
    ASSERT_EQ(0, getrlimit(RLIMIT_FSIZE, &old));
    sighandler_t oldHandler = signal(SIGXFSZ, SIG_IGN);
    rlimit small = old;
    small.rlim_cur = 2048;
    ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &small));
    int outcome = Scan(name);
    setrlimit(RLIMIT_FSIZE, &old);
    signal(SIGXFSZ, oldHandler);

    EXPECT_EQ(SMTP::kScanDeliver, outcome) << "a notice never holds the message up";
    EXPECT_TRUE(Generated(name).empty());
    EXPECT_EQ(before, files()) << "the notice left files behind";
}

// A scan that cannot run keeps the message in "fastq", unscanned and
// undelivered, with an event; once the scan runs again it is delivered.
TEST_F(MessageScanTest, MailWaitsInFastqWhileTheScanFailsAndIsDeliveredAfterwards) {
    struct Case {
        const char* what;
        std::function<void()> breakIt;
        std::function<void()> mendIt;
    } cases[] = {
        {"the plug-in answers an error",
         [this] { m_Outcome.code = WEXLOR_FAILED; },
         [this] { m_Outcome.code = WEXLOR_OK; }},
        {"no result",
         [this] { m_Outcome.makeResult = false; },
         [this] { m_Outcome.makeResult = true; }},
        {"no scanner", [this] { m_Server->SetScanner(nullptr, nullptr); },
         [this] { m_Server->SetScanner(m_Holder.get(), nullptr); }},
        {"a reload stopped the engine and it cannot start",
         [this] {
             Control()->reloadResult = WEXLOR_FAILED;
             Control()->initializeResult = WEXLOR_FAILED;
             EXPECT_FALSE(m_Holder->ReloadDefsIfNewer());
             EXPECT_TRUE(HasEvent("1:M847"));
         },
         [] { Control()->initializeResult = WEXLOR_OK; }},
    };
    Settings({});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const int connections = m_Hop.Connections();
        std::string name = Queue({{"r@x.org"}}, kBody);
        c.breakIt();
        Events();
        EXPECT_EQ(SMTP::kTurnFast, m_Server->deliverNext(*m_Relay));
        EXPECT_EQ(connections, m_Hop.Connections());
        EXPECT_EQ(std::vector<std::string>{name}, Names(*m_Fast));
        EXPECT_TRUE(Names(*m_Slow).empty());
        EXPECT_TRUE(HasEvent("2:M868 " + name));
        // Not due again before the retry interval.
        EXPECT_EQ(SMTP::kTurnIdle, m_Server->deliverNext(*m_Relay));

        c.mendIt();
        SetClock(m_Now + CMessageQueue::kRetryInterval + 1);
        const int scans = Control()->scanCalls;
        EXPECT_EQ(SMTP::kTurnFast, m_Server->deliverNext(*m_Relay));
        EXPECT_LT(scans, Control()->scanCalls);
        EXPECT_FALSE(Spooled(name));
        EXPECT_EQ(connections + 1, m_Hop.Connections());
    }
}

}  // namespace
