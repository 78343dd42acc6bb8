// DNS lookups: mail exchangers, addresses and names of addresses, and the
// host-address lookups built on them. See dns_lookup.h.
//
//   DnsLookupMX            the mail exchangers of a domain with their addresses
//   DnsLookupA             the addresses of a name
//   DnsLookupPTR           the name of an address
//   DnsInstallHostLookups  make CVornHostAddress resolve through this resolver
//
// Inside: lookup (cache, then the configured servers), authlookup (an
// authoritative answer, from the zone's own name servers when need be),
// followCachedCNames and followCName (CNAME steps through the cache and the
// network).
//
// Bad input: an empty name has no records (kDnsNotFound) and is never sent or
// completed with a search domain; a CNAME chain of five steps or a loop ends
// with event 215 and kDnsCnameLoop; a failed query anywhere gives kDnsFailed.
// Outputs are written only on success (DnsLookupMX empties its list only when
// MX records are found).
#include "net/dns_lookup.h"

#include "core/event_log.h"
#include "net/dns_exchange.h"
#include "net/dns_message.h"
#include "net/dns_resolver.h"

namespace {

enum : int { kEventWarning = 2 };
enum : int { kMsgCnameLoop = 215 };

// Network passes of a public lookup, and cached CNAME steps; a CNAME step in
// the last of them is taken as a loop.
constexpr int kMaxPasses = 5;

int RecordCount(CDnsRecordList& list) {
    CVornLockGuard guard(list.m_Lock);
    return list.m_Count;
}

// A copy of the first record of a non-empty list.
CDnsRecord FirstRecord(CDnsRecordList& list) {
    CVornLockGuard guard(list.m_Lock);
    return list.m_Head ? list.m_Head->m_Element : CDnsRecord();
}

// Search domains complete only names without any dot.
bool Searchable(const CVornString& name, bool search) {
    return search && !name.IsEmpty() && !name.Contains('.');
}

// Calls visit(candidate) with the name completed by each search domain in
// turn, until a visit returns true.
template <class Visit>
void ForEachCandidate(const CVornString& name, Visit visit) {
    CVornStringList domains;
    DnsResolver().CopySearchDomains(domains);
    CVornLockGuard guard(domains.m_Lock);
    CVornString candidate(CVornString::kUnlocked);
    for (auto* node = domains.m_Head; node; node = node->m_Next) {
        candidate.Assign(name);
        candidate.Append('.');
        candidate.Append(node->m_Element);
        if (visit(static_cast<const CVornString&>(candidate)))
            return;
    }
}

bool lookup(const CVornString& name, int type, bool search, CDnsRecordList& list,
            bool* authoritative);

bool lookupOne(const CVornString& name, int type, CDnsRecordList& list, bool* authoritative) {
    list.RemoveAll();
    if (DnsCacheFind(name, type, false, list, authoritative))
        return true;
    return DnsQuery(name, type, nullptr, list, authoritative);
}

// The cache, then a query to the configured servers. True with an empty list:
// nothing found; false: the query failed.
bool lookup(const CVornString& name, int type, bool search, CDnsRecordList& list,
            bool* authoritative) {
    DnsStart(1, false);
    if (authoritative)
        *authoritative = false;
    // Nothing to ask for: an empty name would otherwise become a search
    // domain's own name.
    if (name.IsEmpty()) {
        list.RemoveAll();
        return true;
    }
    if (Searchable(name, search)) {
        bool found = false;
        ForEachCandidate(name, [&](const CVornString& candidate) {
            found = lookupOne(candidate, type, list, authoritative) && RecordCount(list) > 0;
            return found;
        });
        if (!found) {
            list.RemoveAll();
            if (authoritative)
                *authoritative = false;
        }
        return true;
    }
    return lookupOne(name, type, list, authoritative);
}

// An authoritative answer: from the cache or the configured servers when
// they give one, else from the name servers of the name's zone, which are
// trusted only for names inside that zone (a CNAME out of it is followed by
// ResolveName with a lookup of its own). On false the list is not to be used.
bool authlookup(const CVornString& name, int type, bool search, CDnsRecordList& list) {
    DnsStart(1, false);
    if (name.IsEmpty()) {
        list.RemoveAll();
        return true;
    }
    if (Searchable(name, search)) {
        bool found = false;
        ForEachCandidate(name, [&](const CVornString& candidate) {
            found = authlookup(candidate, type, false, list) && RecordCount(list) > 0;
            return found;
        });
        if (!found)
            list.RemoveAll();
        return true;
    }

    list.RemoveAll();
    bool authoritative = false;
    if (DnsCacheFind(name, type, true, list, &authoritative) && authoritative)
        return true;
    // A recursive server's usual answer is not authoritative; its records
    // reach the cache all the same, and the zone's servers are asked below.
    if (DnsQuery(name, type, nullptr, list, &authoritative) && authoritative)
        return true;

    // The zone's name servers: those of the name, else of its parent, and so
    // on up to its last label (the root is never asked for).
    CDnsRecordList nameServers;
    CVornString suffix(name, CVornString::kUnlocked);
    for (;;) {
        bool ignored = false;
        if (!lookup(suffix, kDnsTypeNS, false, nameServers, &ignored))
            return false;
        if (RecordCount(nameServers) > 0)
            break;
        int dot = suffix.Find('.');
        if (dot < 0)
            break;
        suffix.KeepRight(suffix.Length() - dot - 1);
        if (suffix.IsEmpty())
            break;
    }

    CVornLockGuard guard(nameServers.m_Lock);
    for (auto* node = nameServers.m_Head; node; node = node->m_Next) {
        if (node->m_Element.m_Target.IsEmpty())
            continue;
        // The zone the server speaks for (cached records carry no owner):
        // what it says about names outside it is not taken.
        CDnsRecord nameServer(node->m_Element);
        nameServer.m_Name.Assign(suffix);
        if (DnsQueryServer(name, type, nameServer, list, &authoritative) && authoritative)
            return true;
    }
    return false;
}

// Replaces name by the end of its CNAME chain as far as the cache knows it.
// False (event 215) when the fifth step still finds a CNAME.
bool followCachedCNames(CVornString& name, bool search) {
    if (Searchable(name, search)) {
        bool ok = true;
        ForEachCandidate(name, [&](const CVornString& candidate) {
            CVornString followed(candidate, CVornString::kUnlocked);
            ok = followCachedCNames(followed, false);
            if (ok && followed.Equals(candidate, 3))
                return false;
            // A loop ends the search; a CNAME found replaces the name.
            if (ok)
                name.Assign(followed);
            return true;
        });
        return ok;
    }
    CDnsRecordList list;
    for (int step = 1; step <= kMaxPasses; ++step) {
        bool authoritative = false;
        if (!DnsCacheFind(name, kDnsTypeCNAME, false, list, &authoritative) ||
            RecordCount(list) == 0)
            return true;
        CDnsRecord cname = FirstRecord(list);
        // A CNAME to the root names nothing to follow.
        if (cname.m_Target.IsEmpty())
            return true;
        name.Assign(cname.m_Target);
        if (step == kMaxPasses) {
            LogEventString(kMsgCnameLoop, kEventWarning, name);
            return false;
        }
    }
    return true;
}

// One CNAME step through lookup (also inside authoritative lookups). True
// when name was replaced by its CNAME's target.
bool followCName(CVornString& name, bool search) {
    CDnsRecordList list;
    bool authoritative = false;
    if (!lookup(name, kDnsTypeCNAME, search, list, &authoritative) || RecordCount(list) == 0)
        return false;
    CDnsRecord cname = FirstRecord(list);
    if (cname.m_Target.IsEmpty())
        return false;
    name.Assign(cname.m_Target);
    return true;
}

// The name as given: a trailing "." makes it absolute (no search domains),
// and all trailing dots go.
void PrepareName(const CVornString& given, CVornString& name, bool* search) {
    name.Assign(given);
    *search = !(name.Length() > 0 && name.CharAt(name.Length() - 1) == '.');
    name.TrimRight(".");
}

// The shared shape of the public lookups: CNAMEs from the cache, then up to
// kMaxPasses lookups with a CNAME step after each empty one. kDnsFound leaves
// the records in list and the name finally looked up in name.
int ResolveName(CVornString& name, int type, bool search, bool authoritative,
                CDnsRecordList& list) {
    if (!followCachedCNames(name, search))
        return kDnsCnameLoop;
    for (int pass = 1; pass <= kMaxPasses; ++pass) {
        bool aa = false;
        bool ok = authoritative ? authlookup(name, type, search, list)
                                : lookup(name, type, search, list, &aa);
        if (!ok)
            return kDnsFailed;
        if (RecordCount(list) > 0)
            return kDnsFound;
        if (!followCName(name, search))
            return kDnsNotFound;
        if (pass == kMaxPasses) {
            LogEventString(kMsgCnameLoop, kEventWarning, name);
            return kDnsCnameLoop;
        }
    }
    return kDnsNotFound;
}

// The first steps of a public lookup: the given name prepared, then
// ResolveName. kDnsFound leaves the records in records and the name finally
// looked up in name.
int ResolveGiven(const CVornString& given, int type, bool authoritative, CVornString& name,
                 CDnsRecordList& records) {
    DnsStart(1, false);
    bool search = true;
    PrepareName(given, name, &search);
    if (name.IsEmpty())
        return kDnsNotFound;
    return ResolveName(name, type, search, authoritative, records);
}

bool HostLookup(const CVornString& name, CVornHostAddressList& out) {
    CVornHostAddress found;
    if (DnsLookupA(name, false, found) != kDnsFound || found.GetAddressCount() == 0)
        return false;
    return found.GetAddresses(out);
}

bool ReverseLookup(const CVornHostAddressEntry& entry, CVornString& out) {
    CVornString name;
    if (DnsLookupPTR(entry, false, name) != kDnsFound || name.IsEmpty())
        return false;
    out.Assign(name);
    return true;
}

}  // namespace

