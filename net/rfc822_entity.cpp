// CVornRFC822Entity: a header block with a body stream, itself a file whose
// positions are those of the body.
//
//   CVornRFC822Entity(file, reserve)  take a file over and parse its header block
//   Open / Close                      open and parse; write back and close
//   Read, Write, ReadLine, ...        the stream's, body-relative where they take positions
//   GetHeader / SetHeader / RemoveHeader / GetHeaderText / HasHeaders
//   EndHeaders                        complete a header block written so far
//   Empty                             empty the stream, forget the block
//   SendBody                          first line, header block and body to a socket
//   TakeOver / Detach                 move the whole state to another entity
//
// Bad input: operations on a closed or stream-less entity give -1, false or
// nothing; header operations and body positions fail without a header
// block. A header line over kMaxHeaderLine bytes or a block of more than
// kMaxHeaderFields fields fails the parse (debug warning) and leaves the
// entity without a header block. Nothing throws except std::bad_alloc.
#include "net/rfc822_entity.h"

#include <climits>
#include <cstring>
#include <new>

#include "core/debug_log.h"
#include "core/vorn_buffer.h"
#include "net/tcp_socket.h"

namespace {

// Bytes read from the stream at a time while parsing.
constexpr int kParseChunk = 4096;

bool IsBlankOrTab(char c) {
    return c == ' ' || c == '\t';
}

void Warn(const char* text) {
    if (!g_LogSilent)
        LogText(kLogWarning, text);
}

// Lines of a header block, each up to and including CR LF (the last may lack
// it), read in pieces from a stream or taken from a text; Position() is the
// offset of the next unread byte.
class HeaderLineSource {
public:
    // From the stream, which is positioned at 0.
    explicit HeaderLineSource(CVornFile* stream) : m_Stream(stream) {}
    // From a text.
    explicit HeaderLineSource(const CVornString& text) {
        m_Buffer.Append(text);
        m_End = true;
    }

    // > 0: the line's length; 0: nothing left; -1: read error; -2: the line
    // is longer than limit.
    int Next(CVornString& line, int limit) {
        line.Clear();
        for (;;) {
            int n = m_Buffer.ReadLine(line, "\r\n", true);
            if (n < 0)
                return -1;
            if (n > 0) {
                if (line.Length() > limit)
                    return -2;
                m_Position += line.Length();
                return line.Length();
            }
            if (line.Length() > limit)
                return -2;
            if (m_End) {
                m_Position += line.Length();
                return line.Length();
            }
            char chunk[kParseChunk];
            int got = m_Stream->Read(chunk, kParseChunk);
            if (got < 0)
                return -1;
            if (got == 0) {
                m_End = true;
            } else {
                m_Buffer.Append(chunk, got);
            }
        }
    }

    int Position() const { return m_Position; }

private:
    CVornFile* m_Stream = nullptr;
    CVornBuffer m_Buffer;
    bool m_End = false;
    int m_Position = 0;
};

// Name equality of header fields: without regard to case, byte by byte.
bool SameName(const CVornString& a, const CVornString& b) {
    return a.Equals(b, 2);
}

// A copy of text without any CR or LF.
void WithoutLineBreaks(const CVornString& text, CVornString& out) {
    out.Assign(text);
    out.RemoveChar('\r');
    out.RemoveChar('\n');
}

// The bytes of a field's lines as formatHeaders writes them (name, ": ",
// the value with its continuation lines and CR LF).
long long FieldLineLength(const CVornString& name, const CVornString& value) {
    return static_cast<long long>(name.Length()) + 2 + value.Length();
}

// The fields of the list, null entries left out. REQUIRES: the list's lock.
int CountFields(CVornHeaderFieldList& list) {
    int count = 0;
    for (auto* node = list.m_Head; node; node = node->m_Next) {
        if (node->m_Element)
            ++count;
    }
    return count;
}

}  // namespace

