// The UUE engine: blocks found inside text, damaged blocks, bounds, and the
// text rebuilt around replaced and removed blocks.

#include <gtest/gtest.h>

#include "core/tests/support/temp_dir.h"
#include "maker/formats/format_engine.h"
#include "maker/formats/tests/support/format_fixtures.h"

using namespace maker;
using formattest::ReadAll;
using formattest::WriteAll;

namespace {

// "hello\n" as uuencode writes it.
const char kHello[] = "begin 644 hello.txt\n&:&5L;&\\*\n`\nend\n";

TEST(UueEngine, FindsEveryBlockInsideText) {
    testsupport::TempDir dir("formats");
    std::string text = std::string("From: someone\n\nSome text first.\n") + kHello +
                       "between the blocks\r\n"
                       "begin 0755 ../../x\r\n#86)C\r\n`\r\nend\r\n"
                       "begin 600 two words.bin\n\n`\nend\ntrailing text";
    WriteAll(dir.Path("mail"), text);
    auto engine = MakeUueEngine();
    std::vector<Member> members;
    ASSERT_EQ(formattest::ExtractFile(*engine, dir.Path("mail"), dir.Path("tmp"), members),
              FormatStatus::kOk);
    ASSERT_EQ(members.size(), 3u);
    EXPECT_EQ(members[0].name, "hello.txt");
    EXPECT_EQ(ReadAll(members[0].dataFile), "hello\n");
    EXPECT_EQ(members[1].name, "../../x");
    EXPECT_EQ(ReadAll(members[1].dataFile), "abc");
    EXPECT_EQ(members[2].name, "two words.bin");
    EXPECT_EQ(members[2].size, 0u);
    EXPECT_TRUE(formattest::FilesOnlyIn(dir.Path("tmp"), members));
}

TEST(UueEngine, RecognisesOnlyRealBeginLines) {
    testsupport::TempDir dir("formats");
    struct {
        std::string text;
        bool taken;
    } cases[] = {
        {kHello, true},
        {std::string(8000, 'x') + "\n" + kHello, true},  // past the head: read from the file
        {"begin here is a sentence\n", false},
        {"we begin 644 x\n", false},
        {"begin 644 \n", false},
        {"begin 98 x\n", false},
    };
    auto engine = MakeUueEngine();
    for (auto& c : cases) {
        WriteAll(dir.Path("f"), c.text);
        std::size_t n = std::min<std::size_t>(c.text.size(), 4096);
        EXPECT_EQ(engine->Recognises(dir.Path("f"),
                                     reinterpret_cast<const unsigned char*>(c.text.data()), n),
                  c.taken)
            << c.text.substr(0, 30);
    }
}

TEST(UueEngine, BlockEndsDamageAndBounds) {
    testsupport::TempDir dir("formats");
    std::string bigBlock = "begin 644 big\n";
    for (std::size_t i = 0; i < 60; ++i) bigBlock += "M" + std::string(60, '!') + "\n";
    bigBlock += "`\nend\n";
    struct {
        const char* what;
        std::string text;
        ExtractLimits limits;
        FormatStatus status;
        std::vector<FormatStatus> members;
    } cases[] = {
        {"zero-length line without end", "begin 644 noend\n#86)C\n`\n" + std::string(kHello), {},
         FormatStatus::kOk, {FormatStatus::kOk, FormatStatus::kOk}},
        {"missing end", std::string(kHello) + "begin 644 cut\n&:&5L;&\\*\n", {},
         FormatStatus::kDamaged, {FormatStatus::kOk, FormatStatus::kDamaged}},
        {"bad line", "begin 644 bad\n&:&5L;&\\*\nthis is not { uuencoding\nend\n" + std::string(kHello), {},
         FormatStatus::kDamaged, {FormatStatus::kDamaged, FormatStatus::kOk}},
        {"member bound", bigBlock + kHello, [] { ExtractLimits l; l.maxMemberBytes = 1000; return l; }(),
         FormatStatus::kLimitExceeded, {FormatStatus::kLimitExceeded, FormatStatus::kOk}},
        {"member count", std::string(kHello) + kHello + kHello,
         [] { ExtractLimits l; l.maxMembers = 2; return l; }(), FormatStatus::kLimitExceeded,
         {FormatStatus::kOk, FormatStatus::kOk}},
    };
    for (auto& c : cases) {
        WriteAll(dir.Path("in"), c.text);
        std::vector<Member> members;
        EXPECT_EQ(MakeUueEngine()->Extract(dir.Path("in"), dir.Path("tmp"), c.limits, members),
                  c.status)
            << c.what;
        std::vector<FormatStatus> got;
        for (const Member& m : members) {
            got.push_back(m.status);
            EXPECT_EQ(m.dataFile.empty(), m.status != FormatStatus::kOk) << c.what;
            if (!m.dataFile.empty()) ::unlink(m.dataFile.c_str());
        }
        EXPECT_EQ(got, c.members) << c.what;
        EXPECT_TRUE(formattest::FilesIn(dir.Path("tmp")).empty()) << c.what;
    }
}

TEST(UueEngine, RebuildKeepsTheTextAroundEditedBlocks) {
    testsupport::TempDir dir("formats");
    std::string before = "Dear reader,\r\nhere it is:\r\n";
    std::string blockA = "begin 644 a.exe\r\n#86)C\r\n`\r\nend\r\n";
    std::string middle = "and another one\r\n";
    std::string blockB = std::string(kHello);
    std::string after = "bye\r\n";
    WriteAll(dir.Path("in"), before + blockA + middle + blockB + after);
    std::string replacement = formattest::NoiseBytes(200);
    WriteAll(dir.Path("new"), replacement);
    auto engine = MakeUueEngine();
    ASSERT_TRUE(engine->CanReplaceMembers());
    ASSERT_TRUE(engine->CanRemoveMembers());

    std::vector<MemberEdit> remove = {{1, MemberEdit::Action::kRemove, "", ""}};
    ASSERT_EQ(engine->Rebuild(dir.Path("in"), remove, dir.Path("removed"), {}), FormatStatus::kOk);
    EXPECT_EQ(ReadAll(dir.Path("removed")), before + blockA + middle + after);

    std::vector<MemberEdit> replace = {{0, MemberEdit::Action::kReplace, dir.Path("new"), "a.txt"}};
    ASSERT_EQ(engine->Rebuild(dir.Path("in"), replace, dir.Path("replaced"), {}),
              FormatStatus::kOk);
    std::string out = ReadAll(dir.Path("replaced"));
    EXPECT_EQ(out.substr(0, before.size()), before);
    EXPECT_NE(out.find("begin 644 a.txt\r\n"), std::string::npos);  // the block's line ends kept
    EXPECT_EQ(out.substr(out.size() - (middle + blockB + after).size()), middle + blockB + after);
    std::vector<Member> members;
    ASSERT_EQ(engine->Extract(dir.Path("replaced"), dir.Path("tmp"), {}, members),
              FormatStatus::kOk);
    ASSERT_EQ(members.size(), 2u);
    EXPECT_EQ(members[0].name, "a.txt");
    EXPECT_EQ(ReadAll(members[0].dataFile), replacement);
    EXPECT_EQ(ReadAll(members[1].dataFile), "hello\n");

    std::vector<MemberEdit> outOfRange = {{5, MemberEdit::Action::kRemove, "", ""}};
    EXPECT_EQ(engine->Rebuild(dir.Path("in"), outOfRange, dir.Path("bad"), {}),
              FormatStatus::kUnsupported);
    EXPECT_NE(::access(dir.Path("bad").c_str(), F_OK), 0);
}

}  // namespace
