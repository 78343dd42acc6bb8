// Test helpers over the vorn library: TakeSinkText, Text, LoopbackAddress,
// ForkWithoutThreads, CodePageGuard and SeededRandom (see the header).
#include "core/tests/support/vorn_helpers.h"

#include <unistd.h>

#include "core/clock.h"
#include "core/code_page.h"
#include "core/debug_log.h"
#include "core/pseudo_random.h"
#include "core/vorn_buffer.h"
#include "core/vorn_string.h"
#include "net/host_address.h"
#include "platform/clock.h"

namespace testsupport {

pid_t ForkWithoutThreads() {
    StopClock();
    pid_t pid = fork();
    if (pid != 0)
        ResetClock();
    return pid;
}


std::string TakeSinkText(CVornLogSink& sink) {
    CVornBuffer buffer;
    sink.TakeText(buffer);
    std::string text(static_cast<size_t>(buffer.Available()), '\0');
    buffer.Read(text.data(), static_cast<int>(text.size()));
    return text;
}

std::string Text(CVornString& s) {
    return std::string(s.CStr(), s.Length());
}

uint32_t LoopbackAddress() {
    int address = 0;
    ParseDottedQuad(CVornString("127.0.0.1"), &address);
    return static_cast<uint32_t>(address);
}

CodePageGuard::CodePageGuard(int type) : m_Saved(g_CodePage.GetType()) {
    g_CodePage.SetType(type);
}

CodePageGuard::~CodePageGuard() {
    g_CodePage.SetType(m_Saved);
}

SeededRandom::SeededRandom(time_t at) {
    platform::SetTestTime(at);
    ResetPseudoRandom();
}

SeededRandom::~SeededRandom() {
    ResetPseudoRandom();
    platform::ClearTestTime();
}

}  // namespace testsupport
