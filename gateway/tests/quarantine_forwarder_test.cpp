// The quarantine forwarder with a sender of the test's own: the index
// written and read back, names and paths that try to forge the index, sends
// that succeed (item, package and record gone / written) and fail (kept,
// retried after 600 s on the test clock), missing settings and packages, and
// stops while the thread waits or sends.

#include "gateway/quarantine_forwarder.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/tests/support/files.h"
#include "gateway/tests/support/activity_lines.h"
#include "gateway/tests/support/spool_fixture.h"
#include "platform/clock.h"

namespace {

using gatewaytest::ActivityFields;
using testsupport::Eventually;
using testsupport::ReadWhole;
using testsupport::WriteWhole;

// A refusal, as the sender answers it.
constexpr int kRefused = 7;

// The test's sender: answers s_Answer and remembers what it was asked.
std::mutex s_SentLock;
std::vector<std::string> s_Sent;  // "path server port"
std::atomic<int> s_Answer{0};
std::atomic<bool> s_BlockUntilAbort{false};

int TestSender(const char* path, const char* server, int reserved, int port,
               int (*abortCallback)(int)) {
    {
        std::lock_guard<std::mutex> guard(s_SentLock);
        s_Sent.push_back(std::string(path) + " " + server + " " + std::to_string(port) +
                         (reserved != 0 ? " reserved" : ""));
    }
    // A transfer that stalls: only the abort callback ends it.
    while (s_BlockUntilAbort.load() && abortCallback(2) != 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return s_Answer.load();
}

std::vector<std::string> Sent() {
    std::lock_guard<std::mutex> guard(s_SentLock);
    return s_Sent;
}

class QuarantineForwarderTest : public spooltest::SpoolTest {
protected:
    void SetUp() override {
        SpoolTest::SetUp();
        g_ForwarderStopping = false;
        s_Answer = 0;
        s_BlockUntilAbort = false;
        {
            std::lock_guard<std::mutex> guard(s_SentLock);
            s_Sent.clear();
        }
        m_Log = gatewaytest::StartActivityDay(m_Dir, &m_Now);
        m_Folder = m_Spool + "/zelqfwd";
        std::filesystem::create_directory(m_Folder);
    }
    void TearDown() override {
        m_Forwarder.reset();
        SpoolTest::TearDown();
    }

    void ServerSettings() {
        WriteConfig({"ZELORMRazoVidezQuarantineServerAddress=qserver.example",
                     "ZELORMRazoVidezQuarantineServerPort=8080"});
    }

    CQuarantineForwarder& Make(const std::string& base = "") {
        m_Forwarder =
            std::make_unique<CQuarantineForwarder>("fwdq", (base.empty() ? m_Spool : base).c_str());
        m_Forwarder->SetSender(TestSender);
        return *m_Forwarder;
    }

    // A package file in the folder, named name; returns its path.
    std::string Package(const std::string& name) {
        std::string path = m_Folder + "/" + name;
        WriteWhole(path, "package " + name);
        return path;
    }

    // Waits until the thread has looked at the queue twice more, so it has
    // seen whatever the test changed before.
    void TwoMorePasses() {
        unsigned long seen = m_Forwarder->Passes();
        ASSERT_TRUE(Eventually([&] { return m_Forwarder->Passes() >= seen + 2; }));
    }

    std::vector<ActivityFields> Records() {
        return gatewaytest::ReadActivityRecords(m_Log, &m_LogRead);
    }

    std::string Index() { return ReadWhole(m_Folder + "/fwdq"); }

    std::unique_ptr<CQuarantineForwarder> m_Forwarder;
    std::string m_Folder;
    std::string m_Log;
    size_t m_LogRead = 0;
};

TEST_F(QuarantineForwarderTest, TheIndexIsWrittenAndReadBackAcrossARestart) {
    std::string first = Package("Q00000001.fwd");
    std::string second = Package("Q00000002.fwd");
    Make();
    EXPECT_EQ(m_Forwarder->Directory(), m_Folder);
    EXPECT_TRUE(m_Forwarder->Add(first.c_str(), "M1", "doc.exe"));
    EXPECT_TRUE(m_Forwarder->Add(second.c_str(), "M2", ""));
    const std::string now = std::to_string(m_Now);
    EXPECT_EQ(Index(),
              now + ",0,255," + first + ",M1,doc.exe\r\n" + now + ",0,255," + second + ",M2,\r\n");
    m_Forwarder.reset();

    // A restart: items tried a moment ago keep their order, times and
    // results, and are not sent before their 600 s have passed.
    ServerSettings();
    const std::string recent = std::to_string(m_Now - 10);
    WriteWhole(m_Folder + "/fwdq", "100," + recent + ",7," + first + ",M1,doc.exe\r\n200," +
                                       recent + ",255," + second + ",M2,\r\n");
    Make().Start();
    TwoMorePasses();
    std::vector<CQuarantineItem> items = m_Forwarder->Items();
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0].m_TimeQueued, 100);
    EXPECT_EQ(items[0].m_LastAttempt, m_Now - 10);
    EXPECT_EQ(items[0].m_LastResult, 7);
    EXPECT_EQ(items[0].m_PackagePath, first);
    EXPECT_EQ(items[0].m_MessageName, "M1");
    EXPECT_EQ(items[0].m_ObjectName, "doc.exe");
    EXPECT_EQ(items[1].m_TimeQueued, 200);
    EXPECT_EQ(items[1].m_LastResult, 255);
    EXPECT_EQ(items[1].m_ObjectName, "");
    EXPECT_TRUE(Sent().empty());
}

