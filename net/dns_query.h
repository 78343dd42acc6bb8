// Outstanding DNS queries: CDnsPendingQuery, one query that a thread makes
// and waits on, and the process-wide table of outstanding queries through
// which the resolver hands a reply to the thread that waits for it.
//
// A reply reaches a query only when it arrived on the query's own socket
// (net/dns_exchange.h: each query sends from a socket of its own, on a port
// the kernel picks at random) and its id, the server it came from (address
// and port: one the query was sent to) and its first question (name ignoring
// case, type; questions are class IN by construction) all match. Query ids
// are random 16-bit numbers from the kernel: with the random port, an
// off-path sender has about 2^31 combinations to guess instead of 2^16.
//
// Lock order: the lock of the table shard that holds the query, then the
// query's lock, then its record list's lock. Never both a query's lock and
// the resolver's cache lock.
#pragma once

#include <stdint.h>

#include "core/vorn_event.h"
#include "core/vorn_list.h"
#include "core/vorn_lock.h"
#include "core/vorn_string.h"
#include "net/dns_message.h"
#include "net/host_address.h"

// A list of name servers by pointer; the list's owner owns the hosts.
typedef CVornList<CVornHostAddress*> CDnsServerList;

// At most this many queries are outstanding at once; more wait (1-s polls)
// until one ends.
constexpr int kDnsMaxPendingQueries = 255;

// One outstanding query. It lives on the stack of the thread that runs it,
// registered from construction to destruction. Not copyable.
//
// The thread that made the query sends m_Packet to its servers (calling
// NoteServer before each send) from the query's own socket, receives there
// and hands what arrives to the resolver, which delivers with
// DnsDeliverAnswer; the thread then collects with TakeAnswer. WaitForAnswer
// serves a thread that waits for a delivery made by another. The query must
// not be destroyed while another thread uses it (destruction unregisters it
// under the table lock, which DnsDeliverAnswer holds).
class CDnsPendingQuery {
public:
    // Copies the name (in the form of DnsCanonicalName) and type, borrows the
    // server list (may be null; it must outlive the query), draws a random id
    // unique for this name and type among outstanding queries, registers the
    // query (waiting, in 1-s steps, while kDnsMaxPendingQueries are
    // outstanding) and builds the query message.
    CDnsPendingQuery(const CVornString& name, int type, CDnsServerList* servers);
    // Unregisters the query and frees what was gathered. A reply that arrives
    // later is not delivered.
    ~CDnsPendingQuery();
    CDnsPendingQuery(const CDnsPendingQuery&) = delete;
    CDnsPendingQuery& operator=(const CDnsPendingQuery&) = delete;

    // Under the query lock: frees the gathered records and clears answered
    // and the remembered servers (the start of a run).
    void ResetAnswer();
    // Under the query lock: remembers that the message goes to this server
    // (address in network byte order, port in host order), so that a reply
    // from it is accepted. Call before each send. At most 16 distinct
    // servers are remembered; a further one replaces the oldest.
    void NoteServer(uint32_t address, unsigned short port);
    // Waits at most seconds (steady clock) for a delivery. CVornEvent's
    // result: 0 when woken.
    unsigned WaitForAnswer(int seconds);
    // Under the query lock: when answered, appends copies of the delivered
    // records to out (in order), sets *authoritative (may be null) to the
    // reply's AA bit and returns true; otherwise false, out unchanged.
    bool TakeAnswer(CDnsRecordList& out, bool* authoritative);

    unsigned short m_Id = 0;
    CVornString m_Key;   // DnsMakeKey(m_Name, m_Type, m_Id)
    CVornString m_Name;  // canonical form of the queried name
    int m_Type = 0;
    CDnsServerList* m_Servers;  // borrowed
    CVornString m_Packet;       // the complete query message
    // The zone whose own name servers are asked (set before the first send):
    // such servers are trusted only for names inside it, and everything
    // else of their replies is dropped. Empty: the configured (recursive)
    // name servers, trusted for every name.
    CVornString m_Zone;

private:
    friend bool DnsDeliverAnswerFrom(int id, uint32_t address, unsigned short port,
                                     bool authoritative, const CDnsRecord& question,
                                     const CDnsRecordPtrList& answers,
                                     const CDnsPendingQuery* receiver);

    static constexpr int kMaxNotedServers = 16;

    // REQUIRES: m_QueryLock held.
    bool sentTo(uint32_t address, unsigned short port) const;

    CVornEvent m_AnswerEvent;  // auto-reset; set on delivery
    bool m_AnswerEventSet = false;  // set since the last ResetAnswer
    bool m_Answered = false;
    bool m_AnswerAuthoritative = false;
    CDnsRecordList m_Records;
    uint32_t m_NotedAddress[kMaxNotedServers] = {};
    unsigned short m_NotedPort[kMaxNotedServers] = {};
    int m_NotedCount = 0;
    int m_NotedNext = 0;
    CVornLock m_QueryLock{true};
};

// Hands a parsed reply to the query that waits for it: the query registered
// under (question name, question type, id) that was sent to sender's first
// address at sender's port. Copies, in order, the answers whose owner equals
// the queried name (ignoring case) and whose type is the queried type (so
// CNAME records that lead to the answer are not handed over), records the AA
// bit, marks the query answered and wakes it. A query already answered keeps
// its first answer. False when no such query waits; true when one does.
// receiver (when not null) is the query on whose socket the reply arrived:
// only that query may take it.
bool DnsDeliverAnswer(int id, const CVornHostAddress& sender, bool authoritative,
                      const CDnsRecord& question, const CDnsRecordPtrList& answers,
                      const CDnsPendingQuery* receiver = nullptr);
// The same for a reply from address (network byte order) and port (host
// order), without a host object to read them from.
bool DnsDeliverAnswerFrom(int id, uint32_t address, unsigned short port, bool authoritative,
                          const CDnsRecord& question, const CDnsRecordPtrList& answers,
                          const CDnsPendingQuery* receiver);

// The number of outstanding queries (for tests and diagnostics).
int DnsPendingCount();
