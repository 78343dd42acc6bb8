#include "gateway/content_filter.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "config/config_store.h"
#include "core/tests/support/files.h"
#include "core/tests/support/scoped_env.h"
#include "core/tests/support/temp_dir.h"
#include "core/tests/support/test_catalog.h"
#include "core/tests/support/vorn_helpers.h"
#include "gateway/dictionary_filter.h"
#include "net/mail_message.h"
#include "platform/clock.h"

namespace {

using testsupport::WriteWhole;

const std::string kSep = "\x1C";

const char kSinglePart[] =
    "From: a@example.org\r\n"
    "Subject: plain\r\n"
    "\r\n"
    "Hello.\r\n";

const char kMultipart[] =
    "From: a@example.org\r\n"
    "Subject: parts\r\n"
    "MIME-Version: 1.0\r\n"
    "Content-Type: multipart/mixed; boundary=\"XX\"\r\n"
    "\r\n"
    "--XX\r\n"
    "Content-Type: text/plain\r\n"
    "\r\n"
    "See the attachment.\r\n"
    "--XX\r\n"
    "Content-Type: application/pdf; name=\"a.pdf\"\r\n"
    "\r\n"
    "JVBERi0=\r\n"
    "--XX--\r\n";

class ContentFilterTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(
            0, testsupport::LoadBaseCatalog(
                   m_Temp.Path("messages"),
                   testsupport::NumberedCatalog(900, {{26, " %s %d"}, {449, " %s"}, {450, " %s"}}),
                   900));
        platform::SetTestTime(1704276000);
    }

    void TearDown() override {
        SetFilterObjects(nullptr, nullptr);
        m_Store.reset();
        platform::ClearTestTime();
        testsupport::ClearBaseCatalog();
    }

    // A parsed message over a file holding bytes.
    std::unique_ptr<CVornMailMessage> Message(const std::string& bytes) {
        const std::string path = m_Temp.Path("msg" + std::to_string(++m_Messages));
        WriteWhole(path, bytes);
        auto message = std::make_unique<CVornMailMessage>(
            path.c_str(), 0, 0, CVornMailMessage::kParseOnOpen, CVornMailMessage::kModeRead);
        EXPECT_EQ(0, message->Open());
        return message;
    }

    // A settings map of the items (CVornStringMap cannot be moved).
    static std::unique_ptr<CVornStringMap> Settings(
        const std::vector<std::pair<const char*, std::string>>& items) {
        auto map = std::make_unique<CVornStringMap>();
        for (const auto& item : items) map->Set(item.first, CVornString(item.second.c_str()));
        return map;
    }

    // RecheckFilter's answer and reason ("" when none).
    std::pair<int, std::string> Recheck(CVornMailMessage* message, const CVornStringMap& settings,
                                        const char* address = "s@example.org") {
        char* reason = reinterpret_cast<char*>(1);
        int result = RecheckFilter(address, message, settings, &reason);
        std::string text = reason ? reason : "";
        delete[] reason;
        return {result, text};
    }

    void UseDictionary(const std::vector<std::string>& lines) {
        std::string bytes = "# 2 1.0\n";
        for (std::string line : lines) {
            line += "\n";
            for (char& c : line) {
                unsigned char b = static_cast<unsigned char>(c);
                c = static_cast<char>(((b & 0x0F) << 4) | (b >> 4));
            }
            bytes += line;
        }
        WriteWhole(m_Temp.Path("base.dic"), bytes);
        m_Dictionary = std::make_unique<CDictionaryFilter>(m_Temp.Path("base.dic").c_str(),
                                                           m_Temp.Path("local.dic").c_str());
        SetFilterObjects(nullptr, m_Dictionary.get());
    }

    testsupport::TempDir m_Temp{"zelorm-content"};
    testsupport::ScopedEnv m_EventLog{"ZELORM_EVENTLOG", m_Temp.Path("events")};
    testsupport::ScopedEnv m_LockDir{"ZELORM_LOCK_DIR", m_Temp.Path("locks")};
    int m_Messages = 0;
    std::unique_ptr<CDictionaryFilter> m_Dictionary;
    std::unique_ptr<CVornConfigStore> m_Store;
};

TEST_F(ContentFilterTest, FilterModeSwitchesFilteringOn) {
    auto message = Message(kSinglePart);
    struct Case {
        const char* mode;  // null: no "FilterMode"
        int result;
    } cases[] = {{nullptr, 0}, {"U", 0}, {"Unfiltered", 0}, {"", 0}, {"u", 1}, {"A", 1}, {"F", 1}};
    for (const Case& c : cases) {
        std::vector<std::pair<const char*, std::string>> items = {{"BlockedMIMETypes", "text/*"}};
        if (c.mode)
            items.push_back({"FilterMode", c.mode});
        EXPECT_EQ(c.result, Recheck(message.get(), *Settings(items)).first)
            << (c.mode ? c.mode : "(missing)");
    }
}

