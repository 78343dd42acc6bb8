// The LZ (SZDD), TNEF and RTF readers: names, bounds and damaged input.

#include <gtest/gtest.h>

#include "core/tests/support/temp_dir.h"
#include "maker/formats/format_engine.h"
#include "maker/formats/tests/support/format_fixtures.h"

using namespace maker;
using formattest::ReadAll;
using formattest::WriteAll;

namespace {

void Le32(std::string& s, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) s.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}
void Le16(std::string& s, std::uint16_t v) {
    s.push_back(static_cast<char>(v & 0xFF));
    s.push_back(static_cast<char>(v >> 8));
}

// An SZDD file declaring `declared` bytes whose data are the literals of
// `data` (a flag byte of all ones before each eight).
std::string Szdd(const std::string& data, std::uint32_t declared, char method = 'A') {
    std::string out("SZDD\x88\xf0\x27\x33", 8);
    out.push_back(method);
    out.push_back('e');
    Le32(out, declared);
    for (std::size_t i = 0; i < data.size(); i += 8) {
        out.push_back('\xff');
        out += data.substr(i, 8);
    }
    return out;
}

std::vector<FormatStatus> Statuses(const std::vector<Member>& members) {
    std::vector<FormatStatus> out;
    for (const Member& m : members) out.push_back(m.status);
    return out;
}

TEST(LzEngine, LiteralsMatchesAndFaults) {
    testsupport::TempDir dir("formats");
    // "abcabcabcabc": three literals, then a match of 9 from the window
    // position where writing started (4096 - 16).
    std::string matched("SZDD\x88\xf0\x27\x33" "A_", 10);
    Le32(matched, 12);
    matched += std::string("\x07" "abc", 4);
    matched.push_back(static_cast<char>(0xF0));
    matched.push_back(static_cast<char>(0xF6));  // position 0xFF0, length 6 + 3
    ExtractLimits small;
    small.maxMemberBytes = 100;
    struct {
        const char* what;
        std::string bytes;
        ExtractLimits limits;
        FormatStatus status;
        std::string data;
    } cases[] = {
        {"matches", matched, {}, FormatStatus::kOk, "abcabcabcabc"},
        {"literals", Szdd("literal bytes only", 18), {}, FormatStatus::kOk, "literal bytes only"},
        {"data past the declared size is ignored", Szdd("abcdefgh", 4), {}, FormatStatus::kOk, "abcd"},
        {"truncated", Szdd("abcdefgh", 20), {}, FormatStatus::kDamaged, ""},
        {"header cut", Szdd("", 0).substr(0, 11), {}, FormatStatus::kDamaged, ""},
        {"other method", Szdd("abc", 3, 'B'), {}, FormatStatus::kUnsupported, ""},
        {"declared past the bound", Szdd("abc", 1000), small, FormatStatus::kLimitExceeded, ""},
    };
    for (auto& c : cases) {
        WriteAll(dir.Path("in"), c.bytes);
        std::vector<Member> members;
        EXPECT_EQ(MakeLzEngine()->Extract(dir.Path("in"), dir.Path("tmp"), c.limits, members),
                  c.status)
            << c.what;
        if (c.status == FormatStatus::kOk) {
            ASSERT_EQ(members.size(), 1u);
            EXPECT_EQ(ReadAll(members[0].dataFile), c.data) << c.what;
            EXPECT_EQ(members[0].name, "");
            ::unlink(members[0].dataFile.c_str());
        } else if (!members.empty()) {
            EXPECT_EQ(Statuses(members), std::vector<FormatStatus>{c.status}) << c.what;
        }
        EXPECT_TRUE(formattest::FilesIn(dir.Path("tmp")).empty()) << c.what;
    }
}

// A TNEF stream with one attachment per (title, data) pair.
std::string Tnef(const std::vector<std::pair<std::string, std::string>>& attachments) {
    std::string out;
    Le32(out, 0x223E9F78);
    Le16(out, 0x1234);
    auto attr = [&](int level, std::uint32_t id, const std::string& data) {
        out.push_back(static_cast<char>(level));
        Le32(out, id);
        Le32(out, static_cast<std::uint32_t>(data.size()));
        out += data;
        std::uint16_t sum = 0;
        for (unsigned char c : data) sum = static_cast<std::uint16_t>(sum + c);
        Le16(out, sum);
    };
    attr(1, 0x00089006, std::string(4, '\0'));      // message class
    attr(1, 0x00018004, std::string("Subject\0", 8));  // subject
    for (auto& [title, data] : attachments) {
        attr(2, 0x00069002, std::string(14, '\0'));    // rendering data
        attr(2, 0x00018010, title + '\0');
        attr(2, 0x0006800F, data);
    }
    return out;
}

