// The service commands of the web administration: commands that act on the
// running service rather than on one configuration object.
//
//   Debug             streams the debug log live to the browser
//   VirusDefDownload  asks the update scheduler for a definition update now
//   EditRoutingList   adds or replaces a relay route (or cancels the form)
//   ChangePassword    the logged-in user changes his own password
//   StopDebugStreams  ends every running debug stream (the service stop)
//
// Debug needs no login: the system setting "MailVornAllowDebug" at exactly
// 1 is its only guard; otherwise the browser gets the plain-text refusal.
// The stream is written straight to the connection (the request's own
// response stays empty and is never sent): the header block, then every
// debug-log line of level 1 to the form variable "level" (4 when missing or
// 0 or less, 7 above 7), polled once a second, and a keep-alive line after
// 21 polls without a line. It ends when a write does not go through (the
// browser went away, or the web server is stopping and shut the connection
// down) or at the next poll after StopDebugStreams; a browser that stops
// reading holds it at most the socket's send time-out. A HEAD request gets
// the header block alone.
//
// Bad input: the other three commands need a logged-in session and change
// nothing without one (the login page comes back with "action" set to the
// command). EditRoutingList refuses an empty route domain (2000016), a port
// without a target host (2000018), a port that is not a decimal number from
// 1 to 65535 (2000017), and a route holding a line break or the list
// separator, which the routing setting cannot store (90); each refusal shows
// the error page with the form's four values carried as hidden variables and
// the referring page as the hidden "what", and changes nothing. A failed
// save of the configuration reloads the files and says so (2000000).
// ChangePassword refuses, in this order, a user whose "CanChangePassword" is
// not above 0 (2000009), an empty new password (2000005), two new passwords
// that differ (2000006), a wrong old password (2000007) and a change the
// store refuses (2000008 with the store's reason); each shows the referring
// page with "loginerror". The three password variables are removed from the
// request once read, so no page shows them. VirusDefDownload without an
// update scheduler (start-up stopped before it was made) shows the error
// page with text 833.
//
// Threads: the web server's connection workers, several at once. A debug
// stream occupies its worker for its whole life, with a capture sink of
// its own. DebugStopFlag is atomic: the streams read it without a lock, and
// StopDebugStreams sets it without waiting for PageLock, so a stop is never
// held behind an object command. The routing table and the configuration
// store have their own locks; none of these commands takes PageLock.
#pragma once

class CVornHTTPRequest;

// Catalogue numbers of the service commands.
enum : int {
    kMsgWebNotWritten = 90,               // base: a setting could not be written
    kMsgUpdateNoScheduler = 833,          // base: no update scheduler to ask
    kMsgUpdateRequested = 834,            // base: the definition update was requested
    kMsgNewPasswordEmpty = 2000005,       // the new password is empty
    kMsgNewPasswordsDiffer = 2000006,     // the two new passwords differ
    kMsgOldPasswordWrong = 2000007,       // the old password is wrong
    kMsgPasswordNotChanged = 2000008,     // the store refused; one %s: its reason
    kMsgPasswordChangeRefused = 2000009,  // the user may not change his password
    kMsgRouteNoDomain = 2000016,          // no route domain
    kMsgRouteBadPort = 2000017,           // the port is not 1 to 65535
    kMsgRoutePortWithoutHost = 2000018,   // a port without a target host
};

// The setting that allows the debug stream (exactly 1).
constexpr const char* kAllowDebugSetting = "MailVornAllowDebug";
// The fixed texts of the debug stream, sent as they are.
constexpr const char* kDebugHeaderBlock =
    "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\nPragma: No-Cache\r\n\r\n";
constexpr const char* kDebugRefusal = "Sorry... Debugging is not enabled.\r\n";
constexpr const char* kDebugKeepAlive = "...\r\n";
// Polls without a line after which the keep-alive line is sent: it goes
// out at the (kDebugIdlePolls + 1)th empty poll in a row.
constexpr int kDebugIdlePolls = 20;

// The pages the commands show.
constexpr const char* kSuccessPage = "ormadmin_success.mhtml";
constexpr const char* kRelayListPage = "configrelay_a_l.mhtml";
constexpr const char* kUserSuccessPage = "user_success.mhtml";

void Debug(CVornHTTPRequest* request);
void VirusDefDownload(CVornHTTPRequest* request);
void EditRoutingList(CVornHTTPRequest* request);
void ChangePassword(CVornHTTPRequest* request);

// Ends every running debug stream at its next poll (within about a
// second); streams started later end at once. Nothing clears it: called
// once, by the service stop, before the web server stops.
void StopDebugStreams();
