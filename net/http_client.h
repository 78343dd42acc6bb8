// CVornHTTPClient: sends one HTTP/1.0 request and reads the status line,
// the header block and the body of the answer. A caller builds a CVornURI
// and a request entity, calls Request, then ReadBody until it returns 0 (or
// IsEOF). Every request asks the server to close the connection, so one
// client object serves one request; delete it to close the connection.
//
// Connection attempts go through the process-wide connect time-out table
// (g_ConnectTimeouts, net/network_library.h), keyed by "host:port": while
// one attempt to a host is in progress, others wait for it, and a host whose
// attempt has hung for more than 30 s is refused at once.
//
// Every wait is bounded: the connect and send time-outs of CVornTCPSocket,
// and a receive wait (SetWaitSeconds, 300 s by default) for the status line,
// each header line and each body read. The answer is bounded too: the status
// line and each header line hold at most kMaxHttpLineLength bytes, the
// header block at most kMaxHttpHeaderCount lines, and the body at most the
// body limit (SetMaxBodySize, 64 MiB by default); over a bound the request
// or the read fails with kHttpClientReceiveFailed.
//
// Redirections are not followed: a 3xx answer is returned like any other,
// its Location field in the response entity.
//
// Threads: every public operation holds the client's lock, so a client may
// be shared, but its requests are serialised. Not copyable.
#pragma once

#include "core/vorn_buffer.h"
#include "core/vorn_lock.h"
#include "core/vorn_string.h"
#include "net/host_address.h"
#include "net/rfc822_entity.h"
#include "net/tcp_socket.h"
#include "net/uri.h"

// Last-error codes (catalogue numbers) of the HTTP client.
enum : int {
    kHttpClientNoError = 646,           // no failure yet
    kHttpClientAlreadyConnected = 647,  // a second Request; socket error 2
    kHttpClientNoHost = 648,            // no host in the URI, no Host value
    kHttpClientConnectFailed = 649,     // connect failed, no more precise code
    kHttpClientNoAddress = 650,         // socket error 3: the host has no address
    kHttpClientConnectError = 651,      // socket error 5; response header not recorded
    kHttpClientSystemTimedOut = 652,    // socket error 6
    kHttpClientTimedOut = 653,          // socket error 16: a wait ran out
    kHttpClientRefused = 654,           // socket error 7: connection refused
    kHttpClientReceiveFailed = 655,     // reading failed; a bound of the answer passed
    kHttpClientNoRequestUri = 656,      // the URI has no path
    kHttpClientInvalidMethod = 657,     // method code 0
    kHttpClientSendFailed = 658,        // the request could not be sent
    kHttpClientHostRefused = 660,       // the connect time-out table refused the host
};

// The client code for a CVornTCPSocket error: 2 -> 647, 3 -> 650, 5 -> 651,
// 6 -> 652, 7 -> 654, 16 -> 653, 21 -> 655; any other gives defaultCode.
int MapHTTPClientError(int defaultCode, int socketError);

// The abstract client.
class CVornHTTPClientBase {
public:
    virtual ~CVornHTTPClientBase();
    virtual bool Request(int method, CVornURI& uri, CVornRFC822Entity& request,
                         CVornString& statusLine, CVornRFC822Entity& response) = 0;
    virtual int ReadBody(CVornString& out, int count) = 0;
    virtual bool IsEOF() = 0;
    virtual int GetLastError() = 0;
};

class CVornHTTPClient : public CVornHTTPClientBase {
public:
    static constexpr int kDefaultWaitSeconds = 300;
    static constexpr int kDefaultMaxBodySize = 64 * 1024 * 1024;

    // Unconnected; last error kHttpClientNoError.
    CVornHTTPClient();
    // Closes the connection when it is open.
    ~CVornHTTPClient() override;
    CVornHTTPClient(const CVornHTTPClient&) = delete;
    CVornHTTPClient& operator=(const CVornHTTPClient&) = delete;

    // Sends method (1 GET, 2 HEAD, 3 POST, 4 CONNECT) for the URI with the
    // request entity's header fields and body, and reads the answer's status
    // line and header block. True when that worked: statusLine holds the
    // status line as received (its line end included), response (an open
    // entity; it is emptied first) holds the header fields, and the body is
    // ready for ReadBody. False otherwise, with the last error set.
    // The request entity must be open; its header block is completed, its
    // "Connection" field set to "close" and "Host" to the URI's host, and
    // the fields "Keep-Alive", "Public", "Proxy-Authenticate",
    // "Proxy-Connection", "Transfer-Encoding" and "Upgrade" removed.
    // A host without a port is connected on port 80. An answer without a
    // usable status line gets "HTTP/1.0 200 OK" and the header fields
    // "Pragma: No-Cache" and "Content-Type: text/html" (that line is lost).
    // A client whose connection is open (a second Request) fails with
    // kHttpClientAlreadyConnected; after any failure past the connect the
    // client cannot be used again.
    // May throw CVornException 130 or 135 (see CVornTCPSocket::Connect).
    bool Request(int method, CVornURI& uri, CVornRFC822Entity& request, CVornString& statusLine,
                 CVornRFC822Entity& response) override;

    // Up to count (> 0) body bytes into out (replaced): the number read, 0
    // at the end of the body, -1 on failure (last error
    // kHttpClientReceiveFailed): a wait that ran out, a connection that ended
    // before the Content-Length was reached, a body over the body limit, or
    // count < 1. After a failure every further read fails.
    int ReadBody(CVornString& out, int count) override;
    // True at the end of the body: nothing is left over from reading the
    // header block and the connection has ended (or the Content-Length has
    // been read).
    bool IsEOF() override;
    int GetLastError() override;

    // The receive wait in seconds for the status line, each header line and
    // each body read; values < 1 are ignored.
    void SetWaitSeconds(int seconds);
    // The largest body accepted, in bytes; values < 0 are ignored.
    void SetMaxBodySize(int bytes);

private:
    // REQUIRES for all: m_Lock held.
    bool connect(CVornHostAddress& host);
    bool issueRequest(int method, CVornURI& uri, CVornRFC822Entity& request);
    bool receiveStatusLine(CVornString& statusLine);
    bool receiveHeader(CVornRFC822Entity& response);
    void disconnect();
    // Reads one line of the answer into line: 1 a line, 0 the end of the
    // data with nothing read, -1 a failure (last error set).
    int readLine(CVornString& line);
    // Sets the last error and returns -1.
    int failRead(int code);

    CVornBuffer m_PushBack;
    int m_LastError = kHttpClientNoError;
    CVornTCPSocket m_Socket;
    int m_ContentLength = 0;
    int m_BodyRead = 0;
    bool m_NoHeader = false;
    bool m_ReadFailed = false;
    int m_WaitSeconds = kDefaultWaitSeconds;
    int m_MaxBodySize = kDefaultMaxBodySize;
    CVornLock m_Lock{true};
};