// ---- CVornHeaderFieldList

void CVornHeaderFieldList::FreeAll() {
    CVornLockGuard guard(m_Lock);
    for (Node* node = m_Head; node; node = node->m_Next) {
        delete node->m_Element;
        node->m_Element = nullptr;
    }
    RemoveAll();
}

void CVornHeaderFieldList::TakeAll(CVornHeaderFieldList& other) {
    if (&other == this)
        return;
    CVornLockGuard guard(m_Lock);
    CVornLockGuard otherGuard(other.m_Lock);
    if (!other.m_Head)
        return;
    if (m_Tail) {
        m_Tail->m_Next = other.m_Head;
    } else {
        m_Head = other.m_Head;
    }
    m_Tail = other.m_Tail;
    m_Count += other.m_Count;
    m_Cursor = m_Previous = nullptr;
    other.m_Head = other.m_Tail = other.m_Cursor = other.m_Previous = nullptr;
    other.m_Count = 0;
}

// ---- Construction

CVornRFC822Entity::CVornRFC822Entity() = default;

CVornRFC822Entity::CVornRFC822Entity(CVornFile& file, int reserve) : m_Reserve(reserve) {
    m_Stream = file.Detach();
    CVornLockGuard guard(m_Lock);
    if (m_Stream && m_Stream->IsOpen())
        m_Open = parseHeaders(nullptr);
}

CVornRFC822Entity::~CVornRFC822Entity() {
    CVornLockGuard guard(m_Lock);
    if (usable())
        Close();
    delete m_Stream;
    m_Stream = nullptr;
    clearHeaders();
}

void CVornRFC822Entity::forget() {
    m_Stream = nullptr;
    m_Open = false;
    m_BodyOffset = 0;
    m_Changed = false;
}

void CVornRFC822Entity::clearHeaders() {
    m_Fields.FreeAll();
}

// ---- Open and close

bool CVornRFC822Entity::Open() {
    CVornLockGuard guard(m_Lock);
    if (m_Open || !m_Stream)
        return false;
    if (!m_Stream->Open())
        return false;
    if (!parseHeaders(nullptr))
        return false;
    m_Open = true;
    return true;
}

bool CVornRFC822Entity::Close() {
    CVornLockGuard guard(m_Lock);
    if (!usable())
        return false;
    if (!writeHeaders())
        return false;
    if (!m_Stream->Close())
        return false;
    clearHeaders();
    m_BodyOffset = 0;
    m_Changed = false;
    m_Open = false;
    return true;
}

bool CVornRFC822Entity::IsOpen() {
    CVornLockGuard guard(m_Lock);
    return m_Open;
}

// ---- Stream operations

int CVornRFC822Entity::Read(CVornString& out, int count) {
    CVornLockGuard guard(m_Lock);
    return usable() ? m_Stream->Read(out, count) : -1;
}

int CVornRFC822Entity::Read(void* buffer, int count) {
    CVornLockGuard guard(m_Lock);
    return usable() ? m_Stream->Read(buffer, count) : -1;
}

int CVornRFC822Entity::Write(const CVornString& text) {
    CVornLockGuard guard(m_Lock);
    if (!usable())
        return -1;
    // A copy, so that a locked text is read once under its own lock.
    CVornString bytes(text, CVornString::kUnlocked);
    int n = m_Stream->Write(bytes);
    if (n > 0 && m_BodyOffset == 0)
        checkHeaderEnd(bytes.CStr(), n);
    return n;
}

int CVornRFC822Entity::Write(const void* bytes, int count) {
    CVornLockGuard guard(m_Lock);
    if (!usable())
        return -1;
    int n = m_Stream->Write(bytes, count);
    if (n > 0 && m_BodyOffset == 0)
        checkHeaderEnd(static_cast<const char*>(bytes), n);
    return n;
}

int CVornRFC822Entity::ReadLine(CVornString& line, const char* terminator) {
    CVornLockGuard guard(m_Lock);
    return usable() ? m_Stream->ReadLine(line, terminator) : -1;
}

