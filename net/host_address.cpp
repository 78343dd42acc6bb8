// Host addresses, their resolution, and IPv4 addresses in text.
//
//   CVornHostAddressEntry            one IPv4 address (copies copy the address only)
//   AppendAddressEntry               append a copy of an entry's address to a list
//   SeekAddressEntry                 the list node at an index
//   SetHostLookup / SetReverseLookup install the resolver's A and PTR lookups
//   CVornHostAddress                 name, canonical name, addresses and port of a host:
//     Set* / Add* / Get*             set and read them (address queries resolve lazily)
//     SameHost                       do two objects name the same host (no lookup)
//     Format                         "name [a.b.c.d].port", the text logs name a host by
//     Resolve                        look the host name's addresses up
//   ParseDottedQuad                  "a.b.c.d" to an address
//   FormatDottedQuad                 an address to "a.b.c.d"
//   CompareAddressStrings            order texts by address value when both are addresses
//
// Bad input: a text that is not one to four decimal numbers 0-255 joined by
// single dots is no address: ParseDottedQuad returns false and nothing is
// added to any address list for it. Names that do not resolve leave the
// object without addresses and the address queries return false. A missing
// lookup hook counts as a lookup that found nothing.
#include "net/host_address.h"

#include <string.h>

#include <atomic>

namespace {

std::atomic<VornHostLookupFn> g_HostLookup{nullptr};
std::atomic<VornReverseLookupFn> g_ReverseLookup{nullptr};

// Holds a list's lock for a scope (the list's lock is a public member).
class ListGuard {
public:
    explicit ListGuard(const CVornHostAddressList& list) : m_Guard(list.m_Lock) {}

private:
    CVornLockGuard m_Guard;
};

// The first address of a list, or false when it is empty.
// REQUIRES: the list's lock is held.
bool FirstAddress(const CVornHostAddressList& list, uint32_t* address) {
    if (!list.m_Head)
        return false;
    *address = list.m_Head->m_Element.GetAddress();
    return true;
}

}  // namespace

// ---- Entries

CVornHostAddressEntry::CVornHostAddressEntry() = default;

CVornHostAddressEntry::CVornHostAddressEntry(uint32_t address) : m_Address(address) {}

CVornHostAddressEntry::CVornHostAddressEntry(const CVornHostAddressEntry& other)
    : m_Address(other.GetAddress()) {}

CVornHostAddressEntry& CVornHostAddressEntry::operator=(const CVornHostAddressEntry& other) {
    CVornLockGuard source(other.m_Lock);
    CVornLockGuard own(m_Lock);
    m_Address = other.m_Address;
    return *this;
}

CVornHostAddressEntry::~CVornHostAddressEntry() = default;

uint32_t CVornHostAddressEntry::GetAddress() const {
    CVornLockGuard guard(m_Lock);
    return m_Address;
}

void CVornHostAddressEntry::SetAddress(uint32_t address) {
    CVornLockGuard guard(m_Lock);
    m_Address = address;
}

void AppendAddressEntry(CVornHostAddressList& list, const CVornHostAddressEntry& entry) {
    list.AddTail(entry);
}

CVornHostAddressList::Node* SeekAddressEntry(CVornHostAddressList& list, unsigned index) {
    CVornLockGuard guard(list.m_Lock);
    return list.SeekTo(index);
}

void SetHostLookup(VornHostLookupFn fn) {
    g_HostLookup.store(fn);
}

void SetReverseLookup(VornReverseLookupFn fn) {
    g_ReverseLookup.store(fn);
}

// ---- Construction and assignment

CVornHostAddress::CVornHostAddress() : CVornHostAddress(static_cast<const char*>(nullptr), 0) {}

CVornHostAddress::CVornHostAddress(const char* name, unsigned short port)
    : m_HostName(name), m_Port(port) {
    if (!name)
        m_Addresses.AddTail(CVornHostAddressEntry(0));
}

CVornHostAddress::CVornHostAddress(uint32_t address, unsigned short port) : m_Port(port) {
    m_Addresses.AddTail(CVornHostAddressEntry(address));
}

