// LZ format engine: SZDD single-file compression (the files that the
// COMPRESS.EXE tools write and EXPAND.EXE reads, "name.ex_").
//
//   MakeLzEngine()   the engine (Kind kLz)
//   Recognises       the 8-byte signature "SZDD" 88 F0 27 33
//   Extract          the expanded bytes as one member; its name is left
//                    empty (the header keeps only the last character of the
//                    original name; the caller knows the container's name)
//
// Read only: the engines that rebuild are those whose formats the gateway
// edits in place; the walker hands a removal to the enclosing container.
//
// Format: 14-byte header (signature, method 'A', the missing name character,
// expanded size as 32-bit little-endian), then LZSS data: a flag byte whose
// bits, lowest first, say literal (1) or match (0); a match is two bytes
// holding a 12-bit window position and a length of 3 to 18. The 4096-byte
// window starts filled with blanks and writing starts at 4096 - 16.
//
// Bad input: data that ends before the declared size answers kDamaged (no
// member data); output beyond the declared size is not produced; the
// bounds of ExtractLimits hold while bytes are written.

#include <cstring>

#include "maker/formats/engine_support.h"

namespace maker {
namespace {

constexpr unsigned char kSignature[8] = {'S', 'Z', 'D', 'D', 0x88, 0xF0, 0x27, 0x33};
constexpr std::size_t kHeaderSize = 14;

class LzEngine final : public formats::ReadOnlyFormatEngine {
public:
    FormatKind Kind() const override { return FormatKind::kLz; }

    bool Recognises(const std::string&, const unsigned char* head,
                    std::size_t size) const override {
        return size >= 8 && std::memcmp(head, kSignature, 8) == 0;
    }

    FormatStatus Extract(const std::string& path, const std::string& tempDir,
                         const ExtractLimits& limits,
                         std::vector<Member>& members) const override {
        formats::MappedFile file;
        if (file.Open(path) != FormatStatus::kOk) return FormatStatus::kIoError;
        const unsigned char* data = file.Data();
        std::size_t size = file.Size();
        if (!Recognises(path, data, size)) return FormatStatus::kNotThisFormat;
        if (size < kHeaderSize) return FormatStatus::kDamaged;
        formats::ExtractBudget budget(limits);
        if (budget.AdmitMember(members.size()) != FormatStatus::kOk)
            return FormatStatus::kLimitExceeded;
        FormatStatus st = data[8] == 'A' ? FormatStatus::kOk : FormatStatus::kUnsupported;
        std::uint32_t expanded = formats::ReadLe32(data + 10);
        if (st == FormatStatus::kOk && expanded > limits.maxMemberBytes)
            st = FormatStatus::kLimitExceeded;
        formats::MemberWriter writer(tempDir, budget);
        if (st == FormatStatus::kOk) st = writer.Open();
        if (st == FormatStatus::kOk) st = Expand(data, size, expanded, writer);
        Member m;
        m.index = 0;
        if (st == FormatStatus::kOk) st = writer.Finish(m);
        if (st != FormatStatus::kOk) {
            writer.Discard();
            formats::AddFailedMember(members, "", 0, st);
            return st;
        }
        members.push_back(std::move(m));
        return FormatStatus::kOk;
    }


private:
    static FormatStatus Expand(const unsigned char* data, std::size_t size,
                               std::uint32_t expanded, formats::MemberWriter& writer) {
        unsigned char window[4096];
        std::memset(window, ' ', sizeof window);
        unsigned pos = 4096 - 16;
        std::string out;
        out.reserve(65536);
        std::uint64_t produced = 0;
        std::size_t in = kHeaderSize;
        auto emit = [&](unsigned char c) {
            window[pos] = c;
            pos = (pos + 1) & 4095;
            out.push_back(static_cast<char>(c));
            ++produced;
        };
        while (produced < expanded) {
            if (in >= size) return FormatStatus::kDamaged;
            unsigned flags = data[in++];
            for (int bit = 0; bit < 8 && produced < expanded; ++bit) {
                if (flags & (1u << bit)) {
                    if (in >= size) return FormatStatus::kDamaged;
                    emit(data[in++]);
                } else {
                    if (in + 2 > size) return FormatStatus::kDamaged;
                    unsigned from = data[in] | ((data[in + 1] & 0xF0u) << 4);
                    unsigned length = (data[in + 1] & 0x0Fu) + 3;
                    in += 2;
                    for (unsigned i = 0; i < length && produced < expanded; ++i)
                        emit(window[(from + i) & 4095]);
                }
            }
            if (out.size() >= 65536) {
                writer.SetStoredBytes(in);
                FormatStatus st = writer.Write(out.data(), out.size());
                if (st != FormatStatus::kOk) return st;
                out.clear();
            }
        }
        writer.SetStoredBytes(in);
        return writer.Write(out.data(), out.size());
    }
};

}  // namespace

std::unique_ptr<FormatEngine> MakeLzEngine() { return std::make_unique<LzEngine>(); }

}  // namespace maker
