// The HTTP request over a real loopback connection: reading the request
// line, header block and body (with their bounds and the read time limit),
// large bodies in temporary files, form variables, response framing,
// redirects and the refusal page.
#include "net/http_request.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "net/mail_message.h"
#include "net/tcp_socket.h"
#include "net/tests/http_fixture.h"

using namespace httptest;

namespace {

class HttpRequestTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_Listener.Listen(CVornHostAddress(Loopback(), 0)));
        CVornHostAddress local;
        ASSERT_TRUE(m_Listener.GetLocalAddress(local));
        m_Port = local.GetPort();
    }

    // A new connection; the request reads its accepted end.
    void Connect() {
        m_Request.reset();
        m_Client = std::make_unique<RawClient>(m_Port);
        m_Server = std::make_unique<CVornTCPSocket>();
        ASSERT_TRUE(m_Listener.Accept(*m_Server, 5));
        m_Request = std::make_unique<CVornHTTPRequest>(nullptr, m_Server.get(), 7,
                                                       CVornString(m_Dir.Path().c_str()));
    }
    // Connects and sends text, closing the client's side when asked.
    void Send(const std::string& text, bool close) {
        Connect();
        ASSERT_TRUE(m_Client->Send(text));
        if (close)
            m_Client->EndSending();
    }
    // Deletes the request (which finishes its response), closes the server's
    // end and returns everything the client received.
    std::string Received() {
        m_Request.reset();
        m_Server->Close();
        return m_Client->ReadAll();
    }
    // The body of the request message.
    std::string Body() {
        EXPECT_TRUE(m_Request->MakeMessage());
        CVornMailMessage* message = m_Request->GetMessage();
        if (message == nullptr)
            return "<no message>";
        CVornString body;
        EXPECT_EQ(message->SeekBody(), 0);
        EXPECT_GE(message->ReadRest(body), 0);
        return Str(body);
    }
    std::string Header(const char* name) {
        CVornString value;
        return m_Request->GetHeader(name, value) ? Str(value) : "<none>";
    }

    TempDir m_Dir;
    CVornTCPSocket m_Listener;
    unsigned short m_Port = 0;
    std::unique_ptr<RawClient> m_Client;
    std::unique_ptr<CVornTCPSocket> m_Server;
    std::unique_ptr<CVornHTTPRequest> m_Request;
};

std::string Repeat(const std::string& text, int n) {
    std::string all;
    for (int i = 0; i < n; ++i) all += text;
    return all;
}

TEST_F(HttpRequestTest, RequestLineSkipsUpToTwentyBlankLines) {
    const struct {
        std::string sent;
        bool ok;
    } cases[] = {
        {Repeat("\r\n", 20) + "GET /p HTTP/1.0\r\n", true},
        {Repeat("\r\n", 21) + "GET /p HTTP/1.0\r\n", false},
        {"GET /p HTTP/1.0", true},  // the end of the connection ends the line
        {"", false},                // a client that closes at once
        {"GET /" + std::string(kMaxHttpLineLength, 'a') + " HTTP/1.0\r\n", false},
        {"GET /p HTTP/2.0\r\n", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.sent.substr(0, 40));
        Send(c.sent, true);
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(m_Request->ReadRequestLine(), c.ok);
        // Blank lines and a closed connection never cost the 15-s waits.
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
        if (c.ok) {
            EXPECT_EQ(m_Request->m_Method, kHttpMethodGet);
            CVornString path;
            ASSERT_TRUE(m_Request->GetURI().GetPath(path, false));
            EXPECT_EQ(Str(path), "/p");
        }
    }
}

