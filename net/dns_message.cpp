// DNS messages: the record type, the query encoder and the reply parser.
//
//   CDnsRecord            one record, question or negative entry; SetExpiry caps TTLs at 180 s
//   CDnsRecordPtrList     a list of records by pointer that owns them
//   CompareMXPreference   sorted-list callback ordering MX records by preference
//   DnsMakeKey            the table key of a name, type and number
//   DnsCanonicalName      a name in the form it is sent and matched in
//   DnsBuildQuery         the bytes of a standard query
//   DnsReadName           one (compressed) name of a message
//   DnsParseReply         a reply into its four sections, keeping only what
//                         concerns its question
//   DnsInZone             does a name lie inside a zone
//   DnsReportLimiter      the rate limit of the resolver's reports on junk
//
// Bad input: the parser trusts nothing in a reply. Every length is checked
// against the bytes present before it is read, compression pointers must
// point strictly backwards (so they cannot loop), names are bounded and
// refused when they hold control bytes, and record data must fill its
// RDLENGTH exactly. A malformed reply yields false and empty sections; it
// never reads outside the message. The parser works on an exactly-sized copy
// of the message. Its two warnings (204, 205) are rate-limited, since anyone
// can send datagrams that provoke them.
#include "net/dns_message.h"

#include <ctype.h>
#include <string.h>

#include <memory>
#include <string>
#include <vector>

#include "core/clock.h"
#include "core/event_log.h"
#include "core/splitter.h"
#include "net/udp_report_limiter.h"

