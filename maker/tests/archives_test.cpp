// Archives inside mail through the real format libraries: a member removed
// or replaced comes back in an archive that an independent reader (unzip,
// Python's tarfile) reads; a zip bomb and a member named like a path stay
// harmless. Each test is skipped while its format library is not built.

#include <dirent.h>
#include <gtest/gtest.h>

#include <memory>

#include "core/tests/support/temp_dir.h"
#include "maker/mime_message.h"
#include "maker/ravel.h"
#include "maker/rav_engines.h"
#include "maker/rav_object.h"
#include "maker/tests/support/recording_sink.h"

namespace {

using ravtest::RecordingSink;

class ArchivesTest : public ::testing::Test {
protected:
    // The ID and MIME engines and one format library; false when the
    // library is not built.
    bool Start(const char* library, const char* word) {
        m_Format = ravtest::LoadFormatEngine(library, word, word);
        if (!m_Format.engine) return false;
        m_Ravel.AddEngine(&m_Id);
        m_Ravel.AddEngine(&m_Mime);
        m_Ravel.AddEngine(m_Format.engine);
        m_Ravel.SetTempDir(m_Dir.Path("tmp").c_str());
        return true;
    }
    void TearDown() override {
        m_Ravel.RemoveEngines();
        if (m_Format.engine) m_Format.remove(m_Format.engine);
    }

    // A message with the archive at path attached as name (base64).
    std::string Attach(const std::string& path, const std::string& name) {
        std::string message = m_Dir.Path("msg.eml");
        ravtest::RunCommand(
            "python3 -c '\nimport sys\nfrom email.message import EmailMessage\n"
            "m = EmailMessage()\nm[\"From\"] = \"a@example.com\"\nm[\"Subject\"] = \"s\"\n"
            "m.set_content(\"see attachment\")\n"
            "m.add_attachment(open(sys.argv[1], \"rb\").read(), maintype=\"application\",\n"
            "                 subtype=\"octet-stream\", filename=sys.argv[2])\n"
            "open(sys.argv[3], \"wb\").write(bytes(m))\n' " +
            path + " " + name + " " + message);
        return message;
    }

    int32_t Walk(const std::string& path, RecordingSink& sink) {
        IRavObject* file = nullptr;
        EXPECT_EQ(rav::NewFileObject(path.c_str(), path.c_str(), &file), 0);
        char newName[RAV_PATH_SIZE];
        int32_t rc = m_Ravel.Process(file, &sink, &m_State, newName, sizeof newName);
        m_NewName = newName;
        delete file;
        return rc;
    }

    // The attachment called name in the message at path, written to out.
    void Detach(const std::string& path, const std::string& name, const std::string& out) {
        std::string message = ravtest::ReadFile(path);
        rav::MimeParse parse;
        rav::ParseMime(message, 100, parse);
        for (const rav::MimePart& p : parse.parts)
            if (p.name == name)
                ravtest::WriteFile(out, rav::DecodeBody(std::string_view(message).substr(
                                                            p.bodyStart, p.bodyEnd - p.bodyStart),
                                                        p.encoding));
    }

