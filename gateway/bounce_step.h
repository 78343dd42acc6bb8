// CBounceStep: returns the failed recipients of a spooled message to whoever
// must hear of them, as delivery-status notifications (DSNs) in the
// multipart/report layout, then hands the message to the delivery notices.
// The SMTP server object owns one and forwards its bounce operations to it.
//
// A DSN is a new spooled message of kind 2 with an empty envelope sender and
// one recipient; its name (after "==") is its MIME boundary. Its body holds
// "From", "To", "Subject", the MIME lines, then per reported recipient a
// text/plain part and a message/delivery-status part, then the original
// message as a message/rfc822 part, then the end boundary. Every line ends
// with CR LF.
//
// Texts of peers (addresses, reply texts) never break the DSN's lines: CR
// and LF are removed from them before status texts are split at double
// blanks, and a split line that would start with "--" starts with a blank.
//
// Results: 0 success, 1 failure, unless said otherwise.
//
// Threads: a step object is shared by the delivery workers; each call works
// on the message the calling worker holds locked and on DSNs it makes
// itself, so the object keeps no state between calls. The borrowed queue,
// records and event are thread-safe.
#pragma once

#include <functional>
#include <string>

#include "core/message_catalog.h"

class CMessageQueue;
class CPipelineRecords;
class CQueuedMessage;
class CVornEvent;
struct QueuedRecipient;

// In place: every pair of adjacent blanks becomes CR LF, scanning from the
// left ("a   b" becomes "a\r\n b"). Used for status texts in returns and
// notices.
void breakDoubleSpaces(std::string& text);

// A peer's text (an address, a reply, a name) for one header or body line:
// CR and LF dropped, so it can never start a line of its own. Null gives "".
std::string WithoutLineBreaks(const char* text);

class CBounceStep {
public:
    // At most this many recipients go into the sender's DSN per pass.
    static constexpr int kMaxReportedRecipients = 100;

    // The notice step of the pass (the server's SendNotices): it closes the
    // done recipients and its result is the result of the bounce step.
    using NoticeStep = std::function<int(CQueuedMessage*)>;

    // spoolDirectory: where DSNs are made. fastQueue: where they are queued.
    // records: the pipeline's activity records. wakeEvent: set once per
    // queued DSN. gatewayAddress: the sender address of generated mail.
    // REQUIRES: the borrowed objects outlive this object; sendNotices set.
    CBounceStep(const char* spoolDirectory, CMessageQueue& fastQueue, CPipelineRecords& records,
                CVornEvent& wakeEvent, const char* gatewayAddress, NoticeStep sendNotices);
    CBounceStep(const CBounceStep&) = delete;
    CBounceStep& operator=(const CBounceStep&) = delete;

    // The bounce step for a message the caller holds locked: 0 for a message
    // without recipients; otherwise the notice step's result, or 1 when a
    // DSN could not be made or queued (the recipients not yet reported stay
    // failed and are taken again by the next pass). Failed recipients of a
    // DSN (kind 2) are closed without a DSN.
    int Bounce(CQueuedMessage* message);

    // A new DSN to the address, locked and with its header part written;
    // the caller owns it. Null on failure (an error record is written and
    // nothing is left in the spool).
    CQueuedMessage* newDSN(const char* to);
    // Writes the text part and the status part of one recipient; splits the
    // recipient's status text at double blanks in place.
    int addDSNRecipient(CQueuedMessage* dsn, QueuedRecipient* recipient);
    // Writes the original message part (whole, or its header lines only)
    // and the end boundary. An original whose body cannot be read gives a
    // DSN without that part (a DSN is still due; see the file's manual);
    // 1 only when the DSN cannot be written.
    int attachOriginal(CQueuedMessage* dsn, CQueuedMessage* original, int whole);
    // Closes the DSN's body, readies its recipient, writes its envelope and
    // adds it to the fast queue; then records it, unlocks it and wakes a
    // worker. On failure the DSN is left as it is (the caller deletes it).
    int queueDSN(CQueuedMessage* dsn, const char* to, const char* originalName);

private:
    // Writes text into the DSN's body; on failure records (368, 392).
    int write(CQueuedMessage* dsn, const std::string& text);
    // The catalogue text of number, "" when there is none.
    const char* text(int number);
    // Sends one DSN for the recipients to the address, then marks them done.
    // 0, or 1 after a failure (the unfinished DSN deleted).
    int sendOne(CQueuedMessage* message, const char* to, QueuedRecipient* const* taken, int count);

    std::string m_SpoolDirectory;
    CMessageQueue& m_FastQueue;
    CPipelineRecords& m_Records;
    CVornEvent& m_WakeEvent;
    std::string m_GatewayAddress;
    NoticeStep m_SendNotices;
    CVornMessageCatalog m_Catalog;
};
