// MIME helpers of mail and web traffic.
//
//   ContentTypeForFile     media type of a file extension (g_MimeTypes)
//   ParsePartHeaders       content type, charset, names, disposition, encoding, boundary
//   MimeTypeMatches        media type against a pattern with empty / "*" halves
//   DecodeBase64           base64 body text, with the unfinished group handed back
//   DecodeQuotedPrintable  quoted-printable body text
//   DecodeEncodedWords     RFC 2047 encoded words of a header text into a sized buffer
//   DecodeQWord / DecodeBWord / IsBase64Char / decodeBase64Quad  their pieces
//
// Bad input: nothing here fails on malformed text. The body decoders skip
// bytes outside the base64 alphabet and keep a broken quoted-printable escape
// as it stands; an encoded word that breaks the form stays as raw text, one
// whose text is not valid for its letter contributes nothing. Every decoder
// reads only the bytes it was given and writes at most the room it was given:
// an encoded word's charset and text are bounded (999 and 259 bytes), and the
// output of DecodeEncodedWords is always a NUL-terminated prefix of the full
// decoding that fits its buffer.
#include "net/mime.h"

#include <stdio.h>
#include <string.h>
#include <strings.h>

#include <string>

#include "core/splitter.h"

// The first row of an extension wins ("avi" and "rpm" occur twice). Rows
// after the commonly used ones at the top are in alphabetical order.
const MimeTypeRow g_MimeTypes[] = {
    {"gif", "image/gif"},
    {"jpg", "image/jpeg"},
    {"jpeg", "image/jpeg"},
    {"html", "text/html"},
    {"mhtml", "text/html"},
    {"pdf", "application/pdf"},
    {"txt", "text/plain"},
    {"ai", "application/postscript"},
    {"aif", "audio/x-aiff"},
    {"aifc", "audio/x-aiff"},
    {"aiff", "audio/x-aiff"},
    {"aim", "application/x-aim"},
    {"aip", "text/x-audiosoft-intra"},
    {"arj", "application/x-arj"},
    {"art", "image/x-jg"},
    {"asf", "video/x-ms-asf"},
    {"asx", "video/x-ms-asf"},
    {"au", "audio/basic"},
    {"avi", "video/avi"},
    {"avi", "video/x-msvideo"},
    {"bcpio", "application/x-bcpio"},
    {"bin", "application/octet-stream"},
    {"bmp", "image/bmp"},
    {"c", "text/plain"},
    {"cab", "application/octet-stream"},
    {"cat", "application/vnd.ms-pki.seccat"},
    {"cc", "text/plain"},
    {"cdf", "application/x-netcdf"},
    {"cer", "application/x-x509-ca-cert"},
    {"core", "application/octet-stream"},
    {"cpio", "application/x-cpio"},
    {"crl", "application/pkix-crl"},
    {"crt", "application/x-x509-ca-cert"},
    {"css", "text/css"},
    {"dcr", "application/x-director"},
    {"der", "application/x-x509-ca-cert"},
    {"dib", "image/bmp"},
    {"dif", "video/x-dv"},
    {"dir", "application/x-director"},
    {"dll", "application/x-msdownload"},
    {"dlm", "text/dlm"},
    {"doc", "application/msword"},
    {"dot", "application/msword"},
    {"dv", "video/x-dv"},
    {"dvi", "application/x-dvi"},
    {"dxr", "application/x-director"},
    {"eml", "message/rfc822"},
    {"eps", "application/postscript"},
    {"etx", "text/x-setext"},
    {"exe", "application/octet-stream"},
    {"f90", "text/plain"},
    {"fif", "application/fractals"},
    {"fm", "application/x-maker"},
    {"fpx", "image/vnd.fpx"},
    {"gtar", "application/x-gtar"},
    {"gz", "application/x-gzip"},
    {"h", "text/plain"},
    {"hdf", "application/x-hdf"},
    {"hh", "text/plain"},
    {"hqx", "application/mac-binhex40"},
    {"hta", "application/hta"},
    {"htc", "text/x-component"},
    {"htm", "text/html"},
    {"htt", "text/webviewhtml"},
    {"ico", "image/x-icon"},
    {"ief", "image/ief"},
    {"ins", "application/x-internet-signup"},
    {"isp", "application/x-internet-signup"},
    {"it", "audio/x-mod"},
    {"itz", "audio/x-mod"},
    {"ivf", "video/x-ivf"},
    {"jfif", "image/pjpeg"},
    {"jpe", "image/jpeg"},
    {"js", "application/x-javascript"},
    {"la1", "audio/x-liquid-file"},
    {"lar", "application/x-laplayer-reg"},
    {"latex", "application/x-latex"},
    {"lav", "audio/x-liquid-file"},
    {"lavs", "audio/x-liquid-secure"},
    {"lha", "application/x-lzh"},
    {"lqt", "audio/x-liquid"},
    {"lsf", "video/x-la-asf"},
    {"lsm", "audio/x-la-lms"},
    {"lsx", "video/x-la-asf"},
    {"lzh", "application/x-lzh"},
    {"m", "text/plain"},
    {"m1v", "video/mpeg"},
    {"m3u", "audio/x-mpegurl"},
    {"mac", "image/x-macpaint"},
    {"man", "application/x-troff-man"},
    {"mdb", "application/msaccess"},
    {"mdz", "audio/x-mod"},
    {"med", "audio/x-mod"},
    {"mes", "application/x-att-a2bmusic"},
    {"mht", "message/rfc822"},
    {"mid", "audio/mid"},
    {"midi", "audio/mid"},
    {"mif", "application/x-mif"},
    {"mix", "image/x-mix"},
    {"mjf", "audio/x-vnd.audioexplosion.mjuicemediafile"},
    {"mod", "audio/x-mod"},
    {"mov", "video/quicktime"},
    {"movie", "video/x-sgi-movie"},
    {"mp2", "video/mpeg"},
    {"mp3", "audio/basic"},
    {"mpa", "video/mpeg"},
    {"mpe", "video/mpeg"},
    {"mpeg", "video/mpeg"},
    {"mpg", "video/mpeg"},
    {"mpi", "application/x-pn-mpg"},
    {"mpv2", "video/mpeg"},
    {"msw", "application/msword"},
    {"mwrt", "application/macwriteii"},
    {"nc", "application/x-netcdf"},
    {"nix", "application/x-mix-transfer"},
    {"nws", "message/rfc822"},
    {"oda", "application/oda"},
    {"p10", "application/pkcs10"},
    {"p12", "application/x-pkcs12"},
    {"p7b", "application/x-pkcs7-certificates"},
    {"p7c", "application/pkcs7-mime"},
    {"p7m", "application/pkcs7-mime"},
    {"p7r", "application/x-pkcs7-certreqresp"},
    {"p7s", "application/pkcs7-signature"},
    {"pbm", "image/x-portable-bitmap"},
    {"pct", "image/pict"},
    {"pfx", "application/x-pkcs12"},
    {"pgm", "image/x-portable-graymap"},
    {"pic", "image/pict"},
    {"pict", "image/pict"},
    {"pko", "application/vnd.ms-pki.pko"},
    {"plg", "text/html"},
    {"png", "image/png"},
    {"pnm", "image/x-portable-anymap"},
    {"pntg", "image/x-macpaint"},
    {"pot", "application/vnd.ms-powerpoint"},
    {"ppa", "application/vnd.ms-powerpoint"},
    {"ppm", "image/x-portable-pixmap"},
    {"pps", "application/vnd.ms-powerpoint"},
    {"ppt", "application/vnd.ms-powerpoint"},
    {"prf", "application/pics-rules"},
    {"prx", "application/x-ms-prx"},
    {"ps", "application/postscript"},
    {"psd", "image/x-photoshop"},
    {"pwz", "application/vnd.ms-powerpoint"},
    {"qt", "video/quicktime"},
    {"qti", "image/x-quicktime"},
    {"qtif", "image/x-quicktime"},
    {"ra", "audio/x-pn-realaudio"},
    {"ram", "audio/x-pn-realaudio"},
    {"ras", "image/x-cmu-raster"},
    {"readme", "text/plain"},
    {"rf", "image/vnd.rn-realflash"},
    {"rgb", "image/x-rgb"},
    {"rjs", "application/vnd.rn-realsystem-rjs"},
    {"rm", "application/vnd.rn-realmedia"},
    {"rmi", "audio/mid"},
    {"rmj", "application/vnd.rn-realsystem-rmj"},
    {"rmm", "audio/x-pn-realaudio"},
    {"rmp", "application/vnd.rn-rn_music_package"},
    {"rmx", "application/vnd.rn-realsystem-rmx"},
    {"rnx", "application/vnd.rn-realplayer"},
    {"rp", "image/vnd.rn-realpix"},
    {"rpm", "application/x-rpm"},
    {"rpm", "audio/x-pn-realaudio-plugin"},
    {"rt", "text/vnd.rn-realtext"},
    {"rtf", "application/x-rtf"},
    {"rtx", "text/richtext"},
    {"rv", "video/vnd.rn-realvideo"},
    {"s3m", "audio/x-mod"},
    {"s3z", "audio/x-mod"},
    {"sct", "text/scriptlet"},
    {"sd2", "audio/x-sd2"},
    {"sdp", "application/sdp"},
    {"shar", "application/x-shar"},
    {"sit", "application/x-stuffit"},
    {"smi", "application/smil"},
    {"smil", "application/smil"},
    {"snd", "audio/basic"},
    {"spc", "application/x-pkcs7-certificates"},
    {"spl", "application/futuresplash"},
    {"spn", "application/x-pn-realplayer"},
    {"ssm", "application/streamingmedia"},
    {"sst", "application/vnd.ms-pki.certstore"},
    {"stl", "application/vnd.ms-pki.stl"},
    {"sv4cpio", "application/x-sv4cpio"},
    {"sv4crc", "application/x-sv4crc"},
    {"swf", "application/x-shockwave-flash"},
    {"tar", "application/x-tar"},
    {"tgz", "application/x-compressed"},
    {"tif", "image/tiff"},
    {"tiff", "image/tiff"},
    {"tsv", "text/tab-separated-values"},
    {"ustar", "application/x-ustar"},
    {"vcf", "text/x-vcard"},
    {"vrml", "x-world/x-vrml"},
    {"wav", "audio/wav"},
    {"wax", "audio/x-ms-wax"},
    {"wiz", "application/msword"},
    {"wk1", "application/vnd.lotus-1-2-3"},
    {"wk2", "application/vnd.lotus-1-2-3"},
    {"wk3", "application/vnd.lotus-1-2-3"},
    {"wk4", "application/vnd.lotus-1-2-3"},
    {"wks", "application/vnd.lotus-1-2-3"},
    {"wm", "video/x-ms-wm"},
    {"wma", "audio/x-ms-wma"},
    {"wmv", "video/x-ms-wmv"},
    {"wrl", "x-world/x-vrml"},
    {"wrz", "x-world/x-vrml"},
    {"wsc", "text/scriptlet"},
    {"wvx", "video/x-ms-wvx"},
    {"xbm", "image/x-xbitmap"},
    {"xls", "application/msexcel"},
    {"xm", "audio/x-mod"},
    {"xml", "application/xml"},
    {"xmz", "audio/x-mod"},
    {"xpm", "image/x-xpixmap"},
    {"xsl", "text/xml"},
    {"xwd", "image/x-xwindowdump"},
    {"z", "application/x-compress"},
    {"zip", "application/x-zip-compressed"},
    {"zlib", "application/x-deflate"},
    {nullptr, nullptr},
};

