// Relay delivery: the SMTP client side of the gateway.
//
//   CRelayDelivery::DeliverRemote     one relay pass per destination until no
//                                     eligible remote recipient is left
//   CRelayDelivery::findRoute         relay route, smart host or mail exchangers
//   CRelayDelivery::connectRoute      first host and address that connects
//   CRelayDelivery::startTransaction  greeting, HELO, MAIL, first RCPT
//   CRelayDelivery::sendRecipient     a further RCPT
//   CRelayDelivery::sendData          DATA, body, ".", QUIT; settles the batch
//   CRelayDelivery::readReply         one bounded reply
//   CRelayDelivery::failRecipient     marks a recipient failed
//
// Bad input: an unparsable recipient address fails with reason 3; a reply
// that is missing, late, over its bounds or not classed "2"/"3"/"5" is a
// temporary failure; a body that cannot be read defers the batch. Nothing
// here throws: library exceptions while connecting count as a failed host.
#include "gateway/relay_delivery.h"

#include <string.h>
#include <strings.h>

#include <algorithm>
#include <chrono>
#include <new>
#include <string>
#include <vector>

#include "config/config_store.h"
#include "core/clock.h"
#include "core/vorn_exception.h"
#include "gateway/pipeline_records.h"
#include "gateway/relay_routes.h"
#include "net/dns_lookup.h"
#include "net/mail_address.h"
#include "net/mail_message.h"

namespace {

constexpr const char* kDefaultPort = "25";

// A reply line is read in calls of at most this long, so that a stop is seen
// within about a second even while a peer trickles.
constexpr int kReplySliceMs = 1000;

// The body goes out in sends of about this many bytes.
constexpr size_t kBodyPiece = 64 * 1024;

// Texts of the peer go into records and status texts without their line end.
std::string Trimmed(const CVornString& reply) {
    CVornString copy(reply, CVornString::kUnlocked);
    std::string text(copy.CStr(), static_cast<size_t>(copy.Length()));
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n')) text.pop_back();
    return text;
}

std::string ToStd(const CVornString& s) {
    CVornString copy(s, CVornString::kUnlocked);
    return std::string(copy.CStr(), static_cast<size_t>(copy.Length()));
}

// A name sent in HELO holds no blank or control byte, so it cannot end the
// command or start another.
std::string CleanHost(const char* host) {
    std::string out;
    for (const char* p = host ? host : ""; *p; ++p)
        if (static_cast<unsigned char>(*p) > ' ' && *p != 0x7f)
            out += *p;
    return out.empty() ? "localhost" : out;
}

}  // namespace

CRelayDelivery::CRelayDelivery(CPipelineRecords& records, const char* ownHost)
    : m_Records(records), m_OwnHost(CleanHost(ownHost).c_str()) {}

CRelayDelivery::~CRelayDelivery() = default;

void CRelayDelivery::SetReplyTimeout(int seconds) {
    if (seconds >= 1)
        m_ReplyTimeout = seconds;
}

void CRelayDelivery::Interrupt() {
    m_Interrupted = true;
    std::lock_guard<std::mutex> guard(m_CurrentLock);
    if (m_Current)
        m_Current->ShutdownNow();
}

bool CRelayDelivery::Stopping() const {
    return m_Interrupted.load() || (m_StopFlag && m_StopFlag->load());
}

void CRelayDelivery::setCurrent(CVornTCPSocket* connection) {
    std::lock_guard<std::mutex> guard(m_CurrentLock);
    m_Current = connection;
    // An Interrupt that came just before this connection existed still ends it.
    if (m_Current && m_Interrupted.load())
        m_Current->ShutdownNow();
}

void CRelayDelivery::failRecipient(QueuedRecipient* recipient, int reason, const char* text) {
    if (!recipient)
        return;
    recipient->m_Status = kRecipientFailed;
    recipient->m_Notify = 1;
    recipient->m_Reason = reason;
    if (text && *text)
        CQueuedMessage::SetStatusText(*recipient, text);
}

void CRelayDelivery::deferRecipient(CQueuedMessage& message, QueuedRecipient* recipient,
                                    const char* text, time_t when) {
    m_Records.recordDeferred(&message, recipient->m_Address.c_str(), text);
    recipient->m_Attempts++;
    recipient->m_LastAttempt = when;
}

// ---- Route lookup

