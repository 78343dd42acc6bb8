// One run of the update launcher (see launcher/update_session.h).
//
// The store's update lock is held from PreUpdate until PostUpdate, which
// runs once: from the finish page's callback when the update client shows
// that page, else after the client returns. A client that reports new
// definitions while the store could not install them gives status 4, not
// 0: the service takes 0 as the sign that new definitions arrived.
#include "launcher/update_session.h"

#include <stdio.h>
#include <string.h>
#include <time.h>

#include <vector>

#include "launcher/launcher_strings.h"
#include "maker/kelbrook/kelbrook.h"
#include "platform/clock.h"
#include "platform/desktop.h"
#include "platform/registry.h"
#include "platform/shared_library.h"

UpdateSession* CurrentSession = nullptr;

namespace {

constexpr const char* kCmdLinesKey = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvane\\ZELORM\\Kelbrook\\CmdLines";
constexpr const char* kSharedUsageKey = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvane\\SharedUsage";
constexpr const char* kDelayKey = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvane\\Kelbrook\\Clients\\Delay";
constexpr const char* kClientLibrary = "libS32KELB1.so";
constexpr size_t kMaxValue = 1024;
constexpr size_t kClientPathSize = 261;
constexpr size_t kStringSize = 512;
constexpr size_t kDateSize = 40;

typedef int (*DoOnrampFn)(void* instance, int reserved, const char* commandLine, KelbPage* pages);
typedef int (*SetSequenceNumberExFn)(const char* productName, const char* productType,
                                     const char* productVersion, const char* productLanguage,
                                     uint32_t sequenceNumber);

std::string cmdLineKey(int n) { return std::string(kCmdLinesKey) + "\\CmdLine" + std::to_string(n); }

// A registry text that counts: REG_SZ, not empty, fitting size bytes with
// its NUL.
bool readText(const std::string& key, const char* name, std::string& out, size_t size = kMaxValue) {
    std::vector<char> buffer(size);
    uint32_t type = platform::kRegNone;
    if (platform::RegReadValueInto(key, name, buffer.data(), size, &type, nullptr) !=
            platform::kRegSuccess ||
        type != platform::kRegSz || buffer[0] == '\0')
        return false;
    out = buffer.data();
    return true;
}

void showMessage(int textId, int captionId) {
    char text[kStringSize], caption[kStringSize];
    LoadLauncherString(textId, text, sizeof text);
    LoadLauncherString(captionId, caption, sizeof caption);
    platform::ShowMessageBox(text, caption);
}

void fillPage(KelbPage& page, uint32_t id, KelbPageCallback callback, int titleId) {
    memset(&page, 0, sizeof page);
    page.pageId = id;
    page.callback = callback;
    if (titleId != 0) LoadLauncherString(titleId, page.title, sizeof page.title);
    LoadLauncherString(kStrKelbrook, page.caption, sizeof page.caption);
}

}  // namespace

UpdateSession::UpdateSession(void* instance) : m_Instance(instance) {}

UpdateSession::~UpdateSession() {
    if (CurrentSession == this) CurrentSession = nullptr;
}

uint16_t UpdateSession::Run(bool silent) {
    CurrentSession = this;
    m_Status = kStatusNoUpdate;
    std::string commandLine;
    if (!BuildCommandLine(silent, commandLine)) {
        showMessage(kStrNoPackages, kStrNoPackagesCaption);
    } else {
        m_Defs = std::make_unique<SharedDefs>();
        char download[kDefsMaxPath];
        if (!m_Defs->PreUpdate(download, sizeof download, kDefsModeUpdateClient)) {
            showMessage(kStrInUse, kStrKelbrook);
        } else {
            m_Finished = 0;
            m_InstallFailed = false;
            RunOnramp(commandLine);
            finishUpdate();
            if (m_InstallFailed && (m_Status == KELB_STATUS_UPDATED || m_Status == 7))
                m_Status = kStatusNoUpdate;
        }
        m_Defs.reset();
    }
    CurrentSession = nullptr;
    return m_Status;
}

bool UpdateSession::BuildCommandLine(bool silent, std::string& commandLine) {
    commandLine = "-a ";
    if (silent) commandLine += "-s ";
    platform::RegValue value;
    if (platform::RegQueryValue(kCmdLinesKey, "OtherSwitches", value) == platform::kRegSuccess) {
        std::string switches;
        if (readText(kCmdLinesKey, "OtherSwitches", switches)) commandLine += switches;
        commandLine += " ";
    }
    bool any = false;
    for (int n = 1; AppendCmdLineEntry(n, commandLine); ++n) {
        commandLine += " ";
        any = true;
    }
    return any;
}

