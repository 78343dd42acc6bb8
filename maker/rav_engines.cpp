// The identification engine, the MIME engine and the adapter that puts a
// maker::FormatEngine behind IRavEngine.
//
//   CIdEngine::Identify          magic bytes -> format name
//   CMimeEngine::Recognise       starts like a mail message
//   CMimeEngine::Extract         every leaf part decoded into a temp file
//   CMimeEngine::Rebuild         the message with parts replaced or dropped
//   CFormatEngineAdapter::*      calls through to the format engine
//   StatusToRavError             FormatStatus -> RAVERR_*
//
// Bad input: null arguments answer RAVERR_BAD_ARGUMENT; an unreadable file
// RAVERR_CANNOT_OPEN; a failed write RAVERR_IO (and no output file).

#include "maker/rav_engines.h"

#include <unistd.h>

#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "maker/mime_message.h"
#include "maker/rav_files.h"

namespace rav {

int32_t StatusToRavError(maker::FormatStatus status) {
    switch (status) {
        case maker::FormatStatus::kOk: return 0;
        case maker::FormatStatus::kNotThisFormat: return RAVERR_DAMAGED;
        case maker::FormatStatus::kDamaged: return RAVERR_DAMAGED;
        case maker::FormatStatus::kLimitExceeded: return RAVERR_LIMIT;
        case maker::FormatStatus::kEncrypted: return RAVERR_ENCRYPTED;
        case maker::FormatStatus::kUnsupported: return RAVERR_UNSUPPORTED;
        case maker::FormatStatus::kIoError: return RAVERR_IO;
    }
    return RAVERR_DAMAGED;
}

namespace {

// A message is read whole; a larger one is refused (RAVERR_LIMIT).
constexpr uint64_t kMaxMessageBytes = 512ull << 20;

bool StartsWith(const unsigned char* head, uint32_t size, uint32_t offset, const char* magic,
                uint32_t length) {
    return size >= offset + length && std::memcmp(head + offset, magic, length) == 0;
}


maker::ExtractLimits ToExtractLimits(const RavLimits* limits) {
    maker::ExtractLimits out;
    if (limits) {
        out.maxTotalBytes = limits->maxTotalBytes;
        out.maxMemberBytes = limits->maxMemberBytes;
        out.maxMembers = limits->maxMembers;
        out.maxRatio = limits->maxRatio;
        out.ratioFloorBytes = limits->ratioFloorBytes;
    }
    return out;
}

}  // namespace

const char* CIdEngine::Identify(const unsigned char* head, uint32_t size) {
    if (!head) return nullptr;
    if (StartsWith(head, size, 0, "PK\x03\x04", 4) || StartsWith(head, size, 0, "PK\x05\x06", 4))
        return "ZIP";
    if (StartsWith(head, size, 0, "\x1f\x8b", 2)) return "GZIP";
    if (StartsWith(head, size, 257, "ustar", 5)) return "TAR";
    if (size >= 7 && head[2] == '-' && head[3] == 'l' && (head[4] == 'h' || head[4] == 'z') &&
        head[6] == '-')
        return "LHA";
    if (StartsWith(head, size, 0, "MSCF", 4)) return "CAB";
    if (StartsWith(head, size, 0, "\x60\xea", 2)) return "ARJ";
    if (StartsWith(head, size, 0, "SZDD\x88\xf0\x27\x33", 8)) return "LZ";
    if (StartsWith(head, size, 0, "\x78\x9f\x3e\x22", 4)) return "TNEF";
    if (StartsWith(head, size, 0, "{\\rtf", 5)) return "RTF";
    return nullptr;
}

int32_t CMimeEngine::Recognise(const char*, const unsigned char* head, uint32_t size) {
    return head && LooksLikeMessage(head, size) ? 1 : 0;
}

int32_t CMimeEngine::Extract(const char* path, const char* tempDir, const RavLimits* limits,
                             IRavMemberList* members) {
    if (!path || !tempDir || !limits || !members) return RAVERR_BAD_ARGUMENT;
    if (!IsRegularFile(path)) return RAVERR_CANNOT_OPEN;
    std::string message;
    if (!ReadFileBounded(path, kMaxMessageBytes, message))
        return IsRegularFile(path) ? RAVERR_LIMIT : RAVERR_CANNOT_OPEN;
    MimeParse parse;
    ParseMime(message, limits->maxMembers, parse);
    uint64_t total = 0;
    for (std::size_t i = 0; i < parse.parts.size(); ++i) {
        const MimePart& part = parse.parts[i];
        std::string data = DecodeBody(
            std::string_view(message).substr(part.bodyStart, part.bodyEnd - part.bodyStart),
            part.encoding);
        std::string name = PartName(part, i);
        int32_t typeHint = part.isMessage ? RAV_TYPE_MESSAGE : -1;
        const char* formatHint = part.isMessage ? "MIME" : nullptr;
        if (data.size() > limits->maxMemberBytes ||
            total + data.size() > limits->maxTotalBytes) {
            members->AddMember(name.c_str(), nullptr, 0, static_cast<uint32_t>(i), RAVERR_LIMIT,
                               typeHint, formatHint);
            continue;
        }
        total += data.size();
        std::string file;
        int fd = MakeTempFile(tempDir, file);
        if (fd < 0) return RAVERR_IO;
        bool ok = WriteAll(fd, data);
        ok = close(fd) == 0 && ok;
        if (!ok) {
            unlink(file.c_str());
            return RAVERR_IO;
        }
        members->AddMember(name.c_str(), file.c_str(), data.size(), static_cast<uint32_t>(i), 0,
                           typeHint, formatHint);
    }
    if (parse.tooDeep) return RAVERR_DEPTH;
    if (parse.tooMany) return RAVERR_LIMIT;
    return 0;
}

int32_t CMimeEngine::Rebuild(const char* path, const RavMemberEdit* edits, uint32_t count,
                             const char* outPath, const RavLimits* limits) {
    if (!path || (!edits && count) || !outPath || !limits) return RAVERR_BAD_ARGUMENT;
    std::string message;
    if (!ReadFileBounded(path, kMaxMessageBytes, message)) return RAVERR_CANNOT_OPEN;
    MimeParse parse;
    ParseMime(message, limits->maxMembers, parse);
    std::vector<MimeEdit> mimeEdits;
    for (uint32_t i = 0; i < count; ++i) {
        MimeEdit edit;
        edit.index = edits[i].index;
        edit.remove = edits[i].remove != 0;
        if (!edit.remove) {
            if (!edits[i].dataFile ||
                !ReadFileBounded(edits[i].dataFile, limits->maxMemberBytes, edit.data))
                return RAVERR_IO;
            if (edits[i].newName) edit.newName = edits[i].newName;
            if (edits[i].contentType) edit.contentType = edits[i].contentType;
        }
        mimeEdits.push_back(std::move(edit));
    }
    std::string rebuilt;
    if (!RebuildMime(message, parse, mimeEdits, rebuilt)) return RAVERR_REBUILD;
    if (!WriteFileExclusive(outPath, rebuilt)) return RAVERR_IO;
    return 0;
}

CFormatEngineAdapter::CFormatEngineAdapter(std::unique_ptr<maker::FormatEngine> engine,
                                           const char* formatName, int32_t objectType)
    : m_Engine(std::move(engine)), m_FormatName(formatName), m_ObjectType(objectType) {}

int32_t CFormatEngineAdapter::Recognise(const char* path, const unsigned char* head,
                                        uint32_t size) {
    if (!path || !head) return 0;
    return m_Engine->Recognises(path, head, size) ? 1 : 0;
}

int32_t CFormatEngineAdapter::GetCapabilities() {
    return (m_Engine->CanReplaceMembers() ? RAV_CAN_REPLACE : 0) |
           (m_Engine->CanRemoveMembers() ? RAV_CAN_REMOVE : 0);
}

int32_t CFormatEngineAdapter::Extract(const char* path, const char* tempDir,
                                      const RavLimits* limits, IRavMemberList* members) {
    if (!path || !tempDir || !limits || !members) return RAVERR_BAD_ARGUMENT;
    std::vector<maker::Member> found;
    maker::FormatStatus status = m_Engine->Extract(path, tempDir, ToExtractLimits(limits), found);
    // A gzip file holds one stream: the member is that stream (type 6).
    int32_t typeHint = std::strcmp(m_FormatName, "GZIP") == 0 ? RAV_TYPE_GZIP : -1;
    for (const maker::Member& m : found) {
        members->AddMember(m.name.c_str(), m.dataFile.empty() ? nullptr : m.dataFile.c_str(),
                           m.size, static_cast<uint32_t>(m.index), StatusToRavError(m.status),
                           typeHint, nullptr);
    }
    return StatusToRavError(status);
}

int32_t CFormatEngineAdapter::Rebuild(const char* path, const RavMemberEdit* edits,
                                      uint32_t count, const char* outPath,
                                      const RavLimits* limits) {
    if (!path || (!edits && count) || !outPath || !limits) return RAVERR_BAD_ARGUMENT;
    std::vector<maker::MemberEdit> out;
    for (uint32_t i = 0; i < count; ++i) {
        maker::MemberEdit edit;
        edit.index = edits[i].index;
        edit.action = edits[i].remove ? maker::MemberEdit::Action::kRemove
                                      : maker::MemberEdit::Action::kReplace;
        if (edits[i].dataFile) edit.dataFile = edits[i].dataFile;
        if (edits[i].newName) edit.newName = edits[i].newName;
        out.push_back(std::move(edit));
    }
    maker::FormatStatus status = m_Engine->Rebuild(path, out, outPath, ToExtractLimits(limits));
    if (status == maker::FormatStatus::kOk) return 0;
    return RAVERR_REBUILD;
}

}  // namespace rav
