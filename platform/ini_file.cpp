// Private-profile files (see ini_file.h for the format and the contract).
//
//   IniReadString, IniReadSection, IniSectionNames   read the file afresh
//   IniWriteString, IniDeleteKey, IniDeleteSection   read, change, rewrite
//
// A file is parsed into its lines; a section is a run of lines from its
// header to the next header. Changes edit that list of lines, so comments
// and lines of other sections survive a rewrite unchanged. Bad names and
// oversized files are refused as ini_file.h says; nothing here throws.
#include "platform/ini_file.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <new>

#include "platform/file_ops.h"

namespace platform {
namespace {

constexpr long long kMaxIniBytes = 16LL * 1024 * 1024;

std::string Trim(const std::string& text) {
    size_t begin = 0, end = text.size();
    while (begin < end && (text[begin] == ' ' || text[begin] == '\t')) ++begin;
    while (end > begin && (text[end - 1] == ' ' || text[end - 1] == '\t')) --end;
    return text.substr(begin, end - begin);
}

bool SameName(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
        if (x >= 'a' && x <= 'z') x = static_cast<unsigned char>(x - 32);
        if (y >= 'a' && y <= 'z') y = static_cast<unsigned char>(y - 32);
        if (x != y) return false;
    }
    return true;
}

// The section name of a header line, or false when the line is no header.
bool HeaderName(const std::string& line, std::string& name) {
    std::string trimmed = Trim(line);
    if (trimmed.empty() || trimmed[0] != '[') return false;
    size_t close = trimmed.find(']', 1);
    if (close == std::string::npos) return false;
    name = Trim(trimmed.substr(1, close - 1));
    return true;
}

// The key of a key line (trimmed text before '='), or false.
bool KeyOf(const std::string& line, std::string& key) {
    std::string trimmed = Trim(line);
    if (trimmed.empty() || trimmed[0] == ';') return false;
    size_t eq = trimmed.find('=');
    if (eq == std::string::npos) return false;
    key = Trim(trimmed.substr(0, eq));
    return true;
}

enum class Load { kOk, kMissing, kFailed };

// Reads the file's lines (LF or CR LF ends; a last line without an end
// counts).
Load ReadLines(const std::string& path, std::vector<std::string>& lines) {
    lines.clear();
    int fd = OpenFile(path.c_str(), O_RDONLY, 0);
    if (fd < 0) return errno == ENOENT ? Load::kMissing : Load::kFailed;
    std::string bytes;
    char chunk[8192];
    bool ok = true;
    for (;;) {
        long n = ReadSome(fd, chunk, sizeof chunk);
        if (n < 0) {
            ok = false;
            break;
        }
        if (n == 0) break;
        if (static_cast<long long>(bytes.size()) + n > kMaxIniBytes) {
            ok = false;
            break;
        }
        bytes.append(chunk, static_cast<size_t>(n));
    }
    CloseFile(fd);
    if (!ok) return Load::kFailed;
    size_t start = 0;
    while (start < bytes.size()) {
        size_t end = bytes.find('\n', start);
        if (end == std::string::npos) end = bytes.size();
        std::string line = bytes.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(std::move(line));
        start = end + 1;
    }
    return Load::kOk;
}

// Writes the lines as a new file and renames it over path. The new file is
// made beside the old one, so the rename stays in one file system.
bool WriteLines(const std::string& path, const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) {
        text += line;
        text += '\n';
    }
    if (static_cast<long long>(text.size()) > kMaxIniBytes) return false;
    size_t slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    // A leading dot: a leftover of a writer that died is no entry of a
    // directory listing that skips dot names.
    std::string temp = dir + "." + base + ".XXXXXX";
    int fd = mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) return false;
    mode_t mode = 0644;
    struct stat old;
    if (stat(path.c_str(), &old) == 0) mode = old.st_mode & 07777;
    bool ok = fchmod(fd, mode) == 0 && WriteAll(fd, text.data(), text.size(), nullptr) &&
              SyncFile(fd);
    ok = CloseFile(fd) && ok;
    if (ok) ok = RenamePath(temp.c_str(), path.c_str(), true);
    if (!ok) RemovePath(temp.c_str());
    return ok;
}

bool BadText(const std::string& text) {
    return text.find_first_of(std::string("\r\n\0", 3)) != std::string::npos;
}

bool BadSection(const std::string& section) {
    return section.empty() || BadText(section) || section.find(']') != std::string::npos ||
           Trim(section) != section;
}

bool BadKey(const std::string& key) {
    return key.empty() || BadText(key) || key.find('=') != std::string::npos || key[0] == '[' ||
           key[0] == ';' || Trim(key) != key;
}

