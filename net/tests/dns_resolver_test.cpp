// The process's resolver against a DNS server of the test's own on loopback:
// the cache and its lifetimes, reply handling (errors, strays, foreign
// records), the query exchange (servers in turn, deadlines on a frozen clock,
// stop), the lookups (MX order, search domains, CNAME limits, PTR, negative
// answers, authoritative lookups) and host-address resolution.
#include "net/dns_resolver.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/debug_log.h"
#include "core/tests/support/vorn_helpers.h"
#include "core/vorn_buffer.h"
#include "net/dns_exchange.h"
#include "net/dns_lookup.h"
#include "net/tests/dns_fake_server.h"
#include "net/tests/udp_fixture.h"
#include "platform/clock.h"

namespace {

using dnstest::FakeDns;
using dnstest::Rr;
using udptest::Eventually;

constexpr time_t kBase = 1700000000;

uint32_t Quad(const char* text) {
    int address = 0;
    EXPECT_TRUE(ParseDottedQuad(CVornString(text), &address)) << text;
    return static_cast<uint32_t>(address);
}

std::string QuadText(uint32_t address) {
    CVornString text;
    FormatDottedQuad(static_cast<int>(address), text);
    return text.CStr();
}

std::vector<CDnsRecord> Records(CDnsRecordList& list) {
    std::vector<CDnsRecord> out;
    CVornLockGuard guard(list.m_Lock);
    for (auto* node = list.m_Head; node; node = node->m_Next) out.push_back(node->m_Element);
    return out;
}

// "name [a,b]" of a host with its addresses.
std::string Show(CVornHostAddress& host) {
    CVornString name;
    host.GetName(name);
    std::string out = name.CStr();
    out += " [";
    CVornHostAddressList addresses;
    if (host.GetAddressCount() > 0 && host.GetAddresses(addresses)) {
        CVornLockGuard guard(addresses.m_Lock);
        for (auto* node = addresses.m_Head; node; node = node->m_Next) {
            if (node != addresses.m_Head)
                out += ",";
            out += QuadText(node->m_Element.GetAddress());
        }
    }
    return out + "]";
}

std::vector<std::string> ShowAll(CVornList<CVornHostAddress>& hosts) {
    std::vector<std::string> out;
    CVornLockGuard guard(hosts.m_Lock);
    for (auto* node = hosts.m_Head; node; node = node->m_Next) out.push_back(Show(node->m_Element));
    return out;
}

struct CacheCounts {
    int chains = 0, records = 0, expired = 0, empty = 0, negative = 0;
};

CacheCounts Counts(bool cleanFirst = false) {
    CacheCounts c;
    DnsCacheInfo(cleanFirst, &c.chains, &c.records, &c.expired, &c.empty, &c.negative, false);
    return c;
}

// The fixture: one fake server named by the resolver configuration with the
// search domains d1.test and d2.test, short query times (a wait of 1 s, a
// deadline of 2 s), and an empty cache and a fresh clock for every test.
class DnsResolverTest : public udptest::UdpFixture {
protected:
    static void SetUpTestSuite() {
        char tmpl[] = "/tmp/zelorm-dns-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(tmpl));
        s_Dir = tmpl;
        s_Primary = new FakeDns();
        setenv("ZELORM_RESOLV_CONF", (s_Dir + "/resolv.conf").c_str(), 1);
        DnsSetQueryTimes(1, 2);
        UseServers({s_Primary->Port()});
    }
    static void TearDownTestSuite() {
        DnsStop();
        DnsSetQueryTimes(0, 0);
        DnsSetNameServerPort(0);
        delete s_Primary;
        s_Primary = nullptr;
        unsetenv("ZELORM_RESOLV_CONF");
        unlink((s_Dir + "/resolv.conf").c_str());
        rmdir(s_Dir.c_str());
    }
    // Names these servers in the configuration and stops the resolver, so
    // that the next lookup starts it with them.
    static void UseServers(const std::vector<unsigned short>& ports) {
        std::ofstream conf(s_Dir + "/resolv.conf");
        for (unsigned short port : ports) conf << "nameserver 127.0.0.1:" << port << "\n";
        conf << "search d1.test d2.test\n";
        conf.close();
        DnsStop();
    }

    void SetUp() override {
        UdpFixture::SetUp();
        platform::ClearTestTime();
        s_Primary->Reset();
        DnsCacheFlush();
        DnsReportLimiter().Reset();
        ASSERT_TRUE(DnsStart(1, false));
    }
    void TearDown() override {
        platform::ClearTestTime();
        DnsSetQueryTimes(1, 2);
        if (m_Reconfigured)
            UseServers({s_Primary->Port()});
        UdpFixture::TearDown();
    }

    // Debug-log text captured by the sink so far.
    std::string DebugText() {
        m_Log += testsupport::TakeSinkText(m_Sink);
        return m_Log;
    }

    FakeDns& Primary() { return *s_Primary; }

