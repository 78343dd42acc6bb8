// The DNS query exchange: send one query to the name servers in turn from a
// socket of its own and wait for its reply there. See dns_exchange.h.
//
//   DnsQuery              one query to the configured or given name servers
//   DnsQueryServer        one query to the name server an NS record names
//   DnsSharedQueryWaiters callers now waiting for another caller's query
//   DnsSetQueryTimes      the wait per send and the deadline (tests)
//   DnsSetNameServerPort  the port of zone name servers (tests)
//
// Bad input: an empty server list, a server whose name cannot be resolved, a
// socket that cannot be opened or fails, or a failed send ends the query at
// once with false; a server list is never written. A reply reaches the query
// only on its own socket and only from a server it was sent to (the query
// notes each server before it sends; net/dns_query.h). Datagrams there that
// do not answer it are reported (rate-limited) and dropped, and the query
// goes on waiting for its answer.
#include "net/dns_exchange.h"

#include <errno.h>
#include <string.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/debug_log.h"
#include "core/event_log.h"
#include "core/vorn_exception.h"
#include "net/dns_resolver.h"
#include "platform/sockets.h"

namespace {

using SteadyClock = std::chrono::steady_clock;

enum : int { kEventWarning = 2 };
enum : int { kMsgDatagramTooLarge = 223 };

constexpr int kDefaultWaitSeconds = 4;
constexpr int kDefaultDeadlineSeconds = 40;
constexpr unsigned short kDefaultNameServerPort = 53;
// How long one send may wait for room in the socket's send buffer.
constexpr int kSendTimeoutMs = 5000;

std::atomic<int> g_WaitSeconds{kDefaultWaitSeconds};
std::atomic<int> g_DeadlineSeconds{kDefaultDeadlineSeconds};
std::atomic<unsigned short> g_NameServerPort{kDefaultNameServerPort};

// ---- Queries in flight, shared by callers asking the same question

// One question on its way. The caller that made it (the leader) runs the
// query; callers asking the same question meanwhile wait for its result
// instead of sending a query of their own, so a forger cannot race several
// identical queries at once, and the servers are asked once.
struct Flight {
    bool m_Finished = false;  // all fields under the lock of its shard
    bool m_Ok = false;
    bool m_Authoritative = false;
    std::vector<CDnsRecord> m_Records;
    std::condition_variable m_Done;
};

// The flights in shards by key, each with its lock, taken alone (never with
// another lock of the resolver): threads asking different questions seldom
// meet on one lock. Never destroyed: detached threads may still use them at
// exit.
struct FlightShard {
    std::mutex m_Mutex;
    std::unordered_map<std::string, std::shared_ptr<Flight>> m_Flights;
};

constexpr size_t kFlightShards = 32;

FlightShard& ShardOf(const std::string& key) {
    static auto* shards = new FlightShard[kFlightShards];
    return shards[std::hash<std::string>()(key) % kFlightShards];
}

std::atomic<int> g_SharedWaiters{0};

// Each part goes in with its length first, so that no name (which may hold
// any byte) can make two different questions share a key.
void AppendBytes(std::string& out, const std::string& bytes) {
    out += std::to_string(bytes.size());
    out += ':';
    out += bytes;
}

// The servers' part of a flight key: each server by its addresses and port,
// or by its name and port while it has no address yet (nothing is looked up
// here).
std::string ServersKey(CDnsServerList& servers) {
    std::string key;
    CVornLockGuard guard(servers.m_Lock);
    for (auto* node = servers.m_Head; node; node = node->m_Next) {
        CVornHostAddress* server = node->m_Element;
        if (!server)
            continue;
        std::string text;
        if (server->GetAddressCount() > 0) {
            CVornHostAddressList addresses;
            server->GetAddresses(addresses);
            CVornLockGuard addressesGuard(addresses.m_Lock);
            for (auto* a = addresses.m_Head; a; a = a->m_Next) {
                text += std::to_string(a->m_Element.GetAddress());
                text += ',';
            }
        } else {
            text = server->Format(0);
        }
        text += '/';
        text += std::to_string(server->GetPort());
        AppendBytes(key, text);
    }
    return key;
}

// The question (name ignoring case, type), the zone and the servers asked
// (ServersKey).
std::string FlightKey(const CVornString& name, int type, const CVornString& zone,
                      const std::string& serversKey) {
    std::string key;
    AppendBytes(key, DnsCanonicalKey(name, type, 0));
    AppendBytes(key, DnsCanonicalKey(zone, 0, 0));
    key += serversKey;
    return key;
}

// The configured name servers as one thread's own copies of the resolver's
// snapshot, with their part of the flight key. They are made again only
// when the resolver's servers change (a start or a stop), so a query neither
// copies the servers nor shares their locks with other threads' queries,
// and a stop cannot free them under it.
struct ThreadServers {
    unsigned m_Generation = 0;
    CVornList<CVornHostAddress> m_Hosts;
    CDnsServerList m_List;  // the hosts of m_Hosts, in order
    std::string m_Key;      // ServersKey(m_List)
};

std::shared_ptr<ThreadServers> ConfiguredServers() {
    thread_local std::shared_ptr<ThreadServers> mine;
    if (mine && mine->m_Generation == DnsResolver().ServerGeneration())
        return mine;
    auto made = std::make_shared<ThreadServers>();
    const auto snapshot = DnsResolver().ServerSnapshot(&made->m_Generation);
    if (snapshot) {
        CVornLockGuard guard(snapshot->m_Lock);
        for (auto* node = snapshot->m_Head; node; node = node->m_Next)
            made->m_Hosts.AddTail(node->m_Element);
    }
    {
        CVornLockGuard guard(made->m_Hosts.m_Lock);
        for (auto* node = made->m_Hosts.m_Head; node; node = node->m_Next)
            made->m_List.AddTail(&node->m_Element);
    }
    made->m_Key = ServersKey(made->m_List);
    // A query running further up this thread's stack keeps its own reference.
    mine = made;
    return made;
}

// Ends the leader's flight whatever way its query ends (an exception
// included), so that no follower waits in vain.
class FlightEnd {
public:
    FlightEnd(std::string key, std::shared_ptr<Flight> flight)
        : m_Key(std::move(key)), m_Shard(ShardOf(m_Key)), m_Flight(std::move(flight)) {}
    ~FlightEnd() {
        std::lock_guard<std::mutex> guard(m_Shard.m_Mutex);
        auto found = m_Shard.m_Flights.find(m_Key);
        if (found != m_Shard.m_Flights.end() && found->second == m_Flight)
            m_Shard.m_Flights.erase(found);
        m_Flight->m_Finished = true;
        m_Flight->m_Done.notify_all();
    }
    FlightEnd(const FlightEnd&) = delete;
    FlightEnd& operator=(const FlightEnd&) = delete;

