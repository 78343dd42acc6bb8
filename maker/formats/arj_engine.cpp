// ARJ format engine: stored and compressed members of an ARJ archive.
//
//   MakeArjEngine()   the engine (Kind kArj)
//   Recognises        a main header (60 EA, a basic header of at most 2600
//                     bytes) at the start of the file
//   Extract           one member per file entry: method 0 copied, methods 1
//                     to 4 expanded (arj_decode.h); each member's CRC-32 is
//                     checked against its header
//
// Read only: our readers keep no writer of the format; the walker hands a
// removal to the enclosing container.
//
// Format: every header is 60 EA, the basic header's size (2; 0 ends the
// archive), the basic header, its CRC-32 (4), then extended headers (size
// 2, bytes, CRC-32 4) up to a size of 0. The basic header holds, from its
// start: its fixed part's size (1), versions and host (3), flags (1),
// method (1), file type (1), a reserved byte, time (4), compressed size
// (4), original size (4), original CRC-32 (4), ... then at the fixed
// part's end the name and comment, each NUL-ended. The compressed data
// follows the headers.
//
// Bad input: a header whose CRC fails, a size that runs past the end of the
// file, or a member whose expanded bytes do not match their CRC answers
// kDamaged (the member without data; a bad header ends the read). An
// encrypted ("garbled") member is kEncrypted, a member continued from
// another volume or of an unknown method kUnsupported; the read goes on.

#include <zlib.h>

#include "maker/formats/arj_decode.h"
#include "maker/formats/engine_support.h"

namespace maker {
namespace {

constexpr std::size_t kMaxBasicHeader = 2600;
constexpr unsigned kFlagGarbled = 0x01;
constexpr unsigned kFlagVolume = 0x04;
constexpr unsigned kFlagExtFile = 0x08;
constexpr unsigned kTypeBinary = 0, kTypeText = 1;

struct ArjHeader {
    std::size_t next = 0;      // offset after the headers (the data)
    bool end = false;          // the archive's end marker
    unsigned flags = 0;
    unsigned method = 0;
    unsigned type = 0;
    std::uint32_t packed = 0;
    std::uint32_t original = 0;
    std::uint32_t crc = 0;
    std::string name;
};

// Reads the header at pos. False when it is malformed or truncated.
bool ReadHeader(const unsigned char* data, std::size_t size, std::size_t pos, ArjHeader& h) {
    if (size < pos || size - pos < 4 || data[pos] != 0x60 || data[pos + 1] != 0xEA) return false;
    std::size_t basic = formats::ReadLe16(data + pos + 2);
    pos += 4;
    if (basic == 0) {
        h.end = true;
        h.next = pos;
        return true;
    }
    if (basic > kMaxBasicHeader || size - pos < basic + 4) return false;
    const unsigned char* b = data + pos;
    if (crc32(0, b, static_cast<uInt>(basic)) != formats::ReadLe32(b + basic)) return false;
    std::size_t fixed = b[0];
    if (fixed < 30 || fixed > basic) return false;
    h.flags = b[4];
    h.method = b[5];
    h.type = b[6];
    h.packed = formats::ReadLe32(b + 12);
    h.original = formats::ReadLe32(b + 16);
    h.crc = formats::ReadLe32(b + 20);
    std::size_t nameEnd = fixed;
    while (nameEnd < basic && b[nameEnd] != 0) ++nameEnd;
    h.name.assign(reinterpret_cast<const char*>(b + fixed), nameEnd - fixed);
    pos += basic + 4;
    for (;;) {  // extended headers
        if (size - pos < 2) return false;
        std::size_t ext = formats::ReadLe16(data + pos);
        pos += 2;
        if (ext == 0) break;
        if (size - pos < ext + 4) return false;
        pos += ext + 4;
    }
    h.next = pos;
    return true;
}

class ArjEngine final : public formats::ReadOnlyFormatEngine {
public:
    FormatKind Kind() const override { return FormatKind::kArj; }

    bool Recognises(const std::string&, const unsigned char* head,
                    std::size_t size) const override {
        return size >= 4 && head[0] == 0x60 && head[1] == 0xEA &&
               formats::ReadLe16(head + 2) <= kMaxBasicHeader && formats::ReadLe16(head + 2) > 0;
    }

