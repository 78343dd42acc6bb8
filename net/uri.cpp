// CVornURI and the HTTP request-line vocabulary.
//
//   CVornURI::Parse               request target -> scheme, user, host, port, path, query
//   CVornURI::GetScheme, GetUserInfo, GetHost, GetPath, GetQuery   the parts
//   CVornURI::Format              absolute form, port always written
//   CVornURI::FormatAbsolute      absolute form, port only when not the default
//   CVornURI::FormatPathAndQuery  origin-form request target
//   CVornURI::FormatAuthority     CONNECT target "host:port"
//   CVornURI::FormatHost          Host header value
//   HTTPMethodName, HTTPVersionName   code -> name (null for unknown codes)
//   WriteStatusLine               "HTTP/1.x <catalogue text>\r\n"
//   ParseRequestLine              "METHOD target HTTP/x.y" -> codes and URI
//   ParseHTTPStatusLine           "HTTP/x.y code reason" -> three texts
//
// Bad input: everything here reads text that came from a peer. Over-long
// texts, control characters, blanks in an authority, empty host names and
// ports that are no 16-bit decimal number are refused (false), and a refused
// URI is left reset rather than half filled. A decoded path that would
// carry a NUL byte into a file name is refused. Nothing throws but
// std::bad_alloc.
#include "net/uri.h"

#include "core/message_catalog.h"
#include "core/splitter.h"

namespace {

struct SchemeInfo {
    const char* m_Text;
    unsigned short m_Port;
};

const SchemeInfo kSchemes[] = {
    {"http:", 80},
    {"ftp:", 21},
    {"https:", 443},
    {"unknown:", 0},
};

bool IsControl(unsigned char c) {
    return c < 0x20 || c == 0x7F;
}

bool HasControl(const CVornString& text) {
    text.Lock();
    bool found = false;
    for (int i = 0, n = text.Length(); i < n && !found; ++i)
        found = IsControl(static_cast<unsigned char>(text.CharAt(i)));
    text.Unlock();
    return found;
}

bool HasNul(const CVornString& text) {
    text.Lock();
    bool found = false;
    for (int i = 0, n = text.Length(); i < n && !found; ++i) found = text.CharAt(i) == '\0';
    text.Unlock();
    return found;
}

// A port: empty (0) or one to five decimal digits up to 65535.
bool ParsePort(const CVornString& text, unsigned short* out) {
    int n = text.Length();
    if (n > 5)
        return false;
    long value = 0;
    for (int i = 0; i < n; ++i) {
        char c = text.CharAt(i);
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + (c - '0');
    }
    if (value > 65535)
        return false;
    *out = static_cast<unsigned short>(value);
    return true;
}

// The standard phrases of the status messages, for a catalogue without them.
const char* FallbackStatusText(int messageNumber) {
    switch (messageNumber) {
        case kHttpStatusOk:
            return "200 OK";
        case kHttpStatusRedirect:
            return "302 Found";
        case kHttpStatusBadRequest:
            return "400 Bad Request";
        case kHttpStatusNotFound:
            return "404 Not Found";
        case kHttpStatusRefused:
            return "403 Forbidden";
        default:
            return "500 Internal Server Error";
    }
}

}  // namespace

// ---------------------------------------------------------------- CVornURI

CVornURI::CVornURI() = default;

CVornURI::~CVornURI() = default;

int CVornURI::defaultPort() {
    return kSchemes[m_Scheme].m_Port;
}

void CVornURI::reset(int scheme) {
    m_Scheme = scheme;
    m_HostSet = false;
    m_Host.SetName(nullptr);
    m_Host.SetPort(static_cast<unsigned short>(0));
    m_UserInfo.Clear();
    m_Path.Clear();
    m_Query.Clear();
}

bool CVornURI::Parse(const CVornString& text, int defaultScheme) {
    if (defaultScheme < kUriSchemeHttp || defaultScheme > kUriSchemeUnknown)
        defaultScheme = kUriSchemeUnknown;
    CVornString work(text, CVornString::kUnlocked);
    CVornLockGuard guard(m_Lock);
    reset(defaultScheme);
    if (work.Length() > kMaxHttpLineLength || HasControl(work))
        return false;

    for (int i = 0; i <= kUriSchemeUnknown; ++i) {
        if (work.RemovePrefix(kSchemes[i].m_Text, 2)) {
            m_Scheme = i;
            break;
        }
    }
    m_Host.SetPort(static_cast<unsigned short>(defaultPort()));
    work.RemovePrefix("//", 3);

    m_Path.Assign("/");
    if (work.StartsWith('/', 3)) {
        m_Path.Assign(work);
    } else {
        CVornString authority(CVornString::kUnlocked), rest(CVornString::kUnlocked);
        char found = 0;
        bool ok;
        if (work.SplitAtFirstOf("/?", &found, authority, rest)) {
            ok = setAuthority(authority);
            m_Path.Assign(found == '/' ? "/" : "/?");
            m_Path.Append(rest);
        } else {
            ok = setAuthority(work);
        }
        if (!ok) {
            reset(defaultScheme);
            return false;
        }
    }

    CVornString path(CVornString::kUnlocked), query(CVornString::kUnlocked);
    if (m_Path.SplitAt('?', path, query)) {
        m_Path.Assign(path);
        m_Query.Assign(query);
    }
    return true;
}

