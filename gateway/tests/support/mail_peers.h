// Real peers of the mail-flow tests, all from Debian's packages and run as
// child processes on loopback: Postfix's smtp-sink as a next hop that dumps
// every message it receives into a file of its own, and dnsmasq serving a
// test zone (mail exchangers and addresses). Plus the running gateway
// (`zelorm -debug` in a GatewayInstance) and Python's smtplib as a client.
//
//   PeerProcess        a child with its output in a log; ended with the object
//   WaitForListener    polls until something accepts TCP at address:port
//   SmtpSink           smtp-sink on address:port, one dump file per message
//   SinkMessage        one dump parsed: envelope, HELO, and the message text
//   DnsZone            dnsmasq authoritative for a zone, and a resolv.conf for it
//   RunningGateway     zelorm -debug in an instance: start, stop, kill
//   SendMail           one message through Python's smtplib; its last reply
//
// Bad input: a peer that does not start leaves Started() false (the caller
// asserts); every wait has a bound and reports failure when it runs out.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "gateway/tests/support/gateway_instance.h"

namespace gwtest {

constexpr const char* kSmtpSinkPath = "/usr/sbin/smtp-sink";
constexpr const char* kDnsmasqPath = "/usr/sbin/dnsmasq";
// Debian's own interpreter, not a python3 found first on the path.
constexpr const char* kPython = "/usr/bin/python3";

class PeerProcess {
public:
    // Starts args[0] (a path) with args, standard input from /dev/null,
    // output and errors appended to log.
    PeerProcess(std::vector<std::string> args, const std::string& log);
    // SIGTERM, then SIGKILL after 2 s; reaped.
    ~PeerProcess();
    PeerProcess(const PeerProcess&) = delete;
    PeerProcess& operator=(const PeerProcess&) = delete;

    bool Started() const { return m_Pid > 0; }
    pid_t Pid() const { return m_Pid; }

private:
    pid_t m_Pid = -1;
};

// True once a TCP connection to address:port succeeds (polled for at most
// bound).
bool WaitForListener(const std::string& address, int port,
                     std::chrono::milliseconds bound = std::chrono::seconds(10));

// One message as smtp-sink dumped it. The sink ends every line with LF
// alone and undoes the dot-stuffing, so `text` is the message as the
// client meant it with each CR LF written as LF.
struct SinkMessage {
    std::string file;
    std::string helo;
    std::string mailFrom;                 // the MAIL argument, e.g. "<a@b>"
    std::vector<std::string> recipients;  // RCPT arguments, e.g. "<c@d>"
    std::string text;                     // header and body after the sink's own lines
};

class SmtpSink {
public:
    // smtp-sink on address (a loopback address such as 127.0.0.2) and port
    // (0: a free one), dumping into a directory of its own; backlog is its
    // listen queue.
    explicit SmtpSink(const std::string& address = "127.0.0.2", int port = 0, int backlog = 64);
    ~SmtpSink();
    SmtpSink(const SmtpSink&) = delete;
    SmtpSink& operator=(const SmtpSink&) = delete;

    bool Started() const { return m_Started; }
    const std::string& Address() const { return m_Address; }
    int Port() const { return m_Port; }
    // Every complete dump so far, in no particular order.
    std::vector<SinkMessage> Messages() const;
    // Polls until count dumps are complete (or bound ends); all of them.
    std::vector<SinkMessage> WaitForMessages(size_t count,
                                             std::chrono::milliseconds bound = std::chrono::seconds(60));

private:
    std::string m_Dir;
    std::string m_Address;
    int m_Port = 0;
    bool m_Started = false;
    std::unique_ptr<PeerProcess> m_Process;
};

// Parses one dump; false when it is not complete yet.
bool ParseSinkDump(const std::string& dump, SinkMessage& out);

class DnsZone {
public:
    // dnsmasq on 127.0.0.1 at a free port, authoritative for zone, with
    // the given records (dnsmasq options such as "--mx-host=..." and
    // "--host-record=..."), and a resolv.conf naming it in directory.
    // Names outside the zone are answered "no such name" at once.
    DnsZone(const std::string& directory, const std::string& zone,
            const std::vector<std::string>& records);
    bool Started() const { return m_Started; }
    // The resolv.conf for ZELORM_RESOLV_CONF.
    const std::string& ResolvConf() const { return m_ResolvConf; }

private:
    std::string m_ResolvConf;
    bool m_Started = false;
    std::unique_ptr<PeerProcess> m_Process;
};

// zelorm -debug in an instance, with the instance's environment plus
// extra variables (ZELORM_RESOLV_CONF, ZELORM_TEST_TIME, ...).
class RunningGateway {
public:
    RunningGateway(GatewayInstance& instance, const std::map<std::string, std::string>& extra,
                   const std::string& outputPrefix);
    // True once the start-up-complete event of this run is written (the
    // events file is read from where it stood when this run began).
    bool WaitStarted(std::chrono::milliseconds bound = std::chrono::seconds(60));
    // SIGTERM and the exit status (see ChildProgram::Wait).
    int Stop();
    // SIGKILL, reaped.
    void Kill();
    // The standard error and the instance's events: the event log says
    // why a start-up failed.
    std::string Errors() const;

private:
    GatewayInstance& m_Instance;
    size_t m_EventsBefore = 0;
    std::unique_ptr<ChildProgram> m_Child;
};

// Sends the file's bytes as one message through Python's smtplib (HELO
// helo, MAIL from, RCPT each of to, DATA). The reply that ended it: "250"
// when accepted, otherwise the code and text of the refusal or the error.
std::string SendMail(int port, const std::string& helo, const std::string& from,
                     const std::vector<std::string>& to, const std::string& messageFile,
                     const std::string& workDirectory);

// LF line ends for CR LF, as the sink writes them.
std::string WithLfLineEnds(const std::string& text);

// Runs a shell command line; its exit status (-1 when it did not exit).
int Shell(const std::string& command);

}  // namespace gwtest