int CRelayDelivery::findRoute(CVornList<CVornHostAddress>& hosts, CVornString& destination) {
    std::string port = kDefaultPort;
    std::string target = ToStd(destination);
    bool lookupMx = true;

    CRelayRoutingTable table;
    CRelayRoute route;
    if (table.Lookup(target.c_str(), route)) {
        CVornString host, routePort;
        route.GetHost(host);
        route.GetPort(routePort);
        if (!host.IsEmpty()) {
            target = ToStd(host);
            if (!routePort.IsEmpty())
                port = ToStd(routePort);
        }
    } else {
        CVornString relayHost;
        if (CVornConfigStore::GetSetting(nullptr, nullptr, "RelayHost", relayHost) == 0 &&
            !relayHost.IsEmpty()) {
            target = ToStd(relayHost);
            CVornString relayPort;
            if (CVornConfigStore::GetSetting(nullptr, nullptr, "RelayHostPort", relayPort) == 0 &&
                !relayPort.IsEmpty())
                port = ToStd(relayPort);
            lookupMx = false;
        }
    }
    if (!target.empty() && target[0] == '[') {
        std::string bare;
        for (char c : target)
            if (c != '[' && c != ']')
                bare += c;
        target = bare;
    }
    destination.Assign(target.c_str());
    hosts.RemoveAll();

    CVornString portText(port.c_str(), CVornString::kUnlocked);
    int address = 0;
    if (ParseDottedQuad(destination, &address)) {
        CVornHostAddress host(static_cast<uint32_t>(address), 0);
        host.SetPort(portText);
        hosts.AddTail(host);
        return kRouteFound;
    }
    if (!lookupMx) {
        CVornHostAddress host(target.c_str(), 0);
        host.SetPort(portText);
        hosts.AddTail(host);
        return kRouteFound;
    }

    // DnsLookupMX empties the list only when MX records exist; a marker left
    // in it tells "no MX records" (use the address records) from "MX records
    // but none of the exchangers resolves" (wait: the exchangers may resolve
    // later, and the domain's own address is not meant to take its mail).
    CVornList<CVornHostAddress> found;
    found.AddTail(CVornHostAddress("", 0));
    int result = DnsLookupMX(destination, true, found);
    if (result == kDnsFound) {
        CVornLockGuard guard(found.m_Lock);
        for (auto* node = found.m_Head; node; node = node->m_Next) {
            node->m_Element.SetPort(portText);
            hosts.AddTail(node->m_Element);
        }
        return kRouteFound;
    }
    if (result == kDnsFailed)
        return kRouteTemporary;
    bool mxRecordsExist;
    {
        CVornLockGuard guard(found.m_Lock);
        mxRecordsExist = found.m_Count == 0;
    }
    if (result == kDnsNotFound && mxRecordsExist)
        return kRouteTemporary;
    CVornHostAddress host;
    int aResult = DnsLookupA(destination, true, host);
    if (aResult != kDnsFound)
        return aResult;
    host.SetPort(portText);
    hosts.AddTail(host);
    return kRouteFound;
}

// ---- Connecting

std::unique_ptr<CVornTCPSocket> CRelayDelivery::connectRoute(CVornList<CVornHostAddress>& hosts) {
    // Each address on its own, so that a stop is seen between two of them.
    std::vector<CVornHostAddress> targets;
    {
        CVornLockGuard guard(hosts.m_Lock);
        for (auto* node = hosts.m_Head; node; node = node->m_Next) {
            CVornHostAddress& entry = node->m_Element;
            CVornHostAddressList addresses;
            if (entry.GetAddressCount() == 0 || !entry.GetAddresses(addresses)) {
                targets.push_back(entry);  // a name, resolved by Connect
                continue;
            }
            unsigned short port = entry.GetPort();
            CVornLockGuard addressGuard(addresses.m_Lock);
            for (auto* a = addresses.m_Head; a; a = a->m_Next)
                targets.emplace_back(a->m_Element.GetAddress(), port);
        }
    }
    for (CVornHostAddress& target : targets) {
        if (Stopping())
            return nullptr;
        std::unique_ptr<CVornTCPSocket> socket;
        try {
            socket = std::make_unique<CVornTCPSocket>(target);
            setCurrent(socket.get());
            bool connected = socket->Connect();
            setCurrent(nullptr);
            if (connected && !Stopping())
                return socket;
        } catch (const CVornException&) {
            setCurrent(nullptr);
        } catch (const std::bad_alloc&) {
            setCurrent(nullptr);
        }
    }
    return nullptr;
}

