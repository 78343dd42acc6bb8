// Delivery notices: the notice step that ends every delivery pass.
//
//   CDeliveryNotices::SendNotices      records, auto-lock reports and notices
//                                      for the settled recipients; closes them
//   CDeliveryNotices::newNotice        a new notice with its header lines
//   CDeliveryNotices::addNoticeSection the recipient section
//   CDeliveryNotices::addNoticeText    the closing line and the original
//   CDeliveryNotices::queueNotice      finish the notice and queue it on "fastq"
//
// Bad input: a null message gives 0; null texts count as empty. Texts from
// outside never break a notice's header: CR and LF are removed from every
// header value and from the notice's recipient address.
#include "gateway/delivery_notices.h"

#include <strings.h>

#include <algorithm>
#include <new>
#include <utility>

#include "config/config_store.h"
#include "core/clock.h"
#include "gateway/auto_lock.h"
#include "gateway/bounce_step.h"
#include "gateway/pipeline_records.h"
#include "gateway/queued_message.h"
#include "gateway/spool_queue.h"
#include "net/mail_address.h"

namespace {

// Catalogue texts of notices.
enum : int {
    kMsgNoticeSubject = 396,
    kMsgFilterNoticeSubject = 397,
    kMsgNoticeTitle = 398,
    kMsgPolicyRefusal = 399,
    kMsgReturnedTo = 400,
    kMsgReturnedAddress = 401,
    kMsgDiscardedFor = 402,
    kMsgDelivered = 403,
    kMsgOriginalFollows = 404,
};

constexpr int kLevels = 7;
constexpr int kSenderLevels = 4;  // levels 0 to 3: the sending side

std::string safe(const char* text) {
    return text ? text : "";
}

std::string headerLine(const char* name, const char* value) {
    return std::string(name) + ": " + WithoutLineBreaks(value) + "\r\n";
}

// A status text for the notice body: CR or LF becomes a blank, then every
// pair of adjacent blanks a line break (breakDoubleSpaces), so every line
// ends in CR LF.
std::string noticeText(const std::string& text) {
    std::string out(text);
    std::replace_if(out.begin(), out.end(), [](char c) { return c == '\r' || c == '\n'; }, ' ');
    breakDoubleSpaces(out);
    return out;
}

// The routing form of a local address, or empty for one that does not parse
// or is remote (remote addresses have no user object).
std::string localUser(const char* text) {
    CVornMailAddress address;
    if (text == nullptr || *text == '\0' || address.Set(text) != 0 || address.HasNoBang() == 0)
        return std::string();
    return safe(address.Get(CVornMailAddress::kFormRoute));
}

}  // namespace

CDeliveryNotices::CDeliveryNotices(CPipelineRecords& records, CMessageQueue& fastq,
                                   const char* spoolDirectory, const char* gatewayAddress,
                                   std::function<void()> wake)
    : m_Records(records),
      m_FastQueue(fastq),
      m_SpoolDirectory(safe(spoolDirectory)),
      m_GatewayAddress(safe(gatewayAddress)),
      m_Wake(std::move(wake)) {}

const char* CDeliveryNotices::text(int number) {
    const char* found = m_Catalog.GetText(number);
    return found ? found : "";
}

// ---- The step

void CDeliveryNotices::readLevels(CQueuedMessage* message, const QueuedRecipient& recipient,
                                  Level levels[kLevels]) {
    std::string client = safe(message->GetSourceText());
    std::string sender = localUser(message->GetSender());
    std::string target = localUser(recipient.m_Address.c_str());
    const char* senderUser = sender.empty() ? nullptr : sender.c_str();
    const char* targetUser = target.empty() ? nullptr : target.c_str();

    // Each look-up answers 0 when it found the setting.
    auto read = [&](Level& level, const std::function<int(const char*, CVornString&)>& get) {
        CVornString value(CVornString::kUnlocked);
        if (get("Notify", value) == 0)
            level.m_Value = value.ToInt();
        value.Clear();
        if (get("NotifyAddr", value) == 0)
            level.m_Address = WithoutLineBreaks(value.CStr());
    };
    auto object = [](char type, const char* name) {
        return [type, name](const char* setting, CVornString& out) {
            return CVornConfigStore::GetObjectSetting(type, name, setting, out);
        };
    };
    auto group = [](const char* clientName, const char* user) {
        return [clientName, user](const char* setting, CVornString& out) {
            return CVornConfigStore::GetGroupSetting(clientName, user, setting, out);
        };
    };
    if (!client.empty()) {
        read(levels[0], object('C', client.c_str()));
        read(levels[1], group(client.c_str(), nullptr));
    }
    if (senderUser) {
        read(levels[2], object('U', senderUser));
        read(levels[3], group(nullptr, senderUser));
    }
    if (targetUser) {
        read(levels[4], object('U', targetUser));
        read(levels[5], group(nullptr, targetUser));
    }
    read(levels[6], [](const char* setting, CVornString& out) {
        return CVornConfigStore::GetSetting(nullptr, nullptr, setting, out);
    });
}

