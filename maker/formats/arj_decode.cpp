// Decoders of the ARJ compression methods (see arj_decode.h).
//
//   ArjExpand   methods 1 to 3 (block-wise static Huffman codes for
//               literals/lengths and distances, as in LHA's -lh6-) and
//               method 4 (unary-prefixed numbers, no Huffman codes)
//
// Both read the input as one stream of bits, most significant bit first.
// Huffman codes are canonical and decoded length by length from 16 bits of
// look-ahead; a code set that is over-full is refused, and a position that
// no code covers answers kDamaged when it is met.
//
// Bad input: every table size, code length and distance is checked before
// use; input past its end reads as zero bits and a stream that needs more
// than a few bytes beyond its end is damaged.

#include "maker/formats/arj_decode.h"

#include <array>
#include <vector>

namespace maker::formats {
namespace {

constexpr unsigned kWindow = 26624;
constexpr unsigned kThreshold = 3;
constexpr unsigned kMaxMatch = 256;
constexpr unsigned kNc = 255 + kMaxMatch + 2 - kThreshold;  // 510 literal/length codes
constexpr unsigned kNp = 17;                                // distance codes
constexpr unsigned kNt = 19;                                // code-length codes
constexpr unsigned kCBit = 9, kPBit = 5, kTBit = 5;

class BitReader {
public:
    BitReader(const unsigned char* in, std::size_t size) : m_In(in), m_Size(size) { Fill(16); }

    unsigned Peek16() const { return m_BitBuf; }
    unsigned Get(unsigned n) {
        if (n == 0) return 0;
        unsigned x = m_BitBuf >> (16 - n);
        Fill(n);
        return x;
    }
    void Fill(unsigned n) {
        m_BitBuf = (m_BitBuf << n) & 0xFFFF;
        while (n > m_BitCount) {
            n -= m_BitCount;
            m_BitBuf |= (m_SubBitBuf << n) & 0xFFFF;
            if (m_Pos < m_Size) {
                m_SubBitBuf = m_In[m_Pos];
            } else {
                m_SubBitBuf = 0;
                ++m_Overrun;
            }
            ++m_Pos;
            m_BitCount = 8;
        }
        m_BitCount -= n;
        m_BitBuf |= m_SubBitBuf >> m_BitCount;
    }
    // The look-ahead reads up to three bytes past the data legitimately.
    bool Overrun() const { return m_Overrun > 4; }

private:
    const unsigned char* m_In;
    std::size_t m_Size;
    std::size_t m_Pos = 0;
    unsigned m_BitBuf = 0;
    unsigned m_SubBitBuf = 0;
    unsigned m_BitCount = 0;
    unsigned m_Overrun = 0;
};

// A canonical prefix code (codes ordered by length, then by symbol),
// decoded from the next 16 bits of input one length at a time. Building
// costs only the symbols of the code, so an archive of many tiny blocks
// cannot make the decoder rebuild large tables for every few bytes.
class HuffmanTable {
public:
    // Every position decodes to `symbol` with no bits consumed.
    void SetSingle(unsigned symbol) {
        m_Single = true;
        m_SingleSymbol = static_cast<std::uint16_t>(symbol);
    }

    // False when the lengths over-fill the code space (not a prefix code).
    // An incomplete code is accepted; its unused codes are refused when met.
    bool Build(const unsigned char* lengths, unsigned count) {
        m_Single = false;
        m_Counts.fill(0);
        for (unsigned s = 0; s < count; ++s) ++m_Counts[lengths[s]];
        m_Counts[0] = 0;
        std::int32_t left = 1;
        for (unsigned len = 1; len <= 16; ++len) {
            left = left * 2 - m_Counts[len];
            if (left < 0) return false;
        }
        std::array<std::uint16_t, 18> offsets{};
        for (unsigned len = 1; len <= 16; ++len)
            offsets[len + 1] = static_cast<std::uint16_t>(offsets[len] + m_Counts[len]);
        m_Symbols.assign(offsets[17], 0);
        for (unsigned s = 0; s < count; ++s)
            if (lengths[s] != 0) m_Symbols[offsets[lengths[s]]++] = static_cast<std::uint16_t>(s);
        return true;
    }

