// CVornHTTPClient: one HTTP/1.0 request and its answer.
//
//   MapHTTPClientError          socket error -> client error code
//   CVornHTTPClient::Request    connect, send the request, read status line and header
//   CVornHTTPClient::ReadBody   the body, piece by piece
//   CVornHTTPClient::IsEOF      the end of the body
//   CVornHTTPClient::GetLastError   the code of the last failure
//   CVornHTTPClient::SetWaitSeconds, SetMaxBodySize   the receive wait, the body limit
//
// Bad input: the answer comes from a peer and is bounded everywhere (line
// length, header line count, body size, every wait); passing a bound fails
// the request or the read with kHttpClientReceiveFailed. A body cut short by
// the server before its Content-Length is a failure, not an end. A method
// code without a name is refused like code 0. Failures are reported by the
// result and the last error, with debug lines at levels 3 and 7.
#include "net/http_client.h"

#include <stdlib.h>

#include <climits>

#include "core/debug_log.h"
#include "core/event_log.h"
#include "net/network_library.h"

namespace {

enum : int { kEventTypeError = 1 };

void Debug(int level, const char* text) {
    if (!g_LogSilent)
        LogText(level, text);
}

// The header fields that belong to one connection (hop) and must not be
// passed on in a request that closes its connection.
const char* const kHopFields[] = {"Keep-Alive",         "Public",
                                  "Proxy-Authenticate", "Proxy-Connection",
                                  "Transfer-Encoding",  "Upgrade"};

}  // namespace

int MapHTTPClientError(int defaultCode, int socketError) {
    switch (socketError) {
        case kTcpAlreadyConnected:
            return kHttpClientAlreadyConnected;
        case kTcpNoAddress:
            return kHttpClientNoAddress;
        case kTcpConnectFailed:
            return kHttpClientConnectError;
        case kTcpSystemTimedOut:
            return kHttpClientSystemTimedOut;
        case kTcpRefused:
            return kHttpClientRefused;
        case kTcpTimedOut:
            return kHttpClientTimedOut;
        case kTcpReceiveFailed:
            return kHttpClientReceiveFailed;
        default:
            return defaultCode;
    }
}

CVornHTTPClientBase::~CVornHTTPClientBase() = default;

CVornHTTPClient::CVornHTTPClient() = default;

CVornHTTPClient::~CVornHTTPClient() {
    CVornLockGuard guard(m_Lock);
    if (m_Socket.IsConnected())
        disconnect();
}

void CVornHTTPClient::disconnect() {
    m_Socket.Close();
}

int CVornHTTPClient::GetLastError() {
    CVornLockGuard guard(m_Lock);
    return m_LastError;
}

bool CVornHTTPClient::IsEOF() {
    CVornLockGuard guard(m_Lock);
    // A line read while looking for the end of the header is body still to
    // be handed out, even when the connection has ended behind it.
    return m_PushBack.Available() == 0 && m_Socket.IsEOF();
}

void CVornHTTPClient::SetWaitSeconds(int seconds) {
    CVornLockGuard guard(m_Lock);
    if (seconds >= 1)
        m_WaitSeconds = seconds;
}

void CVornHTTPClient::SetMaxBodySize(int bytes) {
    CVornLockGuard guard(m_Lock);
    if (bytes >= 0)
        m_MaxBodySize = bytes;
}

// ---------------------------------------------------------------- the request

bool CVornHTTPClient::Request(int method, CVornURI& uri, CVornRFC822Entity& request,
                              CVornString& statusLine, CVornRFC822Entity& response) {
    CVornLockGuard guard(m_Lock);
    if (m_Socket.IsConnected()) {
        LogEvent(230, kEventTypeError);
        m_LastError = kHttpClientAlreadyConnected;
        return false;
    }
    m_PushBack.Clear();
    m_NoHeader = false;
    m_ReadFailed = false;
    m_ContentLength = 0;
    m_BodyRead = 0;
    statusLine.Clear();
    response.Empty();

    CVornHostAddress host;
    if (!uri.GetHost(host)) {
        Debug(7, "CVornHTTPClient::Request() no host in uri");
        m_LastError = kHttpClientNoHost;
        return false;
    }
    CVornString hostKey(CVornString::kUnlocked);
    uri.FormatAuthority(hostKey);
    if (!g_ConnectTimeouts.Acquire(hostKey)) {
        Debug(7, "httpclient connect already timed out");
        m_LastError = kHttpClientHostRefused;
        return false;
    }
    bool connected;
    try {
        connected = connect(host);
    } catch (...) {
        // Left in use, the key would hold every later attempt to the host.
        g_ConnectTimeouts.Release(hostKey, false);
        throw;
    }
    g_ConnectTimeouts.Release(hostKey, connected);
    if (!connected) {
        Debug(7, "CVornHTTPClient::Request() connection failed");
        return false;
    }
    if (!issueRequest(method, uri, request)) {
        Debug(7, "CVornHTTPClient::Request() failed to issue request");
        return false;
    }
    if (!receiveStatusLine(statusLine)) {
        Debug(7, "CVornHTTPClient::Request() failed to receive status line");
        return false;
    }
    if (!receiveHeader(response)) {
        Debug(7, "CVornHTTPClient::Request() failed to receive header(s)");
        return false;
    }
    return true;
}

