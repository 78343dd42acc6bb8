// Incremental updates of the store with the real channel and patch
// libraries: stamps handed to the channel library, patches applied to the
// hubs and installed, and the update left prepared where a library is
// missing.
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <functional>
#include <string>
#include <vector>

#include "core/tests/support/files.h"
#include "defs/shared_defs.h"
#include "defs/tests/support/store_fixture.h"
#include "maker/tests/support/patch_writer.h"
#include "platform/file_ops.h"
#include "platform/registry.h"
#include "platform/shared_library.h"

namespace {

using defstest::StoreTest;
using patchtest::PatchFile;
using testsupport::ReadWhole;
using testsupport::WriteWhole;

const char g_Anchor = 0;

int32_t Channel(int date, int revision) {
    return (date / 10000 - 1900) << 20 | (date / 100 % 100) << 16 | (date % 100) << 11 | revision;
}

// The buffers and request of one preparation.
struct Preparation {
    char download[kDefsMaxPath] = "";
    char text[kDefsMaxPath] = "";
    IncrementalUpdateRequest request{};
    explicit Preparation(int32_t binaryArg = 0, int32_t textArg = 0) {
        request.downloadDir = download;
        request.bufferSize = sizeof download;
        request.textDownloadDir = text;
        request.binaryChannelArg = binaryArg;
        request.textChannelArg = textArg;
        request.binaryChannel = request.textChannel = 12345;
    }
};

class IncrementalUpdateTest : public StoreTest {
protected:
    IncrementalUpdateTest() {
        // The base: a full installation-mode update fills and stamps both hubs.
        EXPECT_EQ(1, Install(20261201, 1, kDefsModeInstall,
                             {SignatureFile("zelorm.ndb"), SignatureFile("old.ndb")}));
    }
    ~IncrementalUpdateTest() override { SharedDefs::SetLibraryDirectory(nullptr); }

    bool Has(const std::string& path) const { return platform::PathExists(path.c_str()); }
    std::string BinHub(const std::string& name = "") const {
        return InRoot("BinHub") + (name.empty() ? "" : "/" + name);
    }
    std::string TextHub(const std::string& name = "") const {
        return InRoot("TextHub") + (name.empty() ? "" : "/" + name);
    }
    static std::string Flag(const char* name) { return RegText(defstest::kQuillset, name); }
    static std::string Stamp(const char* name) { return RegText(defstest::kQuillset, name); }
    static std::string FlagBytes(int value) {
        return std::string(1, static_cast<char>(value)) + std::string(3, '\0');
    }

    // A directory of copies of the built libraries, named as given (empty
    // names leave a library out).
    std::string Libraries(const std::string& channelFrom, const std::string& patchFrom) {
        const std::string bin = platform::ModuleDirectory(&g_Anchor);
        const std::string dir = m_Temp.Path("libs-" + std::to_string(++m_LibraryDirs));
        mkdir(dir.c_str(), 0700);
        if (!channelFrom.empty())
            WriteWhole(dir + "/libkolt32i.so", ReadWhole(bin + "/" + channelFrom));
        if (!patchFrom.empty())
            WriteWhole(dir + "/libmend32i.so", ReadWhole(bin + "/" + patchFrom));
        return dir;
    }

    // The files of a set yyyymmdd.rev made in a scratch directory: new
    // bytes for zelorm.ndb, a new file new.ndb, old.ndb obsolete.
    std::vector<PatchFile> NextSetFiles(int date, int revision) {
        const std::string files = m_Temp.Path("v" + std::to_string(date));
        mkdir(files.c_str(), 0700);
        WriteWhole(files + "/zelorm.ndb", "Sig.Patched:0:*:414243\n");
        WriteWhole(files + "/new.ndb", "Sig.Added:0:*:444546\n");
        const std::string set = files + "/set";
        MakeSet(set, date, revision, {files + "/zelorm.ndb", files + "/new.ndb"}, {"old.ndb"});
        std::vector<PatchFile> out;
        for (const char* name : {"VirScan1.dat", "zelorm.ndb", "new.ndb", "CATALOG.DAT",
                                 "VirScanT.dat"})
            out.push_back({name, ReadWhole(set + "/" + name)});
        return out;
    }
    // The binary patch (all but VirScanT.dat, old.ndb dropped) and the text
    // patch (VirScanT.dat) from base to yyyymmdd.rev.
    void WritePatches(const Preparation& p, const std::string& base, int date, int revision) {
        std::vector<PatchFile> files = NextSetFiles(date, revision);
        const PatchFile text = files.back();
        files.pop_back();
        patchtest::WritePatch(p.download, base, files, {"old.ndb"});
        patchtest::WritePatch(p.text, base, {text});
    }

