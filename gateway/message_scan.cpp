// Scanning of queued messages: every new message a delivery worker takes
// from "fastq" goes through the scanner plug-in before it is delivered; the
// repaired or cleaned copy replaces the spooled body, each finding becomes
// an activity record, and virus notices go to the administrators and the
// sender.
//
//   SMTP::SetScanner         the scanner holder and forwarder the scans use
//   SMTP::ScanMessage        scan one message; deliver now or defer
//   SMTP::getScanAction      the action level from the response settings
//   SMTP::applyRepairs       put the scan's final file in place of the body
//   SMTP::recordInfections   one activity record per finding
//   SMTP::sendVirusNotices   the configured notices
//   SMTP::sendVirusNotice    one notice, queued on "fastq"
//   CopyFileContents         copy a file over an existing one
//
// A message is never delivered unscanned while scanning is on: a scan that
// cannot run (no scanner, no job, the plug-in fails, the scanner is being
// started again) or whose result cannot be put in place answers kScanDefer,
// and the worker keeps the message in "fastq", where it is scanned again
// when it is next due. A message whose body the scan removed as a whole is
// closed: its pending recipients fail (returned to the sender without the
// original part) and the infected body is deleted.
//
// Bad input: names of objects and viruses come from attachments and never
// start a line of their own in a notice (CR and LF are dropped); empty
// pieces of the administrators' list are skipped; a notice to an empty
// sender is not made. A notice that fails half-way is dropped with its
// files and an error record, never queued without its body.
#include <fcntl.h>
#include <string.h>

#include <memory>
#include <new>
#include <string>

#include "config/activity_log.h"
#include "config/config_store.h"
#include "core/clock.h"
#include "core/code_page.h"
#include "core/debug_log.h"
#include "core/disk_file.h"
#include "core/event_log.h"
#include "core/message_catalog.h"
#include "gateway/bounce_step.h"
#include "gateway/queued_message.h"
#include "gateway/scan_callback.h"
#include "gateway/scanner_manager.h"
#include "gateway/smtp_server.h"
#include "gateway/spool_queue.h"
#include "net/mail_address.h"
#include "net/mime.h"
#include "net/rfc822_entity.h"
#include "platform/file_ops.h"
#include "platform/file_replace.h"

