// CVornHTTPClient against a tiny server of the test's own on loopback (one
// thread, one connection, a canned answer): the request as sent, answers
// with and without Content-Length, a redirect, an answer without status
// line, a server that never answers, answers over the bounds, and the errors
// before and after connecting.
#include "net/http_client.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "core/memory_file.h"
#include "core/tests/support/ports.h"
#include "core/tests/support/vorn_helpers.h"

namespace {

using testsupport::LoopbackAddress;
using testsupport::Text;

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
}

// Accepts one connection, reads the request (header block and, by its
// Content-Length, the body), writes the answer, and then either closes or
// waits until the client closes. Every wait is bounded.
class TinyServer {
public:
    explicit TinyServer(std::string answer, bool closeAfter = true) {
        CVornHostAddress local(LoopbackAddress(), 0);
        EXPECT_TRUE(m_Listener.Listen(local));
        CVornHostAddress bound;
        EXPECT_TRUE(m_Listener.GetLocalAddress(bound));
        m_Port = bound.GetPort();
        m_Thread = std::thread([this, answer, closeAfter] { serve(answer, closeAfter); });
    }
    ~TinyServer() { m_Thread.join(); }

    unsigned short Port() const { return m_Port; }
    std::string Url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(m_Port) + path;
    }
    std::string Received() {
        std::lock_guard<std::mutex> hold(m_Mutex);
        return m_Request;
    }

private:
    void serve(const std::string& answer, bool closeAfter) {
        CVornTCPSocket connection;
        if (!m_Listener.Accept(connection, 5))
            return;
        CVornString head;
        connection.ReadUntil(head, "\r\n\r\n", 5);
        std::string request = Text(head);
        size_t at = Lower(request).find("content-length:");
        if (at != std::string::npos) {
            CVornString body;
            connection.Read(body, atoi(request.c_str() + at + 15), 5);
            request += Text(body);
        }
        {
            std::lock_guard<std::mutex> hold(m_Mutex);
            m_Request = request;
        }
        if (!answer.empty())
            connection.Write(answer.data(), static_cast<int>(answer.size()));
        if (!closeAfter) {
            CVornString rest;
            connection.Read(rest, 0, 5);
        }
        connection.Close();
    }

    CVornTCPSocket m_Listener;
    unsigned short m_Port = 0;
    std::mutex m_Mutex;
    std::string m_Request;
    std::thread m_Thread;
};

// An open entity over a memory file holding text.
std::unique_ptr<CVornRFC822Entity> MakeEntity(const std::string& text = "") {
    CVornMemoryFile file;
    EXPECT_TRUE(file.Open());
    if (!text.empty()) {
        EXPECT_EQ(file.Write(text.data(), static_cast<int>(text.size())),
                  static_cast<int>(text.size()));
    }
    auto entity = std::make_unique<CVornRFC822Entity>(file, 0);
    EXPECT_TRUE(entity->IsOpen());
    return entity;
}

std::string Header(CVornRFC822Entity& entity, const char* name) {
    CVornString value;
    if (!entity.GetHeader(CVornString(name), value))
        return "(none)";
    return Text(value);
}

// The whole body, read in pieces of `piece` bytes; "(failed)" appended on -1.
std::string ReadAll(CVornHTTPClient& client, int piece) {
    std::string body;
    for (int guard = 0; guard < 10000; ++guard) {
        CVornString out;
        int n = client.ReadBody(out, piece);
        if (n < 0)
            return body + "(failed)";
        if (n == 0)
            return body;
        body += Text(out);
    }
    return body + "(endless)";
}

class HttpClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        CVornTCPSocket::SetConnectTimeoutMs(2000);
        CVornTCPSocket::SetSendTimeoutMs(2000);
    }
    void TearDown() override { CVornTCPSocket::ResetTimeouts(); }

    // Request on client for url; statusLine and response filled.
    bool Fetch(CVornHTTPClient& client, int method, const std::string& url,
               const std::string& request = "") {
        CVornURI uri;
        EXPECT_TRUE(uri.Parse(CVornString(url.c_str()), 3));
        m_Request = MakeEntity(request);
        m_Response = MakeEntity();
        return client.Request(method, uri, *m_Request, m_StatusLine, *m_Response);
    }

    std::unique_ptr<CVornRFC822Entity> m_Request;
    std::unique_ptr<CVornRFC822Entity> m_Response;
    CVornString m_StatusLine;
};

