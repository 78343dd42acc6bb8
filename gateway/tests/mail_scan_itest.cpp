// Scanning in the mail flow end to end: the running gateway (`zelorm
// -debug`, the real plug-in libWexlor.so on a definitions set made by the
// set maker) takes mail from Python's smtplib and relays it to Postfix's
// smtp-sink as its smart host. A message with the EICAR string in a zip
// attachment and the clamav-testfiles containers as attachments goes
// through at each action (report only, repair, delete) with quarantine and
// attachment stripping by extension: what the next hop receives (parsed
// with Python's email package), the quarantine packages that reach the test
// server, the notices to the administrator and the sender, the activity
// records. A clean message passes byte for byte apart from the Received
// line. A quarantine that fails still lets the object be removed. A
// gateway whose scanner cannot load never takes mail.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/tests/support/files.h"
#include "gateway/service_control.h"
#include "gateway/tests/support/activity_lines.h"
#include "gateway/tests/support/gateway_instance.h"
#include "gateway/tests/support/mail_peers.h"
#include "maker/tests/support/quarantine_server.h"

namespace {

namespace fs = std::filesystem;
using gatewaytest::ActivityFields;
using gwtest::DnsZone;
using gwtest::GatewayInstance;
using gwtest::RunningGateway;
using gwtest::SendMail;
using gwtest::SinkMessage;
using gwtest::SmtpSink;
using gwtest::WithLfLineEnds;
using testsupport::ReadWhole;
using testsupport::WriteWhole;

const char* const kTestFiles = "/usr/share/clamav-testfiles/";
const std::string kEicar =
    "X5O!P%@AP[4\\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*";
// Containers of the test program that the plug-in takes apart.
const std::vector<std::string> kContainers = {"clam.zip", "clam.cab", "clam.arj",
                                              "clam.tar.gz", "clam.exe.rtf"};

// One leaf part of a message as Python's email package reads it.
struct Part {
    std::string type;
    std::string name;
    int defects = 0;
    std::string data;  // decoded payload, bytes as Latin-1 in a JSON string
};

// Polls (at most bound) until the condition holds.
template <typename Condition>
bool Eventually(Condition condition, std::chrono::milliseconds bound = std::chrono::seconds(90)) {
    auto end = std::chrono::steady_clock::now() + bound;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

class MailScanTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (access(gwtest::kSmtpSinkPath, X_OK) != 0 || access(gwtest::kDnsmasqPath, X_OK) != 0 ||
            access((std::string(kTestFiles) + "clam.zip").c_str(), R_OK) != 0)
            GTEST_SKIP() << "smtp-sink, dnsmasq or clamav-testfiles is not installed";
        m_Port = gwtest::FreePort();
        m_Instance.InstallCatalogs();
        m_Sink = std::make_unique<SmtpSink>();
        ASSERT_TRUE(m_Sink->Started());
        m_Zone = std::make_unique<DnsZone>(
            m_Instance.Dir(), "scan.test",
            std::vector<std::string>{"--host-record=client.scan.test,127.0.0.1"});
        ASSERT_TRUE(m_Zone->Started()) << ReadWhole(m_Instance.Path("dnsmasq.log"));
        m_Time = time(nullptr);
    }

    void TearDown() override {
        if (m_Gateway)
            m_Gateway->Stop();
    }

    // SMTP on the test's port, relaying for the client to the sink as smart
    // host, scanning on, notices to admin@dest.test and the sender, then
    // the extra settings.
    void Configure(const std::string& extra) {
        std::string system = "DS,SMTPPort=" + std::to_string(m_Port) +
                             ",SMTPIncoming=4,SMTPOutgoing=2,RelayMode=H,"
                             "RelayAllowHosts=client.scan.test,RelayHost=" + m_Sink->Address() +
                             ",RelayHostPort=" + std::to_string(m_Sink->Port()) +
                             ",ZELORMRazoVidezScan=1,ZELORMRazoVidezNotifyAdmins=1"
                             ",ZELORMRazoVidezNotifySender=1,ZELORMRazoVidezAdmins=admin@dest.test"
                             ",ZELORMRazoVidezAdminSubject=Virus alert";
        if (!extra.empty())
            system += "," + extra;
        m_Instance.WriteConfig({system});
    }

