// CVornURI: one HTTP request target broken into scheme, user information,
// host with port, path and query; beside it the vocabulary of HTTP request
// and status lines: method and version codes with their names, the reader of
// a request line, the reader of a status line and the writer of a response
// status line.
//
// Bounds shared by everything that reads HTTP from a peer (the HTTP request
// reader, the HTTP client): a request line, a status line and each header
// line hold at most kMaxHttpLineLength bytes, line end included; a header
// block holds at most kMaxHttpHeaderCount lines. Over a bound the reader
// fails; the HTTP server answers such a request with its "Bad Request" page
// (status message kHttpStatusBadRequest), as it does every malformed request.
//
// Threads: every CVornURI operation holds the object's lock for its whole
// run, so one URI may be read by several threads. The free functions keep no
// state. Not copyable.
#pragma once

#include "core/vorn_lock.h"
#include "core/vorn_string.h"
#include "net/host_address.h"

// Method codes of a request line.
enum : int {
    kHttpMethodUnknown = 0,
    kHttpMethodGet = 1,
    kHttpMethodHead = 2,
    kHttpMethodPost = 3,
    kHttpMethodConnect = 4,
};

// Version codes.
enum : int {
    kHttpVersionUnknown = 0,
    kHttpVersion10 = 1,
    kHttpVersion11 = 2,
};

// Scheme indexes of CVornURI (texts "http:", "ftp:", "https:", "unknown:";
// default ports 80, 21, 443, 0). kUriSchemeUnknown also stands for a URI
// whose scheme is not known.
enum : int {
    kUriSchemeHttp = 0,
    kUriSchemeFtp = 1,
    kUriSchemeHttps = 2,
    kUriSchemeUnknown = 3,
};

// Catalogue numbers of the status texts the HTTP server sends (each text is
// a status code and a reason phrase).
enum : int {
    kHttpStatusOk = 633,           // success; also the "Cannot open file" page
    kHttpStatusRedirect = 637,     // redirection, with a Location header
    kHttpStatusBadRequest = 639,   // malformed or over-long request
    kHttpStatusNotFound = 641,     // no such document
    kHttpStatusServerError = 643,  // the request entity could not be read
    kHttpStatusRefused = 644,      // a request addressed to another host
};

// A request line, a status line or one header line: at most this many
// bytes, line end included.
constexpr int kMaxHttpLineLength = 8 * 1024;
// At most this many header lines (continuation lines included) in a block.
constexpr int kMaxHttpHeaderCount = 100;

class CVornURI {
public:
    // Scheme kUriSchemeUnknown, no user information, host not set (a host
    // with no name and port 0), empty path and query.
    CVornURI();
    virtual ~CVornURI();
    CVornURI(const CVornURI&) = delete;
    CVornURI& operator=(const CVornURI&) = delete;

    // Parses a request target: an absolute URI ("http://user@host:port/p?q"),
    // a path with query ("/p?q"), or an authority ("host:port", the target
    // of CONNECT). The scheme is defaultScheme (kUriSchemeUnknown when out
    // of range) unless the text starts with a scheme text of the table; the
    // port is the scheme's default unless the authority gives one. The path
    // is kept percent-encoded as received and begins with "/"; the query is
    // the text after the first "?". The authority is URL-decoded ("+" becomes
    // a blank) and split into user information (before "@"), host name and
    // port (after ":").
    // False, the object then reset (defaultScheme, host not set, empty path
    // and query), when the text is longer than kMaxHttpLineLength, holds a
    // control character (bytes 0-31 and 127), has a blank in its authority,
    // names an empty host, has a port that is not a decimal number up to
    // 65535 (an empty port is 0), or decodes to an authority with a control
    // character. Blanks in the path and query are kept: clients send them
    // unencoded in request lines.
    bool Parse(const CVornString& text, int defaultScheme);

    // The scheme index.
    int GetScheme();
    // False, out unchanged, when the user information is empty.
    bool GetUserInfo(CVornString& out);
    // When the host is set, out becomes a copy of it and the result is true.
    bool GetHost(CVornHostAddress& out);
    // False (out unchanged) when the path is empty. Otherwise out = the path,
    // URL-decoded ("+" kept) when decode is set. A decoded path keeps ".."
    // segments as ".." (callers that map paths to files must refuse them);
    // a path that decodes to a NUL byte is refused: false, out unchanged.
    bool GetPath(CVornString& out, bool decode);
    // False (out unchanged) when the query is empty; else the query as
    // received (not decoded).
    bool GetQuery(CVornString& out);

