// The common-tag tests' fixture: renders a template body through
// ProcessTemplate (user "alice", permissions "AM:SU") and collects what the
// error callback received.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "templates/template_processor.h"
#include "templates/tests/page_fixture.h"

namespace pagetest {

inline std::vector<std::string> g_RenderErrors;

inline void CollectError(CVornHTTPRequest*, const CVornString& text) {
    g_RenderErrors.push_back(Str(text));
}

class RenderTest : public PageTest {
protected:
    void SetUp() override {
        PageTest::SetUp();
        g_RenderErrors.clear();
        std::filesystem::create_directory(Path("pages"));
    }

    // Writes body as the template page.mhtml; the next Render shows it.
    void WritePage(const std::string& body) {
        testsupport::WriteWhole(Path("pages") + "/page.mhtml", "\r\n" + body);
    }

    // Renders the page on the current request (form variables set before)
    // and returns the response body. The request is finished.
    std::string RenderCurrent() {
        SetVar("what", "page.mhtml");
        ProcessTemplate(m_Request.get(), CVornString(Path("pages").c_str()), CVornString("alice"),
                        CVornString("127.0.0.1"), CVornString("AM:SU"), CVornString(""), false,
                        nullptr, &CollectError);
        return Received().m_Body;
    }

    // A fresh request with the given form variables, then the page body.
    std::string Render(const std::string& body,
                       const std::vector<std::pair<std::string, std::string>>& vars = {}) {
        WritePage(body);
        Connect();
        for (const auto& [name, value] : vars) SetVar(name.c_str(), value);
        return RenderCurrent();
    }

    // A fresh request that the client sends with these header lines (each
    // ending in CR LF), read by the server as the web server reads it.
    void ConnectWithHeaders(const std::string& headers) {
        Connect();
        ASSERT_TRUE(m_Client->Send("GET /page HTTP/1.0\r\n" + headers + "\r\n"));
        ASSERT_TRUE(m_Request->ReadRequestLine());
        ASSERT_TRUE(m_Request->ReadHeaders());
    }
};

}  // namespace pagetest