    void StartGateway() {
        if (m_Gateway) {
            ASSERT_EQ(0, m_Gateway->Stop()) << m_Gateway->Errors();
        }
        std::map<std::string, std::string> extra = {
            {"ZELORM_TEST_TIME", std::to_string(m_Time)},
            {"ZELORM_RESOLV_CONF", m_Zone->ResolvConf()}};
        m_Gateway = std::make_unique<RunningGateway>(
            m_Instance, extra, m_Instance.Path("run" + std::to_string(++m_Runs)));
        ASSERT_TRUE(m_Gateway->WaitStarted()) << m_Gateway->Errors();
    }

    // A file of the instance with the given bytes; its path.
    std::string File(const std::string& name, const std::string& bytes) {
        WriteWhole(m_Instance.Path(name), bytes);
        return m_Instance.Path(name);
    }

    static int Python(const std::string& arguments) {
        return gwtest::Shell(std::string(gwtest::kPython) + " " + arguments);
    }

    // A multipart message built by Python's email package with the
    // attachments ("NAME=PATH[=TYPE]").
    std::string Build(const std::string& name, const std::vector<std::string>& attachments) {
        std::string command = std::string(ZELORM_SOURCE_DIR) + "/scanner/tests/plugin_mail.py build " +
                              m_Instance.Path(name);
        for (const std::string& a : attachments) command += " '" + a + "'";
        EXPECT_EQ(0, Python(command)) << command;
        return m_Instance.Path(name);
    }

    // The message with the EICAR string in a zip, a text and a batch file.
    std::string InfectedMessage() {
        std::string eicar = File("eicar.com", kEicar);
        std::string zip = m_Instance.Path("eicar.zip");
        EXPECT_EQ(0, Python("-c \"import zipfile,sys; z=zipfile.ZipFile(sys.argv[1],'w'); "
                            "z.write(sys.argv[2],'eicar.com'); z.close()\" " +
                            zip + " " + eicar));
        return Build("infected.eml", {"eicar.zip=" + zip,
                                      "notes.txt=" + File("notes.txt", "just notes\r\n") +
                                          "=text/plain",
                                      "run.bat=" + File("run.bat", "echo harmless\r\n")});
    }

    std::string ContainersMessage() {
        std::vector<std::string> attachments;
        for (const std::string& c : kContainers) attachments.push_back(c + "=" + kTestFiles + c);
        return Build("containers.eml", attachments);
    }

    std::string Send(const std::string& file, const std::string& sender,
                     const std::string& recipient) {
        return SendMail(m_Port, "py.client.test", sender, {recipient}, file, m_Instance.Dir());
    }

    // The sink's messages to recipient ("<a@b>"), waiting for at least count.
    std::vector<SinkMessage> To(const std::string& recipient, size_t count) {
        std::vector<SinkMessage> found;
        Eventually([&] {
            found.clear();
            for (SinkMessage& m : m_Sink->Messages())
                if (std::find(m.recipients.begin(), m.recipients.end(), recipient) !=
                    m.recipients.end())
                    found.push_back(m);
            return found.size() >= count;
        });
        return found;
    }

    // The leaf parts of a received message (Python's email package).
    std::vector<Part> Parts(const SinkMessage& message) {
        std::string file = File("parsed-" + std::to_string(++m_Parsed) + ".eml", message.text);
        std::string out = m_Instance.Path("parts.out");
        EXPECT_EQ(0, Python(std::string(ZELORM_SOURCE_DIR) + "/scanner/tests/plugin_mail.py parts " +
                            file + " > " + out));
        // A line per part: type TAB name TAB defects TAB JSON payload; the
        // payload is decoded back from JSON by Python once more.
        std::string decoded = m_Instance.Path("parts.dec");
        EXPECT_EQ(0, Python("-c \"import json,sys\nfor l in open(sys.argv[1]):\n"
                            " f=l.rstrip('\\n').split('\\t')\n"
                            " if len(f)<4: continue\n"
                            " d=json.loads(f[3]).encode('latin-1')\n"
                            " sys.stdout.write('%s\\t%s\\t%s\\t%d\\n'%(f[0],f[1],f[2],len(d)))\n"
                            " sys.stdout.buffer.flush(); sys.stdout.flush()\n"
                            " sys.stdout.buffer.write(d+b'\\n')\n"
                            " sys.stdout.flush()\" " +
                            out + " > " + decoded));
        std::vector<Part> parts;
        std::string text = ReadWhole(decoded);
        size_t at = 0;
        while (at < text.size()) {
            size_t end = text.find('\n', at);
            if (end == std::string::npos)
                break;
            std::istringstream fields(text.substr(at, end - at));
            Part part;
            std::string defects, length;
            std::getline(fields, part.type, '\t');
            std::getline(fields, part.name, '\t');
            std::getline(fields, defects, '\t');
            std::getline(fields, length, '\t');
            part.defects = std::stoi(defects);
            size_t n = std::stoul(length);
            part.data = text.substr(end + 1, n);
            at = end + 1 + n + 1;
            parts.push_back(part);
        }
        return parts;
    }

