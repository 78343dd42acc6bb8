// MIME messages: parsing into byte ranges and rebuilding from them.
//
//   ParseMime          leaf parts of a message in reading order
//   LooksLikeMessage   a file that starts with mail header fields
//   DecodeBody         base64, quoted-printable, anything else as is
//   PartName           the part's decoded file name or "part<N>..."
//   RebuildMime        the original bytes with parts replaced or dropped
//   DecodeEncodedWords RFC 2047 encoded words (bytes kept, no conversion)
//   ParseParameters    type and parameters, RFC 2231 continuations
//
// Bad input never fails: see mime_message.h.

#include "maker/mime_message.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace rav {
namespace {

constexpr std::size_t kMaxHeaderLines = 10000;

struct Line {
    std::size_t start, end, next;  // content [start, end), next line at next
};

Line GetLine(std::string_view m, std::size_t pos) {
    std::size_t lf = m.find('\n', pos);
    Line line;
    line.start = pos;
    if (lf == std::string_view::npos) {
        line.end = line.next = m.size();
    } else {
        line.end = lf;
        line.next = lf + 1;
    }
    if (line.end > line.start && m[line.end - 1] == '\r') --line.end;
    return line;
}

std::string Lower(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r' ||
                          s.front() == '\n'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' ||
                          s.back() == '\n'))
        s.remove_suffix(1);
    return s;
}

bool OnlyBlanks(std::string_view s) {
    return std::all_of(s.begin(), s.end(), [](char c) { return c == ' ' || c == '\t'; });
}

// The innermost boundary of the stack that the line delimits, or -1.
int MatchBoundary(std::string_view line, const std::vector<std::string>& stack, bool& close) {
    if (line.size() < 2 || line[0] != '-' || line[1] != '-') return -1;
    for (int i = static_cast<int>(stack.size()) - 1; i >= 0; --i) {
        const std::string& b = stack[static_cast<std::size_t>(i)];
        if (line.size() < 2 + b.size() || line.compare(2, b.size(), b) != 0) continue;
        std::string_view rest = line.substr(2 + b.size());
        if (rest.size() >= 2 && rest[0] == '-' && rest[1] == '-' && OnlyBlanks(rest.substr(2))) {
            close = true;
            return i;
        }
        if (OnlyBlanks(rest)) {
            close = false;
            return i;
        }
    }
    return -1;
}

bool IsFieldNameChar(char c) {
    return c > 32 && c < 127 && c != ':';
}

struct Field {
    std::string name;  // lower case
    std::string value;
};

class Parser {
public:
    Parser(std::string_view m, std::size_t maxParts, MimeParse& out)
        : m_Message(m), m_MaxParts(maxParts), m_Out(out) {}

