// The mail pipeline's activity records: one operation per event, each
// building one record and writing it at once.
//
//   ReasonCatalogNumber           the catalogue text of a reason code
//   CPipelineRecords::record...   one record per pipeline event (see the header)
//
// Bad input: null texts and messages leave their fields out; unknown reason
// codes give no reason text. The activity log writer removes CR, LF and NUL
// from every value, so a peer's text never starts a new record.
#include "gateway/pipeline_records.h"

#include <string>

#include "config/activity_log.h"
#include "gateway/queued_message.h"

namespace {

constexpr int kPipelineClass = 1;
constexpr int kTextSenderLocked = 340;
constexpr int kTextSessionError = 361;
constexpr int kTextNoMessage = 362;
constexpr int kTextLocalError = 366;
constexpr int kTextOriginal = 405;

}  // namespace

int ReasonCatalogNumber(int reason) {
    static const int kNumbers[] = {383, 384, 385, 386, 387, 391, 388, 389, 831};
    if (reason < 0 || reason > 8)
        return 0;
    return kNumbers[reason];
}

const char* CPipelineRecords::text(int number) {
    const char* found = number > 0 ? m_Catalog.GetText(number) : nullptr;
    return found ? found : "";
}

void CPipelineRecords::start(CVornStringMap& record, int event, int outcome, const char* user,
                             const char* client) {
    ActivityRecordStart(record, kPipelineClass, event, outcome, user, client);
}

void CPipelineRecords::setName(CVornStringMap& record, CQueuedMessage* message) {
    if (message)
        ActivityRecordSetText(record, 52, message->GetName());
}

void CPipelineRecords::recordConnection(const char* client) {
    CVornStringMap record;
    start(record, kEventConnection, 0, nullptr, client);
    ActivityLogWrite(record);
}

void CPipelineRecords::recordSessionError(const char* client) {
    CVornStringMap record;
    start(record, kEventEnd, 0, nullptr, client);
    ActivityRecordSetText(record, 105, text(kTextSessionError));
    ActivityLogWrite(record);
}

void CPipelineRecords::recordSessionEnd(const char* client, bool messageAccepted) {
    CVornStringMap record;
    start(record, kEventEnd, 0, nullptr, client);
    if (!messageAccepted)
        ActivityRecordSetText(record, 100, text(kTextNoMessage));
    ActivityLogWrite(record);
}

void CPipelineRecords::recordCommandRefused(int number, const char* commandLine,
                                            const char* client) {
    CVornStringMap record;
    start(record, kEventCommandRefused, 0, nullptr, client);
    ActivityRecordSetText(record, 100, text(number));
    ActivityRecordSetText(record, 111, commandLine);
    ActivityLogWrite(record);
}

void CPipelineRecords::recordSenderLocked(const char* client, const char* user) {
    CVornStringMap record;
    start(record, kEventSenderLocked, 0, user, client);
    ActivityRecordSetText(record, 100, text(kTextSenderLocked));
    ActivityLogWrite(record);
}

void CPipelineRecords::recordReceiveError(int number, const char* client) {
    CVornStringMap record;
    start(record, kEventLocalError, 0, nullptr, client);
    ActivityRecordSetText(record, 105, text(kTextLocalError));
    ActivityRecordSetText(record, 100, text(number));
    ActivityLogWrite(record);
}

void CPipelineRecords::recordSessionFailure(int number, const char* client) {
    CVornStringMap record;
    start(record, kEventLocalError, 0, nullptr, client);
    ActivityRecordSetText(record, 100, text(number));
    ActivityLogWrite(record);
}

void CPipelineRecords::recordMessageAccepted(const char* client, CQueuedMessage* message,
                                             const char* recipients, const char* subject) {
    CVornStringMap record;
    start(record, kEventQueued, 0, nullptr, client);
    setName(record, message);
    ActivityRecordSetText(record, 21, recipients);
    if (message) {
        ActivityRecordSetText(record, 20, message->GetSender());
        ActivityRecordSetNumber(record, 23, message->GetBodySize());
    }
    ActivityRecordSetText(record, 22, subject);
    ActivityLogWrite(record);
}

