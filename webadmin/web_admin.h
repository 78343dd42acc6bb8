// The frame of the web administration: the globals the service start-up
// hands over, the command table that maps URL prefixes to command handlers,
// and the commands the frame itself defines.
//
//   InitWebAdmin            keep the folders and objects, register the commands
//   RegisterCommands        one URL prefix per command, plus "/images", "/docs"
//   DispatchAction          run the command named by the form variable "action"
//   DefaultIfNoParams       a bare GET or HEAD goes to Default
//   HandleUserSearchSubmit  a user-search submit shows the referring page
//   Admin, SetDebug, Default, Display   the frame's own commands
//
// The rendering of pages, the session cookie and the login hand-off are in
// webadmin/web_pages.h.
//
// Bad input: an unknown URL falls to the row with the empty name ("/") and
// is redirected to the top page; an unknown or missing "action" gets the
// error page with base-catalogue text 87. Every command answers the request
// completely before it returns.
//
// Threads: the commands run on the web server's connection workers, several
// at once. InitWebAdmin runs once, before the web server listens; from then
// on HtmlDir and the object pointers do not change and are read without a
// lock. PageLock serialises the object commands (later steps) and guards the
// globals' writers.
#pragma once

#include <atomic>

#include "core/vorn_lock.h"
#include "core/vorn_string.h"
#include "net/http_server.h"
#include "webadmin/web_session_table.h"

class CVornListMembership;
class CDictionaryFilter;
class CMessageQueue;
class SMTP;
class POP3;

// Catalogue numbers of the frame.
enum : int {
    kMsgWebUnknownAction = 87,  // base catalogue: no command of that name
};

// The page every unknown URL and every bare command is sent to.
constexpr const char* kTopPage = "otop.html";

// One row of the command table: its URL is "/" + name.
struct WebCommand {
    const char* m_Name;
    WebCommandHandler m_Handler;
};

// The command table, ending with a row whose name is null. Walked in order:
// the first row of a name wins in DispatchAction. Every row's handler is
// wrapped in Guarded.
extern const WebCommand CommandTable[];

// Makes a request fit for the commands before any of them sees it:
// - a form variable whose name or value holds a NUL byte is dropped: names
//   are compared as counted texts but reach the configuration store as C
//   texts, so "quendrial\0" would pass the check that nobody changes his
//   own permissions and then name that very account;
// - "error" is dropped: the error page shows it as HTML (the commands put
//   tables into it), so only a command may set it, never the request.
void PrepareRequest(CVornHTTPRequest* request);

// A command handler that runs PrepareRequest first.
template <WebCommandHandler Handler>
void Guarded(CVornHTTPRequest* request) {
    PrepareRequest(request);
    Handler(request);
}

// ---- Globals (one instance each, process-wide; never destroyed, since the
// web server's workers may still read them while the process ends).
// The root folder of the page templates.
extern CVornString& HtmlDir;
// The login sessions.
extern CWebSessionTable& SessionTable;
// Guards the globals' writers and serialises the object commands.
extern CVornLock& PageLock;
// When the web administration started, in the catalogue's display format.
extern CVornString& StartTimeText;
// The objects the commands act on (borrowed from the start-up; the three
// the system never makes stay null).
extern CVornListMembership* g_WebListMembership;
extern CDictionaryFilter* g_WebDictionaryFilter;
extern CVornHTTPServer* g_WebAdminServer;
extern SMTP* g_WebSMTPServer;
extern POP3* g_WebPOP3Server;
// Set (once, by StopDebugStreams) to end running debug-log streams; the
// streams read it without a lock.
extern std::atomic<unsigned char> DebugStopFlag;

// Called once by the start-up before the web server listens. Under
// PageLock: keeps htmlDir and the five object pointers, registers the
// commands with webServer (RegisterCommands) and notes the start time.
// spoolDir and fastQueue are accepted and not used by the frame. A null
// webServer registers nothing.
void InitWebAdmin(const char* htmlDir, const char* imagesDir, const char* docsDir,
                  const char* spoolDir, CVornListMembership* listMembership,
                  CDictionaryFilter* dictionaryFilter, CVornHTTPServer* webServer,
                  SMTP* smtpServer, POP3* pop3Server, CMessageQueue* fastQueue);

// "/" + name for every row of CommandTable, in order; then "/images" and
// "/docs" as directories when their folders are given (null or empty: not).
void RegisterCommands(CVornHTTPServer* webServer, const char* imagesDir, const char* docsDir);

// Runs the command named exactly (letter case counts) by the form variable
// "action" with the same request; without one, or for an unknown name, the
// error page with text kMsgWebUnknownAction.
void DispatchAction(CVornHTTPRequest* request);

// A GET or HEAD without any form variable runs Default: true. Otherwise
// false, nothing done.
bool DefaultIfNoParams(CVornHTTPRequest* request);

// When the form variable "UserSearchSubmit" is present: "what" := "referer"
// and the page is shown: true. Otherwise false, nothing done.
bool HandleUserSearchSubmit(CVornHTTPRequest* request);

// The frame's commands.
// The top page, rendered (it needs no login).
void Admin(CVornHTTPRequest* request);
// Redirect to the debug page "dbg_a_l.mhtml".
void SetDebug(CVornHTTPRequest* request);
// Redirect to the top page; also every URL no other prefix matches.
void Default(CVornHTTPRequest* request);
// The page named by "what", carrying the form's variables as hidden ones
// and "referer" as the hidden "what"; a bare request goes to Default.
void Display(CVornHTTPRequest* request);
