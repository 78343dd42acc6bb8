// The web-mail pages' tags, rendered by the real template processor in
// pages served by the web administration (curl as the browser).
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "core/message_catalog.h"
#include "core/tests/support/files.h"
#include "core/tests/support/scoped_env.h"
#include "gateway/address_book.h"
#include "gateway/mail_users.h"
#include "gateway/mailbox.h"
#include "gateway/mailbox_set.h"
#include "net/mail_message.h"
#include "webadmin/tests/support/web_admin_fixture.h"
#include "webadmin/webmail_listings.h"

namespace {

using webtest::BodyOf;
using webtest::Has;

// A catalogue text of the product's compiled catalogues.
std::string Text(int number) {
    const char* text = GetCatalogText(number);
    return text ? text : "";
}

class WebMailTagsTest : public webtest::WebAdminTest {
protected:
    void SetUp() override {
        WebAdminTest::SetUp();
        // The book root is process-wide; each test points it at its own
        // directory.
        SetAddressBookRoot(Path("books").c_str());
        std::filesystem::create_directories(Path("mail/quendrial"));
        SetMailRoot(Path("mail").c_str());
    }

    void TearDown() override {
        WebAdminTest::TearDown();
        CVornLockGuard guard(g_MailStoreLock);
        MailUserRegistry.Clear();
    }

    // Gives the administrator a mailbox set holding the mailboxes named (the
    // running gateway never makes one: the store stays empty without it).
    void MakeMailboxes(std::initializer_list<const char*> names) {
        auto* entry = new MailUserEntry;
        entry->m_Set = new CMailboxSet(kUser, &CompareMailboxNames);
        {
            CVornLockGuard guard(g_MailStoreLock);
            MailUserRegistry.Insert(CVornString(kUser), entry, DeleteObject<MailUserEntry>);
        }
        for (const char* name : names) ASSERT_EQ(0, CreateMailbox(kUser, name)) << name;
    }

    // Stores a message (header lines, an empty line, the body) in the
    // administrator's mailbox with flags: its uid.
    std::string Deliver(const char* mailbox, const std::string& text, int flags = 1) {
        const std::string path = Path("source" + std::to_string(++m_Sources));
        testsupport::WriteWhole(path, text);
        CVornMailMessage source(path.c_str(), 0, 0, CVornMailMessage::kParseOnOpen,
                                CVornMailMessage::kModeRead);
        EXPECT_EQ(0, source.Open());
        CMailbox* box = OpenMailbox(kUser, mailbox, 0);
        EXPECT_NE(nullptr, box) << mailbox;
        CVornString uid;
        if (box != nullptr) {
            EXPECT_EQ(0, box->Deliver(0, flags, "s@example.org", &source, uid, nullptr));
            CloseMailbox(kUser, mailbox);
        }
        source.Close();
        return uid.CStr();
    }

    // A message with the usual headers; extra header lines go before the
    // empty line.
    static std::string Message(const std::string& subject, const std::string& body = "text\r\n",
                               const std::string& from = "Ann Lee <ann@example.org>",
                               const std::string& extra = "") {
        return "From: " + from + "\r\nTo: Joe <joe@example.org>\r\nSubject: " + subject +
               "\r\nDate: Wed, 03 Jan 2024 10:00:00 +0000\r\nMessage-Id: <" +
               std::to_string(++s_Ids) + "@example.org>\r\n" + extra + "\r\n" + body;
    }

    static constexpr const char* kUser = "quendrial";
    static inline int s_Ids = 0;
    int m_Sources = 0;
    testsupport::ScopedEnv m_Locks{"ZELORM_LOCK_DIR", m_Temp.Path("locks")};

    // The body of a web-mail page made of text, shown by Display for the
    // logged-in administrator; query adds form variables ("&name=value...").
    std::string Render(const std::string& text, const std::string& query = "") {
        Page("mail_u_l.mhtml", "\r\n" + text);
        return BodyOf(Get("/Display?what=mail_u_l.mhtml" + query, LogIn()));
    }

