// The bounce step of a delivery pass: delivery-status notifications (DSNs)
// for failed recipients, then the delivery notices.
//
//   breakDoubleSpaces             double blanks become line breaks, in place
//   WithoutLineBreaks             a peer's text for one line: CR and LF dropped
//   CBounceStep::Bounce           the whole step for one locked message
//   CBounceStep::newDSN           a new, locked DSN with its header part
//   CBounceStep::addDSNRecipient  the text and status parts of one recipient
//   CBounceStep::attachOriginal   the original message part and end boundary
//   CBounceStep::queueDSN         finishes the DSN and puts it on "fastq"
//
// Bad input: a null message gives 0 from Bounce and 1 from the others; a
// gateway address that does not parse makes no DSN (error record 376). CR
// and LF in addresses and status texts never reach the DSN's lines as line
// breaks of their own. An original whose body cannot be read is returned
// without its message part: a DSN that can never be made would keep the
// message in the spool for ever and tell the sender nothing.
#include "gateway/bounce_step.h"

#include <memory>
#include <new>
#include <vector>

#include "core/clock.h"
#include "core/vorn_event.h"
#include "core/vorn_string.h"
#include "gateway/pipeline_records.h"
#include "gateway/queued_message.h"
#include "gateway/spool_queue.h"
#include "net/mail_address.h"
#include "net/mail_message.h"

namespace {

// Catalogue numbers of the DSN's texts.
constexpr int kTextNoReason = 390;
constexpr int kTextDsnSubject = 394;

// Reads the spool body to the end of its file: a body line that looks like
// a mailbox separator must not end the copy early.
constexpr int kReadWholeFile = CVornMailMessage::kUnbounded;

// The format with its "%s" conversions replaced by a, then b.
std::string Format(const char* format, const std::string& a, const std::string& b = "") {
    // Every format here holds at most two "%s" and no other conversion.
    std::string out;
    int used = 0;
    for (const char* p = format; *p; ++p) {
        if (p[0] == '%' && p[1] == 's') {
            out += used++ == 0 ? a : b;
            ++p;
        } else {
            out += *p;
        }
    }
    return out;
}

}  // namespace

std::string WithoutLineBreaks(const char* text) {
    std::string out;
    for (const char* p = text ? text : ""; *p; ++p) {
        if (*p != '\r' && *p != '\n')
            out += *p;
    }
    return out;
}

void breakDoubleSpaces(std::string& text) {
    for (size_t i = 0; i + 1 < text.size(); ++i) {
        if (text[i] == ' ' && text[i + 1] == ' ') {
            text[i] = '\r';
            text[i + 1] = '\n';
            ++i;
        }
    }
}

CBounceStep::CBounceStep(const char* spoolDirectory, CMessageQueue& fastQueue,
                         CPipelineRecords& records, CVornEvent& wakeEvent,
                         const char* gatewayAddress, NoticeStep sendNotices)
    : m_SpoolDirectory(spoolDirectory ? spoolDirectory : kDefaultSpoolDirectory),
      m_FastQueue(fastQueue),
      m_Records(records),
      m_WakeEvent(wakeEvent),
      m_GatewayAddress(WithoutLineBreaks(gatewayAddress)),
      m_SendNotices(std::move(sendNotices)) {}

const char* CBounceStep::text(int number) {
    const char* found = m_Catalog.GetText(number);
    return found ? found : "";
}

int CBounceStep::write(CQueuedMessage* dsn, const std::string& text) {
    if (dsn->AppendBody(text.data(), static_cast<int>(text.size())) != 0) {
        m_Records.recordGeneratedError(kGeneratedWriteFailed, kGeneratedDsn);
        return 1;
    }
    return 0;
}

