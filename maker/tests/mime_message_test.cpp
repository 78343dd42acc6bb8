// The MIME reader finds every part a mail reader shows, and a rebuild keeps
// every byte it was not asked to change.

#include "maker/mime_message.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

#include "core/md5.h"
#include "core/tests/support/temp_dir.h"
#include "maker/tests/support/recording_sink.h"

namespace {

struct Seen {
    std::string name, type, data;
    bool message;
};

std::vector<Seen> Parts(const std::string& message, bool* tooDeep = nullptr) {
    rav::MimeParse parse;
    rav::ParseMime(message, 1000, parse);
    if (tooDeep) *tooDeep = parse.tooDeep;
    std::vector<Seen> out;
    for (std::size_t i = 0; i < parse.parts.size(); ++i) {
        const rav::MimePart& p = parse.parts[i];
        out.push_back({rav::PartName(p, i), p.type,
                       rav::DecodeBody(message.substr(p.bodyStart, p.bodyEnd - p.bodyStart),
                                       p.encoding),
                       p.isMessage});
    }
    return out;
}

std::string Crlf(std::string text) {
    std::string out;
    for (char c : text) {
        if (c == '\n') out += '\r';
        out += c;
    }
    return out;
}

struct Case {
    const char* what;
    std::string message;
    std::vector<std::pair<std::string, std::string>> parts;  // name, decoded data
    // Python's email package lets an inner boundary equal to an outer one
    // end the outer multipart, and so misses the parts after it; we list
    // every part any reading shows.
    bool pythonAgrees = true;
};

const std::vector<Case>& ReaderCases() {
    static const std::vector<Case> cases = {
        {"single part", "From: a\nSubject: s\n\nhello\n", {{"part1.txt", "hello\n"}}},
        {"nested multiparts, bare LF",
         "Content-Type: multipart/mixed; boundary=outer\n\npre\n--outer\n"
         "Content-Type: multipart/alternative; boundary=inner\n\n--inner\n\nplain\n"
         "--inner\nContent-Type: text/html\n\n<p>x</p>\n--inner--\n--outer\n"
         "Content-Type: application/octet-stream; name=a.bin\n"
         "Content-Transfer-Encoding: base64\n\naGVsbG8=\n--outer--\nepilogue\n",
         {{"part1.txt", "plain"}, {"part2.htm", "<p>x</p>"}, {"a.bin", "hello"}}},
        {"closing boundary missing",
         "Content-Type: multipart/mixed; boundary=b\n\n--b\n\none\n--b\n"
         "Content-Disposition: attachment; filename=last.txt\n\ntail\nmore\n",
         {{"part1.txt", "one"}, {"last.txt", "tail\nmore\n"}}},
        {"a boundary is a whole line, not a prefix",
         "Content-Type: multipart/mixed; boundary=b\n\n--b\n\n--bx\n--b \t\n--b-- x\n--b--\n",
         {{"part1.txt", "--bx"}, {"part2.txt", "--b-- x"}}},
        {"one boundary reused at two levels",
         "Content-Type: multipart/mixed; boundary=same\n\n--same\n"
         "Content-Type: multipart/mixed; boundary=same\n\n--same\n\ninner1\n--same\n\ninner2\n"
         "--same--\n--same\nContent-Type: text/plain; name=outer.txt\n\nouter\n--same--\n",
         {{"part1.txt", "inner1"}, {"part2.txt", "inner2"}, {"outer.txt", "outer"}},
         false},
        {"RFC 2231 names and boundary",
         "Content-Type: multipart/mixed; boundary*=us-ascii''b%31\n\n--b1\n"
         "Content-Disposition: attachment; filename*=utf-8''%C3%A9t%C3%A9.txt\n\nx\n--b1\n"
         "Content-Disposition: attachment; filename*0=\"long\"; filename*1*=%20name;\n"
         " filename*2=\".doc\"\n\ny\n--b1--\n",
         {{"\xC3\xA9t\xC3\xA9.txt", "x"}, {"long name.doc", "y"}}},
        {"RFC 2047 name and quoted-printable body",
         "Content-Type: multipart/mixed; boundary=b\n\n--b\n"
         "Content-Type: text/plain; name=\"=?utf-8?B?w6k=?= =?utf-8?Q?_x.txt?=\"\n"
         "Content-Transfer-Encoding: quoted-printable\n\na=3Db=\nc\n--b--\n",
         {{"\xC3\xA9 x.txt", "a=bc"}}},
        {"digest parts default to messages",
         "Content-Type: multipart/digest; boundary=d\n\n--d\n\nFrom: x\nSubject: y\n\nbody\n"
         "--d--\n",
         {{"part1.eml", "From: x\nSubject: y\n\nbody"}}},
        {"message/rfc822 whose inner boundary equals ours",
         "Content-Type: multipart/mixed; boundary=b\n\n--b\nContent-Type: message/rfc822\n\n"
         "Content-Type: multipart/mixed; boundary=b\n\n--b\n\ninside\n--b--\n--b\n"
         "Content-Type: text/plain; name=after.txt\n\nafter\n--b--\n",
         {{"part1.eml",
           "Content-Type: multipart/mixed; boundary=b\n\n--b\n\ninside\n--b--"},
          {"after.txt", "after"}},
         false},
    };
    return cases;
}

TEST(MimeMessage, FindsEveryPartAReaderShows) {
    for (const Case& c : ReaderCases()) {
        for (bool crlf : {false, true}) {
            std::string message = crlf ? Crlf(c.message) : c.message;
            std::vector<Seen> seen = Parts(message);
            ASSERT_EQ(seen.size(), c.parts.size()) << c.what << (crlf ? " (CRLF)" : "");
            for (std::size_t i = 0; i < seen.size(); ++i) {
                std::string want = c.parts[i].second;
                if (crlf && seen[i].name != "a.bin") want = Crlf(want);
                if (crlf && std::string(c.what).find("quoted") != std::string::npos) want = "a=bc";
                EXPECT_EQ(seen[i].name, c.parts[i].first) << c.what;
                EXPECT_EQ(seen[i].data, want) << c.what << " part " << i;
            }
        }
    }
}

// One line per leaf part as Python's email package sees it: file name (or
// None), content type, MD5 of the decoded bytes ("-" for a message part).
const char* kPythonLeaves = R"(
import email, email.header, email.policy, sys, hashlib
def leaves(m):
    if m.get_content_maintype() == 'multipart' and m.is_multipart():
        for p in m.get_payload():
            yield from leaves(p)
    else:
        yield m
for path in sys.argv[1:]:
    print('==', path)
    m = email.message_from_binary_file(open(path, 'rb'), policy=email.policy.compat32)
    for p in leaves(m):
        name = p.get_filename()
        if name is not None and '=?' in name:
            name = str(email.header.make_header(email.header.decode_header(name)))
        data = p.get_payload(decode=True) if p.get_content_maintype() != 'message' else None
        if data is not None:
            data = data.replace(b'\r\n', b'\n')
            data = data[:-1] if data.endswith(b'\n') else data
        print(name, p.get_content_type(), hashlib.md5(data).hexdigest() if data is not None else '-')
)";

