// The walker of the decomposition component: what the sink is asked, in
// which order, and how its answers rebuild messages and containers.

#include "maker/ravel.h"

#include <dirent.h>
#include <gtest/gtest.h>

#include <memory>

#include "core/tests/support/temp_dir.h"
#include "maker/mime_message.h"
#include "maker/rav_engines.h"
#include "maker/tests/support/recording_sink.h"

namespace {

using ravtest::Decision;
using ravtest::RecordingSink;

std::vector<std::string> DirEntries(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d))
            if (std::string(e->d_name) != "." && std::string(e->d_name) != "..")
                names.push_back(e->d_name);
        closedir(d);
    }
    return names;
}

std::string Base64(const std::string& data) {
    rav::MimeParse parse;
    std::string message = "Content-Transfer-Encoding: base64\n\nX";
    rav::ParseMime(message, 10, parse);
    std::string out;
    rav::RebuildMime(message, parse, {{0, false, data, "", ""}}, out);
    return out.substr(out.find("\n\n") + 2);
}

std::string Arc(const std::vector<std::pair<std::string, std::string>>& members,
                const testsupport::TempDir& dir) {
    ravtest::WriteTestArc(dir.Path("tmp.arc"), members);
    return ravtest::ReadFile(dir.Path("tmp.arc"));
}

class RavelTest : public ::testing::Test {
protected:
    void SetUp() override { Engines(true); }

    // The ID and MIME engines and TESTARC, writable or read-only.
    void Engines(bool writableArc) {
        m_Ravel = std::make_unique<rav::CRavel>();
        m_Engines.clear();
        m_Engines.push_back(std::make_unique<rav::CIdEngine>());
        m_Engines.push_back(std::make_unique<rav::CMimeEngine>());
        m_Engines.push_back(std::make_unique<rav::CFormatEngineAdapter>(
            ravtest::MakeTestArcEngine(writableArc, writableArc), "TESTARC", RAV_TYPE_ARCHIVE));
        for (auto& e : m_Engines) m_Ravel->AddEngine(e.get());
        m_Ravel->SetTempDir(m_Dir.Path("tmp").c_str());
    }

    // Walks the file; returns Process's answer, fills state and new name.
    int32_t Walk(const std::string& path, RecordingSink& sink) {
        IRavObject* file = nullptr;
        EXPECT_EQ(rav::NewFileObject(path.c_str(), path.c_str(), &file), 0);
        char newName[RAV_PATH_SIZE];
        m_State = 99;
        int32_t rc = m_Ravel->Process(file, &sink, &m_State, newName, sizeof newName);
        m_NewName = newName;
        delete file;
        return rc;
    }

    std::string Message(const std::string& arc) {
        return "From: a@example.com\r\nSubject: s\r\nMIME-Version: 1.0\r\n"
               "Content-Type: multipart/mixed; boundary=\"b\"\r\n\r\n--b\r\n"
               "Content-Type: text/plain\r\n\r\nhello\r\n--b\r\n"
               "Content-Type: application/octet-stream; name=\"a.arc\"\r\n"
               "Content-Transfer-Encoding: base64\r\n\r\n" +
               Base64(arc) +
               "\r\n--b\r\nContent-Type: message/rfc822\r\n\r\n"
               "From: inner@example.com\r\nContent-Type: multipart/mixed; boundary=\"c\"\r\n\r\n"
               "--c\r\nContent-Type: application/octet-stream; name=\"deep.exe\"\r\n\r\n"
               "MZ deep\r\n--c--\r\n--b--\r\n";
    }

    std::string WriteMessage(const std::string& arc) {
        ravtest::WriteFile(m_Dir.Path("msg.eml"), Message(arc));
        return m_Dir.Path("msg.eml");
    }

    // Each leaf part of a rebuilt message: name -> decoded bytes.
    std::map<std::string, std::string> PartsOf(const std::string& path) {
        std::string message = ravtest::ReadFile(path);
        rav::MimeParse parse;
        rav::ParseMime(message, 100, parse);
        std::map<std::string, std::string> parts;
        for (std::size_t i = 0; i < parse.parts.size(); ++i) {
            const rav::MimePart& p = parse.parts[i];
            parts[rav::PartName(p, i)] = rav::DecodeBody(
                std::string_view(message).substr(p.bodyStart, p.bodyEnd - p.bodyStart), p.encoding);
        }
        return parts;
    }

