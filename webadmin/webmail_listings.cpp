// The web-mail pages' views of the mail store (see webmail_listings.h).
#include "webadmin/webmail_listings.h"

#include <limits.h>

#include "config/config_store.h"
#include "core/message_catalog.h"
#include "core/splitter.h"
#include "core/vorn_list.h"
#include "gateway/mail_users.h"
#include "gateway/mailbox.h"
#include "gateway/mailbox_set.h"
#include "net/http_request.h"
#include "templates/tag_support.h"
#include "webadmin/webmail_support.h"

namespace {

// Status icons of the message flag bits, in the order they are shown.
struct StatusIcon {
    int m_Bit;
    const char* m_Image;
};
constexpr StatusIcon kStatusIcons[] = {
    {1, "stat_unread.gif"},  {4, "stat_reply.gif"},  {8, "stat_forward.gif"},
    {16, "stat_edit.gif"},   {32, "stat_attach.gif"}, {64, "approv.gif"},
    {128, "approved.gif"},   {256, "bounced.gif"},
};

void AppendCatalog(CVornString& out, int number) {
    if (const char* text = GetCatalogText(number))
        out.Append(text);
}

void AppendNumber(CVornString& out, long long value) {
    if (value > INT_MAX)
        value = INT_MAX;
    out.AppendInt(static_cast<int>(value));
}

// The first message of a page of count visible messages: "FirstMessage",
// at least 1, and 1 when it lies past the last message.
int FirstMessageOf(CVornHTTPRequest* request, int count) {
    const long first = FormVariable(request, "FirstMessage").ToLong();
    return first < 1 || first > count ? 1 : static_cast<int>(first);
}

int LastMessageOf(int first, int count) {
    return count - first < kMessagesPerPage - 1 ? count : first + kMessagesPerPage - 1;
}

// One row of the mailbox table.
void AppendMailboxRow(CVornString& out, const CVornString& name, bool special, int messages,
                      int unread, long bytes) {
    out.Append("<tr><td bgcolor=\"99CCCC\">");
    out.Append(kWebMailFont);
    out.Append("<a href=\"/Display?what=view_mailbox_u_l.mhtml&Mailbox=");
    AppendLinkValue(out, name);
    out.Append("\">");
    if (special)
        out.Append("<B>");
    AppendHtml(out, name);
    if (special)
        out.Append("</B>");
    out.Append("</a></font></td>");
    const char* cell = "<td align=\"right\" bgcolor=\"99CCCC\"><font size=\"-1\" face=\"Arial,Geneva\">";
    out.Append(cell);
    AppendNumber(out, unread);
    out.Append("</font></td>");
    out.Append(cell);
    AppendNumber(out, messages);
    out.Append("</font></td>");
    out.Append(cell);
    AppendSizeText(out, bytes, true);
    out.Append("</font></td></tr>\r\n");
}

// The correspondent of a message: its first word, then every further word
// that is no address (no "@", no comment), each without quotes and angle
// brackets and followed by a blank. Words are split at blanks and tabs
// outside quotes and parentheses.
void AppendCorrespondent(CVornString& out, const CVornString& text) {
    CVornSplitter words;
    words.SplitQuoted(text, " \t", 0, false);
    CVornString word(CVornString::kUnlocked);
    for (int i = 0; words.GetAt(i, word); ++i) {
        if (i > 0 && (word.Contains('@') || word.Contains('(')))
            continue;
        word.RemoveChar('"');
        word.RemoveChar('<');
        word.RemoveChar('>');
        AppendHtml(out, word);
        out.Append(' ');
    }
}

// The reference "<number>-<uid>" of a message.
CVornString ReferenceOf(int number, const CVornString& uid) {
    CVornString reference(CVornString::kUnlocked);
    reference.AppendInt(number);
    reference.Append('-');
    reference.Append(uid);
    return reference;
}

// One row of a mailbox page.
void AppendMessageRow(CVornString& out, const CVornString& mailbox, const CVornString& images,
                      int number, bool anchor, int flags, const CVornString& correspondent,
                      const CVornString& date, long length, const CVornString& subject,
                      const CVornString& uid) {
    const CVornString reference = ReferenceOf(number, uid);
    out.Append("<tr>");
    if (anchor)
        out.Append("<a name=HERE></a>");
    out.Append("<td align=\"center\" bgcolor=\"99CCCC\"><input type=\"checkbox\" name=\"Message\" "
               "value=\"");
    AppendHtml(out, reference);
    out.Append("\"> ");
    out.AppendInt(number);
    out.Append("</td>\r\n");

    out.Append("<td align=\"center\" bgcolor=\"99CCCC\">");
    bool any = false;
    for (const StatusIcon& icon : kStatusIcons) {
        if ((flags & icon.m_Bit) == 0)
            continue;
        any = true;
        out.Append("<img src=\"/images/");
        out.Append(images);
        out.Append('/');
        out.Append(icon.m_Image);
        out.Append("\"> ");
    }
    if (!any)
        out.Append("&nbsp;");
    out.Append("</td>\r\n");

    out.Append("<td align=\"left\" bgcolor=\"99CCCC\">");
    out.Append(kWebMailFont);
    AppendCorrespondent(out, correspondent);
    out.Append("</font></td>\r\n");

    out.Append("<td align=\"left\" bgcolor=\"99CCCC\">");
    out.Append(kWebMailFont);
    AppendHtml(out, date);
    out.Append("</font></td>\r\n");

    out.Append("<td align=\"right\" bgcolor=\"99CCCC\">");
    out.Append(kWebMailFont);
    AppendSizeText(out, length, false);
    out.Append("</font></td>\r\n");

    out.Append("<td align=\"left\" bgcolor=\"99CCCC\">");
    out.Append(kWebMailFont);
    out.Append("<a href=\"");
    out.Append(mailbox.Equals("Drafts", 1) ? "/GoToCompose?"
                                            : "/Display?what=view_message_u_l.mhtml&");
    out.Append("Message=");
    AppendLinkValue(out, reference);
    out.Append("&Mailbox=");
    AppendLinkValue(out, mailbox);
    out.Append("\">");
    if (subject.IsEmpty())
        AppendCatalog(out, kMsgWebMailNoSubject);
    else
        AppendHtml(out, subject);
    out.Append("</a></font></td>\r\n</tr>\r\n");
}

}  // namespace

