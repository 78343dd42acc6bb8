// Start-up and shutdown of the gateway service.
//
//   ServiceStart / ServiceStop   build / take down the service, in order
//   WaitForStopEvent             the service shell's wait for the end
//   StartupKeepsServing          whether a failed start-up left a server up
//   ReadServicePaths             registry bootstrap values and derived paths
//   PrepareDataDirectory         a missing default directory, made private
//   IsWorldWritable              the spool's safety check
//   ReadHttpPort / ReadHttpIncoming / ReadHeuristicLevel   values with defaults
//
// Start-up order (each later component adds its step at its place, marked
// below): start event; bootstrap paths; activity log; configuration paths;
// sender auto-lock cleanup; configuration store and its load; name-list
// thread; local store roots; spool queues "fastq" and "slowq" and the
// recovery of what a crash left in the spool; the SMTP
// server object; (filter objects); the web server "ZELORMHTTP" with the
// web administration (event 584) and its start on "HTTPPort" (event 578
// when it does not listen; from then on a failure keeps it serving); the
// scan temporary folder emptied; the scanner
// plug-in (event 578 and no SMTP when it does not load) and the scan
// settings; the update scheduler; the quarantine forwarder; POP3 start
// (only when a POP3 server was handed in; start-up makes none); SMTP
// start (its failure is an error event, and start-up is not complete); end
// event. Shutdown runs the reverse as ServiceStop says.
//
// Bad input: see service_startup.h. Registry values are trusted only as far
// as their bounds: a port keeps its low 16 bits, counts below 1 take their
// defaults.
#include "gateway/service_startup.h"

#include <stdlib.h>

#include <mutex>
#include <new>

#include "config/activity_log.h"
#include "config/config_store.h"
#include "core/debug_log.h"
#include "core/event_log.h"
#include "core/file_system.h"
#include "core/registry.h"
#include "core/threads.h"
#include "gateway/address_book.h"
#include "gateway/auto_lock.h"
#include "gateway/mail_users.h"
#include "gateway/pop3_server.h"
#include "gateway/quarantine_forwarder.h"
#include "gateway/scan_settings.h"
#include "gateway/scanner_manager.h"
#include "gateway/smtp_server.h"
#include "gateway/spool_queue.h"
#include "gateway/update_scheduler.h"
#include "net/http_server.h"
#include "net/network_library.h"
#include "platform/data_directory.h"
#include "platform/registry.h"
#include "webadmin/service_commands.h"
#include "webadmin/web_admin.h"

namespace {

enum : int { kEventError = 1, kEventInformation = 4 };

constexpr int kDefaultHttpPort = 8003;
constexpr int kDefaultHttpIncoming = 5;
constexpr int kDefaultHeuristicLevel = 3;

// The service lock: held by ServiceStart and ServiceStop for their whole
// run. Never destroyed (the shell's threads may still take it at exit).
std::mutex& serviceLock() {
    static std::mutex* lock = new std::mutex;
    return *lock;
}

// Written under the service lock, read by the shell after ServiceStart.
bool s_StartupKeepsServing = false;

}  // namespace

CVornConfigStore* g_ConfigStore = nullptr;
CMessageQueue* g_FastQueue = nullptr;
CMessageQueue* g_SlowQueue = nullptr;
SMTP* g_SMTPServer = nullptr;
POP3* g_POP3Server = nullptr;
CVornHTTPServer* g_WebServer = nullptr;
CQuarantineForwarder* g_QuarantineForwarder = nullptr;
std::atomic<CScannerManager*> g_ScannerManager{nullptr};
std::atomic<CUpdateScheduler*> g_UpdateScheduler{nullptr};
CVornEvent& g_ServiceStopEvent = *new CVornEvent;

namespace {

// value of the product key (or of the maker's key when product is null),
// else def. The registry reports what it could not read.
void readPath(const char* product, const char* name, const char* def, CVornString& out,
              bool* defaulted) {
    if (GetProductRegValue(product, name, out, true) != 0 || out.IsEmpty()) {
        out.Assign(def);
        if (defaulted != nullptr)
            *defaulted = true;
    }
}

}  // namespace