std::string Md5Hex(const std::string& data) {
    VornMD5Context context;
    MD5Init(&context);
    MD5Update(&context, reinterpret_cast<const unsigned char*>(data.data()),
              static_cast<unsigned int>(data.size()));
    unsigned char digest[16];
    MD5Final(digest, &context);
    char hex[33];
    for (int i = 0; i < 16; ++i) std::snprintf(hex + 2 * i, 3, "%02x", digest[i]);
    return hex;
}

TEST(MimeMessage, SeesThePartsPythonSees) {
    testsupport::TempDir dir;
    ravtest::WriteFile(dir.Path("leaves.py"), kPythonLeaves);
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(ZELORM_SOURCE_DIR "/net/tests/data/mail"))
        if (entry.path().extension() == ".eml") files.push_back(entry.path());
    files.push_back("/usr/share/clamav-testfiles/clam.mail");
    files.push_back("/usr/share/clamav-testfiles/clam.exe.mbox.base64");
    int n = 0;
    for (const Case& c : ReaderCases()) {
        if (!c.pythonAgrees) continue;
        for (bool crlf : {false, true}) {
            std::string path = dir.Path("case" + std::to_string(n++) + ".eml");
            ravtest::WriteFile(path, crlf ? Crlf(c.message) : c.message);
            files.push_back(path);
        }
    }
    std::string mine, arguments;
    for (const std::string& file : files) {
        std::string message = ravtest::ReadFile(file);
        rav::MimeParse parse;
        rav::ParseMime(message, 1000, parse);
        mine += "== " + file + "\n";
        arguments += " " + file;
        for (const rav::MimePart& p : parse.parts) {
            std::string data = rav::DecodeBody(
                std::string_view(message).substr(p.bodyStart, p.bodyEnd - p.bodyStart), p.encoding);
            // Python reads line ends as LF and drops the last one of a part
            // that runs to the end of the file; compare the content alone.
            for (std::size_t at; (at = data.find("\r\n")) != std::string::npos;) data.erase(at, 1);
            if (!data.empty() && data.back() == '\n') data.pop_back();
            mine += (p.name.empty() ? "None" : p.name) + " " + p.type + " " +
                    (p.isMessage ? "-" : Md5Hex(data)) + "\n";
        }
    }
    EXPECT_EQ(mine, ravtest::RunCommand("python3 " + dir.Path("leaves.py") + arguments));
}

