// The service shell: program entry, service commands, the service's life
// under the service manager, and the stop thread.
//
//   ZelormMain / ServiceEntry         the program and its command dispatch
//   ServiceMain / ServiceCtrlHandler  the service under systemd
//   ReportServiceStatus               notification-socket reports
//   ReportServiceError                the shell's own error events
//   CmdInstallService / CmdRemoveService / CmdDebugService   the commands
//   ConsoleCtrlHandler                Ctrl-C in debug mode
//   GetLastErrorText                  "<text> (0x<code>)"
//
// Bad input: an unknown command word prints the usage and tries to run as
// the service, which outside the service manager writes one error event and
// ends (exit 0). A level after "-debug" that is not a number is level 0.
#include "gateway/service_control.h"

#include <errno.h>
#include <locale.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <unistd.h>

#include <mutex>
#include <string>

#include "core/catalog_loader.h"
#include "core/debug_log.h"
#include "core/event_log.h"
#include "core/file_system.h"
#include "core/message_catalog.h"
#include "core/registry.h"
#include "core/threads.h"
#include "core/vorn_string.h"
#include "gateway/service_startup.h"
#include "net/network_library.h"
#include "platform/event_log.h"
#include "platform/service_manager.h"
#include "platform/stop_signals.h"

ServiceStatus g_ServiceStatus;
std::atomic<bool> g_ServiceStatusHandle{false};
std::atomic<unsigned char> g_DebugMode{0};
std::atomic<int> g_ServiceLastError{0};

namespace {

enum : int { kEventError = 1 };

// How long "-remove" waits for a stopping service (one query a second).
constexpr int kRemoveWaitSeconds = 120;

// The catalogues the program needs: file, header values, count, first number.
constexpr int kBaseHeader1 = 2, kBaseHeader2 = 9, kBaseCount = 883, kBaseFirst = 0;
constexpr int kProductHeader1 = 2, kProductHeader2 = 5, kProductCount = 34,
              kProductFirst = 2000000;

// Environment variables that locate an instance; "-install" hands those that
// are set to the service, so the service finds what the installer used.
const char* const kInstanceVariables[] = {"ZELORM_REGISTRY", "ZELORM_LOCK_DIR", "ZELORM_EVENTLOG",
                                          "ZELORM_CODEPAGE"};

// The shared buffer of the console commands' error texts.
char s_ErrorText[256];

// The check point of the next pending report.
int s_CheckPoint = 1;

// Guards the control handlers' runs against each other and against the end
// of the process: the stop thread runs one handler at a time under it, and
// the main thread takes it to mark the process as ending, after which stop
// requests are ignored. Never destroyed (the stop thread outlives main).
std::mutex& controlLock() {
    static std::mutex* lock = new std::mutex;
    return *lock;
}
bool s_Exiting = false;  // guarded by controlLock()
bool s_StopRan = false;  // guarded by controlLock()

void printLine(const char* format, const char* text) {
    printf(format, text);
    fflush(stdout);
}

// The stop thread: takes SIGINT and SIGTERM and hands each, in turn, to the
// handler of the mode.
unsigned stopThread(void*) {
    for (;;) {
        (void)platform::WaitForStopSignal();
        std::lock_guard<std::mutex> guard(controlLock());
        if (s_Exiting)
            continue;
        if (g_DebugMode.load() != 0)
            ConsoleCtrlHandler(kConsoleCtrlC);
        else
            ServiceCtrlHandler(kServiceControlStop);
        s_StopRan = true;
    }
    return 0;
}

bool startStopThread() { return StartThread(stopThread, nullptr, 0) == 0; }

// After WaitForStopEvent: no stop request runs any more from here on.
void markExiting() {
    std::lock_guard<std::mutex> guard(controlLock());
    s_Exiting = true;
}

// A start-up that failed before anything could serve ends the service at
// once, so the failure shows in the exit status and the service manager's
// state instead of a process that waits for nothing.
void stopAfterFailedStart() {
    LogEvent(821, kEventError);
    if (g_DebugMode.load() != 0) {
        fprintf(stderr, "%s: start-up failed; the event log says why.\n", kServiceName);
        fflush(stderr);
    }
    std::lock_guard<std::mutex> guard(controlLock());
    if (!s_StopRan) {
        ReportServiceStatus(platform::kServiceStopPending, 0, 0);
        ServiceStop();
        s_StopRan = true;
    }
    s_Exiting = true;
}

// Runs start-up and waits for its end; the exit code.
int runService() {
    int started = ServiceStart();
    if (started != 0 && !StartupKeepsServing())
        stopAfterFailedStart();
    else
        WaitForStopEvent();
    markExiting();
    return started == 0 ? kExitNormal : kExitStartupFailed;
}

}  // namespace

