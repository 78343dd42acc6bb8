// The scanner holder and the scan job against a scripted plug-in
// (libFakeWexlor.so, gateway/tests/fake_plugin): loading and its failures,
// level changes, definitions reloads and their record, the job's answers
// with and without a callback, counters, temporary names, a scanner that
// stopped and is started again, and jobs on many threads at once.
#include "gateway/scanner_manager.h"

#include <gtest/gtest.h>
#include <time.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "core/debug_log.h"
#include "core/vorn_buffer.h"
#include "gateway/scan_callback.h"
#include "gateway/scan_settings.h"
#include "gateway/tests/fake_plugin/fake_wexlor.h"
#include "gateway/tests/support/activity_lines.h"
#include "gateway/tests/support/spool_fixture.h"
#include "platform/shared_library.h"

namespace {

// The fake plug-in stays loaded for the whole test program, so its control
// block outlives every holder that loads and unloads it.
FakeWexlorControl* Control() {
    static void* library = platform::OpenSharedLibrary(ZELORM_FAKE_WEXLOR, nullptr);
    static auto get = reinterpret_cast<FakeWexlorGetControlFunc>(
        platform::SharedLibrarySymbol(library, FAKE_WEXLOR_CONTROL_NAME));
    return get ? get(0) : nullptr;
}

void ResetControl() {
    Control();
    void* library = platform::OpenSharedLibrary(ZELORM_FAKE_WEXLOR, nullptr);
    reinterpret_cast<FakeWexlorGetControlFunc>(
        platform::SharedLibrarySymbol(library, FAKE_WEXLOR_CONTROL_NAME))(1);
    platform::CloseSharedLibrary(library);
}

// Debug lines written while it lives.
class DebugCapture {
public:
    std::string Take() {
        CVornBuffer buffer;
        m_Sink.TakeText(buffer);
        CVornString text;
        buffer.TakeAll(text);
        return std::string(text.CStr(), text.Length());
    }

private:
    CVornLogSink m_Sink{kLogDebug};
};

class ScannerManagerTest : public spooltest::SpoolTest {
protected:
    void SetUp() override {
        SpoolTest::SetUp();
        ASSERT_NE(nullptr, Control()) << ZELORM_FAKE_WEXLOR;
        ResetControl();
        m_Holder = std::make_unique<CScannerManager>();
        m_Holder->SetLibraryPath(ZELORM_FAKE_WEXLOR);
        std::filesystem::create_directory(m_TempDir);
    }
    void TearDown() override {
        m_Holder.reset();
        EXPECT_EQ(0, Control()->liveObjects) << "an object of the plug-in was not released";
        WriteConfig({});
        LoadScanSettings();
        SpoolTest::TearDown();
    }

    bool Load(int level = 3) {
        return m_Holder->Load("ZELORM_20", Path("zelex15.inf").c_str(), m_TempDir.c_str(), level);
    }

    // Scans with a new job; the result (when any) is released.
    bool ScanOnce(CScanCallback* callback, int level = 3) {
        CScanJob* job = m_Holder->NewScanJob(callback);
        IScanResult* result = nullptr;
        bool ok = job->Scan(Path("body").c_str(), level, &result);
        if (result)
            result->Release();
        job->Delete();
        return ok;
    }

