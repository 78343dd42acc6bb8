// The service commands under a real CVornHTTPServer on 127.0.0.1, with curl
// as the browser: the live debug-log stream, the relay route form, the
// password change and the definition update request.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "config/config_store.h"
#include "core/debug_log.h"
#include "core/message_catalog.h"
#include "core/tests/support/files.h"
#include "gateway/relay_routes.h"
#include "gateway/service_startup.h"
#include "gateway/update_scheduler.h"
#include "webadmin/login_commands.h"
#include "webadmin/service_commands.h"
#include "webadmin/tests/support/web_admin_fixture.h"
#include "webadmin/web_admin.h"

namespace {

using testsupport::Eventually;
using testsupport::ReadWhole;
using testsupport::RunCommand;
using webtest::BodyOf;
using webtest::Has;

std::string ProductText(int number) {
    CProductMessageCatalog catalog;
    const char* text = catalog.GetText(number);
    return text == nullptr ? std::string() : text;
}

// The routes as the setting holds them.
std::string Routes() {
    CVornString value;
    if (CVornConfigStore::GetObjectSetting('S', nullptr, kRelayRoutingSetting, value) != 0)
        return "(none)";
    return std::string(value.CStr(), static_cast<size_t>(value.Length()));
}

// True when text is whole debug-log lines and nothing else.
bool OnlyLogLines(const std::string& text) {
    static const std::regex prefix("[0-9]{8} [0-9]{6} [^\r\n]*");
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find("\r\n", start);
        if (end == std::string::npos || !std::regex_match(text.substr(start, end - start), prefix))
            return false;
        start = end + 2;
    }
    return true;
}

class ServiceCommandsTest : public webtest::WebAdminTest {
protected:
    void SetUp() override {
        WebAdminTest::SetUp();
        // The flag is process-wide and never cleared by the service.
        DebugStopFlag.store(0);
        ASSERT_TRUE(g_LogSilent.load()) << "no capture sink may exist before a test";
    }

    void TearDown() override {
        // A stream left running by a failed test ends before the server goes.
        StopDebugStreams();
        (void)Eventually([] { return g_LogSilent.load(); });
        for (std::thread& t : m_Browsers) t.join();
        DebugStopFlag.store(0);
        g_UpdateScheduler = nullptr;
        WebAdminTest::TearDown();
    }

    // curl reading a debug stream for at most seconds: the header block and
    // the body each into a file of their own (curl writes the header block
    // as it comes; what it copies into the body's file starts with the
    // body).
    struct Stream {
        std::string head;
        std::string body;
        std::shared_ptr<std::atomic<bool>> ended;  // curl has returned
    };

    Stream OpenStream(const std::string& query, int seconds) {
        const std::string base = Path("stream" + std::to_string(++m_Streams));
        Stream stream{base + ".head", base + ".body", std::make_shared<std::atomic<bool>>(false)};
        const std::string command = "curl -sS -N --max-time " + std::to_string(seconds) + " -D '" +
                                    stream.head + "' -o '" + stream.body + "' '" + m_Base +
                                    "/Debug" + query + "' 2>&1";
        m_Browsers.emplace_back([command, ended = stream.ended] {
            (void)RunCommand(command);
            ended->store(true);
        });
        return stream;
    }

    static bool HeaderSent(const Stream& stream) {
        return Eventually([&] { return ReadWhole(stream.head) == kDebugHeaderBlock; });
    }

    // The stream has sent its header block and attached its capture sink
    // (the log is no longer silent).
    static bool StreamRunning(const Stream& stream) {
        return HeaderSent(stream) && Eventually([] { return !g_LogSilent.load(); });
    }

    // Ends the running streams as the service stop does and waits until
    // their sinks are gone; the time that took.
    std::chrono::milliseconds StopStreams() {
        const auto start = std::chrono::steady_clock::now();
        StopDebugStreams();
        EXPECT_TRUE(Eventually([] { return g_LogSilent.load(); }, std::chrono::seconds(5)));
        const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - start);
        for (std::thread& t : m_Browsers) t.join();
        m_Browsers.clear();
        DebugStopFlag.store(0);
        return took;
    }

    std::vector<std::thread> m_Browsers;
    int m_Streams = 0;
};

// ---- Debug

