// The HTTP server over real loopback connections: dispatch by the longest
// prefix, form variables from query and body (URL-encoded and multipart),
// files of a directory and the paths that must not reach them, the host
// check, malformed requests and their pages, one request per connection,
// a handler that throws, slow clients, draining unread input and rebinding.
#include "net/http_server.h"

#include <gtest/gtest.h>
#include <netinet/tcp.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

#include "net/mail_message.h"
#include "net/tests/http_fixture.h"

using namespace httptest;

namespace {

// Writes "handler N" and the form variables, one "name=value" line each in
// name order, with the value separator shown as "|".
void WriteEcho(CVornHTTPRequest* request, int n) {
    std::string body = "handler " + std::to_string(n) + "\n" + FormVariableLines(request);
    request->Write("Content-Type: text/plain\r\n\r\n");
    request->Write(body.c_str());
    request->Finish();
}

template <int N>
void Echo(CVornHTTPRequest* request) {
    WriteEcho(request, N);
}

// A pattern that shows a piece lost, repeated or out of place.
std::string Patterned(size_t n) {
    std::string text;
    text.reserve(n);
    for (size_t i = 0; i < n; ++i) text += static_cast<char>('a' + (i * 7 + i / 251) % 26);
    return text;
}

// Writes a long body in pieces of many sizes, so it crosses the flush mark
// several times at different places.
void Pieces(CVornHTTPRequest* request) {
    request->Write("Content-Type: text/plain\r\n\r\n");
    std::string body = Patterned(300007);
    size_t at = 0;
    for (size_t step = 1; at < body.size(); step = step * 3 % 70001 + 1) {
        std::string piece = body.substr(at, step);
        request->Write(piece.data(), static_cast<int>(piece.size()));
        at += piece.size();
    }
    request->Finish();
}

void Throw(CVornHTTPRequest* request) {
    request->Write("Content-Type: text/plain\r\n\r\npartial");
    throw std::runtime_error("handler failed");
}

class HttpServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string& dir = m_Dir.Path();
        std::filesystem::create_directories(dir + "/images/sub");
        std::filesystem::create_directories(dir + "/imagesX");
        std::filesystem::create_directories(dir + "/spool");
        m_Logo = std::string("GIF89a\0\1\2\3", 10) + "logo";
        WriteFile(dir + "/images/logo.gif", m_Logo);
        m_Big.assign(200000, 'q');
        WriteFile(dir + "/images/big.bin", m_Big);
        WriteFile(dir + "/secret", "top secret");
        WriteFile(dir + "/imagesX/logo.gif", "sibling");
        std::filesystem::create_symlink("../secret", dir + "/images/out");
        std::filesystem::create_symlink("logo.gif", dir + "/images/in.gif");

        m_Server = std::make_unique<CVornHTTPServer>("ZELORMHTTP", (dir + "/spool").c_str());
        m_Server->AddHandler("/Admin", &Echo<1>);
        m_Server->AddHandler("admin/long", &Echo<2>);
        m_Server->AddHandler("/same", &Echo<3>);
        m_Server->AddHandler("/same", &Echo<4>);
        m_Server->AddHandler("/throw", &Throw);
        m_Server->AddHandler("/pieces", &Pieces);
        m_Server->AddDirectory("/images", (dir + "/images").c_str());
        ASSERT_TRUE(m_Server->Start(2, 0, CVornHostAddress(Loopback(), 0)));
        CVornHostAddress own;
        m_Server->GetOwnHost(own);
        m_Port = own.GetPort();
        ASSERT_NE(m_Port, 0);
    }
    void TearDown() override {
        m_Server->Stop();
        m_Server.reset();
    }

    static void WriteFile(const std::string& path, const std::string& text) {
        std::ofstream(path, std::ios::binary) << text;
    }

    // Sends the request (then ends the client's side) and reads the response.
    Response Ask(const std::string& request, unsigned short port = 0) {
        RawClient client(port ? port : m_Port);
        EXPECT_TRUE(client.Connected());
        client.Send(request);
        client.EndSending();
        return Response(client.ReadAll());
    }
    std::string Get(const std::string& target) {
        return Ask("GET " + target + " HTTP/1.0\r\n\r\n").m_Body;
    }
    std::string Spool() {
        std::string names;
        for (const auto& e : std::filesystem::directory_iterator(m_Dir.Path() + "/spool"))
            names += e.path().filename().string() + " ";
        return names;
    }

    TempDir m_Dir;
    std::string m_Logo;
    std::string m_Big;
    std::unique_ptr<CVornHTTPServer> m_Server;
    unsigned short m_Port = 0;
};

