// The patch library: a patch brings a hub forward and hands its files on;
// every patch that does not fit the hub exactly is refused whole.
#include "maker/mend/mend.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/tests/support/files.h"
#include "core/tests/support/temp_dir.h"
#include "maker/tests/support/patch_writer.h"
#include "platform/file_ops.h"

namespace {

using patchtest::DefsHeader;
using patchtest::PatchFile;
using patchtest::PatchManifestText;
using testsupport::ReadWhole;
using testsupport::WriteWhole;

using Snapshot = std::map<std::string, std::string>;

class MendTest : public ::testing::Test {
protected:
    MendTest() { Reset(); }

    // A fresh hub (20261201.001), output and the good patch.
    void Reset() {
        m_Temp = std::make_unique<testsupport::TempDir>("zelorm-mend");
        for (const char* dir : {"hub", "out"}) mkdir(Temp(dir).c_str(), 0700);
        WriteWhole(Hub("VirScan1.dat"), DefsHeader(20261201, 1));
        WriteWhole(Hub("Hub.Scr"), "; hub\n");
        WriteWhole(Hub("zelorm.ndb"), "Old.Sig:0:*:414243\n");
        WriteWhole(Hub("old.ndb"), "Dropped.Sig:0:*:444546\n");
        patchtest::WritePatch(Patch(), "20261201.001", Files(), {"old.ndb"});
    }

    std::string Temp(const std::string& name) const { return m_Temp->Path(name); }
    std::string Hub(const std::string& name = "") const {
        return Temp("hub") + (name.empty() ? "" : "/" + name);
    }
    std::string Patch(const std::string& name = "") const {
        return Temp("patch") + (name.empty() ? "" : "/" + name);
    }
    std::string Out(const std::string& name = "") const {
        return Temp("out") + (name.empty() ? "" : "/" + name);
    }

    // The replaced files of the good patch, the identity file first.
    static std::vector<PatchFile> Files() {
        return {{"VirScan1.dat", DefsHeader(20261202, 1)},
                {"zelorm.ndb", "New.Sig:0:*:414243\n"},
                {"new.ndb", "Added.Sig:0:*:474849\n"}};
    }

    int Apply(int option = 0) {
        IPatchApplication* patcher = CreatePatchApplicationInstance();
        EXPECT_NE(nullptr, patcher);
        if (patcher == nullptr) return -1;
        int result = patcher->ApplyPatch(Patch().c_str(), Hub().c_str(), Out().c_str(), option);
        patcher->Release();
        return result;
    }

    // Every entry of a directory (dot names too) with its bytes; a
    // directory or link shows as its kind.
    static Snapshot Contents(const std::string& dir) {
        std::vector<std::string> names;
        platform::ListDirectory(dir.c_str(), &names);
        Snapshot snapshot;
        for (const std::string& name : names) {
            if (name == "." || name == "..") continue;
            struct stat st;
            const std::string path = dir + "/" + name;
            lstat(path.c_str(), &st);
            snapshot[name] = S_ISREG(st.st_mode) ? ReadWhole(path)
                             : S_ISLNK(st.st_mode) ? "<link>"
                                                   : "<other>";
        }
        return snapshot;
    }

