// The receiving SMTP session (see gateway/smtp_session.h for the bounds).
//
//   CSmtpSession::Run            greeting, command loop, end of the session
//   CSmtpSession::splitVerb      the verb of a command line, upper-cased
//   CSmtpSession::CleanHeloName  the HELO argument made safe for a header
//
// Bad input: unknown verbs get the catalogue's 500 reply (631); syntax
// errors 501; out-of-sequence commands 503; an unusable recipient 553; a
// line over the command bound 500; local errors 451. None ends the session:
// only QUIT, a read that brings nothing, a failed reply or the server's stop
// does.
#include "gateway/smtp_session.h"

#include <stdio.h>
#include <string.h>

#include <new>
#include <vector>

#include "config/config_store.h"
#include "core/event_log.h"
#include "core/message_catalog.h"
#include "core/vorn_date.h"
#include "gateway/queued_message.h"
#include "gateway/service_control.h"
#include "gateway/smtp_server.h"
#include "gateway/spool_queue.h"
#include "net/host_address.h"
#include "net/mail_address.h"
#include "net/tcp_socket.h"
#include "platform/clock.h"

namespace {

constexpr const char* kProduct = "ZELORM";
constexpr const char* kWebSite = "www.zelorm.example";
constexpr int kEventError = 1;
constexpr int kEventWarning = 2;

constexpr const char* kLocalError = "451 Request action aborted: local error in processing\r\n";

// Activity-record and event numbers of the session.
enum : int {
    kMsgReadFailed = 41,     // warning: the error and the function
    kMsgNoNewMessage = 157,  // error: a message could not be created
    kMsgLongLine = 251,      // stands for an over-long line in records
    kMsgUnknownCommand = 345,
    kMsgSenderLocked = 340,
    kMsgOutOfSequence = 363,
    kMsgSyntax = 364,
    kMsgNoRecipient = 365,
    kMsgBodyFailed = 367,
    kMsgTraceFailed = 368,
    kMsgTooManyHops = 369,
    kMsgStoreFailed = 370,
    kMsgQueueFailed = 371,
    kMsgDataTimedOut = 372,
    kMsgMailBeforeHelo = 373,
    kMsgNestedMail = 374,
    kMsgCreateFailed = 376,
    kMsgLineTooLong = 586,
    kMsgUnknownReply = 631,
    kMsgQuitReply = 632,
};

// printf into a string: measured first, so nothing is cut.
template <typename... Args>
std::string Printf(const char* format, Args... args) {
    int n = snprintf(nullptr, 0, format, args...);
    if (n <= 0)
        return std::string();
    std::vector<char> buffer(static_cast<size_t>(n) + 1);
    snprintf(buffer.data(), buffer.size(), format, args...);
    return std::string(buffer.data(), static_cast<size_t>(n));
}

bool StartsNoCase(const std::string& text, size_t at, const char* prefix) {
    size_t n = strlen(prefix);
    return text.size() - at >= n && strncasecmp(text.c_str() + at, prefix, n) == 0;
}

// Position of the first byte at or after at that is not a blank or tab.
size_t SkipBlanks(const std::string& text, size_t at) {
    while (at < text.size() && (text[at] == ' ' || text[at] == '\t')) ++at;
    return at;
}

// Whether a piece of input completes a line: it ends in LF and the byte
// before that LF (in this piece, or the last of the previous one) is CR.
bool EndsLine(const std::string& piece, bool previousEndedInCr) {
    if (piece.empty() || piece.back() != '\n')
        return false;
    return piece.size() >= 2 ? piece[piece.size() - 2] == '\r' : previousEndedInCr;
}

}  // namespace

CSmtpSession::CSmtpSession(SMTP& server, CVornTCPSocket& connection)
    : m_Server(server), m_Socket(connection) {}

CSmtpSession::~CSmtpSession() {
    dropTransaction();
}

size_t CSmtpSession::splitVerb(const std::string& line, std::string& verb) {
    size_t at = std::string::npos;
    for (char separator : {' ', '\t', '\r', '\n'}) {
        at = line.find(separator);
        if (at != std::string::npos)
            break;
    }
    verb = line.substr(0, at);
    for (char& c : verb) {
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    }
    return at;
}

