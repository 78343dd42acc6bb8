// CVornRFC822Entity: a header block and a body held in one stream (an RFC
// 822 message, an HTTP request or response). The header fields are parsed
// into a list that callers read and change; the entity is itself a CVornFile
// whose positions, sizes and reads are those of the body: position 0 is the
// first byte after the empty line that ends the header block. Changed fields
// are written back in front of the body on Flush and Close; the body moves
// only when the new block does not fit into the room of the old one.
//
// Header block: lines end in CR LF. A field is "name: value"; a line that
// starts with a blank or tab continues the field before it. The block ends at
// the empty line, or (without one) at the first line that is neither a field
// nor a continuation, which then starts the body. A stream that ends inside
// the header lines has no header block (HasHeaders false).
//
// Bounds of a parse (kMaxHeaderLine, kMaxHeaderFields): a header line, or a
// field with its continuation lines, longer than 64 KiB, or a block of more
// than 1000 fields makes the parse fail (Open and EndHeaders false, the
// constructor leaves the entity closed; no header block), with a warning
// line in the debug log. Lines are read whole however the stream delivers
// them, so a long line never splits into a field and a body.
//
// Writing fields back rewrites the front of the stream in place: the stream
// must not be in append mode (kFileAppend).
//
// Written fields never start a new header: SetHeader removes every CR and LF
// from the name and the value (an unfolded value means the same thing).
// What is written back is always read again: SetHeader refuses what a parse
// would refuse or read otherwise, and a shrunk block whose room cannot be
// padded within the line bound moves the body down instead.
//
// Threads: every operation holds the entity's lock for its whole run, stream
// calls included; the field list's lock is taken inside it. TakeOver takes
// this entity's lock and then the other's, so callers never take over in both
// directions at once. Not copyable.
#pragma once

#include "core/vorn_file.h"
#include "core/vorn_list.h"
#include "core/vorn_lock.h"
#include "core/vorn_string.h"

class CVornTCPSocket;

// One header field. The value has no blanks or tabs in front, always ends in
// CR LF, and keeps the continuation lines of a folded field as they were read
// (each with its leading blanks and its CR LF).
struct CVornHeaderField {
    CVornString m_Name{CVornString::kUnlocked};
    CVornString m_Value{CVornString::kUnlocked};
};

// The address of the list entry at index; throws CVornException 61 when there
// is none. The entry may be read and set in place under the list's lock.
template <typename T>
T** PtrListGetAt(CVornList<T*>& list, int index) {
    return list.GetAt(index);
}

// The fields of an entity in the order of the header block. An entry may be
// null (left by SetHeader); every user skips null entries. The list never
// frees the fields: its owner does (CVornRFC822Entity::clearHeaders). Not
// copyable (two lists would share the same fields).
class CVornHeaderFieldList : public CVornList<CVornHeaderField*> {
public:
    CVornHeaderFieldList() = default;
    CVornHeaderFieldList(const CVornHeaderFieldList&) = delete;
    CVornHeaderFieldList& operator=(const CVornHeaderFieldList&) = delete;

    // Under the list's lock: deletes every field and empties the list.
    void FreeAll();
    // Under the list's lock: unlinks every entry for which remove(field)
    // holds (null entries included when removeNull), deleting the unlinked
    // fields. Returns how many non-null fields were removed.
    template <typename Predicate>
    int RemoveIf(Predicate remove, bool removeNull);
    // Moves every entry of other to the end of this list (other is left
    // empty). Takes this list's lock, then other's.
    void TakeAll(CVornHeaderFieldList& other);
};

class CVornRFC822Entity : public CVornFile {
public:
    // A header line (CR LF included) may hold at most this many bytes.
    static constexpr int kMaxHeaderLine = 64 * 1024;
    // A parsed header block may hold at most this many fields.
    static constexpr int kMaxHeaderFields = 1000;
    // Bodies are moved and sent in pieces of this size.
    static constexpr int kBodyPiece = 32768;

    // Takes over file's open state through file.Detach(): the new object
    // becomes the entity's stream (owned); the caller's object is left closed
    // and stays the caller's. When the stream is open, the header block is
    // parsed and the entity is open when the parse succeeds. reserve: the
    // extra room made in front of the body when a grown header block has to
    // move it (512 for HTTP requests, 0 elsewhere).
    CVornRFC822Entity(CVornFile& file, int reserve);
    // Closes an open entity (writing back changed fields), deletes the stream
    // and frees the fields.
    ~CVornRFC822Entity() override;

    // ---- CVornFile. While the entity is closed, int operations return -1,
    // bool operations false and void operations nothing. Truncate, Seek, Tell
    // and Size need a header block (they fail without one).

