// Facts about this machine that the network code needs: the operating-system
// family whose behaviour the readers below follow, the DNS name servers and
// search domains, the local IPv4 addresses and the full host name.
//
//   SysInfoWinFlavor          the family: always kSysInfoFamilyInterfaces (5)
//   SysInfoGetDnsInfo         search domains and name servers (with their ports)
//   SysInfoGetLocalAddresses  the local IPv4 addresses, 127.0.0.1 last
//   SysInfoGetFqdn            the full host name, or the bare host name
//
// The facts come from platform/system_info.h (gethostname, resolv.conf,
// getifaddrs), read afresh at every call; SysInfoListProducts, which reads
// the registry, is in core/registry.h. Nothing here throws (except
// CVornException 61 from the list code, which cannot happen while the lists
// are only appended to). Any thread may call these.
#pragma once

#include "core/vorn_list.h"
#include "core/vorn_string.h"
#include "net/host_address.h"

// The families the system tells apart. 1: per-adapter TCP/IP settings;
// 2: the older family with driver keys; 5: per-interface settings.
enum : int {
    kSysInfoFamilyAdapters = 1,
    kSysInfoFamily95 = 2,
    kSysInfoFamilyInterfaces = 5,
};

// Always kSysInfoFamilyInterfaces here: Linux lists its interfaces and their
// addresses (getifaddrs) and keeps one resolver configuration, which is how
// the per-interface family behaves (name servers without repeats, zero
// addresses kept once, 127.0.0.1 added last). Found once and kept.
int SysInfoWinFlavor();

// Empties both lists (and ports, when given), then fills them from the
// resolver configuration: every search domain once, in order; every name
// server once, in order, as an entry of its IPv4 address. A name server is
// a repeat only when both its address and its port were seen before (tests
// run several servers on 127.0.0.1 with different ports).
//
// ports, when not null, receives the port of each name server (host byte
// order, 53 unless the configuration named another), parallel to servers:
// the port of servers[i] is ports[i]. The DNS resolver passes it; other
// callers pass null.
//
// An empty domain list writes "sysinfo getdnsinfo no domains" and an empty
// server list "sysinfo getdnsinfo no nameservers" to the debug log at DEBUG
// (unless the log is silent). False when there is no name server.
bool SysInfoGetDnsInfo(CVornStringList& domains, CVornHostAddressList& servers,
                       CVornList<unsigned short>* ports = nullptr);

// Empties out, then appends every distinct IPv4 address of the machine's
// interfaces in the kernel's order (0.0.0.0 included once, should an
// interface carry it), except 127.0.0.1, which is appended last, so the
// list always ends with 127.0.0.1, exactly once. True.
bool SysInfoGetLocalAddresses(CVornHostAddressList& out);

// out := the canonical name of the host name (CVornHostAddress::
// GetCanonicalName, which asks the installed host lookups), or the bare host
// name when that finds none. When the host name is empty, writes "sysinfo
// getfqdn no host" to the debug log at DEBUG (unless silent) and leaves out
// unchanged.
void SysInfoGetFqdn(CVornString& out);