    testsupport::TempDir m_Dir;
    std::unique_ptr<rav::CRavel> m_Ravel;
    std::vector<std::unique_ptr<IRavEngine>> m_Engines;
    uint16_t m_State = 0;
    std::string m_NewName;
};

TEST_F(RavelTest, AsksAboutEveryObjectBeforeItsMembers) {
    std::string arc = Arc({{"x.txt", "ex"}, {"y.bin", "why"}}, m_Dir);
    std::string path = WriteMessage(arc);
    RecordingSink sink;
    ASSERT_EQ(Walk(path, sink), 0);
    EXPECT_EQ(m_State, RAV_STATE_UNCHANGED);
    struct Want {
        std::string name;
        int32_t type, depth;
    };
    const std::vector<Want> want = {
        {path, RAV_TYPE_MESSAGE, 0},      {"part1.txt", RAV_TYPE_FILE, 1},
        {"a.arc", RAV_TYPE_ARCHIVE, 1},   {"x.txt", RAV_TYPE_FILE, 2},
        {"y.bin", RAV_TYPE_FILE, 2},      {"part3.eml", RAV_TYPE_MESSAGE, 1},
        {"deep.exe", RAV_TYPE_FILE, 2},
    };
    std::vector<ravtest::Call> objects;
    for (std::size_t i = 0; i < sink.calls.size(); ++i) {
        if (sink.calls[i].kind != "object") continue;
        // Identified and entered just before.
        ASSERT_GT(i, 0u);
        EXPECT_EQ(sink.calls[i - 1].kind, "enter");
        EXPECT_EQ(sink.calls[i - 1].name, sink.calls[i].name);
        EXPECT_EQ(sink.calls[i - 1].type, sink.calls[i].type);
        objects.push_back(sink.calls[i]);
    }
    ASSERT_EQ(objects.size(), want.size());
    for (std::size_t i = 0; i < want.size(); ++i) {
        EXPECT_EQ(objects[i].name, want[i].name);
        EXPECT_EQ(objects[i].type, want[i].type) << want[i].name;
        EXPECT_EQ(objects[i].depth, want[i].depth) << want[i].name;
    }
    EXPECT_EQ(sink.Find("object", "x.txt")->data, "ex");
    EXPECT_EQ(sink.Find("object", "a.arc")->data, arc);
    EXPECT_EQ(sink.Find("object", "deep.exe")->data, "MZ deep");
    EXPECT_TRUE(DirEntries(m_Dir.Path("tmp")).empty());
}

TEST_F(RavelTest, SkippedOrChangedContainersAreNotOpened) {
    std::string path = WriteMessage(Arc({{"x.txt", "ex"}}, m_Dir));
    for (const char* how : {"skip", "replace", "remove"}) {
        RecordingSink sink;
        Decision& d = sink.decisions["a.arc"];
        d.skip = std::string(how) == "skip";
        d.replace = std::string(how) == "replace";
        d.remove = std::string(how) == "remove";
        ASSERT_EQ(Walk(path, sink), 0) << how;
        EXPECT_EQ(sink.Find("enter", "x.txt"), nullptr) << how;
        EXPECT_EQ(sink.Find("object", "a.arc") != nullptr, !d.skip) << how;
        EXPECT_NE(sink.Find("object", "deep.exe"), nullptr) << how;
    }
}

TEST_F(RavelTest, TheTopMailObjectIsNeverRemoved) {
    std::string path = WriteMessage(Arc({{"x.txt", "ex"}}, m_Dir));
    RecordingSink sink;
    sink.decisions[path].remove = true;
    ASSERT_EQ(Walk(path, sink), 0);
    EXPECT_EQ(m_State, RAV_STATE_UNCHANGED);
    EXPECT_NE(sink.Find("object", "x.txt"), nullptr);  // its parts are still walked
}

