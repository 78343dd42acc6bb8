// Mail addresses: the parse of one RFC 822 address into its route,
// canonical and header forms, and the test whether a domain is local.
//
//   CVornMailAddress::Set            parse a text, replacing all forms
//   CVornMailAddress::Get            one form (route 2, canonical 3, header 4, else source)
//   CVornMailAddress::HasNoBang      is the address local (no '!' in the route form)
//   CVornMailAddress::IsLocalDomain  is a domain one of ours
//   g_MailDefaultDomain, g_MailLocalDomains, g_MailDomainLock, g_MailDomainLoadTime
//
// Bad input: Set returns 1 for a text that is no address (empty, too long, a
// separator with nothing after it, a source route without ':'); the forms are
// then null. A text with a multibyte character, a control character or 4096
// bytes or more is refused before the previous forms are dropped, so a
// caller that rewrites headers still has its last good address. A failed
// host lookup is no error: the domain stays as written. Memory exhaustion
// gives -1 with every form null.
#include "net/mail_address.h"

#include <string.h>

#include <new>

#include "config/config_store.h"
#include "core/code_page.h"
#include "net/host_address.h"

namespace {

// Created on first use and never destroyed: detached threads may still parse
// addresses while the process exits.
CVornString& mailDefaultDomain() {
    static CVornString* s = new CVornString(CVornString::kLocked);
    return *s;
}
CVornString& mailLocalDomains() {
    static CVornString* s = new CVornString(CVornString::kLocked);
    return *s;
}
CVornLock& mailDomainLock() {
    static CVornLock* s = new CVornLock(true);
    return *s;
}

constexpr char kDomainSeparator = '\x1C';

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

// A byte that starts a multibyte character of the process's code page.
bool hasMultibyte(const char* text, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if (g_CodePage.CharLength(static_cast<unsigned char>(text[i])) > 1)
            return true;
    return false;
}

// Bytes that could break an SMTP command or a header line apart, or hide in
// one: every C0 control but the tab (which header folding leaves inside
// addresses and which the parser treats as a blank), and DEL.
bool hasControl(const char* text, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if ((c < 0x20 && c != '\t') || c == 0x7F)
            return true;
    }
    return false;
}

// A separator at pos counts only when no backslash stands before it.
bool isSeparatorAt(const std::string& text, size_t pos) {
    return pos == 0 || text[pos - 1] != '\\';
}

// Last unescaped c at a position after 0; npos when none.
size_t findLastSeparator(const std::string& text, char c) {
    for (size_t i = text.size(); i-- > 1;)
        if (text[i] == c && isSeparatorAt(text, i))
            return i;
    return std::string::npos;
}

// First unescaped c at or after from; npos when none.
size_t findFirstSeparator(const std::string& text, char c, size_t from) {
    for (size_t i = from; i < text.size(); ++i)
        if (text[i] == c && isSeparatorAt(text, i))
            return i;
    return std::string::npos;
}

std::string defaultDomain() {
    CVornLockGuard guard(mailDomainLock());
    CVornString copy(mailDefaultDomain(), CVornString::kUnlocked);
    return std::string(copy.CStr(), copy.Length());
}

char* heapCopy(const std::string& s) {
    char* p = new char[s.size() + 1];
    memcpy(p, s.c_str(), s.size() + 1);
    return p;
}

}  // namespace

CVornString& g_MailDefaultDomain = mailDefaultDomain();
CVornString& g_MailLocalDomains = mailLocalDomains();
CVornLock& g_MailDomainLock = mailDomainLock();
time_t g_MailDomainLoadTime = -1;

CVornMailAddress::CVornMailAddress() {
    Set(nullptr);
}

CVornMailAddress::~CVornMailAddress() {
    clearForms();
}

void CVornMailAddress::clearForms() {
    delete[] m_Route;
    delete[] m_Canonical;
    delete[] m_Header;
    delete[] m_Source;
    m_Route = m_Canonical = m_Header = m_Source = nullptr;
}

int CVornMailAddress::Set(const char* text) {
    if (text) {
        // Refusals that keep the previous address.
        size_t n = strnlen(text, kMaxAddressLength);
        if (n >= static_cast<size_t>(kMaxAddressLength) || hasMultibyte(text, n))
            return 1;
        size_t kept = n;
        while (kept > 0 && (text[kept - 1] == '\r' || text[kept - 1] == '\n')) --kept;
        if (hasControl(text, kept))
            return 1;
    }
    CVornLockGuard guard(m_Lock);
    clearForms();
    if (!text)
        return 0;
    if (text[0] == '\0')
        return 1;
    try {
        refreshDomains();
        std::string copy(text);
        while (!copy.empty() && (copy.back() == '\r' || copy.back() == '\n')) copy.pop_back();
        return parse(copy, 0);
    } catch (const std::bad_alloc&) {
        clearForms();
        return -1;
    }
}