std::string CSmtpSession::CleanHeloName(const std::string& text) {
    std::string clean;
    for (char c : text) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F)
            continue;
        if (clean.size() >= kMaxHeloName)
            break;
        clean.push_back(c);
    }
    return clean;
}

std::string CSmtpSession::OrDefault(const char* text, const char* fallback) {
    return text != nullptr && text[0] != '\0' ? std::string(text) : std::string(fallback);
}

void CSmtpSession::dropTransaction() {
    if (m_Message) {
        m_Message->Delete();
        m_Message.reset();
    }
}

CSmtpSession::Read CSmtpSession::readPiece(std::string& piece, time_t deadline) {
    for (;;) {
        if (m_Server.SessionsMustEnd())
            return Read::kStopping;
        // The time-out holds also against a client that trickles: bytes
        // that keep coming do not extend it.
        if (platform::CurrentTime() >= deadline)
            return Read::kNothing;
        // One-second slices, also while bytes keep coming, so that the stop
        // flag and the time-out are seen promptly.
        int n = m_Socket.ReadUntil(m_Piece, "\n", 1, 1000);
        int length = m_Piece.Length();
        if (length > 0 && (n >= 0 || m_Socket.GetError() == kTcpLineTooLong)) {
            piece.assign(m_Piece.CStr(), static_cast<size_t>(length));
            return Read::kLine;
        }
        if (n < 0 || m_Socket.IsEOF())
            return Read::kNothing;
        if (platform::CurrentTime() >= deadline)
            return Read::kNothing;
    }
}

CSmtpSession::Read CSmtpSession::readCommand(std::string& line, bool& tooLong) {
    line.clear();
    tooLong = false;
    bool endedInCr = false;
    time_t deadline = platform::CurrentTime() + m_Server.GetCommandTimeout();
    std::string piece;
    for (;;) {
        Read r = readPiece(piece, deadline);
        if (r != Read::kLine)
            return r;
        bool complete = EndsLine(piece, endedInCr);
        endedInCr = piece.back() == '\r';
        if (!tooLong) {
            line += piece;
            if (line.size() > kMaxCommandLine) {
                tooLong = true;
                line.clear();
            }
        }
        if (complete)
            break;
    }
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
    return Read::kLine;
}

int CSmtpSession::sendReply(const std::string& text, bool record) {
    int length = static_cast<int>(text.size());
    int written = m_Socket.Write(text.data(), length);
    if (written == length)
        return written;
    if (record)
        m_Server.recordSessionError(m_Client.c_str());
    return 0;
}

CSmtpSession::Step CSmtpSession::reply(const std::string& text) {
    return sendReply(text, true) == 0 ? Step::kEnd : Step::kGoOn;
}

CSmtpSession::Step CSmtpSession::refuseCommand(int number, const std::string& line,
                                               const std::string& text) {
    m_Server.recordCommandRefused(number, line.c_str(), m_Client.c_str());
    return reply(text);
}

