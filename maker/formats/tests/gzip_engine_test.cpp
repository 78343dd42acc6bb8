// The gzip engine: the member's name and bytes, damaged and hostile
// streams, bombs, and rebuilt streams read back by the engine itself.

#include <gtest/gtest.h>

#include "core/tests/support/temp_dir.h"
#include "maker/formats/format_engine.h"
#include "maker/formats/tests/support/format_fixtures.h"

using namespace maker;
using formattest::Gzip;
using formattest::ReadAll;
using formattest::WriteAll;

namespace {

TEST(GzipEngine, MemberIsNamedByTheStreamsInnerName) {
    testsupport::TempDir dir("formats");
    struct {
        std::string stream;
        std::string name;
        std::string data;
    } cases[] = {
        {Gzip("hello world\n", "inner.txt"), "inner.txt", "hello world\n"},
        {Gzip("no name", ""), "", "no name"},
        {Gzip("", "empty"), "empty", ""},
        // Concatenated streams are one member, as gzip -d reads them.
        {Gzip("first,", "a") + Gzip("second", "b"), "a", "first,second"},
        // Trailing zeros after a complete stream are ignored.
        {Gzip("padded", "p") + std::string(512, '\0'), "p", "padded"},
    };
    for (auto& c : cases) {
        WriteAll(dir.Path("in.gz"), c.stream);
        std::vector<Member> members;
        ASSERT_EQ(MakeGzipEngine()->Extract(dir.Path("in.gz"), dir.Path("tmp"), {}, members),
                  FormatStatus::kOk)
            << c.name;
        ASSERT_EQ(members.size(), 1u);
        EXPECT_EQ(members[0].name, c.name);
        EXPECT_EQ(ReadAll(members[0].dataFile), c.data);
        EXPECT_EQ(members[0].size, c.data.size());
        ::unlink(members[0].dataFile.c_str());
    }
}

TEST(GzipEngine, DamagedStreamsLeaveNoData) {
    testsupport::TempDir dir("formats");
    std::string good = Gzip(formattest::NoiseBytes(100000), "x");
    std::string badCrc = good;
    badCrc[badCrc.size() - 6] ^= 0x55;
    std::string garbage = good.substr(0, 12) + formattest::NoiseBytes(5000, 7);
    struct {
        const char* what;
        std::string bytes;
        FormatStatus status;
    } cases[] = {
        {"truncated", good.substr(0, good.size() / 2), FormatStatus::kDamaged},
        {"trailer cut", good.substr(0, good.size() - 3), FormatStatus::kDamaged},
        {"crc mismatch", badCrc, FormatStatus::kDamaged},
        {"garbage after the header", garbage, FormatStatus::kDamaged},
        {"header only", good.substr(0, 5), FormatStatus::kDamaged},
        {"name without end", std::string("\x1f\x8b\x08\x08\0\0\0\0\0\3abc", 13),
         FormatStatus::kDamaged},
        {"not gzip", "plain text", FormatStatus::kNotThisFormat},
    };
    for (auto& c : cases) {
        WriteAll(dir.Path("in.gz"), c.bytes);
        std::vector<Member> members;
        EXPECT_EQ(MakeGzipEngine()->Extract(dir.Path("in.gz"), dir.Path("tmp"), {}, members),
                  c.status)
            << c.what;
        for (const Member& m : members) {
            EXPECT_TRUE(m.dataFile.empty()) << c.what;
            EXPECT_EQ(m.status, c.status) << c.what;
        }
        EXPECT_TRUE(formattest::FilesIn(dir.Path("tmp")).empty()) << c.what;
    }
}

TEST(GzipEngine, BombsStopAtTheirBound) {
    testsupport::TempDir dir("formats");
    // 64 MiB of zeros compress about a thousand to one.
    WriteAll(dir.Path("bomb.gz"), Gzip(std::string(64u << 20, '\0'), "bomb"));
    struct {
        const char* what;
        ExtractLimits limits;
    } cases[] = {
        {"ratio", ExtractLimits{}},
        {"member size", [] { ExtractLimits l; l.maxRatio = 1u << 30; l.maxMemberBytes = 4u << 20; return l; }()},
        {"total", [] { ExtractLimits l; l.maxRatio = 1u << 30; l.maxTotalBytes = 3u << 20; return l; }()},
    };
    for (auto& c : cases) {
        std::vector<Member> members;
        EXPECT_EQ(MakeGzipEngine()->Extract(dir.Path("bomb.gz"), dir.Path("tmp"), c.limits,
                                            members),
                  FormatStatus::kLimitExceeded)
            << c.what;
        ASSERT_EQ(members.size(), 1u);
        EXPECT_EQ(members[0].status, FormatStatus::kLimitExceeded);
        EXPECT_TRUE(members[0].dataFile.empty());
        EXPECT_TRUE(formattest::FilesIn(dir.Path("tmp")).empty()) << c.what;
    }
}

TEST(GzipEngine, RebuildReplacesRemovesOrCopies) {
    testsupport::TempDir dir("formats");
    WriteAll(dir.Path("in.gz"), Gzip("original bytes", "orig.txt"));
    WriteAll(dir.Path("new"), "clean replacement");
    struct {
        const char* what;
        std::vector<MemberEdit> edits;
        std::string name;
        std::string data;
    } cases[] = {
        {"replace", {{0, MemberEdit::Action::kReplace, dir.Path("new"), ""}}, "orig.txt",
         "clean replacement"},
        {"replace and rename",
         {{0, MemberEdit::Action::kReplace, dir.Path("new"), "clean.txt"}}, "clean.txt",
         "clean replacement"},
        {"remove", {{0, MemberEdit::Action::kRemove, "", ""}}, "orig.txt", ""},
        {"no edit", {}, "orig.txt", "original bytes"},
    };
    for (auto& c : cases) {
        ::unlink(dir.Path("out.gz").c_str());
        ASSERT_EQ(MakeGzipEngine()->Rebuild(dir.Path("in.gz"), c.edits, dir.Path("out.gz"), {}),
                  FormatStatus::kOk)
            << c.what;
        std::vector<Member> members;
        ASSERT_EQ(MakeGzipEngine()->Extract(dir.Path("out.gz"), dir.Path("tmp"), {}, members),
                  FormatStatus::kOk);
        ASSERT_EQ(members.size(), 1u);
        EXPECT_EQ(members[0].name, c.name) << c.what;
        EXPECT_EQ(ReadAll(members[0].dataFile), c.data) << c.what;
    }
    EXPECT_EQ(ReadAll(dir.Path("out.gz")), ReadAll(dir.Path("in.gz")));  // "no edit" copies
}

TEST(GzipEngine, RebuildFailureLeavesNoOutput) {
    testsupport::TempDir dir("formats");
    WriteAll(dir.Path("in.gz"), Gzip("x", "x"));
    WriteAll(dir.Path("exists"), "keep");
    auto engine = MakeGzipEngine();
    std::vector<MemberEdit> missing = {{0, MemberEdit::Action::kReplace, dir.Path("nope"), ""}};
    EXPECT_EQ(engine->Rebuild(dir.Path("in.gz"), missing, dir.Path("out.gz"), {}),
              FormatStatus::kIoError);
    EXPECT_NE(::access(dir.Path("out.gz").c_str(), F_OK), 0);
    std::vector<MemberEdit> badIndex = {{3, MemberEdit::Action::kRemove, "", ""}};
    EXPECT_EQ(engine->Rebuild(dir.Path("in.gz"), badIndex, dir.Path("out.gz"), {}),
              FormatStatus::kUnsupported);
    EXPECT_NE(::access(dir.Path("out.gz").c_str(), F_OK), 0);
    // An existing output is never overwritten.
    EXPECT_EQ(engine->Rebuild(dir.Path("in.gz"), {}, dir.Path("exists"), {}),
              FormatStatus::kIoError);
    EXPECT_EQ(ReadAll(dir.Path("exists")), "keep");
}

}  // namespace
