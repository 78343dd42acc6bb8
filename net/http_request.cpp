// The HTTP request and its response: what one connection worker of the web
// server reads from a client and writes back.
//
//   CVornHTTPRequest::ReadRequestLine   the request line (blank lines skipped)
//   CVornHTTPRequest::ReadHeaders       the header block into a header entity
//   CVornHTTPRequest::ReadEntity        a POST body (to a temporary file when large)
//   CVornHTTPRequest::MakeMessage       the request as a stored message
//   CVornHTTPRequest::ParseFormVariables / AddFormVariable / AddFormItems  form variables
//   CVornHTTPRequest::GetHeader, GetClientAddress                          request data
//   CVornHTTPRequest::Write, AddHeader, SetStatus, Flush, Finish           the response
//   CVornHTTPRequest::Redirect, SendPage, SendRefusal, Abandon             whole responses
//   CVornReadDeadline                   a time limit that shuts a connection down
//   AppendHtmlEscaped                   request text made safe for a page
//
// Bad input: the readers return false for anything malformed or over a bound
// (line length, header count, body size, read time) and the server answers
// with an error page; form text is never refused, only cut at the item
// bound. Writers return -1 or false once the response is finished or the
// connection failed; nothing here is logged (the socket logs its failures).
#include "net/http_request.h"

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <unordered_map>

#include "core/disk_file.h"
#include "core/memory_file.h"
#include "core/message_catalog.h"
#include "core/threads.h"
#include "core/vorn_date.h"
#include "net/http_server.h"
#include "net/mail_message.h"
#include "net/message_parts.h"
#include "net/rfc822_entity.h"
#include "net/tcp_socket.h"

namespace {

using SteadyClock = std::chrono::steady_clock;

// Waits of the readers, in seconds: one read of the request line, and the
// request line's budget of empty reads (so the 21st empty read fails).
constexpr int kRequestLineWait = 15;
constexpr int kRequestLineBudget = 300;
// One read of a header line or of a body piece.
constexpr int kHeaderWait = 300;
// Body pieces: with a known length, and read to the end of the connection.
constexpr int kBodyPiece = 4096;
constexpr int kOpenBodyPiece = 4064;
// Extra room in front of a stored body when its header block grows.
constexpr int kEntityReserve = 512;

// A piece written after the header block that is at least this large goes
// to the connection without passing through the response buffer.
constexpr int kDirectWriteSize = 16 * 1024;
// Room for the header lines that appendMissingHeaders may add.
constexpr int kMissingHeadersReserve = 256;
// Room beyond the flush mark in a reserved response buffer: the header
// lines in front of a piece that reaches the mark. Kept small so that the
// block stays below the allocator's mapping threshold (128 KiB), where a
// block per response would cost fresh pages every time; a larger write
// grows it in the buffer's steps.
constexpr int kResponsePieceReserve = 2048;

// readLine's result for a line over kMaxHttpLineLength.
constexpr int kLineTooLong = -2;

const char* const kDefaultServerName = "Vorn-HTTP/1.0";

// Fallbacks when the catalogue lacks the refusal texts.
const char* const kRefusedHeading = "Forbidden";
const char* const kRefusedText = "This server does not serve the address %s.";

}  // namespace

// ---- The read deadline watchdog

// One process-wide thread that shuts down connections whose limit passed.
// Created on first use and never destroyed (the thread may outlive main).
struct ReadDeadlineWatchdog {
    std::mutex m_Mutex;
    std::condition_variable m_Wake;
    std::map<CVornReadDeadline*, SteadyClock::time_point> m_Armed;
    bool m_Running = false;

    static ReadDeadlineWatchdog& Get() {
        static ReadDeadlineWatchdog* watchdog = new ReadDeadlineWatchdog;
        return *watchdog;
    }

    static unsigned Run(void*) {
        Get().loop();
        return 0;
    }