TEST(MimeMessage, NestingPastTheBoundStaysOnePartAndIsReported) {
    std::string message = "Content-Type: multipart/mixed; boundary=b0\n\n";
    std::string tail;
    for (int i = 1; i <= rav::kMaxMimeNesting + 5; ++i) {
        message += "--b" + std::to_string(i - 1) +
                   "\nContent-Type: multipart/mixed; boundary=b" + std::to_string(i) + "\n\n";
        tail = "--b" + std::to_string(i - 1) + "--\n" + tail;
    }
    message += "--b" + std::to_string(rav::kMaxMimeNesting + 5) + "\n\nEICAR\n" + tail;
    bool tooDeep = false;
    std::vector<Seen> seen = Parts(message, &tooDeep);
    EXPECT_TRUE(tooDeep);
    ASSERT_EQ(seen.size(), 1u);
    // The part that was not opened still carries the innermost bytes.
    EXPECT_NE(seen[0].data.find("EICAR"), std::string::npos);
}

TEST(MimeMessage, RecognisesMailHeadersOnly) {
    const std::pair<std::string, bool> cases[] = {
        {"From: a@b\nTo: c@d\n\nx", true},
        {"From someone Thu Jul 31 2008\nFrom: a\n\n", true},
        {"X-Custom: 1\nReceived: from x\n\n", true},
        {"X-Only: 1\n\nbody", false},
        {"hello world\nFrom: a\n\n", false},
        {"PK\x03\x04", false},
        {" folded: first\n", false},
    };
    for (const auto& [text, want] : cases)
        EXPECT_EQ(rav::LooksLikeMessage(reinterpret_cast<const unsigned char*>(text.data()),
                                        text.size()),
                  want)
            << text;
}

TEST(MimeMessage, RebuildWithoutEditsIsByteIdentical) {
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(ZELORM_SOURCE_DIR "/net/tests/data/mail"))
        if (entry.path().extension() == ".eml") files.push_back(entry.path());
    for (const char* name : {"clam.mail", "clam.exe.mbox.base64", "clam.exe.mbox.uu"})
        files.push_back(std::string("/usr/share/clamav-testfiles/") + name);
    ASSERT_GE(files.size(), 4u);
    for (const std::string& file : files) {
        std::string message = ravtest::ReadFile(file);
        ASSERT_FALSE(message.empty()) << file;
        rav::MimeParse parse;
        rav::ParseMime(message, 1000, parse);
        EXPECT_FALSE(parse.parts.empty()) << file;
        std::string out;
        ASSERT_TRUE(rav::RebuildMime(message, parse, {}, out));
        EXPECT_EQ(out, message) << file;
        // Replacing every part with its own decoded bytes keeps the text a
        // reader decodes (the encoding may change, the content does not).
        std::vector<rav::MimeEdit> edits;
        for (std::size_t i = 0; i < parse.parts.size(); ++i) {
            const rav::MimePart& p = parse.parts[i];
            edits.push_back({i, false,
                             rav::DecodeBody(std::string_view(message).substr(
                                                 p.bodyStart, p.bodyEnd - p.bodyStart),
                                             p.encoding),
                             "", ""});
        }
        ASSERT_TRUE(rav::RebuildMime(message, parse, edits, out));
        std::vector<Seen> before = Parts(message), after = Parts(out);
        ASSERT_EQ(before.size(), after.size()) << file;
        for (std::size_t i = 0; i < before.size(); ++i) {
            EXPECT_EQ(before[i].data, after[i].data) << file << " part " << i;
            EXPECT_EQ(before[i].name, after[i].name) << file << " part " << i;
        }
    }
}