int CBounceStep::Bounce(CQueuedMessage* message) {
    if (!message || !message->GetRecipients())
        return 0;
    const bool isDsn = message->GetKind() == kMessageBounce;

    // The envelope sender hears of every failed recipient without a list
    // owner, and of those a mailbox filter refused.
    std::vector<QueuedRecipient*> taken;
    bool changed = false;
    for (QueuedRecipient* r = message->GetRecipients();
         r && static_cast<int>(taken.size()) < kMaxReportedRecipients; r = r->m_Next) {
        if (r->m_Status != kRecipientFailed ||
            (!r->m_BounceAddress.empty() && r->m_Reason != kReasonPolicy))
            continue;
        if (isDsn) {
            // No DSN is ever made for a DSN.
            r->m_Status = kRecipientClosed;
            changed = true;
            continue;
        }
        taken.push_back(r);
    }
    if (!taken.empty()) {
        const char* sender = message->GetSender();
        if (sendOne(message, sender ? sender : "", taken.data(), static_cast<int>(taken.size())))
            return 1;
        changed = true;
    }
    if (changed)
        message->WriteEnvelope();

    // Each list owner hears of its own recipient in a DSN of its own.
    changed = false;
    for (QueuedRecipient* r = message->GetRecipients(); r; r = r->m_Next) {
        if (r->m_Status != kRecipientFailed || r->m_BounceAddress.empty() ||
            r->m_Reason == kReasonPolicy)
            continue;
        if (isDsn) {
            r->m_Status = kRecipientClosed;
            changed = true;
            continue;
        }
        QueuedRecipient* one[] = {r};
        if (sendOne(message, r->m_BounceAddress.c_str(), one, 1)) {
            if (changed)
                message->WriteEnvelope();
            return 1;
        }
        changed = true;
    }
    if (changed)
        message->WriteEnvelope();

    return m_SendNotices(message);
}

int CBounceStep::sendOne(CQueuedMessage* message, const char* to, QueuedRecipient* const* taken,
                         int count) {
    CQueuedMessage* dsn = newDSN(to);
    if (!dsn)
        return 1;
    int failed = 0;
    for (int i = 0; i < count && !failed; ++i) failed = addDSNRecipient(dsn, taken[i]);
    if (!failed)
        failed = attachOriginal(dsn, message, 1);
    if (!failed)
        failed = queueDSN(dsn, to, message->GetName());
    if (failed) {
        dsn->Delete();
        delete dsn;
        return 1;
    }
    delete dsn;
    for (int i = 0; i < count; ++i) taken[i]->m_Status = kRecipientDone;
    return 0;
}

CQueuedMessage* CBounceStep::newDSN(const char* to) {
    CVornMailAddress gateway;
    const char* from = nullptr;
    if (gateway.Set(m_GatewayAddress.c_str()) == 0)
        from = gateway.Get(CVornMailAddress::kFormCanonical);
    if (!from) {
        m_Records.recordGeneratedError(kGeneratedNotCreated, kGeneratedDsn);
        return nullptr;
    }
    const std::string address = WithoutLineBreaks(to);

    CQueuedMessage* dsn = new (std::nothrow) CQueuedMessage();
    if (!dsn) {
        m_Records.recordGeneratedError(kGeneratedNotCreated, kGeneratedDsn);
        return nullptr;
    }
    if (dsn->Open(nullptr, m_SpoolDirectory.c_str()) != 0) {
        m_Records.recordGeneratedError(kGeneratedNotCreated, kGeneratedDsn);
        delete dsn;
        return nullptr;
    }
    // From here on the reserved name exists on disk: every failure removes
    // it, so no empty reservation is left behind.
    auto fail = [&](int number) -> CQueuedMessage* {
        m_Records.recordGeneratedError(number, kGeneratedDsn);
        dsn->Delete();
        delete dsn;
        return nullptr;
    };
    if (dsn->Lock() != 0 || dsn->SetSender("") != 0)
        return fail(kGeneratedNotCreated);
    dsn->SetKind(kMessageBounce);
    if (dsn->OpenBodyForWrite(2, 0) != 0)
        return fail(kGeneratedBodyNotOpened);
    const std::string name = dsn->GetName();
    std::string header = Format("%s: %s\r\n", "From", from) +
                         Format("%s: %s\r\n", "To", address) +
                         Format("%s: %s\r\n", "Subject", WithoutLineBreaks(text(kTextDsnSubject)));
    if (write(dsn, header) != 0) {
        dsn->CloseBody();
        dsn->Delete();
        delete dsn;
        return nullptr;
    }
    if (dsn->AddRecipient(address.c_str(), kRecipientPending, 0, 0) != 0) {
        dsn->CloseBody();
        return fail(kGeneratedNotCreated);
    }
    std::string mime = Format(
        "MIME-Version: 1.0\r\nContent-Type: multipart/report; report-type=delivery-status; "
        "boundary=\"==%s\"\r\n\r\n",
        name);
    if (write(dsn, mime + "\r\n") != 0) {
        dsn->CloseBody();
        dsn->Delete();
        delete dsn;
        return nullptr;
    }
    return dsn;
}

