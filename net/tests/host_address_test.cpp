#include "net/host_address.h"

#include <gtest/gtest.h>

#include <string.h>

#include <map>
#include <string>
#include <vector>

namespace {

uint32_t Addr(unsigned a, unsigned b, unsigned c, unsigned d) {
    unsigned char bytes[4] = {static_cast<unsigned char>(a), static_cast<unsigned char>(b),
                              static_cast<unsigned char>(c), static_cast<unsigned char>(d)};
    uint32_t address;
    memcpy(&address, bytes, 4);
    return address;
}

std::string Str(CVornString& s) {
    return s.CStr();
}

// ---- IPv4 text helpers

TEST(DottedQuad, ParsesOneToFourDecimalParts) {
    struct Case {
        const char* text;
        uint32_t address;
    } good[] = {
        {"10.1.2.3", Addr(10, 1, 2, 3)},
        {"0.0.0.0", 0},
        {"255.255.255.255", Addr(255, 255, 255, 255)},
        {"010.001.0.7", Addr(10, 1, 0, 7)},  // leading zeros are decimal
        {"10.1.5", Addr(10, 1, 0, 5)},       // short forms: the last part last
        {"10.5", Addr(10, 0, 0, 5)},
        {"7", Addr(0, 0, 0, 7)},
    };
    for (const Case& c : good) {
        int out = 0;
        EXPECT_TRUE(ParseDottedQuad(CVornString(c.text), &out)) << c.text;
        EXPECT_EQ(static_cast<uint32_t>(out), c.address) << c.text;
    }
}

TEST(DottedQuad, RefusesAnythingElseWithoutWritingTheOutput) {
    const std::string bad[] = {
        "",
        "10..1.2",
        "1.2.3.4.5",
        "256.1.1.1",
        "1.2.3.256",
        ".1.2.3",
        "1.2.3.4.",
        " 1.2.3.4",
        "1.2.3.4 ",
        "1. 2.3.4",
        "+1.2.3.4",
        "-1.2.3.4",
        "1.2.3.4x",
        "0x1.2.3.4",
        "mail.example",
        "1.2.3.4/8",
        "1,2,3,4",
        "1.2.3.-4",
        "4294967297.0.0.1",
        "99999999999999999999.1.1.1",
        std::string("1.2.3.4\0", 8),
    };
    for (const std::string& text : bad) {
        int out = 12345;
        EXPECT_FALSE(ParseDottedQuad(CVornString(text.data(), static_cast<int>(text.size())), &out))
            << '"' << text << '"';
        EXPECT_EQ(out, 12345) << '"' << text << '"';
    }
}

TEST(DottedQuad, FormatsNetworkOrderBytes) {
    CVornString out("old");
    FormatDottedQuad(static_cast<int>(Addr(127, 0, 0, 1)), out);
    EXPECT_EQ(Str(out), "127.0.0.1");
    FormatDottedQuad(static_cast<int>(Addr(255, 10, 0, 199)), out);
    EXPECT_EQ(Str(out), "255.10.0.199");
    FormatDottedQuad(0, out);
    EXPECT_EQ(Str(out), "0.0.0.0");
}

TEST(DottedQuad, CompareOrdersAddressesByValueAndNamesAsText) {
    struct Case {
        const char* a;
        const char* b;
        int result;
    } cases[] = {
        {"9.0.0.1", "10.0.0.1", -1},
        {"10.0.0.1", "9.0.0.1", 1},
        {"10.0.0.2", "10.0.0.10", -1},
        {"128.0.0.1", "127.255.255.255", 1},
        {"255.0.0.0", "1.0.0.0", 1},
        {"10.0.0.1", "010.0.0.1", 0},
        {"Mail.Example", "mail.example", 0},
        {"abc", "10.0.0.1", 1},    // a name against an address: as text
        {"10.5", "9.0.0.1", 1},    // a short form is an address: 10.0.0.5
        {"10..5", "9.0.0.1", -1},  // not an address: "1" sorts before "9"
    };
    for (const Case& c : cases)
        EXPECT_EQ(CompareAddressStrings(CVornString(c.a), CVornString(c.b)), c.result)
            << c.a << " vs " << c.b;
}

// ---- Host addresses, with lookups of the test's own

std::map<std::string, std::vector<uint32_t>> g_Names;
std::map<uint32_t, std::string> g_Pointers;
int g_Lookups = 0;

bool TestLookup(const CVornString& name, CVornHostAddressList& out) {
    ++g_Lookups;
    auto it = g_Names.find(CVornString(name).CStr());
    if (it == g_Names.end())
        return false;
    for (uint32_t a : it->second) AppendAddressEntry(out, CVornHostAddressEntry(a));
    return true;
}

bool TestReverse(const CVornHostAddressEntry& entry, CVornString& out) {
    ++g_Lookups;
    auto it = g_Pointers.find(entry.GetAddress());
    if (it == g_Pointers.end())
        return false;
    out.Assign(it->second.c_str());
    return true;
}

class HostAddressTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_Names.clear();
        g_Pointers.clear();
        g_Lookups = 0;
        SetHostLookup(TestLookup);
        SetReverseLookup(TestReverse);
    }
    void TearDown() override {
        SetHostLookup(nullptr);
        SetReverseLookup(nullptr);
    }

    static std::vector<std::string> Strings(CVornHostAddress& host) {
        CVornStringList list;
        std::vector<std::string> v;
        if (!host.GetAddressStrings(list))
            return v;
        for (auto* node = list.m_Head; node; node = node->m_Next) v.push_back(Str(node->m_Element));
        return v;
    }
};

