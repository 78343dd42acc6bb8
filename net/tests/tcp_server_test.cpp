// The TCP server framework over real loopback connections: many clients at
// once, clients that never send or stop reading, a stop with connections
// open and queued, a stop that gives up, a ProcessJob that throws, helper and
// worker counts changed while running, start errors, moving the listener, the
// bounded queue and the server's own host.
#include "net/tcp_server.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "core/debug_log.h"
#include "core/message_catalog.h"
#include "core/system_info.h"
#include "core/tests/support/files.h"
#include "core/tests/support/scoped_env.h"
#include "core/tests/support/temp_dir.h"
#include "core/tests/support/test_catalog.h"
#include "core/tests/support/vorn_helpers.h"
#include "core/vorn_buffer.h"
#include "platform/sockets.h"

namespace {

using testsupport::LoopbackAddress;
using testsupport::Text;

using testsupport::Eventually;

// A test client on the library's own socket.
class Client {
public:
    explicit Client(unsigned short port) : m_Socket(CVornHostAddress(LoopbackAddress(), port)) {
        m_Connected = m_Socket.Connect();
    }
    bool Connected() const { return m_Connected; }
    bool Send(const std::string& text) {
        return m_Socket.Write(text.data(), static_cast<int>(text.size())) ==
               static_cast<int>(text.size());
    }
    // The next line, or "" when none came within the wait.
    std::string Line(int seconds = 10) {
        CVornString line;
        return m_Socket.ReadUntil(line, "\r\n", seconds) > 0 ? Text(line) : std::string();
    }
    // True when the server ended the connection (end of data or reset)
    // without sending anything more.
    bool ClosedByServer(int seconds = 10) {
        CVornString line;
        int n = m_Socket.ReadUntil(line, "\r\n", seconds);
        return n == 0 ? m_Socket.IsEOF() : n < 0;
    }

private:
    CVornTCPSocket m_Socket;
    bool m_Connected = false;
};

// A client on a plain socket bound to another loopback address first (all
// of 127/8 reaches this host), so that a test can come from two places.
class ClientFrom {
public:
    ClientFrom(const char* from, unsigned short port) {
        int source = 0;
        EXPECT_TRUE(ParseDottedQuad(CVornString(from), &source));
        m_Fd = platform::SocketCreate(platform::SocketType::Stream);
        m_Connected = m_Fd >= 0 &&
                      platform::SocketBind(m_Fd, static_cast<uint32_t>(source), 0) == 0 &&
                      platform::SocketConnect(m_Fd, LoopbackAddress(), port, 2000) == 0;
    }
    ~ClientFrom() {
        if (m_Fd >= 0)
            platform::SocketClose(m_Fd);
    }
    ClientFrom(const ClientFrom&) = delete;
    ClientFrom& operator=(const ClientFrom&) = delete;

    bool Connected() const { return m_Connected; }
    bool Send(const std::string& text) {
        return platform::SocketSend(m_Fd, text.data(), text.size(), 2000) ==
               static_cast<long>(text.size());
    }
    // Everything up to and including the first CR LF; what came before the
    // end of data, an error or the wait running out otherwise.
    std::string Line(int seconds = 10) {
        std::string text;
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        while (text.find("\r\n") == std::string::npos) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                end - std::chrono::steady_clock::now());
            char c;
            if (left.count() <= 0 ||
                platform::SocketReceive(m_Fd, &c, 1, static_cast<int>(left.count())) != 1)
                break;
            text += c;
        }
        return text;
    }

private:
    int m_Fd = -1;
    bool m_Connected = false;
};

// The gate of a "block" job, kept apart from the server so that a test may
// destroy the server while the job still waits.
struct Gate {
    std::atomic<bool> m_Open{false};
    std::atomic<bool> m_Blocked{false};  // a job waits at the gate
    std::atomic<bool> m_Done{false};     // that job has answered and returns
};