bool CVornHTTPClient::connect(CVornHostAddress& host) {
    if (host.GetPort() == 0)
        host.SetPort(static_cast<unsigned short>(80));
    CVornTCPSocket attempt(host);
    if (attempt.Connect()) {
        m_Socket.TakeOver(attempt);
        return true;
    }
    m_LastError = MapHTTPClientError(kHttpClientConnectFailed, attempt.GetError());
    return false;  // the attempt's destructor closes what it holds
}

bool CVornHTTPClient::issueRequest(int method, CVornURI& uri, CVornRFC822Entity& request) {
    CVornString target(CVornString::kUnlocked);
    if (method == kHttpMethodConnect) {
        if (!uri.FormatAuthority(target)) {
            Debug(7, "CVornHTTPClient::issueRequest() no request host for connect");
            m_LastError = kHttpClientNoHost;
            return false;
        }
    } else if (!uri.FormatPathAndQuery(target, false)) {
        Debug(7, "CVornHTTPClient::issueRequest() no request uri");
        m_LastError = kHttpClientNoRequestUri;
        return false;
    }
    CVornString hostValue(CVornString::kUnlocked);
    if (!uri.FormatHost(hostValue)) {
        Debug(7, "CVornHTTPClient::issueRequest() no request host");
        m_LastError = kHttpClientNoHost;
        return false;
    }
    const char* name = HTTPMethodName(method);
    if (method == kHttpMethodUnknown || name == nullptr) {
        Debug(7, "CVornHTTPClient::issueRequest() invalid method");
        m_LastError = kHttpClientInvalidMethod;
        return false;
    }

    CVornString line(name, CVornString::kUnlocked);
    line.Append(' ');
    line.Append(target);
    line.Append(" HTTP/1.0\r\n");

    request.EndHeaders();
    request.SetHeader(CVornString("Connection"), CVornString("close"));
    request.SetHeader(CVornString("Host"), hostValue);
    for (const char* field : kHopFields) request.RemoveHeader(CVornString(field));
    if (!request.SendBody(m_Socket, &line)) {
        Debug(7, "CVornHTTPClient::issueRequest() error sending request header/entity");
        m_LastError = kHttpClientSendFailed;
        return false;
    }
    return true;
}

// ---------------------------------------------------------------- the answer

int CVornHTTPClient::failRead(int code) {
    m_LastError = code;
    return -1;
}

int CVornHTTPClient::readLine(CVornString& line) {
    int n = m_Socket.ReadUntil(line, "\n", m_WaitSeconds);
    if (n < 0)
        return failRead(MapHTTPClientError(kHttpClientReceiveFailed, m_Socket.GetError()));
    if (n > kMaxHttpLineLength)
        return failRead(kHttpClientReceiveFailed);
    if (n == 0 || !line.EndsWith('\n')) {
        // Without its line end, the line was either the last of the data or
        // all that came before the wait ran out.
        if (!m_Socket.IsEOF())
            return failRead(MapHTTPClientError(kHttpClientReceiveFailed, m_Socket.GetError()));
        return n == 0 ? 0 : 1;
    }
    return 1;
}

