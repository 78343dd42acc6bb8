#pragma once
// MIME messages as the decomposition component reads and rebuilds them.
//
// The parser finds every part a mail reader would show: nested multiparts
// and message/rfc822 parts at any depth up to kMaxMimeNesting, a last part
// whose closing boundary is missing (it runs to the end of its enclosing
// part), boundaries matched as whole delimiter lines (RFC 2046: "--" +
// boundary, optionally "--", then only blanks), the innermost boundary first
// so that one boundary reused at two levels still nests, RFC 2231 and
// RFC 2047 parameters, the default type of multipart/digest parts, and bare
// LF line ends. It records byte ranges of the original only.
//
//   ParseMime(message, maxParts, out)    leaf parts in reading order
//   LooksLikeMessage(head, size)         does a file start like a message?
//   DecodeBody(body, encoding)           base64 / quoted-printable / as is
//   PartName(part, index)                the part's label
//   RebuildMime(message, parse, edits, out)  the message with edits applied
//   DecodeEncodedWords(text)             RFC 2047
//   ParseParameters(value, type, params) RFC 2045 / RFC 2231 parameters
//
// A message/rfc822 part is a leaf here (its own parts are found when the
// walker opens it as a message of its own).
//
// Rebuild keeps every byte outside the edited parts: headers, trace fields,
// boundaries, preamble and epilogue. A replaced part keeps its header fields
// except Content-Type, Content-Disposition and Content-Transfer-Encoding,
// which are rewritten when its name or type changes (and only the
// encoding field when its bytes need another encoding); a removed part is
// dropped with its delimiter line. Removing the single body of a message
// that is not multipart empties it (a message keeps a body).
//
// Bad input: nothing is refused; malformed headers end the header block
// where a mail reader would end it, unknown encodings are read as they
// stand, and the bounds only stop the listing (tooMany, tooDeep).

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace rav {

constexpr int kMaxMimeNesting = 32;
constexpr std::size_t kNoPos = static_cast<std::size_t>(-1);

struct MimePart {
    std::size_t headerStart = 0;
    std::size_t headerEnd = 0;   // where the blank line (or the body) starts
    std::size_t bodyStart = 0;
    std::size_t bodyEnd = 0;     // before the line end that precedes the next delimiter
    std::size_t delimStart = kNoPos;  // the delimiter line introducing the part
    std::size_t nextDelim = kNoPos;   // the next delimiter line, kNoPos at the end
    std::string type;       // "text/plain", lower case
    std::string encoding;   // "base64", lower case, empty when absent
    std::string name;       // decoded file name, empty when none
    std::string disposition;  // "attachment", lower case, empty when absent
    std::string eol;        // "\r\n" or "\n", as the part's header ends its lines
    bool isMessage = false;
};

struct MimeParse {
    std::vector<MimePart> parts;
    bool tooMany = false;
    bool tooDeep = false;
};

struct MimeEdit {
    std::size_t index = 0;
    bool remove = false;
    std::string data;          // replace: the new bytes
    std::string newName;       // empty: keep
    std::string contentType;   // empty: keep
};

void ParseMime(std::string_view message, std::size_t maxParts, MimeParse& out);
bool LooksLikeMessage(const unsigned char* head, std::size_t size);
std::string DecodeBody(std::string_view body, const std::string& encoding);
std::string PartName(const MimePart& part, std::size_t index);
// False when an edit names no part.
bool RebuildMime(std::string_view message, const MimeParse& parse,
                 const std::vector<MimeEdit>& edits, std::string& out);
std::string DecodeEncodedWords(std::string_view text);
void ParseParameters(std::string_view value, std::string& type,
                     std::map<std::string, std::string>& params);

}  // namespace rav
