// The decomposition event sink: which objects are processed, what happens to
// an infected or blocked object at each action level, how findings are
// named, how ancestors are marked and replaced, how component errors become
// reasons, and that nothing a callback does escapes or overflows. First on a
// scripted object tree with an engine of our own, then on the real
// decomposition component and virus engine.
#include "scanner/scan_event_sink.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/tests/support/temp_dir.h"
#include "maker/formats/format_engine.h"
#include "maker/rav_engines.h"
#include "maker/ravel.h"
#include "scanner/scan_result.h"
#include "scanner/tests/support/sink_fakes.h"

namespace {

using sinktest::FakeEngine;
using sinktest::FakeObject;
using sinktest::ReadBytes;

constexpr const char* kMarkAncestor = "RAVERR_RENAME_ANCESTOR";
constexpr const char* kMarkType = "RAVERR_RENAME_TYPE";
constexpr int32_t kContext = 7;

struct Finding {
    std::vector<std::string> names;
    std::string virus;
    int32_t id;
    int32_t status;
};

std::vector<Finding> FindingsOf(IScanResult* result)
{
    std::vector<Finding> findings;
    for (int32_t i = 0; i < result->GetItemCount(); ++i) {
        IVirusItem* item = nullptr;
        EXPECT_EQ(WEXLOR_OK, result->GetItem(static_cast<uint32_t>(i), &item));
        Finding f{{}, item->GetVirusName(), item->GetVirusId(), item->GetStatus()};
        for (int32_t n = 0; n < item->GetNameCount(); ++n)
            f.names.push_back(item->GetName(static_cast<uint32_t>(n)));
        item->Release();
        findings.push_back(f);
    }
    return findings;
}

std::vector<int32_t> ReasonsOf(IScanResult* result)
{
    std::vector<int32_t> reasons;
    for (int32_t i = 0; i < result->GetReasonCount(); ++i)
        reasons.push_back(result->GetReason(static_cast<uint32_t>(i)));
    return reasons;
}

CScanResult* NewResult()
{
    CScanResult* result = new CScanResult;
    void* out = nullptr;
    EXPECT_EQ(WEXLOR_OK, result->QueryInterface(WEXLOR_IID_OBJECT, &out));
    return result;
}

TEST(ExtensionOf, TakesTheLettersAndDigitsAfterTheLastDot)
{
    const struct {
        const char* name;
        const char* extension;
    } cases[] = {
        {"report.doc", "doc"}, {"a.tar.gz", "gz"}, {"setup.ex_", ""},   {"README", ""},
        {"name.", ""},         {".profile", "profile"}, {"x.ABC1", "ABC1"}, {"a.b-c", ""},
        {"", ""},              {"dir.d/file", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        char buffer[16];
        std::memset(buffer, 'z', sizeof buffer);
        EXPECT_EQ(static_cast<int32_t>(std::strlen(c.extension)),
                  ExtensionOf(c.name, buffer, sizeof buffer));
        EXPECT_STREQ(c.extension, buffer);
    }
    // Cut to the buffer, always terminated.
    char small[4];
    EXPECT_EQ(3, ExtensionOf("a.longext", small, sizeof small));
    EXPECT_STREQ("lon", small);
    char one[1] = {'z'};
    EXPECT_EQ(0, ExtensionOf("a.doc", one, 1));
    EXPECT_EQ('\0', one[0]);
    EXPECT_EQ(0, ExtensionOf(nullptr, small, sizeof small));
    EXPECT_STREQ("", small);
}

class SinkTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        sinktest::ResetFakeEngine();
        m_Result = NewResult();
    }
    void TearDown() override
    {
        m_Result->Release();
        EXPECT_EQ(0, FakeEngine().liveHandles) << "virus handles left open";
        EXPECT_TRUE(m_Callback.buffersClean);
    }

    std::unique_ptr<CScanEventSink> Sink(int32_t level, bool filter = false,
                                         bool scanTopLevel = false, bool callback = true)
    {
        return std::make_unique<CScanEventSink>(m_Api, sinktest::FakeEngineHandle(), level,
                                                callback ? &m_Callback : nullptr, kContext,
                                                m_Result, filter, scanTopLevel);
    }

    struct Outcome {
        int32_t code;
        uint16_t word;
    };
    Outcome Object(CScanEventSink& sink, FakeObject& object)
    {
        uint16_t word = 99;
        char newData[64] = "stale";
        int32_t cont = 0;
        int32_t code = sink.onObject(&object, &word, newData, sizeof newData, &cont);
        EXPECT_EQ('\0', newData[0]);
        EXPECT_EQ(1, cont);
        return {code, word};
    }
    Outcome ObjectError(CScanEventSink& sink, FakeObject& object, int32_t error)
    {
        uint16_t word = 99;
        int32_t code = sink.onObjectError(&object, error, &word, 0);
        return {code, word};
    }
    std::vector<Finding> Findings() { return FindingsOf(m_Result); }
    std::vector<int32_t> Reasons() { return ReasonsOf(m_Result); }

    // A message with one attachment of the given bytes.
    FakeObject& Attachment(const std::string& name, const std::string& bytes)
    {
        FakeObject& top = m_Tree.Top();
        return m_Tree.Add(top, name, RAV_TYPE_FILE, bytes);
    }

    testsupport::TempDir m_Dir{"zelorm-sink"};
    sinktest::FakeTree m_Tree{m_Dir.Path()};
    sinktest::ScriptedCallback m_Callback;
    ZelEngineApi m_Api = sinktest::FakeEngineApi();
    CScanResult* m_Result = nullptr;
};

const std::string kInfected = "MZ VIRUS:Test.Virus:4711\n";

// ---- selection -------------------------------------------------------------