    // Parses the entity at pos; returns where it stopped: the start of a
    // line that matches a boundary of the stack, or the end.
    std::size_t Entity(std::size_t pos, int depth, std::size_t delimStart,
                       const std::string& defaultType, bool emit) {
        MimePart part;
        part.headerStart = pos;
        part.delimStart = delimStart;
        std::vector<Field> fields;
        std::size_t stop = kNoPos;
        bool first = true;
        std::size_t lines = 0;
        part.eol = "\r\n";
        bool eolKnown = false;
        for (;;) {
            if (pos >= m_Message.size()) {
                part.headerEnd = part.bodyStart = m_Message.size();
                stop = m_Message.size();
                break;
            }
            Line line = GetLine(m_Message, pos);
            std::string_view text = m_Message.substr(line.start, line.end - line.start);
            if (!eolKnown && line.next > line.end) {
                part.eol = (line.next - line.end == 2) ? "\r\n" : "\n";
                eolKnown = true;
            }
            bool close;
            if (MatchBoundary(text, m_Stack, close) >= 0) {
                part.headerEnd = part.bodyStart = pos;
                stop = pos;
                break;
            }
            if (text.empty()) {
                part.headerEnd = pos;
                part.bodyStart = line.next;
                break;
            }
            if ((text[0] == ' ' || text[0] == '\t') && !fields.empty()) {
                fields.back().value.append(" ").append(Trim(text));
            } else {
                std::size_t colon = text.find(':');
                bool valid = colon != std::string_view::npos && colon > 0 &&
                             std::all_of(text.begin(), text.begin() + static_cast<long>(colon),
                                         IsFieldNameChar);
                if (!valid) {
                    // An mbox "From " line may open the file; any other line
                    // that is not a field starts the body, as readers do.
                    if (!(first && text.substr(0, 5) == "From ")) {
                        part.headerEnd = part.bodyStart = pos;
                        break;
                    }
                } else {
                    fields.push_back({Lower(Trim(text.substr(0, colon))),
                                      std::string(Trim(text.substr(colon + 1)))});
                }
            }
            first = false;
            pos = line.next;
            if (++lines > kMaxHeaderLines) {
                part.headerEnd = part.bodyStart = pos;
                break;
            }
        }

        std::map<std::string, std::string> typeParams, dispParams;
        std::string type, disposition;
        for (const Field& f : fields) {
            if (f.name == "content-type" && type.empty()) {
                ParseParameters(f.value, type, typeParams);
            } else if (f.name == "content-transfer-encoding" && part.encoding.empty()) {
                part.encoding = Lower(Trim(f.value));
            } else if (f.name == "content-disposition" && disposition.empty()) {
                ParseParameters(f.value, disposition, dispParams);
                if (disposition.empty()) disposition = "attachment";
            }
        }
        if (type.empty() || type.find('/') == std::string::npos) type = defaultType;
        part.type = type;
        part.disposition = disposition;
        std::string name = dispParams.count("filename") ? dispParams["filename"] : "";
        if (name.empty() && typeParams.count("name")) name = typeParams["name"];
        part.name = DecodeEncodedWords(name);
        for (char& c : part.name)
            if (static_cast<unsigned char>(c) < 32 || c == 127) c = '_';

        if (stop != kNoPos) {  // the header ran into a boundary: no body
            part.bodyEnd = part.bodyStart;
            part.nextDelim = stop < m_Message.size() ? stop : kNoPos;
            Emit(part, emit);
            return stop;
        }

        bool identity = part.encoding.empty() || part.encoding == "7bit" ||
                        part.encoding == "8bit" || part.encoding == "binary";
        std::string boundary = typeParams.count("boundary") ? typeParams["boundary"] : "";
        if (type.rfind("multipart/", 0) == 0 && !boundary.empty()) {
            if (depth >= kMaxMimeNesting) {
                m_Out.tooDeep = true;
            } else {
                return Multipart(part.bodyStart, depth, boundary,
                                 type == "multipart/digest" ? "message/rfc822" : "text/plain",
                                 emit);
            }
        } else if (type == "message/rfc822" && identity) {
            part.isMessage = true;
            if (depth >= kMaxMimeNesting) {
                m_Out.tooDeep = true;
            } else {
                // The embedded message is parsed here only to find where it
                // ends (its own boundaries nest inside ours); its parts are
                // listed when the walker opens it.
                std::size_t end = Entity(part.bodyStart, depth + 1, kNoPos, "text/plain", false);
                Finish(part, end);
                Emit(part, emit);
                return end;
            }
        }
        std::size_t end = SkipToBoundary(part.bodyStart);
        Finish(part, end);
        Emit(part, emit);
        return end;
    }

private:
    std::size_t SkipToBoundary(std::size_t pos) {
        while (pos < m_Message.size()) {
            Line line = GetLine(m_Message, pos);
            bool close;
            if (m_Message[pos] == '-' &&
                MatchBoundary(m_Message.substr(line.start, line.end - line.start), m_Stack,
                              close) >= 0)
                return pos;
            pos = line.next;
        }
        return m_Message.size();
    }

    void Finish(MimePart& part, std::size_t stop) {
        std::size_t end = stop;
        if (stop < m_Message.size()) {
            // The line end before a delimiter belongs to the delimiter.
            if (end > part.bodyStart && m_Message[end - 1] == '\n') --end;
            if (end > part.bodyStart && m_Message[end - 1] == '\r') --end;
            part.nextDelim = stop;
        } else {
            part.nextDelim = kNoPos;
        }
        part.bodyEnd = std::max(end, part.bodyStart);
    }

    void Emit(const MimePart& part, bool emit) {
        if (!emit) return;
        if (m_Out.parts.size() >= m_MaxParts) {
            m_Out.tooMany = true;
            return;
        }
        m_Out.parts.push_back(part);
    }

