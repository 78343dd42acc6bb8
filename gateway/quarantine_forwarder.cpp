// The quarantine forwarder: a queue of packages, its index file, and the
// thread that sends the head package to the quarantine server.
//
//   CQuarantineForwarder::Start / Add / stop   see the header
//   QuarantineForwardThread                    the send loop's thread
//   QuarantineAbortCheck                       the sender's abort callback
//
// Bad input: package paths outside the forwarder's folder are refused (Add)
// or dropped (index); names lose CR, LF and commas and are cut to their
// limits; damaged index lines are dropped with a warning. Nothing here
// throws: an item that cannot be made for want of memory is reported
// ("Out of memory!") and not queued.
#include "gateway/quarantine_forwarder.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>

#include <chrono>
#include <cstdint>
#include <new>

#include "config/activity_log.h"
#include "config/config_store.h"
#include "core/clock.h"
#include "core/debug_log.h"
#include "core/file_system.h"
#include "core/hash_table.h"
#include "core/threads.h"
#include "core/vorn_string.h"
#include "gateway/spool_files.h"
#include "maker/ferrix/ferrix.h"

std::atomic<bool> g_ForwarderStopping{false};

namespace {

constexpr int kActivityClass = 1;
constexpr int kEventQuarantineSend = 303;
constexpr int kOutcomeSent = 1;
constexpr int kOutcomeFailed = 2;
constexpr int kFieldMessageName = 52;
constexpr int kFieldObjectName = 1102;
constexpr int kFieldServer = 1103;
constexpr const char* kFolderName = "zelqfwd";
constexpr const char* kIndexTempSuffix = "_new";
// An index larger than this is not read (at the limits above a line is
// under 1.4 KB: this is tens of thousands of packages).
constexpr long long kIndexLimit = 64LL * 1024 * 1024;
constexpr const char* kServerAddressSetting = "ZELORMRazoVidezQuarantineServerAddress";
constexpr const char* kServerPortSetting = "ZELORMRazoVidezQuarantineServerPort";

// text without CR, LF and commas (each would start a new line or field of
// the index), cut to limit bytes.
std::string cleanName(const char* text, size_t limit) {
    std::string out;
    for (const char* p = text ? text : ""; *p != '\0' && out.size() < limit; ++p) {
        if (*p != '\r' && *p != '\n' && *p != ',')
            out.push_back(*p);
    }
    return out;
}

// A whole decimal number (optionally negative) into *out.
bool parseNumber(const std::string& text, long long* out) {
    if (text.empty())
        return false;
    char* end = nullptr;
    errno = 0;
    long long value = strtoll(text.c_str(), &end, 10);
    if (errno != 0 || end == nullptr || *end != '\0')
        return false;
    *out = value;
    return true;
}

// A setting of the system object, "" when it is missing.
std::string systemSetting(const char* name) {
    CVornString value;
    if (CVornConfigStore::GetSetting(nullptr, nullptr, name, value) != 0)
        return std::string();
    return std::string(value.CStr(), static_cast<size_t>(value.Length()));
}

}  // namespace

int QuarantineAbortCheck(int status) {
    return status == FERRIX_STATUS_WAITING && g_ForwarderStopping.load() ? 0 : 1;
}

unsigned QuarantineForwardThread(void* forwarder) {
    static_cast<CQuarantineForwarder*>(forwarder)->run();
    return 0;
}

CQuarantineForwarder::CQuarantineForwarder(const char* indexName, const char* baseDirectory)
    : m_Send(SendFileToQServer) {
    CVornString joined;
    JoinPath(joined, baseDirectory ? baseDirectory : "", kFolderName);
    m_Directory.assign(joined.CStr(), static_cast<size_t>(joined.Length()));
    if (!FileExists(m_Directory.c_str(), false))
        MakeDir(m_Directory.c_str());
    JoinPath(joined, m_Directory.c_str(), indexName ? indexName : "");
    m_IndexPath.assign(joined.CStr(), static_cast<size_t>(joined.Length()));
}

CQuarantineForwarder::~CQuarantineForwarder() {
    stop();
    CVornWriteGuard write(m_QueueLock);
    // An index never read back is the last run's queue: it stays as it is.
    if (m_Loaded)
        saveIndex();
    CVornLockGuard items(m_ItemsLock);
    m_Items.clear();
}

void CQuarantineForwarder::Start() {
    if (m_Started)
        return;
    {
        CVornWriteGuard write(m_QueueLock);
        loadIndex();
    }
    if (StartThread(QuarantineForwardThread, this, 0) != 0) {
        LogText(kLogWarning, "Could not start quarantine forwarding thread.");
        return;
    }
    m_Started = true;
}

