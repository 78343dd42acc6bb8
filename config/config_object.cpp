// Configuration objects and the text form of their attribute lists.
//
//   CVornConfigObject::Parse / ParseAttributes   read an attribute list
//   CVornConfigObject::Write / WriteAttributes   write it as one CR LF line
//   CVornConfigObject::Get/Set/DeleteBaseAttribute  the base attributes
//   CVornConfigObject::copyAttributes, CopyStringValue  copying attribute maps
//   CVornEventList                               the owned list of event maps
//   CVornStateObject::Parse / Write              "state,code," ahead of the list
//   CVornMailingList / CVornDictionary::IsPending   by the state letter
//   CVornUser / CVornClient::GetCast             the group's name
//   IsListOwnerAddress, ListOwnerAddress         "owner-" names of lists
//
// Bad input: a malformed list (an item without '='), a name or value over its
// bound, or a text over kMaxObjectTextLength is refused with 1 and never
// read past; what was stored before the bad item stays. Setters refuse
// what could not be written back and read again. Nothing here writes a
// message; the store reports refused lines.
//
// The escapes beyond "\," and "\\" (see config/config_object.h) exist so
// that no name or value can end its item or its line early: before them a
// value holding CR or LF split the configuration file, and a value ending
// in a lead byte swallowed the ',' after it and with it the next item.
#include "config/config_object.h"

#include <strings.h>

#include <cstring>
#include <memory>

#include "core/code_page.h"
#include "core/vorn_file.h"

namespace {

// Bytes that may never appear raw in a written item: they end a line (CR,
// LF) or the text handed to the parser (NUL).
bool IsLineByte(unsigned char c) {
    return c == 0 || c == '\r' || c == '\n';
}

const char kHexDigits[] = "0123456789ABCDEF";

void AppendHexEscape(std::string& out, unsigned char c) {
    out += '\\';
    out += 'x';
    out += kHexDigits[c >> 4];
    out += kHexDigits[c & 15];
}

// Appends the written form of n bytes: a value (',' ends it) or a name ('='
// ends it). Single-byte characters that would end the item or the line are
// escaped; a double-byte character is copied whole unless its trail bytes
// are missing or include a byte that the reader would stop at, in which case
// the lead byte is escaped and the bytes after it are taken on their own.
void AppendEscaped(std::string& out, const char* p, int n, bool isName) {
    for (int i = 0; i < n;) {
        unsigned char c = static_cast<unsigned char>(p[i]);
        int length = g_CodePage.CharLength(c);
        if (length > 1) {
            bool whole = i + length <= n;
            for (int k = 1; whole && k < length; ++k) {
                unsigned char trail = static_cast<unsigned char>(p[i + k]);
                if (IsLineByte(trail) || (isName && trail == '='))
                    whole = false;
            }
            if (whole) {
                out.append(p + i, length);
                i += length;
            } else {
                AppendHexEscape(out, c);
                ++i;
            }
            continue;
        }
        if (c == '\\') {
            out += "\\\\";
        } else if (c == ',' && !isName) {
            out += "\\,";
        } else if (c == '=' && isName) {
            out += "\\=";
        } else if (IsLineByte(c)) {
            AppendHexEscape(out, c);
        } else {
            out += static_cast<char>(c);
        }
        ++i;
    }
}

int HexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The byte of a "\xHH" escape at p (p on the backslash), or -1 when p does
// not start one that the writer makes: only line bytes and lead bytes are
// ever escaped this way, so any other "\x.." stays text as it always was.
int HexEscapeAt(const char* p) {
    if (p[1] != 'x')
        return -1;
    int high = HexValue(p[2]);
    if (high < 0)
        return -1;
    int low = HexValue(p[3]);
    if (low < 0)
        return -1;
    int c = high * 16 + low;
    return IsLineByte(static_cast<unsigned char>(c)) || c >= 0x80 ? c : -1;
}

// Reads a name or a value at p into out, up to the first single-byte stop
// byte that is not escaped ('=' for a name, ',' for a value) or the end of
// the text, and returns the position of that byte. A double-byte character
// is taken whole, never past the end of the text. Reading stops early (the
// position returned is then not on a stop byte) once out exceeds limit.
const char* ReadEscaped(const char* p, std::string& out, bool isName, size_t limit) {
    char stop = isName ? '=' : ',';
    while (*p && out.size() <= limit) {
        unsigned char c = static_cast<unsigned char>(*p);
        int length = g_CodePage.CharLength(c);
        if (length > 1) {
            int k = 1;
            while (k < length && p[k]) ++k;
            out.append(p, k);
            p += k;
            continue;
        }
        if (c == static_cast<unsigned char>(stop))
            break;
        if (c == '\\') {
            char next = p[1];
            if (next == '\\' || next == stop) {
                out += next;
                p += 2;
                continue;
            }
            int escaped = HexEscapeAt(p);
            if (escaped >= 0) {
                out += static_cast<char>(escaped);
                p += 4;
                continue;
            }
        }
        // A backslash before any other byte is kept, and the byte after it
        // is read normally.
        out += static_cast<char>(c);
        ++p;
    }
    return p;
}

// The written length of the item "name=value".
size_t ItemLength(const char* name, int nameLength, const char* value, int valueLength) {
    std::string scratch;
    AppendEscaped(scratch, name, nameLength, true);
    scratch += '=';
    AppendEscaped(scratch, value, valueLength, false);
    return scratch.size();
}

// Copies "Cast" of object into buffer (see CVornUser::GetCast).
void CopyCast(CVornConfigObject& object, char* buffer, int size) {
    if (!buffer || size < 1)
        return;
    CVornString cast(CVornString::kUnlocked);
    if (!object.GetBaseAttribute("Cast", cast)) {
        buffer[0] = 0;
        return;
    }
    if (cast.Length() >= size - 1)
        return;
    std::memcpy(buffer, cast.CStr(), cast.Length() + 1);
}

}  // namespace

