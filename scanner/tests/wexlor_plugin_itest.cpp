// The plug-in as the gateway uses it: libWexlor.so loaded with dlopen from
// the program directory, its one entry point looked up by name, a scanner
// initialised on a definitions set made by the set maker (the EICAR string
// and the clamav-testfiles program), and mail messages built and read back
// with Python's email package. The repair paths run on the scanner object
// of wexlor_core with the real decomposition component and an engine that
// repairs (the real one repairs nothing).
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/tests/support/files.h"
#include "core/tests/support/scoped_env.h"
#include "core/tests/support/temp_dir.h"
#include "platform/file_ops.h"
#include "platform/registry.h"
#include "scanner/wexlor_components.h"
#include "scanner/wexlor_interface.h"
#include "scanner/wexlor_scanner.h"

namespace {

constexpr const char* kApp = "ZELORM_20";
constexpr const char* kClamName = "Zelorm.Test.ClamAV-TestFile";
constexpr const char* kEicarName = "Zelorm.Test.EICAR";
const std::string kTestFiles = "/usr/share/clamav-testfiles/";
const std::string kEicar = "X5O!P%@AP[4\\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*";

// Output of a shell command; the exit status into *status when given.
std::string RunCommand(const std::string& command, int* status = nullptr) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe)
        return out;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
    const int rc = pclose(pipe);
    if (status)
        *status = rc;
    return out;
}

std::string Quote(const std::string& text) {
    return "'" + text + "'";
}

// One leaf part of a message as Python's email package reads it.
struct MailPart {
    std::string type, name;
    int defects = 0;
    std::string data;
};