    static std::string s_Dir;
    static FakeDns* s_Primary;
    bool m_Reconfigured = false;
    CVornLogSink m_Sink{kLogDebug};
    std::string m_Log;
};

std::string DnsResolverTest::s_Dir;
FakeDns* DnsResolverTest::s_Primary = nullptr;

// ---- The cache

TEST_F(DnsResolverTest, CacheKeepsTheLongerLivedOrMoreAuthoritativeCopyOfEqualRecords) {
    platform::SetTestTime(kBase);
    struct Case {
        const char* what;
        int cachedTtl;
        bool cachedAuth;
        int newTtl;
        bool newAuth;
        time_t expiry;
        bool auth;
    };
    const Case cases[] = {
        {"a later expiry refreshes", 60, false, 120, false, kBase + 120, false},
        {"an earlier expiry of the same authority changes nothing", 120, false, 60, false,
         kBase + 120, false},
        {"an authoritative copy replaces a longer-lived other", 120, false, 60, true, kBase + 60,
         true},
        {"a later non-authoritative copy replaces an authoritative one", 60, true, 120, false,
         kBase + 120, false},
    };
    for (const Case& c : cases) {
        DnsCacheFlush();
        for (auto [ttl, auth] : {std::pair<int, bool>{c.cachedTtl, c.cachedAuth},
                                 std::pair<int, bool>{c.newTtl, c.newAuth}}) {
            CDnsRecord* r = new CDnsRecord(CVornString("Host.Example"), ttl,
                                           CVornHostAddressEntry(Quad("192.0.2.1")), auth);
            DnsCacheAdd(&r);
            EXPECT_EQ(r, nullptr);
        }
        CDnsRecordList list;
        bool authoritative = !c.auth;
        ASSERT_TRUE(
            DnsCacheFind(CVornString("host.example."), kDnsTypeA, false, list, &authoritative))
            << c.what;
        std::vector<CDnsRecord> found = Records(list);
        ASSERT_EQ(found.size(), 1u) << c.what;
        EXPECT_EQ(found[0].m_Expiry, c.expiry) << c.what;
        EXPECT_EQ(authoritative, c.auth) << c.what;
    }

    // A negative entry never merges with a record whose data is empty too
    // (address 0.0.0.0): both stay, and the find sees the record.
    DnsCacheFlush();
    CDnsRecord* zero =
        new CDnsRecord(CVornString("zero.example"), 60, CVornHostAddressEntry(0), false);
    CDnsRecord* none = new CDnsRecord(CVornString("zero.example"), 60, kDnsTypeA, false);
    DnsCacheAdd(&zero);
    DnsCacheAdd(&none);
    CDnsRecordList list;
    ASSERT_TRUE(DnsCacheFind(CVornString("zero.example"), kDnsTypeA, false, list, nullptr));
    EXPECT_EQ(Records(list).size(), 1u);
    CacheCounts counts = Counts();
    EXPECT_EQ(counts.records, 2);
    EXPECT_EQ(counts.negative, 1);
}

TEST_F(DnsResolverTest, CacheFindsByAuthorityAndReportsNegativeEntriesAsEmptyHits) {
    CDnsRecord* a = new CDnsRecord(CVornString("plain.example"), 60,
                                   CVornHostAddressEntry(Quad("192.0.2.7")), false);
    DnsCacheAdd(&a);
    CDnsRecordList list;
    bool authoritative = true;
    EXPECT_FALSE(DnsCacheFind(CVornString("plain.example"), kDnsTypeA, true, list, &authoritative));
    EXPECT_FALSE(authoritative);
    EXPECT_TRUE(DnsCacheFind(CVornString("plain.example"), kDnsTypeA, false, list, &authoritative));
    EXPECT_FALSE(authoritative);
    EXPECT_EQ(Records(list).size(), 1u);
    // Another type of the same name is another chain.
    EXPECT_FALSE(DnsCacheFind(CVornString("plain.example"), kDnsTypeMX, false, list, nullptr));

    CDnsRecord* negative = new CDnsRecord(CVornString("gone.example"), 180, kDnsTypeMX, true);
    DnsCacheAdd(&negative);
    authoritative = false;
    EXPECT_TRUE(DnsCacheFind(CVornString("GONE.example"), kDnsTypeMX, true, list, &authoritative));
    EXPECT_TRUE(Records(list).empty());
    EXPECT_TRUE(authoritative);
}

TEST_F(DnsResolverTest, RecordsExpireOnTheLibraryClockAndCleaningDropsTheirChains) {
    platform::SetTestTime(kBase);
    CDnsRecordPtrList section;
    section.AddTail(new CDnsRecord(CVornString("short.example"), 60,
                                   CVornHostAddressEntry(Quad("192.0.2.1")), false));
    section.AddTail(new CDnsRecord(CVornString("long.example"), 170,
                                   CVornHostAddressEntry(Quad("192.0.2.2")), false));
    section.AddTail(new CDnsRecord(CVornString("never.example"), 0,
                                   CVornHostAddressEntry(Quad("192.0.2.3")), false));
    DnsCacheRecords(section);
    EXPECT_EQ(section.m_Count, 0);
    CacheCounts counts = Counts();
    EXPECT_EQ(counts.chains, 2);  // a record without expiry is never cached
    EXPECT_EQ(counts.expired, 0);

    platform::SetTestTime(kBase + 60);
    CDnsRecordList list;
    EXPECT_FALSE(DnsCacheFind(CVornString("short.example"), kDnsTypeA, false, list, nullptr));
    EXPECT_TRUE(DnsCacheFind(CVornString("long.example"), kDnsTypeA, false, list, nullptr));
    counts = Counts();
    EXPECT_EQ(counts.chains, 2);
    EXPECT_EQ(counts.records, 2);
    EXPECT_EQ(counts.expired, 1);
    EXPECT_EQ(counts.empty, 0);

    // The listing names every chain and its records.
    testing::internal::CaptureStdout();
    DnsCacheInfo(false, nullptr, nullptr, nullptr, nullptr, nullptr, true);
    const std::string listing = testing::internal::GetCapturedStdout();
    EXPECT_NE(listing.find("short.example type 1"), std::string::npos) << listing;
    EXPECT_NE(listing.find("192.0.2.2"), std::string::npos) << listing;

    counts = Counts(true);  // clean first
    EXPECT_EQ(counts.chains, 1);
    EXPECT_EQ(counts.records, 1);
    EXPECT_EQ(counts.expired, 0);

    platform::SetTestTime(kBase + 181);  // no record outlives 180 s
    DnsCacheClean();
    EXPECT_EQ(Counts().chains, 0);
}

// ---- Replies

TEST_F(DnsResolverTest, RepliesThatCannotBeUsedAreReportedAndNothingOfThemIsCached) {
    const unsigned short port = DnsResolver().GetSocket().GetLocalPort();
    ASSERT_NE(port, 0);
    const std::string question =
        dnstest::WireName("stray.example") + dnstest::U16(1) + dnstest::U16(1);
    const std::vector<Rr> answer = {{"stray.example", 1, "192.0.2.66"}};
    auto reply = [&](unsigned flags, unsigned questions) {
        return dnstest::WireReply(0x4242, flags, questions ? question : "", questions, answer, {},
                                  {});
    };
    struct Case {
        const char* what;
        std::string bytes;
        int event;  // 0: a debug-log line instead
        const char* debug;
    };
    const Case cases[] = {
        {"too short to parse", std::string(11, '\x80'), 206, nullptr},
        {"format error", reply(0x8181, 1), 207, nullptr},
        {"server failure", reply(0x8182, 1), 0, "M208"},
        {"not implemented", reply(0x8184, 1), 0, "M210"},
        {"refused", reply(0x8185, 1), 0, "M211"},
        {"unknown error code", reply(0x8189, 1), 212, nullptr},
        {"no question", reply(0x8180, 0), 213, nullptr},
        // Well formed, but no query waits for it.
        {"unsolicited", reply(0x8580, 1), 0, "M214"},
    };
    for (const Case& c : cases) ASSERT_TRUE(dnstest::SendDatagram(c.bytes, port)) << c.what;
    // One grunt handles them in order: the last one's line means all were seen.
    ASSERT_TRUE(Eventually([&] { return DebugText().find("M214") != std::string::npos; }));
    for (const Case& c : cases) {
        if (c.event) {
            EXPECT_EQ(EventsOf(c.event).size(), 1u) << c.what;
        } else
            EXPECT_NE(DebugText().find(c.debug), std::string::npos) << c.what;
    }
    CDnsRecordList list;
    EXPECT_FALSE(DnsCacheFind(CVornString("stray.example"), kDnsTypeA, false, list, nullptr));
    EXPECT_EQ(Counts().chains, 0);

    EXPECT_TRUE(DnsStart(0, false));  // running: the count is not looked at
    DnsStop();
    EXPECT_FALSE(DnsStart(0, false));
    EXPECT_EQ(EventsOf(201).size(), 1u);
}

TEST_F(DnsResolverTest, OnlyTheQuestionsOwnChainEntersTheCache) {
    Primary().Add({"www.x.test", 5, "host.x.test"});
    Primary().Add({"host.x.test", 1, "127.0.0.20"});
    // Planted in every reply: an answer for another name, the parent zone's
    // name servers and an address for one of them.
    Primary().AddExtra(1, {"evil.test", 1, "192.0.2.66"});
    Primary().AddExtra(2, {"x.test", 2, "ns.x.test"});
    Primary().AddExtra(3, {"ns.x.test", 1, "192.0.2.67"});

    CVornHostAddress host;
    ASSERT_EQ(DnsLookupA(CVornString("www.x.test"), false, host), kDnsFound);
    EXPECT_EQ(Show(host), "www.x.test [127.0.0.20]");
    CVornString canonical;
    ASSERT_TRUE(host.GetCanonicalName(canonical));
    EXPECT_STREQ(canonical.CStr(), "host.x.test");

    CDnsRecordList list;
    EXPECT_TRUE(DnsCacheFind(CVornString("www.x.test"), kDnsTypeCNAME, false, list, nullptr));
    EXPECT_TRUE(DnsCacheFind(CVornString("host.x.test"), kDnsTypeA, false, list, nullptr));
    EXPECT_FALSE(DnsCacheFind(CVornString("evil.test"), kDnsTypeA, false, list, nullptr));
    EXPECT_FALSE(DnsCacheFind(CVornString("x.test"), kDnsTypeNS, false, list, nullptr));
    EXPECT_FALSE(DnsCacheFind(CVornString("ns.x.test"), kDnsTypeA, false, list, nullptr));

    // The answer was in the cache when the lookup returned: no more queries.
    const size_t asked = Primary().Count();
    CVornHostAddress again;
    ASSERT_EQ(DnsLookupA(CVornString("www.x.test"), false, again), kDnsFound);
    EXPECT_EQ(Primary().Count(), asked);
}

// ---- The query exchange

TEST_F(DnsResolverTest, QueryAsksTheNextServerWhenOneIsSilentOrFails) {
    FakeDns second;
    Primary().Add({"h.x.test", 1, "127.0.0.30"});
    second.Add({"h.x.test", 1, "127.0.0.31"});
    struct Case {
        const char* what;
        bool drop;
        const char* debug;
    };
    for (const Case& c : {Case{"silent", true, nullptr}, Case{"server failure", false, "M208"}}) {
        Primary().Reset();
        Primary().Add({"h.x.test", 1, "127.0.0.30"});
        if (c.drop)
            Primary().Drop("h.x.test");
        else
            Primary().SetRcode("h.x.test", 2);
        CVornHostAddress first(Quad("127.0.0.1"), Primary().Port());
        CVornHostAddress next(Quad("127.0.0.1"), second.Port());
        CDnsServerList servers;
        servers.AddTail(&first);
        servers.AddTail(&next);

        CDnsRecordList list;
        bool authoritative = true;
        ASSERT_TRUE(DnsQuery(CVornString("h.x.test"), kDnsTypeA, &servers, list, &authoritative))
            << c.what;
        std::vector<CDnsRecord> found = Records(list);
        ASSERT_EQ(found.size(), 1u) << c.what;
        EXPECT_EQ(QuadText(found[0].m_Address.GetAddress()), "127.0.0.31") << c.what;
        EXPECT_FALSE(authoritative);
        EXPECT_EQ(Primary().Count(), 1u) << c.what;
        if (c.debug) {
            EXPECT_NE(DebugText().find(c.debug), std::string::npos) << c.what;
        }
        second.Reset();
        second.Add({"h.x.test", 1, "127.0.0.31"});
    }

    // No servers: false at once, nothing sent.
    CDnsServerList none;
    CDnsRecordList list;
    EXPECT_FALSE(DnsQuery(CVornString("h.x.test"), kDnsTypeA, &none, list, nullptr));
}

// A reply that misses its wait (the query has gone on to the next server)
// still answers the query when it comes during the next wait: it comes from
// a server the query was sent to. A datagram longer than any reply on the
// query's socket meanwhile is reported (223) and the wait goes on.
TEST_F(DnsResolverTest, AReplyThatMissesItsWaitStillAnswersDuringTheNext) {
    DnsSetQueryTimes(4, 8);  // the second wait runs from about 4 s to 8 s
    FakeDns second;
    Primary().Add({"late.x.test", 1, "127.0.0.40"});
    Primary().Hold();
    second.Drop("late.x.test");
    CVornHostAddress first(Quad("127.0.0.1"), Primary().Port());
    CVornHostAddress next(Quad("127.0.0.1"), second.Port());
    CDnsServerList servers;
    servers.AddTail(&first);
    servers.AddTail(&next);
    std::atomic<int> result{-1};
    std::vector<CDnsRecord> found;
    std::thread asker([&] {
        CDnsRecordList list;
        const bool ok = DnsQuery(CVornString("late.x.test"), kDnsTypeA, &servers, list, nullptr);
        found = Records(list);
        result = ok ? 1 : 0;
    });
    const bool moved = Eventually([&] { return second.Count() == 1; });
    EXPECT_TRUE(moved);
    if (moved) {
        const unsigned short port = second.SourcePorts()[0];
        EXPECT_TRUE(dnstest::SendDatagram(std::string(600, 'x'), port));
        EXPECT_TRUE(Eventually([&] { return EventsOf(223).size() == 1; }));
    }
    Primary().Release();
    asker.join();
    EXPECT_EQ(result.load(), 1);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(QuadText(found[0].m_Address.GetAddress()), "127.0.0.40");
    EXPECT_EQ(Primary().Count(), 1u);
}

TEST_F(DnsResolverTest, DeadServerEndsTheLookupAtTheDeadlineEvenOnAFrozenClock) {
    m_Reconfigured = true;
    UseServers({dnstest::DeadPort()});
    platform::SetTestTime(kBase);  // the library clock stands still
    const auto start = std::chrono::steady_clock::now();
    CVornHostAddress host("unchanged", 0);
    EXPECT_EQ(DnsLookupA(CVornString("h.x.test"), false, host), kDnsFailed);
    // Wait 1 s per send, deadline 2 s: three sends, about 3 s.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_EQ(host.GetAddressCount(), 0);
    EXPECT_EQ(DnsPendingCount(), 0);
}

TEST_F(DnsResolverTest, StopEndsAWaitingQueryAndAStartReadsTheConfigurationAgain) {
    m_Reconfigured = true;
    UseServers({dnstest::DeadPort()});
    DnsSetQueryTimes(4, 40);
    std::atomic<int> result{-1};
    std::thread waiter([&] {
        CVornHostAddress host;
        result = DnsLookupA(CVornString("h.x.test"), false, host);
    });
    ASSERT_TRUE(Eventually([] { return DnsPendingCount() > 0; }));
    const auto start = std::chrono::steady_clock::now();
    DnsStop();  // frees the configured servers the query was sent to
    ASSERT_TRUE(Eventually([&] { return result.load() >= 0; }));
    waiter.join();
    EXPECT_EQ(result.load(), kDnsFailed);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));

    // The next lookup starts the resolver with the configuration of now.
    UseServers({Primary().Port()});
    m_Reconfigured = false;
    Primary().Add({"h.x.test", 1, "127.0.0.30"});
    CVornHostAddress host;
    EXPECT_EQ(DnsLookupA(CVornString("h.x.test"), false, host), kDnsFound);
}

