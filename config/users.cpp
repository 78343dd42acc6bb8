// Users' passwords: virtual accounts checked against DES crypt(3) hashes,
// and system accounts checked by the machine's account services.
//
//   GetSalt                     the salt of a stored hash (its first 2 bytes)
//   MakeSalt                    a fresh 2-character salt from PseudoRandom
//   CryptPassword               the 13-character DES crypt(3) hash
//   SplitAccount                "domain\user" into its parts
//   WindowsLogon                password check of a system account
//   WindowsChangePassword       not offered: always 1
//   ListDomainUsers             ".\name" for each local account of a person
//   GetAccountFullName          the full name of a system account
//   CVornUser::IsVirtual        "VirtualAcct" above 0
//   CVornUser::GetRealAccount   "RealAcct" of a user that is not virtual
//   CVornUser::ValidatePassword 0 when the user's password is right
//   CVornUser::ChangePassword   0 when the user's password was changed
//
// Bad input: null or overlong texts are refused (1, or nothing changed); a
// salt byte outside ASCII makes no hash, so a stored hash that carries one
// never matches. Nothing here writes to the event log.
#include "config/users.h"

#include <string.h>

#include <string>

#include "config/config_object.h"
#include "core/code_page.h"
#include "core/debug_log.h"
#include "core/pseudo_random.h"
#include "platform/accounts.h"
#include "platform/des_crypt.h"

namespace {

// Full names of this many characters or more are not taken.
constexpr int kMaxFullNameChars = 1024;

bool TooLong(const char* text) {
    return strnlen(text, kMaxAccountTextLength) >= static_cast<size_t>(kMaxAccountTextLength);
}

std::string ToStd(CVornString& text) {
    return std::string(text.CStr(), static_cast<size_t>(text.Length()));
}

}  // namespace

void GetSalt(const CVornString& hash, CVornString& salt) {
    CVornString copy(hash);
    if (copy.Length() < 2)
        return;
    copy.KeepLeft(2);
    salt.Assign(copy);
}

void MakeSalt(CVornString& salt) {
    char first = kSaltAlphabet[PseudoRandom() % kSaltAlphabetSize];
    char second = kSaltAlphabet[PseudoRandom() % kSaltAlphabetSize];
    salt.Assign(first);
    salt.Append(second);
}

bool CryptPassword(const char* password, const char* salt, CVornString& out) {
    char hash[platform::kDesCryptLength + 1];
    if (!platform::DesCrypt(password, salt, hash)) {
        out.Clear();
        return false;
    }
    out.Assign(hash);
    return true;
}

bool SplitAccount(const char* account, CVornString& domain, CVornString& user) {
    if (!account)
        account = "";
    const char* separator = g_CodePage.FindChar(account, '\\');
    if (!separator) {
        domain.Clear();
        user.Assign(account);
        return false;
    }
    domain.Assign(account, static_cast<int>(separator - account));
    user.Assign(separator + 1);
    return true;
}

int WindowsLogon(const char* account, const char* password) {
    if (!account || !password || TooLong(account) || TooLong(password))
        return 1;
    CVornString domain, user;
    SplitAccount(account, domain, user);
    return platform::CheckAccountPassword(ToStd(domain), ToStd(user), password) ? 0 : 1;
}

int WindowsChangePassword(const char* account, const char* oldPassword, const char* newPassword,
                          CVornString& message) {
    message.Clear();
    if (!account || !newPassword || TooLong(account) || TooLong(newPassword) ||
        (oldPassword && TooLong(oldPassword)))
        return 1;
    CVornString domain, user;
    SplitAccount(account, domain, user);
    return platform::ChangeAccountPassword(ToStd(domain), ToStd(user),
                                           oldPassword ? oldPassword : "", newPassword)
               ? 0
               : 1;
}

int ListDomainUsers(CVornSortedList<CVornString>& names) {
    names.m_List.RemoveAll();
    // This machine is the only domain it can see, and it is no domain
    // controller: its own accounts carry the prefix ".".
    for (const std::string& name : platform::ListLocalAccounts()) {
        CVornString entry(".\\");
        entry.Append(name.data(), static_cast<int>(name.size()));
        names.Insert(entry);
    }
    return 0;
}

void GetAccountFullName(const char* account, CVornString& fullName) {
    if (!account || TooLong(account))
        return;
    CVornString domain, user;
    if (!SplitAccount(account, domain, user))
        domain.Assign(".");
    std::string name;
    if (!platform::AccountFullName(ToStd(domain), ToStd(user), name))
        return;
    if (g_CodePage.CharCount(name.c_str()) >= kMaxFullNameChars)
        return;
    fullName.Assign(name.data(), static_cast<int>(name.size()));
}

bool CVornUser::IsVirtual() {
    CVornString value;
    return GetBaseAttribute("VirtualAcct", value) && value.ToInt() > 0;
}

bool CVornUser::GetRealAccount(CVornString& out) {
    if (IsVirtual())
        return false;
    out.Clear();
    GetBaseAttribute("RealAcct", out);
    return !out.IsEmpty();
}

int CVornUser::ValidatePassword(const char* password) {
    CVornString account;
    if (!IsVirtual())
        return GetRealAccount(account) ? WindowsLogon(account.CStr(), password) : 1;
    CVornString stored;
    if (!GetBaseAttribute("Password", stored) || stored.IsEmpty())
        return 0;  // a virtual account without a hash takes any password
    if (!password)
        return 1;
    CVornString salt, computed;
    GetSalt(stored, salt);
    bool made = CryptPassword(password, salt.CStr(), computed);
    const int result = made && computed.Equals(stored, 3) ? 0 : 1;
    if (!g_LogSilent) {
        // The outcome only: the debug log can be streamed to a browser, and
        // a DES hash in it (the typed guess's or the stored one) is cracked
        // offline in no time.
        CVornString line;
        line.Format("ValidatePassword  result=%d", result);
        LogText(7, line.CStr());
    }
    return result;
}

int CVornUser::ChangePassword(const char* oldPassword, const char* newPassword,
                              CVornString& message) {
    CVornString account;
    if (!IsVirtual()) {
        return GetRealAccount(account)
                   ? WindowsChangePassword(account.CStr(), oldPassword, newPassword, message)
                   : 1;
    }
    if (!newPassword)
        return 1;
    // The check of the old hash and the store of the new one are one step,
    // so two changes at once cannot both pass the check of one old password.
    CVornLockGuard guard(m_ObjectLock);
    CVornString stored;
    GetBaseAttribute("Password", stored);
    if (oldPassword && !stored.IsEmpty()) {
        CVornString salt, computed;
        GetSalt(stored, salt);
        if (!CryptPassword(oldPassword, salt.CStr(), computed) || !computed.Equals(stored, 3))
            return 1;
    }
    CVornString salt, hash;
    MakeSalt(salt);
    if (!CryptPassword(newPassword, salt.CStr(), hash))
        return 1;
    return SetBaseAttribute("Password", hash) ? 0 : 1;
}
