// Patches for tests (see patch_writer.h).
#include "maker/tests/support/patch_writer.h"

#include <openssl/evp.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include "core/tests/support/files.h"

namespace patchtest {

std::string Sha256Hex(const std::string& bytes) {
    unsigned char value[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(bytes.data(), bytes.size(), value, &length, EVP_sha256(), nullptr);
    std::string hex;
    char pair[3];
    for (unsigned int i = 0; i < length; ++i) {
        snprintf(pair, sizeof pair, "%02x", value[i]);
        hex += pair;
    }
    return hex;
}

std::string DefsHeader(int date, int revision, const char* magic) {
    std::string header(32, '\0');
    memcpy(header.data(), magic, 4);
    header[4] = static_cast<char>(revision);
    header[8] = static_cast<char>(date / 100 % 100);
    header[9] = static_cast<char>(date % 100);
    header[10] = static_cast<char>(date / 10000 - 1900);
    return header;
}

std::string PatchManifestText(const std::string& base, const std::vector<PatchFile>& replace,
                              const std::vector<std::string>& remove) {
    std::string text = "ZELPATCH 1\n# made by a test\nbase " + base + "\n";
    for (const PatchFile& file : replace)
        text += "replace " + file.name + " " + std::to_string(file.bytes.size()) + " " +
                Sha256Hex(file.bytes) + "\n";
    for (const std::string& name : remove) text += "remove " + name + "\n";
    return text;
}

void WritePatch(const std::string& dir, const std::string& base,
                const std::vector<PatchFile>& replace, const std::vector<std::string>& remove) {
    mkdir(dir.c_str(), 0700);
    testsupport::WriteWhole(dir + "/PATCH.DAT", PatchManifestText(base, replace, remove));
    for (const PatchFile& file : replace)
        testsupport::WriteWhole(dir + "/" + file.name, file.bytes);
}

}  // namespace patchtest
