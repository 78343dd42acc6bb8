// CVornTCPSocket over real loopback connections: lines across receives,
// partial lines at a time-out and at the end of data, connect failures and
// the next address, the connect and send time-outs, the line bound, misuse.
#include "net/tcp_socket.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/sockets.h"

namespace {

uint32_t Loopback(const char* text = "127.0.0.1") {
    int address = 0;
    EXPECT_TRUE(ParseDottedQuad(CVornString(text), &address));
    return static_cast<uint32_t>(address);
}

std::string Text(CVornString& s) {
    return std::string(s.CStr(), s.Length());
}

class TcpSocketTest : public ::testing::Test {
protected:
    void SetUp() override {
        CVornTCPSocket::SetConnectTimeoutMs(2000);
        CVornTCPSocket::SetSendTimeoutMs(500);
        CVornTCPSocket::SetIdleReceiveTimeoutMs(3000);
        CVornHostAddress any(Loopback(), 0);
        ASSERT_TRUE(m_Listener.Listen(any));
        CVornHostAddress local;
        ASSERT_TRUE(m_Listener.GetLocalAddress(local));
        m_Port = local.GetPort();
        ASSERT_NE(m_Port, 0);
    }
    void TearDown() override { CVornTCPSocket::ResetTimeouts(); }

    // A client connected to the listener, and the server's end in server.
    std::unique_ptr<CVornTCPSocket> ConnectPair(CVornTCPSocket& server) {
        auto client = std::make_unique<CVornTCPSocket>(CVornHostAddress(Loopback(), m_Port));
        EXPECT_TRUE(client->Connect());
        EXPECT_TRUE(m_Listener.Accept(server, 2));
        return client;
    }

