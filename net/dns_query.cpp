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

#include "core/debug_log.h"
#include "core/hash_table.h"
#include "core/pseudo_random.h"
#include "core/threads.h"
#include "platform/sockets.h"

namespace {

// From key (DnsMakeKey of name, type, id) to the CDnsPendingQuery; the table
// never owns the query.
CVornHashTable& PendingTable() {
    static CVornHashTable* table = new CVornHashTable(256, 0);
    return *table;
}

CVornLock& PendingLock() {
    static CVornLock* lock = new CVornLock(true);
    return *lock;
}

unsigned short RandomId() {
    unsigned short id = 0;
    if (platform::SecureRandom(&id, sizeof id))
        return id;
    LogText(kLogError, "dns query id: kernel random source failed, using pseudo-random id");
    return static_cast<unsigned short>((PseudoRandom() << 1) ^ PseudoRandom());
}

}  // namespace

CDnsPendingQuery::CDnsPendingQuery(const CVornString& name, int type, CDnsServerList* servers)
    : m_Type(type), m_Servers(servers) {
    DnsCanonicalName(name, m_Name);
    CVornHashTable& table = PendingTable();
    CVornLock& lock = PendingLock();
    {
        CVornLockGuard guard(lock);
        while (table.Count() >= kDnsMaxPendingQueries) {
            lock.Unlock();
            SleepSeconds(1);
            lock.Lock();
        }
        do {
            m_Id = RandomId();
            DnsMakeKey(m_Name, m_Type, m_Id, m_Key);
        } while (table.Find(m_Key, nullptr, false));
        table.Insert(m_Key, this, nullptr);
    }
    DnsBuildQuery(m_Id, m_Name, m_Type, m_Packet);
}

CDnsPendingQuery::~CDnsPendingQuery() {
    CVornLockGuard tableGuard(PendingLock());
    CVornLockGuard queryGuard(m_QueryLock);
    PendingTable().Find(m_Key, nullptr, true);
    m_Records.RemoveAll();
}

void CDnsPendingQuery::ResetAnswer() {
    CVornLockGuard guard(m_QueryLock);
    m_Records.RemoveAll();
    m_Answered = false;
    m_AnswerAuthoritative = false;
    m_NotedCount = 0;
    m_NotedNext = 0;
    m_AnswerEvent.WaitSeconds(0);  // drop a wake-up left from an earlier run
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
    if (id < 0 || id > 0xFFFF)
        return false;
    // The sender's address and port, read from a copy so that no lock of the
    // caller's object is held under the table lock.
    CVornHostAddress from(sender);
    if (from.GetAddressCount() == 0)
        return false;
    CVornHostAddressList addresses;
    if (!from.GetAddresses(addresses) || addresses.m_Count == 0)
        return false;
    const uint32_t address = addresses.GetAt(0)->GetAddress();
    const unsigned short port = from.GetPort();

    CVornString key(CVornString::kUnlocked);
    DnsMakeKey(question.m_Name, question.m_Type, id, key);

    CVornLockGuard tableGuard(PendingLock());
    void* value = nullptr;
    if (!PendingTable().Find(key, &value, false) || !value)
        return false;
    CDnsPendingQuery* query = static_cast<CDnsPendingQuery*>(value);
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
    query->m_AnswerEvent.Set();
    return true;
}

int DnsPendingCount() {
    CVornLockGuard guard(PendingLock());
    return PendingTable().Count();
}