TEST_F(ServiceCommandsTest, DebugRefusesUnlessTheSettingIsExactlyOne) {
    const std::string refusal = std::string(kDebugHeaderBlock) + kDebugRefusal;
    for (const char* setting :
         {"", "MailVornAllowDebug=2", "MailVornAllowDebug=0", "MailVornAllowDebug=no"}) {
        SCOPED_TRACE(setting);
        Configure(setting);
        // Exactly the fixed texts: the HTTP layer adds nothing of its own.
        EXPECT_EQ(refusal, Get("/Debug?level=7"));
        EXPECT_EQ(refusal, Get("/Debug", LogIn()));
    }
    // A HEAD request gets the header block alone, refused or not.
    Configure("");
    EXPECT_EQ(kDebugHeaderBlock, RunCommand("curl -sS -I --max-time 10 '" + m_Base + "/Debug'"));
    Configure("MailVornAllowDebug=1");
    EXPECT_EQ(kDebugHeaderBlock, RunCommand("curl -sS -I --max-time 10 '" + m_Base + "/Debug'"));
    EXPECT_TRUE(g_LogSilent.load()) << "a HEAD request starts no stream";
}

TEST_F(ServiceCommandsTest, DebugStreamsTheLinesUpToItsLevel) {
    Configure("MailVornAllowDebug=1");
    struct Case {
        const char* query;
        int highest;  // the highest level streamed
    } cases[] = {
        {"", 4},         {"?level=0", 4}, {"?level=-3", 4}, {"?level=x", 4},
        {"?level=6", 6}, {"?level=7", 7}, {"?level=9", 7},  {"?level=99999999999999999999", 7},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.query);
        const Stream stream = OpenStream(c.query, 30);
        ASSERT_TRUE(StreamRunning(stream));
        const std::string tag = "svc-stream-" + std::to_string(n++) + "-level-";
        for (int level = kLogFatal; level <= kLogDebug; ++level)
            LogText(level, (tag + std::to_string(level)).c_str());
        // Lines reach the sink in order: once this one is out, all are.
        const std::string last = tag + "end";
        LogText(kLogFatal, last.c_str());
        ASSERT_TRUE(Eventually([&] { return Has(ReadWhole(stream.body), last); }));
        EXPECT_LT(StopStreams(), std::chrono::milliseconds(2000))
            << "the stop is seen within a second";

        const std::string body = ReadWhole(stream.body);
        for (int level = kLogFatal; level <= kLogDebug; ++level)
            EXPECT_EQ(level <= c.highest, Has(body, tag + std::to_string(level) + "\r\n"))
                << "level " << level << ":\n"
                << body;
        // Nothing but log lines: no status line or page of the HTTP layer
        // once the stream has ended.
        EXPECT_TRUE(OnlyLogLines(body)) << body;
    }
}

TEST_F(ServiceCommandsTest, AQuietStreamSendsTheKeepAliveLineAfterTwentyOneSeconds) {
    Configure("MailVornAllowDebug=1");
    // Level 1: nothing else the process logs meanwhile reaches this stream.
    const Stream stream = OpenStream("?level=1", 40);
    ASSERT_TRUE(StreamRunning(stream));
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(
        Eventually([&] { return !ReadWhole(stream.body).empty(); }, std::chrono::seconds(30)));
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::seconds(19));
    EXPECT_LE(waited, std::chrono::seconds(24));
    EXPECT_EQ(kDebugKeepAlive, ReadWhole(stream.body));
    StopStreams();
}

TEST_F(ServiceCommandsTest, ABrowserThatGoesAwayEndsItsStreamAtTheNextWrites) {
    Configure("MailVornAllowDebug=1");
    const Stream stream = OpenStream("?level=7", 2);
    ASSERT_TRUE(StreamRunning(stream));
    ASSERT_TRUE(Eventually([&] { return stream.ended->load(); }));  // curl gave up and closed
    // The stream notices only when it writes: keep it writing.
    const bool gone = Eventually(
        [] {
            LogText(kLogDebug, "svc-after-the-browser-left");
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            return g_LogSilent.load();
        },
        std::chrono::seconds(10));
    EXPECT_TRUE(gone) << "the stream still holds its worker";
}

TEST_F(ServiceCommandsTest, StopDebugStreamsEndsEveryStreamAndLaterOnesAtOnce) {
    Configure("MailVornAllowDebug=1");
    // Both streams and the last request come from one address.
    m_Server->SetAddressCap(3);
    const Stream first = OpenStream("", 30);
    ASSERT_TRUE(StreamRunning(first));
    const Stream second = OpenStream("?level=2", 30);
    ASSERT_TRUE(HeaderSent(second));

    const auto start = std::chrono::steady_clock::now();
    StopDebugStreams();
    ASSERT_TRUE(Eventually([&] { return first.ended->load() && second.ended->load(); },
                           std::chrono::seconds(5)));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2000));
    EXPECT_TRUE(g_LogSilent.load());

    // The flag stays: a stream asked for now ends right after its header.
    EXPECT_EQ(kDebugHeaderBlock, Get("/Debug?level=7"));
    StopStreams();
}

