// The UDP server framework on loopback: echo servers with one and several
// grunts, the size bound, start errors, thread numbering, a full queue and
// a stop with datagrams queued, a handler that throws, helper threads, a
// stop that gives up on a handler that never returns, and a restart.
#include "net/udp_server.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "net/tests/udp_fixture.h"
#include "platform/clock.h"

namespace {

using udptest::Eventually;
using udptest::Loopback;

// Echoes every datagram to its sender and records what it saw. "throw"
// makes the handler throw; "block" makes it wait for the gate.
class EchoServer : public CVornUDPServer {
public:
    EchoServer() : CVornUDPServer("ECHO") {}
    ~EchoServer() override { Stop(); }

    void HandleDatagram(const CVornString& data, const CVornHostAddress& sender,
                        int thread) override {
        CVornString copy(data);
        std::string text(copy.CStr(), copy.Length());
        {
            std::lock_guard<std::mutex> hold(m_Mutex);
            m_Seen.push_back(text);
            m_Threads.insert(thread);
        }
        ++m_Handled;
        if (text == "throw")
            throw std::runtime_error("handler failed");
        if (text == "block")
            Eventually([this] { return m_Gate.load(); });
        GetSocket().SendString(data, sender);
    }
    void RunHelper(int thread) override {
        {
            std::lock_guard<std::mutex> hold(m_Mutex);
            m_Helpers.insert(thread);
        }
        ++m_HelpersRunning;
        while (!IsStopping() && !TooManyHelpers())
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        --m_HelpersRunning;
    }

    std::vector<std::string> Seen() {
        std::lock_guard<std::mutex> hold(m_Mutex);
        return m_Seen;
    }
    std::set<int> Threads() {
        std::lock_guard<std::mutex> hold(m_Mutex);
        return m_Threads;
    }
    std::set<int> Helpers() {
        std::lock_guard<std::mutex> hold(m_Mutex);
        return m_Helpers;
    }

