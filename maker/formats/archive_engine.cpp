// ZIP, TAR, LHA and CAB format engines, read through libarchive.
//
//   MakeZipEngine() MakeTarEngine() MakeLhaEngine() MakeCabEngine()
//   Recognises     the format's signature in the head of the file
//   Extract        every regular file's bytes, one member each; entries
//                  without data (directories, links) are counted in the
//                  member index but not listed
//   Rebuild        an edit naming no entry with data answers kUnsupported;
//                  ZIP: every entry written again by libarchive, the kept
//                  ones re-compressed (libarchive cannot copy a member's
//                  compressed bytes); TAR: kept entries copied header and
//                  data byte for byte, replaced ones get a new header
//
// LHA and CAB are read only: libarchive writes neither format, and the
// walker hands a removal to the nearest container that can rebuild.
//
// Bad input: a damaged or truncated archive answers kDamaged (the members
// read before stay listed); an encrypted member kEncrypted; a member whose
// declared or actual size, or expansion ratio, passes ExtractLimits is
// listed with kLimitExceeded and the read goes on; passing the total or
// member-count bound stops the read. A member fault that does not stop the
// read still makes it the result of Extract (the first fault met). A
// compression method libarchive does not read (implode, deflate64) makes
// the member kUnsupported. A CRC mismatch is only a warning of libarchive:
// the member's bytes are still handed on, to be scanned.

#include <archive.h>
#include <archive_entry.h>
#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

#include "maker/formats/engine_support.h"

namespace maker {
namespace {

using formats::ExtractBudget;
using formats::MemberWriter;

struct ReadArchive {
    archive* a = archive_read_new();
    ~ReadArchive() { archive_read_free(a); }
};

struct WriteArchive {
    archive* a = archive_write_new();
    ~WriteArchive() { archive_write_free(a); }
};

struct EntryHolder {
    archive_entry* e;
    explicit EntryHolder(archive_entry* entry) : e(entry) {}
    ~EntryHolder() { archive_entry_free(e); }
};

void KeepFirst(FormatStatus& result, FormatStatus st) {
    if (result == FormatStatus::kOk) result = st;
}

std::string EntryName(archive_entry* e) {
    const char* name = archive_entry_pathname(e);
    if (name == nullptr) name = archive_entry_pathname_utf8(e);
    return name ? name : "";
}

bool HasData(archive_entry* e) {
    return archive_entry_filetype(e) == AE_IFREG && archive_entry_hardlink(e) == nullptr;
}

// Opens path for reading in the engine's format only (no outer filters:
// compressed streams around an archive are the gzip engine's work).
int OpenRead(FormatKind kind, archive* a, const std::string& path) {
    archive_read_support_filter_none(a);
    switch (kind) {
        case FormatKind::kZip: archive_read_support_format_zip(a); break;
        case FormatKind::kTar: archive_read_support_format_tar(a); break;
        case FormatKind::kLha: archive_read_support_format_lha(a); break;
        case FormatKind::kCab: archive_read_support_format_cab(a); break;
        default: return ARCHIVE_FATAL;
    }
    return archive_read_open_filename(a, path.c_str(), 65536);
}

bool IsTarHeader(const unsigned char* head, std::size_t size) {
    if (size < 512) return false;
    if (std::memcmp(head + 257, "ustar", 5) == 0) return true;
    // Old (v7) headers carry no magic: accept one whose checksum holds.
    unsigned sum = 0;
    for (int i = 0; i < 512; ++i) sum += (i >= 148 && i < 156) ? ' ' : head[i];
    unsigned stored = 0;
    int digits = 0;
    for (int i = 148; i < 156; ++i) {
        if (head[i] >= '0' && head[i] <= '7') {
            stored = stored * 8 + (head[i] - '0');
            ++digits;
        } else if (head[i] != ' ' && head[i] != 0) {
            return false;
        }
    }
    return digits > 0 && head[0] != 0 && stored == sum;
}

class ArchiveEngine final : public FormatEngine {
public:
    explicit ArchiveEngine(FormatKind kind) : m_Kind(kind) {}
    FormatKind Kind() const override { return m_Kind; }

