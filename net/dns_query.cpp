// Outstanding DNS queries and the table through which replies reach them.
//
//   CDnsPendingQuery     registers a query under a random id and builds its message;
//                        the destructor unregisters it
//   ResetAnswer / NoteServer / WaitForAnswer / TakeAnswer
//                        what the thread that runs the query uses
//   DnsDeliverAnswer     hands a parsed reply to the query it answers
//   DnsPendingCount      the number of outstanding queries
//
// Bad input: a reply whose id, sender or question matches no outstanding
// query, or that arrived on another query's socket, is not delivered
// (false); nothing of it reaches any query. Ids come from the kernel's
// random source, so they cannot be predicted from earlier ones; should that
// source fail, the pseudo-random sequence stands in and a debug line says so.
//
// The table and its lock are process-wide, made on first use and never
// destroyed (detached threads may still end queries at exit).
#include "net/dns_query.h"

#include <pthread.h>

#include <atomic>
#include <mutex>
#include <string>
#include <unordered_map>

#include "core/debug_log.h"
#include "core/pseudo_random.h"
#include "core/threads.h"
#include "platform/sockets.h"

namespace {

// From key (the bytes of DnsMakeKey of name, type, id) to the
// CDnsPendingQuery, in shards by key, each a plain map under a plain mutex
// held only for one look-up, insert or removal, so that queries of
// different names seldom meet on one lock. The table never owns the query.
struct PendingShard {
    std::mutex m_Mutex;
    std::unordered_map<std::string, CDnsPendingQuery*> m_Queries;
};

constexpr size_t kPendingShards = 32;

PendingShard& ShardOf(const std::string& key) {
    static auto* shards = new PendingShard[kPendingShards];
    return shards[std::hash<std::string>()(key) % kPendingShards];
}

// Outstanding queries in all shards; a query counts from before its insert
// until after its removal.
std::atomic<int> g_PendingCount{0};

std::string KeyBytes(const CVornString& key) {
    CVornStringLockGuard guard(key);
    const char* data = key.Data();
    return data ? std::string(data, static_cast<size_t>(key.Length())) : std::string();
}

// Query ids come from the kernel's random source a block at a time: one
// getrandom per kIdsPerDraw ids of a thread instead of one per query. The
// ids a thread has not used yet never leave it. A forked child must not
// repeat its parent's ids, so a fork makes every pool draw afresh.
constexpr int kIdsPerDraw = 32;

std::atomic<unsigned> g_ForkGeneration{0};

void NoteFork() {
    g_ForkGeneration.fetch_add(1, std::memory_order_relaxed);
}

struct IdPool {
    unsigned short m_Ids[kIdsPerDraw];
    int m_Left = 0;
    unsigned m_Generation = 0;
};

unsigned short RandomId() {
    static std::once_flag watchForks;
    std::call_once(watchForks, [] { pthread_atfork(nullptr, nullptr, &NoteFork); });
    thread_local IdPool pool;
    const unsigned generation = g_ForkGeneration.load(std::memory_order_relaxed);
    if (pool.m_Left == 0 || pool.m_Generation != generation) {
        pool.m_Left = 0;
        if (!platform::SecureRandom(pool.m_Ids, sizeof pool.m_Ids)) {
            LogText(kLogError, "dns query id: kernel random source failed, using pseudo-random id");
            return static_cast<unsigned short>((PseudoRandom() << 1) ^ PseudoRandom());
        }
        pool.m_Left = kIdsPerDraw;
        pool.m_Generation = generation;
    }
    return pool.m_Ids[--pool.m_Left];
}

}  // namespace

CDnsPendingQuery::CDnsPendingQuery(const CVornString& name, int type, CDnsServerList* servers)
    : m_Type(type), m_Servers(servers) {
    DnsCanonicalName(name, m_Name);
    // A place among the outstanding queries first (waiting while they are
    // all taken), then a key: an id already taken for this name and type
    // draws again.
    for (int count = g_PendingCount.load();;) {
        if (count >= kDnsMaxPendingQueries) {
            SleepSeconds(1);
            count = g_PendingCount.load();
            continue;
        }
        if (g_PendingCount.compare_exchange_weak(count, count + 1))
            break;
    }
    for (;;) {
        m_Id = RandomId();
        DnsMakeKey(m_Name, m_Type, m_Id, m_Key);
        std::string key = KeyBytes(m_Key);
        PendingShard& shard = ShardOf(key);
        std::lock_guard<std::mutex> guard(shard.m_Mutex);
        if (shard.m_Queries.emplace(std::move(key), this).second)
            break;
    }
    DnsBuildQuery(m_Id, m_Name, m_Type, m_Packet);
}

