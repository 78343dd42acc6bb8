// The event log: catalogue texts filled with arguments, reported under the
// product's event source and copied to the debug log.
//
//   WriteEventLog          report one text with raw data; debug line at the
//                          type's level, data bytes as " %02x" after "; Data:"
//   LogEvent ... family    catalogue text of a number, checked, formatted
//   LogErrorEventStrInt    the error event of every CVornException
//   g_EventSourceName, g_ShortProductName
//
// Bad input: a number without catalogue text gives an empty text; a null
// string argument counts as the empty text; a catalogue text whose
// conversions do not fit the call's arguments is reported as it stands,
// followed by the arguments in parentheses. A failed report leaves a debug
// line ("RegisterEventSource failed" / "ReportEvent failed") and nothing
// else; memory exhaustion loses the event. Nothing here throws.
#include "core/event_log.h"

#include <cstdarg>
#include <cstdio>
#include <new>
#include <string>

#include "core/debug_log.h"
#include "core/format_check.h"
#include "core/message_catalog.h"
#include "platform/event_log.h"

namespace {

// Both names are made on first use and never destroyed.
CVornString& eventSourceName() {
    static CVornString* name = new CVornString("Velmar RazoVidez for Dozoruve");
    return *name;
}

CVornString& shortProductName() {
    static CVornString* name = new CVornString("ZELGW");
    return *name;
}

const char* orEmpty(const char* text) {
    return text ? text : "";
}

// A private copy of a string's text (taken under its lock), for passing it
// as a C string.
class TextCopy {
public:
    explicit TextCopy(const CVornString& s) : m_Copy(s, CVornString::kUnlocked) {}
    const char* Get() { return m_Copy.CStr(); }

private:
    CVornString m_Copy;
};

// The catalogue text of number (empty when there is none), copied under the
// catalogue lock so that a reload cannot free it while it is formatted.
std::string catalogText(int number) {
    CVornLockGuard hold(GetCatalogLock());
    return orEmpty(GetCatalogText(number));
}

// The arguments one after another, for a text that cannot take them.
void appendPlain(std::string& out, const char* kinds, va_list args) {
    out += " (";
    for (const char* k = kinds; *k; ++k) {
        if (k != kinds)
            out += ", ";
        if (*k == 's') {
            out += orEmpty(va_arg(args, const char*));
        } else {
            out += std::to_string(va_arg(args, int));
        }
    }
    out += ")";
}

// format filled with the arguments described by kinds ('s' const char*, 'd'
// int), when the format takes exactly those; otherwise the format as it
// stands and the arguments in parentheses. An empty format (no catalogue
// text) stays empty.
std::string fillText(const std::string& format, const char* kinds, va_list args) {
    if (format.empty())
        return format;
    if (FormatMatches(format.c_str(), kinds)) {
        va_list measure;
        va_copy(measure, args);
        int n = vsnprintf(nullptr, 0, format.c_str(), measure);
        va_end(measure);
        if (n >= 0) {
            std::string out(static_cast<size_t>(n) + 1, '\0');
            vsnprintf(out.data(), out.size(), format.c_str(), args);
            out.resize(static_cast<size_t>(n));
            return out;
        }
    }
    std::string out = format;
    appendPlain(out, kinds, args);
    return out;
}

// Looks the number up, fills it with the arguments and reports it; with
// withData the int value goes along as 4 bytes, least significant first.
void reportFilled(int number, int type, bool withData, int value, const char* kinds, ...) {
    try {
        std::string format = catalogText(number);
        va_list args;
        va_start(args, kinds);
        std::string text;
        try {
            text = fillText(format, kinds, args);
        } catch (...) {
            va_end(args);
            throw;
        }
        va_end(args);
        unsigned bits = static_cast<unsigned>(value);
        unsigned char data[4] = {static_cast<unsigned char>(bits & 0xff),
                                 static_cast<unsigned char>((bits >> 8) & 0xff),
                                 static_cast<unsigned char>((bits >> 16) & 0xff),
                                 static_cast<unsigned char>((bits >> 24) & 0xff)};
        WriteEventLog(type, number, text.c_str(), withData ? 4 : 0, withData ? data : nullptr);
    } catch (const std::bad_alloc&) {
        // The event is lost; the caller is never told.
    }
}

}  // namespace

