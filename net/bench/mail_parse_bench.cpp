// Throughput of parsing a mail message and taking its parts apart: a 10 MB
// multipart message (a text part, a base64 attachment, a quoted-printable
// part and an attached message with a base64 attachment of its own) written
// through the line parse into a memory message, then every part decoded,
// and the attached message made into a message and its parts decoded too.
// Run with scripts/bench mail_parse.
#include <benchmark/benchmark.h>

#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <string>

#include "core/code_page.h"
#include "core/disk_file.h"
#include "core/memory_file.h"
#include "net/message_parts.h"
#include "net/rfc822_entity.h"

namespace {

std::string Base64Lines(size_t bytes, unsigned seed) {
    std::string raw(bytes, '\0');
    for (size_t i = 0; i < bytes; ++i) {
        seed = seed * 1103515245u + 12345u;
        raw[i] = static_cast<char>(seed >> 16);
    }
    CVornString encoded;
    Base64Encode(CVornString(raw.data(), static_cast<int>(raw.size())), encoded);
    std::string text(encoded.CStr(), static_cast<size_t>(encoded.Length()));
    std::string lines;
    lines.reserve(text.size() + text.size() / 38);
    for (size_t i = 0; i < text.size(); i += 76) lines += text.substr(i, 76) + "\r\n";
    return lines;
}

std::string QuotedPrintableLines(size_t bytes) {
    std::string out;
    const std::string line = "Gr=C3=BC=C3=9Fe aus der Stra=C3=9Fe, caf=C3=A9 cr=C3=A8me =\r\n";
    const std::string hard = "plain words of an ordinary line of text in the part\r\n";
    while (out.size() < bytes) out += (out.size() / line.size()) % 3 ? line : hard;
    return out + "end\r\n";
}

std::string TextLines(size_t bytes) {
    std::string out;
    while (out.size() < bytes) out += "The quick brown fox jumps over the lazy dog again.\r\n";
    return out;
}

const std::string& TestMessage() {
    static const std::string message = [] {
        std::string inner =
            "From: inner@example.com\r\nSubject: attached\r\n"
            "Content-Type: multipart/mixed; boundary=\"inner-b\"\r\n\r\n"
            "--inner-b\r\nContent-Type: text/plain\r\n\r\n" +
            TextLines(64 * 1024) +
            "--inner-b\r\nContent-Type: application/octet-stream; name=\"in.bin\"\r\n"
            "Content-Transfer-Encoding: base64\r\n\r\n" +
            Base64Lines(700 * 1024, 7) + "--inner-b--\r\n";
        return "From: a@example.com\r\nTo: b@example.com\r\nSubject: bench\r\n"
               "Message-Id: <bench@example.com>\r\n"
               "Content-Type: multipart/mixed; boundary=\"outer-b\"\r\n\r\n"
               "--outer-b\r\nContent-Type: text/plain\r\n\r\n" +
               TextLines(256 * 1024) +
               "--outer-b\r\nContent-Type: application/octet-stream; name=\"big.bin\"\r\n"
               "Content-Transfer-Encoding: base64\r\n"
               "Content-Disposition: attachment; filename=\"big.bin\"\r\n\r\n" +
               Base64Lines(5400 * 1024, 3) +
               "--outer-b\r\nContent-Type: text/plain; charset=utf-8\r\n"
               "Content-Transfer-Encoding: quoted-printable\r\n\r\n" +
               QuotedPrintableLines(1500 * 1024) +
               "--outer-b\r\nContent-Type: message/rfc822\r\n\r\n" + inner + "--outer-b--\r\n";
    }();
    return message;
}

// A directory of the benchmark's own for the temporary files of attached
// messages and their path locks.
const char* TempDir() {
    // Never destroyed: the exit handler below still reads it.
    static const std::string* dir = [] {
        char pattern[] = "/tmp/zelorm-bench-XXXXXX";
        if (!mkdtemp(pattern))
            return new std::string("/tmp");
        setenv("ZELORM_LOCK_DIR", pattern, 1);
        atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(TempDir(), ignored);
        });
        return new std::string(pattern);
    }();
    return dir->c_str();
}

std::unique_ptr<CVornMailMessage> Parse(const std::string& text) {
    auto message = std::make_unique<CVornMailMessage>();
    message->Open();
    message->Write(text.data(), static_cast<int>(text.size()));
    return message;
}

// Decodes every part; returns the bytes written.
long DecodeAll(CVornMailMessage& message) {
    long total = 0;
    for (int part = 1; part <= message.GetPartCount(); ++part) {
        CVornMailMessage target;
        target.Open();
        message.DecodePart(part, target, true);
        total += target.GetSize();
    }
    return total;
}

void BM_ParseMessage(benchmark::State& state) {
    const std::string& text = TestMessage();
    for (auto _ : state) {
        auto message = Parse(text);
        benchmark::DoNotOptimize(message->GetPartCount());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_ParseMessage)->Unit(benchmark::kMillisecond);

void BM_ParseAndDecodeMessage(benchmark::State& state) {
    const std::string& text = TestMessage();
    for (auto _ : state) {
        auto message = Parse(text);
        long total = DecodeAll(*message);
        // The attached message, one level down.
        CVornMailMessage inner;
        inner.Open();
        message->DecodePart(message->GetPartCount(), inner, true);
        CVornString body;
        inner.SeekBody();
        inner.ReadRest(body);
        CVornMemoryFile file;
        file.Open();
        file.Write(body);
        CVornRFC822Entity entity(file, 0);
        CVornDiskFile* temp = nullptr;
        std::unique_ptr<CVornMailMessage> attached(
            MakeAttachmentMessage(entity, CVornString(TempDir()), 1, temp));
        if (attached)
            total += DecodeAll(*attached);
        attached.reset();
        delete temp;
        benchmark::DoNotOptimize(total);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_ParseAndDecodeMessage)->Unit(benchmark::kMillisecond);

}  // namespace