    bool Recognises(const std::string&, const unsigned char* head,
                    std::size_t size) const override {
        switch (m_Kind) {
            case FormatKind::kZip:
                return size >= 4 && head[0] == 'P' && head[1] == 'K' &&
                       ((head[2] == 3 && head[3] == 4) || (head[2] == 5 && head[3] == 6) ||
                        (head[2] == 7 && head[3] == 8));
            case FormatKind::kTar: return IsTarHeader(head, size);
            case FormatKind::kLha:
                // "-lh?-" / "-lz?-" method name at offset 2 of the first header.
                return size >= 7 && head[2] == '-' && head[3] == 'l' &&
                       (head[4] == 'h' || head[4] == 'z') && head[6] == '-';
            case FormatKind::kCab:
                return size >= 8 && std::memcmp(head, "MSCF\0\0\0\0", 8) == 0;
            default: return false;
        }
    }

    FormatStatus Extract(const std::string& path, const std::string& tempDir,
                         const ExtractLimits& limits,
                         std::vector<Member>& members) const override {
        ReadArchive ra;
        if (OpenRead(m_Kind, ra.a, path) != ARCHIVE_OK) return OpenFault(path);
        ExtractBudget budget(limits);
        FormatStatus result = FormatStatus::kOk;
        std::size_t index = 0;
        bool any = false;
        for (;; ++index) {
            archive_entry* e = nullptr;
            int rc = archive_read_next_header(ra.a, &e);
            if (rc == ARCHIVE_EOF) break;
            if (rc < ARCHIVE_WARN) {
                KeepFirst(result, any ? FormatStatus::kDamaged : HeaderFault(path));
                break;
            }
            any = true;
            if (!HasData(e)) continue;
            if (budget.AdmitMember(members.size()) != FormatStatus::kOk) {
                KeepFirst(result, FormatStatus::kLimitExceeded);
                break;
            }
            std::string name = EntryName(e);
            if (archive_entry_is_data_encrypted(e) == 1) {
                formats::AddFailedMember(members, name, index, FormatStatus::kEncrypted);
                KeepFirst(result, FormatStatus::kEncrypted);
                continue;
            }
            if (archive_entry_size_is_set(e) &&
                static_cast<std::uint64_t>(archive_entry_size(e)) > limits.maxMemberBytes) {
                // A declared size past the bound is refused before a byte is read.
                formats::AddFailedMember(members, name, index, FormatStatus::kLimitExceeded);
                KeepFirst(result, FormatStatus::kLimitExceeded);
                continue;
            }
            bool stop = false;
            FormatStatus st = ReadMember(ra.a, tempDir, budget, name, index, members, stop);
            if (st != FormatStatus::kOk) KeepFirst(result, st);
            if (stop) break;
        }
        return result;
    }

    bool CanReplaceMembers() const override { return Writable(); }
    bool CanRemoveMembers() const override { return Writable(); }

    FormatStatus Rebuild(const std::string& path, const std::vector<MemberEdit>& edits,
                         const std::string& outPath,
                         const ExtractLimits& limits) const override {
        if (m_Kind == FormatKind::kZip) return RebuildZip(path, edits, outPath, limits);
        if (m_Kind == FormatKind::kTar) return RebuildTar(path, edits, outPath, limits);
        return FormatStatus::kUnsupported;
    }

private:
    bool Writable() const { return m_Kind == FormatKind::kZip || m_Kind == FormatKind::kTar; }

    // Why the archive could not be opened or its first header read: not
    // this format when the signature is absent, else damaged.
    FormatStatus OpenFault(const std::string& path) const { return HeaderFault(path); }

    FormatStatus HeaderFault(const std::string& path) const {
        unsigned char head[512] = {};
        int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return FormatStatus::kIoError;
        ssize_t n = ::read(fd, head, sizeof head);
        ::close(fd);
        if (n < 0) return FormatStatus::kIoError;
        return Recognises(path, head, static_cast<std::size_t>(n)) ? FormatStatus::kDamaged
                                                                   : FormatStatus::kNotThisFormat;
    }

