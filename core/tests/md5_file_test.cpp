// MD5FileHex: the digest of a whole file, also one read in several pieces,
// and the empty result when the file cannot be opened.
#include "core/md5_file.h"

#include <string>

#include "core/md5.h"
#include "core/tests/file_fixture.h"

namespace {

using filetest::Str;
using filetest::WriteWhole;

class MD5FileTest : public filetest::FileTest {};

TEST_F(MD5FileTest, DigestOfAFileMatchesTheDigestOfItsBytes) {
    struct Case {
        std::string bytes;
        const char* digest;
    } cases[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"The quick brown fox jumps over the lazy dog", "9e107d9d372bb6826bd81d3542a419d6"},
    };
    for (const Case& c : cases) {
        WriteWhole(Path("f"), c.bytes);
        CVornString out("stale");
        MD5FileHex(Path("f").c_str(), out);
        EXPECT_EQ(c.digest, Str(out));
    }

    // Larger than one read piece, with every byte value.
    std::string big;
    for (int i = 0; i < 200000; ++i) big += static_cast<char>(i * 7 % 256);
    WriteWhole(Path("big"), big);
    CVornMD5 md5;
    md5.Update(CVornString(big.data(), static_cast<int>(big.size())));
    CVornString expected, out;
    md5.HexDigest(expected);
    MD5FileHex(Path("big").c_str(), out);
    EXPECT_EQ(Str(expected), Str(out));
}

TEST_F(MD5FileTest, AFileThatCannotBeOpenedLeavesTheStringEmpty) {
    CVornString out("stale");
    MD5FileHex(Path("missing").c_str(), out);
    EXPECT_TRUE(out.IsEmpty());
    EXPECT_EQ(
        std::vector<std::string>{"1:M93 (" + Path("missing") + ", " + std::to_string(ENOENT) + ")"},
        Events());
}

}  // namespace