    // Records the leader's result for the followers.
    void Succeeded(CDnsRecordList& list, bool authoritative) {
        std::vector<CDnsRecord> records;
        {
            CVornLockGuard guard(list.m_Lock);
            for (auto* node = list.m_Head; node; node = node->m_Next)
                records.push_back(node->m_Element);
        }
        std::lock_guard<std::mutex> guard(m_Shard.m_Mutex);
        m_Flight->m_Ok = true;
        m_Flight->m_Authoritative = authoritative;
        m_Flight->m_Records.swap(records);
    }

private:
    const std::string m_Key;
    FlightShard& m_Shard;
    const std::shared_ptr<Flight> m_Flight;
};

// ---- One query on the wire

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

// The query's own datagram socket, closed when the query ends. It is not
// bound: the kernel gives it a port drawn at random from the ephemeral range
// at its first send, exactly as a bind to port 0 would, with one system call
// fewer. It asks for a large receive buffer before that send.
class QuerySocket {
public:
    QuerySocket() = default;
    ~QuerySocket() {
        if (m_Fd >= 0)
            platform::SocketClose(m_Fd);
    }
    QuerySocket(const QuerySocket&) = delete;
    QuerySocket& operator=(const QuerySocket&) = delete;

    // False (reported) when the system gives no socket.
    bool Open() {
        m_Fd = platform::SocketCreate(platform::SocketType::Datagram);
        if (m_Fd < 0) {
            if (!g_LogSilent) {
                CVornString line("dns query: no socket, error ");
                line.AppendInt(errno);
                LogText(kLogError, line.CStr());
            }
            return false;
        }
        // Best effort: a smaller buffer only makes a flood likelier to win.
        platform::SocketSetReceiveBuffer(m_Fd, kDnsReceiveBufferBytes);
        return true;
    }
    int Fd() const { return m_Fd; }

private:
    int m_Fd = -1;
};

// Sends the query's message to the first address of server that takes it,
// noting each address before its send so that its reply is accepted. False
// when the server has no address or every send failed.
bool SendTo(CDnsPendingQuery& query, CVornHostAddress& server, QuerySocket& socket) {
    CVornHostAddressList addresses;
    if (!server.GetAddresses(addresses))
        return false;
    unsigned short port = server.GetPort();
    if (port == 0)
        port = kDefaultNameServerPort;
    // The message leaves from a copy on the stack, so that no lock of the
    // query's text is held across the system call.
    char wire[kDnsMaxMessage];
    size_t length;
    {
        CVornStringLockGuard packetGuard(query.m_Packet);
        if (query.m_Packet.Length() > kDnsMaxMessage)
            return false;
        length = static_cast<size_t>(query.m_Packet.Length());
        if (length > 0)
            memcpy(wire, query.m_Packet.Data(), length);
    }
    CVornLockGuard guard(addresses.m_Lock);
    for (auto* node = addresses.m_Head; node; node = node->m_Next) {
        const uint32_t address = node->m_Element.GetAddress();
        query.NoteServer(address, port);
        if (platform::SocketSendToWithin(socket.Fd(), wire, length, address, port,
                                         kSendTimeoutMs) >= 1)
            return true;
    }
    return false;
}

// A datagram over the largest reply: reported like the other junk.
void ReportOversized(const CDnsSender& sender, int size) {
    int heldBack = 0;
    if (!DnsReportLimiter().Allow(kMsgDatagramTooLarge, &heldBack))
        return;
    CVornString text;
    sender.Text(text);
    AppendHeldBack(text, heldBack);
    LogEventStrInt(kMsgDatagramTooLarge, kEventWarning, text.CStr(), size);
}

// Receives on the query's socket until a reply has been delivered to the
// query or waitSeconds have passed. Everything else that arrives is handled
// (reported, rate-limited) and dropped, and the wait goes on until the same
// end. False when the socket fails.
bool AwaitReply(CDnsPendingQuery& query, QuerySocket& socket, char* buffer, int waitSeconds) {
    const auto until = SteadyClock::now() + std::chrono::seconds(waitSeconds);
    CVornString data(CVornString::kUnlocked);
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(until - SteadyClock::now());
        if (left.count() <= 0)
            return true;
        uint32_t fromAddress = 0;
        uint16_t fromPort = 0;
        // One poll and one receive: the buffer holds one byte more than the
        // largest reply, so a longer datagram shows as too long.
        const long n = platform::SocketReceiveFrom(socket.Fd(), buffer, kDnsMaxMessage + 1,
                                                   static_cast<int>(left.count()), &fromAddress,
                                                   &fromPort, nullptr);
        if (n == platform::kSocketTimedOut)
            return true;
        if (n < 0)
            return false;
        if (n == 0)
            continue;  // an empty datagram
        const CDnsSender sender(fromAddress, fromPort);
        if (n > kDnsMaxMessage) {
            ReportOversized(sender, static_cast<int>(n));
            continue;
        }
        data.Assign(buffer, static_cast<int>(n));
        if (DnsResolver().HandleReply(data, sender, &query))
            return true;
    }
}