const char* CVornMailAddress::Get(int form) {
    CVornLockGuard guard(m_Lock);
    switch (form) {
        case kFormRoute:
            return m_Route;
        case kFormCanonical:
            return m_Canonical;
        case kFormHeader:
            return m_Header;
        default:
            return m_Source;
    }
}

int CVornMailAddress::HasNoBang() {
    CVornLockGuard guard(m_Lock);
    return (!m_Route || !strchr(m_Route, '!')) ? 1 : 0;
}

void CVornMailAddress::refreshDomains() {
    time_t loadTime = CVornConfigStore::GetLoadTime();
    CVornLockGuard guard(mailDomainLock());
    if (loadTime != g_MailDomainLoadTime) {
        mailDefaultDomain().Clear();
        mailLocalDomains().Clear();
        g_MailDomainLoadTime = loadTime;
    }
}

int CVornMailAddress::IsLocalDomain(const char* domain) {
    CVornString name(domain ? domain : "", CVornString::kUnlocked);
    name.ToLower();
    name.TrimRight(".");
    name.RemoveChar('[');
    name.RemoveChar(']');

    int address = 0;
    if (!name.IsEmpty() && ParseDottedQuad(name, &address)) {
        CVornHostAddress host;
        host.SetAddress(CVornHostAddressEntry(static_cast<uint32_t>(address)));
        CVornString canonical(CVornString::kUnlocked);
        if (host.GetCanonicalName(canonical))
            name.Assign(canonical);
    }
    if (name.IsEmpty())
        return 1;

    CVornLockGuard guard(mailDomainLock());
    CVornString& def = mailDefaultDomain();
    if (!def.IsEmpty() && def.Equals(name, 2))
        return 1;

    // A whole entry of the list: bounded by its start or 0x1C on both sides.
    CVornString list(mailLocalDomains(), CVornString::kUnlocked);
    const char* entries = list.CStr();
    int listLength = list.Length();
    int nameLength = name.Length();
    const char* want = name.CStr();
    bool found = false;
    for (int start = 0; start <= listLength && !found;) {
        const char* sep =
            static_cast<const char*>(memchr(entries + start, kDomainSeparator, listLength - start));
        int end = sep ? static_cast<int>(sep - entries) : listLength;
        found = end - start == nameLength && memcmp(entries + start, want, nameLength) == 0;
        start = end + 1;
    }
    return found ? 1 : 0;
}

// Separates the route-addr from the text around it: the prefix (phrase and
// '<', or a group's name and ':'), the route-addr itself without comments,
// and the suffix ('>' and what follows, a ';', trailing blanks).
int CVornMailAddress::splitAddress(const std::string& text, std::string& prefix, std::string& route,
                                   std::string& suffix) {
    prefix.clear();
    route.clear();
    suffix.clear();
    if (text.empty() || hasMultibyte(text.data(), text.size()))
        return 1;
    const size_t length = text.size();
    size_t start = 0;
    size_t end = length;
    bool quoted = false;
    bool angle = false;
    bool plain = false;
    for (size_t i = 0; i < length; ++i) {
        char c = text[i];
        if (c == '\\') {
            ++i;
            continue;
        }
        if (c == '"') {
            quoted = !quoted;
            continue;
        }
        if (quoted)
            continue;
        if (isBlank(c)) {
            if (end == length) {
                // Trailing blanks, before the end or a group's ';', are no
                // part of the route-addr.
                size_t j = i;
                while (j < length && isBlank(text[j])) ++j;
                if (j == length || text[j] == ';')
                    end = i;
            }
            if (!plain && !angle)
                start = i + 1;
        } else if (c == ':' && !angle) {
            start = i + 1;
            plain = false;
        } else if (c == ';') {
            end = i;
        } else if (c == '<') {
            start = i + 1;
            angle = true;
        } else if (c == '>' && angle) {
            end = i;
        } else if (c == '@') {
            angle = true;
        } else {
            plain = true;
        }
    }
    if (end < start)
        end = length;
    prefix.assign(text, 0, start);
    route.assign(text, start, end - start);
    suffix.assign(text, end, std::string::npos);
    stripComments(route);
    return 0;
}

