// Helpers of the format engines' tests: the real infected containers of
// Debian's clamav-testfiles, small archive builders, and checks that an
// extraction stayed inside its temporary directory.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "maker/formats/format_engine.h"

namespace formattest {

// /usr/share/clamav-testfiles/<name>.
std::string ClamFile(const std::string& name);

// The bytes of the test program every clamav-testfiles container holds.
const std::string& ClamExe();

std::string ReadAll(const std::string& path);
void WriteAll(const std::string& path, const std::string& bytes);

// Runs a shell command; returns its exit status and puts its standard
// output (and error) in output when given.
int Run(const std::string& command, std::string* output = nullptr);

// Quotes a path for the shell.
std::string Quote(const std::string& path);

// Calls engine.Recognises on the head of the file, then Extract into dir.
maker::FormatStatus ExtractFile(const maker::FormatEngine& engine, const std::string& path,
                                const std::string& dir, std::vector<maker::Member>& members,
                                const maker::ExtractLimits& limits = {});

// True when every member's data file lies directly in dir and no other
// file is there but those.
bool FilesOnlyIn(const std::string& dir, const std::vector<maker::Member>& members);

// The names of the files in dir.
std::vector<std::string> FilesIn(const std::string& dir);

// A gzip stream (zlib) of data under the given FNAME (none when empty).
std::string Gzip(const std::string& data, const std::string& name);

// An archive (libarchive's writer) of the given entries, in order. A name
// ending in '/' is a directory. format: "zip" or "ustar"/"pax"/"gnutar".
struct Entry {
    std::string name;
    std::string data;
};
// A passphrase encrypts every member (ZIP's traditional encryption).
std::string MakeArchive(const std::string& format, const std::vector<Entry>& entries,
                        const std::string& passphrase = "");

// A level-0 LHA archive of stored (-lh0-) members.
std::string MakeLhaStored(const std::vector<Entry>& entries);

// Deterministic bytes that do not compress.
std::string NoiseBytes(std::size_t size, std::uint32_t seed = 1);

}  // namespace formattest