TEST(TnefEngine, AttachmentsFaultsAndBounds) {
    testsupport::TempDir dir("formats");
    std::string two = Tnef({{"report.doc", "document bytes"}, {"../../x", "second"}});
    ExtractLimits oneMember;
    oneMember.maxMembers = 1;
    struct {
        const char* what;
        std::string bytes;
        ExtractLimits limits;
        FormatStatus status;
        std::vector<std::string> names;
    } cases[] = {
        {"two attachments", two, {}, FormatStatus::kOk, {"report.doc", "../../x"}},
        {"truncated in the second", two.substr(0, two.size() - 4), {}, FormatStatus::kDamaged,
         {"report.doc"}},
        {"member count", two, oneMember, FormatStatus::kLimitExceeded, {"report.doc"}},
        {"huge attribute length",
         two.substr(0, 6) + std::string("\x01\x06\x90\x08\x00\xff\xff\xff\x7f", 9) + "xx", {},
         FormatStatus::kDamaged, {}},
    };
    for (auto& c : cases) {
        WriteAll(dir.Path("in"), c.bytes);
        std::vector<Member> members;
        EXPECT_EQ(MakeTnefEngine()->Extract(dir.Path("in"), dir.Path("tmp"), c.limits, members),
                  c.status)
            << c.what;
        std::vector<std::string> names;
        for (const Member& m : members) {
            if (m.status != FormatStatus::kOk) continue;
            names.push_back(m.name);
            ::unlink(m.dataFile.c_str());
        }
        EXPECT_EQ(names, c.names) << c.what;
        EXPECT_TRUE(formattest::FilesIn(dir.Path("tmp")).empty()) << c.what;
    }
    WriteAll(dir.Path("in"), two);
    std::vector<Member> members;
    ASSERT_EQ(MakeTnefEngine()->Extract(dir.Path("in"), dir.Path("tmp"), {}, members),
              FormatStatus::kOk);
    EXPECT_EQ(ReadAll(members[0].dataFile), "document bytes");
    EXPECT_EQ(ReadAll(members[1].dataFile), "second");
    EXPECT_FALSE(MakeTnefEngine()->CanRemoveMembers());
}

std::string Hex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out.push_back(digits[c >> 4]);
        out.push_back(digits[c & 15]);
    }
    return out;
}

// An OLE1 embedded object of the class with the given native data.
std::string Ole1(const std::string& className, const std::string& native) {
    std::string out;
    Le32(out, 0x0501);
    Le32(out, 2);
    Le32(out, static_cast<std::uint32_t>(className.size() + 1));
    out += className + '\0';
    Le32(out, 0);
    Le32(out, 0);
    Le32(out, static_cast<std::uint32_t>(native.size()));
    return out + native;
}

TEST(RtfEngine, ObjectsFaultsAndBounds) {
    testsupport::TempDir dir("formats");
    std::string hex = Hex(Ole1("Word.Document.8", "native word bytes"));
    // Blanks, line breaks, a control word and a group between the digits.
    std::string scattered = hex.substr(0, 10) + " \r\n" + hex.substr(10, 10) + "\\par " +
                            hex.substr(20, 6) + "{\\*\\junk}" + hex.substr(26);
    std::string doc = "{\\rtf1\\ansi text {\\object\\objemb{\\*\\objclass Word.Document.8}"
                      "{\\*\\objdata " + scattered + "}} more text}";
    std::string cut = Hex(Ole1("Word.Document.8", "native word bytes"));
    cut = cut.substr(0, cut.size() - 10);
    ExtractLimits small;
    small.maxMemberBytes = 4;
    struct {
        const char* what;
        std::string bytes;
        ExtractLimits limits;
        FormatStatus status;
        std::vector<FormatStatus> members;
    } cases[] = {
        {"scattered digits", doc, {}, FormatStatus::kOk, {FormatStatus::kOk}},
        {"object cut short", "{\\rtf1{\\object{\\*\\objdata " + cut + "}}}", {},
         FormatStatus::kDamaged, {FormatStatus::kDamaged}},
        {"raw bytes after \\bin",
         "{\\rtf1{\\object{\\*\\objdata " + hex.substr(0, 20) + "\\bin" +
             std::to_string(hex.size() / 2 - 10) + " " +
             Ole1("Word.Document.8", "native word bytes").substr(10) + "}}}",
         {}, FormatStatus::kOk, {FormatStatus::kOk}},
        {"no objects", "{\\rtf1 plain \\objdatax text}", {}, FormatStatus::kOk, {}},
        {"member bound", doc, small, FormatStatus::kLimitExceeded, {FormatStatus::kLimitExceeded}},
    };
    for (auto& c : cases) {
        WriteAll(dir.Path("in"), c.bytes);
        std::vector<Member> members;
        EXPECT_EQ(MakeRtfEngine()->Extract(dir.Path("in"), dir.Path("tmp"), c.limits, members),
                  c.status)
            << c.what;
        EXPECT_EQ(Statuses(members), c.members) << c.what;
        for (const Member& m : members) {
            if (m.status != FormatStatus::kOk) continue;
            EXPECT_EQ(m.name, "Word.Document.8");
            EXPECT_EQ(ReadAll(m.dataFile), "native word bytes");
            ::unlink(m.dataFile.c_str());
        }
        EXPECT_TRUE(formattest::FilesIn(dir.Path("tmp")).empty()) << c.what;
    }
}

}  // namespace
