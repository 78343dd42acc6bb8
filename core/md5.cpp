// MD5 digests (RFC 1321).
//
//   MD5Init / MD5Update / MD5Final / MD5Transform   the RFC's functions on a context
//   CVornMD5::Update                                 add a text's bytes to the digest
//   CVornMD5::HexDigest                              the digest as 32 lower-case hex digits
//
// Bad input: none is possible beyond a null pointer with a zero length, which
// MD5Update accepts. Text added after the digest was handed out is ignored
// (the context was cleared by the final step), and asking again gives the
// digest already made rather than the digest of a cleared context.
#include "core/md5.h"

#include <string.h>

namespace {

// floor(|sin(i + 1)| * 2^32), the per-step additive constants.
const uint32_t kSine[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391,
};

// Left-rotation amounts, four per round.
const int kShift[4][4] = {{7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};

uint32_t RotateLeft(uint32_t x, int n) {
    return (x << n) | (x >> (32 - n));
}

// The words of a block and the bit count are little-endian whatever the host.
void Decode(uint32_t* out, const unsigned char* in, int words) {
    for (int i = 0; i < words; ++i, in += 4)
        out[i] = uint32_t(in[0]) | (uint32_t(in[1]) << 8) | (uint32_t(in[2]) << 16) |
                 (uint32_t(in[3]) << 24);
}

void Encode(unsigned char* out, const uint32_t* in, int words) {
    for (int i = 0; i < words; ++i, out += 4) {
        out[0] = static_cast<unsigned char>(in[i]);
        out[1] = static_cast<unsigned char>(in[i] >> 8);
        out[2] = static_cast<unsigned char>(in[i] >> 16);
        out[3] = static_cast<unsigned char>(in[i] >> 24);
    }
}

const unsigned char kPadding[64] = {0x80};

}  // namespace

void MD5Init(VornMD5Context* context) {
    context->m_Count[0] = context->m_Count[1] = 0;
    context->m_State[0] = 0x67452301;
    context->m_State[1] = 0xefcdab89;
    context->m_State[2] = 0x98badcfe;
    context->m_State[3] = 0x10325476;
    memset(context->m_Buffer, 0, sizeof context->m_Buffer);
}

void MD5Transform(uint32_t state[4], const unsigned char block[64]) {
    uint32_t x[16];
    Decode(x, block, 16);
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    for (int i = 0; i < 64; ++i) {
        int round = i / 16;
        uint32_t f;
        int k;
        switch (round) {
            case 0:
                f = (b & c) | (~b & d);
                k = i;
                break;
            case 1:
                f = (b & d) | (c & ~d);
                k = (5 * i + 1) % 16;
                break;
            case 2:
                f = b ^ c ^ d;
                k = (3 * i + 5) % 16;
                break;
            default:
                f = c ^ (b | ~d);
                k = (7 * i) % 16;
                break;
        }
        uint32_t rotated = b + RotateLeft(a + f + x[k] + kSine[i], kShift[round][i % 4]);
        a = d;
        d = c;
        c = b;
        b = rotated;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    // The block's words may be key material: leave no copy on the stack.
    memset(x, 0, sizeof x);
}

void MD5Update(VornMD5Context* context, const unsigned char* input, unsigned int length) {
    unsigned int index = (context->m_Count[0] >> 3) & 0x3f;
    // The bit count is 64 bits wide, kept as two words.
    uint32_t bits = uint32_t(length) << 3;
    context->m_Count[0] += bits;
    if (context->m_Count[0] < bits)
        ++context->m_Count[1];
    context->m_Count[1] += uint32_t(length) >> 29;

    unsigned int partLength = 64 - index;
    unsigned int i = 0;
    if (length >= partLength) {
        memcpy(&context->m_Buffer[index], input, partLength);
        MD5Transform(context->m_State, context->m_Buffer);
        for (i = partLength; i + 63 < length; i += 64) MD5Transform(context->m_State, &input[i]);
        index = 0;
    }
    if (length > i)
        memcpy(&context->m_Buffer[index], &input[i], length - i);
}

void MD5Final(unsigned char digest[16], VornMD5Context* context) {
    unsigned char bits[8];
    Encode(bits, context->m_Count, 2);
    unsigned int index = (context->m_Count[0] >> 3) & 0x3f;
    unsigned int padLength = index < 56 ? 56 - index : 120 - index;
    MD5Update(context, kPadding, padLength);
    MD5Update(context, bits, 8);
    Encode(digest, context->m_State, 4);
    memset(context, 0, sizeof *context);
}

CVornMD5::CVornMD5() {
    MD5Init(&m_Context);
}

CVornMD5::~CVornMD5() = default;

void CVornMD5::Update(const CVornString& text) {
    CVornLockGuard guard(m_Lock);
    if (m_Finished)
        return;
    // Read through a small buffer under the text's lock, so the text is
    // neither copied whole nor changed while it is being read.
    text.Lock();
    unsigned char chunk[4096];
    int offset = 0;
    int length = text.Length();
    while (offset < length) {
        int n = length - offset < int(sizeof chunk) ? length - offset : int(sizeof chunk);
        if (!text.ReadBytes(offset, chunk, n))
            break;
        MD5Update(&m_Context, chunk, static_cast<unsigned int>(n));
    }
    text.Unlock();
}

void CVornMD5::HexDigest(CVornString& out) {
    CVornLockGuard guard(m_Lock);
    out.Clear();
    if (!m_Finished) {
        MD5Final(m_Digest, &m_Context);
        m_Finished = true;
    }
    static const char kHex[] = "0123456789abcdef";
    char hex[32];
    for (int i = 0; i < 16; ++i) {
        hex[2 * i] = kHex[m_Digest[i] >> 4];
        hex[2 * i + 1] = kHex[m_Digest[i] & 0x0f];
    }
    out.Append(hex, 32);
}
