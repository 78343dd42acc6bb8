// The service control manager on systemd: unit files written and removed,
// controller requests through systemctl (or a named stand-in), and state
// reports over the notification socket.
//
//   ServiceUnitDirectory / ServiceUnitPath   where the unit file lies
//   RunningAsService                         the unit's marker variable is "1"
//   ExecutablePath                           /proc/self/exe
//   InstallService / DeleteService           write / remove the unit and its link
//   ReconfigureService                       rewrite the unit's program and name
//   StartService                             a controller request
//   ServiceInstalled                         the unit file exists
//   StopService / QueryServiceState          controller requests
//   NotifyServiceManager                     a datagram to $NOTIFY_SOCKET
//   ServiceErrorText                         strerror_r
//
// Bad input (a name outside [A-Za-z0-9_.-], a relative program path, a
// value holding a line end) gives EINVAL before anything is touched.
#include "platform/service_manager.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <stddef.h>

#include <algorithm>
#include <chrono>

#include "platform/child_process.h"
#include "platform/file_ops.h"

extern char** environ;

namespace platform {

namespace {

constexpr const char* kDefaultUnitDirectory = "/etc/systemd/system";
constexpr const char* kWantsDirectory = "multi-user.target.wants";
// A controller that has not finished in this time is killed.
constexpr int kControllerSeconds = 30;
// Bound on what a controller may print.
constexpr size_t kControllerOutputBound = 64 * 1024;

bool goodName(const std::string& name) {
    if (name.empty() || name.size() > 200 || name[0] == '.')
        return false;
    for (char c : name) {
        bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                  c == '_' || c == '.' || c == '-';
        if (!ok)
            return false;
    }
    return true;
}

bool oneLine(const std::string& text) {
    return text.find_first_of("\r\n", 0) == std::string::npos &&
           text.find('\0') == std::string::npos;
}

std::string unitName(const std::string& name) { return name + ".service"; }

std::string wantsLinkPath(const std::string& name) {
    return ServiceUnitDirectory() + "/" + kWantsDirectory + "/" + unitName(name);
}

// The controller program, or empty when there is none.
std::string controllerProgram() {
    const char* named = getenv("ZELORM_SYSTEMCTL");
    if (named != nullptr && *named != '\0')
        return named;
    struct stat st;
    if (stat("/run/systemd/system", &st) == 0 && S_ISDIR(st.st_mode))
        return "systemctl";
    return std::string();
}

// systemd's quoting of one word: inside double quotes, a backslash and a
// double quote are escaped and "%" is doubled (no specifier expansion); in
// ExecStart "$" is doubled too (no variable expansion), which Environment
// lines do not expand.
std::string quoteWord(const std::string& word, bool execLine) {
    std::string out = "\"";
    for (char c : word) {
        if (c == '\\' || c == '"')
            out += '\\';
        if (c == '%' || (execLine && c == '$'))
            out += c;
        out += c;
    }
    return out + "\"";
}

// Every unit file written here starts with this; a unit without it is an
// administrator's own and is left alone.
constexpr const char* kUnitMarker = "# Written by ";
// Longest unit file read back.
constexpr size_t kUnitBound = 64 * 1024;

// The unit file's text.
std::string unitText(const ServiceDefinition& d) {
    std::string text;
    text += kUnitMarker + d.name + " -install; removed by " + d.name + " -remove.\n";
    text += "[Unit]\n";
    text += "Description=" + d.displayName + "\n";
    text += "After=network-online.target\n";
    text += "Wants=network-online.target\n\n";
    text += "[Service]\n";
    // The program reports itself running over the notification socket
    // before it starts its work, as the service manager expects.
    text += "Type=notify\n";
    text += "NotifyAccess=main\n";
    text += "ExecStart=" + quoteWord(d.programPath, true) + "\n";
    text += "Environment=" + quoteWord(std::string(kServiceEnvironmentVariable) + "=1", false) + "\n";
    for (const auto& [name, value] : d.environment)
        text += "Environment=" + quoteWord(name + "=" + value, false) + "\n";
    text += "KillMode=mixed\n";
    text += "TimeoutStopSec=120\n";
    text += "UMask=0077\n\n";
    text += "[Install]\n";
    text += "WantedBy=multi-user.target\n";
    return text;
}

// Runs the controller with args; its standard output (at most the bound)
// into output when not null. The exit status (0 to 255), -ENOTCONN without
// a controller, -EIO when it could not be run, was killed or timed out.
int runController(const std::vector<std::string>& args, std::string* output) {
    std::string program = controllerProgram();
    if (program.empty())
        return -ENOTCONN;
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0)
        return -EIO;