int CVornRFC822Entity::ReadLine(char* buffer, int size, const char* terminator) {
    CVornLockGuard guard(m_Lock);
    return usable() ? m_Stream->ReadLine(buffer, size, terminator) : -1;
}

bool CVornRFC822Entity::Flush() {
    CVornLockGuard guard(m_Lock);
    if (!usable())
        return false;
    bool written = writeHeaders();
    bool flushed = m_Stream->Flush();
    return written && flushed;
}

bool CVornRFC822Entity::Truncate(int size) {
    CVornLockGuard guard(m_Lock);
    if (!hasBody() || size < 0 || size > INT_MAX - m_BodyOffset)
        return false;
    return m_Stream->Truncate(size + m_BodyOffset);
}

bool CVornRFC822Entity::Seek(int offset, int whence) {
    CVornLockGuard guard(m_Lock);
    if (!hasBody())
        return false;
    long long target = 0;
    if (whence == 0) {
        target = offset;
    } else if (whence == 1 || whence == 2) {
        int base = whence == 1 ? Tell() : Size();
        if (base < 0)
            return false;
        target = static_cast<long long>(offset) + base;
    }
    long long position = target + m_BodyOffset;
    if (position < m_BodyOffset || position > INT_MAX)
        return false;
    if (m_Stream->Tell() == position)
        return true;
    return m_Stream->Seek(static_cast<int>(position), 0);
}

int CVornRFC822Entity::Tell() {
    CVornLockGuard guard(m_Lock);
    if (!hasBody())
        return -1;
    int position = m_Stream->Tell();
    return position < 0 ? -1 : position - m_BodyOffset;
}

bool CVornRFC822Entity::IsEof() {
    CVornLockGuard guard(m_Lock);
    return usable() ? m_Stream->IsEof() : false;
}

void CVornRFC822Entity::Reserve(int size) {
    CVornLockGuard guard(m_Lock);
    if (usable() && size >= 0 && size <= INT_MAX - m_BodyOffset)
        m_Stream->Reserve(size + m_BodyOffset);
}

int CVornRFC822Entity::Size() {
    CVornLockGuard guard(m_Lock);
    if (!hasBody())
        return -1;
    int size = m_Stream->Size();
    return size < 0 ? -1 : size - m_BodyOffset;
}

void CVornRFC822Entity::GetModTime(CVornDate& date) {
    CVornLockGuard guard(m_Lock);
    if (usable())
        m_Stream->GetModTime(date);
}

CVornFile* CVornRFC822Entity::Detach() {
    CVornLockGuard guard(m_Lock);
    CVornRFC822Entity* taker = new (std::nothrow) CVornRFC822Entity();
    if (!taker)
        return nullptr;
    taker->m_Stream = m_Stream;
    taker->m_Open = m_Open;
    taker->m_Reserve = m_Reserve;
    taker->m_BodyOffset = m_BodyOffset;
    taker->m_Changed = m_Changed;
    taker->m_Fields.TakeAll(m_Fields);
    forget();
    return taker;
}

// ---- Header fields

bool CVornRFC822Entity::GetHeader(const CVornString& name, CVornString& value) {
    CVornLockGuard guard(m_Lock);
    if (m_BodyOffset == 0)
        return false;
    CVornLockGuard listGuard(m_Fields.m_Lock);
    for (auto* node = m_Fields.m_Head; node; node = node->m_Next) {
        CVornHeaderField* field = node->m_Element;
        if (field && SameName(field->m_Name, name)) {
            CVornString found(field->m_Value, CVornString::kUnlocked);
            found.TrimRight("\r\n");
            value.Assign(found);
            return true;
        }
    }
    return false;
}

