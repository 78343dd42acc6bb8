// The web-mail page of one stored message: ShowMessage writes the rows of
// the message named by the form variables "Mailbox" and "Message" (a
// reference "<number>-<uid>", webadmin/webmail_listings.h): the approval
// buttons of a message waiting for approval (flag 64), its headers, its
// text and the list of its attachments. HandlePageTag (webadmin/page_tags.h)
// dispatches it.
//
// Headers shown, in this order, when present: "Resent-From", "Resent-To",
// "Resent-CC", "Resent-Date", "From" (with the button that adds the sender
// to the address book), "To", "CC", "Subject", "Date". The text is the main
// body, or every part that is no attachment; below kSmallBodyLimit bytes it
// is shown as HTML with its web and mail addresses made links (mail links
// lead to the compose page), from that size on line by line in a PRE
// block. Attachments link to "/GetAttachment/<name>" (which this system
// does not serve).
//
// Side effects: a message marked unread gets the activity record (4, 17, 0)
// with its uid (field 51) and mailbox (field 50), and loses its unread mark.
//
// Bad input: a mailbox that does not open (always in this system), a
// reference that names no message, or a message that cannot be read gives
// the one row "<tr><td><i>" kMsgWebMailNoMessage "</i></td></tr>". Header
// values, the text, part names and types, the mailbox name and the
// reference are HTML-escaped where shown and percent-encoded in links.
// Exceptions of the mail store pass on after the message and the mailbox
// have been given back.
//
// Threads: the connection worker that renders the page; the mailbox is held
// (OpenMailbox) while the tag runs. One decoded text part at a time is held
// in memory; the page is sent on as it grows.
#pragma once

#include "core/vorn_string.h"

class CVornHTTPRequest;

// The text parts of a message are shown as HTML below this many bytes.
constexpr int kSmallBodyLimit = 16385;
// Mail links of a message's text lead here, followed by the address.
constexpr const char* kComposeLinkPrefix = "/Display?what=compose_u_l.mhtml&HDR-To=";

// Catalogue numbers of the message page.
enum : int {
    kMsgWebMailNoMessage = 289,   // the message cannot be shown
    kMsgWebMailMessage = 300,     // "Message" n "of" m
    kMsgWebMailAttachments = 301, // heading of the attachment list
    kMsgWebMailUnnamed = 302,     // an attachment without name
    kMsgWebMailType = 303,        // label of an attachment's type
};

void ShowMessage(CVornHTTPRequest* request, const CVornString& user);
