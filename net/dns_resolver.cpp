// The process's DNS resolver: its start and stop, the reply handler and the
// record cache. See dns_resolver.h.
//
//   DnsResolver      the resolver of the process, made on first use
//   DnsStart         read the configuration once and start the UDP server
//   DnsStop          stop the threads, free the lists, empty the cache
//   HandleReply      a reply: parse, deliver to its query, cache its chain
//   HandleDatagram   what arrives at the server's own socket (no query there)
//   RunHelper        the cache cleaner (every 300 s)
//   DnsCacheAdd / DnsCacheFind / DnsCacheRecords / DnsCacheClean /
//   DnsCacheFlush / DnsCacheInfo
//                    the cache
//
// Bad input: a reply that cannot be parsed (206), that carries an error code
// (207, 212; 208, 210 and 211 in the debug log), that has no question (213)
// or that no outstanding query sent to its sender waits for on the socket it
// came in on (214 in the debug log) is dropped and nothing of it is cached;
// each of these reports goes out at most once a minute with the count held
// back since. An error reply does not end its query, which asks its next
// server after its wait. Of an accepted reply only the records of the
// question's own chain are cached (see the header), and of a zone server's
// reply only records inside that zone, so a server cannot plant records for
// names it was not asked about. A null record given to the cache is ignored.
#include "net/dns_resolver.h"

#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <vector>

#include "core/clock.h"
#include "core/debug_log.h"
#include "core/event_log.h"
#include "core/message_catalog.h"
#include "core/system_info.h"
#include "core/threads.h"
#include "net/dns_lookup.h"

namespace {

enum : int { kEventError = 1, kEventWarning = 2 };

// Catalogue numbers of the resolver's messages.
enum : int {
    kMsgBadGrunts = 201,
    kMsgNoNameServers = 203,
    kMsgBadReply = 206,
    kMsgFormatError = 207,
    kMsgServerFailure = 208,
    kMsgNotImplemented = 210,
    kMsgRefused = 211,
    kMsgBadRcode = 212,
    kMsgNoQuestion = 213,
    kMsgUnexpectedReply = 214,
};

constexpr int kNameServerPort = 53;

// The catalogue text of number filled with the sender's text, to the debug
// log at WARNING (these replies are common enough to stay out of the event
// log). Rate-limited like the events below.
void DebugWarning(int number, const CDnsSender& sender) {
    if (g_LogSilent)
        return;
    int heldBack = 0;
    if (!DnsReportLimiter().Allow(number, &heldBack))
        return;
    CVornString format(CVornString::kUnlocked);
    {
        CVornLockGuard guard(GetCatalogLock());
        const char* text = GetCatalogText(number);
        format.Assign(text ? text : "");
    }
    CVornString argument(CVornString::kUnlocked);
    sender.Text(argument);
    AppendHeldBack(argument, heldBack);
    LogFormat(kLogWarning, format.CStr(), argument.CStr());
}

// A warning event about a reply that cannot be used. Anyone can send such
// datagrams, so each number goes out at most once a minute; the sender text
// then says how many were held back since the last one.
void ReplyWarning(int number, const CDnsSender& sender, int value) {
    int heldBack = 0;
    if (!DnsReportLimiter().Allow(number, &heldBack))
        return;
    CVornString text(CVornString::kUnlocked);
    sender.Text(text);
    AppendHeldBack(text, heldBack);
    LogEventStringInt(number, kEventWarning, text, value);
}

bool InNames(const std::vector<CVornString>& names, const CVornString& name) {
    for (const CVornString& n : names) {
        if (n.Equals(name, 0))
            return true;
    }
    return false;
}

// The question's name and the CNAME targets that lead from it through the
// answers (at most kDnsMaxCnameSteps steps, stopping at a loop).
std::vector<CVornString> QuestionChain(const CDnsRecord& question, CDnsRecordPtrList& answers) {
    std::vector<CVornString> chain;
    chain.emplace_back(question.m_Name, CVornString::kUnlocked);
    CVornLockGuard guard(answers.m_Lock);
    for (int step = 0; step < kDnsMaxCnameSteps; ++step) {
        const CDnsRecord* next = nullptr;
        for (auto* node = answers.m_Head; node && !next; node = node->m_Next) {
            const CDnsRecord* r = node->m_Element;
            if (r && r->m_Type == kDnsTypeCNAME && r->m_Name.Equals(chain.back(), 0))
                next = r;
        }
        if (!next || next->m_Target.IsEmpty() || InNames(chain, next->m_Target))
            break;
        chain.emplace_back(next->m_Target, CVornString::kUnlocked);
    }
    return chain;
}

// Unlinks every record of the list and hands them to the caller.
std::vector<CDnsRecord*> TakeRecords(CDnsRecordPtrList& list) {
    std::vector<CDnsRecord*> records;
    CVornLockGuard guard(list.m_Lock);
    for (auto* node = list.m_Head; node; node = node->m_Next) records.push_back(node->m_Element);
    list.RemoveAll();
    return records;
}

// Drops every record of the list whose owner lies outside zone.
void KeepInZone(CDnsRecordPtrList& list, const CVornString& zone) {
    for (CDnsRecord* r : TakeRecords(list)) {
        if (r && DnsInZone(r->m_Name, zone))
            list.AddTail(r);
        else
            delete r;
    }
}

}  // namespace

