#include "platform/accounts.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <security/pam_appl.h>
#include <stdlib.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <set>
#include <string>

#include "platform/system_info.h"

namespace {

std::string Upper(std::string text) {
    for (char& c : text) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    return text;
}

TEST(AccountsTest, LocalDomainIsDotOrThisHost) {
    const std::string host = platform::HostName();
    ASSERT_FALSE(host.empty());
    const std::string label = host.substr(0, host.find('.'));
    struct {
        std::string domain;
        bool local;
    } cases[] = {
        {"", true},          {".", true},         {host, true},
        {Upper(host), true}, {label, true},       {"NO-SUCH-DOMAIN-X", false},
        {"..", false},       {host + "x", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.local, platform::IsLocalAccountDomain(c.domain)) << c.domain;
}

TEST(AccountsTest, PasswordCheckRefusesWithoutAskingOrWaiting) {
    // Refused before PAM is asked: nothing to wait for.
    EXPECT_FALSE(platform::CheckAccountPassword("", "", "secret"));
    EXPECT_FALSE(platform::CheckAccountPassword("", "root", ""));
    EXPECT_FALSE(platform::CheckAccountPassword("OTHER-DOMAIN", "root", "secret"));
    EXPECT_FALSE(platform::CheckAccountPassword("", std::string("ro\0ot", 5), "secret"));
    EXPECT_FALSE(platform::CheckAccountPassword("", "root", std::string("se\0cret", 7)));
}

TEST(AccountsTest, UnknownUserIsRefusedByPamWithoutBlocking) {
    // The PAM stack may add a failure delay of a few seconds; the bound only
    // catches a conversation that waits for input.
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(platform::CheckAccountPassword(".", "zelorm-no-such-user-7q", "whatever"));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
}

TEST(AccountsTest, ChangingASystemPasswordIsNotOffered) {
    EXPECT_FALSE(platform::ChangeAccountPassword(".", "root", "old", "new"));
}

TEST(AccountsTest, FullNameOfRootIsTheGecosNameUpToTheFirstComma) {
    std::string name = "unchanged";
    ASSERT_TRUE(platform::AccountFullName(".", "root", name));
    EXPECT_EQ(std::string::npos, name.find(','));

    for (const char* domain : {"", "."}) {
        std::string again;
        EXPECT_TRUE(platform::AccountFullName(domain, "root", again));
        EXPECT_EQ(name, again);
    }
}

TEST(AccountsTest, FullNameFailuresLeaveTheNameUntouched) {
    struct {
        const char* domain;
        std::string user;
    } cases[] = {
        {".", "zelorm-no-such-user-7q"},
        {"OTHER-DOMAIN", "root"},
        {".", ""},
        {".", std::string("ro\0ot", 5)},
    };
    for (const auto& c : cases) {
        std::string name = "unchanged";
        EXPECT_FALSE(platform::AccountFullName(c.domain, c.user, name)) << c.user;
        EXPECT_EQ("unchanged", name);
    }
}

TEST(AccountsTest, LocalAccountsArePeopleWithALoginShellListedOnce) {
    std::vector<std::string> names = platform::ListLocalAccounts();
    std::set<std::string> unique(names.begin(), names.end());
    EXPECT_EQ(unique.size(), names.size());
    EXPECT_EQ(0u, unique.count("root"));
    EXPECT_EQ(0u, unique.count("nobody"));
    for (const std::string& name : names) {
        passwd* entry = getpwnam(name.c_str());
        ASSERT_NE(nullptr, entry) << name;
        EXPECT_GE(entry->pw_uid, 1000u) << name;
        std::string shell = entry->pw_shell ? entry->pw_shell : "";
        EXPECT_EQ(std::string::npos, shell.find("nologin")) << name;
    }
}

// Drives the conversation function as PAM would and frees what it returns.
class PamConversationTest : public ::testing::Test {
protected:
    int Converse(std::initializer_list<int> styles) {
        std::vector<pam_message> messages;
        for (int style : styles) messages.push_back({style, "prompt:"});
        std::vector<const pam_message*> pointers;
        for (const pam_message& m : messages) pointers.push_back(&m);
        pam_response* responses = nullptr;
        int count = static_cast<int>(pointers.size());
        int status = platform::PamConversation(count, pointers.data(), &responses, &m_Answer);
        m_Answers.clear();
        if (status == PAM_SUCCESS) {
            for (int i = 0; i < count; ++i) {
                m_Answers.push_back(responses[i].resp ? responses[i].resp : "(null)");
                free(responses[i].resp);
            }
            free(responses);
        } else {
            EXPECT_EQ(nullptr, responses);
        }
        return status;
    }

    platform::PamPasswordAnswer m_Answer{"s3cret", false};
    std::vector<std::string> m_Answers;
};

TEST_F(PamConversationTest, AnswersOnlyTheOnePasswordPrompt) {
    ASSERT_EQ(PAM_SUCCESS, Converse({PAM_TEXT_INFO, PAM_PROMPT_ECHO_OFF, PAM_ERROR_MSG}));
    EXPECT_EQ((std::vector<std::string>{"(null)", "s3cret", "(null)"}), m_Answers);
    // The password has been given once; a second prompt for it fails.
    EXPECT_EQ(PAM_CONV_ERR, Converse({PAM_PROMPT_ECHO_OFF}));
}

TEST_F(PamConversationTest, RefusesPromptsItCannotAnswer) {
    EXPECT_EQ(PAM_CONV_ERR, Converse({PAM_PROMPT_ECHO_ON}));
    // A refusal after the password was answered frees that answer (the
    // leak checker sees it otherwise).
    m_Answer.answered = false;
    EXPECT_EQ(PAM_CONV_ERR, Converse({PAM_PROMPT_ECHO_OFF, PAM_PROMPT_ECHO_ON}));
    EXPECT_EQ(PAM_CONV_ERR, Converse({}));
}

}  // namespace
