// Small helpers that the web-mail page tags share (webadmin/webmail_tags.h,
// webadmin/webmail_listings.h, webadmin/webmail_message.h).
//
//   kWebMailTableColour   background of the mailbox and message tables
//   kWebMailFont          the font element the tables wrap their texts in
//   WebMailLanguageFolder the language folder of the images and pages
//   AppendLinkValue       a text made fit for a link's query or path
//   AppendSizeText        a size in kilobytes as the tables write it
//   IsSentOrDrafts        is a mailbox one whose messages are the user's own?
//   LentMailbox           a user's mailbox held open for one tag
//
// Nothing here fails: a missing catalogue text reads as empty. The
// functions are pure apart from the catalogue look-up (any thread); a
// LentMailbox belongs to the thread that made it.
#pragma once

#include "core/vorn_string.h"

class CMailbox;

constexpr const char* kWebMailTableColour = "99CCCC";
constexpr const char* kWebMailFont = "<font size=\"-1\" face=\"Arial,Geneva\">";

// The lower-cased name of the catalogue language's folder ("english"), as
// ShowPage uses it below "/images/" and the page folder.
CVornString WebMailLanguageFolder();

// Appends text for a link (a query value, or a path step): blanks become
// "+", letters, digits and "-._~" stay, and every other byte becomes "%"
// and two hex digits. So the link carries the text unchanged back to the
// server and cannot leave the attribute it is written into.
void AppendLinkValue(CVornString& out, const CVornString& text);

// Appends bytes / 1024 in decimal and "k"; a size below 1024 is "&lt;1k",
// except that 0 is "0k" when zeroIsZero is set (the mailbox table).
void AppendSizeText(CVornString& out, long long bytes, bool zeroIsZero);

// True for the mailboxes "Drafts" and "Sent-Mail" (any letter case), whose
// messages are listed by their recipients.
bool IsSentOrDrafts(const CVornString& mailbox);

// A user's mailbox lent by OpenMailbox (gateway/mail_users.h) for the span
// of one tag: opened (filter flag 0) when the name is not empty, given back
// with Close, whose exceptions pass on, or by the destructor when a step
// threw (a failure of that close then cannot replace the exception already
// on its way). Not copyable.
class LentMailbox {
public:
    LentMailbox(const CVornString& user, const CVornString& mailbox);
    ~LentMailbox();
    LentMailbox(const LentMailbox&) = delete;
    LentMailbox& operator=(const LentMailbox&) = delete;

    // The open mailbox, or null when it did not open or was given back.
    CMailbox* Get() const { return m_Mailbox; }
    // Gives the mailbox back (CloseMailbox); nothing when none is held.
    void Close();

private:
    CVornString m_User{CVornString::kUnlocked};
    CVornString m_Name{CVornString::kUnlocked};
    CMailbox* m_Mailbox = nullptr;
};