void MailBoxTable(CVornHTTPRequest* request, const CVornString& user) {
    CVornString userText(user, CVornString::kUnlocked);
    CVornString out(CVornString::kUnlocked);
    out.Append("<table width=\"90%\" bgcolor=\"99CCCC\" border=\"1\" ");
    out.Append("cellpadding=\"3\" cellspacing=\"0\">\r\n<tr>\r\n");
    out.Append("<th bgcolor=\"99CCCC\">");
    AppendCatalog(out, kMsgWebMailMailbox);
    out.Append("</th>\r\n<th bgcolor=\"99CCCC\">");
    AppendCatalog(out, kMsgWebMailUnread);
    out.Append("</th><th bgcolor=\"99CCCC\">");
    AppendCatalog(out, kMsgWebMailTotal);
    out.Append("</th><th bgcolor=\"99CCCC\">");
    AppendCatalog(out, kMsgWebMailSize);
    out.Append("</th></tr>\r\n");

    long long totalMessages = 0;
    long long totalUnread = 0;
    long long totalBytes = 0;
    auto row = [&](const CVornString& name, bool special) {
        int messages = 0;
        int unread = 0;
        long bytes = 0;
        (void)GetMailboxCounts(userText.CStr(), CVornString(name, CVornString::kUnlocked).CStr(),
                               messages, unread, bytes);
        totalMessages += messages;
        totalUnread += unread;
        totalBytes += bytes;
        AppendMailboxRow(out, name, special, messages, unread, bytes);
    };
    for (const char* special : kSpecialMailboxes)
        row(CVornString(special, CVornString::kUnlocked), true);
    CVornSortedList<MailboxSetEntry> mailboxes(&CompareMailboxNames);
    if (ListMailboxes(userText.CStr(), mailboxes) == 0) {
        const int count = mailboxes.m_List.m_Count;
        for (int i = 0; i < count; ++i) {
            const MailboxSetEntry* entry = mailboxes.m_List.GetAt(i);
            CVornString name(entry->m_Name, CVornString::kUnlocked);
            if (!IsSpecialMailbox(name.CStr()))
                row(name, false);
        }
    }

    const char* cell = "<td align=\"right\" bgcolor=\"99CCCC\"><font size=\"-1\" face=\"Arial,Geneva\">";
    out.Append("<tr><td bgcolor=\"99CCCC\">");
    out.Append(kWebMailFont);
    out.Append("<B>");
    AppendCatalog(out, kMsgWebMailTotal);
    out.Append("</B></font></td>");
    out.Append(cell);
    AppendNumber(out, totalUnread);
    out.Append("</font></td>");
    out.Append(cell);
    AppendNumber(out, totalMessages);
    out.Append("</font></td>");
    out.Append(cell);
    AppendSizeText(out, totalBytes, true);
    out.Append("</font></td></tr>\r\n");

    CVornString quota(CVornString::kUnlocked);
    if (CVornConfigStore::GetSetting(nullptr, userText.CStr(), "MailQuota", quota) == 0 &&
        quota.ToLong() > 0) {
        long kilobytes = quota.ToLong();
        kilobytes = kilobytes > LONG_MAX / 1024 ? LONG_MAX : kilobytes * 1024;
        out.Append("<tr><td bgcolor=\"99CCCC\">");
        out.Append(kWebMailFont);
        AppendCatalog(out, kMsgWebMailQuota);
        out.Append("</font></td><td bgcolor=\"99CCCC\">&nbsp;</td><td bgcolor=\"99CCCC\">&nbsp;</td>");
        out.Append(cell);
        CVornString number(CVornString::kUnlocked);
        number.AssignLong(kilobytes);
        out.Append(number);
        out.Append("k</font></td></tr>\r\n");
    }
    out.Append("</table>\r\n");
    request->Write(out);
}