TEST_F(SinkTest, TheMessageFileIsAlwaysProcessed)
{
    FakeObject& top = m_Tree.Top();
    m_Callback.shouldScanDefault = WEXLOR_ANSWER_SKIP;
    for (bool filter : {false, true}) {
        auto sink = Sink(3, filter);
        int32_t flag = 0;
        EXPECT_EQ(0, sink->onEnterObject(&top, "message.mes", &flag));
        EXPECT_EQ(1, flag);
    }
    // The filter's block answer changes nothing for the message itself;
    // its abort still aborts.
    m_Callback.filterDefault = WEXLOR_ANSWER_BLOCK;
    int32_t flag = 0;
    EXPECT_EQ(0, Sink(3, true)->onEnterObject(&top, "message.mes", &flag));
    EXPECT_EQ(1, flag);
    m_Callback.filterDefault = WEXLOR_ANSWER_ABORT;
    flag = 1;
    EXPECT_EQ(kSinkAbort, Sink(3, true)->onEnterObject(&top, "message.mes", &flag));
    EXPECT_EQ(0, flag);
    EXPECT_EQ(std::vector<std::string>(3, "FilterAttachment message.mes"), m_Callback.calls);
}

TEST_F(SinkTest, ContainedObjectsFollowShouldScan)
{
    FakeObject& top = m_Tree.Top();
    FakeObject& gz = m_Tree.Add(top, "data", RAV_TYPE_GZIP, "x");
    FakeObject& file = m_Tree.Add(top, "data", RAV_TYPE_FILE, "x");
    const struct {
        const char* what;
        FakeObject* object;
        bool filter;
        bool callback;
        int32_t answer;      // for "data"
        int32_t gzAnswer;    // for "data.gz"
        int32_t flagBefore;
        int32_t flag;
        int32_t code;
        size_t calls;
    } cases[] = {
        {"process", &file, false, true, 0, 0, 0, 1, 0, 1},
        {"skip", &file, false, true, 1, 0, 1, 0, 0, 1},
        {"abort", &file, true, true, 2, 0, 1, 0, kSinkAbort, 1},
        {"other answers change nothing", &file, true, true, 5, 0, 1, 1, 0, 1},
        {"other answers change nothing (0)", &file, false, true, 5, 0, 0, 0, 0, 1},
        {"gzip stream included by its .gz name", &gz, true, true, 1, 0, 1, 1, 0, 2},
        {"gzip stream excluded both ways", &gz, true, true, 1, 1, 1, 0, 0, 2},
        {"no .gz retry without the filter", &gz, false, true, 1, 0, 1, 0, 0, 1},
        {"no .gz retry for other types", &file, true, true, 1, 0, 1, 0, 0, 1},
        {"no callback leaves the flag", &file, false, false, 1, 0, 1, 1, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        m_Callback.calls.clear();
        m_Callback.shouldScan = {{"data", c.answer}, {"data.gz", c.gzAnswer}};
        int32_t flag = c.flagBefore;
        EXPECT_EQ(c.code, Sink(3, c.filter, false, c.callback)->onEnterObject(c.object, "data",
                                                                             &flag));
        EXPECT_EQ(c.flag, flag);
        EXPECT_EQ(c.calls, m_Callback.calls.size());
        EXPECT_EQ(kContext, m_Callback.lastContext);
    }
}

TEST_F(SinkTest, ObjectsTenDeepAreNotProcessed)
{
    FakeObject& object = Attachment("deep.txt", "x");
    object.m_Depth = 10;
    int32_t flag = 1;
    EXPECT_EQ(0, Sink(3, true)->onEnterObject(&object, "deep.txt", &flag));
    EXPECT_EQ(0, flag);
    EXPECT_EQ(std::vector<int32_t>{60}, Reasons());
    EXPECT_TRUE(m_Callback.calls.empty());
    object.m_Depth = 9;
    EXPECT_EQ(0, Sink(3, true)->onEnterObject(&object, "deep.txt", &flag));
    EXPECT_EQ(1, flag);
}

// ---- blocked attachments ------------------------------------------------

TEST_F(SinkTest, ABlockedAttachmentBecomesTheBlockedText)
{
    FakeObject& top = m_Tree.Top();
    FakeObject& first = m_Tree.Add(top, "letter.txt", RAV_TYPE_FILE, "hello");
    FakeObject& second = m_Tree.Add(top, "run.exe", RAV_TYPE_FILE, "MZ");
    m_Callback.filter = {{"run.exe", WEXLOR_ANSWER_BLOCK}};
    m_Callback.blockedAnswer = 0;  // the text is used whatever the answer
    m_Callback.blockedText = "Blocked.\nAsk your administrator.\n";
    auto sink = Sink(3, true);

    Outcome top0 = Object(*sink, top);
    EXPECT_EQ(0, top0.code);
    EXPECT_EQ(0, FakeEngine().scans) << "the message itself is not engine-scanned";
    EXPECT_EQ(0, Object(*sink, first).word);
    Outcome blocked = Object(*sink, second);
    EXPECT_EQ(0, blocked.code);
    EXPECT_EQ(1, blocked.word);
    EXPECT_EQ("Blocked.\r\nAsk your administrator.\r\n", ReadBytes(second.m_DataFile));
    EXPECT_EQ("DELETED0.TXT", second.m_Name);
    EXPECT_EQ("text/plain", second.m_ContentType);
    ASSERT_EQ(1u, Findings().size());
    const Finding f = Findings()[0];
    EXPECT_EQ(std::vector<std::string>{"run.exe"}, f.names);
    EXPECT_EQ("", f.virus);
    EXPECT_EQ(0, f.id);
    EXPECT_EQ(WEXLOR_STATUS_BLOCKED, f.status);
    EXPECT_EQ(1, FakeEngine().scans);

    // With the top-level flag the message itself is scanned too.
    Object(*Sink(3, true, true), top);
    EXPECT_EQ(2, FakeEngine().scans);
    // Without the filter nothing is blocked.
    FakeObject& third = m_Tree.Add(top, "run.exe", RAV_TYPE_FILE, "MZ");
    EXPECT_EQ(0, Object(*Sink(3), third).word);
}

TEST_F(SinkTest, ABlockedObjectInsideAnAttachmentMarksItForReplacement)
{
    FakeObject& top = m_Tree.Top();
    FakeObject& archive = m_Tree.Add(top, "tools.lzh", RAV_TYPE_ARCHIVE, "LZH");
    FakeObject& member = m_Tree.Add(archive, "run.exe", RAV_TYPE_FILE, "MZ");
    member.m_AncestorRemovable = true;  // a read-only archive: only it can go
    m_Callback.filter = {{"run.exe", WEXLOR_ANSWER_BLOCK}};
    auto sink = Sink(3, true);

    Outcome o = Object(*sink, member);
    EXPECT_EQ(kSinkRenameAncestor, o.code);
    EXPECT_EQ(3, o.word);
    EXPECT_TRUE(archive.HasProperty(kMarkAncestor));
    EXPECT_EQ("\x01", archive.Property(kMarkType));
    ASSERT_EQ(1u, Findings().size());
    EXPECT_EQ((std::vector<std::string>{"run.exe", "tools.lzh"}), Findings()[0].names);
    EXPECT_EQ(WEXLOR_STATUS_BLOCKED, Findings()[0].status);

    // The component passes the request up: the archive becomes the text.
    Outcome renamed = ObjectError(*sink, archive, kSinkRenameAncestor);
    EXPECT_EQ(0, renamed.code);
    EXPECT_EQ(1, renamed.word);
    EXPECT_EQ("DELETED0.TXT", archive.m_Name);
    EXPECT_EQ("text/plain", archive.m_ContentType);
    EXPECT_EQ("Removed: this kind of attachment is blocked.\r\n", ReadBytes(archive.m_DataFile));
    EXPECT_EQ("GetBlockedText tools.lzh", m_Callback.calls.back());

    // An object its container can drop is just removed, and an abort answer
    // for a deeper object does not abort.
    FakeObject& removable = m_Tree.Add(archive, "other.exe", RAV_TYPE_FILE, "MZ");
    removable.m_Removable = true;
    m_Callback.filter["other.exe"] = WEXLOR_ANSWER_BLOCK;
    EXPECT_EQ(0, Object(*sink, removable).code);
    FakeObject& clean = m_Tree.Add(archive, "note.txt", RAV_TYPE_FILE, "text");
    m_Callback.filter["note.txt"] = WEXLOR_ANSWER_ABORT;
    Outcome notAborted = Object(*sink, clean);
    EXPECT_EQ(0, notAborted.code);
    EXPECT_EQ(0, notAborted.word);
}

// ---- infected objects ------------------------------------------------------

TEST_F(SinkTest, AnInfectedAttachmentAtEachActionLevel)
{
    const struct {
        const char* what;
        int32_t level;
        int32_t repairAnswer;
        int32_t deletedAnswer;
        bool removable;
        bool ancestorRemovable;
        int32_t status;
        uint16_t word;
        int repairs;
        const char* name;
    } cases[] = {
        {"report only", 0, 0, 3, true, false, WEXLOR_STATUS_LEFT, 0, 0, "a.exe"},
        {"below 0 acts as 0", -3, 0, 3, true, false, WEXLOR_STATUS_LEFT, 0, 0, "a.exe"},
        {"repaired", 1, 0, 3, true, false, WEXLOR_STATUS_REPAIRED, 1, 1, "a.exe"},
        {"cannot repair at 1", 1, 6, 3, true, false, WEXLOR_STATUS_LEFT, 0, 1, "a.exe"},
        {"replaced at 2", 2, 6, 3, true, false, WEXLOR_STATUS_DELETED, 1, 1, "DELETED0.TXT"},
        {"no text: removed", 2, 6, 0, true, false, WEXLOR_STATUS_DELETED, 3, 1, "a.exe"},
        {"no text, fixed at 2", 2, 6, 0, false, true, WEXLOR_STATUS_LEFT, 0, 1, "a.exe"},
        {"no text, container at 3", 3, 6, 0, false, true, WEXLOR_STATUS_DELETED, 3, 1,
         "a.exe"},
        {"level 4 does not repair", 4, 0, 3, true, false, WEXLOR_STATUS_DELETED, 1, 0,
         "DELETED0.TXT"},
        {"above 4 acts as 3", 9, 0, 3, true, false, WEXLOR_STATUS_REPAIRED, 1, 1, "a.exe"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        sinktest::ResetFakeEngine();
        FakeEngine().repairAnswer = c.repairAnswer;
        m_Callback.deletedAnswer = c.deletedAnswer;
        CScanResult* result = NewResult();
        FakeObject& object = Attachment("a.exe", kInfected);
        object.m_Removable = c.removable;
        object.m_AncestorRemovable = c.ancestorRemovable;
        CScanEventSink sink(m_Api, sinktest::FakeEngineHandle(), c.level, &m_Callback, kContext,
                            result, 0, 0);
        Outcome o = Object(sink, object);
        EXPECT_EQ(0, o.code);
        EXPECT_EQ(c.word, o.word);
        EXPECT_EQ(c.repairs, FakeEngine().repairs);
        EXPECT_EQ(c.name, object.m_Name);
        std::vector<Finding> findings = FindingsOf(result);
        ASSERT_EQ(1u, findings.size());
        EXPECT_EQ(c.status, findings[0].status);
        EXPECT_EQ("Test.Virus", findings[0].virus);
        EXPECT_EQ(4711, findings[0].id);
        EXPECT_EQ(std::vector<std::string>{"a.exe"}, findings[0].names);
        if (c.status == WEXLOR_STATUS_REPAIRED) {
            EXPECT_EQ("MZ CLEAN:Test.Virus:4711\n", ReadBytes(object.m_DataFile));
        }
        if (c.word == 1 && c.status == WEXLOR_STATUS_DELETED) {
            EXPECT_EQ("Removed: a virus was found.\r\n", ReadBytes(object.m_DataFile));
            EXPECT_EQ("text/plain", object.m_ContentType);
        }
        result->Release();
    }
}

TEST_F(SinkTest, ReplacementsAreNumberedPerScan)
{
    FakeObject& top = m_Tree.Top();
    FakeObject& a = m_Tree.Add(top, "a.exe", RAV_TYPE_FILE, kInfected);
    FakeObject& b = m_Tree.Add(top, "b.exe", RAV_TYPE_FILE, kInfected);
    auto sink = Sink(3);
    Object(*sink, a);
    Object(*sink, b);
    EXPECT_EQ("DELETED0.TXT", a.m_Name);
    EXPECT_EQ("DELETED1.TXT", b.m_Name);
    std::vector<Finding> findings = Findings();
    ASSERT_EQ(2u, findings.size());
    EXPECT_EQ(WEXLOR_STATUS_DELETED, findings[1].status);
    EXPECT_EQ(std::vector<std::string>{"b.exe"}, findings[1].names);
    // A new scan starts at 0 again.
    FakeObject& c = m_Tree.Add(top, "c.exe", RAV_TYPE_FILE, kInfected);
    Object(*Sink(3), c);
    EXPECT_EQ("DELETED0.TXT", c.m_Name);
}

TEST_F(SinkTest, LeaveAnswerKeepsTheObjectWithoutRepair)
{
    FakeObject& object = Attachment("a.exe", kInfected);
    FakeEngine().repairAnswer = 0;
    m_Callback.virusFound = WEXLOR_ANSWER_LEAVE;
    Outcome o = Object(*Sink(3), object);
    EXPECT_EQ(0, o.code);
    EXPECT_EQ(0, o.word);
    EXPECT_EQ(0, FakeEngine().repairs);
    ASSERT_EQ(1u, Findings().size());
    EXPECT_EQ(WEXLOR_STATUS_LEFT, Findings()[0].status);
    EXPECT_EQ("OnVirusFound a.exe Test.Virus", m_Callback.calls.back());
    EXPECT_EQ(kContext, m_Callback.lastContext);
}

TEST_F(SinkTest, FindingsNameTheObjectThenItsContainersOutward)
{
    FakeObject& top = m_Tree.Top();
    FakeObject& zip = m_Tree.Add(top, "a.zip", RAV_TYPE_ARCHIVE, "PK");
    FakeObject& tar = m_Tree.Add(zip, "inner.tar", RAV_TYPE_ARCHIVE, "tar");
    FakeObject& exe = m_Tree.Add(tar, "b.exe", RAV_TYPE_FILE, kInfected);
    Object(*Sink(0), exe);
    ASSERT_EQ(1u, Findings().size());
    EXPECT_EQ((std::vector<std::string>{"b.exe", "inner.tar", "a.zip"}), Findings()[0].names);
    EXPECT_EQ("exe", FakeEngine().extensions.back());
}

TEST_F(SinkTest, TheMessageFileIsNeverDeleted)
{
    FakeObject& top = m_Tree.Top("message.mes", RAV_TYPE_MESSAGE, kInfected);
    top.m_Removable = true;  // whatever the component claims
    top.m_AncestorRemovable = true;
    m_Callback.deletedAnswer = 0;
    for (int32_t level : {2, 3, 4}) {
        SCOPED_TRACE(level);
        Outcome o = Object(*Sink(level, true, true), top);
        EXPECT_EQ(0, o.code);
        EXPECT_EQ(0, o.word);
    }
    for (const Finding& f : Findings())
        EXPECT_EQ(WEXLOR_STATUS_LEFT, f.status);
    EXPECT_EQ(3u, Findings().size());
}

TEST_F(SinkTest, DeletionMarksTheAncestorThatCanBeReplaced)
{
    // Chains below the message, outermost first; the infected object sits
    // under the last one and cannot be dropped by its own container.
    struct Link {
        int32_t type;
        bool removable;
    };
    const struct {
        const char* what;
        std::vector<Link> chain;
        int marked;  // index in chain, -1 none
    } cases[] = {
        {"the attachment", {{4, true}}, 0},
        {"encodings are passed outward", {{4, true}, {12, true}}, 0},
        {"an encoded attachment outside an archive", {{12, true}, {4, true}, {12, true}}, 0},
        {"the innermost archive ends the run", {{4, true}, {4, true}}, -1},
        {"only removable ancestors count", {{4, false}, {4, true}}, -1},
        {"nothing removable", {{4, false}}, -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        FakeObject* parent = &m_Tree.Top();
        std::vector<FakeObject*> chain;
        for (const Link& l : c.chain) {
            parent = &m_Tree.Add(*parent, "c" + std::to_string(chain.size()), l.type, "x");
            parent->m_Removable = l.removable;
            chain.push_back(parent);
        }
        FakeObject& object = m_Tree.Add(*parent, "b.exe", RAV_TYPE_FILE, kInfected);
        object.m_AncestorRemovable = true;
        auto sink = Sink(3);  // owns the marks it sets
        Outcome o = Object(*sink, object);
        EXPECT_EQ(3, o.word);
        EXPECT_EQ(c.marked >= 0 ? kSinkRenameAncestor : 0, o.code);
        for (size_t i = 0; i < chain.size(); ++i)
            EXPECT_EQ(static_cast<int>(i) == c.marked, chain[i]->HasProperty(kMarkAncestor)) << i;
        if (c.marked >= 0) {
            EXPECT_EQ("Test.Virus",
                      chain[static_cast<size_t>(c.marked)]->Property(kMarkAncestor));
        }
    }

    // A removable object inside an encoded attachment marks it too; inside
    // an archive attachment it is just dropped.
    FakeObject& top = m_Tree.Top();
    FakeObject& encoded = m_Tree.Add(top, "file.uue", RAV_TYPE_ENCODED, "begin");
    FakeObject& inEncoded = m_Tree.Add(encoded, "b.exe", RAV_TYPE_FILE, kInfected);
    inEncoded.m_Removable = true;
    EXPECT_EQ(kSinkRenameAncestor, Object(*Sink(3), inEncoded).code);
    FakeObject& archive = m_Tree.Add(top, "a.zip", RAV_TYPE_ARCHIVE, "PK");
    FakeObject& inArchive = m_Tree.Add(archive, "b.exe", RAV_TYPE_FILE, kInfected);
    inArchive.m_Removable = true;
    EXPECT_EQ(0, Object(*Sink(3), inArchive).code);
    EXPECT_FALSE(archive.HasProperty(kMarkAncestor));
    // At level 2 a fixed object is left where it is.
    FakeObject& fixed = m_Tree.Add(archive, "c.exe", RAV_TYPE_FILE, kInfected);
    fixed.m_AncestorRemovable = true;
    Outcome left = Object(*Sink(2), fixed);
    EXPECT_EQ(0, left.word);
    EXPECT_EQ(WEXLOR_STATUS_LEFT, Findings().back().status);
}

TEST_F(SinkTest, RenameRequestsReplaceOnlyMarkedObjects)
{
    FakeObject& top = m_Tree.Top();
    FakeObject& archive = m_Tree.Add(top, "a.cab", RAV_TYPE_ARCHIVE, "MSCF");
    FakeObject& member = m_Tree.Add(archive, "b.exe", RAV_TYPE_FILE, kInfected);
    member.m_AncestorRemovable = true;
    auto sink = Sink(3);

    // Not marked yet: the request is not resolved; an escalated change is
    // a reason 30.
    Outcome unmarked = ObjectError(*sink, archive, kSinkRenameAncestor);
    EXPECT_EQ(kSinkRenameAncestor, unmarked.code);
    EXPECT_EQ(0, unmarked.word);
    Outcome cannot = ObjectError(*sink, archive, RAVERR_CANNOT_CHANGE);
    EXPECT_EQ(RAVERR_CANNOT_CHANGE, cannot.code);
    EXPECT_EQ(std::vector<int32_t>{30}, Reasons());

    ASSERT_EQ(kSinkRenameAncestor, Object(*sink, member).code);
    // A callback without a text leaves the archive alone.
    m_Callback.deletedAnswer = 0;
    Outcome refused = ObjectError(*sink, archive, kSinkRenameAncestor);
    EXPECT_EQ(0, refused.code);
    EXPECT_EQ(0, refused.word);
    EXPECT_EQ("a.cab", archive.m_Name);
    EXPECT_EQ("GetDeletedText a.cab Test.Virus", m_Callback.calls.back());

    m_Callback.deletedAnswer = WEXLOR_ANSWER_REPLACE;
    Outcome replaced = ObjectError(*sink, archive, RAVERR_CANNOT_CHANGE);
    EXPECT_EQ(0, replaced.code);
    EXPECT_EQ(1, replaced.word);
    EXPECT_EQ("DELETED0.TXT", archive.m_Name);
    EXPECT_EQ(std::vector<int32_t>{30}, Reasons());

    // Without a callback the mark is set but nothing replaces the archive.
    FakeObject& other = m_Tree.Add(top, "c.cab", RAV_TYPE_ARCHIVE, "MSCF");
    FakeObject& inOther = m_Tree.Add(other, "d.exe", RAV_TYPE_FILE, kInfected);
    inOther.m_AncestorRemovable = true;
    auto silent = Sink(3, false, false, false);
    EXPECT_EQ(kSinkRenameAncestor, Object(*silent, inOther).code);
    Outcome none = ObjectError(*silent, other, kSinkRenameAncestor);
    EXPECT_EQ(0, none.code);
    EXPECT_EQ(0, none.word);
}

// ---- failures --------------------------------------------------------------

TEST_F(SinkTest, EngineFailures)
{
    // An object the engine cannot scan ends the scan: it must not pass
    // unscanned as if it were clean.
    FakeObject& unreadable = Attachment("a.exe", "SCANFAIL");
    Outcome failed = Object(*Sink(3), unreadable);
    EXPECT_EQ(kSinkAbort, failed.code);
    EXPECT_EQ(0, failed.word);
    EXPECT_TRUE(Findings().empty());
    EXPECT_EQ(std::vector<int32_t>{100}, Reasons());

    // A repair that fails for another reason than "cannot be repaired"
    // leaves the object, still reported as infected.
    FakeEngine().repairAnswer = ZEL_ERR_SCAN;
    FakeObject& object = Attachment("b.exe", kInfected);
    Outcome o = Object(*Sink(3), object);
    EXPECT_EQ(kSinkObjectFailed, o.code);
    EXPECT_EQ(0, o.word);
    ASSERT_EQ(1u, Findings().size());
    EXPECT_EQ(WEXLOR_STATUS_LEFT, Findings()[0].status);
    EXPECT_EQ("OnRepairFailed b.exe Test.Virus", m_Callback.calls.back());
}

TEST_F(SinkTest, AbortAnswersEndTheScan)
{
    const struct {
        const char* what;
        int which;  // 0 OnVirusFound, 1 OnRepairFailed, 2 GetDeletedText, 3 FilterAttachment
    } cases[] = {
        {"OnVirusFound", 0},
        {"OnRepairFailed", 1},
        {"GetDeletedText", 2},
        {"FilterAttachment on a direct part", 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        sinktest::ScriptedCallback callback;
        callback.virusFound = c.which == 0 ? 2 : 0;
        callback.repairFailed = c.which == 1 ? 2 : 0;
        callback.deletedAnswer = c.which == 2 ? 2 : 3;
        callback.filterDefault = c.which == 3 ? 2 : 0;
        CScanResult* result = NewResult();
        FakeObject& object = Attachment("a.exe", kInfected);
        CScanEventSink sink(m_Api, sinktest::FakeEngineHandle(), 3, &callback, kContext, result,
                            1, 0);
        Outcome o = Object(sink, object);
        EXPECT_EQ(kSinkAbort, o.code);
        EXPECT_EQ(0, o.word);
        EXPECT_EQ(0, result->GetItemCount());
        result->Release();
    }
}

TEST_F(SinkTest, WhatACallbackThrowsStaysInTheSink)
{
    const struct {
        const char* method;
        bool infected;
        bool recorded;  // the finding is still reported
    } cases[] = {
        {"ShouldScan", false, false},      {"FilterAttachment", false, false},
        {"GetBlockedText", false, false},  {"OnVirusFound", true, true},
        {"OnRepairFailed", true, true},    {"GetDeletedText", true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.method);
        sinktest::ScriptedCallback callback;
        callback.throwIn = c.method;
        if (std::string(c.method) == "GetBlockedText")
            callback.filterDefault = WEXLOR_ANSWER_BLOCK;
        CScanResult* result = NewResult();
        FakeObject& object = Attachment("a.exe", c.infected ? kInfected : "clean");
        CScanEventSink sink(m_Api, sinktest::FakeEngineHandle(), 3, &callback, kContext, result,
                            1, 0);
        int32_t code;
        uint16_t word = 99;
        if (std::string(c.method) == "ShouldScan") {
            int32_t flag = 1;
            code = sink.onEnterObject(&object, "a.exe", &flag);
            word = 0;
        } else {
            Outcome o = Object(sink, object);
            code = o.code;
            word = o.word;
        }
        EXPECT_EQ(kSinkObjectFailed, code);
        EXPECT_EQ(0, word);
        ASSERT_EQ(c.recorded ? 1 : 0, result->GetItemCount());
        if (c.recorded) {
            EXPECT_EQ(WEXLOR_STATUS_LEFT, FindingsOf(result)[0].status);
        }
        result->Release();
    }
    // In a rename request.
    FakeObject& top = m_Tree.Top();
    FakeObject& archive = m_Tree.Add(top, "a.cab", RAV_TYPE_ARCHIVE, "MSCF");
    FakeObject& member = m_Tree.Add(archive, "b.exe", RAV_TYPE_FILE, kInfected);
    member.m_AncestorRemovable = true;
    auto sink = Sink(3);
    ASSERT_EQ(kSinkRenameAncestor, Object(*sink, member).code);
    m_Callback.throwIn = "GetDeletedText";
    Outcome o = ObjectError(*sink, archive, kSinkRenameAncestor);
    EXPECT_EQ(kSinkObjectFailed, o.code);
    EXPECT_EQ(0, o.word);
}

TEST_F(SinkTest, AnOverlongCallbackTextIsCutAtTheBuffer)
{
    FakeObject& object = Attachment("a.exe", kInfected);
    m_Callback.overfill = true;
    Outcome o = Object(*Sink(3), object);
    EXPECT_EQ(1, o.word);
    EXPECT_EQ(std::string(WEXLOR_TEXT_SIZE - 1, 'x'), ReadBytes(object.m_DataFile));
    // Line ends become CR LF, and CR LF stays as it is.
    FakeObject& second = Attachment("b.exe", kInfected);
    m_Callback.overfill = false;
    m_Callback.deletedText = "one\ntwo\r\nthree";
    Object(*Sink(3), second);
    EXPECT_EQ("one\r\ntwo\r\nthree", ReadBytes(second.m_DataFile));
}

TEST_F(SinkTest, ComponentErrorsBecomeReasons)
{
    FakeObject& top = m_Tree.Top();
    FakeObject& archive = m_Tree.Add(top, "a.zip", RAV_TYPE_ARCHIVE, "PK");
    FakeObject& encoded = m_Tree.Add(top, "a.uue", RAV_TYPE_ENCODED, "begin");
    FakeObject& plain = m_Tree.Add(top, "a.txt", RAV_TYPE_FILE, "x");
    const int32_t kOther = static_cast<int32_t>(0x80040299u);
    const struct {
        int32_t error;
        FakeObject* object;
        int32_t reason;  // 0 none
        int32_t code;
    } objectErrors[] = {
        {0, &plain, 0, 0},
        {RAVERR_DAMAGED, &archive, 20, 0},
        {RAVERR_DAMAGED, &encoded, 21, 0},
        {RAVERR_DAMAGED, &plain, 100, RAVERR_DAMAGED},
        {RAVERR_ENCRYPTED, &archive, 10, 0},
        {RAVERR_ENCRYPTED, &plain, 31, RAVERR_ENCRYPTED},
        {RAVERR_LIMIT, &archive, 32, RAVERR_LIMIT},
        {RAVERR_REBUILD, &archive, 33, RAVERR_REBUILD},
        {RAVERR_DEPTH, &archive, 50, RAVERR_DEPTH},
        {RAVERR_NO_MEMORY, &archive, 51, RAVERR_NO_MEMORY},
        {RAVERR_CANNOT_CHANGE, &archive, 30, RAVERR_CANNOT_CHANGE},
        {kOther, &archive, 100, kOther},
    };
    auto sink = Sink(3);
    for (const auto& c : objectErrors) {
        SCOPED_TRACE(c.error);
        CScanResult* result = NewResult();
        CScanEventSink sink(m_Api, sinktest::FakeEngineHandle(), 3, &m_Callback, kContext,
                            result, 0, 0);
        Outcome o = ObjectError(sink, *c.object, c.error);
        EXPECT_EQ(c.code, o.code);
        EXPECT_EQ(0, o.word);
        EXPECT_EQ(c.reason ? std::vector<int32_t>{c.reason} : std::vector<int32_t>{},
                  ReasonsOf(result));
        result->Release();
    }

    const struct {
        int32_t error;
        FakeObject* object;
        int32_t reason;
    } errors[] = {
        {0, &plain, 0},
        {static_cast<int32_t>(0x80040228u), &plain, 40},
        {RAVERR_UNSUPPORTED, &plain, 41},
        {RAVERR_IO, &plain, 42},
        {static_cast<int32_t>(0x8004022Bu), &plain, 43},
        {static_cast<int32_t>(0x8004022Cu), &plain, 43},
        {RAVERR_DEPTH, &plain, 50},
        {RAVERR_NO_MEMORY, &plain, 51},
        {kSinkObjectFailed, &plain, 100},
        {static_cast<int32_t>(0x80040228u), &archive, 0},  // marked archive below
    };
    FakeObject& member = m_Tree.Add(archive, "b.exe", RAV_TYPE_FILE, kInfected);
    member.m_AncestorRemovable = true;
    ASSERT_EQ(kSinkRenameAncestor, Object(*sink, member).code);
    for (const auto& c : errors) {
        SCOPED_TRACE(c.error);
        CScanResult* result = NewResult();
        CScanEventSink sink(m_Api, sinktest::FakeEngineHandle(), 3, &m_Callback, kContext,
                            result, 0, 0);
        int32_t cont = 0;
        EXPECT_EQ(0, sink.onError(c.object, c.error, 0, &cont));
        EXPECT_EQ(1, cont);
        EXPECT_EQ(c.reason ? std::vector<int32_t>{c.reason} : std::vector<int32_t>{},
                  ReasonsOf(result));
        result->Release();
    }
}

// ---- the real decomposition component and virus engine --------------------

const std::string kTestFiles = "/usr/share/clamav-testfiles/";
const std::string kEicar =
    "X5O!P%@AP[4\\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*";

std::string Shell(const std::string& command)
{
    std::string out;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[4096];
        size_t n;
        while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
            out.append(buffer, n);
        pclose(pipe);
    }
    return out;
}

class SinkOnRealComponent : public ::testing::Test {
protected:
    void SetUp() override
    {
        // A definitions set with the EICAR string as its one signature.
        std::string set = m_Dir.Path("20260315.007");
        ASSERT_EQ(0, mkdir(set.c_str(), 0700));
        std::string hex;
        char pair[3];
        for (unsigned char c : kEicar) {
            std::snprintf(pair, sizeof pair, "%02x", c);
            hex += pair;
        }
        sinktest::WriteBytes(set + "/test.ndb", "Zelorm.Test.EICAR:0:*:" + hex + "\n");
        // And the test program of clamav-testfiles by its MD5.
        std::string md5 = Shell("md5sum " + kTestFiles + "clam.exe | cut -d' ' -f1");
        ASSERT_EQ(33u, md5.size());
        md5.pop_back();
        sinktest::WriteBytes(set + "/test.hdb", md5 + ":544:Zelorm.Test.Clam\n");
        ASSERT_EQ(0, ZELGetEngineApi(&m_Api));
        int32_t error = -1;
        m_Engine = m_Api.EngineInit(set.c_str(), "", 0, 0, 0, &error);
        ASSERT_NE(nullptr, m_Engine) << error;

        m_Engines.push_back(std::make_unique<rav::CIdEngine>());
        m_Engines.push_back(std::make_unique<rav::CMimeEngine>());
        m_Engines.push_back(std::make_unique<rav::CFormatEngineAdapter>(
            maker::MakeZipEngine(), "ZIP", RAV_TYPE_ARCHIVE));
        m_Engines.push_back(std::make_unique<rav::CFormatEngineAdapter>(
            maker::MakeCabEngine(), "CAB", RAV_TYPE_ARCHIVE));
        for (auto& e : m_Engines)
            m_Ravel.AddEngine(e.get());
        m_Ravel.SetTempDir(m_Dir.Path("tmp").c_str());

        // A message with a text part, a.zip holding b.exe (EICAR) and a
        // clean member, and the EICAR file attached directly.
        // Padded so that zip deflates it: a stored member would show the
        // signature in the archive's own bytes.
        sinktest::WriteBytes(m_Dir.Path("b.exe"), kEicar + std::string(4000, ' '));
        sinktest::WriteBytes(m_Dir.Path("eicar.com"), kEicar);
        sinktest::WriteBytes(m_Dir.Path("readme.txt"), "clean\n");
        ASSERT_EQ("", Shell("cd " + m_Dir.Path() + " && zip -q -9 a.zip b.exe readme.txt 2>&1"));
        MakeMessage("a.zip eicar.com");
    }
    void TearDown() override
    {
        if (m_Engine)
            m_Api.EngineClose(m_Engine);
    }

    // message.mes: a text part and the named files of the directory.
    void MakeMessage(const std::string& attachments)
    {
        Python("import email.message, sys\n"
               "m = email.message.EmailMessage()\n"
               "m['From'] = 'a@example.com'\n"
               "m['To'] = 'b@example.com'\n"
               "m['Subject'] = 'test'\n"
               "m.set_content('Hello.\\n')\n"
               "d = sys.argv[1]\n"
               "for name in sys.argv[2:]:\n"
               "    m.add_attachment(open(d + '/' + name, 'rb').read(), maintype='application',"
               " subtype='octet-stream', filename=name)\n"
               "open(d + '/message.mes', 'wb').write(bytes(m))\n",
               attachments);
    }

    std::string Python(const std::string& script, const std::string& arguments = "")
    {
        sinktest::WriteBytes(m_Dir.Path("script.py"), script);
        return Shell("python3 " + m_Dir.Path("script.py") + " " + m_Dir.Path() + " " +
                     arguments + " 2>&1");
    }

    // The parts of the rebuilt message at path: name, type, decoded bytes
    // (a zip's member names instead of its bytes), one line each.
    std::string Parts(const std::string& path)
    {
        sinktest::WriteBytes(m_Dir.Path("rebuilt.mes"), ReadBytes(path));
        std::remove(path.c_str());
        return Python(
            "import email, email.policy, io, sys, zipfile\n"
            "m = email.message_from_binary_file(open(sys.argv[1] + '/rebuilt.mes', 'rb'),"
            " policy=email.policy.default)\n"
            "for p in m.iter_parts():\n"
            "    data = p.get_payload(decode=True)\n"
            "    if p.get_filename() == 'a.zip':\n"
            "        data = ','.join(zipfile.ZipFile(io.BytesIO(data)).namelist()).encode()\n"
            "    print(p.get_filename(), p.get_content_type(), repr(data))\n");
    }

    // Walks the message at the level; the process answer, state and path.
    int32_t Walk(int32_t level, CScanResult* result, uint16_t* state, std::string* newName)
    {
        IRavObject* file = nullptr;
        std::string path = m_Dir.Path("message.mes");
        EXPECT_EQ(0, rav::NewFileObject(path.c_str(), path.c_str(), &file));
        int32_t rc;
        {
            CScanEventSink sink(m_Api, m_Engine, level, &m_Callback, 0, result, 1, 0);
            char buffer[RAV_PATH_SIZE] = "";
            rc = m_Ravel.Process(file, &sink, state, buffer, sizeof buffer);
            *newName = buffer;
        }
        delete file;
        return rc;
    }

    testsupport::TempDir m_Dir{"zelorm-sink-real"};
    ZelEngineApi m_Api{};
    ZELHANDLE m_Engine = nullptr;
    rav::CRavel m_Ravel;
    std::vector<std::unique_ptr<IRavEngine>> m_Engines;
    sinktest::ScriptedCallback m_Callback;
};

TEST_F(SinkOnRealComponent, ReportsFindingsFromTheObjectOutward)
{
    CScanResult* result = NewResult();
    uint16_t state = 99;
    std::string newName;
    ASSERT_EQ(0, Walk(0, result, &state, &newName));
    EXPECT_EQ(RAV_STATE_UNCHANGED, state);
    std::vector<Finding> findings = FindingsOf(result);
    ASSERT_EQ(2u, findings.size());
    EXPECT_EQ((std::vector<std::string>{"b.exe", "a.zip"}), findings[0].names);
    EXPECT_EQ((std::vector<std::string>{"eicar.com"}), findings[1].names);
    for (const Finding& f : findings) {
        EXPECT_EQ("Zelorm.Test.EICAR", f.virus);
        EXPECT_NE(0, f.id);
        EXPECT_EQ(WEXLOR_STATUS_LEFT, f.status);
    }
    EXPECT_EQ(0, result->GetReasonCount());
    result->Release();
}

TEST_F(SinkOnRealComponent, LevelThreeRebuildsTheMessageWithoutTheVirus)
{
    CScanResult* result = NewResult();
    uint16_t state = 99;
    std::string newName;
    ASSERT_EQ(0, Walk(3, result, &state, &newName));
    ASSERT_EQ(RAV_STATE_REBUILT, state);
    std::vector<Finding> findings = FindingsOf(result);
    ASSERT_EQ(2u, findings.size());
    EXPECT_EQ((std::vector<std::string>{"b.exe", "a.zip"}), findings[0].names);
    EXPECT_EQ(WEXLOR_STATUS_DELETED, findings[0].status);
    EXPECT_EQ(WEXLOR_STATUS_DELETED, findings[1].status);
    result->Release();

    // Read back with Python's email package: the zip lost b.exe, and the
    // directly attached file became the replacement part.
    EXPECT_EQ("None text/plain b'Hello.\\n'\n"
              "a.zip application/octet-stream b'readme.txt'\n"
              "DELETED0.TXT text/plain b'Removed: a virus was found.\\r\\n'\n",
              Parts(newName));
}

TEST_F(SinkOnRealComponent, AReadOnlyArchiveIsReplacedThroughItsMark)
{
    // A cabinet cannot be rebuilt: the infected member marks the attachment
    // and the rename request replaces it by the text.
    ASSERT_EQ("", Shell("cp " + kTestFiles + "clam.cab " + m_Dir.Path() + " 2>&1"));
    MakeMessage("clam.cab");
    CScanResult* result = NewResult();
    uint16_t state = 99;
    std::string newName;
    ASSERT_EQ(0, Walk(3, result, &state, &newName));
    ASSERT_EQ(RAV_STATE_REBUILT, state);
    std::vector<Finding> findings = FindingsOf(result);
    ASSERT_EQ(1u, findings.size());
    EXPECT_EQ((std::vector<std::string>{"clam.exe", "clam.cab"}), findings[0].names);
    EXPECT_EQ("Zelorm.Test.Clam", findings[0].virus);
    EXPECT_EQ(WEXLOR_STATUS_DELETED, findings[0].status);
    EXPECT_EQ(0, result->GetReasonCount());
    result->Release();
    EXPECT_EQ("GetDeletedText clam.cab Zelorm.Test.Clam", m_Callback.calls.back());
    EXPECT_EQ("None text/plain b'Hello.\\n'\n"
              "DELETED0.TXT text/plain b'Removed: a virus was found.\\r\\n'\n",
              Parts(newName));
}

}  // namespace
