// Reading a patch manifest (see maker/mend/patch_manifest.h).
//
//   ReadPatchManifest   the file read whole (bounded), then line by line
//   PatchFileName       the name rule
//
// A manifest is refused as a whole at its first fault: a patch that is
// half understood must not be half applied.
#include "maker/mend/patch_manifest.h"

#include <fcntl.h>
#include <strings.h>

#include <set>

#include "maker/mend/mend.h"
#include "platform/file_ops.h"

namespace mend {

namespace {

constexpr size_t kMaxNameBytes = 128;

struct NoCaseLess {
    bool operator()(const std::string& a, const std::string& b) const {
        return strcasecmp(a.c_str(), b.c_str()) < 0;
    }
};

bool ReadSmallFile(const std::string& path, std::string& text) {
    // O_NOFOLLOW: a link in a patch is never followed out of it.
    int fd = platform::OpenFile(path.c_str(), O_RDONLY | O_NOFOLLOW, 0);
    if (fd < 0) return false;
    platform::FileInfo info;
    bool ok = platform::StatFile(fd, &info) && !info.isDirectory && info.size >= 0 &&
              static_cast<size_t>(info.size) <= kMaxManifestBytes;
    text.clear();
    char chunk[4096];
    while (ok) {
        long n = platform::ReadSome(fd, chunk, sizeof chunk);
        if (n < 0) ok = false;
        if (n <= 0) break;
        text.append(chunk, static_cast<size_t>(n));
        // It may grow while being read: the bound holds all the same.
        if (text.size() > kMaxManifestBytes) ok = false;
    }
    platform::CloseFile(fd);
    return ok;
}

std::vector<std::string> Words(const std::string& line) {
    std::vector<std::string> words;
    size_t start = 0;
    while (true) {
        size_t blank = line.find(' ', start);
        words.push_back(line.substr(start, blank == std::string::npos ? blank : blank - start));
        if (blank == std::string::npos) break;
        start = blank + 1;
    }
    return words;
}

bool AllDigits(const std::string& text) {
    if (text.empty()) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    return true;
}

bool DatedName(const std::string& text) {
    return text.size() == 12 && text[8] == '.' && AllDigits(text.substr(0, 8)) &&
           AllDigits(text.substr(9));
}

bool Sha256Text(const std::string& text) {
    if (text.size() != 64) return false;
    for (char c : text)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return true;
}

bool Size(const std::string& text, uint64_t& size) {
    // Twelve digits already pass the bound, so the sum cannot overflow.
    if (!AllDigits(text) || text.size() > 12) return false;
    size = 0;
    for (char c : text) size = size * 10 + static_cast<uint64_t>(c - '0');
    return size <= kMaxPatchFileBytes;
}

}  // namespace

bool PatchFileName(const std::string& name) {
    if (name.empty() || name.size() > kMaxNameBytes || name[0] == '.') return false;
    if (strcasecmp(name.c_str(), MEND_MANIFEST) == 0) return false;
    for (char c : name) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                        (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-' || c == '+';
        if (!ok) return false;
    }
    return true;
}

bool ReadPatchManifest(const std::string& path, PatchManifest& manifest) {
    std::string text;
    if (!ReadSmallFile(path, text)) return false;
    PatchManifest result;
    std::set<std::string, NoCaseLess> names;
    uint64_t total = 0;
    size_t entries = 0;
    bool first = true, haveBase = false;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        for (unsigned char c : line)
            if (c < 0x20 || c == 0x7f) return false;
        if (first) {
            if (line != "ZELPATCH 1") return false;
            first = false;
            continue;
        }
        if (line.empty() || line[0] == '#') continue;
        const std::vector<std::string> words = Words(line);
        if (++entries > kMaxManifestEntries) return false;
        if (words[0] == "base" && words.size() == 2) {
            if (haveBase || !DatedName(words[1])) return false;
            result.base = words[1];
            haveBase = true;
        } else if (words[0] == "replace" && words.size() == 4) {
            PatchReplacement file;
            file.name = words[1];
            if (!PatchFileName(file.name) || !Size(words[2], file.size) || !Sha256Text(words[3]))
                return false;
            file.sha256 = words[3];
            total += file.size;
            if (total > kMaxPatchBytes || !names.insert(file.name).second) return false;
            result.replace.push_back(file);
        } else if (words[0] == "remove" && words.size() == 2) {
            if (!PatchFileName(words[1]) || !names.insert(words[1]).second) return false;
            result.remove.push_back(words[1]);
        } else {
            return false;
        }
    }
    if (first || !haveBase || result.replace.empty()) return false;
    manifest = std::move(result);
    return true;
}

}  // namespace mend
