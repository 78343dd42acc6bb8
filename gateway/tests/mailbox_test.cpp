#include "gateway/mailbox.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "config/config_store.h"
#include "core/clock.h"
#include "core/tests/support/child_holder.h"
#include "core/tests/support/files.h"
#include "core/tests/support/scoped_env.h"
#include "core/tests/support/temp_dir.h"
#include "core/tests/support/test_catalog.h"
#include "core/vorn_mutex.h"
#include "net/mail_message.h"
#include "platform/clock.h"

namespace {

namespace fs = std::filesystem;
using testsupport::ReadWhole;
using testsupport::WriteWhole;

const char kSep = '\x1C';

// A message with the fields the index takes.
std::string Message(const std::string& subject,
                    const std::string& date = "Mon, 01 Jan 2024 10:00:00 +0000",
                    const std::string& from = "Ann <ann@example.org>",
                    const std::string& to = "joe@example.org",
                    const std::string& body = "Hello.\r\n") {
    return "From: " + from + "\r\nTo: " + to + "\r\nSubject: " + subject + "\r\nDate: " + date +
           "\r\nMessage-Id: <" + subject + "@example.org>\r\n\r\n" + body;
}

const std::string kWithAttachment =
    "From: a@example.org\r\n"
    "To: joe@example.org\r\n"
    "Subject: parts\r\n"
    "Date: Tue, 02 Jan 2024 10:00:00 +0000\r\n"
    "Message-Id: <parts@example.org>\r\n"
    "MIME-Version: 1.0\r\n"
    "Content-Type: multipart/mixed; boundary=\"XX\"\r\n"
    "\r\n"
    "--XX\r\n"
    "Content-Type: text/plain\r\n"
    "\r\n"
    "See the attachment.\r\n"
    "--XX\r\n"
    "Content-Type: application/pdf; name=\"a.pdf\"\r\n"
    "Content-Disposition: attachment; filename=\"a.pdf\"\r\n"
    "\r\n"
    "JVBERi0=\r\n"
    "--XX--\r\n";

std::string Str(CVornString& s) {
    return std::string(s.CStr(), static_cast<size_t>(s.Length()));
}

std::vector<std::string> Split(const std::string& text, char sep) {
    std::vector<std::string> out(1);
    for (char c : text) {
        if (c == sep)
            out.emplace_back();
        else
            out.back() += c;
    }
    return out;
}

// The index's lines, each without its line end.
std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        out.push_back(line);
        start = end + 1;
    }
    return out;
}

struct Delivery {
    int result = 0;
    std::string uid;
    std::string reason;
};

// A process or thread that holds a mailbox open until told to close it.
class MailboxHolder : public testsupport::ChildHolder {
public:
    explicit MailboxHolder(bool dieHolding)
        : testsupport::ChildHolder(
              []() -> Release {
                  auto box = std::make_shared<CMailbox>("joe", "Inbox", 0);
                  if (!box->IsOpen())
                      return nullptr;
                  return [box] {
                      box->Close();
                      return true;
                  };
              },
              dieHolding) {}
};

class MailboxTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(0, testsupport::LoadBaseCatalog(
                         m_Temp.Path("messages"),
                         testsupport::NumberedCatalog(900, {{26, " %s %d"},
                                                            {74, " %s %s%.0d"},
                                                            {93, " %s %d"},
                                                            {95, " %s %d"},
                                                            {99, " %s %d"},
                                                            {107, " %s %d"},
                                                            {108, " %s %s %d"},
                                                            {449, " %s"},
                                                            {454, " %s %s%.0d"},
                                                            {455, " %s %s%.0d"},
                                                            {456, " %s %s%.0d"}}),
                         900));
        platform::SetTestTime(1704276000);  // 2024-01-03 10:00:00 UTC
        LoadConfig("DS,FilterMode=U");
        fs::create_directories(m_Store + "/joe");
        SetMailboxRoot(m_Store.c_str());
    }

    void TearDown() override {
        m_Config.reset();
        platform::ClearTestTime();
        testsupport::ClearBaseCatalog();
    }

    void LoadConfig(const std::string& lines) {
        WriteWhole(m_Temp.Path("shared-config"), "# 2 0\r\n" + lines + "\r\n");
        WriteWhole(m_Temp.Path("local-config"), "# 2 0\r\n");
        WriteWhole(m_Temp.Path("vendor-config"), "# 2 0\r\n");
        m_Config = std::make_unique<CVornConfigStore>(m_Temp.Path("shared-config").c_str(),
                                                      m_Temp.Path("local-config").c_str(),
                                                      m_Temp.Path("vendor-config").c_str());
        ASSERT_EQ(0, CVornConfigStore::Load(1));
    }

    Delivery Deliver(CMailbox& box, const std::string& bytes, int flags = 1, int filter = 0,
                     const char* sender = "s@example.org") {
        const std::string path = m_Temp.Path("source" + std::to_string(++m_Sources));
        WriteWhole(path, bytes);
        CVornMailMessage source(path.c_str(), 0, 0, CVornMailMessage::kParseOnOpen,
                                CVornMailMessage::kModeRead);
        EXPECT_EQ(0, source.Open());
        Delivery out;
        CVornString uid;
        char* reason = reinterpret_cast<char*>(1);
        out.result = box.Deliver(filter, flags, sender, &source, uid, &reason);
        out.uid = Str(uid);
        out.reason = reason ? reason : "";
        delete[] reason;
        source.Close();
        return out;
    }

    // "flags|From|sender|To|Date|length|Subject" of visible message n.
    std::string Entry(CMailbox& box, int n) {
        int flags = 0;
        long length = 0;
        CVornString from, sender, to, date, subject, uid;
        if (box.GetEntry(n, flags, from, sender, to, date, length, subject, uid) != 0)
            return "<none>";
        return std::to_string(flags) + "|" + Str(from) + "|" + Str(sender) + "|" + Str(to) + "|" +
               Str(date) + "|" + std::to_string(length) + "|" + Str(subject);
    }

    std::vector<std::string> Subjects(CMailbox& box) {
        std::vector<std::string> out;
        int flags = 0;
        long length = 0;
        CVornString from, sender, to, date, subject, uid;
        for (int n = 1; box.GetEntry(n, flags, from, sender, to, date, length, subject, uid) == 0;
             ++n)
            out.push_back(Str(subject));
        return out;
    }

    std::string Counts(CMailbox& box) {
        int messages = -1, unread = -1;
        long bytes = -1;
        if (box.GetCounts(messages, unread, bytes) != 0)
            return "<none>";
        return std::to_string(messages) + "/" + std::to_string(unread) + "/" +
               std::to_string(bytes);
    }

    // Three messages delivered in this order and the box closed again.
    void DeliverThree() {
        CMailbox box("joe", "Inbox", 0);
        ASSERT_EQ(kBoxLoaded, box.GetState());
        for (const char* subject : {"one", "two", "three"})
            ASSERT_EQ(0, Deliver(box, Message(subject), 1, 0,
                                 (std::string("s-") + subject + "@example.org").c_str())
                             .result);
        ASSERT_EQ(0, box.ClearFlags(2, 1));
        box.Close();
    }

    std::vector<std::string> Events() {
        std::vector<std::string> out = testsupport::ReadEvents(m_Temp.Path("events"));
        fs::remove(m_Temp.Path("events"));
        return out;
    }

    // A child process holding the mailbox; the clock thread is stopped
    // across the fork (a thread caught inside the allocator would leave
    // its lock held in the child).
    std::unique_ptr<MailboxHolder> Hold(bool dieHolding) {
        StopClock();
        auto holder = std::make_unique<MailboxHolder>(dieHolding);
        ResetClock();
        return holder;
    }

    void SetModTime(const std::string& path, time_t t) {
        struct timeval times[2] = {{t, 0}, {t, 0}};
        ASSERT_EQ(0, utimes(path.c_str(), times));
    }

    testsupport::TempDir m_Temp{"zelorm-mailbox"};
    testsupport::ScopedEnv m_EventLog{"ZELORM_EVENTLOG", m_Temp.Path("events")};
    testsupport::ScopedEnv m_LockDir{"ZELORM_LOCK_DIR", m_Temp.Path("locks")};
    std::string m_Store = m_Temp.Path("store");
    std::string m_Box = m_Store + "/joe/Inbox";
    std::string m_Index = m_Box + ".toc";
    int m_Sources = 0;
    std::unique_ptr<CVornConfigStore> m_Config;
};

