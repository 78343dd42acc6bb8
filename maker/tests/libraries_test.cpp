// The shared libraries together, as the scanner plug-in uses them: the
// walker and its engines created through their entry points, the virus
// engine scanning what the sink is given, real infected messages, several
// walks at once, and only the entry points exported.

#include <gtest/gtest.h>

#include <set>
#include <sstream>
#include <thread>

#include "core/tests/support/temp_dir.h"
#include "maker/rav_interfaces.h"
#include "maker/tests/support/recording_sink.h"
#include "maker/zel_engine.h"

namespace {

const std::string kTestFiles = "/usr/share/clamav-testfiles/";

class LibrariesTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string set = m_Dir.Path("20260101.001");
        ravtest::RunCommand("mkdir -p " + set);
        std::string md5 = ravtest::RunCommand("md5sum " + kTestFiles + "clam.exe | cut -d' ' -f1");
        md5.pop_back();
        ravtest::WriteFile(set + "/test.hdb", md5 + ":544:Zelorm.Test.Clam\n");
        int32_t error = -1;
        m_Engine = ZELEngineInit(set.c_str(), "", 0, 0, 0, &error);
        ASSERT_NE(m_Engine, nullptr);
        ASSERT_EQ(RavNewRavel(&m_Ravel), 0);
        ASSERT_EQ(RavNewIDEngine(&m_Id), 0);
        ASSERT_EQ(RavNewMimeEngine(&m_Mime), 0);
        m_Ravel->AddEngine(m_Id);
        m_Ravel->AddEngine(m_Mime);
        m_Ravel->SetTempDir(m_Dir.Path("tmp").c_str());
    }
    void TearDown() override {
        if (m_Ravel) {
            m_Ravel->RemoveEngines();
            RavDeleteRavel(m_Ravel);
        }
        RavDeleteIDEngine(m_Id);
        RavDeleteMimeEngine(m_Mime);
        if (m_Engine) ZELEngineClose(m_Engine);
    }

    // Walks the file with a sink that scans every object below the top with
    // the engine; returns "object name: virus" for each finding.
    std::vector<std::string> ScanWalk(const std::string& path) {
        ravtest::RecordingSink sink;
        std::vector<std::string> findings;
        sink.inspect = [&](IRavObject* object, const std::string& dataFile, ravtest::Decision&) {
            ZELVIRUS virus = nullptr;
            EXPECT_EQ(ZELScanFile(m_Engine, dataFile.c_str(), "", 0, &virus), 0);
            if (!virus) return;
            char name[RAV_PATH_SIZE], vname[260];
            int32_t size = sizeof vname;
            object->GetName(name, sizeof name);
            ZELGetVirusInfo(virus, ZEL_INFO_NAME, vname, &size);
            findings.push_back(std::string(name) + ": " + vname);
            ZELFreeVirusHandle(virus);
        };
        IRavObject* file = nullptr;
        EXPECT_EQ(RavNewFileObject(path.c_str(), path.c_str(), &file), 0);
        uint16_t state = 99;
        char newName[RAV_PATH_SIZE];
        EXPECT_EQ(m_Ravel->Process(file, &sink, &state, newName, sizeof newName), 0);
        EXPECT_EQ(state, RAV_STATE_UNCHANGED);
        RavDeleteFileObject(file);
        return findings;
    }

    testsupport::TempDir m_Dir;
    ZELHANDLE m_Engine = nullptr;
    IRavel* m_Ravel = nullptr;
    IRavEngine* m_Id = nullptr;
    IRavEngine* m_Mime = nullptr;
};

TEST_F(LibrariesTest, RealInfectedMessagesYieldTheProgramToTheSink) {
    const std::pair<const char*, const char*> cases[] = {
        {"clam.mail", "clam.exe: Zelorm.Test.Clam"},
        {"clam.exe.mbox.base64", "clam.exe: Zelorm.Test.Clam"},
    };
    for (const auto& [file, finding] : cases)
        EXPECT_EQ(ScanWalk(kTestFiles + file), std::vector<std::string>{finding}) << file;
}

TEST_F(LibrariesTest, WalksRunConcurrentlyOnOneRavel) {
    std::vector<std::thread> threads;
    std::vector<int> good(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 5; ++i)
                if (ScanWalk(kTestFiles + "clam.mail").size() == 1) ++good[t];
        });
    }
    for (auto& t : threads) t.join();
    for (int g : good) EXPECT_EQ(g, 5);
}

TEST(Libraries, ExportOnlyTheirEntryPoints) {
    const std::string bin = ZELORM_BIN_DIR;
    const std::pair<const char*, std::set<std::string>> cases[] = {
        {"libZELAPI32.so",
         {"ZELEngineInit", "ZELEngineClose", "ZELScanFile", "ZELRepairFile", "ZELGetVirusInfo",
          "ZELFreeVirusHandle", "ZELGetVirusDefCount", "ZELGetVirusDBInfoEx", "ZELGetEngineApi"}},
        {"libRav2.so", {"RavNewRavel", "RavDeleteRavel", "RavNewFileObject", "RavDeleteFileObject"}},
        {"libRav2ID.so", {"RavNewIDEngine", "RavDeleteIDEngine"}},
        {"libRav2MIME.so", {"RavNewMimeEngine", "RavDeleteMimeEngine"}},
        {"libRav2SS.so", {"RavNewSSEngine", "RavDeleteSSEngine"}},
        {"libRav2AMG.so", {"RavNewAMGEngine", "RavDeleteAMGEngine"}},
    };
    for (const auto& [lib, want] : cases) {
        std::istringstream out(ravtest::RunCommand(
            "nm -D --defined-only " + bin + "/" + lib + " | awk '$2 ~ /^[TDBVW]$/ {print $3}'"));
        std::set<std::string> got;
        for (std::string line; std::getline(out, line);) got.insert(line);
        EXPECT_EQ(got, want) << lib;
        EXPECT_NE(ravtest::RunCommand("readelf -d " + bin + "/" + lib).find("[$ORIGIN]"),
                  std::string::npos)
            << lib;
    }
}

}  // namespace