    // The absolute form: scheme text, "//", user information and "@" when
    // there is one, the host name lower-cased and percent-encoded, ":" and
    // the port, the path, "?" and the query when there is one. Format always
    // writes the port (nothing after the ":" for port 0); FormatAbsolute only
    // when it differs from the scheme's default. recode: the path is decoded
    // and percent-encoded again (keeping "/" and "+"). False (out unchanged)
    // for scheme kUriSchemeUnknown, a host not set or an empty path.
    bool Format(CVornString& out, bool recode);
    bool FormatAbsolute(CVornString& out, bool recode);
    // The target of an origin-form request line: the path (recoded when
    // asked), "?" and the query when there is one. False when the path is
    // empty.
    bool FormatPathAndQuery(CVornString& out, bool recode);
    // The target of a CONNECT request: host name, ":" and the port (nothing
    // after the ":" for port 0). False when the host is not set.
    bool FormatAuthority(CVornString& out);
    // The value of a Host header: the host name, then ":" and the port only
    // when it differs from the scheme's default. False when the host is not
    // set.
    bool FormatHost(CVornString& out);

private:
    // Splits an authority into user information, host name and port. False
    // on a malformed authority (see Parse). REQUIRES: m_Lock held.
    bool setAuthority(const CVornString& text);
    // The shared body of Format and FormatAbsolute. REQUIRES: m_Lock held.
    bool formatAbsolute(CVornString& out, bool recode, bool alwaysPort);
    // The path, recoded when asked, and "?query" when there is a query,
    // appended to out. REQUIRES: m_Lock held.
    void appendPathAndQuery(CVornString& out, bool recode);
    // ":port" appended to out when always is set or the port is not the
    // scheme's default; port 0 gives ":" alone. REQUIRES: m_Lock held.
    void appendPort(CVornString& out, bool always);
    // The host name as the host address holds it. REQUIRES: m_Lock held.
    CVornString hostName();
    int defaultPort();
    void reset(int scheme);

    int m_Scheme = kUriSchemeUnknown;
    CVornString m_UserInfo;
    bool m_HostSet = false;
    CVornHostAddress m_Host;
    CVornString m_Path;
    CVornString m_Query;
    CVornLock m_Lock{true};
};

// "(unknown)", "GET", "HEAD", "POST", "CONNECT" for codes 0 to 4; null for
// any other code.
const char* HTTPMethodName(int code);
// "(unknown)", "HTTP/1.0", "HTTP/1.1" for codes 0 to 2; null for any other.
const char* HTTPVersionName(int code);

// out = the version name, a blank, the catalogue text of messageNumber in
// the current language (its status code and reason phrase) and CR LF.
// A status line must name a real version: any code but kHttpVersion11
// writes "HTTP/1.0". When the catalogue has no text for the number, the
// standard phrase of the status messages above is written ("200 OK",
// "302 Found", "400 Bad Request", "404 Not Found", "500 Internal Server
// Error", "403 Forbidden"), and "500 Internal Server Error" for any other.
void WriteStatusLine(int versionCode, int messageNumber, CVornString& out);

// Reads one request line (trailing CR and LF are ignored): the method word
// (compared ignoring case; an unknown word gives kHttpMethodUnknown and is
// not an error), the target and the version "HTTP/<major>.<minor>" (prefix
// ignoring case; major must be 1; minor 0 gives kHttpVersion10, 1 or more
// kHttpVersion11, a negative minor kHttpVersionUnknown). Runs of blanks
// between the three parts count as one; a target with blanks in it is the
// text between the line's first and last blank. The target is parsed into
// uri (CVornURI::Parse with kUriSchemeHttps for CONNECT, kUriSchemeUnknown
// otherwise). False when the line is longer than kMaxHttpLineLength, holds
// a control character, has fewer than three parts, a malformed version or
// a target that CVornURI::Parse refuses; method and version are then
// unchanged or partly set and must not be used.
bool ParseRequestLine(const CVornString& line, int& method, CVornURI& uri, int& version);

// Splits a status line at blanks: version = the first word, code = the
// second, reason = the rest with its trailing CR and LF removed (empty when
// there is no rest). When the line has only two words, code keeps whatever
// followed it (its line end included). False, the outputs unchanged, when
// the line has no blank between two words.
bool ParseHTTPStatusLine(const CVornString& line, CVornString& version, CVornString& code,
                         CVornString& reason);
