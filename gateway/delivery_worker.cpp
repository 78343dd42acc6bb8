// The delivery workers: the outgoing side of the gateway. Every helper
// thread of the SMTP server runs the delivery loop; each turn takes one due
// message from the spool, runs one delivery pass over it and then removes it,
// keeps it for a retry, or moves it from "fastq" to "slowq". New mail (from
// "fastq") is scanned first (gateway/message_scan.cpp); a message whose
// scan did not happen is released in "fastq" unscanned and undelivered.
//
//   SMTP::RunHelper       one worker's loop (until stop or fewer helpers)
//   SMTP::deliverNext     one turn: take, pass, dispose
//   SMTP::DeliverLocal    one pass: expiry, local recipients, relay pass
//   SMTP::OverQuota       the "MailQuota" test of a local user
//   SMTP::SlowQueueLimit  how many workers may retry "slowq" mail at once
//   SMTP::failRecipient   marks a recipient failed with a reason (and text)
//
// Bad input: a recipient whose address does not parse fails with reason 3;
// the parser running out of memory ends the pass with 1 and the message is
// retried unchanged. A pass that throws (memory) keeps the message for a
// retry rather than losing it or leaving its queue entry taken.
//
// Local recipients go to the mailbox GetDeliveryMailbox names ("Inbox") of
// the user's mailbox set (gateway/mail_users.h). This system makes no
// mailbox set, so no mailbox ever opens and every local recipient fails
// with reason 2 (catalogue text 451) and is returned to its sender; the
// steps after an open (the mailbox's state, the content filter and
// "OnForbidden", the store's delivery and its records) run only where a
// set is registered.
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <memory>
#include <new>
#include <string>

#include "config/config_store.h"
#include "core/clock.h"
#include "core/vorn_exception.h"
#include "core/pseudo_random.h"
#include "gateway/mail_users.h"
#include "gateway/mailbox.h"
#include "gateway/queued_message.h"
#include "gateway/relay_delivery.h"
#include "gateway/smtp_server.h"
#include "gateway/spool_queue.h"
#include "net/mail_address.h"
#include "net/mail_message.h"

int SMTP::SlowQueueLimit(int helpers) {
    return std::max(2, helpers / 4);
}

void SMTP::failRecipient(QueuedRecipient* recipient, int reason) {
    CRelayDelivery::failRecipient(recipient, reason);
}

void SMTP::failRecipient(QueuedRecipient* recipient, int reason, const char* text) {
    CRelayDelivery::failRecipient(recipient, reason, text);
}

int SMTP::GetRetriesInProgress() {
    m_CountsLock.ReadLock();
    int n = m_RetriesInProgress;
    m_CountsLock.ReadUnlock();
    return n;
}

void SMTP::RunHelper(int /*threadNumber*/) {
    std::unique_ptr<CRelayDelivery> relay = NewRelay();
    registerRelay(relay.get());
    struct Leave {
        SMTP* server;
        CRelayDelivery* relay;
        ~Leave() {
            server->unregisterRelay(relay);
            // The next waiting worker wakes too and sees the stop (or takes
            // over the wake-up this worker may have consumed).
            server->m_WakeEvent.Set();
        }
    } leave{this, relay.get()};

    while (!SessionsMustEnd()) {
        if (TooManyHelpers())
            return;
        int turn = deliverNext(*relay);
        // After new mail, look for more at once.
        if (turn == kTurnFast)
            continue;
        if (SessionsMustEnd() || TooManyHelpers())
            return;
        (void)m_WakeEvent.WaitSeconds(kIdleWaitSeconds);
        if (TooManyHelpers()) {
            // Surplus workers leave one by one rather than all at once.
            pauseUnlessStopping(PseudoRandom() % 5);
            return;
        }
    }
}