void CSmtpSession::Run() {
    CVornHostAddress peer;
    CVornString dotted;
    if (m_Socket.GetPeerAddress(peer) && peer.GetAddressString(dotted))
        m_Client = dotted.CStr();
    m_Server.recordConnection(m_Client.c_str());

    CVornDate now;
    CVornString date;
    now.FormatRFC822(date);
    if (sendReply(Printf("220 %s SMTP %s %s; %s %s\r\n", m_Server.GetOwnHostName(), kProduct,
                         kServiceVersionText, date.CStr(), kWebSite),
                  true) == 0) {
        dropTransaction();
        return;
    }

    std::string line;
    std::string verb;
    for (;;) {
        bool tooLong = false;
        Read r = readCommand(line, tooLong);
        if (r == Read::kStopping) {
            dropTransaction();
            sendReply(Printf("421 %s Service shutting down, closing transmission channel\r\n",
                             m_Server.GetOwnHostName()),
                      false);
            m_Server.recordSessionError(m_Client.c_str());
            return;
        }
        if (r == Read::kNothing) {
            dropTransaction();
            m_Server.recordSessionError(m_Client.c_str());
            return;
        }
        Step step = Step::kGoOn;
        if (tooLong) {
            step = refuseCommand(kMsgLineTooLong, OrDefault(m_Catalog.GetText(kMsgLongLine), ""),
                                 "500 Line too long\r\n");
            if (step == Step::kEnd) {
                dropTransaction();
                return;
            }
            continue;
        }
        size_t at = splitVerb(line, verb);
        std::string rest = at == std::string::npos ? std::string() : line.substr(at);

        if (verb == "NOOP") {
            step = reply("250 OK\r\n");
        } else if (verb == "HELO" || verb == "EHLO") {
            step = onHelo(rest);
        } else if (verb == "RSET") {
            step = reply("250 Reset State\r\n");
            m_State = 1;
        } else if (verb == "VRFY") {
            std::string argument = rest.substr(SkipBlanks(rest, 0));
            step = reply(argument.rfind("<", 0) == 0 ? Printf("250 %s\r\n", argument.c_str())
                                                     : Printf("250 <%s>\r\n", argument.c_str()));
        } else if (verb == "EXPN" || verb == "TURN") {
            step = reply("502 Sorry, we do not allow this operation\r\n");
        } else if (verb == "MAIL") {
            step = onMail(line, rest);
        } else if (verb == "RCPT") {
            step = onRcpt(line, rest);
        } else if (verb == "DATA") {
            if (m_State == 1)
                step = refuseCommand(kMsgOutOfSequence, line, "503 Need MAIL command\r\n");
            else if (m_State == 2)
                step = refuseCommand(kMsgNoRecipient, line, "503 Need RCPT (recipient)\r\n");
            else
                step = onData();
        } else if (verb == "QUIT") {
            sendReply(
                Printf(OrDefault(m_Catalog.GetText(kMsgQuitReply), "221 %s closing connection\r\n")
                           .c_str(),
                       m_Server.GetOwnHostName()),
                false);
            dropTransaction();
            m_Server.recordSessionEnd(m_Client.c_str(), m_AcceptedAny);
            return;
        } else {
            step = refuseCommand(
                kMsgUnknownCommand, line,
                OrDefault(m_Catalog.GetText(kMsgUnknownReply), "500 Command unrecognized\r\n"));
        }
        if (step == Step::kEnd) {
            dropTransaction();
            return;
        }
    }
}

CSmtpSession::Step CSmtpSession::onHelo(const std::string& rest) {
    Step step = reply(Printf("250 %s Hello\r\n", m_Server.GetOwnHostName()));
    m_HeloName = CleanHeloName(rest.substr(SkipBlanks(rest, 0)));
    m_HeloSeen = true;
    return step;
}

CSmtpSession::Step CSmtpSession::onMail(const std::string& line, const std::string& rest) {
    if (!m_HeloSeen)
        m_Server.recordCommandRefused(kMsgMailBeforeHelo, line.c_str(), m_Client.c_str());
    if (m_State != 1)
        return refuseCommand(kMsgNestedMail, line, "503 Nested MAIL command\r\n");
    size_t at = SkipBlanks(rest, 0);
    if (!StartsNoCase(rest, at, "FROM:"))
        return refuseCommand(kMsgSyntax, line, "501 Syntax error in parameters\r\n");
    std::string text = rest.substr(SkipBlanks(rest, at + 5));

    // Both "MAIL FROM:" and "MAIL FROM:<>" give the null sender.
    CVornMailAddress address;
    std::string sender;
    std::string user;
    if (!text.empty() && text != "<>") {
        if (address.Set(text.c_str()) != 0)
            return refuseCommand(kMsgSyntax, line,
                                 "501 Syntax error in parameters, no path found\r\n");
        const char* canonical = address.Get(CVornMailAddress::kFormCanonical);
        const char* route = address.Get(CVornMailAddress::kFormRoute);
        sender = canonical ? canonical : "";
        user = route ? route : "";
    }

    CVornString allow;
    CVornConfigStore::GetSetting(m_Client.c_str(), sender.empty() ? nullptr : user.c_str(),
                                 "AllowSMTP", allow);
    if (strcmp(allow.CStr(), "0") == 0) {
        m_Server.recordSessionFailure(kMsgSenderLocked, m_Client.c_str());
        bool named = !sender.empty() && user.find('!') == std::string::npos;
        m_Server.recordSenderLocked(m_Client.c_str(), named ? user.c_str() : "");
        return reply("451 Requested action aborted: client or user currently locked\r\n");
    }

    dropTransaction();
    std::unique_ptr<CQueuedMessage> message(new (std::nothrow) CQueuedMessage);
    if (!message || message->Open(nullptr, m_Server.GetSpoolDirectory()) != 0 ||
        message->Lock() != 0 || message->SetSender(sender.c_str()) != 0 ||
        message->SetSourceType(kSourceSmtp) != 0 || message->SetSourceText(m_Client.c_str()) != 0) {
        if (message)
            message->Delete();
        m_Server.recordReceiveError(kMsgCreateFailed, m_Client.c_str());
        LogEventInt(kMsgNoNewMessage, kEventError, 0);
        return reply("451 Requested action aborted: local error in processing\r\n");
    }
    m_Message = std::move(message);
    m_Sender = sender;
    m_RecipientsText.clear();
    m_RecipientCount = 0;
    m_State = 2;
    return reply(Printf("250 <%s>... Sender ok\r\n", m_Sender.c_str()));
}

