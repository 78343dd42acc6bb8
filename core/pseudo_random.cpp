// The process-wide pseudo-random sequence.
//
//   PseudoRandom        the next number, 0 to 32767 (seeds from Now() on first use)
//   ResetPseudoRandom   forget the seed (tests)
//
// Bad input: none; the functions take no arguments and cannot fail.
#include "core/pseudo_random.h"

#include <stdint.h>

#include "core/clock.h"
#include "core/vorn_lock.h"

namespace {

struct RandomState {
    CVornLock m_Lock{true};
    uint32_t m_State = 0;
    bool m_Seeded = false;
};

// Never destroyed: detached threads may still draw while the process exits.
RandomState& State() {
    static RandomState* state = new RandomState;
    return *state;
}

}  // namespace

int PseudoRandom() {
    RandomState& s = State();
    CVornLockGuard guard(s.m_Lock);
    uint32_t x = s.m_Seeded ? s.m_State : static_cast<uint32_t>(Now());
    x = x * 22695477u + 1u;
    s.m_State = x;
    s.m_Seeded = true;
    return static_cast<int>((x >> 12) & 0x7fff);
}

void ResetPseudoRandom() {
    RandomState& s = State();
    CVornLockGuard guard(s.m_Lock);
    s.m_Seeded = false;
    s.m_State = 0;
}