TEST_F(DnsResolverTest, TheCleanerDropsExpiredChainsAsTheLibraryClockPassesItsPeriod) {
    platform::SetTestTime(kBase);
    DnsStop();  // the cleaner takes its first time when it starts
    ASSERT_TRUE(DnsStart(1, false));
    CDnsRecord* r = new CDnsRecord(CVornString("short.example"), 60,
                                   CVornHostAddressEntry(Quad("192.0.2.1")), false);
    DnsCacheAdd(&r);
    platform::SetTestTime(kBase + 200);  // expired, but kept until a cleaning
    EXPECT_EQ(Counts().expired, 1);
    EXPECT_EQ(Counts().chains, 1);
    // The clock moves on by a whole period at a time; the cleaner (which
    // looks every second) cleans once a period has passed since it started.
    time_t t = kBase + 200;
    EXPECT_TRUE(Eventually([&] {
        t += CVornDNSResolver::kCleanSeconds + 1;
        platform::SetTestTime(t);
        return Counts().chains == 0;
    }));
}

// ---- Lookups

TEST_F(DnsResolverTest, MxLookupGivesResolvedExchangersInPreferenceOrder) {
    struct Case {
        const char* what;
        std::vector<Rr> zone;
        int result;
        std::vector<std::string> hosts;
    };
    const std::vector<Rr> mx = {{"a.b", 15, "x.a.b", 10}, {"a.b", 15, "y.a.b", 20}};
    const Rr ax1{"x.a.b", 1, "127.0.0.10"}, ax2{"x.a.b", 1, "127.0.0.11"},
        ay{"y.a.b", 1, "127.0.0.12"};
    auto with = [&](std::vector<Rr> more) {
        std::vector<Rr> zone = mx;
        zone.insert(zone.end(), more.begin(), more.end());
        return zone;
    };
    const std::vector<Case> cases = {
        {"both resolved",
         with({ax1, ay, ax2}),
         kDnsFound,
         {"x.a.b [127.0.0.10,127.0.0.11]", "y.a.b [127.0.0.12]"}},
        {"one without address", with({ax1, ax2}), kDnsFound, {"x.a.b [127.0.0.10,127.0.0.11]"}},
        {"none resolved", with({{"x.a.b", 15, "elsewhere.b", 5}}), kDnsNotFound, {}},
        {"no MX records", {{"a.b", 1, "127.0.0.9"}}, kDnsNotFound, {"sentinel [127.0.0.1]"}},
        {"equal preferences keep the order of the sorted insert",
         {{"a.b", 15, "c.a.b", 20},
          {"a.b", 15, "a.a.b", 10},
          {"a.b", 15, "b.a.b", 10},
          {"a.a.b", 1, "127.0.0.1"},
          {"b.a.b", 1, "127.0.0.2"},
          {"c.a.b", 1, "127.0.0.3"}},
         kDnsFound,
         {"b.a.b [127.0.0.2]", "a.a.b [127.0.0.1]", "c.a.b [127.0.0.3]"}},
        // A null MX: the domain takes no mail; "." is never completed with a
        // search domain nor looked up.
        {"null MX", {{"a.b", 15, "", 0}, {"d1.test", 1, "127.0.0.99"}}, kDnsNotFound, {}},
    };
    for (const Case& c : cases) {
        Primary().Reset();
        DnsCacheFlush();
        for (const Rr& r : c.zone) Primary().Add(r);
        CVornList<CVornHostAddress> hosts;
        CVornHostAddress sentinel(Quad("127.0.0.1"), 0);
        sentinel.SetName("sentinel");
        sentinel.AddAddress(CVornHostAddressEntry(Quad("127.0.0.1")));
        hosts.AddTail(sentinel);
        EXPECT_EQ(DnsLookupMX(CVornString("a.b"), false, hosts), c.result) << c.what;
        if (c.result == kDnsFound || c.what == std::string("no MX records")) {
            EXPECT_EQ(ShowAll(hosts), c.hosts) << c.what;
        }
        if (c.what == std::string("null MX")) {
            EXPECT_EQ(Primary().Log(), std::vector<std::string>{"a.b/15"});
        }
    }
}

