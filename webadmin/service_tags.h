// The page tags that show the running service's state: the virus
// definitions in use, the last definition update and the relay routes.
//
//   VirusDefVersion      date and revision of the loaded definitions
//   LastKelbrookAttempt  when the last definition update started
//   LastKelbrookStatus   how the last definition update ended
//   RouteBox             a select list of the relay routes
//   CompareRoutes        the routes' order: by domain, without regard to case
//
// The scanner holder and the update scheduler are the service's
// (g_ScannerManager, g_UpdateScheduler of gateway/service_startup.h). When
// start-up has not made one (it stopped early, or the page is served
// before that step), the tags that need it write nothing: the page then
// claims neither definitions nor an update that it cannot know about. A
// date of the definitions that cannot be converted to local time also
// writes nothing.
//
// Bad input: the routes come from the configuration and are written
// HTML-escaped; a missing setting lists no routes.
//
// Threads: any connection worker. The scanner holder and the scheduler are
// read through their own thread-safe operations; each RouteBox builds and
// discards its own routing table, so it shows the routes as they are now.
#pragma once

#include "core/hash_table.h"
#include "core/vorn_string.h"

class CRelayRoute;
class CVornHTTPRequest;

// Catalogue numbers of the update tags' texts; the result details are the
// texts of the update results in the activity log.
enum : int {
    kMsgUpdateNever = 835,           // no update has started yet
    kMsgUpdateNoneRun = 836,         // status: no update has run
    kMsgUpdateRunning = 837,         // status: an update runs now
    kMsgUpdateSucceeded = 838,       // status: the last update succeeded
    kMsgUpdateFailed = 839,          // status: the last update failed
    kMsgUpdateClientError100 = 840,  // detail of result 100
    kMsgUpdateNoLauncher = 841,      // detail of result 104
    kMsgUpdateClientError105 = 842,  // detail of result 105
    kMsgUpdateClientError101 = 843,  // detail of result 101
    kMsgUpdateServerBusy = 844,      // detail of result 2
    kMsgUpdateNotRun = 845,          // detail of results 4, 5 and 6
    kMsgUpdateAlreadyCurrent = 846,  // detail of result 1
};

// "YYYY-MM-DD (revision)" of the definitions the scanner uses (local
// date); nothing without a scanner or when it does not answer.
void VirusDefVersion(CVornHTTPRequest* request);

// The start of the last update in the display date format, or
// kMsgUpdateNever when none has started.
void LastKelbrookAttempt(CVornHTTPRequest* request);

// One of: no update has run; one runs now; succeeded (with "already up to
// date" for result 1); failed, with the result's detail in parentheses
// (a catalogue text, or the result in decimal).
void LastKelbrookStatus(CVornHTTPRequest* request);

// The opening select tag of the tag's attributes (WriteSelectStart), one
// option per relay route in CompareRoutes order (value and text the route's
// item text; no closing option tags), and "</select>".
void RouteBox(CVornHTTPRequest* request, CVornStringMap& attributes);

// Negative, 0 or positive as a's domain sorts before, with or after b's,
// without regard to case (a longer text after its own beginning). Each
// domain is copied under its route's lock, a's first.
int CompareRoutes(const CRelayRoute* a, const CRelayRoute* b);
