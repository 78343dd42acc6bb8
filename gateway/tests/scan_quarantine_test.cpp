// Quarantine of infected objects by the scan callback: the package read
// back with the package library's reader (the nineteen values in order,
// their names, types and contents, the object's bytes), the forwarder's
// queue, the quarantine actions, numbering past files still waiting, and
// failures that leave no package and never abort the scan.
#include <gtest/gtest.h>
#include <string.h>

#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core/md5_file.h"
#include "gateway/queued_message.h"
#include "gateway/quarantine_forwarder.h"
#include "gateway/scan_callback.h"
#include "gateway/scan_settings.h"
#include "gateway/tests/support/spool_fixture.h"
#include "maker/vaultix/vaultix_reader.h"

namespace {

bool KnownHost(const char*, uint32_t* address) {
    const unsigned char bytes[4] = {192, 0, 2, 7};
    memcpy(address, bytes, 4);
    return true;
}

bool UnknownHost(const char*, uint32_t*) { return false; }

class ScanQuarantineTest : public spooltest::SpoolTest {
protected:
    void SetUp() override {
        SpoolTest::SetUp();
        {
            CVornLockGuard guard(&g_QuarantineNumberLock);
            g_QuarantineNumber = 0;
        }
        SetQuarantineHostLookup(KnownHost);
        m_Forwarder = std::make_unique<CQuarantineForwarder>("fwdq", m_Spool.c_str());
        ASSERT_EQ(0, m_Message.Open(nullptr, m_Spool.c_str()));
        testsupport::WriteWhole(m_Data, std::string("X5O!P%@AP[4\\PZX54(P^)7CC)7}$EICAR\0tail", 38));
    }
    void TearDown() override {
        SetQuarantineHostLookup(nullptr);
        m_Forwarder.reset();
        m_Message.Delete();
        SpoolTest::TearDown();
    }

    std::unique_ptr<CScanCallback> Callback(int action) {
        WriteConfig({"ZELORMRazoVidezQuarantineAction=" + std::to_string(action)});
        return std::make_unique<CScanCallback>(&m_Message, nullptr, m_Forwarder.get());
    }

    std::string Package(unsigned number) const {
        char name[32];
        snprintf(name, sizeof name, "/Q%08u.fwd", number);
        return m_Forwarder->Directory() + name;
    }

    // The files of the forwarder's folder other than its index.
    std::vector<std::string> Packages() const {
        std::vector<std::string> out;
        for (const auto& entry : std::filesystem::directory_iterator(m_Forwarder->Directory()))
            if (entry.path().filename() != "fwdq")
                out.push_back(entry.path().filename().string());
        return out;
    }

