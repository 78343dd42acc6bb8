// CVornMailMessage: a mail message stored in a file or in memory, parsed
// line by line as it is written (or, with kParseOnOpen, as it is opened).
//
//   CVornMailMessage()            a memory message (written, then read back)
//   CVornMailMessage(path, ...)   a message on a disk file, for writing or reading
//   Open / Close / Discard        start, end or throw away a message
//   Write                         data of the message; the header block is parsed
//   ReadLine / Read / ReadRest    read within the message's bounds
//   RewindToStart / SeekFromStart / SeekBody
//   GetSize, GetBodySize, GetHeaderSize, GetStartOffset, GetHopCount,
//   IsInBody, GetSender, GetHeader
//   MailHeaderFlags, g_MailHeaderFlags, DebugHook
//
// Bad input: operations without a file give 1 or -1; a header field, header
// block or part list beyond its bound (see the header) fails the Write (or
// the Open that parses) with 1 and a warning line in the debug log; an
// address that does not parse is written as it stands. Every failed write
// to the file calls DebugHook. Nothing throws except std::bad_alloc.
//
// How a header line longer than kLineChunk is handled: it reaches the parse
// in pieces, and a piece that continues a cut line always belongs to the
// line it continues. It never starts a field, never ends the header block and
// is never a boundary line, so a long line cannot turn the rest of a header
// block into body.
#include "net/mail_message.h"

#include <climits>
#include <cstring>
#include <new>

#include "core/debug_log.h"
#include "core/disk_file.h"
#include "core/event_log.h"
#include "core/memory_file.h"
#include "core/vorn_date.h"
#include "core/vorn_file.h"
#include "net/mail_address.h"
#include "net/mime.h"

const CVornMailHeaderFlag g_MailHeaderFlags[] = {
    {"From", 0x03},
    {"Sender", 0x03},
    {"To", 0x05},
    {"Resent-To", 0x05},
    {"CC", 0x05},
    {"Resent-CC", 0x05},
    {"Reply-To", 0x01},
    {"Resent-Reply-To", 0x01},
    {"Resent-From", 0x01},
    {"Resent-Sender", 0x01},
    {"Message-Id", 0x08},
    {"Date", 0x10},
    {"Resent-Date", 0x10},
    {"Content-Type", 0x20},
    {"Content-Length", 0x20},
    {"Content-Transfer-Encoding", 0x20},
    {nullptr, 0},
};

int MailHeaderFlags(const CVornString& name) {
    for (const CVornMailHeaderFlag* row = g_MailHeaderFlags; row->m_Name; ++row) {
        if (name.Equals(row->m_Name, 2))
            return row->m_Flags;
    }
    return 0;
}

void DebugHook() {}

namespace {

constexpr int kEventNoMemory = 24;

bool IsBlankOrTab(char c) {
    return c == ' ' || c == '\t';
}

// A heap copy of text (null for null); reports event 24 and sets *failed
// when memory runs out.
char* CopyText(const char* text, bool* failed) {
    if (!text)
        return nullptr;
    size_t n = std::strlen(text);
    char* copy = new (std::nothrow) char[n + 1];
    if (!copy) {
        LogEventInt(kEventNoMemory, 1, 0);
        *failed = true;
        return nullptr;
    }
    std::memcpy(copy, text, n + 1);
    return copy;
}

// text without its trailing CR and LF bytes: the length that remains.
int WithoutLineEnd(const char* text, int length) {
    while (length > 0 && (text[length - 1] == '\r' || text[length - 1] == '\n')) --length;
    return length;
}

// A text for a header line or the separator line: CR and LF removed, so an
// untrusted sender or id cannot start a line of its own.
void HeaderSafe(const char* text, CVornString& out) {
    out.Assign(text ? text : "");
    out.RemoveChar('\r');
    out.RemoveChar('\n');
}

}  // namespace

// ---- Construction

CVornMailMessage::CVornMailMessage()
    : m_Flags(kUnbounded), m_StartOffset(0), m_Size(0), m_WriteMode(true), m_DiskBacked(false) {}

CVornMailMessage::CVornMailMessage(const char* path, int startOffset, int size, int flags, int mode)
    : m_Flags(flags),
      m_StartOffset(startOffset < 0 ? 0 : startOffset),
      m_Size(size < 0 ? 0 : size),
      m_WriteMode(mode == kModeWrite),
      m_DiskBacked(true) {
    bool failed = false;
    m_Path = CopyText(path ? path : "", &failed);
}