TEST_F(QuarantineForwarderTest, TheLastRunsQueueIsNeverOverwrittenUnread) {
    // A forwarder that goes without having read the index leaves it alone.
    const std::string waiting = "100,0,255," + m_Folder + "/Q00000001.fwd,M1,o1\r\n";
    WriteWhole(m_Folder + "/fwdq", waiting);
    Make();
    m_Forwarder.reset();
    EXPECT_EQ(Index(), waiting);

    // An index that cannot be read is kept aside before a new one is written.
    std::filesystem::remove(m_Folder + "/fwdq");
    std::filesystem::create_directory(m_Folder + "/fwdq");
    WriteWhole(m_Folder + "/fwdq/inside", waiting);
    std::string package = Package("Q00000002.fwd");
    Make().Start();
    EXPECT_TRUE(m_Forwarder->Add(package.c_str(), "M2", "o2"));
    EXPECT_EQ(ReadWhole(m_Folder + "/fwdq.unread/inside"), waiting);
    EXPECT_NE(Index().find(package), std::string::npos);
}

TEST_F(QuarantineForwarderTest, NamesCannotForgeIndexLines) {
    std::string package = Package("Q00000001.fwd");
    Make();
    ASSERT_TRUE(m_Forwarder->Add(package.c_str(), "M\r\n9,9,9", "a\r\n1,2,3,/etc/passwd,x,y"));
    ASSERT_TRUE(m_Forwarder->Add(package.c_str(), "M2", ",,evil,,name,"));
    const std::string longName(400, 'o');
    ASSERT_TRUE(m_Forwarder->Add(package.c_str(), std::string(100, 'm').c_str(), longName.c_str()));
    m_Forwarder.reset();
    EXPECT_EQ(testsupport::ReadWhole(m_Folder + "/fwdq").find("\n1,"), std::string::npos);

    // Read back by a new forwarder (no server: nothing is sent).
    Make().Start();
    TwoMorePasses();
    std::vector<CQuarantineItem> items = m_Forwarder->Items();
    ASSERT_EQ(items.size(), 3u);
    for (const CQuarantineItem& item : items) EXPECT_EQ(item.m_PackagePath, package);
    EXPECT_EQ(items[0].m_MessageName, "M999");
    EXPECT_EQ(items[0].m_ObjectName, "a123/etc/passwdxy");
    EXPECT_EQ(items[1].m_ObjectName, "evilname");
    EXPECT_EQ(items[2].m_MessageName, std::string(63, 'm'));
    EXPECT_EQ(items[2].m_ObjectName, std::string(259, 'o'));
}