TEST_F(DnsResolverTest, NamesWithoutDotsTakeTheSearchDomainsAndAbsoluteNamesDoNot) {
    struct Case {
        const char* what;
        const char* name;
        std::vector<Rr> zone;
        int result;
        const char* address;
        std::vector<std::string> asked;
    };
    const std::vector<Case> cases = {
        {"absolute",
         "h.",
         {{"h", 1, "127.0.0.40"}, {"h.d1.test", 1, "127.0.0.41"}},
         kDnsFound,
         "127.0.0.40",
         {"h/1"}},
        {"second domain",
         "h",
         {{"h.d2.test", 1, "127.0.0.42"}},
         kDnsFound,
         "127.0.0.42",
         {"h.d1.test/1", "h.d2.test/1"}},
        {"first domain wins",
         "h",
         {{"h.d1.test", 1, "127.0.0.41"}, {"h.d2.test", 1, "127.0.0.42"}},
         kDnsFound,
         "127.0.0.41",
         {"h.d1.test/1"}},
        {"a dotted name is not completed",
         "h.x",
         {{"h.x.d1.test", 1, "127.0.0.43"}},
         kDnsNotFound,
         nullptr,
         {"h.x/1", "h.x/5"}},
        {"nothing at all", ".", {{"d1.test", 1, "127.0.0.44"}}, kDnsNotFound, nullptr, {}},
    };
    for (const Case& c : cases) {
        Primary().Reset();
        DnsCacheFlush();
        for (const Rr& r : c.zone) Primary().Add(r);
        CVornHostAddress host(nullptr, 25);
        EXPECT_EQ(DnsLookupA(CVornString(c.name), false, host), c.result) << c.what;
        if (c.address) {
            EXPECT_EQ(Show(host), std::string(c.name) + " [" + c.address + "]") << c.what;
            EXPECT_EQ(host.GetPort(), 25) << c.what;
        }
        EXPECT_EQ(Primary().Log(), c.asked) << c.what;
    }
}