// Answers the first line itself, then serves the rest with the framework's
// echo; counts the jobs begun. "throw" makes ProcessJob throw; "block" makes
// it wait for the gate without looking at the stop flag, answer and return
// without touching the server again.
class EchoServer : public CVornTCPServer {
public:
    EchoServer() : CVornTCPServer("ECHO") {}
    ~EchoServer() override { Stop(); }

    void ProcessJob(CVornTCPSocket* connection, int thread) override {
        ++m_Jobs;
        CVornString line;
        if (connection->ReadUntil(line, "\r\n", 10) <= 0)
            return;
        std::string text = Text(line);
        if (text == "throw\r\n")
            throw std::runtime_error("job failed");
        CVornString reply;
        reply.AssignInt(thread);
        reply.Append(": ");
        reply.Append(line);
        if (text == "block\r\n") {
            std::shared_ptr<Gate> gate = m_Gate;
            gate->m_Blocked = true;
            while (!gate->m_Open) std::this_thread::sleep_for(std::chrono::milliseconds(5));
            connection->Write(reply);
            gate->m_Done = true;
            return;
        }
        connection->Write(reply);
        // The rest of the connection as the framework's own echo serves it.
        CVornTCPServer::ProcessJob(connection, thread);
    }
    void RunHelper(int thread) override {
        {
            std::lock_guard<std::mutex> hold(m_Mutex);
            m_Helpers.insert(thread);
        }
        ++m_HelpersRunning;
        while (!IsStopping() && !TooManyHelpers())
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        // A surplus helper finishes its piece of work before it returns;
        // meanwhile the others go on polling.
        if (!IsStopping())
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        --m_HelpersRunning;
    }
    std::set<int> Helpers() {
        std::lock_guard<std::mutex> hold(m_Mutex);
        return m_Helpers;
    }
    unsigned short Port() {
        CVornHostAddress local;
        GetLocalHost(local);
        return local.GetPort();
    }

    std::atomic<int> m_Jobs{0};
    std::atomic<int> m_HelpersRunning{0};
    std::shared_ptr<Gate> m_Gate = std::make_shared<Gate>();

private:
    std::mutex m_Mutex;
    std::set<int> m_Helpers;
};

// Catalogue texts "M<number>" followed by the conversions the code passes,
// and an event-log file, so that a test reads the reported messages as
// "type:text". Socket time-outs short enough for tests.
class TcpServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        const std::map<int, std::string> args = {
            {148, " %s %d"}, {150, " %s"}, {153, " %s"}, {154, " %s %d %d"}, {155, " %d %d"},
        };
        ASSERT_EQ(
            0, testsupport::LoadBaseCatalog(
                   m_Dir + "/messages", testsupport::NumberedCatalog(kMessages, args), kMessages));
        CVornTCPSocket::SetConnectTimeoutMs(2000);
        CVornTCPSocket::SetSendTimeoutMs(2000);
        CVornTCPSocket::SetIdleReceiveTimeoutMs(5000);
    }
    void TearDown() override {
        CVornTCPSocket::ResetTimeouts();
        testsupport::ClearBaseCatalog();
    }

    // The events whose text starts with "M<number>", as "type:text".
    std::vector<std::string> EventsOf(int number) {
        std::vector<std::string> out;
        std::string prefix = "M" + std::to_string(number);
        for (const auto& f : testsupport::ReadEventFields(m_Dir + "/events")) {
            if (f.size() >= 5 && (f[4] == prefix || f[4].rfind(prefix + " ", 0) == 0))
                out.push_back(f[2] + ":" + f[4]);
        }
        return out;
    }

    static bool StartOnLoopback(CVornTCPServer& server, int workers, int helpers) {
        return server.Start(workers, helpers, CVornHostAddress(LoopbackAddress(), 0));
    }

    // A raw client whose receive buffer is small and which never reads: it
    // sends echo lines for up to two seconds, until the server stops reading
    // because its own echoes cannot be sent any more.
    static int StalledReader(unsigned short port) {
        int fd = platform::SocketCreate(platform::SocketType::Stream);
        EXPECT_GE(fd, 0);
        int small = 4096;
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        EXPECT_EQ(0, platform::SocketConnect(fd, LoopbackAddress(), port, 2000));
        std::string line(16 * 1024 - 2, 'x');
        line += "\r\n";
        std::string bulk;
        while (bulk.size() < 16u * 1024 * 1024) bulk += line;
        // More than the server's echoes can put in flight: its worker ends
        // up waiting in a write.
        platform::SocketSend(fd, bulk.data(), bulk.size(), 2000);
        return fd;
    }

    static constexpr int kMessages = 900;
    testsupport::TempDir m_Temp{"zelorm-tcpserver"};
    std::string m_Dir = m_Temp.Path();
    testsupport::ScopedEnv m_EventLog{"ZELORM_EVENTLOG", m_Dir + "/events"};
};