void CVornRFC822Entity::SetHeader(const CVornString& name, const CVornString& value) {
    CVornLockGuard guard(m_Lock);
    if (m_BodyOffset == 0)
        return;
    CVornString cleanName(CVornString::kUnlocked);
    CVornString cleanValue(CVornString::kUnlocked);
    WithoutLineBreaks(name, cleanName);
    WithoutLineBreaks(value, cleanValue);
    cleanValue.Append("\r\n");
    // What is written back must parse again as the same field: a name with
    // a ':' would read as another field, one that starts with a blank or tab
    // as a continuation (ending the block when it comes first), and a line
    // over the bound would make the whole entity unreadable.
    if (cleanName.Find(':') >= 0 || IsBlankOrTab(cleanName.CharAt(0))) {
        Warn("header field name refused: it would not read back");
        return;
    }
    if (FieldLineLength(cleanName, cleanValue) > kMaxHeaderLine) {
        Warn("header field refused: its line would be too long");
        return;
    }

    CVornLockGuard listGuard(m_Fields.m_Lock);
    bool matched = false;
    for (auto* node = m_Fields.m_Head; node; node = node->m_Next) {
        CVornHeaderField* field = node->m_Element;
        if (!field || !SameName(field->m_Name, cleanName))
            continue;
        if (!matched) {
            field->m_Name.Assign(cleanName);
            field->m_Value.Assign(cleanValue);
            matched = true;
        } else {
            delete field;
            node->m_Element = nullptr;
        }
    }
    if (!matched) {
        if (CountFields(m_Fields) >= kMaxHeaderFields) {
            Warn("header field refused: the block holds as many fields as a parse takes");
            return;
        }
        auto* field = new CVornHeaderField();
        field->m_Name.Assign(cleanName);
        field->m_Value.Assign(cleanValue);
        try {
            m_Fields.AddTail(field);
        } catch (...) {
            delete field;
            throw;
        }
    }
    m_Changed = true;
}

void CVornRFC822Entity::RemoveHeader(const CVornString& name) {
    CVornLockGuard guard(m_Lock);
    if (m_BodyOffset == 0)
        return;
    CVornString wanted(name, CVornString::kUnlocked);
    int removed = m_Fields.RemoveIf(
        [&wanted](const CVornHeaderField& field) { return SameName(field.m_Name, wanted); }, false);
    if (removed > 0)
        m_Changed = true;
}

bool CVornRFC822Entity::HasHeaders() {
    CVornLockGuard guard(m_Lock);
    return m_BodyOffset != 0;
}

bool CVornRFC822Entity::GetHeaderText(CVornString& out, bool withEmptyLine) {
    CVornLockGuard guard(m_Lock);
    if (m_BodyOffset == 0)
        return false;
    formatHeaders(out, withEmptyLine, nullptr);
    return true;
}

void CVornRFC822Entity::formatHeaders(CVornString& out, bool withEmptyLine,
                                      const CVornString* firstLine) {
    CVornString text(CVornString::kUnlocked);
    if (firstLine)
        text.Assign(*firstLine);
    CVornLockGuard listGuard(m_Fields.m_Lock);
    long long total = text.Length() + 2;
    for (auto* node = m_Fields.m_Head; node; node = node->m_Next) {
        if (node->m_Element)
            total += node->m_Element->m_Name.Length() + 2 + node->m_Element->m_Value.Length();
    }
    if (total > INT_MAX - 64)
        throw std::bad_alloc();
    text.Reserve(static_cast<int>(total));
    for (auto* node = m_Fields.m_Head; node; node = node->m_Next) {
        CVornHeaderField* field = node->m_Element;
        if (!field)
            continue;
        text.Append(field->m_Name);
        text.Append(": ");
        text.Append(field->m_Value);
    }
    if (withEmptyLine)
        text.Append("\r\n");
    out.Assign(text);
}

// ---- Parsing