namespace {

// A wire name may take at most 255 bytes (length bytes included).
constexpr int kMaxWireName = 255;
// At most four compression pointers in one name.
constexpr int kMaxPointers = 4;
// Header plus the least a question (root name, type, class) and a resource
// record (root name, type, class, TTL, RDLENGTH) can take.
constexpr int kHeaderSize = 12;
constexpr int kMinQuestion = 5;
constexpr int kMinRecord = 11;

constexpr int kEventWarning = 2;

typedef std::vector<unsigned char> Bytes;

// The message bytes: an exactly-sized copy, so that a read past the end is
// caught by the bounds checks below (and by AddressSanitizer if one is
// missing).
Bytes CopyBytes(const CVornString& packet) {
    CVornStringLockGuard guard(packet);
    const int n = packet.Length();
    const auto* data = reinterpret_cast<const unsigned char*>(packet.Data());
    if (n <= 0 || !data)
        return Bytes();
    return Bytes(data, data + n);
}

// True when every byte of text is below 0x80; bytes then holds a copy of the
// text. Names are ASCII in practice: they take the short paths below, and
// anything else the general ones that know the code page.
bool AsciiBytes(const CVornString& text, std::string& bytes) {
    {
        CVornStringLockGuard guard(text);
        const char* data = text.Data();
        bytes.assign(data ? data : "", static_cast<size_t>(text.Length()));
    }
    for (char c : bytes) {
        if (static_cast<unsigned char>(c) >= 0x80)
            return false;
    }
    return true;
}

// Calls label(start, length) for each label of an ASCII name: runs of dots
// separate (leading, trailing and repeated dots make no empty label), and a
// label longer than 63 bytes keeps its last 63.
template <class Label>
void AppendLabels(const std::string& name, Label label) {
    const size_t n = name.size();
    for (size_t i = 0; i < n;) {
        if (name[i] == '.') {
            ++i;
            continue;
        }
        size_t end = i;
        while (end < n && name[end] != '.') ++end;
        size_t start = end - i > 63 ? end - 63 : i;
        label(name.data() + start, end - start);
        i = end;
    }
}

// Two bytes in network order (the message) or in host order (table keys,
// as CVornString::AppendUInt16 writes them).
void AppendWire16(std::string& out, int value) {
    out += static_cast<char>((value >> 8) & 0xFF);
    out += static_cast<char>(value & 0xFF);
}

void AppendHostOrder16(std::string& out, int value) {
    const uint16_t v = static_cast<uint16_t>(value);
    char raw[2];
    memcpy(raw, &v, sizeof raw);
    out.append(raw, sizeof raw);
}

bool ReadU16(const Bytes& m, int& off, unsigned* out) {
    if (off < 0 || static_cast<size_t>(off) + 2 > m.size())
        return false;
    *out =
        (static_cast<unsigned>(m[static_cast<size_t>(off)]) << 8) | m[static_cast<size_t>(off) + 1];
    off += 2;
    return true;
}

bool ReadU32(const Bytes& m, int& off, uint32_t* out) {
    unsigned hi = 0;
    unsigned lo = 0;
    int at = off;
    if (!ReadU16(m, at, &hi) || !ReadU16(m, at, &lo))
        return false;
    *out = (static_cast<uint32_t>(hi) << 16) | lo;
    off = at;
    return true;
}

// Bytes that a label of a name read from the wire may not hold: control
// bytes and blanks (such names could forge lines in logs and headers) and
// the dot (a label "b.c" would print like the two labels b and c).
bool RefusedNameByte(unsigned char c) {
    return c < 0x21 || c == 0x7F || c == '.';
}

bool ReadName(const Bytes& m, int& offset, CVornString& name) {
    CVornString out(CVornString::kUnlocked);
    const int size = static_cast<int>(m.size());
    int pos = offset;
    // Start of the run of labels being read; a pointer must lead strictly
    // before it, so the runs visited start ever earlier and cannot loop.
    int runStart = offset;
    int after = -1;  // where the caller continues: after the first pointer
    int pointers = 0;
    int wire = 1;  // the final zero byte
    for (;;) {
        if (pos < 0 || pos >= size)
            return false;
        unsigned c = m[static_cast<size_t>(pos)];
        if (c == 0) {
            if (after < 0)
                after = pos + 1;
            break;
        }
        switch (c & 0xC0) {
            case 0x00: {
                // A bound of 255 wire bytes also bounds the labels to 127.
                wire += 1 + static_cast<int>(c);
                if (wire > kMaxWireName || pos + 1 + static_cast<int>(c) > size)
                    return false;
                const unsigned char* label = &m[static_cast<size_t>(pos) + 1];
                for (unsigned i = 0; i < c; ++i) {
                    if (RefusedNameByte(label[i]))
                        return false;
                }
                if (!out.IsEmpty())
                    out.Append('.');
                out.Append(label, static_cast<int>(c));
                pos += 1 + static_cast<int>(c);
                break;
            }
            case 0xC0: {
                if (pos + 2 > size || ++pointers > kMaxPointers)
                    return false;
                int target = static_cast<int>(((c & 0x3F) << 8) | m[static_cast<size_t>(pos) + 1]);
                if (target >= runStart)
                    return false;
                if (after < 0)
                    after = pos + 2;
                pos = runStart = target;
                break;
            }
            default:  // 0x40 and 0x80: label types we do not know
                return false;
        }
    }
    name.Assign(out);
    offset = after;
    return true;
}

// One record (or question) at offset. True when it was read; *record is then
// the record, or null when its class or type is one the resolver ignores.
bool ParseRecord(const Bytes& m, int& offset, bool authoritative, bool questionMode,
                 std::unique_ptr<CDnsRecord>* record) {
    record->reset();
    int off = offset;
    CVornString name(CVornString::kUnlocked);
    unsigned type = 0;
    unsigned cls = 0;
    if (!ReadName(m, off, name) || !ReadU16(m, off, &type) || !ReadU16(m, off, &cls))
        return false;
    if (questionMode) {
        if (cls == static_cast<unsigned>(kDnsClassIN))
            record->reset(new CDnsRecord(name, 0, static_cast<int>(type), false));
        offset = off;
        return true;
    }

    uint32_t ttl32 = 0;
    unsigned rdLength = 0;
    if (!ReadU32(m, off, &ttl32) || !ReadU16(m, off, &rdLength))
        return false;
    if (static_cast<size_t>(off) + rdLength > m.size())
        return false;
    const int end = off + static_cast<int>(rdLength);
    // Taken as signed: a TTL of 2^31 or more counts as negative (no expiry).
    const int ttl = static_cast<int>(ttl32);

    if (cls == static_cast<unsigned>(kDnsClassIN)) {
        switch (type) {
            case kDnsTypeA: {
                if (rdLength != 4)
                    return false;
                uint32_t address = 0;
                memcpy(&address, &m[static_cast<size_t>(off)], 4);  // stays in network order
                record->reset(
                    new CDnsRecord(name, ttl, CVornHostAddressEntry(address), authoritative));
                break;
            }
            case kDnsTypeNS:
            case kDnsTypeCNAME:
            case kDnsTypePTR:
            case kDnsTypeMX: {
                // The data must end exactly where RDLENGTH says: a reply whose
                // lengths disagree would otherwise be read out of step, data as
                // records.
                int at = off;
                unsigned preference = 0;
                if (type == kDnsTypeMX && !ReadU16(m, at, &preference))
                    return false;
                CVornString target(CVornString::kUnlocked);
                if (!ReadName(m, at, target) || at != end)
                    return false;
                record->reset(new CDnsRecord(name, ttl, static_cast<int>(type), target,
                                             authoritative, static_cast<int>(preference)));
                break;
            }
            default:
                break;
        }
    }
    offset = end;
    return true;
}

bool ParseSection(const Bytes& m, int& offset, unsigned count, bool authoritative,
                  bool questionMode, CDnsRecordPtrList& list) {
    for (unsigned i = 0; i < count; ++i) {
        std::unique_ptr<CDnsRecord> record;
        if (!ParseRecord(m, offset, authoritative, questionMode, &record))
            return false;
        if (record) {
            list.AddTail(record.get());
            record.release();
        }
    }
    return true;
}

// True when name is zone or lies below it (zone not the root).
bool AtOrBelow(const CVornString& name, const CVornString& zone) {
    if (zone.IsEmpty())
        return false;
    if (name.Equals(zone, 0))
        return true;
    int n = name.Length();
    int z = zone.Length();
    if (n <= z + 1 || name.CharAt(n - z - 1) != '.')
        return false;
    CVornString tail(name, CVornString::kUnlocked);
    tail.KeepRight(z);
    return tail.Equals(zone, 0);
}

bool InNames(const std::vector<CVornString>& names, const CVornString& name) {
    for (const CVornString& n : names) {
        if (n.Equals(name, 0))
            return true;
    }
    return false;
}

// Moves the records of from that keep(record) accepts to the end of to, in
// order, and frees the rest.
template <typename Keep>
void Sift(CDnsRecordPtrList& from, Keep keep) {
    std::vector<CDnsRecord*> all;
    {
        CVornLockGuard guard(from.m_Lock);
        for (auto* node = from.m_Head; node; node = node->m_Next) all.push_back(node->m_Element);
        from.RemoveAll();
    }
    std::vector<std::unique_ptr<CDnsRecord>> owned;
    for (CDnsRecord* r : all) owned.emplace_back(r);
    for (auto& r : owned) {
        if (keep(*r)) {
            from.AddTail(r.get());
            r.release();
        }
    }
}

// Drops every record that does not concern the reply's first question (see
// DnsParseReply in the header): what is left is the answer, its CNAME chain,
// the zone's name servers and their in-zone addresses.
void KeepRelevant(CDnsRecordPtrList& questions, CDnsRecordPtrList& answers,
                  CDnsRecordPtrList& authority, CDnsRecordPtrList& additional) {
    CDnsRecord question;
    bool haveQuestion = false;
    {
        CVornLockGuard guard(questions.m_Lock);
        if (questions.m_Head) {
            question = *questions.m_Head->m_Element;
            haveQuestion = true;
        }
    }
    if (!haveQuestion) {
        answers.FreeAll();
        authority.FreeAll();
        additional.FreeAll();
        return;
    }

    // The chain: the question's name, then each CNAME target in turn.
    std::vector<CVornString> chain;
    chain.emplace_back(question.m_Name, CVornString::kUnlocked);
    {
        CVornLockGuard guard(answers.m_Lock);
        for (int step = 0; step < kDnsMaxCnameSteps; ++step) {
            const CDnsRecord* next = nullptr;
            for (auto* node = answers.m_Head; node && !next; node = node->m_Next) {
                const CDnsRecord* r = node->m_Element;
                if (r->m_Type == kDnsTypeCNAME && r->m_Name.Equals(chain.back(), 0))
                    next = r;
            }
            if (!next || InNames(chain, next->m_Target))
                break;
            chain.emplace_back(next->m_Target, CVornString::kUnlocked);
        }
    }

    Sift(answers, [&](const CDnsRecord& r) {
        return InNames(chain, r.m_Name) &&
               (r.m_Type == question.m_Type || r.m_Type == kDnsTypeCNAME);
    });
    Sift(authority, [&](const CDnsRecord& r) {
        if (r.m_Type != kDnsTypeNS)
            return false;
        for (const CVornString& n : chain) {
            if (AtOrBelow(n, r.m_Name))
                return true;
        }
        return false;
    });

    // Hosts whose addresses may come along: a name server or mail exchanger
    // kept above, when it lies inside the zone (or domain) that names it.
    auto glueFor = [&](const CDnsRecord& a, const CDnsRecordPtrList& list) {
        CVornLockGuard guard(list.m_Lock);
        for (auto* node = list.m_Head; node; node = node->m_Next) {
            const CDnsRecord* r = node->m_Element;
            if ((r->m_Type == kDnsTypeNS || r->m_Type == kDnsTypeMX) &&
                r->m_Target.Equals(a.m_Name, 0) && AtOrBelow(a.m_Name, r->m_Name))
                return true;
        }
        return false;
    };
    Sift(additional, [&](const CDnsRecord& r) {
        return r.m_Type == kDnsTypeA && (glueFor(r, answers) || glueFor(r, authority));
    });
}

void SenderText(const CDnsSender& sender, CVornString& out) {
    sender.Text(out);
}

}  // namespace

