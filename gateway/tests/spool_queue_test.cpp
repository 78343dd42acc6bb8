#include "gateway/spool_queue.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/tests/support/child_holder.h"
#include "core/vorn_mutex.h"
#include "gateway/queued_message.h"
#include "gateway/tests/support/spool_fixture.h"
#include "core/pseudo_random.h"
#include "core/tests/support/vorn_helpers.h"

namespace {

namespace fs = std::filesystem;
using spooltest::ReadWhole;
using spooltest::WriteWhole;

// Holds the lock of a message in a forked child.
class MessageHolder : public testsupport::ChildHolder {
public:
    explicit MessageHolder(const std::string& name)
        : testsupport::ChildHolder(
              [name]() -> Release {
                  auto m = std::make_shared<CVornMutex>(("TKMSG" + name).c_str());
                  m->Lock();
                  return [m] {
                      m->Unlock();
                      return true;
                  };
              },
              false) {}
};

class SpoolQueueTest : public spooltest::SpoolTest {
protected:
    // A complete spooled message with one recipient; its name.
    std::string MakeMessage(const char* recipient = "r@x.org") {
        CQueuedMessage message;
        EXPECT_EQ(0, message.Open(nullptr, m_Spool.c_str()));
        EXPECT_EQ(0, message.Lock());
        EXPECT_EQ(0, message.SetSender("s@x.org"));
        message.SetComplete(1);
        EXPECT_EQ(0, message.AddRecipient(recipient, 1, 0, 0));
        EXPECT_EQ(0, message.OpenBodyForWrite(2, 0));
        EXPECT_EQ(0, message.AppendBody(CVornString("Subject: t\r\n\r\nbody\r\n")));
        EXPECT_EQ(0, message.CloseBody());
        EXPECT_EQ(0, message.WriteEnvelope());
        message.Unlock();
        return message.GetName();
    }

    // "name:state:queued:last" per entry.
    static std::vector<std::string> Entries(CMessageQueue& queue) {
        std::vector<std::string> out;
        for (const QueueEntry& e : queue.Snapshot())
            out.push_back(e.m_Name + ":" + std::to_string(e.m_State) + ":" +
                          std::to_string(e.m_Queued) + ":" + std::to_string(e.m_LastAttempt));
        return out;
    }

    static std::string Take(CMessageQueue& queue, const std::string& directory) {
        CQueuedMessage* message = queue.TakeNext(directory.c_str());
        if (!message)
            return "<none>";
        std::string name = message->GetName();
        EXPECT_TRUE(message->IsLocked());
        taken().push_back(std::unique_ptr<CQueuedMessage>(message));
        return name;
    }

    // Messages taken and not yet handed back, by name.
    static std::vector<std::unique_ptr<CQueuedMessage>>& taken() {
        static std::vector<std::unique_ptr<CQueuedMessage>> s_Taken;
        return s_Taken;
    }
    CQueuedMessage* Taken(const std::string& name) {
        for (auto& m : taken()) {
            if (m && m->GetName() == name)
                return m.release();
        }
        return nullptr;
    }

    void TearDown() override {
        taken().clear();
        SpoolTest::TearDown();
    }

    void SetModTime(const std::string& path, time_t t) {
        struct timeval times[2] = {{t, 0}, {t, 0}};
        ASSERT_EQ(0, utimes(path.c_str(), times));
    }

