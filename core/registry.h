// The registry as the system uses it: text values of keys under the
// machine root, the product's own values, and the maker's installed products.
//
//   RegistryGetValue     a value as a string (trailing NULs dropped); events 47, 48
//   RegistryReadValue    a value's raw bytes into a caller's buffer
//   RegistrySetValue     a text value of an existing key; events 49, 50
//   RegistryGetSubKeys   the names of a key's subkeys; events 53, 54
//   GetProductRegValue   a value of "SOFTWARE\Quorvane\<product key>"
//   SetProductRegValue   set such a value
//   SysInfoListProducts  the maker's products that carry a "Version" value
//
// Key paths are relative to the root and separated by backslashes
// ("SOFTWARE\Quorvane\ZELORM"); names compare without regard to case.
// Failures are results (false, 1, an empty string); events are reported only
// where each function says, always as errors formatted with the key, the
// value name (where there is one) and the registry's error number. None of
// these functions keeps state; any thread may call them.
#pragma once

#include "core/vorn_list.h"
#include "core/vorn_string.h"

// The predefined root keys; the system uses the machine's root only.
enum VornRegistryRoot : int { HKEY_LOCAL_MACHINE = 0 };

// The maker's key and the gateway's product key under it.
extern const char* const kMakerRegistryKey;    // "SOFTWARE\Quorvane"
extern const char* const kProductRegistryKey;  // "ZELORM"

// Reads the value (at most 1024 bytes, of any type), drops all trailing NUL
// bytes (inner NULs of a multi-string stay) and assigns the bytes to out.
// On failure out is emptied and false returned; with report set, a key that
// cannot be opened is error event 47 and a value that cannot be read (or is
// longer than 1024 bytes) error event 48. A null key or name writes
// "registry getvalue bad args" to the debug log.
bool RegistryGetValue(VornRegistryRoot root, const char* key, const char* valueName,
                      CVornString& out, bool report);

// Sets buffer[0] to 0 (when size > 0), then copies the value's bytes into
// buffer. A text value always ends with a NUL inside the buffer; one that
// has no room for it fails. No events. REQUIRES: buffer holds size bytes.
bool RegistryReadValue(VornRegistryRoot root, const char* key, const char* valueName, void* buffer,
                       int size);

// Writes value as a text value (its bytes, without a terminating NUL) of an
// existing key; keys are never created. Failures are always reported: error
// event 49 when the key cannot be opened, 50 when the value cannot be
// written. A null key or name writes "registry setvalue bad args".
bool RegistrySetValue(VornRegistryRoot root, const char* key, const char* valueName,
                      const CVornString& value);

// Empties out, then appends the name of every subkey, in the registry's
// stable order. With report set, a key that cannot be opened is error event
// 54; a listing that fails once the key is open is always error event 53.
// A null key writes "registry getsubkeys bad arg" (out is left as it was).
bool RegistryGetSubKeys(VornRegistryRoot root, const char* key, CVornStringList& out, bool report);

// RegistryGetValue of "SOFTWARE\Quorvane\" + productKey with trailing
// backslashes removed (a null product key reads the maker's key itself).
// 0 when read, 1 on failure (out then empty).
int GetProductRegValue(const char* productKey, const char* valueName, CVornString& out,
                       bool report);

// RegistrySetValue of the same key; 0 written, 1 failure.
int SetProductRegValue(const char* productKey, const char* valueName, const CVornString& value);

// Appends (without emptying out) the name of every subkey of the maker's key
// that has a "Version" value; out is unchanged when the key cannot be listed.
void SysInfoListProducts(CVornStringList& out);
