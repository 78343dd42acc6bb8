// The SMTP server object: settings, start, stop and reconfiguration of the
// gateway's mail listener, and the joining of a delivery pass's steps. The
// receiving session itself is in gateway/smtp_session.cpp, the delivery
// workers in gateway/delivery_worker.cpp.
//
//   SMTP::Start         reads the settings, listens on 0.0.0.0:port and
//                       starts the delivery workers
//   SMTP::Stop          ends sessions (421), interrupts relay passes, wakes
//                       workers, stops threads
//   SMTP::Reconfigure   applies changed settings to a running server
//   SMTP::changePort    moves the listener to a changed "SMTPPort"
//   SMTP::WakeWorkers   sets the wake event once
//   SMTP::ProcessJob    runs one receiving session
//   SMTP::NewRelay      a relay object joined to this server
//   SMTP::Bounce, SMTP::SendNotices   forward to the owned steps
//
// Bad input: worker counts below 1 become 5 at Start; a port outside 1 to
// 65535 becomes 25 at Start, and is refused by changePort (2000013), which
// writes the current port back into the setting.
#include "gateway/smtp_server.h"

#include <chrono>
#include <string>

#include "core/system_info.h"
#include "gateway/bounce_step.h"
#include "gateway/delivery_notices.h"
#include "gateway/relay_delivery.h"
#include "gateway/server_settings.h"
#include "gateway/smtp_session.h"
#include "gateway/spool_queue.h"
#include "net/host_address.h"

SMTP::SMTP(CVornListMembership* lists, CMessageQueue* fastq, CMessageQueue* slowq,
           const char* spoolDirectory)
    : CVornTCPServer("SMTP"), m_ListMembership(lists), m_FastQueue(fastq), m_SlowQueue(slowq) {
    CVornString fqdn;
    SysInfoGetFqdn(fqdn);
    m_OwnHostName = fqdn.CStr();
    m_SpoolDirectory = spoolDirectory != nullptr && spoolDirectory[0] != '\0'
                           ? spoolDirectory
                           : kDefaultSpoolDirectory;
    // Built once here rather than on first use, so that no two threads
    // ever build it at once.
    m_GatewayAddress = std::string(kGatewayUser) + "@" + m_OwnHostName;
    if (m_FastQueue != nullptr) {
        m_Notices = std::make_unique<CDeliveryNotices>(*this, *m_FastQueue,
                                                       m_SpoolDirectory.c_str(),
                                                       m_GatewayAddress.c_str(),
                                                       [this] { WakeWorkers(); });
        m_BounceStep = std::make_unique<CBounceStep>(
            m_SpoolDirectory.c_str(), *m_FastQueue, *this, m_WakeEvent, m_GatewayAddress.c_str(),
            [this](CQueuedMessage* message) { return SendNotices(message); });
    }
}

SMTP::~SMTP() {
    Stop();
}

bool SMTP::Start() {
    int incoming = ReadServerCount("SMTPIncoming", kDefaultWorkers);
    int outgoing = ReadServerCount("SMTPOutgoing", kDefaultWorkers);
    if (incoming < 1)
        incoming = kDefaultWorkers;
    if (outgoing < 1)
        outgoing = kDefaultWorkers;
    m_Port = ReadServerPort("SMTPPort", m_Port, kDefaultPort);

    m_CountsLock.WriteLock();
    m_IncomingWorkers = incoming;
    m_OutgoingWorkers = outgoing;
    m_CountsLock.WriteUnlock();

    CVornHostAddress address(static_cast<uint32_t>(0), static_cast<unsigned short>(m_Port));
    bool started = false;
    try {
        // The `outgoing` helper threads are the delivery workers (RunHelper).
        started = CVornTCPServer::Start(incoming, outgoing, address);
    } catch (...) {
        started = false;  // no socket from the system: reported by the library
    }
    if (started)
        m_Running = 1;
    return started;
}

void SMTP::Stop() {
    {
        std::unique_lock<std::mutex> lock(m_SessionsLock);
        if (m_Stopped)
            return;
        m_Stopped = true;
        m_SessionsEnd.store(true);
        m_StopBegan.notify_all();
    }
    // Relay passes see the flag within a second of reading; a connect or a
    // send to a next hop that does not take data ends only by Interrupt.
    {
        std::lock_guard<std::mutex> guard(m_RelaysLock);
        for (CRelayDelivery* relay : m_Relays) relay->Interrupt();
    }
    m_CountsLock.ReadLock();
    int outgoing = m_OutgoingWorkers;
    m_CountsLock.ReadUnlock();
    for (int i = 0; i < outgoing; ++i) m_WakeEvent.Set();
    {
        // Sessions notice the flag within a second of reading; give them a
        // moment to say 421 before the framework cuts the connections.
        std::unique_lock<std::mutex> lock(m_SessionsLock);
        m_SessionsDone.wait_for(lock, std::chrono::seconds(kSessionDrainSeconds),
                                [this] { return m_ActiveSessions == 0; });
    }
    CVornTCPServer::Stop();
}