bool CVornRFC822Entity::parseHeaders(const CVornString* text) {
    clearHeaders();
    m_BodyOffset = 0;
    bool fromStream = text == nullptr;
    if (fromStream && (!m_Stream || !m_Stream->Seek(0, 0)))
        return false;
    CVornString copy(CVornString::kUnlocked);
    if (text)
        copy.Assign(*text);
    HeaderLineSource source = fromStream ? HeaderLineSource(m_Stream) : HeaderLineSource(copy);

    CVornHeaderField* current = nullptr;
    int fields = 0;
    CVornString line(CVornString::kUnlocked);
    const char* failure = nullptr;
    for (;;) {
        int before = source.Position();
        int n = source.Next(line, kMaxHeaderLine);
        if (n == -1) {
            failure = "error reading header block";
            break;
        }
        if (n == -2) {
            failure = "header line too long";
            break;
        }
        if (n == 0)
            break;
        if (line.StartsWith("\r\n", 3)) {
            m_BodyOffset = source.Position();
            break;
        }
        if (IsBlankOrTab(line.CharAt(0))) {
            if (!current) {
                m_BodyOffset = before;
                break;
            }
            if (current->m_Value.Length() + line.Length() > kMaxHeaderLine) {
                failure = "header field too long";
                break;
            }
            AppendGrowing(current->m_Value, line.CStr(), line.Length());
            continue;
        }
        int colon = line.Find(':');
        if (colon < 0) {
            m_BodyOffset = before;
            break;
        }
        if (++fields > kMaxHeaderFields) {
            failure = "too many header fields";
            break;
        }
        auto* field = new CVornHeaderField();
        try {
            field->m_Name.Assign(line.CStr(), colon);
            int start = colon + 1;
            while (start < line.Length() && IsBlankOrTab(line.CharAt(start))) ++start;
            field->m_Value.Assign(line.CStr() + start, line.Length() - start);
            m_Fields.AddTail(field);
        } catch (...) {
            delete field;
            clearHeaders();
            m_BodyOffset = 0;
            throw;
        }
        current = field;
    }

    if (failure) {
        Warn(failure);
        clearHeaders();
        m_BodyOffset = 0;
        if (fromStream)
            m_Stream->Seek(0, 0);
        return false;
    }
    if (current) {
        current->m_Value.TrimRight(" \t\r\n");
        current->m_Value.Append("\r\n");
    }
    m_Changed = false;
    // Lines were read ahead in pieces, so the stream always goes back to
    // where the body starts (0 when no block was found).
    if (fromStream && !m_Stream->Seek(m_BodyOffset, 0))
        return false;
    return true;
}

void CVornRFC822Entity::checkHeaderEnd(const char* written, int count) {
    int position = m_Stream->Tell();
    if (position < 0 || count <= 0)
        return;
    CVornString text(written, count, CVornString::kUnlocked);
    bool startsWithBreak = written[0] == '\r' || written[0] == '\n';
    if (text.Find("\r\n\r\n", 3) >= 0) {
        if (position == count) {
            parseHeaders(&text);
        } else {
            parseHeaders(nullptr);
            m_Stream->Seek(position, 0);
        }
        return;
    }
    if (position == count && text.StartsWith("\r\n", 3)) {
        parseHeaders(nullptr);
        m_Stream->Seek(position, 0);
        return;
    }
    if (position > 0 && startsWithBreak) {
        int from = position >= 4 ? position - 4 : 0;
        char tail[4];
        int got = -1;
        if (m_Stream->Seek(from, 0))
            got = m_Stream->Read(tail, position - from);
        if (got == 4 && std::memcmp(tail, "\r\n\r\n", 4) == 0)
            parseHeaders(nullptr);
        m_Stream->Seek(position, 0);
    }
}

