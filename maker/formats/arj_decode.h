#pragma once
// Decoders of the ARJ compression methods.
//
//   ArjExpand(method, in, size, expanded, sink)   methods 1, 2, 3 (static
//                  Huffman LZ77 over a 26624-byte window) and 4 (the
//                  fastest: unary-prefixed lengths and distances)
//
// Bad input: a code table that is not a valid prefix code, a distance
// before the start of the output, or input that ends too early answers
// kDamaged; nothing is read outside [in, in + size).

#include <cstddef>
#include <cstdint>
#include <functional>

namespace maker::formats {

enum class ArjExpandResult { kOk, kDamaged, kUnsupported, kStopped };

// Receives the expanded bytes in order; returns false to stop expanding
// (ArjExpand then answers kStopped).
using ArjSink = std::function<bool(const unsigned char* data, std::size_t size)>;

// Expands `size` bytes of method `method` data into exactly `expanded`
// bytes, handed to sink in pieces. Methods other than 1 to 4: kUnsupported.
ArjExpandResult ArjExpand(int method, const unsigned char* in, std::size_t size,
                          std::uint64_t expanded, const ArjSink& sink);

}  // namespace maker::formats