bool CQuarantineForwarder::Add(const char* packagePath, const char* messageName,
                               const char* objectName) {
    if (m_Stopping.load())
        return false;
    std::string path = packagePath ? packagePath : "";
    if (!inFolder(path)) {
        LogFormat(kLogWarning, "Quarantine package outside the forwarder's folder refused: %s",
                  path.c_str());
        return false;
    }
    CVornWriteGuard write(m_QueueLock);
    // A package queued before Start must not replace the waiting queue of
    // the last run when the index is rewritten.
    loadIndex();
    bool added = addItem(path.c_str(), messageName, objectName, Now(), 0, 255);
    if (added)
        saveIndex();
    return added;
}

void CQuarantineForwarder::stop() {
    g_ForwarderStopping.store(true);
    {
        std::lock_guard<std::mutex> guard(m_PauseMutex);
        m_Stopping.store(true);
    }
    m_PauseWake.notify_all();
    if (m_Started && !m_ThreadEnded) {
        m_EndEvent.Wait();
        m_ThreadEnded = true;
    }
}

std::vector<CQuarantineItem> CQuarantineForwarder::Items() {
    CVornReadGuard read(m_QueueLock);
    CVornLockGuard items(m_ItemsLock);
    return std::vector<CQuarantineItem>(m_Items.begin(), m_Items.end());
}

bool CQuarantineForwarder::inFolder(const std::string& path) const {
    if (path.size() > kQuarantinePathLimit || path.size() <= m_Directory.size() + 1 ||
        path.compare(0, m_Directory.size(), m_Directory) != 0 || path[m_Directory.size()] != '/')
        return false;
    std::string leaf = path.substr(m_Directory.size() + 1);
    return leaf != "." && leaf != ".." && leaf.find('/') == std::string::npos &&
           path.find('\r') == std::string::npos && path.find('\n') == std::string::npos;
}

bool CQuarantineForwarder::addItem(const char* packagePath, const char* messageName,
                                   const char* objectName, time_t timeQueued, time_t lastAttempt,
                                   int lastResult) {
    try {
        CQuarantineItem item;
        item.m_TimeQueued = timeQueued;
        item.m_LastAttempt = lastAttempt;
        item.m_LastResult = lastResult;
        item.m_PackagePath = packagePath ? packagePath : "";
        item.m_MessageName = cleanName(messageName, kQuarantineMessageNameLimit);
        item.m_ObjectName = cleanName(objectName, kQuarantineObjectNameLimit);
        CVornLockGuard items(m_ItemsLock);
        m_Items.push_back(std::move(item));
        return true;
    } catch (const std::bad_alloc&) {
        LogText(kLogWarning, "Out of memory!");
        return false;
    }
}

bool CQuarantineForwarder::saveIndex() {
    std::string content;
    try {
        CVornLockGuard items(m_ItemsLock);
        for (const CQuarantineItem& item : m_Items) {
            char numbers[96];
            snprintf(numbers, sizeof numbers, "%lld,%lld,%d,",
                     static_cast<long long>(item.m_TimeQueued),
                     static_cast<long long>(item.m_LastAttempt), item.m_LastResult);
            content += numbers;
            content +=
                item.m_PackagePath + "," + item.m_MessageName + "," + item.m_ObjectName + "\r\n";
        }
    } catch (const std::bad_alloc&) {
        return false;
    }
    return WriteSpoolFile(m_IndexPath, content, kIndexTempSuffix);
}