int SMTP::deliverNext(CRelayDelivery& relay) {
    if (m_FastQueue == nullptr || m_SlowQueue == nullptr)
        return kTurnIdle;
    bool fromSlow = false;
    std::unique_ptr<CQueuedMessage> message(m_FastQueue->TakeNext(m_SpoolDirectory.c_str()));
    if (message) {
        // New mail is scanned before anything reads it for delivery. A
        // message whose scan did not happen stays in "fastq" (the queue is
        // the mark that it is still unscanned) and is due again after the
        // retry interval; "slowq" holds only scanned mail.
        int scanned = SMTP::kScanDefer;
        try {
            scanned = ScanMessage(message.get());
        } catch (const std::bad_alloc&) {
        } catch (const CVornException&) {
        }
        if (scanned != SMTP::kScanDeliver) {
            m_FastQueue->Release(message.release());
            return kTurnFast;
        }
    } else {
        int limit = SlowQueueLimit(GetHelperThreadCount());
        m_CountsLock.WriteLock();
        if (m_RetriesInProgress < limit) {
            message.reset(m_SlowQueue->TakeNext(m_SpoolDirectory.c_str()));
            if (message) {
                ++m_RetriesInProgress;
                fromSlow = true;
            }
        }
        m_CountsLock.WriteUnlock();
        if (!message)
            return kTurnIdle;
    }

    // The pass's envelope changes are written once at its end, and not at
    // all when the message is finished (its files go).
    message->HoldEnvelopeWrites(true);
    int result = 1;
    try {
        result = DeliverLocal(message.get(), relay);
    } catch (const std::bad_alloc&) {
        result = 1;  // kept for a retry; the queue entry must not stay taken
    } catch (const CVornException&) {
        result = 1;
    }

    // The queues take the message over (and delete it) whatever they report.
    if (result != 0)
        (void)message->FlushEnvelope();
    if (result == 0) {
        recordMessageDone(message.get());
        (fromSlow ? m_SlowQueue : m_FastQueue)->Remove(message.release(), 1);
    } else if (fromSlow) {
        m_SlowQueue->Release(message.release());
    } else {
        // Add to "slowq" with both times now, then drop the "fastq" entry;
        // when the add fails the message stays in "fastq", ready again
        // after the retry interval.
        m_FastQueue->MoveTo(message.release(), *m_SlowQueue);
    }
    if (fromSlow) {
        m_CountsLock.WriteLock();
        --m_RetriesInProgress;
        m_CountsLock.WriteUnlock();
    }
    return fromSlow ? kTurnSlow : kTurnFast;
}

int SMTP::DeliverLocal(CQueuedMessage* message, CRelayDelivery& relay) {
    if (message->GetRecipients() == nullptr)
        return 0;

    // Expiry fails only what is still waiting: recipients already delivered
    // or failed keep their status and reason. The bounce step then returns
    // every failure (without the original when it cannot be read) and
    // closes the recipients, so an expired message leaves the spool.
    if (Now() - message->GetCreationTime() > kExpirySeconds) {
        bool changed = false;
        for (QueuedRecipient* r = message->GetRecipients(); r; r = r->m_Next) {
            if (r->m_Status == kRecipientPending) {
                failRecipient(r, kReasonExpired);
                changed = true;
            }
        }
        if (changed)
            (void)message->WriteEnvelope();
        return Bounce(message);
    }

    bool changed = false;
    for (QueuedRecipient* r = message->GetRecipients(); r; r = r->m_Next) {
        if (r->m_Status != kRecipientPending)
            continue;
        CVornMailAddress address;
        int parsed = address.Set(r->m_Address.c_str());
        if (parsed < 0)
            return 1;  // out of memory: retried unchanged, no relay pass
        const char* route = parsed == 0 ? address.Get(CVornMailAddress::kFormRoute) : nullptr;
        if (route == nullptr) {
            failRecipient(r, kReasonBadAddress);
            changed = true;
            continue;
        }
        // A '!' path is a remote recipient: the relay pass takes it.
        if (strchr(route, '!') != nullptr)
            continue;
        std::string user(route);
        std::erase(user, '"');
        if (message->GetKind() == kMessageReceived &&
            OverQuota(message->GetBodySize(), user.c_str())) {
            failRecipient(r, kReasonOverQuota);
            changed = true;
            continue;
        }
        // The store's delivery. No mailbox set exists in this system, so no
        // mailbox opens and the recipient fails with reason 2.
        std::unique_ptr<CVornMailMessage> body(
            message->OpenBodyForRead(CVornMailMessage::kUnbounded | CVornMailMessage::kParseOnOpen,
                                     CVornMailMessage::kModeRead));
        CVornString mailbox(CVornString::kUnlocked);
        GetDeliveryMailbox(user.c_str(), body.get(), mailbox);
        CMailbox* box = OpenMailbox(user.c_str(), mailbox.CStr(), 0);
        if (box == nullptr) {
            failRecipient(r, kReasonNoMailbox, m_Catalog.GetText(kMsgNoMailbox));
            changed = true;
            continue;
        }
        try {
            storeLocally(message, r, user.c_str(), mailbox.CStr(), *box, body.get());
        } catch (...) {
            CloseMailbox(user.c_str(), mailbox.CStr());
            throw;
        }
        CloseMailbox(user.c_str(), mailbox.CStr());
        body.reset();
        // A stored copy is on record before the next recipient, so a crash
        // does not make the next pass store it again. A worker's pass holds
        // its envelope writes (deliverNext), where the write only marks the
        // change: the flush makes it reach the disk now.
        (void)message->WriteEnvelope();
        (void)message->FlushEnvelope();
    }
    // One rewrite after the walk records every other local outcome: nothing
    // was stored for them that a crash could make us store twice.
    if (changed)
        (void)message->WriteEnvelope();

    return relay.DeliverRemote(*message);
}