    // The symbol at the reader's position, or -1 where no code lies.
    int Decode(BitReader& bits) const {
        if (m_Single) return m_SingleSymbol;
        unsigned ahead = bits.Peek16();
        std::int32_t code = 0, first = 0, index = 0;
        for (unsigned len = 1; len <= 16; ++len) {
            code |= static_cast<std::int32_t>((ahead >> (16 - len)) & 1);
            std::int32_t n = m_Counts[len];
            if (code - first < n) {
                bits.Fill(len);
                return m_Symbols[static_cast<std::size_t>(index + code - first)];
            }
            index += n;
            first = (first + n) << 1;
            code <<= 1;
        }
        return -1;
    }

private:
    bool m_Single = true;
    std::uint16_t m_SingleSymbol = 0;
    std::array<std::uint16_t, 17> m_Counts{};
    std::vector<std::uint16_t> m_Symbols;
};

// The output window: bytes go to the sink whenever it wraps.
class Window {
public:
    explicit Window(const ArjSink& sink) : m_Sink(sink), m_Text(kWindow) {}
    bool Put(unsigned char c) {
        m_Text[m_Pos++] = c;
        ++m_Total;
        if (m_Pos == kWindow) return Flush();
        return true;
    }
    // Copies length bytes from distance + 1 bytes back. False when the
    // distance reaches before the output's start or the sink stops.
    bool Copy(unsigned distance, unsigned length, bool& damaged) {
        if (distance >= kWindow || distance >= m_Total) {
            damaged = true;
            return false;
        }
        unsigned from = (m_Pos + kWindow - distance - 1) % kWindow;
        for (unsigned i = 0; i < length; ++i) {
            if (!Put(m_Text[from])) return false;
            if (++from == kWindow) from = 0;
        }
        return true;
    }
    bool Flush() {
        bool ok = m_Pos == 0 || m_Sink(m_Text.data(), m_Pos);
        m_Pos = 0;
        return ok;
    }

private:
    const ArjSink& m_Sink;
    std::vector<unsigned char> m_Text;
    unsigned m_Pos = 0;
    std::uint64_t m_Total = 0;
};

class HuffmanDecoder {
public:
    explicit HuffmanDecoder(BitReader& bits) : m_Bits(bits) {}

    // The next literal/length symbol, or -1 on damage.
    int DecodeC() {
        if (m_BlockSize == 0) {
            m_BlockSize = m_Bits.Get(16);
            if (!ReadPtLen(kNt, kTBit, 3) || !ReadCLen() || !ReadPtLen(kNp, kPBit, -1))
                return -1;
        }
        --m_BlockSize;
        return m_C.Decode(m_Bits);
    }

    // The next distance, or -1 on damage.
    int DecodeP() {
        int j = m_Pt.Decode(m_Bits);
        if (j < 0 || j >= static_cast<int>(kNp)) return -1;
        if (j == 0) return 0;
        --j;
        return (1 << j) + static_cast<int>(m_Bits.Get(static_cast<unsigned>(j)));
    }

private:
    bool ReadPtLen(unsigned nn, unsigned nbit, int special) {
        unsigned n = m_Bits.Get(nbit);
        std::array<unsigned char, kNt> len{};
        if (n == 0) {
            unsigned c = m_Bits.Get(nbit);
            if (c >= nn) return false;
            m_Pt.SetSingle(c);
            return true;
        }
        if (n > nn) return false;
        unsigned i = 0;
        while (i < n) {
            unsigned c = m_Bits.Peek16() >> 13;
            if (c == 7) {
                unsigned mask = 1u << 12;
                while (mask & m_Bits.Peek16()) {
                    mask >>= 1;
                    ++c;
                }
                if (c > 16) return false;
            }
            m_Bits.Fill(c < 7 ? 3 : c - 3);
            len[i++] = static_cast<unsigned char>(c);
            if (static_cast<int>(i) == special) {
                unsigned zeros = m_Bits.Get(2);
                if (i + zeros > nn) return false;
                while (zeros-- > 0) len[i++] = 0;
            }
        }
        return m_Pt.Build(len.data(), nn);
    }