TEST_F(MailboxTest, NamesOfLockAndPath) {
    CVornString out;
    // "QVBOXU" and the SHA-256 of user, NUL, mailbox.
    MailboxLockName("joe", "Inbox", out);
    EXPECT_EQ("QVBOXU0674cad560923f8356be53fdd1538aaae2f695f178c838dd732df5689eb19bc8", Str(out));
    // Every pair has a name of its own, of one length however long the
    // names: mailboxes that shared a lock would deadlock their set.
    const std::string user(127, 'u'), mailbox(126, 'm');
    const std::pair<std::string, std::string> pairs[] = {
        {"joe", "Inbox"},        {"joe", "inbox"},          {"aB", "x"},
        {"a", "Bx"},             {user, mailbox + "1"},     {user, mailbox + "2"},
    };
    std::set<std::string> names;
    for (const auto& [user, mailbox] : pairs) {
        MailboxLockName(user.c_str(), mailbox.c_str(), out);
        EXPECT_EQ(70u, Str(out).size()) << user << " " << mailbox;
        EXPECT_TRUE(names.insert(Str(out)).second) << user << " " << mailbox;
    }
    MailboxPath("joe", "Inbox", out);
    EXPECT_EQ(m_Box, Str(out));
    SetMailboxRoot("");
    SetMailboxRoot(nullptr);
    MailboxPath("joe", "Inbox", out);
    EXPECT_EQ(m_Box, Str(out));
}

