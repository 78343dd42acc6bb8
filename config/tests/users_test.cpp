#include "config/users.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "config/config_object.h"
#include "core/code_page.h"
#include "core/compare_no_case.h"
#include "core/debug_log.h"
#include "core/pseudo_random.h"
#include "core/tests/support/vorn_helpers.h"
#include "core/vorn_buffer.h"
#include "platform/accounts.h"
#include "platform/clock.h"

namespace {

// "quendrial" with salt "ab", from the C library's crypt(3).
constexpr const char* kHash = "aboU3q/QE1.tE";

std::string Str(CVornString& s) {
    return std::string(s.CStr(), static_cast<size_t>(s.Length()));
}

std::string Attribute(CVornUser& user, const char* name) {
    CVornString value;
    return user.GetBaseAttribute(name, value) ? Str(value) : "(absent)";
}

void Set(CVornUser& user, const char* name, const char* value) {
    ASSERT_TRUE(user.SetBaseAttribute(name, CVornString(value)));
}

bool InAlphabet(char c) {
    return c != '\0' && std::string(kSaltAlphabet).find(c) != std::string::npos;
}

class UsersTest : public ::testing::Test {
protected:
    // The same draws in every run, from a fixed time.
    testsupport::SeededRandom m_Random{1000000000};

    // The salt MakeSalt will draw next, without disturbing the sequence.
    static std::string NextSalts(int n) {
        std::string salts;
        for (int i = 0; i < 2 * n; ++i) salts += kSaltAlphabet[PseudoRandom() % kSaltAlphabetSize];
        ResetPseudoRandom();
        return salts;
    }