    // Reads the current entry's data into a member. stop is set when the
    // archive cannot be read further or the total bound was reached.
    static FormatStatus ReadMember(archive* a, const std::string& tempDir, ExtractBudget& budget,
                                   const std::string& name, std::size_t index,
                                   std::vector<Member>& members, bool& stop) {
        MemberWriter writer(tempDir, budget);
        FormatStatus st = writer.Open();
        if (st != FormatStatus::kOk) {
            formats::AddFailedMember(members, name, index, st);
            stop = true;
            return st;
        }
        la_int64_t start = archive_filter_bytes(a, -1);
        char buf[65536];
        for (;;) {
            la_ssize_t n = archive_read_data(a, buf, sizeof buf);
            if (n == 0) break;
            if (n < 0) {
                if (n == ARCHIVE_WARN) continue;
                writer.Discard();
                // libarchive names a compression method it does not read
                // only in its message ("Unsupported ZIP compression method").
                const char* why = archive_error_string(a);
                FormatStatus fault = why && std::strstr(why, "nsupported") != nullptr
                                         ? FormatStatus::kUnsupported
                                         : FormatStatus::kDamaged;
                formats::AddFailedMember(members, name, index, fault);
                stop = n == ARCHIVE_FATAL;
                return fault;
            }
            writer.SetStoredBytes(static_cast<std::uint64_t>(archive_filter_bytes(a, -1) - start));
            st = writer.Write(buf, static_cast<std::size_t>(n));
            if (st != FormatStatus::kOk) {
                formats::AddFailedMember(members, name, index, st);
                // Past the total bound nothing more may be written; past a
                // member's own bound the next member may still be read.
                stop = st != FormatStatus::kLimitExceeded || budget.Exhausted();
                return st;
            }
        }
        Member m;
        m.name = name;
        m.index = index;
        st = writer.Finish(m);
        if (st != FormatStatus::kOk) {
            formats::AddFailedMember(members, name, index, st);
            stop = true;
            return st;
        }
        members.push_back(std::move(m));
        return FormatStatus::kOk;
    }

    FormatStatus RebuildZip(const std::string& path, const std::vector<MemberEdit>& edits,
                            const std::string& outPath, const ExtractLimits& limits) const;
    FormatStatus RebuildTar(const std::string& path, const std::vector<MemberEdit>& edits,
                            const std::string& outPath, const ExtractLimits& limits) const;

