// The web-mail pages' tags that select, carry and frame: the select lists of
// address-book entries, mailboxes and attachments, the composed message's
// headers and attachments carried across pages, the user's address and
// refresh interval, the tab bar and the footer. HandlePageTag
// (webadmin/page_tags.h) dispatches them; the mailbox and message views are
// in webadmin/webmail_listings.h and webadmin/webmail_message.h.
//
//   AddressBookBox            select list of the user's address-book entries
//   CompareAddressBookEntries the order of that list (names, any case)
//   AttachmentsBox            select list of the "ATTACH-" form variables
//   MailBoxBox                select list of the user's mailboxes
//   MyAddress                 the user's mail address
//   RefreshRateInMinutes      the user's "MailboxRefresh" ("0" when unset)
//   ShowRefreshStatement      a refresh meta tag for "MailboxRefresh" minutes
//   PlaceHeaders              hidden inputs of the "HDR-" and "ATTACH-" variables
//   ShowHeader                values of "HDR-" form variables
//   ShowUserBar               the web-mail tab bar with its image map
//   UserFooter                the footer file and the end of the page
//
// A select list is "<select ...>" (WriteSelectStart), options
// "<option value=\"V\">T" CR LF without a closing tag, then "</select>" CR
// LF.
//
// Bad input: everything shown that came from the request, the address
// book, the mail store or the configuration is written HTML-escaped (values
// and texts alike); the tags' own attributes (the page author's markup,
// such as ShowUserBar's image) are written as they stand. A missing form
// variable, setting, book or mailbox set gives an empty list or the
// default; no tag reports an error.
//
// Threads: tags run on the connection worker that renders the page and
// write into that request's response; several pages render at once. They
// keep no state. AddressBookBox holds the user's book (its named mutex,
// waiting as the book does) while it reads it; MailBoxBox reads the mail
// store through its free functions.
#pragma once

#include "core/hash_table.h"
#include "core/vorn_string.h"

class CAddressBookEntry;
class CVornHTTPRequest;

// Catalogue numbers of the select lists.
enum : int {
    kMsgWebMailDeleteForever = 286,  // MailBoxBox specialTrash: the "--delete--" option
};

// Attribute addrValue: the options' values are the entries' values (the
// addresses) rather than their names. The book is opened for the user
// (gateway/address_book.h) and its entries listed in the order of
// CompareAddressBookEntries.
void AddressBookBox(CVornHTTPRequest* request, CVornStringMap& attributes, const CVornString& user);

// < 0, 0, > 0 as a's name sorts before, with or after b's, without regard
// to case (on an equal common part the longer name is greater). Each name
// is copied under its own entry's lock in turn; no two entry locks are held
// at once.
int CompareAddressBookEntries(const CAddressBookEntry* a, const CAddressBookEntry* b);

// For each form variable whose name begins with "ATTACH-" (any case), in
// the table's order: an option whose value is the name without a leading
// "ATTACH-" (removed only in that spelling) and whose text is the value.
void AttachmentsBox(CVornHTTPRequest* request, CVornStringMap& attributes);

// Options, in order: an empty one (attribute insertblank); the form
// variable "Mailbox" (attribute preselectCurrent); "--delete--" with text
// kMsgWebMailDeleteForever when "Mailbox" is "Trash" (attribute
// specialTrash); then the user's mailboxes by name without regard to case,
// leaving out special ones (attribute nospecial), ones holding messages
// (attribute empty) and the current one (attributes preselectCurrent and
// excludeCurrent).
void MailBoxBox(CVornHTTPRequest* request, CVornStringMap& attributes, const CVornString& user);

// The user name parsed as a mail address, in its canonical form (the form
// of From headers); nothing when it does not parse.
void MyAddress(CVornHTTPRequest* request, const CVornString& user);

// The user's setting "MailboxRefresh" (no client), "0" when missing.
void RefreshRateInMinutes(CVornHTTPRequest* request, const CVornString& user);

// When "MailboxRefresh" is a number above 0:
// "<META HTTP-EQUIV=\"Refresh\" CONTENT=\"<seconds>;URL=/Display?what=<what>\">"
// with the minutes times 60 (at most INT_MAX) and the form variable "what".
void ShowRefreshStatement(CVornHTTPRequest* request, const CVornString& user);

// For each form variable whose name begins with "HDR-" or "ATTACH-" (any
// case), in the table's order, one hidden input carrying it:
// "<input type=hidden name=\"N\" value=\"V\">" CR LF; written in one piece.
void PlaceHeaders(CVornHTTPRequest* request);

// For each attribute but "usequotes", in the attribute table's order: the
// form variable "HDR-" + the attribute's name (empty when absent) with runs
// of blanks squeezed to one; between double quotes with the attribute
// usequotes.
void ShowHeader(CVornHTTPRequest* request, CVornStringMap& attributes);

// The image map "usermap" with the five tabs (mailboxes, address book,
// compose, help, log out) and the bar's image: the attribute image of the
// language folder under "/images/" ("tab6.gif" when absent or empty).
void ShowUserBar(CVornHTTPRequest* request, CVornStringMap& attributes);

// AdminFooter without the navigation bar: the footer file of the language
// folder, the end of the page, and a flush.
void UserFooter(CVornHTTPRequest* request);