CDnsPendingQuery::~CDnsPendingQuery() {
    const std::string key = KeyBytes(m_Key);
    {
        PendingShard& shard = ShardOf(key);
        std::lock_guard<std::mutex> tableGuard(shard.m_Mutex);
        CVornLockGuard queryGuard(m_QueryLock);
        auto found = shard.m_Queries.find(key);
        if (found != shard.m_Queries.end() && found->second == this)
            shard.m_Queries.erase(found);
        m_Records.RemoveAll();
    }
    g_PendingCount.fetch_sub(1);
}

void CDnsPendingQuery::ResetAnswer() {
    CVornLockGuard guard(m_QueryLock);
    m_Records.RemoveAll();
    m_Answered = false;
    m_AnswerAuthoritative = false;
    m_NotedCount = 0;
    m_NotedNext = 0;
    // Drop a wake-up left from an earlier run. Only a delivery sets the
    // event, so a query that never had one (the common case: a new query)
    // makes no system call here.
    if (m_AnswerEventSet) {
        m_AnswerEvent.WaitSeconds(0);
        m_AnswerEventSet = false;
    }
}

void CDnsPendingQuery::NoteServer(uint32_t address, unsigned short port) {
    CVornLockGuard guard(m_QueryLock);
    if (sentTo(address, port))
        return;
    int slot;
    if (m_NotedCount < kMaxNotedServers) {
        slot = m_NotedCount++;
    } else {
        slot = m_NotedNext;
        m_NotedNext = (m_NotedNext + 1) % kMaxNotedServers;
    }
    m_NotedAddress[slot] = address;
    m_NotedPort[slot] = port;
}

unsigned CDnsPendingQuery::WaitForAnswer(int seconds) {
    return m_AnswerEvent.WaitSeconds(seconds);
}

bool CDnsPendingQuery::TakeAnswer(CDnsRecordList& out, bool* authoritative) {
    CVornLockGuard guard(m_QueryLock);
    if (!m_Answered)
        return false;
    CVornLockGuard listGuard(m_Records.m_Lock);
    for (auto* node = m_Records.m_Head; node; node = node->m_Next) out.AddTail(node->m_Element);
    if (authoritative)
        *authoritative = m_AnswerAuthoritative;
    return true;
}

bool CDnsPendingQuery::sentTo(uint32_t address, unsigned short port) const {
    for (int i = 0; i < m_NotedCount; ++i) {
        if (m_NotedAddress[i] == address && m_NotedPort[i] == port)
            return true;
    }
    return false;
}

bool DnsDeliverAnswer(int id, const CVornHostAddress& sender, bool authoritative,
                      const CDnsRecord& question, const CDnsRecordPtrList& answers,
                      const CDnsPendingQuery* receiver) {
    // Read from a copy, so that no lock of the caller's object is held under
    // the table lock.
    uint32_t address = 0;
    unsigned short port = 0;
    if (!CDnsSender(sender).Address(&address, &port))
        return false;
    return DnsDeliverAnswerFrom(id, address, port, authoritative, question, answers, receiver);
}

bool DnsDeliverAnswerFrom(int id, uint32_t address, unsigned short port, bool authoritative,
                          const CDnsRecord& question, const CDnsRecordPtrList& answers,
                          const CDnsPendingQuery* receiver) {
    if (id < 0 || id > 0xFFFF)
        return false;
    CVornString made(CVornString::kUnlocked);
    DnsMakeKey(question.m_Name, question.m_Type, id, made);
    const std::string key = KeyBytes(made);

    PendingShard& shard = ShardOf(key);
    std::lock_guard<std::mutex> tableGuard(shard.m_Mutex);
    auto found = shard.m_Queries.find(key);
    if (found == shard.m_Queries.end() || !found->second)
        return false;
    CDnsPendingQuery* query = found->second;
    // A reply that came in on another query's socket is forged or stray.
    if (receiver && receiver != query)
        return false;
    CVornLockGuard queryGuard(query->m_QueryLock);
    if (!query->sentTo(address, port))
        return false;
    if (query->m_Answered)
        return true;  // a second reply to the same query adds nothing

    {
        CVornLockGuard answersGuard(answers.m_Lock);
        for (auto* node = answers.m_Head; node; node = node->m_Next) {
            const CDnsRecord* record = node->m_Element;
            if (record && record->m_Type == query->m_Type &&
                record->m_Name.Equals(query->m_Name, 0))
                query->m_Records.AddTail(*record);
        }
    }
    query->m_AnswerAuthoritative = authoritative;
    query->m_Answered = true;
    query->m_AnswerEventSet = true;
    query->m_AnswerEvent.Set();
    return true;
}

int DnsPendingCount() {
    return g_PendingCount.load();
}