bool CVornURI::setAuthority(const CVornString& text) {
    // A blank cannot be part of a host name, and a client that sends one
    // has cut its request line wrongly.
    if (text.Contains(' '))
        return false;
    CVornString rest(text, CVornString::kUnlocked);
    rest.UrlDecode(false);
    // Decoded escapes must not smuggle line ends or NUL bytes into the Host
    // header or a connection key.
    if (HasControl(rest))
        return false;

    CVornString left(CVornString::kUnlocked), right(CVornString::kUnlocked);
    if (rest.SplitAt('@', left, right)) {
        m_UserInfo.Assign(left);
        rest.Assign(right);
    }
    unsigned short port = m_Host.GetPort();
    if (rest.SplitAt(':', left, right)) {
        if (!ParsePort(right, &port))
            return false;
        rest.Assign(left);
    }
    if (rest.IsEmpty())
        return false;
    m_Host.SetName(rest.CStr());
    m_Host.SetPort(port);
    m_HostSet = true;
    return true;
}

int CVornURI::GetScheme() {
    CVornLockGuard guard(m_Lock);
    return m_Scheme;
}

bool CVornURI::GetUserInfo(CVornString& out) {
    CVornLockGuard guard(m_Lock);
    if (m_UserInfo.IsEmpty())
        return false;
    out.Assign(m_UserInfo);
    return true;
}

bool CVornURI::GetHost(CVornHostAddress& out) {
    CVornLockGuard guard(m_Lock);
    if (!m_HostSet)
        return false;
    out = m_Host;
    return true;
}

bool CVornURI::GetPath(CVornString& out, bool decode) {
    CVornLockGuard guard(m_Lock);
    if (m_Path.IsEmpty())
        return false;
    CVornString path(m_Path, CVornString::kUnlocked);
    if (decode) {
        path.UrlDecode(true);
        // A NUL would cut the path short where it becomes a C file name, so
        // that the name checked is not the name opened.
        if (HasNul(path))
            return false;
    }
    out.Assign(path);
    return true;
}

bool CVornURI::GetQuery(CVornString& out) {
    CVornLockGuard guard(m_Lock);
    if (m_Query.IsEmpty())
        return false;
    out.Assign(m_Query);
    return true;
}

CVornString CVornURI::hostName() {
    CVornString name(CVornString::kUnlocked);
    m_Host.GetName(name);
    return name;
}

void CVornURI::appendPathAndQuery(CVornString& out, bool recode) {
    if (!recode) {
        out.Append(m_Path);
    } else {
        CVornString path(m_Path, CVornString::kUnlocked);
        path.UrlDecode(true);
        path.UrlEncode(true, true);
        out.Append(path);
    }
    if (!m_Query.IsEmpty()) {
        out.Append('?');
        out.Append(m_Query);
    }
}

void CVornURI::appendPort(CVornString& out, bool always) {
    int port = m_Host.GetPort();
    if (always || port != defaultPort()) {
        out.Append(':');
        if (port != 0)
            out.AppendInt(port);
    }
}

bool CVornURI::formatAbsolute(CVornString& out, bool recode, bool alwaysPort) {
    CVornLockGuard guard(m_Lock);
    if (m_Scheme == kUriSchemeUnknown || !m_HostSet || m_Path.IsEmpty())
        return false;
    CVornString s(kSchemes[m_Scheme].m_Text, CVornString::kUnlocked);
    s.Append("//");
    if (!m_UserInfo.IsEmpty()) {
        s.Append(m_UserInfo);
        s.Append('@');
    }
    CVornString name = hostName();
    name.ToLower();
    name.UrlEncode(false, false);
    s.Append(name);
    appendPort(s, alwaysPort);
    appendPathAndQuery(s, recode);
    out.Assign(s);
    return true;
}

bool CVornURI::Format(CVornString& out, bool recode) {
    return formatAbsolute(out, recode, true);
}

bool CVornURI::FormatAbsolute(CVornString& out, bool recode) {
    return formatAbsolute(out, recode, false);
}

bool CVornURI::FormatPathAndQuery(CVornString& out, bool recode) {
    CVornLockGuard guard(m_Lock);
    if (m_Path.IsEmpty())
        return false;
    CVornString s(CVornString::kUnlocked);
    appendPathAndQuery(s, recode);
    out.Assign(s);
    return true;
}

bool CVornURI::FormatAuthority(CVornString& out) {
    CVornLockGuard guard(m_Lock);
    if (!m_HostSet)
        return false;
    CVornString s = hostName();
    appendPort(s, true);
    out.Assign(s);
    return true;
}

