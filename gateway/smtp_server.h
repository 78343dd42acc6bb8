// SMTP: the gateway's mail listener. A CVornTCPServer named "SMTP" whose
// connection workers each run one receiving session (ProcessJob, see
// gateway/smtp_session.h) and whose helper threads are the outgoing delivery
// workers (RunHelper, see gateway/delivery_worker.cpp). It carries the spool
// queues, the spool directory and the wake event that tells the delivery
// workers new mail is queued, and writes the pipeline's activity records
// (CPipelineRecords).
//
// The steps of a delivery pass are joined here: each delivery worker has its
// own relay object (CRelayDelivery, made by NewRelay: the server's records,
// own host name and stop flag, and Bounce as its last step); the server owns
// the bounce step (CBounceStep) and the notice step (CDeliveryNotices), which
// Bounce and SendNotices forward to. Generated mail goes out from
// GetGatewayAddress.
//
// Settings of the system object: "SMTPIncoming" and "SMTPOutgoing" (worker
// counts, 5 when missing; Start makes values below 1 into 5) and "SMTPPort"
// (Start makes 0, negative or above 65535 into 25).
//
// Stopping: Stop first raises the server's own stop flag, which every
// session read and every relay read watches (in slices of one second), so a
// client in a session gets a 421 reply and the session ends; it interrupts
// every relay object in use (a connect or send to a slow next hop ends at
// once) and wakes the delivery workers; it waits for the sessions at most
// kSessionDrainSeconds, then stops the framework, which cuts whatever is
// left. An idle or slow client or next hop never holds shutdown up for long.
//
// Threads: Start, Stop, Reconfigure and changePort from the service's
// control threads (not from a thread of this server); WakeWorkers, the
// accessors and the pass operations (each on a message its caller holds)
// from any thread. Locks: the take from "slowq" runs under the counts lock
// (then the queue's locks), and a queue only tries message locks, so a
// worker may call WakeWorkers while it holds its message; m_RelaysLock and
// m_SessionsLock are taken alone. Not copyable.
#pragma once

#include <time.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/message_catalog.h"
#include "core/rw_lock.h"
#include "core/vorn_event.h"
#include "core/vorn_string.h"
#include "gateway/pipeline_records.h"
#include "net/tcp_server.h"

class CBounceStep;
class CDeliveryNotices;
class CMailbox;
class CMessageQueue;
class CQuarantineForwarder;
class CQueuedMessage;
class CRelayDelivery;
class CScannerManager;
class IScanResult;
class CVornListMembership;
class CVornMailMessage;
struct QueuedRecipient;

// Copies the whole file source over the existing file destination (opened
// with truncation, synced before it is closed), in blocks of up to 65535
// bytes. False when either cannot be opened (a missing destination
// included), or a read or write fails.
bool CopyFileContents(const char* source, const char* destination);

// Result numbers of Reconfigure and changePort (texts of the web
// administration's product catalogue).
enum : int {
    kSmtpConfigDone = 2000033,
    kSmtpConfigNotStarted = 2000013,  // not started, or the port is not valid
    kSmtpConfigPortNotBound = 2000012,
};

class SMTP : public CVornTCPServer, public CPipelineRecords {
public:
    static constexpr int kDefaultWorkers = 5;
    static constexpr int kDefaultPort = 25;
    // Time-outs of a session, in seconds: one command line; each data line.
    static constexpr int kCommandTimeoutSeconds = 300;
    static constexpr int kDataTimeoutSeconds = 600;
    // How long Stop lets sessions say 421 and end before it cuts them.
    static constexpr int kSessionDrainSeconds = 3;
    // Delivery workers: the longest idle wait for the wake event; the age
    // (seconds since creation) a message must pass to expire; the local
    // user name part of the gateway's own address.
    static constexpr int kIdleWaitSeconds = 60;
    static constexpr time_t kExpirySeconds = 432000;
    static constexpr const char* kGatewayUser = "Velmar_RazoVidez_Dozoruve";
    // Catalogue text a recipient gets when no mailbox takes its mail.
    static constexpr int kMsgNoMailbox = 451;
    // What one turn of the delivery loop did (deliverNext).
    enum Turn : int { kTurnIdle = 0, kTurnFast = 1, kTurnSlow = 2 };

    // Reads the own host name. fastq and slowq are borrowed and must outlive
    // the server; spoolDirectory null or empty: kDefaultSpoolDirectory.
    SMTP(CVornListMembership* lists, CMessageQueue* fastq, CMessageQueue* slowq,
         const char* spoolDirectory);
    // Stops the server (sessions end first).
    ~SMTP() override;