// Runs the query: sends to the servers in turn, each send followed by one
// wait, until a reply is delivered or the deadline has passed.
bool Run(CDnsPendingQuery& query, CDnsRecordList& list, bool* authoritative) {
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

    QuerySocket socket;
    if (!socket.Open())
        return false;
    std::unique_ptr<char[]> buffer(new char[kDnsMaxMessage + 1]);

    for (int i = 0;;) {
        CVornHostAddress* server = ServerAt(*query.m_Servers, i);
        if (!server)
            return false;
        i = (i + 1) % n;
        // A name server known only by name is looked up on first use.
        if (server->GetAddressCount() == 0 && !server->Resolve())
            return false;
        if (!SendTo(query, *server, socket))
            return false;
        if (!AwaitReply(query, socket, buffer.get(), waitSeconds))
            return false;
        if (query.TakeAnswer(list, authoritative))
            return true;
        // A stopped resolver has dropped its servers: waiting on is pointless.
        if (!DnsResolver().IsStarted())
            return false;
        if (SteadyClock::now() > deadline)
            return false;
    }
}

// One query of the caller's own (the leader of its flight).
bool RunOwn(const CVornString& name, int type, CDnsServerList* servers, const CVornString& zone,
            CDnsRecordList& list, bool* authoritative) {
    CDnsPendingQuery query(name, type, servers);
    query.m_Zone.Assign(zone);
    return Run(query, list, authoritative);
}

