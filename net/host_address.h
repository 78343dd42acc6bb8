// CVornHostAddress: how the network library names either end of a connection
// or the local end of a listener: a host name (may be empty), the canonical
// name found for it, its IPv4 addresses in the order found, and a port.
// A named host gets its addresses lazily, on the first address query, from
// the host lookup (see SetHostLookup); a name that the lookup does not know
// but that is written as a dotted quad stands for that one address.
//
// Beside it: the address entry type and its list helpers, the lookup hooks
// the DNS resolver installs, and three helpers for IPv4 addresses in text.
//
// Addresses are IPv4, 32 bits in network byte order (0 = any address); ports
// are in host byte order (0 = none).
//
// Threads: every CVornHostAddress operation holds the object's lock (lookups
// included, so a query may wait as long as the resolver's time-outs).
// SameHost takes this object's lock and then the other's; operator= the
// other's and then its own: two threads must not compare or assign the same
// pair in opposite directions at the same time. The lookup hooks are called
// with the object's lock held and must not call back into the same object.
#pragma once

#include <stdint.h>

#include "core/vorn_list.h"
#include "core/vorn_lock.h"
#include "core/vorn_string.h"

class CVornHostAddress;

// One IPv4 address of a host, with room for its dotted-quad text (which
// CVornHostAddress::Format builds there). Copying copies the address only.
class CVornHostAddressEntry {
public:
    // Empty text, address 0.
    CVornHostAddressEntry();
    explicit CVornHostAddressEntry(uint32_t address);
    // Both copy the address only (not the text), under the source's lock and
    // then this entry's own.
    CVornHostAddressEntry(const CVornHostAddressEntry& other);
    CVornHostAddressEntry& operator=(const CVornHostAddressEntry& other);
    virtual ~CVornHostAddressEntry();

    // The address in network byte order, read and set under the entry's lock.
    uint32_t GetAddress() const;
    void SetAddress(uint32_t address);

private:
    friend class CVornHostAddress;

    CVornString m_Text;  // guarded by the owning host address's lock
    uint32_t m_Address = 0;
    mutable CVornLock m_Lock{true};
};

typedef CVornList<CVornHostAddressEntry> CVornHostAddressList;

// Appends, under the list's lock, a new entry with the entry's address.
void AppendAddressEntry(CVornHostAddressList& list, const CVornHostAddressEntry& entry);

// Puts the list's cursor on the node at index and returns it (null past the
// end). REQUIRES: the caller holds list.m_Lock for as long as it uses the node.
CVornHostAddressList::Node* SeekAddressEntry(CVornHostAddressList& list, unsigned index);

// The address lookup of a name (the DNS resolver's A lookup): true when it
// found addresses, appended to out in the order found.
typedef bool (*VornHostLookupFn)(const CVornString& name, CVornHostAddressList& out);
// The reverse (PTR) lookup of one address: true when it found a name, which
// it writes to out.
typedef bool (*VornReverseLookupFn)(const CVornHostAddressEntry& entry, CVornString& out);

// Install the process-wide lookups; null removes them. Without an address
// lookup a name stands for an address only when it is a dotted quad; without
// a reverse lookup no address has a name. Any thread may call.
void SetHostLookup(VornHostLookupFn fn);
void SetReverseLookup(VornReverseLookupFn fn);

class CVornHostAddress {
public:
    // No name, port 0: the same as CVornHostAddress(nullptr, 0).
    CVornHostAddress();
    // The host name is the caller's text (empty when null); no canonical
    // name. With a null name the object holds one address, 0, and stands for
    // any local address (listening sockets); with a name it starts without
    // addresses.
    CVornHostAddress(const char* name, unsigned short port);
    // No name; the one address given.
    CVornHostAddress(uint32_t address, unsigned short port);
    // Copies names, addresses, port and text under the source's lock.
    CVornHostAddress(const CVornHostAddress& other);
    // Under the other's lock and then this one's: names, addresses (the old
    // ones dropped), port and text are copied.
    CVornHostAddress& operator=(const CVornHostAddress& other);
    virtual ~CVornHostAddress();

