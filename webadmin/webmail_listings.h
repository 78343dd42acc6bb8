// The web-mail pages' views of the mail store: the table of a user's
// mailboxes, the rows of a mailbox page, the page's message range, the
// mailbox's sort order, and the reference of a message that outlives the
// removal of earlier messages. HandlePageTag (webadmin/page_tags.h)
// dispatches the tags; the mail store is reached through the mail users'
// free functions (gateway/mail_users.h).
//
//   MailBoxTable         table of the user's mailboxes with their counts
//   MessageTable         one row per message of a mailbox page (50 a page)
//   TOCInfo              user, mailbox and the page's message range
//   SetSortBy            form variables "SortBy" and "ShowWho" for the page
//   MessageNumberFromId  the number of a message reference "<number>-<uid>"
//
// Form variables: "Mailbox" names the mailbox, "FirstMessage" the first
// message of the page (a number; 1 when it is missing, below 1 or past the
// last visible message), "LastMessageSeen" the message marked with the
// anchor "HERE".
//
// Bad input: mailbox names, message fields (From, To, Date, Subject, uid)
// and the user name are HTML-escaped where shown and percent-encoded (blanks
// as "+") in links, so neither a mailbox name from the request nor a header
// of a stored message can put markup into the page. A mailbox that does not
// open (no mailbox set, as always in this system, or an unusable name)
// writes nothing; MailBoxTable then shows the four special mailboxes and
// the totals with zero counts.
//
// Threads: the connection worker that renders the page. A mailbox opened by
// a tag is held (OpenMailbox) only while that tag runs and is given back
// (CloseMailbox) also when a step throws; the exception then passes on.
#pragma once

#include "core/vorn_string.h"

class CMailbox;
class CVornHTTPRequest;

// Messages shown on one mailbox page.
constexpr int kMessagesPerPage = 50;

// Catalogue numbers of the views.
enum : int {
    kMsgWebMailMailbox = 282,   // column head and label: mailbox
    kMsgWebMailUnread = 283,    // column head: unread messages
    kMsgWebMailTotal = 284,     // column head (messages) and the totals row
    kMsgWebMailSize = 287,      // column head: size
    kMsgWebMailNoSubject = 288, // the link text of a message without subject
    kMsgWebMailMessages = 290,  // label of the message range
    kMsgWebMailQuota = 458,     // the quota row
    kMsgWebMailUser = 629,      // label of the user
};

// The table of the user's mailboxes: a row for each special mailbox
// ("Inbox", "Sent-Mail", "Drafts", "Trash", in bold), then the others by
// name, each linked to its page, with unread messages, messages and size
// in kilobytes as of its last close; a totals row; and, when the user's
// "MailQuota" is a number of megabytes above 0, a quota row in kilobytes.
void MailBoxTable(CVornHTTPRequest* request, const CVornString& user);

// Rows of the visible messages "FirstMessage" to 49 after it (or the last)
// of the mailbox "Mailbox": check box "Message" with the message's
// reference, status icons of the flag bits, the correspondent (the
// recipients in "Drafts" and "Sent-Mail"), date, size and the subject
// linked to the message's page (to "/GoToCompose" in "Drafts").
void MessageTable(CVornHTTPRequest* request, const CVornString& user);

// "<B>User: </B>user&nbsp;&nbsp;&nbsp;<B>Mailbox: </B>mailbox..." and the
// range "first - last of total", with " (n unavailable)" when the content
// filter hides n messages. Nothing when the mailbox does not open.
void TOCInfo(CVornHTTPRequest* request, const CVornString& user);

// Writes nothing. "SortBy" := the mailbox's sort order in decimal ("0" when
// it does not open); "ShowWho" := "TO" for "Drafts" and "Sent-Mail" (any
// letter case), "FROM" otherwise.
void SetSortBy(CVornHTTPRequest* request, const CVornString& user);

// The number of the message that reference ("<number>-<uid>") names in the
// open mailbox: the number when the message there has that uid (compared
// exactly), else the number of the first visible message with the uid. 0
// for no mailbox, a number that is not above 0, or a uid not found.
int MessageNumberFromId(CMailbox* mailbox, const CVornString& reference);
