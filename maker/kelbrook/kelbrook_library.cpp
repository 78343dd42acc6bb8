// The update client (libS32KELB1.so): one definitions update from a source
// directory into the store's download directory (see maker/kelbrook/kelbrook.h).
//
//   SetSequenceNumberEx(name, type, version, language, sequence)   always 0
//   DoOnramp(instance, 0, command line, pages)                     the status
//
// Bad input: a malformed command line, a missing source, a source without a
// complete set or a download directory that was not published give
// KELB_STATUS_FAILED; a set over the bounds is not fetched (the same
// status). The source's files are read, never written.

#include "maker/kelbrook/kelbrook.h"

#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "platform/file_ops.h"
#include "platform/registry.h"

namespace {

constexpr size_t kMaxCommandLine = 64 * 1024;
constexpr size_t kMaxSetFiles = 1024;
constexpr long long kMaxSetBytes = 2LL * 1024 * 1024 * 1024;
constexpr const char* kInstalledAppsKey = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvane\\InstalledApps";
constexpr const char* kCatalog = "CATALOG.DAT";

std::mutex s_Lock;
uint32_t s_SequenceNumber = 0;

struct CommandLine {
    bool silent = false;
    bool virusDefs = false;  // a package of type "VirusDef" was asked for
    std::string source;
};

// Reads the quoted text that starts at line[i] (a '"'); i ends after the
// closing quote. False when the quote is not closed.
bool readQuoted(const std::string& line, size_t& i, std::string& out) {
    size_t end = line.find('"', i + 1);
    if (end == std::string::npos) return false;
    out.assign(line, i + 1, end - i - 1);
    i = end + 1;
    return true;
}

bool parseCommandLine(const std::string& line, CommandLine& out) {
    bool inGroup = false;
    size_t i = 0;
    while (i < line.size()) {
        const char c = line[i];
        if (c == ' ' || c == '\t') {
            ++i;
        } else if (c == '[') {
            if (inGroup) return false;
            inGroup = true;
            ++i;
        } else if (c == ']') {
            if (!inGroup) return false;
            inGroup = false;
            ++i;
        } else {
            // A switch: its letters up to a blank, a bracket or a quote.
            size_t start = i;
            while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '"' &&
                   line[i] != '[' && line[i] != ']')
                ++i;
            const std::string name = line.substr(start, i - start);
            std::string text;
            bool quoted = false;
            if (i < line.size() && line[i] == '"') {
                if (!readQuoted(line, i, text)) return false;
                quoted = true;
            }
            if (name == "-s") out.silent = true;
            if (name == "-d" && quoted) out.source = text;
            if (name == "-t" && quoted && inGroup && text == "VirusDef") out.virusDefs = true;
        }
    }
    return !inGroup;
}

// The sequence number of a set from its VirScan1.dat header (byte 4
// revision, 8 month, 9 day, 10 year - 1900); false when it cannot be read.
bool setSequence(const std::string& dir, uint32_t& sequence) {
    const std::string path = dir + "/VirScan1.dat";
    int fd = platform::OpenFile(path.c_str(), O_RDONLY, 0);
    if (fd < 0) return false;
    unsigned char header[32];
    size_t got = 0;
    while (got < sizeof header) {
        long n = platform::ReadSome(fd, header + got, sizeof header - got);
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    platform::CloseFile(fd);
    if (got < sizeof header) return false;
    sequence = (header[10] + 1900u) * 1000000u + header[8] * 10000u + header[9] * 100u +
               header[4] % 100u;
    return true;
}

bool isRegular(const std::string& path, long long* size) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    if (size) *size = st.st_size;
    return true;
}

// A set name "YYYYMMDD.RRR".
bool isSetName(const std::string& name) {
    if (name.size() != 12 || name[8] != '.') return false;
    for (size_t i = 0; i < name.size(); ++i)
        if (i != 8 && (name[i] < '0' || name[i] > '9')) return false;
    return true;
}

// The newest complete set of the source; false when it holds none.
bool newestSourceSet(const std::string& source, std::string& dir, uint32_t& sequence) {
    std::vector<std::string> names;
    if (!platform::ListDirectory(source.c_str(), &names)) return false;
    bool found = false;
    for (const std::string& name : names) {
        if (!isSetName(name)) continue;
        const std::string candidate = source + "/" + name;
        uint32_t candidateSequence = 0;
        if (!isRegular(candidate + "/" + kCatalog, nullptr) ||
            !setSequence(candidate, candidateSequence))
            continue;
        if (!found || candidateSequence > sequence) {
            found = true;
            dir = candidate;
            sequence = candidateSequence;
        }
    }
    return found;
}