// ---- Replies and commands

int CRelayDelivery::readReply(CVornTCPSocket& connection, CVornString& reply) {
    reply.Clear();
    std::string gathered;
    for (int lines = 0; lines < kMaxReplyLines; ++lines) {
        std::string line;
        // A deadline, not a count of empty waits: a peer that trickles a
        // byte a second must not hold the worker past the time-out.
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(m_ReplyTimeout);
        for (;;) {
            if (Stopping())
                return -1;
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            deadline - std::chrono::steady_clock::now())
                            .count();
            if (left <= 0)
                return 0;
            // Whole lines from the socket's buffer, each call limited to a
            // second (and to the deadline) even while bytes keep coming, so
            // that a stop is seen while a slow peer keeps us waiting. Cut at
            // LF and judged here: a CR LF split between two calls still
            // ends the line, a bare LF does not.
            CVornString piece(CVornString::kUnlocked);
            int limitMs = left < kReplySliceMs ? static_cast<int>(left) : kReplySliceMs;
            if (connection.ReadUntil(piece, "\n", 1, limitMs) < 0)
                return -1;
            line.append(piece.CStr(), static_cast<size_t>(piece.Length()));
            if (gathered.size() + line.size() > static_cast<size_t>(kMaxReplyLength))
                return -1;
            if (line.size() >= 2 && line.compare(line.size() - 2, 2, "\r\n") == 0)
                break;
            if (connection.IsEOF())
                return 0;
        }
        gathered += line;
        if (!(line.size() >= 4 && line[3] == '-')) {
            reply.Assign(gathered.data(), static_cast<int>(gathered.size()));
            return static_cast<int>(gathered.size());
        }
        while (!gathered.empty() && (gathered.back() == '\r' || gathered.back() == '\n'))
            gathered.pop_back();
        gathered += ' ';
    }
    return -1;
}

bool CRelayDelivery::sendCommand(CVornTCPSocket& connection, const char* command) {
    int length = static_cast<int>(strlen(command));
    return !Stopping() && connection.Write(command, length) == length;
}

char CRelayDelivery::exchange(CVornTCPSocket& connection, const char* command) {
    m_LastReply.Clear();
    if (command && !sendCommand(connection, command))
        return 0;
    CVornString reply(CVornString::kUnlocked);
    if (readReply(connection, reply) <= 0)
        return 0;
    m_LastReply.Assign(Trimmed(reply).c_str());
    return reply.CharAt(0);
}

// ---- The transaction

int CRelayDelivery::startTransaction(CVornTCPSocket& connection, QueuedRecipient* recipient,
                                     const char* address, CQueuedMessage& message, int reason) {
    m_SessionRefused = false;
    const char* sender = message.GetSender() ? message.GetSender() : "";
    std::string hello = "HELO " + ToStd(m_OwnHost) + "\r\n";
    std::string mail = std::string("MAIL From:<") + sender + ">\r\n";
    std::string rcpt = std::string("RCPT To:<") + address + ">\r\n";
    const char* steps[] = {nullptr, hello.c_str(), mail.c_str(), rcpt.c_str()};
    int failedStep = -1;
    char cls = 0;
    for (int step = 0; step < 4; ++step) {
        cls = exchange(connection, steps[step]);
        if (cls != '2' && cls != '3') {
            failedStep = step;
            break;
        }
    }
    if (failedStep < 0)
        return 0;
    std::string reply = ToStd(m_LastReply);
    if (cls == '5') {
        if (failedStep < 3)
            failRecipient(recipient, reason, reply.c_str());
        else
            failRecipient(recipient, kReasonRemoteRecipientRefused, reply.c_str());
    }
    deferRecipient(message, recipient, reply.c_str(), Now());
    if (failedStep < 3) {
        m_SessionRefused = cls == '5';
        return -1;
    }
    return 1;
}

int CRelayDelivery::sendRecipient(CVornTCPSocket& connection, QueuedRecipient* recipient,
                                  const char* address, CQueuedMessage& message) {
    std::string rcpt = std::string("RCPT To:<") + address + ">\r\n";
    char cls = exchange(connection, rcpt.c_str());
    if (cls == '2' || cls == '3')
        return 0;
    std::string reply = ToStd(m_LastReply);
    if (cls == '5')
        failRecipient(recipient, kReasonRemoteRecipientRefused, reply.c_str());
    deferRecipient(message, recipient, reply.c_str(), Now());
    return cls == '5' || cls == 0 ? 2 : 1;
}