int CBounceStep::addDSNRecipient(CQueuedMessage* dsn, QueuedRecipient* recipient) {
    if (!dsn || !recipient || !dsn->GetName())
        return 1;
    const std::string name = dsn->GetName();
    const std::string address = WithoutLineBreaks(recipient->m_Address.c_str());
    int number = ReasonCatalogNumber(recipient->m_Reason);
    std::string part = Format(
        "--==%s\r\nContent-Type: text/plain; charset=us-ascii\r\n"
        "Content-Transfer-Encoding: 7bit\r\n\r\n"
        "--- The message cannot be delivered to the following address. ---\r\n\r\n",
        name);
    part += Format("%s    %s\r\n", address, WithoutLineBreaks(text(number ? number : kTextNoReason)));
    if (!recipient->m_StatusText.empty()) {
        // A reply text's own line breaks are dropped, so the only breaks are
        // those made from double blanks; a line made so that starts with "--"
        // gets a blank first, so a peer can never end the part early with a
        // boundary line.
        std::string& status = recipient->m_StatusText;
        status = WithoutLineBreaks(status.c_str());
        breakDoubleSpaces(status);
        std::string lines;
        size_t start = 0;
        while (start <= status.size()) {
            size_t end = status.find("\r\n", start);
            if (end == std::string::npos)
                end = status.size();
            if (status.compare(start, 2, "--") == 0)
                lines += ' ';
            lines.append(status, start, end - start);
            if (end < status.size())
                lines += "\r\n";
            start = end + 2;
        }
        part += lines + "\r\n";
    }
    part += "\r\n";
    part += Format("--==%s\r\nContent-Type: message/delivery-status\r\n\r\n", name);
    part += Format("Reporting-MTA: Velmar RazoVidez Gateway;%s\r\n", m_GatewayAddress);
    part += Format("Final-Recipient: rfc822;%s\r\nAction: failed\r\nStatus: 5.1.1\r\n", address);
    part += Format("Diagnostic-Code: X-Notes; Cannot route mail to user (%s).\r\n\r\n", address);
    return write(dsn, part);
}

int CBounceStep::attachOriginal(CQueuedMessage* dsn, CQueuedMessage* original, int whole) {
    if (!dsn || !dsn->GetName() || !original)
        return 1;
    const std::string name = dsn->GetName();
    std::unique_ptr<CVornMailMessage> body;
    if (original->GetName())
        body.reset(original->OpenBodyForRead(kReadWholeFile, CVornMailMessage::kModeRead));
    if (body) {
        if (write(dsn, Format("--==%s\r\nContent-Type: message/rfc822\r\n\r\n", name)) != 0)
            return 1;
        // Lines are copied as stored, except that each ends with CR LF: a
        // bare LF or a last line without its end would otherwise leave a
        // line of the DSN without CR LF, or glue the end boundary to it.
        CVornString line(CVornString::kUnlocked);
        bool lineOpen = false;
        int length;
        while ((length = body->ReadLine(line)) > 0) {
            std::string piece(line.CStr(), static_cast<size_t>(line.Length()));
            const bool ends = piece.back() == '\n';
            if (ends && (piece.size() < 2 || piece[piece.size() - 2] != '\r'))
                piece.insert(piece.size() - 1, "\r");
            if (!whole && !lineOpen && piece == "\r\n") {
                if (write(dsn, piece) != 0)
                    return 1;
                lineOpen = false;
                break;
            }
            if (write(dsn, piece) != 0)
                return 1;
            lineOpen = !ends;
        }
        // A read error ends the copy: what was read is returned, and the
        // DSN is still made.
        if (lineOpen && write(dsn, "\r\n") != 0)
            return 1;
        body->Close();
    }
    return write(dsn, Format("--==%s--\r\n", name));
}

int CBounceStep::queueDSN(CQueuedMessage* dsn, const char* to, const char* originalName) {
    if (!dsn || !dsn->GetName())
        return 1;
    CVornString subject(CVornString::kUnlocked);
    dsn->GetSubject(subject);
    dsn->SetComplete(1);
    if (dsn->CloseBody() != 0 || dsn->ExpandRecipients(nullptr) != 0 ||
        dsn->WriteEnvelope() != 0) {
        m_Records.recordGeneratedError(kGeneratedNotStored, kGeneratedDsn);
        return 1;
    }
    if (m_FastQueue.Add(dsn->GetName(), Now(), 0) != 0) {
        m_Records.recordGeneratedError(kGeneratedNotQueued, kGeneratedDsn);
        return 1;
    }
    const std::string address = WithoutLineBreaks(to);
    m_Records.recordGeneratedQueued(dsn, address.c_str(), originalName, subject.CStr(), kGeneratedDsn);
    dsn->Unlock();
    m_WakeEvent.Set();
    return 0;
}
