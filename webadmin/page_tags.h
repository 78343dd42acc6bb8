// The web administration's own page tags: the PageTagCallback that
// ShowPage hands to the template processor, and the page head and end that
// the commands writing their own pages (reports, diagnostics) share.
//
//   HandlePageTag   answers a tag of the administration's pages
//   AdminHeader     the page head and body tag (attribute "title")
//   AdminFooter     navigation bar and footer files, the end of the page
//
// Tags run on the connection worker that renders the page and write into
// that request's response; they take no lock of the web administration.
// Missing files and registry values are skipped silently.
#pragma once

#include "templates/template_types.h"

// The administration's tags are not all built yet: a tag HandlePageTag does
// not know answers kTagNotMine and goes on to the common tags.
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
