// Start-up and shutdown of the gateway service: every long-lived object of
// the service is built here in a fixed order, held in a global of this
// module, and deleted only by ServiceStop.
//
//   ServiceStart          build and start everything; 0 complete, 1 stopped at a failure
//   ServiceStop           stop and delete whatever exists, then set the stop event
//   WaitForStopEvent      wait until ServiceStop has run
//   StartupKeepsServing   after a failed start-up: whether a server still answers
//   ReadServicePaths      the bootstrap paths from the registry, with defaults
//   PrepareDataDirectory  create a missing default directory privately
//   ReadHttpPort          "HTTPPort" of the registry (8003 by default)
//   ReadHttpIncoming      "HTTPIncoming" of the system object (5 by default)
//   ReadHeuristicLevel    "ZELORMRazoVidezTracerra" of the system object (3)
//
// Concurrency: ServiceStart and ServiceStop never overlap. Both take the
// service lock for their whole run, so a stop that arrives while start-up
// still runs waits until start-up has returned, and two stops run one after
// the other. The globals are written only under that lock; other modules
// get the objects handed to them and never read the globals.
//
// Bad input: registry values that cannot be read take their defaults; a
// configuration that does not load stops start-up (event 578), and so does
// a scanner plug-in that does not load (event 578: SMTP never listens
// without a scanner); a spool directory that every user may write stops it
// too (event 820).
#pragma once

#include <atomic>

#include "core/vorn_event.h"
#include "core/vorn_string.h"

class CVornConfigStore;
class CMessageQueue;
class SMTP;
class POP3;
class CVornHTTPServer;
class CQuarantineForwarder;
class CScannerManager;
class CUpdateScheduler;

// The directory the bootstrap paths default to when the registry has no
// value: private to the service (created mode 0700 when missing), never a
// world-writable place such as /tmp.
inline constexpr const char* kDefaultDataDirectory = "/var/lib/zelorm";
// An empty reservation in the spool older than this (the time-out of one
// SMTP data line) belongs to no live session; recovery removes it. A live
// session holds its message's lock, which recovery never takes from it.
inline constexpr int kAbandonedReservationSeconds = 600;

// The bootstrap paths of the service.
struct ServicePaths {
    CVornString m_InstallDir;        // "InstallDir": web folders, "vendor" folder
    CVornString m_MailDir;           // "MailDir": the spool and temporary files
    CVornString m_LocalDir;          // "LocalDir": "local-config", the engine file
    CVornString m_LogDir;            // "LogDir": the daily activity log files
    CVornString m_SharedConfigFile;  // "SharedConfigFile" of the maker's key
    CVornString m_LocalConfigFile;   // LocalDir/local-config
    CVornString m_VendorConfigFile;  // InstallDir/vendor/vendor-config
    CVornString m_EngineConfigFile;  // LocalDir/zelex15.inf
    CVornString m_ScanTempDir;       // MailDir/zeltemp
    // Which of the four directories took the default (the registry had no
    // value), in the order above.
    bool m_Defaulted[4] = {false, false, false, false};
};

// Objects of the service (null until start-up made them, null again after
// ServiceStop deleted them).
extern CVornConfigStore* g_ConfigStore;
// The spool's queues "fastq" (new mail) and "slowq" (retries).
extern CMessageQueue* g_FastQueue;
extern CMessageQueue* g_SlowQueue;
extern SMTP* g_SMTPServer;
// The POP3 server: start-up never makes one. When it is set (before
// ServiceStart), start-up hands it to the administration and starts it
// before SMTP; ServiceStop stops it after SMTP and deletes it.
extern POP3* g_POP3Server;
// The web server "ZELORMHTTP" with the web administration's URL prefixes.
extern CVornHTTPServer* g_WebServer;
// The quarantine forwarder "fwdq" in MailDir (its thread runs from start-up).
extern CQuarantineForwarder* g_QuarantineForwarder;

// The scanner holder (libWexlor.so loaded for kScannerApplicationId).
// Atomic, as is the scheduler: the web administration's workers read both
// while start-up, which begins serving the web before the scanner loads,
// may still set them.
extern std::atomic<CScannerManager*> g_ScannerManager;
// The definition-update scheduler for the settings "ZELORMKB..." (its
// thread runs from start-up; made only once the scanner has loaded).
extern std::atomic<CUpdateScheduler*> g_UpdateScheduler;
// The application the scanner's definitions are kept for.
inline constexpr const char* kScannerApplicationId = "ZELORM_20";
// Set by ServiceStop as its last step. Never destroyed: the service shell's
// threads may still touch it while the process ends.
extern CVornEvent& g_ServiceStopEvent;

// Builds the service. 0 when every step ran; 1 when start-up stopped at a
// failure (logged as an error event). Nothing made before a failure is
// undone here: ServiceStop deletes it. Runs once per process; called by the
// service shell on its main thread.
int ServiceStart();

// Stops and deletes every object of the service in the order that lets each
// thread end before what it uses is deleted, logs event 577, closes the
// activity log, stops the library's clock and sets g_ServiceStopEvent.
// Always 0. May run again: every step skips what is already gone.
int ServiceStop();

// Waits without limit until g_ServiceStopEvent is set.
void WaitForStopEvent();

// True when the last ServiceStart failed after a server had started
// listening (the administration may then still be used to mend what
// failed). False when it failed before any server listened, and after a
// complete start-up.
bool StartupKeepsServing();

// Reads the bootstrap values ("InstallDir", "MailDir", "LocalDir", "LogDir"
// under the product key, "SharedConfigFile" under the maker's key), each
// with its default, and forms the derived paths. Reports each value that
// cannot be read (the registry's own events).
void ReadServicePaths(ServicePaths& paths);

// Creates directory with mode 0700 when it is missing (its parent must
// exist). True when it exists as a directory afterwards.
bool PrepareDataDirectory(const char* directory);

// True when directory exists and every user may write to it.
bool IsWorldWritable(const char* directory);

// The web server's port: the low 16 bits of the registry value "HTTPPort"
// (a number value, or a text read as a decimal number); 8003 when the value
// is missing or its low 16 bits are 0.
int ReadHttpPort();

// The web server's connection workers: the system setting "HTTPIncoming";
// 5 when missing or below 1. REQUIRES: the configuration store is loaded.
int ReadHttpIncoming();

// The scanner's heuristic level: the system setting
// "ZELORMRazoVidezTracerra" as an integer, 3 when missing.
int ReadHeuristicLevel();