    // Whether another process-wide update could start now (KBLOCK.DAT free).
    bool UpdateLockFree() {
        SharedDefs other;
        char buffer[kDefsMaxPath];
        if (!other.PreUpdate(buffer, sizeof buffer, kDefsModeUpdateClient)) return false;
        other.PostUpdate();
        return true;
    }
    std::vector<std::string> TemporaryDirs() const {
        std::vector<std::string> found;
        for (const std::string& name : RootEntries())
            if (name.rfind("TMP", 0) == 0) found.push_back(name);
        return found;
    }

    int m_LibraryDirs = 0;
};

TEST_F(IncrementalUpdateTest, AHubIsCompleteWhenItHoldsEveryFileBinHubListsForIt) {
    SharedDefs defs;
    EXPECT_EQ(1, defs.hubsComplete(BinHub().c_str(), kDefsBinary));
    EXPECT_EQ(1, defs.hubsComplete(TextHub().c_str(), kDefsText));
    EXPECT_EQ(0, defs.hubsComplete(BinHub().c_str(), 2));
    EXPECT_EQ(0, defs.hubsComplete(nullptr, kDefsBinary));

    struct Case {
        const char* what;
        std::string file;
        std::string replacement;  // empty: the file is removed
        int binary, text;
    };
    const std::string catalog = ReadWhole(BinHub("CATALOG.DAT"));
    std::string noText = catalog;
    noText.replace(noText.find("[Text Hub Files]"), strlen("[Text Hub Files]"), "[Other]");
    const Case cases[] = {
        {"a common binary file missing", BinHub("old.ndb"), "", 0, 1},
        {"an Intel binary file missing", BinHub("Hub.Scr"), "", 0, 1},
        {"the text file missing", TextHub("VirScanT.dat"), "", 1, 0},
        {"no catalogue in BinHub", BinHub("CATALOG.DAT"), "", 0, 0},
        {"no text list", BinHub("CATALOG.DAT"), noText, 1, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string before = ReadWhole(c.file);
        if (c.replacement.empty())
            ASSERT_TRUE(platform::RemovePath(c.file.c_str()));
        else
            WriteWhole(c.file, c.replacement);
        EXPECT_EQ(c.binary, defs.hubsComplete(BinHub().c_str(), kDefsBinary));
        EXPECT_EQ(c.text, defs.hubsComplete(TextHub().c_str(), kDefsText));
        WriteWhole(c.file, before);
    }
    // Without BinHub nothing is complete.
    ASSERT_EQ(0, rename(BinHub().c_str(), InRoot("Moved").c_str()));
    EXPECT_EQ(0, defs.hubsComplete(TextHub().c_str(), kDefsText));
}

TEST_F(IncrementalUpdateTest, PreparingHandsEachHubsStampAndArgumentToTheChannelLibrary) {
    SharedDefs defs;
    Preparation p(0, 1);
    ASSERT_EQ(1, defs.PreIncrementalUpdate(&p.request, kDefsModeUpdateClient));
    EXPECT_EQ(Channel(20261201, 1), p.request.binaryChannel);
    EXPECT_EQ(0, p.request.textChannel);  // the text hub asked for a full set
    EXPECT_EQ(1, p.request.binaryHubComplete);
    EXPECT_EQ(1, p.request.textHubComplete);
    EXPECT_TRUE(Has(p.download));
    EXPECT_TRUE(Has(p.text));
    EXPECT_NE(std::string(p.download), std::string(p.text));
    EXPECT_EQ(p.text, RegText(defstest::kInstalledApps, "ZELDefsTextInstallDir"));
    EXPECT_EQ("20261201.001", Stamp("BinHubStamp"));
    EXPECT_FALSE(UpdateLockFree());

    // Ending without applying anything: the update is gone, nothing changed.
    IncrementalFinishRequest finish{0, 7, 7};
    EXPECT_EQ(1, defs.PostIncrementalUpdate(&finish));
    EXPECT_EQ(7, finish.binaryPatched);
    EXPECT_TRUE(TemporaryDirs().empty());
    EXPECT_EQ("", RegText(defstest::kInstalledApps, "ZELDefsInstallDir"));
    EXPECT_TRUE(UpdateLockFree());
    EXPECT_EQ(FlagBytes(1), Flag("LastBinUpdate"));
    EXPECT_EQ("20261201.001", DefInfo("CurDefs"));
    EXPECT_EQ(0, defs.PostIncrementalUpdate(&finish));  // nothing prepared any more
}

TEST_F(IncrementalUpdateTest, AStampCountsOnlyWhileItsHubIsAGoodBase) {
    struct Case {
        const char* what;
        std::function<void()> change;
        bool binaryReset, textReset;
    };
    const unsigned char zero[4] = {0, 0, 0, 0};
    auto setFlag = [&](const char* name) {
        platform::RegWriteValue(defstest::kQuillset, name, platform::kRegBinary, zero, 4);
    };
    auto remove = [](const std::string& path) {
        return [path] { platform::RemovePath(path.c_str()); };
    };
    const Case cases[] = {
        {"LastBinUpdate 0, whatever the stamp holds",
         [&] {
             setFlag("LastBinUpdate");
             const std::string other = "20270101.001";
             platform::RegWriteValue(defstest::kQuillset, "BinHubStamp", platform::kRegSz,
                                     other.data(), other.size());
         },
         true, false},
        {"LastBinUpdate absent",
         [] { platform::RegDeleteValue(defstest::kQuillset, "LastBinUpdate"); }, true, false},
        {"LastBinUpdate not binary",
         [] {
             platform::RegWriteValue(defstest::kQuillset, "LastBinUpdate", platform::kRegSz, "1",
                                     1);
         },
         true, false},
        {"BinHubStamp absent", [] { platform::RegDeleteValue(defstest::kQuillset, "BinHubStamp"); },
         true, false},
        {"the binary hub incomplete", remove(BinHub("zelorm.ndb")), true, false},
        {"LastTextUpdate 0", [&] { setFlag("LastTextUpdate"); }, false, true},
        {"the text hub incomplete", remove(TextHub("Hub.Scr")), false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        // Each case starts from full hubs with good stamps.
        ASSERT_EQ(1, Install(20261201, 1, kDefsModeInstall,
                             {SignatureFile("zelorm.ndb"), SignatureFile("old.ndb")}));
        c.change();
        SharedDefs defs;
        Preparation p;
        ASSERT_EQ(1, defs.PreIncrementalUpdate(&p.request, kDefsModeUpdateClient));
        EXPECT_EQ(c.binaryReset ? 0 : Channel(20261201, 1), p.request.binaryChannel);
        EXPECT_EQ(c.textReset ? 0 : Channel(20261201, 1), p.request.textChannel);
        EXPECT_EQ(c.binaryReset ? "00000000.000" : "20261201.001", Stamp("BinHubStamp"));
        EXPECT_EQ(c.textReset ? "00000000.000" : "20261201.001", Stamp("TextHubStamp"));
        IncrementalFinishRequest finish{0, 0, 0};
        EXPECT_EQ(1, defs.PostIncrementalUpdate(&finish));
    }
}

TEST_F(IncrementalUpdateTest, BothPatchesApplyAndTheMergedSetIsInstalled) {
    SharedDefs defs;
    Preparation p;
    ASSERT_EQ(1, defs.PreIncrementalUpdate(&p.request, kDefsModeUpdateClient));
    WritePatches(p, "20261201.001", 20261202, 1);
    IncrementalFinishRequest finish{1, 0, 0};
    ASSERT_EQ(1, defs.PostIncrementalUpdate(&finish));
    EXPECT_EQ(1, finish.binaryPatched);
    EXPECT_EQ(1, finish.textPatched);

    EXPECT_EQ("20261202.001", DefInfo("CurDefs"));
    EXPECT_EQ("20261201.001", DefInfo("LastDefs"));
    const std::string now = InRoot("20261202.001/"), before = InRoot("20261201.001/");
    EXPECT_EQ("Sig.Patched:0:*:414243\n", ReadWhole(now + "zelorm.ndb"));
    EXPECT_TRUE(Has(now + "new.ndb"));
    EXPECT_FALSE(Has(now + "old.ndb"));   // obsolete in the patched catalogue
    EXPECT_TRUE(Has(before + "old.ndb"));  // the previous set keeps it
    EXPECT_FALSE(Has(now + "PATCH.DAT"));
    EXPECT_EQ(patchtest::DefsHeader(20261202, 1, "ZLDT"), ReadWhole(now + "VirScanT.dat"));
    EXPECT_TRUE(Has(now + "Hub.Scr"));  // carried over from the previous set

    // The hubs moved on, and are the base of the next update.
    EXPECT_EQ("Sig.Patched:0:*:414243\n", ReadWhole(BinHub("zelorm.ndb")));
    EXPECT_FALSE(Has(BinHub("old.ndb")));
    EXPECT_EQ("20261202.001", Stamp("BinHubStamp"));
    EXPECT_EQ("20261202.001", Stamp("TextHubStamp"));
    EXPECT_EQ(FlagBytes(1), Flag("LastBinUpdate"));
    EXPECT_EQ(FlagBytes(1), Flag("LastTextUpdate"));
    EXPECT_TRUE(TemporaryDirs().empty());
    EXPECT_TRUE(UpdateLockFree());

    SharedDefs next;
    Preparation q;
    ASSERT_EQ(1, next.PreIncrementalUpdate(&q.request, kDefsModeUpdateClient));
    EXPECT_EQ(1, q.request.binaryHubComplete);
    EXPECT_EQ(Channel(20261202, 1), q.request.binaryChannel);
    EXPECT_EQ(Channel(20261202, 1), q.request.textChannel);
    EXPECT_EQ(1, next.PostUpdate());
}

TEST_F(IncrementalUpdateTest, ATextOnlyPatchInstallsUnderTheNameOfItsTextHeader) {
    SharedDefs defs;
    Preparation p;
    ASSERT_EQ(1, defs.PreIncrementalUpdate(&p.request, kDefsModeUpdateClient));
    // No binary patch was fetched; the text patch moves TextHub to 20261203.002.
    patchtest::WritePatch(p.text, "20261201.001",
                          {{"VirScanT.dat", patchtest::DefsHeader(20261203, 2, "ZLDT")}});
    IncrementalFinishRequest finish{1, 0, 0};
    ASSERT_EQ(1, defs.PostIncrementalUpdate(&finish));
    EXPECT_EQ(0, finish.binaryPatched);
    EXPECT_EQ(1, finish.textPatched);
    EXPECT_EQ("20261203.002", DefInfo("CurDefs"));
    const std::string now = InRoot("20261203.002/");
    EXPECT_EQ(patchtest::DefsHeader(20261203, 2, "ZLDT"), ReadWhole(now + "VirScanT.dat"));
    // The binary side is the previous set's.
    EXPECT_EQ(ReadWhole(InRoot("20261201.001/VirScan1.dat")), ReadWhole(now + "VirScan1.dat"));
    EXPECT_TRUE(Has(now + "old.ndb"));
    EXPECT_EQ("20261201.001", Stamp("BinHubStamp"));
    EXPECT_EQ("20261203.002", Stamp("TextHubStamp"));
    EXPECT_EQ(FlagBytes(0), Flag("LastBinUpdate"));
    EXPECT_EQ(FlagBytes(1), Flag("LastTextUpdate"));

    // The binary hub is no base now: it asks for a full set.
    SharedDefs next;
    Preparation q;
    ASSERT_EQ(1, next.PreIncrementalUpdate(&q.request, kDefsModeUpdateClient));
    EXPECT_EQ(0, q.request.binaryChannel);
    EXPECT_EQ(Channel(20261203, 2), q.request.textChannel);
    EXPECT_EQ(1, next.PostUpdate());
}

TEST_F(IncrementalUpdateTest, PatchesThatDoNotApplyInstallNothingAndFail) {
    SharedDefs defs;
    Preparation p;
    ASSERT_EQ(1, defs.PreIncrementalUpdate(&p.request, kDefsModeUpdateClient));
    WritePatches(p, "20261130.001", 20261202, 1);  // made for another base
    const std::string hub = ReadWhole(BinHub("zelorm.ndb"));
    IncrementalFinishRequest finish{1, 7, 7};
    EXPECT_EQ(0, defs.PostIncrementalUpdate(&finish));
    EXPECT_EQ(0, finish.binaryPatched);
    EXPECT_EQ(0, finish.textPatched);
    EXPECT_EQ("20261201.001", DefInfo("CurDefs"));
    EXPECT_EQ(hub, ReadWhole(BinHub("zelorm.ndb")));
    EXPECT_EQ(FlagBytes(0), Flag("LastBinUpdate"));
    EXPECT_EQ(FlagBytes(0), Flag("LastTextUpdate"));
    // The update has ended all the same.
    EXPECT_TRUE(TemporaryDirs().empty());
    EXPECT_TRUE(UpdateLockFree());
}

TEST_F(IncrementalUpdateTest, APatchedSetThatIsNotNewerIsNotInstalled) {
    ASSERT_EQ(1, Install(20261210, 1));  // a full update: the hubs stay at 20261201.001
    SharedDefs defs;
    Preparation p;
    ASSERT_EQ(1, defs.PreIncrementalUpdate(&p.request, kDefsModeUpdateClient));
    WritePatches(p, "20261201.001", 20261202, 1);
    IncrementalFinishRequest finish{1, 0, 0};
    EXPECT_EQ(1, defs.PostIncrementalUpdate(&finish));
    EXPECT_EQ(1, finish.binaryPatched);
    EXPECT_EQ("20261210.001", DefInfo("CurDefs"));
    EXPECT_FALSE(Has(InRoot("20261202.001")));
    EXPECT_EQ("20261202.001", Stamp("BinHubStamp"));
    EXPECT_TRUE(TemporaryDirs().empty());
}

TEST_F(IncrementalUpdateTest, AHubPatchedPastASetThatWasNotInstalledIsNoBase) {
    SharedDefs defs;
    Preparation p;
    ASSERT_EQ(1, defs.PreIncrementalUpdate(&p.request, kDefsModeUpdateClient));
    WritePatches(p, "20261201.001", 20261202, 1);
    // DEFINFO.DAT cannot be written: the install fails.
    const std::string info = ReadWhole(InRoot("DEFINFO.DAT"));
    ASSERT_TRUE(platform::RemovePath(InRoot("DEFINFO.DAT").c_str()));
    ASSERT_TRUE(platform::MakeDirectory(InRoot("DEFINFO.DAT").c_str(), 0700));
    IncrementalFinishRequest finish{1, 0, 0};
    EXPECT_EQ(0, defs.PostIncrementalUpdate(&finish));
    EXPECT_EQ(1, finish.binaryPatched);
    EXPECT_FALSE(Has(InRoot("20261202.001")));
    EXPECT_EQ(FlagBytes(0), Flag("LastBinUpdate"));
    EXPECT_EQ(FlagBytes(0), Flag("LastTextUpdate"));
    EXPECT_TRUE(TemporaryDirs().empty());

    ASSERT_TRUE(platform::RemoveDirectory(InRoot("DEFINFO.DAT").c_str()));
    WriteWhole(InRoot("DEFINFO.DAT"), info);
    SharedDefs next;
    Preparation q;
    ASSERT_EQ(1, next.PreIncrementalUpdate(&q.request, kDefsModeUpdateClient));
    EXPECT_EQ(0, q.request.binaryChannel);
    EXPECT_EQ(0, q.request.textChannel);
    EXPECT_EQ(1, next.PostUpdate());
}

TEST_F(IncrementalUpdateTest, WithoutTheChannelLibraryThePreparationFailsButStaysPrepared) {
    // Missing, and present without the entry point.
    for (const std::string& dir : {Libraries("", "libmend32i.so"),
                                   Libraries("libmend32i.so", "libmend32i.so")}) {
        SCOPED_TRACE(dir);
        SharedDefs::SetLibraryDirectory(dir.c_str());
        SharedDefs defs;
        Preparation p;
        EXPECT_EQ(0, defs.PreIncrementalUpdate(&p.request, kDefsModeUpdateClient));
        EXPECT_EQ(12345, p.request.binaryChannel);
        EXPECT_TRUE(Has(p.download));
        EXPECT_EQ(p.download, RegText(defstest::kInstalledApps, "ZELDefsInstallDir"));
        EXPECT_FALSE(UpdateLockFree());
        // A full update can still be finished in the prepared directories.
        ASSERT_EQ("", WriteDefsSet(p.download, Plan(20261205, 1)));
        EXPECT_EQ(1, defs.PostUpdate());
        EXPECT_EQ("20261205.001", DefInfo("CurDefs"));
        EXPECT_TRUE(TemporaryDirs().empty());
        EXPECT_TRUE(UpdateLockFree());
    }
}

TEST_F(IncrementalUpdateTest, WithoutThePatchLibraryFinishingFailsAndTheUpdateStaysPrepared) {
    SharedDefs defs;
    Preparation p;
    ASSERT_EQ(1, defs.PreIncrementalUpdate(&p.request, kDefsModeUpdateClient));
    WritePatches(p, "20261201.001", 20261202, 1);
    for (const std::string& dir : {Libraries("libkolt32i.so", ""),
                                   Libraries("libkolt32i.so", "libkolt32i.so")}) {
        SCOPED_TRACE(dir);
        SharedDefs::SetLibraryDirectory(dir.c_str());
        IncrementalFinishRequest finish{1, 7, 7};
        EXPECT_EQ(0, defs.PostIncrementalUpdate(&finish));
        EXPECT_EQ(7, finish.binaryPatched);
        EXPECT_TRUE(Has(std::string(p.download) + "/PATCH.DAT"));
        EXPECT_EQ(3u, TemporaryDirs().size());
        EXPECT_FALSE(UpdateLockFree());
        EXPECT_EQ(FlagBytes(1), Flag("LastBinUpdate"));
    }
    // Once the library is there, the same update finishes.
    SharedDefs::SetLibraryDirectory(nullptr);
    IncrementalFinishRequest finish{1, 0, 0};
    EXPECT_EQ(1, defs.PostIncrementalUpdate(&finish));
    EXPECT_EQ("20261202.001", DefInfo("CurDefs"));
    EXPECT_TRUE(TemporaryDirs().empty());
    EXPECT_TRUE(UpdateLockFree());
}

TEST_F(IncrementalUpdateTest, BadRequestsAndMissingHubsChangeNothing) {
    const std::vector<std::string> entries = RootEntries();
    SharedDefs defs;
    EXPECT_EQ(0, defs.PreIncrementalUpdate(nullptr, kDefsModeUpdateClient));
    Preparation noText;
    noText.request.textDownloadDir = nullptr;
    EXPECT_EQ(0, defs.PreIncrementalUpdate(&noText.request, kDefsModeUpdateClient));
    IncrementalFinishRequest finish{1, 0, 0};
    EXPECT_EQ(0, defs.PostIncrementalUpdate(&finish));  // nothing prepared
    EXPECT_EQ(entries, RootEntries());
    EXPECT_TRUE(UpdateLockFree());

    // A hub gone between the two halves: the update stays prepared.
    Preparation p;
    ASSERT_EQ(1, defs.PreIncrementalUpdate(&p.request, kDefsModeUpdateClient));
    EXPECT_EQ(0, defs.PostIncrementalUpdate(nullptr));
    ASSERT_EQ(0, rename(TextHub().c_str(), InRoot("Moved").c_str()));
    EXPECT_EQ(0, defs.PostIncrementalUpdate(&finish));
    EXPECT_EQ(3u, TemporaryDirs().size());
    ASSERT_EQ(0, rename(InRoot("Moved").c_str(), TextHub().c_str()));
    finish.apply = 0;
    EXPECT_EQ(1, defs.PostIncrementalUpdate(&finish));
    EXPECT_EQ(entries, RootEntries());
}

}  // namespace
