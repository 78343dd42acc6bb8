// CVornHTTPRequest: one HTTP request received by the HTTP server (net/
// http_server.h) together with the response written back on it.
//
// The server's connection worker makes one per connection and reads into it
// the request line, the header block and, for POST, the body (into a header
// entity, moved to a temporary file once the body reaches
// kHttpBodyMemoryLimit bytes), then makes the request message and fills the
// form variables from the query and the body. A handler reads the form
// variables and headers and writes the response as plain text: header lines,
// an empty line, then the body. The object buffers that text; the first send
// whose buffered text holds a complete header block (or the final send)
// writes an "HTTP/1.0" status line, the header lines the handler left out
// (Date, Server, Content-Type, and Content-Length for a successful response
// finished in one piece), then the handler's text as written. A HEAD request
// gets the header block only.
//
// Bounds: the request line and each header line at most kMaxHttpLineLength
// bytes, at most kMaxHttpHeaderCount header lines (net/uri.h); a body at
// most kMaxHttpBodyLength bytes (refused before any of it is read when its
// Content-Length says more, and never spilled to disk beyond the bound); at
// most kMaxFormItems form items per request.
//
// Time limits, so that a client that is silent or trickles its request
// cannot hold a worker: the request line and the header block together
// arrive within the head time limit (default kDefaultHeadTimeLimit s); a body
// must keep up kMinBodyBytesPerSecond on average once the head time limit's
// worth of grace has passed since it began; and the whole request, body
// included, arrives within the request time limit (default
// kDefaultRequestTimeLimit s), whatever length it declares. When a limit
// passes, the connection is shut down (CVornReadDeadline) and the read fails.
//
// Threads: a request belongs to the one connection worker that made it;
// handlers run on that thread. The object has no lock of its own. Not
// copyable.
#pragma once

#include <atomic>
#include <chrono>
#include <vector>

#include "core/hash_table.h"
#include "core/vorn_buffer.h"
#include "core/vorn_string.h"
#include "net/uri.h"

class CVornDiskFile;
class CVornHTTPServer;
class CVornMailMessage;
class CVornRFC822Entity;
class CVornTCPSocket;

// A request body holds at most this many bytes.
constexpr int kMaxHttpBodyLength = 16 * 1024 * 1024;
// Bodies of this many bytes or more are kept in a temporary file.
constexpr int kHttpBodyMemoryLimit = 32768;
// A request's query and body give at most this many form items together.
constexpr int kMaxFormItems = 10000;
// The response buffer is sent once it holds more than this many bytes.
constexpr int kHttpResponseFlushSize = 65536;
// Seconds allowed for the request line and header block together, unless the
// server says otherwise (CVornHTTPServer::SetHeadTimeLimit).
constexpr int kDefaultHeadTimeLimit = 30;
// Seconds allowed for the whole request, body included, unless the server
// says otherwise (CVornHTTPServer::SetRequestTimeLimit). A body of the
// largest size needs about 56 KiB/s to arrive in time.
constexpr int kDefaultRequestTimeLimit = 300;
// The average rate, in bytes per second, a body must keep up once its grace
// (the head time limit) has passed.
constexpr int kMinBodyBytesPerSecond = 4096;
// The byte that joins the values of a form variable given several times.
constexpr char kFormValueSeparator = '\x1C';

// Catalogue numbers of the refusal page (a request for another host).
enum : int {
    kMsgHttpRefusedHeading = 498,  // the page's heading
    kMsgHttpRefusedText = 501,     // its sentence; one %s: the requested URL
};

// Appends text to out with "&", "<", ">", '"' and "'" written as HTML
// entities, so that text taken from a request can go into a page.
void AppendHtmlEscaped(CVornString& out, const CVornString& text);

// One form variable as given: a name and a value.
struct CVornFormItem {
    CVornString m_Name{CVornString::kUnlocked};
    CVornString m_Value{CVornString::kUnlocked};
};

// A time limit on a connection: while armed, one process-wide watchdog
// thread (started on first use, never ended) shuts the connection down
// (CVornTCPSocket::ShutdownNow) once the limit passes, so that a read or
// write blocked on it returns at once. The limit runs on the steady clock,
// never the library clock. The connection must outlive the object (the
// destructor disarms). Used by one thread; not copyable.
class CVornReadDeadline {
public:
    explicit CVornReadDeadline(CVornTCPSocket* connection);
    ~CVornReadDeadline();
    CVornReadDeadline(const CVornReadDeadline&) = delete;
    CVornReadDeadline& operator=(const CVornReadDeadline&) = delete;