    std::size_t Multipart(std::size_t pos, int depth, const std::string& boundary,
                          const std::string& childType, bool emit) {
        m_Stack.push_back(boundary);
        const int mine = static_cast<int>(m_Stack.size()) - 1;
        std::size_t result = m_Message.size();
        // Preamble: up to our first delimiter, or an outer boundary.
        std::size_t at = SkipToBoundary(pos);
        for (;;) {
            if (at >= m_Message.size()) {
                result = m_Message.size();
                break;
            }
            Line line = GetLine(m_Message, at);
            bool close = false;
            int level = MatchBoundary(m_Message.substr(line.start, line.end - line.start),
                                      m_Stack, close);
            if (level < mine) {  // an enclosing boundary: our closing line is missing
                result = at;
                break;
            }
            if (close) {
                // Epilogue: runs to the next enclosing boundary or the end.
                m_Stack.pop_back();
                return SkipToBoundary(line.next);
            }
            at = Entity(line.next, depth + 1, at, childType, emit);
        }
        m_Stack.pop_back();
        return result;
    }

    std::string_view m_Message;
    std::size_t m_MaxParts;
    MimeParse& m_Out;
    std::vector<std::string> m_Stack;
};

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string DecodeBase64(std::string_view in) {
    static int table[256];
    static bool ready = [] {
        std::fill(std::begin(table), std::end(table), -1);
        const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        for (int i = 0; i < 64; ++i) table[static_cast<unsigned char>(alphabet[i])] = i;
        return true;
    }();
    (void)ready;
    std::string out;
    out.reserve(in.size() / 4 * 3);
    uint32_t bits = 0;
    int count = 0;
    for (char c : in) {
        if (c == '=') break;
        int v = table[static_cast<unsigned char>(c)];
        if (v < 0) continue;
        bits = bits << 6 | static_cast<uint32_t>(v);
        if (++count == 4) {
            out.push_back(static_cast<char>(bits >> 16));
            out.push_back(static_cast<char>(bits >> 8 & 0xff));
            out.push_back(static_cast<char>(bits & 0xff));
            bits = 0;
            count = 0;
        }
    }
    if (count == 2) out.push_back(static_cast<char>(bits >> 4));
    if (count == 3) {
        out.push_back(static_cast<char>(bits >> 10));
        out.push_back(static_cast<char>(bits >> 2 & 0xff));
    }
    return out;
}

std::string DecodeQuotedPrintable(std::string_view in, bool underscoreSpace) {
    std::string out;
    out.reserve(in.size());
    for (std::size_t i = 0; i < in.size(); ++i) {
        char c = in[i];
        if (c == '=') {
            if (i + 1 < in.size() && in[i + 1] == '\n') {
                ++i;
                continue;
            }
            if (i + 2 < in.size() && in[i + 1] == '\r' && in[i + 2] == '\n') {
                i += 2;
                continue;
            }
            if (i + 2 < in.size() && HexValue(in[i + 1]) >= 0 && HexValue(in[i + 2]) >= 0) {
                out.push_back(static_cast<char>(HexValue(in[i + 1]) * 16 + HexValue(in[i + 2])));
                i += 2;
                continue;
            }
        }
        out.push_back(underscoreSpace && c == '_' ? ' ' : c);
    }
    return out;
}

std::string EncodeBase64(std::string_view in, const std::string& eol) {
    static const char* alphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    std::size_t column = 0;
    for (std::size_t i = 0; i < in.size(); i += 3) {
        uint32_t n = static_cast<unsigned char>(in[i]) << 16;
        if (i + 1 < in.size()) n |= static_cast<unsigned char>(in[i + 1]) << 8;
        if (i + 2 < in.size()) n |= static_cast<unsigned char>(in[i + 2]);
        if (column == 76) {
            out += eol;
            column = 0;
        }
        out.push_back(alphabet[n >> 18 & 63]);
        out.push_back(alphabet[n >> 12 & 63]);
        out.push_back(i + 1 < in.size() ? alphabet[n >> 6 & 63] : '=');
        out.push_back(i + 2 < in.size() ? alphabet[n & 63] : '=');
        column += 4;
    }
    return out;
}