TEST_F(TcpServerTest, ManyClientsAtOnceAreEachServedByOneOfTheWorkers) {
    EchoServer server;
    server.SetAddressCap(5);  // every client comes from 127.0.0.1
    ASSERT_TRUE(StartOnLoopback(server, 5, 0));
    unsigned short port = server.Port();

    const int kClients = 50;
    std::vector<std::string> replies(kClients);
    std::vector<std::thread> clients;
    for (int i = 0; i < kClients; ++i) {
        clients.emplace_back([&, i] {
            Client client(port);
            if (client.Connected() && client.Send("hello " + std::to_string(i) + "\r\n"))
                replies[i] = client.Line();
        });
    }
    for (std::thread& t : clients) t.join();

    // The acceptor is thread 0; the workers are 1 to 5.
    std::set<std::string> prefixes;
    for (int i = 0; i < kClients; ++i) {
        std::string tail = ": hello " + std::to_string(i) + "\r\n";
        ASSERT_GT(replies[i].size(), tail.size()) << i;
        EXPECT_EQ(tail, replies[i].substr(replies[i].size() - tail.size())) << i;
        prefixes.insert(replies[i].substr(0, replies[i].size() - tail.size()));
    }
    for (const std::string& p : prefixes) EXPECT_TRUE(p >= "1" && p <= "5" && p.size() == 1) << p;
    EXPECT_EQ(kClients, server.m_Jobs);
    EXPECT_TRUE(server.Stop());
}

TEST_F(TcpServerTest, AClientThatNeverSendsOrStopsReadingDoesNotHoldTheOnlyWorker) {
    // The silent client's read ends at the idle-receive time-out; the
    // stalled reader's echo at the send time-out, after which the echo gives
    // up instead of trying (and waiting) again for every line left.
    struct Case {
        const char* name;
        bool silent;
    } cases[] = {{"silent", true}, {"stops reading", false}};
    for (const Case& c : cases) {
        CVornTCPSocket::SetIdleReceiveTimeoutMs(300);
        CVornTCPSocket::SetSendTimeoutMs(300);
        CVornTCPServer server("PLAIN");
        ASSERT_TRUE(StartOnLoopback(server, 1, 0)) << c.name;
        CVornHostAddress local;
        server.GetLocalHost(local);

        int stalled = -1;
        std::unique_ptr<Client> silent;
        if (c.silent) {
            silent = std::make_unique<Client>(local.GetPort());
            ASSERT_TRUE(silent->Connected());
        } else {
            stalled = StalledReader(local.GetPort());
        }
        Client next(local.GetPort());
        ASSERT_TRUE(next.Send("next\r\n")) << c.name;
        EXPECT_EQ("1: next\r\n", next.Line()) << c.name;
        if (silent) {
            EXPECT_TRUE(silent->ClosedByServer()) << c.name;
        }
        if (stalled >= 0)
            platform::SocketClose(stalled);
        EXPECT_TRUE(server.Stop()) << c.name;
    }
}

