// The POP3 server's control: start, stop and reconfiguration of a listener
// that serves nothing (see gateway/pop3_server.h).
//
//   POP3::Start         reads the settings and listens on 0.0.0.0:port
//   POP3::Stop          stops the framework's threads
//   POP3::Reconfigure   applies changed settings (starts a server not running)
//   POP3::changePort    moves the listener to a changed "POPPort"
//   POP3::rebind        the move itself, under the server's lock
//   POP3::ProcessJob    closes an accepted connection at once
//
// Bad input: worker counts below 1 become 5; a port outside 1 to 65535
// becomes 110 at Start and is refused by a reconfiguration (2000011), which
// writes the port in use back into the setting.
#include "gateway/pop3_server.h"

#include <stdint.h>

#include "gateway/server_settings.h"

POP3::POP3() : CVornTCPServer("POP3") {}

POP3::~POP3() {
    Stop();
}

int POP3::readWorkers() {
    const int workers = ReadServerCount("POPIncoming", kDefaultWorkers);
    return workers < 1 ? kDefaultWorkers : workers;
}

int POP3::Start() {
    CVornLockGuard guard(m_Lock);
    return startLocked();
}

int POP3::startLocked() {
    // A second start would read a changed port while the listener stays
    // on the old one.
    if (m_Running)
        return 0;
    const int workers = readWorkers();
    m_Port = ReadServerPort("POPPort", m_Port, kDefaultPort);
    bool started = false;
    try {
        started = CVornTCPServer::Start(
            workers, 0,
            CVornHostAddress(static_cast<uint32_t>(0), static_cast<unsigned short>(m_Port)));
    } catch (...) {
        started = false;  // no socket from the system: reported by the library
    }
    m_Running = started;
    return started ? 0 : 1;
}

bool POP3::Stop() {
    {
        // From here on no reconfiguration touches the framework, so no
        // listener is opened for a stopped server.
        CVornLockGuard guard(m_Lock);
        m_Running = false;
    }
    return CVornTCPServer::Stop();
}

int POP3::Reconfigure() {
    CVornLockGuard guard(m_Lock);
    if (!m_Running) {
        // Never started, or its port was taken at start: a listener moved
        // now would have no thread to accept on it, so the new settings
        // start the server instead (a stopped server stays stopped).
        if (!CheckServerPort("POPPort", m_Port))
            return kPop3ConfigBadPort;
        return startLocked() == 0 ? kPop3ConfigDone : kPop3ConfigPortNotBound;
    }
    (void)SetConnectionWorkers(readWorkers());
    return changePort();
}

int POP3::changePort() {
    CVornLockGuard guard(m_Lock);
    const ServerPortChange change =
        ChangeServerPort("POPPort", kDefaultPort, m_Port,
                         [this](const CVornHostAddress& address) { return rebind(address); });
    switch (change) {
        case ServerPortChange::kDone:
            return kPop3ConfigDone;
        case ServerPortChange::kRefused:
            return kPop3ConfigBadPort;
        case ServerPortChange::kNotBound:
            break;
    }
    return kPop3ConfigPortNotBound;
}

bool POP3::rebind(const CVornHostAddress& address) {
    CVornLockGuard guard(m_Lock);
    if (!m_Running)
        return false;
    try {
        return Listen(address);
    } catch (...) {
        return false;  // no socket from the system: reported by the library
    }
}

int POP3::GetPort() {
    CVornLockGuard guard(m_Lock);
    return m_Port;
}

bool POP3::IsRunning() {
    CVornLockGuard guard(m_Lock);
    return m_Running;
}

void POP3::ProcessJob(CVornTCPSocket* /*connection*/, int /*threadNumber*/) {
    // No POP3 protocol: the framework's default body would echo the
    // client's lines back.
}