// Drops comments, the backslashes of quoted pairs outside quotes, and blanks
// that only pad separators, so that "joe @ example.com (Joe)" becomes
// "joe@example.com". Quoted strings pass unchanged.
void CVornMailAddress::stripComments(std::string& text) {
    const std::string in(text);
    text.clear();
    bool quoted = false;
    bool inComment = false;
    bool escaped = false;
    const size_t length = in.size();
    for (size_t i = 0; i < length; ++i) {
        char c = in[i];
        if (inComment) {
            // Comments do not nest: the first ')' ends one.
            if (c == ')')
                inComment = false;
            continue;
        }
        if (c == '\\') {
            if (quoted) {
                text += c;
                escaped = !escaped;
            } else if (escaped) {
                // The second of two backslashes is the escaped byte itself.
                text += c;
                escaped = false;
            } else {
                escaped = true;
            }
            continue;
        }
        if (escaped && !quoted) {
            text += c;
            escaped = false;
            continue;
        }
        bool wasEscaped = escaped;
        escaped = false;
        if (c == '"') {
            text += c;
            if (!wasEscaped)
                quoted = !quoted;
        } else if (quoted) {
            text += c;
        } else if (c == '(') {
            inComment = true;
        } else if (c == ')') {
            // A stray ')' outside a comment is dropped too.
        } else if (isBlank(c)) {
            size_t j = i + 1;
            while (j < length && isBlank(in[j])) ++j;
            char next = j < length ? in[j] : '\0';
            char last = text.empty() ? '\0' : text.back();
            bool drop = next == '\0' || next == '.' || next == '@' || next == '(' || text.empty() ||
                        last == '.' || last == '@' || last == ')';
            if (!drop)
                text += c;
        } else {
            text += c;
        }
    }
}

// Takes one hop off the right of a route-addr: a source route's domain list,
// or the domain after the last '@', after the last '%', or before the first
// '!'. A bare local part gives an empty domain.
int CVornMailAddress::splitRoute(const std::string& text, std::string& local, std::string& domain) {
    if (hasMultibyte(text.data(), text.size()))
        return 1;
    local.clear();
    domain.clear();
    if (!text.empty() && text[0] == '@') {
        size_t colon = findFirstSeparator(text, ':', 1);
        if (colon == std::string::npos || colon + 1 == text.size())
            return 1;
        domain.assign(text, 1, colon - 1);
        local.assign(text, colon + 1, std::string::npos);
        return 0;
    }
    for (char sep : {'@', '%'}) {
        size_t at = findLastSeparator(text, sep);
        if (at == std::string::npos)
            continue;
        if (at + 1 == text.size())
            return 1;
        local.assign(text, 0, at);
        domain.assign(text, at + 1, std::string::npos);
        return 0;
    }
    size_t bang = findFirstSeparator(text, '!', 0);
    if (bang != std::string::npos) {
        if (bang + 1 == text.size())
            return 1;
        domain.assign(text, 0, bang);
        local.assign(text, bang + 1, std::string::npos);
        return 0;
    }
    local = text;
    return 0;
}

int CVornMailAddress::parse(const std::string& text, int keepLocalHops) {
    if (text.size() >= static_cast<size_t>(kMaxAddressLength - 2))
        return 1;
    std::string prefix, route, suffix;
    if (splitAddress(text, prefix, route, suffix) != 0)
        return 1;

    std::string r;  // route form
    std::string c;  // canonical form
    bool seenRemote = false;
    std::string local, domain;
    while (!route.empty()) {
        if (splitRoute(route, local, domain) != 0)
            return 1;
        // Each hop shortens the route text, so the loop ends.
        if (!local.empty() && domain.empty())
            route.clear();
        else
            route = local;

        if (!domain.empty()) {
            if (!c.empty()) {
                c = "%" + domain + c;
            } else if (IsLocalDomain(domain.c_str())) {
                std::string def = defaultDomain();
                c = "@" + (def.empty() ? domain : def);
            } else if (domain.find('.') != std::string::npos) {
                c = "@" + domain;
            } else {
                // A short name: qualify it through the host lookup.
                CVornHostAddress host(domain.c_str(), 0);
                CVornString canonical(CVornString::kUnlocked);
                if (host.GetCanonicalName(canonical) && !canonical.IsEmpty())
                    c = std::string("@") + canonical.CStr();
                else
                    c = "@" + domain;
            }
            if (!seenRemote && keepLocalHops == 0 && IsLocalDomain(domain.c_str())) {
                // Leading hops through our own domains need not be taken.
            } else {
                seenRemote = true;
                if (!r.empty())
                    r += '!';
                r += domain;
            }
        } else if (!local.empty()) {
            if (!r.empty())
                r += '!';
            r += local;
            if (!c.empty()) {
                c = local + c;
            } else {
                std::string def = defaultDomain();
                c = def.empty() ? local : local + "@" + def;
            }
        }
    }

    std::string header = prefix + c + suffix;
    char* route2 = heapCopy(r);
    char* canonical3 = nullptr;
    char* header4 = nullptr;
    char* source = nullptr;
    try {
        canonical3 = heapCopy(c);
        header4 = heapCopy(header);
        source = heapCopy(text);
    } catch (const std::bad_alloc&) {
        delete[] route2;
        delete[] canonical3;
        delete[] header4;
        return -1;
    }
    m_Route = route2;
    m_Canonical = canonical3;
    m_Header = header4;
    m_Source = source;
    return 0;
}