// ---- The resolver of the process

CVornDNSResolver& DnsResolver() {
    static CVornDNSResolver* resolver = [] {
        DnsInstallHostLookups();
        return new CVornDNSResolver();
    }();
    return *resolver;
}

CVornDNSResolver::CVornDNSResolver() : CVornUDPServer("DNS") {}

CVornDNSResolver::~CVornDNSResolver() {
    StopResolver();
}

// ---- Start and stop

bool CVornDNSResolver::Start(int grunts, bool writeLockHeld) {
    if (m_Started.load()) {
        if (writeLockHeld)
            m_CacheLock.unlock();
        return true;
    }
    if (grunts <= 0) {
        if (writeLockHeld)
            m_CacheLock.unlock();
        LogEventInt(kMsgBadGrunts, kEventError, grunts);
        return false;
    }
    if (!writeLockHeld) {
        std::unique_lock<std::shared_mutex> guard(m_CacheLock);
        return startLocked(grunts);
    }
    // The caller's write lock goes however the start ends.
    struct Release {
        std::shared_mutex& lock;
        ~Release() { lock.unlock(); }
    } release{m_CacheLock};
    return startLocked(grunts);
}

bool CVornDNSResolver::startLocked(int grunts) {
    // Another thread may have finished the start while this one waited.
    if (m_Started.load())
        return true;

    CVornStringList domains;
    CVornHostAddressList addresses;
    CVornList<unsigned short> ports;
    SysInfoGetDnsInfo(domains, addresses, &ports);

    // A start that failed before left its lists behind; a retry must not add
    // to them.
    clearListsLocked();
    {
        CVornLockGuard domainsGuard(domains.m_Lock);
        for (auto* node = domains.m_Head; node; node = node->m_Next) {
            if (!node->m_Element.IsEmpty())
                m_SearchDomains.AddTail(new CVornString(node->m_Element));
        }
    }
    {
        CVornLockGuard addressesGuard(addresses.m_Lock);
        CVornLockGuard portsGuard(ports.m_Lock);
        auto* port = ports.m_Head;
        for (auto* node = addresses.m_Head; node; node = node->m_Next) {
            CVornHostAddress* host = new CVornHostAddress();
            host->SetAddress(node->m_Element);
            host->SetPort(port && port->m_Element ? port->m_Element
                                                  : static_cast<unsigned short>(kNameServerPort));
            m_Servers.AddTail(host);
            if (port)
                port = port->m_Next;
        }
    }
    bool haveServers;
    {
        auto snapshot = std::make_shared<CVornList<CVornHostAddress>>();
        CVornLockGuard serversGuard(m_Servers.m_Lock);
        haveServers = m_Servers.m_Count > 0;
        for (auto* node = m_Servers.m_Head; node; node = node->m_Next)
            snapshot->AddTail(*node->m_Element);
        std::lock_guard<std::mutex> snapshotGuard(m_SnapshotLock);
        m_ServerSnapshot = std::move(snapshot);
        m_ServerGeneration.fetch_add(1, std::memory_order_release);
    }
    // Not fatal: every query then fails at once, and the lookups say so.
    if (!haveServers)
        LogEventInt(kMsgNoNameServers, kEventError, 0);

    bool started = CVornUDPServer::Start(
        grunts, 1, kDnsMaxMessage, CVornHostAddress(uint32_t{0}, static_cast<unsigned short>(0)));
    if (started) {
        // Best effort, as on the queries' own sockets (kDnsReceiveBufferBytes).
        GetSocket().SetReceiveBufferSize(kDnsReceiveBufferBytes);
        m_Started.store(true);
    }
    return started;
}