TEST_F(MailboxTest, DeliveredMessagesAreIndexedListedAndReadBack) {
    CMailbox box("joe", "Inbox", 0);
    ASSERT_TRUE(box.IsOpen());
    ASSERT_EQ(kBoxLoaded, box.GetState());
    EXPECT_EQ("# 1 7\n", ReadWhole(m_Index));  // a new index ends its header in LF
    EXPECT_EQ("0/0/0", Counts(box));
    EXPECT_EQ(7, box.GetSortOrder());

    Delivery first = Deliver(
        box, Message("hello", "Mon, 01 Jan 2024 10:00:00 +0000", "\"Ann\" <ann@example.org>",
                     "joe@example.org, \"Doe, Jim\" <jim@example.org>"));
    ASSERT_EQ(0, first.result);
    EXPECT_EQ("", first.reason);
    EXPECT_FALSE(first.uid.empty());
    const long firstSize = static_cast<long>(fs::file_size(m_Box));
    Delivery second = Deliver(box, kWithAttachment, 0x41, 0, "");
    ASSERT_EQ(0, second.result);
    EXPECT_NE(first.uid, second.uid);

    const long total = static_cast<long>(fs::file_size(m_Box));
    EXPECT_EQ("2/2/" + std::to_string(total), Counts(box));
    EXPECT_EQ(
        "1|\"Ann\" <ann@example.org>|s@example.org|joe@example.org ...|"
        "Mon, 01 Jan 2024 10:00:00 +0000|" +
            std::to_string(firstSize) + "|hello",
        Entry(box, 1));
    EXPECT_EQ("97|a@example.org||joe@example.org|Tue, 02 Jan 2024 10:00:00 +0000|" +
                  std::to_string(total - firstSize) + "|parts",
              Entry(box, 2));
    EXPECT_EQ("<none>", Entry(box, 3));
    EXPECT_EQ("<none>", Entry(box, 0));

    // The stored file: each message behind its separator line.
    std::string file = ReadWhole(m_Box);
    EXPECT_EQ(0u, file.find(">From< s@example.org "));
    EXPECT_EQ(static_cast<size_t>(firstSize), file.find(">From< ??@?? "));

    // The index on disk, rewritten with CR LF.
    std::vector<std::string> lines = Lines(ReadWhole(m_Index));
    ASSERT_EQ(3u, lines.size());
    EXPECT_EQ("# 1 7", lines[0]);
    std::vector<std::string> fields = Split(lines[1], kSep);
    ASSERT_EQ(11u, fields.size());
    EXPECT_EQ("1", fields[0]);
    EXPECT_EQ("1704103200", fields[6]);  // the Date text parsed
    EXPECT_EQ(first.uid, fields[7]);
    EXPECT_EQ("0", fields[8]);
    EXPECT_EQ(std::to_string(firstSize), fields[9]);
    EXPECT_EQ("0", fields[10]);

    CVornMailMessage* message = nullptr;
    ASSERT_EQ(0, box.OpenMessage(1, message));
    ASSERT_NE(nullptr, message);
    CVornString line, subject;
    std::string text;
    while (message->ReadLine(line) > 0) text += Str(line);
    EXPECT_EQ(Message("hello", "Mon, 01 Jan 2024 10:00:00 +0000", "\"Ann\" <ann@example.org>",
                      "joe@example.org, \"Doe, Jim\" <jim@example.org>"),
              text);
    delete message;
    ASSERT_EQ(0, box.OpenMessage(2, message));
    EXPECT_EQ(0, message->GetHeader("Subject", subject));
    EXPECT_EQ("parts", Str(subject));
    delete message;
    EXPECT_EQ(1, box.OpenMessage(3, message));
    EXPECT_EQ(nullptr, message);

    long length = -1;
    CVornString uid;
    EXPECT_EQ(0, box.GetSizeAndUid(2, length, uid));
    EXPECT_EQ(total - firstSize, length);
    EXPECT_EQ(second.uid, Str(uid));
    EXPECT_EQ(1, box.GetSizeAndUid(5, length, uid));
    EXPECT_EQ(0, length);
    EXPECT_EQ(2, box.FindByUid(second.uid.c_str()));
    EXPECT_EQ(0, box.FindByUid("nothing"));

    // Clearing a flag rewrites the index and keeps the previous one as ".old".
    EXPECT_EQ(0, box.ClearFlags(1, 1));
    EXPECT_EQ("2/1/" + std::to_string(total), Counts(box));
    EXPECT_EQ(1, box.ClearFlags(3, 1));
    EXPECT_TRUE(fs::exists(m_Index + ".old"));
    EXPECT_FALSE(fs::exists(m_Index + ".new"));
    box.Close();
    EXPECT_FALSE(box.IsOpen());
    EXPECT_EQ("<none>", Counts(box));
    EXPECT_EQ(0, box.GetSortOrder());
    EXPECT_EQ(-1, Deliver(box, Message("closed")).result);

    // Another object finds the same index; nothing was reported on the way.
    CMailbox again("joe", "Inbox", 0);
    EXPECT_EQ("2/1/" + std::to_string(total), Counts(again));
    EXPECT_EQ(
        "0|\"Ann\" <ann@example.org>|s@example.org|joe@example.org ...|"
        "Mon, 01 Jan 2024 10:00:00 +0000|" +
            std::to_string(firstSize) + "|hello",
        Entry(again, 1));
    EXPECT_EQ(std::vector<std::string>{}, Events());
}

TEST_F(MailboxTest, ReopeningReloadsOnlyAnIndexThatChanged) {
    CMailbox first("joe", "Inbox", 0);
    ASSERT_EQ(0, Deliver(first, Message("one")).result);
    first.Close();

    CMailbox second("joe", "Inbox", 0);
    ASSERT_EQ(0, Deliver(second, Message("two")).result);
    second.Close();

    first.Open(0);
    EXPECT_EQ((std::vector<std::string>{"one", "two"}), Subjects(first));
    // Unchanged on disk: the entries in memory stand (here: the cleared flag).
    ASSERT_EQ(0, first.ClearFlags(1, 1));
    first.Close();
    first.Open(0);
    EXPECT_EQ("0", Entry(first, 1).substr(0, 1));
    EXPECT_EQ(std::vector<std::string>{}, Events());
}

