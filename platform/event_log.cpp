// The event log on syslog and an optional file. See event_log.h.
#include "platform/event_log.h"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <set>
#include <string>

namespace platform {

namespace {

std::mutex g_syslogLock;
// openlog keeps the ident's pointer for the life of the process, also after
// a shared library holding a copy of this layer (a plug-in) is unloaded: the
// idents live in heap nodes that are never freed (few: one per source),
// made on first use so that a library that never logs makes none.
std::set<std::string>* g_syslogIdents = nullptr;
const std::string* g_syslogIdent = nullptr;

void appendEscaped(std::string& out, const char* text) {
    if (text == nullptr)
        return;
    for (const char* p = text; *p; ++p) {
        switch (*p) {
            case '\\':
                out += "\\\\";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\n':
                out += "\\n";
                break;
            default:
                out += *p;
                break;
        }
    }
}

void appendHex(std::string& out, const void* data, int length) {
    static const char digits[] = "0123456789abcdef";
    const auto* bytes = static_cast<const unsigned char*>(data);
    for (int i = 0; bytes != nullptr && i < length; ++i) {
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 15];
    }
}

void toSyslog(const char* source, int type, const char* text, const void* data, int dataLength) {
    int priority = type == kEventError ? LOG_ERR : type == kEventWarning ? LOG_WARNING : LOG_INFO;
    std::string message;
    appendEscaped(message, text);
    if (dataLength > 0) {
        message += " [data ";
        appendHex(message, data, dataLength);
        message += "]";
    }
    std::lock_guard<std::mutex> hold(g_syslogLock);
    std::string ident = source ? source : "";
    if (g_syslogIdent == nullptr || ident != *g_syslogIdent) {
        closelog();
        if (g_syslogIdents == nullptr)
            g_syslogIdents = new std::set<std::string>;
        g_syslogIdent = &*g_syslogIdents->insert(ident).first;
        openlog(g_syslogIdent->c_str(), LOG_PID, LOG_DAEMON);
    }
    syslog(priority, "%s", message.c_str());
}

int toFile(const std::string& path, const char* source, int type, unsigned eventId,
           const char* text, const void* data, int dataLength) {
    std::string line = std::to_string(static_cast<long long>(time(nullptr)));
    line += '\t';
    appendEscaped(line, source);
    char head[32];
    snprintf(head, sizeof head, "\t%d\t0x%08X\t", type, eventId);
    line += head;
    appendEscaped(line, text);
    line += '\t';
    appendHex(line, data, dataLength);
    line += '\n';

    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0)
        return kEventSourceFailed;
    // O_APPEND makes one write() one record, even with several writers.
    ssize_t written;
    do {
        written = write(fd, line.data(), line.size());
    } while (written < 0 && errno == EINTR);
    close(fd);
    return written == static_cast<ssize_t>(line.size()) ? kEventReported : kEventReportFailed;
}

}  // namespace

std::string EventLogPath() {
    const char* path = getenv("ZELORM_EVENTLOG");
    return path ? path : "";
}

int ReportEvent(const char* source, int type, unsigned eventId, const char* text, const void* data,
                int dataLength) {
    if (data == nullptr || dataLength < 0)
        dataLength = 0;
    toSyslog(source, type, text, data, dataLength);
    std::string path = EventLogPath();
    if (path.empty())
        return kEventReported;
    return toFile(path, source, type, eventId, text, data, dataLength);
}

}  // namespace platform