    CVornTCPSocket m_Listener;
    unsigned short m_Port = 0;
};

TEST_F(TcpSocketTest, LinesAreCutAtTheDelimiterAlsoWhenItIsSplitAcrossReceives) {
    CVornTCPSocket server;
    auto client = ConnectPair(server);
    // Receives take at most 4064 bytes, so a CR at byte 4064 and its LF after
    // it arrive in different receives.
    std::string first(4063, 'a');
    first += "\r\nMAIL FROM:<a@b>\r\nQUIT";
    ASSERT_EQ(client->Write(first.data(), static_cast<int>(first.size())),
              static_cast<int>(first.size()));

    CVornString line;
    EXPECT_EQ(server.ReadUntil(line, "\r\n", 2), 4065);
    EXPECT_EQ(Text(line), std::string(4063, 'a') + "\r\n");
    EXPECT_EQ(server.ReadUntil(line, "\r\n", 2), 17);
    EXPECT_EQ(Text(line), "MAIL FROM:<a@b>\r\n");

    // The rest of a line that ends with the connection: its length, and the
    // end of data is flagged.
    client->Close();
    EXPECT_EQ(server.ReadUntil(line, "\r\n", 2), 4);
    EXPECT_EQ(Text(line), "QUIT");
    EXPECT_TRUE(server.IsEOF());
    EXPECT_EQ(server.ReadUntil(line, "\r\n", 2), 0);
}

TEST_F(TcpSocketTest, ReadUntilReturnsThePartialLineWhenTheWaitRunsOut) {
    CVornTCPSocket server;
    auto client = ConnectPair(server);
    ASSERT_EQ(client->Write("12345", 5), 5);

    CVornString line;
    EXPECT_EQ(server.ReadUntil(line, "\r\n", 1), 5);
    EXPECT_EQ(Text(line), "12345");
    EXPECT_EQ(server.GetError(), kTcpTimedOut);
    EXPECT_FALSE(server.IsEOF());
}

// A peer that never ends its line, sending nothing or a byte every 200 ms:
// the limit ends the call, with what came taken, although each wait alone
// would be longer and the bytes keep coming.
TEST_F(TcpSocketTest, AReadUntilWithALimitEndsAtItEvenWhileBytesKeepComing) {
    for (int trickleMs : {0, 200}) {
        CVornTCPSocket server;
        auto client = ConnectPair(server);
        std::atomic<bool> done{false};
        // It gives up after three seconds, so a call without the limit fails
        // rather than hangs.
        std::thread peer([&] {
            for (int sent = 0; !done && trickleMs > 0 && sent * trickleMs < 3000; ++sent) {
                if (client->Write("x", 1) != 1)
                    break;
                std::this_thread::sleep_for(std::chrono::milliseconds(trickleMs));
            }
        });
        CVornString line;
        auto start = std::chrono::steady_clock::now();
        int got = server.ReadUntil(line, "\r\n", 5, 700);
        auto took = std::chrono::steady_clock::now() - start;
        done = true;
        peer.join();
        EXPECT_EQ(got, line.Length()) << trickleMs;
        EXPECT_EQ(Text(line), std::string(static_cast<size_t>(got), 'x')) << trickleMs;
        if (trickleMs > 0) {
            EXPECT_GE(got, 2) << trickleMs;
        }
        EXPECT_EQ(server.GetError(), kTcpTimedOut) << trickleMs;
        EXPECT_GE(took, std::chrono::milliseconds(650)) << trickleMs;
        EXPECT_LT(took, std::chrono::milliseconds(2500)) << trickleMs;
    }
}

TEST_F(TcpSocketTest, AReadUntilWithALimitLeavesTheBytesAfterTheLineBuffered) {
    CVornTCPSocket server;
    auto client = ConnectPair(server);
    ASSERT_EQ(client->Write(CVornString("one\r\ntwo\r\nthr")), 13);
    CVornString line;
    EXPECT_EQ(server.ReadUntil(line, "\r\n", 1, 1000), 5);
    EXPECT_EQ(Text(line), "one\r\n");
    // The rest came in the same receive: a limit already over still hands
    // out the buffered line, then the buffered partial one.
    EXPECT_EQ(server.ReadUntil(line, "\r\n", 1, 0), 5);
    EXPECT_EQ(Text(line), "two\r\n");
    EXPECT_EQ(server.ReadUntil(line, "\r\n", 1, 0), 3);
    EXPECT_EQ(Text(line), "thr");
    EXPECT_EQ(server.GetError(), kTcpTimedOut);
}

TEST_F(TcpSocketTest, ANoWaitReadStillEndsAtTheIdleReceiveTimeout) {
    CVornTCPSocket::SetIdleReceiveTimeoutMs(200);
    CVornTCPSocket server;
    auto client = ConnectPair(server);
    CVornString line;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(server.ReadUntil(line, "\r\n", 0), 0);
    EXPECT_EQ(server.GetError(), kTcpTimedOut);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
}

TEST_F(TcpSocketTest, ReadStopsAtTheEndOfDataWithWhatCame) {
    CVornTCPSocket server;
    auto client = ConnectPair(server);
    ASSERT_EQ(client->Write(CVornString("abcd")), 4);
    client->Close();
    CVornString out;
    EXPECT_EQ(server.Read(out, 10, 2), 4);
    EXPECT_EQ(Text(out), "abcd");
    EXPECT_TRUE(server.IsEOF());
}

TEST_F(TcpSocketTest, ReadKeepsTheBytesThatCameBeforeAReset) {
    CVornTCPSocket server;
    int raw = platform::SocketCreate(platform::SocketType::Stream);
    ASSERT_GE(raw, 0);
    ASSERT_EQ(platform::SocketConnect(raw, Loopback(), m_Port, 2000), 0);
    ASSERT_TRUE(m_Listener.Accept(server, 2));
    std::string data = "line\r\n" + std::string(94, 'x');
    ASSERT_EQ(platform::SocketSend(raw, data.data(), data.size(), 1000), 100);
    // Taking the line leaves the rest in the socket's own buffer.
    CVornString line;
    ASSERT_EQ(server.ReadUntil(line, "\r\n", 2), 6);
    // Linger 0: closing sends a reset instead of an orderly end.
    linger hard{1, 0};
    ASSERT_EQ(setsockopt(raw, SOL_SOCKET, SO_LINGER, &hard, sizeof hard), 0);
    platform::SocketClose(raw);

    CVornString rest;
    EXPECT_EQ(server.Read(rest, 0, 2), 94);
    EXPECT_EQ(Text(rest), std::string(94, 'x'));
}

TEST_F(TcpSocketTest, ALineOverTheBoundIsAnErrorNotUnboundedMemory) {
    CVornTCPSocket server;
    auto client = ConnectPair(server);
    std::string flood(CVornTCPSocket::kMaxLineLength + 8192, 'z');
    std::thread writer([&] { client->Write(flood.data(), static_cast<int>(flood.size())); });
    CVornString line;
    EXPECT_EQ(server.ReadUntil(line, "\r\n", 2), -1);
    EXPECT_EQ(server.GetError(), kTcpLineTooLong);
    EXPECT_LT(line.Length(), CVornTCPSocket::kMaxLineLength + 4064);
    writer.join();
}

TEST_F(TcpSocketTest, AWriteToAPeerThatStopsReadingEndsAtTheSendTimeout) {
    CVornTCPSocket server;  // never reads
    auto client = ConnectPair(server);
    std::string block(1 << 20, 'q');
    auto start = std::chrono::steady_clock::now();
    int last = 0;
    // Loopback buffers hold a few megabytes; the writes fill them and then one
    // comes back short instead of blocking.
    for (int i = 0; i < 256; ++i) {
        last = client->Write(block.data(), static_cast<int>(block.size()));
        if (last != static_cast<int>(block.size()))
            break;
    }
    EXPECT_LT(last, static_cast<int>(block.size()));
    EXPECT_EQ(client->GetError(), kTcpTimedOut);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
}

TEST_F(TcpSocketTest, ARefusingAddressIsSkippedForTheNextOne) {
    // Nothing listens on 127.0.0.2 at this port: the listener is bound to
    // 127.0.0.1 only.
    CVornHostAddress host(Loopback("127.0.0.2"), m_Port);
    host.AddAddress(CVornHostAddressEntry(Loopback()));
    CVornTCPSocket client(host);
    EXPECT_TRUE(client.Connect());
    EXPECT_TRUE(client.IsConnected());
    EXPECT_EQ(client.GetError(), kTcpRefused);
    CVornTCPSocket server;
    EXPECT_TRUE(m_Listener.Accept(server, 2));

    CVornTCPSocket refused(CVornHostAddress(Loopback("127.0.0.2"), m_Port));
    EXPECT_FALSE(refused.Connect());
    EXPECT_EQ(refused.GetError(), kTcpRefused);
    EXPECT_FALSE(refused.IsConnected());
}

TEST_F(TcpSocketTest, ConnectToAListenerWithAFullQueueEndsAtTheConnectTimeout) {
    // A listener that never accepts, with the smallest backlog: once its
    // queue is full the kernel drops further handshakes, as a host that does
    // not answer would.
    int full = platform::SocketCreate(platform::SocketType::Stream);
    ASSERT_GE(full, 0);
    ASSERT_EQ(platform::SocketBind(full, Loopback(), 0), 0);
    ASSERT_EQ(platform::SocketListen(full, 1), 0);
    uint16_t port = 0;
    ASSERT_EQ(platform::SocketLocalAddress(full, nullptr, &port), 0);

    CVornTCPSocket::SetConnectTimeoutMs(300);
    std::vector<std::unique_ptr<CVornTCPSocket>> clients;
    bool timedOut = false;
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 16 && !timedOut; ++i) {
        auto c = std::make_unique<CVornTCPSocket>(CVornHostAddress(Loopback(), port));
        if (!c->Connect()) {
            EXPECT_EQ(c->GetError(), kTcpSystemTimedOut);
            timedOut = true;
        }
        clients.push_back(std::move(c));
    }
    EXPECT_TRUE(timedOut);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    platform::SocketClose(full);
}

