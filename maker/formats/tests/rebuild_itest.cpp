// Rebuilt containers read back by independent readers: unzip and bsdtar
// for ZIP, GNU tar for TAR, gzip for GZIP, Python's binascii for UUE.

#include <gtest/gtest.h>
#include <unistd.h>

#include "core/tests/support/temp_dir.h"
#include "maker/formats/format_engine.h"
#include "maker/formats/tests/support/format_fixtures.h"

using namespace maker;
using formattest::Quote;
using formattest::ReadAll;
using formattest::Run;
using formattest::WriteAll;

namespace {

const MemberEdit::Action kReplace = MemberEdit::Action::kReplace;
const MemberEdit::Action kRemove = MemberEdit::Action::kRemove;

std::string Output(const std::string& command) {
    std::string out;
    EXPECT_EQ(Run(command, &out), 0) << command << "\n" << out;
    return out;
}

TEST(ZipRebuild, InfectedMemberReplacedOthersKeptReadByUnzipAndBsdtar) {
    testsupport::TempDir dir("formats");
    WriteAll(dir.Path("in.zip"),
             formattest::MakeArchive("zip", {{"docs/", ""},
                                             {"docs/readme.txt", "read me\n"},
                                             {"clam.exe", formattest::ClamExe()},
                                             {"drop.bin", formattest::NoiseBytes(5000)},
                                             {"keep.bin", formattest::NoiseBytes(70000, 3)}}));
    WriteAll(dir.Path("clean"), "this file was cleaned\n");
    auto engine = MakeZipEngine();
    ASSERT_TRUE(engine->CanReplaceMembers() && engine->CanRemoveMembers());
    std::vector<MemberEdit> edits = {{2, kReplace, dir.Path("clean"), "clam.exe.txt"},
                                     {3, kRemove, "", ""}};
    ASSERT_EQ(engine->Rebuild(dir.Path("in.zip"), edits, dir.Path("out.zip"), {}),
              FormatStatus::kOk);
    std::string out = Quote(dir.Path("out.zip"));
    Output("unzip -tq " + out);
    EXPECT_EQ(Output("unzip -Z1 " + out), "docs/\ndocs/readme.txt\nclam.exe.txt\nkeep.bin\n");
    EXPECT_EQ(Output("unzip -p " + out + " clam.exe.txt"), "this file was cleaned\n");
    EXPECT_EQ(Output("unzip -p " + out + " docs/readme.txt"), "read me\n");
    EXPECT_TRUE(Output("bsdtar -xOf " + out + " keep.bin") == formattest::NoiseBytes(70000, 3));
}

TEST(ZipRebuild, RealInfectedZipLosesItsMember) {
    testsupport::TempDir dir("formats");
    std::vector<MemberEdit> edits = {{0, kRemove, "", ""}};
    ASSERT_EQ(MakeZipEngine()->Rebuild(formattest::ClamFile("clam.zip"), edits,
                                       dir.Path("out.zip"), {}),
              FormatStatus::kOk);
    EXPECT_EQ(Output("bsdtar -tf " + Quote(dir.Path("out.zip"))), "");
    std::vector<Member> members;
    EXPECT_EQ(MakeZipEngine()->Extract(dir.Path("out.zip"), dir.Path("tmp"), {}, members),
              FormatStatus::kOk);
    EXPECT_TRUE(members.empty());
}

TEST(TarRebuild, KeptMembersAreCopiedByteForByteReadByGnuTar) {
    testsupport::TempDir dir("formats");
    std::string longName = "a/" + std::string(150, 'n') + ".exe";
    // ustar: each member here is one header block and one data block.
    std::string in = formattest::MakeArchive(
        "ustar", {{"first.txt", "first"}, {"infected.exe", "bad bytes"}, {"last.txt", "last"}});
    WriteAll(dir.Path("in.tar"), in);
    WriteAll(dir.Path("clean"), formattest::NoiseBytes(1500));
    auto engine = MakeTarEngine();

    std::vector<MemberEdit> removeLast = {{2, kRemove, "", ""}};
    ASSERT_EQ(engine->Rebuild(dir.Path("in.tar"), removeLast, dir.Path("removed.tar"), {}),
              FormatStatus::kOk);
    EXPECT_TRUE(ReadAll(dir.Path("removed.tar")) == in.substr(0, 2048) + std::string(1024, '\0'));
    EXPECT_EQ(Output("tar -tf " + Quote(dir.Path("removed.tar"))), "first.txt\ninfected.exe\n");

    std::vector<MemberEdit> replace = {{1, kReplace, dir.Path("clean"), longName}};
    ASSERT_EQ(engine->Rebuild(dir.Path("in.tar"), replace, dir.Path("replaced.tar"), {}),
              FormatStatus::kOk);
    std::string out = ReadAll(dir.Path("replaced.tar"));
    EXPECT_TRUE(out.substr(0, 1024) == in.substr(0, 1024));  // first member untouched
    EXPECT_NE(out.find(in.substr(2048, 1024)), std::string::npos);  // last member untouched
    std::string path = Quote(dir.Path("replaced.tar"));
    EXPECT_EQ(Output("tar -tf " + path), "first.txt\n" + longName + "\nlast.txt\n");
    EXPECT_TRUE(Output("tar -xOf " + path + " " + Quote(longName)) == formattest::NoiseBytes(1500));
    EXPECT_EQ(Output("tar -xOf " + path + " last.txt"), "last");
}

// An archive GNU tar wrote, with a long name (a 'L' extension header):
// removing that member drops its extension header too.
TEST(TarRebuild, GnuTarArchiveWithLongNames) {
    testsupport::TempDir dir("formats");
    std::string longName = std::string(150, 'n') + ".exe";
    WriteAll(dir.Path("a.txt"), "first");
    WriteAll(dir.Path(longName), "infected");
    WriteAll(dir.Path("b.txt"), "last");
    Output("cd " + Quote(dir.Path()) + " && tar cf in.tar --format=gnu a.txt " + Quote(longName) +
           " b.txt");
    std::vector<Member> members;
    ASSERT_EQ(MakeTarEngine()->Extract(dir.Path("in.tar"), dir.Path("tmp"), {}, members),
              FormatStatus::kOk);
    ASSERT_EQ(members.size(), 3u);
    EXPECT_EQ(members[1].name, longName);
    std::vector<MemberEdit> remove = {{members[1].index, kRemove, "", ""}};
    ASSERT_EQ(MakeTarEngine()->Rebuild(dir.Path("in.tar"), remove, dir.Path("out.tar"), {}),
              FormatStatus::kOk);
    std::string path = Quote(dir.Path("out.tar"));
    EXPECT_EQ(Output("tar -tf " + path), "a.txt\nb.txt\n");
    EXPECT_EQ(Output("tar -xOf " + path + " b.txt"), "last");
    std::string in = ReadAll(dir.Path("in.tar"));
    std::string out = ReadAll(dir.Path("out.tar"));
    // a.txt (header and data block) and b.txt are the input's own bytes.
    EXPECT_TRUE(out.substr(0, 1024) == in.substr(0, 1024));
    EXPECT_TRUE(out.substr(1024, 1024) == in.substr(3072, 1024));
}

TEST(GzipRebuild, ReadByGzip) {
    testsupport::TempDir dir("formats");
    WriteAll(dir.Path("in.gz"), formattest::Gzip(formattest::ClamExe(), "clam.exe"));
    WriteAll(dir.Path("clean"), "cleaned\n");
    auto engine = MakeGzipEngine();
    std::vector<MemberEdit> replace = {{0, kReplace, dir.Path("clean"), ""}};
    ASSERT_EQ(engine->Rebuild(dir.Path("in.gz"), replace, dir.Path("replaced.gz"), {}),
              FormatStatus::kOk);
    Output("gzip -t " + Quote(dir.Path("replaced.gz")));
    EXPECT_EQ(Output("zcat " + Quote(dir.Path("replaced.gz"))), "cleaned\n");
    EXPECT_NE(Output("gzip -lN " + Quote(dir.Path("replaced.gz"))).find("clam.exe"),
              std::string::npos);
    std::vector<MemberEdit> remove = {{0, kRemove, "", ""}};
    ASSERT_EQ(engine->Rebuild(dir.Path("in.gz"), remove, dir.Path("removed.gz"), {}),
              FormatStatus::kOk);
    Output("gzip -t " + Quote(dir.Path("removed.gz")));
    EXPECT_EQ(Output("zcat " + Quote(dir.Path("removed.gz"))), "");
}

TEST(UueRebuild, ReadByPythonBinascii) {
    testsupport::TempDir dir("formats");
    std::string mail = ReadAll(formattest::ClamFile("clam.exe.mbox.uu"));
    WriteAll(dir.Path("in.uu"), mail);
    std::string clean = formattest::NoiseBytes(1000);
    WriteAll(dir.Path("clean"), clean);
    std::vector<MemberEdit> replace = {{0, kReplace, dir.Path("clean"), ""}};
    ASSERT_EQ(MakeUueEngine()->Rebuild(dir.Path("in.uu"), replace, dir.Path("out.uu"), {}),
              FormatStatus::kOk);
    const char* script =
        "import sys, binascii\n"
        "lines = open(sys.argv[1], 'rb').read().split(b'\\n')\n"
        "i = next(n for n, l in enumerate(lines) if l.startswith(b'begin '))\n"
        "out = b''\n"
        "for l in lines[i + 1:]:\n"
        "    if l == b'end': break\n"
        "    out += binascii.a2b_uu(l)\n"
        "sys.stdout.buffer.write(lines[i] + b'\\n' + out)\n";
    WriteAll(dir.Path("decode.py"), script);
    std::string decoded = Output("python3 " + Quote(dir.Path("decode.py")) + " " +
                                 Quote(dir.Path("out.uu")));
    EXPECT_TRUE(decoded == "begin 644 clam.exe\n" + clean);
    // The mail's headers before the block are kept as they were.
    std::string out = ReadAll(dir.Path("out.uu"));
    std::size_t begin = mail.find("begin 644");
    EXPECT_EQ(out.substr(0, begin), mail.substr(0, begin));
}

}  // namespace
