// The template processor on real template files and a real request: text
// and tags, blocks and their limits, handlers that stop the page, and the
// pages that cannot be shown.
#include "templates/template_processor.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "templates/tests/page_fixture.h"

using pagetest::PageTest;
using pagetest::Str;

namespace {

std::vector<std::string> g_Errors;  // texts given to the error callback
int g_PageTagCalls = 0;

// The page's own tags: ShowUser, Stop, and Echo (its name and attributes in
// name order as "name:k=v;...").
int PageTag(CVornHTTPRequest* request, const CVornString& name, CVornStringMap& attributes,
            const CVornString& user, const CVornString&) {
    ++g_PageTagCalls;
    if (name.Equals("ShowUser", 0)) {
        request->Write(user);
        return kTagHandled;
    }
    if (name.Equals("Stop", 0))
        return kTagStopPage;
    if (name.Equals("Echo", 0)) {
        std::map<std::string, std::string> sorted;
        CVornString key;
        void* value = nullptr;
        for (bool more = attributes.First(key, &value); more; more = attributes.Next(key, &value))
            sorted[Str(key)] = Str(*static_cast<CVornString*>(value));
        std::string text = Str(name) + ":";
        for (const auto& [k, v] : sorted) text += k + "=" + v + ";";
        request->Write(text.c_str());
        return kTagHandled;
    }
    return kTagNotMine;
}

void OnError(CVornHTTPRequest*, const CVornString& text) { g_Errors.push_back(Str(text)); }

class TemplateTest : public PageTest {
protected:
    void SetUp() override {
        PageTest::SetUp();
        g_Errors.clear();
        g_PageTagCalls = 0;
        std::filesystem::create_directory(Folder());
    }
    std::string Folder() const { return Path("pages"); }

    void Process(bool inlineError = false) {
        ProcessTemplate(m_Request.get(), CVornString(Folder().c_str()), CVornString("alice"),
                        CVornString("127.0.0.1"), CVornString("AM:SU"), CVornString(""),
                        inlineError, &PageTag, &OnError);
    }

    // Renders body as the template "page.mhtml" (after a header block of its
    // own) and returns the response body.
    std::string Render(const std::string& body) {
        testsupport::WriteWhole(Folder() + "/page.mhtml", "Content-Type: text/html\r\n\r\n" + body);
        Connect();
        SetVar("what", "page.mhtml");
        Process();
        return Received().m_Body;
    }