void ReadServicePaths(ServicePaths& paths) {
    readPath(kProductRegistryKey, "InstallDir", kDefaultDataDirectory, paths.m_InstallDir,
             &paths.m_Defaulted[0]);
    readPath(kProductRegistryKey, "MailDir", kDefaultDataDirectory, paths.m_MailDir,
             &paths.m_Defaulted[1]);
    readPath(kProductRegistryKey, "LocalDir", kDefaultDataDirectory, paths.m_LocalDir,
             &paths.m_Defaulted[2]);
    readPath(kProductRegistryKey, "LogDir", kDefaultDataDirectory, paths.m_LogDir,
             &paths.m_Defaulted[3]);
    CVornString sharedDefault;
    JoinPath(sharedDefault, kDefaultDataDirectory, "shared-config");
    readPath(nullptr, "SharedConfigFile", sharedDefault.CStr(), paths.m_SharedConfigFile, nullptr);

    JoinPath(paths.m_LocalConfigFile, paths.m_LocalDir.CStr(), "local-config");
    CVornString vendorDir;
    JoinPath(vendorDir, paths.m_InstallDir.CStr(), "vendor");
    JoinPath(paths.m_VendorConfigFile, vendorDir.CStr(), "vendor-config");
    JoinPath(paths.m_EngineConfigFile, paths.m_LocalDir.CStr(), "zelex15.inf");
    JoinPath(paths.m_ScanTempDir, paths.m_MailDir.CStr(), "zeltemp");
}

bool PrepareDataDirectory(const char* directory) {
    return platform::MakePrivateDirectory(directory);
}

bool IsWorldWritable(const char* directory) { return platform::IsWorldWritable(directory); }

int ReadHttpPort() {
    platform::RegValue value;
    std::string key = std::string("HKEY_LOCAL_MACHINE\\") + kMakerRegistryKey + "\\" +
                      kProductRegistryKey;
    long number = 0;
    if (platform::RegQueryValue(key, "HTTPPort", value) == platform::kRegSuccess) {
        if (value.type == platform::kRegDword && value.data.size() == 4) {
            const unsigned char* b = reinterpret_cast<const unsigned char*>(value.data.data());
            number = static_cast<long>(b[0] | (b[1] << 8) | (b[2] << 16) |
                                       (static_cast<unsigned long>(b[3]) << 24));
        } else if (value.type == platform::kRegSz || value.type == platform::kRegExpandSz) {
            number = strtol(value.data.c_str(), nullptr, 10);
        }
    }
    int port = static_cast<int>(static_cast<unsigned long>(number) & 0xFFFFu);
    return port == 0 ? kDefaultHttpPort : port;
}

int ReadHttpIncoming() {
    CVornString value;
    if (CVornConfigStore::GetObjectSetting('S', nullptr, "HTTPIncoming", value) != 0)
        return kDefaultHttpIncoming;
    int n = value.ToInt();
    return n < 1 ? kDefaultHttpIncoming : n;
}

int ReadHeuristicLevel() {
    CVornString value;
    if (CVornConfigStore::GetObjectSetting('S', nullptr, "ZELORMRazoVidezTracerra", value) != 0)
        return kDefaultHeuristicLevel;
    return value.ToInt();
}