TEST_F(TcpServerTest, StopEndsServedConnectionsPromptlyAndClosesQueuedOnesUnserved) {
    // Time-outs far beyond the stop wait: only the framework's shutdown of
    // the served connections can let Stop finish in time.
    CVornTCPSocket::SetIdleReceiveTimeoutMs(600 * 1000);
    CVornTCPSocket::SetSendTimeoutMs(120 * 1000);
    auto server = std::make_unique<EchoServer>();
    server->SetStopWaitSeconds(20);
    server->SetAddressCap(2);  // both workers serve the one loopback address
    ASSERT_TRUE(StartOnLoopback(*server, 2, 1));
    unsigned short port = server->Port();

    Client idle(port);  // its worker waits in a read
    ASSERT_TRUE(idle.Send("hi\r\n"));
    ASSERT_NE("", idle.Line());
    int stalled = StalledReader(port);  // its worker waits in a write
    ASSERT_TRUE(Eventually([&] { return server->m_Jobs == 2; }));
    std::vector<std::unique_ptr<Client>> waiting;
    for (int i = 0; i < 3; ++i) {
        waiting.push_back(std::make_unique<Client>(port));
        ASSERT_TRUE(waiting.back()->Send("waiting\r\n"));
    }

    EXPECT_TRUE(server->Stop());
    EXPECT_TRUE(server->IsStopping());
    for (int kind :
         {CVornTCPServer::kAcceptor, CVornTCPServer::kConnectionWorker, CVornTCPServer::kHelper})
        EXPECT_EQ(0, server->GetThreadCount(kind)) << kind;
    EXPECT_TRUE(idle.ClosedByServer());
    platform::SocketClose(stalled);

    // A stopped server does not start again.
    EXPECT_FALSE(StartOnLoopback(*server, 1, 0));
    EXPECT_EQ(std::vector<std::string>{"1:M150 ECHO"}, EventsOf(150));

    // The waiting clients were never served. Those the acceptor had queued
    // are closed by Stop; any still in the system's backlog when the
    // acceptor ended go with the listener, when the server is destroyed.
    EXPECT_EQ(2, server->m_Jobs);
    server.reset();
    for (auto& client : waiting) EXPECT_TRUE(client->ClosedByServer());
}

TEST_F(TcpServerTest, StopGivesUpOnAJobThatNeverReturnsAndTheWorkerEndsSafelyLater) {
    auto server = std::make_unique<EchoServer>();
    server->SetStopWaitSeconds(1);
    ASSERT_TRUE(StartOnLoopback(*server, 1, 0));
    Client client(server->Port());
    ASSERT_TRUE(client.Send("block\r\n"));
    std::shared_ptr<Gate> gate = server->m_Gate;
    ASSERT_TRUE(Eventually([&] { return gate->m_Blocked.load(); }));

    EXPECT_FALSE(server->Stop());
    EXPECT_EQ(1, server->GetThreadCount(CVornTCPServer::kConnectionWorker));
    // Stop shut the connection down even though its job goes on.
    EXPECT_TRUE(client.ClosedByServer());

    // The server goes while its worker still waits; when the job returns,
    // the worker ends on the state it shares with the server (a use of the
    // freed server would show under the address sanitizer).
    server.reset();
    gate->m_Open = true;
    EXPECT_TRUE(Eventually([&] { return gate->m_Done.load(); }));
}