// ---- Zones and reports

bool DnsInZone(const CVornString& name, const CVornString& zone) {
    CVornString canonicalZone(CVornString::kUnlocked);
    DnsCanonicalName(zone, canonicalZone);
    if (canonicalZone.IsEmpty())
        return true;  // the root holds every name
    CVornString canonicalName(CVornString::kUnlocked);
    DnsCanonicalName(name, canonicalName);
    return AtOrBelow(canonicalName, canonicalZone);
}

CVornReportLimiter& DnsReportLimiter() {
    static CVornReportLimiter* limiter = new CVornReportLimiter();
    return *limiter;
}

// ---- CDnsRecord

CDnsRecord::CDnsRecord() = default;

CDnsRecord::CDnsRecord(const CDnsRecord& other) {
    *this = other;
}

CDnsRecord::CDnsRecord(const CVornString& name, int ttl, const CVornHostAddressEntry& address,
                       bool authoritative)
    : m_Name(name, CVornString::kUnlocked),
      m_Type(kDnsTypeA),
      m_Address(address),
      m_Authoritative(authoritative ? 1 : 0) {
    SetExpiry(ttl);
}

CDnsRecord::CDnsRecord(const CVornString& name, int ttl, int type, const CVornString& target,
                       bool authoritative, int preference)
    : m_Name(name, CVornString::kUnlocked),
      m_Type(type),
      m_Target(target, CVornString::kUnlocked),
      m_Authoritative(authoritative ? 1 : 0),
      m_Preference(type == kDnsTypeMX ? static_cast<short>(static_cast<uint16_t>(preference)) : 0) {
    SetExpiry(ttl);
}