    // ---- Setting
    // Sets the host name (null: empty) and clears the canonical name, the
    // addresses and the text; the port stays.
    void SetName(const char* name);
    void SetCanonicalName(const char* name);
    // Clears both names and the text; the addresses become this one address.
    void SetAddress(CVornHostAddressEntry entry);
    // Appends a copy of the address.
    void AddAddress(const CVornHostAddressEntry& entry);
    void SetPort(unsigned short port);
    // The text's decimal value as atoi reads it, truncated to 16 bits.
    void SetPort(const CVornString& text);

    // ---- Reading
    // The host name. When it is empty, a reverse lookup may supply it; when
    // that finds nothing, the first address's dotted quad becomes the host
    // name. False (out unchanged) when there is neither name nor address.
    bool GetName(CVornString& out);
    // The canonical name. When it is empty, a named host without addresses
    // is resolved first, then a reverse lookup of its addresses is made.
    // False (out unchanged) when there is still no canonical name.
    bool GetCanonicalName(CVornString& out);
    // The number of addresses held now (no lookup).
    int GetAddressCount();
    // A host without addresses is resolved first; false (out unchanged) when
    // there is still none. Otherwise out is emptied and receives every
    // address in order (as entries, or as dotted quads), or the first
    // address's dotted quad.
    bool GetAddresses(CVornHostAddressList& out);
    bool GetAddressStrings(CVornStringList& out);
    bool GetAddressString(CVornString& out);
    // False (out unchanged) when the port is 0. out may be null.
    bool GetPort(unsigned short* out);
    unsigned short GetPort();
    // The port in decimal; false (out unchanged) when it is 0.
    bool GetPortString(CVornString& out);

    // True when both name the same host: the same object; else (after a
    // port check when comparePorts is set) a shared address, equal names
    // (either name of one against either of the other, ignoring case; empty
    // names never match) or an alias equal to one of the other's names.
    // Makes no lookup, but an object without addresses whose host name is a
    // dotted quad (this or the other) gets that address added. aliases may be
    // null.
    bool SameHost(const CVornHostAddress& other, bool comparePorts, const CVornStringList* aliases);

    // The text that log lines name the host by: the canonical name (or the
    // host name), then, when there are addresses, a blank (unless the name is
    // empty), "[", the dotted quad of the address at index or "BadAddrNum",
    // "]", and "." with the port when it is not 0. The text belongs to the
    // object and stays valid until the next Format or change of the object.
    const char* Format(unsigned index);

    // Replaces the addresses by the address lookup's answer for the host
    // name, or, when the lookup fails, by the name's own address when it is a
    // dotted quad. An object without a host name keeps its addresses (there
    // is nothing to look up). True when the object then has an address.
    bool Resolve();

private:
    // For each address in order, the reverse lookup; the first name found
    // becomes the canonical name, and the host name when that is empty.
    void reverseLookup();
    // When there is no address and the host name is a dotted quad, adds that
    // address. Const because addresses are only a lookup's cache of the name.
    void addAddressFromName() const;
    void copyFrom(const CVornHostAddress& other);

    CVornString m_HostName;
    CVornString m_CanonicalName;
    mutable CVornHostAddressList m_Addresses;
    unsigned short m_Port = 0;
    CVornString m_Text;
    mutable CVornLock m_Lock{true};
};

// ---- IPv4 addresses in text

// True when the whole text is one to four decimal numbers 0-255 joined by
// single dots (no sign, blank or other character anywhere); *out (may be
// null) then receives the address in network byte order. Short forms put the
// last number last: "10.1.5" is 10.1.0.5, "10.5" is 10.0.0.5, "7" is
// 0.0.0.7. On false *out is not written.
bool ParseDottedQuad(const CVornString& text, int* out);

// out = the four bytes of the address (network byte order) as decimal
// numbers joined by ".", for example "127.0.0.1".
void FormatDottedQuad(int address, CVornString& out);

// -1, 0 or 1. Two dotted quads compare by their value as unsigned numbers in
// host byte order (so 9.0.0.1 sorts before 10.0.0.1); any other pair compares
// as text ignoring case.
int CompareAddressStrings(const CVornString& a, const CVornString& b);
