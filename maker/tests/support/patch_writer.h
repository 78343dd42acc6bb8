// Writing patches of the patch library (maker/mend/mend.h) for tests: the
// manifest with each file's size and SHA-256, and the files beside it.
//
//   PatchFile        one replaced file: its name and bytes
//   Sha256Hex        the SHA-256 of bytes in lower-case hex
//   DefsHeader       a 32-byte definitions header for yyyymmdd.rev
//   PatchManifestText  the manifest text of a patch
//   WritePatch       the manifest and the files into a directory
#pragma once

#include <string>
#include <vector>

namespace patchtest {

struct PatchFile {
    std::string name;
    std::string bytes;
};

std::string Sha256Hex(const std::string& bytes);

// magic is "ZLD1" (VirScan1.dat) or "ZLDT" (VirScanT.dat).
std::string DefsHeader(int date, int revision, const char* magic = "ZLD1");

std::string PatchManifestText(const std::string& base, const std::vector<PatchFile>& replace,
                              const std::vector<std::string>& remove = {});

// Makes dir when missing; writes PATCH.DAT and every replaced file.
void WritePatch(const std::string& dir, const std::string& base,
                const std::vector<PatchFile>& replace,
                const std::vector<std::string>& remove = {});

}  // namespace patchtest
