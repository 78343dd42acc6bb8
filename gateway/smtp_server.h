// SMTP: the gateway's mail listener. A CVornTCPServer named "SMTP" whose
// connection workers each run one receiving session (ProcessJob, see
// gateway/smtp_session.h) and whose helper threads are the outgoing delivery
// workers (RunHelper). It carries the spool queues, the spool directory and
// the wake event that tells the delivery workers new mail is queued, and
// writes the pipeline's activity records (CPipelineRecords).
//
// Settings of the system object: "SMTPIncoming" and "SMTPOutgoing" (worker
// counts, 5 when missing; Start makes values below 1 into 5) and "SMTPPort"
// (Start makes 0, negative or above 65535 into 25).
//
// Stopping: Stop first raises the server's own stop flag, which every
// session read watches (it reads in slices of one second), so a client in a
// session gets a 421 reply and the session ends; Stop waits for that at most
// kSessionDrainSeconds, then stops the framework, which cuts whatever is
// left. An idle or slow client never holds shutdown up for long.
//
// Threads: Start, Stop, Reconfigure and changePort from the service's
// control threads (not from a thread of this server); WakeWorkers and the
// accessors from any thread. Not copyable.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>

#include "core/message_catalog.h"
#include "core/rw_lock.h"
#include "core/vorn_event.h"
#include "core/vorn_string.h"
#include "gateway/pipeline_records.h"
#include "net/tcp_server.h"

class CMessageQueue;
class CVornListMembership;

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

    // Reads the own host name. fastq and slowq are borrowed and must outlive
    // the server; spoolDirectory null or empty: kDefaultSpoolDirectory.
    SMTP(CVornListMembership* lists, CMessageQueue* fastq, CMessageQueue* slowq,
         const char* spoolDirectory);
    // Stops the server (sessions end first).
    ~SMTP() override;

    // Reads the settings and listens on 0.0.0.0 with the port. True when
    // listening.
    bool Start();
    // Ends the sessions (421 to their clients), wakes the delivery workers
    // once each, then stops the framework and waits for its threads. Safe to
    // call more than once.
    void Stop();
    // After the settings changed: kSmtpConfigDone, kSmtpConfigNotStarted or
    // kSmtpConfigPortNotBound (see the algorithms in smtp_server.cpp).
    int Reconfigure();
    int changePort();

    // Sets the wake event once.
    void WakeWorkers();

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
    // "SMTPIncoming" / "SMTPOutgoing" as an int, def when missing.
    static int readCount(const char* name, int def);
    // Writes the current port back into "SMTPPort" (not saved to the files).
    void restorePortSetting();

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
    int m_ActiveSessions = 0;
    bool m_Stopped = false;
};