// Python's email package reads the rebuilt message: part file names, types
// and payload bytes, one line each; paths are separated by blanks.
std::string PythonParts(const std::string& paths) {
    return ravtest::RunCommand(
        "python3 -c '\n"
        "import email, email.policy, sys\n"
        "for path in sys.argv[1:]:\n"
        "  m = email.message_from_binary_file(open(path, \"rb\"), policy=email.policy.default)\n"
        "  for p in m.walk():\n"
        "    if p.is_multipart(): continue\n"
        "    print(p.get_filename(), p.get_content_type(), p.get_payload(decode=True))\n"
        "' " + paths);
}

TEST(MimeMessage, ReplacedAndRemovedPartsReadBackInPython) {
    testsupport::TempDir dir;
    const std::string message = Crlf(
        "Received: from a by b; Thu, 1 Jan 2026 00:00:00 +0000\n"
        "From: x@example.com\nSubject: test\nMIME-Version: 1.0\n"
        "Content-Type: multipart/mixed; boundary=\"zz\"\n\npreamble stays\n--zz\n"
        "Content-Type: text/plain\n\nbody text\n--zz\n"
        "Content-Type: application/octet-stream; name=\"bad.exe\"\n"
        "Content-Disposition: attachment; filename=\"bad.exe\"\nX-Keep: yes\n"
        "Content-Transfer-Encoding: base64\n\nTVqQAAMAAAAEAAAA\n--zz\n"
        "Content-Type: application/zip; name=\"gone.zip\"\n"
        "Content-Transfer-Encoding: base64\n\nUEsFBgAAAAAAAAAAAAAAAAAAAAAAAA==\n--zz--\nepilogue stays\n");
    rav::MimeParse parse;
    rav::ParseMime(message, 100, parse);
    ASSERT_EQ(parse.parts.size(), 3u);
    std::string out;
    ASSERT_TRUE(rav::RebuildMime(
        message, parse,
        {{1, false, "The attachment was removed.\r\n", "DELETED0.TXT", "text/plain"},
         {2, true, "", "", ""}},
        out));
    EXPECT_EQ(out.find("Received: from a by b"), 0u);
    EXPECT_NE(out.find("preamble stays"), std::string::npos);
    EXPECT_NE(out.find("epilogue stays"), std::string::npos);
    EXPECT_NE(out.find("X-Keep: yes"), std::string::npos);
    EXPECT_EQ(out.find("gone.zip"), std::string::npos);
    EXPECT_EQ(out.find("bad.exe"), std::string::npos);
    ravtest::WriteFile(dir.Path("out.eml"), out);
    EXPECT_EQ(PythonParts(dir.Path("out.eml")),
              "None text/plain b'body text'\n"
              "DELETED0.TXT text/plain b'The attachment was removed.\\r\\n'\n");
}

TEST(MimeMessage, RemovingTheOnlyBodyLeavesAnEmptyText) {
    testsupport::TempDir dir;
    std::string message = "From: a\nContent-Type: application/octet-stream\n"
                          "Content-Transfer-Encoding: base64\n\nTVqQAAMAAAAEAAAA\n";
    rav::MimeParse parse;
    rav::ParseMime(message, 100, parse);
    std::string out;
    ASSERT_TRUE(rav::RebuildMime(message, parse, {{0, true, "", "", ""}}, out));
    ravtest::WriteFile(dir.Path("out.eml"), out);
    EXPECT_EQ(PythonParts(dir.Path("out.eml")), "None text/plain b''\n");
    EXPECT_EQ(out.find("From: a\n"), 0u);
}

