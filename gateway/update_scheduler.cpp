// The definition-update scheduler: see update_scheduler.h.
//
//   CUpdateSchedule        the mask and its setters
//   CUpdateScheduler       thread, checks, updates, records
//   UpdateSchedulerThread  the thread's loop
#include "gateway/update_scheduler.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <chrono>
#include <vector>

#include "config/activity_log.h"
#include "config/config_store.h"
#include "core/clock.h"
#include "core/debug_log.h"
#include "core/hash_table.h"
#include "core/threads.h"
#include "gateway/scanner_manager.h"
#include "platform/child_process.h"
#include "platform/service_manager.h"

namespace {

constexpr char kListSeparator = '\x1C';

// The activity record of an update: class 3, event 400; field 1200 holds a
// result that is not success.
constexpr int kRecordClass = 3;
constexpr int kRecordEvent = 400;
constexpr int kRecordResultField = 1200;

// The launcher's environment: a fixed PATH, then only what the launcher
// and its client read of ours (the instance's files, the locale, the zone).
constexpr const char* kLauncherPath = "PATH=/usr/sbin:/usr/bin:/sbin:/bin";
constexpr size_t kEnvironmentValueBound = 4096;
const std::vector<std::string>& launcherVariables() {
    static const std::vector<std::string>* names =
        new std::vector<std::string>{"ZELORM_REGISTRY",
                                     "ZELORM_LOCK_DIR",
                                     "ZELORM_EVENTLOG",
                                     "ZELORM_CODEPAGE",
                                     "ZELORM_RESOLV_CONF",
                                     "LANG",
                                     "LANGUAGE",
                                     "LC_ALL",
                                     "LC_CTYPE",
                                     "LC_MESSAGES",
                                     "LC_TIME",
                                     "TZ"};
    return *names;
}

constexpr const char* kLauncherName = "Tollan";

void debugLine(const char* text) {
    if (!g_LogSilent)
        LogText(kLogDebug, text);
}

// Minute 0 of the local hour that holds t.
time_t hourStart(time_t t) {
    struct tm local;
    if (localtime_r(&t, &local) == nullptr)
        return t - t % 3600;
    return t - local.tm_min * 60 - local.tm_sec;
}

long toLong(const std::string& text) {
    return strtol(text.c_str(), nullptr, 10);
}

}  // namespace

// ---- CUpdateSchedule

CUpdateSchedule::CUpdateSchedule() {
    memset(m_Flags, 0, sizeof m_Flags);
}

void CUpdateSchedule::set(int base, int count, int first, const char* value, bool clearFirst) {
    if (value == nullptr || *value == '\0')
        return;
    if (strcmp(value, "*") == 0) {
        memset(m_Flags + base, 1, static_cast<size_t>(count));
        return;
    }
    if (clearFirst)
        memset(m_Flags + base, 0, static_cast<size_t>(count));
    const char* item = value;
    for (;;) {
        const char* end = strchr(item, kListSeparator);
        std::string text = end == nullptr ? std::string(item) : std::string(item, end);
        // Not a number counts as 0; a number beyond long saturates, which
        // is out of range like any other.
        const long n = strtol(text.c_str(), nullptr, 10);
        if (n >= first && n < count)
            m_Flags[base + n] = 1;
        if (end == nullptr)
            break;
        item = end + 1;
    }
}

void CUpdateSchedule::SetMinutes(const char* value) {
    set(kMinuteBase, 60, 0, value, false);
}
void CUpdateSchedule::SetHours(const char* value) {
    set(kHourBase, 24, 0, value, true);
}
void CUpdateSchedule::SetDaysOfMonth(const char* value) {
    set(kDayBase, 32, 1, value, false);
}
void CUpdateSchedule::SetMonths(const char* value) {
    set(kMonthBase, 12, 0, value, false);
}
void CUpdateSchedule::SetWeekdays(const char* value) {
    set(kWeekdayBase, 7, 0, value, true);
}

bool CUpdateSchedule::Matches(time_t t) const {
    struct tm local;
    if (localtime_r(&t, &local) == nullptr)
        return false;
    return m_Flags[kMinuteBase + local.tm_min] && m_Flags[kHourBase + local.tm_hour] &&
           m_Flags[kDayBase + local.tm_mday] && m_Flags[kMonthBase + local.tm_mon] &&
           m_Flags[kWeekdayBase + local.tm_wday];
}

