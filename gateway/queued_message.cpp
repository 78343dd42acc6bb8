// CQueuedMessage: a spooled message, its envelope file, its body file, its
// recipients and its cross-process lock.
//
//   Open(name, dir)          load an envelope; Open(null, dir) reserve a new name
//   WriteEnvelope            atomic, synced rewrite of the envelope
//   Delete                   remove both files under the message lock
//   Lock / TryLock / Unlock  the lock "TKMSG" + name
//   Set... / Get...          envelope values; AddRecipient, addRecipientNode;
//                            SetStatusText (a recipient's, cut to the bound)
//   OpenBodyForWrite / OpenBodyForRead / AppendBody / ReadBodyLine / CloseBody
//   WriteReceivedHeader      the gateway's trace header at the top of the body
//   ExpandRecipients         list expansion, relay check, duplicate removal
//   RelayDenied              whether the message's client may not relay
//   resolveBangPath          whether a relay route covers the first hop
//
// Bad input: texts with CR or LF (sender, source text, addresses) and texts
// over kMaxTextLength are refused by the setters; an envelope that is not a
// version line followed by the fixed lines and whole recipient records
// fails to load (1); an envelope file over 64 MiB is not read at all.
#include "gateway/queued_message.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <new>

#include "config/config_object.h"
#include "config/config_store.h"
#include "config/list_membership.h"
#include "core/clock.h"
#include "core/compare_no_case.h"
#include "core/event_log.h"
#include "core/file_system.h"
#include "core/pseudo_random.h"
#include "core/splitter.h"
#include "core/vorn_date.h"
#include "core/vorn_exception.h"
#include "gateway/relay_routes.h"
#include "gateway/spool_files.h"
#include "net/host_address.h"
#include "net/mail_address.h"
#include "net/mail_message.h"
#include "platform/file_ops.h"

namespace {

constexpr long long kMaxEnvelopeBytes = 64LL * 1024 * 1024;
constexpr int kEnvelopeWriteFailed = 31;  // error: envelope path
constexpr int kOutOfMemory = 24;          // error: 0
// Draws of a new name before a reservation gives up (the random part has
// 32678 values per second).
constexpr int kMaxNameAttempts = 100000;

bool HasLineBreak(const char* text) {
    for (const char* p = text; *p; ++p) {
        if (*p == '\r' || *p == '\n')
            return true;
    }
    return false;
}

bool TooLong(const char* text) {
    return text && strnlen(text, CQueuedMessage::kMaxTextLength + 1) >
                       static_cast<size_t>(CQueuedMessage::kMaxTextLength);
}

// A text as one envelope line: CR and LF become blanks.
std::string OneLine(const std::string& text) {
    std::string line(text);
    for (char& c : line) {
        if (c == '\r' || c == '\n')
            c = ' ';
    }
    return line;
}

// The same for a header part, where a line break is dropped.
std::string NoLineBreaks(const char* text) {
    std::string out;
    for (const char* p = text ? text : ""; *p; ++p) {
        if (*p != '\r' && *p != '\n')
            out += *p;
    }
    return out;
}

void AppendLine(std::string& out, const std::string& line) {
    out += line;
    out += "\r\n";
}

}  // namespace

CQueuedMessage::CQueuedMessage() {
    m_CreationTime = Now();
    m_LastUpdate = m_CreationTime;
}

CQueuedMessage::~CQueuedMessage() {
    m_Body.reset();
    freeRecipients();
    if (m_Locked) {
        try {
            m_MessageLock.Unlock();
        } catch (const CVornException&) {
        }
        m_Locked = false;
    }
}

// ---- Files and names

void CQueuedMessage::setName(const char* name) {
    m_Reserved = false;
    m_Name.assign(name ? name : "");
    m_LockName = "TKMSG" + m_Name;
}

void CQueuedMessage::GetEnvelopePath(CVornString& out) const {
    JoinPath(out, m_Directory.c_str(), m_Name.c_str());
    out.Append(".env");
}