std::string PercentDecode(std::string_view in) {
    std::string out;
    for (std::size_t i = 0; i < in.size(); ++i) {
        if (in[i] == '%' && i + 2 < in.size() &&
            HexValue(in[i + 1]) >= 0 && HexValue(in[i + 2]) >= 0) {
            out.push_back(static_cast<char>(HexValue(in[i + 1]) * 16 + HexValue(in[i + 2])));
            i += 2;
        } else {
            out.push_back(in[i]);
        }
    }
    return out;
}

// Text safe to carry unencoded: no NUL, no bare CR, lines up to 998 bytes.
bool IsTextSafe(std::string_view data) {
    std::size_t column = 0;
    for (std::size_t i = 0; i < data.size(); ++i) {
        char c = data[i];
        if (c == '\0') return false;
        if (c == '\r' && (i + 1 >= data.size() || data[i + 1] != '\n')) return false;
        if (c == '\n') {
            column = 0;
        } else if (++column > 998) {
            return false;
        }
    }
    return true;
}

bool IsAscii(std::string_view data) {
    return std::all_of(data.begin(), data.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 128; });
}

// name="value" or, for bytes outside printable ASCII, name*=utf-8''%XX.
std::string FormatParameter(const std::string& name, const std::string& value) {
    bool plain = std::all_of(value.begin(), value.end(), [](char c) {
        return c >= 32 && c < 127;
    });
    if (plain) {
        std::string out = name + "=\"";
        for (char c : value) {
            if (c == '"' || c == '\\') out.push_back('\\');
            out.push_back(c);
        }
        return out + "\"";
    }
    static const char* hex = "0123456789ABCDEF";
    std::string out = name + "*=utf-8''";
    for (unsigned char c : value) {
        if (std::isalnum(c) || c == '.' || c == '-' || c == '_') {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back('%');
            out.push_back(hex[c >> 4]);
            out.push_back(hex[c & 15]);
        }
    }
    return out;
}

bool IsTokenText(const std::string& s) {
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || std::strchr("/-+._", c);
    });
}

}  // namespace

void ParseMime(std::string_view message, std::size_t maxParts, MimeParse& out) {
    out = MimeParse();
    Parser parser(message, maxParts, out);
    parser.Entity(0, 0, kNoPos, "text/plain", true);
}

bool LooksLikeMessage(const unsigned char* head, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(head), size);
    static const char* const kFields[] = {"from",    "to",         "subject",
                                          "date",    "received",   "return-path",
                                          "message-id", "mime-version", "content-type",
                                          "sender",  "reply-to",   "delivered-to"};
    std::size_t pos = 0;
    bool first = true;
    int known = 0;
    while (pos < text.size()) {
        Line line = GetLine(text, pos);
        if (line.next >= text.size() && line.end == text.size() && pos > 0) break;  // cut line
        std::string_view s = text.substr(line.start, line.end - line.start);
        if (s.empty()) break;
        if (s[0] == ' ' || s[0] == '\t') {
            if (first) return false;
        } else if (first && s.substr(0, 5) == "From ") {
        } else {
            std::size_t colon = s.find(':');
            if (colon == std::string_view::npos || colon == 0 ||
                !std::all_of(s.begin(), s.begin() + static_cast<long>(colon), IsFieldNameChar))
                return false;
            std::string name = Lower(s.substr(0, colon));
            for (const char* f : kFields)
                if (name == f) ++known;
        }
        first = false;
        pos = line.next;
    }
    return known > 0;
}

std::string DecodeBody(std::string_view body, const std::string& encoding) {
    if (encoding == "base64") return DecodeBase64(body);
    if (encoding == "quoted-printable") return DecodeQuotedPrintable(body, false);
    return std::string(body);
}

std::string PartName(const MimePart& part, std::size_t index) {
    if (!part.name.empty()) return part.name;
    std::string name = "part" + std::to_string(index + 1);
    if (part.isMessage || part.type == "message/rfc822") return name + ".eml";
    if (part.type == "text/plain") return name + ".txt";
    if (part.type == "text/html") return name + ".htm";
    return name;
}

