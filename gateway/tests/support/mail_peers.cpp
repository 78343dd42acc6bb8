// Real peers of the mail-flow tests: smtp-sink, dnsmasq, the running
// gateway and Python's smtplib. See mail_peers.h.
#include "gateway/tests/support/mail_peers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <thread>

#include "core/tests/support/files.h"

extern char** environ;

namespace gwtest {

namespace fs = std::filesystem;

namespace {

const std::string kStarted = "4:The gateway service has started.";

size_t countStarted(const GatewayInstance& instance) {
    std::vector<std::string> events = instance.Events();
    return static_cast<size_t>(std::count(events.begin(), events.end(), kStarted));
}

std::string quoted(const std::string& text) {
    std::string out = "'";
    for (char c : text) {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    return out + "'";
}

}  // namespace

PeerProcess::PeerProcess(std::vector<std::string> args, const std::string& log) {
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    // The test program may block signals in its threads; the peer must not
    // inherit that, or SIGTERM would never end it.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
    if (posix_spawn(&m_Pid, argv[0], &actions, &attributes, argv.data(), environ) != 0)
        m_Pid = -1;
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
}

PeerProcess::~PeerProcess() {
    if (m_Pid <= 0)
        return;
    kill(m_Pid, SIGTERM);
    for (int i = 0; i < 100; ++i) {
        if (waitpid(m_Pid, nullptr, WNOHANG) == m_Pid)
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    kill(m_Pid, SIGKILL);
    waitpid(m_Pid, nullptr, 0);
}

bool WaitForListener(const std::string& address, int port, std::chrono::milliseconds bound) {
    auto end = std::chrono::steady_clock::now() + bound;
    do {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        inet_pton(AF_INET, address.c_str(), &a.sin_addr);
        bool ok = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        close(fd);
        if (ok)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    } while (std::chrono::steady_clock::now() < end);
    return false;
}

bool ParseSinkDump(const std::string& dump, SinkMessage& out) {
    // The sink's lines, then its three-line Received header, then the
    // message, then one empty line of its own.
    if (dump.size() < 2 || dump.compare(dump.size() - 2, 2, "\n\n") != 0)
        return false;
    size_t at = 0;
    SinkMessage m;
    for (;;) {
        size_t end = dump.find('\n', at);
        if (end == std::string::npos)
            return false;
        std::string line = dump.substr(at, end - at);
        at = end + 1;
        auto value = [&](const char* name) -> const char* {
            size_t n = strlen(name);
            return line.compare(0, n, name) == 0 ? line.c_str() + n : nullptr;
        };
        if (const char* v = value("X-Helo-Args: "))
            m.helo = v;
        else if (const char* v = value("X-Mail-Args: "))
            m.mailFrom = v;
        else if (const char* v = value("X-Rcpt-Args: "))
            m.recipients.push_back(v);
        else if (value("Received: ")) {
            // Its two continuation lines.
            for (int i = 0; i < 2; ++i) {
                end = dump.find('\n', at);
                if (end == std::string::npos || (dump[at] != '\t' && dump[at] != ' '))
                    return false;
                at = end + 1;
            }
            break;
        }
    }
    m.text = dump.substr(at, dump.size() - 1 - at);
    out = std::move(m);
    return true;
}

SmtpSink::SmtpSink(const std::string& address, int port, int backlog) : m_Address(address) {
    char pattern[] = "/tmp/zelorm-sink-XXXXXX";
    if (mkdtemp(pattern) == nullptr)
        return;
    m_Dir = pattern;
    // Without root the sink keeps the caller's identity; as root it is told
    // to stay root, so the private directory is writable for it.
    m_Port = port > 0 ? port : FreePort();
    std::vector<std::string> args = {kSmtpSinkPath, "-4"};
    if (geteuid() == 0) {
        args.push_back("-u");
        args.push_back("root");
    }
    // %M (minutes) keeps the names short; the sink appends a random part.
    args.insert(args.end(), {"-d", m_Dir + "/mail/%M.", m_Address + ":" + std::to_string(m_Port),
                             std::to_string(backlog)});
    m_Process = std::make_unique<PeerProcess>(args, m_Dir + "/sink.log");
    m_Started = m_Process->Started() && WaitForListener(m_Address, m_Port);
}

SmtpSink::~SmtpSink() {
    m_Process.reset();
    if (!m_Dir.empty())
        fs::remove_all(m_Dir);
}

std::vector<SinkMessage> SmtpSink::Messages() const {
    std::vector<SinkMessage> out;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(m_Dir + "/mail", error)) {
        SinkMessage m;
        if (ParseSinkDump(testsupport::ReadWhole(entry.path().string()), m)) {
            m.file = entry.path().string();
            out.push_back(std::move(m));
        }
    }
    return out;
}

std::vector<SinkMessage> SmtpSink::WaitForMessages(size_t count, std::chrono::milliseconds bound) {
    auto end = std::chrono::steady_clock::now() + bound;
    std::vector<SinkMessage> out = Messages();
    while (out.size() < count && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        out = Messages();
    }
    return out;
}

DnsZone::DnsZone(const std::string& directory, const std::string& zone,
                 const std::vector<std::string>& records) {
    int port = FreePort();
    std::vector<std::string> args = {kDnsmasqPath, "--keep-in-foreground",
                                     "--port=" + std::to_string(port),
                                     "--listen-address=127.0.0.1", "--bind-interfaces",
                                     "--no-resolv", "--no-hosts", "--no-poll",
                                     "--conf-file=/dev/null", "--pid-file=", "--log-facility=-",
                                     // Authoritative for the zone, so that names and
                                     // types that do not exist are answered at once;
                                     // everything else (reverse look-ups of clients)
                                     // is answered locally too.
                                     "--local=/" + zone + "/", "--auth-zone=" + zone,
                                     "--auth-server=ns." + zone + ",127.0.0.1",
                                     "--local=/in-addr.arpa/"};
    if (geteuid() == 0)
        args.push_back("--user=root");
    args.insert(args.end(), records.begin(), records.end());
    m_Process = std::make_unique<PeerProcess>(args, directory + "/dnsmasq.log");
    m_ResolvConf = directory + "/resolv.conf";
    testsupport::WriteWhole(m_ResolvConf, "nameserver 127.0.0.1:" + std::to_string(port) + "\n");
    if (!m_Process->Started())
        return;
    // Answering once a query for the zone's server name gets any answer.
    for (int i = 0; i < 100 && !m_Started; ++i) {
        m_Started = Shell("/usr/bin/python3 -c " +
                          quoted("import socket,sys\n"
                                 "s=socket.socket(socket.AF_INET,socket.SOCK_DGRAM)\n"
                                 "s.settimeout(0.2)\n"
                                 "q=b'\\x12\\x34\\x01\\x00\\x00\\x01\\x00\\x00\\x00\\x00\\x00\\x00'"
                                 "+b''.join(bytes([len(p)])+p.encode() for p in 'ns." +
                                 zone + "'.split('.'))+b'\\x00\\x00\\x01\\x00\\x01'\n"
                                 "s.sendto(q,('127.0.0.1'," +
                                 std::to_string(port) +
                                 "))\n"
                                 "s.recv(512)\n")) == 0;
    }
}

RunningGateway::RunningGateway(GatewayInstance& instance,
                               const std::map<std::string, std::string>& extra,
                               const std::string& outputPrefix)
    : m_Instance(instance), m_EventsBefore(countStarted(instance)) {
    m_Child = std::make_unique<ChildProgram>(std::vector<std::string>{ProgramPath(), "-debug"},
                                             instance.Environment(extra), outputPrefix);
}

bool RunningGateway::WaitStarted(std::chrono::milliseconds bound) {
    if (!m_Child->Started())
        return false;
    auto end = std::chrono::steady_clock::now() + bound;
    while (countStarted(m_Instance) <= m_EventsBefore) {
        if (std::chrono::steady_clock::now() >= end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

std::string RunningGateway::Errors() const {
    std::string text = m_Child->Errors() + "\nevents:\n";
    for (const std::string& event : m_Instance.Events())
        text += "  " + event + "\n";
    return text;
}

int RunningGateway::Stop() {
    m_Child->Signal(SIGTERM);
    return m_Child->Wait();
}

void RunningGateway::Kill() {
    m_Child->Signal(SIGKILL);
    m_Child->Wait();
}

std::string SendMail(int port, const std::string& helo, const std::string& from,
                     const std::vector<std::string>& to, const std::string& messageFile,
                     const std::string& workDirectory) {
    std::string script = workDirectory + "/sendmail.py";
    if (!fs::exists(script))
        testsupport::WriteWhole(
            script,
            "import smtplib, sys\n"
            "port, helo, sender, path = sys.argv[1:5]\n"
            "data = open(path, 'rb').read()\n"
            "try:\n"
            "    with smtplib.SMTP('127.0.0.1', int(port), timeout=30) as s:\n"
            "        s.helo(helo)\n"
            "        refused = s.sendmail(sender, sys.argv[5:], data)\n"
            "        print('250' if not refused else 'refused %r' % refused)\n"
            "except smtplib.SMTPResponseException as e:\n"
            "    print(e.smtp_code, e.smtp_error.decode(errors='replace'))\n"
            "except Exception as e:\n"
            "    print('error', e)\n");
    std::string out = workDirectory + "/sendmail.out";
    std::string command = std::string(kPython) + " " + script + " " + std::to_string(port) + " " +
                          quoted(helo) + " " + quoted(from) + " " + quoted(messageFile);
    for (const std::string& r : to) command += " " + quoted(r);
    Shell(command + " >" + out + " 2>&1");
    std::string reply = testsupport::ReadWhole(out);
    while (!reply.empty() && (reply.back() == '\n' || reply.back() == '\r')) reply.pop_back();
    return reply;
}

std::string WithLfLineEnds(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
            continue;
        out += text[i];
    }
    return out;
}

int Shell(const std::string& command) {
    int status = system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace gwtest