TEST_F(TcpSocketTest, AReconnectedSocketDoesNotHandOutTheOldConnectionsBytes) {
    auto client = std::make_unique<CVornTCPSocket>(CVornHostAddress(Loopback(), m_Port));
    CVornTCPSocket server1;
    ASSERT_TRUE(client->Connect());
    ASSERT_TRUE(m_Listener.Accept(server1, 2));
    ASSERT_EQ(server1.Write(CVornString("one\r\nleft")), 9);
    CVornString line;
    ASSERT_EQ(client->ReadUntil(line, "\r\n", 2), 5);
    // Wait, bounded, until "left" is in the client's buffer.
    CVornString part;
    ASSERT_EQ(client->Read(part, 2, 2), 2);
    ASSERT_TRUE(client->Close());

    CVornTCPSocket server2;
    ASSERT_TRUE(client->Connect());
    ASSERT_TRUE(m_Listener.Accept(server2, 2));
    ASSERT_EQ(server2.Write(CVornString("two\r\n")), 5);
    EXPECT_EQ(client->ReadUntil(line, "\r\n", 2), 5);
    EXPECT_EQ(Text(line), "two\r\n");
}

TEST_F(TcpSocketTest, MisuseIsRefusedWithItsErrorCode) {
    CVornTCPSocket closed(CVornHostAddress(Loopback(), m_Port));
    CVornTCPSocket other;
    CVornHostAddress peer;
    CVornString s("x");
    CVornTCPSocket* const c = &closed;
    CVornTCPSocket* const l = &m_Listener;
    struct Case {
        const char* what;
        std::function<bool()> call;
        CVornTCPSocket* socket;
        int error;
    } cases[] = {
        {"write on closed", [&] { return closed.Write(s) == -1; }, c, kTcpNotConnected},
        {"write null data", [&] { return closed.Write(nullptr, 3) == -1; }, c, kTcpBadArgument},
        {"read negative count", [&] { return closed.Read(s, -1, 0) == -1; }, c, kTcpBadArgument},
        {"read on closed", [&] { return closed.Read(s, 1, 0) == -1; }, c, kTcpNotConnected},
        {"empty delimiter", [&] { return closed.ReadUntil(s, "", 0) == -1; }, c, kTcpBadArgument},
        {"null delimiter", [&] { return closed.ReadUntil(s, nullptr, 0) == -1; }, c,
         kTcpBadArgument},
        {"close closed", [&] { return !closed.Close(); }, c, kTcpNotConnected},
        {"eof on closed", [&] { return !closed.IsEOF(); }, c, kTcpNotConnected},
        {"peer of closed", [&] { return !closed.GetPeerAddress(peer); }, c, kTcpNotConnected},
        {"accept on closed", [&] { return !closed.Accept(other, 0); }, c, kTcpAcceptOnClosed},
        {"listen twice", [&] { return !m_Listener.Listen(); }, l, kTcpAlreadyListening},
        {"connect a listener", [&] { return !m_Listener.Connect(); }, l, kTcpAlreadyListening},
    };
    for (auto& k : cases) {
        EXPECT_TRUE(k.call()) << k.what;
        EXPECT_EQ(k.socket->GetError(), k.error) << k.what;
    }
}