int SMTP::Reconfigure() {
    {
        // A stopping service's server stays stopped: a listener opened now
        // would outlive the workers that serve it.
        std::lock_guard<std::mutex> guard(m_SessionsLock);
        if (m_Stopped)
            return kSmtpConfigPortNotBound;
    }
    if (!m_Running)
        return Start() ? kSmtpConfigDone : kSmtpConfigNotStarted;
    int incoming = ReadServerCount("SMTPIncoming", kDefaultWorkers);
    int outgoing = ReadServerCount("SMTPOutgoing", kDefaultWorkers);
    m_CountsLock.WriteLock();
    // The framework refuses counts below 1 and keeps what it has.
    (void)SetConnectionWorkers(incoming);
    (void)SetHelperThreads(outgoing);
    m_IncomingWorkers = incoming;
    m_OutgoingWorkers = outgoing;
    int result = changePort();
    m_CountsLock.WriteUnlock();
    return result;
}

int SMTP::changePort() {
    const ServerPortChange change =
        ChangeServerPort("SMTPPort", kDefaultPort, m_Port, [this](const CVornHostAddress& address) {
            try {
                return Listen(address);
            } catch (...) {
                return false;  // no socket from the system: reported by the library
            }
        });
    switch (change) {
        case ServerPortChange::kDone:
            return kSmtpConfigDone;
        case ServerPortChange::kRefused:
            return kSmtpConfigNotStarted;
        case ServerPortChange::kNotBound:
            break;
    }
    return kSmtpConfigPortNotBound;
}

void SMTP::WakeWorkers() {
    m_CountsLock.WriteLock();
    m_WakeEvent.Set();
    m_CountsLock.WriteUnlock();
}

std::unique_ptr<CRelayDelivery> SMTP::NewRelay() {
    auto relay = std::make_unique<CRelayDelivery>(*this, m_OwnHostName.c_str());
    relay->SetStopFlag(&m_SessionsEnd);
    relay->SetBounce([this](CQueuedMessage& message) { return Bounce(&message); });
    int seconds = m_RelayReplyTimeout.load();
    if (seconds > 0)
        relay->SetReplyTimeout(seconds);
    return relay;
}

void SMTP::SetRelayReplyTimeout(int seconds) {
    if (seconds > 0)
        m_RelayReplyTimeout.store(seconds);
}

void SMTP::registerRelay(CRelayDelivery* relay) {
    std::lock_guard<std::mutex> guard(m_RelaysLock);
    m_Relays.push_back(relay);
    // A worker that starts while Stop runs must not begin a pass that only
    // the next hop's time-outs would end.
    if (m_SessionsEnd.load())
        relay->Interrupt();
}

void SMTP::unregisterRelay(CRelayDelivery* relay) {
    std::lock_guard<std::mutex> guard(m_RelaysLock);
    std::erase(m_Relays, relay);
}

void SMTP::pauseUnlessStopping(int seconds) {
    std::unique_lock<std::mutex> lock(m_SessionsLock);
    m_StopBegan.wait_for(lock, std::chrono::seconds(seconds), [this] { return m_Stopped; });
}

int SMTP::Bounce(CQueuedMessage* message) {
    // Without a fast queue no return can be queued: keep the message.
    return m_BounceStep ? m_BounceStep->Bounce(message) : 1;
}

int SMTP::SendNotices(CQueuedMessage* message) {
    return m_Notices ? m_Notices->SendNotices(message) : 1;
}

void SMTP::SetSessionTimeouts(int commandSeconds, int dataSeconds) {
    if (commandSeconds > 0)
        m_CommandTimeout.store(commandSeconds);
    if (dataSeconds > 0)
        m_DataTimeout.store(dataSeconds);
}

void SMTP::ProcessJob(CVornTCPSocket* connection, int /*threadNumber*/) {
    {
        std::lock_guard<std::mutex> lock(m_SessionsLock);
        if (m_Stopped)
            return;
        ++m_ActiveSessions;
    }
    struct Leave {
        SMTP* server;
        ~Leave() {
            std::lock_guard<std::mutex> lock(server->m_SessionsLock);
            if (--server->m_ActiveSessions == 0)
                server->m_SessionsDone.notify_all();
        }
    } leave{this};
    CSmtpSession session(*this, *connection);
    session.Run();
}