CVornHostAddress::CVornHostAddress(const CVornHostAddress& other) {
    copyFrom(other);
}

CVornHostAddress& CVornHostAddress::operator=(const CVornHostAddress& other) {
    if (&other != this)
        copyFrom(other);
    return *this;
}

CVornHostAddress::~CVornHostAddress() = default;

void CVornHostAddress::copyFrom(const CVornHostAddress& other) {
    CVornLockGuard source(other.m_Lock);
    CVornLockGuard own(m_Lock);
    m_HostName.Assign(other.m_HostName);
    m_CanonicalName.Assign(other.m_CanonicalName);
    m_Addresses.RemoveAll();
    {
        ListGuard list(other.m_Addresses);
        for (auto* node = other.m_Addresses.m_Head; node; node = node->m_Next)
            AppendAddressEntry(m_Addresses, node->m_Element);
    }
    m_Port = other.m_Port;
    m_Text.Assign(other.m_Text);
}

// ---- Setting

void CVornHostAddress::SetName(const char* name) {
    CVornLockGuard guard(m_Lock);
    m_HostName.Assign(name);
    m_CanonicalName.Clear();
    m_Addresses.RemoveAll();
    m_Text.Clear();
}

void CVornHostAddress::SetCanonicalName(const char* name) {
    CVornLockGuard guard(m_Lock);
    m_CanonicalName.Assign(name);
}

void CVornHostAddress::SetAddress(CVornHostAddressEntry entry) {
    CVornLockGuard guard(m_Lock);
    m_HostName.Clear();
    m_CanonicalName.Clear();
    m_Addresses.RemoveAll();
    AppendAddressEntry(m_Addresses, entry);
    m_Text.Clear();
}

void CVornHostAddress::AddAddress(const CVornHostAddressEntry& entry) {
    CVornLockGuard guard(m_Lock);
    AppendAddressEntry(m_Addresses, entry);
}

void CVornHostAddress::SetPort(unsigned short port) {
    CVornLockGuard guard(m_Lock);
    m_Port = port;
}

void CVornHostAddress::SetPort(const CVornString& text) {
    // Truncation to 16 bits is modular: "65561" gives 25.
    unsigned short port = static_cast<unsigned short>(text.ToInt());
    CVornLockGuard guard(m_Lock);
    m_Port = port;
}

// ---- Reading

bool CVornHostAddress::GetName(CVornString& out) {
    CVornLockGuard guard(m_Lock);
    if (m_HostName.IsEmpty()) {
        reverseLookup();
        if (m_HostName.IsEmpty()) {
            uint32_t address;
            ListGuard list(m_Addresses);
            if (!FirstAddress(m_Addresses, &address))
                return false;
            FormatDottedQuad(static_cast<int>(address), m_HostName);
        }
    }
    out.Assign(m_HostName);
    return true;
}

bool CVornHostAddress::GetCanonicalName(CVornString& out) {
    CVornLockGuard guard(m_Lock);
    if (m_CanonicalName.IsEmpty()) {
        // Only a host without addresses is resolved: addresses that were
        // given or found already are kept.
        if (!m_HostName.IsEmpty() && GetAddressCount() == 0)
            Resolve();
        reverseLookup();
        if (m_CanonicalName.IsEmpty())
            return false;
    }
    out.Assign(m_CanonicalName);
    return true;
}

int CVornHostAddress::GetAddressCount() {
    CVornLockGuard guard(m_Lock);
    ListGuard list(m_Addresses);
    return m_Addresses.m_Count;
}

bool CVornHostAddress::GetAddresses(CVornHostAddressList& out) {
    CVornLockGuard guard(m_Lock);
    if (GetAddressCount() == 0 && !Resolve())
        return false;
    out.RemoveAll();
    ListGuard list(m_Addresses);
    for (auto* node = m_Addresses.m_Head; node; node = node->m_Next)
        AppendAddressEntry(out, node->m_Element);
    return true;
}