    std::atomic<int> m_Handled{0};
    std::atomic<int> m_HelpersRunning{0};
    std::atomic<bool> m_Gate{false};

private:
    std::mutex m_Mutex;
    std::vector<std::string> m_Seen;
    std::set<int> m_Threads;
    std::set<int> m_Helpers;
};

class UdpServerTest : public udptest::UdpFixture {
protected:
    // Starts the server on a loopback port chosen by the system.
    static bool StartOnLoopback(CVornUDPServer& server, int grunts, int helpers, int largest) {
        return server.Start(grunts, helpers, largest, CVornHostAddress(Loopback(), 0));
    }
    static CVornHostAddress AddressOf(CVornUDPServer& server) {
        return CVornHostAddress(Loopback(), server.GetSocket().GetLocalPort());
    }
    // The replies that arrive until want arrived or none came for 3 s.
    static std::multiset<std::string> Replies(CVornUDPSocket& client, size_t want) {
        std::multiset<std::string> out;
        char buffer[600];
        while (out.size() < want) {
            int n = client.Receive(buffer, sizeof buffer, 3, nullptr);
            if (n <= 0)
                break;
            out.insert(std::string(buffer, n));
        }
        return out;
    }
};

TEST_F(UdpServerTest, EchoesManyDatagramsInFlightWithOneAndSeveralGrunts) {
    for (int grunts : {1, 3}) {
        EchoServer server;
        ASSERT_TRUE(StartOnLoopback(server, grunts, 0, 512)) << grunts;
        CVornUDPSocket client;
        ASSERT_TRUE(client.Bind(CVornHostAddress(Loopback(), 0)));
        CVornHostAddress to = AddressOf(server);

        // All sent before any reply is read.
        std::multiset<std::string> sent;
        for (int i = 0; i < 100; ++i) {
            std::string text = "datagram " + std::to_string(i);
            ASSERT_EQ(static_cast<int>(text.size()), client.Send(text.data(), text.size(), to));
            sent.insert(text);
        }
        EXPECT_EQ(sent, Replies(client, sent.size())) << grunts;
        // Grunts are numbered after the boss (0).
        for (int thread : server.Threads()) {
            EXPECT_GE(thread, 1) << grunts;
            EXPECT_LE(thread, grunts) << grunts;
        }
        EXPECT_TRUE(server.Stop());
        EXPECT_TRUE(server.IsStopping());
    }
}

TEST_F(UdpServerTest, DatagramsOverTheLargestSizeAndEmptyOnesAreDropped) {
    struct ClockReset {
        ~ClockReset() { platform::ClearTestTime(); }
    } clockReset;
    platform::SetTestTime(1700000000);
    const int kLargest = 16;
    EchoServer server;
    ASSERT_TRUE(StartOnLoopback(server, 1, 0, kLargest));
    CVornUDPSocket client;
    ASSERT_TRUE(client.Bind(CVornHostAddress(Loopback(), 0)));
    CVornHostAddress to = AddressOf(server);

    std::string exact(kLargest, 'e'), over(kLargest + 1, 'o'), huge(2000, 'h');
    ASSERT_EQ(kLargest + 1, client.Send(over.data(), over.size(), to));
    ASSERT_EQ(2000, client.Send(huge.data(), huge.size(), to));
    ASSERT_EQ(0, client.Send("", 0, to));
    ASSERT_EQ(kLargest, client.Send(exact.data(), exact.size(), to));

    // One sender, in order: once the last one is handled the others are done.
    EXPECT_EQ(std::multiset<std::string>{exact}, Replies(client, 1));
    EXPECT_EQ(std::vector<std::string>{exact}, server.Seen());
    // Both too large: the first is reported with the sender and the cut size
    // L + 1; the second, within a minute of it, is only counted.
    std::string from = "[127.0.0.1]." + std::to_string(client.GetLocalPort());
    std::vector<std::string> expected = {"2:M223 " + from + " 17"};
    EXPECT_EQ(expected, EventsOf(223));

    // A minute later the next one is reported, with the count held back.
    platform::SetTestTime(1700000000 + 60);
    ASSERT_EQ(kLargest + 1, client.Send(over.data(), over.size(), to));
    ASSERT_EQ(kLargest, client.Send(exact.data(), exact.size(), to));
    EXPECT_EQ(std::multiset<std::string>{exact}, Replies(client, 1));
    expected.push_back("2:M223 " + from + " (and 1 more since the last report) 17");
    EXPECT_EQ(expected, EventsOf(223));
}

TEST_F(UdpServerTest, StartRefusesBadArgumentsASecondStartAndAnAddressInUse) {
    CVornUDPServer server("PLAIN");
    struct Case {
        int grunts, helpers, largest;
    } bad[] = {{0, 1, 512}, {1, -1, 512}, {1, 0, 0}, {1, 0, CVornUDPServer::kMaxDatagram + 1}};
    for (const Case& c : bad)
        EXPECT_FALSE(StartOnLoopback(server, c.grunts, c.helpers, c.largest))
            << c.grunts << c.helpers;
    EXPECT_EQ(4u, EventsOf(216).size());
    EXPECT_EQ("1:M216 PLAIN 0", EventsOf(216)[0]);
    CVornList<CVornHostAddress> none;
    EXPECT_FALSE(server.Start(1, 0, 512, none));
    EXPECT_EQ(5u, EventsOf(216).size());

    // The default bodies run: the helper polls the stop flag.
    ASSERT_TRUE(StartOnLoopback(server, 1, 1, 512));
    EXPECT_FALSE(StartOnLoopback(server, 1, 0, 512));
    EXPECT_EQ(std::vector<std::string>{"1:M217 PLAIN"}, EventsOf(217));

    CVornUDPServer second("SECOND");
    EXPECT_FALSE(second.Start(1, 0, 512, AddressOf(server)));  // port in use
    EXPECT_EQ(std::vector<std::string>{"1:M218 SECOND"}, EventsOf(218));
    EXPECT_TRUE(server.Stop());
}

TEST_F(UdpServerTest, TheFirstAddressThatBindsIsUsedAndThreadsAreNumberedInStartOrder) {
    CVornUDPSocket holder;
    ASSERT_TRUE(holder.Bind(CVornHostAddress(Loopback(1), 0)));
    unsigned short taken = holder.GetLocalPort();
    CVornList<CVornHostAddress> locals;
    locals.AddTail(CVornHostAddress(Loopback(1), taken));  // in use
    locals.AddTail(CVornHostAddress(Loopback(1), 0));

    EchoServer server;
    ASSERT_TRUE(server.Start(1, 1, 512, locals));
    EXPECT_NE(taken, server.GetSocket().GetLocalPort());
    ASSERT_TRUE(Eventually([&] { return server.m_HelpersRunning == 1; }));

    CVornUDPSocket client;
    ASSERT_TRUE(client.Bind(CVornHostAddress(Loopback(), 0)));
    ASSERT_EQ(2, client.Send("hi", 2, AddressOf(server)));
    EXPECT_EQ(1u, Replies(client, 1).size());
    // Boss 0, grunt 1, helper 2.
    EXPECT_EQ(std::set<int>{1}, server.Threads());
    EXPECT_EQ(std::set<int>{2}, server.Helpers());

    EXPECT_TRUE(server.Stop());
    EXPECT_EQ(0, server.m_HelpersRunning);
}

TEST_F(UdpServerTest, AFullQueueDropsAndCountsAndStopDeletesWhatIsQueued) {
    EchoServer server;
    server.SetQueueLimit(3);
    ASSERT_TRUE(StartOnLoopback(server, 1, 0, 512));
    CVornUDPSocket client;
    ASSERT_TRUE(client.Bind(CVornHostAddress(Loopback(), 0)));
    CVornHostAddress to = AddressOf(server);

    // The one grunt blocks in the handler; three wait, three more are dropped.
    ASSERT_EQ(5, client.Send("block", 5, to));
    ASSERT_TRUE(Eventually([&] { return server.m_Handled == 1; }));
    for (int i = 0; i < 6; ++i) ASSERT_EQ(6, client.Send("queued", 6, to));
    ASSERT_TRUE(Eventually([&] { return server.GetDroppedCount() == 3; }));

    std::atomic<bool> stopped{false};
    std::thread stopper([&] { stopped = server.Stop(); });
    ASSERT_TRUE(Eventually([&] { return server.IsStopping(); }));
    server.m_Gate = true;
    stopper.join();
    EXPECT_TRUE(stopped);
    // Only the blocked datagram was handled; the queued ones were deleted
    // (the leak checker sees any that were not).
    EXPECT_EQ(1, server.m_Handled);
    EXPECT_EQ(3, server.GetDroppedCount());
}

TEST_F(UdpServerTest, AThrowingHandlerCostsOneDatagramAndTheGruntIsRestarted) {
    EchoServer server;
    ASSERT_TRUE(StartOnLoopback(server, 1, 0, 512));
    CVornUDPSocket client;
    ASSERT_TRUE(client.Bind(CVornHostAddress(Loopback(), 0)));
    CVornHostAddress to = AddressOf(server);

    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(5, client.Send("throw", 5, to));
        ASSERT_EQ(2, client.Send("ok", 2, to));
        EXPECT_EQ(std::multiset<std::string>{"ok"}, Replies(client, 1)) << i;
    }
    // Every throw reported with the name, thread number and kind; the
    // restarted grunt keeps its number.
    std::vector<std::string> expected(3, "1:M221 ECHO 1 1");
    EXPECT_EQ(expected, EventsOf(221));
    EXPECT_EQ(std::set<int>{1}, server.Threads());
    EXPECT_TRUE(server.Stop());
}