    std::vector<char*> argv;
    argv.push_back(program.data());
    std::vector<std::string> copies(args);
    for (std::string& a : copies)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attr);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    // The controller starts with the ordinary signal mask and dispositions.
    SpawnWithOrdinarySignals(&attr, 0);
    pid_t pid = -1;
    int spawned = posix_spawnp(&pid, program.c_str(), &actions, &attr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    close(pipeFds[1]);
    if (spawned != 0) {
        close(pipeFds[0]);
        return -EIO;
    }

    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kControllerSeconds);
    bool timedOut = false;
    std::string text;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0) {
            timedOut = true;
            break;
        }
        struct pollfd p = {pipeFds[0], POLLIN, 0};
        int ready = poll(&p, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            continue;
        char buffer[4096];
        ssize_t n = read(pipeFds[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        size_t room = kControllerOutputBound - text.size();
        text.append(buffer, std::min(room, static_cast<size_t>(n)));
    }
    close(pipeFds[0]);
    if (timedOut)
        kill(pid, SIGKILL);
    int status = 0;
    // The output closed: the child is ending. Wait for it within what is
    // left of the bound, then kill it.
    for (;;) {
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid)
            break;
        if (r < 0 && errno != EINTR)
            return -EIO;
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            timedOut = true;
        }
        struct timespec pause = {0, 10 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
    if (timedOut || !WIFEXITED(status))
        return -EIO;
    if (output != nullptr)
        *output = text;
    return WEXITSTATUS(status);
}

std::string firstWord(const std::string& text) {
    size_t start = text.find_first_not_of(" \t\r\n");
    if (start == std::string::npos)
        return std::string();
    size_t end = text.find_first_of(" \t\r\n", start);
    return text.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

void reloadUnits() {
    // A failed reload leaves the unit file as written; the next reload of
    // the service manager picks it up.
    (void)runController({"daemon-reload"}, nullptr);
}

bool goodDefinition(const ServiceDefinition& d) {
    if (!goodName(d.name) || d.programPath.empty() || d.programPath[0] != '/' ||
        !oneLine(d.programPath) || !oneLine(d.displayName))
        return false;
    for (const auto& [name, value] : d.environment) {
        if (name.empty() || name.find('=') != std::string::npos || !oneLine(name) ||
            !oneLine(value))
            return false;
    }
    return true;
}

// Reads the unit file of name into text: 0, ENOENT, EPERM for a unit this
// layer did not write (or one over the bound), or an errno value.
int readOwnUnit(const std::string& name, std::string& text) {
    int fd = OpenFile(ServiceUnitPath(name).c_str(), O_RDONLY | O_CLOEXEC, 0);
    if (fd < 0)
        return errno;
    text.clear();
    char buffer[4096];
    long n;
    while ((n = ReadSome(fd, buffer, sizeof buffer)) > 0 && text.size() <= kUnitBound)
        text.append(buffer, static_cast<size_t>(n));
    int error = n < 0 ? errno : 0;
    CloseFile(fd);
    if (error != 0)
        return error;
    if (text.size() > kUnitBound || text.compare(0, strlen(kUnitMarker), kUnitMarker) != 0)
        return EPERM;
    return 0;
}

// Replaces the line starting with key (the first one) by key + value.
void replaceLine(std::string& text, const std::string& key, const std::string& value) {
    size_t at = text.find("\n" + key);
    if (at == std::string::npos)
        return;
    size_t start = at + 1;
    size_t end = text.find('\n', start);
    text.replace(start, end == std::string::npos ? std::string::npos : end - start, key + value);
}

}  // namespace

std::string ServiceUnitDirectory() {
    const char* dir = getenv("ZELORM_UNIT_DIR");
    if (dir != nullptr && *dir != '\0')
        return dir;
    return kDefaultUnitDirectory;
}

int CheckServiceUnitDirectory() {
    std::string dir = ServiceUnitDirectory();
    if (access(dir.c_str(), W_OK | X_OK) != 0)
        return errno;
    return 0;
}

std::string AbsoluteToWorkingDirectory(const char* path) {
    if (path[0] == '/')
        return path;
    char cwd[4096];
    if (getcwd(cwd, sizeof cwd) == nullptr)
        return path;
    return std::string(cwd) + "/" + path;
}

std::string ServiceUnitPath(const std::string& name) {
    return ServiceUnitDirectory() + "/" + unitName(name);
}

bool RunningAsService() {
    const char* value = getenv(kServiceEnvironmentVariable);
    return value != nullptr && strcmp(value, "1") == 0;
}

std::string ExecutablePath() {
    char buffer[PATH_MAX + 1];
    ssize_t n = readlink("/proc/self/exe", buffer, PATH_MAX);
    if (n <= 0)
        return std::string();
    return std::string(buffer, static_cast<size_t>(n));
}

int InstallService(const ServiceDefinition& d) {
    if (!goodDefinition(d))
        return EINVAL;
    std::string path = ServiceUnitPath(d.name);
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0)
        return errno;
    // The mode must not depend on the installer's umask.
    fchmod(fd, 0644);
    const std::string unit = unitText(d);
    bool written = WriteAll(fd, unit.data(), unit.size(), nullptr) && fsync(fd) == 0;
    int error = written ? 0 : (errno != 0 ? errno : EIO);
    if (close(fd) != 0 && error == 0)
        error = errno;
    if (error == 0 && d.automaticStart) {
        std::string wants = ServiceUnitDirectory() + "/" + kWantsDirectory;
        if (mkdir(wants.c_str(), 0755) != 0 && errno != EEXIST)
            error = errno;
        else if (symlink(path.c_str(), wantsLinkPath(d.name).c_str()) != 0 && errno != EEXIST)
            error = errno;
    }
    if (error != 0) {
        unlink(wantsLinkPath(d.name).c_str());
        unlink(path.c_str());
        return error;
    }
    reloadUnits();
    return 0;
}