    void loop() {
        std::unique_lock<std::mutex> lock(m_Mutex);
        for (;;) {
            if (m_Armed.empty()) {
                m_Wake.wait(lock);
                continue;
            }
            SteadyClock::time_point now = SteadyClock::now();
            SteadyClock::time_point next = SteadyClock::time_point::max();
            for (auto it = m_Armed.begin(); it != m_Armed.end();) {
                if (it->second <= now) {
                    // ShutdownNow takes no object lock, so a worker blocked
                    // in a read on this connection returns at once.
                    it->first->m_Expired = true;
                    it->first->m_Connection->ShutdownNow();
                    it = m_Armed.erase(it);
                } else {
                    if (it->second < next)
                        next = it->second;
                    ++it;
                }
            }
            if (next != SteadyClock::time_point::max())
                m_Wake.wait_until(lock, next);
        }
    }

    void arm(CVornReadDeadline* deadline, SteadyClock::time_point when) {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Armed[deadline] = when;
        // A thread that could not start is tried again at the next arm; until
        // then the socket's own read waits still bound every read.
        if (!m_Running)
            m_Running = StartThread(&ReadDeadlineWatchdog::Run, nullptr, 0) == 0;
        m_Wake.notify_one();
    }

    void disarm(CVornReadDeadline* deadline) {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Armed.erase(deadline);
    }
};

CVornReadDeadline::CVornReadDeadline(CVornTCPSocket* connection) : m_Connection(connection) {}

CVornReadDeadline::~CVornReadDeadline() {
    Disarm();
}

void CVornReadDeadline::Arm(int seconds) {
    if (m_Connection == nullptr)
        return;
    ArmAt(SteadyClock::now() + std::chrono::seconds(seconds < 1 ? 1 : seconds));
}

void CVornReadDeadline::ArmAt(SteadyClock::time_point when) {
    if (m_Connection == nullptr)
        return;
    ReadDeadlineWatchdog::Get().arm(this, when);
}

void CVornReadDeadline::Disarm() {
    if (m_Connection == nullptr)
        return;
    ReadDeadlineWatchdog::Get().disarm(this);
}

// ---- Helpers

void AppendHtmlEscaped(CVornString& out, const CVornString& text) {
    CVornStringLockGuard guard(text);
    int n = text.Length();
    for (int i = 0; i < n; ++i) {
        char c = text.CharAt(i);
        switch (c) {
            case '&':
                out.Append("&amp;");
                break;
            case '<':
                out.Append("&lt;");
                break;
            case '>':
                out.Append("&gt;");
                break;
            case '"':
                out.Append("&quot;");
                break;
            case '\'':
                out.Append("&#39;");
                break;
            default:
                out.Append(c);
        }
    }
}

namespace {

// The value of a Content-Length field: its leading decimal digits (after
// blanks), -1 for a negative or missing number, and kMaxHttpBodyLength + 1
// for anything larger than the bound (never an overflow).
int ParseContentLength(const CVornString& text) {
    CVornString value(text, CVornString::kUnlocked);
    value.TrimLeft(" \t");
    const char* p = value.CStr();
    if (*p == '-')
        return -1;
    if (*p == '+')
        ++p;
    if (*p < '0' || *p > '9')
        return 0;  // as atoi reads it
    long long length = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        length = length * 10 + (*p - '0');
        if (length > kMaxHttpBodyLength)
            return kMaxHttpBodyLength + 1;
    }
    return static_cast<int>(length);
}

// A Host header that may go into a Location: a name or address of letters,
// digits, "-" and ".", with an optional ":" and port number.
bool IsPlainHost(const CVornString& host) {
    CVornString text(host, CVornString::kUnlocked);
    int colon = text.Find(':');
    int nameLength = colon < 0 ? text.Length() : colon;
    if (nameLength == 0 || nameLength > 255)
        return false;
    for (int i = 0; i < nameLength; ++i) {
        char c = text.CharAt(i);
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                  c == '-' || c == '.';
        if (!ok)
            return false;
    }
    if (colon < 0)
        return true;
    int digits = text.Length() - colon - 1;
    if (digits < 1 || digits > 5)
        return false;
    long port = 0;
    for (int i = colon + 1; i < text.Length(); ++i) {
        char c = text.CharAt(i);
        if (c < '0' || c > '9')
            return false;
        port = port * 10 + (c - '0');
    }
    return port >= 1 && port <= 65535;
}

}  // namespace

