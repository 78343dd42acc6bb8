// Machine facts: resolv.conf as the resolver library reads it, and the
// interfaces' addresses.
#include "platform/system_info.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

using platform::NameServer;
using platform::ParseResolverConfig;

NameServer Server(const char* dotted, uint16_t port = 53) {
    NameServer s;
    s.address = inet_addr(dotted);
    s.port = port;
    return s;
}

TEST(ResolverConfig, NameServersTakePortsAndSkipRepeatsIPv6AndJunk) {
    auto config = ParseResolverConfig(
        "# a comment\n"
        "; another\n"
        "#nameserver 10.9.9.9\n"
        "nameserver 10.0.0.1\n"
        "nameserver\t127.0.0.1:5353   # trailing words are ignored\n"
        "nameserver 10.0.0.1\n"        // a repeat
        "nameserver 10.0.0.1:53\n"     // the same server again
        "nameserver 127.0.0.1:5354\n"  // same address, another port: another server
        "nameserver ::1\n"
        "nameserver fe80::1%eth0\n"
        "nameserver [2001:db8::1]:53\n"
        "nameserver 10.0.0.256\n"
        "nameserver 10.0.0.2:0\n"
        "nameserver 10.0.0.2:65536\n"
        "nameserver 10.0.0.2:\n"
        "nameserver\n"
        "options ndots:2\n"
        "nameserver 10.0.0.3\r\n",
        "");
    EXPECT_EQ((std::vector<NameServer>{Server("10.0.0.1"), Server("127.0.0.1", 5353),
                                       Server("127.0.0.1", 5354), Server("10.0.0.3")}),
              config.nameServers);
}

TEST(ResolverConfig, SearchAndDomainLinesFollowTheLastOne) {
    struct Case {
        const char* text;
        const char* hostName;
        std::vector<std::string> domains;
    };
    const Case cases[] = {
        {"search a.example b.example a.example\n", "h.host.example", {"a.example", "b.example"}},
        {"domain d.example\n", "", {"d.example"}},
        {"search a.example b.example\ndomain d.example\n", "", {"d.example"}},
        {"domain d.example\nsearch\ta.example  b.example\n", "", {"a.example", "b.example"}},
        {"domain d.example extra\n", "", {"d.example"}},
        {"search\n", "h.host.example", {}},  // an empty search list is still the last word
        {"nameserver 10.0.0.1\n", "h.host.example", {"host.example"}},
        {"nameserver 10.0.0.1\n", "bare", {}},
        {"", "trailing.", {}},
        // Control bytes never reach a query name or a log line.
        {"search a\x01.example b.example c\x7f.example\n", "", {"b.example"}},
        {"domain bad\x1b[31m.example\n", "", {}},
        {"nameserver 10.0.0.1\n", "h.in\x02valid", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(c.domains, ParseResolverConfig(c.text, c.hostName).searchDomains);
    }
}

TEST(ResolverConfig, OverlongLinesAreIgnored) {
    std::string text = "search " + std::string(5000, 'x') + "\nnameserver 10.0.0.1\n";
    auto config = ParseResolverConfig(text, "");
    EXPECT_TRUE(config.searchDomains.empty());
    EXPECT_EQ(1u, config.nameServers.size());
}

TEST(ResolverConfig, IsReadFromTheFileTheEnvironmentNames) {
    char tmpl[] = "/tmp/zelorm-resolv-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(tmpl));
    std::string dir = tmpl;
    std::string path = dir + "/resolv.conf";
    std::ofstream(path) << "search s.example\nnameserver 127.0.0.1:5353\n";
    setenv("ZELORM_RESOLV_CONF", path.c_str(), 1);
    auto config = platform::ReadResolverConfig();
    EXPECT_EQ(std::vector<std::string>{"s.example"}, config.searchDomains);
    EXPECT_EQ(std::vector<NameServer>{Server("127.0.0.1", 5353)}, config.nameServers);

    setenv("ZELORM_RESOLV_CONF", (dir + "/missing").c_str(), 1);
    EXPECT_TRUE(platform::ReadResolverConfig().nameServers.empty());
    unsetenv("ZELORM_RESOLV_CONF");
    std::filesystem::remove_all(dir);
}

TEST(MachineFacts, HostNameAndLoopbackAddressAreThere) {
    EXPECT_FALSE(platform::HostName().empty());
    auto addresses = platform::LocalIPv4Addresses();
    EXPECT_EQ(1, std::count(addresses.begin(), addresses.end(), inet_addr("127.0.0.1")));
    auto sorted = addresses;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(sorted.end(), std::adjacent_find(sorted.begin(), sorted.end()));
}

}  // namespace
