// The service exports of libBramlet.so: install, start, stop and remove the
// gateway's service through the platform's service manager (a systemd unit).
//
//   InstallService      write the unit, or repoint an installed one
//   StartZELGWService   ask the service manager to start it
//   StopService         ask it to stop and wait, bounded, until it has
//   UninstallService    stop as StopService, then remove the unit
//   UninstInitialize    UninstallService, then RemoveSharedDefs
//   UninstUnInitialize  nothing
//
// Bad input: a null or empty program path gives 87 before anything is
// looked at; the platform refuses a relative path (EINVAL). A unit of the
// service's name that this product did not write is never changed or
// removed (EPERM).
#include <errno.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "install/bramlet/bramlet.h"
#include "platform/service_manager.h"
#include "platform/threads.h"

namespace {

// The unit is the one `zelorm -install` writes: unit names are
// case-sensitive here, so the service's name is the gateway's own spelling.
constexpr const char* kServiceName = "zelorm";
constexpr const char* kServiceDisplayName = "ZEL for Dozoruve 2.1";
// The result a setup program expects for a missing path.
constexpr int kInvalidParameter = 87;
// Looks at a stopping service, one a second.
constexpr int kStopLooks = 300;

// The instance's variables, handed to the service as `zelorm -install` does.
const char* const kInstanceVariables[] = {"ZELORM_REGISTRY", "ZELORM_LOCK_DIR", "ZELORM_EVENTLOG",
                                          "ZELORM_CODEPAGE"};

// Waits, one look a second, while the state can be read and is not stopped.
// The first look comes at once: a service that was not running costs no
// wait.
void waitForStop() {
    for (int look = 0; look < kStopLooks; ++look) {
        int state = 0;
        if (platform::QueryServiceState(kServiceName, state) != 0 ||
            state == platform::kServiceStopped)
            return;
        platform::SleepMilliseconds(1000);
    }
}

// Opens the manager and finds the service: 0, or the error (EPERM for a
// unit of the name that is not ours: it is not even asked to stop).
int openService() {
    int error = platform::CheckServiceUnitDirectory();
    if (error != 0)
        return error;
    return platform::ServiceOwned(kServiceName);
}

}  // namespace

int InstallService(const char* programPath) {
    if (programPath == nullptr || *programPath == '\0')
        return kInvalidParameter;
    int error = platform::CheckServiceUnitDirectory();
    if (error != 0)
        return error;
    platform::ServiceDefinition definition;
    definition.name = kServiceName;
    definition.displayName = kServiceDisplayName;
    definition.programPath = programPath;
    definition.automaticStart = true;
    error = platform::ServiceInstalled(kServiceName);
    if (error == 0)
        return platform::ReconfigureService(definition);
    if (error != ENOENT)
        return error;
    for (const char* name : kInstanceVariables) {
        const char* value = getenv(name);
        if (value != nullptr && *value != '\0')
            definition.environment.emplace_back(name, platform::AbsoluteToWorkingDirectory(value));
    }
    return platform::InstallService(definition);
}

int StartZELGWService(void) {
    int error = openService();
    if (error != 0)
        return error;
    return platform::StartService(kServiceName);
}

int StopService(void) {
    int error = openService();
    if (error != 0)
        return error;
    // Not running (ESRCH) or not reachable: the looks below tell.
    (void)platform::StopService(kServiceName);
    waitForStop();
    return 0;
}

int UninstallService(void) {
    int error = openService();
    if (error != 0)
        return error;
    (void)platform::StopService(kServiceName);
    waitForStop();
    // Removed whether or not it stopped, so the setup program can go on.
    return platform::DeleteService(kServiceName);
}

int UninstInitialize(void) {
    (void)UninstallService();
    RemoveSharedDefs();
    return 0;
}

int UninstUnInitialize(void) {
    return 0;
}