int ZelormMain(int argc, char** argv) {
    // Before any thread exists, so every thread inherits the blocked mask
    // and only the stop thread ever takes these signals.
    platform::BlockStopSignals();

    std::string executable = platform::ExecutablePath();
    const char* programPath = executable.empty() ? (argc > 0 ? argv[0] : kServiceName)
                                                 : executable.c_str();
    CVornMessageCatalog baseCatalog;
    CProductMessageCatalog productCatalog;
    CVornCatalogLoader loader;
    if (!loader.Load(baseCatalog, programPath, kProductRegistryKey, "InstallDir", "messages",
                     kBaseHeader1, kBaseHeader2, kBaseCount, kBaseFirst))
        return kExitNoCatalog;
    if (!loader.Load(productCatalog, programPath, kProductRegistryKey, "InstallDir", "tkmessages",
                     kProductHeader1, kProductHeader2, kProductCount, kProductFirst))
        return kExitNoCatalog;

    setlocale(LC_ALL, "");
    SetCatalogLanguage(baseCatalog.GetLocaleLanguage());

    // A language without installed web pages falls back to language 0: text
    // 2 of each language names its directory of pages.
    CVornString installDir;
    (void)GetProductRegValue(kProductRegistryKey, "InstallDir", installDir, true);
    CVornMessageCatalog chosen;
    CVornString languageDir(chosen.GetText(2) != nullptr ? chosen.GetText(2) : "");
    languageDir.ToLower();
    CVornString htmlDir, pagesDir;
    JoinPath(htmlDir, installDir.CStr(), "html");
    JoinPath(pagesDir, htmlDir.CStr(), languageDir.CStr());
    if (!FileExists(pagesDir.CStr(), false))
        SetCatalogLanguage(0);

    g_EventSourceName.Assign(kServiceEventSource);
    g_ShortProductName.Assign(kServiceShortProductName);
    (void)LibraryStartup();

    int code;
    try {
        code = ServiceEntry(argc, argv);
    } catch (...) {
        LibraryCleanup();
        return kExitFailure;
    }
    LibraryCleanup();
    return code;
}

int ServiceEntry(int argc, char** argv) {
    if (argc >= 2 && argv[1] != nullptr && (argv[1][0] == '-' || argv[1][0] == '/')) {
        const char* word = argv[1] + 1;
        // The console commands run no service: Ctrl-C ends them at once,
        // also while "-remove" waits for a stopping service.
        if (strcasecmp(word, "install") == 0) {
            platform::UnblockStopSignals();
            return CmdInstallService();
        }
        if (strcasecmp(word, "remove") == 0) {
            platform::UnblockStopSignals();
            return CmdRemoveService();
        }
        if (strcasecmp(word, "debug") == 0) {
            g_DebugMode.store(1);
            return CmdDebugService(argc, argv);
        }
    }
    printLine("%s -install      to install the service\n", kServiceName);
    printLine("%s -remove       to remove the service\n", kServiceName);
    printLine("%s -debug        to run as a console application\n", kServiceName);

    // Only the unit starts the program as the service; from a shell there
    // is no service manager to connect to.
    if (!platform::RunningAsService()) {
        int error = ENOTCONN;
        char text[80];
        snprintf(text, sizeof text, "StartServiceCtrlDispatcher failed (%d).", error);
        ReportServiceError(text, error);
        return kExitNormal;
    }
    return ServiceMain(argc, argv);
}

int ServiceMain(int, char**) {
    g_ServiceStatusHandle.store(true);
    g_ServiceStatus.m_ServiceType = 16;
    g_ServiceStatus.m_ServiceSpecificExitCode = 0;
    if (!startStopThread()) {
        ReportServiceError("StartThread", errno);
        return kExitFailure;
    }

    int code = kExitFailure;
    if (ReportServiceStatus(platform::kServiceRunning, 0, 0) != 0)
        code = runService();
    else
        markExiting();
    ReportServiceStatus(platform::kServiceStopped, g_ServiceLastError.load(), 0);
    return code;
}

void ServiceCtrlHandler(int control) {
    if (control == kServiceControlStop) {
        ReportServiceStatus(platform::kServiceStopPending, 0, 0);
        ServiceStop();
        return;
    }
    ReportServiceStatus(g_ServiceStatus.m_CurrentState, 0, 0);
}

int ReportServiceStatus(int state, int exitCode, int waitHint) {
    if (g_DebugMode.load() != 0)
        return 1;
    g_ServiceStatus.m_ControlsAccepted = state == platform::kServiceStartPending ? 0 : 1;
    g_ServiceStatus.m_CurrentState = state;
    g_ServiceStatus.m_Win32ExitCode = exitCode;
    g_ServiceStatus.m_WaitHint = waitHint;
    if (state == platform::kServiceRunning || state == platform::kServiceStopped)
        g_ServiceStatus.m_CheckPoint = 0;
    else
        g_ServiceStatus.m_CheckPoint = s_CheckPoint++;

    std::string report;
    switch (state) {
    case platform::kServiceRunning:
        report = "READY=1\nSTATUS=Running";
        break;
    case platform::kServiceStopPending:
        report = "STOPPING=1\nSTATUS=Stopping";
        break;
    case platform::kServiceStopped:
        report = "STATUS=Stopped";
        if (exitCode != 0)
            report += "\nERRNO=" + std::to_string(exitCode);
        break;
    default:
        report = "STATUS=Starting";
        break;
    }
    int error = platform::NotifyServiceManager(report);
    if (error != 0) {
        ReportServiceError("SetServiceStatus", error);
        return 0;
    }
    return 1;
}

