// The administration's page tags, rendered by the real template processor
// in pages served by the web administration.
#include <gtest/gtest.h>

#include <string>

#include "webadmin/tests/support/web_admin_fixture.h"

namespace {

using webtest::BodyOf;
using webtest::Has;

class PageTagsTest : public webtest::WebAdminTest {
protected:
    // The body of the page made of text, shown by Display.
    std::string Render(const std::string& text) {
        Page("tags_a.mhtml", "\r\n" + text);
        return BodyOf(Get("/Display?what=tags_a.mhtml", LogIn()));
    }
};

TEST_F(PageTagsTest, HeaderAndFooterFrameThePage) {
    const std::string head =
        "<!-- Doctype HTML Public \"-//IETF//DTD HTML3.0//EN\" -->\r\n<html><head>";
    const std::string body =
        "</head><body bgcolor=\"#FFFFFF\" text=\"#000000\" link=\"#003366\" vlink=\"#003366\" "
        "alink=\"#444444\">\r\n";
    const std::string end = "<!--End standard footer--></body></html>\r\n";
    struct Case {
        const char* page;
        std::string expected;  // what follows the two notice lines
    } cases[] = {
        {"<X-AdminHeader>", head + body},
        {"<X-adminheader title>", head + "<title></title>\r\n" + body},
        {"<X-ADMINHEADER title=\"A &amp; B\">", head + "<title>A &amp; B</title>\r\n" + body},
        // Without the files the footer is the end of the page alone; the
        // navigation bar only comes with the attribute.
        {"<X-AdminFooter>", end},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.page);
        std::string r = Render(c.page);
        if (c.expected.rfind("<!-- Doctype", 0) == 0) {
            ASSERT_TRUE(r.rfind("<!--", 0) == 0) << r;
            size_t second = r.find("\r\n", r.find("\r\n") + 2);
            ASSERT_NE(std::string::npos, second) << r;
            EXPECT_EQ(c.expected, r.substr(second + 2)) << r;
        } else {
            EXPECT_EQ(c.expected, r);
        }
    }

    Page("footer.mhtml", "<p>foot <X-ShowVar what></p>");
    EXPECT_EQ("<p>foot <X-ShowVar what></p>" + end, Render("<X-AdminFooter>"));
    Page("navbar.mhtml", "<p>bar</p>");
    EXPECT_EQ("<p>bar</p><p>foot <X-ShowVar what></p>" + end, Render("<X-AdminFooter navbar>"));
}

}  // namespace
