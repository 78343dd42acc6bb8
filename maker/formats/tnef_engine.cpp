// TNEF format engine: the attachments of a "winmail.dat" stream.
//
//   MakeTnefEngine()   the engine (Kind kTnef)
//   Recognises         the signature 78 9F 3E 22 (0x223E9F78 little-endian)
//   Extract            one member per attachment that carries data
//                      (attAttachData), named by its attAttachTitle
//
// Read only: an attachment's bytes may also sit in its MAPI properties
// (attAttachment), so replacing attAttachData alone could leave the old
// bytes in the stream; rewriting safely would mean interpreting every
// property. The walker hands a removal to the enclosing container (the mail
// part that holds the stream).
//
// Format: signature (4), legacy key (2), then attributes: level (1: message
// 1, attachment 2), id (4: type in the high word), length (4), data,
// checksum (2). attAttachRendData opens a new attachment.
//
// Bad input: an attribute whose length runs past the end of the file or
// with an unknown level ends the read with kDamaged; attachments whose data
// was read before stay listed. Checksums are not relied on: a member's bytes
// are given to the scanner even when the writer computed them wrongly.

#include <algorithm>
#include <cstring>

#include "maker/formats/engine_support.h"

namespace maker {
namespace {

constexpr std::uint32_t kSignature = 0x223E9F78;
constexpr std::uint32_t kAttAttachRendData = 0x00069002;
constexpr std::uint32_t kAttAttachTitle = 0x00018010;
constexpr std::uint32_t kAttAttachData = 0x0006800F;
constexpr std::size_t kMaxTitle = 1024;

struct Attachment {
    std::string title;
    std::size_t dataOffset = 0;
    std::size_t dataLength = 0;
    bool hasData = false;
};

class TnefEngine final : public formats::ReadOnlyFormatEngine {
public:
    FormatKind Kind() const override { return FormatKind::kTnef; }

    bool Recognises(const std::string&, const unsigned char* head,
                    std::size_t size) const override {
        return size >= 4 && formats::ReadLe32(head) == kSignature;
    }

    FormatStatus Extract(const std::string& path, const std::string& tempDir,
                         const ExtractLimits& limits,
                         std::vector<Member>& members) const override {
        formats::MappedFile file;
        if (file.Open(path) != FormatStatus::kOk) return FormatStatus::kIoError;
        const unsigned char* data = file.Data();
        std::size_t size = file.Size();
        if (!Recognises(path, data, size)) return FormatStatus::kNotThisFormat;
        FormatStatus result = FormatStatus::kOk;
        std::vector<Attachment> attachments;
        std::size_t pos = 6;
        if (size < pos) result = FormatStatus::kDamaged;
        while (result == FormatStatus::kOk && pos < size) {
            if (size - pos < 9) {
                // A few line ends or NULs after the last attribute are
                // padding that mailers add; anything else is damage.
                for (; pos < size; ++pos)
                    if (data[pos] != '\r' && data[pos] != '\n' && data[pos] != 0)
                        result = FormatStatus::kDamaged;
                break;
            }
            unsigned level = data[pos];
            std::uint32_t id = formats::ReadLe32(data + pos + 1);
            std::uint32_t length = formats::ReadLe32(data + pos + 5);
            pos += 9;
            if ((level != 1 && level != 2) || length > size - pos || size - pos - length < 2) {
                result = FormatStatus::kDamaged;
                break;
            }
            if (id == kAttAttachRendData) {
                if (attachments.size() >= limits.maxMembers) {
                    result = FormatStatus::kLimitExceeded;
                    break;
                }
                attachments.emplace_back();
            } else if (level == 2 && id == kAttAttachTitle && !attachments.empty()) {
                std::size_t n = std::min<std::size_t>(length, kMaxTitle);
                std::string title(reinterpret_cast<const char*>(data + pos), n);
                title = title.c_str();  // the title ends at its NUL
                attachments.back().title = title;
            } else if (level == 2 && id == kAttAttachData) {
                if (attachments.empty()) attachments.emplace_back();
                Attachment& a = attachments.back();
                a.dataOffset = pos;
                a.dataLength = length;
                a.hasData = true;
            }
            pos += length + 2;
        }
        formats::ExtractBudget budget(limits);
        for (std::size_t i = 0; i < attachments.size(); ++i) {
            const Attachment& a = attachments[i];
            if (!a.hasData) continue;
            if (budget.AdmitMember(members.size()) != FormatStatus::kOk) {
                if (result == FormatStatus::kOk) result = FormatStatus::kLimitExceeded;
                break;
            }
            FormatStatus st = formats::WriteWholeMember(
                tempDir, budget, a.title, i,
                {reinterpret_cast<const char*>(data + a.dataOffset), a.dataLength}, a.dataLength,
                members);
            if (st != FormatStatus::kOk && result == FormatStatus::kOk) result = st;
            if (st == FormatStatus::kIoError || budget.Exhausted()) break;
        }
        return result;
    }

};

}  // namespace

std::unique_ptr<FormatEngine> MakeTnefEngine() { return std::make_unique<TnefEngine>(); }

}  // namespace maker