    // The connection is shut down seconds (at least 1) from now, unless
    // disarmed first; replaces an earlier limit.
    void Arm(int seconds);
    // The same at a point of the steady clock (one already past shuts the
    // connection down at once).
    void ArmAt(std::chrono::steady_clock::time_point when);
    void Disarm();
    // The limit passed and the connection was shut down.
    bool Expired() const { return m_Expired.load(); }

private:
    friend struct ReadDeadlineWatchdog;

    CVornTCPSocket* m_Connection;
    std::atomic<bool> m_Expired{false};
};

class CVornHTTPRequest {
public:
    // server (borrowed, may be null: then nothing stops the reads and the
    // Server header is "Vorn-HTTP/1.0") and connection (borrowed, must
    // outlive the request) are the caller's. threadNumber names temporary
    // files; tempDir (empty: the current directory) holds large bodies and
    // request messages. An empty URI, then Reset.
    CVornHTTPRequest(CVornHTTPServer* server, CVornTCPSocket* connection, int threadNumber,
                     const CVornString& tempDir);
    // Finishes the response unless finished (so a handler that never
    // finishes still gets its response sent), then frees everything.
    virtual ~CVornHTTPRequest();
    CVornHTTPRequest(const CVornHTTPRequest&) = delete;
    CVornHTTPRequest& operator=(const CVornHTTPRequest&) = delete;

    // Deletes the request message, its file and the header entity; status
    // kHttpStatusOk; not finished, no header block sent; empty response
    // buffer; no form variables.
    void Reset();

    // ---- Reading (the server's connection worker)
    // Reads the request line with waits of 15 s, skipping up to 20 empty
    // lines or empty waits; the 21st fails, as does the end of the
    // connection, a stopping server, an over-long or malformed line
    // (ParseRequestLine). Sets the method, URI and version.
    bool ReadRequestLine();
    // Reads header lines (waits of 300 s each) into a new header entity up
    // to the empty line; the end of the connection also ends the block.
    // False for an over-long line, too many lines, a stopping server or an
    // entity that refuses a line.
    bool ReadHeaders();
    // For POST: reads the body after the header block: Content-Length
    // bytes, or up to the end of the connection without one (or with a
    // negative one). False on a read error, a shorter body, a body over
    // kMaxHttpBodyLength, a stopping server, a temporary file that cannot be
    // made, or a body too slow for its rate or the request's time limit.
    bool ReadEntity();
    // The request message made from the header entity (which is then
    // deleted). False, nothing changed, when there is no header entity or a
    // message already, or when it cannot be made.
    bool MakeMessage();
    // The last MakeMessage failed because the request cannot be stored as a
    // message (it passes a bound of the stored message, such as its part
    // count), not for want of a temporary file: the client's fault.
    bool MessageRefused() const { return m_MessageRefused; }
    // True once the whole request was read: the header block ended and
    // either a POST body was read or the request declared none. Otherwise
    // the client may still be sending.
    bool InputConsumed() const { return m_InputConsumed; }
    // A read time limit passed (the connection was shut down).
    bool TimedOut() const { return m_Deadline.Expired(); }
    // The time limits in seconds (at least 1): the whole request's, and the
    // head's (request line and header block; also the body's grace before
    // its rate counts). Set before ReadRequestLine.
    void SetReadTimeLimit(int seconds);
    void SetHeadTimeLimit(int seconds);

    // ---- Form variables
    // Adds the variables of a query string or URL-encoded body: items at
    // "&" (empty items skipped), name and value at the first "=" (an item
    // without one gives an empty name and value), both URL-decoded ("+" a
    // blank). A name given again gets the new value, kFormValueSeparator and
    // the old value; the key keeps the newest spelling. False when the
    // request's items pass kMaxFormItems (the items before the bound are
    // kept).
    bool ParseFormVariables(const CVornString& text);
    // Adds one variable, joining with an existing value as above.
    void AddFormVariable(const CVornString& name, const CVornString& value);
    // Adds the items in order as AddFormVariable would one by one, but joins
    // the values of a name once (so a name given many times costs no more
    // than the text it comes in), counting each item against kMaxFormItems.
    // False when the request's items pass the bound (the items before it are
    // kept).
    bool AddFormItems(const std::vector<CVornFormItem>& items);

    // ---- Request data for handlers
    // The value of a request header field (name ignoring case), from the
    // header entity while it exists, else from the request message; false
    // when there is neither or no such field.
    bool GetHeader(const char* name, CVornString& out);
    // The dotted quad of the client; out stays as it was when the peer
    // cannot be read.
    void GetClientAddress(CVornString& out);
    // The request target, version code and request message (null before
    // MakeMessage; owned by the request).
    CVornURI& GetURI() { return m_URI; }
    int GetVersion() const { return m_Version; }
    CVornMailMessage* GetMessage() { return m_RequestMessage; }