TEST_F(RavelTest, ReplacesRemovesAndBlocksPartsAndMembers) {
    std::string path = WriteMessage(Arc({{"x.txt", "ex"}, {"y.bin", "why"}}, m_Dir));
    RecordingSink sink;
    sink.decisions["part1.txt"] = {.replace = true, .text = "blocked\r\n",
                                   .newName = "DELETED0.TXT", .contentType = "plain/text"};
    sink.decisions["y.bin"].remove = true;
    sink.decisions["x.txt"] = {.replace = true, .text = "repaired", .newName = "", .contentType = ""};
    sink.decisions["deep.exe"].remove = true;
    ASSERT_EQ(Walk(path, sink), 0);
    ASSERT_EQ(m_State, RAV_STATE_REBUILT);
    ASSERT_EQ(m_NewName.rfind(m_Dir.Path("tmp") + "/", 0), 0u);
    std::map<std::string, std::string> parts = PartsOf(m_NewName);
    ASSERT_EQ(parts.size(), 3u);
    EXPECT_EQ(parts["DELETED0.TXT"], "blocked\r\n");
    EXPECT_EQ(parts["a.arc"], Arc({{"x.txt", "repaired"}}, m_Dir));
    // The message/rfc822 part was rebuilt without its only attachment.
    EXPECT_EQ(parts["part3.eml"].find("deep.exe"), std::string::npos);
    EXPECT_EQ(parts["part3.eml"].find("From: inner@example.com"), 0u);
    // Python's email package agrees.
    std::string python = ravtest::RunCommand(
        "python3 -c '\nimport email, sys\n"
        "m = email.message_from_binary_file(open(sys.argv[1], \"rb\"))\n"
        "print([(p.get_content_type(), p.get_filename()) for p in m.walk() if not p.is_multipart()])\n"
        "' " + m_NewName);
    EXPECT_EQ(python,
              "[('plain/text', 'DELETED0.TXT'), ('application/octet-stream', 'a.arc'), "
              "('multipart/mixed', None)]\n");
    // Only the result is left in the temporary directory.
    EXPECT_EQ(DirEntries(m_Dir.Path("tmp")).size(), 1u);
}

TEST_F(RavelTest, ARemovalAContainerCannotMakeDropsTheContainer) {
    Engines(false);  // TESTARC is read-only now
    std::string path = WriteMessage(Arc({{"x.txt", "ex"}, {"y.bin", "why"}}, m_Dir));
    {
        RecordingSink sink;
        sink.decisions["x.txt"].remove = true;
        ASSERT_EQ(Walk(path, sink), 0);
        ASSERT_EQ(m_State, RAV_STATE_REBUILT);
        const ravtest::Call* asked = sink.Find("objectError", "a.arc");
        ASSERT_NE(asked, nullptr);
        EXPECT_EQ(asked->code, RAVERR_CANNOT_CHANGE);
        std::map<std::string, std::string> parts = PartsOf(m_NewName);
        EXPECT_EQ(parts.count("a.arc"), 0u);
        EXPECT_EQ(parts.count("part1.txt"), 1u);
    }
    {
        // The sink may replace the container by a text instead.
        RecordingSink sink;
        sink.decisions["x.txt"].remove = true;
        sink.decisions["a.arc"] = {.replaceOnError = true, .text = "gone",
                                   .newName = "DELETED0.TXT", .contentType = "plain/text"};
        ASSERT_EQ(Walk(path, sink), 0);
        std::map<std::string, std::string> parts = PartsOf(m_NewName);
        EXPECT_EQ(parts["DELETED0.TXT"], "gone");
        EXPECT_EQ(parts.count("a.arc"), 0u);
    }
}

TEST_F(RavelTest, ARenameRequestReachesTheMarkedAncestor) {
    std::string inner = Arc({{"x.txt", "ex"}}, m_Dir);
    std::string path = WriteMessage(Arc({{"inner.arc", inner}, {"y.bin", "why"}}, m_Dir));
    RecordingSink sink;
    sink.decisions["x.txt"].renameAncestor = true;
    sink.decisions["a.arc"] = {.replaceOnError = true, .text = "replaced",
                               .newName = "DELETED0.TXT", .contentType = "plain/text"};
    ASSERT_EQ(Walk(path, sink), 0);
    // Reported for each container from the member's parent outward, until
    // the marked one took it.
    std::vector<std::string> asked;
    for (const auto& c : sink.calls)
        if (c.kind == "objectError" && c.code == RAVERR_RENAME_REQUEST) asked.push_back(c.name);
    EXPECT_EQ(asked, (std::vector<std::string>{"inner.arc", "a.arc"}));
    // The rest of the replaced container is not walked.
    EXPECT_EQ(sink.Find("enter", "y.bin"), nullptr);
    ASSERT_EQ(m_State, RAV_STATE_REBUILT);
    std::map<std::string, std::string> parts = PartsOf(m_NewName);
    EXPECT_EQ(parts["DELETED0.TXT"], "replaced");
}

