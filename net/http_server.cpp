// The web server: one HTTP request per accepted connection, dispatched by
// the longest registered URL prefix to a handler or a directory of files.
//
//   CVornHTTPServer::Start, Rebind          listen, and learn the server's own host
//   CVornHTTPServer::AddHandler, AddDirectory  register a prefix
//   CVornHTTPServer::ProcessJob             read, check and answer one request
//   CVornHTTPServer::Dispatch               form variables, then handler or file
//   CVornHTTPServer::ServeFile              send a file that lies inside its directory
//   CVornHTTPServer::SendBadRequest, SendNotFound, SendCannotOpen, SendEntityError
//                                           the fixed error pages
//
// Bad input: a malformed or over-long request (also a form the stored
// request message cannot hold) gets "Bad Request", a body that cannot be
// read (short, over the bound, too slow) the entity error page, an unknown
// path or a file outside its directory "not found", a request for another
// host the refusal page; every text of the request that a page shows is
// HTML-escaped, and no page shows a path on the server.
#include "net/http_server.h"

#include <fcntl.h>

#include <chrono>
#include <climits>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>

#include "core/debug_log.h"
#include "core/disk_file.h"
#include "core/file_system.h"
#include "core/vorn_date.h"
#include "net/mail_message.h"
#include "net/message_parts.h"
#include "net/mime.h"
#include "net/tcp_socket.h"
#include "platform/file_ops.h"

namespace {

// Files are read and sent in pieces of this many bytes.
constexpr int kFilePiece = 64 * 1024;
// Room for the status line and header lines in front of a file.
constexpr int kHeaderReserve = 512;

// Deletes a request that its worker left in the table (a worker that ended
// by an exception): nothing more may go to its connection, which is gone.
void AbandonRequest(void* value) {
    CVornHTTPRequest* request = static_cast<CVornHTTPRequest*>(value);
    if (request == nullptr)
        return;
    request->Abandon();
    delete request;
}

// Reads and drops what the client still sends, for a bounded time and
// number of bytes, so that closing with unread input does not reset the
// connection before the client has read the response. The read deadline
// bounds even a client that trickles.
void DrainInput(CVornTCPSocket* connection) {
    if (connection->IsEOF())
        return;
    CVornReadDeadline deadline(connection);
    deadline.Arm(CVornHTTPServer::kDrainSeconds);
    CVornString piece(CVornString::kUnlocked);
    int total = 0;
    const int kPiece = 16384;
    while (total < CVornHTTPServer::kDrainBytes && !deadline.Expired()) {
        // A short read: the client sent nothing more for a second, or ended.
        int n = connection->Read(piece, kPiece, 1);
        if (n < kPiece || connection->IsEOF())
            break;
        total += n;
    }
}

// True when the path's part after prefix starts at a segment boundary:
// the path ends there, or the prefix ends with "/", or a "/" follows.
bool AtSegmentBoundary(const CVornString& path, const CVornString& prefix) {
    int n = prefix.Length();
    return path.Length() == n || prefix.EndsWith('/') || path.CharAt(n) == '/';
}

// A file opened for sending; closed when it goes.
struct OpenedFile {
    explicit OpenedFile(int fd) : m_Fd(fd) {}
    ~OpenedFile() {
        if (m_Fd >= 0)
            platform::CloseFile(m_Fd);
    }
    OpenedFile(const OpenedFile&) = delete;
    OpenedFile& operator=(const OpenedFile&) = delete;

    // The descriptor's own name in /proc, which stands for the opened file.
    std::string ProcName() const {
        char name[32];
        snprintf(name, sizeof name, "/proc/self/fd/%d", m_Fd);
        return name;
    }
    bool IsRegular() const {
        std::error_code error;
        return std::filesystem::is_regular_file(ProcName(), error) && !error;
    }
    // The real path of the opened file; the opened name resolved where
    // /proc is missing.
    std::string RealPath(const std::string& openedName) const {
        std::error_code error;
        std::filesystem::path real = std::filesystem::read_symlink(ProcName(), error);
        if (error || !real.is_absolute())
            real = std::filesystem::canonical(openedName, error);
        return error ? std::string() : real.string();
    }

    int m_Fd;
};

// True when path (resolved first unless resolved says it is) is a regular
// file inside the directory root (empty: the current one) once symbolic
// links are resolved.
bool LiesInside(const std::string& path, const std::string& root, bool resolved) {
    namespace fs = std::filesystem;
    if (path.empty())
        return false;
    std::error_code error;
    fs::path real = resolved ? fs::path(path) : fs::canonical(path, error);
    if (error || !fs::is_regular_file(real, error) || error)
        return false;
    fs::path realRoot = fs::canonical(root.empty() ? fs::path(".") : fs::path(root), error);
    if (error)
        return false;
    std::string rootPrefix = realRoot.string();
    if (rootPrefix.empty() || rootPrefix.back() != '/')
        rootPrefix += '/';
    return real.string().compare(0, rootPrefix.size(), rootPrefix) == 0;
}

}  // namespace

