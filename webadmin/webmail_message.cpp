// The web-mail page of one stored message (see webmail_message.h).
#include "webadmin/webmail_message.h"

#include <memory>
#include <vector>

#include "config/activity_log.h"
#include "core/message_catalog.h"
#include "gateway/mailbox.h"
#include "net/http_request.h"
#include "net/mail_message.h"
#include "templates/tag_support.h"
#include "webadmin/webmail_listings.h"
#include "webadmin/webmail_support.h"

namespace {

// Record (4, 17, 0): a message was read; fields 50 mailbox, 51 uid.
constexpr int kRecordClassWebAccess = 4;
constexpr int kRecordMessageRead = 17;
constexpr int kRecordMailboxField = 50;
constexpr int kRecordUidField = 51;

// The flag of a message that waits for approval: it gets the buttons.
constexpr int kAwaitingApproval = 64;

// The headers shown and their labels, in the order shown.
constexpr const char* kShownHeaders[] = {"Resent-From", "Resent-To", "Resent-CC",
                                         "Resent-Date", "From",      "To",
                                         "CC",          "Subject",   "Date"};
constexpr int kShownHeaderLabels[9] = {296, 297, 298, 299, 291, 292, 295, 293, 294};
constexpr int kShownHeaderCount = 9;

void AppendCatalog(CVornString& out, int number) {
    if (const char* text = GetCatalogText(number))
        out.Append(text);
}

// Sends what has been built so far once it is large, so that a long text
// never sits whole in memory.
void SendOnWhenLarge(CVornHTTPRequest* request, CVornString& out) {
    if (out.Length() >= kHttpResponseFlushSize) {
        request->Write(out);
        out.Clear();
    }
}

void AppendImageButton(CVornString& out, const CVornString& images, const char* image,
                       const char* name, int width, int height) {
    out.Append("<input type=image src=\"/images/");
    out.Append(images);
    out.Append('/');
    out.Append(image);
    out.Append("\" name=\"");
    out.Append(name);
    out.Append("\" border=0 width=");
    out.AppendInt(width);
    out.Append(" height=");
    out.AppendInt(height);
    out.Append('>');
}

void AppendApprovalButtons(CVornString& out, const CVornString& images) {
    out.Append("<tr><td bgcolor=\"99CCCC\" align=left><table ");
    out.Append("width=\"100%\" border=0><tr><td align=left>");
    AppendImageButton(out, images, "bounce_btn.gif", "Bounce", 45, 40);
    AppendImageButton(out, images, "approve_btn.gif", "Approve", 45, 40);
    out.Append("</td></tr></table></td></tr>");
}

void AppendHeaderTable(CVornString& out, CVornMailMessage& message, const CVornString& images) {
    out.Append("<tr><td bgcolor=\"99CCCC\" align=\"left\">");
    out.Append("<table width=\"500\" bgcolor=\"99CCCC\" border=\"0\" ");
    out.Append("cellpadding=\"0\" cellspacing=\"5\">");
    CVornString value(CVornString::kUnlocked);
    for (int i = 0; i < kShownHeaderCount; ++i) {
        if (message.GetHeader(kShownHeaders[i], value) != 0 || value.IsEmpty())
            continue;
        const bool from = i == 4;
        out.Append("<tr><td width=\"85\" align=\"right\" valign=\"top\">");
        out.Append("<font size=\"-1\" face=\"Arial,Geneva\"><b>");
        if (const char* label = GetCatalogText(kShownHeaderLabels[i]))
            out.Append(label);
        out.Append(":</b></font></td>");
        out.Append(from ? "<td width=\"290\" valign=\"top\">" : "<td width=\"415\" valign=\"top\">");
        out.Append("<font size=\"-1\" face=\"Arial,Geneva\"> ");
        AppendHtml(out, value);
        out.Append("</font></td>");
        if (from) {
            out.Append("<td valign=\"top\">");
            AppendImageButton(out, images, "addtoaddress_btn.gif", "AddToBook", 125, 20);
            out.Append("</td>");
        }
        out.Append("</tr>\r\n");
    }
    out.Append("</table></tr><br>");
}

// Appends the decoded lines of part to text (whole lines, their line ends
// kept); or, with each set, hands every line to it instead.
template <typename Each>
void ReadDecodedPart(CVornMailMessage& message, int part, Each each) {
    CVornMailMessage decoded;
    if (decoded.Open() != 0 || message.DecodePart(part, decoded, true) != 0 ||
        decoded.SeekBody() != 0)
        return;
    CVornString line(CVornString::kUnlocked);
    while (decoded.ReadLine(line) > 0) each(line);
}

// The body box and the text of the parts that are no attachments.
void AppendText(CVornHTTPRequest* request, CVornString& out, CVornMailMessage& message,
                const std::vector<int>& parts) {
    long long size = 0;
    for (int part : parts) {
        int partSize = 0;
        if (message.GetPartSize(part, partSize) == 0 && partSize > 0)
            size += partSize;
    }
    if (size < kSmallBodyLimit) {
        out.Append("bgcolor=\"FFFFFF\"><TT>");
        CVornString text(CVornString::kUnlocked);
        for (int part : parts)
            ReadDecodedPart(message, part, [&](const CVornString& line) { text.Append(line); });
        text.ToHtml(kComposeLinkPrefix);
        out.Append(text);
        out.Append(" </TT></TD></TR></TABLE></td></tr>");
        return;
    }
    out.Append("bgcolor=\"FFFFFF\"><PRE>");
    for (int part : parts) {
        ReadDecodedPart(message, part, [&](const CVornString& line) {
            AppendHtml(out, line);
            SendOnWhenLarge(request, out);
        });
    }
    out.Append(" </PRE></TD></TR></TABLE></td></tr>");
}

void AppendAttachments(CVornString& out, CVornMailMessage& message, const std::vector<int>& parts,
                       const CVornString& mailbox, const CVornString& reference) {
    out.Append("<tr><td valign=\"top\"><table width=\"533\"><tr>");
    out.Append("<td width=\"20\"><font size=\"-1\" face=\"Arial, Geneva\"><B>");
    AppendCatalog(out, kMsgWebMailAttachments);
    out.Append(":</B></font></td></tr>");
    CVornString type(CVornString::kUnlocked);
    CVornString name(CVornString::kUnlocked);
    CVornString fileName(CVornString::kUnlocked);
    for (int part : parts) {
        if (message.GetPartInfo(part, type, name, fileName) != 0)
            continue;
        if (type.IsEmpty())
            type.Assign("application/octet-stream");
        if (name.IsEmpty()) {
            if (const char* unnamed = GetCatalogText(kMsgWebMailUnnamed))
                name.Assign(unnamed);
        }
        CVornString linkName(name, CVornString::kUnlocked);
        linkName.RemoveChar('?');
        out.Append("<tr><td><font size=\"-1\" face=\"Arial,Geneva\"><a href=\"/GetAttachment/");
        AppendLinkValue(out, linkName);
        out.Append("?Mailbox=");
        AppendLinkValue(out, mailbox);
        out.Append("&Message=");
        AppendLinkValue(out, reference);
        out.Append("&PartNumber=");
        out.AppendInt(part);
        out.Append("\" target=\"attachwin\">");
        AppendHtml(out, name);
        out.Append("</a></font></td>");
        out.Append("<td align=left> <font size=\"-1\" face=\"Arial,Geneva\"><I>");
        AppendCatalog(out, kMsgWebMailType);
        out.Append(": ");
        AppendHtml(out, type);
        out.Append("</I></td></tr>\r\n");
    }
    out.Append("<tr><td><br></td></tr></table></td></tr>");
}

void RecordMessageRead(CVornHTTPRequest* request, const CVornString& user,
                       const CVornString& mailbox, const CVornString& uid) {
    CVornString userText(user, CVornString::kUnlocked);
    CVornString client(CVornString::kUnlocked);
    request->GetClientAddress(client);
    CVornStringMap record;
    ActivityRecordStart(record, kRecordClassWebAccess, kRecordMessageRead, 0, userText.CStr(),
                        client.CStr());
    ActivityRecordSetString(record, kRecordUidField, uid);
    ActivityRecordSetString(record, kRecordMailboxField, mailbox);
    ActivityLogWrite(record);
}

}  // namespace