CVornMailMessage::~CVornMailMessage() {
    CVornLockGuard guard(m_Lock);
    delete m_File;
    m_File = nullptr;
    delete[] m_Path;
    delete[] m_EnvelopeSender;
    delete[] m_MessageId;
    m_HeaderTable.Clear();
    m_Parts.RemoveAll();
}

void CVornMailMessage::resetParse() {
    m_State = kStateFirstLine;
    m_SeenFlags = 0;
    m_HopCount = 0;
    m_BodyOffset = 0;
    m_BodyBytes = 0;
    m_Multipart = false;
    m_Discard = false;
    m_FieldName.Clear();
    m_Line.Clear();
    m_PendingAddress.Clear();
    m_AddressPending = false;
    m_RewritingField = false;
    m_Continuing = false;
    m_ContentFields.Clear();
    m_ContentType.Clear();
    m_Encoding.Clear();
    m_Disposition.Clear();
    m_Name.Clear();
    m_FileName.Clear();
    m_Boundary.Clear();
    m_HeaderTable.Clear();
    m_Parts.RemoveAll();
    m_FieldCount = 0;
    m_FieldLength = 0;
    m_PartHeaderLines = 0;
    m_LineStart = 0;
    m_FeedPosition = 0;
}

// ---- Opening and closing

int CVornMailMessage::Open() {
    return Open(nullptr, nullptr);
}

int CVornMailMessage::Open(const char* envelopeSender, const char* messageId) {
    CVornLockGuard guard(m_Lock);
    if (m_File && m_File->IsOpen()) {
        delete m_File;
        m_File = nullptr;
        return 1;
    }
    resetParse();
    delete[] m_EnvelopeSender;
    delete[] m_MessageId;
    m_EnvelopeSender = m_MessageId = nullptr;
    bool failed = false;
    m_EnvelopeSender = CopyText(envelopeSender, &failed);
    m_MessageId = CopyText(messageId, &failed);
    if (failed)
        return 1;

    if (!m_File) {
        if (m_DiskBacked) {
            if (!m_Path)
                return 1;
            unsigned flags = m_WriteMode ? (kFileAppend | kFileCreate | kFileNoPathLock)
                                         : (kFileReadOnly | kFileNoPathLock);
            m_File = new CVornDiskFile(m_Path, flags);
        } else {
            m_File = new CVornMemoryFile(m_WriteMode ? kFileAppend : kFileReadOnly);
        }
    }
    if (!m_File->Open()) {
        delete m_File;
        m_File = nullptr;
        return 1;
    }
    if (m_WriteMode) {
        if (!m_File->Seek(0, 2) || (m_StartOffset = m_File->Tell()) < 0) {
            m_StartOffset = 0;
            m_File->Close();
            return 1;
        }
        m_Size = 0;
        m_BodyBytes = 0;
        return 0;
    }
    if (!m_File->Seek(m_StartOffset, 0)) {
        m_File->Close();
        return 1;
    }
    if ((m_Flags & kParseOnOpen) && parseOnOpen() != 0) {
        m_File->Close();
        return 1;
    }
    return 0;
}

void CVornMailMessage::cutOff() {
    m_File->Truncate(m_StartOffset);
    m_File->Close();
}

int CVornMailMessage::Close() {
    CVornLockGuard guard(m_Lock);
    if (!m_File || !m_File->IsOpen())
        return 1;
    if (!m_WriteMode)
        return m_File->Close() ? 0 : 1;

    if (finishField() != 0 || (!m_Line.IsEmpty() && flushLine() != 0)) {
        cutOff();
        return 1;
    }
    if (m_Discard)
        m_File->Truncate(m_StartOffset);
    // A disk message is on the disk before Close reports success: Flush
    // syncs the file.
    bool closed = (!m_DiskBacked || m_File->Flush()) && m_File->Close();
    if (!closed) {
        if (m_File->IsOpen() || m_File->Open()) {
            m_File->Truncate(m_StartOffset);
            m_File->Close();
        }
        return 1;
    }
    return 0;
}

int CVornMailMessage::Discard() {
    CVornLockGuard guard(m_Lock);
    if (!m_WriteMode || !m_File || !m_File->IsOpen())
        return 1;
    m_Discard = true;
    return 0;
}

// ---- Writing

