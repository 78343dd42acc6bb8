#include "net/mail_address.h"

#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "core/code_page.h"
#include "net/host_address.h"

namespace {

std::string Form(CVornMailAddress& a, int form) {
    const char* text = a.Get(form);
    return text ? text : "(null)";
}

// The process-wide domain strings, set for one test and emptied after it.
class MailDomains : public ::testing::Test {
protected:
    void SetUp() override {
        // One parse settles the load time, so the strings set below survive.
        CVornMailAddress a;
        a.Set("x");
    }
    void TearDown() override { Set("", ""); }
    static void Set(const char* defaultDomain, const char* localDomains) {
        CVornLockGuard guard(g_MailDomainLock);
        g_MailDefaultDomain.Assign(defaultDomain);
        g_MailLocalDomains.Assign(localDomains);
    }
};

TEST(MailAddress, BuildsRouteCanonicalAndHeaderForms) {
    struct Case {
        const char* text;
        const char* route;
        const char* canonical;
        const char* header;
    } cases[] = {
        {"joe", "joe", "joe", "joe"},
        {"joe@example.com", "example.com!joe", "joe@example.com", "joe@example.com"},
        {"Joe Smith <joe@example.com>", "example.com!joe", "joe@example.com",
         "Joe Smith <joe@example.com>"},
        {"\"Smith, Joe\" <joe@example.com> (work)", "example.com!joe", "joe@example.com",
         "\"Smith, Joe\" <joe@example.com> (work)"},
        {"joe@example.com (Joe)", "example.com!joe", "joe@example.com", "joe@example.com"},
        {"  joe @ example.com  ", "example.com!joe", "joe@example.com", "  joe@example.com  "},
        {"Joe\t<joe@example.com>", "example.com!joe", "joe@example.com", "Joe\t<joe@example.com>"},
        {"joe%inner.org@example.com", "example.com!inner.org!joe", "joe%inner.org@example.com",
         "joe%inner.org@example.com"},
        {"inner.org!joe", "inner.org!joe", "joe@inner.org", "joe@inner.org"},
        {"<@a.org,@b.org:joe@c.org>", "a.org,@b.org!c.org!joe", "joe%c.org@a.org,@b.org",
         "<joe%c.org@a.org,@b.org>"},
        {"\"joe smith\"@example.com", "example.com!\"joe smith\"", "\"joe smith\"@example.com",
         "\"joe smith\"@example.com"},
        // Inside quotes the backslash stays and its '@' is no separator.
        {"\"a\\@b\"@example.com", "example.com!\"a\\@b\"", "\"a\\@b\"@example.com",
         "\"a\\@b\"@example.com"},
        // Outside quotes it goes with the comments, so both '@' split.
        {"joe\\@hub@example.com", "example.com!hub!joe", "joe%hub@example.com",
         "joe%hub@example.com"},
        {"joe@[192.0.2.1]", "[192.0.2.1]!joe", "joe@[192.0.2.1]", "joe@[192.0.2.1]"},
        {"Undisclosed recipients: ;", "", "", "Undisclosed recipients: ;"},
        {"Team: joe@example.com;", "example.com!joe", "joe@example.com", "Team: joe@example.com;"},
        {"joe@example.com\r\n", "example.com!joe", "joe@example.com", "joe@example.com"},
    };
    CVornMailAddress a;
    for (const Case& c : cases) {
        ASSERT_EQ(a.Set(c.text), 0) << c.text;
        EXPECT_EQ(Form(a, CVornMailAddress::kFormRoute), c.route) << c.text;
        EXPECT_EQ(Form(a, CVornMailAddress::kFormCanonical), c.canonical) << c.text;
        EXPECT_EQ(Form(a, CVornMailAddress::kFormHeader), c.header) << c.text;
        EXPECT_EQ(a.HasNoBang(), strchr(c.route, '!') ? 0 : 1) << c.text;
    }
    a.Set("joe@example.com\r\n");
    EXPECT_EQ(Form(a, 0), "joe@example.com");  // the source, without its line end
    EXPECT_EQ(Form(a, 99), "joe@example.com");
}

TEST(MailAddress, NullTextClearsAndEmptyObjectHasNoForms) {
    CVornMailAddress a;
    EXPECT_EQ(a.Get(CVornMailAddress::kFormCanonical), nullptr);
    EXPECT_EQ(a.HasNoBang(), 1);
    ASSERT_EQ(a.Set("joe@example.com"), 0);
    EXPECT_EQ(a.Set(nullptr), 0);
    for (int form : {0, 2, 3, 4}) EXPECT_EQ(a.Get(form), nullptr);
}

TEST(MailAddress, RefusesBadAddresses) {
    std::string longText(4095, 'a');
    const char* bad[] = {
        "",       "\r\n",    "joe@",   "joe%", "example.com!",
        "@a.org", "@a.org:", "<joe@>", "j@x@", longText.c_str(),
    };
    CVornMailAddress a;
    for (const char* text : bad) {
        ASSERT_EQ(a.Set("keep@example.com"), 0);
        EXPECT_EQ(a.Set(text), 1) << text;
        // A parse that fails leaves no forms behind.
        for (int form : {0, 2, 3, 4}) EXPECT_EQ(a.Get(form), nullptr) << text;
    }
}

TEST(MailAddress, RefusesInjectionAndOversizeBeforeDroppingThePreviousAddress) {
    std::string tooLong(4096, 'a');
    std::string muchTooLong(100000, 'a');
    const std::string refused[] = {
        "joe@example.com\r\nRCPT TO:<x@y.org>",
        "joe\r@example.com",
        "joe\n@example.com",
        "joe@example.com\x01",
        "Joe\x1B <joe@example.com>",
        "joe@exam\x7Fple.com",
        "joe@example.com\x1F\r\n",
        tooLong,
        muchTooLong,
    };
    CVornMailAddress a;
    ASSERT_EQ(a.Set("keep@example.com"), 0);
    for (const std::string& text : refused) {
        EXPECT_EQ(a.Set(text.c_str()), 1) << text.substr(0, 40);
        EXPECT_EQ(Form(a, CVornMailAddress::kFormCanonical), "keep@example.com");
    }
}

TEST(MailAddress, RefusesMultibyteCharactersOfTheCodePage) {
    const int saved = g_CodePage.GetType();
    g_CodePage.SetType(2);  // Shift-JIS: 0x82 leads a double-byte character
    CVornMailAddress a;
    ASSERT_EQ(a.Set("keep@example.com"), 0);
    EXPECT_EQ(a.Set("\x82\xA0@example.com"), 1);
    EXPECT_EQ(Form(a, CVornMailAddress::kFormCanonical), "keep@example.com");
    g_CodePage.SetType(saved);
}

bool TestLookup(const CVornString& name, CVornHostAddressList& out) {
    if (!name.Equals("mailhost", 2))
        return false;
    unsigned char bytes[4] = {10, 0, 0, 5};
    uint32_t address;
    memcpy(&address, bytes, 4);
    AppendAddressEntry(out, CVornHostAddressEntry(address));
    return true;
}

bool TestReverse(const CVornHostAddressEntry& entry, CVornString& out) {
    unsigned char bytes[4];
    uint32_t address = entry.GetAddress();
    memcpy(bytes, &address, 4);
    if (bytes[0] != 10)
        return false;
    out.Assign("mailhost.example.com");
    return true;
}

TEST(MailAddress, QualifiesADomainWithoutDotThroughTheHostLookup) {
    SetHostLookup(TestLookup);
    SetReverseLookup(TestReverse);
    CVornMailAddress a;
    EXPECT_EQ(a.Set("joe@mailhost"), 0);
    EXPECT_EQ(Form(a, CVornMailAddress::kFormCanonical), "joe@mailhost.example.com");
    EXPECT_EQ(Form(a, CVornMailAddress::kFormRoute), "mailhost!joe");  // as written
    // A failed lookup is no error: the domain stays as written.
    EXPECT_EQ(a.Set("joe@nohost"), 0);
    EXPECT_EQ(Form(a, CVornMailAddress::kFormCanonical), "joe@nohost");
    // An address literal is named by its reverse lookup when deciding locality.
    EXPECT_EQ(a.IsLocalDomain("[10.1.2.3]"), 0);
    {
        CVornLockGuard guard(g_MailDomainLock);
        g_MailLocalDomains.Assign("mailhost.example.com");
    }
    EXPECT_EQ(a.IsLocalDomain("[10.1.2.3]"), 1);
    {
        CVornLockGuard guard(g_MailDomainLock);
        g_MailLocalDomains.Assign("");
    }
    SetHostLookup(nullptr);
    SetReverseLookup(nullptr);
}

TEST_F(MailDomains, LocalDomainsAreWholeEntriesAfterNormalising) {
    Set("",
        "mail.local\x1C"
        "example.net");
    CVornMailAddress a;
    struct Case {
        const char* domain;
        int local;
    } cases[] = {
        {"example.net", 1}, {"Example.NET..", 1}, {"[mail.local]", 1}, {"", 1},
        {"[]", 1},          {nullptr, 1},         {"ample.net", 0},    {"example.ne", 0},
        {"mail", 0},        {"other.org", 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(a.IsLocalDomain(c.domain), c.local) << (c.domain ? c.domain : "(null)");
}

TEST_F(MailDomains, LocalHopsAreDroppedAndTheDefaultDomainQualifies) {
    Set("corp.example", "example.net");
    CVornMailAddress a;
    struct Case {
        const char* text;
        const char* route;
        const char* canonical;
    } cases[] = {
        {"joe", "joe", "joe@corp.example"},
        {"joe@example.net", "joe", "joe@corp.example"},
        {"joe@CORP.example", "joe", "joe@corp.example"},
        {"joe%far.org@example.net", "far.org!joe", "joe%far.org@corp.example"},
        {"joe%example.net@far.org", "far.org!example.net!joe", "joe%example.net@far.org"},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(a.Set(c.text), 0) << c.text;
        EXPECT_EQ(Form(a, CVornMailAddress::kFormRoute), c.route) << c.text;
        EXPECT_EQ(Form(a, CVornMailAddress::kFormCanonical), c.canonical) << c.text;
    }
    EXPECT_EQ(a.Set("joe@example.net"), 0);
    EXPECT_EQ(a.HasNoBang(), 1);
}

TEST_F(MailDomains, ANewConfigurationLoadEmptiesTheDomains) {
    Set("corp.example", "example.net");
    {
        CVornLockGuard guard(g_MailDomainLock);
        g_MailDomainLoadTime = 12345;  // as if the store had loaded since
    }
    CVornMailAddress a;
    ASSERT_EQ(a.Set("joe"), 0);
    EXPECT_EQ(Form(a, CVornMailAddress::kFormCanonical), "joe");
    CVornLockGuard guard(g_MailDomainLock);
    EXPECT_TRUE(g_MailDefaultDomain.IsEmpty());
    EXPECT_TRUE(g_MailLocalDomains.IsEmpty());
    EXPECT_NE(g_MailDomainLoadTime, 12345);
}

}  // namespace