int CDeliveryNotices::SendNotices(CQueuedMessage* message) {
    if (message == nullptr || message->GetRecipients() == nullptr)
        return 0;
    std::string sender = safe(message->GetSender());
    std::string name = safe(message->GetName());
    int kind = message->GetKind();
    bool generated =
        kind == kMessageBounce || kind == kMessageNotice || kind == kMessageFilterNotice;

    int remaining = 0;
    bool changed = false;
    for (QueuedRecipient* r = message->GetRecipients(); r; r = r->m_Next) {
        if (r->m_Status == kRecipientClosed)
            continue;
        ++remaining;
        changed = true;
        if (r->m_Status != kRecipientDone)
            continue;

        if (r->m_Notify == 1 || r->m_Notify == 2)
            m_Records.recordRecipientFinished(r->m_Notify, message, sender.c_str(),
                                              r->m_Address.c_str(), r->m_Reason,
                                              r->m_StatusText.c_str());
        bool policy = r->m_Reason == kReasonPolicy;
        if (policy) {
            m_Records.recordPolicyRefusal(message, sender.c_str(), r->m_Address.c_str(),
                                          r->m_StatusText.c_str());
            SenderAutoLock(sender.c_str(), name.c_str());
        }

        if (!generated) {
            Level levels[kLevels];
            readLevels(message, *r, levels);
            if (message->NoticesSent() && !policy) {
                for (int i = 0; i < kSenderLevels; ++i) levels[i] = Level();
            }
            for (int i = 0; i < kLevels; ++i) {
                if (levels[i].m_Value == 0 || levels[i].m_Address.empty() ||
                    (levels[i].m_Value == 1 && !policy))
                    continue;
                if (sendOne(message, *r, sender.c_str(), levels[i].m_Address) != 0)
                    return 1;
                // One notice per address and recipient.
                for (int j = i + 1; j < kLevels; ++j) {
                    if (strcasecmp(levels[j].m_Address.c_str(), levels[i].m_Address.c_str()) == 0)
                        levels[j] = Level();
                }
            }
            if (!policy)
                message->SetNoticesSent();
        }
        r->m_Status = kRecipientClosed;
        --remaining;
    }
    if (changed)
        (void)message->WriteEnvelope();
    return remaining;
}

int CDeliveryNotices::sendOne(CQueuedMessage* message, const QueuedRecipient& recipient,
                              const char* sender, const std::string& to) {
    CQueuedMessage* notice = newNotice(to.c_str(), recipient, sender, message->GetName());
    if (notice == nullptr)
        return 1;
    int result = addNoticeSection(notice, recipient);
    if (result == 0)
        result = addNoticeText(notice, message, 1);
    if (result == 0)
        result = queueNotice(notice, to.c_str(), message->GetName());
    if (result != 0) {
        (void)notice->CloseBody();
        (void)notice->Delete();
    }
    delete notice;
    return result == 0 ? 0 : 1;
}

// ---- Making a notice

CQueuedMessage* CDeliveryNotices::newNotice(const char* to, const QueuedRecipient& recipient,
                                            const char* sender, const char* originalName) {
    CVornMailAddress gateway;
    if (gateway.Set(m_GatewayAddress.c_str()) != 0 ||
        gateway.Get(CVornMailAddress::kFormCanonical) == nullptr) {
        m_Records.recordGeneratedError(kGeneratedNotCreated, kGeneratedNotice);
        return nullptr;
    }
    std::string from = gateway.Get(CVornMailAddress::kFormCanonical);
    std::string address = WithoutLineBreaks(to);

    auto* notice = new (std::nothrow) CQueuedMessage;
    if (notice == nullptr) {
        m_Records.recordGeneratedError(kGeneratedNotCreated, kGeneratedNotice);
        return nullptr;
    }
    if (notice->Open(nullptr, m_SpoolDirectory.c_str()) != 0 || notice->Lock() != 0 ||
        notice->SetSender("") != 0) {
        m_Records.recordGeneratedError(kGeneratedNotCreated, kGeneratedNotice);
        if (notice->GetName())
            (void)notice->Delete();
        delete notice;
        return nullptr;
    }
    bool discarded = recipient.m_Notify == 2;
    notice->SetKind(discarded ? kMessageFilterNotice : kMessageNotice);
    if (notice->OpenBodyForWrite(2, 0) != 0) {
        m_Records.recordGeneratedError(kGeneratedBodyNotOpened, kGeneratedNotice);
        (void)notice->Delete();
        delete notice;
        return nullptr;
    }

    std::string header =
        headerLine("From", from.c_str()) + headerLine("To", address.c_str()) +
        headerLine("Subject", text(discarded ? kMsgFilterNoticeSubject : kMsgNoticeSubject));
    if (discarded)
        header += headerLine("X-OldSMTP-ID", originalName) + headerLine("X-Notify-From", sender) +
                  headerLine("X-Notify-To", recipient.m_Address.c_str());
    header += "\r\n";
    int result = notice->AppendBody(header.data(), static_cast<int>(header.size()));
    if (result == 0)
        result = notice->AddRecipient(address.c_str(), kRecipientPending, 0, 0);
    if (result == 0) {
        std::string opening = std::string("+++ ") + text(kMsgNoticeTitle) + " +++\r\n\r\n";
        result = notice->AppendBody(opening.data(), static_cast<int>(opening.size()));
    }
    if (result != 0) {
        m_Records.recordGeneratedError(kGeneratedWriteFailed, kGeneratedNotice);
        (void)notice->CloseBody();
        (void)notice->Delete();
        delete notice;
        return nullptr;
    }
    return notice;
}

