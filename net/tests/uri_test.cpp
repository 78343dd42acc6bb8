// CVornURI and the request-line vocabulary: request targets of every form
// with their parts, the refusal of malformed targets, the formats a request
// needs, decoded paths, request lines, status lines and the status writer.
#include "net/uri.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "core/message_catalog.h"

namespace {

std::string Text(const CVornString& s) {
    CVornString copy(s);
    return std::string(copy.CStr(), copy.Length());
}

CVornString Str(const std::string& s) {
    return CVornString(s.data(), static_cast<int>(s.size()));
}

struct TargetCase {
    std::string text;
    int defaultScheme;
    int scheme;
    const char* user;  // null: none
    const char* host;  // null: host not set
    int port;
    const char* path;
    const char* query;  // null: none
};

TEST(UriTest, ParseSplitsEveryFormOfTarget) {
    const TargetCase cases[] = {
        {"/", 3, 3, nullptr, nullptr, 0, "/", nullptr},
        {"/a?b", 3, 3, nullptr, nullptr, 0, "/a", "b"},
        {"/a?b?c", 3, 3, nullptr, nullptr, 0, "/a", "b?c"},
        {"HTTP://joe@Gate:8080/p?q", 3, 0, "joe", "Gate", 8080, "/p", "q"},
        {"http://gate?x", 3, 0, nullptr, "gate", 80, "/", "x"},
        {"http://gate", 3, 0, nullptr, "gate", 80, "/", nullptr},
        {"https://10.0.0.1/x", 3, 2, nullptr, "10.0.0.1", 443, "/x", nullptr},
        {"ftp://h:2121/f", 3, 1, nullptr, "h", 2121, "/f", nullptr},
        {"//h/x", 0, 0, nullptr, "h", 80, "/x", nullptr},
        {"relay", 3, 3, nullptr, "relay", 0, "/", nullptr},
        {"relay:443", 2, 2, nullptr, "relay", 443, "/", nullptr},
        {"http://h:/x", 3, 0, nullptr, "h", 0, "/x", nullptr},
        {"http://h:65535/", 3, 0, nullptr, "h", 65535, "/", nullptr},
        // Authority decoding turns "+" into a blank.
        {"http://a+b%41", 3, 0, nullptr, "a bA", 80, "/", nullptr},
        // Paths stay encoded; blanks in them are kept (request lines of old
        // clients carry them unencoded).
        {"/a%20b c", 3, 3, nullptr, nullptr, 0, "/a%20b c", nullptr},
        {"*", 3, 3, nullptr, "*", 0, "/", nullptr},
        // An out-of-range default counts as unknown.
        {"/x", 9, 3, nullptr, nullptr, 0, "/x", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        CVornURI uri;
        ASSERT_TRUE(uri.Parse(Str(c.text), c.defaultScheme));
        EXPECT_EQ(uri.GetScheme(), c.scheme);
        CVornString out("unset");
        EXPECT_EQ(uri.GetUserInfo(out), c.user != nullptr);
        EXPECT_EQ(Text(out), c.user ? c.user : "unset");
        CVornHostAddress host;
        ASSERT_EQ(uri.GetHost(host), c.host != nullptr);
        if (c.host) {
            CVornString name;
            host.GetName(name);
            EXPECT_EQ(Text(name), c.host);
            EXPECT_EQ(host.GetPort(), c.port);
        }
        ASSERT_TRUE(uri.GetPath(out, false));
        EXPECT_EQ(Text(out), c.path);
        out.Assign("unset");
        EXPECT_EQ(uri.GetQuery(out), c.query != nullptr);
        EXPECT_EQ(Text(out), c.query ? c.query : "unset");
    }
}

TEST(UriTest, MalformedTargetsAreRefusedAndLeaveTheUriReset) {
    const std::string cases[] = {
        "http://h:8o/",                // port not a number
        "http://h:70000/",             // port over 16 bits
        "http://h:-1/",                //
        "http://h:080808/",            // more than five digits
        "/a\r\nX-Injected: 1",         // control characters
        std::string("/a\0b", 4),       //
        "/a\x7f",                      //
        "http://h%0d%0aX:%201/",       // control characters once decoded
        "http://ho st/",               // blank in the authority
        "http://:80/",                 // no host name
        "http://joe@/",                //
        "",                            //
        "/" + std::string(8192, 'a'),  // over the bound
    };
    for (const auto& text : cases) {
        SCOPED_TRACE(testing::PrintToString(text));
        CVornURI uri;
        ASSERT_TRUE(uri.Parse(CVornString("http://old:81/old?q"), 3));
        EXPECT_FALSE(uri.Parse(Str(text), 3));
        CVornHostAddress host;
        CVornString out;
        EXPECT_FALSE(uri.GetHost(host));
        EXPECT_FALSE(uri.GetPath(out, false));
        EXPECT_FALSE(uri.GetQuery(out));
        EXPECT_FALSE(uri.FormatPathAndQuery(out, false));
        EXPECT_EQ(uri.GetScheme(), 3);
    }
    // The longest target accepted.
    CVornURI uri;
    EXPECT_TRUE(uri.Parse(Str("/" + std::string(8191, 'a')), 3));
}

struct FormatCase {
    const char* text;
    int defaultScheme;
    bool recode;
    const char* format;    // null: fails
    const char* absolute;  // null: fails
    const char* pathAndQuery;
    const char* authority;  // null: fails
    const char* host;       // null: fails
};

TEST(UriTest, FormsOfTheTargetForRequests) {
    const FormatCase cases[] = {
        {"http://Host:8003/a%20b?x=1", 3, false, "http://host:8003/a%20b?x=1",
         "http://host:8003/a%20b?x=1", "/a%20b?x=1", "Host:8003", "Host:8003"},
        {"http://Host:80/a%20b?x=1", 3, false, "http://host:80/a%20b?x=1", "http://host/a%20b?x=1",
         "/a%20b?x=1", "Host:80", "Host"},
        {"http://joe@h:8080/", 3, false, "http://joe@h:8080/", "http://joe@h:8080/", "/", "h:8080",
         "h:8080"},
        // Recoding decodes once ("+" kept) and encodes again keeping "/".
        {"http://h/a b%2Fc+d%7e", 3, true, "http://h:80/a%20b/c+d~", "http://h/a%20b/c+d~",
         "/a%20b/c+d~", "h:80", "h"},
        {"https://h/", 3, false, "https://h:443/", "https://h/", "/", "h:443", "h"},
        // No port given and none by default: an empty port.
        {"http://h:/", 3, false, "http://h:/", "http://h:/", "/", "h:", "h"},
        {"relay:443", 2, false, "https://relay:443/", "https://relay/", "/", "relay:443", "relay"},
        {"relay", 3, false, nullptr, nullptr, "/", "relay:", "relay"},
        {"/x?y", 0, false, nullptr, nullptr, "/x?y", nullptr, nullptr},
        {"/", 3, false, nullptr, nullptr, "/", nullptr, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        CVornURI uri;
        ASSERT_TRUE(uri.Parse(CVornString(c.text), c.defaultScheme));
        auto check = [](bool ok, const CVornString& out, const char* expected) {
            EXPECT_EQ(ok, expected != nullptr);
            EXPECT_EQ(Text(out), expected ? expected : "unset");
        };
        CVornString out("unset");
        check(uri.Format(out, c.recode), out, c.format);
        out.Assign("unset");
        check(uri.FormatAbsolute(out, c.recode), out, c.absolute);
        out.Assign("unset");
        check(uri.FormatPathAndQuery(out, c.recode), out, c.pathAndQuery);
        out.Assign("unset");
        check(uri.FormatAuthority(out), out, c.authority);
        out.Assign("unset");
        check(uri.FormatHost(out), out, c.host);
    }
}

TEST(UriTest, DecodedPathsKeepDotSegmentsAndRefuseNul) {
    const struct {
        const char* path;
        const char* decoded;  // null: refused
    } cases[] = {
        {"/a%20b+c", "/a b+c"},
        {"/%2e%2E/etc/passwd", "/../etc/passwd"},
        {"/images/..%2fsecret", "/images/../secret"},
        {"/a%252e", "/a%2e"},  // decoded once only
        {"/a%00b", nullptr},
        {"/a%g0", nullptr},  // a malformed escape that decodes to NUL
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        CVornURI uri;
        ASSERT_TRUE(uri.Parse(CVornString(c.path), 3));
        CVornString out("unset");
        EXPECT_EQ(uri.GetPath(out, true), c.decoded != nullptr);
        EXPECT_EQ(Text(out), c.decoded ? c.decoded : "unset");
    }
}

TEST(UriTest, MethodAndVersionNames) {
    EXPECT_STREQ(HTTPMethodName(0), "(unknown)");
    EXPECT_STREQ(HTTPMethodName(4), "CONNECT");
    EXPECT_EQ(HTTPMethodName(5), nullptr);
    EXPECT_EQ(HTTPMethodName(-1), nullptr);
    EXPECT_STREQ(HTTPVersionName(0), "(unknown)");
    EXPECT_STREQ(HTTPVersionName(2), "HTTP/1.1");
    EXPECT_EQ(HTTPVersionName(3), nullptr);
}

TEST(UriTest, StatusLineCarriesTheCatalogueTextOrTheStandardPhrase) {
    char pattern[] = "/tmp/zelorm-uri-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(pattern));
    std::string dir = pattern;
    std::ofstream(dir + "/messages") << "2 9 1\nEnglish\n m 18:404 Not Found here\n";
    ASSERT_EQ(0, BaseMessageTable().ReadFile((dir + "/messages").c_str(), 2, 9, 1, 641));

    CVornString out;
    WriteStatusLine(1, 641, out);
    EXPECT_EQ(Text(out), "HTTP/1.0 404 Not Found here\r\n");
    WriteStatusLine(2, 641, out);
    EXPECT_EQ(Text(out), "HTTP/1.1 404 Not Found here\r\n");
    // No version a client could not read.
    WriteStatusLine(0, 641, out);
    EXPECT_EQ(Text(out), "HTTP/1.0 404 Not Found here\r\n");
    // Numbers the catalogue lacks.
    WriteStatusLine(1, 639, out);
    EXPECT_EQ(Text(out), "HTTP/1.0 400 Bad Request\r\n");
    WriteStatusLine(1, 633, out);
    EXPECT_EQ(Text(out), "HTTP/1.0 200 OK\r\n");

    BaseMessageTable().Clear();
    std::filesystem::remove_all(dir);
}

struct RequestLineCase {
    std::string line;
    bool ok;
    int method;
    int version;
    const char* path;  // the target's path (encoded)
    const char* host;  // null: no host in the target
};

TEST(UriTest, RequestLines) {
    const RequestLineCase cases[] = {
        {"GET / HTTP/1.0", true, 1, 1, "/", nullptr},
        {"HEAD /x?y HTTP/1.1\r\n", true, 2, 2, "/x", nullptr},
        {"get / http/1.0", true, 1, 1, "/", nullptr},
        {"POST /form HTTP/1.01", true, 3, 2, "/form", nullptr},
        {"BREW /pot HTTP/1.1", true, 0, 2, "/pot", nullptr},
        {"GET / HTTP/1.-1", true, 1, 0, "/", nullptr},
        {"GET   /x   HTTP/1.1", true, 1, 2, "/x", nullptr},
        {"GET /a b.html HTTP/1.0", true, 1, 1, "/a b.html", nullptr},
        {"GET http://Gate:8080/p HTTP/1.0", true, 1, 1, "/p", "Gate"},
        {"CONNECT relay:443 HTTP/1.0", true, 4, 1, "/", "relay"},
        {"GET / HTTP/2.0", false, 0, 0, nullptr, nullptr},
        {"GET / FTP/1.0", false, 0, 0, nullptr, nullptr},
        {"GET / HTTP/1", false, 0, 0, nullptr, nullptr},
        {"GET /", false, 0, 0, nullptr, nullptr},
        {"GET", false, 0, 0, nullptr, nullptr},
        {"", false, 0, 0, nullptr, nullptr},
        {"GET / HTTP/1.0 ", true, 1, 1, "/", nullptr},
        {"GET /a\tb HTTP/1.0", false, 0, 0, nullptr, nullptr},
        {"GET http://h:99999/ HTTP/1.0", false, 0, 0, nullptr, nullptr},
        {"GET /" + std::string(8200, 'a') + " HTTP/1.0", false, 0, 0, nullptr, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line.substr(0, 60));
        int method = -1, version = -1;
        CVornURI uri;
        ASSERT_EQ(ParseRequestLine(Str(c.line), method, uri, version), c.ok);
        if (!c.ok)
            continue;
        EXPECT_EQ(method, c.method);
        EXPECT_EQ(version, c.version);
        CVornString path;
        ASSERT_TRUE(uri.GetPath(path, false));
        EXPECT_EQ(Text(path), c.path);
        CVornHostAddress host;
        EXPECT_EQ(uri.GetHost(host), c.host != nullptr);
    }
    // CONNECT targets default to the https scheme and its port.
    int method = 0, version = 0;
    CVornURI uri;
    ASSERT_TRUE(ParseRequestLine(CVornString("CONNECT relay HTTP/1.0"), method, uri, version));
    EXPECT_EQ(uri.GetScheme(), 2);
    CVornString authority;
    ASSERT_TRUE(uri.FormatAuthority(authority));
    EXPECT_EQ(Text(authority), "relay:443");
}

TEST(UriTest, StatusLines) {
    const struct {
        const char* line;
        bool ok;
        const char* version;
        const char* code;
        const char* reason;
    } cases[] = {
        {"HTTP/1.0 200 OK\r\n", true, "HTTP/1.0", "200", "OK"},
        {"HTTP/1.1 404 Not  Found\r\n", true, "HTTP/1.1", "404", "Not  Found"},
        {"HTTP/1.1   302   Found", true, "HTTP/1.1", "302", "Found"},
        {"HTTP/1.0 204\r\n", true, "HTTP/1.0", "204\r\n", ""},
        {"<html>\r\n", false, "", "", ""},
        {"HTTP/1.0 \r\n", false, "", "", ""},
        {"", false, "", "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        CVornString version, code, reason;
        ASSERT_EQ(ParseHTTPStatusLine(CVornString(c.line), version, code, reason), c.ok);
        EXPECT_EQ(Text(version), c.version);
        EXPECT_EQ(Text(code), c.code);
        EXPECT_EQ(Text(reason), c.reason);
    }
}

}  // namespace