bool CRelayDelivery::sendBody(CVornTCPSocket& connection, CQueuedMessage& message) {
    // Unbounded: the spooled body is the whole file; a body line that looks
    // like a mailbox separator must not end it early.
    std::unique_ptr<CVornMailMessage> body(
        message.OpenBodyForRead(CVornMailMessage::kUnbounded, CVornMailMessage::kModeRead));
    if (!body)
        return false;
    // Lines come in pieces of at most kMaxReadLine bytes; only a piece that
    // starts a line may need a dot, and only the end of a line its CR.
    bool atLineStart = true;
    bool pendingCr = false;  // the last piece ended in CR (its LF may follow)
    // Lines are gathered and sent in pieces of kBodyPiece bytes (the rest
    // at the end): a send per line would cost a system call per line.
    std::string out;
    auto flush = [&](bool all) {
        size_t sent = 0;
        while (out.size() - sent >= kBodyPiece || (all && sent < out.size())) {
            int length = static_cast<int>(std::min(kBodyPiece, out.size() - sent));
            if (connection.Write(out.data() + sent, length) != length)
                return false;
            sent += static_cast<size_t>(length);
        }
        out.erase(0, sent);
        return true;
    };
    for (;;) {
        CVornString piece(CVornString::kUnlocked);
        int got = body->ReadLine(piece);
        if (got < 0)
            return false;
        if (got == 0)
            break;
        std::string text(piece.CStr(), static_cast<size_t>(got));
        if (atLineStart && text[0] == '.')
            out += '.';
        if (text.back() == '\n') {
            text.pop_back();
            bool hasCr = !text.empty() ? text.back() == '\r' : pendingCr;
            out += text;
            if (!hasCr)
                out += '\r';
            out += '\n';
            atLineStart = true;
            pendingCr = false;
        } else {
            out += text;
            atLineStart = false;
            pendingCr = text.back() == '\r';
        }
        if (out.size() >= kBodyPiece && !flush(false))
            return false;
    }
    if (!atLineStart)
        out += pendingCr ? "\n" : "\r\n";
    if (!flush(true))
        return false;
    body->Close();
    return true;
}

void CRelayDelivery::sendData(CVornTCPSocket& connection, bool recipientAccepted,
                              QueuedRecipient** batch, int capacity, CQueuedMessage& message,
                              const char* destination) {
    enum { kDelivered, kRefused, kError } outcome = kError;
    std::string reply;
    if (recipientAccepted) {
        char cls = exchange(connection, "DATA\r\n");
        reply = ToStd(m_LastReply);
        if (cls == '5') {
            outcome = kRefused;
        } else if (cls == '2' || cls == '3') {
            if (sendBody(connection, message)) {
                cls = exchange(connection, ".\r\n");
                reply = ToStd(m_LastReply);
                outcome = cls == '2' ? kDelivered : cls == '5' ? kRefused : kError;
            }
        }
        if (outcome != kError)
            exchange(connection, "QUIT\r\n");
    }
    if (!recipientAccepted)
        exchange(connection, "QUIT\r\n");
    time_t now = Now();
    for (int i = 0; i < capacity && batch[i]; ++i) {
        QueuedRecipient* recipient = batch[i];
        if (outcome == kDelivered) {
            m_Records.recordRelayDelivery(&message, recipient->m_Address.c_str(), reply.c_str(),
                                          destination);
            recipient->m_Status = kRecipientDone;
            recipient->m_Notify = 0;
        } else if (outcome == kRefused) {
            if (recipient->m_StatusText.empty())
                failRecipient(recipient, kReasonNone, reply.c_str());
            else
                failRecipient(recipient, recipient->m_Reason);
        } else {
            deferRecipient(message, recipient, reply.c_str(), now);
        }
    }
}

// ---- The relay pass