int DnsLookupMX(const CVornString& domain, bool authoritative, CVornList<CVornHostAddress>& hosts) {
    CVornString name(CVornString::kUnlocked);
    CDnsRecordList records;
    int result = ResolveGiven(domain, kDnsTypeMX, authoritative, name, records);
    if (result != kDnsFound)
        return result;

    hosts.RemoveAll();
    CVornSortedList<CDnsRecord> sorted(&CompareMXPreference);
    {
        CVornLockGuard guard(records.m_Lock);
        for (auto* node = records.m_Head; node; node = node->m_Next) sorted.Insert(node->m_Element);
    }
    CVornLockGuard guard(sorted.m_List.m_Lock);
    for (auto* node = sorted.m_List.m_Head; node; node = node->m_Next) {
        // A null MX (".") says the domain takes no mail: there is nothing to
        // resolve, and completing it with a search domain would invent a host.
        const CVornString& exchange = node->m_Element.m_Target;
        if (exchange.IsEmpty())
            continue;
        CVornHostAddress host;
        if (DnsLookupA(exchange, authoritative, host) == kDnsFound)
            hosts.AddTail(host);
    }
    CVornLockGuard hostsGuard(hosts.m_Lock);
    return hosts.m_Count > 0 ? kDnsFound : kDnsNotFound;
}