void* CopyStringValue(void* value) {
    if (!value)
        return nullptr;
    return new CVornString(*static_cast<CVornString*>(value));
}

// ---- CVornEventList

CVornEventList::~CVornEventList() {
    RemoveAllEvents();
}

void CVornEventList::AddFront(CVornStringMap* event) {
    if (!event)
        return;
    std::unique_ptr<CVornStringMap> owned(event);
    AddHead(event);
    owned.release();
}

bool CVornEventList::RemoveEvent(const CVornStringMap* event) {
    CVornStringMap* found = nullptr;
    {
        CVornLockGuard guard(m_Lock);
        Node* before = nullptr;
        for (Node* node = m_Head; node; before = node, node = node->m_Next) {
            if (node->m_Element != event)
                continue;
            if (before) {
                before->m_Next = node->m_Next;
            } else {
                m_Head = node->m_Next;
            }
            if (m_Tail == node)
                m_Tail = before;
            --m_Count;
            // A cursor left on or next to the node would dangle or skip.
            m_Cursor = nullptr;
            m_Previous = nullptr;
            found = node->m_Element;
            delete node;
            break;
        }
    }
    delete found;
    return found != nullptr;
}

void CVornEventList::RemoveAllEvents() {
    CVornLockGuard guard(m_Lock);
    for (Node* node = m_Head; node; node = node->m_Next) {
        delete node->m_Element;
        node->m_Element = nullptr;
    }
    RemoveAll();
}

// ---- CVornConfigObject

CVornConfigObject::CVornConfigObject() = default;

CVornConfigObject::~CVornConfigObject() {
    m_Events.RemoveAllEvents();
    m_Attributes.Clear();
}

int CVornConfigObject::Parse(const char* text) {
    return ParseAttributes(text) != 0 ? 1 : 0;
}

int CVornConfigObject::Write(CVornFile& file) {
    return WriteAttributes(file) != 0 ? 1 : 0;
}

bool CVornConfigObject::IsPending() {
    return false;
}

int CVornConfigObject::parseItem(const char*& cursor, CVornString& name, CVornString& value) {
    name.Clear();
    value.Clear();
    if (!cursor)
        return -1;
    if (!*cursor) {
        // Only reached after a final ',': that item is the empty name with
        // the empty value.
        cursor = nullptr;
        return 0;
    }
    std::string text;
    const char* p = ReadEscaped(cursor, text, true, kMaxAttributeNameLength);
    if (*p != '=' || text.size() > static_cast<size_t>(kMaxAttributeNameLength))
        return 1;
    name.Assign(text.data(), static_cast<int>(text.size()));
    ++p;
    unescapeValue(p, value);
    if (value.Length() > kMaxAttributeValueLength)
        return 1;
    cursor = *p == ',' ? p + 1 : nullptr;
    return 0;
}

void CVornConfigObject::unescapeValue(const char*& cursor, CVornString& value) {
    std::string text;
    cursor = ReadEscaped(cursor, text, false, kMaxAttributeValueLength);
    value.Assign(text.data(), static_cast<int>(text.size()));
}

void CVornConfigObject::escapeValue(CVornString& value) {
    CVornString copy(value, CVornString::kUnlocked);
    std::string text;
    AppendEscaped(text, copy.CStr(), copy.Length(), false);
    if (text.size() != static_cast<size_t>(copy.Length()))
        value.Assign(text.data(), static_cast<int>(text.size()));
}

int CVornConfigObject::ParseAttributeList(const char* text, CVornStringMap& map, CVornLock* lock) {
    if (!text || !*text)
        return 0;
    if (strnlen(text, static_cast<size_t>(kMaxObjectTextLength) + 1) >
        static_cast<size_t>(kMaxObjectTextLength))
        return 1;
    const char* cursor = text;
    CVornString name(CVornString::kUnlocked);
    CVornString value(CVornString::kUnlocked);
    for (;;) {
        int result = parseItem(cursor, name, value);
        if (result < 0)
            return 0;
        if (result > 0)
            return 1;
        CVornLockGuard guard(lock);
        if (map.Count() >= kMaxAttributeCount && !map.Find(name, nullptr, false))
            return 1;
        map.Set(name, value);
    }
}