TEST_F(HttpClientTest, GetSendsTheFieldsAskedAndStopsAtTheContentLength) {
    // The server keeps the connection open: only the length ends the body.
    TinyServer server("HTTP/1.0 200 OK\r\nContent-Length: 10\r\nX-A: b\r\n\r\n0123456789", false);
    CVornHTTPClient client;
    ASSERT_TRUE(Fetch(client, kHttpMethodGet, server.Url("/p?q"),
                      "X-Mine: 1\r\nKeep-Alive: 300\r\nTransfer-Encoding: chunked\r\n"
                      "Connection: keep-alive\r\n\r\n"));
    EXPECT_EQ(Text(m_StatusLine), "HTTP/1.0 200 OK\r\n");
    EXPECT_EQ(Header(*m_Response, "x-a"), "b");

    std::string sent = server.Received();
    EXPECT_EQ(sent.rfind("GET /p?q HTTP/1.0\r\n", 0), 0u) << sent;
    EXPECT_NE(sent.find("X-Mine: 1\r\n"), std::string::npos) << sent;
    EXPECT_NE(sent.find("Connection: close\r\n"), std::string::npos) << sent;
    EXPECT_NE(sent.find("Host: 127.0.0.1:" + std::to_string(server.Port()) + "\r\n"),
              std::string::npos)
        << sent;
    EXPECT_EQ(sent.find("Keep-Alive"), std::string::npos) << sent;
    EXPECT_EQ(sent.find("Transfer-Encoding"), std::string::npos) << sent;
    EXPECT_EQ(sent.find("keep-alive"), std::string::npos) << sent;

    CVornString out;
    EXPECT_EQ(client.ReadBody(out, 100), 10);
    EXPECT_EQ(Text(out), "0123456789");
    EXPECT_FALSE(client.IsEOF());
    EXPECT_EQ(client.ReadBody(out, 100), 0);
    EXPECT_TRUE(client.IsEOF());

    // One client, one request.
    EXPECT_FALSE(Fetch(client, kHttpMethodGet, server.Url("/again")));
    EXPECT_EQ(client.GetLastError(), kHttpClientAlreadyConnected);
}

TEST_F(HttpClientTest, PostSendsItsBodyAndABodyWithoutLengthEndsWithTheConnection) {
    std::string body(5000, 'x');
    body[4999] = 'y';
    TinyServer server("HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\n" + body);
    CVornHTTPClient client;
    ASSERT_TRUE(Fetch(client, kHttpMethodPost, server.Url("/form"),
                      "Content-Type: application/x-www-form-urlencoded\r\n"
                      "Content-Length: 7\r\n\r\na=1&b=2"));
    std::string sent = server.Received();
    EXPECT_EQ(sent.rfind("POST /form HTTP/1.0\r\n", 0), 0u) << sent;
    EXPECT_EQ(sent.substr(sent.size() - 11), "\r\n\r\na=1&b=2") << sent;

    EXPECT_EQ(Text(m_StatusLine), "HTTP/1.1 200 OK\r\n");
    EXPECT_EQ(ReadAll(client, 1000), body);
    EXPECT_TRUE(client.IsEOF());
}

TEST_F(HttpClientTest, RedirectIsReturnedNotFollowed) {
    TinyServer server(
        "HTTP/1.0 302 Found\r\nLocation: http://127.0.0.1:1/elsewhere\r\n"
        "Content-Length: 0\r\n\r\n");
    CVornHTTPClient client;
    ASSERT_TRUE(Fetch(client, kHttpMethodGet, server.Url("/old")));
    EXPECT_EQ(Text(m_StatusLine), "HTTP/1.0 302 Found\r\n");
    EXPECT_EQ(Header(*m_Response, "Location"), "http://127.0.0.1:1/elsewhere");
    EXPECT_EQ(ReadAll(client, 100), "");
}

TEST_F(HttpClientTest, ConnectSendsTheAuthorityAsTarget) {
    TinyServer server("HTTP/1.0 200 Connection established\r\n\r\n");
    CVornHTTPClient client;
    ASSERT_TRUE(Fetch(client, kHttpMethodConnect, server.Url("/ignored")));
    EXPECT_EQ(server.Received().rfind(
                  "CONNECT 127.0.0.1:" + std::to_string(server.Port()) + " HTTP/1.0\r\n", 0),
              0u);
}

TEST_F(HttpClientTest, AnswerWithoutStatusLineGetsOneMadeUpAndKeepsItsBody) {
    // The last line has no line end and the connection ends behind it: the
    // client has already seen the end of the data, yet the body is unread.
    TinyServer server("<html>hello</html>\r\nX-Y: z\r\nlast");
    CVornHTTPClient client;
    ASSERT_TRUE(Fetch(client, kHttpMethodGet, server.Url("/")));
    EXPECT_EQ(Text(m_StatusLine), "HTTP/1.0 200 OK");
    EXPECT_EQ(Header(*m_Response, "Pragma"), "No-Cache");
    EXPECT_EQ(Header(*m_Response, "Content-Type"), "text/html");
    EXPECT_EQ(Header(*m_Response, "X-Y"), "z");
    EXPECT_FALSE(client.IsEOF());
    EXPECT_EQ(ReadAll(client, 100), "last\r\n");
    EXPECT_TRUE(client.IsEOF());
}

