// The virus engine on libclamav: loads only the signature files of a set,
// finds a signature in a plain file but not inside a container, names and
// numbers findings stably, repairs nothing, and scans from several threads.

#include "maker/zel_engine.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "core/tests/support/temp_dir.h"
#include "maker/tests/support/recording_sink.h"

namespace {

const std::string kTestFiles = "/usr/share/clamav-testfiles/";

// A definitions set whose one signature is the test program clam.exe, beside
// files of the store that are not signatures.
std::string MakeSet(const testsupport::TempDir& dir, const std::string& name = "20260315.007") {
    std::string set = dir.Path(name);
    ravtest::RunCommand("mkdir -p " + set);
    std::string md5 = ravtest::RunCommand("md5sum " + kTestFiles + "clam.exe | cut -d' ' -f1");
    md5.pop_back();
    ravtest::WriteFile(set + "/test.hdb", md5 + ":544:Zelorm.Test.Clam\n");
    ravtest::WriteFile(set + "/VirScan1.dat", "not a signature file\x01\x02");
    ravtest::WriteFile(set + "/CATALOG.DAT", "[catalog]\n");
    return set;
}

struct Finding {
    int32_t rc;
    std::string name;
    std::string id;
};

Finding Scan(ZELHANDLE engine, const std::string& path) {
    ZELVIRUS virus = nullptr;
    Finding f{ZELScanFile(engine, path.c_str(), "", 0, &virus), "", ""};
    if (virus) {
        char buffer[260];
        int32_t size = sizeof buffer;
        EXPECT_EQ(ZELGetVirusInfo(virus, ZEL_INFO_NAME, buffer, &size), 0);
        f.name = buffer;
        size = sizeof buffer;
        EXPECT_EQ(ZELGetVirusInfo(virus, ZEL_INFO_ID, buffer, &size), 0);
        f.id = buffer;
        ZELFreeVirusHandle(virus);
    }
    return f;
}

TEST(ZelEngine, FindsTheSignatureInPlainFilesOnly) {
    testsupport::TempDir dir;
    int32_t error = -1;
    ZELHANDLE engine = ZELEngineInit(MakeSet(dir).c_str(), dir.Path("missing.ini").c_str(), 0, 0,
                                     0, &error);
    ASSERT_NE(engine, nullptr);
    EXPECT_EQ(error, 0);
    Finding found = Scan(engine, kTestFiles + "clam.exe");
    EXPECT_EQ(found.rc, 0);
    EXPECT_EQ(found.name, "Zelorm.Test.Clam");  // no ".UNOFFICIAL"
    EXPECT_FALSE(found.id.empty());
    EXPECT_EQ(Scan(engine, kTestFiles + "clam.exe").id, found.id);
    // Containers are the decomposition component's work.
    for (const char* container : {"clam.zip", "clam.tar.gz", "clam.cab", "clam.mail",
                                  "clam.exe.mbox.base64"}) {
        Finding f = Scan(engine, kTestFiles + container);
        EXPECT_EQ(f.rc, 0) << container;
        EXPECT_EQ(f.name, "") << container;
    }
    ravtest::WriteFile(dir.Path("clean.txt"), "nothing here\n");
    EXPECT_EQ(Scan(engine, dir.Path("clean.txt")).name, "");
    EXPECT_EQ(Scan(engine, dir.Path("absent")).rc, ZEL_ERR_READ);
    EXPECT_EQ(ZELRepairFile(engine, (kTestFiles + "clam.exe").c_str(), "exe"),
              ZEL_ERR_NOT_REPAIRABLE);
    ZELEngineClose(engine);
}

TEST(ZelEngine, CountsSignaturesAndPacksTheSetDate) {
    testsupport::TempDir dir;
    int32_t error = -1;
    ZELHANDLE engine = ZELEngineInit(MakeSet(dir).c_str(), "", 0, 2, 0, &error);
    ASSERT_NE(engine, nullptr);
    uint32_t count = 0;
    EXPECT_EQ(ZELGetVirusDefCount(engine, &count), 0);
    EXPECT_EQ(count, 1u);
    uint32_t block[5] = {20, 0, 0, 0, 0};
    EXPECT_EQ(ZELGetVirusDBInfoEx(engine, block), 0);
    EXPECT_EQ(block[1], 1u);
    EXPECT_EQ(block[2], 20260315u);
    EXPECT_EQ(block[3], 7u);
    EXPECT_EQ(block[4], (2026u << 20) | (3u << 16) | (15u << 11) | 7u);
    uint32_t wrongSize[5] = {16, 0, 0, 0, 0};
    EXPECT_EQ(ZELGetVirusDBInfoEx(engine, wrongSize), ZEL_ERR_BADARG);
    ZELEngineClose(engine);

    engine = ZELEngineInit(MakeSet(dir, "custom").c_str(), "", 0, 0, 0, &error);
    ASSERT_NE(engine, nullptr);
    uint32_t other[5] = {20, 0, 0, 0, 0};
    ZELGetVirusDBInfoEx(engine, other);
    EXPECT_EQ(other[4], 0u);
    ZELEngineClose(engine);
}

TEST(ZelEngine, RefusesBadArgumentsAndBrokenSets) {
    testsupport::TempDir dir;
    std::string set = MakeSet(dir);
    struct Case {
        const char* what;
        std::string dir;
        uint16_t level;
        int32_t error;
    };
    ravtest::RunCommand("mkdir -p " + dir.Path("broken"));
    ravtest::WriteFile(dir.Path("broken") + "/bad.ndb", "this is not a signature\n");
    const Case cases[] = {
        {"level above 3", set, 4, ZEL_ERR_ARGUMENT},
        {"empty directory name", "", 0, ZEL_ERR_ARGUMENT},
        {"missing directory", dir.Path("nowhere"), 0, ZEL_ERR_DEFS},
        {"malformed signature file", dir.Path("broken"), 0, ZEL_ERR_DEFS},
    };
    for (const Case& c : cases) {
        int32_t error = 0;
        EXPECT_EQ(ZELEngineInit(c.dir.c_str(), "", 0, c.level, 0, &error), nullptr) << c.what;
        EXPECT_EQ(error, c.error) << c.what;
    }
    ZELVIRUS virus = reinterpret_cast<ZELVIRUS>(1);
    EXPECT_EQ(ZELScanFile(nullptr, "x", "", 0, &virus), ZEL_ERR_BADARG);
    EXPECT_EQ(virus, nullptr);
    uint32_t count;
    EXPECT_EQ(ZELGetVirusDefCount(nullptr, &count), ZEL_ERR_BADARG);
    EXPECT_EQ(ZELEngineClose(nullptr), ZEL_ERR_BADARG);
}

TEST(ZelEngine, VirusInfoReportsTheSizeNeeded) {
    testsupport::TempDir dir;
    int32_t error;
    ZELHANDLE engine = ZELEngineInit(MakeSet(dir).c_str(), "", 0, 0, 0, &error);
    ASSERT_NE(engine, nullptr);
    ZELVIRUS virus = nullptr;
    ASSERT_EQ(ZELScanFile(engine, (kTestFiles + "clam.exe").c_str(), "exe", 0, &virus), 0);
    ASSERT_NE(virus, nullptr);
    char small[4];
    int32_t size = sizeof small;
    EXPECT_EQ(ZELGetVirusInfo(virus, ZEL_INFO_NAME, small, &size), ZEL_ERR_BUFFER);
    EXPECT_EQ(size, static_cast<int32_t>(sizeof "Zelorm.Test.Clam"));
    EXPECT_EQ(ZELGetVirusInfo(virus, 7, small, &size), ZEL_ERR_BADARG);
    ZELFreeVirusHandle(virus);
    ZELEngineClose(engine);
}

TEST(ZelEngine, ScansConcurrentlyOnOneHandle) {
    testsupport::TempDir dir;
    int32_t error;
    ZELHANDLE engine = ZELEngineInit(MakeSet(dir).c_str(), "", 0, 0, 0, &error);
    ASSERT_NE(engine, nullptr);
    ravtest::WriteFile(dir.Path("clean.txt"), "nothing\n");
    std::vector<std::thread> threads;
    std::vector<int> hits(6, 0);
    for (int t = 0; t < 6; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 20; ++i) {
                bool infected = (i + t) % 2 == 0;
                Finding f = Scan(engine, infected ? kTestFiles + "clam.exe" : dir.Path("clean.txt"));
                if (f.rc == 0 && (f.name == "Zelorm.Test.Clam") == infected) ++hits[t];
            }
        });
    }
    for (auto& t : threads) t.join();
    for (int h : hits) EXPECT_EQ(h, 20);
    ZELEngineClose(engine);
}

TEST(ZelEngine, TheTableCarriesEveryFunction) {
    ZelEngineApi api{};
    ASSERT_EQ(ZELGetEngineApi(&api), 0);
    EXPECT_EQ(api.ScanFile, &ZELScanFile);
    EXPECT_EQ(api.RepairFile, &ZELRepairFile);
    EXPECT_EQ(api.GetVirusDBInfoEx, &ZELGetVirusDBInfoEx);
    EXPECT_EQ(ZELGetEngineApi(nullptr), ZEL_ERR_BADARG);
}

}  // namespace
