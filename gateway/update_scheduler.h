// CUpdateScheduler: keeps the virus definitions current. Its thread looks
// once a second whether an update is due (minute 0 of the scheduled hours
// on the scheduled weekdays while scheduled updates are on, or at once
// after RunNow), runs the update launcher Tollan as a child process, records
// start, finish and result in the configuration and the activity log, and
// tells the scanner holder to switch to newer definitions. Between updates,
// once a minute, it asks the holder to switch when another program has
// installed newer definitions in the shared store.
//
//   CUpdateSchedule                  the schedule mask (minute, hour, day, month, weekday)
//   CUpdateScheduler                 starts its thread at once; the destructor ends it
//   CUpdateScheduler::RunNow         an update at the next check, even when off
//   CUpdateScheduler::GetLastRun     start, finish and result of the last update
//   CUpdateScheduler::Check          one schedule check (the thread's work)
//   CUpdateScheduler::RunUpdate      one update
//   UpdateSchedulerThread            the thread's function
//
// Settings (system object, names = prefix + suffix): "KBEnableSched",
// "KBSchedHours", "KBSchedWeekdays" (read); "KBLastStart", "KBLastFinish",
// "KBLastResult" (written at the start and the end of every update).
//
// The schedule: an update is due for the scheduled hour whose minute 0 (of
// local time) has passed at most kScheduleLateSeconds ago, once per hour:
// the hour's minute 0 is remembered as its slot, and a slot runs once, so
// neither a late check nor two checks in minute 0 nor a zone's odd offset
// can skip an hour or run it twice.
//
// The launcher: "Tollan" beside the running program, run with the one
// argument "/silent", without a shell, with a clean environment (a fixed
// PATH and only the instance's own ZELORM_ variables, the locale and the
// zone). It may run kUpdateTimeLimitSeconds; after that, or when the
// scheduler is being deleted, it is ended. What it writes to standard error
// goes to the debug log.
//
// Bad input: schedule values that are not numbers count as 0, numbers out
// of range are ignored. A launcher that cannot be named records 104, one
// that cannot be started 105, one that had to be ended or died of a signal
// 107, an exception in the service 106.
//
// Threads: the constructor starts the thread; only it calls Check and
// RunUpdate (tests call them with their own scheduler). RunNow and
// GetLastRun may be called from any thread. The destructor must not run
// on the scheduler's thread. REQUIRES: the configuration store and the
// activity log outlive the scheduler, and so does the scanner holder
// (which may be null: nothing is then reloaded).
#pragma once

#include <time.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>

#include "core/vorn_event.h"
#include "core/vorn_lock.h"
#include "core/vorn_string.h"

class CScannerManager;

// Results of an update (the value of "<prefix>KBLastResult"); any other
// value is the launcher's exit code.
enum : int {
    kUpdateSucceeded = 0,
    kUpdateNoResult = 103,        // nothing recorded yet (GetLastRun only)
    kUpdateNoLauncherPath = 104,  // the launcher's path could not be formed
    kUpdateLauncherNotRun = 105,  // the launcher could not be started
    kUpdateException = 106,       // an exception inside the service
    kUpdateLauncherEnded = 107,   // ended by us (time limit, shutdown) or by a signal
};

// A scheduled hour still starts its update this long after its minute 0.
inline constexpr int kScheduleLateSeconds = 300;
// Seconds between two schedule checks that read the configuration.
inline constexpr int kScheduleCheckSeconds = 60;
// Longest run of the launcher before it is ended.
inline constexpr int kUpdateTimeLimitSeconds = 3600;

// The schedule mask: 136 flags, none set when made.
class CUpdateSchedule {
public:
    enum : int {
        kMinuteBase = 0,     // 60 flags
        kHourBase = 60,      // 24
        kDayBase = 84,       // 32, index 1-31 used
        kMonthBase = 116,    // 12, January first
        kWeekdayBase = 128,  // 7, 0 = Sunday
        kFlagCount = 136,
    };

    CUpdateSchedule();

    // "*" sets every flag of the part; "" changes nothing; otherwise a list
    // of decimal numbers joined by 0x1C sets each one in range. SetHours and
    // SetWeekdays clear their part before a list; the others add to it.
    // Null counts as "".
    void SetMinutes(const char* value);
    void SetHours(const char* value);
    void SetDaysOfMonth(const char* value);
    void SetMonths(const char* value);
    void SetWeekdays(const char* value);

    // True when the flags of t's local minute, hour, day of month, month and
    // weekday are all set.
    bool Matches(time_t t) const;

private:
    void set(int base, int count, int first, const char* value, bool clearFirst);

    unsigned char m_Flags[kFlagCount];
};

class CUpdateScheduler {
public:
    // Where the launcher is and how long it may run; tests name a stand-in
    // and may do without the thread (they then call Check themselves).
    struct Options {
        std::string launcherPath;  // empty: "Tollan" beside this program
        int timeLimitSeconds = kUpdateTimeLimitSeconds;
        bool startThread = true;
    };

    // Starts the scheduler thread for the settings named prefix + suffix.
    // scanner is borrowed and may be null.
    CUpdateScheduler(const char* prefix, CScannerManager* scanner);
    CUpdateScheduler(const char* prefix, CScannerManager* scanner, const Options& options);
    // Ends the thread and waits for it; a running launcher is ended first
    // (SIGTERM, then SIGKILL), so this never waits for ever.
    virtual ~CUpdateScheduler();
    CUpdateScheduler(const CUpdateScheduler&) = delete;
    CUpdateScheduler& operator=(const CUpdateScheduler&) = delete;

    // An update at the next check (within about a second), even when
    // scheduled updates are off. A request made while an update runs is
    // served by that update.
    void RunNow();

    // The three "KBLast" settings: start and finish (0 when absent) and
    // result (103 when absent). While an update runs: its start, 0, 0.
    void GetLastRun(time_t& start, time_t& finish, int& result);

    // One schedule check at Now(): see the header's manual.
    void Check();
    // One update; serialised by the update lock.
    void RunUpdate();

    // Tests: whether the thread is running, and how many updates have
    // ended since the scheduler was made.
    bool Running() const { return m_Running.load(); }
    unsigned long UpdatesRun() const { return m_UpdatesRun.load(); }

private:
    friend unsigned UpdateSchedulerThread(void* scheduler);

    void startThread();
    void stopThread();
    void run();
    void loadSchedule();
    void recordRun(time_t start, time_t finish, int result);
    // The launcher's path: Options::launcherPath, or "Tollan" beside this program;
    // empty when it cannot be formed.
    std::string launcherPath() const;
    // Runs the launcher: the update's result.
    int runLauncher();
    std::string setting(const char* suffix);

    CVornLock m_Lock;  // held for the whole of one update
    CScannerManager* m_Scanner;
    CVornString m_Prefix;
    std::atomic<bool> m_Running{false};
    std::atomic<bool> m_Stop{false};
    std::atomic<bool> m_RunNow{false};
    CUpdateSchedule m_Schedule;
    time_t m_LastCheck = 0;
    time_t m_LastSlot = -1;  // minute 0 of the last scheduled hour run
    Options m_Options;
    std::atomic<unsigned long> m_UpdatesRun{0};

    bool m_ThreadStarted = false;
    CVornEvent m_EndEvent;  // set by the thread as its last act
    std::mutex m_PauseMutex;
    std::condition_variable m_PauseWake;
    bool m_Wake = false;  // RunNow cut the pause short (under m_PauseMutex)
};

// The scheduler's thread: a check every second until the scheduler stops;
// exceptions of a check are dropped.
unsigned UpdateSchedulerThread(void* scheduler);