void CQueuedMessage::GetBodyPath(CVornString& out) const {
    JoinPath(out, m_Directory.c_str(), m_Name.c_str());
    out.Append(".mes");
}

void CQueuedMessage::newName(CVornString& out) {
    int date = 0;
    int time = 0;
    NowPacked(&date, &time);
    char text[64];
    snprintf(text, sizeof text, "M%08d%06d%05d", date, time, PseudoRandom() % 32678);
    out.Assign(text);
}

// A mutex whose last holder died (abandoned) makes the first attempt throw
// 44 with nothing held; the next attempt acquires it normally.
bool CQueuedMessage::takeLock(bool wait) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        try {
            // The handle is opened once per name and kept, so that taking
            // the lock again does not make its lock file anew.
            if (m_OpenLockName != m_LockName) {
                m_MessageLock.SetName(m_LockName.c_str());
                m_OpenLockName = m_LockName;
            }
            if (wait) {
                m_MessageLock.Lock();
                return true;
            }
            return m_MessageLock.TryLock() == 0;
        } catch (const CVornException& e) {
            if (e.m_Code != 44 || attempt == 1)
                return false;
        }
    }
    return false;
}

int CQueuedMessage::Lock() {
    if (m_LockName.empty() || m_Name.empty())
        return 1;
    if (m_Locked)
        return 0;
    if (!takeLock(true))
        return 1;
    m_Locked = true;
    return 0;
}

int CQueuedMessage::TryLock() {
    if (m_Name.empty())
        return 1;
    if (m_Locked)
        return 0;
    if (!takeLock(false))
        return 1;
    m_Locked = true;
    return 0;
}

int CQueuedMessage::Unlock() {
    if (m_Locked) {
        m_Locked = false;
        try {
            m_MessageLock.Unlock();
        } catch (const CVornException&) {
        }
    }
    return 0;
}

int CQueuedMessage::Open(const char* name, const char* directory) {
    try {
        // A lock held under another name would be lost with the name.
        if (m_Locked && (!name || m_Name != name))
            Unlock();
        m_Directory.assign(directory ? directory : "");
        if (name) {
            setName(name);
            bool held = m_Locked;
            if (!held && !takeLock(true))
                return 1;
            int errors = 1;
            try {
                errors = readEnvelope();
            } catch (...) {
                if (!held)
                    m_MessageLock.Unlock();
                throw;
            }
            if (!held)
                m_MessageLock.Unlock();
            return errors == 0 ? 0 : 1;
        }

        // Reserve a name: never wait for a lock someone else holds. Every
        // draw of one second may be taken; then give up rather than spin.
        for (int attempt = 0; attempt < kMaxNameAttempts; ++attempt) {
            CVornString candidate(CVornString::kUnlocked);
            newName(candidate);
            setName(candidate.CStr());
            if (!takeLock(false))
                continue;
            CVornString path(CVornString::kUnlocked);
            GetEnvelopePath(path);
            if (FileExists(path.CStr(), false)) {
                m_MessageLock.Unlock();
                continue;
            }
            int fd = platform::OpenFile(path.CStr(), O_WRONLY | O_CREAT | O_EXCL, 0600);
            if (fd < 0) {
                int error = errno;
                m_MessageLock.Unlock();
                if (error == EEXIST)
                    continue;
                return 1;
            }
            bool closed = platform::CloseFile(fd);
            // A body under this name without an envelope is what a process
            // killed while deleting an earlier message left (names repeat:
            // a process started within the same second draws the same
            // ones); the new message must not be appended to it.
            GetBodyPath(path);
            platform::RemovePath(path.CStr());
            m_MessageLock.Unlock();
            m_Reserved = closed;
            return closed ? 0 : 1;
        }
        setName(nullptr);
        return 1;
    } catch (const std::bad_alloc&) {
        LogEventInt(kOutOfMemory, 1, 0);
        return 1;
    } catch (const CVornException&) {
        return 1;
    }
}