TEST_F(TcpServerTest, AJobThatThrowsIsReportedAndItsWorkerRestartedUnderTheSameNumber) {
    EchoServer server;
    ASSERT_TRUE(StartOnLoopback(server, 1, 0));
    unsigned short port = server.Port();

    Client failing(port);
    ASSERT_TRUE(failing.Send("throw\r\n"));
    // The framework closed the connection of the failed job.
    EXPECT_TRUE(failing.ClosedByServer());
    ASSERT_TRUE(Eventually([&] { return EventsOf(154).size() == 1; }));
    // Thread 1, kind 1 (connection worker).
    EXPECT_EQ("1:M154 ECHO 1 1", EventsOf(154)[0]);
    EXPECT_EQ(1, server.GetThreadCount(CVornTCPServer::kConnectionWorker));

    Client next(port);
    ASSERT_TRUE(next.Send("again\r\n"));
    EXPECT_EQ("1: again\r\n", next.Line());
    EXPECT_TRUE(server.Stop());
}

TEST_F(TcpServerTest, HelpersAndWorkersFollowTheWantedCountsWhileRunning) {
    EchoServer server;
    // Acceptor 0, worker 1, helpers 2 to 4.
    ASSERT_TRUE(StartOnLoopback(server, 1, 3));
    ASSERT_TRUE(Eventually([&] { return server.m_HelpersRunning == 3; }));
    EXPECT_EQ((std::set<int>{2, 3, 4}), server.Helpers());

    // Three helpers poll together for a surplus of two: exactly two end.
    ASSERT_TRUE(server.SetHelperThreads(1));
    EXPECT_EQ(1, server.GetHelperThreadCount());
    ASSERT_TRUE(Eventually([&] { return server.m_HelpersRunning <= 1; }));
    EXPECT_EQ(1, server.m_HelpersRunning);
    EXPECT_EQ(1, server.GetThreadCount(CVornTCPServer::kHelper));

    // New threads take the next numbers at once.
    ASSERT_TRUE(server.SetHelperThreads(3));
    EXPECT_EQ(3, server.GetThreadCount(CVornTCPServer::kHelper));
    ASSERT_TRUE(Eventually([&] { return server.m_HelpersRunning == 3; }));
    EXPECT_EQ((std::set<int>{2, 3, 4, 5, 6}), server.Helpers());

    ASSERT_TRUE(server.SetConnectionWorkers(5));
    EXPECT_EQ(5, server.GetThreadCount(CVornTCPServer::kConnectionWorker));
    ASSERT_TRUE(server.SetConnectionWorkers(2));
    EXPECT_TRUE(
        Eventually([&] { return server.GetThreadCount(CVornTCPServer::kConnectionWorker) == 2; }));
    EXPECT_FALSE(server.SetConnectionWorkers(0));
    EXPECT_FALSE(server.SetHelperThreads(-1));
    EXPECT_EQ(2, server.GetThreadCount(CVornTCPServer::kConnectionWorker));

    // The remaining workers serve.
    Client client(server.Port());
    ASSERT_TRUE(client.Send("still\r\n"));
    EXPECT_NE("", client.Line());

    EXPECT_TRUE(server.Stop());
    EXPECT_EQ(0, server.m_HelpersRunning);
    EXPECT_EQ(0, server.GetThreadCount(CVornTCPServer::kHelper));
}