void CVornDNSResolver::StopResolver() {
    bool wasStarted;
    {
        // Queries see the stop after their current wait and give up.
        std::unique_lock<std::shared_mutex> guard(m_CacheLock);
        wasStarted = m_Started.exchange(false);
        clearListsLocked();
        cacheFlushShards();
    }
    // The threads take the cache lock, so it is not held while they end.
    if (wasStarted)
        CVornUDPServer::Stop();
    std::unique_lock<std::shared_mutex> guard(m_CacheLock);
    // Records a query cached while the resolver was being stopped (unless
    // another start has happened meanwhile).
    if (!m_Started.load())
        cacheFlushShards();
}

void CVornDNSResolver::clearListsLocked() {
    std::shared_ptr<CVornList<CVornHostAddress>> snapshot;
    {
        std::lock_guard<std::mutex> guard(m_SnapshotLock);
        snapshot.swap(m_ServerSnapshot);
        m_ServerGeneration.fetch_add(1, std::memory_order_release);
    }
    std::vector<CVornHostAddress*> hosts;
    {
        CVornLockGuard guard(m_Servers.m_Lock);
        for (auto* node = m_Servers.m_Head; node; node = node->m_Next)
            hosts.push_back(node->m_Element);
        m_Servers.RemoveAll();
    }
    for (CVornHostAddress* host : hosts) delete host;
    std::vector<CVornString*> texts;
    {
        CVornLockGuard guard(m_SearchDomains.m_Lock);
        for (auto* node = m_SearchDomains.m_Head; node; node = node->m_Next)
            texts.push_back(node->m_Element);
        m_SearchDomains.RemoveAll();
    }
    for (CVornString* text : texts) delete text;
}

void CVornDNSResolver::CopyServers(CVornList<CVornHostAddress>& out) {
    out.RemoveAll();
    std::shared_lock<std::shared_mutex> guard(m_CacheLock);
    CVornLockGuard listGuard(m_Servers.m_Lock);
    for (auto* node = m_Servers.m_Head; node; node = node->m_Next) out.AddTail(*node->m_Element);
}

std::shared_ptr<CVornList<CVornHostAddress>> CVornDNSResolver::ServerSnapshot(
    unsigned* generation) {
    std::lock_guard<std::mutex> guard(m_SnapshotLock);
    if (generation)
        *generation = m_ServerGeneration.load(std::memory_order_relaxed);
    return m_ServerSnapshot;
}

void CVornDNSResolver::CopySearchDomains(CVornStringList& out) {
    out.RemoveAll();
    std::shared_lock<std::shared_mutex> guard(m_CacheLock);
    CVornLockGuard listGuard(m_SearchDomains.m_Lock);
    for (auto* node = m_SearchDomains.m_Head; node; node = node->m_Next)
        out.AddTail(*node->m_Element);
}

// ---- Threads

void CVornDNSResolver::RunHelper(int /*threadNumber*/) {
    time_t next = Now() + kCleanSeconds;
    while (!IsStopping() && !TooManyHelpers()) {
        if (Now() > next) {
            CacheClean();
            next = Now() + kCleanSeconds;
        }
        SleepSeconds(1);
    }
}

void CVornDNSResolver::HandleDatagram(const CVornString& data, const CVornHostAddress& sender,
                                      int /*threadNumber*/) {
    // Queries listen on sockets of their own: nothing that arrives here
    // answers one.
    HandleReply(data, sender, nullptr);
}

bool CVornDNSResolver::HandleReply(const CVornString& data, const CVornHostAddress& sender,
                                   CDnsPendingQuery* receiver) {
    return HandleReply(data, CDnsSender(sender), receiver);
}