TEST_F(HttpRequestTest, HeaderBlockIsBoundedAndMayEndWithTheConnection) {
    std::string many;
    for (int i = 0; i < kMaxHttpHeaderCount; ++i) many += "X-" + std::to_string(i) + ": v\r\n";
    const struct {
        const char* name;
        std::string headers;
        bool ok;
        std::string a;
    } cases[] = {
        {"block", "A: 1\r\nB: two\r\n  more\r\n\r\n", true, "1"},
        {"ended by close", "A: 1\r\n", true, "1"},
        {"bare LF lines", "A: 1\nB: 2\n\n", true, "1"},
        {"most lines", "A: 1\r\n" + many.substr(many.find('\n') + 1) + "\r\n", true, "1"},
        {"too many lines", "A: 1\r\n" + many + "\r\n", false, ""},
        {"line too long", "A: " + std::string(kMaxHttpLineLength, 'x') + "\r\n\r\n", false, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Send("GET / HTTP/1.0\r\n" + c.headers, true);
        ASSERT_TRUE(m_Request->ReadRequestLine());
        ASSERT_EQ(m_Request->ReadHeaders(), c.ok);
        if (c.ok) {
            EXPECT_EQ(Header("a"), c.a);
            EXPECT_TRUE(m_Request->InputConsumed());
        }
    }
}

TEST_F(HttpRequestTest, BodyIsReadByLengthOrToTheEnd) {
    const struct {
        const char* name;
        std::string headers;
        std::string body;
        bool ok;
    } cases[] = {
        {"length", "Content-Length: 10\r\n", "0123456789", true},
        {"length with more after it", "Content-Length: 4\r\n", "0123", true},
        {"short body", "Content-Length: 10\r\n", "01234", false},
        {"no length", "", "read to the end", true},
        {"negative length", "Content-Length: -3\r\n", "to the end", true},
        {"over the bound", "Content-Length: 99999999999999999999\r\n", "x", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Send("POST /f HTTP/1.0\r\n" + c.headers + "\r\n" + c.body, true);
        ASSERT_TRUE(m_Request->ReadRequestLine());
        ASSERT_TRUE(m_Request->ReadHeaders());
        EXPECT_FALSE(m_Request->InputConsumed());
        ASSERT_EQ(m_Request->ReadEntity(), c.ok);
        if (c.ok) {
            EXPECT_TRUE(m_Request->InputConsumed());
            EXPECT_EQ(Body(), c.body);
        }
    }
}

TEST_F(HttpRequestTest, LargeBodiesLiveInATemporaryFileThatGoesWithTheRequest) {
    std::string body(40000, 'b');
    for (bool withLength : {true, false}) {
        SCOPED_TRACE(withLength ? "with length" : "to the end");
        std::string headers = withLength ? "Content-Length: 40000\r\n" : "";
        Send("POST /f HTTP/1.0\r\n" + headers + "\r\n" + body, true);
        ASSERT_TRUE(m_Request->ReadRequestLine());
        ASSERT_TRUE(m_Request->ReadHeaders());
        ASSERT_TRUE(m_Request->ReadEntity());
        EXPECT_EQ(m_Dir.Files(), std::vector<std::string>{"h7aa.tmp"});
        EXPECT_EQ(Body(), body);
        m_Request.reset();
        EXPECT_TRUE(m_Dir.Files().empty());
    }

    // A body over the bound is refused before anything is stored.
    Send("POST /f HTTP/1.0\r\nContent-Length: " + std::to_string(kMaxHttpBodyLength + 1) +
             "\r\n\r\n" + body,
         true);
    ASSERT_TRUE(m_Request->ReadRequestLine());
    ASSERT_TRUE(m_Request->ReadHeaders());
    EXPECT_FALSE(m_Request->ReadEntity());
    EXPECT_TRUE(m_Dir.Files().empty());
}

TEST_F(HttpRequestTest, ReadsEndWhenATimeLimitPasses) {
    // Each client sends its first text, then a piece every stepMs (at most
    // pieces of them, none after 6 s), then ends its side. The head gets
    // 1 s; the whole request the given limit; a body must keep up
    // kMinBodyBytesPerSecond after its grace.
    const std::string post = "POST / HTTP/1.0\r\nContent-Length: ";
    const struct {
        const char* name;
        std::string first;
        std::string piece;
        int stepMs;
        int pieces;  // 0: until the time runs out
        int requestLimit;
        bool body;  // the time limit cuts the body, not the head
        bool ok;
    } cases[] = {
        {"silent", "", "", 100, 0, 60, false, false},
        {"trickled header line", "GET / HTTP/1.0\r\nX-A: ", "a", 100, 0, 60, false, false},
        {"body under the minimum rate", post + "100000\r\n\r\n", std::string(10, 'b'), 100, 0, 60,
         true, false},
        // A declared length buys no time past the request's limit.
        {"body past the request limit", post + "16000000\r\n\r\n", std::string(8192, 'b'), 50, 0, 2,
         true, false},
        // A body that keeps its rate may take longer than the head's limit.
        {"body at a steady rate", post + "30000\r\n\r\n", std::string(3000, 'b'), 150, 10, 60, true,
         true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Send(c.first, false);
        m_Request->SetHeadTimeLimit(1);
        m_Request->SetReadTimeLimit(c.requestLimit);
        std::atomic<bool> stop{false};
        std::thread sender([&] {
            auto end = std::chrono::steady_clock::now() + std::chrono::seconds(6);
            for (int i = 0;
                 !stop && (c.pieces == 0 || i < c.pieces) && std::chrono::steady_clock::now() < end;
                 ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(c.stepMs));
                if (!c.piece.empty() && !m_Client->Send(c.piece))
                    break;
            }
            m_Client->EndSending();
        });
        auto start = std::chrono::steady_clock::now();
        bool head = m_Request->ReadRequestLine() && m_Request->ReadHeaders();
        bool ok = head && m_Request->ReadEntity();
        auto elapsed = std::chrono::steady_clock::now() - start;
        stop = true;
        sender.join();
        EXPECT_EQ(head, c.body);
        EXPECT_EQ(ok, c.ok);
        EXPECT_EQ(m_Request->TimedOut(), !c.ok);
        EXPECT_LT(elapsed, std::chrono::seconds(5));
    }
}

TEST_F(HttpRequestTest, HeadersComeFromTheEntityAndThenFromTheMessage) {
    Send("POST /f HTTP/1.0\r\nX-Token: abc\r\nContent-Length: 2\r\n\r\nok", false);
    ASSERT_TRUE(m_Request->ReadRequestLine());
    ASSERT_TRUE(m_Request->ReadHeaders());
    ASSERT_TRUE(m_Request->ReadEntity());
    EXPECT_EQ(Header("x-token"), "abc");
    EXPECT_EQ(Body(), "ok");  // the entity becomes the request message
    EXPECT_EQ(Header("X-TOKEN"), "abc");
    EXPECT_EQ(Header("missing"), "<none>");
    EXPECT_FALSE(m_Request->MakeMessage());  // only once
    CVornString client;
    m_Request->GetClientAddress(client);
    EXPECT_EQ(Str(client), "127.0.0.1");
}

TEST(HttpRequestForm, VariablesFromQueryText) {
    const struct {
        const char* text;
        std::vector<std::pair<std::string, std::string>> expected;
    } cases[] = {
        {"a=1&b=x+y&a=2",
         {{"a",
           "2\x1C"
           "1"},
          {"b", "x y"}}},
        {"c", {{"", ""}}},
        {"&&d=%41%3d&&", {{"d", "A="}}},
        {"e==1", {{"e", "=1"}}},
        {"F=1&f=2",
         {{"f",
           "2\x1C"
           "1"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        CVornHTTPRequest request(nullptr, nullptr, 1, CVornString("/tmp"));
        EXPECT_TRUE(request.ParseFormVariables(CVornString(c.text)));
        EXPECT_EQ(request.m_FormVariables.Count(), static_cast<int>(c.expected.size()));
        for (const auto& [name, value] : c.expected) {
            CVornString got;
            ASSERT_TRUE(request.m_FormVariables.Get(name.c_str(), got)) << name;
            EXPECT_EQ(Str(got), value);
        }
    }

    // The newest spelling is the key; a second call joins with the first.
    CVornHTTPRequest request(nullptr, nullptr, 1, CVornString("/tmp"));
    request.ParseFormVariables(CVornString("Name=1"));
    request.AddFormVariable(CVornString("NAME"), CVornString("2"));
    CVornString key;
    ASSERT_TRUE(request.m_FormVariables.First(key, nullptr));
    EXPECT_EQ(Str(key), "NAME");
}

TEST(HttpRequestForm, ItemsAreBoundedAndJoinedInLinearTime) {
    CVornHTTPRequest request(nullptr, nullptr, 1, CVornString("/tmp"));
    // Long values of one name: joining them one by one would copy gigabytes.
    std::string value(1000, 'v');
    EXPECT_FALSE(request.ParseFormVariables(
        CVornString(Repeat("a=" + value + "&", kMaxFormItems + 5).c_str())));
    CVornString joined;
    ASSERT_TRUE(request.m_FormVariables.Get("a", joined));
    EXPECT_EQ(joined.Length(), kMaxFormItems * 1001 - 1);
    // The bound holds for the whole request.
    EXPECT_FALSE(request.ParseFormVariables(CVornString("b=1")));
    EXPECT_FALSE(request.m_FormVariables.Get("b", nullptr));
}

// ---- Responses

// The response with the value of its Date line replaced by "*".
std::string WithoutDate(std::string response) {
    size_t at = response.find("Date: ");
    if (at != std::string::npos) {
        size_t end = response.find("\r\n", at);
        response.replace(at + 6, end - at - 6, "*");
    }
    return response;
}

TEST_F(HttpRequestTest, ResponseFraming) {
    const std::string head = "HTTP/1.0 200 OK\r\nDate: *\r\nServer: Vorn-HTTP/1.0\r\n";
    // The pieces are written with a Flush after each but the last, then
    // Finish: a flush sends nothing before the header block is complete.
    const struct {
        const char* name;
        int method;
        int status;
        std::vector<std::string> pieces;
        std::string expected;
    } cases[] = {
        {"header and body",
         kHttpMethodGet,
         kHttpStatusOk,
         {"Set-Cookie: a=b\r\n", "\r\n0123456789"},
         head +
             "Content-Type: text/html\r\nContent-Length: 10\r\nSet-Cookie: a=b\r\n\r\n0123456789"},
        {"header line only",
         kHttpMethodGet,
         kHttpStatusOk,
         {"Location: /x\r\n"},
         head + "Content-Type: text/html\r\nContent-Length: 0\r\nLocation: /x\r\n\r\n"},
        {"header line without its end",
         kHttpMethodGet,
         kHttpStatusOk,
         {"Location: /x"},
         head + "Content-Type: text/html\r\nContent-Length: 0\r\nLocation: /x\r\n\r\n"},
        {"body only",
         kHttpMethodGet,
         kHttpStatusOk,
         {"<p>hi</p>"},
         head + "Content-Type: text/html\r\nContent-Length: 9\r\n\r\n<p>hi</p>"},
        {"HEAD",
         kHttpMethodHead,
         kHttpStatusOk,
         {"Content-Type: text/plain\r\n", "\r\nhello"},
         head + "Content-Length: 5\r\nContent-Type: text/plain\r\n\r\n"},
        {"other status",
         kHttpMethodGet,
         kHttpStatusNotFound,
         {"\r\ngone"},
         "HTTP/1.0 404 Not Found\r\nDate: *\r\nServer: Vorn-HTTP/1.0\r\n"
         "Content-Type: text/html\r\n\r\ngone"},
        {"handler's own fields",
         kHttpMethodGet,
         kHttpStatusOk,
         {"Date: d\r\nServer: s\r\nContent-Type: t\r\nContent-Length: 1\r\n\r\nx"},
         "HTTP/1.0 200 OK\r\nDate: *\r\nServer: s\r\nContent-Type: t\r\nContent-Length: "
         "1\r\n\r\nx"},
        {"sent in pieces",
         kHttpMethodGet,
         kHttpStatusOk,
         {"X: 1\r\n\r\nab", "cd"},
         head + "Content-Type: text/html\r\nX: 1\r\n\r\nabcd"},
        {"nothing", kHttpMethodGet, kHttpStatusOk, {}, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Connect();
        m_Request->m_Method = c.method;
        m_Request->SetStatus(c.status);
        for (size_t i = 0; i < c.pieces.size(); ++i) {
            EXPECT_EQ(m_Request->Write(c.pieces[i].c_str()), static_cast<int>(c.pieces[i].size()));
            if (i + 1 < c.pieces.size()) {
                EXPECT_TRUE(m_Request->Flush());
            }
        }
        EXPECT_TRUE(m_Request->Finish());
        EXPECT_EQ(WithoutDate(Received()), c.expected);
    }
}

TEST_F(HttpRequestTest, LargeResponseGoesOutInPiecesWithoutLength) {
    Connect();
    std::string body(70000, 'z');
    ASSERT_EQ(m_Request->AddHeader("X-Big", 1), 10);
    m_Request->Write("\r\n");
    ASSERT_EQ(m_Request->Write(body.c_str()), 70000);  // over the flush size: sent now
    ASSERT_TRUE(m_Request->Finish());

    // Finished: every writer refuses.
    EXPECT_EQ(m_Request->Write("more"), -1);
    EXPECT_EQ(m_Request->AddHeader("A", "b"), -1);
    EXPECT_FALSE(m_Request->Flush());
    EXPECT_FALSE(m_Request->Finish());
    EXPECT_FALSE(m_Request->Redirect(CVornString("/x")));

    Response response(Received());
    EXPECT_EQ(response.m_Status, "HTTP/1.0 200 OK");
    EXPECT_FALSE(response.Has("content-length"));
    EXPECT_EQ(response.Header("x-big"), "1");
    EXPECT_EQ(response.m_Body, body);
}

TEST_F(HttpRequestTest, RedirectTakesOnlyAPlainHostHeader) {
    const std::string local = "127.0.0.1:" + std::to_string(m_Port);
    const struct {
        std::string hostLine;
        std::string path;
        std::string location;
    } cases[] = {
        {"Host: example.com:8080\r\n", "/next", "http://example.com:8080/next"},
        {"Host: Gate-1.example\r\n", "/next",
         "http://Gate-1.example:" + std::to_string(m_Port) + "/next"},
        {"", "/next", "http://" + local + "/next"},
        {"Host: evil.com/x\r\n", "/next", "http://" + local + "/next"},
        {"Host: a b\r\n", "/next", "http://" + local + "/next"},
        {"Host: <script>\r\n", "/next", "http://" + local + "/next"},
        {"Host: h:99999\r\n", "/next", "http://" + local + "/next"},
        {"Host: h:\r\n", "/next", "http://" + local + "/next"},
        {"Host: h\r\n", "/a\r\nSet-Cookie: x",
         "http://h:" + std::to_string(m_Port) + "/aSet-Cookie: x"},
        {"Host: h\r\n", "rel", "http://h:" + std::to_string(m_Port) + "/rel"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.hostLine + c.path);
        Send("GET / HTTP/1.0\r\n" + c.hostLine + "\r\n", false);
        ASSERT_TRUE(m_Request->ReadRequestLine());
        ASSERT_TRUE(m_Request->ReadHeaders());
        EXPECT_TRUE(m_Request->Redirect(CVornString(c.path.c_str())));
        Response response(Received());
        EXPECT_EQ(response.m_Status.substr(0, 13), "HTTP/1.0 302 ");
        EXPECT_EQ(response.Header("location"), c.location);
        EXPECT_FALSE(response.Has("set-cookie"));
        EXPECT_FALSE(response.Has("content-length"));
        EXPECT_EQ(response.m_Body, "");
    }
}

TEST_F(HttpRequestTest, RefusalPageEscapesTheRequestedUrl) {
    Send("GET http://other.example:81/p?q=<script>&r=\"x\" HTTP/1.0\r\n\r\n", false);
    ASSERT_TRUE(m_Request->ReadRequestLine());
    ASSERT_TRUE(m_Request->ReadHeaders());
    m_Request->SendRefusal();
    Response response(Received());
    EXPECT_EQ(response.m_Status.substr(0, 13), "HTTP/1.0 403 ");
    EXPECT_EQ(response.Header("content-length"), std::to_string(response.m_Body.size()));
    EXPECT_NE(
        response.m_Body.find("http://other.example:81/p?q=&lt;script&gt;&amp;r=&quot;x&quot;"),
        std::string::npos)
        << response.m_Body;
    EXPECT_EQ(response.m_Body.find("<script>"), std::string::npos);
}

}  // namespace