TEST_F(QuarantineForwarderTest, ACommaInTheMailDirectoryStaysInThePath) {
    std::string base = m_Dir + "/mail,dir";
    std::filesystem::create_directory(base);
    Make(base);
    std::string package = base + "/zelqfwd/Q00000001.fwd";
    WriteWhole(package, "p");
    ASSERT_TRUE(m_Forwarder->Add(package.c_str(), "M1", "o"));
    m_Forwarder.reset();
    Make(base).Start();
    TwoMorePasses();
    std::vector<CQuarantineItem> items = m_Forwarder->Items();
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].m_PackagePath, package);
    EXPECT_EQ(items[0].m_MessageName, "M1");
}

TEST_F(QuarantineForwarderTest, PackagesOutsideTheFolderAreNeverQueued) {
    Make();
    const std::string refused[] = {
        "/etc/passwd",
        m_Folder + "/../fwdq-elsewhere",
        m_Folder + "/sub/Q1.fwd",
        m_Folder,
        m_Folder + "/",
        m_Folder + "x/Q1.fwd",
        m_Folder + "/Q\n1",
        m_Folder + "/" + std::string(1100, 'q'),
    };
    for (const std::string& path : refused)
        EXPECT_FALSE(m_Forwarder->Add(path.c_str(), "M", "o")) << path;
    EXPECT_FALSE(m_Forwarder->Add(nullptr, "M", "o"));
    EXPECT_TRUE(m_Forwarder->Items().empty());
    m_Forwarder.reset();

    // Lines of an index that point elsewhere, or are damaged, are dropped
    // (and gone from the rewritten index); the good line stays.
    std::string good = Package("Q00000001.fwd");
    WriteWhole(m_Folder + "/fwdq",
               "1,0,255,/etc/passwd,M,o\r\n"
               "1,0,255," +
                   m_Folder +
                   "/../../x,M,o\r\n"
                   "garbage\r\n"
                   "1,2,3\r\n"
                   "x,0,255," +
                   good +
                   ",M,o\r\n"
                   "5,0,255," +
                   good + ",M5,o5\r\n");
    Make().Start();
    TwoMorePasses();
    std::vector<CQuarantineItem> items = m_Forwarder->Items();
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].m_MessageName, "M5");
    EXPECT_EQ(Index().find("passwd"), std::string::npos);
    EXPECT_NE(Index().find("M5"), std::string::npos);
}

TEST_F(QuarantineForwarderTest, DeliveredPackagesLeaveTheQueueOneAfterAnother) {
    ServerSettings();
    Make();
    std::vector<std::string> packages;
    for (int i = 1; i <= 3; ++i) {
        packages.push_back(Package("Q0000000" + std::to_string(i) + ".fwd"));
        ASSERT_TRUE(m_Forwarder->Add(packages.back().c_str(), ("M" + std::to_string(i)).c_str(),
                                     ("o" + std::to_string(i)).c_str()));
    }
    m_Forwarder->Start();
    // The package file goes after its index line.
    ASSERT_TRUE(Eventually([&] { return !std::filesystem::exists(packages[2]); }));
    EXPECT_TRUE(m_Forwarder->Items().empty());
    std::vector<std::string> sent = Sent();
    ASSERT_EQ(sent.size(), 3u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(sent[i], packages[i] + " qserver.example 8080");
        EXPECT_FALSE(std::filesystem::exists(packages[i]));
    }
    EXPECT_EQ(Index(), "");
    std::vector<ActivityFields> records = Records();
    ASSERT_EQ(records.size(), 3u);
    for (int i = 0; i < 3; ++i) {
        ActivityFields& r = records[i];
        EXPECT_EQ(r[1], "1");
        EXPECT_EQ(r[2], "303");
        EXPECT_EQ(r[3], "1");
        EXPECT_EQ(r[52], "M" + std::to_string(i + 1));
        EXPECT_EQ(r[1102], "o" + std::to_string(i + 1));
        EXPECT_EQ(r[1103], "qserver.example");
    }
}