TEST_F(MailboxTest, DeliveryKeepsTheSortOrderOfTheIndex) {
    // Three messages, delivered in this order, that every key sorts differently.
    struct Mail {
        const char* subject;
        const char* date;
        const char* from;
        const char* to;
        int bodyLines;
        int flags;
    };
    const Mail mails[] = {
        {"beta", "Tue, 02 Jan 2024 10:00:00 +0000", "\"Zed\" <z@x.org>", "b@x.org", 1, 1},
        {"Alpha", "Mon, 01 Jan 2024 10:00:00 +0000", "Amy <a@x.org>", "c@x.org", 30, 0x41},
        {"gamma", "Wed, 03 Jan 2024 10:00:00 +0000", "carl <c@x.org>", "\"a\" <a@x.org>", 10, 0},
    };
    struct Case {
        int order;
        std::vector<std::string> subjects;
    };
    const Case cases[] = {
        {1, {"Alpha", "beta", "gamma"}},  {2, {"gamma", "beta", "Alpha"}},
        {3, {"gamma", "beta", "Alpha"}},  {4, {"Alpha", "beta", "gamma"}},
        {5, {"Alpha", "gamma", "beta"}},  {6, {"beta", "gamma", "Alpha"}},
        {7, {"Alpha", "beta", "gamma"}},  {8, {"gamma", "beta", "Alpha"}},
        {9, {"beta", "gamma", "Alpha"}},  {10, {"Alpha", "gamma", "beta"}},
        {11, {"gamma", "beta", "Alpha"}}, {12, {"Alpha", "beta", "gamma"}},
        {0, {"Alpha", "beta", "gamma"}},  {13, {"Alpha", "beta", "gamma"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.order);
        fs::remove(m_Box);
        WriteWhole(m_Index, "# 1 " + std::to_string(c.order) + "\n");
        CMailbox box("joe", "Inbox", 0);
        ASSERT_EQ(kBoxLoaded, box.GetState());
        EXPECT_EQ(c.order, box.GetSortOrder());
        for (const Mail& m : mails) {
            std::string body;
            for (int i = 0; i < m.bodyLines; ++i) body += "line\r\n";
            ASSERT_EQ(0,
                      Deliver(box, Message(m.subject, m.date, m.from, m.to, body), m.flags).result);
        }
        EXPECT_EQ(c.subjects, Subjects(box));
        EXPECT_EQ("# 1 " + std::to_string(c.order), Lines(ReadWhole(m_Index))[0]);
    }
    EXPECT_EQ(std::vector<std::string>{}, Events());
}

TEST_F(MailboxTest, ADamagedIndexIsRebuiltFromTheMailboxFile) {
    DeliverThree();
    const std::string good = ReadWhole(m_Index);
    std::vector<std::string> lines = Lines(good);
    ASSERT_EQ(4u, lines.size());
    const std::string entries = lines[1] + "\r\n" + lines[2] + "\r\n" + lines[3] + "\r\n";
    // An entry line with one field replaced.
    auto withField = [&](size_t field, const std::string& value) {
        std::vector<std::string> fields = Split(lines[2], kSep);
        fields[field] = value;
        std::string line;
        for (size_t i = 0; i < fields.size(); ++i)
            line += (i ? std::string(1, kSep) : "") + fields[i];
        return "# 1 8\r\n" + lines[1] + "\r\n" + line + "\r\n" + lines[3] + "\r\n";
    };
    const std::string tenFields = lines[2].substr(0, lines[2].rfind(kSep));
    struct Case {
        const char* name;
        std::string index;
    };
    const Case cases[] = {
        {"no blank after #", "#1 8\r\n" + entries},
        {"empty file", ""},
        {"ten fields", "# 1 8\r\n" + lines[1] + "\r\n" + tenFields + "\r\n"},
        {"twelve fields", "# 1 8\r\n" + lines[1] + kSep + "0\r\n"},
        {"number field of 4096 bytes", withField(9, std::string(4095, '0') + "9")},
        {"negative offset", withField(8, "-5")},
        {"length 0", withField(9, "0")},
        {"length past the int range", withField(9, "2147483647")},
        {"line over the bound", "# 1 8\r\n" + std::string(70 * 1024, 'x') + "\r\n"},
        {"endless header", std::string(200 * 1024, '#')},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WriteWhole(m_Index, c.index);
        Events();
        CMailbox box("joe", "Inbox", 0);
        ASSERT_EQ(kBoxLoaded, box.GetState());
        // Every message again, in file order and unread, senders from the
        // separator lines.
        EXPECT_EQ((std::vector<std::string>{"one", "two", "three"}), Subjects(box));
        EXPECT_EQ("3/3/" + std::to_string(fs::file_size(m_Box)), Counts(box));
        EXPECT_EQ("s-two@example.org", Split(Entry(box, 2), '|')[2]);
        EXPECT_EQ((std::vector<std::string>{"2:M74 joe " + m_Index, "2:M454 joe " + m_Box}),
                  Events());
    }
    // Sorted by date newest first, the rebuilt index still stands in file order.
    WriteWhole(m_Index, withField(8, "-5"));
    CMailbox box("joe", "Inbox", 0);
    EXPECT_EQ(8, box.GetSortOrder());
    EXPECT_EQ((std::vector<std::string>{"one", "two", "three"}), Subjects(box));
}

TEST_F(MailboxTest, AStaleOrMismatchedIndexIsRebuilt) {
    DeliverThree();
    const std::string good = ReadWhole(m_Index);
    struct stat info;
    ASSERT_EQ(0, stat(m_Index.c_str(), &info));
    const time_t written = info.st_mtime;
    Events();

    // A mailbox file up to 60 s newer than its index is fine.
    SetModTime(m_Box, written + 60);
    {
        CMailbox box("joe", "Inbox", 0);
        EXPECT_EQ("3/2/" + std::to_string(fs::file_size(m_Box)), Counts(box));
        EXPECT_EQ(std::vector<std::string>{}, Events());
    }
    // Newer by more: rebuilt (every message unread again).
    SetModTime(m_Box, written + 61);
    {
        CMailbox box("joe", "Inbox", 0);
        EXPECT_EQ("3/3/" + std::to_string(fs::file_size(m_Box)), Counts(box));
        EXPECT_EQ(std::vector<std::string>{"2:M455 joe " + m_Box}, Events());
    }
    // A message appended by another writer: the lengths no longer add up.
    WriteWhole(m_Box, ReadWhole(m_Box) +
                          ">From< x@example.org Mon, 01 Jan 2024 10:00:00 +0000\r\n" +
                          Message("four"));
    SetModTime(m_Box, written);
    {
        CMailbox box("joe", "Inbox", 0);
        EXPECT_EQ((std::vector<std::string>{"one", "two", "three", "four"}), Subjects(box));
        EXPECT_EQ("x@example.org", Split(Entry(box, 4), '|')[2]);
        EXPECT_EQ(std::vector<std::string>{"2:M456 joe " + m_Box}, Events());
    }
    // No index at all beside a mailbox file: created, found short, rebuilt.
    fs::remove(m_Index);
    {
        CMailbox box("joe", "Inbox", 0);
        EXPECT_EQ(4u, Subjects(box).size());
        EXPECT_EQ(std::vector<std::string>{"2:M456 joe " + m_Box}, Events());
    }
    // The mailbox file gone: the index empties.
    fs::remove(m_Box);
    {
        CMailbox box("joe", "Inbox", 0);
        EXPECT_EQ("0/0/0", Counts(box));
    }
}

TEST_F(MailboxTest, HiddenEntriesAreLeftOutOfNumbersAndVisibleCounts) {
    DeliverThree();
    std::vector<std::string> lines = Lines(ReadWhole(m_Index));
    std::string uid1 = Split(lines[1], kSep)[7];
    std::string uid3 = Split(lines[3], kSep)[7];
    lines[1].back() = '1';  // hidden
    WriteWhole(m_Index,
               lines[0] + "\r\n" + lines[1] + "\r\n" + lines[2] + "\r\n" + lines[3] + "\r\n");

    CMailbox box("joe", "Inbox", 0);
    EXPECT_EQ((std::vector<std::string>{"two", "three"}), Subjects(box));
    int messages = 0, unread = 0;
    long bytes = 0, length = 0;
    ASSERT_EQ(0, box.GetVisibleCounts(messages, unread, bytes));
    EXPECT_EQ(2, messages);
    EXPECT_EQ(1, unread);
    CVornString uid;
    ASSERT_EQ(0, box.GetSizeAndUid(2, length, uid));
    EXPECT_EQ(uid3, Str(uid));
    EXPECT_EQ(bytes, length + std::stol(Split(lines[2], kSep)[9]));
    EXPECT_EQ(3, std::stoi(Counts(box)));
    EXPECT_EQ(0, box.FindByUid(uid1.c_str()));
    EXPECT_EQ(2, box.FindByUid(uid3.c_str()));
    CVornMailMessage* message = nullptr;
    ASSERT_EQ(0, box.OpenMessage(1, message));
    CVornString subject;
    message->GetHeader("Subject", subject);
    EXPECT_EQ("two", Str(subject));
    delete message;
    box.Close();

    // The filter's re-check, without the message text, never refuses: the
    // mark goes.
    box.Open(1);
    EXPECT_EQ((std::vector<std::string>{"one", "two", "three"}), Subjects(box));
}

TEST_F(MailboxTest, TheContentFilterRefusesAtDelivery) {
    LoadConfig("DS,FilterMode=F,BlockedMIMETypes=application/pdf");
    CMailbox box("joe", "Inbox", 0);
    Delivery refused = Deliver(box, kWithAttachment, 1, 1);
    EXPECT_EQ(1, refused.result);
    EXPECT_EQ("M449 application/pdf\r\n", refused.reason);
    EXPECT_EQ("", refused.uid);
    EXPECT_EQ("0/0/0", Counts(box));
    EXPECT_FALSE(fs::exists(m_Box));
    // Without the filter flag it is stored.
    EXPECT_EQ(0, Deliver(box, kWithAttachment, 1, 0).result);
    EXPECT_EQ(1, std::stoi(Counts(box)));
}

TEST_F(MailboxTest, HeaderTextsCannotBreakTheIndex) {
    CMailbox box("joe", "Inbox", 0);
    // A field separator inside the Subject, a sender with a line break, and
    // a From of 1000 folded lines.
    std::string longFrom = "a@example.org";
    for (int i = 0; i < 1000; ++i) longFrom += "\r\n (comment " + std::to_string(i) + ")";
    Delivery d = Deliver(
        box, Message(std::string("x") + kSep + "y", "Mon, 01 Jan 2024 10:00:00 +0000", longFrom), 1,
        0, "s@example.org\r\nevil");
    ASSERT_EQ(0, d.result);
    box.Close();
    std::vector<std::string> lines = Lines(ReadWhole(m_Index));
    ASSERT_EQ(2u, lines.size());
    std::vector<std::string> fields = Split(lines[1], kSep);
    ASSERT_EQ(11u, fields.size());
    EXPECT_EQ("x y", fields[5]);
    EXPECT_EQ("s@example.org  evil", fields[2]);
    EXPECT_LE(fields[1].size(), kMaxIndexText);
    EXPECT_GT(fields[1].size(), kMaxIndexText - 2);

    CMailbox again("joe", "Inbox", 0);
    EXPECT_EQ(kBoxLoaded, again.GetState());
    EXPECT_EQ(std::vector<std::string>{"x y"}, Subjects(again));
    EXPECT_EQ(std::vector<std::string>{}, Events());
}

TEST_F(MailboxTest, UnusableNamesNeverOpen) {
    const std::string longName(4096 - m_Store.size() - 5 - 8, 'b');
    struct Case {
        const char* user;
        std::string mailbox;
    };
    const Case cases[] = {
        {"", "Inbox"},   {"..", "Inbox"}, {"a/b", "Inbox"},  {"joe", "."},
        {"joe", "../x"}, {"joe", "x\ny"}, {"joe", longName},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.user + std::string(" ") + c.mailbox.substr(0, 20));
        CMailbox box(c.user, c.mailbox.c_str(), 0);
        EXPECT_FALSE(box.IsOpen());
        EXPECT_EQ(kBoxNoIndex, box.GetState());
        EXPECT_EQ(-1, Deliver(box, Message("x")).result);
        EXPECT_EQ(1, DeleteMailboxFiles(c.user, c.mailbox.c_str()));
    }
    // Refused before any file was touched.
    EXPECT_EQ(std::vector<std::string>{}, Events());
    std::vector<std::string> left;
    for (const auto& e : fs::directory_iterator(m_Store)) left.push_back(e.path().filename());
    EXPECT_EQ(std::vector<std::string>{"joe"}, left);

    // Without names nothing is opened; without a directory no index is made.
    CMailbox unnamed(nullptr, nullptr, 0);
    EXPECT_EQ(kBoxNotLoaded, unnamed.GetState());
    EXPECT_FALSE(unnamed.IsOpen());
    CMailbox nowhere("ann", "Inbox", 0);
    EXPECT_EQ(kBoxNoIndex, nowhere.GetState());
    EXPECT_TRUE(nowhere.IsOpen());
    EXPECT_EQ(-1, Deliver(nowhere, Message("x")).result);
    EXPECT_FALSE(fs::exists(m_Store + "/ann"));
    std::vector<std::string> events = Events();
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(0u, events[0].rfind("1:M93 " + m_Store + "/ann/Inbox.toc ", 0)) << events[0];
}

