// CRelayDelivery: the relay pass of a delivery worker. It sends the pending
// remote recipients of one spooled message to their next hop over SMTP:
// groups them by destination (the first hop of the routing form), finds the
// hosts of a destination (relay route, smart host "RelayHost"/"RelayHostPort",
// or the domain's mail exchangers through the library's resolver), connects,
// runs one SMTP transaction per destination with at most 100 recipients, and
// records the outcome of every recipient in the envelope.
//
// The SMTP server object owns one per delivery worker and calls:
//   DeliverRemote     the whole relay pass; ends in the bounce step
//   findRoute         the hosts to try for a destination
//   connectRoute      the first host that accepts a connection
//   startTransaction  greeting, HELO, MAIL and the first RCPT
//   sendRecipient     one further RCPT
//   sendData          DATA, the body, the end mark, QUIT; settles the batch
//   readReply         one complete (possibly multi-line) reply
//   failRecipient     status failed, notify 1, a reason and an optional text
//
// Bounds and shutdown: a reply may hold at most kMaxReplyLength bytes and
// kMaxReplyLines lines (more is a failed read: a temporary failure); each
// reply line must arrive within the reply time-out (300 s) however its bytes
// trickle in, read in calls of at most a second so that a set stop flag or
// Interrupt ends the wait within about a second. Every address is connected
// to on its own, with the stop flag looked at between addresses; Interrupt
// also shuts down a connection being made.
//
// Lines relayed onward always end with CR LF (a bare LF gets its CR, a last
// line without an end gets one); a line that begins with "." gets one more.
// The body goes out in sends of 64 KiB, not one per line.
//
// Threads: an object serves one delivery worker; only Interrupt may be called
// from another thread. Records go to the CPipelineRecords given, which must
// outlive the object.
#pragma once

#include <time.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>

#include "core/message_catalog.h"
#include "core/vorn_list.h"
#include "core/vorn_string.h"
#include "gateway/queued_message.h"
#include "net/host_address.h"
#include "net/tcp_socket.h"

class CPipelineRecords;

// Recipient reason set when the remote server refused the recipient itself.
constexpr int kReasonRemoteRecipientRefused = 2;

// Results of findRoute.
enum : int {
    kRouteFound = 0,
    kRoutePermanent = 1,  // the destination does not resolve
    kRouteTemporary = 2,  // the lookup failed, or mail exchangers exist but none resolves
    kRouteCnameLoop = 3,  // permanent as well
};

class CRelayDelivery {
public:
    static constexpr int kBatchCapacity = 100;
    static constexpr time_t kRetryInterval = 300;
    static constexpr int kDefaultReplyTimeout = 300;
    static constexpr int kMaxReplyLength = 16 * 1024;
    static constexpr int kMaxReplyLines = 100;
    // Catalogue text recorded when no host of a destination accepts a connection.
    static constexpr int kMsgConnectFailed = 380;

    // records receives the activity records; ownHost is the name sent with
    // HELO (null counts as "localhost").
    CRelayDelivery(CPipelineRecords& records, const char* ownHost);
    virtual ~CRelayDelivery();
    CRelayDelivery(const CRelayDelivery&) = delete;
    CRelayDelivery& operator=(const CRelayDelivery&) = delete;

    // The bounce step that ends DeliverRemote (the server's SMTP::Bounce).
    // Without one, DeliverRemote returns the number of recipients that are
    // pending or failed.
    void SetBounce(std::function<int(CQueuedMessage&)> bounce) { m_Bounce = std::move(bounce); }
    // A flag that the service sets at shutdown (null: none). It must outlive
    // the object.
    void SetStopFlag(const std::atomic<bool>* stop) { m_StopFlag = stop; }
    // Seconds to wait for each reply line (values < 1 are ignored).
    void SetReplyTimeout(int seconds);
    // Any thread: stops the work of this object at once: the connection in
    // use (or being made) is shut down, and every later read, connect and
    // pass fails as temporary. Recipients stay pending.
    void Interrupt();
    bool Stopping() const;

    // The relay pass over the message's pending remote recipients (see the
    // top). Returns the bounce step's result, or 1 when the address parser
    // ran out of memory. REQUIRES: the caller holds the message lock.
    int DeliverRemote(CQueuedMessage& message);

    // hosts is replaced by the hosts to try, each with its port; destination
    // (in: a domain, possibly "[a.b.c.d]"; out: the host actually used).
    // kRouteFound, kRouteTemporary, or kRoutePermanent / kRouteCnameLoop.
    int findRoute(CVornList<CVornHostAddress>& hosts, CVornString& destination);

    // The first entry (and, in it, the first address) that accepts a TCP
    // connection, or null. The caller owns the result.
    std::unique_ptr<CVornTCPSocket> connectRoute(CVornList<CVornHostAddress>& hosts);

    // Reads the greeting and sends HELO, MAIL and the first RCPT for
    // recipient (address = its From form). 0 when MAIL and RCPT were
    // accepted; negative when the session failed (then SessionRefused() says
    // whether it was a refusal); positive when only the recipient failed.
    int startTransaction(CVornTCPSocket& connection, QueuedRecipient* recipient,
                         const char* address, CQueuedMessage& message, int reason);
    // One further RCPT: 0 accepted, 1 temporary failure, 2 refused or no reply.
    int sendRecipient(CVornTCPSocket& connection, QueuedRecipient* recipient, const char* address,
                      CQueuedMessage& message);
    // DATA, the body, the end mark and QUIT; settles each recipient of the
    // batch (up to capacity, until the first null slot).
    void sendData(CVornTCPSocket& connection, bool recipientAccepted, QueuedRecipient** batch,
                  int capacity, CQueuedMessage& message, const char* destination);
    // One complete reply into reply (continuation lines joined by a blank);
    // its length, or 0 or less when a read failed, timed out, was stopped or
    // passed the bounds.
    int readReply(CVornTCPSocket& connection, CVornString& reply);

    // After a negative startTransaction: true when the server refused the
    // session (5xx), false when it failed for the moment; LastReply is the
    // reply (trimmed) that ended it.
    bool SessionRefused() const { return m_SessionRefused; }
    const CVornString& LastReply() const { return m_LastReply; }

    // Status failed, notify flag 1, the reason; a non-empty text replaces
    // the status text. A null recipient is ignored.
    static void failRecipient(QueuedRecipient* recipient, int reason, const char* text = nullptr);

private:
    // Sends command; true when every byte went out.
    bool sendCommand(CVornTCPSocket& connection, const char* command);
    // Sends a command and reads its reply into m_LastReply (trimmed): the
    // reply's first character, or 0 when sending or reading failed.
    char exchange(CVornTCPSocket& connection, const char* command);
    // Sends the body; false on a read or write error.
    bool sendBody(CVornTCPSocket& connection, CQueuedMessage& message);
    void deferRecipient(CQueuedMessage& message, QueuedRecipient* recipient, const char* text,
                        time_t when);
    void setCurrent(CVornTCPSocket* connection);

    CPipelineRecords& m_Records;
    CVornString m_OwnHost;
    std::function<int(CQueuedMessage&)> m_Bounce;
    const std::atomic<bool>* m_StopFlag = nullptr;
    std::atomic<bool> m_Interrupted{false};
    int m_ReplyTimeout = kDefaultReplyTimeout;
    bool m_SessionRefused = false;
    CVornString m_LastReply;
    CVornMessageCatalog m_Catalog;
    // The connection in use, for Interrupt (under m_CurrentLock).
    std::mutex m_CurrentLock;
    CVornTCPSocket* m_Current = nullptr;
};
