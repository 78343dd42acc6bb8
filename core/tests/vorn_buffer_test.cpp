#include "core/vorn_buffer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string Text(CVornString& s) {
    return std::string(s.CStr(), s.Length());
}

// The unread bytes, read without consuming them.
std::string Peek(CVornBuffer& buffer) {
    CVornString s;
    buffer.ReadAt(0, s, 0);
    return Text(s);
}

void Append(CVornBuffer& buffer, const std::string& bytes) {
    buffer.Append(bytes.data(), static_cast<int>(bytes.size()));
}

// Capacity of the buffer's storage (read through Detach, which ends the
// buffer's use of it).
int DetachCapacity(CVornBuffer& buffer) {
    int length = 0;
    int capacity = 0;
    delete[] static_cast<char*>(buffer.Detach(&length, &capacity));
    return capacity;
}

std::string Pattern(int n, int seed = 0) {
    std::string s;
    for (int i = 0; i < n; ++i) s.push_back(static_cast<char>('a' + (i + seed) % 26));
    return s;
}

TEST(VornBufferTest, GrowsInStepsOf4064) {
    struct Case {
        std::vector<int> appends;
        int capacity;
    };
    const Case cases[] = {
        {{10}, 4096},
        {{4064}, 4096},               // a shortfall of exactly one step
        {{4065}, 8160},               // two steps
        {{5000}, 8160},               // the smallest multiple of the step that covers it
        {{4000, 95}, 4096},           // length stays below the capacity
        {{4000, 96}, 8192},           // reaching the capacity grows
        {{3000, 3000, 3000}, 12288},  // 4096, 8192, 12288
        {{10, 9000}, 4096 + 8128 + 32},
    };
    for (const Case& c : cases) {
        CVornBuffer buffer;
        std::string all;
        for (int n : c.appends) {
            std::string piece = Pattern(n, static_cast<int>(all.size()));
            Append(buffer, piece);
            all += piece;
        }
        EXPECT_EQ(Peek(buffer), all);
        EXPECT_EQ(DetachCapacity(buffer), c.capacity) << c.appends.size() << " appends";
    }
}

TEST(VornBufferTest, ConsumedBytesAreDroppedOnlyOnceTheyPileUp) {
    struct Case {
        int consumed;
        int capacity;
    };
    // 6000 bytes in a buffer of 8192; then 3000 more do not fit.
    const Case cases[] = {
        {5000, 8192},   // 5000 consumed bytes are dropped instead of growing
        {4000, 12288},  // fewer than 4064 consumed: the buffer grows
    };
    for (const Case& c : cases) {
        CVornBuffer buffer;
        std::string all = Pattern(9000);
        Append(buffer, all.substr(0, 3000));
        Append(buffer, all.substr(3000, 3000));
        std::vector<char> sink(c.consumed);
        ASSERT_EQ(buffer.Read(sink.data(), c.consumed), c.consumed);
        Append(buffer, all.substr(6000));
        EXPECT_EQ(buffer.Available(), 9000 - c.consumed);
        EXPECT_EQ(Peek(buffer), all.substr(c.consumed));
        EXPECT_EQ(DetachCapacity(buffer), c.capacity) << c.consumed;
    }
}

TEST(VornBufferTest, ReserveMakesRoomOnceAndKeepsTheUnreadBytes) {
    struct Case {
        int before;    // bytes appended first
        int consumed;  // of them, read before reserving
        int reserve;   // unread bytes to make room for
        int capacity;  // after the reservation and filling up to it
    };
    const Case cases[] = {
        {0, 0, 100000, 100032},  // one block, not steps
        {10, 0, 100000, 100032}, // the data moves into it
        {6000, 5000, 3000, 8160},  // room behind the read bytes: kept
        {6000, 0, 3000, 8160},     // as many unread bytes there already
        {0, 0, 0, 0},              // nothing asked: no storage
        {100, 0, -5, 4096},        // a negative size is ignored
    };
    for (const Case& c : cases) {
        CVornBuffer buffer;
        std::string all = Pattern(std::max(c.before, c.consumed + c.reserve), 3);
        Append(buffer, all.substr(0, c.before));
        std::vector<char> sink(c.consumed + 1);
        ASSERT_EQ(buffer.Read(sink.data(), c.consumed), c.consumed);
        buffer.Reserve(c.reserve);
        EXPECT_EQ(Peek(buffer), all.substr(c.consumed, c.before - c.consumed));
        int room = buffer.Room();
        EXPECT_GE(room, c.reserve);
        // Filling the reserved room in small pieces never moves the block.
        for (int at = c.before; at < static_cast<int>(all.size()); at += 64)
            Append(buffer, all.substr(at, 64));
        EXPECT_EQ(buffer.Room(), room) << c.before << " " << c.reserve;
        EXPECT_EQ(Peek(buffer), all.substr(c.consumed));
        EXPECT_EQ(DetachCapacity(buffer), c.capacity) << c.before << " " << c.reserve;
    }
}