// ---- Construction

CVornHTTPRequest::CVornHTTPRequest(CVornHTTPServer* server, CVornTCPSocket* connection,
                                   int threadNumber, const CVornString& tempDir)
    : m_Connection(connection),
      m_Server(server),
      m_ThreadNumber(threadNumber),
      m_TempDir(tempDir),
      m_Deadline(connection) {
    // Temporary files never land in the root directory for want of a name.
    if (m_TempDir.IsEmpty())
        m_TempDir.Assign(".");
    Reset();
}

CVornHTTPRequest::~CVornHTTPRequest() {
    if (!m_Finished)
        Finish();
    m_Deadline.Disarm();
    deleteMessage();
    delete m_HeaderEntity;
    m_FormVariables.Clear();
}

void CVornHTTPRequest::deleteMessage() {
    // The message first: the file object removes the file it stands on.
    delete m_RequestMessage;
    m_RequestMessage = nullptr;
    delete m_RequestMessageFile;
    m_RequestMessageFile = nullptr;
}

void CVornHTTPRequest::Reset() {
    deleteMessage();
    delete m_HeaderEntity;
    m_HeaderEntity = nullptr;
    m_EntityInFile = false;
    SetStatus(kHttpStatusOk);
    m_Finished = false;
    m_HeaderBlockSent = false;
    m_InputConsumed = false;
    m_Response.Clear();
    m_FormVariables.Clear();
    m_FormItems = 0;
    m_MessageRefused = false;
    m_ReadStart = SteadyClock::time_point{};
}

void CVornHTTPRequest::SetReadTimeLimit(int seconds) {
    m_ReadTimeLimit = seconds < 1 ? 1 : seconds;
}

void CVornHTTPRequest::SetHeadTimeLimit(int seconds) {
    m_HeadTimeLimit = seconds < 1 ? 1 : seconds;
}

bool CVornHTTPRequest::stopping() {
    return m_Server != nullptr && m_Server->IsStopping();
}

// ---- Reading

int CVornHTTPRequest::readLine(CVornString& line, int seconds) {
    if (m_Connection == nullptr)
        return -1;
    int n = m_Connection->ReadUntil(line, "\n", seconds);
    if (line.Length() > kMaxHttpLineLength)
        return kLineTooLong;
    return n < 0 ? -1 : line.Length();
}

bool CVornHTTPRequest::ReadRequestLine() {
    // The head's limit covers the request line and the header block
    // together (ReadHeaders disarms it) and never passes the whole request's.
    m_ReadStart = SteadyClock::now();
    m_Deadline.ArmAt(m_ReadStart + std::chrono::seconds(m_HeadTimeLimit < m_ReadTimeLimit
                                                            ? m_HeadTimeLimit
                                                            : m_ReadTimeLimit));
    bool ok = readRequestLine();
    if (!ok) {
        m_Method = kHttpMethodUnknown;
        m_Deadline.Disarm();
    }
    return ok;
}

bool CVornHTTPRequest::readRequestLine() {
    CVornString line(CVornString::kUnlocked);
    int waited = 0;
    for (;;) {
        int n = readLine(line, kRequestLineWait);
        if (n < 0 || stopping() || m_Deadline.Expired())
            return false;
        waited += kRequestLineWait;
        line.TrimRight("\r\n");
        if (!line.IsEmpty())
            break;
        // Nothing more can come from a client that closed.
        if (m_Connection->IsEOF() || waited > kRequestLineBudget)
            return false;
    }
    return ParseRequestLine(line, m_Method, m_URI, m_Version);
}