// Decodes the JSON string Python wrote (escapes of json.dumps only).
std::string FromJson(const std::string& json) {
    std::string out;
    for (size_t i = 1; i + 1 < json.size(); ++i) {
        if (json[i] != '\\') {
            out += json[i];
            continue;
        }
        const char c = json[++i];
        switch (c) {
            case 'n':
                out += '\n';
                break;
            case 'r':
                out += '\r';
                break;
            case 't':
                out += '\t';
                break;
            case 'b':
                out += '\b';
                break;
            case 'f':
                out += '\f';
                break;
            case 'u':
                out += static_cast<char>(strtol(json.substr(i + 1, 4).c_str(), nullptr, 16));
                i += 4;
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::vector<MailPart> PartsOf(const std::string& path) {
    std::vector<MailPart> parts;
    int status = -1;
    const std::string out = RunCommand(
        "python3 " ZELORM_SOURCE_DIR "/scanner/tests/plugin_mail.py parts " + Quote(path), &status);
    EXPECT_EQ(0, status) << out;
    size_t start = 0;
    while (start < out.size()) {
        size_t end = out.find('\n', start);
        if (end == std::string::npos)
            end = out.size();
        const std::string line = out.substr(start, end - start);
        start = end + 1;
        std::vector<std::string> fields;
        size_t from = 0;
        for (int f = 0; f < 3; ++f) {
            const size_t tab = line.find('\t', from);
            fields.push_back(line.substr(from, tab - from));
            from = tab + 1;
        }
        parts.push_back(
            {fields[0], fields[1], atoi(fields[2].c_str()), FromJson(line.substr(from))});
    }
    return parts;
}

std::vector<std::string> NamesOf(const std::vector<MailPart>& parts) {
    std::vector<std::string> names;
    for (const MailPart& p : parts) names.push_back(p.name);
    return names;
}

// The gateway's side of a scan, with answers the test sets.
class TestCallback final : public IScanCallback {
public:
    int32_t ShouldScan(const char*, int32_t) override { return WEXLOR_ANSWER_PROCESS; }
    int32_t OnVirusFound(const char*, const char*, const char*, int32_t, int32_t) override {
        ++found;
        return 0;
    }
    int32_t OnRepairFailed(const char*, const char*, const char*, int32_t, int32_t) override {
        return 0;
    }
    int32_t GetDeletedText(const char*, const char*, char* text, int32_t size) override {
        snprintf(text, static_cast<size_t>(size), "%s", deletedText.c_str());
        return deletedAnswer;
    }
    int32_t FilterAttachment(const char* name, int32_t) override {
        const std::string n = name;
        const bool blocked =
            !blockSuffix.empty() && n.size() >= blockSuffix.size() &&
            n.compare(n.size() - blockSuffix.size(), std::string::npos, blockSuffix) == 0;
        return blocked ? WEXLOR_ANSWER_BLOCK : 0;
    }
    int32_t GetBlockedText(const char*, char* text, int32_t size) override {
        snprintf(text, static_cast<size_t>(size), "%s", blockedText.c_str());
        return WEXLOR_ANSWER_REPLACE;
    }

    int32_t deletedAnswer = WEXLOR_ANSWER_REPLACE;
    std::string deletedText = "The attachment held a virus and was removed.\n";
    std::string blockSuffix;
    std::string blockedText = "The attachment was blocked.\n";
    std::atomic<int> found{0};
};

// A finding read out of a result.
struct Finding {
    std::vector<std::string> names;
    std::string virus;
    int32_t status;
};

std::vector<Finding> FindingsOf(IScanResult* result) {
    std::vector<Finding> findings;
    for (int32_t i = 0; i < result->GetItemCount(); ++i) {
        IVirusItem* item = nullptr;
        EXPECT_EQ(WEXLOR_OK, result->GetItem(static_cast<uint32_t>(i), &item));
        if (!item)
            continue;
        Finding f{{}, item->GetVirusName(), item->GetStatus()};
        for (int32_t n = 0; n < item->GetNameCount(); ++n)
            f.names.push_back(item->GetName(static_cast<uint32_t>(n)));
        findings.push_back(f);
        item->Release();
    }
    return findings;
}

// One store, one registry and one event log for the whole program: the
// plug-in reads the store's root once, when it is first used.
class PluginTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_Temp = new testsupport::TempDir("zelorm-plugin");
        s_Registry = new testsupport::ScopedEnv("ZELORM_REGISTRY", s_Temp->Path("registry.reg"));
        s_Events = new testsupport::ScopedEnv("ZELORM_EVENTLOG", s_Temp->Path("events.log"));
        testsupport::WriteWhole(s_Temp->Path("eicar.com"), kEicar);
        platform::MakeDirectory(s_Temp->Path("scan").c_str(), 0700);
        s_Date = 20261201;
        ASSERT_EQ(0, MakeSet({ZELORM_DEFS_DATA "/zelorm.ndb", ZELORM_DEFS_DATA "/zelorm.hdb"}));
        s_Library = dlopen(ZELORM_BIN_DIR "/libWexlor.so", RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(nullptr, s_Library) << dlerror();
        s_GetScanner = reinterpret_cast<WexlorGetScannerFunc>(dlsym(s_Library, WEXLOR_ENTRY_NAME));
        ASSERT_NE(nullptr, s_GetScanner);
    }
    static void TearDownTestSuite() {
        // The library stays loaded (the gateway unloads it at exit only).
        delete s_Events;
        delete s_Registry;
        delete s_Temp;
    }

    // Installs the next set with these signature files, dropping the
    // obsolete ones the set before carried; the set maker's exit status.
    static int MakeSet(const std::vector<std::string>& signatures,
                       const std::vector<std::string>& obsolete = {}) {
        std::string command = std::string(ZELORM_MKDEFSET) + " --date " + std::to_string(s_Date++) +
                              " --revision 1 --common-files " + Quote(s_Temp->Path("common"));
        for (const std::string& o : obsolete) command += " --obsolete " + Quote(o);
        for (const std::string& s : signatures) command += " " + Quote(s);
        int status = -1;
        const std::string out = RunCommand(command + " 2>&1", &status);
        EXPECT_EQ(0, status) << out;
        return status;
    }

    static IWexlorner* NewScanner() {
        void* out = nullptr;
        EXPECT_EQ(WEXLOR_OK, s_GetScanner(WEXLOR_IID_SCANNER, &out));
        return static_cast<IWexlorner*>(out);
    }
    static IWexlorner* Ready() {
        IWexlorner* scanner = NewScanner();
        EXPECT_EQ(WEXLOR_OK, scanner->Initialize(kApp, "", s_Temp->Path("scan").c_str(), 0));
        return scanner;
    }

    // A message in the test's directory with these attachments (NAME=PATH[=TYPE]).
    std::string Message(const std::string& name, const std::vector<std::string>& attachments) {
        const std::string path = m_Dir.Path(name);
        std::string command =
            "python3 " ZELORM_SOURCE_DIR "/scanner/tests/plugin_mail.py build " + Quote(path);
        for (const std::string& a : attachments) command += " " + Quote(a);
        int status = -1;
        const std::string out = RunCommand(command + " 2>&1", &status);
        EXPECT_EQ(0, status) << out;
        return path;
    }
    std::string File(const std::string& name, const std::string& bytes) {
        testsupport::WriteWhole(m_Dir.Path(name), bytes);
        return m_Dir.Path(name);
    }

    static inline testsupport::TempDir* s_Temp = nullptr;
    static inline testsupport::ScopedEnv* s_Registry = nullptr;
    static inline testsupport::ScopedEnv* s_Events = nullptr;
    static inline int s_Date = 0;
    static inline void* s_Library = nullptr;
    static inline WexlorGetScannerFunc s_GetScanner = nullptr;

    testsupport::TempDir m_Dir{"zelorm-plugin-case"};
};

TEST_F(PluginTest, ExportsOnlyItsEntryPointAndFindsItsLibrariesBesideItself) {
    const std::string library = ZELORM_BIN_DIR "/libWexlor.so";
    EXPECT_EQ("WexlorGetScanner\n",
              RunCommand("nm -D --defined-only " + Quote(library) + " | awk '{print $3}'"));
    const std::string dynamic = RunCommand("readelf -d " + Quote(library));
    EXPECT_NE(std::string::npos, dynamic.find("(RUNPATH)")) << dynamic;
    EXPECT_NE(std::string::npos, dynamic.find("Library runpath: [$ORIGIN]")) << dynamic;
    EXPECT_NE(std::string::npos, dynamic.find("[libZELAPI32.so]"));
    EXPECT_NE(std::string::npos, dynamic.find("[libRav2.so]"));

    void* out = &out;
    EXPECT_EQ(WEXLOR_NO_INTERFACE, s_GetScanner(3, &out));
    EXPECT_EQ(nullptr, out);
    EXPECT_EQ(WEXLOR_NO_INTERFACE, s_GetScanner(WEXLOR_IID_SCANNER, nullptr));
    for (int32_t id : {0, 1, 2}) {
        ASSERT_EQ(WEXLOR_OK, s_GetScanner(id, &out));
        EXPECT_EQ(0, static_cast<IWexlorner*>(out)->Release());
    }
}

TEST_F(PluginTest, InitialisesOnTheStoresSetAndReportsIt) {
    IWexlorner* scanner = Ready();
    EXPECT_EQ(WEXLOR_FAILED, scanner->Initialize(kApp, "", "", 0));
    IDefsInfo* info = nullptr;
    ASSERT_EQ(WEXLOR_OK, scanner->GetDefsInfo(&info));
    EXPECT_EQ(2u, info->GetVirusCount());
    EXPECT_NE(std::string::npos, std::string(info->GetDefsDir()).find("VirusDefs/2026"));
    EXPECT_EQ(1u, info->GetRevision());
    EXPECT_EQ(0, info->Release());

    IVirusItem* item = nullptr;
    ASSERT_EQ(WEXLOR_OK, scanner->ScanFile(s_Temp->Path("eicar.com").c_str(), 1, &item));
    ASSERT_NE(nullptr, item);
    EXPECT_STREQ(kEicarName, item->GetVirusName());
    EXPECT_EQ(WEXLOR_STATUS_LEFT, item->GetStatus()) << "the engine repairs nothing";
    EXPECT_NE(0, item->GetVirusId());
    EXPECT_EQ(0, item->Release());
    EXPECT_EQ(0, scanner->Release());

    // The last scanner closed the engine: a new one starts unready.
    scanner = NewScanner();
    EXPECT_EQ(WEXLOR_NOT_INITIALIZED,
              scanner->ScanFile(s_Temp->Path("eicar.com").c_str(), 0, &item));
    EXPECT_EQ(0, scanner->Release());
}

TEST_F(PluginTest, ScansGoOnWhileDefinitionsAreReloaded) {
    IWexlorner* scanner = Ready();
    const std::string message = Message("m.eml", {"eicar.com=" + s_Temp->Path("eicar.com")});
    std::atomic<bool> stop{false};
    std::atomic<int> failures{0}, scans{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            TestCallback callback;
            while (!stop) {
                if (t % 2 == 0) {
                    IVirusItem* item = nullptr;
                    const int32_t rc =
                        scanner->ScanFile(s_Temp->Path("eicar.com").c_str(), 0, &item);
                    if (rc != WEXLOR_OK || !item || strcmp(item->GetVirusName(), kEicarName) != 0)
                        ++failures;
                    if (item)
                        item->Release();
                } else {
                    IScanResult* result = nullptr;
                    const int32_t rc =
                        scanner->DecomposeAndScanEx(message.c_str(), 0, &callback, 0, &result, 0);
                    if (rc != WEXLOR_OK || !result || result->GetItemCount() != 1)
                        ++failures;
                    if (result)
                        result->Release();
                }
                ++scans;
            }
        });
    const std::vector<std::string> good = {ZELORM_DEFS_DATA "/zelorm.ndb",
                                           ZELORM_DEFS_DATA "/zelorm.hdb"};
    for (int round = 0; round < 2; ++round) {
        ASSERT_EQ(0, MakeSet(good));
        EXPECT_EQ(1, scanner->NewerDefsAvailable());
        EXPECT_EQ(WEXLOR_OK, scanner->ReloadDefs());
        EXPECT_EQ(WEXLOR_DEFS_CURRENT, scanner->ReloadDefs());
    }
    IDefsInfo* info = nullptr;
    ASSERT_EQ(WEXLOR_OK, scanner->GetDefsInfo(&info));
    const std::string goodDir = info->GetDefsDir();
    info->Release();

    // A newer set the engine cannot load: the old one keeps scanning.
    const std::string broken = File("broken.ndb", "Zelorm.Broken:0:*:not-hex\n");
    ASSERT_EQ(0, MakeSet({good[0], good[1], broken}));
    EXPECT_EQ(WEXLOR_FAILED, scanner->ReloadDefs());
    ASSERT_EQ(WEXLOR_OK, scanner->GetDefsInfo(&info));
    EXPECT_EQ(goodDir, info->GetDefsDir());
    info->Release();
    EXPECT_EQ(1, scanner->NewerDefsAvailable());
    const std::string events = testsupport::ReadWhole(s_Temp->Path("events.log"));
    EXPECT_NE(std::string::npos,
              events.find("\t\t1\t0x00000000\tWexlor: The virus engine could not be restarted"))
        << events;
    EXPECT_NE(std::string::npos, events.find("Scanning goes on with the definitions in")) << events;

    // A mended set after it is taken up again.
    ASSERT_EQ(0, MakeSet(good, {"broken.ndb"}));
    EXPECT_EQ(WEXLOR_OK, scanner->ReloadDefs());
    EXPECT_EQ(WEXLOR_OK, scanner->SetHeuristicLevel(1));
    stop = true;
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(0, failures.load());
    EXPECT_GT(scans.load(), 0);
    EXPECT_EQ(0, scanner->Release());
}

TEST_F(PluginTest, EachContainerAttachedToAMessageIsFound) {
    IWexlorner* scanner = Ready();
    const char* const samples[] = {"clam.zip",     "clam.tar.gz",          "clam.cab",
                                   "clam.arj",     "clam.exe.szdd",        "clam.tnef",
                                   "clam.exe.rtf", "clam.exe.mbox.base64", "clam.exe.mbox.uu",
                                   "clam.mail"};
    for (const char* sample : samples) {
        SCOPED_TRACE(sample);
        const std::string message = Message(std::string(sample) + ".eml",
                                            {std::string(sample) + "=" + kTestFiles + sample});
        TestCallback callback;
        IScanResult* result = nullptr;
        ASSERT_EQ(WEXLOR_OK,
                  scanner->DecomposeAndScanEx(message.c_str(), 0, &callback, 0, &result, 0));
        std::string seen;
        bool found = false;
        for (const Finding& f : FindingsOf(result)) {
            for (const std::string& n : f.names) seen += n + "<";
            seen += " " + f.virus + "; ";
            found |= f.virus == kClamName && !f.names.empty() && f.names.back() == sample;
        }
        EXPECT_TRUE(found) << seen;
        EXPECT_EQ(message, result->GetFileName());
        EXPECT_EQ(0, result->Release());
    }
    EXPECT_EQ(0, scanner->Release());
}

// What a message of a text body, an infected attachment and a clean one
// holds after a scan at each action level (the engine repairs nothing).
TEST_F(PluginTest, EachActionLevelLeavesTheMessageAsItSays) {
    IWexlorner* scanner = Ready();
    const std::string clean = File("clean.txt", "nothing to see\r\n");
    const std::string replacement = "The attachment held a virus and was removed.\r\n";
    struct Case {
        int32_t level;
        int32_t deletedAnswer;
        int32_t status;
        std::vector<std::string> names;  // leaf parts afterwards ("" the body)
    } cases[] = {
        {0, WEXLOR_ANSWER_REPLACE, WEXLOR_STATUS_LEFT, {"", "eicar.com", "clean.txt"}},
        {1, WEXLOR_ANSWER_REPLACE, WEXLOR_STATUS_LEFT, {"", "eicar.com", "clean.txt"}},
        {2, WEXLOR_ANSWER_REPLACE, WEXLOR_STATUS_DELETED, {"", "DELETED0.TXT", "clean.txt"}},
        {2, 0, WEXLOR_STATUS_DELETED, {"", "clean.txt"}},
        {3, 0, WEXLOR_STATUS_DELETED, {"", "clean.txt"}},
        {4, WEXLOR_ANSWER_REPLACE, WEXLOR_STATUS_DELETED, {"", "DELETED0.TXT", "clean.txt"}},
        {7, 0, WEXLOR_STATUS_DELETED, {"", "clean.txt"}},  // above 4 acts as 3
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("level " + std::to_string(c.level) + " answer " +
                     std::to_string(c.deletedAnswer));
        const std::string message = Message("m.eml", {"eicar.com=" + s_Temp->Path("eicar.com"),
                                                      "clean.txt=" + clean + "=text/plain"});
        const std::string original = testsupport::ReadWhole(message);
        TestCallback callback;
        callback.deletedAnswer = c.deletedAnswer;
        callback.deletedText = "The attachment held a virus and was removed.\n";
        IScanResult* result = nullptr;
        ASSERT_EQ(WEXLOR_OK,
                  scanner->DecomposeAndScanEx(message.c_str(), c.level, &callback, 0, &result, 0));
        const std::vector<Finding> findings = FindingsOf(result);
        ASSERT_EQ(1u, findings.size());
        EXPECT_EQ(kEicarName, findings[0].virus);
        EXPECT_EQ(std::vector<std::string>{"eicar.com"}, findings[0].names);
        EXPECT_EQ(c.status, findings[0].status);
        EXPECT_EQ(1, callback.found.load());

        // The input is never deleted or changed; a change is a new file.
        EXPECT_EQ(original, testsupport::ReadWhole(message));
        const std::string after = result->GetFileName();
        EXPECT_EQ(c.status == WEXLOR_STATUS_LEFT, after == message) << after;
        const std::vector<MailPart> parts = PartsOf(after);
        EXPECT_EQ(c.names, NamesOf(parts));
        for (const MailPart& p : parts) {
            EXPECT_EQ(0, p.defects) << p.name;
            if (p.name == "clean.txt") {
                EXPECT_EQ("nothing to see\r\n", p.data);
            }
            if (p.name == "eicar.com") {
                EXPECT_EQ(kEicar, p.data);
            }
            if (p.name == "DELETED0.TXT") {
                EXPECT_EQ("text/plain", p.type);
                EXPECT_EQ(replacement, p.data);
            }
        }
        EXPECT_EQ(0, result->Release());
        if (after != message)
            platform::RemovePath(after.c_str());
    }
    EXPECT_EQ(0, scanner->Release());
}

TEST_F(PluginTest, AnAttachmentBlockedByItsExtensionIsReplacedByTheBlockedText) {
    IWexlorner* scanner = Ready();
    const std::string message =
        Message("m.eml", {"report.exe=" + File("report.exe", "MZ harmless"),
                          "clean.txt=" + File("clean.txt", "text\r\n") + "=text/plain"});
    TestCallback callback;
    callback.blockSuffix = ".exe";
    callback.blockedText = "Blocked by the gateway.\n";

    // Only the filtering scans ask FilterAttachment.
    IScanResult* result = nullptr;
    ASSERT_EQ(WEXLOR_OK, scanner->DecomposeAndScan(message.c_str(), 3, &callback, 0, &result));
    EXPECT_EQ(0, result->GetItemCount());
    EXPECT_EQ(message, result->GetFileName());
    EXPECT_EQ(0, result->Release());

    ASSERT_EQ(WEXLOR_OK, scanner->DecomposeAndScanEx(message.c_str(), 3, &callback, 0, &result, 0));
    const std::vector<Finding> findings = FindingsOf(result);
    ASSERT_EQ(1u, findings.size());
    EXPECT_EQ("", findings[0].virus);
    EXPECT_EQ(std::vector<std::string>{"report.exe"}, findings[0].names);
    EXPECT_EQ(WEXLOR_STATUS_BLOCKED, findings[0].status);
    const std::vector<MailPart> parts = PartsOf(result->GetFileName());
    EXPECT_EQ((std::vector<std::string>{"", "DELETED0.TXT", "clean.txt"}), NamesOf(parts));
    ASSERT_EQ(3u, parts.size());
    EXPECT_EQ("text/plain", parts[1].type);
    EXPECT_EQ("Blocked by the gateway.\r\n", parts[1].data);
    EXPECT_EQ("text\r\n", parts[2].data);
    EXPECT_EQ(0, result->Release());
    EXPECT_EQ(0, scanner->Release());
}

// An engine that repairs: the real one, whose repair rewrites the file
// without the EICAR string.
int32_t RepairingRepair(ZELHANDLE, const char* path, const char*) {
    testsupport::WriteWhole(path, "repaired\r\n");
    return ZEL_OK;
}

TEST_F(PluginTest, ARepairingEngineRepairsUnlessTheLevelForbidsIt) {
    WexlorComponents components = LinkedWexlorComponents();
    components.engine.RepairFile = RepairingRepair;
    SetWexlorComponents(components);
    void* out = nullptr;
    ASSERT_EQ(WEXLOR_OK, (new CScanner)->QueryInterface(WEXLOR_IID_SCANNER, &out));
    IWexlorner* scanner = static_cast<IWexlorner*>(out);
    ASSERT_EQ(WEXLOR_OK, scanner->Initialize(kApp, "", s_Temp->Path("scan").c_str(), 0));

    struct Case {
        int32_t level;
        int32_t status;
        std::vector<std::string> names;
        std::string data;  // of the second part
    } cases[] = {
        {1, WEXLOR_STATUS_REPAIRED, {"", "eicar.com"}, "repaired\r\n"},
        {3, WEXLOR_STATUS_REPAIRED, {"", "eicar.com"}, "repaired\r\n"},
        {4, WEXLOR_STATUS_DELETED, {"", "DELETED0.TXT"}, "Removed.\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.level);
        const std::string message = Message("m.eml", {"eicar.com=" + s_Temp->Path("eicar.com")});
        TestCallback callback;
        callback.deletedText = "Removed.\n";
        IScanResult* result = nullptr;
        ASSERT_EQ(WEXLOR_OK,
                  scanner->DecomposeAndScanEx(message.c_str(), c.level, &callback, 0, &result, 0));
        const std::vector<Finding> findings = FindingsOf(result);
        ASSERT_EQ(1u, findings.size());
        EXPECT_EQ(c.status, findings[0].status);
        EXPECT_EQ(1, result->CountRepaired() + result->CountDeleted());
        const std::vector<MailPart> parts = PartsOf(result->GetFileName());
        EXPECT_EQ(c.names, NamesOf(parts));
        ASSERT_EQ(2u, parts.size());
        EXPECT_EQ(c.data, parts[1].data);
        EXPECT_EQ(0, result->Release());
    }
    EXPECT_EQ(0, scanner->Release());
}

}  // namespace