int CVornMailMessage::Write(const char* data, int length) {
    CVornLockGuard guard(m_Lock);
    if (!m_File || !m_File->IsOpen() || !m_WriteMode || length < 0 || (!data && length > 0))
        return 1;
    return collect(data, length);
}

void CVornMailMessage::Reserve(int bytes) {
    CVornLockGuard guard(m_Lock);
    if (bytes > 0 && m_File)
        m_File->Reserve(bytes);
}

int CVornMailMessage::collect(const char* data, int length) {
    while (length > 0) {
        if (m_State == kStateBody && !m_Multipart) {
            // Nothing more to parse: the rest of a plain body goes straight
            // to the file (and is not looked at when reading).
            if (!m_WriteMode) {
                m_Line.Clear();
                return 0;
            }
            if (!m_Line.IsEmpty() && flushLine() != 0)
                return 1;
            return emit(data, length);
        }
        int room = kLineChunk - m_Line.Length();
        int take = length < room ? length : room;
        const void* lf = std::memchr(data, '\n', static_cast<size_t>(take));
        if (lf)
            take = static_cast<int>(static_cast<const char*>(lf) - data) + 1;
        if (m_Line.IsEmpty()) {
            m_LineStart = m_FeedPosition;
            m_Line.Reserve(kLineChunk);
        }
        m_Line.Append(data, take);
        data += take;
        length -= take;
        m_FeedPosition += take;
        if (pendingLineComplete() && processLine() != 0)
            return 1;
    }
    return 0;
}

int CVornMailMessage::emit(const char* bytes, int count) {
    if (!m_WriteMode || count <= 0)
        return 0;
    if (m_File->Write(bytes, count) != count) {
        DebugHook();
        return 1;
    }
    m_Size += count;
    if (m_State >= kStateBody)
        m_BodyBytes += count;
    return 0;
}

int CVornMailMessage::emit(const CVornString& text) {
    CVornString& bytes = const_cast<CVornString&>(text);
    return emit(bytes.CStr(), bytes.Length());
}

int CVornMailMessage::flushLine() {
    int result = emit(m_Line);
    m_Line.Clear();
    return result;
}

int CVornMailMessage::lineStartPosition() {
    if (!m_WriteMode)
        return m_LineStart;
    int position = m_File->Tell();
    return position < 0 ? 0 : position;
}

int CVornMailMessage::bound(const char* what) {
    if (!g_LogSilent)
        LogText(kLogWarning, what);
    return 1;
}

// ---- The line parse

int CVornMailMessage::processLine() {
    CVornString line(CVornString::kUnlocked);
    for (;;) {
        line.Swap(m_Line);
        m_Line.Clear();
        // A piece of a line cut at kLineChunk bytes: the next piece continues it.
        bool continuing = m_Continuing;
        int n = line.Length();
        m_Continuing = !(n >= 2 && line.CharAt(n - 2) == '\r' && line.CharAt(n - 1) == '\n');
        int result = processLine(line, continuing);
        // The buffer goes back to collect the next line without a new block.
        line.Clear();
        if (m_Line.IsEmpty())
            m_Line.Swap(line);
        // A boundary line cut at a bare LF leaves what followed the LF
        // pending; when that is a whole line already, it is processed now.
        if (result != 0 || !pendingLineComplete())
            return result;
    }
}

bool CVornMailMessage::pendingLineComplete() const {
    int n = m_Line.Length();
    return n >= kLineChunk ||
           (n >= 2 && m_Line.CharAt(n - 2) == '\r' && m_Line.CharAt(n - 1) == '\n');
}

int CVornMailMessage::processLine(CVornString& line, bool continuing) {
    switch (m_State) {
        case kStateFirstLine:
            m_State = kStateHeaders;
            if (!continuing && isSeparatorLine(line)) {
                if (m_WriteMode)
                    return emit(line);
                takeSenderFrom(line);
                return 0;
            }
            if (m_WriteMode && (m_Flags & kSeparator) && writeSeparator() != 0)
                return 1;
            return headerBlockLine(line, continuing);
        case kStateHeaders:
            return headerBlockLine(line, continuing);
        case kStateBody:
            if (!continuing && isBoundaryLine(line))
                return boundaryLine(line);
            return emit(line);
        case kStatePartHeaders:
        default:
            if (!continuing && isBoundaryLine(line))
                return boundaryLine(line);
            return partHeaderLine(line);
    }
}

