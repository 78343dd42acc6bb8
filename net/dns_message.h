// DNS messages as the resolver uses them: the resource-record type
// CDnsRecord, the query message, the parser of replies, and the record lists
// they travel in. Only standard queries over UDP for A, NS, CNAME, PTR and MX
// in class IN; replies of at most 512 bytes.
//
// Names are texts of labels joined by "." without a trailing dot; they
// compare without regard to case. A name read from a reply is refused when
// a label holds a byte below 0x21, 0x7F or "." (a dot inside a label would
// make two different names print alike).
//
// Threads: a CDnsRecord has no lock of its own (its address entry has one);
// a record shared between threads is guarded by the list that holds it. The
// functions keep no state and may be called from any thread.
#pragma once

#include <stdint.h>
#include <time.h>

#include <string>

#include "core/vorn_list.h"
#include "core/vorn_string.h"
#include "net/host_address.h"
#include "net/udp_report_limiter.h"

// Record types and the one class the resolver asks for.
enum : int {
    kDnsTypeA = 1,
    kDnsTypeNS = 2,
    kDnsTypeCNAME = 5,
    kDnsTypePTR = 12,
    kDnsTypeMX = 15,
};
constexpr int kDnsClassIN = 1;

// The largest reply the resolver takes (UDP without extensions).
constexpr int kDnsMaxMessage = 512;
// No record is kept longer than this many seconds, whatever its TTL says.
constexpr int kDnsMaxTtl = 180;
// The longest CNAME chain a reply may carry for its question; records of
// names further down the chain are dropped.
constexpr int kDnsMaxCnameSteps = 5;

// One resource record, one question, or one negative cache entry. Copyable;
// copying copies every field (the address under both entries' locks).
class CDnsRecord {
public:
    // Empty (invalid) record: type 0, everything else empty or 0.
    CDnsRecord();
    CDnsRecord(const CDnsRecord& other);
    // An A record (type 1). address is in network byte order.
    CDnsRecord(const CVornString& name, int ttl, const CVornHostAddressEntry& address,
               bool authoritative);
    // A record whose data is a name: NS, CNAME and PTR (preference forced to
    // 0) or MX (preference kept as a signed 16-bit number).
    CDnsRecord(const CVornString& name, int ttl, int type, const CVornString& target,
               bool authoritative, int preference);
    // A question, or a negative cache entry: the negative flag is set.
    CDnsRecord(const CVornString& name, int ttl, int type, bool authoritative);
    ~CDnsRecord();

    CDnsRecord& operator=(const CDnsRecord& other);

    // ttl > 180: expiry = Now() + 180; ttl <= 0: expiry = 0 (never cached,
    // counts as expired); otherwise Now() + ttl. A TTL read from the wire as
    // an unsigned number of 2^31 or more arrives here negative.
    void SetExpiry(int ttl);

    // False unless the names are equal (ignoring case) and the types equal;
    // then by type: 0 false, A the addresses, NS/CNAME/PTR/MX the targets
    // (ignoring case; the MX preference is not compared), any other true.
    bool Equals(const CDnsRecord& other) const;

    // The texts have no locks of their own: the list that holds a record
    // guards it (see the top of this file).
    CVornString m_Name{CVornString::kUnlocked};  // owner name; emptied (and freed) in the cache
    time_t m_Expiry = 0;              // seconds on the clock of Now(); 0 = no expiry
    int m_Type = 0;                   // 0 marks an empty record
    CVornHostAddressEntry m_Address;  // A records; 0 otherwise
    CVornString m_Target{CVornString::kUnlocked};  // NS, CNAME, PTR, MX: the name in the data
    unsigned char m_Authoritative = 0;
    short m_Preference = 0;  // MX only
    unsigned char m_Negative = 0;
};

// Records by value (inserting stores a copy).
typedef CVornList<CDnsRecord> CDnsRecordList;

// Records by pointer, owned by the list: the sections of a parsed reply and
// the cache's chains. RemoveAll (inherited) only unlinks the pointers, for a
// user that has taken the records over; FreeAll deletes the records too, and
// so does the destructor for the records still held. Not copyable (two lists
// would own the same records).
class CDnsRecordPtrList : public CVornList<CDnsRecord*> {
public:
    CDnsRecordPtrList() = default;
    ~CDnsRecordPtrList() override;
    CDnsRecordPtrList(const CDnsRecordPtrList&) = delete;
    CDnsRecordPtrList& operator=(const CDnsRecordPtrList&) = delete;

    // Under the list's lock: deletes every record and empties the list.
    void FreeAll();
};

// The pointer-list helpers that other code shares: AddTail and RemoveAll of
// a list whose elements are pointers (never freeing what they point to).
template <typename T>
void PtrListAppend(CVornList<T*>& list, T* element) {
    list.AddTail(element);
}
template <typename T>
void PtrListClear(CVornList<T*>& list) {
    list.RemoveAll();
}