void CPipelineRecords::recordGeneratedQueued(CQueuedMessage* message, const char* recipient,
                                             const char* originalName, const char* subject,
                                             int number) {
    CVornStringMap record;
    start(record, kEventQueued, 0, nullptr, nullptr);
    setName(record, message);
    ActivityRecordSetText(record, 21, recipient);
    if (message)
        ActivityRecordSetNumber(record, 23, message->GetBodySize());
    ActivityRecordSetText(record, 22, subject);
    ActivityRecordSetText(record, 100, text(number));
    std::string further = std::string(text(kTextOriginal)) + ": " + (originalName ? originalName : "");
    ActivityRecordSetText(record, 101, further.c_str());
    ActivityLogWrite(record);
}

void CPipelineRecords::recordGeneratedError(int firstNumber, int secondNumber) {
    CVornStringMap record;
    start(record, kEventLocalError, 0, nullptr, nullptr);
    ActivityRecordSetText(record, 105, text(kTextLocalError));
    ActivityRecordSetText(record, 100, text(firstNumber));
    ActivityRecordSetText(record, 101, text(secondNumber));
    ActivityLogWrite(record);
}

void CPipelineRecords::recordRelayConnect(const char* destination) {
    CVornStringMap record;
    start(record, kEventRelayConnect, 1, nullptr, nullptr);
    ActivityRecordSetText(record, 12, destination);
    ActivityLogWrite(record);
}

void CPipelineRecords::recordRelayConnectFailed(const char* destination) {
    CVornStringMap record;
    start(record, kEventRelayConnect, 2, nullptr, nullptr);
    ActivityRecordSetText(record, 12, destination);
    ActivityLogWrite(record);
}

void CPipelineRecords::recordRelayDisconnect(const char* destination) {
    CVornStringMap record;
    start(record, kEventEnd, 0, nullptr, nullptr);
    ActivityRecordSetText(record, 12, destination);
    ActivityLogWrite(record);
}

void CPipelineRecords::recordRelayDelivery(CQueuedMessage* message, const char* recipient,
                                           const char* reply, const char* destination) {
    CVornStringMap record;
    start(record, kEventDelivered, 0, nullptr, nullptr);
    setName(record, message);
    ActivityRecordSetText(record, 21, recipient);
    ActivityRecordSetText(record, 110, reply);
    ActivityRecordSetText(record, 12, destination);
    ActivityLogWrite(record);
}

void CPipelineRecords::recordLocalDelivery(CQueuedMessage* message, const char* uid,
                                           const char* mailbox, const char* user) {
    CVornStringMap record;
    start(record, kEventDelivered, 0, nullptr, nullptr);
    setName(record, message);
    ActivityRecordSetText(record, 51, uid);
    ActivityRecordSetText(record, 50, mailbox);
    ActivityRecordSetText(record, 21, user);
    ActivityLogWrite(record);
}

void CPipelineRecords::recordDeferred(CQueuedMessage* message, const char* recipient,
                                      const char* text) {
    CVornStringMap record;
    start(record, kEventDeferred, 0, nullptr, nullptr);
    setName(record, message);
    ActivityRecordSetText(record, 21, recipient);
    if (text && *text)
        ActivityRecordSetText(record, 110, text);
    ActivityLogWrite(record);
}

void CPipelineRecords::recordRecipientFinished(int notify, CQueuedMessage* message,
                                               const char* sender, const char* recipient,
                                               int reason, const char* statusText) {
    CVornStringMap record;
    start(record, notify == 1 ? kEventReturned : kEventDiscarded, 0, nullptr, nullptr);
    setName(record, message);
    ActivityRecordSetText(record, 20, sender);
    ActivityRecordSetText(record, 21, recipient);
    ActivityRecordSetText(record, 100, text(ReasonCatalogNumber(reason)));
    if (statusText && *statusText)
        ActivityRecordSetText(record, 101, statusText);
    ActivityLogWrite(record);
}

void CPipelineRecords::recordPolicyRefusal(CQueuedMessage* message, const char* sender,
                                           const char* recipient, const char* statusText) {
    CVornStringMap record;
    start(record, kEventPolicyRefusal, 0, nullptr, nullptr);
    setName(record, message);
    ActivityRecordSetText(record, 20, sender);
    ActivityRecordSetText(record, 100, statusText && *statusText ? statusText : recipient);
    ActivityLogWrite(record);
}

void CPipelineRecords::recordMessageDone(CQueuedMessage* message) {
    CVornStringMap record;
    start(record, kEventMessageDone, 0, nullptr, message ? message->GetSourceText() : nullptr);
    setName(record, message);
    ActivityLogWrite(record);
}