TEST_F(DnsResolverTest, CnameChainsOfFourStepsResolveAndFiveAreALoop) {
    for (int i = 0; i < 4; ++i)
        Primary().Add(
            {"c" + std::to_string(i) + ".x.test", 5, "c" + std::to_string(i + 1) + ".x.test"});
    Primary().Add({"c4.x.test", 1, "127.0.0.50"});
    for (int i = 0; i < 5; ++i)
        Primary().Add(
            {"d" + std::to_string(i) + ".x.test", 5, "d" + std::to_string(i + 1) + ".x.test"});
    Primary().Add({"d5.x.test", 1, "127.0.0.51"});
    Primary().Add({"loop1.x.test", 5, "loop2.x.test"});
    Primary().Add({"loop2.x.test", 5, "loop1.x.test"});

    for (int round = 0; round < 2; ++round) {  // from the network, then from the cache
        const size_t asked = Primary().Count();
        CVornHostAddress host;
        ASSERT_EQ(DnsLookupA(CVornString("c0.x.test"), false, host), kDnsFound) << round;
        EXPECT_EQ(Show(host), "c0.x.test [127.0.0.50]");
        CVornString canonical;
        host.GetCanonicalName(canonical);
        EXPECT_STREQ(canonical.CStr(), "c4.x.test");
        if (round == 1) {
            EXPECT_EQ(Primary().Count(), asked);
        }

        EXPECT_EQ(DnsLookupA(CVornString("d0.x.test"), false, host), kDnsCnameLoop) << round;
        EXPECT_EQ(DnsLookupA(CVornString("loop1.x.test"), false, host), kDnsCnameLoop) << round;
        if (round == 1) {
            EXPECT_EQ(Primary().Count(), asked);
        }
    }
    EXPECT_EQ(EventsOf(215).size(), 4u);
}