int CQueuedMessage::TryOpen(const char* name, const char* directory) {
    m_Directory.assign(directory ? directory : "");
    if (!m_Locked || m_Name != (name ? name : "")) {
        Unlock();
        setName(name);
        if (TryLock() != 0)
            return kBusy;
    }
    CVornString path(CVornString::kUnlocked);
    GetEnvelopePath(path);
    if (!platform::PathExists(path.CStr())) {
        Unlock();
        return kMissing;
    }
    int errors = 1;
    try {
        errors = readEnvelope();
    } catch (const std::bad_alloc&) {
        // Out of memory says nothing about the envelope: try again later.
        LogEventInt(kOutOfMemory, 1, 0);
        Unlock();
        return kBusy;
    }
    return errors == 0 ? kOpened : kDamaged;
}

int CQueuedMessage::readEnvelope() {
    CVornString path(CVornString::kUnlocked);
    GetEnvelopePath(path);
    std::string text;
    if (!ReadSpoolFile(path.CStr(), kMaxEnvelopeBytes, &text))
        return 1;
    std::vector<std::string> lines = SplitSpoolLines(text);
    size_t next = 0;
    int errors = 0;
    auto line = [&](std::string& out) {
        if (next >= lines.size()) {
            ++errors;
            return false;
        }
        out = lines[next++];
        return true;
    };

    std::string l;
    int version = 0;
    long written = 0;
    // A file that does not begin with the version line is no envelope.
    freeRecipients();
    if (!line(l) || sscanf(l.c_str(), "# %d %ld", &version, &written) != 2)
        return 1;
    if (line(l))
        sscanf(l.c_str(), "%d", &m_Complete);
    long value = 0;
    if (line(l) && sscanf(l.c_str(), "%ld", &value) == 1)
        m_CreationTime = value;
    if (line(l) && sscanf(l.c_str(), "%ld", &value) == 1)
        m_LastUpdate = value;
    if (line(l))
        sscanf(l.c_str(), "%ld", &m_BodySize);
    if (line(l))
        sscanf(l.c_str(), "%d", &m_Kind);
    if (line(l))
        sscanf(l.c_str(), "%d", &m_NoticesSent);
    if (line(l) && SetSender(l.c_str()) != 0)
        ++errors;
    if (line(l)) {
        if (version == 1) {
            SetSourceText(l.c_str());
        } else if (version == 2) {
            size_t space = l.find(' ');
            std::string type = space == std::string::npos ? l : l.substr(0, space);
            SetSourceType(atoi(type.c_str()));
            SetSourceText(space == std::string::npos ? "" : l.c_str() + space + 1);
        }
    }
    if (errors)
        return errors;

    while (next < lines.size()) {
        int status = 0, reason = 0, attempts = 0, notify = 0;
        long last = 0;
        std::string numbers = lines[next++];
        std::string address, bounce, statusText;
        if (sscanf(numbers.c_str(), "%d %d %d %ld %d", &status, &reason, &attempts, &last,
                   &notify) != 5 ||
            !line(address) || !line(bounce) || !line(statusText)) {
            return errors ? errors : 1;
        }
        if (addRecipientNode(address.c_str(), bounce.c_str(), statusText.c_str(), reason, status,
                             attempts, last, notify) != 0)
            return 1;
    }
    return errors;
}

int CQueuedMessage::FlushEnvelope() {
    if (!m_WritePending)
        return 0;
    bool hold = m_HoldWrites;
    m_HoldWrites = false;
    int result = WriteEnvelope();
    m_HoldWrites = hold;
    return result;
}

