// Message parts, keys and attachment messages: the operations of
// CVornMailMessage on the parts that its line parse found, and the building
// of a message from an RFC 822 entity.
//
//   CVornMailMessage::GetPartCount   parts of a multipart body (n)
//   CVornMailMessage::GetPartInfo    content type, name, file name of a part
//   CVornMailMessage::GetPartSize    size of the message or of a part
//   CVornMailMessage::IsAttachment   whether a part counts as an attachment
//   CVornMailMessage::HasAttachment  whether any part does
//   CVornMailMessage::DecodePart     a part's content into another message
//   CVornMailMessage::GetUniqueKey   the message's key
//   MakeAttachmentMessage            an entity as a message, in memory or in
//                                    a temporary file
//
// Bad input: a part number outside 0..n gives 1 (false for the tests); a
// part whose header block never ended cannot be decoded (1). DecodePart
// reads whole lines across its read pieces, so a boundary line or an
// encoded line is never split by where a read ended; a line longer than
// kMaxPartLine is handled in pieces of that size (encoded text is cut where
// no escape or group is split, and only a line's start is compared with the
// boundary). Characters outside the base64 alphabet are skipped; the
// leftover of an unfinished last base64 group is dropped.
#include "net/message_parts.h"

#include <limits.h>
#include <stdio.h>
#include <string.h>

#include <new>
#include <string>

#include "core/disk_file.h"
#include "core/vorn_exception.h"
#include "net/mime.h"
#include "net/rfc822_entity.h"

