// The service control manager, as the gateway's service shell needs it, on
// systemd: a service is a unit file, its control goes through systemctl,
// and a service process reports its state over the notification socket.
//
//   ServiceUnitDirectory      $ZELORM_UNIT_DIR, else /etc/systemd/system
//   ServiceUnitPath           the unit file of a service name
//   CheckServiceUnitDirectory whether the unit directory can be written
//   AbsoluteToWorkingDirectory a path made absolute for the service (which runs in "/")
//   RunningAsService          whether the unit started this process
//   ExecutablePath            the running program's full path
//   InstallService            write the unit file and enable it
//   ServiceInstalled          whether the unit file exists
//   ServiceOwned              whether it exists and was written here
//   ReconfigureService        change an installed service's program, name and start
//   StartService              ask an installed service to start
//   StopService               ask a running service to stop
//   QueryServiceState         the state of an installed service
//   DeleteService             remove the unit file and its enablement
//   NotifyServiceManager      one state report over $NOTIFY_SOCKET
//   ServiceErrorText          the system's text of an error number
//
// Errors are errno numbers (0 success): EEXIST a service of that name is
// installed, ENOENT none is, EPERM its unit file was not written here (an
// administrator's own unit of that name is never changed or removed), ENOTCONN no service manager answers (systemd
// does not run and no controller is named), EINVAL a bad name or path, EIO a
// controller that failed or gave an answer that cannot be read.
//
// Controller: start, stop and query requests run the program named by
// $ZELORM_SYSTEMCTL when it is set (tests name a recorded fake there), else
// "systemctl" when systemd runs (/run/systemd/system exists), else there is
// no controller and those requests give ENOTCONN. A controller run is
// bounded: it is killed after 30 s and counts as failed (EIO).
//
// Every function may be called from any thread; none keeps state.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace platform {

// The variable the unit sets, so the program knows it runs as the service
// (a program started from a shell never has it, whatever systemd does).
inline constexpr const char* kServiceEnvironmentVariable = "ZELORM_SERVICE";

// Service states, numbered as the Windows service states are.
enum : int {
    kServiceStopped = 1,
    kServiceStartPending = 2,
    kServiceStopPending = 3,
    kServiceRunning = 4,
};

struct ServiceDefinition {
    std::string name;         // the unit is "<name>.service"; [A-Za-z0-9_.-] only
    std::string displayName;  // the unit's Description (one line)
    std::string programPath;  // absolute path of the program the unit runs
    // Environment of the service beyond kServiceEnvironmentVariable (which
    // is always set): names and values of one line each.
    std::vector<std::pair<std::string, std::string>> environment;
    bool automaticStart = true;  // enabled for multi-user.target
};

std::string ServiceUnitDirectory();
// ServiceUnitDirectory() + "/" + name + ".service".
std::string ServiceUnitPath(const std::string& name);
// 0 when the unit directory exists and this process may write into it,
// else the errno of the check.
int CheckServiceUnitDirectory();
// path made absolute against the current directory (as it stands when it
// cannot be read): a value handed to the service, which runs in "/".
std::string AbsoluteToWorkingDirectory(const char* path);

// True when kServiceEnvironmentVariable is "1".
bool RunningAsService();

// The full path of the running program (/proc/self/exe); empty on failure.
std::string ExecutablePath();

// Writes the unit file (created exclusively, mode 0644, synced), and for an
// automatic start links it into "multi-user.target.wants" of the unit
// directory; then, when a controller exists, asks it to reload its units
// (a failing reload is not an error: the unit file is in place). EEXIST
// when the unit file exists, EINVAL for a bad name, a relative program path
// or a value with a line end; other errno values from the file system. A
// failed install leaves no unit file behind.
int InstallService(const ServiceDefinition& definition);

// 0 when the unit file exists, ENOENT when not, EINVAL for a bad name.
int ServiceInstalled(const std::string& name);

// 0 when the unit file exists and InstallService wrote it; ENOENT when it
// does not exist, EPERM when it is someone else's, EINVAL for a bad name.
int ServiceOwned(const std::string& name);

// Gives the installed service of definition.name the definition's program
// path, display name and automatic start (the enablement link made or
// removed); everything else of the unit, its environment too, stays as it
// is. The unit file is replaced atomically (a new file renamed over it), so
// it is never missing or half written. ENOENT when it is not installed,
// EPERM for a unit file that InstallService did not write, EINVAL as
// InstallService.
int ReconfigureService(const ServiceDefinition& definition);

// Asks the controller to start the installed service without waiting for it
// to report running. ENOENT when not installed, ENOTCONN without a
// controller, EIO when the controller refused.
int StartService(const std::string& name);

// Asks the controller to stop the service without waiting for it. 0 when
// the request was accepted (the service was active or activating); ESRCH
// when the service is not running; ENOTCONN without a controller; EIO when
// the controller failed.
int StopService(const std::string& name);

// The service's state (kService...) into state. ENOTCONN without a
// controller, EIO when it failed; state is unchanged on error.
int QueryServiceState(const std::string& name, int& state);

// Removes the enablement link and the unit file, then asks a controller, if
// any, to reload. ENOENT when the unit file does not exist, EPERM (nothing
// removed) when InstallService did not write it.
int DeleteService(const std::string& name);

// Sends one notification (for example "READY=1" or "STOPPING=1") to the
// socket named by $NOTIFY_SOCKET (a path, or "@name" for the abstract
// namespace). 0 when sent, and also when the variable is not set (there is
// nothing to tell); an errno value when the socket refused it.
int NotifyServiceManager(const std::string& state);

// strerror_r's text of error; "Unknown error N" for numbers it does not know.
std::string ServiceErrorText(int error);

}  // namespace platform