    // The administrator's address book, holding lines after its header.
    void WriteBook(const std::string& lines) {
        std::filesystem::create_directories(Path("books/quendrial"));
        testsupport::WriteWhole(Path("books/quendrial/addressbook.bok"), "# 1 1700000000\r\n" + lines);
    }
};

TEST_F(WebMailTagsTest, AddressBookBoxListsTheEntriesByNameEscaped) {
    const std::string empty = "<select name=\"to\" size=\"1\" >\r\n</select>\r\n";
    // No book yet: the user's folder is missing, so none is made.
    EXPECT_EQ(empty, Render("<X-AddressBookBox name=to>"));

    WriteBook("Zed\x1Czed@example.org\r\n"
              "anna\x1C\"Anna B\" <anna@example.org>\r\n"
              "bob & <co>\x1C" "bob@example.org\r\n");
    EXPECT_EQ("<select name=\"to\" size=\"1\" >\r\n"
              "<option value=\"anna\">anna\r\n"
              "<option value=\"bob &amp; &lt;co&gt;\">bob &amp; &lt;co&gt;\r\n"
              "<option value=\"Zed\">Zed\r\n"
              "</select>\r\n",
              Render("<X-AddressBookBox name=to>"));
    EXPECT_EQ("<select name=\"to\" size=\"3\" multiple>\r\n"
              "<option value=\"&quot;Anna B&quot; &lt;anna@example.org&gt;\">anna\r\n"
              "<option value=\"bob@example.org\">bob &amp; &lt;co&gt;\r\n"
              "<option value=\"zed@example.org\">Zed\r\n"
              "</select>\r\n",
              Render("<X-AddressBookBox name=to size=3 multiple addrValue>"));

    // A book that is not one (no header) lists nothing.
    testsupport::WriteWhole(Path("books/quendrial/addressbook.bok"), "#1\r\nzed\x1Cz@x\r\n");
    EXPECT_EQ(empty, Render("<X-AddressBookBox name=to>"));
}

TEST_F(WebMailTagsTest, AttachmentsBoxListsTheAttachVariables) {
    const std::string r = Render("<X-AttachmentsBox name=att>",
                                 "&ATTACH-report.txt=Report%20%3C1%3E&attach-b.bin=b%22&HDR-To=x");
    EXPECT_EQ(0u, r.rfind("<select name=\"att\" size=\"1\" >\r\n", 0)) << r;
    // Only the exact prefix is removed; value and text are escaped.
    EXPECT_TRUE(Has(r, "<option value=\"report.txt\">Report &lt;1&gt;\r\n")) << r;
    EXPECT_TRUE(Has(r, "<option value=\"attach-b.bin\">b&quot;\r\n")) << r;
    EXPECT_FALSE(Has(r, "HDR")) << r;
    EXPECT_EQ(r.size() - std::string("</select>\r\n").size(), r.rfind("</select>\r\n")) << r;

    EXPECT_EQ("<select name=\"objname\" size=\"1\" >\r\n</select>\r\n",
              Render("<X-AttachmentsBox>"));
}

TEST_F(WebMailTagsTest, ComposedHeadersAreCarriedAndShownEscaped) {
    const std::string query =
        "&HDR-To=a%40example.org&hdr-Subject=Hi%20%20%20%22you%22%20%3Cb%3E%20%26%20co"
        "&ATTACH-x.txt=X&Other=no";
    std::string r = Render("<X-PlaceHeaders>", query);
    EXPECT_TRUE(Has(r, "<input type=hidden name=\"HDR-To\" value=\"a@example.org\">\r\n")) << r;
    EXPECT_TRUE(Has(r, "<input type=hidden name=\"hdr-Subject\" "
                       "value=\"Hi   &quot;you&quot; &lt;b&gt; &amp; co\">\r\n"))
        << r;
    EXPECT_TRUE(Has(r, "<input type=hidden name=\"ATTACH-x.txt\" value=\"X\">\r\n")) << r;
    EXPECT_FALSE(Has(r, "Other")) << r;

    // A name from the request cannot leave its attribute either.
    r = Render("<X-PlaceHeaders>", "&HDR-%22%3E%3Cscript%3E=1");
    EXPECT_EQ("<input type=hidden name=\"HDR-&quot;&gt;&lt;script&gt;\" value=\"1\">\r\n", r);

    struct Case {
        const char* page;
        const char* expected;
    } cases[] = {
        {"[<X-ShowHeader Subject>]", "[Hi &quot;you&quot; &lt;b&gt; &amp; co]"},
        {"[<X-ShowHeader to usequotes>]", "[\"a@example.org\"]"},
        {"[<X-ShowHeader Cc usequotes>]", "[\"\"]"},
        {"[<X-ShowHeader Cc>]", "[]"},
    };
    for (const Case& c : cases) EXPECT_EQ(c.expected, Render(c.page, query)) << c.page;
}

TEST_F(WebMailTagsTest, RefreshTagsFollowTheUsersSetting) {
    struct Case {
        std::string system;
        std::string rate;
        std::string statement;
    } cases[] = {
        {"", "0", ""},
        {"MailboxRefresh=0", "0", ""},
        {"MailboxRefresh=-3", "-3", ""},
        {"MailboxRefresh=soon", "soon", ""},
        {"MailboxRefresh=5", "5",
         "<META HTTP-EQUIV=\"Refresh\" CONTENT=\"300;URL=/Display?what=mail_u_l.mhtml\">"},
        // Far too many minutes still give a valid number of seconds.
        {"MailboxRefresh=99999999999", "99999999999",
         "<META HTTP-EQUIV=\"Refresh\" CONTENT=\"2147483647;URL=/Display?what=mail_u_l.mhtml\">"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.system);
        Configure(c.system);
        EXPECT_EQ("[" + c.rate + "][" + c.statement + "]",
                  Render("[<X-RefreshRateInMinutes>][<X-ShowRefreshStatement>]"));
    }

    // The user's own setting wins; the page name is escaped.
    Configure("MailboxRefresh=0", "MADGRS:SUCGLD",
              {"SUquendrial,When=D,Date=0,Start=0,End=0,Repeat=1,MailboxRefresh=1"});
    Page("x_u\">.mhtml", "\r\n<X-ShowRefreshStatement>");
    EXPECT_EQ("<META HTTP-EQUIV=\"Refresh\" CONTENT=\"60;URL=/Display?what=x_u&quot;&gt;.mhtml\">",
              BodyOf(Get("/Display?what=x_u%22%3E.mhtml", LogIn())));
}

TEST_F(WebMailTagsTest, MyAddressIsTheUsersCanonicalAddress) {
    EXPECT_EQ("[quendrial]", Render("[<X-MyAddress>]"));
}

TEST_F(WebMailTagsTest, UserBarAndFooterFrameTheMailPages) {
    const std::string map =
        "<map name=\"usermap\">\r\n"
        "<area shape=\"rect\" coords=\"3,0,86,21\" href=\"/Display?what=mailboxes_u_l.mhtml\">\r\n"
        "<area shape=\"rect\" coords=\"179,0,261,22\" "
        "href=\"/Display?what=addressbook_u_l.mhtml\">\r\n"
        "<area shape=\"rect\" coords=\"91,1,175,21\" href=\"/Display?what=compose_u_l.mhtml\">\r\n"
        "<area shape=\"rect\" coords=\"267,0,349,23\" href=\"/Display?what=help_u_l.mhtml\">\r\n"
        "<area shape=\"rect\" coords=\"355,0,439,22\" href=\"/Deauthenticate\">\r\n"
        "<area shape=\"default\" nohref>\r\n</map>";
    auto image = [](const std::string& name) {
        return "<img src=\"/images/english/" + name +
               "\" border=0 width=439 height=27 usemap=\"#usermap\">";
    };
    EXPECT_EQ(map + image("tab6.gif"), Render("<X-ShowUserBar>"));
    EXPECT_EQ(map + image("tab2.gif"), Render("<X-ShowUserBar image=tab2.gif>"));

    const std::string end = "<!--End standard footer--></body></html>\r\n";
    EXPECT_EQ(end, Render("<X-UserFooter>"));
    Page("footer.mhtml", "<p>foot</p>");
    Page("navbar.mhtml", "<p>bar</p>");
    EXPECT_EQ("<p>foot</p>" + end, Render("<X-UserFooter navbar>"));
}


// The cells of a mailbox table's row after its link.
std::string CountCells(const std::string& unread, const std::string& messages,
                       const std::string& size) {
    const std::string cell =
        "<td align=\"right\" bgcolor=\"99CCCC\"><font size=\"-1\" face=\"Arial,Geneva\">";
    return cell + unread + "</font></td>" + cell + messages + "</font></td>" + cell + size +
           "k</font></td></tr>\r\n";
}

std::string MailboxRow(const std::string& name, const std::string& link, bool special,
                       const std::string& counts) {
    return "<tr><td bgcolor=\"99CCCC\"><font size=\"-1\" face=\"Arial,Geneva\"><a "
           "href=\"/Display?what=view_mailbox_u_l.mhtml&Mailbox=" +
           link + "\">" + (special ? "<B>" + name + "</B>" : name) + "</a></font></td>" + counts;
}

std::string MailboxTableHead() {
    return "<table width=\"90%\" bgcolor=\"99CCCC\" border=\"1\" cellpadding=\"3\" "
           "cellspacing=\"0\">\r\n<tr>\r\n<th bgcolor=\"99CCCC\">" +
           Text(282) + "</th>\r\n<th bgcolor=\"99CCCC\">" + Text(283) +
           "</th><th bgcolor=\"99CCCC\">" + Text(284) + "</th><th bgcolor=\"99CCCC\">" +
           Text(287) + "</th></tr>\r\n";
}

std::string TotalsRow(const std::string& counts) {
    return "<tr><td bgcolor=\"99CCCC\"><font size=\"-1\" face=\"Arial,Geneva\"><B>" + Text(284) +
           "</B></font></td>" + counts;
}

TEST_F(WebMailTagsTest, AnEmptyStoreShowsNoMailboxAndNoMessage) {
    // As in the running gateway: the user is a mail user without a set.
    const std::string query = "&Mailbox=Trash&Message=1-abc&FirstMessage=1&LastMessageSeen=1";
    EXPECT_EQ("[][][0 FROM]",
              Render("[<X-MessageTable>][<X-TOCInfo>][<X-SetSortBy><X-ShowVar SortBy> "
                     "<X-ShowVar ShowWho>]",
                     query));
    EXPECT_EQ("[<tr><td><i>" + Text(289) + "</i></td></tr>\r\n]",
              Render("[<X-ShowMessage>]", query));
    EXPECT_EQ("<select name=\"to\" size=\"1\" >\r\n<option>\r\n<option value=\"Trash\">Trash\r\n"
              "<option value=\"--delete--\">" +
                  Text(286) + "\r\n</select>\r\n",
              Render("<X-MailBoxBox name=to insertblank preselectCurrent specialTrash nospecial "
                     "empty>",
                     query));

    std::string zero = CountCells("0", "0", "0");
    std::string table = MailboxTableHead() + MailboxRow("Inbox", "Inbox", true, zero) +
                        MailboxRow("Sent-Mail", "Sent-Mail", true, zero) +
                        MailboxRow("Drafts", "Drafts", true, zero) +
                        MailboxRow("Trash", "Trash", true, zero) + TotalsRow(zero);
    EXPECT_EQ(table + "</table>\r\n", Render("<X-MailBoxTable>"));

    // A quota in megabytes is shown in kilobytes; no quota, no row.
    for (const char* quota : {"MailQuota=0", "MailQuota=none", "MailQuota=-5"}) {
        Configure(quota);
        EXPECT_EQ(table + "</table>\r\n", Render("<X-MailBoxTable>")) << quota;
    }
    Configure("MailQuota=5");
    EXPECT_EQ(table +
                  "<tr><td bgcolor=\"99CCCC\"><font size=\"-1\" face=\"Arial,Geneva\">" +
                  Text(458) +
                  "</font></td><td bgcolor=\"99CCCC\">&nbsp;</td><td bgcolor=\"99CCCC\">&nbsp;"
                  "</td><td align=\"right\" bgcolor=\"99CCCC\"><font size=\"-1\" "
                  "face=\"Arial,Geneva\">5120k</font></td></tr>\r\n</table>\r\n",
              Render("<X-MailBoxTable>"));

    // The mailbox of the request is escaped where the list shows it.
    EXPECT_EQ("<select name=\"objname\" size=\"1\" >\r\n"
              "<option value=\"&lt;b&gt;&quot;x\">&lt;b&gt;&quot;x\r\n</select>\r\n",
              Render("<X-MailBoxBox preselectCurrent>", "&Mailbox=%3Cb%3E%22x"));
}

TEST_F(WebMailTagsTest, MailboxTableAndListShowTheUsersMailboxes) {
    MakeMailboxes({"Inbox", "Sent-Mail", "Drafts", "Trash", "zeta", "My Mail"});
    Deliver("Inbox", Message("one"), 1);
    Deliver("Inbox", Message("two", std::string(3000, 'x') + "\r\n"), 0);
    Deliver("zeta", Message("three"), 1);

    std::string inboxSize, zetaSize;
    {
        int messages = 0, unread = 0;
        long inbox = 0, zeta = 0;
        ASSERT_EQ(0, GetMailboxCounts(kUser, "Inbox", messages, unread, inbox));
        ASSERT_EQ(0, GetMailboxCounts(kUser, "zeta", messages, unread, zeta));
        ASSERT_GT(inbox, 3000);
        ASSERT_LT(zeta, 1024);
        inboxSize = std::to_string(inbox / 1024);
        zetaSize = std::to_string((inbox + zeta) / 1024);
    }
    const std::string zero = CountCells("0", "0", "0");
    EXPECT_EQ(MailboxTableHead() + MailboxRow("Inbox", "Inbox", true, CountCells("1", "2", inboxSize)) +
                  MailboxRow("Sent-Mail", "Sent-Mail", true, zero) +
                  MailboxRow("Drafts", "Drafts", true, zero) +
                  MailboxRow("Trash", "Trash", true, zero) +
                  MailboxRow("My Mail", "My+Mail", false, zero) +
                  MailboxRow("zeta", "zeta", false, CountCells("1", "1", "&lt;1")) +
                  TotalsRow(CountCells("2", "3", zetaSize)) + "</table>\r\n",
              Render("<X-MailBoxTable>"));

    auto options = [](std::initializer_list<const char*> names) {
        std::string out = "<select name=\"objname\" size=\"1\" >\r\n";
        for (const char* name : names)
            out += "<option value=\"" + std::string(name) + "\">" + name + "\r\n";
        return out + "</select>\r\n";
    };
    struct Case {
        const char* page;
        const char* query;
        std::string expected;
    } cases[] = {
        {"<X-MailBoxBox>", "", options({"Drafts", "Inbox", "My Mail", "Sent-Mail", "Trash", "zeta"})},
        {"<X-MailBoxBox nospecial>", "", options({"My Mail", "zeta"})},
        {"<X-MailBoxBox empty>", "", options({"Drafts", "My Mail", "Sent-Mail", "Trash"})},
        {"<X-MailBoxBox preselectCurrent nospecial>", "&Mailbox=zeta", options({"zeta", "My Mail"})},
        {"<X-MailBoxBox excludeCurrent nospecial>", "&Mailbox=zeta", options({"My Mail"})},
        // The current mailbox is left out only in its own spelling.
        {"<X-MailBoxBox excludeCurrent nospecial>", "&Mailbox=ZETA", options({"My Mail", "zeta"})},
        {"<X-MailBoxBox specialTrash nospecial>", "&Mailbox=trash", options({"My Mail", "zeta"})},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.expected, Render(c.page, c.query)) << c.page << c.query;
}

TEST_F(WebMailTagsTest, MailboxPagesShowFiftyMessagesFromTheFirstAsked) {
    MakeMailboxes({"Inbox"});
    for (int i = 1; i <= 120; ++i) Deliver("Inbox", Message("m" + std::to_string(i)), 0);

    // The numbers of the rows a page shows.
    auto rows = [&](const std::string& query) {
        const std::string page = Render("<X-MessageTable>", "&Mailbox=Inbox" + query);
        std::vector<int> numbers;
        for (size_t at = page.find("\"> "); at != std::string::npos; at = page.find("\"> ", at + 1))
            numbers.push_back(std::stoi(page.substr(at + 3)));
        return numbers;
    };
    auto range = [](int first, int last) {
        std::vector<int> out;
        for (int n = first; n <= last; ++n) out.push_back(n);
        return out;
    };
    struct Case {
        const char* query;
        std::vector<int> shown;
        const char* toc;
    } cases[] = {
        {"", range(1, 50), "1 - 50 of 120"},
        {"&FirstMessage=101", range(101, 120), "101 - 120 of 120"},
        {"&FirstMessage=120", range(120, 120), "120 - 120 of 120"},
        {"&FirstMessage=500", range(1, 50), "1 - 50 of 120"},
        {"&FirstMessage=0", range(1, 50), "1 - 50 of 120"},
        {"&FirstMessage=-7", range(1, 50), "1 - 50 of 120"},
        {"&FirstMessage=x", range(1, 50), "1 - 50 of 120"},
    };
    const std::string head = "<B>" + Text(629) + ": </B>quendrial&nbsp;&nbsp;&nbsp;<B>" +
                             Text(282) + ": </B>Inbox&nbsp;&nbsp;&nbsp;<B>" + Text(290) + ": </B>";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.query);
        EXPECT_EQ(c.shown, rows(c.query));
        EXPECT_EQ(head + c.toc, Render("<X-TOCInfo>", "&Mailbox=Inbox" + std::string(c.query)));
    }

    // Only the row of LastMessageSeen carries the anchor.
    const std::string page =
        Render("<X-MessageTable>", "&Mailbox=Inbox&FirstMessage=101&LastMessageSeen=105");
    EXPECT_TRUE(Has(page, "<tr><a name=HERE></a><td align=\"center\" bgcolor=\"99CCCC\">"
                          "<input type=\"checkbox\" name=\"Message\" value=\"105-"))
        << page;
    EXPECT_EQ(page.find("HERE"), page.rfind("HERE"));

    // Messages hidden by the content filter are left out of the count and
    // reported as unavailable.
    const std::string index = Path("mail/quendrial/Inbox.toc");
    std::string text = testsupport::ReadWhole(index);
    for (int hidden = 0; hidden < 60; ++hidden) {
        const size_t end = text.rfind("\x1C" "0\r\n");
        ASSERT_NE(std::string::npos, end);
        text[end + 1] = '2';  // any bit but the first stays visible
        if (hidden % 2 == 0)
            text[end + 1] = '1';
    }
    testsupport::WriteWhole(index, text);
    EXPECT_EQ(head + "1 - 50 of 120 (30 unavailable)", Render("<X-TOCInfo>", "&Mailbox=Inbox"));
    EXPECT_EQ(head + "51 - 90 of 120 (30 unavailable)",
              Render("<X-TOCInfo>", "&Mailbox=Inbox&FirstMessage=51"));
    EXPECT_EQ(range(51, 90), rows("&FirstMessage=51"));
}