bool CVornDNSResolver::HandleReply(const CVornString& data, const CDnsSender& sender,
                                   CDnsPendingQuery* receiver) {
    CDnsRecordPtrList questions, answers, authority, additional;
    int id = 0;
    int rcode = 0;
    bool authoritative = false;

    if (!DnsParseReply(data, sender, &id, &rcode, &authoritative, questions, answers, authority,
                       additional)) {
        ReplyWarning(kMsgBadReply, sender, 0);
        return false;
    }
    // An error reply is neither delivered nor cached: its query tries its
    // next server after its wait.
    switch (rcode) {
        case 0:
        case 3:
            break;
        case 1:
            ReplyWarning(kMsgFormatError, sender, 0);
            return false;
        case 2:
            DebugWarning(kMsgServerFailure, sender);
            return false;
        case 4:
            DebugWarning(kMsgNotImplemented, sender);
            return false;
        case 5:
            DebugWarning(kMsgRefused, sender);
            return false;
        default:
            ReplyWarning(kMsgBadRcode, sender, rcode);
            return false;
    }

    CDnsRecord question;
    {
        CVornLockGuard guard(questions.m_Lock);
        if (questions.m_Head && questions.m_Head->m_Element)
            question = *questions.m_Head->m_Element;
    }
    if (question.m_Type == 0) {
        ReplyWarning(kMsgNoQuestion, sender, 0);
        return false;
    }

    // A zone's own name servers speak only for names inside it: a record of
    // any other name (an address for the target of a CNAME that leaves the
    // zone, say) would let one zone's servers redirect mail for another
    // domain. Such names are looked up on their own.
    if (receiver && !receiver->m_Zone.IsEmpty()) {
        for (CDnsRecordPtrList* section : {&answers, &authority, &additional})
            KeepInZone(*section, receiver->m_Zone);
    }

    // What the cache takes from the reply is made before the lock, so that
    // the lock is held only to deliver and to file the entries. A reply at
    // the server's own socket answers no query and is not looked at further.
    uint32_t address = 0;
    unsigned short port = 0;
    const bool deliverable = receiver && sender.Address(&address, &port);
    std::vector<CacheEntry> entries;
    if (deliverable)
        entries = cacheEntries(question, authoritative, answers, authority, additional);
    // The query's thread takes its answer only after this call has returned,
    // so it finds the reply's records (its CNAME chain) in the cache; the
    // cache lock is held only to file them.
    const bool delivered = deliverable && DnsDeliverAnswerFrom(id, address, port, authoritative,
                                                               question, answers, receiver);
    if (delivered) {
        for (CacheEntry& entry : entries) cacheFile(entry.first, std::move(entry.second));
    }
    // A late reply to a query that gave up, one nobody asked for, or one
    // from a server the query was not sent to.
    if (!delivered)
        DebugWarning(kMsgUnexpectedReply, sender);
    return delivered;
}

// ---- The cache

CVornDNSResolver::CachedRecord CVornDNSResolver::CachedRecord::From(const CDnsRecord& record) {
    CachedRecord cached;
    cached.m_Expiry = record.m_Expiry;
    cached.m_Type = record.m_Type;
    cached.m_Address = record.m_Address.GetAddress();
    {
        CVornStringLockGuard guard(record.m_Target);
        if (record.m_Target.Length() > 0)
            cached.m_Target.assign(record.m_Target.Data(),
                                   static_cast<size_t>(record.m_Target.Length()));
    }
    cached.m_Preference = record.m_Preference;
    cached.m_Authoritative = record.m_Authoritative;
    cached.m_Negative = record.m_Negative;
    return cached;
}

CDnsRecord CVornDNSResolver::CachedRecord::ToRecord() const {
    CDnsRecord record;
    record.m_Expiry = m_Expiry;
    record.m_Type = m_Type;
    record.m_Address.SetAddress(m_Address);
    if (!m_Target.empty())
        record.m_Target.Assign(m_Target.data(), static_cast<int>(m_Target.size()));
    record.m_Preference = m_Preference;
    record.m_Authoritative = m_Authoritative;
    record.m_Negative = m_Negative;
    return record;
}

void CVornDNSResolver::CacheAdd(CDnsRecord** record) {
    if (!record || !*record)
        return;
    CDnsRecord* r = *record;
    *record = nullptr;
    cacheAdd(r);
}