TEST_F(MailboxTest, DeleteMailboxFilesRemovesEveryFileOfTheMailbox) {
    DeliverThree();
    for (const char* suffix : {".new", ".old", ".toc.new", ".toc.old"})
        WriteWhole(m_Box + suffix, "x");
    WriteWhole(m_Store + "/joe/Inbox2", "other");
    EXPECT_EQ(0, DeleteMailboxFiles("joe", "Inbox"));
    std::vector<std::string> left;
    for (const auto& e : fs::directory_iterator(m_Store + "/joe"))
        left.push_back(e.path().filename());
    EXPECT_EQ(std::vector<std::string>{"Inbox2"}, left);
    EXPECT_EQ(0, DeleteMailboxFiles("joe", "Inbox"));  // nothing left: no error
    EXPECT_EQ(1, DeleteMailboxFiles(nullptr, "Inbox"));
    EXPECT_EQ(1, DeleteMailboxFiles("joe", nullptr));
}

TEST_F(MailboxTest, AnotherProcessHoldingTheMailboxMakesOpenWait) {
    DeliverThree();
    CMailbox box("joe", "Inbox", 0);
    box.Close();
    std::unique_ptr<MailboxHolder> child = Hold(false);
    MailboxHolder& holder = *child;
    ASSERT_TRUE(holder.Started());
    ASSERT_EQ('y', holder.Report());

    CVornString lockName;
    MailboxLockName("joe", "Inbox", lockName);
    CVornMutex probe(lockName.CStr());
    EXPECT_EQ(1, probe.TryLock());
    std::atomic<bool> opened{false};
    std::thread opener([&] {
        box.Open(0);
        opened = box.IsOpen() && box.GetState() == kBoxLoaded && Subjects(box).size() == 3;
        box.Close();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    // Still waiting; asking whether it is open does not wait with it.
    EXPECT_FALSE(opened);
    EXPECT_FALSE(box.IsOpen());
    holder.Command();
    EXPECT_EQ('r', holder.Report());
    opener.join();
    EXPECT_TRUE(opened);
    EXPECT_TRUE(holder.Reap());
    EXPECT_EQ(0, probe.TryLock());
    probe.Unlock();
}

TEST_F(MailboxTest, AMailboxLeftByADeadProcessIsTakenOver) {
    DeliverThree();
    {
        std::unique_ptr<MailboxHolder> holder = Hold(true);
        ASSERT_TRUE(holder->Started());
        ASSERT_EQ('y', holder->Report());
        holder->Command();
        holder->Reap();
    }
    CMailbox box("joe", "Inbox", 0);
    EXPECT_TRUE(box.IsOpen());
    EXPECT_EQ(3u, Subjects(box).size());
}

TEST_F(MailboxTest, TheMailboxBelongsToTheThreadThatOpenedIt) {
    CMailbox box("joe", "Inbox", 0);
    ASSERT_EQ(0, Deliver(box, Message("one")).result);

    // Another thread waits until the holder closes; a close from it is refused.
    std::atomic<bool> opened{false};
    std::thread other([&] {
        box.Close();
        CMailbox second("joe", "Inbox", 0);
        opened = second.IsOpen();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(opened);
    EXPECT_TRUE(box.IsOpen());
    // The holder opening again holds no second level: one close frees it.
    box.Open(0);
    EXPECT_EQ(1u, Subjects(box).size());
    box.Close();
    other.join();
    EXPECT_TRUE(opened);
}

}  // namespace