TEST_F(RavelTest, AbortChangesNothingAndLeavesNothing) {
    std::string path = WriteMessage(Arc({{"x.txt", "ex"}}, m_Dir));
    std::string before = ravtest::ReadFile(path);
    RecordingSink sink;
    sink.decisions["part1.txt"].replace = true;
    sink.decisions["x.txt"].abort = true;
    EXPECT_EQ(Walk(path, sink), RAVERR_ABORT);
    EXPECT_EQ(m_State, RAV_STATE_UNCHANGED);
    EXPECT_EQ(m_NewName, "");
    EXPECT_EQ(sink.Find("enter", "part3.eml"), nullptr);
    EXPECT_EQ(ravtest::ReadFile(path), before);
    EXPECT_TRUE(DirEntries(m_Dir.Path("tmp")).empty());
}

TEST_F(RavelTest, HostileContainersAreBoundedAndNamesStayLabels) {
    // A member named like a path, nesting past the walker's bound, and a
    // damaged archive.
    std::string nested = Arc({{"core", "x"}}, m_Dir);
    for (int i = 0; i < 20; ++i) nested = Arc({{"level" + std::to_string(i), nested}}, m_Dir);
    std::string damaged = Arc({{"ok.txt", "fine"}, {"cut.bin", "0123456789"}}, m_Dir);
    damaged.resize(damaged.size() - 4);
    std::string path = WriteMessage(
        Arc({{"../../x", "escape"}, {"/etc/evil", "abs"}, {"nested", nested}, {"damaged", damaged}},
            m_Dir));
    RecordingSink sink;
    ASSERT_EQ(Walk(path, sink), 0);
    EXPECT_EQ(sink.Find("object", "../../x")->data, "escape");
    EXPECT_EQ(sink.Find("object", "/etc/evil")->data, "abs");
    EXPECT_FALSE(ravtest::RunCommand("ls " + m_Dir.Path("x") + " 2>/dev/null").size());
    int32_t deepest = 0;
    for (const auto& c : sink.calls)
        if (c.kind == "object") deepest = std::max(deepest, c.depth);
    EXPECT_EQ(deepest, rav::WalkLimits().maxDepth);
    bool depthReported = false, damageReported = false;
    for (const auto& c : sink.calls) {
        depthReported |= c.kind == "objectError" && c.code == RAVERR_DEPTH;
        damageReported |= c.kind == "objectError" && c.code == RAVERR_DAMAGED && c.name == "damaged";
    }
    EXPECT_TRUE(depthReported);
    EXPECT_TRUE(damageReported);
    EXPECT_EQ(sink.Find("object", "ok.txt")->data, "fine");  // what could be read was read
    EXPECT_TRUE(DirEntries(m_Dir.Path("tmp")).empty());
}

TEST_F(RavelTest, ExtractionStopsAtTheWalkBounds) {
    rav::WalkLimits limits;
    limits.maxWalkBytes = 7000;  // the archive fits, its big member does not
    m_Ravel->SetLimits(limits);
    std::string path = WriteMessage(
        Arc({{"small", "s"}, {"big", std::string(5000, 'z')}, {"after", "a"}}, m_Dir));
    RecordingSink sink;
    ASSERT_EQ(Walk(path, sink), 0);
    const ravtest::Call* limit = nullptr;
    for (const auto& c : sink.calls)
        if (c.kind == "objectError" && c.code == RAVERR_LIMIT) limit = &c;
    ASSERT_NE(limit, nullptr);
    EXPECT_EQ(limit->name, "a.arc");
    EXPECT_EQ(sink.Find("object", "big"), nullptr);
    // The rest of the message is still walked.
    EXPECT_NE(sink.Find("object", "deep.exe"), nullptr);
}