    static const Part* Named(const std::vector<Part>& parts, const std::string& name) {
        for (const Part& p : parts)
            if (p.name == name)
                return &p;
        return nullptr;
    }

    // Every activity record of the instance so far.
    std::vector<ActivityFields> Records() {
        std::vector<ActivityFields> all;
        for (const auto& entry : fs::directory_iterator(m_Instance.Path("log"))) {
            if (entry.path().filename().string().rfind("zelgw", 0) != 0)
                continue;
            size_t read = 0;
            for (ActivityFields& r : gatewaytest::ReadActivityRecords(entry.path(), &read))
                all.push_back(r);
        }
        return all;
    }
    // The finding records (events 300 to 305) of messages from sender.
    std::multiset<std::string> Findings(const std::string& sender) {
        std::multiset<std::string> out;
        for (ActivityFields& r : Records()) {
            int event = r.count(2) ? std::stoi(r[2]) : 0;
            if (event >= 300 && event <= 305 && r[20] == sender)
                out.insert(r[2] + " " + r[1102] + (r.count(1100) ? " virus" : ""));
        }
        return out;
    }


    GatewayInstance m_Instance;
    int m_Port = 0;
    std::unique_ptr<SmtpSink> m_Sink;
    std::unique_ptr<DnsZone> m_Zone;
    std::unique_ptr<RunningGateway> m_Gateway;
    time_t m_Time = 0;
    int m_Runs = 0;
    int m_Parsed = 0;
};

