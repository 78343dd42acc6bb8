// The object commands AddObj and DeleteObj under a real CVornHTTPServer,
// driven by curl with a logged-in session: objects made and deleted in the
// configuration and its files, the records, the result and error pages, and
// the users, whom the mail store of this system never enrolls.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "config/config_store.h"
#include "core/tests/support/files.h"
#include "core/tests/support/scoped_env.h"
#include "gateway/address_book.h"
#include "net/dns_lookup.h"
#include "net/dns_resolver.h"
#include "webadmin/tests/support/web_admin_fixture.h"

namespace {

namespace fs = std::filesystem;
using testsupport::ReadWhole;
using testsupport::WriteWhole;
using webtest::ActivityFields;
using webtest::BodyOf;
using webtest::Has;
typedef CVornConfigStore Store;

// The 0x1C list separator and a backslash, as a form sends them.
const std::string kSep = "%1C";
const std::string kBackslash = "%5C";

class ObjectCommandsTest : public webtest::WebAdminTest {
protected:
    void SetUp() override {
        WebAdminTest::SetUp();
        // The error page shows its text as the HTML it is.
        Page("ormadmin_error.mhtml", "\r\n<p>error page</p>\n<X-ShowVar error noescape>\n");
        Page("objects_a.mhtml", "\r\n<p>objects page</p>\n");
        Page("ormadmin_success.mhtml", "\r\n<p>success page</p>\n");
        Page("list_mod2_a.mhtml", "\r\n<p>new list <X-ShowVar Mailbox></p>\n");
        m_Cookie = LogIn();
    }

    // The page body of a command posted with the session's cookie.
    std::string Command(const std::string& command, const std::string& fields) {
        return BodyOf(Post("/" + command, fields, m_Cookie));
    }

    // Configures the administrator with perms and the further lines, and
    // logs in again.
    void Reconfigure(const std::vector<std::string>& lines,
                     const std::string& perms = "MADGRS:SUCGLD") {
        Configure("", perms, lines);
        m_Cookie = LogIn();
    }

    static bool Exists(char type, const char* name) { return Store::ObjectExists(type, name) != 0; }

    static std::string Setting(char type, const char* name, const char* setting) {
        CVornString value;
        if (Store::GetObjectSetting(type, name, setting, value) != 0)
            return "<none>";
        return value.CStr();
    }

    // Whether one of records has the event, status and name.
    static bool HasRecord(const std::vector<ActivityFields>& records, int event, int status,
                          const std::string& name) {
        for (const ActivityFields& r : records) {
            auto field = [&r](int f) { return r.count(f) ? r.at(f) : std::string(); };
            if (field(1) == "3" && field(2) == std::to_string(event) &&
                field(3) == (status ? std::to_string(status) : "") && field(41) == name)
                return true;
        }
        return false;
    }

    std::string m_Cookie;
};

TEST_F(ObjectCommandsTest, CommandsNeedALogin) {
    for (const char* command : {"AddObj", "DeleteObj"}) {
        SCOPED_TRACE(command);
        const std::string response = Post(std::string("/") + command, "objtype=G&objname=staff");
        EXPECT_TRUE(Has(response, "Set-Cookie: ZELORM=")) << response;
        EXPECT_TRUE(Has(BodyOf(response), "admin login")) << response;
    }
    EXPECT_FALSE(Exists('G', "staff"));
}

TEST_F(ObjectCommandsTest, BadRequestsGetTheirErrorText) {
    Reconfigure({"DGstaff,"});
    struct Case {
        const char* command;
        std::string fields;
        const char* text;
    } cases[] = {
        {"AddObj", "objname=x", "The object type is missing"},
        {"AddObj", "objtype=S&objname=x", "The object type is missing"},
        {"AddObj", "objtype=g&objname=x", "The object type is missing"},
        {"AddObj", "objtype=G&objname=bad%3Cname", "The name is missing, not allowed"},
        {"AddObj", "objtype=G", "The name is missing, not allowed"},
        {"AddObj", "objtype=D&objname=" + std::string(128, 'd'),
         "The name is missing, not allowed"},
        {"AddObj", "objtype=C&objname=%20%09", "The name is missing, not allowed"},
        {"AddObj", "objtype=U&objname=pat", "The name is missing, not allowed"},
        {"AddObj", "objtype=Group&objname=STAFF%20%09", "The object exists already."},
        {"DeleteObj", "objname=staff", "The object type is missing"},
        {"DeleteObj", "objtype=S&objname=staff", "The object type is missing"},
        {"DeleteObj", "objtype=G", "No object name was given."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.command) + "?" + c.fields);
        const std::string body = Command(c.command, c.fields);
        EXPECT_TRUE(Has(body, "error page")) << body;
        EXPECT_TRUE(Has(body, c.text)) << body;
    }
    EXPECT_TRUE(Exists('G', "staff"));
    EXPECT_TRUE(Records().empty());
}

