// Fixture of the delivery worker's tests: the spool fixture plus the two
// queues, an SMTP server object over them (not started unless the test
// starts it) with a relay object of its own, a scripted next hop reached as
// the smart host, and helpers that spool messages and read outcomes back.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "gateway/queued_message.h"
#include "gateway/relay_delivery.h"
#include "gateway/smtp_server.h"
#include "gateway/spool_queue.h"
#include "gateway/tests/support/gateway_instance.h"
#include "gateway/tests/support/scripted_next_hop.h"
#include "gateway/tests/support/spool_fixture.h"

namespace deliverytest {

using relaytest::ScriptedNextHop;

class DeliveryTest : public spooltest::SpoolTest {
protected:
    void SetUp() override {
        SpoolTest::SetUp();
        m_Port = gwtest::FreePort();
        Configure({});
        m_Fast = std::make_unique<CMessageQueue>("fastq", m_Spool.c_str());
        m_Slow = std::make_unique<CMessageQueue>("slowq", m_Spool.c_str());
        m_Server = std::make_unique<SMTP>(nullptr, m_Fast.get(), m_Slow.get(), m_Spool.c_str());
        m_Server->SetRelayReplyTimeout(5);
        m_Relay = m_Server->NewRelay();
    }

    void TearDown() override {
        m_Relay.reset();
        m_Server.reset();
        m_Fast.reset();
        m_Slow.reset();
        SpoolTest::TearDown();
    }

    // The system object's settings: extra, then those of the server's port,
    // the next hop as the smart host and two workers each way that extra
    // does not name.
    void Configure(std::vector<std::string> extra) {
        const std::vector<std::string> defaults = {
            "SMTPPort=" + std::to_string(m_Port), "SMTPIncoming=2", "SMTPOutgoing=2",
            "RelayHost=127.0.0.1", "RelayHostPort=" + std::to_string(m_Hop.Port())};
        std::vector<std::string> settings = extra;
        for (const std::string& d : defaults) {
            const std::string name = d.substr(0, d.find('=') + 1);
            bool named = false;
            for (const std::string& e : extra) named = named || e.rfind(name, 0) == 0;
            if (!named)
                settings.push_back(d);
        }
        WriteConfig(settings);
    }

    struct Recipient {
        Recipient(const char* a, int s = kRecipientPending, int r = 0, const char* t = "")
            : address(a), status(s), reason(r), text(t) {}
        std::string address;
        int status;
        int reason;
        std::string text;
    };

    // Spools an unlocked message from sender with the recipients (in list
    // order) and the body written as given, created ageSeconds before now.
    // Returns its name.
    std::string Spool(const std::vector<Recipient>& recipients, const std::string& body,
                      int kind = kMessageReceived, time_t ageSeconds = 0,
                      const char* sender = "s@a.org") {
        const time_t now = m_Now;
        SetClock(now - ageSeconds);
        CQueuedMessage message;
        EXPECT_EQ(0, message.Open(nullptr, m_Spool.c_str()));
        EXPECT_EQ(0, message.Lock());
        EXPECT_EQ(0, message.SetSender(sender));
        message.SetKind(kind);
        message.SetComplete(1);
        // Records are put at the head: add in reverse to keep the given order.
        for (auto r = recipients.rbegin(); r != recipients.rend(); ++r) {
            EXPECT_EQ(0, message.addRecipientNode(r->address.c_str(), "", r->text.c_str(),
                                                  r->reason, r->status, 0, 0,
                                                  r->status == kRecipientFailed ? 1 : 0));
        }
        testsupport::WriteWhole(SpoolPath(std::string(message.GetName()) + ".mes"), body);
        message.RefreshBodySize();
        EXPECT_EQ(0, message.WriteEnvelope());
        SetClock(now);
        return message.GetName();
    }

    // Spools a message and queues it on "fastq" as a session would.
    std::string Queue(const std::vector<Recipient>& recipients,
                      const std::string& body = "Subject: t\r\n\r\nhi\r\n") {
        std::string name = Spool(recipients, body);
        EXPECT_EQ(0, m_Fast->Add(name.c_str(), m_Now, 0));
        return name;
    }

    // The message loaded and locked by this thread.
    std::unique_ptr<CQueuedMessage> Load(const std::string& name) {
        auto message = std::make_unique<CQueuedMessage>();
        EXPECT_EQ(0, message->Open(name.c_str(), m_Spool.c_str())) << name;
        EXPECT_EQ(0, message->Lock());
        return message;
    }

    // address -> "status/reason/text" of the envelope on disk.
    std::map<std::string, std::string> Outcome(const std::string& name) {
        CQueuedMessage message;
        EXPECT_EQ(0, message.Open(name.c_str(), m_Spool.c_str())) << name;
        std::map<std::string, std::string> out;
        for (QueuedRecipient* r = message.GetRecipients(); r; r = r->m_Next)
            out[r->m_Address] = std::to_string(r->m_Status) + "/" + std::to_string(r->m_Reason) +
                                "/" + r->m_StatusText;
        return out;
    }

    bool Spooled(const std::string& name) {
        return std::filesystem::exists(SpoolPath(name + ".env")) ||
               std::filesystem::exists(SpoolPath(name + ".mes"));
    }

    static std::vector<std::string> Names(CMessageQueue& queue) {
        std::vector<std::string> names;
        for (const QueueEntry& e : queue.Snapshot()) names.push_back(e.m_Name);
        return names;
    }

    // Waits (real time, bounded) until done() holds.
    static bool Eventually(const std::function<bool()>& done,
                           std::chrono::seconds bound = std::chrono::seconds(20)) {
        auto end = std::chrono::steady_clock::now() + bound;
        while (!done()) {
            if (std::chrono::steady_clock::now() > end)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return true;
    }

    ScriptedNextHop m_Hop;
    int m_Port = 0;
    std::unique_ptr<CMessageQueue> m_Fast;
    std::unique_ptr<CMessageQueue> m_Slow;
    std::unique_ptr<SMTP> m_Server;
    std::unique_ptr<CRelayDelivery> m_Relay;
};

}  // namespace deliverytest