namespace {

// DecodePart reads the message in pieces of this size.
constexpr int kDecodePiece = 4096;
// MakeAttachmentMessage copies the entity's body in pieces of this size.
constexpr int kCopyPiece = 4096;
// The longest line DecodePart keeps whole before handling it in pieces.
constexpr int kMaxPartLine = 1 << 20;
// Length of the message key.
constexpr int kKeyLength = 70;

bool IsAsciiAlnum(int c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// Writes a part's content to the target, decoded by its encoding.
class PartWriter {
public:
    enum Mode { kCopy, kBase64, kQuotedPrintable };

    PartWriter(CVornMailMessage& target, Mode mode) : m_Target(target), m_Mode(mode) {}
    PartWriter(const PartWriter&) = delete;
    PartWriter& operator=(const PartWriter&) = delete;

    // Whole lines (or the last bytes of the data); true when written.
    bool Lines(const char* bytes, int n) {
        if (n <= 0)
            return true;
        switch (m_Mode) {
            case kCopy:
                return m_Target.Write(bytes, n) == 0;
            case kBase64:
                // The leftover of an unfinished group goes in front.
                m_In.Assign(m_Rest);
                m_In.Append(bytes, n);
                DecodeBase64(m_In, m_Out, m_Rest);
                return write(m_Out);
            case kQuotedPrintable:
            default:
                m_In.Assign(bytes, n);
                m_Out.Clear();
                DecodeQuotedPrintable(m_In, m_Out);
                return write(m_Out);
        }
    }

    // The first bytes of a line too long to keep whole: how many of them
    // were written (the rest stays for the next piece). Quoted-printable
    // text is cut before trailing blanks and before an escape that may
    // continue, and goes through the decoder as a soft line break, so the
    // pieces decode as the whole line would.
    int Piece(const char* bytes, int n, bool* ok) {
        *ok = true;
        if (m_Mode != kQuotedPrintable) {
            *ok = Lines(bytes, n);
            return n;
        }
        int cut = n;
        while (cut > 0 && (bytes[cut - 1] == ' ' || bytes[cut - 1] == '\t')) --cut;
        if (cut >= 1 && bytes[cut - 1] == '=')
            cut -= 1;
        else if (cut >= 2 && bytes[cut - 2] == '=')
            cut -= 2;
        if (cut == 0)
            cut = n;  // nothing but blanks: let them go as they are
        m_In.Assign(bytes, cut);
        m_In.Append('=');
        m_Out.Clear();
        DecodeQuotedPrintable(m_In, m_Out);
        *ok = write(m_Out);
        return cut;
    }

private:
    bool write(CVornString& text) {
        return text.IsEmpty() || m_Target.Write(text.CStr(), text.Length()) == 0;
    }

    CVornMailMessage& m_Target;
    Mode m_Mode;
    CVornString m_In{CVornString::kUnlocked};
    CVornString m_Out{CVornString::kUnlocked};
    CVornString m_Rest{CVornString::kUnlocked};
};

// Whether the part's test for an attachment holds for these values.
bool AttachmentTest(const CVornString& contentType, const CVornString& disposition) {
    if (!MimeTypeMatches(contentType, "text/") && !MimeTypeMatches(contentType, "message/rfc822"))
        return true;
    return disposition.Equals("attachment", 2);
}

}  // namespace

// ---------------------------------------------------------------- parts

int CVornMailMessage::GetPartCount() {
    CVornLockGuard guard(m_Lock);
    CVornLockGuard parts(m_Parts.m_Lock);
    return m_Parts.m_Count > 1 ? m_Parts.m_Count - 1 : 0;
}

int CVornMailMessage::GetPartInfo(int part, CVornString& contentType, CVornString& name,
                                  CVornString& fileName) {
    CVornLockGuard guard(m_Lock);
    if (part < 0 || part > GetPartCount())
        return 1;
    if (part == 0) {
        contentType.Assign(m_ContentType);
        name.Assign(m_Name);
        fileName.Assign(m_FileName);
        return 0;
    }
    CVornLockGuard parts(m_Parts.m_Lock);
    CVornMimePart* record = m_Parts.GetAt(part - 1);
    contentType.Assign(record->m_ContentType);
    name.Assign(record->m_Name);
    fileName.Assign(record->m_FileName);
    return 0;
}

int CVornMailMessage::GetPartSize(int part, int& size) {
    CVornLockGuard guard(m_Lock);
    if (part < 0 || part > GetPartCount())
        return 1;
    if (part == 0) {
        size = m_Size;
        return 0;
    }
    CVornLockGuard parts(m_Parts.m_Lock);
    size = m_Parts.GetAt(part - 1)->m_Size;
    return 0;
}

bool CVornMailMessage::IsAttachment(int part) {
    CVornLockGuard guard(m_Lock);
    if (part < 0 || part > GetPartCount())
        return false;
    if (part == 0)
        return AttachmentTest(m_ContentType, m_Disposition);
    CVornLockGuard parts(m_Parts.m_Lock);
    CVornMimePart* record = m_Parts.GetAt(part - 1);
    return AttachmentTest(record->m_ContentType, record->m_Disposition);
}

bool CVornMailMessage::HasAttachment() {
    CVornLockGuard guard(m_Lock);
    if (m_Multipart) {
        int n = GetPartCount();
        for (int part = 1; part <= n; ++part) {
            if (IsAttachment(part))
                return true;
        }
        return false;
    }
    // The main disposition is not looked at here.
    return !MimeTypeMatches(m_ContentType, "text/") &&
           !MimeTypeMatches(m_ContentType, "message/rfc822");
}

int CVornMailMessage::readChunk(CVornString& out, int max) {
    CVornLockGuard guard(m_Lock);
    if (!m_File)
        return -1;
    if (max <= 0)
        return 0;
    int left = bytesBeforeLimit();
    if (left <= 0)
        return left;
    return m_File->Read(out, max < left ? max : left);
}

int CVornMailMessage::DecodePart(int part, CVornMailMessage& target, bool decode) {
    CVornLockGuard guard(m_Lock);
    // Copying a message into itself would read what it writes.
    if (&target == this || part < 0 || part > GetPartCount() || !m_File)
        return 1;

    int start = 0;
    int size = 0;
    CVornString encoding(CVornString::kUnlocked);
    if (part == 0) {
        start = m_BodyOffset;
        size = m_Size;
        encoding.Assign(m_Encoding);
    } else {
        CVornLockGuard parts(m_Parts.m_Lock);
        CVornMimePart* record = m_Parts.GetAt(part - 1);
        start = record->m_Start;
        size = record->m_Size;
        encoding.Assign(record->m_Encoding);
    }
    if (start < 0)
        return 1;

    PartWriter::Mode mode = PartWriter::kCopy;
    if (decode && encoding.Equals("base64", 2))
        mode = PartWriter::kBase64;
    else if (decode && encoding.Equals("quoted-printable", 2))
        mode = PartWriter::kQuotedPrintable;

    int saved = m_File->Tell();
    if (!m_File->Seek(start, 0))
        return 1;
    target.Reserve(size > 0 && size < INT_MAX - kDecodePiece ? size + kDecodePiece : kDecodePiece);
    // An empty header block: everything after it is the target's body.
    int result = target.Write("\r\n", 2) == 0 ? 0 : 1;

    // A part ends at the first line that starts with the boundary; part 0
    // is the whole body.
    const bool checkBoundary = part > 0 && !m_Boundary.IsEmpty();
    CVornString boundaryText(m_Boundary, CVornString::kUnlocked);
    const char* boundary = boundaryText.CStr();
    const size_t boundaryLength = static_cast<size_t>(boundaryText.Length());

    PartWriter writer(target, mode);
    CVornString piece(CVornString::kUnlocked);
    // Bytes read but not yet written: whole lines and, at the end, the
    // start of a line whose end has not been read yet.
    std::string pending;
    bool atLineStart = true;  // pending begins at the start of a line
    bool done = result != 0;
    while (!done) {
        int n = readChunk(piece, kDecodePiece);
        if (n < 0) {
            result = 1;
            break;
        }
        const bool end = n == 0;
        if (!end)
            pending.append(piece.CStr(), static_cast<size_t>(n));

        // settled: the bytes of pending that are whole lines before any
        // boundary line.
        size_t settled = 0;
        bool boundaryFound = false;
        for (;;) {
            const char* line = pending.data() + settled;
            size_t available = pending.size() - settled;
            if (checkBoundary && atLineStart && available > 0) {
                size_t compare = available < boundaryLength ? available : boundaryLength;
                if (memcmp(line, boundary, compare) == 0) {
                    if (available >= boundaryLength) {
                        boundaryFound = true;
                        break;
                    }
                    // Too short to tell (the boundary holds no LF, so this is
                    // one unfinished line): wait for more, unless the data
                    // has ended.
                    if (!end)
                        break;
                }
            }
            const void* lf = memchr(line, '\n', available);
            if (!lf)
                break;
            settled = static_cast<size_t>(static_cast<const char*>(lf) - pending.data()) + 1;
            atLineStart = true;
        }

        if (!writer.Lines(pending.data(), static_cast<int>(settled))) {
            result = 1;
            break;
        }
        pending.erase(0, settled);
        if (boundaryFound)
            break;
        if (end) {
            // The last line of the data, without its line end.
            if (!writer.Lines(pending.data(), static_cast<int>(pending.size())))
                result = 1;
            break;
        }
        // A line this long is handled in pieces; only its start could have
        // been a boundary, and that has been decided above.
        while (pending.size() > static_cast<size_t>(kMaxPartLine)) {
            bool ok = true;
            int taken = writer.Piece(pending.data(), kMaxPartLine, &ok);
            if (!ok) {
                result = 1;
                done = true;
                break;
            }
            pending.erase(0, static_cast<size_t>(taken));
            atLineStart = false;
        }
    }
    if (saved >= 0)
        m_File->Seek(saved, 0);
    return result;
}

// ---------------------------------------------------------------- key

void CVornMailMessage::makeUniqueKey(CVornString& out) {
    char ring[kKeyLength];
    int position = 0;
    bool wrapped = false;
    auto put = [&](char c) {
        ring[position] = c;
        if (++position == kKeyLength) {
            position = 0;
            wrapped = true;
        }
    };

    CVornString value(CVornString::kUnlocked);
    static const char* const kFallbackFields[] = {"Subject", "Date", "X-Message-Revision"};
    auto mix = [&](const char* field) {
        if (GetHeader(field, value) != 0)
            return false;
        const char* text = value.CStr();
        for (int i = 0; i < value.Length(); ++i) {
            int c = static_cast<unsigned char>(text[i]);
            if (!IsAsciiAlnum(c))
                continue;
            int v = c + position % 8;
            put(static_cast<char>(IsAsciiAlnum(v) ? v : c));
        }
        return true;
    };
    if (!mix("Message-Id")) {
        for (const char* field : kFallbackFields) mix(field);
    }
    char size[24];
    snprintf(size, sizeof(size), "%ld", static_cast<long>(m_Size));
    for (const char* p = size; *p; ++p) put(*p);

    out.Assign(ring, wrapped ? kKeyLength : position);
}

int CVornMailMessage::GetUniqueKey(CVornString& out) {
    CVornLockGuard guard(m_Lock);
    try {
        makeUniqueKey(out);
    } catch (const std::bad_alloc&) {
        return 1;
    }
    return 0;
}

// ---------------------------------------------------------------- attachments

CVornMailMessage* MakeAttachmentMessage(CVornRFC822Entity& entity, const CVornString& tempDir,
                                        int counter, CVornDiskFile*& tempFile) {
    if (!entity.IsOpen())
        return nullptr;
    CVornString header(CVornString::kUnlocked);
    if (!entity.GetHeaderText(header, true))
        return nullptr;
    int bodySize = entity.Size();
    if (bodySize < 0)
        return nullptr;

    CVornMailMessage* message = nullptr;
    if (bodySize < kAttachmentFileThreshold) {
        message = new CVornMailMessage();
    } else {
        delete tempFile;
        tempFile = nullptr;
        CVornString directory(tempDir, CVornString::kUnlocked);
        CVornString count(CVornString::kUnlocked);
        count.AssignInt(counter);
        count.Append("aa");
        tempFile = new CVornDiskFile(directory.CStr(), "om", count.CStr(), "tmp");
        CVornString path(tempFile->GetPath(), CVornString::kUnlocked);
        if (path.IsEmpty())
            return nullptr;
        message = new CVornMailMessage(path.CStr(), 0, 0, CVornMailMessage::kUnbounded,
                                       CVornMailMessage::kModeWrite);
    }

    // A multipart body parses line by line, and a last line without its CR
    // LF would wait for a Close that the caller does not make: such a body
    // gets the CR LF, so that its closing boundary counts.
    CVornString contentType, charset, name, fileName, disposition, encoding, boundary;
    ParsePartHeaders(header, contentType, charset, name, fileName, disposition, encoding, boundary);
    const bool multipart = MimeTypeMatches(contentType, "multipart/") && !boundary.IsEmpty();

    bool ok = message->Open() == 0 && message->Write(header.CStr(), header.Length()) == 0;
    int saved = entity.Tell();
    if (ok && !entity.Seek(0, 0))
        ok = false;
    CVornString piece(CVornString::kUnlocked);
    char last[2] = {0, 0};
    while (ok) {
        int n = entity.Read(piece, kCopyPiece);
        if (n < 0) {
            ok = false;
            break;
        }
        if (n == 0)
            break;
        const char* bytes = piece.CStr();
        if (n >= 2) {
            last[0] = bytes[n - 2];
        } else {
            last[0] = last[1];
        }
        last[1] = bytes[n - 1];
        ok = message->Write(bytes, n) == 0;
    }
    if (ok && multipart && bodySize > 0 && !(last[0] == '\r' && last[1] == '\n'))
        ok = message->Write("\r\n", 2) == 0;
    if (saved >= 0)
        entity.Seek(saved, 0);
    if (!ok) {
        delete message;
        return nullptr;
    }
    return message;
}