bool CVornURI::FormatHost(CVornString& out) {
    CVornLockGuard guard(m_Lock);
    if (!m_HostSet)
        return false;
    CVornString s = hostName();
    int port = m_Host.GetPort();
    // Port 0 means "none given" (an empty port in the text): the server is
    // reached on the default port, which a Host header leaves out.
    if (port != defaultPort() && port != 0) {
        s.Append(':');
        s.AppendInt(port);
    }
    out.Assign(s);
    return true;
}

// ---------------------------------------------------------------- names and status lines

const char* HTTPMethodName(int code) {
    static const char* const kNames[] = {"(unknown)", "GET", "HEAD", "POST", "CONNECT"};
    if (code < 0 || code > kHttpMethodConnect)
        return nullptr;
    return kNames[code];
}

const char* HTTPVersionName(int code) {
    static const char* const kNames[] = {"(unknown)", "HTTP/1.0", "HTTP/1.1"};
    if (code < 0 || code > kHttpVersion11)
        return nullptr;
    return kNames[code];
}

void WriteStatusLine(int versionCode, int messageNumber, CVornString& out) {
    // "(unknown)" is no version a client can read: the line names 1.0 then.
    const char* version =
        HTTPVersionName(versionCode == kHttpVersion11 ? kHttpVersion11 : kHttpVersion10);
    const char* text = GetCatalogText(messageNumber);
    if (!text)
        text = FallbackStatusText(messageNumber);
    CVornString line(version, CVornString::kUnlocked);
    line.Append(' ');
    line.Append(text);
    line.Append("\r\n");
    out.Assign(line);
}

// ---------------------------------------------------------------- request and status lines

bool ParseRequestLine(const CVornString& line, int& method, CVornURI& uri, int& version) {
    CVornString text(line, CVornString::kUnlocked);
    text.TrimRight("\r\n");
    if (text.Length() > kMaxHttpLineLength || HasControl(text))
        return false;

    CVornSplitter items;
    items.Split(text, ' ', 2);
    if (items.Count() < 3)
        return false;
    CVornString word(CVornString::kUnlocked), target(CVornString::kUnlocked),
        rest(CVornString::kUnlocked);
    items.GetAt(0, word);
    items.GetAt(1, target);
    items.GetAt(2, rest);

    static const char* const kMethods[] = {"GET", "HEAD", "POST", "CONNECT"};
    method = kHttpMethodUnknown;
    for (int i = 0; i < 4; ++i) {
        if (word.Equals(kMethods[i], 2)) {
            method = i + 1;
            break;
        }
    }

    // A target with blanks in it (old clients send paths unencoded): it is
    // the text between the first and the last blank of the line.
    if (rest.Contains(' ')) {
        CVornSplitter fields;
        fields.SplitFields(text, ' ', 0);
        int count = fields.Count();
        CVornString item(CVornString::kUnlocked);
        target.Clear();
        for (int i = 1; i < count - 1; ++i) {
            fields.GetAt(i, item);
            if (i > 1)
                target.Append(' ');
            target.Append(item);
        }
        fields.GetAt(count - 1, rest);
    }

    if (!uri.Parse(target, method == kHttpMethodConnect ? kUriSchemeHttps : kUriSchemeUnknown))
        return false;

    if (!rest.RemovePrefix("HTTP/", 2))
        return false;
    CVornSplitter numbers;
    numbers.Split(rest, '.', 1);
    if (numbers.Count() < 2)
        return false;
    CVornString major(CVornString::kUnlocked), minor(CVornString::kUnlocked);
    numbers.GetAt(0, major);
    numbers.GetAt(1, minor);
    if (major.ToInt() != 1)
        return false;
    int minorNumber = minor.ToInt();
    if (minorNumber == 0)
        version = kHttpVersion10;
    else if (minorNumber > 0)
        version = kHttpVersion11;
    else
        version = kHttpVersionUnknown;
    return true;
}

bool ParseHTTPStatusLine(const CVornString& line, CVornString& version, CVornString& code,
                         CVornString& reason) {
    CVornSplitter items;
    CVornString first(CVornString::kUnlocked), second(CVornString::kUnlocked),
        third(CVornString::kUnlocked);
    if (items.Split(line, ' ', 2) && items.Count() == 3) {
        items.GetAt(0, first);
        items.GetAt(1, second);
        items.GetAt(2, third);
        third.TrimRight("\r\n");
    } else if (items.Split(line, ' ', 1) && items.Count() == 2) {
        items.GetAt(0, first);
        items.GetAt(1, second);
    } else {
        return false;
    }
    // "HTTP/1.0 \r\n" has a blank but no second word.
    CVornString word(second, CVornString::kUnlocked);
    word.TrimRight("\r\n");
    if (word.IsEmpty())
        return false;
    version.Assign(first);
    code.Assign(second);
    reason.Assign(third);
    return true;
}
