// Helpers for tests of the vorn library: the text a debug-log sink gathered,
// the code page and the pseudo-random sequence held for one test, and the
// loopback address as the network classes take it.
#pragma once

#include <sys/types.h>
#include <time.h>

#include <cstdint>
#include <string>

class CVornLogSink;
class CVornString;

namespace testsupport {

// Takes everything sink has gathered so far and returns it as bytes.
std::string TakeSinkText(CVornLogSink& sink);

// The bytes of s (its Length() bytes from CStr()).
std::string Text(CVornString& s);

// 127.0.0.1 in the form CVornHostAddress takes (as ParseDottedQuad gives it).
uint32_t LoopbackAddress();

// fork(2) for a test whose child goes on running library code without exec.
// The library's clock thread is stopped across the fork and restarted in the
// parent: a thread caught inside the allocator at the fork would leave its
// lock held for ever in the child (the sanitizers' allocator has no fork
// handlers). Returns what fork returns.
pid_t ForkWithoutThreads();

// Sets the process-wide code page to type for the length of a test and gives
// the one before back on destruction. Not copyable.
class CodePageGuard {
public:
    explicit CodePageGuard(int type = 0);
    ~CodePageGuard();
    CodePageGuard(const CodePageGuard&) = delete;
    CodePageGuard& operator=(const CodePageGuard&) = delete;

private:
    int m_Saved;
};

// Sets the test time to at and restarts the pseudo-random sequence, so that
// it draws the same numbers in every run; on destruction restarts the
// sequence again and clears the test time. Not copyable.
class SeededRandom {
public:
    explicit SeededRandom(time_t at);
    ~SeededRandom();
    SeededRandom(const SeededRandom&) = delete;
    SeededRandom& operator=(const SeededRandom&) = delete;
};

}  // namespace testsupport
