// The DNS lookups the rest of the system calls: the mail exchangers of a
// domain with their addresses, the addresses of a name, the name of an
// address; and the host-address lookups that make CVornHostAddress resolve
// names through the process's own resolver.
//
// Each lookup answers from the cache or asks the configured name servers
// (non-authoritative), or, with the authoritative flag, accepts only
// authoritative answers and, when the configured servers give none, asks the
// name servers of the name's zone, believing them only for names inside that
// zone (a CNAME that leaves it is followed with a lookup of its own). CNAME chains are followed through the
// cache and then the network; a fifth step counts as a loop (event 215,
// warning, with the name; result kDnsCnameLoop).
//
// Names: a name ending in "." is absolute (all trailing dots are dropped and
// no search domain is applied); a name without any "." is completed with the
// search domains in turn. An empty name (or ".", or a null MX target) is
// never completed and never asked for: it has no records.
//
// Threads: any thread; a lookup blocks its caller until the answer is there
// (each query up to about 44 s) and holds no lock across its queries.
#pragma once

#include "core/vorn_list.h"
#include "core/vorn_string.h"
#include "net/host_address.h"

// Results of the public lookups.
enum : int {
    kDnsFound = 0,      // the output holds the answer
    kDnsNotFound = 1,   // no records of the type and no CNAME to follow; for MX
                        // also: exchangers exist but none has an address
    kDnsFailed = 2,     // no usable reply, or the authoritative search gave up
    kDnsCnameLoop = 3,  // a CNAME chain of five or more steps
};

// The mail exchangers of the domain in preference order (ascending, signed
// 16-bit; records of equal preference keep the order of the sorted insert),
// each a host named by the exchange name, port 0, with its addresses;
// exchangers without an address (or with an empty name) are left out. hosts
// is emptied only when MX records are found, and is left as it was otherwise.
int DnsLookupMX(const CVornString& domain, bool authoritative, CVornList<CVornHostAddress>& hosts);

// On kDnsFound: host's name becomes name (SetName, which clears its
// canonical name and addresses and keeps its port), its canonical name the
// name finally looked up (trailing dots dropped, CNAMEs followed), and every
// A record's address is added in record order. Otherwise host is unchanged.
int DnsLookupA(const CVornString& name, bool authoritative, CVornHostAddress& host);

// On kDnsFound, name is the target of the first PTR record of the address's
// reverse name (d.c.b.a.IN-ADDR.ARPA); otherwise name is unchanged.
int DnsLookupPTR(const CVornHostAddressEntry& address, bool authoritative, CVornString& name);

// Installs the resolver's A and PTR lookups as the host-address lookups
// (SetHostLookup, SetReverseLookup), so that CVornHostAddress::Resolve and
// the reverse lookup of a host go through this resolver (non-authoritative).
// LibraryStartup calls it; so does the first use of the resolver. Safe to
// call again.
void DnsInstallHostLookups();