CSmtpSession::Step CSmtpSession::onRcpt(const std::string& line, const std::string& rest) {
    if (m_State == 1)
        return refuseCommand(kMsgOutOfSequence, line, "503 Need MAIL before RCPT\r\n");
    size_t at = SkipBlanks(rest, 0);
    if (!StartsNoCase(rest, at, "TO:"))
        return refuseCommand(kMsgSyntax, line, "501 Syntax error in parameters\r\n");
    std::string text = rest.substr(SkipBlanks(rest, at + 3));
    const char* notAllowed = "553 Requested action not taken: mailbox name not allowed\r\n";
    if (text.empty())
        return refuseCommand(kMsgSyntax, line, notAllowed);
    CVornMailAddress address;
    if (address.Set(text.c_str()) != 0)
        return refuseCommand(kMsgSyntax, line, "501 Syntax error in parameters, no path found\r\n");
    const char* canonical = address.Get(CVornMailAddress::kFormCanonical);
    if (canonical == nullptr || canonical[0] == '\0')
        return refuseCommand(kMsgSyntax, line, notAllowed);
    if (!m_Message || m_Message->AddRecipient(canonical, kRecipientPending, 0, 0) != 0) {
        sendReply(kLocalError, false);
        return Step::kGoOn;
    }
    if (!m_RecipientsText.empty())
        m_RecipientsText += ", ";
    m_RecipientsText += canonical;
    ++m_RecipientCount;
    m_LastRecipient = canonical;
    m_State = 3;
    return reply(Printf("250 <%s>... Recipient ok\r\n", canonical));
}

CSmtpSession::Step CSmtpSession::onData() {
    if (m_Message->OpenBodyForWrite(2, 0) != 0) {
        m_Server.recordReceiveError(kMsgBodyFailed, m_Client.c_str());
        return reply(kLocalError);
    }
    const char* forRecipient =
        m_RecipientCount == 1 && !m_LastRecipient.empty() ? m_LastRecipient.c_str() : nullptr;
    if (m_Message->WriteReceivedHeader(m_HeloName.c_str(), m_Client.c_str(),
                                       m_Server.GetOwnHostName(), kProduct, kServiceVersionText,
                                       forRecipient) != 0) {
        m_Server.recordReceiveError(kMsgTraceFailed, m_Client.c_str());
        return reply(kLocalError);
    }
    if (reply("354 Enter mail, end with \".\" on a line by itself\r\n") == Step::kEnd)
        return Step::kEnd;

    int appendErrors = 0;
    bool stopped = false;
    if (!receiveData(appendErrors, stopped)) {
        if (stopped) {
            sendReply(Printf("421 %s Service shutting down, closing transmission channel\r\n",
                             m_Server.GetOwnHostName()),
                      false);
        }
        m_Server.recordSessionFailure(kMsgDataTimedOut, m_Client.c_str());
        const char* format = m_Catalog.GetText(kMsgReadFailed);
        std::string text = Printf(format != nullptr ? format : "%d %s", 0, "SMTP::ProcessJob()");
        const unsigned char zero[4] = {0, 0, 0, 0};
        WriteEventLog(kEventWarning, kMsgReadFailed, text.c_str(), 4, zero);
        dropTransaction();
        return Step::kEnd;
    }
    return finishData(appendErrors);
}

