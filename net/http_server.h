// CVornHTTPServer: the web server inside the gateway service. A
// CVornTCPServer (net/tcp_server.h) whose ProcessJob reads one HTTP request
// from each accepted connection into a CVornHTTPRequest (net/http_request.h),
// fills its form variables from the query and the body (URL-encoded or
// multipart), and hands it to the handler registered for the longest URL
// prefix that the request path begins with (ignoring case); a prefix may
// instead name a directory whose files are sent as they are. Malformed
// requests, unknown paths and requests for another host get small fixed
// HTML pages. Every response goes out as "HTTP/1.0" and every connection
// serves one request, then closes.
//
// Slow clients: a request must arrive within its time limits (see
// net/http_request.h: the head within 30 s, a body at a minimum rate, the
// whole request within 300 s), and one client address holds at most the
// framework's per-address cap of the workers (net/tcp_server.h), so that a
// few silent or trickling clients cannot shut everyone else out.
//
// Directories: a directory prefix matches only at a path boundary ("/images"
// serves "/images/a.gif", never "/imagesX/a.gif"); a path holding ".." is
// not found; a file is served only when its real path (symbolic links
// resolved) lies inside the directory's real path and is a regular file.
// Pages never show a server path, and every text taken from the request is
// HTML-escaped.
//
// Closing: when a request was not read to its end (an error page, a body
// that was not asked for), unread input is drained for at most
// kDrainSeconds and kDrainBytes before the connection closes, so that the
// client is not reset before it reads the response.
//
// Threads: connection workers run ProcessJob in parallel, one request each.
// The server's own lock guards the prefix table walk, registration, the live
// requests and the own host; it is never held while a handler runs, a file
// is sent or the base server's lock is wanted except in Start and Rebind
// (this lock, then the base's). AddHandler and AddDirectory may be called at
// any time from any thread. Not copyable.
#pragma once

#include <atomic>

#include "core/hash_table.h"
#include "core/vorn_list.h"
#include "core/vorn_lock.h"
#include "core/vorn_string.h"
#include "net/host_address.h"
#include "net/http_request.h"
#include "net/tcp_server.h"

// A handler registered for a URL prefix: runs on the connection worker's
// thread, reads the request's form variables and headers, writes the whole
// response (header lines, empty line, body) and should end with
// CVornHTTPRequest::Finish (the request finishes itself otherwise). It must
// not delete the request or the connection. An exception it throws ends the
// connection at once, with nothing more sent.
typedef void (*WebCommandHandler)(CVornHTTPRequest* request);

class CVornHTTPServer : public CVornTCPServer {
public:
    // Unread input drained before a connection closes, at most.
    static constexpr int kDrainSeconds = 2;
    static constexpr int kDrainBytes = 1024 * 1024;

    // name names the server (and is its Server header); tempDir (null:
    // empty, the current directory) is handed to every request for large
    // bodies and request messages.
    CVornHTTPServer(const char* name, const char* tempDir);
    // Stops the server when it still runs, then frees the tables (handlers
    // are not owned).
    ~CVornHTTPServer() override;

    // Under the server's lock: CVornTCPServer::Start with the one address;
    // on success the own host becomes CVornTCPServer::GetLocalHost.
    bool Start(int workers, int helpers, const CVornHostAddress& address);
    // Under the server's lock: CVornTCPServer::Listen(address), then the own
    // host is read again whatever the result. The result of the listen
    // (false: the old listener stays).
    bool Rebind(const CVornHostAddress& address);
    // Registers a handler / a directory for a prefix ("/" put in front unless
    // it begins with one). The newest registration of a prefix wins. A null
    // prefix, handler or directory is ignored.
    void AddHandler(const char* prefix, WebCommandHandler handler);
    void AddDirectory(const char* prefix, const char* directory);
    // The server as the outside world sees it (a copy).
    void GetOwnHost(CVornHostAddress& out);
    // Seconds a request may take in all, body included
    // (kDefaultRequestTimeLimit), and for its request line and header block
    // together (kDefaultHeadTimeLimit; also a body's grace before its rate
    // counts; net/http_request.h). Values below 1 count as 1. Requests begun
    // later use them.
    void SetRequestTimeLimit(int seconds);
    void SetHeadTimeLimit(int seconds);

    // Slot 2: serves one request on the connection (see the header comment).
    void ProcessJob(CVornTCPSocket* connection, int threadNumber) override;

    // ---- Steps of the request flow, public for the web administration's
    // use of the same pages.
    // Makes the request message (except for a file asked for without a
    // body, which no handler reads), fills the form variables and calls the
    // handler or serves the file of the longest matching prefix. False when
    // no handler or file was reached (a page may have been sent).
    bool Dispatch(CVornHTTPRequest* request);
    // Sends filePath (which is a directory's path followed by the request's
    // rest of the path, path) when it lies inside that directory.
    void ServeFile(CVornHTTPRequest* request, const CVornString& filePath, const CVornString& path);
    // The error pages: status, "Content-Type: text/html", "Content-Length",
    // the empty line, the body; then Finish. Paths are HTML-escaped.
    void SendBadRequest(CVornHTTPRequest* request);
    void SendNotFound(CVornHTTPRequest* request, const CVornString& path);
    // A file that exists but cannot be opened: status kHttpStatusServerError,
    // naming the request path (never the file's path on the server).
    void SendCannotOpen(CVornHTTPRequest* request, const CVornString& path);
    void SendEntityError(CVornHTTPRequest* request);

private:
    enum : int { kHandlerEntry = 0, kDirectoryEntry = 1 };

    struct PrefixEntry {
        PrefixEntry() = default;
        CVornString m_Prefix;
        int m_Kind = kHandlerEntry;
        WebCommandHandler m_Handler = nullptr;
        CVornString m_Directory;
    };

    // Reads the request and answers it (ProcessJob without the bookkeeping).
    void serve(CVornHTTPRequest* request);
    void addEntry(const char* prefix, const PrefixEntry& entry);
    // Fills the form variables from the request message's body. False when
    // the request gives too many form items.
    bool parseBody(CVornHTTPRequest* request);
    void sendPage(CVornHTTPRequest* request, int status, const CVornString& body);
    // Registers / forgets the request a worker serves, under id (the thread
    // number in decimal). threadEnding deletes the request.
    void threadStarting(const CVornString& id, CVornHTTPRequest* request);
    void threadEnding(const CVornString& id);

    CVornList<PrefixEntry> m_Prefixes;
    CVornHostAddress m_OwnHost;
    CVornString m_TempDir;
    CVornHashTable m_LiveRequests;
    CVornLock m_Lock{true};
    std::atomic<int> m_RequestTimeLimit{kDefaultRequestTimeLimit};
    std::atomic<int> m_HeadTimeLimit{kDefaultHeadTimeLimit};
};