int CVornMailMessage::headerBlockLine(CVornString& line, bool continuing) {
    const char* text = line.CStr();
    int n = line.Length();
    if (continuing)
        return continuationLine(line, true);
    if (isHeaderLine(text, n)) {
        if (finishField() != 0)
            return 1;
        return headerLine(line);
    }
    if (n > 0 && (text[0] == ' ' || text[0] == '\t' || text[0] == '\n'))
        return continuationLine(line, false);

    // The empty line, or a line that is no header: the block ends.
    if (finishField() != 0 || endHeaderBlock(line) != 0)
        return 1;
    bool emptyLine = n == 2 && text[0] == '\r' && text[1] == '\n';
    if (emptyLine) {
        if (emit(line) != 0)
            return 1;
        m_BodyOffset = m_WriteMode ? lineStartPosition() : m_LineStart + n;
    } else {
        // The body starts with this line (its start, also when reading).
        m_BodyOffset = lineStartPosition();
    }
    m_State = kStateBody;
    CVornString charset(CVornString::kUnlocked);
    ParsePartHeaders(m_ContentFields, m_ContentType, charset, m_Name, m_FileName, m_Disposition,
                     m_Encoding, m_Boundary);
    m_Multipart = m_ContentType.StartsWith("multipart/", 2) && !m_Boundary.IsEmpty();
    m_ContentFields.Clear();
    // A line that ended the block is the first line of the body, taken as
    // the body's lines are once the boundary is known: it may be the first
    // boundary line. The stored form has the empty line before it, so a
    // reader sees it in the body too.
    if (!emptyLine)
        return processLine(line, false);
    return 0;
}

int CVornMailMessage::headerLine(CVornString& line) {
    const char* text = line.CStr();
    int n = line.Length();
    if (++m_FieldCount > kMaxHeaderFields)
        return bound("too many header fields in a mail message");
    m_FieldLength = n;

    // The name runs to the first byte that is a blank, a control byte or
    // ':'; the value starts after the run of blanks, tabs and colons.
    int nameEnd = 0;
    while (nameEnd<n&& static_cast<unsigned char>(text[nameEnd])> 32 && text[nameEnd] != ':')
        ++nameEnd;
    int valueStart = nameEnd;
    while (valueStart < n &&
           (text[valueStart] == ' ' || text[valueStart] == '\t' || text[valueStart] == ':'))
        ++valueStart;
    m_FieldName.Assign(text, nameEnd);
    int flags = MailHeaderFlags(m_FieldName);
    m_SeenFlags |= flags;
    if (m_FieldName.Equals("RECEIVED", 2))
        ++m_HopCount;

    if (emit(text, valueStart) != 0)
        return 1;
    if (flags & 0x20)
        AppendGrowing(m_ContentFields, text, n);
    if ((m_Flags & kRewriteAddresses) && (flags & 0x01)) {
        m_RewritingField = true;
        return processAddresses(text + valueStart,
                                WithoutLineEnd(text + valueStart, n - valueStart), false);
    }
    if (emit(text + valueStart, n - valueStart) != 0)
        return 1;
    addTableValue(text + valueStart, WithoutLineEnd(text + valueStart, n - valueStart), true);
    return 0;
}

int CVornMailMessage::continuationLine(CVornString& line, bool sameLine) {
    const char* text = line.CStr();
    int n = line.Length();
    m_FieldLength += n;
    if (m_FieldLength > kMaxFieldLength)
        return bound("header field of a mail message too long");
    int flags = m_FieldName.IsEmpty() ? 0 : MailHeaderFlags(m_FieldName);
    if (flags & 0x20) {
        if (!sameLine)
            m_ContentFields.KeepLeft(
                WithoutLineEnd(m_ContentFields.CStr(), m_ContentFields.Length()));
        AppendGrowing(m_ContentFields, text, n);
    }
    if ((m_Flags & kRewriteAddresses) && (flags & 0x01) && m_RewritingField) {
        int length = WithoutLineEnd(text, n);
        if (m_AddressPending)
            return processAddresses(text, length, true);
        int start = 0;
        if (!sameLine) {
            // The previous line ended in a comma (or had no address): its line
            // end was held back, and the fold is written as it came.
            while (start < length && IsBlankOrTab(text[start])) ++start;
            if (emit("\r\n", 2) != 0 || emit(text, start) != 0)
                return 1;
        }
        return processAddresses(text + start, length - start, false);
    }
    if (emit(line) != 0)
        return 1;
    if (!m_FieldName.IsEmpty())
        addTableValue(text, WithoutLineEnd(text, n), false);
    return 0;
}