int ReconfigureService(const ServiceDefinition& d) {
    if (!goodDefinition(d))
        return EINVAL;
    std::string text;
    int error = readOwnUnit(d.name, text);
    if (error != 0)
        return error;
    replaceLine(text, "Description=", d.displayName);
    replaceLine(text, "ExecStart=", quoteWord(d.programPath, true));

    const std::string path = ServiceUnitPath(d.name);
    const std::string fresh = path + ".new";
    unlink(fresh.c_str());
    int fd = open(fresh.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0)
        return errno;
    fchmod(fd, 0644);
    bool written = WriteAll(fd, text.data(), text.size(), nullptr) && fsync(fd) == 0;
    error = written ? 0 : (errno != 0 ? errno : EIO);
    if (close(fd) != 0 && error == 0)
        error = errno;
    if (error == 0 && rename(fresh.c_str(), path.c_str()) != 0)
        error = errno;
    if (error != 0) {
        unlink(fresh.c_str());
        return error;
    }
    if (d.automaticStart) {
        std::string wants = ServiceUnitDirectory() + "/" + kWantsDirectory;
        if (mkdir(wants.c_str(), 0755) != 0 && errno != EEXIST)
            return errno;
        if (symlink(path.c_str(), wantsLinkPath(d.name).c_str()) != 0 && errno != EEXIST)
            return errno;
    } else if (unlink(wantsLinkPath(d.name).c_str()) != 0 && errno != ENOENT) {
        return errno;
    }
    reloadUnits();
    return 0;
}

int StartService(const std::string& name) {
    int installed = ServiceInstalled(name);
    if (installed != 0)
        return installed;
    int r = runController({"start", "--no-block", unitName(name)}, nullptr);
    if (r < 0)
        return -r;
    return r == 0 ? 0 : EIO;
}

int ServiceOwned(const std::string& name) {
    int installed = ServiceInstalled(name);
    if (installed != 0)
        return installed;
    std::string text;
    return readOwnUnit(name, text);
}

int ServiceInstalled(const std::string& name) {
    if (!goodName(name))
        return EINVAL;
    struct stat st;
    if (lstat(ServiceUnitPath(name).c_str(), &st) != 0)
        return errno == ENOENT ? ENOENT : errno;
    return 0;
}

int StopService(const std::string& name) {
    if (!goodName(name))
        return EINVAL;
    std::string output;
    int r = runController({"is-active", unitName(name)}, &output);
    if (r < 0)
        return -r;
    std::string state = firstWord(output);
    if (state != "active" && state != "activating" && state != "reloading")
        return ESRCH;
    r = runController({"stop", "--no-block", unitName(name)}, nullptr);
    if (r < 0)
        return -r;
    return r == 0 ? 0 : EIO;
}

int QueryServiceState(const std::string& name, int& state) {
    if (!goodName(name))
        return EINVAL;
    std::string output;
    int r = runController({"show", "-p", "ActiveState", "--value", unitName(name)}, &output);
    if (r < 0)
        return -r;
    if (r != 0)
        return EIO;
    std::string word = firstWord(output);
    if (word == "active" || word == "reloading")
        state = kServiceRunning;
    else if (word == "activating")
        state = kServiceStartPending;
    else if (word == "deactivating")
        state = kServiceStopPending;
    else if (word == "inactive" || word == "failed")
        state = kServiceStopped;
    else
        return EIO;
    return 0;
}

int DeleteService(const std::string& name) {
    int own = ServiceOwned(name);
    if (own != 0)
        return own;
    if (unlink(wantsLinkPath(name).c_str()) != 0 && errno != ENOENT)
        return errno;
    if (unlink(ServiceUnitPath(name).c_str()) != 0)
        return errno;
    reloadUnits();
    return 0;
}

int NotifyServiceManager(const std::string& state) {
    const char* socketName = getenv("NOTIFY_SOCKET");
    if (socketName == nullptr || *socketName == '\0')
        return 0;
    struct sockaddr_un address;
    memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    size_t length = strlen(socketName);
    if ((socketName[0] != '/' && socketName[0] != '@') || length >= sizeof address.sun_path)
        return EINVAL;
    memcpy(address.sun_path, socketName, length);
    if (socketName[0] == '@')
        address.sun_path[0] = '\0';  // the abstract namespace
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return errno;
    socklen_t size = static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + length);
    ssize_t sent = sendto(fd, state.data(), state.size(), MSG_NOSIGNAL,
                          reinterpret_cast<struct sockaddr*>(&address), size);
    int error = sent < 0 ? errno : 0;
    close(fd);
    return error;
}

std::string ServiceErrorText(int error) {
    char buffer[256];
    // The GNU strerror_r returns the text, which may not be the buffer.
    const char* text = strerror_r(error, buffer, sizeof buffer);
    return text != nullptr ? text : std::string();
}

}  // namespace platform
