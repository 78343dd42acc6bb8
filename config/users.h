// Users' passwords and the system accounts they may stand for.
//
// A user (CVornUser, config/config_object.h) is either a virtual account,
// "VirtualAcct" above 0, whose password is kept as a traditional DES crypt(3)
// hash in "Password", or it stands for a system account named by "RealAcct"
// ("domain\user" or "user"), whose password the machine's account services
// check (platform/accounts.h). The CVornUser members ValidatePassword and
// ChangePassword are defined in config/users.cpp on top of the functions
// below.
//
// Threads: none of these functions keeps state; any thread may call them at
// the same time. The user members take the object's lock for each attribute
// access (and hold it across a virtual account's check-and-store).
#pragma once

#include "core/vorn_list.h"
#include "core/vorn_string.h"

// The characters of the salts this system makes (crypt(3) would also accept
// '.' and '/').
constexpr const char kSaltAlphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
constexpr int kSaltAlphabetSize = sizeof kSaltAlphabet - 1;

// Account and password texts of this length or more are refused before the
// account services are asked.
constexpr int kMaxAccountTextLength = 1023;

// salt = the first 2 bytes of hash when it has at least 2; otherwise salt is
// left as it was.
void GetSalt(const CVornString& hash, CVornString& salt);

// salt = 2 characters of kSaltAlphabet, each at index PseudoRandom() modulo
// 62, the first drawn first.
void MakeSalt(CVornString& salt);

// out = the 13-character DES crypt(3) hash of password with the first two
// bytes of salt: only the first 8 password bytes count, a missing salt byte
// counts as 'A', a null password or salt is empty. True on success; false,
// out empty, when a salt byte is not ASCII.
bool CryptPassword(const char* password, const char* salt, CVornString& out);

// Splits account at its first single-byte '\' (a trail byte of a double-byte
// character never counts): domain = the text before it, user = the text after
// it, true. Without one: domain empty, user = the whole text, false. A null
// account is the empty text.
bool SplitAccount(const char* account, CVornString& domain, CVornString& user);

// 0 when the system accepts password for account ("domain\user" or "user";
// the domain is "." or this machine's name, see platform/accounts.h), 1
// otherwise. A null text, or an account or password of kMaxAccountTextLength
// bytes or more, is refused without asking.
int WindowsLogon(const char* account, const char* password);

// Changing a system account's password is not offered on this platform:
// empties message and returns 1 (also for null or overlong texts).
int WindowsChangePassword(const char* account, const char* oldPassword, const char* newPassword,
                          CVornString& message);

// Empties names, then inserts ".\" + the name of each local account of a
// person (platform::ListLocalAccounts) in the list's order; returns 0.
// REQUIRES: names has its comparison callback (else the list throws
// CVornException 62 at the first insert).
int ListDomainUsers(CVornSortedList<CVornString>& names);

// fullName = the full name of account (without a domain the domain is ".");
// left unchanged when the account is null, longer than 1022 bytes, unknown,
// or its full name has 1024 characters or more. Nothing is reported.
void GetAccountFullName(const char* account, CVornString& fullName);