// DnsQuery with the zone whose servers are asked (empty: no zone).
bool QueryShared(const CVornString& name, int type, CDnsServerList* servers,
                 const CVornString& zone, CDnsRecordList& list, bool* authoritative) {
    list.RemoveAll();
    if (authoritative)
        *authoritative = false;
    // The configured servers: this thread's copies, which the query keeps.
    std::shared_ptr<ThreadServers> configured;
    std::string key;
    if (!servers) {
        configured = ConfiguredServers();
        servers = &configured->m_List;
        key = FlightKey(name, type, zone, configured->m_Key);
    } else {
        key = FlightKey(name, type, zone, ServersKey(*servers));
    }
    FlightShard& shard = ShardOf(key);
    std::shared_ptr<Flight> flight;
    bool leader = false;
    {
        std::lock_guard<std::mutex> guard(shard.m_Mutex);
        auto found = shard.m_Flights.find(key);
        if (found != shard.m_Flights.end()) {
            flight = found->second;
        } else {
            flight = std::make_shared<Flight>();
            shard.m_Flights.emplace(key, flight);
            leader = true;
        }
    }

    if (leader) {
        FlightEnd end(std::move(key), flight);
        bool aa = false;
        const bool ok = RunOwn(name, type, servers, zone, list, &aa);
        if (!ok) {
            list.RemoveAll();
            aa = false;
        } else {
            end.Succeeded(list, aa);
        }
        if (authoritative)
            *authoritative = aa;
        return ok;
    }

    // The leader gives up at its deadline, but resolving a server's name may
    // add lookups of its own: the bound only keeps a follower from waiting
    // for ever on a leader that never comes back.
    const auto bound =
        std::chrono::seconds(2 * (g_DeadlineSeconds.load() + g_WaitSeconds.load()) + 10);
    std::unique_lock<std::mutex> lock(shard.m_Mutex);
    ++g_SharedWaiters;
    const bool finished = flight->m_Done.wait_for(lock, bound, [&] { return flight->m_Finished; });
    --g_SharedWaiters;
    if (!finished || !flight->m_Ok)
        return false;
    const std::vector<CDnsRecord> records = flight->m_Records;
    const bool aa = flight->m_Authoritative;
    lock.unlock();
    for (const CDnsRecord& r : records) list.AddTail(r);
    if (authoritative)
        *authoritative = aa;
    return true;
}

}  // namespace

bool DnsQuery(const CVornString& name, int type, CDnsServerList* servers, CDnsRecordList& list,
              bool* authoritative) {
    return QueryShared(name, type, servers, CVornString(CVornString::kUnlocked), list,
                       authoritative);
}

bool DnsQueryServer(const CVornString& name, int type, const CDnsRecord& nameServer,
                    CDnsRecordList& list, bool* authoritative) {
    CVornString target(nameServer.m_Target);
    std::unique_ptr<CVornHostAddress> host(new CVornHostAddress(target.CStr(), 0));
    host->SetPort(g_NameServerPort.load());
    CDnsServerList servers;
    servers.AddTail(host.get());
    // The record's owner is the zone that the server speaks for.
    return QueryShared(name, type, &servers, nameServer.m_Name, list, authoritative);
}

int DnsSharedQueryWaiters() {
    return g_SharedWaiters.load();
}

void DnsSetQueryTimes(int waitSeconds, int deadlineSeconds) {
    g_WaitSeconds.store(waitSeconds >= 1 ? waitSeconds : kDefaultWaitSeconds);
    g_DeadlineSeconds.store(deadlineSeconds >= 1 ? deadlineSeconds : kDefaultDeadlineSeconds);
}

void DnsSetNameServerPort(unsigned short port) {
    g_NameServerPort.store(port != 0 ? port : kDefaultNameServerPort);
}
