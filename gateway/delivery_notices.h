// CDeliveryNotices: the last step of every delivery pass. For each
// recipient the pass has settled (status 3: delivered, returned in a
// delivery-status notification, or refused by a mailbox filter) it writes
// the activity records of the outcome, reports policy refusals (reason 5)
// to the sender auto-lock, sends delivery notices to the addresses that the
// settings "Notify" and "NotifyAddr" name, and closes the recipient (4).
//
// The SMTP server object owns one and forwards its notice step to
// SendNotices; the records go through that object's CPipelineRecords.
//
// Notice levels, read for each settled recipient in this order: 0 the
// client object named by the message's source text, 1 that client's group,
// 2 the sender as a user (its routing form), 3 the sender user's group, 4
// the recipient as a user, 5 the recipient user's group, 6 the system. A
// level's value is the integer of its "Notify" (0 when not found), its
// address the text of its "NotifyAddr". 0: no notice; 1: a notice only for
// a policy refusal; other values: a notice for every settled recipient.
// One address gets at most one notice per recipient (the first level
// naming it). Once a recipient with a reason other than 5 has been closed
// in a message, the message's notices-sent flag is set and the sender side
// (levels 0 to 3) hears of later recipients only for policy refusals.
//
// A notice is a new spooled message of kind 3 (4 when the recipient's
// notify flag is 2: its mail was discarded by a filter), plain text, from
// the gateway address with an empty envelope sender, one recipient; it
// enters "fastq" and the wake call tells the delivery workers. Every text
// from outside written into its header (addresses, the original's sender)
// has CR and LF removed; the status text written into its body has every
// CR and LF made a blank, so each line of a notice ends in CR LF.
//
// Results: SendNotices returns the number of recipients that were neither
// done nor closed when it started (pending or failed), or 1 when a notice
// could not be made or queued: that notice is deleted with its files, and
// the envelope of the original is not rewritten, so the step runs again on
// the next pass. The other operations: 0 ok, 1 failure (newNotice: null).
//
// Threads: an object may be shared by every delivery worker; each call
// works on the message the calling worker holds (locked). REQUIRES: no
// configuration-store lock held (settings look-ups, the auto-lock and the
// activity records take the store's locks themselves).
#pragma once

#include <functional>
#include <string>

#include "core/message_catalog.h"
#include "core/vorn_string.h"

class CMessageQueue;
class CPipelineRecords;
class CQueuedMessage;
struct QueuedRecipient;

class CDeliveryNotices {
public:
    // records: the server object's records; fastq: where notices are
    // queued; spoolDirectory: where they are made; gatewayAddress: the
    // sender address of generated mail (its canonical form is the "From");
    // wake: called after each notice is queued (may be empty). All borrowed
    // and must outlive this object.
    CDeliveryNotices(CPipelineRecords& records, CMessageQueue& fastq, const char* spoolDirectory,
                     const char* gatewayAddress, std::function<void()> wake);
    virtual ~CDeliveryNotices() = default;
    CDeliveryNotices(const CDeliveryNotices&) = delete;
    CDeliveryNotices& operator=(const CDeliveryNotices&) = delete;

    // The notice step (see the top). A null message or one without
    // recipients gives 0. Messages the gateway generated (kinds 2, 3, 4)
    // have their recipients settled and recorded but get no notices.
    int SendNotices(CQueuedMessage* message);

    // A new notice to address about recipient of the message named
    // originalName whose envelope sender was sender: created, locked,
    // opened, with its header, recipient and opening lines written. Null on
    // failure (recorded; a half-made notice is deleted with its files). The
    // caller owns the result.
    CQueuedMessage* newNotice(const char* to, const QueuedRecipient& recipient, const char* sender,
                              const char* originalName);
    // The recipient section of the notice body.
    int addNoticeSection(CQueuedMessage* notice, const QueuedRecipient& recipient);
    // The closing line and the original's body; whole copies every line
    // unchanged, otherwise only the original's header lines up to its first
    // empty line.
    int addNoticeText(CQueuedMessage* notice, CQueuedMessage* original, int whole);
    // Closes the notice body, expands its recipients, writes its envelope
    // and adds it to "fastq"; on success records it, unlocks it and wakes
    // the workers. On failure the notice is left for the caller to delete.
    int queueNotice(CQueuedMessage* notice, const char* to, const char* originalName);

private:
    // The notice levels of one recipient.
    struct Level {
        int m_Value = 0;
        std::string m_Address;
    };
    void readLevels(CQueuedMessage* message, const QueuedRecipient& recipient, Level levels[7]);
    // One notice made, written and queued; 0 ok, 1 failure (the notice is
    // deleted).
    int sendOne(CQueuedMessage* message, const QueuedRecipient& recipient, const char* sender,
                const std::string& to);
    // Appends printf-free text to the notice body; 0 ok, 1 failure
    // (recorded as a write failure).
    int append(CQueuedMessage* notice, const std::string& text);
    const char* text(int number);

    CPipelineRecords& m_Records;
    CMessageQueue& m_FastQueue;
    std::string m_SpoolDirectory;
    std::string m_GatewayAddress;
    std::function<void()> m_Wake;
    CVornMessageCatalog m_Catalog;
};