TEST(VornBufferTest, WritesWithinTheRoomKeepTheBlock) {
    CVornBuffer buffer;
    EXPECT_EQ(buffer.Room(), 0);
    Append(buffer, "abc");
    int room = buffer.Room();
    EXPECT_EQ(room, 4096 - 3);  // the string's grow rule keeps 3 bytes spare
    std::string tail(room - 3, 'x');
    ASSERT_EQ(buffer.WriteAt(3, tail.data(), static_cast<int>(tail.size())), room - 3);
    EXPECT_EQ(buffer.Room(), room);
    ASSERT_EQ(buffer.WriteAt(room, "y", 1), 1);  // one past the room grows
    EXPECT_GT(buffer.Room(), room);
    EXPECT_EQ(Peek(buffer), "abc" + tail + "y");
}

TEST(VornBufferTest, ReadTakesWhatIsThereAndNoMore) {
    CVornBuffer buffer;
    char out[16];
    EXPECT_EQ(buffer.Available(), 0);
    EXPECT_EQ(buffer.Read(out, 10), 0);

    Append(buffer, "0123456789");
    EXPECT_EQ(buffer.Read(out, 4), 4);
    EXPECT_EQ(std::string(out, 4), "0123");
    EXPECT_EQ(buffer.Available(), 6);

    // A request for 1 GB from 6 bytes must not reserve room for 1 GB.
    CVornString s("old");
    EXPECT_EQ(buffer.Read(s, 1 << 30), 6);
    EXPECT_EQ(Text(s), "456789");
    EXPECT_LT(s.Capacity(), 64);
    EXPECT_EQ(buffer.Read(s, 5), 0);
    EXPECT_TRUE(s.IsEmpty());

    CVornString keep("keep");
    EXPECT_EQ(buffer.Read(nullptr, 1), -1);
    EXPECT_EQ(buffer.Read(out, -1), -1);
    EXPECT_EQ(buffer.Read(keep, -1), -1);
    EXPECT_EQ(Text(keep), "keep");
}

TEST(VornBufferTest, ReadLineContinuesAnUnfinishedLine) {
    CVornBuffer buffer;
    CVornString line;
    Append(buffer, "ab\r\ncd");
    EXPECT_EQ(buffer.ReadLine(line, "\r\n", false), 4);
    EXPECT_EQ(Text(line), "ab\r\n");
    EXPECT_EQ(buffer.ReadLine(line, "\r\n", false), 0);
    EXPECT_EQ(Text(line), "cd");
    Append(buffer, "e\r\n");
    EXPECT_EQ(buffer.ReadLine(line, "\r\n", true), 5);
    EXPECT_EQ(Text(line), "cde\r\n");
    EXPECT_EQ(buffer.ReadLine(line, "\r\n", false), 0);
    EXPECT_TRUE(line.IsEmpty());

    // The terminator split between two refills completes only with its
    // second byte.
    Append(buffer, "ab\r");
    EXPECT_EQ(buffer.ReadLine(line, "\r\n", false), 0);
    EXPECT_EQ(Text(line), "ab\r");
    Append(buffer, "\ncd");
    EXPECT_EQ(buffer.ReadLine(line, "\r\n", true), 4);
    EXPECT_EQ(Text(line), "ab\r\n");
    EXPECT_EQ(Peek(buffer), "cd");

    EXPECT_EQ(buffer.ReadLine(line, nullptr, false), -1);
    EXPECT_EQ(buffer.ReadLine(line, "", false), -1);
    EXPECT_EQ(Peek(buffer), "cd");
}