int ServiceStart() {
    std::lock_guard<std::mutex> guard(serviceLock());
    s_StartupKeepsServing = false;

    LogEvent(580, kEventInformation);

    ServicePaths paths;
    ReadServicePaths(paths);
    // The defaults stand for a private directory of the service, which a
    // fresh machine does not have yet.
    CVornString* directories[4] = {&paths.m_InstallDir, &paths.m_MailDir,
                                         &paths.m_LocalDir, &paths.m_LogDir};
    for (int i = 0; i < 4; ++i) {
        if (paths.m_Defaulted[i])
            PrepareDataDirectory(directories[i]->CStr());
    }
    // Spooled mail is private: a directory that anyone may write to would
    // let any local user replace or read it.
    if (IsWorldWritable(paths.m_MailDir.CStr())) {
        LogEventString(820, kEventError, paths.m_MailDir);
        return 1;
    }

    ActivityLogInit(paths.m_LogDir.CStr(), "ZELORMLogging");
    LogEvent(581, kEventInformation);

    // The owner of the sender auto-lock's trackers; without it (no memory)
    // the trackers simply live until the process ends.
    if (g_AutoLockCleanup == nullptr)
        g_AutoLockCleanup = new (std::nothrow) CAutoLockCleanup;

    g_ConfigStore = new (std::nothrow)
        CVornConfigStore(paths.m_SharedConfigFile.CStr(), paths.m_LocalConfigFile.CStr(),
                         paths.m_VendorConfigFile.CStr());
    if (g_ConfigStore == nullptr || CVornConfigStore::Load(0) != 0) {
        LogEvent(578, kEventError);
        return 1;
    }
    (void)StartThread(CVornConfigStore::NameListThread, nullptr, 0);

    // The local mail store and the address books stay idle in this system:
    // an empty directory leaves their roots as they are.
    SetMailRoot("");
    SetAddressBookRoot("");
    if (!PrepareSpoolDirectory(paths.m_MailDir.CStr())) {
        LogEventString(820, kEventError, paths.m_MailDir);
        return 1;
    }
    g_FastQueue = new (std::nothrow) CMessageQueue("fastq", paths.m_MailDir.CStr());
    g_SlowQueue = new (std::nothrow) CMessageQueue("slowq", paths.m_MailDir.CStr());
    if (g_FastQueue == nullptr || g_SlowQueue == nullptr)
        return 1;
    // What a crash left behind: envelopes no index names are queued again,
    // stale reservations go. A session holds a reservation at most this
    // long, so an older empty one is abandoned.
    (void)RecoverSpool(paths.m_MailDir.CStr(), *g_FastQueue, *g_SlowQueue,
                       kAbandonedReservationSeconds);
    // The SMTP server object; it listens only at the end of start-up.
    g_SMTPServer = new (std::nothrow)
        SMTP(nullptr, g_FastQueue, g_SlowQueue, paths.m_MailDir.CStr());
    // (later: SetFilterObjects)

    // The web server and the administration: its URL prefixes are
    // registered before it listens, so no request finds a half-made site.
    g_WebServer = new (std::nothrow) CVornHTTPServer("ZELORMHTTP", paths.m_MailDir.CStr());
    {
        CVornString htmlDir, imagesDir, docsDir;
        JoinPath(htmlDir, paths.m_InstallDir.CStr(), "html");
        JoinPath(imagesDir, paths.m_InstallDir.CStr(), "images");
        JoinPath(docsDir, paths.m_InstallDir.CStr(), "docs");
        InitWebAdmin(htmlDir.CStr(), imagesDir.CStr(), docsDir.CStr(), paths.m_MailDir.CStr(),
                     nullptr, nullptr, g_WebServer, g_SMTPServer, g_POP3Server, g_FastQueue);
    }
    LogEvent(584, kEventInformation);
    {
        const int workers = ReadHttpIncoming();
        const int port = ReadHttpPort();
        if (g_WebServer == nullptr ||
            !g_WebServer->Start(workers, 0,
                                CVornHostAddress(static_cast<uint32_t>(0),
                                                 static_cast<unsigned short>(port)))) {
            LogEvent(578, kEventError);
            return 1;
        }
    }
    // From here on the administration answers: a later failure leaves it
    // serving, so the operator can mend what failed.
    s_StartupKeepsServing = true;

    if (!g_LogSilent)
        LogText(kLogDebug, "Removing files from tempdir");
    (void)EmptyDir(paths.m_ScanTempDir.CStr());
    // The scanner writes its pieces there; a fresh spool has no such folder.
    (void)PrepareDataDirectory(paths.m_ScanTempDir.CStr());

    // The scanner: without it no mail may be taken in, so SMTP never
    // starts (the plug-in and its definitions must be mended first).
    {
        const int level = ReadHeuristicLevel();
        auto* scanner = new (std::nothrow) CScannerManager;
        if (scanner == nullptr ||
            !scanner->Load(kScannerApplicationId, paths.m_EngineConfigFile.CStr(),
                           paths.m_ScanTempDir.CStr(), level)) {
            LogEvent(578, kEventError);
            delete scanner;
            return 1;
        }
        g_ScannerManager = scanner;
    }
    LoadScanSettings();
    // The update scheduler: its thread checks the schedule from now on and
    // moves the scanner to newer definitions.
    g_UpdateScheduler = new (std::nothrow) CUpdateScheduler(kProductRegistryKey, g_ScannerManager);

    // The quarantine forwarder: packages left waiting by the last run are
    // read back from its index and sent again.
    g_QuarantineForwarder =
        new (std::nothrow) CQuarantineForwarder("fwdq", paths.m_MailDir.CStr());
    if (g_QuarantineForwarder != nullptr)
        g_QuarantineForwarder->Start();
    if (g_SMTPServer != nullptr)
        g_SMTPServer->SetScanner(g_ScannerManager, g_QuarantineForwarder);

    // Only when it exists (never in this system); a port it cannot take is
    // reported by the server framework and does not stop start-up.
    if (g_POP3Server != nullptr)
        (void)g_POP3Server->Start();

    // A gateway that cannot take mail has not started: the port may be
    // taken, and the operator must hear of it.
    if (g_SMTPServer == nullptr || !g_SMTPServer->Start()) {
        LogEvent(579, kEventError);
        return 1;
    }

    LogEvent(576, kEventInformation);
    s_StartupKeepsServing = false;
    return 0;
}

