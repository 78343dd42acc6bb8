#pragma once
// The patch library ("mend32i"): libmend32i.so. Brings a definitions hub
// (the store's BinHub or TextHub, defs/shared_defs.h) forward by one patch
// and hands the patched files to the caller. The definitions store
// (SharedDefs::PostIncrementalUpdate) loads it at run time from the
// directory it runs in.
//
//   CreatePatchApplicationInstance   a new patch object, or null
//   IPatchApplication::Release       destroys the object
//   IPatchApplication::ApplyPatch    applies the patch of one directory
//
// The patch format (our own): a patch is a directory holding
//   PATCH.DAT        the manifest, text lines (LF or CRLF, at most 64 KiB,
//                    at most 1024 entries; blank lines and lines starting
//                    with '#' are skipped):
//                      ZELPATCH 1                     first line, exactly
//                      base YYYYMMDD.RRR              the hub it applies to
//                      replace NAME SIZE SHA256       a whole file, new or
//                                                     replaced
//                      remove NAME                    a file the hub drops
//                    words separated by one blank; SIZE in decimal bytes
//                    (at most 1 GiB a file, 2 GiB in all), SHA256 in 64
//                    lower-case hex digits.
//   NAME             each replaced file, under its own name.
// A NAME is a plain file name of letters, digits, '.', '_', '-' and '+',
// at most 128 bytes, not starting with '.', not "PATCH.DAT"; no name may
// occur twice (letter case ignored), so nothing a patch names leads out of
// the hub, the patch or the output.
//
// A hub's identity is the 32-byte header of its "VirScan1.dat" or, when
// it has none, of its "VirScanT.dat" (byte 4 revision, 8 month, 9 day, 10
// year - 1900); its dated name is "%04d%02d%02d.%03d". A patch applies only
// when its base is that name, and it must replace that identity file with
// one whose header is later: every patch moves the hub forward, so a patch
// cannot be applied twice or to another hub. Files a patch drops from the
// set must also be named under "Obsolete Files" of the replaced
// CATALOG.DAT, which is how the store drops them from the installed set.
//
// ApplyPatch(patch, hub, output, option):
//   0. once the option and the three directories pass, removes from hub
//      the temporaries of step 3 that a killed apply left: regular files
//      named "." NAME "." and six letters or digits, for a NAME as below
//      (links and other kinds are left alone, never followed);
//   1. reads and checks the manifest, the hub's identity and every
//      replacement (size and SHA-256) before anything is written;
//   2. writes each replaced file into output (created exclusively, synced;
//      an existing name there fails the apply);
//   3. brings the hub forward: every new file is first written beside its
//      target under a temporary dot name; then they are renamed into place,
//      the dropped files removed, and the identity file renamed last. A
//      process killed part way leaves a hub under its old identity, and the
//      same patch applies again.
//   It answers 1 when output holds the patched files and the hub was
//   brought forward; 0 otherwise, with nothing left in output and (unless
//   a rename in step 3 failed) the hub unchanged but for step 0. option must be 0 (no
//   options are defined; any other value fails the apply with nothing
//   written). Only regular files are read, written or removed (links are
//   refused).
//
// Threads: one object per thread; two applies to one hub at once are the
// caller's to prevent (the store does so with its update lock).

#include <stdint.h>

class IPatchApplication {
public:
    virtual void Release() = 0;
    virtual int32_t ApplyPatch(const char* patchDirectory, const char* hubDirectory,
                               const char* outputDirectory, int32_t option) = 0;

protected:
    // Only Release destroys an object: the library that made it frees it.
    ~IPatchApplication() = default;
};

extern "C" {

// A new patch object (the caller releases it), or null when out of memory.
IPatchApplication* CreatePatchApplicationInstance();

}  // extern "C"

typedef IPatchApplication* (*CreatePatchApplicationInstanceFn)();

// The manifest's file name inside a patch directory.
#define MEND_MANIFEST "PATCH.DAT"
