// Real infected containers: each supported container yields the test
// program to the sink, where the virus engine finds it, and the engine does
// not report the container itself. The format libraries are loaded by file
// name from the build's program directory, as the scanner plug-in may load
// them; a format whose library is not built yet is skipped.

#include <set>
#include <gtest/gtest.h>

#include "core/tests/support/temp_dir.h"
#include "maker/rav_interfaces.h"
#include "maker/tests/support/recording_sink.h"
#include "maker/zel_engine.h"

namespace {

const std::string kTestFiles = "/usr/share/clamav-testfiles/";

TEST(Containers, EachSupportedContainerYieldsTheProgram) {
    testsupport::TempDir dir;
    std::string set = dir.Path("20260101.001");
    ravtest::RunCommand("mkdir -p " + set);
    std::string md5 = ravtest::RunCommand("md5sum " + kTestFiles + "clam.exe | cut -d' ' -f1");
    md5.pop_back();
    ravtest::WriteFile(set + "/test.hdb", md5 + ":544:Zelorm.Test.Clam\n");
    int32_t error;
    ZELHANDLE engine = ZELEngineInit(set.c_str(), "", 0, 0, 0, &error);
    ASSERT_NE(engine, nullptr);

    IRavel* ravel = nullptr;
    ASSERT_EQ(RavNewRavel(&ravel), 0);
    IRavEngine* id = nullptr;
    IRavEngine* mime = nullptr;
    RavNewIDEngine(&id);
    RavNewMimeEngine(&mime);
    ravel->AddEngine(id);
    ravel->AddEngine(mime);
    // The plug-in's order of engines.
    const char* const order[][3] = {{"Zip", "Zip", "Zip"}, {"LHA", "LHA", "LHA"},
                                    {"UUE", "UUE", "UUE"}, {"ARJ", "ARJ", "ARJ"},
                                    {"GZIP", "GZIP", "GZIP"}, {"TAR", "TAR", "TAR"},
                                    {"CAB", "Cab", "Cab"},  {"LZ", "LZ", "LZ"},
                                    {"RTF", "RTF", "RTF"},  {"TNEF", "TNEF", "RTF"}};
    std::vector<ravtest::LoadedEngine> loaded;
    std::set<std::string> present;
    for (const auto& o : order) {
        ravtest::LoadedEngine l = ravtest::LoadFormatEngine(o[0], o[1], o[2]);
        if (l.engine) {
            ravel->AddEngine(l.engine);
            present.insert(o[0]);
        }
        loaded.push_back(l);
    }
    ravel->SetTempDir(dir.Path("tmp").c_str());

    struct Case {
        const char* file;
        std::vector<const char*> needs;  // format libraries
        std::vector<int32_t> depths;     // of the objects the engine reports
    };
    const Case cases[] = {
        {"clam.zip", {"Zip"}, {1}},
        {"clam.tar.gz", {"GZIP", "TAR"}, {2}},
        {"clam.cab", {"CAB"}, {1}},
        {"clam.arj", {"ARJ"}, {1}},
        {"clam.exe.szdd", {"LZ"}, {1}},
        {"clam.tnef", {"TNEF"}, {1}},
        {"clam.exe.rtf", {"RTF"}, {1}},
        // libclamav always decodes uuencoded text (no option turns it off),
        // so the mail part that carries the block is reported beside the
        // member the UUE engine takes out of it.
        {"clam.exe.mbox.uu", {"UUE"}, {1, 2}},
        {"clam.exe.mbox.base64", {}, {1}},
        {"clam.mail", {}, {1}},
    };
    int walked = 0;
    for (const auto& [file, needs, depths] : cases) {
        bool ready = true;
        for (const char* n : needs) ready &= present.count(n) > 0;
        if (!ready) continue;
        ++walked;
        ravtest::RecordingSink sink;
        std::vector<int32_t> found;
        sink.inspect = [&](IRavObject* object, const std::string& dataFile, ravtest::Decision&) {
            ZELVIRUS virus = nullptr;
            EXPECT_EQ(ZELScanFile(engine, dataFile.c_str(), "", 0, &virus), 0);
            if (!virus) return;
            int32_t depth = -1;
            object->GetDepth(&depth);
            found.push_back(depth);
            ZELFreeVirusHandle(virus);
        };
        std::string path = kTestFiles + file;
        IRavObject* top = nullptr;
        ASSERT_EQ(RavNewFileObject(path.c_str(), file, &top), 0);
        uint16_t state;
        char newName[RAV_PATH_SIZE];
        EXPECT_EQ(ravel->Process(top, &sink, &state, newName, sizeof newName), 0) << file;
        RavDeleteFileObject(top);
        // Never the container itself (depth 0).
        EXPECT_EQ(found, depths) << file;
    }
    EXPECT_GE(walked, 2);
    ravel->RemoveEngines();
    RavDeleteRavel(ravel);
    RavDeleteIDEngine(id);
    RavDeleteMimeEngine(mime);
    for (ravtest::LoadedEngine& l : loaded)
        if (l.engine) l.remove(l.engine);
    ZELEngineClose(engine);
}

}  // namespace
