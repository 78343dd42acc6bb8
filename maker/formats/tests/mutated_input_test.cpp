// Hostile input at large: every engine reads hundreds of damaged copies of
// a real container (bytes changed, cut short) without a crash, an
// out-of-bounds access (the sanitizers watch) or a file outside its
// temporary directory, and rebuilds what it can or leaves no output.

#include <functional>
#include <gtest/gtest.h>
#include <unistd.h>

#include "core/tests/support/temp_dir.h"
#include "maker/formats/format_engine.h"
#include "maker/formats/tests/support/format_fixtures.h"

using namespace maker;
using formattest::ReadAll;
using formattest::WriteAll;

namespace {

struct Case {
    const char* file;
    std::function<std::unique_ptr<FormatEngine>()> make;
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.file; }

const Case kCases[] = {
    {"clam.zip", MakeZipEngine},        {"clam.cab", MakeCabEngine},
    {"clam.arj", MakeArjEngine},        {"clam.exe.szdd", MakeLzEngine},
    {"clam.tnef", MakeTnefEngine},      {"clam.exe.rtf", MakeRtfEngine},
    {"clam.exe.mbox.uu", MakeUueEngine}, {"clam.tar.gz", MakeGzipEngine},
};

class MutatedInput : public ::testing::TestWithParam<Case> {};

TEST_P(MutatedInput, NeverCrashesNorWritesOutsideItsDirectory) {
    testsupport::TempDir dir("formats");
    const std::string original = ReadAll(formattest::ClamFile(GetParam().file));
    ASSERT_FALSE(original.empty());
    auto engine = GetParam().make();
    ExtractLimits limits;
    limits.maxMemberBytes = 1u << 20;
    std::uint32_t x = 12345;
    auto next = [&] {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        return x;
    };
    for (int round = 0; round < 300; ++round) {
        std::string bytes = original;
        int changes = 1 + static_cast<int>(next() % 8);
        for (int i = 0; i < changes; ++i)
            bytes[next() % bytes.size()] = static_cast<char>(next() & 0xFF);
        if (round % 3 == 0) bytes.resize(next() % bytes.size());
        WriteAll(dir.Path("in"), bytes);
        std::vector<Member> members;
        engine->Extract(dir.Path("in"), dir.Path("tmp"), limits, members);
        ASSERT_TRUE(formattest::FilesOnlyIn(dir.Path("tmp"), members)) << "round " << round;
        for (const Member& m : members) {
            EXPECT_EQ(m.dataFile.empty(), m.status != FormatStatus::kOk);
            if (!m.dataFile.empty()) ::unlink(m.dataFile.c_str());
        }
        if (engine->CanRemoveMembers()) {
            std::vector<MemberEdit> edits = {{0, MemberEdit::Action::kRemove, "", ""}};
            FormatStatus st = engine->Rebuild(dir.Path("in"), edits, dir.Path("out"), limits);
            EXPECT_EQ(::access(dir.Path("out").c_str(), F_OK) == 0, st == FormatStatus::kOk);
            ::unlink(dir.Path("out").c_str());
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Formats, MutatedInput, ::testing::ValuesIn(kCases),
                         [](const auto& info) {
                             std::string n = info.param.file;
                             for (char& ch : n)
                                 if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
                             return n;
                         });

}  // namespace