// A CVornSortedList callback: 1 when a's preference is greater than b's, -1
// when smaller, 0 when equal; preferences are signed 16-bit numbers.
int CompareMXPreference(const CDnsRecord* a, const CDnsRecord* b);

// key := the type as 2 bytes and the number as 2 bytes (both host byte
// order), then the name lower-cased. The pending-query table uses the query
// id as the number, the cache 0.
void DnsMakeKey(const CVornString& name, int type, int number, CVornString& key);

// The name as it goes on the wire, in text: trailing dots dropped, runs of
// dots counting as one, each label longer than 63 bytes cut to its last 63.
// Queries are registered and matched under this form.
void DnsCanonicalName(const CVornString& name, CVornString& out);

// The bytes of DnsMakeKey(DnsCanonicalName(name), type, number), made in one
// step (the cache's and the shared queries' keys).
std::string DnsCanonicalKey(const CVornString& name, int type, int number);

// packet := a standard query: 12 header bytes (ID = id & 0xFFFF, flags 0x0100
// (recursion desired), one question), the QNAME of DnsCanonicalName's labels
// without compression, QTYPE = type, QCLASS = IN.
void DnsBuildQuery(int id, const CVornString& name, int type, CVornString& packet);

// Reads a (possibly compressed) name at offset into name. True with offset
// after the name as it stands in the message (after the first pointer, when
// there is one). False, name undefined and offset unchanged, when the name
// runs past the packet, uses a label type other than plain or pointer, a
// pointer that does not point strictly before the run of labels that holds
// it, more than four pointers, more than 255 bytes or 127 labels in all, or
// a refused byte (see the top of this file).
bool DnsReadName(const CVornString& packet, int& offset, CVornString& name);

// True when name lies inside zone: it equals the zone or ends in "." and the
// zone (both compared in DnsCanonicalName form, ignoring case); the root (an
// empty zone) holds every name. "badzone.test" is not inside "zone.test".
bool DnsInZone(const CVornString& name, const CVornString& zone);

// The limiter of the resolver's reports about replies it cannot use (204 to
// 214, and 223 for a query's socket): anyone can send such datagrams, so each
// number is reported at most once a minute of the library clock, with the
// count held back since (net/udp_report_limiter.h). Made on first use, never
// destroyed.
CVornReportLimiter& DnsReportLimiter();

// The sender of a datagram, as the parser and the resolver name it in their
// reports and match it against the servers a query was sent to: a host
// (borrowed; it must outlive the object), or an address and port, whose
// text is made only when a report is written. Not thread-safe.
class CDnsSender {
public:
    explicit CDnsSender(const CVornHostAddress& host) : m_Host(&host) {}
    // address in network byte order, port in host order.
    CDnsSender(uint32_t address, unsigned short port) : m_Address(address), m_Port(port) {}

    // out := the host's Format(0) (for an address and port: that of a host
    // made of them).
    void Text(CVornString& out) const;
    // The first address and the port. False when the host has no address.
    bool Address(uint32_t* address, unsigned short* port) const;

private:
    const CVornHostAddress* m_Host = nullptr;
    uint32_t m_Address = 0;
    unsigned short m_Port = 0;
};

// Parses one reply from sender (used only to name it in log lines). True with
// *id, *rcode (low 4 bits of byte 3), *authoritative (the AA bit) and the
// four sections, each emptied first and then owning its records:
//   questions   class-IN questions (negative flag set, expiry 0);
//   answers     class-IN A/NS/CNAME/PTR/MX records whose owner is the first
//               question's name or a name on its CNAME chain (at most
//               kDnsMaxCnameSteps steps), of the question's type or CNAME;
//               authoritative when the AA bit is set;
//   authority   NS records owned by a name of that chain or by one of its
//               parent domains (not the root): the zone's name servers;
//   additional  A records of a name server kept above (or of an MX answer)
//               that lies inside the zone that names it (in-zone glue).
// Everything else of the reply is dropped. False, with every section empty,
// on a malformed reply: shorter than 12 bytes (warning 204: sender text and
// length), QR bit clear (warning 205: sender text and 0), longer than 512
// bytes, counts that the bytes present cannot hold, a bad name, data that
// does not fill its RDLENGTH exactly, or anything running past the end. A
// truncated (TC) reply is parsed like any other. Warnings 204 and 205 go
// through DnsReportLimiter: at most one a minute each, its sender text
// followed by the count held back since the last one.
bool DnsParseReply(const CVornString& packet, const CVornHostAddress& sender, int* id, int* rcode,
                   bool* authoritative, CDnsRecordPtrList& questions, CDnsRecordPtrList& answers,
                   CDnsRecordPtrList& authority, CDnsRecordPtrList& additional);
bool DnsParseReply(const CVornString& packet, const CDnsSender& sender, int* id, int* rcode,
                   bool* authoritative, CDnsRecordPtrList& questions, CDnsRecordPtrList& answers,
                   CDnsRecordPtrList& authority, CDnsRecordPtrList& additional);