namespace {

// Event numbers of the finding records (field 2).
enum : int {
    kEventLeftInfected = 300,
    kEventRepaired = 301,
    kEventDeleted = 302,
    kEventBlocked = 305,
};

// Catalogue numbers: the notice's texts (product catalogue).
enum : int {
    kMsgFindingsHeading = 2000023,
    kMsgObjectLabel = 2000024,
    kMsgVirusLabel = 2000025,
    kMsgActionLabel = 2000026,
    kMsgActionLeft = 2000027,
    kMsgActionRepaired = 2000028,
    kMsgActionRemoved = 2000029,
    kMsgOriginalHeaders = 2000030,
    // Base catalogue: a message kept unscanned; the status text of
    // recipients of a message the scan removed whole.
    kMsgScanDeferred = 868,
    kMsgRemovedWhole = 869,
};

enum : int { kEventTypeWarning = 2 };

constexpr int kCopyBlock = 65535;
constexpr char kListSeparator = '\x1C';
// The temporary name of a repaired body, beside the body.
constexpr const char* kRepairSuffix = "_scan";

// A system-wide setting, read anew at each use; empty when absent.
std::string setting(const char* name) {
    CVornString value(CVornString::kUnlocked);
    if (CVornConfigStore::GetSetting(nullptr, nullptr, name, value) != 0)
        return std::string();
    return std::string(value.CStr(), static_cast<size_t>(value.Length()));
}

int settingNumber(const char* name) {
    CVornString value(CVornString::kUnlocked);
    if (CVornConfigStore::GetSetting(nullptr, nullptr, name, value) != 0)
        return 0;
    return value.ToInt();
}

// The process's code page is one of the two Japanese ones.
bool japanese() { return g_CodePage.GetType() == 1 || g_CodePage.GetType() == 2; }

// Text for the notice's body or header: Shift-JIS becomes ISO-2022-JP under a
// Japanese code page (text already in ISO-2022-JP stays as it is).
std::string forMail(const std::string& text) {
    if (!japanese() || text.empty() || CVornCodePage::IsIso2022jp(text.c_str()))
        return text;
    CVornString converted(text.c_str(), CVornString::kUnlocked);
    converted.SjisToJis();
    return std::string(converted.CStr(), static_cast<size_t>(converted.Length()));
}

std::vector<std::string> splitList(const std::string& list) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start <= list.size()) {
        size_t end = list.find(kListSeparator, start);
        if (end == std::string::npos)
            end = list.size();
        out.push_back(list.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

// The object path of a finding: its names from the outermost container to
// the object, joined with "/".
std::string objectPath(IVirusItem* item) {
    std::string path;
    for (int32_t i = item->GetNameCount() - 1; i >= 0; --i) {
        const char* name = item->GetName(static_cast<uint32_t>(i));
        if (!path.empty())
            path += '/';
        path += forMail(name ? name : "");
    }
    return path;
}

std::string recipientList(CQueuedMessage* message) {
    std::string list;
    for (QueuedRecipient* r = message->GetRecipients(); r; r = r->m_Next) {
        if (!list.empty())
            list += ", ";
        list += r->m_Address;
    }
    return list;
}

// A product catalogue text, "" when there is none.
const char* productText(int number) {
    CProductMessageCatalog catalog;
    const char* text = catalog.GetText(number);
    return text ? text : "";
}

}  // namespace

bool CopyFileContents(const char* source, const char* destination) {
    if (source == nullptr || destination == nullptr)
        return false;
    int in = platform::OpenFile(source, O_RDONLY, 0);
    if (in < 0)
        return false;
    // The destination must exist: this never makes a file of its own.
    int out = platform::OpenFile(destination, O_WRONLY | O_TRUNC, 0);
    if (out < 0) {
        platform::CloseFile(in);
        return false;
    }
    std::unique_ptr<char[]> block(new (std::nothrow) char[kCopyBlock]);
    bool ok = block != nullptr;
    while (ok) {
        long n = platform::ReadSome(in, block.get(), kCopyBlock);
        if (n == 0)
            break;
        if (n < 0 || !platform::WriteAll(out, block.get(), static_cast<size_t>(n), nullptr))
            ok = false;
    }
    // The copy replaces a spooled body: it must be on the disk before it
    // is renamed into place.
    if (ok && !platform::SyncFile(out))
        ok = false;
    platform::CloseFile(in);
    if (!platform::CloseFile(out))
        ok = false;
    return ok;
}

void SMTP::SetScanner(CScannerManager* scanner, CQuarantineForwarder* forwarder) {
    m_Scanner = scanner;
    m_Forwarder = forwarder;
}

int SMTP::getScanAction() {
    int first = settingNumber("ZELORMRazoVidezResponse1");
    if (first == 0)
        return 0;
    if (first == 1)
        return settingNumber("ZELORMRazoVidezResponse2") != 0 ? 3 : 1;
    return 4;
}

int SMTP::ScanMessage(CQueuedMessage* message) {
    if (message == nullptr || settingNumber("ZELORMRazoVidezScan") == 0)
        return kScanDeliver;

    CVornString bodyPath(CVornString::kUnlocked);
    message->GetBodyPath(bodyPath);
    const char* name = message->GetName() ? message->GetName() : "";

    int outcome = kScanDefer;
    {
        CScanCallback callback(message, m_Scanner, m_Forwarder);
        CScanJob* job = m_Scanner ? m_Scanner->NewScanJob(&callback) : nullptr;
        if (job == nullptr) {
            LogText(kLogWarning, "Error scanning item");
        } else {
            IScanResult* result = nullptr;
            if (!job->Scan(bodyPath.CStr(), getScanAction(), &result)) {
                LogText(kLogWarning, "Error scanning item");
            } else if (result != nullptr) {
                outcome = kScanDeliver;
                if (result->GetItemCount() != 0) {
                    int repair = applyRepairs(message, result);
                    if (repair == kRepairFailed) {
                        // The body may still hold what the scan removed:
                        // nothing is recorded or sent, the next scan does it.
                        outcome = kScanDefer;
                    } else {
                        recordInfections(message, result);
                        sendVirusNotices(message, result);
                        if (repair == kRepairRemovedWhole)
                            closeRemovedMessage(message);
                    }
                }
            }
            if (result != nullptr)
                result->Release();
            job->Delete();
        }
        if (callback.GetQuarantineFailures() > 0)
            LogFormat(kLogWarning, "Objects of message %s could not be quarantined", name);
    }
    if (outcome == kScanDefer)
        LogEventStr(kMsgScanDeferred, kEventTypeWarning, name);
    return outcome;
}

int SMTP::applyRepairs(CQueuedMessage* message, IScanResult* result) {
    CVornString bodyPath(CVornString::kUnlocked);
    message->GetBodyPath(bodyPath);
    const char* finalName = result->GetFileName();
    int outcome = kRepairInPlace;
    if (finalName == nullptr || finalName[0] == '\0') {
        outcome = kRepairRemovedWhole;
    } else if (strcmp(finalName, bodyPath.CStr()) != 0) {
        // The new body is made beside the old one and renamed over it, so
        // the spool holds the old or the new body whole, never a mix; the
        // plug-in's file goes only after that.
        std::string temp = std::string(bodyPath.CStr()) + kRepairSuffix;
        (void)platform::RemovePath(temp.c_str());  // left by a crash
        bool replaced = platform::CreateLike(bodyPath.CStr(), temp.c_str()) &&
                        CopyFileContents(finalName, temp.c_str()) &&
                        platform::RenamePath(temp.c_str(), bodyPath.CStr(), true) &&
                        platform::SyncDirectoryOf(bodyPath.CStr());
        if (!replaced) {
            LogText(kLogWarning, "Error copying repaired file.");
            (void)platform::RemovePath(temp.c_str());
            outcome = kRepairFailed;
        }
        (void)platform::RemovePath(finalName);
    }
    message->RefreshBodySize();
    return outcome;
}

void SMTP::closeRemovedMessage(CQueuedMessage* message) {
    // The recipients fail first and the body goes after: a crash between
    // leaves a message that is scanned again, never an infected body
    // delivered or attached to the return.
    const char* text = m_Catalog.GetText(kMsgRemovedWhole);
    for (QueuedRecipient* r = message->GetRecipients(); r; r = r->m_Next) {
        if (r->m_Status == kRecipientPending)
            failRecipient(r, kReasonNone, text ? text : "");
    }
    (void)message->WriteEnvelope();
    CVornString bodyPath(CVornString::kUnlocked);
    message->GetBodyPath(bodyPath);
    (void)platform::RemovePath(bodyPath.CStr());
    (void)platform::SyncDirectoryOf(bodyPath.CStr());
    message->RefreshBodySize();
}

void SMTP::recordInfections(CQueuedMessage* message, IScanResult* result) {
    const std::string recipients = recipientList(message);
    const int32_t count = result->GetItemCount();
    for (int32_t i = 0; i < count; ++i) {
        IVirusItem* item = nullptr;
        if (result->GetItem(static_cast<uint32_t>(i), &item) != WEXLOR_OK || item == nullptr)
            continue;
        int event;
        switch (item->GetStatus()) {
            case WEXLOR_STATUS_LEFT: event = kEventLeftInfected; break;
            case WEXLOR_STATUS_REPAIRED: event = kEventRepaired; break;
            case WEXLOR_STATUS_BLOCKED: event = kEventBlocked; break;
            default: event = kEventDeleted; break;
        }
        CVornStringMap record;
        ActivityRecordStart(record, 1, event, 0, nullptr, nullptr);
        ActivityRecordSetText(record, 52, message->GetName());
        ActivityRecordSetText(record, 21, recipients.c_str());
        ActivityRecordSetText(record, 20, message->GetSender());
        if (event != kEventBlocked) {
            ActivityRecordSetNumber(record, 1101, item->GetVirusId());
            ActivityRecordSetText(record, 1100, item->GetVirusName());
        }
        ActivityRecordSetText(record, 1102, objectPath(item).c_str());
        ActivityLogWrite(record);
        item->Release();
    }
}

void SMTP::sendVirusNotices(CQueuedMessage* message, IScanResult* result) {
    if (settingNumber("ZELORMRazoVidezNotifyAdmins") != 0)
        sendVirusNotice(message, result, false);
    if (settingNumber("ZELORMRazoVidezNotifySender") != 0)
        sendVirusNotice(message, result, true);
}

void SMTP::sendVirusNotice(CQueuedMessage* message, IScanResult* result, bool toSender) {
    // Blocked attachments alone (no virus name) give no notice.
    bool anyVirus = false;
    const int32_t count = result->GetItemCount();
    for (int32_t i = 0; i < count && !anyVirus; ++i) {
        IVirusItem* item = nullptr;
        if (result->GetItem(static_cast<uint32_t>(i), &item) != WEXLOR_OK || item == nullptr)
            continue;
        const char* virus = item->GetVirusName();
        anyVirus = virus != nullptr && virus[0] != '\0';
        item->Release();
    }
    if (!anyVirus)
        return;

    // Who gets it; nobody (no administrators, a null sender): no notice.
    std::vector<std::string> recipients;
    if (toSender) {
        const char* sender = message->GetSender();
        if (sender != nullptr && sender[0] != '\0')
            recipients.push_back(sender);
    } else {
        for (const std::string& address : splitList(setting("ZELORMRazoVidezAdmins")))
            if (!address.empty())
                recipients.push_back(address);
    }
    if (recipients.empty())
        return;

    std::unique_ptr<CQueuedMessage> notice(new (std::nothrow) CQueuedMessage);
    if (notice == nullptr) {
        recordGeneratedError(kGeneratedNotCreated, kGeneratedDsn);
        return;
    }
    if (notice->Open(nullptr, m_SpoolDirectory.c_str()) != 0 || notice->Lock() != 0 ||
        notice->SetSender("") != 0) {
        recordGeneratedError(kGeneratedNotCreated, kGeneratedDsn);
        // A reserved name is not left behind in the spool.
        if (notice->GetName())
            (void)notice->Delete();
        return;
    }
    notice->SetKind(kMessageBounce);
    if (notice->OpenBodyForWrite(2, 0) != 0) {
        recordGeneratedError(kGeneratedBodyNotOpened, kGeneratedDsn);
        (void)notice->Delete();
        return;
    }

    bool failed = false;
    auto write = [&](const std::string& text) {
        if (!failed && notice->AppendBody(text.data(), static_cast<int>(text.size())) != 0)
            failed = true;
    };
    auto header = [&](const char* name, const std::string& value) {
        write(std::string(name) + ": " + WithoutLineBreaks(value.c_str()) + "\r\n");
    };

    CVornMailAddress gateway;
    const char* from = gateway.Set(GetGatewayAddress()) == 0
                           ? gateway.Get(CVornMailAddress::kFormCanonical)
                           : nullptr;
    if (from == nullptr)
        failed = true;
    else
        header("From", from);

    std::string to;
    for (const std::string& address : recipients) {
        if (!failed && notice->AddRecipient(WithoutLineBreaks(address.c_str()).c_str(),
                                            kRecipientPending, 0, 0) != 0)
            failed = true;
        if (!to.empty())
            to += ", ";
        to += address;
    }
    header("To", to);

    std::string subject = setting(toSender ? "ZELORMRazoVidezSenderSubject"
                                           : "ZELORMRazoVidezAdminSubject");
    if (!subject.empty()) {
        if (japanese()) {
            CVornString word(subject.c_str(), CVornString::kUnlocked);
            word.EncodeJisWord();
            subject.assign(word.CStr(), static_cast<size_t>(word.Length()));
        }
        header("Subject", subject);
    }
    if (japanese())
        write("MIME-Version: 1.0\r\nContent-Type: text/plain; charset=iso-2022-jp\r\n");
    write("\r\n");

    std::string body =
        setting(toSender ? "ZELORMRazoVidezSenderBody" : "ZELORMRazoVidezAdminBody");
    if (!body.empty())
        for (const std::string& line : splitList(body))
            write(forMail(WithoutLineBreaks(line.c_str())) + "\r\n");
    write("\r\n\r\n");

    write(forMail(productText(kMsgFindingsHeading)) + "\r\n\r\n");
    for (int32_t i = 0; i < count; ++i) {
        IVirusItem* item = nullptr;
        if (result->GetItem(static_cast<uint32_t>(i), &item) != WEXLOR_OK || item == nullptr)
            continue;
        const char* virus = item->GetVirusName();
        if (virus != nullptr && virus[0] != '\0') {
            int action = item->GetStatus() == WEXLOR_STATUS_LEFT       ? kMsgActionLeft
                         : item->GetStatus() == WEXLOR_STATUS_REPAIRED ? kMsgActionRepaired
                                                                       : kMsgActionRemoved;
            write(forMail(productText(kMsgObjectLabel)) +
                  WithoutLineBreaks(objectPath(item).c_str()) + "\r\n");
            write(forMail(productText(kMsgVirusLabel)) + WithoutLineBreaks(virus) + "\r\n");
            write(forMail(productText(kMsgActionLabel)) + forMail(productText(action)) +
                  "\r\n\r\n");
        }
        item->Release();
    }
    write(forMail(productText(kMsgOriginalHeaders)) + "\r\n\r\n");

    // The original's headers (the body may be gone: the envelope then
    // speaks for From and To).
    CVornString bodyPath(CVornString::kUnlocked);
    message->GetBodyPath(bodyPath);
    CVornDiskFile file(bodyPath.CStr(), kFileReadOnly);
    std::unique_ptr<CVornRFC822Entity> original;
    if (file.Open())
        original = std::make_unique<CVornRFC822Entity>(file, 0);
    const bool haveOriginal = original && original->IsOpen();
    for (const char* name :
         {"From", "To", "Date", "Subject", "CC", "BCC", "Message-Id", "Received"}) {
        CVornString raw(CVornString::kUnlocked);
        std::string value;
        if (haveOriginal && original->GetHeader(CVornString(name, CVornString::kUnlocked), raw))
            value.assign(raw.CStr(), static_cast<size_t>(raw.Length()));
        if (strcmp(name, "Subject") == 0 && !value.empty()) {
            char decoded[1024];
            if (DecodeEncodedWords(decoded, sizeof decoded, value.c_str(), nullptr, nullptr,
                                   false))
                value = decoded;
        }
        if (value.empty() && strcmp(name, "From") == 0 && message->GetSender())
            value = message->GetSender();
        if (value.empty() && strcmp(name, "To") == 0)
            value = recipientList(message);
        if (!value.empty())
            header(name, value);
    }
    if (original)
        (void)original->Close();

    // A notice is queued whole or not at all.
    if (notice->CloseBody() != 0)
        failed = true;
    notice->SetComplete(1);
    if (failed || notice->ExpandRecipients(nullptr) != 0 || notice->WriteEnvelope() != 0) {
        recordGeneratedError(kGeneratedNotStored, kGeneratedDsn);
        (void)notice->Delete();
        return;
    }
    if (m_FastQueue == nullptr || m_FastQueue->Add(notice->GetName(), Now(), 0) != 0) {
        recordGeneratedError(kGeneratedNotQueued, kGeneratedNotice);
        (void)notice->Delete();
        return;
    }
    (void)notice->Unlock();
    WakeWorkers();
}