TEST_F(ContentFilterTest, BlockedTypesAreTestedOnWhatTheMessageCarries) {
    auto single = Message(kSinglePart);
    auto multi = Message(kMultipart);
    struct Case {
        CVornMailMessage* message;
        std::string patterns;
        std::string reason;  // "" when not refused
    } cases[] = {
        // A body without a content type is text/plain.
        {single.get(), "text/*", "M449 text/plain\r\n"},
        {single.get(), "text/html", ""},
        // The main body of a multipart message is never tested itself.
        {multi.get(), "multipart/*", ""},
        {multi.get(), "image/*" + kSep + "APPLICATION/pdf", "M449 application/pdf\r\n"},
        {multi.get(), "*/pdf", "M449 application/pdf\r\n"},
        {multi.get(), "text/plain" + kSep + "application/pdf", "M449 text/plain\r\n"},
        {multi.get(), "", ""},
        {nullptr, "text/*", ""},
    };
    for (const Case& c : cases) {
        auto answer =
            Recheck(c.message, *Settings({{"FilterMode", "A"}, {"BlockedMIMETypes", c.patterns}}));
        EXPECT_EQ(c.reason.empty() ? 0 : 1, answer.first) << c.patterns;
        EXPECT_EQ(c.reason, answer.second) << c.patterns;
    }
}

TEST_F(ContentFilterTest, DictionaryScoresAreSummedUpToTheThreshold) {
    UseDictionary({"viagra:N:spam:english:30:0"});
    auto once = Message(std::string(kSinglePart) + "viagra\r\n");
    // Two pieces of 65536 bytes: the score of the second adds to the first.
    auto twice = Message(std::string(kSinglePart) + "viagra\r\n" + std::string(70000, '.') +
                         "\r\nviagra\r\n");
    struct Case {
        CVornMailMessage* message;
        const char* threshold;  // null: no "DDRThreshold"
        std::string dicts;
        int result;
    } cases[] = {
        {once.get(), nullptr, "spam", 0},  {once.get(), "0", "spam", 0},
        {once.get(), "-3", "spam", 0},     {once.get(), "30", "spam", 1},
        {once.get(), "30", "other", 0},    {once.get(), "30", "", 0},
        {twice.get(), nullptr, "spam", 1}, {nullptr, "1", "spam", 0},
    };
    for (const Case& c : cases) {
        std::vector<std::pair<const char*, std::string>> items = {{"FilterMode", "A"},
                                                                  {"DictsToUse", c.dicts}};
        if (c.threshold)
            items.push_back({"DDRThreshold", c.threshold});
        EXPECT_EQ(c.result, Recheck(c.message, *Settings(items)).first)
            << (c.threshold ? c.threshold : "(missing)") << " " << c.dicts;
    }

    // The reason names the address (without its line breaks) and what scored.
    auto answer = Recheck(twice.get(), *Settings({{"FilterMode", "A"}, {"DictsToUse", "spam"}}),
                          "bad\r\nInjected: x");
    EXPECT_EQ("M450 bad  Injected: x\r\nM818: viagra\r\nM818: viagra\r\n", answer.second);

    // Without a dictionary filter there is no dictionary test.
    SetFilterObjects(nullptr, nullptr);
    EXPECT_EQ(
        0, Recheck(once.get(),
                   *Settings({{"FilterMode", "A"}, {"DictsToUse", "spam"}, {"DDRThreshold", "1"}}))
               .first);
}

TEST_F(ContentFilterTest, FilterMessageUsesTheRecipientsSettings) {
    WriteWhole(m_Temp.Path("shared-config"),
               "# 2 0\r\nDS,FilterMode=U\r\nDUjoe,Cast=Filtered\r\n"
               "DGFiltered,FilterMode=A,BlockedMIMETypes=application/pdf\r\n");
    WriteWhole(m_Temp.Path("local-config"), "# 2 0\r\n");
    WriteWhole(m_Temp.Path("vendor-config"), "# 2 0\r\n");
    m_Store = std::make_unique<CVornConfigStore>(m_Temp.Path("shared-config").c_str(),
                                                 m_Temp.Path("local-config").c_str(),
                                                 m_Temp.Path("vendor-config").c_str());
    ASSERT_EQ(0, CVornConfigStore::Load(1));
    auto message = Message(kMultipart);

    char* reason = nullptr;
    EXPECT_EQ(1, FilterMessage("s@example.org", "joe", nullptr, message.get(), 1, &reason));
    ASSERT_NE(nullptr, reason);
    EXPECT_STREQ("M449 application/pdf\r\n", reason);
    delete[] reason;

    reason = reinterpret_cast<char*>(1);
    // Another user has the system's settings; no sender, no test.
    EXPECT_EQ(0, FilterMessage("s@example.org", "ann", nullptr, message.get(), 1, &reason));
    EXPECT_EQ(nullptr, reason);
    EXPECT_EQ(0, FilterMessage(nullptr, "joe", nullptr, message.get(), 1, &reason));
    EXPECT_EQ(0, FilterMessage("s@example.org", nullptr, nullptr, message.get(), 1, nullptr));
    EXPECT_EQ(1, FilterMessage("s@example.org", "joe", nullptr, message.get(), 1, nullptr));
}

}  // namespace
