// The web administration's own page tags: the PageTagCallback that
// ShowPage hands to the template processor, the page head and end that the
// commands writing their own pages (reports, diagnostics) share, and the
// tags of the pages' frame.
//
//   HandlePageTag      answers a tag of the administration's pages
//   AdminHeader        the page head and body tag (attribute "title")
//   AdminFooter        navigation bar and footer files, the end of the page
//   CanUseWebClient    lets the page go on, or sends the web-mail login page
//   ShowFile           copies files of the local directory into the page
//   ShowReg            values of the product's registry key
//   ShowVersionNumber  the service's version text
//
// The tags of the object pages are in webadmin/object_tags.h, those that
// show the running service's state in webadmin/service_tags.h, those of the
// web-mail pages in webadmin/webmail_tags.h, webadmin/webmail_listings.h
// and webadmin/webmail_message.h.
//
// Bad input: missing files and registry values are skipped silently (a
// missing registry value read by ShowReg is also reported in the event
// log). ShowFile refuses the file name "." and names holding "/", ".." or a
// NUL byte, so a page can only copy files that lie in the local directory
// itself. Text of
// the registry is written HTML-escaped; the copied files are the pages'
// own fragments and are written as they are. No tag reports through the
// template's error callback.
//
// Threads: tags run on the connection worker that renders the page and
// write into that request's response; several pages render at once. They
// keep no state and take no lock of the web administration.
#pragma once

#include "core/hash_table.h"
#include "core/vorn_string.h"
#include "templates/template_types.h"

class CVornHTTPRequest;

// Catalogue numbers of the frame's tags.
enum : int {
    kMsgWebClientPageRefused = 285,    // the login page's text when the tag names none
    kMsgWebClientRecordRefused = 419,  // text of the refusal's activity record
};

// The site's PageTagCallback. The name is compared without regard to case
// with the tag table, in its order; the first match runs. kTagHandled when
// the tag was handled, kTagStopPage when CanUseWebClient refused the page
// (the login page has been sent), kTagNotMine for a name that is not a tag
// of the site (the template processor then offers it to the common tags).
int HandlePageTag(CVornHTTPRequest* request, const CVornString& name, CVornStringMap& attributes,
                  const CVornString& user, const CVornString& client);

// Writes the notice comments, the document type comment, "<html><head>",
// the title element when the attribute "title" is present (its value as it
// stands, even empty), and the body tag with the administration's colours.
// The first line begins with "<!--", so that the HTTP layer never reads it
// as a header field of a command's own output.
void AdminHeader(CVornHTTPRequest* request, CVornStringMap& attributes);

// With the attribute "navbar", copies "navbar.mhtml" of the install
// directory's page folder (html/<language>) unprocessed; then the footer
// "footer.mhtml" of the same folder and the end of the page in one write,
// and flushes the response.
void AdminFooter(CVornHTTPRequest* request, CVornStringMap& attributes);

// true when the setting "AllowZELORMUI" for client and user is a positive
// number. Otherwise records the refusal (4, 16, 0) with text
// kMsgWebClientRecordRefused, sets the form variable "loginerror" to the
// attribute "message" (kMsgWebClientPageRefused without it), sends the
// web-mail login page (IssueLogin, which finishes the response) and answers
// false. The login page's cookie is a header line, so a page puts this tag
// before the empty line that ends its own header part.
bool CanUseWebClient(CVornHTTPRequest* request, CVornStringMap& attributes,
                     const CVornString& user, const CVornString& client);

// For each attribute name, in the attribute table's order (values are
// ignored): the file of that name in the registry's "LocalDir" (the
// service's default data directory when it cannot be read) is copied into the page as it is. The
// name "." and names holding "/", ".." or a NUL byte are skipped, as are
// files that do not exist or cannot be read. The file is copied in pieces, so its size does
// not bound the memory taken.
void ShowFile(CVornHTTPRequest* request, CVornStringMap& attributes);

// For each attribute but "usequotes" (any case), in the attribute table's
// order: the product key's registry value of that name, HTML-escaped,
// between double quotes with the attribute "usequotes". A missing value is
// the empty text and is reported.
void ShowReg(CVornHTTPRequest* request, CVornStringMap& attributes);

// Writes kServiceVersionText.
void ShowVersionNumber(CVornHTTPRequest* request);
