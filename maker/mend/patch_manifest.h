// The manifest of a patch ("PATCH.DAT", the format is in maker/mend/mend.h)
// and the checks every name and number of it must pass.
//
//   PatchManifest       what a patch does: its base, replaced and dropped files
//   ReadPatchManifest   read and check a manifest file
//   PatchFileName       whether a name may be a patch's file
//
// Bad input (a file over 64 KiB or not a regular file, a first line other
// than "ZELPATCH 1", an unknown or malformed line, a control byte, a bad
// name, size or checksum, a name twice, no base or two, no replaced file,
// more than 1024 entries or 2 GiB) is refused as a whole: the result is
// false and nothing of it is used. Never throws but std::bad_alloc.
// Threads: no shared state.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

namespace mend {

struct PatchReplacement {
    std::string name;
    uint64_t size = 0;
    std::string sha256;  // 64 lower-case hex digits
};

struct PatchManifest {
    std::string base;  // "YYYYMMDD.RRR"
    std::vector<PatchReplacement> replace;
    std::vector<std::string> remove;
};

constexpr size_t kMaxManifestBytes = 64 * 1024;
constexpr size_t kMaxManifestEntries = 1024;
constexpr uint64_t kMaxPatchFileBytes = 1ULL << 30;
constexpr uint64_t kMaxPatchBytes = 2ULL << 30;

bool ReadPatchManifest(const std::string& path, PatchManifest& manifest);

bool PatchFileName(const std::string& name);

}  // namespace mend