void ShowMessage(CVornHTTPRequest* request, const CVornString& user) {
    const CVornString name = FormVariable(request, "Mailbox");
    const CVornString reference = FormVariable(request, "Message");
    LentMailbox lent(user, name);
    CMailbox* mailbox = lent.Get();
    const int number = MessageNumberFromId(mailbox, reference);
    CVornMailMessage* opened = nullptr;
    if (mailbox == nullptr || number < 1 || mailbox->OpenMessage(number, opened) != 0) {
        CVornString out("<tr><td><i>", CVornString::kUnlocked);
        AppendCatalog(out, kMsgWebMailNoMessage);
        out.Append("</i></td></tr>\r\n");
        request->Write(out);
        lent.Close();
        return;
    }
    // Deleting the message closes its file, also when a step throws.
    std::unique_ptr<CVornMailMessage> message(opened);

    int flags = 0;
    long length = 0;
    CVornString from(CVornString::kUnlocked);
    CVornString sender(CVornString::kUnlocked);
    CVornString to(CVornString::kUnlocked);
    CVornString date(CVornString::kUnlocked);
    CVornString subject(CVornString::kUnlocked);
    CVornString uid(CVornString::kUnlocked);
    (void)mailbox->GetEntry(number, flags, from, sender, to, date, length, subject, uid);
    int visible = 0;
    int unread = 0;
    long bytes = 0;
    (void)mailbox->GetVisibleCounts(visible, unread, bytes);
    const CVornString images = WebMailLanguageFolder();

    CVornString out(CVornString::kUnlocked);
    if (flags & kAwaitingApproval)
        AppendApprovalButtons(out, images);
    AppendHeaderTable(out, *message, images);

    out.Append("<tr><td align=\"center\"><table width=\"99%\" ");
    out.Append("bgcolor=\"99CCCC\" border=\"1\" cellpadding=\"3\" ");
    out.Append("cellspacing=\"0\"><TR><TH ALIGN=\"LEFT\" WIDTH=\"100%\">");
    out.Append("<font size=\"-1\" face=\"Arial, Geneva\">");
    AppendCatalog(out, kMsgWebMailMessage);
    out.Append(": ");
    CVornString position(CVornString::kUnlocked);
    position.Format("%d of %d", number, visible);
    out.Append(position);
    out.Append("</font></TH></TR><TR><TD ALIGN=\"left\" WIDTH=\"100%\" ");

    // The text is the main body unless the message has parts; the
    // attachments are the parts (or the main body) that are attachments.
    std::vector<int> textParts;
    std::vector<int> attachmentParts;
    const int partCount = message->GetPartCount();
    for (int part = partCount == 0 ? 0 : 1; part <= partCount; ++part)
        (message->IsAttachment(part) ? attachmentParts : textParts).push_back(part);
    AppendText(request, out, *message, textParts);
    AppendAttachments(out, *message, attachmentParts, name, reference);
    if (flags & kAwaitingApproval)
        AppendApprovalButtons(out, images);

    if (flags & kMailboxUnread)
        RecordMessageRead(request, user, name, uid);
    (void)mailbox->ClearFlags(number, kMailboxUnread);
    message->Close();
    message.reset();
    request->Write(out);
    lent.Close();
}