bool CVornHTTPRequest::ReadHeaders() {
    bool ok = readHeaders();
    m_Deadline.Disarm();
    if (!ok)
        return false;
    // A request other than POST is read to its end unless it declares a
    // body, which nobody reads.
    CVornString value(CVornString::kUnlocked);
    bool declaresBody = (m_HeaderEntity->GetHeader(CVornString("Content-Length"), value) &&
                         ParseContentLength(value) > 0) ||
                        m_HeaderEntity->GetHeader(CVornString("Transfer-Encoding"), value);
    m_InputConsumed = m_Method != kHttpMethodPost && (!declaresBody || m_Connection->IsEOF());
    return true;
}

bool CVornHTTPRequest::readHeaders() {
    delete m_HeaderEntity;
    m_HeaderEntity = nullptr;
    m_EntityInFile = false;
    CVornMemoryFile memory;
    m_HeaderEntity = new CVornRFC822Entity(memory, kEntityReserve);
    if (!m_HeaderEntity->Open())
        return false;

    CVornString line(CVornString::kUnlocked);
    int lines = 0;
    int n = readLine(line, kHeaderWait);
    if (stopping())
        return false;
    while (n > 0) {
        line.TrimRight("\r\n");
        bool end = line.IsEmpty();
        if (!end && ++lines > kMaxHttpHeaderCount)
            return false;
        line.Append("\r\n");
        if (m_HeaderEntity->Write(line) < line.Length())
            return false;
        if (end)
            return true;
        n = readLine(line, kHeaderWait);
        if (stopping())
            return false;
    }
    // An over-long line is refused; the end of the connection (or a failed
    // read) ends the block without its empty line, unless the time limit
    // shut the connection down.
    if (n == kLineTooLong || m_Deadline.Expired())
        return false;
    return m_HeaderEntity->EndHeaders();
}

bool CVornHTTPRequest::ReadEntity() {
    if (m_HeaderEntity == nullptr || m_Connection == nullptr)
        return false;
    int length = -1;
    CVornString value(CVornString::kUnlocked);
    if (m_HeaderEntity->GetHeader(CVornString("Content-Length"), value))
        length = ParseContentLength(value);
    // Refused before a byte of it is read or stored.
    if (length > kMaxHttpBodyLength)
        return false;
    bool ok = readBody(length);
    m_Deadline.Disarm();
    if (ok)
        m_InputConsumed = true;
    return ok;
}

bool CVornHTTPRequest::readBody(int length) {
    if (length >= kHttpBodyMemoryLimit && !m_EntityInFile && !moveEntityToFile())
        return false;
    // The whole request's limit counts from its first read (or from now,
    // for a body read on its own); the rate's from the body's start.
    const SteadyClock::time_point now = SteadyClock::now();
    const SteadyClock::time_point requestEnd =
        (m_ReadStart == SteadyClock::time_point{} ? now : m_ReadStart) +
        std::chrono::seconds(m_ReadTimeLimit);
    const SteadyClock::time_point graceEnd = now + std::chrono::seconds(m_HeadTimeLimit);
    // The body may have taken graceEnd + total / kMinBodyBytesPerSecond,
    // never more than requestEnd: a declared length buys no time, only bytes
    // that arrived do.
    auto armFor = [&](int total) {
        SteadyClock::time_point rateEnd =
            graceEnd + std::chrono::milliseconds(static_cast<long long>(total) * 1000 /
                                                 kMinBodyBytesPerSecond);
        m_Deadline.ArmAt(rateEnd < requestEnd ? rateEnd : requestEnd);
    };
    CVornString piece(CVornString::kUnlocked);
    int total = 0;
    armFor(total);
    for (;;) {
        int want = kOpenBodyPiece;
        if (length >= 0) {
            if (total >= length)
                break;
            want = length - total < kBodyPiece ? length - total : kBodyPiece;
        }
        int n = m_Connection->Read(piece, want, kHeaderWait);
        if (n < 0)
            return false;
        if (n == 0) {
            if (stopping())
                return false;
            break;
        }
        if (n > kMaxHttpBodyLength - total)
            return false;
        if (m_HeaderEntity->Write(piece) != n)
            return false;
        total += n;
        armFor(total);
        if (!m_EntityInFile && total >= kHttpBodyMemoryLimit && !moveEntityToFile())
            return false;
        if (stopping())
            return false;
    }
    if (m_Deadline.Expired())
        return false;
    return length < 0 || total >= length;
}