    bool ReadCLen() {
        unsigned n = m_Bits.Get(kCBit);
        std::array<unsigned char, kNc> len{};
        if (n == 0) {
            unsigned c = m_Bits.Get(kCBit);
            if (c >= kNc) return false;
            m_C.SetSingle(c);
            return true;
        }
        if (n > kNc) return false;
        unsigned i = 0;
        while (i < n) {
            int c = m_Pt.Decode(m_Bits);
            if (c < 0 || c >= static_cast<int>(kNt)) return false;
            if (c <= 2) {
                unsigned zeros = c == 0 ? 1 : c == 1 ? m_Bits.Get(4) + 3 : m_Bits.Get(kCBit) + 20;
                if (i + zeros > kNc) return false;
                while (zeros-- > 0) len[i++] = 0;
            } else {
                len[i++] = static_cast<unsigned char>(c - 2);
            }
        }
        return m_C.Build(len.data(), kNc);
    }

    BitReader& m_Bits;
    unsigned m_BlockSize = 0;
    HuffmanTable m_C;
    HuffmanTable m_Pt;
};

ArjExpandResult ExpandHuffman(const unsigned char* in, std::size_t size, std::uint64_t expanded,
                              const ArjSink& sink) {
    BitReader bits(in, size);
    HuffmanDecoder decoder(bits);
    Window window(sink);
    std::uint64_t count = 0;
    bool damaged = false;
    while (count < expanded) {
        int c = decoder.DecodeC();
        if (c < 0 || bits.Overrun()) return ArjExpandResult::kDamaged;
        if (c <= 255) {
            if (!window.Put(static_cast<unsigned char>(c))) return ArjExpandResult::kStopped;
            ++count;
            continue;
        }
        unsigned length = static_cast<unsigned>(c) - (256 - kThreshold);
        int distance = decoder.DecodeP();
        if (distance < 0 || bits.Overrun()) return ArjExpandResult::kDamaged;
        if (length > expanded - count) length = static_cast<unsigned>(expanded - count);
        if (!window.Copy(static_cast<unsigned>(distance), length, damaged))
            return damaged ? ArjExpandResult::kDamaged : ArjExpandResult::kStopped;
        count += length;
    }
    return window.Flush() ? ArjExpandResult::kOk : ArjExpandResult::kStopped;
}

// A number of method 4: up to `stop - start` one-bits each add the next
// power of two (from 2^start), a zero-bit ends them, then `width` bits.
unsigned DecodeUnary(BitReader& bits, unsigned start, unsigned stop) {
    unsigned plus = 0, power = 1u << start, width = start;
    for (; width < stop; ++width) {
        if (bits.Get(1) == 0) break;
        plus += power;
        power <<= 1;
    }
    return plus + bits.Get(width);
}

ArjExpandResult ExpandFast(const unsigned char* in, std::size_t size, std::uint64_t expanded,
                           const ArjSink& sink) {
    BitReader bits(in, size);
    Window window(sink);
    std::uint64_t count = 0;
    bool damaged = false;
    while (count < expanded) {
        unsigned c = DecodeUnary(bits, 0, 7);
        if (bits.Overrun()) return ArjExpandResult::kDamaged;
        if (c == 0) {
            if (!window.Put(static_cast<unsigned char>(bits.Get(8))))
                return ArjExpandResult::kStopped;
            ++count;
            continue;
        }
        unsigned length = c - 1 + kThreshold;
        unsigned distance = DecodeUnary(bits, 9, 13);
        if (bits.Overrun()) return ArjExpandResult::kDamaged;
        if (length > expanded - count) length = static_cast<unsigned>(expanded - count);
        if (!window.Copy(distance, length, damaged))
            return damaged ? ArjExpandResult::kDamaged : ArjExpandResult::kStopped;
        count += length;
    }
    return window.Flush() ? ArjExpandResult::kOk : ArjExpandResult::kStopped;
}

}  // namespace

ArjExpandResult ArjExpand(int method, const unsigned char* in, std::size_t size,
                          std::uint64_t expanded, const ArjSink& sink) {
    if (method >= 1 && method <= 3) return ExpandHuffman(in, size, expanded, sink);
    if (method == 4) return ExpandFast(in, size, expanded, sink);
    return ArjExpandResult::kUnsupported;
}

}  // namespace maker::formats
