#include "core/md5.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace {

std::string Digest(const std::vector<std::string>& pieces) {
    CVornMD5 md5;
    for (const std::string& piece : pieces)
        md5.Update(CVornString(piece.data(), static_cast<int>(piece.size())));
    CVornString out;
    md5.HexDigest(out);
    return out.CStr();
}

const std::string kDigits80 =
    "12345678901234567890123456789012345678901234567890123456789012345678901234567890";

TEST(MD5, RfcTestSuiteDigests) {
    struct Case {
        std::string text;
        const char* digest;
    } cases[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         "d174ab98d277d9f5a5611c2c9f419d9f"},
        {kDigits80, "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const Case& c : cases) EXPECT_EQ(Digest({c.text}), c.digest) << '"' << c.text << '"';
}

TEST(MD5, PiecesAcrossBlockBoundariesGiveTheWholeTextsDigest) {
    const char* expected = "57edf4a22be3c955ac49da2e2107b67a";
    std::vector<std::string> bytes;
    for (char c : kDigits80) bytes.push_back(std::string(1, c));
    EXPECT_EQ(Digest(bytes), expected);
    EXPECT_EQ(Digest({kDigits80.substr(0, 63), kDigits80.substr(63)}), expected);
    EXPECT_EQ(Digest({kDigits80.substr(0, 64), "", kDigits80.substr(64)}), expected);
    EXPECT_EQ(Digest({kDigits80.substr(0, 65), kDigits80.substr(65)}), expected);
    // Longer than the reading buffer, and many blocks.
    EXPECT_EQ(Digest({std::string(1000000, 'a')}), "7707d6ae4e027c70eea2a935c2296f21");
}

TEST(MD5, NulBytesAreDigestedToo) {
    EXPECT_EQ(Digest({std::string("a\0b", 3)}), "70350f6027bce3713f6b76473084309b");
}

TEST(MD5, HexDigestReplacesTheOutputAndRepeatsTheSameDigest) {
    CVornMD5 md5;
    md5.Update(CVornString("abc"));
    CVornString out("left over");
    md5.HexDigest(out);
    EXPECT_STREQ(out.CStr(), "900150983cd24fb0d6963f7d28e17f72");
    // The object is finished: more text changes nothing, asking again gives
    // the same digest (not the digest of a cleared context).
    md5.Update(CVornString("more"));
    md5.HexDigest(out);
    EXPECT_STREQ(out.CStr(), "900150983cd24fb0d6963f7d28e17f72");
}

TEST(MD5, ConcurrentUpdatesEachEnterWhole) {
    // Identical pieces: whatever order the threads get, the digest is that of
    // the pieces one after another, unless two updates interleave.
    const std::string piece(1000, 'a');
    CVornMD5 md5;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            CVornString text(piece.data(), static_cast<int>(piece.size()));
            for (int i = 0; i < 250; ++i) md5.Update(text);
        });
    for (std::thread& t : threads) t.join();
    CVornString out;
    md5.HexDigest(out);
    EXPECT_STREQ(out.CStr(), "7707d6ae4e027c70eea2a935c2296f21");
}

}  // namespace