int CVornMailMessage::processAddresses(const char* text, int length, bool continuing) {
    // A pending address is continued: the comma search runs over the whole
    // address, so quotes and parentheses opened on an earlier line count.
    CVornString work(CVornString::kUnlocked);
    if (continuing && m_AddressPending)
        work.Assign(m_PendingAddress);
    work.Append(text, length);
    m_PendingAddress.Clear();
    m_AddressPending = false;

    const char* p = work.CStr();
    int rest = work.Length();
    for (;;) {
        int comma = findAddressComma(p, rest);
        if (comma < 0)
            break;
        m_PendingAddress.Assign(p, comma);
        m_AddressPending = true;
        if (flushAddress(false) != 0)
            return 1;
        int after = comma + 1;
        bool blankFollows = after < rest && IsBlankOrTab(p[after]);
        if (emit(blankFollows ? ", " : ",", blankFollows ? 2 : 1) != 0)
            return 1;
        while (after < rest && (IsBlankOrTab(p[after]) || p[after] == '\r' || p[after] == '\n'))
            ++after;
        p += after;
        rest -= after;
    }
    if (rest > 0) {
        m_PendingAddress.Assign(p, rest);
        m_AddressPending = true;
    }
    return 0;
}

int CVornMailMessage::findAddressComma(const char* text, int length) {
    bool quoted = false;
    int depth = 0;
    for (int i = 0; i < length; ++i) {
        char c = text[i];
        if (c == '\\') {
            ++i;
            continue;
        }
        if (c == '"' && depth == 0) {
            quoted = !quoted;
        } else if (!quoted && c == '(') {
            ++depth;
        } else if (!quoted && c == ')' && depth > 0) {
            --depth;
        } else if (c == ',' && !quoted && depth == 0) {
            return i;
        }
    }
    return -1;
}

int CVornMailMessage::flushAddress(bool withLineEnd) {
    if (!m_AddressPending)
        return 0;
    CVornMailAddress address;
    const char* form = nullptr;
    if (address.Set(m_PendingAddress.CStr()) == 0)
        form = address.Get(CVornMailAddress::kFormHeader);
    CVornString text(CVornString::kUnlocked);
    if (form) {
        text.Assign(form);
    } else {
        text.Assign(m_PendingAddress);
    }
    m_PendingAddress.Clear();
    m_AddressPending = false;
    if (emit(text) != 0 || (withLineEnd && emit("\r\n", 2) != 0))
        return 1;
    addTableValue(text.CStr(), text.Length(), true);
    return 0;
}

int CVornMailMessage::finishField() {
    if (!m_RewritingField)
        return 0;
    m_RewritingField = false;
    if (m_AddressPending)
        return flushAddress(true);
    // The field had no address after its last comma: its line end was held
    // back until now.
    return emit("\r\n", 2);
}

void CVornMailMessage::addTableValue(const char* text, int length, bool asNewValue) {
    if (m_FieldName.IsEmpty())
        return;
    CVornString* value = nullptr;
    if (m_HeaderTable.Get(m_FieldName.CStr(), &value) && value) {
        if (asNewValue)
            AppendGrowing(*value, ", ", 2);
        AppendGrowing(*value, text, length);
        return;
    }
    if (!asNewValue)
        return;
    m_HeaderTable.Set(m_FieldName, CVornString(text, length, CVornString::kUnlocked));
}

int CVornMailMessage::endHeaderBlock(const CVornString& line) {
    if (!m_WriteMode)
        return 0;
    if (m_Flags & kAddHeaders) {
        CVornString text(CVornString::kUnlocked);
        CVornString value(CVornString::kUnlocked);
        if (!(m_SeenFlags & 0x10)) {
            CVornDate().FormatRFC822(value);
            text.Format("%s: %s\r\n", "Date", value.CStr());
            if (emit(text) != 0)
                return 1;
            m_HeaderTable.Set("Date", value);
        }
        if (!(m_SeenFlags & 0x08) && m_MessageId) {
            HeaderSafe(m_MessageId, value);
            text.Format("%s: <%s>\r\n", "Message-Id", value.CStr());
            if (emit(text) != 0)
                return 1;
            m_HeaderTable.Set("Message-Id", value);
        }
        if (!(m_SeenFlags & 0x02) && m_EnvelopeSender) {
            HeaderSafe(m_EnvelopeSender, value);
            text.Format("%s: %s\r\n", "From", value.CStr());
            if (emit(text) != 0)
                return 1;
            m_HeaderTable.Set("From", value);
        }
    }
    if (!line.Equals("\r\n", 3) && emit("\r\n", 2) != 0)
        return 1;
    return 0;
}