// ---- EditRoutingList

class RoutingListTest : public ServiceCommandsTest {
protected:
    void SetUp() override {
        ServiceCommandsTest::SetUp();
        Page(kRelayListPage, "\r\n<p>relay list</p>\n");
        // The error page shows the variables it carries back to the form.
        Page("ormadmin_error.mhtml",
             "\r\n<p>error page</p>\n<X-ShowVar error>\n<X-PlaceHiddenVars>");
        Page("ormadmin_login.mhtml",
             "\r\n<p>admin login</p>\n<X-If varstmt=\"action EQ EditRoutingList\">"
             "action=EditRoutingList\n<X-Fi>");
    }
};

TEST_F(RoutingListTest, AddsAndReplacesRoutesAndSavesThem) {
    const std::string cookie = LogIn();
    // A domain alone is a route too.
    std::string page = Post("/EditRoutingList", "RouteHost=plain.example", cookie);
    EXPECT_TRUE(Has(page, "<p>relay list</p>")) << page;
    EXPECT_EQ("plain.example", Routes());

    page = Post("/EditRoutingList",
                "RouteHost=old.example&TargetHost=mx.old.example&TargetPort=2525", cookie);
    EXPECT_TRUE(Has(page, "<p>relay list</p>")) << page;
    CRelayRoutingTable before;
    CRelayRoute route;
    ASSERT_TRUE(before.Lookup("old.example", route));
    CVornString host, port;
    route.GetHost(host);
    route.GetPort(port);
    EXPECT_STREQ("mx.old.example", host.CStr());
    EXPECT_STREQ("2525", port.CStr());

    page = Post("/EditRoutingList",
                "OldRouteHost=old.example&RouteHost=new.example&TargetHost=relay.example", cookie);
    EXPECT_TRUE(Has(page, "<p>relay list</p>")) << page;
    CRelayRoutingTable after;
    EXPECT_FALSE(after.Lookup("old.example", route));
    ASSERT_TRUE(after.Lookup("new.example", route));
    EXPECT_TRUE(after.Lookup("plain.example", route));

    // Written to the files: a fresh load has the routes.
    ASSERT_EQ(0, CVornConfigStore::Load(1));
    CRelayRoutingTable reloaded;
    EXPECT_TRUE(reloaded.Lookup("new.example", route));
    EXPECT_FALSE(reloaded.Lookup("old.example", route));
}

TEST_F(RoutingListTest, RefusalsChangeNothingAndCarryTheFormBack) {
    const std::string cookie = LogIn();
    (void)Post("/EditRoutingList", "RouteHost=kept.example", cookie);
    const std::string routes = Routes();
    struct Case {
        const char* fields;
        int number;
    } cases[] = {
        {"RouteHost=&TargetHost=mx.example&TargetPort=25", kMsgRouteNoDomain},
        {"RouteHost=d.example&TargetPort=25", kMsgRoutePortWithoutHost},
        {"RouteHost=d.example&TargetHost=mx.example&TargetPort=70000", kMsgRouteBadPort},
        {"RouteHost=d.example&TargetHost=mx.example&TargetPort=0", kMsgRouteBadPort},
        {"RouteHost=d.example&TargetHost=mx.example&TargetPort=25x", kMsgRouteBadPort},
        {"RouteHost=d.example&TargetHost=mx.example&TargetPort=+25", kMsgRouteBadPort},
        // Texts the setting cannot hold: they would split into other routes.
        {"RouteHost=d.example%0Aevil.example&TargetHost=mx.example", kMsgWebNotWritten},
        {"RouteHost=d.example&RouteHost=e.example", kMsgWebNotWritten},
        {"OldRouteHost=kept.example&RouteHost=d.example&TargetHost=mx%0D.example",
         kMsgWebNotWritten},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fields);
        const std::string body = BodyOf(Post("/EditRoutingList", c.fields, cookie));
        EXPECT_TRUE(Has(body, "<p>error page</p>\n" + ProductText(c.number) + "\n")) << body;
        EXPECT_EQ(routes, Routes());
    }

    // The four values and the referring page come back as hidden fields.
    const std::string body = BodyOf(Post("/EditRoutingList",
                                         "referer=relayform_a.mhtml&RouteHost=d.example&"
                                         "OldRouteHost=o.example&TargetHost=mx.example&"
                                         "TargetPort=70000",
                                         cookie));
    for (const char* field :
         {"name=\"what\" value=\"relayform_a.mhtml\"", "name=\"RouteHost\" value=\"d.example\"",
          "name=\"OldRouteHost\" value=\"o.example\"", "name=\"TargetHost\" value=\"mx.example\"",
          "name=\"TargetPort\" value=\"70000\""})
        EXPECT_TRUE(Has(body, field)) << field << "\n" << body;
    EXPECT_EQ(routes, Routes());
}