std::vector<CVornDNSResolver::CacheEntry> CVornDNSResolver::cacheEntries(
    const CDnsRecord& question, bool authoritative, CDnsRecordPtrList& answers,
    CDnsRecordPtrList& authority, CDnsRecordPtrList& additional) {
    std::vector<CacheEntry> entries;
    bool noAnswers;
    {
        CVornLockGuard answersGuard(answers.m_Lock);
        noAnswers = answers.m_Count == 0;
    }
    // A name that does not exist, or has no data of the asked type.
    if (noAnswers) {
        const CDnsRecord negative(question.m_Name, kNegativeTtl, question.m_Type, authoritative);
        entries.emplace_back(DnsCanonicalKey(negative.m_Name, negative.m_Type, 0),
                             CachedRecord::From(negative));
    }
    const std::vector<CVornString> chain = QuestionChain(question, answers);
    for (CDnsRecordPtrList* section : {&answers, &authority, &additional}) {
        CVornLockGuard sectionGuard(section->m_Lock);
        for (auto* node = section->m_Head; node; node = node->m_Next) {
            const CDnsRecord* r = node->m_Element;
            const bool ours = r && r->m_Expiry != 0 && InNames(chain, r->m_Name) &&
                              (r->m_Type == question.m_Type || r->m_Type == kDnsTypeCNAME);
            if (ours)
                entries.emplace_back(DnsCanonicalKey(r->m_Name, r->m_Type, 0),
                                     CachedRecord::From(*r));
        }
    }
    return entries;
}

void CVornDNSResolver::cacheAdd(CDnsRecord* record) {
    std::unique_ptr<CDnsRecord> owned(record);
    cacheFile(DnsCanonicalKey(record->m_Name, record->m_Type, 0), CachedRecord::From(*record));
}

CVornDNSResolver::CacheShard& CVornDNSResolver::shardOf(const std::string& key) {
    return m_Shards[std::hash<std::string>()(key) % kCacheShards];
}

bool CVornDNSResolver::CachedRecord::SameData(const CachedRecord& other) const {
    // As CDnsRecord::Equals for two records without owner names.
    if (m_Type != other.m_Type)
        return false;
    switch (m_Type) {
        case 0:
            return false;
        case kDnsTypeA:
            return m_Address == other.m_Address;
        case kDnsTypeNS:
        case kDnsTypeCNAME:
        case kDnsTypePTR:
        case kDnsTypeMX:
            return CVornString(m_Target.data(), static_cast<int>(m_Target.size()),
                               CVornString::kUnlocked)
                .Equals(CVornString(other.m_Target.data(), static_cast<int>(other.m_Target.size()),
                                    CVornString::kUnlocked),
                        0);
        default:
            return true;
    }
}

void CVornDNSResolver::cacheFile(const std::string& key, CachedRecord incoming) {
    CacheShard& shard = shardOf(key);
    std::unique_lock<std::shared_mutex> guard(shard.m_Lock);
    CacheChain& chain = shard.m_Chains[key];
    for (CachedRecord& cached : chain) {
        // A negative entry never stands for a record (a null MX, an address
        // 0.0.0.0), nor a record for one.
        if (cached.m_Negative != incoming.m_Negative || !cached.SameData(incoming))
            continue;
        if (cached.m_Expiry < incoming.m_Expiry ||
            (!cached.m_Authoritative && incoming.m_Authoritative))
            cached = std::move(incoming);
        return;
    }
    chain.push_back(std::move(incoming));
}

bool CVornDNSResolver::CacheFind(const CVornString& name, int type, bool authoritativeOnly,
                                 CDnsRecordList& list, bool* authoritative) {
    const std::string key = DnsCanonicalKey(name, type, 0);
    bool allAuthoritative = true;
    bool negative = false;
    bool found = false;
    {
        CacheShard& shard = shardOf(key);
        std::shared_lock<std::shared_mutex> guard(shard.m_Lock);
        auto chain = shard.m_Chains.find(key);
        if (chain == shard.m_Chains.end()) {
            if (authoritative)
                *authoritative = false;
            return false;
        }
        list.RemoveAll();
        const time_t now = Now();
        for (const CachedRecord& r : chain->second) {
            if (r.m_Expiry <= now)
                continue;
            if (!r.m_Authoritative) {
                if (authoritativeOnly)
                    continue;
                allAuthoritative = false;
            }
            if (r.m_Negative) {
                negative = true;
            } else {
                list.AddTail(r.ToRecord());
                found = true;
            }
        }
        found = found || negative;
    }
    if (authoritative)
        *authoritative = found && allAuthoritative;
    return found;
}

void CVornDNSResolver::CacheRecords(CDnsRecordPtrList& section) {
    for (CDnsRecord* r : TakeRecords(section)) {
        if (r && r->m_Expiry != 0)
            CacheAdd(&r);
        else
            delete r;
    }
}

