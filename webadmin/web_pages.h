// The pages of the web administration: the session cookie, the login
// hand-off and the page renderer.
//
//   ShowPage           render the template named by "what" into the response
//   CheckSession       is the request's cookie a logged-in session?
//   IssueLogin         a fresh pending session, its cookie and a login page
//   GetSessionCookie   the value of the cookie "ZELORM"
//   PageNameHas        a page mark ("_a", "_u") in a page name
//   ShowErrorMessage   the error page with a catalogue text
//   ShowErrorText      the error page with a text; the template error callback
//
// The session cookie is "ZELORM"; its value is a session id of SessionTable
// (decimal digits drawn from the kernel's random source). A request without
// it, or with an unknown, pending or expired id, is not logged in; nothing is
// reported then (the table records an expiry itself).
//
// Pages: a name holding "_a" or "_u" followed by "." or "_" needs a logged-in
// session; without one the request gets a login page instead. Page names
// never leave the template folder (the template processor refuses ".." and
// NUL bytes, and a name is always joined below the folder).
//
// Error pages: the text of ShowErrorText is HTML; whatever in it came from
// the request has been escaped by the caller. An error page is rendered with
// the inline-error flag, and an error raised while an error page is being
// rendered is written inline, so errors never lead round in a circle.
//
// Threads: any connection worker; the session table has its own lock, and
// nothing here takes PageLock.
#pragma once

#include "core/vorn_string.h"

class CVornHTTPRequest;

// The name of the session cookie.
constexpr const char* kSessionCookieName = "ZELORM";
// The login pages.
constexpr const char* kAdminLoginPage = "ormadmin_login.mhtml";
constexpr const char* kUserLoginPage = "user_login_l.mhtml";
// The error page and the catalogue number of the language folder's name.
constexpr const char* kErrorPage = "ormadmin_error.mhtml";
enum : int {
    kMsgLanguageFolder = 2,
    kMsgConfigNotSaved = 2000000,  // product: the configuration could not be saved
};

// Renders the page named by the form variable "what" from the language
// folder of HtmlDir (see the header comment for the marks), with the header
// line "Pragma: No-Cache" first except for a few pages, then finishes the
// response. inlineError: a template that cannot be opened is reported in the
// response itself.
void ShowPage(CVornHTTPRequest* request, bool inlineError);

// false when the request carries a logged-in session: user := its user,
// permissions := the user's "ZELORMPerms" (empty when none); the session's
// last access is refreshed. true otherwise (user and permissions empty).
bool CheckSession(CVornHTTPRequest* request, CVornString& user, CVornString& permissions);

// Starts a pending session issued now, writes its cookie header line, sets
// "issued" to the issue time, keeps every form variable as a hidden one and
// renders loginPage; finishes the response. When no id can be drawn (the
// kernel's random source failed) no cookie is sent; the login then fails
// with its own message.
void IssueLogin(CVornHTTPRequest* request, const char* loginPage);

// id := the value of the first part of the "Cookie" header whose name is
// "ZELORM" (any letter case); empty when there is none.
void GetSessionCookie(CVornHTTPRequest* request, CVornString& id);

// true when pageName contains mark + "." or mark + "_" (letter case counts).
bool PageNameHas(const CVornString& pageName, const char* mark);

// The error page showing the catalogue text of number (product catalogue
// from 2000000 up, base catalogue below).
void ShowErrorMessage(CVornHTTPRequest* request, int number);

// The error page showing text (HTML; see the header comment).
void ShowErrorText(CVornHTTPRequest* request, const CVornString& text);
