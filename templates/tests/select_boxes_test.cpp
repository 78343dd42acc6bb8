// The selection boxes and date-time entries on real templates: object
// lists with their filters, labels, preselection and search form, lists of
// form variables and system accounts, and date and time entries on the
// test clock.
#include "templates/select_boxes.h"

#include <gtest/gtest.h>

#include "config/users.h"
#include "core/compare_no_case.h"
#include "core/vorn_date.h"
#include "core/vorn_list.h"
#include "net/host_address.h"
#include "platform/clock.h"
#include "templates/tests/page_render.h"

using pagetest::g_RenderErrors;
using pagetest::RenderTest;
using pagetest::Str;

namespace {

using Vars = std::vector<std::pair<std::string, std::string>>;

bool ReverseLookup(const CVornHostAddressEntry& entry, CVornString& out) {
    if (entry.GetAddress() != htonl(0x0A000001))  // 10.0.0.1
        return false;
    out.Assign("mail.example");
    return true;
}

class SelectBoxesTest : public RenderTest {
protected:
    void TearDown() override {
        platform::SetTestTime(0);
        SetReverseLookup(nullptr);
        RenderTest::TearDown();
    }
};

const char* const kOpen = "<select name=\"objname\" size=\"1\" >\r\n";

std::string Option(const std::string& value, const std::string& text, bool selected = false) {
    return "<option value=\"" + value + "\"" + (selected ? " selected" : "") + ">" + text + "\r\n";
}

TEST_F(SelectBoxesTest, ObjectBoxes) {
    WriteConfig({"DS,ShowFullNames=0", "DUbob,VirtualAcct=1,RealName=Bob Stone", "DUAdministrator,",
                 "DUalice,", "DUcarol,VirtualAcct=1,RealName=Carol <Ann> Reed", "DGstaff,",
                 "DC10.0.0.10,", "DC10.0.0.9,", "DC10.0.0.1,"},
                {});
    const struct {
        const char* name;
        std::string body;
        Vars vars;
        std::string expected;
    } cases[] = {
        {"no objtype: no entries", "<X-ObjBox>", {}, std::string(kOpen) + "</select>\r\n"},
        {"users by name, no labels",
         "<X-ObjBox objtype=U>",
         {},
         kOpen + Option("Administrator", "Administrator") + Option("alice", "alice") +
             Option("bob", "bob") + Option("carol", "carol") + "</select>\r\n"},
        {"two types: labels; clients in address order",
         "<X-ObjBox name=who size=3 multiple objtype=GC>",
         {},
         "<select name=\"who\" size=\"3\" multiple>\r\n" + Option("staff", "staff (M625)") +
             Option("10.0.0.1", "10.0.0.1 (M626)") + Option("10.0.0.9", "10.0.0.9 (M626)") +
             Option("10.0.0.10", "10.0.0.10 (M626)") + "</select>\r\n"},
        {"excludeSpecial and excludeAuth, blank first",
         "<X-ObjBox objtype=U excludeSpecial excludeAuth insertblank>",
         {},
         kOpen + std::string("<option>\r\n") + Option("bob", "bob") + Option("carol", "carol") +
             "</select>\r\n"},
        {"preselected from a variable, escaped",
         "<X-ObjBox objtype=U usevar name=pick>",
         {{"pick", "bob"}},
         "<select name=\"pick\" size=\"1\" >\r\n" + Option("Administrator", "Administrator") +
             Option("alice", "alice") + Option("bob", "bob", true) + Option("carol", "carol") +
             "</select>\r\n"},
        {"selectedAtTop lists the value once, first",
         "<X-ObjBox objtype=G usevar selectedAtTop>",
         {{"objname", "x\"<y>"}},
         kOpen + Option("x&quot;&lt;y&gt;", "x&quot;&lt;y&gt;", true) + Option("staff", "staff") +
             "</select>\r\n"},
        {"selectedAtTop with an existing value",
         "<X-ObjBox objtype=U usevar selectedAtTop excludeSpecial>",
         {{"objname", "bob"}},
         kOpen + Option("bob", "bob", true) + Option("alice", "alice") + Option("carol", "carol") +
             "</select>\r\n"},
        {"preselected from the object's attribute",
         "<X-ObjBox objtype=U useobjvalue name=Cast>",
         {{"objtype", "U"}, {"objname", "bob"}},
         "<select name=\"Cast\" size=\"1\" >\r\n" + Option("Administrator", "Administrator") +
             Option("alice", "alice") + Option("bob", "bob") + Option("carol", "carol") +
             "</select>\r\n"},
        {"maskname",
         "<X-ObjBox objtype=U maskname=\"~SW a\">",
         {},
         kOpen + Option("bob", "bob") + Option("carol", "carol") + "</select>\r\n"},
        {"maskattr",
         "<X-ObjBox objtype=U maskattr=\"VirtualAcct == 1\">",
         {},
         kOpen + Option("Administrator", "Administrator") + Option("alice", "alice") +
             "</select>\r\n"},
        {"searchable without the setting: no form, no filter",
         "<X-ObjBox objtype=U searchable excludeSpecial>",
         {{"UserSearchBy", "1"}},
         kOpen + Option("alice", "alice") + Option("bob", "bob") + Option("carol", "carol") +
             "</select>\r\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Render(c.body, c.vars), c.expected);
    }
}

TEST_F(SelectBoxesTest, SearchableUserBoxAndNames) {
    WriteConfig(
        {"DS,SearchableUserBox=3,ShowFullNames=1,DisplayFQDN=1",
         "DUbob,VirtualAcct=1,RealName=Bob Stone", "DUalice,VirtualAcct=1,RealName=Alice Banks",
         "DUcarol,VirtualAcct=1,RealName=Carol <Ann> Reed", "DC10.0.0.1,", "DC10.0.0.2,"},
        {});
    SetReverseLookup(&ReverseLookup);
    auto form = [](int mode, const std::string& text) {
        const char* labels[] = {"Show none",
                                "Show all",
                                "Accounts Starting With",
                                "Accounts Containing",
                                "Last Names Starting With",
                                "Last Names Containing",
                                "Full Names Starting With",
                                "Full Names Containing"};
        std::string out = "<br><select size=1 name=UserSearchBy>\r\n";
        for (int n = 1; n <= 8; ++n)
            out += "<option value=" + std::to_string(n) + (n == mode ? " selected>" : ">") +
                   labels[n - 1];
        return out + "</select><input size=12 type=text name=UserSearchArg value=\"" + text +
               "\"> <input type=submit name=UserSearchSubmit value=\"Search\"";
    };
    const std::string alice = Option("alice", "alice [Alice Banks]");
    const std::string bob = Option("bob", "bob [Bob Stone]");
    const std::string carol = Option("carol", "carol [Carol &lt;Ann&gt; Reed]");
    const struct {
        const char* name;
        Vars vars;
        std::string expected;
    } cases[] = {
        {"mode from the setting, no text: all",
         {},
         kOpen + alice + bob + carol + "</select>\r\n" + form(3, "")},
        {"accounts starting with",
         {{"UserSearchBy", "3"}, {"UserSearchArg", "B"}},
         kOpen + bob + "</select>\r\n" + form(3, "B")},
        {"accounts containing",
         {{"UserSearchBy", "4"}, {"UserSearchArg", "O"}},
         kOpen + bob + carol + "</select>\r\n" + form(4, "O")},
        {"last names starting with",
         {{"UserSearchBy", "5"}, {"UserSearchArg", "re"}},
         kOpen + carol + "</select>\r\n" + form(5, "re")},
        {"last names containing",
         {{"UserSearchBy", "6"}, {"UserSearchArg", "AN"}},
         kOpen + alice + "</select>\r\n" + form(6, "AN")},
        {"full names starting with",
         {{"UserSearchBy", "7"}, {"UserSearchArg", "carol <"}},
         kOpen + carol + "</select>\r\n" + form(7, "carol &lt;")},
        {"full names containing",
         {{"UserSearchBy", "8"}, {"UserSearchArg", "st"}},
         kOpen + bob + "</select>\r\n" + form(8, "st")},
        {"show none lists no users",
         {{"UserSearchBy", "1"}},
         kOpen + std::string("</select>\r\n") + form(1, "")},
        {"a mode out of range shows all",
         {{"UserSearchBy", "9"}, {"UserSearchArg", "zz\""}},
         kOpen + alice + bob + carol + "</select>\r\n" + form(2, "zz&quot;")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Render("<X-ObjBox objtype=U searchable>", c.vars), c.expected);
    }
    // Clients with host names: only those a reverse lookup finds.
    EXPECT_EQ(Render("<X-ObjBox objtype=C>"), kOpen +
                                                  Option("10.0.0.1", "10.0.0.1 [mail.example]") +
                                                  Option("10.0.0.2", "10.0.0.2") + "</select>\r\n");
}

TEST_F(SelectBoxesTest, VariableAndAccountBoxes) {
    const struct {
        const char* name;
        std::string body;
        Vars vars;
        std::string expected;
    } cases[] = {
        {"TBox without attributes: nothing matches an empty prefix's empty value",
         "<X-TBox>",
         {{"a", "1"}},
         std::string(kOpen) + "</select>"},
        {"TBox by prefix and value, sorted ignoring case, escaped",
         "<X-TBox name=sel_ value=on size=x>",
         {{"sel_b", "on"}, {"sel_A\"", "on"}, {"sel_c", "off"}, {"Sel_d", "on"}, {"other", "on"}},
         "<select name=\"sel_\" size=\"0\" >\r\n"
         "<option value=\"sel_A&quot;\">A&quot;&nbsp;&nbsp;&nbsp;&nbsp;&nbsp;\r\n"
         "<option value=\"sel_b\">b&nbsp;&nbsp;&nbsp;&nbsp;&nbsp;\r\n</select>"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Render(c.body, c.vars), c.expected);
    }

    // The system's own accounts; one that a user stands for is left out
    // with onlyNotUsed.
    CVornSortedList<CVornString> accounts(&CompareNoCase);
    ListDomainUsers(accounts);
    std::string all = kOpen;
    std::string first;
    for (auto* node = accounts.m_List.m_Head; node; node = node->m_Next) {
        std::string name = Str(node->m_Element);
        if (first.empty())
            first = name;
        all += Option(name, name);
    }
    EXPECT_EQ(Render("<X-SystemUserBox>"), all + "</select>\r\n");
    if (first.empty())
        GTEST_SKIP() << "this machine has no accounts of people";
    WriteConfig({"DS,", "DUbob,RealAcct=" + first}, {});
    std::string rest = all;
    rest.erase(rest.find(Option(first, first)), Option(first, first).size());
    EXPECT_EQ(Render("<X-SystemUserBox onlyNotUsed>"), rest + "</select>\r\n");
}

TEST_F(SelectBoxesTest, DateBoxes) {
    // 2025-06-11 noon, local time.
    platform::SetTestTime(CVornDate(20250611, 120000).GetTime());
    WriteConfig({"DS,", "DUbob,"}, {"SUbob,When=3,Date=0,Start=0,End=0,Repeat=1,Until=20000229"});
    const struct {
        const char* name;
        std::string body;
        Vars vars;
        std::string expected;
    } cases[] = {
        {"today", "<X-DateBox>", {}, "<input size=10 name=\"objname\" value=\"6/11/2025\">\r\n"},
        {"a week from today",
         "<X-DateBox name=d preset=+7 text=\"On day\">",
         {},
         "On day<br>\r\n<input size=10 name=\"d\" value=\"6/18/2025\">\r\n"},
        {"over the year's end",
         "<X-DateBox preset=+204>",
         {},
         "<input size=10 name=\"objname\" value=\"1/1/2026\">\r\n"},
        {"packed preset",
         "<X-DateBox preset=19991231>",
         {},
         "<input size=10 name=\"objname\" value=\"12/31/1999\">\r\n"},
        {"the form's text, escaped",
         "<X-DateBox name=d>",
         {{"d", "1/2/3\"><x>"}},
         "<input size=10 name=\"d\" value=\"1/2/3&quot;&gt;&lt;x&gt;\">\r\n"},
        {"from the event",
         "<X-DateBox name=Until useevent>",
         {{"objtype", "U"}, {"objname", "bob"}, {"Event", "30000000000000"}},
         "<input size=10 name=\"Until\" value=\"2/29/2000\">\r\n"},
        {"1995 falls back to the text box",
         "<X-DateBox preset=19950704 3datecombos=DMY>",
         {},
         "<input size=10 name=\"objname\" value=\"7/4/1995\">\r\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Render(c.body, c.vars), c.expected);
    }

    // Three selects in the order named, the date's parts selected.
    std::string page = Render("<X-DateBox name=d preset=20000229 3datecombos=YxD daytag=;>");
    std::string day = "<select size=1 name=\"d-day\">\r\n";
    for (int d = 1; d <= 31; ++d) {
        char two[3];
        snprintf(two, sizeof two, "%02d", d);
        day += std::string("<option value=") + two + (d == 29 ? " selected>" : ">") + two + ";";
    }
    // Years are catalogue texts (year - 1284) in the fixture's catalogue.
    std::string expectedYear = "<select size=1 name=\"d-year\">\r\n";
    for (int y = 1995; y <= 2099; ++y)
        expectedYear += "<option value=" + std::to_string(y) + (y == 2000 ? " selected>" : ">") +
                        "M" + std::to_string(y - 1284);
    EXPECT_EQ(page, expectedYear + "</select>\r\n" + day + "</select>\r\n");

    std::string month = Render("<X-DateBox preset=20000229 3datecombos=M monthtag=.>");
    EXPECT_NE(month.find("<option value=01>M699.<option value=02 selected>M700."),
              std::string::npos)
        << month;
    EXPECT_NE(month.find("<option value=12>M710.</select>\r\n"), std::string::npos);
}

TEST_F(SelectBoxesTest, TimeBoxes) {
    auto minutes = [](const std::string& field, int selected) {
        std::string out = "<select size=1 name=\"" + field + "\">\r\n";
        for (int m = 0; m <= 55; m += 5) {
            char two[3];
            snprintf(two, sizeof two, "%02d", m);
            out += std::string("<option value=") + two + (m == selected ? " selected>" : ">") + two;
        }
        return out + "</select>\r\n";
    };
    auto hours12 = [](const std::string& field, int selected) {
        std::string out = "<select size=1 name=\"" + field + "\">\r\n";
        for (int h = 1; h <= 12; ++h)
            out += "<option value=" + std::to_string(h) + (h == selected ? " selected>" : ">") +
                   std::to_string(h);
        return out + "</select>\r\n : ";
    };
    auto hours24 = [](const std::string& field, int selected) {
        std::string out = "<select size=1 name=\"" + field + "\">\r\n";
        for (int h = 0; h <= 23; ++h)
            out += "<option value=" + std::to_string(h) + (h == selected ? " selected>" : ">") +
                   "M" + std::to_string(661 + h);
        return out + "</select>\r\n : ";
    };
    auto meridiem = [](const std::string& field, bool pm) {
        return "<select size=1 name=\"" + field +
               "\">\r\n<option value=\"AM\">AM<option value=\"PM\"" + (pm ? " selected" : "") +
               ">PM</select>\r\n";
    };
    const struct {
        const char* name;
        std::string body;
        Vars vars;
        std::string expected;
    } cases[] = {
        {"midnight is 12 AM",
         "<X-TimeBox>",
         {},
         hours12("objname-hr", 12) + minutes("objname-min", 0) + meridiem("objname-mer", false)},
        {"13:07 is 1:05 PM",
         "<X-TimeBox name=t preset=130700 text=At>",
         {},
         "At<br>\r\n" + hours12("t-hr", 1) + minutes("t-min", 5) + meridiem("t-mer", true)},
        {"the form's value wins",
         "<X-TimeBox name=t preset=130700>",
         {{"t", "94400"}},
         hours12("t-hr", 9) + minutes("t-min", 40) + meridiem("t-mer", false)},
        {"the form's fields win",
         "<X-TimeBox name=t preset=130700>",
         {{"t-hr", "3"}, {"t-min", "59"}, {"t-mer", "pm"}},
         hours12("t-hr", 3) + minutes("t-min", 55) + meridiem("t-mer", false)},
        {"24-hour form",
         "<X-TimeBox name=t preset=235959 24hour>",
         {},
         hours24("t-24hr", 23) + minutes("t-min", 55)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Render(c.body, c.vars), c.expected);
    }
}

}  // namespace
