// UUE format engine: uuencoded blocks inside a text.
//
//   MakeUueEngine()   the engine (Kind kUue)
//   Recognises        a line "begin <octal mode> <name>" anywhere in the file
//   Extract           one member per block, named by its begin line
//   Rebuild           the text kept byte for byte around the edited blocks;
//                     a replaced block is encoded anew (same mode, line end
//                     and name unless newName is given), a removed block is
//                     dropped with its begin and end lines
//
// A block ends at its "end" line, or after its zero-length data line when
// no "end" line follows (mails cut or written without it).
//
// Bad input: a block without its zero-length line and "end" line (text
// ends inside its data), or with a line that is not
// uuencoding, is listed without data as kDamaged and makes Extract answer
// kDamaged; blocks after it are still read. A block past ExtractLimits is
// kLimitExceeded while it is written.

#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "maker/formats/engine_support.h"

namespace maker {
namespace {

using formats::ExtractBudget;
using formats::MappedFile;
using formats::MemberWriter;

constexpr std::size_t kMaxNameLength = 1024;

struct Line {
    std::size_t start = 0;   // first byte
    std::size_t end = 0;     // byte after the text, before CR/LF
    std::size_t next = 0;    // start of the following line
};

Line LineAt(std::string_view text, std::size_t pos) {
    Line l;
    l.start = pos;
    std::size_t nl = text.find('\n', pos);
    l.next = nl == std::string_view::npos ? text.size() : nl + 1;
    l.end = nl == std::string_view::npos ? text.size() : nl;
    if (l.end > l.start && text[l.end - 1] == '\r') --l.end;
    return l;
}

struct Block {
    std::size_t begin = 0;     // start of the begin line
    std::size_t after = 0;     // start of the line after "end" (or text end)
    std::string mode;
    std::string name;
    std::string eol;           // "\n" or "\r\n", as the begin line ends
    bool complete = false;     // "end" was found
    bool valid = true;         // every data line decoded
    std::size_t dataStart = 0; // first data line
    std::size_t dataEnd = 0;   // start of the "end" line
};

// "begin 644 name": mode of three or four octal digits, a non-empty name.
bool ParseBeginLine(std::string_view line, Block& b) {
    if (line.substr(0, 6) != "begin ") return false;
    std::size_t pos = 6;
    std::size_t digits = 0;
    while (pos < line.size() && line[pos] >= '0' && line[pos] <= '7') {
        ++pos;
        ++digits;
    }
    if (digits < 3 || digits > 4 || pos >= line.size() || line[pos] != ' ') return false;
    std::string_view name = line.substr(pos + 1);
    if (name.empty() || name.size() > kMaxNameLength) return false;
    b.mode = std::string(line.substr(6, digits));
    b.name = std::string(name);
    return true;
}

// Decodes one data line into out; false when it is not uuencoding. A line
// whose length byte promises more than it holds is refused, except that
// missing trailing blanks (stripped by mailers) count as zeros.
bool DecodeLine(std::string_view line, std::string& out) {
    if (line.empty()) return true;  // a blank line carries no bytes
    auto value = [](char c) { return static_cast<unsigned>((c - 0x20) & 0x3F); };
    for (char c : line)
        if (c < 0x20 || c > 0x60) return false;
    std::size_t count = value(line[0]);
    std::size_t groups = (count + 2) / 3;
    if (line.size() - 1 > groups * 4 + 2) {
        // Some encoders append a check character or two; more is not UUE.
        return false;
    }
    std::size_t produced = 0;
    for (std::size_t g = 0; g < groups; ++g) {
        unsigned v[4];
        for (int i = 0; i < 4; ++i) {
            std::size_t at = 1 + g * 4 + i;
            v[i] = at < line.size() ? value(line[at]) : 0;
        }
        unsigned char bytes[3] = {static_cast<unsigned char>((v[0] << 2) | (v[1] >> 4)),
                                  static_cast<unsigned char>((v[1] << 4) | (v[2] >> 2)),
                                  static_cast<unsigned char>((v[2] << 6) | v[3])};
        for (int i = 0; i < 3 && produced < count; ++i, ++produced)
            out.push_back(static_cast<char>(bytes[i]));
    }
    return true;
}

// Finds the blocks of text, at most limit + 1 of them.
std::vector<Block> FindBlocks(std::string_view text, std::size_t limit) {
    std::vector<Block> blocks;
    std::size_t pos = 0;
    while (pos < text.size() && blocks.size() <= limit) {
        Line l = LineAt(text, pos);
        Block b;
        if (!ParseBeginLine(text.substr(l.start, l.end - l.start), b)) {
            pos = l.next;
            continue;
        }
        b.begin = l.start;
        b.eol = (l.end < text.size() && text[l.end] == '\r') ? "\r\n" : "\n";
        b.dataStart = l.next;
        std::size_t p = l.next;
        while (p < text.size()) {
            Line d = LineAt(text, p);
            std::string_view body = text.substr(d.start, d.end - d.start);
            if (body == "end") {
                b.complete = true;
                b.dataEnd = d.start;
                b.after = d.next;
                break;
            }
            p = d.next;
            if (body == "`" || body == " ") {
                // The zero-length line ends the data; some writers (and
                // cut mails) leave out the "end" line that should follow.
                Line e = LineAt(text, p);
                bool endLine = p < text.size() && text.substr(e.start, e.end - e.start) == "end";
                b.complete = true;
                b.dataEnd = p;
                b.after = endLine ? e.next : p;
                break;
            }
        }
        if (!b.complete) {
            b.dataEnd = b.after = text.size();
        }
        blocks.push_back(std::move(b));
        pos = blocks.back().after;
    }
    return blocks;
}

bool HasBeginLine(std::string_view text) {
    std::size_t pos = 0;
    while ((pos = text.find("begin ", pos)) != std::string_view::npos) {
        if (pos == 0 || text[pos - 1] == '\n') {
            Block b;
            Line l = LineAt(text, pos);
            if (ParseBeginLine(text.substr(l.start, l.end - l.start), b)) return true;
        }
        pos += 6;
    }
    return false;
}

// Encodes bytes as data lines of 45 bytes, then the zero-length line.
std::string EncodeLines(std::string_view data, const std::string& eol) {
    auto enc = [](unsigned v) { return static_cast<char>(v == 0 ? '`' : v + 0x20); };
    std::string out;
    for (std::size_t pos = 0; pos < data.size(); pos += 45) {
        std::size_t n = std::min<std::size_t>(45, data.size() - pos);
        out.push_back(enc(static_cast<unsigned>(n)));
        for (std::size_t g = 0; g < n; g += 3) {
            unsigned char b[3] = {0, 0, 0};
            for (std::size_t i = 0; i < 3 && g + i < n; ++i)
                b[i] = static_cast<unsigned char>(data[pos + g + i]);
            out.push_back(enc(b[0] >> 2));
            out.push_back(enc(((b[0] & 3) << 4) | (b[1] >> 4)));
            out.push_back(enc(((b[1] & 15) << 2) | (b[2] >> 6)));
            out.push_back(enc(b[2] & 63));
        }
        out += eol;
    }
    out += "`" + eol;
    return out;
}

class UueEngine final : public FormatEngine {
public:
    FormatKind Kind() const override { return FormatKind::kUue; }