CDnsRecord::CDnsRecord(const CVornString& name, int ttl, int type, bool authoritative)
    : m_Name(name, CVornString::kUnlocked),
      m_Type(type),
      m_Authoritative(authoritative ? 1 : 0),
      m_Negative(1) {
    SetExpiry(ttl);
}

CDnsRecord::~CDnsRecord() = default;

CDnsRecord& CDnsRecord::operator=(const CDnsRecord& other) {
    if (&other == this)
        return *this;
    m_Name.Assign(other.m_Name);
    m_Expiry = other.m_Expiry;
    m_Type = other.m_Type;
    m_Address = other.m_Address;
    m_Target.Assign(other.m_Target);
    m_Authoritative = other.m_Authoritative;
    m_Preference = other.m_Preference;
    m_Negative = other.m_Negative;
    return *this;
}

void CDnsRecord::SetExpiry(int ttl) {
    if (ttl <= 0) {
        m_Expiry = 0;
    } else {
        m_Expiry = Now() + (ttl > kDnsMaxTtl ? kDnsMaxTtl : ttl);
    }
}

bool CDnsRecord::Equals(const CDnsRecord& other) const {
    if (m_Type != other.m_Type || !m_Name.Equals(other.m_Name, 0))
        return false;
    switch (m_Type) {
        case 0:
            return false;
        case kDnsTypeA:
            return m_Address.GetAddress() == other.m_Address.GetAddress();
        case kDnsTypeNS:
        case kDnsTypeCNAME:
        case kDnsTypePTR:
        case kDnsTypeMX:
            return m_Target.Equals(other.m_Target, 0);
        default:
            return true;
    }
}

