#pragma once
// The update client ("S32KELB1"): libS32KELB1.so. Runs one definitions
// update for the update launcher (launcher/, program Tollan), which loads it
// at run time, names the product with SetSequenceNumberEx and hands it a
// command line and two pages with DoOnramp.
//
//   SetSequenceNumberEx  the product and the sequence number of its newest set
//   DoOnramp             one update session; its status
//
// Where the definitions come from: a source directory, the stand-in for the
// maker's update server. It holds published sets, one subdirectory each,
// named "YYYYMMDD.RRR" in the set format of the definitions store
// (defs/shared_defs.h); a set counts only when its CATALOG.DAT is there
// (written last, so a set still being published is never taken) and its
// VirScan1.dat header can be read. A site fills the directory by any means
// of its own (a mirror, a shared file system).
//
// Command line (what the launcher builds from its registry values): blank-
// separated switches, a quoted text directly after its switch letter.
//   -a                 automatic session (accepted, changes nothing here)
//   -s                 silent: the pages are not written
//   -d"<directory>"    the source directory (this stand-in's own switch; a
//                      site puts it into the launcher's "OtherSwitches")
//   [ ... ]            one package: -p"name" -t"type" -l"language"
//                      -v"version" and other switches
// Other switches are read over and ignored. Only a package of type
// "VirusDef" is fetched; a command line without one, without -d, or with a
// quote or bracket left open fetches nothing (KELB_STATUS_FAILED).
//
// One session: the welcome page's callback fills the welcome text; the
// newest set of the source is compared with the sequence number (year *
// 1000000 + month * 10000 + day * 100 + revision mod 100, 0 when
// SetSequenceNumberEx was not called); a newer set's regular files are
// copied into the download directory that the definitions store published
// for the running update (the registry value "ZELDefsInstallDir" under
// HKEY_LOCAL_MACHINE\SOFTWARE\Quorvane\InstalledApps), CATALOG.DAT last;
// then the finish page's callback is called with the status, which
// finishes the update (the launcher installs what was downloaded there),
// and the status is returned. A failed copy removes what it copied before the finish page.
// Without -s each page is written to standard output after its callback:
// the welcome text, then the finish title and text.
//
// Bounds: a command line of at most 64 KiB; at most 1024 files and 2 GiB
// in one set; page texts of KELB_TEXT_SIZE bytes. Nothing waits on a peer.
//
// Statuses (the low 16 bits are what the launcher reads):
#define KELB_STATUS_UPDATED 0    // a newer set was downloaded
#define KELB_STATUS_CURRENT 1    // the source holds nothing newer
#define KELB_STATUS_FAILED 5     // nothing could be fetched (see above)
// The maker's other statuses, which this stand-in never gives: 2 the server
// was busy, 3 the session was cancelled, 7 updated (as 0).
//
// Threads: one session per process at a time.

#include <stdint.h>

// Page ids of the two pages the launcher passes.
#define KELB_PAGE_WELCOME 327
#define KELB_PAGE_FINISH 329

// The size of a page's title and caption fields, and of the finish title
// buffer the finish callback receives.
#define KELB_TITLE_SIZE 128
// The size of the text buffers this client hands the callbacks.
#define KELB_TEXT_SIZE 2048

// A page callback. The welcome page's uses text and textSize only; the
// finish page's also status, title (KELB_TITLE_SIZE bytes) and restart
// (set to 1 when the machine must restart to complete the update). Both
// answer 0 when the launcher has no session running, else 1.
typedef int (*KelbPageCallback)(char* text, uint32_t textSize, uint32_t status, char* title,
                                uint32_t* restart);

struct KelbPage {
    uint32_t pageId;
    KelbPageCallback callback;
    char title[KELB_TITLE_SIZE];
    char caption[KELB_TITLE_SIZE];
};

extern "C" {

// Records the product whose definitions the next session fetches and the
// sequence number of its newest installed set. Null texts count as empty.
// Always 0.
int SetSequenceNumberEx(const char* productName, const char* productType,
                        const char* productVersion, const char* productLanguage,
                        uint32_t sequenceNumber);

// Runs one session (above). instance is the caller's (unused here),
// reserved must be 0, pages points to two pages (welcome and finish, in
// either order). A null command line or pages, or reserved not 0, gives
// KELB_STATUS_FAILED without calling a page.
int DoOnramp(void* instance, int reserved, const char* commandLine, KelbPage* pages);

}  // extern "C"
