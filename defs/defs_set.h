// Making a definitions set: the files a set is made of (shared_defs.h
// describes the format), written into a directory from a date, a revision
// and the engine's signature files.
//
//   DefsSetPlan    what a set is made from
//   CheckDefsSet   what is wrong with a plan, if anything
//   WriteDefsSet   write a complete set into an existing directory
//
// Bad input (no signature file, a date outside 1900-01-01 .. 2155-12-31 or not in the
// calendar, a revision over 255, a signature file that is missing or not a
// regular file, two files of one name, a name of the set's own files, an
// obsolete name that is no plain file name) is refused before anything is
// written. Never throws (std::bad_alloc aside).
#pragma once

#include <string>
#include <vector>

struct DefsSetPlan {
    int year = 0;
    int month = 0;
    int day = 0;
    int revision = 0;
    // Paths of the signature files; each is copied under its own file name.
    std::vector<std::string> signatureFiles;
    // Files of the previous set that this set drops ("Obsolete Files").
    std::vector<std::string> obsoleteFiles;
};

// An empty text when a set can be made from plan, else what is wrong.
std::string CheckDefsSet(const DefsSetPlan& plan);

// Writes VirScan1.dat, VirScanT.dat, Hub.Scr, the signature files and
// CATALOG.DAT (last, so a half-written set is never complete) into dir.
// Returns an empty text on success, else what was wrong; on failure the
// files it wrote are removed again.
std::string WriteDefsSet(const std::string& dir, const DefsSetPlan& plan);

// The set's directory name, "%04d%02d%02d.%03d".
std::string DefsSetName(const DefsSetPlan& plan);
