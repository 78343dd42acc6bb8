// System information: name servers (with their ports) and search domains
// from a resolv.conf of the test's own, the local addresses ending with
// 127.0.0.1, and the full host name through the installed host lookups.
#include "core/system_info.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "core/debug_log.h"
#include "core/tests/support/scoped_env.h"
#include "core/tests/support/temp_dir.h"
#include "core/tests/support/vorn_helpers.h"
#include "core/vorn_buffer.h"
#include "platform/system_info.h"

namespace {

using testsupport::TakeSinkText;

uint32_t Address(const char* dotted) {
    return inet_addr(dotted);
}

std::vector<uint32_t> Addresses(CVornHostAddressList& list) {
    std::vector<uint32_t> out;
    CVornLockGuard hold(list.m_Lock);
    for (auto* node = list.m_Head; node; node = node->m_Next)
        out.push_back(node->m_Element.GetAddress());
    return out;
}

std::vector<std::string> Strings(CVornStringList& list) {
    std::vector<std::string> out;
    CVornLockGuard hold(list.m_Lock);
    for (auto* node = list.m_Head; node; node = node->m_Next)
        out.emplace_back(node->m_Element.CStr(), node->m_Element.Length());
    return out;
}

std::vector<unsigned short> Ports(CVornList<unsigned short>& list) {
    std::vector<unsigned short> out;
    CVornLockGuard hold(list.m_Lock);
    for (auto* node = list.m_Head; node; node = node->m_Next) out.push_back(node->m_Element);
    return out;
}

class SystemInfoTest : public ::testing::Test {
protected:
    void WriteResolvConf(const std::string& text) {
        std::ofstream(m_ResolvConf, std::ios::trunc) << text;
    }

    testsupport::TempDir m_Temp{"zelorm-sysinfo"};
    std::string m_Dir = m_Temp.Path();
    std::string m_ResolvConf = m_Dir + "/resolv.conf";
    testsupport::ScopedEnv m_ResolvConfEnv{"ZELORM_RESOLV_CONF", m_ResolvConf};
};

TEST_F(SystemInfoTest, FamilyIsThePerInterfaceOneAndStays) {
    EXPECT_EQ(kSysInfoFamilyInterfaces, SysInfoWinFlavor());
    EXPECT_EQ(kSysInfoFamilyInterfaces, SysInfoWinFlavor());
}

TEST_F(SystemInfoTest, NameServersKeepTheirPortsAndComeOnce) {
    WriteResolvConf(
        "# test resolver\n"
        "nameserver 10.0.0.1\n"
        "nameserver 10.0.0.2\n"
        "nameserver 10.0.0.1\n"
        "nameserver 127.0.0.1:5353\n"
        "nameserver 127.0.0.1\n"
        "nameserver 127.0.0.1:5353\n"
        "nameserver not-an-address\n"
        "nameserver 10.0.0.300\n"
        "nameserver ::1\n"
        "search example.test corp.example.test example.test\n");
    CVornStringList domains;
    CVornHostAddressList servers;
    CVornList<unsigned short> ports;
    domains.AddTail(CVornString("stale"));
    ports.AddTail(1);

    ASSERT_TRUE(SysInfoGetDnsInfo(domains, servers, &ports));
    EXPECT_EQ((std::vector<uint32_t>{Address("10.0.0.1"), Address("10.0.0.2"), Address("127.0.0.1"),
                                     Address("127.0.0.1")}),
              Addresses(servers));
    EXPECT_EQ((std::vector<unsigned short>{53, 53, 5353, 53}), Ports(ports));
    EXPECT_EQ((std::vector<std::string>{"example.test", "corp.example.test"}), Strings(domains));

    // Without a port list the same servers come.
    ASSERT_TRUE(SysInfoGetDnsInfo(domains, servers));
    EXPECT_EQ(4u, Addresses(servers).size());
}

TEST_F(SystemInfoTest, NoNameServerIsFalseWithADebugLine) {
    CVornLogSink sink(kLogDebug);
    CVornStringList domains;
    CVornHostAddressList servers;
    CVornList<unsigned short> ports;
    AppendAddressEntry(servers, CVornHostAddressEntry(Address("192.0.2.1")));
    ports.AddTail(53);

    WriteResolvConf("search only.example.test\nnameserver bogus\n");
    EXPECT_FALSE(SysInfoGetDnsInfo(domains, servers, &ports));
    EXPECT_TRUE(Addresses(servers).empty());
    EXPECT_TRUE(Ports(ports).empty());
    EXPECT_EQ((std::vector<std::string>{"only.example.test"}), Strings(domains));
    std::string log = TakeSinkText(sink);
    EXPECT_NE(std::string::npos, log.find("sysinfo getdnsinfo no nameservers")) << log;
    EXPECT_EQ(std::string::npos, log.find("no domains")) << log;

    // A missing file reads as an empty one.
    std::filesystem::remove(m_ResolvConf);
    EXPECT_FALSE(SysInfoGetDnsInfo(domains, servers, &ports));
    EXPECT_TRUE(Addresses(servers).empty());
    EXPECT_NE(std::string::npos, TakeSinkText(sink).find("sysinfo getdnsinfo no nameservers"));
}

TEST_F(SystemInfoTest, LocalAddressesEndWithLoopbackExactlyOnce) {
    CVornHostAddressList out;
    AppendAddressEntry(out, CVornHostAddressEntry(Address("192.0.2.9")));
    ASSERT_TRUE(SysInfoGetLocalAddresses(out));
    std::vector<uint32_t> addresses = Addresses(out);
    ASSERT_FALSE(addresses.empty());
    EXPECT_EQ(Address("127.0.0.1"), addresses.back());
    EXPECT_EQ(1, std::count(addresses.begin(), addresses.end(), Address("127.0.0.1")));
    EXPECT_EQ(std::set<uint32_t>(addresses.begin(), addresses.end()).size(), addresses.size());
    EXPECT_EQ(0, std::count(addresses.begin(), addresses.end(), Address("192.0.2.9")));
    // Every address the machine reports is there.
    for (uint32_t address : platform::LocalIPv4Addresses())
        EXPECT_EQ(1, std::count(addresses.begin(), addresses.end(), address));
}

// The host lookups of the test: the host name resolves to one address,
// whose reverse lookup is the canonical name.
bool LookupHost(const CVornString& name, CVornHostAddressList& out) {
    CVornString copy(name);
    if (platform::HostName() != copy.CStr())
        return false;
    AppendAddressEntry(out, CVornHostAddressEntry(Address("192.0.2.7")));
    return true;
}

bool LookupReverse(const CVornHostAddressEntry& entry, CVornString& out) {
    if (entry.GetAddress() != Address("192.0.2.7"))
        return false;
    out.Assign("mail.example.test");
    return true;
}

TEST_F(SystemInfoTest, FullHostNameIsTheCanonicalNameOrTheBareName) {
    std::string host = platform::HostName();
    ASSERT_FALSE(host.empty());

    CVornString fqdn("unchanged");
    SysInfoGetFqdn(fqdn);
    EXPECT_STREQ(host.c_str(), fqdn.CStr());

    SetHostLookup(LookupHost);
    SetReverseLookup(LookupReverse);
    SysInfoGetFqdn(fqdn);
    SetHostLookup(nullptr);
    SetReverseLookup(nullptr);
    EXPECT_STREQ("mail.example.test", fqdn.CStr());
}

}  // namespace