TEST_F(QuarantineForwarderTest, AFailedSendKeepsTheHeadAndRetriesAfter600Seconds) {
    ServerSettings();
    s_Answer = kRefused;
    std::string first = Package("Q00000001.fwd");
    std::string second = Package("Q00000002.fwd");
    Make();
    ASSERT_TRUE(m_Forwarder->Add(first.c_str(), "M1", "o1"));
    ASSERT_TRUE(m_Forwarder->Add(second.c_str(), "M2", "o2"));
    const time_t start = m_Now;
    m_Forwarder->Start();
    ASSERT_TRUE(Eventually([] { return Sent().size() == 1; }));
    TwoMorePasses();
    std::vector<CQuarantineItem> items = m_Forwarder->Items();
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0].m_LastAttempt, start);
    EXPECT_EQ(items[0].m_LastResult, kRefused);
    EXPECT_EQ(items[1].m_LastAttempt, 0);  // only the head is ever tried
    EXPECT_TRUE(std::filesystem::exists(first));
    EXPECT_NE(Index().find(std::to_string(start) + "," + std::to_string(kRefused)),
              std::string::npos);
    std::vector<ActivityFields> records = Records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0][3], "2");

    SetClock(start + kQuarantineRetrySeconds - 1);
    TwoMorePasses();
    EXPECT_EQ(Sent().size(), 1u);
    SetClock(start + kQuarantineRetrySeconds);
    ASSERT_TRUE(Eventually([] { return Sent().size() == 2; }));
    EXPECT_EQ(Sent()[1], Sent()[0]);

    // Accepted at last: the queue moves on to the second package.
    s_Answer = 0;
    SetClock(start + 2 * kQuarantineRetrySeconds);
    ASSERT_TRUE(Eventually([&] { return m_Forwarder->Items().empty(); }));
    EXPECT_EQ(Sent().back(), second + " qserver.example 8080");
}

TEST_F(QuarantineForwarderTest, WithoutServerSettingsNothingIsSentOrRecorded) {
    std::string package = Package("Q00000001.fwd");
    Make();
    ASSERT_TRUE(m_Forwarder->Add(package.c_str(), "M1", "o1"));
    m_Forwarder->Start();
    ASSERT_TRUE(Eventually([&] { return m_Forwarder->Items()[0].m_LastAttempt == m_Now; }));
    EXPECT_EQ(m_Forwarder->Items()[0].m_LastResult, 255);
    EXPECT_TRUE(Sent().empty());
    EXPECT_TRUE(Records().empty());
    EXPECT_TRUE(Eventually(
        [&] { return Index().find("," + std::to_string(m_Now) + ",255,") != std::string::npos; }));
}

TEST_F(QuarantineForwarderTest, APackageThatIsGoneIsDroppedFromTheQueue) {
    ServerSettings();
    Make();
    std::string gone = m_Folder + "/Q00000001.fwd";
    std::string kept = Package("Q00000002.fwd");
    ASSERT_TRUE(m_Forwarder->Add(gone.c_str(), "M1", "o1"));
    ASSERT_TRUE(m_Forwarder->Add(kept.c_str(), "M2", "o2"));
    m_Forwarder->Start();
    ASSERT_TRUE(Eventually([&] { return m_Forwarder->Items().empty(); }));
    ASSERT_EQ(Sent().size(), 1u);
    EXPECT_EQ(Sent()[0], kept + " qserver.example 8080");
}

TEST_F(QuarantineForwarderTest, StopEndsTheThreadWhileItWaitsOrSends) {
    // Waiting for the next attempt: the stop does not wait 600 s.
    ServerSettings();
    s_Answer = kRefused;
    std::string package = Package("Q00000001.fwd");
    Make();
    ASSERT_TRUE(m_Forwarder->Add(package.c_str(), "M1", "o1"));
    m_Forwarder->Start();
    ASSERT_TRUE(Eventually([] { return Sent().size() == 1; }));
    m_Forwarder->stop();
    EXPECT_TRUE(g_ForwarderStopping.load());
    EXPECT_FALSE(m_Forwarder->Add(package.c_str(), "M2", "o2"));
    m_Forwarder.reset();
    // The queue survives in the index.
    EXPECT_NE(Index().find(package + ",M1,o1"), std::string::npos);

    // In a transfer that only the abort callback ends.
    g_ForwarderStopping = false;
    s_BlockUntilAbort = true;
    SetClock(m_Now + kQuarantineRetrySeconds);
    Make().Start();
    ASSERT_TRUE(Eventually([] { return Sent().size() == 2; }));
    EXPECT_EQ(QuarantineAbortCheck(2), 1);
    m_Forwarder->stop();
    EXPECT_EQ(QuarantineAbortCheck(2), 0);
    EXPECT_EQ(QuarantineAbortCheck(1), 1);
}

}  // namespace