std::string DecodeEncodedWords(std::string_view text) {
    std::string out;
    std::size_t pos = 0;
    bool lastWasWord = false;
    std::size_t pendingSpace = 0, spaceStart = 0;
    while (pos < text.size()) {
        if (text.compare(pos, 2, "=?") == 0) {
            std::size_t q1 = text.find('?', pos + 2);
            std::size_t q2 = q1 == std::string_view::npos ? q1 : text.find('?', q1 + 1);
            std::size_t end = q2 == std::string_view::npos ? q2 : text.find("?=", q2 + 1);
            if (end != std::string_view::npos && q2 == q1 + 2) {
                char kind = static_cast<char>(std::toupper(static_cast<unsigned char>(text[q1 + 1])));
                std::string_view payload = text.substr(q2 + 1, end - q2 - 1);
                if (kind == 'B' || kind == 'Q') {
                    if (!lastWasWord && pendingSpace)
                        out.append(text.substr(spaceStart, pendingSpace));
                    out += kind == 'B' ? DecodeBase64(payload)
                                       : DecodeQuotedPrintable(payload, true);
                    pos = end + 2;
                    lastWasWord = true;
                    pendingSpace = 0;
                    continue;
                }
            }
        }
        char c = text[pos];
        if (c == ' ' || c == '\t') {
            if (!pendingSpace) spaceStart = pos;
            ++pendingSpace;
            ++pos;
            continue;
        }
        // Blanks between two encoded words vanish; elsewhere they stay.
        if (pendingSpace) out.append(text.substr(spaceStart, pendingSpace));
        pendingSpace = 0;
        out.push_back(c);
        lastWasWord = false;
        ++pos;
    }
    if (pendingSpace) out.append(text.substr(spaceStart, pendingSpace));
    return out;
}

void ParseParameters(std::string_view value, std::string& type,
                     std::map<std::string, std::string>& params) {
    params.clear();
    // Split at ';' outside quotes.
    std::vector<std::string> items;
    std::string current;
    bool quoted = false;
    for (std::size_t i = 0; i < value.size(); ++i) {
        char c = value[i];
        if (quoted && c == '\\' && i + 1 < value.size()) {
            current.push_back(c);
            current.push_back(value[++i]);
            continue;
        }
        if (c == '"') quoted = !quoted;
        if (c == ';' && !quoted) {
            items.push_back(current);
            current.clear();
        } else {
            current.push_back(c);
        }
    }
    items.push_back(current);
    type = Lower(Trim(items[0]));
    // name -> (section -> (extended, value)) for RFC 2231 continuations.
    std::map<std::string, std::map<int, std::pair<bool, std::string>>> sections;
    std::map<std::string, std::string> plain;
    for (std::size_t i = 1; i < items.size(); ++i) {
        std::string_view item = Trim(items[i]);
        std::size_t eq = item.find('=');
        if (eq == std::string_view::npos) continue;
        std::string name = Lower(Trim(item.substr(0, eq)));
        std::string_view raw = Trim(item.substr(eq + 1));
        std::string val;
        if (!raw.empty() && raw[0] == '"') {
            for (std::size_t k = 1; k < raw.size() && raw[k] != '"'; ++k) {
                if (raw[k] == '\\' && k + 1 < raw.size()) ++k;
                val.push_back(raw[k]);
            }
        } else {
            val = std::string(raw);
        }
        bool extended = !name.empty() && name.back() == '*';
        if (extended) name.pop_back();
        std::size_t star = name.find('*');
        if (star != std::string::npos) {
            std::string base = name.substr(0, star);
            std::string number = name.substr(star + 1);
            if (number.empty() || number.size() > 3 ||
                !std::all_of(number.begin(), number.end(), ::isdigit))
                continue;
            sections[base][std::stoi(number)] = {extended, val};
        } else if (extended) {
            sections[name][0] = {true, val};
        } else if (!plain.count(name)) {
            plain[name] = val;
        }
    }
    params = plain;
    for (auto& [name, parts] : sections) {
        std::string joined;
        bool firstPart = true;
        for (auto& [number, part] : parts) {
            std::string v = part.second;
            if (part.first) {
                if (firstPart) {
                    // charset'language'value
                    std::size_t a = v.find('\'');
                    std::size_t b = a == std::string::npos ? a : v.find('\'', a + 1);
                    if (b != std::string::npos) v = v.substr(b + 1);
                }
                v = PercentDecode(v);
            }
            joined += v;
            firstPart = false;
        }
        params[name] = joined;  // the RFC 2231 form wins over a plain one
    }
}

