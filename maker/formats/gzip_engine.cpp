// GZIP format engine: one gzip stream, one member.
//
//   MakeGzipEngine()   the engine (Kind kGzip)
//   Recognises         magic 1f 8b and method 8 (deflate)
//   Extract            the inflated bytes as one member named by the
//                      header's FNAME (empty when absent: the caller derives
//                      a name from the container's); concatenated streams
//                      continue the same member, as gzip -d does
//   Rebuild            replace: the new bytes deflated under the original
//                      header's time and system (FNAME from newName when
//                      given); remove: an empty stream with the same header;
//                      no edit: the input copied as it is
//
// Bad input: a truncated stream, a CRC or length mismatch, or data that is
// no deflate stream answer kDamaged and list the member without data; a
// stream that expands past ExtractLimits answers kLimitExceeded while it is
// being written. Bytes after a complete stream that are not a further gzip
// stream are ignored (as gzip does with trailing zeros).

#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include "maker/formats/engine_support.h"

namespace maker {
namespace {

using formats::ExtractBudget;
using formats::MappedFile;
using formats::MemberWriter;

constexpr unsigned char kFlagHeaderCrc = 0x02;
constexpr unsigned char kFlagExtra = 0x04;
constexpr unsigned char kFlagName = 0x08;
constexpr unsigned char kFlagComment = 0x10;
constexpr std::size_t kMaxHeaderText = 4096;  // FNAME, FCOMMENT

struct GzipHeader {
    std::string name;
    std::uint32_t mtime = 0;
    unsigned char os = 255;
    std::size_t length = 0;  // bytes up to the deflate data
};

// Reads a header at data[0..size). False when it is not a complete gzip header.
bool ParseHeader(const unsigned char* data, std::size_t size, GzipHeader& h) {
    if (size < 10 || data[0] != 0x1F || data[1] != 0x8B || data[2] != 8) return false;
    unsigned char flags = data[3];
    if (flags & 0xE0) return false;  // reserved bits
    h.mtime = formats::ReadLe32(data + 4);
    h.os = data[9];
    std::size_t pos = 10;
    if (flags & kFlagExtra) {
        if (pos + 2 > size) return false;
        pos += 2 + formats::ReadLe16(data + pos);
        if (pos > size) return false;
    }
    auto text = [&](std::string* out) {
        std::size_t start = pos;
        while (pos < size && data[pos] != 0) {
            if (pos - start >= kMaxHeaderText) return false;
            ++pos;
        }
        if (pos >= size) return false;
        if (out) out->assign(reinterpret_cast<const char*>(data + start), pos - start);
        ++pos;
        return true;
    };
    if ((flags & kFlagName) && !text(&h.name)) return false;
    if ((flags & kFlagComment) && !text(nullptr)) return false;
    if (flags & kFlagHeaderCrc) pos += 2;
    if (pos > size) return false;
    h.length = pos;
    return true;
}

class GzipEngine final : public FormatEngine {
public:
    FormatKind Kind() const override { return FormatKind::kGzip; }

    bool Recognises(const std::string&, const unsigned char* head,
                    std::size_t size) const override {
        return size >= 3 && head[0] == 0x1F && head[1] == 0x8B && head[2] == 8;
    }

    FormatStatus Extract(const std::string& path, const std::string& tempDir,
                         const ExtractLimits& limits,
                         std::vector<Member>& members) const override {
        MappedFile file;
        if (file.Open(path) != FormatStatus::kOk) return FormatStatus::kIoError;
        GzipHeader header;
        if (!ParseHeader(file.Data(), file.Size(), header)) {
            bool magic = file.Size() >= 3 && Recognises(path, file.Data(), file.Size());
            return magic ? FormatStatus::kDamaged : FormatStatus::kNotThisFormat;
        }
        ExtractBudget budget(limits);
        if (budget.AdmitMember(members.size()) != FormatStatus::kOk)
            return FormatStatus::kLimitExceeded;
        MemberWriter writer(tempDir, budget);
        FormatStatus st = writer.Open();
        if (st == FormatStatus::kOk) st = Inflate(file, header.length, writer);
        Member m;
        m.name = header.name;
        m.index = 0;
        if (st == FormatStatus::kOk) st = writer.Finish(m);
        if (st != FormatStatus::kOk) {
            writer.Discard();
            formats::AddFailedMember(members, header.name, 0, st);
            return st;
        }
        members.push_back(std::move(m));
        return FormatStatus::kOk;
    }

    bool CanReplaceMembers() const override { return true; }
    bool CanRemoveMembers() const override { return true; }