TEST_F(DnsResolverTest, PtrLookupAsksForTheReverseName) {
    Primary().Add({"3.2.1.10.in-addr.arpa", 12, "host.x.test"});
    CVornString name("unchanged");
    EXPECT_EQ(DnsLookupPTR(CVornHostAddressEntry(Quad("10.1.2.3")), false, name), kDnsFound);
    EXPECT_STREQ(name.CStr(), "host.x.test");
    EXPECT_EQ(Primary().Log(), std::vector<std::string>{"3.2.1.10.IN-ADDR.ARPA/12"});

    name.Assign("unchanged");
    EXPECT_EQ(DnsLookupPTR(CVornHostAddressEntry(Quad("10.1.2.4")), false, name), kDnsNotFound);
    EXPECT_STREQ(name.CStr(), "unchanged");
}

TEST_F(DnsResolverTest, MissingNamesAndMissingTypesAreCachedFor180Seconds) {
    platform::SetTestTime(kBase);
    Primary().Add({"mail.x.test", 15, "mx.x.test", 10});    // exists, but has no A record
    Primary().Add({"zero.x.test", 1, "127.0.0.60", 0, 0});  // TTL 0: used, never cached
    for (const char* name : {"gone.x.test", "mail.x.test"}) {
        const size_t before = Primary().Count();
        CVornHostAddress host;
        EXPECT_EQ(DnsLookupA(CVornString(name), false, host), kDnsNotFound) << name;
        const size_t asked = Primary().Count() - before;
        EXPECT_GT(asked, 0u) << name;
        EXPECT_EQ(DnsLookupA(CVornString(name), false, host), kDnsNotFound) << name;
        EXPECT_EQ(Primary().Count() - before, asked) << name;  // answered by the cache

        platform::SetTestTime(kBase + 181);
        EXPECT_EQ(DnsLookupA(CVornString(name), false, host), kDnsNotFound) << name;
        EXPECT_EQ(Primary().Count() - before, 2 * asked) << name;  // asked again
        platform::SetTestTime(kBase);
        DnsCacheFlush();
    }
    EXPECT_EQ(Primary().Log()[0], "gone.x.test/1");
    // The negative entries for the A and CNAME questions.
    CVornHostAddress host;
    DnsLookupA(CVornString("gone.x.test"), false, host);
    EXPECT_EQ(Counts().negative, 2);

    for (int i = 0; i < 2; ++i) {
        CVornHostAddress zero;
        EXPECT_EQ(DnsLookupA(CVornString("zero.x.test"), false, zero), kDnsFound);
        EXPECT_EQ(Show(zero), "zero.x.test [127.0.0.60]");
    }
    size_t zeroQueries = 0;
    for (const std::string& q : Primary().Log()) zeroQueries += q == "zero.x.test/1";
    EXPECT_EQ(zeroQueries, 2u);
}

TEST_F(DnsResolverTest, AuthoritativeLookupAsksTheZonesNameServerWhenTheRecursiveOneIsNot) {
    FakeDns zone;  // the zone's own name server, reached at its port
    zone.SetAuthoritative(true);
    zone.Add({"www.zone.test", 1, "127.0.0.71"});
    DnsSetNameServerPort(zone.Port());
    Primary().Add({"www.zone.test", 1, "127.0.0.70"});  // recursive, not authoritative
    Primary().Add({"zone.test", 2, "ns.zone.test"});
    Primary().Add({"ns.zone.test", 1, "127.0.0.1"});

    CVornHostAddress host;
    EXPECT_EQ(DnsLookupA(CVornString("www.zone.test"), true, host), kDnsFound);
    DnsSetNameServerPort(0);
    EXPECT_EQ(Show(host), "www.zone.test [127.0.0.71]");
    const std::vector<std::string> asked = Primary().Log();
    EXPECT_EQ(asked, (std::vector<std::string>{"www.zone.test/1", "www.zone.test/2", "zone.test/2",
                                               "ns.zone.test/1"}));
    EXPECT_EQ(zone.Log(), std::vector<std::string>{"www.zone.test/1"});

    // The authoritative answer was cached: the next authoritative lookup
    // asks nobody.
    CVornHostAddress again;
    EXPECT_EQ(DnsLookupA(CVornString("www.zone.test"), true, again), kDnsFound);
    EXPECT_EQ(Primary().Count(), asked.size());
    EXPECT_EQ(zone.Count(), 1u);
}

