// The ARJ reader against archives the arj program writes with every
// method: stored (0), the three Huffman levels (1-3) and the fastest (4).

#include <gtest/gtest.h>

#include "core/tests/support/temp_dir.h"
#include "maker/formats/format_engine.h"
#include "maker/formats/tests/support/format_fixtures.h"

using namespace maker;
using formattest::Quote;
using formattest::ReadAll;
using formattest::WriteAll;

namespace {

TEST(ArjEngineWithArjProgram, EveryMethodYieldsTheOriginalBytes) {
    testsupport::TempDir dir("formats");
    // Text that compresses, then noise that does not, long enough to wrap
    // the 26624-byte window several times.
    std::string text;
    const char* words[] = {"alpha ", "beta ", "gamma ", "virus ", "mail\n", "gateway "};
    std::uint32_t x = 7;
    while (text.size() < 200000) {
        x = x * 1103515245 + 12345;
        text += words[(x >> 16) % 6];
    }
    std::string content = text + formattest::NoiseBytes(60000) + std::string(70000, 'z');
    WriteAll(dir.Path("data.bin"), content);
    WriteAll(dir.Path("small.txt"), "small");
    for (int method = 0; method <= 4; ++method) {
        std::string archive = dir.Path("m" + std::to_string(method) + ".arj");
        std::string output;
        ASSERT_EQ(formattest::Run("cd " + Quote(dir.Path()) + " && arj a -y -m" +
                                      std::to_string(method) + " " + Quote(archive) +
                                      " data.bin small.txt",
                                  &output),
                  0)
            << output;
        auto engine = MakeArjEngine();
        std::vector<Member> members;
        ASSERT_EQ(formattest::ExtractFile(*engine, archive, dir.Path("tmp"), members),
                  FormatStatus::kOk)
            << "method " << method;
        ASSERT_EQ(members.size(), 2u);
        EXPECT_EQ(members[0].name, "data.bin");
        EXPECT_TRUE(ReadAll(members[0].dataFile) == content) << "method " << method;
        EXPECT_EQ(members[1].name, "small.txt");
        EXPECT_EQ(ReadAll(members[1].dataFile), "small");
        for (const Member& m : members) ::unlink(m.dataFile.c_str());
    }
}

}  // namespace
