// Shared tools of the format engines (see engine_support.h).
//
//   EnsureTempDir      mkdir -p with mode 0700
//   ExtractBudget      member count bound of one container
//   MemberWriter       bounded writes of one member into a mkstemp file
//   AddFailedMember    a member entry without data
//   WriteWholeMember   one member from memory
//   OutputFile         exclusive, committed-or-removed rebuilt container
//   MappedFile         read-only mapping of an input file
//   ReadWholeFile      a small file into memory
//   FindEdit           the edit of one member
//
// Bad input: a bound is checked before the bytes that would pass it are
// written, so an overrun leaves no partial file; write errors answer
// kIoError and remove the file.

#include "maker/formats/engine_support.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace maker::formats {

bool EnsureTempDir(const std::string& dir) {
    if (dir.empty()) return false;
    struct stat st{};
    if (::stat(dir.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
    // Make the parents first, one component at a time.
    for (std::size_t pos = dir.find('/', 1); pos != std::string::npos;
         pos = dir.find('/', pos + 1)) {
        std::string part = dir.substr(0, pos);
        if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
    }
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return false;
    return ::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

FormatStatus ExtractBudget::AdmitMember(std::size_t listed) const {
    return listed >= m_Limits.maxMembers ? FormatStatus::kLimitExceeded : FormatStatus::kOk;
}

MemberWriter::MemberWriter(const std::string& tempDir, ExtractBudget& budget)
    : m_Dir(tempDir), m_Budget(budget) {}

MemberWriter::~MemberWriter() { Discard(); }

FormatStatus MemberWriter::Open() {
    if (!EnsureTempDir(m_Dir)) return FormatStatus::kIoError;
    std::string pattern = m_Dir + "/member-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    int fd = ::mkostemp(buf.data(), O_CLOEXEC);
    if (fd < 0) return FormatStatus::kIoError;
    m_Fd = fd;
    m_Path = buf.data();
    return FormatStatus::kOk;
}

FormatStatus MemberWriter::Write(const void* data, std::size_t size) {
    if (m_Fd < 0) return FormatStatus::kIoError;
    const ExtractLimits& lim = m_Budget.Limits();
    std::uint64_t after = m_Written + size;
    if (m_Budget.total + size > lim.maxTotalBytes) m_Budget.MarkExhausted();
    if (after > lim.maxMemberBytes || m_Budget.Exhausted()) {
        Discard();
        return FormatStatus::kLimitExceeded;
    }
    if (m_HasStored && after > lim.ratioFloorBytes) {
        // A member that expands far beyond its stored bytes is a bomb; the
        // floor lets small members that compress well pass.
        std::uint64_t stored = m_Stored == 0 ? 1 : m_Stored;
        if (after / stored >= lim.maxRatio) {
            Discard();
            return FormatStatus::kLimitExceeded;
        }
    }
    const char* p = static_cast<const char*>(data);
    std::size_t left = size;
    while (left > 0) {
        ssize_t n = ::write(m_Fd, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            Discard();
            return FormatStatus::kIoError;
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    m_Written = after;
    m_Budget.total += size;
    return FormatStatus::kOk;
}

FormatStatus MemberWriter::Finish(Member& member) {
    if (m_Fd < 0) return FormatStatus::kIoError;
    if (::close(m_Fd) != 0) {
        m_Fd = -1;
        Discard();
        return FormatStatus::kIoError;
    }
    m_Fd = -1;
    member.dataFile = m_Path;
    member.size = m_Written;
    member.status = FormatStatus::kOk;
    m_Path.clear();
    return FormatStatus::kOk;
}

void MemberWriter::Discard() {
    if (m_Fd >= 0) {
        ::close(m_Fd);
        m_Fd = -1;
    }
    if (!m_Path.empty()) {
        ::unlink(m_Path.c_str());
        m_Path.clear();
    }
}

void AddFailedMember(std::vector<Member>& members, const std::string& name, std::size_t index,
                     FormatStatus status) {
    Member m;
    m.name = name;
    m.index = index;
    m.status = status;
    members.push_back(std::move(m));
}

FormatStatus WriteWholeMember(const std::string& tempDir, ExtractBudget& budget,
                              const std::string& name, std::size_t index, std::string_view data,
                              std::uint64_t storedBytes, std::vector<Member>& members) {
    MemberWriter writer(tempDir, budget);
    FormatStatus st = writer.Open();
    if (st == FormatStatus::kOk) {
        writer.SetStoredBytes(storedBytes);
        st = writer.Write(data.data(), data.size());
    }
    Member m;
    m.name = name;
    m.index = index;
    if (st == FormatStatus::kOk) st = writer.Finish(m);
    if (st != FormatStatus::kOk) {
        AddFailedMember(members, name, index, st);
        return st;
    }
    members.push_back(std::move(m));
    return FormatStatus::kOk;
}

OutputFile::~OutputFile() {
    if (m_Fd >= 0) ::close(m_Fd);
    if (m_Created && !m_Committed) ::unlink(m_Path.c_str());
}

FormatStatus OutputFile::Open() {
    int fd = ::open(m_Path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) return FormatStatus::kIoError;
    m_Fd = fd;
    m_Created = true;
    return FormatStatus::kOk;
}

FormatStatus OutputFile::Write(const void* data, std::size_t size) {
    if (m_Fd < 0) return FormatStatus::kIoError;
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t n = ::write(m_Fd, p, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return FormatStatus::kIoError;
        }
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return FormatStatus::kOk;
}

FormatStatus OutputFile::Commit() {
    if (m_Fd < 0) return FormatStatus::kIoError;
    bool ok = ::fsync(m_Fd) == 0;
    ok = ::close(m_Fd) == 0 && ok;
    m_Fd = -1;
    if (!ok) return FormatStatus::kIoError;
    m_Committed = true;
    return FormatStatus::kOk;
}

MappedFile::~MappedFile() {
    if (m_Data != nullptr) ::munmap(m_Data, m_Size);
}

FormatStatus MappedFile::Open(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return FormatStatus::kIoError;
    struct stat st{};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return FormatStatus::kIoError;
    }
    m_Size = static_cast<std::size_t>(st.st_size);
    if (m_Size > 0) {
        void* p = ::mmap(nullptr, m_Size, PROT_READ, MAP_PRIVATE, fd, 0);
        if (p == MAP_FAILED) {
            ::close(fd);
            m_Size = 0;
            return FormatStatus::kIoError;
        }
        m_Data = static_cast<unsigned char*>(p);
    }
    ::close(fd);
    return FormatStatus::kOk;
}

FormatStatus ReadWholeFile(const std::string& path, std::string& out) {
    MappedFile file;
    FormatStatus st = file.Open(path);
    if (st != FormatStatus::kOk) return st;
    out.assign(file.View());
    return FormatStatus::kOk;
}

void AppendLe16(std::string& out, std::uint16_t v) {
    out.push_back(static_cast<char>(v & 0xFF));
    out.push_back(static_cast<char>(v >> 8));
}

void AppendLe32(std::string& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

const MemberEdit* FindEdit(const std::vector<MemberEdit>& edits, std::size_t index) {
    const MemberEdit* found = nullptr;
    for (const MemberEdit& e : edits)
        if (e.index == index) found = &e;
    return found;
}

}  // namespace maker::formats