TEST_F(TcpSocketTest, ListenOnAPortInUseFailsWithAddressInUse) {
    CVornTCPSocket second;
    EXPECT_FALSE(second.Listen(CVornHostAddress(Loopback(), m_Port)));
    EXPECT_EQ(second.GetError(), kTcpAddressInUse);
}

TEST_F(TcpSocketTest, AcceptWithNothingPendingEndsAtItsWait) {
    CVornTCPSocket server;
    EXPECT_FALSE(m_Listener.Accept(server, 1));
    EXPECT_EQ(m_Listener.GetError(), kTcpTimedOut);
}

TEST_F(TcpSocketTest, TakeOverMovesAConnectionIntoAListenerAndClosesTheListener) {
    CVornTCPSocket accepted;
    auto client = ConnectPair(accepted);
    ASSERT_EQ(client->Write(CVornString("hi\r\n")), 4);
    CVornString first;
    ASSERT_EQ(accepted.Read(first, 1, 2), 1);  // "i\r\n" now buffered

    ASSERT_TRUE(m_Listener.TakeOver(accepted));
    EXPECT_TRUE(m_Listener.IsConnected());
    EXPECT_FALSE(accepted.IsConnected());
    CVornString line;
    EXPECT_EQ(m_Listener.ReadUntil(line, "\r\n", 2), 3);
    // The old listening port is gone.
    CVornTCPSocket late(CVornHostAddress(Loopback(), m_Port));
    EXPECT_FALSE(late.Connect());
    // The peer's view of the moved connection.
    CVornHostAddress peer;
    ASSERT_TRUE(m_Listener.GetPeerAddress(peer));
    CVornHostAddress clientLocal;
    ASSERT_TRUE(client->GetLocalAddress(clientLocal));
    EXPECT_EQ(peer.GetPort(), clientLocal.GetPort());
}

TEST_F(TcpSocketTest, AHostWithoutAddressCannotConnect) {
    CVornTCPSocket unnamed(CVornHostAddress("", 0));
    EXPECT_FALSE(unnamed.Connect());
    EXPECT_EQ(unnamed.GetError(), kTcpNoAddress);
}

}  // namespace