CVornHTTPServer::CVornHTTPServer(const char* name, const char* tempDir)
    : CVornTCPServer(name), m_TempDir(tempDir) {}

CVornHTTPServer::~CVornHTTPServer() {
    Stop();
    // Requests left by workers that Stop gave up on are still in use by
    // them; they are not touched. Normally the table is empty here.
    CVornLockGuard guard(m_Lock);
    CVornString key;
    void* value = nullptr;
    while (m_LiveRequests.First(key, &value)) m_LiveRequests.Find(key, nullptr, true);
}

bool CVornHTTPServer::Start(int workers, int helpers, const CVornHostAddress& address) {
    CVornLockGuard guard(m_Lock);
    if (!CVornTCPServer::Start(workers, helpers, address))
        return false;
    GetLocalHost(m_OwnHost);
    return true;
}

bool CVornHTTPServer::Rebind(const CVornHostAddress& address) {
    CVornLockGuard guard(m_Lock);
    bool ok = Listen(address);
    GetLocalHost(m_OwnHost);
    return ok;
}

void CVornHTTPServer::addEntry(const char* prefix, const PrefixEntry& entry) {
    PrefixEntry added = entry;
    added.m_Prefix.Assign(prefix);
    added.m_Prefix.AddPrefix('/', 3);
    CVornLockGuard guard(m_Lock);
    m_Prefixes.AddHead(added);
}

void CVornHTTPServer::AddHandler(const char* prefix, WebCommandHandler handler) {
    if (prefix == nullptr || handler == nullptr)
        return;
    PrefixEntry entry;
    entry.m_Kind = kHandlerEntry;
    entry.m_Handler = handler;
    addEntry(prefix, entry);
}

void CVornHTTPServer::AddDirectory(const char* prefix, const char* directory) {
    if (prefix == nullptr || directory == nullptr)
        return;
    PrefixEntry entry;
    entry.m_Kind = kDirectoryEntry;
    entry.m_Directory.Assign(directory);
    addEntry(prefix, entry);
}

void CVornHTTPServer::GetOwnHost(CVornHostAddress& out) {
    CVornLockGuard guard(m_Lock);
    out = m_OwnHost;
}

void CVornHTTPServer::SetRequestTimeLimit(int seconds) {
    m_RequestTimeLimit = seconds < 1 ? 1 : seconds;
}

void CVornHTTPServer::SetHeadTimeLimit(int seconds) {
    m_HeadTimeLimit = seconds < 1 ? 1 : seconds;
}

// ---- The request flow

void CVornHTTPServer::ProcessJob(CVornTCPSocket* connection, int threadNumber) {
    CVornString id(CVornString::kUnlocked);
    id.Format("%d", threadNumber);
    CVornHTTPRequest* request = new CVornHTTPRequest(this, connection, threadNumber, m_TempDir);
    request->SetReadTimeLimit(m_RequestTimeLimit);
    request->SetHeadTimeLimit(m_HeadTimeLimit);
    threadStarting(id, request);
    try {
        serve(request);
    } catch (...) {
        // The worker is restarted; what the request buffered is not sent.
        request->Abandon();
        threadEnding(id);
        throw;
    }
    bool drain = !request->InputConsumed() && !request->TimedOut();
    threadEnding(id);  // finishes the response
    if (drain)
        DrainInput(connection);
}

void CVornHTTPServer::serve(CVornHTTPRequest* request) {
    request->Reset();
    if (!request->ReadRequestLine() || !request->ReadHeaders()) {
        SendBadRequest(request);
        return;
    }
    if (request->m_Method == kHttpMethodPost && !request->ReadEntity()) {
        SendEntityError(request);
        return;
    }
    // A target that names a host must name this server; a path alone is not
    // checked, nor is the Host header.
    CVornHostAddress target;
    if (request->GetURI().GetHost(target)) {
        CVornHostAddress own;
        GetOwnHost(own);
        if (!own.SameHost(target, true, nullptr)) {
            request->SendRefusal();
            return;
        }
    }
    Dispatch(request);
}