bool CVornHTTPRequest::moveEntityToFile() {
    CVornString counter(CVornString::kUnlocked);
    counter.Format("%daa", m_ThreadNumber);
    CVornString directory(m_TempDir, CVornString::kUnlocked);
    CVornDiskFile file(directory.CStr(), "h", counter.CStr(), "tmp");
    // The entity takes the file over (and removes it when it goes).
    CVornRFC822Entity* moved = new CVornRFC822Entity(file, kEntityReserve);
    if (!moved->Open() || !moved->TakeOver(*m_HeaderEntity)) {
        delete moved;
        return false;
    }
    delete m_HeaderEntity;
    m_HeaderEntity = moved;
    m_EntityInFile = true;
    return true;
}

bool CVornHTTPRequest::MakeMessage() {
    m_MessageRefused = false;
    if (m_HeaderEntity == nullptr || m_RequestMessage != nullptr)
        return false;
    m_RequestMessage =
        MakeAttachmentMessage(*m_HeaderEntity, m_TempDir, m_ThreadNumber, m_RequestMessageFile);
    if (m_RequestMessage == nullptr) {
        // A temporary file that could not be made leaves its object without
        // a path; any other failure is the stored message refusing what the
        // client sent (a bound such as its part count).
        bool noTempFile =
            m_RequestMessageFile != nullptr && m_RequestMessageFile->GetPath().IsEmpty();
        m_MessageRefused = !noTempFile;
        return false;
    }
    delete m_HeaderEntity;
    m_HeaderEntity = nullptr;
    m_EntityInFile = false;
    return true;
}

// ---- Form variables

bool CVornHTTPRequest::ParseFormVariables(const CVornString& text) {
    CVornString copy(text, CVornString::kUnlocked);
    const char* p = copy.CStr();
    int n = copy.Length();
    std::vector<CVornFormItem> items;
    bool withinBound = true;
    for (int start = 0; start <= n;) {
        int end = start;
        while (end < n && p[end] != '&') ++end;
        if (end > start) {
            if (m_FormItems + static_cast<int>(items.size()) >= kMaxFormItems) {
                withinBound = false;
                break;
            }
            CVornFormItem item;
            const char* equals = static_cast<const char*>(memchr(p + start, '=', end - start));
            if (equals != nullptr) {
                item.m_Name.Assign(p + start, static_cast<int>(equals - (p + start)));
                item.m_Value.Assign(equals + 1, static_cast<int>(p + end - equals - 1));
                item.m_Name.UrlDecode(false);
                item.m_Value.UrlDecode(false);
            }
            items.push_back(item);
        }
        start = end + 1;
    }
    return AddFormItems(items) && withinBound;
}

