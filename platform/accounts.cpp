// System accounts through PAM and the passwd database.
//
//   IsLocalAccountDomain   "." / empty / this host's name
//   CheckAccountPassword   pam_authenticate + pam_acct_mgmt, non-interactive
//   ChangeAccountPassword  not offered: always false
//   AccountFullName        getpwnam_r, GECOS up to the first ','
//   ListLocalAccounts      getpwent_r, uid >= 1000 with a login shell
//   PamConversation        answers the password prompt and nothing else
//
// Bad input: empty names, texts holding a NUL byte and foreign domains are
// refused (false / empty) before any system call. Look-ups that fail report
// false; nothing here throws or logs.
#include "platform/accounts.h"

#include <errno.h>
#include <pwd.h>
#include <security/pam_appl.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <unistd.h>

#include <mutex>
#include <unordered_set>

#include "platform/system_info.h"

namespace platform {

namespace {

constexpr const char* kPamServiceFile = "/etc/pam.d/zelorm";
constexpr size_t kMaxAccounts = 100000;
// getpwnam_r's buffer starts at the size sysconf suggests and doubles up to
// this bound on ERANGE (a GECOS field can be long, but not unboundedly).
constexpr size_t kMaxPasswdBuffer = 1 << 20;

bool HasNul(const std::string& text) {
    return text.find('\0') != std::string::npos;
}

// Frees the answers given so far (the password among them) on a failed
// conversation.
void FreeResponses(pam_response* responses, int count) {
    for (int i = 0; i < count; ++i) {
        if (responses[i].resp) {
            explicit_bzero(responses[i].resp, strlen(responses[i].resp));
            free(responses[i].resp);
        }
    }
    free(responses);
}

bool IsLoginShell(const char* shell) {
    if (!shell || !*shell)
        return true;  // the empty field means the default shell
    const char* slash = strrchr(shell, '/');
    const char* name = slash ? slash + 1 : shell;
    return strcmp(name, "nologin") != 0 && strcmp(name, "false") != 0;
}

// The getpwent iteration state is process-wide.
std::mutex& PasswdWalkLock() {
    static std::mutex* lock =
        new std::mutex;  // never destroyed: detached threads may use it at exit
    return *lock;
}

}  // namespace

bool IsLocalAccountDomain(const std::string& domain) {
    if (domain.empty() || domain == ".")
        return true;
    std::string host = HostName();
    if (host.empty())
        return false;
    if (strcasecmp(domain.c_str(), host.c_str()) == 0)
        return true;
    std::string label = host.substr(0, host.find('.'));
    return strcasecmp(domain.c_str(), label.c_str()) == 0;
}

int PamConversation(int count, const struct pam_message** messages, struct pam_response** responses,
                    void* appdata) {
    if (!responses)
        return PAM_CONV_ERR;
    *responses = nullptr;
    if (count <= 0 || count > PAM_MAX_NUM_MSG || !messages || !appdata)
        return PAM_CONV_ERR;
    auto* answer = static_cast<PamPasswordAnswer*>(appdata);
    auto* out =
        static_cast<pam_response*>(calloc(static_cast<size_t>(count), sizeof(pam_response)));
    if (!out)
        return PAM_BUF_ERR;
    for (int i = 0; i < count; ++i) {
        const pam_message* message = messages[i];
        bool ok = false;
        if (message) {
            switch (message->msg_style) {
                case PAM_PROMPT_ECHO_OFF:
                    if (!answer->answered) {
                        answer->answered = true;
                        out[i].resp = strdup(answer->password ? answer->password : "");
                        if (!out[i].resp) {
                            FreeResponses(out, i);
                            return PAM_BUF_ERR;
                        }
                        ok = true;
                    }
                    break;
                case PAM_ERROR_MSG:
                case PAM_TEXT_INFO:
                    ok = true;  // nothing to answer
                    break;
                default:  // a prompt for text we do not have
                    break;
            }
        }
        if (!ok) {
            FreeResponses(out, count);
            return PAM_CONV_ERR;
        }
    }
    *responses = out;
    return PAM_SUCCESS;
}

bool CheckAccountPassword(const std::string& domain, const std::string& user,
                          const std::string& password) {
    if (user.empty() || password.empty() || HasNul(user) || HasNul(password) ||
        !IsLocalAccountDomain(domain))
        return false;
    const char* service = access(kPamServiceFile, F_OK) == 0 ? kPamService : kPamFallbackService;
    PamPasswordAnswer answer;
    answer.password = password.c_str();
    const pam_conv conversation = {PamConversation, &answer};
    pam_handle_t* handle = nullptr;
    int status = pam_start(service, user.c_str(), &conversation, &handle);
    if (status != PAM_SUCCESS) {
        if (handle)
            pam_end(handle, status);
        return false;
    }
    status = pam_authenticate(handle, PAM_SILENT | PAM_DISALLOW_NULL_AUTHTOK);
    if (status == PAM_SUCCESS)
        status = pam_acct_mgmt(handle, PAM_SILENT | PAM_DISALLOW_NULL_AUTHTOK);
    pam_end(handle, status);
    return status == PAM_SUCCESS;
}

bool ChangeAccountPassword(const std::string&, const std::string&, const std::string&,
                           const std::string&) {
    return false;
}

bool AccountFullName(const std::string& domain, const std::string& user, std::string& fullName) {
    if (user.empty() || HasNul(user) || !IsLocalAccountDomain(domain))
        return false;
    long suggested = sysconf(_SC_GETPW_R_SIZE_MAX);
    size_t size = suggested > 0 ? static_cast<size_t>(suggested) : 16384;
    std::string buffer;
    for (;;) {
        buffer.resize(size);
        passwd entry;
        passwd* found = nullptr;
        int error = getpwnam_r(user.c_str(), &entry, buffer.data(), buffer.size(), &found);
        if (error == ERANGE && size < kMaxPasswdBuffer) {
            size *= 2;
            continue;
        }
        if (error != 0 || !found)
            return false;
        const char* gecos = found->pw_gecos ? found->pw_gecos : "";
        fullName.assign(gecos, strcspn(gecos, ","));
        return true;
    }
}

std::vector<std::string> ListLocalAccounts() {
    std::vector<std::string> names;
    std::unordered_set<std::string> seen;
    std::lock_guard<std::mutex> guard(PasswdWalkLock());
    setpwent();
    std::string buffer(16384, '\0');
    while (names.size() < kMaxAccounts) {
        passwd entry;
        passwd* found = nullptr;
        int error = getpwent_r(&entry, buffer.data(), buffer.size(), &found);
        if (error == ERANGE && buffer.size() < kMaxPasswdBuffer) {
            // The entry is read again with the larger buffer.
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (error != 0 || !found)
            break;
        if (found->pw_uid < 1000 || found->pw_uid == 65534 || !found->pw_name || !*found->pw_name ||
            !IsLoginShell(found->pw_shell))
            continue;
        if (seen.insert(found->pw_name).second)
            names.push_back(found->pw_name);
    }
    endpwent();
    return names;
}

}  // namespace platform
