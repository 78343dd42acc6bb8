// Relay routes and the routing table over the "RelayRouting" setting.
//
//   CRelayRoute::Parse / Format          one item of the setting's text
//   CRelayRoute::Get...                  copies of the members
//   CRelayRoute::Assign                  copy under both routes' locks
//   CRelayRoutingTable::Lookup           the route of a domain (any case)
//   CRelayRoutingTable::GetSorted        every route into a sorted list
//   CRelayRoutingTable::Add / Replace / Remove  change and save the setting
//
// Bad input: Parse accepts any text (the item's meaning is fixed by its
// separators alone); Add and Replace refuse routes whose texts hold 0x1C, CR
// or LF, which could not be read back as one route. The save is ordered by
// domain (without regard to case), so the same routes always give the same
// text.
#include "gateway/relay_routes.h"

#include <algorithm>
#include <string>
#include <vector>

#include "config/config_store.h"
#include "core/splitter.h"
#include "core/vorn_exception.h"

namespace {

constexpr const char* kArrow = " -> ";

bool HasUnsafeByte(const CVornString& text) {
    return text.Contains(kRouteItemSeparator) || text.Contains('\r') || text.Contains('\n');
}

}  // namespace

CRelayRoute::CRelayRoute(const char* domain, const char* host, const char* port) {
    m_Domain.Assign(domain ? domain : "");
    m_Host.Assign(host ? host : "");
    m_Port.Assign(port ? port : "");
}

CRelayRoute::CRelayRoute(const CRelayRoute& other) {
    CVornLockGuard guard(other.m_Lock);
    m_Domain.Assign(other.m_Domain);
    m_Host.Assign(other.m_Host);
    m_Port.Assign(other.m_Port);
}

CRelayRoute& CRelayRoute::operator=(const CRelayRoute& other) {
    Assign(other);
    return *this;
}

void CRelayRoute::GetDomain(CVornString& out) const {
    CVornLockGuard guard(m_Lock);
    out.Assign(m_Domain);
}

void CRelayRoute::GetHost(CVornString& out) const {
    CVornLockGuard guard(m_Lock);
    out.Assign(m_Host);
}

void CRelayRoute::GetPort(CVornString& out) const {
    CVornLockGuard guard(m_Lock);
    out.Assign(m_Port);
}

bool CRelayRoute::Parse(const char* text) {
    CVornLockGuard guard(m_Lock);
    CVornString item(text ? text : "", CVornString::kUnlocked);
    int arrow = item.Find(kArrow, 3);
    if (arrow < 0) {
        m_Domain.Assign(item);
        m_Host.Clear();
        m_Port.Clear();
        return true;
    }
    CVornString rest(CVornString::kUnlocked);
    const char* data = item.CStr();
    m_Domain.Assign(data, arrow);
    rest.Assign(data + arrow + 4);
    if (!rest.SplitAt(':', m_Host, m_Port)) {
        m_Host.Assign(rest);
        m_Port.Clear();
    }
    return true;
}

void CRelayRoute::Format(CVornString& out) const {
    CVornLockGuard guard(m_Lock);
    CVornString text(m_Domain, CVornString::kUnlocked);
    if (!m_Host.IsEmpty()) {
        text.Append(kArrow);
        text.Append(m_Host);
        if (!m_Port.IsEmpty()) {
            text.Append(':');
            text.Append(m_Port);
        }
    }
    out.Assign(text);
}

void CRelayRoute::Assign(const CRelayRoute& other) {
    if (&other == this)
        return;
    CVornLockGuard mine(m_Lock);
    CVornLockGuard theirs(other.m_Lock);
    m_Domain.Assign(other.m_Domain);
    m_Host.Assign(other.m_Host);
    m_Port.Assign(other.m_Port);
}

bool CRelayRoute::HasUnsafeText() const {
    CVornLockGuard guard(m_Lock);
    return HasUnsafeByte(m_Domain) || HasUnsafeByte(m_Host) || HasUnsafeByte(m_Port);
}