TEST_F(DnsResolverTest, AZonesServersAreTrustedOnlyForNamesInsideTheirZone) {
    // The zone's server sends mail for zone.test to a name of evil.test and
    // plants an address for that name; evil.test's own server knows better.
    FakeDns zone("127.0.0.1");
    FakeDns evil("127.0.0.2", zone.Port());
    ASSERT_TRUE(evil.Bound());
    DnsSetNameServerPort(zone.Port());
    zone.SetAuthoritative(true);
    evil.SetAuthoritative(true);
    zone.Add({"www.zone.test", 5, "mail.evil.test"});
    zone.Add({"mail.evil.test", 1, "192.0.2.66"});  // follows the CNAME in the answer
    zone.AddExtra(3, {"ns.evil.test", 1, "192.0.2.67"});
    evil.Add({"mail.evil.test", 1, "127.0.0.81"});
    Primary().Add({"zone.test", 2, "ns.zone.test"});
    Primary().Add({"ns.zone.test", 1, "127.0.0.1"});
    Primary().Add({"evil.test", 2, "ns.evil.test"});
    Primary().Add({"ns.evil.test", 1, "127.0.0.2"});
    Primary().Add({"mail.evil.test", 1, "127.0.0.80"});  // recursive, not authoritative

    CVornHostAddress host;
    EXPECT_EQ(DnsLookupA(CVornString("www.zone.test"), true, host), kDnsFound);
    DnsSetNameServerPort(0);
    EXPECT_EQ(Show(host), "www.zone.test [127.0.0.81]");
    CVornString canonical;
    ASSERT_TRUE(host.GetCanonicalName(canonical));
    EXPECT_STREQ(canonical.CStr(), "mail.evil.test");
    // The CNAME inside the zone was taken; the address outside it was asked
    // of its own zone's server.
    EXPECT_EQ(zone.Log(), std::vector<std::string>{"www.zone.test/1"});
    EXPECT_EQ(evil.Log(), std::vector<std::string>{"mail.evil.test/1"});
    CDnsRecordList list;
    bool authoritative = false;
    EXPECT_TRUE(
        DnsCacheFind(CVornString("www.zone.test"), kDnsTypeCNAME, true, list, &authoritative));
    ASSERT_TRUE(DnsCacheFind(CVornString("mail.evil.test"), kDnsTypeA, true, list, &authoritative));
    std::vector<CDnsRecord> found = Records(list);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(QuadText(found[0].m_Address.GetAddress()), "127.0.0.81");
    EXPECT_FALSE(DnsCacheFind(CVornString("ns.evil.test"), kDnsTypeA, true, list, nullptr));
}

TEST_F(DnsResolverTest, EachQueryLeavesFromARandomPortOfItsOwnWithALargeReceiveBuffer) {
    const unsigned short serverPort = DnsResolver().GetSocket().GetLocalPort();
    const int wanted = dnstest::FreshReceiveBuffer(kDnsReceiveBufferBytes);
    ASSERT_GT(wanted, dnstest::FreshReceiveBuffer(0));
    EXPECT_GE(dnstest::ReceiveBufferOfLocalPort(serverPort), wanted);

    // A query held in flight (long enough not to send again): its socket is
    // there to be looked at.
    DnsSetQueryTimes(30, 60);
    Primary().Add({"held.x.test", 1, "127.0.0.90"});
    Primary().Hold();
    std::atomic<int> result{-1};
    std::thread asker([&] {
        CVornHostAddress host;
        result = DnsLookupA(CVornString("held.x.test"), false, host);
    });
    const bool sent = Eventually([&] { return Primary().Count() == 1; });
    EXPECT_TRUE(sent);
    std::set<unsigned short> ports;
    if (sent) {
        const unsigned short heldPort = Primary().SourcePorts()[0];
        EXPECT_NE(heldPort, serverPort);
        EXPECT_GE(dnstest::ReceiveBufferOfLocalPort(heldPort), wanted);
        ports.insert(heldPort);
    }
    Primary().Release();
    asker.join();
    EXPECT_EQ(result.load(), kDnsFound);

    for (int i = 0; i < 5; ++i) {
        const std::string name = "p" + std::to_string(i) + ".x.test";
        Primary().Add({name, 1, "127.0.0.91"});
        CVornHostAddress host;
        EXPECT_EQ(DnsLookupA(CVornString(name.c_str()), false, host), kDnsFound) << name;
    }
    for (unsigned short port : Primary().SourcePorts()) {
        EXPECT_NE(port, serverPort);
        ports.insert(port);
    }
    // Six queries from ports the kernel drew out of thousands: two alike
    // would be a rare accident, all alike a fixed port.
    EXPECT_GE(ports.size(), 5u);
    // No socket of a finished query stays open.
    for (unsigned short port : ports)
        EXPECT_EQ(dnstest::ReceiveBufferOfLocalPort(port), -1) << port;
}