TEST_F(HttpServerTest, DispatchByLongestPrefixIgnoringCase) {
    const std::string here = "http://127.0.0.1:" + std::to_string(m_Port);
    const std::string otherPort =
        "http://127.0.0.1:" + std::to_string(m_Port == 1 ? 2 : m_Port - 1);
    const struct {
        std::string line;
        std::string status;
        std::string body;  // the whole body, or a part of it for error pages
    } cases[] = {
        {"GET /admin?x=1 HTTP/1.0", "200", "handler 1\nx=1\n"},
        {"GET /ADMIN/LONG/z HTTP/1.0", "200", "handler 2\n"},
        {"GET /adminX HTTP/1.0", "200", "handler 1\n"},  // a handler needs no boundary
        {"GET /same HTTP/1.0", "200", "handler 4\n"},    // the later registration wins
        {"BREW /admin HTTP/1.0", "200", "handler 1\n"},  // an unknown method goes on
        {"GET /admin?a=1&b=x+y&a=2 HTTP/1.1", "200", "handler 1\na=2|1\nb=x y\n"},
        {"GET " + here + "/admin?y=2 HTTP/1.0", "200", "handler 1\ny=2\n"},
        {"GET http://elsewhere.example:" + std::to_string(m_Port) + "/admin HTTP/1.0", "403",
         "elsewhere.example"},
        {"GET " + otherPort + "/admin HTTP/1.0", "403", "<h1>"},
        {"GET /nothing HTTP/1.0", "404", "Document <tt>/nothing</tt> not found."},
        {"GET /a%3Cscript%3E HTTP/1.0", "404", "<tt>/a&lt;script&gt;</tt>"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        Response response = Ask(c.line + "\r\n\r\n");
        EXPECT_EQ(response.m_Status.substr(0, 12), "HTTP/1.0 " + c.status);
        if (c.status == "200") {
            EXPECT_EQ(response.m_Body, c.body);
            EXPECT_EQ(response.Header("server"), "ZELORMHTTP");
        } else {
            EXPECT_NE(response.m_Body.find(c.body), std::string::npos) << response.m_Body;
            EXPECT_EQ(response.Header("content-type"), "text/html");
            EXPECT_EQ(response.Header("content-length"), std::to_string(response.m_Body.size()));
        }
    }
}

TEST_F(HttpServerTest, FormVariablesFromTheBody) {
    auto post = [&](const std::string& target, const std::string& type, const std::string& body) {
        return Ask("POST " + target + " HTTP/1.0\r\nContent-Type: " + type +
                   "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body)
            .m_Body;
    };
    // The query's value comes first.
    EXPECT_EQ(post("/admin?a=2", "application/x-www-form-urlencoded", "a=1&b=%41"),
              "handler 1\na=2|1\nb=A\n");
    // A large body goes through a temporary file, which goes with the request.
    std::string large(40000, 'x');
    EXPECT_EQ(post("/admin", "Application/X-WWW-Form-Urlencoded", "big=" + large),
              "handler 1\nbig=" + large + "\n");
    EXPECT_EQ(Spool(), "");

    const std::string multipart =
        "--XYZ\r\n"
        "Content-Disposition: form-data; name=\"text\"\r\n\r\n"
        "hello world\r\n"
        "--XYZ\r\n"
        "Content-Disposition: form-data; name=\"upload\"; filename=\"notes.txt\"\r\n"
        "Content-Type: text/plain\r\n\r\n"
        "file content\r\n"
        "--XYZ\r\n"
        "Content-Disposition: form-data; name=\"text\"\r\n"
        "Content-Transfer-Encoding: base64\r\n\r\n"
        "c2Vjb25k\r\n"
        "--XYZ--\r\n";
    EXPECT_EQ(post("/admin", "multipart/form-data; boundary=XYZ", multipart),
              "handler 1\ntext=second|hello world\nupload=notes.txt\n");
    // Another type gives no variables.
    EXPECT_EQ(post("/admin", "text/plain", "a=1"), "handler 1\n");
}

TEST_F(HttpServerTest, FilesOfADirectory) {
    Response logo = Ask("GET /IMAGES/logo.gif HTTP/1.0\r\n\r\n");
    EXPECT_EQ(logo.m_Status, "HTTP/1.0 200 OK");
    EXPECT_EQ(logo.Header("content-type"), "image/gif");
    EXPECT_EQ(logo.Header("content-length"), std::to_string(m_Logo.size()));
    EXPECT_NE(logo.Header("last-modified").find(" GMT"), std::string::npos);
    EXPECT_EQ(logo.m_Body, m_Logo);

    Response head = Ask("HEAD /images/logo.gif HTTP/1.0\r\n\r\n");
    EXPECT_EQ(head.m_Status, "HTTP/1.0 200 OK");
    EXPECT_EQ(head.Header("content-length"), std::to_string(m_Logo.size()));
    EXPECT_EQ(head.m_Body, "");

    Response big = Ask("GET /images/big.bin HTTP/1.0\r\n\r\n");
    EXPECT_EQ(big.Header("content-type"), "application/octet-stream");
    EXPECT_EQ(big.Header("content-length"), "200000");
    EXPECT_EQ(big.m_Body, m_Big);

    // A link that stays inside the directory is followed.
    EXPECT_EQ(Get("/images/in.gif"), m_Logo);
}

TEST_F(HttpServerTest, LongResponsesArriveWholeAcrossFlushes) {
    // A file of an odd size, larger than several flushes.
    std::string file = Patterned(3 * 65536 + 12345);
    WriteFile(m_Dir.Path() + "/images/long.txt", file);
    Response served = Ask("GET /images/long.txt HTTP/1.0\r\n\r\n");
    EXPECT_EQ(served.m_Status, "HTTP/1.0 200 OK");
    EXPECT_EQ(served.Header("content-length"), std::to_string(file.size()));
    EXPECT_TRUE(served.m_Body == file) << served.m_Body.size() << " bytes";

    Response head = Ask("HEAD /images/long.txt HTTP/1.0\r\n\r\n");
    EXPECT_EQ(head.Header("content-length"), std::to_string(file.size()));
    EXPECT_EQ(head.m_Body, "");

    // A handler's body written in pieces of many sizes.
    Response pieces = Ask("GET /pieces HTTP/1.0\r\n\r\n");
    EXPECT_EQ(pieces.m_Status, "HTTP/1.0 200 OK");
    EXPECT_TRUE(pieces.m_Body == Patterned(300007)) << pieces.m_Body.size() << " bytes";

    // An empty file.
    WriteFile(m_Dir.Path() + "/images/empty.txt", "");
    Response empty = Ask("GET /images/empty.txt HTTP/1.0\r\n\r\n");
    EXPECT_EQ(empty.m_Status, "HTTP/1.0 200 OK");
    EXPECT_EQ(empty.Header("content-length"), "0");
    EXPECT_EQ(empty.m_Body, "");
}

TEST_F(HttpServerTest, FilesAreServedWithoutAStoredRequest) {
    // A file needs no stored request: it is served with the spool gone.
    std::filesystem::remove_all(m_Dir.Path() + "/spool");
    Response logo = Ask("GET /images/logo.gif?x=1 HTTP/1.0\r\n\r\n");
    EXPECT_EQ(logo.m_Status, "HTTP/1.0 200 OK");
    EXPECT_EQ(logo.m_Body, m_Logo);
}

TEST_F(HttpServerTest, AFifoInTheDirectoryIsNotFoundAndHoldsNoWorker) {
    std::string path = m_Dir.Path() + "/images/pipe.txt";
    ASSERT_EQ(mkfifo(path.c_str(), 0644), 0);
    // Nobody writes to the FIFO: a worker that waited in open would never
    // answer (the server has two).
    for (int i = 0; i < 3; ++i) {
        Response response = Ask("GET /images/pipe.txt HTTP/1.0\r\n\r\n");
        EXPECT_EQ(response.m_Status, "HTTP/1.0 404 Not Found");
    }
    EXPECT_EQ(Get("/images/logo.gif"), m_Logo);
}

TEST_F(HttpServerTest, PathsThatMustNotReachAFile) {
    const struct {
        const char* target;
        const char* shown;  // the path the page names
    } cases[] = {
        {"/images/../secret", "/../secret"},
        {"/images/%2e%2e/secret", "/../secret"},
        {"/images/sub/%2E%2E/%2E%2E/secret", "/sub/../../secret"},
        {"/images/out", "/out"},                     // a link that leads out
        {"/imagesX/logo.gif", "/imagesX/logo.gif"},  // not at a path boundary
        {"/images/sub", "/sub"},                     // a directory
        {"/images", ""},
        {"/images/missing.gif", "/missing.gif"},
        {"/images/%3Cb%3E.gif", "/&lt;b&gt;.gif"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.target);
        Response response = Ask(std::string("GET ") + c.target + " HTTP/1.0\r\n\r\n");
        EXPECT_EQ(response.m_Status, "HTTP/1.0 404 Not Found");
        EXPECT_NE(response.m_Body.find(std::string("<tt>") + c.shown + "</tt>"), std::string::npos)
            << response.m_Body;
        EXPECT_EQ(response.m_Body.find("secret\n"), std::string::npos);
        EXPECT_EQ(response.m_Body.find("sibling"), std::string::npos);
        EXPECT_EQ(response.m_Body.find(m_Dir.Path()), std::string::npos);
    }
}

TEST_F(HttpServerTest, FileThatCannotBeOpenedShowsNoServerPath) {
    std::string path = m_Dir.Path() + "/images/locked.gif";
    WriteFile(path, "locked");
    chmod(path.c_str(), 0);
    if (std::ifstream(path).is_open())
        GTEST_SKIP() << "this user may read every file";
    Response response = Ask("GET /images/locked.gif HTTP/1.0\r\n\r\n");
    EXPECT_EQ(response.m_Status.substr(0, 12), "HTTP/1.0 500");
    EXPECT_NE(response.m_Body.find("<tt>/locked.gif</tt>"), std::string::npos);
    EXPECT_EQ(response.m_Body.find(m_Dir.Path()), std::string::npos);
}

TEST_F(HttpServerTest, MalformedRequestsGetTheirPages) {
    std::string manyLines;
    for (int i = 0; i <= kMaxHttpHeaderCount; ++i)
        manyLines += "X-" + std::to_string(i) + ": v\r\n";
    // One part more than a stored message may hold.
    std::string manyParts;
    for (int i = 0; i <= CVornMailMessage::kMaxParts; ++i) manyParts += "--X\r\n\r\nv\r\n";
    manyParts += "--X--\r\n";
    const struct {
        const char* name;
        std::string request;
        std::string status;
    } cases[] = {
        {"no request line", "", "400"},
        {"garbage", "garbage\r\n\r\n", "400"},
        {"version 2", "GET /admin HTTP/2.0\r\n\r\n", "400"},
        {"long request line", "GET /" + std::string(kMaxHttpLineLength, 'a') + " HTTP/1.0\r\n\r\n",
         "400"},
        {"too many header lines", "GET /admin HTTP/1.0\r\n" + manyLines + "\r\n", "400"},
        {"control byte in target", "GET /a\x01 HTTP/1.0\r\n\r\n", "400"},
        {"NUL in the decoded path", "GET /a%00b HTTP/1.0\r\n\r\n", "400"},
        {"short body", "POST /admin HTTP/1.0\r\nContent-Length: 10\r\n\r\n01234", "500"},
        {"multipart form over the part bound",
         "POST /admin HTTP/1.0\r\nContent-Type: multipart/form-data; boundary=X\r\n"
         "Content-Length: " +
             std::to_string(manyParts.size()) + "\r\n\r\n" + manyParts,
         "400"},
        {"body over the bound",
         "POST /admin HTTP/1.0\r\nContent-Length: " + std::to_string(kMaxHttpBodyLength + 1) +
             "\r\n\r\nabc",
         "500"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Response response = Ask(c.request);
        EXPECT_EQ(response.m_Status.substr(0, 12), "HTTP/1.0 " + c.status);
        EXPECT_EQ(response.Header("content-type"), "text/html");
        EXPECT_EQ(response.Header("content-length"), std::to_string(response.m_Body.size()));
        EXPECT_EQ(Spool(), "");
    }
}

TEST_F(HttpServerTest, OneRequestPerConnection) {
    RawClient client(m_Port);
    client.Send(
        "GET /admin HTTP/1.1\r\nConnection: keep-alive\r\n\r\n"
        "GET /same HTTP/1.1\r\n\r\n");
    bool clean = false;
    std::string all = client.ReadAll(10, &clean);
    Response response(all);
    EXPECT_EQ(response.m_Status, "HTTP/1.0 200 OK");
    EXPECT_EQ(response.m_Body, "handler 1\n");
    EXPECT_TRUE(clean);
}

TEST_F(HttpServerTest, UnreadInputIsDrainedBeforeTheClose) {
    // The body of a GET is never read. Closing over unread input would
    // reset the connection (and a reset throws away whatever of the response
    // still waits in the server's send buffer); drained, it closes normally
    // and the client's end stays in CLOSE_WAIT instead of being reset.
    RawClient client(m_Port);
    client.Send("GET /admin HTTP/1.0\r\nContent-Length: 60000\r\n\r\n" + std::string(60000, 'd'));
    bool clean = false;
    Response response(client.ReadAll(10, &clean));
    EXPECT_EQ(response.m_Body, "handler 1\n");
    EXPECT_TRUE(clean);
    for (int i = 0; i < 30; ++i) {
        ASSERT_EQ(client.TcpState(), TCP_CLOSE_WAIT);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

TEST_F(HttpServerTest, HandlerThatThrowsEndsTheConnectionWithNothingSent) {
    for (int i = 0; i < 3; ++i) EXPECT_EQ(Ask("GET /throw HTTP/1.0\r\n\r\n").m_Raw, "");
    EXPECT_EQ(Get("/admin?after=1"), "handler 1\nafter=1\n");
}

TEST_F(HttpServerTest, SlowClientsAreCutAndTheirWorkersFreed) {
    m_Server->SetRequestTimeLimit(1);
    // Both workers held by clients that never finish their request.
    RawClient silent(m_Port);
    RawClient trickle(m_Port);
    trickle.Send("GET /admin HTTP/1.0\r\nX-A: ");
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Get("/admin"), "handler 1\n");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(8));
    EXPECT_EQ(Response(silent.ReadAll(5)).m_Body, "");
    EXPECT_EQ(Response(trickle.ReadAll(5)).m_Body, "");
}

TEST_F(HttpServerTest, SlowClientsFromOneAddressLeaveWorkersForOthers) {
    // As many slow clients as workers, under the default time limits: the
    // address holds only its cap of the workers, so a client from another
    // address is served at once rather than when the slow ones time out.
    RawClient silent(m_Port);
    RawClient trickle(m_Port);
    ASSERT_TRUE(trickle.Send("GET /admin HTTP/1.0\r\nX-A: "));
    RawClient other(m_Port, "127.0.0.2");
    ASSERT_TRUE(other.Send("GET /admin HTTP/1.0\r\n\r\n"));
    EXPECT_EQ(Response(other.ReadAll(5)).m_Body, "handler 1\n");
}

TEST_F(HttpServerTest, RebindMovesTheListener) {
    // A port in use: false, the old listener serves on.
    CVornTCPSocket busy;
    ASSERT_TRUE(busy.Listen(CVornHostAddress(Loopback(), 0)));
    CVornHostAddress busyAddress;
    ASSERT_TRUE(busy.GetLocalAddress(busyAddress));
    EXPECT_FALSE(m_Server->Rebind(CVornHostAddress(Loopback(), busyAddress.GetPort())));
    EXPECT_EQ(Get("/admin"), "handler 1\n");

    ASSERT_TRUE(m_Server->Rebind(CVornHostAddress(Loopback(), 0)));
    CVornHostAddress own;
    m_Server->GetOwnHost(own);
    ASSERT_NE(own.GetPort(), m_Port);
    m_Port = own.GetPort();
    EXPECT_EQ(Get("/admin"), "handler 1\n");
    // The host check follows the new port.
    EXPECT_EQ(Get("http://127.0.0.1:" + std::to_string(m_Port) + "/admin"), "handler 1\n");
}

}  // namespace
