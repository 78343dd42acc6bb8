// The libarchive engines (ZIP, TAR, LHA, CAB): member order, names kept as
// labels, entries without data, and hostile archives.

#include <gtest/gtest.h>
#include <unistd.h>

#include "core/tests/support/temp_dir.h"
#include "maker/formats/format_engine.h"
#include "maker/formats/tests/support/format_fixtures.h"

using namespace maker;
using formattest::Entry;
using formattest::MakeArchive;
using formattest::ReadAll;
using formattest::WriteAll;

namespace {

std::unique_ptr<FormatEngine> EngineFor(const std::string& format) {
    return format == "zip" ? MakeZipEngine() : MakeTarEngine();
}

class ZipAndTar : public ::testing::TestWithParam<std::string> {};

TEST_P(ZipAndTar, MembersInOrderNamesAreLabelsOnly) {
    testsupport::TempDir dir("formats");
    std::vector<Entry> entries = {{"dir/", ""},
                                  {"../../x", "escape attempt"},
                                  {"/etc/x", "absolute"},
                                  {"dir/plain.txt", "plain"},
                                  {"empty", ""}};
    WriteAll(dir.Path("in"), MakeArchive(GetParam(), entries));
    auto engine = EngineFor(GetParam());
    std::string head = ReadAll(dir.Path("in")).substr(0, 4096);
    EXPECT_TRUE(engine->Recognises(dir.Path("in"),
                                   reinterpret_cast<const unsigned char*>(head.data()),
                                   head.size()));
    std::vector<Member> members;
    // The temporary directory is made when missing, parents included.
    std::string tmp = dir.Path("a/b/tmp");
    ASSERT_EQ(formattest::ExtractFile(*engine, dir.Path("in"), tmp, members), FormatStatus::kOk);
    ASSERT_EQ(members.size(), 4u);
    const char* names[] = {"../../x", "/etc/x", "dir/plain.txt", "empty"};
    const char* data[] = {"escape attempt", "absolute", "plain", ""};
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(members[i].name, names[i]);
        EXPECT_EQ(ReadAll(members[i].dataFile), data[i]);
        EXPECT_EQ(members[i].index, i + 1);  // the directory holds index 0
        EXPECT_EQ(members[i].status, FormatStatus::kOk);
    }
    EXPECT_TRUE(formattest::FilesOnlyIn(tmp, members));
    EXPECT_NE(::access(dir.Path("x").c_str(), F_OK), 0);
    EXPECT_TRUE(formattest::FilesIn(dir.Path("a/b")) == std::vector<std::string>{"tmp"});
}

TEST_P(ZipAndTar, BoundsStopMembersAndContainers) {
    testsupport::TempDir dir("formats");
    // A bomb member between two small ones: zeros compress a thousandfold
    // in a zip; in a tar the member bound stops it.
    std::vector<Entry> entries = {{"a", "first"}, {"bomb", std::string(48u << 20, '\0')},
                                  {"c", "last"}};
    WriteAll(dir.Path("in"), MakeArchive(GetParam(), entries));
    auto engine = EngineFor(GetParam());
    ExtractLimits limits;
    if (GetParam() != "zip") limits.maxMemberBytes = 8u << 20;
    std::vector<Member> members;
    EXPECT_EQ(engine->Extract(dir.Path("in"), dir.Path("tmp"), limits, members),
              FormatStatus::kLimitExceeded);
    ASSERT_EQ(members.size(), 3u);
    EXPECT_EQ(members[1].status, FormatStatus::kLimitExceeded);
    EXPECT_TRUE(members[1].dataFile.empty());
    EXPECT_EQ(ReadAll(members[2].dataFile), "last");
    EXPECT_TRUE(formattest::FilesOnlyIn(dir.Path("tmp"), members));

    // The member count and total bounds stop the whole container.
    struct {
        const char* what;
        ExtractLimits limits;
        std::size_t listed;
    } stops[] = {
        {"count", [] { ExtractLimits l; l.maxMembers = 1; return l; }(), 1},
        {"total", [] { ExtractLimits l; l.maxTotalBytes = 4u << 20; l.maxRatio = 1u << 30; return l; }(), 2},
    };
    for (auto& s : stops) {
        std::vector<Member> got;
        EXPECT_EQ(engine->Extract(dir.Path("in"), dir.Path("tmp2"), s.limits, got),
                  FormatStatus::kLimitExceeded)
            << s.what;
        EXPECT_EQ(got.size(), s.listed) << s.what;
        EXPECT_TRUE(formattest::FilesOnlyIn(dir.Path("tmp2"), got)) << s.what;
        for (const Member& m : got)
            if (!m.dataFile.empty()) ::unlink(m.dataFile.c_str());
    }
}

