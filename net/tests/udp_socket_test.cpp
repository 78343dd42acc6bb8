// The UDP socket on loopback: binding (chosen ports, hosts without
// addresses, fallback to the next address), datagrams with their senders,
// bounded receives, cut datagrams, misuse, and handing a socket over.
#include "net/udp_socket.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "net/tests/udp_fixture.h"

namespace {

using udptest::Loopback;

class UdpSocketTest : public udptest::UdpFixture {};

std::string PortText(unsigned short port) {
    return "[127.0.0.1]." + std::to_string(port);
}

TEST_F(UdpSocketTest, AskingForALargerReceiveBufferGrowsIt) {
    CVornUDPSocket unbound;
    EXPECT_EQ(-1, unbound.SetReceiveBufferSize(1 << 20));
    EXPECT_EQ(1u, EventsOf(190).size());

    CVornUDPSocket small, large;
    ASSERT_TRUE(small.Bind(CVornHostAddress(Loopback(), 0)));
    ASSERT_TRUE(large.Bind(CVornHostAddress(Loopback(), 0)));
    const int smallSize = small.SetReceiveBufferSize(4096);
    const int largeSize = large.SetReceiveBufferSize(1 << 20);
    EXPECT_GT(smallSize, 0);
    // The kernel may cap the request, but never below its default (which is
    // well above 4 KiB).
    EXPECT_GT(largeSize, smallSize);
    EXPECT_EQ(-1, large.SetReceiveBufferSize(0));
}

TEST_F(UdpSocketTest, DatagramsArriveWholeWithTheirSender) {
    CVornUDPSocket server, client;
    ASSERT_TRUE(server.Bind(CVornHostAddress(Loopback(), 0)));
    ASSERT_TRUE(client.Bind(CVornHostAddress(Loopback(), 0)));
    unsigned short serverPort = server.GetLocalPort();
    ASSERT_NE(0, serverPort);  // port 0 let the system choose one

    const char payload[] = {'a', '\0', 'b', '\n', 'c'};  // NULs are data too
    CVornHostAddress to(Loopback(), serverPort);
    ASSERT_EQ(5, client.SendString(CVornString(payload, 5), to));

    char buffer[64];
    CVornHostAddress sender("stale-name", 1);
    ASSERT_EQ(5, server.Receive(buffer, sizeof buffer, 1, &sender));
    EXPECT_EQ(0, memcmp(buffer, payload, 5));
    EXPECT_FALSE(server.TimedOut());
    // The sender is the client's address and port, without a name.
    EXPECT_STREQ(PortText(client.GetLocalPort()).c_str(), sender.Format(0));
}

TEST_F(UdpSocketTest, ReceiveWaitsAtMostTheSecondsGivenAndNeverBlocksWithoutThem) {
    CVornUDPSocket socket;
    ASSERT_TRUE(socket.Bind(CVornHostAddress(Loopback(), 0)));
    char buffer[16];
    for (int seconds : {0, 1}) {
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(0, socket.Receive(buffer, sizeof buffer, seconds, nullptr)) << seconds;
        EXPECT_TRUE(socket.TimedOut()) << seconds;
        // A generous upper bound only: the point is that it returns at all.
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5)) << seconds;
    }
    // Without a wait, a datagram that is already there is taken.
    CVornUDPSocket client;
    ASSERT_TRUE(client.Bind(CVornHostAddress(Loopback(), 0)));
    ASSERT_EQ(2, client.Send("hi", 2, CVornHostAddress(Loopback(), socket.GetLocalPort())));
    ASSERT_TRUE(udptest::Eventually(
        [&] { return socket.Receive(buffer, sizeof buffer, 0, nullptr) == 2; }));
    EXPECT_FALSE(socket.TimedOut());
}

TEST_F(UdpSocketTest, ALongerDatagramIsCutToTheBufferAndItsRestIsGone) {
    CVornUDPSocket server, client;
    ASSERT_TRUE(server.Bind(CVornHostAddress(Loopback(), 0)));
    ASSERT_TRUE(client.Bind(CVornHostAddress(Loopback(), 0)));
    CVornHostAddress to(Loopback(), server.GetLocalPort());
    ASSERT_EQ(10, client.Send("0123456789", 10, to));
    ASSERT_EQ(2, client.Send("xy", 2, to));

    char buffer[8] = {};
    EXPECT_EQ(4, server.Receive(buffer, 4, 1, nullptr));
    EXPECT_EQ(0, memcmp(buffer, "0123", 4));
    EXPECT_EQ(2, server.Receive(buffer, sizeof buffer, 1, nullptr));
    EXPECT_EQ(0, memcmp(buffer, "xy", 2));
}