void SMTP::storeLocally(CQueuedMessage* message, QueuedRecipient* r, const char* user,
                        const char* mailbox, CMailbox& box, CVornMailMessage* body) {
    const int state = box.GetState();
    if (state == kBoxNoIndex) {
        failRecipient(r, kReasonNoMailbox, m_Catalog.GetText(kMsgNoMailbox));
        return;
    }
    if (state != kBoxLoaded) {
        // The index could not be loaded now: try again later.
        recordDeferred(message, r->m_Address.c_str(), "");
        ++r->m_Attempts;
        r->m_LastAttempt = Now();
        return;
    }
    if (body == nullptr) {
        failRecipient(r, kReasonStoreError);
        return;
    }
    const char* sender = message->GetSender();
    CVornString uid(CVornString::kUnlocked);
    int result;
    if (message->GetKind() == kMessageReceived) {
        // What a refusal by the user's content filter does: "S" stores the
        // message all the same, "D" drops it, anything else returns it.
        CVornString onForbidden(CVornString::kUnlocked);
        (void)CVornConfigStore::GetSetting(nullptr, user, "OnForbidden", onForbidden);
        const char first = onForbidden.CharAt(0);
        const int action = first == 'D'   ? kRecipientDone
                           : first == 'S' ? kRecipientPending
                                          : kRecipientFailed;
        char* refusal = nullptr;
        result = box.Deliver(1, kMailboxUnread, sender, body, uid, &refusal);
        std::unique_ptr<char[]> refusalText(refusal);
        if (result > 0) {
            r->m_Reason = kReasonPolicy;
            r->m_Status = action;
            r->m_Notify = action == kRecipientFailed ? 1 : action == kRecipientDone ? 2 : 0;
            CQueuedMessage::SetStatusText(*r, refusal);
            if (action != kRecipientPending)
                return;
            result = box.Deliver(0, kMailboxUnread, sender, body, uid, nullptr);
        }
    } else {
        const int flags = message->GetKind() == kMessageFilterNotice ? 0x41 : kMailboxUnread;
        result = box.Deliver(0, flags, sender, body, uid, nullptr);
    }
    if (result < 0) {
        failRecipient(r, kReasonStoreError);
        return;
    }
    recordLocalDelivery(message, uid.CStr(), mailbox, user);
    r->m_Status = kRecipientDone;
    r->m_Notify = 0;
}

int SMTP::OverQuota(long size, const char* user) {
    CVornString value;
    if (CVornConfigStore::GetSetting(nullptr, user, "MailQuota", value) != 0)
        return 0;
    long long quota = static_cast<long long>(value.ToInt()) * (1LL << 20);
    if (quota <= 0)
        return 0;
    // The bytes the user stores already; none when the user has no set
    // (always, in this system).
    int messages = 0;
    int unread = 0;
    long bytes = 0;
    long long stored = GetUserMailTotals(user, messages, unread, bytes) == 0 ? bytes : 0;
    return stored + size > quota ? 1 : 0;
}