TEST_P(ZipAndTar, TruncatedAndGarbageArchivesAreDamaged) {
    testsupport::TempDir dir("formats");
    std::string good = MakeArchive(
        GetParam(), {{"one", formattest::NoiseBytes(20000)}, {"two", formattest::NoiseBytes(20000, 2)}});
    std::string garbage = good.substr(0, GetParam() == "zip" ? 40 : 512) +
                          formattest::NoiseBytes(30000, 9);
    struct {
        const char* what;
        std::string bytes;
    } cases[] = {
        {"truncated in the second member", good.substr(0, good.size() * 3 / 4)},
        {"truncated in the first member", good.substr(0, 5000)},
        {"garbage after a valid header", garbage},
    };
    auto engine = EngineFor(GetParam());
    for (auto& c : cases) {
        WriteAll(dir.Path("in"), c.bytes);
        std::vector<Member> members;
        FormatStatus st = engine->Extract(dir.Path("in"), dir.Path("tmp"), {}, members);
        EXPECT_EQ(st, FormatStatus::kDamaged) << c.what;
        for (const Member& m : members) {
            if (m.status == FormatStatus::kOk) {
                EXPECT_EQ(m.name, "one") << c.what;
            } else {
                EXPECT_TRUE(m.dataFile.empty()) << c.what;
            }
        }
        EXPECT_TRUE(formattest::FilesOnlyIn(dir.Path("tmp"), members)) << c.what;
        for (const Member& m : members)
            if (!m.dataFile.empty()) ::unlink(m.dataFile.c_str());
    }
}