int CDeliveryNotices::append(CQueuedMessage* notice, const std::string& text) {
    if (notice->AppendBody(text.data(), static_cast<int>(text.size())) == 0)
        return 0;
    m_Records.recordGeneratedError(kGeneratedWriteFailed, kGeneratedNotice);
    return 1;
}

int CDeliveryNotices::addNoticeSection(CQueuedMessage* notice, const QueuedRecipient& recipient) {
    if (notice == nullptr)
        return 1;
    std::string section;
    if (recipient.m_Reason == kReasonPolicy) {
        if (!recipient.m_StatusText.empty())
            section += std::string(text(kMsgPolicyRefusal)) + ":\r\n" +
                       noticeText(recipient.m_StatusText) + "\r\n";
        else
            section += std::string(text(kMsgPolicyRefusal)) + ".\r\n";
    }
    std::string address = noticeText(recipient.m_Address);
    if (recipient.m_Notify == 1)
        section += std::string("\r\n") + text(kMsgReturnedTo) + " " + text(kMsgReturnedAddress) +
                   ": " + address + "\r\n";
    else if (recipient.m_Notify == 2)
        section += std::string("\r\n") + text(kMsgDiscardedFor) + ": " + address + "\r\n";
    else
        section += std::string("\r\n") + text(kMsgDelivered) + "\r\n";
    return append(notice, section);
}

int CDeliveryNotices::addNoticeText(CQueuedMessage* notice, CQueuedMessage* original, int whole) {
    if (notice == nullptr || original == nullptr)
        return 1;
    if (append(notice, std::string("\r\n--- ") + text(kMsgOriginalFollows) + " ---\r\n") != 0)
        return 1;
    if (original->OpenBodyForWrite(1, 0) != 0) {
        m_Records.recordGeneratedError(kGeneratedWriteFailed, kGeneratedNotice);
        return 1;
    }
    int result = 0;
    CVornString line(CVornString::kUnlocked);
    for (;;) {
        int length = original->ReadBodyLine(line);
        if (length == 0)
            break;
        if (length < 0) {
            result = 1;
            break;
        }
        if (!whole && (line.Equals("\r\n", 3) || line.Equals("\n", 3)))
            break;
        if (notice->AppendBody(line) != 0) {
            result = 1;
            break;
        }
    }
    (void)original->CloseBody();
    if (result != 0)
        m_Records.recordGeneratedError(kGeneratedWriteFailed, kGeneratedNotice);
    return result;
}

// ---- Queueing

int CDeliveryNotices::queueNotice(CQueuedMessage* notice, const char* to,
                                  const char* originalName) {
    if (notice == nullptr)
        return 1;
    CVornString subject(CVornString::kUnlocked);
    notice->GetSubject(subject);
    // The body is whole once closed: a crash before the queue add leaves an
    // envelope that start-up recovery queues again, never one left for ever.
    notice->SetComplete(1);
    if (notice->CloseBody() != 0 || notice->ExpandRecipients(nullptr) != 0 ||
        notice->WriteEnvelope() != 0) {
        m_Records.recordGeneratedError(kGeneratedNotStored, kGeneratedNotice);
        return 1;
    }
    if (m_FastQueue.Add(notice->GetName(), Now(), 0) != 0) {
        m_Records.recordGeneratedError(kGeneratedNotQueued, kGeneratedNotice);
        return 1;
    }
    std::string address = WithoutLineBreaks(to);
    m_Records.recordGeneratedQueued(notice, address.c_str(), originalName, subject.CStr(),
                                    kGeneratedNotice);
    (void)notice->Unlock();
    if (m_Wake)
        m_Wake();
    return 0;
}