int DnsLookupA(const CVornString& given, bool authoritative, CVornHostAddress& host) {
    CVornString name(CVornString::kUnlocked);
    CDnsRecordList records;
    int result = ResolveGiven(given, kDnsTypeA, authoritative, name, records);
    if (result != kDnsFound)
        return result;

    CVornString original(given, CVornString::kUnlocked);
    host.SetName(original.CStr());
    host.SetCanonicalName(name.CStr());
    CVornLockGuard guard(records.m_Lock);
    for (auto* node = records.m_Head; node; node = node->m_Next)
        host.AddAddress(node->m_Element.m_Address);
    return kDnsFound;
}

int DnsLookupPTR(const CVornHostAddressEntry& address, bool authoritative, CVornString& name) {
    DnsStart(1, false);
    // d.c.b.a.IN-ADDR.ARPA for the address a.b.c.d.
    CVornString quad(CVornString::kUnlocked);
    FormatDottedQuad(static_cast<int>(address.GetAddress()), quad);
    CVornString reverse(CVornString::kUnlocked);
    for (int end = quad.Length(); end > 0;) {
        int start = end;
        while (start > 0 && quad.CharAt(start - 1) != '.') --start;
        reverse.Append(quad.CStr() + start, end - start);
        reverse.Append('.');
        end = start - 1;
    }
    reverse.Append("IN-ADDR.ARPA");

    CDnsRecordList records;
    int result = ResolveName(reverse, kDnsTypePTR, false, authoritative, records);
    if (result != kDnsFound)
        return result;
    name.Assign(FirstRecord(records).m_Target);
    return kDnsFound;
}

void DnsInstallHostLookups() {
    SetHostLookup(&HostLookup);
    SetReverseLookup(&ReverseLookup);
}
