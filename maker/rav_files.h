#pragma once
// File helpers of the decomposition component.
//
//   EnsureDirectory(dir)          create dir (and its parents) mode 0700
//   MakePrivateDirectory(parent)  a new mkdtemp directory inside parent
//   RemoveTree(dir)               remove a directory and everything in it
//   MakeTempFile(dir, &path)      an empty file from mkstemp, mode 0600
//   ReadHead(path, buf, size)     the first bytes of a file
//   ReadFileBounded(path, max, &out)  a whole file, refused over max bytes
//   WriteFileExclusive(path, data)    create path exclusively and write
//
// Bad input: every function answers false (or -1) and leaves nothing
// half-made behind; paths are never built from names found in files.

#include <cstdint>
#include <string>
#include <string_view>

namespace rav {

bool EnsureDirectory(const std::string& dir);
bool MakePrivateDirectory(const std::string& parent, std::string& path);
void RemoveTree(const std::string& dir);
// Returns an open descriptor (close-on-exec) or -1.
int MakeTempFile(const std::string& dir, std::string& path);
// Bytes read, or -1 when the file cannot be read.
long ReadHead(const std::string& path, unsigned char* buffer, std::size_t size);
bool ReadFileBounded(const std::string& path, std::uint64_t maxBytes, std::string& out);
bool WriteAll(int fd, std::string_view data);
bool WriteFileExclusive(const std::string& path, std::string_view data);
bool IsRegularFile(const std::string& path);

}  // namespace rav