    std::unique_ptr<testsupport::TempDir> m_Temp;
};

TEST_F(MendTest, APatchBringsTheHubForwardAndHandsOnTheReplacedFiles) {
    ASSERT_EQ(1, Apply());
    Snapshot expectedOut;
    for (const PatchFile& file : Files()) expectedOut[file.name] = file.bytes;
    EXPECT_EQ(expectedOut, Contents(Out()));
    Snapshot expectedHub = expectedOut;
    expectedHub["Hub.Scr"] = "; hub\n";  // kept; old.ndb dropped; no temporary left
    EXPECT_EQ(expectedHub, Contents(Hub()));

    // The hub has moved on: the same patch never applies twice.
    for (const PatchFile& file : Files()) platform::RemovePath(Out(file.name).c_str());
    EXPECT_EQ(0, Apply());
    EXPECT_EQ(expectedHub, Contents(Hub()));
    EXPECT_TRUE(Contents(Out()).empty());
}

TEST_F(MendTest, AHubWithoutABinaryFileIsKnownByItsTextFile) {
    platform::RemovePath(Hub("VirScan1.dat").c_str());
    WriteWhole(Hub("VirScanT.dat"), DefsHeader(20261201, 1, "ZLDT"));
    patchtest::WritePatch(Patch(), "20261201.001",
                          {{"VirScanT.dat", DefsHeader(20261203, 2, "ZLDT")}});
    ASSERT_EQ(1, Apply());
    EXPECT_EQ(DefsHeader(20261203, 2, "ZLDT"), ReadWhole(Hub("VirScanT.dat")));
    EXPECT_EQ(DefsHeader(20261203, 2, "ZLDT"), ReadWhole(Out("VirScanT.dat")));
    EXPECT_EQ("Dropped.Sig:0:*:444546\n", ReadWhole(Hub("old.ndb")));  // not named: kept
}

// A process killed during an apply leaves its temporaries beside their
// targets, each up to a whole definitions file; the next apply removes
// them, whether its own patch applies or not, and nothing else.
TEST_F(MendTest, TemporariesOfAKilledApplyAreRemovedByTheNextApply) {
    struct Case {
        const char* what;
        std::function<void()> patch;
        int result;
    };
    const Case cases[] = {
        {"a patch that applies", [] {}, 1},
        {"a patch for another base",
         [this] { patchtest::WritePatch(Patch(), "20261130.001", Files(), {"old.ndb"}); }, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Reset();
        c.patch();
        const Snapshot before = Contents(Hub());
        for (const char* leftover : {".zelorm.ndb.aB3xYz", ".VirScan1.dat.000000", ".new.ndb.Zz9Zz9"})
            WriteWhole(Hub(leftover), "half a file");
        // Not what an apply leaves: kept as they are.
        WriteWhole(Temp("elsewhere"), "not the hub's");
        ASSERT_EQ(0, symlink(Temp("elsewhere").c_str(), Hub(".zelorm.ndb.Link01").c_str()));
        mkdir(Hub(".old.ndb.Dir001").c_str(), 0700);
        const std::map<std::string, std::string> kept = {
            {".zelorm.ndb.Link01", "<link>"}, {".old.ndb.Dir001", "<other>"},
            {".hidden", "mine"},             {".zelorm.ndb.abc", "mine"},
            {".zelorm.ndb.abc-12", "mine"},  {"..x.ABCDEF", "mine"},
            {".a b.ABCDEF", "mine"},         {"zelorm.ndb.ABCDEF", "mine"},
        };
        for (const auto& [name, bytes] : kept)
            if (bytes == "mine") WriteWhole(Hub(name), bytes);

        EXPECT_EQ(c.result, Apply());
        Snapshot expected = before;
        if (c.result == 1) {
            expected.erase("old.ndb");
            for (const PatchFile& file : Files()) expected[file.name] = file.bytes;
        }
        for (const auto& [name, bytes] : kept) expected[name] = bytes;
        EXPECT_EQ(expected, Contents(Hub()));
        EXPECT_EQ("not the hub's", ReadWhole(Temp("elsewhere")));
    }
}

TEST_F(MendTest, APatchThatDoesNotFitIsRefusedWithNothingChanged) {
    const std::string good = ReadWhole(Patch("PATCH.DAT"));
    auto manifest = [this](const std::string& text) { WriteWhole(Patch("PATCH.DAT"), text); };
    auto withFiles = [this, manifest](std::vector<PatchFile> files,
                                     std::vector<std::string> remove = {}) {
        manifest(PatchManifestText("20261201.001", files, remove));
        for (const PatchFile& file : files)
            if (file.name.find('/') == std::string::npos) WriteWhole(Patch(file.name), file.bytes);
    };
    auto replaceLine = [good, manifest](const std::string& from, const std::string& to) {
        std::string text = good;
        text.replace(text.find(from), from.size(), to);
        manifest(text);
    };
    struct Case {
        const char* what;
        std::function<void()> setUp;
        int option;
    };
    const Case cases[] = {
        {"another base", [&] { replaceLine("base 20261201.001", "base 20261130.001"); }, 0},
        {"a checksum that differs (the last file)",
         [&] { WriteWhole(Patch("new.ndb"), "Added.Sig:0:*:474840\n"); }, 0},
        {"a size that differs",
         [&] { WriteWhole(Patch("new.ndb"), "Added.Sig:0:*:4748490\n"); }, 0},
        {"the identity file not replaced", [&] { withFiles({Files()[1]}); }, 0},
        {"the identity file not later",
         [&] { withFiles({{"VirScan1.dat", DefsHeader(20261201, 1)}}); }, 0},
        {"the identity file older",
         [&] { withFiles({{"VirScan1.dat", DefsHeader(20261130, 9)}}); }, 0},
        {"an identity file without a header",
         [&] { withFiles({{"VirScan1.dat", "short"}}); }, 0},
        {"a name leading out", [&] { withFiles({Files()[0], {"../escape", "x"}}); }, 0},
        {"a name with a slash", [&] { withFiles({Files()[0], {"sub/x", "x"}}); }, 0},
        {"a dot name", [&] { withFiles({Files()[0], {".hidden", "x"}}); }, 0},
        {"the manifest's own name", [&] { withFiles({Files()[0], {"patch.dat", "x"}}); }, 0},
        {"a name twice", [&] { withFiles(Files(), {"ZELORM.NDB"}); }, 0},
        {"another first line", [&] { replaceLine("ZELPATCH 1", "ZELPATCH 2"); }, 0},
        {"an unknown line", [&] { manifest(good + "rename old.ndb older.ndb\n"); }, 0},
        {"two bases", [&] { manifest(good + "base 20261201.001\n"); }, 0},
        {"no base", [&] { replaceLine("base 20261201.001\n", ""); }, 0},
        {"two blanks between words", [&] { replaceLine("remove old.ndb", "remove  old.ndb"); }, 0},
        {"a control byte", [&] { replaceLine("# made", "#\x01made"); }, 0},
        {"a manifest over 64 KiB",
         [&] { manifest(good + "#" + std::string(65536, 'x') + "\n"); }, 0},
        {"no manifest", [&] { platform::RemovePath(Patch("PATCH.DAT").c_str()); }, 0},
        {"a replaced file missing", [&] { platform::RemovePath(Patch("new.ndb").c_str()); }, 0},
        {"a replaced file that is a link",
         [&] {
             const std::string bytes = ReadWhole(Patch("new.ndb"));
             WriteWhole(Temp("elsewhere"), bytes);
             platform::RemovePath(Patch("new.ndb").c_str());
             ASSERT_EQ(0, symlink(Temp("elsewhere").c_str(), Patch("new.ndb").c_str()));
         },
         0},
        {"a directory in the hub where a file goes",
         [&] { mkdir(Hub("new.ndb").c_str(), 0700); }, 0},
        {"a link in the hub where a dropped file is",
         [&] {
             platform::RemovePath(Hub("old.ndb").c_str());
             ASSERT_EQ(0, symlink(Temp("elsewhere").c_str(), Hub("old.ndb").c_str()));
         },
         0},
        {"a hub without identity", [&] { platform::RemovePath(Hub("VirScan1.dat").c_str()); }, 0},
        {"a name already in the output", [&] { WriteWhole(Out("zelorm.ndb"), "mine"); }, 0},
        {"an option", [] {}, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Reset();
        c.setUp();
        const Snapshot hub = Contents(Hub()), out = Contents(Out());
        EXPECT_EQ(0, Apply(c.option));
        EXPECT_EQ(hub, Contents(Hub()));
        EXPECT_EQ(out, Contents(Out()));
    }
}

}  // namespace
