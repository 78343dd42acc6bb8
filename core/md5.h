// MD5 digests (RFC 1321) of text, given as 32 lower-case hex digits.
//
// CVornMD5 feeds one digest from any number of Update calls and hands it out
// with HexDigest. The RFC 1321 functions on a bare context are public too.
//
// Threads: every CVornMD5 operation holds the object's lock, so one digest may
// be fed from several threads (the bytes then enter in the order of the
// calls). The free functions take no lock; their caller owns the context.
#pragma once

#include <stdint.h>

#include "core/vorn_lock.h"
#include "core/vorn_string.h"

// The MD5 context of RFC 1321: four state words, the bit count (low word
// first) and the partial input block.
struct VornMD5Context {
    uint32_t m_State[4];
    uint32_t m_Count[2];
    unsigned char m_Buffer[64];
};

// Starts a context.
void MD5Init(VornMD5Context* context);
// Adds length bytes of input (input may be null when length is 0).
void MD5Update(VornMD5Context* context, const unsigned char* input, unsigned int length);
// Pads, writes the 16 digest bytes and clears the context to zero bytes; the
// context must be started again before further use.
void MD5Final(unsigned char digest[16], VornMD5Context* context);
// One 64-byte block into the state.
void MD5Transform(uint32_t state[4], const unsigned char block[64]);

class CVornMD5 {
public:
    CVornMD5();
    virtual ~CVornMD5();
    CVornMD5(const CVornMD5&) = delete;
    CVornMD5& operator=(const CVornMD5&) = delete;

    // Adds the text's bytes (all Length() of them, NUL bytes included). Once
    // the digest has been handed out the object is finished and further text
    // is ignored: one object serves one digest.
    void Update(const CVornString& text);

    // out = the digest as 32 lower-case hex digits, two per byte in digest
    // order. The first call finishes the digest; later calls give the same
    // digest again.
    void HexDigest(CVornString& out);

private:
    CVornLock m_Lock{true};
    VornMD5Context m_Context;
    bool m_Finished = false;
    unsigned char m_Digest[16] = {};
};