// Report only and repair leave the infected zip as it was (the engine
// repairs nothing) and say so in the notices; a clean message passes byte
// for byte; with "quarantine when the repair fails" the zip's object
// reaches the quarantine server.
TEST_F(MailScanTest, ReportOnlyAndRepairDeliverTheMessageAsItWasWithNotices) {
    qtest::QuarantineServer quarantine("accept", m_Instance.Dir());
    ASSERT_NE(0, quarantine.Port());
    const std::string infected = InfectedMessage();
    const std::string original = ReadWhole(infected);
    const std::string clean = File("clean.eml",
                                   "Date: Tue, 02 Jan 2024 09:00:00 +0000\r\n"
                                   "Message-Id: <clean@client.test>\r\n"
                                   "From: joe@origin.test\r\nTo: ann@dest.test\r\n"
                                   "Subject: clean\r\n\r\nnothing here\r\n.leading dot\r\n");

    struct Run {
        std::string settings;
        std::string sender;
        std::string recipient;
    } runs[] = {
        {"ZELORMRazoVidezResponse1=0", "joe0@origin.test", "<ann0@dest.test>"},
        {"ZELORMRazoVidezResponse1=1,ZELORMRazoVidezResponse2=0,"
         "ZELORMRazoVidezQuarantineAction=1,ZELORMRazoVidezQuarantineServerAddress=127.0.0.1,"
         "ZELORMRazoVidezQuarantineServerPort=" + std::to_string(quarantine.Port()),
         "joe1@origin.test", "<ann1@dest.test>"},
    };
    size_t adminNotices = 0;
    for (const Run& run : runs) {
        SCOPED_TRACE(run.settings);
        Configure(run.settings);
        StartGateway();
        std::string to = run.recipient.substr(1, run.recipient.size() - 2);
        ASSERT_EQ("250", Send(infected, run.sender, to));
        ASSERT_EQ("250", Send(clean, run.sender, to));

        auto delivered = To(run.recipient, 2);
        ASSERT_EQ(2u, delivered.size());
        for (const SinkMessage& m : delivered) {
            if (m.text.find("Subject: clean") != std::string::npos) {
                // Byte for byte after the gateway's Received field.
                size_t at = 0;
                do at = m.text.find('\n', at) + 1;
                while (at > 0 && at < m.text.size() && m.text[at] == ' ');
                EXPECT_EQ(WithLfLineEnds(ReadWhole(clean)), m.text.substr(at));
            } else {
                auto parts = Parts(m);
                const Part* zip = Named(parts, "eicar.zip");
                ASSERT_NE(nullptr, zip);
                EXPECT_NE(std::string::npos, m.text.find(WithLfLineEnds(original).substr(
                                                 WithLfLineEnds(original).find("\n\n"))))
                    << "the infected message changed";
            }
        }
        // A notice to the sender and one to the administrator, each
        // naming the object and saying it was left.
        auto sender = To("<" + run.sender + ">", 1);
        ASSERT_EQ(1u, sender.size());
        EXPECT_NE(std::string::npos, sender[0].text.find("Object: eicar.zip/eicar.com"))
            << sender[0].text;
        EXPECT_NE(std::string::npos, sender[0].text.find("left unchanged")) << sender[0].text;
        EXPECT_EQ("<>", sender[0].mailFrom);
        auto admin = To("<admin@dest.test>", ++adminNotices);
        ASSERT_EQ(adminNotices, admin.size());
        // The zip and the object in it are each found and left.
        auto findings = Findings(run.sender);
        EXPECT_EQ(1u, findings.count("300 eicar.zip/eicar.com virus"));
        for (const std::string& f : findings) EXPECT_EQ(0u, f.rfind("300 ", 0)) << f;
        EXPECT_TRUE(Eventually([&] { return m_Instance.SpoolEmpty(); }));
    }
    for (const SinkMessage& m : To("<admin@dest.test>", 2))
        EXPECT_NE(std::string::npos, m.text.find("Subject: Virus alert")) << m.text;
    // Quarantined where the repair failed (the second run only).
    EXPECT_TRUE(Eventually([&] { return !quarantine.Received().empty(); }));
    EXPECT_NE(std::string::npos, quarantine.Received().find("eicar.com"));
}

// Delete with quarantine of every infected object and stripping by
// extension: each infected object is replaced by the gateway's text, the
// batch file by the blocked text, every object is recorded, and packages
// reach the quarantine server.
TEST_F(MailScanTest, DeleteReplacesInfectedAndStrippedAttachmentsAndQuarantinesThem) {
    qtest::QuarantineServer quarantine("accept", m_Instance.Dir());
    ASSERT_NE(0, quarantine.Port());
    Configure("ZELORMRazoVidezResponse1=2,"
              "ZELORMStripAttachments=1,ZELORMStripAttachmentsExtList=bat,"
              "ZELORMRazoVidezQuarantineAction=2,ZELORMRazoVidezQuarantineServerAddress=127.0.0.1,"
              "ZELORMRazoVidezQuarantineServerPort=" + std::to_string(quarantine.Port()));
    StartGateway();
    ASSERT_EQ("250", Send(InfectedMessage(), "joe@origin.test", "ann@dest.test"));
    ASSERT_EQ("250", Send(ContainersMessage(), "joe@origin.test", "bob@dest.test"));

    auto ann = To("<ann@dest.test>", 1);
    ASSERT_EQ(1u, ann.size());
    auto parts = Parts(ann[0]);
    EXPECT_EQ(std::string::npos, ann[0].text.find(kEicar));
    EXPECT_EQ(nullptr, Named(parts, "run.bat"));
    ASSERT_NE(nullptr, Named(parts, "notes.txt"));
    EXPECT_EQ("just notes\r\n", Named(parts, "notes.txt")->data);
    std::string texts;
    for (const Part& p : parts) {
        EXPECT_EQ(0, p.defects) << p.name;
        texts += p.data;
    }
    EXPECT_NE(std::string::npos, texts.find("The attachment \"run.bat\" has been removed"))
        << texts;
    EXPECT_NE(std::string::npos, texts.find("was infected with the virus")) << texts;

    // Every container lost its infected content.
    auto bob = To("<bob@dest.test>", 1);
    ASSERT_EQ(1u, bob.size());
    for (const Part& p : Parts(bob[0])) {
        for (const std::string& c : kContainers) {
            if (p.name == c) {
                EXPECT_NE(ReadWhole(std::string(kTestFiles) + c), p.data)
                    << c << " was delivered as it was";
            }
        }
    }

    auto findings = Findings("joe@origin.test");
    EXPECT_EQ(1u, findings.count("305 run.bat"));
    size_t removed = 0;
    for (const std::string& f : findings) removed += f.rfind("302 ", 0) == 0;
    EXPECT_GE(removed, 1u + kContainers.size());
    // The notices name every removed object; none lists the stripped one.
    auto sender = To("<joe@origin.test>", 2);
    ASSERT_EQ(2u, sender.size());
    for (const SinkMessage& m : sender) {
        EXPECT_NE(std::string::npos, m.text.find("Action: removed")) << m.text;
        EXPECT_EQ(std::string::npos, m.text.find("Object: run.bat")) << m.text;
    }
    EXPECT_EQ(2u, To("<admin@dest.test>", 2).size());
    EXPECT_TRUE(Eventually([&] { return !quarantine.Received().empty(); }));
    EXPECT_TRUE(Eventually([&] { return m_Instance.SpoolEmpty(); }));
}

