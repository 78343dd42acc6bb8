// RTF format engine: the embedded objects of a rich-text document.
//
//   MakeRtfEngine()   the engine (Kind kRtf)
//   Recognises        the text starts with "{\rtf"
//   Extract           one member per "\objdata" group: for a "Package"
//                     object the packaged file (named by its label), for
//                     any other object its native data (named by its class)
//
// Read only: an edited object would have to be re-encoded inside the
// document's groups; the walker hands a removal to the enclosing container.
//
// Format: \objdata holds hexadecimal digits (blanks, line breaks and
// control words between them are ignored; \binN gives N raw bytes) giving
// an OLE1 object: version (4), format (4: 2 embedded), class, topic and
// item names (each a 32-bit length then bytes), native data size (4) and
// the native data. A Package's
// native data is: 2 bytes, label (NUL-ended), source path (NUL-ended), 2
// bytes, type (2: 3 an embedded file), temporary path (32-bit length then
// bytes), data size (4), data.
//
// Bad input: an object whose header or sizes run past its decoded bytes is
// listed without data as kDamaged; the hexadecimal text is decoded only up
// to the member bound (past it: kLimitExceeded).

#include <algorithm>
#include <cstring>

#include "maker/formats/engine_support.h"

namespace maker {
namespace {

constexpr std::size_t kMaxNameLength = 1024;

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool IsLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// Decodes the hexadecimal text of an \objdata group starting at pos (after
// the control word) up to the group's closing brace. False when more than
// bound bytes would result.
bool DecodeObjdata(std::string_view text, std::size_t pos, std::uint64_t bound, std::string& out,
                   std::size_t& end) {
    int depth = 0;
    int high = -1;
    for (; pos < text.size(); ++pos) {
        char c = text[pos];
        if (c == '{') {
            ++depth;
        } else if (c == '}') {
            if (depth-- == 0) break;
        } else if (c == '\\') {
            // A control word (letters, an optional number, one blank) or a
            // control symbol carries no object bytes.
            std::size_t p = pos + 1;
            if (p < text.size() && IsLetter(text[p])) {
                std::size_t word = p;
                while (p < text.size() && IsLetter(text[p])) ++p;
                std::string_view name = text.substr(word, p - word);
                if (p < text.size() && text[p] == '-') ++p;
                std::uint64_t number = 0;
                while (p < text.size() && text[p] >= '0' && text[p] <= '9') {
                    number = std::min<std::uint64_t>(number * 10 + (text[p] - '0'), 1ull << 40);
                    ++p;
                }
                if (p < text.size() && text[p] == ' ') ++p;
                if (name == "bin") {
                    // \binN: the next N bytes are object bytes as they stand.
                    std::uint64_t n = std::min<std::uint64_t>(number, text.size() - p);
                    if (out.size() + n > bound) return false;
                    out.append(text.substr(p, n));
                    p += n;
                }
                pos = p - 1;
            } else {
                pos = p;
            }
        } else {
            int v = HexValue(c);
            if (v < 0) continue;
            if (high < 0) {
                high = v;
            } else {
                if (out.size() >= bound) return false;
                out.push_back(static_cast<char>((high << 4) | v));
                high = -1;
            }
        }
    }
    end = pos;
    return true;
}

struct Reader {
    std::string_view data;
    std::size_t pos = 0;
    bool ok = true;
    std::uint32_t U32() {
        if (data.size() - pos < 4) {
            ok = false;
            return 0;
        }
        std::uint32_t v =
            formats::ReadLe32(reinterpret_cast<const unsigned char*>(data.data() + pos));
        pos += 4;
        return v;
    }
    std::uint16_t U16() {
        if (data.size() - pos < 2) {
            ok = false;
            return 0;
        }
        std::uint16_t v =
            formats::ReadLe16(reinterpret_cast<const unsigned char*>(data.data() + pos));
        pos += 2;
        return v;
    }
    std::string_view Bytes(std::uint64_t n) {
        if (data.size() - pos < n) {
            ok = false;
            return {};
        }
        std::string_view v = data.substr(pos, n);
        pos += n;
        return v;
    }
    std::string CString() {
        std::size_t nul = data.find('\0', pos);
        if (nul == std::string_view::npos) {
            ok = false;
            return {};
        }
        std::string v(data.substr(pos, std::min(nul - pos, kMaxNameLength)));
        pos = nul + 1;
        return v;
    }
    std::string LengthString() {
        std::string_view v = Bytes(U32());
        std::string s(v.substr(0, std::min(v.size(), kMaxNameLength)));
        return s.c_str();  // the stored length counts the NUL
    }
};

// The member of one OLE1 object: its name and bytes (a view into object).
bool ParseObject(std::string_view object, std::string& name, std::string_view& bytes) {
    Reader r{object};
    r.U32();  // OLE version
    std::uint32_t format = r.U32();
    std::string className = r.LengthString();
    r.LengthString();  // topic
    r.LengthString();  // item
    if (!r.ok || format != 2) return false;
    std::string_view native = r.Bytes(r.U32());
    if (!r.ok) return false;
    name = className;
    bytes = native;
    if (className != "Package") return true;
    Reader p{native};
    p.U16();
    std::string label = p.CString();
    p.CString();  // source path
    p.U16();
    std::uint16_t type = p.U16();
    p.Bytes(p.U32());  // temporary path
    std::string_view file = p.Bytes(p.U32());
    if (!p.ok || type != 3) return true;  // not an embedded file: keep the native data
    name = label;
    bytes = file;
    return true;
}

class RtfEngine final : public formats::ReadOnlyFormatEngine {
public:
    FormatKind Kind() const override { return FormatKind::kRtf; }