TEST_F(HttpClientTest, ServerThatNeverAnswersTimesOut) {
    TinyServer server("", false);
    CVornHTTPClient client;
    client.SetWaitSeconds(1);
    EXPECT_FALSE(Fetch(client, kHttpMethodGet, server.Url("/")));
    EXPECT_EQ(client.GetLastError(), kHttpClientTimedOut);
}

TEST_F(HttpClientTest, AnswersOverTheBoundsFail) {
    auto fields = [](int count) {
        std::string text;
        for (int i = 0; i < count; ++i) text += "X-" + std::to_string(i) + ": v\r\n";
        return text;
    };
    const struct {
        const char* what;
        std::string answer;
    } cases[] = {
        {"status line", "HTTP/1.0 200 " + std::string(kMaxHttpLineLength, 'a') + "\r\n\r\n"},
        {"header line",
         "HTTP/1.0 200 OK\r\nX: " + std::string(kMaxHttpLineLength, 'a') + "\r\n\r\n"},
        {"header count", "HTTP/1.0 200 OK\r\n" + fields(kMaxHttpHeaderCount + 1) + "\r\n"},
        {"length", "HTTP/1.0 200 OK\r\nContent-Length: 101\r\n\r\n"},
        {"huge length", "HTTP/1.0 200 OK\r\nContent-Length: 99999999999999999999\r\n\r\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TinyServer server(c.answer);
        CVornHTTPClient client;
        client.SetMaxBodySize(100);
        EXPECT_FALSE(Fetch(client, kHttpMethodGet, server.Url("/")));
        EXPECT_EQ(client.GetLastError(), kHttpClientReceiveFailed);
    }
    // The largest of each is accepted.
    TinyServer server("HTTP/1.0 200 OK\r\n" + fields(kMaxHttpHeaderCount - 1) +
                      "Content-Length: 100\r\n\r\n");
    CVornHTTPClient client;
    client.SetMaxBodySize(100);
    EXPECT_TRUE(Fetch(client, kHttpMethodGet, server.Url("/")));
}

TEST_F(HttpClientTest, BodiesCutShortOrOverTheLimitFail) {
    const struct {
        const char* what;
        std::string answer;
        std::string body;  // what ReadAll gives
    } cases[] = {
        // (body limit 8)
        {"cut before its length", "HTTP/1.0 200 OK\r\nContent-Length: 8\r\n\r\n01234",
         "01234(failed)"},
        {"no length, at the limit", "HTTP/1.0 200 OK\r\n\r\n01234567", "01234567"},
        {"no length, over the limit", "HTTP/1.0 200 OK\r\n\r\n012345678", "(failed)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TinyServer server(c.answer);
        CVornHTTPClient client;
        client.SetMaxBodySize(8);
        ASSERT_TRUE(Fetch(client, kHttpMethodGet, server.Url("/")));
        EXPECT_EQ(ReadAll(client, 100), c.body);
        if (c.body.find("(failed)") != std::string::npos) {
            EXPECT_EQ(client.GetLastError(), kHttpClientReceiveFailed);
            CVornString out;
            EXPECT_EQ(client.ReadBody(out, 100), -1);  // and stays failed
        }
    }
}

TEST_F(HttpClientTest, RequestsThatCannotBeMade) {
    CVornHTTPClient client;
    EXPECT_FALSE(Fetch(client, kHttpMethodGet, "/only/a/path"));
    EXPECT_EQ(client.GetLastError(), kHttpClientNoHost);

    // A port where nothing listens, and no other test's server will.
    const int port = testsupport::FreePort();
    ASSERT_GT(port, 0);
    EXPECT_FALSE(Fetch(client, kHttpMethodGet, "http://127.0.0.1:" + std::to_string(port) + "/"));
    EXPECT_EQ(client.GetLastError(), kHttpClientRefused);

    for (int method : {static_cast<int>(kHttpMethodUnknown), 5}) {
        TinyServer server("");
        CVornHTTPClient other;
        EXPECT_FALSE(Fetch(other, method, server.Url("/")));
        EXPECT_EQ(other.GetLastError(), kHttpClientInvalidMethod);
    }
}

TEST(HttpClientErrorTest, SocketErrorsMapToClientCodes) {
    const int cases[][2] = {{2, 647},  {3, 650},  {5, 651}, {6, 652}, {7, 654},
                            {16, 653}, {21, 655}, {0, 999}, {24, 999}};
    for (const auto& c : cases) EXPECT_EQ(MapHTTPClientError(999, c[0]), c[1]) << c[0];
}

}  // namespace