int CVornMailMessage::writeSeparator() {
    CVornString sender(CVornString::kUnlocked);
    HeaderSafe(m_EnvelopeSender, sender);
    if (!m_EnvelopeSender || sender.Find('@') < 0)
        sender.Assign("??@??");
    CVornString date(CVornString::kUnlocked);
    CVornDate().FormatRFC822(date);
    CVornString line(CVornString::kUnlocked);
    line.Format(">From< %s %s\r\n", sender.CStr(), date.CStr());
    return emit(line);
}

void CVornMailMessage::takeSenderFrom(const CVornString& line) {
    CVornString copy(line, CVornString::kUnlocked);
    const char* text = copy.CStr();
    int n = WithoutLineEnd(text, copy.Length());
    CVornString sender(CVornString::kUnlocked);
    int blank = 0;
    while (blank < n && text[blank] != ' ') ++blank;
    if (blank < n) {
        int start = blank + 1;
        while (start < n && IsBlankOrTab(text[start])) ++start;
        int end = start;
        while (end < n && text[end] != ' ') ++end;
        sender.Assign(text + start, end - start);
    }
    bool failed = false;
    char* copied = CopyText(sender.CStr(), &failed);
    if (failed)
        return;
    delete[] m_EnvelopeSender;
    m_EnvelopeSender = copied;
}

int CVornMailMessage::boundaryLine(CVornString& line) {
    // A bare LF inside the boundary line ends it: the boundary is taken (and
    // written) with CR LF, and what follows the LF is collected as the start
    // of a new line, just as a reader of the stored bytes collects it, so
    // the parts found while writing are the parts found when reading.
    CVornString rest(CVornString::kUnlocked);
    int lf = line.Find('\n');
    int restStart = 0;
    if (lf >= 0 && lf < line.Length() - 1) {
        restStart = m_LineStart + lf + 1;
        rest.Assign(line.CStr() + lf + 1, line.Length() - lf - 1);
        line.KeepLeft(lf);
        line.Append("\r\n");
    }
    if (startPart(lineStartPosition()) != 0)
        return 1;
    m_ContentFields.Clear();
    m_PartHeaderLines = 0;
    m_State = kStatePartHeaders;
    if (emit(line) != 0)
        return 1;
    if (!rest.IsEmpty()) {
        // processLine() takes it up once it is a whole line.
        m_Line.Assign(rest);
        m_LineStart = restStart;
        m_Continuing = false;
    }
    return 0;
}

int CVornMailMessage::startPart(int position) {
    CVornLockGuard guard(m_Parts.m_Lock);
    if (m_Parts.m_Tail) {
        CVornMimePart& last = m_Parts.m_Tail->m_Element;
        last.m_Size = position - last.m_Start;
        if (last.m_Start == -1)
            m_Parts.RemoveTail();
    }
    if (m_Parts.m_Count >= kMaxParts)
        return bound("too many parts in a mail message");
    m_Parts.AddTail(CVornMimePart());
    return 0;
}

int CVornMailMessage::partHeaderLine(CVornString& line) {
    int n = line.Length();
    if (line.Equals("\r\n", 3)) {
        m_State = kStateBody;
        CVornLockGuard guard(m_Parts.m_Lock);
        if (m_Parts.m_Tail) {
            CVornMimePart& part = m_Parts.m_Tail->m_Element;
            part.m_Start = m_WriteMode ? lineStartPosition() + n : m_LineStart + n;
            CVornString boundary(CVornString::kUnlocked);
            ParsePartHeaders(m_ContentFields, part.m_ContentType, part.m_Charset, part.m_Name,
                             part.m_FileName, part.m_Disposition, part.m_Encoding, boundary);
        }
        m_ContentFields.Clear();
        return emit(line);
    }
    if (++m_PartHeaderLines > kMaxHeaderFields || m_ContentFields.Length() + n > kMaxFieldLength)
        return bound("part header block of a mail message too long");
    const char* text = line.CStr();
    if (!isHeaderLine(text, n)) {
        int length = m_ContentFields.Length();
        if (length >= 2 && m_ContentFields.CharAt(length - 2) == '\r' &&
            m_ContentFields.CharAt(length - 1) == '\n') {
            m_ContentFields.KeepLeft(length - 2);
            m_ContentFields.Append(' ');
        }
    }
    AppendGrowing(m_ContentFields, text, n);
    return emit(line);
}