void CVornDNSResolver::CacheClean() {
    const time_t now = Now();
    for (size_t i = 0; i < kCacheShards; ++i) {
        std::unique_lock<std::shared_mutex> guard(m_Shards[i].m_Lock);
        cleanShardLocked(m_Shards[i], now);
    }
}

void CVornDNSResolver::cleanShardLocked(CacheShard& shard, time_t now) {
    std::unordered_map<std::string, CacheChain>& chains = shard.m_Chains;
    for (auto chain = chains.begin(); chain != chains.end();) {
        CacheChain& records = chain->second;
        // A chain that was already empty stays.
        if (records.empty()) {
            ++chain;
            continue;
        }
        records.erase(std::remove_if(records.begin(), records.end(),
                                     [now](const CachedRecord& r) { return r.m_Expiry <= now; }),
                      records.end());
        if (records.empty())
            chain = chains.erase(chain);
        else
            ++chain;
    }
}

void CVornDNSResolver::CacheFlush() {
    cacheFlushShards();
}

void CVornDNSResolver::cacheFlushShards() {
    for (size_t i = 0; i < kCacheShards; ++i) {
        std::unique_lock<std::shared_mutex> guard(m_Shards[i].m_Lock);
        m_Shards[i].m_Chains.clear();
    }
}

void CVornDNSResolver::CacheInfo(bool cleanFirst, int* chains, int* records, int* expired,
                                 int* empty, int* negative, bool listing) {
    if (cleanFirst)
        CacheClean();
    int nChains = 0, nRecords = 0, nExpired = 0, nNegative = 0;
    const time_t now = Now();
    for (size_t i = 0; i < kCacheShards; ++i) {
        std::shared_lock<std::shared_mutex> guard(m_Shards[i].m_Lock);
        for (const auto& [key, chain] : m_Shards[i].m_Chains) {
            ++nChains;
            if (listing) {
                // The key: the type (2 bytes, host order), the number (2
                // bytes), the lower-cased name.
                unsigned short type = 0;
                if (key.size() >= 2)
                    memcpy(&type, key.data(), sizeof type);
                const std::string name = key.size() > 4 ? key.substr(4) : std::string();
                printf("%s type %u\n", name.c_str(), type);
            }
            for (const CachedRecord& record : chain) {
                ++nRecords;
                if (record.m_Expiry <= now)
                    ++nExpired;
                if (record.m_Negative)
                    ++nNegative;
                if (listing) {
                    CVornString data(CVornString::kUnlocked);
                    if (record.m_Type == kDnsTypeA)
                        FormatDottedQuad(static_cast<int>(record.m_Address), data);
                    else if (!record.m_Target.empty())
                        data.Assign(record.m_Target.data(),
                                    static_cast<int>(record.m_Target.size()));
                    printf("  %s%s expires %ld preference %d %s\n",
                           record.m_Negative ? "negative" : "record",
                           record.m_Authoritative ? " authoritative" : "",
                           static_cast<long>(record.m_Expiry), record.m_Preference, data.CStr());
                }
            }
        }
    }
    if (listing)
        fflush(stdout);
    if (chains)
        *chains = nChains;
    if (records)
        *records = nRecords;
    if (expired)
        *expired = nExpired;
    // Every cached entry holds a record.
    if (empty)
        *empty = 0;
    if (negative)
        *negative = nNegative;
}

// ---- The functions of the process's resolver

bool DnsStart(int grunts, bool writeLockHeld) {
    return DnsResolver().Start(grunts, writeLockHeld);
}

void DnsStop() {
    DnsResolver().StopResolver();
}

void DnsCacheAdd(CDnsRecord** record) {
    DnsResolver().CacheAdd(record);
}

bool DnsCacheFind(const CVornString& name, int type, bool authoritativeOnly, CDnsRecordList& list,
                  bool* authoritative) {
    return DnsResolver().CacheFind(name, type, authoritativeOnly, list, authoritative);
}

void DnsCacheRecords(CDnsRecordPtrList& section) {
    DnsResolver().CacheRecords(section);
}

void DnsCacheClean() {
    DnsResolver().CacheClean();
}

void DnsCacheFlush() {
    DnsResolver().CacheFlush();
}

void DnsCacheInfo(bool cleanFirst, int* chains, int* records, int* expired, int* empty,
                  int* negative, bool listing) {
    DnsResolver().CacheInfo(cleanFirst, chains, records, expired, empty, negative, listing);
}
