// libBramlet.so: the installer helper library. A setup program loads it
// (dlopen) and calls these seventeen C functions while it installs,
// upgrades or removes the gateway: they do what a setup script cannot do
// well by itself.
//
//   PortTaken             whether a TCP port cannot be listened on
//   StopService           stop the gateway's service, waiting for it
//   UninstInitialize      remove the service, then the gateway's definitions use
//   UninstUnInitialize    nothing (0)
//   CreateZELGWMutex      take the install mutex "ZELGW_INSTALL_MUTEX"
//   CreateProcessAndWait  run a command line (no shell) and read its exit code
//   DoPostDefUpdate       install the initial definitions, register both ids
//   DoPreDefUpdate        prepare the initial definitions' download directory
//   GetDateTimeAsNumber   seconds since 1970
//   InstallService        install the service, or point an installed one at a program
//   LaunchApplication     run a command line (no shell), optionally silenced
//   ReleaseZELGWMutex     give the install mutex up
//   RemoveSharedDefs      take the gateway's ids out of the definitions store
//   StartZELGWService     start the service
//   StrCaseCompare        strcmp, as -1, 0 or 1
//   UninstallService      stop and remove the service
//   UserIsAdmin           whether the process has administrator rights
//
// The service is the systemd unit "zelorm.service" in $ZELORM_UNIT_DIR (else
// /etc/systemd/system), the same unit `zelorm -install` writes; start, stop
// and state requests go to systemctl, or the program named by
// $ZELORM_SYSTEMCTL. Error results of the service functions are errno
// values (ENOENT: not installed; ENOTCONN: no service manager; EPERM: a unit
// of that name that this product did not write, which is never changed or
// removed). The definitions store is found through the registry file
// ($ZELORM_REGISTRY) when the library is loaded.
//
// A command line is split into words as Windows programs split theirs
// (blanks separate, double quotes group, backslashes escape a quote) and
// run directly, never through a shell; the first word is the program, looked
// up in $PATH when it holds no '/'. Lines over 32767 bytes are refused.
//
// Threads: one setup thread calls these; none takes a lock. The install
// mutex belongs to the thread that created it.
#pragma once

#include <stdint.h>

#define BRAMLET_EXPORT extern "C" __attribute__((visibility("default")))

// The size of DoPreDefUpdate's output buffer, with its NUL.
#define BRAMLET_PATH_SIZE 260

// 1 when no listening TCP socket can be set up on port (any local address),
// 0 when one can; the test socket is closed again before the return. A port
// outside 1-65535 gives 1: nothing can listen on it by that number.
BRAMLET_EXPORT int PortTaken(int port);

// Asks the service to stop, then looks at its state once a second until it
// has stopped, the state cannot be read, or 300 looks have passed. 0, or
// the error of finding the service (ENOENT, EPERM, ...).
BRAMLET_EXPORT int StopService(void);

// UninstallService, then RemoveSharedDefs; 0 whatever they gave.
BRAMLET_EXPORT int UninstInitialize(void);
// 0.
BRAMLET_EXPORT int UninstUnInitialize(void);

// Creates the cross-process mutex "ZELGW_INSTALL_MUTEX" owned by the calling
// thread. 0 created (and owned), -1 another holder has it (or this library
// holds it already: no second handle is made), 1 it could not be made.
BRAMLET_EXPORT int CreateZELGWMutex(void);
// Gives the mutex up. 0 when none is held, else 1 (the handle was closed).
BRAMLET_EXPORT int ReleaseZELGWMutex(void);

// Runs commandLine and waits for its end; its standard streams are ours.
// Non-zero when it ran and its exit code went into *exitCode (128 + the
// signal number for a program that a signal ended); 0 when it could not be
// started, or for a null or empty line or a null exitCode (nothing is run
// then and *exitCode is not written).
BRAMLET_EXPORT int CreateProcessAndWait(const char* commandLine, int* exitCode);

// Runs commandLine and waits for its end; when the low byte of hide is not
// 0 its standard input, output and error are /dev/null. Its exit code (128
// + the signal number when a signal ended it), or -1 when it could not be
// started.
BRAMLET_EXPORT int LaunchApplication(const char* commandLine, int hide);

// Prepares the initial definitions for "ZELORM_20": finds the store (or
// creates it at fallbackRoot, when given), installs a set waiting in
// INCOMING and makes a download directory, whose path goes into directory
// (BRAMLET_PATH_SIZE bytes, NUL-terminated). 0 ok, -1 failure (directory is
// then not written). A null directory returns 0 and does nothing.
BRAMLET_EXPORT int DoPreDefUpdate(char* directory, const char* fallbackRoot);
// Installs what was put into that directory (when it is newer than the
// newest set), moves "ZELORM_20" to the newest set and registers
// "ZELORM_UPDATE" on it too. 0 ok (also when there is no set at all), -1
// failure. Call after DoPreDefUpdate, within one load of the library.
BRAMLET_EXPORT int DoPostDefUpdate(void);
// Takes "ZELORM_20" and "ZELORM_UPDATE" out of the store; the last
// application to leave removes the store's sets and files (and only them).
BRAMLET_EXPORT void RemoveSharedDefs(void);

// time(NULL).
BRAMLET_EXPORT int64_t GetDateTimeAsNumber(void);

// Installs the service for the program at programPath (absolute), starting
// automatically, with the instance variables ZELORM_REGISTRY,
// ZELORM_LOCK_DIR, ZELORM_EVENTLOG and ZELORM_CODEPAGE of this process
// (made absolute); when it is installed already, gives it programPath, its
// display name and the automatic start and keeps the rest. 0; 87 for a null
// or empty path (nothing looked at); else an errno value (EINVAL for a
// relative path or one with a line end).
BRAMLET_EXPORT int InstallService(const char* programPath);

// Asks the service to start without waiting for it. 0, or an errno value.
BRAMLET_EXPORT int StartZELGWService(void);

// strcmp(a, b) as -1, 0 or 1 (case-sensitive, byte-wise); a null string
// sorts before every other.
BRAMLET_EXPORT int StrCaseCompare(const char* a, const char* b);

// Asks the service to stop, waits as StopService does, then removes its
// unit whether or not it stopped. 0, or an errno value.
BRAMLET_EXPORT int UninstallService(void);

// 0 when the process has the administrator's rights (effective user 0), -1
// when not.
BRAMLET_EXPORT int UserIsAdmin(void);
