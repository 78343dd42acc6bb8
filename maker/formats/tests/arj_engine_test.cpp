// The ARJ reader: damaged, encrypted and hostile archives, and the
// decoders' robustness against random input.

#include <gtest/gtest.h>
#include <zlib.h>

#include "core/tests/support/temp_dir.h"
#include "maker/formats/arj_decode.h"
#include "maker/formats/format_engine.h"
#include "maker/formats/tests/support/format_fixtures.h"

using namespace maker;
using formattest::ReadAll;
using formattest::WriteAll;

namespace {

// clam.arj: main header at 0, the member's header at 0x36 (basic header of
// 0x38 bytes from 0x3A, its CRC after it), data from 0x7A.
constexpr std::size_t kMemberHeader = 0x36;
constexpr std::size_t kBasic = kMemberHeader + 4;

std::string FixHeaderCrc(std::string arj) {
    std::size_t size = static_cast<unsigned char>(arj[kMemberHeader + 2]) |
                       (static_cast<unsigned char>(arj[kMemberHeader + 3]) << 8);
    uLong crc = crc32(0, reinterpret_cast<const Bytef*>(arj.data() + kBasic),
                      static_cast<uInt>(size));
    for (int i = 0; i < 4; ++i) arj[kBasic + size + i] = static_cast<char>((crc >> (8 * i)) & 0xFF);
    return arj;
}

TEST(ArjEngine, HostileAndDamagedArchives) {
    testsupport::TempDir dir("formats");
    const std::string clam = ReadAll(formattest::ClamFile("clam.arj"));
    ASSERT_EQ(clam.substr(kMemberHeader, 2), "\x60\xea");
    auto edit = [&](std::size_t at, char value, bool fixCrc) {
        std::string s = clam;
        s[at] = value;
        return fixCrc ? FixHeaderCrc(s) : s;
    };
    std::string dataFlipped = clam;
    dataFlipped[0x90] ^= 0x10;
    std::string hugeSize = clam;
    hugeSize[kBasic + 19] = 0x7F;  // original size far past the bound
    hugeSize = FixHeaderCrc(hugeSize);
    struct {
        const char* what;
        std::string bytes;
        FormatStatus status;
        std::vector<FormatStatus> members;
    } cases[] = {
        {"truncated data", clam.substr(0, 0x100), FormatStatus::kDamaged, {FormatStatus::kDamaged}},
        {"truncated header", clam.substr(0, 0x50), FormatStatus::kDamaged, {}},
        {"header CRC broken", edit(kBasic + 20, 0x11, false), FormatStatus::kDamaged, {}},
        {"data changed", dataFlipped, FormatStatus::kDamaged, {FormatStatus::kDamaged}},
        {"garbled (encrypted)", edit(kBasic + 4, 0x11, true), FormatStatus::kEncrypted,
         {FormatStatus::kEncrypted}},
        {"unknown method", edit(kBasic + 5, 7, true), FormatStatus::kUnsupported,
         {FormatStatus::kUnsupported}},
        {"continued from another volume", edit(kBasic + 4, 0x18, true),
         FormatStatus::kUnsupported, {FormatStatus::kUnsupported}},
        {"huge declared size", hugeSize, FormatStatus::kLimitExceeded,
         {FormatStatus::kLimitExceeded}},
        {"garbage after the main header", clam.substr(0, kMemberHeader) + formattest::NoiseBytes(500),
         FormatStatus::kDamaged, {}},
    };
    for (auto& c : cases) {
        WriteAll(dir.Path("in.arj"), c.bytes);
        std::vector<Member> members;
        EXPECT_EQ(MakeArjEngine()->Extract(dir.Path("in.arj"), dir.Path("tmp"), {}, members),
                  c.status)
            << c.what;
        std::vector<FormatStatus> got;
        for (const Member& m : members) {
            got.push_back(m.status);
            EXPECT_EQ(m.name, "clam.exe") << c.what;
        }
        EXPECT_EQ(got, c.members) << c.what;
        EXPECT_TRUE(formattest::FilesIn(dir.Path("tmp")).empty()) << c.what;
    }
}

// Random input to every method stops cleanly within its bounds.
TEST(ArjExpand, RandomInputNeverReadsOrWritesOutOfBounds) {
    for (int method = 1; method <= 4; ++method) {
        for (std::uint32_t seed = 1; seed <= 40; ++seed) {
            std::string in = formattest::NoiseBytes(64 + seed * 37, seed * 11 + method);
            std::uint64_t produced = 0;
            auto result = formats::ArjExpand(
                method, reinterpret_cast<const unsigned char*>(in.data()), in.size(), 100000,
                [&](const unsigned char*, std::size_t n) {
                    produced += n;
                    return true;
                });
            EXPECT_LE(produced, 100000u);
            if (result == formats::ArjExpandResult::kOk) {
                EXPECT_EQ(produced, 100000u);
            }
        }
    }
    EXPECT_EQ(formats::ArjExpand(5, nullptr, 0, 1, [](const unsigned char*, std::size_t) {
                  return true;
              }),
              formats::ArjExpandResult::kUnsupported);
}

}  // namespace
