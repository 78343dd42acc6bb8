// The machine's system accounts: checking a password, looking an account up
// and listing the accounts of people.
//
//   IsLocalAccountDomain   whether a domain text names this machine
//   CheckAccountPassword   PAM authentication and account check of a user
//   ChangeAccountPassword  not offered here: always false
//   AccountFullName        the full name of an account (GECOS field)
//   ListLocalAccounts      the local accounts of people
//   PamConversation        the PAM conversation function (for tests)
//
// Accounts are addressed as a domain and a user name. On Linux the only
// domain is this machine: "." or the empty text, or its host name (the whole
// name or its first label, in any case). Any other domain names accounts that
// cannot be reached from here, and every call refuses it without looking.
// Names and passwords are byte strings passed on as they are.
//
// Threads: every function may run on any thread at the same time.
#pragma once

#include <string>
#include <vector>

struct pam_message;
struct pam_response;

namespace platform {

// PAM service used when /etc/pam.d/zelorm exists; otherwise "login".
constexpr const char* kPamService = "zelorm";
constexpr const char* kPamFallbackService = "login";

// True when domain is empty, ".", or this machine's host name or its first
// label (compared without regard to ASCII case).
bool IsLocalAccountDomain(const std::string& domain);

// True when PAM authenticates user with password and then accepts the
// account (not expired, not locked). An empty user, an empty password, a text
// with a NUL byte or a domain that is not local gives false without asking
// PAM. Never reads a terminal; a refusal may take a few seconds (the failure
// delay of the PAM stack), but nothing waits for input.
bool CheckAccountPassword(const std::string& domain, const std::string& user,
                          const std::string& password);

// Changing the password of a system account is not offered: always false.
bool ChangeAccountPassword(const std::string& domain, const std::string& user,
                           const std::string& oldPassword, const std::string& newPassword);

// Looks user up (getpwnam_r) on a local domain. True when it exists:
// fullName is then the GECOS field up to its first ',' (empty when the field
// is empty). False, fullName untouched, when the domain is not local, the
// user is empty or unknown, or the look-up fails.
bool AccountFullName(const std::string& domain, const std::string& user, std::string& fullName);

// The names of the accounts of people on this machine, in the order the
// account database lists them, each once: accounts with a uid of 1000 or
// above (not 65534, "nobody") and a login shell, that is a shell field that
// is empty (the default shell) or whose last path part is neither "nologin"
// nor "false". System and service accounts are left out. At most 100000
// names; empty when the database cannot be read.
std::vector<std::string> ListLocalAccounts();

// The conversation function handed to PAM. appdata points to a
// PamPasswordAnswer. The first prompt without echo (the password prompt) is
// answered with the password; information and error texts get an empty
// answer; a prompt with echo, a second password prompt or a message of
// another kind fails the whole conversation (PAM_CONV_ERR, nothing returned).
// Nothing is ever read from a terminal.
struct PamPasswordAnswer {
    const char* password = "";
    bool answered = false;
};
int PamConversation(int count, const struct pam_message** messages, struct pam_response** responses,
                    void* appdata);

}  // namespace platform
