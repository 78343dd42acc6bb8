// The login and logout commands of the web administration.
//
//   Authenticate    the login form's password logs the cookie's pending
//                   session in as the administrator account, then the
//                   command named by "action" runs
//   Deauthenticate  the cookie's session is deleted; the browser goes to
//                   the top page
//
// The login always concerns one account, kAdminAccount; the form supplies
// its password, the login page's issue time ("issued") and the variables the
// login page carried. Authenticate removes "password", "issued",
// "loginform" and "infohost" from the request before anything else, so none
// of them is carried on or shown by a page; the password is never written
// to a log, a record or a page.
//
// Bad input: every refusal (missing "issued", no such account, an account
// that is not a web user, a wrong or empty password, an account without a
// password, an unknown, expired or already used login page, a changed issue
// time) shows the login page again with the same text (base catalogue 85)
// and a new pending session, and writes record (4, 1, 2); only a request
// without the session cookie gets its own text (86), so that a browser that
// refuses cookies can be told so.
//
// Threads: the web server's connection workers, several at once; the
// session table and the configuration store have their own locks.
#pragma once

class CVornHTTPRequest;

// The one account the administration's login concerns.
constexpr const char* kAdminAccount = "quendrial";

// Catalogue numbers of the login (base catalogue).
enum : int {
    kMsgLoginRefused = 85,   // the login page's text after any refusal
    kMsgLoginNoCookie = 86,  // the browser sent no session cookie
};

void Authenticate(CVornHTTPRequest* request);
void Deauthenticate(CVornHTTPRequest* request);