TEST_F(HostAddressTest, FormatNamesTheHostForLogs) {
    CVornHostAddress named("mx.example.com", 25);
    named.AddAddress(CVornHostAddressEntry(Addr(10, 1, 2, 3)));
    EXPECT_STREQ(named.Format(0), "mx.example.com [10.1.2.3].25");
    named.SetPort(0);
    EXPECT_STREQ(named.Format(1), "mx.example.com [BadAddrNum]");
    EXPECT_STREQ(named.Format(0xffffffffu), "mx.example.com [BadAddrNum]");
    named.SetCanonicalName("Real.Example.COM");
    EXPECT_STREQ(named.Format(0), "Real.Example.COM [10.1.2.3]");

    EXPECT_STREQ(CVornHostAddress(nullptr, 25).Format(0), "[0.0.0.0].25");
    EXPECT_STREQ(CVornHostAddress(Addr(192, 168, 1, 1), 0).Format(0), "[192.168.1.1]");
    // No addresses: the bare name, not even the port.
    EXPECT_STREQ(CVornHostAddress("unresolved.example", 25).Format(0), "unresolved.example");
    EXPECT_EQ(g_Lookups, 0);
}

TEST_F(HostAddressTest, DefaultStandsForAnyLocalAddressWithoutPort) {
    CVornHostAddress host;
    EXPECT_EQ(host.GetAddressCount(), 1);
    EXPECT_STREQ(host.Format(0), "[0.0.0.0]");
    unsigned short port = 7;
    EXPECT_FALSE(host.GetPort(&port));
    EXPECT_EQ(port, 7);
    CVornString text("unchanged");
    EXPECT_FALSE(host.GetPortString(text));
    EXPECT_EQ(Str(text), "unchanged");
}

TEST_F(HostAddressTest, PortFromText) {
    struct Case {
        const char* text;
        unsigned short port;
    } cases[] = {{"25", 25}, {" 8080x", 8080}, {"65561", 25}, {"none", 0}};
    for (const Case& c : cases) {
        CVornHostAddress host("h", 1);
        host.SetPort(CVornString(c.text));
        EXPECT_EQ(host.GetPort(), c.port) << c.text;
    }
    CVornHostAddress host("h", 587);
    CVornString text;
    EXPECT_TRUE(host.GetPortString(text));
    EXPECT_EQ(Str(text), "587");
}