bool CVornRFC822Entity::EndHeaders() {
    CVornLockGuard guard(m_Lock);
    if (!usable())
        return false;
    if (m_BodyOffset != 0)
        return true;
    int size = m_Stream->Size();
    if (size < 0)
        return false;
    const char* ending = "\r\n\r\n";
    if (size == 0) {
        ending = "\r\n";
    } else if (size >= 2) {
        char last[2];
        if (!m_Stream->Seek(size - 2, 0) || m_Stream->Read(last, 2) != 2)
            return false;
        if (last[0] == '\r' && last[1] == '\n')
            ending = "\r\n";
    }
    int length = static_cast<int>(std::strlen(ending));
    if (!m_Stream->Seek(size, 0) || m_Stream->Write(ending, length) != length)
        return false;
    return parseHeaders(nullptr);
}

bool CVornRFC822Entity::Empty() {
    CVornLockGuard guard(m_Lock);
    if (!usable())
        return false;
    bool ok = m_Stream->Seek(0, 0) && m_Stream->Truncate(0);
    if (ok) {
        clearHeaders();
        m_BodyOffset = 0;
        m_Changed = false;
    }
    return ok;
}

// ---- Writing the header block back

bool CVornRFC822Entity::makeRoom(int count) {
    if (count == 0)
        return true;
    if (count < 0)
        return false;
    int size = m_Stream->Size();
    if (size < 0 || size < m_BodyOffset || size > INT_MAX - count)
        return false;
    m_Stream->Reserve(size + count);
    if (!m_Stream->Truncate(size + count))
        return false;
    CVornString piece(CVornString::kUnlocked);
    int sourceEnd = size;
    while (sourceEnd > m_BodyOffset) {
        int n = sourceEnd - m_BodyOffset < kBodyPiece ? sourceEnd - m_BodyOffset : kBodyPiece;
        int source = sourceEnd - n;
        if (!m_Stream->Seek(source, 0) || m_Stream->Read(piece, n) != n)
            return false;
        if (!m_Stream->Seek(source + count, 0) || m_Stream->Write(piece) != n)
            return false;
        sourceEnd = source;
    }
    m_BodyOffset += count;
    return true;
}

// Takes count bytes out in front of the body: the body moves down and the
// stream is shortened. Used where the room a block leaves cannot be padded.
static bool CloseRoom(CVornFile* stream, int& bodyOffset, int count) {
    int size = stream->Size();
    if (size < bodyOffset || count > bodyOffset)
        return false;
    CVornString piece(CVornString::kUnlocked);
    for (int source = bodyOffset; source < size;) {
        int n = size - source < CVornRFC822Entity::kBodyPiece ? size - source
                                                              : CVornRFC822Entity::kBodyPiece;
        if (!stream->Seek(source, 0) || stream->Read(piece, n) != n)
            return false;
        if (!stream->Seek(source - count, 0) || stream->Write(piece) != n)
            return false;
        source += n;
    }
    if (!stream->Truncate(size - count))
        return false;
    bodyOffset -= count;
    return true;
}