int ServiceStop() {
    std::lock_guard<std::mutex> guard(serviceLock());

    // Every thread ends before what it uses is deleted:
    // A debug stream holds its web worker until it sees this flag (within a
    // second), so the web server's stop below does not wait for it.
    StopDebugStreams();
    // SMTP::Stop ends the sessions and the delivery workers.
    if (g_SMTPServer != nullptr)
        g_SMTPServer->Stop();
    if (g_POP3Server != nullptr)
        (void)g_POP3Server->Stop();
    // The web server's workers end before anything they show is deleted.
    if (g_WebServer != nullptr)
        g_WebServer->Stop();
    // The mail users that no one holds any more are let go.
    CloseAllMailUsers();
    // The scheduler's thread reads the configuration, writes records and
    // reloads the scanner's definitions: it ends (a running launcher is
    // ended with it) before any of those goes.
    delete g_UpdateScheduler.exchange(nullptr);
    // The forwarder's thread reads the configuration and writes activity
    // records: it ends here, before either goes.
    delete g_QuarantineForwarder;
    g_QuarantineForwarder = nullptr;
    // No scan runs any more (the delivery workers ended with SMTP::Stop):
    // the holder releases the scanner and unloads the plug-in.
    delete g_ScannerManager.exchange(nullptr);
    delete g_SMTPServer;
    g_SMTPServer = nullptr;
    delete g_POP3Server;
    g_POP3Server = nullptr;
    delete g_WebServer;
    g_WebServer = nullptr;
    delete g_FastQueue;
    g_FastQueue = nullptr;
    delete g_SlowQueue;
    g_SlowQueue = nullptr;
    delete g_ConfigStore;
    g_ConfigStore = nullptr;
    delete g_AutoLockCleanup;
    g_AutoLockCleanup = nullptr;

    LogEvent(577, kEventInformation);
    ActivityLogClose();
    LibraryCleanup();
    g_ServiceStopEvent.Set();
    return 0;
}

void WaitForStopEvent() { g_ServiceStopEvent.Wait(); }

bool StartupKeepsServing() {
    std::lock_guard<std::mutex> guard(serviceLock());
    return s_StartupKeepsServing;
}