bool CVornHTTPRequest::AddFormItems(const std::vector<CVornFormItem>& items) {
    // Items grouped by name (ignoring case) in the order of first sight; each
    // group keeps its values in order and the newest spelling of the name.
    struct Group {
        CVornString m_Name{CVornString::kUnlocked};
        std::vector<const CVornString*> m_Values;
    };
    std::vector<Group> groups;
    std::unordered_map<std::string, size_t> index;
    bool withinBound = true;
    for (const CVornFormItem& item : items) {
        if (m_FormItems >= kMaxFormItems) {
            withinBound = false;
            break;
        }
        ++m_FormItems;
        CVornString folded(item.m_Name, CVornString::kUnlocked);
        folded.ToLower();
        std::string key(folded.CStr(), static_cast<size_t>(folded.Length()));
        auto found = index.find(key);
        if (found == index.end()) {
            found = index.emplace(key, groups.size()).first;
            groups.emplace_back();
        }
        Group& group = groups[found->second];
        group.m_Name.Assign(item.m_Name);
        group.m_Values.push_back(&item.m_Value);
    }
    for (Group& group : groups) {
        // Newest first, as adding them one by one would leave them. Built in
        // a std::string, which grows geometrically.
        std::string joined;
        for (size_t i = group.m_Values.size(); i-- > 0;) {
            CVornString value(*group.m_Values[i], CVornString::kUnlocked);
            joined.append(value.CStr(), static_cast<size_t>(value.Length()));
            if (i > 0)
                joined.push_back(kFormValueSeparator);
        }
        joinFormVariable(group.m_Name, CVornString(joined.data(), static_cast<int>(joined.size()),
                                                   CVornString::kUnlocked));
    }
    return withinBound;
}

void CVornHTTPRequest::AddFormVariable(const CVornString& name, const CVornString& value) {
    joinFormVariable(name, value);
}

void CVornHTTPRequest::joinFormVariable(const CVornString& name, const CVornString& newValues) {
    CVornString old(CVornString::kUnlocked);
    if (m_FormVariables.Get(name, old)) {
        CVornString joined(newValues, CVornString::kUnlocked);
        joined.Append(kFormValueSeparator);
        joined.Append(old);
        m_FormVariables.Set(name, joined);
    } else {
        m_FormVariables.Set(name, newValues);
    }
}

// ---- Request data

bool CVornHTTPRequest::GetHeader(const char* name, CVornString& out) {
    if (name == nullptr)
        return false;
    if (m_HeaderEntity != nullptr)
        return m_HeaderEntity->GetHeader(CVornString(name, CVornString::kUnlocked), out);
    if (m_RequestMessage != nullptr)
        return m_RequestMessage->GetHeader(name, out) == 0;
    return false;
}

void CVornHTTPRequest::GetClientAddress(CVornString& out) {
    CVornHostAddress peer;
    if (m_Connection != nullptr && m_Connection->GetPeerAddress(peer))
        peer.GetAddressString(out);
}

// ---- Response writing

int CVornHTTPRequest::Write(const CVornString& text) {
    if (m_Finished)
        return -1;
    m_Response.Append(text);
    if (m_Response.Available() > kHttpResponseFlushSize && !Flush())
        return -1;
    return text.Length();
}

int CVornHTTPRequest::Write(const char* text) {
    return Write(CVornString(text, CVornString::kUnlocked));
}

int CVornHTTPRequest::Write(const void* bytes, int count) {
    if (m_Finished)
        return -1;
    if (bytes == nullptr || count < 0)
        return -1;
    // Once the header block is out, a large piece with nothing buffered
    // before it goes straight to the connection instead of through the
    // buffer (HEAD sends no body at all).
    if (m_HeaderBlockSent && count >= kDirectWriteSize && m_Response.Available() == 0) {
        if (m_Method == kHttpMethodHead)
            return count;
        const char* data = static_cast<const char*>(bytes);
        if (m_Connection == nullptr || m_Connection->Write(data, count) != count)
            return -1;
        return count;
    }
    m_Response.Append(bytes, count);
    if (m_Response.Available() > kHttpResponseFlushSize && !Flush())
        return -1;
    return count;
}

void CVornHTTPRequest::ReserveResponse(int bytes) {
    // More than a flush's worth is never held at once.
    int most = kHttpResponseFlushSize + kResponsePieceReserve;
    m_Response.Reserve(bytes < most ? bytes : most);
}