TEST_F(ObjectCommandsTest, RefusedPermissionIsRecordedAndChangesNothing) {
    Reconfigure({"DGstaff,"}, "R:SUCGLD");
    std::string body = Command("AddObj", "objtype=G&objname=team");
    EXPECT_TRUE(Has(body, "You do not have the permission")) << body;
    body = Command("DeleteObj", "objtype=G&objname=staff");
    EXPECT_TRUE(Has(body, "You do not have the permission")) << body;
    EXPECT_FALSE(Exists('G', "team"));
    EXPECT_TRUE(Exists('G', "staff"));
    const std::vector<ActivityFields> records = Records();
    ASSERT_EQ(2u, records.size());
    EXPECT_EQ("16", records[0].at(2));
    EXPECT_EQ(0u, records[0].count(3));
    EXPECT_EQ("G", records[0].at(40));
    EXPECT_EQ("team", records[0].at(41));
    EXPECT_EQ("Adding an object refused: missing permission", records[0].at(100));
    EXPECT_EQ("quendrial", records[0].at(10));
    EXPECT_EQ("127.0.0.1", records[0].at(11));
    EXPECT_EQ("Deleting an object refused: missing permission", records[1].at(100));
}

TEST_F(ObjectCommandsTest, ClientIsNamedByItsAddress) {
    // The names resolve through the gateway's own resolver, which here knows
    // no name server: a name under ".invalid" fails at once.
    WriteWhole(Path("resolv.conf"), "");
    testsupport::ScopedEnv resolv{"ZELORM_RESOLV_CONF", Path("resolv.conf")};
    DnsStop();
    DnsInstallHostLookups();

    std::string body = Command("AddObj", "objtype=C&objname=10.1.2.3&referer=objects_a.mhtml");
    EXPECT_TRUE(Has(body, "objects page")) << body;
    EXPECT_TRUE(Exists('C', "10.1.2.3"));
    EXPECT_TRUE(Has(ReadWhole(Path("shared-config")), "DC10.1.2.3"));
    EXPECT_TRUE(HasRecord(Records(), 9, 1, "10.1.2.3"));

    body = Command("AddObj", "objtype=C&objname=10.1.2.3%20");
    EXPECT_TRUE(Has(body, "The object exists already.")) << body;
    body = Command("AddObj", "objtype=C&objname=nohost.zelorm.invalid");
    EXPECT_TRUE(Has(body, "cannot be resolved")) << body;
    EXPECT_FALSE(Exists('C', "nohost.zelorm.invalid"));
    EXPECT_TRUE(Records().empty());
    DnsStop();
}

TEST_F(ObjectCommandsTest, DictionariesGroupsAndListsAreCreatedAndSaved) {
    std::string body = Command("AddObj", "objtype=G&objname=staff%20&referer=objects_a.mhtml");
    EXPECT_TRUE(Has(body, "objects page")) << body;
    body = Command("AddObj", "objtype=D&objname=words&referer=objects_a.mhtml");
    EXPECT_TRUE(Has(body, "objects page")) << body;
    body = Command("AddObj", "objtype=L&objname=news&referer=objects_a.mhtml");
    EXPECT_TRUE(Has(body, "new list news")) << body;
    for (const char* name : {"OWNER-x", "owner-news"}) {
        body = Command("AddObj", std::string("objtype=L&objname=") + name);
        EXPECT_TRUE(Has(body, "The name is missing, not allowed")) << name << body;
    }
    EXPECT_TRUE(Exists('G', "staff"));
    EXPECT_TRUE(Exists('D', "words"));
    EXPECT_TRUE(Exists('L', "news"));
    EXPECT_TRUE(Exists('L', "owner-news"));
    // What memory holds, the files hold.
    ASSERT_EQ(0, Store::Load(1));
    EXPECT_TRUE(Exists('G', "staff"));
    EXPECT_TRUE(Exists('D', "words"));
    EXPECT_TRUE(Exists('L', "owner-news"));
    const std::vector<ActivityFields> records = Records();
    ASSERT_EQ(3u, records.size());
    EXPECT_TRUE(HasRecord(records, 9, 1, "staff"));
    EXPECT_TRUE(HasRecord(records, 9, 1, "words"));
    EXPECT_TRUE(HasRecord(records, 9, 1, "news"));
}

