// Connections served per second by the TCP server framework on loopback:
// a server whose ProcessJob reads one line and answers one line, with 1, 5
// and 20 connection workers. Each iteration is a fixed number of
// connections made by a few client threads of the benchmark itself (connect,
// send a line, read the answer, close). Every client comes from 127.0.0.1,
// so the server's per-address cap is raised to the client threads (the
// label says so). Run with scripts/bench tcp_server.
#include <benchmark/benchmark.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "net/host_address.h"
#include "net/tcp_server.h"
#include "net/tcp_socket.h"

namespace {

constexpr int kClientThreads = 4;
constexpr int kConnectionsPerThread = 50;
constexpr int kWaitSeconds = 5;

class OneLineServer : public CVornTCPServer {
public:
    OneLineServer() : CVornTCPServer("BENCH") {}
    ~OneLineServer() override { Stop(); }

    void ProcessJob(CVornTCPSocket* connection, int threadNumber) override {
        (void)threadNumber;
        CVornString line(CVornString::kUnlocked);
        if (connection->ReadUntil(line, "\r\n", kWaitSeconds) > 0)
            connection->Write("250 OK\r\n", 8);
    }
};

uint32_t Loopback() {
    int address = 0;
    ParseDottedQuad(CVornString("127.0.0.1"), &address);
    return static_cast<uint32_t>(address);
}

// One client's share of an iteration; counts the connections that got their
// answer.
void RunClient(unsigned short port, std::atomic<int>* answered) {
    for (int i = 0; i < kConnectionsPerThread; ++i) {
        CVornTCPSocket client(CVornHostAddress(Loopback(), port));
        if (!client.Connect())
            continue;
        CVornString line(CVornString::kUnlocked);
        if (client.Write("HELO bench\r\n", 12) == 12 &&
            client.ReadUntil(line, "\r\n", kWaitSeconds) > 0)
            ++*answered;
    }
}

void BM_ConnectionsServed(benchmark::State& state) {
    OneLineServer server;
    server.SetAddressCap(kClientThreads);
    if (!server.Start(static_cast<int>(state.range(0)), 0, CVornHostAddress(Loopback(), 0))) {
        state.SkipWithError("the server did not start");
        return;
    }
    CVornHostAddress local;
    server.GetLocalHost(local);
    unsigned short port = local.GetPort();

    std::atomic<int> answered{0};
    for (auto _ : state) {
        std::vector<std::thread> clients;
        for (int t = 0; t < kClientThreads; ++t) clients.emplace_back(RunClient, port, &answered);
        for (std::thread& t : clients) t.join();
    }
    long total = static_cast<long>(state.iterations()) * kClientThreads * kConnectionsPerThread;
    if (answered != total)
        state.SkipWithError("some connections were not answered");
    state.SetLabel("address cap " + std::to_string(kClientThreads) + ", all from 127.0.0.1");
    state.counters["connections/s"] =
        benchmark::Counter(static_cast<double>(answered), benchmark::Counter::kIsRate);
}

BENCHMARK(BM_ConnectionsServed)
    ->ArgName("workers")
    ->Arg(1)
    ->Arg(5)
    ->Arg(20)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
