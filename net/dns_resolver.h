// CVornDNSResolver: the one DNS resolver of the process. It is a UDP server
// named "DNS". Each query that DnsQuery (net/dns_exchange.h) makes sends from
// a socket of its own, on a port the kernel picks at random, and its thread
// receives the reply there and hands it to HandleReply, which parses it,
// delivers it to the query and stores its records in the cache: no thread
// hop between the reply and its caller, and a forger must guess the port as
// well as the id. The server's own socket answers no query; its boss and
// single grunt only report what arrives there. Its single helper cleans the
// cache every 300 s. It holds the name servers and
// search domains of the resolver configuration (core/system_info.h), read
// once when it starts, and the cache that the lookups (net/dns_lookup.h)
// consult before they ask the network.
//
// The resolver starts itself at the first lookup (DnsStart) and is stopped by
// DnsStop (LibraryCleanup calls it); a lookup after a stop starts it again,
// reading the configuration afresh.
//
// Cache: chains of records under the key DnsMakeKey(name, type, 0); records
// in the cache keep an empty name. No record lives longer than 180 s
// (CDnsRecord::SetExpiry); a negative entry (a name without data of a type)
// lives 180 s. Only records of the question's own chain are taken from a
// reply: the question's name and the CNAME targets that lead from it, with
// the question's type or CNAME, from any section. A reply is taken only when
// it arrives on the socket of an outstanding query that was sent to its
// sender and waits for it (net/dns_query.h). Of a reply from a zone's own
// name servers (an authoritative lookup asking them) only records of names
// inside that zone count; a CNAME that leaves the zone is followed with a
// lookup of its own.
//
// Reports about replies that cannot be used (unparsable, error codes, no
// question, unsolicited or from the wrong server: 204 to 214) are rate-limited
// (DnsReportLimiter, net/dns_message.h), so a flood of junk costs one line a
// minute per message, naming how many were held back.
//
// Threads: the boss, one grunt (what arrives at the server's socket) and one
// helper (the cleaner); queries handle their replies on their own threads;
// lookups call the cache functions from any thread. The cache lock is a
// reader-writer lock: finds and counts read; adding, cleaning, flushing,
// starting and stopping write. HandleReply prepares a reply's cache entries
// without a lock, delivers it (the pending-query table's lock, then the
// query's) and then files the entries under the cache write lock before it
// returns: the query's own thread, which called it, takes its answer only
// afterwards, so it finds the reply's records (its CNAME chain) in the
// cache. (A thread blocked in CDnsPendingQuery::WaitForAnswer may wake while
// they are being filed.) Lock order: the cache lock, then the pending-query
// table's lock, then a query's lock; the server-list snapshot's lock is
// taken last. No thread holds the cache lock while it waits for the
// resolver's threads.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/vorn_list.h"
#include "core/vorn_string.h"
#include "net/dns_message.h"
#include "net/dns_query.h"
#include "net/host_address.h"
#include "net/udp_server.h"

// The receive buffer the resolver asks for on each of its sockets (best
// effort: the system may grant less), so that a burst of junk datagrams does
// not make the kernel drop the genuine reply.
constexpr int kDnsReceiveBufferBytes = 1 << 20;

class CVornDNSResolver : public CVornUDPServer {
public:
    // Seconds between two cleanings of the cache.
    static constexpr int kCleanSeconds = 300;
    // The lifetime of a negative entry.
    static constexpr int kNegativeTtl = 180;

    // The server "DNS", empty lists, an empty cache; nothing runs.
    CVornDNSResolver();
    // Stops the resolver (waiting for its threads) and frees the lists and
    // the cache.
    ~CVornDNSResolver() override;
    CVornDNSResolver(const CVornDNSResolver&) = delete;
    CVornDNSResolver& operator=(const CVornDNSResolver&) = delete;

    // See DnsStart and DnsStop below.
    bool Start(int grunts, bool writeLockHeld);
    void StopResolver();
    bool IsStarted() const { return m_Started.load(); }