TEST_F(ObjectCommandsTest, ListWhoseOwnerListCannotBeMadeIsNotLeftBehind) {
    ASSERT_EQ(0, Store::AddObject('L', "owner-news", 1));
    const std::string body = Command("AddObj", "objtype=L&objname=news");
    EXPECT_TRUE(Has(body, "The object could not be created.")) << body;
    EXPECT_FALSE(Exists('L', "news"));
    ASSERT_EQ(0, Store::Load(1));
    EXPECT_FALSE(Exists('L', "news"));
    EXPECT_TRUE(Records().empty());
}

TEST_F(ObjectCommandsTest, UsersAreNeverEnrolledWithoutAMailStore) {
    Reconfigure({"DUpat,RealAcct=DOM\\pat,Base=x", "DUkim,RealAcct=DOM\\kim,ZELORMUser=0"});
    struct Case {
        const char* what;
        std::string fields;
        std::vector<std::pair<std::string, std::string>> rows;  // name, reason
    } cases[] = {
        {"two accounts, no name",
         "realuser=DOM" + kBackslash + "a" + kSep + "DOM" + kBackslash + "b",
         {{"a", "The object could not be created."}, {"b", "The object could not be created."}}},
        {"two accounts for one name: one row",
         "objname=c&realuser=x" + kSep + "y",
         {{"c", "The object could not be created."}}},
        {"realusert wins",
         "realusert=t1&realuser=r1",
         {{"t1", "The object could not be created."}}},
        {"a mail user already",
         "realuser=quendrial",
         {{"quendrial", "The object exists already."}}},
        {"enrolled for another account",
         "realuser=DOM2" + kBackslash + "pat",
         {{"pat", "The object exists already."}}},
        {"another account, re-enabled",
         "reenable=1&realuser=DOM2" + kBackslash + "pat",
         {{"pat", "The object could not be created."}}},
        {"its own account",
         "quickndirty=1&realuser=DOM" + kBackslash + "kim",
         {{"kim", "The object could not be created."}}},
        {"a bad name",
         "realuser=DOM" + kBackslash + "bad%3Cb%3Ename",
         {{"bad<b>name", "The name is missing, not allowed or too long."}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string body = Command("AddObj", "objtype=U&" + c.fields);
        EXPECT_TRUE(Has(body, "These users could not be added:<table border=0>")) << body;
        const std::vector<ActivityFields> records = Records();
        EXPECT_EQ(c.rows.size(), records.size());
        for (const auto& [name, reason] : c.rows) {
            std::string escaped = name == "bad<b>name" ? "bad&lt;b&gt;name" : name;
            EXPECT_TRUE(Has(body, "<tr><td>" + escaped + "</td><td>" + reason + "</td></tr>"))
                << body;
            EXPECT_TRUE(HasRecord(records, 9, 2, name)) << name;
        }
    }
    // No user made by a refused enrollment stays; those who were there stay
    // as they were, not marked mail users.
    ASSERT_EQ(0, Store::Load(1));
    for (const char* name : {"a", "b", "c", "t1"}) EXPECT_FALSE(Exists('U', name)) << name;
    EXPECT_EQ("0", Setting('U', "pat", "ZELORMUser"));
    EXPECT_EQ("DOM\\pat", Setting('U', "pat", "RealAcct"));
    EXPECT_EQ("0", Setting('U', "kim", "ZELORMUser"));
    EXPECT_EQ("1", Setting('U', "quendrial", "ZELORMUser"));
}

TEST_F(ObjectCommandsTest, NamesFromTheRequestAreEscapedInTheErrorLists) {
    Reconfigure({"DG<i>team&co,"});
    std::string body = Command(
        "AddObj", "objtype=U&realuser=x" + kBackslash + "%3Cscript%3Ealert(1)%3C/script%3E");
    EXPECT_TRUE(Has(body, "<tr><td>&lt;script&gt;alert(1)&lt;/script&gt;</td>")) << body;
    EXPECT_FALSE(Has(body, "<script>")) << body;
    // An object the store holds under a name it would not accept now cannot
    // be deleted; its name is listed, escaped.
    body = Command("DeleteObj", "objtype=G&objname=%3Ci%3Eteam%26co");
    EXPECT_TRUE(Has(body, "These objects could not be deleted:<br>&lt;i&gt;team&amp;co<br>"))
        << body;
    EXPECT_FALSE(Has(body, "<i>")) << body;
    EXPECT_TRUE(HasRecord(Records(), 10, 2, "<i>team&co"));
}

TEST_F(ObjectCommandsTest, OverLongItemStopsTheCommandBeforeAnyChange) {
    Reconfigure({"DGstaff,"});
    const std::string saved = ReadWhole(Path("shared-config"));
    const std::string longItem(4095, 'n');
    std::string body = Command("DeleteObj", "objtype=G&objname=staff" + kSep + longItem);
    EXPECT_TRUE(Has(body, "The name is missing, not allowed or too long.")) << body;
    body = Command("AddObj", "objtype=U&realuser=DOM" + kBackslash + "a" + kSep + longItem);
    EXPECT_TRUE(Has(body, "The name is missing, not allowed or too long.")) << body;
    EXPECT_TRUE(Exists('G', "staff"));
    EXPECT_FALSE(Exists('U', "a"));
    EXPECT_EQ(saved, ReadWhole(Path("shared-config")));
    EXPECT_TRUE(Records().empty());
    // One character less is an item like any other.
    body = Command("DeleteObj", "objtype=G&objname=staff" + kSep + std::string(4094, 'n'));
    EXPECT_TRUE(Has(body, "success page")) << body;
    EXPECT_FALSE(Exists('G', "staff"));
}

TEST_F(ObjectCommandsTest, DeletingSkipsMissingNamesAndRecordsEachObject) {
    Reconfigure({"DGstaff,", "DGteam,", "DC10.0.0.9,"});
    std::string body = Command("DeleteObj", "objtype=G&objname=nosuch" + kSep + "staff" + kSep +
                                                "TEAM&referer=objects_a.mhtml");
    EXPECT_TRUE(Has(body, "success page")) << body;
    body = Command("DeleteObj", "objtype=C&objname=10.0.0.9");
    EXPECT_TRUE(Has(body, "success page")) << body;
    ASSERT_EQ(0, Store::Load(1));
    EXPECT_FALSE(Exists('G', "staff"));
    EXPECT_FALSE(Exists('G', "team"));
    EXPECT_FALSE(Exists('C', "10.0.0.9"));
    const std::vector<ActivityFields> records = Records();
    ASSERT_EQ(3u, records.size());
    EXPECT_TRUE(HasRecord(records, 10, 1, "staff"));
    EXPECT_TRUE(HasRecord(records, 10, 1, "TEAM"));
    EXPECT_TRUE(HasRecord(records, 10, 1, "10.0.0.9"));
}

TEST_F(ObjectCommandsTest, DeletingAUserRemovesHisBookAndKeepsHimUnlessWipedOut) {
    Reconfigure({"DUpat,RealAcct=DOM\\pat", "DUkim,ZELORMUser=0"});
    fs::create_directories(Path("books/pat"));
    SetAddressBookRoot(Path("books").c_str());
    WriteWhole(Path("books/pat/addressbook.bok"), "# 1 0\r\n");

    std::string body = Command("DeleteObj", "objtype=U&objname=pat" + kSep + "kim");
    EXPECT_TRUE(Has(body, "success page")) << body;
    EXPECT_FALSE(fs::exists(Path("books/pat/addressbook.bok")));
    EXPECT_TRUE(Records().empty());
    // The mail store refuses to delete who is not a mail user, and leaves
    // him as he was.
    body = Command("DeleteObj", "objtype=U&wipeout=1&objname=pat");
    EXPECT_TRUE(Has(body, "These objects could not be deleted:<br>pat<br>")) << body;
    EXPECT_TRUE(HasRecord(Records(), 10, 2, "pat"));
    ASSERT_EQ(0, Store::Load(1));
    EXPECT_TRUE(Exists('U', "pat"));
    EXPECT_TRUE(Exists('U', "kim"));
    EXPECT_EQ("<none>", Setting('U', "pat", "ZELORMUser"));
    EXPECT_EQ("0", Setting('U', "kim", "ZELORMUser"));
}

TEST_F(ObjectCommandsTest, FailedSaveIsReportedAndTheFilesReadAgain) {
    // A configuration that cannot be read again: the store refuses to save
    // over it.
    WriteWhole(Path("shared-config"), "# 9 0\r\nDS,Base=sys\r\n");
    ASSERT_NE(0, Store::Load(1));
    const std::string body = Command("AddObj", "objtype=G&objname=staff");
    EXPECT_TRUE(Has(body, "The configuration could not be saved")) << body;
    EXPECT_TRUE(Records().empty());
}

}  // namespace