    bool Recognises(const std::string& path, const unsigned char* head,
                    std::size_t size) const override {
        if (HasBeginLine({reinterpret_cast<const char*>(head), size})) return true;
        MappedFile file;
        if (path.empty() || file.Open(path) != FormatStatus::kOk) return false;
        return HasBeginLine(file.View());
    }

    FormatStatus Extract(const std::string& path, const std::string& tempDir,
                         const ExtractLimits& limits,
                         std::vector<Member>& members) const override {
        MappedFile file;
        if (file.Open(path) != FormatStatus::kOk) return FormatStatus::kIoError;
        std::string_view text = file.View();
        std::vector<Block> blocks = FindBlocks(text, limits.maxMembers);
        if (blocks.empty()) return FormatStatus::kNotThisFormat;
        ExtractBudget budget(limits);
        FormatStatus result = FormatStatus::kOk;
        for (std::size_t i = 0; i < blocks.size(); ++i) {
            const Block& b = blocks[i];
            if (budget.AdmitMember(members.size()) != FormatStatus::kOk) {
                if (result == FormatStatus::kOk) result = FormatStatus::kLimitExceeded;
                break;
            }
            FormatStatus st = b.complete ? FormatStatus::kOk : FormatStatus::kDamaged;
            MemberWriter writer(tempDir, budget);
            if (st == FormatStatus::kOk) st = writer.Open();
            std::string chunk;
            for (std::size_t p = b.dataStart; st == FormatStatus::kOk && p < b.dataEnd;) {
                Line d = LineAt(text, p);
                p = d.next;
                std::string_view body = text.substr(d.start, d.end - d.start);
                chunk.clear();
                if (!DecodeLine(body, chunk)) {
                    st = FormatStatus::kDamaged;
                    break;
                }
                st = writer.Write(chunk.data(), chunk.size());
            }
            Member m;
            m.name = b.name;
            m.index = i;
            if (st == FormatStatus::kOk) st = writer.Finish(m);
            if (st != FormatStatus::kOk) {
                writer.Discard();
                formats::AddFailedMember(members, b.name, i, st);
                if (result == FormatStatus::kOk) result = st;
                if (budget.Exhausted()) break;
                continue;
            }
            members.push_back(std::move(m));
        }
        return result;
    }

