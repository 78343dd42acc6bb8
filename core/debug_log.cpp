// The debug log: one-line texts with a level, written to standard error up
// to the console level and appended to in-memory capture sinks.
//
//   LogText / LogMessage / LogFormat   compose one line and dispatch it
//   FormatLogLine                      "YYYYMMDD HHMMSS LEVEL    tid text"
//   DispatchLogLine                    line bytes to stderr and the sinks
//   SetConsoleLogLevel                 console level, keeps g_LogSilent
//   CVornLogSink                       capture sink (Append, TakeText)
//
// Bad input: a null text logs the prefix alone; a null format counts as the
// empty text; control bytes in a text are written as octal escapes, so a
// text can never start a new line; a format that does not take exactly one
// string is not used as a format. Memory exhaustion drops the line.
#include "core/debug_log.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "core/clock.h"
#include "core/format_check.h"
#include "core/message_catalog.h"
#include "core/vorn_buffer.h"
#include "core/vorn_string.h"
#include "platform/threads.h"

std::atomic<int> g_ConsoleLogLevel{0};
std::atomic<bool> g_LogSilent{true};

namespace {

struct LogState {
    CVornLock lock;  // console level changes, the sink list, every write
    CVornLogSink* sinks = nullptr;
};

// Made on first use and never destroyed: detached threads may log while
// the process exits.
LogState& logState() {
    static LogState* s = new LogState;
    return *s;
}

const char* levelName(int level) {
    static const char* const kNames[] = {"none    ", "FATAL   ", "CRITICAL", "ERROR   ",
                                         "WARNING ", "NOTICE  ", "INFO    ", "DEBUG   "};
    return level >= 0 && level <= 7 ? kNames[level] : kNames[0];
}

constexpr int kSinkStep = 4096;

}  // namespace

void FormatLogLine(int level, const char* text, CVornString& out) {
    size_t textLength = text ? strlen(text) : 0;
    long long reserve = 100 + 4LL * static_cast<long long>(textLength);
    out.Clear();
    // A text too long for any line is left to the string's own limit.
    out.Reserve(reserve < 0x7fffffffLL ? static_cast<int>(reserve) : 0x7fffffff);

    int date = 0, time = 0;
    NowPacked(&date, &time);
    char head[64];
    int n = snprintf(head, sizeof head, "%08d %06d %s", date, time, levelName(level));
    out.Append(head, n);
    if (text == nullptr)
        return;

    n = snprintf(head, sizeof head, " %lu ", platform::CurrentThreadId());
    out.Append(head, n);
    // Printable runs go in whole; every other byte becomes "\ooo".
    const char* run = text;
    for (const char* p = text; *p; ++p) {
        if (isprint(static_cast<unsigned char>(*p)))
            continue;
        out.Append(run, static_cast<int>(p - run));
        n = snprintf(head, sizeof head, "\\%03o", static_cast<unsigned char>(*p));
        out.Append(head, n);
        run = p + 1;
    }
    out.Append(run, static_cast<int>(text + textLength - run));
}

void DispatchLogLine(int level, const char* line, int length) {
    if (level <= 0 || line == nullptr || length <= 0)
        return;
    LogState& state = logState();
    CVornLockGuard hold(state.lock);
    if (level <= g_ConsoleLogLevel)
        fwrite(line, 1, static_cast<size_t>(length), stderr);
    for (CVornLogSink* sink = state.sinks; sink != nullptr; sink = sink->m_Next) {
        if (sink->m_Level >= level)
            sink->Append(line, length);
    }
}

void LogText(int level, const char* text) {
    if (level <= 0)
        return;
    try {
        CVornString line(CVornString::kUnlocked);
        FormatLogLine(level, text, line);
        line.TrimRight("\r\n");
        line.Append("\r\n", 2);
        DispatchLogLine(level, line.CStr(), line.Length());
    } catch (const std::bad_alloc&) {
        // Nobody is told about a lost debug line.
    }
}