    // Reads the settings, listens on 0.0.0.0 with the port and starts the
    // "SMTPIncoming" session workers and "SMTPOutgoing" delivery workers.
    // True when listening.
    bool Start();
    // Ends the sessions (421 to their clients), interrupts the relay passes
    // in progress, wakes the delivery workers once each, then stops the
    // framework and waits for its threads. Safe to call more than once.
    void Stop();
    // After the settings changed: kSmtpConfigDone, kSmtpConfigNotStarted or
    // kSmtpConfigPortNotBound (see the algorithms in smtp_server.cpp).
    int Reconfigure();
    int changePort();

    // Sets the wake event once, under the counts lock (write mode).
    void WakeWorkers();

    // ---- Delivery workers (gateway/delivery_worker.cpp)
    // Slot 1: one delivery worker's loop; returns when the server stops or
    // the framework wants fewer helpers.
    void RunHelper(int threadNumber) override;
    // One turn of the loop: takes the next due message from "fastq", else
    // (within SlowQueueLimit) from "slowq", runs one pass over it with relay
    // and removes it, releases it or moves it to "slowq". kTurnIdle when
    // nothing was taken. Any thread of a worker (tests call it directly).
    int deliverNext(CRelayDelivery& relay);
    // One delivery pass over a message the caller holds locked: expiry, the
    // local recipients, then the relay pass (which ends in Bounce). 0 when
    // nothing is left to do with the message; other values keep it spooled.
    int DeliverLocal(CQueuedMessage* message, CRelayDelivery& relay);
    // 1 when a message of size bytes would exceed the user's "MailQuota"
    // (in MiB; missing, 0 or negative: no quota), else 0.
    int OverQuota(long size, const char* user);
    // How many delivery workers may work on "slowq" at once with that many
    // wanted helpers: a quarter (truncated), at least 2.
    static int SlowQueueLimit(int helpers);
    // Status failed, notify flag 1, the reason; a non-empty text replaces the
    // status text. A null recipient is ignored.
    static void failRecipient(QueuedRecipient* recipient, int reason);
    static void failRecipient(QueuedRecipient* recipient, int reason, const char* text);

    // A relay object joined to this server (records, own host name, stop
    // flag, reply time-out, Bounce as its last step). The caller owns it;
    // it must not outlive the server.
    std::unique_ptr<CRelayDelivery> NewRelay();
    // Seconds a relay object waits for each reply line of a next hop, for
    // relay objects made from now on (tests shorten it); values < 1 are
    // ignored.
    void SetRelayReplyTimeout(int seconds);

    // ---- Scanning of queued messages (gateway/message_scan.cpp)
    // What ScanMessage tells the delivery worker.
    enum ScanOutcome : int {
        kScanDeliver = 0,  // scanned (or scanning is off): deliver now
        kScanDefer = 1,    // not scanned: keep it in "fastq" and scan it again later
    };
    // The scanner holder and the quarantine forwarder the scans use
    // (borrowed; either may be null). Set by start-up before Start.
    void SetScanner(CScannerManager* scanner, CQuarantineForwarder* forwarder);
    // Scans a new message the caller holds locked when "ZELORMRazoVidezScan"
    // is on: puts the repaired or cleaned body in place, writes one record
    // per finding and sends the virus notices. A message whose body the
    // scan removed as a whole has its pending recipients failed and its
    // body deleted, so the pass that follows returns it without the
    // original. kScanDefer when the scan could not run or its result could
    // not be put in place: the message must not be delivered unscanned.
    int ScanMessage(CQueuedMessage* message);
    // The action level of "ZELORMRazoVidezResponse1"/"...Response2": 0
    // report only, 1 repair, 3 repair else delete, 4 delete.
    int getScanAction();
    // What applyRepairs did with the scan's final file.
    enum RepairOutcome : int { kRepairInPlace = 0, kRepairFailed = 1, kRepairRemovedWhole = 2 };
    // Puts the scan's final file in place of the body (a new file in the
    // spool directory, synced and renamed over the body), then deletes the
    // final file; refreshes the body size. An empty final name: the body
    // was removed as a whole.
    int applyRepairs(CQueuedMessage* message, IScanResult* result);
    // One activity record per finding of the result.
    void recordInfections(CQueuedMessage* message, IScanResult* result);
    // The notices to the administrators and to the sender, as configured.
    void sendVirusNotices(CQueuedMessage* message, IScanResult* result);
    // Queues one notice of the findings with a virus name (none: nothing);
    // toSender picks the sender over the administrators. A notice that
    // cannot be written whole is dropped with its files (an error record).
    void sendVirusNotice(CQueuedMessage* message, IScanResult* result, bool toSender);

