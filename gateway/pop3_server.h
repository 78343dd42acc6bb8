// POP3: the control of the gateway's POP3 listener. A CVornTCPServer named
// "POP3" whose connection workers and port come from the system object's
// settings "POPIncoming" and "POPPort", with its start, its stop and the
// reconfiguration the web administration runs after settings changed.
//
// The gateway holds no POP3 protocol: no session, commands or replies. A
// connection the server accepts is closed at once (ProcessJob does
// nothing), so the port serves nothing. The service never makes a POP3
// object; start-up, shutdown and the web administration use one only when
// it exists.
//
// Settings: "POPIncoming" (5 when missing or below 1); "POPPort" (110 when
// missing; outside 1-65535 it gives 110 at Start and is refused by a
// reconfiguration, which writes the port in use back into the setting).
//
// Threads: Start, Stop, Reconfigure, changePort and rebind from threads
// that are not the server's own (the service's control thread, a web
// connection thread); the accessors from any thread. The server's own lock
// (m_Lock) guards the port and the running flag and is held across a whole
// reconfiguration, so two never overlap; it is never held while the
// framework's Stop waits for the threads. Not copyable.
#pragma once

#include "core/vorn_lock.h"
#include "net/host_address.h"
#include "net/tcp_server.h"

// Result numbers of Reconfigure and changePort (texts of the web
// administration's product catalogue).
enum : int {
    kPop3ConfigDone = 2000033,
    kPop3ConfigBadPort = 2000011,       // "POPPort" outside 1-65535
    kPop3ConfigPortNotBound = 2000010,  // the server could not listen on the port
};

class POP3 : public CVornTCPServer {
public:
    static constexpr int kDefaultWorkers = 5;
    static constexpr int kDefaultPort = 110;

    POP3();
    // Stops the server.
    ~POP3() override;

    // Reads the settings and listens on 0.0.0.0 with the port, with
    // "POPIncoming" connection workers and no helpers. 0 when the server
    // listens (also when it was running already: nothing is read again), 1
    // otherwise (the framework reports why; a stopped server never starts
    // again).
    int Start();
    // Stops the framework and waits for its threads (CVornTCPServer::Stop).
    // Safe to call more than once.
    bool Stop();
    // After the settings changed: sets the wanted workers and moves the
    // listener (changePort). A server that is not running is started with
    // the new settings instead. kPop3ConfigDone, kPop3ConfigBadPort or
    // kPop3ConfigPortNotBound.
    int Reconfigure();
    // Moves the listener to "POPPort" (110 when missing). A refused or
    // failed move leaves the server on its port and writes that port back
    // into the setting (not saved to the files).
    int changePort();
    // Under the server's lock, listens on address in place of the present
    // listener. True when the server now listens there; false (the old
    // listener stays) when it cannot, or when the server is not running.
    bool rebind(const CVornHostAddress& address);

    int GetPort();
    bool IsRunning();

    // Serves nothing: the framework closes the connection on return.
    void ProcessJob(CVornTCPSocket* connection, int threadNumber) override;

private:
    // REQUIRES: m_Lock. Start's work.
    int startLocked();
    // "POPIncoming": 5 when missing or below 1.
    static int readWorkers();

    CVornLock m_Lock;
    int m_Port = kDefaultPort;
    bool m_Running = false;
};
