// The HTTP server against real clients, curl and Python's http.client, on
// 127.0.0.1 and a port of the system's choosing: forms by GET and POST
// (URL-encoded and multipart), longest-prefix dispatch, directories,
// redirects, malformed requests with their status lines, and the HTTP/1.0
// framing of every response.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>

#include "net/http_server.h"
#include "core/tests/support/files.h"
#include "net/tests/http_fixture.h"

using namespace httptest;

namespace {

using testsupport::RunCommand;

// "METHOD" and the form variables, "name=value" lines in name order with the
// value separator shown as "|".
void WriteEcho(CVornHTTPRequest* request, const char* tag) {
    std::string body = std::string(tag) + " " + HTTPMethodName(request->m_Method) + "\n" +
                       FormVariableLines(request);
    request->Write("Content-Type: text/plain\r\n\r\n");
    request->Write(body.c_str());
    request->Finish();
}

void Echo(CVornHTTPRequest* request) {
    WriteEcho(request, "echo");
}
void DeepEcho(CVornHTTPRequest* request) {
    WriteEcho(request, "deep");
}
void Go(CVornHTTPRequest* request) {
    request->Redirect(CVornString("/echo?from=go"));
}

class HttpServerClientsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ASSERT_EQ(
            RunCommand("command -v curl >/dev/null && command -v python3 >/dev/null && echo ok"),
            "ok\n")
            << "the integration tests need curl and python3 (scripts/packages)";
    }

    void SetUp() override {
        const std::string& dir = m_Dir.Path();
        std::filesystem::create_directories(dir + "/docs");
        std::filesystem::create_directories(dir + "/docsX");
        std::filesystem::create_directories(dir + "/spool");
        std::ofstream(dir + "/docs/index.html") << "<p>index</p>";
        m_Binary.clear();
        for (int i = 0; i < 100000; ++i) m_Binary.push_back(static_cast<char>(i * 7 % 256));
        std::ofstream(dir + "/docs/data.bin", std::ios::binary) << m_Binary;
        std::ofstream(dir + "/docsX/index.html") << "sibling";
        std::ofstream(dir + "/secret") << "secret";
        std::ofstream(dir + "/upload.txt") << "uploaded content\n";

        m_Server = std::make_unique<CVornHTTPServer>("ZELORMHTTP", (dir + "/spool").c_str());
        m_Server->AddHandler("/echo", &Echo);
        m_Server->AddHandler("/echo/deep", &DeepEcho);
        m_Server->AddHandler("/go", &Go);
        m_Server->AddDirectory("/docs", (dir + "/docs").c_str());
        ASSERT_TRUE(m_Server->Start(4, 0, CVornHostAddress(Loopback(), 0)));
        CVornHostAddress own;
        m_Server->GetOwnHost(own);
        m_Base = "http://127.0.0.1:" + std::to_string(own.GetPort());
        m_Port = own.GetPort();
    }
    void TearDown() override {
        m_Server->Stop();
        m_Server.reset();
    }

    // curl with its own time limit; the arguments are the shell's.
    std::string Curl(const std::string& arguments) {
        return RunCommand("curl -s --max-time 10 " + arguments);
    }
    // Runs a Python script with the port as its argument.
    std::string Python(const std::string& script) {
        std::string path = m_Dir.Path() + "/client.py";
        std::ofstream(path) << script;
        return RunCommand("timeout 60 python3 " + path + " " + std::to_string(m_Port));
    }

    TempDir m_Dir;
    std::string m_Binary;
    std::unique_ptr<CVornHTTPServer> m_Server;
    std::string m_Base;
    unsigned short m_Port = 0;
};