TEST_F(RavelTest, MembersOverTheBoundAreReportedOnceOnTheirContainer) {
    rav::WalkLimits limits;
    limits.container.maxMemberBytes = 1000;  // a.arc is over, the rest under
    m_Ravel->SetLimits(limits);
    std::string path = WriteMessage(Arc({{"x.txt", std::string(3000, 'x')}}, m_Dir));
    RecordingSink sink;
    ASSERT_EQ(Walk(path, sink), 0);
    std::vector<std::string> reported;
    for (const auto& c : sink.calls)
        if (c.kind == "objectError") reported.push_back(c.name + " " + std::to_string(c.code));
    EXPECT_EQ(reported, std::vector<std::string>{path + " " + std::to_string(RAVERR_LIMIT)});
    EXPECT_EQ(sink.Find("enter", "a.arc"), nullptr);
    EXPECT_NE(sink.Find("object", "part1.txt"), nullptr);
    EXPECT_NE(sink.Find("object", "deep.exe"), nullptr);
}

TEST_F(RavelTest, AMessageWithoutItsClosingBoundaryIsWalkedToTheEnd) {
    ravtest::WriteFile(m_Dir.Path("open.eml"),
                       "From: a\nContent-Type: multipart/mixed; boundary=b\n\n--b\n\ntext\n--b\n"
                       "Content-Type: application/octet-stream; name=last.bin\n\nMZ last\n");
    RecordingSink sink;
    ASSERT_EQ(Walk(m_Dir.Path("open.eml"), sink), 0);
    ASSERT_NE(sink.Find("object", "last.bin"), nullptr);
    EXPECT_EQ(sink.Find("object", "last.bin")->data, "MZ last\n");
}

TEST_F(RavelTest, ATopFileNothingRecognisesReachesTheSinkAsAPart) {
    const std::string bytes("MZ\x90\x00 not a message\n", 19);
    ravtest::WriteFile(m_Dir.Path("plain.bin"), bytes);
    RecordingSink sink;
    ASSERT_EQ(Walk(m_Dir.Path("plain.bin"), sink), 0);
    ASSERT_NE(sink.Find("object", "part1.txt"), nullptr);
    EXPECT_EQ(sink.Find("object", "part1.txt")->data, bytes);
    EXPECT_EQ(sink.Find("object", "part1.txt")->depth, 1);
}

TEST_F(RavelTest, ATopArchiveThatCannotDropAMemberIsToBeDeleted) {
    Engines(false);
    ravtest::WriteTestArc(m_Dir.Path("top.arc"), {{"x.txt", "ex"}});
    RecordingSink sink;
    sink.decisions["x.txt"].remove = true;
    ASSERT_EQ(Walk(m_Dir.Path("top.arc"), sink), 0);
    EXPECT_EQ(m_State, RAV_STATE_DELETE);
    EXPECT_EQ(m_NewName, "");
}

TEST_F(RavelTest, TheTemporaryDirectoryIsCreatedWhenMissing) {
    m_Ravel->SetTempDir(m_Dir.Path("made/on/demand").c_str());
    std::string path = WriteMessage(Arc({{"x.txt", "ex"}}, m_Dir));
    RecordingSink sink;
    sink.decisions["x.txt"].remove = true;
    ASSERT_EQ(Walk(path, sink), 0);
    EXPECT_EQ(m_NewName.rfind(m_Dir.Path("made/on/demand") + "/", 0), 0u);
}

TEST(RavelEntryPoints, RefuseWhatTheyCannotDo) {
    IRavObject* object = reinterpret_cast<IRavObject*>(1);
    EXPECT_EQ(RavNewFileObject("/nonexistent/file", "x", &object), RAVERR_CANNOT_OPEN);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(RavNewFileObject("/tmp", "x", &object), RAVERR_CANNOT_OPEN);
    for (auto create : {&RavNewSSEngine, &RavNewAMGEngine}) {
        IRavEngine* engine = reinterpret_cast<IRavEngine*>(1);
        EXPECT_EQ(create(&engine), RAVERR_NOT_AVAILABLE);
        EXPECT_EQ(engine, nullptr);
    }
    IRavel* ravel = nullptr;
    ASSERT_EQ(RavNewRavel(&ravel), 0);
    uint16_t state;
    char name[16];
    EXPECT_EQ(ravel->Process(nullptr, nullptr, &state, name, sizeof name), RAVERR_BAD_ARGUMENT);
    RavDeleteRavel(ravel);
}

}  // namespace