bool CVornMailMessage::isHeaderLine(const char* text, int length) {
    if (length <= 0 || static_cast<unsigned char>(text[0]) <= 32)
        return false;
    int i = 0;
    while (i < length && text[i] != ':' && static_cast<unsigned char>(text[i]) > 32) ++i;
    if (i == 0)
        return false;
    while (i < length && IsBlankOrTab(text[i])) ++i;
    return i < length && text[i] == ':';
}

bool CVornMailMessage::isSeparatorLine(const CVornString& line) {
    static const char* const kPrefixes[] = {">From< ", ">From ", "From "};
    int start = -1;
    for (const char* prefix : kPrefixes) {
        if (line.StartsWith(prefix, 2)) {
            start = static_cast<int>(std::strlen(prefix));
            break;
        }
    }
    if (start < 0)
        return false;
    CVornString copy(line, CVornString::kUnlocked);
    const char* text = copy.CStr();
    int n = WithoutLineEnd(text, copy.Length());
    while (start < n && IsBlankOrTab(text[start])) ++start;
    int end = start;
    while (end < n && !IsBlankOrTab(text[end])) ++end;
    if (end == start)
        return false;
    if (std::memchr(text + start, '@', static_cast<size_t>(end - start)))
        return true;
    if (end >= n)
        return false;
    CVornString date(text + end + 1, n - end - 1, CVornString::kUnlocked);
    CVornDate parsed;
    return parsed.Parse(date) == 0;
}

bool CVornMailMessage::isBoundaryLine(const CVornString& line) const {
    return !m_Boundary.IsEmpty() && line.StartsWith(m_Boundary, 3);
}

// ---- Reading

int CVornMailMessage::readLimit() {
    if (m_Size > 0 && !(m_Flags & kUnbounded))
        return m_Size > INT_MAX - m_StartOffset ? INT_MAX : m_StartOffset + m_Size;
    return -1;
}

int CVornMailMessage::bytesBeforeLimit() {
    int limit = readLimit();
    if (limit < 0)
        return INT_MAX;
    int position = m_File->Tell();
    if (position < 0)
        return -1;
    return position >= limit ? 0 : limit - position;
}

int CVornMailMessage::readRawLine(CVornString& line) {
    int position = m_File->Tell();
    if (position < 0)
        return -1;
    // A disk file hands out a line longer than its own bound in pieces; a
    // memory file hands it out whole and it is cut here.
    int n = m_File->ReadLine(line, "\n");
    if (n < 0)
        return -1;
    if (n > kMaxReadLine) {
        line.KeepLeft(kMaxReadLine);
        n = kMaxReadLine;
        if (!m_File->Seek(position + n, 0))
            return -1;
    }
    if (n == 0)
        line.Clear();
    return n;
}

int CVornMailMessage::boundedLine(CVornString& line, int limit) {
    int position = m_File->Tell();
    if (position < 0)
        return -1;
    if (limit >= 0 && position >= limit) {
        line.Clear();
        return 0;
    }
    int n = readRawLine(line);
    if (n > 0 && limit >= 0 && position + n > limit) {
        n = limit - position;
        line.KeepLeft(n);
        if (!m_File->Seek(limit, 0))
            return -1;
    }
    return n;
}

bool CVornMailMessage::headerLineFollows() {
    int position = m_File->Tell();
    CVornString next(CVornString::kUnlocked);
    int n = readRawLine(next);
    bool header = n > 0 && isHeaderLine(next.CStr(), n);
    m_File->Seek(position, 0);
    return header;
}

int CVornMailMessage::ReadLine(CVornString& line) {
    CVornLockGuard guard(m_Lock);
    if (!m_File || !m_File->IsOpen())
        return -1;
    int limit = readLimit();
    int position = m_File->Tell();
    int n = boundedLine(line, limit);
    if (n > 0 && position == m_StartOffset && isSeparatorLine(line)) {
        position = m_File->Tell();
        n = boundedLine(line, limit);
    }
    if (n > 0 && m_Size == 0 && !(m_Flags & kUnbounded) && position != m_StartOffset &&
        isSeparatorLine(line) && headerLineFollows()) {
        // The next message of the file starts here.
        m_File->Seek(position, 0);
        line.Clear();
        return 0;
    }
    return n;
}