// Index range [begin, end) of the body lines of the first section named so;
// begin is npos when there is none.
void FindSection(const std::vector<std::string>& lines, const std::string& section, size_t& begin,
                 size_t& end) {
    begin = end = std::string::npos;
    std::string name;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (!HeaderName(lines[i], name)) continue;
        if (begin != std::string::npos) {
            end = i;
            return;
        }
        if (SameName(name, section)) begin = i + 1;
    }
    if (begin != std::string::npos) end = lines.size();
}

}  // namespace

bool IniReadString(const std::string& path, const std::string& section, const std::string& key,
                   std::string& value) {
    try {
        std::vector<std::string> lines;
        if (ReadLines(path, lines) != Load::kOk) return false;
        size_t begin, end;
        FindSection(lines, section, begin, end);
        if (begin == std::string::npos) return false;
        std::string name;
        for (size_t i = begin; i < end; ++i) {
            if (KeyOf(lines[i], name) && SameName(name, key)) {
                value = Trim(lines[i].substr(lines[i].find('=') + 1));
                return true;
            }
        }
    } catch (const std::bad_alloc&) {
    }
    return false;
}

bool IniReadSection(const std::string& path, const std::string& section,
                    std::vector<std::string>& out) {
    out.clear();
    try {
        std::vector<std::string> lines;
        if (ReadLines(path, lines) != Load::kOk) return false;
        size_t begin, end;
        FindSection(lines, section, begin, end);
        if (begin == std::string::npos) return false;
        for (size_t i = begin; i < end; ++i) {
            std::string trimmed = Trim(lines[i]);
            if (!trimmed.empty() && trimmed[0] != ';') out.push_back(trimmed);
        }
        return true;
    } catch (const std::bad_alloc&) {
        out.clear();
        return false;
    }
}

bool IniSectionNames(const std::string& path, std::vector<std::string>& names) {
    names.clear();
    try {
        std::vector<std::string> lines;
        if (ReadLines(path, lines) != Load::kOk) return false;
        std::string name;
        for (const std::string& line : lines) {
            if (!HeaderName(line, name)) continue;
            bool seen = false;
            for (const std::string& known : names) seen = seen || SameName(known, name);
            if (!seen) names.push_back(name);
        }
        return true;
    } catch (const std::bad_alloc&) {
        names.clear();
        return false;
    }
}

bool IniWriteString(const std::string& path, const std::string& section, const std::string& key,
                    const std::string& value) {
    if (BadSection(section) || BadKey(key) || BadText(value)) return false;
    try {
        std::vector<std::string> lines;
        if (ReadLines(path, lines) == Load::kFailed) return false;
        std::string line = key + "=" + value;
        size_t begin, end;
        FindSection(lines, section, begin, end);
        if (begin == std::string::npos) {
            lines.push_back("[" + section + "]");
            lines.push_back(line);
            return WriteLines(path, lines);
        }
        std::string name;
        size_t last = begin;  // after the last non-empty line of the section
        for (size_t i = begin; i < end; ++i) {
            if (KeyOf(lines[i], name) && SameName(name, key)) {
                lines[i] = line;
                return WriteLines(path, lines);
            }
            if (!Trim(lines[i]).empty()) last = i + 1;
        }
        lines.insert(lines.begin() + static_cast<long>(last), line);
        return WriteLines(path, lines);
    } catch (const std::bad_alloc&) {
        return false;
    }
}

bool IniDeleteKey(const std::string& path, const std::string& section, const std::string& key) {
    try {
        std::vector<std::string> lines;
        Load load = ReadLines(path, lines);
        if (load != Load::kOk) return load == Load::kMissing;
        size_t begin, end;
        FindSection(lines, section, begin, end);
        if (begin == std::string::npos) return true;
        std::vector<std::string> kept(lines.begin(), lines.begin() + static_cast<long>(begin));
        std::string name;
        bool changed = false;
        for (size_t i = begin; i < end; ++i) {
            if (KeyOf(lines[i], name) && SameName(name, key))
                changed = true;
            else
                kept.push_back(lines[i]);
        }
        if (!changed) return true;
        kept.insert(kept.end(), lines.begin() + static_cast<long>(end), lines.end());
        return WriteLines(path, kept);
    } catch (const std::bad_alloc&) {
        return false;
    }
}

bool IniDeleteSection(const std::string& path, const std::string& section) {
    try {
        std::vector<std::string> lines;
        Load load = ReadLines(path, lines);
        if (load != Load::kOk) return load == Load::kMissing;
        std::vector<std::string> kept;
        bool inside = false, changed = false;
        std::string name;
        for (const std::string& line : lines) {
            if (HeaderName(line, name)) inside = SameName(name, section);
            if (inside)
                changed = true;
            else
                kept.push_back(line);
        }
        return !changed || WriteLines(path, kept);
    } catch (const std::bad_alloc&) {
        return false;
    }
}

}  // namespace platform