bool CVornHTTPClient::receiveStatusLine(CVornString& statusLine) {
    CVornString line(CVornString::kUnlocked);
    int r = readLine(line);
    if (r < 0)
        return false;
    if (r == 0) {
        m_LastError = MapHTTPClientError(kHttpClientReceiveFailed, m_Socket.GetError());
        return false;
    }
    CVornString version(CVornString::kUnlocked), code(CVornString::kUnlocked),
        reason(CVornString::kUnlocked);
    if (!ParseHTTPStatusLine(line, version, code, reason)) {
        if (!g_LogSilent)
            LogFormat(3, "Invalid HTTP status line returned (not enough tokens): %s", line.CStr());
        line.Assign("HTTP/1.0 200 OK");
        m_NoHeader = true;
    }
    statusLine.Assign(line);
    return true;
}

bool CVornHTTPClient::receiveHeader(CVornRFC822Entity& response) {
    auto recordFailed = [&](const char* text) {
        m_LastError = kHttpClientConnectError;
        if (!g_LogSilent)
            LogFormat(3, "CVornHTTPClient::receiveHeader() unable to record response: %s", text);
        return false;
    };
    if (m_NoHeader) {
        for (const char* text : {"Pragma: No-Cache\r\n", "Content-Type: text/html\r\n"}) {
            CVornString field(text, CVornString::kUnlocked);
            if (response.Write(field) != field.Length())
                return recordFailed(text);
        }
    }

    int fields = 0;
    CVornString line(CVornString::kUnlocked);
    while (!response.HasHeaders()) {
        int r = readLine(line);
        if (r < 0)
            return false;
        if (r == 0) {
            if (!response.EndHeaders())
                return recordFailed("(end of header)");
            break;
        }
        line.TrimRight("\r\n");
        line.Append("\r\n");
        char first = line.CharAt(0);
        if (first != ' ' && first != '\t' && first != '\r' && first != '\n' &&
            !line.Contains(':')) {
            // Not a header line: the body starts here.
            m_PushBack.Append(line);
            if (!response.EndHeaders())
                return recordFailed("(end of header)");
            break;
        }
        if (line.Length() > 2 && ++fields > kMaxHttpHeaderCount) {
            m_LastError = kHttpClientReceiveFailed;
            return false;
        }
        if (response.Write(line) != line.Length())
            return recordFailed(line.CStr());
    }

    CVornString value(CVornString::kUnlocked);
    if (response.GetHeader(CVornString("Content-Length"), value)) {
        // strtoll, not atoi: an over-long number must not wrap to a small one.
        long long length = strtoll(value.CStr(), nullptr, 10);
        if (length < 0)
            length = 0;
        if (length > m_MaxBodySize) {
            m_LastError = kHttpClientReceiveFailed;
            return false;
        }
        m_ContentLength = static_cast<int>(length);
    }
    return true;
}

// ---------------------------------------------------------------- the body

int CVornHTTPClient::ReadBody(CVornString& out, int count) {
    CVornLockGuard guard(m_Lock);
    if (count < 1)
        return failRead(kHttpClientReceiveFailed);
    auto fail = [&]() {
        m_ReadFailed = true;
        return failRead(kHttpClientReceiveFailed);
    };
    if (m_ReadFailed)
        return fail();

    int result;
    if (m_PushBack.Available() > 0) {
        result = m_PushBack.Read(out, count);
    } else if (m_ContentLength == 0) {
        // One byte past the limit tells a body that ends at the limit from
        // one that goes on.
        long long room = static_cast<long long>(m_MaxBodySize) - m_BodyRead + 1;
        int want = room < count ? static_cast<int>(room) : count;
        result = m_Socket.Read(out, want, m_WaitSeconds);
        if (result >= 0 && result < want && !m_Socket.IsEOF()) {
            // The wait ran out: hand out what came, fail the next read.
            m_ReadFailed = true;
            if (result == 0)
                return fail();
        }
    } else {
        int left = m_ContentLength - m_BodyRead;
        if (left < 0)
            return fail();
        if (left == 0) {
            m_Socket.SetEOF();
            out.Clear();
            return 0;
        }
        int want = left < count ? left : count;
        result = m_Socket.Read(out, want, m_WaitSeconds);
        if (result >= 0 && result < want) {
            // The connection ended (or the wait ran out) before the body
            // announced was complete: a cut body is no end of the body.
            m_ReadFailed = true;
            if (result == 0)
                return fail();
        }
    }
    if (result < 0)
        return fail();
    m_BodyRead += result;
    if (m_BodyRead > m_MaxBodySize)
        return fail();
    return result;
}