TEST_F(TcpServerTest, StartRefusesBadArgumentsASecondStartAndAddressesInUse) {
    CVornTCPServer server("PLAIN");
    struct Case {
        int workers, helpers;
    } bad[] = {{0, 0}, {-1, 1}, {1, -1}};
    for (const Case& c : bad)
        EXPECT_FALSE(StartOnLoopback(server, c.workers, c.helpers)) << c.workers << c.helpers;
    CVornList<CVornHostAddress> none;
    EXPECT_FALSE(server.Start(1, 0, none));
    std::vector<std::string> expected = {"1:M148 PLAIN 0", "1:M148 PLAIN -1", "1:M148 PLAIN 1",
                                         "1:M148 PLAIN 1"};
    EXPECT_EQ(expected, EventsOf(148));
    EXPECT_EQ(0, server.GetThreadCount(CVornTCPServer::kAcceptor));

    // The first address is in use: the second one is listened on.
    CVornTCPSocket holder;
    ASSERT_TRUE(holder.Listen(CVornHostAddress(LoopbackAddress(), 0)));
    CVornHostAddress held;
    ASSERT_TRUE(holder.GetLocalAddress(held));
    CVornList<CVornHostAddress> addresses;
    addresses.AddTail(CVornHostAddress(LoopbackAddress(), held.GetPort()));
    addresses.AddTail(CVornHostAddress(LoopbackAddress(), 0));
    ASSERT_TRUE(server.Start(1, 0, addresses));
    CVornHostAddress local;
    server.GetLocalHost(local);
    EXPECT_NE(held.GetPort(), local.GetPort());
    EXPECT_NE(0, local.GetPort());

    EXPECT_FALSE(StartOnLoopback(server, 1, 0));
    EXPECT_EQ(std::vector<std::string>{"1:M150 PLAIN"}, EventsOf(150));

    CVornTCPServer second("SECOND");
    EXPECT_FALSE(second.Start(1, 0, CVornHostAddress(LoopbackAddress(), local.GetPort())));
    EXPECT_EQ(std::vector<std::string>{"1:M153 SECOND"}, EventsOf(153));
    EXPECT_TRUE(server.Stop());
}

TEST_F(TcpServerTest, ListenMovesTheListenerOrKeepsTheOldOneWhenThePortIsInUse) {
    EchoServer server;
    ASSERT_TRUE(StartOnLoopback(server, 1, 0));
    unsigned short oldPort = server.Port();

    CVornTCPSocket holder;
    ASSERT_TRUE(holder.Listen(CVornHostAddress(LoopbackAddress(), 0)));
    CVornHostAddress held;
    ASSERT_TRUE(holder.GetLocalAddress(held));
    EXPECT_FALSE(server.Listen(CVornHostAddress(LoopbackAddress(), held.GetPort())));
    {
        Client client(oldPort);
        ASSERT_TRUE(client.Send("old\r\n"));
        EXPECT_EQ("1: old\r\n", client.Line());
    }

    ASSERT_TRUE(server.Listen(CVornHostAddress(LoopbackAddress(), 0)));
    unsigned short newPort = server.Port();
    EXPECT_NE(oldPort, newPort);
    Client client(newPort);
    ASSERT_TRUE(client.Send("new\r\n"));
    EXPECT_EQ("1: new\r\n", client.Line());
    EXPECT_FALSE(Client(oldPort).Connected());
    EXPECT_TRUE(server.Stop());
}

TEST_F(TcpServerTest, ConnectionsOverTheQueueLimitAreClosedAtOnceAndLogged) {
    CVornLogSink sink(kLogWarning);
    EchoServer server;
    server.SetQueueLimit(2);
    server.SetAddressCap(4);  // the queue, not the address's share, is full
    ASSERT_TRUE(StartOnLoopback(server, 1, 0));
    unsigned short port = server.Port();

    Client busy(port);
    ASSERT_TRUE(busy.Send("block\r\n"));
    ASSERT_TRUE(Eventually([&] { return server.m_Gate->m_Blocked.load(); }));
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < 4; ++i) {
        clients.push_back(std::make_unique<Client>(port));
        ASSERT_TRUE(clients.back()->Send("waiting " + std::to_string(i) + "\r\n"));
    }
    // Accepted in order: two wait in the queue, the next two are closed.
    EXPECT_TRUE(clients[2]->ClosedByServer());
    EXPECT_TRUE(clients[3]->ClosedByServer());

    // The blocked job answers and returns; the worker takes the queued two.
    server.m_Gate->m_Open = true;
    EXPECT_EQ("1: block\r\n", busy.Line());
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ("1: waiting " + std::to_string(i) + "\r\n", clients[i]->Line());
        clients[i].reset();
    }
    EXPECT_TRUE(server.Stop());

    CVornBuffer captured;
    sink.TakeText(captured);
    CVornString text;
    captured.TakeAll(text);
    std::string log = Text(text);
    EXPECT_NE(std::string::npos, log.find("tcpserver ECHO: too many connections wait")) << log;
    EXPECT_NE(std::string::npos, log.find("closed so far: 1")) << log;
}

