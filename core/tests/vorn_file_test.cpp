// The file interface: what the memory file and the disk file share, run over
// both. Differences between them are tested in their own test files.
#include "core/vorn_file.h"

#include <memory>
#include <string>
#include <vector>

#include "core/disk_file.h"
#include "core/memory_file.h"
#include "core/tests/file_fixture.h"

namespace {

using filetest::Str;

struct MemoryKind {
    static constexpr const char* kName = "(memoryfile)";
    static std::unique_ptr<CVornFile> Make(const std::string&, unsigned flags) {
        return std::make_unique<CVornMemoryFile>(flags);
    }
};

struct DiskKind {
    static std::unique_ptr<CVornFile> Make(const std::string& path, unsigned flags) {
        // The file exists, so that read-only objects can open it too.
        if (!std::filesystem::exists(path))
            filetest::WriteWhole(path, "");
        return std::make_unique<CVornDiskFile>(path.c_str(), flags);
    }
};

template <typename Kind>
class FileInterface : public filetest::FileTest {
protected:
    std::unique_ptr<CVornFile> Make(unsigned flags = 0) { return Kind::Make(Name(), flags); }
    // The name messages give the file.
    std::string Name() {
        if constexpr (std::is_same_v<Kind, MemoryKind>)
            return MemoryKind::kName;
        else
            return Path("f");
    }
    // An open file holding bytes, positioned at the start.
    std::unique_ptr<CVornFile> Holding(const std::string& bytes, unsigned flags = 0) {
        auto f = Make(flags);
        EXPECT_TRUE(f->Open());
        EXPECT_EQ(static_cast<int>(bytes.size()), f->Write(bytes.data(), bytes.size()));
        EXPECT_TRUE(f->Seek(0, 0));
        return f;
    }
    std::string All(CVornFile& f) {
        EXPECT_TRUE(f.Seek(0, 0));
        CVornString s;
        f.Read(s, 0);
        return Str(s);
    }
};

using Kinds = ::testing::Types<MemoryKind, DiskKind>;
struct KindNames {
    template <typename Kind>
    static std::string GetName(int) {
        return std::is_same_v<Kind, MemoryKind> ? "Memory" : "Disk";
    }
};
TYPED_TEST_SUITE(FileInterface, Kinds, KindNames);

TYPED_TEST(FileInterface, SeekPastTheEndThenWriteZeroFillsTheGap) {
    auto f = this->Make();
    ASSERT_TRUE(f->Open());
    EXPECT_EQ(3, f->Write("abc", 3));
    EXPECT_TRUE(f->Seek(5, 0));
    EXPECT_TRUE(f->PutChar('x'));
    EXPECT_EQ(6, f->Size());
    EXPECT_TRUE(f->IsEof());
    EXPECT_EQ(std::string("abc\0\0x", 6), this->All(*f));
}

// Reads and writes interleave at one position, whatever each one buffered.
TYPED_TEST(FileInterface, ReadsAndWritesShareOnePosition) {
    auto f = this->Holding("0123456789");
    char two[2];
    ASSERT_EQ(2, f->Read(two, 2));
    EXPECT_EQ(2, f->Write("ab", 2));
    ASSERT_EQ(2, f->Read(two, 2));
    EXPECT_EQ("45", std::string(two, 2));
    EXPECT_EQ(6, f->Tell());
    EXPECT_TRUE(f->Seek(-1, 2));
    char c = 0;
    EXPECT_TRUE(f->GetChar(c));
    EXPECT_EQ('9', c);
    EXPECT_FALSE(f->GetChar(c));
    EXPECT_TRUE(f->IsEof());
    EXPECT_EQ("01ab456789", this->All(*f));
}

TYPED_TEST(FileInterface, ReadStopsAtTheCountAndAtTheEnd) {
    auto f = this->Holding("hello");
    CVornString s;
    EXPECT_EQ(3, f->Read(s, 3));
    EXPECT_EQ("hel", Str(s));
    EXPECT_EQ(2, f->Read(s, 10));
    EXPECT_EQ("lo", Str(s));
    char buf[8];
    EXPECT_EQ(0, f->Read(buf, 8));
    EXPECT_TRUE(f->Close());
}

TYPED_TEST(FileInterface, AppendWritesAtTheEndWhereverThePositionWas) {
    auto f = this->Make(kFileAppend);
    ASSERT_TRUE(f->Open());
    EXPECT_EQ(3, f->Write("abc", 3));
    EXPECT_TRUE(f->Seek(0, 0));
    EXPECT_EQ(2, f->Write(CVornString("de")));
    EXPECT_EQ(5, f->Tell());
    EXPECT_EQ("abcde", this->All(*f));
}

TYPED_TEST(FileInterface, TruncateShortensAndZeroExtends) {
    auto f = this->Holding("hello");
    EXPECT_TRUE(f->Truncate(2));
    EXPECT_EQ(2, f->Size());
    EXPECT_TRUE(f->Truncate(4));
    EXPECT_EQ(std::string("he\0\0", 4), this->All(*f));
}

TYPED_TEST(FileInterface, ContentsSurviveCloseUnlessOpenedWithTruncate) {
    {
        auto f = this->Holding("kept");
        ASSERT_TRUE(f->Close());
        ASSERT_TRUE(f->Open());
        EXPECT_EQ("kept", this->All(*f));
    }
    auto f = this->Holding("gone", kFileTruncate);
    ASSERT_TRUE(f->Close());
    ASSERT_TRUE(f->Open());
    EXPECT_EQ(0, f->Size());
}

// Lines with either terminator, a CR LF split by the 4064-byte read chunk, a
// line longer than a chunk and an unterminated last line.
TYPED_TEST(FileInterface, ReadLineReturnsEachLineWithItsTerminator) {
    std::string content =
        std::string(4063, 'a') + "\r\n" + "b\r\n" + std::string(9000, 'c') + "\r\n" + "\n" + "tail";
    for (const char* term : {"\n", "\r\n"}) {
        SCOPED_TRACE(term);
        std::vector<std::string> expected;
        for (size_t start = 0; start < content.size();) {
            size_t hit = content.find(term, start);
            size_t end = hit == std::string::npos ? content.size() : hit + strlen(term);
            expected.push_back(content.substr(start, end - start));
            start = end;
        }
        auto f = this->Holding(content);
        CVornString line;
        std::vector<std::string> got;
        for (int n; (n = f->ReadLine(line, term)) > 0;) {
            EXPECT_EQ(n, line.Length());
            got.push_back(Str(line));
        }
        EXPECT_EQ(expected, got);
        EXPECT_EQ(0, line.Length());

        ASSERT_TRUE(f->Seek(0, 0));
        std::vector<char> buf(10000);
        got.clear();
        for (int n; (n = f->ReadLine(buf.data(), buf.size(), term)) > 0;) {
            EXPECT_EQ('\0', buf[n]);
            got.push_back(std::string(buf.data(), n));
        }
        EXPECT_EQ(expected, got);
        EXPECT_TRUE(f->IsEof());
    }
    EXPECT_TRUE(this->Events().empty());
}

// The buffer form stores at most size bytes and returns how many: a longer
// line comes in pieces, the rest by the next calls, and a NUL follows the
// stored bytes only where there is room for it.
TYPED_TEST(FileInterface, ALineLongerThanTheCallersBufferComesInPieces) {
    const std::string longLine = std::string(9000, 'q') + "\n";
    struct Case {
        const char* name;
        std::string content;
        const char* term;
        std::vector<int> sizes;            // the size of each call
        std::vector<std::string> pieces;   // what each call stores
    };
    const Case cases[] = {
        {"cut, then the rest", "abcd\nxy", "\n", {3, 8, 8, 8}, {"abc", "d\n", "xy", ""}},
        {"a line that fills the buffer exactly", "ab\ncd", "\n", {3, 2, 2}, {"ab\n", "cd", ""}},
        {"a terminator cut between two calls", "abcdef\r\nxy\r\n", "\r\n", {4, 3, 8},
         {"abcd", "ef\r", "\nxy\r\n"}},
        {"size 0 stores nothing and reads nothing", "ab\n", "\n", {0, 3}, {"", "ab\n"}},
        {"pieces across the disk file's read chunks", longLine + "z", "\n",
         {4000, 4000, 4000, 4000}, {longLine.substr(0, 4000), longLine.substr(4000, 4000),
                                    longLine.substr(8000), "z"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto f = this->Holding(c.content, kFileTruncate);
        int position = 0;
        for (size_t i = 0; i < c.sizes.size(); ++i) {
            SCOPED_TRACE(i);
            std::vector<char> buf(c.sizes[i] + 1, '#');
            int n = f->ReadLine(buf.data(), c.sizes[i], c.term);
            ASSERT_EQ(static_cast<int>(c.pieces[i].size()), n);
            EXPECT_EQ(c.pieces[i], std::string(buf.data(), n));
            EXPECT_EQ(n < c.sizes[i] ? '\0' : '#', buf[n]);
            position += n;
            EXPECT_EQ(position, f->Tell());
        }
    }
    EXPECT_TRUE(this->Events().empty());
}

TYPED_TEST(FileInterface, ReadOnlyRefusesWriteAndTruncate) {
    auto f = this->Make(kFileReadOnly);
    ASSERT_TRUE(f->Open());
    EXPECT_EQ(-1, f->Write("x", 1));
    EXPECT_EQ(-1, f->Write(CVornString("x")));
    EXPECT_FALSE(f->PutChar('x'));
    EXPECT_FALSE(f->Truncate(0));
    std::string m106 = "1:M106 (" + this->Name() + ")";
    EXPECT_EQ(std::vector<std::string>(4, m106), this->Events());
    EXPECT_EQ(0, f->Size());
}

TYPED_TEST(FileInterface, BadArgumentsAreRefusedWithTheirMessage) {
    auto f = this->Holding("data\n");
    char buf[4];
    CVornString s("unchanged");
    EXPECT_EQ(-1, f->Read(nullptr, 1));
    EXPECT_EQ(-1, f->Read(buf, -1));
    EXPECT_EQ(-1, f->Read(s, -2));
    EXPECT_EQ(-1, f->Write(nullptr, 1));
    EXPECT_EQ(-1, f->Write("x", -1));
    EXPECT_EQ(-1, f->ReadLine(buf, -1, "\n"));
    EXPECT_EQ(-1, f->ReadLine(nullptr, 4, "\n"));
    EXPECT_EQ(-1, f->ReadLine(buf, 4, ""));
    EXPECT_EQ(-1, f->ReadLine(s, nullptr));
    EXPECT_FALSE(f->Truncate(-3));
    const std::string n = this->Name();
    EXPECT_EQ((std::vector<std::string>{"1:M102 (" + n + ", 1)", "1:M102 (" + n + ", -1)",
                                        "1:M102 (" + n + ", -2)", "1:M103 (" + n + ", 1)",
                                        "1:M103 (" + n + ", -1)", "1:M104 (" + n + ", -1)",
                                        "1:M104 (" + n + ", 4)", "1:M104 (" + n + ", 4)",
                                        "1:M104 (" + n + ", 0)", "1:M105 (" + n + ", -3)"}),
              this->Events());
    EXPECT_EQ("unchanged", Str(s));
    EXPECT_EQ(0, f->Tell());
    EXPECT_EQ(5, f->Size());
}

TYPED_TEST(FileInterface, ClosedFileOperationsReport94AndOpenTwiceReports92) {
    auto f = this->Make();
    const std::string n = this->Name();
    EXPECT_FALSE(f->Close());
    char buf[2];
    CVornString s;
    EXPECT_EQ(-1, f->Read(buf, 1));
    EXPECT_EQ(-1, f->Write("x", 1));
    EXPECT_EQ(-1, f->ReadLine(s, "\n"));
    EXPECT_FALSE(f->Flush());
    EXPECT_FALSE(f->Truncate(0));
    EXPECT_FALSE(f->Seek(0, 0));
    EXPECT_EQ(-1, f->Tell());
    EXPECT_EQ((std::vector<std::string>{"2:M94 (Close, " + n + ")", "1:M94 (Read, " + n + ")",
                                        "1:M94 (Write, " + n + ")", "1:M94 (ReadLine, " + n + ")",
                                        "1:M94 (Flush, " + n + ")", "1:M94 (Truncate, " + n + ")",
                                        "1:M94 (Seek, " + n + ")", "1:M94 (Tell, " + n + ")"}),
              this->Events());
    EXPECT_EQ(0, f->Size());  // answered while closed

    ASSERT_TRUE(f->Open());
    EXPECT_FALSE(f->Open());
    EXPECT_TRUE(f->IsOpen());
    EXPECT_EQ(std::vector<std::string>{"1:M92 (" + n + ")"}, this->Events());
    EXPECT_TRUE(f->Close());
}

TYPED_TEST(FileInterface, DetachHandsOverTheOpenFileAtItsPosition) {
    auto f = this->Holding("hello");
    ASSERT_TRUE(f->Seek(2, 0));
    std::unique_ptr<CVornFile> taker(f->Detach());
    EXPECT_FALSE(f->IsOpen());
    ASSERT_TRUE(taker->IsOpen());
    EXPECT_EQ(2, taker->Tell());
    CVornString rest;
    EXPECT_EQ(3, taker->Read(rest, 0));
    EXPECT_EQ("llo", Str(rest));
    EXPECT_TRUE(taker->Close());
}

}  // namespace
