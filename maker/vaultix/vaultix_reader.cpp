// Reading quarantine packages back.
//
//   CVaultixReader::Open         header and values, checked against the bounds
//   CVaultixReader::Find         a value by name
//   CVaultixReader::ReadObject   the object's bytes, bounded
//
// Bad input: a file that breaks any rule of the format gives false from
// Open with a reason in Error(); lengths are checked before they are used.

#include "maker/vaultix/vaultix_reader.h"

#include <cstring>
#include <fstream>

#include "maker/vaultix/vaultix_format.h"

namespace {

// Reads n bytes little-endian into *value.
bool readLE(std::ifstream& in, int n, uint64_t* value) {
    unsigned char bytes[8];
    if (!in.read(reinterpret_cast<char*>(bytes), n))
        return false;
    *value = 0;
    for (int i = n - 1; i >= 0; --i) *value = (*value << 8) | bytes[i];
    return true;
}

}  // namespace

uint32_t CVaultixReader::Value::Number() const {
    if (type != 2 || bytes.size() != kVaultixNumberLength)
        return 0;
    uint32_t n = 0;
    for (int i = 3; i >= 0; --i) n = (n << 8) | static_cast<unsigned char>(bytes[i]);
    return n;
}

bool CVaultixReader::fail(const char* why) {
    m_Error = why;
    m_Values.clear();
    m_ObjectSize = 0;
    return false;
}

bool CVaultixReader::Open(const std::string& path) {
    m_Path = path;
    m_Values.clear();
    m_Error.clear();
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return fail("cannot open the package");
    in.seekg(0, std::ios::end);
    uint64_t fileSize = static_cast<uint64_t>(in.tellg());
    in.seekg(0);

    char magic[sizeof kVaultixMagic];
    if (!in.read(magic, sizeof magic) || memcmp(magic, kVaultixMagic, sizeof magic) != 0)
        return fail("not a package");
    uint64_t count = 0;
    if (!readLE(in, 4, &count) || count > kVaultixMaxValues)
        return fail("bad value count");
    for (uint64_t i = 0; i < count; ++i) {
        Value value;
        uint64_t nameLength = 0, type = 0, length = 0;
        if (!readLE(in, 2, &nameLength) || nameLength == 0 || nameLength > kVaultixMaxName)
            return fail("bad value name");
        value.name.resize(nameLength);
        if (!in.read(value.name.data(), static_cast<std::streamsize>(nameLength)) ||
            value.name.find('\0') != std::string::npos)
            return fail("bad value name");
        if (!readLE(in, 1, &type) || !readLE(in, 4, &length))
            return fail("truncated value");
        bool fits = (type == 1 && length <= kVaultixMaxValue) ||
                    (type == 2 && length == kVaultixNumberLength) ||
                    (type == 3 && length == kVaultixDateLength);
        if (!fits)
            return fail("bad value type or length");
        value.type = static_cast<int>(type);
        value.bytes.resize(length);
        if (!in.read(value.bytes.data(), static_cast<std::streamsize>(length)))
            return fail("truncated value");
        m_Values.push_back(std::move(value));
    }
    uint64_t objectSize = 0;
    if (!readLE(in, 8, &objectSize))
        return fail("truncated object length");
    uint64_t offset = static_cast<uint64_t>(in.tellg());
    if (offset > fileSize || objectSize != fileSize - offset)
        return fail("object length does not match the file");
    m_ObjectOffset = offset;
    m_ObjectSize = objectSize;
    return true;
}

const CVaultixReader::Value* CVaultixReader::Find(const std::string& name) const {
    for (const Value& value : m_Values) {
        if (value.name == name)
            return &value;
    }
    return nullptr;
}

bool CVaultixReader::ReadObject(std::string* out, uint64_t maxBytes) const {
    if (m_ObjectSize > maxBytes)
        return false;
    std::ifstream in(m_Path, std::ios::binary);
    if (!in.seekg(static_cast<std::streamoff>(m_ObjectOffset)))
        return false;
    out->resize(m_ObjectSize);
    return static_cast<bool>(in.read(out->data(), static_cast<std::streamsize>(m_ObjectSize)));
}