bool CVornHostAddress::GetAddressStrings(CVornStringList& out) {
    CVornLockGuard guard(m_Lock);
    if (GetAddressCount() == 0 && !Resolve())
        return false;
    out.RemoveAll();
    ListGuard list(m_Addresses);
    CVornString text(CVornString::kUnlocked);
    for (auto* node = m_Addresses.m_Head; node; node = node->m_Next) {
        FormatDottedQuad(static_cast<int>(node->m_Element.GetAddress()), text);
        out.AddTail(text);
    }
    return true;
}

bool CVornHostAddress::GetAddressString(CVornString& out) {
    CVornLockGuard guard(m_Lock);
    if (GetAddressCount() == 0 && !Resolve())
        return false;
    ListGuard list(m_Addresses);
    uint32_t address;
    if (!FirstAddress(m_Addresses, &address))
        return false;
    FormatDottedQuad(static_cast<int>(address), out);
    return true;
}

bool CVornHostAddress::GetPort(unsigned short* out) {
    CVornLockGuard guard(m_Lock);
    if (m_Port == 0)
        return false;
    if (out)
        *out = m_Port;
    return true;
}

unsigned short CVornHostAddress::GetPort() {
    CVornLockGuard guard(m_Lock);
    return m_Port;
}

bool CVornHostAddress::GetPortString(CVornString& out) {
    CVornLockGuard guard(m_Lock);
    if (m_Port == 0)
        return false;
    out.AssignInt(m_Port);
    return true;
}

// ---- Comparison and text

void CVornHostAddress::addAddressFromName() const {
    ListGuard list(m_Addresses);
    int address;
    if (m_Addresses.m_Count == 0 && ParseDottedQuad(m_HostName, &address))
        m_Addresses.AddTail(CVornHostAddressEntry(static_cast<uint32_t>(address)));
}

bool CVornHostAddress::SameHost(const CVornHostAddress& other, bool comparePorts,
                                const CVornStringList* aliases) {
    if (&other == this)
        return true;
    CVornLockGuard own(m_Lock);
    CVornLockGuard theirs(other.m_Lock);
    if (comparePorts && m_Port != other.m_Port)
        return false;

    addAddressFromName();
    other.addAddressFromName();

    {
        ListGuard mine(m_Addresses);
        ListGuard others(other.m_Addresses);
        for (auto* a = other.m_Addresses.m_Head; a; a = a->m_Next) {
            uint32_t address = a->m_Element.GetAddress();
            for (auto* b = m_Addresses.m_Head; b; b = b->m_Next)
                if (b->m_Element.GetAddress() == address)
                    return true;
        }
    }

    // Names match ignoring case; an empty name matches nothing, so that two
    // objects that merely lack a name are not taken for the same host.
    auto matchesOther = [&other](const CVornString& name) {
        if (name.IsEmpty())
            return false;
        return name.Equals(other.m_CanonicalName, 0) || name.Equals(other.m_HostName, 0);
    };
    if (matchesOther(m_CanonicalName) || matchesOther(m_HostName))
        return true;
    if (aliases) {
        CVornLockGuard list(aliases->m_Lock);
        for (auto* node = aliases->m_Head; node; node = node->m_Next)
            if (matchesOther(node->m_Element))
                return true;
    }
    return false;
}

const char* CVornHostAddress::Format(unsigned index) {
    CVornLockGuard guard(m_Lock);
    m_Text.Assign(m_CanonicalName.IsEmpty() ? m_HostName : m_CanonicalName);
    ListGuard list(m_Addresses);
    if (m_Addresses.m_Count > 0) {
        if (!m_Text.IsEmpty())
            m_Text.Append(' ');
        m_Text.Append('[');
        auto* node = index < static_cast<unsigned>(m_Addresses.m_Count)
                         ? SeekAddressEntry(m_Addresses, index)
                         : nullptr;
        if (node) {
            CVornHostAddressEntry& entry = node->m_Element;
            FormatDottedQuad(static_cast<int>(entry.GetAddress()), entry.m_Text);
            m_Text.Append(entry.m_Text);
        } else {
            m_Text.Append("BadAddrNum");
        }
        m_Text.Append(']');
        if (m_Port != 0) {
            m_Text.Append('.');
            m_Text.AppendInt(m_Port);
        }
    }
    return m_Text.CStr();
}

