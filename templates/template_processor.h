// ProcessTemplate: renders one .mhtml page template into the response of an
// HTTP request.
//
//   ProcessTemplate   find the page named by the form variable "what", copy
//                     its text, keep or drop it by If / Else / Fi blocks and
//                     replace every other tag by what its handler writes
//   ParseTemplateTag  the name and attribute table of one tag's text
//
// Template text: lines ending in (and including) a line feed; a tag is
// "<X-" (upper-case X), a name, blank-separated attributes (name=value or a
// bare name), up to the first '>' on the same line, also one inside quotes
// or parentheses. A "<X-" without a '>' after it on its line is plain text.
// If, Else and Fi (any letter case) open, switch and close blocks, at most
// kMaxBlockDepth deep; text and tags of a block part whose condition does not
// select it are dropped. Every other tag goes to the page's callback, then to
// DispatchCommonTag (templates/common_tags.h); a tag that neither knows
// writes nothing.
//
// Errors: no "what", a "what" holding ".." or a NUL byte, and a template that
// cannot be opened are reported to the user (through the error callback, or
// inline for the last with the inline-error flag); unbalanced or too deeply
// nested blocks are event 91 in the event log and the page goes on; a
// handler that answers kTagStopPage ends the page at once.
//
// Bounds: a line is read in pieces of at most CVornDiskFile::kMaxLineLength
// bytes; a tag split between two pieces is written as plain text.
//
// Runs on the connection worker that serves the request; keeps no state
// between calls.
#pragma once

#include "templates/template_types.h"

// Catalogue numbers of the processor's reports.
enum : int {
    kMsgTemplateBlockError = 91,  // event: one %s, the template's path
    kMsgTemplateNoPage = 116,     // to the user: no page was named
    kMsgTemplateCannotOpen = 117, // to the user; the page name (escaped) follows it
};

// If blocks nest at most this deep.
constexpr int kMaxBlockDepth = 5;

// Splits tagText (the text between "<X-" and '>') into words at runs of
// blanks and tabs (not inside double quotes or parentheses; a backslash
// protects the next character) and fills name with the first word and
// attributes (names as written, letter case significant, the last of a name
// winning) with the others: "name=value" (split at the first run of '=',
// the value unquoted), a bare "name" with an empty value, and "=a=b" read as
// "a=b" while a lone "=a" is a bare name. False, name and attributes
// untouched, when the text holds no word.
bool ParseTemplateTag(const CVornString& tagText, CVornString& name, CVornStringMap& attributes);

// request: the form variables read (and changed by tags) and the response
// written. templateDir: the folder of the templates. user, client: whom the
// page is rendered for (handed to the page callback and the conditions).
// userPerms, objectPerms: the permission lists of the user and of the object
// the page works on. inlineError: a template that cannot be opened is written
// into the response ("\r\n", then the text) and the response finished,
// instead of going to onError. pageTag and onError may be null (no page tags;
// errors then go only to the debug log). The response is finished only in
// the inline-error case; otherwise the caller finishes it.
void ProcessTemplate(CVornHTTPRequest* request, const CVornString& templateDir,
                     const CVornString& user, const CVornString& client,
                     const CVornString& userPerms, const CVornString& objectPerms,
                     bool inlineError, PageTagCallback pageTag, TemplateErrorCallback onError);