// Feeds a stream in the given pieces and collects the lines the way the file
// and socket readers do: after a 0 result, refill and continue with append.
std::vector<std::string> LinesOfString(const std::vector<std::string>& pieces, const char* term) {
    CVornBuffer buffer;
    CVornString line;
    std::vector<std::string> lines;
    bool pending = false;
    for (const std::string& piece : pieces) {
        Append(buffer, piece);
        for (;;) {
            int n = buffer.ReadLine(line, term, pending);
            if (n <= 0) {
                pending = true;
                break;
            }
            EXPECT_EQ(n, line.Length());
            lines.push_back(Text(line));
            pending = false;
        }
    }
    if (pending && !line.IsEmpty())
        lines.push_back(Text(line));
    return lines;
}

std::vector<std::string> LinesOfBuf(const std::vector<std::string>& pieces, const char* term) {
    CVornBuffer buffer;
    char buf[64];
    std::vector<std::string> lines;
    bool pending = false;
    for (const std::string& piece : pieces) {
        Append(buffer, piece);
        for (;;) {
            int size = sizeof buf;
            int n = buffer.ReadLine(buf, &size, term, pending);
            EXPECT_EQ(static_cast<int>(std::strlen(buf)), size);
            if (n <= 0) {
                pending = true;
                break;
            }
            lines.push_back(std::string(buf, size));
            pending = false;
        }
    }
    if (pending && buf[0])
        lines.push_back(buf);
    return lines;
}

TEST(VornBufferTest, LinesComeOutWholeHoweverTheStreamIsCut) {
    struct Case {
        const char* term;
        std::string stream;
        std::vector<std::string> lines;
    };
    const Case cases[] = {
        {"\n", "one\ntwo\n\nthree", {"one\n", "two\n", "\n", "three"}},
        {"\r\n", "a\r\nb\rc\r\n\r\r\n\r\nend", {"a\r\n", "b\rc\r\n", "\r\r\n", "\r\n", "end"}},
        {"\r\n.\r\n", "x\r\n.y\r\n.\r\nz\r\n.\r\n", {"x\r\n.y\r\n.\r\n", "z\r\n.\r\n"}},
    };
    for (const Case& c : cases) {
        const std::string& s = c.stream;
        // Every cut into three pieces (empty pieces included).
        for (size_t i = 0; i <= s.size(); ++i) {
            for (size_t j = i; j <= s.size(); ++j) {
                std::vector<std::string> pieces = {s.substr(0, i), s.substr(i, j - i), s.substr(j)};
                EXPECT_EQ(LinesOfString(pieces, c.term), c.lines)
                    << c.term << " cut " << i << "," << j;
                EXPECT_EQ(LinesOfBuf(pieces, c.term), c.lines)
                    << c.term << " cut " << i << "," << j;
            }
        }
    }
}

TEST(VornBufferTest, ReadLineIntoCallerBufferStopsWhenFull) {
    CVornBuffer buffer;
    Append(buffer, "0123456789\n");
    char buf[8];
    int size = sizeof buf;
    EXPECT_EQ(buffer.ReadLine(buf, &size, "\n", false), 0);
    EXPECT_EQ(size, 7);
    EXPECT_STREQ(buf, "0123456");
    EXPECT_EQ(Peek(buffer), "789\n");

    // A caller buffer without a NUL is continued only within its size.
    std::unique_ptr<char[]> tight(new char[4]);
    std::memset(tight.get(), 'x', 4);
    size = 4;
    EXPECT_EQ(buffer.ReadLine(tight.get(), &size, "\n", true), 0);
    EXPECT_EQ(size, 3);
    EXPECT_STREQ(tight.get(), "xxx");

    // Size 0 leaves no room even for the NUL: nothing is written.
    buf[0] = '#';
    size = 0;
    EXPECT_EQ(buffer.ReadLine(buf, &size, "\n", false), 0);
    EXPECT_EQ(size, 0);
    EXPECT_EQ(buf[0], '#');

    size = sizeof buf;
    EXPECT_EQ(buffer.ReadLine(buf, &size, "\n", false), 4);
    EXPECT_STREQ(buf, "789\n");

    int negative = -1;
    size = sizeof buf;
    EXPECT_EQ(buffer.ReadLine(nullptr, &size, "\n", false), -1);
    EXPECT_EQ(buffer.ReadLine(buf, nullptr, "\n", false), -1);
    EXPECT_EQ(buffer.ReadLine(buf, &negative, "\n", false), -1);
    EXPECT_EQ(buffer.ReadLine(buf, &size, nullptr, false), -1);
    EXPECT_EQ(buffer.ReadLine(buf, &size, "", false), -1);
}