int CVornConfigObject::ParseAttributes(const char* text) {
    return ParseAttributeList(text, m_Attributes, &m_ObjectLock);
}

bool CVornConfigObject::BuildAttributeText(CVornStringMap& map, std::string& out) {
    out.clear();
    CVornString name(CVornString::kUnlocked);
    void* value = nullptr;
    bool first = true;
    for (bool more = map.First(name, &value); more; more = map.Next(name, &value)) {
        if (!first)
            out += ',';
        first = false;
        AppendEscaped(out, name.CStr(), name.Length(), true);
        out += '=';
        if (value) {
            // Stored values are replaced, never changed in place, and the
            // caller holds the owner's lock, so the text stays put.
            CVornString* text = static_cast<CVornString*>(value);
            AppendEscaped(out, text->CStr(), text->Length(), false);
        }
        if (out.size() > static_cast<size_t>(kMaxObjectTextLength))
            return false;
    }
    return true;
}

int CVornConfigObject::WriteAttributes(CVornFile& file) {
    std::string line;
    {
        CVornLockGuard guard(m_ObjectLock);
        if (!BuildAttributeText(m_Attributes, line))
            return 1;
    }
    line += "\r\n";
    int length = static_cast<int>(line.size());
    return file.Write(line.data(), length) == length ? 0 : 1;
}

bool CVornConfigObject::GetBaseAttribute(const char* name, CVornString& out) {
    CVornLockGuard guard(m_ObjectLock);
    return m_Attributes.Get(name ? name : "", out);
}

bool CVornConfigObject::SetBaseAttribute(const char* name, const CVornString& value) {
    CVornString key(name ? name : "", CVornString::kUnlocked);
    CVornString copy(value, CVornString::kUnlocked);
    if (key.Length() > kMaxAttributeNameLength || copy.Length() > kMaxAttributeValueLength)
        return false;

    CVornLockGuard guard(m_ObjectLock);
    // The object's line must stay readable: the written length of every
    // other item, plus this one, plus the separators.
    size_t total = ItemLength(key.CStr(), key.Length(), copy.CStr(), copy.Length());
    int others = 0;
    CVornString other(CVornString::kUnlocked);
    void* stored = nullptr;
    for (bool more = m_Attributes.First(other, &stored); more;
         more = m_Attributes.Next(other, &stored)) {
        if (other.Equals(key, 3))
            continue;
        ++others;
        CVornString text(CVornString::kUnlocked);
        if (stored)
            text.Assign(*static_cast<CVornString*>(stored));
        total += 1 + ItemLength(other.CStr(), other.Length(), text.CStr(), text.Length());
        if (total > static_cast<size_t>(kMaxObjectTextLength))
            return false;
    }
    if (others >= kMaxAttributeCount)
        return false;
    m_Attributes.Set(key, copy);
    return true;
}

void CVornConfigObject::DeleteBaseAttribute(const char* name) {
    CVornLockGuard guard(m_ObjectLock);
    m_Attributes.Remove(name ? name : "");
}

int CVornConfigObject::copyAttributes(CVornStringMap& target, CVornStringMap& source) {
    target.CopyFrom(source, &CopyStringValue, &DeleteObject<CVornString>);
    return 0;
}

// ---- Users and clients

void CVornUser::GetCast(char* buffer, int size) {
    CopyCast(*this, buffer, size);
}

void CVornClient::GetCast(char* buffer, int size) {
    CopyCast(*this, buffer, size);
}

// ---- Mailing lists and dictionaries

int CVornStateObject::Parse(const char* text) {
    if (!text || strnlen(text, 3) < 3)
        return 1;
    CVornWriteGuard guard(m_StateLock);
    m_State = text[0];
    if (text[1] != ',')
        return 1;
    m_Code = text[2];
    if (text[3] != ',')
        return 0;
    return ParseAttributes(text + 4) != 0 ? 1 : 0;
}

int CVornStateObject::Write(CVornFile& file) {
    CVornReadGuard guard(m_StateLock);
    const char letters[4] = {m_State, ',', m_Code, ','};
    if (file.Write(letters, 4) != 4)
        return 1;
    return WriteAttributes(file) != 0 ? 1 : 0;
}

bool CVornMailingList::IsPending() {
    CVornReadGuard guard(m_StateLock);
    return m_State == 'A' || m_State == 'D' || m_State == 'U';
}

bool CVornDictionary::IsPending() {
    CVornReadGuard guard(m_StateLock);
    return m_State == 'U';
}

// ---- List owner names

bool IsListOwnerAddress(const char* address) {
    return address && strncasecmp(address, "owner-", 6) == 0;
}

void ListOwnerAddress(const char* listName, CVornString& out) {
    if (!listName)
        listName = "";
    if (IsListOwnerAddress(listName)) {
        out.Assign(listName);
        return;
    }
    CVornString name("owner-", CVornString::kUnlocked);
    name.Append(listName);
    out.Assign(name);
}
