// ModifyObj served by a real CVornHTTPServer and posted to by curl: the
// form's fields land in the real configuration store (memory and files),
// the registry file and the running servers (the test's own web server,
// and SMTP and POP3 servers started in this process).
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "config/config_store.h"
#include "core/message_catalog.h"
#include "core/tests/support/files.h"
#include "gateway/pop3_server.h"
#include "gateway/relay_routes.h"
#include "gateway/scan_settings.h"
#include "gateway/smtp_server.h"
#include "gateway/spool_queue.h"
#include "platform/registry.h"
#include "webadmin/login_commands.h"
#include "webadmin/object_modification.h"
#include "webadmin/tests/support/web_admin_fixture.h"
#include "webadmin/web_admin.h"

namespace {

using testsupport::ReadWhole;
using webtest::BodyOf;
using webtest::Has;

const std::string kNone = "<none>";

// Every byte but letters and digits percent-encoded, as a form would send it.
std::string Enc(const std::string& text) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (isalnum(c)) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

// A socket listening on every address of a port, so that a server finds it
// taken.
class TakenPort {
public:
    explicit TakenPort(int port) : m_Port(port) {
        m_Fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_ANY);
        if (m_Fd >= 0 && (bind(m_Fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
                          listen(m_Fd, 1) != 0)) {
            close(m_Fd);
            m_Fd = -1;
        }
    }
    ~TakenPort() {
        if (m_Fd >= 0)
            close(m_Fd);
    }
    bool Taken() const { return m_Fd >= 0; }
    int Port() const { return m_Port; }

private:
    int m_Port;
    int m_Fd = -1;
};

class ModifyObjTest : public webtest::WebAdminTest {
protected:
    void SetUp() override {
        WebAdminTest::SetUp();
        Page("ormadmin_success.mhtml", "\r\n<p>success</p>\n");
        Page("portchange_success.mhtml", "\r\n<p>port changed</p>\n");
        Page("configrelay2_a_l.mhtml",
             "\r\n<p>route form</p>\n[<X-ShowVar RouteHost>|<X-ShowVar OldRouteHost>|"
             "<X-ShowVar TargetHost>|<X-ShowVar TargetPort>]\n");
        Page("configrelay_a_l.mhtml", "\r\n<p>route list</p>\n");
        // The error text is HTML that the command escaped where needed.
        Page("ormadmin_error.mhtml", "\r\n<p>error page</p>\n<X-ShowVar error noescape>\n");
        ConfigureWith();
    }

    void TearDown() override {
        g_WebSMTPServer = nullptr;
        g_WebPOP3Server = nullptr;
        WebAdminTest::TearDown();
    }

    // The administrator's configuration with the users "helper" and
    // "Administrator" and a client, plus the system attributes given.
    void ConfigureWith(const std::string& system = "", const std::string& perms = "MADGRS:SUCGLD") {
        Configure(system, perms,
                  {"DUhelper,VirtualAcct=1,ZELORMUser=1,ZELORMPerms=R:U,Note=old,Keep=me",
                   "DUAdministrator,VirtualAcct=1,ZELORMPerms=R:U", "DC10.1.2.3,Note=client"});
    }

    std::string Modify(const std::string& fields, const std::string& cookie) {
        return BodyOf(Post("/ModifyObj", fields, cookie));
    }

    // An attribute of an object in the running store; kNone when missing.
    static std::string Attr(char type, const char* name, const char* attribute) {
        CVornString value;
        if (CVornConfigStore::GetObjectSetting(type, name, attribute, value) != 0)
            return kNone;
        return std::string(value.Data(), static_cast<size_t>(value.Length()));
    }

    std::string SavedConfig() { return ReadWhole(Path("shared-config")); }

    // The registry's "HTTPPort" as its type number and bytes; kNone when
    // missing.
    static std::string RegistryPort() {
        platform::RegValue value;
        if (platform::RegQueryValue("HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvane\\ZELORM", "HTTPPort",
                                    value) != platform::kRegSuccess)
            return kNone;
        return std::to_string(value.type) + ":" + value.data;
    }

