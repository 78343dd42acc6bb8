#include "platform/des_crypt.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct CryptCase {
    const char* password;
    const char* salt;
    const char* hash;
};

// Hashes from the C library's crypt(3).
const CryptCase kKnownHashes[] = {
    {"quendrial", "ab", "aboU3q/QE1.tE"},
    {"password", "Zz", "ZziFATVXHo2.6"},
    {"hello world", "./", "./KCkU8uoC6eg"},
    {"", "AA", "AA0iBY3PDwjYo"},
    {"a", "AA", "AAa6CzJlsalyo"},
    // Bytes above 0x7F in the password.
    {"p\xe4ss\x82\xa0", "Qx", "Qxm5hm.fQv5mI"},
    // Only the first 8 bytes count.
    {"12345678", "9x", "9x9iS7LwE.DUc"},
    {"123456789xyz", "9x", "9x9iS7LwE.DUc"},
    // Only the first 2 salt bytes count.
    {"quendrial", "aboU3q/QE1.tE", "aboU3q/QE1.tE"},
};

TEST(DesCryptTest, MatchesKnownCryptHashes) {
    for (const CryptCase& c : kKnownHashes) {
        char out[platform::kDesCryptLength + 1];
        ASSERT_TRUE(platform::DesCrypt(c.password, c.salt, out)) << c.password;
        EXPECT_STREQ(c.hash, out) << c.password << " / " << c.salt;
    }
}

TEST(DesCryptTest, MissingSaltCharactersCountAsA) {
    char full[platform::kDesCryptLength + 1];
    ASSERT_TRUE(platform::DesCrypt("x", "AA", full));
    for (const char* salt : {"", "A", static_cast<const char*>(nullptr)}) {
        char out[platform::kDesCryptLength + 1];
        ASSERT_TRUE(platform::DesCrypt("x", salt, out));
        EXPECT_STREQ(full, out);
    }
    char one[platform::kDesCryptLength + 1];
    char padded[platform::kDesCryptLength + 1];
    ASSERT_TRUE(platform::DesCrypt("x", "q", one));
    ASSERT_TRUE(platform::DesCrypt("x", "qA", padded));
    EXPECT_STREQ(padded, one);
    EXPECT_EQ(platform::kDesCryptLength, static_cast<int>(std::string(one).size()));
}

TEST(DesCryptTest, NonAsciiSaltIsRefusedWithEmptyResult) {
    for (const char* salt : {"\xe9"
                             "a",
                             "a\xe9", "\x82\xa0"}) {
        char out[platform::kDesCryptLength + 1] = "unchanged";
        EXPECT_FALSE(platform::DesCrypt("pw", salt, out));
        EXPECT_STREQ("", out);
    }
}

TEST(DesCryptTest, NullPasswordIsTheEmptyPassword) {
    char out[platform::kDesCryptLength + 1];
    ASSERT_TRUE(platform::DesCrypt(nullptr, "AA", out));
    EXPECT_STREQ("AA0iBY3PDwjYo", out);
}

}  // namespace