TEST_F(RoutingListTest, CancelAndMissingSessionChangeNothing) {
    const std::string cookie = LogIn();
    (void)Post("/EditRoutingList", "RouteHost=kept.example", cookie);
    const std::string routes = Routes();

    std::string page =
        Post("/EditRoutingList",
             "CancelRoute=Cancel&RouteHost=new.example&OldRouteHost=kept.example", cookie);
    EXPECT_TRUE(Has(page, "<p>relay list</p>")) << page;
    EXPECT_EQ(routes, Routes());

    page = Post("/EditRoutingList", "RouteHost=new.example&OldRouteHost=kept.example");
    EXPECT_TRUE(Has(page, "<p>admin login</p>")) << page;
    EXPECT_TRUE(Has(page, "action=EditRoutingList")) << page;
    EXPECT_TRUE(Has(page, "Set-Cookie: ZELORM=")) << page;
    EXPECT_EQ(routes, Routes());
}

// ---- ChangePassword

class PasswordTest : public ServiceCommandsTest {
protected:
    void SetUp() override {
        ServiceCommandsTest::SetUp();
        // The referring form shows the refusal and anything of the passwords
        // that a page could still see.
        Page("password_u_l.mhtml",
             "\r\n<p>password form</p>\n[<X-ShowVar loginerror>]\n"
             "<X-If varstmt=\"Oldpass DEF\">old kept\n<X-Fi>"
             "<X-If varstmt=\"Newpass DEF\">new kept\n<X-Fi>"
             "<X-If varstmt=\"Newpass2 DEF\">new2 kept\n<X-Fi>");
        Page(kUserSuccessPage, "\r\n<p>password changed</p>\n");
        Page("user_login_l.mhtml",
             "\r\n<p>user login</p>\n<X-If varstmt=\"action EQ ChangePassword\">"
             "action=ChangePassword\n<X-Fi>");
    }

    std::string Change(const std::string& oldPassword, const std::string& newPassword,
                       const std::string& newPassword2, const std::string& cookie) {
        return BodyOf(Post("/ChangePassword",
                           "referer=password_u_l.mhtml&Oldpass=" + oldPassword +
                               "&Newpass=" + newPassword + "&Newpass2=" + newPassword2,
                           cookie));
    }

    static bool PasswordIs(const char* password) {
        return CVornConfigStore::CheckPassword(kAdminAccount, password, 1) == 0;
    }
};

TEST_F(PasswordTest, RefusalsShowTheReasonOnTheFormAndKeepThePassword) {
    struct Case {
        const char* system;
        const char* oldPassword;
        const char* newPassword;
        const char* newPassword2;
        int number;
    } cases[] = {
        // Without the right the passwords are not even looked at.
        {"", webtest::kPassword, "n3w", "n3w", kMsgPasswordChangeRefused},
        {"CanChangePassword=0", "wrong", "", "x", kMsgPasswordChangeRefused},
        {"CanChangePassword=1", webtest::kPassword, "", "", kMsgNewPasswordEmpty},
        {"CanChangePassword=1", webtest::kPassword, "n3w", "N3w", kMsgNewPasswordsDiffer},
        {"CanChangePassword=1", "wrong", "n3w", "n3w", kMsgOldPasswordWrong},
        {"CanChangePassword=1", "", "n3w", "n3w", kMsgOldPasswordWrong},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.system) + " " + c.oldPassword + "/" + c.newPassword + "/" +
                     c.newPassword2);
        Configure(c.system);
        const std::string body = Change(c.oldPassword, c.newPassword, c.newPassword2, LogIn());
        EXPECT_TRUE(Has(body, "<p>password form</p>\n[" + ProductText(c.number) + "]\n")) << body;
        EXPECT_FALSE(Has(body, "kept")) << body;
        EXPECT_TRUE(PasswordIs(webtest::kPassword));
    }
}