    std::string m_TempDir = Path("zeltemp");
    std::unique_ptr<CScannerManager> m_Holder;
};

TEST_F(ScannerManagerTest, LoadInitialisesTheScannerOnce) {
    ASSERT_TRUE(Load(2));
    EXPECT_EQ(1, Control()->initializeCalls);
    EXPECT_STREQ("ZELORM_20", Control()->lastApplicationId);
    EXPECT_EQ(Path("zelex15.inf"), Control()->lastEngineConfigPath);
    EXPECT_EQ(m_TempDir, Control()->lastTempDir);
    EXPECT_EQ(2, Control()->lastLevel);

    // A second load keeps the scanner and only stores the new values.
    EXPECT_TRUE(m_Holder->Load("ZELORM_20", "other.inf", Path("other").c_str(), 1));
    EXPECT_EQ(1, Control()->initializeCalls);
    EXPECT_EQ(1, m_Holder->GetHeuristicLevel());
    CScanJob* job = m_Holder->NewScanJob(nullptr);
    EXPECT_EQ(Path("other") + "/ZEL0000.htp", job->GetTempPath());
    job->Delete();
    EXPECT_EQ(1, Control()->liveObjects);  // the scanner, one reference
}

TEST_F(ScannerManagerTest, LoadFailuresAnswerFalseWithTheirDebugLine) {
    struct Case {
        const char* name;
        std::string library;
        int32_t getScanner;
        int32_t initialize;
        std::string line;
        bool scannerKept;
    };
    const Case cases[] = {
        {"no library", Path("missing.so"), 0, 0,
         "Error loading ZELAPI.  GetLastError() == " + Path("missing.so"), false},
        {"no entry point", "libc.so.6", 0, 0, "Failed to get entry point of Wexlor.", false},
        {"no scanner", ZELORM_FAKE_WEXLOR, WEXLOR_FAILED, 0, "WexlorGetScanner() failed.", false},
        {"no engine", ZELORM_FAKE_WEXLOR, 0, WEXLOR_DEFS_UNUSABLE,
         "IWexlorner::Initialize() failed.", true},
    };
    for (const Case& c : cases) {
        ResetControl();
        Control()->getScannerResult = c.getScanner;
        Control()->initializeResult = c.initialize;
        CScannerManager holder;
        holder.SetLibraryPath(c.library.c_str());
        DebugCapture debug;
        EXPECT_FALSE(holder.Load("ZELORM_20", "ini", m_TempDir.c_str(), 3)) << c.name;
        EXPECT_NE(std::string::npos, debug.Take().find(c.line)) << c.name;

        // A scanner whose engine did not start is kept: the next load
        // answers true without a second start, and its scans fail.
        EXPECT_EQ(c.scannerKept, holder.Load("ZELORM_20", "ini", m_TempDir.c_str(), 3)) << c.name;
        EXPECT_EQ(c.scannerKept ? 1 : 0, Control()->initializeCalls) << c.name;
        IDefsInfo* info = nullptr;
        EXPECT_EQ(c.scannerKept, holder.GetDefsInfo(&info)) << c.name;
        if (info)
            info->Release();
    }
}

TEST_F(ScannerManagerTest, LevelChangesGoToTheScannerOnly) {
    m_Holder->SetHeuristicLevel(1);  // no scanner yet: nothing to tell
    EXPECT_EQ(0, Control()->setLevelCalls);
    ASSERT_TRUE(Load(3));
    m_Holder->SetHeuristicLevel(1);
    EXPECT_EQ(1, Control()->lastLevel);
    m_Holder->SetHeuristicLevel(9);  // refused by the scanner, ignored here
    EXPECT_EQ(2, Control()->setLevelCalls);
    EXPECT_EQ(3, m_Holder->GetHeuristicLevel());
}

TEST_F(ScannerManagerTest, ReloadWritesARecordOnlyForNewDefinitions) {
    std::string day = gatewaytest::StartActivityDay(m_Dir, &m_Now);
    size_t read = 0;
    EXPECT_FALSE(m_Holder->ReloadDefsIfNewer());  // no scanner
    ASSERT_TRUE(Load());

    Control()->reloadResult = WEXLOR_DEFS_CURRENT;
    EXPECT_TRUE(m_Holder->ReloadDefsIfNewer());
    EXPECT_TRUE(gatewaytest::ReadActivityRecords(day, &read).empty());

    struct tm set = {};
    set.tm_year = 2001 - 1900;
    set.tm_mon = 2;
    set.tm_mday = 15;
    set.tm_isdst = -1;
    Control()->defsDate = static_cast<int64_t>(mktime(&set));
    Control()->defsRevision = 7;
    Control()->reloadResult = WEXLOR_OK;
    EXPECT_TRUE(m_Holder->ReloadDefsIfNewer());
    auto records = gatewaytest::ReadActivityRecords(day, &read);
    ASSERT_EQ(1u, records.size());
    EXPECT_EQ("3", records[0][1]);
    EXPECT_EQ("304", records[0][2]);
    EXPECT_EQ("1", records[0][3]);
    EXPECT_EQ("2001-03-15 (7)", records[0][1104]);

    // Without definitions facts the record still says that a set was loaded.
    Control()->defsInfoResult = WEXLOR_DEFS_UNUSABLE;
    EXPECT_TRUE(m_Holder->ReloadDefsIfNewer());
    records = gatewaytest::ReadActivityRecords(day, &read);
    ASSERT_EQ(1u, records.size());
    EXPECT_EQ("304", records[0][2]);
    EXPECT_EQ(0u, records[0].count(1104));
}

TEST_F(ScannerManagerTest, AFailedReloadStartsTheScannerAgain) {
    ASSERT_TRUE(Load());
    Events();
    // The reload fails and leaves the engine stopped; the new start fails
    // too, so scans fail (the mail waits).
    Control()->reloadResult = WEXLOR_DEFS_UNUSABLE;
    Control()->initializeResult = WEXLOR_DEFS_UNUSABLE;
    EXPECT_FALSE(m_Holder->ReloadDefsIfNewer());
    EXPECT_TRUE(HasEvent("1:M847"));
    EXPECT_EQ(2, Control()->initializeCalls);
    EXPECT_FALSE(ScanOnce(nullptr));
    EXPECT_EQ(2, Control()->initializeCalls) << "a new start is tried at most once a minute";

    // A minute later a scan starts the scanner again and runs.
    Control()->initializeResult = WEXLOR_OK;
    SetClock(m_Now + 61);
    EXPECT_TRUE(ScanOnce(nullptr));
    EXPECT_EQ(3, Control()->initializeCalls);
    EXPECT_TRUE(HasEvent("4:M828"));
    EXPECT_TRUE(ScanOnce(nullptr));
    EXPECT_EQ(3, Control()->initializeCalls);
}

TEST_F(ScannerManagerTest, AFailedReloadThatKeepsTheEngineChangesNothingElse) {
    ASSERT_TRUE(Load());
    Events();
    Control()->reloadResult = WEXLOR_DEFS_UNUSABLE;
    Control()->failedReloadStops = false;
    EXPECT_FALSE(m_Holder->ReloadDefsIfNewer());
    std::vector<std::string> events = Events();
    ASSERT_EQ(1u, events.size());
    EXPECT_EQ(0u, events[0].rfind("1:M847", 0)) << events[0];
    EXPECT_EQ(2, Control()->initializeCalls);  // refused: the engine runs
    EXPECT_TRUE(ScanOnce(nullptr));
}

// What a scan hook saw the job answer.
struct Answers {
    std::vector<int32_t> values;
    std::string deletedText;
};

void AskEverything(void* argument, const char*, int32_t, IScanCallback* callback,
                   FakeScanOutcome*) {
    auto* answers = static_cast<Answers*>(argument);
    char text[WEXLOR_TEXT_SIZE] = {};
    answers->values = {
        callback->ShouldScan("a.exe", 0),
        callback->ShouldScan("b.txt", 0),
        callback->OnVirusFound("a.exe", "/tmp/data", "Virus", 7, 0),
        callback->OnRepairFailed("a.exe", "/tmp/data", "Virus", 7, 0),
        callback->GetDeletedText("a.exe", "Virus", text, sizeof text),
        callback->FilterAttachment("c.vbs", 0),
        callback->GetBlockedText("c.vbs", text, sizeof text),
    };
}

TEST_F(ScannerManagerTest, AJobForwardsToItsCallbackOrAnswersForItself) {
    WriteConfig({"ZELORMRazoVidezSelect=1", "RazoVidezExcludeExt=txt",
                 "ZELORMStripAttachments=1", "ZELORMStripAttachmentsExtList=vbs"});
    LoadScanSettings();
    ASSERT_TRUE(Load());
    Answers answers;
    Control()->scanHook = AskEverything;
    Control()->scanHookArgument = &answers;

    // Without a callback: every object is scanned and counted; no text, and
    // 4 to the questions about texts and attachments.
    EXPECT_TRUE(ScanOnce(nullptr, 4));
    EXPECT_EQ(4, Control()->lastActionLevel);
    EXPECT_EQ((std::vector<int32_t>{0, 0, 0, 0, 4, 4, 4}), answers.values);
    EXPECT_EQ(2, m_Holder->GetObjectsChecked());

    // With a callback: its answers; a skipped object is not counted.
    CScanCallback callback(nullptr, m_Holder.get(), nullptr);
    EXPECT_TRUE(ScanOnce(&callback));
    EXPECT_EQ((std::vector<int32_t>{0, 1, 0, 0, 3, 4, 3}), answers.values);
    EXPECT_EQ(3, m_Holder->GetObjectsChecked());
    EXPECT_NE(nullptr, callback.GetDefsInfoObject());
}

void ThreeFindings(void*, const char*, int32_t, IScanCallback*, FakeScanOutcome* outcome) {
    outcome->itemCount = 3;
    for (int i = 0; i < 3; ++i) {
        outcome->items[i] = {{"a.exe", "mail"}, 2, "Virus", 7, i + 1};
    }
}

TEST_F(ScannerManagerTest, CountersFollowTheResultAndFailuresAnswerFalse) {
    ASSERT_TRUE(Load());
    Control()->scanHook = ThreeFindings;
    CScanJob* job = m_Holder->NewScanJob(nullptr);
    IScanResult* result = nullptr;
    ASSERT_TRUE(job->Scan(Path("body").c_str(), 3, &result));
    ASSERT_NE(nullptr, result);
    EXPECT_EQ(3, result->GetItemCount());  // the caller reads the result
    result->Release();
    job->Delete();
    EXPECT_EQ(3, m_Holder->GetFindings());
    EXPECT_EQ(1, m_Holder->GetRepaired());
    EXPECT_EQ(1, m_Holder->GetDeleted());

    // A failing scan answers false; a result handed back with it is the
    // caller's to release. A scan without a result answers false too.
    struct Case {
        int32_t code;
        bool makeResult;
    };
    for (Case c : {Case{WEXLOR_CANNOT_OPEN, true}, Case{WEXLOR_FAILED, false},
                   Case{WEXLOR_OK, false}}) {
        static Case s_Case;
        s_Case = c;
        Control()->scanHook = [](void*, const char*, int32_t, IScanCallback*,
                                 FakeScanOutcome* outcome) {
            outcome->code = s_Case.code;
            outcome->makeResult = s_Case.makeResult;
        };
        job = m_Holder->NewScanJob(nullptr);
        result = nullptr;
        EXPECT_FALSE(job->Scan(Path("body").c_str(), 3, &result)) << c.code;
        EXPECT_EQ(c.makeResult, result != nullptr) << c.code;
        if (result)
            result->Release();
        job->Delete();
    }
    EXPECT_EQ(3, m_Holder->GetFindings());
}

TEST_F(ScannerManagerTest, TemporaryNamesCountFromZeroAndTheirFilesGoWithTheJob) {
    CScanJob* first = m_Holder->NewScanJob(nullptr);  // works without a scanner
    ASSERT_TRUE(Load());
    CScanJob* second = m_Holder->NewScanJob(nullptr);
    EXPECT_STREQ("", first->GetTempPath()) << "no directory yet: no path";
    EXPECT_EQ(m_TempDir + "/ZEL0001.htp", second->GetTempPath());
    IScanResult* result = nullptr;
    EXPECT_FALSE(first->Scan(Path("body").c_str(), 3, &result)) << "made before the scanner";
    EXPECT_EQ(nullptr, result);

    testsupport::WriteWhole(second->GetTempPath(), "left by the plug-in");
    std::string path = second->GetTempPath();
    second->Delete();
    first->Delete();
    EXPECT_FALSE(std::filesystem::exists(path));
}

void OneDeleted(void*, const char*, int32_t, IScanCallback* callback, FakeScanOutcome* outcome) {
    callback->ShouldScan("a.exe", 0);
    outcome->itemCount = 1;
    outcome->items[0] = {{"a.exe"}, 1, "Virus", 7, WEXLOR_STATUS_DELETED};
}

TEST_F(ScannerManagerTest, JobsOnManyThreadsShareTheScanner) {
    ASSERT_TRUE(Load());
    Control()->scanHook = OneDeleted;
    const int kThreads = 8;
    const int kJobs = 50;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([this] {
            for (int i = 0; i < kJobs; ++i) {
                CScanJob* job = m_Holder->NewScanJob(nullptr);
                IScanResult* result = nullptr;
                EXPECT_TRUE(job->Scan("body", 3, &result));
                if (result)
                    result->Release();
                job->Delete();
            }
        });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(1, Control()->liveObjects);  // only the holder's scanner
    EXPECT_EQ(kThreads * kJobs, m_Holder->GetFindings());
    EXPECT_EQ(kThreads * kJobs, m_Holder->GetDeleted());
    EXPECT_EQ(kThreads * kJobs, m_Holder->GetObjectsChecked());
    CScanJob* job = m_Holder->NewScanJob(nullptr);
    char expected[32];
    snprintf(expected, sizeof expected, "/ZEL%04u.htp", kThreads * kJobs);
    EXPECT_EQ(m_TempDir + expected, job->GetTempPath());
    job->Delete();
}

}  // namespace