    bool CanReplaceMembers() const override { return true; }
    bool CanRemoveMembers() const override { return true; }

    FormatStatus Rebuild(const std::string& path, const std::vector<MemberEdit>& edits,
                         const std::string& outPath,
                         const ExtractLimits& limits) const override {
        MappedFile file;
        if (file.Open(path) != FormatStatus::kOk) return FormatStatus::kIoError;
        std::string_view text = file.View();
        std::vector<Block> blocks = FindBlocks(text, limits.maxMembers);
        if (blocks.empty()) return FormatStatus::kNotThisFormat;
        for (const MemberEdit& e : edits)
            if (e.index >= blocks.size()) return FormatStatus::kUnsupported;
        formats::OutputFile out(outPath);
        if (out.Open() != FormatStatus::kOk) return FormatStatus::kIoError;
        std::size_t copied = 0;  // text up to here is written
        for (std::size_t i = 0; i < blocks.size(); ++i) {
            const MemberEdit* edit = formats::FindEdit(edits, i);
            if (edit == nullptr) continue;
            const Block& b = blocks[i];
            if (out.Write(text.substr(copied, b.begin - copied)) != FormatStatus::kOk)
                return FormatStatus::kIoError;
            copied = b.after;
            if (edit->action == MemberEdit::Action::kRemove) continue;
            std::string data;
            if (formats::ReadWholeFile(edit->dataFile, data) != FormatStatus::kOk)
                return FormatStatus::kIoError;
            std::string name = edit->newName.empty() ? b.name : edit->newName;
            // A line break in the name would end the begin line early.
            for (char& c : name)
                if (c == '\r' || c == '\n') c = '_';
            std::string block = "begin " + b.mode + " " + name + b.eol;
            block += EncodeLines(data, b.eol);
            block += "end" + b.eol;
            if (out.Write(block) != FormatStatus::kOk) return FormatStatus::kIoError;
        }
        if (out.Write(text.substr(copied)) != FormatStatus::kOk) return FormatStatus::kIoError;
        return out.Commit();
    }
};

}  // namespace

std::unique_ptr<FormatEngine> MakeUueEngine() { return std::make_unique<UueEngine>(); }

}  // namespace maker
