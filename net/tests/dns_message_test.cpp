// DNS messages: the query bytes, replies parsed into what concerns their
// question, and malformed replies refused without reading outside them.
#include "net/dns_message.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/debug_log.h"
#include "core/tests/support/vorn_helpers.h"
#include "core/vorn_buffer.h"
#include "platform/clock.h"

namespace {

using testsupport::TakeSinkText;

// ---- A small builder of wire bytes

std::string U16(unsigned v) {
    return std::string{static_cast<char>(v >> 8), static_cast<char>(v & 0xFF)};
}
std::string U32(uint32_t v) {
    return U16(v >> 16) + U16(v & 0xFFFF);
}
// A name in labels, ending with the root.
std::string Name(const std::string& dotted) {
    std::string out;
    size_t start = 0;
    while (start < dotted.size()) {
        size_t dot = dotted.find('.', start);
        if (dot == std::string::npos)
            dot = dotted.size();
        out += static_cast<char>(dot - start);
        out += dotted.substr(start, dot - start);
        start = dot + 1;
    }
    return out + std::string(1, '\0');
}
std::string Ptr(unsigned offset) {
    return U16(0xC000 | offset);
}
std::string Header(unsigned flags, unsigned qd, unsigned an, unsigned ns, unsigned ar) {
    return U16(0xBEEF) + U16(flags) + U16(qd) + U16(an) + U16(ns) + U16(ar);
}
std::string Question(const std::string& owner, unsigned type, unsigned cls = 1) {
    return owner + U16(type) + U16(cls);
}
std::string Record(const std::string& owner, unsigned type, const std::string& data,
                   uint32_t ttl = 300, unsigned cls = 1) {
    return owner + U16(type) + U16(cls) + U32(ttl) + U16(static_cast<unsigned>(data.size())) + data;
}
std::string Addr(int a, int b, int c, int d) {
    return std::string{static_cast<char>(a), static_cast<char>(b), static_cast<char>(c),
                       static_cast<char>(d)};
}

constexpr unsigned kReply = 0x8180;       // QR, RD, RA
constexpr unsigned kAuthReply = 0x8580;   // and AA
const std::string kQuestionAt = Ptr(12);  // the first question's name

CVornString Packet(const std::string& bytes) {
    return CVornString(bytes.data(), static_cast<int>(bytes.size()));
}

std::string TypeName(int type) {
    switch (type) {
        case kDnsTypeA:
            return "A";
        case kDnsTypeNS:
            return "NS";
        case kDnsTypeCNAME:
            return "CNAME";
        case kDnsTypePTR:
            return "PTR";
        case kDnsTypeMX:
            return "MX";
        default:
            return "type" + std::to_string(type);
    }
}

// "TYPE owner data", with " ?" for a question or negative entry (which has
// no data) and " aa" for an authoritative record.
std::string Show(const CDnsRecord& r) {
    CVornString name(r.m_Name);
    CVornString target(r.m_Target);
    std::string out = TypeName(r.m_Type) + " " + name.CStr();
    if (r.m_Negative) {
        out += " ?";
    } else if (r.m_Type == kDnsTypeA) {
        CVornString quad;
        FormatDottedQuad(static_cast<int>(r.m_Address.GetAddress()), quad);
        out += std::string(" ") + quad.CStr();
    } else if (r.m_Type == kDnsTypeMX) {
        out += " " + std::to_string(r.m_Preference) + " " + target.CStr();
    } else {
        out += std::string(" ") + target.CStr();
    }
    if (r.m_Authoritative)
        out += " aa";
    return out;
}

std::vector<std::string> ShowAll(CDnsRecordPtrList& list) {
    std::vector<std::string> out;
    CVornLockGuard guard(list.m_Lock);
    for (auto* node = list.m_Head; node; node = node->m_Next) out.push_back(Show(*node->m_Element));
    return out;
}

CVornHostAddress Server() {
    int loopback = 0;
    ParseDottedQuad(CVornString("127.0.0.1"), &loopback);
    return CVornHostAddress(static_cast<uint32_t>(loopback), 53);
}

struct Sections {
    bool ok = false;
    int id = -1;
    int rcode = -1;
    bool aa = false;
    CDnsRecordPtrList questions, answers, authority, additional;
};

void Parse(const std::string& bytes, Sections& s) {
    s.ok = DnsParseReply(Packet(bytes), Server(), &s.id, &s.rcode, &s.aa, s.questions, s.answers,
                         s.authority, s.additional);
}

// ---- Queries

TEST(DnsQueryMessage, EncodesTheQuestionAsLabels) {
    const std::string header = U16(0x00AB) + U16(0x0100) + U16(1) + U16(0) + U16(0) + U16(0);
    const std::string mx = U16(15) + U16(1);
    const std::string label70(70, 'x');
    struct Case {
        const char* name;
        std::string labels;
    };
    const Case cases[] = {
        {"a.bb.ccc",
         "\x01"
         "a"
         "\x02"
         "bb"
         "\x03"
         "ccc"},
        {"a.bb.ccc.",
         "\x01"
         "a"
         "\x02"
         "bb"
         "\x03"
         "ccc"},
        {"a.bb.ccc...",
         "\x01"
         "a"
         "\x02"
         "bb"
         "\x03"
         "ccc"},
        {"a.b..c",
         "\x01"
         "a"
         "\x01"
         "b"
         "\x01"
         "c"},
        {"", ""},
    };
    for (const Case& c : cases) {
        CVornString packet;
        DnsBuildQuery(0xAB, CVornString(c.name), kDnsTypeMX, packet);
        std::string expected = header + c.labels + std::string(1, '\0') + mx;
        EXPECT_EQ(std::string(packet.CStr(), static_cast<size_t>(packet.Length())), expected)
            << c.name;
    }

    CVornString packet;
    DnsBuildQuery(0xAB, CVornString("a.bb.ccc"), kDnsTypeMX, packet);
    EXPECT_EQ(packet.Length(), 26);

    // A label of 70 bytes goes out as its last 63.
    DnsBuildQuery(0xAB, CVornString(("a." + label70).c_str()), kDnsTypeMX, packet);
    std::string expected = header +
                           "\x01"
                           "a"
                           "\x3f" +
                           std::string(63, 'x') + std::string(1, '\0') + mx;
    EXPECT_EQ(std::string(packet.CStr(), static_cast<size_t>(packet.Length())), expected);
}

// ---- Replies

struct ReplyCase {
    const char* what;
    std::string packet;
    int rcode;
    bool aa;
    std::vector<std::string> questions, answers, authority, additional;
};

TEST(DnsParseReply, KeepsWhatConcernsTheQuestion) {
    const std::string mx1 = "\x03mx1" + kQuestionAt;
    const std::string ns1 = "\x03ns1" + kQuestionAt;
    const ReplyCase cases[] = {
        {"authoritative A answer, owner compressed",
         Header(kAuthReply, 1, 1, 0, 0) + Question(Name("www.example.com"), kDnsTypeA) +
             Record(kQuestionAt, kDnsTypeA, Addr(192, 0, 2, 1)),
         0,
         true,
         {"A www.example.com ?"},
         {"A www.example.com 192.0.2.1 aa"},
         {},
         {}},
        {"MX with compressed names and in-zone glue only",
         Header(kReply, 1, 2, 1, 3) + Question(Name("example.com"), kDnsTypeMX) +
             Record(kQuestionAt, kDnsTypeMX, U16(10) + mx1) +
             Record(kQuestionAt, kDnsTypeMX, U16(20) + Name("mx.other.net")) +
             Record(kQuestionAt, kDnsTypeNS, ns1) + Record(mx1, kDnsTypeA, Addr(192, 0, 2, 10)) +
             Record(Name("mx.other.net"), kDnsTypeA, Addr(6, 6, 6, 6)) +
             Record(ns1, kDnsTypeA, Addr(192, 0, 2, 53)),
         0,
         false,
         {"MX example.com ?"},
         {"MX example.com 10 mx1.example.com", "MX example.com 20 mx.other.net"},
         {"NS example.com ns1.example.com"},
         {"A mx1.example.com 192.0.2.10", "A ns1.example.com 192.0.2.53"}},
        {"CNAME chain kept, strangers dropped",
         Header(kReply, 1, 4, 2, 2) + Question(Name("alias.example.com"), kDnsTypeA) +
             Record(kQuestionAt, kDnsTypeCNAME, Name("real.example.net")) +
             Record(Name("real.example.net"), kDnsTypeA, Addr(192, 0, 2, 7)) +
             Record(Name("www.bank.test"), kDnsTypeA, Addr(6, 6, 6, 6)) +
             Record(Name("other.example.com"), kDnsTypeCNAME, Name("www.bank.test")) +
             Record(Name("bank.test"), kDnsTypeNS, Name("ns.evil.test")) +
             Record(Name("example.net"), kDnsTypeNS, Name("ns.example.net")) +
             Record(Name("ns.example.net"), kDnsTypeA, Addr(192, 0, 2, 53)) +
             Record(Name("www.bank.test"), kDnsTypeA, Addr(6, 6, 6, 6)),
         0,
         false,
         {"A alias.example.com ?"},
         {"CNAME alias.example.com real.example.net", "A real.example.net 192.0.2.7"},
         {"NS example.net ns.example.net"},
         {"A ns.example.net 192.0.2.53"}},
        {"PTR",
         Header(kReply, 1, 1, 0, 0) + Question(Name("3.2.1.10.in-addr.arpa"), kDnsTypePTR) +
             Record(kQuestionAt, kDnsTypePTR, Name("host.example")),
         0,
         false,
         {"PTR 3.2.1.10.in-addr.arpa ?"},
         {"PTR 3.2.1.10.in-addr.arpa host.example"},
         {},
         {}},
        {"NXDOMAIN: rcode 3, the SOA of the authority skipped",
         Header(kAuthReply | 3, 1, 0, 1, 0) + Question(Name("nothere.example"), kDnsTypeA) +
             Record(Name("example"), 6,
                    Name("ns.example") + Name("admin.example") + std::string(20, '\0')),
         3,
         true,
         {"A nothere.example ?"},
         {},
         {},
         {}},
        {"other types and classes skipped, the rest read in step",
         Header(kReply | 0x0200, 1, 3, 0, 0) + Question(Name("h.example"), kDnsTypeA) +
             Record(kQuestionAt, 16, "\x05hello") +
             Record(kQuestionAt, kDnsTypeA, Addr(1, 2, 3, 4), 300, 3) +
             Record(kQuestionAt, kDnsTypeA, Addr(192, 0, 2, 9)),
         0,
         false,
         {"A h.example ?"},
         {"A h.example 192.0.2.9"},
         {},
         {}},
        {"a question of another class: nothing answers it",
         Header(kReply, 1, 1, 0, 0) + Question(Name("h.example"), kDnsTypeA, 3) +
             Record(kQuestionAt, kDnsTypeA, Addr(192, 0, 2, 9)),
         0,
         false,
         {},
         {},
         {},
         {}},
    };
    for (const ReplyCase& c : cases) {
        SCOPED_TRACE(c.what);
        Sections s;
        Parse(c.packet, s);
        ASSERT_TRUE(s.ok);
        EXPECT_EQ(s.id, 0xBEEF);
        EXPECT_EQ(s.rcode, c.rcode);
        EXPECT_EQ(s.aa, c.aa);
        EXPECT_EQ(ShowAll(s.questions), c.questions);
        EXPECT_EQ(ShowAll(s.answers), c.answers);
        EXPECT_EQ(ShowAll(s.authority), c.authority);
        EXPECT_EQ(ShowAll(s.additional), c.additional);
    }
}

TEST(DnsParseReply, ChainLongerThanTheLimitIsCut) {
    // q -> c1 -> c2 -> ... -> c6, then an A for c6: only five steps count.
    std::string body = Question(Name("q.example"), kDnsTypeA);
    std::string from = "q.example";
    for (int i = 1; i <= 6; ++i) {
        std::string to = "c" + std::to_string(i) + ".example";
        body += Record(Name(from), kDnsTypeCNAME, Name(to));
        from = to;
    }
    body += Record(Name(from), kDnsTypeA, Addr(6, 6, 6, 6));
    Sections s;
    Parse(Header(kReply, 1, 7, 0, 0) + body, s);
    ASSERT_TRUE(s.ok);
    std::vector<std::string> shown = ShowAll(s.answers);
    ASSERT_EQ(shown.size(), 6u);  // the CNAMEs owned by q and c1..c5
    EXPECT_EQ(shown.back(), "CNAME c5.example c6.example");
}

TEST(DnsRecord, ExpiryIsCappedAt180AndNonPositiveTtlsHaveNone) {
    platform::SetTestTime(1000000);
    struct Case {
        int ttl;
        time_t expiry;
    };
    const Case cases[] = {{0, 0},         {-1, 0},        {1, 1000001},
                          {180, 1000180}, {181, 1000180}, {86400, 1000180}};
    for (const Case& c : cases) {
        CDnsRecord r(CVornString("h"), c.ttl, kDnsTypeA, false);
        EXPECT_EQ(r.m_Expiry, c.expiry) << c.ttl;
    }
    // A TTL with its top bit set, as it comes off the wire.
    Sections s;
    Parse(Header(kReply, 1, 1, 0, 0) + Question(Name("h"), kDnsTypeA) +
              Record(kQuestionAt, kDnsTypeA, Addr(1, 2, 3, 4), 0x80000000u),
          s);
    ASSERT_TRUE(s.ok);
    ASSERT_EQ(s.answers.m_Count, 1);
    EXPECT_EQ(s.answers.m_Head->m_Element->m_Expiry, 0);
    platform::ClearTestTime();
}

TEST(DnsRecord, EqualsComparesTheDataOfTheType) {
    const CVornString name("Host.Example");
    const CDnsRecord a1(name, 60, CVornHostAddressEntry(1), false);
    const CDnsRecord a1Lower(CVornString("host.example"), 10, CVornHostAddressEntry(1), true);
    const CDnsRecord a2(name, 60, CVornHostAddressEntry(2), false);
    const CDnsRecord mx10(name, 60, kDnsTypeMX, CVornString("MX.example"), false, 10);
    const CDnsRecord mx20(name, 60, kDnsTypeMX, CVornString("mx.EXAMPLE"), false, 20);
    const CDnsRecord ns(name, 60, kDnsTypeNS, CVornString("mx.example"), false, 0);
    EXPECT_TRUE(a1.Equals(a1Lower));
    EXPECT_FALSE(a1.Equals(a2));
    EXPECT_TRUE(mx10.Equals(mx20));  // the preference is not compared
    EXPECT_FALSE(mx10.Equals(ns));
    EXPECT_FALSE(CDnsRecord().Equals(CDnsRecord()));

    // Preferences compare as signed 16-bit numbers: 65535 is -1.
    const CDnsRecord high(name, 60, kDnsTypeMX, CVornString("a"), false, 65535);
    EXPECT_EQ(CompareMXPreference(&high, &mx10), -1);
    EXPECT_EQ(CompareMXPreference(&mx20, &mx10), 1);
    EXPECT_EQ(CompareMXPreference(&mx10, &mx10), 0);
}

// ---- Malformed replies

TEST(DnsParseReply, ShortOrNonReplyDatagramsAreReportedAndRefused) {
    DnsReportLimiter().Reset();
    CVornLogSink sink(7);
    Sections s;
    Parse(Header(kReply, 0, 0, 0, 0).substr(0, 11), s);
    EXPECT_FALSE(s.ok);
    std::string log = TakeSinkText(sink);
    EXPECT_NE(log.find("WARNING  "), std::string::npos);
    EXPECT_NE(log.find("; Data: 0b 00 00 00"), std::string::npos);  // 204 with the length
    Parse(Header(0x0100, 1, 0, 0, 0) + Question(Name("h"), kDnsTypeA), s);
    EXPECT_FALSE(s.ok);
    log = TakeSinkText(sink);
    EXPECT_NE(log.find("WARNING  "), std::string::npos);
    EXPECT_NE(log.find("; Data: 00 00 00 00"), std::string::npos);  // 205 with 0
}

TEST(DnsParseReply, MalformedRepliesAreRefusedWithinTheirBytes) {
    const std::string q = Question(Name("h.example"), kDnsTypeA);
    const std::string ok =
        Header(kReply, 1, 1, 0, 0) + q + Record(kQuestionAt, kDnsTypeA, Addr(1, 2, 3, 4));
    struct Case {
        const char* what;
        std::string packet;
    };
    const Case cases[] = {
        {"longer than 512 bytes", ok + std::string(513 - ok.size(), '\0')},
        {"more answers than the bytes can hold",
         Header(kReply, 1, 2, 0, 0) + q + Record(kQuestionAt, 1, Addr(1, 2, 3, 4))},
        {"counts at their maximum", Header(kReply, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF) + q},
        {"answer cut inside its TTL",
         Header(kReply, 1, 1, 0, 0) + q + kQuestionAt + U16(1) + U16(1) + "\x00\x00"},
        {"data running past the end", Header(kReply, 1, 1, 0, 0) + q + kQuestionAt + U16(1) +
                                          U16(1) + U32(60) + U16(100) + Addr(1, 2, 3, 4)},
        {"A data of 3 bytes",
         Header(kReply, 1, 1, 0, 0) + q + Record(kQuestionAt, 1, "\x01\x02\x03")},
        {"A data of 5 bytes",
         Header(kReply, 1, 1, 0, 0) + q + Record(kQuestionAt, 1, Addr(1, 2, 3, 4) + "x")},
        {"CNAME target shorter than RDLENGTH",
         Header(kReply, 1, 1, 0, 0) + q +
             Record(kQuestionAt, kDnsTypeCNAME, Name("t.example") + "xx")},
        {"CNAME target longer than RDLENGTH", Header(kReply, 1, 1, 0, 0) + q + kQuestionAt +
                                                  U16(5) + U16(1) + U32(60) + U16(2) +
                                                  Name("t.example")},
        {"MX without its exchange",
         Header(kReply, 1, 1, 0, 0) + q + Record(kQuestionAt, kDnsTypeMX, U16(10))},
        {"pointer to itself", Header(kReply, 1, 0, 0, 0) + Ptr(12) + U16(1) + U16(1)},
        {"forward pointer", Header(kReply, 1, 0, 0, 0) + Ptr(14) + Name("h") + U16(1) + U16(1)},
        {"pointer back to the start of its own run",
         Header(kReply, 1, 0, 0, 0) + "\x01h" + Ptr(12) + U16(1) + U16(1)},
        {"pointer cut in half", Header(kReply, 1, 0, 0, 0) +
                                    "\x03"
                                    "abc" +
                                    "\xC0"},
        {"pointer beyond the message",
         Header(kReply, 1, 1, 0, 0) + q + Record(Ptr(0x3FFF), 1, Addr(1, 2, 3, 4))},
        {"label running off the end", Header(kReply, 1, 0, 0, 0) + "\x10"
                                                                   "abcdefgh"},
        {"name without its end", Header(kReply, 1, 0, 0, 0) + "\x01h\x01i\x01j"},
        {"label type 0x40",
         Header(kReply, 1, 0, 0, 0) + "\x40" + std::string(70, 'a') + U16(1) + U16(1)},
        {"label type 0x80", Header(kReply, 1, 0, 0, 0) + "\x80" + U16(1) + U16(1) + U16(1)},
        {"control byte in a name", Header(kReply, 1, 0, 0, 0) +
                                       "\x03"
                                       "a\nb" +
                                       std::string(1, '\0') + U16(1) + U16(1)},
        {"blank in a name", Header(kReply, 1, 0, 0, 0) + Name("a b") + U16(1) + U16(1)},
        {"DEL in a name", Header(kReply, 1, 0, 0, 0) +
                              Name("a\x7f"
                                   "b") +
                              U16(1) + U16(1)},
        {"NUL inside a label", Header(kReply, 1, 0, 0, 0) +
                                   "\x03"
                                   "a" +
                                   std::string(1, '\0') + "b" + std::string(1, '\0') + U16(1) +
                                   U16(1)},
        {"dot inside a label", Header(kReply, 1, 0, 0, 0) +
                                   "\x03"
                                   "a.b" +
                                   std::string(1, '\0') + U16(1) + U16(1)},
        {"control byte in a target",
         Header(kReply, 1, 1, 0, 0) + q + Record(kQuestionAt, kDnsTypePTR, Name("evil\r"))},
        {"name over 255 bytes", Header(kReply, 1, 0, 0, 0) +
                                    Name(std::string(63, 'a') + "." + std::string(63, 'b') + "." +
                                         std::string(63, 'c') + "." + std::string(63, 'd') + ".e") +
                                    U16(1) + U16(1)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Sections s;
        Parse(c.packet, s);
        EXPECT_FALSE(s.ok);
        EXPECT_EQ(
            s.questions.m_Count + s.answers.m_Count + s.authority.m_Count + s.additional.m_Count,
            0);
    }
    // The well-formed reply the cases start from is taken.
    Sections s;
    Parse(ok, s);
    EXPECT_TRUE(s.ok);
}

TEST(DnsReadName, FollowsAtMostFourBackwardPointers) {
    // 0: a   3: b -> 0   7: c -> 3   11: d -> 7   15: e -> 11   19: -> 15
    const std::string m = Name("a") +
                          "\x01"
                          "b" +
                          Ptr(0) +
                          "\x01"
                          "c" +
                          Ptr(3) +
                          "\x01"
                          "d" +
                          Ptr(7) +
                          "\x01"
                          "e" +
                          Ptr(11) + Ptr(15);
    struct Case {
        int offset;
        bool ok;
        const char* name;
        int after;
    };
    const Case cases[] = {
        {0, true, "a", 3},
        {7, true, "c.b.a", 11},
        {15, true, "e.d.c.b.a", 19},  // four pointers
        {19, false, "", 19},          // a fifth one
    };
    for (const Case& c : cases) {
        int offset = c.offset;
        CVornString name;
        EXPECT_EQ(DnsReadName(Packet(m), offset, name), c.ok) << c.offset;
        EXPECT_EQ(offset, c.after) << c.offset;
        if (c.ok) {
            EXPECT_STREQ(name.CStr(), c.name);
        }
    }
}

TEST(DnsInZone, ANameIsInsideWhenItIsTheZoneOrEndsInDotZone) {
    struct Case {
        const char* name;
        const char* zone;
        bool inside;
    };
    const Case cases[] = {
        {"zone.test", "zone.test", true},
        {"www.Zone.TEST", "zone.test.", true},
        {"a.b.zone.test.", "ZONE.test", true},
        {"badzone.test", "zone.test", false},  // a suffix, but not at a label
        {"mail.evil.test", "zone.test", false},
        {"test", "zone.test", false},  // the parent is outside
        {"zone.test.evil", "zone.test", false},
        {"anything.at.all", "", true},  // the root holds every name
        {"", "zone.test", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(DnsInZone(CVornString(c.name), CVornString(c.zone)), c.inside)
            << c.name << " in " << c.zone;
}

TEST(DnsMakeKey, TypeAndNumberThenTheLowerCasedName) {
    CVornString key;
    DnsMakeKey(CVornString("Mail.Example"), kDnsTypeMX, 0x1234, key);
    unsigned short type = kDnsTypeMX;
    unsigned short number = 0x1234;
    std::string expected(reinterpret_cast<const char*>(&type), 2);
    expected.append(reinterpret_cast<const char*>(&number), 2);
    expected += "mail.example";
    EXPECT_EQ(std::string(key.CStr(), static_cast<size_t>(key.Length())), expected);
}

}  // namespace
