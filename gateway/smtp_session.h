// CSmtpSession: one receiving SMTP session with one client, run by a
// connection worker of the SMTP server (SMTP::ProcessJob). It answers HELO,
// EHLO, MAIL, RCPT, DATA, RSET, NOOP, VRFY, EXPN, TURN and QUIT, stores each
// accepted message as a CQueuedMessage with a "Received:" header, queues its
// name in "fastq" and wakes the delivery workers.
//
// Input is bounded and lines end only at CR LF:
//   - a command line holds at most kMaxCommandLine bytes; a longer one is
//     read to its end, dropped and answered "500 Line too long";
//   - data is stored in pieces of at most kDataPiece bytes, so a line of any
//     length is kept without holding it whole; lines of kLongDataLine bytes
//     or more are noted in the activity log;
//   - a read that ends without CR LF (time-out, end of input, error) counts
//     as nothing received: the partial line is neither a command nor data;
//   - the HELO argument loses its control characters and is cut to
//     kMaxHeloName bytes before it reaches the trace header.
// Reads wait in slices of a second and watch the server's stop flag: when
// the server stops, the client gets a 421 reply and the session ends,
// deleting an unfinished transaction.
//
// Nothing acknowledged is lost: the body, the envelope and the queue line
// are synced (with their directory) by CQueuedMessage and CMessageQueue
// before the 250 reply that accepts a message.
//
// Threads: a session belongs to the worker thread that runs it. Not
// copyable.
#pragma once

#include <memory>
#include <string>

#include "core/message_catalog.h"
#include "core/vorn_string.h"

class CQueuedMessage;
class CVornTCPSocket;
class SMTP;

class CSmtpSession {
public:
    static constexpr size_t kMaxCommandLine = 2048;
    static constexpr size_t kDataPiece = 4096;
    static constexpr size_t kLongDataLine = 4096;
    static constexpr size_t kMaxHeloName = 255;
    // A message with more "Received:" headers (ours included) is refused.
    static constexpr int kMaxHops = 30;

    // The server and the connection are borrowed for the session's life.
    CSmtpSession(SMTP& server, CVornTCPSocket& connection);
    ~CSmtpSession();
    CSmtpSession(const CSmtpSession&) = delete;
    CSmtpSession& operator=(const CSmtpSession&) = delete;

    // The whole session: greeting, commands, end. Returns when it ended.
    void Run();

    // The verb of line (up to the first space; else tab; else CR; else LF),
    // upper-cased, into verb; returns the position of the separator, or
    // npos when the line has none (the rest is then empty).
    static size_t splitVerb(const std::string& line, std::string& verb);
    // The HELO argument as it may enter the trace header: control bytes
    // dropped, cut to kMaxHeloName bytes.
    static std::string CleanHeloName(const std::string& text);

private:
    enum class Read { kLine, kNothing, kStopping };
    enum class Step { kGoOn, kEnd };

    // One piece of input up to and including LF (or what came before the
    // slice ran out): kLine with the piece, kNothing at the deadline, the
    // end of data or an error, kStopping when the server stops.
    Read readPiece(std::string& piece, time_t deadline);
    // One command line, CR LF cut off. tooLong: it was over the bound and
    // line is empty.
    Read readCommand(std::string& line, bool& tooLong);
    // Writes the reply. Bytes written; 0 when not all could be written
    // (then, with record set, the session error is recorded).
    int sendReply(const std::string& text, bool record);
    // sendReply with the record flag, ending the session when it fails.
    Step reply(const std::string& text);
    // A refused command: its record, then the reply.
    Step refuseCommand(int number, const std::string& line, const std::string& text);
    // Deletes the transaction's message, when there is one.
    void dropTransaction();

    Step onHelo(const std::string& rest);
    Step onMail(const std::string& line, const std::string& rest);
    Step onRcpt(const std::string& line, const std::string& rest);
    Step onData();
    // The data lines into the body; false when no line came in time (the
    // session then ends), with stopped set when the server stops.
    bool receiveData(int& appendErrors, bool& stopped);
    // What DATA does after the data: checks, envelope, queue, reply.
    Step finishData(int appendErrors);
    // text, or fallback when it is null or empty.
    static std::string OrDefault(const char* text, const char* fallback);

    SMTP& m_Server;
    CVornTCPSocket& m_Socket;
    std::string m_Client;
    std::string m_HeloName = "HELO_NOT_SENT";
    bool m_HeloSeen = false;
    int m_State = 1;
    std::unique_ptr<CQueuedMessage> m_Message;
    std::string m_Sender;
    std::string m_LastRecipient;
    int m_RecipientCount = 0;
    std::string m_RecipientsText;
    bool m_AcceptedAny = false;
    CVornString m_Piece;
    CVornMessageCatalog m_Catalog;
};