TEST(VornBufferTest, PositionsCountFromTheFirstUnreadByte) {
    CVornBuffer buffer;
    Append(buffer, "0123456789");
    char out[4];
    ASSERT_EQ(buffer.Read(out, 4), 4);

    CVornString s("keep");
    EXPECT_EQ(buffer.ReadAt(1, s, 2), 2);
    EXPECT_EQ(Text(s), "56");
    EXPECT_EQ(buffer.ReadAt(4, s, 0), 2);  // n <= 0: up to the end
    EXPECT_EQ(Text(s), "89");
    s.Assign("keep");
    EXPECT_EQ(buffer.ReadAt(6, s, 3), 0);  // at the end
    EXPECT_EQ(buffer.ReadAt(100, s, 0), 0);
    EXPECT_EQ(Text(s), "keep");
    EXPECT_EQ(buffer.ReadAt(2, out, 100), 4);
    EXPECT_EQ(std::string(out, 4), "6789");

    EXPECT_EQ(buffer.WriteAt(0, "X", 1), 1);
    EXPECT_EQ(Peek(buffer), "X56789");

    Append(buffer, "a\nb\n");
    CVornString line;
    EXPECT_EQ(buffer.ReadLineAt(6, line, "\n"), 2);
    EXPECT_EQ(Text(line), "a\n");
    char buf[8];
    int size = sizeof buf;
    EXPECT_EQ(buffer.ReadLineAt(8, buf, &size, "\n"), 2);
    EXPECT_STREQ(buf, "b\n");
    size = sizeof buf;
    EXPECT_EQ(buffer.ReadLineAt(10, buf, &size, "\n"), 0);
    EXPECT_EQ(size, 0);
    EXPECT_EQ(buffer.ReadLineAt(100, line, "\n"), 0);
    EXPECT_TRUE(line.IsEmpty());
    EXPECT_EQ(buffer.Available(), 10);  // nothing was consumed
}

TEST(VornBufferTest, GapsReadAsZero) {
    CVornBuffer buffer;
    EXPECT_EQ(buffer.WriteAt(10, "ab", 2), 2);
    EXPECT_EQ(Peek(buffer), std::string(10, '\0') + "ab");

    // Bytes left in the storage by cut data must not show through.
    CVornBuffer reused;
    EXPECT_EQ(reused.WriteAt(0, "abcdef", 6), 6);
    reused.Resize(0);
    EXPECT_EQ(reused.WriteAt(5, "z", 1), 1);
    EXPECT_EQ(Peek(reused), std::string(5, '\0') + "z");
    reused.Resize(2);
    reused.Resize(4);
    EXPECT_EQ(Peek(reused), std::string(4, '\0'));

    // A write inside the data neither cuts nor zeroes what follows.
    EXPECT_EQ(reused.WriteAt(1, CVornString("xy")), 2);
    EXPECT_EQ(Peek(reused), std::string("\0xy\0", 4));
}

TEST(VornBufferTest, TakeAllExchangesUnreadBytesWithTheString) {
    CVornBuffer buffer;
    Append(buffer, "--HELLO");
    char out[2];
    ASSERT_EQ(buffer.Read(out, 2), 2);
    CVornString s("old text");
    buffer.TakeAll(s);
    EXPECT_EQ(Text(s), "HELLO");
    EXPECT_EQ(buffer.Available(), 8);
    CVornString rest;
    EXPECT_EQ(buffer.Read(rest, 100), 8);
    EXPECT_EQ(Text(rest), "old text");

    CVornBuffer other;
    Append(other, "all of it");
    CVornString empty;
    other.TakeAll(empty);
    EXPECT_EQ(Text(empty), "all of it");
    EXPECT_EQ(other.Available(), 0);
    Append(other, "again");  // the buffer still works without storage
    EXPECT_EQ(Peek(other), "again");
}