bool CVornRFC822Entity::writeHeaders() {
    if (!m_Changed)
        return true;
    int bodyPosition = 0;
    if (m_BodyOffset != 0) {
        int position = m_Stream->Tell();
        bodyPosition = position - m_BodyOffset;
        if (position < 0 || bodyPosition < 0)
            bodyPosition = 0;
    }
    CVornString block(CVornString::kUnlocked);
    formatHeaders(block, false, nullptr);
    long long free = static_cast<long long>(m_BodyOffset) - block.Length() - 2;
    if (free < INT_MIN / 2)
        return false;
    // The padding goes on the last field's line; that line must stay within
    // the bound a parse takes, or the entity could not be opened again. A
    // block without fields cannot be padded at all (a line of blanks would
    // read as a continuation without a field and end the block). Where the
    // padding cannot go, the room is closed instead and the body moves.
    long long lastLine = -1;
    {
        CVornLockGuard listGuard(m_Fields.m_Lock);
        for (auto* node = m_Fields.m_Head; node; node = node->m_Next) {
            if (node->m_Element)
                lastLine = FieldLineLength(node->m_Element->m_Name, node->m_Element->m_Value);
        }
    }
    auto fits = [&](long long blanks) {
        return lastLine >= 0 && lastLine + blanks <= kMaxHeaderLine;
    };
    int padding = 0;
    if (free > 0) {
        if (fits(free)) {
            padding = static_cast<int>(free);
        } else if (!CloseRoom(m_Stream, m_BodyOffset, static_cast<int>(free))) {
            return false;
        }
    } else if (free < 0) {
        int reserve = fits(m_Reserve) ? m_Reserve : 0;
        if (static_cast<long long>(reserve) - free > INT_MAX ||
            !makeRoom(static_cast<int>(reserve - free)))
            return false;
        padding = reserve;
    }
    if (padding > 0) {
        // The last field's line is padded with blanks, so that the block
        // fills its room exactly; a parse drops them again.
        block.KeepLeft(block.Length() - 2);
        CVornString blanks(CVornString::kUnlocked);
        blanks.Reserve(padding);
        for (int i = 0; i < padding; ++i) blanks.Append(' ');
        block.Append(blanks);
        block.Append("\r\n");
    }
    block.Append("\r\n");
    if (!m_Stream->Seek(0, 0) || m_Stream->Write(block) != block.Length())
        return false;
    if (!m_Stream->Seek(bodyPosition + m_BodyOffset, 0))
        return false;
    m_Changed = false;
    return true;
}

// ---- Sending and moving

bool CVornRFC822Entity::sendHeaders(CVornTCPSocket& socket, bool withEmptyLine,
                                    const CVornString* firstLine) {
    CVornString block(CVornString::kUnlocked);
    formatHeaders(block, withEmptyLine, firstLine);
    return socket.Write(block) == block.Length();
}

bool CVornRFC822Entity::SendBody(CVornTCPSocket& socket, const CVornString* firstLine) {
    CVornLockGuard guard(m_Lock);
    if (!hasBody())
        return false;
    if (!sendHeaders(socket, true, firstLine))
        return false;
    if (!m_Stream->Seek(m_BodyOffset, 0))
        return false;
    CVornString piece(CVornString::kUnlocked);
    for (;;) {
        int n = m_Stream->Read(piece, kBodyPiece);
        if (n < 0) {
            if (!g_LogSilent)
                LogText(kLogDebug, "error reading body");
            return false;
        }
        if (n == 0)
            return true;
        if (socket.Write(piece.CStr(), n) != n) {
            if (!g_LogSilent)
                LogText(kLogDebug, "error sending body");
            return false;
        }
    }
}

bool CVornRFC822Entity::TakeOver(CVornRFC822Entity& other) {
    if (&other == this)
        return false;
    CVornLockGuard guard(m_Lock);
    CVornLockGuard otherGuard(other.m_Lock);
    if (!usable() || !other.usable())
        return false;
    clearHeaders();
    m_BodyOffset = 0;
    m_Changed = false;
    int otherPosition = other.m_Stream->Tell();
    bool copied = otherPosition >= 0 && m_Stream->Seek(0, 0) && m_Stream->Truncate(0) &&
                  other.m_Stream->Seek(0, 0);
    CVornString piece(CVornString::kUnlocked);
    while (copied) {
        int n = other.m_Stream->Read(piece, kBodyPiece);
        if (n <= 0) {
            copied = n == 0;
            break;
        }
        copied = m_Stream->Write(piece.CStr(), n) == n;
    }
    if (!copied) {
        // The other entity keeps everything it had; this one is left
        // without a header block.
        if (otherPosition >= 0)
            other.m_Stream->Seek(otherPosition, 0);
        return false;
    }
    m_Stream->Seek(otherPosition, 0);
    m_Fields.TakeAll(other.m_Fields);
    m_Changed = other.m_Changed;
    m_BodyOffset = other.m_BodyOffset;
    delete other.m_Stream;
    other.forget();
    return true;
}
