// The common page tags on real templates: what each show tag writes (and
// escapes), the tags that set form variables, the page guards, the hidden
// inputs and the event fields of ParseEventTime.
#include "templates/common_tags.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "config/activity_log.h"
#include "core/clock.h"
#include "core/vorn_date.h"
#include "platform/clock.h"
#include "templates/tests/page_render.h"

using pagetest::g_RenderErrors;
using pagetest::RenderTest;
using pagetest::Str;

namespace {

using Vars = std::vector<std::pair<std::string, std::string>>;

class CommonTagsTest : public RenderTest {
protected:
    void TearDown() override {
        platform::SetTestTime(0);
        RenderTest::TearDown();
    }
};

TEST_F(CommonTagsTest, ShowAndSetTags) {
    WriteConfig({"DS,Motto=<b>hi</b>",
                 "DUbob,Color=red,Langs=en\x1C\x1C"
                 "de,Slot=base",
                 "DC127.0.0.1,Greeting=client & co"},
                {"SUbob,When=3,Date=0,Start=0,End=0,Repeat=1,Slot=weds",
                 "SS,When=D,Date=0,Start=0,End=0,Repeat=1,Slot=default"});
    const std::string markup = "<i a=\"1\">x&y</i>";
    const std::string escaped = "&lt;i a=&quot;1&quot;&gt;x&amp;y&lt;/i&gt;";
    const struct {
        const char* name;
        std::string body;
        Vars vars;
        std::string expected;
    } cases[] = {
        {"ShowVar escapes", "<X-ShowVar v>", {{"v", markup}}, escaped},
        {"ShowVar noescape", "<X-ShowVar v noescape>", {{"v", markup}}, markup},
        {"ShowVar urlescape",
         "<X-ShowVar v urlescape>",
         {{"v", "a b&c=\"<d>'%20"}},
         "a+b&c=%22%3Cd%3E%27%20"},
        {"ShowVar absent, quoted", "<X-ShowVar none usequotes>", {}, "\"\""},
        {"ShowVar several, names ignoring case", "<X-showvar A usequotes>", {{"a", "1"}}, "\"1\""},
        {"ShowUser", "<X-ShowUser>", {}, "alice"},
        {"SetVar",
         "<X-SetVar x=\"1 2\" u=$$user U2=$$USER><X-ShowVar x><X-ShowVar u><X-ShowVar U2>",
         {},
         "1 2alice$$USER"},
        {"SelectSysObj",
         "<X-SelectSysObj><X-ShowVar objtype usequotes><X-ShowVar objname usequotes>",
         {{"objtype", "U"}, {"objname", "bob"}},
         "\"S\"\"\""},
        {"SelectAdminObj",
         "<X-SelectAdminObj><X-ShowVar objtype><X-ShowVar objname>",
         {},
         "Uquendrial"},
        {"ShowObjType S", "<X-ShowObjType>", {{"objtype", "Sys"}}, "M630"},
        {"ShowObjType U", "<X-ShowObjType>", {{"objtype", "U"}}, "M629"},
        {"ShowObjType other", "<X-ShowObjType>", {{"objtype", "X"}}, ""},
        {"ShowObjType absent", "<X-ShowObjType>", {}, ""},
        {"ShowAttr",
         "<X-ShowAttr Color usequotes>",
         {{"objtype", "U"}, {"objname", "bob"}},
         "\"red\""},
        {"ShowAttr of the system, escaped",
         "<X-ShowAttr Motto>",
         {{"objtype", "S"}},
         "&lt;b&gt;hi&lt;/b&gt;"},
        {"ShowAttr missing", "<X-ShowAttr Nothing>", {{"objtype", "U"}, {"objname", "nobody"}}, ""},
        {"ShowAttrSepToCRLF",
         "<X-ShowAttrSepToCRLF Langs>",
         {{"objtype", "U"}, {"objname", "bob"}},
         "en\r\n\r\nde\r\n"},
        {"ShowAttrEventChain of the event",
         "<X-ShowAttrEventChain Slot>",
         {{"objtype", "U"}, {"objname", "bob"}, {"Event", "30000000000000"}},
         "weds"},
        {"ShowAttrEventChain falls back to the system default",
         "<X-ShowAttrEventChain Slot>",
         {{"objtype", "U"}, {"objname", "bob"}, {"Event", "E20000101000000000000"}},
         "default"},
        {"ShowSetting for the client",
         "<X-ShowSetting Greeting usequotes>",
         {},
         "\"client &amp; co\""},
        {"BlueBar default",
         "<X-BlueBar>",
         {},
         "<td bgcolor=\"#00007f\" colspan=\"1\" height=\"20\"><spacer type=\"horizontal\" "
         "size=\"5\"><font size=\"-1\" color=\"#ffffff\" face=\"MS Sans Serif\">"},
        {"BlueBar size 0 and colour",
         "<X-BlueBar size=0 color=ff0000>",
         {},
         "<td bgcolor=\"#ff0000\" colspan=\"1\" height=\"20\"><spacer type=\"horizontal\" "
         "size=\"5\"><font size=\"-1\" color=\"#ffffff\" face=\"MS Sans Serif\">"},
        {"BlueBar size kept with its tail",
         "<X-BlueBar size=3x>",
         {},
         "<td bgcolor=\"#00007f\" colspan=\"3x\" height=\"20\"><spacer type=\"horizontal\" "
         "size=\"5\"><font size=\"-1\" color=\"#ffffff\" face=\"MS Sans Serif\">"},
        {"BlueBar size not a number",
         "<X-BlueBar size=wide>",
         {},
         "<td bgcolor=\"#00007f\" colspan=\"1\" height=\"20\"><spacer type=\"horizontal\" "
         "size=\"5\"><font size=\"-1\" color=\"#ffffff\" face=\"MS Sans Serif\">"},
        {"PlaceVars escapes name and value",
         "<X-PlaceVars starts=p_>",
         {{"p_", "only the prefix"}, {"p_a\"", "<v>"}, {"P_b", "other case"}},
         "<input type=hidden name=\"p_a&quot;\" value=\"&lt;v&gt;\">\r\n"},
        {"PlaceHiddenVars",
         "<X-PlaceHiddenVars>",
         {{"hv-x\"><script>", "a&amp;b \"q\""}, {"other", "1"}},
         "<input type=hidden name=\"x&quot;&gt;&lt;script&gt;\" value=\"a&amp;amp;b "
         "&quot;q&quot;\">\r\n"},
        {"unknown tag", "a<X-NoSuchTag x>b", {}, "ab"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Render(c.body, c.vars), c.expected);
    }
    EXPECT_TRUE(g_RenderErrors.empty());
}

TEST_F(CommonTagsTest, RandIsANumberBelow32768) {
    std::string text = Render("<X-Rand>");
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.find_first_not_of("0123456789"), std::string::npos) << text;
    EXPECT_LT(std::stol(text), 32768);
}