    CVornUser m_User;
};

// ---- Salts and hashes

TEST_F(UsersTest, GetSaltTakesTheFirstTwoBytesOfLongEnoughHashes) {
    struct {
        const char* hash;
        const char* salt;
    } cases[] = {{kHash, "ab"}, {"xy", "xy"}, {"x", "kept"}, {"", "kept"}};
    for (const auto& c : cases) {
        CVornString salt("kept");
        GetSalt(CVornString(c.hash), salt);
        EXPECT_EQ(c.salt, Str(salt)) << c.hash;
    }
}

TEST_F(UsersTest, MakeSaltDrawsTwoAlphabetCharactersFirstDrawnFirst) {
    const std::string expected = NextSalts(1);
    CVornString salt;
    MakeSalt(salt);
    EXPECT_EQ(expected, Str(salt));

    std::string seen;
    for (int i = 0; i < 2000; ++i) {
        MakeSalt(salt);
        ASSERT_EQ(2, salt.Length());
        for (char c : Str(salt)) {
            ASSERT_TRUE(InAlphabet(c)) << c;
            if (seen.find(c) == std::string::npos)
                seen += c;
        }
    }
    EXPECT_EQ(static_cast<size_t>(kSaltAlphabetSize), seen.size());
}

TEST_F(UsersTest, CryptPasswordGivesCryptHashesOrAClearFailure) {
    CVornString out;
    ASSERT_TRUE(CryptPassword("quendrial", "ab", out));
    EXPECT_EQ(kHash, Str(out));
    // The salt of OpenSSL's null results: missing bytes count as 'A'.
    ASSERT_TRUE(CryptPassword("x", "", out));
    CVornString padded;
    ASSERT_TRUE(CryptPassword("x", "AA", padded));
    EXPECT_EQ(Str(padded), Str(out));
    EXPECT_FALSE(CryptPassword("x", "\xe9z", out));
    EXPECT_EQ(0, out.Length());
}

// ---- Kinds of user

TEST_F(UsersTest, OnlyAPositiveVirtualAcctMakesAVirtualUser) {
    struct {
        const char* value;
        bool isVirtual;
    } cases[] = {{"1", true},    {"7", true}, {"0", false},    {"-1", false},
                 {"yes", false}, {"", false}, {nullptr, false}};
    for (const auto& c : cases) {
        CVornUser user;
        Set(user, "RealAcct", "dom\\someone");
        if (c.value)
            Set(user, "VirtualAcct", c.value);
        EXPECT_EQ(c.isVirtual, user.IsVirtual()) << (c.value ? c.value : "(absent)");
        CVornString account("before");
        EXPECT_EQ(!c.isVirtual, user.GetRealAccount(account));
        EXPECT_EQ(c.isVirtual ? "before" : "dom\\someone", Str(account));
    }
}

TEST_F(UsersTest, UserWithoutVirtualAccountOrRealAccountIsAlwaysRefused) {
    for (const char* virtualAcct : {"0", "not-a-number"}) {
        CVornUser user;
        Set(user, "VirtualAcct", virtualAcct);
        Set(user, "Password", kHash);  // ignored: the user is not virtual
        EXPECT_EQ(1, user.ValidatePassword("quendrial"));
        CVornString message("m");
        EXPECT_EQ(1, user.ChangePassword("quendrial", "new", message));
        EXPECT_EQ(kHash, Attribute(user, "Password"));
        CVornString account("before");
        EXPECT_FALSE(user.GetRealAccount(account));
        EXPECT_EQ("", Str(account));
    }
}

// ---- Virtual accounts

TEST_F(UsersTest, VirtualUserIsCheckedAgainstTheStoredHash) {
    struct {
        const char* stored;
        const char* password;
        int result;
    } cases[] = {
        {kHash, "quendrial", 0},
        {kHash, "quendriaXYZ", 0},  // only the first 8 characters count
        {kHash, "quendri", 1},
        {kHash, "QUENDRIAL", 1},
        {kHash, "", 1},
        {kHash, nullptr, 1},
        {"aboU3q/QE1.t", "quendrial", 1},    // shorter than a crypt hash
        {"aboU3q/QE1.tEx", "quendrial", 1},  // longer
        {"AboU3q/QE1.tE", "quendrial", 1},   // case matters
        {"\xe9"
         "boU3q/QE1.tE",
         "quendrial", 1},  // salt no crypt(3) makes
        {"a", "quendrial", 1},
        {"", "anything", 0},  // no hash set: any password
    };
    for (const auto& c : cases) {
        CVornUser user;
        Set(user, "VirtualAcct", "1");
        Set(user, "Password", c.stored);
        EXPECT_EQ(c.result, user.ValidatePassword(c.password))
            << c.stored << " / " << (c.password ? c.password : "(null)");
    }
    CVornUser noHash;
    Set(noHash, "VirtualAcct", "1");
    EXPECT_EQ(0, noHash.ValidatePassword("anything"));
}

TEST_F(UsersTest, CheckLogsItsOutcomeButNeitherHashNorPassword) {
    Set(m_User, "VirtualAcct", "1");
    Set(m_User, "Password", kHash);
    CVornLogSink sink(7);
    EXPECT_EQ(1, m_User.ValidatePassword("wrongpass"));
    CVornBuffer buffer;
    sink.TakeText(buffer);
    std::string text(static_cast<size_t>(buffer.Available()), '\0');
    buffer.Read(text.data(), static_cast<int>(text.size()));
    CVornString wrong;
    ASSERT_TRUE(CryptPassword("wrongpass", "ab", wrong));
    EXPECT_NE(std::string::npos, text.find("ValidatePassword  result=1")) << text;
    EXPECT_EQ(std::string::npos, text.find(Str(wrong))) << text;
    EXPECT_EQ(std::string::npos, text.find(kHash)) << text;
    EXPECT_EQ(std::string::npos, text.find("wrongpass"));
}

TEST_F(UsersTest, VirtualPasswordChangeNeedsTheOldPasswordAndDrawsAFreshSalt) {
    Set(m_User, "VirtualAcct", "1");
    Set(m_User, "Password", kHash);
    CVornString message;

    EXPECT_EQ(1, m_User.ChangePassword("wrong", "newpass1", message));
    EXPECT_EQ(kHash, Attribute(m_User, "Password"));

    const std::string salts = NextSalts(2);
    ASSERT_NE(salts.substr(0, 2), salts.substr(2, 2));
    EXPECT_EQ(0, m_User.ChangePassword("quendrial", "newpass1", message));
    const std::string first = Attribute(m_User, "Password");
    EXPECT_EQ(13u, first.size());
    EXPECT_EQ(salts.substr(0, 2), first.substr(0, 2));
    EXPECT_EQ(0, m_User.ValidatePassword("newpass1"));
    EXPECT_EQ(1, m_User.ValidatePassword("quendrial"));

    // No old password (the administrator's set): no check, a new salt again.
    EXPECT_EQ(0, m_User.ChangePassword(nullptr, "newpass1", message));
    const std::string second = Attribute(m_User, "Password");
    EXPECT_EQ(salts.substr(2, 2), second.substr(0, 2));
    EXPECT_NE(first, second);
    EXPECT_EQ(0, m_User.ValidatePassword("newpass1"));
    EXPECT_EQ("", Str(message));
}

TEST_F(UsersTest, VirtualUserWithoutHashChangesWithAnyOldPassword) {
    Set(m_User, "VirtualAcct", "1");
    CVornString message;
    EXPECT_EQ(0, m_User.ChangePassword("anything", "fresh", message));
    EXPECT_EQ(0, m_User.ValidatePassword("fresh"));
    EXPECT_EQ(1, m_User.ValidatePassword("anything"));
    // A null new password is refused and changes nothing.
    const std::string stored = Attribute(m_User, "Password");
    EXPECT_EQ(1, m_User.ChangePassword(nullptr, nullptr, message));
    EXPECT_EQ(stored, Attribute(m_User, "Password"));
}

// ---- System accounts

TEST_F(UsersTest, SplitAccountAtTheFirstSingleByteBackslash) {
    struct {
        const char* account;
        const char* domain;
        const char* user;
        bool split;
    } cases[] = {
        {"dom\\user", "dom", "user", true},
        {"user", "", "user", false},
        {"\\user", "", "user", true},
        {"a\\b\\c", "a", "b\\c", true},
        {"", "", "", false},
        {nullptr, "", "", false},
    };
    for (const auto& c : cases) {
        CVornString domain("x"), user("x");
        EXPECT_EQ(c.split, SplitAccount(c.account, domain, user));
        EXPECT_EQ(c.domain, Str(domain));
        EXPECT_EQ(c.user, Str(user));
    }

    // Shift-JIS: 0x95 0x5C is one character whose second byte is no separator.
    const CVornCodePage saved = g_CodePage;
    g_CodePage.SetType(2);
    CVornString domain, user;
    EXPECT_TRUE(
        SplitAccount("\x95\x5C"
                     "d\\u",
                     domain, user));
    g_CodePage = saved;
    EXPECT_EQ(
        "\x95\x5C"
        "d",
        Str(domain));
    EXPECT_EQ("u", Str(user));
}

TEST_F(UsersTest, SystemAccountUserGoesToTheAccountServices) {
    Set(m_User, "VirtualAcct", "0");
    CVornString message("stale");

    // A domain that is not this machine is refused at once.
    Set(m_User, "RealAcct", "OTHER-DOMAIN\\root");
    EXPECT_EQ(1, m_User.ValidatePassword("x"));

    // An account that does not exist: PAM refuses, without waiting for input.
    Set(m_User, "RealAcct", ".\\zelorm-no-such-user-7q");
    EXPECT_EQ(1, m_User.ValidatePassword("x"));

    // Changing a system account's password is not offered: 1, message empty.
    EXPECT_EQ(1, m_User.ChangePassword("old", "new", message));
    EXPECT_EQ("", Str(message));
    EXPECT_EQ("(absent)", Attribute(m_User, "Password"));
}

TEST_F(UsersTest, OverlongAccountTextsAreRefused) {
    const std::string longText(kMaxAccountTextLength, 'a');
    const std::string limit(kMaxAccountTextLength - 1, 'a');
    CVornString message("stale");
    EXPECT_EQ(1, WindowsLogon(longText.c_str(), "pw"));
    EXPECT_EQ(1, WindowsLogon("OTHER\\root", longText.c_str()));
    EXPECT_EQ(1, WindowsLogon(nullptr, "pw"));
    EXPECT_EQ(1, WindowsChangePassword(limit.c_str(), nullptr, longText.c_str(), message));
    EXPECT_EQ("", Str(message));

    CVornString name("unchanged");
    GetAccountFullName(("." + std::string("\\") + std::string(kMaxAccountTextLength, 'r')).c_str(),
                       name);
    EXPECT_EQ("unchanged", Str(name));
}

TEST_F(UsersTest, FullNameOfAnAccountOrUnchangedOnFailure) {
    std::string expected;
    ASSERT_TRUE(platform::AccountFullName(".", "root", expected));
    for (const char* account : {"root", ".\\root"}) {
        CVornString name("unchanged");
        GetAccountFullName(account, name);
        EXPECT_EQ(expected, Str(name)) << account;
    }
    for (const char* account : {"zelorm-no-such-user-7q", "OTHER-DOMAIN\\root", "", "\\",
                                static_cast<const char*>(nullptr)}) {
        CVornString name("unchanged");
        GetAccountFullName(account, name);
        EXPECT_EQ("unchanged", Str(name)) << (account ? account : "(null)");
    }
}

TEST_F(UsersTest, DomainUserListHoldsLocalAccountsWithTheDotPrefixInOrder) {
    CVornSortedList<CVornString> names(&CompareNoCase);
    names.Insert(CVornString("stale\\entry"));
    EXPECT_EQ(0, ListDomainUsers(names));

    const std::vector<std::string> accounts = platform::ListLocalAccounts();
    std::vector<std::string> listed;
    for (auto* node = names.m_List.m_Head; node; node = node->m_Next)
        listed.push_back(Str(node->m_Element));
    ASSERT_EQ(accounts.size(), listed.size());
    for (size_t i = 0; i < listed.size(); ++i) {
        EXPECT_EQ(0u, listed[i].rfind(".\\", 0)) << listed[i];
        if (i > 0) {
            EXPECT_LE(
                CompareNoCase(CVornString(listed[i - 1].c_str()), CVornString(listed[i].c_str())),
                0);
        }
    }
    for (const std::string& account : accounts)
        EXPECT_NE(listed.end(), std::find(listed.begin(), listed.end(), ".\\" + account));
}

}  // namespace