    bool Recognises(const std::string&, const unsigned char* head,
                    std::size_t size) const override {
        return size >= 5 && std::memcmp(head, "{\\rtf", 5) == 0;
    }

    FormatStatus Extract(const std::string& path, const std::string& tempDir,
                         const ExtractLimits& limits,
                         std::vector<Member>& members) const override {
        formats::MappedFile file;
        if (file.Open(path) != FormatStatus::kOk) return FormatStatus::kIoError;
        if (!Recognises(path, file.Data(), file.Size())) return FormatStatus::kNotThisFormat;
        std::string_view text = file.View();
        formats::ExtractBudget budget(limits);
        FormatStatus result = FormatStatus::kOk;
        auto keep = [&](FormatStatus st) {
            if (result == FormatStatus::kOk) result = st;
        };
        // Room for the object's own header around the member's bytes.
        const std::uint64_t bound = limits.maxMemberBytes + 64 * 1024;
        std::size_t index = 0;
        for (std::size_t pos = 0; (pos = text.find("\\objdata", pos)) != std::string_view::npos;
             ++index) {
            pos += 8;
            if (pos < text.size() && IsLetter(text[pos])) continue;  // another word
            if (budget.AdmitMember(members.size()) != FormatStatus::kOk) {
                keep(FormatStatus::kLimitExceeded);
                break;
            }
            std::string object;
            std::size_t end = pos;
            if (!DecodeObjdata(text, pos, bound, object, end)) {
                formats::AddFailedMember(members, "", index, FormatStatus::kLimitExceeded);
                keep(FormatStatus::kLimitExceeded);
                break;
            }
            pos = end;
            std::string name;
            std::string_view bytes;
            if (!ParseObject(object, name, bytes)) {
                formats::AddFailedMember(members, "", index, FormatStatus::kDamaged);
                keep(FormatStatus::kDamaged);
                continue;
            }
            FormatStatus st = formats::WriteWholeMember(tempDir, budget, name, index, bytes,
                                                        bytes.size(), members);
            keep(st);
            if (st == FormatStatus::kIoError || budget.Exhausted()) break;
        }
        return result;
    }

};

}  // namespace

std::unique_ptr<FormatEngine> MakeRtfEngine() { return std::make_unique<RtfEngine>(); }

}  // namespace maker