TEST_F(WebMailTagsTest, MessageRowsShowIconsCorrespondentDateSizeAndSubject) {
    MakeMailboxes({"Inbox", "Drafts", "Sent-Mail", "Your Box"});
    // Delivery sets the attachment flag (32) by the message's content.
    const std::string one = Deliver(
        "Inbox", Message("Hi <b>&</b>", "text\r\n", "Ann Lee <ann@example.org>",
                         "Content-Type: application/octet-stream\r\n"),
        1);
    Deliver("Inbox", Message("", std::string(5000, 'y') + "\r\n",
                             "\"Lee, Ann\" (work) <ann@example.org> x\"y"), 0);
    Deliver("Inbox", Message("all", "t\r\n", "a@b.org"), 4 | 8 | 16 | 64 | 128 | 256);
    const std::string draft = Deliver("Drafts", Message("draft"), 0);
    Deliver("Sent-Mail", Message("sent"), 0);
    Deliver("Your Box", Message("yours"), 0);

    const std::string page = Render("<X-MessageTable>", "&Mailbox=Inbox");
    const std::string icons = "<img src=\"/images/english/";
    EXPECT_EQ("<tr><td align=\"center\" bgcolor=\"99CCCC\"><input type=\"checkbox\" "
              "name=\"Message\" value=\"1-" + one + "\"> 1</td>\r\n"
              "<td align=\"center\" bgcolor=\"99CCCC\">" + icons + "stat_unread.gif\"> " + icons +
              "stat_attach.gif\"> </td>\r\n"
              "<td align=\"left\" bgcolor=\"99CCCC\"><font size=\"-1\" face=\"Arial,Geneva\">"
              "Ann Lee </font></td>\r\n"
              "<td align=\"left\" bgcolor=\"99CCCC\"><font size=\"-1\" face=\"Arial,Geneva\">"
              "Wed, 03 Jan 2024 10:00:00 +0000</font></td>\r\n"
              "<td align=\"right\" bgcolor=\"99CCCC\"><font size=\"-1\" face=\"Arial,Geneva\">"
              "&lt;1k</font></td>\r\n"
              "<td align=\"left\" bgcolor=\"99CCCC\"><font size=\"-1\" face=\"Arial,Geneva\">"
              "<a href=\"/Display?what=view_message_u_l.mhtml&Message=1-" + one +
                  "&Mailbox=Inbox\">Hi &lt;b&gt;&amp;&lt;/b&gt;</a></font></td>\r\n</tr>\r\n",
              page.substr(0, page.find("<tr>", 1)));
    // The words of a name in quotes stay together; comments and addresses
    // after the first word are left out, quotes and brackets dropped.
    EXPECT_TRUE(Has(page, "face=\"Arial,Geneva\">Lee, Ann xy </font>")) << page;
    EXPECT_TRUE(Has(page, "<td align=\"center\" bgcolor=\"99CCCC\">&nbsp;</td>")) << page;
    EXPECT_TRUE(Has(page, ">5k</font></td>")) << page;
    EXPECT_TRUE(Has(page, "\">" + Text(288) + "</a>")) << page;
    EXPECT_TRUE(Has(page, "face=\"Arial,Geneva\">a@b.org </font>")) << page;
    EXPECT_TRUE(Has(page, "stat_reply.gif\"> " + icons + "stat_forward.gif\"> " + icons +
                              "stat_edit.gif\"> " + icons + "approv.gif\"> " + icons +
                              "approved.gif\"> " + icons + "bounced.gif\"> </td>"))
        << page;

    // Drafts and sent mail name the recipients; drafts open in the composer.
    std::string r = Render("<X-MessageTable>", "&Mailbox=Drafts");
    EXPECT_TRUE(Has(r, ">Joe </font>")) << r;
    EXPECT_TRUE(Has(r, "<a href=\"/GoToCompose?Message=1-" + draft + "&Mailbox=Drafts\">")) << r;
    r = Render("<X-MessageTable>", "&Mailbox=sent-mail");
    EXPECT_TRUE(Has(r, ">Joe </font>")) << r;
    EXPECT_TRUE(Has(r, "<a href=\"/Display?what=view_message_u_l.mhtml&Message=1-")) << r;
    r = Render("<X-MessageTable>", "&Mailbox=Your%20Box");
    EXPECT_TRUE(Has(r, ">Ann Lee </font>")) << r;
    EXPECT_TRUE(Has(r, "&Mailbox=Your+Box\">yours</a>")) << r;

    // The sort order and the column of correspondents for the page.
    EXPECT_EQ("[7 FROM][7 TO][0 FROM]",
              Render("[<X-SetSortBy><X-ShowVar SortBy> <X-ShowVar ShowWho>]", "&Mailbox=Inbox") +
                  Render("[<X-SetSortBy><X-ShowVar SortBy> <X-ShowVar ShowWho>]",
                         "&Mailbox=drafts") +
                  Render("[<X-SetSortBy><X-ShowVar SortBy> <X-ShowVar ShowWho>]",
                         "&Mailbox=Nowhere/x"));
}