    bool LockIsFree(const std::string& name) {
        bool free = false;
        std::thread other([&] {
            CVornMutex m(("TKMSG" + name).c_str());
            free = m.TryLock() == 0;
            if (free)
                m.Unlock();
        });
        other.join();
        return free;
    }
};

TEST_F(SpoolQueueTest, NewEntriesAreDueAtOnceReleasedOnesAfterTheRetryInterval) {
    CMessageQueue fast("fastq", m_Spool.c_str());
    std::string a = MakeMessage();
    std::string b = MakeMessage();
    ASSERT_EQ(0, fast.Add(a.c_str(), m_Now, 0));
    ASSERT_EQ(0, fast.Add(b.c_str(), 0, 0));
    std::string now = std::to_string(m_Now);
    EXPECT_EQ(now + " 0 " + a + "\r\n0 0 " + b + "\r\n", spooltest::LiveIndex(SpoolPath("fastq")));
    // Time queued 0 is written as given, held as now.
    EXPECT_EQ((std::vector<std::string>{a + ":1:" + now + ":0", b + ":1:" + now + ":0"}),
              Entries(fast));

    EXPECT_EQ(a, Take(fast, m_Spool));
    EXPECT_EQ(b, Take(fast, m_Spool));
    EXPECT_EQ("<none>", Take(fast, m_Spool));
    EXPECT_EQ(0, fast.Release(Taken(a)));
    EXPECT_TRUE(LockIsFree(a));
    EXPECT_EQ(a + ":1:" + now + ":" + now, Entries(fast)[0]);

    SetClock(m_Now + 900);
    EXPECT_EQ("<none>", Take(fast, m_Spool));
    SetClock(m_Now + 1);
    EXPECT_EQ(a, Take(fast, m_Spool));
}

// Another process's rewrite can leave the index's stamp as it was (file
// times move in clock ticks, sizes match, inode numbers are reused): the
// queue must still see the change.
TEST_F(SpoolQueueTest, AnIndexChangedBehindAnUnchangedStampIsStillRead) {
    CMessageQueue fast("fastq", m_Spool.c_str());
    std::string a = MakeMessage();
    std::string b = MakeMessage();
    ASSERT_EQ(a.size(), b.size());
    ASSERT_EQ(0, fast.Add(a.c_str(), 1, 0));
    ASSERT_TRUE(fast.Holds(a.c_str()));

    struct stat before;
    ASSERT_EQ(0, stat(SpoolPath("fastq").c_str(), &before));
    WriteWhole(SpoolPath("fastq"), "1 0 " + b + "\r\n");  // same file, same size
    struct timespec times[2] = {before.st_atim, before.st_mtim};
    ASSERT_EQ(0, utimensat(AT_FDCWD, SpoolPath("fastq").c_str(), times, 0));

    EXPECT_EQ(b, Take(fast, m_Spool));
    EXPECT_EQ("<none>", Take(fast, m_Spool));
}

TEST_F(SpoolQueueTest, BadNamesAreRefused) {
    CMessageQueue fast("fastq", m_Spool.c_str());
    ASSERT_EQ(0, fast.Add("Mok", 1, 0));
    std::string before = spooltest::LiveIndex(SpoolPath("fastq"));
    const std::string cases[] = {"", "a b", "a\r\n1 2 evil", "a\tb", std::string(4096, 'M')};
    for (const std::string& name : cases) EXPECT_EQ(1, fast.Add(name.c_str(), 1, 0)) << name;
    EXPECT_EQ(1, fast.Add(nullptr, 1, 0));
    EXPECT_EQ(0, fast.Add(std::string(4095, 'M').c_str(), 1, 0));
    EXPECT_EQ(before + "1 0 " + std::string(4095, 'M') + "\r\n", spooltest::LiveIndex(SpoolPath("fastq")));
}

TEST_F(SpoolQueueTest, DeletedIndexIsWrittenAgainFromMemory) {
    CMessageQueue fast("fastq", m_Spool.c_str());
    ASSERT_EQ(0, fast.Add("M1", 1, 0));
    ASSERT_EQ(0, fast.Add("M2", 2, 0));
    fs::remove(SpoolPath("fastq"));
    ASSERT_EQ(0, fast.Add("M3", 3, 0));
    EXPECT_EQ("1 0 M1\r\n2 0 M2\r\n3 0 M3\r\n", spooltest::LiveIndex(SpoolPath("fastq")));
    EXPECT_EQ(fs::perms::owner_read | fs::perms::owner_write, fs::status(SpoolPath("fastq")).permissions() & fs::perms::all);
    fs::remove(SpoolPath("fastq"));
    EXPECT_EQ("<none>", Take(fast, m_Spool));  // M1..M3 have no envelopes
    EXPECT_EQ("", spooltest::LiveIndex(SpoolPath("fastq")));
    EXPECT_TRUE(fs::exists(SpoolPath("fastq")));
}

TEST_F(SpoolQueueTest, IndexChangesOfAnotherWriterAreMirrored) {
    CMessageQueue fast("fastq", m_Spool.c_str());
    std::string a = MakeMessage();
    std::string b = MakeMessage();
    ASSERT_EQ(0, fast.Add(a.c_str(), 1, 0));
    ASSERT_EQ(0, fast.Add(b.c_str(), 2, 0));
    EXPECT_EQ(a, Take(fast, m_Spool));

    // Another process rewrites the index: drops both lines, adds two and
    // some malformed ones.
    WriteWhole(SpoolPath("fastq"), "5 0 Mext\r\n6 7 Mother\nbad line\r\n1 2\r\n1 x M3\r\n\r\n8 9 " +
                                       std::string(4096, 'M') + "\r\n");
    EXPECT_EQ((std::vector<std::string>{"Mext:1:5:0", "Mother:1:6:7", a + ":2:1:0"}),
              Entries(fast));
    // The next rewrite keeps the other writer's lines.
    EXPECT_EQ(0, fast.Remove(Taken(a), 0));
    EXPECT_EQ("5 0 Mext\r\n6 7 Mother\r\n", spooltest::LiveIndex(SpoolPath("fastq")));
    // An append by the other writer appears at the next operation.
    WriteWhole(SpoolPath("fastq"), ReadWhole(SpoolPath("fastq")) + "9 0 " + b + "\r\n");
    EXPECT_TRUE(fast.Holds(b.c_str()));
    EXPECT_EQ(b, Take(fast, m_Spool));  // Mext and Mother have no envelope
    EXPECT_EQ("9 0 " + b + "\r\n", spooltest::LiveIndex(SpoolPath("fastq")));
}

// A finished or moved message is dropped by a removal line; other readers
// (another process) see it gone; once removal lines would make up most of
// the file, it is rewritten with the live entries alone.
TEST_F(SpoolQueueTest, RemovalsAreAppendedUntilTheIndexIsCompacted) {
    CMessageQueue fast("fastq", m_Spool.c_str());
    CMessageQueue other("fastq", m_Spool.c_str());
    std::string a = MakeMessage();
    std::string b = MakeMessage();
    ASSERT_EQ(0, fast.Add(a.c_str(), 1, 0));
    ASSERT_EQ(0, fast.Add(b.c_str(), 2, 0));
    EXPECT_EQ((std::vector<std::string>{a + ":1:1:0", b + ":1:2:0"}), Entries(other));
    EXPECT_EQ(a, Take(fast, m_Spool));
    std::string before = ReadWhole(SpoolPath("fastq"));
    EXPECT_EQ(0, fast.Remove(Taken(a), 1));
    EXPECT_EQ(before + "- " + a + "\r\n", ReadWhole(SpoolPath("fastq")));
    EXPECT_EQ((std::vector<std::string>{b + ":1:2:0"}), Entries(other));
    EXPECT_EQ("2 0 " + b + "\r\n", spooltest::LiveIndex(SpoolPath("fastq")));

    const size_t cycles = CMessageQueue::kRemovalLineSlack + 10;
    for (size_t i = 0; i < cycles; ++i) {
        auto* m = new CQueuedMessage();
        ASSERT_EQ(0, m->Open(nullptr, m_Spool.c_str()));
        ASSERT_EQ(0, fast.Add(m->GetName(), 3, 0));
        ASSERT_EQ(0, fast.Remove(m, 0));
    }
    std::string index = ReadWhole(SpoolPath("fastq"));
    size_t lines = static_cast<size_t>(std::count(index.begin(), index.end(), '\n'));
    EXPECT_LT(lines, cycles) << "never compacted";
    EXPECT_EQ("2 0 " + b + "\r\n", spooltest::LiveIndex(SpoolPath("fastq")));
    EXPECT_EQ((std::vector<std::string>{b + ":1:2:0"}), Entries(other));
    EXPECT_EQ((std::vector<std::string>{b + ":1:2:0"}), Entries(fast));
}

TEST_F(SpoolQueueTest, UnreadableEnvelopeIsSetAsideAndReported) {
    CMessageQueue fast("fastq", m_Spool.c_str());
    std::string bad = MakeMessage();
    std::string good = MakeMessage();
    WriteWhole(SpoolPath(bad + ".env"), "# 2 1\r\n1\r\n");
    ASSERT_EQ(0, fast.Add("Mgone", 1, 0));
    ASSERT_EQ(0, fast.Add(bad.c_str(), 1, 0));
    ASSERT_EQ(0, fast.Add(good.c_str(), 1, 0));
    Events();
    EXPECT_EQ(good, Take(fast, m_Spool));
    EXPECT_EQ("1 0 " + good + "\r\n", spooltest::LiveIndex(SpoolPath("fastq")));
    EXPECT_FALSE(fs::exists(SpoolPath(bad + ".env")));
    EXPECT_EQ("# 2 1\r\n1\r\n", ReadWhole(SpoolPath("badmail/" + bad + ".env")));
    EXPECT_TRUE(fs::exists(SpoolPath("badmail/" + bad + ".mes")));
    std::vector<std::string> events = Events();
    ASSERT_EQ(1u, events.size());  // the vanished message is dropped silently
    EXPECT_EQ("1:M824 " + bad + " " + SpoolPath("badmail"), events[0]);
    EXPECT_TRUE(LockIsFree(bad));
}

TEST_F(SpoolQueueTest, EntriesOfOneNameAreResetAndRemovedTogether) {
    CMessageQueue slow("slowq", m_Spool.c_str());
    std::string a = MakeMessage();
    ASSERT_EQ(0, slow.Add(a.c_str(), 1, 0));
    ASSERT_EQ(0, slow.Add("Mx", 2, 0));
    ASSERT_EQ(0, slow.Add(a.c_str(), 3, 0));
    EXPECT_EQ(a, Take(slow, m_Spool));
    SetClock(m_Now + 5);
    EXPECT_EQ(0, slow.Release(Taken(a)));
    std::string t = std::to_string(m_Now);
    EXPECT_EQ("1 " + t + " " + a + "\r\n2 0 Mx\r\n3 " + t + " " + a + "\r\n",
              spooltest::LiveIndex(SpoolPath("slowq")));
    SetClock(m_Now + 901);
    EXPECT_EQ(a, Take(slow, m_Spool));
    EXPECT_EQ(0, slow.Remove(Taken(a), 1));
    EXPECT_EQ("2 0 Mx\r\n", spooltest::LiveIndex(SpoolPath("slowq")));
    EXPECT_FALSE(fs::exists(SpoolPath(a + ".env")));
    EXPECT_FALSE(fs::exists(SpoolPath(a + ".mes")));
    EXPECT_TRUE(LockIsFree(a));
}

TEST_F(SpoolQueueTest, BusyMessageIsSkippedAndLeftReady) {
    CMessageQueue fast("fastq", m_Spool.c_str());
    std::string a = MakeMessage();
    std::string b = MakeMessage();
    ASSERT_EQ(0, fast.Add(a.c_str(), 1, 0));
    ASSERT_EQ(0, fast.Add(b.c_str(), 2, 0));
    {
        MessageHolder holder(a);
        ASSERT_TRUE(holder.Started());
        ASSERT_EQ('y', holder.Report());
        EXPECT_EQ(b, Take(fast, m_Spool));
        EXPECT_EQ("<none>", Take(fast, m_Spool));
        EXPECT_EQ(a + ":1:1:0", Entries(fast)[0]);
        holder.Command();
        ASSERT_EQ('r', holder.Report());
        ASSERT_TRUE(holder.Reap());
    }
    EXPECT_EQ(a, Take(fast, m_Spool));
}

TEST_F(SpoolQueueTest, MoveGoesToTheTargetOrReleasesTheMessage) {
    CMessageQueue fast("fastq", m_Spool.c_str());
    CMessageQueue slow("slowq", m_Spool.c_str());
    std::string a = MakeMessage();
    std::string b = MakeMessage();
    ASSERT_EQ(0, fast.Add(a.c_str(), 1, 0));
    ASSERT_EQ(0, fast.Add(b.c_str(), 2, 0));
    EXPECT_EQ(a, Take(fast, m_Spool));
    EXPECT_EQ(0, fast.MoveTo(Taken(a), slow));
    std::string t = std::to_string(m_Now);
    EXPECT_EQ(t + " " + t + " " + a + "\r\n", spooltest::LiveIndex(SpoolPath("slowq")));
    EXPECT_EQ("2 0 " + b + "\r\n", spooltest::LiveIndex(SpoolPath("fastq")));
    EXPECT_TRUE(fs::exists(SpoolPath(a + ".env")));
    EXPECT_TRUE(LockIsFree(a));

    // A target whose index cannot be written: the message is released.
    fs::create_directory(SpoolPath("brokenq"));
    CMessageQueue broken("brokenq", m_Spool.c_str());
    EXPECT_EQ(b, Take(fast, m_Spool));
    Events();
    EXPECT_EQ(1, fast.MoveTo(Taken(b), broken));
    EXPECT_EQ((std::vector<std::string>{b + ":1:2:" + t}), Entries(fast));
    EXPECT_TRUE(LockIsFree(b));
    EXPECT_TRUE(HasEvent("2:M827 " + b + " fastq -> brokenq"));
    SetClock(m_Now + 901);
    EXPECT_EQ(b, Take(fast, m_Spool));
}

TEST_F(SpoolQueueTest, MissingIndexIsRestoredAtTheFirstAccess) {
    struct Case {
        std::vector<std::string> files;  // suffix=content
        const char* expected;
    } cases[] = {
        {{"_old=1 0 Ma\r\n2 0 Mb\r\n"}, "Ma:1:1:0|Mb:1:2:0|"},
        {{"_old=1 0 Ma\r\n", "_new=3 0 Mc\r\n"}, "Mc:1:3:0|"},
        {{}, ""},
    };
    for (const Case& c : cases) {
        fs::remove(SpoolPath("fastq"));
        fs::remove(SpoolPath("fastq_old"));
        fs::remove(SpoolPath("fastq_new"));
        for (const std::string& f : c.files)
            WriteWhole(SpoolPath("fastq" + f.substr(0, 4)), f.substr(5));
        Events();
        CMessageQueue fast("fastq", m_Spool.c_str());
        std::string got;
        for (const std::string& e : Entries(fast)) got += e + "|";
        EXPECT_EQ(c.expected, got);
        EXPECT_TRUE(fs::exists(SpoolPath("fastq")));
        EXPECT_EQ(!c.files.empty(), HasEvent("2:M826 " + SpoolPath("fastq")));
    }
}

TEST_F(SpoolQueueTest, IndexSurvivesAWriterKilledAtAnyMoment) {
    std::vector<std::string> names;
    for (int i = 0; i < 4; ++i) names.push_back(MakeMessage());
    for (int round = 0; round < 6; ++round) {
        int report[2];
        ASSERT_EQ(0, pipe(report));
        pid_t child = testsupport::ForkWithoutThreads();
        ASSERT_GE(child, 0);
        if (child == 0) {
            close(report[0]);
            CMessageQueue fast("fastq", m_Spool.c_str());
            for (int i = 0;; ++i) {
                const std::string& name = names[static_cast<size_t>(i) % names.size()];
                fast.Add(name.c_str(), i, 0);
                if (CQueuedMessage* m = fast.TakeNext(m_Spool.c_str()))
                    fast.Release(m);
                if (i == round * 5)
                    (void)!write(report[1], "w", 1);
            }
        }
        close(report[1]);
        char byte = 0;
        ASSERT_EQ(1, read(report[0], &byte, 1));
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
        close(report[0]);

        ASSERT_TRUE(fs::exists(SpoolPath("fastq"))) << "round " << round;
        std::string index = ReadWhole(SpoolPath("fastq"));
        ASSERT_FALSE(index.empty());
        EXPECT_EQ("\r\n", index.substr(index.size() - 2)) << "round " << round;
        // Every line is whole: the queue reads as many entries as there
        // are live entry lines.
        std::string live = spooltest::LiveIndex(SpoolPath("fastq"));
        CMessageQueue fast("fastq", m_Spool.c_str());
        EXPECT_EQ(static_cast<size_t>(std::count(live.begin(), live.end(), '\n')),
                  fast.Snapshot().size());
    }
}

TEST_F(SpoolQueueTest, RecoveryQueuesOrphansAndClearsOldReservations) {
    CMessageQueue fast("fastq", m_Spool.c_str());
    CMessageQueue slow("slowq", m_Spool.c_str());
    std::string orphan = MakeMessage();
    std::string queued = MakeMessage();
    std::string held = MakeMessage();
    ASSERT_EQ(0, fast.Add(queued.c_str(), 1, 0));
    WriteWhole(SpoolPath(queued + ".env_new"), "# 2 1\r\n");
    WriteWhole(SpoolPath("Mold.env"), "");
    WriteWhole(SpoolPath("Mold.mes"), "partial");
    SetModTime(SpoolPath("Mold.env"), m_Now - 601);
    WriteWhole(SpoolPath("Myoung.env"), "");
    SetModTime(SpoolPath("Myoung.env"), m_Now - 10);
    WriteWhole(SpoolPath("Mbad.env"), "not an envelope\r\n");
    WriteWhole(SpoolPath("Mlonely.mes"), "body");
    SetModTime(SpoolPath("Mlonely.mes"), m_Now - 601);
    WriteWhole(SpoolPath("Mfresh.mes"), "body");
    SetModTime(SpoolPath("Mfresh.mes"), m_Now - 10);
    WriteWhole(SpoolPath("notes.txt"), "left alone");

    MessageHolder holder(held);
    ASSERT_TRUE(holder.Started());
    ASSERT_EQ('y', holder.Report());
    Events();
    EXPECT_EQ(1, RecoverSpool(m_Spool.c_str(), fast, slow, 600));

    std::string t = std::to_string(m_Now);
    EXPECT_EQ(t + " 0 " + orphan + "\r\n", spooltest::LiveIndex(SpoolPath("slowq")));
    EXPECT_EQ("1 0 " + queued + "\r\n", spooltest::LiveIndex(SpoolPath("fastq")));
    std::set<std::string> left;
    for (const auto& entry : fs::directory_iterator(m_Spool)) left.insert(entry.path().filename());
    std::set<std::string> expected = {orphan + ".env", orphan + ".mes", queued + ".env",
                                      queued + ".mes", held + ".env",   held + ".mes",
                                      "Myoung.env",    "Mfresh.mes",    "badmail",
                                      "notes.txt",     "fastq",         "slowq"};
    left.erase("fastq_old");
    left.erase("slowq_old");
    EXPECT_EQ(expected, left);
    EXPECT_TRUE(fs::exists(SpoolPath("badmail/Mbad.env")));
    std::vector<std::string> events = Events();
    EXPECT_NE(events.end(), std::find(events.begin(), events.end(),
                                      "4:M825 " + orphan + " slowq"));
    EXPECT_NE(events.end(), std::find(events.begin(), events.end(),
                                      "1:M824 Mbad " + SpoolPath("badmail")));

    // Run again: nothing more to do.
    EXPECT_EQ(0, RecoverSpool(m_Spool.c_str(), fast, slow, 600));
    holder.Command();
    ASSERT_EQ('r', holder.Report());
    ASSERT_TRUE(holder.Reap());
    EXPECT_EQ(1, RecoverSpool(m_Spool.c_str(), fast, slow, 600));  // the held one now
    EXPECT_TRUE(slow.Holds(held.c_str()));
    EXPECT_EQ(-1, RecoverSpool(SpoolPath("missing").c_str(), fast, slow, 600));
}

// Two processes share one spool: every message is delivered exactly once,
// also those that each process adds while the other takes.
TEST_F(SpoolQueueTest, TwoProcessesShareOneSpool) {
    CMessageQueue fast("fastq", m_Spool.c_str());
    for (int i = 0; i < 20; ++i) ASSERT_EQ(0, fast.Add(MakeMessage().c_str(), 1, 0));

    pid_t children[2];
    for (int c = 0; c < 2; ++c) {
        children[c] = testsupport::ForkWithoutThreads();
        ASSERT_GE(children[c], 0);
        if (children[c] != 0)
            continue;
        // Each process draws its own spool names, as two processes started
        // at different times do (a name may come back once its message is
        // gone, which would look like a message taken twice).
        platform::SetTestTime(m_Now + 1 + c);
        ResetPseudoRandom();
        CMessageQueue queue("fastq", m_Spool.c_str());
        CMessageQueue slow("slowq", m_Spool.c_str());
        std::string log = Path("taken" + std::to_string(c));
        std::string lines;
        int added = 0;
        int idle = 0;
        while (idle < 200) {
            if (added < 10) {
                std::string name = MakeMessage(("c" + std::to_string(c) + "@x.org").c_str());
                if (queue.Add(name.c_str(), 1, 0) != 0)
                    _exit(2);
                ++added;
            }
            CQueuedMessage* m = queue.TakeNext(m_Spool.c_str());
            if (!m) {
                ++idle;
                continue;
            }
            idle = 0;
            lines += std::string(m->GetName()) + "\n";
            // Half are moved to slowq, half finished: both leave fastq.
            if (lines.size() % 2)
                queue.MoveTo(m, slow);
            else
                queue.Remove(m, 1);
        }
        WriteWhole(log, lines);
        _exit(testing::Test::HasFailure() ? 1 : 0);
    }
    for (pid_t child : children) {
        int status = -1;
        ASSERT_EQ(child, waitpid(child, &status, 0));
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    std::multiset<std::string> seen;
    for (int c = 0; c < 2; ++c) {
        std::string text = ReadWhole(Path("taken" + std::to_string(c)));
        for (size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos;
             start = end + 1)
            seen.insert(text.substr(start, end - start));
    }
    EXPECT_EQ(40u, seen.size());
    for (const std::string& name : seen) EXPECT_EQ(1u, seen.count(name)) << name;
    EXPECT_EQ("", spooltest::LiveIndex(SpoolPath("fastq")));
    CMessageQueue slow("slowq", m_Spool.c_str());
    for (const QueueEntry& e : slow.Snapshot()) EXPECT_EQ(1u, seen.count(e.m_Name));
}

// A receiving session killed at each step of storing a message; the
// recovery at the next start then finds the spool in order.
TEST_F(SpoolQueueTest, SessionKilledAtEachStepIsRecovered) {
    enum Step { kReceivingBody, kEnvelopeWritten, kQueued };
    struct Case {
        Step step;
        int requeued;         // by the recovery
        const char* queue;    // where the message is then found, or none
    } cases[] = {
        {kReceivingBody, 0, nullptr},
        {kEnvelopeWritten, 1, "slowq"},
        {kQueued, 0, "fastq"},
    };
    for (const Case& c : cases) {
        int report[2];
        ASSERT_EQ(0, pipe(report));
        pid_t child = testsupport::ForkWithoutThreads();
        ASSERT_GE(child, 0);
        if (child == 0) {
            close(report[0]);
            CMessageQueue fast("fastq", m_Spool.c_str());
            CQueuedMessage message;
            if (message.Open(nullptr, m_Spool.c_str()) != 0 || message.Lock() != 0 ||
                message.SetSender("s@x.org") != 0 || message.OpenBodyForWrite(2, 0) != 0 ||
                message.AppendBody(CVornString("Subject: crash\r\n\r\nline\r\n")) != 0)
                _exit(1);
            std::string name = message.GetName();
            if (c.step != kReceivingBody) {
                message.SetComplete(1);
                if (message.AddRecipient("r@x.org", 1, 0, 0) != 0 || message.CloseBody() != 0 ||
                    message.WriteEnvelope() != 0)
                    _exit(1);
                if (c.step == kQueued && fast.Add(name.c_str(), m_Now, 0) != 0)
                    _exit(1);
            }
            (void)!write(report[1], name.c_str(), name.size());
            for (;;) pause();  // killed here, still holding the message
        }
        close(report[1]);
        char name[64] = {};
        ASSERT_GT(read(report[0], name, sizeof name - 1), 0);
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
        close(report[0]);

        SetClock(time(nullptr) + 601);  // past the reservation age (files carry real times)
        CMessageQueue fast("fastq", m_Spool.c_str());
        CMessageQueue slow("slowq", m_Spool.c_str());
        EXPECT_EQ(c.requeued, RecoverSpool(m_Spool.c_str(), fast, slow, 600)) << name;
        if (!c.queue) {
            EXPECT_FALSE(fs::exists(SpoolPath(std::string(name) + ".env"))) << name;
            EXPECT_FALSE(fs::exists(SpoolPath(std::string(name) + ".mes"))) << name;
            continue;
        }
        CMessageQueue& queue = std::string(c.queue) == "fastq" ? fast : slow;
        std::unique_ptr<CQueuedMessage> taken(queue.TakeNext(m_Spool.c_str()));
        ASSERT_TRUE(taken) << name;
        EXPECT_EQ(std::string(name), taken->GetName());
        EXPECT_EQ("r@x.org", taken->GetRecipients()->m_Address);
        // The body as stored (the missing Date, Message-Id and From added).
        std::string body = ReadWhole(SpoolPath(std::string(name) + ".mes"));
        EXPECT_EQ(0u, body.find("Subject: crash\r\n"));
        EXPECT_EQ(body.size() - 10, body.find("\r\n\r\nline\r\n"));
        EXPECT_EQ(0, queue.Remove(taken.release(), 1));
    }
}

// The delivery workers of one process share the queue objects; removals
// that meet at the locks are written in one rewrite, and each still hears
// its own result.
TEST_F(SpoolQueueTest, WorkerThreadsNeverTakeOneMessageTwice) {
    CMessageQueue fast("fastq", m_Spool.c_str());
    for (int i = 0; i < 40; ++i) ASSERT_EQ(0, fast.Add(MakeMessage().c_str(), 1, 0));
    std::vector<std::vector<std::string>> got(4);
    std::vector<std::thread> workers;
    std::atomic<int> failed{0};
    for (size_t w = 0; w < got.size(); ++w) {
        workers.emplace_back([&, w] {
            while (CQueuedMessage* m = fast.TakeNext(m_Spool.c_str())) {
                got[w].push_back(m->GetName());
                failed += fast.Remove(m, 1) != 0;
            }
        });
    }
    for (std::thread& t : workers) t.join();
    EXPECT_EQ(0, failed.load());
    std::multiset<std::string> all;
    for (const auto& names : got) all.insert(names.begin(), names.end());
    EXPECT_EQ(40u, all.size());
    for (const std::string& name : all) EXPECT_EQ(1u, all.count(name)) << name;
    EXPECT_EQ("", spooltest::LiveIndex(SpoolPath("fastq")));
}

TEST_F(SpoolQueueTest, SpoolDirectoryIsPrivate) {
    std::string dir = Path("newspool");
    EXPECT_TRUE(PrepareSpoolDirectory(dir.c_str()));
    EXPECT_EQ(fs::perms::owner_all, fs::status(dir).permissions() & fs::perms::all);
    EXPECT_TRUE(PrepareSpoolDirectory(dir.c_str()));
    chmod(dir.c_str(), 0777);
    EXPECT_FALSE(PrepareSpoolDirectory(dir.c_str()));
    WriteWhole(Path("plain"), "");
    EXPECT_FALSE(PrepareSpoolDirectory(Path("plain").c_str()));
    EXPECT_FALSE(PrepareSpoolDirectory(Path("no/such/parent").c_str()));
    EXPECT_STREQ("/var/lib/zelorm", kDefaultSpoolDirectory);
    CMessageQueue defaults(nullptr, nullptr);
    EXPECT_EQ("defaultq", defaults.GetName());
    EXPECT_EQ("/var/lib/zelorm/defaultq", defaults.GetIndexPath());
}

}  // namespace
