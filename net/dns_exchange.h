// The DNS query exchange: one query sent to name servers in turn from a
// socket of its own, bound to a port the kernel picks at random, whose reply
// the querying thread receives and hands to the resolver
// (CVornDNSResolver::HandleReply), which delivers and caches it. Callers that
// ask the same question (name ignoring case, type, zone and servers) while
// its query is on its way do not send their own: they wait for that one and
// all get its answer. So a forger faces one query at a time, with a random
// 16-bit id and a random port, as RFC 5452 asks.
//
// Each send waits at most the wait time (4 s) for a reply; the query gives up
// once the deadline (40 s) has passed after a wait, so it sends its message
// about 11 times and blocks its caller for about 44 s at most. Both are
// measured on the steady clock, never on the library clock, so a frozen or
// stale clock (platform::SetTestTime) never holds a query. A query also gives
// up after a wait when the resolver has been stopped.
//
// Threads: any thread may run queries; a query holds no lock while it sends
// or waits. The table of queries in flight is kept in shards by question,
// each with a lock of its own, taken alone. A caller that waits for another
// caller's query waits at most twice the deadline and wait together, plus
// 10 s (the other caller may first have to resolve a server's name), and
// then fails.
#pragma once

#include "net/dns_message.h"
#include "net/dns_query.h"

// One query for name and type. servers null means the resolver's configured
// name servers (a copy taken now, so a stop of the resolver cannot free them
// under the query); otherwise the hosts of the list, borrowed for the call.
// The servers are asked in turn, starting with the first and coming back to
// it after the last; a server without an address is resolved first (a
// non-authoritative A lookup), and its port is used (53 when it has none).
// True when a reply was delivered: list holds copies of the reply's answer
// records of that name and type, in reply order (possibly none), and
// *authoritative (may be null) is the reply's AA bit. False, list empty and
// *authoritative false: the resolver is not running, the server list is
// empty, a server cannot be resolved, a send fails, or the deadline passed.
bool DnsQuery(const CVornString& name, int type, CDnsServerList* servers, CDnsRecordList& list,
              bool* authoritative);

// DnsQuery to the one name server that the NS record names: a host of the
// record's target name at the name-server port (53), resolved on first use.
// The record's owner name is the zone the server speaks for: of its reply
// only records of names inside that zone are delivered or cached (an empty
// owner is the root, which holds every name).
bool DnsQueryServer(const CVornString& name, int type, const CDnsRecord& nameServer,
                    CDnsRecordList& list, bool* authoritative);

// How many callers are now waiting for a query that another caller asked
// first (for tests and diagnostics).
int DnsSharedQueryWaiters();

// For tests: the wait per send and the deadline in seconds (values < 1 give
// back the defaults, 4 and 40), and the port at which the name servers of a
// zone are asked (0 gives back 53). Any thread; later queries use them.
void DnsSetQueryTimes(int waitSeconds, int deadlineSeconds);
void DnsSetNameServerPort(unsigned short port);