// ---- Resolution

bool CVornHostAddress::Resolve() {
    CVornLockGuard guard(m_Lock);
    // Without a name there is nothing to look up; dropping the addresses
    // would lose the only thing the object knows.
    if (m_HostName.IsEmpty())
        return GetAddressCount() > 0;

    m_Addresses.RemoveAll();
    VornHostLookupFn lookup = g_HostLookup.load();
    if (lookup) {
        CVornHostAddressList found;
        if (lookup(m_HostName, found)) {
            ListGuard list(found);
            for (auto* node = found.m_Head; node; node = node->m_Next)
                AppendAddressEntry(m_Addresses, node->m_Element);
        }
    }
    // A name the lookup does not know may still be written as an address.
    addAddressFromName();
    return GetAddressCount() > 0;
}

void CVornHostAddress::reverseLookup() {
    VornReverseLookupFn lookup = g_ReverseLookup.load();
    if (!lookup)
        return;
    CVornLockGuard guard(m_Lock);
    ListGuard list(m_Addresses);
    CVornString name(CVornString::kUnlocked);
    for (auto* node = m_Addresses.m_Head; node; node = node->m_Next) {
        name.Clear();
        if (lookup(node->m_Element, name) && !name.IsEmpty()) {
            m_CanonicalName.Assign(name);
            if (m_HostName.IsEmpty())
                m_HostName.Assign(name);
            return;
        }
    }
}

// ---- IPv4 addresses in text

bool ParseDottedQuad(const CVornString& text, int* out) {
    // Read under the text's lock so that it cannot change half-way.
    text.Lock();
    int length = text.Length();
    unsigned char bytes[4];
    int parts = 0;
    int value = -1;  // -1: no digit yet in the current part
    bool ok = length > 0;
    for (int i = 0; ok && i <= length; ++i) {
        char c = i < length ? text.CharAt(i) : '.';
        if (c >= '0' && c <= '9') {
            value = (value < 0 ? 0 : value * 10) + (c - '0');
            ok = value <= 255;
        } else if (c == '.' && value >= 0 && parts < 4) {
            bytes[parts++] = static_cast<unsigned char>(value);
            value = -1;
        } else {
            ok = false;
        }
    }
    text.Unlock();
    if (!ok || parts < 1)
        return false;
    // Short forms put the last part last: a.b.0.c, a.0.0.b, 0.0.0.a.
    unsigned char address[4] = {0, 0, 0, bytes[parts - 1]};
    for (int i = 0; i < parts - 1; ++i) address[i] = bytes[i];
    if (out)
        memcpy(out, address, sizeof address);
    return true;
}

void FormatDottedQuad(int address, CVornString& out) {
    unsigned char bytes[4];
    memcpy(bytes, &address, sizeof bytes);
    char text[16];
    int n = 0;
    for (int i = 0; i < 4; ++i) {
        if (i > 0)
            text[n++] = '.';
        unsigned v = bytes[i];
        if (v >= 100)
            text[n++] = static_cast<char>('0' + v / 100);
        if (v >= 10)
            text[n++] = static_cast<char>('0' + v / 10 % 10);
        text[n++] = static_cast<char>('0' + v % 10);
    }
    out.Assign(text, n);
}

int CompareAddressStrings(const CVornString& a, const CVornString& b) {
    int x, y;
    if (ParseDottedQuad(a, &x) && ParseDottedQuad(b, &y)) {
        unsigned char p[4], q[4];
        memcpy(p, &x, 4);
        memcpy(q, &y, 4);
        // Network order is most significant byte first: compare bytewise.
        int c = memcmp(p, q, 4);
        return c < 0 ? -1 : c > 0 ? 1 : 0;
    }
    return a.Compare(b, 0);
}
