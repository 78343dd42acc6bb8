// The service shell of the gateway program: its entry, the commands that
// install, remove and debug the service, and the service's life under the
// service control manager (systemd, see platform/service_manager.h).
//
//   ZelormMain            the program: catalogues, language, library, ServiceEntry
//   ServiceEntry          "-install", "-remove", "-debug [level]", else the service
//   ServiceMain           report running, ServiceStart, wait for the stop
//   ServiceCtrlHandler    a control: STOP runs ServiceStop
//   ReportServiceStatus   one state report to the service manager
//   ReportServiceError    one error event of the shell
//   CmdInstallService     "-install": the unit written and enabled
//   CmdRemoveService      "-remove": stopped if running, unit deleted
//   CmdDebugService       "-debug": the service in the foreground
//   ConsoleCtrlHandler    Ctrl-C in debug mode: ServiceStop
//   GetLastErrorText      the system's text of an error number, with the number
//
// Stop requests (SIGINT, SIGTERM) are blocked in every thread from the start
// of ZelormMain and taken by one stop thread with sigwait; that thread runs
// the control handler (as a service) or the console handler (debug mode),
// one request at a time. ServiceStop waits for a start-up still running.
//
// Exit codes: 0 a normal end; 1 an exception escaped, or a console command
// failed; 2 a catalogue could not be loaded; 3 start-up failed.
#pragma once

#include <atomic>

// Fixed names of the shell.
inline constexpr const char* kServiceName = "zelorm";
inline constexpr const char* kServiceDisplayName = "ZEL for Dozoruve";
inline constexpr const char* kServiceEventSource = "Velmar RazoVidez for Dozoruve";
inline constexpr const char* kServiceShortProductName = "ZELGW";
// The version the service shows: SMTP greeting, received lines, the
// administration pages.
inline constexpr const char* kServiceVersionText = "2.1 bld 63";

enum : int {
    kExitNormal = 0,
    kExitFailure = 1,
    kExitNoCatalog = 2,
    kExitStartupFailed = 3,
};

// Control codes and console event types as the handlers know them.
enum : int { kServiceControlStop = 1, kServiceControlInterrogate = 4 };
enum : int { kConsoleCtrlC = 0, kConsoleCtrlBreak = 1 };

// The service status record: type (always 16, own process), current state
// (platform::kService...), controls accepted (1: STOP), exit code, the
// service's own exit code (always 0), check point, wait hint.
struct ServiceStatus {
    int m_ServiceType = 16;
    int m_CurrentState = 0;
    int m_ControlsAccepted = 0;
    int m_Win32ExitCode = 0;
    int m_ServiceSpecificExitCode = 0;
    int m_CheckPoint = 0;
    int m_WaitHint = 0;
};

// Written only by the service's main thread (running, stopped) and the stop
// thread (stop pending, re-reports), never at once (see ServiceMain).
extern ServiceStatus g_ServiceStatus;
// True once ServiceMain registered with the service manager.
extern std::atomic<bool> g_ServiceStatusHandle;
// 1 once "-debug" was recognised: status reports and error events of the
// shell are then skipped.
extern std::atomic<unsigned char> g_DebugMode;
// The last error ReportServiceError recorded; the exit code of the final
// STOPPED report.
extern std::atomic<int> g_ServiceLastError;

// The program's main function: returns its exit code.
int ZelormMain(int argc, char** argv);

// Dispatches the command line; returns the exit code.
int ServiceEntry(int argc, char** argv);

// The service's life under the service manager; returns the exit code.
int ServiceMain(int argc, char** argv);

void ServiceCtrlHandler(int control);

// Non-zero on success (also in debug mode and outside a service manager,
// where there is nothing to report to).
int ReportServiceStatus(int state, int exitCode, int waitHint);

// Outside debug mode: records error in g_ServiceLastError and writes one
// error event: "zelorm error: <error>" and then text.
void ReportServiceError(const char* text, int error);

// Each prints its one line of result; 0 on success, 1 on failure.
int CmdInstallService();
int CmdRemoveService();

// Runs the service in the foreground until a stop; the exit code.
int CmdDebugService(int argc, char** argv);

// True when the type was handled (Ctrl-C, Ctrl-Break).
bool ConsoleCtrlHandler(int type);

// buffer := "<system text> (0x<error in hex>)"; empty when the text does not
// fit with 14 bytes to spare. Returns buffer. REQUIRES: buffer holds size
// bytes, size >= 1.
char* GetLastErrorText(int error, char* buffer, int size);