void ReportServiceError(const char* text, int error) {
    if (g_DebugMode.load() != 0)
        return;
    g_ServiceLastError.store(error);
    char line[64];
    snprintf(line, sizeof line, "%s error: %d", kServiceName, error);
    std::string strings = std::string(line) + "\n" + (text != nullptr ? text : "");
    (void)platform::ReportEvent(kServiceEventSource, platform::kEventError, 0, strings.c_str(),
                                nullptr, 0);
}

int CmdInstallService() {
    std::string program = platform::ExecutablePath();
    if (program.empty()) {
        int error = errno;
        printf("Unable to install %s - %s\n", kServiceDisplayName,
               GetLastErrorText(error, s_ErrorText, sizeof s_ErrorText));
        fflush(stdout);
        return kExitFailure;
    }
    int error = platform::CheckServiceUnitDirectory();
    if (error != 0) {
        printLine("OpenSCManager failed - %s\n",
                  GetLastErrorText(error, s_ErrorText, sizeof s_ErrorText));
        return kExitFailure;
    }
    platform::ServiceDefinition definition;
    definition.name = kServiceName;
    definition.displayName = kServiceDisplayName;
    definition.programPath = program;
    for (const char* name : kInstanceVariables) {
        const char* value = getenv(name);
        if (value != nullptr && *value != '\0')
            definition.environment.emplace_back(name, platform::AbsoluteToWorkingDirectory(value));
    }
    error = platform::InstallService(definition);
    if (error != 0) {
        printLine("CreateService failed - %s\n",
                  GetLastErrorText(error, s_ErrorText, sizeof s_ErrorText));
        return kExitFailure;
    }
    printLine("%s installed.\n", kServiceDisplayName);
    return kExitNormal;
}

int CmdRemoveService() {
    int error = platform::CheckServiceUnitDirectory();
    if (error != 0) {
        printLine("OpenSCManager failed - %s\n",
                  GetLastErrorText(error, s_ErrorText, sizeof s_ErrorText));
        return kExitFailure;
    }
    error = platform::ServiceInstalled(kServiceName);
    if (error != 0) {
        printLine("OpenService failed - %s\n",
                  GetLastErrorText(error, s_ErrorText, sizeof s_ErrorText));
        return kExitFailure;
    }
    if (platform::StopService(kServiceName) == 0) {
        printLine("Stopping %s.", kServiceDisplayName);
        int state = platform::kServiceStopPending;
        for (int waited = 0; waited < kRemoveWaitSeconds; ++waited) {
            SleepSeconds(1);
            if (platform::QueryServiceState(kServiceName, state) != 0 ||
                state != platform::kServiceStopPending)
                break;
            printLine("%s", ".");
        }
        if (state == platform::kServiceStopped)
            printLine("\n%s stopped.\n", kServiceDisplayName);
        else
            printLine("\n%s failed to stop.\n", kServiceDisplayName);
    }
    error = platform::DeleteService(kServiceName);
    if (error != 0) {
        printLine("DeleteService failed - %s\n",
                  GetLastErrorText(error, s_ErrorText, sizeof s_ErrorText));
        return kExitFailure;
    }
    printLine("%s removed.\n", kServiceDisplayName);
    return kExitNormal;
}

int CmdDebugService(int argc, char** argv) {
    printLine("Debugging %s.\n", kServiceDisplayName);
    if (argc < 3) {
        printLine("%s", "Not sending any debug info to console\n");
    } else {
        int level = atoi(argv[2]);
        printf("Setting debug level to %d\n", level);
        fflush(stdout);
        SetConsoleLogLevel(level);
    }
    if (!startStopThread()) {
        fprintf(stderr, "%s: cannot take stop requests; not started.\n", kServiceName);
        return kExitFailure;
    }
    return runService();
}

bool ConsoleCtrlHandler(int type) {
    if (type != kConsoleCtrlC && type != kConsoleCtrlBreak)
        return false;
    printLine("Stopping %s.\n", kServiceDisplayName);
    ServiceStop();
    return true;
}

char* GetLastErrorText(int error, char* buffer, int size) {
    std::string text = platform::ServiceErrorText(error);
    if (text.empty() || size < static_cast<int>(text.size()) + 14) {
        buffer[0] = '\0';
        return buffer;
    }
    snprintf(buffer, static_cast<size_t>(size), "%s (0x%x)", text.c_str(),
             static_cast<unsigned>(error));
    return buffer;
}
