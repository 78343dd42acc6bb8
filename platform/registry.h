// The machine's registry: a tree of keys holding typed values, kept in one
// text file in the format of Windows .reg exports.
//
//   RegistryFilePath      the file: $ZELORM_REGISTRY, else /etc/zelorm/registry.reg
//   RegKeyExists          whether a key can be opened
//   RegQueryValue         one value's type and bytes
//   RegReadValueInto      one value's bytes into a caller's buffer (text always terminated)
//   RegWriteValue         set a value in an existing key
//   RegCreateKey          create a key and any missing parents
//   RegDeleteValue        remove one value
//   RegDeleteKey          remove a key with all its subkeys
//   RegListSubKeys        names of a key's direct subkeys, in a stable order
//   RegListValues         a key's values, in file order
//   RegLastParseWarnings  malformed lines the calling thread's last file read skipped
//
// Key paths start with a predefined root ("HKEY_LOCAL_MACHINE",
// "HKEY_CURRENT_USER", "HKEY_CLASSES_ROOT", "HKEY_USERS",
// "HKEY_CURRENT_CONFIG") followed by backslash-separated names; trailing
// backslashes are ignored. Key and value names compare without regard to
// ASCII case and keep the case they were created with. The empty value name
// is the key's default value ("@" in the file). The roots always exist.
//
// Every operation reads the file afresh under a cross-process lock (flock on
// "<file>.lock": shared to read, exclusive to change). A change rewrites the
// whole file atomically: "<file>.new" is created exclusively, written,
// fsync'ed and renamed over the file, so a reader never sees half a file and
// the file is never missing. A reader that may not create the lock file (a
// read-only directory) reads without it: it still sees one whole file. All
// functions may be called from any thread.
//
// The file format ("Windows Registry Editor Version 5.00" first, then
// sections "[<key path>]" each followed by its values):
//   "Name"="text"          REG_SZ; \\ and \" are the only escapes, the bytes
//                          are stored as they stand (no terminating NUL)
//   "Name"=dword:0000001f  REG_DWORD (four bytes, little-endian)
//   "Name"=hex:01,02       REG_BINARY
//   "Name"=hex(7):61,00,00 any other type N as hex(N); long lists continue on
//                          the next line after a trailing backslash
//   @="text"               the default value
//   ; comment
// Unlike Windows exports, which hold UTF-16 text, hex(1), hex(2) and hex(7)
// hold the value's bytes exactly as the program stored them (the system's
// texts are byte strings): a multi-string "a","b" is hex(7):61,00,62,00,00.
// A text that holds CR, LF or NUL is written as hex(1).
//
// The file is not trusted: a file over 16 MiB is refused (kRegBadFile, and
// it is never rewritten); a physical line over 64 KiB (or a continued line
// over 4 MiB) is skipped, counted as a parse warning and dropped by the next
// rewrite; any other malformed line (a value over 1 MiB among them) is
// skipped, counted, and written back unchanged by the next rewrite, so a slip
// of an administrator's hand is never lost. A section whose path is
// malformed counts one warning and keeps its lines the same way. A file
// whose first line is not the header counts one warning and is read all the
// same.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

namespace platform {

// Value types (the numbers the .reg format writes in hex(N)).
enum : uint32_t {
    kRegNone = 0,
    kRegSz = 1,
    kRegExpandSz = 2,
    kRegBinary = 3,
    kRegDword = 4,
    kRegMultiSz = 7,
    kRegQword = 11,
};

// Results: the Windows error numbers that callers report in their events.
enum : int {
    kRegSuccess = 0,
    kRegNotFound = 2,       // the key (or the value) does not exist
    kRegAccessDenied = 5,   // the file or its lock file may not be opened
    kRegBadArgument = 87,   // a malformed key path, name or value
    kRegMoreData = 234,     // the caller's buffer is too small
    kRegNoMoreItems = 259,  // (not returned here; callers test enumerations against it)
    kRegBadFile = 1009,     // the file is over its size bound
    kRegIoFailed = 1016,    // reading, writing or locking the file failed
};

struct RegValue {
    std::string name;  // as stored (case kept); empty for the default value
    uint32_t type = kRegNone;
    std::string data;  // the raw bytes
};

// The registry file. Read at every call, so tests can point it elsewhere.
std::string RegistryFilePath();

// kRegSuccess when the key exists, kRegNotFound when not.
int RegKeyExists(const std::string& key);

// Fills out with the value (name as stored); out is left unchanged on error.
int RegQueryValue(const std::string& key, const std::string& name, RegValue& out);

// Copies the value's bytes into buffer (size bytes). The text types
// (kRegSz, kRegExpandSz, kRegMultiSz) always end with a NUL inside the
// buffer: one is added after data that lacks it, and a buffer without room
// for it gives kRegMoreData. On kRegMoreData nothing is written to the
// buffer. type and length (the stored byte count) may be null; with a null
// buffer only they are filled. REQUIRES: buffer holds size bytes.
int RegReadValueInto(const std::string& key, const std::string& name, void* buffer, size_t size,
                     uint32_t* type, size_t* length);

// Sets (creates or replaces) a value of an existing key; kRegNotFound when
// the key does not exist. A value that already has this name keeps the case
// of its stored name. Names may not hold CR, LF or NUL; data is at most 1 MiB.
int RegWriteValue(const std::string& key, const std::string& name, uint32_t type, const void* data,
                  size_t length);

// Creates the key and its missing parents; success also when it exists.
int RegCreateKey(const std::string& key);

// kRegNotFound when the key or the value does not exist.
int RegDeleteValue(const std::string& key, const std::string& name);

// Removes the key, its values and all its subkeys; a root cannot be removed
// (kRegAccessDenied).
int RegDeleteKey(const std::string& key);

// Replaces out with the names of the key's direct subkeys, ordered by their
// upper-case form (the order stays the same from call to call).
int RegListSubKeys(const std::string& key, std::vector<std::string>& out);

// Replaces out with the key's values in the order of the file.
int RegListValues(const std::string& key, std::vector<RegValue>& out);

// The number of malformed lines that the calling thread's last operation
// skipped when it read the file (0 when it read none or the file was clean).
int RegLastParseWarnings();

}  // namespace platform