    testsupport::TempDir m_Dir;
    rav::CRavel m_Ravel;
    rav::CIdEngine m_Id;
    rav::CMimeEngine m_Mime;
    ravtest::LoadedEngine m_Format;
    uint16_t m_State = 0;
    std::string m_NewName;
};

TEST_F(ArchivesTest, ZipMembersRemovedAndReplacedReadBackWithUnzip) {
    if (!Start("Zip", "Zip")) GTEST_SKIP() << "libRav2Zip.so is not built";
    ravtest::RunCommand("python3 -c '\nimport sys, zipfile\n"
                        "with zipfile.ZipFile(sys.argv[1], \"w\", zipfile.ZIP_DEFLATED) as z:\n"
                        "    for n, d in ((\"a.txt\", \"one\"), (\"b.exe\", \"two\"), (\"c.txt\", \"three\")):\n"
                        "        z.writestr(n, d)\n' " +
                        m_Dir.Path("in.zip"));
    std::string message = Attach(m_Dir.Path("in.zip"), "in.zip");
    RecordingSink sink;
    sink.decisions["b.exe"].remove = true;
    sink.decisions["c.txt"] = {.replace = true, .text = "repaired", .newName = "", .contentType = ""};
    ASSERT_EQ(Walk(message, sink), 0);
    ASSERT_EQ(m_State, RAV_STATE_REBUILT);
    Detach(m_NewName, "in.zip", m_Dir.Path("out.zip"));
    EXPECT_EQ(ravtest::RunCommand("unzip -Z1 " + m_Dir.Path("out.zip")), "a.txt\nc.txt\n");
    EXPECT_EQ(ravtest::RunCommand("unzip -p " + m_Dir.Path("out.zip") + " c.txt"), "repaired");
    EXPECT_EQ(ravtest::RunCommand("unzip -p " + m_Dir.Path("out.zip") + " a.txt"), "one");
}

TEST_F(ArchivesTest, TarMembersRemovedReadBackWithPython) {
    if (!Start("TAR", "TAR")) GTEST_SKIP() << "libRav2TAR.so is not built";
    ravtest::RunCommand("cd " + m_Dir.Path("") + " && printf one > a.txt && printf two > b.exe && "
                        "tar -cf in.tar a.txt b.exe");
    std::string message = Attach(m_Dir.Path("in.tar"), "in.tar");
    RecordingSink sink;
    sink.decisions["b.exe"].remove = true;
    ASSERT_EQ(Walk(message, sink), 0);
    ASSERT_EQ(m_State, RAV_STATE_REBUILT);
    Detach(m_NewName, "in.tar", m_Dir.Path("out.tar"));
    EXPECT_EQ(ravtest::RunCommand("python3 -c 'import sys, tarfile; "
                                  "print(tarfile.open(sys.argv[1]).getnames())' " +
                                  m_Dir.Path("out.tar")),
              "['a.txt']\n");
}

TEST_F(ArchivesTest, AZipBombIsStoppedAndReported) {
    if (!Start("Zip", "Zip")) GTEST_SKIP() << "libRav2Zip.so is not built";
    // 600 MiB of zeros in a zip of well under a megabyte.
    ravtest::RunCommand("python3 -c '\nimport sys, zipfile\n"
                        "with zipfile.ZipFile(sys.argv[1], \"w\", zipfile.ZIP_DEFLATED) as z:\n"
                        "    with z.open(\"zeros.bin\", \"w\", force_zip64=True) as f:\n"
                        "        block = bytes(1 << 20)\n"
                        "        for _ in range(600): f.write(block)\n' " +
                        m_Dir.Path("bomb.zip"));
    std::string message = Attach(m_Dir.Path("bomb.zip"), "bomb.zip");
    RecordingSink sink;
    ASSERT_EQ(Walk(message, sink), 0);
    bool limit = false;
    for (const ravtest::Call& c : sink.calls)
        limit |= c.kind == "objectError" && c.code == RAVERR_LIMIT;
    EXPECT_TRUE(limit);
    const ravtest::Call* member = sink.Find("object", "zeros.bin");
    if (member) {
        EXPECT_LT(member->data.size(), 600u << 20);
    }
    DIR* d = opendir(m_Dir.Path("tmp").c_str());
    ASSERT_NE(d, nullptr);
    int entries = 0;
    while (dirent* e = readdir(d)) entries += e->d_name[0] != '.';
    closedir(d);
    EXPECT_EQ(entries, 0);
}

TEST_F(ArchivesTest, AZipMemberNamedLikeAPathIsALabel) {
    if (!Start("Zip", "Zip")) GTEST_SKIP() << "libRav2Zip.so is not built";
    ravtest::RunCommand("python3 -c '\nimport sys, zipfile\n"
                        "with zipfile.ZipFile(sys.argv[1], \"w\") as z:\n"
                        "    z.writestr(\"../../x\", \"escape\")\n' " +
                        m_Dir.Path("path.zip"));
    std::string message = Attach(m_Dir.Path("path.zip"), "path.zip");
    RecordingSink sink;
    ASSERT_EQ(Walk(message, sink), 0);
    const ravtest::Call* member = nullptr;
    for (const ravtest::Call& c : sink.calls)
        if (c.kind == "object" && c.data == "escape") member = &c;
    ASSERT_NE(member, nullptr);
    EXPECT_EQ(ravtest::RunCommand("ls " + m_Dir.Path("x") + " 2>/dev/null"), "");
}

}  // namespace