    FormatStatus Extract(const std::string& path, const std::string& tempDir,
                         const ExtractLimits& limits,
                         std::vector<Member>& members) const override {
        formats::MappedFile file;
        if (file.Open(path) != FormatStatus::kOk) return FormatStatus::kIoError;
        const unsigned char* data = file.Data();
        std::size_t size = file.Size();
        if (!Recognises(path, data, size)) return FormatStatus::kNotThisFormat;
        ArjHeader main;
        if (!ReadHeader(data, size, 0, main) || main.end) return FormatStatus::kDamaged;
        formats::ExtractBudget budget(limits);
        FormatStatus result = FormatStatus::kOk;
        auto keep = [&](FormatStatus st) {
            if (result == FormatStatus::kOk) result = st;
        };
        std::size_t pos = main.next;
        for (std::size_t index = 0;; ++index) {
            ArjHeader h;
            if (pos == size) break;  // no end marker: accept as the end
            if (!ReadHeader(data, size, pos, h)) {
                keep(FormatStatus::kDamaged);
                break;
            }
            if (h.end) break;
            if (size - h.next < h.packed) {  // truncated data
                keep(FormatStatus::kDamaged);
                if (h.type == kTypeBinary || h.type == kTypeText)
                    formats::AddFailedMember(members, h.name, index, FormatStatus::kDamaged);
                break;
            }
            pos = h.next + h.packed;
            if (h.type != kTypeBinary && h.type != kTypeText) continue;
            if (budget.AdmitMember(members.size()) != FormatStatus::kOk) {
                keep(FormatStatus::kLimitExceeded);
                break;
            }
            FormatStatus st = ReadMember(data + h.next, h, tempDir, budget, index, members);
            keep(st);
            if (st == FormatStatus::kIoError || budget.Exhausted()) break;
        }
        return result;
    }


private:
    static FormatStatus ReadMember(const unsigned char* packed, const ArjHeader& h,
                                   const std::string& tempDir, formats::ExtractBudget& budget,
                                   std::size_t index, std::vector<Member>& members) {
        FormatStatus st = FormatStatus::kOk;
        if (h.flags & kFlagGarbled) st = FormatStatus::kEncrypted;
        else if (h.flags & (kFlagExtFile | kFlagVolume)) st = FormatStatus::kUnsupported;
        else if (h.method > 4) st = FormatStatus::kUnsupported;
        else if (h.original > budget.Limits().maxMemberBytes) st = FormatStatus::kLimitExceeded;
        else if (h.method == 0 && h.packed != h.original) st = FormatStatus::kDamaged;
        formats::MemberWriter writer(tempDir, budget);
        if (st == FormatStatus::kOk) st = writer.Open();
        uLong crc = crc32(0, Z_NULL, 0);
        if (st == FormatStatus::kOk) {
            writer.SetStoredBytes(h.packed);
            FormatStatus writeStatus = FormatStatus::kOk;
            auto sink = [&](const unsigned char* bytes, std::size_t n) {
                crc = crc32(crc, bytes, static_cast<uInt>(n));
                writeStatus = writer.Write(bytes, n);
                return writeStatus == FormatStatus::kOk;
            };
            if (h.method == 0) {
                sink(packed, h.packed);
                st = writeStatus;
            } else {
                switch (formats::ArjExpand(static_cast<int>(h.method), packed, h.packed,
                                           h.original, sink)) {
                    case formats::ArjExpandResult::kOk: break;
                    case formats::ArjExpandResult::kStopped: st = writeStatus; break;
                    case formats::ArjExpandResult::kUnsupported:
                        st = FormatStatus::kUnsupported;
                        break;
                    case formats::ArjExpandResult::kDamaged: st = FormatStatus::kDamaged; break;
                }
            }
            if (st == FormatStatus::kOk && crc != h.crc) st = FormatStatus::kDamaged;
        }
        Member m;
        m.name = h.name;
        m.index = index;
        if (st == FormatStatus::kOk) st = writer.Finish(m);
        if (st != FormatStatus::kOk) {
            writer.Discard();
            formats::AddFailedMember(members, h.name, index, st);
            return st;
        }
        members.push_back(std::move(m));
        return FormatStatus::kOk;
    }
};

}  // namespace

std::unique_ptr<FormatEngine> MakeArjEngine() { return std::make_unique<ArjEngine>(); }

}  // namespace maker