int CVornMailMessage::Read(void* buffer, int count) {
    CVornLockGuard guard(m_Lock);
    if (!m_File || !m_File->IsOpen() || count < 0)
        return -1;
    int left = bytesBeforeLimit();
    if (left <= 0)
        return left;
    return m_File->Read(buffer, count < left ? count : left);
}

int CVornMailMessage::ReadRest(CVornString& out) {
    CVornLockGuard guard(m_Lock);
    if (!m_File || !m_File->IsOpen())
        return -1;
    int limit = readLimit();
    int count = 0;
    if (limit >= 0) {
        int position = m_File->Tell();
        if (position < 0)
            return -1;
        if (position >= limit) {
            out.Clear();
            return 0;
        }
        count = limit - position;
    }
    int n = m_File->Read(out, count);
    if (n <= 0)
        out.Clear();
    return n;
}

int CVornMailMessage::RewindToStart() {
    return SeekFromStart(0);
}

int CVornMailMessage::SeekFromStart(int offset) {
    CVornLockGuard guard(m_Lock);
    if (!m_File || !m_File->IsOpen())
        return 1;
    long long target = static_cast<long long>(m_StartOffset) + offset;
    if (target < 0 || target > INT_MAX)
        return 1;
    return m_File->Seek(static_cast<int>(target), 0) ? 0 : 1;
}

int CVornMailMessage::SeekBody() {
    CVornLockGuard guard(m_Lock);
    if (!m_File || !m_File->IsOpen())
        return 1;
    return m_File->Seek(m_BodyOffset, 0) ? 0 : 1;
}

int CVornMailMessage::parseOnOpen() {
    int limit = readLimit();
    int position = m_StartOffset;
    m_FeedPosition = m_StartOffset;
    CVornString line(CVornString::kUnlocked);
    int result = 0;
    for (;;) {
        int n = boundedLine(line, limit);
        if (n <= 0)
            break;
        if (position != m_StartOffset && m_Size == 0 && !(m_Flags & kUnbounded) &&
            isSeparatorLine(line) && headerLineFollows())
            break;
        if (collect(line.CStr(), n) != 0) {
            result = 1;
            break;
        }
        position += n;
        if (m_State == kStateBody && !m_Multipart && (limit >= 0 || (m_Flags & kUnbounded))) {
            // A plain body holds nothing more to parse, and where the
            // message ends is known without reading it.
            if (m_Size == 0) {
                int end = m_File->Size();
                position = end > position ? end : position;
            }
            break;
        }
    }
    // The size covers every byte of the message, a last line without line
    // end included.
    if (result == 0 && m_Size == 0)
        m_Size = position - m_StartOffset;
    if (m_BodyOffset > 0) {
        int body = m_Size - (m_BodyOffset - m_StartOffset);
        m_BodyBytes = body > 0 ? body : 0;
    }
    m_Line.Clear();
    m_Continuing = false;
    m_State = kStateFirstLine;
    m_File->Seek(m_StartOffset, 0);
    return result;
}

// ---- Information

int CVornMailMessage::GetSize() {
    CVornLockGuard guard(m_Lock);
    return m_Size;
}

int CVornMailMessage::GetBodySize() {
    CVornLockGuard guard(m_Lock);
    return m_BodyBytes;
}

int CVornMailMessage::GetHeaderSize() {
    CVornLockGuard guard(m_Lock);
    return m_Size - m_BodyBytes;
}

int CVornMailMessage::GetStartOffset() {
    CVornLockGuard guard(m_Lock);
    return m_StartOffset;
}

int CVornMailMessage::GetHopCount() {
    CVornLockGuard guard(m_Lock);
    return m_HopCount;
}

bool CVornMailMessage::IsInBody() {
    CVornLockGuard guard(m_Lock);
    return m_State == kStateBody || m_State == kStatePartHeaders;
}

int CVornMailMessage::GetSender(CVornString& out) {
    CVornLockGuard guard(m_Lock);
    if (!m_EnvelopeSender)
        return 1;
    out.Assign(m_EnvelopeSender);
    return 0;
}

int CVornMailMessage::GetHeader(const char* name, CVornString& out) {
    CVornLockGuard guard(m_Lock);
    if (name && m_HeaderTable.Get(name, out))
        return 0;
    out.Clear();
    return 1;
}
