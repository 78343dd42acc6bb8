#pragma once
// Shared tools of the format engines: the bounded writer of extracted
// members, the exclusive writer of rebuilt containers, a read-only view of
// an input file, and little-endian readers.
//
//   EnsureTempDir(dir)          creates dir (mode 0700) when missing
//   ExtractBudget               the limits of one container and what is used
//   MemberWriter                one member into a mkstemp file, bounded
//   OutputFile                  a rebuilt container, removed unless committed
//   MappedFile                  the bytes of an input file (mmap)
//   ReadOnlyFormatEngine        base of the engines that cannot rebuild
//   ReadLe16/ReadLe32           little-endian numbers from bytes
//
// Bad input: every writer checks its bounds before bytes reach the disk; a
// writer destroyed before Finish/Commit removes its file.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "maker/formats/format_engine.h"

namespace maker::formats {

// Creates dir and its missing parents, mode 0700. False when it cannot be
// made or is not a directory.
bool EnsureTempDir(const std::string& dir);

// What one container has used of its ExtractLimits.
class ExtractBudget {
public:
    explicit ExtractBudget(const ExtractLimits& limits) : m_Limits(limits) {}
    const ExtractLimits& Limits() const { return m_Limits; }
    // kLimitExceeded when `members` already holds the most allowed.
    FormatStatus AdmitMember(std::size_t listed) const;
    // True once a write was refused for the total bound: the container's
    // read must stop.
    bool Exhausted() const { return m_Exhausted; }
    void MarkExhausted() { m_Exhausted = true; }
    std::uint64_t total = 0;  // bytes written for all members so far

private:
    ExtractLimits m_Limits;
    bool m_Exhausted = false;
};

// Writes one member into a fresh mkstemp file in the temporary directory.
// Every Write checks the member, total and ratio bounds before writing; an
// overrun answers kLimitExceeded and the file is removed. Not copyable.
class MemberWriter {
public:
    MemberWriter(const std::string& tempDir, ExtractBudget& budget);
    ~MemberWriter();
    MemberWriter(const MemberWriter&) = delete;
    MemberWriter& operator=(const MemberWriter&) = delete;

    // Creates the file: kOk or kIoError.
    FormatStatus Open();
    // The compressed bytes consumed so far (for the ratio bound). A member
    // stored without compression need not call it.
    void SetStoredBytes(std::uint64_t stored) { m_Stored = stored; m_HasStored = true; }
    FormatStatus Write(const void* data, std::size_t size);
    std::uint64_t Written() const { return m_Written; }
    // Closes the file and hands it to the member (dataFile, size, status kOk).
    FormatStatus Finish(Member& member);
    // Removes the file (after a fault).
    void Discard();

private:
    std::string m_Dir;
    ExtractBudget& m_Budget;
    std::string m_Path;
    int m_Fd = -1;
    std::uint64_t m_Written = 0;
    std::uint64_t m_Stored = 0;
    bool m_HasStored = false;
};

// Appends a member that could not be read: no data file, the given status.
void AddFailedMember(std::vector<Member>& members, const std::string& name, std::size_t index,
                     FormatStatus status);

// Writes one member completely from memory: Open, Write, Finish. On kOk the
// member is appended; on a fault a failed member is appended instead.
FormatStatus WriteWholeMember(const std::string& tempDir, ExtractBudget& budget,
                              const std::string& name, std::size_t index, std::string_view data,
                              std::uint64_t storedBytes, std::vector<Member>& members);

// A rebuilt container: created exclusively (mode 0600) at path, removed by
// the destructor unless Commit succeeded. Not copyable.
class OutputFile {
public:
    explicit OutputFile(std::string path) : m_Path(std::move(path)) {}
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    FormatStatus Open();  // kIoError when path exists or cannot be made
    FormatStatus Write(const void* data, std::size_t size);
    FormatStatus Write(std::string_view data) { return Write(data.data(), data.size()); }
    int Fd() const { return m_Fd; }
    // fsync and close; afterwards the file stays.
    FormatStatus Commit();

private:
    std::string m_Path;
    int m_Fd = -1;
    bool m_Created = false;
    bool m_Committed = false;
};

// The bytes of a regular file, mapped read-only. Not copyable.
class MappedFile {
public:
    MappedFile() = default;
    ~MappedFile();
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;

    // kIoError when the file cannot be opened or is not a regular file.
    FormatStatus Open(const std::string& path);
    const unsigned char* Data() const { return m_Data; }
    std::size_t Size() const { return m_Size; }
    std::string_view View() const {
        return {reinterpret_cast<const char*>(m_Data), m_Size};
    }

private:
    unsigned char* m_Data = nullptr;
    std::size_t m_Size = 0;
};

// Base of an engine whose format is only read: it neither replaces nor
// removes members, and Rebuild answers kUnsupported (the walker then hands
// a removal to the nearest container above that can rebuild).
class ReadOnlyFormatEngine : public FormatEngine {
public:
    bool CanReplaceMembers() const override { return false; }
    bool CanRemoveMembers() const override { return false; }
    FormatStatus Rebuild(const std::string&, const std::vector<MemberEdit>&, const std::string&,
                         const ExtractLimits&) const override {
        return FormatStatus::kUnsupported;
    }
};

// The whole of a (small) file; kIoError when it cannot be read.
FormatStatus ReadWholeFile(const std::string& path, std::string& out);

inline std::uint16_t ReadLe16(const unsigned char* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
inline std::uint32_t ReadLe32(const unsigned char* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
void AppendLe16(std::string& out, std::uint16_t v);
void AppendLe32(std::string& out, std::uint32_t v);

// Edits addressed to one member: the last edit for an index wins.
const MemberEdit* FindEdit(const std::vector<MemberEdit>& edits, std::size_t index);

}  // namespace maker::formats