void DeleteRelayRoute(void* route) {
    delete static_cast<CRelayRoute*>(route);
}

CRelayRoutingTable::CRelayRoutingTable() {
    load();
}

CRelayRoutingTable::~CRelayRoutingTable() {
    CVornLockGuard guard(m_Lock);
    m_Routes.Clear();
}

bool CRelayRoutingTable::Lookup(const char* domain, CRelayRoute& out) {
    CVornLockGuard guard(m_Lock);
    CRelayRoute* route = nullptr;
    if (!m_Routes.Get(domain ? domain : "", &route) || !route)
        return false;
    out.Assign(*route);
    return true;
}

void CRelayRoutingTable::GetSorted(CVornSortedList<CRelayRoute>& list) {
    CVornLockGuard guard(m_Lock);
    {
        CVornLockGuard insertGuard(list.m_InsertLock);
        if (!list.m_Compare)
            throw CVornException(62);
    }
    CVornString key(CVornString::kUnlocked);
    void* value = nullptr;
    // The inserts change only the caller's list, so this table's pass (First,
    // Next) is never cut short.
    for (bool more = m_Routes.First(key, &value); more; more = m_Routes.Next(key, &value)) {
        if (value)
            list.Insert(*static_cast<CRelayRoute*>(value));
    }
}

bool CRelayRoutingTable::Add(const CRelayRoute& route) {
    if (route.HasUnsafeText())
        return false;
    CVornLockGuard guard(m_Lock);
    store(route);
    return save();
}

bool CRelayRoutingTable::Replace(const char* oldDomain, const CRelayRoute& route) {
    if (route.HasUnsafeText())
        return false;
    CVornLockGuard guard(m_Lock);
    m_Routes.Remove(oldDomain ? oldDomain : "");
    store(route);
    return save();
}

bool CRelayRoutingTable::Remove(const char* domain) {
    CVornLockGuard guard(m_Lock);
    m_Routes.Remove(domain ? domain : "");
    return save();
}

void CRelayRoutingTable::load() {
    CVornLockGuard guard(m_Lock);
    CVornString text(CVornString::kUnlocked);
    if (CVornConfigStore::GetSetting(nullptr, nullptr, kRelayRoutingSetting, text) != 0)
        return;
    CVornSplitter items;
    items.Split(text, kRouteItemSeparator, 0);
    CVornString item(CVornString::kUnlocked);
    for (int i = 0; items.GetAt(i, item); ++i) {
        CRelayRoute route;
        route.Parse(item.CStr());
        store(route);
    }
}

void CRelayRoutingTable::store(const CRelayRoute& route) {
    CVornString domain(CVornString::kUnlocked);
    route.GetDomain(domain);
    // A route replaced under the same key goes to the map's deleter; the
    // stored key takes the spelling of the new route.
    m_Routes.Insert(domain, new CRelayRoute(route), &DeleteRelayRoute);
}

bool CRelayRoutingTable::save() {
    std::vector<std::pair<std::string, std::string>> items;  // folded domain, item text
    CVornString key(CVornString::kUnlocked);
    void* value = nullptr;
    for (bool more = m_Routes.First(key, &value); more; more = m_Routes.Next(key, &value)) {
        if (!value)
            continue;
        CVornString text(CVornString::kUnlocked);
        static_cast<CRelayRoute*>(value)->Format(text);
        CVornString folded(key, CVornString::kUnlocked);
        folded.ToLower();
        items.emplace_back(std::string(folded.CStr(), static_cast<size_t>(folded.Length())),
                           std::string(text.CStr(), static_cast<size_t>(text.Length())));
    }
    std::sort(items.begin(), items.end());
    std::string joined;
    for (const auto& item : items) {
        if (&item != &items.front())
            joined += kRouteItemSeparator;
        joined += item.second;
    }
    CVornString setting(joined.data(), static_cast<int>(joined.size()), CVornString::kUnlocked);
    return CVornConfigStore::SetAttribute('S', nullptr, kRelayRoutingSetting, setting, 0) == 0;
}