// A quarantine that fails (the forwarder's folder became a file, so no
// package can be saved) is reported, and the infected object is still
// removed as the action says: the message never goes out unchanged.
TEST_F(MailScanTest, AFailedQuarantineStillRemovesTheInfectedObject) {
    Configure("ZELORMRazoVidezResponse1=2,ZELORMRazoVidezQuarantineAction=2,"
              "ZELORMRazoVidezQuarantineServerAddress=127.0.0.1,"
              "ZELORMRazoVidezQuarantineServerPort=" + std::to_string(gwtest::FreePort()));
    StartGateway();
    fs::remove_all(m_Instance.Path("spool/zelqfwd"));
    WriteWhole(m_Instance.Path("spool/zelqfwd"), "not a folder");
    ASSERT_EQ("250", Send(InfectedMessage(), "joe@origin.test", "ann@dest.test"));

    auto ann = To("<ann@dest.test>", 1);
    ASSERT_EQ(1u, ann.size());
    EXPECT_EQ(std::string::npos, ann[0].text.find(kEicar));
    auto parts = Parts(ann[0]);
    EXPECT_NE(nullptr, Named(parts, "notes.txt"));
    bool reported = false;
    for (const std::string& e : m_Instance.Events())
        reported = reported || e.find("could not be quarantined") != std::string::npos;
    EXPECT_TRUE(reported);
    bool removed = false;
    for (const std::string& f : Findings("joe@origin.test"))
        removed = removed || f.rfind("302 eicar.zip", 0) == 0;
    EXPECT_TRUE(removed) << ::testing::PrintToString(Findings("joe@origin.test"));
}

// Without a definitions set the scanner does not load: error event 578,
// start-up ends there and SMTP never listens. The administration stays up
// so the operator can mend it, until the program is told to stop; it then
// ends with the code of a failed start-up.
TEST_F(MailScanTest, AScannerThatCannotLoadKeepsSmtpClosed) {
    Configure("");
    fs::remove_all(m_Instance.Path("common"));
    std::map<std::string, std::string> extra = {{"ZELORM_TEST_TIME", std::to_string(m_Time)}};
    gwtest::ChildProgram child({gwtest::ProgramPath(), "-debug", "5"}, m_Instance.Environment(extra),
                               m_Instance.Path("noscanner"));
    auto refused = [&] {
        for (const std::string& e : m_Instance.Events())
            if (e.rfind("1:", 0) == 0 && e.find("scanner") != std::string::npos)
                return true;
        return false;
    };
    EXPECT_TRUE(Eventually(refused)) << child.Errors();
    EXPECT_TRUE(gwtest::WaitForListener("127.0.0.1", m_Instance.HttpPort(), std::chrono::seconds(5)));
    EXPECT_FALSE(gwtest::WaitForListener("127.0.0.1", m_Port, std::chrono::milliseconds(200)));
    for (const std::string& e : m_Instance.Events())
        EXPECT_EQ(std::string::npos, e.find("has started")) << e;

    ASSERT_TRUE(child.Signal(SIGTERM));
    EXPECT_EQ(kExitStartupFailed, child.Wait()) << child.Errors();
}

}  // namespace