int CQueuedMessage::WriteEnvelope() {
    if (!m_HasSender || m_Name.empty())
        return 1;
    if (m_HoldWrites) {
        m_WritePending = true;
        return 0;
    }
    CVornString path(CVornString::kUnlocked);
    GetEnvelopePath(path);
    std::string text;
    char number[128];
    snprintf(number, sizeof number, "# %d %ld", 2, static_cast<long>(Now()));
    AppendLine(text, number);
    AppendLine(text, std::to_string(m_Complete));
    AppendLine(text, std::to_string(static_cast<long>(m_CreationTime)));
    AppendLine(text, std::to_string(static_cast<long>(m_LastUpdate)));
    AppendLine(text, std::to_string(m_BodySize));
    AppendLine(text, std::to_string(m_Kind));
    AppendLine(text, std::to_string(m_NoticesSent));
    AppendLine(text, OneLine(m_Sender));
    AppendLine(text, std::to_string(m_SourceType) + " " + OneLine(m_SourceText));
    for (QueuedRecipient* r = m_Recipients; r; r = r->m_Next) {
        snprintf(number, sizeof number, "%d %d %d %ld %d", r->m_Status, r->m_Reason,
                 r->m_Attempts, static_cast<long>(r->m_LastAttempt), r->m_Notify);
        AppendLine(text, number);
        AppendLine(text, OneLine(r->m_Address));
        AppendLine(text, OneLine(r->m_BounceAddress));
        AppendLine(text, OneLine(r->m_StatusText));
    }
    // The first envelope of a new message goes into its empty reservation:
    // until the message is queued (after this write) no reader trusts it,
    // and a crash part way leaves an envelope that cannot be read, which
    // the start-up recovery sets aside. That saves making, renaming and
    // removing a temporary file for every message accepted.
    bool written = m_Reserved ? FillSpoolFile(path.CStr(), text)
                              : WriteSpoolFile(path.CStr(), text, "_new");
    if (written) {
        m_Reserved = false;
        m_WritePending = false;
        return 0;
    }

    CVornString event(CVornString::kUnlocked);
    const char* format = m_Catalog.GetText(kEnvelopeWriteFailed);
    event.Format(format ? format : "%s", path.CStr());
    int zero = 0;
    WriteEventLog(1, kEnvelopeWriteFailed, event.CStr(), 4, &zero);
    return 1;
}

int CQueuedMessage::Delete(bool syncDirectory) {
    if (m_Name.empty())
        return 0;
    if (!m_Locked)
        Lock();
    m_Body.reset();
    CVornString path(CVornString::kUnlocked);
    // The envelope goes first: a body without an envelope is never queued
    // again, an envelope without its body would be.
    GetEnvelopePath(path);
    platform::RemovePath(path.CStr());
    path.Append("_new");
    platform::RemovePath(path.CStr());
    GetBodyPath(path);
    platform::RemovePath(path.CStr());
    m_WritePending = false;
    m_Reserved = false;
    if (syncDirectory)
        SyncDirectory(m_Directory.empty() ? "." : m_Directory);
    Unlock();
    return 0;
}

// ---- Envelope values

void CQueuedMessage::touch() {
    m_LastUpdate = Now();
}

int CQueuedMessage::SetSender(const char* text) {
    if (!text || HasLineBreak(text) || TooLong(text))
        return 1;
    try {
        m_Sender.assign(text);
    } catch (const std::bad_alloc&) {
        LogEventInt(kOutOfMemory, 1, 0);
        return 1;
    }
    m_HasSender = true;
    touch();
    return 0;
}

int CQueuedMessage::SetSourceText(const char* text) {
    if (!text || HasLineBreak(text) || TooLong(text))
        return 1;
    try {
        m_SourceText.assign(text);
    } catch (const std::bad_alloc&) {
        LogEventInt(kOutOfMemory, 1, 0);
        return 1;
    }
    m_HasSourceText = true;
    touch();
    return 0;
}

int CQueuedMessage::SetSourceType(int type) {
    if (type < 0 || type > 2)
        return 1;
    m_SourceType = type;
    return 0;
}

void CQueuedMessage::SetComplete(int flag) {
    m_Complete = flag;
    touch();
}

