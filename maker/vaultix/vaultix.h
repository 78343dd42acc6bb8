#pragma once
// The quarantine-package library ("vaultix32"): libvaultix32.so. A package
// holds one infected object's bytes and a list of named values describing
// it; the scan writes one per quarantined object, the quarantine forwarder
// sends it to the site's quarantine server.
//
//   VaultixCreateFile     a package handle for a data file and a package path
//   VaultixSetItemValue   set one named value (text, 32-bit number or date)
//   VaultixSaveItem       write the package file
//   VaultixReleaseItem    close the handle (also after a failure)
//
// Every function answers 0 on success and one of the VAULTIX_ERR_* values
// otherwise.
//
// The data file is opened by VaultixCreateFile and read by VaultixSaveItem:
// the package holds the bytes the file has when it is saved. The package is
// written to a private temporary file in the package's directory, synced and
// renamed to its name only when complete (the rename refuses to replace an
// existing file), so a half-written package never exists under its name and
// a failed save leaves nothing behind.
//
// Package file format (all numbers little-endian, see vaultix_format.h):
//   magic      8 bytes  "ZVAULT1\n"
//   count      u32      number of values (at most kVaultixMaxValues)
//   count times:
//     name length  u16  1..kVaultixMaxName
//     name         bytes (no NUL)
//     type         u8   1 text, 2 32-bit number, 3 date
//     value length u32  text: 0..kVaultixMaxValue; number: 4; date: 7
//     value        bytes
//   object length  u64  the object's size in bytes
//   object         bytes, up to the end of the file (nothing follows)
// A text carries no terminating zero. A number is 4 bytes in the caller's
// (little-endian) order. A date is month (1-12), day, year as a 16-bit
// little-endian number, hour, minute, second: one byte each otherwise.
// Values keep the order in which they were first set; setting a name again
// replaces its value in place. maker/vaultix/vaultix_reader.h reads packages.
//
// Bad input: null or unknown handles answer VAULTIX_ERR_HANDLE and touch
// nothing (a released handle is unknown); a bad name, type or length
// answers VAULTIX_ERR_ARGUMENT and leaves the package as it was.
//
// Threads: any thread may use the library; one handle is used by one thread
// at a time (the handle table itself is guarded).

#include <cstdint>

typedef struct VaultixPackage* VAULTIX_HANDLE;

#define VAULTIX_OK 0
#define VAULTIX_ERR_ARGUMENT 1   // null or bad argument (name, type, length, path)
#define VAULTIX_ERR_HANDLE 2     // null, unknown or released handle
#define VAULTIX_ERR_DATA_FILE 3  // the data file cannot be opened or read
#define VAULTIX_ERR_WRITE 4      // the package cannot be written
#define VAULTIX_ERR_EXISTS 5     // a file of the package's name exists already
#define VAULTIX_ERR_MEMORY 6     // out of memory, or too many values

// Value types.
#define VAULTIX_TYPE_TEXT 1
#define VAULTIX_TYPE_NUMBER 2
#define VAULTIX_TYPE_DATE 3

extern "C" {

// *handle := a new package of the object in dataFile, to be saved as
// packagePath. The data file must be a readable regular file; the package's
// directory must exist when it is saved. *handle is null on failure.
int VaultixCreateFile(VAULTIX_HANDLE* handle, const char* dataFile, const char* packagePath);

// Sets value name (a C text of 1 to kVaultixMaxName bytes) of the given type
// to length bytes at value (value may be null only when length is 0).
int VaultixSetItemValue(VAULTIX_HANDLE handle, const char* name, int type, const void* value,
                        uint32_t length);

// Writes the package file. A handle may be saved once; a second save
// answers VAULTIX_ERR_EXISTS (its file exists). On failure no file of the
// package's name was made.
int VaultixSaveItem(VAULTIX_HANDLE handle);

// Closes the data file and frees the handle; the handle is unknown afterwards.
int VaultixReleaseItem(VAULTIX_HANDLE handle);

}  // extern "C"
