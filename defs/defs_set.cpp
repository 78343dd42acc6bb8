// Writing a definitions set (see defs_set.h).
//
//   WriteDefsSet   check the plan, write the header files, copy the
//                  signature files, write CATALOG.DAT last
//   DefsSetName    the set's dated name
//
// Bad input is refused with a one-line reason before the first write; a
// failed write removes the files written so far.
#include "defs/defs_set.h"

#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <set>

#include "defs/defs_internal.h"
#include "platform/file_ops.h"

using namespace defs_internal;

namespace {

const char* const kOwnFiles[] = {"VirScan1.dat", "VirScanT.dat", "Hub.Scr", "CATALOG.DAT",
                                 "INLOCK.DAT",   "KBLOCK.DAT",   "DEFLOC.DAT"};

bool IsOwnName(const std::string& name) {
    for (const char* own : kOwnFiles)
        if (strcasecmp(own, name.c_str()) == 0) return true;
    return false;
}

bool ValidDate(int year, int month, int day) {
    static const int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (year < 1900 || year > 2155 || month < 1 || month > 12 || day < 1) return false;
    if (day > kDays[month - 1]) return false;
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return !(month == 2 && day == 29 && !leap);
}

// The 32-byte header; the bytes the store reads are 4, 8, 9 and 10, the
// first four name the file's kind.
std::string Header(const DefsSetPlan& plan, const char* magic) {
    std::string header(32, '\0');
    memcpy(header.data(), magic, 4);
    header[4] = static_cast<char>(plan.revision);
    header[8] = static_cast<char>(plan.month);
    header[9] = static_cast<char>(plan.day);
    header[10] = static_cast<char>(plan.year - 1900);
    return header;
}

bool WriteFile(const std::string& path, const std::string& bytes) {
    int fd = platform::OpenFile(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) return false;
    bool ok = platform::WriteAll(fd, bytes.data(), bytes.size(), nullptr) && platform::SyncFile(fd);
    return platform::CloseFile(fd) && ok;
}

}  // namespace

std::string DefsSetName(const DefsSetPlan& plan) {
    char text[48];
    snprintf(text, sizeof text, "%04d%02d%02d.%03d", plan.year, plan.month, plan.day,
             plan.revision);
    return text;
}

std::string CheckDefsSet(const DefsSetPlan& plan) {
    if (!ValidDate(plan.year, plan.month, plan.day)) return "date out of range";
    if (plan.revision < 0 || plan.revision > 255) return "revision out of range (0-255)";
    if (plan.signatureFiles.empty()) return "a set needs at least one signature file";
    std::set<std::string> names;
    for (const std::string& file : plan.signatureFiles) {
        std::string name = LastComponent(file);
        if (!IsRegularFile(ShortPath(file))) return "not a readable file: " + file;
        if (!PlainFileName(name) || IsOwnName(name) || name[0] == '.')
            return "file name not allowed in a set: " + name;
        if (!names.insert(name).second) return "two files named " + name;
    }
    for (const std::string& name : plan.obsoleteFiles) {
        if (!PlainFileName(name) || name.find_first_of("\r\n[;") != std::string::npos)
            return "obsolete file name not allowed: " + name;
    }

    return std::string();
}

std::string WriteDefsSet(const std::string& dir, const DefsSetPlan& plan) {
    if (!IsDir(dir)) return "not a directory: " + dir;
    std::string why = CheckDefsSet(plan);
    if (!why.empty()) return why;
    std::vector<std::string> signatureNames;
    for (const std::string& file : plan.signatureFiles) signatureNames.push_back(LastComponent(file));

    std::vector<std::string> written;
    auto fail = [&](const std::string& why) {
        for (const std::string& path : written) platform::RemovePath(path.c_str());
        return why;
    };
    const std::string base = StripSlash(dir) + "/";
    auto write = [&](const std::string& name, const std::string& bytes) {
        written.push_back(base + name);
        return WriteFile(base + name, bytes);
    };
    if (!write("VirScan1.dat", Header(plan, "ZLD1")) ||
        !write("VirScanT.dat", Header(plan, "ZLDT")) ||
        !write("Hub.Scr", "; definitions set " + DefsSetName(plan) + "\n"))
        return fail("cannot write into " + dir);
    for (size_t i = 0; i < signatureNames.size(); ++i) {
        written.push_back(base + signatureNames[i]);
        if (!CopyFile(ShortPath(plan.signatureFiles[i]), base + signatureNames[i]))
            return fail("cannot copy " + plan.signatureFiles[i]);
    }

    std::string catalog = "; definitions set " + DefsSetName(plan) + "\n[Files]\n";
    catalog += "VirScan1.dat\nVirScanT.dat\nHub.Scr\n";
    for (const std::string& name : signatureNames) catalog += name + "\n";
    catalog += "[Binary Hub Files - Intel]\nVirScan1.dat\nHub.Scr\n";
    // The catalogue goes into BinHub too: it is what tells whether a hub is
    // complete, the base an incremental update patches from.
    catalog += "[Binary Hub Files - Common]\n";
    for (const std::string& name : signatureNames) catalog += name + "\n";
    catalog += "CATALOG.DAT\n";
    catalog += "[Text Hub Files]\nVirScanT.dat\nHub.Scr\n";
    if (!plan.obsoleteFiles.empty()) {
        catalog += "[Obsolete Files]\n";
        for (const std::string& name : plan.obsoleteFiles) catalog += name + "\n";
    }
    if (!write("CATALOG.DAT", catalog)) return fail("cannot write " + base + "CATALOG.DAT");
    return std::string();
}