// ---- CUpdateScheduler

unsigned UpdateSchedulerThread(void* scheduler) {
    static_cast<CUpdateScheduler*>(scheduler)->run();
    return 0;
}

CUpdateScheduler::CUpdateScheduler(const char* prefix, CScannerManager* scanner)
    : CUpdateScheduler(prefix, scanner, Options()) {}

CUpdateScheduler::CUpdateScheduler(const char* prefix, CScannerManager* scanner,
                                   const Options& options)
    : m_Scanner(scanner), m_Options(options) {
    m_Prefix.Assign(prefix == nullptr ? "" : prefix);
    if (m_Options.startThread)
        startThread();
}

CUpdateScheduler::~CUpdateScheduler() {
    stopThread();
}

void CUpdateScheduler::startThread() {
    m_Stop.store(false);
    m_ThreadStarted = StartThread(UpdateSchedulerThread, this, 0) == 0;
    if (!m_ThreadStarted)
        debugLine("Update scheduler thread not started");
}

void CUpdateScheduler::stopThread() {
    {
        std::lock_guard<std::mutex> lk(m_PauseMutex);
        m_Stop.store(true);
    }
    m_PauseWake.notify_all();
    // The end event, not the running flag: a thread that has not yet set
    // its flag is still waited for. The wait is bounded by the launcher's
    // end, which the stop flag brings about within its grace.
    if (m_ThreadStarted) {
        m_EndEvent.Wait();
        m_ThreadStarted = false;
    }
}

void CUpdateScheduler::run() {
    m_Running.store(true);
    while (!m_Stop.load()) {
        {
            std::unique_lock<std::mutex> lk(m_PauseMutex);
            m_PauseWake.wait_for(lk, std::chrono::seconds(1),
                                 [this] { return m_Stop.load() || m_Wake; });
            m_Wake = false;
        }
        if (m_Stop.load())
            break;
        try {
            Check();
        } catch (...) {
            // A failed check is tried again at the next turn.
        }
    }
    m_Running.store(false);
    m_EndEvent.Set();
}

void CUpdateScheduler::RunNow() {
    m_RunNow.store(true);
    {
        std::lock_guard<std::mutex> lk(m_PauseMutex);
        m_Wake = true;
    }
    m_PauseWake.notify_all();
}

std::string CUpdateScheduler::setting(const char* suffix) {
    std::string name = std::string(m_Prefix.CStr() == nullptr ? "" : m_Prefix.CStr()) + suffix;
    CVornString value;
    if (CVornConfigStore::GetObjectSetting('S', nullptr, name.c_str(), value) != 0)
        return std::string();
    const char* text = value.CStr();
    return text == nullptr ? std::string() : std::string(text);
}

void CUpdateScheduler::GetLastRun(time_t& start, time_t& finish, int& result) {
    const std::string s = setting("KBLastStart");
    const std::string f = setting("KBLastFinish");
    const std::string r = setting("KBLastResult");
    start = static_cast<time_t>(toLong(s));
    finish = static_cast<time_t>(toLong(f));
    result = r.empty() ? kUpdateNoResult : static_cast<int>(toLong(r));
}

void CUpdateScheduler::loadSchedule() {
    const std::string hours = setting("KBSchedHours");
    const std::string weekdays = setting("KBSchedWeekdays");
    m_Schedule.SetMinutes("0");
    m_Schedule.SetHours(hours.c_str());
    m_Schedule.SetDaysOfMonth("*");
    m_Schedule.SetMonths("*");
    m_Schedule.SetWeekdays(weekdays.c_str());
}

void CUpdateScheduler::Check() {
    const time_t now = Now();
    const bool runNow = m_RunNow.load();
    // A clock set back makes a check due at once, not after the old time
    // has come round again.
    if (!runNow && now >= m_LastCheck && now - m_LastCheck < kScheduleCheckSeconds)
        return;
    const bool enabled = toLong(setting("KBEnableSched")) != 0;
    m_LastCheck = now;
    loadSchedule();

    // The scheduled hour is judged by its minute 0, not by the minute of the
    // check: a check a little late still runs it, and the slot runs once.
    const time_t slot = hourStart(now);
    const bool slotDue = enabled && slot != m_LastSlot && now >= slot &&
                         now - slot <= kScheduleLateSeconds && m_Schedule.Matches(slot);
    if (runNow || slotDue) {
        if (slotDue)
            m_LastSlot = slot;
        RunUpdate();
        m_RunNow.store(false);
    } else if (m_Scanner != nullptr) {
        m_Scanner->ReloadDefsIfNewer();
    }
}

