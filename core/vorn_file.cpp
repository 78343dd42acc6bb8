// CVornFile: the shared operations of the file interface.
//
//   CVornFile::GetChar    one byte through Read (buffer form)
//   CVornFile::PutChar    one byte through Write (bytes form)
//   CVornFile::IsEof      Size() == Tell()
//   ReserveFileBuffer     room in a file's CVornBuffer, grown geometrically
//
// Bad input: the shared operations pass everything on to the implementation,
// which reports it. ReserveFileBuffer ignores a negative length.
#include "core/vorn_file.h"

#include <climits>
#include <cstring>
#include <new>

#include "core/vorn_buffer.h"

CVornFile::~CVornFile() = default;

bool CVornFile::GetChar(char& c) {
    return Read(&c, 1) == 1;
}

bool CVornFile::PutChar(char c) {
    return Write(&c, 1) == 1;
}

bool CVornFile::IsEof() {
    return Size() == Tell();
}

void ReserveFileBuffer(CVornBuffer& buffer, long long length, bool grow) {
    // The string under the buffer keeps a block while it has 3 bytes to spare
    // and allocates 32 bytes of slack.
    constexpr long long kSpare = 3;
    constexpr long long kSlack = 32;
    if (length < 0)
        return;
    if (length > INT_MAX - kSlack)
        throw std::bad_alloc();
    int have = 0;
    int capacity = 0;
    void* block = buffer.Detach(&have, &capacity);
    if (capacity >= length + kSpare) {
        buffer.Adopt(&block, &have, &capacity);
        return;
    }
    long long target = length + kSlack;
    if (grow && target < 2LL * capacity)
        target = 2LL * capacity < INT_MAX ? 2LL * capacity : INT_MAX;
    char* fresh = nullptr;
    try {
        fresh = new char[static_cast<size_t>(target)];
    } catch (...) {
        buffer.Adopt(&block, &have, &capacity);
        throw;
    }
    if (have > 0)
        std::memcpy(fresh, block, static_cast<size_t>(have));
    delete[] static_cast<char*>(block);
    void* adopted = fresh;
    int size = static_cast<int>(target);
    buffer.Adopt(&adopted, &have, &size);
}