bool UpdateSession::AppendCmdLineEntry(int n, std::string& commandLine) {
    const std::string key = cmdLineKey(n);
    if (platform::RegKeyExists(key) != platform::kRegSuccess) return false;
    struct Part {
        const char* name;
        const char* prefix;
        bool quoted;
        bool blankAfter;
    };
    static const Part kParts[] = {
        {"OtherSwitches", "", false, true},   {"ProductName", "-p", true, true},
        {"ProductType", "-t", true, true},    {"ProductLanguage", "-l", true, true},
        {"ProductVersion", "-v", true, false},
    };
    commandLine += "[";
    for (const Part& part : kParts) {
        std::string text;
        if (!readText(key, part.name, text)) continue;
        commandLine += part.prefix;
        if (part.quoted) commandLine += "\"" + text + "\"";
        else commandLine += text;
        if (part.blankAfter) commandLine += " ";
    }
    commandLine += "]";
    return true;
}

bool UpdateSession::ReadCmdLineEntry(int n, CmdLineEntry& entry) {
    entry = CmdLineEntry();
    const std::string key = cmdLineKey(n);
    if (platform::RegKeyExists(key) != platform::kRegSuccess) return false;
    readText(key, "OtherSwitches", entry.otherSwitches);
    readText(key, "ProductName", entry.productName);
    readText(key, "ProductType", entry.productType);
    readText(key, "ProductLanguage", entry.productLanguage);
    readText(key, "ProductVersion", entry.productVersion);
    return true;
}

void UpdateSession::RunOnramp(const std::string& commandLine) {
    KelbPage pages[2];
    fillPage(pages[0], KELB_PAGE_WELCOME, WelcomePageCallback, kStrUpdateTitle);
    fillPage(pages[1], KELB_PAGE_FINISH, FinishPageCallback, 0);
    m_Status = kStatusNoUpdate;

    std::string path;
    if (!GetUpdateClientPath(path)) return;
    void* library = platform::OpenSharedLibrary(path.c_str(), nullptr);
    if (library == nullptr) return;
    auto doOnramp = reinterpret_cast<DoOnrampFn>(platform::SharedLibrarySymbol(library, "DoOnramp"));
    void* setSequence = platform::SharedLibrarySymbol(library, "SetSequenceNumberEx");
    if (setSequence != nullptr) SetSequenceNumber(setSequence);
    if (doOnramp != nullptr)
        m_Status = static_cast<uint16_t>(doOnramp(m_Instance, 0, commandLine.c_str(), pages));
    platform::CloseSharedLibrary(library);
}

void UpdateSession::SetSequenceNumber(void* setSequenceNumberEx) {
    // The "VirusDef" entry names the product; without one, the last entry.
    CmdLineEntry last, entry;
    for (int n = 1; ReadCmdLineEntry(n, entry); ++n) {
        last = entry;
        if (entry.productType == "VirusDef") break;
    }
    uint32_t sequence = 0;
    SharedDefs defs;
    uint16_t year = 0, month = 0, day = 0;
    uint32_t revision = 0;
    if (defs.GetNewestDefsDate(&year, &month, &day, &revision))
        sequence = year * 1000000u + month * 10000u + day * 100u + revision % 100u;
    auto call = reinterpret_cast<SetSequenceNumberExFn>(setSequenceNumberEx);
    call(last.productName.c_str(), last.productType.c_str(), last.productVersion.c_str(),
         last.productLanguage.c_str(), sequence);
}

void UpdateSession::GetWelcomeText(char* buffer, uint32_t size) {
    if (buffer == nullptr || size == 0) return;
    char first[kStringSize], last[kStringSize];
    LoadLauncherString(kStrWelcomeFirst, first, sizeof first);
    LoadLauncherString(kStrWelcomeLast, last, sizeof last);
    if (!DefsAreOld()) {
        snprintf(buffer, size, "%s\n\n%s", first, last);
        return;
    }
    char date[kDateSize], form[kStringSize], second[kStringSize];
    platform::FormatLocalDate(date, sizeof date);
    // Text 14 holds one "%s", for the date (the table is ours, and its test
    // checks that).
    LoadLauncherString(kStrWelcomeOld, form, sizeof form);
    snprintf(second, sizeof second, form, date);
    if ((size & 0xFFFF) <= kStringSize) last[0] = '\0';
    snprintf(buffer, size, "%s\n\n%s\n\n%s", first, second, last);
}

