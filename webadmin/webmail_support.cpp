// Helpers of the web-mail page tags (see webmail_support.h).
#include "webadmin/webmail_support.h"

#include "core/message_catalog.h"
#include "gateway/mail_users.h"
#include "webadmin/web_pages.h"

CVornString WebMailLanguageFolder() {
    CVornString folder(CVornString::kUnlocked);
    if (const char* text = GetCatalogText(kMsgLanguageFolder))
        folder.Assign(text);
    folder.ToLower();
    return folder;
}

void AppendLinkValue(CVornString& out, const CVornString& text) {
    static const char kHex[] = "0123456789ABCDEF";
    CVornString copy(text, CVornString::kUnlocked);
    const int n = copy.Length();
    const char* bytes = copy.Data();
    for (int i = 0; i < n; ++i) {
        const unsigned char c = static_cast<unsigned char>(bytes[i]);
        if (c == ' ') {
            out.Append('+');
        } else if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                   c == '-' || c == '.' || c == '_' || c == '~') {
            out.Append(static_cast<char>(c));
        } else {
            out.Append('%');
            out.Append(kHex[c >> 4]);
            out.Append(kHex[c & 0x0F]);
        }
    }
}

void AppendSizeText(CVornString& out, long long bytes, bool zeroIsZero) {
    if (bytes == 0 && zeroIsZero) {
        out.Append("0");
    } else if (bytes < 1024) {
        out.Append("&lt;1");
    } else {
        CVornString number(CVornString::kUnlocked);
        number.AssignLong(static_cast<long>(bytes / 1024));
        out.Append(number);
    }
    out.Append('k');
}

bool IsSentOrDrafts(const CVornString& mailbox) {
    return mailbox.Equals("Drafts", 0) || mailbox.Equals("Sent-Mail", 0);
}

LentMailbox::LentMailbox(const CVornString& user, const CVornString& mailbox) {
    m_User.Assign(user);
    m_Name.Assign(mailbox);
    if (!m_Name.IsEmpty())
        m_Mailbox = OpenMailbox(m_User.CStr(), m_Name.CStr(), 0);
}

LentMailbox::~LentMailbox() {
    try {
        Close();
    } catch (...) {
    }
}

void LentMailbox::Close() {
    if (m_Mailbox == nullptr)
        return;
    m_Mailbox = nullptr;
    CloseMailbox(m_User.CStr(), m_Name.CStr());
}