// ---- Lists and keys

CDnsRecordPtrList::~CDnsRecordPtrList() {
    FreeAll();
}

void CDnsRecordPtrList::FreeAll() {
    std::vector<CDnsRecord*> records;
    {
        CVornLockGuard guard(m_Lock);
        for (Node* node = m_Head; node; node = node->m_Next) records.push_back(node->m_Element);
        RemoveAll();
    }
    for (CDnsRecord* r : records) delete r;
}

int CompareMXPreference(const CDnsRecord* a, const CDnsRecord* b) {
    if (a->m_Preference > b->m_Preference)
        return 1;
    if (a->m_Preference < b->m_Preference)
        return -1;
    return 0;
}

void DnsMakeKey(const CVornString& name, int type, int number, CVornString& key) {
    std::string bytes;
    if (AsciiBytes(name, bytes)) {
        // Every byte of an ASCII name is a character of its own in every
        // code page: lower-cased byte by byte, as ToLower would.
        std::string built;
        built.reserve(bytes.size() + 4);
        AppendHostOrder16(built, type);
        AppendHostOrder16(built, number);
        for (char c : bytes) built += static_cast<char>(tolower(static_cast<unsigned char>(c)));
        key.Assign(built.data(), static_cast<int>(built.size()));
        return;
    }
    CVornString lower(name, CVornString::kUnlocked);
    lower.ToLower();
    CVornString built(CVornString::kUnlocked);
    built.AppendUInt16(static_cast<unsigned short>(type), 1);
    built.AppendUInt16(static_cast<unsigned short>(number), 1);
    built.Append(lower);
    key.Assign(built);
}

// ---- Queries

void DnsCanonicalName(const CVornString& name, CVornString& out) {
    std::string bytes;
    if (AsciiBytes(name, bytes)) {
        // Dots are plain separators here (no byte of an ASCII text is the
        // trail byte of a double-byte character): one scan does what the
        // general path below does with a splitter.
        std::string built;
        built.reserve(bytes.size());
        AppendLabels(bytes, [&](const char* label, size_t length) {
            if (!built.empty())
                built += '.';
            built.append(label, length);
        });
        out.Assign(built.data(), static_cast<int>(built.size()));
        return;
    }
    CVornString trimmed(name, CVornString::kUnlocked);
    trimmed.TrimRight(".");
    CVornSplitter labels;
    labels.Split(trimmed, '.', 0);
    CVornString built(CVornString::kUnlocked);
    CVornString label(CVornString::kUnlocked);
    for (int i = 0; labels.GetAt(i, label); ++i) {
        label.KeepRight(63);
        if (i > 0)
            built.Append('.');
        built.Append(label);
    }
    out.Assign(built);
}

std::string DnsCanonicalKey(const CVornString& name, int type, int number) {
    std::string bytes;
    std::string key;
    if (AsciiBytes(name, bytes)) {
        key.reserve(bytes.size() + 4);
        AppendHostOrder16(key, type);
        AppendHostOrder16(key, number);
        AppendLabels(bytes, [&](const char* label, size_t length) {
            if (key.size() > 4)
                key += '.';
            for (size_t i = 0; i < length; ++i)
                key += static_cast<char>(tolower(static_cast<unsigned char>(label[i])));
        });
        return key;
    }
    CVornString canonical(CVornString::kUnlocked);
    DnsCanonicalName(name, canonical);
    CVornString made(CVornString::kUnlocked);
    DnsMakeKey(canonical, type, number, made);
    return std::string(made.CStr(), static_cast<size_t>(made.Length()));
}

void DnsBuildQuery(int id, const CVornString& name, int type, CVornString& packet) {
    std::string built;
    AppendWire16(built, id);
    AppendWire16(built, 0x0100);  // recursion desired, nothing else
    AppendWire16(built, 1);       // one question
    AppendWire16(built, 0);
    AppendWire16(built, 0);
    AppendWire16(built, 0);
    std::string bytes;
    if (AsciiBytes(name, bytes)) {
        // The labels of the canonical form, found in the name itself.
        AppendLabels(bytes, [&](const char* label, size_t length) {
            built += static_cast<char>(length);
            built.append(label, length);
        });
    } else {
        CVornString canonical(CVornString::kUnlocked);
        DnsCanonicalName(name, canonical);
        CVornSplitter labels;
        labels.Split(canonical, '.', 0);
        CVornString label(CVornString::kUnlocked);
        for (int i = 0; labels.GetAt(i, label); ++i) {
            built += static_cast<char>(label.Length());
            built.append(label.CStr(), static_cast<size_t>(label.Length()));
        }
    }
    built += '\0';
    AppendWire16(built, type);
    AppendWire16(built, kDnsClassIN);
    packet.Assign(built.data(), static_cast<int>(built.size()));
}