int CQueuedMessage::AddRecipient(const char* address, int status, int attempts,
                                 time_t lastAttempt) {
    return addRecipientNode(address, nullptr, nullptr, 0, status, attempts, lastAttempt, 0);
}

void CQueuedMessage::SetStatusText(QueuedRecipient& recipient, const char* text) {
    if (!text) {
        recipient.m_StatusText.clear();
        return;
    }
    recipient.m_StatusText.assign(text, strnlen(text, static_cast<size_t>(kMaxTextLength)));
}

int CQueuedMessage::addRecipientNode(const char* address, const char* bounceAddress,
                                     const char* statusText, int reason, int status,
                                     int attempts, time_t lastAttempt, int notify) {
    if (!address || HasLineBreak(address) || TooLong(address) || TooLong(bounceAddress) ||
        TooLong(statusText) || (bounceAddress && HasLineBreak(bounceAddress)))
        return 1;
    try {
        auto* r = new QueuedRecipient();
        r->m_Address.assign(address);
        if (bounceAddress)
            r->m_BounceAddress.assign(bounceAddress);
        if (statusText)
            r->m_StatusText = OneLine(statusText);
        r->m_Reason = reason;
        r->m_Status = status;
        r->m_Attempts = attempts;
        r->m_LastAttempt = lastAttempt;
        r->m_Notify = notify;
        r->m_Next = m_Recipients;
        m_Recipients = r;
    } catch (const std::bad_alloc&) {
        LogEventInt(kOutOfMemory, 1, 0);
        return 1;
    }
    touch();
    return 0;
}

void CQueuedMessage::freeRecipients() {
    while (m_Recipients) {
        QueuedRecipient* next = m_Recipients->m_Next;
        delete m_Recipients;
        m_Recipients = next;
    }
}

void CQueuedMessage::removeRecipient(QueuedRecipient* recipient) {
    for (QueuedRecipient** link = &m_Recipients; *link; link = &(*link)->m_Next) {
        if (*link == recipient) {
            *link = recipient->m_Next;
            delete recipient;
            return;
        }
    }
}

// ---- Body

int CQueuedMessage::OpenBodyForWrite(int mode, int flags) {
    m_Body.reset();
    CVornString path(CVornString::kUnlocked);
    GetBodyPath(path);
    try {
        if (mode == 2) {
            m_BodySize = 0;
            m_Body.reset(new CVornMailMessage(path.CStr(), 0, 0, flags | 0x1100, 2));
        } else {
            m_Body.reset(new CVornMailMessage(path.CStr(), 0, 0, flags | 0x0800, mode));
        }
    } catch (const std::bad_alloc&) {
        LogEventInt(kOutOfMemory, 1, 0);
        return 1;
    }
    std::string id = "UNKNOWN";
    if (!m_Name.empty()) {
        CVornMailAddress address;
        if (address.Set(m_Name.c_str()) == 0 && address.Get(CVornMailAddress::kFormCanonical))
            id = address.Get(CVornMailAddress::kFormCanonical);
    }
    int result = m_Body->Open(m_HasSender ? m_Sender.c_str() : nullptr, id.c_str());
    if (result != 0)
        m_Body.reset();
    return result == 0 ? 0 : 1;
}

CVornMailMessage* CQueuedMessage::OpenBodyForRead(int flags, int mode) {
    CVornString path(CVornString::kUnlocked);
    GetBodyPath(path);
    std::unique_ptr<CVornMailMessage> body;
    try {
        body.reset(new CVornMailMessage(path.CStr(), 0, 0, flags, mode));
    } catch (const std::bad_alloc&) {
        LogEventInt(kOutOfMemory, 1, 0);
        return nullptr;
    }
    if (body->Open() != 0)
        return nullptr;
    return body.release();
}

int CQueuedMessage::AppendBody(const char* bytes, int length) {
    if (!m_Body || m_Body->Write(bytes, length) != 0)
        return 1;
    touch();
    return 0;
}