int CVornHTTPRequest::AddHeader(const char* name, const char* value) {
    if (name == nullptr)
        return -1;
    CVornString line(CVornString::kUnlocked);
    line.Format("%s: %s", name, value);
    // A header line never starts another one.
    line.RemoveChar('\r');
    line.RemoveChar('\n');
    line.Append("\r\n");
    return Write(line);
}

int CVornHTTPRequest::AddHeader(const char* name, int value) {
    if (name == nullptr)
        return -1;
    CVornString line(CVornString::kUnlocked);
    line.Format("%s: %d", name, value);
    line.RemoveChar('\r');
    line.RemoveChar('\n');
    line.Append("\r\n");
    return Write(line);
}

void CVornHTTPRequest::SetStatus(int messageNumber) {
    m_Status = messageNumber;
    // The line is made now, so that every number a caller sets is one whose
    // catalogue text the sources can be checked for.
    m_StatusLine.Clear();
    WriteStatusLine(kHttpVersion10, messageNumber, m_StatusLine);
}

bool CVornHTTPRequest::Flush() {
    if (m_Finished)
        return false;
    return send(false);
}

bool CVornHTTPRequest::Finish() {
    if (m_Finished)
        return false;
    return send(true);
}

void CVornHTTPRequest::Abandon() {
    m_Finished = true;
    m_Response.Clear();
}

bool CVornHTTPRequest::writeText(const CVornString& text) {
    if (m_Connection == nullptr)
        return false;
    return m_Connection->Write(text) == text.Length();
}

bool CVornHTTPRequest::send(bool final) {
    m_Finished = final;
    if (m_Response.Available() == 0)
        return true;  // nothing to send, not even a status line
    CVornString text(CVornString::kUnlocked);
    m_Response.TakeAll(text);
    m_Response.Clear();
    // The block goes back to the response buffer once its bytes are out, so
    // a long response fills one block over and over instead of growing a
    // new one for every flush.
    struct GiveBack {
        CVornBuffer& m_Buffer;
        CVornString& m_Text;
        ~GiveBack() {
            if (m_Buffer.Available() == 0) {
                m_Text.Clear();
                m_Buffer.TakeAll(m_Text);
            }
        }
    } giveBack{m_Response, text};

    if (m_HeaderBlockSent) {
        if (m_Method == kHttpMethodHead)
            return true;
        return writeText(text);
    }

    // The handler's text read as a mail entity finds its header block.
    CVornMailMessage message;
    if (message.Open() != 0 || message.Write(text.CStr(), text.Length()) != 0)
        return false;
    if (!final && !message.IsInBody()) {
        // Nothing goes out before the header block is complete.
        m_Response.Append(text);
        return true;
    }
    // A final text without its empty line is all header block: the empty
    // line is added. A last line without its line end gets one first; when
    // that line turns out to be body text (the header part ended before
    // it), the line end was not the handler's and is cut off again.
    int added = 0;
    if (!message.IsInBody() && !text.EndsWith('\n')) {
        if (message.Write("\r\n", 2) != 0)
            return false;
        if (message.IsInBody())
            added = 2;
    }
    if (!message.IsInBody() && message.Write("\r\n", 2) != 0)
        return false;
    if (!message.IsInBody())
        return false;
    if (message.GetSize() != text.Length()) {
        // The message added line ends: its content is what goes out.
        if (message.RewindToStart() != 0 || message.ReadRest(text) <= 0)
            return false;
        text.KeepLeft(text.Length() - added);
    }

    // Status line, missing header lines and the text in one write: fewer
    // packets, and nothing a client can tell apart from separate writes.
    CVornString out(m_StatusLine, CVornString::kUnlocked);
    out.Reserve(m_StatusLine.Length() + kMissingHeadersReserve + text.Length());
    appendMissingHeaders(message, final, message.GetBodySize() - added, out);
    if (m_Method == kHttpMethodHead) {
        int headerSize = message.GetHeaderSize();
        if (headerSize < 0 || headerSize > text.Length())
            headerSize = text.Length();
        out.Append(text.CStr(), headerSize);
    } else {
        out.Append(text);
    }
    m_HeaderBlockSent = true;
    return writeText(out);
}

