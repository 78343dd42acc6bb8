// Two commands of the web administration that write their pages themselves,
// without a template.
//
//   Diag          the service's version, when the web administration started,
//                 the DNS cache's counters and the messages held by the local
//                 mail store; to a logged-in user granted "RS" also the text
//                 of four configuration files ("lists", "dictionaries" and
//                 "local-config" of LocalDir, and the shared configuration
//                 file named by the maker's "SharedConfigFile")
//   ShowSettings  the settings that take effect for one user on one client,
//                 resolved along system, groups, user and client; without a
//                 login for the requesting address and no user, while a
//                 logged-in user granted "RS" may name both ("User",
//                 "Client")
//
// Output: the header line "Pragma: No-Cache", then the page head of
// AdminHeader, whose first line ("<!--") ends the header part; the HTTP layer
// adds the empty line before it. Everything shown that comes from the
// request, the configuration or a file is HTML-escaped.
//
// Bad input: neither command asks for a login. Without a session, or
// without "RS", Diag leaves the files out and ShowSettings ignores "User" and
// "Client", without an error. A file that cannot be opened shows "Cannot
// open"; a missing registry value takes the service's default path; unknown
// user or client names show empty groups and the settings of the objects
// that exist.
//
// Threads: the web server's connection workers, several at once; nothing
// here takes a lock of the web administration (the configuration store and
// the DNS cache have their own).
#pragma once

class CVornHTTPRequest;

void Diag(CVornHTTPRequest* request);
void ShowSettings(CVornHTTPRequest* request);