bool RebuildMime(std::string_view message, const MimeParse& parse,
                 const std::vector<MimeEdit>& edits, std::string& out) {
    struct Splice {
        std::size_t start, end;
        std::string text;
    };
    std::vector<Splice> splices;
    for (const MimeEdit& edit : edits) {
        if (edit.index >= parse.parts.size()) return false;
        const MimePart& part = parse.parts[edit.index];
        if (edit.remove && part.delimStart != kNoPos) {
            std::size_t end = part.nextDelim != kNoPos ? part.nextDelim : message.size();
            splices.push_back({part.delimStart, end, ""});
            continue;
        }
        // A replacement, or the removal of a body that has no delimiter.
        std::string data = edit.remove ? std::string() : edit.data;
        std::string newName = edit.newName;
        std::string newType = edit.contentType;
        if (edit.remove && part.type != "text/plain") newType = "text/plain";
        bool relabel = !newName.empty() || !newType.empty();

        bool identity = part.encoding.empty() || part.encoding == "7bit" ||
                        part.encoding == "8bit" || part.encoding == "binary";
        std::string encoding;  // empty: keep the header's encoding field
        if (part.encoding == "base64") {
        } else if (identity && IsTextSafe(data) &&
                   (part.isMessage || part.encoding == "8bit" || part.encoding == "binary" ||
                    IsAscii(data))) {
        } else {
            encoding = "base64";
        }
        bool asBase64 = part.encoding == "base64" || encoding == "base64";
        std::string body = asBase64 ? EncodeBase64(data, part.eol) : data;

        if (!relabel && encoding.empty()) {
            splices.push_back({part.bodyStart, part.bodyEnd, body});
            continue;
        }
        // Rewrite the three content fields; every other field stays as it is.
        std::string header;
        std::size_t pos = part.headerStart;
        bool dropping = false;
        while (pos < part.headerEnd) {
            Line line = GetLine(message, pos);
            std::string_view text = message.substr(line.start, line.end - line.start);
            std::string_view raw = message.substr(pos, line.next - pos);
            if (!text.empty() && (text[0] == ' ' || text[0] == '\t')) {
                if (!dropping) header.append(raw);
            } else {
                std::string name = Lower(Trim(text.substr(0, text.find(':'))));
                dropping = name == "content-transfer-encoding" ||
                           (relabel && (name == "content-type" || name == "content-disposition"));
                if (!dropping) header.append(raw);
            }
            pos = line.next;
        }
        if (!header.empty() && header.back() != '\n') header += part.eol;
        if (relabel) {
            std::string type = IsTokenText(newType) ? newType : part.type;
            std::string name = newName.empty() ? part.name : newName;
            for (char& c : name)
                if (static_cast<unsigned char>(c) < 32 || c == 127) c = '_';
            header += "Content-Type: " + type;
            if (!name.empty()) header += "; " + FormatParameter("name", name);
            header += part.eol;
            if (!part.disposition.empty() || !name.empty()) {
                std::string disposition =
                    IsTokenText(part.disposition) ? part.disposition : "attachment";
                header += "Content-Disposition: " + disposition;
                if (!name.empty()) header += "; " + FormatParameter("filename", name);
                header += part.eol;
            }
        }
        header += "Content-Transfer-Encoding: " +
                  (asBase64 ? std::string("base64") : part.encoding.empty() ? "7bit" : part.encoding) +
                  part.eol;
        header += part.eol;  // the blank line
        splices.push_back({part.headerStart, part.bodyEnd, header + body});
    }
    std::sort(splices.begin(), splices.end(),
              [](const Splice& a, const Splice& b) { return a.start < b.start; });
    out.clear();
    std::size_t at = 0;
    for (const Splice& s : splices) {
        if (s.start < at) return false;  // two edits of one part
        out.append(message.substr(at, s.start - at));
        out.append(s.text);
        at = s.end;
    }
    out.append(message.substr(at));
    return true;
}

}  // namespace rav
