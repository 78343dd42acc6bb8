// CVornMailAddress: one mail address of an SMTP command or an address header
// field, parsed (RFC 822 phrase, route-addr in angle brackets, comments,
// quoted strings, groups; the '%' and '!' routing notations and source routes)
// and held in four forms:
//   kFormRoute (2)      the non-local hops as a '!' path, local part last
//                       ("example.com!joe"); the local part alone for a local
//                       address
//   kFormCanonical (3)  local part '@' domain ("joe@example.com")
//   kFormHeader (4)     the canonical address between the text that
//                       surrounded the route-addr ("Joe <joe@example.com>")
//   any other number    the source text as given to Set
//
// Addresses with control characters (bytes below 0x20 but the tab, and DEL)
// are refused, because the forms are written into SMTP envelopes and header
// lines; the tab stays, as header folding leaves it between words.
//
// Threads: each object's operations run under its own lock; the pointers that
// Get returns must not be used while another thread sets the same object. The
// process-wide domain strings are read under g_MailDomainLock, which is taken
// after an object's lock, never before it. Set may make a host lookup (a
// domain without a dot) and then waits as long as the resolver.
#pragma once

#include <time.h>

#include <string>

#include "core/vorn_lock.h"
#include "core/vorn_string.h"

class CVornMailAddress {
public:
    enum : int { kFormRoute = 2, kFormCanonical = 3, kFormHeader = 4, kFormSource = 0 };
    // The longest text Set accepts is kMaxAddressLength - 1 bytes.
    static constexpr int kMaxAddressLength = 4096;

    // Holds no address: every form is null.
    CVornMailAddress();
    virtual ~CVornMailAddress();
    CVornMailAddress(const CVornMailAddress&) = delete;
    CVornMailAddress& operator=(const CVornMailAddress&) = delete;

    // Parses text and replaces all four forms. 0 success (also for a null
    // text, which leaves every form null); 1 not a valid address: empty (or
    // only CR and LF), 4096 bytes or more, a separator with nothing after it,
    // a source route without ':'; -1 memory for the forms ran out. On 1 and
    // -1 every form is null, except that a text with a multibyte character or
    // a control character (trailing CR and LF excepted), or one of 4096 bytes
    // or more, is refused before anything changes: the previous forms stay.
    int Set(const char* text);

    // The form (see above) or null when no address is held. The text belongs
    // to the object and stays valid until the next Set or the destruction.
    const char* Get(int form);

    // 1 when the route form is null or holds no '!' (a local address: no hop
    // to take), else 0.
    int HasNoBang();

    // 1 when the domain counts as local: empty after normalisation (lower
    // case, trailing dots and every '[' ']' removed), equal to the default
    // mail domain, or an entry of the local-domain list; an address literal
    // is first replaced by the name a reverse lookup finds for it. A null
    // domain counts as empty.
    int IsLocalDomain(const char* domain);

private:
    // The parser's steps (mail_address.cpp). They work on growable strings,
    // so no hop, lookup result or default domain can overrun a buffer.
    // REQUIRES: the object's lock is held.
    int parse(const std::string& text, int keepLocalHops);
    int splitAddress(const std::string& text, std::string& prefix, std::string& route,
                     std::string& suffix);
    void stripComments(std::string& text);
    int splitRoute(const std::string& text, std::string& local, std::string& domain);
    void refreshDomains();
    void clearForms();

    char* m_Route = nullptr;
    char* m_Canonical = nullptr;
    char* m_Header = nullptr;
    char* m_Source = nullptr;
    CVornLock m_Lock{true};
};

// Process-wide, shared by all addresses: the default mail domain and the local
// mail domains (entries separated by the byte 0x1C). Both start empty and are
// emptied whenever the configuration store reports a new load time; nothing
// in the system fills them. Read and change them only under g_MailDomainLock.
extern CVornString& g_MailDefaultDomain;
extern CVornString& g_MailLocalDomains;
extern CVornLock& g_MailDomainLock;
// The store's load time at which the two strings were last considered valid;
// -1 at start. Guarded by g_MailDomainLock.
extern time_t g_MailDomainLoadTime;
