// The library's side of the MIME comparison that scripts/bench mime runs
// against a GMime program doing the same work (net/bench/gmime_walk.c):
// parse each message from memory, walk every leaf part and decode it into
// memory. Also writes the messages both sides read.
//
//   mime_walk make <directory>       writes big.eml (about 10 MB: text, base64
//                                    attachments, quoted-printable) and
//                                    small/001.eml ... small/087.eml
//   mime_walk run <rounds> <file>... reads the files, then parses and decodes
//                                    all of them rounds times
//
// "run" prints one line: "seconds S decoded D maxrss K" (wall time of all
// rounds, decoded bytes of one round, peak resident size in KiB).
// Bad arguments: a usage line on standard error and exit status 2; a file
// that cannot be read or written: exit status 1.
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "core/code_page.h"
#include "net/mail_message.h"
#include "net/network_library.h"

namespace {

// Deterministic filler bytes, so both sides see the same messages every run.
struct Filler {
    unsigned m_Seed;
    unsigned char Next() {
        m_Seed = m_Seed * 1103515245u + 12345u;
        return static_cast<unsigned char>(m_Seed >> 16);
    }
};

std::string Base64Lines(size_t bytes, unsigned seed) {
    Filler filler{seed};
    std::string raw(bytes, '\0');
    for (char& c : raw) c = static_cast<char>(filler.Next());
    CVornString encoded(CVornString::kUnlocked);
    Base64Encode(CVornString(raw.data(), static_cast<int>(raw.size()), CVornString::kUnlocked),
                 encoded);
    std::string text(encoded.CStr(), static_cast<size_t>(encoded.Length()));
    std::string lines;
    lines.reserve(text.size() + text.size() / 38 + 2);
    for (size_t i = 0; i < text.size(); i += 76) lines += text.substr(i, 76) + "\r\n";
    return lines;
}

std::string QuotedPrintableLines(size_t bytes) {
    const std::string soft = "Gr=C3=BC=C3=9Fe aus der Stra=C3=9Fe, caf=C3=A9 cr=C3=A8me =\r\n";
    const std::string hard = "plain words of an ordinary line of text in the part\r\n";
    std::string out;
    while (out.size() < bytes) out += (out.size() / soft.size()) % 3 ? soft : hard;
    return out + "end\r\n";
}

std::string TextLines(size_t bytes) {
    std::string out;
    while (out.size() < bytes) out += "The quick brown fox jumps over the lazy dog again.\r\n";
    return out;
}

std::string Head(const std::string& subject, const std::string& type) {
    return "Received: from relay.example.net (relay.example.net [192.0.2.7])\r\n"
           "\tby mx.example.com with ESMTP id 4711; Thu, 10 Dec 2026 10:00:00 +0000\r\n"
           "From: Sender <a@example.net>\r\nTo: b@example.com\r\n"
           "Subject: " +
           subject +
           "\r\nDate: Thu, 10 Dec 2026 10:00:00 +0000\r\n"
           "Message-Id: <" +
           subject + "@example.net>\r\nMIME-Version: 1.0\r\nContent-Type: " + type + "\r\n\r\n";
}

std::string BigMessage() {
    std::string m = Head("big", "multipart/mixed; boundary=\"outer-b\"");
    m += "--outer-b\r\nContent-Type: text/plain\r\n\r\n" + TextLines(256 * 1024);
    for (int i = 0; i < 3; ++i) {
        std::string name = "file" + std::to_string(i) + ".bin";
        m += "--outer-b\r\nContent-Type: application/octet-stream; name=\"" + name +
             "\"\r\nContent-Transfer-Encoding: base64\r\n"
             "Content-Disposition: attachment; filename=\"" +
             name + "\"\r\n\r\n" + Base64Lines(2200 * 1024, 3 + i);
    }
    m += "--outer-b\r\nContent-Type: text/plain; charset=utf-8\r\n"
         "Content-Transfer-Encoding: quoted-printable\r\n\r\n" +
         QuotedPrintableLines(1500 * 1024);
    return m + "--outer-b--\r\n";
}

// Small messages of the kinds a gateway sees most: plain text, text with an
// HTML alternative, and text with a small attachment or two.
std::string SmallMessage(int n) {
    std::string subject = "small" + std::to_string(n);
    switch (n % 3) {
        case 0:
            return Head(subject, "text/plain; charset=us-ascii") + TextLines(1000 + n * 97);
        case 1:
            return Head(subject, "multipart/alternative; boundary=\"alt\"") +
                   "--alt\r\nContent-Type: text/plain; charset=utf-8\r\n"
                   "Content-Transfer-Encoding: quoted-printable\r\n\r\n" +
                   QuotedPrintableLines(1500 + n * 50) +
                   "--alt\r\nContent-Type: text/html; charset=utf-8\r\n\r\n<html><body><p>" +
                   TextLines(2500 + n * 60) + "</p></body></html>\r\n--alt--\r\n";
        default: {
            std::string m = Head(subject, "multipart/mixed; boundary=\"mix\"") +
                            "--mix\r\nContent-Type: text/plain\r\n\r\n" + TextLines(800);
            for (int i = 0; i < 1 + n % 2; ++i)
                m += "--mix\r\nContent-Type: application/pdf; name=\"doc.pdf\"\r\n"
                     "Content-Transfer-Encoding: base64\r\n"
                     "Content-Disposition: attachment; filename=\"doc.pdf\"\r\n\r\n" +
                     Base64Lines(6000 + n * 400, n * 7 + i);
            return m + "--mix--\r\n";
        }
    }
}

bool WriteFile(const std::filesystem::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
    return static_cast<bool>(out);
}

int Make(const char* directory) {
    namespace fs = std::filesystem;
    fs::path top(directory);
    std::error_code error;
    fs::create_directories(top / "small", error);
    if (error || !WriteFile(top / "big.eml", BigMessage()))
        return 1;
    for (int n = 1; n <= 87; ++n) {
        char name[16];
        snprintf(name, sizeof name, "%03d.eml", n);
        if (!WriteFile(top / "small" / name, SmallMessage(n)))
            return 1;
    }
    return 0;
}

// Parses one message from memory and decodes every leaf into a memory
// message; returns the decoded bytes.
long ParseAndDecode(const std::string& text) {
    CVornMailMessage message;
    message.Open();
    message.Write(text.data(), static_cast<int>(text.size()));
    long total = 0;
    int parts = message.GetPartCount();
    for (int part = parts == 0 ? 0 : 1; part <= parts; ++part) {
        CVornMailMessage target;
        target.Open();
        message.DecodePart(part, target, true);
        total += target.GetSize();
    }
    return total;
}

int Run(int rounds, char** files, int count) {
    std::vector<std::string> texts;
    for (int i = 0; i < count; ++i) {
        std::ifstream in(files[i], std::ios::binary);
        std::stringstream all;
        all << in.rdbuf();
        if (!in)
            return 1;
        texts.push_back(all.str());
    }
    long decoded = 0;
    auto start = std::chrono::steady_clock::now();
    for (int round = 0; round < rounds; ++round) {
        long total = 0;
        for (const std::string& text : texts) total += ParseAndDecode(text);
        decoded = total;
    }
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    struct rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    printf("seconds %.6f decoded %ld maxrss %ld\n", seconds, decoded, usage.ru_maxrss);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "make")
        return Make(argv[2]);
    if (argc >= 4 && std::string(argv[1]) == "run" && atoi(argv[2]) > 0) {
        LibraryStartup();
        g_CodePage.SetType(0);
        return Run(atoi(argv[2]), argv + 3, argc - 3);
    }
    fprintf(stderr, "usage: %s make <directory> | run <rounds> <file>...\n", argv[0]);
    return 2;
}