CVornString& g_EventSourceName = eventSourceName();
CVornString& g_ShortProductName = shortProductName();

void WriteEventLog(int type, int number, const char* text, int dataLength, const void* data) {
    (void)number;
    if (data == nullptr || dataLength < 0)
        dataLength = 0;
    int level = type == 2 ? kLogWarning : type == 4 ? kLogInfo : kLogError;
    unsigned eventId = type == 1 ? 0xC0000003u : type == 2 ? 0x80000002u : 0x40000001u;
    try {
        CVornString line(CVornString::kUnlocked);
        FormatLogLine(level, text, line);
        if (dataLength > 0) {
            line.Append("; Data:");
            const auto* bytes = static_cast<const unsigned char*>(data);
            for (int i = 0; i < dataLength; ++i) {
                char hex[8];
                int n = snprintf(hex, sizeof hex, " %02x", bytes[i]);
                line.Append(hex, n);
            }
        }
        line.TrimRight("\r\n");
        line.Append("\r\n", 2);

        CVornString source(eventSourceName(), CVornString::kUnlocked);
        int result = platform::ReportEvent(source.CStr(), type, eventId, text, data, dataLength);
        if (result == platform::kEventSourceFailed && !g_LogSilent)
            LogText(kLogError, "RegisterEventSource failed\n");
        else if (result == platform::kEventReportFailed && !g_LogSilent)
            LogText(kLogError, "ReportEvent failed\n");

        DispatchLogLine(level, line.CStr(), line.Length());
    } catch (const std::bad_alloc&) {
    }
}

void LogEvent(int number, int type) {
    try {
        std::string text = catalogText(number);
        WriteEventLog(type, number, text.c_str(), 0, nullptr);
    } catch (const std::bad_alloc&) {
    }
}

void LogEventInt(int number, int type, int value) {
    reportFilled(number, type, true, value, "d", value);
}

void LogEventIntInt(int number, int type, int value1, int value2) {
    reportFilled(number, type, true, value2, "dd", value1, value2);
}

void LogEventStr(int number, int type, const char* text) {
    reportFilled(number, type, false, 0, "s", orEmpty(text));
}

void LogEventStrInt(int number, int type, const char* text, int value) {
    reportFilled(number, type, true, value, "sd", orEmpty(text), value);
}

void LogEventStrStrInt(int number, int type, const char* text1, const char* text2, int value) {
    reportFilled(number, type, true, value, "ssd", orEmpty(text1), orEmpty(text2), value);
}

void LogEventStrString(int number, int type, const char* text1, const CVornString& text2) {
    try {
        TextCopy copy(text2);
        reportFilled(number, type, false, 0, "ss", orEmpty(text1), copy.Get());
    } catch (const std::bad_alloc&) {
    }
}

void LogEventString(int number, int type, const CVornString& text) {
    try {
        TextCopy copy(text);
        reportFilled(number, type, false, 0, "s", copy.Get());
    } catch (const std::bad_alloc&) {
    }
}

void LogEventStringInt(int number, int type, const CVornString& text, int value) {
    try {
        TextCopy copy(text);
        reportFilled(number, type, true, value, "sd", copy.Get(), value);
    } catch (const std::bad_alloc&) {
    }
}

void LogEventStringIntInt(int number, int type, const CVornString& text, int value1, int value2) {
    try {
        TextCopy copy(text);
        reportFilled(number, type, true, value2, "sdd", copy.Get(), value1, value2);
    } catch (const std::bad_alloc&) {
    }
}

void LogErrorEventStrInt(int number, const char* text, int value) {
    reportFilled(number, 1, true, value, "sd", orEmpty(text), value);
}