TEST_F(HostAddressTest, NamedHostResolvesLazilyInLookupOrder) {
    g_Names["mx.example.com"] = {Addr(10, 0, 0, 2), Addr(10, 0, 0, 1)};
    CVornHostAddress host("mx.example.com", 25);
    EXPECT_EQ(host.GetAddressCount(), 0);
    EXPECT_EQ(g_Lookups, 0);
    EXPECT_EQ(Strings(host), (std::vector<std::string>{"10.0.0.2", "10.0.0.1"}));
    EXPECT_EQ(g_Lookups, 1);
    // The canonical name is not taken from the address lookup.
    EXPECT_STREQ(host.Format(1), "mx.example.com [10.0.0.1].25");

    CVornHostAddressList entries;
    entries.AddTail(CVornHostAddressEntry(Addr(1, 1, 1, 1)));
    ASSERT_TRUE(host.GetAddresses(entries));
    ASSERT_EQ(entries.m_Count, 2);
    EXPECT_EQ(entries.GetAt(0)->GetAddress(), Addr(10, 0, 0, 2));
    EXPECT_EQ(g_Lookups, 1);  // found addresses are kept
}

TEST_F(HostAddressTest, UnknownNameResolvesOnlyWhenItIsADottedQuad) {
    CVornHostAddress quad("192.168.1.1", 0);
    CVornString out;
    EXPECT_TRUE(quad.GetAddressString(out));
    EXPECT_EQ(Str(out), "192.168.1.1");
    EXPECT_EQ(g_Lookups, 1);

    // Names and malformed quads are not addresses: nothing enters the list.
    for (const char* name : {"nowhere.example", "10..5", "256.1.1.1", "1.2.3.4.5"}) {
        CVornHostAddress host(name, 25);
        out.Assign("unchanged");
        EXPECT_FALSE(host.GetAddressString(out)) << name;
        EXPECT_EQ(Str(out), "unchanged");
        EXPECT_EQ(host.GetAddressCount(), 0) << name;
        EXPECT_TRUE(Strings(host).empty()) << name;
    }

    // Without any lookup installed the dotted quad still stands for itself.
    SetHostLookup(nullptr);
    CVornHostAddress bare("10.9.8.7", 0);
    EXPECT_EQ(Strings(bare), (std::vector<std::string>{"10.9.8.7"}));
}

TEST_F(HostAddressTest, ResolveKeepsTheAddressOfAHostWithoutName) {
    CVornHostAddress host(Addr(10, 1, 1, 1), 25);
    EXPECT_TRUE(host.Resolve());
    EXPECT_EQ(Strings(host), (std::vector<std::string>{"10.1.1.1"}));
    EXPECT_EQ(g_Lookups, 0);
}

TEST_F(HostAddressTest, SetNameResetsEverythingButThePort) {
    g_Names["old.example"] = {Addr(10, 0, 0, 1)};
    g_Names["new.example"] = {Addr(10, 0, 0, 9)};
    CVornHostAddress host("old.example", 25);
    host.SetCanonicalName("canon.example");
    ASSERT_EQ(Strings(host), (std::vector<std::string>{"10.0.0.1"}));
    host.Format(0);

    host.SetName("new.example");
    EXPECT_EQ(host.GetAddressCount(), 0);
    EXPECT_EQ(host.GetPort(), 25);
    EXPECT_STREQ(host.Format(0), "new.example");  // no canonical name left
    EXPECT_EQ(Strings(host), (std::vector<std::string>{"10.0.0.9"}));

    host.SetAddress(CVornHostAddressEntry(Addr(10, 0, 0, 5)));
    EXPECT_STREQ(host.Format(0), "[10.0.0.5].25");
}

TEST_F(HostAddressTest, GetNameUsesThePointerRecordOrTheDottedQuad) {
    CVornHostAddress plain(Addr(10, 1, 2, 3), 25);
    CVornString name;
    ASSERT_TRUE(plain.GetName(name));
    EXPECT_EQ(Str(name), "10.1.2.3");
    EXPECT_STREQ(plain.Format(0), "10.1.2.3 [10.1.2.3].25");
    CVornString canonical("unchanged");
    EXPECT_FALSE(plain.GetCanonicalName(canonical));
    EXPECT_EQ(Str(canonical), "unchanged");

    // The first address that has a pointer record names the host.
    g_Pointers[Addr(10, 0, 0, 2)] = "second.example";
    g_Pointers[Addr(10, 0, 0, 3)] = "third.example";
    CVornHostAddress multi(Addr(10, 0, 0, 1), 0);
    multi.AddAddress(CVornHostAddressEntry(Addr(10, 0, 0, 2)));
    multi.AddAddress(CVornHostAddressEntry(Addr(10, 0, 0, 3)));
    ASSERT_TRUE(multi.GetName(name));
    EXPECT_EQ(Str(name), "second.example");
    ASSERT_TRUE(multi.GetCanonicalName(canonical));
    EXPECT_EQ(Str(canonical), "second.example");

    CVornHostAddress nothing("", 0);
    EXPECT_FALSE(nothing.GetName(name));
}