TEST_F(CommonTagsTest, HostAndBrowserFromTheRequest) {
    const std::string port = std::to_string(m_Port);
    const std::string whiteBar =
        "<td bgcolor=\"#ffffff\" colspan=\"2\" height=\"20\"><spacer type=\"horizontal\" "
        "size=\"5\"><font size=\"-1\" color=\"#000000\" face=\"MS Sans Serif\">";
    const struct {
        const char* name;
        std::string headers;
        std::string body;
        std::string expected;
    } cases[] = {
        {"host without port", "Host: gate.example\r\n", "<X-RequestedHost>",
         "gate.example:" + port},
        {"host with port", "Host: gate.example:81\r\n", "<X-RequestedHost>", "gate.example:81"},
        {"host escaped", "Host: a\"<b>\r\n", "<X-RequestedHost>", "a&quot;&lt;b&gt;:" + port},
        {"no host header", "", "<X-RequestedHost>", "127.0.0.1:" + port},
        {"old browser gets a white bar", "User-Agent: mozilla/2.02 (X11)\r\n",
         "<X-BlueBar size=2 color=ff0000>", whiteBar},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        WritePage(c.body);
        ConnectWithHeaders(c.headers);
        EXPECT_EQ(RenderCurrent(), c.expected);
    }
}