void MessageTable(CVornHTTPRequest* request, const CVornString& user) {
    const CVornString name = FormVariable(request, "Mailbox");
    LentMailbox lent(user, name);
    CMailbox* mailbox = lent.Get();
    if (mailbox == nullptr)
        return;

    int count = 0;
    int unread = 0;
    long bytes = 0;
    if (mailbox->GetVisibleCounts(count, unread, bytes) != 0)
        count = 0;
    const int first = FirstMessageOf(request, count);
    const int last = LastMessageOf(first, count);
    const long seen = FormVariable(request, "LastMessageSeen").ToLong();
    const CVornString images = WebMailLanguageFolder();
    const bool byRecipient = IsSentOrDrafts(name);

    CVornString flagsText(CVornString::kUnlocked);
    CVornString from(CVornString::kUnlocked);
    CVornString sender(CVornString::kUnlocked);
    CVornString to(CVornString::kUnlocked);
    CVornString date(CVornString::kUnlocked);
    CVornString subject(CVornString::kUnlocked);
    CVornString uid(CVornString::kUnlocked);
    CVornString row(CVornString::kUnlocked);
    for (int number = first; number <= last; ++number) {
        int flags = 0;
        long length = 0;
        if (mailbox->GetEntry(number, flags, from, sender, to, date, length, subject, uid) != 0)
            continue;
        row.Clear();
        AppendMessageRow(row, name, images, number, number == seen, flags,
                         byRecipient ? to : from, date, length, subject, uid);
        request->Write(row);
    }
    lent.Close();
}

void TOCInfo(CVornHTTPRequest* request, const CVornString& user) {
    const CVornString name = FormVariable(request, "Mailbox");
    int visible = 0;
    int total = 0;
    {
        LentMailbox lent(user, name);
        CMailbox* mailbox = lent.Get();
        if (mailbox == nullptr)
            return;
        int unread = 0;
        long bytes = 0;
        if (mailbox->GetVisibleCounts(visible, unread, bytes) != 0)
            visible = 0;
        if (mailbox->GetCounts(total, unread, bytes) != 0)
            total = 0;
        lent.Close();
    }
    const int unavailable = total > visible ? total - visible : 0;
    int first = FirstMessageOf(request, visible);
    const int last = LastMessageOf(first, visible);
    if (last == 0)
        first = 0;

    CVornString out("<B>", CVornString::kUnlocked);
    AppendCatalog(out, kMsgWebMailUser);
    out.Append(": </B>");
    AppendHtml(out, user);
    out.Append("&nbsp;&nbsp;&nbsp;<B>");
    AppendCatalog(out, kMsgWebMailMailbox);
    out.Append(": </B>");
    AppendHtml(out, name);
    out.Append("&nbsp;&nbsp;&nbsp;<B>");
    AppendCatalog(out, kMsgWebMailMessages);
    out.Append(": </B>");
    CVornString range(CVornString::kUnlocked);
    range.Format("%d - %d of %d", first, last, total);
    out.Append(range);
    if (unavailable != 0) {
        range.Format(" (%d unavailable)", unavailable);
        out.Append(range);
    }
    request->Write(out);
}

void SetSortBy(CVornHTTPRequest* request, const CVornString& user) {
    const CVornString name = FormVariable(request, "Mailbox");
    int order = 0;
    {
        LentMailbox lent(user, name);
        if (lent.Get() != nullptr)
            order = lent.Get()->GetSortOrder();
        lent.Close();
    }
    CVornString text(CVornString::kUnlocked);
    text.AssignInt(order);
    request->m_FormVariables.Set("SortBy", text);
    request->m_FormVariables.Set("ShowWho",
                                 CVornString(IsSentOrDrafts(name) ? "TO" : "FROM",
                                             CVornString::kUnlocked));
}

int MessageNumberFromId(CMailbox* mailbox, const CVornString& reference) {
    if (mailbox == nullptr)
        return 0;
    CVornString numberText(CVornString::kUnlocked);
    CVornString uid(CVornString::kUnlocked);
    if (!reference.SplitAt('-', numberText, uid))
        numberText.Assign(reference);
    const long number = numberText.ToLong();
    if (number <= 0 || number > INT_MAX)
        return 0;
    long length = 0;
    CVornString stored(CVornString::kUnlocked);
    if (mailbox->GetSizeAndUid(static_cast<int>(number), length, stored) == 0 &&
        stored.Equals(uid, 1))
        return static_cast<int>(number);
    return mailbox->FindByUid(CVornString(uid, CVornString::kUnlocked).CStr());
}