// Copies one file to a new file, taking its bytes from budget (a file that
// grows while it is copied cannot overrun the bound); created tells whether
// to was made here (a file that was there before is never touched).
bool copyFile(const std::string& from, const std::string& to, long long& budget, bool& created) {
    created = false;
    int in = platform::OpenFile(from.c_str(), O_RDONLY, 0);
    if (in < 0) return false;
    int out = platform::OpenFile(to.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    if (out < 0) {
        platform::CloseFile(in);
        return false;
    }
    created = true;
    std::vector<char> buffer(64 * 1024);
    bool ok = true;
    for (;;) {
        long n = platform::ReadSome(in, buffer.data(), buffer.size());
        if (n == 0) break;
        if (n < 0 || n > budget ||
            !platform::WriteAll(out, buffer.data(), static_cast<size_t>(n), nullptr)) {
            ok = false;
            break;
        }
        budget -= n;
    }
    platform::CloseFile(in);
    ok = platform::CloseFile(out) && ok;
    return ok;
}

// Copies the set's regular files into target, CATALOG.DAT last, so the
// download is complete only once everything else is there. On failure what
// was copied is removed again.
bool downloadSet(const std::string& set, const std::string& target) {
    std::vector<std::string> names, files;
    if (!platform::ListDirectory(set.c_str(), &names)) return false;
    long long total = 0;
    for (const std::string& name : names) {
        long long size = 0;
        if (name == "." || name == ".." || name == kCatalog ||
            !isRegular(set + "/" + name, &size))
            continue;
        total += size;
        files.push_back(name);
    }
    files.push_back(kCatalog);
    if (files.size() > kMaxSetFiles || total > kMaxSetBytes) return false;
    std::vector<std::string> copied;
    long long budget = kMaxSetBytes;
    for (const std::string& name : files) {
        const std::string to = target + "/" + name;
        bool created = false;
        const bool ok = copyFile(set + "/" + name, to, budget, created);
        if (created) copied.push_back(to);
        if (!ok) {
            for (const std::string& done : copied) platform::RemovePath(done.c_str());
            return false;
        }
    }
    return true;
}

// The download directory of the running update, published by the store.
bool downloadDirectory(std::string& out) {
    char buffer[4096];
    uint32_t type = 0;
    if (platform::RegReadValueInto(kInstalledAppsKey, "ZELDefsInstallDir", buffer, sizeof buffer,
                                   &type, nullptr) != platform::kRegSuccess ||
        type != platform::kRegSz || buffer[0] == '\0')
        return false;
    struct stat st;
    if (stat(buffer, &st) != 0 || !S_ISDIR(st.st_mode)) return false;
    out = buffer;
    return true;
}

KelbPage* findPage(KelbPage* pages, uint32_t id) {
    for (int i = 0; i < 2; ++i)
        if (pages[i].pageId == id && pages[i].callback != nullptr) return &pages[i];
    return nullptr;
}

int fetch(const CommandLine& command, uint32_t installed) {
    if (!command.virusDefs || command.source.empty()) return KELB_STATUS_FAILED;
    std::string set, target;
    uint32_t sequence = 0;
    if (!newestSourceSet(command.source, set, sequence)) return KELB_STATUS_FAILED;
    if (sequence <= installed) return KELB_STATUS_CURRENT;
    if (!downloadDirectory(target) || !downloadSet(set, target)) return KELB_STATUS_FAILED;
    return KELB_STATUS_UPDATED;
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) int SetSequenceNumberEx(const char*, const char*,
                                                               const char*, const char*,
                                                               uint32_t sequenceNumber) {
    std::lock_guard<std::mutex> guard(s_Lock);
    s_SequenceNumber = sequenceNumber;
    return 0;
}

__attribute__((visibility("default"))) int DoOnramp(void*, int reserved, const char* commandLine,
                                                    KelbPage* pages) {
    if (commandLine == nullptr || pages == nullptr || reserved != 0) return KELB_STATUS_FAILED;
    uint32_t installed;
    {
        std::lock_guard<std::mutex> guard(s_Lock);
        installed = s_SequenceNumber;
    }
    CommandLine command;
    const size_t length = strnlen(commandLine, kMaxCommandLine + 1);
    const bool parsed =
        length <= kMaxCommandLine && parseCommandLine(std::string(commandLine, length), command);

    std::vector<char> text(KELB_TEXT_SIZE, '\0');
    if (KelbPage* welcome = findPage(pages, KELB_PAGE_WELCOME)) {
        const int shown = welcome->callback(text.data(), KELB_TEXT_SIZE, 0, nullptr, nullptr);
        text[KELB_TEXT_SIZE - 1] = '\0';
        if (shown && !command.silent)
            printf("%s\n\n", text.data());
    }

    const int status = parsed ? fetch(command, installed) : KELB_STATUS_FAILED;

    if (KelbPage* finish = findPage(pages, KELB_PAGE_FINISH)) {
        char title[KELB_TITLE_SIZE] = "";
        uint32_t restart = 0;
        text.assign(KELB_TEXT_SIZE, '\0');
        const int shown = finish->callback(text.data(), KELB_TEXT_SIZE,
                                           static_cast<uint32_t>(status), title, &restart);
        text[KELB_TEXT_SIZE - 1] = '\0';
        title[KELB_TITLE_SIZE - 1] = '\0';
        if (shown && !command.silent)
            printf("%s\n\n%s\n", title, text.data());
    }
    fflush(stdout);
    return status;
}

}  // extern "C"