namespace {

const char kDefaultMediaType[] = "application/octet-stream";

// Blank in the sense of encoded words: blank, tab, CR or LF.
bool isWhite(unsigned char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

int hexValue(unsigned char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

int base64Value(unsigned char c) {
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return 0;  // '=' counts as 0
}

// The 24 bits of a group of four base64 characters, most significant first.
// The value of every byte in the base64 alphabet, kNotBase64 outside it and
// kBase64Pad for '=', so the decoder tests a byte with one load.
constexpr int kNotBase64 = -1;
constexpr int kBase64Pad = -2;
struct Base64Values {
    constexpr Base64Values() : m_Value() {
        for (int c = 0; c < 256; ++c) m_Value[c] = kNotBase64;
        for (int c = 'A'; c <= 'Z'; ++c) m_Value[c] = static_cast<signed char>(c - 'A');
        for (int c = 'a'; c <= 'z'; ++c) m_Value[c] = static_cast<signed char>(c - 'a' + 26);
        for (int c = '0'; c <= '9'; ++c) m_Value[c] = static_cast<signed char>(c - '0' + 52);
        m_Value['+'] = 62;
        m_Value['/'] = 63;
        m_Value['='] = kBase64Pad;
    }
    signed char m_Value[256];
};
constexpr Base64Values kBase64Values;

void decodeGroup(const char* four, unsigned char* out) {
    unsigned bits = 0;
    for (int i = 0; i < 4; ++i)
        bits =
            (bits << 6) | static_cast<unsigned>(base64Value(static_cast<unsigned char>(four[i])));
    out[0] = static_cast<unsigned char>(bits >> 16);
    out[1] = static_cast<unsigned char>(bits >> 8);
    out[2] = static_cast<unsigned char>(bits);
}

// The token's value after its first '=', unquoted; false when it has no '='
// or the value is empty.
bool parameterOf(const CVornString& token, CVornString& name, CVornString& value) {
    if (!token.SplitAt('=', name, value))
        return false;
    value.Unquote();
    return !value.IsEmpty();
}

// One half of a media type against the pattern's: an empty or "*" half on
// either side matches anything, otherwise equal without regard to case.
bool halfMatches(const std::string& a, const std::string& b) {
    if (a.empty() || b.empty() || a == "*" || b == "*")
        return true;
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

void removeTrailingSemicolon(CVornString& s) {
    if (s.EndsWith(';'))
        s.KeepLeft(s.Length() - 1);
}

// Decodes the text of a 'Q' word, unbounded (the caller bounds the text).
// False when a '=' is followed by a byte that is not a hex digit.
bool decodeQ(const char* text, int length, std::string& out) {
    out.clear();
    for (int i = 0; i < length; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '=') {
            int left = length - i - 1;
            if (left >= 1 && hexValue(static_cast<unsigned char>(text[i + 1])) < 0)
                return false;
            if (left >= 2 && hexValue(static_cast<unsigned char>(text[i + 2])) < 0)
                return false;
            if (left < 2)
                return true;  // an escape cut off at the end is dropped
            out += static_cast<char>(hexValue(static_cast<unsigned char>(text[i + 1])) * 16 +
                                     hexValue(static_cast<unsigned char>(text[i + 2])));
            i += 2;
        } else if (c == '_') {
            out += ' ';
        } else {
            out += static_cast<char>(c);
        }
    }
    return true;
}

// Decodes the text of a 'B' word, unbounded. False on a byte outside the
// alphabet (white space excepted) or a group with more than two '='.
bool decodeB(const char* text, int length, std::string& out) {
    out.clear();
    char group[4];
    int kept = 0;
    for (int i = 0; i < length; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (isWhite(c))
            continue;
        if (!IsBase64Char(c))
            return false;
        group[kept++] = static_cast<char>(c);
        if (kept == 4) {
            unsigned char bytes[3];
            int count = 0;
            if (!decodeBase64Quad(group, bytes, &count))
                return false;
            out.append(reinterpret_cast<const char*>(bytes), count);
            kept = 0;
        }
    }
    return true;  // an unfinished last group is dropped
}

// The code of an encoded word's charset name.
int charsetCodeOf(const std::string& charset) {
    CVornString name(charset.c_str(), CVornString::kUnlocked);
    if (name.Equals("ISO-2022-JP", 2))
        return kCharsetIso2022jp;
    char iso[24];
    for (int n = 1; n <= 15; ++n) {
        snprintf(iso, sizeof iso, "ISO-8859-%d", n);
        if (name.Equals(iso, 2))
            return n + 2;
    }
    return kCharsetUsAscii;  // "US-ASCII" and every other name
}

// Bytes that may not stand in an encoded word's charset (besides white space).
bool isCharsetSpecial(unsigned char c) {
    return c != 0 && strchr("(),./:;<=>@[]?", c) != nullptr;
}

constexpr size_t kMaxCharsetLength = 999;
constexpr size_t kMaxWordTextLength = 259;

// The output of DecodeEncodedWords: pieces are written whole or, once one
// does not fit, nothing more is written, so the result is always a prefix.
class WordOutput {
public:
    WordOutput(char* out, size_t capacity) : m_Out(out), m_Capacity(capacity) {}
    ~WordOutput() { m_Out[m_Length] = '\0'; }

    size_t Room() const { return m_Full ? 0 : m_Capacity - m_Length; }
    void Put(const char* bytes, size_t n) {
        if (m_Full)
            return;
        if (n > m_Capacity - m_Length) {
            m_Full = true;
            return;
        }
        memcpy(m_Out + m_Length, bytes, n);
        m_Length += n;
    }
    // As much as fits; the rest is cut off.
    void PutTruncated(const char* bytes, size_t n) {
        if (m_Full)
            return;
        size_t fit = n < Room() ? n : Room();
        Put(bytes, fit);
        if (fit < n)
            m_Full = true;
    }
    void Stop() { m_Full = true; }

private:
    char* m_Out;
    size_t m_Capacity;  // bytes of text, without the NUL
    size_t m_Length = 0;
    bool m_Full = false;
};

// One scanned encoded-word candidate.
struct Candidate {
    bool m_Complete = false;
    size_t m_Next = 0;      // where the scan goes on
    std::string m_Failed;   // what a failed candidate outputs
    std::string m_Charset;  // at most kMaxCharsetLength bytes
    char m_Letter = 'Q';
    std::string m_Text;  // at most kMaxWordTextLength bytes
};

// Scans the candidate whose '=' is at text[at]. letter is the previous
// candidate's letter and becomes this one's once it reaches its letter;
// *encoding follows it.
Candidate scanCandidate(const char* text, size_t length, size_t at, char& letter, char* encoding) {
    Candidate w;
    // Failure through the byte at j (or to the end of the text).
    auto fail = [&](size_t j) {
        size_t end = j < length ? j + 1 : length;
        w.m_Failed.assign(text + at, end - at);
        w.m_Next = end;
        return w;
    };
    size_t j = at + 1;
    if (j >= length || text[j] != '?')
        return fail(j);
    for (++j; j < length && text[j] != '?'; ++j) {
        unsigned char c = static_cast<unsigned char>(text[j]);
        if (isWhite(c) || isCharsetSpecial(c)) {
            w.m_Failed = "=?" + w.m_Charset + static_cast<char>(c);
            w.m_Next = j + 1;
            return w;
        }
        if (w.m_Charset.size() < kMaxCharsetLength)
            w.m_Charset += static_cast<char>(c);
    }
    if (j >= length)
        return fail(j);
    ++j;  // the '?' after the charset
    if (j >= length)
        return fail(j);
    char c = text[j];
    if (c == 'B' || c == 'b' || c == 'Q' || c == 'q') {
        ++j;
        if (j >= length || text[j] != '?')
            return fail(j);
        letter = (c == 'b' || c == 'B') ? 'B' : 'Q';
    } else if (c != '?') {
        return fail(j);
    }
    // A "??" keeps the previous candidate's letter.
    w.m_Letter = letter;
    if (encoding)
        *encoding = letter;
    for (++j; j < length && text[j] != '?'; ++j) {
        if (text[j] == ' ')
            return fail(j);
        if (w.m_Text.size() < kMaxWordTextLength)
            w.m_Text += text[j];
    }
    if (j >= length)
        return fail(j);
    ++j;  // the '?' after the text
    if (j >= length || text[j] != '=')
        return fail(j);
    w.m_Complete = true;
    w.m_Next = j + 1;
    return w;
}

}  // namespace

void ContentTypeForFile(const char* extension, CVornString& type) {
    if (extension && *extension) {
        CVornString lower(extension, CVornString::kUnlocked);
        lower.ToLower();
        const char* want = lower.CStr();
        for (const MimeTypeRow* row = g_MimeTypes; row->m_Extension; ++row) {
            if (strcmp(row->m_Extension, want) == 0) {
                type.Assign(row->m_MediaType);
                return;
            }
        }
    }
    type.Assign(kDefaultMediaType);
}

void ParsePartHeaders(const CVornString& headerText, CVornString& contentType, CVornString& charset,
                      CVornString& name, CVornString& fileName, CVornString& disposition,
                      CVornString& encoding, CVornString& boundary) {
    charset.Assign("us-ascii");
    encoding.Assign("7bit");
    name.Clear();
    boundary.Clear();

    CVornSplitter lines;
    lines.Split(headerText, "\r\n", 0);
    CVornSplitter tokens;
    CVornString line(CVornString::kUnlocked);
    CVornString field(CVornString::kUnlocked);
    CVornString value(CVornString::kUnlocked);
    CVornString token(CVornString::kUnlocked);
    CVornString parameter(CVornString::kUnlocked);
    CVornString parameterValue(CVornString::kUnlocked);
    const int lineCount = lines.Count();
    for (int i = 0; i < lineCount; ++i) {
        lines.GetAt(i, line);
        if (!line.SplitAt(':', field, value))
            continue;
        field.TrimRight(" \t\r\n");
        tokens.SplitQuoted(value, " \t\r\n;", 0, false);
        const int tokenCount = tokens.Count();
        if (tokenCount == 0)
            continue;
        const bool isType = field.Equals("Content-Type", 0);
        const bool isDisposition = field.Equals("Content-Disposition", 0);
        if (field.Equals("Content-Transfer-Encoding", 0)) {
            tokens.GetAt(0, encoding);
            continue;
        }
        if (!isType && !isDisposition)
            continue;
        tokens.GetAt(0, token);
        removeTrailingSemicolon(token);
        (isType ? contentType : disposition).Assign(token);
        for (int t = 1; t < tokenCount; ++t) {
            tokens.GetAt(t, token);
            if (!parameterOf(token, parameter, parameterValue))
                continue;
            if (parameter.Equals("name", 0)) {
                name.Assign(parameterValue);
            } else if (isType && parameter.Equals("charset", 0)) {
                charset.Assign(parameterValue);
            } else if (isType && parameter.Equals("boundary", 0)) {
                // Stored as the text of the line that separates the parts.
                boundary.Assign("--");
                boundary.Append(parameterValue);
            } else if (isDisposition && parameter.Equals("filename", 0)) {
                fileName.Assign(parameterValue);
            }
        }
    }
    if (contentType.Equals("text", 0))
        contentType.Assign("text/plain");
}

bool MimeTypeMatches(const CVornString& type, const char* pattern) {
    CVornString typeCopy(type, CVornString::kUnlocked);
    std::string t(typeCopy.CStr(), typeCopy.Length());
    std::string p(pattern ? pattern : "");
    size_t ts = t.find('/');
    size_t ps = p.find('/');
    std::string tMain = t.substr(0, ts), pMain = p.substr(0, ps);
    std::string tSub = ts == std::string::npos ? "" : t.substr(ts + 1);
    std::string pSub = ps == std::string::npos ? "" : p.substr(ps + 1);
    return halfMatches(tMain, pMain) && halfMatches(tSub, pSub);
}

bool IsBase64Char(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
           c == '/' || c == '=';
}

bool decodeBase64Quad(const char* four, unsigned char* out, int* count) {
    int padding = 0;
    for (int i = 0; i < 4; ++i) {
        unsigned char c = static_cast<unsigned char>(four[i]);
        if (!IsBase64Char(c))
            return false;
        if (c == '=')
            ++padding;
    }
    if (padding > 2)
        return false;
    decodeGroup(four, out);
    *count = 3 - padding;
    return true;
}

bool DecodeBase64(const CVornString& text, CVornString& out, CVornString& rest) {
    char group[4];
    int kept = 0;
    {
        // Read in place under the text's lock: the text is not copied.
        CVornStringPairLock both(text, out);
        out.Clear();
        const unsigned char* p = reinterpret_cast<const unsigned char*>(text.Data());
        const int n = text.Length();
        out.Reserve(n / 4 * 3 + 3);
        // Decoded bytes gather here and go to out in large appends.
        constexpr int kChunk = 4096;
        unsigned char chunk[kChunk];
        int used = 0;
        for (int i = 0; i < n;) {
            if (used > kChunk - 3) {
                out.Append(chunk, used);
                used = 0;
            }
            // The common case, four alphabet characters without padding in a
            // row, is decoded in one step.
            if (kept == 0 && i + 4 <= n) {
                int a = kBase64Values.m_Value[p[i]];
                int b = kBase64Values.m_Value[p[i + 1]];
                int c = kBase64Values.m_Value[p[i + 2]];
                int d = kBase64Values.m_Value[p[i + 3]];
                if ((a | b | c | d) >= 0) {
                    unsigned bits = static_cast<unsigned>(a << 18 | b << 12 | c << 6 | d);
                    chunk[used] = static_cast<unsigned char>(bits >> 16);
                    chunk[used + 1] = static_cast<unsigned char>(bits >> 8);
                    chunk[used + 2] = static_cast<unsigned char>(bits);
                    used += 3;
                    i += 4;
                    continue;
                }
            }
            unsigned char c = p[i++];
            if (kBase64Values.m_Value[c] == kNotBase64)
                continue;
            group[kept++] = static_cast<char>(c);
            if (kept < 4)
                continue;
            kept = 0;
            // Padding alone ("====", "A===") carries no byte.
            int padding = 0;
            for (char g : group) padding += g == '=';
            if (padding > 2)
                continue;
            decodeGroup(group, chunk + used);
            int count = 3;
            if (group[3] == '=')
                count = group[2] == '=' ? 1 : 2;
            used += count;
        }
        out.Append(chunk, used);
    }
    rest.Assign(group, kept);
    return true;
}

bool DecodeQuotedPrintable(const CVornString& text, CVornString& out) {
    CVornString source(text, CVornString::kUnlocked);
    const char* p = source.CStr();
    const int n = source.Length();
    std::string decoded;
    decoded.reserve(static_cast<size_t>(n) + 2);
    int lineStart = 0;
    while (lineStart < n) {
        const char* lf = static_cast<const char*>(memchr(p + lineStart, '\n', n - lineStart));
        int lineEnd = lf ? static_cast<int>(lf - p) : n;
        int next = lineEnd + 1;
        // The line without its trailing blanks, tabs and CR (RFC 2045 has
        // encoders add them and transports may too).
        while (lineEnd > lineStart && strchr(" \t\r\n", p[lineEnd - 1]) && p[lineEnd - 1] != '\0')
            --lineEnd;
        bool soft = lineEnd > lineStart && p[lineEnd - 1] == '=';
        for (int i = lineStart; i < lineEnd; ++i) {
            char c = p[i];
            if (c != '=') {
                decoded += c;
                continue;
            }
            if (lineEnd - i < 3)
                continue;  // an '=' without two bytes after it is dropped
            int high = hexValue(static_cast<unsigned char>(p[i + 1]));
            int low = hexValue(static_cast<unsigned char>(p[i + 2]));
            if (high < 0 || low < 0) {
                // Not an escape: kept as it stands, as RFC 2045 advises.
                decoded += c;
                continue;
            }
            decoded += static_cast<char>(high * 16 + low);
            i += 2;
        }
        if (!soft)
            decoded += "\r\n";
        lineStart = next;
    }
    out.Append(decoded.data(), static_cast<int>(decoded.size()));
    return true;
}

int DecodeQWord(const char* text, int length, char* out, int room) {
    std::string decoded;
    if (!text || length < 0 || !decodeQ(text, length, decoded))
        return -1;
    if (room <= 0 || !out)
        return 0;
    size_t fit = decoded.size() < static_cast<size_t>(room - 1) ? decoded.size()
                                                                : static_cast<size_t>(room - 1);
    memcpy(out, decoded.data(), fit);
    return static_cast<int>(fit);
}

int DecodeBWord(const char* text, int length, char* out, int room) {
    std::string decoded;
    if (!text || length < 0 || !decodeB(text, length, decoded))
        return -1;
    if (decoded.empty())
        return 0;
    if (room <= 0 || !out || decoded.size() > static_cast<size_t>(room - 1))
        return -1;
    memcpy(out, decoded.data(), decoded.size());
    return static_cast<int>(decoded.size());
}

bool DecodeEncodedWords(char* out, unsigned outSize, const char* text, int* charsetCode,
                        char* encoding, bool allowDoubleEquals) {
    if (outSize == 0 || !out)
        return false;
    if (charsetCode)
        *charsetCode = kCharsetNone;
    if (encoding)
        *encoding = 'Q';
    WordOutput output(out, outSize - 1);
    if (!text)
        return true;

    const size_t length = strlen(text);
    char letter = 'Q';
    bool afterWord = false;
    // White space after a decoded word, held back until we know whether
    // another word follows; it is a run of the input, so it needs no buffer.
    size_t heldStart = 0;
    size_t heldLength = 0;
    auto flushHeld = [&]() {
        output.Put(text + heldStart, heldLength);
        heldLength = 0;
        afterWord = false;
    };
    std::string decoded;
    size_t i = 0;
    while (i < length) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (isWhite(c)) {
            if (afterWord) {
                if (heldLength == 0)
                    heldStart = i;
                ++heldLength;
            } else {
                output.Put(text + i, 1);
            }
            ++i;
            continue;
        }
        if (c != '=') {
            flushHeld();
            output.Put(text + i, 1);
            ++i;
            continue;
        }
        if (allowDoubleEquals && i + 1 < length && text[i + 1] == '=') {
            // The first '=' of "==" is plain text; the second may open a word.
            flushHeld();
            output.Put(text + i, 1);
            ++i;
            continue;
        }
        Candidate w = scanCandidate(text, length, i, letter, encoding);
        i = w.m_Next;
        if (!w.m_Complete) {
            flushHeld();
            output.Put(w.m_Failed.data(), w.m_Failed.size());
            continue;
        }
        // Between two encoded words white space is not displayed.
        heldLength = 0;
        afterWord = true;
        if (charsetCode)
            *charsetCode = charsetCodeOf(w.m_Charset);
        const int textLength = static_cast<int>(w.m_Text.size());
        if (w.m_Letter == 'B') {
            if (!decodeB(w.m_Text.data(), textLength, decoded))
                continue;  // contributes nothing
            if (decoded.size() > output.Room())
                output.Stop();  // a word is never cut: the output ends before it
            else
                output.Put(decoded.data(), decoded.size());
        } else {
            if (!decodeQ(w.m_Text.data(), textLength, decoded))
                continue;
            output.PutTruncated(decoded.data(), decoded.size());
        }
    }
    flushHeld();
    return true;
}
