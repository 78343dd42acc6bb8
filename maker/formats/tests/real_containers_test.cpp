// Every engine finds the test program inside the real infected containers
// of Debian's clamav-testfiles, under the name the container gives it.

#include <cctype>
#include <functional>
#include <gtest/gtest.h>

#include "core/tests/support/temp_dir.h"
#include "maker/formats/format_engine.h"
#include "maker/formats/tests/support/format_fixtures.h"

using namespace maker;
using formattest::ClamExe;
using formattest::ClamFile;

namespace {

struct Case {
    const char* file;
    std::function<std::unique_ptr<FormatEngine>()> make;
    FormatKind kind;
    const char* name;  // the member's name
};

const Case kCases[] = {
    {"clam.zip", MakeZipEngine, FormatKind::kZip, "clam.exe"},
    {"clam.bz2.zip", MakeZipEngine, FormatKind::kZip, "clam.exe"},
    {"clam.cab", MakeCabEngine, FormatKind::kCab, "clam.exe"},
    {"clam.arj", MakeArjEngine, FormatKind::kArj, "clam.exe"},
    {"clam.exe.szdd", MakeLzEngine, FormatKind::kLz, ""},
    {"clam.tnef", MakeTnefEngine, FormatKind::kTnef, "clam.exe"},
    {"clam.exe.rtf", MakeRtfEngine, FormatKind::kRtf, "Clam.exe"},
    {"clam.exe.mbox.uu", MakeUueEngine, FormatKind::kUue, "clam.exe"},
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.file; }

class RealContainer : public ::testing::TestWithParam<Case> {};

TEST_P(RealContainer, YieldsTheTestProgramUnderItsName) {
    const Case& c = GetParam();
    testsupport::TempDir dir("formats");
    auto engine = c.make();
    ASSERT_EQ(engine->Kind(), c.kind);
    std::string bytes = formattest::ReadAll(ClamFile(c.file));
    ASSERT_FALSE(bytes.empty()) << c.file;
    EXPECT_TRUE(engine->Recognises(ClamFile(c.file),
                                   reinterpret_cast<const unsigned char*>(bytes.data()),
                                   std::min<std::size_t>(bytes.size(), 4096)));
    std::vector<Member> members;
    ASSERT_EQ(engine->Extract(ClamFile(c.file), dir.Path("tmp"), {}, members), FormatStatus::kOk);
    bool found = false;
    for (const Member& m : members) {
        if (m.status != FormatStatus::kOk) continue;
        if (formattest::ReadAll(m.dataFile) == ClamExe()) {
            EXPECT_EQ(m.name, c.name);
            EXPECT_EQ(m.size, ClamExe().size());
            found = true;
        }
    }
    EXPECT_TRUE(found) << c.file;
    EXPECT_TRUE(formattest::FilesOnlyIn(dir.Path("tmp"), members));
}

INSTANTIATE_TEST_SUITE_P(Formats, RealContainer, ::testing::ValuesIn(kCases),
                         [](const auto& info) {
                             std::string n = info.param.file;
                             for (char& ch : n)
                                 if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
                             return n;
                         });

// gzip then tar: the gzip engine gives the tar stream, the tar engine the
// program inside it.
TEST(RealContainerNesting, GzipThenTarYieldsTheTestProgram) {
    testsupport::TempDir dir("formats");
    std::vector<Member> outer;
    ASSERT_EQ(MakeGzipEngine()->Extract(ClamFile("clam.tar.gz"), dir.Path("tmp"), {}, outer),
              FormatStatus::kOk);
    ASSERT_EQ(outer.size(), 1u);
    std::vector<Member> inner;
    ASSERT_EQ(MakeTarEngine()->Extract(outer[0].dataFile, dir.Path("tmp"), {}, inner),
              FormatStatus::kOk);
    ASSERT_EQ(inner.size(), 1u);
    EXPECT_EQ(inner[0].name, "clam.exe");
    EXPECT_EQ(formattest::ReadAll(inner[0].dataFile), ClamExe());
}

// Engines refuse what is not their format, and nothing is written.
TEST(RealContainerNesting, OtherFormatsAreNotTaken) {
    testsupport::TempDir dir("formats");
    std::vector<std::function<std::unique_ptr<FormatEngine>()>> makers = {
        MakeZipEngine, MakeTarEngine, MakeGzipEngine, MakeLhaEngine, MakeCabEngine,
        MakeUueEngine, MakeLzEngine,  MakeTnefEngine, MakeRtfEngine, MakeArjEngine};
    for (auto& make : makers) {
        auto engine = make();
        std::vector<Member> members;
        EXPECT_EQ(engine->Extract(ClamFile("clam.exe"), dir.Path("tmp"), {}, members),
                  FormatStatus::kNotThisFormat)
            << static_cast<int>(engine->Kind());
        EXPECT_TRUE(members.empty());
        std::string head = ClamExe().substr(0, 4096);
        EXPECT_FALSE(engine->Recognises(ClamFile("clam.exe"),
                                        reinterpret_cast<const unsigned char*>(head.data()),
                                        head.size()));
    }
    EXPECT_TRUE(formattest::FilesIn(dir.Path("tmp")).empty());
}

}  // namespace