TEST_P(ZipAndTar, RebuildRefusesEditsOfEntriesWithoutData) {
    testsupport::TempDir dir("formats");
    WriteAll(dir.Path("in"), MakeArchive(GetParam(), {{"dir/", ""}, {"a", "a"}}));
    auto engine = EngineFor(GetParam());
    for (std::size_t index : {0u, 2u}) {  // the directory; past the end
        std::vector<MemberEdit> edits = {{index, MemberEdit::Action::kRemove, "", ""}};
        EXPECT_EQ(engine->Rebuild(dir.Path("in"), edits, dir.Path("out"), {}),
                  FormatStatus::kUnsupported)
            << index;
        EXPECT_NE(::access(dir.Path("out").c_str(), F_OK), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Formats, ZipAndTar, ::testing::Values("zip", "ustar"));

TEST(ZipEngine, EncryptedMembersAreReportedAndNotRewritten) {
    testsupport::TempDir dir("formats");
    WriteAll(dir.Path("in.zip"),
             MakeArchive("zip", {{"secret.exe", formattest::ClamExe()}, {"b", "bee"}}, "pw"));
    auto engine = MakeZipEngine();
    std::vector<Member> members;
    EXPECT_EQ(engine->Extract(dir.Path("in.zip"), dir.Path("tmp"), {}, members),
              FormatStatus::kEncrypted);
    ASSERT_EQ(members.size(), 2u);
    for (const Member& m : members) {
        EXPECT_EQ(m.status, FormatStatus::kEncrypted);
        EXPECT_TRUE(m.dataFile.empty());
    }
    EXPECT_EQ(members[0].name, "secret.exe");
    // A rebuild that keeps an encrypted member ("b") fails: it cannot be
    // written again without its key.
    std::vector<MemberEdit> keepOne = {{0, MemberEdit::Action::kRemove, "", ""}};
    EXPECT_EQ(engine->Rebuild(dir.Path("in.zip"), keepOne, dir.Path("out.zip"), {}),
              FormatStatus::kEncrypted);
    EXPECT_NE(::access(dir.Path("out.zip").c_str(), F_OK), 0);
}

TEST(ZipEngine, MethodsLibarchiveCannotReadAreUnsupported) {
    testsupport::TempDir dir("formats");
    struct {
        const char* file;
        const char* name;
    } cases[] = {{"clam.impl.zip", "CLAM.EXE"}, {"clam.d64.zip", "clam.exe"}};
    for (auto& c : cases) {
        std::vector<Member> members;
        EXPECT_EQ(MakeZipEngine()->Extract(formattest::ClamFile(c.file), dir.Path("tmp"), {},
                                           members),
                  FormatStatus::kUnsupported)
            << c.file;
        ASSERT_EQ(members.size(), 1u);
        EXPECT_EQ(members[0].name, c.name);
        EXPECT_EQ(members[0].status, FormatStatus::kUnsupported);
        EXPECT_TRUE(formattest::FilesIn(dir.Path("tmp")).empty());
    }
}

// A tar header declaring a size past the member bound is refused before a
// byte of it is read (the data is not even there).
TEST(TarEngine, HugeDeclaredSizeIsRefusedUpFront) {
    testsupport::TempDir dir("formats");
    std::string tar = MakeArchive("ustar", {{"huge", "tiny"}, {"next", "after"}});
    // Size field: 12 octal bytes at offset 124; then fix the checksum.
    std::string size = "77777777777";
    tar.replace(124, 11, size);
    unsigned sum = 0;
    for (int i = 0; i < 512; ++i) sum += (i >= 148 && i < 156) ? ' ' : static_cast<unsigned char>(tar[i]);
    char field[8];
    std::snprintf(field, sizeof field, "%06o", sum);
    tar.replace(148, 7, std::string(field, 6) + '\0');
    WriteAll(dir.Path("in.tar"), tar);
    std::vector<Member> members;
    FormatStatus st = MakeTarEngine()->Extract(dir.Path("in.tar"), dir.Path("tmp"), {}, members);
    EXPECT_NE(st, FormatStatus::kOk);
    ASSERT_FALSE(members.empty());
    EXPECT_EQ(members[0].name, "huge");
    EXPECT_EQ(members[0].status, FormatStatus::kLimitExceeded);
    EXPECT_TRUE(formattest::FilesIn(dir.Path("tmp")).empty());
}

TEST(LhaEngine, StoredMembersAreReadAndTheEngineIsReadOnly) {
    testsupport::TempDir dir("formats");
    WriteAll(dir.Path("in.lzh"),
             formattest::MakeLhaStored({{"clam.exe", formattest::ClamExe()}, {"b.txt", "bee"}}));
    auto engine = MakeLhaEngine();
    std::vector<Member> members;
    ASSERT_EQ(formattest::ExtractFile(*engine, dir.Path("in.lzh"), dir.Path("tmp"), members),
              FormatStatus::kOk);
    ASSERT_EQ(members.size(), 2u);
    EXPECT_EQ(members[0].name, "clam.exe");
    EXPECT_EQ(ReadAll(members[0].dataFile), formattest::ClamExe());
    EXPECT_EQ(ReadAll(members[1].dataFile), "bee");
    std::string head = ReadAll(dir.Path("in.lzh"));
    EXPECT_TRUE(engine->Recognises("", reinterpret_cast<const unsigned char*>(head.data()),
                                   head.size()));
    EXPECT_FALSE(engine->CanReplaceMembers());
    EXPECT_FALSE(engine->CanRemoveMembers());
    EXPECT_EQ(engine->Rebuild(dir.Path("in.lzh"), {}, dir.Path("out"), {}),
              FormatStatus::kUnsupported);
    EXPECT_NE(::access(dir.Path("out").c_str(), F_OK), 0);
}

TEST(CabEngine, TruncatedCabinetIsDamagedAndTheEngineIsReadOnly) {
    testsupport::TempDir dir("formats");
    std::string cab = ReadAll(formattest::ClamFile("clam.cab"));
    WriteAll(dir.Path("cut.cab"), cab.substr(0, cab.size() - 100));
    auto engine = MakeCabEngine();
    std::vector<Member> members;
    EXPECT_EQ(engine->Extract(dir.Path("cut.cab"), dir.Path("tmp"), {}, members),
              FormatStatus::kDamaged);
    EXPECT_TRUE(formattest::FilesIn(dir.Path("tmp")).empty());
    EXPECT_FALSE(engine->CanReplaceMembers());
    EXPECT_FALSE(engine->CanRemoveMembers());
}

}  // namespace
