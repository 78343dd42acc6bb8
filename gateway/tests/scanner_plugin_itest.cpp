// The scanner holder with the real plug-in: libWexlor.so found beside the
// program, initialised on a definitions set made by the set maker, and a
// message with an EICAR attachment and an attachment to strip scanned
// through a scan job and the gateway's scan callback.
#include <gtest/gtest.h>
#include <stdio.h>

#include <filesystem>
#include <string>

#include "core/message_catalog.h"
#include "core/tests/support/files.h"
#include "core/tests/support/scoped_env.h"
#include "gateway/scan_callback.h"
#include "gateway/scan_settings.h"
#include "gateway/scanner_manager.h"
#include "gateway/tests/support/spool_fixture.h"

namespace {

const std::string kEicar =
    "X5O!P%@AP[4\\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*";

class ScannerPluginTest : public spooltest::SpoolTest {
protected:
    void SetUp() override {
        SpoolTest::SetUp();
        CProductMessageCatalog product;
        ASSERT_EQ(kCatalogLoaded,
                  product.Load(ZELORM_CATALOG_DIR "/tkmessages", 2, 5, 34, 2000000));
        std::string command = std::string(ZELORM_MKDEFSET) + " --date 20261201 --revision 1" +
                              " --common-files '" + Path("common") + "' --app ZELORM_20 " +
                              ZELORM_DEFS_DATA "/zelorm.ndb " ZELORM_DEFS_DATA "/zelorm.hdb" +
                              " >/dev/null 2>&1";
        ASSERT_EQ(0, system(command.c_str())) << command;
        std::filesystem::create_directory(Path("zeltemp"));
    }
    void TearDown() override {
        WriteConfig({});
        LoadScanSettings();
        CProductMessageCatalog().Clear();
        SpoolTest::TearDown();
    }

    testsupport::ScopedEnv m_Registry{"ZELORM_REGISTRY", m_Dir + "/registry.reg"};
};

TEST_F(ScannerPluginTest, AnInfectedAttachmentIsReplacedAndAStrippedOneBlocked) {
    WriteConfig({"ZELORMStripAttachments=1", "ZELORMStripAttachmentsExtList=exe"});
    LoadScanSettings();
    CScannerManager holder;  // the library beside the program
    ASSERT_TRUE(holder.Load("ZELORM_20", Path("zelex15.inf").c_str(), Path("zeltemp").c_str(), 3));

    const std::string body =
        "From: a@example.com\r\nTo: b@example.com\r\nSubject: test\r\nMIME-Version: 1.0\r\n"
        "Content-Type: multipart/mixed; boundary=\"XX\"\r\n\r\n"
        "--XX\r\nContent-Type: text/plain\r\n\r\nHello.\r\n"
        "--XX\r\nContent-Type: application/octet-stream; name=\"eicar.com\"\r\n"
        "Content-Disposition: attachment; filename=\"eicar.com\"\r\n\r\n" +
        kEicar +
        "\r\n"
        "--XX\r\nContent-Type: application/octet-stream; name=\"setup.exe\"\r\n"
        "Content-Disposition: attachment; filename=\"setup.exe\"\r\n\r\nMZ harmless\r\n"
        "--XX--\r\n";
    testsupport::WriteWhole(Path("body"), body);

    CScanCallback callback(nullptr, &holder, nullptr);
    ASSERT_NE(nullptr, callback.GetDefsInfoObject());
    CScanJob* job = holder.NewScanJob(&callback);
    IScanResult* result = nullptr;
    ASSERT_TRUE(job->Scan(Path("body").c_str(), 3, &result));
    ASSERT_NE(nullptr, result);
    int eicar = 0;
    int blocked = 0;
    for (int32_t i = 0; i < result->GetItemCount(); ++i) {
        IVirusItem* item = nullptr;
        ASSERT_EQ(WEXLOR_OK, result->GetItem(static_cast<uint32_t>(i), &item));
        std::string name = item->GetName(0);
        if (name == "eicar.com") {
            ++eicar;
            EXPECT_NE(std::string::npos, std::string(item->GetVirusName()).find("EICAR"));
            EXPECT_EQ(WEXLOR_STATUS_DELETED, item->GetStatus());
        } else if (name == "setup.exe") {
            ++blocked;
            EXPECT_EQ(WEXLOR_STATUS_BLOCKED, item->GetStatus());
        }
        item->Release();
    }
    EXPECT_EQ(1, eicar);
    EXPECT_EQ(1, blocked);
    EXPECT_EQ(1, holder.GetDeleted());

    std::string rebuilt = result->GetFileName();
    ASSERT_FALSE(rebuilt.empty());
    std::string text = testsupport::ReadWhole(rebuilt);
    EXPECT_EQ(std::string::npos, text.find("EICAR-STANDARD")) << text;
    EXPECT_NE(std::string::npos, text.find("The attachment \"eicar.com\" was infected")) << text;
    EXPECT_NE(std::string::npos, text.find("The attachment \"setup.exe\" has been removed"))
        << text;
    EXPECT_NE(std::string::npos, text.find("Hello.")) << text;
    if (rebuilt != Path("body"))
        std::filesystem::remove(rebuilt);
    result->Release();
    job->Delete();
}

}  // namespace