int CQueuedMessage::AppendBody(const CVornString& text) {
    CVornString copy(text, CVornString::kUnlocked);
    return AppendBody(copy.CStr(), copy.Length());
}

int CQueuedMessage::ReadBodyLine(CVornString& out) {
    if (!m_Body)
        return -1;
    return m_Body->ReadLine(out);
}

int CQueuedMessage::CloseBody() {
    if (!m_Body)
        return 1;
    int result = m_Body->Close();
    m_Body.reset();
    RefreshBodySize();
    return result == 0 ? 0 : 1;
}

int CQueuedMessage::GetHopCount() {
    return m_Body ? m_Body->GetHopCount() : 0;
}

void CQueuedMessage::GetSubject(CVornString& out) {
    out.Clear();
    if (m_Body)
        m_Body->GetHeader("Subject", out);
}

void CQueuedMessage::RefreshBodySize() {
    CVornString path(CVornString::kUnlocked);
    GetBodyPath(path);
    platform::FileInfo info;
    if (platform::StatPath(path.CStr(), &info))
        m_BodySize = static_cast<long>(info.size);
}

int CQueuedMessage::WriteReceivedHeader(const char* clientName, const char* clientAddress,
                                        const char* ownHost, const char* product,
                                        const char* version, const char* recipient) {
    if (!m_Body)
        return 1;
    CVornString date(CVornString::kUnlocked);
    CVornDate().FormatRFC822(date);
    std::string forPart;
    if (recipient)
        forPart = "for <" + NoLineBreaks(recipient) + ">";
    std::string client = NoLineBreaks(clientName);
    const char* format = client.find('.') != std::string::npos
                             ? "Received: from %s ([%s])\r\n by %s (%s %s) with SMTP id %s\r\n %s; %s\r\n"
                             : "Received: (from %s [%s])\r\n by %s (%s %s) with SMTP id %s\r\n %s; %s\r\n";
    CVornString header(CVornString::kUnlocked);
    header.Format(format, client.c_str(), NoLineBreaks(clientAddress).c_str(),
                  NoLineBreaks(ownHost).c_str(), NoLineBreaks(product).c_str(),
                  NoLineBreaks(version).c_str(), m_Name.c_str(), forPart.c_str(), date.CStr());
    return AppendBody(header);
}

// ---- Spool entry

QueuedRecipient* CQueuedMessage::markPending(QueuedRecipient* recipient) {
    recipient->m_Status = kRecipientPending;
    recipient->m_Notify = 0;
    return recipient;
}

bool CQueuedMessage::resolveBangPath(CVornMailAddress& address) {
    const char* route = address.Get(CVornMailAddress::kFormRoute);
    if (!route)
        return false;
    const char* bang = strchr(route, '!');
    if (!bang || bang == route)
        return false;
    std::string hop(route, static_cast<size_t>(bang - route));
    CRelayRoutingTable table;
    CRelayRoute found;
    return table.Lookup(hop.c_str(), found);
}

bool CQueuedMessage::RelayDenied() {
    if (m_SourceType != kSourceSmtp)
        return false;
    CVornString source(m_SourceText.c_str(), CVornString::kUnlocked);
    int address = 0;
    ParseDottedQuad(source, &address);
    // The client as its address alone: a name that its address points back
    // to (PTR) is the client's own claim and proves nothing.
    CVornHostAddress client;
    client.SetAddress(CVornHostAddressEntry(static_cast<uint32_t>(address)));

    CVornString mode(CVornString::kUnlocked);
    CVornConfigStore::GetSetting(nullptr, nullptr, "RelayMode", mode);
    if (mode.Equals("N", 0))
        return true;
    if (!mode.Equals("H", 0))
        return false;

    CVornString hosts(CVornString::kUnlocked);
    CVornConfigStore::GetSetting(nullptr, nullptr, "RelayAllowHosts", hosts);
    CVornSplitter entries;
    entries.Split(hosts, kRouteItemSeparator, 0);
    CVornString entry(CVornString::kUnlocked);
    for (int i = 0; entries.GetAt(i, entry); ++i) {
        // An address is compared as it stands: never sent to the name
        // server as a name (a server that refuses such a question makes the
        // lookup, and with it every RCPT, wait for its time-out).
        int literal = 0;
        if (ParseDottedQuad(entry, &literal)) {
            if (literal == address)
                return false;
            continue;
        }
        // Forward-confirmed: an allowed name counts when its own addresses
        // include the client's.
        CVornHostAddress allowed(entry.CStr(), 0);
        CVornString resolved(CVornString::kUnlocked);
        allowed.GetAddressString(resolved);
        if (allowed.SameHost(client, false, nullptr))
            return false;
    }
    return true;
}

