// Facts about this machine that the network code needs.
//
//   HostName              the host name (gethostname)
//   ResolverConfigPath    $ZELORM_RESOLV_CONF, else /etc/resolv.conf
//   ParseResolverConfig   name servers and search domains from resolv.conf text
//   ReadResolverConfig    the same from the file
//   LocalIPv4Addresses    the IPv4 addresses of the interfaces (getifaddrs)
//   ProcessIsAdministrator  whether this process has the machine's administrator rights
//
// Plain data out; addresses are IPv4 in network byte order. Reading never
// fails loudly: a missing or unreadable source gives empty results.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

namespace platform {

// The host name as the kernel holds it ("mail" or "mail.example.com"); empty
// when it cannot be read.
std::string HostName();

struct NameServer {
    uint32_t address = 0;  // IPv4, network byte order
    uint16_t port = 53;    // host byte order; 53 unless the line named one
    bool operator==(const NameServer&) const = default;
};

struct ResolverConfig {
    std::vector<NameServer> nameServers;     // in file order, without repeats
    std::vector<std::string> searchDomains;  // in file order, without repeats
};

std::string ResolverConfigPath();

// Reads resolv.conf text as resolv.conf(5) describes it:
//  - "nameserver ADDRESS": an IPv4 address, optionally with ":PORT" (tests
//    run servers on other ports); IPv6 servers and malformed addresses are
//    skipped, as is a server already listed (same address and port);
//  - "search D1 D2 ..." and "domain D": the two are exclusive and the last
//    such line wins; "domain D" makes the search list D alone;
//  - with neither, the search list is the domain part of hostName (after its
//    first dot), if it has one;
//  - lines whose first non-blank character is '#' or ';' are comments; other
//    keywords ("options", "sortlist") are ignored.
// Lines over 4096 bytes and text past 64 KiB are ignored.
ResolverConfig ParseResolverConfig(const std::string& text, const std::string& hostName);

// ParseResolverConfig of the file at ResolverConfigPath() with HostName();
// a missing or unreadable file reads as empty text.
ResolverConfig ReadResolverConfig();

// The distinct IPv4 addresses of all interfaces, loopback included, in the
// order the kernel lists them; empty when they cannot be read.
std::vector<uint32_t> LocalIPv4Addresses();

// True when the process runs with the rights of the machine's administrator
// (effective user id 0), which installing a service needs.
bool ProcessIsAdministrator();

}  // namespace platform