    FormatStatus Rebuild(const std::string& path, const std::vector<MemberEdit>& edits,
                         const std::string& outPath, const ExtractLimits&) const override {
        MappedFile file;
        if (file.Open(path) != FormatStatus::kOk) return FormatStatus::kIoError;
        GzipHeader header;
        if (!ParseHeader(file.Data(), file.Size(), header)) return FormatStatus::kNotThisFormat;
        for (const MemberEdit& e : edits)
            if (e.index != 0) return FormatStatus::kUnsupported;
        const MemberEdit* edit = formats::FindEdit(edits, 0);
        formats::OutputFile out(outPath);
        if (out.Open() != FormatStatus::kOk) return FormatStatus::kIoError;
        FormatStatus st;
        if (edit == nullptr) {
            st = out.Write(file.Data(), file.Size());
        } else {
            std::string name = header.name;
            if (edit->action == MemberEdit::Action::kReplace && !edit->newName.empty())
                name = edit->newName;
            st = WriteStream(out, header, name,
                             edit->action == MemberEdit::Action::kReplace ? edit->dataFile
                                                                         : std::string());
        }
        if (st != FormatStatus::kOk) return st;
        return out.Commit();
    }

private:
    // Inflates from data offset `start` to the end of the last concatenated
    // stream into writer.
    static FormatStatus Inflate(const MappedFile& file, std::size_t start, MemberWriter& writer) {
        z_stream zs{};
        if (inflateInit2(&zs, -MAX_WBITS) != Z_OK) return FormatStatus::kIoError;
        const unsigned char* data = file.Data();
        std::size_t size = file.Size();
        std::size_t pos = start;
        unsigned char out[65536];
        FormatStatus st = FormatStatus::kOk;
        for (;;) {
            uLong crc = crc32(0, Z_NULL, 0);
            std::uint64_t length = 0;
            int rc = Z_OK;
            while (rc != Z_STREAM_END) {
                std::size_t chunk = std::min<std::size_t>(size - pos, 1u << 20);
                zs.next_in = const_cast<Bytef*>(data + pos);
                zs.avail_in = static_cast<uInt>(chunk);
                zs.next_out = out;
                zs.avail_out = sizeof out;
                rc = inflate(&zs, Z_NO_FLUSH);
                std::size_t used = chunk - zs.avail_in;
                pos += used;
                std::size_t produced = sizeof out - zs.avail_out;
                if (rc != Z_OK && rc != Z_STREAM_END) {
                    st = FormatStatus::kDamaged;
                    break;
                }
                if (produced == 0 && used == 0) {  // input ended inside the stream
                    st = FormatStatus::kDamaged;
                    break;
                }
                crc = crc32(crc, out, static_cast<uInt>(produced));
                length += produced;
                writer.SetStoredBytes(pos - start);
                st = writer.Write(out, produced);
                if (st != FormatStatus::kOk) break;
            }
            if (st != FormatStatus::kOk) break;
            if (size - pos < 8 || formats::ReadLe32(data + pos) != crc ||
                formats::ReadLe32(data + pos + 4) != static_cast<std::uint32_t>(length)) {
                st = FormatStatus::kDamaged;
                break;
            }
            pos += 8;
            GzipHeader next;
            if (!ParseHeader(data + pos, size - pos, next)) break;  // trailing bytes
            pos += next.length;
            inflateReset(&zs);
        }
        inflateEnd(&zs);
        return st;
    }

    // A whole gzip stream of the bytes of dataFile (none when empty).
    static FormatStatus WriteStream(formats::OutputFile& out, const GzipHeader& header,
                                    const std::string& name, const std::string& dataFile) {
        std::string head;
        head += "\x1f\x8b\x08";
        head.push_back(static_cast<char>(name.empty() ? 0 : kFlagName));
        formats::AppendLe32(head, header.mtime);
        head.push_back(0);
        head.push_back(static_cast<char>(header.os));
        if (!name.empty()) {
            // A NUL would end the name early: cut it there.
            head.append(name.c_str());
            head.push_back('\0');
        }
        if (out.Write(head) != FormatStatus::kOk) return FormatStatus::kIoError;
        int fd = -1;
        if (!dataFile.empty()) {
            fd = ::open(dataFile.c_str(), O_RDONLY | O_CLOEXEC);
            if (fd < 0) return FormatStatus::kIoError;
        }
        z_stream zs{};
        if (deflateInit2(&zs, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 8,
                         Z_DEFAULT_STRATEGY) != Z_OK) {
            if (fd >= 0) ::close(fd);
            return FormatStatus::kIoError;
        }
        unsigned char in[65536], buf[65536];
        uLong crc = crc32(0, Z_NULL, 0);
        std::uint32_t length = 0;
        FormatStatus st = FormatStatus::kOk;
        bool done = false;
        while (!done && st == FormatStatus::kOk) {
            ssize_t n = 0;
            if (fd >= 0) n = ::read(fd, in, sizeof in);
            if (n < 0) {
                st = FormatStatus::kIoError;
                break;
            }
            int flush = n == 0 ? Z_FINISH : Z_NO_FLUSH;
            crc = crc32(crc, in, static_cast<uInt>(n));
            length += static_cast<std::uint32_t>(n);
            zs.next_in = in;
            zs.avail_in = static_cast<uInt>(n);
            do {
                zs.next_out = buf;
                zs.avail_out = sizeof buf;
                int rc = deflate(&zs, flush);
                if (rc == Z_STREAM_ERROR) {
                    st = FormatStatus::kIoError;
                    break;
                }
                if (out.Write(buf, sizeof buf - zs.avail_out) != FormatStatus::kOk) {
                    st = FormatStatus::kIoError;
                    break;
                }
                if (rc == Z_STREAM_END) done = true;
            } while (zs.avail_out == 0);
        }
        deflateEnd(&zs);
        if (fd >= 0) ::close(fd);
        if (st != FormatStatus::kOk) return st;
        std::string trailer;
        formats::AppendLe32(trailer, static_cast<std::uint32_t>(crc));
        formats::AppendLe32(trailer, length);
        return out.Write(trailer);
    }
};

}  // namespace

std::unique_ptr<FormatEngine> MakeGzipEngine() { return std::make_unique<GzipEngine>(); }

}  // namespace maker