TEST(VornBufferTest, StorageBlocksChangeHandsWithoutCopies) {
    CVornBuffer buffer;
    Append(buffer, "xxdata");
    char out[2];
    ASSERT_EQ(buffer.Read(out, 2), 2);
    int length = -1;
    int capacity = -1;
    char* block = static_cast<char*>(buffer.Detach(&length, &capacity));
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(std::string(block, length), "data");
    EXPECT_EQ(capacity, 4096);
    EXPECT_EQ(buffer.Available(), 0);
    EXPECT_EQ(buffer.Detach(nullptr, nullptr), nullptr);

    // Refused: the length does not fit the block; the caller keeps it.
    void* data = block;
    int badLength = capacity + 1;
    buffer.Adopt(&data, &badLength, &capacity);
    EXPECT_EQ(data, block);
    EXPECT_EQ(buffer.Available(), 0);

    buffer.Adopt(&data, &length, &capacity);
    EXPECT_EQ(data, nullptr);
    EXPECT_EQ(length, 0);
    EXPECT_EQ(capacity, 0);
    EXPECT_EQ(Peek(buffer), "data");

    CVornBuffer other;
    Append(other, "12345");
    ASSERT_EQ(other.Read(out, 2), 2);
    buffer.Swap(other);
    EXPECT_EQ(Peek(buffer), "345");
    EXPECT_EQ(Peek(other), "data");
    buffer.Swap(buffer);
    EXPECT_EQ(Peek(buffer), "345");
}

TEST(VornBufferTest, BadPositionsAndCountsAreRefused) {
    CVornBuffer buffer;
    Append(buffer, "0123456789");
    char out[16];
    char buf[8];
    CVornString s("keep");
    struct Case {
        const char* what;
        std::function<int()> call;
    };
    const Case cases[] = {
        {"ReadAt negative pos", [&] { return buffer.ReadAt(-1, out, 1); }},
        {"ReadAt negative n", [&] { return buffer.ReadAt(0, out, -1); }},
        {"ReadAt null dst", [&] { return buffer.ReadAt(0, nullptr, 1); }},
        {"ReadAt string negative pos", [&] { return buffer.ReadAt(-1, s, 1); }},
        {"WriteAt negative pos", [&] { return buffer.WriteAt(-1, "a", 1); }},
        {"WriteAt negative n", [&] { return buffer.WriteAt(0, "a", -1); }},
        {"WriteAt null bytes", [&] { return buffer.WriteAt(0, nullptr, 1); }},
        {"WriteAt end past int", [&] { return buffer.WriteAt(INT_MAX - 1, "ab", 2); }},
        {"WriteAt string end past int", [&] { return buffer.WriteAt(INT_MAX, s); }},
        {"ReadLineAt negative pos", [&] { return buffer.ReadLineAt(-1, s, "\n"); }},
        {"ReadLineAt buf negative pos",
         [&] {
             int size = sizeof buf;
             return buffer.ReadLineAt(-1, buf, &size, "\n");
         }},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.call(), -1) << c.what;
        EXPECT_EQ(Peek(buffer), "0123456789") << c.what;
        EXPECT_EQ(Text(s), "keep") << c.what;
    }
    buffer.Resize(-1);
    buffer.Append("x", -1);
    buffer.Append(nullptr, 1);
    EXPECT_EQ(Peek(buffer), "0123456789");

    // A large count near the end of the int range does not wrap.
    EXPECT_EQ(buffer.ReadAt(5, out, INT_MAX), 5);
    EXPECT_EQ(std::string(out, 5), "56789");
}

TEST(VornBufferTest, SizesBeyondTheIntRangeThrowAndKeepTheData) {
    CVornBuffer buffer;
    Append(buffer, "0123456789");
    // The bytes are never read: the size is refused first.
    EXPECT_THROW(buffer.Append("x", INT_MAX - 10), std::bad_alloc);
    EXPECT_THROW(buffer.Resize(INT_MAX), std::bad_alloc);
    EXPECT_THROW(buffer.WriteAt(INT_MAX - 10, "x", 1), std::bad_alloc);
    EXPECT_EQ(Peek(buffer), "0123456789");
    Append(buffer, "!");
    EXPECT_EQ(Peek(buffer), "0123456789!");
}

TEST(VornBufferTest, ConcurrentWriterAndLineReaderLoseNothing) {
    CVornBuffer buffer;
    const int lines = 2000;
    std::thread writer([&] {
        for (int i = 0; i < lines; ++i) Append(buffer, "line " + std::to_string(i) + "\r\n");
    });
    CVornString line;
    int got = 0;
    bool pending = false;
    // Bounded: the writer finishes in far fewer rounds than this.
    for (long round = 0; got < lines && round < 100000000; ++round) {
        int n = buffer.ReadLine(line, "\r\n", pending);
        if (n > 0) {
            ASSERT_EQ(Text(line), "line " + std::to_string(got) + "\r\n");
            ++got;
        }
        pending = n == 0;
    }
    writer.join();
    EXPECT_EQ(got, lines);
}

}  // namespace
