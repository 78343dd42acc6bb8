// System information for the network code, built from the Linux sources in
// platform/system_info.h with the results the per-interface family gives.
//
//   SysInfoWinFlavor          the family (5), found once under the lock
//   SysInfoGetDnsInfo         resolv.conf: search domains, name servers, ports
//   SysInfoGetLocalAddresses  getifaddrs: distinct addresses, 127.0.0.1 last
//   SysInfoGetFqdn            gethostname, then the canonical name if known
//
// Bad input: the platform readers already drop what they cannot parse
// (malformed or IPv6 name servers, over-long lines), so no address that is
// not a real IPv4 address reaches a list. A missing resolv.conf gives no
// name servers and false; no host name leaves the caller's text unchanged.
#include "core/system_info.h"

#include <arpa/inet.h>

#include <string>
#include <vector>

#include "core/debug_log.h"
#include "platform/system_info.h"

namespace {

// Guards the kept family. Made on first use and never destroyed.
CVornLock& SysInfoLock() {
    static CVornLock* lock = new CVornLock;
    return *lock;
}

int g_KeptFamily = 0;  // guarded by SysInfoLock(); 0 until found

void DebugLine(const char* text) {
    if (!g_LogSilent)
        LogText(kLogDebug, text);
}

bool HoldsAddress(const std::vector<uint32_t>& seen, uint32_t address) {
    for (uint32_t a : seen)
        if (a == address)
            return true;
    return false;
}

}  // namespace

int SysInfoWinFlavor() {
    CVornLockGuard hold(SysInfoLock());
    // There is one way to read these facts on Linux, and it is the
    // per-interface one; nothing can leave the family unknown. No interface
    // list is kept: getifaddrs and resolv.conf are read whole at each call.
    if (g_KeptFamily == 0)
        g_KeptFamily = kSysInfoFamilyInterfaces;
    return g_KeptFamily;
}

bool SysInfoGetDnsInfo(CVornStringList& domains, CVornHostAddressList& servers,
                       CVornList<unsigned short>* ports) {
    domains.RemoveAll();
    servers.RemoveAll();
    if (ports != nullptr)
        ports->RemoveAll();

    platform::ResolverConfig config = platform::ReadResolverConfig();

    std::vector<std::string> seenDomains;
    for (const std::string& domain : config.searchDomains) {
        if (domain.empty())
            continue;
        bool repeat = false;
        for (const std::string& d : seenDomains) repeat = repeat || d == domain;
        if (repeat)
            continue;
        seenDomains.push_back(domain);
        domains.AddTail(CVornString(domain.c_str(), CVornString::kUnlocked));
    }

    std::vector<platform::NameServer> seenServers;
    for (const platform::NameServer& server : config.nameServers) {
        bool repeat = false;
        for (const platform::NameServer& s : seenServers) repeat = repeat || s == server;
        if (repeat)
            continue;
        seenServers.push_back(server);
        AppendAddressEntry(servers, CVornHostAddressEntry(server.address));
        if (ports != nullptr)
            ports->AddTail(server.port);
    }

    if (seenDomains.empty())
        DebugLine("sysinfo getdnsinfo no domains");
    if (seenServers.empty()) {
        DebugLine("sysinfo getdnsinfo no nameservers");
        return false;
    }
    return true;
}

bool SysInfoGetLocalAddresses(CVornHostAddressList& out) {
    out.RemoveAll();
    const uint32_t loopback = htonl(INADDR_LOOPBACK);
    std::vector<uint32_t> seen;
    for (uint32_t address : platform::LocalIPv4Addresses()) {
        // The loopback address goes last, as on systems whose interface
        // lists never hold it.
        if (address == loopback || HoldsAddress(seen, address))
            continue;
        seen.push_back(address);
        AppendAddressEntry(out, CVornHostAddressEntry(address));
    }
    AppendAddressEntry(out, CVornHostAddressEntry(loopback));
    return true;
}

void SysInfoGetFqdn(CVornString& out) {
    std::string host = platform::HostName();
    if (host.empty()) {
        DebugLine("sysinfo getfqdn no host");
        return;
    }
    CVornHostAddress address(host.c_str(), 0);
    CVornString canonical(CVornString::kUnlocked);
    if (address.GetCanonicalName(canonical) && !canonical.IsEmpty())
        out.Assign(canonical);
    else
        out.Assign(host.c_str());
}