TEST_F(PasswordTest, ChangesThePasswordAndTheNewOneLogsIn) {
    Configure("CanChangePassword=1");
    const std::string body = Change(webtest::kPassword, "n3w-pw", "n3w-pw", LogIn());
    EXPECT_TRUE(Has(body, "<p>password changed</p>")) << body;
    EXPECT_FALSE(Has(body, "kept")) << body;

    // Saved: the files read again hold the new password only.
    ASSERT_EQ(0, CVornConfigStore::Load(1));
    EXPECT_TRUE(PasswordIs("n3w-pw"));
    EXPECT_FALSE(PasswordIs(webtest::kPassword));
    CVornString id;
    SessionTable.NewId(id);
    ASSERT_EQ(0, SessionTable.Issue(id.CStr(), m_Now));
    EXPECT_EQ(0, SessionTable.Login(kAdminAccount, "n3w-pw", "127.0.0.1",
                                    std::to_string(m_Now).c_str(), id.CStr(), 1, 0));
}

TEST_F(PasswordTest, WithoutASessionNothingChanges) {
    Configure("CanChangePassword=1");
    const std::string page = Post(
        "/ChangePassword", "referer=password_u_l.mhtml&Oldpass=" + std::string(webtest::kPassword) +
                               "&Newpass=n3w&Newpass2=n3w");
    EXPECT_TRUE(Has(page, "<p>user login</p>\naction=ChangePassword")) << page;
    EXPECT_TRUE(PasswordIs(webtest::kPassword));
    // A bare GET goes to the top page.
    EXPECT_TRUE(Has(Get("/ChangePassword"), "/Display?what=otop.html"));
}

// ---- VirusDefDownload

class DefinitionUpdateTest : public ServiceCommandsTest {
protected:
    void SetUp() override {
        ServiceCommandsTest::SetUp();
        Page(kSuccessPage, "\r\n<p>success</p>\n[<X-ShowVar Message>]\n");
        Page("ormadmin_login.mhtml",
             "\r\n<p>admin login</p>\nissued=<X-ShowVar issued>\n"
             "<X-If varstmt=\"action EQ VirusDefDownload\">action=VirusDefDownload\n<X-Fi>");
        CUpdateScheduler::Options options;
        options.launcherPath = "/bin/true";
        options.startThread = false;
        m_Scheduler = std::make_unique<CUpdateScheduler>("ZELORM", nullptr, options);
        g_UpdateScheduler = m_Scheduler.get();
    }

    void TearDown() override {
        g_UpdateScheduler = nullptr;
        m_Scheduler.reset();
        ServiceCommandsTest::TearDown();
    }

    // One check of the scheduler, as its thread makes them: the updates run
    // so far.
    unsigned long UpdatesAfterACheck() {
        m_Scheduler->Check();
        return m_Scheduler->UpdatesRun();
    }

    std::unique_ptr<CUpdateScheduler> m_Scheduler;
};

TEST_F(DefinitionUpdateTest, ABareRequestWithASessionAsksForAnUpdate) {
    ASSERT_EQ(0u, UpdatesAfterACheck());
    const std::string body = BodyOf(Get("/VirusDefDownload", LogIn()));
    EXPECT_EQ("<p>success</p>\n[" + std::string(GetCatalogText(kMsgUpdateRequested)) + "]\n", body);
    EXPECT_EQ(1u, UpdatesAfterACheck());
}

TEST_F(DefinitionUpdateTest, WithoutASessionTheUpdateWaitsForTheLogin) {
    const std::string page = Get("/VirusDefDownload");
    EXPECT_TRUE(Has(page, "action=VirusDefDownload")) << page;
    EXPECT_EQ(0u, UpdatesAfterACheck());

    // The login page posts back with its carried "action": the command runs.
    std::smatch cookie, issued;
    ASSERT_TRUE(std::regex_search(page, cookie, std::regex("Set-Cookie: ZELORM=([0-9]+);")));
    ASSERT_TRUE(std::regex_search(page, issued, std::regex("issued=([0-9]+)")));
    const std::string body =
        BodyOf(Post("/Authenticate",
                    "password=" + std::string(webtest::kPassword) + "&issued=" + issued[1].str() +
                        "&action=VirusDefDownload",
                    cookie[1].str()));
    EXPECT_TRUE(Has(body, "<p>success</p>")) << body;
    EXPECT_EQ(1u, UpdatesAfterACheck());
}

TEST_F(DefinitionUpdateTest, WithoutASchedulerTheErrorPageSaysSo) {
    g_UpdateScheduler = nullptr;
    const std::string body = BodyOf(Get("/VirusDefDownload", LogIn()));
    EXPECT_TRUE(
        Has(body, "<p>error page</p>\n" + std::string(GetCatalogText(kMsgUpdateNoScheduler))))
        << body;
    EXPECT_EQ(0u, UpdatesAfterACheck());
}

}  // namespace