    // The cache cleaner: cleans every kCleanSeconds on the library clock and
    // looks at the stop flag every second.
    void RunHelper(int threadNumber) override;
    // What arrives at the server's own socket: HandleReply with no receiver.
    void HandleDatagram(const CVornString& data, const CVornHostAddress& sender,
                        int threadNumber) override;
    // One datagram that arrived on receiver's socket (null: on the server's
    // socket, where no query listens). Parses it, reports what cannot be used
    // (rate-limited), drops what a zone's servers say about names outside
    // receiver->m_Zone, and when it answers receiver, delivers it and caches
    // the records of its question's chain. True when delivered. Any thread;
    // takes the pending-query locks, then the cache write lock (never both).
    bool HandleReply(const CVornString& data, const CVornHostAddress& sender,
                     CDnsPendingQuery* receiver);
    // The same for a sender given as an address and port (a query's socket
    // has no host object to give): its text is made only for a report.
    bool HandleReply(const CVornString& data, const CDnsSender& sender, CDnsPendingQuery* receiver);

    // See the DnsCache functions below.
    void CacheAdd(CDnsRecord** record);
    bool CacheFind(const CVornString& name, int type, bool authoritativeOnly, CDnsRecordList& list,
                   bool* authoritative);
    void CacheRecords(CDnsRecordPtrList& section);
    void CacheClean();
    void CacheFlush();
    void CacheInfo(bool cleanFirst, int* chains, int* records, int* expired, int* empty,
                   int* negative, bool listing);

    // Copies of the configured name servers (each with its address and port)
    // and search domains, in configuration order, taken under the read lock.
    // Each empties out first.
    void CopyServers(CVornList<CVornHostAddress>& out);
    void CopySearchDomains(CVornStringList& out);
    // The configured name servers as one shared copy made at the start, for
    // queries: a query keeps it for as long as it runs, so a stop cannot
    // free the hosts under it, and no query copies them again. Null while
    // the resolver is stopped. The list is never changed once made (its
    // hosts lock themselves).
    // *generation (may be null) receives ServerGeneration() as of the copy.
    std::shared_ptr<CVornList<CVornHostAddress>> ServerSnapshot(unsigned* generation = nullptr);
    // A number that changes whenever the snapshot does (a start or a stop),
    // so that copies made of it can tell they are out of date. Lock-free.
    unsigned ServerGeneration() const { return m_ServerGeneration.load(std::memory_order_acquire); }

private:
    // REQUIRES: the resolver's lock, exclusive (for both).
    bool startLocked(int grunts);
    void clearListsLocked();
    // Empties every shard of the cache (each under its own lock).
    void cacheFlushShards();

    std::atomic<bool> m_Started{false};       // changed under the write lock
    CDnsServerList m_Servers;                 // owns the hosts; under the cache lock
    // Changed under the cache write lock and m_SnapshotLock, read under
    // m_SnapshotLock alone (taken last, never with another lock after it).
    std::shared_ptr<CVornList<CVornHostAddress>> m_ServerSnapshot;
    std::atomic<unsigned> m_ServerGeneration{0};  // changed with m_ServerSnapshot
    std::mutex m_SnapshotLock;
    CVornList<CVornString*> m_SearchDomains;  // owns the texts; under the cache lock
    // One cached record: a CDnsRecord's data without its owner name (the
    // key holds it) and without the locks and blocks a CDnsRecord carries,
    // so that the cache takes a small part of the memory (every first query
    // of a name adds to it).
    struct CachedRecord {
        time_t m_Expiry = 0;
        uint32_t m_Address = 0;  // A records, network byte order
        std::string m_Target;    // NS, CNAME, PTR, MX
        int m_Type = 0;
        short m_Preference = 0;
        unsigned char m_Authoritative = 0;
        unsigned char m_Negative = 0;

        static CachedRecord From(const CDnsRecord& record);
        // The record as the cache's readers receive it (an empty name).
        CDnsRecord ToRecord() const;
        // CDnsRecord::Equals of the two as records without owner names.
        bool SameData(const CachedRecord& other) const;
    };
    typedef std::vector<CachedRecord> CacheChain;
    typedef std::pair<std::string, CachedRecord> CacheEntry;  // key and record

