// The process-wide pseudo-random sequence behind spool message names, salts
// and the template engine's random tag.
//
// A linear congruential generator (state = state * 22695477 + 1 modulo 2^32,
// result = bits 12 to 26 of the new state), seeded on first use with the
// current second of the library clock. Two processes that start drawing in
// the same second draw the same sequence, so it must never make anything
// whose guessing is an attack (session ids and DNS query ids use getrandom).
//
// Threads: any thread may draw; every draw holds the generator's lock, so all
// threads share the one sequence and no two draws see the same state.
#pragma once

// The next number, 0 to 32767.
int PseudoRandom();

// Forgets the seed, so that the next draw seeds from the clock again. For
// tests, which set the clock first (platform::SetTestTime).
void ResetPseudoRandom();
