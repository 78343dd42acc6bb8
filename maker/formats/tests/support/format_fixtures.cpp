// Helpers of the format engines' tests (see format_fixtures.h).

#include "maker/formats/tests/support/format_fixtures.h"

#include <algorithm>
#include <archive.h>
#include <archive_entry.h>
#include <cstdio>
#include <dirent.h>
#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <zlib.h>

namespace formattest {

std::string ClamFile(const std::string& name) { return "/usr/share/clamav-testfiles/" + name; }

const std::string& ClamExe() {
    static const std::string bytes = ReadAll(ClamFile("clam.exe"));
    return bytes;
}

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void WriteAll(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path);
}

int Run(const std::string& command, std::string* output) {
    FILE* p = ::popen((command + " 2>&1").c_str(), "r");
    if (p == nullptr) return -1;
    std::string text;
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) text.append(buf, n);
    int status = ::pclose(p);
    if (output) *output = text;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string Quote(const std::string& path) {
    std::string q = "'";
    for (char c : path) {
        if (c == '\'') q += "'\\''";
        else q += c;
    }
    return q + "'";
}

maker::FormatStatus ExtractFile(const maker::FormatEngine& engine, const std::string& path,
                                const std::string& dir, std::vector<maker::Member>& members,
                                const maker::ExtractLimits& limits) {
    std::string head = ReadAll(path).substr(0, 4096);
    (void)engine.Recognises(path, reinterpret_cast<const unsigned char*>(head.data()),
                            head.size());
    return engine.Extract(path, dir, limits, members);
}

std::vector<std::string> FilesIn(const std::string& dir) {
    std::vector<std::string> names;
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr) return names;
    while (dirent* e = ::readdir(d)) {
        std::string n = e->d_name;
        if (n != "." && n != "..") names.push_back(n);
    }
    ::closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

bool FilesOnlyIn(const std::string& dir, const std::vector<maker::Member>& members) {
    std::set<std::string> expected;
    for (const maker::Member& m : members) {
        if (m.dataFile.empty()) continue;
        if (m.dataFile.rfind(dir + "/", 0) != 0) return false;
        std::string rest = m.dataFile.substr(dir.size() + 1);
        if (rest.find('/') != std::string::npos) return false;
        expected.insert(rest);
    }
    std::vector<std::string> found = FilesIn(dir);
    return std::set<std::string>(found.begin(), found.end()) == expected;
}

std::string Gzip(const std::string& data, const std::string& name) {
    std::string out = "\x1f\x8b\x08";
    out.push_back(name.empty() ? 0 : 8);
    out.append(6, '\0');
    if (!name.empty()) {
        out += name;
        out.push_back('\0');
    }
    z_stream zs{};
    deflateInit2(&zs, 9, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    std::string body(deflateBound(&zs, data.size()) + 16, '\0');
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    zs.avail_in = static_cast<uInt>(data.size());
    zs.next_out = reinterpret_cast<Bytef*>(body.data());
    zs.avail_out = static_cast<uInt>(body.size());
    deflate(&zs, Z_FINISH);
    body.resize(zs.total_out);
    deflateEnd(&zs);
    out += body;
    uLong crc = crc32(0, reinterpret_cast<const Bytef*>(data.data()),
                      static_cast<uInt>(data.size()));
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((crc >> (8 * i)) & 0xFF));
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((data.size() >> (8 * i)) & 0xFF));
    return out;
}

namespace {
la_ssize_t AppendTo(archive*, void* client, const void* buf, size_t size) {
    static_cast<std::string*>(client)->append(static_cast<const char*>(buf), size);
    return static_cast<la_ssize_t>(size);
}
}  // namespace

std::string MakeArchive(const std::string& format, const std::vector<Entry>& entries,
                        const std::string& passphrase) {
    std::string out;
    archive* a = archive_write_new();
    if (archive_write_set_format_by_name(a, format.c_str()) != ARCHIVE_OK)
        throw std::runtime_error("unknown format " + format);
    archive_write_set_bytes_in_last_block(a, 1);
    if (!passphrase.empty()) {
        archive_write_set_options(a, "zip:encryption=zipcrypt");
        archive_write_set_passphrase(a, passphrase.c_str());
    }
    archive_write_open(a, &out, nullptr, AppendTo, nullptr);
    for (const Entry& e : entries) {
        archive_entry* entry = archive_entry_new();
        archive_entry_copy_pathname(entry, e.name.c_str());
        bool dir = !e.name.empty() && e.name.back() == '/';
        archive_entry_set_filetype(entry, dir ? AE_IFDIR : AE_IFREG);
        archive_entry_set_perm(entry, dir ? 0755 : 0644);
        archive_entry_set_size(entry, dir ? 0 : static_cast<la_int64_t>(e.data.size()));
        archive_entry_set_mtime(entry, 1000000000, 0);
        archive_write_header(a, entry);
        if (!dir) archive_write_data(a, e.data.data(), e.data.size());
        archive_entry_free(entry);
    }
    archive_write_close(a);
    archive_write_free(a);
    return out;
}

std::string MakeLhaStored(const std::vector<Entry>& entries) {
    auto crc16 = [](const std::string& data) {
        unsigned crc = 0;
        for (unsigned char c : data) {
            crc ^= c;
            for (int i = 0; i < 8; ++i) crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
        }
        return crc;
    };
    auto le32 = [](std::string& s, std::uint32_t v) {
        for (int i = 0; i < 4; ++i) s.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
    };
    std::string out;
    for (const Entry& e : entries) {
        std::string h = "-lh0-";
        le32(h, static_cast<std::uint32_t>(e.data.size()));
        le32(h, static_cast<std::uint32_t>(e.data.size()));
        le32(h, 0x21000000);  // a DOS date in 1996
        h.push_back(0x20);    // attribute
        h.push_back(0);       // level
        h.push_back(static_cast<char>(e.name.size()));
        h += e.name;
        unsigned crc = crc16(e.data);
        h.push_back(static_cast<char>(crc & 0xFF));
        h.push_back(static_cast<char>(crc >> 8));
        unsigned sum = 0;
        for (unsigned char c : h) sum += c;
        out.push_back(static_cast<char>(h.size()));
        out.push_back(static_cast<char>(sum & 0xFF));
        out += h + e.data;
    }
    out.push_back('\0');
    return out;
}

std::string NoiseBytes(std::size_t size, std::uint32_t seed) {
    std::string out(size, '\0');
    std::uint32_t x = seed * 2654435761u + 1;
    for (char& c : out) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = static_cast<char>(x & 0xFF);
    }
    return out;
}

}  // namespace formattest
