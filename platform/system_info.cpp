// Machine facts from Linux sources (see system_info.h).
//
//   HostName              gethostname, always NUL-terminated
//   ResolverConfigPath    $ZELORM_RESOLV_CONF or /etc/resolv.conf
//   ParseResolverConfig   resolv.conf text to name servers and search domains
//   ReadResolverConfig    the file (first 64 KiB) through ParseResolverConfig
//   LocalIPv4Addresses    getifaddrs, IPv4 entries, repeats dropped
//
// Bad input: unknown keywords, malformed or IPv6 addresses, over-long lines
// and text past the size bound are skipped; nothing here fails or throws
// except std::bad_alloc.
#include "platform/system_info.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <limits.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>

namespace platform {

namespace {

constexpr size_t kMaxConfigText = 64u << 10;
constexpr size_t kMaxConfigLine = 4096;

std::vector<std::string> Words(const std::string& line) {
    std::vector<std::string> words;
    size_t p = 0;
    while (p < line.size()) {
        while (p < line.size() && (line[p] == ' ' || line[p] == '\t' || line[p] == '\r')) ++p;
        size_t start = p;
        while (p < line.size() && line[p] != ' ' && line[p] != '\t' && line[p] != '\r') ++p;
        if (p > start)
            words.push_back(line.substr(start, p - start));
    }
    return words;
}

// A search word goes into DNS names and log lines: one holding a control
// byte (or DEL) is refused, never passed on.
bool PlainWord(const std::string& word) {
    return std::none_of(word.begin(), word.end(), [](char c) {
        unsigned char b = static_cast<unsigned char>(c);
        return b < 0x20 || b == 0x7f;
    });
}

// "a.b.c.d" or "a.b.c.d:port"; false for IPv6 and anything malformed.
bool ParseNameServer(const std::string& text, NameServer& out) {
    std::string host = text;
    out.port = 53;
    size_t colon = text.find(':');
    if (colon != std::string::npos) {
        std::string port = text.substr(colon + 1);
        if (port.empty() || port.size() > 5 ||
            port.find_first_not_of("0123456789") != std::string::npos)
            return false;  // also every IPv6 address, which holds more colons
        long n = strtol(port.c_str(), nullptr, 10);
        if (n < 1 || n > 65535)
            return false;
        out.port = static_cast<uint16_t>(n);
        host = text.substr(0, colon);
    }
    in_addr addr;
    if (inet_pton(AF_INET, host.c_str(), &addr) != 1)
        return false;
    out.address = addr.s_addr;
    return true;
}

}  // namespace

std::string HostName() {
    char name[HOST_NAME_MAX + 1];
    if (gethostname(name, sizeof name) != 0)
        return "";
    name[HOST_NAME_MAX] = '\0';  // a truncated name need not be terminated
    return name;
}

std::string ResolverConfigPath() {
    const char* path = getenv("ZELORM_RESOLV_CONF");
    return (path && *path) ? path : "/etc/resolv.conf";
}

ResolverConfig ParseResolverConfig(const std::string& text, const std::string& hostName) {
    ResolverConfig config;
    bool haveSearch = false;
    std::istringstream in(text.substr(0, kMaxConfigText));
    for (std::string line; std::getline(in, line);) {
        if (line.size() > kMaxConfigLine)
            continue;
        std::vector<std::string> words = Words(line);
        if (words.empty() || words[0][0] == '#' || words[0][0] == ';')
            continue;
        const std::string& keyword = words[0];
        if (keyword == "nameserver") {
            NameServer server;
            if (words.size() >= 2 && ParseNameServer(words[1], server) &&
                std::find(config.nameServers.begin(), config.nameServers.end(), server) ==
                    config.nameServers.end())
                config.nameServers.push_back(server);
        } else if (keyword == "domain" || keyword == "search") {
            // The two are exclusive: the last line of either kind wins.
            haveSearch = true;
            config.searchDomains.clear();
            size_t last = keyword == "domain" ? std::min<size_t>(words.size(), 2) : words.size();
            for (size_t i = 1; i < last; ++i) {
                if (PlainWord(words[i]) &&
                    std::find(config.searchDomains.begin(), config.searchDomains.end(), words[i]) ==
                    config.searchDomains.end())
                    config.searchDomains.push_back(words[i]);
            }
        }
    }
    if (!haveSearch) {
        size_t dot = hostName.find('.');
        if (dot != std::string::npos && dot + 1 < hostName.size() &&
            PlainWord(hostName.substr(dot + 1)))
            config.searchDomains.push_back(hostName.substr(dot + 1));
    }
    return config;
}

ResolverConfig ReadResolverConfig() {
    std::string text;
    int fd = open(ResolverConfigPath().c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        char buf[8192];
        while (text.size() < kMaxConfigText) {
            ssize_t n = read(fd, buf, sizeof buf);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            text.append(buf, static_cast<size_t>(n));
        }
        close(fd);
    }
    return ParseResolverConfig(text, HostName());
}

std::vector<uint32_t> LocalIPv4Addresses() {
    std::vector<uint32_t> out;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return out;
    for (ifaddrs* ifa = list; ifa != nullptr; ifa = ifa->ifa_next) {
        if (ifa->ifa_addr == nullptr || ifa->ifa_addr->sa_family != AF_INET)
            continue;
        uint32_t address = reinterpret_cast<const sockaddr_in*>(ifa->ifa_addr)->sin_addr.s_addr;
        if (std::find(out.begin(), out.end(), address) == out.end())
            out.push_back(address);
    }
    freeifaddrs(list);
    return out;
}

bool ProcessIsAdministrator() { return geteuid() == 0; }

}  // namespace platform