    FormatKind m_Kind;
};

// True when every edit names an entry with data; `members` holds the
// indexes of those entries.
bool EditsMatch(const std::vector<MemberEdit>& edits, const std::vector<std::size_t>& members) {
    for (const MemberEdit& e : edits)
        if (std::find(members.begin(), members.end(), e.index) == members.end()) return false;
    return true;
}

// Size of a regular file, or -1.
la_int64_t FileSize(const std::string& path) {
    struct stat st{};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
    return st.st_size;
}

la_ssize_t WriteToOutput(archive*, void* client, const void* buf, size_t size) {
    auto* out = static_cast<formats::OutputFile*>(client);
    return out->Write(buf, size) == FormatStatus::kOk ? static_cast<la_ssize_t>(size) : -1;
}

la_ssize_t WriteToString(archive*, void* client, const void* buf, size_t size) {
    static_cast<std::string*>(client)->append(static_cast<const char*>(buf), size);
    return static_cast<la_ssize_t>(size);
}

// Streams the bytes of dataFile as the data of the current entry of w.
FormatStatus WriteFileData(archive* w, const std::string& dataFile) {
    int fd = ::open(dataFile.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return FormatStatus::kIoError;
    char buf[65536];
    FormatStatus st = FormatStatus::kOk;
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n == 0) break;
        if (n < 0 || archive_write_data(w, buf, static_cast<size_t>(n)) != n) {
            st = FormatStatus::kIoError;
            break;
        }
    }
    ::close(fd);
    return st;
}

FormatStatus ArchiveEngine::RebuildZip(const std::string& path,
                                       const std::vector<MemberEdit>& edits,
                                       const std::string& outPath,
                                       const ExtractLimits& limits) const {
    ReadArchive ra;
    if (OpenRead(m_Kind, ra.a, path) != ARCHIVE_OK) return OpenFault(path);
    formats::OutputFile out(outPath);
    if (out.Open() != FormatStatus::kOk) return FormatStatus::kIoError;
    WriteArchive wa;
    archive_write_set_format_zip(wa.a);
    archive_write_set_bytes_in_last_block(wa.a, 1);
    if (archive_write_open(wa.a, &out, nullptr, WriteToOutput, nullptr) != ARCHIVE_OK)
        return FormatStatus::kIoError;
    std::uint64_t copied = 0;
    std::vector<std::size_t> withData;
    for (std::size_t index = 0;; ++index) {
        archive_entry* e = nullptr;
        int rc = archive_read_next_header(ra.a, &e);
        if (rc == ARCHIVE_EOF) break;
        if (rc < ARCHIVE_WARN) return index == 0 ? OpenFault(path) : FormatStatus::kDamaged;
        if (HasData(e)) withData.push_back(index);
        const MemberEdit* edit = HasData(e) ? formats::FindEdit(edits, index) : nullptr;
        if (edit && edit->action == MemberEdit::Action::kRemove) continue;
        if (!edit && archive_entry_is_data_encrypted(e) == 1) return FormatStatus::kEncrypted;
        EntryHolder copy(archive_entry_clone(e));
        if (edit) {
            la_int64_t size = FileSize(edit->dataFile);
            if (size < 0) return FormatStatus::kIoError;
            archive_entry_set_size(copy.e, size);
            if (!edit->newName.empty()) archive_entry_copy_pathname(copy.e, edit->newName.c_str());
        }
        if (archive_write_header(wa.a, copy.e) < ARCHIVE_WARN) return FormatStatus::kIoError;
        if (edit) {
            FormatStatus st = WriteFileData(wa.a, edit->dataFile);
            if (st != FormatStatus::kOk) return st;
        } else if (HasData(e)) {
            char buf[65536];
            for (;;) {
                la_ssize_t n = archive_read_data(ra.a, buf, sizeof buf);
                if (n == 0) break;
                if (n < 0) return FormatStatus::kDamaged;
                copied += static_cast<std::uint64_t>(n);
                if (copied > limits.maxTotalBytes) return FormatStatus::kLimitExceeded;
                if (archive_write_data(wa.a, buf, static_cast<size_t>(n)) != n)
                    return FormatStatus::kIoError;
            }
        }
        if (archive_write_finish_entry(wa.a) < ARCHIVE_WARN) return FormatStatus::kIoError;
    }
    if (!EditsMatch(edits, withData)) return FormatStatus::kUnsupported;
    if (archive_write_close(wa.a) != ARCHIVE_OK) return FormatStatus::kIoError;
    return out.Commit();
}

// The header block(s) libarchive writes for entry in the restricted pax
// format (plain ustar unless a name or size needs more).
bool TarHeaderBytes(archive_entry* entry, std::string& header) {
    std::string sink;
    WriteArchive wa;
    archive_write_set_format_pax_restricted(wa.a);
    archive_write_set_bytes_per_block(wa.a, 0);  // unblocked: each write reaches sink
    if (archive_write_open(wa.a, &sink, nullptr, WriteToString, nullptr) != ARCHIVE_OK)
        return false;
    if (archive_write_header(wa.a, entry) < ARCHIVE_WARN) return false;
    header = sink;
    return !header.empty() && header.size() % 512 == 0;
}

FormatStatus ArchiveEngine::RebuildTar(const std::string& path,
                                       const std::vector<MemberEdit>& edits,
                                       const std::string& outPath,
                                       const ExtractLimits&) const {
    formats::MappedFile file;
    if (file.Open(path) != FormatStatus::kOk) return FormatStatus::kIoError;
    ReadArchive ra;
    if (OpenRead(m_Kind, ra.a, path) != ARCHIVE_OK) return OpenFault(path);
    // Where each entry's headers begin (extended headers included) and
    // where the archive's end marker begins.
    std::vector<std::uint64_t> starts;
    std::vector<std::unique_ptr<archive_entry, void (*)(archive_entry*)>> entries;
    for (;;) {
        archive_entry* e = nullptr;
        int rc = archive_read_next_header(ra.a, &e);
        if (rc == ARCHIVE_EOF) {
            starts.push_back(static_cast<std::uint64_t>(archive_read_header_position(ra.a)));
            break;
        }
        if (rc < ARCHIVE_WARN) return starts.empty() ? OpenFault(path) : FormatStatus::kDamaged;
        starts.push_back(static_cast<std::uint64_t>(archive_read_header_position(ra.a)));
        entries.emplace_back(archive_entry_clone(e), archive_entry_free);
        if (archive_read_data_skip(ra.a) < ARCHIVE_WARN) return FormatStatus::kDamaged;
    }
    std::uint64_t end = starts.back();
    if (end > file.Size()) return FormatStatus::kDamaged;
    std::vector<std::size_t> withData;
    for (std::size_t index = 0; index < entries.size(); ++index)
        if (HasData(entries[index].get())) withData.push_back(index);
    if (!EditsMatch(edits, withData)) return FormatStatus::kUnsupported;
    formats::OutputFile out(outPath);
    if (out.Open() != FormatStatus::kOk) return FormatStatus::kIoError;
    for (std::size_t index = 0; index < entries.size(); ++index) {
        std::uint64_t from = starts[index], to = starts[index + 1];
        archive_entry* e = entries[index].get();
        const MemberEdit* edit = HasData(e) ? formats::FindEdit(edits, index) : nullptr;
        if (edit == nullptr) {
            if (out.Write(file.Data() + from, to - from) != FormatStatus::kOk)
                return FormatStatus::kIoError;
            continue;
        }
        if (edit->action == MemberEdit::Action::kRemove) continue;
        la_int64_t size = FileSize(edit->dataFile);
        if (size < 0) return FormatStatus::kIoError;
        archive_entry_set_size(e, size);
        if (!edit->newName.empty()) archive_entry_copy_pathname(e, edit->newName.c_str());
        std::string header;
        if (!TarHeaderBytes(e, header)) return FormatStatus::kIoError;
        if (out.Write(header) != FormatStatus::kOk) return FormatStatus::kIoError;
        int fd = ::open(edit->dataFile.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return FormatStatus::kIoError;
        char buf[65536];
        la_int64_t written = 0;
        while (written < size) {
            ssize_t n = ::read(fd, buf, std::min<la_int64_t>(sizeof buf, size - written));
            if (n <= 0 || out.Write(buf, static_cast<std::size_t>(n)) != FormatStatus::kOk) {
                ::close(fd);
                return FormatStatus::kIoError;
            }
            written += n;
        }
        ::close(fd);
        std::string pad(static_cast<std::size_t>((512 - size % 512) % 512), '\0');
        if (out.Write(pad) != FormatStatus::kOk) return FormatStatus::kIoError;
    }
    // The end marker: two zero blocks.
    std::string marker(1024, '\0');
    if (out.Write(marker) != FormatStatus::kOk) return FormatStatus::kIoError;
    return out.Commit();
}

}  // namespace

std::unique_ptr<FormatEngine> MakeZipEngine() {
    return std::make_unique<ArchiveEngine>(FormatKind::kZip);
}
std::unique_ptr<FormatEngine> MakeTarEngine() {
    return std::make_unique<ArchiveEngine>(FormatKind::kTar);
}
std::unique_ptr<FormatEngine> MakeLhaEngine() {
    return std::make_unique<ArchiveEngine>(FormatKind::kLha);
}
std::unique_ptr<FormatEngine> MakeCabEngine() {
    return std::make_unique<ArchiveEngine>(FormatKind::kCab);
}

}  // namespace maker