TEST_F(UdpSocketTest, AHostWithoutAddressesBindsEveryLocalInterface) {
    // No lookup is installed, so the name has no address.
    CVornUDPSocket server, client;
    ASSERT_TRUE(server.Bind(CVornHostAddress("no-such-host.invalid", 0)));
    ASSERT_TRUE(client.Bind(CVornHostAddress(Loopback(), 0)));
    ASSERT_EQ(3, client.Send("any", 3, CVornHostAddress(Loopback(), server.GetLocalPort())));
    char buffer[8];
    EXPECT_EQ(3, server.Receive(buffer, sizeof buffer, 1, nullptr));
}

TEST_F(UdpSocketTest, BindFallsBackToTheNextAddressAndFailsWhenNoneIsFree) {
    CVornUDPSocket holder;
    ASSERT_TRUE(holder.Bind(CVornHostAddress(Loopback(1), 0)));
    unsigned short port = holder.GetLocalPort();

    // 127.0.0.1 at that port is taken; 127.0.0.2 (loopback too) is free.
    CVornHostAddress two(Loopback(1), port);
    two.AddAddress(CVornHostAddressEntry(Loopback(2)));
    CVornUDPSocket second;
    EXPECT_TRUE(second.Bind(two));
    EXPECT_EQ(port, second.GetLocalPort());
    ASSERT_EQ(1u, EventsOf(189).size());
    EXPECT_EQ(0u, EventsOf(189)[0].find("1:M189 [127.0.0.1]." + std::to_string(port) + " "));

    // Nothing free: false, and the socket stays unusable.
    CVornUDPSocket third;
    EXPECT_FALSE(third.Bind(CVornHostAddress(Loopback(1), port)));
    char buffer[4];
    EXPECT_EQ(-1, third.Receive(buffer, sizeof buffer, 0, nullptr));
    EXPECT_EQ(2u, EventsOf(189).size());
    EXPECT_EQ(1u, EventsOf(190).size());
}

TEST_F(UdpSocketTest, MisuseIsReportedAndChangesNothing) {
    CVornUDPSocket unbound;
    char buffer[4];
    CVornHostAddress to(Loopback(), 9);
    EXPECT_EQ(-1, unbound.Receive(buffer, sizeof buffer, 0, nullptr));
    EXPECT_FALSE(unbound.TimedOut());
    EXPECT_EQ(-1, unbound.Send("x", 1, to));
    EXPECT_FALSE(unbound.Close());
    EXPECT_EQ(0, unbound.GetLocalPort());
    EXPECT_EQ(3u, EventsOf(190).size());
    EXPECT_EQ(1u, EventsOf(187).size());

    CVornUDPSocket bound;
    ASSERT_TRUE(bound.Bind(CVornHostAddress(Loopback(), 0)));
    EXPECT_EQ(-1, bound.Receive(nullptr, 4, 0, nullptr));
    EXPECT_EQ(-1, bound.Receive(buffer, -1, 0, nullptr));
    EXPECT_EQ(-1, bound.Send(nullptr, 1, to));
    EXPECT_EQ(-1, bound.Send("x", -1, to));
    EXPECT_EQ(2u, EventsOf(197).size());
    EXPECT_EQ(2u, EventsOf(198).size());
    // A destination without any address: nothing to send to.
    EXPECT_EQ(-1, bound.Send("x", 1, CVornHostAddress("no-such-host.invalid", 9)));
    // The socket still works.
    EXPECT_EQ(0, bound.Receive(buffer, sizeof buffer, 0, nullptr));
    EXPECT_TRUE(bound.TimedOut());
}

TEST_F(UdpSocketTest, TakeOverMovesTheBoundSocketAndLeavesTheOtherClosed) {
    CVornUDPSocket original, owner, client;
    ASSERT_TRUE(original.Bind(CVornHostAddress(Loopback(), 0)));
    ASSERT_TRUE(owner.Bind(CVornHostAddress(Loopback(), 0)));  // closed by the take-over
    unsigned short port = original.GetLocalPort();
    ASSERT_TRUE(owner.TakeOver(original));
    EXPECT_TRUE(owner.TakeOver(owner));  // itself: nothing changes
    EXPECT_EQ(port, owner.GetLocalPort());
    EXPECT_EQ(0, original.GetLocalPort());
    EXPECT_FALSE(original.Close());

    ASSERT_TRUE(client.Bind(CVornHostAddress(Loopback(), 0)));
    ASSERT_EQ(4, client.Send("moved", 4, CVornHostAddress(Loopback(), port)));
    char buffer[8];
    EXPECT_EQ(4, owner.Receive(buffer, sizeof buffer, 1, nullptr));
    EXPECT_TRUE(owner.Close());
    EXPECT_EQ(0, owner.GetLocalPort());
}

}  // namespace