    // How many block errors (event 91 for the page) were reported.
    int BlockErrors() {
        int n = 0;
        for (const std::string& event : Events()) {
            EXPECT_NE(event.find("M91 " + Folder() + "/page.mhtml"), std::string::npos) << event;
            ++n;
        }
        return n;
    }
};

TEST(ParseTemplateTag, WordsBecomeNameAndAttributes) {
    const struct {
        const char* text;
        const char* expected;  // name, then "k=v;" in name order; null: no word
    } cases[] = {
        {"Echo", "Echo"},
        {"  Echo\t a=1  ", "Echo a=1;"},
        {"Echo a=1 b=\"x y\" c=", "Echo a=1;b=x y;c=;"},
        {"Echo a=1 a=2 A=3", "Echo A=3;a=2;"},        // last wins; case kept apart
        {"Echo h==i j=k=l", "Echo h=i;j=k=l;"},       // split at the first run of '='
        {"Echo =a=b =g ==", "Echo ===;=g=;a=b;"},     // "=a=b" is a=b; "=g" is bare
        {"Echo perms = MU", "Echo ==;MU=;perms=;"},  // no blanks around '='
        {"Echo v=a\\\"b", "Echo v=a\"b;"},            // a backslash protects a quote
        {"Echo v=(a b) w=\"(\"", "Echo v=(a b);w=(;"},
        {"\"If\" x", "\"If\" x=;"},
        {"", nullptr},
        {" \t ", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        CVornString name("untouched");
        CVornStringMap attributes(0, 0);
        bool parsed = ParseTemplateTag(CVornString(c.text), name, attributes);
        if (!c.expected) {
            EXPECT_FALSE(parsed);
            EXPECT_EQ(Str(name), "untouched");
            continue;
        }
        ASSERT_TRUE(parsed);
        std::map<std::string, std::string> sorted;
        CVornString key;
        void* value = nullptr;
        for (bool more = attributes.First(key, &value); more; more = attributes.Next(key, &value))
            sorted[Str(key)] = Str(*static_cast<CVornString*>(value));
        std::string text = Str(name);
        if (!sorted.empty())
            text += " ";
        for (const auto& [k, v] : sorted) text += k + "=" + v + ";";
        EXPECT_EQ(text, c.expected);
    }
}

TEST_F(TemplateTest, TextAndTags) {
    const struct {
        const char* name;
        std::string body;
        std::string expected;
    } cases[] = {
        {"tags in a line", "a<X-ShowUser>b<X-ShowUser>c\n", "aalicebalicec\n"},
        {"small x is text", "<x-ShowUser>\n", "<x-ShowUser>\n"},
        {"no closing bracket", "text <X-ShowUser and more\nnext\n", "text <X-ShowUser and more\nnext\n"},
        {"quoted bracket ends the tag", "<X-Echo v=\"a>b\">\n", "Echo:v=a;b\">\n"},
        {"unknown tag writes nothing", "a<X-Nothing here>b\n", "ab\n"},
        {"empty tags are dropped", "a<X->b<X- \t>c\n", "abc\n"},
        {"carriage return stays", "a\r\nb\r\n", "a\r\nb\r\n"},
        {"last line without line feed", "a\nb<X-ShowUser>", "a\nbalice"},
        {"tag text spans no lines", "<X-ShowUser\n>x\n", "<X-ShowUser\n>x\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Render(c.body), c.expected);
        EXPECT_EQ(BlockErrors(), 0);
    }
}

TEST_F(TemplateTest, BlocksKeepOrDropTheirParts) {
    const struct {
        const char* name;
        const char* var;  // the form variable v
        std::string body;
        std::string expected;
        int blockErrors;
    } cases[] = {
        {"held", "1", "<X-If varstmt=\"v EQ 1\">yes<X-Else>no<X-Fi>\n", "yes\n", 0},
        {"failed", "2", "<X-If varstmt=\"v EQ 1\">yes<X-Else>no<X-Fi>\n", "no\n", 0},
        {"any letter case", "1", "<X-if varstmt=\"v EQ 1\">yes<X-ELSE>no<X-fI>\n", "yes\n", 0},
        {"no keyword holds", "", "<X-If note=1>a<X-Fi>\n", "a\n", 0},
        {"permissions", "", "<X-If perms=MU>a<X-Fi><X-If perms=DU>b<X-Fi>\n", "a\n", 0},
        {"nested",
         "1",
         "<X-If varstmt=\"v EQ 1\">A<X-If FW1>B<X-Else>C<X-Fi>D<X-Fi>E\n",
         "ACDE\n",
         0},
        {"dead Else part: no text, no tags, nested If counted",
         "",
         "<X-If>A<X-Else>B<X-ShowUser><X-If>C<X-Else>c<X-Fi>D<X-Fi>E\n",
         "AE\n",
         0},
        {"inside a dead part nothing lives", "", "<X-If FW1><X-If>a<X-Else>b<X-Fi><X-Fi>c\n", "c\n", 0},
        {"second Else changes nothing", "", "<X-If FW1>a<X-Else>b<X-Else>c<X-Fi>\n", "bc\n", 0},
        {"blocks span lines", "", "<X-If FW1>\nhidden\n<X-Else>\nshown\n<X-Fi>\n", "\nshown\n\n", 0},
        {"five levels",
         "",
         "<X-If><X-If><X-If><X-If><X-If>x<X-Fi><X-Fi><X-Fi><X-Fi><X-Fi>\n",
         "x\n",
         0},
        {"sixth If refused; the last Fi finds no block",
         "",
         "<X-If><X-If><X-If><X-If><X-If><X-If>x<X-Fi><X-Fi><X-Fi><X-Fi><X-Fi><X-Fi>\n",
         "x\n",
         2},
        {"a refused If's Else and Fi act on the level outside",
         "",
         "<X-If><X-If><X-If><X-If><X-If><X-If FW1>x<X-Else>y<X-Fi>z\n",
         "xz\n",
         2},  // the refusal, then the four levels left open
        {"Else and Fi without If", "", "<X-Else>a<X-Fi>b\n", "ab\n", 2},
        {"If left open", "", "<X-If>a\n", "a\n", 1},
        {"several left open: one report", "", "<X-If><X-If FW1><X-If>a\n", "", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        testsupport::WriteWhole(Folder() + "/page.mhtml", "\r\n" + c.body);
        Connect();
        SetVar("what", "page.mhtml");
        SetVar("v", c.var);
        Process();
        EXPECT_EQ(Received().m_Body, c.expected);
        EXPECT_EQ(BlockErrors(), c.blockErrors);
    }
    EXPECT_TRUE(g_Errors.empty());
}

TEST_F(TemplateTest, AStoppingHandlerEndsThePage) {
    EXPECT_EQ(Render("a\nb<X-Stop>c<X-ShowUser>\nd\n"), "a\nb");
    EXPECT_EQ(g_PageTagCalls, 1);
    // No report for blocks left open when the page stops.
    EXPECT_EQ(Render("<X-If>a<X-Stop>b\n"), "a");
    EXPECT_EQ(BlockErrors(), 0);
}

TEST_F(TemplateTest, PagesThatCannotBeShown) {
    testsupport::WriteWhole(Folder() + "/page.mhtml", "\r\nsecret\n");
    std::filesystem::create_directory(Folder() + "/sub");
    const struct {
        const char* name;
        const char* what;  // null: absent
        bool inlineError;
        std::string error;   // to the error callback, empty: none
        std::string body;    // the response body
        bool finished;       // the processor finished the response
    } cases[] = {
        {"no page named", nullptr, false, "M116", "", false},
        {"parent folder", "../pages/page.mhtml", false, "M117", "", false},
        {"two dots anywhere", "page..mhtml", true, "M117", "", false},
        // The page's name follows the text, never the server's folder.
        {"missing", "missing.mhtml", false, "M117missing.mhtml", "", false},
        {"missing, inline", "missing.mhtml", true, "", "M117missing.mhtml", true},
        {"a folder", "sub", false, "M117sub", "", false},
        {"escaped", "<b>&.mhtml", true, "", "M117&lt;b&gt;&amp;.mhtml", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        g_Errors.clear();
        Connect();
        if (c.what)
            SetVar("what", c.what);
        Process(c.inlineError);
        EXPECT_EQ(m_Request->IsFinished(), c.finished);
        if (c.error.empty())
            EXPECT_TRUE(g_Errors.empty());
        else
            EXPECT_EQ(g_Errors, std::vector<std::string>{c.error});
        httptest::Response response = Received();
        EXPECT_EQ(response.m_Body, c.body);
    }
    // A NUL byte in the name is refused, not cut short to an existing page.
    g_Errors.clear();
    Connect();
    SetVar("what", std::string("page.mhtml\0.txt", 15));
    Process();
    EXPECT_EQ(g_Errors, std::vector<std::string>{"M117"});
    EXPECT_EQ(Received().m_Body, "");
}

}  // namespace
