// Relay routes: mail for a domain goes to a fixed host instead of the
// domain's mail exchangers. The routes live in the system setting
// "RelayRouting" as text; a CRelayRoutingTable reads that text into a table
// keyed by domain, answers look-ups and writes the table back when a route
// is added, replaced or removed. A table is made on demand by the task that
// needs it, so a change through one table is seen by every later table.
//
// Text form: route items joined by 0x1C. An item is
//   domain                      a route without a host
//   domain " -> " host          relay to host, port 25
//   domain " -> " host ":" port relay to host at port
// Nothing is trimmed or checked when parsing: blanks stay, an empty domain
// is a valid key.
//
// Bad input: a route whose domain, host or port holds 0x1C, CR or LF cannot
// be stored (Add and Replace refuse it and change nothing), because it would
// split into other routes when the setting is read again.
//
// Threads: a table belongs to the thread that made it; every operation also
// holds the table's lock. A route's members are read and written under the
// route's own lock. Lock order: the table's lock, then a route's lock; of
// two routes (Assign), the target's and then the source's. The configuration
// store's locks are taken inside (reading and setting "RelayRouting") and
// never held by the caller.
#pragma once

#include "core/hash_table.h"
#include "core/vorn_list.h"
#include "core/vorn_lock.h"
#include "core/vorn_string.h"

// The setting that holds the routes, and the separator of its items.
constexpr const char* kRelayRoutingSetting = "RelayRouting";
constexpr char kRouteItemSeparator = '\x1C';

// One route. Not polymorphic; copyable (under the source's lock), so that
// lists and sorted lists can hold copies.
class CRelayRoute {
public:
    CRelayRoute() = default;
    // Null texts count as empty.
    CRelayRoute(const char* domain, const char* host, const char* port);
    CRelayRoute(const CRelayRoute& other);
    CRelayRoute& operator=(const CRelayRoute& other);

    // Copies of one member, under the route's lock.
    void GetDomain(CVornString& out) const;
    void GetHost(CVornString& out) const;
    void GetPort(CVornString& out) const;

    // Sets all three members from one item (see the text form). Always true.
    bool Parse(const char* text);

    // The item text: the domain; with a host, " -> " and the host, and with
    // a port as well, ":" and the port. A port without a host is not written.
    void Format(CVornString& out) const;

    // Copies the three members, holding this route's lock and then the
    // other's. Assigning a route to itself changes nothing.
    void Assign(const CRelayRoute& other);

    // True when a member holds a byte that would break the setting's text
    // form (0x1C, CR or LF).
    bool HasUnsafeText() const;

private:
    CVornString m_Domain{CVornString::kUnlocked};
    CVornString m_Host{CVornString::kUnlocked};
    CVornString m_Port{CVornString::kUnlocked};
    mutable CVornLock m_Lock;
};

// The deleter of the route map's values.
void DeleteRelayRoute(void* route);

// The routes by domain, keys compared without regard to case; owns its
// routes.
typedef CVornMap<CRelayRoute, &DeleteRelayRoute> RouteMap;

class CRelayRoutingTable {
public:
    // Reads "RelayRouting" (system-wide value) into the table; a missing
    // setting gives an empty table.
    CRelayRoutingTable();
    virtual ~CRelayRoutingTable();
    CRelayRoutingTable(const CRelayRoutingTable&) = delete;
    CRelayRoutingTable& operator=(const CRelayRoutingTable&) = delete;

    // Copies the route of domain (compared without regard to case) into
    // out; false, out unchanged, when there is none.
    bool Lookup(const char* domain, CRelayRoute& out);

    // Copies every route into list, in the order of the list's comparison
    // callback. Throws CVornException 62 when the list has none.
    void GetSorted(CVornSortedList<CRelayRoute>& list);

    // Each changes the table and then saves it into the system object's
    // "RelayRouting" attribute without writing the configuration files (the
    // caller saves the store). The result is the save's: true when the
    // attribute was set.
    //   Add      stores a copy under its domain, replacing that domain's route
    //   Replace  removes oldDomain's route (if any), then stores a copy
    //   Remove   removes domain's route (if any)
    // Add and Replace refuse a route with unsafe text (HasUnsafeText): false,
    // nothing changed.
    bool Add(const CRelayRoute& route);
    bool Replace(const char* oldDomain, const CRelayRoute& route);
    bool Remove(const char* domain);

private:
    // Reads the setting into the map; later items replace earlier ones of
    // the same domain.
    void load();
    // Writes the map as the setting's text. REQUIRES: m_Lock held.
    bool save();
    // Stores a copy of route under its domain. REQUIRES: m_Lock held.
    void store(const CRelayRoute& route);

    RouteMap m_Routes{16, 1};
    CVornLock m_Lock;
};