    static std::string Base(int number) {
        const char* text = GetCatalogText(number);
        return text ? text : "<missing text>";
    }
    static std::string Product(int number) {
        CProductMessageCatalog catalog;
        const char* text = catalog.GetText(number);
        return text ? text : "<missing text>";
    }

    // How many records (3, 12, 1) were written since the last look.
    int ModifiedRecords() {
        int n = 0;
        for (const auto& r : Records())
            if (r.count(1) && r.at(1) == "3" && r.count(2) && r.at(2) == "12")
                ++n;
        return n;
    }
};

TEST_F(ModifyObjTest, RefusalsShowTheirTextAndRecordNoModification) {
    std::string response = Post("/ModifyObj", "objtype=U&objname=helper&ATTR-Note=x");
    EXPECT_TRUE(Has(response, "admin login")) << response;
    EXPECT_TRUE(Has(response, "Set-Cookie: ZELORM=")) << response;

    const std::string cookie = LogIn();
    struct Case {
        std::string fields;
        std::string text;
    } cases[] = {
        {"objname=helper&ATTR-Note=x", Base(kMsgModifyNoType)},
        {"objtype=&objname=helper&ATTR-Note=x", Base(kMsgModifyNoType)},
        {"objtype=U&ATTR-Note=x", Base(kMsgModifyNoName)},
        // The name comes back escaped.
        {"objtype=U&objname=" + Enc("<b>nobody") + "&ATTR-Note=x",
         "There is no object named &lt;b&gt;nobody."},
        // A system object has the empty name only.
        {"objtype=S&objname=sys&ATTR-Note=x", "There is no object named sys."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fields);
        std::string body = Modify(c.fields, cookie);
        EXPECT_TRUE(Has(body, "error page")) << body;
        EXPECT_TRUE(Has(body, c.text)) << body;
    }
    EXPECT_EQ("old", Attr('U', "helper", "Note"));
    EXPECT_EQ(0, ModifiedRecords());

    // Without "MU": the refusal record, message 84, nothing written.
    ConfigureWith("", "MG:SC");
    const std::string limited = LogIn();
    std::string body = Modify("objtype=U&objname=helper&ATTR-Note=x", limited);
    EXPECT_TRUE(Has(body, Base(kMsgModifyRefused))) << body;
    EXPECT_EQ("old", Attr('U', "helper", "Note"));
    std::vector<webtest::ActivityFields> records = Records();
    ASSERT_EQ(1u, records.size());
    EXPECT_EQ("3", records[0][1]);
    EXPECT_EQ("16", records[0][2]);
    EXPECT_EQ(Base(kMsgModifyRefusalText), records[0][100]);
    EXPECT_EQ("U", records[0][40]);
    EXPECT_EQ("helper", records[0][41]);
    EXPECT_EQ(kAdminAccount, records[0][10]);
    EXPECT_EQ("127.0.0.1", records[0][11]);
}

TEST_F(ModifyObjTest, AttributesAreWrittenSavedAndRecorded) {
    const std::string cookie = LogIn();
    // The plain variable wins over its marker's value; the marker's value
    // serves when there is no plain variable; "--delete--" removes one
    // attribute and keeps the others.
    std::string body = Modify(
        "objtype=U&objname=helper&ATTR-Note=marker&Note=plain&ATTR-Fresh=" + Enc("from marker") +
            "&ATTR-Keep=" + Enc("--delete--") + "&referer=back.mhtml",
        cookie);
    EXPECT_TRUE(Has(body, "success")) << body;
    EXPECT_EQ("plain", Attr('U', "helper", "Note"));
    EXPECT_EQ("from marker", Attr('U', "helper", "Fresh"));
    EXPECT_EQ(kNone, Attr('U', "helper", "Keep"));
    EXPECT_EQ("1", Attr('U', "helper", "ZELORMUser"));
    const std::string saved = SavedConfig();
    EXPECT_TRUE(Has(saved, "Note=plain")) << saved;
    EXPECT_FALSE(Has(saved, "Keep=me")) << saved;

    std::vector<webtest::ActivityFields> records = Records();
    ASSERT_EQ(1u, records.size());
    EXPECT_EQ("3", records[0][1]);
    EXPECT_EQ("12", records[0][2]);
    EXPECT_EQ("1", records[0][3]);
    EXPECT_EQ("U", records[0][40]);
    EXPECT_EQ("helper", records[0][41]);

    // An attribute the store refuses (its name is over the store's bound):
    // 90, and none of the form's other attributes stays in memory.
    body = Modify("objtype=U&objname=helper&ATTR-Note=again&ATTR-" + std::string(1100, 'n') + "=x",
                  cookie);
    EXPECT_TRUE(Has(body, Base(kMsgModifyNotWritten))) << body;
    EXPECT_EQ("plain", Attr('U', "helper", "Note"));
    EXPECT_EQ(0, ModifiedRecords());
}

TEST_F(ModifyObjTest, SystemChangesReloadTheScanSettings) {
    const std::string cookie = LogIn();
    LoadScanSettings();
    EXPECT_FALSE(g_StripAttachments);
    std::string body = Modify("objtype=S&objname=&ATTR-ZELORMStripAttachments=1", cookie);
    EXPECT_TRUE(Has(body, "success")) << body;
    EXPECT_TRUE(g_StripAttachments);
    body = Modify("objtype=S&objname=&ATTR-ZELORMStripAttachments=" + Enc("--delete--"), cookie);
    EXPECT_TRUE(Has(body, "success")) << body;
    EXPECT_FALSE(g_StripAttachments);
}

TEST_F(ModifyObjTest, AuthTimeoutIsKeptWithinOneMinuteToSixtyDays) {
    const std::string cookie = LogIn();
    struct Case {
        const char* entered;
        const char* stored;
    } cases[] = {
        {"0", "5"},         {"-3", "5"},
        {"12a", "5"},       {"", "5"},
        {" 30", "5"},       {"1", "1"},
        {"86399", "86399"}, {"86400", "86400"},
        {"86401", "86400"}, {"99999999999999999999", "86400"},
        {"0060", "0060"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.entered);
        std::string body =
            Modify("objtype=U&objname=helper&ATTR-AuthTimeout=" + Enc(c.entered), cookie);
        EXPECT_TRUE(Has(body, "success")) << body;
        EXPECT_EQ(c.stored, Attr('U', "helper", "AuthTimeout"));
    }
    EXPECT_TRUE(Has(SavedConfig(), "AuthTimeout=0060"));
}

TEST_F(ModifyObjTest, QuotaTakesWholeNumbersAboveZero) {
    const std::string cookie = LogIn();
    struct Case {
        std::string fields;
        std::string stored;  // "MailQuota" afterwards; kNone: refused with 119
    } cases[] = {
        {"UseQuota=Yes&QuotaVal=1.5", kNone},   {"UseQuota=Yes&QuotaVal=0", kNone},
        {"UseQuota=Yes&QuotaVal=12abc", kNone}, {"UseQuota=Yes", kNone},
        {"UseQuota=Yes&QuotaVal=250", "250"},   {"UseQuota=No&QuotaVal=250", "0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fields);
        ConfigureWith();
        std::string body =
            Modify("objtype=U&objname=helper&ATTR-UseQuota=&ATTR-Note=new&" + c.fields, cookie);
        if (c.stored == kNone) {
            EXPECT_TRUE(Has(body, Base(kMsgModifyBadQuota))) << body;
            EXPECT_EQ("old", Attr('U', "helper", "Note"));
        } else {
            EXPECT_TRUE(Has(body, "success")) << body;
            EXPECT_EQ("new", Attr('U', "helper", "Note"));
        }
        EXPECT_EQ(c.stored, Attr('U', "helper", "MailQuota"));
        EXPECT_EQ(kNone, Attr('U', "helper", "UseQuota"));
    }
    // The marker's own value stands in for a missing "UseQuota".
    std::string body =
        Modify("objtype=U&objname=helper&ATTR-UseQuota=Yes&QuotaVal=" + Enc(" 40 "), cookie);
    EXPECT_TRUE(Has(body, "success")) << body;
    EXPECT_EQ("40", Attr('U', "helper", "MailQuota"));
}

TEST_F(ModifyObjTest, PermissionsAreSetOnlyWhereTheUserMayGrantThem) {
    const std::string cookie = LogIn();
    const std::string markers = "&ATTR-NewObjectPerms=&ATTR-NewMethodPerms=&ATTR-Note=new";
    // Two methods of a multiple selection (the request joins repeated values
    // newest first) and one object letter.
    std::string body = Modify("objtype=U&objname=helper" + markers +
                                  "&NewMethodPerms=M&NewMethodPerms=D&NewObjectPerms=U",
                              cookie);
    EXPECT_TRUE(Has(body, "success")) << body;
    EXPECT_EQ("DM:U", Attr('U', "helper", "ZELORMPerms"));
    EXPECT_EQ(kNone, Attr('U', "helper", "NewObjectPerms"));
    // Nothing selected: no permissions at all.
    body = Modify("objtype=U&objname=helper" + markers, cookie);
    EXPECT_TRUE(Has(body, "success")) << body;
    EXPECT_EQ("", Attr('U', "helper", "ZELORMPerms"));

    // Nobody changes his own permissions or those of "Administrator"; the
    // rest of the form is written and the page is the success page.
    struct Case {
        const char* name;
    } own[] = {{"QUENDRIAL"}, {"administrator"}};
    for (const Case& c : own) {
        SCOPED_TRACE(c.name);
        const std::string before = Attr('U', c.name, "ZELORMPerms");
        body = Modify(std::string("objtype=U&objname=") + c.name + markers +
                          "&NewMethodPerms=R&NewObjectPerms=U",
                      cookie);
        EXPECT_TRUE(Has(body, "success")) << body;
        EXPECT_EQ(before, Attr('U', c.name, "ZELORMPerms"));
        EXPECT_EQ("new", Attr('U', c.name, "Note"));
    }
    // A plain "ZELORMPerms" in any spelling is held back the same way.
    body = Modify("objtype=U&objname=quendrial&ATTR-zelormperms=" + Enc("*:*"), cookie);
    EXPECT_TRUE(Has(body, "success")) << body;
    EXPECT_EQ("MADGRS:SUCGLD", Attr('U', "quendrial", "ZELORMPerms"));
    // A NUL byte after the name does not make it another's: the store would
    // read the name only up to it (such variables never reach a command).
    body = Modify("objtype=U&objname=quendrial%00&ATTR-ZELORMPerms=" + Enc("*:*"), cookie);
    EXPECT_EQ("MADGRS:SUCGLD", Attr('U', "quendrial", "ZELORMPerms")) << body;
    EXPECT_FALSE(Has(SavedConfig(), "*:*"));

    // Without "GU" the permissions stay, the other attributes are written.
    ConfigureWith("", "M:U");
    const std::string limited = LogIn();
    body = Modify("objtype=U&objname=helper" + markers + "&NewMethodPerms=M&NewObjectPerms=S",
                  limited);
    EXPECT_TRUE(Has(body, "success")) << body;
    EXPECT_EQ("R:U", Attr('U', "helper", "ZELORMPerms"));
    EXPECT_EQ("new", Attr('U', "helper", "Note"));

    // Nor does a NUL byte in the marker's name get round the "GU" check.
    body = Modify("objtype=U&objname=helper&ATTR-ZELORMPerms%00x=MADGRS:SUCGLD", limited);
    EXPECT_EQ("R:U", Attr('U', "helper", "ZELORMPerms")) << body;
}

TEST_F(ModifyObjTest, TextAreasBecomeSeparatedListsAndSubjectsLoseQuotes) {
    const std::string cookie = LogIn();
    const std::string fields =
        "objtype=S&objname=&ATTR-Domain=&ATTR-OtherDomains=&ATTR-BounceBlurb=&ATTR-RelayRouting="
        "&ATTR-ZELORMRazoVidezAdminSubject=&ATTR-ZELORMRazoVidezSenderSubject=" +
        Enc("Marker \"value\"") + "&Domain=" + Enc("\r\n\r\n a.example \r\n\r\n\tb.example\r\n") +
        "&OtherDomains=" + Enc("x.example\r\n\r\n  \r\ny.example\r\n\r\n") +
        "&BounceBlurb=" + Enc("  Dear sender, \r\n\r\n  sorry. \t ") +
        "&RelayRouting=" + Enc("a.example -> mx.example\r\nb.example -> mx2.example:2525") +
        "&ZELORMRazoVidezAdminSubject=" + Enc("Virus \"found\"");
    std::string body = Modify(fields, cookie);
    EXPECT_TRUE(Has(body, "success")) << body;
    // Empty lines inside a text stay as empty entries, leading ones go; a
    // list keeps no empty entry; the blurb keeps its blanks.
    EXPECT_EQ(
        "a.example\x1C\x1C"
        "b.example",
        Attr('S', nullptr, "Domain"));
    EXPECT_EQ("x.example\x1Cy.example", Attr('S', nullptr, "OtherDomains"));
    EXPECT_EQ("  Dear sender, \x1C\x1C  sorry.", Attr('S', nullptr, "BounceBlurb"));
    CRelayRoutingTable table;
    CRelayRoute route;
    ASSERT_TRUE(table.Lookup("b.example", route));
    CVornString port;
    route.GetPort(port);
    EXPECT_STREQ("2525", port.CStr());
    EXPECT_EQ("Virus  found ", Attr('S', nullptr, "ZELORMRazoVidezAdminSubject"));
    EXPECT_EQ("Marker  value ", Attr('S', nullptr, "ZELORMRazoVidezSenderSubject"));
}

TEST_F(ModifyObjTest, WebPortIsCheckedAndNeverWrittenAsAnAttribute) {
    const std::string cookie = LogIn();
    const std::string registry = RegistryPort();
    ASSERT_NE(kNone, registry);
    for (const char* port : {"0", "65536", "99999999999", "", "80x", "-80"}) {
        SCOPED_TRACE(port);
        std::string body = Modify(
            std::string("objtype=S&objname=&ATTR-Note=new&ATTR-HTTPPort=&HTTPPort=") + Enc(port),
            cookie);
        EXPECT_TRUE(Has(body, Base(kMsgModifyBadPort))) << body;
        EXPECT_EQ(kNone, Attr('S', nullptr, "Note"));
    }
    // The registry's own port (a number value) is no change.
    std::string body = Modify("objtype=S&objname=&ATTR-Note=new&ATTR-HTTPPort=" +
                                  Enc(" " + std::to_string(m_Port) + "\t"),
                              cookie);
    EXPECT_TRUE(Has(body, "<p>success</p>")) << body;
    EXPECT_EQ("new", Attr('S', nullptr, "Note"));
    EXPECT_EQ(kNone, Attr('S', nullptr, "HTTPPort"));
    EXPECT_EQ(registry, RegistryPort());
}

TEST_F(ModifyObjTest, WebServerMovesToTheNewPortOrKeepsTheOld) {
    const std::string cookie = LogIn();
    const std::string registry = RegistryPort();
    ASSERT_NE(kNone, registry);

    // A taken port: the attributes are saved, the registry is put back and
    // the server stays where it was.
    TakenPort taken(webtest::FreePort());
    ASSERT_TRUE(taken.Taken());
    std::string body = Modify(
        "objtype=S&objname=&ATTR-Note=first&ATTR-HTTPPort=" + std::to_string(taken.Port()), cookie);
    EXPECT_TRUE(Has(body, Base(kMsgModifyPortNotMoved))) << body;
    EXPECT_TRUE(Has(SavedConfig(), "Note=first"));
    EXPECT_EQ(registry, RegistryPort());
    EXPECT_EQ(0, ModifiedRecords());

    // A free port: the registry holds it and the server answers there.
    const int port = webtest::FreePort();
    ASSERT_NE(0, port);
    body = Modify(
        "objtype=S&objname=&ATTR-Note=second&HTTPPort=" + std::to_string(port) + "&ATTR-HTTPPort=1",
        cookie);
    EXPECT_TRUE(Has(body, "port changed")) << body;
    EXPECT_EQ(std::to_string(platform::kRegSz) + ":" + std::to_string(port), RegistryPort());
    EXPECT_EQ(1, ModifiedRecords());
    m_Base = "http://127.0.0.1:" + std::to_string(port);
    std::string moved = Get("/Display?what=ormadmin_success.mhtml");
    EXPECT_TRUE(Has(moved, "200")) << moved;
    EXPECT_TRUE(Has(moved, "success")) << moved;
}

TEST_F(ModifyObjTest, RouteButtonsShowTheRoutePagesAndWriteNoAttributes) {
    ConfigureWith(
        "RelayRouting=a.example -> mx.example:2525\x1C"
        "b.example -> mx2.example");
    const std::string cookie = LogIn();
    const std::string registry = RegistryPort();
    const std::string other = std::to_string(webtest::FreePort());

    std::string body =
        Modify("objtype=S&objname=&AddRoute=Add&ATTR-Note=new&ATTR-HTTPPort=" + other, cookie);
    EXPECT_TRUE(Has(body, "route form")) << body;
    EXPECT_EQ(kNone, Attr('S', nullptr, "Note"));
    EXPECT_EQ(registry, RegistryPort());

    body = Modify("objtype=S&objname=&EditRoute=Edit&ATTR-Note=new&RelayRoute=" +
                      Enc("a.example -> mx.example:2525"),
                  cookie);
    EXPECT_TRUE(Has(body, "[a.example|a.example|mx.example|2525]")) << body;
    EXPECT_EQ(kNone, Attr('S', nullptr, "Note"));

    // Removing a route needs the system object's permission.
    ConfigureWith(
        "RelayRouting=a.example -> mx.example:2525\x1C"
        "b.example -> mx2.example",
        "MADGR:UCGLD");
    const std::string usersOnly = LogIn();
    body = Modify("objtype=U&objname=helper&DeleteRoute=Delete&RelayRoute=" +
                      Enc("a.example -> mx.example:2525"),
                  usersOnly);
    EXPECT_TRUE(Has(body, Base(kMsgModifyRefused))) << body;
    CRelayRoute route;
    EXPECT_TRUE(CRelayRoutingTable().Lookup("a.example", route));

    ConfigureWith(
        "RelayRouting=a.example -> mx.example:2525\x1C"
        "b.example -> mx2.example");
    const std::string admin = LogIn();
    body = Modify("objtype=S&objname=&DeleteRoute=Delete&ATTR-Note=new&RelayRoute=" +
                      Enc("a.example -> mx.example:2525"),
                  admin);
    EXPECT_TRUE(Has(body, "route list")) << body;
    EXPECT_EQ(kNone, Attr('S', nullptr, "Note"));
    EXPECT_FALSE(CRelayRoutingTable().Lookup("a.example", route));
    EXPECT_TRUE(CRelayRoutingTable().Lookup("b.example", route));
    // The removal is in the files.
    ASSERT_EQ(0, CVornConfigStore::Load(1));
    EXPECT_FALSE(CRelayRoutingTable().Lookup("a.example", route));
    EXPECT_EQ(0, ModifiedRecords());
}

TEST_F(ModifyObjTest, QuarantineServerNeedsAddressAndPortTogether) {
    const std::string cookie = LogIn();
    const std::string saved = SavedConfig();
    struct Case {
        std::string fields;
        int number;  // 0: accepted
    } cases[] = {
        {"ATTR-ZELORMRazoVidezQuarantineServerAddress=" + Enc("q.example"),
         kMsgModifyQuarantineNoPort},
        {"ATTR-ZELORMRazoVidezQuarantineServerPort=7777", kMsgModifyQuarantineNoAddress},
        {"ATTR-ZELORMRazoVidezQuarantineServerPort=7777&ZELORMRazoVidezQuarantineServerAddress=" +
             Enc("\r\n") + "&ATTR-ZELORMRazoVidezQuarantineServerAddress=x",
         kMsgModifyQuarantineNoAddress},
        {"ATTR-ZELORMRazoVidezQuarantineServerPort=7777"
         "&ATTR-ZELORMRazoVidezQuarantineServerAddress=q.example",
         0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fields);
        std::string body = Modify("objtype=S&objname=&ATTR-Note=new&" + c.fields, cookie);
        if (c.number != 0) {
            EXPECT_TRUE(Has(body, Product(c.number))) << body;
            // Neither the files nor the running configuration keep the form.
            EXPECT_EQ(saved, SavedConfig());
            EXPECT_EQ(kNone, Attr('S', nullptr, "Note"));
            EXPECT_EQ(kNone, Attr('S', nullptr, "ZELORMRazoVidezQuarantineServerPort"));
        } else {
            EXPECT_TRUE(Has(body, "success")) << body;
            EXPECT_EQ("7777", Attr('S', nullptr, "ZELORMRazoVidezQuarantineServerPort"));
        }
    }
}

TEST_F(ModifyObjTest, PasswordsMustAgreeAndAreSetAtOnce) {
    const std::string cookie = LogIn();
    std::string body =
        Modify("objtype=U&objname=helper&Newpass=one1&Newpass2=one2&ATTR-Note=new", cookie);
    EXPECT_TRUE(Has(body, Product(kMsgModifyPasswordsDiffer))) << body;
    EXPECT_EQ("old", Attr('U', "helper", "Note"));
    EXPECT_EQ(kNone, Attr('U', "helper", "Password"));

    Page("ormadmin_success.mhtml", "\r\n<p>success</p>[<X-ShowVar Newpass>]\n");
    body = Modify("objtype=U&objname=helper&Newpass=n3w!pw&Newpass2=n3w!pw&ATTR-Note=new", cookie);
    EXPECT_TRUE(Has(body, "success</p>[]")) << body;
    EXPECT_EQ("new", Attr('U', "helper", "Note"));
    // Set in the files too.
    ASSERT_EQ(0, CVornConfigStore::Load(1));
    EXPECT_EQ(0, CVornConfigStore::CheckPassword("helper", "n3w!pw", 1));
    EXPECT_NE(0, CVornConfigStore::CheckPassword("helper", "one1", 1));
}

// The system object's SMTP settings reach a real SMTP server running in
// this process: a port it cannot listen on shows its own message and saves
// nothing; a free one moves it.
TEST_F(ModifyObjTest, SystemChangesReconfigureTheSmtpServer) {
    const int first = webtest::FreePort();
    ASSERT_NE(0, first);
    ConfigureWith("SMTPPort=" + std::to_string(first) + ",SMTPIncoming=1,SMTPOutgoing=1");
    std::filesystem::create_directories(Path("mail"));
    CMessageQueue fast("fastq", Path("mail").c_str());
    CMessageQueue slow("slowq", Path("mail").c_str());
    auto smtp = std::make_unique<SMTP>(nullptr, &fast, &slow, Path("mail").c_str());
    ASSERT_TRUE(smtp->Start());
    g_WebSMTPServer = smtp.get();
    const std::string cookie = LogIn();
    const std::string saved = SavedConfig();

    TakenPort taken(webtest::FreePort());
    ASSERT_TRUE(taken.Taken());
    std::string body = Modify(
        "objtype=S&objname=&ATTR-Note=new&ATTR-SMTPPort=" + std::to_string(taken.Port()), cookie);
    EXPECT_TRUE(Has(body, Product(kSmtpConfigPortNotBound))) << body;
    EXPECT_EQ(saved, SavedConfig());
    EXPECT_EQ(std::to_string(first), Attr('S', nullptr, "SMTPPort"));
    EXPECT_EQ(kNone, Attr('S', nullptr, "Note"));
    EXPECT_EQ(first, smtp->GetPort());

    const int second = webtest::FreePort();
    ASSERT_NE(0, second);
    body =
        Modify("objtype=S&objname=&ATTR-Note=new&ATTR-SMTPPort=" + std::to_string(second), cookie);
    EXPECT_TRUE(Has(body, "success")) << body;
    EXPECT_EQ(second, smtp->GetPort());
    EXPECT_TRUE(Has(SavedConfig(), "SMTPPort=" + std::to_string(second)));
    EXPECT_EQ(1, ModifiedRecords());

    g_WebSMTPServer = nullptr;
    smtp->Stop();
}

// A POP3 server handed to the administration takes the system object's
// settings after SMTP: its refusal shows its own message, saves nothing and
// puts the SMTP server back on the port it had; a free port moves both.
TEST_F(ModifyObjTest, SystemChangesReconfigureThePop3ServerAfterSmtp) {
    const int smtpPort = webtest::FreePort();
    const int popPort = webtest::FreePort();
    const int newSmtpPort = webtest::FreePort();
    for (int port : {smtpPort, popPort, newSmtpPort}) ASSERT_NE(0, port);
    ConfigureWith(
        "SMTPPort=" + std::to_string(smtpPort) +
        ",SMTPIncoming=1,SMTPOutgoing=1,POPIncoming=1,POPPort=" + std::to_string(popPort));
    std::filesystem::create_directories(Path("mail"));
    CMessageQueue fast("fastq", Path("mail").c_str());
    CMessageQueue slow("slowq", Path("mail").c_str());
    auto smtp = std::make_unique<SMTP>(nullptr, &fast, &slow, Path("mail").c_str());
    ASSERT_TRUE(smtp->Start());
    auto pop3 = std::make_unique<POP3>();
    ASSERT_EQ(0, pop3->Start());
    g_WebSMTPServer = smtp.get();
    g_WebPOP3Server = pop3.get();
    const std::string cookie = LogIn();
    const std::string saved = SavedConfig();

    TakenPort taken(webtest::FreePort());
    ASSERT_TRUE(taken.Taken());
    struct Case {
        std::string port;
        int text;
    } cases[] = {
        {"70000", kPop3ConfigBadPort},
        {std::to_string(taken.Port()), kPop3ConfigPortNotBound},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.port);
        std::string body =
            Modify("objtype=S&objname=&ATTR-Note=new&ATTR-SMTPPort=" + std::to_string(newSmtpPort) +
                       "&ATTR-POPPort=" + c.port,
                   cookie);
        EXPECT_TRUE(Has(body, Product(c.text))) << body;
        EXPECT_EQ(saved, SavedConfig());
        EXPECT_EQ(std::to_string(popPort), Attr('S', nullptr, "POPPort"));
        EXPECT_EQ(kNone, Attr('S', nullptr, "Note"));
        EXPECT_EQ(popPort, pop3->GetPort());
        EXPECT_EQ(smtpPort, smtp->GetPort());
    }

    const int newPopPort = webtest::FreePort();
    ASSERT_NE(0, newPopPort);
    std::string body = Modify("objtype=S&objname=&ATTR-SMTPPort=" + std::to_string(newSmtpPort) +
                                  "&ATTR-POPPort=" + std::to_string(newPopPort),
                              cookie);
    EXPECT_TRUE(Has(body, "success")) << body;
    EXPECT_EQ(newPopPort, pop3->GetPort());
    EXPECT_EQ(newSmtpPort, smtp->GetPort());
    EXPECT_TRUE(Has(SavedConfig(), "POPPort=" + std::to_string(newPopPort)));
    EXPECT_EQ(1, ModifiedRecords());

    g_WebSMTPServer = nullptr;
    g_WebPOP3Server = nullptr;
    smtp->Stop();
    pop3->Stop();
}

}  // namespace