bool CVornHTTPServer::parseBody(CVornHTTPRequest* request) {
    CVornMailMessage* message = request->GetMessage();
    CVornString type(CVornString::kUnlocked), name(CVornString::kUnlocked),
        fileName(CVornString::kUnlocked);
    if (message->GetPartInfo(0, type, name, fileName) != 0)
        return true;
    if (type.Equals("application/x-www-form-urlencoded", 0)) {
        CVornString body(CVornString::kUnlocked);
        if (message->SeekFromStart(message->GetHeaderSize()) != 0 || message->ReadRest(body) < 0)
            return true;
        return request->ParseFormVariables(body);
    }
    if (!type.Equals("multipart/form-data", 0))
        return true;
    std::vector<CVornFormItem> items;
    int parts = message->GetPartCount();
    for (int part = 1; part <= parts; ++part) {
        CVornFormItem item;
        type.Clear();
        fileName.Clear();
        if (message->GetPartInfo(part, type, item.m_Name, fileName) != 0)
            continue;
        if (!fileName.IsEmpty()) {
            // An upload gives its file's name; the content is the handler's
            // to read from the request message.
            item.m_Value.Assign(fileName);
        } else {
            CVornMailMessage decoded;
            if (decoded.Open() != 0 || message->DecodePart(part, decoded, true) != 0 ||
                decoded.SeekBody() != 0 || decoded.ReadRest(item.m_Value) < 0)
                continue;
            item.m_Value.TrimRight("\r\n");
        }
        items.push_back(item);
        if (static_cast<int>(items.size()) > kMaxFormItems)
            break;
    }
    return request->AddFormItems(items);
}

bool CVornHTTPServer::Dispatch(CVornHTTPRequest* request) {
    CVornString path(CVornString::kUnlocked);
    bool pathValid = request->GetURI().GetPath(path, true);
    PrefixEntry best;
    bool found = false;
    if (pathValid) {
        CVornLockGuard guard(m_Lock);
        CVornLockGuard listGuard(m_Prefixes.m_Lock);
        for (auto* node = m_Prefixes.m_Head; node != nullptr; node = node->m_Next) {
            const PrefixEntry& entry = node->m_Element;
            if (!path.StartsWith(entry.m_Prefix, 0))
                continue;
            if (entry.m_Kind == kDirectoryEntry && !AtSegmentBoundary(path, entry.m_Prefix))
                continue;
            if (!found || entry.m_Prefix.Length() > best.m_Prefix.Length()) {
                best = entry;
                found = true;
            }
        }
    }

    // A file asked for without a body needs no stored request message: only
    // handlers read it. Its query is still held to the form bounds.
    bool fileWithoutBody =
        found && best.m_Kind == kDirectoryEntry && request->m_Method != kHttpMethodPost;
    bool withinBound = true;
    if (!fileWithoutBody) {
        if (!request->MakeMessage()) {
            // A request over a bound of the stored message (its part count,
            // say) is refused like the other bounds; for want of a temporary
            // file the connection just closes.
            if (request->MessageRefused())
                SendBadRequest(request);
            return false;
        }
        withinBound = parseBody(request);
    }
    CVornString query(CVornString::kUnlocked);
    if (request->GetURI().GetQuery(query) && !request->ParseFormVariables(query))
        withinBound = false;
    if (!fileWithoutBody)
        request->GetMessage()->RewindToStart();
    if (!withinBound || !pathValid) {
        SendBadRequest(request);
        return false;
    }
    if (!found) {
        SendNotFound(request, path);
        return false;
    }
    if (best.m_Kind == kHandlerEntry) {
        best.m_Handler(request);
        return true;
    }
    CVornString rest(CVornString::kUnlocked);
    rest.Assign(path);
    rest.KeepRight(path.Length() - best.m_Prefix.Length());
    CVornString filePath(best.m_Directory, CVornString::kUnlocked);
    if (!rest.StartsWith('/', 3) && !filePath.EndsWith('/'))
        filePath.Append('/');
    filePath.Append(rest);
    ServeFile(request, filePath, rest);
    return true;
}

