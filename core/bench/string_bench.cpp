// Benchmarks of the hot CVornString operations, each beside the std::string
// equivalent: appending byte by byte and in chunks (also into a reserved
// string and a buffer), finding a text, and
// Compare/Equals in the four compare modes (mode 0 and 2 against a tolower
// loop). Run with scripts/bench string.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cctype>
#include <string>

#include "core/code_page.h"
#include "core/vorn_buffer.h"
#include "core/vorn_string.h"

namespace {

constexpr int kAppendBytes = 4096;
constexpr int kChunk = 64;
constexpr int kChunkTotal = 64 * 1024;
constexpr int kFindText = 4096;
constexpr int kCompareText = 256;

// A text of letters with the needle only at its very end, so a search scans
// all of it.
std::string Haystack() {
    std::string text;
    for (int i = 0; static_cast<int>(text.size()) < kFindText - 16; ++i)
        text += static_cast<char>('a' + i % 23);
    return text + "Content-Type: x";
}
const char kNeedle[] = "content-type";
const char kExactNeedle[] = "Content-Type";

void SingleByteCodePage() {
    g_CodePage.SetType(0);
}

// ---------------------------------------------------------------- appending

void BM_VornAppendByte(benchmark::State& state) {
    SingleByteCodePage();
    auto mode = state.range(0) ? CVornString::kLocked : CVornString::kUnlocked;
    for (auto _ : state) {
        CVornString s(mode);
        for (int i = 0; i < kAppendBytes; ++i) s.Append(static_cast<char>('a' + i % 26));
        benchmark::DoNotOptimize(s.Length());
    }
    state.SetBytesProcessed(state.iterations() * kAppendBytes);
}
BENCHMARK(BM_VornAppendByte)->ArgName("locked")->Arg(1)->Arg(0);

void BM_StdAppendByte(benchmark::State& state) {
    for (auto _ : state) {
        std::string s;
        for (int i = 0; i < kAppendBytes; ++i) s += static_cast<char>('a' + i % 26);
        benchmark::DoNotOptimize(s.data());
    }
    state.SetBytesProcessed(state.iterations() * kAppendBytes);
}
BENCHMARK(BM_StdAppendByte);

void BM_VornAppendChunk(benchmark::State& state) {
    SingleByteCodePage();
    const std::string chunk(kChunk, 'x');
    for (auto _ : state) {
        CVornString s;
        for (int n = 0; n < kChunkTotal; n += kChunk) s.Append(chunk.data(), kChunk);
        benchmark::DoNotOptimize(s.Length());
    }
    state.SetBytesProcessed(state.iterations() * kChunkTotal);
}
BENCHMARK(BM_VornAppendChunk);

void BM_StdAppendChunk(benchmark::State& state) {
    const std::string chunk(kChunk, 'x');
    for (auto _ : state) {
        std::string s;
        for (int n = 0; n < kChunkTotal; n += kChunk) s.append(chunk.data(), kChunk);
        benchmark::DoNotOptimize(s.data());
    }
    state.SetBytesProcessed(state.iterations() * kChunkTotal);
}
BENCHMARK(BM_StdAppendChunk);

// The same 64 KiB in 64-byte pieces into a string whose caller reserved the
// whole size first, as bulk code does when it knows the size ahead; locked
// (the default mode) and unlocked.
void BM_VornAppendChunkReserved(benchmark::State& state) {
    SingleByteCodePage();
    auto mode = state.range(0) ? CVornString::kLocked : CVornString::kUnlocked;
    const std::string chunk(kChunk, 'x');
    for (auto _ : state) {
        CVornString s(mode);
        s.Reserve(kChunkTotal);
        for (int n = 0; n < kChunkTotal; n += kChunk) s.Append(chunk.data(), kChunk);
        benchmark::DoNotOptimize(s.Length());
    }
    state.SetBytesProcessed(state.iterations() * kChunkTotal);
}
BENCHMARK(BM_VornAppendChunkReserved)->ArgName("locked")->Arg(1)->Arg(0);

void BM_StdAppendChunkReserved(benchmark::State& state) {
    const std::string chunk(kChunk, 'x');
    for (auto _ : state) {
        std::string s;
        s.reserve(kChunkTotal);
        for (int n = 0; n < kChunkTotal; n += kChunk) s.append(chunk.data(), kChunk);
        benchmark::DoNotOptimize(s.data());
    }
    state.SetBytesProcessed(state.iterations() * kChunkTotal);
}
BENCHMARK(BM_StdAppendChunkReserved);

// 64 KiB in 64-byte pieces through a buffer, whose 4064-byte steps need no
// reservation.
void BM_VornBufferAppendChunk(benchmark::State& state) {
    const std::string chunk(kChunk, 'x');
    for (auto _ : state) {
        CVornBuffer b;
        for (int n = 0; n < kChunkTotal; n += kChunk) b.Append(chunk.data(), kChunk);
        benchmark::DoNotOptimize(b.Available());
    }
    state.SetBytesProcessed(state.iterations() * kChunkTotal);
}
BENCHMARK(BM_VornBufferAppendChunk);

// ---------------------------------------------------------------- find

void BM_VornFind(benchmark::State& state) {
    SingleByteCodePage();
    int mode = static_cast<int>(state.range(0));
    const std::string text = Haystack();
    CVornString s(text.data(), static_cast<int>(text.size()));
    const char* needle = (mode == 0 || mode == 2) ? kNeedle : kExactNeedle;
    for (auto _ : state) benchmark::DoNotOptimize(s.Find(needle, mode));
    state.SetBytesProcessed(state.iterations() * kFindText);
}
BENCHMARK(BM_VornFind)->ArgName("mode")->DenseRange(0, 3);

void BM_VornFindShiftJis(benchmark::State& state) {
    g_CodePage.SetType(2);
    int mode = static_cast<int>(state.range(0));
    const std::string text = Haystack();
    CVornString s(text.data(), static_cast<int>(text.size()));
    const char* needle = (mode == 0 || mode == 2) ? kNeedle : kExactNeedle;
    for (auto _ : state) benchmark::DoNotOptimize(s.Find(needle, mode));
    state.SetBytesProcessed(state.iterations() * kFindText);
    SingleByteCodePage();
}
BENCHMARK(BM_VornFindShiftJis)->ArgName("mode")->DenseRange(0, 1);

void BM_StdFind(benchmark::State& state) {
    const std::string text = Haystack();
    for (auto _ : state) benchmark::DoNotOptimize(text.find(kExactNeedle));
    state.SetBytesProcessed(state.iterations() * kFindText);
}
BENCHMARK(BM_StdFind);

void BM_StdFindNoCase(benchmark::State& state) {
    const std::string text = Haystack();
    const std::string needle = kNeedle;
    auto same = [](char a, char b) {
        return tolower(static_cast<unsigned char>(a)) == tolower(static_cast<unsigned char>(b));
    };
    for (auto _ : state)
        benchmark::DoNotOptimize(
            std::search(text.begin(), text.end(), needle.begin(), needle.end(), same));
    state.SetBytesProcessed(state.iterations() * kFindText);
}
BENCHMARK(BM_StdFindNoCase);

// ---------------------------------------------------------------- compare and equals

// Two texts equal under every mode that the benchmark runs: identical bytes
// for the exact modes, the same letters in other cases for 0 and 2, so the
// whole text is examined.
std::string CompareText(bool upper) {
    std::string text;
    for (int i = 0; i < kCompareText; ++i) {
        char c = static_cast<char>('a' + i % 26);
        text += upper && i % 2 ? static_cast<char>(toupper(c)) : c;
    }
    return text;
}

void BM_VornEquals(benchmark::State& state) {
    SingleByteCodePage();
    int mode = static_cast<int>(state.range(0));
    bool folding = mode == 0 || mode == 2;
    const std::string a = CompareText(false);
    const std::string b = CompareText(folding);
    CVornString sa(a.data(), kCompareText);
    CVornString sb(b.data(), kCompareText);
    for (auto _ : state) benchmark::DoNotOptimize(sa.Equals(sb, mode));
    state.SetBytesProcessed(state.iterations() * kCompareText);
}
BENCHMARK(BM_VornEquals)->ArgName("mode")->DenseRange(0, 3);

void BM_VornCompareText(benchmark::State& state) {
    SingleByteCodePage();
    int mode = static_cast<int>(state.range(0));
    bool folding = mode == 0 || mode == 2;
    const std::string a = CompareText(false);
    const std::string b = CompareText(folding);
    CVornString sa(a.data(), kCompareText);
    for (auto _ : state) benchmark::DoNotOptimize(sa.Compare(b.c_str(), mode));
    state.SetBytesProcessed(state.iterations() * kCompareText);
}
BENCHMARK(BM_VornCompareText)->ArgName("mode")->DenseRange(0, 3);

void BM_StdEquals(benchmark::State& state) {
    const std::string a = CompareText(false);
    const std::string b = CompareText(false);
    for (auto _ : state) benchmark::DoNotOptimize(a == b);
    state.SetBytesProcessed(state.iterations() * kCompareText);
}
BENCHMARK(BM_StdEquals);

void BM_StdCompare(benchmark::State& state) {
    const std::string a = CompareText(false);
    const std::string b = CompareText(false);
    for (auto _ : state) benchmark::DoNotOptimize(a.compare(b.c_str()));
    state.SetBytesProcessed(state.iterations() * kCompareText);
}
BENCHMARK(BM_StdCompare);

void BM_StdEqualsNoCase(benchmark::State& state) {
    const std::string a = CompareText(false);
    const std::string b = CompareText(true);
    for (auto _ : state) {
        bool equal = a.size() == b.size();
        for (size_t i = 0; equal && i < a.size(); ++i)
            equal = tolower(static_cast<unsigned char>(a[i])) ==
                    tolower(static_cast<unsigned char>(b[i]));
        benchmark::DoNotOptimize(equal);
    }
    state.SetBytesProcessed(state.iterations() * kCompareText);
}
BENCHMARK(BM_StdEqualsNoCase);

}  // namespace