    // The entries a delivered reply adds to the cache: the records of its
    // question's chain (see the top), or a negative entry when it has no
    // answers. Reads the sections; takes no lock of the resolver.
    static std::vector<CacheEntry> cacheEntries(const CDnsRecord& question, bool authoritative,
                                                CDnsRecordPtrList& answers,
                                                CDnsRecordPtrList& authority,
                                                CDnsRecordPtrList& additional);
    // The cache in shards by key: DnsMakeKey(canonical name, type, 0) -> the
    // chain of that name and type, each shard under its own reader-writer
    // lock, so that lookups of different names seldom meet on one lock.
    struct CacheShard {
        std::shared_mutex m_Lock;
        std::unordered_map<std::string, CacheChain> m_Chains;
    };
    static constexpr size_t kCacheShards = 32;
    CacheShard& shardOf(const std::string& key);
    // Takes the record over and files it (cacheFile).
    void cacheAdd(CDnsRecord* record);
    // Files the record under key, merging it with an equal cached one
    // (DnsCacheAdd's rule). Takes the key's shard lock.
    void cacheFile(const std::string& key, CachedRecord incoming);
    // Drops the shard's expired records and the chains they empty.
    // REQUIRES: the shard's lock, exclusive.
    static void cleanShardLocked(CacheShard& shard, time_t now);
    std::unique_ptr<CacheShard[]> m_Shards{new CacheShard[kCacheShards]};
    // The resolver's lock (a plain reader-writer lock, not recursive): the
    // start and the stop hold it exclusively; the server and search-domain
    // lists are read under it.
    std::shared_mutex m_CacheLock;
};

// The resolver of the process, made on first use (which also installs the
// host-address lookups, net/dns_lookup.h) and never destroyed.
CVornDNSResolver& DnsResolver();

// Starts the resolver when it is not running: reads the search domains and
// name servers (each with its configured port) once, and starts the UDP
// server with grunts grunts, one helper, datagrams of at most 512 bytes, on
// any local address and a port the system chooses, asking for a receive
// buffer of kDnsReceiveBufferBytes. True when it runs.
// grunts <= 0: event 201 (error, the count), false. A configuration without
// name servers is reported (event 203, error, 0) and the resolver still
// starts: every query then fails at once. With writeLockHeld the caller holds
// the cache lock for writing and DnsStart releases it before it returns.
// Every lookup calls DnsStart(1, false) first and ignores its result.
bool DnsStart(int grunts, bool writeLockHeld);

// Stops the resolver: stops the UDP server (waiting, bounded, for the boss,
// the grunt and the helper), then frees the server and search-domain lists
// and empties the cache. Queries still waiting give up within one wait (4 s).
void DnsStop();

// Takes the record over: the cache keeps it, or merges it into an equal
// cached record (same type and data, both positive or both negative) and
// frees it. The cached copy is replaced when it expires earlier or is not
// authoritative while the new one is. *record is null afterwards; a null
// record (or pointer) does nothing.
void DnsCacheAdd(CDnsRecord** record);

// Copies of the unexpired cached records of that name and type into list
// (emptied first on a hit), skipping non-authoritative ones when
// authoritativeOnly is set. True when a negative entry was found (the list
// then holds whatever positive records there were, often none) or any record
// was copied; *authoritative (may be null) is then true when every record
// considered was authoritative. False (a miss) with *authoritative false.
bool DnsCacheFind(const CVornString& name, int type, bool authoritativeOnly, CDnsRecordList& list,
                  bool* authoritative);

// Moves every record of the section into the cache (records without an
// expiry are freed); the section is left empty.
void DnsCacheRecords(CDnsRecordPtrList& section);

// Removes expired records and the chains they empty. A chain that was already
// empty stays.
void DnsCacheClean();

// Deletes every record, chain and key of the cache (takes the write lock).
void DnsCacheFlush();

// Cache counters for the diagnostics page; any pointer may be null.
// cleanFirst runs DnsCacheClean first. chains: keys; records: entries of all
// chains; expired: entries whose expiry is not after now (expiry 0
// included); empty: entries without a record (always 0); negative: negative
// entries. listing also writes every chain and its records to standard
// output.
void DnsCacheInfo(bool cleanFirst, int* chains, int* records, int* expired, int* empty,
                  int* negative, bool listing);
