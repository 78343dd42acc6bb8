// Test instances of the gateway and the program run as a child process.
#include "gateway/tests/support/gateway_instance.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "core/tests/support/files.h"

extern char** environ;

namespace gwtest {

namespace fs = std::filesystem;

GatewayInstance::GatewayInstance() {
    for (const char* d : {"install", "install/vendor", "spool", "local", "log", "locks", "units"})
        fs::create_directories(Path(d));
    for (const char* d : {"install", "spool", "local", "log", "locks"})
        chmod(Path(d).c_str(), 0700);
    WriteDefaultRegistry();
}

void GatewayInstance::WriteRegistry(const std::map<std::string, std::string>& product,
                                    const std::string& sharedConfigFile) {
    std::string text = "Windows Registry Editor Version 5.00\r\n\r\n";
    text += "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvane]\r\n";
    if (!sharedConfigFile.empty())
        text += "\"SharedConfigFile\"=\"" + sharedConfigFile + "\"\r\n";
    text += "\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvane\\ZELORM]\r\n";
    for (const auto& [name, value] : product) {
        if (value.rfind("dword:", 0) == 0) {
            char hex[16];
            snprintf(hex, sizeof hex, "%08lx", std::stoul(value.substr(6)));
            text += "\"" + name + "\"=dword:" + hex + "\r\n";
        } else {
            text += "\"" + name + "\"=\"" + value + "\"\r\n";
        }
    }
    testsupport::WriteWhole(Path("registry.reg"), text);
    InstallDefinitions();
}

bool GatewayInstance::InstallDefinitions() {
#ifdef ZELORM_MKDEFSET
    // The set maker records the store in the instance's registry file.
    RunResult made = RunProgram({ZELORM_MKDEFSET, "--common-files", Path("common"), "--date",
                                 "20261201", "--revision", "1", "--app", "ZELORM_20",
                                 ZELORM_DEFS_DATA "/zelorm.ndb", ZELORM_DEFS_DATA "/zelorm.hdb"},
                                Environment({}), Path("mkdefset"));
    return made.status == 0;
#else
    return false;
#endif
}

void GatewayInstance::WriteDefaultRegistry() {
    // The web server on a port of its own: instances run side by side.
    m_HttpPort = FreePort();
    WriteRegistry({{"InstallDir", Path("install")},
                   {"MailDir", Path("spool")},
                   {"LocalDir", Path("local")},
                   {"LogDir", Path("log")},
                   {"HTTPPort", "dword:" + std::to_string(m_HttpPort)}},
                  Path("local/shared-config"));
}

void GatewayInstance::WriteConfig(const std::vector<std::string>& shared,
                                  const std::vector<std::string>& local,
                                  const std::vector<std::string>& vendor) {
    auto write = [](const std::string& path, const std::vector<std::string>& lines) {
        std::string text = "# 2 0\r\n";
        for (const std::string& line : lines)
            text += line + "\r\n";
        testsupport::WriteWhole(path, text);
    };
    write(Path("local/shared-config"), shared);
    write(Path("local/local-config"), local);
    write(Path("install/vendor/vendor-config"), vendor);
}

void GatewayInstance::InstallCatalogs() {
    for (const char* name : {"messages", "tkmessages"})
        fs::copy_file(std::string(ZELORM_CATALOG_DIR) + "/" + name, Path(std::string("install/") + name),
                      fs::copy_options::overwrite_existing);
}

std::vector<std::string> GatewayInstance::Environment(
    const std::map<std::string, std::string>& extra) const {
    std::map<std::string, std::string> vars;
    for (char** e = environ; *e != nullptr; ++e) {
        std::string entry(*e);
        size_t eq = entry.find('=');
        if (eq != std::string::npos)
            vars[entry.substr(0, eq)] = entry.substr(eq + 1);
    }
    vars["ZELORM_REGISTRY"] = Path("registry.reg");
    vars["ZELORM_LOCK_DIR"] = Path("locks");
    vars["ZELORM_EVENTLOG"] = Path("events");
    vars["ZELORM_UNIT_DIR"] = Path("units");
    vars.erase("ZELORM_SERVICE");
    vars.erase("NOTIFY_SOCKET");
    vars.erase("ZELORM_SYSTEMCTL");
    for (const auto& [name, value] : extra) {
        if (value.empty())
            vars.erase(name);
        else
            vars[name] = value;
    }
    std::vector<std::string> out;
    for (const auto& [name, value] : vars)
        out.push_back(name + "=" + value);
    return out;
}

std::vector<std::string> GatewayInstance::Events() const {
    return testsupport::ReadEvents(Path("events"));
}

ChildProgram::ChildProgram(const std::vector<std::string>& args,
                           const std::vector<std::string>& environment,
                           const std::string& outputPrefix)
    : m_OutPath(outputPrefix + ".out"), m_ErrPath(outputPrefix + ".err") {
    std::vector<std::string> argCopies(args);
    std::vector<std::string> envCopies(environment);
    std::vector<char*> argv, envp;
    for (std::string& a : argCopies)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    for (std::string& e : envCopies)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, m_OutPath.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, m_ErrPath.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    // The child starts with the ordinary signal mask, whatever the test
    // runner blocked.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, &attr, argv.data(), envp.data()) == 0)
        m_Pid = pid;
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
}

ChildProgram::~ChildProgram() {
    if (m_Pid > 0) {
        kill(m_Pid, SIGKILL);
        waitpid(m_Pid, nullptr, 0);
    }
}

bool ChildProgram::Signal(int signal) const { return m_Pid > 0 && kill(m_Pid, signal) == 0; }

int ChildProgram::Wait(std::chrono::milliseconds bound) {
    if (m_Pid <= 0)
        return -1;
    auto deadline = std::chrono::steady_clock::now() + bound;
    for (;;) {
        int status = 0;
        pid_t r = waitpid(m_Pid, &status, WNOHANG);
        if (r == m_Pid) {
            m_Pid = -1;
            if (WIFSIGNALED(status))
                return 128 + WTERMSIG(status);
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            kill(m_Pid, SIGKILL);
            waitpid(m_Pid, nullptr, 0);
            m_Pid = -1;
            return -1;
        }
        struct timespec pause = {0, 5 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
}

std::string ChildProgram::Output() const { return testsupport::ReadWhole(m_OutPath); }
std::string ChildProgram::Errors() const { return testsupport::ReadWhole(m_ErrPath); }

RunResult RunProgram(const std::vector<std::string>& args,
                     const std::vector<std::string>& environment, const std::string& outputPrefix) {
    ChildProgram child(args, environment, outputPrefix);
    RunResult result;
    result.status = child.Wait();
    result.output = child.Output();
    result.errors = child.Errors();
    return result;
}

std::string ProgramPath() { return ZELORM_PROGRAM; }

int OccupyPort(int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, 1) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool GatewayInstance::SpoolEmpty() const {
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(Path("spool"), error))
        if (entry.path().extension() == ".env")
            return false;
    return true;
}

}  // namespace gwtest