TEST_F(CommonTagsTest, GuardsStopThePage) {
    ActivityLogInit(Path("activity").c_str(), nullptr);
    std::filesystem::create_directory(Path("activity"));
    const struct {
        const char* name;
        std::string body;
        Vars vars;
        std::string expected;
        std::vector<std::string> errors;
    } cases[] = {
        {"every pair granted", "a<X-RequiredPerms MU message=no>b", {}, "ab", {}},
        {"no pair", "a<X-RequiredPerms message=no>b", {}, "ab", {}},
        {"first refused pair stops",
         "a<X-RequiredPerms DU message=\"No access\">b\nc\n",
         {},
         "a",
         {"No access\r\n"}},
        {"var present", "a<X-RequiredVar var=v message=m>b", {{"v", "1"}}, "ab", {}},
        {"var empty", "a<X-RequiredVar var=v message=\"need v\">b", {{"v", ""}}, "a", {"need v"}},
        {"var absent", "a<X-RequiredVar var=v>b", {}, "a", {""}},
        {"no var attribute", "a<X-RequiredVar message=m>b", {}, "ab", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        g_RenderErrors.clear();
        EXPECT_EQ(Render(c.body, c.vars), c.expected);
        EXPECT_EQ(g_RenderErrors, c.errors);
    }
    // The refusal left one record: event 3, 16 with the page's name.
    std::string records;
    for (const auto& entry : std::filesystem::directory_iterator(Path("activity"))) {
        std::ifstream in(entry.path());
        records += std::string(std::istreambuf_iterator<char>(in), {});
    }
    EXPECT_NE(records.find("1=3,"), std::string::npos) << records;
    EXPECT_NE(records.find("2=16"), std::string::npos) << records;
    EXPECT_NE(records.find("M423 -- page.mhtml"), std::string::npos) << records;
    EXPECT_NE(records.find("10=alice"), std::string::npos) << records;
}

TEST_F(CommonTagsTest, ParseEventTimeBuildsTheEventDescription) {
    // Wednesday 2025-06-11, noon, local time.
    platform::SetTestTime(CVornDate(20250611, 120000).GetTime());
    WriteConfig({"DS,", "DUbob,"}, {"SUbob,When=3,Date=0,Start=90000,End=110000,Repeat=1,X=1"});
    const std::string page =
        "<X-ParseEventTime message=bad>[<X-ShowVar Event>|<X-ShowVar "
        "newsettings>]";
    const Vars bob = {{"objtype", "U"}, {"objname", "bob"}};
    auto with = [&](Vars extra) {
        Vars all = bob;
        all.insert(all.end(), extra.begin(), extra.end());
        return all;
    };
    const struct {
        const char* name;
        Vars vars;
        std::string expected;
        std::string error;  // empty: none
    } cases[] = {
        {"no event field: the default event",
         {},
         "[D0000000000000|When=D,Date=0,Repeat=1,Start=0,End=0]",
         ""},
        {"default When keeps its id",
         with({{"When", "D"}, {"Start", "0"}, {"End", "0"}, {"Date", "1/1/2030"}, {"Repeat", "1"}}),
         "[D0000000000000|When=D,Date=20300101,Repeat=1,Start=0,End=0]", ""},
        {"weekdays from a multiple selection, 12-hour selects",
         with({{"When",
                "1\x1C"
                "5"},
               {"Start-hr", "12"},
               {"Start-min", "30"},
               {"Start-mer", "AM"},
               {"End-hr", "1"},
               {"End-min", "5"},
               {"End-mer", "PM"},
               {"Date", "1/1/2030"},
               {"Repeat", "1"}}),
         "[|When=15,Date=20300101,Repeat=1,Start=3000,End=130500]", ""},
        {"24-hour selects and date selects",
         with({{"When", "E"},
               {"Start-24hr", "8"},
               {"Start-min", "0"},
               {"End-24hr", "17"},
               {"End-min", "45"},
               {"Date-day", "2"},
               {"Date-mon", "7"},
               {"Date-year", "2025"},
               {"Repeat", "3"}}),
         "[|When=E,Date=20250702,Repeat=3,Start=80000,End=174500]", ""},
        {"incomplete: no meridiem",
         with({{"When", "1"},
               {"Start-hr", "9"},
               {"Start-min", "0"},
               {"End", "100000"},
               {"Date", "1/1/2030"},
               {"Repeat", "1"}}),
         "", "bad"},
        {"a field without When", with({{"Repeat", "2"}}), "", "bad"},
        {"start after end",
         with({{"When", "1"},
               {"Start", "120000"},
               {"End", "110000"},
               {"Date", "1/1/2030"},
               {"Repeat", "1"}}),
         "", "bad"},
        {"repeat below 1",
         with({{"When", "1"}, {"Start", "0"}, {"End", "0"}, {"Date", "1/1/2030"}, {"Repeat", "0"}}),
         "", "bad"},
        {"dated event without a usable date",
         with(
             {{"When", "E"}, {"Start", "0"}, {"End", "0"}, {"Date", "13/1/2030"}, {"Repeat", "1"}}),
         "", "bad"},
        {"When with a comma would inject settings",
         with({{"When", "1,Relay=1"},
               {"Start", "0"},
               {"End", "0"},
               {"Date", "1/1/2030"},
               {"Repeat", "1"}}),
         "", "bad"},
        {"expired",
         with({{"When", "E"},
               {"Start", "0"},
               {"End", "235959"},
               {"Date", "6/1/2025"},
               {"Repeat", "3"}}),
         "", "M169"},
        {"overlaps another event",
         with({{"When", "3"},
               {"Start", "100000"},
               {"End", "120000"},
               {"Date", "0"},
               {"Repeat", "1"}}),
         "", "M170"},
        {"an empty Date is not supplied",
         with({{"When", "3"},
               {"Start", "100000"},
               {"End", "120000"},
               {"Date", ""},
               {"Repeat", "1"}}),
         "", "bad"},
        {"the edited event itself is no conflict",
         with({{"Event", "30090000110000"},
               {"When", "3"},
               {"Start", "100000"},
               {"End", "120000"},
               {"Date", "0"},
               {"Repeat", "1"}}),
         "[30090000110000|When=3,Date=0,Repeat=1,Start=100000,End=120000]", ""},
        {"weekday event beside another",
         with({{"When", "3"},
               {"Start", "120000"},
               {"End", "130000"},
               {"Date", "1/1/2030"},
               {"Repeat", "1"}}),
         "[|When=3,Date=20300101,Repeat=1,Start=120000,End=130000]", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        g_RenderErrors.clear();
        EXPECT_EQ(Render(page, c.vars), c.expected);
        if (c.error.empty())
            EXPECT_TRUE(g_RenderErrors.empty());
        else
            EXPECT_EQ(g_RenderErrors, std::vector<std::string>{c.error});
    }
}

}  // namespace