    // The bounce step and the notice step of a pass, for a message the
    // caller holds locked (gateway/bounce_step.h, gateway/delivery_notices.h).
    int Bounce(CQueuedMessage* message);
    int SendNotices(CQueuedMessage* message);
    // The sender address of generated mail: kGatewayUser "@" own host name.
    const char* GetGatewayAddress() const { return m_GatewayAddress.c_str(); }
    // Messages taken from "slowq" and not yet handed back (for tests).
    int GetRetriesInProgress();

    // Slot 2: one receiving session (gateway/smtp_session.h).
    void ProcessJob(CVornTCPSocket* connection, int threadNumber) override;

    // The session's view of the server.
    const char* GetOwnHostName() const { return m_OwnHostName.c_str(); }
    const char* GetSpoolDirectory() const { return m_SpoolDirectory.c_str(); }
    CVornListMembership* GetListMembership() const { return m_ListMembership; }
    CMessageQueue* GetFastQueue() const { return m_FastQueue; }
    CMessageQueue* GetSlowQueue() const { return m_SlowQueue; }
    CVornEvent& GetWakeEvent() { return m_WakeEvent; }
    int GetPort() const { return m_Port; }
    bool IsRunning() const { return m_Running != 0; }
    // True once Stop began (or the framework stops): sessions end.
    bool SessionsMustEnd() { return m_SessionsEnd.load() || IsStopping(); }

    // The session time-outs in seconds (tests shorten them); values < 1 are
    // ignored.
    void SetSessionTimeouts(int commandSeconds, int dataSeconds);
    int GetCommandTimeout() const { return m_CommandTimeout.load(); }
    int GetDataTimeout() const { return m_DataTimeout.load(); }

private:
    // The delivery worker's relay objects in use, for Stop's Interrupt.
    void registerRelay(CRelayDelivery* relay);
    void unregisterRelay(CRelayDelivery* relay);
    // A message whose body the scan removed as a whole: its pending
    // recipients fail (reason 0, catalogue text 869), the envelope is
    // written, then the body is deleted.
    void closeRemovedMessage(CQueuedMessage* message);
    // Stores message for the local recipient r in the user's mailbox box
    // (lent by OpenMailbox; the caller gives it back) and settles r by the
    // mailbox's state, the user's content filter and "OnForbidden", and the
    // outcome of the store. body: the message's body, or null when it could
    // not be opened (reason 6).
    void storeLocally(CQueuedMessage* message, QueuedRecipient* r, const char* user,
                      const char* mailbox, CMailbox& box, CVornMailMessage* body);
    // Waits up to seconds of real time, less when Stop begins.
    void pauseUnlessStopping(int seconds);

    std::string m_OwnHostName;
    CVornListMembership* m_ListMembership;
    CMessageQueue* m_FastQueue;
    CMessageQueue* m_SlowQueue;
    int m_IncomingWorkers = kDefaultWorkers;
    int m_OutgoingWorkers = kDefaultWorkers;
    int m_RetriesInProgress = 0;
    std::string m_SpoolDirectory;
    CVornRWLock m_CountsLock;
    CVornMessageCatalog m_Catalog;
    CVornEvent m_WakeEvent;
    int m_Port = kDefaultPort;
    unsigned char m_Running = 0;

    std::atomic<bool> m_SessionsEnd{false};
    std::atomic<int> m_CommandTimeout{kCommandTimeoutSeconds};
    std::atomic<int> m_DataTimeout{kDataTimeoutSeconds};
    // Sessions in progress, so that Stop can wait for their 421.
    std::mutex m_SessionsLock;
    std::condition_variable m_SessionsDone;
    std::condition_variable m_StopBegan;  // with m_SessionsLock, for pauses
    int m_ActiveSessions = 0;
    bool m_Stopped = false;

    // Joined steps of a delivery pass (made at construction, with the fast
    // queue; null without one).
    std::string m_GatewayAddress;
    std::unique_ptr<CDeliveryNotices> m_Notices;
    std::unique_ptr<CBounceStep> m_BounceStep;
    std::atomic<int> m_RelayReplyTimeout{0};  // 0: the relay's own default
    // Relay objects of running workers (under m_RelaysLock).
    std::mutex m_RelaysLock;
    std::vector<CRelayDelivery*> m_Relays;

    // Scanning (borrowed; set before Start).
    CScannerManager* m_Scanner = nullptr;
    CQuarantineForwarder* m_Forwarder = nullptr;
};