    // ---- Response writing. Every writer returns -1 or false once the
    // response is finished.
    // Appends text to the response buffer, flushing once it holds more than
    // kHttpResponseFlushSize bytes (-1 when that fails); else text's length.
    int Write(const CVornString& text);
    int Write(const char* text);
    // The same for count bytes; -1 also for null bytes or a negative count.
    int Write(const void* bytes, int count);
    // Makes room in the response buffer for bytes more bytes (at most a
    // flush's worth and a little more for header lines), for a writer that
    // knows its size.
    void ReserveResponse(int bytes);
    // "name: value" CR LF through Write; -1 for a null name (a null value
    // counts as empty). Header lines come before the empty line that the
    // handler writes itself.
    int AddHeader(const char* name, const char* value);
    int AddHeader(const char* name, int value);
    // The catalogue number of the status text (net/uri.h); before the first
    // send.
    void SetStatus(int messageNumber);
    int GetStatus() const { return m_Status; }
    // Sends what is buffered (nothing before the header block is complete).
    bool Flush();
    // Sends the rest and ends the response.
    bool Finish();
    bool IsFinished() const { return m_Finished; }
    // Status kHttpStatusRedirect and the header line "Location: http://" host
    // path, then Finish. The host is the request's Host header when it is a
    // plain host name or address with an optional port, otherwise the
    // connection's local address; the local port is added when the host has
    // none. CR, LF and other control bytes are dropped from the path, and a
    // path that does not begin with "/" gets one. The handler writes nothing
    // after it.
    bool Redirect(const CVornString& path);
    // A small fixed page: the status, "Content-Type: text/html",
    // "Content-Length", the empty line and body (which the caller has made
    // safe for HTML); then Finish.
    void SendPage(int status, const CVornString& body);
    // The refusal page for a request addressed to another host (status
    // kHttpStatusRefused), with the requested URL HTML-escaped; finishes.
    void SendRefusal();
    // Ends the response without sending anything more (what is buffered is
    // dropped): for a request whose handler failed.
    void Abandon();

    // The connection (borrowed): handlers may write to it directly and ask
    // it for its local address.
    CVornTCPSocket* m_Connection;
    // Method code (net/uri.h).
    int m_Method = kHttpMethodUnknown;
    // Form variables, names ignoring case; values of a name given several
    // times joined by kFormValueSeparator, the newest first.
    CVornStringMap m_FormVariables{0, 1};

private:
    // One line up to LF from the connection, waiting seconds; its length
    // (0: nothing came), or -1 on an error or a line over
    // kMaxHttpLineLength.
    int readLine(CVornString& line, int seconds);
    bool stopping();
    // Moves the header entity into a new temporary file.
    bool moveEntityToFile();
    // Reads the body into the header entity. REQUIRES: a header entity.
    bool readBody(int length);
    bool readRequestLine();
    bool readHeaders();
    // The shared body of Flush and Finish.
    bool send(bool final);
    // Appends to out the header lines (Date, Server, Content-Type,
    // Content-Length of bodySize) that the handler's header block lacks.
    void appendMissingHeaders(CVornMailMessage& message, bool final, int bodySize,
                              CVornString& out);
    // One write of the text to the connection; false when not all went.
    bool writeText(const CVornString& text);
    void joinFormVariable(const CVornString& name, const CVornString& newValues);
    void deleteMessage();

    CVornHTTPServer* m_Server;
    int m_ThreadNumber;
    CVornString m_TempDir;
    CVornURI m_URI;
    int m_Version = kHttpVersionUnknown;
    int m_Status = kHttpStatusOk;
    CVornString m_StatusLine{CVornString::kUnlocked};  // the status line of m_Status
    CVornRFC822Entity* m_HeaderEntity = nullptr;
    CVornMailMessage* m_RequestMessage = nullptr;
    CVornDiskFile* m_RequestMessageFile = nullptr;
    CVornBuffer m_Response;
    bool m_HeaderBlockSent = false;
    bool m_Finished = false;
    bool m_InputConsumed = false;
    bool m_EntityInFile = false;
    int m_FormItems = 0;
    int m_ReadTimeLimit = kDefaultRequestTimeLimit;
    int m_HeadTimeLimit = kDefaultHeadTimeLimit;
    bool m_MessageRefused = false;
    // When ReadRequestLine began: the request time limit counts from here.
    std::chrono::steady_clock::time_point m_ReadStart{};
    CVornReadDeadline m_Deadline;
};