int CRelayDelivery::DeliverRemote(CQueuedMessage& message) {
    bool again = true;
    while (again) {
        again = false;
        bool changed = false;
        std::string current;
        bool haveCurrent = false;  // an empty destination is a destination too
        QueuedRecipient* batch[kBatchCapacity + 1] = {};
        int batchCount = 0;
        bool accepted = false;
        std::unique_ptr<CVornTCPSocket> connection;
        bool open = false;
        bool temporary = false;
        bool permanent = false;
        bool connectFailed = false;
        std::string failText;  // the reply that ended the session, for the rest
        std::string usedDestination;
        time_t passTime = Now();

        for (QueuedRecipient* r = message.GetRecipients(); r; r = r->m_Next) {
            if (r->m_Status != kRecipientPending || batchCount >= kBatchCapacity ||
                passTime - r->m_LastAttempt < kRetryInterval)
                continue;
            changed = true;
            CVornMailAddress address;
            int parsed = address.Set(r->m_Address.c_str());
            if (parsed < 0) {
                if (connection)
                    connection->Close();
                return 1;
            }
            if (parsed > 0) {
                failRecipient(r, kReasonBadAddress);
                continue;
            }
            const char* routeForm = address.Get(CVornMailAddress::kFormRoute);
            const char* fromForm = address.Get(CVornMailAddress::kFormCanonical);
            if (!routeForm || !fromForm || !strchr(routeForm, '!'))
                continue;
            std::string destination(routeForm, strchr(routeForm, '!') - routeForm);
            again = true;

            if (!haveCurrent) {
                haveCurrent = true;
                // What earlier destinations settled is on disk before this
                // one's look-up and connection, which can take minutes: a
                // crash meanwhile must not deliver to them again.
                (void)message.FlushEnvelope();
                current = destination;
                temporary = permanent = connectFailed = false;
                batchCount = 0;
                CVornList<CVornHostAddress> hosts;
                CVornString target(destination.c_str());
                int found = Stopping() ? kRouteTemporary : findRoute(hosts, target);
                bool empty;
                {
                    CVornLockGuard guard(hosts.m_Lock);
                    empty = hosts.m_Count == 0;
                }
                if (found == kRouteTemporary || (found == kRouteFound && empty))
                    temporary = true;
                else if (found != kRouteFound)
                    permanent = true;
                if (permanent)
                    failRecipient(r, kReasonNoRoute);
                if (temporary || permanent) {
                    deferRecipient(message, r, nullptr, passTime);
                    continue;
                }
                std::string used = ToStd(target);
                connection = connectRoute(hosts);
                if (!connection) {
                    temporary = true;
                    connectFailed = true;
                    m_Records.recordRelayConnectFailed(used.c_str());
                    const char* text = m_Catalog.GetText(kMsgConnectFailed);
                    deferRecipient(message, r, text, passTime);
                    continue;
                }
                setCurrent(connection.get());
                open = true;
                m_Records.recordRelayConnect(used.c_str());
                current = destination;
                int started = startTransaction(*connection, r, fromForm, message, kReasonNone);
                if (started == 0) {
                    batch[batchCount++] = r;
                    accepted = true;
                } else if (started < 0) {
                    // The whole session failed: the rest of this destination's
                    // recipients share its fate in this pass.
                    failText = ToStd(m_LastReply);
                    if (m_SessionRefused)
                        permanent = true;
                    else
                        temporary = true;
                    m_Records.recordRelayDisconnect(used.c_str());
                    setCurrent(nullptr);
                    connection->Close();
                    connection.reset();
                    open = false;
                }
                usedDestination = used;
                continue;
            }
            if (strcasecmp(current.c_str(), destination.c_str()) != 0)
                continue;
            if (permanent) {
                if (failText.empty())
                    failRecipient(r, kReasonNoRoute);
                else
                    failRecipient(r, kReasonNone, failText.c_str());
                if (!failText.empty())
                    deferRecipient(message, r, failText.c_str(), passTime);
            } else if (!connection || temporary) {
                const char* text = connectFailed ? m_Catalog.GetText(kMsgConnectFailed)
                                                 : (failText.empty() ? nullptr : failText.c_str());
                deferRecipient(message, r, text, passTime);
            } else if (sendRecipient(*connection, r, fromForm, message) == 0) {
                batch[batchCount++] = r;
                accepted = true;
            }
        }
        if (open && connection) {
            sendData(*connection, accepted, batch, kBatchCapacity, message,
                     usedDestination.c_str());
            m_Records.recordRelayDisconnect(usedDestination.c_str());
            setCurrent(nullptr);
            connection->Close();
            connection.reset();
        }
        if (changed)
            message.WriteEnvelope();
    }
    if (m_Bounce)
        return m_Bounce(message);
    int left = 0;
    for (QueuedRecipient* r = message.GetRecipients(); r; r = r->m_Next)
        if (r->m_Status == kRecipientPending || r->m_Status == kRecipientFailed)
            ++left;
    return left;
}