bool CSmtpSession::receiveData(int& appendErrors, bool& stopped) {
    std::string pending;  // the current line's bytes not yet stored
    std::string piece;
    size_t lineLength = 0;
    bool storedPart = false;  // part of the current line is stored already
    bool endedInCr = false;
    time_t deadline = platform::CurrentTime() + m_Server.GetDataTimeout();

    // Stores pending; the first stored byte of a line loses a leading dot.
    auto store = [&]() {
        size_t skip = !storedPart && !pending.empty() && pending[0] == '.' ? 1 : 0;
        if (pending.size() > skip &&
            m_Message->AppendBody(pending.data() + skip, static_cast<int>(pending.size() - skip)) !=
                0)
            ++appendErrors;
        storedPart = true;
        pending.clear();
    };

    for (;;) {
        Read r = readPiece(piece, deadline);
        if (r != Read::kLine) {
            stopped = r == Read::kStopping;
            return false;
        }
        for (char& c : piece) {
            if (c == '\0')
                c = ' ';
        }
        bool complete = EndsLine(piece, endedInCr);
        endedInCr = piece.back() == '\r';
        pending += piece;
        lineLength += piece.size();
        if (complete) {
            if (!storedPart && pending == ".\r\n")
                return true;
            if (lineLength >= kLongDataLine) {
                const char* text = m_Catalog.GetText(kMsgLongLine);
                m_Server.recordCommandRefused(kMsgLineTooLong, text ? text : "", m_Client.c_str());
            }
            store();
            storedPart = false;
            lineLength = 0;
            deadline = platform::CurrentTime() + m_Server.GetDataTimeout();
        } else if (pending.size() >= kDataPiece) {
            store();
        }
    }
}

CSmtpSession::Step CSmtpSession::finishData(int appendErrors) {
    m_Message->SetComplete(1);
    if (m_Message->GetHopCount() > kMaxHops) {
        m_Server.recordSessionFailure(kMsgTooManyHops, m_Client.c_str());
        sendReply("554 Transaction failed -- too many hops\r\n", false);
        dropTransaction();
        m_State = 1;
        return Step::kGoOn;
    }
    CVornString subject;
    m_Message->GetSubject(subject);
    // Body (synced at close), envelope (synced with its directory) and the
    // queue line (synced) are all on disk before the 250 below.
    if (m_Message->CloseBody() != 0 ||
        m_Message->ExpandRecipients(m_Server.GetListMembership()) != 0 ||
        m_Message->WriteEnvelope() != 0 || appendErrors != 0) {
        m_Server.recordReceiveError(kMsgStoreFailed, m_Client.c_str());
        sendReply(kLocalError, false);
        dropTransaction();
        m_State = 1;
        return Step::kGoOn;
    }
    if (m_Server.GetFastQueue() == nullptr ||
        m_Server.GetFastQueue()->Add(m_Message->GetName(), platform::CurrentTime(), 0) != 0) {
        m_Server.recordReceiveError(kMsgQueueFailed, m_Client.c_str());
        sendReply(kLocalError, false);
        dropTransaction();
        m_State = 1;
        return Step::kGoOn;
    }
    m_Server.recordMessageAccepted(m_Client.c_str(), m_Message.get(), m_RecipientsText.c_str(),
                                   subject.CStr());
    m_AcceptedAny = true;
    std::string accepted = Printf("250 %s Message accepted for delivery\r\n", m_Message->GetName());
    m_Message->Unlock();
    m_Message.reset();  // the files stay queued
    m_State = 1;
    if (sendReply(accepted, true) == 0)
        return Step::kEnd;
    m_Server.GetWakeEvent().Set();
    return Step::kGoOn;
}
