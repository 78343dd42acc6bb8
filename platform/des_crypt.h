// Traditional DES crypt(3) password hashes, as stored for virtual accounts.
//
//   DesCrypt   the 13-character hash of a password with a two-character salt
#pragma once

namespace platform {

// Length of a traditional crypt(3) hash: 2 salt characters, 11 hash characters.
constexpr int kDesCryptLength = 13;

// Hashes password with the first two bytes of salt as crypt(3) does: only the
// first 8 password bytes count, and a salt byte that is missing (salt shorter
// than two bytes, or null) counts as 'A'. On success writes the 13 characters
// and a NUL into out and returns true. Returns false, with out an empty text,
// when a salt byte is outside ASCII (no crypt(3) salt character is). A null
// password is the empty password.
// REQUIRES: out holds kDesCryptLength + 1 bytes. Any thread may call.
bool DesCrypt(const char* password, const char* salt, char out[kDesCryptLength + 1]);

}  // namespace platform