TEST_F(DnsResolverTest, CallersAskingTheSameQuestionAtOnceShareOneQuery) {
    DnsSetQueryTimes(30, 60);  // held replies must not make the query send again
    Primary().Add({"same.x.test", 1, "127.0.0.92"});
    Primary().Add({"other.x.test", 1, "127.0.0.93"});
    Primary().Hold();
    struct Ask {
        const char* name;
        int result;
        std::string shown;
    };
    std::vector<Ask> asks = {{"same.x.test", -1, ""},
                             {"SAME.x.test.", -1, ""},
                             {"same.x.test", -1, ""},
                             {"other.x.test", -1, ""}};
    std::vector<std::thread> threads;
    for (Ask& ask : asks) {
        threads.emplace_back([&ask] {
            CVornHostAddress host;
            ask.result = DnsLookupA(CVornString(ask.name), false, host);
            if (ask.result == kDnsFound)
                ask.shown = Show(host);
        });
    }
    // One question per name went out; the other two askers of the same name
    // wait for its answer.
    EXPECT_TRUE(Eventually([&] { return DnsSharedQueryWaiters() == 2 && Primary().Count() == 2; }));
    Primary().Release();
    for (std::thread& t : threads) t.join();
    for (const Ask& ask : asks) EXPECT_EQ(ask.result, kDnsFound) << ask.name;
    EXPECT_EQ(asks[0].shown, "same.x.test [127.0.0.92]");
    EXPECT_EQ(asks[1].shown, "SAME.x.test. [127.0.0.92]");
    EXPECT_EQ(asks[3].shown, "other.x.test [127.0.0.93]");
    // Whichever asker went first sent the name as it wrote it.
    std::vector<std::string> asked;
    for (const std::string& q : Primary().Log()) asked.push_back(dnstest::Lower(q));
    std::sort(asked.begin(), asked.end());
    EXPECT_EQ(asked, (std::vector<std::string>{"other.x.test/1", "same.x.test/1"}));
    EXPECT_EQ(DnsSharedQueryWaiters(), 0);

    // A query that fails (no reply within a 1-s wait and a 2-s deadline)
    // fails its sharers too, and nothing stays in flight.
    DnsSetQueryTimes(1, 2);
    Primary().Drop("gone.x.test");
    std::vector<int> results(2, -1);
    std::vector<std::thread> failing;
    for (int& r : results) {
        failing.emplace_back([&r] {
            CDnsRecordList list;
            r = DnsQuery(CVornString("gone.x.test"), kDnsTypeA, nullptr, list, nullptr) ? 1 : 0;
        });
    }
    EXPECT_TRUE(Eventually([] { return DnsSharedQueryWaiters() == 1; }));
    for (std::thread& t : failing) t.join();
    EXPECT_EQ(results, (std::vector<int>{0, 0}));
    EXPECT_EQ(DnsSharedQueryWaiters(), 0);
}

TEST_F(DnsResolverTest, JunkAroundAReplyIsReportedOnceAMinuteAndTheReplyStillCounts) {
    platform::SetTestTime(kBase);
    // Before the genuine reply, 50 rounds of junk at the query's port: other
    // ids, datagrams too short to parse, and forged replies from another port.
    Primary().SetJunk(50);
    Primary().Add({"j1.x.test", 1, "127.0.0.94"});
    Primary().Add({"j2.x.test", 1, "127.0.0.95"});
    CVornHostAddress host;
    ASSERT_EQ(DnsLookupA(CVornString("j1.x.test"), false, host), kDnsFound);
    EXPECT_EQ(Show(host), "j1.x.test [127.0.0.94]");  // never the forger's 192.0.2.66
    EXPECT_EQ(EventsOf(204).size(), 1u);
    EXPECT_EQ(EventsOf(206).size(), 1u);
    const std::string debug = DebugText();
    size_t unexpected = 0;
    for (size_t at = debug.find("M214"); at != std::string::npos; at = debug.find("M214", at + 1))
        ++unexpected;
    EXPECT_EQ(unexpected, 1u) << debug;

    // A minute later the next of each is reported with the count held back.
    platform::SetTestTime(kBase + 60);
    Primary().SetJunk(1);
    ASSERT_EQ(DnsLookupA(CVornString("j2.x.test"), false, host), kDnsFound);
    EXPECT_EQ(Show(host), "j2.x.test [127.0.0.95]");
    const std::vector<std::string> parse = EventsOf(206);
    ASSERT_EQ(parse.size(), 2u);
    EXPECT_NE(parse[1].find("(and 49 more since the last report)"), std::string::npos) << parse[1];
    EXPECT_NE(DebugText().find("(and 99 more since the last report)"), std::string::npos);
}

// ---- Host-address resolution

TEST_F(DnsResolverTest, HostAddressesResolveThroughTheResolver) {
    DnsInstallHostLookups();
    Primary().Add({"www.x.test", 1, "127.0.0.20"});
    Primary().Add({"20.0.0.127.in-addr.arpa", 12, "www.x.test"});

    CVornHostAddress named("www.x.test", 25);
    CVornString text;
    ASSERT_TRUE(named.GetAddressString(text));
    EXPECT_STREQ(text.CStr(), "127.0.0.20");
    named.SetName("192.168.1.1");  // unknown to the DNS, but a dotted quad
    ASSERT_TRUE(named.GetAddressString(text));
    EXPECT_STREQ(text.CStr(), "192.168.1.1");

    CVornHostAddress withPtr(Quad("127.0.0.20"), 0);
    ASSERT_TRUE(withPtr.GetName(text));
    EXPECT_STREQ(text.CStr(), "www.x.test");
    CVornHostAddress withoutPtr(Quad("127.0.0.99"), 0);
    ASSERT_TRUE(withoutPtr.GetName(text));
    EXPECT_STREQ(text.CStr(), "127.0.0.99");

    CVornHostAddress unknown("nowhere.x.test", 25);
    EXPECT_FALSE(unknown.GetAddressString(text));
}

}  // namespace