TEST_F(WebMailTagsTest, MessageReferencesFollowTheirMessageByUid) {
    MakeMailboxes({"Inbox"});
    const std::string first = Deliver("Inbox", Message("a"));
    const std::string second = Deliver("Inbox", Message("b"));
    CMailbox* box = OpenMailbox(kUser, "Inbox", 0);
    ASSERT_NE(nullptr, box);
    struct Case {
        std::string reference;
        int number;
    } cases[] = {
        {"2-" + second, 2},
        {"1-" + first, 1},
        // The message moved (messages before it were removed): its uid.
        {"1-" + second, 2},
        {"9-" + second, 2},
        {"2-" + second + "x", 0},
        {"2-", 0},
        {"2", 0},
        {"0-" + first, 0},
        {"-1-" + first, 0},
        {"x-" + first, 0},
        {"", 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.number, MessageNumberFromId(box, CVornString(c.reference.c_str())))
            << c.reference;
    CloseMailbox(kUser, "Inbox");
    EXPECT_EQ(0, MessageNumberFromId(nullptr, CVornString(("1-" + first).c_str())));
}


TEST_F(WebMailTagsTest, ShowMessageShowsHeadersTextAndAttachmentsEscaped) {
    MakeMailboxes({"Inbox"});
    const std::string uid = Deliver(
        "Inbox",
        Message("Report & <numbers>",
                "--XYZ\r\nContent-Type: text/plain\r\n\r\nHello <you> & all,\r\n"
                "write to bob@example.org.\r\n"
                "--XYZ\r\nContent-Type: application/pdf; name=\"my report?.pdf\"\r\n"
                "Content-Transfer-Encoding: base64\r\n\r\nAAAA\r\n"
                "--XYZ\r\nContent-Disposition: attachment\r\n\r\nraw\r\n--XYZ--\r\n",
                "\"Ann <B>\" <ann@example.org>",
                "CC: cc@example.org\r\nResent-From: r@example.org\r\nMIME-Version: 1.0\r\n"
                "Content-Type: multipart/mixed; boundary=\"XYZ\"\r\n"),
        1);
    const std::string query = "&Mailbox=Inbox&Message=1-" + uid;
    const std::string r = Render("<X-ShowMessage>", query);
    auto header = [](int label, const std::string& width, const std::string& value) {
        return "<tr><td width=\"85\" align=\"right\" valign=\"top\"><font size=\"-1\" "
               "face=\"Arial,Geneva\"><b>" + Text(label) + ":</b></font></td><td width=\"" +
               width + "\" valign=\"top\"><font size=\"-1\" face=\"Arial,Geneva\"> " + value +
               "</font></td>";
    };
    // The headers in their order, escaped; only present ones.
    EXPECT_EQ(0u, r.rfind("<tr><td bgcolor=\"99CCCC\" align=\"left\"><table width=\"500\" "
                          "bgcolor=\"99CCCC\" border=\"0\" cellpadding=\"0\" cellspacing=\"5\">" +
                              header(296, "415", "r@example.org") + "</tr>\r\n" +
                              header(291, "290", "&quot;Ann &lt;B&gt;&quot; &lt;ann@example.org&gt;") +
                              "<td valign=\"top\"><input type=image "
                              "src=\"/images/english/addtoaddress_btn.gif\" name=\"AddToBook\" "
                              "border=0 width=125 height=20></td></tr>\r\n" +
                              header(292, "415", "Joe &lt;joe@example.org&gt;") + "</tr>\r\n" +
                              header(295, "415", "cc@example.org") + "</tr>\r\n" +
                              header(293, "415", "Report &amp; &lt;numbers&gt;") + "</tr>\r\n" +
                              header(294, "415", "Wed, 03 Jan 2024 10:00:00 +0000") +
                              "</tr>\r\n</table></tr><br>",
                          0))
        << r;
    EXPECT_FALSE(Has(r, "bounce_btn.gif")) << r;
    // The text part as HTML, its mail address a link to the composer.
    EXPECT_TRUE(Has(r, "<font size=\"-1\" face=\"Arial, Geneva\">" + Text(300) +
                           ": 1 of 1</font></TH></TR><TR><TD ALIGN=\"left\" WIDTH=\"100%\" "
                           "bgcolor=\"FFFFFF\"><TT>Hello &lt;you&gt; &amp; all,<BR>write to "
                           "<A HREF=\"/Display?what=compose_u_l.mhtml&HDR-To=bob@example.org\""))
        << r;
    // Attachments: the name without "?" and with "+" for blanks in the link,
    // defaults for a missing name and type.
    EXPECT_TRUE(Has(r, "<a href=\"/GetAttachment/my+report.pdf?Mailbox=Inbox&Message=1-" + uid +
                           "&PartNumber=2\" target=\"attachwin\">my report?.pdf</a></font></td>"
                           "<td align=left> <font size=\"-1\" face=\"Arial,Geneva\"><I>" +
                           Text(303) + ": application/pdf</I></td></tr>\r\n"))
        << r;
    EXPECT_TRUE(Has(r, "&PartNumber=3\" target=\"attachwin\">" + Text(302) + "</a>")) << r;
    EXPECT_TRUE(Has(r, ": application/octet-stream</I></td></tr>\r\n<tr><td><br></td></tr>"
                       "</table></td></tr>"))
        << r;

    // Reading an unread message records it once and clears its mark.
    std::vector<webtest::ActivityFields> records = Records();
    ASSERT_EQ(1u, records.size());
    EXPECT_EQ("4", records[0][1]);
    EXPECT_EQ("17", records[0][2]);
    EXPECT_EQ(0u, records[0].count(3));
    EXPECT_EQ("quendrial", records[0][10]);
    EXPECT_EQ("127.0.0.1", records[0][11]);
    EXPECT_EQ("Inbox", records[0][50]);
    EXPECT_EQ(uid, records[0][51]);
    EXPECT_FALSE(Has(Render("<X-MessageTable>", "&Mailbox=Inbox"), "stat_unread.gif"));
    EXPECT_EQ(r, Render("<X-ShowMessage>", query));
    EXPECT_TRUE(Records().empty());

    // A reference that names no message, or a mailbox that does not open.
    const std::string none = "<tr><td><i>" + Text(289) + "</i></td></tr>\r\n";
    for (const std::string& q : {std::string("&Mailbox=Inbox&Message=1-nosuchuid"), std::string("&Mailbox=Inbox"),
                                 "&Mailbox=Inbox&Message=0-" + uid, "&Message=1-" + uid,
                                 "&Mailbox=Other&Message=1-" + uid})
        EXPECT_EQ(none, Render("<X-ShowMessage>", q)) << q;
}

TEST_F(WebMailTagsTest, ShowMessageShowsLongTextsLineByLineAndApprovalButtons) {
    MakeMailboxes({"Inbox"});
    std::string body;
    for (int i = 0; body.size() < 40000; ++i) body += "line " + std::to_string(i) + " <&>\r\n";
    const std::string uid = Deliver("Inbox", Message("long", body), 64);
    const std::string r = Render("<X-ShowMessage>", "&Mailbox=Inbox&Message=1-" + uid);
    const std::string buttons =
        "<tr><td bgcolor=\"99CCCC\" align=left><table width=\"100%\" border=0><tr><td align=left>"
        "<input type=image src=\"/images/english/bounce_btn.gif\" name=\"Bounce\" border=0 "
        "width=45 height=40><input type=image src=\"/images/english/approve_btn.gif\" "
        "name=\"Approve\" border=0 width=45 height=40></td></tr></table></td></tr>";
    EXPECT_EQ(0u, r.rfind(buttons + "<tr><td bgcolor=\"99CCCC\" align=\"left\">", 0)) << r;
    EXPECT_EQ(r.size() - buttons.size(), r.rfind(buttons));
    EXPECT_TRUE(Has(r, "bgcolor=\"FFFFFF\"><PRE>line 0 &lt;&amp;&gt;\r\nline 1 &lt;&amp;&gt;\r\n"))
        << r.substr(0, 3000);
    std::string escaped;
    for (char c : body) escaped += c == '<' ? "&lt;" : c == '>' ? "&gt;" : c == '&' ? "&amp;" : std::string(1, c);
    EXPECT_TRUE(Has(r, "<PRE>" + escaped + " </PRE></TD></TR></TABLE></td></tr>"));
    // Not unread: no record.
    EXPECT_TRUE(Records().empty());

    // A message that is one attachment shows no text and lists its body.
    const std::string file = Deliver(
        "Inbox", Message("file", "AAAA\r\n", "a@b.org",
                         "Content-Type: application/zip; name=\"a.zip\"\r\n"), 0);
    const std::string f = Render("<X-ShowMessage>", "&Mailbox=Inbox&Message=2-" + file);
    EXPECT_TRUE(Has(f, "bgcolor=\"FFFFFF\"><TT> </TT>")) << f;
    EXPECT_TRUE(Has(f, "&PartNumber=0\" target=\"attachwin\">a.zip</a>")) << f;
}

}  // namespace