void LogMessage(int level, int number) {
    CVornMessageCatalog catalog;
    catalog.SetLanguage(0);
    // The lookup ends before LogText takes the log lock.
    std::string text;
    bool found = false;
    {
        CVornLockGuard hold(GetCatalogLock());
        const char* t = catalog.GetText(number);
        if (t != nullptr) {
            try {
                text = t;
                found = true;
            } catch (const std::bad_alloc&) {
                return;
            }
        }
    }
    LogText(level, found ? text.c_str() : nullptr);
}

void LogFormat(int level, const char* format, const char* argument) {
    if (level <= 0)
        return;
    const char* value = argument ? argument : "";
    try {
        std::string text;
        if (format != nullptr && FormatMatches(format, "s")) {
            int n = snprintf(nullptr, 0, format, value);
            if (n >= 0) {
                text.resize(static_cast<size_t>(n) + 1);
                snprintf(text.data(), text.size(), format, value);
                text.resize(static_cast<size_t>(n));
                LogText(level, text.c_str());
                return;
            }
        }
        // Not a format for one string: keep both as they stand.
        text = format ? format : "";
        text += " (";
        text += value;
        text += ")";
        LogText(level, text.c_str());
    } catch (const std::bad_alloc&) {
    }
}

void SetConsoleLogLevel(int level) {
    LogState& state = logState();
    CVornLockGuard hold(state.lock);
    g_ConsoleLogLevel = level;
    g_LogSilent = level <= 0 && state.sinks == nullptr;
}

// ---- CVornLogSink

CVornLogSink::CVornLogSink(int level)
    : m_Next(nullptr), m_Level(level), m_Buffer(nullptr), m_Capacity(0), m_Length(0) {
    LogState& state = logState();
    CVornLockGuard hold(state.lock);
    m_Next = state.sinks;
    state.sinks = this;
    g_LogSilent = false;
}

CVornLogSink::~CVornLogSink() {
    {
        LogState& state = logState();
        CVornLockGuard hold(state.lock);
        for (CVornLogSink** link = &state.sinks; *link != nullptr; link = &(*link)->m_Next) {
            if (*link == this) {
                *link = m_Next;
                break;
            }
        }
        if (state.sinks == nullptr && g_ConsoleLogLevel <= 0)
            g_LogSilent = true;
    }
    delete[] m_Buffer;
}

void CVornLogSink::Append(const char* bytes, int length) {
    if (bytes == nullptr || length <= 0)
        return;
    CVornLockGuard hold(m_Lock);
    if (length > 0x7fffffff - kSinkStep - m_Length)
        return;  // would pass any int size
    int needed = m_Length + length;
    if (m_Capacity < needed) {
        // The next multiple of the step strictly above the size needed.
        int capacity = (needed / kSinkStep + 1) * kSinkStep;
        // new[]: the block is handed to a CVornBuffer, which frees with delete[].
        char* grown = new (std::nothrow) char[static_cast<size_t>(capacity)];
        if (grown == nullptr)
            return;  // the old bytes stay, this line is lost
        if (m_Length > 0)
            memcpy(grown, m_Buffer, static_cast<size_t>(m_Length));
        delete[] m_Buffer;
        m_Buffer = grown;
        m_Capacity = capacity;
    }
    memcpy(m_Buffer + m_Length, bytes, static_cast<size_t>(length));
    m_Length = needed;
}

bool CVornLogSink::TakeText(CVornBuffer& out) {
    void* data;
    int length, capacity;
    {
        // Only the exchange happens under the sink's lock: the buffer takes
        // its own lock, and nothing outside this module is ever called while
        // a log lock is held.
        CVornLockGuard hold(m_Lock);
        data = m_Buffer;
        length = m_Length;
        capacity = m_Capacity;
        m_Buffer = nullptr;
        m_Length = 0;
        m_Capacity = 0;
    }
    bool any = length > 0;
    out.Adopt(&data, &length, &capacity);
    return any;
}

int CVornLogSink::GetLength() {
    CVornLockGuard hold(m_Lock);
    return m_Length;
}

int CVornLogSink::GetCapacity() {
    CVornLockGuard hold(m_Lock);
    return m_Capacity;
}