TEST_F(HostAddressTest, CanonicalNameOfANamedHostResolvesFirst) {
    g_Names["alias.example"] = {Addr(10, 0, 0, 7)};
    g_Pointers[Addr(10, 0, 0, 7)] = "real.example";
    CVornHostAddress host("alias.example", 25);
    CVornString canonical;
    ASSERT_TRUE(host.GetCanonicalName(canonical));
    EXPECT_EQ(Str(canonical), "real.example");
    EXPECT_STREQ(host.Format(0), "real.example [10.0.0.7].25");
    CVornString name;
    ASSERT_TRUE(host.GetName(name));
    EXPECT_EQ(Str(name), "alias.example");
}

TEST_F(HostAddressTest, CopiesAreIndependentValues) {
    CVornHostAddress original("mx.example", 25);
    original.SetCanonicalName("canon.example");
    original.AddAddress(CVornHostAddressEntry(Addr(10, 0, 0, 1)));
    original.AddAddress(CVornHostAddressEntry(Addr(10, 0, 0, 2)));

    CVornHostAddress copy(original);
    CVornHostAddress assigned(Addr(1, 2, 3, 4), 80);
    assigned = original;
    for (CVornHostAddress* h : {&copy, &assigned}) {
        EXPECT_STREQ(h->Format(1), "canon.example [10.0.0.2].25");
        h->SetName("other.example");
    }
    EXPECT_STREQ(original.Format(1), "canon.example [10.0.0.2].25");
    assigned = assigned;
    EXPECT_STREQ(assigned.Format(0), "other.example");
}

TEST_F(HostAddressTest, SameHostByAddressNameOrAlias) {
    // A dotted-quad name meets the address it stands for, without a lookup,
    // and keeps the address.
    CVornHostAddress named("192.168.1.1", 25);
    CVornHostAddress numeric(Addr(192, 168, 1, 1), 25);
    EXPECT_TRUE(named.SameHost(numeric, true, nullptr));
    EXPECT_EQ(named.GetAddressCount(), 1);
    EXPECT_EQ(g_Lookups, 0);

    CVornHostAddress a(Addr(10, 0, 0, 1), 25), b(Addr(10, 0, 0, 2), 25);
    a.AddAddress(CVornHostAddressEntry(Addr(10, 0, 0, 3)));
    b.AddAddress(CVornHostAddressEntry(Addr(10, 0, 0, 3)));
    EXPECT_TRUE(a.SameHost(b, true, nullptr));
    CVornHostAddress bOtherPort(b);
    bOtherPort.SetPort(587);
    EXPECT_FALSE(a.SameHost(bOtherPort, true, nullptr));
    EXPECT_TRUE(a.SameHost(bOtherPort, false, nullptr));
    EXPECT_TRUE(a.SameHost(a, true, nullptr));

    CVornHostAddress upper("MAIL.Example.COM", 25), lower("mail.example.com", 25);
    EXPECT_TRUE(upper.SameHost(lower, true, nullptr));
    CVornHostAddress canon("x.example", 25);
    canon.SetCanonicalName("Mail.Example.com");
    EXPECT_TRUE(canon.SameHost(lower, true, nullptr));
    EXPECT_TRUE(lower.SameHost(canon, true, nullptr));

    CVornHostAddress one(Addr(10, 0, 0, 1), 25), two(Addr(10, 0, 0, 2), 25);
    EXPECT_FALSE(one.SameHost(two, true, nullptr));
    CVornStringList aliases;
    aliases.AddTail(CVornString(""));  // an empty alias matches no empty name
    EXPECT_FALSE(one.SameHost(two, true, &aliases));
    CVornHostAddress relay("Relay.Example", 25);
    aliases.AddTail(CVornString("relay.example"));
    EXPECT_TRUE(one.SameHost(relay, true, &aliases));
    EXPECT_EQ(g_Lookups, 0);
}

}  // namespace