void CVornHTTPRequest::appendMissingHeaders(CVornMailMessage& message, bool final, int bodySize,
                                            CVornString& out) {
    CVornString value(CVornString::kUnlocked);
    if (message.GetHeader("Date", value) != 0) {
        CVornDate now;
        now.FormatRFC822InZone("GMT", value);
        out.Append("Date: ");
        out.Append(value);
        out.Append("\r\n");
    }
    if (message.GetHeader("Server", value) != 0) {
        if (m_Server != nullptr)
            m_Server->GetName(value);
        if (value.IsEmpty())
            value.Assign(kDefaultServerName);
        out.Append("Server: ");
        out.Append(value);
        out.Append("\r\n");
    }
    if (message.GetHeader("Content-Type", value) != 0)
        out.Append("Content-Type: text/html\r\n");
    // Only a successful response finished in one piece knows its length; a
    // response sent in pieces ends when the connection closes.
    if (m_Status == kHttpStatusOk && final && message.GetHeader("Content-Length", value) != 0) {
        value.Format("Content-Length: %d\r\n", bodySize);
        out.Append(value);
    }
}

bool CVornHTTPRequest::Redirect(const CVornString& path) {
    if (m_Finished)
        return false;
    SetStatus(kHttpStatusRedirect);
    CVornString port(CVornString::kUnlocked);
    CVornString localAddress(CVornString::kUnlocked);
    CVornHostAddress local;
    if (m_Connection != nullptr && m_Connection->GetLocalAddress(local)) {
        local.GetPortString(port);
        local.GetAddressString(localAddress);
    }
    // A raw Host header could carry anything into the Location; only a plain
    // host name or address is taken, else the address the client reached.
    CVornString host(CVornString::kUnlocked);
    if (GetHeader("Host", host)) {
        host.TrimLeft(" \t");
        host.TrimRight(" \t");
    }
    if (!IsPlainHost(host))
        host.Assign(localAddress);
    if (!host.Contains(':') && !port.IsEmpty()) {
        host.Append(':');
        host.Append(port);
    }
    CVornString location("http://", CVornString::kUnlocked);
    location.Append(host);
    // Control bytes in the path would end the header line.
    CVornString source(path, CVornString::kUnlocked);
    if (!source.StartsWith('/', 3))
        location.Append('/');
    for (int i = 0; i < source.Length(); ++i) {
        unsigned char c = static_cast<unsigned char>(source.CharAt(i));
        if (c >= 32 && c != 127)
            location.Append(static_cast<char>(c));
    }
    AddHeader("Location", location.CStr());
    return Finish();
}

void CVornHTTPRequest::SendPage(int status, const CVornString& body) {
    SetStatus(status);
    AddHeader("Content-Type", "text/html");
    AddHeader("Content-Length", body.Length());
    Write("\r\n");
    Write(body);
    Finish();
}

void CVornHTTPRequest::SendRefusal() {
    const char* heading = GetCatalogText(kMsgHttpRefusedHeading);
    if (heading == nullptr)
        heading = kRefusedHeading;
    const char* sentence = GetCatalogText(kMsgHttpRefusedText);
    if (sentence == nullptr)
        sentence = kRefusedText;
    CVornString url(CVornString::kUnlocked);
    m_URI.Format(url, true);
    CVornString escaped(CVornString::kUnlocked);
    AppendHtmlEscaped(escaped, url);
    CVornString text(CVornString::kUnlocked);
    text.Format(sentence, escaped.CStr());
    CVornString body("<body><h1>", CVornString::kUnlocked);
    body.Append(heading);
    body.Append("</h1>");
    body.Append(text);
    body.Append("</body>\r\n");
    SendPage(kHttpStatusRefused, body);
}
