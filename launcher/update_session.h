// One run of the update launcher: the update client's command line from
// the registry, the definitions store prepared for an update-client update,
// the update client loaded and run with its two pages, and the update
// finished in the store.
//
//   UpdateSession::Run               the whole run; its status (4: no update ran)
//   UpdateSession::BuildCommandLine  "-a [-s ]<switches> [group] [group] ..."
//   UpdateSession::AppendCmdLineEntry / ReadCmdLineEntry   one package entry
//   UpdateSession::RunOnramp         load the client, name the product, run it
//   UpdateSession::SetSequenceNumber the product and its newest set, to the client
//   UpdateSession::GetWelcomeText    the welcome page's text
//   UpdateSession::DefsAreOld        the newest set over a month old
//   UpdateSession::OnFinish          finish the update; the finish page's title and text
//   WelcomePageCallback / FinishPageCallback   the pages' callbacks (0 without a session)
//   GetUpdateClientPath              the client library's path ("Kelbrook1")
//   AppendPathComponent              join a directory and a file name
//   LauncherExitCode                 the process's exit code for a status
//
// Registry (HKEY_LOCAL_MACHINE; a text counts only when it is REG_SZ, not
// empty and under 1024 bytes):
//   SOFTWARE\Quorvane\ZELORM\Kelbrook\CmdLines            "OtherSwitches"
//   SOFTWARE\Quorvane\ZELORM\Kelbrook\CmdLines\CmdLine<n>  "OtherSwitches",
//       "ProductName", "ProductType", "ProductLanguage", "ProductVersion";
//       n = 1, 2, 3, ... up to the first missing key
//   SOFTWARE\Quorvane\SharedUsage  "Kelbrook1"  directory of libS32KELB1.so
//   SOFTWARE\Quorvane\Kelbrook\Clients\Delay    (a key) a restart is pending
//
// Failures: no package entry, a store that cannot be prepared (another
// update holds it, or it cannot be made), a client that cannot be loaded
// or lacks "DoOnramp" all give status 4; the first two also show a message
// (platform::ShowMessageBox). Nothing here throws.
//
// Threads: one session per process, on one thread. CurrentSession points to
// the running session during Run only, so that the page callbacks, which
// get no session, can reach it.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <memory>
#include <string>

#include "defs/shared_defs.h"

// The status before the update client answers, and the exit code when no
// update ran.
constexpr uint16_t kStatusNoUpdate = 4;

// The texts of one package entry.
struct CmdLineEntry {
    std::string otherSwitches;
    std::string productName;
    std::string productType;
    std::string productLanguage;
    std::string productVersion;
};

class UpdateSession {
public:
    // instance is handed to the update client as it stands.
    explicit UpdateSession(void* instance);
    ~UpdateSession();
    UpdateSession(const UpdateSession&) = delete;
    UpdateSession& operator=(const UpdateSession&) = delete;

    // Runs one update; the status (its low 16 bits are the update client's
    // result, or 4 when no update ran).
    uint16_t Run(bool silent);

    // The client's command line; false when no package entry exists.
    static bool BuildCommandLine(bool silent, std::string& commandLine);
    // Appends "[" + the entry's switches + "]"; false when CmdLine<n> does
    // not exist.
    static bool AppendCmdLineEntry(int n, std::string& commandLine);
    // The texts of CmdLine<n> (each emptied first); false when it does not
    // exist.
    static bool ReadCmdLineEntry(int n, CmdLineEntry& entry);

    // Runs the update client with commandLine; sets the status.
    void RunOnramp(const std::string& commandLine);

    // The welcome text into buffer (size bytes, always terminated).
    void GetWelcomeText(char* buffer, uint32_t size);
    // Whether the newest set is more than a month older than today (UTC).
    bool DefsAreOld();
    // The rule of DefsAreOld on given dates.
    static bool DefsOlderThan(int defsYear, int defsMonth, int defsDay, int year, int month,
                              int day);

    // Finishes the update in the store and fills the finish page: title
    // (128 bytes), text (textSize bytes), restart (may be null). 1.
    int OnFinish(char* text, uint32_t textSize, uint32_t status, char* title, uint32_t* restart);

    uint16_t Status() const { return m_Status; }

private:
    // Finishes the store's update once; remembers whether it installed.
    void finishUpdate();
    void SetSequenceNumber(void* setSequenceNumberEx);

    void* m_Instance;
    uint16_t m_Status = kStatusNoUpdate;
    std::unique_ptr<SharedDefs> m_Defs;
    uint32_t m_Finished = 0;
    // The store could not install what the client downloaded.
    bool m_InstallFailed = false;
};

// The running session, null outside UpdateSession::Run.
extern UpdateSession* CurrentSession;

// The page callbacks handed to the update client (kelbrook.h's
// KelbPageCallback). 0 when no session runs, else 1.
int WelcomePageCallback(char* text, uint32_t size, uint32_t unused1, char* unused2,
                        uint32_t* unused3);
int FinishPageCallback(char* text, uint32_t size, uint32_t status, char* title,
                       uint32_t* restart);

// The update client's path: "Kelbrook1" joined with its file name; false
// when the value does not count or the path would not fit 261 bytes.
bool GetUpdateClientPath(std::string& path);

// Appends name to the directory in buffer (size bytes) with one '/' between
// (none after a trailing '/'). False, buffer unchanged, when it would not
// fit.
bool AppendPathComponent(char* buffer, size_t size, const char* name);

// The exit code for a status: its low 16 bits, and 255 for a value that an
// exit code cannot carry (it would read as another result).
int LauncherExitCode(uint16_t status);