void CQuarantineForwarder::loadIndex() {
    if (m_Loaded)
        return;
    m_Loaded = true;
    if (!FileExists(m_IndexPath.c_str(), false))
        return;
    std::string text;
    if (!ReadSpoolFile(m_IndexPath, kIndexLimit, &text)) {
        // The next rewrite would replace the waiting queue with the new
        // items alone: the unread index is kept aside for the operator.
        std::string aside = m_IndexPath + ".unread";
        LogFormat(kLogWarning, "Quarantine index cannot be read; kept aside as %s", aside.c_str());
        RenameFile(m_IndexPath.c_str(), aside.c_str(), false);
        return;
    }
    bool dropped = false;
    for (const std::string& line : SplitSpoolLines(text)) {
        // Three numbers from the front, the two names from the back: the
        // package path in between may hold commas.
        size_t c1 = line.find(',');
        size_t c2 = c1 == std::string::npos ? c1 : line.find(',', c1 + 1);
        size_t c3 = c2 == std::string::npos ? c2 : line.find(',', c2 + 1);
        size_t c6 = line.rfind(',');
        size_t c5 =
            c6 == std::string::npos || c6 == 0 ? std::string::npos : line.rfind(',', c6 - 1);
        long long queued = 0, attempt = 0, result = 0;
        bool whole = c3 != std::string::npos && c5 != std::string::npos && c5 > c3 &&
                     parseNumber(line.substr(0, c1), &queued) &&
                     parseNumber(line.substr(c1 + 1, c2 - c1 - 1), &attempt) &&
                     parseNumber(line.substr(c2 + 1, c3 - c2 - 1), &result) &&
                     result >= INT32_MIN && result <= INT32_MAX;
        if (!whole) {
            LogFormat(kLogWarning, "Damaged quarantine index line dropped: %s", line.c_str());
            dropped = true;
            continue;
        }
        std::string path = line.substr(c3 + 1, c5 - c3 - 1);
        if (!inFolder(path)) {
            LogFormat(kLogWarning, "Quarantine package outside the forwarder's folder dropped: %s",
                      path.c_str());
            dropped = true;
            continue;
        }
        std::string message = line.substr(c5 + 1, c6 - c5 - 1);
        std::string object = line.substr(c6 + 1);
        if (!addItem(path.c_str(), message.c_str(), object.c_str(), static_cast<time_t>(queued),
                     static_cast<time_t>(attempt), static_cast<int>(result)))
            break;
    }
    if (dropped)
        saveIndex();
}

void CQuarantineForwarder::recordSend(const CQuarantineItem& item, const char* server) {
    CVornStringMap record;
    ActivityRecordStart(record, kActivityClass, kEventQuarantineSend,
                        item.m_LastResult == 0 ? kOutcomeSent : kOutcomeFailed, nullptr, nullptr);
    ActivityRecordSetText(record, kFieldMessageName, item.m_MessageName.c_str());
    ActivityRecordSetText(record, kFieldObjectName, item.m_ObjectName.c_str());
    ActivityRecordSetText(record, kFieldServer, server);
    ActivityLogWrite(record);
}

void CQuarantineForwarder::dropHead() {
    CVornWriteGuard write(m_QueueLock);
    {
        CVornLockGuard items(m_ItemsLock);
        if (!m_Items.empty())
            m_Items.pop_front();
    }
    saveIndex();
}

bool CQuarantineForwarder::pass() {
    CQuarantineItem* head = nullptr;
    {
        CVornReadGuard read(m_QueueLock);
        CVornLockGuard items(m_ItemsLock);
        if (!m_Items.empty())
            head = &m_Items.front();
    }
    if (head == nullptr)
        return false;

    // Only this thread changes the head's attempt fields and removes it, so
    // the pointer stays good; the fields are written under the list's lock
    // because an index rewrite of another thread reads them.
    time_t now = Now();
    CQuarantineItem item;
    {
        CVornLockGuard items(m_ItemsLock);
        // A clock set back must not hold the head for the time it went back.
        bool due =
            now - head->m_LastAttempt >= kQuarantineRetrySeconds || now < head->m_LastAttempt;
        if (!due)
            return false;
        head->m_LastAttempt = now;
        item = *head;
    }

    if (!FileExists(item.m_PackagePath.c_str(), false)) {
        LogFormat(kLogWarning, "Quarantine package no longer exists; dropped from the queue: %s",
                  item.m_PackagePath.c_str());
        dropHead();
        return true;
    }

    std::string server = systemSetting(kServerAddressSetting);
    std::string port = systemSetting(kServerPortSetting);
    if (server.empty() || port.empty()) {
        // Nothing to send to: the new attempt time keeps the 600 s spacing.
        CVornWriteGuard write(m_QueueLock);
        saveIndex();
        return false;
    }

    int result = m_Send(item.m_PackagePath.c_str(), server.c_str(), 0, atoi(port.c_str()),
                        QuarantineAbortCheck);
    item.m_LastResult = result;
    {
        CVornLockGuard items(m_ItemsLock);
        head->m_LastResult = result;
    }
    recordSend(item, server.c_str());
    if (result == 0) {
        dropHead();
        RemoveFile(item.m_PackagePath.c_str(), false);
        // The next package goes at once: a queue of new packages is sent
        // one after another.
        return true;
    }
    CVornWriteGuard write(m_QueueLock);
    saveIndex();
    return false;
}

void CQuarantineForwarder::run() {
    while (!m_Stopping.load()) {
        ++m_Passes;
        if (pass())
            continue;
        std::unique_lock<std::mutex> lock(m_PauseMutex);
        m_PauseWake.wait_for(lock, std::chrono::milliseconds(kQuarantinePauseMilliseconds),
                             [this] { return m_Stopping.load(); });
    }
    m_EndEvent.Set();
}
