// CPipelineRecords: the activity records of the mail pipeline, one
// operation per event. The SMTP server object carries these operations (it
// derives from this class); the sessions, delivery workers, relay pass and
// notification code call them at the moments their own code decides. The
// access report of the web administration reads the records back by event
// number (field 2) and the field numbers below.
//
// Every record has field 1 = 1 (mail pipeline), field 2 = the event number,
// field 3 = the outcome when there is one (1 success, 2 failure). Fields:
//   10 user               11 client address or the message's source text
//   12 relay destination  20 envelope sender   21 recipient(s)
//   22 subject            23 body size         50 mailbox   51 uid
//   52 message name       100 what happened (catalogue text)
//   101 further text      105 class of problem (catalogue text)
//   110 reply or reason text                   111 command line
// Catalogue texts are resolved in the service's catalogue language when the
// record is written; a number without text gives an empty field (not written).
//
// Nothing is reported back: a record that cannot be written is lost (the
// activity log writer decides) and the pipeline goes on. Null texts count
// as empty; a null message leaves its fields out.
//
// Threads: any thread may call these at any time; each call builds its own
// record. REQUIRES: no configuration-store lock held (the activity log
// writer reads a setting).
#pragma once

#include <time.h>

#include "core/hash_table.h"
#include "core/message_catalog.h"
#include "core/vorn_string.h"

class CQueuedMessage;

// Event numbers (field 2).
enum : int {
    kEventRelayConnect = 3,
    kEventEnd = 4,
    kEventQueued = 5,
    kEventDelivered = 6,
    kEventReturned = 7,
    kEventDiscarded = 8,
    kEventConnection = 13,
    kEventCommandRefused = 14,
    kEventSenderLocked = 16,
    kEventPolicyRefusal = 18,
    kEventLocalError = 19,
    kEventMessageDone = 20,
    kEventDeferred = 21,
};

// The catalogue number of a recipient's reason code (the text that names
// the reason in returns and records); 0 for codes outside 0 to 8.
int ReasonCatalogNumber(int reason);

// Catalogue numbers of the records of mail the gateway makes itself
// (recordGeneratedError: what failed, then what kind of mail it was).
enum : int {
    kGeneratedBodyNotOpened = 367,
    kGeneratedWriteFailed = 368,
    kGeneratedNotStored = 370,
    kGeneratedNotQueued = 371,
    kGeneratedNotCreated = 376,
    kGeneratedDsn = 392,
    kGeneratedNotice = 393,
};

class CPipelineRecords {
public:
    CPipelineRecords() = default;
    virtual ~CPipelineRecords() = default;
    CPipelineRecords(const CPipelineRecords&) = delete;
    CPipelineRecords& operator=(const CPipelineRecords&) = delete;

    // SMTP sessions
    void recordConnection(const char* client);
    void recordSessionError(const char* client);
    void recordSessionEnd(const char* client, bool messageAccepted);
    void recordCommandRefused(int number, const char* commandLine, const char* client);
    void recordSenderLocked(const char* client, const char* user);
    void recordReceiveError(int number, const char* client);
    void recordSessionFailure(int number, const char* client);
    void recordMessageAccepted(const char* client, CQueuedMessage* message,
                               const char* recipients, const char* subject);

    // Generated mail
    void recordGeneratedQueued(CQueuedMessage* message, const char* recipient,
                               const char* originalName, const char* subject, int number);
    void recordGeneratedError(int firstNumber, int secondNumber);

    // Relay delivery
    void recordRelayConnect(const char* destination);
    void recordRelayConnectFailed(const char* destination);
    void recordRelayDisconnect(const char* destination);
    void recordRelayDelivery(CQueuedMessage* message, const char* recipient, const char* reply,
                             const char* destination);

    // Delivery outcomes
    void recordLocalDelivery(CQueuedMessage* message, const char* uid, const char* mailbox,
                             const char* user);
    void recordDeferred(CQueuedMessage* message, const char* recipient, const char* text);
    void recordRecipientFinished(int notify, CQueuedMessage* message, const char* sender,
                                 const char* recipient, int reason, const char* statusText);
    void recordPolicyRefusal(CQueuedMessage* message, const char* sender, const char* recipient,
                             const char* statusText);
    void recordMessageDone(CQueuedMessage* message);

private:
    // The catalogue text of number ("" when there is none).
    const char* text(int number);
    // Sets fields 1 to 3, 10 and 11 of a fresh record.
    void start(CVornStringMap& record, int event, int outcome, const char* user,
               const char* client);
    // Field 52: the message's name.
    static void setName(CVornStringMap& record, CQueuedMessage* message);

    CVornMessageCatalog m_Catalog;
};
