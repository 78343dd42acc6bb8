// The debug log: a stream of one-line texts with a level, written to
// standard error up to the console level and to any number of in-memory
// capture sinks.
//
//   LogText             one line: prefix, thread id, escaped text, CR LF
//   LogMessage          LogText of a catalogue text (language 0)
//   LogFormat           LogText of a format filled with one string
//   FormatLogLine       build a line (without its CR LF) into a string
//   DispatchLogLine     hand finished line bytes to stderr and the sinks
//   SetConsoleLogLevel  the highest level written to standard error
//   CVornLogSink        in-memory capture of lines up to a level
//
// Levels 0-7 (kLogNone .. kLogDebug); level 0 lines are never written, and
// levels outside 0-7 are written with the name "none    ". Nothing here
// reports failure: a line that cannot be stored (memory exhausted) is lost
// for that sink only.
//
// Any thread may log. The log lock serialises whole lines, so lines of
// different threads never interleave. Lock order: log lock, then a sink's
// own lock; no lock of this module is held while another module is called.
#pragma once

#include <atomic>

#include "core/vorn_lock.h"

class CVornString;
class CVornBuffer;

enum : int {
    kLogNone = 0,
    kLogFatal = 1,
    kLogCritical = 2,
    kLogError = 3,
    kLogWarning = 4,
    kLogNotice = 5,
    kLogInfo = 6,
    kLogDebug = 7,
};

// Lines of level 1 to this value go to standard error; 0 at start.
extern std::atomic<int> g_ConsoleLogLevel;

// True exactly when the console level is 0 and no sink exists. Callers test
// it before composing debug text and skip LogText while it is set; the log
// functions themselves do not test it.
extern std::atomic<bool> g_LogSilent;

// text may be null: the line is then the date, time and level name alone
// (no thread id). Trailing CR and LF of the text are dropped; the line ends
// in CR LF.
void LogText(int level, const char* text);

// The catalogue text of number in language 0; a number without text gives
// the prefix alone.
void LogMessage(int level, int number);

// format filled with one string argument (null counts as the empty text).
// A format whose conversions are not exactly one "%s" (with flags, width or
// precision) is not used as a format: the line then holds the format as it
// stands followed by the argument.
void LogFormat(int level, const char* format, const char* argument);

// out := "YYYYMMDD HHMMSS LEVELNAM" and, when text is not null, a blank,
// the thread id, a blank and the text with every byte that isprint refuses
// written as a backslash and three octal digits. No CR LF is added.
void FormatLogLine(int level, const char* text, CVornString& out);

// Writes length bytes of line to standard error when 1 <= level <= the
// console level, then appends them to every sink (newest first) whose level
// is at least the line's level. Nothing at level 0 or below, or when line is
// null or length <= 0.
void DispatchLogLine(int level, const char* line, int length);

// Sets the console level and keeps g_LogSilent.
void SetConsoleLogLevel(int level);

// A capture sink: lines of its level or below are appended to its buffer
// for as long as it lives. Not copyable. Any thread may use it; the thread
// that deletes it must be the only one still using it.
class CVornLogSink {
public:
    explicit CVornLogSink(int level);
    virtual ~CVornLogSink();
    CVornLogSink(const CVornLogSink&) = delete;
    CVornLogSink& operator=(const CVornLogSink&) = delete;

    // Hands the captured bytes to out, whose own contents are dropped (an
    // empty sink leaves out empty), and leaves the sink empty. True when the
    // sink held at least one byte.
    bool TakeText(CVornBuffer& out);

    // Appends length bytes (ignored when bytes is null or length <= 0). The
    // buffer grows to the next multiple of 4096 strictly above the size
    // needed. When memory runs out the bytes are dropped.
    void Append(const char* bytes, int length);

    int GetLevel() const { return m_Level; }
    int GetLength();
    int GetCapacity();

private:
    friend void DispatchLogLine(int, const char*, int);

    CVornLogSink* m_Next;  // guarded by the log lock
    int m_Level;
    char* m_Buffer;  // owned, new[] (a CVornBuffer adopts it)
    int m_Capacity;
    int m_Length;
    CVornLock m_Lock;  // guards the buffer and its sizes
};