void CUpdateScheduler::recordRun(time_t start, time_t finish, int result) {
    CVornString value;
    value.AssignLong(static_cast<long>(start));
    std::string name = std::string(m_Prefix.CStr() == nullptr ? "" : m_Prefix.CStr());
    (void)CVornConfigStore::SetAttribute('S', nullptr, (name + "KBLastStart").c_str(), value, 0);
    value.AssignLong(static_cast<long>(finish));
    (void)CVornConfigStore::SetAttribute('S', nullptr, (name + "KBLastFinish").c_str(), value, 0);
    value.AssignInt(result);
    (void)CVornConfigStore::SetAttribute('S', nullptr, (name + "KBLastResult").c_str(), value, 0);
    // A save that fails leaves the values in memory; the next save writes them.
    (void)CVornConfigStore::Save();
}

std::string CUpdateScheduler::launcherPath() const {
    if (!m_Options.launcherPath.empty())
        return m_Options.launcherPath;
    const std::string self = platform::ExecutablePath();
    const size_t slash = self.rfind('/');
    if (slash == std::string::npos)
        return std::string();
    return self.substr(0, slash + 1) + kLauncherName;
}

int CUpdateScheduler::runLauncher() {
    const std::string path = launcherPath();
    if (path.empty())
        return kUpdateNoLauncherPath;
    std::vector<std::string> environment =
        platform::BoundedEnvironment(launcherVariables(), kEnvironmentValueBound);
    environment.insert(environment.begin(), kLauncherPath);
    const platform::ChildResult run =
        platform::RunChildProcess(path, {"/silent"}, environment, m_Options.timeLimitSeconds,
                                  [this] { return m_Stop.load(); });

    // The launcher's message boxes: why an update did not run.
    if (!run.errors.empty() && !g_LogSilent) {
        size_t from = 0;
        while (from < run.errors.size()) {
            size_t end = run.errors.find('\n', from);
            if (end == std::string::npos)
                end = run.errors.size();
            if (end > from)
                LogFormat(kLogDebug, "Kelbrook: %s", run.errors.substr(from, end - from).c_str());
            from = end + 1;
        }
    }
    switch (run.outcome) {
        case platform::kChildExited:
            return run.exitCode;
        case platform::kChildNotStarted:
            if (!g_LogSilent) {
                char reason[128];
                LogFormat(kLogDebug, "Kelbrook not started: %s",
                          strerror_r(run.errorNumber, reason, sizeof reason));
            }
            return kUpdateLauncherNotRun;
        case platform::kChildTimedOut:
            debugLine("Kelbrook ended: it ran longer than its time limit");
            return kUpdateLauncherEnded;
        case platform::kChildStopped:
            debugLine("Kelbrook ended: the service stops");
            return kUpdateLauncherEnded;
        case platform::kChildSignalled:
            break;
    }
    return kUpdateLauncherEnded;
}

void CUpdateScheduler::RunUpdate() {
    debugLine("Kelbrook start");
    CVornLockGuard guard(m_Lock);
    int result = kUpdateSucceeded;
    time_t start = 0;
    bool recorded = false;
    try {
        start = Now();
        recordRun(start, 0, 0);
        result = runLauncher();
        recordRun(start, Now(), result);
        recorded = true;

        CVornStringMap record;
        ActivityRecordStart(record, kRecordClass, kRecordEvent, result == 0 || result == 1 ? 1 : 2,
                            nullptr, nullptr);
        if (result != 0)
            ActivityRecordSetNumber(record, kRecordResultField, result);
        ActivityLogWrite(record);

        if (result == 0 && m_Scanner != nullptr)
            m_Scanner->ReloadDefsIfNewer();
    } catch (...) {
        if (!recorded)
            result = kUpdateException;
    }
    // An update that failed inside the service is recorded as such, not
    // left looking like one still running (finish 0, result 0).
    if (!recorded) {
        try {
            recordRun(start, Now(), result);
        } catch (...) {
        }
    }
    m_UpdatesRun.fetch_add(1);
    char line[64];
    snprintf(line, sizeof line, "Kelbrook end, result = %d", result);
    debugLine(line);
}