    CQueuedMessage m_Message;
    std::unique_ptr<CQuarantineForwarder> m_Forwarder;
    std::string m_Data = Path("object.bin");
};

TEST_F(ScanQuarantineTest, APackageHoldsTheObjectAndNineteenValuesInOrder) {
    auto callback = Callback(2);
    EXPECT_EQ(0, callback->OnVirusFound("docs/invoice.Exe", m_Data.c_str(), "Eicar-Test", 4711, 0));
    EXPECT_EQ(0, callback->GetQuarantineFailures());

    CVaultixReader reader;
    ASSERT_TRUE(reader.Open(Package(0))) << reader.Error();
    const std::vector<std::pair<std::string, int>> layout = {
        {"X-Scan-Virus-Name", 1},   {"X-Sample-File", 1},       {"X-Scan-Virus-Identifier", 2},
        {"X-Scan-Signatures-Sequence", 2}, {"X-Sample-Size", 2}, {"X-Sample-Extension", 1},
        {"X-Platform-Computer", 1}, {"X-Platform-Address", 1},  {"X-Platform-Host", 1},
        {"X-Platform-Scanner", 1},  {"X-Date-Quarantined", 3},  {"X-Platform-System", 1},
        {"X-Sample-UUID", 1},       {"X-Sample-Checksum", 1},   {"X-Checksum-Method", 1},
        {"X-Sample-Type", 1},       {"X-Sample-Reason", 1},     {"X-Sample-Status", 2},
        {"X-Sample-Priority", 2}};
    const auto& values = reader.Values();
    ASSERT_EQ(layout.size(), values.size());
    for (size_t i = 0; i < layout.size(); ++i) {
        EXPECT_EQ(layout[i].first, values[i].name) << i;
        EXPECT_EQ(layout[i].second, values[i].type) << layout[i].first;
    }
    auto text = [&](const char* name) { return reader.Find(name)->bytes; };
    auto number = [&](const char* name) { return reader.Find(name)->Number(); };
    EXPECT_EQ("Eicar-Test", text("X-Scan-Virus-Name"));
    EXPECT_EQ("docs/invoice.Exe", text("X-Sample-File"));
    EXPECT_EQ(4711u, number("X-Scan-Virus-Identifier"));
    EXPECT_EQ(0u, number("X-Scan-Signatures-Sequence"));  // no definitions facts
    EXPECT_EQ(38u, number("X-Sample-Size"));
    EXPECT_EQ("Exe", text("X-Sample-Extension"));
    EXPECT_FALSE(text("X-Platform-Computer").empty());
    EXPECT_EQ("192.0.2.7", text("X-Platform-Address"));
    EXPECT_EQ("192.0.2.7", text("X-Platform-Host"));
    EXPECT_EQ("Velmar RazoVidez for Dozoruve", text("X-Platform-Scanner"));
    // 2024-01-03 10:00:00 UTC, the test clock.
    EXPECT_EQ(std::string("\x01\x03\xE8\x07\x0A\x00\x00", 7), text("X-Date-Quarantined"));
    EXPECT_EQ(0u, text("X-Platform-System").rfind("Linux ", 0)) << text("X-Platform-System");
    EXPECT_NE(std::string::npos, text("X-Platform-System").find(" Build "));
    std::string uuid = text("X-Sample-UUID");
    ASSERT_EQ(38u, uuid.size());
    EXPECT_EQ('{', uuid.front());
    EXPECT_EQ('}', uuid.back());
    CVornString md5;
    MD5FileHex(m_Data.c_str(), md5);
    EXPECT_EQ(md5.CStr(), text("X-Sample-Checksum"));
    EXPECT_EQ("md5", text("X-Checksum-Method"));
    EXPECT_EQ("file", text("X-Sample-Type"));
    EXPECT_EQ("unknown", text("X-Sample-Reason"));
    EXPECT_EQ(0u, number("X-Sample-Status"));
    EXPECT_EQ(500u, number("X-Sample-Priority"));
    std::string object;
    ASSERT_TRUE(reader.ReadObject(&object, 1024));
    EXPECT_EQ(testsupport::ReadWhole(m_Data), object);

    // Queued on the forwarder with the message's name and the object's.
    auto items = m_Forwarder->Items();
    ASSERT_EQ(1u, items.size());
    EXPECT_EQ(Package(0), items[0].m_PackagePath);
    EXPECT_EQ(m_Message.GetName(), items[0].m_MessageName);
    EXPECT_EQ("docs/invoice.Exe", items[0].m_ObjectName);
}

TEST_F(ScanQuarantineTest, ANameWithoutExtensionAndAJapaneseNameAreKeptAsTheyShould) {
    auto callback = Callback(2);
    // "tesuto" in katakana, ISO-2022-JP, then ".exe".
    const char* jis = "\x1B$B%F%9%H\x1B(B.exe";
    callback->OnVirusFound(jis, m_Data.c_str(), "V", 1, 0);
    callback->OnVirusFound("README", m_Data.c_str(), "V", 1, 0);
    CVaultixReader first;
    ASSERT_TRUE(first.Open(Package(0))) << first.Error();
    EXPECT_EQ("\x83\x65\x83\x58\x83\x67.exe", first.Find("X-Sample-File")->bytes);
    CVaultixReader second;
    ASSERT_TRUE(second.Open(Package(1))) << second.Error();
    EXPECT_EQ(nullptr, second.Find("X-Sample-Extension"));
    EXPECT_EQ(18u, second.Values().size());
}

TEST_F(ScanQuarantineTest, TheActionDecidesWhenObjectsAreQuarantined) {
    // A package still waiting from the last run keeps its number.
    testsupport::WriteWhole(Package(0), "waiting");
    struct Case {
        int action;
        bool onFound;
        bool onRepairFailed;
    };
    for (Case c : {Case{0, false, false}, Case{1, false, true}, Case{2, true, false},
                   Case{3, false, false}}) {
        auto callback = Callback(c.action);
        EXPECT_EQ(c.action, callback->GetQuarantineAction());
        size_t before = m_Forwarder->Items().size();
        EXPECT_EQ(0, callback->OnVirusFound("a.com", m_Data.c_str(), "V", 1, 0));
        EXPECT_EQ(before + (c.onFound ? 1 : 0), m_Forwarder->Items().size()) << c.action;
        EXPECT_EQ(0, callback->OnRepairFailed("a.com", m_Data.c_str(), "V", 1, 0));
        EXPECT_EQ(before + (c.onFound || c.onRepairFailed ? 1 : 0), m_Forwarder->Items().size())
            << c.action;
    }
    auto items = m_Forwarder->Items();
    ASSERT_EQ(2u, items.size());
    EXPECT_EQ(Package(1), items[0].m_PackagePath);
    EXPECT_EQ(Package(2), items[1].m_PackagePath);
}

TEST_F(ScanQuarantineTest, AFailedQuarantineLeavesNothingAndLetsTheScanGoOn) {
    struct Case {
        const char* name;
        bool knownHost;
        bool dataFile;
        bool forwarder;
    };
    const Case cases[] = {
        {"host name without an address", false, true, true},
        {"data file gone", true, false, true},
        {"no forwarder", true, true, false},
    };
    for (const Case& c : cases) {
        SetQuarantineHostLookup(c.knownHost ? KnownHost : UnknownHost);
        WriteConfig({"ZELORMRazoVidezQuarantineAction=2"});
        CScanCallback callback(&m_Message, nullptr, c.forwarder ? m_Forwarder.get() : nullptr);
        Events();
        // Not 2: the plug-in goes on to repair, replace or delete the object.
        EXPECT_EQ(0, callback.OnVirusFound("a.exe", c.dataFile ? m_Data.c_str() : Path("gone").c_str(),
                                           "V", 1, 0))
            << c.name;
        EXPECT_EQ(1, callback.GetQuarantineFailures()) << c.name;
        EXPECT_TRUE(HasEvent("2:M829")) << c.name;
        EXPECT_TRUE(Packages().empty()) << c.name;
        EXPECT_TRUE(m_Forwarder->Items().empty()) << c.name;
    }
}

}  // namespace