bool UpdateSession::DefsAreOld() {
    uint16_t year = 0, month = 0, day = 0;
    int found;
    if (m_Defs) {
        found = m_Defs->GetNewestDefsDate(&year, &month, &day, nullptr);
    } else {
        SharedDefs defs;
        found = defs.GetNewestDefsDate(&year, &month, &day, nullptr);
    }
    if (!found) return false;
    const time_t now = platform::CurrentTime();
    struct tm utc;
    if (gmtime_r(&now, &utc) == nullptr) return false;
    return DefsOlderThan(year, month, day, utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday);
}

bool UpdateSession::DefsOlderThan(int defsYear, int defsMonth, int defsDay, int year, int month,
                                  int day) {
    if (year >= defsYear + 2) return true;
    if (year == defsYear + 1) return !(defsMonth == 12 && month == 1 && day <= defsDay);
    if (year != defsYear) return false;
    if (month >= defsMonth + 2) return true;
    return month == defsMonth + 1 && day > defsDay;
}

int UpdateSession::OnFinish(char* text, uint32_t textSize, uint32_t status, char* title,
                            uint32_t* restart) {
    m_Status = static_cast<uint16_t>(status);
    finishUpdate();

    int titleId, textId;
    switch (status & 0xFFFF) {
    case 0:
    case 7:
        titleId = kStrTitleUpdated;
        textId = kStrTextUpdated;
        break;
    case 1:
        titleId = kStrTitleAlreadyUpdated;
        textId = kStrTextAlreadyUpdated;
        break;
    case 2:
        titleId = kStrTitleNotUpdated;
        textId = kStrTextBusy;
        break;
    case 3:
        titleId = kStrTitleNotUpdated;
        textId = kStrTextCancelled;
        break;
    default:
        titleId = kStrTitleNotUpdated;
        textId = kStrTextNoConnection;
        break;
    }
    if (platform::RegKeyExists(kDelayKey) == platform::kRegSuccess) {
        if (restart != nullptr) *restart = 1;
        titleId = kStrTitleTransferred;
        textId = kStrTextRestart;
    }
    if (title != nullptr) LoadLauncherString(titleId, title, KELB_TITLE_SIZE);
    if (text != nullptr && textSize > 0) {
        char loaded[kStringSize];
        LoadLauncherString(textId, loaded, sizeof loaded);
        snprintf(text, textSize, "%s", loaded);
    }
    return 1;
}

void UpdateSession::finishUpdate() {
    if (m_Finished || !m_Defs) return;
    m_InstallFailed = m_Defs->PostUpdate() == 0;
    m_Finished = 1;
}

int WelcomePageCallback(char* text, uint32_t size, uint32_t, char*, uint32_t*) {
    if (CurrentSession == nullptr) return 0;
    CurrentSession->GetWelcomeText(text, size);
    return 1;
}

int FinishPageCallback(char* text, uint32_t size, uint32_t status, char* title,
                       uint32_t* restart) {
    if (CurrentSession == nullptr) return 0;
    return CurrentSession->OnFinish(text, size, status, title, restart);
}

bool GetUpdateClientPath(std::string& path) {
    std::string directory;
    if (!readText(kSharedUsageKey, "Kelbrook1", directory, kClientPathSize)) return false;
    char buffer[kClientPathSize];
    memcpy(buffer, directory.c_str(), directory.size() + 1);
    if (!AppendPathComponent(buffer, sizeof buffer, kClientLibrary)) return false;
    path = buffer;
    return true;
}

bool AppendPathComponent(char* buffer, size_t size, const char* name) {
    if (buffer == nullptr || name == nullptr) return false;
    const size_t length = strnlen(buffer, size);
    if (length == size) return false;
    // '/' never occurs inside a multibyte character of the code pages we
    // run under, so the last byte alone says whether a separator is there.
    const bool separator = length > 0 && buffer[length - 1] != '/';
    const size_t nameLength = strlen(name);
    if (length + (separator ? 1 : 0) + nameLength + 1 > size) return false;
    if (separator) buffer[length] = '/';
    memcpy(buffer + length + (separator ? 1 : 0), name, nameLength + 1);
    return true;
}

int LauncherExitCode(uint16_t status) { return status <= 255 ? status : 255; }