TEST_F(HttpServerClientsTest, CurlSendsForms) {
    EXPECT_EQ(Curl("'" + m_Base + "/echo?x=1&y=a+b'"), "echo GET\nx=1\ny=a b\n");
    // The body's values, then the query's in front.
    EXPECT_EQ(Curl("-d 'a=1&a=2&b=%3C' '" + m_Base + "/echo?a=0'"), "echo POST\na=0|2|1\nb=<\n");
    // A large URL-encoded body (through the temporary file).
    std::string large(50000, 'v');
    std::ofstream(m_Dir.Path() + "/large.txt") << "big=" << large;
    EXPECT_EQ(Curl("--data-binary @" + m_Dir.Path() + "/large.txt " + m_Base + "/echo"),
              "echo POST\nbig=" + large + "\n");
    EXPECT_EQ(Curl("-F 'note=hello there' -F 'file=@" + m_Dir.Path() + "/upload.txt' " + m_Base +
                   "/echo"),
              "echo POST\nfile=upload.txt\nnote=hello there\n");
    EXPECT_TRUE(std::filesystem::is_empty(m_Dir.Path() + "/spool"));
}

TEST_F(HttpServerClientsTest, CurlDispatchAndDirectories) {
    EXPECT_EQ(Curl(m_Base + "/ECHO/Deep/more"), "deep GET\n");
    EXPECT_EQ(Curl(m_Base + "/echoing"), "echo GET\n");
    EXPECT_EQ(Curl(m_Base + "/docs/index.html"), "<p>index</p>");

    std::string saved = m_Dir.Path() + "/saved.bin";
    EXPECT_EQ(Curl("-o " + saved + " -w '%{http_code} %{content_type} %{size_download}' " + m_Base +
                   "/docs/data.bin"),
              "200 application/octet-stream 100000");
    std::ifstream in(saved, std::ios::binary);
    std::string got((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(got, m_Binary);

    const char* refused[] = {"/docs/../secret", "/docs/%2e%2e/secret", "/docsX/index.html", "/docs",
                             "/nowhere"};
    for (const char* path : refused) {
        SCOPED_TRACE(path);
        EXPECT_EQ(Curl("--path-as-is -o /dev/null -w '%{http_code}' '" + m_Base + path + "'"),
                  "404");
    }
}

TEST_F(HttpServerClientsTest, CurlSeesHttp10Framing) {
    // curl speaks HTTP/1.1 and asks to keep the connection; the answer is
    // HTTP/1.0 and the server closes.
    std::string head = Curl("-i --http1.1 -H 'Connection: keep-alive' " + m_Base + "/echo");
    EXPECT_EQ(head.substr(0, 17), "HTTP/1.0 200 OK\r\n");
    Response response(head);
    EXPECT_EQ(response.Header("content-length"), std::to_string(response.m_Body.size()));
    EXPECT_EQ(response.Header("server"), "ZELORMHTTP");
    EXPECT_TRUE(response.Has("date"));

    Response file(Curl("-I " + m_Base + "/docs/data.bin"));
    EXPECT_EQ(file.m_Status, "HTTP/1.0 200 OK");
    EXPECT_EQ(file.Header("content-length"), "100000");
    EXPECT_TRUE(file.Has("last-modified"));
    EXPECT_EQ(file.m_Body, "");
}

TEST_F(HttpServerClientsTest, CurlFollowsRedirects) {
    Response redirect(Curl("-i " + m_Base + "/go"));
    EXPECT_EQ(redirect.m_Status.substr(0, 13), "HTTP/1.0 302 ");
    EXPECT_EQ(redirect.Header("location"), m_Base + "/echo?from=go");
    EXPECT_EQ(Curl("-L " + m_Base + "/go"), "echo GET\nfrom=go\n");
    // A Host header that is not a plain host is not copied.
    Response odd(Curl("-i -H 'Host: evil.example/<x>' " + m_Base + "/go"));
    EXPECT_EQ(odd.Header("location"), m_Base + "/echo?from=go");
    Response named(Curl("-i -H 'Host: gate.example' " + m_Base + "/go"));
    EXPECT_EQ(named.Header("location"),
              "http://gate.example:" + std::to_string(m_Port) + "/echo?from=go");
}

TEST_F(HttpServerClientsTest, PythonClient) {
    std::string out = Python(R"(
import http.client, sys, urllib.parse
port = int(sys.argv[1])

def ask(method, path, body=None, headers={}):
    c = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
    c.request(method, path, body, headers)
    r = c.getresponse()
    data = r.read()
    print(r.version, r.status, r.will_close, r.getheader("Content-Length"), repr(data.decode()))
    c.close()

ask("GET", "/echo?q=1&q=2")
ask("POST", "/echo?z=9", urllib.parse.urlencode({"name": "a b", "z": "8"}),
    {"Content-Type": "application/x-www-form-urlencoded"})
ask("HEAD", "/docs/index.html")
ask("GET", "/docs/../secret")
ask("GET", "/missing<b>")
)");
    EXPECT_EQ(
        out,
        "10 200 True 15 'echo GET\\nq=2|1\\n'\n"
        "10 200 True 25 'echo POST\\nname=a b\\nz=9|8\\n'\n"
        "10 200 True 12 ''\n"
        "10 404 True 63 '<body><h1>Document <tt>/../secret</tt> not found.</h1></body>\\r\\n'\n"
        "10 404 True 70 '<body><h1>Document <tt>/missing&lt;b&gt;</tt> not found.</h1></body>"
        "\\r\\n'\n");
}

TEST_F(HttpServerClientsTest, MalformedRequestsFromPython) {
    // Raw requests, their responses read by http.client: the status line of
    // each, or "closed" when the server sent nothing.
    std::string out = Python(R"(
import http.client, socket, sys
port = int(sys.argv[1])
requests = [
    b"garbage\r\n\r\n",
    b"GET /echo HTTP/2.0\r\n\r\n",
    b"GET /echo FTP/1.0\r\n\r\n",
    b"GET /" + b"a" * 9000 + b" HTTP/1.0\r\n\r\n",
    b"GET /echo HTTP/1.0\r\n" + b"".join(b"X-%d: v\r\n" % i for i in range(101)) + b"\r\n",
    b"GET /echo HTTP/1.0\r\nX: " + b"v" * 9000 + b"\r\n\r\n",
    b"POST /echo HTTP/1.0\r\nContent-Length: 10\r\n\r\n01234",
    b"POST /echo HTTP/1.0\r\nContent-Length: 99999999\r\n\r\n",
    b"GET http://elsewhere.example:%d/echo HTTP/1.0\r\n\r\n" % port,
    b"GET http://127.0.0.1:%d/echo HTTP/1.0\r\n\r\n" % port,
    b"get /echo?x=1 http/1.1\r\n\r\n",
    b"BREW /echo HTTP/1.0\r\n\r\n",
]
for raw in requests:
    s = socket.create_connection(("127.0.0.1", port), timeout=10)
    s.sendall(raw)
    s.shutdown(socket.SHUT_WR)
    r = http.client.HTTPResponse(s)
    try:
        r.begin()
        body = r.read()
        shown = len(body)
        if r.status == 403:
            shown = repr(body.decode().replace(str(port), "PORT"))
        print(r.version, r.status, r.reason, r.getheader("Content-Type"), shown)
    except http.client.RemoteDisconnected:
        print("closed")
    s.close()
)");
    EXPECT_EQ(out,
              "10 400 Bad Request text/html 35\n"
              "10 400 Bad Request text/html 35\n"
              "10 400 Bad Request text/html 35\n"
              "10 400 Bad Request text/html 35\n"
              "10 400 Bad Request text/html 35\n"
              "10 400 Bad Request text/html 35\n"
              "10 500 Internal Server Error text/html 74\n"
              "10 500 Internal Server Error text/html 74\n"
              "10 403 Forbidden text/html '<body><h1>Forbidden</h1>This server does not serve the "
              "address http://elsewhere.example:PORT/echo.</body>\\r\\n'\n"
              "10 200 OK text/plain 9\n"
              "10 200 OK text/plain 13\n"
              "10 200 OK text/plain 15\n");
}

}  // namespace
