#pragma once
// Format engines of the decomposition component.
//
// Each engine reads one container or encoding format (ZIP, TAR, GZIP, LHA,
// CAB, UUE, LZ, TNEF, RTF, ARJ): it recognises its files, extracts their
// members into temporary files under fixed bounds, and, where the format
// allows, rebuilds the container with some members replaced or removed.
// The walker of the decomposition component drives the engines; it owns the
// nesting depth, the object tree, naming and the calls to the event sink.
// Engines know nothing of the walker, the scanner or the gateway.
//
//   Recognises(path, head, size)   does this file hold the engine's format?
//   Extract(path, dir, limits, m)  members into temporary files in dir
//   CanReplaceMembers()            Rebuild can put new bytes in a member
//   CanRemoveMembers()             Rebuild can drop a member
//   Rebuild(path, edits, out, l)   the container with the edits, at out
//   Make*Engine()                  one factory per format
//
// Bad input: a damaged, truncated or hostile container never crashes an
// engine and never writes outside the temporary directory it was given.
// Member names are labels only (they may hold "../", "/", NUL-free bytes of
// any kind); data files are created with mkstemp in the given directory.
// Every bound in ExtractLimits is enforced while bytes are written, not
// after: an overrun stops that member (or the whole container) with
// kLimitExceeded and leaves no file of it behind.
//
// Threads: engines are stateless; one engine object may run Extract and
// Rebuild on different files from several threads at once.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace maker {

enum class FormatKind { kZip, kTar, kGzip, kLha, kCab, kUue, kLz, kTnef, kRtf, kArj };

// Outcome of an extraction, a rebuild, or of one member.
enum class FormatStatus {
    kOk,
    kNotThisFormat,   // the file does not hold the engine's format at all
    kDamaged,         // truncated or malformed: what could be read was read
    kLimitExceeded,   // a bound of ExtractLimits was reached
    kEncrypted,       // the member is encrypted and cannot be read
    kUnsupported,     // a method or feature this engine does not read
    kIoError,         // reading the input or writing a temporary file failed
};

// Bounds for one container (the walker applies its own bound on depth and
// on the total over a whole message).
struct ExtractLimits {
    std::uint64_t maxTotalBytes = 512ull << 20;   // all members together
    std::uint64_t maxMemberBytes = 256ull << 20;  // one member
    std::uint32_t maxMembers = 10000;             // members listed
    // Expanded size over stored size, checked once a member has expanded
    // past ratioFloorBytes (small members compress well legitimately).
    std::uint32_t maxRatio = 200;
    std::uint64_t ratioFloorBytes = 1ull << 20;
};

struct Member {
    std::string name;          // label from the container; may be empty
    std::string dataFile;      // temporary file with the member's bytes;
                               // empty when status is not kOk. The caller
                               // removes it.
    std::uint64_t size = 0;    // bytes in dataFile
    std::size_t index = 0;     // the member's position, used in MemberEdit
    FormatStatus status = FormatStatus::kOk;
};

struct MemberEdit {
    enum class Action { kReplace, kRemove };
    std::size_t index = 0;     // Member::index of the member to change
    Action action = Action::kReplace;
    std::string dataFile;      // kReplace: the member's new bytes
    std::string newName;       // kReplace: the member's new name; empty keeps it
};

class FormatEngine {
public:
    virtual ~FormatEngine() = default;
    virtual FormatKind Kind() const = 0;

    // head holds the first bytes of the file (up to 4096, fewer when the
    // file is shorter); an engine whose format may start later in the file
    // (UUE blocks inside text) may read the file at path itself.
    virtual bool Recognises(const std::string& path, const unsigned char* head,
                            std::size_t size) const = 0;

    // Appends one Member per member found, in container order, skipping
    // directories and other entries without data. Returns kOk when the whole
    // container was read, otherwise the first fault that stopped the read
    // (members read before it stay in `members`, with their files).
    virtual FormatStatus Extract(const std::string& path, const std::string& tempDir,
                                 const ExtractLimits& limits,
                                 std::vector<Member>& members) const = 0;

    virtual bool CanReplaceMembers() const = 0;
    virtual bool CanRemoveMembers() const = 0;

    // Writes the container at path with the edits applied to outPath
    // (created exclusively, mode 0600). Members without an edit are kept as
    // they are, byte for byte where the format allows it. On any failure
    // outPath does not exist afterwards.
    virtual FormatStatus Rebuild(const std::string& path, const std::vector<MemberEdit>& edits,
                                 const std::string& outPath, const ExtractLimits& limits) const = 0;
};

std::unique_ptr<FormatEngine> MakeZipEngine();
std::unique_ptr<FormatEngine> MakeTarEngine();
std::unique_ptr<FormatEngine> MakeGzipEngine();
std::unique_ptr<FormatEngine> MakeLhaEngine();
std::unique_ptr<FormatEngine> MakeCabEngine();
std::unique_ptr<FormatEngine> MakeUueEngine();
std::unique_ptr<FormatEngine> MakeLzEngine();
std::unique_ptr<FormatEngine> MakeTnefEngine();
std::unique_ptr<FormatEngine> MakeRtfEngine();
std::unique_ptr<FormatEngine> MakeArjEngine();

}  // namespace maker
