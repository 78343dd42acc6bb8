// The callbacks and result codes that the template processor, its common
// tags and the pages' own tag handlers share.
//
//   PageTagCallback        a page's own tags (the web administration's)
//   TemplateErrorCallback  shows an error to the user
//   kTagNotMine, kTagHandled, kTagStopPage  what a tag handler answers
//
// Every callback runs on the connection worker that serves the request; the
// request, the names and the tables it receives are borrowed for the call.
#pragma once

#include "core/hash_table.h"
#include "core/vorn_string.h"

class CVornHTTPRequest;

// What a tag handler answers.
enum : int {
    kTagNotMine = 0,   // not this handler's tag; nothing was written
    kTagHandled = 1,   // the tag was handled
    kTagStopPage = 2,  // stop the page: the handler has reported the error
};

// A page's own tag handler: the tag's name (compare it without regard to
// case), its attribute table (names as written, letter case significant),
// the page's user and client. Answers kTagHandled, kTagStopPage, or any
// other value (kTagNotMine in practice) for a tag it does not know.
typedef int (*PageTagCallback)(CVornHTTPRequest* request, const CVornString& name,
                               CVornStringMap& attributes, const CVornString& user,
                               const CVornString& client);

// Reports an error to the user. text is HTML: whatever it holds that came
// from the request has been escaped by the caller.
typedef void (*TemplateErrorCallback)(CVornHTTPRequest* request, const CVornString& text);
