// A quarantine server for tests: maker/tests/support/quarantine_server.py
// (Python's http.server) started on a port of the system's choice on
// 127.0.0.1, in one of three modes: it accepts packages (200), refuses them
// (500) or stalls (reads the request and never answers). Killed when the
// object goes. Header-only, so tests of other folders can use it too.
//
// REQUIRES: ZELORM_SOURCE_DIR defined for the test, python3 installed.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "core/tests/support/files.h"
#include "core/tests/support/vorn_helpers.h"

namespace qtest {

class QuarantineServer {
public:
    // mode: "accept", "refuse" or "stall"; dir: the test's directory, where
    // the port and the received request are kept.
    QuarantineServer(const std::string& mode, const std::string& dir)
        : m_PortFile(dir + "/qserver-" + mode + ".port"),
          m_BodyFile(dir + "/qserver-" + mode + ".body") {
        std::string script =
            std::string(ZELORM_SOURCE_DIR) + "/maker/tests/support/quarantine_server.py";
        // Everything the child needs is made before the fork: the child only
        // execs.
        const char* argv[] = {"/usr/bin/python3", script.c_str(),     mode.c_str(),
                              m_PortFile.c_str(), m_BodyFile.c_str(), nullptr};
        m_Pid = testsupport::ForkWithoutThreads();
        if (m_Pid == 0) {
            execv(argv[0], const_cast<char* const*>(argv));
            _exit(127);
        }
        testsupport::Eventually([this] { return !testsupport::ReadWhole(m_PortFile).empty(); },
                                std::chrono::seconds(30));
        std::string port = testsupport::ReadWhole(m_PortFile);
        m_Port = port.empty() ? 0 : std::stoi(port);
    }
    ~QuarantineServer() {
        if (m_Pid > 0) {
            kill(m_Pid, SIGKILL);
            waitpid(m_Pid, nullptr, 0);
        }
    }
    QuarantineServer(const QuarantineServer&) = delete;
    QuarantineServer& operator=(const QuarantineServer&) = delete;

    // 0 when the server did not start.
    int Port() const { return m_Port; }
    // The last request's path, a newline and its body ("" before one came).
    std::string Received() const { return testsupport::ReadWhole(m_BodyFile); }

private:
    std::string m_PortFile;
    std::string m_BodyFile;
    pid_t m_Pid = -1;
    int m_Port = 0;
};

}  // namespace qtest
