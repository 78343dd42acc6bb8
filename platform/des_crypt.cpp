// Traditional DES crypt(3) through OpenSSL's DES_fcrypt.
//
//   DesCrypt   13-character hash of a password and a two-character salt
//
// Bad input: a salt shorter than two bytes is padded with 'A' (the classic
// crypt(3) reading of a missing salt character); a salt byte above 0x7F is
// refused with false. DES_fcrypt itself returns null for both cases, so
// neither ever reaches it unchecked.
#include "platform/des_crypt.h"

#include <string.h>

// OpenSSL 3 marks the DES functions deprecated; the stored hashes need
// exactly this algorithm, so the warning is silenced here.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/des.h>

namespace platform {

bool DesCrypt(const char* password, const char* salt, char out[kDesCryptLength + 1]) {
    out[0] = '\0';
    char saltBytes[3] = {'A', 'A', '\0'};
    for (int i = 0; i < 2 && salt && salt[i]; ++i) {
        if (static_cast<unsigned char>(salt[i]) > 0x7F)
            return false;
        saltBytes[i] = salt[i];
    }
    char result[kDesCryptLength + 1] = {};
    if (!DES_fcrypt(password ? password : "", saltBytes, result) ||
        strlen(result) != static_cast<size_t>(kDesCryptLength))
        return false;
    memcpy(out, result, sizeof result);
    return true;
}

}  // namespace platform