// ---- Replies

bool DnsReadName(const CVornString& packet, int& offset, CVornString& name) {
    Bytes m = CopyBytes(packet);
    return ReadName(m, offset, name);
}

void CDnsSender::Text(CVornString& out) const {
    CVornHostAddress host =
        m_Host ? CVornHostAddress(*m_Host) : CVornHostAddress(m_Address, m_Port);
    out.Assign(host.Format(0));
}

bool CDnsSender::Address(uint32_t* address, unsigned short* port) const {
    if (!m_Host) {
        *address = m_Address;
        *port = m_Port;
        return true;
    }
    // A copy: the host's readers are not const.
    CVornHostAddress from(*m_Host);
    CVornHostAddressList addresses;
    if (from.GetAddressCount() == 0 || !from.GetAddresses(addresses) || addresses.m_Count == 0)
        return false;
    *address = addresses.GetAt(0)->GetAddress();
    *port = from.GetPort();
    return true;
}

bool DnsParseReply(const CVornString& packet, const CVornHostAddress& sender, int* id, int* rcode,
                   bool* authoritative, CDnsRecordPtrList& questions, CDnsRecordPtrList& answers,
                   CDnsRecordPtrList& authority, CDnsRecordPtrList& additional) {
    return DnsParseReply(packet, CDnsSender(sender), id, rcode, authoritative, questions, answers,
                         authority, additional);
}

bool DnsParseReply(const CVornString& packet, const CDnsSender& sender, int* id, int* rcode,
                   bool* authoritative, CDnsRecordPtrList& questions, CDnsRecordPtrList& answers,
                   CDnsRecordPtrList& authority, CDnsRecordPtrList& additional) {
    questions.FreeAll();
    answers.FreeAll();
    authority.FreeAll();
    additional.FreeAll();

    const Bytes m = CopyBytes(packet);
    const int size = static_cast<int>(m.size());
    if (size < kHeaderSize) {
        int heldBack = 0;
        if (DnsReportLimiter().Allow(204, &heldBack)) {
            CVornString text(CVornString::kUnlocked);
            SenderText(sender, text);
            AppendHeldBack(text, heldBack);
            LogEventStrInt(204, kEventWarning, text.CStr(), size);
        }
        return false;
    }
    if ((m[2] & 0x80) == 0) {
        int heldBack = 0;
        if (DnsReportLimiter().Allow(205, &heldBack)) {
            CVornString text(CVornString::kUnlocked);
            SenderText(sender, text);
            AppendHeldBack(text, heldBack);
            LogEventStrInt(205, kEventWarning, text.CStr(), 0);
        }
        return false;
    }
    if (size > kDnsMaxMessage)
        return false;

    int off = 0;
    unsigned ident = 0;
    unsigned counts[4] = {};
    ReadU16(m, off, &ident);
    off = 4;
    for (unsigned& count : counts) ReadU16(m, off, &count);
    // Counts that the bytes present cannot hold are refused before any
    // record is read.
    const long least = static_cast<long>(counts[0]) * kMinQuestion +
                       static_cast<long>(counts[1] + counts[2] + counts[3]) * kMinRecord;
    if (least > size - kHeaderSize)
        return false;

    const bool aa = (m[2] & 0x04) != 0;
    bool ok = ParseSection(m, off, counts[0], false, true, questions) &&
              ParseSection(m, off, counts[1], aa, false, answers) &&
              ParseSection(m, off, counts[2], false, false, authority) &&
              ParseSection(m, off, counts[3], false, false, additional);
    if (!ok) {
        questions.FreeAll();
        answers.FreeAll();
        authority.FreeAll();
        additional.FreeAll();
        return false;
    }
    KeepRelevant(questions, answers, authority, additional);
    if (id)
        *id = static_cast<int>(ident);
    if (rcode)
        *rcode = m[3] & 0x0F;
    if (authoritative)
        *authoritative = aa;
    return true;
}