    // False when already open or without a stream; opens the stream, then
    // parses the header block. True when the parse succeeds (on a failed
    // parse the stream stays open and the entity closed).
    bool Open() override;
    // False when not open; writes back changed fields (false, entity still
    // open, when that fails), closes the stream and frees the fields.
    bool Close() override;
    bool IsOpen() override;
    // The stream's reads, from the stream's position.
    int Read(CVornString& out, int count) override;
    int Read(void* buffer, int count) override;
    // The stream's writes. While there is no header block, each write is
    // watched for the empty line that completes it (see checkHeaderEnd):
    // a writer that sends the empty line as a write of its own, or a write
    // that holds the whole CR LF CR LF, completes the block.
    int Write(const CVornString& text) override;
    int Write(const void* bytes, int count) override;
    int ReadLine(CVornString& line, const char* terminator) override;
    int ReadLine(char* buffer, int size, const char* terminator) override;
    // Writes back changed fields, then flushes the stream.
    bool Flush() override;
    // The body cut (or zero-extended) to size bytes.
    bool Truncate(int size) override;
    // Body positions; a target before the body start fails.
    bool Seek(int offset, int whence) override;
    int Tell() override;
    // The stream's end-of-file test.
    bool IsEof() override;
    void Reserve(int size) override;
    int Size() override;
    void GetModTime(CVornDate& date) override;
    // A new heap entity (the caller owns it) with this one's stream, state and
    // fields; this one is left closed without a stream. Null when memory
    // runs out.
    CVornFile* Detach() override;

    // ---- Header fields. Names compare without regard to case.

    // The first field of that name: value = its value without the trailing
    // CR LF (a folded value keeps its inner CR LF and blanks); true. False,
    // value unchanged, when there is no such field or no header block.
    bool GetHeader(const CVornString& name, CVornString& value);
    // Replaces the first field of that name (which takes the name as written
    // here), deletes further ones, or appends a new field. CR and LF are
    // removed from name and value. Nothing without a header block. Refused
    // (nothing changes; a debug warning) when what would be written back
    // could not be read again as this field: a new field when the block
    // holds kMaxHeaderFields fields, a field line (name, ": ", value, CR LF)
    // over kMaxHeaderLine bytes, a name holding ':' or starting with a blank
    // or tab.
    void SetHeader(const CVornString& name, const CVornString& value);
    // Removes every field of that name. Nothing without a header block.
    void RemoveHeader(const CVornString& name);
    // A header block has been recognised.
    bool HasHeaders();
    // out = the fields as "name: value" lines, with the empty line when
    // asked; false without a header block.
    bool GetHeaderText(CVornString& out, bool withEmptyLine);
    // Ends a header block written so far by appending the missing line ends
    // and parsing it. True at once when there is a header block already.
    bool EndHeaders();
    // Empties the stream and forgets the header block; false when not open
    // or when the stream cannot be emptied.
    bool Empty();
    // Sends firstLine (may be null), the header block and the body over the
    // socket; false without a header block or when a write or read fails.
    bool SendBody(CVornTCPSocket& socket, const CVornString* firstLine);
    // Moves the open entity other into this open one (its fields, state and
    // the whole contents of its stream, copied into this one's stream);
    // other is left closed without a stream. False when either is not open
    // or the copy fails (other then keeps its stream and position).
    bool TakeOver(CVornRFC822Entity& other);

private:
    CVornRFC822Entity();

    // REQUIRES for all: m_Lock held.
    // Parses the header block from text, or from the stream when text is
    // null. False on a read or seek error and when a bound is passed.
    bool parseHeaders(const CVornString* text);
    // Writes changed fields back in front of the body.
    bool writeHeaders();
    // Inserts count bytes in front of the body.
    bool makeRoom(int count);
    // After a write of written bytes while there is no header block.
    void checkHeaderEnd(const char* written, int count);
    // out = firstLine (or nothing), the fields, and CR LF when asked.
    void formatHeaders(CVornString& out, bool withEmptyLine, const CVornString* firstLine);
    // The formatted block written to the socket in one write.
    bool sendHeaders(CVornTCPSocket& socket, bool withEmptyLine, const CVornString* firstLine);
    // Frees every field and empties the list.
    void clearHeaders();
    // Open and with a stream.
    bool usable() const { return m_Open && m_Stream; }
    // Usable and with a header block.
    bool hasBody() const { return usable() && m_BodyOffset != 0; }
    // Clears the entity to the closed, stream-less state (fields not freed).
    void forget();

    CVornFile* m_Stream = nullptr;
    bool m_Open = false;
    int m_Reserve = 0;
    int m_BodyOffset = 0;
    bool m_Changed = false;
    CVornHeaderFieldList m_Fields;
    CVornLock m_Lock{true};
};

template <typename Predicate>
int CVornHeaderFieldList::RemoveIf(Predicate remove, bool removeNull) {
    CVornLockGuard guard(m_Lock);
    int removed = 0;
    Node* previous = nullptr;
    Node* node = m_Head;
    while (node) {
        Node* next = node->m_Next;
        CVornHeaderField* field = node->m_Element;
        bool drop = field ? remove(*field) : removeNull;
        if (!drop) {
            previous = node;
            node = next;
            continue;
        }
        if (previous) {
            previous->m_Next = next;
        } else {
            m_Head = next;
        }
        if (m_Tail == node)
            m_Tail = previous;
        --m_Count;
        m_Cursor = nullptr;
        m_Previous = nullptr;
        if (field) {
            delete field;
            ++removed;
        }
        delete node;
        node = next;
    }
    return removed;
}