TEST(MimeMessage, NamesWithQuotesAndNonAsciiAreWrittenSafely) {
    testsupport::TempDir dir;
    std::string message = "Content-Type: multipart/mixed; boundary=b\n\n--b\n"
                          "Content-Type: text/plain; name=a.txt\n\nx\n--b--\n";
    rav::MimeParse parse;
    rav::ParseMime(message, 100, parse);
    std::string paths;
    int n = 0;
    for (const std::string& name : {std::string("q\"uo\\te.txt"), std::string("\xC3\xA9t\xC3\xA9.txt"),
                                    std::string("line\r\nBcc: evil.txt")}) {
        std::string out;
        ASSERT_TRUE(rav::RebuildMime(message, parse, {{0, false, "new", name, ""}}, out));
        EXPECT_EQ(out.find("\nBcc:"), std::string::npos);
        rav::MimeParse again;
        rav::ParseMime(out, 100, again);
        ASSERT_EQ(again.parts.size(), 1u);
        std::string want = name;
        for (char& c : want)
            if (c == '\r' || c == '\n') c = '_';
        EXPECT_EQ(again.parts[0].name, want);
        std::string path = dir.Path("n" + std::to_string(n++) + ".eml");
        ravtest::WriteFile(path, out);
        paths += " " + path;
    }
    std::string python = PythonParts(paths);
    EXPECT_NE(python.find("q\"uo\\te.txt text/plain b'new'\n"), std::string::npos) << python;
    EXPECT_NE(python.find("\xC3\xA9t\xC3\xA9.txt text/plain b'new'\n"), std::string::npos) << python;
    EXPECT_NE(python.find("line__Bcc: evil.txt text/plain b'new'\n"), std::string::npos) << python;
}

}  // namespace

namespace {

// Cut and damaged messages: ranges stay inside the message, a rebuild
// without edits gives the bytes back, and every part can be dropped.
TEST(MimeMessage, DamagedMessagesKeepTheirRangesSound) {
    std::vector<std::string> messages;
    for (const Case& c : ReaderCases()) messages.push_back(Crlf(c.message));
    messages.push_back(ravtest::ReadFile("/usr/share/clamav-testfiles/clam.mail"));
    messages.push_back(ravtest::ReadFile(ZELORM_SOURCE_DIR "/net/tests/data/mail/enmime-nestedmulti.eml"));
    const char damage[] = {'\n', '-', '\r', '"', ';', '=', '\0'};
    for (const std::string& original : messages) {
        for (std::size_t at = 0; at < original.size(); at += 3) {
            std::string variants[2] = {original.substr(0, at), original};
            variants[1][at] = damage[at % sizeof damage];
            for (const std::string& message : variants) {
                rav::MimeParse parse;
                rav::ParseMime(message, 1000, parse);
                std::vector<rav::MimeEdit> dropAll;
                for (std::size_t i = 0; i < parse.parts.size(); ++i) {
                    const rav::MimePart& p = parse.parts[i];
                    ASSERT_LE(p.headerStart, p.headerEnd);
                    ASSERT_LE(p.headerEnd, p.bodyStart);
                    ASSERT_LE(p.bodyStart, p.bodyEnd);
                    ASSERT_LE(p.bodyEnd, message.size());
                    if (p.delimStart != rav::kNoPos) {
                        ASSERT_LT(p.delimStart, p.headerStart);
                    }
                    if (p.nextDelim != rav::kNoPos) {
                        ASSERT_LE(p.bodyEnd, p.nextDelim);
                    }
                    dropAll.push_back({i, true, "", "", ""});
                }
                std::string out;
                ASSERT_TRUE(rav::RebuildMime(message, parse, {}, out));
                ASSERT_EQ(out, message);
                ASSERT_TRUE(rav::RebuildMime(message, parse, dropAll, out));
            }
        }
    }
}

}  // namespace