void CVornHTTPServer::ServeFile(CVornHTTPRequest* request, const CVornString& filePath,
                                const CVornString& path) {
    namespace fs = std::filesystem;
    // ".." in the request's part of the path is refused outright (the
    // configured directory may hold one of its own).
    CVornString file(filePath, CVornString::kUnlocked);
    CVornString requested(path, CVornString::kUnlocked);
    if (requested.Contains("..", 3)) {
        SendNotFound(request, path);
        return;
    }
    // The directory is filePath without path; the file must really lie in
    // it (symbolic links resolved) and be a regular file.
    std::string fileText(file.CStr(), static_cast<size_t>(file.Length()));
    CVornString suffix(path, CVornString::kUnlocked);
    std::string rootText;
    if (fileText.size() >= static_cast<size_t>(suffix.Length()) &&
        fileText.compare(fileText.size() - suffix.Length(), suffix.Length(), suffix.CStr(),
                         suffix.Length()) == 0) {
        rootText = fileText.substr(0, fileText.size() - suffix.Length());
    } else {
        rootText = fs::path(fileText).parent_path().string();
    }

    // The file is opened first and then checked: what is checked is what is
    // sent, and the kernel names the opened file's real path at once instead
    // of a link look-up per path component. Non-blocking, so that a FIFO in
    // the directory cannot hold the worker in open; it is refused below.
    OpenedFile opened(platform::OpenFile(fileText.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY, 0));
    if (opened.m_Fd < 0) {
        // Not there, or there but unreadable: the answers differ.
        if (LiesInside(fileText, rootText, false))
            SendCannotOpen(request, path);
        else
            SendNotFound(request, path);
        return;
    }
    platform::FileInfo info;
    if (!opened.IsRegular() || !platform::StatFile(opened.m_Fd, &info) ||
        !LiesInside(opened.RealPath(fileText), rootText, true)) {
        SendNotFound(request, path);
        return;
    }

    CVornString extension(CVornString::kUnlocked), type(CVornString::kUnlocked);
    GetFileExtension(file.CStr(), extension);  // the name the request asked for
    ContentTypeForFile(extension.CStr(), type);
    CVornDate modified;
    modified.SetTime(info.modTime);
    CVornString date(CVornString::kUnlocked);
    modified.FormatRFC822InZone("GMT", date);
    int size = info.size > INT_MAX ? INT_MAX : static_cast<int>(info.size);
    bool body = request->m_Method != kHttpMethodHead;
    // The header block goes out with the first piece of the file: one write
    // for a small file, and a block reserved once for a large one.
    request->ReserveResponse(kHeaderReserve + (body ? size : 0));
    request->AddHeader("Content-Type", type.CStr());
    request->AddHeader("Content-Length", size);
    request->AddHeader("Last-Modified", date.CStr());
    request->Write("\r\n");
    if (body && size > 0) {
        int want = size < kFilePiece ? size : kFilePiece;
        std::unique_ptr<char[]> piece(new char[want]);
        for (long left = size; left > 0;) {
            long n = platform::ReadSome(opened.m_Fd, piece.get(),
                                        static_cast<size_t>(left < want ? left : want));
            if (n <= 0 || request->Write(piece.get(), static_cast<int>(n)) < 0)
                break;
            left -= n;
        }
    }
    request->Finish();
}

// ---- Error pages

void CVornHTTPServer::sendPage(CVornHTTPRequest* request, int status, const CVornString& body) {
    request->SendPage(status, body);
}

void CVornHTTPServer::SendBadRequest(CVornHTTPRequest* request) {
    sendPage(request, kHttpStatusBadRequest,
             CVornString("<body><h1>Bad Request</h1></body>\r\n", CVornString::kUnlocked));
}

void CVornHTTPServer::SendNotFound(CVornHTTPRequest* request, const CVornString& path) {
    CVornString body("<body><h1>Document <tt>", CVornString::kUnlocked);
    AppendHtmlEscaped(body, path);
    body.Append("</tt> not found.</h1></body>\r\n");
    sendPage(request, kHttpStatusNotFound, body);
}

void CVornHTTPServer::SendCannotOpen(CVornHTTPRequest* request, const CVornString& path) {
    CVornString body("<body><h1>Cannot open file <tt>", CVornString::kUnlocked);
    AppendHtmlEscaped(body, path);
    body.Append("</tt></h1></body>\r\n");
    sendPage(request, kHttpStatusServerError, body);
}

void CVornHTTPServer::SendEntityError(CVornHTTPRequest* request) {
    sendPage(
        request, kHttpStatusServerError,
        CVornString("<body><h1>Internal Server Error</h1>Unable to read request entity</body>\r\n",
                    CVornString::kUnlocked));
}

// ---- Live requests

void CVornHTTPServer::threadStarting(const CVornString& id, CVornHTTPRequest* request) {
    CVornLockGuard guard(m_Lock);
    m_LiveRequests.Insert(id, request, &AbandonRequest);
}

void CVornHTTPServer::threadEnding(const CVornString& id) {
    void* value = nullptr;
    bool found;
    {
        CVornLockGuard guard(m_Lock);
        found = m_LiveRequests.Find(id, &value, true);
    }
    if (!found) {
        if (!g_LogSilent) {
            CVornString text(id, CVornString::kUnlocked);
            LogFormat(kLogError, "CVornHTTPServer::threadEnding thread id %s not found",
                      text.CStr());
        }
        return;
    }
    // Deleted outside the lock: its destructor sends what is left.
    delete static_cast<CVornHTTPRequest*>(value);
}
