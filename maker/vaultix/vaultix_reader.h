#pragma once
// CVaultixReader: reads a quarantine package (format in
// maker/vaultix/vaultix.h) back: its named values and its object. For the
// tests of the package writer and for anyone who shows or forwards
// packages.
//
//   Open          read and check the header and values; false on a bad file
//   Error         why the last Open failed (a short English text)
//   Values        the values in file order
//   Find          one value by name (exact, case-sensitive), or null
//   ObjectSize    the object's length in bytes
//   ReadObject    the object's bytes, refused over a caller's bound
//
// Bad input: every length is checked against the format's bounds and the
// file's size before it is used; a truncated file, a file with bytes after
// the object, an unknown type or a wrong number or date length makes Open
// answer false. Nothing throws except std::bad_alloc.
//
// Threads: one reader per thread. Not copyable.

#include <cstdint>
#include <string>
#include <vector>

class CVaultixReader {
public:
    struct Value {
        std::string name;
        int type = 0;       // 1 text, 2 number, 3 date
        std::string bytes;  // as stored
        // A number value's 32 bits (little-endian); 0 for other types.
        uint32_t Number() const;
    };

    CVaultixReader() = default;
    CVaultixReader(const CVaultixReader&) = delete;
    CVaultixReader& operator=(const CVaultixReader&) = delete;

    bool Open(const std::string& path);
    const std::string& Error() const { return m_Error; }

    const std::vector<Value>& Values() const { return m_Values; }
    const Value* Find(const std::string& name) const;

    uint64_t ObjectSize() const { return m_ObjectSize; }
    // *out := the object's bytes; false when it is larger than maxBytes or
    // cannot be read.
    bool ReadObject(std::string* out, uint64_t maxBytes) const;

private:
    bool fail(const char* why);

    std::string m_Path;
    std::string m_Error;
    std::vector<Value> m_Values;
    uint64_t m_ObjectOffset = 0;
    uint64_t m_ObjectSize = 0;
};