TEST_F(UdpServerTest, HelperThreadsRunUntilTheServerStops) {
    EchoServer server;
    ASSERT_TRUE(StartOnLoopback(server, 1, 2, 512));
    ASSERT_TRUE(Eventually([&] { return server.m_HelpersRunning == 2; }));
    EXPECT_FALSE(server.TooManyHelpers());
    EXPECT_EQ((std::set<int>{2, 3}), server.Helpers());
    EXPECT_TRUE(server.Stop());
    EXPECT_EQ(0, server.m_HelpersRunning);
}

TEST_F(UdpServerTest, AStoppedServerCanBeStartedAgain) {
    EchoServer server;
    ASSERT_TRUE(StartOnLoopback(server, 1, 0, 512));
    ASSERT_TRUE(server.Stop());
    ASSERT_TRUE(StartOnLoopback(server, 1, 0, 512));
    EXPECT_FALSE(server.IsStopping());
    CVornUDPSocket client;
    ASSERT_TRUE(client.Bind(CVornHostAddress(Loopback(), 0)));
    ASSERT_EQ(5, client.Send("again", 5, AddressOf(server)));
    EXPECT_EQ(std::multiset<std::string>{"again"}, Replies(client, 1));
    EXPECT_TRUE(server.Stop());
}

// Set by a handler that outlives its server; global because the server is
// gone when the handler comes back.
std::atomic<bool> g_StuckGate{false};
std::atomic<bool> g_StuckReturned{false};

class StuckServer : public CVornUDPServer {
public:
    StuckServer() : CVornUDPServer("STUCK") {}
    ~StuckServer() override { Stop(); }
    void HandleDatagram(const CVornString&, const CVornHostAddress&, int) override {
        ++m_Entered;
        Eventually([] { return g_StuckGate.load(); });
        // Nothing of the server may be touched from here on.
        g_StuckReturned = true;
    }
    std::atomic<int> m_Entered{0};
};

TEST_F(UdpServerTest, StopGivesUpOnAHandlerThatDoesNotReturnAndTheThreadEndsSafelyLater) {
    auto* server = new StuckServer;
    server->SetStopWaitSeconds(1);
    ASSERT_TRUE(StartOnLoopback(*server, 1, 0, 512));
    CVornUDPSocket client;
    ASSERT_TRUE(client.Bind(CVornHostAddress(Loopback(), 0)));
    ASSERT_EQ(4, client.Send("stay", 4, AddressOf(*server)));
    ASSERT_TRUE(Eventually([&] { return server->m_Entered == 1; }));

    EXPECT_FALSE(server->Stop());
    // A server whose thread still runs cannot start again.
    EXPECT_FALSE(StartOnLoopback(*server, 1, 0, 512));
    EXPECT_EQ(1u, EventsOf(217).size());
    delete server;

    // The handler comes back into a server that no longer exists; the
    // framework must end the thread without touching it (the address
    // sanitizer reports any use of the freed server).
    g_StuckGate = true;
    ASSERT_TRUE(Eventually([] { return g_StuckReturned.load(); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // let the thread finish
}

}  // namespace
