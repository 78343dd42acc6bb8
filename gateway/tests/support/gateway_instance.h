// A private instance of the gateway for tests: a temporary directory with a
// registry file naming its install, spool, local and log directories, the
// three configuration files, a lock directory and an event-log file; and
// the program run as a child process in it.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <string>
#include <vector>

#include "core/tests/support/ports.h"
#include "core/tests/support/temp_dir.h"

namespace gwtest {

class GatewayInstance {
public:
    // Makes the directories (install, install/vendor, spool, local, log,
    // locks, units), each mode 0700, and the registry file naming them. No
    // catalogues and no configuration files yet.
    GatewayInstance();
    GatewayInstance(const GatewayInstance&) = delete;
    GatewayInstance& operator=(const GatewayInstance&) = delete;

    std::string Path(const std::string& name) const { return m_Dir.Path(name); }
    std::string Dir() const { return m_Dir.Path(); }
    // True once no envelope is left in the spool (everything delivered,
    // returned or closed).
    bool SpoolEmpty() const;

    // Rewrites the registry file: the product key's values (name -> text)
    // and "SharedConfigFile" under the maker's key, as the map says; a
    // value "dword:N" is written as a number. Then InstallDefinitions.
    void WriteRegistry(const std::map<std::string, std::string>& product,
                       const std::string& sharedConfigFile);
    // A definitions set for the scanner (the EICAR signature among the
    // project's test signatures) in the instance's "common" directory,
    // recorded in the registry file; WriteRegistry calls it after every
    // rewrite, since the gateway starts no SMTP without a scanner. False
    // when the set maker failed or is not known to this test program.
    bool InstallDefinitions();
    // The registry of the instance: every directory, the shared file and
    // "HTTPPort", a free port chosen anew (HttpPort).
    void WriteDefaultRegistry();
    int HttpPort() const { return m_HttpPort; }
    // The three configuration files, each a header line and its lines.
    void WriteConfig(const std::vector<std::string>& shared,
                     const std::vector<std::string>& local = {},
                     const std::vector<std::string>& vendor = {});
    // Copies the compiled catalogues into the install directory.
    void InstallCatalogs();

    // The environment a child gets: the test's own, with the instance's
    // ZELORM_REGISTRY, ZELORM_LOCK_DIR, ZELORM_EVENTLOG, ZELORM_UNIT_DIR set
    // and the extra settings applied (an empty value unsets the variable).
    std::vector<std::string> Environment(const std::map<std::string, std::string>& extra) const;

    // The events of the instance so far, as "type:text".
    std::vector<std::string> Events() const;

private:
    testsupport::TempDir m_Dir{"zelorm-gw"};
    int m_HttpPort = 0;
};

// The program running as a child, its standard output and error captured
// in files. The destructor kills a child still running.
class ChildProgram {
public:
    ChildProgram(const std::vector<std::string>& args, const std::vector<std::string>& environment,
                 const std::string& outputPrefix);
    ~ChildProgram();
    ChildProgram(const ChildProgram&) = delete;
    ChildProgram& operator=(const ChildProgram&) = delete;

    bool Started() const { return m_Pid > 0; }
    bool Signal(int signal) const;
    // Waits for the end within bound: the exit status (0-255), 128 + the
    // signal when a signal ended it, -1 when it did not end in time (it is
    // then killed).
    int Wait(std::chrono::milliseconds bound = std::chrono::seconds(60));
    std::string Output() const;
    std::string Errors() const;

private:
    pid_t m_Pid = -1;
    std::string m_OutPath;
    std::string m_ErrPath;
};

// Runs the program to its end: exit status, output and errors.
struct RunResult {
    int status = -1;
    std::string output;
    std::string errors;
};
RunResult RunProgram(const std::vector<std::string>& args,
                     const std::vector<std::string>& environment, const std::string& outputPrefix);

// The path of the program under test.
std::string ProgramPath();

using testsupport::FreePort;

// A listening socket on port (all addresses), so that a server under test
// finds the port taken; the caller closes it. -1 when it cannot be made.
int OccupyPort(int port);

}  // namespace gwtest
