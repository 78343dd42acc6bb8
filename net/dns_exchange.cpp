// The DNS query exchange: send one query to the name servers in turn and
// wait for its reply. See dns_exchange.h.
//
//   DnsQuery              one query to the configured or given name servers
//   DnsQueryServer        one query to the name server an NS record names
//   DnsSetQueryTimes      the wait per send and the deadline (tests)
//   DnsSetNameServerPort  the port of zone name servers (tests)
//
// Bad input: an empty server list, a server whose name cannot be resolved or
// a failed send ends the query at once with false; a server list is never
// written. A reply reaches the query only from a server it was sent to (the
// query notes each server before it sends; net/dns_query.h).
#include "net/dns_exchange.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <vector>

#include "net/dns_resolver.h"

namespace {

constexpr int kDefaultWaitSeconds = 4;
constexpr int kDefaultDeadlineSeconds = 40;
constexpr unsigned short kDefaultNameServerPort = 53;

std::atomic<int> g_WaitSeconds{kDefaultWaitSeconds};
std::atomic<int> g_DeadlineSeconds{kDefaultDeadlineSeconds};
std::atomic<unsigned short> g_NameServerPort{kDefaultNameServerPort};

// The server at index, borrowed from the list (null past the end).
CVornHostAddress* ServerAt(CDnsServerList& servers, int index) {
    CVornLockGuard guard(servers.m_Lock);
    auto* node = servers.SeekTo(static_cast<unsigned>(index));
    return node ? node->m_Element : nullptr;
}

int ServerCount(CDnsServerList& servers) {
    CVornLockGuard guard(servers.m_Lock);
    return servers.m_Count;
}

// Sends the query's message to the first address of server that takes it,
// noting each address before its send so that its reply is accepted. False
// when the server has no address or every send failed.
bool SendTo(CDnsPendingQuery& query, CVornHostAddress& server) {
    CVornHostAddressList addresses;
    if (!server.GetAddresses(addresses))
        return false;
    unsigned short port = server.GetPort();
    if (port == 0)
        port = kDefaultNameServerPort;
    CVornUDPSocket& socket = DnsResolver().GetSocket();
    CVornLockGuard guard(addresses.m_Lock);
    for (auto* node = addresses.m_Head; node; node = node->m_Next) {
        const uint32_t address = node->m_Element.GetAddress();
        query.NoteServer(address, port);
        if (socket.SendString(query.m_Packet, CVornHostAddress(address, port)) >= 1)
            return true;
    }
    return false;
}

// Runs the query: sends to the servers in turn, each send followed by one
// wait, until a reply is delivered or the deadline has passed.
bool Run(CDnsPendingQuery& query, CDnsRecordList& list, bool* authoritative) {
    using SteadyClock = std::chrono::steady_clock;
    const int waitSeconds = g_WaitSeconds.load();
    const auto deadline = SteadyClock::now() + std::chrono::seconds(g_DeadlineSeconds.load());

    query.ResetAnswer();
    list.RemoveAll();
    if (authoritative)
        *authoritative = false;
    if (!query.m_Servers || !DnsResolver().IsStarted())
        return false;
    const int n = ServerCount(*query.m_Servers);
    if (n == 0)
        return false;

    for (int i = 0;;) {
        CVornHostAddress* server = ServerAt(*query.m_Servers, i);
        if (!server)
            return false;
        i = (i + 1) % n;
        // A name server known only by name is looked up on first use.
        if (server->GetAddressCount() == 0 && !server->Resolve())
            return false;
        if (!SendTo(query, *server))
            return false;
        query.WaitForAnswer(waitSeconds);
        if (query.TakeAnswer(list, authoritative))
            return true;
        // A stopped resolver receives nothing more: waiting on is pointless.
        if (!DnsResolver().IsStarted())
            return false;
        if (SteadyClock::now() > deadline)
            return false;
    }
}

}  // namespace

bool DnsQuery(const CVornString& name, int type, CDnsServerList* servers, CDnsRecordList& list,
              bool* authoritative) {
    // The configured servers are copied, so that a stop of the resolver that
    // frees its list cannot pull them away from under the query.
    CVornList<CVornHostAddress> copies;
    CDnsServerList configured;
    if (!servers) {
        DnsResolver().CopyServers(copies);
        CVornLockGuard guard(copies.m_Lock);
        for (auto* node = copies.m_Head; node; node = node->m_Next)
            configured.AddTail(&node->m_Element);
        servers = &configured;
    }
    CDnsPendingQuery query(name, type, servers);
    bool ok = Run(query, list, authoritative);
    if (!ok) {
        list.RemoveAll();
        if (authoritative)
            *authoritative = false;
    }
    return ok;
}

bool DnsQueryServer(const CVornString& name, int type, const CDnsRecord& nameServer,
                    CDnsRecordList& list, bool* authoritative) {
    CVornString target(nameServer.m_Target);
    std::unique_ptr<CVornHostAddress> host(new CVornHostAddress(target.CStr(), 0));
    host->SetPort(g_NameServerPort.load());
    CDnsServerList servers;
    servers.AddTail(host.get());
    return DnsQuery(name, type, &servers, list, authoritative);
}

void DnsSetQueryTimes(int waitSeconds, int deadlineSeconds) {
    g_WaitSeconds.store(waitSeconds >= 1 ? waitSeconds : kDefaultWaitSeconds);
    g_DeadlineSeconds.store(deadlineSeconds >= 1 ? deadlineSeconds : kDefaultDeadlineSeconds);
}

void DnsSetNameServerPort(unsigned short port) {
    g_NameServerPort.store(port != 0 ? port : kDefaultNameServerPort);
}