int CQueuedMessage::ExpandRecipients(CVornListMembership* lists) {
    try {
        if (lists) {
            std::vector<std::string> expanded;
            for (QueuedRecipient* r = m_Recipients; r;) {
                QueuedRecipient* next = r->m_Next;
                CVornMailAddress address;
                const char* route = nullptr;
                if (address.Set(r->m_Address.c_str()) == 0)
                    route = address.Get(CVornMailAddress::kFormRoute);
                if (route && !strchr(route, '!') && CVornConfigStore::ObjectExists('L', route)) {
                    std::string list(route);
                    bool seen = false;
                    for (const std::string& done : expanded) seen = seen || done == list;
                    if (!seen) {
                        expanded.push_back(list);
                        CVornSortedList<CVornString> members(&CompareNoCase);
                        lists->GetMembers(list.c_str(), members);
                        CVornString owner(CVornString::kUnlocked);
                        ListOwnerAddress(list.c_str(), owner);
                        QueuedRecipient* tail = m_Recipients;
                        while (tail->m_Next) tail = tail->m_Next;
                        CVornLockGuard guard(members.m_List.m_Lock);
                        for (auto* node = members.m_List.m_Head; node; node = node->m_Next) {
                            CVornString member(node->m_Element, CVornString::kUnlocked);
                            if (member.IsEmpty() || member.StartsWith('@', 1) ||
                                member.EndsWith('@') || HasLineBreak(member.CStr()))
                                continue;
                            auto* added = new QueuedRecipient();
                            added->m_Address.assign(member.CStr());
                            added->m_BounceAddress.assign(owner.CStr());
                            added->m_Status = kRecipientPending;
                            added->m_ListMember = 1;
                            tail->m_Next = added;
                            tail = added;
                        }
                    }
                    next = r->m_Next;
                    removeRecipient(r);
                }
                r = next;
            }
        }

        for (QueuedRecipient* r = m_Recipients; r; r = r->m_Next) {
            if (r->m_Address.empty())
                continue;
            CVornMailAddress address;
            if (address.Set(r->m_Address.c_str()) != 0)
                continue;
            const char* route = address.Get(CVornMailAddress::kFormRoute);
            const char* canonical = address.Get(CVornMailAddress::kFormCanonical);
            if (route && strchr(route, '!') && !resolveBangPath(address) && !r->m_ListMember &&
                RelayDenied()) {
                r->m_Status = kRecipientFailed;
                r->m_Notify = 1;
                r->m_Reason = kReasonRelayDenied;
                continue;
            }
            markPending(r);
            if (!canonical)
                continue;
            std::string form(canonical);
            if (form != r->m_Address)
                r->m_Address = form;
            for (QueuedRecipient* later = r->m_Next; later;) {
                QueuedRecipient* following = later->m_Next;
                CVornMailAddress other;
                if (other.Set(later->m_Address.c_str()) == 0 &&
                    other.Get(CVornMailAddress::kFormCanonical) &&
                    form == other.Get(CVornMailAddress::kFormCanonical))
                    removeRecipient(later);
                later = following;
            }
        }
    } catch (const std::bad_alloc&) {
        LogEventInt(kOutOfMemory, 1, 0);
        return 1;
    }
    return 0;
}