TEST_F(TcpServerTest, OneAddressHoldsOnlyItsCapOfTheWorkersAndItsShareOfTheQueue) {
    CVornLogSink sink(kLogWarning);
    EchoServer server;
    server.SetQueueLimit(8);  // a share of 2 waiting per address
    ASSERT_TRUE(StartOnLoopback(server, 4, 0));
    EXPECT_EQ(1, server.GetAddressCap());  // a quarter of 4 workers
    unsigned short port = server.Port();

    ClientFrom busy("127.0.0.1", port);
    ASSERT_TRUE(busy.Send("block\r\n"));
    ASSERT_TRUE(Eventually([&] { return server.m_Gate->m_Blocked.load(); }));
    // The address holds its one worker: two more of its connections wait
    // though three workers are idle, and the next is closed at once.
    std::vector<std::unique_ptr<ClientFrom>> waiting;
    for (int i = 0; i < 2; ++i) {
        waiting.push_back(std::make_unique<ClientFrom>("127.0.0.1", port));
        ASSERT_TRUE(waiting.back()->Send("waiting " + std::to_string(i) + "\r\n"));
    }
    ClientFrom over("127.0.0.1", port);
    ASSERT_TRUE(over.Connected());
    EXPECT_EQ("", over.Line());

    // Another address is served at once, before the waiting ones.
    ClientFrom other("127.0.0.2", port);
    ASSERT_TRUE(other.Send("other\r\n"));
    std::string reply = other.Line();
    EXPECT_NE(std::string::npos, reply.find(": other\r\n")) << reply;
    EXPECT_EQ(2, server.m_Jobs);

    // The held worker comes back: the waiting connections are served in
    // turn, each once the one before has ended.
    server.m_Gate->m_Open = true;
    EXPECT_NE("", busy.Line());
    for (int i = 0; i < 2; ++i) {
        reply = waiting[i]->Line();
        EXPECT_NE(std::string::npos, reply.find(": waiting " + std::to_string(i))) << reply;
        waiting[i].reset();
    }

    // The default follows the workers; a cap that was set holds until reset.
    ASSERT_TRUE(server.SetConnectionWorkers(8));
    EXPECT_EQ(2, server.GetAddressCap());
    server.SetAddressCap(5);
    EXPECT_EQ(5, server.GetAddressCap());
    server.SetAddressCap(0);
    EXPECT_EQ(2, server.GetAddressCap());
    EXPECT_TRUE(server.Stop());

    std::string log = testsupport::TakeSinkText(sink);
    EXPECT_NE(std::string::npos,
              log.find("tcpserver ECHO: its address has its share of connections waiting, the "
                       "connection from [127.0.0.1]"))
        << log;
}

TEST_F(TcpServerTest, TheLocalHostNamesTheMachineAndTheListenersAddressAndPort) {
    CVornTCPServer server("PLAIN");
    ASSERT_TRUE(StartOnLoopback(server, 1, 0));
    CVornHostAddress local;
    server.GetLocalHost(local);

    CVornString fqdn, name, canonical;
    SysInfoGetFqdn(fqdn);
    ASSERT_TRUE(local.GetName(name));
    std::string full = Text(fqdn);
    EXPECT_EQ(full.substr(0, full.find('.')), Text(name));
    ASSERT_TRUE(local.GetCanonicalName(canonical));
    EXPECT_EQ(full, Text(canonical));

    CVornStringList addresses;
    ASSERT_TRUE(local.GetAddressStrings(addresses));
    ASSERT_EQ(1, addresses.m_Count);
    EXPECT_EQ("127.0.0.1", Text(addresses.m_Head->m_Element));
    EXPECT_NE(0, local.GetPort());
    EXPECT_TRUE(server.Stop());
}

}  // namespace
